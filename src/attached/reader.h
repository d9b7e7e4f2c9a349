// The streaming reader over the attached data: one zstd decoder that fills a
// 128 KiB buffer on demand and hands out exactly as many decoded bytes as
// asked.
#pragma once

#include <stddef.h>

// Where the attached data lies; launcher_main sets both before opening.
extern const unsigned char* attached_cursor;
extern size_t attached_length;
// True when the attached data lies in the executable's file-backed image:
// its pages can then be dropped once decoded and read again if need be.
// Data in ordinary memory (a test's, a fuzzer's) must never be dropped.
extern bool attached_data_in_image;

// Checks the magic and sets up the decoder; ends the process on failure.
void open_attached_data(void);
// Copies the next `count` decoded bytes to `destination`; ends the process
// when they cannot be decoded.
void read_attached(void* destination, size_t count);
void close_attached_data(void);
