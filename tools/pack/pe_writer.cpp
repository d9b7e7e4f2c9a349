// Completing a prebuilt Windows launcher (PE32+, x86-64).
//
// Two sections are added after the launcher's last one: a new resource
// section (.rsrc) with the manifest, the icon and the version information,
// which the resource directory then names, and the payload (.talvor), last
// in the image, so that nothing the system maps follows it. Both are
// read-only initialized data. The launcher's own sections do not move, so
// its code, relocations and the descriptor stay where the linker put them;
// an old resource section, if any, stays in place unreferenced.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "attached/prebuilt.h"
#include "executable_writer.h"
#include "pe_resources.h"

namespace pack {

namespace {

// IMAGE_FILE_MACHINE_AMD64 and the optional header's magic for PE32+.
const uint32_t machine_amd64 = 0x8664, magic_pe32_plus = 0x20B;
// Offsets in the PE32+ optional header.
const size_t opt_initialized_data = 8, opt_section_alignment = 32, opt_file_alignment = 36, opt_image_size = 56,
             opt_headers_size = 60, opt_checksum = 64, opt_directory_count = 108, opt_directories = 112;
const size_t directory_resource = 2, directory_security = 4;
const size_t section_header_size = 40;
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
const uint32_t read_only_data = 0x40000040;
// Windows maps no image of 2 GiB or more.
const uint64_t image_limit = 0x80000000u;

uint32_t get16(const std::vector<unsigned char>& image, size_t at) { return image[at] | (uint32_t)image[at + 1] << 8; }
uint32_t get32(const std::vector<unsigned char>& image, size_t at) {
    return get16(image, at) | get16(image, at + 2) << 16;
}
void set32(std::vector<unsigned char>* image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) (*image)[at + i] = (unsigned char)(value >> (8 * i));
}

uint64_t align_up(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }
bool power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

struct section {
    std::string name;
    uint32_t virtual_size, rva, raw_size, raw_offset;
};

// The PE checksum (as IMAGE_OPTIONAL_HEADER.CheckSum, computed by
// CheckSumMappedFile): the file's 16-bit little-endian words added with
// their carries folded back in, the checksum field itself taken as zero,
// plus the file's length.
uint32_t pe_checksum(const std::vector<unsigned char>& image, size_t checksum_at) {
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == checksum_at || i == checksum_at + 2) continue;
        uint32_t word = image[i] | (i + 1 < image.size() ? (uint32_t)image[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + image.size());
}

// SOURCE_DATE_EPOCH, for a reproducible time stamp: *given is false when it
// is unset, and the function false when it holds no usable number.
bool source_date_epoch(bool* given, uint32_t* seconds, std::string* error) {
    const char* text = getenv("SOURCE_DATE_EPOCH");
    *given = text != nullptr && *text != 0;
    if (!*given) return true;
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 10);
    if (*end != 0 || text[0] == '-' || value > 0xFFFFFFFFull) {
        *error = std::string("SOURCE_DATE_EPOCH=") + text + " is not a number of seconds that a PE time stamp holds";
        return false;
    }
    *seconds = (uint32_t)value;
    return true;
}

void write_section_header(std::vector<unsigned char>* image, size_t at, const section& s) {
    memset(image->data() + at, 0, section_header_size);
    memcpy(image->data() + at, s.name.data(), s.name.size());
    set32(image, at + 8, s.virtual_size);
    set32(image, at + 12, s.rva);
    set32(image, at + 16, s.raw_size);
    set32(image, at + 20, s.raw_offset);
    set32(image, at + 36, read_only_data);
}

} // namespace

