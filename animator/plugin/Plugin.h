// Entry points of the plug-in, the model factory registered with the host's model registry, and the
// module-wide switches that the host and tools may read or set.
#pragma once
#include "host/Graphics.h"
#include "host/Strings.h"

extern "C" {
// Mounts the animation directories, reads the switches, registers the model factory and the debug
// window. Called once by the host after loading the library.
void init_graphics_plugin();
// Removes the debug window, drops the "Animator" mounts and unregisters the factory.
void deinit_graphics_plugin();
}

namespace Animator {

// Exported for the host; nothing inside the plug-in reads it.
extern bool model_viewer;
// Per-instance random values.
extern RandomObject randomizer;

// Answers a character model for a ".chanimgpu" name found under "/models/" or "/models/models/", or
// null so that the host asks its other factories.
Graphics::Model* character_model_factory(const char* name);

}  // namespace Animator
