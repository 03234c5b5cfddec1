#include "guest_memory.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unicorn/unicorn.h>
#include <utility>

namespace yulos {

// Reserved without backing store: only the pages the guest touches cost memory.
HostMapping::HostMapping(size_t size) : size_(size)
{
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
}

HostMapping::HostMapping(HostMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

HostMapping::~HostMapping()
{
    if (data_) munmap(data_, size_);
}

bool GuestMemory::map(uint32_t start, uint32_t size, bool readable, bool writable, bool executable)
{
    uint64_t end = uint64_t(start) + size;
    for (const Region& r : regions_)
        if (start < uint64_t(r.start) + r.size && r.start < end) return false;
    Region region{start, size, readable, writable, executable, HostMapping(size)};
    uint32_t prot = (readable ? UC_PROT_READ : 0) | (writable ? UC_PROT_WRITE : 0) |
                    (executable ? UC_PROT_EXEC : 0);
    if (uc_mem_map_ptr(engine_, start, size, prot, region.memory.data()) != UC_ERR_OK) return false;
    regions_.push_back(std::move(region));
    return true;
}

const Region* GuestMemory::region_of(uint32_t address) const
{
    for (const Region& r : regions_)
        if (address >= r.start && address - r.start < r.size) return &r;
    return nullptr;
}

std::optional<std::span<uint8_t>> GuestMemory::bytes(uint32_t address, uint32_t length,
                                                     Access access)
{
    if (length == 0) return std::span<uint8_t>();
    const Region* r = region_of(address);
    if (!r) return std::nullopt;
    if (length > r->size - (address - r->start)) return std::nullopt;
    if (access == Access::read && !r->readable) return std::nullopt;
    if (access == Access::write && !r->writable) return std::nullopt;
    return std::span<uint8_t>(r->memory.data() + (address - r->start), length);
}

std::optional<std::string_view> GuestMemory::text(uint32_t address, uint32_t max)
{
    const Region* r = region_of(address);
    if (!r || !r->readable) return std::nullopt;
    uint32_t available = r->size - (address - r->start);
    const char* start = reinterpret_cast<const char*>(r->memory.data() + (address - r->start));
    uint32_t limit = available < max ? available : max;
    const void* nul = std::memchr(start, 0, limit);
    if (!nul) return std::nullopt;
    return std::string_view(start, static_cast<const char*>(nul) - start);
}

std::vector<uint8_t> GuestMemory::inspect(uint32_t address, uint32_t length) const
{
    std::vector<uint8_t> out;
    uint64_t at = address, end = uint64_t(address) + length;
    while (at < end) {
        const Region* r = at > UINT32_MAX ? nullptr : region_of(uint32_t(at));
        if (!r) break;
        uint64_t stop = std::min<uint64_t>(end, uint64_t(r->start) + r->size);
        const uint8_t* from = r->memory.data() + (at - r->start);
        out.insert(out.end(), from, from + (stop - at));
        at = stop;
    }
    return out;
}

bool GuestMemory::patch(uint32_t address, std::span<const uint8_t> bytes)
{
    uint64_t end = uint64_t(address) + bytes.size();
    for (uint64_t at = address; at < end;) {
        const Region* r = at > UINT32_MAX ? nullptr : region_of(uint32_t(at));
        if (!r) return false;
        at = uint64_t(r->start) + r->size;
    }
    for (uint64_t at = address; at < end;) {
        const Region* r = region_of(uint32_t(at));
        uint64_t stop = std::min<uint64_t>(end, uint64_t(r->start) + r->size);
        std::memcpy(r->memory.data() + (at - r->start), bytes.data() + (at - address), stop - at);
        if (r->executable) uc_ctl_remove_cache(engine_, at, stop);
        at = stop;
    }
    return true;
}

std::optional<uint32_t> GuestMemory::read_u32(uint32_t address)
{
    auto view = bytes(address, 4, Access::read);
    if (!view) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, view->data(), 4);
    return value;
}

bool GuestMemory::write_u32(uint32_t address, uint32_t value)
{
    auto view = bytes(address, 4, Access::write);
    if (!view) return false;
    std::memcpy(view->data(), &value, 4);
    return true;
}

} // namespace yulos
