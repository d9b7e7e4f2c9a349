// The talvor-pack command: refusals, usage errors, list, verify, extract.
#include <gtest/gtest.h>

#include "support.h"

namespace {

std::string path_arg(const fs::path& path) { return path.u8string(); }

// On Windows none of these files can be made: a colon or a backslash is no
// character of a file name, names are UTF-16 and compared without letter
// case, and the runtime's directory listing (mingw's _wopendir, even with
// the \\?\ prefix) stops at 260 units, short of a name of 1024.
#ifndef _WIN32
// Nothing at all may be left in the output directory after a refusal.
void expect_no_output(const fs::path& out_dir) {
    EXPECT_TRUE(fs::is_empty(out_dir)) << "output directory not empty";
}

struct refusal_case {
    const char* what;
    std::vector<std::string> files; // created below "in", relative
    const char* rule;               // substring of the message
};

class PackRefusals : public testing::TestWithParam<refusal_case> {};

TEST_P(PackRefusals, ExitOneNamingTheFileAndTheRuleWritingNothing) {
    const refusal_case& c = GetParam();
    fs::path dir = scratch_directory();
    write_file(dir / "main.so", "main");
    for (const std::string& file : c.files) write_file(dir / "in" / fs::u8path(file), "x");
    fs::create_directories(dir / "out");
    std::string error;
    int status = run_pack({"create", "-o", path_arg(dir / "out" / "app.bin"), "--main", path_arg(dir / "main.so"),
                           "--threads", "1", path_arg(dir / "in")},
                          &error);
    EXPECT_EQ(1, status) << error;
    EXPECT_NE(std::string::npos, error.find(c.rule)) << error;
    EXPECT_NE(std::string::npos, error.find(dir.u8string())) << error;
    expect_no_output(dir / "out");
}

// ".." and empty components cannot come from a directory listing; the name
// rules themselves are checked in NameRules.
const refusal_case refusal_cases[] = {
    {"colon", {"c:x"}, "colon"},
    {"backslash", {"a\\b"}, "backslash"},
    {"case duplicate", {"Read.me", "sub/x", "read.ME"}, "letter case"},
    {"case duplicate dirs", {"Dir/f", "dir/f"}, "letter case"},
    {"over-long",
     {std::string(250, 'a') + "/" + std::string(250, 'b') + "/" + std::string(250, 'c') + "/" + std::string(250, 'd') +
      "/" + std::string(30, 'e')},
     "longer than 1023"},
    {"invalid UTF-8", {"bad\xFFname"}, "UTF-8"},
};
INSTANTIATE_TEST_SUITE_P(Names, PackRefusals, testing::ValuesIn(refusal_cases), case_name());
#endif

TEST(PackCommand, UsageErrorsExitTwo) {
    fs::path dir = scratch_directory();
    write_file(dir / "main.so", "main");
    std::string out = path_arg(dir / "out.bin"), main = path_arg(dir / "main.so");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"create", "--main", main},
        {"create", "-o", out},
        {"create", "-o", out, "--main", main, "--level", "99"},
        {"create", "-o", out, "--main", main, "--threads", "x"},
        {"create", "-o", out, "--main", main, "--bogus", "1"},
        {"list"},
        {"extract", out},
    };
    for (const auto& args : cases) EXPECT_EQ(2, run_pack(args)) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
    std::string text;
    EXPECT_EQ(0, run_pack({"--version"}, nullptr, &text));
    EXPECT_EQ(0u, text.find("talvor-pack "));
    // A missing main file is a failure of the work, not of the usage.
    EXPECT_EQ(1, run_pack({"create", "-o", out, "--main", path_arg(dir / "nothing")}));
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
}

class PackReading : public testing::Test {
  protected:
    void SetUp() override {
        dir = scratch_directory();
        write_file(dir / "main.so", "main library");
        write_file(dir / "in" / "data" / "big.bin", noise(200000, 5));
        write_file(dir / "in" / "empty", "");
        blob = dir / "app.bin";
        ASSERT_EQ(0, run_pack({"create", "-o", path_arg(blob), "--main", path_arg(dir / "main.so"), "--level", "1",
                               path_arg(dir / "in")}));
    }
    fs::path dir, blob;
};

TEST_F(PackReading, ListVerifyAndExtractTheAttachedData) {
    std::string text, error;
    EXPECT_EQ(0, run_pack({"list", path_arg(blob)}, &error, &text)) << error;
    EXPECT_EQ("          12  main.so\n"
              "      200000  data\\big.bin\n"
              "           0  empty\n",
              text);
    EXPECT_EQ(0, run_pack({"verify", path_arg(blob)}, &error, &text)) << error;
    EXPECT_NE(std::string::npos, text.find("OK, 3 entries, 200012 bytes")) << text;

    EXPECT_EQ(0, run_pack({"extract", path_arg(blob), path_arg(dir / "x")}, &error)) << error;
    EXPECT_EQ("main library", read_file(dir / "x" / "main.so"));
    EXPECT_EQ(read_file(dir / "in" / "data" / "big.bin"), read_file(dir / "x" / "data" / "big.bin"));
    EXPECT_TRUE(fs::exists(dir / "x" / "empty"));
}

