#include "archive_writer.h"

// ZSTD_getCParams: the parameters a level picks for a given input size.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <errno.h>
#include <stdio.h>
#include <system_error>

#include "attached/format.h"
#include "collect.h"
#include "depfile.h"
#include "names.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace pack {

namespace {

// Input files are read in pieces of this size, never whole.
const size_t read_piece_size = 1 << 20;

// Feeds the archive's bytes through one streaming zstd compression into the
// output file.
class frame_writer {
  public:
    frame_writer(std::ofstream* out, const fs::path& shown, bool progress)
        : out_(out), shown_path_(shown), progress_(progress), buffer_(ZSTD_CStreamOutSize()) {}
    ~frame_writer() { ZSTD_freeCCtx(context_); }

    bool start(const create_options& options, uint64_t decoded_size, std::string* error) {
        context_ = ZSTD_createCCtx();
        if (context_ == nullptr) {
            *error = "cannot create the zstd compression context";
            return false;
        }
        if (!set(ZSTD_c_compressionLevel, options.level, error) || !set(ZSTD_c_checksumFlag, 1, error) ||
            !set(ZSTD_c_windowLog, (int)window_log_for(decoded_size, options.level), error))
            return false;
        // A library built without threads refuses workers; it then
        // compresses on this thread, to the same frame format.
        if (options.threads > 0) ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, options.threads);
        // The content size goes into the frame header; zstd also checks that
        // exactly this many bytes arrive.
        size_t result = ZSTD_CCtx_setPledgedSrcSize(context_, decoded_size);
        if (ZSTD_isError(result)) {
            *error = std::string("zstd: ") + ZSTD_getErrorName(result);
            return false;
        }
        return true;
    }

    bool write(const void* data, size_t size, std::string* error) {
        ZSTD_inBuffer input{data, size, 0};
        while (input.pos < input.size) {
            if (!step(&input, ZSTD_e_continue, error)) return false;
        }
        bytes_in_ += size;
        show_progress(false);
        return true;
    }

    bool finish(std::string* error) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        for (;;) {
            size_t remaining;
            if (!step(&input, ZSTD_e_end, error, &remaining)) return false;
            if (remaining == 0) break;
        }
        show_progress(true);
        return true;
    }

    uint64_t frame_size() const { return bytes_out_; }

  private:
    bool set(ZSTD_cParameter parameter, int value, std::string* error) {
        size_t result = ZSTD_CCtx_setParameter(context_, parameter, value);
        if (ZSTD_isError(result)) {
            *error = std::string("zstd: ") + ZSTD_getErrorName(result);
            return false;
        }
        return true;
    }

    bool step(ZSTD_inBuffer* input, ZSTD_EndDirective mode, std::string* error, size_t* remaining = nullptr) {
        ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
        size_t result = ZSTD_compressStream2(context_, &output, input, mode);
        if (ZSTD_isError(result)) {
            *error = std::string("zstd: ") + ZSTD_getErrorName(result);
            return false;
        }
        errno = 0;
        out_->write(buffer_.data(), (std::streamsize)output.pos);
        if (!*out_) {
            *error = describe(shown_path_, "cannot write it" + reason_of_errno());
            return false;
        }
        bytes_out_ += output.pos;
        if (remaining != nullptr) *remaining = result;
        return true;
    }

    void show_progress(bool last) {
        if (!progress_) return;
        auto now = std::chrono::steady_clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(200)) return;
        shown_ = now;
        double ratio = bytes_in_ == 0 ? 0.0 : 100.0 * (double)bytes_out_ / (double)bytes_in_;
        fprintf(stderr, "\rtalvor-pack: read %llu bytes, wrote %llu bytes (%.1f%%)%s", (unsigned long long)bytes_in_,
                (unsigned long long)bytes_out_, ratio, last ? "\n" : "");
        fflush(stderr);
    }

    std::ofstream* out_;
    fs::path shown_path_; // the output's name in messages, not the temporary's
    bool progress_;
    std::vector<char> buffer_;
    ZSTD_CCtx* context_ = nullptr;
    uint64_t bytes_in_ = 0;
    uint64_t bytes_out_ = 0;
    std::chrono::steady_clock::time_point shown_{};
};

void put_u64(unsigned char* out, uint64_t value) {
    for (int i = 0; i < 8; i++) out[i] = (unsigned char)(value >> (8 * i));
}

bool write_entry(frame_writer* frame, const entry& e, std::vector<char>* piece, std::string* error) {
    std::string header;
    for (char16_t unit : e.name) {
        header.push_back((char)(unit & 0xFF));
        header.push_back((char)(unit >> 8));
    }
    header.append(2, '\0');
    unsigned char size[archive_size_field];
    put_u64(size, e.size);
    header.append((const char*)size, sizeof size);
    if (!frame->write(header.data(), header.size(), error)) return false;

    std::ifstream in(e.source, std::ios::binary);
    if (!in) {
        *error = describe(e.source, "cannot open it for reading");
        return false;
    }
    uint64_t remaining = e.size;
    while (remaining > 0) {
        size_t want = remaining < piece->size() ? (size_t)remaining : piece->size();
        in.read(piece->data(), (std::streamsize)want);
        if ((size_t)in.gcount() != want) {
            *error = describe(e.source, "the file became shorter while it was packed");
            return false;
        }
        if (!frame->write(piece->data(), want, error)) return false;
        remaining -= want;
    }
    if (in.peek() != std::char_traits<char>::eof()) {
        *error = describe(e.source, "the file grew while it was packed");
        return false;
    }
    return true;
}

