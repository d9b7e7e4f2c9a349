// `talvor-pack create`: collects the input files, checks their names, and
// writes the attached data: "KAY", one zstd frame holding the archive, the
// fill and the trailing length.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct create_options {
    std::string output;              // UTF-8 path
    std::string main_file;           // the first entry, stored under its file name
    std::vector<std::string> inputs; // files, or directories packed recursively
    int level = 19;
    int threads = 0;                 // zstd workers; 0 compresses on the calling thread
    bool progress = false;           // a progress line on standard error
};

// Writes the attached data to options.output. On failure returns false with
// the reason in *error, and leaves no output file behind.
bool create_attached_data(const create_options& options, std::string* error);

// The smallest window log of at least 10 that covers `decoded_size`, at most
// 27: the launcher's decoder refuses larger windows and holds the whole
// window in memory.
unsigned window_log_for(unsigned long long decoded_size, int level);

} // namespace pack
