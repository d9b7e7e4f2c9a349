#include "diag/fatal.h"

#include <stdio.h>
#include <stdlib.h>

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

void fatal_error_with_code(const char* message, uint32_t code) {
    char* text = os_error_text(code);
    if (text != nullptr) {
        // The system's texts end in "\r\n"; the line carries its own break.
        for (size_t i = strlen(text); i > 0; i--) {
            if (text[i - 1] != '\r' && text[i - 1] != '\n') break;
            text[i - 1] = 0;
        }
    }
    prepare_end();
    // "%s" of a null text prints "(null)" on both runtimes; say it explicitly
    // rather than rely on it.
    fprintf(stderr, MSG_WITH_CODE_FORMAT, message, (long)(int32_t)code,
            text != nullptr ? text : "(null)");
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
