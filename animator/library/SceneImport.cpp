// Scene ownership and the import of skeleton and mesh scenes from file images.
#include "animator/library/SceneImport.h"

#include <cstring>
#include <exception>
#include <string>

#include <assimp/BaseImporter.h>
#include <assimp/Importer.hpp>
#include <assimp/cimport.h>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/library/AssbinCheck.h"

namespace Animator {

namespace {

// assimp readers that run past the end of their buffer on malformed content (assimp 5.2's Open Game
// Engine Exchange reader reads on until it faults); no file is handed to them, by its name or by its
// content.
const char* const UNSAFE_READERS[] = {"ogex"};

// One import by an importer without the unsafe readers; `hint` names the format ("" lets assimp detect
// it). The scene is the caller's (aiReleaseImport frees it); null when the import failed.
const aiScene* read_scene(const void* buffer, size_t length, unsigned flags, const char* hint, bool fbx_pivots) {
    try {
        Assimp::Importer importer;
        for (const char* extension : UNSAFE_READERS) {
            Assimp::BaseImporter* reader = importer.GetImporter(extension);
            if (reader && importer.UnregisterLoader(reader) == AI_SUCCESS) delete reader;  // no longer the importer's
        }
        if (!fbx_pivots) importer.SetPropertyInteger("IMPORT_FBX_PRESERVE_PIVOTS", 0);
        if (!importer.ReadFileFromMemory(buffer, length, flags, hint)) return nullptr;
        return importer.GetOrphanedScene();
    } catch (const std::exception&) {
        return nullptr;
    }
}

}  // namespace

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
    ScenePtr scene(read_scene(buffer, length, 9, hint.c_str(), false));
    if (!scene && !hint.empty()) scene.reset(read_scene(buffer, length, 9, "", false));
    return scene;
}

ScenePtr import_clip_from_memory(const void* buffer, size_t length) {
    if (!buffer || length == 0) return nullptr;
    return ScenePtr(read_scene(buffer, length, 0, "", true));
}

}  // namespace Animator
