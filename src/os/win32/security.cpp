// Who may do what to a directory: the owners the launcher trusts, and the
// access that a directory's DACL leaves to everybody else.
#include <windows.h>

#include <aclapi.h>
#include <stdlib.h>

#include "os/os.h"
#include "os/win32/win32.h"

// The SIDs an object of the user's may carry as owner (the user, and the
// token's default owner: the Administrators group for an elevated
// administrator), and those of the system's own accounts, which may do
// anything anyway. Filled on first use and kept for the process's life.
static TOKEN_USER* user;
static TOKEN_OWNER* default_owner;
static PSID system_sid, administrators_sid, trusted_installer_sid;

static bool load_sids(void) {
    if (user != nullptr && default_owner != nullptr && system_sid != nullptr && administrators_sid != nullptr &&
        trusted_installer_sid != nullptr) {
        return true;
    }
    if (user == nullptr) user = (TOKEN_USER*)token_information(TokenUser);
    if (default_owner == nullptr) default_owner = (TOKEN_OWNER*)token_information(TokenOwner);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (system_sid == nullptr) {
        AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system_sid);
    }
    if (administrators_sid == nullptr) {
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &administrators_sid);
    }
    // NT SERVICE\TrustedInstaller, which owns the system's own folders.
    if (trusted_installer_sid == nullptr) {
        AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464, 0, 0,
                                 &trusted_installer_sid);
    }
    return user != nullptr && default_owner != nullptr && system_sid != nullptr && administrators_sid != nullptr &&
           trusted_installer_sid != nullptr;
}

static bool is_user(PSID sid) { return EqualSid(sid, user->User.Sid) || EqualSid(sid, default_owner->Owner); }

static bool is_system(PSID sid) {
    return EqualSid(sid, system_sid) || EqualSid(sid, administrators_sid) || EqualSid(sid, trusted_installer_sid);
}

// What lets somebody remove or replace the directory or an entry in it, or
// give themselves that right.
static const DWORD replace_rights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL;

// Closed: every entry that allows access names the user or the system's
// accounts. Guarded: entries for anybody else may allow reading, listing
// and adding entries, but none of replace_rights; entries that only pass on
// to objects created below (inherit-only) do not count.
static bool dacl_allows(ACL* dacl, bool closed) {
    if (dacl == nullptr) return false;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER* header;
        if (!GetAce(dacl, i, (void**)&header)) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (!closed && (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        ACCESS_ALLOWED_ACE* ace = (ACCESS_ALLOWED_ACE*)header;
        PSID sid = &ace->SidStart;
        if (is_user(sid) || is_system(sid)) continue;
        if (closed || (ace->Mask & replace_rights) != 0) return false;
    }
    return true;
}

bool security_trusted(HANDLE object, bool own) {
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!load_sids() || GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl, nullptr,
                                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool owner_ok = owner != nullptr && (is_user(owner) || (!own && is_system(owner)));
    bool trusted = owner_ok && dacl_allows(dacl, own);
    LocalFree(descriptor);
    return trusted;
}

bool owner_trusted(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!load_sids() || GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool trusted = owner != nullptr && (is_user(owner) || is_system(owner));
    LocalFree(descriptor);
    return trusted;
}
