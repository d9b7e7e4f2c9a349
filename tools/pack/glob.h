// Shell-style patterns for --exclude.
#pragma once

#include <string>

namespace pack {

// Whether `text` matches `pattern`: '*' any run of characters and '?' one
// character, neither of them a '/'; "[abc]", "[a-z]" and "[!a-z]" (or "[^...]")
// one character of a set; '\\' takes the next character literally. Both are
// UTF-8; '?' and sets take whole characters.
bool glob_match(const std::string& pattern, const std::string& text);

} // namespace pack
