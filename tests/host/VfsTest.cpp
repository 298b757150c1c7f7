// The virtual file system: mounts and tags, search order, normalised paths, refused escapes, merged
// listings and whole-file reads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/Vfs.h"
#include "tests/support/TestSupport.h"

namespace {

using Names = std::vector<std::string>;

std::string read_string(const std::string& path) {
    std::vector<char> data;
    return ornvfs::read_file(path, data) ? std::string(data.begin(), data.end()) : "<none>";
}

bool mount(const std::string& real, const char* point, const char* tag) {
    return ornvfs::mount(real.c_str(), point, true, tag, true) != ornvfs::invalid_mount;
}

TEST(Vfs, MountsNeedADirectoryAndUnmountByTagDropsOnlyThatTag) {
    test::TempDir a, b;
    const std::string file = a.write("x.txt", "a");
    b.write("y.txt", "b");
    EXPECT_FALSE(mount(a.path() + "/nowhere", "/vfs_tags/", "tag-one") || mount(file, "/vfs_tags/", "tag-one"));
    EXPECT_EQ(ornvfs::mount(nullptr, "/vfs_tags/", true, "tag-one", true), ornvfs::invalid_mount);
    ASSERT_TRUE(mount(a.path(), "/vfs_tags/", "tag-one") && mount(a.path(), "/vfs_tags2/", "tag-one") &&
                mount(b.path(), "/vfs_tags/", "tag-two"));
    ornvfs::set_default_tag("PluginUnderTest");
    ASSERT_TRUE(mount(a.path(), "/vfs_default/", nullptr));
    ornvfs::set_default_tag(nullptr);
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-one"), 2);
    EXPECT_FALSE(ornvfs::exists("/vfs_tags/x.txt") || ornvfs::exists("/vfs_tags2/x.txt"));
    EXPECT_TRUE(ornvfs::exists("/vfs_tags/y.txt") && ornvfs::exists("/vfs_default/x.txt"));
    EXPECT_TRUE(ornvfs::unmount_by_tag("tag-two") == 1 && ornvfs::unmount_by_tag("PluginUnderTest") == 1)
        << "a null tag takes the default tag";
    EXPECT_FALSE(ornvfs::exists("/vfs_tags/y.txt") || ornvfs::exists("/vfs_default/x.txt"));
}

TEST(Vfs, DirectoriesAtOneMountPointFollowTheSearchOrderMergeTheirListingsAndPathsAreNormalised) {
    test::TempDir a, b, c, d;
    a.write("human/walk.fbx", "walk");
    a.write("only_a.txt", "a");
    b.write("human/walk.fbx", "from b");
    b.write("dog/sit.fbx", "");
    c.write("human/walk.fbx", "from c");
    c.write("human/idle.fbx", "idle");
    test::ScopedMount ma(a.path(), "/vfs_order/");
    test::ScopedMount mb(b.path(), "/vfs_order/", true);   // searched before a
    test::ScopedMount mc(c.path(), "/vfs_order/", false);  // searched after both
    test::ScopedMount md(d.path(), "/vfs_parent/deep/mount/");
    ASSERT_TRUE(ma.ok() && mb.ok() && mc.ok() && md.ok());
    // What a path reads and the real directory it is found in.
    const auto found = [](const std::string& path) { return read_string(path) + " in " + ornvfs::get_real_dir(path); };
    for (const char* path : {"/vfs_order/human/walk.fbx", "/vfs_order//human/walk.fbx", "/vfs_order/./human//walk.fbx",
                             "vfs_order/human/walk.fbx"})
        EXPECT_EQ(found(path), "from b in " + b.path()) << path;
    EXPECT_EQ(found("/vfs_order/only_a.txt"), "a in " + a.path());
    EXPECT_EQ(found("/vfs_order/human/idle.fbx"), "idle in " + c.path());
    EXPECT_EQ(found("/vfs_order/none.txt"), "<none> in ");
    ornvfs::Stat st;
    EXPECT_TRUE(ornvfs::stat("/vfs_order/only_a.txt", st) && st.file_type == ornvfs::FT_FILE && st.size == 1u);
    for (const char* dir : {"/vfs_order//human", "/vfs_order/", "/vfs_parent/deep"})  // mount points are directories
        EXPECT_TRUE(ornvfs::stat(dir, st) && st.file_type == ornvfs::FT_DIRECTORY) << dir;
    EXPECT_FALSE(ornvfs::stat("/vfs_order/none.txt", st));
    EXPECT_EQ(ornvfs::enumerate("/vfs_order/"), (Names{"dog", "human", "only_a.txt"}));
    EXPECT_EQ(ornvfs::enumerate("/vfs_order//human"), (Names{"idle.fbx", "walk.fbx"}));
    EXPECT_TRUE(ornvfs::enumerate("/vfs_order/nothing").empty() && ornvfs::enumerate("/vfs_order/only_a.txt").empty());
    EXPECT_EQ(ornvfs::enumerate("/vfs_parent"), Names{"deep"});
}

TEST(Vfs, DotDotAndSymlinksOutOfTheMountAreRefused) {
    test::TempDir outside, root;
    outside.write("secret.txt", "secret");
    root.write("inside/ok.txt", "ok");
    ASSERT_EQ(::symlink(outside.path().c_str(), root.file("link_dir").c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), root.file("link_file").c_str()), 0);
    ASSERT_EQ(::symlink(root.file("inside/ok.txt").c_str(), root.file("link_inside").c_str()), 0);
    ASSERT_EQ(::symlink(root.file("inside").c_str(), root.file("alias").c_str()), 0);
    ASSERT_EQ(::symlink(root.file("nowhere").c_str(), root.file("dangling").c_str()), 0);
    test::ScopedMount m(root.path(), "/vfs_escape/");
    ASSERT_TRUE(m.ok());
    const std::string refused[] = {"/vfs_escape/inside/../inside/ok.txt", "/vfs_escape/.." + outside.file("secret.txt"),
                                   outside.file("secret.txt"),  // a real path is not a virtual one
                                   "/vfs_escape/link_dir/secret.txt", "/vfs_escape/link_file", "/vfs_escape/dangling"};
    for (const std::string& path : refused) EXPECT_FALSE(ornvfs::exists(path)) << path;
    EXPECT_TRUE(read_string("/vfs_escape/link_file") == "<none>" && !ornvfs::open("/vfs_escape/link_file"));
    EXPECT_EQ(read_string("/vfs_escape/link_inside"), "ok") << "a link that stays inside is fine";
    EXPECT_EQ(read_string("/vfs_escape/alias/ok.txt"), "ok") << "so is a directory link in the middle of a path";
    EXPECT_EQ(ornvfs::enumerate("/vfs_escape/"), (Names{"alias", "inside", "link_inside"}));
    EXPECT_EQ(ornvfs::enumerate("/vfs_escape/alias"), (Names{"ok.txt"}));

