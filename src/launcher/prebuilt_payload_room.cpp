// The room for the payload of a prebuilt Linux launcher: one read-only byte
// in a section of its own, which the linker script prebuilt_payload.ld puts
// alone in the image's last loadable segment. talvor-pack grows that segment
// over the payload and points the descriptor at it (attached/prebuilt.h);
// nothing here reads the byte.
__attribute__((section(".talvor_payload"), used)) static const unsigned char payload_room = 0;
