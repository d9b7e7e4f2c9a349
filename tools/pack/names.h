// Rules for archive entry names, and the conversions between the archive's
// UTF-16 names and the file system's names.
#pragma once

#include <filesystem>
#include <string>

namespace pack {

// UTF-8 to UTF-16. False when `text` is not well-formed UTF-8.
bool utf8_to_utf16(const std::string& text, std::u16string* out);
// UTF-16 to UTF-8. An unpaired surrogate becomes its own three-byte
// sequence, as the Linux launcher converts it, so no name is lost.
std::string utf16_to_utf8(const std::u16string& text);

// The rule that `name` breaks, or an empty string when the launcher can
// unpack it safely: relative, backslash-separated, no empty, "." or ".."
// component (nor one of dots and blanks only, which Windows trims to one of
// those), no drive letter or other colon, no forward slash, at most 1023
// code units.
std::string name_rule_broken(const std::u16string& name);

// The rule of Windows' file names that `name` breaks, or an empty string:
// no component ends in a dot or a blank (Windows drops them, so "file." and
// "file" are one), none is a device name with or without an extension (CON,
// PRN, AUX, NUL, COM0-9, LPT0-9, also with the superscript digits 1-3), and
// no character is one of <>:"|?* or a control character.
std::string windows_rule_broken(const std::u16string& name);

// The archive name of a name given on the command line (UTF-8, with '/' or
// '\\' between components). An empty text or "." gives an empty name.
// Returns the broken rule of a non-empty name, or an empty string.
std::string archive_name_of_text(const std::string& text, std::u16string* name);

// A simple case fold (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic),
// enough to find names that a case-insensitive file system would merge. It
// depends on no locale, so every machine finds the same duplicates.
std::u16string fold_case(const std::u16string& name);

// The archive name of a relative path: its components joined with
// backslashes. Returns the broken rule, or an empty string.
std::string archive_name_of(const std::filesystem::path& relative, std::u16string* name);

// The path below `directory` where an archive name is unpacked.
std::filesystem::path path_of_archive_name(const std::filesystem::path& directory, const std::u16string& name);

// For messages: a path in UTF-8.
std::string display(const std::filesystem::path& path);

} // namespace pack
