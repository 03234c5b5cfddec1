#include "elf_image.h"

#include "unique_fd.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yulos_elf.h>

namespace yulos {
namespace {

// The image's records are little-endian, as is every host this builds for; they are copied
// out of the file as they stand.
static_assert(std::endian::native == std::endian::little);

// The record of type `T` at `at`; the caller has checked that it lies inside the file.
template <class T> T record_at(std::span<const uint8_t> file, size_t at)
{
    T record;
    std::memcpy(&record, file.data() + at, sizeof record);
    return record;
}

bool fits(uint64_t offset, uint64_t length, uint64_t size) { return offset + length <= size; }

uint32_t page_down(uint32_t address) { return address & ~(page_size - 1); }
uint64_t page_up(uint64_t address) { return (address + page_size - 1) & ~uint64_t(page_size - 1); }

struct Refusal {
    std::string_view name;
    Error operator()(std::string_view reason) const
    {
        return Error(std::string(name) + ": not a yulos executable: " + std::string(reason));
    }
};

Result<yulos_elf_header> read_header(std::span<const uint8_t> file, const Refusal& refuse)
{
    if (file.size() < sizeof(yulos_elf_header)) return refuse("too short for an ELF header");
    auto header = record_at<yulos_elf_header>(file, 0);
    if (std::memcmp(header.ident,
                    "\x7f"
                    "ELF",
                    4) != 0)
        return refuse("no ELF magic");
    if (header.ident[4] != YULOS_ELF_CLASS32) return refuse("not a 32-bit ELF file");
    if (header.ident[5] != YULOS_ELF_DATA_LSB) return refuse("not little-endian");
    if (header.type != YULOS_ELF_TYPE_EXEC) return refuse("not an executable (type EXEC)");
    if (header.machine != YULOS_ELF_MACHINE_386) return refuse("not for 32-bit x86");
    if (header.program_header_size != sizeof(yulos_elf_program_header))
        return refuse("bad program header size");
    return header;
}

Result<Segment> read_segment(std::span<const uint8_t> file, const yulos_elf_program_header& p,
                             const Refusal& refuse)
{
    if (p.file_size > p.memory_size) return refuse("segment holds more file bytes than memory");
    if (!fits(p.offset, p.file_size, file.size()))
        return refuse("segment lies beyond the file's end");
    if (p.memory_size == 0) return refuse("empty loadable segment");
    if (p.address < user_base || uint64_t(p.address) + p.memory_size > user_limit)
        return refuse("segment outside the user address range");
    Segment segment;
    segment.address = p.address;
    segment.memory_size = p.memory_size;
    segment.bytes.assign(file.begin() + p.offset, file.begin() + p.offset + p.file_size);
    segment.executable = p.flags & YULOS_PF_X;
    segment.writable = p.flags & YULOS_PF_W;
    segment.readable = p.flags & YULOS_PF_R;
    return segment;
}

bool overlap_in_pages(const Segment& a, const Segment& b)
{
    uint64_t a_end = page_up(uint64_t(a.address) + a.memory_size);
    uint64_t b_end = page_up(uint64_t(b.address) + b.memory_size);
    return page_down(a.address) < b_end && page_down(b.address) < a_end;
}

// Whether [address, address + size) lies inside one executable segment.
bool in_code(const ElfImage& image, uint32_t address, uint32_t size)
{
    return std::any_of(image.segments.begin(), image.segments.end(), [&](const Segment& s) {
        return s.executable && address >= s.address &&
               uint64_t(address) + size <= uint64_t(s.address) + s.memory_size;
    });
}

// Section headers and symbols serve tests and packaging tools; an image whose section table is
// unsound still loads, it merely has no names.
void read_sections(std::span<const uint8_t> file, const yulos_elf_header& header, ElfImage& image)
{
    uint32_t table = header.section_headers, count = header.section_header_count;
    if (table == 0 || header.section_header_size != sizeof(yulos_elf_section_header) ||
        header.section_names_index >= count)
        return;
    if (!fits(table, uint64_t(count) * sizeof(yulos_elf_section_header), file.size())) return;
    auto section_header = [&](unsigned i) {
        return record_at<yulos_elf_section_header>(
            file, table + size_t(i) * sizeof(yulos_elf_section_header));
    };
    auto names = section_header(header.section_names_index);
    if (!fits(names.offset, names.size, file.size())) return;
    auto name_at = [&](uint32_t offset) -> std::string {
        if (offset >= names.size) return {};
        const char* start = reinterpret_cast<const char*>(file.data()) + names.offset + offset;
        return std::string(start, strnlen(start, names.size - offset));
    };
    std::vector<uint32_t> links;
    for (unsigned i = 0; i < count; ++i) {
        auto s = section_header(i);
        image.sections.push_back(
            Section{name_at(s.name), s.type, s.flags, s.address, s.offset, s.size, s.alignment});
        links.push_back(s.link);
    }
    for (size_t i = 0; i < image.sections.size(); ++i) {
        const Section& symtab = image.sections[i];
        if (symtab.type != YULOS_SHT_SYMTAB) continue;
        if (links[i] >= image.sections.size()) return;
        const Section& strings = image.sections[links[i]];
        if (!fits(symtab.offset, symtab.size, file.size()) ||
            !fits(strings.offset, strings.size, file.size()))
            return;
        for (uint32_t at = symtab.offset;
             at + sizeof(yulos_elf_symbol) <= symtab.offset + uint64_t(symtab.size);
             at += sizeof(yulos_elf_symbol)) {
            auto symbol = record_at<yulos_elf_symbol>(file, at);
            if (symbol.name == 0 || symbol.name >= strings.size) continue;
            const char* start =
                reinterpret_cast<const char*>(file.data()) + strings.offset + symbol.name;
            std::string name(start, strnlen(start, strings.size - symbol.name));
            if ((symbol.info & 0xf) == YULOS_STT_FUNC && symbol.size > 0 &&
                in_code(image, symbol.value, symbol.size))
                image.functions.push_back(Function{name, symbol.value, symbol.size});
            image.symbols.emplace(std::move(name), symbol.value);
        }
    }
    std::sort(image.functions.begin(), image.functions.end(),
              [](const Function& a, const Function& b) { return a.address < b.address; });
}

} // namespace

Result<ElfImage> parse_elf_image(std::span<const uint8_t> file, std::string_view name)
{
    Refusal refuse{name};
    Result<yulos_elf_header> header = read_header(file, refuse);
    if (!header) return header.error();
    ElfImage image;
    image.entry = header->entry;
    uint32_t table = header->program_headers, count = header->program_header_count;
    if (!fits(table, uint64_t(count) * sizeof(yulos_elf_program_header), file.size()))
        return refuse("program headers lie beyond the file's end");
    for (unsigned i = 0; i < count; ++i) {
        auto program_header = record_at<yulos_elf_program_header>(
            file, table + size_t(i) * sizeof(yulos_elf_program_header));
        if (program_header.type == YULOS_PT_INTERP)
            return refuse("asks for an interpreter (dynamically linked)");
        if (program_header.type == YULOS_PT_DYNAMIC)
            return refuse("has a dynamic section (dynamically linked)");
        if (program_header.type != YULOS_PT_LOAD) continue;
        Result<Segment> segment = read_segment(file, program_header, refuse);
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
    read_sections(file, *header, image);
    return image;
}

std::optional<std::string> ElfImage::function_at(uint32_t address) const
{
    // The last function that starts at or before the address; functions may nest (an alias
    // inside a larger one), so earlier ones are looked at too.
    auto after = std::upper_bound(functions.begin(), functions.end(), address,
                                  [](uint32_t a, const Function& f) { return a < f.address; });
    for (auto f = after; f != functions.begin();) {
        --f;
        if (address - f->address < f->size) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "+0x%x", address - f->address);
            return f->name + offset;
        }
    }
    return std::nullopt;
}

Result<std::vector<uint8_t>> read_image_file(int fd, std::string_view name)
{
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error(std::string(name) + ": " + std::strerror(errno));
        if (n == 0) return bytes;
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > image_size_limit) return Error(std::string(name) + ": too large");
    }
}

Result<std::vector<uint8_t>> read_host_file(const std::string& path)
{
    // Opened without waiting, so a FIFO is refused below rather than waited on for a writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return Error(path + ": " + std::strerror(errno));
    struct stat info;
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Error(path + ": not a regular file");
    return read_image_file(fd.get(), path);
}

} // namespace yulos
