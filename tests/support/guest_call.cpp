#include "guest_call.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <yulos_kernel.h>

namespace yulos {
namespace {

// Test scratch memory lies outside the user range, well away from the stack.
constexpr uint32_t scratch_base = 0xA0000000;
constexpr uint32_t scratch_size = 16u << 20;
// A page of the host's own, outside the user range, that calls from the host return to.
constexpr uint32_t return_page = 0x00001000;
constexpr uint8_t hlt_opcode = 0xf4;

std::unique_ptr<Machine> start(const std::string& image_path, KernelCalls& kernel)
{
    auto bytes = read_host_file(image_path);
    if (!bytes) {
        ADD_FAILURE() << bytes.error().message;
        return nullptr;
    }
    auto image = parse_elf_image(*bytes, image_path);
    if (!image) {
        ADD_FAILURE() << image.error().message;
        return nullptr;
    }
    auto machine = Machine::create(*image, kernel);
    if (!machine) {
        ADD_FAILURE() << machine.error().message;
        return nullptr;
    }
    return std::move(*machine);
}

// The bytes that tests want to see behind a call.
std::vector<uint8_t> call_data(Machine& m, const KernelCallRecord& r)
{
    auto copy = [&](uint32_t address, uint32_t length) -> std::vector<uint8_t> {
        auto view = m.memory().bytes(address, length, Access::read);
        return view ? std::vector<uint8_t>(view->begin(), view->end()) : std::vector<uint8_t>();
    };
    auto text = [&](uint32_t address) -> std::vector<uint8_t> {
        auto t = m.memory().text(address, 4096);
        return t ? std::vector<uint8_t>(t->begin(), t->end()) : std::vector<uint8_t>();
    };
    switch (r.eax) {
    case SYS_WRITE: return copy(r.ecx, r.edx);
    case SYS_PTY_PAIR: return copy(r.ebx, sizeof(pty_pair));
    case SYS_SPAWN_EX: return copy(r.ebx, sizeof(spawn_ex_args));
    case SYS_OPEN:
    case SYS_WRITEFILE:
    case SYS_MKDIR:
    case SYS_UNLINK:
    case SYS_RMDIR:
    case SYS_YULFS_STREAM_BEGIN:
    case SYS_CHDIR:
    case SYS_MKFIFO:
    case SYS_SPAWN: return text(r.ebx);
    case SYS_YULFS_STREAM_WRITE: return copy(r.ecx, r.edx);
    }
    return {};
}

} // namespace

std::vector<KernelCallRecord> ScriptedKernel::calls_numbered(uint32_t number) const
{
    std::vector<KernelCallRecord> found;
    for (const KernelCallRecord& r : calls)
        if (r.eax == number) found.push_back(r);
    return found;
}

void ScriptedKernel::serve(Machine& m)
{
    KernelCallRecord r{m.reg(Reg::eax), m.reg(Reg::ebx), m.reg(Reg::ecx), m.reg(Reg::edx), {}, 0};
    r.data = call_data(m, r);
    std::optional<int32_t> scripted = answer ? answer(r) : std::nullopt;
    if (scripted)
        r.result = *scripted;
    else if (r.eax == SYS_WRITE)
        r.result = int32_t(r.data.size());
    else if (r.eax == SYS_READ) {
        uint32_t n = 0;
        auto buffer = m.memory().bytes(r.ecx, r.edx, Access::write);
        if (!buffer)
            r.result = -EFAULT;
        else {
            for (; n < r.edx && !input.empty(); ++n) {
                (*buffer)[n] = input.front();
                input.pop_front();
            }
            r.result = int32_t(n);
        }
    }
    if (r.eax == SYS_WRITE && r.result > 0)
        output.append(r.data.begin(), r.data.begin() + std::min<size_t>(r.result, r.data.size()));
    calls.push_back(r);
    if (r.eax == SYS_EXIT && !exit_returns) {
        m.exit(int32_t(r.ebx));
        return;
    }
    m.set_reg(Reg::eax, uint32_t(r.result));
}

GuestCall::GuestCall(const std::string& image_path) : machine_(start(image_path, scripted_))
{
    prepare();
}

GuestCall::GuestCall(const std::string& image_path, const std::string& root)
{
    scratch_next_ = scratch_base;
    auto guest_root = GuestRoot::open(root);
    if (!guest_root) {
        ADD_FAILURE() << guest_root.error().message;
        return;
    }
    auto run = RunTable::create(Limits{});
    if (!run) {
        ADD_FAILURE() << run.error().text();
        return;
    }
    real_ = std::make_unique<Kernel>(std::move(*guest_root), Descriptors{}, KernelOptions{},
                                     std::move(*run));
    machine_ = start(image_path, *real_);
    prepare();
}

// Scratch memory, and the page calls return to: should the guest ever run it, it halts; a
// return to its first byte stops the run before that.
void GuestCall::prepare()
{
    scratch_next_ = scratch_base;
    if (!machine_) return;
    GuestMemory& memory = machine_->memory();
    memory.map(scratch_base, scratch_size, true, true, false);
    memory.map(return_page, page_size, true, false, true);
    const uint8_t halt[] = {hlt_opcode};
    memory.patch(return_page, halt);
    Machine& machine = *machine_;
    machine.hook_address(return_page, [&machine] { machine.request_stop(); });
}

// Each call starts with an empty x87 stack, as the calling convention promises a callee; a
// floating-point result left by an earlier call would otherwise pile up.
StopReason GuestCall::run_call(uint32_t function, std::span<const uint32_t> args)
{
    Machine& m = *machine_;
    m.set_reg(Reg::fctrl, 0x37f);
    m.set_reg(Reg::fstat, 0);
    m.set_reg(Reg::ftag, 0xffff);
    uint32_t sp = (stack_top - 4096) & ~15u;
    sp -= uint32_t(args.size()) * 4;
    for (size_t i = 0; i < args.size(); ++i) m.memory().write_u32(sp + 4 * uint32_t(i), args[i]);
    sp -= 4;
    m.memory().write_u32(sp, return_page);
    m.set_reg(Reg::esp, sp);
    m.set_reg(Reg::eip, function);
    return m.resume();
}

// rdtsc (0f 31) is answered from the fixed value and stepped over. Every such byte pair in the
// code is hooked; a pair inside another instruction is never reached, and its hook never fires.
void GuestCall::fix_time_stamp_counter(uint64_t value)
{
    bool first = !fixed_tsc_;
    fixed_tsc_ = value;
    if (!first || !machine_) return;
    Machine& m = *machine_;
    for (const Segment& segment : m.image().segments) {
        if (!segment.executable) continue;
        for (size_t i = 0; i + 1 < segment.bytes.size(); ++i) {
            if (segment.bytes[i] != 0x0f || segment.bytes[i + 1] != 0x31) continue;
            uint32_t address = segment.address + uint32_t(i);
            m.hook_address(address, [this, &m, address] {
                m.set_reg(Reg::eax, uint32_t(*fixed_tsc_));
                m.set_reg(Reg::edx, uint32_t(*fixed_tsc_ >> 32));
                m.set_reg(Reg::eip, address + 2);
            });
        }
    }
}

uint32_t GuestCall::symbol(std::string_view name) const
{
    if (!machine_) return 0;
    auto found = machine_->image().symbols.find(name);
    if (found == machine_->image().symbols.end()) {
        ADD_FAILURE() << "no symbol " << name;
        return 0;
    }
    return found->second;
}

CallOutcome GuestCall::call(std::string_view name, std::span<const uint32_t> args)
{
    CallOutcome outcome;
    if (!machine_) {
        outcome.kind = CallOutcome::Kind::fault;
        outcome.message = "no guest process";
        return outcome;
    }
    uint32_t function = symbol(name);
    if (!function) {
        outcome.kind = CallOutcome::Kind::fault;
        outcome.message = "no such function";
        return outcome;
    }
    StopReason stop = run_call(function, args);
    switch (stop.kind) {
    case StopReason::Kind::exited: outcome.kind = CallOutcome::Kind::exited; break;
    case StopReason::Kind::fault: outcome.kind = CallOutcome::Kind::fault; break;
    case StopReason::Kind::halted: outcome.kind = CallOutcome::Kind::halted; break;
    case StopReason::Kind::stopped: outcome.kind = CallOutcome::Kind::returned; break;
    }
    outcome.status = stop.status;
    outcome.message = stop.message;
    outcome.eax = machine_->reg(Reg::eax);
    outcome.edx = machine_->reg(Reg::edx);
    std::vector<uint8_t> st0 = machine_->register_bytes(Reg::st0);
    std::copy(st0.begin(), st0.end(), outcome.st0.begin());
    return outcome;
}

CallOutcome GuestCall::call(std::string_view name, std::initializer_list<uint32_t> args)
{
    return call(name, std::span<const uint32_t>(args.begin(), args.size()));
}

uint32_t GuestCall::call_word(std::string_view name, std::initializer_list<uint32_t> args)
{
    CallOutcome outcome = call(name, args);
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::returned) << name << ": " << outcome.message;
    return outcome.eax;
}

