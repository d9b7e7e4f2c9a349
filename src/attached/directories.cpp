#include "attached/directories.h"

#include <stdlib.h>

#include <atomic>

#include "attached/unpack.h"
#include "diag/fatal.h"
#include "paths/path_spec.h"

// Heap copies, appended in the order they become known; never freed. Only
// the main thread uses them, while it unpacks.
static os_char* known_directories[known_directories_max];
static size_t known_directory_count;
static bool known_directories_seeded;
// Set by the main thread, read by the clean-up on the handler thread.
static std::atomic<bool> target_created(false);
bool private_parents;

static void remember_directory(const os_char* path) {
    if (known_directory_count == known_directories_max) return;
    // A copy that cannot be made is left out: the list never holds an entry
    // that a later comparison could not read.
    os_char* copy = os_strdup(path);
    if (copy != nullptr) known_directories[known_directory_count++] = copy;
}

static bool is_drive_or_root(const os_char* path) {
#ifdef _WIN32
    return path[0] != 0 && path[1] == L':' && path[2] == 0;
#else
    return path[0] == '/' && path[1] == 0;
#endif
}

// The user's profile folder is taken to exist and is never created. It only
// spares a system call: a user without one (a bare user id in a container, a
// service account) starts with an empty list.
void seed_known_directories(void) {
    if (known_directories_seeded) return;
    known_directories_seeded = true;
    os_char home[path_capacity];
    if (expand_path_spec(home, OS_TEXT("{HOME}"), path_capacity)) remember_directory(home);
}

bool create_directory(const os_char* path) {
    seed_known_directories();
    for (size_t i = 0; i < known_directory_count; i++) {
        if (os_strcmp(known_directories[i], path) == 0) return true;
    }
    if (is_drive_or_root(path)) return true;
    bool is_target = os_strcmp(path, target_directory) == 0;
    os_dir_result result = os_create_directory(path, is_target || private_parents);
    if (result == OS_DIR_FAILED) return false;
    // The target directory must be new: one that exists already may have
    // been made, or filled, by another user of a shared temporary folder.
    if (is_target) {
        if (result != OS_DIR_CREATED) return false;
        target_created = true;
    }
    remember_directory(path);
    return true;
}

// Finds the last separator of `path` at a position after the first.
static os_char* last_separator(os_char* path) {
    size_t i = os_strlen(path);
    while (i > 1 && path[i - 1] != OS_SEP) i--;
    return i > 1 ? path + i - 1 : nullptr;
}

// Climbs from `path` towards the root until a directory exists or is known,
// then creates the missing ones from the uppermost down. Each directory that
// failed on the way up is tried once more on the way down. A loop over one
// copy of the path, so that a path of some 2000 components needs no deep
// stack.
void create_directory_tree(const os_char* path) {
    os_char work[path_capacity];
    size_t length = os_strlen(path);
    if (length >= path_capacity) fatal_bound();
    memcpy(work, path, (length + 1) * sizeof(os_char));

    size_t failed = 0;
    bool reached_existing = false;
    for (;;) {
        if (create_directory(work)) {
            reached_existing = true;
            break;
        }
        failed++;
        os_char* cut = last_separator(work);
        if (cut == nullptr) break;
        *cut = 0;
    }
    if (failed == 0) return;
    // Each cut replaced one separator with a terminator: putting it back
    // goes one level down.
    if (reached_existing) work[os_strlen(work)] = OS_SEP;
    for (;;) {
        create_directory(work);
        if (--failed == 0) break;
        work[os_strlen(work)] = OS_SEP;
    }
}

bool create_target_directory(void) {
    create_directory_tree(target_directory);
    return target_created;
}

bool target_directory_created(void) { return target_created; }

void release_target_directory(void) { target_created = false; }

void reset_known_directories(void) {
    for (size_t i = 0; i < known_directory_count; i++) free(known_directories[i]);
    known_directory_count = 0;
    known_directories_seeded = false;
    target_created = false;
}
