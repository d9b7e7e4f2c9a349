// Locks that mark live runs, and the listing of the temporary folder.
//
// A live run holds flock(LOCK_EX) on its lock file. The kernel drops the
// lock when the last descriptor of the open file goes, which happens when
// the process dies by any cause (SIGKILL included); the descriptor is opened
// with O_CLOEXEC, so the child never holds it. Process ids play no part: a
// reused id, or a temporary folder shared between PID namespaces, cannot
// make a dead run look alive or a live one dead.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"

// True when the open lock is still the file that `path` names: a reclaimer
// that found the lock free may have removed the name meanwhile.
static bool still_named(int lock, const char* path) {
    struct stat opened, named;
    return fstat(lock, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

static int lock_waiting(int file) {
    int result;
    while ((result = flock(file, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return result;
}

// Between the creation and the flock, a reclaimer may open the new file,
// find it unlocked and remove it (there is no directory yet to lose). The
// lock taken afterwards would hold a file without a name: the check after
// the lock sees that, and the run makes its lock file again.
os_file os_run_lock_create(const os_char* path) {
    for (int attempt = 0; attempt < 8; attempt++) {
        int lock = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lock < 0) return OS_INVALID_FILE;
        if (lock_waiting(lock) != 0) {
            unlink(path);
            close(lock);
            return OS_INVALID_FILE;
        }
        if (still_named(lock, path)) return lock;
        close(lock);
    }
    return OS_INVALID_FILE;
}

// O_NONBLOCK: a FIFO planted under the name must not hold the open.
os_file os_run_lock_take(const os_char* path) {
    int lock = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (lock < 0) return OS_INVALID_FILE;
    struct stat status;
    if (fstat(lock, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        flock(lock, LOCK_EX | LOCK_NB) != 0 || !still_named(lock, path)) {
        close(lock);
        return OS_INVALID_FILE;
    }
    return lock;
}

// The name goes while the lock is still held, so nobody can find the file
// unlocked with its name in place.
void os_run_lock_release(os_file lock, const os_char* path, bool remove) {
    if (remove) unlink(path);
    close(lock);
}

// Private: no permission bits for the group or others (the launcher makes
// 0700; a umask can only take more away).
bool os_is_private_directory(const os_char* path) {
    struct stat status;
    return lstat(path, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 077) == 0;
}

bool os_path_exists(const os_char* path) {
    struct stat status;
    return lstat(path, &status) == 0;
}

os_listing os_listing_open(const os_char* folder) { return (os_listing)opendir(folder); }

const os_char* os_listing_next(os_listing listing) {
    while (struct dirent* entry = readdir((DIR*)listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        return name;
    }
    return nullptr;
}

void os_listing_close(os_listing listing) { closedir((DIR*)listing); }
