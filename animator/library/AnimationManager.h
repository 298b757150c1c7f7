// The animation library of one skeleton type: skeleton and node table, every clip with its root
// motion, blend spaces, overrides, the state graph, the route planner and the GPU clip buffers.
// One manager per skeleton type, shared by every model of that type.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <assimp/anim.h>
#include <assimp/matrix4x4.h>
#include <assimp/scene.h>
#include <osg/Matrixf>
#include <osg/Vec2f>
#include <osg/Vec3d>
#include <osg/Vec3f>
#include <osg/Vec4f>

#include "animator/blend/PropertyHolderImpl.h"
#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/library/ClipRuntime.h"
#include "animator/library/SceneImport.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Strings.h"
#include "host/Tasks.h"

namespace Animator {

class Animation;
class AnimationGraph;
class RoutePlanner;
class CharacterModelCookie;
class CharacterModelStatic;
class GpuAnimation;

using InstanceMatrices = std::tuple<osg::Matrixf, osg::Matrixf>;

// The rate of a clip that gives none, in ticks per second (assimp's convention).
constexpr double DEFAULT_TICKS_PER_SECOND = 25.0;

// Clip index meaning "no clip has that name".
constexpr unsigned short INVALID_CLIP = 65535;

class AnimationManager : public PropertyHolderImpl {
public:
    struct RootMotionSample {
        float rotation[4];  // x, y, z, w
        float position[3];  // x, y, z
        float phase;
    };

    struct AnimationDescription {
        std::string name;
        ScenePtr scene;
        std::vector<RootMotionSample> root_motion;
        std::vector<osg::Matrixf> root_keys;
        std::vector<osg::Matrixf> root_residuals;
        std::vector<const aiNodeAnim*> channels;  // per node id
    };

    struct PreprocessingOption {
        int flags = 0;
        float value = 0.0f;
    };

    struct OverrideAnimation {
        int32_t id = -1;
        int32_t clip = INVALID_CLIP;
        std::vector<float> weights;  // per node id
    };

    struct ComputePassParams {
        float model_time = 0.0f;
        int32_t instance_count = 0;
        render::StructuredBuffer* per_instance_data = nullptr;
        render::StructuredBuffer* per_instance_animations = nullptr;
        render::StructuredBuffer* instance_indices = nullptr;
        render::StructuredBuffer* model_transforms = nullptr;
    };

    explicit AnimationManager(const char* skeleton_type);
    ~AnimationManager() override;
    AnimationManager(const AnimationManager&) = delete;
    AnimationManager& operator=(const AnimationManager&) = delete;

    // Loads skeleton, clips, blend spaces, overrides, GPU buffers, graph and route planner, once.
    void init();
    bool is_loaded() const { return _loaded; }

    // ---- skeleton and node table
    void process_hierarchy(const aiNode* root);
    void load_node(Lua::Config& cfg, aiNode* parent, std::vector<aiNode*>& children);
    int get_node_id(const std::string& name);
    int get_num_nodes() const { return _num_nodes; }
    const char* get_root_node_name() const { return _name.c_str(); }
    int get_root_node_id() const { return _root_node_id; }
    aiMatrix4x4 get_node_transform(const std::string& name);
    const std::vector<std::vector<uint32_t>>& get_node_paths() const { return _node_paths; }
    int get_longest_path() const { return _longest_path; }
    const aiScene* get_skeleton() const { return _skeleton.get(); }
    const std::vector<aiMatrix4x4>& get_rest_transforms() const { return _rest_transforms; }
    const std::string& get_skeleton_file_name() const { return _skeleton_file_name; }

    // ---- clips
    unsigned short get_animation_index(const std::string& name) const;
    int get_default_animation_index(std::string& name) const;
    int get_num_animations() const { return static_cast<int>(_clips.size()); }
    std::vector<const char*> get_animation_names() const;
    const aiScene* get_animation(int clip, std::string& name) const;
    float get_animation_duration(int clip) const;
    float get_animation_duration(const std::string& name) const;
    const AnimationDescription* get_description(int clip) const;
    // The animation of the clip's scene that is the clip (the one every query, the key mending and the
    // GPU packing use), or null for an index that is not a clip.
    const aiAnimation* get_clip_animation(int clip) const;
    // The clips in the runtime form that the pose queries and the GPU packing read, built at load from
    // the mended keys (keys edited later, with set_channel_matrix, reach neither).
    const ClipRuntime& get_clip_runtime() const { return _runtime; }
    AnimationGraph* get_graph() const { return _graph.get(); }
    RoutePlanner* get_route_planner() const { return _route_planner.get(); }
    std::map<std::string, osg::Vec4f>& get_clip_vectors() { return _clip_vectors; }
    const std::map<std::string, osg::Vec4f>& get_clip_vectors() const { return _clip_vectors; }

