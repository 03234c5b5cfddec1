#include "run_limits.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace yulos {

namespace {

constexpr int32_t slot_free = 0, slot_reserved = -1, slot_clearing = -2;

} // namespace

// The shared table. Its fields are reached only through atomic references, as other processes
// change them at the same time.
struct RunSlots {
    uint32_t max_processes;
    uint32_t max_ptys;
    struct Slot {
        int32_t owner; // a process id, or slot_free, slot_reserved or slot_clearing
        uint32_t ptys; // pairs its process holds
    } slots[max_limit_processes];
};

namespace {

std::atomic_ref<int32_t> owner(RunSlots::Slot& slot) { return std::atomic_ref(slot.owner); }
std::atomic_ref<uint32_t> ptys(RunSlots::Slot& slot) { return std::atomic_ref(slot.ptys); }

Result<RunSlots*> map_slots(int fd)
{
    void* memory = mmap(nullptr, sizeof(RunSlots), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return Error::last();
    return static_cast<RunSlots*>(memory);
}

} // namespace

RunTable::RunTable(UniqueFd fd, RunSlots* slots, size_t size, uint32_t slot)
    : fd_(std::move(fd)), slots_(slots), size_(size), slot_(slot)
{
}

RunTable::RunTable(RunTable&& other) noexcept
    : fd_(std::move(other.fd_)), slots_(std::exchange(other.slots_, nullptr)), size_(other.size_),
      slot_(other.slot_)
{
}

// A process that ends holds no pairs any more; its slot stays taken until its parent has seen
// it end, so that processes ended and not yet waited for count too.
RunTable::~RunTable()
{
    if (!slots_) return;
    ptys(slots_->slots[slot_]).store(0);
    munmap(slots_, size_);
}

Result<RunTable> RunTable::create(const Limits& limits)
{
    UniqueFd fd(memfd_create("yulos-run", MFD_CLOEXEC));
    if (!fd.valid() || ftruncate(fd.get(), sizeof(RunSlots)) != 0)
        return Error("cannot make the run's process table: " + Error::last().text());
    Result<RunSlots*> slots = map_slots(fd.get());
    if (!slots) return Error("cannot map the run's process table: " + slots.error().text());
    (*slots)->max_processes = std::min(limits.processes, max_limit_processes);
    (*slots)->max_ptys = limits.ptys;
    owner((*slots)->slots[0]).store(getpid());
    return RunTable(std::move(fd), *slots, sizeof(RunSlots), 0);
}

Result<RunTable> RunTable::join(int fd, uint32_t slot)
{
    UniqueFd table(fd);
    struct stat info;
    if (slot >= max_limit_processes || fstat(fd, &info) != 0 ||
        size_t(info.st_size) < sizeof(RunSlots))
        return Error("the run's process table is not usable");
    Result<RunSlots*> slots = map_slots(fd);
    if (!slots) return Error("cannot map the run's process table: " + slots.error().text());
    return RunTable(std::move(table), *slots, sizeof(RunSlots), slot);
}

Result<uint32_t> RunTable::reserve_process()
{
    for (bool swept = false;; swept = true) {
        for (uint32_t i = 0; i < slots_->max_processes; ++i) {
            int32_t expected = slot_free;
            if (owner(slots_->slots[i]).compare_exchange_strong(expected, slot_reserved)) {
                ptys(slots_->slots[i]).store(0);
                return i;
            }
        }
        if (swept || !sweep()) return Error::code(EAGAIN);
    }
}

void RunTable::assign_process(uint32_t slot, pid_t pid) { owner(slots_->slots[slot]).store(pid); }

void RunTable::cancel_process(uint32_t slot)
{
    ptys(slots_->slots[slot]).store(0);
    owner(slots_->slots[slot]).store(slot_free);
}

void RunTable::release_process(pid_t pid)
{
    for (uint32_t i = 0; i < slots_->max_processes; ++i) {
        int32_t expected = pid;
        if (owner(slots_->slots[i]).compare_exchange_strong(expected, slot_clearing)) {
            cancel_process(i);
            return;
        }
    }
}

bool RunTable::pty_pair_fits()
{
    for (bool swept = false;; swept = true) {
        uint64_t held = 0;
        for (uint32_t i = 0; i < slots_->max_processes; ++i) held += ptys(slots_->slots[i]).load();
        if (held < slots_->max_ptys) return true;
        if (swept || !sweep()) return false;
    }
}

void RunTable::set_pty_pairs_held(uint32_t count) { ptys(slots_->slots[slot_]).store(count); }

bool RunTable::sweep()
{
    bool freed = false;
    for (uint32_t i = 0; i < slots_->max_processes; ++i) {
        int32_t pid = owner(slots_->slots[i]).load();
        if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
        if (owner(slots_->slots[i]).compare_exchange_strong(pid, slot_clearing)) {
            cancel_process(i);
            freed = true;
        }
    }
    return freed;
}

} // namespace yulos
