// The sample characters drawn on the OpenGL back-end (Mesa's software rasteriser where there is no
// GPU): skinned vertices land where the library's own node matrices put them, the shadow map darkens
// the ground and other characters in the light's path, the motion target shows how far a character
// moved on screen since the last frame, and small frames match stored pictures within a tolerance.
// A failing picture is written, with a difference image, under <build>/bin/golden_failures/;
// ANIMATOR_UPDATE_GOLDEN=1 writes the stored pictures anew.
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
// The passes a picture is drawn with.
enum Look : int { FLAT_SHADOW = 1, SHADOW_MAP = 2, GROUND = 4 };
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
    // A frame of the placed characters with the passes of `look` (without the ground the background
    // is black), lit from `sun`.
    std::vector<uint8_t> draw(const Graphics::Camera& camera, int look, double t,
                              const osg::Vec3f& sun = refhost::Frame::SUN) {
        clock.set(t);
        std::vector<refhost::Frame::Item> items;
        for (auto& p : placed) items.push_back({model.get(), p.get()});
        refhost::Frame::Options options;
        options.shadow = (look & SHADOW_MAP) != 0;
        options.flat_shadow = (look & FLAT_SHADOW) != 0;
        options.ground = (look & GROUND) != 0;
        if (!options.ground) options.clear_colour = kClear;
        test::LogCapture log;
        host.draw(items, camera, refhost::Frame::directional_light(sun, camera, items), t, options);
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

struct Pixel {
    int x, y;  // from the top-left corner
};

// Where a world point lands: normalised device coordinates and the pixel.
osg::Vec2f to_ndc(const Graphics::Camera& camera, const osg::Vec3f& world) {
    const osg::Vec4f clip = osg::Vec4f(world, 1.0f) * camera.view * camera.projection;
    return osg::Vec2f(clip.x() / clip.w(), clip.y() / clip.w());
}
Pixel to_pixel(const Graphics::Camera& camera, const osg::Vec3f& world) {
    const osg::Vec2f ndc = to_ndc(camera, world);
    return Pixel{int((ndc.x() * 0.5f + 0.5f) * kSize), int((1.0f - (ndc.y() * 0.5f + 0.5f)) * kSize)};
}

// The mean of the red, green and blue of the 3 x 3 pixels around (x, y).
double brightness(const std::vector<uint8_t>& image, const Pixel& at) {
    double sum = 0.0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int x = std::clamp(at.x + dx, 0, kSize - 1), y = std::clamp(at.y + dy, 0, kSize - 1);
            for (int k = 0; k < 3; ++k) sum += image[(size_t(y) * kSize + x) * 4 + k];
        }
    return sum / 27.0;
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
    const std::vector<uint8_t> image = draw(camera, SHADOW_MAP, t);

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
        int look;
        osg::Vec3d eye, centre;
        double fovy;
    };
    const int all = GROUND | SHADOW_MAP | FLAT_SHADOW;
    const Case cases[] = {
        // Mid-walk in both liveries, the shadow map's shadows on the ground and on the blue one.
        {"walk_liveries_shadows.png", {{-0.6f, 0, 0}, {0.6f, 0, 0.8f}}, all, {1.5, 2.5, -3.5}, {0, 0.8, 0.4}, 45},
        // The same without a shadow map: the flat shadows.
        {"walk_flat_shadows.png", {{-0.6f, 0, 0}, {0.6f, 0, 0.8f}}, GROUND | FLAT_SHADOW, {1.5, 2.5, -3.5},
         {0, 0.8, 0.4}, 45},
        // One character at level 0 and one beyond 25 m at level 1, on a long lens.
        {"levels_of_detail.png", {{-0.5f, 0, 20}, {0.5f, 0, 28}}, all, {0, 1.0, 0}, {0, 0.9, 24}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        placed.clear();
        for (size_t i = 0; i < c.where.size(); ++i)
            place(c.where[i], i == 0 ? 0.4f : -0.5f, true, i == 1 ? 77u : 0xFFFFFFFFu);
        const std::vector<uint8_t> image = draw(camera_at(c.eye, c.centre, c.fovy), c.look, 1.3);
        expect_matches_golden(image, c.name);
    }
    const auto& lods = model->get_lods();
    EXPECT_EQ(lods[0].instance_count, 1);
    EXPECT_EQ(lods[1].instance_count, 1);
}

