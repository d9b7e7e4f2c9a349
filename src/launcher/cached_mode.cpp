// The cached target directory: "<expanded spec>/<digest>", unpacked by the
// first start and kept for every later one.
//
// Every start first opens the directory through a walk that checks each
// directory on the way, on what it opened (os_open_cached_directory), and
// holds the version's lock, "<digest>.lock" beside it, shared with every
// other start of that version until it ends: a reclaimer removes a version
// only while nobody holds it.
//
// The first start unpacks into a staging directory of its own beside the
// final one, makes the files durable and renames the staging directory to
// the final name in one step that never replaces an existing directory. Of
// several first starts at once, one rename wins; the others remove their
// staging directories and use the winner's. Until the rename, the staging
// directory is the target directory of interrupts.cpp: an interrupt or a
// failure removes it. After it, nothing removes the final directory. A crash
// at any moment leaves a staging directory at most, never a partial final
// one.
//
// A later start decodes and writes nothing: it checks that every file of
// the manifest that talvor-pack linked into the executable is there with
// its size, and hosts the main library in its own process. With nothing to
// remove at the end there is no reason for a second process. A file that a
// temporary-folder cleaner removed or a power loss cut short makes the
// start repair the directory: it unpacks a fresh copy into staging and
// renames each damaged file over its place, so that instances running from
// the directory keep the files they opened and every start after it finds
// the directory whole.
#include <stdio.h>

#include <atomic>

#include "attached/directories.h"
#include "attached/format.h"
#include "attached/unpack.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/attached_blob.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "launcher/reclaim.h"

// The final directory as walked (with the user's suffix where the walk put
// one), and its descriptor while the files are checked. Main thread only.
static os_char final_path[path_capacity];
static os_file final_directory = OS_INVALID_FILE;

bool cached_mode(void) { return attached_cache_key[0] != 0; }

// A separator that ends the expanded spec is dropped, so that
// "{CACHE_DIR}/app/" names the same directory as "{CACHE_DIR}/app".
void append_cache_digest(void) {
    size_t length = os_strlen(target_directory);
    while (length > 1 && target_directory[length - 1] == OS_SEP) length--;
    if (length + 1 + cache_digest_chars >= path_capacity) fatal_bound();
    target_directory[length++] = OS_SEP;
    for (size_t i = 0; i < cache_digest_chars; i++) target_directory[length++] = (os_char)attached_cache_key[i];
    target_directory[length] = 0;
}

// One entry of the manifest: its name in the archive's form, and its size.
struct manifest_entry {
    char16_t units[archive_name_max_units];
    size_t count;
    uint64_t size;
};

// Reads the entry at `*cursor` and moves past it; false at the end marker.
static bool next_manifest_entry(const unsigned char** cursor, manifest_entry* entry) {
    const unsigned char* bytes = *cursor;
    entry->count = 0;
    for (;; entry->count++) {
        uint16_t unit = (uint16_t)(bytes[2 * entry->count] | (bytes[2 * entry->count + 1] << 8));
        if (unit == 0) break;
        if (entry->count == archive_name_max_units) fatal_error(MSG_DECODE);
        entry->units[entry->count] = (char16_t)unit;
    }
    if (entry->count == 0) return false;
    bytes += 2 * entry->count + 2;
    entry->size = 0;
    for (int i = 7; i >= 0; i--) entry->size = (entry->size << 8) | bytes[i];
    *cursor = bytes + 8;
    return true;
}

static const unsigned char* manifest_start(void) { return attached_cache_key + cache_digest_chars + 1; }

// The first entry of the manifest is the main library; it passes the
// unpacker's rule and conversion, as in the archive.
void find_cached_main_library(void) {
    const unsigned char* cursor = manifest_start();
    manifest_entry entry;
    if (!next_manifest_entry(&cursor, &entry)) fatal_error(MSG_DECODE);
    set_main_dll_path(entry.units, entry.count);
}

