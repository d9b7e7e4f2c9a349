// The child process, and the signal thread that plays the console control
// handler.
//
// Sharing the child between the main thread and the signal thread: the pid
// in child_process_handle is reaped exactly once, by the main thread, under
// child_lock, which then clears the slot. The signal thread reads the slot
// under the same lock and either signals the pid while it is still unreaped
// or takes a pidfd for it, which stays bound to that process even after the
// main thread reaps it; so nobody ever signals a pid after it was reaped.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/os.h"

extern char** environ;

static pthread_mutex_t child_lock = PTHREAD_MUTEX_INITIALIZER;
static pid_t child_process_handle;

// The signals that end a process by default and that a process may catch,
// as a signal-forwarding init passes them on. The faults a process raises
// on itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) are
// the launcher's own and stay out; the stop and continue signals and SIGCHLD
// do not end a process. The real-time signals are added at run time.
static const int terminating_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM,
                                          SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
                                          SIGPWR};

// The signals the signal thread waits for: the terminating ones that were
// not ignored when the launcher started. The mask the launcher started with
// goes to the child unchanged.
static sigset_t waited_signals;
static sigset_t inherited_mask;
static os_interrupt_handler interrupt_handler;

static bool ignored_at_start(int signal) {
    struct sigaction action;
    return sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

static void add_unless_ignored(int signal) {
    if (!ignored_at_start(signal)) sigaddset(&waited_signals, signal);
}

void os_end_by_signal(int signal) {
    // The application's core, if it dumped one, is not overwritten by the
    // launcher's.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    // A signal whose default action does not end the process.
    _exit(128 + signal);
}

// fork and execve rather than posix_spawn, for the parent-death signal: it
// must be set in the child before the application can run, and checked
// against a launcher that died before it was set (the child has another
// parent then, and would never get the signal). SIGKILL: the launcher was
// killed outright, and nobody is left to pass anything on or remove the
// directory. The signal does not survive a fork, so programs that the
// application starts are not tied. Between fork and execve the child makes
// only async-signal-safe calls; an execve failure comes back through a pipe
// that the successful execve closes.
bool os_child_start(const os_char* module_path, os_char** argv, os_char*) {
    // The child gets the launcher's arguments unchanged, behind its own path:
    // there is no command line to rebuild on POSIX.
    argv[0] = (char*)module_path;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    pid_t launcher = getpid();

    pthread_mutex_lock(&child_lock);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != launcher) _exit(127);
        // The waited signals are at their default action in the launcher;
        // the child gets the mask the launcher started with. Ignored
        // signals stay ignored through execve.
        sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);
        execve(module_path, argv, environ);
        int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    int error = pid < 0 ? errno : 0;
    close(report[1]);
    if (pid > 0) {
        ssize_t got;
        while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (got == (ssize_t)sizeof error) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        } else {
            error = 0;
            child_process_handle = pid;
        }
    }
    pthread_mutex_unlock(&child_lock);
    close(report[0]);
    errno = error;
    return error == 0;
}

uint32_t os_child_wait(int* end_signal) {
    *end_signal = 0;
    pid_t pid = child_process_handle;
    siginfo_t info;
    // Wait without reaping, so that the signal thread can still address
    // the child until the reap below.
    while (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    pthread_mutex_lock(&child_lock);
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    child_process_handle = 0;
    pthread_mutex_unlock(&child_lock);
    if (reaped != pid) return 1;
    if (WIFEXITED(status)) return (uint32_t)WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        *end_signal = WTERMSIG(status);
        return 128 + (uint32_t)*end_signal;
    }
    return 1;
}

// Only the main thread reaps the child and clears the slot: it needs no
// lock to read it.
bool os_child_running(void) {
    siginfo_t info = {};
    return child_process_handle != 0 &&
           waitid(P_PID, (id_t)child_process_handle, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void os_child_signal(int signal) {
    pthread_mutex_lock(&child_lock);
    if (child_process_handle != 0) kill(child_process_handle, signal);
    pthread_mutex_unlock(&child_lock);
}

// Through syscall(): glibc's header for these lacks C linkage in C++.
static int open_pidfd(pid_t pid) { return (int)syscall(SYS_pidfd_open, pid, 0); }
static void kill_through_pidfd(int pidfd) { syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

static bool wait_for_pidfd(int pidfd, int timeout_ms) {
    struct pollfd ready = {pidfd, POLLIN, 0};
    int result;
    while ((result = poll(&ready, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return result > 0;
}

void os_child_stop(uint32_t timeout_ms) {
    pthread_mutex_lock(&child_lock);
    pid_t pid = child_process_handle;
    int pidfd = pid != 0 ? open_pidfd(pid) : -1;
    pthread_mutex_unlock(&child_lock);
    if (pid == 0) return;
    if (pidfd >= 0) {
        if (!wait_for_pidfd(pidfd, (int)timeout_ms)) {
            kill_through_pidfd(pidfd);
            // Let it go before its directory is removed.
            wait_for_pidfd(pidfd, 1000);
        }
        close(pidfd);
        return;
    }
    // Without pidfds: look, under the lock, whether the child still runs.
    for (uint32_t waited = 0;; waited += 10) {
        pthread_mutex_lock(&child_lock);
        bool running = false;
        if (child_process_handle != 0) {
            siginfo_t info = {};
            running = waitid(P_PID, (id_t)child_process_handle, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                      info.si_pid == 0;
            if (running && waited >= timeout_ms) kill(child_process_handle, SIGKILL);
        }
        pthread_mutex_unlock(&child_lock);
        if (!running || waited >= timeout_ms) return;
        os_sleep_ms(10);
    }
}

// The console control handler of POSIX: the waited signals are blocked in
// every thread and taken here, in normal thread context.
static void* signal_thread(void*) {
    for (;;) {
        siginfo_t info;
        int signal = sigwaitinfo(&waited_signals, &info);
        if (signal < 0) continue;
        os_interrupt event;
        event.signal = signal;
        // A signal from the terminal reached the whole process group, the
        // child included; one sent to the launcher alone must be passed on.
        event.reached_child = info.si_code != SI_USER && info.si_code != SI_QUEUE;
        event.terminal_key = event.reached_child && (signal == SIGINT || signal == SIGQUIT);
        if (interrupt_handler(&event)) os_end_by_signal(signal);
    }
    return nullptr;
}

bool os_watch_interrupts(os_interrupt_handler handler) {
    interrupt_handler = handler;
    // An inherited SIGCHLD set to ignore would have the system reap the
    // child, and its exit status would be lost.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, nullptr);
    sigemptyset(&waited_signals);
    for (int s : terminating_signals) add_unless_ignored(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++) add_unless_ignored(s);
    // Blocked before the thread exists, so every thread inherits the mask
    // and only sigwaitinfo receives them.
    if (pthread_sigmask(SIG_BLOCK, &waited_signals, &inherited_mask) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signal_thread, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}

static pthread_mutex_t process_lock = PTHREAD_MUTEX_INITIALIZER;

void os_lock(void) { pthread_mutex_lock(&process_lock); }
void os_unlock(void) { pthread_mutex_unlock(&process_lock); }
