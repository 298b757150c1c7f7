// The animation library: registry, skeleton and clip loading, clip preprocessing and root motion,
// pose sampling, record evaluation, overrides, playable-entry loaders and the GPU clip buffers.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <assimp/cimport.h>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/instance/GpuAnimation.h"
#include "animator/library/AssbinCheck.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"
#include "host/Graphics.h"
#include "host/Vfs.h"

namespace Animator {

namespace {

const char* const ANIMATIONS_ROOT = "/animations/";
// The take name that a common online animation library writes into its files.
const char* const LIBRARY_TAKE_NAME = "mixamo.com";
// A descriptor asking for more keys than this is refused rather than allocated.
const int MAX_DESCRIPTOR_KEYS = 1 << 20;
// Clips longer than this (in seconds, or in ticks at any rate) are refused: a few bytes of a file could
// otherwise ask for gigabytes of keys and packed frames.
const double MAX_CLIP_SECONDS = 20.0 * 60.0;
const double MAX_CLIP_TICKS = 1 << 24;
// What the packed frames of one library may take (32 bytes per node and frame); clips that would pass
// it are left out.
const size_t MAX_PACKED_FRAME_BYTES = size_t(128) << 20;
const size_t PACKED_FRAME_BYTES = 32;

// The managers by skeleton type. A model (or a controller) that uses a manager shares it, so that a
// manager the registry drops at a renderer reset lives on until its last user is gone.
struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<AnimationManager>> managers;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Empties the registry when the renderer resets (event 1).
class AnimatorRCallback : public Graphics::RendererCallback {
public:
    void onEvent(int event) override {
        if (event == 1) destroy_animation_managers();
    }
};

AnimatorRCallback& renderer_callback() {
    static AnimatorRCallback callback;
    return callback;
}

// Fills the registry with one manager per directory under the animations root; called with the
// registry locked.
void init_animation_managers_locked() {
    const std::vector<std::string> names = ornvfs::enumerate(ANIMATIONS_ROOT);
    if (names.empty()) {
        log_message(LOG_TAG, LOG_ERROR, "can not enumerate animations");
        return;
    }
    for (const std::string& name : names) {
        ornvfs::Stat st;
        if (!ornvfs::stat(std::string(ANIMATIONS_ROOT) + "/" + name, st)) continue;
        if (st.file_type != ornvfs::FT_DIRECTORY) continue;
        registry().managers[name] = std::make_shared<AnimationManager>(name.c_str());
    }
}

// Called with the registry locked.
void fill_registry_once() {
    if (!registry().managers.empty()) return;
    init_animation_managers_locked();
    Graphics::unregisterRendererCallback(&renderer_callback());
    Graphics::registerRendererCallback(&renderer_callback(), 1, -1);
}

// "walk_fwd.FBX" -> ("walk_fwd", ".fbx"); no extension for names without a dot (or a leading one).
void split_entry(const std::string& entry, std::string& stem, std::string& ext) {
    const size_t slash = entry.find_last_of('/');
    const size_t dot = entry.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash + 2)) {
        stem = entry;
        ext.clear();
        return;
    }
    stem = entry.substr(0, dot);
    ext = orn::toLower(entry.substr(dot));
}

void set_node_name(aiNode* node, const std::string& name) {
    if (name.size() < MAXLEN) node->mName.Set(name);
}

void attach_children(aiNode* parent, const std::vector<aiNode*>& children) {
    if (children.empty()) return;
    parent->mNumChildren = static_cast<unsigned>(children.size());
    parent->mChildren = new aiNode*[children.size()];
    std::copy(children.begin(), children.end(), parent->mChildren);
}

// Why a clip of `ticks` ticks at `rate` ticks per second (none: the default rate) is refused, or null.
const char* clip_length_fault(double ticks, double rate) {
    if (!std::isfinite(ticks) || !std::isfinite(rate)) return "has a duration that is not a number";
    const double per_second = rate > 0.0 ? rate : DEFAULT_TICKS_PER_SECOND;
    if (ticks > MAX_CLIP_TICKS || ticks / per_second > MAX_CLIP_SECONDS) return "is longer than 20 minutes";
    return nullptr;
}

// The same for an imported scene: every animation, by its duration and by its last key.
const char* scene_length_fault(const aiScene* scene) {
    for (unsigned a = 0; scene && scene->mAnimations && a < scene->mNumAnimations; ++a) {
        const aiAnimation* anim = scene->mAnimations[a];
        if (!anim) continue;
        double last = anim->mDuration;
        for (unsigned c = 0; anim->mChannels && c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = anim->mChannels[c];
            if (!ch) continue;
            if (ch->mPositionKeys && ch->mNumPositionKeys)
                last = std::max(last, ch->mPositionKeys[ch->mNumPositionKeys - 1].mTime);
            if (ch->mRotationKeys && ch->mNumRotationKeys)
                last = std::max(last, ch->mRotationKeys[ch->mNumRotationKeys - 1].mTime);
            if (ch->mScalingKeys && ch->mNumScalingKeys)
                last = std::max(last, ch->mScalingKeys[ch->mNumScalingKeys - 1].mTime);
        }
        if (const char* fault = clip_length_fault(last, anim->mTicksPerSecond)) return fault;
    }
    return nullptr;
}

// The bytes the packing gives a clip: one frame per whole tick for every node.
size_t packed_clip_bytes(const aiScene* scene, int nodes) {
    const aiAnimation* anim = scene && scene->mNumAnimations && scene->mAnimations ? scene->mAnimations[0] : nullptr;
    const double frames = anim && anim->mDuration > 0.0 ? anim->mDuration + 1.0 : 1.0;
    return static_cast<size_t>(std::min(frames, MAX_CLIP_TICKS + 1.0)) * static_cast<size_t>(std::max(nodes, 1)) *
           PACKED_FRAME_BYTES;
}

// Forgets a global a data file sets, without running any code the files left behind (metamethods).
void clear_global(lua_State* L, const char* name) {
    lua_pushstring(L, name);
    lua_pushnil(L);
    lua_rawset(L, LUA_GLOBALSINDEX);
}

// Reads up to `count` numbers of the list `name` of the current table; absent numbers keep `fill`.
bool read_numbers(Lua::Config& cfg, const char* name, float* out, int count, float fill) {
    if (!cfg.open(name)) return false;
    for (int i = 0; i < count; ++i) {
        out[i] = fill;
        cfg.read(i + 1, out[i]);
    }
    cfg.close();
    return true;
}

// The animation of a scene that is its clip: the only one; of several, the one bearing the take name
// of the common online animation library, else the last one that has channels, else the last.
aiAnimation* clip_animation_of(const aiScene* scene) {
    if (!scene || scene->mNumAnimations == 0 || !scene->mAnimations) return nullptr;
    const unsigned n = scene->mNumAnimations;
    if (n == 1) return scene->mAnimations[0];
    for (unsigned i = 0; i < n; ++i)
        if (scene->mAnimations[i] && std::strcmp(scene->mAnimations[i]->mName.C_Str(), LIBRARY_TAKE_NAME) == 0)
            return scene->mAnimations[i];
    for (unsigned i = n; i-- > 0;)
        if (scene->mAnimations[i] && scene->mAnimations[i]->mNumChannels > 0) return scene->mAnimations[i];
    return scene->mAnimations[n - 1];
}

}  // namespace

const aiScene* import_scene_from_memory(const void* buffer, size_t length, const std::string& path) {
    if (!buffer || length == 0 || !AssbinCheck::accept(buffer, length, path)) return nullptr;
    std::string stem, hint;
    split_entry(path, stem, hint);
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
    const aiScene* scene = import(hint.c_str());
    if (!scene && !hint.empty()) scene = import("");
    aiReleasePropertyStore(store);
    return scene;
}

// ---------------------------------------------------------------------------------------------------
// Registry

namespace {

// The registered manager of a type, initialised. A type whose directory was mounted after the
// registry was filled is registered on its first request; anything else answers null.
std::shared_ptr<AnimationManager> registered_manager(const char* skeleton_type) {
    std::shared_ptr<AnimationManager> manager;
    {
        std::lock_guard<std::mutex> lock(registry().lock);
        fill_registry_once();
        auto& managers = registry().managers;
        const std::string type = skeleton_type ? skeleton_type : "";
        auto it = managers.find(type);
        if (it == managers.end()) {
            ornvfs::Stat st;
            const bool plain_name = !type.empty() && type != "." && type != ".." &&
                                    type.find_first_of("/\\") == std::string::npos;
            if (!plain_name || !ornvfs::stat(ANIMATIONS_ROOT + type, st) || st.file_type != ornvfs::FT_DIRECTORY)
                return nullptr;
            it = managers.emplace(type, std::make_shared<AnimationManager>(type.c_str())).first;
        }
        manager = it->second;
    }
    // Loading runs outside the registry's lock: other types load meanwhile.
    if (manager) manager->init();
    return manager;
}

}  // namespace

AnimationManager& get_animation_manager(const char* skeleton_type) {
    static AnimationManager empty("");
    AnimationManager* manager = registered_manager(skeleton_type).get();
    if (!manager) {
        log_message(LOG_TAG, LOG_ERROR, "animation manager '%s' not found", skeleton_type ? skeleton_type : "");
        return empty;
    }
    return *manager;
}

AnimationManager* find_animation_manager(const char* skeleton_type) { return registered_manager(skeleton_type).get(); }

std::shared_ptr<AnimationManager> share_animation_manager(const char* skeleton_type) {
    return registered_manager(skeleton_type);
}

void init_animation_managers() {
    std::lock_guard<std::mutex> lock(registry().lock);
    init_animation_managers_locked();
}

void destroy_animation_managers() {
    std::map<std::string, std::shared_ptr<AnimationManager>> dropped;
    {
        std::lock_guard<std::mutex> lock(registry().lock);
        dropped.swap(registry().managers);
    }
    // A manager still in use keeps its clips; its GPU data is made again when it is next drawn. The
    // others go with `dropped`.
    for (auto& entry : dropped)
        if (entry.second) entry.second->release_gpu_animations();
}

// ---------------------------------------------------------------------------------------------------
// Construction and loading

AnimationManager::AnimationManager(const char* skeleton_type) : _name(skeleton_type ? skeleton_type : "") {
    _lua = ORN_lua_open("Animator::AnimationManager::AnimationManager");
    ORN_lua_openlibs(_lua);
    _name_cache = std::make_unique<orn::StringsCacheFast>(1048576, 16, 3);
    _clip_tasks = orn::SharedGroupBarrier::create();
    _gpu_tasks = orn::SharedGroupBarrier::create();
}

AnimationManager::~AnimationManager() {
    _graph.reset();
    _route_planner.reset();
    _blend_spaces.clear();
    _reset();
    _gpu.reset();
    if (_lua) ORN_lua_close(_lua);
}

