// The Windows layer against the real system: path normalisation, the
// quoting of the child's command line as CommandLineToArgvW splits it again,
// directory security and removal, and the child process hand-over.
//
// The program doubles as the child of the child-process tests: with
// TALVOR_WIN32_TEST_CHILD set it exits with that code, or sleeps for
// "sleep", instead of running the tests.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "launcher/command_line.h"
#include "os/os.h"
#include "os/win32/win32.h"

static const wchar_t child_variable[] = L"TALVOR_WIN32_TEST_CHILD";

// A scratch directory of the test's own below the temporary folder, removed
// again at the end.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::wstring(temp) + L"talvor_win32_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::wstring(info->name(), info->name() + strlen(info->name()));
        os_remove_tree(dir.c_str());
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    }
    void TearDown() override { os_remove_tree(dir.c_str()); }

    std::wstring make_file(const std::wstring& path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
        return path;
    }

    std::wstring dir;
};

// `fits`: whether the result is expected to fit in `capacity`.
static std::wstring resolved(const std::wstring& path, size_t capacity = 4097, bool fits = true) {
    std::vector<wchar_t> buffer(std::max(capacity, path.size() + 1));
    wcscpy(buffer.data(), path.c_str());
    EXPECT_EQ(resolve_final_path(buffer.data(), capacity), fits) << ::testing::PrintToString(path);
    return buffer.data();
}

static std::wstring shortened(const std::wstring& path, size_t capacity = 4097, bool fits = true) {
    std::vector<wchar_t> buffer(std::max(capacity, path.size() + 1));
    wcscpy(buffer.data(), path.c_str());
    EXPECT_EQ(make_short_path(buffer.data(), capacity), fits) << ::testing::PrintToString(path);
    return buffer.data();
}

TEST(ExtendedPrefix, DrivesAndSharesLoseItOthersKeepIt) {
    struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"\\\\?\\C:\\dir\\file.exe", L"C:\\dir\\file.exe"},
        {L"\\\\?\\z:\\", L"z:\\"},
        {L"\\\\?\\UNC\\server\\share\\dir\\file.exe", L"\\\\server\\share\\dir\\file.exe"},
        {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-000000000000}\\file.exe",
         L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-000000000000}\\file.exe"},
        {L"\\\\?\\C", L"\\\\?\\C"},
        {L"\\\\?\\", L"\\\\?\\"},
        {L"C:\\dir\\file.exe", L"C:\\dir\\file.exe"},
        {L"\\\\server\\share\\file.exe", L"\\\\server\\share\\file.exe"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        wchar_t path[128];
        wcscpy(path, c.in);
        strip_extended_prefix(path);
        EXPECT_STREQ(path, c.out) << "from " << ::testing::PrintToString(std::wstring(c.in));
    }
}

TEST_F(Scratch, FinalPathHasNoPrefixAndTheStoredCase) {
    std::wstring file = make_file(dir + L"\\Mixed Case.txt");
    std::wstring result = resolved(file);
    EXPECT_NE(result.compare(0, 4, L"\\\\?\\"), 0) << ::testing::PrintToString(result);
    EXPECT_EQ(_wcsicmp(result.c_str(), file.c_str()), 0) << ::testing::PrintToString(result);

    // The file system's own spelling comes back, however the path was typed.
    std::wstring upper = file;
    for (wchar_t& c : upper) c = towupper(c);
    EXPECT_EQ(resolved(upper), result);
    // The system's answer carries the extended-length prefix, which does not
    // fit in room for the plain path alone.
    resolved(file, file.size() + 1, false);
}

TEST_F(Scratch, FinalPathOfAMissingFileIsLeftAlone) {
    std::wstring missing = dir + L"\\missing.exe";
    EXPECT_EQ(resolved(missing), missing);
    // Not even a prefix is removed when the file cannot be opened.
    std::wstring prefixed = L"\\\\?\\" + missing;
    EXPECT_EQ(resolved(prefixed), prefixed);
}

