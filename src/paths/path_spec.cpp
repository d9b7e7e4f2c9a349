#include "paths/path_spec.h"

#include <stdio.h>
#include <wctype.h>

#include "diag/fatal.h"
#include "paths/environment.h"

// Output state of one expansion: `end` points at the terminator, `room`
// counts the characters still free before the capacity, terminator excluded.
struct spec_output {
    os_char* start;
    os_char* end;
    size_t room;
};

static void append_value(spec_output* out, const os_char* value) {
    for (; *value != 0; value++) {
        if (out->room == 0) fatal_bound();
        *out->end++ = *value;
        *out->end = 0;
        out->room--;
    }
}

static void append_narrow_value(spec_output* out, const char* value) {
    for (; *value != 0; value++) {
        os_char c;
        if (!os_widen_name_char(*value, &c)) fatal_bound();
        os_char one[2] = {c, 0};
        append_value(out, one);
    }
}

// Folders end in a separator on some systems; the template supplies its own.
// Runs even when the placeholder added nothing.
static void trim_trailing_separators(spec_output* out) {
    while (out->end > out->start && out->end[-1] == OS_SEP) {
        *--out->end = 0;
        out->room++;
    }
}

static bool is_all_digits(const os_char* text) {
    for (; *text != 0; text++) {
#ifdef _WIN32
        if (!iswctype(*text, _DIGIT)) return false;
#else
        if (*text < '0' || *text > '9') return false;
#endif
    }
    return true;
}

void random_text_from_seed(uint32_t seed, os_char out[12]) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint32_t s = seed != 0 ? seed : 1;
    unsigned char bytes[8];
    for (int i = 0; i < 8; i++) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        bytes[i] = (unsigned char)(s & 0xFF);
    }
    // Base64 over 64 bits, most significant first: ten 6-bit groups, then
    // the last 4 bits padded with two zero bits; no '=' padding.
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits = (bits << 8) | bytes[i];
    for (int i = 0; i < 10; i++) out[i] = alphabet[(bits >> (58 - 6 * i)) & 0x3F];
    out[10] = alphabet[(bits & 0x0F) << 2];
    out[11] = 0;
}

long microsecond_of_time(int64_t filetime) { return (long)((filetime / 10) % 1000000); }

// Appends a remembered value: the variable's value when it has one, else
// `fresh`, which is stored in the variable first.
static void append_remembered(spec_output* out, const char* variable, const os_char* fresh) {
    os_char* value = get_env_var(variable);
    if (value == nullptr) {
        set_env_var(variable, fresh);
        value = (os_char*)fresh;
    }
    append_value(out, value);
}

static void format_number(os_char* out, size_t capacity, const char* format, long long value) {
    char narrow[64];
    snprintf(narrow, sizeof narrow, format, value);
    size_t i = 0;
    for (; narrow[i] != 0 && i + 1 < capacity; i++) out[i] = (os_char)narrow[i];
    out[i] = 0;
}

// PROGRAM_BASE and PROGRAM_DIR expand "{PROGRAM}" in place and then cut it.
static bool append_program(spec_output* out, os_char** appended) {
    *appended = out->end;
    if (!expand_path_spec(out->end, OS_TEXT("{PROGRAM}"), out->room + 1)) return false;
    size_t length = os_strlen(out->end);
    out->end += length;
    out->room -= length;
    return true;
}

