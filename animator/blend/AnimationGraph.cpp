// The state graph: building it from the descriptor globals, entry lookups and the shortest-path query.
#include "animator/blend/AnimationGraph.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <boost/graph/dijkstra_shortest_paths.hpp>
#include <boost/property_map/property_map.hpp>

#include "animator/blend/Animation.h"
#include "animator/util/Log.h"
#include "host/Strings.h"

namespace Animator {

AnimationGraph::AnimationGraph() {
    _state_index.max_load_factor(1.0f);
    _state_index.rehash(8);
    _blendspaces.max_load_factor(1.0f);
    _blendspaces.rehash(8);
}

AnimationGraph::~AnimationGraph() = default;

Animation* AnimationGraph::_store_entry(const std::string& key, std::unique_ptr<Animation> entry) {
    Animation* raw = entry.get();
    auto it = _blendspaces.find(key);
    if (it != _blendspaces.end()) {
        // The new entry takes the place (and the id) of the one it replaces, so that neither the list
        // nor a state keeps a pointer to the destroyed entry.
        const int id = it->second->get_id();
        raw->set_id(id);
        _blendspace_list[static_cast<size_t>(id)] = raw;
        it->second = std::move(entry);
    } else {
        raw->set_id(static_cast<int>(_blendspace_list.size()));
        _blendspace_list.push_back(raw);
        _blendspaces.emplace(key, std::move(entry));
    }
    return raw;
}

void AnimationGraph::_load_state(Lua::Config& cfg, AnimationManager* manager, const std::string& raw_key) {
    lua_State* L = cfg.state();
    const std::string key = orn::toLower(raw_key);
    if (!lua_istable(L, -1)) {
        log_message(LOG_TAG, LOG_ERROR, "state '%s' is not a table", key.c_str());
        return;
    }
    State state;
    state.key = key;
    cfg.read("name", state.name);
    state.name = orn::toLower(state.name);
    cfg.read("type", state.type);
    cfg.read("loop", state.loop);

    std::unique_ptr<Animation> entry = Animation::create(state.type);
    if (!entry) {
        log_message(LOG_TAG, LOG_ERROR, "unknown state type '%s' for state '%s'", state.type.c_str(), key.c_str());
        return;
    }
    entry->load(cfg, manager);
    state.animation = _store_entry(key, std::move(entry));

    auto it = _state_index.find(key);
    if (it != _state_index.end()) {
        log_message(LOG_TAG, LOG_WARNING, "state '%s' is declared twice; the later declaration is kept", key.c_str());
        State& existing = _graph[it->second];
        state.index = existing.index;
        existing = state;
        return;
    }
    const size_t v = boost::add_vertex(_graph);
    state.index = static_cast<int32_t>(v);
    _graph[v] = state;
    _state_index[key] = v;
}

void AnimationGraph::_load_transition(Lua::Config& cfg) {
    lua_State* L = cfg.state();
    if (!lua_istable(L, -1)) {
        log_message(LOG_TAG, LOG_ERROR, "transition %d is not a table", static_cast<int>(boost::num_edges(_graph)));
        return;
    }
    Transition t;
    t.source = "unknown";
    t.target = "unknown";
    cfg.read("source", t.source);
    cfg.read("target", t.target);
    t.source = orn::toLower(t.source);
    t.target = orn::toLower(t.target);

    TransitionSettings& p = t.params;
    cfg.read("params.transition_duration", p.transition_duration);
    cfg.read("params.loop", p.loop);
    cfg.read("params.animation_start_shift", p.animation_start_shift);
    p.next_animation_mode.clear();
    cfg.read("params.next_animation_mode", p.next_animation_mode);
    if (cfg.open("params.loop_range")) {
        float start = 0.0f;
        float end = 0.0f;
        cfg.read(1, start);
        cfg.read(2, end);
        cfg.close();
        p.loop_range = osg::Vec2f(start, end);
    }

    const size_t from = _state_index.at(t.source);
    const size_t to = _state_index.at(t.target);
    boost::add_edge(from, to, t, _graph);
}

void AnimationGraph::init(Lua::Config& cfg, AnimationManager* manager) {
    lua_State* L = cfg.state();
    if (!L) return;
    // Restores the stack also when a transition names an unknown state and the lookup throws.
    Lua::StackGuard guard(L);
    lua_pushvalue(L, LUA_GLOBALSINDEX);  // read the globals, whatever the caller left on the stack

    if (cfg.open(_default_name)) {
        auto entry = std::make_unique<Animation>();
        entry->load(cfg, manager);
        _store_entry(_default_name, std::move(entry));
        cfg.close();
    }

    if (cfg.open("anim_states")) {
        lua_pushnil(L);
        while (cfg.next()) {
            std::string key;
            if (cfg.key(key))
                _load_state(cfg, manager, key);
            else
                log_message(LOG_TAG, LOG_ERROR, "state with a key that is not a name skipped");
            cfg.pop();
        }
        cfg.close();
    }

    if (cfg.open("transitions")) {
        lua_pushnil(L);
        while (cfg.next()) {
            _load_transition(cfg);
            cfg.pop();
        }
        cfg.close();
    }
}

AnimationGraph::GraphQuery AnimationGraph::get_graph_path(const std::string& from, const std::string& to) const {
    using Vertex = Graph::vertex_descriptor;
    using Edge = Graph::edge_descriptor;
    const Vertex source = _state_index.at(orn::toLower(from));
    const Vertex target = _state_index.at(orn::toLower(to));

    const size_t n = boost::num_vertices(_graph);
    std::vector<Vertex> predecessor(n);
    std::vector<float> distance(n);
    const auto index = boost::get(boost::vertex_index, _graph);
    const float infinity = std::numeric_limits<float>::max();
    boost::dijkstra_shortest_paths(
        _graph, source,
        boost::predecessor_map(boost::make_iterator_property_map(predecessor.begin(), index))
            .distance_map(boost::make_iterator_property_map(distance.begin(), index))
            .weight_map(boost::make_static_property_map<Edge, float>(static_cast<float>(1)))
            .distance_inf(infinity)
            .distance_zero(0.0f)
            .distance_combine(boost::closed_plus<float>(infinity)));

    GraphQuery query;
    PathStep step;
    step.state = _graph[target];
    Vertex current = target;
    for (;;) {
        const Vertex previous = predecessor[current];
        if (previous == current || current == source) break;
        auto edges = boost::out_edges(previous, _graph);
        for (auto e = edges.first; e != edges.second; ++e) {
            if (boost::target(*e, _graph) == current) {
                step.transition = _graph[*e];
                break;
            }
        }
        query.path.push_back(step);
        step.state = _graph[previous];
        current = previous;
    }
    query.path.push_back(step);
    std::reverse(query.path.begin(), query.path.end());
    return query;
}

Animation* AnimationGraph::get_blendspace(const std::string& name) const {
    return _blendspaces.at(orn::toLower(name)).get();
}

Animation* AnimationGraph::get_blendspace(int id) const {
    if (id < 0 || static_cast<size_t>(id) >= _blendspace_list.size()) return nullptr;
    return _blendspace_list[static_cast<size_t>(id)];
}

Animation* AnimationGraph::get_default_blendspace() const {
    return _blendspace_list.empty() ? nullptr : _blendspace_list.front();
}

const std::string& AnimationGraph::get_state_name(int id) const {
    static const std::string empty;
    for (const auto& item : _blendspaces) {
        if (item.second->get_id() == id) return item.first;
    }
    return empty;
}

osg::Vec2f AnimationGraph::get_cycle(const std::string& name) const {
    _state_index.at(orn::toLower(name));
    return osg::Vec2f(0.0f, 0.0f);
}

}  // namespace Animator
