// Launch control: the main routine, the run-mode decision, the child launch,
// the main library host, interrupts and the clean-up.
#pragma once

#include <stdint.h>

#include "os/os.h"

enum run_mode { RUN_MODE_PARENT, RUN_MODE_CHILD };

// The whole life of a launcher process. Takes the four WinMain-style values
// (unused: the arguments come from the runtime) and returns the exit code.
int launcher_main(void* instance, void* previous_instance, os_char* command_line, int show_command);

// Child mode when TALVOR_ONEFILE_PARENT names a live process of this same
// executable.
run_mode detect_run_mode(void);

// Parent mode: installs the interrupt handler, creates the target directory
// and unpacks every entry into it, stopping when an interrupt comes.
void unpack_as_parent(void);

// Parent mode, after unpacking: starts the child, waits, cleans up and returns
// the child's exit code.
uint32_t launch_child(void);

// Sets TALVOR_ONEFILE_DIRECTORY and TALVOR_ORIGINAL_ARGV0 for the application.
void set_application_environment(void);

// A cached target directory (cached_mode.cpp).
// True when the executable keeps its target directory from start to start.
bool cached_mode(void);
// In cached mode, appends the digest component to the expanded spec in
// target_directory.
void append_cache_digest(void);
// Cached mode: main_dll_path from the cache key, without decoding anything.
void find_cached_main_library(void);
// Child mode of a cached executable: opens and checks the published
// directory, holds its version, and finds the main library in it.
void find_cached_directory(void);
// Parent mode of a cached executable: unpacks and publishes the directory
// on the first start, checks it, and runs the application.
int run_cached(void);

// Child mode: loads the main library and returns what its run_code returns.
int host_main_dll(void);

// Parent mode: installs the interrupt handler, and the clean-up that a
// failing parent runs before it ends.
bool watch_interrupts(void);
// The main thread's steps that an interrupt must not race; each waits for
// the end of the process instead when an interrupt was taken.
void claim_target_directory(void);
bool start_child(const os_char* module_path, os_char** argv, os_char* command_line);
// Renames the target directory (a cached one's staging directory) to
// `final_path` and, once renamed, no longer removes it.
os_rename_result publish_target_directory(const os_char* final_path);
void stop_if_interrupted(void);
// The same, after waiting up to 250 ms for an interrupt that may be on its
// way.
void stop_if_interrupt_pending(void);

// Ends the child (given 5 s) and removes the target directory.
void cleanup_child(void);
// Removes the target directory if this launcher created it.
void remove_target_directory(void);

// The own module path, filled once; the child's program and first argument.
extern os_char own_module_path[4096];
void fill_own_module_path(void);
