#include "meta.h"

#include "elf_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace yulos {
namespace {

constexpr uint32_t sht_progbits = 1;
constexpr uint32_t record_header_size = 8; // magic and version
constexpr uint32_t record_version = 1;

// What a reader may rely on for each record: its section, magic, exact size and the number of
// texts it holds (summary and example; package name and its second text).
struct RecordKind {
    std::string_view section;
    std::string_view magic;
    uint32_t size;
    size_t texts;
};

constexpr RecordKind record_kinds[] = {
    {".yulos.cmdmeta", "YCMD", 92, 2},
    {".yulos.pkgmeta", "YPKG", 20, 2},
};

// Printable ASCII stays as it is; everything else, and the backslash, is escaped.
std::string escaped(std::span<const uint8_t> bytes)
{
    std::string text;
    for (uint8_t byte : bytes) {
        if (byte == '\\')
            text += "\\\\";
        else if (byte >= 0x20 && byte < 0x7f)
            text += char(byte);
        else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            text += code;
        }
    }
    return text;
}

uint32_t u32(std::span<const uint8_t> bytes)
{
    uint32_t value;
    std::memcpy(&value, bytes.data(), 4);
    return value;
}

// Appends the record's lines to `out`, or explains why the record cannot be read.
std::optional<std::string> describe_record(std::span<const uint8_t> file, const ElfImage& image,
                                           const RecordKind& kind, std::string& out)
{
    std::string section(kind.section);
    auto named = [&](const Section& s) { return s.name == kind.section; };
    auto found = std::find_if(image.sections.begin(), image.sections.end(), named);
    if (found == image.sections.end()) return "no section " + section;
    if (std::count_if(image.sections.begin(), image.sections.end(), named) > 1)
        return "more than one section " + section;
    if (found->type != sht_progbits) return section + ": not PROGBITS, holds no bytes in the file";
    if (found->size != kind.size)
        return section + ": " + std::to_string(found->size) + " bytes, not " +
               std::to_string(kind.size);
    if (uint64_t(found->offset) + found->size > file.size())
        return section + ": lies beyond the file's end";
    auto record = file.subspan(found->offset, found->size);
    auto magic = record.first(4);
    if (!std::equal(magic.begin(), magic.end(), kind.magic.begin()))
        return section + ": magic \"" + escaped(magic) + "\", not \"" + std::string(kind.magic) +
               "\"";
    uint32_t version = u32(record.subspan(4, 4));
    if (version != record_version)
        return section + ": version " + std::to_string(version) + ", not " +
               std::to_string(record_version);

    // Texts back to back, each with its NUL, up to the closing NUL (an empty text); whatever
    // follows the closing NUL must be zero, as it can only be filling.
    std::vector<std::span<const uint8_t>> texts;
    size_t at = record_header_size;
    for (;;) {
        auto rest = record.subspan(at);
        auto nul = std::find(rest.begin(), rest.end(), uint8_t(0));
        if (nul == rest.end()) {
            if (rest.empty()) return section + ": no closing NUL after the texts";
            return section + ": text " + std::to_string(texts.size() + 1) +
                   " is not terminated inside the record";
        }
        size_t length = size_t(nul - rest.begin());
        at += length + 1;
        if (length == 0) break;
        texts.push_back(rest.first(length));
    }
    if (texts.size() != kind.texts)
        return section + ": " + std::to_string(kind.texts) + " texts expected, found " +
               std::to_string(texts.size());
    auto filling = record.subspan(at);
    if (std::any_of(filling.begin(), filling.end(), [](uint8_t b) { return b != 0; }))
        return section + ": bytes other than zero after the closing NUL";

    out += section + ": magic " + std::string(kind.magic) + " version " + std::to_string(version) +
           "\n";
    for (auto text : texts) out += "text: " + escaped(text) + "\n";
    return std::nullopt;
}

} // namespace

Expected<std::string> describe_metadata(std::span<const uint8_t> file, std::string_view name)
{
    auto image = parse_elf_image(file, name);
    if (!image) return image.error();
    std::string prefix = std::string(name) + ": ";
    if (image->sections.empty()) return Error{prefix + "no readable section table"};
    std::string out;
    for (const RecordKind& kind : record_kinds)
        if (auto problem = describe_record(file, *image, kind, out))
            return Error{prefix + *problem};
    return out;
}

int print_metadata(const std::string& path)
{
    auto file = read_host_file(path);
    if (!file) {
        std::fprintf(stderr, "yulos-host meta: %s\n", file.error().message.c_str());
        return 1;
    }
    auto text = describe_metadata(*file, path);
    if (!text) {
        std::fprintf(stderr, "yulos-host meta: %s\n", text.error().message.c_str());
        return 1;
    }
    if (std::fwrite(text->data(), 1, text->size(), stdout) != text->size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "yulos-host meta: %s: cannot write the output\n", path.c_str());
        return 1;
    }
    return 0;
}

} // namespace yulos
