#include <gtest/gtest.h>

#include "attached/directories.h"
#include "attached/unpack.h"
#include "paths/path_spec.h"
#include "support.h"

#ifndef _WIN32
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

}  // namespace