void AnimationManager::_reset() {
    for (AnimationDescription& clip : _clips)
        if (clip.scene) aiReleaseImport(clip.scene);
    _clips.clear();
    _clip_names.clear();
    _clip_index.clear();
    _descriptor_scenes.clear();
    if (_skeleton) aiReleaseImport(_skeleton);
    _skeleton = nullptr;
    _node_ids.clear();
    _rest_transforms.clear();
    _node_paths.clear();
    _longest_path = 0;
    _num_nodes = 0;
    _root_node_id = -1;
    _default_animation_index = 0;
    _skeleton_file_name.clear();
}

void AnimationManager::init() {
    // Two models of one type may ask for their library at once: the second waits for the first load.
    std::lock_guard<std::mutex> init_lock(_init_lock);
    if (_loaded || !_lua) return;
    _reset();
    // Whatever leaves init (a graph transition naming an unknown state throws), no task pushed here
    // outlives it: the tasks read and write this manager.
    struct TaskWait {
        AnimationManager& manager;
        ~TaskWait() {
            manager._clip_tasks->get_signal().wait();
            manager._gpu_tasks->get_signal().wait();
        }
    } task_wait{*this};
    Lua::StackGuard guard(_lua);
    lua_pushvalue(_lua, LUA_GLOBALSINDEX);
    Lua::Config cfg(_lua);

    const std::string dir = ANIMATIONS_ROOT + _name;
    const std::vector<std::string> entries = ornvfs::enumerate(dir);
    const std::vector<std::string> blend_spaces = ornvfs::enumerate(dir + "/blend_space");
    const std::vector<std::string> overrides = ornvfs::enumerate(dir + "/override");
    const std::vector<std::string> graphs = ornvfs::enumerate(dir + "/graph");
    if (entries.empty()) return;

    // The skeleton loads on its own task, pushed first and ahead of the clips, while the first clip
    // files are read and imported; a clip task enters its clip only once the skeleton is there.
    const PreprocessingOption option;
    auto skeleton = std::make_shared<SkeletonGate>();
    orn::push_pooled_task([this, skeleton] { _skeleton_ready(*skeleton); }, _clip_tasks, 2, "ANIMATOR");
    for (const std::string& entry : entries) {
        orn::push_pooled_task([this, dir, entry, option, skeleton] { _load_clip_entry(dir, entry, option, *skeleton); },
                              _clip_tasks, 1, "ANIMATOR");
    }
    // The route planner reads a file of its own into a Lua state of its own, so it loads among the
    // clips.
    orn::push_pooled_task(
        [this, skeleton] {
            if (!_skeleton_ready(*skeleton)) return;
            auto planner = std::make_unique<RoutePlanner>(this);
            planner->load("route_planner.lua");
            _route_planner = std::move(planner);
        },
        _clip_tasks, 1, "ANIMATOR");
    _clip_tasks->get_signal().wait();
    if (!_skeleton_ready(*skeleton)) return;

    std::sort(_clips.begin(), _clips.end(),
              [](const AnimationDescription& a, const AnimationDescription& b) { return a.name < b.name; });
    size_t packed = 0;
    for (auto it = _clips.begin(); it != _clips.end();) {
        const size_t bytes = packed_clip_bytes(it->scene, _num_nodes);
        if (packed + bytes <= MAX_PACKED_FRAME_BYTES) {
            packed += bytes;
            ++it;
            continue;
        }
        log_message(LOG_TAG, LOG_ERROR, "animation %s left out: the packed frames of '%s' would pass %zu bytes",
                    it->name.c_str(), _name.c_str(), MAX_PACKED_FRAME_BYTES);
        _descriptor_scenes.erase(it->scene);
        if (it->scene) aiReleaseImport(it->scene);
        it = _clips.erase(it);
    }
    _clip_index.clear();
    _clip_names.assign(_clips.size(), std::string());
    _default_animation_index = 0;
    bool default_found = false;
    for (size_t i = 0; i < _clips.size(); ++i) {
        _clip_index[_clips[i].name] = static_cast<int>(i);
        _clip_names[i] = _clips[i].name;
        if (!default_found && _clips[i].name == _default_animation_name &&
            !_descriptor_scenes.count(_clips[i].scene)) {
            _default_animation_index = static_cast<int>(i);
            default_found = true;
        }
    }

    _load_blend_spaces(blend_spaces, cfg);
    _load_overrides(overrides, cfg);

    // The GPU packing only reads the clips and overrides, so the graph is loaded here while it runs;
    // init returns once both are done.
    orn::push_pooled_task([this] { create_gpu_animations(); }, _gpu_tasks, 1, "ANIMATOR");
    _load_graph(graphs, cfg);
    _gpu_tasks->get_signal().wait();
    _loaded = true;
}

struct AnimationManager::SkeletonGate {
    std::once_flag once;
    bool loaded = false;
};

bool AnimationManager::_skeleton_ready(SkeletonGate& gate) {
    std::call_once(gate.once, [&] {
        std::lock_guard<std::mutex> lua_lock(_lua_lock);
        Lua::StackGuard guard(_lua);
        lua_pushvalue(_lua, LUA_GLOBALSINDEX);
        Lua::Config cfg(_lua);
        if (!_load_skeleton(cfg)) return;
        process_hierarchy(_skeleton->mRootNode);
        _root_node_id = get_node_id(_name);
        if (_root_node_id < 0) _root_node_id = get_node_id("root");
        gate.loaded = true;
    });
    return gate.loaded;
}

bool AnimationManager::_load_skeleton(Lua::Config& cfg) {
    const std::string base = ANIMATIONS_ROOT + _name;
    std::string path = base + ".anim";
    if (!ornvfs::open(path)) path = base + ".fbx";
    std::vector<char> data;
    if (ornvfs::read_file(path, data) && !data.empty()) {
        const aiScene* scene = import_scene_from_memory(data.data(), data.size(), path);
        if (!scene || !scene->mRootNode) {
            log_message(LOG_TAG, LOG_ERROR, "error loading %s", path.c_str());
            if (scene) aiReleaseImport(scene);
            return false;
        }
        _skeleton = const_cast<aiScene*>(scene);
        return true;
    }

    _skeleton_file_name = _name + ".skel";
    path = ANIMATIONS_ROOT + _skeleton_file_name;
    if (!ornvfs::read_file(path, data) || data.empty()) {
        log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", path.c_str());
        return false;
    }
    lua_State* L = cfg.state();
    Lua::StackGuard guard(L);
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    clear_global(L, "skeleton");
    if (!cfg.load_buffer(data.data(), data.size(), path.c_str())) {
        log_message(LOG_TAG, LOG_ERROR, "can not parse '%s'", path.c_str());
        return false;
    }
    lua_pop(L, 1);  // the chunk's result; the globals stay the current table

    _skeleton = new aiScene();
    _skeleton->mRootNode = new aiNode("scene_rooot");
    if (!cfg.open("skeleton")) {
        log_message(LOG_TAG, LOG_ERROR, "can not open skeleton table");
        if (!cfg.failed()) return true;
        delete _skeleton;
        _skeleton = nullptr;
        return false;
    }
    std::vector<aiNode*> children;
    load_node(cfg, _skeleton->mRootNode, children);
    attach_children(_skeleton->mRootNode, children);
    cfg.close();
    if (cfg.failed()) {
        log_message(LOG_TAG, LOG_ERROR, "can not parse '%s'", path.c_str());
        delete _skeleton;
        _skeleton = nullptr;
        return false;
    }
    return true;
}

void AnimationManager::load_node(Lua::Config& cfg, aiNode* parent, std::vector<aiNode*>& children) {
    lua_State* L = cfg.state();
    if (!lua_istable(L, -1)) return;
    lua_pushnil(L);
    while (cfg.next()) {
        std::string name;
        if (!cfg.key(name) || !lua_istable(L, -1)) {
            lua_pop(L, 1);
            continue;
        }
        aiNode* node = new aiNode();
        set_node_name(node, name);
        node->mParent = parent;
        children.push_back(node);

        float m[16];
        if (read_numbers(cfg, "m", m, 16, 0.0f)) {
            // The list is the osg (row-vector) matrix row by row; assimp holds its transpose.
            aiMatrix4x4& t = node->mTransformation;
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) t[c][r] = m[r * 4 + c];
        }
        if (cfg.open("children")) {
            std::vector<aiNode*> grandchildren;
            load_node(cfg, node, grandchildren);
            attach_children(node, grandchildren);
            cfg.close();
        }
        lua_pop(L, 1);
    }
}

void AnimationManager::process_hierarchy(const aiNode* root) {
    _node_ids.clear();
    _rest_transforms.clear();
    _node_paths.clear();
    _longest_path = 0;
    _num_nodes = 0;
    if (!root) return;

    // Pre-order walk keeping the ids of the ancestors of the node being visited.
    struct Item {
        const aiNode* node;
        size_t depth;
    };
    // A name held by several nodes (a bone and a mesh node of one name, say) stands for the first of
    // them that is a bone of a mesh, else for the first in this order.
    std::unordered_set<std::string> bones;
    if (_skeleton && _skeleton->mRootNode == root)
        for (unsigned i = 0; i < _skeleton->mNumMeshes; ++i) {
            const aiMesh* mesh = _skeleton->mMeshes ? _skeleton->mMeshes[i] : nullptr;
            for (unsigned b = 0; mesh && mesh->mBones && b < mesh->mNumBones; ++b)
                if (mesh->mBones[b]) bones.insert(mesh->mBones[b]->mName.C_Str());
        }
    std::unordered_set<const char*> taken_by_bone;
    std::vector<std::string> duplicates;

    std::vector<Item> pending{{root, 0}};
    std::vector<uint32_t> ancestors;
    while (!pending.empty()) {
        const Item item = pending.back();
        pending.pop_back();
        ancestors.resize(item.depth);
        const uint32_t id = static_cast<uint32_t>(_rest_transforms.size());
        const char* name = _name_cache->get(item.node->mName.C_Str());
        // Bones name their nodes; a node of a bone's name that holds meshes is not that bone.
        const bool bone = item.node->mNumMeshes == 0 && bones.count(item.node->mName.C_Str()) > 0;
        auto known = _node_ids.emplace(name, static_cast<int>(id));
        if (!known.second) {
            if (std::find(duplicates.begin(), duplicates.end(), name) == duplicates.end()) duplicates.push_back(name);
            if (bone && !taken_by_bone.count(name)) known.first->second = static_cast<int>(id);
        }
        if (bone) taken_by_bone.insert(name);
        _rest_transforms.push_back(item.node->mTransformation);

        std::vector<uint32_t> path{id};
        path.insert(path.end(), ancestors.rbegin(), ancestors.rend());
        _longest_path = std::max(_longest_path, static_cast<int>(path.size()));
        _node_paths.push_back(std::move(path));

        ancestors.push_back(id);
        for (unsigned i = item.node->mNumChildren; i-- > 0;)
            if (item.node->mChildren[i]) pending.push_back({item.node->mChildren[i], item.depth + 1});
    }
    _num_nodes = static_cast<int32_t>(_rest_transforms.size());
    if (!duplicates.empty()) {
        std::string list;
        for (const std::string& d : duplicates) list += (list.empty() ? "'" : ", '") + d + "'";
        log_message(LOG_TAG, LOG_WARNING,
                    "skeleton %s: several nodes named %s; each name stands for its bone or its first node",
                    _name.c_str(), list.c_str());
    }
}

