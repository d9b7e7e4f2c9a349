#include "archive_reader.h"

// ZSTD_getFrameHeader is in the static-linking part of the API; talvor-pack
// links zstd statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdio.h>
#include <string.h>

#include "attached/format.h"
#include "names.h"

namespace fs = std::filesystem;

namespace pack {

namespace {

const unsigned char zstd_magic[4] = {0x28, 0xB5, 0x2F, 0xFD};

uint64_t get_u64(const unsigned char* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) value = (value << 8) | in[i];
    return value;
}

bool has_signature(const std::vector<unsigned char>& file, size_t offset) {
    return offset + attached_magic_size + sizeof zstd_magic <= file.size() &&
           memcmp(file.data() + offset, attached_magic, attached_magic_size) == 0 &&
           memcmp(file.data() + offset + attached_magic_size, zstd_magic, sizeof zstd_magic) == 0;
}

// The frame that starts after the magic is whole and is followed by three
// zero bytes and the trailing length 6 + F: the data is what a producer wrote.
bool is_complete_attached_data(const std::vector<unsigned char>& file, size_t offset) {
    if (!has_signature(file, offset)) return false;
    const unsigned char* frame = file.data() + offset + attached_magic_size;
    size_t available = file.size() - offset - attached_magic_size;
    size_t frame_size = ZSTD_findFrameCompressedSize(frame, available);
    if (ZSTD_isError(frame_size) || available - frame_size < attached_fill_size + attached_trailer_size) return false;
    for (size_t i = 0; i < attached_fill_size; i++) {
        if (frame[frame_size + i] != 0) return false;
    }
    return get_u64(frame + frame_size + attached_fill_size) == attached_magic_size + frame_size + attached_fill_size;
}

bool read_file(const std::string& path, std::vector<unsigned char>* data, std::string* error) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        *error = "'" + path + "': cannot open it for reading";
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "'" + path + "': cannot read it";
        return false;
    }
    return true;
}

// Decodes the frame on demand, like the launcher's reader, but stops at the
// frame's end instead of reading on into the fill.
class frame_reader {
  public:
    frame_reader(const unsigned char* frame, size_t available) : input_{frame, available, 0}, buffer_(ZSTD_DStreamOutSize()) {
        context_ = ZSTD_createDCtx();
        // The launcher's decoder accepts windows up to log 27 and no more.
        ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, (int)archive_window_log_max);
    }
    ~frame_reader() { ZSTD_freeDCtx(context_); }

    bool read(void* destination, size_t count, std::string* error) {
        unsigned char* out = (unsigned char*)destination;
        while (count > 0) {
            if (held_ == taken_ && !refill(error)) return false;
            if (held_ == taken_) {
                *error = "the archive goes on past the end of the frame: the end marker is missing";
                return false;
            }
            size_t take = held_ - taken_ < count ? held_ - taken_ : count;
            memcpy(out, buffer_.data() + taken_, take);
            taken_ += take;
            out += take;
            count -= take;
        }
        return true;
    }

    // After the end marker: the frame must end there, checksum included.
    bool finish(std::string* error) {
        while (!ended_) {
            if (held_ != taken_) break;
            if (!refill(error)) return false;
        }
        if (held_ != taken_) {
            *error = "the frame holds data after the end marker";
            return false;
        }
        return true;
    }

    size_t frame_size() const { return input_.pos; }

  private:
    // Decodes the next piece. False on a decoding error; holds nothing new
    // when the frame has ended.
    bool refill(std::string* error) {
        held_ = taken_ = 0;
        while (!ended_ && held_ == 0) {
            if (input_.pos == input_.size) {
                *error = "the frame is cut short";
                return false;
            }
            ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
            size_t result = ZSTD_decompressStream(context_, &output, &input_);
            if (ZSTD_isError(result)) {
                *error = std::string("the frame does not decode: ") + ZSTD_getErrorName(result);
                return false;
            }
            held_ = output.pos;
            ended_ = result == 0;
        }
        return true;
    }

    ZSTD_DCtx* context_;
    ZSTD_inBuffer input_;
    std::vector<unsigned char> buffer_;
    size_t held_ = 0;
    size_t taken_ = 0;
    bool ended_ = false;
};

// Makes the directories of `path` below `root`, refusing to pass through a
// symbolic link, so that nothing is written outside `root`.
bool prepare_entry_path(const fs::path& root, const fs::path& path, std::string* error) {
    fs::path relative = path.lexically_relative(root);
    fs::path current = root;
    std::error_code ec;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        current /= *it;
        fs::file_status status = fs::symlink_status(current, ec);
        bool last = std::next(it) == relative.end();
        if (fs::is_symlink(status)) {
            if (!last) {
                *error = "'" + display(current) + "' is a symbolic link: it is not followed";
                return false;
            }
            // The link itself is replaced by the file, never its target.
            fs::remove(current, ec);
        } else if (last) {
            if (fs::is_directory(status)) {
                *error = "'" + display(current) + "' is a directory";
                return false;
            }
        } else if (!fs::exists(status)) {
            if (!fs::create_directory(current, ec)) {
                *error = "'" + display(current) + "': cannot create the directory: " + ec.message();
                return false;
            }
        } else if (!fs::is_directory(status)) {
            *error = "'" + display(current) + "' is not a directory";
            return false;
        }
    }
    return true;
}

