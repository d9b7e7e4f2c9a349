#include <gtest/gtest.h>

#include "launcher/reclaim.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "seam.h"
#include "support.h"

#ifdef _WIN32
#include <stdlib.h>
#define SEP L"\\"
#else
#define SEP "/"
#endif

namespace {

class PathSpec : public ::testing::Test {
protected:
    void SetUp() override {
        temp = make_scratch_directory(::testing::UnitTest::GetInstance()->current_test_info()->name());
        set_temp_folder(temp);
        for (const char* name : {ENV_PARENT, ENV_TIME_US, ENV_RANDOM, ENV_START}) set_env_var(name, nullptr);
    }
    os_string expand(const os_char* spec, size_t capacity = 4096, bool* ok = nullptr) {
        os_char out[4096];
        bool result = expand_path_spec(out, spec, capacity);
        if (ok != nullptr) *ok = result;
        return out;
    }
    os_string env(const char* name) {
        os_char* value = get_env_var(name);
        return value != nullptr ? value : OS_TEXT("<unset>");
    }
    os_string temp;
};

void set_program_name(const os_char* name) {
#ifdef _WIN32
    __wargv[0] = (wchar_t*)name;
#else
    static char* argv[2];
    argv[0] = (char*)name;
    os_set_arguments(1, argv);
#endif
}

TEST_F(PathSpec, LiteralsPlaceholderSyntaxAndFailures) {
    bool ok;
    EXPECT_EQ(expand(OS_TEXT(""), 4096, &ok), OS_TEXT(""));
    EXPECT_TRUE(ok);
    EXPECT_EQ(expand(OS_TEXT("plain text"), 4096, &ok), OS_TEXT("plain text"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(expand(OS_TEXT("{temp}")), temp);
    EXPECT_EQ(expand(OS_TEXT("{Temp}")), temp);
    EXPECT_EQ(expand(OS_TEXT("{A{TEMP}")), temp);
    EXPECT_EQ(expand(OS_TEXT("x{TEMP"), 4096, &ok), OS_TEXT("x"));
    EXPECT_TRUE(ok);
    expand(OS_TEXT("{NOPE}"), 4096, &ok);
    EXPECT_FALSE(ok);
    expand(OS_TEXT("{}"), 4096, &ok);
    EXPECT_FALSE(ok);
    expand(OS_TEXT("a}b"), 4096, &ok);
    EXPECT_FALSE(ok);
    // A literal that does not fit is a returned failure; the output keeps
    // what fitted.
    EXPECT_EQ(expand(OS_TEXT("abcdef"), 4, &ok), OS_TEXT("abc"));
    EXPECT_FALSE(ok);
}

TEST_F(PathSpec, LauncherSpecWithRememberedValuesChangesNoVariable) {
    set_env_var(ENV_PARENT, OS_TEXT("4242"));
    set_env_var(ENV_TIME_US, OS_TEXT("000042"));
    set_env_var(ENV_RANDOM, OS_TEXT("IQHFT9HQGrI"));
    EXPECT_EQ(expand(OS_TEXT("{TEMP}") SEP OS_TEXT("onefile_{PID}_{TIME_US}_{RANDOM}")),
              temp + SEP + OS_TEXT("onefile_4242_000042_IQHFT9HQGrI"));
    EXPECT_EQ(env(ENV_PARENT), OS_TEXT("4242"));
    EXPECT_EQ(env(ENV_TIME_US), OS_TEXT("000042"));
    EXPECT_EQ(env(ENV_RANDOM), OS_TEXT("IQHFT9HQGrI"));
    EXPECT_EQ(env(ENV_START), OS_TEXT("<unset>"));
}

TEST_F(PathSpec, FreshValuesAreStoredAndReused) {
    os_string first = expand(OS_TEXT("{TIME_US}_{RANDOM}_{TIME}"));
    os_string time_us = env(ENV_TIME_US), random = env(ENV_RANDOM), start = env(ENV_START);
    EXPECT_EQ(time_us.size(), 6u);
    EXPECT_EQ(random.size(), 11u);
    EXPECT_EQ(first, time_us + OS_TEXT("_") + random + OS_TEXT("_") + start);
    EXPECT_EQ(expand(OS_TEXT("{TIME_US}_{RANDOM}_{TIME}")), first);
}

TEST_F(PathSpec, PidFromParentVariableOrOwnProcess) {
    char own[32];
    snprintf(own, sizeof own, "%u", os_process_id());
    os_string expected;
    for (const char* p = own; *p; p++) expected += (os_char)*p;
    EXPECT_EQ(expand(OS_TEXT("{PID}")), expected);
    EXPECT_EQ(env(ENV_PARENT), OS_TEXT("<unset>"));

    set_env_var(ENV_PARENT, OS_TEXT("007"));
    EXPECT_EQ(expand(OS_TEXT("{PID}")), OS_TEXT("007"));
    set_env_var(ENV_PARENT, OS_TEXT("12a"));
    try {
        expand(OS_TEXT("{PID}"));
        FAIL() << "a non-numeric parent id must abort";
    } catch (const process_end& end) {
        EXPECT_TRUE(end.aborted);
    }
}

TEST_F(PathSpec, ValueThatDoesNotFitAborts) {
    set_env_var(ENV_RANDOM, OS_TEXT("IQHFT9HQGrI"));
    try {
        expand(OS_TEXT("ab{RANDOM}"), 8);
        FAIL() << "an over-long value must abort";
    } catch (const process_end& end) {
        EXPECT_TRUE(end.aborted);
    }
}

TEST_F(PathSpec, TrailingSeparatorsGoEvenWhenTheFolderAddsNothing) {
    // The temporary folder does not fit the room left, so it adds nothing,
    // and the separator before the placeholder is trimmed.
#ifdef _WIN32
    EXPECT_EQ(expand(L"C:\\{TEMP}", 5), L"C:");
#else
    EXPECT_EQ(expand("/x/{TEMP}", 5), "/x");
#endif
    EXPECT_EQ(expand(OS_TEXT("{HOME}")).back() == OS_SEP, false);
    EXPECT_EQ(expand(OS_TEXT("{CACHE_DIR}")).back() == OS_SEP, false);
}

TEST_F(PathSpec, ProgramDerivatives) {
    struct {
        const os_char* program;
        const os_char* base;
        const os_char* dir;
    } cases[] = {
#ifdef _WIN32
        {L"C:\\A\\tool.EXE", L"C:\\A\\tool", L"C:\\A"},
        {L"tool.exe", L"tool", L"tool.exe"},
        {L"C:/A/tool.exe", L"C:/A/tool", L"C:/A/tool.exe"},
#else
        {"/A/tool.EXE", "/A/tool", "/A"},
        {"tool.exe", "tool", "tool.exe"},
#endif
        {OS_TEXT("tool"), OS_TEXT("tool"), OS_TEXT("tool")},
        {OS_TEXT("x.exe.bak"), OS_TEXT("x.exe.bak"), OS_TEXT("x.exe.bak")},
    };
    int argc;
    os_char** argv;
    os_arguments(&argc, &argv);
    os_char* saved = argv != nullptr ? argv[0] : nullptr;
    for (const auto& c : cases) {
        set_program_name(c.program);
        EXPECT_EQ(expand(OS_TEXT("{PROGRAM}")), c.program);
        EXPECT_EQ(expand(OS_TEXT("{PROGRAM_BASE}")), c.base);
        EXPECT_EQ(expand(OS_TEXT("{PROGRAM_DIR}")), c.dir);
    }
    if (saved != nullptr) set_program_name(saved);
}

TEST(RandomText, KnownSeedsAndAlphabet) {
    os_char text[12];
    random_text_from_seed(1, text);
    EXPECT_EQ(os_string(text), OS_TEXT("IQHFT9HQGrI"));
    // A zero seed is replaced by 1.
    random_text_from_seed(0, text);
    EXPECT_EQ(os_string(text), OS_TEXT("IQHFT9HQGrI"));
    for (uint32_t seed : {2u, 0xFFFFFFFFu, 0x12345678u}) {
        random_text_from_seed(seed, text);
        os_string s(text);
        EXPECT_EQ(s.size(), 11u);
        EXPECT_EQ(s.find_first_not_of(OS_TEXT("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")),
                  os_string::npos);
    }
}

// The reclaimer's test for the name of a default target directory: every
// name the default path spec yields passes; a name that misses it in one
// place fails.
TEST(TargetName, MatchesExactlyTheDefaultScheme) {
    for (uint32_t seed : {1u, 2u, 0xFFFFFFFFu, 0x12345678u}) {
        os_char random[12];
        random_text_from_seed(seed, random);
        for (const os_char* head : {OS_TEXT("onefile_1_000042_"), OS_TEXT("onefile_4294967295_999999_")}) {
            os_string name = os_string(head) + random;
            EXPECT_TRUE(is_target_directory_name(name.c_str(), name.size())) << name.size();
        }
    }
    for (const os_char* name : {
             OS_TEXT("onefile_1_00000_IQHFT9HQGrI"),          // five digits of microseconds
             OS_TEXT("onefile_1_0000000_IQHFT9HQGrI"),        // seven
             OS_TEXT("onefile__000000_IQHFT9HQGrI"),          // no process id
             OS_TEXT("onefile_12345678901_000000_IQHFT9HQGrI"), // eleven digits
             OS_TEXT("onefile_-1_000000_IQHFT9HQGrI"),
             OS_TEXT("onefile_1_000000_IQHFT9HQGr"),          // ten random characters
             OS_TEXT("onefile_1_000000_IQHFT9HQGrIX"),        // twelve
             OS_TEXT("onefile_1_000000_IQHFT9HQG+I"),         // outside URL-safe base64
             OS_TEXT("onefile_1_000000_IQHFT9HQG.I"),
             OS_TEXT("Onefile_1_000000_IQHFT9HQGrI"),
             OS_TEXT("xonefile_1_000000_IQHFT9HQGrI"),
             OS_TEXT("onefile_cache_1_000000_IQHFT9HQGrI"),
             OS_TEXT("onefile_1_000000_IQHFT9HQGrI.lock"),
             OS_TEXT("onefile_1_000000"),
         }) {
        EXPECT_FALSE(is_target_directory_name(name, os_strlen(name))) << os_strlen(name);
    }
    // Only the first `length` characters count: a lock file's name holds its
    // directory's.
    os_string lock = OS_TEXT("onefile_1_000000_IQHFT9HQGrI.lock");
    EXPECT_TRUE(is_target_directory_name(lock.c_str(), lock.size() - 5));
}

// The names in a cached application's folder that the reclaimer may
// consider: versions and staging directories, as the launcher makes them.
TEST(TargetName, CachedVersionsAndStagingDirectories) {
    const struct {
        const os_char* name;
        bool version, staging;
    } cases[] = {
        {OS_TEXT("0123456789abcdef"), true, false},
        {OS_TEXT("0123456789abcdef-1000"), true, false},           // a user's own in a shared folder
        {OS_TEXT("0123456789abcdef-4294967295"), true, false},
        {OS_TEXT("0123456789abcdef-12345678901"), false, false},   // no user id has eleven digits
        {OS_TEXT("0123456789ABCDEF"), false, false},               // the digest is lower case
        {OS_TEXT("0123456789abcde"), false, false},
        {OS_TEXT("0123456789abcdef0"), false, false},
        {OS_TEXT("0123456789abcdef-"), false, false},
        {OS_TEXT("0123456789abcdef-42-1dd8841999f4f07.partial"), false, true},
        {OS_TEXT("0123456789abcdef-1000-42-1dd8841999f4f07.partial"), false, true},
        {OS_TEXT("0123456789abcdef-42-.partial"), false, false},
        {OS_TEXT("0123456789abcdef--1dd8841999f4f07.partial"), false, false},
        {OS_TEXT("0123456789abcdef-42-1dd8841999f4f07"), false, false},
        {OS_TEXT("0123456789abcdef-42-1dd8841999f4f07.partial.lock"), false, false},
        {OS_TEXT("myapp-42-1dd8841999f4f07.partial"), false, false},
        {OS_TEXT("-42-1dd8841999f4f07.partial"), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_version_name(c.name, os_strlen(c.name)), c.version) << os_strlen(c.name);
        EXPECT_EQ(is_staging_name(c.name, os_strlen(c.name)), c.staging) << os_strlen(c.name);
    }
}

TEST(TimeArithmetic, MicrosecondWithinTheSecond) {
    EXPECT_EQ(microsecond_of_time(133000000001234567LL), 123456);
    EXPECT_EQ(microsecond_of_time(133000000000000420LL), 42);
    EXPECT_EQ(microsecond_of_time(0), 0);
}

}  // namespace
