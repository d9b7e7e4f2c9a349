#include "launcher/command_line.h"

#include "diag/fatal.h"

os_char child_command_line[command_line_capacity];

// Every append finds the end afresh and refuses to grow past the buffer:
// a command line that does not fit is never truncated.
static void append_text(const os_char* text, size_t length) {
    size_t end = os_strlen(child_command_line);
    if (end + length + 1 > command_line_capacity) fatal_bound();
    memcpy(child_command_line + end, text, length * sizeof(os_char));
    child_command_line[end + length] = 0;
}

static void append_char(os_char c) { append_text(&c, 1); }

static void append_backslashes(size_t count) {
    for (size_t i = 0; i < count; i++) append_char('\\');
}

// Quoting is the inverse of CommandLineToArgvW's splitting:
//
//   argument      written as
//   a b           "a b"
//   a\ b\         "a\ b\\"      a final run of n backslashes doubles, since
//                               the closing quote follows it
//   a\\"b         "a\\\\\"b"    n backslashes before a quote become 2n + 1
//   "             "\""
//   (empty)       ""            so that the child still receives it
//   *.txt         "*.txt"       a C runtime that expands wildcards leaves a
//   e?it          "e?it"        quoted one alone
//
// Backslashes elsewhere are literal and stay as they are. An argument with no
// blank, tab, line feed, vertical tab, quote, star or question mark is
// written unchanged. The child takes its arguments from this text with
// CommandLineToArgvW, the exact inverse, so the application gets what the
// user typed, not files that happen to match.
static bool needs_quotes(const os_char* argument) {
    if (argument[0] == 0) return true;
    for (const os_char* p = argument; *p != 0; p++) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '"' || *p == '*' || *p == '?') return true;
    }
    return false;
}

void append_argument(const os_char* argument) {
    if (argument == nullptr) fatal_bound();
    if (!needs_quotes(argument)) {
        append_text(argument, os_strlen(argument));
        return;
    }
    append_char('"');
    const os_char* p = argument;
    while (*p != 0) {
        size_t backslashes = 0;
        while (*p == '\\') {
            backslashes++;
            p++;
        }
        if (*p == 0) {
            append_backslashes(2 * backslashes);
            break;
        }
        if (*p == '"') {
            append_backslashes(2 * backslashes + 1);
        } else {
            append_backslashes(backslashes);
        }
        append_char(*p);
        p++;
    }
    append_char('"');
}

void build_child_command_line(os_char** arguments, int count) {
    for (int i = 0; i < count; i++) {
        if (i > 0) append_char(' ');
        append_argument(arguments[i]);
    }
}
