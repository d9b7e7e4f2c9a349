#include <stdio.h>

#include "attached/directories.h"
#include "attached/reader.h"
#include "attached/unpack.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/attached_blob.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

// Where the target directory lies, unless the executable names its own. The
// child expands the same spec from the inherited environment and arrives at
// the parent's directory.
#ifdef _WIN32
static const os_char target_spec[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
#else
static const os_char target_spec[] = "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}";
#endif

// A parent always makes fresh directory values: remembered ones that it
// inherited (from another launcher's application, say) are dropped, and the
// child will know its parent by the process id stored here.
static void reset_environment(void) {
    set_env_var(ENV_START, nullptr);
    set_env_var(ENV_TIME_US, nullptr);
    set_env_var(ENV_RANDOM, nullptr);
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", (long)os_process_id());
    os_char wide[128];
    size_t i = 0;
    for (; narrow[i] != 0; i++) wide[i] = (os_char)narrow[i];
    wide[i] = 0;
    set_env_var(ENV_PARENT, wide);
}

static void compute_target_directory(void) {
    const os_char* spec = attached_target_spec[0] != 0 ? attached_target_spec : target_spec;
    bool expanded = expand_path_spec(target_directory, spec, path_capacity);
    if (expanded && cached_mode()) append_cache_digest();
    os_char full[path_capacity];
    size_t length = os_full_path(target_directory, full, path_capacity);
    if (length == 0 || length >= path_capacity) fatal_bound();
    memcpy(target_directory, full, (length + 1) * sizeof(os_char));
    attached_cursor = attached_data;
    attached_length = (size_t)attached_data_size;
    attached_data_in_image = true;
    if (!expanded) fatal_spec_error(spec);
}

void unpack_as_parent(void) {
    if (!watch_interrupts()) fatal_error(MSG_SIGNAL_HANDLER);
    claim_target_directory();
    open_attached_data();
    while (unpack_next_entry(false)) stop_if_interrupted();
    close_attached_data();
}

int launcher_main(void*, void*, os_char*, int) {
    os_arguments(&launcher_argc, &launcher_argv);
    os_clear_dll_directory();
    locate_attached();
    run_mode mode = detect_run_mode();
    if (mode == RUN_MODE_CHILD && !os_command_line_arguments(&launcher_argc, &launcher_argv)) {
        fatal_error(MSG_NO_MEMORY);
    }
    if (mode == RUN_MODE_PARENT) reset_environment();
    compute_target_directory();
    if (mode == RUN_MODE_CHILD) {
        if (cached_mode()) {
            find_cached_directory();
        } else {
            open_attached_data();
            unpack_attached_data(true);
        }
        return host_main_dll();
    }
    if (cached_mode()) return run_cached();
    unpack_as_parent();
    return (int)launch_child();
}