int AnimationManager::get_node_id(const std::string& name) { return _find_node(name); }

int AnimationManager::_find_node(const std::string& name) const { return _find_node(name.c_str()); }

int AnimationManager::_find_node(const char* name) const {
    if (!name) return -1;
    auto it = _node_ids.find(_name_cache->get(name));
    return it == _node_ids.end() ? -1 : it->second;
}

aiMatrix4x4 AnimationManager::get_node_transform(const std::string& name) {
    const int id = _find_node(name);
    if (id < 0 || id >= static_cast<int>(_rest_transforms.size())) {
        const float m = FLT_MAX;
        return aiMatrix4x4(m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m);
    }
    return _rest_transforms[id];
}

void AnimationManager::_load_clip_entry(const std::string& dir, const std::string& entry,
                                        const PreprocessingOption& option, SkeletonGate& skeleton) {
    std::string stem, ext;
    split_entry(entry, stem, ext);
    const std::string name = orn::toLower(stem);
    std::vector<char> data;

    if (ext == ".lua") {
        // A descriptor names its bones, which are looked up in the skeleton while it is read.
        if (!_skeleton_ready(skeleton)) return;
        aiScene* scene = nullptr;
        {
            std::lock_guard<std::mutex> lua_lock(_lua_lock);
            Lua::StackGuard guard(_lua);
            lua_pushvalue(_lua, LUA_GLOBALSINDEX);
            Lua::Config cfg(_lua);
            if (!ornvfs::read_file(dir + "/" + entry, data)) return;
            clear_global(_lua, "orn_character_animation");
            if (!cfg.load_buffer(data.data(), data.size(), entry.c_str())) return;
            lua_pop(_lua, 1);
            if (!cfg.open("orn_character_animation")) return;
            scene = _build_descriptor_scene(cfg);
            if (!scene) log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
            if (scene && cfg.failed()) {
                log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
                delete scene;
                return;
            }
        }
        if (!scene) return;
        {
            std::lock_guard<orn::mutex> lock(_lock);
            _descriptor_scenes.insert(scene);
        }
        load_animation(scene, name, option);
        return;
    }

    if (ext == ".fbx" || ext == ".assbin" || ext == ".anim") {
        // Reading and importing need no skeleton; what they found is reported once it has loaded.
        const bool read = ornvfs::read_file(dir + "/" + entry, data) && !data.empty();
        const aiScene* scene =
            read && AssbinCheck::accept(data.data(), data.size(), entry)
                ? aiImportFileFromMemory(data.data(), static_cast<unsigned>(data.size()), 0, "")
                : nullptr;
        if (!_skeleton_ready(skeleton)) {
            if (scene) aiReleaseImport(scene);
            return;
        }
        if (!read) {
            log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", entry.c_str());
            return;
        }
        if (!scene) {
            log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
            return;
        }
        if (const char* fault = scene_length_fault(scene)) {
            log_message(LOG_TAG, LOG_ERROR, "animation %s %s", entry.c_str(), fault);
            aiReleaseImport(scene);
            return;
        }
        load_animation(scene, name, option);
    }
}

aiScene* AnimationManager::_build_descriptor_scene(Lua::Config& cfg) {
    int rate = -1, duration = -1;
    cfg.read("rate", rate);
    cfg.read("duration", duration);
    if (duration >= MAX_DESCRIPTOR_KEYS || clip_length_fault(duration, rate)) {
        log_message(LOG_TAG, LOG_ERROR, "clip duration %d is too long", duration);
        return nullptr;
    }
    const unsigned keys = duration >= 0 ? static_cast<unsigned>(duration) + 1 : 0;

    aiScene* scene = new aiScene();
    scene->mRootNode = new aiNode("scene");
    aiAnimation* anim = new aiAnimation();
    anim->mTicksPerSecond = rate;
    anim->mDuration = duration;
    scene->mNumAnimations = 1;
    scene->mAnimations = new aiAnimation*[1]{anim};

    std::vector<aiNodeAnim*> channels;
    lua_State* L = cfg.state();
    if (cfg.open("animation")) {
        lua_pushnil(L);
        while (cfg.next()) {
            std::string node;
            if (!cfg.key(node) || !lua_istable(L, -1) || node.size() >= MAXLEN || _find_node(node) < 0) {
                lua_pop(L, 1);
                continue;
            }
            aiNodeAnim* ch = new aiNodeAnim();
            ch->mNodeName.Set(node);
            ch->mNumPositionKeys = ch->mNumRotationKeys = ch->mNumScalingKeys = keys;
            ch->mPositionKeys = new aiVectorKey[keys];
            ch->mRotationKeys = new aiQuatKey[keys];
            ch->mScalingKeys = new aiVectorKey[keys];
            for (unsigned k = 0; k < keys; ++k) {
                ch->mPositionKeys[k] = aiVectorKey(0.0, aiVector3D(0, 0, 0));
                ch->mScalingKeys[k] = aiVectorKey(0.0, aiVector3D(0, 0, 0));
                ch->mRotationKeys[k] = aiQuatKey(0.0, aiQuaternion());
            }
            // Frames beyond the key count are ignored; a list missing from a frame is skipped.
            for (unsigned i = 1; i <= keys && cfg.open(static_cast<int>(i)); ++i) {
                float v[4];
                if (read_numbers(cfg, "s", v, 3, FLT_MAX))
                    ch->mScalingKeys[i - 1] = aiVectorKey(i, aiVector3D(v[0], v[1], v[2]));
                if (read_numbers(cfg, "t", v, 3, FLT_MAX))
                    ch->mPositionKeys[i - 1] = aiVectorKey(i, aiVector3D(v[0], v[1], v[2]));
                if (read_numbers(cfg, "r", v, 4, FLT_MAX))
                    ch->mRotationKeys[i - 1] = aiQuatKey(i, aiQuaternion(v[3], v[0], v[1], v[2]));
                cfg.close();
            }
            channels.push_back(ch);
            lua_pop(L, 1);
        }
        cfg.close();
    }
    anim->mNumChannels = static_cast<unsigned>(channels.size());
    if (!channels.empty()) {
        anim->mChannels = new aiNodeAnim*[channels.size()];
        std::copy(channels.begin(), channels.end(), anim->mChannels);
    }
    return scene;
}

// ---------------------------------------------------------------------------------------------------
// Clip accessors

const aiAnimation* AnimationManager::_clip_animation(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    return clip_animation_of(_clips[clip].scene);
}

const aiAnimation* AnimationManager::get_clip_animation(int clip) const { return _clip_animation(clip); }

unsigned short AnimationManager::get_animation_index(const std::string& name) const {
    auto it = _clip_index.find(orn::toLower(name));
    if (it == _clip_index.end()) {
        log_message(LOG_TAG, LOG_ERROR, "animation '%s' not found", name.c_str());
        return INVALID_CLIP;
    }
    return static_cast<unsigned short>(it->second);
}

int AnimationManager::get_default_animation_index(std::string& name) const {
    name = _default_animation_name;
    return _default_animation_index;
}

std::vector<const char*> AnimationManager::get_animation_names() const {
    std::vector<const char*> names;
    names.reserve(_clip_names.size());
    for (const std::string& n : _clip_names) names.push_back(n.c_str());
    return names;
}

const aiScene* AnimationManager::get_animation(int clip, std::string& name) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) {
        name.clear();
        return nullptr;
    }
    name = _clips[clip].name;
    return _clips[clip].scene;
}

float AnimationManager::get_animation_duration(int clip) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return 0.0f;
    const double rate = anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
    return anim->mDuration > 0.0 ? static_cast<float>(anim->mDuration / rate) : 0.0f;
}

float AnimationManager::get_animation_duration(const std::string& name) const {
    return get_animation_duration(static_cast<int>(get_animation_index(name)));
}

const AnimationManager::AnimationDescription* AnimationManager::get_description(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    return &_clips[clip];
}

// ---------------------------------------------------------------------------------------------------
// Overrides

void AnimationManager::_load_overrides(const std::vector<std::string>& files, Lua::Config& cfg) {
    lua_State* L = cfg.state();
    for (const std::string& file : files) {
        Lua::StackGuard guard(L);
        const std::string path = ANIMATIONS_ROOT + _name + "/override/" + file;
        std::vector<char> data;
        if (!ornvfs::read_file(path, data) || !cfg.load_buffer(data.data(), data.size(), file.c_str()) ||
            !lua_istable(L, -1)) {
            log_message(LOG_TAG, LOG_ERROR, "can not load override");
            continue;
        }
        OverrideAnimation entry;
        entry.weights.assign(static_cast<size_t>(_num_nodes), 0.0f);
        std::string clip_name;
        cfg.read("animation", clip_name);
        entry.clip = get_animation_index(clip_name);
        if (cfg.open("bones")) {
            for (int i = 1;; ++i) {
                cfg.get(i);
                if (lua_type(L, -1) != LUA_TSTRING) {
                    cfg.pop();
                    break;
                }
                std::string bone;
                cfg.pop(bone);
                const int id = get_node_id(bone);
                if (id >= 0 && id < _num_nodes) entry.weights[id] = 1.0f;
            }
            cfg.close();
        }
        if (cfg.failed()) {
            log_message(LOG_TAG, LOG_ERROR, "can not load override");
            continue;
        }
        std::string key = orn::toLower(file);
        const size_t cut = key.find(".lua");
        if (cut != std::string::npos) key.resize(cut);
        _overrides[key] = std::move(entry);
        _overrides[key].id = static_cast<int32_t>(_overrides.size()) - 1;
    }
}

