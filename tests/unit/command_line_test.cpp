#include <gtest/gtest.h>

#include "launcher/command_line.h"
#include "seam.h"
#include "support.h"

namespace {

os_string quoted(const os_char* argument) {
    child_command_line[0] = 0;
    append_argument(argument);
    return child_command_line;
}

TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
    struct {
        const os_char* argument;
        const os_char* written;
    } cases[] = {
        {OS_TEXT("plain"), OS_TEXT("plain")},
        {OS_TEXT("C:\\dir\\"), OS_TEXT("C:\\dir\\")},
        // Wildcards are quoted, so that no runtime expands them again.
        {OS_TEXT("*.txt"), OS_TEXT("\"*.txt\"")},
        {OS_TEXT("e?it"), OS_TEXT("\"e?it\"")},
        {OS_TEXT("a b*"), OS_TEXT("\"a b*\"")},
        {OS_TEXT("a b"), OS_TEXT("\"a b\"")},
        {OS_TEXT("tab\there"), OS_TEXT("\"tab\there\"")},
        {OS_TEXT("line\nfeed"), OS_TEXT("\"line\nfeed\"")},
        {OS_TEXT("v\vt"), OS_TEXT("\"v\vt\"")},
        {OS_TEXT("C:\\my dir\\"), OS_TEXT("\"C:\\my dir\\\\\"")},
        {OS_TEXT("a\\\\\"b"), OS_TEXT("\"a\\\\\\\\\\\"b\"")},
        {OS_TEXT("\""), OS_TEXT("\"\\\"\"")},
        {OS_TEXT("a\\b c"), OS_TEXT("\"a\\b c\"")},
        // The empty argument is kept, as a pair of quotes.
        {OS_TEXT(""), OS_TEXT("\"\"")},
    };
    for (const auto& c : cases) EXPECT_EQ(quoted(c.argument), c.written);
}

TEST(CommandLine, BuildsWithSingleBlanksAndKeepsEmptyArguments) {
    const os_char* arguments[] = {OS_TEXT("C:\\L\\app.exe"), OS_TEXT("x"), OS_TEXT(""), OS_TEXT("y")};
    child_command_line[0] = 0;
    build_child_command_line((os_char**)arguments, 4);
    EXPECT_EQ(os_string(child_command_line), OS_TEXT("C:\\L\\app.exe x \"\" y"));
    child_command_line[0] = 0;
    build_child_command_line((os_char**)arguments, 0);
    EXPECT_EQ(os_string(child_command_line), OS_TEXT(""));
}

TEST(CommandLine, NeverTruncatesAndRefusesNull) {
    os_string big(command_line_capacity - 1, OS_TEXT('a'));
    child_command_line[0] = 0;
    append_argument(big.c_str());  // exactly fills the buffer with its terminator
    EXPECT_EQ(os_strlen(child_command_line), command_line_capacity - 1);
    for (const os_char* next : {OS_TEXT("b"), (const os_char*)nullptr}) {
        child_command_line[0] = 0;
        try {
            if (next != nullptr) {
                append_argument(big.c_str());
            }
            append_argument(next);
            FAIL() << "must abort";
        } catch (const process_end& end) {
            EXPECT_TRUE(end.aborted);
        }
    }
}

}  // namespace
