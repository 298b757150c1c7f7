// The sample characters drawn on the OpenGL back-end (Mesa's software rasteriser where there is no
// GPU): skinned vertices land where the library's own node matrices put them, and small frames match
// stored pictures within a tolerance. A failing picture is written, with a difference image, under
// <build>/bin/golden_failures/; ANIMATOR_UPDATE_GOLDEN=1 writes the stored pictures anew.
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include <assimp/cimport.h>
#include <gtest/gtest.h>

#include "animator/model/AnimatedMesh.h"
#include "animator/motion/AnimationController.h"
#include "animator/util/Log.h"
#include "host/Vfs.h"
#include "refhost/Frame.h"
#include "refhost/LiveryManager.h"
#include "refhost/gl/GlBackend.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

constexpr int kSize = 256;
const osg::Vec4f kClear(0.0f, 0.0f, 0.0f, 1.0f);
// A pixel differs when one of its channels is off by more than this; a picture matches when at most
// kMaxDiffering of its pixels differ and the mean difference of all channels stays under kMaxMean.
constexpr int kPixelTolerance = 40;
constexpr double kMaxDiffering = 0.005;
constexpr double kMaxMean = 1.5;

class Placed : public Graphics::ModelInstance {
public:
    Placed(std::unique_ptr<model::ModelCookie> c, const osg::Matrixf& m)
        : cookie(std::move(c)), character(static_cast<CharacterModelCookie*>(cookie.get())), matrix(m) {}
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return matrix; }
    std::unique_ptr<model::ModelCookie> cookie;
    CharacterModelCookie* character;
    osg::Matrixf matrix;
};

class CharacterGl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::biped_model();  // mounts the sample data
        render::GlBackend::Options options;
        options.width = options.height = kSize;
        gl = render::GlBackend::create(options);
        if (!gl) return;
        shaders = std::make_unique<test::ScopedMount>(std::string(ANIMATOR_SOURCE_DIR) + "/refhost/shaders", "/shaders/");
        render::set_backend(gl);
        test::LogCapture quiet;
        test::biped_manager().release_gpu_animations();  // made again on this back-end
        model = orn::ref_ptr<CharacterModelStatic>(new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        refhost::LiveryManager::reference().add_livery(
            77, {{0, "/models/biped/biped_diffuse_red.png", "/models/biped/biped_diffuse_red.png"}});
    }
    static void TearDownTestSuite() {
        if (gl) {
            render::set_backend(gl);
            model = orn::ref_ptr<CharacterModelStatic>();
            test::biped_manager().release_gpu_animations();
        }
        render::set_backend(test::biped_backend());
        gl.reset();
        shaders.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(gl) << "no OpenGL 4.5 context: the GL back-end failed where Mesa is installed";
        render::set_backend(gl);
    }
    void TearDown() override {
        placed.clear();
        render::set_backend(test::biped_backend());
    }

    Placed& place(const osg::Vec3f& at, float heading, bool walking, unsigned livery = 0xFFFFFFFFu) {
        placed.push_back(std::make_unique<Placed>(model->createCookie(),
                                                  osg::Matrixf::rotate(heading, osg::Vec3f(0, -1, 0)) *
                                                      osg::Matrixf::translate(at)));
        Placed& p = *placed.back();
        p.character->set_extern_pos_update(true);
        if (livery != 0xFFFFFFFFu) p.character->setLiveryHandle(livery);
        AnimationController controller(p.character);
        controller.change_animation_state(0.0f, "Idle", true);
        if (walking) controller.move(0.0f, heading, 1.5f, heading, 100.0f);
        return p;
    }
    std::vector<uint8_t> draw(const Graphics::Camera& camera, bool flat_shadow, double t) {
        clock.set(t);
        std::vector<refhost::Frame::Item> items;
        for (auto& p : placed) items.push_back({model.get(), p.get()});
        refhost::Frame::Options options;
        options.shadow = true;
        options.flat_shadow = flat_shadow;
        options.clear_colour = kClear;
        test::LogCapture log;
        host.draw(items, camera, camera, t, options);
        gl->finish();
        EXPECT_EQ(log.count_tagged("RENDER", 8), 0u) << log.dump();
        return gl->read_colour();
    }
    static Graphics::Camera camera_at(const osg::Vec3d& eye, const osg::Vec3d& centre, double fovy = 40.0) {
        return refhost::Frame::look_at(eye, centre, fovy, 1.0, 0.1, 300.0);
    }
    void expect_matches_golden(const std::vector<uint8_t>& image, const std::string& name);

    static std::shared_ptr<render::GlBackend> gl;
    static std::unique_ptr<test::ScopedMount> shaders;
    static orn::ref_ptr<CharacterModelStatic> model;
    static uint64_t first_frame;
    refhost::Frame host{first_frame += 1000};
    test::ManualClock clock{0.0};
    std::vector<std::unique_ptr<Placed>> placed;
};

