// The attached data as talvor_add_onefile links it in: symbols of the
// executable's read-only data, defined by the source that it generates.
#include "launcher/attached_blob.h"

extern "C" const unsigned char talvor_attached_data[];
extern "C" const uint64_t talvor_attached_size;
extern "C" const os_char talvor_target_spec[];
extern "C" const unsigned char talvor_cache_key[];

const unsigned char* attached_data;
uint64_t attached_data_size;
const os_char* attached_target_spec;
const unsigned char* attached_cache_key;

void locate_attached(void) {
    attached_data = talvor_attached_data;
    attached_data_size = talvor_attached_size;
    attached_target_spec = talvor_target_spec;
    attached_cache_key = talvor_cache_key;
}
