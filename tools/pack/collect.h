// The files of an archive: found from the command line's inputs, named,
// checked and put in their order.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive_writer.h"

namespace pack {

struct entry {
    std::filesystem::path source;
    std::u16string name;
    uint64_t size;
};

// The main file first, then every other file sorted by its name's UTF-16
// code units, so that the same inputs always give the same bytes. A file
// given twice (the same file reached by two paths) is stored once, under its
// first name. *read gets every file read and every directory walked, for the
// dependency file. On failure returns false with the reason in *error.
bool collect_entries(const create_options& options, std::vector<entry>* entries,
                     std::vector<std::filesystem::path>* read, std::string* error);

// "'path': problem", the shape of every message about one file.
std::string describe(const std::filesystem::path& path, const std::string& problem);

} // namespace pack
