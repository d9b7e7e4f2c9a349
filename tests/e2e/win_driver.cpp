// End-to-end tests of the Windows launcher. This console program runs inside
// Wine (or on Windows) and starts the onefile executables with CreateProcessW,
// so that exit codes are seen at their full 32 bits, which a Linux parent of
// wine never sees. Each case gets a scratch folder that the launcher sees as
// TEMP and TMP (Wine sets both from its prefix and ignores the Linux values),
// a time limit per run, and a check that the folder is empty at the end.
//
//     win_driver CASE DIR_OF_THE_ONEFILE_EXECUTABLES
#include <windows.h>

#include <aclapi.h>
#include <imagehlp.h>
#include <sddl.h>

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "diag/messages.h"

namespace fs = std::filesystem;

namespace {

const DWORD time_limit_ms = 30000;

std::wstring bin;        // the directory of the onefile executables
std::wstring case_name;  // the case being run
std::wstring scratch_prefix();
int failures = 0;

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out((size_t)length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], length, nullptr, nullptr);
    return out;
}

// Bytes as a C literal, for failure messages.
std::string shown(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char escaped[8];
        if (c >= 32 && c < 127 && c != '"' && c != '\\') {
            out.push_back((char)c);
        } else {
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

void check(bool ok, const std::string& what) {
    if (ok) return;
    failures++;
    printf("FAIL: %s\n", what.c_str());
    fflush(stdout);
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

// Text-mode standard output writes "\r\n"; the tests compare "\n".
std::string normalised(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
    return out;
}

bool starts_with(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }
bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Removes a tree, retrying while Wine still holds files of a process that
// has just ended: for up to 30 s, which a busy machine can take.
bool remove_tree(const fs::path& path, int attempts = 300) {
    for (int attempt = 0; attempt < attempts; attempt++) {
        std::error_code ec;
        fs::remove_all(path, ec);
        if (!fs::exists(path, ec)) return true;
        Sleep(100);
    }
    return false;
}

// A fresh folder for one case: `temp` is the launcher's TEMP and must be
// empty at the end; `work` holds captured output and copied executables.
struct Scratch {
    fs::path root, temp, work;

    Scratch() {
        static int counter = 0;
        root = fs::path(bin) / L"scratch-win" /
               (scratch_prefix() + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter++));
        remove_tree(root);
        fs::create_directories(root / L"temp");
        fs::create_directories(root / L"work");
        temp = root / L"temp";
        work = root / L"work";
    }

    std::vector<std::wstring> leftovers() const {
        std::vector<std::wstring> names;
        for (const auto& entry : fs::directory_iterator(temp)) names.push_back(entry.path().filename().wstring());
        return names;
    }

    void finish(bool wait_for_removal = true) const {
        std::vector<std::wstring> left = leftovers();
        std::string names;
        for (const std::wstring& name : left) names += " " + utf8(name);
        check(left.empty(), "nothing is left in the temporary folder, found:" + names);
        remove_tree(root, wait_for_removal ? 300 : 1);
    }
};

// One argument as the runtime's parser splits it again: quoted when it is
// empty or holds a blank, a tab or a double quote, or a wildcard, as a user
// quotes a pattern meant for the program; backslashes are doubled only
// before a double quote, which gets one more.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"*?") == std::wstring::npos) return arg;
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

struct ci_less {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};
typedef std::map<std::wstring, std::wstring, ci_less> environment;

// The driver's environment without TALVOR_* variables, with TEMP and TMP
// set to the scratch folder, then `extra` on top, as a sorted block.
std::wstring environment_block(const Scratch& scratch, const environment& extra) {
    environment variables;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != 0; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t equals = entry.find(L'=', 1); // "=C:=C:\x" names a drive's current directory
        if (equals == std::wstring::npos) continue;
        std::wstring name = entry.substr(0, equals);
        if (_wcsnicmp(name.c_str(), L"TALVOR_", 7) == 0) continue;
        variables[name] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
    variables[L"TEMP"] = scratch.temp.wstring();
    variables[L"TMP"] = scratch.temp.wstring();
    for (const auto& pair : extra) variables[pair.first] = pair.second;
    std::wstring block;
    for (const auto& pair : variables) block += pair.first + L"=" + pair.second + L'\0';
    return block + L'\0';
}

struct result {
    DWORD code = 0;
    std::string out, err; // normalised
    double seconds = 0;
    DWORD pid = 0;
};

// A started onefile executable, its output going to files in the scratch
// folder: files never fill up, so nothing waits on the reader.
class process {
  public:
    // argv[0] is written to the command line as given; `application`, when
    // not empty, is the file to start.
    process(const Scratch& scratch, const std::vector<std::wstring>& argv, const environment& extra = {},
            const std::wstring& application = L"", const std::wstring& directory = L"") {
        static int counter = 0;
        std::wstring stem = L"run" + std::to_wstring(counter++);
        out_path = scratch.work / (stem + L".out");
        err_path = scratch.work / (stem + L".err");
        std::wstring command;
        for (const std::wstring& arg : argv) command += (command.empty() ? L"" : L" ") + quoted(arg);
        std::wstring block = environment_block(scratch, extra);
        HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE out = capture(out_path), err = capture(err_path);
        // Only this start inherits the three handles: another process that
        // runs meanwhile must not keep the files open.
        for (HANDLE h : {in, out, err}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        started = GetTickCount64();
        // As the launcher does: Wine's internal error is a start that died
        // before any of its code ran.
        BOOL ok = FALSE;
        for (int attempt = 0; !ok && attempt < 3; attempt++) {
            ok = CreateProcessW(application.empty() ? nullptr : application.c_str(), &command[0], nullptr, nullptr,
                                TRUE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                                directory.empty() ? nullptr : directory.c_str(), &startup, &info);
            if (!ok && GetLastError() != ERROR_INTERNAL_ERROR) break;
        }
        check(ok, "CreateProcessW starts " + utf8(command) + ": error " + std::to_string(GetLastError()));
        for (HANDLE h : {in, out, err}) CloseHandle(h);
        if (ok) CloseHandle(info.hThread);
    }

    DWORD pid() const { return info.dwProcessId; }

    // Ends the launcher at once, as "End task" does.
    void terminate() { TerminateProcess(info.hProcess, 1); }

    std::string output() const { return normalised(read_all(out_path)); }

    // Waits until the application printed "ready".
    bool wait_ready() {
        for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < time_limit_ms; Sleep(20)) {
            if (starts_with(normalised(read_all(out_path)), "ready\n")) return true;
            if (info.hProcess == nullptr || WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0) break;
        }
        check(false, "the application prints ready");
        return false;
    }

    // Waits for the end within the time limit; a process that overruns is
    // terminated and counted as a failure.
    result finish() {
        result r;
        r.pid = info.dwProcessId;
        if (info.hProcess != nullptr) {
            if (WaitForSingleObject(info.hProcess, time_limit_ms) != WAIT_OBJECT_0) {
                check(false, "the launcher ends within the time limit");
                TerminateProcess(info.hProcess, 0xDEAD);
                WaitForSingleObject(info.hProcess, INFINITE);
            }
            GetExitCodeProcess(info.hProcess, &r.code);
            CloseHandle(info.hProcess);
            info.hProcess = nullptr;
        }
        r.seconds = (double)(GetTickCount64() - started) / 1000;
        r.out = normalised(read_all(out_path));
        r.err = normalised(read_all(err_path));
        return r;
    }

    ~process() {
        if (info.hProcess != nullptr) finish();
    }

  private:
    static HANDLE capture(const fs::path& path) {
        return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    PROCESS_INFORMATION info = {};
    fs::path out_path, err_path;
    ULONGLONG started = 0;
};

// "_prebuilt": the cases run against the applications that talvor-pack made
// from the prebuilt launcher, each named as its linked twin plus this.
std::wstring way;

std::wstring exe(const std::wstring& name) { return bin + L"\\" + name + way + L".exe"; }

// The start of this run's scratch folders' names: the case and the way, so
// that a run of the same case the other way, at the same time, keeps its own.
std::wstring scratch_prefix() { return case_name + (way.empty() ? L"-linked" : way) + L"_"; }

// Runs the executable at `path` with the arguments after argv[0].
result run(const Scratch& scratch, const std::wstring& path, const std::vector<std::wstring>& args,
           const environment& extra = {}, const std::wstring& directory = L"") {
    std::vector<std::wstring> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    return process(scratch, argv, extra, path, directory).finish();
}

std::string describe(const result& r) {
    return "exit " + std::to_string(r.code) + ", out " + shown(r.out) + ", err " + shown(r.err);
}

// What app.c's "print" reported: "key=N", "key=unset" or "key=x" and the hex
// of the UTF-8 bytes. An unset value is missing from the map.
std::map<std::string, std::string> parse(const std::string& out) {
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (value == "unset") continue;
        if (value.empty() || value[0] != 'x') {
            values[key] = value;
            continue;
        }
        std::string bytes;
        for (size_t i = 1; i + 1 < value.size(); i += 2) bytes.push_back((char)std::stoi(value.substr(i, 2), nullptr, 16));
        values[key] = bytes;
    }
    return values;
}

// --- Cases --------------------------------------------------------------------

void case_exit_statuses() {
    for (int status : {0, 3, 255, 256, -1}) {
        Scratch s;
        result r = run(s, exe(L"onefile_app"), {L"exit", std::to_wstring(status)});
        check(r.code == (DWORD)status, "run_code returning " + std::to_string(status) + " ends the launcher with it: " +
                                           describe(r));
        check(r.out == "ready\n" && r.err.empty(), "only the application writes: " + describe(r));
        s.finish();
    }
}

void case_crash() {
    Scratch s;
    result r = run(s, exe(L"onefile_app"), {L"crash"});
    check(r.code == EXCEPTION_ACCESS_VIOLATION, "an access violation is the launcher's exit code: " + describe(r));
    check(starts_with(r.out, "ready\n"), "the application ran");
    s.finish();
}

void case_arguments() {
    const std::vector<std::wstring> args = {L"print", L"with blank", L"tab\there", L"quote\"inside", L"trail\\",
                                            L"dir with blank\\\\", L"", L"\u00fcn\u00efc\u00f8d\u00e9 \u2713",
                                            L"--exit", L"\"\"", L"\\\\server\\share",
                                            L"*.lua", L"e?it3.lua", L"a b*"};
    Scratch s;
    // Files that the patterns match, in the current directory: quoted
    // patterns reach the application as typed, never as file names.
    for (const wchar_t* name : {L"a1.lua", L"a2.lua", L"exit3.lua", L"a bc"}) write_all(s.work / name, "");
    result r = run(s, exe(L"onefile_app"), args, {}, s.work.wstring());
    check(r.code == 0, "print exits 0: " + describe(r));
    auto v = parse(r.out);
    check(v["argc"] == std::to_string(args.size() + 1), "argc counts every argument: " + v["argc"]);
    for (size_t i = 0; i < args.size(); i++) {
        std::string key = "arg" + std::to_string(i + 1);
        check(v.count(key) && v[key] == utf8(args[i]),
              "argument " + std::to_string(i + 1) + " arrives unchanged: " + shown(v[key]) + " != " + shown(utf8(args[i])));
    }
    check(v["arg0"] == utf8(exe(L"onefile_app")), "argv[0] is the launcher's module path: " + shown(v["arg0"]));
    s.finish();
}

void case_handover() {
    Scratch s;
    // Started by a bare name from its own directory: argv[0] stays as given.
    process p(s, {L"onefile_app" + way, L"print"}, {}, L"", bin);
    result r = p.finish();
    auto v = parse(r.out);
    check(r.code == 0, "print exits 0: " + describe(r));
    check(v["TALVOR_ONEFILE_DIRECTORY"] == utf8(bin), "the launcher's directory without a final backslash: " +
                                                          shown(v["TALVOR_ONEFILE_DIRECTORY"]));
    check(v["TALVOR_ORIGINAL_ARGV0"] == "onefile_app" + utf8(way), "argv[0] as given: " + shown(v["TALVOR_ORIGINAL_ARGV0"]));
    check(v["TALVOR_ONEFILE_PARENT"] == std::to_string(r.pid), "the parent's process id: " + v["TALVOR_ONEFILE_PARENT"]);
    std::string time_us = v["TALVOR_ONEFILE_TIME_US"], random = v["TALVOR_ONEFILE_RANDOM"];
    check(time_us.size() == 6 && std::all_of(time_us.begin(), time_us.end(), ::isdigit),
          "six digits of microseconds: " + shown(time_us));
    check(random.size() == 11, "eleven random characters: " + shown(random));
    check(v.count("TALVOR_ONEFILE_START") == 0, "no start time is set");
    fs::path target = s.temp / ("onefile_" + std::to_string(r.pid) + "_" + time_us + "_" + random);
    check(v["dll"] == utf8((target / L"libe2e_app.dll").wstring()), "the main library's path: " + shown(v["dll"]));
    check(!fs::exists(target), "the target directory is removed");
    s.finish();

    // Inherited remembered values are replaced with fresh ones.
    Scratch fresh;
    r = run(fresh, exe(L"onefile_app"), {L"print"},
            {{L"TALVOR_ONEFILE_RANDOM", L"stalestalea"}, {L"TALVOR_ONEFILE_TIME_US", L"123456"},
             {L"TALVOR_ONEFILE_START", L"1"}});
    v = parse(r.out);
    check(r.code == 0 && v["TALVOR_ONEFILE_RANDOM"] != "stalestalea" && v["TALVOR_ONEFILE_TIME_US"] != "123456" &&
              v.count("TALVOR_ONEFILE_START") == 0,
          "a parent makes fresh values: " + describe(r));
    fresh.finish();

    // A temporary folder whose name lies outside the ANSI code page, as a
    // user name can: the launcher works in wide paths throughout.
    Scratch wide;
    fs::path temp = wide.temp / L"Z\u00f6\u03a0\u2713";
    fs::create_directories(temp);
    r = run(wide, exe(L"onefile_app"), {L"print"}, {{L"TEMP", temp.wstring()}, {L"TMP", temp.wstring()}});
    v = parse(r.out);
    check(r.code == 0 && starts_with(v["dll"], utf8(temp.wstring()) + "\\onefile_"),
          "a temporary folder with non-ANSI characters: " + describe(r));
    check(fs::is_empty(temp), "its target directory is removed");
    fs::remove(temp);
    wide.finish();
}

void case_no_entry_point() {
    Scratch s;
    result r = run(s, exe(L"onefile_noentry"), {L"print"});
    check(r.code == EXIT_CODE_FAILURE && r.out == MSG_NO_ENTRY_POINT "\n" && r.err.empty(),
          "a library without run_code: " + describe(r));
    s.finish();
}

// A failed load for want of `missing`, which the message names.
bool load_error(const result& r, const std::string& missing) {
    return r.code == EXIT_CODE_FAILURE && r.out.empty() && starts_with(r.err, MSG_LOAD_DLL " ([Error 126] ") &&
           ends_with(r.err, ") Missing: '" + missing + "'.\n") && r.err.find('\n') == r.err.size() - 1;
}

void case_missing_dependency() {
    Scratch s;
    result r = run(s, exe(L"onefile_dep_missing"), {L"dep"});
    check(load_error(r, "libe2e_dep.dll"), "a missing dependency: " + describe(r));
    s.finish();

    // A dependency next to the launcher, and so in the current directory,
    // is not used.
    Scratch alone;
    fs::copy_file(exe(L"onefile_dep_missing"), alone.work / L"onefile_dep_missing.exe");
    fs::copy_file(bin + L"\\libe2e_dep.dll", alone.work / L"libe2e_dep.dll");
    r = run(alone, (alone.work / L"onefile_dep_missing.exe").wstring(), {L"dep"}, {}, alone.work.wstring());
    check(load_error(r, "libe2e_dep.dll"), "a dependency next to the launcher is not found: " + describe(r));
    alone.finish();
}

void case_packed_dependency() {
    Scratch s;
    result r = run(s, exe(L"onefile_dep_packed"), {L"dep"});
    check(r.code == 42, "the dependency in the target directory is found: " + describe(r));
    s.finish();
}

// The application's own loads at run time: a plugin loaded by its full path
// or by its bare name, and the DLL that the plugin imports (which the main
// library does not), come from the target directory. DLLs of the same names
// planted in the launcher's folder, the current directory and along PATH are
// never loaded. In a child and, from a cached directory, in the launcher's
// own process (the cached runs after the first).
void case_dll_search() {
    for (const wchar_t* name : {L"onefile_plugin", L"onefile_plugin_cached"}) {
        Scratch s;
        fs::path launcher = s.work / (std::wstring(name) + L".exe"), on_path = s.work / L"on-path";
        fs::create_directories(on_path);
        fs::copy_file(exe(name), launcher);
        for (const fs::path& folder : {s.work, on_path})
            for (const wchar_t* planted : {L"libe2e_dep.dll", L"libe2e_plugin.dll"})
                fs::copy_file(bin + L"\\libe2e_planted.dll", folder / planted);
        environment path{{L"PATH", on_path.wstring() + L";C:\\windows\\system32;C:\\windows"}};
        for (const std::vector<std::wstring>& args :
             {std::vector<std::wstring>{L"plugin"}, {L"plugin", L"bare"}, {L"plugin"}}) {
            result r = run(s, launcher.wstring(), args, path, s.work.wstring());
            check(r.code == 43 && r.out == "ready\nplugin=packed\ndep=packed\n",
                  utf8(name) + " " + utf8(args.back()) + ": the packed DLLs are loaded: " + describe(r));
        }
        remove_tree(s.temp / L"talvor-e2e-plugin");
        s.finish();
    }
}

// A C++ main library that imports the toolchain's runtime DLLs: packed with
// it by talvor_add_onefile, it runs; left out, its load fails and the message
// names the first one missing.
void case_runtime_dlls() {
    Scratch s;
    result r = run(s, exe(L"onefile_cxx"), {L"exit", L"5"});
    check(r.code == 5 && r.out.empty() && r.err.empty(), "the runtime DLLs are packed: " + describe(r));
    r = run(s, exe(L"onefile_cxx_alone"), {L"exit", L"5"});
    // GCC's library imports libgcc_s_seh-1.dll first; clang links libgcc
    // statically.
    check(load_error(r, "libgcc_s_seh-1.dll") || load_error(r, "libstdc++-6.dll"), "without them: " + describe(r));
    s.finish();
}

void case_parent_set_by_hand() {
    Scratch s;
    result r = run(s, exe(L"onefile_app"), {L"exit", L"5"}, {{L"TALVOR_ONEFILE_PARENT", L"2147483600"}});
    check(r.code == 5, "an unknown parent id means parent mode: " + describe(r));
    s.finish();

    Scratch other;
    process first(other, {exe(L"onefile_app"), L"sleep", L"3000"}, {}, exe(L"onefile_app"));
    if (first.wait_ready()) {
        r = run(other, exe(L"onefile_app"), {L"exit", L"5"}, {{L"TALVOR_ONEFILE_PARENT", std::to_wstring(first.pid())}});
        check(r.code == EXIT_CODE_FAILURE && starts_with(r.err, MSG_LOAD_DLL " ("),
              "another instance's id makes a child with no library: " + describe(r));
    }
    r = first.finish();
    check(r.code == 0, "the other instance ends normally: " + describe(r));
    other.finish();
}

void case_held_open() {
    Scratch s;
    process p(s, {exe(L"onefile_app"), L"sleep", L"1500"}, {}, exe(L"onefile_app"));
    p.wait_ready();
    std::vector<std::wstring> targets;
    for (const std::wstring& name : s.leftovers())
        if (!ends_with(utf8(name), ".lock")) targets.push_back(name);
    check(targets.size() == 1, "one target directory while the application runs");
    if (targets.empty()) return;
    fs::path target = s.temp / targets[0];
    // Open without FILE_SHARE_DELETE: the directory cannot go while it is.
    HANDLE held = CreateFileW((target / L"libe2e_app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    check(held != INVALID_HANDLE_VALUE, "the main library can be opened: error " + std::to_string(GetLastError()));
    result r = p.finish();
    check(r.code == 0 && r.err.empty(), "the exit status stays the child's: " + describe(r));
    // 1.5 s of the application, then about 2 s of retries.
    check(r.seconds >= 3.0 && r.seconds < 15, "clean-up retries for about 2 s: " + std::to_string(r.seconds) + " s");
    check(fs::exists(target), "the directory with the open file is left");
    fs::path lock = target.wstring() + L".lock";
    check(fs::exists(lock), "with its lock file, for a later run to reclaim it");
    CloseHandle(held);
    r = run(s, exe(L"onefile_app"), {L"exit", L"0"});
    check(r.code == 0 && !fs::exists(target) && !fs::exists(lock),
          "a later run reclaims the directory once the file is closed: " + describe(r));
    s.finish();
}

std::set<std::wstring> names_in(const Scratch& s) {
    std::vector<std::wstring> left = s.leftovers();
    return std::set<std::wstring>(left.begin(), left.end());
}

// Launchers ended outright (TerminateProcess, as "End task" does) while their
// applications run leave their directories and lock files; one normal run
// reclaims them. A live run, a directory without a lock file (an older
// launcher's), one open to others, a name that misses the pattern, and
// thousands of unrelated entries stay as they are.
void case_reclaim() {
    for (int unrelated : {0, 10000}) {
        Scratch s;
        const struct {
            const wchar_t* name;
            bool lock;
        } decoys[] = {{L"onefile_4242_123456_AAAAAAAAAAA", false},
                      {L"onefile_4243_123456_AAAAAAAAAAA", true},
                      {L"onefile_4244_12345_AAAAAAAAAAA", true}};
        // Open to everybody to read, so not private.
        SECURITY_ATTRIBUTES open_to_all = {sizeof open_to_all, nullptr, FALSE};
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                             &open_to_all.lpSecurityDescriptor, nullptr);
        for (const auto& d : decoys) {
            CreateDirectoryW((s.temp / d.name).c_str(), &open_to_all);
            write_all(s.temp / d.name / L"payload.txt", utf8(d.name));
            if (d.lock) write_all(s.temp / (std::wstring(d.name) + L".lock"), "");
        }
        for (int i = 0; i < unrelated; i++) write_all(s.temp / (L"unrelated_" + std::to_wstring(i)), "");
        std::set<std::wstring> kept = names_in(s);

        ULONGLONG started = GetTickCount64();
        // Runs until the test is done with the normal run.
        fs::path stop = s.work / L"stop";
        process live(s, {exe(L"onefile_app"), L"hold", L"200000", stop.wstring()}, {}, exe(L"onefile_app"));
        live.wait_ready();
        std::set<std::wstring> live_names;
        for (const std::wstring& name : names_in(s))
            if (!kept.count(name)) live_names.insert(name);
        check(live_names.size() == 2, "the live run has a directory and a lock file");

        std::vector<std::unique_ptr<process>> victims;
        for (int i = 0; i < 20; i++) {
            victims.push_back(std::make_unique<process>(s, std::vector<std::wstring>{exe(L"onefile_app"), L"sleep", L"60000"},
                                                        environment{}, exe(L"onefile_app")));
            victims.back()->wait_ready();
        }
        // The last launchers reclaim while their applications start; let
        // them finish before the first ones die.
        Sleep(1000);
        for (auto& v : victims) {
            v->terminate();
            v->finish();
        }
        std::set<std::wstring> killed;
        for (const std::wstring& name : names_in(s))
            if (!kept.count(name) && !live_names.count(name)) killed.insert(name);
        check(killed.size() == 40, "20 killed launchers leave 20 directories and 20 lock files: " +
                                       std::to_string(killed.size()));

        // An application that runs until the leftovers are gone, or a minute
        // has passed: one that ends at once stops the reclaiming after the
        // first leftover, and on a loaded machine a few seconds may not be
        // enough for all twenty.
        fs::path reclaimed = s.work / L"reclaimed";
        process normal(s, {exe(L"onefile_app"), L"hold", L"60000", reclaimed.wstring()}, {}, exe(L"onefile_app"));
        normal.wait_ready();
        auto killed_left_now = [&] {
            std::set<std::wstring> now = names_in(s);
            int count = 0;
            for (const std::wstring& name : killed) count += (int)now.count(name);
            return count;
        };
        for (ULONGLONG begin = GetTickCount64(); killed_left_now() > 0 && GetTickCount64() - begin < 60000;) Sleep(100);
        write_all(reclaimed, "");
        result r = normal.finish();
        check(r.code == 0, "the normal run: " + describe(r));
        printf("%d unrelated entries: the normal run ended %.1f s after the live one started\n", unrelated,
               (double)(GetTickCount64() - started) / 1000);
        std::set<std::wstring> left = names_in(s);
        int killed_left = killed_left_now();
        check(killed_left == 0, std::to_string(unrelated) + " unrelated entries: " + std::to_string(killed_left) +
                                    " names of the killed runs are left");
        for (const std::wstring& name : kept) check(left.count(name) == 1, "kept: " + utf8(name));
        for (const auto& d : decoys)
            check(read_all(s.temp / d.name / L"payload.txt") == utf8(d.name), "untouched: " + utf8(d.name));
        for (const std::wstring& name : live_names) check(left.count(name) == 1, "the live run's " + utf8(name) + " stays");
        write_all(stop, "");
        result l = live.finish();
        check(l.code == 0 && l.out.find("kept=1\n") != std::string::npos, "the live run kept its files: " + describe(l));
        for (const std::wstring& name : kept) remove_tree(s.temp / name);
        s.finish();
    }
}

// A temporary "folder" that is a file, named in Cyrillic: the launcher cannot
// create its target directory and names the path whole. A GUI launcher has
// no console, so its message reaches the file in the ANSI code page, where
// characters that code page lacks become the system's replacement character
// ('?' in the code pages without Cyrillic).
void case_temp_is_a_file() {
    Scratch s;
    fs::path blocker = s.work / L"\u0424\u0430\u0439\u043b";
    write_all(blocker, "");
    result r = run(s, exe(L"onefile_app"), {L"exit", L"7"}, {{L"TEMP", blocker.wstring()}, {L"TMP", blocker.wstring()}});
    std::wstring wide = blocker.wstring();
    std::string path((size_t)(4 * wide.size()), '\0');
    path.resize((size_t)WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &path[0],
                                            (int)path.size(), nullptr, nullptr));
    const std::string head = "Error, failed to open '" + path + "\\onefile_";
    check(r.code == EXIT_CODE_FAILURE && r.out.empty() && starts_with(r.err, head) &&
              ends_with(r.err, "' for writing.\n") && r.err.find('\n') == r.err.size() - 1,
          "a temporary folder that is a file: " + describe(r) + ", expected to start with " + shown(head));
    s.finish();
}

// A copy of onefile_big.exe whose attached data `change` damaged.
fs::path damaged(const Scratch& s, const std::function<void(std::string&, size_t start, size_t length)>& change) {
    std::string image = read_all(exe(L"onefile_big"));
    const std::string signature("KAY\x28\xB5\x2F\xFD", 7);
    size_t start = image.find(signature);
    check(start != std::string::npos && image.find(signature, start + 1) == std::string::npos, "one attached data");
    // The attached data ends in its own length, a little-endian 64-bit value.
    size_t length = 0;
    for (size_t end = start + 14; start != std::string::npos && end + 8 <= image.size(); end++) {
        uint64_t value = 0;
        for (int i = 7; i >= 0; i--) value = value << 8 | (unsigned char)image[end + i];
        if (value == end - start) {
            length = end + 8 - start;
            break;
        }
    }
    check(length > 0, "the attached data's trailing length is found");
    if (length > 0) change(image, start, length);
    fs::path path = s.work / L"onefile_big.exe";
    write_all(path, image);
    return path;
}

void case_bad_attached_data() {
    const struct {
        const char* what;
        std::function<void(std::string&, size_t, size_t)> change;
        const char* out;
    } classes[] = {
        {"bad magic", [](std::string& image, size_t start, size_t) { image[start] ^= 0x55; }, MSG_NO_HEADER "\n"},
        {"corrupt block",
         [](std::string& image, size_t start, size_t length) { image[start + 3 + (length - 14) / 2] ^= 0x55; },
         MSG_DECODE "\n"},
    };
    for (const auto& c : classes) {
        Scratch s;
        result r = run(s, damaged(s, c.change).wstring(), {L"print"});
        check(r.code == EXIT_CODE_FAILURE && r.out == c.out && r.err.empty(), std::string(c.what) + ": " + describe(r));
        // Also when the failure comes while a file is being written.
        check(s.leftovers().empty(), std::string(c.what) + ": the failed start leaves no directory");
        s.finish();
    }
}

// No entry of the directory's DACL grants anything to Everyone; on Windows
// (Wine makes a DACL up from the Unix mode) the DACL is also protected and
// its one entry is the user's.
bool user_only(const fs::path& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS || dacl == nullptr)
        return false;
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world_authority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    bool ok = true;
    for (WORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, (void**)&ace) && EqualSid(&ace->SidStart, everyone)) ok = false;
    }
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        ok = ok && (control & SE_DACL_PROTECTED) != 0 && dacl->AceCount == 1;
    }
    FreeSid(everyone);
    LocalFree(descriptor);
    return ok;
}

