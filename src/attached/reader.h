// The streaming reader over the attached data: one zstd decoder that fills a
// 128 KiB buffer on demand and hands out exactly as many decoded bytes as
// asked.
#pragma once

#include <stddef.h>

// Where the attached data lies; launcher_main sets both before opening.
extern const unsigned char* attached_cursor;
extern size_t attached_length;

// Checks the magic and sets up the decoder; ends the process on failure.
void open_attached_data(void);
// Copies the next `count` decoded bytes to `destination`; ends the process
// when they cannot be decoded.
void read_attached(void* destination, size_t count);
void close_attached_data(void);
