// The per-character handle: embeds its instance record, keeps it in step with the model's registry,
// and holds the stack of timed sample records that animates the character.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <osg/Vec2f>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/instance/InstanceData.h"
#include "host/Graphics.h"
#include "host/Position.h"

namespace Animator {

class CharacterModelReflection;
class CharacterModelStatic;

class CharacterModelCookie : public model::ModelCookie {
public:
    static const uint64_t type;

    explicit CharacterModelCookie(CharacterModelStatic* model);
    CharacterModelCookie(const CharacterModelCookie& other);
    CharacterModelCookie& operator=(const CharacterModelCookie& other);
    ~CharacterModelCookie() override;

    uint64_t getType() const override;
    void setLiveryHandle(unsigned handle) override;
    std::unique_ptr<model::ModelCookie> clone() const override;

    void push_blend_space(const ShaderBlendSpace2D& record);
    void remove_blend_space(int index);
    void set_stack(const std::vector<ShaderBlendSpace2D>& records);
    void clear_data();
    void update();
    // Copies of the stack's records, bottom first, in one buffer shared by all cookies.
    std::vector<ShaderBlendSpace2D>& get_stack(float t);
    int get_stack_size() const;
    // The record in effect at t (the newest that has started; the bottom one before any start).
    const ShaderBlendSpace2D& get_current_blend_space(float t) const;
    // The stack slot of the record in effect at t: the newest entry that has started, the bottom one
    // before any has; -1 for an empty stack.
    int get_current_slot(float t) const;
    // The same rule for any instance record of `model` (the library's per-instance queries use it): an
    // entry naming no record of the pool counts as not started, and -1 comes back when the bottom
    // entry names none.
    static int slot_at(const CharacterModelReflection& model, const InstanceData& data, float t);
    const ShaderBlendSpace2D& get_blend_space(float t) const { return get_current_blend_space(t); }
    int get_current_blend_space_id(float t) const;
    wPosition3<float> get_correction(float t);
    void set_idle(float t);
    void print_stack() const;

    int get_id() const { return instance_data.id; }
    int get_flags() const { return instance_data.flags; }
    void set_flags(int flags) { instance_data.flags = flags; }
    bool get_dirty() const { return dirty; }
    void set_dirty(bool d) { dirty = d; }
    bool get_extern_pos_update() const { return extern_pos_update; }
    void set_extern_pos_update(bool e) { extern_pos_update = e; }
    CharacterModelStatic* get_model() const { return model; }
    const char* get_name() const { return name.c_str(); }
    void set_name(const std::string& n) { name = n; }
    float get_random_value() const;

    const InstanceData& get_instance_data() const { return instance_data; }
    InstanceData& get_instance_data() { return instance_data; }
    osg::Vec2f get_timeline_window() const { return timeline_window; }
    void set_timeline_window(const osg::Vec2f& w) { timeline_window = w; }
    bool get_is_clone() const { return is_clone; }
    int32_t* get_frame_marks() { return frame_marks; }

private:
    InstanceData instance_data;
    CharacterModelStatic* model;
    bool dirty = true;
    bool extern_pos_update = false;
    std::string name;
    bool is_clone = false;
    osg::Vec2f timeline_window{0.0f, -1.0f};
    int32_t frame_marks[3] = {0, 0, 0};
};

}  // namespace Animator
