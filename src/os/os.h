// The launcher's one interface to the operating system. Every system call the
// launcher makes goes through a function declared here; os/win32/ implements
// them with the Win32 calls of the Windows launcher, os/posix/ with their
// nearest POSIX equivalents. The build compiles exactly one of the two.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#ifdef _WIN32
// Windows works in UTF-16 wide strings throughout.
typedef wchar_t os_char;
#define OS_TEXT(s) L##s
#define OS_SEP L'\\'
#define OS_PRI_S "%ls"
#define os_strlen wcslen
#define os_strcmp wcscmp
#define os_strncmp wcsncmp
#define os_strrchr wcsrchr
#define os_strchr wcschr
#define os_stricmp _wcsicmp
#define os_strdup _wcsdup
#define OS_FOLDER_CAPACITY 260 // MAX_PATH, the buffer SHGetFolderPathW fills
#else
// Linux works in UTF-8 narrow strings; capacities count bytes.
#include <strings.h>
typedef char os_char;
#define OS_TEXT(s) s
#define OS_SEP '/'
#define OS_PRI_S "%s"
#define os_strlen strlen
#define os_strcmp strcmp
#define os_strncmp strncmp
#define os_strrchr strrchr
#define os_strchr strchr
#define os_stricmp strcasecmp
#define os_strdup strdup
#define OS_FOLDER_CAPACITY 4096
#endif

// --- Process start -------------------------------------------------------

// The runtime's argument vector, as parsed at start-up.
void os_arguments(int* argc, os_char*** argv);
// The arguments exactly as the command line holds them. On Windows the
// command line split by CommandLineToArgvW, without the wildcard expansion
// of the runtime's vector; POSIX passes a vector and leaves it. False when
// memory runs out, with os_last_error set.
bool os_command_line_arguments(int* argc, os_char*** argv);
// Removes the current directory from the library search order.
void os_clear_dll_directory(void);
uint32_t os_process_id(void);
// Ends the process abnormally at once, without a message of the runtime's
// and without a dialog: status 3 on Windows, SIGABRT on POSIX.
[[noreturn]] void os_abort(void);

// --- Errors ----------------------------------------------------------------

// The calling thread's last system error code (GetLastError / errno).
uint32_t os_last_error(void);
// The system's US English text for `code`, or null when it has none. The text
// may end in line breaks and is never released.
char* os_error_text(uint32_t code);

// --- Messages ----------------------------------------------------------------

// Writes `format` to `stream` (stderr or stdout) with `path` in place of its
// one OS_PRI_S; `format` holds no other conversion. The whole path is
// written, whatever characters it holds: a console gets it in UTF-16, a pipe
// or a file in the code page of narrow output, with the system's replacement
// character for what that code page lacks.
void os_print_path(FILE* stream, const char* format, const os_char* path);

// --- Environment -------------------------------------------------------------

// Converts one byte of a narrow ASCII variable name into `out`; false when it
// does not convert to exactly one character.
bool os_widen_name_char(char c, os_char* out);
// Reads a variable into `buffer` (capacity in characters). Returns its length,
// 0 when unset or empty, or the capacity needed when it does not fit.
size_t os_env_read(const os_char* name, os_char* buffer, size_t capacity);
// Sets a variable, or removes it when `value` is null.
bool os_env_write(const os_char* name, const os_char* value);

// --- Folders, time, counters -----------------------------------------------

// Writes the temporary folder, with a final separator, to `out`; writes
// nothing when it does not fit `capacity`.
void os_temp_path(os_char* out, size_t capacity);
// The user's profile and local cache folders into an OS_FOLDER_CAPACITY
// buffer; false when the system has none.
bool os_profile_folder(os_char* out);
bool os_cache_folder(os_char* out);
// The system time as 100-nanosecond intervals since 1601-01-01 UTC.
int64_t os_system_time(void);
// A high-resolution counter, stored through `counter`.
void os_performance_counter(int64_t* counter);

// --- Paths -------------------------------------------------------------------

// The running executable's path into `buffer`; returns its length, 0 on
// failure. A path longer than the capacity is truncated.
size_t os_module_path(os_char* buffer, size_t capacity);
// True when `size` bytes from `start` lie in the running executable's
// mapped image.
bool os_image_holds(const void* start, uint64_t size);
// The image path of process `pid` into `buffer`; false when the process does
// not exist, cannot be opened or queried.
bool os_process_image_path(uint32_t pid, os_char* buffer, size_t capacity);
// Makes `path` absolute into `out`. Returns the length, the capacity needed
// when it does not fit, or 0 on failure.
size_t os_full_path(const os_char* path, os_char* out, size_t capacity);
// In place: the file's final path (links followed) without the extended
// length prefix; the directory part in short (8.3) form. Each returns false
// when the result does not fit in `capacity` (or memory for it runs out): the
// caller reports that as an exceeded bound.
bool resolve_final_path(os_char* path, size_t capacity);
bool make_short_path(os_char* path, size_t capacity);

