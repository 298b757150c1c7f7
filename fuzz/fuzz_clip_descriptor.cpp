// Fuzz harness: a Lua clip descriptor, fed to the clip loader of a loaded library.
#include <cstddef>
#include <cstdint>

#include "fuzz/AnimationManagerFuzzAccess.h"
#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    Animator::AnimationManagerFuzzAccess access(world.library());
    world.put("animations/biped_lua/input.lua", data, size);
    access.load_clip("input.lua");
    return 0;
}
