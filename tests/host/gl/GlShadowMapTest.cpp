// The OpenGL back-end's shadow map and frame light: a shadow pass writes depth into the map, the
// ground and effects sample it in the frame that drew it only, and the host's frame uniforms reach
// every program that declares them without being shader variables.
#include "tests/host/gl/GlTestSupport.h"

#include <algorithm>

namespace {

// A square given by its corners, placed by one matrix; "Show" paints the host's light uniforms.
const char* const CASTER_EFFECT = R"(
#pragma technique Caster pass 0 vertex:place fragment:nothing
#pragma technique Show pass 0 vertex:place fragment:show
uniform mat4 transform;
uniform vec3 light_direction;
uniform int shadow_map_ready;
#if defined(VERTEX_STAGE)
in vec3 POSITION0;
void place() { gl_Position = transform * vec4(POSITION0, 1.0); }
#endif
#if defined(FRAGMENT_STAGE)
layout(location = 0) out vec4 colour;
layout(location = 1) out vec4 motion;
void nothing() {}
void show() {
    colour = vec4(light_direction * 0.5 + 0.5, shadow_map_ready == 1 ? 1.0 : 0.0);
    motion = vec4(0.0);
}
#endif
)";

const char* const WRONG_TYPE_EFFECT = R"(
#pragma technique Show pass 0 vertex:place fragment:show
uniform float light_direction;
#if defined(VERTEX_STAGE)
void place() { gl_Position = vec4(0.0, 0.0, 0.0, 1.0); }
#endif
#if defined(FRAGMENT_STAGE)
layout(location = 0) out vec4 colour;
void show() { colour = vec4(light_direction); }
#endif
)";

constexpr int kSize = 64;

class GlShadowMapTest : public gltest::GlBackendTest {
protected:
    render::GlBackend::Options options() const override {
        render::GlBackend::Options o;
        o.width = o.height = kSize;
        o.shadow_size = 128;
        return o;
    }
    void SetUp() override {
        gltest::GlBackendTest::SetUp();
        ASSERT_NE(backend, nullptr);
        write_effect("test/caster.fx", CASTER_EFFECT);
        shader = backend->openShader("test/caster.fx", {});
        ASSERT_NE(shader, nullptr);
        // A 1 m square, 1 m above the ground, around the origin.
        const float corners[12] = {-0.5f, 1, -0.5f, 0.5f, 1, -0.5f, 0.5f, 1, 0.5f, -0.5f, 1, 0.5f};
        const uint32_t indices[6] = {0, 1, 2, 0, 2, 3};
        square = backend->createVertexBuffer(shader->getElement("POSITION0"), render::EF_FLOAT3, corners, 4, 12);
        square_indices = backend->createIndexBuffer(indices, 6);
        ASSERT_TRUE(square && square_indices);
        // Straight down on the 4 m square around the origin, 10 m above it; the camera sees the same.
        osg::Matrixf view, projection;
        view.makeLookAt(osg::Vec3f(0, 10, 0), osg::Vec3f(0, 0, 0), osg::Vec3f(0, 0, 1));
        projection.makeOrtho(-2, 2, -2, 2, 1, 20);
        from_above = view * projection;
    }
    void draw_square(const char* technique, const osg::Matrixf& transform) {
        backend->beginTechnique(shader, shader->getTechnique(technique), 0);
        backend->bindVertexBuffer(shader->getElement("POSITION0"), square);
        backend->bindIndexBuffer(square_indices);
        backend->setMatrix(shader->getVariable("transform"), transform);
        backend->commit();
        backend->drawIndexedInstanced(6, 1);
        backend->endPass();
    }
    // One frame: the square into the shadow map when `shadow`, then the ground seen from above.
    std::vector<uint8_t> frame(bool shadow) {
        backend->set_light(osg::Vec3f(0, 1, 0), from_above);
        if (shadow) {
            backend->begin_shadow_map();
            draw_square("Caster", from_above);
        }
        backend->begin_frame(osg::Vec4f(0, 0, 0, 1));
        backend->draw_ground(from_above, osg::Vec3f(0, 0, 0), 10.0f, osg::Vec4f(0.5f, 0.5f, 0.5f, 1));
        return backend->read_colour();
    }
    static int green(const std::vector<uint8_t>& image, int x, int y) { return image[(size_t(y) * kSize + x) * 4 + 1]; }

