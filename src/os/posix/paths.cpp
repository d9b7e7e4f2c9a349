// Executable paths and path normalisation.
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "os/os.h"

static size_t read_link(const char* link, os_char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    ssize_t length = readlink(link, buffer, capacity - 1);
    if (length <= 0) return 0;
    buffer[length] = 0;
    return (size_t)length;
}

size_t os_module_path(os_char* buffer, size_t capacity) { return read_link("/proc/self/exe", buffer, capacity); }

// The executable is the first object that the dynamic linker reports; the
// range must lie in one of its loaded segments.
struct image_range {
    uintptr_t start, end;
    bool held;
};

static int find_in_executable(struct dl_phdr_info* info, size_t, void* data) {
    image_range* range = (image_range*)data;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        uintptr_t first = info->dlpi_addr + segment.p_vaddr;
        if (range->start >= first && range->end <= first + segment.p_memsz) range->held = true;
    }
    return 1;
}

bool os_image_holds(const void* start, uint64_t size) {
    image_range range = {(uintptr_t)start, (uintptr_t)start + size, false};
    if (range.end < range.start) return false;
    dl_iterate_phdr(find_in_executable, &range);
    return range.held;
}

bool os_process_image_path(uint32_t pid, os_char* buffer, size_t capacity) {
    char link[64];
    snprintf(link, sizeof link, "/proc/%u/exe", pid);
    return read_link(link, buffer, capacity) != 0;
}

// Lexical: the current directory before a relative path, then ".", ".." and
// repeated separators collapsed, without asking the file system.
size_t os_full_path(const os_char* path, os_char* out, size_t capacity) {
    char joined[2 * PATH_MAX + 2];
    if (path[0] == '/') {
        if (strlen(path) >= sizeof joined) return 0;
        strcpy(joined, path);
    } else {
        char current[PATH_MAX];
        if (getcwd(current, sizeof current) == nullptr) return 0;
        size_t current_length = strlen(current), path_length = strlen(path);
        if (current_length + 1 + path_length >= sizeof joined) return 0;
        memcpy(joined, current, current_length);
        joined[current_length] = '/';
        memcpy(joined + current_length + 1, path, path_length + 1);
    }
    size_t length = 0;
    char result[sizeof joined];
    const char* p = joined;
    while (*p != 0) {
        while (*p == '/') p++;
        if (*p == 0) break;
        const char* end = p;
        while (*end != 0 && *end != '/') end++;
        size_t component = (size_t)(end - p);
        if (component == 1 && p[0] == '.') {
        } else if (component == 2 && p[0] == '.' && p[1] == '.') {
            while (length > 0 && result[length - 1] != '/') length--;
            if (length > 0) length--;
        } else {
            result[length++] = '/';
            memcpy(result + length, p, component);
            length += component;
        }
        p = end;
    }
    if (length == 0) result[length++] = '/';
    result[length] = 0;
    if (length + 1 > capacity) return length + 1;
    memcpy(out, result, length + 1);
    return length;
}

bool resolve_final_path(os_char* path, size_t capacity) {
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) return true;
    size_t length = strlen(resolved);
    bool fits = length + 1 <= capacity;
    if (fits) memcpy(path, resolved, length + 1);
    free(resolved);
    return fits;
}

// Linux file systems have no short names.
bool make_short_path(os_char*, size_t) { return true; }
