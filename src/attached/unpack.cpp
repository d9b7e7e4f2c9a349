#include "attached/unpack.h"

#include "attached/directories.h"
#include "attached/format.h"
#include "attached/reader.h"
#include "diag/fatal.h"
#include "diag/messages.h"

os_char target_directory[path_capacity];
os_char main_dll_path[path_capacity];

#ifdef _WIN32
// Windows keeps the archive's UTF-16 names as they are.
static const size_t entry_name_capacity = archive_name_max_units + 1;
#else
// Linux names are UTF-8: at most three bytes for each UTF-16 code unit.
static const size_t entry_name_capacity = 3 * archive_name_max_units + 1;
#endif

static os_char entry_name[entry_name_capacity];
static os_char entry_path[path_capacity];
static unsigned char write_buffer[write_piece_size];
// The file being written. A failure ends the process with it open; only a
// harness that goes on afterwards closes it, in reset_unpack_state.
static os_file current_file = OS_INVALID_FILE;

#ifndef _WIN32
static size_t put_utf8(os_char* out, uint32_t c) {
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | (c >> 6));
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | (c >> 12));
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (c >> 18));
    out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}
#endif

static uint16_t read_code_unit(void) {
    unsigned char bytes[2];
    read_attached(bytes, 2);
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

// Reads one name, one code unit per request, into entry_name. On Linux the
// units are converted to UTF-8 (an unpaired surrogate becomes its own
// three-byte sequence, so no name is refused or merged) and backslashes
// become slashes. A name longer than the format allows cannot be a valid
// archive: it ends the process like any other undecodable data.
static void read_entry_name(void) {
    size_t units = 0;
#ifdef _WIN32
    for (;;) {
        uint16_t unit = read_code_unit();
        entry_name[units] = (os_char)unit;
        if (unit == 0) return;
        if (++units > archive_name_max_units) fatal_error(MSG_DECODE);
    }
#else
    size_t length = 0;
    uint32_t pending_high = 0;
    for (;;) {
        uint16_t unit = read_code_unit();
        if (unit != 0 && ++units > archive_name_max_units) fatal_error(MSG_DECODE);
        if (pending_high != 0) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                uint32_t c = 0x10000 + ((pending_high - 0xD800) << 10) + (unit - 0xDC00);
                length += put_utf8(entry_name + length, c);
                pending_high = 0;
                continue;
            }
            length += put_utf8(entry_name + length, pending_high);
            pending_high = 0;
        }
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            pending_high = unit;
        } else if (unit == archive_name_separator) {
            entry_name[length++] = '/';
        } else {
            length += put_utf8(entry_name + length, unit);
        }
    }
    entry_name[length] = 0;
#endif
}

// A component that is empty or made only of dots and blanks ("..", ".",
// "...", ". ") could name a directory above the target directory once the
// system trims trailing dots and blanks. Such names are refused before
// anything is opened, so that no file is written outside the target
// directory.
static bool entry_name_is_safe(const os_char* name) {
    const os_char* component = name;
    for (const os_char* p = name;; p++) {
        // Windows also takes '/' as a separator when it opens a path.
        if (*p == OS_SEP || *p == '/' || *p == 0) {
            bool only_dots = true;
            for (const os_char* q = component; q < p; q++) {
                if (*q != '.' && *q != ' ') only_dots = false;
            }
            if (only_dots) return false;
            if (*p == 0) return true;
            component = p + 1;
        }
    }
}

static void build_entry_path(void) {
    size_t directory_length = os_strlen(target_directory);
    size_t name_length = os_strlen(entry_name);
    if (directory_length + 1 + name_length > path_capacity - 1) fatal_bound();
    memcpy(entry_path, target_directory, directory_length * sizeof(os_char));
    entry_path[directory_length] = OS_SEP;
    memcpy(entry_path + directory_length + 1, entry_name, (name_length + 1) * sizeof(os_char));
}

static void write_entry(void) {
    unsigned char size_bytes[archive_size_field];
    read_attached(size_bytes, archive_size_field);
    uint64_t size = 0;
    for (size_t i = archive_size_field; i > 0; i--) size = (size << 8) | size_bytes[i - 1];

    if (!entry_name_is_safe(entry_name)) fatal_open_for_writing(entry_path);
    // Nothing is made inside a target directory that somebody else created,
    // not even the directories of an entry in a subdirectory.
    if (!target_directory_created()) fatal_open_for_writing(entry_path);
    // The directory part of the path, cut at its last separator (the first
    // position does not count).
    size_t cut = os_strlen(entry_path);
    while (cut > 1 && entry_path[cut - 1] != OS_SEP) cut--;
    if (cut > 1) {
        entry_path[cut - 1] = 0;
        create_directory_tree(entry_path);
        entry_path[cut - 1] = OS_SEP;
    }

    current_file = os_file_create(entry_path);
    if (current_file == OS_INVALID_FILE) fatal_open_for_writing(entry_path);
    while (size > 0) {
        size_t piece = size < write_piece_size ? (size_t)size : write_piece_size;
        read_attached(write_buffer, piece);
        if (!os_file_write(current_file, write_buffer, piece)) {
            fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error());
        }
        size -= piece;
    }
    os_file_close(current_file);
    current_file = OS_INVALID_FILE;
}

bool unpack_next_entry(bool child_mode) {
    read_entry_name();
    if (entry_name[0] == 0) {
        // An archive without entries gives a child nothing to load; it must
        // not go on into the parent's steps and start another child.
        if (child_mode) fatal_error(MSG_DECODE);
        return false;
    }
    build_entry_path();
    if (main_dll_path[0] == 0) {
        memcpy(main_dll_path, entry_path, (os_strlen(entry_path) + 1) * sizeof(os_char));
        if (child_mode) return false;
    }
    write_entry();
    return true;
}

void unpack_attached_data(bool child_mode) {
    while (unpack_next_entry(child_mode)) {
    }
}

void reset_unpack_state(void) {
    if (current_file != OS_INVALID_FILE) os_file_close(current_file);
    current_file = OS_INVALID_FILE;
    main_dll_path[0] = 0;
    reset_known_directories();
}
