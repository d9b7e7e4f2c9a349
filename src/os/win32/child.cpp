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

#include "os/os.h"

static SRWLOCK child_lock = SRWLOCK_INIT;
// The running child, or null; written by the main thread under child_lock.
static HANDLE child_process_handle;

// NORMAL_PRIORITY_CLASS: no new console, no new process group. The child
// starts suspended only until it is in the launcher's job.
static const DWORD child_creation_flags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;

// The job that ties the child to the launcher: when the launcher ends,
// however it ends ("End task" included), the system closes its handle to the
// job and kills the child with it. Processes that the application starts
// break away silently, so they are not tied. Never closed: its handle goes
// with the launcher. Null when the system refuses a job; the child then runs
// untied, as it would have before.
static HANDLE make_job(void) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool os_child_start(const os_char* module_path, os_char**, os_char* command_line) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    // Wine reports a new process that died before its first thread ran
    // (seldom, on a loaded machine) as an internal error; no code of the
    // child ran, so starting it again is safe. Every other failure stands.
    PROCESS_INFORMATION process = {};
    for (int attempt = 1;; attempt++) {
        if (CreateProcessW(module_path, command_line, nullptr, nullptr, TRUE, child_creation_flags, nullptr, nullptr,
                           &startup, &process)) {
            break;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return false;
    }
    HANDLE job = make_job();
    if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    AcquireSRWLockExclusive(&child_lock);
    child_process_handle = process.hProcess;
    ReleaseSRWLockExclusive(&child_lock);
    return true;
}

// GetExitCodeProcess gives all 32 bits, an exception code such as
// 0xC0000005 included.
uint32_t os_child_wait(int* end_signal) {
    *end_signal = 0;
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

// Only the main thread closes the handle and clears the slot: it needs no
// lock to read it.
bool os_child_running(void) {
    return child_process_handle != nullptr && WaitForSingleObject(child_process_handle, 0) == WAIT_TIMEOUT;
}

// Console events reach every process of the console, the child included.
void os_child_signal(int) {}

// After TerminateProcess the child is let go before its directory is
// removed: until it has ended, its files are still open.
static void stop(HANDLE child, uint32_t timeout_ms) {
    if (WaitForSingleObject(child, timeout_ms) == WAIT_OBJECT_0) return;
    TerminateProcess(child, 0);
    WaitForSingleObject(child, 1000);
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

// Windows hands a child's end to the parent as an exit code only; here this
// ends the launcher after an interrupt, with the status that the system's
// default handling of a console event gives.
void os_end_by_signal(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

static os_interrupt_handler interrupt_handler;

// How long a handler thread waits for the main thread to end the process
// before it ends it itself.
static const DWORD end_by_main_thread_ms = 10000;

// CTRL_C, CTRL_BREAK, CTRL_CLOSE, CTRL_LOGOFF and CTRL_SHUTDOWN go to the
// launcher's handler; events 3 and 4 are not sent to processes, and 7 and
// above are not console control events. TRUE consumes the event. An event
// that ends the launcher is never returned from: returning FALSE would have
// the system's default handler end the process on this thread while the main
// thread may be anywhere, and under Wine a thread ended in the middle of an
// allocation hangs the exit of the whole process. The main thread ends it
// instead, at its next step (see the launcher's interrupts), while this
// thread waits; should the main thread not come, this thread ends it after
// all, with the status of the default handling.
static BOOL WINAPI console_ctrl_handler(DWORD event) {
    if (event > CTRL_SHUTDOWN_EVENT || event == 3 || event == 4) return FALSE;
    os_interrupt interrupt;
    interrupt.signal = (int)event;
    interrupt.reached_child = true;
    interrupt.terminal_key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (!interrupt_handler(&interrupt)) return TRUE;
    Sleep(end_by_main_thread_ms);
    os_end_by_signal(interrupt.signal);
    return TRUE;
}

bool os_watch_interrupts(os_interrupt_handler handler) {
    interrupt_handler = handler;
    return SetConsoleCtrlHandler(console_ctrl_handler, TRUE) != FALSE;
}

static SRWLOCK process_lock = SRWLOCK_INIT;

void os_lock(void) { AcquireSRWLockExclusive(&process_lock); }
void os_unlock(void) { ReleaseSRWLockExclusive(&process_lock); }
