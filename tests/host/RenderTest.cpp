// The renderer front end and the recording CPU back-end.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

namespace {

using render::Command;
using API = render::RenderAPI;

class RenderTest : public ::testing::Test {
protected:
    RenderTest() { render::set_backend(backend); }
    ~RenderTest() override { render::set_backend(nullptr); }
    std::shared_ptr<render::CpuBackend> backend = std::make_shared<render::CpuBackend>();
};

std::shared_ptr<render::CpuBuffer> cpu(const render::StructuredBuffer& buffer) {
    return std::dynamic_pointer_cast<render::CpuBuffer>(buffer);
}

TEST(RenderWithoutBackend, CallsAreHarmlessAndCreationsNull) {
    render::set_backend(nullptr);
    EXPECT_FALSE(render::get_backend() || API::openShader("animator/animation_compute.fx", {}) ||
                 API::createStructuredBuffer(4, 4, 0, nullptr, 0, "x") || API::createIndexBuffer(nullptr, 0) ||
                 render::TextureArray::open({"a.dds"}, "arr", "tag"));
    API::beginTechnique(nullptr, 0, 0);
    API::setFloat(0, 1.0f);
    API::dispatch(0, 1, 1, 1);
    API::drawIndexedInstanced(3, 1);
    API::endPass();
    osg::Vec3f pts[2];
    render::RenderLine().render(pts, 2, osg::Matrixf(), osg::Vec4f(1, 0, 0, 1), ~0u, true);
}

TEST_F(RenderTest, ShadersKeepDefinesHandlesAreStablePerShaderAndNameAndFailuresAreLogged) {
    auto shader = API::openShader("animator/gpu_animated_model.fx", {{"NUM_NODES", "31"}});
    auto other = API::openShader("other.fx", {});
    ASSERT_TRUE(shader && other);
    EXPECT_NE(shader->id(), other->id());
    EXPECT_EQ(std::dynamic_pointer_cast<render::CpuShader>(shader)->define("NUM_NODES"), "31");
    const int bones = shader->getVariable("bones");
    EXPECT_TRUE(bones >= 0 && shader->getVariable("bones") == bones && other->getVariable("bones") != bones);
    EXPECT_EQ(shader->getVariable(nullptr), -1);

    backend->fail_shader("broken.fx");
    test::LogCapture log;
    EXPECT_FALSE(API::openShader("broken.fx", {}) || API::openShader("", {}));
    EXPECT_TRUE(log.has(8, "broken.fx"));
    EXPECT_EQ(backend->shaders().size(), 2u);
}

TEST_F(RenderTest, BuffersHoldTheirContentsAndRefuseUpdatesThatDoNotFit) {
    std::vector<float> init{1, 2, 3, 4, 5, 6};
    auto clips = cpu(API::createStructuredBuffer(8, 3, 2, init.data(), init.size() * 4, "clips"));
    ASSERT_NE(clips, nullptr);
    float patch[2] = {9, 10};
    EXPECT_TRUE(clips->update(patch, sizeof(patch), 8));
    EXPECT_FALSE(clips->update(patch, sizeof(patch), 20) || clips->update(patch, 1, static_cast<size_t>(-1)))
        << "updates ending past the buffer";
    EXPECT_EQ(clips->as<float>(), (std::vector<float>{1, 2, 9, 10, 5, 6}));
    EXPECT_EQ(clips->update_count(), 1);

    test::LogCapture log;
    std::vector<uint8_t> big(100, 7);
    auto small = cpu(API::createStructuredBuffer(4, 2, 0, big.data(), big.size(), "small"));
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(small->byte_size() == 8u && log.has(8, "small")) << "too much data is cut to fit, with an error";
    uint32_t indices[3] = {0, 1, 2};
    auto ib = cpu(API::createIndexBuffer(indices, 3));
    ASSERT_NE(ib, nullptr);
    EXPECT_TRUE(ib->kind() == render::BK_INDEX && ib->as<uint32_t>() == std::vector<uint32_t>(indices, indices + 3));
    EXPECT_EQ(backend->buffers_tagged("clips").size(), 1u);
    small.reset();
    EXPECT_EQ(backend->buffers().size(), 2u) << "only live buffers are listed";
}

TEST_F(RenderTest, CommandsAreRecordedInOrderWithTheNamesOfTheirHandles) {
    auto shader = API::openShader("animator/animation_compute.fx", {});
    auto buffer = API::createStructuredBuffer(4, 4, 0, nullptr, 0, "instances");
    API::beginTechnique(shader, shader->getTechnique("AnimationCompute"), 0);
    API::bindBuffer(shader->getVariable("instances"), buffer);
    API::setFloat(shader->getVariable("model_time"), 1.5f);
    uint32_t zero = 0;
    buffer->update(&zero, 4, 4);
    API::commit();
    API::dispatch(0, 3, 1, 1);
    API::drawIndexedInstanced(36, 5);
    API::endPass();

    const auto cmds = backend->commands();
    std::vector<Command::Type> types;
    for (const auto& c : cmds) types.push_back(c.type);
    ASSERT_EQ(types, (std::vector<Command::Type>{Command::BeginTechnique, Command::BindBuffer, Command::SetFloat,
                                                 Command::UpdateBuffer, Command::Commit, Command::Dispatch,
                                                 Command::DrawIndexedInstanced, Command::EndPass}));
    EXPECT_TRUE(cmds[0].name == "AnimationCompute" && cmds[0].shader == shader);
    EXPECT_TRUE(cmds[1].name == "instances" && cmds[1].buffer == buffer && cmds[1].shader == shader);
    EXPECT_TRUE(cmds[2].name == "model_time" && cmds[2].f == 1.5f);
    EXPECT_TRUE(cmds[3].buffer == buffer && cmds[3].offset == 4u);
    EXPECT_TRUE(cmds[5].x == 3u && cmds[6].x == 36u && cmds[6].y == 5u);
}

TEST_F(RenderTest, LinesAndTextureArraysGoToTheBackend) {
    osg::Vec3f pts[2] = {osg::Vec3f(1, 0, 0), osg::Vec3f(-1, 0, 0)};
    render::RenderLine().render(pts, 2, osg::Matrixf::translate(0, 1, 0), osg::Vec4f(0.8f, 0, 0, 1), ~0u, true);
    const auto lines = backend->commands(Command::DrawLines);
    ASSERT_TRUE(lines.size() == 1u && lines[0].points.size() == 2u);
    EXPECT_TRUE(lines[0].points[1] == pts[1] && lines[0].matrix == osg::Matrixf::translate(0, 1, 0));
    EXPECT_TRUE(lines[0].color == osg::Vec4f(0.8f, 0, 0, 1) && lines[0].pattern == ~0u && lines[0].depth_test);

    auto arr = render::TextureArray::open({"body.dds", "livery1.dds"}, "AnimatorMeshBase_tex_array", "ANIMATOR");
    ASSERT_TRUE(arr && arr->layers() == 2 && backend->texture_arrays().size() == 1u);
    EXPECT_EQ(render::TextureArray::open({""}, "n", "t"), nullptr);
    backend->set_texture_arrays_available(false);
    EXPECT_EQ(render::TextureArray::open({"body.dds"}, "n", "t"), nullptr);
}

}  // namespace
