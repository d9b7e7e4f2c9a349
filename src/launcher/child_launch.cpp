#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "paths/environment.h"
#include "paths/executable_path.h"

os_char own_module_path[4096];

void fill_own_module_path(void) {
    if (own_module_path[0] != 0) return;
    if (os_module_path(own_module_path, sizeof own_module_path / sizeof own_module_path[0]) == 0) fatal_bound();
}

// Tells the application where the launcher lives and how it was called, then
// starts the own executable again with the launcher's arguments. The child
// inherits the standard handles and the environment as it stands now.
uint32_t launch_child(void) {
    os_char directory[executable_path_capacity + 1];
    const os_char* executable = get_executable_path(false);
    memcpy(directory, executable, (os_strlen(executable) + 1) * sizeof(os_char));
    // An executable in a drive's root yields the bare drive, "C:".
    os_char* last = os_strrchr(directory, OS_SEP);
    if (last != nullptr) *last = 0;
    set_env_var(ENV_DIRECTORY, directory);
    set_env_var(ENV_ORIGINAL_ARGV0, launcher_argv[0]);

    fill_own_module_path();
    if (!os_child_start(own_module_path, launcher_argc, launcher_argv)) {
        fatal_error_with_code(MSG_LAUNCH_CHILD, os_last_error());
    }
    uint32_t exit_code = os_child_wait();
    cleanup_child();
    os_child_pass_on_signal();
    return exit_code;
}
