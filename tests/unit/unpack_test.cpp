// The unpacker's handling of a target directory that somebody else made:
// nothing is written into it, nothing is loaded from it, and the clean-up
// leaves it alone.
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <string>

#include "attached/reader.h"
#include "attached/unpack.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "seam.h"
#include "support.h"

namespace {

std::string entry(const char* name, const std::string& data) {
    std::string bytes;
    for (const char* p = name; *p; p++) bytes += std::string{*p, '\0'};
    bytes += std::string(2, '\0');
    for (int i = 0; i < 8; i++) bytes += (char)((data.size() >> (8 * i)) & 0xFF);
    return bytes + data;
}

std::string attached(const std::string& archive) {
    std::string frame(ZSTD_compressBound(archive.size()), '\0');
    frame.resize(ZSTD_compress(&frame[0], frame.size(), archive.data(), archive.size(), 3));
    std::string tail(11, '\0');
    return "KAY" + frame + tail;
}

// Unpacks `data` as a parent into `target`, which somebody else made, and
// expects the refusal: exit 2 and a failure to open `first_path`.
void expect_refused(const os_string& target, const std::string& data, const os_string& first_path) {
    reset_unpack_state();
    memcpy(target_directory, target.c_str(), (target.size() + 1) * sizeof(os_char));
    attached_cursor = (const unsigned char*)data.data();
    attached_length = data.size();

    ::testing::internal::CaptureStderr();
    int code = -1;
    try {
        open_attached_data();
        unpack_attached_data(false);
    } catch (const process_end& end) {
        code = end.code;
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    close_attached_data();
    EXPECT_EQ(code, 2);
    std::string expected = "Error, failed to open '";
    for (os_char c : first_path) expected += (char)c;
    expected += "' for writing.\n";
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    EXPECT_EQ(err, expected);
}

class Unpack : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = make_scratch_directory(::testing::UnitTest::GetInstance()->current_test_info()->name());
        target = join_path(scratch, OS_TEXT("target"));
        ASSERT_EQ(os_create_directory(target.c_str(), false), OS_DIR_CREATED);
        planted = join_path(target, OS_TEXT("planted"));
        os_file_close(os_file_create(planted.c_str()));
    }
    void TearDown() override {
        reset_unpack_state();
        target_directory[0] = 0;
        remove_directory_tree(scratch);
    }
    os_string scratch, target, planted;
};

TEST_F(Unpack, ExistingTargetDirectoryIsNeitherWrittenNorRemoved) {
    std::string data = attached(entry("main.so", "library") + entry("b.txt", "text") + std::string(2, '\0'));
    expect_refused(target, data, join_path(target, OS_TEXT("main.so")));
    EXPECT_FALSE(path_exists(join_path(target, OS_TEXT("main.so"))));

    cleanup_child();
    EXPECT_TRUE(path_exists(planted)) << "a directory this launcher did not make is not removed";
}

// A hand-made archive may put the main library in a subdirectory: the
// target directory is found foreign before anything is made inside it.
TEST_F(Unpack, NoDirectoryIsMadeInsideAnExistingTargetDirectory) {
    std::string data = attached(entry("sub\\main.so", "library") + std::string(2, '\0'));
    os_string sub = join_path(target, OS_TEXT("sub"));
    expect_refused(target, data, join_path(sub, OS_TEXT("main.so")));
    EXPECT_FALSE(path_exists(sub));
}

}  // namespace
