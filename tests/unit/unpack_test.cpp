// The unpacker's handling of a target directory that somebody else made:
// nothing is written or made in it, not even the directory of a first entry
// that lies in a subdirectory, and the clean-up leaves it alone.
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <string>

#include "attached/reader.h"
#include "attached/unpack.h"
#include "attached/directories.h"
#include "launcher/launcher.h"
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

TEST(Unpack, ExistingTargetDirectoryIsNeitherWrittenNorRemoved) {
    os_string scratch = make_scratch_directory("existing_target");
    os_string target = join_path(scratch, OS_TEXT("target"));
    ASSERT_EQ(os_create_directory(target.c_str(), false), OS_DIR_CREATED);
    os_string planted = join_path(target, OS_TEXT("planted"));
    os_file_close(os_file_create(planted.c_str()));

    reset_unpack_state();
    memcpy(target_directory, target.c_str(), (target.size() + 1) * sizeof(os_char));
    std::string data = attached(entry("sub\\main.so", "library") + entry("b.txt", "text") + std::string(2, '\0'));
    attached_cursor = (const unsigned char*)data.data();
    attached_length = data.size();

    ::testing::internal::CaptureStderr();
    int code = -1;
    try {
        EXPECT_FALSE(create_target_directory());
        open_attached_data();
        unpack_attached_data(false);
    } catch (const process_end& end) {
        code = end.code;
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    close_attached_data();
    EXPECT_EQ(code, 2);
    std::string expected = "Error, failed to open '";
    for (os_char c : join_path(join_path(target, OS_TEXT("sub")), OS_TEXT("main.so"))) expected += (char)c;
    expected += "' for writing.\n";
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    EXPECT_EQ(err, expected);
    EXPECT_FALSE(path_exists(join_path(target, OS_TEXT("sub"))));

    cleanup_child();
    EXPECT_TRUE(path_exists(planted)) << "a directory this launcher did not make is not removed";
    reset_unpack_state();
    target_directory[0] = 0;
    remove_directory_tree(scratch);
}

}  // namespace
