#include "animator/model/CharacterModelBase.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include <imgui.h>

#include "animator/library/AnimationManager.h"
#include "animator/model/AnimatorMeshBase.h"
#include "animator/model/CharacterModelConnector.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/model/CharacterModelImpl.h"
#include "animator/util/Log.h"
#include "host/Livery.h"
#include "host/Vfs.h"

namespace Animator {

bool CharacterModelBase::_rendering_enabled = true;
bool CharacterModelBase::_compute_enabled = true;
bool CharacterModelBase::_shadow_enabled = true;
bool CharacterModelBase::_statistics_enabled = false;
CharacterModelBase::ModelStatistics CharacterModelBase::statistics;

namespace {

constexpr const char* MODELS_DIR = "/models/";
constexpr const char* MODEL_SHADER = "animator/gpu_animated_model.fx";
constexpr unsigned DEFAULT_LIVERY = 0xFFFFFFFFu;

// The node's transform times those of all its ancestors (assimp order: the root's first).
aiMatrix4x4 node_to_root(const aiNode* node) {
    aiMatrix4x4 m = node->mTransformation;
    for (const aiNode* p = node->mParent; p; p = p->mParent) m = p->mTransformation * m;
    return m;
}

void summarize(const aiScene* scene, CharacterModelBase::SceneSummary& s) {
    s = CharacterModelBase::SceneSummary();
    if (!scene) return;
    s.meshes = static_cast<int>(scene->mNumMeshes);
    s.animations = static_cast<int>(scene->mNumAnimations);
    for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
        const aiMesh* mesh = scene->mMeshes[i];
        if (!mesh) continue;
        s.vertices += static_cast<int>(mesh->mNumVertices);
        s.triangles += static_cast<int>(mesh->mNumFaces);
        s.bones += static_cast<int>(mesh->mNumBones);
    }
}

bool read_vec3(Lua::Config& cfg, int index, osg::Vec3f& out) {
    if (!cfg.open(index)) return false;
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        float v = 0.0f;
        if (!cfg.read(i + 1, v)) ok = false;
        out[i] = v;
    }
    cfg.close();
    return ok;
}

// One model's part of the statistics window: its counters, its batches of the frame by name, its levels.
void model_statistics_gui(const CharacterModelStatic& model, uint64_t frame) {
    const CharacterRenderState& s = model.get_render_state();
    ImGui::Text("%s: total parsed %d\nmain: %d\nflat shadows: %d", model.name().c_str(), s.parsed, s.main_instances,
                s.flat_shadow_instances);
    std::vector<const AnimatorBatch*> batches;
    int shadow = 0;
    for (const auto& entry : s.batches) {
        if (entry.second.frame != frame) continue;  // not submitted in the frame counted
        batches.push_back(&entry.second);
        shadow += entry.second.shadow_instances;
    }
    std::sort(batches.begin(), batches.end(),
              [](const AnimatorBatch* a, const AnimatorBatch* b) { return a->name < b->name; });
    ImGui::Text("shadow: %d", shadow);
    ImGui::Text("total robjs processed: %d", s.processed_objects);
    for (const AnimatorBatch* batch : batches)
        ImGui::Text("%s robjs rendered: %d, instances: %d", batch->name.c_str(), batch->draw_count,
                    batch->rendered_instances);
    ImGui::Text("skipped robjs: %d", s.skipped_objects);
    ImGui::Text("Lods:");
    const size_t levels = std::min(model.get_lods().size(), size_t(AnimatorBatch::max_lods));
    for (size_t l = 0; l < levels; ++l) {
        ImGui::SameLine();
        ImGui::Text("%d:%d", static_cast<int>(l), s.lod_instances[l]);
    }
}

}  // namespace

CharacterModelBase::CharacterModelBase(const char* name, const char* path) : Graphics::Model(name, path) {
    _liveries.emplace_back();
    _livery_indices.emplace_back(0, 0, 0);
    _basic_load = orn::SharedGroupBarrier::create();
    _main_load = orn::SharedGroupBarrier::create();
    _basic_load->acquire();
    _basic_held = true;
    _main_load->acquire();
    _main_held = true;
    _model_interface = std::make_shared<CharacterModelImpl>(this);
    _lua = ORN_lua_open("Animator::CharacterModelBase::CharacterModelBase");
    ORN_lua_openlibs(_lua);
    _config_path = MODELS_DIR + this->name();
}

