#include "elf_image.h"

#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace yulos {
namespace {

constexpr uint32_t pt_load = 1, pt_dynamic = 2, pt_interp = 3;
constexpr uint32_t sht_symtab = 2;
constexpr uint32_t elf_header_size = 52, program_header_size = 32, section_header_size = 40;

uint32_t u32(std::span<const uint8_t> file, size_t at)
{
    uint32_t value;
    std::memcpy(&value, file.data() + at, 4);
    return value;
}

uint16_t u16(std::span<const uint8_t> file, size_t at)
{
    uint16_t value;
    std::memcpy(&value, file.data() + at, 2);
    return value;
}

bool fits(uint64_t offset, uint64_t length, uint64_t size) { return offset + length <= size; }

uint32_t page_down(uint32_t address) { return address & ~(page_size - 1); }
uint64_t page_up(uint64_t address) { return (address + page_size - 1) & ~uint64_t(page_size - 1); }

struct Refusal {
    std::string_view name;
    Error operator()(std::string_view reason) const
    {
        return Error{std::string(name) + ": not a yulos executable: " + std::string(reason)};
    }
};

Expected<bool> check_header(std::span<const uint8_t> file, const Refusal& refuse)
{
    if (file.size() < elf_header_size) return refuse("too short for an ELF header");
    if (std::memcmp(file.data(),
                    "\x7f"
                    "ELF",
                    4) != 0)
        return refuse("no ELF magic");
    if (file[4] != 1) return refuse("not a 32-bit ELF file");
    if (file[5] != 1) return refuse("not little-endian");
    if (u16(file, 16) != 2) return refuse("not an executable (type EXEC)");
    if (u16(file, 18) != 3) return refuse("not for 32-bit x86");
    if (u16(file, 42) != program_header_size) return refuse("bad program header size");
    return true;
}

Expected<Segment> read_segment(std::span<const uint8_t> file, size_t at, const Refusal& refuse)
{
    uint32_t offset = u32(file, at + 4), address = u32(file, at + 8);
    uint32_t file_size = u32(file, at + 16), memory_size = u32(file, at + 20);
    uint32_t flags = u32(file, at + 24);
    if (file_size > memory_size) return refuse("segment holds more file bytes than memory");
    if (!fits(offset, file_size, file.size())) return refuse("segment lies beyond the file's end");
    if (memory_size == 0) return refuse("empty loadable segment");
    if (address < user_base || uint64_t(address) + memory_size > user_limit)
        return refuse("segment outside the user address range");
    Segment segment;
    segment.address = address;
    segment.memory_size = memory_size;
    segment.bytes.assign(file.begin() + offset, file.begin() + offset + file_size);
    segment.executable = flags & 1;
    segment.writable = flags & 2;
    segment.readable = flags & 4;
    return segment;
}

bool overlap_in_pages(const Segment& a, const Segment& b)
{
    uint64_t a_end = page_up(uint64_t(a.address) + a.memory_size);
    uint64_t b_end = page_up(uint64_t(b.address) + b.memory_size);
    return page_down(a.address) < b_end && page_down(b.address) < a_end;
}

// Section headers and symbols serve tests and packaging tools; an image whose section table is
// unsound still loads, it merely has no names.
void read_sections(std::span<const uint8_t> file, ElfImage& image)
{
    uint32_t table = u32(file, 32);
    uint16_t entry_size = u16(file, 46), count = u16(file, 48), names_index = u16(file, 50);
    if (table == 0 || entry_size != section_header_size || names_index >= count) return;
    if (!fits(table, uint64_t(count) * section_header_size, file.size())) return;
    auto header = [&](unsigned i) { return size_t(table) + size_t(i) * section_header_size; };
    uint32_t names = u32(file, header(names_index) + 16);
    uint32_t names_size = u32(file, header(names_index) + 20);
    if (!fits(names, names_size, file.size())) return;
    auto name_at = [&](uint32_t offset) -> std::string {
        if (offset >= names_size) return {};
        const char* start = reinterpret_cast<const char*>(file.data()) + names + offset;
        return std::string(start, strnlen(start, names_size - offset));
    };
    for (unsigned i = 0; i < count; ++i) {
        size_t at = header(i);
        image.sections.push_back(Section{name_at(u32(file, at)), u32(file, at + 4),
                                         u32(file, at + 8), u32(file, at + 12), u32(file, at + 16),
                                         u32(file, at + 20), u32(file, at + 32)});
    }
    for (const Section& symtab : image.sections) {
        if (symtab.type != sht_symtab) continue;
        size_t link = u32(file, header(&symtab - image.sections.data()) + 24);
        if (link >= image.sections.size()) return;
        const Section& strings = image.sections[link];
        if (!fits(symtab.offset, symtab.size, file.size()) ||
            !fits(strings.offset, strings.size, file.size()))
            return;
        for (uint32_t at = symtab.offset; at + 16 <= symtab.offset + symtab.size; at += 16) {
            uint32_t name = u32(file, at);
            if (name == 0 || name >= strings.size) continue;
            const char* start = reinterpret_cast<const char*>(file.data()) + strings.offset + name;
            image.symbols.emplace(std::string(start, strnlen(start, strings.size - name)),
                                  u32(file, at + 4));
        }
    }
}

} // namespace

Expected<ElfImage> parse_elf_image(std::span<const uint8_t> file, std::string_view name)
{
    Refusal refuse{name};
    if (auto header = check_header(file, refuse); !header) return header.error();
    ElfImage image;
    image.entry = u32(file, 24);
    uint32_t table = u32(file, 28);
    uint16_t count = u16(file, 44);
    if (!fits(table, uint64_t(count) * program_header_size, file.size()))
        return refuse("program headers lie beyond the file's end");
    for (unsigned i = 0; i < count; ++i) {
        size_t at = size_t(table) + size_t(i) * program_header_size;
        uint32_t type = u32(file, at);
        if (type == pt_interp) return refuse("asks for an interpreter (dynamically linked)");
        if (type == pt_dynamic) return refuse("has a dynamic section (dynamically linked)");
        if (type != pt_load) continue;
        auto segment = read_segment(file, at, refuse);
        if (!segment) return segment.error();
        for (const Segment& other : image.segments)
            if (overlap_in_pages(other, *segment)) return refuse("loadable segments overlap");
        image.segments.push_back(std::move(*segment));
    }
    if (image.segments.empty()) return refuse("no loadable segment");
    bool entry_in_code = std::any_of(image.segments.begin(), image.segments.end(), [&](auto& s) {
        return s.executable && image.entry >= s.address && image.entry - s.address < s.memory_size;
    });
    if (!entry_in_code) return refuse("entry point outside the executable code");
    read_sections(file, image);
    return image;
}

Expected<std::vector<uint8_t>> read_host_file(const std::string& path, size_t limit)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return Error{path + ": " + std::strerror(errno)};
    struct stat info;
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Error{path + ": not a regular file"};
    if (size_t(info.st_size) > limit) return Error{path + ": too large"};
    std::vector<uint8_t> bytes(info.st_size);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Error{path + ": read failed"};
        done += n;
    }
    return bytes;
}

} // namespace yulos
