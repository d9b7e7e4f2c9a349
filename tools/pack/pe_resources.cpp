#include "pe_resources.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "executable_writer.h"
#include "names.h"

namespace fs = std::filesystem;

namespace pack {

namespace {

// Resource types, and the one language of every resource: U.S. English,
// the language of the version information's string table 040904B0.
const uint16_t rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24;
const uint16_t language_en_us = 0x0409;

struct resource {
    uint16_t type;
    uint16_t id;
    std::vector<unsigned char> bytes;
};

void put16(std::vector<unsigned char>* out, uint32_t value) {
    out->push_back((unsigned char)value);
    out->push_back((unsigned char)(value >> 8));
}

void put32(std::vector<unsigned char>* out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void set16(std::vector<unsigned char>* out, size_t at, uint32_t value) {
    (*out)[at] = (unsigned char)value;
    (*out)[at + 1] = (unsigned char)(value >> 8);
}

uint32_t get16(const std::vector<unsigned char>& in, size_t at) { return in[at] | (uint32_t)in[at + 1] << 8; }
uint32_t get32(const std::vector<unsigned char>& in, size_t at) { return get16(in, at) | get16(in, at + 2) << 16; }

void pad4(std::vector<unsigned char>* out) {
    while (out->size() % 4 != 0) out->push_back(0);
}

// An .ico file holds a directory of 16-byte entries, each with the offset of
// its image in the file. In an executable every image is an RT_ICON
// resource of its own, numbered from 1, and the group (RT_GROUP_ICON 1)
// repeats the directory with 14-byte entries that end in the image's id
// instead of its offset.
bool icon_resources(const std::vector<unsigned char>& ico, const std::string& name, std::vector<resource>* out,
                    std::string* error) {
    size_t count = ico.size() >= 6 ? get16(ico, 4) : 0;
    if (ico.size() < 6 || get16(ico, 0) != 0 || get16(ico, 2) != 1 || count == 0 || ico.size() < 6 + 16 * count) {
        *error = name + ": not an icon file (no icon directory with at least one image)";
        return false;
    }
    resource group{rt_group_icon, 1, {}};
    put16(&group.bytes, 0);
    put16(&group.bytes, 1);
    put16(&group.bytes, (uint32_t)count);
    for (size_t i = 0; i < count; i++) {
        size_t entry = 6 + 16 * i;
        uint32_t size = get32(ico, entry + 8), offset = get32(ico, entry + 12);
        if (size == 0 || offset > ico.size() || size > ico.size() - offset) {
            *error = name + ": icon image " + std::to_string(i + 1) + " lies outside the file";
            return false;
        }
        group.bytes.insert(group.bytes.end(), ico.begin() + entry, ico.begin() + entry + 12);
        put16(&group.bytes, (uint32_t)(i + 1));
        out->push_back({rt_icon, (uint16_t)(i + 1), {ico.begin() + offset, ico.begin() + offset + size}});
    }
    out->push_back(group);
    return true;
}

// "a[.b[.c[.d]]]", each a decimal number up to 65535, as the two 32-bit
// halves of VS_FIXEDFILEINFO.
bool parse_version(const std::string& text, uint32_t* high, uint32_t* low) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t count = 0, at = 0;
    while (true) {
        size_t end = text.find('.', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (count == 4 || part.empty() || part.size() > 5 ||
            part.find_first_not_of("0123456789") != std::string::npos || std::stoul(part) > 65535)
            return false;
        parts[count++] = (uint32_t)std::stoul(part);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    *high = parts[0] << 16 | parts[1];
    *low = parts[2] << 16 | parts[3];
    return true;
}

// One node of a version resource: its length, the length of its value, its
// type (1: text, 0: binary), its key in UTF-16 with the terminator, then
// the value and the children, each starting on a 4-byte boundary. A text
// value's length counts UTF-16 units with the terminator, a binary one's
// bytes.
std::vector<unsigned char> version_node(const std::u16string& key, const std::vector<unsigned char>& value,
                                        uint32_t value_length, bool text,
                                        const std::vector<std::vector<unsigned char>>& children) {
    std::vector<unsigned char> node;
    put16(&node, 0);
    put16(&node, value_length);
    put16(&node, text ? 1 : 0);
    for (char16_t unit : key) put16(&node, unit);
    put16(&node, 0);
    pad4(&node);
    node.insert(node.end(), value.begin(), value.end());
    for (const auto& child : children) {
        pad4(&node);
        node.insert(node.end(), child.begin(), child.end());
    }
    set16(&node, 0, (uint32_t)node.size());
    return node;
}

std::vector<unsigned char> text_node(const std::u16string& key, const std::u16string& value) {
    std::vector<unsigned char> bytes;
    for (char16_t unit : value) put16(&bytes, unit);
    put16(&bytes, 0);
    return version_node(key, bytes, (uint32_t)value.size() + 1, true, {});
}

bool version_resource(const executable_options& options, resource* out, std::string* error) {
    const version_info& v = options.version;
    std::string file_version = v.file_version.empty() ? v.product_version : v.file_version;
    uint32_t fixed[4] = {0, 0, 0, 0};
    const struct {
        const char* option;
        const std::string* text;
        uint32_t* halves;
    } numbers[] = {{"--file-version", &file_version, fixed}, {"--product-version", &v.product_version, fixed + 2}};
    for (const auto& n : numbers) {
        if (!n.text->empty() && !parse_version(*n.text, n.halves, n.halves + 1)) {
            *error = std::string(n.option) + " \"" + *n.text + "\": a version is a[.b[.c[.d]]], numbers up to 65535";
            return false;
        }
    }
    fs::path output = fs::u8path(options.output);
    std::string original = v.original_filename.empty() ? output.filename().u8string() : v.original_filename;
    const std::pair<const char16_t*, std::string> strings[] = {
        {u"CompanyName", v.company},          {u"FileDescription", v.description},
        {u"FileVersion", file_version},       {u"InternalName", fs::u8path(original).stem().u8string()},
        {u"LegalCopyright", v.copyright},     {u"OriginalFilename", original},
        {u"ProductName", v.product_name},     {u"ProductVersion", v.product_version},
    };
    std::vector<std::vector<unsigned char>> table;
    for (const auto& s : strings) {
        std::u16string value;
        if (s.second.empty()) continue;
        if (!utf8_to_utf16(s.second, &value)) {
            *error = "the version text \"" + s.second + "\" is not valid UTF-8";
            return false;
        }
        table.push_back(text_node(s.first, value));
    }

    // VS_FIXEDFILEINFO: signature, structure version 1.0, the file and
    // product versions, all flags known and none set, VOS_NT_WINDOWS32,
    // VFT_APP, no subtype and no date.
    std::vector<unsigned char> fixed_info;
    for (uint32_t word : {0xFEEF04BDu, 0x00010000u, fixed[0], fixed[1], fixed[2], fixed[3], 0x3Fu, 0u, 0x00040004u,
                          1u, 0u, 0u, 0u})
        put32(&fixed_info, word);
    std::vector<unsigned char> translation;
    put16(&translation, language_en_us);
    put16(&translation, 1200); // UTF-16LE, code page 0x04B0
    std::vector<unsigned char> none;
    auto strings_node =
        version_node(u"StringFileInfo", none, 0, true, {version_node(u"040904B0", none, 0, true, table)});
    auto var_node = version_node(u"VarFileInfo", none, 0, true,
                                 {version_node(u"Translation", translation, 4, false, {})});
    *out = {rt_version, 1,
            version_node(u"VS_VERSION_INFO", fixed_info, (uint32_t)fixed_info.size(), false, {strings_node, var_node})};
    return true;
}

bool version_given(const version_info& v) {
    return !(v.product_name.empty() && v.product_version.empty() && v.file_version.empty() && v.company.empty() &&
             v.description.empty() && v.copyright.empty() && v.original_filename.empty());
}

// The resource tree: a root directory of types, under each type a directory
// of ids, under each id a directory of one language, whose entry points at a
// data entry (RVA, size, code page). Directory entries sort by id, as the
// loader's binary search expects. An entry's offset with the high bit set
// names a subdirectory; offsets count from the section's start. All
// directories come first, then the data entries, then the data, each piece
// aligned to 8 bytes.
std::vector<unsigned char> resource_tree(std::vector<resource> list, uint32_t rva) {
    std::stable_sort(list.begin(), list.end(), [](const resource& a, const resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    std::vector<uint16_t> types;
    for (const resource& r : list)
        if (types.empty() || types.back() != r.type) types.push_back(r.type);
    const uint32_t directory = 16, entry = 8;
    // Where each piece goes.
    uint32_t at = directory + entry * (uint32_t)types.size();
    std::vector<uint32_t> type_at, id_at, data_entry_at, data_at;
    for (uint16_t type : types) {
        type_at.push_back(at);
        at += directory + entry * (uint32_t)std::count_if(list.begin(), list.end(),
                                                           [&](const resource& r) { return r.type == type; });
    }
    for (size_t i = 0; i < list.size(); i++, at += directory + entry) id_at.push_back(at);
    for (size_t i = 0; i < list.size(); i++, at += 16) data_entry_at.push_back(at);
    for (const resource& r : list) {
        at = (at + 7) & ~7u;
        data_at.push_back(at);
        at += (uint32_t)r.bytes.size();
    }

    std::vector<unsigned char> out;
    auto header = [&](size_t ids) {
        for (int i = 0; i < 3; i++) put32(&out, 0); // characteristics, time stamp, version
        put16(&out, 0);                             // named entries
        put16(&out, (uint32_t)ids);
    };
    header(types.size());
    for (size_t t = 0; t < types.size(); t++) {
        put32(&out, types[t]);
        put32(&out, 0x80000000u | type_at[t]);
    }
    size_t first = 0;
    for (uint16_t type : types) {
        size_t last = first;
        while (last < list.size() && list[last].type == type) last++;
        header(last - first);
        for (size_t i = first; i < last; i++) {
            put32(&out, list[i].id);
            put32(&out, 0x80000000u | id_at[i]);
        }
        first = last;
    }
    for (size_t i = 0; i < list.size(); i++) {
        header(1);
        put32(&out, language_en_us);
        put32(&out, data_entry_at[i]);
    }
    for (size_t i = 0; i < list.size(); i++) {
        put32(&out, rva + data_at[i]);
        put32(&out, (uint32_t)list[i].bytes.size());
        put32(&out, 0); // code page
        put32(&out, 0);
    }
    for (size_t i = 0; i < list.size(); i++) {
        out.resize(data_at[i], 0);
        out.insert(out.end(), list[i].bytes.begin(), list[i].bytes.end());
    }
    return out;
}

} // namespace

bool resource_section(const executable_options& options, uint32_t rva, std::vector<unsigned char>* section,
                      std::string* error) {
    std::vector<resource> list;
    std::vector<unsigned char> icon(default_icon, default_icon + default_icon_size);
    std::string icon_name = "the default icon";
    if (!options.icon.empty()) {
        icon_name = options.icon;
        if (!read_file(fs::u8path(options.icon), &icon, error)) return false;
    }
    if (!icon_resources(icon, icon_name, &list, error)) return false;

    resource manifest{rt_manifest, 1, {default_manifest, default_manifest + default_manifest_size}};
    if (!options.manifest.empty()) {
        if (!read_file(fs::u8path(options.manifest), &manifest.bytes, error)) return false;
        // A manifest is XML: after an optional byte order mark, its first
        // character that is not white space opens a tag.
        size_t start = manifest.bytes.size() >= 3 && manifest.bytes[0] == 0xEF && manifest.bytes[1] == 0xBB &&
                               manifest.bytes[2] == 0xBF
                           ? 3
                           : 0;
        auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (start < manifest.bytes.size() && blank(manifest.bytes[start])) start++;
        if (start >= manifest.bytes.size() || manifest.bytes[start] != '<') {
            *error = options.manifest + ": not an XML manifest (it does not start with '<')";
            return false;
        }
    }
    list.push_back(manifest);

    if (version_given(options.version)) {
        resource version;
        if (!version_resource(options, &version, error)) return false;
        list.push_back(version);
    }
    *section = resource_tree(list, rva);
    return true;
}

} // namespace pack
