// The core's process-ending paths, turned into exceptions that a test can
// catch and inspect.
#include "seam.h"

#include <stdio.h>

void talvor_seam_exit(int code) {
    fflush(stdout);
    fflush(stderr);
    throw process_end{code, false};
}

void talvor_seam_abort(void) {
    fflush(stdout);
    fflush(stderr);
    throw process_end{0, true};
}
