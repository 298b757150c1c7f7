// The plug-in entry points, the global switches and the model factory's name rules.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "animator/model/CharacterModelBase.h"
#include "animator/plugin/Plugin.h"
#include "host/ImGuiReg.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

const char* kConfig = "skeleton = 'none'\n";

// Models under a temporary "/models/" tree: "a" at the top, "b" only in "models/", "Mixed" with a
// mixed-case extension.
class Factory : public ::testing::Test {
protected:
    Factory() {
        dir.write("models/a.chanimgpu", kConfig);
        dir.write("models/models/b.chanimgpu", kConfig);
        dir.write("models/Mixed.ChAnImGpu", kConfig);
        dir.write("models/other.fbx", "x");
        mount = std::make_unique<test::ScopedMount>(dir.file("models"), "/models/");
        render::set_backend(std::make_shared<render::CpuBackend>());
    }
    ~Factory() override { render::set_backend(nullptr); }
    orn::ref_ptr<Graphics::Model> make(const char* name) { return orn::ref_ptr<Graphics::Model>(character_model_factory(name)); }

    test::LogCapture log{true};
    test::TempDir dir;
    std::unique_ptr<test::ScopedMount> mount;
};

}  // namespace

TEST(GlobalSwitches, InitialValues) {
    EXPECT_TRUE(CharacterModelBase::_rendering_enabled);
    EXPECT_TRUE(CharacterModelBase::_compute_enabled);
    EXPECT_TRUE(CharacterModelBase::_shadow_enabled);
    EXPECT_FALSE(CharacterModelBase::_statistics_enabled);
    EXPECT_FALSE(model_viewer);
}

TEST_F(Factory, CompletesTheExtensionUnderModelsOnly) {
    auto a = make("a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->name(), "a.chanimgpu");
    EXPECT_EQ(a->path(), "/models/a.chanimgpu");
    EXPECT_EQ(a->getLoadState(), model::LS_LOADED);

    EXPECT_FALSE(make("b"));  // only in "/models/models/": no completion there
    EXPECT_FALSE(log.has("does not exist"));
    auto b = make("b.chanimgpu");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->path(), "/models/models/b.chanimgpu");
}

TEST_F(Factory, ExtensionCaseAndOtherNames) {
    auto mixed = make("Mixed.ChAnImGpu");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->name(), "Mixed.ChAnImGpu");

    EXPECT_FALSE(make("other.fbx"));
    EXPECT_FALSE(make("dir.v2/a"));  // a dot in a directory is no extension; no such file either
    EXPECT_FALSE(make(nullptr));
    EXPECT_EQ(log.count("does not exist"), 0u);

    EXPECT_FALSE(make("missing.chanimgpu"));
    EXPECT_EQ(log.count(8, "file 'missing.chanimgpu' does not exist"), 1u);
    EXPECT_FALSE(make("A.CHANIMGPU"));  // the file name itself is compared exactly
    EXPECT_EQ(log.count(8, "file 'A.CHANIMGPU' does not exist"), 1u);
}

// Loads the plug-in as a host does. The test executable links it too, so dlopen hands back the same
// library and its switches can be checked directly.
TEST_F(Factory, EntryPointsThroughDlopen) {
    void* lib = dlopen(ANIMATOR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = reinterpret_cast<void (*)()>(dlsym(lib, "init_graphics_plugin"));
    auto deinit = reinterpret_cast<void (*)()>(dlsym(lib, "deinit_graphics_plugin"));
    ASSERT_TRUE(init && deinit);

    test::TempDir animations;
    animations.write("anims/readme.txt", "x");
    lua_State* L = globalConfig;
    const int top = lua_gettop(L);
    Lua::Config cfg(L);
    const std::string chunk = "options = { graphics = { AnimationsPaths = { [[" + animations.file("anims") +
                              "]], [[/no/such/dir]] } } }\nanimator = { statistics_enabled = true }\n";
    ASSERT_TRUE(cfg.load_buffer(chunk.data(), chunk.size(), "host config"));
    lua_settop(L, top);
    ornvfs::set_default_tag("Animator");

    const size_t factories = Graphics::Models::inst().factoryCount();
    const size_t guis = ImGui::orn::registered_count();
    init();
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_TRUE(CharacterModelBase::_statistics_enabled);
    EXPECT_TRUE(log.has(8, "error mounting dir '/no/such/dir'"));
    EXPECT_TRUE(ornvfs::exists("/animations/readme.txt"));
    EXPECT_EQ(Graphics::Models::inst().factoryCount(), factories + 1);
    EXPECT_EQ(ImGui::orn::registered_count(), guis + 1);
    ImGui::orn::run_frame();
    EXPECT_EQ(ImGui::orn::registered_count(), guis + 1);  // the window stays registered

    auto& models = Graphics::Models::inst();
    EXPECT_TRUE(models.find("a"));
    EXPECT_TRUE(models.find("a.chanimgpu"));
    EXPECT_TRUE(models.find("Mixed.ChAnImGpu"));
    EXPECT_TRUE(models.find("b.chanimgpu"));
    EXPECT_FALSE(models.find("b"));
    EXPECT_FALSE(models.find("A.CHANIMGPU"));

    deinit();
    EXPECT_EQ(Graphics::Models::inst().factoryCount(), factories);
    EXPECT_EQ(ImGui::orn::registered_count(), guis);
    EXPECT_FALSE(ornvfs::exists("/animations/readme.txt"));
    EXPECT_FALSE(models.find("a"));
    EXPECT_EQ(dlclose(lib), 0);

    CharacterModelBase::_statistics_enabled = false;
    lua_pushnil(L);
    lua_setglobal(L, "options");
    lua_pushnil(L);
    lua_setglobal(L, "animator");
}
