#include "guest_memory.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unicorn/unicorn.h>
#include <utility>

namespace yulos {

namespace {

constexpr int anonymous = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
constexpr uint64_t host_page = 0x1000; // regions start and end on page boundaries

} // namespace

// Reserved without backing store: only the pages the guest touches cost memory.
HostMapping::HostMapping(size_t size, int protection, void* preferred) : size_(size)
{
    void* p = MAP_FAILED;
    if (preferred) p = mmap(preferred, size, protection, anonymous | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED) p = mmap(nullptr, size, protection, anonymous, -1, 0);
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

// Below 2 GiB when it can be, so that translated code reaches guest memory through a 32-bit
// displacement (engine_tuning.h); above the first GiB, where the host's heap begins.
GuestMemory::GuestMemory(uc_struct* engine)
    : engine_(engine), window_(window_size, PROT_NONE, reinterpret_cast<void*>(0x70000000))
{
}

bool GuestMemory::map(uint32_t start, uint32_t size, bool readable, bool writable, bool executable,
                      std::span<const uint8_t> contents, uint32_t contents_offset)
{
    uint64_t end = uint64_t(start) + size;
    if (size == 0 || end > (uint64_t(1) << 32) || contents_offset > size ||
        contents.size() > size - contents_offset)
        return false;
    for (const Region& r : regions_)
        if (start < uint64_t(r.start) + r.size && r.start < end) return false;
    uint8_t* host = window_.data() + start;
    if (mmap(host, size, PROT_READ | PROT_WRITE, MAP_FIXED | anonymous, -1, 0) == MAP_FAILED)
        return false;
    if (!contents.empty()) std::memcpy(host + contents_offset, contents.data(), contents.size());
    // Every mapped page is readable to the host: the engine's translator reads instructions
    // through it, and a debugger may inspect any page. Where the guest may not read, its loads
    // take the engine's path (the protection is not exact).
    int host_protection = PROT_READ | (writable ? PROT_WRITE : 0);
    uint32_t prot = (readable ? UC_PROT_READ : 0) | (writable ? UC_PROT_WRITE : 0) |
                    (executable ? UC_PROT_EXEC : 0);
    if (mprotect(host, size, host_protection) != 0 ||
        uc_mem_map_ptr(engine_, start, size, prot, host) != UC_ERR_OK) {
        mmap(host, size, PROT_NONE, MAP_FIXED | anonymous, -1, 0); // gives the pages back
        return false;
    }
    if (exact_ && !(readable && !(writable && executable))) {
        exact_ = false;
#ifdef YULOS_ENGINE_WRAPS
        // Code translated so far reaches memory through the window: translate it afresh.
        // (Dropping the translations of each code region is quick; the engine's flush of all
        // of them clears its whole translation buffer.)
        if (window_used_)
            for (const Region& r : regions_)
                if (r.executable)
                    uc_ctl(engine_, UC_CTL_WRITE(UC_CTL_TB_REMOVE_CACHE, 2), uint64_t(r.start),
                           uint64_t(r.start) + r.size);
#endif
    }
    regions_.push_back(Region{start, size, readable, writable, executable, {host, size}});
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
        // A page the guest may not write is read-only to the host as well: opened for the copy.
        uint64_t first = (at - r->start) & ~uint64_t(host_page - 1);
        uint64_t past = (stop - r->start + host_page - 1) & ~uint64_t(host_page - 1);
        uint8_t* pages = r->memory.data() + first;
        if (!r->writable && mprotect(pages, past - first, PROT_READ | PROT_WRITE) != 0)
            return false;
        std::memcpy(r->memory.data() + (at - r->start), bytes.data() + (at - address), stop - at);
        if (!r->writable) mprotect(pages, past - first, PROT_READ);
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
