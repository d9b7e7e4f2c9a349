#include "names.h"

#include "attached/entry_names.h"
#include "attached/format.h"

namespace pack {

bool utf8_to_utf16(const std::string& text, std::u16string* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = (unsigned char)text[i];
        uint32_t c;
        size_t length;
        if (lead < 0x80) {
            c = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1F;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; k++) {
            unsigned char next = (unsigned char)text[i + k];
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, encoded surrogates and values past U+10FFFF are
        // not UTF-8.
        if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF))) return false;
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        if (c >= 0x10000) {
            out->push_back((char16_t)(0xD800 + ((c - 0x10000) >> 10)));
            out->push_back((char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out->push_back((char16_t)c);
        }
        i += length;
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string& text) {
    std::string out(3 * text.size(), '\0');
    out.resize(entry_name_to_utf8(text.data(), text.size(), '\\', &out[0]));
    return out;
}

// The launcher's own rule of unsafe names, behind the rules of a well-formed
// name that only the producer enforces.
std::string name_rule_broken(const std::u16string& name) {
    if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) return "the name is not a relative path";
    for (char16_t unit : name) {
        if (unit == u':') return "the name contains a colon (drive letter or stream name)";
        if (unit == u'/') return "the name contains a forward slash";
        if (unit == 0) return "the name contains a NUL character";
    }
    const char* unsafe = entry_name_unsafe(name.data(), name.size());
    return unsafe != nullptr ? unsafe : "";
}

static bool is_device_name(const std::u16string& component) {
    // Windows reads a device in the part before the first dot, trailing
    // blanks ignored: "nul.txt" and "com1 .log" are devices too.
    size_t end = component.find(u'.');
    if (end == std::u16string::npos) end = component.size();
    while (end > 0 && component[end - 1] == u' ') end--;
    std::u16string base = fold_case(component.substr(0, end));
    if (base == u"con" || base == u"prn" || base == u"aux" || base == u"nul") return true;
    if (base.size() != 4 || (base.compare(0, 3, u"com") != 0 && base.compare(0, 3, u"lpt") != 0)) return false;
    char16_t digit = base[3];
    return (digit >= u'0' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

std::string windows_rule_broken(const std::u16string& name) {
    for (char16_t unit : name) {
        if (unit < 0x20) return "the name contains a control character, which Windows does not allow";
        if (unit == u'<' || unit == u'>' || unit == u':' || unit == u'"' || unit == u'|' || unit == u'?' || unit == u'*')
            return std::string("the name contains '") + (char)unit + "', which Windows does not allow";
    }
    size_t start = 0;
    for (;;) {
        size_t end = name.find(u'\\', start);
        if (end == std::u16string::npos) end = name.size();
        std::u16string component = name.substr(start, end - start);
        if (!component.empty() && (component.back() == u'.' || component.back() == u' '))
            return "'" + utf16_to_utf8(component) + "' ends in a dot or a blank, which Windows drops";
        if (is_device_name(component))
            return "'" + utf16_to_utf8(component) + "' is a device name on Windows";
        if (end == name.size()) return "";
        start = end + 1;
    }
}

std::string archive_name_of_text(const std::string& text, std::u16string* name) {
    if (!utf8_to_utf16(text, name)) return "the name is not valid UTF-8";
    for (char16_t& unit : *name) {
        if (unit == u'/') unit = u'\\';
    }
    while (!name->empty() && name->back() == u'\\') name->pop_back();
    if (name->empty() || *name == u".") {
        name->clear();
        return "";
    }
    return name_rule_broken(*name);
}

static char16_t fold_unit(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? (char16_t)(c + 0x20) : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return (char16_t)(c + 0x20);
    if (c == 0x178) return 0xFF;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper and lower case letters as neighbours;
        // the pairs start on even code points except in two runs.
        bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (odd_upper ? (c & 1) == 1 : (c & 1) == 0) return (char16_t)(c + 1);
        return c;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return (char16_t)(c + 0x20);
    if (c >= 0x410 && c <= 0x42F) return (char16_t)(c + 0x20);
    if (c >= 0x400 && c <= 0x40F) return (char16_t)(c + 0x50);
    if (c >= 0xFF21 && c <= 0xFF3A) return (char16_t)(c + 0x20); // fullwidth A-Z
    return c;
}

std::u16string fold_case(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& unit : out) unit = fold_unit(unit);
    return out;
}

std::string archive_name_of(const std::filesystem::path& relative, std::u16string* name) {
    name->clear();
    for (const std::filesystem::path& component : relative) {
        std::u16string units;
#ifdef _WIN32
        // Windows names are UTF-16 already.
        std::wstring wide = component.wstring();
        units.assign(wide.begin(), wide.end());
#else
        if (!utf8_to_utf16(component.string(), &units)) return "the name is not valid UTF-8";
        // On Linux a backslash is an ordinary character of a file name, but
        // in the archive it separates components.
        if (units.find(u'\\') != std::u16string::npos) return "the name contains a backslash";
#endif
        if (!name->empty()) name->push_back(u'\\');
        *name += units;
    }
    return name_rule_broken(*name);
}

std::filesystem::path path_of_archive_name(const std::filesystem::path& directory, const std::u16string& name) {
    std::filesystem::path path = directory;
    size_t start = 0;
    for (;;) {
        size_t end = name.find(u'\\', start);
        if (end == std::u16string::npos) end = name.size();
        std::u16string component = name.substr(start, end - start);
#ifdef _WIN32
        path /= std::wstring(component.begin(), component.end());
#else
        path /= utf16_to_utf8(component);
#endif
        if (end == name.size()) return path;
        start = end + 1;
    }
}

std::string display(const std::filesystem::path& path) {
#ifdef _WIN32
    std::wstring wide = path.wstring();
    return utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
#else
    return path.string();
#endif
}

} // namespace pack
