// Calling guest functions by name from host code (the tests): a fresh guest process per
// GuestCall, whose kernel calls go to a ScriptedKernel that records each one and answers as the
// test says, or to the real kernel. Built on the machine's inspection interface: a hook on the
// address calls return to, and hooks on the image's rdtsc instructions for a fixed counter.
#pragma once

#include "kernel.h"
#include "machine.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace yulos {

// One int 0x80 as the guest issued it.
struct KernelCallRecord {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
    // The bytes behind the call: the pty_pair record of the PTY-pair call, the spawn_ex_args
    // record of spawn_ex, the bytes offered to write, the path of calls that take one (text
    // without its NUL).
    std::vector<uint8_t> data;
    int32_t result = 0;

    std::string text() const { return std::string(data.begin(), data.end()); }
};

// A kernel that serves nothing: it records every call and answers from `answer` when set.
// Without an answer: write (1) takes every byte offered and returns the count; read (3) serves
// bytes from `input` (0 once it is empty); _exit (2) ends the run; everything else returns 0.
class ScriptedKernel final : public KernelCalls {
  public:
    std::function<std::optional<int32_t>(const KernelCallRecord&)> answer;
    std::deque<uint8_t> input;
    bool exit_returns = false; // when set, _exit (2) returns to the guest like any other call

    std::vector<KernelCallRecord> calls;
    std::string output; // every byte accepted by write (1), whatever the descriptor

    std::vector<KernelCallRecord> calls_numbered(uint32_t number) const;
    void serve(Machine& machine) override;
};

// How a call into the guest ended.
struct CallOutcome {
    enum class Kind { returned, exited, fault, halted } kind = Kind::returned;
    int32_t status = 0;  // for exited
    std::string message; // for fault
    uint32_t eax = 0, edx = 0;
    std::array<uint8_t, 10> st0{}; // x87 top of stack, for long double and double results
};

class GuestCall {
  public:
    // A fresh guest process running `image_path` (a host path) with a scripted kernel.
    explicit GuestCall(const std::string& image_path);
    // The same, with the real kernel of a process rooted at `root` (a host directory) and an
    // empty descriptor table.
    GuestCall(const std::string& image_path, const std::string& root);

    GuestCall(const GuestCall&) = delete;
    GuestCall& operator=(const GuestCall&) = delete;

    ScriptedKernel& kernel() { return scripted_; }
    Kernel& real_kernel() { return *real_; }
    Machine& machine() { return *machine_; }

    // Address of a global symbol of the image; fails the test when it is missing.
    uint32_t symbol(std::string_view name) const;

    // Calls a function with cdecl word arguments and runs until it returns, exits or faults.
    CallOutcome call(std::string_view name, std::initializer_list<uint32_t> args);
    CallOutcome call(std::string_view name, std::span<const uint32_t> args);
    // Shorthand for call(...).eax, failing the test when the call does not return.
    uint32_t call_word(std::string_view name, std::initializer_list<uint32_t> args);

    // Makes every rdtsc of the image read `value` (tests that need a known time-stamp counter).
    void fix_time_stamp_counter(uint64_t value);

    // Scratch memory in the guest, zeroed, never reused during the GuestCall's life.
    uint32_t alloc(uint32_t size, uint32_t align = 16);
    uint32_t put_string(std::string_view text); // with its NUL
    uint32_t put_bytes(std::span<const uint8_t> bytes);
    uint32_t put_words(std::initializer_list<uint32_t> words); // e.g. a va_list

    std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
    std::string read_string(uint32_t address, uint32_t max = 1u << 20) const;
    uint32_t read_u32(uint32_t address) const;
    void write(uint32_t address, std::span<const uint8_t> bytes);
    void write_u32(uint32_t address, uint32_t value);

  private:
    void prepare();
    StopReason run_call(uint32_t function, std::span<const uint32_t> args);

    ScriptedKernel scripted_;
    std::unique_ptr<Kernel> real_;
    std::unique_ptr<Machine> machine_;
    uint32_t scratch_next_ = 0;
    std::optional<uint64_t> fixed_tsc_;
};

// 80-bit x87 value as its 10 little-endian bytes, from a host long double.
std::array<uint8_t, 10> x87_bytes(long double value);

} // namespace yulos
