// `yulos-host meta`: both records of the real ttyrelay, and the refusal of patched copies whose
// sections are missing, of the wrong kind or size, or whose contents are malformed.
#include "elf_image.h"
#include "host_test_support.h"
#include "meta.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <yulos_elf.h>
#include <yulos_kernel.h>

namespace {

using namespace yulos_test;

const std::string ttyrelay = sysroot_binary("ttyrelay");

const std::string expected_output = ".yulos.cmdmeta: magic YCMD version 1\n"
                                    "text: Spawn a child process on a PTY slave and relay its "
                                    "output.\n"
                                    "text: ttyrelay /binaries/help\n"
                                    ".yulos.pkgmeta: magic YPKG version 1\n"
                                    "text: ttyrelay\n"
                                    "text: 1\n";

// A copy of ttyrelay's bytes with the places of its two metadata sections.
struct Copy {
    std::vector<uint8_t> bytes;
    uint32_t cmdmeta = 0, pkgmeta = 0;               // file offsets of the records
    uint32_t cmdmeta_header = 0, pkgmeta_header = 0; // file offsets of their section headers
    uint32_t pkgmeta_name = 0;                       // file offset of the name ".yulos.pkgmeta"

    void put_u32(uint32_t at, uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }
    void put(uint32_t at, std::string_view text)
    {
        std::memcpy(bytes.data() + at, text.data(), text.size());
    }
    std::string describe() const
    {
        auto result = yulos::describe_metadata(bytes, "copy");
        return result ? *result : "refused: " + result.error().message;
    }
};

Copy copy_of_ttyrelay()
{
    Copy copy;
    copy.bytes = read_bytes(ttyrelay);
    auto image = yulos::parse_elf_image(copy.bytes, "ttyrelay");
    EXPECT_TRUE(image);
    if (!image) return copy;
    yulos_elf_header elf;
    std::memcpy(&elf, copy.bytes.data(), sizeof elf);
    uint32_t names = image->sections[elf.section_names_index].offset;
    for (size_t i = 0; i < image->sections.size(); ++i) {
        const yulos::Section& s = image->sections[i];
        uint32_t header = elf.section_headers + uint32_t(i * sizeof(yulos_elf_section_header));
        uint32_t name;
        std::memcpy(&name, copy.bytes.data() + header, 4);
        if (s.name == YULOS_CMDMETA_SECTION) copy.cmdmeta = s.offset, copy.cmdmeta_header = header;
        if (s.name == YULOS_PKGMETA_SECTION) {
            copy.pkgmeta = s.offset;
            copy.pkgmeta_header = header;
            copy.pkgmeta_name = names + name;
        }
    }
    EXPECT_NE(copy.cmdmeta, 0u);
    EXPECT_NE(copy.pkgmeta, 0u);
    return copy;
}

TEST(Meta, DescribesBothRecordsOfTheRealCommand)
{
    Copy copy = copy_of_ttyrelay();
    EXPECT_EQ(copy.describe(), expected_output);

    HostRun run = run_host({"meta", ttyrelay});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, expected_output);
    EXPECT_EQ(run.err, "");
}

TEST(Meta, RefusesMissingSectionsAndSectionsOfTheWrongKindOrSize)
{
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta_name, ".yulos.pkgmetX");
        EXPECT_EQ(copy.describe(), "refused: copy: no section .yulos.pkgmeta");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put_u32(copy.cmdmeta_header + offsetof(yulos_elf_section_header, size), 91);
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.cmdmeta: 91 bytes, not 92");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put_u32(copy.pkgmeta_header + offsetof(yulos_elf_section_header, size), 24);
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.pkgmeta: 24 bytes, not 20");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put_u32(copy.cmdmeta_header + offsetof(yulos_elf_section_header, type), 8); // NOBITS
        EXPECT_EQ(copy.describe(),
                  "refused: copy: .yulos.cmdmeta: not PROGBITS, holds no bytes in the file");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put_u32(copy.pkgmeta_header + offsetof(yulos_elf_section_header, offset),
                     uint32_t(copy.bytes.size()) - 10);
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.pkgmeta: lies beyond the file's end");
    }
    {
        // A file that is no executable at all, and an executable without records.
        std::string text = "not an executable";
        auto refused = yulos::describe_metadata(
            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), "text");
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().message.find("text: not a yulos executable"), std::string::npos);
    }
}

