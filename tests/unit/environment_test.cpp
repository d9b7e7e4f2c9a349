#include <gtest/gtest.h>

#include <stdlib.h>

#include "paths/environment.h"
#include "seam.h"
#include "support.h"

namespace {

TEST(Environment, EmptyReadsLikeUnsetAndNullDeletes) {
    set_env_var("TALVOR_TEST_VALUE", OS_TEXT(""));
    EXPECT_EQ(get_env_var("TALVOR_TEST_VALUE"), nullptr);
    set_env_var("TALVOR_TEST_VALUE", OS_TEXT("x y\\z"));
    os_char* value = get_env_var("TALVOR_TEST_VALUE");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(os_string(value), OS_TEXT("x y\\z"));
    free(value);
    set_env_var("TALVOR_TEST_VALUE", nullptr);
    EXPECT_EQ(get_env_var("TALVOR_TEST_VALUE"), nullptr);
    EXPECT_EQ(get_env_var(""), nullptr);
}

TEST(Environment, LongestValueComesBackWhole) {
#ifdef _WIN32
    // Wine stores one character less than Windows' 32767.
    os_string long_value(32766, OS_TEXT('v'));
#else
    os_string long_value(32767, OS_TEXT('v'));
#endif
    set_env_var("TALVOR_TEST_LONG", long_value.c_str());
    os_char* value = get_env_var("TALVOR_TEST_LONG");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(os_strlen(value), long_value.size());
    EXPECT_TRUE(os_string(value) == long_value);
    free(value);
    set_env_var("TALVOR_TEST_LONG", nullptr);
}

TEST(Environment, NameOf39CharactersWorksAnd40Aborts) {
    std::string name39(39, 'N');
    set_env_var(name39.c_str(), OS_TEXT("ok"));
    os_char* value = get_env_var(name39.c_str());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(os_string(value), OS_TEXT("ok"));
    std::string name40(40, 'N');
    try {
        get_env_var(name40.c_str());
        FAIL() << "a 40-character name must abort";
    } catch (const process_end& end) {
        EXPECT_TRUE(end.aborted);
    }
}

}  // namespace
