// The primitives of a cached target directory: the walk that opens and
// checks it, the files' check, the version lock, durable data and the
// renames.
//
// The walk resolves the path one component at a time with openat(O_PATH |
// O_NOFOLLOW) from the directory it checked last, and decides on what it
// opened (fstat of the descriptor), never on a path it looked at earlier:
// nobody can slip another directory in between the check and the use. Once
// every directory on the way is trusted, only the user and root can change
// what the path names, so the launcher and the application may then use the
// path itself.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"

// As many links as the kernel follows in one path.
static const int links_max = 40;

static bool trusted_owner(uid_t uid) { return uid == geteuid() || uid == 0; }

// Everybody may add entries; with the sticky bit nobody may remove or
// rename those of another.
static bool shared_sticky(const struct stat& status) {
    return (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
}

static bool trusted_directory(const struct stat& status) {
    bool shared_write = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return S_ISDIR(status.st_mode) && trusted_owner(status.st_uid) &&
           (!shared_write || (status.st_mode & S_ISVTX) != 0);
}

static bool own_private_directory(const struct stat& status) {
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

static int open_directory(int at, const char* name) {
    return openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Checks `next` and, when it is trusted (with `last`, the user's own and
// private), makes it `*directory`, with `*status` its status. Otherwise
// `*directory` stays as it was.
static os_walk_result enter(int* directory, int next, struct stat* status, bool last) {
    struct stat opened;
    if (fstat(next, &opened) != 0) {
        close(next);
        return OS_WALK_FAILED;
    }
    if (!(last ? own_private_directory(opened) : trusted_directory(opened))) {
        close(next);
        return OS_WALK_REFUSED;
    }
    close(*directory);
    *directory = next;
    *status = opened;
    return OS_WALK_FOUND;
}

static os_walk_result follow_link(int* directory, const char* name, struct stat* status, int links);

// Steps from `*directory` into its entry `name`, following a trusted link;
// `*directory` is then the entry's directory, checked to be trusted (with
// `last`, the user's own and private), and `*status` its status.
static os_walk_result step_into(int* directory, const char* name, struct stat* status, int links, bool last) {
    int next = open_directory(*directory, name);
    if (next >= 0) return enter(directory, next, status, last);
    if (errno == ENOENT) return OS_WALK_MISSING;
    if (errno != ENOTDIR && errno != ELOOP) return OS_WALK_FAILED;
    // A link, or no directory at all. The last component is the launcher's
    // own and never a link.
    struct stat link;
    if (last || fstatat(*directory, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode) ||
        !trusted_owner(link.st_uid)) {
        return OS_WALK_REFUSED;
    }
    // Walked on a copy, so that a refusal on the way leaves `*directory`
    // where it was.
    int walked = fcntl(*directory, F_DUPFD_CLOEXEC, 0);
    if (walked < 0) return OS_WALK_FAILED;
    struct stat reached = *status;
    os_walk_result result = follow_link(&walked, name, &reached, links + 1);
    if (result != OS_WALK_FOUND) {
        close(walked);
        return result;
    }
    close(*directory);
    *directory = walked;
    *status = reached;
    return result;
}

// Walks the target of the trusted link `name` in `*directory`: from the
// root when it is absolute, else from the link's directory, with every
// directory checked alike. Nothing is created on a link's way: a target
// that is missing is refused.
static os_walk_result follow_link(int* directory, const char* name, struct stat* status, int links) {
    if (links > links_max) return OS_WALK_REFUSED;
    char target[4096];
    ssize_t length = readlinkat(*directory, name, target, sizeof target);
    if (length < 0) return OS_WALK_FAILED;
    if (length == (ssize_t)sizeof target) return OS_WALK_REFUSED;
    target[length] = 0;
    if (target[0] == '/') {
        int root = open_directory(AT_FDCWD, "/");
        if (root < 0) return OS_WALK_FAILED;
        os_walk_result result = enter(directory, root, status, false);
        if (result != OS_WALK_FOUND) return result;
    }
    char* saved = nullptr;
    for (char* component = strtok_r(target, "/", &saved); component != nullptr;
         component = strtok_r(nullptr, "/", &saved)) {
        if (strcmp(component, ".") == 0) continue;
        os_walk_result result;
        if (strcmp(component, "..") == 0) {
            int parent = open_directory(*directory, "..");
            result = parent < 0 ? OS_WALK_FAILED : enter(directory, parent, status, false);
        } else {
            result = step_into(directory, component, status, links, false);
        }
        if (result != OS_WALK_FOUND) return result == OS_WALK_MISSING ? OS_WALK_REFUSED : result;
    }
    return OS_WALK_FOUND;
}

os_walk_result os_open_cached_directory(os_char* path, size_t capacity, bool create, os_file* last) {
    *last = OS_INVALID_FILE;
    char rest[4096];
    size_t path_length = strlen(path);
    if (path[0] != '/' || path_length >= sizeof rest) {
        errno = EINVAL;
        return OS_WALK_FAILED;
    }
    memcpy(rest, path, path_length + 1);
    int directory = open_directory(AT_FDCWD, "/");
    if (directory < 0) return OS_WALK_FAILED;
    struct stat status;
    os_walk_result result = fstat(directory, &status) != 0 ? OS_WALK_FAILED : OS_WALK_FOUND;
    if (result == OS_WALK_FOUND && !trusted_directory(status)) {
        path[1] = 0;
        result = OS_WALK_REFUSED;
    }
    // `path` is written anew, component by component, as walked.
    size_t out = 0;
    char* saved = nullptr;
    char* component = strtok_r(rest + 1, "/", &saved);
    while (result == OS_WALK_FOUND && component != nullptr) {
        char* following = strtok_r(nullptr, "/", &saved);
        bool is_last = following == nullptr;
        // In a folder that everybody may write to, a name that is missing,
        // or taken by somebody else, gives way to the user's own:
        // "<name>-<uid>", which only the user makes there.
        bool shared = shared_sticky(status);
        for (int suffixed = 0; suffixed < 2; suffixed++) {
            char name[NAME_MAX + 1];
            int length = suffixed ? snprintf(name, sizeof name, "%s-%lu", component, (unsigned long)geteuid())
                                  : snprintf(name, sizeof name, "%s", component);
            if (length < 0 || length >= (int)sizeof name || out + 1 + (size_t)length >= capacity) {
                errno = ENAMETOOLONG;
                result = OS_WALK_FAILED;
                break;
            }
            path[out] = '/';
            memcpy(path + out + 1, name, (size_t)length + 1);
            result = step_into(&directory, name, &status, 0, is_last);
            if (result != OS_WALK_FAILED && result != OS_WALK_FOUND && shared && !suffixed) continue;
            if (result == OS_WALK_MISSING && create && !is_last) {
                // Whoever made it in the meantime, what is there is checked.
                if (mkdirat(directory, name, 0700) != 0 && errno != EEXIST) {
                    result = OS_WALK_FAILED;
                    break;
                }
                result = step_into(&directory, name, &status, 0, false);
                // Made and gone again: somebody is playing with the name.
                if (result == OS_WALK_MISSING) result = OS_WALK_REFUSED;
            }
            // Only the last directory may be missing.
            if (result == OS_WALK_MISSING && !is_last) {
                errno = ENOENT;
                result = OS_WALK_FAILED;
            }
            out += 1 + (size_t)length;
            break;
        }
        component = following;
    }
    if (result == OS_WALK_FOUND) {
        *last = directory;
        return result;
    }
    int error = errno;
    close(directory);
    errno = error;
    return result;
}

bool os_file_has_size(os_file folder, const os_char* path, size_t relative, uint64_t size) {
    struct stat status;
    return fstatat(folder, path + relative, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
           (uint64_t)status.st_size == size;
}

// True when the open file is still the one that `path` names: a reclaimer
// that took the lock meanwhile may have removed the name.
static bool still_named(int file, const char* path) {
    struct stat opened, named;
    return fstat(file, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// O_NONBLOCK: a FIFO planted under the name must not hold the open.
os_file os_version_lock(const os_char* path) {
    for (int attempt = 0; attempt < 8; attempt++) {
        int lock = open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (lock < 0) return OS_INVALID_FILE;
        struct stat status;
        int locked;
        if (fstat(lock, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
            close(lock);
            return OS_INVALID_FILE;
        }
        while ((locked = flock(lock, LOCK_SH)) != 0 && errno == EINTR) {
        }
        if (locked == 0 && still_named(lock, path)) {
            futimens(lock, nullptr);
            return lock;
        }
        close(lock);
    }
    return OS_INVALID_FILE;
}

int64_t os_file_time(os_file file) {
    struct stat status;
    if (fstat(file, &status) != 0) return 0;
    return (int64_t)status.st_mtim.tv_sec * 10000000 + status.st_mtim.tv_nsec / 100 + 116444736000000000LL;
}

// The parent's entry must reach the disk too, or a power loss could forget
// the new name while the files below it survive.
static void sync_parent(const char* path) {
    char parent[4096];
    size_t length = strlen(path);
    if (length >= sizeof parent) return;
    memcpy(parent, path, length + 1);
    char* slash = strrchr(parent, '/');
    if (slash == nullptr) return;
    if (slash == parent) slash[1] = 0;
    else *slash = 0;
    int directory = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return;
    fsync(directory);
    close(directory);
}

// renameat2 with RENAME_NOREPLACE fails with EEXIST when `to` exists. A file
// system without the flag (EINVAL) gets a plain rename, which cannot replace
// the winner's directory either: a directory is replaced only by another
// when it is empty, and a published one never is.
os_rename_result os_rename_no_replace(const os_char* from, const os_char* to) {
    int result = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) result = rename(from, to);
    if (result == 0) {
        sync_parent(to);
        return OS_RENAMED;
    }
    return errno == EEXIST || errno == ENOTEMPTY ? OS_RENAME_EXISTS : OS_RENAME_FAILED;
}

bool os_rename_replace(const os_char* from, const os_char* to) {
    if (rename(from, to) != 0) return false;
    sync_parent(to);
    return true;
}

// One syncfs writes every dirty page of the file system, the unpacked files
// among them: far cheaper than an fsync per file on a journaling file
// system.
bool os_sync_below(const os_char* directory) {
    int descriptor = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return false;
    bool synced = syncfs(descriptor) == 0;
    close(descriptor);
    return synced;
}

bool os_file_flush(os_file) { return true; }