const AnimationManager::OverrideAnimation& AnimationManager::get_override_animation(const std::string& name) const {
    auto it = _overrides.find(orn::toLower(name));
    if (it == _overrides.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
    return it->second;
}

const AnimationManager::OverrideAnimation* AnimationManager::find_override_by_clip(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    for (const auto& entry : _overrides)
        if (entry.second.clip == clip) return &entry.second;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------------
// GPU clip buffers and compute pass (the packing and the passes live in GpuAnimation)

void AnimationManager::create_gpu_animations() {
    auto gpu = std::make_unique<GpuAnimation>();
    gpu->pack(*this);
    gpu->create_resources(_num_nodes, _longest_path);
    if (_gpu) gpu->adopt_local_transforms(*_gpu);
    _gpu = std::move(gpu);
    _gpu_created = true;
}

void AnimationManager::release_gpu_animations() {
    _gpu.reset();
    _gpu_created = false;
}

void AnimationManager::compute(ComputePassParams params) {
    if (!_gpu && _loaded) create_gpu_animations();
    if (!_gpu) return;
    auto buffer = [](render::StructuredBuffer* b) { return b ? *b : render::StructuredBuffer(); };
    _gpu->compute(_num_nodes, params.model_time, params.instance_count, buffer(params.per_instance_data),
                  buffer(params.per_instance_animations), buffer(params.instance_indices),
                  buffer(params.model_transforms));
}

void AnimationManager::process_timeline(const std::tuple<float, int, float, int>& p,
                                        const std::tuple<render::StructuredBuffer, render::StructuredBuffer,
                                                         render::StructuredBuffer, render::StructuredBuffer>& b) {
    if (!_gpu && _loaded) create_gpu_animations();
    if (_gpu) _gpu->process_timeline(_root_node_id, p, b);
}


namespace {

const double KEY_TIME_TOLERANCE = 1e-3;
// A key time lies on a grid when it is within this fraction of a step from a grid point.
const double GRID_TOLERANCE = 0.01;
// Key times closer than this (ticks) count as one.
const double SAME_TIME = 1e-6;
// Clips on no common grid are resampled RESAMPLE_DIVISIONS times finer than their densest key interval
// (which keeps the corners that their keys make within a small angle), at no fewer keys per second than
// MIN_KEY_RATE and no more than MAX_KEY_RATE; no clip gets more than MAX_MENDED_KEYS keys per track.
const double RESAMPLE_DIVISIONS = 4.0;
const double MIN_KEY_RATE = 30.0;
const double MAX_KEY_RATE = 1000.0;
const double MAX_MENDED_KEYS = 1e6;
// Scaling keys whose components differ by less than this fraction count as uniform.
const float UNIFORM_SCALE_TOLERANCE = 1e-4f;

aiVector3D mix(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }
aiQuaternion mix(const aiQuaternion& a, const aiQuaternion& b, float f) {
    aiQuaternion out;
    aiQuaternion::Interpolate(out, a, b, f);
    return out;
}

// The value of a key track at a time (ticks), by key time: held before the first and after the last
// key, interpolated between the bracketing keys otherwise. The track must hold at least one key.
template <class Key>
decltype(Key::mValue) value_at_time(const Key* keys, unsigned n, double t) {
    if (t <= keys[0].mTime || n == 1) return keys[0].mValue;
    if (t >= keys[n - 1].mTime) return keys[n - 1].mValue;
    const Key* upper = std::lower_bound(keys, keys + n, t, [](const Key& k, double v) { return k.mTime < v; });
    if (upper == keys) return keys[0].mValue;
    if (upper == keys + n) return keys[n - 1].mValue;
    const Key* lower = upper - 1;
    const double span = upper->mTime - lower->mTime;
    const float f = span > 0.0 ? static_cast<float>((t - lower->mTime) / span) : 0.0f;
    return mix(lower->mValue, upper->mValue, std::min(std::max(f, 0.0f), 1.0f));
}

// True when the track holds a single key, or `count` keys with key k at time k.
template <class Key>
bool is_per_tick(const Key* keys, unsigned n, unsigned count) {
    if (n == 1) return true;
    if (n != count || !keys) return false;
    for (unsigned k = 0; k < n; ++k)
        if (!(std::fabs(keys[k].mTime - k) <= KEY_TIME_TOLERANCE)) return false;
    return true;
}

// Replaces a track by `count` keys, key k at time k holding the old track's value at `source(k)`;
// a track with one key keeps it (at time 0) and an empty one gets the single key `rest`.
template <class Key, class Value, class Source>
void rebuild_track(Key*& keys, unsigned& n, unsigned count, const Value& rest, Source source) {
    if (n == 1 && keys) {
        keys[0].mTime = 0.0;
        return;
    }
    Key* rebuilt;
    if (n == 0 || !keys) {
        rebuilt = new Key[1];
        rebuilt[0].mTime = 0.0;
        rebuilt[0].mValue = rest;
        count = 1;
    } else {
        rebuilt = new Key[count];
        for (unsigned k = 0; k < count; ++k) {
            rebuilt[k].mTime = static_cast<double>(k);
            rebuilt[k].mValue = value_at_time(keys, n, source(k));
        }
    }
    delete[] keys;
    keys = rebuilt;
    n = count;
}

// The track rebuilding of resample_animation: N keys at whole ticks, bracketing by a linear search in
// float; a tick without a bracket becomes a key at time 0 holding `none`.
template <class Key, class Value>
void resample_track(Key*& keys, unsigned& n, int count, const Value& none) {
    if (n == 0 || !keys || n == 1 || n == static_cast<unsigned>(count)) return;
    Key* out = new Key[count];
    for (int i = 0; i < count; ++i) {
        const float tick = static_cast<float>(i);
        Key key;
        key.mTime = 0.0;
        key.mValue = none;
        if (static_cast<float>(keys[0].mTime) >= tick) {
            key = {static_cast<double>(i), keys[0].mValue};
        } else if (tick >= static_cast<float>(keys[n - 1].mTime)) {
            key = {static_cast<double>(i), keys[n - 1].mValue};
        } else {
            for (unsigned j = 1; j < n; ++j) {
                const float t0 = static_cast<float>(keys[j - 1].mTime), t1 = static_cast<float>(keys[j].mTime);
                if (t0 < tick && tick <= t1) {
                    const float f = (tick - t0) / (t1 - t0);
                    key = {static_cast<double>(i), mix(keys[j - 1].mValue, keys[j].mValue, f)};
                    break;
                }
            }
        }
        out[i] = key;
    }
    delete[] keys;
    keys = out;
    n = static_cast<unsigned>(count);
}

// What the key times of a clip's tracks of several keys tell: the step of a grid anchored at tick 0 on
// which all of them lie (0 when there is none) and the smallest interval between two of them.
struct KeyTimes {
    double grid = 1.0;
    double densest = 0.0;
};

KeyTimes key_times(const aiAnimation* anim) {
    std::vector<double> times;
    auto gather = [&](const auto* keys, unsigned n) {
        if (n < 2 || !keys) return;
        for (unsigned k = 0; k < n; ++k) times.push_back(keys[k].mTime);
    };
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        gather(ch->mPositionKeys, ch->mNumPositionKeys);
        gather(ch->mRotationKeys, ch->mNumRotationKeys);
        gather(ch->mScalingKeys, ch->mNumScalingKeys);
    }
    KeyTimes out;
    if (times.empty()) return out;  // constant tracks only: any tick will do
    for (double t : times)
        if (!std::isfinite(t)) return {0.0, 1.0};
    times.push_back(0.0);
    std::sort(times.begin(), times.end());
    double smallest = 0.0, largest = 0.0;
    for (size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        if (gap > SAME_TIME && (smallest == 0.0 || gap < smallest)) smallest = gap;
    }
    for (double t : times) largest = std::max(largest, std::fabs(t));
    out.densest = smallest > 0.0 ? smallest : 1.0;
    out.grid = 0.0;
    if (smallest <= 0.0) return {1.0, 1.0};
    // The smallest interval is the step, or a whole multiple of it when keys are missing here and there.
    for (int parts = 1; parts <= 4 && out.grid == 0.0; ++parts) {
        double step = smallest / parts;
        const double steps = std::round(largest / step);
        if (steps < 1.0) continue;
        step = largest / steps;  // the step that the farthest key gives most precisely
        bool on_grid = true;
        for (size_t i = 0; i < times.size() && on_grid; ++i) {
            const double at = times[i] / step;
            on_grid = std::fabs(at - std::round(at)) <= GRID_TOLERANCE;
        }
        if (on_grid) out.grid = std::fabs(step - 1.0) <= KEY_TIME_TOLERANCE * GRID_TOLERANCE ? 1.0 : step;
    }
    return out;
}

// Makes every scaling key uniform (x = y = z): a nearly uniform key takes the mean of its components,
// any other the uniform scale of equal volume, and one that is not a finite scale (or, in a clip
// descriptor, a key that no frame filled) becomes 1. Answers how many channels held keys of the
// second or third kind.
unsigned make_scaling_uniform(aiAnimation* anim, bool descriptor) {
    unsigned changed = 0;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch || !ch->mScalingKeys) continue;
        bool mixed = false;
        for (unsigned k = 0; k < ch->mNumScalingKeys; ++k) {
            aiVectorKey& key = ch->mScalingKeys[k];
            const aiVector3D v = key.mValue;
            if (descriptor && key.mTime == 0.0) {
                key.mValue = aiVector3D(1, 1, 1);  // not filled by any frame
                continue;
            }
            const float large = std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
            const float small = std::min(std::fabs(v.x), std::min(std::fabs(v.y), std::fabs(v.z)));
            float u = 1.0f;
            if (!std::isfinite(large) || large > 1e30f) {
                mixed = true;
            } else if (v.x == v.y && v.y == v.z) {
                continue;
            } else if (large - small <= UNIFORM_SCALE_TOLERANCE * large && (v.x >= 0) == (v.y >= 0) &&
                       (v.y >= 0) == (v.z >= 0)) {
                u = (v.x + v.y + v.z) / 3.0f;
            } else {
                u = static_cast<float>(std::cbrt(std::fabs(double(v.x) * v.y * v.z)));
                mixed = true;
            }
            key.mValue = aiVector3D(u, u, u);
        }
        if (mixed) ++changed;
    }
    return changed;
}

// Gives a channel without scaling keys one key of its node's rest scale (made uniform).
void give_scaling_key(aiNodeAnim* ch, const aiMatrix4x4& rest) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    rest.Decompose(scaling, rotation, position);
    const float u = static_cast<float>(std::cbrt(std::fabs(double(scaling.x) * scaling.y * scaling.z)));
    delete[] ch->mScalingKeys;
    ch->mScalingKeys = new aiVectorKey[1]{aiVectorKey(0.0, aiVector3D(u, u, u))};
    ch->mNumScalingKeys = 1;
}

// Key k of a channel as a local transform (each track read at min(k, its key count - 1)); an empty
// track takes the value of `rest`.
aiMatrix4x4 key_matrix(const aiNodeAnim* ch, unsigned k, const aiMatrix4x4& rest) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    rest.Decompose(scaling, rotation, position);
    if (ch->mNumScalingKeys > 0) scaling = ch->mScalingKeys[std::min(k, ch->mNumScalingKeys - 1)].mValue;
    if (ch->mNumRotationKeys > 0) rotation = ch->mRotationKeys[std::min(k, ch->mNumRotationKeys - 1)].mValue;
    if (ch->mNumPositionKeys > 0) position = ch->mPositionKeys[std::min(k, ch->mNumPositionKeys - 1)].mValue;
    return aiMatrix4x4(scaling, rotation, position);
}

// q ⊗ v ⊗ q̄ for a pure vector v.
aiVector3D rotate(const aiQuaternion& q, const aiVector3D& v) {
    const aiQuaternion p(0.0f, v.x, v.y, v.z);
    const aiQuaternion c(q.w, -q.x, -q.y, -q.z);
    const aiQuaternion r = q * p * c;
    return aiVector3D(r.x, r.y, r.z);
}