TEST_F(Scratch, ShortPathShortensDirectoriesOnly) {
    std::wstring long_dir = dir + L"\\a directory with a long name";
    ASSERT_TRUE(CreateDirectoryW(long_dir.c_str(), nullptr));
    std::wstring file = make_file(long_dir + L"\\a file with a long name.exe");

    std::wstring result = shortened(file);
    const std::wstring tail = L"\\a file with a long name.exe";
    ASSERT_GT(result.size(), tail.size());
    EXPECT_EQ(result.substr(result.size() - tail.size()), tail);
    std::wstring directory = result.substr(0, result.size() - tail.size());
    EXPECT_EQ(directory.find(L' '), std::wstring::npos) << ::testing::PrintToString(result);

    // The short directory names the same place as the long one.
    wchar_t long_form[MAX_PATH];
    ASSERT_NE(GetLongPathNameW(directory.c_str(), long_form, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(long_form, long_dir.c_str()), 0);

    // A last component that does not exist yet is kept as given.
    std::wstring planned = shortened(long_dir + L"\\not yet there.exe");
    EXPECT_EQ(planned, directory + L"\\not yet there.exe");
    shortened(file, result.size(), false);
}

TEST_F(Scratch, ShortPathOfAMissingDirectoryIsLeftAlone) {
    std::wstring missing = dir + L"\\no such directory\\file name.exe";
    EXPECT_EQ(shortened(missing), missing);
    EXPECT_EQ(shortened(L"no such file.exe"), L"no such file.exe");
    EXPECT_EQ(shortened(L""), L"");
}

// The quoting, checked by the system's own splitting.
static std::vector<std::wstring> split(const wchar_t* command_line) {
    int count = 0;
    wchar_t** vector = CommandLineToArgvW(command_line, &count);
    std::vector<std::wstring> result;
    for (int i = 0; i < count; i++) result.push_back(vector[i]);
    LocalFree(vector);
    return result;
}

static std::wstring built(std::vector<const wchar_t*> arguments) {
    child_command_line[0] = 0;
    build_child_command_line(const_cast<os_char**>(arguments.data()), (int)arguments.size());
    return child_command_line;
}

TEST(ChildCommandLine, EveryNonEmptyArgumentSurvivesTheSystemsSplitting) {
    const wchar_t* arguments[] = {
        L"plain",
        L"a b",
        L"tab\there",
        L"line\nfeed",
        L"vertical\vtab",
        L"\"",
        L"say \"hi\"",
        L"a\\\\\"b",
        L"C:\\Program Files\\",
        L"C:\\dir\\\\",
        L"trailing\\",
        L"\\\\server\\share",
        L"\\\"",
        L"  ",
        L"*.txt",
        L"\u00e9t\u00e9 \u65e5\u672c \U0001F600",
        L"%PATH%",
        L"^&|<>",
    };
    for (const wchar_t* argument : arguments) {
        std::vector<std::wstring> parts = split(built({L"C:\\Program Files\\app.exe", argument}).c_str());
        ASSERT_EQ(parts.size(), 2u) << ::testing::PrintToString(std::wstring(argument));
        EXPECT_EQ(parts[0], L"C:\\Program Files\\app.exe");
        EXPECT_EQ(parts[1], argument) << "written as " << ::testing::PrintToString(std::wstring(child_command_line));
    }
}

TEST(ChildCommandLine, ArgumentsAreJoinedBySingleBlanksInOrder) {
    std::wstring line = built({L"app.exe", L"x", L"y z", L"end\\"});
    EXPECT_EQ(line, L"app.exe x \"y z\" end\\");
    std::vector<std::wstring> expected = {L"app.exe", L"x", L"y z", L"end\\"};
    EXPECT_EQ(split(line.c_str()), expected);
    EXPECT_EQ(built({}), L"");
}

TEST_F(Scratch, OwnerOnlyDirectoryShutsOthersOut) {
    std::wstring target = dir + L"\\target";
    ASSERT_EQ(os_create_directory(target.c_str(), true), OS_DIR_CREATED);
    EXPECT_EQ(os_create_directory(target.c_str(), true), OS_DIR_EXISTS);
    EXPECT_EQ(os_create_directory(target.c_str(), false), OS_DIR_EXISTS);
    EXPECT_EQ(os_create_directory((dir + L"\\missing\\below").c_str(), false), OS_DIR_FAILED);

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &descriptor),
              (DWORD)ERROR_SUCCESS);
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE user_buffer[512];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &size));
    CloseHandle(token);
    PSID user = ((TOKEN_USER*)user_buffer)->User.Sid;
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world_authority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));

    ASSERT_NE(dacl, nullptr);
    for (WORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, (void**)&ace));
        EXPECT_FALSE(EqualSid(&ace->SidStart, everyone)) << "entry " << i << " grants access to everyone";
    }
    FreeSid(everyone);

    // Wine keeps no DACL for a directory: it maps the one given onto the
    // Unix mode and makes a DACL up from that when asked. Only Windows can
    // show the entry itself.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED);
        ASSERT_EQ(dacl->AceCount, 1);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, 0, (void**)&ace));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_TRUE(EqualSid(&ace->SidStart, user));
    }
    LocalFree(descriptor);

    // The user can still work inside it.
    make_file(target + L"\\file.bin");
    EXPECT_TRUE(os_is_directory(target.c_str()));
}

