// Locks that mark live runs, and the listing of the temporary folder.
//
// A live run holds its lock file open with FILE_SHARE_READ only: no write
// and no delete sharing. The system closes the handle when the process ends,
// however it ends (TerminateProcess, "End task" included). A reclaimer opens
// the file with DELETE access and no sharing at all, which fails with a
// sharing violation while any handle of a live run is open, and succeeds
// only when nobody holds it; its own handle then keeps the next reclaimer
// out until it is done. Process ids play no part.
#include <windows.h>

#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// The handle is not inheritable: the child, which inherits handles, never
// holds the lock.
os_file os_run_lock_create(const os_char* path) {
    return CreateFileW(path, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

os_file os_run_lock_take(const os_char* path) {
    HANDLE lock = CreateFileW(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (lock == INVALID_HANDLE_VALUE) return OS_INVALID_FILE;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(lock, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(lock);
        return OS_INVALID_FILE;
    }
    return lock;
}

// Marked for deletion through the handle, so the file goes when the handle
// closes and no other process can open it in between.
void os_run_lock_release(os_file lock, const os_char*, bool remove) {
    if (remove) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(lock, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(lock);
}

// Opens the directory itself, not where a link or junction leads; the
// check is on what was opened.
bool os_is_private_directory(const os_char* path) {
    HANDLE directory = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    bool result = GetFileInformationByHandle(directory, &information) &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                  security_trusted(directory, true);
    CloseHandle(directory);
    return result;
}

bool os_path_exists(const os_char* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

struct os_listing_state {
    HANDLE find;
    bool have_first;
    WIN32_FIND_DATAW entry;
};

os_listing os_listing_open(const os_char* folder) {
    size_t length = wcslen(folder);
    os_char* pattern = (os_char*)malloc((length + 3) * sizeof(os_char));
    os_listing listing = (os_listing)malloc(sizeof(os_listing_state));
    if (pattern == nullptr || listing == nullptr) {
        free(pattern);
        free(listing);
        return nullptr;
    }
    memcpy(pattern, folder, length * sizeof(os_char));
    memcpy(pattern + length, L"\\*", 3 * sizeof(os_char));
    listing->find = FindFirstFileExW(pattern, FindExInfoBasic, &listing->entry, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    free(pattern);
    if (listing->find == INVALID_HANDLE_VALUE) {
        free(listing);
        return nullptr;
    }
    listing->have_first = true;
    return listing;
}

const os_char* os_listing_next(os_listing listing) {
    for (;;) {
        if (!listing->have_first && !FindNextFileW(listing->find, &listing->entry)) return nullptr;
        listing->have_first = false;
        const wchar_t* name = listing->entry.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        return name;
    }
}

void os_listing_close(os_listing listing) {
    FindClose(listing->find);
    free(listing);
}
