// Helpers shared by the unit tests: scratch folders, the temporary folder
// setting of each platform, and starting a second process.
#pragma once

#include <string>

#include "os/os.h"

typedef std::basic_string<os_char> os_string;

// A fresh, empty directory for one test, below the build's temp folder.
os_string make_scratch_directory(const char* name);
os_string join_path(const os_string& directory, const os_string& name);
// Points the platform's temporary folder variable (TMP or TMPDIR) at `path`.
void set_temp_folder(const os_string& path);
bool path_exists(const os_string& path);
void remove_directory_tree(const os_string& path);

// Starts `program` with one argument, `argument`; returns its process id.
uint32_t start_process(const os_string& program, const os_string& argument);
void stop_process(uint32_t pid);
// A program that sleeps when given "30" as its argument, other than this one.
os_string other_sleeping_program(void);
// The path of the running test executable.
os_string own_executable(void);