bool write_attached_data(const create_options& options, const std::vector<entry>& entries, const fs::path& path,
                         const fs::path& output, std::string* error) {
    uint64_t decoded_size = 2; // the end marker
    for (const entry& e : entries) decoded_size += 2 * (e.name.size() + 1) + archive_size_field + e.size;

    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = describe(output, "cannot create it" + reason_of_errno());
        return false;
    }
    out.write((const char*)attached_magic, attached_magic_size);
    frame_writer frame(&out, output, options.progress);
    if (!frame.start(options, decoded_size, error)) return false;
    std::vector<char> piece(read_piece_size);
    for (const entry& e : entries) {
        if (!write_entry(&frame, e, &piece, error)) return false;
    }
    const char end_marker[2] = {0, 0};
    if (!frame.write(end_marker, 2, error) || !frame.finish(error)) return false;

    unsigned char tail[attached_fill_size + attached_trailer_size] = {0};
    put_u64(tail + attached_fill_size, attached_magic_size + frame.frame_size() + attached_fill_size);
    out.write((const char*)tail, sizeof tail);
    errno = 0;
    out.close();
    if (!out) {
        *error = describe(output, "cannot write it" + reason_of_errno());
        return false;
    }
    return true;
}

// The cache key (see attached/format.h): the digest of the attached data as
// written, and the manifest of every entry's name and size, the main library
// first. Written beside `path` and renamed over it, like the output.
bool write_cache_key(const fs::path& output, const std::vector<entry>& entries, const fs::path& path,
                     std::string* error) {
    std::ifstream in(output, std::ios::binary);
    sha256 digest;
    std::vector<char> piece(read_piece_size);
    while (in) {
        in.read(piece.data(), (std::streamsize)piece.size());
        digest.update(piece.data(), (size_t)in.gcount());
    }
    if (in.bad() || !in.eof()) {
        *error = describe(output, "cannot read it back");
        return false;
    }
    std::string key = digest.hex().substr(0, cache_digest_chars);
    key.push_back('\0');
    for (const entry& e : entries) {
        for (char16_t unit : e.name) {
            key.push_back((char)(unit & 0xFF));
            key.push_back((char)(unit >> 8));
        }
        key.append(2, '\0');
        for (int i = 0; i < 8; i++) key.push_back((char)((e.size >> (8 * i)) & 0xFF));
    }
    key.append(2, '\0');

    fs::path temporary = temporary_beside(path);
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(key.data(), (std::streamsize)key.size());
    out.close();
    std::error_code ec;
    if (!out) {
        *error = describe(path, "cannot write it" + reason_of_errno());
    } else {
        fs::rename(temporary, path, ec);
        if (!ec) return true;
        *error = describe(path, "cannot replace it: " + ec.message());
    }
    fs::remove(temporary, ec);
    return false;
}

} // namespace

// The system's reason for the last failed call of the C library, if it left one.
std::string reason_of_errno() {
    return errno != 0 ? ": " + std::generic_category().message(errno) : std::string();
}

fs::path temporary_beside(const fs::path& output) {
    std::random_device random;
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".tmp%08x", (unsigned)random());
    fs::path name = output.filename();
    name += suffix;
    return output.parent_path() / name;
}

// The launcher's decoder keeps the whole window in memory, so the window is
// no larger than the archive needs, nor than the level would pick for an
// input of this size (which keeps level 19 at 8 MiB for large archives), nor
// than the launcher accepts.
unsigned window_log_for(unsigned long long decoded_size, int level) {
    unsigned log = 10;
    while (log < archive_window_log_max && (1ULL << log) < decoded_size) log++;
    unsigned level_log = ZSTD_getCParams(level, decoded_size, 0).windowLog;
    return level_log < log ? level_log : log;
}

bool create_attached_data(const create_options& options, std::string* error, create_summary* summary) {
    auto started = std::chrono::steady_clock::now();
    std::vector<entry> entries;
    std::vector<fs::path> read;
    if (!collect_entries(options, &entries, &read, error)) return false;

    // Written beside the output and renamed over it, so that a failure
    // never leaves a partial file under the output's name.
    fs::path output = fs::u8path(options.output);
    fs::path temporary = temporary_beside(output);
    bool written = write_attached_data(options, entries, temporary, output, error);
    std::error_code ec;
    if (written) {
        fs::rename(temporary, output, ec);
        if (ec) *error = describe(output, "cannot replace it: " + ec.message());
    }
    if (!written || ec) {
        fs::remove(temporary, ec);
        return false;
    }
    if (!options.cache_key.empty() && !write_cache_key(output, entries, fs::u8path(options.cache_key), error))
        return false;
    if (!options.depfile.empty() && !write_depfile(options.depfile, options.depfile_target.empty() ? options.output : options.depfile_target, read, error)) return false;
    if (summary != nullptr) {
        summary->files = entries.size();
        summary->bytes_in = 0;
        for (const entry& e : entries) summary->bytes_in += e.size;
        summary->bytes_out = fs::file_size(output, ec);
        summary->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    return true;
}

} // namespace pack
