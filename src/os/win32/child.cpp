// The child process and the console control handler.
//
// Sharing child_process_handle between the main thread and the handler
// threads that the system starts for console control events: the slot is
// guarded by child_lock. The main thread stores the handle under the lock,
// waits on it and reads the exit code without the lock (only the main
// thread ever closes the original, so it stays valid), then closes it and
// clears the slot under the lock. A handler takes the lock, duplicates the
// handle in the slot (if any) into a handle of its own, releases the lock
// and then waits on, terminates through and closes only its duplicate. So
// every handle is closed exactly once, by its one owner, and nobody uses a
// handle after it was closed. Should the duplication fail, the handler does
// its wait and terminate on the original while it holds the lock, which
// keeps the main thread from closing it meanwhile.
#include <windows.h>

#include <shellapi.h>

#include "launcher/command_line.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "os/os.h"

static SRWLOCK child_lock = SRWLOCK_INIT;
// The running child, or null; written by the main thread under child_lock.
static HANDLE child_process_handle;

// NORMAL_PRIORITY_CLASS and nothing else: no new console, no new process
// group, no suspended start.
static const DWORD child_creation_flags = 0x20;

// The child's arguments come from the command line as the system splits it,
// not from the runtime's vector (argc, argv), which a runtime that expands
// wildcards would have changed. The child splits its own command line the
// same way (os_child_arguments), so the application gets the arguments as
// the user typed them. CommandLineToArgvW fails only when memory runs out;
// the launch then fails with its error rather than start the application
// with arguments other than the user's.
bool os_child_start(const os_char* module_path, int, os_char**) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    int count = 0;
    // Never released: the process ends soon after the child does.
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 1) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    child_command_line[0] = 0;
    // The child's first argument is the full module path, however the
    // launcher itself was started; argv[0] went to TALVOR_ORIGINAL_ARGV0.
    arguments[0] = (LPWSTR)module_path;
    build_child_command_line(arguments, count);

    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(module_path, child_command_line, nullptr, nullptr, TRUE, child_creation_flags, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    AcquireSRWLockExclusive(&child_lock);
    child_process_handle = process.hProcess;
    ReleaseSRWLockExclusive(&child_lock);
    return true;
}

// GetExitCodeProcess gives all 32 bits, an exception code such as
// 0xC0000005 included.
uint32_t os_child_wait(void) {
    HANDLE child = child_process_handle;
    if (child == nullptr) return 0;
    WaitForSingleObject(child, INFINITE);
    DWORD exit_code;
    if (!GetExitCodeProcess(child, &exit_code)) exit_code = 1;
    AcquireSRWLockExclusive(&child_lock);
    CloseHandle(child);
    child_process_handle = nullptr;
    ReleaseSRWLockExclusive(&child_lock);
    return exit_code;
}

static void stop(HANDLE child, uint32_t timeout_ms) {
    if (WaitForSingleObject(child, timeout_ms) != WAIT_OBJECT_0) TerminateProcess(child, 0);
}

void os_child_stop(uint32_t timeout_ms) {
    HANDLE own = nullptr;
    AcquireSRWLockExclusive(&child_lock);
    if (child_process_handle != nullptr) {
        HANDLE self = GetCurrentProcess();
        if (!DuplicateHandle(self, child_process_handle, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            own = nullptr;
            stop(child_process_handle, timeout_ms);
        }
    }
    ReleaseSRWLockExclusive(&child_lock);
    if (own == nullptr) return;
    stop(own, timeout_ms);
    CloseHandle(own);
}

// Windows hands the child's end to the parent as an exit code only.
void os_child_pass_on_signal(void) {}

static bool child_running(void) {
    AcquireSRWLockShared(&child_lock);
    bool running = child_process_handle != nullptr;
    ReleaseSRWLockShared(&child_lock);
    return running;
}

// CTRL_C, CTRL_BREAK, CTRL_CLOSE, CTRL_LOGOFF and CTRL_SHUTDOWN end the child
// and remove the target directory. FALSE lets the next handler run: with the
// system's default one, that ends the launcher. The handler itself never ends
// the process and never reports anything. Events 3 and 4 are not sent to
// processes, and 7 and above are not console control events.
//
// The console launcher shares its console with the application, which gets
// Ctrl+C and Ctrl+Break as well and decides for itself (a shell cancels the
// running statement and goes on): TRUE consumes them here and the main
// thread goes on waiting. Before the child has started there is nobody else
// to stop, and the event takes the default path.
static BOOL WINAPI console_ctrl_handler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (interrupts_left_to_application && child_running()) return TRUE;
            cleanup_child();
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            cleanup_child();
            break;
        default:
            break;
    }
    return FALSE;
}

bool os_register_ctrl_handler(void) { return SetConsoleCtrlHandler(console_ctrl_handler, TRUE) != FALSE; }
