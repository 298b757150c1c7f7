// Fuzz harness: an override descriptor, fed to the override loader of a loaded library.
#include <cstddef>
#include <cstdint>

#include "fuzz/AnimationManagerFuzzAccess.h"
#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    Animator::AnimationManagerFuzzAccess access(world.library());
    world.put("animations/biped_lua/override/input.lua", data, size);
    access.load_override("input.lua");
    return 0;
}