// Tells the system that the read-only pages inside [start, start + length)
// will not be read again, so that they leave the resident set. Partial pages
// at either end are kept.
void os_discard_read_pages(const void* start, size_t length);

// --- Files and directories -------------------------------------------------

enum os_dir_result { OS_DIR_CREATED, OS_DIR_EXISTS, OS_DIR_FAILED };
// Creates one directory. With `owner_only` (the target directory) only the
// current user may access it; the POSIX layer makes every directory 0700.
os_dir_result os_create_directory(const os_char* path, bool owner_only);
// True when `path` names an existing directory (not following a final link).
bool os_is_directory(const os_char* path);
// Deletes a directory tree silently; never follows a link out of it.
void os_remove_tree(const os_char* path);

// --- A cached target directory ------------------------------------------------

#ifdef _WIN32
typedef void* os_file;
#define OS_INVALID_FILE ((void*)(intptr_t)-1)
#else
typedef int os_file;
#define OS_INVALID_FILE (-1)
#endif

enum os_walk_result { OS_WALK_FOUND, OS_WALK_MISSING, OS_WALK_REFUSED, OS_WALK_FAILED };
// Opens the cached directory `path` (absolute) one component at a time from
// the root, each through the directory above it, and checks what it opened,
// never a path it checked before:
// - a directory on the way is trusted when it is owned by the user or the
//   system's administrators (POSIX: root; Windows: the token's default
//   owner, SYSTEM, Administrators, TrustedInstaller) and nobody else may
//   remove or replace what it holds (POSIX: group and others may not write
//   to it, unless it has the sticky bit; Windows: no access entry for
//   anybody else grants delete, delete-child, write-DAC or take-ownership);
// - a link on the way is followed only when one of those owns it, and the
//   directories it leads to are checked alike;
// - with `create`, a missing directory above the last is made private to
//   the user, then opened and checked like one that was there;
// - POSIX: a component of `path` that lies directly inside a directory that
//   everybody may write to (sticky, as /tmp) gets "-<uid>" appended, in
//   `path` as well, so that users sharing it never meet;
// - the last component must be a directory (not a link) of the user's own
//   that neither group nor others may write to (Windows: closed to others).
// FOUND: *last is left open. MISSING: the last component does not exist.
// REFUSED: `path` is cut after the component that failed the checks.
// FAILED: a system call failed, or a directory above the last is missing
// (os_last_error).
os_walk_result os_open_cached_directory(os_char* path, size_t capacity, bool create, os_file* last);
// True when `path`, whose part from `relative` on names a file below the
// directory `folder` opened by os_open_cached_directory, is a regular file
// (not a link) of `size` bytes.
bool os_file_has_size(os_file folder, const os_char* path, size_t relative, uint64_t size);
// Creates or opens the lock file `path` of a cached version and holds it
// locked shared, with every other start of that version, until the process
// ends; waits while a reclaimer holds it. Sets the file's time to now: the
// version's last use. OS_INVALID_FILE when it cannot be had (a file there
// that is not the user's own).
os_file os_version_lock(const os_char* path);
// The time of the last write to the file (os_system_time units).
int64_t os_file_time(os_file file);
enum os_rename_result { OS_RENAMED, OS_RENAME_EXISTS, OS_RENAME_FAILED };
// Renames the directory `from` to `to` in one atomic step that never
// replaces what exists at `to` (OS_RENAME_EXISTS), and makes the new name
// durable before it returns (POSIX: the parent is synced; Windows: written
// through).
os_rename_result os_rename_no_replace(const os_char* from, const os_char* to);
// Renames the file `from` over `to`, replacing it in one step: a process
// that has `to` open keeps what it opened.
bool os_rename_replace(const os_char* from, const os_char* to);
// Makes the files written below `directory` durable: POSIX syncs the file
// system that holds it, in one call. Windows has no such call for a user:
// there each file is flushed before it is closed (os_file_flush).
bool os_sync_below(const os_char* directory);

// Creates or truncates a file for writing.
os_file os_file_create(const os_char* path);
// Writes all `size` bytes; false on failure (os_last_error tells why).
bool os_file_write(os_file file, const void* data, size_t size);
void os_file_close(os_file file);
// Writes the file's data through to the disk (Windows: FlushFileBuffers);
// nothing on POSIX, where os_sync_below does it for all files at once.
bool os_file_flush(os_file file);

// --- Locks of live runs, and what killed runs left -----------------------------

