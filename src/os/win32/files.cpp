// Files and directories of the target directory.
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// The security of an owner-only directory: a protected DACL, so that nothing
// is inherited from the (possibly shared) temporary folder, with one entry
// that grants the current user everything and is inherited by every file and
// directory created below. Nobody else can then add or replace a library that
// the child would load. The buffers are the caller's to free.
struct owner_only_security {
    TOKEN_USER* user;
    ACL* acl;
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

static void release_security(owner_only_security* security) {
    free(security->user);
    free(security->acl);
}

void* token_information(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    void* information = size != 0 ? malloc(size) : nullptr;
    if (information != nullptr && !GetTokenInformation(token, kind, information, size, &size)) {
        free(information);
        information = nullptr;
    }
    CloseHandle(token);
    return information;
}

static bool build_owner_only_security(owner_only_security* security) {
    security->acl = nullptr;
    security->user = (TOKEN_USER*)token_information(TokenUser);
    if (security->user == nullptr) return false;

    PSID sid = security->user->User.Sid;
    DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    security->acl = (ACL*)malloc(acl_size);
    if (security->acl == nullptr) return false;
    if (!InitializeAcl(security->acl, acl_size, ACL_REVISION)) return false;
    if (!AddAccessAllowedAceEx(security->acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               GENERIC_ALL, sid)) {
        return false;
    }
    if (!InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION)) return false;
    if (!SetSecurityDescriptorDacl(&security->descriptor, TRUE, security->acl, FALSE)) return false;
    if (!SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return false;
    security->attributes.nLength = sizeof security->attributes;
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return true;
}

// A file, not only a directory, at `path` also reports ERROR_ALREADY_EXISTS;
// the failure then shows when a file below it is opened. An owner-only
// directory whose security cannot be built is not created at all, rather
// than created open to others.
os_dir_result os_create_directory(const os_char* path, bool owner_only) {
    BOOL created;
    if (owner_only) {
        owner_only_security security;
        if (!build_owner_only_security(&security)) {
            release_security(&security);
            return OS_DIR_FAILED;
        }
        created = CreateDirectoryW(path, &security.attributes);
        DWORD error = GetLastError();
        release_security(&security);
        SetLastError(error);
    } else {
        created = CreateDirectoryW(path, nullptr);
    }
    if (created) return OS_DIR_CREATED;
    return GetLastError() == ERROR_ALREADY_EXISTS ? OS_DIR_EXISTS : OS_DIR_FAILED;
}

bool os_is_directory(const os_char* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The shell deletes the tree silently (FOF_SILENT | FOF_NOCONFIRMATION |
// FOF_NOERRORUI, 0x414) and for good: without FOF_ALLOWUNDO nothing goes to
// the recycle bin. pFrom is a list of names ended by an empty one, so the
// path is followed by two NULs. The result is not examined: the caller looks
// at what is left on disk instead.
void os_remove_tree(const os_char* path) {
    typedef int(WINAPI * file_operation_function)(SHFILEOPSTRUCTW*);
    file_operation_function operation =
        (file_operation_function)(void (*)(void))shell32_function("SHFileOperationW");
    if (operation == nullptr) return;
    size_t length = wcslen(path);
    os_char* list = (os_char*)calloc(length + 2, sizeof(os_char));
    if (list == nullptr) return;
    memcpy(list, path, length * sizeof(os_char));
    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = list;
    request.pTo = L"";
    request.fFlags = 0x414;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    operation(&request);
    free(list);
}

os_file os_file_create(const os_char* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
}

// One WriteFile call per request: the reader hands over pieces that fit a
// DWORD, and a synchronous write to a local file writes all of it or fails.
bool os_file_write(os_file file, const void* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, (DWORD)size, &written, nullptr) != FALSE;
}

void os_file_close(os_file file) { CloseHandle(file); }
