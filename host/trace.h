// The trace of kernel calls: one line per call, for every process of a run, in one file.
#pragma once

#include <cstdint>
#include <optional>

namespace yulos {

class Machine;

// How a call's arguments are shown; the table of services gives one kind per argument word.
struct CallDescription {
    const char* name;
    const char* argument_kinds; // i signed, u unsigned, x address, s path text, r spawn record
};

class Trace {
  public:
    explicit Trace(int fd) : fd_(fd) {}
    bool enabled() const { return fd_ >= 0; }

    // One call: `call` is null for a number that no service has; `result` is empty for a call
    // that does not return (the process's end); `injected` marks a result made up by --fail.
    void record(Machine& machine, uint32_t number, const uint32_t args[3],
                const CallDescription* call, std::optional<int32_t> result, bool injected) const;

  private:
    int fd_;
};

} // namespace yulos
