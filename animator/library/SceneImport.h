// Owning pointers to assimp scenes and the import of a scene from a file image, used by the animation
// libraries (skeleton and clip scenes) and the character models (mesh scenes).
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include <assimp/scene.h>

namespace Animator {

// Frees a scene the way assimp does: with the importer that made it, or, for a scene built in code
// (new aiScene), the scene alone (aiReleaseImport deletes a scene that no importer owns).
struct SceneRelease {
    void operator()(const aiScene* scene) const;
};

// The owner of one scene; every scene the library or a model keeps is held this way.
using ScenePtr = std::unique_ptr<const aiScene, SceneRelease>;

// Imports a scene from a whole-file buffer with the settings used for skeletons and meshes. `path`,
// when given, is the file the buffer came from: its extension lets assimp skip format detection,
// which it falls back to when the file turns out not to be of that format. Null when it can not.
ScenePtr import_scene_from_memory(const void* buffer, size_t length, const std::string& path = std::string());
// Imports a clip from a whole-file buffer as assimp finds its format, with assimp's default settings and
// no post-processing. Null when it can not.
ScenePtr import_clip_from_memory(const void* buffer, size_t length);

}  // namespace Animator
