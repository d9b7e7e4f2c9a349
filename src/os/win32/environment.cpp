// Environment variables of the own process, which a child started without an
// explicit environment block inherits.
#include <windows.h>

#include <stdlib.h>

#include "os/os.h"

// Each name byte is widened alone, through the runtime's current code page,
// as a two-byte string with room for two wide characters: exactly one wide
// character must come out.
bool os_widen_name_char(char c, os_char* out) {
    const char narrow[2] = {c, 0};
    wchar_t wide[2] = {0, 0};
    if (mbstowcs(wide, narrow, 2) != 1) return false;
    *out = wide[0];
    return true;
}

// GetEnvironmentVariableW returns the length without the terminator when the
// value fits, the size it needs with the terminator when it does not, and 0
// for an unset variable, an empty one or a failure.
size_t os_env_read(const os_char* name, os_char* buffer, size_t capacity) {
    return GetEnvironmentVariableW(name, buffer, (DWORD)capacity);
}

// A process's variables live twice: in the system's block, which
// GetEnvironmentVariableW reads and a child inherits, and in the C runtime's
// copy, which getenv and _wgetenv read. msvcrt.dll makes its copy when it
// starts, before the launcher's first line, and SetEnvironmentVariableW
// does not reach it. Its copy is shared by every module linked against it:
// the launcher (mingw's static runtime calls into msvcrt.dll) and an
// application DLL built with mingw, which runs in the launcher's own process
// in a cached directory's later start. So both copies are written; an empty
// value given to _wputenv_s removes the variable, as a null value does here.
// A runtime that the application brings along (ucrtbase.dll) makes its copy
// from the system's block when it is first asked, after these writes.
bool os_env_write(const os_char* name, const os_char* value) {
    if (!SetEnvironmentVariableW(name, value)) return false;
    return _wputenv_s(name, value != nullptr ? value : L"") == 0;
}
