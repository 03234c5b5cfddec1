#include "gdb_stub.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace yulos {
namespace {

// Signal numbers as gdb counts them.
constexpr int signal_interrupt = 2, signal_trap = 5, signal_kill = 9;
constexpr int signal_illegal_instruction = 4;

constexpr uint32_t max_memory_reply = (max_packet - 32) / 2;

// While a stop is asked for but the run goes on (it began just after the ask), it is asked
// again this often.
constexpr int stop_retry_ms = 50;

// ---- target description ----

// The registers in the order and sizes of the `g` packet; the i386 core and SSE features.
struct RegisterDescription {
    const char* name;
    const char* type;
    const char* group; // null: general
};

constexpr RegisterDescription register_descriptions[register_count] = {
    {"eax", "int32", nullptr},         {"ecx", "int32", nullptr},
    {"edx", "int32", nullptr},         {"ebx", "int32", nullptr},
    {"esp", "data_ptr", nullptr},      {"ebp", "data_ptr", nullptr},
    {"esi", "int32", nullptr},         {"edi", "int32", nullptr},
    {"eip", "code_ptr", nullptr},      {"eflags", "i386_eflags", nullptr},
    {"cs", "int32", nullptr},          {"ss", "int32", nullptr},
    {"ds", "int32", nullptr},          {"es", "int32", nullptr},
    {"fs", "int32", nullptr},          {"gs", "int32", nullptr},
    {"st0", "i387_ext", "float"},      {"st1", "i387_ext", "float"},
    {"st2", "i387_ext", "float"},      {"st3", "i387_ext", "float"},
    {"st4", "i387_ext", "float"},      {"st5", "i387_ext", "float"},
    {"st6", "i387_ext", "float"},      {"st7", "i387_ext", "float"},
    {"fctrl", "int", "float"},         {"fstat", "int", "float"},
    {"ftag", "int", "float"},          {"fiseg", "int", "float"},
    {"fioff", "int", "float"},         {"foseg", "int", "float"},
    {"fooff", "int", "float"},         {"fop", "int", "float"},
    {"xmm0", "vec128", "vector"},      {"xmm1", "vec128", "vector"},
    {"xmm2", "vec128", "vector"},      {"xmm3", "vec128", "vector"},
    {"xmm4", "vec128", "vector"},      {"xmm5", "vec128", "vector"},
    {"xmm6", "vec128", "vector"},      {"xmm7", "vec128", "vector"},
    {"mxcsr", "i386_mxcsr", "vector"},
};

std::string register_line(size_t number)
{
    const RegisterDescription& description = register_descriptions[number];
    std::string line = "<reg name=\"" + std::string(description.name) + "\" bitsize=\"" +
                       std::to_string(register_size(Reg(number)) * 8) + "\" type=\"" +
                       description.type + "\" regnum=\"" + std::to_string(number) + "\"";
    if (description.group) line += " group=\"" + std::string(description.group) + "\"";
    return line + "/>\n";
}

std::string flags_type(const char* id, std::initializer_list<std::pair<const char*, int>> bits)
{
    std::string type = "<flags id=\"" + std::string(id) + "\" size=\"4\">\n";
    for (auto [name, bit] : bits)
        type += "<field name=\"" + std::string(name) + "\" start=\"" + std::to_string(bit) +
                "\" end=\"" + std::to_string(bit) + "\"/>\n";
    return type + "</flags>\n";
}

std::string target_description()
{
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
                      "<target version=\"1.0\">\n<architecture>i386</architecture>\n"
                      "<feature name=\"org.gnu.gdb.i386.core\">\n";
    xml += flags_type("i386_eflags", {{"CF", 0},
                                      {"", 1},
                                      {"PF", 2},
                                      {"AF", 4},
                                      {"ZF", 6},
                                      {"SF", 7},
                                      {"TF", 8},
                                      {"IF", 9},
                                      {"DF", 10},
                                      {"OF", 11},
                                      {"NT", 14},
                                      {"RF", 16},
                                      {"VM", 17},
                                      {"AC", 18},
                                      {"VIF", 19},
                                      {"VIP", 20},
                                      {"ID", 21}});
    for (size_t n = 0; n < size_t(Reg::xmm0); ++n) xml += register_line(n);
    xml += "</feature>\n<feature name=\"org.gnu.gdb.i386.sse\">\n"
           "<vector id=\"v4f\" type=\"ieee_single\" count=\"4\"/>\n"
           "<vector id=\"v2d\" type=\"ieee_double\" count=\"2\"/>\n"
           "<vector id=\"v16i8\" type=\"int8\" count=\"16\"/>\n"
           "<vector id=\"v8i16\" type=\"int16\" count=\"8\"/>\n"
           "<vector id=\"v4i32\" type=\"int32\" count=\"4\"/>\n"
           "<vector id=\"v2i64\" type=\"int64\" count=\"2\"/>\n"
           "<union id=\"vec128\">\n<field name=\"v4_float\" type=\"v4f\"/>\n"
           "<field name=\"v2_double\" type=\"v2d\"/>\n<field name=\"v16_int8\" type=\"v16i8\"/>\n"
           "<field name=\"v8_int16\" type=\"v8i16\"/>\n<field name=\"v4_int32\" type=\"v4i32\"/>\n"
           "<field name=\"v2_int64\" type=\"v2i64\"/>\n<field name=\"uint128\" type=\"uint128\"/>\n"
           "</union>\n";
    xml += flags_type("i386_mxcsr", {{"IE", 0},
                                     {"DE", 1},
                                     {"ZE", 2},
                                     {"OE", 3},
                                     {"UE", 4},
                                     {"PE", 5},
                                     {"DAZ", 6},
                                     {"IM", 7},
                                     {"DM", 8},
                                     {"ZM", 9},
                                     {"OM", 10},
                                     {"UM", 11},
                                     {"PM", 12},
                                     {"FZ", 15}});
    for (size_t n = size_t(Reg::xmm0); n < register_count; ++n) xml += register_line(n);
    return xml + "</feature>\n</target>\n";
}

std::string with_number(char kind, int number)
{
    char text[16];
    std::snprintf(text, sizeof text, "%c%02x", kind, unsigned(number) & 0xff);
    return text;
}

// The signal a fault or a halt shows as: the fault statuses are 128 + the signal's number.
int signal_of(const StopReason& stop)
{
    if (stop.kind == StopReason::Kind::halted) return signal_illegal_instruction;
    return stop.status - 128;
}

// "ADDRESS,LENGTH" of the memory packets.
std::optional<std::pair<uint32_t, uint32_t>> address_and_length(std::string_view text)
{
    size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    auto address = hex_number(text.substr(0, comma));
    auto length = hex_number(text.substr(comma + 1));
    if (!address || !length) return std::nullopt;
    return std::pair(*address, *length);
}

// While the guest runs: watches the debugger's connection for an interrupt, and stops the run
// for it. Other bytes (the debugger has no reason to send any) are handed back to the
// connection when the watch ends.
class InterruptWatch {
  public:
    InterruptWatch(Machine& machine, GdbConnection& connection)
        : machine_(machine), connection_(connection)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        wake_read_ = UniqueFd(fds[0]);
        wake_write_ = UniqueFd(fds[1]);
        thread_ = std::thread([this] { watch(); });
    }
    ~InterruptWatch()
    {
        if (!thread_.joinable()) return;
        (void)!::write(wake_write_.get(), "x", 1);
        thread_.join();
        connection_.unread(other_bytes_);
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool interrupted() const { return interrupted_; }

  private:
    void watch()
    {
        pollfd watched[2] = {{connection_.socket(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        for (;;) {
            int ready = poll(watched, 2, interrupted_ ? stop_retry_ms : -1);
            if (ready < 0 && errno != EINTR) return;
            if (watched[1].revents) return;
            if (interrupted_) {
                machine_.request_stop();
                continue;
            }
            if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char byte;
            if (::read(watched[0].fd, &byte, 1) != 1) {
                watched[0].fd = -1; // the debugger has gone; the loop notices once the run ends
                continue;
            }
            if (byte != interrupt_byte) {
                other_bytes_ += byte;
                continue;
            }
            interrupted_ = true;
            machine_.request_stop();
        }
    }

    Machine& machine_;
    GdbConnection& connection_;
    UniqueFd wake_read_, wake_write_;
    std::atomic<bool> interrupted_ = false;
    std::string other_bytes_;
    std::thread thread_;
};

// How the debugger resumes the guest: continue or step, with a signal to deliver (0: none),
// from an address of its choice.
struct Resumption {
    bool step = false;
    int signal = 0;
    std::optional<uint32_t> address;
};

class Debugger {
  public:
    Debugger(Machine& machine, GdbConnection connection)
        : machine_(machine), connection_(std::move(connection))
    {
    }

    StopReason run();

  private:
    using Handler = std::optional<StopReason> (Debugger::*)(std::string_view);
    struct PacketKind {
        std::string_view prefix;
        bool exact;
        Handler handler;
    };
    static const PacketKind packet_kinds[];

    std::optional<StopReason> serve(std::string_view packet);
    void reply(std::string_view payload) { connection_.send(payload); }
    std::optional<StopReason> replied(std::string_view payload)
    {
        reply(payload);
        return std::nullopt;
    }

    std::optional<StopReason> supported(std::string_view);
    std::optional<StopReason> features(std::string_view annex);
    std::optional<StopReason> stop_status(std::string_view);
    std::optional<StopReason> read_registers(std::string_view);
    std::optional<StopReason> write_registers(std::string_view values);
    std::optional<StopReason> read_register(std::string_view number);
    std::optional<StopReason> write_register(std::string_view assignment);
    std::optional<StopReason> read_memory(std::string_view range);
    std::optional<StopReason> write_memory(std::string_view range_and_bytes);
    std::optional<StopReason> continue_plain(std::string_view address);
    std::optional<StopReason> continue_with_signal(std::string_view signal_and_address);
    std::optional<StopReason> step_plain(std::string_view address);
    std::optional<StopReason> step_with_signal(std::string_view signal_and_address);
    std::optional<StopReason> resume_actions(std::string_view actions);
    std::optional<StopReason> resume_kinds(std::string_view);
    std::optional<StopReason> insert_breakpoint(std::string_view kind_and_address);
    std::optional<StopReason> remove_breakpoint(std::string_view kind_and_address);
    std::optional<StopReason> kill(std::string_view);
    std::optional<StopReason> kill_replying(std::string_view);
    std::optional<StopReason> detach(std::string_view);
    std::optional<StopReason> current_thread(std::string_view);
    std::optional<StopReason> first_threads(std::string_view);
    std::optional<StopReason> more_threads(std::string_view);
    std::optional<StopReason> attached(std::string_view);
    std::optional<StopReason> ok(std::string_view);

    std::optional<StopReason> resume(Resumption how);
    std::optional<StopReason> resume_from_text(bool step, std::string_view signal_and_address,
                                               bool with_signal);
    void on_breakpoint(uint32_t address);
    void remove_breakpoints();
    StopReason run_free();

    Machine& machine_;
    GdbConnection connection_;
    std::map<uint32_t, Machine::HookId> breakpoints_;
    std::string stop_reply_ = with_number('S', signal_trap);
    std::optional<StopReason> fault_; // the fault the guest is stopped at

    // About the run under way, for the breakpoint hooks.
    std::optional<uint32_t> step_over_; // a breakpoint the run starts at, not to stop at at once
    bool stepping_ = false;
    std::optional<uint32_t> hit_; // the breakpoint the run stopped at
};

// Longer prefixes before the shorter ones they begin with.
const Debugger::PacketKind Debugger::packet_kinds[] = {
    {"qSupported", false, &Debugger::supported},
    {"qXfer:features:read:", false, &Debugger::features},
    {"qC", true, &Debugger::current_thread},
    {"qfThreadInfo", true, &Debugger::first_threads},
    {"qsThreadInfo", true, &Debugger::more_threads},
    {"qAttached", false, &Debugger::attached},
    {"vCont?", true, &Debugger::resume_kinds},
    {"vCont;", false, &Debugger::resume_actions},
    {"vKill", false, &Debugger::kill_replying},
    {"?", true, &Debugger::stop_status},
    {"g", true, &Debugger::read_registers},
    {"G", false, &Debugger::write_registers},
    {"p", false, &Debugger::read_register},
    {"P", false, &Debugger::write_register},
    {"m", false, &Debugger::read_memory},
    {"M", false, &Debugger::write_memory},
    {"c", false, &Debugger::continue_plain},
    {"C", false, &Debugger::continue_with_signal},
    {"s", false, &Debugger::step_plain},
    {"S", false, &Debugger::step_with_signal},
    {"Z", false, &Debugger::insert_breakpoint},
    {"z", false, &Debugger::remove_breakpoint},
    {"k", true, &Debugger::kill},
    {"D", false, &Debugger::detach},
    {"H", false, &Debugger::ok},
    {"T", false, &Debugger::ok},
};

StopReason Debugger::run()
{
    machine_.allow_remote_stops();
    for (;;) {
        std::optional<std::string> packet = connection_.receive();
        if (!packet) return fault_ ? *fault_ : run_free(); // the debugger has gone
        if (std::optional<StopReason> end = serve(*packet)) return *end;
    }
}

// Anything the stub does not know gets the empty reply, which tells the debugger so. An
// interrupt that comes after the guest has stopped needs no answer.
std::optional<StopReason> Debugger::serve(std::string_view packet)
{
    if (packet.size() == 1 && packet[0] == interrupt_byte) return std::nullopt;
    for (const PacketKind& kind : packet_kinds) {
        if (kind.exact ? packet != kind.prefix : !packet.starts_with(kind.prefix)) continue;
        return (this->*kind.handler)(packet.substr(kind.prefix.size()));
    }
    return replied("");
}

std::optional<StopReason> Debugger::supported(std::string_view)
{
    char text[96];
    std::snprintf(text, sizeof text, "PacketSize=%zx;qXfer:features:read+;swbreak+;vContSupported+",
                  max_packet);
    return replied(text);
}

// target.xml:OFFSET,LENGTH: the part asked for, 'm' before it when more follows, 'l' when not.
std::optional<StopReason> Debugger::features(std::string_view annex)
{
    static const std::string description = target_description();
    constexpr std::string_view name = "target.xml:";
    if (!annex.starts_with(name)) return replied("E00");
    auto range = address_and_length(annex.substr(name.size()));
    if (!range) return replied("E01");
    auto [offset, length] = *range;
    if (offset >= description.size()) return replied("l");
    std::string_view part = std::string_view(description).substr(offset, length);
    bool last = offset + part.size() >= description.size();
    std::string answer(1, last ? 'l' : 'm');
    answer += part;
    return replied(answer);
}

std::optional<StopReason> Debugger::stop_status(std::string_view) { return replied(stop_reply_); }

std::optional<StopReason> Debugger::read_registers(std::string_view)
{
    std::string values;
    for (size_t n = 0; n < register_count; ++n)
        values += hex_bytes(machine_.register_bytes(Reg(n)));
    return replied(values);
}

std::optional<StopReason> Debugger::write_registers(std::string_view values)
{
    auto bytes = bytes_from_hex(values);
    size_t total = 0;
    for (size_t n = 0; n < register_count; ++n) total += register_size(Reg(n));
    if (!bytes || bytes->size() != total) return replied("E01");
    std::span<const uint8_t> rest(*bytes);
    for (size_t n = 0; n < register_count; ++n) {
        size_t size = register_size(Reg(n));
        machine_.set_register_bytes(Reg(n), rest.first(size));
        rest = rest.subspan(size);
    }
    return replied("OK");
}

std::optional<StopReason> Debugger::read_register(std::string_view number)
{
    auto n = hex_number(number);
    if (!n || *n >= register_count) return replied("E01");
    return replied(hex_bytes(machine_.register_bytes(Reg(*n))));
}

std::optional<StopReason> Debugger::write_register(std::string_view assignment)
{
    size_t equals = assignment.find('=');
    auto n = hex_number(assignment.substr(0, equals));
    if (equals == std::string_view::npos || !n || *n >= register_count) return replied("E01");
    auto bytes = bytes_from_hex(assignment.substr(equals + 1));
    if (!bytes || !machine_.set_register_bytes(Reg(*n), *bytes)) return replied("E01");
    return replied("OK");
}

// Memory that is not mapped is an error; a range that runs into it gives the part before.
std::optional<StopReason> Debugger::read_memory(std::string_view range)
{
    auto parsed = address_and_length(range);
    if (!parsed) return replied("E01");
    auto [address, length] = *parsed;
    if (length == 0) return replied("");
    std::vector<uint8_t> bytes =
        machine_.memory().inspect(address, std::min(length, max_memory_reply));
    if (bytes.empty()) return replied("E14");
    return replied(hex_bytes(bytes));
}

std::optional<StopReason> Debugger::write_memory(std::string_view range_and_bytes)
{
    size_t colon = range_and_bytes.find(':');
    auto parsed = address_and_length(range_and_bytes.substr(0, colon));
    if (colon == std::string_view::npos || !parsed) return replied("E01");
    auto bytes = bytes_from_hex(range_and_bytes.substr(colon + 1));
    if (!bytes || bytes->size() != parsed->second) return replied("E01");
    if (!machine_.memory().patch(parsed->first, *bytes)) return replied("E14");
    return replied("OK");
}

// c[ADDRESS], s[ADDRESS], CSIG[;ADDRESS], SSIG[;ADDRESS].
std::optional<StopReason> Debugger::resume_from_text(bool step, std::string_view text,
                                                     bool with_signal)
{
    Resumption how{step, 0, std::nullopt};
    std::string_view address = text;
    if (with_signal) {
        size_t semicolon = text.find(';');
        auto signal = hex_number(text.substr(0, semicolon));
        if (!signal) return replied("E01");
        how.signal = int(*signal);
        address = semicolon == std::string_view::npos ? "" : text.substr(semicolon + 1);
    }
    if (!address.empty()) {
        how.address = hex_number(address);
        if (!how.address) return replied("E01");
    }
    return resume(how);
}

std::optional<StopReason> Debugger::continue_plain(std::string_view text)
{
    return resume_from_text(false, text, false);
}

std::optional<StopReason> Debugger::continue_with_signal(std::string_view text)
{
    return resume_from_text(false, text, true);
}

std::optional<StopReason> Debugger::step_plain(std::string_view text)
{
    return resume_from_text(true, text, false);
}

std::optional<StopReason> Debugger::step_with_signal(std::string_view text)
{
    return resume_from_text(true, text, true);
}

std::optional<StopReason> Debugger::resume_kinds(std::string_view)
{
    return replied("vCont;c;C;s;S");
}

// ACTION[:THREAD][;ACTION[:THREAD]]...: there is one thread, so the first action is its own.
std::optional<StopReason> Debugger::resume_actions(std::string_view actions)
{
    std::string_view action = actions.substr(0, actions.find(';'));
    action = action.substr(0, action.find(':'));
    if (action.empty()) return replied("E01");
    char kind = action[0];
    if (kind == 'c' || kind == 's') return resume(Resumption{kind == 's', 0, std::nullopt});
    auto signal = hex_number(action.substr(1));
    if ((kind != 'C' && kind != 'S') || !signal) return replied("E01");
    return resume(Resumption{kind == 'S', int(*signal), std::nullopt});
}

// Z0 (software) and Z1 (hardware) breakpoints are both hooks on their address: ZKIND,ADDRESS,SIZE.
std::optional<StopReason> Debugger::insert_breakpoint(std::string_view text)
{
    if (!text.starts_with("0,") && !text.starts_with("1,")) return replied("");
    auto parsed = address_and_length(text.substr(2));
    if (!parsed) return replied("E01");
    uint32_t address = parsed->first;
    if (breakpoints_.contains(address)) return replied("OK");
    auto hook = machine_.hook_address(address, [this, address] { on_breakpoint(address); });
    if (!hook) return replied("E01");
    breakpoints_.emplace(address, *hook);
    return replied("OK");
}

std::optional<StopReason> Debugger::remove_breakpoint(std::string_view text)
{
    if (!text.starts_with("0,") && !text.starts_with("1,")) return replied("");
    auto parsed = address_and_length(text.substr(2));
    if (!parsed) return replied("E01");
    auto found = breakpoints_.find(parsed->first);
    if (found != breakpoints_.end()) {
        machine_.remove_hook(found->second);
        breakpoints_.erase(found);
    }
    return replied("OK");
}

// `k` has no reply; `vKill` has one.
std::optional<StopReason> Debugger::kill(std::string_view)
{
    return StopReason{StopReason::Kind::exited, 128 + signal_kill, {}};
}

std::optional<StopReason> Debugger::kill_replying(std::string_view text)
{
    reply("OK");
    return kill(text);
}

// The guest runs on to its end without breakpoints; one stopped at a fault ends with it, as
// the signal is then delivered.
std::optional<StopReason> Debugger::detach(std::string_view)
{
    remove_breakpoints();
    reply("OK");
    if (fault_) return *fault_;
    return run_free();
}

std::optional<StopReason> Debugger::current_thread(std::string_view) { return replied("QC1"); }

std::optional<StopReason> Debugger::first_threads(std::string_view) { return replied("m1"); }

std::optional<StopReason> Debugger::more_threads(std::string_view) { return replied("l"); }

// The process was started for the debugger: quitting the debugger kills it.
std::optional<StopReason> Debugger::attached(std::string_view) { return replied("0"); }

std::optional<StopReason> Debugger::ok(std::string_view) { return replied("OK"); }

// Delivering a signal ends the guest, as a yulos process has no handlers: with its fault when
// stopped at one, otherwise with status 128 + the signal.
std::optional<StopReason> Debugger::resume(Resumption how)
{
    if (how.address) machine_.set_reg(Reg::eip, *how.address);
    if (how.signal != 0) {
        reply(with_number('X', how.signal));
        if (fault_) return *fault_;
        return StopReason{StopReason::Kind::fault, 128 + how.signal,
                          "ended by signal " + std::to_string(how.signal) + " from the debugger"};
    }
    fault_.reset();
    uint32_t from = machine_.reg(Reg::eip);
    step_over_ = breakpoints_.contains(from) ? std::optional(from) : std::nullopt;
    stepping_ = how.step;
    hit_.reset();
    StopReason stop;
    bool interrupted = false;
    {
        InterruptWatch watch(machine_, connection_);
        stop = how.step ? machine_.step() : machine_.resume();
        interrupted = watch.interrupted();
    }
    step_over_.reset();
    stepping_ = false;
    switch (stop.kind) {
    case StopReason::Kind::exited: reply(with_number('W', stop.status)); return stop;
    case StopReason::Kind::fault:
    case StopReason::Kind::halted:
        fault_ = stop;
        stop_reply_ = with_number('T', signal_of(stop)) + "thread:1;";
        break;
    case StopReason::Kind::stopped:
        if (hit_)
            stop_reply_ = with_number('T', signal_trap) + "swbreak:;thread:1;";
        else
            stop_reply_ =
                with_number('T', interrupted && !how.step ? signal_interrupt : signal_trap) +
                "thread:1;";
        break;
    }
    return replied(stop_reply_);
}

// Runs in the engine's hook, before the instruction at `address`: only notes the hit and asks
// the run to stop there. A run that starts at a breakpoint passes it once; a step stops after
// its one instruction by itself.
void Debugger::on_breakpoint(uint32_t address)
{
    if (step_over_ == address) {
        step_over_.reset();
        return;
    }
    if (stepping_) return;
    hit_ = address;
    machine_.request_stop();
}

void Debugger::remove_breakpoints()
{
    for (auto [address, hook] : breakpoints_) machine_.remove_hook(hook);
    breakpoints_.clear();
}

StopReason Debugger::run_free()
{
    remove_breakpoints();
    for (;;) {
        StopReason stop = machine_.resume();
        if (stop.kind != StopReason::Kind::stopped) return stop;
    }
}

} // namespace

StopReason run_under_debugger(Machine& machine, GdbConnection connection)
{
    Debugger debugger(machine, std::move(connection));
    return debugger.run();
}

} // namespace yulos
