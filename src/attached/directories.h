// Creation of the directories that hold unpacked files, with a cache of the
// directories known to exist.
#pragma once

#include "os/os.h"

static const size_t known_directories_max = 1024;

// True when `path` exists now (created, already there, or known).
bool create_directory(const os_char* path);
// Makes sure `path` and its missing ancestors exist; failures show up when a
// file below is opened.
void create_directory_tree(const os_char* path);
// Creates the target directory and its missing ancestors; true when this
// process created the target directory itself.
bool create_target_directory(void);
// True once this process has created the target directory itself. A target
// directory that already existed is never written into: somebody else may
// own it.
bool target_directory_created(void);

void reset_known_directories(void);