// Opens the final directory through the checked walk; with `create`, the
// directories above it are made where missing. target_directory follows
// the walk's name for it.
static os_walk_result open_final_directory(bool create) {
    if (final_directory != OS_INVALID_FILE) os_file_close(final_directory);
    final_directory = OS_INVALID_FILE;
    memcpy(final_path, target_directory, (os_strlen(target_directory) + 1) * sizeof(os_char));
    os_walk_result result = os_open_cached_directory(final_path, path_capacity, create, &final_directory);
    if (result == OS_WALK_REFUSED) fatal_untrusted_directory(final_path);
    if (result == OS_WALK_FAILED) fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
    memcpy(target_directory, final_path, (os_strlen(final_path) + 1) * sizeof(os_char));
    return result;
}

// The version's lock, held shared until the process ends. A lock that
// cannot be had (somebody else's file under its name) leaves the version
// unmarked: no reclaimer takes a lock file that is not the user's either.
static void hold_version_lock(void) {
    os_char lock_path[path_capacity + 8];
    size_t length = os_strlen(final_path);
    memcpy(lock_path, final_path, length * sizeof(os_char));
    memcpy(lock_path + length, OS_TEXT(".lock"), 6 * sizeof(os_char));
    os_version_lock(lock_path);
}

// The path of a manifest entry below `directory`.
static void manifest_path(const os_char* directory, const manifest_entry* entry, os_char* out) {
    entry_path_below(directory, entry->units, entry->count, out);
}

static bool final_file_complete(const manifest_entry* entry, os_char* path) {
    manifest_path(final_path, entry, path);
    return os_file_has_size(final_directory, path, os_strlen(final_path) + 1, entry->size);
}

// The files of a large manifest are checked on two threads, each taking
// every other entry: a check is a system call that only reads the file
// system's metadata, so a second core halves the time. Either thread stops
// at the first damaged file it finds or that the other reported.
static const size_t threaded_check_entries = 128;

struct check_share {
    size_t first; // 0 or 1: the entries this share checks
    size_t step;  // 1 when one thread checks them all, else 2
};

static std::atomic<bool> damage_found;

static void check_entries(void* argument) {
    const check_share* share = (const check_share*)argument;
    os_char path[path_capacity];
    const unsigned char* cursor = manifest_start();
    manifest_entry entry;
    for (size_t index = 0; next_manifest_entry(&cursor, &entry); index++) {
        if (index % share->step != share->first) continue;
        if (damage_found.load(std::memory_order_relaxed)) return;
        if (!final_file_complete(&entry, path)) damage_found.store(true, std::memory_order_relaxed);
    }
}

// Every file of the manifest is in the final directory, with its size.
static bool final_directory_complete(void) {
    size_t entries = 0;
    const unsigned char* cursor = manifest_start();
    manifest_entry entry;
    while (entries < threaded_check_entries && next_manifest_entry(&cursor, &entry)) entries++;
    damage_found.store(false);
    check_share mine = {0, 2}, other = {1, 2};
    os_thread helper = {check_entries, &other, 0};
    if (entries < threaded_check_entries || !os_thread_start(&helper)) {
        mine.step = 1;
        check_entries(&mine);
        return !damage_found.load();
    }
    check_entries(&mine);
    os_thread_join(&helper);
    return !damage_found.load();
}

// The staging directory: the final name, the process id and the time, so
// that no other start, nor a leftover of a crashed one, has the same.
static void name_staging_directory(void) {
    char narrow[64];
    snprintf(narrow, sizeof narrow, "-%lu-%llx.partial", (unsigned long)os_process_id(),
             (unsigned long long)os_system_time());
    size_t length = os_strlen(final_path);
    size_t suffix_length = strlen(narrow);
    if (length + suffix_length >= path_capacity) fatal_bound();
    memcpy(target_directory, final_path, length * sizeof(os_char));
    for (size_t i = 0; i <= suffix_length; i++) target_directory[length + i] = (os_char)narrow[i];
}