osg::Matrixf rigid(const aiQuaternion& q, const aiVector3D& p) {
    return osg::Matrixf::rotate(osg::Quat(q.x, q.y, q.z, q.w)) * osg::Matrixf::translate(p.x, p.y, p.z);
}

}  // namespace

void AnimationManager::_mend_clip(aiAnimation* anim) const {
    const double rate = anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
    const double duration = std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;
    const double seconds = duration / rate;
    const KeyTimes times = key_times(anim);

    // The new tick: the grid step of the source keys when they have one (so that every key is hit),
    // else a step no coarser than the densest key interval.
    double step = times.grid;
    double new_duration = 0.0, new_rate = rate;
    const bool on_grid = step > 0.0 && duration / step <= MAX_MENDED_KEYS &&
                         rate / step <= MAX_KEY_RATE * (1.0 + GRID_TOLERANCE);
    if (on_grid) {
        new_duration = duration / step;
        if (std::fabs(new_duration - std::round(new_duration)) <= KEY_TIME_TOLERANCE)
            new_duration = std::round(new_duration);
        new_rate = seconds > 0.0 ? new_duration / seconds : rate / step;
    } else {
        double interval = std::min(times.densest / rate, 1.0 / MIN_KEY_RATE) / RESAMPLE_DIVISIONS;
        interval = std::max(interval, 1.0 / MAX_KEY_RATE);
        new_duration = std::min(std::ceil(seconds / interval - KEY_TIME_TOLERANCE), MAX_MENDED_KEYS);
        if (new_duration < 1.0 && duration > 0.0) new_duration = 1.0;
        new_rate = seconds > 0.0 ? new_duration / seconds : rate;
        step = new_duration > 0.0 ? duration / new_duration : 1.0;
    }
    const unsigned keys = static_cast<unsigned>(new_duration) + 1;

    // A clip already holding one key per tick at its own rate is left as it is.
    bool regular =
        anim->mTicksPerSecond > 0.0 && anim->mDuration == duration && step == 1.0 && new_duration == duration;
    for (unsigned c = 0; regular && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        regular = ch && is_per_tick(ch->mPositionKeys, ch->mNumPositionKeys, keys) &&
                  is_per_tick(ch->mRotationKeys, ch->mNumRotationKeys, keys) &&
                  is_per_tick(ch->mScalingKeys, ch->mNumScalingKeys, keys);
    }
    if (regular) return;

    auto source = [&](unsigned k) { return k * step; };
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        aiVector3D scaling(1, 1, 1), position(0, 0, 0);
        aiQuaternion rotation;
        const int id = _find_node(ch->mNodeName.C_Str());
        if (id >= 0 && id < static_cast<int>(_rest_transforms.size()))
            _rest_transforms[id].Decompose(scaling, rotation, position);
        rebuild_track(ch->mPositionKeys, ch->mNumPositionKeys, keys, position, source);
        rebuild_track(ch->mRotationKeys, ch->mNumRotationKeys, keys, rotation, source);
        rebuild_track(ch->mScalingKeys, ch->mNumScalingKeys, keys, scaling, source);
    }
    anim->mDuration = new_duration;
    anim->mTicksPerSecond = new_rate;
}

void AnimationManager::load_animation(const aiScene* scene, const std::string& name, const PreprocessingOption& option) {
    if (!scene) return;
    std::lock_guard<orn::mutex> lock(_lock);
    AnimationDescription description;
    description.name = name;
    description.scene = scene;
    description.channels.assign(static_cast<size_t>(_num_nodes), nullptr);
    const int index = static_cast<int>(_clips.size());

    if (scene->mNumAnimations > 1)
        log_message(LOG_TAG, LOG_WARNING, "animation %s contains multiple animations (%d)", name.c_str(),
                    static_cast<int>(scene->mNumAnimations));
    aiAnimation* anim = clip_animation_of(scene);
    if (anim) {
        const bool descriptor = _descriptor_scenes.count(scene) > 0;
        if (!descriptor) _mend_clip(anim);
        if (const unsigned mixed = make_scaling_uniform(anim, descriptor))
            log_message(LOG_TAG, LOG_WARNING,
                        "animation %s: non-uniform scale on %d channels, replaced by the uniform scale of "
                        "equal volume",
                        name.c_str(), static_cast<int>(mixed));
        validate_animation(anim);
        record_root_motion(anim, option, description);
        // A node animated by several channels follows the first; so does the root motion.
        aiNodeAnim* root = nullptr;
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            aiNodeAnim* ch = anim->mChannels[c];
            if (!ch) continue;
            const int id = _find_node(ch->mNodeName.C_Str());
            if (id < 0 || id >= _num_nodes) {
                log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", ch->mNodeName.C_Str());
            } else if (!description.channels[id]) {
                description.channels[id] = ch;
                if (ch->mNumScalingKeys == 0) give_scaling_key(ch, _rest_transforms[id]);
            }
            _check_node_name_validity(ch, name);
            if (!root && _name == ch->mNodeName.C_Str()) root = ch;
        }
        if (root) _process_root_motion(description, root, option);
    }
    _clip_index[name] = index;
    _clip_names.push_back(name);
    _clips.push_back(std::move(description));
}

bool AnimationManager::validate_animation(const aiAnimation* anim) {
    if (!anim) return false;
    const unsigned expected = static_cast<unsigned>(std::max(0.0, anim->mDuration + 1.0));
    bool valid = true;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        if (_find_node(ch->mNodeName.C_Str()) < 0)
            log_message(LOG_TAG, LOG_WARNING, "validate_animation: node '%s' not found in skeleton",
                        ch->mNodeName.C_Str());
        auto fits = [&](unsigned n) { return n == 1 || n == expected; };
        if (!fits(ch->mNumPositionKeys) || !fits(ch->mNumRotationKeys)) valid = false;
    }
    return valid;
}

void AnimationManager::_check_node_name_validity(const aiNodeAnim* channel, const std::string& file) {
    if (!channel) return;
    const char* node = channel->mNodeName.C_Str();
    for (const char* p = node; *p; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte > 127)
            log_message(LOG_TAG, LOG_ERROR, "Non-ASCII sybmol [%c] found in node '%s', in file '%s'", *p, node,
                        file.c_str());
    }
}

void AnimationManager::record_root_motion(const aiAnimation* anim, const PreprocessingOption& option,
                                          AnimationDescription& description) {
    if (!anim || anim->mNumChannels == 0) return;
    const aiNodeAnim* root = nullptr;
    for (unsigned c = 0; c < anim->mNumChannels && !root; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (ch && std::strncmp(ch->mNodeName.C_Str(), _name.c_str(), MAXLEN - 1) == 0) root = ch;
    }
    if (!root) return;

    const unsigned P = root->mNumPositionKeys, R = root->mNumRotationKeys;
    if (P != R && std::min(P, R) >= 2)
        log_message(LOG_TAG, LOG_ERROR, "Inconsistent number of keys: rot = %d, pos = %d", static_cast<int>(R),
                    static_cast<int>(P));
    const unsigned K = std::max(P, R);
    if (K < 1) return;

    description.root_motion.clear();
    description.root_keys.clear();
    description.root_residuals.clear();
    for (unsigned k = 0; k < K; ++k) {
        const aiQuaternion q = R > 0 ? root->mRotationKeys[R < 2 ? 0 : std::min(k, R - 1)].mValue : aiQuaternion();
        const aiVector3D p = P > 0 ? root->mPositionKeys[P < 2 ? 0 : std::min(k, P - 1)].mValue : aiVector3D();
        RootMotionSample sample;
        sample.rotation[0] = q.x, sample.rotation[1] = q.y, sample.rotation[2] = q.z, sample.rotation[3] = q.w;
        sample.position[0] = p.x, sample.position[1] = p.y, sample.position[2] = p.z;
        sample.phase = anim->mDuration > 0.0 ? static_cast<float>(static_cast<double>(k) / anim->mDuration) : 0.0f;
        description.root_motion.push_back(sample);
        description.root_keys.push_back(rigid(q, p));
        description.root_residuals.push_back(osg::Matrixf::identity());
    }
}

void AnimationManager::_process_root_motion(AnimationDescription& description, aiNodeAnim* channel,
                                            const PreprocessingOption& option) {
    if (!channel) return;
    const unsigned P = channel->mNumPositionKeys, R = channel->mNumRotationKeys;
    // Every sample is processed (a track shorter than the other holds its last key), reading the
    // keys as imported while they are rewritten.
    const std::vector<aiVectorKey> positions(channel->mPositionKeys, channel->mPositionKeys + P);
    const std::vector<aiQuatKey> rotations(channel->mRotationKeys, channel->mRotationKeys + R);
    const unsigned K = std::max(P, R);
    const bool in_place = _name != "typeD";
    if (description.root_residuals.size() < K) description.root_residuals.resize(K, osg::Matrixf::identity());

    // Heading and travel are taken in model space: through the transform of the root's parents (their
    // keys of the same index where the clip animates them), which may turn and scale the root's space.
    const int id = _find_node(channel->mNodeName.C_Str());
    const std::vector<uint32_t> none;
    const std::vector<uint32_t>& path = id >= 0 && id < static_cast<int>(_node_paths.size()) ? _node_paths[id] : none;
    auto parents_at = [&](unsigned k) {
        aiMatrix4x4 m;
        for (size_t j = path.size(); j-- > 1;) {
            const uint32_t a = path[j];
            const aiNodeAnim* ch = a < description.channels.size() ? description.channels[a] : nullptr;
            m = m * (ch ? key_matrix(ch, k, _rest_transforms[a]) : _rest_transforms[a]);
        }
        return m;
    };

    for (unsigned k = 0; k < K; ++k) {
        const unsigned rk = R > 0 ? std::min(k, R - 1) : 0, pk = P > 0 ? std::min(k, P - 1) : 0;
        const aiQuaternion q = R > 0 ? rotations[rk].mValue : aiQuaternion();
        const aiVector3D p = P > 0 ? positions[pk].mValue : aiVector3D();
        const aiMatrix4x4 parents = parents_at(k);
        const bool plain = parents == aiMatrix4x4();

        const aiVector3D facing = aiMatrix3x3(parents) * rotate(q, aiVector3D(1, 0, 0));
        const aiVector3D at = parents * p;
        const float h = angle_between_vectors(osg::Vec3f(1, 0, 0), osg::Vec3f(facing.x, 0.0f, facing.z));
        if (k < description.root_motion.size()) {
            RootMotionSample& s = description.root_motion[k];
            s.rotation[0] = 0.0f, s.rotation[1] = std::sin(h / 2.0f), s.rotation[2] = 0.0f;
            s.rotation[3] = std::cos(h / 2.0f);
            s.position[0] = at.x, s.position[1] = 0.0f, s.position[2] = at.z;
        }
        if (in_place) {
            const float c = std::cos(-h / 2.0f), s = std::sin(-h / 2.0f);
            if (plain) {
                if (k < P) channel->mPositionKeys[k].mValue = aiVector3D(0.0f, p.y, 0.0f);
                if (k < R)
                    channel->mRotationKeys[k].mValue = aiQuaternion(q.w * c - q.y * s, q.x * c + q.z * s,
                                                                    q.y * c + q.w * s, q.z * c - q.x * s);
            } else {
                // The root's world transform loses the heading and the travel: its local key becomes
                // parents^-1 * unturn * parents * key.
                aiMatrix4x4 unturn(aiQuaternion(c, 0.0f, s, 0.0f).GetMatrix());
                aiMatrix4x4 back;
                aiMatrix4x4::Translation(aiVector3D(-at.x, 0.0f, -at.z), back);
                aiMatrix4x4 inverse = parents;
                inverse.Inverse();
                const aiMatrix4x4 change = inverse * unturn * back * parents;
                aiVector3D scaling, offset;
                aiQuaternion turn;
                change.Decompose(scaling, turn, offset);
                if (k < P) channel->mPositionKeys[k].mValue = change * p;
                if (k < R) channel->mRotationKeys[k].mValue = (turn * q).Normalize();
            }
        }
        const aiQuaternion now = R > 0 ? channel->mRotationKeys[rk].mValue : aiQuaternion();
        const aiVector3D now_at = P > 0 ? channel->mPositionKeys[pk].mValue : aiVector3D();
        description.root_residuals[k] = rigid(now, now_at);
    }
}

