// A character model built from a configuration written into a temporary directory mounted at
// "/models/", with access to the protected parts that the tests inspect, and a controllable clock.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Clock.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

namespace test {

class TestModel : public Animator::CharacterModelStatic {
public:
    using CharacterModelStatic::CharacterModelStatic;
    using CharacterModelBase::_get_lod;
    using CharacterModelStatic::do_load_basic;

    std::vector<IdleEntry>& idle_entries() { return _idle_entries; }
    void set_idle_count(int count) { _idle_count = count; }
    void set_default_clip(int clip) { _default_animation_id = clip; }
    const Animator::BlendSpacePool& pool() { return get_blend_spaces(); }

    // Number of records in the free chain (walking it from its head).
    int free_records() {
        int n = 0;
        for (int i = get_blend_spaces().free_head; i >= 0 && n <= static_cast<int>(pool().records.size()); ++n)
            i = static_cast<int>(get_blend_spaces().records.at(i).kind);
        return n;
    }
};

// A loaded model of `config` (the text of "<name>.chanimgpu"), with the files in `files` (relative to
// the models directory) beside it, and the recording render back-end installed.
struct ModelHarness {
    explicit ModelHarness(const std::string& config, const std::string& name = "test_model.chanimgpu",
                          const std::vector<std::pair<std::string, std::string>>& files = {},
                          bool load = true)
        : log(true), backend(std::make_shared<render::CpuBackend>()) {
        render::set_backend(backend);
        dir.write("models/" + name, config);
        for (const auto& f : files) dir.write("models/" + f.first, f.second);
        mount = std::make_unique<ScopedMount>(dir.file("models"), "/models/");
        model = orn::ref_ptr<TestModel>(new TestModel(name.c_str(), ("/models/" + name).c_str()));
        if (load) model->load_async();
    }
    ~ModelHarness() {
        model = orn::ref_ptr<TestModel>();
        render::set_backend(nullptr);
    }
    std::unique_ptr<Animator::CharacterModelCookie> cookie() {
        return std::make_unique<Animator::CharacterModelCookie>(model.get());
    }

    LogCapture log;
    TempDir dir;
    std::shared_ptr<render::CpuBackend> backend;
    std::unique_ptr<ScopedMount> mount;
    orn::ref_ptr<TestModel> model;
};

inline Animator::ShaderBlendSpace2D clip_record(float clip, float start, float blend_start = 1e9f,
                                               float blend_duration = 0.0f) {
    Animator::ShaderBlendSpace2D r;
    r.kind = Animator::BS_RECORD_CLIP;
    r.samples[0].clip = clip;
    r.start_time = start;
    r.blend_start = blend_start;
    r.blend_duration = blend_duration;
    r.loop = 1.0f;
    return r;
}

}  // namespace test