// Creates the lock file `path`, which must be new, and holds it locked until
// os_run_lock_release or the end of the process, however it ends. Never
// inherited by the child. OS_INVALID_FILE when it cannot be made.
os_file os_run_lock_create(const os_char* path);
// Takes the lock file `path` of a run that has ended, without waiting.
// OS_INVALID_FILE while a live run holds it, or when `path` is not a plain
// file (POSIX: of the current user).
os_file os_run_lock_take(const os_char* path);
// Lets a lock go; with `remove`, deletes its file first.
void os_run_lock_release(os_file lock, const os_char* path, bool remove);
// True when `path` is a directory itself (not a link or junction), owned by
// the current user and closed to everybody else.
bool os_is_private_directory(const os_char* path);
// True when anything exists at `path` (not following a final link).
bool os_path_exists(const os_char* path);
// The names in a folder, one at a time, without "." and ".."; a name stays
// valid until the next call. Open gives null when the folder cannot be read.
typedef struct os_listing_state* os_listing;
os_listing os_listing_open(const os_char* folder);
const os_char* os_listing_next(os_listing listing);
void os_listing_close(os_listing listing);

// --- The main library ---------------------------------------------------------

// Loads the main library at `path`, searching its dependencies in its own
// directory, in `directory` and in the system's; null on failure. On Windows
// every later load of the process then searches `directory` and the
// system's alone (Linux: the libraries' own RUNPATH decides).
void* os_load_library(const os_char* directory, const os_char* path);
void* os_find_symbol(void* library, const char* name);
// After os_load_library failed with `error`: the name of a library that the
// one at `path`, or one it imports from `directory`, imports and that is in
// neither `directory` nor the system's, or null. Windows reads the import
// tables when the error is "module not found"; POSIX has null, since
// dlerror's text names the library. The name stays valid until the next call.
const os_char* os_missing_import(uint32_t error, const os_char* directory, const os_char* path);

// --- The child process ------------------------------------------------------

// Starts the own executable `module_path` as the child, inheriting the
// standard handles and the environment, and tied to the launcher: a child
// whose launcher is killed outright does not outlive it (Windows: a job
// object; POSIX: a parent-death signal). POSIX passes `argv` (its first
// element replaced by `module_path`); Windows passes `command_line`, built
// from the same arguments. False on failure (os_last_error tells why).
bool os_child_start(const os_char* module_path, os_char** argv, os_char* command_line);
// Main thread: waits for the child without a time limit, reads its exit code
// (1 when it cannot be read) and releases the child. `end_signal` receives
// the signal that ended the child, 0 when it exited (always 0 on Windows).
uint32_t os_child_wait(int* end_signal);
// Main thread: true while the child runs; never waits.
bool os_child_running(void);
// From any thread: passes `signal` on to the child while it runs (POSIX);
// nothing on Windows, where console events reach the child themselves.
void os_child_signal(int signal);
// From any thread: gives the child up to `timeout_ms` to end, then kills it.
// Does nothing when no child runs.
void os_child_stop(uint32_t timeout_ms);
// Ends the process by `signal` with its default action and without a core
// dump: the application's own core, if any, is the one that counts.
[[noreturn]] void os_end_by_signal(int signal);

// --- Interrupts ----------------------------------------------------------------

// One interrupt of the launcher: a console control event (Windows) or a
// terminating signal (POSIX).
struct os_interrupt {
    int signal;         // the signal, or the console event's code
    bool reached_child; // the system delivered it to the child as well
    bool terminal_key;  // Ctrl+C, Ctrl+Break or Ctrl+\ typed at the terminal
};
// Called on the interrupt thread for each interrupt. True: the launcher ends
// by it (POSIX: the interrupt thread ends it by the same signal; Windows: the
// handler thread waits, and the main thread ends it with os_end_by_signal at
// its next step); false: the interrupt is consumed and the launcher goes on.
typedef bool (*os_interrupt_handler)(const os_interrupt* event);
// Installs `handler`: a console control handler on Windows; on POSIX a
// thread that receives every terminating signal the launcher did not
// inherit as ignored. Signals ignored at start stay ignored, here and in the
// child.
bool os_watch_interrupts(os_interrupt_handler handler);

// --- Threads -------------------------------------------------------------------

// A thread that runs `routine(argument)`; the caller fills in both.
struct os_thread {
    void (*routine)(void* argument);
    void* argument;
    uintptr_t handle;
};
// Starts the thread; false when the system makes none.
bool os_thread_start(os_thread* thread);
// Waits until a started thread has returned.
void os_thread_join(os_thread* thread);

// The process's one lock, between the main thread and the interrupt thread.
void os_lock(void);
void os_unlock(void);
void os_sleep_ms(uint32_t milliseconds);

#ifndef _WIN32
// POSIX has no runtime-held argument vector: main hands it over.
void os_set_arguments(int argc, char** argv);
#endif
