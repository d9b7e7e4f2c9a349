#include <gtest/gtest.h>

#include <errno.h>
#include <stdint.h>

#include "diag/fatal.h"
#include "diag/messages.h"
#include "seam.h"
#include "support.h"

namespace {

struct captured {
    process_end end;
    std::string out;
    std::string err;
};

template <typename F>
captured capture(F action) {
    captured result = {{-1, false}, "", ""};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
        action();
    } catch (const process_end& end) {
        result.end = end;
    }
    result.out = ::testing::internal::GetCapturedStdout();
    result.err = ::testing::internal::GetCapturedStderr();
    return result;
}

// Text-mode streams on Windows write "\n" as "\r\n".
std::string lines(std::string text) {
    std::string result;
    for (char c : text)
        if (c != '\r') result += c;
    return result;
}

TEST(Fatal, ErrorGoesToStandardOutputWithExitTwo) {
    captured c = capture([] { fatal_error(MSG_NO_HEADER); });
    EXPECT_EQ(c.end.code, 2);
    EXPECT_FALSE(c.end.aborted);
    EXPECT_EQ(lines(c.out), "Error, couldn't find attached data header.\n");
    EXPECT_EQ(c.err, "");
}

TEST(Fatal, ErrorWithCodeCarriesTheSystemTextWithoutItsLineBreak) {
    captured c = capture([] { fatal_error_with_code(MSG_LAUNCH_CHILD, 2); });
    EXPECT_EQ(c.end.code, 2);
    EXPECT_EQ(c.out, "");
    std::string err = lines(c.err);
    const std::string head = "Error, couldn't launch child ([Error 2] ";
    ASSERT_EQ(err.compare(0, head.size(), head), 0) << err;
    ASSERT_GE(err.size(), head.size() + 3);
    EXPECT_EQ(err.substr(err.size() - 2), ")\n");
    EXPECT_NE(err[err.size() - 3], ' ');
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line only";
}

TEST(Fatal, LargeCodesPrintAsNegativeNumbers) {
    captured c = capture([] { fatal_error_with_code(MSG_LOAD_DLL, 0xC0000005u); });
    EXPECT_NE(lines(c.err).find("Error, load DLL. ([Error -1073741819] "), std::string::npos) << c.err;
#ifdef _WIN32
    // A code the system has no text for still gives a line.
    captured none = capture([] { fatal_error_with_code(MSG_LOAD_DLL, 0x2FFFFFFFu); });
    EXPECT_EQ(lines(none.err), "Error, load DLL. ([Error 805306367] (null))\n");
#endif
}

// Windows' texts keep their inserts ("%1") when asked for without
// arguments: filled with the subject, or left out so that the text reads.
TEST(Fatal, InsertsOfSystemTextsAreFilledOrLeftOut) {
    const struct {
        const char* text;
        bool keep;
        const char* settled;
        size_t place;
    } cases[] = {
        {"Bad EXE format for %1.", false, "Bad EXE format.", SIZE_MAX},
        {"Bad EXE format for %1.", true, "Bad EXE format for .", 19},
        {"%1 is not a valid Win32 application.", false, "Is not a valid Win32 application.", SIZE_MAX},
        {"%1 is not a valid Win32 application.", true, " is not a valid Win32 application.", 0},
        {"The file '%1' is missing.", false, "The file is missing.", SIZE_MAX},
        {"Copy %1!s! to %2 failed.", true, "Copy  failed.", 5},
        {"100%% done, no inserts.", true, "100%% done, no inserts.", SIZE_MAX},
        {"Module not found.", false, "Module not found.", SIZE_MAX},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        size_t place = settle_inserts(&text[0], c.keep);
        EXPECT_STREQ(text.c_str(), c.settled) << c.text;
        EXPECT_EQ(place, c.place) << c.text;
    }
#ifdef _WIN32
    // ERROR_BAD_EXE_FORMAT, whose text names the file.
    captured bad = capture([] { fatal_error_with_code(MSG_LOAD_DLL, 193, L"C:\\t\\app.dll"); });
    std::string err = lines(bad.err);
    EXPECT_EQ(err.find("%"), std::string::npos) << err;
    EXPECT_NE(err.find("C:\\t\\app.dll"), std::string::npos) << err;
#else
    // dlerror's text has no number.
    errno = 0;
    EXPECT_EQ(os_load_library("/", "/nonexistent/libnone.so"), nullptr);
    captured load = capture([] { fatal_error_with_code(MSG_LOAD_DLL, os_last_error()); });
    EXPECT_EQ(lines(load.err), "Error, load DLL. (/nonexistent/libnone.so: cannot open shared object file: No such "
                               "file or directory)\n");
#endif
}

TEST(Fatal, SpecErrorAbortsAndOpenFailureExits) {
    captured spec = capture([] { fatal_spec_error(OS_TEXT("{TEMP}x")); });
    EXPECT_TRUE(spec.end.aborted);
    EXPECT_EQ(lines(spec.err), "Error, couldn't runtime expand spec '{TEMP}x'.\n");
    captured open = capture([] { fatal_open_for_writing(OS_TEXT("some path")); });
    EXPECT_EQ(open.end.code, 2);
    EXPECT_EQ(lines(open.err), "Error, failed to open 'some path' for writing.\n");
    EXPECT_EQ(open.out, "");
}

}  // namespace
