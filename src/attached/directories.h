// Creation of the directories that hold unpacked files, with a cache of the
// directories known to exist.
#pragma once

#include "os/os.h"

static const size_t known_directories_max = 1024;

// Adds the user's profile folder to the known directories, once; the first
// create_directory does it otherwise.
void seed_known_directories(void);
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

// The directory has been handed over under another name (a published cached
// directory): it is no longer this process's to remove.
void release_target_directory(void);
// Set before the target directory is created: the directories above it that
// the launcher creates are private to the user too (Windows; every
// directory the POSIX layer creates is).
extern bool private_parents;

void reset_known_directories(void);
