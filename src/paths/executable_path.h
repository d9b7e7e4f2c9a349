// The launcher's own executable path, in the form the system reports it
// (plain) and in a canonical form that does not depend on how the process was
// started (resolved: links followed, directories in short form).
#pragma once

#include "os/os.h"

// Capacity of both caches: 4096 characters and the terminator.
static const size_t executable_path_capacity = 4097;

// Computed on first use and then fixed for the life of the process.
const os_char* get_executable_path(bool resolve);
