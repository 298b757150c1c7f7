// Character model configuration: both load stages, levels of detail, bounds, liveries, state and
// transition tables, and the failures that leave a usable model.
#include <gtest/gtest.h>

#include <cfloat>

#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelConnector.h"
#include "host/Vfs.h"
#include "refhost/LiveryManager.h"
#include "tests/instance/TestModel.h"

using namespace Animator;
using test::ModelHarness;

namespace {

const char* kTables = R"(
skeleton = "none"
animations = { stand = { name = "idle", loop = true } }
transitions = { walk = 0.25 }
bounding_box = { {-1, 0, -2}, {1, 4, 2} }
)";

}  // namespace

TEST(ModelLods, WithoutLodsOneLevelHoldsEverything) {
    ModelHarness h("skeleton = 'none'\n");
    ASSERT_EQ(h.model->get_lods().size(), 1u);
    EXPECT_EQ(h.model->get_lods()[0].distance, FLT_MAX);
    EXPECT_EQ(h.model->_get_lod(0.0f), 0);
    EXPECT_EQ(h.model->_get_lod(1e30f), 0);
}

TEST(ModelLods, SortedByDistanceAndChosenByTheFirstLevelFarEnough) {
    ModelHarness h("skeleton = 'none'\nlods = { {'far.obj', 50}, {'near.obj', 10}, {'farthest.obj', 200} }\n");
    const auto& lods = h.model->get_lods();
    ASSERT_EQ(lods.size(), 3u);
    EXPECT_EQ(lods[0].distance, 10.0f);
    EXPECT_EQ(lods[1].distance, 50.0f);
    EXPECT_EQ(lods[2].distance, 200.0f);
    EXPECT_EQ(lods[1].file, "far.obj");
    EXPECT_EQ(h.model->_get_lod(30.0f), 1);
    EXPECT_EQ(h.model->_get_lod(10.0f), 0);
    EXPECT_EQ(h.model->_get_lod(500.0f), -1);
    // Level 0 is the model's own scene: its file is never read; the others are.
    EXPECT_FALSE(h.log.has("can not read '/models/near.obj'"));
    EXPECT_TRUE(h.log.has(8, "can not read '/models/far.obj'"));
    EXPECT_TRUE(h.log.has(8, "can not read '/models/farthest.obj'"));

    h.model->reload();
    EXPECT_EQ(h.model->get_lods().size(), 3u);
}

TEST(ModelLoad, SubstitutesAreRecorded) {
    ModelHarness h("skeleton = 'none'\nsubstitute_meshes = { helmet = 'helmet_b.obj', [3] = 'x' }\n");
    ASSERT_EQ(h.model->get_substitutes().size(), 2u);
    EXPECT_EQ(h.model->get_substitutes().at("helmet"), "helmet_b.obj");
    h.model->reload();
    EXPECT_EQ(h.model->get_substitutes().size(), 2u);
}

TEST(ModelLoad, LoadStateAndBoundsFromTheConfiguration) {
    ModelHarness h(kTables, "tables.chanimgpu", {}, false);
    EXPECT_EQ(h.model->getLoadState(), model::LS_LOADING);
    h.model->load_async();
    EXPECT_EQ(h.model->getLoadState(), model::LS_LOADED);
    const osg::BoundingBox box = h.model->getBoundingBox();
    EXPECT_EQ(box._min, osg::Vec3f(-1, 0, -2));
    EXPECT_EQ(box._max, osg::Vec3f(1, 4, 2));
    EXPECT_EQ(h.model->GetCenter(), osg::Vec3f(0, 2, 0));
    EXPECT_FLOAT_EQ(h.model->GetRadius(), 3.0f);
    EXPECT_TRUE(h.log.has(64, "load_basic() started"));
    EXPECT_TRUE(h.log.has(64, "load_main() ended"));
    osg::Vec3f hit;
    EXPECT_TRUE(h.model->getIModelInterface()->intersectSegment(osg::Vec3f(-5, 1, 0), osg::Vec3f(5, 1, 0), hit));
    EXPECT_FLOAT_EQ(hit.x(), -1.0f);
    EXPECT_FALSE(h.model->getIModelInterface()->intersectSegment(osg::Vec3f(-5, 9, 0), osg::Vec3f(5, 9, 0), hit));
}