// The cached target directory below TEMP: a first start unpacks and
// publishes it, a later one runs from it in the launcher's own process and
// gives the application the same values; an update gets its own directory.
// The directories in a cached application's folder: its versions, without
// their lock files.
std::vector<fs::path> versions(const fs::path& folder) {
    std::vector<fs::path> found;
    if (!fs::is_directory(folder)) return found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        if (entry.path().extension() != L".lock") found.push_back(entry.path());
    return found;
}

void case_cached() {
    Scratch s;
    fs::path cache = s.temp / L"talvor-e2e";
    std::map<std::string, std::string> seen[2];
    fs::path final;
    for (int start = 0; start < 2; start++) {
        result r = run(s, exe(L"onefile_cached"), {L"print", L"a b"});
        seen[start] = parse(r.out);
        check(r.code == 0, "cached start " + std::to_string(start) + ": " + describe(r));
        std::vector<fs::path> entries = versions(cache);
        check(entries.size() == 1 && entries[0].filename().wstring().size() == 16,
              "one final directory named by the digest, no staging directory");
        if (entries.size() != 1) break;
        final = entries[0];
        check(seen[start]["dll"] == utf8((entries[0] / L"libe2e_app.dll").wstring()),
              "the main library's path: " + shown(seen[start]["dll"]));
        check(user_only(cache) && user_only(entries[0]), "the directories carry the user-only DACL");
    }
    for (const char* key : {"argc", "arg0", "arg2", "TALVOR_ONEFILE_DIRECTORY", "TALVOR_ORIGINAL_ARGV0", "dll"})
        check(seen[0][key] == seen[1][key], std::string(key) + " is the same in a child and in the launcher's process");
    // getenv and _wgetenv read the C runtime's copy of the variables, which
    // the launcher's process made before the launcher set them.
    for (int start = 0; start < 2; start++)
        for (const char* key : {"TALVOR_ONEFILE_DIRECTORY", "TALVOR_ORIGINAL_ARGV0", "TALVOR_ONEFILE_PARENT",
                                "TALVOR_ONEFILE_TIME_US", "TALVOR_ONEFILE_RANDOM"})
            for (const char* runtime : {"crt.", "crtw."}) {
                std::string copy = runtime + std::string(key);
                auto value = [&](const std::string& k) { return seen[start].count(k) ? seen[start][k] : "unset"; };
                check(value(copy) == value(key),
                      "start " + std::to_string(start) + ": " + copy + " " + value(copy) + " is " + value(key));
            }
    result r = run(s, exe(L"onefile_cached_update"), {L"exit", L"4"});
    std::vector<fs::path> entries = versions(cache);
    check(r.code == 4 && entries.size() == 2, "an update runs from a directory of its own: " + describe(r));

    // Access entries that let somebody else replace what the directory
    // holds (above the final directory), or reach into it at all (the final
    // one), are refused; one that only lets others read above it is not.
    // (Wine keeps no DACL of its own: it turns one into the Unix mode and
    // makes the DACL up from the mode again, so only grants that the mode
    // can tell apart are tried.)
    const struct {
        bool final;
        const wchar_t* sddl;
        bool refused;
    } grants[] = {{false, L"(A;;FA;;;WD)", true}, {false, L"(A;;0x1200a9;;;WD)", false},
                  {true, L"(A;;0x1200a9;;;WD)", true}};
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    char user_buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &size);
    CloseHandle(token);
    wchar_t* user = nullptr;
    ConvertSidToStringSidW(((TOKEN_USER*)user_buffer)->User.Sid, &user);
    for (const auto& grant : grants) {
        std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(user) + L")" + grant.sddl;
        fs::path target = grant.final ? final : cache;
        PSECURITY_DESCRIPTOR before = nullptr, changed = nullptr;
        ACL* old_dacl = nullptr;
        GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old_dacl,
                              nullptr, &before);
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &changed, nullptr);
        BOOL present, defaulted;
        ACL* dacl = nullptr;
        GetSecurityDescriptorDacl(changed, &present, &dacl, &defaulted);
        SetNamedSecurityInfoW(&target.wstring()[0], SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                              nullptr);
        r = run(s, exe(L"onefile_cached"), {L"exit", L"0"});
        std::string refusal = "Error, refused target directory '" + utf8(target.wstring()) +
                              "': not the user's own, or others may write to it.\n";
        check(grant.refused ? r.code == 2 && r.err == refusal : r.code == 0,
              utf8(sddl) + (grant.refused ? " is refused: " : " is accepted: ") + describe(r));
        SetNamedSecurityInfoW(&target.wstring()[0], SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              old_dacl, nullptr);
        LocalFree(before);
        LocalFree(changed);
    }
    LocalFree(user);
    remove_tree(cache);
    s.finish();
}

