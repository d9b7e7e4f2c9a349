// The producer's output, read back by the launcher's own reader.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "attached/format.h"
#include "names.h"
#include "support.h"

namespace {

bytes pack_to_bytes(const fs::path& dir, const fs::path& main_file, const std::vector<fs::path>& inputs,
                    int threads = 2) {
    pack::create_options options;
    options.output = (dir / "out.bin").u8string();
    options.main_file = main_file.u8string();
    for (const fs::path& input : inputs) options.inputs.push_back(input.u8string());
    options.level = 3;
    options.threads = threads;
    std::string error;
    EXPECT_TRUE(pack::create_attached_data(options, &error)) << error;
    std::string content = read_file(dir / "out.bin");
    return bytes(content.begin(), content.end());
}

// Every file below `expected` appears below `actual` with the same bytes,
// and nothing else does.
void expect_same_tree(const fs::path& expected, const fs::path& actual) {
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(actual)) {
        if (!entry.is_regular_file()) continue;
        files++;
        fs::path relative = entry.path().lexically_relative(actual);
        EXPECT_TRUE(read_file(expected / relative) == read_file(entry.path())) << relative;
    }
    size_t expected_files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(expected)) expected_files += entry.is_regular_file();
    EXPECT_EQ(expected_files, files);
}

// The files below `from`, copied below `to`, merged with what is there.
// (fs::copy of a directory into an existing one fails with mingw's library.)
void copy_contents(const fs::path& from, const fs::path& to) {
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        fs::path target = to / entry.path().lexically_relative(from);
        if (entry.is_directory())
            fs::create_directories(target);
        else
            write_file(target, read_file(entry.path()));
    }
}

TEST(ProducerRoundTrip, FilesOfEdgeSizesComeOutByteForByte) {
    fs::path dir = scratch_directory();
    fs::path tree = dir / "tree";
    // Sizes around the launcher's 32 KiB write pieces and 128 KiB refills.
    const size_t sizes[] = {0, 1, 32767, 32768, 32769, 131071, 131073, 300001};
    unsigned seed = 1;
    for (size_t size : sizes) write_file(tree / "sizes" / ("f" + std::to_string(size)), noise(size, seed++));
    write_file(tree / "a" / "b" / "deep.txt", "two directories down");
    write_file(tree / u8"\u00e9t\u00e9" / u8"\u6587\u4ef6.txt", "non-ASCII names");
    write_file(tree / "main.so", noise(5000, 99));

    // "a" keeps its name; "sizes/" and "été/" give their contents at the root.
    bytes data = pack_to_bytes(dir, tree / "main.so", {tree / "sizes" / "", tree / "a", tree / u8"\u00e9t\u00e9" / ""});
    fs::path target = dir / "target";
    unpack_result result = unpack_with_launcher(data, target);
    ASSERT_EQ(-1, result.exit_code) << result.output;

    fs::path expected = dir / "expected";
    copy_contents(tree / "sizes", expected);
    copy_contents(tree / "a", expected / "a");
    copy_contents(tree / u8"\u00e9t\u00e9", expected);
    fs::copy_file(tree / "main.so", expected / "main.so");
    expect_same_tree(expected, target);
    EXPECT_EQ(0u, fs::file_size(target / "f0"));
}

// A second entry whose first name unit, or whose size field, begins on the
// last byte of the first 131072-byte refill: the main file "m" takes 4 name
// bytes, 8 size bytes and its data.
struct straddle_case {
    const char* what;
    const char* second_name;
    size_t main_size;
};

class ProducerStraddle : public testing::TestWithParam<straddle_case> {};

TEST_P(ProducerStraddle, FieldOnRefillBoundaryIsAssembled) {
    const straddle_case& c = GetParam();
    fs::path dir = scratch_directory();
    write_file(dir / "in" / "m", noise(c.main_size, 7));
    write_file(dir / "in" / c.second_name, "second");
    bytes data = pack_to_bytes(dir, dir / "in" / "m", {dir / "in" / c.second_name});

    // The reader's first refill is exactly one full buffer, so the field
    // really is split between two refills.
    ZSTD_DCtx* decoder = ZSTD_createDCtx();
    std::vector<unsigned char> buffer(decoded_buffer_size);
    ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
    ZSTD_inBuffer in{data.data() + 3, data.size() - 3, 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_decompressStream(decoder, &out, &in)));
    ZSTD_freeDCtx(decoder);
    ASSERT_EQ(decoded_buffer_size, out.pos);

    unpack_result result = unpack_with_launcher(data, dir / "target");
    ASSERT_EQ(-1, result.exit_code) << result.output;
    EXPECT_EQ(read_file(dir / "in" / "m"), read_file(dir / "target" / "m"));
    EXPECT_EQ("second", read_file(dir / "target" / c.second_name));
}

INSTANTIATE_TEST_SUITE_P(Fields, ProducerStraddle,
                         testing::Values(straddle_case{"code unit", "bb", 131071 - 12},
                                         straddle_case{"size field", "b", 131071 - 12 - 4},
                                         straddle_case{"terminator", "b", 131071 - 12 - 2}),
                         case_name());

