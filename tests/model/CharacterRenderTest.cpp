// Meshes of the sample model and the per-frame rendering of its characters on the recording
// back-end: batches per pass, levels of detail, draws per pass and level, buffer growth, motion
// matrices across frames, the end-of-frame callback and the slot warning.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <assimp/material.h>
#include <gtest/gtest.h>

#include "animator/library/AnimationManager.h"
#include "animator/model/AnimatedMesh.h"
#include "animator/model/AnimatorBatchRenderObject.h"
#include "animator/model/StaticMesh.h"
#include "animator/motion/AnimationController.h"
#include "refhost/FlatTerrain.h"
#include "refhost/Frame.h"
#include "refhost/LiveryManager.h"
#include "tests/instance/TestModel.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/SampleScene.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

using Placed = test::PlacedCharacter;

class CharacterRender : public test::SampleScene {
protected:
    void SetUp() override {
        SampleScene::SetUp();
        CharacterModelBase::_shadow_enabled = true;
    }
    void TearDown() override {
        CharacterModelBase::_shadow_enabled = true;
        CharacterModelBase::_statistics_enabled = false;
    }

    // Draw calls of a frame by technique name, with their instance counts.
    std::vector<std::pair<std::string, uint32_t>> draws() {
        std::vector<std::pair<std::string, uint32_t>> out;
        std::string technique;
        for (const auto& c : backend->commands()) {
            if (c.type == render::Command::BeginTechnique) technique = c.name;
            if (c.type == render::Command::DrawIndexedInstanced) out.emplace_back(technique, c.y);
        }
        return out;
    }
};

TEST_F(CharacterRender, EveryLevelHasTheSkinnedBodyWithItsStreamsTechniquesAndNodes) {
    const auto& lods = model->get_lods();
    ASSERT_EQ(lods.size(), 2u);
    for (size_t l = 0; l < lods.size(); ++l) {
        ASSERT_EQ(lods[l].meshes.size(), 1u) << "the bounds mesh is not drawn; level " << l;
        auto* mesh = dynamic_cast<AnimatedMesh*>(lods[l].meshes[0].get());
        ASSERT_NE(mesh, nullptr);
        for (int s = 0; s < AnimatorMeshBase::num_streams; ++s) EXPECT_EQ(mesh->get_stream(s).index, s);
        ASSERT_TRUE(mesh->get_index_buffer());
        EXPECT_EQ(mesh->get_index_buffer()->capacity(), mesh->get_num_faces() * 3);
        const char* expected[4] = {"Deferred", "Forward", "Shadow", "FlatShadow"};
        for (int p = 0; p < 4; ++p) EXPECT_EQ(backend->technique_name(mesh->get_technique(p)), expected[p]);
        for (int32_t node : mesh->get_node_ids()) EXPECT_GE(node, 0);
        EXPECT_EQ(mesh->get_bone_nodes()->capacity(), mesh->get_node_ids().size());
        for (const auto& r : mesh->get_skin_records()) {
            const float sum = r.weights[0] + r.weights[1] + r.weights[2] + r.weights[3];
            EXPECT_NEAR(sum, 1.0f, 1e-3f);
        }
        EXPECT_EQ(mesh->get_channel(0).name, "/models/biped/biped_diffuse.png");
    }
    EXPECT_LT(lods[1].meshes[0]->get_num_faces(), lods[0].meshes[0]->get_num_faces());
}

