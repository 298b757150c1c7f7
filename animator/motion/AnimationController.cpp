#include "animator/motion/AnimationController.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/util/Clock.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

const osg::Vec3d kUp(0.0, 1.0, 0.0);

osg::Matrixf rotation_about_up(float angle) { return osg::Matrixf::rotate(angle, kUp); }

// Horizontal distance between the translations of two matrices.
float ground_distance(const osg::Matrixf& a, const osg::Matrixf& b) {
    const float dx = b(3, 0) - a(3, 0), dz = b(3, 2) - a(3, 2);
    return std::sqrt(dx * dx + dz * dz);
}

// Normalised copy; a zero vector stays as it is.
osg::Vec3f normalised(osg::Vec3f v) {
    if (v.length() > 0.0f) v.normalize();
    return v;
}

// Whole cycles of a record between two times; 0 for a record without a cycle.
float cycles_between(float from, float to, float cycle_duration) {
    if (!(cycle_duration > 0.0f)) return 0.0f;
    const float n = (to - from) / cycle_duration;
    return std::isfinite(n) ? n : 0.0f;
}

TransitionParams move_params(bool loop, float transition_duration = 0.0f) {
    TransitionParams p;
    p.loop = loop;
    p.transition_duration = transition_duration;
    p.animation_start_shift = 0.0f;
    return p;
}

}  // namespace

AnimationController::AnimationController(CharacterModelCookie* cookie) : _cookie(cookie) {
    CharacterModelStatic* model = cookie ? cookie->get_model() : nullptr;
    if (!model) {
        log_message(LOG_TAG, LOG_ERROR, "animation controller without a character");
        return;
    }
    _manager = model->share_animation_manager();
    if (!_manager) {
        log_message(LOG_TAG, LOG_ERROR, "animation manager '%s' not found", model->get_skeleton_type().c_str());
        return;
    }
    _state_graph = _manager->get_graph();
}

bool AnimationController::_ready(const char* operation) const {
    if (_cookie && _manager && _state_graph) return true;
    log_message(LOG_TAG, LOG_ERROR, "%s: the character has no animation graph", operation);
    return false;
}

ShaderBlendSpace2D AnimationController::_current_record(float t) const {
    if (_cookie->get_stack_size() > 0) return _cookie->get_current_blend_space(t);
    ShaderBlendSpace2D none;
    none.blend_space_id = -1;
    return none;
}

const Animation* AnimationController::_entry(int id) const {
    return id == -1 ? _state_graph->get_default_blendspace() : _state_graph->get_blendspace(id);
}

float AnimationController::_apply(const Animation* entry, float t, const TransitionParams& params) {
    ShaderBlendSpace2D out;
    return entry->apply(t, _cookie, this, params, out);
}

osg::Vec2f AnimationController::change_animation_state(float t, const std::string& target, bool reset) {
    if (!_ready("change_animation_state")) return osg::Vec2f(t, 0.0f);
    set_property("num_cycles", 0.0f);

    ShaderBlendSpace2D c = _current_record(t);
    if (c.blend_space_id < 0) {
        const Animation* def = _state_graph->get_default_blendspace();
        c.blend_space_id = def ? def->get_id() : 0;
    }
    const std::string from = c.blend_space_id == 0 ? std::string("Idle") : _state_graph->get_state_name(c.blend_space_id);
    const AnimationGraph::GraphQuery q = _state_graph->get_graph_path(from, target);

    if (reset) {
        _cookie->clear_data();
        _cookie->push_blend_space(c);
    }

    float d = 0.0f;
    float prev_duration = 0.0f;
    for (size_t k = 1; k < q.path.size(); ++k) {
        const AnimationGraph::PathStep& step = q.path[k];
        const AnimationGraph::TransitionSettings& s = step.transition.params;
        TransitionParams p;
        p.loop = s.loop;
        p.loop_range = s.loop_range;
        p.transition_duration = s.transition_duration;
        p.animation_start_shift = s.animation_start_shift;

        if (s.next_animation_mode == "immediate") {
            t += prev_duration;
        } else if (s.next_animation_mode == "sequental") {
            if (k == 1) {
                const float e = finish_animation(t);
                if (e > t) t = e;
            } else {
                t += d;
            }
        }
        if (!step.state.animation) {
            log_message(LOG_TAG, LOG_ERROR, "state '%s' has no animation", step.state.key.c_str());
            break;
        }
        d = _apply(step.state.animation, t, p);
        prev_duration = s.transition_duration;
    }
    _cookie->print_stack();
    return osg::Vec2f(t, q.path.size() > 1 ? d : 0.0f);
}

