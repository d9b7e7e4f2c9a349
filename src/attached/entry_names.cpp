#include "attached/entry_names.h"

#include <stdint.h>

#include "attached/format.h"

static bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

const char* entry_name_unsafe(const char16_t* name, size_t length) {
    if (length == 0) return "the name is empty";
    if (length > archive_name_max_units) return "the name is longer than 1023 UTF-16 code units";
    size_t start = 0;
    for (size_t i = 0; i <= length; i++) {
        if (i < length && !is_separator(name[i])) continue;
        if (i == start) return "the name has an empty path component";
        bool dots_and_blanks = true;
        for (size_t k = start; k < i; k++) {
            if (name[k] != u'.' && name[k] != u' ') dots_and_blanks = false;
        }
        if (dots_and_blanks) return "the name has a '.' or '..' component (or one of dots and blanks only)";
        start = i + 1;
    }
    return nullptr;
}

static size_t put_utf8(char* out, uint32_t c) {
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

size_t entry_name_to_utf8(const char16_t* name, size_t length, char backslash_as, char* out) {
    size_t written = 0;
    for (size_t i = 0; i < length; i++) {
        uint32_t c = name[i];
        if (c == u'\\') {
            out[written++] = backslash_as;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            i++;
        }
        written += put_utf8(out + written, c);
    }
    return written;
}
