// The renderer front end and the recording CPU back-end.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

namespace {

using render::Command;

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend = std::make_shared<render::CpuBackend>();
        render::set_backend(backend);
    }
    void TearDown() override { render::set_backend(nullptr); }
    std::shared_ptr<render::CpuBackend> backend;
};

TEST(RenderWithoutBackend, CallsAreHarmlessAndCreationsNull) {
    render::set_backend(nullptr);
    EXPECT_EQ(render::get_backend(), nullptr);
    EXPECT_EQ(render::RenderAPI::openShader("animator/animation_compute.fx", {}), nullptr);
    EXPECT_EQ(render::RenderAPI::createStructuredBuffer(4, 4, 0, nullptr, 0, "x"), nullptr);
    EXPECT_EQ(render::RenderAPI::createIndexBuffer(nullptr, 0), nullptr);
    EXPECT_EQ(render::TextureArray::open({"a.dds"}, "arr", "tag"), nullptr);
    render::RenderAPI::beginTechnique(nullptr, 0, 0);
    render::RenderAPI::setFloat(0, 1.0f);
    render::RenderAPI::dispatch(0, 1, 1, 1);
    render::RenderAPI::drawIndexedInstanced(3, 1);
    render::RenderAPI::endPass();
    osg::Vec3f pts[2];
    render::RenderLine().render(pts, 2, osg::Matrixf(), osg::Vec4f(1, 0, 0, 1), ~0u, true);
}

TEST_F(RenderTest, ShadersKeepDefinesAndHandlesAreStablePerName) {
    auto shader = render::RenderAPI::openShader("animator/gpu_animated_model.fx", {{"NUM_NODES", "31"}});
    auto other = render::RenderAPI::openShader("other.fx", {});
    ASSERT_TRUE(shader && other);
    EXPECT_NE(shader->id(), other->id());
    EXPECT_EQ(std::dynamic_pointer_cast<render::CpuShader>(shader)->define("NUM_NODES"), "31");
    int bones = shader->getVariable("bones");
    EXPECT_GE(bones, 0);
    EXPECT_EQ(shader->getVariable("bones"), bones);
    EXPECT_NE(other->getVariable("bones"), bones);  // per shader
    EXPECT_EQ(shader->getVariable(nullptr), -1);
    EXPECT_EQ(backend->variable_name(bones), "bones");
    EXPECT_EQ(backend->variable_name(12345), "");

    backend->fail_shader("broken.fx");
    test::LogCapture log;
    EXPECT_EQ(render::RenderAPI::openShader("broken.fx", {}), nullptr);
    EXPECT_EQ(render::RenderAPI::openShader("", {}), nullptr);
    EXPECT_TRUE(log.has(8, "broken.fx"));
    EXPECT_EQ(backend->shaders().size(), 2u);
}

TEST_F(RenderTest, BuffersHoldTheirContentsAndRefuseUpdatesThatDoNotFit) {
    std::vector<float> init{1, 2, 3, 4, 5, 6};
    auto cpu = std::dynamic_pointer_cast<render::CpuBuffer>(
        render::RenderAPI::createStructuredBuffer(8, 3, 2, init.data(), init.size() * 4, "clips"));
    ASSERT_NE(cpu, nullptr);
    EXPECT_EQ(cpu->as<float>(), init);
    float patch[2] = {9, 10};
    EXPECT_TRUE(cpu->update(patch, sizeof(patch), 8));
    EXPECT_FALSE(cpu->update(patch, sizeof(patch), 20));  // would end past the buffer
    EXPECT_FALSE(cpu->update(patch, 1, static_cast<size_t>(-1)));
    EXPECT_EQ(cpu->as<float>(), (std::vector<float>{1, 2, 9, 10, 5, 6}));
    EXPECT_EQ(cpu->update_count(), 1);

    // Too much data is cut to fit, with an error.
    test::LogCapture log;
    std::vector<uint8_t> big(100, 7);
    auto small = std::dynamic_pointer_cast<render::CpuBuffer>(
        render::RenderAPI::createStructuredBuffer(4, 2, 0, big.data(), big.size(), "small"));
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->byte_size(), 8u);
    EXPECT_TRUE(log.has(8, "small"));

    uint32_t indices[3] = {0, 1, 2};
    auto ib = std::dynamic_pointer_cast<render::CpuBuffer>(render::RenderAPI::createIndexBuffer(indices, 3));
    ASSERT_NE(ib, nullptr);
    EXPECT_EQ(ib->kind(), render::BK_INDEX);
    EXPECT_EQ(ib->as<uint32_t>(), std::vector<uint32_t>(indices, indices + 3));
    EXPECT_EQ(backend->buffers().size(), 3u);
    EXPECT_EQ(backend->buffers_tagged("clips").size(), 1u);
    small.reset();
    EXPECT_EQ(backend->buffers().size(), 2u);  // only live buffers are listed
    EXPECT_EQ(backend->buffers_created(), 3u);
}

