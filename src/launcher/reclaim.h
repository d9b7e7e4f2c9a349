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
// Parent mode, while the child runs: removes, from the temporary folder, up
// to a fixed number of target directories whose runs have ended without
// removing them; stops early when the child has ended.
void reclaim_dead_runs(void);

// True when the first `length` characters of `name` are a target directory
// name as the launcher makes it: "onefile_", the process id in 1 to 10
// digits, "_", six digits, "_" and eleven characters of URL-safe base64.
bool is_target_directory_name(const os_char* name, size_t length);