CharacterModelBase::~CharacterModelBase() {
    auto& counted = statistics.models;
    counted.erase(std::remove(counted.begin(), counted.end(), this), counted.end());
    _scene.reset();
    _connectors.clear();
    _connector_order.clear();
    _lods.clear();
    // Nobody can wait on a model that is being destroyed; let go of the barriers cleanly.
    if (_basic_held) _basic_load->release();
    if (_main_held) _main_load->release();
    ORN_lua_close(_lua);
    _lua = nullptr;
}

// ---- loading

void CharacterModelBase::load_async() {
    load_basic();
    load_main();
}

void CharacterModelBase::load_basic() {
    do_load_basic();
    if (_basic_held) {
        _basic_held = false;
        _basic_load->release();
    }
}

void CharacterModelBase::load_main() {
    do_load_main();
    _loaded = true;
    if (_main_held) {
        _main_held = false;
        _main_load->release();
    }
}

void CharacterModelBase::reload() {
    _loaded = false;
    if (!_basic_held) {
        _basic_load->acquire();
        _basic_held = true;
    }
    if (!_main_held) {
        _main_load->acquire();
        _main_held = true;
    }
    _lods.clear();
    _shader_defines.clear();
    _texture_names.clear();
    _substitutes.clear();
    load_basic();
    load_main();
}

void CharacterModelBase::reload_config() {
    std::vector<char> data;
    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    if (!ornvfs::read_file(_config_path, data) || !cfg.load_buffer(data.data(), data.size(), _config_path.c_str()))
        log_message(LOG_TAG, LOG_ERROR, "error loading %s", _config_path.c_str());
}

ScenePtr CharacterModelBase::_import_model_file(const std::string& file) {
    const std::string path = MODELS_DIR + file;
    std::vector<char> data;
    if (!ornvfs::read_file(path, data) || data.empty()) {
        log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", path.c_str());
        return nullptr;
    }
    ScenePtr scene = import_scene_from_memory(data.data(), data.size(), path);
    if (!scene) log_message(LOG_TAG, LOG_ERROR, "can not load scene from buffer '%s'", path.c_str());
    return scene;
}

