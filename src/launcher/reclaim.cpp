// Reclaiming the target directories of launchers that were killed outright.
//
// No clean-up runs in a process that is killed (SIGKILL, "End task", power
// loss), so its target directory stays in the temporary folder. Each run
// therefore marks itself as live with a lock file beside its target
// directory, which the system unlocks when the process dies, however it
// dies; a later run that can take the lock knows the run is gone and removes
// its directory, then the lock file. The lock, never the process id,
// decides: ids are reused and differ between PID namespaces that share a
// temporary folder.
//
// The lock file lies beside the directory, not in it, so the application
// finds no file of ours among its own. It is made before the directory and
// removed after it: a directory of a live run always has a held lock file,
// and a directory without a lock file (an older launcher's, or somebody
// else's) is never touched.
//
// The reclaimer holds the dead run's lock while it deletes. Should it be
// killed in the middle, the lock goes with it and the lock file stays, so a
// later run takes the lock again and finishes the delete.
#include "launcher/reclaim.h"

#include <atomic>

#include "attached/format.h"
#include "attached/unpack.h"
#include "paths/path_spec.h"

// Per run: at most this many directories removed, lock files tried and
// folder entries read, so that a temporary folder with thousands of
// leftovers is drained over a few runs and none of them stalls. Reading a
// name costs little; trying a lock costs an open. Removing a directory can
// cost a second or more (thousands of files on a slow disk), so once the
// application has ended no further one is begun: a short run makes the
// launcher wait for one leftover at most.
static const int removals_max = 32;
static const int attempts_max = 256;
static const size_t entries_max = 100000;

static const os_char lock_suffix[] = OS_TEXT(".lock");
static const size_t lock_suffix_length = sizeof lock_suffix / sizeof lock_suffix[0] - 1;

// The run's own lock file: written by the main thread before the target
// directory exists; released by whichever of the main thread and the
// interrupt thread removes the directory, through the exchange.
static os_char run_lock_path[path_capacity + lock_suffix_length];
static std::atomic<os_file> run_lock(OS_INVALID_FILE);

static bool is_digit(os_char c) { return c >= '0' && c <= '9'; }

static bool is_base64url(os_char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '_';
}

// Counts the digits at `text`, up to `end`.
static size_t digits_at(const os_char* text, const os_char* end) {
    size_t count = 0;
    while (text + count < end && is_digit(text[count])) count++;
    return count;
}

bool is_target_directory_name(const os_char* name, size_t length) {
    static const os_char prefix[] = OS_TEXT("onefile_");
    const size_t prefix_length = sizeof prefix / sizeof prefix[0] - 1;
    const os_char* end = name + length;
    if (length < prefix_length || os_strncmp(name, prefix, prefix_length) != 0) return false;
    const os_char* p = name + prefix_length;
    size_t pid_digits = digits_at(p, end);
    if (pid_digits < 1 || pid_digits > 10) return false;
    p += pid_digits;
    if (p == end || *p++ != '_') return false;
    if (digits_at(p, end) != 6) return false;
    p += 6;
    if (p == end || *p++ != '_') return false;
    if (end - p != 11) return false;
    for (int i = 0; i < 11; i++) {
        if (!is_base64url(p[i])) return false;
    }
    return true;
}

static bool is_hex_digit(os_char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }

bool is_version_name(const os_char* name, size_t length) {
    if (length < cache_digest_chars) return false;
    for (size_t i = 0; i < cache_digest_chars; i++) {
        if (!is_hex_digit(name[i])) return false;
    }
    if (length == cache_digest_chars) return true;
    // The user's suffix, in a folder that every user may write to.
    size_t digits = digits_at(name + cache_digest_chars + 1, name + length);
    return name[cache_digest_chars] == '-' && digits >= 1 && digits <= 10 && cache_digest_chars + 1 + digits == length;
}

bool is_staging_name(const os_char* name, size_t length) {
    static const os_char suffix[] = OS_TEXT(".partial");
    const size_t suffix_length = sizeof suffix / sizeof suffix[0] - 1;
    if (length <= suffix_length || os_strncmp(name + length - suffix_length, suffix, suffix_length) != 0) return false;
    size_t end = length - suffix_length;
    // "-<time in hex>" and "-<process id>", from the right.
    size_t hex = 0;
    while (hex < end && is_hex_digit(name[end - 1 - hex])) hex++;
    if (hex < 1 || hex > 16 || hex == end || name[end - 1 - hex] != '-') return false;
    end -= hex + 1;
    size_t pid = 0;
    while (pid < end && is_digit(name[end - 1 - pid])) pid++;
    if (pid < 1 || pid > 10 || pid == end || name[end - 1 - pid] != '-') return false;
    return is_version_name(name, end - pid - 1);
}

// What lies in the folder of the target directory, and is reclaimed there.
enum folder_kind { FOLDER_OTHER, FOLDER_TEMPORARY, FOLDER_VERSIONS };

