// Completing a prebuilt Linux launcher (ELF64).
#include "executable_writer.h"

namespace pack {

bool complete_elf(std::vector<unsigned char>*, size_t, const payload_layout&, std::string* error) {
    *error = "Linux launchers cannot be completed yet";
    return false;
}

} // namespace pack
