// The OpenGL back-end: instanced drawing into the off-screen framebuffer (colour and motion targets),
// vertex formats, texture arrays, debug lines and PNG output.
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "tests/host/gl/GlTestSupport.h"

namespace {

using gltest::read_all;

// Instances placed by a storage buffer of offsets and a matrix; instance 0 takes its colour from
// layer `layer` of a texture array, the others from a palette picked by an integer vertex input.
const char* const DRAW_EFFECT = R"(
#pragma technique Draw pass 0 vertex:place fragment:paint
#pragma technique Draw pass 1 compute:unused
#if defined(VERTEX_STAGE)
in vec3 POSITION0;
in uvec4 TEXCOORD1;
buffer offsets { vec4 offset[]; };
uniform mat4 placement;
flat out uint palette_index;
flat out int instance;
void place() {
    gl_Position = placement * vec4(POSITION0 + offset[gl_InstanceID].xyz, 1.0);
    palette_index = TEXCOORD1.y;
    instance = gl_InstanceID;
}
#endif
#if defined(FRAGMENT_STAGE)
flat in uint palette_index;
flat in int instance;
uniform sampler2DArray tint;
uniform int layer;
layout(location = 0) out vec4 colour;
layout(location = 1) out vec4 motion;
void paint() {
    const vec4 palette[3] = vec4[3](vec4(1, 0, 0, 1), vec4(0, 1, 0, 1), vec4(0, 0, 1, 1));
    colour = instance == 0 ? texelFetch(tint, ivec3(0, 0, layer), 0) : palette[min(palette_index, 2u)];
    motion = vec4(0.25, -0.25, 0.0, 0.0);
}
#endif
#if defined(COMPUTE_STAGE)
layout(local_size_x = 1) in;
void unused() {}
#endif
)";

class GlDrawTest : public gltest::GlBackendTest {
protected:
    render::GlBackend::Options options() const override {
        render::GlBackend::Options o;
        o.width = 64;
        o.height = 32;
        return o;
    }
    // The RGBA of a pixel, counted from the top-left corner.
    std::vector<uint8_t> pixel(const std::vector<uint8_t>& image, int x, int y) const {
        const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(backend->width()) + static_cast<size_t>(x)) * 4;
        return std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(at),
                                    image.begin() + static_cast<std::ptrdiff_t>(at + 4));
    }
    // A PNG of one colour, written into the temporary directory (mounted at "/shaders/").
    void write_image(const std::string& file, int width, int height, const std::vector<uint8_t>& rgba) const {
        std::vector<uint8_t> pixels;
        for (int i = 0; i < width * height; ++i) pixels.insert(pixels.end(), rgba.begin(), rgba.end());
        ASSERT_TRUE(stbi_write_png(shaders.file(file).c_str(), width, height, 4, pixels.data(), width * 4));
    }
};

const std::vector<uint8_t> RED{255, 0, 0, 255}, GREEN{0, 255, 0, 255}, BLUE{0, 0, 255, 255},
    YELLOW{255, 255, 0, 255}, GREY{128, 128, 128, 255}, CLEAR{0, 0, 51, 255};

