// Helpers of the talvor-pack tests: scratch directories, forged attached
// data, the talvor-pack command, and the launcher's own reader run in this
// process.
#pragma once

#include <gtest/gtest.h>

#include <ctype.h>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

typedef std::vector<unsigned char> bytes;

// A fresh, empty directory for one test.
fs::path scratch_directory();
void write_file(const fs::path& path, const std::string& content);
std::string read_file(const fs::path& path);
// `size` bytes that compress poorly, different for each seed.
std::string noise(size_t size, unsigned seed);

struct raw_entry {
    std::u16string name;
    std::string data;
};
// The decoded archive: entries and, unless told otherwise, the end marker.
std::string raw_archive(const std::vector<raw_entry>& entries, bool end_marker = true);

struct frame_options {
    bool checksum = true;
    bool content_size = true; // false: the header carries a window descriptor
    bool tail = true;         // the fill and the trailing length
};
// "KAY", one frame of `archive`, and the tail.
bytes attached_data(const std::string& archive, const frame_options& options = frame_options());

// Runs talvor-pack with `args`; returns its exit status and its standard
// error in *error_text.
int run_pack(const std::vector<std::string>& args, std::string* error_text = nullptr,
             std::string* output_text = nullptr);

// What the launcher's reader did with some attached data.
struct unpack_result {
    int exit_code = -1; // -1: unpacked to the end marker without failing
    bool aborted = false;
    std::string output; // standard output
};
// Unpacks `data` through the launcher's reader (parent mode) into `target`,
// which must not exist yet.
unpack_result unpack_with_launcher(const bytes& data, const fs::path& target);

// Test names from a parameter's `what`, for parameterised tables.
struct case_name {
    template <class T> std::string operator()(const testing::TestParamInfo<T>& info) const {
        std::string name;
        for (const char* p = info.param.what; *p != 0; p++) name.push_back(isalnum((unsigned char)*p) ? *p : '_');
        return name;
    }
};
