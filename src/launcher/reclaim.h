// The lock that marks a live run, and the reclaiming of the target
// directories that runs killed outright left in the temporary folder.
#pragma once

#include "os/os.h"

// Parent mode, just before the target directory is created: creates and
// holds the lock file beside it (the target directory's path and ".lock").
// A run whose lock file cannot be made goes on unmarked; its directory is
// then never reclaimed. Only a target directory named by the default scheme
// is marked.
void mark_live_run(void);
// Lets the lock go; with `directory_gone`, removes its file as well. A
// directory that could not be removed keeps its lock file, so that a later
// run reclaims it. Safe to call from two threads; the first call counts.
void unmark_live_run(bool directory_gone);
// Parent mode, while the child runs (and a cached later start, before the
// application): removes, from the folder of the target directory, up to a
// fixed number of target directories whose runs have ended without removing
// them; stops early when the child has ended. In a cached application's
// folder those are staging directories whose start has ended, and versions
// that no live run holds and that no start has used for seven days.
void reclaim_dead_runs(void);

// True when the first `length` characters of `name` are a target directory
// name as the launcher makes it: "onefile_", the process id in 1 to 10
// digits, "_", six digits, "_" and eleven characters of URL-safe base64.
bool is_target_directory_name(const os_char* name, size_t length);

// A cached version's directory: 16 lower-case hexadecimal digits, and
// "-<uid>" where the folder is shared by all users.
bool is_version_name(const os_char* name, size_t length);
// A cached start's staging directory: a version's name, "-", the process id
// in 1 to 10 digits, "-", the time in 1 to 16 hexadecimal digits, and
// ".partial".
bool is_staging_name(const os_char* name, size_t length);
