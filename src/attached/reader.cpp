#include "attached/reader.h"

#include <stdlib.h>
#include <zstd.h>

#include "attached/format.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "os/os.h"

const unsigned char* attached_cursor;
size_t attached_length;
bool attached_data_in_image;

// Owned by the main thread from open_attached_data to close_attached_data.
static ZSTD_DCtx* decoder;
static ZSTD_inBuffer decoder_input;
// Between decoder calls, `size` is the number of decoded bytes held and `pos`
// the next one to hand out; during a call they are the buffer's capacity and
// the bytes produced.
static ZSTD_outBuffer decoded;
static unsigned char* decoded_buffer;
// How much of the decoder's input has been handed back to the system.
static size_t input_released;
// Consumed input is released in steps of this size, so that the attached
// data does not stay resident after the decoder has read it.
static const size_t release_step = 256 << 10;

void open_attached_data(void) {
    for (size_t i = 0; i < attached_magic_size; i++) {
        if (attached_length <= i || attached_cursor[i] != attached_magic[i]) fatal_error(MSG_NO_HEADER);
    }
    attached_cursor += attached_magic_size;
    decoded_buffer = (unsigned char*)malloc(decoded_buffer_size);
    if (decoded_buffer == nullptr) fatal_error(MSG_NO_MEMORY);
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) fatal_error(MSG_NO_MEMORY);
    decoder_input.src = attached_cursor;
    decoder_input.size = attached_length - attached_magic_size;
    decoder_input.pos = 0;
    input_released = 0;
    decoded.dst = decoded_buffer;
    decoded.size = 0;
    decoded.pos = 0;
}

void read_attached(void* destination, size_t count) {
    unsigned char* out = (unsigned char*)destination;
    // True when a decoder call of this request filled the whole buffer, so
    // the decoder may hold more output even with its input used up.
    bool filled = false;
    while (count > 0) {
        size_t available = decoded.size - decoded.pos;
        while (available == 0) {
            // Input used up and nothing pending: the archive asks for bytes
            // beyond the frame. Ending here avoids calling the decoder forever.
            if (decoder_input.pos >= decoder_input.size && !filled) fatal_error(MSG_DECODE);
            decoded.size = decoded_buffer_size;
            decoded.pos = 0;
            size_t result = ZSTD_decompressStream(decoder, &decoded, &decoder_input);
            if (ZSTD_isError(result)) fatal_error(MSG_DECODE);
            if (attached_data_in_image && decoder_input.pos - input_released >= release_step) {
                os_discard_read_pages((const unsigned char*)decoder_input.src + input_released,
                                      decoder_input.pos - input_released);
                input_released = decoder_input.pos;
            }
            filled = decoded.pos == decoded_buffer_size;
            decoded.size = decoded.pos;
            decoded.pos = 0;
            available = decoded.size;
        }
        size_t take = available < count ? available : count;
        memcpy(out, decoded_buffer + decoded.pos, take);
        decoded.pos += take;
        out += take;
        count -= take;
    }
}

void close_attached_data(void) {
    ZSTD_freeDCtx(decoder);
    free(decoded_buffer);
    decoder = nullptr;
    decoded_buffer = nullptr;
}
