// Failure reporting. Every routine here ends the process.
#pragma once

#include <stdint.h>

#include "os/os.h"

// `message` on standard output with puts, then exit(2).
[[noreturn]] void fatal_error(const char* message);
// `message`, the error code and the system's text for it on standard error,
// then exit(2).
[[noreturn]] void fatal_error_with_code(const char* message, uint32_t code);
// A path spec that could not be expanded: message on standard error, abort().
[[noreturn]] void fatal_spec_error(const os_char* spec);
// A file of the archive could not be created: message on standard error,
// exit(2).
[[noreturn]] void fatal_open_for_writing(const os_char* path);
// A cached target directory, or a directory above it, that somebody else
// could have planted or may change: message on standard error, exit(2).
[[noreturn]] void fatal_untrusted_directory(const os_char* path);
// An internal bound was exceeded: abort() without a message.
[[noreturn]] void fatal_bound(void);

// Runs on the failing thread before each of the above prints anything, so
// that the launcher can remove what it made; it may also not return at all.
// Null (the default) runs nothing.
extern void (*before_fatal_end)(void);
