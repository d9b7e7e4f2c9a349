// Layout of the attached data, shared by the launcher's reader and by the
// talvor-pack producer.
//
//   "KAY"  zstd frame  fill (3 zero bytes)  trailing length (u64 LE, 6 + F)
//
// The frame decodes to the archive: entries of
//   name  UTF-16LE code units, then one 0x0000 unit (names are relative,
//         components separated by backslashes)
//   size  u64 little-endian
//   data  `size` bytes
// and an end marker: a single 0x0000 unit.
#pragma once

#include <stddef.h>
#include <stdint.h>

static const unsigned char attached_magic[3] = {0x4B, 0x41, 0x59}; // "KAY"
static const size_t attached_magic_size = 3;
static const size_t attached_fill_size = 3;
static const size_t attached_trailer_size = 8;

// A name has at most this many UTF-16 code units, terminator excluded.
static const size_t archive_name_max_units = 1023;
// Target directory, separator and name together, terminator excluded.
static const size_t archive_path_max_units = 4095;
static const size_t archive_size_field = 8;
static const uint16_t archive_name_separator = 0x005C; // backslash

// The decoder's largest accepted window: window log 27.
static const unsigned archive_window_log_max = 27;

// Buffers of the reader and the unpacker.
static const size_t decoded_buffer_size = 131072;
static const size_t write_piece_size = 32768;

// The cache key of an executable with a cached target directory, written by
// `talvor-pack create --cache-key` and linked beside the attached data:
//   digest    the first 16 lower-case hexadecimal digits of the SHA-256 of
//             the attached data, then one zero byte
//   manifest  every entry of the archive, in its order (the main library
//             first): its name as in the archive, UTF-16LE code units and one
//             0x0000 unit, then its size, u64 little-endian; ended by a
//             single 0x0000 unit
// The digest is the last component of the cached directory, so that two
// different archives never share one. The manifest spares a later start from
// decoding anything: it names the main library, and it says what a complete
// directory holds, so that a start finds a file that went missing or was cut
// short without trusting anything the directory itself says.
static const size_t cache_digest_chars = 16;