TEST_F(RenderTest, CommandsAreRecordedInOrderWithNames) {
    auto shader = render::RenderAPI::openShader("animator/animation_compute.fx", {});
    int tech = shader->getTechnique("AnimationCompute");
    int var = shader->getVariable("instances");
    int time = shader->getVariable("model_time");
    auto buffer = render::RenderAPI::createStructuredBuffer(4, 4, 0, nullptr, 0, "instances");
    render::RenderAPI::beginTechnique(shader, tech, 0);
    render::RenderAPI::bindBuffer(var, buffer);
    render::RenderAPI::setFloat(time, 1.5f);
    uint32_t zero = 0;
    buffer->update(&zero, 4, 4);
    render::RenderAPI::commit();
    render::RenderAPI::dispatch(0, 3, 1, 1);
    render::RenderAPI::drawIndexedInstanced(36, 5);
    render::RenderAPI::endPass();

    auto cmds = backend->commands();
    std::vector<Command::Type> types;
    for (const auto& c : cmds) types.push_back(c.type);
    ASSERT_EQ(types, (std::vector<Command::Type>{Command::BeginTechnique, Command::BindBuffer, Command::SetFloat,
                                                 Command::UpdateBuffer, Command::Commit, Command::Dispatch,
                                                 Command::DrawIndexedInstanced, Command::EndPass}));
    EXPECT_TRUE(cmds[0].name == "AnimationCompute" && cmds[0].shader == shader);
    EXPECT_TRUE(cmds[1].name == "instances" && cmds[1].buffer == buffer && cmds[1].shader == shader);
    EXPECT_TRUE(cmds[2].name == "model_time" && cmds[2].f == 1.5f);
    EXPECT_TRUE(cmds[3].buffer == buffer && cmds[3].offset == 4u);
    EXPECT_EQ(cmds[5].x, 3u);
    EXPECT_TRUE(cmds[6].x == 36u && cmds[6].y == 5u);
    EXPECT_EQ(backend->count(Command::Dispatch), 1u);
    backend->clear();
    EXPECT_TRUE(backend->commands().empty());
}

TEST_F(RenderTest, LinesAndTextureArraysGoToTheBackend) {
    osg::Vec3f pts[2] = {osg::Vec3f(1, 0, 0), osg::Vec3f(-1, 0, 0)};
    render::RenderLine line;
    line.render(pts, 2, osg::Matrixf::translate(0, 1, 0), osg::Vec4f(0.8f, 0, 0, 1), ~0u, true);
    auto lines = backend->commands(Command::DrawLines);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].points.size(), 2u);
    EXPECT_EQ(lines[0].points[1], osg::Vec3f(-1, 0, 0));
    EXPECT_EQ(lines[0].matrix, osg::Matrixf::translate(0, 1, 0));
    EXPECT_TRUE(lines[0].color == osg::Vec4f(0.8f, 0, 0, 1) && lines[0].pattern == ~0u && lines[0].depth_test);

    auto arr = render::TextureArray::open({"body.dds", "livery1.dds"}, "AnimatorMeshBase_tex_array", "ANIMATOR");
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(arr->layers(), 2);
    EXPECT_EQ(backend->texture_arrays().size(), 1u);
    EXPECT_EQ(render::TextureArray::open({""}, "n", "t"), nullptr);
    backend->set_texture_arrays_available(false);
    EXPECT_EQ(render::TextureArray::open({"body.dds"}, "n", "t"), nullptr);
}

}  // namespace
