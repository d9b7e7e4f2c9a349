// Loading the main library and finding its entry point.
#include <windows.h>

#include "os/os.h"

// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
// LOAD_LIBRARY_SEARCH_SYSTEM32: the library and everything it imports come
// from its own directory, the directories added with AddDllDirectory and the
// system directory, never from the current directory or PATH.
static const DWORD restricted_search = 0xD00;

// AddDllDirectory's cookie is neither examined nor kept: without it the load
// still searches the library's own directory and the system's.
void* os_load_library(const os_char* directory, const os_char* path) {
    AddDllDirectory(directory);
    return (void*)LoadLibraryExW(path, nullptr, restricted_search);
}

void* os_find_symbol(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}
