// Failure reporting. Every routine here ends the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "os/os.h"

// `message` on standard output with puts, then exit(2).
[[noreturn]] void fatal_error(const char* message);
// `message`, the error code and the system's text for it on standard error,
// then exit(2). The text's inserts ("%1", Windows' place for a file name)
// take `subject`, the file that the failed call was about; without one they
// are left out with the word that leads to them ("Bad EXE format for %1."
// becomes "Bad EXE format."). A code of 0 stands for a failure that the
// system describes by text alone (dlerror): the line then shows no number.
// `missing`, when given, names a library found missing, after the text.
[[noreturn]] void fatal_error_with_code(const char* message, uint32_t code, const os_char* subject = nullptr,
                                        const os_char* missing = nullptr);
// Settles the inserts of a system text in place for fatal_error_with_code.
// With `keep_one`, the first is cut out and its position returned, for the
// subject to go there; every other is dropped. SIZE_MAX: no place is kept.
size_t settle_inserts(char* text, bool keep_one);
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
