// A character model read from its ".chanimgpu" configuration: mesh scene, skeleton type and animation
// library, levels of detail, substitutes, bounds, liveries; loaded in a basic and a main stage.
#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <assimp/scene.h>
#include <osg/BoundingBox>
#include <osg/Vec3f>
#include <osg/Vec3i>

#include "animator/library/SceneImport.h"
#include "host/Graphics.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Tasks.h"

namespace Animator {

class AnimationManager;
class AnimatorMeshBase;
class CharacterModelConnector;
class CharacterModelImpl;

class CharacterModelBase : public Graphics::Model {
public:
    static constexpr int max_num_channels = 3;

    struct LiveryDesc {
        render::TextureArrayPtr textures[max_num_channels];
        std::string names[max_num_channels];
        unsigned handle = 0xFFFFFFFFu;
        int32_t reserved[2] = {0, 0};
    };

    struct LevelOfDetail {
        bool has_animations = false;
        float distance = 0.0f;
        std::vector<std::shared_ptr<AnimatorMeshBase>> meshes;
        std::string file;
        int32_t instance_count = 0;
    };

    struct SceneSummary {
        int meshes = 0;
        int vertices = 0;
        int triangles = 0;
        int bones = 0;
        int animations = 0;
    };

    // What the statistics window shows: the models that took part in the frame counted, in the
    // order of their first submission (their counters are their own, see CharacterRenderState).
    struct ModelStatistics {
        std::vector<const CharacterModelBase*> models;
        uint64_t frame = 0;
        osg::Vec3d origin;  // render context origin of the frame counted
        // Makes `model` one of the models of `frame`; the list starts anew with each frame.
        // True when the model is counted for the first time in that frame.
        bool count(const CharacterModelBase* model, uint64_t frame);
        void start_frame(uint64_t frame);
    };

    // Switches of every model (drawing, compute passes, shadows, statistics). Public although
    // underscored: the plug-in's options and the host's tools turn them on and off.
    static bool _rendering_enabled;
    static bool _compute_enabled;
    static bool _shadow_enabled;
    static bool _statistics_enabled;
    static ModelStatistics statistics;

    CharacterModelBase(const char* name, const char* path);

    void load_async();
    void reload() override;
    void reload_config();
    void wait_for_basic_load();
    void wait_for_main_load();
    model::LoadState getLoadState() const override;
    osg::BoundingBox getBoundingBox() override;
    osg::Vec3f GetCenter() override;
    float GetRadius() override;
    model::IModel* getIModelInterface() override;
    std::map<std::string, Graphics::MultCoefs> getMults() const override { return {}; }
    void GetTexturesNames(std::set<std::string>& names) const override;

    const std::string& get_skeleton_type();
    int get_default_animation_id();
    AnimationManager* get_animation_manager() const { return _manager.get(); }
    // The library as a share of its ownership (see share_animation_manager).
    std::shared_ptr<AnimationManager> share_animation_manager() const { return _manager; }
    const aiScene* get_scene() const { return _scene.get(); }
    lua_State* get_config_state() const { return _lua; }
    const std::string& get_resources_path() const { return _resources_path; }
    int get_num_triangles() const { return _summary.triangles; }
    int get_num_bones() const { return _summary.bones; }
    int get_num_liveries() const { return static_cast<int>(_liveries.size()); }
    bool get_correct_root() const { return _correct_root; }
    const std::vector<LevelOfDetail>& get_lods() const { return _lods; }
    const std::map<std::string, std::string>& get_substitutes() const { return _substitutes; }
    osg::Vec3i get_livery_index(unsigned handle);
    int get_state_info(const char* state, std::string& name, float& duration, bool& loop);
    float get_transition_duration(const char* action);
    static void gui();
    // Makes the mesh's material textures the default livery (entry 0, layer 0 of every channel).
    // Public although underscored: the meshes call it as they load their textures.
    void _set_default_livery(const render::TextureArrayPtr* textures, const std::string* names);

    int getNumConnectors() override;
    Graphics::ModelConnector* GetConnector(int index) override;
    Graphics::ModelConnector* GetConnector(const char* name) override;
    Graphics::ModelConnector* GetConnector(const std::string& name) override;

protected:
    friend class CharacterModelCookie;

    ~CharacterModelBase() override;
    virtual void do_load_basic();
    virtual void do_load_main();
    void load_basic();
    void load_main();
    int _get_lod(float distance) const;
    void calculate_bounds(const aiNode* root, osg::BoundingBox& box);
    void create_connectors();
    void create_shader();
    // Builds one mesh per scene mesh (substitutes applied, the bounds mesh left out); meshes.cpp.
    void create_meshes(const aiScene* scene, std::vector<std::shared_ptr<AnimatorMeshBase>>& meshes);
    bool _register_livery(unsigned handle, osg::Vec3i& triple);
    // Imports "/models/" + file for a level of detail or a substitute; null (logged) on failure.
    ScenePtr _import_model_file(const std::string& file);

    std::shared_ptr<AnimationManager> _manager;  // kept alive across a renderer reset
    std::vector<LiveryDesc> _liveries;
    std::vector<osg::Vec3i> _livery_indices;
    std::vector<LevelOfDetail> _lods;
    bool _loaded = false;
    bool _correct_root = true;
    osg::BoundingBox _bounds;
    std::string _skeleton_type;
    ScenePtr _scene;
    osg::Vec3f _center;
    std::string _resources_path;
    std::string _config_path;
    lua_State* _lua = nullptr;
    SceneSummary _summary;
    std::string _model_file;
    std::string _model_path;
    render::ShaderDefines _shader_defines;
    render::ShaderPtr _shader;
    uint32_t _shader_id = 0;
    std::vector<std::string> _texture_names;
    std::map<std::string, std::string> _substitutes;
    std::shared_ptr<CharacterModelImpl> _model_interface;
    std::string _default_animation;
    int32_t _default_animation_id = -1;
    orn::barrier_ptr _basic_load;
    orn::barrier_ptr _main_load;
    std::unordered_map<std::string, std::shared_ptr<CharacterModelConnector>> _connectors;
    std::vector<std::string> _connector_order;

private:
    bool _basic_held = false;  // the basic-load barrier is acquired and not yet released
    bool _main_held = false;
};

}  // namespace Animator
