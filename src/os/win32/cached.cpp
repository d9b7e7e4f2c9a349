// The primitives of a cached target directory: trust, durable data and the
// publishing rename.
#include <windows.h>

#include <aclapi.h>
#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// True when the directory's owner is the user this process runs as.
static bool owned_by_user(const os_char* path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    TOKEN_USER* user = (TOKEN_USER*)token_information(TokenUser);
    bool same = user != nullptr && EqualSid(owner, user->User.Sid) != FALSE;
    free(user);
    LocalFree(descriptor);
    return same;
}

os_dir_trust os_directory_trust(const os_char* path, bool own) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A parent that cannot be asked (the server part of a UNC path) is
        // nothing the launcher creates or relies on.
        DWORD error = GetLastError();
        bool missing = !own || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? OS_DIR_MISSING : OS_DIR_UNTRUSTED;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return OS_DIR_UNTRUSTED;
    if (!own) return OS_DIR_TRUSTED;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return OS_DIR_UNTRUSTED;
    return owned_by_user(path) ? OS_DIR_TRUSTED : OS_DIR_UNTRUSTED;
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

bool os_sync_below(const os_char*) { return true; }

bool os_file_flush(os_file file) { return FlushFileBuffers(file) != FALSE; }
