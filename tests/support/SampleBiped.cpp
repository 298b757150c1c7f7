#include "tests/support/SampleBiped.h"

#include <gtest/gtest.h>

#include "animator/util/Clock.h"
#include "host/Graphics.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

namespace test {

namespace {

// Everything the sample character needs; released before the program ends.
struct BipedWorld {
    BipedWorld()
        : backend(std::make_shared<render::CpuBackend>()),
          animations(test::data_dir() + "/animations", "/animations/"),
          models(test::data_dir() + "/models", "/models/") {
        render::set_backend(backend);
    }
    ~BipedWorld() {
        model = orn::ref_ptr<Animator::CharacterModelStatic>();
        Animator::destroy_animation_managers();
        render::set_backend(nullptr);
    }

    std::shared_ptr<render::CpuBackend> backend;
    test::ScopedMount animations;
    test::ScopedMount models;
    orn::ref_ptr<Animator::CharacterModelStatic> model;
};

std::unique_ptr<BipedWorld> g_world;

BipedWorld& world() {
    if (!g_world) {
        test::LogCapture quiet;
        g_world = std::make_unique<BipedWorld>();
    }
    return *g_world;
}

class ReleaseWorld : public ::testing::Environment {
public:
    void TearDown() override { g_world.reset(); }
};

[[maybe_unused]] ::testing::Environment* const g_release = ::testing::AddGlobalTestEnvironment(new ReleaseWorld);

}  // namespace

Animator::AnimationManager& biped_manager() {
    world();
    test::LogCapture quiet;
    return Animator::get_animation_manager("biped");
}

Animator::CharacterModelStatic* biped_model() {
    BipedWorld& w = world();
    if (!w.model) {
        test::LogCapture quiet;
        w.model = orn::ref_ptr<Animator::CharacterModelStatic>(
            new Animator::CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        w.model->load_async();
    }
    return w.model.get();
}

std::shared_ptr<render::CpuBackend> biped_backend() { return world().backend; }

std::unique_ptr<Animator::CharacterModelCookie> new_character() {
    return std::make_unique<Animator::CharacterModelCookie>(biped_model());
}

ManualClock::ManualClock(double t) : _t(std::make_shared<double>(t)) {
    auto p = _t;
    Animator::set_time_callback([p] { return *p; });
}

ManualClock::~ManualClock() { Animator::set_time_callback(nullptr); }

}  // namespace test
