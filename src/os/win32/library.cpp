// Loading the main library and finding its entry point.
#include <windows.h>

#include "os/os.h"

// The main library and everything it imports come from its own directory,
// the directories added with AddDllDirectory and the system directory, never
// from the current directory or PATH.
static const DWORD main_library_search =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

// Every later load of the application's (LoadLibraryW of a bare name, the
// imports of a module loaded by full path) searches the process's default
// order, whose first place is the application directory: the launcher's
// folder, often a downloads folder where anybody may have left a DLL of the
// same name. SetDefaultDllDirectories makes that order the target directory
// (added with AddDllDirectory) and the system directory alone, before the
// main library's DllMain runs. An application that needs another folder adds
// it with AddDllDirectory.
//
// AddDllDirectory's cookie is neither examined nor kept: the directory stays
// for the life of the process. Should either call fail, the main library is
// still loaded with the restricted search, which names its directory itself.
void* os_load_library(const os_char* directory, const os_char* path) {
    AddDllDirectory(directory);
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    return (void*)LoadLibraryExW(path, nullptr, main_library_search);
}

void* os_find_symbol(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}