void CharacterModelBase::do_load_basic() {
    log_message(LOG_TAG, LOG_INFO, "load_basic() started");
    _scene.reset();
    _bounds.init();
    _summary = SceneSummary();

    _config_path = MODELS_DIR + name();
    reload_config();

    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    bool correct_root = _correct_root;
    if (cfg.read("correct_root", correct_root)) _correct_root = correct_root;
    cfg.read("model", _model_file);
    cfg.read("model_path", _model_path);

    const std::string model_file_path = MODELS_DIR + _model_file;
    _resources_path = ornvfs::get_real_dir(model_file_path);
    if (_resources_path.empty())
        log_message(LOG_TAG, LOG_ERROR, "error getting real dir name for %s", model_file_path.c_str());

    cfg.read("default_animation", _default_animation);

    _lods.clear();
    if (cfg.open("lods")) {
        for (int i = 1; cfg.get(i); ++i) {
            if (!lua_istable(_lua, -1)) {
                cfg.pop();
                continue;
            }
            LevelOfDetail level;
            cfg.read(1, level.file);
            cfg.read(2, level.distance);
            cfg.pop();
            _lods.push_back(std::move(level));
        }
        cfg.pop();  // the nil that ended the walk
        cfg.close();
        std::stable_sort(_lods.begin(), _lods.end(),
                         [](const LevelOfDetail& a, const LevelOfDetail& b) { return a.distance < b.distance; });
    }

    _substitutes.clear();
    if (cfg.open("substitute_meshes")) {
        lua_pushnil(_lua);
        while (cfg.next()) {
            std::string key, value;
            const bool has_key = cfg.key(key);
            const bool has_value = cfg.iterate_pop(value);
            if (has_key && has_value) _substitutes[key] = value;
        }
        cfg.close();
    }

    cfg.read("skeleton", _skeleton_type);
    const bool config_failed = cfg.failed();
    if (config_failed) {
        // A configuration whose reading raised an error is skipped as a whole.
        log_message(LOG_TAG, LOG_ERROR, "error loading %s", _config_path.c_str());
        _lods.clear();
        _substitutes.clear();
        _skeleton_type.clear();
    }
    if (!config_failed) {
        std::vector<char> data;
        if (ornvfs::read_file(model_file_path, data) && !data.empty()) {
            _scene = import_scene_from_memory(data.data(), data.size(), model_file_path);
            if (!_scene) log_message(LOG_TAG, LOG_ERROR, "can not load scene from buffer '%s'", model_file_path.c_str());
        } else {
            log_message(LOG_TAG, LOG_ERROR, "can not read '%s'", model_file_path.c_str());
        }
    }

    Animator::get_animation_manager(_skeleton_type.c_str());
    _manager = Animator::share_animation_manager(_skeleton_type.c_str());
    if (_manager) {
        if (_default_animation.empty()) {
            std::string default_name;
            _default_animation_id = _manager->get_default_animation_index(default_name);
        } else {
            _default_animation_id = _manager->get_animation_index(_default_animation);
        }
    } else {
        log_message(LOG_TAG, LOG_ERROR, "model %s: no animation library for skeleton '%s'", name().c_str(),
                    _skeleton_type.c_str());
        _default_animation_id = -1;
    }

    summarize(_scene.get(), _summary);
    calculate_bounds(_scene ? _scene->mRootNode : nullptr, _bounds);
    create_connectors();
    log_message(LOG_TAG, LOG_INFO, "load_basic() ended");
}

void CharacterModelBase::do_load_main() {
    wait_for_basic_load();
    log_message(LOG_TAG, LOG_INFO, "load_main() started");
    create_shader();

    if (_lods.empty()) {
        LevelOfDetail level;
        level.distance = FLT_MAX;
        _lods.push_back(std::move(level));
    }
    // Level 0 is always the model's own scene; its file name is not read.
    _lods[0].has_animations = _scene && _scene->mNumAnimations > 0;
    if (_scene) create_meshes(_scene.get(), _lods[0].meshes);
    for (size_t i = 1; i < _lods.size(); ++i) {
        const ScenePtr scene = _import_model_file(_lods[i].file);
        if (!scene) continue;
        create_meshes(scene.get(), _lods[i].meshes);
        _lods[i].has_animations = scene->mNumAnimations > 0;
    }
    log_message(LOG_TAG, LOG_INFO, "load_main() ended");
}

void CharacterModelBase::create_shader() {
    const int nodes = _manager ? _manager->get_num_nodes() : 0;
    _shader_defines.clear();
    _shader_defines.push_back({"NUM_NODES", std::to_string(nodes)});
    _shader_defines.push_back({"MAX_ANIMATIONS_STACK_SIZE", "100"});
    _shader = render::RenderAPI::openShader(MODEL_SHADER, _shader_defines);
    _shader_id = _shader ? _shader->id() : 0;
}

void CharacterModelBase::calculate_bounds(const aiNode* root, osg::BoundingBox& box) {
    const aiNode* node = root ? root->FindNode("bounding_box") : nullptr;
    if (node && _scene && node->mNumMeshes > 0 && node->mMeshes[0] < _scene->mNumMeshes) {
        const aiMesh* mesh = _scene->mMeshes[node->mMeshes[0]];
        const aiMatrix4x4 m = node_to_root(node);
        for (unsigned i = 0; mesh && i < mesh->mNumVertices; ++i) {
            const aiVector3D v = m * mesh->mVertices[i];
            box.expandBy(osg::Vec3f(v.x, v.y, v.z));
        }
        return;
    }
    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    if (!cfg.open("bounding_box")) return;
    osg::Vec3f lo, hi;
    if (read_vec3(cfg, 1, lo) && read_vec3(cfg, 2, hi)) {
        box._min = lo;
        box._max = hi;
    }
}

