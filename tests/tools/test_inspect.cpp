// The inspect tool run as a build pipeline runs it: on the sample data it prints the library and the
// model and exits 0; on broken data it shows the messages and exits non-zero.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs the tool with `args` (stderr joined to stdout).
ToolRun inspect(const std::string& args) {
    const std::string command = std::string(ANIMATOR_BIN_DIR) + "/animator_inspect " + args + " 2>&1";
    ToolRun r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string animations() { return test::data_dir() + "/animations"; }

TEST(InspectTool, SampleLibraryPrintsEveryPartAndExitsZero) {
    const ToolRun r = inspect("--skeleton biped " + animations());
    ASSERT_EQ(r.status, 0) << r.out;
    // Table: a line that must appear in the report.
    const char* const expected[] = {
        "skeleton: root 'biped'",
        "biped_hand_R [",            // node tree
        "clips: 9",
        "idle ",                     // clip row
        "2.000 s   30.0 fps",        // idle: 60 ticks at 30 per second
        "travel (2.000 0.000 0.000) m",  // walk_loop_fast moves 2 m per cycle
        "turn 90.0 deg",             // turn_left
        "blend spaces: ",
        "overrides: 1",
        "biped_hand_R",              // a node the wave override masks
        "state graph: ",
        "messages: ",
        "(0 errors",
    };
    for (const char* line : expected) EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("digraph"), std::string::npos);
}

TEST(InspectTool, DotOptionAddsTheGraphInGraphvizForm) {
    const ToolRun r = inspect("--dot --skeleton biped " + animations());
    ASSERT_EQ(r.status, 0) << r.out;
    const size_t begin = r.out.find("digraph \"biped\" {");
    ASSERT_NE(begin, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\" -> \"", begin), std::string::npos);
    EXPECT_NE(r.out.find("\n}\n", begin), std::string::npos);
}

TEST(InspectTool, ModelModePrintsTheModelAndItsLibrary) {
    const ToolRun r = inspect("--model " + test::data_dir() + "/models/biped.chanimgpu " + animations());
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line : {"model biped.chanimgpu: skeleton type 'biped'", "levels of detail: ", "liveries: ",
                             "connectors: ", "biped_hand_R__conn_weapon", "idle timeline: ", "clips: 9"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

TEST(InspectTool, ReadsASkeletonTypeMadeFromAForeignFile) {
    if (!test::shared_assets_present()) GTEST_SKIP() << "shared assets are absent";
    // A glTF character converted to assimp's binary form: its own file is the skeleton and the clip.
    const std::string file = test::shared_assets_dir() + "/CesiumMan/CesiumMan.assbin";
    test::TempDir dir;
    std::filesystem::copy_file(file, dir.file("Skeleton_torso_joint_1.anim"));
    dir.mkdir("Skeleton_torso_joint_1");
    std::filesystem::copy_file(file, dir.file("Skeleton_torso_joint_1/walk.assbin"));
    const ToolRun r = inspect("--skeleton Skeleton_torso_joint_1 " + dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* line : {"skeleton: root 'Skeleton_torso_joint_1', 22 nodes", "clips: 1", "walk ",
                             "2.000 s   24.0 fps    48 ticks", "state graph: 0 states", "(0 errors"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

TEST(InspectTool, BrokenDataExitsNonZeroAndShowsTheMessage) {
    test::TempDir dir;
    // The sample skeleton with one clip file that is not a scene.
    std::filesystem::copy_file(animations() + "/biped.anim", dir.file("biped.anim"));
    dir.write("biped/idle.assbin", std::string("not a scene at all"));
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {"--skeleton biped " + dir.path(), "error loading"},
        {"--skeleton nobody " + animations(), "animation manager 'nobody' not found"},
        {"--skeleton biped " + dir.file("missing"), "can not mount animation directory"},
        {"--model " + dir.file("none.chanimgpu") + " " + animations(), "can not read model"},
    };
    for (const Case& c : cases) {
        const ToolRun r = inspect(c.args);
        EXPECT_EQ(r.status, 1) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find("error: "), std::string::npos) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
}

TEST(InspectTool, BadArgumentsPrintUsage) {
    for (const char* args : {"", "--skeleton", "--skeleton a --model b", "--bogus"}) {
        const ToolRun r = inspect(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find("usage:"), std::string::npos) << args;
    }
}

}  // namespace
