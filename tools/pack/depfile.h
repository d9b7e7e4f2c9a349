// The dependency file of `create --depfile`, in the Makefile syntax that
// compilers write for -MD and that Ninja and Make read.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pack {

// Writes "TARGET: DEPENDENCY..." to `depfile`, through a temporary file
// renamed over it. On failure returns false with the reason in *error.
bool write_depfile(const std::string& depfile, const std::string& target,
                   const std::vector<std::filesystem::path>& dependencies, std::string* error);

// One path in Makefile syntax: a blank as "\ ", '#' as "\#", '$' as "$$".
std::string make_escaped(const std::string& path);

} // namespace pack
