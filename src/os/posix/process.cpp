// Process start, identity and error texts.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include "os/os.h"
#include "os/posix/posix.h"

static int saved_argc;
static char** saved_argv;

void os_set_arguments(int argc, char** argv) {
    saved_argc = argc;
    saved_argv = argv;
}

void os_arguments(int* argc, os_char*** argv) {
    *argc = saved_argc;
    *argv = saved_argv;
}

// execve hands the parent's vector over unchanged: nothing to redo.
bool os_command_line_arguments(int*, os_char***) { return true; }

// The library search order never includes the current directory on Linux.
void os_clear_dll_directory(void) {}

uint32_t os_process_id(void) { return (uint32_t)getpid(); }

uint32_t os_last_error(void) { return (uint32_t)errno; }

// dlopen reports through dlerror rather than errno; the library loader keeps
// its text here for the one message that needs it.
const char* pending_error_text;

char* os_error_text(uint32_t code) {
    if (code == 0 && pending_error_text != nullptr) return strdup(pending_error_text);
    return strdup(strerror((int)code));
}

void os_sleep_ms(uint32_t milliseconds) {
    struct timespec pause = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// The attached data is part of the executable's file-backed mapping: dropped
// pages cost nothing but a re-read from the page cache if touched again.
void os_discard_read_pages(const void* start, size_t length) {
    uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
    if (end > first) madvise((void*)first, end - first, MADV_DONTNEED);
}

// The abort of a failure that the launcher has explained (or an exceeded
// bound) dumps no core: left in the user's current directory, it would only
// repeat what the message says. RLIMIT_CORE 0 stops a dump to a file; a
// process that is no longer dumpable gives none to a core_pattern pipe
// either, which ignores the limit.
void os_abort(void) {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0);
    abort();
}

static void* run_thread(void* argument) {
    os_thread* thread = (os_thread*)argument;
    thread->routine(thread->argument);
    return nullptr;
}

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread's handle fits its slot");

bool os_thread_start(os_thread* thread) {
    pthread_t started;
    if (pthread_create(&started, nullptr, run_thread, thread) != 0) return false;
    thread->handle = (uintptr_t)started;
    return true;
}

void os_thread_join(os_thread* thread) { pthread_join((pthread_t)thread->handle, nullptr); }
