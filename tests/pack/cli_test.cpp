// The talvor-pack command: refusals, usage errors, list, verify, extract.
#include <gtest/gtest.h>

#include "support.h"

#ifdef _WIN32
#define SEPARATOR "\\"
#else
#define SEPARATOR "/"
#endif

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
                           "--threads", "1", path_arg(dir / "in" / "")},
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

// One command line after another in a fresh tree; each step's output
// (standard output on success, standard error otherwise) holds the expected
// fragments. "@" stands for the tree's directory, in arguments and fragments;
// a step "cat FILE" reads FILE instead of running talvor-pack.
struct cli_step {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> expect;
};

struct cli_case {
    const char* what;
    std::vector<std::string> extra; // more files below the tree; "link->target" makes a symbolic link
    bool posix_only;                // names or links that Windows cannot make
    std::vector<cli_step> steps;
};

class PackCli : public testing::TestWithParam<cli_case> {};

std::string with_tree(std::string text, const std::string& tree) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + tree.size()))
        text.replace(at, 1, tree);
    return text;
}

TEST_P(PackCli, StepsExitAndSayWhatIsExpected) {
    const cli_case& c = GetParam();
#ifdef _WIN32
    if (c.posix_only) GTEST_SKIP() << "Windows cannot make these files or links";
#endif
    fs::path dir = scratch_directory();
    std::string tree = path_arg(dir);
    for (const char* file : {"main.so", "README", "build/libapp.so", "build/readme", "build/sub/x.txt",
                             "build/keep.pyc", "build/__pycache__/c.dat"})
        write_file(dir / file, file);
    fs::create_directories(dir / "out");
    for (const std::string& extra : c.extra) {
        size_t arrow = extra.find("->");
        if (arrow == std::string::npos)
            write_file(dir / fs::u8path(extra), "extra");
        else
            fs::create_symlink(extra.substr(arrow + 2), dir / fs::u8path(extra.substr(0, arrow)));
    }
    for (const cli_step& step : c.steps) {
        std::vector<std::string> args;
        for (const std::string& arg : step.args) args.push_back(with_tree(arg, tree));
        std::string output, error;
        int status = 0;
        if (args[0] == "cat")
            output = read_file(fs::u8path(args[1]));
        else
            status = run_pack(args, &error, &output);
        const std::string& shown = status == 0 ? output : error;
        EXPECT_EQ(step.status, status) << step.args[0] << ": " << error;
        for (const std::string& fragment : step.expect)
            EXPECT_NE(std::string::npos, shown.find(with_tree(fragment, tree)))
                << step.args[0] << ": '" << fragment << "' not in:\n" << shown;
    }
}

const std::vector<std::string> create_app = {"create", "-o", "@/out/app.bin", "--threads", "1", "--main"};
std::vector<std::string> create(std::vector<std::string> rest) {
    rest.insert(rest.begin(), create_app.begin(), create_app.end());
    return rest;
}
const cli_step list_app = {{"list", "@/out/app.bin"}, 0, {}};
cli_step list_expecting(std::vector<std::string> expect) { return {list_app.args, 0, expect}; }

