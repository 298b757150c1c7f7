// Character model configuration: both load stages, levels of detail, substitutes, bounds, liveries,
// state and transition tables, connectors, and the failures that leave a usable model.
#include <gtest/gtest.h>

#include <cfloat>

#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelConnector.h"
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

// Levels of detail are sorted by distance and the first one far enough is chosen; without any, one
// level holds everything. Reloading reads levels and substitutes again, without doubling them.
TEST(ModelLoad, LevelsOfDetailAndSubstitutes) {
    {
        ModelHarness h("skeleton = 'none'\n");
        ASSERT_EQ(h.model->get_lods().size(), 1u);
        EXPECT_EQ(h.model->get_lods()[0].distance, FLT_MAX);
        EXPECT_EQ(h.model->_get_lod(1e30f), 0);
    }
    ModelHarness h("skeleton = 'none'\nlods = { {'far.obj', 50}, {'near.obj', 10}, {'farthest.obj', 200} }\n"
                   "substitute_meshes = { helmet = 'helmet_b.obj', [3] = 'x' }\n");
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass ? "reloaded" : "loaded");
        const auto& lods = h.model->get_lods();
        ASSERT_EQ(lods.size(), 3u);
        EXPECT_EQ(std::vector<float>({lods[0].distance, lods[1].distance, lods[2].distance}),
                  std::vector<float>({10, 50, 200}));
        EXPECT_EQ(lods[1].file, "far.obj");
        ASSERT_EQ(h.model->get_substitutes().size(), 2u);
        EXPECT_EQ(h.model->get_substitutes().at("helmet"), "helmet_b.obj");
        for (auto [distance, lod] : {std::pair{30.0f, 1}, {10.0f, 0}, {500.0f, -1}})
            EXPECT_EQ(h.model->_get_lod(distance), lod) << distance;
        if (pass == 0) h.model->reload();
    }
    // Level 0 is the model's own scene: its file is never read; the others are.
    EXPECT_FALSE(h.log.has("can not read '/models/near.obj'"));
    EXPECT_EQ(h.log.count(8, "can not read '/models/far.obj'"), 2u);
    EXPECT_EQ(h.log.count(8, "can not read '/models/farthest.obj'"), 2u);
}

TEST(ModelLoad, StagesBoundsShaderAndTables) {
    ModelHarness h(kTables, "tables.chanimgpu", {}, false);
    EXPECT_EQ(h.model->getLoadState(), model::LS_LOADING);
    h.model->load_async();
    EXPECT_EQ(h.model->getLoadState(), model::LS_LOADED);
    const osg::BoundingBox box = h.model->getBoundingBox();
    EXPECT_EQ(box._min, osg::Vec3f(-1, 0, -2));
    EXPECT_EQ(box._max, osg::Vec3f(1, 4, 2));
    EXPECT_EQ(h.model->GetCenter(), osg::Vec3f(0, 2, 0));
    EXPECT_FLOAT_EQ(h.model->GetRadius(), 3.0f);
    osg::Vec3f hit;
    EXPECT_TRUE(h.model->getIModelInterface()->intersectSegment(osg::Vec3f(-5, 1, 0), osg::Vec3f(5, 1, 0), hit));
    EXPECT_FLOAT_EQ(hit.x(), -1.0f);
    EXPECT_FALSE(h.model->getIModelInterface()->intersectSegment(osg::Vec3f(-5, 9, 0), osg::Vec3f(5, 9, 0), hit));

    // The main stage opens the drawing shader, sized for the skeleton (none here).
    auto shaders = h.backend->shaders();
    ASSERT_EQ(shaders.size(), 1u);
    EXPECT_EQ(shaders[0]->file(), "animator/gpu_animated_model.fx");
    EXPECT_EQ(shaders[0]->define("NUM_NODES"), "0");
    EXPECT_EQ(h.backend->variable_name(shaders[0]->getVariable("model_time")), "model_time");

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

TEST(ModelLoad, FailuresAreLoggedAndLeaveAUsableModel) {
    {
        ModelHarness h("this is not lua", "broken.chanimgpu");
        EXPECT_TRUE(h.log.has(8, "error loading /models/broken.chanimgpu"));
        EXPECT_EQ(h.model->getLoadState(), model::LS_LOADED);
        EXPECT_FALSE(h.model->getBoundingBox().valid());
        EXPECT_EQ(h.model->GetRadius(), 0.0f);
        EXPECT_EQ(h.cookie()->get_stack_size(), 1);
    }
    {
        ModelHarness h("skeleton = 'nobody'\nmodel = 'missing.assbin'\n", "nomesh.chanimgpu");
        EXPECT_TRUE(h.log.has(8, "can not read '/models/missing.assbin'"));
        EXPECT_EQ(h.model->get_animation_manager(), nullptr);
        EXPECT_EQ(h.model->getNumConnectors(), 0);
        EXPECT_EQ(h.cookie()->get_correction(1.0f).position(), osg::Vec3f(0, 0, 0));
    }
    ModelHarness h("skeleton = 'none'\nmodel = 'garbage.bin'\n", "garbage.chanimgpu",
                   {{"garbage.bin", "\x01\x02 definitely not a mesh"}});
    EXPECT_TRUE(h.log.has(8, "can not load scene from buffer '/models/garbage.bin'"));
    EXPECT_EQ(h.model->get_scene(), nullptr);
}

// A livery is registered once per handle; an unknown handle gives the default and is not kept.
TEST(ModelLiveries, RegisteredOncePerHandle) {
    ModelHarness h("skeleton = 'none'\n");
    auto& liveries = refhost::LiveryManager::reference();
    liveries.add_livery(77u, {{0, "red_body.dds", "body"}, {2, "red_mask.dds", "mask"}});
    liveries.add_livery(78u, {{0, "blue_body.dds", "body"}});
    for (unsigned handle : {0xFFFFFFFFu, 999u}) EXPECT_EQ(h.model->get_livery_index(handle), osg::Vec3i(0, 0, 0));
    EXPECT_EQ(h.model->get_num_liveries(), 1);
    const osg::Vec3i red(1, 0, 1);
    EXPECT_EQ(h.model->get_livery_index(77u), red);
    EXPECT_EQ(h.model->get_livery_index(77u), red);
    EXPECT_EQ(h.model->get_num_liveries(), 2);
    EXPECT_EQ(h.model->get_livery_index(78u), osg::Vec3i(2, 0, 0));
    EXPECT_EQ(h.model->get_num_liveries(), 3);

    auto c = h.cookie();
    c->setLiveryHandle(77u);
    EXPECT_EQ(c->get_instance_data().livery, red);
    EXPECT_EQ(h.model->get_per_instance_data()[c->get_id()].livery, red);
    liveries.remove_livery(77u);
    liveries.remove_livery(78u);
}

TEST(ModelConnectors, NamesThatMakeConnectors) {
    for (auto [name, is] : {std::pair{"biped_hand_R__conn_weapon", true}, {"__conn_", true}, {"x__conn_", true},
                            {"hand_conn_weapon", false}, {"_conn_x", false}, {"", false}})
        EXPECT_EQ(CharacterModelConnector::is_connector_name(name), is) << name;
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
    for (int index : {-1, 2}) EXPECT_EQ(h.model->GetConnector(index), nullptr) << index;
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