bool complete_pe(std::vector<unsigned char>* image, size_t descriptor_offset, const payload_layout& payload,
                 const executable_options& options, std::string* error) {
    std::vector<unsigned char>& img = *image;
    size_t pe = img.size() >= 0x40 ? get32(img, 0x3C) : img.size();
    if (pe > img.size() || img.size() - pe < 24 + opt_directories || memcmp(&img[pe], "PE\0\0", 4) != 0) {
        *error = "not a PE executable (no PE signature where its DOS header points)";
        return false;
    }
    uint32_t machine = get16(img, pe + 4), magic = get16(img, pe + 24);
    if (machine != machine_amd64 || magic != magic_pe32_plus) {
        char found[64];
        snprintf(found, sizeof found, "machine 0x%04x, optional header 0x%03x", machine, magic);
        *error = std::string("a launcher for another machine (") + found +
                 "): talvor-pack completes x86-64 (PE32+) launchers";
        return false;
    }
    size_t count = get16(img, pe + 6), opt = pe + 24, opt_size = get16(img, pe + 20);
    size_t table = opt + opt_size, table_end = table + section_header_size * count;
    if (opt_size < opt_directories + 8 * (directory_security + 1) ||
        get32(img, opt + opt_directory_count) <= directory_security || table_end > img.size()) {
        *error = "its PE headers are cut short";
        return false;
    }
    if (get32(img, opt + opt_directories + 8 * directory_security + 4) != 0) {
        *error = "it is signed: a payload added now would break the signature; complete the unsigned launcher, "
                 "then sign the executable";
        return false;
    }
    uint32_t section_alignment = get32(img, opt + opt_section_alignment);
    uint32_t file_alignment = get32(img, opt + opt_file_alignment);
    uint32_t headers_size = get32(img, opt + opt_headers_size);
    if (!power_of_two(file_alignment) || !power_of_two(section_alignment) || section_alignment < file_alignment) {
        *error = "its PE headers give impossible alignments";
        return false;
    }

    std::vector<section> sections;
    uint64_t image_end = align_up(headers_size, section_alignment), first_raw = headers_size;
    for (size_t i = 0; i < count; i++) {
        size_t at = table + section_header_size * i;
        section s{std::string((const char*)&img[at], strnlen((const char*)&img[at], 8)), get32(img, at + 8),
                  get32(img, at + 12), get32(img, at + 16), get32(img, at + 20)};
        if (s.name == ".talvor") {
            *error = "it holds a payload already (section .talvor): give the prebuilt launcher itself";
            return false;
        }
        uint64_t mapped = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        image_end = std::max(image_end, align_up((uint64_t)s.rva + mapped, section_alignment));
        if (s.raw_size != 0) first_raw = std::min<uint64_t>(first_raw, s.raw_offset);
        sections.push_back(s);
    }
    // Two more section headers go after the last one, into bytes of the
    // headers that nothing uses: within SizeOfHeaders, before any section's
    // data, and zero.
    size_t room_end = table_end + 2 * section_header_size;
    bool room = room_end <= first_raw && room_end <= img.size();
    for (size_t i = table_end; room && i < room_end; i++) room = img[i] == 0;
    if (!room) {
        *error = "no room in its headers for two more section headers (SizeOfHeaders " +
                 std::to_string(headers_size) + ", section table ends at " + std::to_string(table_end) + ")";
        return false;
    }

    // The descriptor's address in memory, from the section that holds it.
    int64_t descriptor_rva = -1;
    for (const section& s : sections) {
        uint64_t inside = descriptor_offset - (uint64_t)s.raw_offset;
        if (descriptor_offset >= s.raw_offset && inside + prebuilt_descriptor_size <= s.raw_size &&
            inside + prebuilt_descriptor_size <= s.virtual_size)
            descriptor_rva = (int64_t)(s.rva + inside);
    }
    if (descriptor_rva < 0) {
        *error = "its descriptor lies outside its sections";
        return false;
    }

    uint32_t time_stamp = 0;
    bool fixed_time = false;
    if (!source_date_epoch(&fixed_time, &time_stamp, error)) return false;

    section resources{".rsrc", 0, (uint32_t)image_end, 0, 0};
    std::vector<unsigned char> resource_bytes;
    if (!resource_section(options, resources.rva, &resource_bytes, error)) return false;
    resources.virtual_size = (uint32_t)resource_bytes.size();
    resources.raw_size = (uint32_t)align_up(resource_bytes.size(), file_alignment);
    // After everything in the file, also data that follows the sections
    // (a symbol table): it stays where it is.
    uint64_t resources_offset = align_up(img.size(), file_alignment);
    uint64_t payload_rva = align_up((uint64_t)resources.rva + resources.virtual_size, section_alignment);
    uint64_t payload_raw = align_up(payload.bytes.size(), file_alignment);
    uint64_t new_image_size = align_up(payload_rva + payload.bytes.size(), section_alignment);
    if (new_image_size >= image_limit || resources_offset + resources.raw_size + payload_raw >= image_limit) {
        *error = "a payload of " + std::to_string(payload.bytes.size()) +
                 " bytes makes the image too large: Windows maps images below 2 GiB";
        return false;
    }
    section data{".talvor", (uint32_t)payload.bytes.size(), (uint32_t)payload_rva, (uint32_t)payload_raw,
                 (uint32_t)(resources_offset + resources.raw_size)};
    resources.raw_offset = (uint32_t)resources_offset;

    write_section_header(image, table_end, resources);
    write_section_header(image, table_end + section_header_size, data);
    img[pe + 6] = (unsigned char)(count + 2);
    img[pe + 7] = (unsigned char)((count + 2) >> 8);
    if (fixed_time) set32(image, pe + 8, time_stamp);
    set32(image, opt + opt_initialized_data,
          get32(img, opt + opt_initialized_data) + resources.raw_size + data.raw_size);
    set32(image, opt + opt_image_size, (uint32_t)new_image_size);
    set32(image, opt + opt_directories + 8 * directory_resource, resources.rva);
    set32(image, opt + opt_directories + 8 * directory_resource + 4, resources.virtual_size);

    img.resize(resources_offset, 0);
    img.insert(img.end(), resource_bytes.begin(), resource_bytes.end());
    img.resize(data.raw_offset, 0);
    img.insert(img.end(), payload.bytes.begin(), payload.bytes.end());
    img.resize((size_t)data.raw_offset + data.raw_size, 0);
    fill_descriptor(image, descriptor_offset, (int64_t)payload_rva - descriptor_rva, payload);
    set32(image, opt + opt_checksum, pe_checksum(img, opt + opt_checksum));
    return true;
}

} // namespace pack