void CharacterModelBase::create_connectors() {
    if (!_scene || !_scene->mRootNode) return;
    std::vector<const aiNode*> pending{_scene->mRootNode};
    while (!pending.empty()) {
        const aiNode* node = pending.back();
        pending.pop_back();
        const std::string node_name(node->mName.C_Str());
        if (CharacterModelConnector::is_connector_name(node_name)) {
            auto it = _connectors.find(node_name);
            if (it != _connectors.end()) {
                // Keep the object the host may already hold; only its node is looked up again.
                it->second->resolve_node_id();
            } else {
                _connectors.emplace(node_name, std::make_shared<CharacterModelConnector>(this, node_name));
                _connector_order.push_back(node_name);
            }
        }
        for (unsigned i = node->mNumChildren; i > 0; --i) pending.push_back(node->mChildren[i - 1]);
    }
}

void CharacterModelBase::wait_for_basic_load() { _basic_load->get_signal().wait(); }
void CharacterModelBase::wait_for_main_load() { _main_load->get_signal().wait(); }

model::LoadState CharacterModelBase::getLoadState() const {
    return _main_load->get_signal().try_wait() ? model::LS_LOADED : model::LS_LOADING;
}

osg::BoundingBox CharacterModelBase::getBoundingBox() {
    wait_for_basic_load();
    return _bounds;
}

osg::Vec3f CharacterModelBase::GetCenter() {
    wait_for_basic_load();
    _center = _bounds.valid() ? (_bounds._min + _bounds._max) * 0.5f : osg::Vec3f(0.0f, 0.0f, 0.0f);
    return _center;
}

float CharacterModelBase::GetRadius() {
    wait_for_basic_load();
    if (!_bounds.valid()) return 0.0f;
    return std::sqrt((_bounds._max - _bounds._min).length2() * 0.25f);
}

model::IModel* CharacterModelBase::getIModelInterface() { return _model_interface.get(); }

void CharacterModelBase::GetTexturesNames(std::set<std::string>& names) const {
    names.insert(_texture_names.begin(), _texture_names.end());
}

const std::string& CharacterModelBase::get_skeleton_type() {
    wait_for_basic_load();
    return _skeleton_type;
}

int CharacterModelBase::get_default_animation_id() {
    wait_for_basic_load();
    return _default_animation_id;
}

int CharacterModelBase::_get_lod(float distance) const {
    for (size_t i = 0; i < _lods.size(); ++i)
        if (_lods[i].distance >= distance) return static_cast<int>(i);
    return -1;
}

// ---- liveries

osg::Vec3i CharacterModelBase::get_livery_index(unsigned handle) {
    for (size_t i = 0; i < _liveries.size(); ++i)
        if (_liveries[i].handle == handle) return _livery_indices[i];
    osg::Vec3i triple;
    if (_register_livery(handle, triple)) return triple;
    return _livery_indices[0];
}

bool CharacterModelBase::_register_livery(unsigned handle, osg::Vec3i& triple) {
    if (handle == DEFAULT_LIVERY) return false;
    ILiveryManager* manager = ILiveryManager::instance();
    if (!manager) return false;
    LiveryDesc desc;
    desc.handle = handle;
    bool has_channel[max_num_channels] = {false, false, false};
    std::string files[max_num_channels];
    const bool found = manager->enumerateTextures(
        handle, [&](int channel, const std::string& texture, const std::string& texture_name) {
            if (channel < 0 || channel >= max_num_channels || texture.empty()) return;
            desc.names[channel] = texture_name.empty() ? texture : texture_name;
            files[channel] = texture;
            has_channel[channel] = true;
        });
    if (!found) return false;
    // Layer 0 of each channel holds the model's own texture; a livery's texture is appended after those
    // of the liveries registered before it.
    for (int c = 0; c < max_num_channels; ++c) {
        if (!has_channel[c]) {
            triple[c] = 0;
            continue;
        }
        int layer = 1;
        for (size_t i = 1; i < _liveries.size(); ++i)
            if (!_liveries[i].names[c].empty()) ++layer;
        triple[c] = layer;
    }
    _liveries.push_back(desc);
    _livery_indices.push_back(triple);
    for (LevelOfDetail& level : _lods)
        for (auto& mesh : level.meshes)
            for (int c = 0; c < max_num_channels; ++c)
                if (has_channel[c]) mesh->add_livery_texture(c, files[c]);
    return true;
}