bool AnimationManager::resample_animation(aiAnimation* anim) {
    if (!anim) return true;
    const double n = anim->mDuration + 1.0;
    if (!(n >= 1.0) || n > 1e7) return true;
    const int count = static_cast<int>(n);
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        resample_track(ch->mPositionKeys, ch->mNumPositionKeys, count, aiVector3D(0, 0, 0));
        resample_track(ch->mRotationKeys, ch->mNumRotationKeys, count, aiQuaternion());
    }
    return true;
}

bool AnimationManager::check_loop(const aiScene* scene, int animation_index) {
    if (!scene || animation_index < 0 || animation_index >= static_cast<int>(scene->mNumAnimations)) return true;
    const aiAnimation* anim = scene->mAnimations[animation_index];
    for (unsigned c = 0; anim && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch || ch->mNumRotationKeys == 0) continue;
        const aiQuaternion& a = ch->mRotationKeys[0].mValue;
        const aiQuaternion& b = ch->mRotationKeys[ch->mNumRotationKeys - 1].mValue;
        const float d[4] = {a.w - b.w, a.x - b.x, a.y - b.y, a.z - b.z};
        for (float v : d)
            if (!(std::fabs(v) <= 0.001f)) return false;
    }
    return true;
}


namespace {

double rate_of(const aiAnimation* anim) {
    return anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
}
double duration_of(const aiAnimation* anim) {
    return std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;
}


// A key track at tick t by key time, as assimp interpolates it: held before the first key and after the
// last, the bracketing pair found from the whole part of t (the pair itself for one key per tick, a
// step or two away otherwise); at t = n - 1 exactly the last key. `rest` for an empty track.
template <class Key, class Value>
Value sample_track(const Key* keys, unsigned n, double t, const Value& rest) {
    if (n == 0 || !keys) return rest;
    if (n == 1 || keys[0].mTime > t) return keys[0].mValue;
    if (t > keys[n - 1].mTime || t == static_cast<double>(n - 1)) return keys[n - 1].mValue;
    const double whole = std::floor(t);
    unsigned i = whole <= 0.0 ? 0u : static_cast<unsigned>(std::min(whole, static_cast<double>(n - 2)));
    while (i > 0 && keys[i].mTime > t) --i;
    while (i + 2 < n && keys[i + 1].mTime <= t) ++i;
    const double span = keys[i + 1].mTime - keys[i].mTime;
    float f = span > 0.0 ? static_cast<float>((t - keys[i].mTime) / span) : 0.0f;
    f = std::min(std::max(f, 0.0f), 1.0f);
    return mix(keys[i].mValue, keys[i + 1].mValue, f);
}

template <class Key>
const Key* key_at(const Key* keys, unsigned n, int k) {
    if (n == 0 || !keys) return nullptr;
    return &keys[std::min(static_cast<unsigned>(std::max(k, 0)), n - 1)];
}

osg::Matrixf rigid(const osg::Quat& q, const osg::Vec3f& p) {
    return osg::Matrixf::rotate(q) * osg::Matrixf::translate(p);
}

osg::Vec3f blend(const osg::Vec3f& a, const osg::Vec3f& b, float f) {
    const float wa = static_cast<float>(1.0 - static_cast<double>(f));
    return a * wa + b * f;
}

// Scales closer to 1 than this are taken as 1.
const float UNIT_SCALE_TOLERANCE = 1e-5f;

// The uniform scale of a transform (the length of its first axis) and the transform without it.
float split_scale(osg::Matrixf& m) {
    const float s = osg::Vec3f(m(0, 0), m(0, 1), m(0, 2)).length();
    if (std::fabs(s - 1.0f) <= UNIT_SCALE_TOLERANCE) return 1.0f;
    if (!(s > 1e-12f) || !std::isfinite(s)) {
        const osg::Vec3f p = m.getTrans();
        m.makeTranslate(p);
        return s > 0.0f && std::isfinite(s) ? s : 0.0f;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m(r, c) /= s;
    return s;
}
float split_scale(aiMatrix4x4& m) {
    const float s = aiVector3D(m.a1, m.b1, m.c1).Length();
    if (std::fabs(s - 1.0f) <= UNIT_SCALE_TOLERANCE) return 1.0f;
    if (!(s > 1e-12f) || !std::isfinite(s)) {
        const aiVector3D p(m.a4, m.b4, m.c4);
        m = aiMatrix4x4();
        m.a4 = p.x, m.b4 = p.y, m.c4 = p.z;
        return s > 0.0f && std::isfinite(s) ? s : 0.0f;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] /= s;
    return s;
}

// The rigid blend of two transforms (rotation by slerp, translation linearly) that carries their
// uniform scales linearly; transforms without scale blend exactly as `lerp` does.
osg::Matrixf blend_scaled(osg::Matrixf a, osg::Matrixf b, double t) {
    const float sa = split_scale(a), sb = split_scale(b);
    const osg::Matrixf r = lerp(a, b, t);
    if (sa == 1.0f && sb == 1.0f) return r;
    const float s = static_cast<float>(1.0 - t) * sa + static_cast<float>(t) * sb;
    return osg::Matrixf::scale(s, s, s) * r;
}
aiMatrix4x4 blend_scaled(aiMatrix4x4 a, aiMatrix4x4 b, float t) {
    const float sa = split_scale(a), sb = split_scale(b);
    aiMatrix4x4 r = blend_ai_matrices(a, b, t);
    if (sa == 1.0f && sb == 1.0f) return r;
    const float s = (1.0f - t) * sa + t * sb;
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c) r[i][c] *= s;
    return r;
}

// Uniform scale s, then rotation q, then translation p (row-vector form).
osg::Matrixf scaled_rigid(float s, const osg::Quat& q, const osg::Vec3f& p) {
    const osg::Matrixf m = rigid(q, p);
    return s == 1.0f ? m : osg::Matrixf::scale(s, s, s) * m;
}

// Key pair (k0, k1) and factor of a tick over K samples; indices always inside [0, K - 1].
struct KeyPair {
    int k0 = 0, k1 = 0;
    float f = 0.0f;
};
KeyPair key_pair(float tick, int K) {
    KeyPair p;
    if (K <= 0 || !std::isfinite(tick)) return p;
    const float top = static_cast<float>(K - 1);
    const float t = std::min(std::max(tick, 0.0f), top);
    p.k0 = static_cast<int>(t);
    p.k1 = static_cast<int>(clamp(t + 1.0f, t, top));
    p.f = std::min(std::max(t - static_cast<float>(p.k0), 0.0f), 1.0f);
    return p;
}

// Clip index held as a float in a sample record; -1 for anything that is not a whole index.
int clip_of(float v) { return v >= 0.0f && v < 65535.0f ? static_cast<int>(v) : -1; }

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Ticks and poses

float AnimationManager::get_tick(const aiAnimation* anim, float time, bool loop) const {
    if (!anim) return 0.0f;
    const double duration = duration_of(anim);
    float tick = static_cast<float>(static_cast<double>(time) * rate_of(anim));
    if (duration <= 0.0) return 0.0f;
    if (loop)
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
    else
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    return std::isfinite(tick) ? tick : 0.0f;
}

void AnimationManager::_build_local_transforms(const aiAnimation* anim, float tick,
                                               std::vector<aiMatrix4x4>& locals) const {
    if (!anim) return;
    // A node animated by several channels follows the first of them, as everywhere else.
    std::vector<bool> done(locals.size(), false);
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        const int id = _find_node(ch->mNodeName.C_Str());
        if (id < 0 || id >= static_cast<int>(locals.size()) || done[id]) continue;
        done[id] = true;
        aiVector3D rest_scaling(1, 1, 1), rest_position;
        aiQuaternion rest_rotation;
        if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0 || ch->mNumScalingKeys == 0)
            locals[id].Decompose(rest_scaling, rest_rotation, rest_position);
        const aiVector3D p = sample_track(ch->mPositionKeys, ch->mNumPositionKeys, tick, rest_position);
        const aiQuaternion q = sample_track(ch->mRotationKeys, ch->mNumRotationKeys, tick, rest_rotation);
        const aiVector3D s = sample_track(ch->mScalingKeys, ch->mNumScalingKeys, tick, rest_scaling);
        aiMatrix4x4 m(q.GetMatrix());
        for (int r = 0; r < 3; ++r) m[r][0] *= s.x, m[r][1] *= s.y, m[r][2] *= s.z;
        m.a4 = p.x, m.b4 = p.y, m.c4 = p.z;
        locals[id] = m;
    }
}

void AnimationManager::_build_world_transforms(const std::vector<aiMatrix4x4>& locals,
                                               std::vector<aiMatrix4x4>& world) const {
    const size_t n = std::min(_rest_transforms.size(), locals.size());
    world.resize(_rest_transforms.size());
    for (size_t i = 0; i < n; ++i) {
        const std::vector<uint32_t>& path = _node_paths[i];
        aiMatrix4x4 w = locals[path[0]];
        for (size_t j = 1; j < path.size(); ++j) w = locals[path[j]] * w;
        world[i] = w;
    }
}