std::shared_ptr<render::GlBackend> CharacterGl::gl;
std::unique_ptr<test::ScopedMount> CharacterGl::shaders;
orn::ref_ptr<CharacterModelStatic> CharacterGl::model;
uint64_t CharacterGl::first_frame = 0;

bool background(const std::vector<uint8_t>& image, int x, int y) {
    if (x < 0 || y < 0 || x >= kSize || y >= kSize) return true;
    const uint8_t* p = &image[(size_t(y) * kSize + x) * 4];
    return p[0] == 0 && p[1] == 0 && p[2] == 0;
}

void CharacterGl::expect_matches_golden(const std::vector<uint8_t>& image, const std::string& name) {
    const std::string golden = std::string(ANIMATOR_SOURCE_DIR) + "/tests/model/golden/" + name;
    if (std::getenv("ANIMATOR_UPDATE_GOLDEN")) {
        ASSERT_TRUE(stbi_write_png(golden.c_str(), kSize, kSize, 4, image.data(), kSize * 4));
        return;
    }
    int w = 0, h = 0, channels = 0;
    stbi_uc* stored = stbi_load(golden.c_str(), &w, &h, &channels, 4);
    ASSERT_NE(stored, nullptr) << "no stored picture " << golden;
    ASSERT_EQ(w, kSize);
    ASSERT_EQ(h, kSize);
    std::vector<uint8_t> diff(image.size(), 255);
    size_t differing = 0;
    double sum = 0.0;
    for (size_t i = 0; i < size_t(kSize) * kSize; ++i) {
        int worst = 0;
        for (int k = 0; k < 3; ++k) {
            const int d = std::abs(int(image[i * 4 + k]) - int(stored[i * 4 + k]));
            worst = std::max(worst, d);
            sum += d;
            diff[i * 4 + k] = static_cast<uint8_t>(std::min(255, d * 4));
        }
        if (worst > kPixelTolerance) ++differing;
    }
    stbi_image_free(stored);
    const double share = double(differing) / (double(kSize) * kSize);
    const double mean = sum / (double(kSize) * kSize * 3);
    const bool ok = share <= kMaxDiffering && mean <= kMaxMean;
    EXPECT_TRUE(ok) << name << ": " << share * 100 << "% of pixels differ, mean difference " << mean;
    if (!ok) {
        const std::string dir = std::string(ANIMATOR_BIN_DIR) + "/golden_failures";
        std::filesystem::create_directories(dir);
        stbi_write_png((dir + "/" + name).c_str(), kSize, kSize, 4, image.data(), kSize * 4);
        stbi_write_png((dir + "/diff_" + name).c_str(), kSize, kSize, 4, diff.data(), kSize * 4);
        ADD_FAILURE() << "written " << dir << "/" << name << " and diff_" << name;
    }
}

