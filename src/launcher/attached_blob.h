// The attached data of this executable, its target spec and its cache key,
// wherever the build put them: linked in by talvor_add_onefile
// (attached_linked.cpp), or added by talvor-pack to a prebuilt launcher
// (attached_prebuilt.cpp). locate_attached() sets them before anything
// reads them.
#pragma once

#include <stdint.h>

#include "os/os.h"

extern const unsigned char* attached_data;
extern uint64_t attached_data_size;
// The executable's target spec; empty for the launcher's default.
extern const os_char* attached_target_spec;
// The cache key (attached/format.h) of an executable whose target directory
// is cached; a single zero byte otherwise.
extern const unsigned char* attached_cache_key;

void locate_attached(void);
