// Damaged attached data, through the launcher's own reader: each class of
// fault ends the launcher with its exact message and exit code 2.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gtest/gtest.h>

#include <functional>

#include "diag/messages.h"
#include "support.h"

namespace {

const std::vector<raw_entry> small_archive = {{u"main.dll", "run_code lives here"}, {u"data\\x.txt", "payload"}};

// Offsets in the attached data of a frame made without a content size:
// "KAY", zstd magic, frame header descriptor, window descriptor.
const size_t descriptor_at = 3 + 4;
const size_t window_at = descriptor_at + 1;

bytes plain_frame() {
    frame_options options;
    options.content_size = false;
    return attached_data(raw_archive(small_archive), options);
}

struct fault_case {
    const char* what;
    std::function<bytes()> make;
    const char* message; // nullptr: unpacks without failing
};

class LauncherReaderFaults : public testing::TestWithParam<fault_case> {};

TEST_P(LauncherReaderFaults, EndWithTheMessageAndExitCodeTwo) {
    const fault_case& c = GetParam();
    fs::path dir = scratch_directory();
    unpack_result result = unpack_with_launcher(c.make(), dir / "target");
    EXPECT_FALSE(result.aborted);
    if (c.message == nullptr) {
        EXPECT_EQ(-1, result.exit_code) << result.output;
        EXPECT_EQ("payload", read_file(dir / "target" / "data" / "x.txt"));
    } else {
        EXPECT_EQ(2, result.exit_code);
        EXPECT_EQ(std::string(c.message) + "\n", result.output);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, LauncherReaderFaults,
    testing::Values(
        fault_case{"intact", plain_frame, nullptr},
        fault_case{"bad magic",
                   [] {
                       bytes data = plain_frame();
                       data[0] = 'k';
                       return data;
                   },
                   MSG_NO_HEADER},
        fault_case{"corrupt block",
                   [] {
                       bytes data = plain_frame();
                       size_t header = ZSTD_frameHeaderSize(data.data() + 3, data.size() - 3);
                       data[3 + header] |= 0x06; // block type 3: reserved
                       return data;
                   },
                   MSG_DECODE},
        fault_case{"checksum mismatch",
                   [] {
                       bytes data = plain_frame();
                       data[data.size() - 12] ^= 0x55; // last byte of the frame
                       return data;
                   },
                   MSG_DECODE},
        fault_case{"window log 27",
                   [] {
                       bytes data = plain_frame();
                       data[window_at] = (27 - 10) << 3;
                       return data;
                   },
                   nullptr},
        fault_case{"window log 28",
                   [] {
                       bytes data = plain_frame();
                       data[window_at] = (28 - 10) << 3;
                       return data;
                   },
                   MSG_DECODE},
        fault_case{"dictionary ID",
                   [] {
                       bytes data = plain_frame();
                       data[descriptor_at] |= 0x01; // one byte of dictionary ID
                       data.insert(data.begin() + window_at + 1, 0x2A);
                       return data;
                   },
                   MSG_DECODE},
        fault_case{"no end marker, tail present",
                   [] { return attached_data(raw_archive(small_archive, false)); }, MSG_DECODE},
        fault_case{"no end marker, no tail",
                   [] {
                       frame_options options;
                       options.tail = false;
                       return attached_data(raw_archive(small_archive, false), options);
                   },
                   MSG_DECODE}),
    case_name());

} // namespace
