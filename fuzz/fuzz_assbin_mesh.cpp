// Fuzz harness: an assimp-binary mesh named by a model configuration.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("models/input.assbin", data, size);
    world.put("models/mesh.chanimgpu", "model = \"input.assbin\"\nskeleton = \"biped_lua\"\n");
    world.load_model("mesh.chanimgpu");
    return 0;
}