static bool append_placeholder(spec_output* out, const os_char* name) {
    if (os_stricmp(name, OS_TEXT("TEMP")) == 0) {
        os_temp_path(out->end, out->room + 1);
        size_t length = os_strlen(out->end);
        out->end += length;
        out->room -= length;
        trim_trailing_separators(out);
        return true;
    }
    if (os_stricmp(name, OS_TEXT("HOME")) == 0 || os_stricmp(name, OS_TEXT("CACHE_DIR")) == 0) {
        os_char folder[OS_FOLDER_CAPACITY];
        folder[0] = 0;
        bool found = os_stricmp(name, OS_TEXT("HOME")) == 0 ? os_profile_folder(folder)
                                                            : os_cache_folder(folder);
        if (!found) return false;
        append_value(out, folder);
        trim_trailing_separators(out);
        return true;
    }
    if (os_stricmp(name, OS_TEXT("PROGRAM")) == 0) {
        int argc;
        os_char** argv;
        os_arguments(&argc, &argv);
        if (argv == nullptr || argv[0] == nullptr) fatal_bound();
        append_value(out, argv[0]);
        return true;
    }
    if (os_stricmp(name, OS_TEXT("PROGRAM_BASE")) == 0) {
        os_char* appended;
        if (!append_program(out, &appended)) return false;
        size_t length = (size_t)(out->end - appended);
        if (length >= 4 && os_stricmp(out->end - 4, OS_TEXT(".exe")) == 0) {
            out->end -= 4;
            *out->end = 0;
            out->room += 4;
        }
        return true;
    }
    if (os_stricmp(name, OS_TEXT("PROGRAM_DIR")) == 0) {
        os_char* appended;
        if (!append_program(out, &appended)) return false;
        os_char* cut = os_strrchr(appended, OS_SEP);
        if (cut != nullptr) {
            out->room += (size_t)(out->end - cut);
            out->end = cut;
            *cut = 0;
        }
        return true;
    }
    if (os_stricmp(name, OS_TEXT("PID")) == 0) {
        os_char* parent = get_env_var(ENV_PARENT);
        if (parent != nullptr) {
            if (!is_all_digits(parent)) fatal_bound();
            append_value(out, parent);
        } else {
            char digits[32];
            snprintf(digits, sizeof digits, "%ld", (long)os_process_id());
            append_narrow_value(out, digits);
        }
        return true;
    }
    if (os_stricmp(name, OS_TEXT("TIME_US")) == 0) {
        os_char fresh[32];
        format_number(fresh, 32, "%06lld", (long long)microsecond_of_time(os_system_time()));
        append_remembered(out, ENV_TIME_US, fresh);
        return true;
    }
    if (os_stricmp(name, OS_TEXT("TIME")) == 0) {
        os_char fresh[32];
        format_number(fresh, 32, "%lld", (long long)os_system_time());
        append_remembered(out, ENV_START, fresh);
        return true;
    }
    if (os_stricmp(name, OS_TEXT("RANDOM")) == 0) {
        // The seed mixes the counter with the address of the local that holds
        // it, which moves with the stack's placement from run to run.
        int64_t counter = 0;
        os_performance_counter(&counter);
        uint64_t c = (uint64_t)counter;
        uint64_t a = (uint64_t)(uintptr_t)&counter;
        uint32_t seed = (uint32_t)c ^ (uint32_t)(c >> 32) ^ (uint32_t)a ^ (uint32_t)(a >> 32) ^
                        os_process_id();
        os_char fresh[12];
        random_text_from_seed(seed, fresh);
        append_remembered(out, ENV_RANDOM, fresh);
        return true;
    }
    return false;
}

// Longest placeholder name kept; a longer one cannot match any name.
static const size_t placeholder_capacity = 1024;

bool expand_path_spec(os_char* out, const os_char* spec, size_t capacity) {
    spec_output output = {out, out, capacity - 1};
    out[0] = 0;
    os_char name[placeholder_capacity];
    size_t name_length = 0;
    bool in_placeholder = false;
    for (; *spec != 0; spec++) {
        os_char c = *spec;
        if (c == '{') {
            in_placeholder = true;
            name_length = 0;
        } else if (c == '}') {
            // A '}' outside a placeholder is refused like an unknown name.
            if (!in_placeholder) return false;
            name[name_length] = 0;
            in_placeholder = false;
            // An over-long name was truncated while collected; it can match
            // none of the ten names, so it fails as unknown.
            if (name_length == placeholder_capacity - 1) return false;
            if (!append_placeholder(&output, name)) return false;
        } else if (in_placeholder) {
            if (name_length < placeholder_capacity - 1) name[name_length++] = c;
        } else {
            if (output.room == 0) return false;
            *output.end++ = c;
            *output.end = 0;
            output.room--;
        }
    }
    *output.end = 0;
    return true;
}
