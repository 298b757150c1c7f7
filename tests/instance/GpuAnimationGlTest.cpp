// The compute shader on the OpenGL back-end (Mesa's software rasteriser where there is no GPU): its
// passes pose the sample characters as the recording back-end's CPU twin and the library's own
// evaluation do, for the sample stacks and for random stacks of every record kind.
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "animator/instance/GpuAnimation.h"
#include "host/Render.h"
#include "refhost/gl/GlBackend.h"
#include "tests/instance/ComputeContract.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::AnimationManager;
using Animator::ShaderBlendSpace2D;

class GlCompute : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cpu_manager = &test::biped_manager();
        model = test::biped_model();
        gl = render::GlBackend::create();
        if (!gl) return;
        shaders = std::make_unique<test::ScopedMount>(std::string(ANIMATOR_SOURCE_DIR) + "/refhost/shaders", "/shaders/");
        render::set_backend(gl);
        test::LogCapture quiet;
        gl_manager = std::make_unique<AnimationManager>("biped");  // packed on the GL back-end
        gl_manager->init();
        render::set_backend(test::biped_backend());
    }
    static void TearDownTestSuite() {
        render::set_backend(gl);
        gl_manager.reset();
        render::set_backend(test::biped_backend());
        gl.reset();
        shaders.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(gl) << "no OpenGL 4.5 context: the GL back-end failed where Mesa is installed";
        ASSERT_TRUE(gl_manager->is_gpu_created());
        ASSERT_TRUE(gl_manager->get_gpu_animation()->shader()) << "the compute shader did not build";
        size = test::skeleton_size(*cpu_manager);
    }

    struct Three {
        test::MatrixError gl_vs_library, gl_vs_twin;
    };
    Three run(const std::vector<Animator::CharacterModelCookie*>& cookies, float time) {
        std::vector<int> ids;
        for (auto* c : cookies) ids.push_back(c->get_id());
        render::set_backend(gl);
        const auto on_gl = test::gpu_model_transforms(*gl_manager, *model, ids, time);
        render::set_backend(test::biped_backend());
        const auto on_twin = test::gpu_model_transforms(*cpu_manager, *model, ids, time);
        const auto library = test::cpu_model_transforms(*cpu_manager, cookies, time);
        return {test::compare(on_gl, library, size), test::compare(on_gl, on_twin, size)};
    }
    static void expect_close(const Three& e, const std::string& what) {
        EXPECT_LT(e.gl_vs_library.rotation, 1e-4f) << what << " matrix " << e.gl_vs_library.worst;
        EXPECT_LT(e.gl_vs_library.translation, 1e-4f) << what << " matrix " << e.gl_vs_library.worst;
        EXPECT_LT(e.gl_vs_twin.rotation, 1e-4f) << what << " matrix " << e.gl_vs_twin.worst;
        EXPECT_LT(e.gl_vs_twin.translation, 1e-4f) << what << " matrix " << e.gl_vs_twin.worst;
    }

    inline static std::shared_ptr<render::GlBackend> gl;
    inline static std::unique_ptr<test::ScopedMount> shaders;
    inline static std::unique_ptr<AnimationManager> gl_manager;
    inline static AnimationManager* cpu_manager = nullptr;
    inline static Animator::CharacterModelStatic* model = nullptr;
    float size = 1.0f;
};

TEST_F(GlCompute, IdleWalkingAndWavingCharacters) {
    auto idle = test::new_character();
    auto walker = test::new_character();
    const int walk = cpu_manager->get_animation_index("walk_loop_slow");
    const int fast = cpu_manager->get_animation_index("walk_loop_fast");
    ShaderBlendSpace2D clip;
    clip.kind = Animator::BS_RECORD_CLIP;
    clip.samples[0].clip = static_cast<float>(cpu_manager->get_animation_index("idle"));
    clip.loop = 1.0f;
    clip.override_clip = static_cast<float>(cpu_manager->get_animation_index("wave"));
    ShaderBlendSpace2D blend;
    blend.kind = Animator::BS_RECORD_2D;
    blend.samples[0].clip = walk, blend.samples[1].clip = fast, blend.samples[2].clip = walk, blend.samples[3].clip = fast;
    blend.weight_x = 0.7f, blend.weight_y = 0.2f, blend.loop = 1.0f;
    blend.start_time = 0.5f, blend.blend_start = 0.5f, blend.blend_duration = 0.4f;
    test::set_stack_unexpired(*walker, {clip, blend});
    for (float t : {0.0f, 0.5f, 0.7f, 0.9f, 2.3f, 9.1f, 61.0f})
        expect_close(run({idle.get(), walker.get()}, t), "t=" + std::to_string(t));
}

TEST_F(GlCompute, RandomStacksOfEveryKind) {
    std::mt19937 rng(4242);
    const int clips = cpu_manager->get_num_animations();
    const int wave = cpu_manager->get_animation_index("wave");
    std::vector<std::unique_ptr<Animator::CharacterModelCookie>> owned;
    std::vector<Animator::CharacterModelCookie*> cookies;
    std::vector<float> times;
    for (int c = 0; c < 16; ++c) {
        owned.push_back(test::new_character());
        std::vector<ShaderBlendSpace2D> stack;
        for (int i = 0, depth = 1 + static_cast<int>(rng() % 4); i < depth; ++i)
            stack.push_back(test::random_record(rng, clips, wave));
        std::sort(stack.begin(), stack.end(),
                  [](const ShaderBlendSpace2D& a, const ShaderBlendSpace2D& b) { return a.start_time < b.start_time; });
        test::set_stack_unexpired(*owned.back(), stack);
        cookies.push_back(owned.back().get());
        const auto probes = test::probe_times(rng, stack);
        times.insert(times.end(), probes.begin(), probes.begin() + std::min<size_t>(probes.size(), 3));
    }
    owned.push_back(test::new_character());
    owned.back()->set_idle(1.5f);
    cookies.push_back(owned.back().get());
    times.push_back(123.4f);
    // Every character at every probe time, all in one dispatch per time.
    for (float t : times) expect_close(run(cookies, t), "t=" + std::to_string(t));
}

}  // namespace
