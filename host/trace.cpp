#include "trace.h"

#include "machine.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <yulos_kernel.h>

namespace yulos {
namespace {

constexpr uint32_t text_max = 4096;

int32_t sint(uint32_t word) { return static_cast<int32_t>(word); }

void append_text(std::string& line, Machine& m, uint32_t address)
{
    auto text = m.memory().text(address, text_max);
    if (!text) {
        char word[16];
        std::snprintf(word, sizeof word, "0x%x", address);
        line += word;
        return;
    }
    line += '"';
    for (char c : *text) {
        if (c == '"' || c == '\\') line += '\\';
        if (c >= 32 && c < 127)
            line += c;
        else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", uint8_t(c));
            line += escaped;
        }
    }
    line += '"';
}

void append_argument(std::string& line, Machine& m, char kind, uint32_t word)
{
    char text[48];
    switch (kind) {
    case 'i': std::snprintf(text, sizeof text, "%d", sint(word)); break;
    case 'u': std::snprintf(text, sizeof text, "%u", word); break;
    case 's': append_text(line, m, word); return;
    case 'r': {
        std::snprintf(text, sizeof text, "0x%x", word);
        line += text;
        auto bytes = m.memory().bytes(word, sizeof(spawn_ex_args), Access::read);
        if (!bytes) return;
        spawn_ex_args record;
        std::memcpy(&record, bytes->data(), sizeof record);
        line += " {";
        append_text(line, m, record.path);
        std::snprintf(text, sizeof text, ", argc %d, fds %d %d %d, flag %u}", record.argc,
                      record.stdin_fd, record.stdout_fd, record.stderr_fd, record.flag);
        break;
    }
    default: std::snprintf(text, sizeof text, "0x%x", word);
    }
    line += text;
}

} // namespace

void Trace::record(Machine& machine, uint32_t number, const uint32_t args[3],
                   const CallDescription* call, std::optional<int32_t> result, bool injected) const
{
    char head[64];
    std::snprintf(head, sizeof head, "%d %s(%u)", int(getpid()), call ? call->name : "unknown",
                  number);
    std::string line = head;
    const char* kinds = call ? call->argument_kinds : "xxx";
    for (int i = 0; kinds[i] && i < 3; ++i) {
        line += i == 0 ? " " : ", ";
        append_argument(line, machine, kinds[i], args[i]);
    }
    line += result ? " = " + std::to_string(*result) : " = ?";
    if (injected) line += " (injected)";
    line += '\n';
    (void)!::write(fd_, line.data(), line.size());
}

} // namespace yulos