// ---- configuration tables

int CharacterModelBase::get_state_info(const char* state, std::string& clip_name, float& duration, bool& loop) {
    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    if (!cfg.open("animations")) {
        log_message(LOG_TAG, LOG_ERROR, "can not open animations section in config");
        return -1;
    }
    if (!state || !cfg.open(state)) {
        log_message(LOG_TAG, LOG_ERROR, "can not find animation for state %s", state ? state : "");
        return -1;
    }
    cfg.read("name", clip_name);
    cfg.read("loop", loop);
    if (!_manager) return INVALID_CLIP;
    const int clip = _manager->get_animation_index(clip_name);
    // A clip the library does not know has no duration; it is left as it was.
    if (clip != INVALID_CLIP && clip < _manager->get_num_animations()) duration = _manager->get_animation_duration(clip);
    return clip;
}

float CharacterModelBase::get_transition_duration(const char* action) {
    Lua::StackGuard guard(_lua);
    Lua::Config cfg(_lua);
    if (!cfg.open("transitions")) {
        log_message(LOG_TAG, LOG_ERROR, "can not open transitions section in config");
        return -1.0f;
    }
    float value = 0.0f;
    if (!action || !cfg.read(action, value)) {
        log_message(LOG_TAG, LOG_ERROR, "can not find transition for action %s", action ? action : "");
        return -1.0f;
    }
    return value;
}

// ---- statistics window

void CharacterModelBase::ModelStatistics::start_frame(uint64_t number) {
    models.clear();
    frame = number;
}

bool CharacterModelBase::ModelStatistics::count(const CharacterModelBase* model, uint64_t number) {
    if (number != frame) start_frame(number);
    if (std::find(models.begin(), models.end(), model) != models.end()) return false;
    models.push_back(model);
    return true;
}

void CharacterModelBase::gui() {
    if (!_statistics_enabled || !ImGui::GetCurrentContext()) return;
    if (ImGui::Begin("Animator statistics")) {
        ImGui::Checkbox("rendering enabled", &_rendering_enabled);
        ImGui::Checkbox("compute enabled", &_compute_enabled);
        ImGui::Checkbox("shadows enabled", &_shadow_enabled);
        if (ImGui::Button("-") && CharacterModelStatic::batch_hold_count > 0) --CharacterModelStatic::batch_hold_count;
        ImGui::SameLine();
        ImGui::Text("%d", CharacterModelStatic::batch_hold_count);
        ImGui::SameLine();
        if (ImGui::Button("+")) ++CharacterModelStatic::batch_hold_count;
        ImGui::Text("Models parsed, orgin: %f %f %f", statistics.origin.x(), statistics.origin.y(),
                    statistics.origin.z());
        for (const CharacterModelBase* base : statistics.models)
            if (const auto* model = dynamic_cast<const CharacterModelStatic*>(base))
                model_statistics_gui(*model, statistics.frame);
    }
    ImGui::End();
}

// ---- connectors

int CharacterModelBase::getNumConnectors() {
    wait_for_basic_load();
    return static_cast<int>(_connectors.size());
}

Graphics::ModelConnector* CharacterModelBase::GetConnector(int index) {
    wait_for_basic_load();
    if (index < 0 || index >= static_cast<int>(_connector_order.size())) return nullptr;
    auto it = _connectors.find(_connector_order[index]);
    return it == _connectors.end() ? nullptr : it->second.get();
}

Graphics::ModelConnector* CharacterModelBase::GetConnector(const char* connector_name) {
    if (!connector_name) return nullptr;
    return GetConnector(std::string(connector_name));
}

Graphics::ModelConnector* CharacterModelBase::GetConnector(const std::string& connector_name) {
    wait_for_basic_load();
    auto it = _connectors.find(connector_name);
    return it == _connectors.end() ? nullptr : it->second.get();
}

}  // namespace Animator
