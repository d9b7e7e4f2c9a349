// The attached data that the build links into each onefile executable's
// read-only data (see cmake/TalvorOnefile.cmake).
#pragma once

#include <stdint.h>

extern "C" const unsigned char talvor_attached_data[];
extern "C" const uint64_t talvor_attached_size;
