// Loading the main library and finding its entry point; after a failed load,
// the library it missed.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

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

// --- The library that a failed load missed -------------------------------------

// Deep enough for an application's own chains of DLLs; the walk follows only
// DLLs found in the target directory, whose imports are short lists.
static const int import_depth_limit = 6;
static const size_t folder_path_capacity = 32768;

static wchar_t missing_name[MAX_PATH];

// The bytes at the RVA `rva` of the image file mapped at `base`, found through
// its section table, with at least `need` bytes after them; null outside the
// file.
static const unsigned char* at_rva(const unsigned char* base, size_t size, const IMAGE_NT_HEADERS64* headers,
                                   DWORD rva, size_t need) {
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    for (WORD i = 0; i < headers->FileHeader.NumberOfSections; i++, section++) {
        if ((const unsigned char*)(section + 1) > base + size) return nullptr;
        DWORD start = section->VirtualAddress;
        DWORD length = section->SizeOfRawData;
        if (rva < start || rva - start >= length) continue;
        size_t offset = (size_t)section->PointerToRawData + (rva - start);
        return offset <= size && size - offset >= need ? base + offset : nullptr;
    }
    return nullptr;
}

// True when `folder` holds a file `name`; its path is left in `path`.
static bool found_in(const wchar_t* folder, const wchar_t* name, wchar_t* path) {
    size_t length = wcslen(folder);
    if (length + 1 + wcslen(name) + 1 > folder_path_capacity) return false;
    wcscpy(path, folder);
    path[length] = L'\\';
    wcscpy(path + length + 1, name);
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

static const wchar_t* missing_in_imports(const wchar_t* directory, const wchar_t* system, const unsigned char* base,
                                         size_t size, int depth);

// The first import of the image at `path`, or of a DLL of `directory` that
// it imports, that is neither loaded, nor in `directory`, nor in `system`.
// The file is read as data: nothing of it runs.
static const wchar_t* missing_import_of(const wchar_t* directory, const wchar_t* system, const wchar_t* path,
                                        int depth) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER size;
    HANDLE mapping = nullptr;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0)
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (mapping == nullptr) return nullptr;
    const unsigned char* base = (const unsigned char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (base == nullptr) return nullptr;
    const wchar_t* missing = missing_in_imports(directory, system, base, (size_t)size.QuadPart, depth);
    UnmapViewOfFile(base);
    return missing;
}

static const wchar_t* missing_in_imports(const wchar_t* directory, const wchar_t* system, const unsigned char* base,
                                         size_t size, int depth) {
    if (size < sizeof(IMAGE_DOS_HEADER)) return nullptr;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        (size_t)dos->e_lfanew + sizeof(IMAGE_NT_HEADERS64) > size)
        return nullptr;
    const IMAGE_NT_HEADERS64* headers = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    if (headers->Signature != IMAGE_NT_SIGNATURE || headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return nullptr;
    DWORD rva = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    if (rva == 0) return nullptr;
    wchar_t* path = (wchar_t*)malloc(folder_path_capacity * sizeof(wchar_t));
    if (path == nullptr) return nullptr;
    const wchar_t* missing = nullptr;
    for (;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const IMAGE_IMPORT_DESCRIPTOR* import =
            (const IMAGE_IMPORT_DESCRIPTOR*)at_rva(base, size, headers, rva, sizeof(IMAGE_IMPORT_DESCRIPTOR));
        if (import == nullptr || import->Name == 0) break;
        const char* narrow = (const char*)at_rva(base, size, headers, import->Name, 1);
        if (narrow == nullptr) break;
        size_t room = size - (size_t)((const unsigned char*)narrow - base);
        size_t length = strnlen(narrow, room < MAX_PATH ? room : MAX_PATH);
        wchar_t name[MAX_PATH];
        if (length == 0 || length >= MAX_PATH ||
            MultiByteToWideChar(CP_ACP, 0, narrow, (int)length, name, MAX_PATH - 1) != (int)length)
            continue;
        name[length] = 0;
        // API sets are names the loader maps onto system DLLs; no file has them.
        if (_wcsnicmp(name, L"api-ms-", 7) == 0 || _wcsnicmp(name, L"ext-ms-", 7) == 0) continue;
        if (GetModuleHandleW(name) != nullptr) continue;
        if (found_in(directory, name, path)) {
            if (depth < import_depth_limit) missing = missing_import_of(directory, system, path, depth + 1);
            if (missing != nullptr) break;
            continue;
        }
        if (found_in(system, name, path)) continue;
        wcscpy(missing_name, name);
        missing = missing_name;
        break;
    }
    free(path);
    return missing;
}

const os_char* os_missing_import(uint32_t error, const os_char* directory, const os_char* path) {
    if (error != ERROR_MOD_NOT_FOUND) return nullptr;
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return missing_import_of(directory, system, path, 0);
}
