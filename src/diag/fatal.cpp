#include "diag/fatal.h"

#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "diag/messages.h"

// Fuzzing and unit tests build the core with TALVOR_FATAL_SEAM so that the
// process-ending paths return to the harness instead of ending it. The
// launcher itself never defines it.
#ifdef TALVOR_FATAL_SEAM
[[noreturn]] void talvor_seam_exit(int code);
[[noreturn]] void talvor_seam_abort(void);
#define END_PROCESS(code) talvor_seam_exit(code)
#define ABORT_PROCESS() talvor_seam_abort()
#else
#define END_PROCESS(code) exit(code)
#define ABORT_PROCESS() os_abort()
#endif

void (*before_fatal_end)(void);

static void prepare_end(void) {
    if (before_fatal_end != nullptr) before_fatal_end();
}

void fatal_error(const char* message) {
    prepare_end();
    puts(message);
    END_PROCESS(EXIT_CODE_FAILURE);
}

// The length of the insert ("%1", "%12", "%1!s!") that starts at `at`, or 0.
static size_t insert_length(const char* at) {
    if (at[0] != '%' || at[1] < '1' || at[1] > '9') return 0;
    size_t length = 2;
    if (at[length] >= '0' && at[length] <= '9') length++;
    if (at[length] == '!') {
        const char* close = strchr(at + length + 1, '!');
        if (close != nullptr) length = (size_t)(close + 1 - at);
    }
    return length;
}

// Words that only lead to the insert that follows them; they go with it.
static bool leads_to_insert(const char* word, size_t length) {
    static const char* const words[] = {"for", "of", "in", "to", "from", "on", "at", "by", "with"};
    for (const char* w : words)
        if (strlen(w) == length && strncmp(w, word, length) == 0) return true;
    return false;
}

// Removes the insert [start, end) of `text` so that the sentence still
// reads: with quotes around it, the blanks before it and a word that leads
// to it, but nothing before `floor`; an insert that opens the text takes the
// blanks after it instead. Returns where the removed text began.
static size_t drop_insert(char* text, size_t floor, size_t start, size_t end) {
    if (start > floor && (text[start - 1] == '\'' || text[start - 1] == '"') && text[end] == text[start - 1]) {
        start--;
        end++;
    }
    if (start > floor && text[start - 1] == ' ') {
        while (start > floor && text[start - 1] == ' ') start--;
        size_t word = start;
        while (word > floor && text[word - 1] >= 'a' && text[word - 1] <= 'z') word--;
        if (word < start && (word == 0 || text[word - 1] == ' ') && leads_to_insert(text + word, start - word)) {
            start = word;
            while (start > floor && text[start - 1] == ' ') start--;
        }
    } else if (start == 0) {
        while (text[end] == ' ') end++;
        if (text[end] >= 'a' && text[end] <= 'z') text[end] = (char)(text[end] - 'a' + 'A');
    }
    memmove(text + start, text + end, strlen(text + end) + 1);
    return start;
}

size_t settle_inserts(char* text, bool keep_one) {
    size_t kept = SIZE_MAX;
    for (size_t i = 0; text[i] != 0;) {
        size_t length = insert_length(text + i);
        if (length == 0) {
            i++;
        } else if (keep_one && kept == SIZE_MAX) {
            memmove(text + i, text + i + length, strlen(text + i + length) + 1);
            kept = i;
        } else {
            i = drop_insert(text, kept == SIZE_MAX ? 0 : kept, i, i + length);
        }
    }
    return kept;
}

void fatal_error_with_code(const char* message, uint32_t code, const os_char* subject, const os_char* missing) {
    char* text = os_error_text(code);
    size_t place = SIZE_MAX;
    if (text != nullptr) {
        // The system's texts end in "\r\n"; the line carries its own break.
        for (size_t i = strlen(text); i > 0; i--) {
            if (text[i - 1] != '\r' && text[i - 1] != '\n') break;
            text[i - 1] = 0;
        }
        place = settle_inserts(text, subject != nullptr);
    }
    prepare_end();
    if (code != 0) {
        fprintf(stderr, MSG_WITH_CODE_HEAD, message, (long)(int32_t)code);
    } else {
        fprintf(stderr, MSG_WITH_TEXT_HEAD, message);
    }
    if (text == nullptr) {
        // "%s" of a null text prints "(null)" on both runtimes; say it
        // explicitly rather than rely on it.
        fputs("(null)", stderr);
    } else if (place == SIZE_MAX) {
        fputs(text, stderr);
    } else {
        fwrite(text, 1, place, stderr);
        os_print_path(stderr, OS_PRI_S, subject);
        fputs(text + place, stderr);
    }
    if (missing != nullptr) {
        os_print_path(stderr, MSG_MISSING_MODULE_TAIL, missing);
    } else {
        fputs(MSG_SYSTEM_TEXT_TAIL, stderr);
    }
    END_PROCESS(EXIT_CODE_FAILURE);
}

void fatal_spec_error(const os_char* spec) {
    prepare_end();
    os_print_path(stderr, MSG_SPEC_EXPAND, spec);
    ABORT_PROCESS();
}

void fatal_open_for_writing(const os_char* path) {
    prepare_end();
    os_print_path(stderr, MSG_OPEN_FOR_WRITING, path);
    END_PROCESS(EXIT_CODE_FAILURE);
}

void fatal_untrusted_directory(const os_char* path) {
    prepare_end();
    os_print_path(stderr, MSG_UNTRUSTED_DIRECTORY, path);
    END_PROCESS(EXIT_CODE_FAILURE);
}

void fatal_bound(void) {
    prepare_end();
    ABORT_PROCESS();
}
