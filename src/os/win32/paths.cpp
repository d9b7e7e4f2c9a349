// Executable paths and their normalisation into a form that does not depend
// on how a process was started.
#include <windows.h>

#include <psapi.h>
#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// GetModuleFileNameW truncates a path that does not fit and then returns the
// capacity; the caller keeps the truncated path.
size_t os_module_path(os_char* buffer, size_t capacity) {
    return GetModuleFileNameW(nullptr, buffer, (DWORD)capacity);
}

bool os_image_holds(const void* start, uint64_t size) {
    const unsigned char* base = (const unsigned char*)GetModuleHandleW(nullptr);
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    uintptr_t first = (uintptr_t)start, image = (uintptr_t)base;
    return first >= image && size <= nt->OptionalHeader.SizeOfImage &&
           first - image <= nt->OptionalHeader.SizeOfImage - size;
}

// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ (0x410): what
// K32GetModuleFileNameExW needs to read another process's main module name.
bool os_process_image_path(uint32_t pid, os_char* buffer, size_t capacity) {
    HANDLE process = OpenProcess(0x410, FALSE, pid);
    if (process == nullptr) return false;
    DWORD length = K32GetModuleFileNameExW(process, nullptr, buffer, (DWORD)capacity);
    CloseHandle(process);
    return length != 0;
}

size_t os_full_path(const os_char* path, os_char* out, size_t capacity) {
    return GetFullPathNameW(path, (DWORD)capacity, out, nullptr);
}

typedef DWORD(WINAPI* final_path_function)(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags);

// GetFinalPathNameByHandleW exists from Vista on; it is looked up each time
// rather than imported, so that the executable still loads where it is
// missing.
static final_path_function find_final_path_function(void) {
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) return nullptr;
    FARPROC function = GetProcAddress(kernel, "GetFinalPathNameByHandleW");
    return (final_path_function)(void (*)(void))function;
}

static bool starts_with(const os_char* text, const os_char* prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// The extended-length prefix goes where a shorter form names the same file:
//
//   \\?\C:\dir\file.exe            C:\dir\file.exe
//   \\?\UNC\server\share\file.exe  \\server\share\file.exe
//   \\?\Volume{...}\file.exe       unchanged: no drive letter to give it
void strip_extended_prefix(os_char* path) {
    if (starts_with(path, L"\\\\?\\") && path[4] != 0 && path[5] == L':') {
        memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(os_char));
    }
    if (starts_with(path, L"\\\\?\\UNC\\")) {
        memmove(path, path + 6, (wcslen(path + 6) + 1) * sizeof(os_char));
        path[0] = L'\\';
    }
}

// Opens the file without asking for read or write access (any sharing, so
// that a running executable can be opened) and asks for its final path:
// links followed, letter case as the file system stores it, in the
// extended-length form, whose prefix then goes again. A file that cannot be
// opened, a missing function or a failed call leave the path as far as it
// got; a result that does not fit is a bound exceeded (false).
bool resolve_final_path(os_char* path, size_t capacity) {
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true;
    final_path_function final_path = find_final_path_function();
    if (final_path != nullptr) {
        // Flags 0: FILE_NAME_NORMALIZED with VOLUME_NAME_DOS.
        DWORD length = final_path(file, path, (DWORD)capacity, 0);
        CloseHandle(file);
        if (length >= capacity) return false;
    } else {
        CloseHandle(file);
    }
    strip_extended_prefix(path);
    return true;
}

// Replaces the directory part with its short (8.3) form and keeps the last
// component as it is: C:\Program Files\Some App\launcher.exe becomes
// C:\PROGRA~1\SOMEAP~1\launcher.exe. GetShortPathNameW is asked twice, first
// for the size, then for the text; a part that has no short form (it does not
// exist, say) stays as it was. A result that does not fit, or memory that
// runs out, is a bound exceeded (false).
bool make_short_path(os_char* path, size_t capacity) {
    os_char* last_component = nullptr;
    os_char* separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        *separator = 0;
        last_component = _wcsdup(separator + 1);
        if (last_component == nullptr) return false;
    }
    bool fits = true;
    DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        os_char* short_form = (os_char*)malloc(((size_t)needed + 1) * sizeof(os_char));
        if (short_form == nullptr) {
            free(last_component);
            return false;
        }
        short_form[0] = 0;
        DWORD length = GetShortPathNameW(path, short_form, needed);
        // A larger result is the size needed now: the name grew meanwhile.
        fits = length <= needed;
        if (fits && length != 0) {
            size_t short_length = wcslen(short_form);
            fits = short_length + 1 <= capacity;
            if (fits) memcpy(path, short_form, (short_length + 1) * sizeof(os_char));
        }
        free(short_form);
    }
    if (fits && last_component != nullptr) {
        size_t length = wcslen(path);
        size_t component_length = wcslen(last_component);
        fits = length + 1 + component_length + 1 <= capacity;
        if (fits) {
            path[length] = L'\\';
            memcpy(path + length + 1, last_component, (component_length + 1) * sizeof(os_char));
        }
    }
    free(last_component);
    return fits;
}