const char exit_text[] = "Exit status: 0 success, 1 failure, 2 usage error";
const cli_case cli_cases[] = {
    {"help after each command", {}, false,
     {{{"create", "-o", "x", "--help"}, 0, {"usage: talvor-pack create", "--file SOURCE[=NAME]", exit_text}},
      {{"list", "--help"}, 0, {"usage: talvor-pack list", exit_text}},
      {{"verify", "-h"}, 0, {"usage: talvor-pack verify", exit_text}},
      {{"extract", "--help"}, 0, {"usage: talvor-pack extract", "--force", exit_text}},
      {{"--help"}, 0, {"talvor-pack create", "talvor-pack extract", exit_text}}}},
    {"options with equals and summary line", {}, false,
     {{{"create", "--output=@/out/app.bin", "--main=@/main.so", "--level=1", "--threads=1", "@/README"},
       0,
       {"talvor-pack: @/out/app.bin: 2 files, 13 B -> ", "%), ", " s\n"}}}},
    {"main inside an input directory stored once", {}, false,
     {{create({"@/build/libapp.so", "@/build/"}), 0, {"5 files"}},
      list_expecting({"  libapp.so\n", "  sub" SEPARATOR "x.txt\n"})}},
    {"same name twice", {}, false,
     {{create({"@/main.so", "@/build/", "--file=@/README=readme"}), 1, {"stored as 'readme', the name of '"}}}},
    {"same name ignoring case", {}, false,
     {{create({"@/main.so", "@/build/", "@/README"}), 1,
       {"only in letter case, which Windows cannot hold apart", "README"}}}},
    {"dangling link named", {"build/gone->nowhere"}, true,
     {{create({"@/main.so", "@/build/"}), 1, {"'@/build/gone': the symbolic link cannot be followed: No such file"}}}},
    {"missing output directory named", {}, false,
     {{{"create", "-o", "@/nodir/app.bin", "--main", "@/main.so"}, 1,
       {"'@/nodir/app.bin': cannot create it: No such file or directory"}}}},
    {"Windows names refused", {}, false,
     {{create({"@/main.so", "--file", "@/README=docs/Aux.c"}), 1, {"'Aux.c' is a device name"}},
      {create({"@/main.so", "--file", "@/README=COM1"}), 1, {"device name"}},
      {create({"@/main.so", "--file", "@/README=x/trail "}), 1, {"'trail ' ends in a dot or a blank"}}}},
    {"Windows names refused in directories", {"build/sub/nul.txt", "build/file.", "build/a?b", "build/CON"}, true,
     {{create({"@/main.so", "@/build/"}), 1, {"'@/build/CON': 'CON' is a device name on Windows"}},
      {create({"@/main.so", "@/build/a?b"}), 1, {"contains '?'"}},
      {create({"@/main.so", "@/build/file."}), 1, {"ends in a dot"}},
      {create({"@/main.so", "@/build/sub/nul.txt"}), 1, {"device name"}},
      {create({"@/main.so", "--linux-only", "@/build/"}), 0, {"10 files"}}}},
    {"linux-only allows device names", {}, false,
     {{create({"@/main.so", "--linux-only", "--file", "@/README=LPT1.log"}), 0, {"2 files"}},
      list_expecting({"LPT1.log"})}},
    {"file stored under a name", {}, false,
     {{create({"@/main.so=app.so", "--file", "@/README=docs\\read.me", "--file=@/build/readme=docs/b"}), 0, {}},
      list_expecting({"  app.so\n", "  docs" SEPARATOR "read.me\n", "  docs" SEPARATOR "b\n"})}},
    {"directory under its name, or with a slash its contents at the root", {}, false,
     {{create({"@/main.so", "@/build"}), 0, {}},
      list_expecting({"  build" SEPARATOR "libapp.so\n", "  build" SEPARATOR "sub" SEPARATOR "x.txt\n"}),
      {create({"@/main.so", "@/build/sub/"}), 0, {"2 files"}},
      list_expecting({"  x.txt\n"})}},
    {"directory stored below a prefix", {}, false,
     {{create({"@/main.so", "--dir", "@/build/sub=assets/s", "--dir=@/build/sub=."}), 0, {}},
      list_expecting({"  assets" SEPARATOR "s" SEPARATOR "x.txt\n"}), {{"verify", "@/out/app.bin"}, 0, {"2 entries"}}}},
    {"excluded names and paths", {"build/sub/deeper/y.pyc"}, false,
     {{create({"@/main.so", "@/build/", "--exclude", "__pycache__", "--exclude=*.py[cd]", "--exclude", "sub/x.*"}), 0,
       {"3 files"}},
      list_expecting({"  libapp.so\n", "  readme\n"})}},
    {"dependency file", {"build/sub/a#b"}, false,
     {{create({"@/main.so", "@/build/", "--depfile", "@/out/app.d"}), 0, {}},
      {{"cat", "@/out/app.d"}, 0, {"@/out/app.bin: \\\n", "sub \\\n", "a\\#b", "keep.pyc", "main.so"}}}},
    {"extract into an existing directory", {}, false,
     {{create({"@/main.so", "@/build/"}), 0, {}},
      {{"extract", "@/out/app.bin", "@/out"}, 0, {}},
      {{"extract", "@/out/app.bin", "@/out"}, 1, {"main.so' exists already (--force replaces it)"}},
      {{"extract", "--force", "@/out/app.bin", "@/out"}, 0, {}},
      {{"cat", "@/out/sub/x.txt"}, 0, {"build/sub/x.txt"}}}},
};
INSTANTIATE_TEST_SUITE_P(Rows, PackCli, testing::ValuesIn(cli_cases), case_name());

class PackReading : public testing::Test {
  protected:
    void SetUp() override {
        dir = scratch_directory();
        write_file(dir / "main.so", "main library");
        write_file(dir / "in" / "data" / "big.bin", noise(200000, 5));
        write_file(dir / "in" / "empty", "");
        blob = dir / "app.bin";
        ASSERT_EQ(0, run_pack({"create", "-o", path_arg(blob), "--main", path_arg(dir / "main.so"), "--level", "1",
                               path_arg(dir / "in" / "")}));
    }
    fs::path dir, blob;
};

TEST_F(PackReading, ListVerifyAndExtractTheAttachedData) {
    std::string text, error;
    EXPECT_EQ(0, run_pack({"list", path_arg(blob)}, &error, &text)) << error;
    EXPECT_EQ("          12  main.so\n"
              "      200000  data" SEPARATOR "big.bin\n"
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
    EXPECT_NE(std::string::npos, text.find("data" SEPARATOR "big.bin"));

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
    EXPECT_EQ(1, run_pack({"extract", "--force", path_arg(dir / "app.bin"), path_arg(dir / "x")}, &error));
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