TEST(Meta, RefusesWrongMagicVersionAndTexts)
{
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.cmdmeta, "XCMD");
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.cmdmeta: magic \"XCMD\", not \"YCMD\"");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta, std::string_view("\0PKG", 4));
        EXPECT_EQ(copy.describe(),
                  "refused: copy: .yulos.pkgmeta: magic \"\\x00PKG\", not \"YPKG\"");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put_u32(copy.pkgmeta + offsetof(yulos_package_record, version), 2);
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.pkgmeta: version 2, not 1");
    }
    {
        // The example's NUL and the closing NUL overwritten: the example runs off the end.
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.cmdmeta + 90, "xx");
        EXPECT_EQ(copy.describe(),
                  "refused: copy: .yulos.cmdmeta: text 2 is not terminated inside the record");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta + 8, "xxxxxxxxxxxx");
        EXPECT_EQ(copy.describe(),
                  "refused: copy: .yulos.pkgmeta: text 1 is not terminated inside the record");
    }
    {
        // Both texts end inside the record but nothing is left for the closing NUL.
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta + 17, std::string_view("12\0", 3));
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.pkgmeta: no closing NUL after the texts");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta + 8, std::string_view("ttyrelay\0\0\0\0", 12));
        EXPECT_EQ(copy.describe(), "refused: copy: .yulos.pkgmeta: 2 texts expected, found 1");
    }
    {
        Copy copy = copy_of_ttyrelay();
        copy.put(copy.pkgmeta + 8, std::string_view("ab\0c\0\0zz\0\0\0\0", 12));
        EXPECT_EQ(copy.describe(),
                  "refused: copy: .yulos.pkgmeta: bytes other than zero after the closing NUL");
    }
}

TEST(Meta, AcceptsZeroFillingAndEscapesTextsOntoOneLine)
{
    Copy copy = copy_of_ttyrelay();
    copy.put(copy.pkgmeta + 8, std::string_view("a\nb\0c\\\0\0\0\0\0\0", 12));
    EXPECT_EQ(copy.describe(), ".yulos.cmdmeta: magic YCMD version 1\n"
                               "text: Spawn a child process on a PTY slave and relay its output.\n"
                               "text: ttyrelay /binaries/help\n"
                               ".yulos.pkgmeta: magic YPKG version 1\n"
                               "text: a\\x0ab\n"
                               "text: c\\\\\n");
}

TEST(Meta, CommandLineRefusesWithStatusOneAndNothingOnStandardOutput)
{
    TempDir dir;
    Copy copy = copy_of_ttyrelay();
    copy.put_u32(copy.cmdmeta + offsetof(yulos_command_record, version), 7);
    write_bytes(dir / "patched", copy.bytes);
    HostRun patched = run_host({"meta", (dir / "patched").string()});
    EXPECT_EQ(patched.exit_code, 1);
    EXPECT_EQ(patched.out, "");
    EXPECT_EQ(patched.err, "yulos-host meta: " + (dir / "patched").string() +
                               ": .yulos.cmdmeta: version 7, not 1\n");

    HostRun echo = run_host({"meta", sysroot_binary("echo")});
    EXPECT_EQ(echo.exit_code, 1);
    EXPECT_EQ(echo.out, "");
    EXPECT_NE(echo.err.find("no section .yulos.cmdmeta"), std::string::npos) << echo.err;

    HostRun missing = run_host({"meta", (dir / "missing").string()});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;

    // A FIFO is refused at once: reading it would wait for a writer that never comes.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    HostRun fifo = run_host({"meta", (dir / "fifo").string()}, std::chrono::seconds(10));
    EXPECT_EQ(fifo.exit_code, 1);
    EXPECT_EQ(fifo.err, "yulos-host meta: " + (dir / "fifo").string() + ": not a regular file\n");
}

} // namespace
