// How an interrupt and the main thread of a parent meet.
//
// An interrupt (a console control event, a terminating signal) may come at
// any moment, on a thread of its own. Three rules keep it from orphaning the
// application or leaving a directory, and each holds under the one process
// lock (os_lock):
// - once an interrupt has been taken, the main thread starts no child and
//   creates no target directory; it stops at its next step and waits for
//   the interrupt thread to end the process;
// - the target directory is created and marked as created in one step, so
//   the interrupt's clean-up removes it whenever it exists; the lock that
//   marks the run as live is taken in the same step, before it; a cached one
//   is published under its final name and released in one step, so that the
//   clean-up never removes a published directory;
// - a child that has started is either passed the interrupt and stopped by
//   the clean-up, or the interrupt is left to it (the console launcher).
// A failure of the main thread that the interrupt's removal caused (a file
// that can no longer be opened) is not reported: the launcher ends as
// interrupted.
#include "attached/directories.h"
#include "attached/unpack.h"
#include "diag/fatal.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "launcher/reclaim.h"

static bool interrupted;
static bool child_started;
// The interrupt's clean-up is done, and which interrupt it was.
static bool interrupt_handled;
static int interrupt_signal;

// How often the main thread looks whether an interrupt has come, or its
// clean-up is done, while it waits for either.
static const uint32_t interrupt_poll_ms = 10;

// The interrupt thread takes the interrupt and cleans up; the process then
// ends by the interrupt. POSIX: the interrupt thread ends it by the signal.
// Windows: the handler thread never returns for a taken interrupt and leaves
// the end to the main thread, which ends the process here once the clean-up
// is done. A process that ends while another of its threads runs may end that
// thread in the middle of a call into the C runtime of the system (Wine:
// holding the allocator's lock, on which the process's own exit then hangs);
// ended from here, the only other thread is the parked handler.
[[noreturn]] static void wait_for_the_end(void) {
    for (;;) {
        os_lock();
        bool handled = interrupt_handled;
        int signal = interrupt_signal;
        os_unlock();
        if (handled) os_end_by_signal(signal);
        os_sleep_ms(interrupt_poll_ms);
    }
}

static bool was_interrupted(void) {
    os_lock();
    bool result = interrupted;
    os_unlock();
    return result;
}

void stop_if_interrupted(void) {
    if (was_interrupted()) wait_for_the_end();
}

// The event that interrupts a launcher reaches the processes of its console
// one by one: a child that dies while it starts may have been ended by the
// event that is still on its way to the launcher (under Wine the start then
// fails). A failed start waits a moment for that interrupt, so that an
// interrupted launcher ends as interrupted rather than report the failure.
static const int pending_interrupt_pauses = 250 / interrupt_poll_ms;

void stop_if_interrupt_pending(void) {
    for (int i = 0; i < pending_interrupt_pauses && !was_interrupted(); i++) os_sleep_ms(interrupt_poll_ms);
    stop_if_interrupted();
}

// True when the launcher ends by the interrupt, after the clean-up; false
// when the interrupt is the application's to handle and the launcher goes on
// waiting for it.
static bool take_interrupt(const os_interrupt* event) {
    os_lock();
    if (interrupts_left_to_application && event->terminal_key && child_started) {
        os_unlock();
        return false;
    }
    interrupted = true;
    bool pass_on = child_started && !event->reached_child;
    os_unlock();
    if (pass_on) os_child_signal(event->signal);
    cleanup_child();
    os_lock();
    if (!interrupt_handled) interrupt_signal = event->signal;
    interrupt_handled = true;
    os_unlock();
    return true;
}

// A parent that fails removes the target directory it created, so that a
// failed start leaves nothing in the temporary folder; the message and the
// exit code stay as they are.
static void clean_up_before_failing(void) {
    // A file still open (Windows) would keep the whole directory.
    close_unpacked_file();
    stop_if_interrupted();
    remove_target_directory();
}

bool watch_interrupts(void) {
    before_fatal_end = clean_up_before_failing;
    return os_watch_interrupts(take_interrupt);
}

// Takes the lock for a step that must not follow an interrupt; waits for the
// end of the process instead when one was taken.
static void lock_unless_interrupted(void) {
    os_lock();
    if (!interrupted) return;
    os_unlock();
    wait_for_the_end();
}

// The profile folder, which the first directory creation looks up, is looked
// up before the lock is taken. On Windows that loads SHELL32, and with it
// USER32, GDI32 and, under Wine, the font configuration: slow, and waited for
// by every interrupt that came meanwhile, had it run under the lock; an
// interrupt thread waiting for the lock cannot end the process either. The
// clean-up then finds SHELL32 loaded for its removal.
void claim_target_directory(void) {
    seed_known_directories();
    lock_unless_interrupted();
    mark_live_run();
    create_target_directory();
    os_unlock();
}

os_rename_result publish_target_directory(const os_char* final_path) {
    lock_unless_interrupted();
    os_rename_result result = os_rename_no_replace(target_directory, final_path);
    if (result == OS_RENAMED) {
        // The staging directory's name, and with it its lock file, is gone.
        release_target_directory();
        unmark_live_run(true);
    }
    os_unlock();
    return result;
}

bool start_child(const os_char* module_path, os_char** argv, os_char* command_line) {
    lock_unless_interrupted();
    child_started = os_child_start(module_path, argv, command_line);
    bool started = child_started;
    os_unlock();
    return started;
}
