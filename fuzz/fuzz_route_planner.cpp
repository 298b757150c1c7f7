// Fuzz harness: the type's "route_planner.lua".
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("animations/biped_lua/route_planner.lua", data, size);
    world.load_type();
    return 0;
}
