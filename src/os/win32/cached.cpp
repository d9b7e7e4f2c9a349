// The primitives of a cached target directory: the walk that opens and
// checks it, the files' check, the version lock, durable data and the
// renames.
//
// The walk opens the path's directories one after another, each opened
// itself (FILE_FLAG_OPEN_REPARSE_POINT: never where a link or junction
// leads), and reads owner and DACL from the handle it opened. Every handle
// stays open without delete sharing until the walk ends, so no directory
// already checked can be renamed or replaced while the next is opened
// through it. Once every directory on the way is trusted, only the user and
// the system's accounts can change what the path names, so the launcher and
// the application may then use the path itself.
#include <windows.h>

#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

static const int links_max = 40;
static const int chain_max = 512;

// The handles of the directories walked so far.
struct walk_chain {
    HANDLE handles[chain_max];
    int count;
};

static void close_chain(walk_chain* chain) {
    while (chain->count > 0) CloseHandle(chain->handles[--chain->count]);
}

static HANDLE open_itself(const os_char* path) {
    return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

static bool is_missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The length of the part of an absolute path that names its volume, with
// its separator: "C:\", "\\server\share\"; 0 for any other path.
static size_t root_length(const os_char* path) {
    if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') return 3;
    if (path[0] != L'\\' || path[1] != L'\\' || path[2] == L'?') return 0;
    const os_char* share = wcschr(path + 2, L'\\');
    const os_char* end = share == nullptr ? nullptr : wcschr(share + 1, L'\\');
    return end == nullptr ? 0 : (size_t)(end - path) + 1;
}

static os_walk_result walk(os_char* path, size_t capacity, bool create, bool own_last, int links,
                           walk_chain* chain, HANDLE* last);

// Where the trusted link `link` leads, walked like any path; nothing is
// created on a link's way. `real` receives that place's path.
static os_walk_result follow_link(const os_char* link, int links, walk_chain* chain, os_char* real,
                                  size_t capacity) {
    if (links > links_max) return OS_WALK_REFUSED;
    HANDLE target = CreateFileW(link, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return OS_WALK_REFUSED;
    DWORD length = GetFinalPathNameByHandleW(target, real, (DWORD)capacity, 0);
    CloseHandle(target);
    if (length == 0 || length >= capacity) return OS_WALK_REFUSED;
    strip_extended_prefix(real);
    HANDLE reached;
    os_walk_result result = walk(real, capacity, false, false, links, chain, &reached);
    if (result == OS_WALK_FOUND && chain->count == chain_max) {
        CloseHandle(reached);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        result = OS_WALK_FAILED;
    }
    if (result == OS_WALK_FOUND) chain->handles[chain->count++] = reached;
    return result == OS_WALK_MISSING ? OS_WALK_REFUSED : result;
}

// Walks `path` from its volume's root. The handle of the last directory is
// left in *last, those above it in the chain. On refusal `path` is cut
// after the component refused.
static os_walk_result walk(os_char* path, size_t capacity, bool create, bool own_last, int links,
                           walk_chain* chain, HANDLE* last) {
    size_t root = root_length(path);
    size_t length = wcslen(path);
    if (root == 0 || length >= capacity) {
        SetLastError(ERROR_BAD_PATHNAME);
        return OS_WALK_FAILED;
    }
    // The directories opened so far, as the system reaches them: a link
    // walked is replaced by where it leads.
    os_char* real = (os_char*)malloc(capacity * sizeof(os_char));
    if (real == nullptr) return OS_WALK_FAILED;
    memcpy(real, path, root * sizeof(os_char));
    real[root] = 0;
    size_t real_length = root;
    HANDLE current = open_itself(real);
    os_walk_result result = OS_WALK_FOUND;
    if (current == INVALID_HANDLE_VALUE) result = OS_WALK_FAILED;
    else if (!security_trusted(current, false)) result = OS_WALK_REFUSED;
    size_t at = root;
    while (result == OS_WALK_FOUND && at < length) {
        size_t end = at;
        while (end < length && path[end] != L'\\') end++;
        bool is_last = end == length;
        if (end == at) {
            at++;
            continue;
        }
        // Room for this directory, and for a link's and where it leads.
        if (chain->count + 3 > chain_max || real_length + 1 + (end - at) >= capacity) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            result = OS_WALK_FAILED;
            break;
        }
        chain->handles[chain->count++] = current;
        current = INVALID_HANDLE_VALUE;
        if (real[real_length - 1] != L'\\') real[real_length++] = L'\\';
        memcpy(real + real_length, path + at, (end - at) * sizeof(os_char));
        real_length += end - at;
        real[real_length] = 0;
        HANDLE next = open_itself(real);
        if (next == INVALID_HANDLE_VALUE && is_missing(GetLastError()) && create && !is_last) {
            // Whoever made it in the meantime, what is there is checked.
            if (os_create_directory(real, true) == OS_DIR_FAILED) {
                result = OS_WALK_FAILED;
                break;
            }
            next = open_itself(real);
        }
        if (next == INVALID_HANDLE_VALUE) {
            // Only the last directory may be missing.
            result = is_missing(GetLastError()) && is_last ? OS_WALK_MISSING : OS_WALK_FAILED;
            break;
        }
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(next, &information)) {
            CloseHandle(next);
            result = OS_WALK_FAILED;
            break;
        }
        bool is_link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        bool is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_link && !is_last && owner_trusted(next)) {
            chain->handles[chain->count++] = next;
            result = follow_link(real, links + 1, chain, real, capacity);
            real_length = wcslen(real);
            current = result == OS_WALK_FOUND ? chain->handles[--chain->count] : INVALID_HANDLE_VALUE;
        } else {
            current = next;
            if (is_link || !is_directory || !security_trusted(current, is_last && own_last)) result = OS_WALK_REFUSED;
        }
        if (result == OS_WALK_REFUSED) path[end] = 0;
        at = end + 1;
    }
    free(real);
    if (result == OS_WALK_FOUND) {
        *last = current;
        return result;
    }
    DWORD error = GetLastError();
    if (current != INVALID_HANDLE_VALUE) CloseHandle(current);
    SetLastError(error);
    return result;
}

