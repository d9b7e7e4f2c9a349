#include "archive_reader.h"

// ZSTD_getFrameHeader is in the static-linking part of the API; talvor-pack
// links zstd statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>
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

// The input file, read at explicit offsets.
struct source_file {
    std::ifstream in;
    uint64_t size = 0;

    bool read_at(uint64_t offset, void* out, size_t count) {
        if (offset > size || size - offset < count) return false;
        in.clear();
        in.seekg((std::streamoff)offset);
        in.read((char*)out, (std::streamsize)count);
        return (size_t)in.gcount() == count;
    }
};

bool has_signature(source_file* file, uint64_t offset) {
    unsigned char head[attached_magic_size + sizeof zstd_magic];
    return file->read_at(offset, head, sizeof head) && memcmp(head, attached_magic, attached_magic_size) == 0 &&
           memcmp(head + attached_magic_size, zstd_magic, sizeof zstd_magic) == 0;
}

// The size of the zstd frame at `offset`, found by stepping over its block
// headers (3 bytes each: last-block flag, type, size) without decoding.
bool frame_size_at(source_file* file, uint64_t offset, uint64_t* frame_size) {
    unsigned char header[ZSTD_FRAMEHEADERSIZE_MAX];
    size_t available = file->size - offset < sizeof header ? (size_t)(file->size - offset) : sizeof header;
    ZSTD_frameHeader frame;
    if (!file->read_at(offset, header, available) || ZSTD_getFrameHeader(&frame, header, available) != 0 ||
        frame.frameType != ZSTD_frame)
        return false;
    uint64_t at = offset + frame.headerSize;
    for (;;) {
        unsigned char block[3];
        if (!file->read_at(at, block, sizeof block)) return false;
        uint32_t value = block[0] | (block[1] << 8) | ((uint32_t)block[2] << 16);
        uint32_t type = (value >> 1) & 3, size = value >> 3;
        if (type == 3) return false; // reserved
        at += sizeof block + (type == 1 ? 1 : size); // an RLE block stores its one byte
        if (at > file->size) return false;
        if (value & 1) break;
    }
    if (frame.checksumFlag) at += 4;
    if (at > file->size) return false;
    *frame_size = at - offset;
    return true;
}

// The frame that starts after the magic is whole and is followed by three
// zero bytes and the trailing length 6 + F: the data is what a producer wrote.
bool is_complete_attached_data(source_file* file, uint64_t offset) {
    uint64_t frame_size;
    if (!has_signature(file, offset) || !frame_size_at(file, offset + attached_magic_size, &frame_size)) return false;
    unsigned char tail[attached_fill_size + attached_trailer_size];
    if (!file->read_at(offset + attached_magic_size + frame_size, tail, sizeof tail)) return false;
    for (size_t i = 0; i < attached_fill_size; i++) {
        if (tail[i] != 0) return false;
    }
    return get_u64(tail + attached_fill_size) == attached_magic_size + frame_size + attached_fill_size;
}

bool locate_in(source_file* file, uint64_t* offset) {
    // Data at the end of the file tells its own start.
    unsigned char trailer[attached_trailer_size];
    if (file->size >= sizeof trailer && file->read_at(file->size - sizeof trailer, trailer, sizeof trailer)) {
        uint64_t preceding = get_u64(trailer);
        if (preceding <= file->size - attached_trailer_size) {
            uint64_t start = file->size - attached_trailer_size - preceding;
            if (is_complete_attached_data(file, start)) {
                *offset = start;
                return true;
            }
        }
    }
    // In a linked executable the data lies inside the read-only data: try
    // each signature, preferring one that a producer wrote whole. Pieces
    // overlap by a signature's length less one, so none is missed at a seam.
    const size_t signature = attached_magic_size + sizeof zstd_magic;
    std::vector<unsigned char> piece(1 << 20);
    uint64_t first = UINT64_MAX;
    for (uint64_t base = 0; base + signature <= file->size; base += piece.size() - (signature - 1)) {
        size_t count = file->size - base < piece.size() ? (size_t)(file->size - base) : piece.size();
        if (!file->read_at(base, piece.data(), count)) return false;
        for (size_t at = 0; at + signature <= count; at++) {
            const void* found = memchr(piece.data() + at, attached_magic[0], count - at);
            if (found == nullptr) break;
            at = (size_t)((const unsigned char*)found - piece.data());
            if (at + signature > count || memcmp(piece.data() + at, attached_magic, attached_magic_size) != 0 ||
                memcmp(piece.data() + at + attached_magic_size, zstd_magic, sizeof zstd_magic) != 0)
                continue;
            if (is_complete_attached_data(file, base + at)) {
                *offset = base + at;
                return true;
            }
            if (first == UINT64_MAX) first = base + at;
        }
        if (base + count >= file->size) break;
    }
    // A damaged frame still deserves to be decoded, so that verify can tell
    // what is wrong with it.
    if (first == UINT64_MAX) return false;
    *offset = first;
    return true;
}

