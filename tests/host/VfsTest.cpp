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

std::string read_string(const std::string& path) {
    std::vector<char> data;
    if (!ornvfs::read_file(path, data)) return "<none>";
    return std::string(data.begin(), data.end());
}

TEST(Vfs, MountFailsForMissingDirectoriesAndFiles) {
    test::TempDir dir;
    std::string file = dir.write("plain.txt", "x");
    EXPECT_EQ(ornvfs::mount((dir.path() + "/nowhere").c_str(), "/vfs_missing/", true, "t-missing", true),
              ornvfs::invalid_mount);
    EXPECT_EQ(ornvfs::mount(file.c_str(), "/vfs_missing/", true, "t-missing", true), ornvfs::invalid_mount);
    EXPECT_EQ(ornvfs::mount(nullptr, "/vfs_missing/", true, "t-missing", true), ornvfs::invalid_mount);
    EXPECT_EQ(ornvfs::unmount_by_tag("t-missing"), 0);
}

TEST(Vfs, TwoDirectoriesAtOneMountPointFollowTheSearchOrder) {
    test::TempDir a, b, c;
    a.write("clip.txt", "from a");
    a.write("only_a.txt", "a");
    b.write("clip.txt", "from b");
    c.write("clip.txt", "from c");
    test::ScopedMount ma(a.path(), "/vfs_order/");
    test::ScopedMount mb(b.path(), "/vfs_order/", true);   // searched before a
    test::ScopedMount mc(c.path(), "/vfs_order/", false);  // searched after both
    ASSERT_TRUE(ma.ok() && mb.ok() && mc.ok());
    EXPECT_EQ(read_string("/vfs_order/clip.txt"), "from b");
    EXPECT_EQ(read_string("/vfs_order/only_a.txt"), "a");
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/clip.txt"), b.path());
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/only_a.txt"), a.path());
    EXPECT_EQ(ornvfs::get_real_dir("/vfs_order/none.txt"), "");
}

TEST(Vfs, UnmountByTagDropsOnlyThatTag) {
    test::TempDir a, b;
    a.write("x.txt", "a");
    b.write("y.txt", "b");
    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_tags/", true, "tag-one", true), ornvfs::invalid_mount);
    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_tags2/", true, "tag-one", true), ornvfs::invalid_mount);
    ASSERT_NE(ornvfs::mount(b.path().c_str(), "/vfs_tags/", true, "tag-two", true), ornvfs::invalid_mount);
    EXPECT_TRUE(ornvfs::exists("/vfs_tags/x.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-one"), 2);
    EXPECT_FALSE(ornvfs::exists("/vfs_tags/x.txt"));
    EXPECT_FALSE(ornvfs::exists("/vfs_tags2/x.txt"));
    EXPECT_TRUE(ornvfs::exists("/vfs_tags/y.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-one"), 0);
    EXPECT_EQ(ornvfs::unmount_by_tag("tag-two"), 1);
}

TEST(Vfs, NullTagTakesTheDefaultTag) {
    test::TempDir a;
    a.write("x.txt", "a");
    ornvfs::set_default_tag("PluginUnderTest");
    ASSERT_NE(ornvfs::mount(a.path().c_str(), "/vfs_default/", true, nullptr, false), ornvfs::invalid_mount);
    ornvfs::set_default_tag(nullptr);
    EXPECT_TRUE(ornvfs::exists("/vfs_default/x.txt"));
    EXPECT_EQ(ornvfs::unmount_by_tag("PluginUnderTest"), 1);
    EXPECT_FALSE(ornvfs::exists("/vfs_default/x.txt"));
}