TEST_F(CharacterGl, SkinnedVerticesLandWhereTheLibrarysNodeMatricesPutThem) {
    Placed& p = place(osg::Vec3f(0, 0, 0), 0.0f, true);
    const float t = 1.3f;
    const Graphics::Camera camera = camera_at(osg::Vec3d(0.5, 1.2, -3.2), osg::Vec3d(0, 0.9, 0));
    const std::vector<uint8_t> image = draw(camera, false, t);

    // The CPU skinning of every vertex of the level-0 body, from the library's node matrices.
    std::vector<char> bytes;
    ASSERT_TRUE(ornvfs::read_file("/models/biped/biped_body.assbin", bytes));
    const ScenePtr scene = import_scene_from_memory(bytes.data(), bytes.size(), "biped_body.assbin");
    ASSERT_NE(scene, nullptr);
    const aiMesh* mesh = scene->mMeshes[0];
    std::vector<AnimatedMesh::SkinRecord> skin;
    ASSERT_TRUE(AnimatedMesh::build_skin_records(mesh, skin));
    AnimationManager& lib = *model->get_animation_manager();
    std::vector<osg::Matrixf> nodes(size_t(lib.get_num_nodes()));
    ASSERT_TRUE(lib.get_model_transforms(t, p.character, nodes.data()));
    const osg::Matrixf to_clip = p.matrix * camera.view * camera.projection;

    int min_x = kSize, min_y = kSize, max_x = -1, max_y = -1, missed = 0;
    for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
        osg::Vec3f model_space(0, 0, 0);
        for (int k = 0; k < 4; ++k) {
            const float w = skin[v].weights[k];
            if (w == 0.0f) continue;
            const unsigned bone = (skin[v].indices >> (8 * (3 - k))) & 0xFFu;
            const aiVector3D in_bone = mesh->mBones[bone]->mOffsetMatrix * mesh->mVertices[v];
            const int node = lib.get_node_id(mesh->mBones[bone]->mName.C_Str());
            model_space += osg::Vec3f(in_bone.x, in_bone.y, in_bone.z) * nodes[size_t(node)] * w;
        }
        const osg::Vec4f clip = osg::Vec4f(model_space, 1.0f) * to_clip;
        const float sx = (clip.x() / clip.w() * 0.5f + 0.5f) * kSize;
        const float sy = (1.0f - (clip.y() / clip.w() * 0.5f + 0.5f)) * kSize;
        min_x = std::min(min_x, int(std::floor(sx)));
        max_x = std::max(max_x, int(std::floor(sx)));
        min_y = std::min(min_y, int(std::floor(sy)));
        max_y = std::max(max_y, int(std::floor(sy)));
        bool covered = false;
        for (int dy = -1; dy <= 1 && !covered; ++dy)
            for (int dx = -1; dx <= 1 && !covered; ++dx) covered = !background(image, int(sx) + dx, int(sy) + dy);
        if (!covered) ++missed;
    }
    EXPECT_EQ(missed, 0) << "skinned vertices whose screen position shows no character";
    ASSERT_GT(max_x, min_x + 20) << "the character fills a good part of the frame";

    // The drawn silhouette spans the same box as the projected vertices.
    int img_min_x = kSize, img_min_y = kSize, img_max_x = -1, img_max_y = -1;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            if (!background(image, x, y)) {
                img_min_x = std::min(img_min_x, x);
                img_max_x = std::max(img_max_x, x);
                img_min_y = std::min(img_min_y, y);
                img_max_y = std::max(img_max_y, y);
            }
    EXPECT_NEAR(img_min_x, min_x, 2);
    EXPECT_NEAR(img_max_x, max_x, 2);
    EXPECT_NEAR(img_min_y, min_y, 2);
    EXPECT_NEAR(img_max_y, max_y, 2);
}

TEST_F(CharacterGl, PicturesOfWalkLiveriesFlatShadowsAndLevels) {
    struct Case {
        const char* name;
        std::vector<osg::Vec3f> where;
        bool flat_shadow;
        osg::Vec3d eye, centre;
        double fovy;
    };
    const Case cases[] = {
        // Mid-walk in both liveries, with flat shadows on the ground.
        {"walk_liveries_flat_shadow.png", {{-0.6f, 0, 0}, {0.6f, 0, 0.8f}}, true, {1.5, 2.5, -3.5}, {0, 0.8, 0.4}, 45},
        // One character at level 0 and one beyond 25 m at level 1, on a long lens.
        {"levels_of_detail.png", {{-0.5f, 0, 20}, {0.5f, 0, 28}}, false, {0, 1.0, 0}, {0, 0.9, 24}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        placed.clear();
        for (size_t i = 0; i < c.where.size(); ++i)
            place(c.where[i], i == 0 ? 0.4f : -0.5f, true, i == 1 ? 77u : 0xFFFFFFFFu);
        const std::vector<uint8_t> image = draw(camera_at(c.eye, c.centre, c.fovy), c.flat_shadow, 1.3);
        expect_matches_golden(image, c.name);
    }
    const auto& lods = model->get_lods();
    EXPECT_EQ(lods[0].instance_count, 1);
    EXPECT_EQ(lods[1].instance_count, 1);
}

}  // namespace