TEST(SkinRecords, FirstFourWeightsKeptSlotZeroInTheTopByteTooManyBonesRefused) {
    aiMesh mesh;
    mesh.mNumVertices = 2;
    mesh.mName = aiString("five");
    std::vector<aiBone*> bones;
    for (unsigned b = 0; b < 5; ++b) {
        auto* bone = new aiBone;
        bone->mNumWeights = 1;
        bone->mWeights = new aiVertexWeight[1]{aiVertexWeight(b == 3 ? 1 : 0, 0.1f * (b + 1))};
        bones.push_back(bone);
    }
    mesh.mNumBones = 5;
    mesh.mBones = new aiBone*[5]{bones[0], bones[1], bones[2], bones[3], bones[4]};
    std::vector<AnimatedMesh::SkinRecord> records;
    ASSERT_TRUE(AnimatedMesh::build_skin_records(&mesh, records));
    ASSERT_EQ(records.size(), 2u);
    // Vertex 0: bones 0, 1, 2, 4 (the fifth influence would be none here: bone 3 went to vertex 1).
    EXPECT_FLOAT_EQ(records[0].weights[0], 0.1f);
    EXPECT_FLOAT_EQ(records[0].weights[3], 0.5f);
    EXPECT_EQ(records[0].indices, 0x00010204u);
    EXPECT_EQ(records[1].indices, 0x03000000u) << "bone 3 in slot 0 sits in the top byte";

    // A fifth influence on one vertex is dropped.
    bones[3]->mWeights[0].mVertexId = 0;
    ASSERT_TRUE(AnimatedMesh::build_skin_records(&mesh, records));
    EXPECT_EQ(records[0].indices, 0x00010203u);
    EXPECT_FLOAT_EQ(records[0].weights[3], 0.4f);

    mesh.mNumBones = 257;  // more than a byte indexes (the bone list itself is not read)
    test::LogCapture log;
    EXPECT_FALSE(AnimatedMesh::build_skin_records(&mesh, records));
    EXPECT_TRUE(log.has(8, "at most 256")) << log.dump();
    mesh.mNumBones = 5;
}

TEST_F(CharacterRender, PassesMakeOneBatchEachAndDrawEveryLevelWithItsTechnique) {
    place({0, 0, 10});   // level 0
    place({0, 0, 50});   // level 1
    place({0, 0, 300});  // beyond the last level: not drawn
    // Seen from the light, 50 m and more away, both are at level 1 in the shadow pass.
    const auto counts = frame();
    EXPECT_EQ(host.queue(refhost::Frame::MAIN).objects().size(), 1u);
    EXPECT_EQ(host.queue(refhost::Frame::SHADOW).objects().size(), 1u);
    EXPECT_EQ(host.queue(refhost::Frame::FLAT_SHADOW).objects().size(), 1u);
    EXPECT_EQ(counts.drawn[0], 1u);
    const auto d = draws();
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"Shadow", 2}, {"FlatShadow", 1}, {"FlatShadow", 1}, {"Deferred", 1}, {"Deferred", 1}};
    EXPECT_EQ(d, expected);
    // One compute pass per drawn level.
    EXPECT_EQ(backend->count(render::Command::Dispatch), 2u * 5u);
    // Flat shadows: the ground point under each instance and the up normal.
    const auto& state = model->get_render_state();
    const auto& record = state.flat_shadows[placed[1]->cookie->get_id()];
    EXPECT_FLOAT_EQ(record[2], 50.0f);
    EXPECT_FLOAT_EQ(record[4], 1.0f);
    // The end-of-frame event emptied every list.
    for (const auto& b : state.batches) {
        EXPECT_TRUE(b.second._total_indices.empty());
        EXPECT_EQ(b.second.total_instances, 2);
    }
}

TEST_F(CharacterRender, SamePassTwiceReusesItsBatchAndRenderObject) {
    Placed& a = place({0, 0, 5});
    Graphics::Context context;
    context.frame_number = 1;  // before every frame of the fixture's hosts
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);
    refhost::PassQueue queue(7, "Q");
    for (int i = 0; i < 2; ++i) model->render(a, queue, wPosition3<float>());
    EXPECT_EQ(queue.objects().size(), 1u);
    const auto& batch = model->get_render_state().batches.at(7);
    EXPECT_EQ(batch.name, "7Q");
    EXPECT_EQ(batch.lod_indices[0].size(), 2u);
    auto* object = dynamic_cast<AnimatorBatchRenderObject*>(queue.objects()[0]);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->get_first_id(), a.cookie->get_id());
    EXPECT_FLOAT_EQ(object->getRadius(), model->GetRadius());
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
}