TEST(Vfs, PathsAreNormalised) {
    test::TempDir a;
    a.write("human/walk.fbx", "walk");
    test::ScopedMount m(a.path(), "/vfs_norm/");
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(read_string("/vfs_norm//human/walk.fbx"), "walk");
    EXPECT_EQ(read_string("/vfs_norm/./human//walk.fbx"), "walk");
    EXPECT_EQ(read_string("vfs_norm/human/walk.fbx"), "walk");
    ornvfs::Stat st;
    ASSERT_TRUE(ornvfs::stat("/vfs_norm/" + std::string("/") + "human", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_DIRECTORY);
    ASSERT_TRUE(ornvfs::stat("/vfs_norm/human/walk.fbx", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_FILE);
    EXPECT_EQ(st.size, 4u);
    // The mount point and its parents are directories.
    ASSERT_TRUE(ornvfs::stat("/vfs_norm/", st));
    EXPECT_EQ(st.file_type, ornvfs::FT_DIRECTORY);
}

TEST(Vfs, EscapesAreRefused) {
    test::TempDir outside, root;
    outside.write("secret.txt", "secret");
    root.write("inside/ok.txt", "ok");
    ASSERT_EQ(::symlink(outside.path().c_str(), root.file("link_dir").c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), root.file("link_file").c_str()), 0);
    ASSERT_EQ(::symlink(root.file("inside/ok.txt").c_str(), root.file("link_inside").c_str()), 0);
    test::ScopedMount m(root.path(), "/vfs_escape/");
    ASSERT_TRUE(m.ok());

    EXPECT_FALSE(ornvfs::exists("/vfs_escape/inside/../inside/ok.txt"));
    EXPECT_FALSE(ornvfs::exists("/vfs_escape/../" + outside.path() + "/secret.txt"));
    EXPECT_FALSE(ornvfs::exists(outside.file("secret.txt")));  // a real path is not a virtual one
    EXPECT_FALSE(ornvfs::exists("/vfs_escape/link_dir/secret.txt"));
    EXPECT_FALSE(ornvfs::exists("/vfs_escape/link_file"));
    EXPECT_EQ(read_string("/vfs_escape/link_file"), "<none>");
    EXPECT_EQ(ornvfs::open("/vfs_escape/link_file"), nullptr);
    // A link that stays inside the mounted directory is fine.
    EXPECT_EQ(read_string("/vfs_escape/link_inside"), "ok");
    // Escaping entries are not listed either.
    std::vector<std::string> expected{"inside", "link_inside"};
    EXPECT_EQ(ornvfs::enumerate("/vfs_escape/"), expected);
    // A ".." mount point is refused.
    test::LogCapture log;
    EXPECT_EQ(ornvfs::mount(root.path().c_str(), "/vfs_escape/../x", true, "t-bad", true), ornvfs::invalid_mount);
    EXPECT_TRUE(log.has(8, "invalid mount point"));
}

TEST(Vfs, EnumerateMergesSortsAndDropsDuplicates) {
    test::TempDir a, b;
    a.write("human/walk.fbx", "");
    a.write("zombie/run.fbx", "");
    a.write("readme.txt", "");
    b.write("human/idle.fbx", "");
    b.write("dog/sit.fbx", "");
    test::ScopedMount ma(a.path(), "/vfs_enum/");
    test::ScopedMount mb(b.path(), "/vfs_enum/");
    std::vector<std::string> top{"dog", "human", "readme.txt", "zombie"};
    EXPECT_EQ(ornvfs::enumerate("/vfs_enum/"), top);
    std::vector<std::string> human{"idle.fbx", "walk.fbx"};
    EXPECT_EQ(ornvfs::enumerate("/vfs_enum//human"), human);
    EXPECT_TRUE(ornvfs::enumerate("/vfs_enum/nothing").empty());
    EXPECT_TRUE(ornvfs::enumerate("/vfs_enum/readme.txt").empty());
}

TEST(Vfs, MountPointsShowInTheirParentListing) {
    test::TempDir a;
    test::ScopedMount m(a.path(), "/vfs_parent/deep/mount/");
    std::vector<std::string> expected{"deep"};
    EXPECT_EQ(ornvfs::enumerate("/vfs_parent"), expected);
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
    std::vector<char> data{'o', 'l', 'd'};
    EXPECT_FALSE(ornvfs::read_file("/vfs_read/missing.bin", data));
    EXPECT_TRUE(data.empty());
    data = {'o'};
    EXPECT_FALSE(ornvfs::read_file("/vfs_read/dir", data));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(ornvfs::read_file("/vfs_read/empty.bin", data));
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(ornvfs::read_file("/vfs_read/big.bin", data));
    EXPECT_EQ(std::string(data.begin(), data.end()), big);

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
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (read_string("/vfs_threads/f.txt") != "data") ++failures;
        });
    }
    for (int i = 0; i < 50; ++i) {
        test::ScopedMount extra(a.path(), "/vfs_threads_other/");
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
