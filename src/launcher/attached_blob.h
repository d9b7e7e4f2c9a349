// The attached data that the build links into each onefile executable's
// read-only data (see cmake/TalvorOnefile.cmake).
#pragma once

#include <stdint.h>

#include "os/os.h"

extern "C" const unsigned char talvor_attached_data[];
extern "C" const uint64_t talvor_attached_size;
// The executable's target spec; empty for the launcher's default.
extern "C" const os_char talvor_target_spec[];
// The cache key (attached/format.h) of an executable whose target directory
// is cached; a single zero byte otherwise.
extern "C" const unsigned char talvor_cache_key[];