TEST_F(CharacterRender, LevelsFollowTheHostDistanceFactors) {
    place({0, 0, 20});
    Graphics::SetDistanceFactors(2.0f, 0.0f);  // 40 m: level 1
    frame({false, false});
    EXPECT_EQ(model->get_lods()[1].instance_count, 1);
    Graphics::SetDistanceFactors(1.0f, 100.0f);  // 120 m: dropped
    frame({false, false});
    EXPECT_TRUE(draws().empty());
    Graphics::SetDistanceFactors(1.0f, 0.0f);
}

TEST_F(CharacterRender, DisabledShadowsDrawNoShadowPassButTheMainPass) {
    place({0, 0, 5});
    CharacterModelBase::_shadow_enabled = false;
    frame();
    const auto d = draws();
    for (const auto& draw : d) EXPECT_NE(draw.first, "Shadow");
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back().first, "Deferred");
}

TEST_F(CharacterRender, BuffersGrowWithTheInstancesAndNeverShrink) {
    place({0, 0, 5});
    frame({false, false});
    const auto& state = model->get_render_state();
    const uint32_t first = state.positions->capacity();
    EXPECT_EQ(first, model->get_per_instance_data().size());
    for (int i = 0; i < 40; ++i) place({float(i % 5), 0, 5});
    frame({false, false});
    const uint32_t grown = state.positions->capacity();
    EXPECT_GE(grown, 41u);
    EXPECT_EQ(grown, std::max<uint32_t>(first, uint32_t(model->get_per_instance_data().size())));
    EXPECT_GE(state.model_transforms->capacity(),
              grown * uint32_t(model->get_animation_manager()->get_num_nodes()));
    placed.resize(1);
    frame({false, false});
    EXPECT_EQ(state.positions->capacity(), grown) << "buffers never shrink";
    EXPECT_EQ(draws().size(), 1u);
    EXPECT_EQ(draws()[0].second, 1u);
}

TEST_F(CharacterRender, MotionMatrixTakesThisFramesPointBackToTheLastFrames) {
    Placed& a = place({0, 0, 5});
    const int id = a.cookie->get_id();
    frame({false, false});
    const auto& state = model->get_render_state();
    // First frame drawn: the context's previous-frame origin transform (identity here).
    EXPECT_TRUE(state.motion[id].upload.isIdentity());
    a.where = {1, 0, 5};
    frame({false, false});
    osg::Matrixf upload;
    upload.transpose(state.motion[id].upload);
    const osg::Vec3f back = osg::Vec3f(1, 1, 5) * upload;
    EXPECT_NEAR((back - osg::Vec3f(0, 1, 5)).length(), 0.0f, 1e-5f);
    // A frame without the instance breaks the chain.
    auto kept = std::move(placed);
    frame({false, false});
    placed = std::move(kept);
    frame({false, false});
    EXPECT_TRUE(state.motion[id].upload.isIdentity());
}

TEST_F(CharacterRender, AQueueOfKindSixteenIsTheFlatShadowPassWhateverThePassType) {
    Placed& a = place({0, 0, 20});
    const int id = a.cookie->get_id();
    CharacterModelBase::_statistics_enabled = true;
    Graphics::Context context;
    context.frame_number = 4;
    context.pass_type = 0;  // filled and drawn during the main pass
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);
    // A queue of kind 16 gathers flat shadows in whatever pass it is filled.
    refhost::PassQueue queue(12, "KindQueue", 16);
    const osg::Matrixf at = a.getMatrix();
    model->render(a, queue, *reinterpret_cast<const wPosition3<float>*>(at.ptr()));
    const auto& state = model->get_render_state();
    EXPECT_EQ(state.batches.count(12), 0u);
    ASSERT_EQ(state.batches.count(1), 1u) << "flat shadows have key 1";
    EXPECT_EQ(state.batches.at(1)._total_indices, std::vector<int32_t>{id});
    EXPECT_FLOAT_EQ(state.flat_shadows[id][2], 20.0f) << "the ground point under the instance";
    EXPECT_FLOAT_EQ(state.flat_shadows[id][4], 1.0f);
    EXPECT_EQ(state.flat_shadow_instances, 1);
    EXPECT_EQ(state.main_instances, 0) << "not a main-pass instance";
    ASSERT_EQ(queue.objects().size(), 1u);
    backend->clear();
    queue.objects()[0]->draw(Graphics::Context::getCurrentContext());
    const std::vector<std::pair<std::string, uint32_t>> expected = {{"FlatShadow", 1}};
    EXPECT_EQ(draws(), expected);
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
}

