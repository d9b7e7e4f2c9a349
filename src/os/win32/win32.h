// Helpers of the Windows layer that its tests reach as well.
#pragma once

#include <windows.h>

#include "os/os.h"

// In place: \\?\C:\... becomes C:\..., \\?\UNC\server\... becomes
// \\server\...; any other path stays as it is.
void strip_extended_prefix(os_char* path);

// The current process token's information of `kind` (TokenUser,
// TokenOwner ...) in a heap buffer that the caller frees; null on failure.
void* token_information(TOKEN_INFORMATION_CLASS kind);

// `name` from SHELL32, which is loaded on the first call; null when either
// cannot be had.
FARPROC shell32_function(const char* name);

// With `own`, the object is the user's own and closed to everybody else;
// without, it is owned by the user or the system's accounts and nobody else
// may remove or replace it or what it holds.
bool security_trusted(HANDLE object, bool own);
// The object's owner is the user or one of the system's accounts.
bool owner_trusted(HANDLE object);
