// Helpers of the blend and graph tests (see BlendFixtures.h).
#include "tests/blend/BlendFixtures.h"

#include <memory>
#include <sstream>
#include <tuple>

#include "animator/blend/PropertyHolderImpl.h"
#include "animator/library/AnimationManager.h"
#include "tests/support/TestSupport.h"

namespace blendtest {

void expect_unplayable(const Animator::Animation& e) {
    test::LogCapture log;
    Animator::PropertyHolderImpl props;
    props.set_property("num_cycles", 3.0f);
    Animator::ShaderBlendSpace2D r;
    r.override_clip = r.samples[2].clip = 5.0f;
    EXPECT_FALSE(e.is_playable());
    EXPECT_TRUE(e._update(5.0f, &props, r) == 0.0f && e.get_duration(&props) == 0.0f && e.get_duration(nullptr) == 0.0f);
    EXPECT_TRUE(r.kind == Animator::BS_RECORD_EMPTY && r.cycle_duration == 0.0f && r.samples[2].clip == 0.0f);
    EXPECT_EQ(r.override_clip, 5.0f) << "fields the entry does not own are carried";
    EXPECT_EQ(r.blend_space_id, e.get_id());
    EXPECT_TRUE(e.get_root_matrix(6.0f, r).isIdentity() && e.get_root_end(r).isIdentity() &&
                e.get_root_start(r).isIdentity() && e.get_principal_motion(1.0f, nullptr).isIdentity());
    EXPECT_EQ(e.get_route_plan(&props), std::make_tuple(osg::Vec3f(0, 0, 0), osg::Vec2f(0, 0)));
    EXPECT_EQ(std::get<0>(e.get_route_plan(1.0f, 1.0f)), osg::Vec3f(0, 0, 0));
    EXPECT_EQ(log.size(), 0u) << "a missing clip is reported once, at load: " << log.dump();
}

namespace {

// A clip of `ticks` ticks at 30 per second whose root moves `distance` along +X at constant speed.
std::string clip_descriptor(int ticks, float distance) {
    std::ostringstream out;
    out << "orn_character_animation = { rate = 30, duration = " << ticks << ", animation = { " << TYPE << " = {\n";
    for (int i = 0; i <= ticks; ++i)
        out << "  { s = { 1, 1, 1 }, t = { " << distance * static_cast<float>(i) / static_cast<float>(ticks)
            << ", 0, 0 }, r = { 0, 0, 0, 1 } },\n";
    out << "} } }\n";
    return out.str();
}

// Entries take their ids in the order of these files.
const char* const FILES[][2] = {
    {"blend_space/a_single.lua", R"(return { type = "animation", name = "Walk_Fast", loop = true, loop_params = { 15, 45 } })"},
    {"blend_space/b_speed.lua", R"(return { type = "1D", name = "speed", loop = true, loop_params = { 15, 45 }, x_axis = { name = "speed" },
        { x = 0, animation = "idle" }, { x = 1, animation = "walk_slow" }, { x = 3, animation = "walk_fast" } })"},
    {"blend_space/c_grid.lua", R"(return { type = "2D", name = "grid", x_axis = { name = "speed" }, y_axis = { name = "turn" },
        { x = 0, y = 0, animation = "idle" },      { x = 1, y = 0, animation = "walk_slow" }, { x = 2, y = 0, animation = "walk_fast" },
        { x = 0, y = 1, animation = "walk_slow" }, { x = 1, y = 1, animation = "walk_fast" }, { x = 2, y = 1, animation = "run" },
        { x = 0, y = 2, animation = "walk_fast" }, { x = 1, y = 2, animation = "run" },       { x = 2, y = 2, animation = "idle" } })"},
    {"blend_space/d_missing.lua", R"(return { type = "animation", name = "nope" })"},
    {"blend_space/e_missing1d.lua", R"(return { type = "1D", name = "missing1d", { x = 0, animation = "idle" }, { x = 1, animation = "nope_either" } })"},
    {"blend_space/f_missing2d.lua", R"(return { type = "2D", name = "missing2d", { x = 0, y = 0, animation = "idle" }, { x = 1, y = 0, animation = "nope" } })"},
    {"blend_space/g_dup.lua", R"(return { type = "1D", name = "dup", { x = 0, animation = "idle" }, { x = 1, animation = "walk_slow" } })"},
    {"blend_space/h_dup.lua", R"(return { type = "1D", name = "dup", { x = 0, animation = "walk_slow" }, { x = 1, animation = "walk_fast" } })"},
    {"blend_space/i_notlua.lua", "this is ( not lua"},
    {"blend_space/j_notable.lua", "return 42"},
    {"blend_space/k_unknown.lua", R"(return { type = "3D", name = "cube" })"},
    {"blend_space/l_global.lua", R"(type = "animation" name = "idle")"},
    {"blend_space/m_flat.lua", R"(return { type = "1D", name = "flat", x_axis = { name = "speed" }, { x = 0, animation = "idle" }, { x = 0, animation = "walk_fast" } })"},
    {"blend_space/n_flat2d.lua", R"(return { type = "2D", name = "flat2d", x_axis = { name = "speed" }, y_axis = { name = "turn" },
        { x = 0, y = 0, animation = "idle" }, { x = 2, y = 0, animation = "walk_fast" } })"},
    {"graph/a_broken.lua", "anim_states = {"},
    {"graph/b_graph.lua", R"(default_blendspace = { name = "idle" }
        anim_states = { walk = { name = "speed", type = "1D", { x = 0, animation = "idle" }, { x = 1, animation = "run" } } })"},
};

struct Tree {
    test::TempDir dir;
    std::unique_ptr<test::ScopedMount> mount;
    std::vector<test::LogCapture::Entry> messages;
};
std::unique_ptr<Tree> g_tree;

// Releases the libraries, the mount and the directory after the last test.
struct TreeEnvironment : ::testing::Environment {
    void TearDown() override {
        if (g_tree) Animator::destroy_animation_managers();
        g_tree.reset();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TreeEnvironment);

}  // namespace

Animator::AnimationManager& library() {
    if (!g_tree) {
        g_tree = std::make_unique<Tree>();
        const test::TempDir& dir = g_tree->dir;
        const std::string t = TYPE;
        dir.write(t + ".skel", "skeleton = { " + t + " = { children = { spine = { m = { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1 } } } } }\n");
        const std::tuple<const char*, int, float> clips[] = {{"idle", 30, 0.0f}, {"run", 45, 4.5f}, {"walk_fast", 60, 4.0f}, {"walk_slow", 30, 1.0f}};
        for (const auto& [name, ticks, distance] : clips) dir.write(t + "/" + name + ".lua", clip_descriptor(ticks, distance));
        for (const auto& file : FILES) dir.write(t + "/" + file[0], file[1]);
        g_tree->mount = std::make_unique<test::ScopedMount>(dir.path(), "/animations/");
        test::LogCapture capture;
        Animator::get_animation_manager(TYPE);
        g_tree->messages = capture.entries();
    }
    return Animator::get_animation_manager(TYPE);
}

size_t load_messages(int severity, const std::string& text) {
    library();
    size_t n = 0;
    for (const auto& e : g_tree->messages) n += e.severity == severity && e.text.find(text) != std::string::npos;
    return n;
}

}  // namespace blendtest