float AnimationController::finish_animation(float t) {
    if (!_cookie || _cookie->get_stack_size() == 0) return t;
    ShaderBlendSpace2D c = _cookie->get_current_blend_space(t);
    if (c.loop <= 0.0f) return std::max(t, c.start_time + c.cycle_duration);

    float lo = 0.0f, hi = c.cycle_duration;
    if (c.loop_start >= 0.0f && c.loop_end >= 0.0f) {
        lo = c.loop_start;
        hi = c.loop_end;
    }
    c.loop = 0.0f;
    c.loop_start = c.loop_end = -1.0f;
    if (c.start_time + lo > t) {
        _cookie->clear_data();
        _cookie->push_blend_space(c);
        return c.start_time + c.cycle_duration;
    }
    // An empty loop window has no phase to finish: the cycle ends from its window start.
    const float phase = hi - lo > 0.0f ? std::fmod(t - c.start_time, hi - lo) + lo : lo;
    c.start_time = t - phase;
    _cookie->clear_data();
    _cookie->push_blend_space(c);
    return t - phase + c.cycle_duration;
}

float AnimationController::turn(float t, float angle) {
    set_property("turn_angle", angle);
    const osg::Vec2f turning = change_animation_state(t, "S_Turn", true);
    const osg::Vec2f idle = change_animation_state(turning.x(), "Idle", false);
    return idle.x();
}

float AnimationController::move(float t, float start_heading, float speed, float final_heading, float distance) {
    if (!_ready("move")) return t;
    set_property("start_heading", start_heading);
    set_property("speed", speed);
    set_property("final_heading", final_heading);

    // Missing move states throw from the graph lookup before the stack is touched.
    const Animation* phases[3];
    RoutePlan plans[3];
    for (int i = 0; i < 3; ++i) {
        phases[i] = _state_graph->get_blendspace(_move_states[i]);
        plans[i] = phases[i]->get_route_plan(this);
    }
    const Animation* idle = _state_graph->get_blendspace(std::string("Idle"));
    const RoutePlanner::RouteSolution plan = RoutePlanner::solve(plans[0], plans[1], plans[2], distance);
    set_property("speed", plan.speed);

    ShaderBlendSpace2D c = _current_record(t);
    if (t >= c.start_time) {
        const Animation* entry = _entry(c.blend_space_id);
        if (entry) {
            const osg::Matrixf root = entry->get_root_matrix(t, c);
            _start_direction = normalised(osg::Vec3f(root(0, 0), root(0, 1), root(0, 2)));
        } else {
            _start_direction = osg::Vec3f(1.0f, 0.0f, 0.0f);
        }
    } else {
        c.start_time = t;
        c.play_length = c.cycle_duration + t;
        _start_direction = osg::Vec3f(1.0f, 0.0f, 0.0f);
    }
    _cookie->clear_data();
    if (c.blend_space_id >= 0) _cookie->push_blend_space(c);

    const float t1 = t + _apply(phases[0], t, move_params(false));
    const float d = _apply(phases[1], t1, move_params(true));
    set_property("num_cycles", plan.cycles);
    const float t2 = t1 + plan.cycles * d;
    const float t3 = t2 + _apply(phases[2], t2, move_params(false));
    _apply(idle, t3, move_params(true, 0.25f));

    _moving = true;
    _route_start_time = t;
    _route_end_time = t3;
    return t3;
}

bool AnimationController::get_route_flag() {
    const float now = static_cast<float>(get_model_time());
    if (_moving && now >= _route_end_time) {
        _moving = false;
        if (route_end_callback) route_end_callback();
    }
    return _moving;
}

std::string AnimationController::get_current_state_name(float t) const {
    if (!_ready("get_current_state_name")) return std::string();
    return _state_graph->get_state_name(_current_record(t).blend_space_id);
}

osg::Vec3f AnimationController::get_current_state_start_duration(float t) const {
    if (!_cookie || _cookie->get_stack_size() == 0) return osg::Vec3f(0.0f, 0.0f, 0.0f);
    const ShaderBlendSpace2D& c = _cookie->get_current_blend_space(t);
    return osg::Vec3f(c.start_time, c.cycle_duration, c.play_length);
}

