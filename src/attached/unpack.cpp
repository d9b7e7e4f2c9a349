#include "attached/unpack.h"

#include "attached/directories.h"
#include "attached/entry_names.h"
#include "attached/format.h"
#include "attached/reader.h"
#include "diag/fatal.h"
#include "diag/messages.h"

os_char target_directory[path_capacity];
os_char main_dll_path[path_capacity];
bool durable_files;

#ifdef _WIN32
// Windows keeps the archive's UTF-16 names as they are.
static const size_t entry_name_capacity = archive_name_max_units + 1;
#else
// Linux names are UTF-8: at most three bytes for each UTF-16 code unit.
static const size_t entry_name_capacity = 3 * archive_name_max_units + 1;
#endif

// The name as the archive holds it, and its length in code units.
static char16_t entry_units[archive_name_max_units];
static size_t entry_unit_count;
static os_char entry_name[entry_name_capacity];
static os_char entry_path[path_capacity];
static unsigned char write_buffer[write_piece_size];
// The file being written, until it is complete.
static os_file current_file = OS_INVALID_FILE;

static uint16_t read_code_unit(void) {
    unsigned char bytes[2];
    read_attached(bytes, 2);
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

// An archive name as this system names files: on Windows the units as they
// are, on Linux their UTF-8 with slashes for the backslashes.
static void convert_name(const char16_t* units, size_t count, os_char* out) {
#ifdef _WIN32
    for (size_t i = 0; i < count; i++) out[i] = (os_char)units[i];
    out[count] = 0;
#else
    out[entry_name_to_utf8(units, count, '/', out)] = 0;
#endif
}

// The full path of `name` below `directory`.
static void join_path(const os_char* directory, const os_char* name, os_char* out) {
    size_t directory_length = os_strlen(directory);
    size_t name_length = os_strlen(name);
    if (directory_length + 1 + name_length > path_capacity - 1) fatal_bound();
    memcpy(out, directory, directory_length * sizeof(os_char));
    out[directory_length] = OS_SEP;
    memcpy(out + directory_length + 1, name, (name_length + 1) * sizeof(os_char));
}

static void join_target(const os_char* name, os_char* out) { join_path(target_directory, name, out); }

// Reads one name, one code unit per request, into entry_units and
// entry_name. A name longer than the format allows cannot be a valid
// archive: it ends the process like any other undecodable data.
static void read_entry_name(void) {
    entry_unit_count = 0;
    for (;;) {
        uint16_t unit = read_code_unit();
        if (unit == 0) break;
        if (entry_unit_count == archive_name_max_units) fatal_error(MSG_DECODE);
        entry_units[entry_unit_count++] = (char16_t)unit;
    }
    convert_name(entry_units, entry_unit_count, entry_name);
}

void entry_path_below(const os_char* directory, const char16_t* units, size_t count, os_char* out) {
    if (entry_name_unsafe(units, count) != nullptr) fatal_error(MSG_DECODE);
    os_char name[entry_name_capacity];
    convert_name(units, count, name);
    join_path(directory, name, out);
}

void set_main_dll_path(const char16_t* units, size_t count) {
    entry_path_below(target_directory, units, count, main_dll_path);
}

static void write_entry(void) {
    unsigned char size_bytes[archive_size_field];
    read_attached(size_bytes, archive_size_field);
    uint64_t size = 0;
    for (size_t i = archive_size_field; i > 0; i--) size = (size << 8) | size_bytes[i - 1];

    // Refused before anything is opened, so that no file is written outside
    // the target directory.
    if (entry_name_unsafe(entry_units, entry_unit_count) != nullptr) fatal_open_for_writing(entry_path);
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
            fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error(), entry_path);
        }
        size -= piece;
    }
    if (durable_files && !os_file_flush(current_file)) {
        fatal_error_with_code(MSG_UNPACK_WRITE, os_last_error(), entry_path);
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
    join_target(entry_name, entry_path);
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

void close_unpacked_file(void) {
    if (current_file != OS_INVALID_FILE) os_file_close(current_file);
    current_file = OS_INVALID_FILE;
}

void reset_unpack_state(void) {
    close_unpacked_file();
    main_dll_path[0] = 0;
    reset_known_directories();
}