TEST(ProducerDeterminism, SameInputsGiveIdenticalBytes) {
    fs::path dir = scratch_directory();
    write_file(dir / "main.so", noise(70000, 1));
    write_file(dir / "d" / "z.txt", "z");
    write_file(dir / "d" / "A" / "y.bin", noise(200000, 2));
    write_file(dir / "B.txt", "b");
    write_file(dir / "a.txt", "a");
    // Input order and thread count do not matter: names are sorted and
    // zstd's multi-threaded output does not depend on the worker count.
    bytes first = pack_to_bytes(dir, dir / "main.so", {dir / "d", dir / "B.txt", dir / "a.txt"}, 1);
    bytes second = pack_to_bytes(dir, dir / "main.so", {dir / "a.txt", dir / "d", dir / "B.txt"}, 4);
    EXPECT_TRUE(first == second);
}

TEST(ProducerFrame, WindowCoversTheArchiveAndNoMore) {
    struct {
        size_t file_size;
    } cases[] = {{0}, {2000}, {70000}, {1 << 20}};
    for (const auto& c : cases) {
        fs::path dir = scratch_directory();
        write_file(dir / "main.so", noise(c.file_size, 3));
        bytes data = pack_to_bytes(dir, dir / "main.so", {});
        uint64_t decoded = 2 * 8 + 8 + c.file_size + 2; // "main.so" + NUL, size, data, end marker
        ZSTD_frameHeader header;
        ASSERT_EQ(0u, ZSTD_getFrameHeader(&header, data.data() + 3, data.size() - 3));
        EXPECT_EQ(decoded, header.frameContentSize);
        EXPECT_TRUE(header.checksumFlag);
        EXPECT_EQ(0u, header.dictID);
        EXPECT_GE(header.windowSize, decoded);
        EXPECT_LE(header.windowSize, 1ULL << pack::window_log_for(decoded, 19)) << c.file_size;
    }
    // The chosen log: the smallest of at least 10 that covers the archive,
    // at most what the level picks for large inputs (23 at level 19), never
    // above the launcher's 27.
    const struct {
        unsigned long long size;
        int level;
        unsigned log;
    } logs[] = {{1, 19, 10},          {1024, 19, 10},         {1025, 19, 11},         {1ULL << 20, 19, 20},
                {(1ULL << 20) + 1, 19, 21}, {1ULL << 27, 19, 23}, {1ULL << 35, 19, 23}, {1ULL << 35, 22, 27},
                {1ULL << 35, 3, 21}};
    for (const auto& l : logs) EXPECT_EQ(l.log, pack::window_log_for(l.size, l.level)) << l.size << " " << l.level;
}

TEST(ProducerFrame, TrailingLengthCountsWhatPrecedesIt) {
    fs::path dir = scratch_directory();
    write_file(dir / "main.so", "x");
    bytes data = pack_to_bytes(dir, dir / "main.so", {});
    size_t frame = ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3);
    ASSERT_EQ(frame + 14, data.size());
    uint64_t trailer = 0;
    for (int i = 7; i >= 0; i--) trailer = (trailer << 8) | data[data.size() - 8 + i];
    EXPECT_EQ(6 + frame, trailer);
    EXPECT_EQ(bytes(3, 0), bytes(data.end() - 11, data.end() - 8));
}

TEST(NameRules, RefusesWhatTheLauncherCannotUnpackSafely) {
    const struct {
        std::u16string name;
        const char* rule; // substring of the reason, or "" when accepted
    } cases[] = {
        {u"main.dll", ""},
        {u"dir\\sub\\file.txt", ""},
        {u"...x", ""},
        {u"", "empty"},
        {u"..\\evil", "'..'"},
        {u"a\\.\\b", "'.'"},
        {u"a\\. .\\b", "dots and blanks"},
        {u"a\\\\b", "empty path component"},
        {u"a\\", "empty path component"},
        {u"\\abs", "not a relative path"},
        {u"C:\\x", "colon"},
        {u"file:stream", "colon"},
        {u"a/b", "forward slash"},
        {std::u16string(1023, u'n'), ""},
        {std::u16string(1024, u'n'), "longer than 1023"},
    };
    for (const auto& c : cases) {
        std::string rule = pack::name_rule_broken(c.name);
        if (*c.rule == 0)
            EXPECT_EQ("", rule) << pack::utf16_to_utf8(c.name);
        else
            EXPECT_NE(std::string::npos, rule.find(c.rule)) << pack::utf16_to_utf8(c.name) << ": " << rule;
    }
}

TEST(NameRules, CaseFoldAndUtf8Conversion) {
    EXPECT_EQ(pack::fold_case(u"README.TXT"), pack::fold_case(u"readme.txt"));
    EXPECT_EQ(pack::fold_case(u"\u00c9T\u00c9"), pack::fold_case(u"\u00e9t\u00e9"));
    EXPECT_EQ(pack::fold_case(u"\u0416\u0401"), pack::fold_case(u"\u0436\u0451"));
    EXPECT_NE(pack::fold_case(u"a\u00d7"), pack::fold_case(u"a\u00f7")); // multiplication and division signs

    std::u16string units;
    ASSERT_TRUE(pack::utf8_to_utf16(u8"\u00e9\U0001F600/", &units));
    EXPECT_EQ(u"\u00e9\U0001F600/", units);
    for (const char* bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82"}) EXPECT_FALSE(pack::utf8_to_utf16(bad, &units)) << bad;
    // An unpaired surrogate survives, as the Linux launcher writes it.
    EXPECT_EQ("\xED\xA0\x80", pack::utf16_to_utf8(u"\xD800"));
}

} // namespace
