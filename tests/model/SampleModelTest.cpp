// The sample character "biped" of the repository's data: its library, connectors, and the idle-timeline
// folding of instance matrices.
#include <gtest/gtest.h>

#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelConnector.h"
#include "animator/util/MathUtils.h"
#include "tests/support/SampleBiped.h"

using namespace Animator;

namespace {

constexpr const char* kHand = "biped_hand_R__conn_weapon";

class Instance : public Graphics::ModelInstance {
public:
    explicit Instance(model::ModelCookie* c) : cookie(c) {}
    model::ModelCookie* getCookie() const override { return cookie; }
    osg::Matrixf getMatrix() const override { return osg::Matrixf::translate(10, 0, 0); }
    model::ModelCookie* cookie;
};

void expect_near(const osg::Matrixf& a, const osg::Matrixf& b, float eps = 1e-4f) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a(r, c), b(r, c), eps) << "element " << r << "," << c;
}

class SampleModel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(model->get_animation_manager(), nullptr); }
    AnimationManager& lib() { return *model->get_animation_manager(); }

    CharacterModelStatic* model = test::biped_model();
    test::ManualClock clock{0.0};
};

}  // namespace

TEST_F(SampleModel, LoadsEverythingTheConfigurationNames) {
    EXPECT_GT(lib().get_num_nodes(), 0);
    EXPECT_EQ(model->get_default_animation_id(), lib().get_animation_index("idle"));
    ASSERT_EQ(model->get_lods().size(), 2u);
    EXPECT_EQ(model->get_lods()[0].distance, 25.0f);
    EXPECT_EQ(model->get_lods()[1].distance, 80.0f);
    ASSERT_EQ(model->get_idle_entries().size(), 2u);
    EXPECT_FLOAT_EQ(model->get_idle_entries()[0].duration, lib().get_animation_duration("idle"));
    EXPECT_TRUE(model->getBoundingBox().valid());

    std::string name;
    float duration = 0.0f;
    bool loop = false;
    EXPECT_EQ(model->get_state_info("walk", name, duration, loop), lib().get_animation_index("walk_loop_slow"));
    EXPECT_FLOAT_EQ(duration, lib().get_animation_duration("walk_loop_slow"));
    EXPECT_TRUE(loop);
    EXPECT_FLOAT_EQ(model->get_transition_duration("stop"), 0.3f);
}

TEST_F(SampleModel, ConnectorFollowsTheSkeletonOfTheInstance) {
    auto* connector = dynamic_cast<CharacterModelConnector*>(model->GetConnector(kHand));
    ASSERT_NE(connector, nullptr);
    EXPECT_GE(connector->get_node_id(), 0);

    auto c = test::new_character();
    Instance instance(c.get());
    clock.set(0.7);
    const wPosition3<float> p = connector->getWorldPosition(&instance);
    const wPosition3<float> expected = to_Position3(lib().get_node_world_pos(c.get(), kHand, 0.7f));
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(p.m[i / 4][i % 4], expected.m[i / 4][i % 4]) << i;

    // The idle window folds the model time.
    const osg::Vec2f window = c->get_timeline_window();
    ASSERT_GT(window.y(), 0.0f);
    clock.set(0.7 + window.y());
    const wPosition3<float> folded = connector->getWorldPosition(&instance);
    EXPECT_NEAR((folded.position() - p.position()).length(), 0.0f, 1e-4f);

    // Relative to the host object: the connector first, then the object's own matrix.
    EXPECT_NEAR(connector->getRelativePosition(instance)(3, 0), p.position().x() + 10.0f, 1e-4f);

    // A cookie of another kind, or none, gives the origin.
    Instance nobody(nullptr);
    EXPECT_EQ(connector->getWorldPosition(&nobody).position(), osg::Vec3f(0, 0, 0));
}

TEST_F(SampleModel, InstanceMatrixFoldsTimeByTheIdleWindow) {
    auto c = test::new_character();
    const osg::Vec2f window = c->get_timeline_window();
    ASSERT_GT(window.y(), 0.0f);
    const float t = 0.9f;
    const auto a = lib().get_instance_matrix(t, c.get());
    const auto b = lib().get_instance_matrix(t + window.y(), c.get());
    expect_near(std::get<0>(a), std::get<0>(b));
    expect_near(std::get<1>(a), std::get<1>(b));
    // The registry's copy of the instance answers the same.
    const InstanceData& d = model->get_per_instance_data()[c->get_id()];
    const auto r = lib().get_instance_matrix(t + window.y(), c->get_id(),
                                             osg::Vec2f(d.timeline_start, d.timeline_length), model);
    expect_near(std::get<1>(a), std::get<1>(r));
}