TEST_F(GlDrawTest, InstancedTrianglesLandWhereTheirOffsetsPlaceThemInTheColoursTheyPick) {
    write_effect("test/draw.fx", DRAW_EFFECT);
    auto shader = backend->openShader("test/draw.fx", {});
    ASSERT_NE(shader, nullptr);
    const int position = shader->getElement("POSITION0"), palette = shader->getElement("TEXCOORD1");
    ASSERT_TRUE(position >= 0 && palette >= 0 && position != palette);
    EXPECT_EQ(shader->getElement("TEXCOORD9"), -1);
    EXPECT_GE(shader->getVariable("tint"), 0) << "a sampler of the fragment stage";

    write_image("yellow.png", 4, 2, YELLOW);
    write_image("blue.png", 2, 2, BLUE);
    test::LogCapture log;
    auto texture = backend->openTextureArray({"/shaders/blue.png", "/shaders/missing.png", "/shaders/yellow.png"},
                                             "tint", "TEST");
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->layers(), 3);
    EXPECT_TRUE(log.has("missing.png")) << "a missing image is reported and a grey layer stands in";
    EXPECT_EQ(backend->openTextureArray({"/shaders/none.png", ""}, "x", "TEST"), nullptr);

    // A triangle around the origin, two instances: one moved left, one moved right.
    const float corners[9] = {-0.4f, -0.5f, 0.0f, 0.4f, -0.5f, 0.0f, 0.0f, 0.5f, 0.0f};
    const uint8_t picks[12] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0};  // second byte: palette entry 1
    const uint32_t indices[3] = {0, 1, 2};
    const float offsets[8] = {-0.5f, 0, 0, 0, 0.5f, 0, 0, 0};
    auto positions = backend->createVertexBuffer(position, render::EF_FLOAT3, corners, 3, 12);
    auto palette_buffer = backend->createVertexBuffer(palette, render::EF_FLOAT4_UBYTE4, picks, 3, 4);
    auto index_buffer = backend->createIndexBuffer(indices, 3);
    auto offset_buffer = backend->createStructuredBuffer(16, 2, 5, offsets, sizeof(offsets), "offsets");
    ASSERT_TRUE(positions && palette_buffer && index_buffer && offset_buffer);
    EXPECT_TRUE(positions->kind() == render::BK_VERTEX && index_buffer->kind() == render::BK_INDEX &&
                index_buffer->capacity() == 3u && palette_buffer->element_size() == 4u);

    auto draw = [&](int layer, uint32_t index_count) {
        backend->begin_frame(osg::Vec4f(0, 0, 0.2f, 1));
        backend->beginTechnique(shader, shader->getTechnique("Draw"), 0);
        backend->bindVertexBuffer(position, positions);
        backend->bindVertexBuffer(palette, palette_buffer);
        backend->bindIndexBuffer(index_buffer);
        backend->bindBuffer(shader->getVariable("offsets"), offset_buffer);
        backend->bindTexture(shader->getVariable("tint"), texture);
        backend->setInt(shader->getVariable("layer"), layer);
        backend->setMatrix(shader->getVariable("placement"), osg::Matrixf::scale(1, 1, 1));
        backend->commit();
        backend->drawIndexedInstanced(index_count, 2);
        backend->endPass();
        return backend->read_colour();
    };
    const int w = backend->width(), h = backend->height();
    ASSERT_TRUE(w == 64 && h == 32);
    struct Case {
        int layer;
        std::vector<uint8_t> left;
    };
    for (const Case& c : {Case{0, BLUE}, Case{1, GREY}, Case{2, YELLOW}}) {
        const std::vector<uint8_t> image = draw(c.layer, 3);
        ASSERT_EQ(image.size(), static_cast<size_t>(w * h * 4));
        EXPECT_EQ(pixel(image, w / 4, h / 2), c.left) << "layer " << c.layer;
        EXPECT_EQ(pixel(image, 3 * w / 4, h / 2), GREEN) << "the integer input picks palette entry 1";
        EXPECT_EQ(pixel(image, w / 2, h / 2), CLEAR) << "between the instances";
        EXPECT_EQ(pixel(image, w / 4, 1), CLEAR) << "above the tip: the image's top row comes first";
        EXPECT_EQ(pixel(image, w / 4, h - 2), CLEAR);
        EXPECT_EQ(pixel(image, w / 4, h / 4 + 2), c.left) << "just below the tip";
    }
    // The motion target holds what the fragments wrote at location 1, and zero where nothing was drawn.
    const std::vector<float> motion = backend->read_motion();
    ASSERT_EQ(motion.size(), static_cast<size_t>(w * h * 2));
    auto motion_at = [&](int x, int y) {
        const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 2;
        return std::make_pair(motion[at], motion[at + 1]);
    };
    EXPECT_EQ(motion_at(w / 4, h / 2), std::make_pair(0.25f, -0.25f));
    EXPECT_EQ(motion_at(3 * w / 4, h / 4 + 2), std::make_pair(0.25f, -0.25f)) << "just below the tip";
    EXPECT_EQ(motion_at(3 * w / 4 + 4, h / 4 + 2), std::make_pair(0.0f, 0.0f))
        << "beside the tip, where the base would lie if the bottom row came first";
    EXPECT_EQ(motion_at(w / 2, h / 2), std::make_pair(0.0f, 0.0f));
    EXPECT_EQ(motion_at(w / 4, h - 2), std::make_pair(0.0f, 0.0f));

    // More indices than the index buffer holds: nothing drawn, an error.
    log.clear();
    const std::vector<uint8_t> refused = draw(0, 6);
    EXPECT_EQ(pixel(refused, w / 4, h / 2), CLEAR);
    EXPECT_TRUE(log.has(8, "6 indices")) << log.dump();
    log.clear();
    backend->beginTechnique(shader, shader->getTechnique("Draw"), 1);
    backend->commit();
    backend->drawIndexedInstanced(3, 1);
    backend->endPass();
    backend->finish();
    EXPECT_TRUE(log.has(8, "does not draw")) << log.dump();
}

TEST_F(GlDrawTest, LinesAndTheWrittenPngShowWhatWasDrawn) {
    backend->begin_frame(osg::Vec4f(0, 0, 0.2f, 1));
    const osg::Vec3f across[2] = {osg::Vec3f(-2, 0.5f, 0), osg::Vec3f(2, 0.5f, 0)};
    const osg::Vec3f hidden[2] = {osg::Vec3f(-2, -0.5f, 0), osg::Vec3f(2, -0.5f, 0)};
    // Moved down by half the height: the line lands a quarter from the bottom.
    backend->set_view_projection(osg::Matrixf::translate(0, -1.0f, 0));
    backend->drawLines(across, 2, osg::Matrixf::identity(), osg::Vec4f(0, 1, 0, 1), ~0u, true);
    backend->drawLines(hidden, 2, osg::Matrixf::identity(), osg::Vec4f(1, 0, 0, 1), 0u, true);  // no pattern
    const std::vector<uint8_t> image = backend->read_colour();
    const int w = backend->width(), h = backend->height();
    int green_rows = 0, red = 0;
    for (int y = 0; y < h; ++y) {
        int green = 0;
        for (int x = 0; x < w; ++x) {
            green += pixel(image, x, y) == GREEN;
            red += pixel(image, x, y) == RED;
        }
        if (green == w) {
            ++green_rows;
            EXPECT_NEAR(y, 3 * h / 4, 1);
        }
    }
    EXPECT_EQ(green_rows, 1);
    EXPECT_EQ(red, 0);

    const std::string path = shaders.file("frame.png");
    ASSERT_TRUE(backend->write_png(path));
    int width = 0, height = 0, channels = 0;
    stbi_uc* loaded = stbi_load(path.c_str(), &width, &height, &channels, 4);
    ASSERT_NE(loaded, nullptr);
    const std::vector<uint8_t> png(loaded, loaded + width * height * 4);
    stbi_image_free(loaded);
    EXPECT_TRUE(width == w && height == h && png == image);
    test::LogCapture log;
    EXPECT_FALSE(backend->write_png(shaders.file("no/such/dir/frame.png")));
    EXPECT_TRUE(log.has(8, "frame.png"));
}

}  // namespace