TEST(ModelLoad, MainStageOpensTheDrawingShader) {
    ModelHarness h("skeleton = 'none'\n");
    auto shaders = h.backend->shaders();
    ASSERT_EQ(shaders.size(), 1u);
    EXPECT_EQ(shaders[0]->file(), "animator/gpu_animated_model.fx");
    EXPECT_EQ(shaders[0]->define("MAX_ANIMATIONS_STACK_SIZE"), "100");
    EXPECT_EQ(shaders[0]->define("NUM_NODES"), "0");
    EXPECT_EQ(h.backend->variable_name(shaders[0]->getVariable("model_time")), "model_time");
}

TEST(ModelLoad, FailuresAreLoggedAndLeaveAUsableModel) {
    {
        ModelHarness h("this is not lua", "broken.chanimgpu");
        EXPECT_TRUE(h.log.has(8, "error loading /models/broken.chanimgpu"));
        EXPECT_EQ(h.model->getLoadState(), model::LS_LOADED);
        EXPECT_FALSE(h.model->getBoundingBox().valid());
        EXPECT_EQ(h.model->GetRadius(), 0.0f);
        auto cookie = h.model->createCookie();
        ASSERT_TRUE(cookie);
        EXPECT_EQ(static_cast<CharacterModelCookie*>(cookie.get())->get_stack_size(), 1);
    }
    {
        ModelHarness h("skeleton = 'nobody'\nmodel = 'missing.assbin'\n", "nomesh.chanimgpu");
        EXPECT_TRUE(h.log.has(8, "can not read '/models/missing.assbin'"));
        EXPECT_EQ(h.model->get_animation_manager(), nullptr);
        EXPECT_EQ(h.model->get_skeleton_type(), "nobody");
        EXPECT_EQ(h.model->getNumConnectors(), 0);
        auto cookie = h.model->createCookie();
        auto* c = static_cast<CharacterModelCookie*>(cookie.get());
        EXPECT_EQ(c->get_correction(1.0f).position(), osg::Vec3f(0, 0, 0));
        std::string name;
        float duration = 0.0f;
        bool loop = false;
        EXPECT_EQ(h.model->get_state_info("stand", name, duration, loop), -1);
    }
    {
        ModelHarness h("skeleton = 'none'\nmodel = 'garbage.bin'\n", "garbage.chanimgpu",
                       {{"garbage.bin", "\x01\x02 definitely not a mesh"}});
        EXPECT_TRUE(h.log.has(8, "can not load scene from buffer '/models/garbage.bin'"));
        EXPECT_EQ(h.model->get_scene(), nullptr);
    }
}

TEST(ModelTables, StateInfoAndTransitionDurations) {
    ModelHarness h(kTables, "tables.chanimgpu");
    std::string name;
    float duration = -5.0f;
    bool loop = false;
    // No animation library for the skeleton: the clip is unknown, the table is still read.
    EXPECT_EQ(h.model->get_state_info("stand", name, duration, loop), INVALID_CLIP);
    EXPECT_EQ(name, "idle");
    EXPECT_TRUE(loop);
    EXPECT_EQ(h.model->get_state_info("fly", name, duration, loop), -1);
    EXPECT_TRUE(h.log.has(8, "can not find animation for state fly"));

    EXPECT_FLOAT_EQ(h.model->get_transition_duration("walk"), 0.25f);
    EXPECT_EQ(h.model->get_transition_duration("run"), -1.0f);
    EXPECT_TRUE(h.log.has(8, "can not find transition for action run"));

    ModelHarness bare("skeleton = 'none'\n", "bare.chanimgpu");
    EXPECT_EQ(bare.model->get_transition_duration("walk"), -1.0f);
    EXPECT_TRUE(bare.log.has(8, "can not open transitions section in config"));
    EXPECT_EQ(bare.model->get_state_info("stand", name, duration, loop), -1);
    EXPECT_TRUE(bare.log.has(8, "can not open animations section in config"));
}

