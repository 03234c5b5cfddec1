// The linked executables in the default root: ttyrelay's two metadata records byte for byte in
// their sections, where the link layout places them, and for every installed program the
// three loadable segments, the entry and the absence of any dynamic linking.
#include "elf_image.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include <yulos_elf.h>
#include <yulos_kernel.h>

namespace {

using namespace yulos_test;

constexpr uint32_t shf_alloc = 2;

using ProgramHeader = yulos_elf_program_header;

uint16_t u16(const std::vector<uint8_t>& bytes, size_t at)
{
    uint16_t value;
    std::memcpy(&value, bytes.data() + at, 2);
    return value;
}

// The program headers as the file has them (the loader keeps only the loadable ones).
std::vector<ProgramHeader> program_headers(const std::vector<uint8_t>& bytes)
{
    std::vector<ProgramHeader> headers;
    yulos_elf_header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    for (uint16_t i = 0; i < header.program_header_count; ++i) {
        yulos_elf_program_header p;
        std::memcpy(&p, bytes.data() + header.program_headers + size_t(i) * sizeof p, sizeof p);
        headers.push_back(p);
    }
    return headers;
}

std::optional<yulos::Section> section(const yulos::ElfImage& image, std::string_view name)
{
    for (const yulos::Section& s : image.sections)
        if (s.name == name) return s;
    return std::nullopt;
}

// Every installed program: a static EXEC image for 32-bit x86 with exactly three loadable
// segments, code R+X at 0x400000 entered at its first byte, read-only data R, data R+W, each
// on a 4 KiB boundary in memory and in the file; no interpreter and no dynamic section.
void check_layout(const std::string& path)
{
    SCOPED_TRACE(path);
    std::vector<uint8_t> bytes = read_bytes(path);
    ASSERT_GE(bytes.size(), sizeof(yulos_elf_header));
    auto image = yulos::parse_elf_image(bytes, path);
    ASSERT_TRUE(image) << image.error().message;
    EXPECT_EQ(u16(bytes, offsetof(yulos_elf_header, type)), YULOS_ELF_TYPE_EXEC);
    EXPECT_EQ(u16(bytes, offsetof(yulos_elf_header, machine)), YULOS_ELF_MACHINE_386);

    std::vector<ProgramHeader> loads;
    for (const ProgramHeader& h : program_headers(bytes)) {
        EXPECT_NE(h.type, YULOS_PT_INTERP);
        EXPECT_NE(h.type, YULOS_PT_DYNAMIC);
        if (h.type == YULOS_PT_LOAD) loads.push_back(h);
    }
    EXPECT_FALSE(section(*image, ".interp"));
    EXPECT_FALSE(section(*image, ".dynamic"));
    ASSERT_EQ(loads.size(), 3u);
    EXPECT_EQ(loads[0].flags, YULOS_PF_R | YULOS_PF_X);
    EXPECT_EQ(loads[1].flags, YULOS_PF_R);
    EXPECT_EQ(loads[2].flags, YULOS_PF_R | YULOS_PF_W);
    for (const ProgramHeader& h : loads) {
        EXPECT_EQ(h.address % 4096, 0u);
        EXPECT_EQ(h.offset % 4096, 0u);
        EXPECT_EQ(h.alignment, 4096u);
    }
    EXPECT_LT(loads[0].address + loads[0].memory_size, loads[1].address + 1);
    EXPECT_LT(loads[1].address + loads[1].memory_size, loads[2].address + 1);

    EXPECT_EQ(loads[0].address, 0x400000u);
    EXPECT_EQ(image->entry, 0x400000u);
    auto start = image->symbols.find("_start");
    ASSERT_NE(start, image->symbols.end());
    EXPECT_EQ(start->second, 0x400000u);
    auto text = section(*image, ".text");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->address, 0x400000u);
}

TEST(Image, EveryInstalledProgramHasTheThreeSegmentLayout)
{
    // The list that help reads names every executable in the directory.
    std::vector<std::string> listed;
    for (const std::string& line : lines_of(read_file(sysroot_binary(".commands"))))
        if (!line.empty()) listed.push_back(line);
    std::vector<std::string> present;
    for (const auto& entry : fs::directory_iterator(std::string(YULOS_SYSROOT) + "/binaries"))
        if (entry.path().filename() != ".commands")
            present.push_back(entry.path().filename().string());
    std::sort(present.begin(), present.end());
    EXPECT_EQ(listed, present);
    for (const char* name : {"ttyrelay", "echo", "help"})
        EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;

    for (const std::string& name : present) check_layout(sysroot_binary(name));
}

