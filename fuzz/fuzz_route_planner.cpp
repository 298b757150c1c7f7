// Fuzz harness: the type's "route_planner.lua", read by a route planner of a loaded library.
#include <cstddef>
#include <cstdint>

#include "animator/motion/RoutePlanner.h"
#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    Animator::RoutePlanner planner(&world.library());
    world.put("animations/biped_lua/route_planner.lua", data, size);
    planner.load("route_planner.lua");
    return 0;
}
