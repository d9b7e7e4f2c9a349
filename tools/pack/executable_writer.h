// `talvor-pack create --launcher`: completes a prebuilt launcher into an
// application's executable (attached/prebuilt.h). The payload (the attached
// data, the target spec and the cache key) becomes read-only data of the
// image; the descriptor is filled in to point at it. Windows launchers also
// get their resources: the manifest, the icon and the version information.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pack {

// The Windows VERSIONINFO strings; empty ones are left out. A version is
// "a[.b[.c[.d]]]" with numbers up to 65535.
struct version_info {
    std::string product_name;
    std::string product_version;
    std::string file_version;   // empty: the product version
    std::string company;
    std::string description;
    std::string copyright;
    std::string original_filename; // empty: the output's file name
};

struct executable_options {
    std::string launcher;    // a prebuilt launcher's path, or its name (find_launcher)
    std::string output;      // the executable to write, UTF-8
    std::string attached;    // the attached data, as create_attached_data wrote it
    std::string target_spec; // empty: the launcher's default
    std::string icon;        // a .ico file; empty: the launcher's default icon
    std::string manifest;    // an application manifest; empty: the launcher's default
    version_info version;
};

// What a payload holds, laid out from its first byte: the attached data,
// the target spec in the launcher's character type with its terminator,
// and the cache key (a single zero byte when the directory is not cached).
struct payload_layout {
    std::vector<unsigned char> bytes;
    uint64_t data_size = 0;
    uint64_t spec = 0; // offsets from the payload's first byte
    uint64_t key = 0;
};

// Reads the whole file at `path`; false with *error naming it.
bool read_file(const std::filesystem::path& path, std::vector<unsigned char>* bytes, std::string* error);

// The launcher file for `name`: a path as it stands, or one of the names
// "windows-gui", "windows-console", "linux" and "linux-console", looked up
// in lib/talvor-onefile/launchers beside talvor-pack's own bin directory.
bool find_launcher(const std::string& name, std::string* path, std::string* error);

// Sets *cached when the target directory's path spec has no per-start
// placeholder; false with *error for a path spec that cannot be used (the
// rules of talvor_add_onefile's TARGET_DIRECTORY).
bool spec_is_cached(const std::string& spec, bool* cached, std::string* error);

// Writes options.output from the launcher and the payload. Refuses, with
// nothing written, a launcher that is not a prebuilt launcher of this
// version, is completed or signed already, or cannot take the payload.
bool write_executable(const executable_options& options, const std::vector<unsigned char>& cache_key,
                      std::string* error);

// Fills the descriptor at `descriptor_offset` of `image`: the payload lies
// `distance` bytes after the descriptor in memory.
void fill_descriptor(std::vector<unsigned char>* image, size_t descriptor_offset, int64_t distance,
                     const payload_layout& payload);

// The formats. Each adds the payload to `image` (the launcher's bytes,
// changed in place) and fills the descriptor; false with *error, the image
// then unusable, when this launcher cannot take it.
bool complete_pe(std::vector<unsigned char>* image, size_t descriptor_offset, const payload_layout& payload,
                 const executable_options& options, std::string* error);
bool complete_elf(std::vector<unsigned char>* image, size_t descriptor_offset, const payload_layout& payload,
                  std::string* error);

} // namespace pack
