// The animation library of one skeleton type: registry, skeleton and node table, clip discovery and
// parallel loading, overrides and the GPU clip buffers with the compute pass.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <stdexcept>

#include <assimp/cimport.h>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/util/Log.h"
#include "host/Graphics.h"
#include "host/Vfs.h"

namespace Animator {

namespace {

const char* const ANIMATIONS_ROOT = "/animations/";
// The take name that a common online animation library writes into its files.
const char* const LIBRARY_TAKE_NAME = "mixamo.com";
// A descriptor asking for more keys than this is refused rather than allocated.
const int MAX_DESCRIPTOR_KEYS = 1 << 20;

std::map<std::string, std::unique_ptr<AnimationManager>>& registry() {
    static std::map<std::string, std::unique_ptr<AnimationManager>> managers;
    return managers;
}

// Destroys every manager when the renderer resets (event 1).
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

void fill_registry_once() {
    if (!registry().empty()) return;
    init_animation_managers();
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

aiQuaternion rotation_of(const aiMatrix4x4& m) {
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    return rotation;
}

}  // namespace

const aiScene* import_scene_from_memory(const void* buffer, size_t length) {
    if (!buffer || length == 0) return nullptr;
    aiPropertyStore* store = aiCreatePropertyStore();
    aiSetImportPropertyInteger(store, "IMPORT_FBX_PRESERVE_PIVOTS", 0);
    const aiScene* scene = aiImportFileFromMemoryWithProperties(static_cast<const char*>(buffer),
                                                                static_cast<unsigned>(length), 9, "", store);
    aiReleasePropertyStore(store);
    return scene;
}

// ---------------------------------------------------------------------------------------------------
// Registry

AnimationManager& get_animation_manager(const char* skeleton_type) {
    static AnimationManager empty("");
    fill_registry_once();
    const std::string type = skeleton_type ? skeleton_type : "";
    auto it = registry().find(type);
    if (it == registry().end() || !it->second) {
        log_message(LOG_TAG, LOG_ERROR, "animation manager '%s' not found", type.c_str());
        return empty;
    }
    it->second->init();
    return *it->second;
}

AnimationManager* find_animation_manager(const char* skeleton_type) {
    fill_registry_once();
    auto it = registry().find(skeleton_type ? skeleton_type : "");
    if (it == registry().end() || !it->second) return nullptr;
    it->second->init();
    return it->second.get();
}

void init_animation_managers() {
    const std::vector<std::string> names = ornvfs::enumerate(ANIMATIONS_ROOT);
    if (names.empty()) {
        log_message(LOG_TAG, LOG_ERROR, "can not enumerate animations");
        return;
    }
    for (const std::string& name : names) {
        ornvfs::Stat st;
        if (!ornvfs::stat(std::string(ANIMATIONS_ROOT) + "/" + name, st)) continue;
        if (st.file_type != ornvfs::FT_DIRECTORY) continue;
        registry()[name] = std::make_unique<AnimationManager>(name.c_str());
    }
}

void destroy_animation_managers() { registry().clear(); }

// ---------------------------------------------------------------------------------------------------
// Construction and loading

struct AnimationManager::GpuData {
    struct Frame {
        float rotation[4];
        float translation[4];
    };
    struct ClipInfo {
        uint32_t first;
        uint32_t nodes;
        int32_t frames;
        float rate;
        float vector[4];
    };
    static_assert(sizeof(Frame) == 32 && sizeof(ClipInfo) == 32, "GPU element sizes");

