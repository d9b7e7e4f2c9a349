#include "support.h"

#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

os_string join_path(const os_string& directory, const os_string& name) {
    return directory + OS_SEP + name;
}

os_string own_executable(void) {
    os_char buffer[4096];
    size_t length = os_module_path(buffer, 4096);
    return os_string(buffer, length);
}

static os_string executable_directory(void) {
    os_string path = own_executable();
    return path.substr(0, path.rfind(OS_SEP));
}

os_string other_sleeping_program(void) {
#ifdef _WIN32
    return join_path(executable_directory(), L"talvor_sleeper.exe");
#else
    return join_path(executable_directory(), "talvor_sleeper");
#endif
}

#ifdef _WIN32
os_string make_scratch_directory(const char* name) {
    os_string path = join_path(executable_directory(), L"scratch");
    CreateDirectoryW(path.c_str(), nullptr);
    for (const char* p = name; *p; p++) {
        if (p == name) path += L'\\';
        path += (wchar_t)*p;
    }
    remove_directory_tree(path);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void set_temp_folder(const os_string& path) { SetEnvironmentVariableW(L"TMP", path.c_str()); }

bool path_exists(const os_string& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void remove_directory_tree(const os_string& path) { os_remove_tree(path.c_str()); }

uint32_t start_process(const os_string& program, const os_string& argument) {
    std::wstring command = L"\"" + program + L"\" " + argument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

void stop_process(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
}
#else
os_string make_scratch_directory(const char* name) {
    os_string path = join_path(executable_directory(), "scratch");
    mkdir(path.c_str(), 0700);
    path = join_path(path, name);
    remove_directory_tree(path);
    mkdir(path.c_str(), 0700);
    return path;
}

void set_temp_folder(const os_string& path) { setenv("TMPDIR", path.c_str(), 1); }

bool path_exists(const os_string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

void remove_directory_tree(const os_string& path) { os_remove_tree(path.c_str()); }

uint32_t start_process(const os_string& program, const os_string& argument) {
    char* argv[] = {(char*)program.c_str(), (char*)argument.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return 0;
    return (uint32_t)pid;
}

void stop_process(uint32_t pid) {
    kill((pid_t)pid, SIGKILL);
    waitpid((pid_t)pid, nullptr, 0);
}
#endif
