// The attached data of a prebuilt launcher that talvor-pack completed: the
// descriptor in read-only data says where the payload lies, relative to the
// descriptor itself (attached/prebuilt.h).
#include <string.h>

#include "attached/format.h"
#include "attached/prebuilt.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "launcher/attached_blob.h"

#ifndef TALVOR_VERSION
#error "the prebuilt launcher is built with its version"
#endif

// The placeholder, as linked. talvor-pack finds it by its magic and fills in
// the state and the distances in the executable that it writes.
extern "C" const prebuilt_descriptor talvor_prebuilt_descriptor;
extern "C" __attribute__((used)) const prebuilt_descriptor talvor_prebuilt_descriptor = {
    {PREBUILT_MAGIC_BYTES},
    TALVOR_VERSION,
    prebuilt_placeholder,
    0,
    0,
    0,
    0,
    0,
    0};

const unsigned char* attached_data;
uint64_t attached_data_size;
const os_char* attached_target_spec;
const unsigned char* attached_cache_key;

void locate_attached(void) {
    // The compiler knows the placeholder's values; through a pointer that it
    // cannot follow, every field is read from the image as it was written.
    const prebuilt_descriptor* descriptor = &talvor_prebuilt_descriptor;
    __asm__("" : "+r"(descriptor));
    const unsigned char* base = (const unsigned char*)descriptor;
    // A launcher that was never completed, or whose payload moved (a
    // resource editor that rewrote the sections after talvor-pack), has no
    // attached data where the descriptor points. Nothing outside the image
    // is read, and nothing is used before the payload proved whole: the
    // attached data's magic and trailing length where they belong, and the
    // spec's terminator just before the key.
    if (descriptor->state != prebuilt_completed) fatal_error(MSG_NO_HEADER);
    int64_t start = descriptor->data, end = descriptor->end, spec = descriptor->spec, key = descriptor->key;
    uint64_t size = descriptor->data_size;
    if (start <= 0 || end <= start || size < attached_magic_size + attached_trailer_size ||
        (uint64_t)(spec - start) < size || key - spec < (int64_t)sizeof(os_char) || key >= end ||
        spec % (int64_t)sizeof(os_char) != 0 || !os_image_holds(base + start, (uint64_t)(end - start))) {
        fatal_error(MSG_NO_HEADER);
    }
    const unsigned char* data = base + start;
    uint64_t trailing = 0;
    for (int i = 7; i >= 0; i--) trailing = (trailing << 8) | data[size - attached_trailer_size + i];
    if (memcmp(data, attached_magic, attached_magic_size) != 0 || trailing != size - attached_trailer_size ||
        ((const os_char*)(base + key))[-1] != 0) {
        fatal_error(MSG_NO_HEADER);
    }
    attached_data = data;
    attached_data_size = size;
    attached_target_spec = (const os_char*)(base + spec);
    attached_cache_key = base + key;
}
