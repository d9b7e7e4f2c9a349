#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/launcher.h"
#include "attached/unpack.h"
#include "launcher/launcher_state.h"

// The application's entry point: the argument vector of the child and the
// path the main library was loaded from; its result is the exit code.
#ifdef _WIN32
typedef int(__cdecl* run_code_function)(int argc, wchar_t** argv, const wchar_t* dll_path);
#else
typedef int (*run_code_function)(int argc, char** argv, const char* dll_path);
#endif

int host_main_dll(void) {
    void* library = os_load_library(target_directory, main_dll_path);
    if (library == nullptr) {
        uint32_t error = os_last_error();
        fatal_error_with_code(MSG_LOAD_DLL, error, main_dll_path,
                              os_missing_import(error, target_directory, main_dll_path));
    }
    run_code_function run_code = (run_code_function)os_find_symbol(library, "run_code");
    if (run_code == nullptr) fatal_error(MSG_NO_ENTRY_POINT);
    return run_code(launcher_argc, launcher_argv, main_dll_path);
}