    render::ShaderPtr shader;
    render::StructuredBuffer square, square_indices;
    osg::Matrixf from_above;
};

TEST_F(GlShadowMapTest, ShadowPassDepthDarkensTheGroundUnderItInTheFrameThatDrewIt) {
    const std::vector<uint8_t> shadowed = frame(true);
    // The square covers the middle of the view: the ground there is in its shadow.
    const int centre = green(shadowed, kSize / 2, kSize / 2), corner = green(shadowed, 4, 4);
    EXPECT_NEAR(corner, 0.5 * (0.35 + 0.75) * 255, 2) << "sunlit ground: ambient and full sun";
    EXPECT_NEAR(centre, 0.5 * 0.35 * 255, 2) << "shadowed ground: ambient only";
    EXPECT_NEAR(green(shadowed, kSize / 2 + kSize / 4 + 3, kSize / 2), corner, 2) << "beside the square";

    // The map holds the square's depth (9 m of the 1..20 m range) under it and the far depth elsewhere.
    const std::vector<float> depths = backend->read_shadow_map();
    const int n = backend->shadow_size();
    ASSERT_EQ(n, 128);
    ASSERT_EQ(depths.size(), size_t(n) * n);
    EXPECT_NEAR(depths[size_t(n / 2) * n + n / 2], 8.0 / 19.0, 0.01);
    EXPECT_EQ(depths[size_t(4) * n + 4], 1.0f);
    EXPECT_EQ(std::count_if(depths.begin(), depths.end(), [](float d) { return d < 1.0f; }), n * n / 16)
        << "the 1 m square of the 4 m view";

    // The next frame draws no shadow pass: the map is left, but nothing samples it.
    const std::vector<uint8_t> unshadowed = frame(false);
    EXPECT_EQ(green(unshadowed, kSize / 2, kSize / 2), corner);
    EXPECT_EQ(backend->read_shadow_map(), depths);
}

TEST_F(GlShadowMapTest, HostUniformsReachEffectsThatDeclareThemAndAreNoVariables) {
    for (const char* name : {"light_direction", "shadow_map_ready", "light_view_projection", "shadow_map"})
        EXPECT_EQ(shader->getVariable(name), -1) << name;
    EXPECT_GE(shader->getVariable("transform"), 0);

    struct Case {
        osg::Vec3f towards_light;
        bool shadow_pass;
        std::vector<uint8_t> expected;  // light_direction * 0.5 + 0.5, and shadow_map_ready
    };
    const Case cases[] = {
        {osg::Vec3f(0, 0, 2), true, {128, 128, 255, 255}},  // normalised, with this frame's map
        {osg::Vec3f(-3, 0, 0), false, {0, 128, 128, 0}},    // no shadow pass in this frame
        {osg::Vec3f(0, 0, 0), true, {128, 255, 128, 255}},  // no direction: straight up
    };
    for (const Case& c : cases) {
        backend->set_light(c.towards_light, from_above);
        if (c.shadow_pass) backend->begin_shadow_map();
        backend->begin_frame(osg::Vec4f(0, 0, 0, 0));
        draw_square("Show", from_above);
        const std::vector<uint8_t> image = backend->read_colour();
        const size_t at = (size_t(kSize / 2) * kSize + kSize / 2) * 4;
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(image[at + k], c.expected[k], 1) << "channel " << k << " with the light towards "
                                                         << c.towards_light.x() << " " << c.towards_light.y() << " "
                                                         << c.towards_light.z();
    }

    test::LogCapture log;
    write_effect("test/wrong.fx", WRONG_TYPE_EFFECT);
    EXPECT_NE(backend->openShader("test/wrong.fx", {}), nullptr);
    EXPECT_TRUE(log.has("'light_direction' is not of the type the host gives it")) << log.dump();
}

}  // namespace
