// Expansion of path specs: templates with placeholders in braces such as
// "{TEMP}". Values that change from run to run are remembered in the
// environment so that a child process expands a spec to the same path as its
// parent.
#pragma once

#include <stdint.h>

#include "os/os.h"

// Room for an expanded path, terminator included.
static const size_t path_capacity = 4096;

// Expands `spec` into `out` (capacity in characters, terminator included).
// False for an unknown placeholder, a literal that does not fit, or a folder
// the system cannot name; the process ends through abort() for a value that
// does not fit, a missing program name or a non-numeric parent id.
bool expand_path_spec(os_char* out, const os_char* spec, size_t capacity);

// The pure parts of the volatile placeholders, exposed for tests.
// 11 URL-safe base64 characters of 8 xorshift32 bytes from `seed`.
void random_text_from_seed(uint32_t seed, os_char out[12]);
// The microsecond within the second of a FILETIME count.
long microsecond_of_time(int64_t filetime);
