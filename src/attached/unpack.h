// Walks the archive entry by entry. The parent writes every file below the
// target directory; the child stops at the first entry, the main library.
#pragma once

#include "os/os.h"
#include "paths/path_spec.h"

// The absolute target directory, set before unpacking begins. Read by the
// interrupt thread too, which it never changes for.
extern os_char target_directory[path_capacity];
// The first archive entry's full path: the main library.
extern os_char main_dll_path[path_capacity];

// Set by the main thread before unpacking: each file is written through to
// the disk before it is closed, where the system needs that per file.
extern bool durable_files;

// The full path below `directory` of an archive name of `count` UTF-16
// code units, as the unpacker names the file; an unsafe name cannot be
// decoded.
void entry_path_below(const os_char* directory, const char16_t* units, size_t count, os_char* out);
// Sets main_dll_path from an archive name of `count` UTF-16 code units, as
// the unpacker would; an unsafe name cannot be decoded.
void set_main_dll_path(const char16_t* units, size_t count);

// Reads the next entry. The parent writes it below the target directory,
// which it must have created itself (create_target_directory); the child
// only takes the first entry's path into main_dll_path. False once there is
// nothing more to do: after the end marker (parent) or the first entry
// (child).
bool unpack_next_entry(bool child_mode);
// Every entry, one after another.
void unpack_attached_data(bool child_mode);

// Closes the file being written, if any: a failing parent must be able to
// remove it.
void close_unpacked_file(void);

// Forgets the unpacker's and the directory cache's state, so that a test or
// a fuzzer can unpack several archives in one process.
void reset_unpack_state(void);
