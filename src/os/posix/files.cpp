// Files and directories of the target directory.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
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

// Removal walks the tree depth first through descriptors relative to each
// parent, and opens directories with O_NOFOLLOW: a symbolic link is removed
// itself, never followed, so nothing outside the tree is touched even when
// the application left links to elsewhere.
//
// The levels nearest the top keep their listing open while the walk is below
// them and go on reading where they stopped. Deeper levels close theirs on
// the way down and are found again through "..", then listed afresh; so the
// walk holds at most held_levels + 2 descriptors at any depth.
static const size_t held_levels = 32;

// One directory on the path from the top of the tree down to the walk.
struct tree_level {
    DIR* listing;  // null while closed, for a deep level above the walk
    dev_t device;  // identity, to check the way back up through ".."
    ino_t inode;
    ino_t entry;               // the inode its parent's listing shows for it
    char name[NAME_MAX + 1];  // its name in the parent, to remove it from there
};

// An entry that could not be removed, by its directory and the inode of its
// listing; skipped when that directory is listed afresh, so that the walk
// ends even when the application left something it cannot remove.
struct failed_entry {
    dev_t device;
    ino_t directory;
    ino_t entry;
};

// The state of one call; two threads may remove the same tree at once.
struct tree_walk {
    tree_level* levels;
    size_t depth, levels_room;
    failed_entry* failed;
    size_t failed_count, failed_room;
    bool stopped;  // no memory left to remember a failure
};

// Makes room for one more of `count` elements of `size` bytes.
static bool make_room(void** array, size_t* room, size_t count, size_t size) {
    if (count < *room) return true;
    size_t larger = *room == 0 ? 64 : *room * 2;
    void* grown = realloc(*array, larger * size);
    if (grown == nullptr) return false;
    *array = grown;
    *room = larger;
    return true;
}

static void remember_failure(tree_walk* walk, const tree_level* level, ino_t entry) {
    if (!make_room((void**)&walk->failed, &walk->failed_room, walk->failed_count, sizeof(failed_entry))) {
        walk->stopped = true;
        return;
    }
    walk->failed[walk->failed_count++] = {level->device, level->inode, entry};
}

static bool has_failed(const tree_walk* walk, const tree_level* level, ino_t entry) {
    for (size_t i = 0; i < walk->failed_count; i++) {
        const failed_entry& f = walk->failed[i];
        if (f.entry == entry && f.directory == level->inode && f.device == level->device) return true;
    }
    return false;
}

// Adds the directory open as `directory` as the deepest level, taking the
// descriptor; false (with it closed) when it cannot be listed.
static bool push_level(tree_walk* walk, int directory, const char* name, ino_t entry) {
    struct stat status;
    DIR* listing = nullptr;
    if (!make_room((void**)&walk->levels, &walk->levels_room, walk->depth, sizeof(tree_level)) ||
        fstat(directory, &status) != 0 || (listing = fdopendir(directory)) == nullptr) {
        close(directory);
        return false;
    }
    tree_level* level = &walk->levels[walk->depth++];
    level->listing = listing;
    level->device = status.st_dev;
    level->inode = status.st_ino;
    level->entry = entry;
    strcpy(level->name, name);
    return true;
}

// Reads the listing of `level` up to its next subdirectory, removing the
// files and links before it; null at the end of the listing.
static struct dirent* next_directory(tree_walk* walk, tree_level* level) {
    int directory = dirfd(level->listing);
    while (struct dirent* entry = readdir(level->listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        if (walk->failed_count > 0 && has_failed(walk, level, entry->d_ino)) continue;
        // The listing's type saves a failed unlink for each directory; an
        // unknown type is found out by trying (EISDIR on Linux, EPERM
        // elsewhere).
        if (entry->d_type != DT_DIR) {
            if (unlinkat(directory, name, 0) == 0) continue;
            if (errno != EISDIR && errno != EPERM) {
                remember_failure(walk, level, entry->d_ino);
                continue;
            }
        }
        return entry;
    }
    return nullptr;
}

// Opens the parent of the deepest level through "..". It must be the very
// directory the walk came down from: if the tree was moved or swapped, the
// walk stops rather than touch whatever is there now.
static bool reopen_parent(tree_walk* walk) {
    tree_level* here = &walk->levels[walk->depth - 1];
    tree_level* parent = here - 1;
    int up = openat(dirfd(here->listing), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (up < 0) return false;
    struct stat status;
    if (fstat(up, &status) != 0 || status.st_dev != parent->device || status.st_ino != parent->inode ||
        (parent->listing = fdopendir(up)) == nullptr) {
        close(up);
        return false;
    }
    return true;
}

// Empties the tree whose top is the only level; false when the walk stopped
// early, because the tree moved or memory ran out.
static bool empty_tree(tree_walk* walk) {
    while (!walk->stopped) {
        tree_level* here = &walk->levels[walk->depth - 1];
        if (struct dirent* entry = next_directory(walk, here)) {
            int child = openat(dirfd(here->listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !push_level(walk, child, entry->d_name, entry->d_ino)) {
                remember_failure(walk, &walk->levels[walk->depth - 1], entry->d_ino);
                continue;
            }
            // Below the held levels, the parent lets go of its listing.
            tree_level* parent = &walk->levels[walk->depth - 2];
            if (walk->depth - 2 >= held_levels) {
                closedir(parent->listing);
                parent->listing = nullptr;
            }
            continue;
        }
        // The listing is at its end: whatever is left here could not be
        // removed. The top is removed by the caller, by its path.
        if (walk->depth == 1) return true;
        tree_level* parent = here - 1;
        if (parent->listing == nullptr && !reopen_parent(walk)) return false;
        closedir(here->listing);
        walk->depth--;
        if (unlinkat(dirfd(parent->listing), here->name, AT_REMOVEDIR) != 0) {
            remember_failure(walk, parent, here->entry);
        }
    }
    return false;
}

void os_remove_tree(const os_char* path) {
    int top = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0) {
        unlink(path);
        return;
    }
    tree_walk walk = {};
    bool emptied = push_level(&walk, top, "", 0) && empty_tree(&walk);
    for (size_t i = 0; i < walk.depth; i++) {
        if (walk.levels[i].listing != nullptr) closedir(walk.levels[i].listing);
    }
    free(walk.levels);
    free(walk.failed);
    if (emptied) rmdir(path);
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
