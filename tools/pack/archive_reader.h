// `talvor-pack list`, `verify` and `extract`: find the attached data in a
// file (the data alone, or an executable that carries it) and walk its
// archive.
#pragma once

#include <stdint.h>

#include <string>

namespace pack {

enum class archive_action {
    list,    // print each entry's size and name, with the system's separator
    verify,  // decode everything and check the structure and the checksum
    extract, // write the entries below a directory
};

struct archive_summary {
    uint64_t entries = 0;
    uint64_t bytes = 0; // file data, without names and sizes
};

// Runs `action` over the attached data in the file at `path`, in memory
// bounded by the frame's window, whatever the file's size. `directory` is the
// target of extract, which replaces existing files only when `overwrite`.
// On failure returns false with the reason in *error.
bool run_archive_action(archive_action action, const std::string& path, const std::string& directory, bool overwrite,
                        archive_summary* summary, std::string* error);

} // namespace pack