    std::vector<Frame> frames;
    std::vector<ClipInfo> clips;
    std::vector<int32_t> node_paths;
    std::vector<float> masks;
    render::StructuredBuffer animations, clips_info, paths, mask_buffer, local_transforms;
    render::ShaderPtr shader;
    render::TechniqueHandle technique = -1;
    enum Var {
        V_ANIMATIONS, V_CLIPS_INFO, V_NODE_PATHS, V_MASKS, V_PER_INSTANCE_DATA, V_PER_INSTANCE_DATA_RW,
        V_PER_INSTANCE_ANIMATIONS, V_LOCAL_TRANSFORMS, V_LOCAL_TRANSFORMS_RW, V_MODEL_TRANSFORMS_RW,
        V_INSTANCE_INDICES, V_TIMELINE, V_MODEL_TIME, V_ROOT_TRANSFORM_INDEX, V_COUNT
    };
    render::VariableHandle vars[V_COUNT];
};

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
    if (_loaded || !_lua) return;
    _reset();
    Lua::StackGuard guard(_lua);
    lua_pushvalue(_lua, LUA_GLOBALSINDEX);
    Lua::Config cfg(_lua);

    const std::string dir = ANIMATIONS_ROOT + _name;
    const std::vector<std::string> entries = ornvfs::enumerate(dir);
    const std::vector<std::string> blend_spaces = ornvfs::enumerate(dir + "/blend_space");
    const std::vector<std::string> overrides = ornvfs::enumerate(dir + "/override");
    const std::vector<std::string> graphs = ornvfs::enumerate(dir + "/graph");
    if (entries.empty()) return;

    if (!_load_skeleton(cfg)) return;
    process_hierarchy(_skeleton->mRootNode);
    _root_node_id = get_node_id(_name);
    if (_root_node_id < 0) _root_node_id = get_node_id("root");

    const PreprocessingOption option;
    for (const std::string& entry : entries) {
        orn::push_pooled_task([this, dir, entry, option] { _load_clip_entry(dir, entry, option); }, _clip_tasks, 1,
                              "ANIMATOR");
    }
    _clip_tasks->get_signal().wait();

    std::sort(_clips.begin(), _clips.end(),
              [](const AnimationDescription& a, const AnimationDescription& b) { return a.name < b.name; });
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

    orn::push_pooled_task([this] { create_gpu_animations(); }, _gpu_tasks, 1, "ANIMATOR");
    _gpu_tasks->get_signal().wait();