    test::LogCapture log;
    EXPECT_EQ(ornvfs::mount(root.path().c_str(), "/vfs_escape/../x", true, "t-bad", true), ornvfs::invalid_mount);
    EXPECT_TRUE(log.has(8, "invalid mount point"));
}

TEST(Vfs, ReadsGiveTheWholeFileOrNothingAlsoWhileOthersMount) {
    test::TempDir a;
    std::string big(300000, 'x');
    big[123456] = 'y';
    a.write("big.bin", big);
    a.write("small.txt", "data");
    a.write("empty.bin", "");
    a.mkdir("dir");
    test::ScopedMount m(a.path(), "/vfs_read/");
    for (const char* path : {"/vfs_read/missing.bin", "/vfs_read/dir", "/vfs_read/empty.bin"}) {
        std::vector<char> data{'o', 'l', 'd'};
        EXPECT_EQ(ornvfs::read_file(path, data), std::string(path) == "/vfs_read/empty.bin") << path;
        EXPECT_TRUE(data.empty()) << path;
    }
    EXPECT_EQ(read_string("/vfs_read/big.bin"), big);
    auto file = ornvfs::open("/vfs_read/big.bin");
    char chunk[10];
    ASSERT_TRUE(file && file->size() == big.size() && file->read(chunk, sizeof(chunk)) == sizeof(chunk));
    EXPECT_EQ(ornvfs::open("/vfs_read/dir"), nullptr);

    std::atomic<int> failures{0};
    std::thread reader([&] {
        for (int i = 0; i < 500; ++i) failures += read_string("/vfs_read/small.txt") != "data";
    });
    for (int i = 0; i < 50; ++i) test::ScopedMount extra(a.path(), "/vfs_read_other/");
    reader.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
