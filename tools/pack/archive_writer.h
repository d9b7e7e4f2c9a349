// `talvor-pack create`: collects the input files, checks their names, and
// writes the attached data: "KAY", one zstd frame holding the archive, the
// fill and the trailing length.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pack {

// One input of the archive, as the command line gives it.
struct pack_input {
    enum kind_t {
        any,       // a positional INPUT: a file under its file name, a directory under its name (with a
                   // trailing separator: its contents at the root)
        file,      // --file SOURCE[=NAME]
        directory, // --dir SOURCE[=DEST]
    };
    kind_t kind = any;
    std::string source; // UTF-8 path
    std::string name;   // the stored name of a file, the prefix of a directory's files; empty: the default
    pack_input(const std::string& path) : source(path) {}
    pack_input(kind_t k, const std::string& path, const std::string& stored) : kind(k), source(path), name(stored) {}
};

struct create_options {
    std::string output;              // UTF-8 path
    std::string main_file;           // the first entry
    std::string main_name;           // its stored name; empty: its file name
    std::vector<pack_input> inputs;  // in command-line order
    std::vector<std::string> excludes; // patterns for the files found below directories
    std::string depfile;             // where to write the dependencies; empty: nowhere
    std::string depfile_target;      // the target the depfile names; empty: the output
    std::string cache_key;           // where to write the cache key; empty: nowhere
    int level = 19;
    int threads = 0;                 // zstd workers; 0 compresses on the calling thread
    bool progress = false;           // a progress line on standard error
    bool linux_only = false;         // allow names that Windows cannot hold
};

struct create_summary {
    uint64_t files = 0;
    uint64_t bytes_in = 0;  // the files' data
    uint64_t bytes_out = 0; // the size of the output
    double seconds = 0;
};

// Writes the attached data to options.output (and the dependency file). On
// failure returns false with the reason in *error, and leaves no output file
// behind.
bool create_attached_data(const create_options& options, std::string* error, create_summary* summary = nullptr);

// The smallest window log of at least 10 that covers `decoded_size`, at most
// 27: the launcher's decoder refuses larger windows and holds the whole
// window in memory.
unsigned window_log_for(unsigned long long decoded_size, int level);

// ": <the system's reason>" for the last failed call of the C library, or
// nothing when it left none in errno.
std::string reason_of_errno();

// A fresh name in the same directory as `output`, to write into and rename
// over it, so that a failure never leaves a partial file under its name.
std::filesystem::path temporary_beside(const std::filesystem::path& output);

} // namespace pack
