// Completing a prebuilt Linux launcher (ELF64, x86-64).
//
// The launcher was linked with src/launcher/prebuilt_payload.ld: its last
// loadable segment is the one read-only byte of the section .talvor_payload,
// on a page of its own behind everything else the system maps. The payload
// replaces that byte, and the segment and its section grow over it in place,
// so that no loaded byte and no address moves: the program header table,
// the code, the data and the descriptor stay where the linker put them, and
// nothing needs relocating. Only what the system never maps lies behind the
// room in the file (.comment, .shstrtab, the symbols of an unstripped
// launcher, the section header table); it moves behind the payload.
//
// The segment keeps its file offset and its address, so the two stay equal
// modulo its alignment, as the loader needs to map the file. Tools that
// rewrite an executable from its sections (strip, objcopy, eu-strip,
// llvm-strip) keep the payload because its section covers it whole.
//
// Nothing is taken on trust: every table and every range is checked against
// the file before it is used.
#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "attached/prebuilt.h"
#include "executable_writer.h"

namespace pack {

namespace {

// The parts of ELF64 (System V ABI, x86-64 supplement) read here. <elf.h>
// is not at hand where talvor-pack is built for Windows.
const size_t header_size = 64, segment_entry_size = 56, section_entry_size = 64;
const unsigned char class_64 = 2, data_little_endian = 1;
const uint16_t type_exec = 2, type_dyn = 3, machine_x86_64 = 62;
const uint32_t pt_load = 1, pf_r = 4;
const uint32_t sht_progbits = 1, sht_nobits = 8;
const uint64_t shf_write = 1, shf_alloc = 2, shf_execinstr = 4;
const char room_name[] = ".talvor_payload";

struct segment {
    uint32_t type, flags;
    uint64_t offset, vaddr, filesz, memsz, align;
};

struct section {
    size_t index;
    uint32_t name, type;
    uint64_t flags, addr, offset, size, align;
};

uint64_t get(const std::vector<unsigned char>& image, size_t at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; i--) value = (value << 8) | image[at + i];
    return value;
}

void put(std::vector<unsigned char>* image, size_t at, int size, uint64_t value) {
    for (int i = 0; i < size; i++) (*image)[at + i] = (unsigned char)(value >> (8 * i));
}

// True when `length` bytes from `offset` lie within a file of `size` bytes.
bool within(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

segment read_segment(const std::vector<unsigned char>& image, size_t at) {
    return {(uint32_t)get(image, at, 4),      (uint32_t)get(image, at + 4, 4), get(image, at + 8, 8),
            get(image, at + 16, 8),           get(image, at + 32, 8),          get(image, at + 40, 8),
            get(image, at + 48, 8)};
}

section read_section(const std::vector<unsigned char>& image, size_t at, size_t index) {
    return {index,
            (uint32_t)get(image, at, 4),
            (uint32_t)get(image, at + 4, 4),
            get(image, at + 8, 8),
            get(image, at + 16, 8),
            get(image, at + 24, 8),
            get(image, at + 32, 8),
            get(image, at + 48, 8)};
}

// The ELF header and both tables, checked against the file.
bool read_tables(const std::vector<unsigned char>& image, std::vector<segment>* segments,
                 std::vector<section>* sections, std::string* error) {
    if (image.size() < header_size || image[4] != class_64 || image[5] != data_little_endian ||
        get(image, 18, 2) != machine_x86_64) {
        *error = "an ELF file for another machine: talvor-pack completes 64-bit x86-64 Linux launchers";
        return false;
    }
    uint64_t type = get(image, 16, 2);
    if (type != type_exec && type != type_dyn) {
        *error = "an ELF file that is not an executable";
        return false;
    }
    uint64_t phoff = get(image, 32, 8), shoff = get(image, 40, 8);
    uint64_t phnum = get(image, 56, 2), shnum = get(image, 60, 2), shstrndx = get(image, 62, 2);
    // A file with 65280 sections or more keeps their number elsewhere; no
    // launcher has that many.
    if (get(image, 54, 2) != segment_entry_size || get(image, 58, 2) != section_entry_size || phnum == 0 ||
        shnum == 0 || shstrndx >= shnum || !within(phoff, phnum * segment_entry_size, image.size()) ||
        !within(shoff, shnum * section_entry_size, image.size())) {
        *error = "a damaged ELF file: its program or section header table does not fit in it";
        return false;
    }
    segments->clear();
    for (uint64_t i = 0; i < phnum; i++) segments->push_back(read_segment(image, phoff + i * segment_entry_size));
    sections->clear();
    for (uint64_t i = 0; i < shnum; i++)
        sections->push_back(read_section(image, shoff + i * section_entry_size, i));
    for (const segment& s : *segments) {
        bool aligned = s.align <= 1 || ((s.align & (s.align - 1)) == 0 && s.offset % s.align == s.vaddr % s.align);
        bool wraps = s.memsz > UINT64_MAX - s.vaddr;
        if (!within(s.offset, s.filesz, image.size()) ||
            (s.type == pt_load && (s.filesz > s.memsz || !aligned || wraps))) {
            *error = "a damaged ELF file: a segment does not fit in it";
            return false;
        }
    }
    for (const section& s : *sections) {
        bool wraps = (s.flags & shf_alloc) != 0 && s.size > UINT64_MAX - s.addr;
        if (s.index != 0 && ((s.type != sht_nobits && !within(s.offset, s.size, image.size())) || wraps)) {
            *error = "a damaged ELF file: a section does not fit in it";
            return false;
        }
    }
    return true;
}

// The section named `name`, or nullptr; names are read from .shstrtab
// within its bounds.
const section* find_section(const std::vector<unsigned char>& image, const std::vector<section>& sections,
                            size_t shstrndx, const char* name) {
    const section& names = sections[shstrndx];
    size_t length = strlen(name) + 1;
    for (const section& s : sections) {
        if (s.index == 0 || names.type == sht_nobits || s.name >= names.size || names.size - s.name < length) continue;
        if (memcmp(&image[names.offset + s.name], name, length) == 0) return &s;
    }
    return nullptr;
}

} // namespace

bool complete_elf(std::vector<unsigned char>* image, size_t descriptor_offset, const payload_layout& payload,
                  std::string* error) {
    std::vector<segment> segments;
    std::vector<section> sections;
    if (!read_tables(*image, &segments, &sections, error)) return false;

    // The room: the reserved section, alone at the start of the last
    // loadable segment, read-only, and of the placeholder's one byte.
    const section* room = find_section(*image, sections, get(*image, 62, 2), room_name);
    size_t last = segments.size();
    for (size_t i = 0; i < segments.size(); i++)
        if (segments[i].type == pt_load) last = i;
    if (room == nullptr || last == segments.size()) {
        *error = "no room reserved for the payload (a section .talvor_payload in the last loadable segment): "
                 "not a prebuilt Linux launcher of Talvor Onefile";
        return false;
    }
    segment& held = segments[last];
    if (room->type != sht_progbits || (room->flags & (shf_alloc | shf_write | shf_execinstr)) != shf_alloc ||
        held.flags != pf_r || room->offset != held.offset || room->addr != held.vaddr) {
        *error = "the section .talvor_payload is not a read-only segment of its own, the last that the system "
                 "loads: not a prebuilt Linux launcher of Talvor Onefile";
        return false;
    }
    if (room->size != 1 || held.filesz != 1 || held.memsz != 1) {
        *error = "the room for the payload holds more than the placeholder's byte: completed already";
        return false;
    }
    uint64_t room_end = held.offset + 1;
    for (size_t i = 0; i < segments.size(); i++) {
        const segment& s = segments[i];
        bool behind = s.filesz > 0 && s.offset + s.filesz > held.offset;
        bool above = s.type == pt_load && s.vaddr + s.memsz > held.vaddr;
        if (i != last && (behind || above)) {
            *error = "a segment lies behind the room for the payload: not a prebuilt Linux launcher of Talvor Onefile";
            return false;
        }
    }
    // Behind the room in the file: sections that the system never maps, and
    // the section header table. Each moves behind the payload, in the order
    // of the file.
    std::vector<section> moved;
    for (const section& s : sections) {
        if (s.index == 0 || s.index == room->index) continue;
        bool loaded = (s.flags & shf_alloc) != 0;
        if (loaded && s.addr + s.size > held.vaddr) {
            *error = "a section lies in memory behind the room for the payload: not a prebuilt Linux launcher of "
                     "Talvor Onefile";
            return false;
        }
        if (s.offset >= room_end) {
            if (loaded) {
                *error = "a loaded section lies behind the room for the payload in the file";
                return false;
            }
            moved.push_back(s);
        } else if (s.type != sht_nobits && s.size > 0 && s.offset + s.size > held.offset) {
            *error = "a section overlaps the room for the payload";
            return false;
        }
    }
    // The program header table stays where it is, before the room; the
    // section header table moves, from behind it.
    uint64_t phoff = get(*image, 32, 8), shoff = get(*image, 40, 8);
    if (phoff + segments.size() * segment_entry_size > held.offset || shoff < room_end) {
        *error = "the program header table lies behind the room for the payload, or the section header table "
                 "before it";
        return false;
    }
    std::stable_sort(moved.begin(), moved.end(),
                     [](const section& a, const section& b) { return a.offset < b.offset; });

    // The descriptor's address, through the loadable segment that holds it.
    const segment* holder = nullptr;
    for (size_t i = 0; i < last; i++) {
        const segment& s = segments[i];
        if (s.type == pt_load && descriptor_offset >= s.offset &&
            within(descriptor_offset - s.offset, prebuilt_descriptor_size, s.filesz))
            holder = &s;
    }
    if (holder == nullptr) {
        *error = "the descriptor lies outside the image that the system loads: not a prebuilt Linux launcher of "
                 "Talvor Onefile";
        return false;
    }
    uint64_t descriptor_vaddr = holder->vaddr + (descriptor_offset - holder->offset);
    uint64_t size = payload.bytes.size();
    // x86-64 gives a process the lower 128 TiB of its address space.
    const uint64_t user_space = (uint64_t)1 << 47;
    if (size == 0 || held.vaddr > user_space || size > user_space - held.vaddr) {
        *error = "a payload of this size does not fit in the address space";
        return false;
    }

    // The new file: everything before the room as it was, the payload, the
    // moved sections at their alignment, and the section header table.
    std::vector<unsigned char> out(image->begin(), image->begin() + (ptrdiff_t)held.offset);
    out.insert(out.end(), payload.bytes.begin(), payload.bytes.end());
    std::vector<uint64_t> new_offset(sections.size());
    for (const section& s : sections) new_offset[s.index] = s.offset;
    for (const section& s : moved) {
        uint64_t alignment = s.align > 1 && s.align <= 4096 ? s.align : 1;
        out.resize((out.size() + alignment - 1) / alignment * alignment, 0);
        new_offset[s.index] = out.size();
        if (s.type != sht_nobits)
            out.insert(out.end(), image->begin() + (ptrdiff_t)s.offset, image->begin() + (ptrdiff_t)(s.offset + s.size));
    }
    out.resize((out.size() + 7) / 8 * 8, 0);
    size_t new_shoff = out.size();
    out.insert(out.end(), image->begin() + (ptrdiff_t)shoff,
               image->begin() + (ptrdiff_t)(shoff + sections.size() * section_entry_size));

    put(&out, 40, 8, new_shoff);
    size_t segment_at = phoff + last * segment_entry_size;
    put(&out, segment_at + 32, 8, size);
    put(&out, segment_at + 40, 8, size);
    for (const section& s : sections) put(&out, new_shoff + s.index * section_entry_size + 24, 8, new_offset[s.index]);
    put(&out, new_shoff + room->index * section_entry_size + 32, 8, size);
    image->swap(out);
    fill_descriptor(image, descriptor_offset, (int64_t)(held.vaddr - descriptor_vaddr), payload);
    return true;
}

} // namespace pack