TEST_F(Scratch, RemoveTreeDeletesNestedContentAndFilesAreNotDirectories) {
    std::wstring top = dir + L"\\tree";
    ASSERT_EQ(os_create_directory(top.c_str(), false), OS_DIR_CREATED);
    ASSERT_EQ(os_create_directory((top + L"\\sub dir").c_str(), false), OS_DIR_CREATED);
    os_file file = os_file_create((top + L"\\sub dir\\data.bin").c_str());
    ASSERT_NE(file, OS_INVALID_FILE);
    char data[1000];
    memset(data, 'x', sizeof data);
    EXPECT_TRUE(os_file_write(file, data, sizeof data));
    EXPECT_TRUE(os_file_write(file, data, 0));
    os_file_close(file);
    EXPECT_FALSE(os_is_directory((top + L"\\sub dir\\data.bin").c_str()));
    EXPECT_TRUE(os_is_directory((top + L"\\sub dir").c_str()));

    os_remove_tree(top.c_str());
    EXPECT_FALSE(os_is_directory(top.c_str()));
    EXPECT_EQ(GetFileAttributesW(top.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(os_is_directory(dir.c_str()));
}

TEST(Environment, ReadsReportTheSizeNeededWhenTheValueDoesNotFit) {
    ASSERT_TRUE(os_env_write(L"TALVOR_WIN32_TEST_VALUE", L"12345"));
    wchar_t buffer[8];
    EXPECT_EQ(os_env_read(L"TALVOR_WIN32_TEST_VALUE", buffer, 8), 5u);
    EXPECT_STREQ(buffer, L"12345");
    EXPECT_EQ(os_env_read(L"TALVOR_WIN32_TEST_VALUE", buffer, 5), 6u);
    ASSERT_TRUE(os_env_write(L"TALVOR_WIN32_TEST_VALUE", nullptr));
    EXPECT_EQ(os_env_read(L"TALVOR_WIN32_TEST_VALUE", buffer, 8), 0u);

    wchar_t c = 0;
    EXPECT_TRUE(os_widen_name_char('T', &c));
    EXPECT_EQ(c, L'T');
    EXPECT_FALSE(os_widen_name_char(0, &c));
}

TEST(Errors, SystemTextIsEnglishLinesOrNull) {
    char* text = os_error_text(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(strlen(text), 2u);
    EXPECT_EQ(text[strlen(text) - 1], '\n');
    EXPECT_EQ(os_error_text(0x2FFFFFFF), nullptr);
}

uint32_t wait_child() {
    int end_signal = -1;
    uint32_t code = os_child_wait(&end_signal);
    EXPECT_EQ(end_signal, 0);
    return code;
}

// The child-process tests start this program again, as the launcher starts
// its own executable.
class Child : public ::testing::Test {
protected:
    void start(const wchar_t* mode) {
        ASSERT_TRUE(SetEnvironmentVariableW(child_variable, mode));
        wchar_t self[MAX_PATH];
        ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
        std::wstring command_line = L"\"" + std::wstring(self) + L"\"";
        bool started = os_child_start(self, nullptr, &command_line[0]);
        SetEnvironmentVariableW(child_variable, nullptr);
        ASSERT_TRUE(started) << os_last_error();
    }
};

TEST_F(Child, ExitCodeComesBackWithAllBits) {
    start(L"3");
    EXPECT_EQ(wait_child(), 3u);
    start(L"3221225477");  // 0xC0000005
    EXPECT_EQ(wait_child(), 0xC0000005u);
    // The slot is empty again: stopping finds nothing to do.
    os_child_stop(0);
}

TEST_F(Child, StopWhileTheMainThreadWaitsTerminatesWithZero) {
    start(L"sleep");
    DWORD started = GetTickCount();
    std::thread handler([] { os_child_stop(200); });
    EXPECT_EQ(wait_child(), 0u);
    handler.join();
    EXPECT_LT(GetTickCount() - started, 20000u);
}

TEST_F(Child, StopGivesAChildThatEndsInTimeItsOwnExit) {
    start(L"7");
    os_child_stop(20000);
    EXPECT_EQ(wait_child(), 7u);
}

int main(int argc, char** argv) {
    wchar_t mode[32];
    DWORD length = GetEnvironmentVariableW(child_variable, mode, 32);
    if (length != 0 && length < 32) {
        if (wcscmp(mode, L"sleep") == 0) {
            Sleep(60000);
            return 9;
        }
        ExitProcess((UINT)wcstoul(mode, nullptr, 10));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
