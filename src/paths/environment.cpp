#include "paths/environment.h"

#include "diag/fatal.h"

// Names are narrow ASCII constants of the launcher, at most 39 characters.
static const size_t name_capacity = 40;
// The longest value a Windows variable can hold, 32767 characters, plus the
// terminator.
static const size_t value_capacity = 32768;

static void widen_name(const char* name, os_char* wide) {
    size_t length = 0;
    wide[0] = 0;
    for (; *name != 0; name++) {
        os_char c;
        if (!os_widen_name_char(*name, &c)) fatal_bound();
        if (length == name_capacity - 1) fatal_bound();
        wide[length++] = c;
        wide[length] = 0;
    }
}

os_char* get_env_var_wide(const os_char* name) {
    os_char value[value_capacity];
    value[0] = 0;
    size_t length = os_env_read(name, value, value_capacity);
    if (length == 0 || length > value_capacity) return nullptr;
    return os_strdup(value);
}

os_char* get_env_var(const char* name) {
    os_char wide[name_capacity];
    widen_name(name, wide);
    return get_env_var_wide(wide);
}

bool set_env_var(const char* name, const os_char* value) {
    os_char wide[name_capacity];
    widen_name(name, wide);
    return os_env_write(wide, value);
}
