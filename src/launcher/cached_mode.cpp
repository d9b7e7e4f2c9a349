// The cached target directory: "<expanded spec>/<digest>", unpacked by the
// first start and kept for every later one.
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
// A later start decodes and writes nothing: it checks that the final
// directory and the directories above it are safe, and hosts the main
// library in its own process. With nothing to remove at the end there is no
// reason for a second process.
#include <stdio.h>

#include "attached/directories.h"
#include "attached/format.h"
#include "attached/unpack.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/attached_blob.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"

bool cached_mode(void) { return talvor_cache_key[0] != 0; }

// A separator that ends the expanded spec is dropped, so that
// "{CACHE_DIR}/app/" names the same directory as "{CACHE_DIR}/app".
void append_cache_digest(void) {
    size_t length = os_strlen(target_directory);
    while (length > 1 && target_directory[length - 1] == OS_SEP) length--;
    if (length + 1 + cache_digest_chars >= path_capacity) fatal_bound();
    target_directory[length++] = OS_SEP;
    for (size_t i = 0; i < cache_digest_chars; i++) target_directory[length++] = (os_char)talvor_cache_key[i];
    target_directory[length] = 0;
}

// The main library's name follows the digest in the key, in the archive's
// form; it passes the unpacker's rule and conversion, as in the archive.
void find_cached_main_library(void) {
    const unsigned char* bytes = talvor_cache_key + cache_digest_chars + 1;
    char16_t units[archive_name_max_units] = {};
    size_t count = 0;
    for (;; count++) {
        uint16_t unit = (uint16_t)(bytes[2 * count] | (bytes[2 * count + 1] << 8));
        if (unit == 0) break;
        if (count == archive_name_max_units) fatal_error(MSG_DECODE);
        units[count] = (char16_t)unit;
    }
    set_main_dll_path(units, count);
}

// Refuses the first existing directory above `path` that others could use
// to put other files in its place. Missing ones are created private.
static void check_parents(const os_char* path) {
    os_char work[path_capacity];
    memcpy(work, path, (os_strlen(path) + 1) * sizeof(os_char));
    for (;;) {
        os_char* cut = os_strrchr(work, OS_SEP);
        if (cut == nullptr || cut == work) return;
        *cut = 0;
#ifdef _WIN32
        if (work[1] == L':' && work[2] == 0) return;
#endif
        if (os_directory_trust(work, false) == OS_DIR_UNTRUSTED) fatal_untrusted_directory(work);
    }
}

// The staging directory: the final name, the process id and the time, so
// that no other start, nor a leftover of a crashed one, has the same.
static void name_staging_directory(const os_char* final_path) {
    char narrow[64];
    snprintf(narrow, sizeof narrow, "-%lu-%llx.partial", (unsigned long)os_process_id(),
             (unsigned long long)os_system_time());
    size_t length = os_strlen(final_path);
    size_t suffix_length = strlen(narrow);
    if (length + suffix_length >= path_capacity) fatal_bound();
    memcpy(target_directory, final_path, length * sizeof(os_char));
    for (size_t i = 0; i <= suffix_length; i++) target_directory[length + i] = (os_char)narrow[i];
}

// The first start. Leaves target_directory naming the staging directory,
// which is gone by then (published or removed) and no longer this process's
// to remove: a clean-up that runs later on finds nothing to do.
static void unpack_and_publish(const os_char* final_path) {
    name_staging_directory(final_path);
    private_parents = true;
    durable_files = true;
    unpack_as_parent();
    if (!os_sync_below(target_directory)) fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
    os_rename_result result = publish_target_directory(final_path);
    if (result == OS_RENAME_FAILED) fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
    if (result == OS_RENAME_EXISTS) {
        // Another start published first: its directory is as good.
        remove_target_directory();
        release_target_directory();
    }
}

int run_cached(void) {
    os_char final_path[path_capacity];
    memcpy(final_path, target_directory, (os_strlen(target_directory) + 1) * sizeof(os_char));
    check_parents(final_path);
    os_dir_trust trust = os_directory_trust(final_path, true);
    if (trust == OS_DIR_MISSING) {
        unpack_and_publish(final_path);
        if (os_directory_trust(final_path, true) != OS_DIR_TRUSTED) fatal_untrusted_directory(final_path);
        // The interrupt handler is in place and owns the signals: the
        // application runs in a child, as in the default mode, which finds
        // the published directory.
        return (int)launch_child();
    }
    if (trust != OS_DIR_TRUSTED) fatal_untrusted_directory(final_path);

    // The application sees what a child would: the same variables, its
    // arguments behind the launcher's full path, the library's full path.
    find_cached_main_library();
    set_application_environment();
    fill_own_module_path();
    if (!os_command_line_arguments(&launcher_argc, &launcher_argv)) fatal_error(MSG_NO_MEMORY);
    launcher_argv[0] = own_module_path;
    return host_main_dll();
}
