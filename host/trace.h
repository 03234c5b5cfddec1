// The trace of kernel calls, in the manner of strace: one line per call, for every process of a
// run, all in one file:
//   PID start("/binaries/hello", ["hello", "world"])
//   PID write(1, "hi\n", 3) = 3
//   PID open("/missing", O_RDONLY, 0x0) = -2 ENOENT (No such file or directory)
// Texts and buffers are quoted with C escapes and cut after 32 bytes with "...".
#pragma once

#include "result.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace yulos {

class Machine;

// How a call is shown. One kind per argument word:
//   i signed, u unsigned, x address, d descriptor,
//   s text the call reads, S text the call stores (shown once it returns),
//   b bytes the call reads (their count is the next word), B bytes the call delivers (as many
//   as it returns), f open flags, w lseek's whence, W waitpid's options, v argument vector
//   (its count is the next word), P two descriptors the call stores, I a word the call stores,
//   r the spawn record.
struct CallDescription {
    const char* name;
    const char* argument_kinds;
    bool negative_is_error = true; // a negative result is an error number
};

class Trace {
  public:
    explicit Trace(int fd) : fd_(fd) {}
    bool enabled() const { return fd_ >= 0; }

    // The first line of a run: the program it starts and its arguments.
    Result<void> start(std::string_view path, std::span<const std::string> argv) const;

    // One call: `call` is null for a number that no service has; `result` is empty for a call
    // that does not return (the process's end); `injected` marks a result made up by --fail.
    void record(Machine& machine, uint32_t number, const uint32_t args[3],
                const CallDescription* call, std::optional<int32_t> result, bool injected) const;

  private:
    int fd_;
};

} // namespace yulos