void AnimationManager::_build_bones(const std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const {
    bones.clear();
    const size_t n = std::min(world.size(), _node_paths.size());
    for (size_t i = 0; i < n; ++i) {
        const std::vector<uint32_t>& path = _node_paths[i];
        const size_t q = path.size() > 1 ? path[1] : i;
        bones.push_back(get_translation(world[q]));
        bones.push_back(get_translation(world[i]));
    }
}

void AnimationManager::_get_pose(const aiAnimation* anim, float tick, std::vector<aiMatrix4x4>& world,
                                 std::vector<aiMatrix4x4>& locals, std::vector<osg::Vec3f>& bones) const {
    world.resize(_rest_transforms.size());
    locals = _rest_transforms;
    _build_local_transforms(anim, tick, locals);
    _build_world_transforms(locals, world);
    _build_bones(world, bones);
}

void AnimationManager::get_pose(int clip, float time, std::vector<aiMatrix4x4>& world, bool loop,
                                std::vector<osg::Vec3f>& bones) const {
    const aiAnimation* anim = _clip_animation(clip);
    std::vector<aiMatrix4x4> locals;
    _get_pose(anim, get_tick(anim, time, loop), world, locals, bones);
}

void AnimationManager::_blend(const std::vector<aiMatrix4x4>& a, const std::vector<aiMatrix4x4>& b, float w,
                              std::vector<aiMatrix4x4>& out) const {
    out.resize(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = i < b.size() ? blend_scaled(a[i], b[i], w) : a[i];
}

void AnimationManager::get_blended_pose(int clip_a, float time_a, int clip_b, float time_b, float w,
                                        std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const {
    auto tick_of = [](const aiAnimation* anim, float time) {
        if (!anim) return 0.0f;
        const double duration = duration_of(anim);
        if (duration <= 0.0) return 0.0f;
        const float d = static_cast<float>(duration);
        float tick = clamp(static_cast<float>(std::fmod(time * rate_of(anim), duration)), 0.0f, d);
        if (tick == 0.0f && time > 0.0f) tick = d;
        return tick;
    };
    const aiAnimation* a = _clip_animation(clip_a);
    const aiAnimation* b = _clip_animation(clip_b);
    std::vector<aiMatrix4x4> locals_a = _rest_transforms, locals_b = _rest_transforms, locals;
    _build_local_transforms(a, tick_of(a, time_a), locals_a);
    _build_local_transforms(b, tick_of(b, time_b), locals_b);
    _blend(locals_a, locals_b, w, locals);
    world.resize(_rest_transforms.size());
    _build_world_transforms(locals, world);
    _build_bones(world, bones);
}

void AnimationManager::get_last_key_pose(int clip, std::vector<aiMatrix4x4>& world) const {
    const aiAnimation* anim = _clip_animation(clip);
    std::vector<aiMatrix4x4> locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, anim ? static_cast<float>(duration_of(anim)) : 0.0f, world, locals, bones);
}

aiMatrix4x4 AnimationManager::get_channel_matrix(const aiNodeAnim* channel, int key) {
    if (!channel) return aiMatrix4x4();
    const aiVectorKey* s = key_at(channel->mScalingKeys, channel->mNumScalingKeys, key);
    const aiQuatKey* r = key_at(channel->mRotationKeys, channel->mNumRotationKeys, key);
    const aiVectorKey* p = key_at(channel->mPositionKeys, channel->mNumPositionKeys, key);
    return aiMatrix4x4(s ? s->mValue : aiVector3D(1, 1, 1), r ? r->mValue : aiQuaternion(),
                       p ? p->mValue : aiVector3D(0, 0, 0));
}

void AnimationManager::set_channel_matrix(aiNodeAnim* channel, int key, const aiMatrix4x4& m) {
    if (!channel) return;
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    if (auto* s = const_cast<aiVectorKey*>(key_at(channel->mScalingKeys, channel->mNumScalingKeys, key))) s->mValue = scaling;
    if (auto* r = const_cast<aiQuatKey*>(key_at(channel->mRotationKeys, channel->mNumRotationKeys, key))) r->mValue = rotation;
    if (auto* p = const_cast<aiVectorKey*>(key_at(channel->mPositionKeys, channel->mNumPositionKeys, key)))
        p->mValue = position;
}

// ---------------------------------------------------------------------------------------------------
// Single-node and root sampling

osg::Matrixf AnimationManager::sample_animation(int node, int clip, float time, bool loop) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim || node < 0 || node >= _num_nodes) return osg::Matrixf::identity();
    const AnimationDescription& d = _clips[clip];
    const aiNodeAnim* ch = node < static_cast<int>(d.channels.size()) ? d.channels[node] : nullptr;
    if (!ch) return to_Matrixf(_rest_transforms[node]);

    // Key k of every track at tick k (a track read at min(k, its key count - 1)), over the clip's frames.
    const float tick = get_tick(anim, time, loop);
    const double frames = std::min(std::floor(duration_of(anim)) + 1.0, 2147483647.0);
    const KeyPair kp = key_pair(tick, static_cast<int>(frames));

    aiVector3D rest_scaling(1, 1, 1), rest_position;
    aiQuaternion rest_rotation;
    if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0 || ch->mNumScalingKeys == 0)
        _rest_transforms[node].Decompose(rest_scaling, rest_rotation, rest_position);
    const aiQuatKey* r0 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k0);
    const aiQuatKey* r1 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k1);
    const aiVectorKey* p0 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k0);
    const aiVectorKey* p1 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k1);
    const aiVectorKey* s0 = key_at(ch->mScalingKeys, ch->mNumScalingKeys, kp.k0);
    const aiVectorKey* s1 = key_at(ch->mScalingKeys, ch->mNumScalingKeys, kp.k1);
    const aiQuaternion a = r0 ? r0->mValue : rest_rotation, b = r1 ? r1->mValue : rest_rotation;
    const aiVector3D pa = p0 ? p0->mValue : rest_position, pb = p1 ? p1->mValue : rest_position;
    const float sa = s0 ? s0->mValue.x : rest_scaling.x, sb = s1 ? s1->mValue.x : rest_scaling.x;

    osg::Quat q;
    q.slerp(kp.f, osg::Quat(a.x, a.y, a.z, a.w), osg::Quat(b.x, b.y, b.z, b.w));
    const osg::Vec3f p = blend(osg::Vec3f(pa.x, pa.y, pa.z), osg::Vec3f(pb.x, pb.y, pb.z), kp.f);
    const float scale = sa == sb ? sa : static_cast<float>(1.0 - static_cast<double>(kp.f)) * sa + kp.f * sb;
    return scaled_rigid(scale, q, p);
}

InstanceMatrices AnimationManager::_root_matrix_at(const AnimationDescription& d, float tick) const {
    const std::vector<RootMotionSample>& s = d.root_motion;
    if (s.empty() || d.root_keys.size() < s.size()) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const KeyPair kp = key_pair(tick, static_cast<int>(s.size()));
    const RootMotionSample& a = s[kp.k0];
    const RootMotionSample& b = s[kp.k1];
    osg::Quat q;
    q.slerp(kp.f, osg::Quat(a.rotation[0], a.rotation[1], a.rotation[2], a.rotation[3]),
            osg::Quat(b.rotation[0], b.rotation[1], b.rotation[2], b.rotation[3]));
    const osg::Vec3f p = blend(osg::Vec3f(a.position[0], a.position[1], a.position[2]),
                               osg::Vec3f(b.position[0], b.position[1], b.position[2]), kp.f);
    return {rigid(q, p), blend_matrices(d.root_keys[kp.k0], d.root_keys[kp.k1], kp.f)};
}

InstanceMatrices AnimationManager::get_root_matrix(int clip, float time, const osg::Vec3f& loop) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const double rate = rate_of(anim), duration = duration_of(anim);
    float tick = static_cast<float>(static_cast<double>(time) * rate);
    if (duration <= 0.0) {
        tick = 0.0f;
    } else if (loop.x() > 0.0f) {
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
        const float start = loop.y(), end = loop.z();
        const float length = static_cast<float>(duration / rate);
        if (start >= 0.0f && end >= 0.0f && time >= start && end > start && length > 0.0f)
            tick = static_cast<float>(
                (std::fmod(std::fmod(time, end - start) + start, length) / length) * duration);
    } else {
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    }
    return _root_matrix_at(_clips[clip], tick);
}

// ---------------------------------------------------------------------------------------------------
// Node queries on clips

aiMatrix4x4 AnimationManager::get_node_position(int clip, int node, float time) const {
    if (node < 0 || node >= _num_nodes) return aiMatrix4x4();
    const aiAnimation* anim = _clip_animation(clip);
    float tick = 0.0f;
    if (anim && duration_of(anim) > 0.0)
        tick = clamp(static_cast<float>(time * rate_of(anim)), 0.0f, static_cast<float>(duration_of(anim)));
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, tick, world, locals, bones);
    return world[node];
}

aiMatrix4x4 AnimationManager::get_node_position(int clip, const std::string& node_name, float time) const {
    int node = _find_node(node_name);
    if (node < 0) node = _find_node("root");
    return get_node_position(clip, node, time);
}

aiMatrix4x4 AnimationManager::get_last_node_position(int clip, int node) const {
    if (node < 0 || node >= _num_nodes) return aiMatrix4x4();
    std::vector<aiMatrix4x4> world;
    get_last_key_pose(clip, world);
    return world[node];
}

osg::Vec3f AnimationManager::get_node_movement_shift(int clip, int node) const {
    return get_translation(get_last_node_position(clip, node)) - get_translation(get_node_position(clip, node, 0.0f));
}

std::vector<osg::Vec3f> AnimationManager::get_movement(int clip) const {
    std::vector<osg::Vec3f> out;
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return out;
    const int n = static_cast<int>(duration_of(anim));
    const int r = std::max(static_cast<int>(rate_of(anim)), 1);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        out.push_back(get_translation(get_node_position(clip, _root_node_id, static_cast<float>(i) / r)));
    return out;
}

void AnimationManager::get_instance_shift(int clip, float time, bool loop, osg::Matrixf& out) const {
    out.makeIdentity();
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim || _root_node_id < 0 || _root_node_id >= _num_nodes) return;
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, 0.0f, world, locals, bones);
    const osg::Vec3f start = get_translation(world[_root_node_id]);
    _get_pose(anim, get_tick(anim, time, loop), world, locals, bones);
    const osg::Vec3f now = get_translation(world[_root_node_id]);
    out.makeTranslate(now.x() - start.x(), 0.0f, now.z() - start.z());
}

void AnimationManager::build_node_trajectory(std::vector<osg::Vec3d>& out, int clip, const char* node_name) const {
    out.clear();
    const aiAnimation* anim = _clip_animation(clip);
    const int node = _find_node(node_name);
    if (!anim || node < 0 || node >= _num_nodes) return;
    const AnimationDescription& d = _clips[clip];
    if (node >= static_cast<int>(d.channels.size()) || !d.channels[node]) return;
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    const double duration = duration_of(anim);
    for (int i = 0; i < duration; ++i) {
        _get_pose(anim, static_cast<float>(i), world, locals, bones);
        const osg::Vec3f p = get_translation(world[node]);
        out.emplace_back(p.x(), p.y() + 10000.0, p.z());
    }
}

// ---------------------------------------------------------------------------------------------------
// Record evaluation

