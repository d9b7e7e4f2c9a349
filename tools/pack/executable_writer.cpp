#include "executable_writer.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "archive_writer.h"
#include "attached/prebuilt.h"
#include "names.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef TALVOR_PACK_VERSION
#define TALVOR_PACK_VERSION "unknown"
#endif

namespace fs = std::filesystem;

namespace pack {

namespace {

const unsigned char prebuilt_magic[prebuilt_magic_size] = {PREBUILT_MAGIC_BYTES};

const char* const launcher_names[] = {"windows-gui", "windows-console", "linux", "linux-console"};

fs::path own_executable() {
#ifdef _WIN32
    wchar_t buffer[32768];
    DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
    return length > 0 && length < 32768 ? fs::path(buffer) : fs::path();
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
#endif
}

void put_u64(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; i++) at[i] = (unsigned char)(value >> (8 * i));
}

// The target spec as the launcher reads it: UTF-16LE with backslashes for
// Windows, UTF-8 for Linux; each with its terminator.
bool spec_bytes(const std::string& spec, bool windows, std::vector<unsigned char>* out, std::string* error) {
    out->clear();
    if (!windows) {
        out->assign(spec.begin(), spec.end());
        out->push_back(0);
        return true;
    }
    std::u16string units;
    if (!utf8_to_utf16(spec, &units)) {
        *error = "the target directory \"" + spec + "\" is not valid UTF-8";
        return false;
    }
    units.push_back(0);
    for (char16_t unit : units) {
        if (unit == u'/') unit = u'\\';
        out->push_back((unsigned char)(unit & 0xFF));
        out->push_back((unsigned char)(unit >> 8));
    }
    return true;
}

void align(std::vector<unsigned char>* bytes, size_t to) {
    while (bytes->size() % to != 0) bytes->push_back(0);
}

} // namespace

bool read_file(const fs::path& path, std::vector<unsigned char>* bytes, std::string* error) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path.u8string() + ": cannot open it for reading" + reason_of_errno();
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = path.u8string() + ": cannot read it" + reason_of_errno();
        return false;
    }
    return true;
}

bool find_launcher(const std::string& name, std::string* path, std::string* error) {
    bool known = false;
    for (const char* candidate : launcher_names) known = known || name == candidate;
    if (!known) {
        *path = name;
        return true;
    }
    std::string file = name;
    if (name.compare(0, 8, "windows-") == 0) file += ".exe";
    fs::path self = own_executable();
    fs::path found = self.parent_path().parent_path() / "lib" / "talvor-onefile" / "launchers" / fs::u8path(file);
    std::error_code ec;
    if (self.empty() || !fs::is_regular_file(found, ec)) {
        *error = "no prebuilt launcher \"" + name + "\" at " + found.u8string() +
                 ": install Talvor Onefile whole, or give the launcher's path to --launcher";
        return false;
    }
    *path = found.u8string();
    return true;
}

bool spec_is_cached(const std::string& spec, bool* cached, std::string* error) {
    static const char* const known[] = {"TEMP", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR", "PID",
                                        "HOME", "CACHE_DIR", "RANDOM", "TIME_US", "TIME"};
    static const char* const per_start[] = {"PID", "TIME", "TIME_US", "RANDOM"};
    if (spec.empty()) {
        *error = "--target-directory needs a path spec";
        return false;
    }
    size_t last_separator = spec.find_last_of("/\\");
    bool per_start_in_parent = false, per_start_anywhere = false;
    for (size_t i = 0; i < spec.size(); i++) {
        if (spec[i] == '}') {
            *error = "--target-directory \"" + spec + "\": a '}' outside a placeholder";
            return false;
        }
        if (spec[i] != '{') continue;
        size_t close = spec.find_first_of("{}", i + 1);
        if (close == std::string::npos || spec[close] != '}') {
            *error = "--target-directory \"" + spec + "\": a '{' without its '}'";
            return false;
        }
        std::string name = spec.substr(i + 1, close - i - 1);
        for (char& c : name) c = (char)toupper((unsigned char)c);
        bool is_known = false, is_per_start = false;
        for (const char* k : known) is_known = is_known || name == k;
        for (const char* k : per_start) is_per_start = is_per_start || name == k;
        if (!is_known) {
            *error = "--target-directory \"" + spec + "\": unknown placeholder {" + spec.substr(i + 1, close - i - 1) +
                     "}; known are {TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM}, {PROGRAM_BASE}, {PROGRAM_DIR}, {PID}, "
                     "{TIME}, {TIME_US} and {RANDOM}";
            return false;
        }
        if (is_per_start) {
            per_start_anywhere = true;
            if (last_separator != std::string::npos && i < last_separator) per_start_in_parent = true;
        }
        i = close;
    }
    if (per_start_in_parent) {
        *error = "--target-directory \"" + spec +
                 "\" mixes the two kinds of target directory: a per-start placeholder outside the last component. "
                 "Either leave out {PID}, {TIME}, {TIME_US} and {RANDOM} (a cached directory, kept from start to "
                 "start), or put them in the last component only (a fresh directory for every start, removed at "
                 "the end)";
        return false;
    }
    *cached = !per_start_anywhere;
    return true;
}