TEST_F(CharacterRender, MoreInstancesThanSlotsIsWarnedAndLeftOutOfTheTotal) {
    Placed& a = place({0, 0, 5});
    Graphics::Context context;
    context.frame_number = 2;
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);
    refhost::PassQueue queue(9, "Q");
    const size_t slots = model->get_per_instance_data().size();
    test::LogCapture log;
    for (size_t i = 0; i <= slots; ++i) model->render(a, queue, wPosition3<float>());
    EXPECT_EQ(log.count(16, "_total_indices.size() > _model->_per_instance_data.size()"), 1u);
    const auto& batch = model->get_render_state().batches.at(9);
    EXPECT_EQ(batch._total_indices.size(), slots);
    EXPECT_EQ(batch.lod_indices[0].size(), slots + 1);
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
}

}  // namespace

namespace {

// A one-triangle mesh without bones whose material has only a diffuse texture.
struct TriangleScene {
    aiScene scene;
    TriangleScene() {
        auto* mesh = new aiMesh;
        mesh->mNumVertices = 3;
        mesh->mVertices = new aiVector3D[3]{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        mesh->mNumFaces = 1;
        mesh->mFaces = new aiFace[1];
        mesh->mFaces[0].mNumIndices = 3;
        mesh->mFaces[0].mIndices = new unsigned[3]{0, 1, 2};
        scene.mNumMeshes = 1;
        scene.mMeshes = new aiMesh*[1]{mesh};
        auto* material = new aiMaterial;
        const aiString diffuse("d.png");
        material->AddProperty(&diffuse, AI_MATKEY_TEXTURE_DIFFUSE(0));
        scene.mNumMaterials = 1;
        scene.mMaterials = new aiMaterial*[1]{material};
    }
};

TEST(MeshLoading, MissingTexturesAreLoggedAndTheMeshStillDrawsWithTheTechniqueOfItsMode) {
    CharacterModelStatic* model = test::biped_model();
    auto backend = test::biped_backend();
    render::set_backend(backend);
    TriangleScene triangle;
    StaticMesh mesh(nullptr);
    test::LogCapture log;
    render::ShaderPtr shader = render::RenderAPI::openShader("animator/gpu_animated_model.fx", {});
    ASSERT_TRUE(mesh.load(&triangle.scene, 0, shader, "/textures/"));
    EXPECT_TRUE(log.has(8, "no aiTextureType_NORMALS texture found in file")) << log.dump();
    EXPECT_TRUE(log.has(8, "no aiTextureType_SPECULAR texture found in file"));
    EXPECT_EQ(mesh.get_channel(0).name, "/textures/d.png");
    EXPECT_EQ(mesh.get_stream(1).index, -1) << "no normals in the mesh";

    // Modes: 0 selects the main technique, 7 keeps it for a rigid mesh, 15 draws with it too.
    const AnimatorMeshBase::DrawBuffers buffers;
    std::vector<std::string> techniques;
    for (int mode : {0, 7, 15, 2, 9}) {
        backend->clear();
        mesh.draw(buffers, 3, mode);
        ASSERT_EQ(backend->count(render::Command::DrawIndexedInstanced), 1u) << "mode " << mode;
        techniques.push_back(backend->commands(render::Command::BeginTechnique).at(0).name);
    }
    const std::vector<std::string> expected = {"StaticModel", "StaticModel", "StaticModel", "FlatShadowStatic",
                                               "StaticForward"};
    EXPECT_EQ(techniques, expected);

    // A skinned mesh draws nothing in mode 15, and binds no surface streams in the shadow pass.
    const auto& skinned = model->get_lods()[0].meshes[0];
    backend->clear();
    skinned->draw(buffers, 2, 15);
    EXPECT_EQ(backend->count(render::Command::DrawIndexedInstanced), 0u);
    skinned->draw(buffers, 2, 1);
    std::vector<std::string> streams;
    for (const auto& c : backend->commands(render::Command::BindVertexBuffer)) streams.push_back(c.name);
    EXPECT_EQ(streams.size(), 3u);
    EXPECT_EQ(std::count(streams.begin(), streams.end(), "NORMAL0"), 0);

    // A texture array that can not be opened keeps the livery's channel as it was.
    backend->set_texture_arrays_available(false);
    log.clear();
    mesh.add_livery_texture(0, "/textures/other.png");
    backend->set_texture_arrays_available(true);
    EXPECT_TRUE(log.has(16, "TextureArray::open() returned false, may be in dedicated server mode"));
}

// Texture paths whose stored string does not match its property (an assimp-binary file declares both)
// are logged and left out; assimp's own getter would stop the process on them.
TEST(MeshLoading, MalformedTexturePathsAreLoggedAndLeftOut) {
    auto backend = test::biped_backend();
    render::set_backend(backend);
    struct Case {
        const char* what;
        std::vector<char> data;
        uint32_t type;  // as a file stores it
    };
    const auto string_data = [](uint32_t length, const std::string& text) {
        std::vector<char> data(4 + text.size());
        std::memcpy(data.data(), &length, 4);
        std::memcpy(data.data() + 4, text.data(), text.size());
        return data;
    };
    const Case cases[] = {
        {"length past the property", string_data(200, std::string("d.png", 6)), aiPTI_String},
        {"length short of the property", string_data(2, std::string("d.png", 6)), aiPTI_String},
        {"no terminator", string_data(5, "d.pngX"), aiPTI_String},
        {"no room for a length", {'d', 0}, aiPTI_String},
        {"not a string", string_data(1, std::string("d", 2)), aiPTI_Integer},
        {"no type at all", string_data(1, std::string("d", 2)), 0xfd00ff03u},
    };
    for (const Case& c : cases) {
        TriangleScene triangle;
        delete triangle.scene.mMaterials[0];
        auto* material = new aiMaterial;
        triangle.scene.mMaterials[0] = material;
        material->AddBinaryProperty(c.data.data(), static_cast<unsigned>(c.data.size()), _AI_MATKEY_TEXTURE_BASE,
                                    aiTextureType_DIFFUSE, 0, aiPTI_String);
        std::memcpy(&material->mProperties[0]->mType, &c.type, sizeof(c.type));
        StaticMesh mesh(nullptr);
        test::LogCapture log;
        ASSERT_TRUE(mesh.load(&triangle.scene, 0, render::ShaderPtr(), "/textures/")) << c.what;
        EXPECT_TRUE(log.has(8, "malformed aiTextureType_DIFFUSE texture path in file")) << c.what << log.dump();
        EXPECT_TRUE(mesh.get_channel(0).name.empty()) << c.what;
        EXPECT_TRUE(mesh.get_texture_names().empty()) << c.what;
    }
}

}  // namespace

namespace {

class NoTerrain : public ornterrain::ITerrain {
public:
    bool getSurface(const osg::Vec3d&, osg::Vec3f&, osg::Vec3f&) const override { return false; }
};

TEST_F(CharacterRender, WithoutLevelsEveryDistanceIsLevelZero) {
    test::ModelHarness h("model = 'biped/biped_body.assbin'\nmodel_path = '/models/biped/'\nskeleton = 'biped'\n",
                         "no_levels.chanimgpu");
    ASSERT_EQ(h.model->get_lods().size(), 1u);
    ASSERT_EQ(h.model->get_lods()[0].meshes.size(), 1u);
    auto far_away = std::make_unique<Placed>(h.cookie(), osg::Vec3f(0, 0, 5000));
    Graphics::Context context;
    context.frame_number = 3;
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);
    refhost::PassQueue queue(11, "Q");
    h.model->render(*far_away, queue, wPosition3<float>());
    osg::Matrixf m = osg::Matrixf::translate(0, 0, 5000);
    h.model->render(*far_away, queue, *reinterpret_cast<const wPosition3<float>*>(m.ptr()));
    EXPECT_EQ(h.model->get_render_state().batches.at(11).lod_indices[0].size(), 2u);
    Graphics::raiseRendererEvent(8);
    Graphics::frameHeapReset();
    far_away.reset();
    render::set_backend(backend);
}

TEST_F(CharacterRender, RootCorrectionMovesTheDrawnPlacementByTheRootMotion) {
    Placed& a = place({0, 0, 5});
    a.cookie->set_extern_pos_update(false);
    AnimationController controller(a.cookie.get());
    controller.change_animation_state(0.0f, "Idle", true);
    controller.move(0.0f, 0.0f, 1.5f, 0.0f, 100.0f);
    clock.set(2.0);
    frame({false, false});
    const auto expected = model->get_animation_manager()->get_instance_matrix(2.0f, a.cookie.get());
    const osg::Matrixf drawn = model->get_render_state().world_matrices[a.cookie->get_id()];
    const osg::Matrixf wanted = std::get<0>(expected) * osg::Matrixf::translate(0, 0, 5);
    ASSERT_GT(std::get<0>(expected).getTrans().length(), 0.1f) << "the walk has moved the root";
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(drawn.ptr()[i], wanted.ptr()[i], 1e-4f) << i;
}

TEST_F(CharacterRender, FlatShadowRecordIsZeroWithoutTerrainUnderTheInstance) {
    Placed& a = place({0, 0, 5});
    NoTerrain none;
    refhost::set_default_terrain(&none);
    frame({false, true});
    refhost::set_default_terrain(nullptr);
    const auto& record = model->get_render_state().flat_shadows[a.cookie->get_id()];
    for (float f : record) EXPECT_EQ(f, 0.0f);
    EXPECT_EQ(model->get_render_state().batches.count(1), 1u) << "the flat-shadow pass has key 1";
}

}  // namespace

