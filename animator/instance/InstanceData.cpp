#include "animator/instance/InstanceData.h"

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Clock.h"

namespace Animator {

InstanceData::InstanceData() {
    for (int32_t& slot : stack) slot = -1;
}

void InstanceData::push(int index, CharacterModelCookie* cookie) {
    process_stack(cookie);
    stack[stack_size - 1] = index;
}

void InstanceData::clear(CharacterModelCookie* cookie) {
    for (int32_t& slot : stack) {
        if (slot >= 0) {
            if (cookie) cookie->remove_blend_space(slot);
            slot = -1;
        }
    }
    stack_size = 0;
}

void InstanceData::process_stack(CharacterModelCookie* cookie) {
    if (stack_size < 0) stack_size = 0;
    if (stack_size >= MAX_ANIMATIONS_STACK_SIZE) {
        // Full: the oldest entry goes, whatever its state; no expiry pass on a full stack.
        stack_size = MAX_ANIMATIONS_STACK_SIZE;
        if (cookie && stack[0] >= 0) cookie->remove_blend_space(stack[0]);
        for (int i = 1; i < MAX_ANIMATIONS_STACK_SIZE; ++i) stack[i - 1] = stack[i];
        return;
    }

    CharacterModelStatic* model = cookie ? cookie->get_model() : nullptr;
    if (model && stack_size > 1) {
        const float t = static_cast<float>(get_model_time());
        for (int p = 1; p < stack_size; ++p) {
            const ShaderBlendSpace2D& lower = model->get_record(stack[p - 1]);
            const ShaderBlendSpace2D& upper = model->get_record(stack[p]);
            (void)lower;
            if (t >= upper.blend_start + upper.blend_duration) {
                // The upper entry has faded in completely: the one below it is no longer seen.
                cookie->remove_blend_space(stack[p - 1]);
                for (int i = p - 1; i < stack_size - 1; ++i) stack[i] = stack[i + 1];
                stack[stack_size - 1] = -1;
                --stack_size;
            }
        }
    }
    ++stack_size;
}

}  // namespace Animator
