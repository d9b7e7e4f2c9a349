// The main library: dlopen. Its dependencies are found through its own
// RUNPATH of $ORIGIN, which the build sets; LD_LIBRARY_PATH is left alone so
// that it does not leak into the application's own child processes.
//
// RTLD_GLOBAL: the main library stands for the program, and a program's own
// libraries are in the global scope. Modules that the application loads
// later (an interpreter's compiled extensions, say) are linked against
// those libraries' symbols without naming them as dependencies; with
// RTLD_LOCAL they would fail with "undefined symbol".
#include <dlfcn.h>
#include <errno.h>

#include "os/os.h"
#include "os/posix/posix.h"

void* os_load_library(const os_char*, const os_char* path) {
    errno = 0;
    void* library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        pending_error_text = dlerror();
        // dlopen's failures rarely set errno; the text says what happened.
        errno = 0;
    }
    return library;
}

void* os_find_symbol(void* library, const char* name) { return dlsym(library, name); }

const os_char* os_missing_import(uint32_t, const os_char*, const os_char*) { return nullptr; }
