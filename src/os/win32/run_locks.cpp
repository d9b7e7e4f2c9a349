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

#include <aclapi.h>
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

// The current user's SIDs that an object it creates may carry as owner:
// the user itself, and the token's default owner (the Administrators group
// for an elevated administrator). Heap copies, freed by the caller.
static bool own_sids(TOKEN_USER** user, TOKEN_OWNER** owner) {
    *user = (TOKEN_USER*)token_information(TokenUser);
    *owner = (TOKEN_OWNER*)token_information(TokenOwner);
    return *user != nullptr && *owner != nullptr;
}

// Closed to others: every entry that allows access names the user, or the
// system or the administrators, who may access everything anyway. The
// launcher's own directories carry one entry for the user; a directory that
// grants a group or everybody access is not one of them.
static bool closed_to_others(ACL* dacl, PSID user) {
    if (dacl == nullptr) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, administrators = nullptr;
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    bool closed = system != nullptr && administrators != nullptr;
    for (DWORD i = 0; closed && i < dacl->AceCount; i++) {
        ACE_HEADER* header;
        if (!GetAce(dacl, i, (void**)&header)) closed = false;
        else if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        else if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) closed = false;
        else {
            PSID sid = &((ACCESS_ALLOWED_ACE*)header)->SidStart;
            closed = EqualSid(sid, user) || EqualSid(sid, system) || EqualSid(sid, administrators);
        }
    }
    if (system != nullptr) FreeSid(system);
    if (administrators != nullptr) FreeSid(administrators);
    return closed;
}

bool os_is_private_directory(const os_char* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    TOKEN_USER* user;
    TOKEN_OWNER* default_owner;
    bool result = false;
    if (own_sids(&user, &default_owner)) {
        PSID owner = nullptr;
        ACL* dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &owner, nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
            bool ours = owner != nullptr && (EqualSid(owner, user->User.Sid) || EqualSid(owner, default_owner->Owner));
            result = ours && closed_to_others(dacl, user->User.Sid);
            LocalFree(descriptor);
        }
    }
    free(user);
    free(default_owner);
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