namespace {

TEST_F(CharacterRender, LiveriesAreLayersOfEveryMeshAndStayTheirsAfterAReload) {
    test::ModelHarness h("model = 'biped/biped_body.assbin'\nmodel_path = '/models/biped/'\nskeleton = 'biped'\n",
                         "liveries.chanimgpu");
    auto& liveries = refhost::LiveryManager::reference();
    liveries.add_livery(91u, {{0, "/models/biped/biped_diffuse_red.png", "red"}});
    liveries.add_livery(92u, {{0, "/models/biped/biped_diffuse.png", "blue"}, {2, "/models/biped/biped_rm.png", "rm"}});
    EXPECT_EQ(h.model->get_livery_index(91u), osg::Vec3i(1, 0, 0));
    EXPECT_EQ(h.model->get_livery_index(92u), osg::Vec3i(2, 0, 1));
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass ? "reloaded" : "loaded");
        const auto& mesh = h.model->get_lods()[0].meshes.at(0);
        ASSERT_TRUE(mesh->get_channel(0).texture);
        EXPECT_EQ(mesh->get_channel(0).texture->names(),
                  std::vector<std::string>({"/models/biped/biped_diffuse.png", "/models/biped/biped_diffuse_red.png",
                                            "/models/biped/biped_diffuse.png"}));
        EXPECT_EQ(mesh->get_channel(2).texture->layers(), 2);
        EXPECT_EQ(mesh->get_channel(1).texture->layers(), 1);
        if (pass == 0) h.model->reload();
    }
    EXPECT_EQ(h.model->get_livery_index(92u), osg::Vec3i(2, 0, 1));
    liveries.remove_livery(91u);
    liveries.remove_livery(92u);
    render::set_backend(backend);
}

}  // namespace