// Decodes the frame on demand from file reads, like the launcher's reader,
// but stops at the frame's end instead of reading on into the fill. Holds
// one input piece, one output piece and the decoder's window.
class frame_reader {
  public:
    frame_reader(source_file* file, uint64_t start)
        : file_(file), next_(start), input_buffer_(ZSTD_DStreamInSize()), buffer_(ZSTD_DStreamOutSize()) {
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

    // The bytes of the frame that the decoder took.
    uint64_t frame_size() const { return consumed_ + input_.pos; }

  private:
    // Decodes the next piece. False on a decoding error; holds nothing new
    // when the frame has ended.
    bool refill(std::string* error) {
        held_ = taken_ = 0;
        while (!ended_ && held_ == 0) {
            if (input_.pos == input_.size) {
                consumed_ += input_.size;
                size_t want = input_buffer_.size();
                if (file_->size - next_ < want) want = (size_t)(file_->size - next_);
                if (want == 0 || !file_->read_at(next_, input_buffer_.data(), want)) {
                    *error = want == 0 ? "the frame is cut short" : "cannot read the file";
                    return false;
                }
                next_ += want;
                input_ = ZSTD_inBuffer{input_buffer_.data(), want, 0};
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

    source_file* file_;
    uint64_t next_;         // the file offset of the next input piece
    uint64_t consumed_ = 0; // input bytes of the pieces before the current one
    std::vector<unsigned char> input_buffer_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
    ZSTD_DCtx* context_;
    std::vector<unsigned char> buffer_;
    size_t held_ = 0;
    size_t taken_ = 0;
    bool ended_ = false;
};

// Makes the directories of `path` below `root`, refusing to pass through a
// symbolic link, so that nothing is written outside `root`. An existing file
// (or link) at `path` is replaced only when `overwrite`.
bool prepare_entry_path(const fs::path& root, const fs::path& path, bool overwrite, std::string* error) {
    fs::path relative = path.lexically_relative(root);
    fs::path current = root;
    std::error_code ec;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        current /= *it;
        fs::file_status status = fs::symlink_status(current, ec);
        bool last = std::next(it) == relative.end();
        if (last && fs::exists(status) && !fs::is_directory(status) && !overwrite) {
            *error = "'" + display(current) + "' exists already (--force replaces it)";
            return false;
        }
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

bool walk_archive(archive_action action, frame_reader* reader, const fs::path& directory, bool overwrite,
                  archive_summary* summary, std::string* error) {
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
        if (action == archive_action::list) {
#ifndef _WIN32
            // Stored names keep the backslash; a Linux user reads paths with '/'.
            std::string listed = shown;
            for (char& c : listed) {
                if (c == '\\') c = '/';
            }
#else
            const std::string& listed = shown;
#endif
            printf("%12llu  %s\n", (unsigned long long)size, listed.c_str());
        }

        std::ofstream out;
        fs::path path;
        if (action == archive_action::extract) {
            path = path_of_archive_name(directory, name);
            if (!prepare_entry_path(directory, path, overwrite, error)) return false;
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

bool run_archive_action(archive_action action, const std::string& path, const std::string& directory, bool overwrite,
                        archive_summary* summary, std::string* error) {
    source_file file;
    std::error_code ec;
    file.size = fs::file_size(fs::u8path(path), ec);
    if (!ec) file.in.open(fs::u8path(path), std::ios::binary);
    if (ec || !file.in) {
        *error = "'" + path + "': cannot open it for reading" + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    uint64_t offset;
    if (!locate_in(&file, &offset)) {
        *error = "'" + path + "': no attached data found (no \"KAY\" followed by a zstd frame)";
        return false;
    }
    uint64_t frame = offset + attached_magic_size;
    if (action == archive_action::verify) {
        unsigned char header_bytes[ZSTD_FRAMEHEADERSIZE_MAX];
        size_t available = file.size - frame < sizeof header_bytes ? (size_t)(file.size - frame) : sizeof header_bytes;
        ZSTD_frameHeader header;
        size_t result = file.read_at(frame, header_bytes, available) ? ZSTD_getFrameHeader(&header, header_bytes, available)
                                                                     : 1;
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
        fs::create_directories(target, ec);
        if (!fs::is_directory(target)) {
            *error = "'" + directory + "': cannot create the directory" + (ec ? ": " + ec.message() : std::string());
            return false;
        }
    }
    frame_reader reader(&file, frame);
    if (!walk_archive(action, &reader, target, overwrite, summary, error)) return false;

    if (action == archive_action::verify) {
        unsigned char tail[attached_fill_size + attached_trailer_size];
        uint64_t expected = attached_magic_size + reader.frame_size() + attached_fill_size;
        if (!file.read_at(frame + reader.frame_size(), tail, sizeof tail) || tail[0] != 0 || tail[1] != 0 ||
            tail[2] != 0 || get_u64(tail + attached_fill_size) != expected) {
            *error = "the frame is not followed by three zero bytes and the trailing length " + std::to_string(expected);
            return false;
        }
    }
    return true;
}

} // namespace pack
