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

TEST_F(Factory, NameRules) {
    struct Case {
        const char* name;
        const char* path;     // nullptr: no model
        size_t missing_logs;  // "does not exist" messages
    };
    const Case cases[] = {
        {"a", "/models/a.chanimgpu", 0},
        {"b", nullptr, 0},  // only in "/models/models/": no completion there
        {"b.chanimgpu", "/models/models/b.chanimgpu", 0},
        {"Mixed.ChAnImGpu", "/models/Mixed.ChAnImGpu", 0},
        {"other.fbx", nullptr, 0},
        {"dir.v2/a", nullptr, 0},  // a dot in a directory is no extension; no such file either
        {"missing.chanimgpu", nullptr, 1},
        {"A.CHANIMGPU", nullptr, 1},  // the file name itself is compared exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        auto model = make(c.name);
        EXPECT_EQ(bool(model), c.path != nullptr);
        if (model) {
            EXPECT_EQ(model->path(), c.path);
            EXPECT_EQ(model->getLoadState(), model::LS_LOADED);
        }
        EXPECT_EQ(log.count(8, (std::string("file '") + c.name + "' does not exist").c_str()), c.missing_logs);
        EXPECT_EQ(log.count("does not exist"), c.missing_logs);
    }
    EXPECT_EQ(make("a")->name(), "a.chanimgpu");
    EXPECT_FALSE(make(nullptr));
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
