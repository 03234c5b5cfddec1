// Reading a yulos executable: every check happens here, before anything is mapped.
#pragma once

#include "result.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace yulos {

// Images live in [user_base, user_limit); the stack and the host's own pages lie above.
constexpr uint32_t user_base = 0x00010000;
constexpr uint32_t user_limit = 0xA0000000;
constexpr uint32_t page_size = 0x1000;

struct Segment {
    uint32_t address = 0;
    uint32_t memory_size = 0;
    std::vector<uint8_t> bytes; // the initial bytes; the rest of memory_size is zero
    bool readable = false, writable = false, executable = false;
};

struct Section {
    std::string name;
    uint32_t type = 0, flags = 0, address = 0, offset = 0, size = 0, alignment = 0;
};

// A function of the image's symbol table, for naming code addresses.
struct Function {
    std::string name;
    uint32_t address = 0, size = 0;
};

struct ElfImage {
    uint32_t entry = 0;
    std::vector<Segment> segments;
    std::map<std::string, uint32_t, std::less<>> symbols; // from .symtab when present
    std::vector<Section> sections;                        // when the section table is sound
    std::vector<Function> functions; // sized functions inside the code, sorted by address

    // "name+0xoffset" for an address inside a known function.
    std::optional<std::string> function_at(uint32_t address) const;
};

// Checks and reads an image. `name` appears in every error message.
Result<ElfImage> parse_elf_image(std::span<const uint8_t> file, std::string_view name);

// No image is larger; a file that is, is refused before it is read whole.
constexpr size_t image_size_limit = 64u << 20;

// Reads an open image file whole. `name` appears in every error message.
Result<std::vector<uint8_t>> read_image_file(int fd, std::string_view name);

// Reads a host file whole; anything but a regular file is refused before reading.
Result<std::vector<uint8_t>> read_host_file(const std::string& path);

} // namespace yulos