TEST(Image, BothRecordsAreCarriedByteForByte)
{
    std::vector<uint8_t> bytes = read_bytes(sysroot_binary("ttyrelay"));
    auto image = yulos::parse_elf_image(bytes, "ttyrelay");
    ASSERT_TRUE(image) << image.error().message;

    const std::string command_record("YCMD\x01\0\0\0"
                                     "Spawn a child process on a PTY slave and relay its output.\0"
                                     "ttyrelay /binaries/help\0\0",
                                     YULOS_CMDMETA_SIZE);
    const std::string package_record("YPKG\x01\0\0\0ttyrelay\0"
                                     "1\0\0",
                                     YULOS_PKGMETA_SIZE);
    struct Wanted {
        const char* name;
        const std::string& record;
        uint32_t alignment;
    };
    for (const Wanted& e : {Wanted{".yulos.cmdmeta", command_record, 32},
                            Wanted{".yulos.pkgmeta", package_record, 4}}) {
        SCOPED_TRACE(e.name);
        auto s = section(*image, e.name);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->type, YULOS_SHT_PROGBITS);
        EXPECT_EQ(s->flags, shf_alloc);
        EXPECT_EQ(s->alignment, e.alignment);
        ASSERT_EQ(s->size, e.record.size());
        ASSERT_LE(uint64_t(s->offset) + s->size, bytes.size());
        EXPECT_EQ(std::string(bytes.begin() + s->offset, bytes.begin() + s->offset + s->size),
                  e.record);
        // Loaded with the read-only segment: its initial bytes there are the record.
        auto segment = std::find_if(
            image->segments.begin(), image->segments.end(), [&](const yulos::Segment& g) {
                return s->address >= g.address && s->address + s->size <= g.address + g.memory_size;
            });
        ASSERT_NE(segment, image->segments.end());
        EXPECT_TRUE(segment->readable);
        EXPECT_FALSE(segment->writable);
        EXPECT_FALSE(segment->executable);
        uint32_t at = s->address - segment->address;
        ASSERT_LE(at + s->size, segment->bytes.size());
        EXPECT_EQ(std::string(segment->bytes.begin() + at, segment->bytes.begin() + at + s->size),
                  e.record);
    }
}

TEST(Image, RecordsFollowTheConstantDataAndEachOther)
{
    std::vector<uint8_t> bytes = read_bytes(sysroot_binary("ttyrelay"));
    auto image = yulos::parse_elf_image(bytes, "ttyrelay");
    ASSERT_TRUE(image) << image.error().message;
    auto rodata = section(*image, ".rodata");
    auto command = section(*image, ".yulos.cmdmeta");
    auto package = section(*image, ".yulos.pkgmeta");
    ASSERT_TRUE(rodata && command && package);

    // The command record comes at the first 32-byte boundary after the constant data, with
    // no section in between; the package record at the very next byte; in memory and in the
    // file alike.
    uint32_t rodata_end = rodata->address + rodata->size;
    EXPECT_EQ(command->address, (rodata_end + 31) & ~31u);
    EXPECT_EQ(command->offset - rodata->offset, command->address - rodata->address);
    for (const yulos::Section& s : image->sections) {
        if (s.size == 0 || s.name == ".rodata") continue;
        EXPECT_FALSE(s.address >= rodata->address && s.address < command->address) << s.name;
    }
    EXPECT_EQ(package->address, command->address + YULOS_CMDMETA_SIZE);
    EXPECT_EQ(package->offset, command->offset + YULOS_CMDMETA_SIZE);

    // All three in the one read-only segment.
    std::vector<ProgramHeader> loads;
    for (const ProgramHeader& h : program_headers(bytes))
        if (h.type == YULOS_PT_LOAD) loads.push_back(h);
    ASSERT_EQ(loads.size(), 3u);
    EXPECT_EQ(rodata->address, loads[1].address);
    EXPECT_EQ(package->address + package->size, loads[1].address + loads[1].memory_size);
}

} // namespace