// Every file below `root` with its bytes, by relative path.
std::map<std::wstring, std::string> tree(const fs::path& root) {
    std::map<std::wstring, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), root).wstring()] = read_all(entry.path());
    return files;
}

// A cached directory damaged as a temporary-folder cleaner, a virus scanner
// or a power loss does it: the next starts (two at once) run the whole
// application and leave the directory whole; an instance that runs during
// the damage and the repair (where the damage spares its loaded library)
// is not disturbed.
void case_cached_damage() {
    auto remove_files = [](const fs::path& final) {
        for (const wchar_t* name : {L"d1\\f11.txt", L"d2\\f42.txt", L"d7\\f107.txt", L"d9\\f199.txt"})
            fs::remove(final / name);
    };
    auto cut_data = [](const fs::path& final) { fs::resize_file(final / L"d5\\f15.txt", 100); };
    auto remove_directory = [](const fs::path& final) { fs::remove_all(final / L"d3"); };
    auto empty_library = [](const fs::path& final) { fs::resize_file(final / L"libe2e_app.dll", 0); };
    auto remove_library = [](const fs::path& final) { fs::remove(final / L"libe2e_app.dll"); };
    auto empty = [](const fs::path& final) {
        for (const auto& entry : fs::directory_iterator(final)) fs::remove_all(entry.path());
    };
    struct damage {
        const char* what;
        std::function<void(const fs::path&)> apply;
        bool running;
    };
    const damage cases[] = {{"files deleted", remove_files, true},       {"a data file cut short", cut_data, true},
                            {"a directory deleted", remove_directory, true}, {"the main library emptied", empty_library, false},
                            {"the main library deleted", remove_library, false}, {"everything deleted", empty, false}};
    std::map<std::wstring, std::string> expected = tree(fs::path(bin) / L"many-payload");
    expected[L"libe2e_app.dll"] = read_all(fs::path(bin) / L"libe2e_app.dll");
    for (const damage& d : cases) {
        Scratch s;
        fs::path cache = s.temp / L"talvor-e2e-many";
        result first = run(s, exe(L"onefile_cached_many"), {L"exit", L"0"});
        check(first.code == 0, std::string(d.what) + ": the first start runs: " + describe(first));
        std::vector<fs::path> found = versions(cache);
        if (found.size() != 1) continue;
        fs::path final = found[0];
        std::unique_ptr<process> during;
        if (d.running) {
            during.reset(new process(s, {exe(L"onefile_cached_many"), L"sleep", L"3000"}));
            during->wait_ready();
        }
        d.apply(final);
        process a(s, {exe(L"onefile_cached_many"), L"exit", L"5"}), b(s, {exe(L"onefile_cached_many"), L"exit", L"5"});
        for (process* p : {&a, &b}) {
            result r = p->finish();
            check(r.code == 5 && r.err.empty(), std::string(d.what) + ": a start after the damage runs: " + describe(r));
        }
        if (during) {
            result r = during->finish();
            check(r.code == 0, std::string(d.what) + ": the running instance ends as it would: " + describe(r));
        }
        check(tree(final) == expected, std::string(d.what) + ": the directory is whole again");
        check(versions(cache).size() == 1, std::string(d.what) + ": no staging directory is left");
        remove_tree(cache);
        s.finish();
    }
}

