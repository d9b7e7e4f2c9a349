// The child's command line on Windows, where a process receives one text
// that its runtime splits into arguments again.
#pragma once

#include "os/os.h"

static const size_t command_line_capacity = 32768;

// Built once per parent process.
extern os_char child_command_line[command_line_capacity];

// Fills child_command_line with the arguments, separated by blanks.
void build_child_command_line(os_char** arguments, int count);
// Appends one argument, quoted when it needs to be.
void append_argument(const os_char* argument);