TEST_F(PackReading, FindsTheDataInsideALargerFile) {
    // As in a linked executable: code before, more read-only data after, and
    // a stray signature that is no attached data.
    std::string content = read_file(blob);
    std::string host = noise(5000, 1) + std::string("KAY\x28\xB5\x2F\xFD", 7) + "junk" + noise(300, 2) + content +
                       noise(4000, 3);
    write_file(dir / "host.exe", host);
    std::string text, error;
    EXPECT_EQ(0, run_pack({"verify", path_arg(dir / "host.exe")}, &error, &text)) << error;
    EXPECT_EQ(0, run_pack({"list", path_arg(dir / "host.exe")}, &error, &text)) << error;
    EXPECT_NE(std::string::npos, text.find("data\\big.bin"));

    write_file(dir / "none.exe", noise(10000, 4));
    EXPECT_EQ(1, run_pack({"list", path_arg(dir / "none.exe")}, &error));
    EXPECT_NE(std::string::npos, error.find("no attached data")) << error;
}

TEST_F(PackReading, VerifyFailsOnAFlippedByte) {
    std::string content = read_file(blob);
    // Inside the compressed blocks, well after the frame header.
    content[content.size() / 2] ^= 0x01;
    write_file(dir / "bad.bin", content);
    std::string error;
    EXPECT_EQ(1, run_pack({"verify", path_arg(dir / "bad.bin")}, &error));
    EXPECT_NE(std::string::npos, error.find("talvor-pack: ")) << error;
}

TEST(PackVerify, StructuralFaultsAreReported) {
    const raw_entry main_entry{u"main.so", "m"};
    const std::string no_end = raw_archive({main_entry}, false);
    const struct {
        const char* what;
        std::string archive;
        frame_options options;
        const char* reason;
    } cases[] = {
        {"no end marker", no_end, {}, "end marker is missing"},
        {"data after end marker", raw_archive({main_entry}) + "xx", {}, "after the end marker"},
        {"unsafe name", raw_archive({main_entry, {u"..\\up", "u"}}), {}, "'..'"},
        {"case duplicate", raw_archive({main_entry, {u"A", "1"}, {u"a", "2"}}), {}, "letter case"},
        {"no entries", raw_archive({}), {}, "no entries"},
        {"size past the frame", raw_archive({main_entry}).substr(0, 10) + std::string("\xFF\0\0\0\0\0\0\0", 8),
         {}, "end marker is missing"},
        {"no checksum", raw_archive({main_entry}), {false, true, true}, "no content checksum"},
        {"no tail", raw_archive({main_entry}), {true, true, false}, "trailing length"},
    };
    fs::path dir = scratch_directory();
    for (const auto& c : cases) {
        bytes data = attached_data(c.archive, c.options);
        write_file(dir / "forged.bin", std::string(data.begin(), data.end()));
        std::string error;
        EXPECT_EQ(1, run_pack({"verify", path_arg(dir / "forged.bin")}, &error)) << c.what;
        EXPECT_NE(std::string::npos, error.find(c.reason)) << c.what << ": " << error;
    }
}

#ifndef _WIN32
TEST(PackExtract, NeverFollowsALinkOutOfTheDirectory) {
    fs::path dir = scratch_directory();
    fs::create_directories(dir / "outside");
    fs::create_directories(dir / "x");
    fs::create_symlink(dir / "outside", dir / "x" / "sub");
    fs::create_symlink(dir / "outside" / "victim", dir / "x" / "file");
    bytes data = attached_data(raw_archive({{u"file", "replaced"}, {u"sub\\f", "escaped"}}));
    write_file(dir / "app.bin", std::string(data.begin(), data.end()));
    std::string error;
    EXPECT_EQ(1, run_pack({"extract", path_arg(dir / "app.bin"), path_arg(dir / "x")}, &error));
    EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
    // The link named like an entry was replaced by the file, not written through.
    EXPECT_FALSE(fs::is_symlink(dir / "x" / "file"));
    EXPECT_EQ("replaced", read_file(dir / "x" / "file"));
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}
#endif

TEST(PackExtract, RefusesUnsafeNamesBeforeWritingThem) {
    fs::path dir = scratch_directory();
    bytes data = attached_data(raw_archive({{u"main.so", "m"}, {u"..\\escaped", "e"}}));
    write_file(dir / "app.bin", std::string(data.begin(), data.end()));
    std::string error;
    EXPECT_EQ(1, run_pack({"extract", path_arg(dir / "app.bin"), path_arg(dir / "x")}, &error));
    EXPECT_FALSE(fs::exists(dir / "escaped"));
    EXPECT_TRUE(fs::exists(dir / "x" / "main.so"));
}

} // namespace
