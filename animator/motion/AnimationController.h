// Drives one placed character: turns requests (go to a state, walk a distance, turn on the spot) into
// timed sample records on the character's stack along paths of the state graph, and reports where the
// root of the character is from the root motion of those records. Blend spaces it applies read their
// axis values ("speed", "start_heading", "final_heading", "turn_angle", "num_cycles") from it.
#pragma once
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include <osg/Matrixf>
#include <osg/Vec2f>
#include <osg/Vec3f>

#include "animator/blend/AnimationGraph.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "animator/blend/ShaderBlendSpace2D.h"
#include "host/Position.h"

namespace Animator {

class Animation;
class AnimationManager;
class CharacterModelCookie;

class AnimationController : public PropertyHolderImpl {
public:
    // (shift from the ideal straight root to the actual root, ideal root, root matrix, distance).
    using MovementShift = std::tuple<osg::Matrixf, osg::Matrixf, osg::Matrixf, float>;
    // (instance matrix, movement shift, distance, root as imported).
    using UpdateResult = std::tuple<wPosition3<float>, wPosition3<float>, float, wPosition3<float>>;

    explicit AnimationController(CharacterModelCookie* cookie);
    AnimationController(const AnimationController&) = default;
    AnimationController& operator=(const AnimationController&) = default;
    ~AnimationController() override = default;

    // Walks the graph path from the current state to `target`, applying every state after the first;
    // with `reset` the stack first keeps only the current record. Answers (start time, cycle duration)
    // of the last applied state, (t, 0) when nothing was applied.
    osg::Vec2f change_animation_state(float t, const std::string& target, bool reset);
    // Makes the record in effect at t play its current cycle to the end once; answers when it ends.
    float finish_animation(float t);
    // Turns on the spot by `angle` and returns to "Idle"; answers when "Idle" begins.
    float turn(float t, float angle);
    // Start, loop and stop phases covering `distance`, then "Idle"; answers when the stop phase ends.
    float move(float t, float start_heading, float speed, float final_heading, float distance);
    void stop_move() { _moving = false; }
    void stop(float) {}
    // Whether a move is still in progress at the model time; the first call at or after the move's end
    // ends it and runs `route_end_callback`.
    bool get_route_flag();
    float get_route_end_time() const { return _route_end_time; }
    float get_route_start_time() const { return _route_start_time; }
    bool is_moving() const { return _moving; }
    const osg::Vec3f& get_start_direction() const { return _start_direction; }

    std::string get_current_state_name(float t) const;
    // (start_time, cycle_duration, play_length) of the record in effect at t.
    osg::Vec3f get_current_state_start_duration(float t) const;
    MovementShift get_movement_shift(float t);
    UpdateResult update(float t, bool flag);
    std::tuple<float, float> _process_path(AnimationGraph::GraphQuery& query, const char* name, float t) {
        return {0.0f, 0.0f};
    }

    std::function<void()> route_end_callback;

private:
    // False (with a message) when the controller has no graph to work with.
    bool _ready(const char* operation) const;
    // The record in effect at t; a record of entry -1 when the stack is empty.
    ShaderBlendSpace2D _current_record(float t) const;
    // The graph's entry of a record's id (the default entry for -1); null when there is none.
    const Animation* _entry(int id) const;
    float _apply(const Animation* entry, float t, const TransitionParams& params);

    CharacterModelCookie* _cookie = nullptr;
    std::shared_ptr<AnimationManager> _manager;  // the character's library, kept while the controller lives
    AnimationGraph* _state_graph = nullptr;
    std::array<std::string, 3> _move_states{"S_MoveStart", "S_Move", "S_MoveStopRU"};
    bool _moving = false;
    osg::Vec3f _start_direction{0.0f, 0.0f, 0.0f};
    float _route_start_time = -1.0f;
    float _route_end_time = -1.0f;
};

}  // namespace Animator
