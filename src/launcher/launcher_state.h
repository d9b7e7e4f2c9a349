// Process-wide state of the launcher that several of its parts share.
// Written by the main thread before the interrupt handler is installed.
#pragma once

#include <stdint.h>

#include "os/os.h"

// The runtime's argument vector, read at entry.
extern int launcher_argc;
extern os_char** launcher_argv;
// The console launcher's one difference: Ctrl+C and Ctrl+Break (Windows),
// and SIGINT and SIGQUIT from the terminal (POSIX), reach the application
// too, which shares the launcher's console; while it runs they are left to
// it and the launcher keeps waiting. Set by the console entry before
// launcher_main; false in the default launcher.
extern bool interrupts_left_to_application;
