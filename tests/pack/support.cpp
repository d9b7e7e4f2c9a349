#include "support.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdio.h>
#include <stdlib.h>

#include "attached/directories.h"
#include "attached/reader.h"
#include "attached/unpack.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#else
#include <process.h>
#include <windows.h>
#define getpid _getpid
#endif

// The core's process-ending paths, as exceptions the tests catch.
struct process_end {
    int code;
    bool aborted;
};

[[noreturn]] void talvor_seam_exit(int code) {
    fflush(stdout);
    fflush(stderr);
    throw process_end{code, false};
}

[[noreturn]] void talvor_seam_abort(void) {
    fflush(stdout);
    fflush(stderr);
    throw process_end{0, true};
}

// Removes the scratch directories when the test program ends.
static struct scratch_list {
    std::vector<fs::path> paths;
    ~scratch_list() {
        std::error_code ec;
        for (const fs::path& path : paths) fs::remove_all(path, ec);
    }
} scratch_paths;

fs::path scratch_directory() {
    static int counter = 0;
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
        if (c == '/') c = '_'; // parameterised tests are named "Case/0"
    }
    fs::path path = fs::temp_directory_path() /
                    ("talvor_pack_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    scratch_paths.paths.push_back(path);
    return path;
}

void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
    ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string noise(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out) c = (char)(random() & 0xFF);
    return out;
}

static void put_u64(std::string* out, uint64_t value) {
    for (int i = 0; i < 8; i++) out->push_back((char)(value >> (8 * i)));
}

std::string raw_archive(const std::vector<raw_entry>& entries, bool end_marker) {
    std::string out;
    for (const raw_entry& e : entries) {
        for (char16_t unit : e.name) {
            out.push_back((char)(unit & 0xFF));
            out.push_back((char)(unit >> 8));
        }
        out.append(2, '\0');
        put_u64(&out, e.data.size());
        out += e.data;
    }
    if (end_marker) out.append(2, '\0');
    return out;
}

bytes attached_data(const std::string& archive, const frame_options& options) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, options.content_size ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 20);
    std::vector<unsigned char> frame(ZSTD_compressBound(archive.size()));
    size_t size = ZSTD_compress2(context, frame.data(), frame.size(), archive.data(), archive.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size));
    std::string out = "KAY";
    out.append((const char*)frame.data(), size);
    if (options.tail) {
        out.append(3, '\0');
        put_u64(&out, 6 + size);
    }
    return bytes(out.begin(), out.end());
}

#ifdef _WIN32
// The tool's path as CMake knew it on the build machine. Under Wine an
// absolute path of the host is reachable through drive Z:, which maps "/".
static std::wstring pack_path() {
    fs::path path = fs::u8path(TALVOR_PACK_PATH);
    std::wstring text = path.make_preferred().wstring();
    if (!text.empty() && text[0] == L'\\') text = L"Z:" + text;
    return text;
}

// One argument quoted for the runtime's command-line parser: backslashes
// double only before a double quote, which itself gets one more backslash.
static std::wstring quote(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

static HANDLE capture_file(const fs::path& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Started directly, not through system(): cmd.exe would take the quotes of
// the program's path and of the redirections for its own.
static int run_captured(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::wstring command = quote(pack_path());
    for (const std::string& arg : args) command += L" " + quote(fs::u8path(arg).wstring());
    HANDLE out_file = capture_file(out), err_file = capture_file(err);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION process = {};
    DWORD status = 128;
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        ADD_FAILURE() << "cannot start talvor-pack: error " << GetLastError();
    }
    CloseHandle(out_file);
    CloseHandle(err_file);
    return (int)status;
}
#else
static std::string quote(const std::string& arg) {
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

static int run_captured(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::string command = quote(TALVOR_PACK_PATH);
    for (const std::string& arg : args) command += " " + quote(arg);
    command += " >" + quote(out.string()) + " 2>" + quote(err.string());
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
#endif

// A captured stream, with Windows' text-mode line ends turned back into "\n".
static std::string text_of(const fs::path& path) {
    std::string text = read_file(path);
#ifdef _WIN32
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
    text = out;
#endif
    return text;
}

int run_pack(const std::vector<std::string>& args, std::string* error_text, std::string* output_text) {
    fs::path capture = fs::temp_directory_path() / ("talvor_pack_capture_" + std::to_string(getpid()));
    fs::path out = capture.string() + ".out", err = capture.string() + ".err";
    int status = run_captured(args, out, err);
    if (error_text != nullptr) *error_text = text_of(err);
    if (output_text != nullptr) *output_text = text_of(out);
    fs::remove(out);
    fs::remove(err);
    return status;
}

unpack_result unpack_with_launcher(const bytes& data, const fs::path& target) {
    unpack_result result;
    const auto& native = target.native();
    if (native.size() >= path_capacity) {
        ADD_FAILURE() << "target directory too long";
        return result;
    }
    std::copy(native.begin(), native.end(), target_directory);
    target_directory[native.size()] = 0;
    reset_unpack_state();
    attached_cursor = data.data();
    attached_length = data.size();
    testing::internal::CaptureStdout();
    try {
        create_target_directory();
        open_attached_data();
        unpack_attached_data(false);
        close_attached_data();
    } catch (const process_end& end) {
        result.exit_code = end.code;
        result.aborted = end.aborted;
    }
    result.output = testing::internal::GetCapturedStdout();
    return result;
}
