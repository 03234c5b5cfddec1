#include "gdb_protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace yulos {
namespace {

constexpr char digits[] = "0123456789abcdef";

int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters that frame packets are sent as '}' and the character xor 0x20.
bool needs_escape(char c) { return c == '$' || c == '#' || c == '}' || c == '*'; }

std::string socket_error(std::string_view what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

std::optional<char> GdbConnection::next_byte()
{
    if (pending_.empty()) {
        char chunk[4096];
        ssize_t n;
        do n = ::read(socket_.get(), chunk, sizeof chunk);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return std::nullopt;
        pending_.assign(chunk, size_t(n));
    }
    char c = pending_.front();
    pending_.erase(0, 1);
    return c;
}

// Acknowledgements and stray bytes between packets are skipped; a packet longer than any the
// debugger was told it may send ends the connection; a packet whose checksum does not
// match is refused with '-', and the debugger sends it again.
std::optional<std::string> GdbConnection::receive()
{
    for (;;) {
        std::optional<char> c = next_byte();
        if (!c) return std::nullopt;
        if (*c == interrupt_byte) return std::string(1, interrupt_byte);
        if (*c != '$') continue;
        std::string payload;
        uint8_t sum = 0;
        while ((c = next_byte()) && *c != '#') {
            if (payload.size() == max_packet) return std::nullopt;
            payload += *c;
            sum = uint8_t(sum + uint8_t(*c));
        }
        if (!c) return std::nullopt;
        std::optional<char> high = next_byte();
        std::optional<char> low = next_byte();
        if (!high || !low) return std::nullopt;
        bool intact = digit_value(*high) >= 0 && digit_value(*low) >= 0 &&
                      uint8_t(digit_value(*high) * 16 + digit_value(*low)) == sum;
        if (::write(socket_.get(), intact ? "+" : "-", 1) != 1) return std::nullopt;
        if (intact) return payload;
    }
}

bool GdbConnection::send(std::string_view payload)
{
    std::string frame = "$";
    uint8_t sum = 0;
    for (char c : payload) {
        if (needs_escape(c)) {
            frame += '}';
            c = char(c ^ 0x20);
            sum = uint8_t(sum + '}');
        }
        frame += c;
        sum = uint8_t(sum + uint8_t(c));
    }
    frame += '#';
    frame += digits[sum >> 4];
    frame += digits[sum & 15];
    for (;;) {
        for (size_t sent = 0; sent < frame.size();) {
            ssize_t n =
                ::send(socket_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += size_t(n);
        }
        for (;;) {
            std::optional<char> c = next_byte();
            if (!c) return false;
            if (*c == '+') return true;
            if (*c == '-') break;
            if (*c == '$' || *c == interrupt_byte) { // the debugger moved on without an ack
                pending_.insert(pending_.begin(), *c);
                return true;
            }
        }
    }
}

Result<GdbConnection> wait_for_debugger(uint16_t port, int diagnostics)
{
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) return Error(socket_error("gdb socket"));
    int on = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string where = "127.0.0.1:" + std::to_string(port);
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Error(socket_error("cannot listen for gdb on " + where));
    socklen_t length = sizeof address;
    if (listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Error(socket_error("cannot listen for gdb on " + where));
    std::string line =
        "yulos: waiting for gdb on 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\n";
    (void)!::write(diagnostics, line.data(), line.size());
    int accepted;
    do accepted = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    while (accepted < 0 && errno == EINTR);
    if (accepted < 0) return Error(socket_error("cannot accept gdb's connection"));
    UniqueFd connection(accepted);
    setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return GdbConnection(std::move(connection));
}

std::string hex_bytes(std::span<const uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::optional<std::vector<uint8_t>> bytes_from_hex(std::string_view text)
{
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = digit_value(text[i]), low = digit_value(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(uint8_t(high * 16 + low));
    }
    return bytes;
}

std::optional<uint32_t> hex_number(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        int d = digit_value(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + uint32_t(d);
    }
    return value;
}

} // namespace yulos