AnimationController::MovementShift AnimationController::get_movement_shift(float t) {
    const osg::Matrixf identity;
    if (!_ready("get_movement_shift") || _cookie->get_stack_size() == 0) return {identity, identity, identity, 0.0f};
    const std::vector<ShaderBlendSpace2D> stack = _cookie->get_stack(t);

    if (_moving && stack.size() >= 2) {
        float D = 0.0f;
        for (size_t i = 1; i < stack.size(); ++i) {
            const ShaderBlendSpace2D& b = stack[i - 1];
            const ShaderBlendSpace2D& u = stack[i];
            const Animation* E = _entry(b.blend_space_id);
            if (!E) continue;
            const osg::Matrixf start = E->get_root_start(b);
            if (t >= u.start_time) {
                const float g = ground_distance(start, E->get_root_end(b));
                D += b.loop > 0.0f ? g * std::trunc(std::round(cycles_between(b.start_time, u.start_time,
                                                                              b.cycle_duration)))
                                   : g;
                continue;
            }
            float g = ground_distance(start, E->get_root_matrix(t, b));
            if (b.loop > 0.0f)
                g += std::trunc(cycles_between(b.start_time, t, b.cycle_duration)) *
                     ground_distance(start, E->get_root_end(b));
            D += g;
            break;
        }

        const ShaderBlendSpace2D c = _cookie->get_current_blend_space(t);
        const Animation* E = _entry(c.blend_space_id);
        if (!E) return {identity, identity, identity, D};
        const osg::Matrixf M = E->get_root_matrix(t, c);
        const osg::Matrixf R = E->get_root_end(c);
        const osg::Vec3f h = normalised(osg::Vec3f(M(0, 0), 0.0f, M(0, 2)));
        const osg::Vec3f e = normalised(osg::Vec3f(R(3, 0), 0.0f, R(3, 2)));
        const osg::Vec3f m(M(3, 0), 0.0f, M(3, 2));
        const osg::Vec3f p = e * (e * m);
        const osg::Matrixf S = rotation_about_up(-angle_between_vectors(h, e)) * osg::Matrixf::translate(p - m);
        return {S, identity, M, D};
    }

    const int id = _cookie->get_current_blend_space_id(t);
    const Animation* E = _entry(id);
    if (!E) return {identity, identity, identity, 0.0f};
    const ShaderBlendSpace2D c = _cookie->get_current_blend_space(t);
    const osg::Matrixf M = E->get_root_matrix(t, c);
    float n = std::trunc(E->get_num_cycles(t, _cookie));
    if (!std::isfinite(n)) n = 0.0f;

    const float a = get_heading(osg::Vec3f(M(0, 0), 0.0f, M(0, 2)));
    const osg::Matrixf end = E->get_root_end(c), start = E->get_root_start(c);
    osg::Vec3f delta(end(3, 0) - start(3, 0), 0.0f, end(3, 2) - start(3, 2));
    if (!(std::fabs(delta.x()) > 0.1f)) delta.x() = 0.0f;
    if (!(std::fabs(delta.z()) > 0.1f)) delta.z() = 0.0f;

    const osg::Matrixf F = rotation_about_up(a) *
                           osg::Matrixf::translate(n * delta.x() + M(3, 0), 0.0f, n * delta.z() + M(3, 2));
    osg::Vec3f dir(1.0f, 0.0f, 0.0f);
    float extra = 0.0f;
    if (delta.length() > 0.01f) {
        dir = delta / delta.length();
        extra = n * delta.length();
    }
    const float D = dir * osg::Vec3f(M(3, 0), 0.0f, M(3, 2)) + extra;
    const osg::Matrixf A = rotation_about_up(get_heading(dir)) * osg::Matrixf::translate(dir * D);
    const osg::Matrixf S = F * invert(A);
    return {S, A, M, D};
}

AnimationController::UpdateResult AnimationController::update(float t, bool) {
    if (!_ready("update")) return {wPosition3<float>(), wPosition3<float>(), 0.0f, wPosition3<float>()};
    const InstanceMatrices instance = _manager->get_instance_matrix(t, _cookie);
    const MovementShift shift = get_movement_shift(t);
    return {to_Position3(std::get<0>(instance)), to_Position3(std::get<0>(shift)), std::get<3>(shift),
            to_Position3(std::get<1>(instance))};
}

}  // namespace Animator
