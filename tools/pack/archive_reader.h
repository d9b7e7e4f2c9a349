// `talvor-pack list`, `verify` and `extract`: find the attached data in a
// file (the data alone, or an executable that carries it) and walk its
// archive.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace pack {

enum class archive_action {
    list,    // print each entry's size and name
    verify,  // decode everything and check the structure and the checksum
    extract, // write the entries below a directory
};

struct archive_summary {
    uint64_t entries = 0;
    uint64_t bytes = 0; // file data, without names and sizes
};

// Where the attached data starts in `file`: at the offset that the trailing
// length gives when the data ends the file, else at the first "KAY" + zstd
// magic whose frame is followed by a matching fill and trailing length, else
// at the first such signature at all. Returns false when there is none.
bool locate_attached_data(const std::vector<unsigned char>& file, size_t* offset);

// Runs `action` over the attached data in the file at `path`. `directory` is
// the target of extract. On failure returns false with the reason in *error.
bool run_archive_action(archive_action action, const std::string& path, const std::string& directory,
                        archive_summary* summary, std::string* error);

} // namespace pack