// The length of the folder part of the target directory, its final
// separator included, and what kind of folder it is: the temporary folder
// of runs named by the default scheme, or the folder that holds a cached
// application's versions and their staging directories. Runs of any other
// target directory (an author's own spec) neither mark themselves nor
// reclaim, since no reclaimer would look for them.
static size_t target_folder_length(folder_kind* kind) {
    size_t length = os_strlen(target_directory);
    size_t folder_length = length;
    while (folder_length > 0 && target_directory[folder_length - 1] != OS_SEP) folder_length--;
    const os_char* name = target_directory + folder_length;
    *kind = FOLDER_OTHER;
    if (folder_length == 0) return 0;
    if (is_target_directory_name(name, length - folder_length)) *kind = FOLDER_TEMPORARY;
    else if (is_version_name(name, length - folder_length) || is_staging_name(name, length - folder_length)) {
        *kind = FOLDER_VERSIONS;
    }
    return *kind == FOLDER_OTHER ? 0 : folder_length;
}

void mark_live_run(void) {
    folder_kind kind;
    if (target_folder_length(&kind) == 0) return;
    size_t length = os_strlen(target_directory);
    if (length + lock_suffix_length >= sizeof run_lock_path / sizeof run_lock_path[0]) return;
    memcpy(run_lock_path, target_directory, length * sizeof(os_char));
    memcpy(run_lock_path + length, lock_suffix, (lock_suffix_length + 1) * sizeof(os_char));
    run_lock = os_run_lock_create(run_lock_path);
}

void unmark_live_run(bool directory_gone) {
    os_file lock = run_lock.exchange(OS_INVALID_FILE);
    if (lock == OS_INVALID_FILE) return;
    os_run_lock_release(lock, run_lock_path, directory_gone);
}

// A cached version that no start has used for this long goes, once no
// live run holds it: time stamps are in 100-nanosecond units.
static const int64_t version_unused_max = 7LL * 24 * 3600 * 10000000;

// One leftover: `lock_path` names its lock file, `directory` the directory
// beside it. True when a directory was removed. Anything at the directory's
// name that is not a private directory of the current user (a link, a file,
// a directory open to others or of another user) stays, and so does the
// lock file; a lock file without anything beside it (its run was killed
// before it made its directory) goes. A version whose lock was taken less
// than version_unused_max ago stays with its lock file.
static bool reclaim_one(const os_char* lock_path, const os_char* directory, bool version) {
    os_file lock = os_run_lock_take(lock_path);
    if (lock == OS_INVALID_FILE) return false;
    if (version && os_system_time() - os_file_time(lock) < version_unused_max) {
        os_run_lock_release(lock, lock_path, false);
        return false;
    }
    bool removed = false;
    if (os_is_private_directory(directory)) {
        os_remove_tree(directory);
        removed = !os_path_exists(directory);
    }
    os_run_lock_release(lock, lock_path, !os_path_exists(directory));
    return removed;
}

void reclaim_dead_runs(void) {
    // The folder that holds the target directory: the temporary folder as
    // this run expanded it, or the folder of a cached application's
    // versions.
    os_char lock_path[path_capacity + lock_suffix_length];
    folder_kind kind;
    size_t folder_length = target_folder_length(&kind);
    if (folder_length == 0) return;
    memcpy(lock_path, target_directory, folder_length * sizeof(os_char));
    // The folder without its final separator, unless it is the root.
    size_t cut = folder_length > 1 ? folder_length - 1 : folder_length;
    lock_path[cut] = 0;
    os_listing listing = os_listing_open(lock_path);
    if (listing == nullptr) return;
    lock_path[cut] = OS_SEP;

    os_char directory[path_capacity + lock_suffix_length];
    int removals = 0, attempts = 0;
    for (size_t entries = 0; entries < entries_max && removals < removals_max && attempts < attempts_max;
         entries++) {
        const os_char* name = os_listing_next(listing);
        if (name == nullptr) break;
        size_t length = os_strlen(name);
        if (length <= lock_suffix_length || os_strcmp(name + length - lock_suffix_length, lock_suffix) != 0) continue;
        size_t stem = length - lock_suffix_length;
        bool version = kind == FOLDER_VERSIONS && is_version_name(name, stem);
        bool ours = kind == FOLDER_TEMPORARY ? is_target_directory_name(name, stem)
                                             : version || is_staging_name(name, stem);
        if (!ours) continue;
        if (folder_length + length >= sizeof lock_path / sizeof lock_path[0]) continue;
        memcpy(lock_path + folder_length, name, (length + 1) * sizeof(os_char));
        memcpy(directory, lock_path, (folder_length + stem) * sizeof(os_char));
        directory[folder_length + stem] = 0;
        // The own run's lock is held and could not be taken anyway.
        if (os_strcmp(directory, target_directory) == 0) continue;
        // Once the application has ended (or when it runs in the
        // launcher's own process) no removal follows another: every run
        // still removes one leftover, so that even runs of applications
        // that end at once drain the folder.
        if (removals > 0 && !os_child_running()) break;
        attempts++;
        if (reclaim_one(lock_path, directory, version)) removals++;
    }
    os_listing_close(listing);
}
