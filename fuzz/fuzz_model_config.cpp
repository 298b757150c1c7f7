// Fuzz harness: a ".chanimgpu" model configuration, loaded with a character placed on it.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("models/input.chanimgpu", data, size);
    world.load_model("input.chanimgpu");
    return 0;
}
