// The primitives of a cached target directory: trust, durable data and the
// publishing rename.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"

os_dir_trust os_directory_trust(const os_char* path, bool own) {
    struct stat status;
    int result = own ? lstat(path, &status) : stat(path, &status);
    if (result != 0) return errno == ENOENT ? OS_DIR_MISSING : OS_DIR_UNTRUSTED;
    if (!S_ISDIR(status.st_mode)) return OS_DIR_UNTRUSTED;
    bool shared_write = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (own) return status.st_uid == geteuid() && !shared_write ? OS_DIR_TRUSTED : OS_DIR_UNTRUSTED;
    bool owner_ok = status.st_uid == geteuid() || status.st_uid == 0;
    bool sticky = (status.st_mode & S_ISVTX) != 0;
    return owner_ok && (!shared_write || sticky) ? OS_DIR_TRUSTED : OS_DIR_UNTRUSTED;
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