TEST_F(CharacterGl, DirectionalLightLooksAlongTheSunAndHoldsTheCastersNearTheCamera) {
    const osg::Vec3f near_one(0, 0, 0), near_two(12, 0, 30), far_one(0, 0, 150);
    for (const osg::Vec3f& at : {near_one, near_two, far_one}) place(at, 0.0f, false);
    std::vector<refhost::Frame::Item> items;
    for (auto& p : placed) items.push_back({model.get(), p.get()});
    const Graphics::Camera camera = camera_at(osg::Vec3d(0, 2, -5), osg::Vec3d(0, 1, 10));
    const Graphics::Camera light = refhost::Frame::directional_light(refhost::Frame::SUN, camera, items);

    EXPECT_EQ(light.position, camera.position) << "levels of detail as the camera sees them";
    osg::Vec3f sun = refhost::Frame::SUN;
    sun.normalize();
    const osg::Vec3f backward(light.view(0, 2), light.view(1, 2), light.view(2, 2));
    EXPECT_NEAR((backward - sun).length(), 0.0f, 1e-5f);
    // Each caster's bounding sphere within the map, the farthest caster's far side on its far plane.
    const osg::Matrixf to_map = light.view * light.projection;
    const osg::Vec3f centre = model->GetCenter();
    const float radius = model->GetRadius();
    float deepest = -1.0f;
    for (const osg::Vec3f& at : {near_one, near_two}) {
        for (const osg::Vec3f& side : {osg::Vec3f(radius, 0, 0), osg::Vec3f(0, radius, 0), -sun * radius}) {
            const osg::Vec4f clip = osg::Vec4f(centre + at + side, 1.0f) * to_map;
            EXPECT_LT(std::abs(clip.x()), 1.0f);
            EXPECT_LT(std::abs(clip.y()), 1.0f);
            EXPECT_LT(std::abs(clip.z()), 1.0f);
            deepest = std::max(deepest, clip.z());
        }
    }
    EXPECT_GT(deepest, 0.9f) << "the map's depth range fits the casters";
    const osg::Vec4f beyond = osg::Vec4f(centre + far_one, 1.0f) * to_map;
    EXPECT_GT(std::max(std::abs(beyond.x()), std::max(std::abs(beyond.y()), std::abs(beyond.z()))), 1.0f)
        << "150 m away: beyond the map's reach, left to the flat shadows";
    // Without casters the light is still a usable camera.
    const Graphics::Camera empty = refhost::Frame::directional_light(osg::Vec3f(0, 0, 0), camera, {});
    const osg::Vec4f clip = osg::Vec4f(osg::Vec3f(camera.position), 1.0f) * empty.view * empty.projection;
    EXPECT_TRUE(clip.valid() && std::abs(clip.x()) <= 1.0f && std::abs(clip.z()) <= 1.0f);
    EXPECT_NEAR(empty.view(1, 2), 1.0f, 1e-6f) << "no direction: straight down";
}

