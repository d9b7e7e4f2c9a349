#include "attached/directories.h"
#include "attached/unpack.h"
#include "launcher/launcher.h"

// How long a child may take to end after a console event or signal.
static const uint32_t child_grace_ms = 5000;
static const int removal_retries = 20;
static const uint32_t removal_pause_ms = 100;

// A directory this launcher did not create is not its to remove. A file
// still held open elsewhere can keep the directory alive: after the last
// attempt it is left on disk, silently. One thread removes at a time, under
// the process lock: a directory that another thread is deleting can look
// gone before it is (Windows refuses to open one that is pending deletion),
// and the interrupt thread must not end the process while the main thread
// is still at it.
void remove_target_directory(void) {
    os_lock();
    if (target_directory_created()) {
        os_remove_tree(target_directory);
        for (int i = 0; i < removal_retries && os_is_directory(target_directory); i++) {
            os_sleep_ms(removal_pause_ms);
            os_remove_tree(target_directory);
        }
    }
    os_unlock();
}

// Runs on the main thread after the child ended, and on the interrupt thread
// when the user interrupts the launcher.
void cleanup_child(void) {
    os_child_stop(child_grace_ms);
    remove_target_directory();
}
