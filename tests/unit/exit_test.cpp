// The reporting routines' real exits, checked in child processes, and the
// entry of this test program, which doubles as a sleeping second instance of
// itself for the run-mode tests.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include "diag/fatal.h"
#include "diag/messages.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// The runtime's abort() ends the process with status 3.
#define ABORTED ::testing::ExitedWithCode(3)
#else
#define ABORTED ::testing::KilledBySignal(SIGABRT)
#endif

TEST(Exit, ReportedFailuresExitWithTwo) {
    EXPECT_EXIT(fatal_error(MSG_DECODE), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fatal_error_with_code(MSG_UNPACK_WRITE, 5), ::testing::ExitedWithCode(2),
                "Error, couldn't unpack file to target path. \\(\\[Error 5\\] ");
    EXPECT_EXIT(fatal_open_for_writing(OS_TEXT("p")), ::testing::ExitedWithCode(2), "Error, failed to open 'p'");
}

TEST(Exit, SpecFailureAndBoundsAbort) {
    EXPECT_EXIT(fatal_spec_error(OS_TEXT("{HOME}")), ABORTED, "Error, couldn't runtime expand spec '\\{HOME\\}'");
    EXPECT_EXIT(fatal_bound(), ABORTED, "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--sleep") == 0) {
#ifdef _WIN32
        Sleep(30000);
#else
        sleep(30);
#endif
        return 0;
    }
#ifndef _WIN32
    os_set_arguments(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
