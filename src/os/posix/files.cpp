// Files and directories of the target directory.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/os.h"

// Every directory is private to the user: the temporary folder may be
// shared, and nobody else may add a library the child would load.
os_dir_result os_create_directory(const os_char* path, bool) {
    if (mkdir(path, 0700) == 0) return OS_DIR_CREATED;
    return errno == EEXIST ? OS_DIR_EXISTS : OS_DIR_FAILED;
}

bool os_is_directory(const os_char* path) {
    struct stat status;
    return lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// Empties the directory open as `directory` and closes it. Entries are
// removed through descriptors relative to their parent, and directories are
// opened with O_NOFOLLOW: a symbolic link is removed itself, never followed,
// so nothing outside the tree is touched even when the application left
// links to elsewhere.
static void remove_contents(int directory) {
    DIR* listing = fdopendir(directory);
    if (listing == nullptr) {
        close(directory);
        return;
    }
    while (struct dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        // The listing's type saves a failed unlink for each directory; an
        // unknown type is found out by trying.
        if (entry->d_type != DT_DIR) {
            if (unlinkat(directory, name, 0) == 0) continue;
            if (errno != EISDIR && errno != EPERM) continue;
        }
        int child = openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) continue;
        remove_contents(child);
        unlinkat(directory, name, AT_REMOVEDIR);
    }
    closedir(listing);
}

void os_remove_tree(const os_char* path) {
    int directory = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        unlink(path);
        return;
    }
    remove_contents(directory);
    rmdir(path);
}

// The archive carries no modes; 0700 keeps bundled programs runnable.
os_file os_file_create(const os_char* path) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0700);
}

bool os_file_write(os_file file, const void* data, size_t size) {
    const char* p = (const char*)data;
    while (size > 0) {
        ssize_t written = write(file, p, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += written;
        size -= (size_t)written;
    }
    return true;
}

void os_file_close(os_file file) { close(file); }
