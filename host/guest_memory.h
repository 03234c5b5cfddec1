// The guest's address space: host mappings handed to the CPU engine, and the one checked
// accessor through which host code reaches guest memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

struct uc_struct;

namespace yulos {

enum class Access : uint8_t { read = 1, write = 2 };

// Anonymous host memory, reserved without backing store and released with the object; at
// `preferred` when that range is free, anywhere otherwise.
class HostMapping {
  public:
    HostMapping(size_t size, int protection, void* preferred = nullptr);
    HostMapping(HostMapping&& other) noexcept;
    HostMapping& operator=(HostMapping&&) = delete;
    HostMapping(const HostMapping&) = delete;
    ~HostMapping();
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

struct Region {
    uint32_t start = 0;
    uint32_t size = 0;
    bool readable = false, writable = false, executable = false;
    std::span<uint8_t> memory; // inside the window
};

// The whole 32-bit address space is one host reservation, the window: guest address A is at
// window() + A, so translated code reaches guest memory with one addition (engine_tuning.h).
// The host protects each mapped range as the guest may access its data; everything else in the
// window, a few bytes past its end included, is inaccessible.
class GuestMemory {
  public:
    explicit GuestMemory(uc_struct* engine);

    // Maps [start, start + size) (page-aligned) with the given permissions, filled with zeros
    // and `contents` at `start + contents_offset`; false when the engine refuses, the range is
    // taken or the contents do not fit.
    bool map(uint32_t start, uint32_t size, bool readable, bool writable, bool executable,
             std::span<const uint8_t> contents = {}, uint32_t contents_offset = 0);

    // Host view of [address, address + length) when the whole range lies in one region that
    // allows `access`; nothing otherwise. A length of 0 needs no mapping.
    std::optional<std::span<uint8_t>> bytes(uint32_t address, uint32_t length, Access access);

    // The NUL-terminated text at `address`, without its NUL, when it is readable and its NUL
    // comes within `max` bytes.
    std::optional<std::string_view> text(uint32_t address, uint32_t max);

    std::optional<uint32_t> read_u32(uint32_t address);
    bool write_u32(uint32_t address, uint32_t value);

    const Region* region_of(uint32_t address) const;

    // For a debugger, whatever the pages' permissions: the bytes from `address` on, up to
    // `length`, as far as they are mapped without a gap (fewer, or none, where the range runs
    // into unmapped memory).
    std::vector<uint8_t> inspect(uint32_t address, uint32_t length) const;
    // For a debugger, whatever the pages' permissions: writes `bytes` at `address` and drops
    // the code translated from them; false, with nothing written, when any byte is unmapped.
    bool patch(uint32_t address, std::span<const uint8_t> bytes);

    // The window covers the 32-bit address space and a little more: an access of up to 16
    // bytes that starts near its top ends in the inaccessible tail, not past the reservation.
    static constexpr size_t window_size = (size_t(1) << 32) + 0x10000;
    uint8_t* window() const { return window_.data(); }

    // Whether the host's protection of every mapped range allows exactly the loads and stores
    // the guest may make there: every region is readable, and none is writable and executable
    // (stores to code must reach the engine, which drops its translations of that code).
    bool host_protection_exact() const { return exact_; }
    // Noted by the engine's translator once translated code reaches memory through the window.
    void window_used() { window_used_ = true; }

  private:
    uc_struct* engine_;
    HostMapping window_;
    bool exact_ = true;
    bool window_used_ = false;
    std::vector<Region> regions_;
};

} // namespace yulos
