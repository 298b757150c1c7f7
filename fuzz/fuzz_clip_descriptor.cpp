// Fuzz harness: a Lua clip descriptor among the clips of the type.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("animations/biped_lua/input.lua", data, size);
    world.load_type();
    return 0;
}
