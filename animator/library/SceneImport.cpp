// Scene ownership and the import of skeleton and mesh scenes from file images.
#include "animator/library/SceneImport.h"

#include <cstring>
#include <string>

#include <assimp/cimport.h>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/library/AssbinCheck.h"

namespace Animator {

void SceneRelease::operator()(const aiScene* scene) const { aiReleaseImport(scene); }

ScenePtr import_scene_from_memory(const void* buffer, size_t length, const std::string& path) {
    if (!buffer || length == 0 || !AssbinCheck::accept(buffer, length, path)) return nullptr;
    std::string stem, hint;
    detail::split_entry(path, stem, hint);
    if (!hint.empty()) hint.erase(0, 1);
    // ".anim" files are assimp's binary dump under another name. The dump's reader is named only for
    // data that starts with the dump's signature: it leaks on anything else.
    static const char dump_signature[] = "ASSIMP.binary-dump.";
    if (hint == "anim" || hint == "assbin") {
        const bool dump = length >= sizeof(dump_signature) - 1 &&
                          std::memcmp(buffer, dump_signature, sizeof(dump_signature) - 1) == 0;
        hint = dump ? "assbin" : "";
    }
    aiPropertyStore* store = aiCreatePropertyStore();
    aiSetImportPropertyInteger(store, "IMPORT_FBX_PRESERVE_PIVOTS", 0);
    const auto import = [&](const char* format) {
        return aiImportFileFromMemoryWithProperties(static_cast<const char*>(buffer), static_cast<unsigned>(length),
                                                    9, format, store);
    };
    ScenePtr scene(import(hint.c_str()));
    if (!scene && !hint.empty()) scene.reset(import(""));
    aiReleasePropertyStore(store);
    return scene;
}

}  // namespace Animator
