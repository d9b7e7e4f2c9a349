// Messages that carry a path.
#include <windows.h>

#include <io.h>
#include <stdio.h>
#include <string.h>

#include "os/os.h"

// Longest piece of the path converted at once. One UTF-16 unit becomes at
// most four bytes (GB18030), so the bytes of a piece fit a buffer four times
// as long.
static const size_t piece_units = 256;

// A console takes the text as it is. WriteConsoleW may write less than it was
// given; the rest follows. Line breaks become "\r\n", as the runtime's text
// mode writes them everywhere else.
static void write_console(HANDLE console, const wchar_t* text, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, text, (DWORD)length, &written, nullptr) || written == 0) return;
        text += written;
        length -= written;
    }
}

static void write_console_ascii(HANDLE console, const char* text, size_t length) {
    wchar_t wide[2 * 64];
    while (length > 0) {
        size_t used = 0, units = 0;
        for (; used < length && units + 2 <= sizeof wide / sizeof wide[0]; used++) {
            if (text[used] == '\n') wide[units++] = L'\r';
            wide[units++] = (wchar_t)(unsigned char)text[used];
        }
        write_console(console, wide, units);
        text += used;
        length -= used;
    }
}

// Elsewhere the bytes go through the runtime's stream, so that they land
// wherever the stream was redirected and keep its line endings. No piece
// ends between the two halves of a surrogate pair: each half alone would
// become a replacement character. WC_NO_BEST_FIT_CHARS keeps a character
// the code page lacks from turning into a look-alike, which would name
// another path; the code pages that reject that flag (UTF-8 among them) have
// no best fit anyway.
static void write_converted(FILE* stream, UINT code_page, const wchar_t* text, size_t length) {
    char bytes[4 * piece_units];
    while (length > 0) {
        size_t units = length < piece_units ? length : piece_units;
        if (units < length && IS_HIGH_SURROGATE(text[units - 1])) units--;
        int size = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, text, (int)units, bytes, sizeof bytes,
                                       nullptr, nullptr);
        if (size == 0 && GetLastError() == ERROR_INVALID_FLAGS)
            size = WideCharToMultiByte(code_page, 0, text, (int)units, bytes, sizeof bytes, nullptr, nullptr);
        if (size > 0) fwrite(bytes, 1, (size_t)size, stream);
        text += units;
        length -= units;
    }
}

// The runtime's "%ls" converts with the C locale and stops at the first
// character that locale cannot convert, cutting the path short. So the path
// is written here. A stream whose handle is a console (GetConsoleMode
// succeeds) gets the whole message through WriteConsoleW. Any other handle
// gets bytes in the console's output code page when the process has a
// console, since the reader of a redirected stream is then most likely
// another console program or the user's shell; without one
// (GetConsoleOutputCP returns 0, as for a GUI-subsystem launcher) in the
// ANSI code page, the meaning of narrow text on Windows. The format's own
// text is ASCII, the same bytes in every one of these code pages.
void os_print_path(FILE* stream, const char* format, const os_char* path) {
    const char* at = strstr(format, OS_PRI_S);
    size_t head = at != nullptr ? (size_t)(at - format) : strlen(format);
    const char* tail = at != nullptr ? at + strlen(OS_PRI_S) : "";
    size_t path_length = at != nullptr ? wcslen(path) : 0;

    fflush(stream);
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        write_console_ascii(handle, format, head);
        write_console(handle, path, path_length);
        write_console_ascii(handle, tail, strlen(tail));
        return;
    }
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_ACP;
    fwrite(format, 1, head, stream);
    write_converted(stream, code_page, path, path_length);
    fputs(tail, stream);
    fflush(stream);
}
