// Fuzz harness: an assimp-binary skeleton (".anim", which the type reads before its ".skel"), fed to
// the skeleton loader of a fresh manager.
#include <cstddef>
#include <cstdint>

#include "fuzz/AnimationManagerFuzzAccess.h"
#include "fuzz/FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::World& world = fuzz::World::get();
    world.put("animations/biped_lua.anim", data, size);
    Animator::AnimationManager manager(fuzz::World::TYPE);
    Animator::AnimationManagerFuzzAccess(manager).load_skeleton();
    return 0;
}
