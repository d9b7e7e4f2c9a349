// SHA-256 (FIPS 180-4), for the digest that names a cached target directory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace pack {

class sha256 {
  public:
    sha256();
    void update(const void* data, size_t size);
    // The digest in lower-case hexadecimal, 64 characters; ends the use.
    std::string hex();

  private:
    void block(const unsigned char* data);
    uint32_t state_[8];
    unsigned char buffer_[64];
    size_t buffered_ = 0;
    uint64_t length_ = 0;
};

} // namespace pack