TEST_F(CharacterGl, GroundBehindACharacterFromTheSunIsInItsShadowWithTheMapOrItsFlatShadow) {
    place(osg::Vec3f(0, 0, 0), 0.0f, false);
    // Seen from the shadow's side, so that the character does not hide it.
    const Graphics::Camera camera = camera_at(osg::Vec3d(-2.5, 3.0, -3.0), osg::Vec3d(-0.3, 0.4, -0.2));
    osg::Vec3f sun = refhost::Frame::SUN;
    sun.normalize();
    // Where the light through the chest, 1.2 m up, meets the ground; and as far beside the character.
    const osg::Vec3f shade_point = osg::Vec3f(0, 1.2f, 0) - sun * (1.2f / sun.y());
    const Pixel shade = to_pixel(camera, shade_point);
    const Pixel sunny = to_pixel(camera, osg::Vec3f(-shade_point.z(), 0, shade_point.x()));
    ASSERT_TRUE(shade.x > 2 && shade.x < kSize - 2 && shade.y > 2 && shade.y < kSize - 2);

    const double lit = brightness(draw(camera, GROUND, 0.5), shade);
    EXPECT_NEAR(brightness(draw(camera, GROUND, 0.5), sunny), lit, 1.0) << "no shadow: the ground is even";
    struct Case {
        int look;
        double most, least;  // the ground's brightness there, as a share of the lit ground's
    };
    const Case cases[] = {
        {GROUND | SHADOW_MAP, 0.45, 0.2},                // ambient light only
        {GROUND | SHADOW_MAP | FLAT_SHADOW, 0.45, 0.2},  // the flat shadow gives way to the map's
        {GROUND | FLAT_SHADOW, 0.4, 0.1},                // the flat shadow's own colour
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.look);
        const std::vector<uint8_t> image = draw(camera, c.look, 0.5);
        EXPECT_LE(brightness(image, shade), c.most * lit);
        EXPECT_GE(brightness(image, shade), c.least * lit);
        EXPECT_NEAR(brightness(image, sunny), lit, 1.0);
    }
    // Both shadow passes together look like the map's alone there.
    EXPECT_NEAR(brightness(draw(camera, GROUND | SHADOW_MAP | FLAT_SHADOW, 0.5), shade),
                brightness(draw(camera, GROUND | SHADOW_MAP, 0.5), shade), 2.0);
}

TEST_F(CharacterGl, BeyondTheMapsReachTheFlatShadowStillLiesOnTheGround) {
    // 72 m from the camera, past the 60 m the light holds: no depth in the map, the flat shadow instead.
    const osg::Vec3f at(0, 0, 70);
    place(at, 0.0f, false);
    const Graphics::Camera camera = camera_at(osg::Vec3d(-10.0, 55.0, 25.0), osg::Vec3d(-0.3, 0.5, 69.8), 6.0);
    osg::Vec3f sun = refhost::Frame::SUN;
    sun.normalize();
    const Pixel shade = to_pixel(camera, at + osg::Vec3f(0, 1.2f, 0) - sun * (1.2f / sun.y()));
    const double lit = brightness(draw(camera, GROUND | SHADOW_MAP, 0.5), shade);
    const std::vector<float> map = gl->read_shadow_map();
    EXPECT_EQ(std::count_if(map.begin(), map.end(), [](float d) { return d < 1.0f; }), 0);
    EXPECT_LT(brightness(draw(camera, GROUND | SHADOW_MAP | FLAT_SHADOW, 0.5), shade), 0.4 * lit);
}

TEST_F(CharacterGl, ACharacterInTheLightsPathShadowsAnother) {
    // A low sun from the front right; the second character stands 1.2 m towards it from the first.
    const osg::Vec3f sun(1.0f, 0.6f, -1.0f);
    osg::Vec3f step(sun.x(), 0.0f, sun.z());
    step.normalize();
    const Graphics::Camera camera = camera_at(osg::Vec3d(0.2, 1.2, -5.0), osg::Vec3d(0.4, 0.9, -0.4), 35.0);
    auto frame_of = [&](std::vector<osg::Vec3f> where) {
        placed.clear();
        for (const osg::Vec3f& at : where) place(at, 0.0f, false);
        return draw(camera, SHADOW_MAP, 0.5, sun);
    };
    const std::vector<uint8_t> alone = frame_of({osg::Vec3f(0, 0, 0)});
    const std::vector<uint8_t> other = frame_of({step * 1.2f});
    const std::vector<uint8_t> both = frame_of({osg::Vec3f(0, 0, 0), step * 1.2f});
    // The first character's pixels where the second one does not stand in front of it.
    double before = 0.0, after = 0.0;
    int pixels = 0;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            if (background(alone, x, y) || !background(other, x, y)) continue;
            before += brightness(alone, Pixel{x, y});
            after += brightness(both, Pixel{x, y});
            ++pixels;
        }
    ASSERT_GT(pixels, 500);
    EXPECT_LT(after, 0.85 * before) << "the first character is darker where the second one blocks the sun";
}

