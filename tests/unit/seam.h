#pragma once

// How the core tried to end the process.
struct process_end {
    int code;
    bool aborted;
};

[[noreturn]] void talvor_seam_exit(int code);
[[noreturn]] void talvor_seam_abort(void);
