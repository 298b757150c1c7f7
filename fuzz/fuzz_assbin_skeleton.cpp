// Fuzz harness: an assimp-binary skeleton (".anim"), which the type reads before its ".skel".
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("animations/biped_lua.anim", data, size);
    world.load_type();
    return 0;
}
