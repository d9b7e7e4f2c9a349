// The descriptor of a prebuilt launcher, shared by the launcher and by
// talvor-pack.
//
// A prebuilt launcher is the launcher linked once, without an application.
// talvor-pack completes a copy of it into an application's executable: it
// adds the payload (the attached data, the target spec and the cache key)
// to the image as read-only data that the system maps with the rest, and
// fills in the descriptor, which lies in the launcher's own read-only data.
// Every position is the distance from the descriptor's first byte, so that
// no relocation touches it wherever the system loads the image. The launcher
// still never opens its own file: it reads constants of its own image.
//
//   offset size  field
//   0      16    magic "TalvorOnefile\0D1": found once in a launcher
//   16     16    version: the launcher's version, zero-padded ("1.0.0")
//   32     4     state: prebuilt_placeholder, or prebuilt_completed
//   36     4     zero
//   40     8     data: where the attached data starts
//   48     8     data size: its length in bytes
//   56     8     spec: where the target spec starts, in the launcher's
//                character type, zero-terminated; empty for the default
//   64     8     key: where the cache key starts (a single zero byte when
//                the directory is not cached; attached/format.h)
//   72     8     end: where the payload ends
// All fields are little-endian; the distances are signed 64-bit numbers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The magic's bytes, for an initializer. No array of them is defined here:
// a launcher built without optimisation would keep an unused copy, and the
// magic must occur in it once, in the descriptor.
#define PREBUILT_MAGIC_BYTES 'T', 'a', 'l', 'v', 'o', 'r', 'O', 'n', 'e', 'f', 'i', 'l', 'e', 0, 'D', '1'
static const size_t prebuilt_magic_size = 16;
static const size_t prebuilt_version_size = 16;
static const uint32_t prebuilt_placeholder = 0;
static const uint32_t prebuilt_completed = 1;

struct prebuilt_descriptor {
    unsigned char magic[16];
    char version[16];
    uint32_t state;
    uint32_t zero;
    int64_t data;
    uint64_t data_size;
    int64_t spec;
    int64_t key;
    int64_t end;
};
static_assert(sizeof(prebuilt_descriptor) == 80, "the descriptor's layout is fixed");

// Offsets of the fields that talvor-pack fills in.
static const size_t prebuilt_state_offset = 32;
static const size_t prebuilt_data_offset = 40;
static const size_t prebuilt_descriptor_size = 80;
