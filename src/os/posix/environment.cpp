// Environment variables: getenv (copied at once), setenv and unsetenv.
#include <stdlib.h>

#include "os/os.h"

bool os_widen_name_char(char c, os_char* out) {
    *out = c;
    return c != 0;
}

size_t os_env_read(const os_char* name, os_char* buffer, size_t capacity) {
    if (name[0] == 0) return 0;
    const char* value = getenv(name);
    if (value == nullptr) return 0;
    size_t length = strlen(value);
    if (length + 1 > capacity) return length + 1;
    memcpy(buffer, value, length + 1);
    return length;
}

bool os_env_write(const os_char* name, const os_char* value) {
    if (value == nullptr) return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}
