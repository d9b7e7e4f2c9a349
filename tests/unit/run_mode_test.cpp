// The run-mode decision against real processes: a second instance of this
// test program counts as a parent of the same executable, another program
// does not.
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "paths/environment.h"
#include "support.h"

namespace {

os_string decimal(uint32_t value) {
    char digits[16];
    snprintf(digits, sizeof digits, "%u", value);
    os_string result;
    for (const char* p = digits; *p; p++) result += (os_char)*p;
    return result;
}

run_mode mode_with_parent(const os_char* value) {
    set_env_var(ENV_PARENT, value);
    return detect_run_mode();
}

TEST(RunMode, MalformedOrAbsentParentMeansParentMode) {
    set_env_var(ENV_PARENT, nullptr);
    EXPECT_EQ(detect_run_mode(), RUN_MODE_PARENT);
    for (const os_char* value : {OS_TEXT(""), OS_TEXT("12x"), OS_TEXT("x12"), OS_TEXT(" 12"), OS_TEXT("+12"),
                                 OS_TEXT("-12"), OS_TEXT("99999999999"), OS_TEXT("2147483648")}) {
        EXPECT_EQ(mode_with_parent(value), RUN_MODE_PARENT) << "value " << value;
    }
    // A process id that names no process.
    EXPECT_EQ(mode_with_parent(OS_TEXT("2147483600")), RUN_MODE_PARENT);
}

TEST(RunMode, SameExecutableIsChildOtherExecutableIsParent) {
    uint32_t same = start_process(own_executable(), OS_TEXT("--sleep"));
    uint32_t other = start_process(other_sleeping_program(), OS_TEXT("30"));
    ASSERT_NE(same, 0u);
    ASSERT_NE(other, 0u);
    EXPECT_EQ(mode_with_parent(decimal(same).c_str()), RUN_MODE_CHILD);
    EXPECT_EQ(mode_with_parent(decimal(other).c_str()), RUN_MODE_PARENT);
    // Leading zeros still name the same process.
    EXPECT_EQ(mode_with_parent((OS_TEXT("00") + decimal(same)).c_str()), RUN_MODE_CHILD);
    stop_process(same);
    stop_process(other);
    EXPECT_EQ(mode_with_parent(decimal(same).c_str()), RUN_MODE_PARENT);
    set_env_var(ENV_PARENT, nullptr);
}

}  // namespace
