#include "trace.h"

#include "machine.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <yulos_kernel.h>

namespace yulos {
namespace {

constexpr size_t shown_bytes = 32;      // of a text or buffer, then "..."
constexpr uint32_t shown_words = 8;     // of an argument vector, then "..."
constexpr uint32_t text_max = 1u << 20; // a longer text is shown as its address

int32_t sint(uint32_t word) { return static_cast<int32_t>(word); }

std::string format(const char* pattern, auto... values)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string address(uint32_t word) { return format("0x%x", word); }

// Bytes as a C string literal, cut after shown_bytes.
std::string quoted(std::span<const uint8_t> bytes)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size() && i < shown_bytes; ++i) {
        uint8_t c = bytes[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7f)
                out += char(c);
            else
                out += format("\\x%02x", c);
        }
    }
    out += '"';
    if (bytes.size() > shown_bytes) out += "...";
    return out;
}

std::string text_at(Machine& m, uint32_t word)
{
    auto text = m.memory().text(word, text_max);
    if (!text) return address(word);
    return quoted(std::span(reinterpret_cast<const uint8_t*>(text->data()), text->size()));
}

std::string bytes_at(Machine& m, uint32_t word, uint32_t length)
{
    auto bytes = m.memory().bytes(word, length, Access::read);
    return bytes ? quoted(*bytes) : address(word);
}

std::string open_flags(uint32_t flags)
{
    std::string out = (flags & YULOS_O_RDWR)     ? "O_RDWR"
                      : (flags & YULOS_O_WRONLY) ? "O_WRONLY"
                                                 : "O_RDONLY";
    static constexpr struct {
        uint32_t bit;
        const char* name;
    } named[] = {
        {YULOS_O_CREAT, "O_CREAT"}, {YULOS_O_TRUNC, "O_TRUNC"}, {YULOS_O_APPEND, "O_APPEND"}};
    uint32_t known = YULOS_O_WRONLY | YULOS_O_RDWR;
    for (auto [bit, name] : named) {
        known |= bit;
        if (flags & bit) out += std::string("|") + name;
    }
    if (flags & ~known) out += format("|0x%x", flags & ~known);
    return out;
}

std::string argument_vector(Machine& m, uint32_t word, int32_t count)
{
    if (count < 0) return address(word);
    std::string out = "[";
    for (uint32_t i = 0; i < uint32_t(count) && i < shown_words; ++i) {
        auto pointer = m.memory().read_u32(word + 4 * i);
        if (!pointer) return address(word);
        out += (i ? ", " : "") + text_at(m, *pointer);
    }
    return out + (uint32_t(count) > shown_words ? ", ...]" : "]");
}

std::string spawn_record(Machine& m, uint32_t word)
{
    auto bytes = m.memory().bytes(word, sizeof(spawn_ex_args), Access::read);
    if (!bytes) return address(word);
    spawn_ex_args record;
    std::memcpy(&record, bytes->data(), sizeof record);
    return "{path " + text_at(m, record.path) + ", argv " +
           argument_vector(m, record.argv, record.argc) +
           format(", argc %d, fds %d %d %d, flag %u}", record.argc, record.stdin_fd,
                  record.stdout_fd, record.stderr_fd, record.flag);
}

// One argument; `next` is the word after it. `stored` is the call's result when the call was
// served and succeeded, so that what it stored can be shown; -1 otherwise.
std::string argument(Machine& m, char kind, uint32_t word, uint32_t next, int32_t stored)
{
    switch (kind) {
    case 'i':
    case 'd': return std::to_string(sint(word));
    case 'u': return std::to_string(word);
    case 's': return text_at(m, word);
    case 'S': return stored >= 0 ? text_at(m, word) : address(word);
    case 'b': return bytes_at(m, word, next);
    case 'B': return stored >= 0 ? bytes_at(m, word, uint32_t(stored)) : address(word);
    case 'f': return open_flags(word);
    case 'w': {
        static constexpr const char* names[] = {"SEEK_SET", "SEEK_CUR", "SEEK_END"};
        return word < 3 ? names[word] : std::to_string(sint(word));
    }
    case 'W': return word == YULOS_WAIT_NOHANG ? "WNOHANG" : std::to_string(word);
    case 'v': return argument_vector(m, word, sint(next));
    case 'P': {
        auto first = m.memory().read_u32(word), second = m.memory().read_u32(word + 4);
        if (stored < 0 || !first || !second) return address(word);
        return format("[%d, %d]", sint(*first), sint(*second));
    }
    case 'I': {
        auto value = word ? m.memory().read_u32(word) : std::nullopt;
        if (stored <= 0 || !value) return address(word);
        return format("[%d]", sint(*value));
    }
    case 'r': return spawn_record(m, word);
    default: return address(word);
    }
}

std::string outcome(const CallDescription* call, std::optional<int32_t> result)
{
    if (!result) return "?";
    std::string out = std::to_string(*result);
    bool error = *result < 0 && (!call || call->negative_is_error);
    const char* name = error ? strerrorname_np(-*result) : nullptr;
    if (name) out += std::string(" ") + name + " (" + strerrordesc_np(-*result) + ")";
    return out;
}

} // namespace

Result<void> Trace::start(std::string_view path, std::span<const std::string> argv) const
{
    auto text = [](std::string_view s) {
        return quoted(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    };
    std::string line = std::to_string(getpid()) + " start(" + text(path) + ", [";
    for (size_t i = 0; i < argv.size(); ++i) line += (i ? ", " : "") + text(argv[i]);
    line += "])\n";
    if (::write(fd_, line.data(), line.size()) != ssize_t(line.size())) return Error::last();
    return {};
}

void Trace::record(Machine& machine, uint32_t number, const uint32_t args[3],
                   const CallDescription* call, std::optional<int32_t> result, bool injected) const
{
    std::string line = std::to_string(getpid()) + " ";
    line += call ? call->name : "call_" + std::to_string(number);
    int32_t stored = injected || !result || *result < 0 ? -1 : *result;
    const char* kinds = call ? call->argument_kinds : "xxx";
    line += '(';
    for (int i = 0; kinds[i] && i < 3; ++i) {
        if (i) line += ", ";
        line += argument(machine, kinds[i], args[i], i < 2 ? args[i + 1] : 0, stored);
    }
    line += ") = " + outcome(call, result);
    if (injected) line += " (injected)";
    line += '\n';
    (void)!::write(fd_, line.data(), line.size());
}

} // namespace yulos