uint32_t GuestCall::alloc(uint32_t size, uint32_t align)
{
    uint32_t address = (scratch_next_ + align - 1) & ~(align - 1);
    if (uint64_t(address) + size > uint64_t(scratch_base) + scratch_size) {
        ADD_FAILURE() << "guest scratch memory exhausted";
        return 0;
    }
    scratch_next_ = address + size;
    return address;
}

uint32_t GuestCall::put_bytes(std::span<const uint8_t> bytes)
{
    uint32_t address = alloc(uint32_t(bytes.size()) + 1);
    write(address, bytes);
    return address;
}

uint32_t GuestCall::put_string(std::string_view text)
{
    return put_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

uint32_t GuestCall::put_words(std::initializer_list<uint32_t> words)
{
    uint32_t address = alloc(uint32_t(words.size()) * 4 + 4);
    uint32_t at = address;
    for (uint32_t w : words) {
        write_u32(at, w);
        at += 4;
    }
    return address;
}

std::vector<uint8_t> GuestCall::read(uint32_t address, uint32_t length) const
{
    auto view = machine_ ? machine_->memory().bytes(address, length, Access::read) : std::nullopt;
    if (!view) {
        ADD_FAILURE() << "cannot read guest memory at " << address;
        return std::vector<uint8_t>(length);
    }
    return std::vector<uint8_t>(view->begin(), view->end());
}

std::string GuestCall::read_string(uint32_t address, uint32_t max) const
{
    auto text = machine_ ? machine_->memory().text(address, max) : std::nullopt;
    if (!text) {
        ADD_FAILURE() << "no readable text at " << address;
        return {};
    }
    return std::string(*text);
}

uint32_t GuestCall::read_u32(uint32_t address) const
{
    auto bytes = read(address, 4);
    uint32_t value;
    std::memcpy(&value, bytes.data(), 4);
    return value;
}

void GuestCall::write(uint32_t address, std::span<const uint8_t> bytes)
{
    auto view = machine_ ? machine_->memory().bytes(address, uint32_t(bytes.size()), Access::write)
                         : std::nullopt;
    if (!view) {
        ADD_FAILURE() << "cannot write guest memory at " << address;
        return;
    }
    // An empty range has no host storage (its view's data is null): nothing to copy.
    if (!bytes.empty()) std::memcpy(view->data(), bytes.data(), bytes.size());
}

void GuestCall::write_u32(uint32_t address, uint32_t value)
{
    uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    write(address, bytes);
}

std::array<uint8_t, 10> x87_bytes(long double value)
{
    std::array<uint8_t, 10> bytes;
    std::memcpy(bytes.data(), &value, 10);
    return bytes;
}

} // namespace yulos