TEST(ModelLiveries, RegisteredOncePerHandle) {
    ModelHarness h("skeleton = 'none'\n");
    auto& liveries = refhost::LiveryManager::reference();
    liveries.add_livery(77u, {{0, "red_body.dds", "body"}, {2, "red_mask.dds", "mask"}});
    liveries.add_livery(78u, {{0, "blue_body.dds", "body"}});

    EXPECT_EQ(h.model->get_livery_index(0xFFFFFFFFu), osg::Vec3i(0, 0, 0));
    EXPECT_EQ(h.model->get_livery_index(999u), osg::Vec3i(0, 0, 0));  // unknown: default, not kept
    EXPECT_EQ(h.model->get_num_liveries(), 1);

    const osg::Vec3i red = h.model->get_livery_index(77u);
    EXPECT_EQ(red, osg::Vec3i(1, 0, 1));
    EXPECT_EQ(h.model->get_livery_index(77u), red);
    EXPECT_EQ(h.model->get_num_liveries(), 2);
    EXPECT_EQ(h.model->get_livery_index(78u), osg::Vec3i(2, 0, 0));
    EXPECT_EQ(h.model->get_num_liveries(), 3);

    auto cookie = h.model->createCookie();
    cookie->setLiveryHandle(77u);
    auto* c = static_cast<CharacterModelCookie*>(cookie.get());
    EXPECT_EQ(c->get_instance_data().livery, red);
    EXPECT_EQ(h.model->get_per_instance_data()[c->get_id()].livery, red);
    liveries.remove_livery(77u);
    liveries.remove_livery(78u);
}

TEST(ModelConnectors, NamesThatMakeConnectors) {
    EXPECT_TRUE(CharacterModelConnector::is_connector_name("biped_hand_R__conn_weapon"));
    EXPECT_TRUE(CharacterModelConnector::is_connector_name("__conn_"));
    EXPECT_TRUE(CharacterModelConnector::is_connector_name("x__conn_"));
    EXPECT_FALSE(CharacterModelConnector::is_connector_name("hand_conn_weapon"));
    EXPECT_FALSE(CharacterModelConnector::is_connector_name("_conn_x"));
    EXPECT_FALSE(CharacterModelConnector::is_connector_name(""));
}

// A mesh file whose scene carries a "bounding_box" object and connector objects (Wavefront OBJ: each
// object becomes a node of that name).
TEST(ModelConnectors, FromTheMeshSceneAndBoundsFromItsBoxNode) {
    const std::string obj =
        "o body\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"
        "o bounding_box\nv -2 -1 -3\nv 2 -1 -3\nv 2 5 3\nv -2 5 3\nf 4 5 6\nf 4 6 7\n"
        "o hand__conn_weapon\nv 0 0 0\nv 0.1 0 0\nv 0 0.1 0\nf 8 9 10\n"
        "o conn_not\nv 0 0 0\nv 0.1 0 0\nv 0 0.1 0\nf 11 12 13\n"
        "o head__conn_hat\nv 0 0 0\nv 0.1 0 0\nv 0 0.1 0\nf 14 15 16\n";
    ModelHarness h("skeleton = 'none'\nmodel = 'mesh.obj'\nbounding_box = { {0,0,0}, {1,1,1} }\n", "conn.chanimgpu",
                   {{"mesh.obj", obj}});
    ASSERT_NE(h.model->get_scene(), nullptr) << h.log.dump();
    const osg::BoundingBox box = h.model->getBoundingBox();
    EXPECT_EQ(box._min, osg::Vec3f(-2, -1, -3));
    EXPECT_EQ(box._max, osg::Vec3f(2, 5, 3));

    ASSERT_EQ(h.model->getNumConnectors(), 2);
    EXPECT_STREQ(h.model->GetConnector(0)->name(), "hand__conn_weapon");
    EXPECT_STREQ(h.model->GetConnector(1)->name(), "head__conn_hat");
    EXPECT_EQ(h.model->GetConnector(-1), nullptr);
    EXPECT_EQ(h.model->GetConnector(2), nullptr);
    EXPECT_EQ(h.model->GetConnector("conn_not"), nullptr);
    EXPECT_EQ(h.model->GetConnector(static_cast<const char*>(nullptr)), nullptr);
    Graphics::ModelConnector* hand = h.model->GetConnector(std::string("hand__conn_weapon"));
    ASSERT_NE(hand, nullptr);
    EXPECT_TRUE(hand->isValid());
    EXPECT_FALSE(hand->isAnimated());
    // Without an instance (or an animation library) the connector stands at the model's origin.
    EXPECT_EQ(hand->getWorldPosition(nullptr).position(), osg::Vec3f(0, 0, 0));

    h.model->reload();
    EXPECT_EQ(h.model->GetConnector(std::string("hand__conn_weapon")), hand);  // the same object survives
}
