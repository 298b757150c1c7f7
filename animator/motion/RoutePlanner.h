// Chooses the speed at which the looping walk must run so that a start phase, whole loop cycles and a
// stop phase cover a given distance; reads its phases from "route_planner.lua".
#pragma once
#include <array>
#include <string>
#include <vector>

#include <osg/Vec2f>

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

    const std::vector<float>& get_params() const { return _params; }
    const std::vector<PlanEntry>& get_animations() const { return _animations; }

private:
    std::string _name;
    std::vector<float> _params;
    std::vector<PlanEntry> _animations;
    AnimationManager* _manager;
};

}  // namespace Animator
