#include "paths/executable_path.h"

#include "diag/fatal.h"

// Filled by the main thread on first use; nobody else reads them.
static os_char plain_path_cache[executable_path_capacity];
static os_char resolved_path_cache[executable_path_capacity];

const os_char* get_executable_path(bool resolve) {
    if (!resolve) {
        if (plain_path_cache[0] == 0) os_module_path(plain_path_cache, executable_path_capacity);
        return plain_path_cache;
    }
    if (resolved_path_cache[0] == 0) {
        os_module_path(resolved_path_cache, executable_path_capacity);
        if (!resolve_final_path(resolved_path_cache, executable_path_capacity) ||
            !make_short_path(resolved_path_cache, executable_path_capacity)) {
            fatal_bound();
        }
    }
    return resolved_path_cache;
}
