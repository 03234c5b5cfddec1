#include "meta.h"

#include "elf_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>
#include <yulos_elf.h>
#include <yulos_kernel.h>

namespace yulos {
namespace {

// What a reader may rely on for each record: its section, magic, exact size and the number of
// texts it holds (summary and example; package name and its second text).
struct RecordKind {
    std::string_view section;
    std::string_view magic;
    uint32_t size;
    size_t texts;
};

constexpr RecordKind record_kinds[] = {
    {YULOS_CMDMETA_SECTION, YULOS_CMDMETA_MAGIC, YULOS_CMDMETA_SIZE, YULOS_META_TEXTS},
    {YULOS_PKGMETA_SECTION, YULOS_PKGMETA_MAGIC, YULOS_PKGMETA_SIZE, YULOS_META_TEXTS},
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

// The record's lines, or why the record cannot be read.
Result<std::string> describe_record(std::span<const uint8_t> file, const ElfImage& image,
                                    const RecordKind& kind)
{
    auto refuse = [](std::string problem) { return Error(std::move(problem)); };
    std::string section(kind.section);
    auto named = [&](const Section& s) { return s.name == kind.section; };
    auto found = std::find_if(image.sections.begin(), image.sections.end(), named);
    if (found == image.sections.end()) return refuse("no section " + section);
    if (std::count_if(image.sections.begin(), image.sections.end(), named) > 1)
        return refuse("more than one section " + section);
    if (found->type != YULOS_SHT_PROGBITS)
        return refuse(section + ": not PROGBITS, holds no bytes in the file");
    if (found->size != kind.size)
        return refuse(section + ": " + std::to_string(found->size) + " bytes, not " +
                      std::to_string(kind.size));
    if (uint64_t(found->offset) + found->size > file.size())
        return refuse(section + ": lies beyond the file's end");
    auto record = file.subspan(found->offset, found->size);
    auto magic = record.first(4);
    if (!std::equal(magic.begin(), magic.end(), kind.magic.begin()))
        return refuse(section + ": magic \"" + escaped(magic) + "\", not \"" +
                      std::string(kind.magic) + "\"");
    uint32_t version = u32(record.subspan(4, 4));
    if (version != YULOS_META_VERSION)
        return refuse(section + ": version " + std::to_string(version) + ", not " +
                      std::to_string(YULOS_META_VERSION));

    // Texts back to back, each with its NUL, up to the closing NUL (an empty text); whatever
    // follows the closing NUL must be zero, as it can only be filling.
    std::vector<std::span<const uint8_t>> texts;
    size_t at = YULOS_META_HEADER_SIZE;
    for (;;) {
        auto rest = record.subspan(at);
        auto nul = std::find(rest.begin(), rest.end(), uint8_t(0));
        if (nul == rest.end()) {
            if (rest.empty()) return refuse(section + ": no closing NUL after the texts");
            return refuse(section + ": text " + std::to_string(texts.size() + 1) +
                          " is not terminated inside the record");
        }
        size_t length = size_t(nul - rest.begin());
        at += length + 1;
        if (length == 0) break;
        texts.push_back(rest.first(length));
    }
    if (texts.size() != kind.texts)
        return refuse(section + ": " + std::to_string(kind.texts) + " texts expected, found " +
                      std::to_string(texts.size()));
    auto filling = record.subspan(at);
    if (std::any_of(filling.begin(), filling.end(), [](uint8_t b) { return b != 0; }))
        return refuse(section + ": bytes other than zero after the closing NUL");

    std::string out = section + ": magic " + std::string(kind.magic) + " version " +
                      std::to_string(version) + "\n";
    for (auto text : texts) out += "text: " + escaped(text) + "\n";
    return out;
}

} // namespace

Result<std::string> describe_metadata(std::span<const uint8_t> file, std::string_view name)
{
    auto image = parse_elf_image(file, name);
    if (!image) return image.error();
    std::string prefix = std::string(name) + ": ";
    if (image->sections.empty()) return Error(prefix + "no readable section table");
    std::string out;
    for (const RecordKind& kind : record_kinds) {
        Result<std::string> lines = describe_record(file, *image, kind);
        if (!lines) return Error(prefix + lines.error().message);
        out += *lines;
    }
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
