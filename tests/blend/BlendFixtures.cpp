// Helpers of the blend and graph tests (see BlendFixtures.h).
#include "tests/blend/BlendFixtures.h"

#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "animator/library/AnimationManager.h"
#include "tests/support/TestSupport.h"

namespace blendtest {

LuaState::LuaState() : _L(ORN_lua_open("blendtest")), _cfg(_L) { ORN_lua_openlibs(_L); }

LuaState::~LuaState() { ORN_lua_close(_L); }

bool LuaState::push(const std::string& text) { return _cfg.load_buffer(text.data(), text.size(), "blendtest"); }

bool LuaState::run(const std::string& text) {
    if (!push(text)) return false;
    _cfg.pop();
    return true;
}

std::string clip_descriptor(const std::string& root, int ticks, float distance) {
    std::ostringstream out;
    out << "orn_character_animation = { rate = 30, duration = " << ticks << ", animation = { " << root << " = {\n";
    for (int i = 0; i <= ticks; ++i) {
        const float x = ticks > 0 ? distance * static_cast<float>(i) / static_cast<float>(ticks) : 0.0f;
        out << "  { s = { 1, 1, 1 }, t = { " << x << ", 0, 0 }, r = { 0, 0, 0, 1 } },\n";
    }
    out << "} } }\n";
    return out.str();
}

namespace {

struct Tree {
    test::TempDir dir;
    std::unique_ptr<test::ScopedMount> mount;
    std::vector<test::LogCapture::Entry> messages;
};

void write_library(const test::TempDir& dir) {
    const std::string t = TYPE;
    dir.write(t + ".skel", "skeleton = { " + t + " = { children = { spine = { m = { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1 } } } } }\n");
    for (const ClipSpec& c : library_clips()) dir.write(t + "/" + c.name + ".lua", clip_descriptor(t, c.ticks, c.distance));

    const std::string bs = t + "/blend_space/";
    dir.write(bs + "a_single.lua", R"(return { type = "animation", name = "Walk_Fast", loop = true, loop_params = { 15, 45 } })");
    dir.write(bs + "b_speed.lua", R"(return { type = "1D", name = "speed", loop = true, loop_params = { 15, 45 },
        x_axis = { name = "speed" },
        { x = 0, animation = "idle" }, { x = 1, animation = "walk_slow" }, { x = 3, animation = "walk_fast" } })");
    dir.write(bs + "c_grid.lua", R"(return { type = "2D", name = "grid", x_axis = { name = "speed" }, y_axis = { name = "turn" },
        { x = 0, y = 0, animation = "idle" },      { x = 1, y = 0, animation = "walk_slow" }, { x = 2, y = 0, animation = "walk_fast" },
        { x = 0, y = 1, animation = "walk_slow" }, { x = 1, y = 1, animation = "walk_fast" }, { x = 2, y = 1, animation = "run" },
        { x = 0, y = 2, animation = "walk_fast" }, { x = 1, y = 2, animation = "run" },       { x = 2, y = 2, animation = "idle" } })");
    dir.write(bs + "d_missing.lua", R"(return { type = "animation", name = "nope" })");
    dir.write(bs + "e_missing1d.lua", R"(return { type = "1D", name = "missing1d",
        { x = 0, animation = "idle" }, { x = 1, animation = "nope_either" } })");
    dir.write(bs + "f_empty2d.lua", R"(return { type = "2D", name = "empty2d" })");
    dir.write(bs + "g_dup.lua", R"(return { type = "1D", name = "dup", { x = 0, animation = "idle" }, { x = 1, animation = "walk_slow" } })");
    dir.write(bs + "h_dup.lua", R"(return { type = "1D", name = "dup", { x = 0, animation = "walk_slow" }, { x = 1, animation = "walk_fast" } })");
    dir.write(bs + "i_notlua.lua", "this is ( not lua");
    dir.write(bs + "j_notable.lua", "return 42");
    dir.write(bs + "k_unknown.lua", R"(return { type = "3D", name = "cube" })");
    dir.write(bs + "l_global.lua", R"(type = "animation" name = "idle")");
    dir.write(bs + "m_flat.lua", R"(return { type = "1D", name = "flat", x_axis = { name = "speed" },
        { x = 0, animation = "idle" }, { x = 0, animation = "walk_fast" } })");
    dir.write(bs + "n_flat2d.lua", R"(return { type = "2D", name = "flat2d", x_axis = { name = "speed" }, y_axis = { name = "turn" },
        { x = 0, y = 0, animation = "idle" }, { x = 2, y = 0, animation = "walk_fast" } })");

    const std::string graph = t + "/graph/";
    dir.write(graph + "a_broken.lua", "anim_states = {");
    dir.write(graph + "b_graph.lua", R"(
default_blendspace = { name = "idle", loop = true }
anim_states = {
  idle = { name = "idle", type = "animation", loop = true },
  locomotion = { name = "speed", type = "1D", loop = true, x_axis = { name = "speed" },
                 { x = 0, animation = "idle" }, { x = 1, animation = "walk_slow" }, { x = 3, animation = "walk_fast" } },
  wave = { name = "nope", type = "animation" },
}
transitions = {
  { source = "idle", target = "locomotion", params = { transition_duration = 0.3, loop = true } },
  { source = "locomotion", target = "idle", params = { transition_duration = 0.3 } },
  { source = "idle", target = "wave", params = { transition_duration = 0.1 } },
}
)");

    const std::string b = BROKEN_TYPE;
    dir.write(b + ".skel", "skeleton = { " + b + " = {} }\n");
    dir.write(b + "/idle.lua", clip_descriptor(b, 30, 0.0f));
    dir.write(b + "/blend_space/bad.lua", "return {");
    dir.write(b + "/graph/bad.lua", "transitions = ");
}

Tree* g_tree = nullptr;

Tree& tree() {
    if (!g_tree) {
        g_tree = new Tree;
        write_library(g_tree->dir);
        g_tree->mount = std::make_unique<test::ScopedMount>(g_tree->dir.path(), "/animations/");
        test::LogCapture capture;
        Animator::get_animation_manager(TYPE);
        Animator::get_animation_manager(BROKEN_TYPE);
        g_tree->messages = capture.entries();
    }
    return *g_tree;
}

// Releases the libraries, the mount and the directory after the last test.
class TreeEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (!g_tree) return;
        Animator::destroy_animation_managers();
        delete g_tree;
        g_tree = nullptr;
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TreeEnvironment);

}  // namespace

void ensure_animation_tree() { tree(); }

size_t load_messages(int severity, const std::string& text) {
    size_t n = 0;
    for (const auto& e : tree().messages)
        if (e.severity == severity && e.text.find(text) != std::string::npos) ++n;
    return n;
}

}  // namespace blendtest