void fill_descriptor(std::vector<unsigned char>* image, size_t descriptor_offset, int64_t distance,
                     const payload_layout& payload) {
    unsigned char* d = image->data() + descriptor_offset;
    for (int i = 0; i < 4; i++) d[prebuilt_state_offset + i] = (unsigned char)(prebuilt_completed >> (8 * i));
    unsigned char* fields = d + prebuilt_data_offset;
    put_u64(fields, (uint64_t)distance);
    put_u64(fields + 8, payload.data_size);
    put_u64(fields + 16, (uint64_t)(distance + (int64_t)payload.spec));
    put_u64(fields + 24, (uint64_t)(distance + (int64_t)payload.key));
    put_u64(fields + 32, (uint64_t)(distance + (int64_t)payload.bytes.size()));
}

bool write_executable(const executable_options& options, const std::vector<unsigned char>& cache_key,
                      std::string* error) {
    std::string launcher_path;
    if (!find_launcher(options.launcher, &launcher_path, error)) return false;
    fs::path launcher = fs::u8path(launcher_path);
    std::vector<unsigned char> image;
    if (!read_file(launcher, &image, error)) return false;
    bool pe = image.size() >= 2 && image[0] == 'M' && image[1] == 'Z';
    bool elf = image.size() >= 4 && memcmp(image.data(), "\x7f" "ELF", 4) == 0;

    // The descriptor: its magic occurs once, in the launcher's read-only data.
    auto found = std::search(image.begin(), image.end(), prebuilt_magic, prebuilt_magic + sizeof prebuilt_magic);
    if ((!pe && !elf) || found == image.end() ||
        std::search(found + 1, image.end(), prebuilt_magic, prebuilt_magic + sizeof prebuilt_magic) != image.end() ||
        (size_t)(image.end() - found) < prebuilt_descriptor_size) {
        *error = launcher.u8string() + ": not a prebuilt launcher of Talvor Onefile";
        return false;
    }
    size_t descriptor = (size_t)(found - image.begin());
    char version[prebuilt_version_size + 1] = {0};
    memcpy(version, &image[descriptor + sizeof prebuilt_magic], prebuilt_version_size);
    if (strcmp(version, TALVOR_PACK_VERSION) != 0) {
        *error = launcher.u8string() + ": a prebuilt launcher of version " + version + ", not of this talvor-pack's " +
                 TALVOR_PACK_VERSION;
        return false;
    }
    uint32_t state = 0;
    for (int i = 3; i >= 0; i--) state = (state << 8) | image[descriptor + prebuilt_state_offset + i];
    if (state != prebuilt_placeholder) {
        *error = launcher.u8string() + ": already completed into an application's executable; give the prebuilt "
                                       "launcher itself";
        return false;
    }

    payload_layout payload;
    if (!read_file(fs::u8path(options.attached), &payload.bytes, error)) return false;
    payload.data_size = payload.bytes.size();
    align(&payload.bytes, 8);
    payload.spec = payload.bytes.size();
    std::vector<unsigned char> spec;
    if (!spec_bytes(options.target_spec, pe, &spec, error)) return false;
    payload.bytes.insert(payload.bytes.end(), spec.begin(), spec.end());
    payload.key = payload.bytes.size();
    if (cache_key.empty())
        payload.bytes.push_back(0);
    else
        payload.bytes.insert(payload.bytes.end(), cache_key.begin(), cache_key.end());

    bool completed = pe ? complete_pe(&image, descriptor, payload, options, error)
                        : complete_elf(&image, descriptor, payload, error);
    if (!completed) {
        *error = launcher.u8string() + ": " + *error;
        return false;
    }

    fs::path output = fs::u8path(options.output);
    fs::path temporary = temporary_beside(output);
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write((const char*)image.data(), (std::streamsize)image.size());
    out.close();
    std::error_code ec;
    if (!out) {
        *error = output.u8string() + ": cannot write it" + reason_of_errno();
    } else {
        fs::permissions(temporary,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        ec);
        if (!ec) fs::rename(temporary, output, ec);
        if (!ec) return true;
        *error = output.u8string() + ": cannot replace it: " + ec.message();
    }
    fs::remove(temporary, ec);
    return false;
}

} // namespace pack
