#include "animator/motion/RoutePlanner.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/blend/IPropertyHolder.h"
#include "animator/library/AnimationManager.h"
#include "animator/util/Log.h"
#include "host/LuaConfig.h"
#include "host/Vfs.h"

namespace Animator {

namespace {

// Divisors below this are treated as zero: the route equation has no answer through them.
constexpr float kMinDivisor = 1e-6f;

// The library entry of that name, or null (with a message) when the library has none or it cannot
// be played. The name lookup of the library answers a stand-in for unknown names, so the list is
// searched first; the last entry of a name is the one the name lookup answers.
const Animation* find_entry(const AnimationManager* manager, const std::string& name) {
    if (!manager) return nullptr;
    const Animation* found = nullptr;
    for (int i = 0; i < manager->get_num_blend_spaces(); ++i) {
        const Animation& entry = manager->get_blend_space(i);
        if (entry.get_name() == name) found = &entry;
    }
    if (!found || !found->is_playable()) {
        log_message(LOG_TAG, LOG_ERROR, "route planner: no playable entry '%s'", name.c_str());
        return nullptr;
    }
    return found;
}

// An axis input of the explicit overload: "input0", "input1" or a number written as text.
float axis_input(const std::string& text, float input0, float input1) {
    if (text == "input0") return input0;
    if (text == "input1") return input1;
    return static_cast<float>(std::atof(text.c_str()));
}

float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

RoutePlanner::RoutePlanner(AnimationManager* manager)
    : _name(manager ? manager->get_root_node_name() : ""), _manager(manager) {}

void RoutePlanner::load(const std::string& file) {
    const std::string path = "/animations/" + _name + "/" + file;
    if (!ornvfs::exists(path)) return;

    std::vector<char> text;
    lua_State* L = ORN_lua_open("Animator::RoutePlanner::load");
    if (!L) return;
    {
        Lua::StackGuard guard(L);
        lua_pushvalue(L, LUA_GLOBALSINDEX);
        const int globals_top = lua_gettop(L);
        Lua::Config cfg(L);
        if (!ornvfs::read_file(path, text) || !cfg.load_buffer(text.data(), text.size(), path.c_str())) {
            log_message(LOG_TAG, LOG_ERROR, "error executing '%s'", path.c_str());
        } else {
            // The chunk defines globals; drop whatever it returned so the globals are the current table.
            lua_settop(L, globals_top);

            if (cfg.open("params")) {
                for (int i = 1;; ++i) {
                    float value = 0.0f;
                    if (!cfg.read(i, value)) break;
                    _params.push_back(value);
                }
                cfg.close();
            }
            if (cfg.open("animations")) {
                for (int i = 1; cfg.open(i); ++i) {
                    PlanEntry entry;
                    cfg.read("name", entry.name);
                    cfg.read("type", entry.type);
                    if (cfg.open("values")) {
                        for (int k = 0; k < 2; ++k) {
                            entry.values[k] = "##";
                            cfg.read(k + 1, entry.values[k]);
                        }
                        cfg.close();
                    }
                    _animations.push_back(entry);
                    cfg.close();
                }
                cfg.close();
            }
            if (cfg.failed()) {
                log_message(LOG_TAG, LOG_ERROR, "error executing '%s'", path.c_str());
                _params.clear();
                _animations.clear();
            }
        }
    }
    ORN_lua_close(L);
}

RoutePlanner::RouteSolution RoutePlanner::solve(const RoutePlan& start, const RoutePlan& loop,
                                                const RoutePlan& stop, float distance) {
    const osg::Vec3f& s = std::get<0>(start);
    const osg::Vec3f& l = std::get<0>(loop);
    const osg::Vec3f& e = std::get<0>(stop);
    const osg::Vec2f& axis = std::get<1>(loop);
    const float low_s = s.x(), req_s = s.y(), high_s = s.z();
    const float low_l = l.x(), req_l = l.y(), high_l = l.z();
    const float low_e = e.x(), req_e = e.y(), high_e = e.z();

    if (!std::isfinite(distance)) {
        log_message(LOG_TAG, LOG_ERROR, "route plan: distance %f is not finite", distance);
        distance = 0.0f;
    }

    RouteSolution out;
    float n = 0.0f;
    if (std::isfinite(req_l) && std::fabs(req_l) > kMinDivisor) {
        n = finite_or_zero(std::trunc((distance - req_s - req_e) / req_l));
    } else {
        log_message(LOG_TAG, LOG_ERROR, "route plan: the loop phase does not move its root; no loop cycles");
    }

    auto blend = [&](float cycles) {
        const float divisor = cycles * (high_l - low_l) + (high_s - low_s) + (high_e - low_e);
        if (!std::isfinite(divisor) || std::fabs(divisor) <= kMinDivisor) {
            log_message(LOG_TAG, LOG_ERROR, "route plan: the phases give no speed range; low end used");
            return 0.0f;
        }
        return finite_or_zero((distance - low_s - low_e - cycles * low_l) / divisor);
    };

    float f = blend(n);
    if (f > 1.0f) {
        n += 1.0f;
        f = blend(n);
    }
    out.cycles = n;
    out.blend = f;
    out.speed = finite_or_zero((1.0f - f) * axis.x() + f * axis.y());
    out.stop_distance = finite_or_zero((1.0f - f) * low_e + f * high_e);
    return out;
}

osg::Vec2f RoutePlanner::get_route_speed(float input0, float input1, float distance) const {
    if (_animations.size() < 3) {
        log_message(LOG_TAG, LOG_ERROR, "route planner '%s': %d phases, 3 needed", _name.c_str(),
                    static_cast<int>(_animations.size()));
        return osg::Vec2f(0.0f, 0.0f);
    }
    RoutePlan plans[3];
    for (int i = 0; i < 3; ++i) {
        const PlanEntry& phase = _animations[i];
        const Animation* entry = find_entry(_manager, phase.name);
        if (!entry) return osg::Vec2f(0.0f, 0.0f);
        plans[i] = entry->get_route_plan(axis_input(phase.values[0], input0, input1),
                                         axis_input(phase.values[1], input0, input1));
    }
    const RouteSolution r = solve(plans[0], plans[1], plans[2], distance);
    return osg::Vec2f(r.speed, r.stop_distance);
}

osg::Vec2f RoutePlanner::get_route_speed(IPropertyHolder* props, float distance) const {
    if (_animations.size() < 3) {
        log_message(LOG_TAG, LOG_ERROR, "route planner '%s': %d phases, 3 needed", _name.c_str(),
                    static_cast<int>(_animations.size()));
        return osg::Vec2f(0.0f, 0.0f);
    }
    if (!props) {
        log_message(LOG_TAG, LOG_ERROR, "route planner '%s': no property holder", _name.c_str());
        return osg::Vec2f(0.0f, 0.0f);
    }
    RoutePlan plans[3];
    for (int i = 0; i < 3; ++i) {
        const Animation* entry = find_entry(_manager, _animations[i].name);
        if (!entry) return osg::Vec2f(0.0f, 0.0f);
        plans[i] = entry->get_route_plan(props);
    }
    const RouteSolution r = solve(plans[0], plans[1], plans[2], distance);
    return osg::Vec2f(r.speed, r.stop_distance);
}

}  // namespace Animator