    // ---- clip import and preprocessing
    // Enters a clip of the scene (which the library keeps) under `name`.
    void load_animation(ScenePtr scene, const std::string& name, const PreprocessingOption& option);
    bool validate_animation(const aiAnimation* animation);
    void record_root_motion(const aiAnimation* animation, const PreprocessingOption& option,
                            AnimationDescription& description);
    // Public for the root-motion tests: no loading path hands it root tracks of unequal key counts as they
    // are (file clips are mended to one key per tick first, descriptor clips have equal counts).
    void _process_root_motion(AnimationDescription& description, aiNodeAnim* channel,
                              const PreprocessingOption& option);
    static bool resample_animation(aiAnimation* animation);
    static bool check_loop(const aiScene* scene, int animation_index);

    // ---- pose sampling and node queries
    float get_tick(const aiAnimation* animation, float time, bool loop) const;
    void get_pose(int clip, float time, std::vector<aiMatrix4x4>& world, bool loop,
                  std::vector<osg::Vec3f>& bones) const;
    void get_blended_pose(int clip_a, float time_a, int clip_b, float time_b, float w,
                          std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const;
    void get_last_key_pose(int clip, std::vector<aiMatrix4x4>& world) const;
    static aiMatrix4x4 get_channel_matrix(const aiNodeAnim* channel, int key);
    static void set_channel_matrix(aiNodeAnim* channel, int key, const aiMatrix4x4& m);
    osg::Matrixf sample_animation(int node, int clip, float time, bool loop) const;
    aiMatrix4x4 get_node_position(int clip, int node, float time) const;
    aiMatrix4x4 get_node_position(int clip, const std::string& node_name, float time) const;
    aiMatrix4x4 get_last_node_position(int clip, int node) const;
    osg::Vec3f get_node_movement_shift(int clip, int node) const;
    std::vector<osg::Vec3f> get_movement(int clip) const;
    void get_instance_shift(int clip, float time, bool loop, osg::Matrixf& out) const;
    InstanceMatrices get_root_matrix(int clip, float time, const osg::Vec3f& loop) const;
    void build_node_trajectory(std::vector<osg::Vec3d>& out, int clip, const char* node_name) const;

    // ---- blend spaces and overrides
    const Animation& get_blend_space(int index) const;
    const Animation& get_blend_space(const std::string& name) const;
    int get_num_blend_spaces() const { return static_cast<int>(_blend_spaces.size()); }
    const OverrideAnimation& get_override_animation(const std::string& name) const;
    // The override whose clip is `clip`, or null.
    const OverrideAnimation* find_override_by_clip(int clip) const;
    const std::unordered_map<std::string, OverrideAnimation>& get_overrides() const { return _overrides; }

    // ---- record evaluation and instance matrices
    // A node's local matrix under a record at a time. A thread that asks for a second node of the same
    // record and time gets every node blended at once and kept, so walking a whole character node by
    // node costs one whole-character blend.
    osg::Matrixf get_bs_node_matrix(int node, float time, const ShaderBlendSpace2D& rec) const;
    osg::Matrixf blend_stack_items(int node, float time, const ShaderBlendSpace2D& previous,
                                   const ShaderBlendSpace2D& next) const;
    osg::Matrixf get_node_matrix(int node, float time, CharacterModelCookie* cookie) const;
    osg::Matrixf get_blended_root(float time, CharacterModelCookie* cookie) const;
    osg::Matrixf get_node_world_pos(CharacterModelCookie* cookie, const std::string& node_name, float time);
    // Model-space matrices of every node of a character at a time, the CPU twin of the GPU compute
    // pass: the time folded into the cookie's idle-timeline window, the record in effect cross-faded
    // with the entry below it while it fades in (blend_stack_items), overrides applied, chained from
    // the root down. `out` receives get_num_nodes() matrices, in node id order; answers false and
    // leaves `out` alone when the cookie has no stack.
    bool get_model_transforms(float time, CharacterModelCookie* cookie, osg::Matrixf* out) const;
    // The root motion of a record. Public although underscored: it is the library's query for a record that
    // belongs to no character (get_instance_matrix takes a cookie or a model's instance), which callers
    // holding a bare record (the record and blend-space tests among them) need.
    InstanceMatrices _get_instance_matrix(float time, const ShaderBlendSpace2D& rec) const;
    InstanceMatrices get_instance_matrix(float time, CharacterModelCookie* cookie) const;
    InstanceMatrices get_instance_matrix(float time, int instance_id, const osg::Vec2f& window,
                                         CharacterModelStatic* model) const;

    // ---- GPU clip buffers and compute pass
    void compute(ComputePassParams params);
    void process_timeline(const std::tuple<float, int, float, int>& p,
                          const std::tuple<render::StructuredBuffer, render::StructuredBuffer,
                                           render::StructuredBuffer, render::StructuredBuffer>& b);
    bool is_gpu_created() const { return _gpu_created; }
    // The packed clips and the compute shader (null before the GPU data is created).
    const GpuAnimation* get_gpu_animation() const { return _gpu.get(); }
    // Releases the GPU buffers and shader; the next compute pass creates them again. Waits for an init
    // running on another thread, whose packing task would make them.
    void release_gpu_animations();

protected:
    void create_gpu_animations();
    void _load_blend_spaces(const std::vector<std::string>& files, Lua::Config& cfg);
    void _load_overrides(const std::vector<std::string>& files, Lua::Config& cfg);
    void _load_graph(const std::vector<std::string>& files, Lua::Config& cfg);

private:
    // The fuzz harnesses (fuzz/) feed one input at a time to the loader of one entry of a loaded library.
    friend class AnimationManagerFuzzAccess;
    // Whether the skeleton of one init has loaded: loaded once, by the first task that needs it.
    struct SkeletonGate {
        std::once_flag once;
        bool loaded = false;
    };
    // Loads one entry of the clip directory (runs on the task pool); a clip enters the library once
    // the skeleton of this init is loaded, and is dropped without a message when it could not be.
    void _load_clip_entry(const std::string& dir, const std::string& entry, const PreprocessingOption& option,
                          SkeletonGate& skeleton);
    // Loads the skeleton and its hierarchy once per init, on whichever thread asks first; true when it
    // loaded.
    bool _skeleton_ready(SkeletonGate& gate);
    bool _load_skeleton(Lua::Config& cfg);
    // Builds the scene of a Lua clip descriptor (the table on top of the reader's stack).
    ScenePtr _build_descriptor_scene(Lua::Config& cfg);
    // Forgets everything a stopped earlier init left behind.
    void _reset();
    // Node id of a name without touching the maps (-1 when it is not a node).
    int _find_node(const std::string& name) const;
    int _find_node(const char* name) const;
    // The animation of a clip's scene that is the clip (see get_clip_animation).
    const aiAnimation* _clip_animation(int clip) const;
    // Rebuilds the keys of an imported clip whose tracks do not hold one key per whole tick: onto the grid
    // its key times lie on (so that every key is kept), else at a rate no coarser than its densest keys.
    void _mend_clip(aiAnimation* animation) const;
    void _check_node_name_validity(const aiNodeAnim* channel, const std::string& file);
    // The bone segments of a pose: each node's parent position, then its own.
    void _build_bones(const std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const;

    std::string _name;
    int32_t _root_node_id = -1;
    std::string _skeleton_file_name;
    lua_State* _lua = nullptr;
    std::mutex _lua_lock;  // the clip tasks share one Lua state
    ScenePtr _skeleton;
    std::unordered_map<std::string, int> _clip_index;
    std::vector<std::string> _clip_names;
    std::vector<AnimationDescription> _clips;
    std::unique_ptr<orn::StringsCacheFast> _name_cache;
    std::unordered_map<const char*, int> _node_ids;
    std::vector<aiMatrix4x4> _rest_transforms;
    std::vector<std::vector<uint32_t>> _node_paths;
    int _longest_path = 0;
    int32_t _num_nodes = 0;
    std::string _default_animation_name = "idle";
    int32_t _default_animation_index = 0;
    orn::barrier_ptr _clip_tasks;
    orn::barrier_ptr _gpu_tasks;
    std::mutex _init_lock;  // one init at a time
    bool _loaded = false;
    orn::mutex _lock;
    std::unique_ptr<RoutePlanner> _route_planner;
    std::unique_ptr<AnimationGraph> _graph;
    std::map<std::string, osg::Vec4f> _clip_vectors;

    // blend spaces
    std::vector<std::unique_ptr<Animation>> _blend_spaces;
    std::unordered_map<std::string, int> _blend_space_names;
    // overrides
    std::unordered_map<std::string, OverrideAnimation> _overrides;

    // scenes built from Lua clip descriptors (their keys are per frame by construction)
    std::unordered_set<const aiScene*> _descriptor_scenes;
    // node names already reported by get_node_world_pos
    std::mutex _report_lock;
    std::set<std::string> _reported_nodes;

    // the clips as the queries read them
    ClipRuntime _runtime;

    // GPU data
    std::unique_ptr<GpuAnimation> _gpu;
    bool _gpu_created = false;
};

// The library of a skeleton type. On first use fills the registry of skeleton types found under
// "/animations/"; a type whose directory was mounted later joins the registry on its first request.
// For a type that has no directory it logs an error and answers an empty, never-loaded manager whose
// name is empty (is_loaded() false, no nodes, no clips).
AnimationManager& get_animation_manager(const char* skeleton_type);
// The registered manager of a type (initialised), or null when the registry does not hold it.
AnimationManager* find_animation_manager(const char* skeleton_type);
// The same manager as a share of its ownership: a model or controller that keeps a manager keeps it
// this way, so that the manager outlives a renderer reset for as long as they use it.
std::shared_ptr<AnimationManager> share_animation_manager(const char* skeleton_type);
void init_animation_managers();
// Empties the registry (renderer event 1): the GPU data of every manager is released and a manager
// nobody shares is destroyed; the next request loads the type anew, while models that keep their
// manager go on using it (its GPU data is made again when next drawn).
void destroy_animation_managers();

}  // namespace Animator
