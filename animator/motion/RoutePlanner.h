// Chooses the speed at which the looping walk must run so that a start phase, whole loop cycles and a
// stop phase cover a given distance; reads its phases from "route_planner.lua".
#pragma once
#include <array>
#include <string>
#include <vector>

#include <osg/Vec2f>

#include "animator/blend/Animation.h"

namespace Animator {

class AnimationManager;
class IPropertyHolder;

class RoutePlanner {
public:
    struct PlanEntry {
        std::string name = "###";
        std::string type = "###";
        std::array<std::string, 2> values;
    };

    // The answer of the route equation: whole loop cycles, blend factor between the low and high ends
    // of the loop phase's speed bracket, the speed axis value and the stop-phase distance.
    struct RouteSolution {
        float cycles = 0.0f;
        float blend = 0.0f;
        float speed = 0.0f;
        float stop_distance = 0.0f;
    };

    explicit RoutePlanner(AnimationManager* manager);
    RoutePlanner(const RoutePlanner&) = default;
    RoutePlanner(RoutePlanner&&) = default;
    RoutePlanner& operator=(const RoutePlanner&) = default;
    RoutePlanner& operator=(RoutePlanner&&) = default;
    ~RoutePlanner() = default;

    void load(const std::string& file);
    // (speed axis value of the loop phase, stop-phase distance).
    osg::Vec2f get_route_speed(float input0, float input1, float distance) const;
    osg::Vec2f get_route_speed(IPropertyHolder* props, float distance) const;

    // Solves start + n loop cycles + stop = distance for n and the blend factor, from the route plans
    // of the start, loop and stop phases. Always finite: a loop phase that does not move its root gives
    // no loop cycles, a zero blend divisor gives the low end (both logged).
    static RouteSolution solve(const RoutePlan& start, const RoutePlan& loop, const RoutePlan& stop,
                               float distance);

    const std::vector<float>& get_params() const { return _params; }
    const std::vector<PlanEntry>& get_animations() const { return _animations; }

private:
    std::string _name;
    std::vector<float> _params;
    std::vector<PlanEntry> _animations;
    AnimationManager* _manager;
};

}  // namespace Animator
