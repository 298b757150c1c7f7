// The fixture of the instance tests: a loaded model without a skeleton and with a settable idle
// timeline, the model clock set by hand, and views of the registry and of a cookie's stack.
#pragma once
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/instance/TestModel.h"

namespace test {

class InstanceTest : public ::testing::Test {
protected:
    // Whether the registry's copy of the cookie's instance record matches it byte for byte.
    bool synced(const Animator::CharacterModelCookie& c) const {
        return std::memcmp(&model.get_per_instance_data()[c.get_id()], &c.get_instance_data(),
                           sizeof(Animator::InstanceData)) == 0;
    }
    // The clips of the cookie's stack, bottom first.
    static std::vector<float> clips(Animator::CharacterModelCookie& c) {
        std::vector<float> out;
        for (const Animator::ShaderBlendSpace2D& r : c.get_stack(0.0f)) out.push_back(r.samples[0].clip);
        return out;
    }
    void idle_entries(int count, const std::vector<Animator::CharacterModelStatic::IdleEntry>& entries) {
        model.set_idle_count(count);
        model.idle_entries() = entries;
    }

    ManualClock clock{0.0};
    ModelHarness harness{"skeleton = 'none'\n"};
    TestModel& model = *harness.model;
};

}  // namespace test
