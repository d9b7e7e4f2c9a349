// Process start-up values, the process id, errors and pauses.
#include <windows.h>

#include <signal.h>
#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// The runtime's start-up code has already split the command line into
// __argc and __wargv.
void os_arguments(int* argc, os_char*** argv) {
    *argc = __argc;
    *argv = __wargv;
}

// The command line as the system splits it. The runtime's own vector may
// differ from it: a runtime that expands wildcards (Wine's does so even
// inside quotes) would hand the application file names for a pattern the
// user typed. The parent builds the child's command line from this vector as
// the exact inverse of the splitting, and the child splits it here again.
// The vector is never released.
bool os_command_line_arguments(int* argc, os_char*** argv) {
    typedef LPWSTR* (WINAPI * split_function)(LPCWSTR, int*);
    split_function split = (split_function)(void (*)(void))shell32_function("CommandLineToArgvW");
    if (split == nullptr) return false;
    int count = 0;
    LPWSTR* arguments = split(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 1) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    *argc = count;
    *argv = arguments;
    return true;
}

// SHELL32 is loaded when first needed rather than imported. Imported, it
// and its own imports (USER32, GDI32 and more; under Wine the font
// configuration too) would be loaded before the launcher's first line runs,
// and a console event in that time would find no handler of the launcher,
// so the system's default would end the process with nothing cleaned up.
// Loaded here, it comes later: for a default target directory, after the
// parent's handler is in place. The handle is kept for the life of the
// process; two threads that load it at once get the same handle.
FARPROC shell32_function(const char* name) {
    static HMODULE shell32;
    if (shell32 == nullptr) shell32 = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return shell32 == nullptr ? nullptr : GetProcAddress(shell32, name);
}

// An empty string takes the current directory out of the DLL search order.
// A failure leaves the default order in place, which changes nothing for the
// launcher's own loads; it is not examined.
void os_clear_dll_directory(void) { SetDllDirectoryW(L""); }

uint32_t os_process_id(void) { return GetCurrentProcessId(); }

uint32_t os_last_error(void) { return GetLastError(); }

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
// FORMAT_MESSAGE_FROM_SYSTEM. The text is always asked for in US English
// (1033), whatever the user's language, so that reports read the same
// everywhere. The system allocates it; it is never released, since the
// process ends right after printing it.
char* os_error_text(uint32_t code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(0x1300, nullptr, code, 1033, (LPSTR)&text, 0, nullptr);
    return length == 0 ? nullptr : text;
}

void os_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

// Unlocking pages that were never locked takes them out of the working set;
// the image's pages are read again from the file if touched later.
void os_discard_read_pages(const void* start, size_t length) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    uintptr_t page = system.dwPageSize;
    uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
    if (end > first) VirtualUnlock((void*)first, end - first);
}

// msvcrt's abort() first writes "abnormal program termination", and in a
// GUI-subsystem program it does so in a message box that waits for a click.
// Raising SIGABRT takes the same end (the default action is _exit(3)) and
// still runs a handler the application may have set, without the box.
void os_abort(void) {
    raise(SIGABRT);
    _exit(3);
}

static DWORD WINAPI run_thread(void* argument) {
    os_thread* thread = (os_thread*)argument;
    thread->routine(thread->argument);
    return 0;
}

bool os_thread_start(os_thread* thread) {
    HANDLE started = CreateThread(nullptr, 0, run_thread, thread, 0, nullptr);
    if (started == nullptr) return false;
    thread->handle = (uintptr_t)started;
    return true;
}

void os_thread_join(os_thread* thread) {
    WaitForSingleObject((HANDLE)thread->handle, INFINITE);
    CloseHandle((HANDLE)thread->handle);
}