// A command line that fits the 32,767 characters of CreateProcessW as the
// user typed it, with a short relative program name, but not as the child's,
// which starts with the full module path. The parent fails after it has
// unpacked, with status 3 as before, and removes what it unpacked.
void case_long_command_line() {
    Scratch s;
    std::vector<std::wstring> argv{L"onefile_app", L"exit", L"7", L""};
    size_t length = 0;
    for (const std::wstring& arg : argv) length += arg.size() + 1;
    argv.back().assign(32766 - (length - 1), L'x');
    process p(s, argv, {}, L"", bin);
    result r = p.finish();
    check(r.code == 3 && r.out.empty() && r.err.empty(), "a child command line that does not fit: " + describe(r));
    s.finish();
}

// The process id that the application printed as "key=N", or 0.
DWORD printed_pid(const std::string& out, const std::string& key) {
    auto v = parse(out);
    return v.count(key) ? (DWORD)std::stoul("0" + v[key]) : 0;
}

// Waits up to `ms` for the process `pid` to end; true when it has, or never
// ran.
bool ends_within(DWORD pid, DWORD ms) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return true;
    bool ended = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

// "End task": TerminateProcess on the launcher while its application runs.
// The application is tied to the launcher and ends with it; a program that
// the application started is not tied and runs on. Nothing is left to
// remove the target directory, so the case removes it.
void case_killed() {
    Scratch s;
    process p(s, {exe(L"onefile_app"), L"spawn", L"20000"}, {}, exe(L"onefile_app"));
    // Both print "ready": the other program has then seen the launcher
    // alive and runs as its child, from the same directory.
    auto started = [&p]() {
        std::string out = p.output();
        return out.find("ready\n") != out.rfind("ready\n") && out.find("spawned=") != std::string::npos;
    };
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < time_limit_ms && !started(); Sleep(20)) {
    }
    DWORD app = printed_pid(p.output(), "app"), spawned = printed_pid(p.output(), "spawned");
    check(started() && app != 0 && spawned != 0, "the application started another program: " + shown(p.output()));
    HANDLE spawned_handle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, spawned);
    p.terminate();
    result r = p.finish();
    check(r.code == 1, "the launcher was terminated: " + describe(r));
    check(ends_within(app, 5000), "the application ends with its launcher");
    check(spawned_handle != nullptr && WaitForSingleObject(spawned_handle, 500) == WAIT_TIMEOUT,
          "a program that the application started runs on");
    if (spawned_handle != nullptr) {
        TerminateProcess(spawned_handle, 0);
        WaitForSingleObject(spawned_handle, 5000);
        CloseHandle(spawned_handle);
    }
    if (!ends_within(app, 0)) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, app);
        if (h != nullptr) {
            TerminateProcess(h, 0);
            WaitForSingleObject(h, 5000);
            CloseHandle(h);
        }
    }
    std::vector<std::wstring> left = s.leftovers();
    std::string names;
    for (const std::wstring& name : left) names += " " + utf8(name);
    std::sort(left.begin(), left.end());
    check(left.size() == 2 && left[0].rfind(L"onefile_", 0) == 0 && left[1] == left[0] + L".lock",
          "the target directory stays, with its lock file:" + names);
    for (const std::wstring& name : left) remove_tree(s.temp / name);
    s.finish();
}

