// Process-wide state of the launcher that several subsystems share. Written
// by the main thread; the console control handler (or signal thread) reads
// only target_directory, and only after it is final.
#pragma once

#include "os/os.h"

static const size_t path_capacity = 4096;

// The absolute target directory, filled once by launcher_main.
extern os_char target_directory[path_capacity];
// The first archive entry's full path: the main library.
extern os_char main_dll_path[path_capacity];
// The runtime's argument vector, read at entry.
extern int launcher_argc;
extern os_char** launcher_argv;