TEST_F(CharacterGl, WithShadowsSwitchedOffNoShadowPassDrawsIntoTheMap) {
    place(osg::Vec3f(0, 0, 0), 0.0f, false);
    const Graphics::Camera camera = camera_at(osg::Vec3d(-2.5, 3.0, -3.0), osg::Vec3d(-0.3, 0.4, -0.2));
    auto depths_drawn = [&] {
        draw(camera, GROUND | SHADOW_MAP, 0.5);
        const std::vector<float> map = gl->read_shadow_map();
        return std::count_if(map.begin(), map.end(), [](float d) { return d < 1.0f; });
    };
    EXPECT_GT(depths_drawn(), 1000) << "the character's depth from the light";
    CharacterModelBase::_shadow_enabled = false;
    const auto switched_off = depths_drawn();
    const std::vector<uint8_t> image = draw(camera, GROUND | SHADOW_MAP, 0.5);
    CharacterModelBase::_shadow_enabled = true;
    EXPECT_EQ(switched_off, 0) << "the map was cleared and nothing drew into it";
    // The main pass still draws the character, and the ground is lit everywhere.
    EXPECT_EQ(image, draw(camera, GROUND, 0.5));
}

TEST_F(CharacterGl, MotionTargetShowsHowFarACharacterMovedOnScreenSinceTheLastFrame) {
    // The left one moves 0.3 m sideways and 0.2 m up between the frames, the right one stands still.
    const osg::Vec3f moved_from(0.7f, 0, 0), still(-0.7f, 0, 0), move(0.3f, 0.2f, 0);
    Placed& moving = place(moved_from, 0.0f, false);
    place(still, 0.0f, false);
    const Graphics::Camera camera = camera_at(osg::Vec3d(0, 1.0, -5.0), osg::Vec3d(0, 0.9, 0), 40.0);

    struct Region {
        double x = 0, y = 0;  // mean motion
        int pixels = 0;
        int outside = 0;  // pixels off the characters with a motion other than zero
    };
    auto measure = [&](Region& left, Region& right) {
        const std::vector<uint8_t> image = draw(camera, 0, 0.5);
        const std::vector<float> motion = gl->read_motion();
        EXPECT_EQ(motion.size(), size_t(kSize) * kSize * 2);
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x) {
                const float* m = &motion[(size_t(y) * kSize + x) * 2];
                Region& r = x < kSize / 2 ? left : right;  // world +x is screen left, seen from -z
                if (background(image, x, y)) {
                    r.outside += m[0] != 0.0f || m[1] != 0.0f;
                    continue;
                }
                r.x += m[0];
                r.y += m[1];
                ++r.pixels;
            }
        for (Region* r : {&left, &right})
            if (r->pixels) r->x /= r->pixels, r->y /= r->pixels;
    };
    // First frame: nothing was drawn before, so nothing moved.
    Region first_left, first_right;
    measure(first_left, first_right);
    ASSERT_GT(first_left.pixels, 300);
    ASSERT_GT(first_right.pixels, 300);
    EXPECT_EQ(first_left.x, 0.0);
    EXPECT_EQ(first_left.y, 0.0);

    moving.matrix = osg::Matrixf::translate(moved_from + move);
    Region left, right;
    measure(left, right);
    const osg::Vec3f chest(0, 1.0f, 0);
    const osg::Vec2f expected = to_ndc(camera, moved_from + move + chest) - to_ndc(camera, moved_from + chest);
    ASSERT_LT(expected.x(), -0.05f) << "moved to the left of the screen";
    EXPECT_NEAR(left.x, expected.x(), 0.15 * std::abs(expected.x()));
    EXPECT_NEAR(left.y, expected.y(), 0.15 * std::abs(expected.y()));
    EXPECT_NEAR(right.x, 0.0, 1e-3);
    EXPECT_NEAR(right.y, 0.0, 1e-3);
    EXPECT_EQ(left.outside + right.outside, 0) << "the background has no motion";
}

}  // namespace
