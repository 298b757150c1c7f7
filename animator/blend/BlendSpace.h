// A playable entry blending a row of clips laid out along one property axis.
#pragma once
#include <array>
#include <string>
#include <vector>

#include <osg/Matrixf>

#include "animator/blend/Animation.h"

namespace Animator {

class BlendSpace : public Animation {
public:
    struct NodePoint {
        float x = 0.0f;
        int clip = 0;
        osg::Matrixf motion;  // identity by default
    };

    BlendSpace();
    BlendSpace(const BlendSpace&) = default;
    BlendSpace& operator=(const BlendSpace&) = default;

    float _update(float time, IPropertyHolder* props, ShaderBlendSpace2D& record) const override;
    void load(Lua::Config& cfg, AnimationManager* manager) override;
    void gui(CharacterModelCookie* cookie, bool flag) override;
    osg::Matrixf get_root_matrix(float time, const ShaderBlendSpace2D& record) const override;
    osg::Matrixf get_root_end(const ShaderBlendSpace2D& record) const override;
    osg::Matrixf get_root_start(const ShaderBlendSpace2D& record) const override;
    bool has_property(const std::string& name) const override;
    RoutePlan get_route_plan(IPropertyHolder* props) const override;
    RoutePlan get_route_plan(float a, float b) const override;
    bool is_playable() const override;

    const std::string& get_x_axis_name() const { return x_axis_name; }
    std::array<NodePoint, 2> get(float x) const;
    const std::vector<NodePoint>& get_points() const { return points; }
    float get_x_min() const { return x_min; }
    float get_x_max() const { return x_max; }

protected:
    void _do_load(Lua::Config& cfg, AnimationManager* manager) override;
    float _get_duration(IPropertyHolder* props) const override;
    virtual osg::Matrixf _blend_matrices(const ShaderBlendSpace2D& record, float phase, bool loop) const;
    void _add(float x, int clip);

    std::vector<NodePoint> points;
    std::string x_axis_name = "x";
    float x_min = 3.4028235e38f;
    float x_max = -3.4028235e38f;
};

}  // namespace Animator
