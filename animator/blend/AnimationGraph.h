// The state graph of a skeleton type: named animation states (each with its playable entry) joined by
// transitions; answers the shortest chain of states between two states.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/graph/adjacency_list.hpp>
#include <osg/Vec2f>

#include "host/LuaConfig.h"

namespace Animator {

class Animation;
class AnimationManager;

class AnimationGraph {
public:
    struct State {
        int32_t index = -1;
        std::string key;
        std::string name;
        std::string type;
        bool loop = false;
        Animation* animation = nullptr;
    };

    struct TransitionSettings {
        std::optional<osg::Vec2f> loop_range;
        float transition_duration = 0.0f;
        float animation_start_shift = 0.0f;
        bool loop = false;
        std::string next_animation_mode = "immediate";
    };

    struct Transition {
        std::string source;
        std::string target;
        TransitionSettings params;
    };

    struct PathStep {
        State state;
        Transition transition;
        float timing[3] = {-1.0f, -1.0f, -1.0f};
    };

    struct GraphQuery {
        std::vector<PathStep> path;
        float timing = -1.0f;
    };

    using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS, State, Transition>;

    AnimationGraph();
    virtual ~AnimationGraph();
    AnimationGraph(const AnimationGraph&) = delete;
    AnimationGraph& operator=(const AnimationGraph&) = delete;

    // Builds the graph from the globals "default_blendspace", "anim_states" and "transitions".
    void init(Lua::Config& cfg, AnimationManager* manager);
    GraphQuery get_graph_path(const std::string& from, const std::string& to) const;
    // Throws std::out_of_range for a name that is not stored.
    Animation* get_blendspace(const std::string& name) const;
    // Null for an id that no entry has.
    Animation* get_blendspace(int id) const;
    // Null on a graph without entries.
    Animation* get_default_blendspace() const;
    // Empty string for an id that no entry has.
    const std::string& get_state_name(int id) const;
    osg::Vec2f get_cycle(const std::string& name) const;

    const Graph& graph() const { return _graph; }
    size_t num_states() const { return boost::num_vertices(_graph); }
    size_t num_entries() const { return _blendspace_list.size(); }

private:
    // Stores an entry under a lower-case key. An entry already stored there is destroyed and the new one
    // takes over its id and its place in the entry list.
    Animation* _store_entry(const std::string& key, std::unique_ptr<Animation> entry);
    // One (key, table) pair of "anim_states", the table on top of the stack. A state whose "type" is not
    // "animation", "1D" or "2D" is skipped with a message; a key that repeats an earlier one after
    // lower-casing replaces that state in place (same vertex, same entry id).
    void _load_state(Lua::Config& cfg, AnimationManager* manager, const std::string& key);
    // One element of "transitions", the table on top of the stack.
    void _load_transition(Lua::Config& cfg);

    Graph _graph;
    std::unordered_map<std::string, size_t> _state_index;
    std::unordered_map<std::string, std::unique_ptr<Animation>> _blendspaces;
    std::vector<Animation*> _blendspace_list;
    const char* _default_name = "default_blendspace";
};

}  // namespace Animator
