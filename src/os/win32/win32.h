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
