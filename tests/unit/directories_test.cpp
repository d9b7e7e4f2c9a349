#include <gtest/gtest.h>

#include <iostream>

#include "attached/directories.h"
#include "attached/unpack.h"
#include "paths/path_spec.h"
#include "support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Removes an empty directory behind the cache's back, so that a later
// request shows whether the cache or the file system answered.
void remove_behind_cache(const os_string& path) { remove_directory_tree(path); }

class Directories : public ::testing::Test {
protected:
    void SetUp() override {
        reset_unpack_state();
        scratch = make_scratch_directory(::testing::UnitTest::GetInstance()->current_test_info()->name());
        target_directory[0] = 0;
    }
    os_string scratch;
};

TEST_F(Directories, KnownDirectoriesSpareTheFileSystem) {
    os_string sub = join_path(scratch, OS_TEXT("sub"));
    EXPECT_TRUE(create_directory(sub.c_str()));
    EXPECT_TRUE(path_exists(sub));
    remove_behind_cache(sub);
    EXPECT_TRUE(create_directory(sub.c_str()));
    EXPECT_FALSE(path_exists(sub)) << "a known directory is not asked of the file system again";
}

TEST_F(Directories, ProfileFolderAndRootCountAsExisting) {
    os_char home[4096];
    ASSERT_TRUE(expand_path_spec(home, OS_TEXT("{HOME}"), 4096));
    EXPECT_TRUE(create_directory(home));
#ifdef _WIN32
    // A bare drive name counts as existing, even one that does not exist.
    EXPECT_TRUE(create_directory(L"Q:"));
    EXPECT_FALSE(create_directory(L"Q:\\"));
#else
    EXPECT_TRUE(create_directory("/"));
#endif
}

TEST_F(Directories, FullCacheStillCreatesButForgets) {
    // The profile folder is the first of the 1024 entries.
    for (size_t i = 1; i < known_directories_max; i++) {
        os_string path = join_path(scratch, OS_TEXT("d") + os_string(1, OS_TEXT('a' + i % 26)) +
                                                os_string(1, OS_TEXT('a' + (i / 26) % 26)) +
                                                os_string(1, OS_TEXT('a' + i / 676)));
        ASSERT_TRUE(create_directory(path.c_str()));
    }
    os_string extra = join_path(scratch, OS_TEXT("extra"));
    EXPECT_TRUE(create_directory(extra.c_str()));
    remove_behind_cache(extra);
    EXPECT_TRUE(create_directory(extra.c_str()));
    EXPECT_TRUE(path_exists(extra)) << "a directory past the cache's room is created again";
}

TEST_F(Directories, TreeCreatesMissingAncestorsFromTheTop) {
    os_string deep = join_path(join_path(join_path(scratch, OS_TEXT("a")), OS_TEXT("b")), OS_TEXT("c"));
    create_directory_tree(deep.c_str());
    EXPECT_TRUE(path_exists(deep));
    // Inside a file, nothing can be created, and the tree reports nothing.
    os_string parent_file = join_path(scratch, OS_TEXT("file"));
    os_file file = os_file_create(parent_file.c_str());
    os_file_close(file);
    os_string under_file = join_path(parent_file, OS_TEXT("x"));
    create_directory_tree(under_file.c_str());
    EXPECT_FALSE(os_is_directory(under_file.c_str()));
}

TEST_F(Directories, DeepTreeOfTwoThousandComponents) {
    os_string deep = scratch;
#ifdef _WIN32
    // SHFileOperationW, which removes the tree again, stops at paths of 260
    // characters; the loop that climbs is the same code on both systems.
    const int depth = 80;
#else
    const int depth = 2000;
#endif
    for (int i = 0; i < depth && deep.size() + 2 < 4000; i++) deep += os_string(1, OS_SEP) + OS_TEXT("a");
    create_directory_tree(deep.c_str());
    EXPECT_TRUE(os_is_directory(deep.c_str()));
    os_remove_tree(join_path(scratch, OS_TEXT("a")).c_str());
    EXPECT_FALSE(path_exists(join_path(scratch, OS_TEXT("a"))));
}

TEST_F(Directories, TargetDirectoryMustBeNew) {
    os_string target = join_path(scratch, OS_TEXT("target"));
    memcpy(target_directory, target.c_str(), (target.size() + 1) * sizeof(os_char));
    EXPECT_TRUE(create_directory(target.c_str()));
    EXPECT_TRUE(target_directory_created());

    reset_unpack_state();
    // Somebody else made it first: it is refused and never owned.
    EXPECT_FALSE(create_directory(target.c_str()));
    create_directory_tree(target.c_str());
    EXPECT_FALSE(target_directory_created());
    target_directory[0] = 0;
}

#ifndef _WIN32
// Makes a directory refuse the removal of its entries (`on`), or undoes it.
// Permissions do not stop root, so as root the immutable attribute does;
// false when the file system or the process cannot set it.
bool set_unremovable(const os_string& path, bool on) {
    if (geteuid() != 0) return chmod(path.c_str(), on ? 0500 : 0700) == 0;
    int directory = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0) return false;
    int flags = 0;
    bool done = ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(directory, FS_IOC_SETFLAGS, &flags) == 0;
    close(directory);
    return done;
}

void create_file(const os_string& path) { os_file_close(os_file_create(path.c_str())); }

// A chain of 1,100 directories, with files along it, and near its bottom a
// link to a directory outside and a directory `k` holding a file, is removed
// with only 64 descriptors allowed. When `k` refuses to give up its file,
// everything else still goes, and the call ends.
TEST_F(Directories, RemoveTreeOfAnyDepthInFewDescriptors) {
    struct removal_case {
        const char* what;
        bool locked;
    } const cases[] = {{"everything removable", false}, {"k keeps its file", true}};
    const int depth = 1100;
    os_string outside = join_path(scratch, "outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    create_file(join_path(outside, "kept"));
    for (const removal_case& c : cases) {
        SCOPED_TRACE(c.what);
        os_string top = join_path(scratch, "t"), path = top, locked, halfway;
        for (int i = 0; i < depth; i++) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            if (i % 100 == 0) create_file(join_path(path, "f"));
            if (i == 500) halfway = join_path(path, "f");
            if (i == depth - 50) {
                ASSERT_EQ(symlink(outside.c_str(), join_path(path, "l").c_str()), 0);
                locked = join_path(path, "k");
                ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
                create_file(join_path(locked, "f"));
            }
            path = join_path(path, "d");
        }
        if (c.locked && !set_unremovable(locked, true)) {
            std::cout << "cannot lock a directory here; case skipped\n";
            os_remove_tree(top.c_str());
            continue;
        }
        struct rlimit saved, low;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        low = saved;
        low.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        os_remove_tree(top.c_str());
        setrlimit(RLIMIT_NOFILE, &saved);

        EXPECT_TRUE(path_exists(join_path(outside, "kept"))) << "a link is removed, never its target";
        EXPECT_FALSE(path_exists(halfway));
        EXPECT_EQ(path_exists(top), c.locked);
        EXPECT_EQ(path_exists(join_path(locked, "f")), c.locked);
        if (c.locked) {
            set_unremovable(locked, false);
            os_remove_tree(top.c_str());
            EXPECT_FALSE(path_exists(top)) << "a later call removes what was let go";
        }
    }
}
#endif

}  // namespace
