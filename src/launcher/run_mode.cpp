#include <errno.h>
#include <stdlib.h>

#include "diag/fatal.h"
#include "launcher/launcher.h"
#include "paths/environment.h"
#include "paths/executable_path.h"

// The supposed parent's image path gets the same room as the launcher's own
// path: a launcher whose path is longer than 2047 characters must still
// recognise its child, or that child would unpack and start another child.
static const size_t parent_image_capacity = executable_path_capacity;

run_mode detect_run_mode(void) {
    os_char* value = get_env_var(ENV_PARENT);
    if (value == nullptr) return RUN_MODE_PARENT;

    // Digits only: the {PID} expansion accepts nothing else, and a value it
    // would refuse must not make this process a child that then aborts.
    for (const os_char* p = value; *p != 0; p++) {
        if (*p < '0' || *p > '9') return RUN_MODE_PARENT;
    }
    os_char* end = nullptr;
    errno = 0;
#ifdef _WIN32
    long number = wcstol(value, &end, 10);
#else
    long number = strtol(value, &end, 10);
#endif
    // The process id is a signed 32-bit number, read back as unsigned.
    if (errno == ERANGE || end == value || *end != 0 || number > INT32_MAX || number < INT32_MIN) {
        return RUN_MODE_PARENT;
    }
    uint32_t pid = (uint32_t)(int32_t)number;

    os_char image[parent_image_capacity];
    if (!os_process_image_path(pid, image, parent_image_capacity)) return RUN_MODE_PARENT;
    if (!resolve_final_path(image, parent_image_capacity) || !make_short_path(image, parent_image_capacity)) {
        fatal_bound();
    }
    return os_strcmp(image, get_executable_path(true)) == 0 ? RUN_MODE_CHILD : RUN_MODE_PARENT;
}
