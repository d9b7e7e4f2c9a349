// Walks the archive entry by entry. The parent writes every file below the
// target directory; the child stops at the first entry, the main library.
#pragma once

#include "os/os.h"

// Reads entries until the end marker (parent) or until the first entry's path
// is in main_dll_path (child).
void unpack_attached_data(bool child_mode);

// Set once the attached data is open; the clean-up removes the target
// directory only after that. Written by the main thread, read by the
// console control handler or signal thread.
bool unpack_has_started(void);
void mark_unpack_started(void);

// Forgets the unpacker's and the directory cache's state, so that a test or
// a fuzzer can unpack several archives in one process.
void reset_unpack_state(void);
