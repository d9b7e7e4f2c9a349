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

// A null value removes the variable.
bool os_env_write(const os_char* name, const os_char* value) {
    return SetEnvironmentVariableW(name, value) != FALSE;
}