os_walk_result os_open_cached_directory(os_char* path, size_t capacity, bool create, os_file* last) {
    walk_chain* chain = (walk_chain*)malloc(sizeof(walk_chain));
    if (chain == nullptr) return OS_WALK_FAILED;
    chain->count = 0;
    HANDLE reached = INVALID_HANDLE_VALUE;
    os_walk_result result = walk(path, capacity, create, true, 0, chain, &reached);
    DWORD error = GetLastError();
    close_chain(chain);
    free(chain);
    *last = result == OS_WALK_FOUND ? reached : OS_INVALID_FILE;
    SetLastError(error);
    return result;
}

bool os_file_has_size(os_file, const os_char* path, size_t, uint64_t size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    return (((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size;
}

// Every start holds the file open for reading with read sharing only; a
// reclaimer's open without any sharing fails while one does, and keeps
// starts out (sharing violation) while it removes the version: they wait.
// Not inheritable: the child takes its own.
os_file os_version_lock(const os_char* path) {
    for (int waited_ms = 0;; waited_ms += 10) {
        HANDLE lock = CreateFileW(path, FILE_READ_DATA | FILE_WRITE_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (lock != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION information;
            if (!GetFileInformationByHandle(lock, &information) ||
                (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                !security_trusted(lock, true)) {
                CloseHandle(lock);
                return OS_INVALID_FILE;
            }
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            SetFileTime(lock, nullptr, nullptr, &now);
            return lock;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || waited_ms > 600000) return OS_INVALID_FILE;
        Sleep(10);
    }
}

int64_t os_file_time(os_file file) {
    FILETIME written;
    if (!GetFileTime(file, nullptr, nullptr, &written)) return 0;
    return (int64_t)(((uint64_t)written.dwHighDateTime << 32) | written.dwLowDateTime);
}

// Without MOVEFILE_REPLACE_EXISTING, MoveFileExW never replaces what exists
// at the new name; MOVEFILE_WRITE_THROUGH returns only once the rename is on
// the disk.
os_rename_result os_rename_no_replace(const os_char* from, const os_char* to) {
    if (MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH)) return OS_RENAMED;
    DWORD error = GetLastError();
    bool exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ||
                  (GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES);
    SetLastError(error);
    return exists ? OS_RENAME_EXISTS : OS_RENAME_FAILED;
}

bool os_rename_replace(const os_char* from, const os_char* to) {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool os_sync_below(const os_char*) { return true; }

bool os_file_flush(os_file file) { return FlushFileBuffers(file) != FALSE; }
