// Helpers of the Windows layer that its tests reach as well.
#pragma once

#include "os/os.h"

// In place: \\?\C:\... becomes C:\..., \\?\UNC\server\... becomes
// \\server\...; any other path stays as it is.
void strip_extended_prefix(os_char* path);
