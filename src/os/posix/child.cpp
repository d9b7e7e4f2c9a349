// The child process and the signal thread that plays the console control
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
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "os/os.h"

extern char** environ;

static pthread_mutex_t child_lock = PTHREAD_MUTEX_INITIALIZER;
static pid_t child_process_handle;
// The signal that ended the child, passed on after clean-up.
static int child_end_signal;
// The signal the signal thread is handling, 0 while none arrived.
static std::atomic<int> interrupting_signal(0);

static const int control_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

static void control_signal_set(sigset_t* set) {
    sigemptyset(set);
    for (int s : control_signals) sigaddset(set, s);
}

// Ends the process by `signal`, with its default action, as if the
// application had been ended by it on its own.
static void end_by_signal(int signal) {
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

bool os_child_start(const os_char* module_path, int argc, os_char** argv) {
    // The child gets the launcher's arguments unchanged, behind its own path:
    // there is no command line to rebuild on POSIX.
    char** child_argv = (char**)calloc((size_t)(argc > 0 ? argc : 1) + 1, sizeof(char*));
    if (child_argv == nullptr) return false;
    child_argv[0] = (char*)module_path;
    for (int i = 1; i < argc; i++) child_argv[i] = argv[i];

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    control_signal_set(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pthread_mutex_lock(&child_lock);
    pid_t pid;
    int result = posix_spawn(&pid, module_path, nullptr, &attributes, child_argv, environ);
    if (result == 0) child_process_handle = pid;
    pthread_mutex_unlock(&child_lock);
    posix_spawnattr_destroy(&attributes);
    free(child_argv);
    errno = result;
    return result == 0;
}

uint32_t os_child_wait(void) {
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
        child_end_signal = WTERMSIG(status);
        return 128 + (uint32_t)child_end_signal;
    }
    return 1;
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

void os_child_pass_on_signal(void) {
    int interrupted = interrupting_signal.load();
    if (interrupted != 0) end_by_signal(interrupted);
    if (child_end_signal != 0) end_by_signal(child_end_signal);
}

static bool child_running(void) {
    pthread_mutex_lock(&child_lock);
    bool running = child_process_handle != 0;
    pthread_mutex_unlock(&child_lock);
    return running;
}

// The console control handler of POSIX: SIGINT, SIGTERM, SIGHUP and SIGQUIT
// are blocked in every thread and taken here, in normal thread context.
static void* signal_thread(void*) {
    sigset_t set;
    control_signal_set(&set);
    for (;;) {
        siginfo_t info;
        int signal = sigwaitinfo(&set, &info);
        if (signal < 0) continue;
        // A signal from the terminal reached the whole process group, the
        // child included; one sent to the launcher alone is passed on.
        bool from_terminal = info.si_code != SI_USER && info.si_code != SI_QUEUE;
        // The console launcher leaves a terminal's interrupt and quit to the
        // application, which got them too, and goes on waiting for it.
        // Before the child has started there is nobody else to stop.
        if (interrupts_left_to_application && from_terminal && (signal == SIGINT || signal == SIGQUIT) &&
            child_running()) {
            continue;
        }
        interrupting_signal.store(signal);
        if (!from_terminal) {
            pthread_mutex_lock(&child_lock);
            if (child_process_handle != 0) kill(child_process_handle, signal);
            pthread_mutex_unlock(&child_lock);
        }
        cleanup_child();
        end_by_signal(signal);
    }
    return nullptr;
}

bool os_register_ctrl_handler(void) {
    // Blocked before the thread exists, so every thread inherits the mask
    // and only sigwaitinfo receives them.
    sigset_t set;
    control_signal_set(&set);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signal_thread, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}
