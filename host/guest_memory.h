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

// Anonymous host memory, released with the region.
class HostMapping {
  public:
    explicit HostMapping(size_t size);
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
    HostMapping memory;
};

class GuestMemory {
  public:
    explicit GuestMemory(uc_struct* engine) : engine_(engine) {}

    // Maps [start, start + size) (page-aligned) with the given permissions; false when the
    // engine refuses or the range is taken.
    bool map(uint32_t start, uint32_t size, bool readable, bool writable, bool executable);

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

  private:
    uc_struct* engine_;
    std::vector<Region> regions_;
};

} // namespace yulos
