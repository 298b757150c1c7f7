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
    if (!ornvfs::read_file(path, data)) return "<none>";
    return std::string(data.begin(), data.end());
}

TEST(Vfs, MountsNeedADirectoryAndUnmountByTagDropsOnlyThatTag) {
    test::TempDir a, b;
    const std::string file = a.write("x.txt", "a");
    b.write("y.txt", "b");
    for (const std::string& real : {a.path() + "/nowhere", file})
        EXPECT_EQ(ornvfs::mount(real.c_str(), "/vfs_tags/", true, "tag-one", true), ornvfs::invalid_mount) << real;
    EXPECT_EQ(ornvfs::mount(nullptr, "/vfs_tags/", true, "tag-one", true), ornvfs::invalid_mount);

    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_tags/", true, "tag-one", true), ornvfs::invalid_mount);
    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_tags2/", true, "tag-one", true), ornvfs::invalid_mount);
    ASSERT_NE(ornvfs::mount(b.path().c_str(), "/vfs_tags/", true, "tag-two", true), ornvfs::invalid_mount);
    ornvfs::set_default_tag("PluginUnderTest");
    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_default/", true, nullptr, false), ornvfs::invalid_mount);
    ornvfs::set_default_tag(nullptr);
    EXPECT_TRUE(ornvfs::exists("/vfs_tags/x.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-one"), 2);
    EXPECT_FALSE(ornvfs::exists("/vfs_tags/x.txt") || ornvfs::exists("/vfs_tags2/x.txt"));
    EXPECT_TRUE(ornvfs::exists("/vfs_tags/y.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-one"), 0);
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-two"), 1);
    EXPECT_TRUE(ornvfs::exists("/vfs_default/x.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("PluginUnderTest"), 1) << "a null tag takes the default tag";
    EXPECT_FALSE(ornvfs::exists("/vfs_default/x.txt"));
}

TEST(Vfs, DirectoriesAtOneMountPointFollowTheSearchOrderAndPathsAreNormalised) {
    test::TempDir a, b, c;
    a.write("human/walk.fbx", "walk");
    a.write("only_a.txt", "a");
    b.write("human/walk.fbx", "from b");
    c.write("human/walk.fbx", "from c");
    test::ScopedMount ma(a.path(), "/vfs_order/");
    test::ScopedMount mb(b.path(), "/vfs_order/", true);   // searched before a
    test::ScopedMount mc(c.path(), "/vfs_order/", false);  // searched after both
    ASSERT_TRUE(ma.ok() && mb.ok() && mc.ok());
    for (const char* path : {"/vfs_order/human/walk.fbx", "/vfs_order//human/walk.fbx",
                             "/vfs_order/./human//walk.fbx", "vfs_order/human/walk.fbx"})
        EXPECT_EQ(read_string(path), "from b") << path;
    EXPECT_EQ(read_string("/vfs_order/only_a.txt"), "a");
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/human/walk.fbx"), b.path());
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/only_a.txt"), a.path());
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/none.txt"), "");

    ornvfs::Stat st;
    ASSERT_TRUE(ornvfs::stat("/vfs_order//human", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_DIRECTORY);
    ASSERT_TRUE(ornvfs::stat("/vfs_order/only_a.txt", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_FILE);
    EXPECT_EQ(st.size, 1u);
    ASSERT_TRUE(ornvfs::stat("/vfs_order/", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_DIRECTORY) << "the mount point is a directory";
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
    for (const std::string& path : {std::string("/vfs_escape/inside/../inside/ok.txt"),
                                    "/vfs_escape/../" + outside.path() + "/secret.txt",
                                    outside.file("secret.txt"),  // a real path is not a virtual one
                                    std::string("/vfs_escape/link_dir/secret.txt"), std::string("/vfs_escape/link_file")})
        EXPECT_FALSE(ornvfs::exists(path)) << path;
    EXPECT_EQ(read_string("/vfs_escape/link_file"), "<none>");
    EXPECT_EQ(ornvfs::open("/vfs_escape/link_file"), nullptr);
    EXPECT_EQ(read_string("/vfs_escape/link_inside"), "ok") << "a link that stays inside is fine";
    EXPECT_EQ(read_string("/vfs_escape/alias/ok.txt"), "ok") << "so is a directory link in the middle of a path";
    EXPECT_FALSE(ornvfs::exists("/vfs_escape/dangling"));
    EXPECT_EQ(ornvfs::enumerate("/vfs_escape/"), (Names{"alias", "inside", "link_inside"}));
    EXPECT_EQ(ornvfs::enumerate("/vfs_escape/alias"), (Names{"ok.txt"}));

    test::LogCapture log;
    EXPECT_EQ(ornvfs::mount(root.path().c_str(), "/vfs_escape/../x", true, "t-bad", true), ornvfs::invalid_mount);
    EXPECT_TRUE(log.has(8, "invalid mount point"));
}

TEST(Vfs, EnumerateMergesSortsAndDropsDuplicatesAndListsMountPoints) {
    test::TempDir a, b, c;
    a.write("human/walk.fbx", "");
    a.write("zombie/run.fbx", "");
    a.write("readme.txt", "");
    b.write("human/idle.fbx", "");
    b.write("dog/sit.fbx", "");
    test::ScopedMount ma(a.path(), "/vfs_enum/");
    test::ScopedMount mb(b.path(), "/vfs_enum/");
    test::ScopedMount mc(c.path(), "/vfs_parent/deep/mount/");
    EXPECT_EQ(ornvfs::enumerate("/vfs_enum/"), (Names{"dog", "human", "readme.txt", "zombie"}));
    EXPECT_EQ(ornvfs::enumerate("/vfs_enum//human"), (Names{"idle.fbx", "walk.fbx"}));
    EXPECT_TRUE(ornvfs::enumerate("/vfs_enum/nothing").empty());
    EXPECT_TRUE(ornvfs::enumerate("/vfs_enum/readme.txt").empty());
    EXPECT_EQ(ornvfs::enumerate("/vfs_parent"), Names{"deep"});
    EXPECT_TRUE(ornvfs::exists("/vfs_parent/deep"));
}

TEST(Vfs, ReadFileGivesTheWholeFileOrNothing) {
    test::TempDir a;
    std::string big(300000, 'x');
    big[123456] = 'y';
    a.write("big.bin", big);
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
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size(), big.size());
    char chunk[10];
    EXPECT_EQ(file->read(chunk, sizeof(chunk)), sizeof(chunk));
    EXPECT_EQ(ornvfs::open("/vfs_read/dir"), nullptr);
}

TEST(Vfs, ConcurrentReadsWhileMounting) {
    test::TempDir a;
    a.write("f.txt", "data");
    test::ScopedMount m(a.path(), "/vfs_threads/");
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (read_string("/vfs_threads/f.txt") != "data") ++failures;
        });
    for (int i = 0; i < 50; ++i) test::ScopedMount extra(a.path(), "/vfs_threads_other/");
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