bool walk_archive(archive_action action, frame_reader* reader, const fs::path& directory, archive_summary* summary,
                  std::string* error) {
    std::set<std::u16string> folded_names;
    std::vector<char> piece(1 << 16);
    for (;;) {
        std::u16string name;
        for (;;) {
            unsigned char unit[2];
            if (!reader->read(unit, 2, error)) return false;
            char16_t value = (char16_t)(unit[0] | (unit[1] << 8));
            if (value == 0) break;
            name.push_back(value);
            if (name.size() > archive_name_max_units) {
                *error = "entry " + std::to_string(summary->entries + 1) + ": the name is longer than 1023 UTF-16 code units";
                return false;
            }
        }
        if (name.empty()) {
            if (summary->entries == 0) {
                *error = "the archive holds no entries";
                return false;
            }
            return reader->finish(error);
        }
        std::string shown = utf16_to_utf8(name);
        std::string rule = name_rule_broken(name);
        if (rule.empty() && !folded_names.insert(fold_case(name)).second) rule = "another entry has this name, ignoring letter case";
        if (!rule.empty()) {
            *error = "entry '" + shown + "': " + rule;
            return false;
        }
        unsigned char size_bytes[archive_size_field];
        if (!reader->read(size_bytes, sizeof size_bytes, error)) return false;
        uint64_t size = get_u64(size_bytes);
        if (action == archive_action::list) printf("%12llu  %s\n", (unsigned long long)size, shown.c_str());

        std::ofstream out;
        fs::path path;
        if (action == archive_action::extract) {
            path = path_of_archive_name(directory, name);
            if (!prepare_entry_path(directory, path, error)) return false;
            out.open(path, std::ios::binary | std::ios::trunc);
            if (!out) {
                *error = "'" + display(path) + "': cannot open it for writing";
                return false;
            }
        }
        for (uint64_t remaining = size; remaining > 0;) {
            size_t want = remaining < piece.size() ? (size_t)remaining : piece.size();
            if (!reader->read(piece.data(), want, error)) {
                *error = "entry '" + shown + "': " + *error;
                return false;
            }
            if (out.is_open()) out.write(piece.data(), (std::streamsize)want);
            remaining -= want;
        }
        if (out.is_open()) {
            out.close();
            if (!out) {
                *error = "'" + display(path) + "': cannot write it";
                return false;
            }
        }
        summary->entries++;
        summary->bytes += size;
    }
}

} // namespace

bool locate_attached_data(const std::vector<unsigned char>& file, size_t* offset) {
    // Data at the end of the file tells its own start.
    if (file.size() >= attached_trailer_size) {
        uint64_t preceding = get_u64(file.data() + file.size() - attached_trailer_size);
        if (preceding <= file.size() - attached_trailer_size) {
            size_t start = file.size() - attached_trailer_size - (size_t)preceding;
            if (is_complete_attached_data(file, start)) {
                *offset = start;
                return true;
            }
        }
    }
    // In a linked executable the data lies inside the read-only data: try
    // each signature, preferring one that a producer wrote whole.
    size_t first = SIZE_MAX;
    for (size_t at = 0; at + attached_magic_size + sizeof zstd_magic <= file.size(); at++) {
        const void* found = memchr(file.data() + at, attached_magic[0], file.size() - at);
        if (found == nullptr) break;
        at = (size_t)((const unsigned char*)found - file.data());
        if (!has_signature(file, at)) continue;
        if (is_complete_attached_data(file, at)) {
            *offset = at;
            return true;
        }
        if (first == SIZE_MAX) first = at;
    }
    // A damaged frame still deserves to be decoded, so that verify can tell
    // what is wrong with it.
    if (first == SIZE_MAX) return false;
    *offset = first;
    return true;
}

bool run_archive_action(archive_action action, const std::string& path, const std::string& directory,
                        archive_summary* summary, std::string* error) {
    std::vector<unsigned char> file;
    if (!read_file(path, &file, error)) return false;
    size_t offset;
    if (!locate_attached_data(file, &offset)) {
        *error = "'" + path + "': no attached data found (no \"KAY\" followed by a zstd frame)";
        return false;
    }
    const unsigned char* frame = file.data() + offset + attached_magic_size;
    size_t available = file.size() - offset - attached_magic_size;
    if (action == archive_action::verify) {
        ZSTD_frameHeader header;
        size_t result = ZSTD_getFrameHeader(&header, frame, available);
        if (ZSTD_isError(result) || result != 0) {
            *error = "the frame header is damaged";
            return false;
        }
        if (header.dictID != 0) {
            *error = "the frame names a dictionary";
            return false;
        }
        if (!header.checksumFlag) {
            *error = "the frame carries no content checksum";
            return false;
        }
    }

    fs::path target = fs::u8path(directory);
    if (action == archive_action::extract) {
        std::error_code ec;
        fs::create_directories(target, ec);
        if (!fs::is_directory(target)) {
            *error = "'" + directory + "': cannot create the directory";
            return false;
        }
    }
    frame_reader reader(frame, available);
    if (!walk_archive(action, &reader, target, summary, error)) return false;

    if (action == archive_action::verify) {
        const unsigned char* tail = frame + reader.frame_size();
        size_t tail_size = available - reader.frame_size();
        uint64_t expected = attached_magic_size + reader.frame_size() + attached_fill_size;
        if (tail_size < attached_fill_size + attached_trailer_size || tail[0] != 0 || tail[1] != 0 || tail[2] != 0 ||
            get_u64(tail + attached_fill_size) != expected) {
            *error = "the frame is not followed by three zero bytes and the trailing length " + std::to_string(expected);
            return false;
        }
    }
    return true;
}

} // namespace pack
