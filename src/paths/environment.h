// Access to the process environment, which carries the run state from the
// parent launcher to its child. An unset variable and an empty one both read
// as null.
#pragma once

#include "os/os.h"

// Heap copy of the value, or null. The caller may free it.
os_char* get_env_var_wide(const os_char* name);
os_char* get_env_var(const char* name);
// Sets `name` to `value`; a null value removes the variable.
bool set_env_var(const char* name, const os_char* value);

#define ENV_PARENT "TALVOR_ONEFILE_PARENT"
#define ENV_START "TALVOR_ONEFILE_START"
#define ENV_TIME_US "TALVOR_ONEFILE_TIME_US"
#define ENV_RANDOM "TALVOR_ONEFILE_RANDOM"
#define ENV_DIRECTORY "TALVOR_ONEFILE_DIRECTORY"
#define ENV_ORIGINAL_ARGV0 "TALVOR_ORIGINAL_ARGV0"
