// Completing a prebuilt Windows launcher (PE32+).
#include "executable_writer.h"

namespace pack {

bool complete_pe(std::vector<unsigned char>*, size_t, const payload_layout&, const executable_options&,
                 std::string* error) {
    *error = "Windows launchers cannot be completed yet";
    return false;
}

} // namespace pack
