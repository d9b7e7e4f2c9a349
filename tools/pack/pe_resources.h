// The resource section of a completed Windows launcher: the application
// manifest, the icon and the version information, laid out as the loader
// and the resource functions (FindResourceW, GetFileVersionInfoW) read them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "executable_writer.h"

namespace pack {

// The bytes of a complete .rsrc section that will be mapped at `rva`: its
// data entries hold RVAs, so the section cannot move once written. Reads
// options.icon and options.manifest, or takes the launcher's defaults; adds
// RT_VERSION only when options.version holds any text. False with *error on
// an unreadable or malformed icon or manifest, or a malformed version.
bool resource_section(const executable_options& options, uint32_t rva, std::vector<unsigned char>* section,
                      std::string* error);

// The launcher's default icon and manifest, embedded at build time.
extern const unsigned char default_icon[];
extern const size_t default_icon_size;
extern const unsigned char default_manifest[];
extern const size_t default_manifest_size;

} // namespace pack
