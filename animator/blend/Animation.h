// A playable entry that plays one clip; the base of the 1-D and 2-D blend spaces. Entries are loaded
// from Lua descriptors and write one sample record onto a character's stack when applied.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include <osg/Matrixf>
#include <osg/Vec2f>
#include <osg/Vec3f>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "host/LuaConfig.h"

namespace Animator {

class AnimationManager;
class CharacterModelCookie;
class IPropertyHolder;

enum BS_TYPE : int { BS_ANIMATION = 0, BS_1D = 1, BS_2D = 2 };

using RoutePlan = std::tuple<osg::Vec3f, osg::Vec2f>;

class Animation {
public:
    Animation();
    Animation(const Animation&) = default;
    Animation& operator=(const Animation&) = default;

    // Builds the record of the entry at a time and answers its cycle duration, without a character.
    // Public although underscored: apply needs a cookie to push the record onto, while the blend tests
    // and tools build records on their own.
    virtual float _update(float time, IPropertyHolder* props, ShaderBlendSpace2D& record) const;
    virtual ~Animation() = default;
    // Reads the entry from the table on top of the reader's stack.
    virtual void load(Lua::Config& cfg, AnimationManager* manager);
    virtual void gui(CharacterModelCookie* cookie, bool flag);
    virtual osg::Matrixf get_root_matrix(float time, const ShaderBlendSpace2D& record) const;
    virtual osg::Matrixf get_root_end(const ShaderBlendSpace2D& record) const;
    virtual osg::Matrixf get_root_start(const ShaderBlendSpace2D& record) const;
    virtual bool has_property(const std::string& name) const;
    virtual osg::Matrixf get_principal_motion(float time, CharacterModelCookie* cookie) const;
    virtual RoutePlan get_route_plan(IPropertyHolder* props) const;
    virtual RoutePlan get_route_plan(float a, float b) const;

    // A new, unloaded entry of a descriptor's "type": "animation", "1D" or "2D" (exact); null otherwise.
    static std::unique_ptr<Animation> create(const std::string& type);

    // Builds the record, pushes it onto the cookie's stack, copies it out; returns its cycle duration.
    float apply(float time, CharacterModelCookie* cookie, IPropertyHolder* props, TransitionParams params,
                ShaderBlendSpace2D& out) const;
    float get_duration(IPropertyHolder* props) const { return _get_duration(props); }
    float get_num_cycles(float time, CharacterModelCookie* cookie) const;
    const std::string& get_name() const { return name; }
    BS_TYPE get_type() const { return type; }

    int get_id() const { return id; }
    void set_id(int i) { id = i; }
    int get_clip() const { return clip; }
    bool get_loop() const { return loop; }
    float get_loop_start() const { return loop_start; }
    float get_loop_end() const { return loop_end; }
    AnimationManager* get_manager() const { return manager; }
    // Whether the entry can be sampled: it belongs to a library and every clip it names exists there.
    // An unplayable entry writes an empty record (cycle duration 0), has duration 0, identity root
    // matrices and a zero route plan.
    virtual bool is_playable() const;

protected:
    virtual void _do_load(Lua::Config& cfg, AnimationManager* manager);
    virtual float _get_duration(IPropertyHolder* props) const;
    bool _check_loop(const std::optional<bool>& loop) const { return loop ? *loop : this->loop; }
    // Clip helpers that never touch the library with an index it does not hold (65535, -1, or a
    // record's float that names no clip): such a clip has duration 0 and the identity root motion.
    bool _is_valid_clip(int c) const;
    float _clip_duration(int c) const;
    osg::Matrixf _clip_root_motion(int c, float time, const osg::Vec3f& loop) const;
    // Horizontal length (x and z of the translation) of a root motion.
    static float _ground_distance(const osg::Matrixf& m);
    // num / den, or 0 where the divisor is 0 or the quotient is not finite.
    static float _ratio(float num, float den);
    // The holder's property, 0 without a holder.
    static float _property(IPropertyHolder* props, const std::string& name);

    AnimationManager* manager = nullptr;
    BS_TYPE type = BS_ANIMATION;
    bool loop = false;
    std::string name;
    int id = 0;
    int clip = -1;
    float loop_start = -1.0f;
    float loop_end = -1.0f;
};

}  // namespace Animator