    _load_graph(graphs, cfg);
    _route_planner = std::make_unique<RoutePlanner>(this);
    _route_planner->load("route_planner.lua");
}

bool AnimationManager::_load_skeleton(Lua::Config& cfg) {
    const std::string base = ANIMATIONS_ROOT + _name;
    std::string path = base + ".anim";
    if (!ornvfs::open(path)) path = base + ".fbx";
    std::vector<char> data;
    if (ornvfs::read_file(path, data) && !data.empty()) {
        const aiScene* scene = import_scene_from_memory(data.data(), data.size());
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
    lua_pushnil(L);
    lua_setglobal(L, "skeleton");
    if (!cfg.load_buffer(data.data(), data.size(), "lua skeleton")) {
        log_message(LOG_TAG, LOG_ERROR, "can not parse '%s'", path.c_str());
        return false;
    }
    lua_pop(L, 1);  // the chunk's result; the globals stay the current table

    _skeleton = new aiScene();
    _skeleton->mRootNode = new aiNode("scene_rooot");
    if (!cfg.open("skeleton")) {
        log_message(LOG_TAG, LOG_ERROR, "can not open skeleton table");
        return true;
    }
    std::vector<aiNode*> children;
    load_node(cfg, _skeleton->mRootNode, children);
    attach_children(_skeleton->mRootNode, children);
    cfg.close();
    return true;
}

void AnimationManager::load_node(Lua::Config& cfg, aiNode* parent, std::vector<aiNode*>& children) {
    lua_State* L = cfg.state();
    if (!lua_istable(L, -1)) return;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
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
    std::vector<Item> pending{{root, 0}};
    std::vector<uint32_t> ancestors;
    while (!pending.empty()) {
        const Item item = pending.back();
        pending.pop_back();
        ancestors.resize(item.depth);
        const uint32_t id = static_cast<uint32_t>(_rest_transforms.size());
        _node_ids[_name_cache->get(item.node->mName.C_Str())] = static_cast<int>(id);
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
                                        const PreprocessingOption& option) {
    std::string stem, ext;
    split_entry(entry, stem, ext);
    const std::string name = orn::toLower(stem);
    std::vector<char> data;

    if (ext == ".lua") {
        aiScene* scene = nullptr;
        {
            std::lock_guard<std::mutex> lua_lock(_lua_lock);
            Lua::StackGuard guard(_lua);
            lua_pushvalue(_lua, LUA_GLOBALSINDEX);
            Lua::Config cfg(_lua);
            if (!ornvfs::read_file(dir + "/" + entry, data)) return;
            lua_pushnil(_lua);
            lua_setglobal(_lua, "orn_character_animation");
            if (!cfg.load_buffer(data.data(), data.size(), entry.c_str())) return;
            lua_pop(_lua, 1);
            if (!cfg.open("orn_character_animation")) return;
            scene = _build_descriptor_scene(cfg);
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
        if (!ornvfs::read_file(dir + "/" + entry, data) || data.empty()) {
            log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", entry.c_str());
            return;
        }
        const aiScene* scene = aiImportFileFromMemory(data.data(), static_cast<unsigned>(data.size()), 0, "");
        if (!scene) {
            log_message(LOG_TAG, LOG_ERROR, "error loading animation %s", entry.c_str());
            return;
        }
        load_animation(scene, name, option);
    }
}

aiScene* AnimationManager::_build_descriptor_scene(Lua::Config& cfg) {
    int rate = -1, duration = -1;
    cfg.read("rate", rate);
    cfg.read("duration", duration);
    if (duration >= MAX_DESCRIPTOR_KEYS) {
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
        while (lua_next(L, -2)) {
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
    const aiScene* scene = _clips[clip].scene;
    if (!scene || scene->mNumAnimations == 0 || !scene->mAnimations) return nullptr;
    return scene->mAnimations[0];
}

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
    const double rate = anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : 25.0;
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
// GPU clip buffers and compute pass

void AnimationManager::create_gpu_animations() {
    auto gpu = std::make_unique<GpuData>();
    const size_t n = static_cast<size_t>(_num_nodes);

    // Rest transform of every node as a frame.
    std::vector<GpuData::Frame> rest(n);
    for (size_t i = 0; i < n; ++i) {
        const aiQuaternion q = rotation_of(_rest_transforms[i]);
        const aiMatrix4x4& m = _rest_transforms[i];
        rest[i] = {{q.x, q.y, q.z, q.w}, {m.a4, m.b4, m.c4, 0.0f}};
    }

    for (const AnimationDescription& clip : _clips) {
        const aiScene* scene = clip.scene;
        const aiAnimation* anim = nullptr;
        if (scene && scene->mNumAnimations == 1) {
            anim = scene->mAnimations[0];
        } else if (scene && scene->mNumAnimations > 1) {
            log_message(LOG_TAG, LOG_WARNING, "animation %s contains multiple animations (%d)", clip.name.c_str(),
                        static_cast<int>(scene->mNumAnimations));
            anim = scene->mAnimations[scene->mNumAnimations - 1];
            for (unsigned i = 0; i < scene->mNumAnimations; ++i)
                if (std::strcmp(scene->mAnimations[i]->mName.C_Str(), LIBRARY_TAKE_NAME) == 0) {
                    anim = scene->mAnimations[i];
                    break;
                }
        }
        int frames = anim ? static_cast<int>(anim->mDuration + 1.0) : 1;
        if (frames < 1) frames = 1;

        std::vector<const aiNodeAnim*> channel(n, nullptr);
        for (unsigned c = 0; anim && c < anim->mNumChannels; ++c) {
            const int id = _find_node(anim->mChannels[c]->mNodeName.C_Str());
            if (id >= 0 && static_cast<size_t>(id) < n && !channel[id]) channel[id] = anim->mChannels[c];
        }

        GpuData::ClipInfo info{};
        info.first = static_cast<uint32_t>(gpu->frames.size());
        info.nodes = static_cast<uint32_t>(n);
        info.frames = frames;
        info.rate = anim ? static_cast<float>(anim->mTicksPerSecond) : 0.0f;
        auto vec = _clip_vectors.find(clip.name);
        const osg::Vec4f v = vec != _clip_vectors.end() ? vec->second : osg::Vec4f(1, 1, 1, 1);
        for (int k = 0; k < 4; ++k) info.vector[k] = v[k];
        gpu->clips.push_back(info);

        for (size_t node = 0; node < n; ++node) {
            const aiNodeAnim* ch = channel[node];
            for (int f = 0; f < frames; ++f) {
                GpuData::Frame frame = rest[node];
                if (ch && ch->mNumRotationKeys > 0) {
                    const aiQuaternion& q = ch->mRotationKeys[std::min<unsigned>(f, ch->mNumRotationKeys - 1)].mValue;
                    frame.rotation[0] = q.x, frame.rotation[1] = q.y, frame.rotation[2] = q.z, frame.rotation[3] = q.w;
                }
                if (ch && ch->mNumPositionKeys > 0) {
                    const aiVector3D& p = ch->mPositionKeys[std::min<unsigned>(f, ch->mNumPositionKeys - 1)].mValue;
                    frame.translation[0] = p.x, frame.translation[1] = p.y, frame.translation[2] = p.z;
                }
                gpu->frames.push_back(frame);
            }
        }
    }

    const size_t p = static_cast<size_t>(std::max(_longest_path, 1));
    gpu->node_paths.assign(n * p, 0);
    for (size_t i = 0; i < n && i < _node_paths.size(); ++i)
        for (size_t j = 0; j < _node_paths[i].size() && j < p; ++j)
            gpu->node_paths[i * p + j] = static_cast<int32_t>(_node_paths[i][j]);

    const int mask_count = static_cast<int>(_overrides.size());
    for (int i = 0; i < mask_count; ++i) {
        const OverrideAnimation* mask = nullptr;
        for (const auto& entry : _overrides)
            if (entry.second.id == i) {
                mask = &entry.second;
                break;
            }
        for (size_t node = 0; node < n; ++node)
            gpu->masks.push_back(mask && node < mask->weights.size() ? mask->weights[node] : 0.0f);
    }

    auto create = [](uint32_t size, size_t count, const void* data) {
        return render::RenderAPI::createStructuredBuffer(size, static_cast<uint32_t>(count), 5, data, size * count,
                                                         "ANIMATOR");
    };
    gpu->animations = create(sizeof(GpuData::Frame), gpu->frames.size(), gpu->frames.data());
    gpu->clips_info = create(sizeof(GpuData::ClipInfo), gpu->clips.size(), gpu->clips.data());
    gpu->paths = create(static_cast<uint32_t>(p * sizeof(int32_t)), n, gpu->node_paths.data());
    gpu->mask_buffer = create(sizeof(float), gpu->masks.size(), gpu->masks.data());

    auto define = [](const char* name, const std::string& value) {
        return render::ShaderDefine{name, value.substr(0, 64)};
    };
    const render::ShaderDefines defines{define("NUM_NODES", std::to_string(n)),
                                        define("MAX_NODE_PATH", std::to_string(p)),
                                        define("MAX_ANIMATIONS_STACK_SIZE", "100")};
    gpu->shader = render::RenderAPI::openShader("animator/animation_compute.fx", defines);
    static const char* const names[GpuData::V_COUNT] = {
        "animations",          "clips_info",         "node_paths",       "masks",
        "per_instance_data",   "per_instance_data_rw", "per_instance_animations", "local_transforms",
        "local_transforms_rw", "model_transforms_rw", "instance_indices", "timeline",
        "model_time",          "root_transform_index"};
    for (int i = 0; i < GpuData::V_COUNT; ++i) gpu->vars[i] = gpu->shader ? gpu->shader->getVariable(names[i]) : -1;
    gpu->technique = gpu->shader ? gpu->shader->getTechnique("AnimationCompute") : -1;

    if (_gpu && _gpu->local_transforms) gpu->local_transforms = _gpu->local_transforms;
    _gpu = std::move(gpu);
    _gpu_created = true;
    _loaded = true;
}

void AnimationManager::compute(ComputePassParams params) {
    if (!_gpu) return;
    GpuData& g = *_gpu;
    using R = render::RenderAPI;
    const uint32_t capacity = params.per_instance_data && *params.per_instance_data ? (*params.per_instance_data)->capacity() : 0;
    const uint64_t needed = static_cast<uint64_t>(_num_nodes) * capacity;
    if (!g.local_transforms || g.local_transforms->capacity() < needed) {
        g.local_transforms.reset();
        g.local_transforms = R::createStructuredBuffer(64, static_cast<uint32_t>(needed), 12, nullptr, 0, "ANIMATOR");
    }
    auto buffer = [](render::StructuredBuffer* b) { return b ? *b : render::StructuredBuffer(); };
    const uint32_t groups = params.instance_count > 0 ? static_cast<uint32_t>(params.instance_count) : 0;

    R::beginTechnique(g.shader, g.technique, 0);
    R::bindBuffer(g.vars[GpuData::V_PER_INSTANCE_DATA], buffer(params.per_instance_data));
    R::bindBuffer(g.vars[GpuData::V_PER_INSTANCE_ANIMATIONS], buffer(params.per_instance_animations));
    R::bindBuffer(g.vars[GpuData::V_INSTANCE_INDICES], buffer(params.instance_indices));
    R::bindBuffer(g.vars[GpuData::V_CLIPS_INFO], g.clips_info);
    R::bindBuffer(g.vars[GpuData::V_ANIMATIONS], g.animations);
    R::bindBuffer(g.vars[GpuData::V_MASKS], g.mask_buffer);
    R::bindBuffer(g.vars[GpuData::V_LOCAL_TRANSFORMS_RW], g.local_transforms);
    R::setFloat(g.vars[GpuData::V_MODEL_TIME], params.model_time);
    R::commit();
    R::dispatch(0, groups, 1, 1);
    R::endPass();

    R::beginTechnique(g.shader, g.technique, 1);
    R::bindBuffer(g.vars[GpuData::V_INSTANCE_INDICES], buffer(params.instance_indices));
    R::bindBuffer(g.vars[GpuData::V_NODE_PATHS], g.paths);
    R::bindBuffer(g.vars[GpuData::V_LOCAL_TRANSFORMS], g.local_transforms);
    R::bindBuffer(g.vars[GpuData::V_MODEL_TRANSFORMS_RW], buffer(params.model_transforms));
    R::setFloat(g.vars[GpuData::V_MODEL_TIME], params.model_time);
    R::commit();
    R::dispatch(1, groups, 1, 1);
    R::endPass();
}

void AnimationManager::process_timeline(const std::tuple<float, int, float, int>& p,
                                        const std::tuple<render::StructuredBuffer, render::StructuredBuffer,
                                                         render::StructuredBuffer, render::StructuredBuffer>& b) {
    if (!_gpu) return;
    GpuData& g = *_gpu;
    using R = render::RenderAPI;
    R::beginTechnique(g.shader, g.technique, 2);
    R::setFloat(g.vars[GpuData::V_MODEL_TIME], std::get<0>(p));
    R::setInt(g.vars[GpuData::V_ROOT_TRANSFORM_INDEX], _root_node_id);
    R::bindBuffer(g.vars[GpuData::V_INSTANCE_INDICES], std::get<0>(b));
    R::bindBuffer(g.vars[GpuData::V_PER_INSTANCE_DATA], std::get<1>(b));
    R::bindBuffer(g.vars[GpuData::V_PER_INSTANCE_DATA_RW], std::get<2>(b));
    R::bindBuffer(g.vars[GpuData::V_TIMELINE], std::get<3>(b));
    R::commit();
    const int groups = std::get<1>(p);
    R::dispatch(2, groups > 0 ? static_cast<uint32_t>(groups) : 0, 1, 1);
    R::endPass();
}

}  // namespace Animator
