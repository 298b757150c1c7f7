// A playable entry blending a grid of clips laid out over two property axes.
#pragma once
#include <array>
#include <string>
#include <vector>

#include <osg/Matrixf>

#include "animator/blend/BlendSpace.h"

namespace Animator {

class BlendSpace2D : public BlendSpace {
public:
    struct NodePoint {
        float x = 0.0f;
        float y = 0.0f;
        int clip = 0;
        osg::Matrixf motion;  // identity by default
    };

    BlendSpace2D();
    BlendSpace2D(const BlendSpace2D&) = default;
    BlendSpace2D& operator=(const BlendSpace2D&) = default;

    float _update(float time, IPropertyHolder* props, ShaderBlendSpace2D& record) const override;
    void load(Lua::Config& cfg, AnimationManager* manager) override;
    void gui(CharacterModelCookie* cookie, bool flag) override;
    bool has_property(const std::string& name) const override;
    RoutePlan get_route_plan(IPropertyHolder* props) const override;
    RoutePlan get_route_plan(float a, float b) const override;
    bool is_playable() const override;

    const std::string& get_y_axis_name() const { return y_axis_name; }
    std::array<NodePoint, 4> get(float x, float y) const;
    const std::vector<NodePoint>& get_points() const { return points2d; }
    float get_y_min() const { return y_min; }
    float get_y_max() const { return y_max; }

protected:
    void _do_load(Lua::Config& cfg, AnimationManager* manager) override;
    osg::Matrixf _blend_matrices(const ShaderBlendSpace2D& record, float phase, bool loop) const override;
    void _add(float x, float y, int clip);

    std::vector<NodePoint> points2d;
    std::string y_axis_name = "y";
    float y_min = 3.4028235e38f;
    float y_max = -3.4028235e38f;
};

}  // namespace Animator
