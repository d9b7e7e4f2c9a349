#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/command_line.h"
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"
#include "launcher/reclaim.h"
#include "paths/environment.h"
#include "paths/executable_path.h"

os_char own_module_path[4096];

void fill_own_module_path(void) {
    if (own_module_path[0] != 0) return;
    if (os_module_path(own_module_path, sizeof own_module_path / sizeof own_module_path[0]) == 0) fatal_bound();
}

// The child's arguments: the launcher's own behind the full module path,
// however the launcher itself was started (argv[0] went to
// TALVOR_ORIGINAL_ARGV0). On Windows they come from the command line as the
// system splits it, not from the runtime's vector, which a runtime that
// expands wildcards would have changed; the child splits its command line
// the same way, so the application gets the arguments as the user typed
// them. The split fails only when memory runs out; the launch then fails
// with that error rather than start the application with other arguments.
static os_char** child_arguments(void) {
    int count = launcher_argc;
    os_char** arguments = launcher_argv;
    if (!os_command_line_arguments(&count, &arguments)) fatal_error_with_code(MSG_LAUNCH_CHILD, os_last_error());
    arguments[0] = own_module_path;
#ifdef _WIN32
    child_command_line[0] = 0;
    build_child_command_line(arguments, count);
#endif
    return arguments;
}

// Tells the application where the launcher lives and how it was called.
void set_application_environment(void) {
    os_char directory[executable_path_capacity + 1];
    const os_char* executable = get_executable_path(false);
    memcpy(directory, executable, (os_strlen(executable) + 1) * sizeof(os_char));
    // An executable in a drive's root yields the bare drive, "C:".
    os_char* last = os_strrchr(directory, OS_SEP);
    if (last != nullptr) *last = 0;
    set_env_var(ENV_DIRECTORY, directory);
    set_env_var(ENV_ORIGINAL_ARGV0, launcher_argv[0]);
}

// Starts the own executable again with the launcher's arguments. The child
// inherits the standard handles and the environment as it stands now.
uint32_t launch_child(void) {
    set_application_environment();
    fill_own_module_path();
    os_char** arguments = child_arguments();
    if (!start_child(own_module_path, arguments, child_command_line)) {
        uint32_t error = os_last_error();
        stop_if_interrupt_pending();
        fatal_error_with_code(MSG_LAUNCH_CHILD, error, own_module_path);
    }
    // While the application starts and runs, not before: its start never
    // waits for this.
    reclaim_dead_runs();
    int end_signal;
    uint32_t exit_code = os_child_wait(&end_signal);
    cleanup_child();
    stop_if_interrupted();
    // A child ended by a signal ends the launcher by the same signal.
    if (end_signal != 0) os_end_by_signal(end_signal);
    return exit_code;
}