// Executables completed by talvor-pack from the prebuilt launchers (one of
// them around an MSVC-ABI DLL), and one that talvor_add_onefile linked with
// VERSION_INFO (the same texts, from tests/e2e/CMakeLists.txt): each runs,
// and its manifest, icon and version information read back through the
// functions that Explorer uses.
void case_prebuilt() {
    const std::pair<const wchar_t*, const char*> texts[] = {
        {L"ProductName", "Talvor Prebuilt"},     {L"ProductVersion", "1.2.3"},
        {L"FileVersion", "1.2.3.4"},             {L"CompanyName", "Talvor \xc3\x9c \"quoted\""},
        {L"FileDescription", "The e2e application"}, {L"LegalCopyright", "\xc2\xa9 2026 Talvor"},
    };
    // A main DLL for the MSVC ABI, whose run_code returns 40 plus its argc.
    std::wstring msvc = exe(L"prebuilt_msvc");
    if (GetFileAttributesW(msvc.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Scratch s;
        result r = run(s, msvc, {L"a", L"b"});
        check(r.code == 43, "prebuilt_msvc: the MSVC-ABI DLL's run_code gets the arguments: " + describe(r));
        s.finish();
    } else {
        std::printf("prebuilt_msvc.exe was not built (no clang with lld-link): not run\n");
    }
    for (const wchar_t* name : {L"prebuilt_gui", L"prebuilt_console", L"onefile_versioned"}) {
        std::string what = utf8(name) + ": ";
        Scratch s;
        result r = run(s, exe(name), {L"exit", L"5"});
        check(r.code == 5 && r.out == "ready\n", what + "runs the application: " + describe(r));
        s.finish();

        std::vector<char> info(GetFileVersionInfoSizeW(exe(name).c_str(), nullptr));
        check(!info.empty() && GetFileVersionInfoW(exe(name).c_str(), 0, (DWORD)info.size(), info.data()),
              what + "has version information");
        auto text = [&](const std::wstring& key) {
            void* value = nullptr;
            UINT length = 0;
            std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
            bool found = !info.empty() && VerQueryValueW(info.data(), path.c_str(), &value, &length) && length > 0;
            return found ? utf8((const wchar_t*)value) : std::string("(none)");
        };
        for (const auto& t : texts) check(text(t.first) == t.second, what + utf8(t.first) + " is " + text(t.first));
        check(text(L"OriginalFilename") == utf8(name) + ".exe" && text(L"InternalName") == utf8(name),
              what + "OriginalFilename " + text(L"OriginalFilename") + ", InternalName " + text(L"InternalName"));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        check(!info.empty() && VerQueryValueW(info.data(), L"\\", (void**)&fixed, &length) &&
                  fixed->dwSignature == 0xFEEF04BD && fixed->dwFileVersionMS == 0x10002 &&
                  fixed->dwFileVersionLS == 0x30004 && fixed->dwProductVersionMS == 0x10002 &&
                  fixed->dwProductVersionLS == 0x30000,
              what + "the fixed file information holds 1.2.3.4 and 1.2.3.0");

        HMODULE module = LoadLibraryExW(exe(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        std::string manifest_text;
        if (manifest != nullptr)
            manifest_text.assign((const char*)LockResource(LoadResource(module, manifest)),
                                 SizeofResource(module, manifest));
        check(manifest_text.find("asInvoker") != std::string::npos, what + "carries the launcher's manifest");
        HICON icon = (HICON)LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, 48, 48, 0);
        check(icon != nullptr, what + "carries an icon that Windows loads");
        if (icon != nullptr) DestroyIcon(icon);
        if (module != nullptr) FreeLibrary(module);
        DWORD in_header = 0, computed = 0;
        check(wcsncmp(name, L"prebuilt", 8) != 0 ||
                  (MapFileAndCheckSumW(exe(name).c_str(), &in_header, &computed) == CHECKSUM_SUCCESS &&
                   in_header == computed),
              what + "its header's checksum is the file's");
    }
}

// The headers of the PE image held in `image`.
IMAGE_NT_HEADERS64* nt_headers(std::string& image) {
    return (IMAGE_NT_HEADERS64*)&image[((IMAGE_DOS_HEADER*)image.data())->e_lfanew];
}

// A resource editor may rewrite the sections of a completed executable:
// then it either still runs the application or ends with the launcher's
// message that its data is missing, never running anything else. Wine's
// own editor (UpdateResourceW) is one; the other grows the resource section
// in memory and moves the payload behind it, as an editor that keeps the
// section order would.
void case_prebuilt_resource_edit() {
    Scratch s;
    fs::path edited = s.work / L"edited.exe", moved = s.work / L"moved.exe";
    CopyFileW(exe(L"prebuilt_gui").c_str(), edited.c_str(), FALSE);
    std::string blob(100000, 'x');
    HANDLE update = BeginUpdateResourceW(edited.c_str(), FALSE);
    bool changed = update != nullptr &&
                   UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(7), 0x409, &blob[0], (DWORD)blob.size()) &&
                   EndUpdateResourceW(update, FALSE);
    result r = run(s, edited.wstring(), {L"exit", L"5"});
    printf("UpdateResourceW %s the executable, which then ended with %lu\n", changed ? "changed" : "did not change",
           r.code);
    check((r.code == 5 && r.out == "ready\n") || (r.code == EXIT_CODE_FAILURE && r.out == MSG_NO_HEADER "\n"),
          "after UpdateResourceW: " + describe(r));

    std::string image = read_all(exe(L"prebuilt_gui"));
    IMAGE_NT_HEADERS64* nt = nt_headers(image);
    IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    WORD count = nt->FileHeader.NumberOfSections;
    check(count >= 2 && memcmp(sections[count - 1].Name, ".talvor", 8) == 0 &&
              memcmp(sections[count - 2].Name, ".rsrc", 6) == 0,
          "the payload's section comes last, after the resources");
    DWORD shift = 16 * nt->OptionalHeader.SectionAlignment;
    sections[count - 2].Misc.VirtualSize += shift;
    sections[count - 1].VirtualAddress += shift;
    nt->OptionalHeader.SizeOfImage += shift;
    write_all(moved, image);
    r = run(s, moved.wstring(), {L"exit", L"5"});
    check(r.code == EXIT_CODE_FAILURE && r.out == MSG_NO_HEADER "\n", "a moved payload is not found: " + describe(r));
    s.finish();
}

const std::map<std::wstring, void (*)()> cases = {
    {L"cached", case_cached},
    {L"cached_damage", case_cached_damage},
    {L"exit_statuses", case_exit_statuses},
    {L"crash", case_crash},
    {L"arguments", case_arguments},
    {L"handover", case_handover},
    {L"no_entry_point", case_no_entry_point},
    {L"missing_dependency", case_missing_dependency},
    {L"packed_dependency", case_packed_dependency},
    {L"dll_search", case_dll_search},
    {L"runtime_dlls", case_runtime_dlls},
    {L"parent_set_by_hand", case_parent_set_by_hand},
    {L"held_open", case_held_open},
    {L"reclaim", case_reclaim},
    {L"bad_attached_data", case_bad_attached_data},
    {L"temp_is_a_file", case_temp_is_a_file},
    {L"long_command_line", case_long_command_line},
    {L"killed", case_killed},
    {L"prebuilt", case_prebuilt},
    {L"prebuilt_resource_edit", case_prebuilt_resource_edit},
};

// CTest passes the build directory as the host sees it; inside Wine drive
// Z: maps the host's root.
std::wstring windows_path(std::wstring path) {
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
    return length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : path;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || argc > 4 || cases.count(argv[1]) == 0) {
        fprintf(stderr, "usage: win_driver CASE DIR [WAY]\ncases:");
        for (const auto& c : cases) fprintf(stderr, " %s", utf8(c.first).c_str());
        fprintf(stderr, "\n");
        return 2;
    }
    case_name = argv[1];
    bin = windows_path(argv[2]);
    if (argc == 4) way = argv[3];
    // The runner reads the driver's output through pipes: a process started
    // below must not inherit them, or Wine's debugger, started for the crash
    // case, keeps them open for half a minute after the driver ended.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    // Inherited by the launchers: on Windows the crash case then shows no
    // error report window. (Wine starts its debugger all the same.)
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // What earlier runs of this case could not remove.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(bin) / L"scratch-win", ec))
        if (entry.path().filename().wstring().rfind(scratch_prefix(), 0) == 0) remove_tree(entry.path(), 1);
    cases.at(case_name)();
    if (failures > 0) {
        printf("%d check(s) failed\n", failures);
        return 1;
    }
    printf("ok\n");
    return 0;
}
