// The user's folders, the clock and the counter.
#include <pwd.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "os/os.h"

void os_temp_path(os_char* out, size_t capacity) {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || folder[0] == 0) folder = "/tmp";
    size_t length = strlen(folder);
    bool add_separator = folder[length - 1] != '/';
    if (length + add_separator + 1 > capacity) return;
    memcpy(out, folder, length);
    if (add_separator) out[length++] = '/';
    out[length] = 0;
}

static bool copy_folder(os_char* out, const char* folder) {
    size_t length = strlen(folder);
    if (length + 1 > OS_FOLDER_CAPACITY) return false;
    memcpy(out, folder, length + 1);
    return true;
}

bool os_profile_folder(os_char* out) {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != 0) return copy_folder(out, home);
    struct passwd* entry = getpwuid(getuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == 0) return false;
    return copy_folder(out, entry->pw_dir);
}

bool os_cache_folder(os_char* out) {
    const char* cache = getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') return copy_folder(out, cache);
    os_char profile[OS_FOLDER_CAPACITY];
    if (!os_profile_folder(profile)) return false;
    size_t length = strlen(profile);
    static const char suffix[] = "/.cache";
    if (length + sizeof suffix > OS_FOLDER_CAPACITY) return false;
    memcpy(out, profile, length);
    memcpy(out + length, suffix, sizeof suffix);
    return true;
}

// FILETIME counts 100-nanosecond intervals from 1601-01-01 UTC.
int64_t os_system_time(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 10000000 + now.tv_nsec / 100 + 116444736000000000LL;
}

void os_performance_counter(int64_t* counter) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *counter = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}
