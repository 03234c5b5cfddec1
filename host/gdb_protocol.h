// The GDB remote serial protocol's transport: a listening socket on the loopback address, and
// packets framed as $PAYLOAD#CHECKSUM with their acknowledgements. What the packets mean is the
// stub's business (gdb_stub.h).
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace yulos {

// The byte a debugger sends, outside any packet, to interrupt the running guest.
constexpr char interrupt_byte = 0x03;
// The longest packet the debugger may send (told in qSupported), and so the most memory one
// reply carries.
constexpr size_t max_packet = 0x4000;

class GdbConnection {
  public:
    explicit GdbConnection(UniqueFd socket) : socket_(std::move(socket)) {}

    // The next packet's payload, acknowledged; a lone interrupt byte comes back as a payload
    // of that one byte. Nothing once the debugger has gone.
    std::optional<std::string> receive();
    // Frames and sends a packet, resending it until the debugger acknowledges it; false once
    // the debugger has gone.
    bool send(std::string_view payload);
    // Bytes read from the socket by someone else (while the guest ran), to be received first.
    void unread(std::string_view bytes) { pending_.insert(0, bytes); }

    int socket() const { return socket_.get(); }

  private:
    std::optional<char> next_byte();

    UniqueFd socket_;
    std::string pending_;
};

// Listens on 127.0.0.1:`port` (0: a free port of the system's choice), says
// "yulos: waiting for gdb on 127.0.0.1:PORT" on `diagnostics` and waits for one debugger.
// The sockets are close-on-exec: spawned children never inherit them.
Result<GdbConnection> wait_for_debugger(uint16_t port, int diagnostics);

// Hexadecimal text as the protocol writes numbers and bytes.
std::string hex_bytes(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> bytes_from_hex(std::string_view text);
// A number in hexadecimal, the whole text; nothing for an empty or malformed text.
std::optional<uint32_t> hex_number(std::string_view text);

} // namespace yulos
