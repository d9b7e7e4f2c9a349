// Archive entry names as the launcher and talvor-pack both see them: the
// rule of which names are unsafe to unpack, and the conversion of a name to
// UTF-8. One routine each, so that the producer and the launcher never
// disagree on a name.
#pragma once

#include <stddef.h>

// Why the name of `length` UTF-16 code units cannot be unpacked safely, or
// null when it can. Unsafe: an empty name, one longer than the format
// allows, and a component that is empty or made only of dots and blanks
// ("", ".", "..", "...", ". "), which could name the target directory or one
// above it once Windows trims trailing dots and blanks. Both the backslash
// and the forward slash separate components, as Windows opens a path.
const char* entry_name_unsafe(const char16_t* name, size_t length);

// Converts `length` UTF-16 code units to UTF-8 in `out`, which has room for
// three bytes per unit; no terminator is written. Surrogate pairs combine;
// an unpaired surrogate becomes its own three-byte sequence, so no name is
// refused or merged. Each backslash becomes `backslash_as`. Returns the
// number of bytes written.
size_t entry_name_to_utf8(const char16_t* name, size_t length, char backslash_as, char* out);
