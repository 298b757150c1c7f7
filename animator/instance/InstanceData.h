// The 432-byte per-instance GPU record: id, livery, flags, a stack of up to 100 indices into the
// model's record pool, and the idle-timeline window. It owns the stack rules (eviction, expiry).
#pragma once
#include <cstddef>
#include <cstdint>

#include <osg/Vec3i>

namespace Animator {

class CharacterModelCookie;

constexpr int MAX_ANIMATIONS_STACK_SIZE = 100;

struct InstanceData {
    int32_t id = -1;
    osg::Vec3i livery{0, 0, 0};
    int32_t flags = 0;
    int32_t stack[MAX_ANIMATIONS_STACK_SIZE];
    int32_t stack_size = 0;
    float timeline_start = 0.0f;
    float timeline_length = 0.0f;

    InstanceData();
    InstanceData(const InstanceData&) = default;
    InstanceData& operator=(const InstanceData&) = default;
    InstanceData(InstanceData&&) = default;
    InstanceData& operator=(InstanceData&&) = default;

    int get_id() const { return id; }
    int size() const { return stack_size; }
    int operator[](int i) const { return stack[i]; }
    int get_top() const { return stack[stack_size - 1]; }

    // Makes room (eviction or expiry at the current model time) and places `index` on top.
    void push(int index, CharacterModelCookie* cookie);
    // Releases every record the stack names and empties it.
    void clear(CharacterModelCookie* cookie);

private:
    void process_stack(CharacterModelCookie* cookie);
};

static_assert(sizeof(InstanceData) == 432, "instance record is 432 bytes");
static_assert(offsetof(InstanceData, livery) == 4, "layout");
static_assert(offsetof(InstanceData, flags) == 16, "layout");
static_assert(offsetof(InstanceData, stack) == 20, "layout");
static_assert(offsetof(InstanceData, stack_size) == 420, "layout");
static_assert(offsetof(InstanceData, timeline_start) == 424, "layout");
static_assert(offsetof(InstanceData, timeline_length) == 428, "layout");

}  // namespace Animator