osg::Matrixf AnimationManager::get_bs_node_matrix(int node, float time, const ShaderBlendSpace2D& rec) const {
    osg::Matrixf m;
    if (node < 0 || node >= _num_nodes) return m;
    const float x = time - rec.start_time;
    const bool looping = rec.loop > 0.0f;
    float local = x;
    int c[4];
    for (int k = 0; k < 4; ++k) c[k] = clip_of(rec.samples[k].clip);
    auto d = [&](int k) { return static_cast<double>(get_animation_duration(c[k])); };
    auto phase_of = [&](float D) {
        if (!(D > 0.0f)) return 0.0f;
        return looping ? std::fmod(x, D) / D : clamp(x / D, 0.0f, 1.0f);
    };
    const double u = rec.weight_x, v = rec.weight_y;

    switch (rec.kind) {
    case BS_RECORD_CLIP:
        if (looping && rec.loop_start >= 0.0f && rec.loop_end >= 0.0f && time >= rec.start_time + rec.loop_start &&
            rec.loop_end > rec.loop_start)
            local = std::fmod(x, rec.loop_end - rec.loop_start) + rec.loop_start;
        m = sample_animation(node, c[0], local, looping);
        break;
    case BS_RECORD_1D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u);
        const float t = phase_of(D) * D;
        m = blend_scaled(sample_animation(node, c[0], t, looping), sample_animation(node, c[1], t, looping), u);
        break;
    }
    case BS_RECORD_2D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float phase = phase_of(D);
        osg::Matrixf s[4];
        for (int k = 0; k < 4; ++k) s[k] = sample_animation(node, c[k], phase * static_cast<float>(d(k)), looping);
        m = blend_scaled(blend_scaled(s[0], s[1], u), blend_scaled(s[2], s[3], u), v);
        break;
    }
    default:
        return m;
    }

    if (rec.override_clip == -1.0f) return m;
    const int o = clip_of(rec.override_clip);
    const OverrideAnimation* ov = find_override_by_clip(o);
    if (ov && node < static_cast<int>(ov->weights.size()) && ov->weights[node] > 0.0f)
        m = sample_animation(node, o, rec.kind == BS_RECORD_CLIP ? local : x, looping);
    return m;
}

osg::Matrixf AnimationManager::blend_stack_items(int node, float time, const ShaderBlendSpace2D& previous,
                                                 const ShaderBlendSpace2D& next) const {
    const float b = next.blend_duration;
    if (b > 0.0f) {
        const float w = clamp((time - next.blend_start) / b, 0.0f, 1.0f);
        if (w < 1.0f)
            return blend_scaled(get_bs_node_matrix(node, time, previous), get_bs_node_matrix(node, time, next), w);
        return get_bs_node_matrix(node, time, next);
    }
    return get_bs_node_matrix(node, time, next.blend_start > time ? previous : next);
}

osg::Matrixf AnimationManager::get_node_matrix(int node, float time, CharacterModelCookie* cookie) const {
    if (!cookie || cookie->get_stack_size() <= 0) return osg::Matrixf::identity();
    return get_bs_node_matrix(node, time, cookie->get_current_blend_space(time));
}

osg::Matrixf AnimationManager::get_blended_root(float time, CharacterModelCookie* cookie) const {
    return get_node_matrix(_root_node_id, time, cookie);
}

osg::Matrixf AnimationManager::get_node_world_pos(CharacterModelCookie* cookie, const std::string& node_name,
                                                  float time) {
    const int node = _find_node(node_name);
    if (node < 0 || node >= static_cast<int>(_node_paths.size())) {
        std::lock_guard<std::mutex> lock(_report_lock);
        if (_reported_nodes.insert(node_name).second)
            log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", node_name.c_str());
        return osg::Matrixf::identity();
    }
    if (!cookie || cookie->get_stack_size() <= 0) return osg::Matrixf::identity();
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    osg::Matrixf m = get_bs_node_matrix(node, time, rec);
    const std::vector<uint32_t>& path = _node_paths[node];
    for (size_t j = 1; j < path.size(); ++j) m = m * get_bs_node_matrix(static_cast<int>(path[j]), time, rec);
    return m;
}

bool AnimationManager::get_model_transforms(float time, CharacterModelCookie* cookie, osg::Matrixf* out) const {
    if (!cookie || !out || cookie->get_stack_size() <= 0) return false;
    const osg::Vec2f window = cookie->get_timeline_window();
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();
    const int slot = cookie->get_current_slot(time);
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    const ShaderBlendSpace2D* below = nullptr;
    if (slot > 0) below = &cookie->get_model()->get_record(cookie->get_instance_data().stack[slot - 1]);
    for (int node = 0; node < _num_nodes; ++node) {
        out[node] = below ? blend_stack_items(node, time, *below, rec) : get_bs_node_matrix(node, time, rec);
        // Parents come before their children in node id order, so the parent's matrix is final here.
        const std::vector<uint32_t>& path = _node_paths[node];
        if (path.size() > 1 && path[1] < static_cast<uint32_t>(node)) out[node] = out[node] * out[path[1]];
    }
    return true;
}

InstanceMatrices AnimationManager::_get_instance_matrix(float time, const ShaderBlendSpace2D& rec) const {
    const float x = time - rec.start_time;
    const osg::Vec3f loop(rec.loop, rec.loop_start, rec.loop_end);
    const float u = rec.weight_x, v = rec.weight_y;
    int c[4];
    for (int k = 0; k < 4; ++k) c[k] = clip_of(rec.samples[k].clip);
    auto d = [&](int k) { return static_cast<double>(get_animation_duration(c[k])); };
    auto cyclic = [&](float D) { return D > 0.0f ? std::fmod(x, D) / D : 0.0f; };
    auto mix = [](const InstanceMatrices& a, const InstanceMatrices& b, float w) {
        return InstanceMatrices{blend_matrices(std::get<0>(a), std::get<0>(b), w),
                                blend_matrices(std::get<1>(a), std::get<1>(b), w)};
    };

    switch (rec.kind) {
    case BS_RECORD_CLIP:
        return get_root_matrix(c[0], x, loop);
    case BS_RECORD_1D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u);
        const float phase = cyclic(D);
        return mix(get_root_matrix(c[0], phase * static_cast<float>(d(0)), loop),
                   get_root_matrix(c[1], phase * static_cast<float>(d(1)), loop), u);
    }
    case BS_RECORD_2D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float phase = cyclic(D);
        InstanceMatrices a[4];
        for (int k = 0; k < 4; ++k) a[k] = get_root_matrix(c[k], phase * static_cast<float>(d(k)), loop);
        return mix(mix(a[0], a[1], u), mix(a[2], a[3], u), v);
    }
    default:
        return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    }
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, CharacterModelCookie* cookie) const {
    if (!cookie || cookie->get_stack_size() <= 0) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const osg::Vec2f window = cookie->get_timeline_window();
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();
    return _get_instance_matrix(time, cookie->get_current_blend_space(time));
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, int instance_id, const osg::Vec2f& window,
                                                       CharacterModelStatic* model) const {
    const InstanceMatrices none{osg::Matrixf::identity(), osg::Matrixf::identity()};
    if (!model || instance_id < 0) return none;
    const std::vector<InstanceData>& data = model->get_per_instance_data();
    if (instance_id >= static_cast<int>(data.size())) return none;
    const InstanceData& inst = data[instance_id];
    const int size = std::min(inst.stack_size, MAX_ANIMATIONS_STACK_SIZE);
    if (size <= 0) return none;
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();

    // The record in effect: the newest entry that has started, the bottom one before any start.
    auto record = [&](int i) -> const ShaderBlendSpace2D* {
        try {
            return &model->get_record(inst.stack[i]);
        } catch (const std::out_of_range&) {
            return nullptr;
        }
    };
    const ShaderBlendSpace2D* bottom = record(0);
    if (!bottom) return none;
    const ShaderBlendSpace2D* current = bottom;
    if (bottom->start_time < time) {
        for (int i = 0; i < size; ++i) {
            const ShaderBlendSpace2D* r = record(i);
            if (!r) continue;
            const ShaderBlendSpace2D* above = i + 1 < size ? record(i + 1) : nullptr;
            if (time >= r->start_time && (i + 1 == size || !above || above->start_time > time)) {
                current = r;
                break;
            }
        }
    }
    return _get_instance_matrix(time, *current);
}


namespace {

// Answered for an index or a name that no entry has: belongs to no library, so it is unplayable
// (empty record, duration 0, identity root motion, zero route plan).
const Animation& empty_entry() {
    static const Animation entry;
    return entry;
}

// Reads a whole descriptor and runs it; true when the chunk ran (its first result is then on top).
bool run_descriptor(Lua::Config& cfg, const std::string& path) {
    std::vector<char> data;
    if (!ornvfs::read_file(path, data)) return false;
    return cfg.load_buffer(data.data(), data.size(), path.c_str());
}

}  // namespace

void AnimationManager::_load_blend_spaces(const std::vector<std::string>& files, Lua::Config& cfg) {
    lua_State* L = cfg.state();
    if (!L) return;
    for (const std::string& file : files) {
        const std::string path = "/animations/" + _name + "/blend_space/" + file;
        if (!run_descriptor(cfg, path)) {
            log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
            continue;
        }
        if (!lua_istable(L, -1)) {
            // The chunk must answer its descriptor table; reading fields of anything else would read the
            // globals.
            log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
            cfg.pop();
            continue;
        }
        std::string type;
        cfg.read("type", type);
        if (std::unique_ptr<Animation> entry = Animation::create(type)) {
            entry->load(cfg, this);
            if (cfg.failed()) {
                log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
                cfg.pop();
                continue;
            }
            const int id = static_cast<int>(_blend_spaces.size());
            entry->set_id(id);
            _blend_space_names[entry->get_name()] = id;
            _blend_spaces.push_back(std::move(entry));
        }
        cfg.pop();
    }
}

const Animation& AnimationManager::get_blend_space(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= _blend_spaces.size()) return empty_entry();
    return *_blend_spaces[static_cast<size_t>(index)];
}

const Animation& AnimationManager::get_blend_space(const std::string& name) const {
    auto it = _blend_space_names.find(name);
    if (it == _blend_space_names.end()) return empty_entry();
    return get_blend_space(it->second);
}

void AnimationManager::_load_graph(const std::vector<std::string>& files, Lua::Config& cfg) {
    log_message(LOG_TAG, LOG_INFO, "Loading graphs:");
    for (const std::string& file : files) {
        const std::string path = "/animations/" + _name + "/graph/" + file;
        if (run_descriptor(cfg, path))
            cfg.pop();
        else
            log_message(LOG_TAG, LOG_ERROR, "can not load graph");
    }
    _graph = std::make_unique<AnimationGraph>();
    _graph->init(cfg, this);
    if (cfg.failed()) {
        log_message(LOG_TAG, LOG_ERROR, "can not load graph");
        _graph = std::make_unique<AnimationGraph>();
    }
}

}  // namespace Animator
