#include "animator/instance/CharacterModelCookie.h"

#include <algorithm>

#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/plugin/Plugin.h"
#include "animator/util/MathUtils.h"
#include "host/Strings.h"

namespace Animator {

const uint64_t CharacterModelCookie::type = orn::gen_id();

namespace {

// The record handed out when a stack is empty (callers are to check the size first).
const ShaderBlendSpace2D& empty_record() {
    static const ShaderBlendSpace2D record;
    return record;
}

bool is_registered(const CharacterModelCookie* cookie, const CharacterModelStatic* model) {
    if (!model) return false;
    const auto& cookies = model->get_cookies();
    const int id = cookie->get_id();
    return id >= 0 && id < static_cast<int>(cookies.size()) && cookies[id] == cookie;
}

}  // namespace

CharacterModelCookie::CharacterModelCookie(CharacterModelStatic* model_) : model(model_) {
    if (!model) return;
    model->register_instance(this);
    set_idle(0.0f);
}

CharacterModelCookie::CharacterModelCookie(const CharacterModelCookie& other)
    : model::ModelCookie(other),
      instance_data(other.instance_data),
      model(other.model),
      dirty(other.dirty),
      extern_pos_update(other.extern_pos_update),
      name(other.name),
      is_clone(other.is_clone),
      timeline_window(other.timeline_window) {
    for (int i = 0; i < 3; ++i) frame_marks[i] = other.frame_marks[i];
}

CharacterModelCookie& CharacterModelCookie::operator=(const CharacterModelCookie& other) {
    if (this == &other) return *this;
    instance_data = other.instance_data;
    model = other.model;
    dirty = other.dirty;
    extern_pos_update = other.extern_pos_update;
    name = other.name;
    is_clone = other.is_clone;
    timeline_window = other.timeline_window;
    for (int i = 0; i < 3; ++i) frame_marks[i] = other.frame_marks[i];
    return *this;
}

CharacterModelCookie::~CharacterModelCookie() {
    // A clone or a plain copy shares the records of the registered cookie and releases nothing.
    if (is_clone || !is_registered(this, model)) return;
    instance_data.clear(this);
    model->unregister_instance(this);
}

uint64_t CharacterModelCookie::getType() const { return type; }

void CharacterModelCookie::setLiveryHandle(unsigned handle) {
    if (handle == 0xFFFFFFFFu || !model) return;
    instance_data.livery = model->get_livery_index(handle);
    dirty = true;
    model->update_instance(this);
}

std::unique_ptr<model::ModelCookie> CharacterModelCookie::clone() const {
    auto copy = std::make_unique<CharacterModelCookie>(*this);
    copy->is_clone = true;
    return copy;
}

void CharacterModelCookie::push_blend_space(const ShaderBlendSpace2D& record) {
    if (!model) return;
    const int index = model->add_blend_space(record);
    instance_data.push(index, this);
    timeline_window = osg::Vec2f(0.0f, 0.0f);
    instance_data.timeline_start = 0.0f;
    instance_data.timeline_length = 0.0f;
    dirty = true;
    model->update_instance(this);
}

void CharacterModelCookie::remove_blend_space(int index) {
    if (!model) return;
    model->release_blend_space(index);
    dirty = true;
}

void CharacterModelCookie::set_stack(const std::vector<ShaderBlendSpace2D>& records) {
    if (!model) return;
    instance_data.clear(this);
    dirty = true;
    model->update_instance(this);
    for (const ShaderBlendSpace2D& r : records) push_blend_space(r);
    dirty = true;
    model->update_instance(this);
}

void CharacterModelCookie::clear_data() {
    instance_data.clear(this);
    dirty = true;
    if (model) model->update_instance(this);
}

void CharacterModelCookie::update() {
    dirty = true;
    if (model) model->update_instance(this);
}

std::vector<ShaderBlendSpace2D>& CharacterModelCookie::get_stack(float) {
    // One buffer shared by every cookie (of this thread), refilled by each call.
    static thread_local std::vector<ShaderBlendSpace2D> buffer;
    buffer.clear();
    if (!model) return buffer;
    for (int i = 0; i < instance_data.stack_size; ++i) buffer.push_back(model->get_record(instance_data.stack[i]));
    return buffer;
}

int CharacterModelCookie::get_stack_size() const { return instance_data.stack_size; }

int CharacterModelCookie::slot_at(const CharacterModelReflection& model, const InstanceData& data, float t) {
    const int n = std::min(data.stack_size, MAX_ANIMATIONS_STACK_SIZE);
    const ShaderBlendSpace2D* bottom = n > 0 ? model.find_record(data.stack[0]) : nullptr;
    if (!bottom) return -1;
    if (bottom->start_time >= t) return 0;
    for (int i = 0; i < n; ++i) {
        const ShaderBlendSpace2D* entry = model.find_record(data.stack[i]);
        if (!entry) continue;
        const ShaderBlendSpace2D* above = i + 1 < n ? model.find_record(data.stack[i + 1]) : nullptr;
        if (t >= entry->start_time && (!above || above->start_time > t)) return i;
    }
    return 0;
}

int CharacterModelCookie::get_current_slot(float t) const { return model ? slot_at(*model, instance_data, t) : -1; }

const ShaderBlendSpace2D& CharacterModelCookie::get_current_blend_space(float t) const {
    const int slot = get_current_slot(t);
    return slot >= 0 ? *model->find_record(instance_data.stack[slot]) : empty_record();
}

int CharacterModelCookie::get_current_blend_space_id(float t) const {
    return get_current_blend_space(t).blend_space_id;
}

wPosition3<float> CharacterModelCookie::get_correction(float t) {
    AnimationManager* manager = model ? model->get_animation_manager() : nullptr;
    if (!manager || instance_data.stack_size <= 0) return wPosition3<float>();
    return to_Position3(std::get<1>(manager->get_instance_matrix(t, this)));
}

void CharacterModelCookie::set_idle(float t) {
    if (!model) return;
    AnimationManager* manager = model->get_animation_manager();
    const float r = randomizer.get();

    std::vector<osg::Vec3f> timeline;
    float total = 0.0f;
    model->generate_timeline(t, timeline, total, r);
    timeline_window = timeline.empty() ? osg::Vec2f(0.0f, -1.0f) : osg::Vec2f(t, total);

    ShaderBlendSpace2D record;
    record.kind = BS_RECORD_CLIP;
    record.loop_start = -1.0f;
    record.loop_end = -1.0f;
    record.override_clip = -1.0f;
    record.reserved = -1.0f;
    record.blend_space_id = 0;

    float carried_override = -1.0f;
    float carried_reserved = 1.0f;
    if (instance_data.stack_size > 0) {
        const ShaderBlendSpace2D& current = get_current_blend_space(t);
        carried_override = current.override_clip;
        carried_reserved = current.reserved;
    }

    if (timeline.empty()) {
        // No idle timeline: the default clip loops on top of whatever the stack holds.
        const int clip = model->_default_animation_id;
        record.samples[0].clip = static_cast<float>(clip);
        record.start_time = 0.0f;
        record.cycle_duration =
            manager && clip >= 0 && clip < manager->get_num_animations() ? manager->get_animation_duration(clip) : 0.0f;
        record.play_length = 0.0f;
        record.loop = 1.0f;
        instance_data.push(model->add_blend_space(record), this);
    } else {
        instance_data.clear(this);
        // Only the last records of the timeline fit on the stack; the others would be pushed and
        // dropped again at once.
        const size_t shown = std::min(timeline.size(), static_cast<size_t>(MAX_ANIMATIONS_STACK_SIZE));
        for (auto it = timeline.end() - static_cast<std::ptrdiff_t>(shown); it != timeline.end(); ++it) {
            const osg::Vec3f& element = *it;
            record.samples[0].clip = element.z();
            record.start_time = element.x();
            record.cycle_duration = element.y() - element.x();
            record.play_length = element.y();
            record.loop = 0.0f;
            record.blend_start = element.x();
            record.blend_duration = 0.5f;
            record.override_clip = carried_override;
            record.reserved = carried_reserved;
            instance_data.push(model->add_blend_space(record), this);
        }
    }

    instance_data.timeline_start = timeline_window.x();
    instance_data.timeline_length = timeline_window.y();
    model->update_instance(this);
    dirty = true;
}

void CharacterModelCookie::print_stack() const {}

float CharacterModelCookie::get_random_value() const { return randomizer.get(); }

}  // namespace Animator