// Unpacks the whole archive into a new staging directory, durably.
static void unpack_staging_directory(void) {
    name_staging_directory();
    private_parents = true;
    durable_files = true;
    unpack_as_parent();
    if (!os_sync_below(target_directory)) fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
}

// Removes the staging directory, which is then no longer this process's to
// remove: target_directory goes on to name the final directory.
static void discard_staging_directory(void) {
    remove_target_directory();
    release_target_directory();
}

// The first start. Leaves target_directory naming the staging directory,
// which is gone by then (published or removed) and no longer this process's
// to remove: a clean-up that runs later on finds nothing to do.
static void unpack_and_publish(void) {
    unpack_staging_directory();
    os_rename_result result = publish_target_directory(final_path);
    if (result == OS_RENAME_FAILED) fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
    // Another start published first: its directory is as good.
    if (result == OS_RENAME_EXISTS) discard_staging_directory();
}

// Moves every file that the final directory lacks, or holds with another
// size, from the fresh copy in staging over its place, then removes the
// rest of the copy. A file is replaced in one step: whoever has the damaged
// one open keeps it; every later open finds the whole one.
static void repair_final_directory(void) {
    unpack_staging_directory();
    os_char fresh[path_capacity], damaged[path_capacity];
    const unsigned char* cursor = manifest_start();
    manifest_entry entry;
    while (next_manifest_entry(&cursor, &entry)) {
        if (final_file_complete(&entry, damaged)) continue;
        manifest_path(target_directory, &entry, fresh);
        os_char* separator = os_strrchr(damaged, OS_SEP);
        *separator = 0;
        create_directory_tree(damaged);
        *separator = OS_SEP;
        stop_if_interrupted();
        // A start repairing at the same time may have put the file in
        // place, and its application may have opened it meanwhile (Windows
        // then refuses to replace it): the file is whole either way.
        if (!os_rename_replace(fresh, damaged)) {
            uint32_t error = os_last_error();
            if (!final_file_complete(&entry, damaged)) fatal_error_with_code(MSG_UNPACK_WRITE, error);
        }
    }
    discard_staging_directory();
}

// The child of a first start or a repair, and a later start: the final
// directory is there and checked, the version held.
static void open_published_directory(void) {
    if (open_final_directory(false) != OS_WALK_FOUND) fatal_untrusted_directory(final_path);
    hold_version_lock();
}

void find_cached_directory(void) {
    open_published_directory();
    find_cached_main_library();
}

int run_cached(void) {
    // The walk makes the directories above, the lock is taken, and then the
    // walk goes again: a reclaimer that held the lock may have removed the
    // version meanwhile.
    open_final_directory(true);
    hold_version_lock();
    os_walk_result found = open_final_directory(true);
    if (found == OS_WALK_MISSING || !final_directory_complete()) {
        if (found == OS_WALK_MISSING) unpack_and_publish();
        else repair_final_directory();
        // The interrupt handler is in place and owns the signals: the
        // application runs in a child, as in the default mode, which finds
        // the published directory.
        memcpy(target_directory, final_path, (os_strlen(final_path) + 1) * sizeof(os_char));
        if (open_final_directory(false) != OS_WALK_FOUND) fatal_untrusted_directory(final_path);
        return (int)launch_child();
    }
    os_file_close(final_directory);
    final_directory = OS_INVALID_FILE;
    reclaim_dead_runs();

    // The application sees what a child would: the same variables, its
    // arguments behind the launcher's full path, the library's full path.
    find_cached_main_library();
    set_application_environment();
    fill_own_module_path();
    if (!os_command_line_arguments(&launcher_argc, &launcher_argv)) fatal_error(MSG_NO_MEMORY);
    launcher_argv[0] = own_module_path;
    return host_main_dll();
}
