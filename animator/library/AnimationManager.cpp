// AnimationManager construction, init and the skeleton with its node table; the GPU forwarding calls.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cfloat>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/instance/GpuAnimation.h"
#include "animator/library/AnimationManagerDetail.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/util/Log.h"
#include "host/Vfs.h"

namespace Animator {

using detail::ANIMATIONS_ROOT;
using detail::clear_global;
using detail::MAX_CLIP_TICKS;
using detail::read_numbers;

namespace {

// What the packed frames of one library may take (32 bytes per node and frame); clips that would pass
// it are left out.
const size_t MAX_PACKED_FRAME_BYTES = size_t(128) << 20;
const size_t PACKED_FRAME_BYTES = 32;

void set_node_name(aiNode* node, const std::string& name) {
    if (name.size() < MAXLEN) node->mName.Set(name);
}

void attach_children(aiNode* parent, const std::vector<aiNode*>& children) {
    if (children.empty()) return;
    parent->mNumChildren = static_cast<unsigned>(children.size());
    parent->mChildren = new aiNode*[children.size()];
    std::copy(children.begin(), children.end(), parent->mChildren);
}

// The bytes the packing gives a clip: one frame per whole tick for every node.
size_t packed_clip_bytes(const aiScene* scene, int nodes) {
    const aiAnimation* anim = scene && scene->mNumAnimations && scene->mAnimations ? scene->mAnimations[0] : nullptr;
    const double frames = anim && anim->mDuration > 0.0 ? anim->mDuration + 1.0 : 1.0;
    return static_cast<size_t>(std::min(frames, MAX_CLIP_TICKS + 1.0)) * static_cast<size_t>(std::max(nodes, 1)) *
           PACKED_FRAME_BYTES;
}

}  // namespace

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
    _clips.clear();
    _clip_names.clear();
    _clip_index.clear();
    _descriptor_scenes.clear();
    _skeleton.reset();
    _node_ids.clear();
    _rest_transforms.clear();
    _node_paths.clear();
    _longest_path = 0;
    _num_nodes = 0;
    _root_node_id = -1;
    _default_animation_index = 0;
    _skeleton_file_name.clear();
    _runtime = ClipRuntime();
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
        const size_t bytes = packed_clip_bytes(it->scene.get(), _num_nodes);
        if (packed + bytes <= MAX_PACKED_FRAME_BYTES) {
            packed += bytes;
            ++it;
            continue;
        }
        log_message(LOG_TAG, LOG_ERROR, "animation %s left out: the packed frames of '%s' would pass %zu bytes",
                    it->name.c_str(), _name.c_str(), MAX_PACKED_FRAME_BYTES);
        _descriptor_scenes.erase(it->scene.get());
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
            !_descriptor_scenes.count(_clips[i].scene.get())) {
            _default_animation_index = static_cast<int>(i);
            default_found = true;
        }
    }

    // Blend spaces measure their clips through the queries, so the clips take their runtime form first;
    // the overrides join it once loaded.
    _runtime.build(*this, _node_ids);
    _load_blend_spaces(blend_spaces, cfg);
    _load_overrides(overrides, cfg);
    _runtime.bind_overrides(*this);

    // The GPU packing only reads the clips and overrides, so the graph is loaded here while it runs;
    // init returns once both are done.
    orn::push_pooled_task([this] { create_gpu_animations(); }, _gpu_tasks, 1, "ANIMATOR");
    _load_graph(graphs, cfg);
    _gpu_tasks->get_signal().wait();
    _loaded = true;
}

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
        ScenePtr scene = import_scene_from_memory(data.data(), data.size(), path);
        if (!scene || !scene->mRootNode) {
            log_message(LOG_TAG, LOG_ERROR, "error loading %s", path.c_str());
            return false;
        }
        _skeleton = std::move(scene);
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

    aiScene* skeleton = new aiScene();
    ScenePtr owner(skeleton);
    skeleton->mRootNode = new aiNode("scene_rooot");
    if (!cfg.open("skeleton")) {
        log_message(LOG_TAG, LOG_ERROR, "can not open skeleton table");
        if (cfg.failed()) return false;
        _skeleton = std::move(owner);
        return true;
    }
    std::vector<aiNode*> children;
    load_node(cfg, skeleton->mRootNode, children);
    attach_children(skeleton->mRootNode, children);
    cfg.close();
    if (cfg.failed()) {
        log_message(LOG_TAG, LOG_ERROR, "can not parse '%s'", path.c_str());
        return false;
    }
    _skeleton = std::move(owner);
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

int AnimationManager::_find_node(const std::string& name) const {
    // Once loaded, names are looked up without interning them: the names callers ask for neither
    // grow the cache nor take its lock.
    return _loaded ? _runtime.node_id(name) : _find_node(name.c_str());
}

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
    // A renderer reset may come while another thread loads this library, whose packing task makes the
    // GPU data: the release waits for that init to end.
    std::lock_guard<std::mutex> init_lock(_init_lock);
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

}  // namespace Animator
