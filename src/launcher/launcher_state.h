// Process-wide state of the launcher that several subsystems share. Written
// by the main thread; the console control handler (or signal thread) reads
// only target_directory and interrupts_left_to_application, both final
// before it is registered.
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
// The console launcher's one difference: Ctrl+C and Ctrl+Break (Windows),
// and SIGINT and SIGQUIT from the terminal (POSIX), reach the application
// too, which shares the launcher's console; while it runs they are left to
// it and the launcher keeps waiting. Set by the console entry before
// launcher_main; false in the default launcher.
extern bool interrupts_left_to_application;
