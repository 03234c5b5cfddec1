// The start-up and system-call layer at the level of registers: for every wrapper,
// the call number, the argument words the kernel sees, the result handed back, the refusals made
// without entering the kernel, the length clamp and the booleans; then _start, run from the
// image's entry the way the loader runs it, handing argc and argv to main on a 16-byte boundary
// and main's result to _exit. Each case runs in a fresh guest process with a scripted kernel.
#include "guest_call.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <yulos_kernel.h>

using namespace yulos;

namespace {

const std::string runtime_image = std::string(YULOS_GUEST_DIR) + "/test_runtime";
const std::string probe_image = std::string(YULOS_GUEST_DIR) + "/test_stack_probe";

constexpr uint32_t minus_one = 0xFFFFFFFFu;
constexpr uint32_t largest_int = 0x7FFFFFFFu;
constexpr int32_t distinctive = -1234567;

// Kernel results that every wrapper must hand back unchanged.
const int32_t kernel_answers[] = {distinctive, INT32_MIN, -1, 0, 1, 0x12345678};

uint32_t word(int32_t value) { return static_cast<uint32_t>(value); }

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// Every call answered with `result`.
void answer_all(GuestCall& g, int32_t result)
{
    g.kernel().answer = [result](const KernelCallRecord&) {
        return std::optional<int32_t>(result);
    };
}

// Garbage in every general register before a call, so that a 0 the kernel sees in a register
// was put there by the function, not left over.
void poison_registers(GuestCall& g)
{
    g.machine().set_reg(Reg::eax, 0xA1A1A1A1);
    g.machine().set_reg(Reg::ebx, 0xB2B2B2B2);
    g.machine().set_reg(Reg::ecx, 0xC3C3C3C3);
    g.machine().set_reg(Reg::edx, 0xD4D4D4D4);
    g.machine().set_reg(Reg::esi, 0xE5E5E5E5);
    g.machine().set_reg(Reg::edi, 0xF6F6F6F6);
    g.machine().set_reg(Reg::ebp, 0x97979797);
}

// What the kernel must see at one int 0x80. Registers the table leaves undefined stay unset.
struct Want {
    uint32_t number = 0;
    std::optional<uint32_t> ebx, ecx, edx;
    std::optional<std::string> data;            // path text, or the bytes offered to write
    std::optional<std::vector<uint32_t>> words; // the record behind ebx (call 150)

    Want with_data(std::string text) const
    {
        Want w = *this;
        w.data = std::move(text);
        return w;
    }
    Want with_words(std::vector<uint32_t> record) const
    {
        Want w = *this;
        w.words = std::move(record);
        return w;
    }
};

// Call `number` with the registers given; those left out are not checked.
Want want(uint32_t number, std::optional<uint32_t> ebx = {}, std::optional<uint32_t> ecx = {},
          std::optional<uint32_t> edx = {})
{
    Want w;
    w.number = number;
    w.ebx = ebx;
    w.ecx = ecx;
    w.edx = edx;
    return w;
}

void expect_call(const KernelCallRecord& r, const Want& want)
{
    EXPECT_EQ(r.eax, want.number) << "call number";
    if (want.ebx) {
        EXPECT_EQ(hex(r.ebx), hex(*want.ebx)) << "ebx";
    }
    if (want.ecx) {
        EXPECT_EQ(hex(r.ecx), hex(*want.ecx)) << "ecx";
    }
    if (want.edx) {
        EXPECT_EQ(hex(r.edx), hex(*want.edx)) << "edx";
    }
    if (want.data) {
        EXPECT_EQ(r.text(), *want.data) << "bytes behind the call";
    }
    if (want.words) {
        ASSERT_EQ(r.data.size(), want.words->size() * 4) << "record behind ebx";
        for (size_t i = 0; i < want.words->size(); ++i) {
            uint32_t got = uint32_t(r.data[4 * i]) | uint32_t(r.data[4 * i + 1]) << 8 |
                           uint32_t(r.data[4 * i + 2]) << 16 | uint32_t(r.data[4 * i + 3]) << 24;
            EXPECT_EQ(hex(got), hex((*want.words)[i])) << "record word " << i;
        }
    }
}

// One call of a wrapper: the arguments it is given (laid out in the guest) and what the kernel
// must see.
struct Arranged {
    std::vector<uint32_t> args;
    Want want;
};

struct Case {
    std::string label;
    std::string function;
    std::function<Arranged(GuestCall&)> make;
};

uint32_t errno_address(GuestCall& g)
{
    auto found = g.machine().image().symbols.find("errno");
    if (found == g.machine().image().symbols.end()) {
        ADD_FAILURE() << "the image has no errno";
        return 0;
    }
    return found->second;
}

// Runs `c` in a fresh process whose kernel answers `answer`; checks that the kernel was entered
// once, as the case wants, that the result is the answer and that errno stays 0.
void run_pass_through(const Case& c, int32_t answer)
{
    SCOPED_TRACE(c.label + ", kernel answers " + std::to_string(answer));
    GuestCall g(runtime_image);
    answer_all(g, answer);
    Arranged s = c.make(g);
    poison_registers(g);
    CallOutcome out = g.call(c.function, s.args);
    ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
    EXPECT_EQ(hex(out.eax), hex(word(answer))) << "result";
    ASSERT_EQ(g.kernel().calls.size(), 1u) << "kernel entries";
    expect_call(g.kernel().calls[0], s.want);
    if (uint32_t e = errno_address(g)) {
        EXPECT_EQ(g.read_u32(e), 0u) << "errno";
    }
}

// Every wrapper whose result is the kernel's, with the registers the table fixes.
std::vector<Case> pass_through_cases()
{
    return {
        {"write(1, \"hello\", 5)", "write",
         [](GuestCall& g) {
             uint32_t buf = g.put_string("hello");
             return Arranged{{1, buf, 5}, want(SYS_WRITE, 1, buf, 5).with_data("hello")};
         }},
        {"write(-3, buf, 2): descriptor passed on", "write",
         [](GuestCall& g) {
             uint32_t buf = g.put_string("ab");
             return Arranged{{word(-3), buf, 2}, want(SYS_WRITE, word(-3), buf, 2)};
         }},
        {"read(0, buf, 16)", "read",
         [](GuestCall& g) {
             uint32_t buf = g.alloc(16);
             return Arranged{{0, buf, 16}, want(SYS_READ, 0, buf, 16)};
         }},
        {"close(7)", "close",
         [](GuestCall&) {
             return Arranged{{7}, want(SYS_CLOSE, 7)};
         }},
        {"close(-1)", "close",
         [](GuestCall&) {
             return Arranged{{minus_one}, want(SYS_CLOSE, minus_one)};
         }},
        {"getkey()", "getkey",
         [](GuestCall&) {
             return Arranged{{}, want(SYS_GETKEY)};
         }},
        {"open(path, 0)", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/data/in.txt");
             return Arranged{{path, 0, 0}, want(SYS_OPEN, path, 0, 0).with_data("/data/in.txt")};
         }},
        {"open(path, 0x241, 0644): create, so the flags are the third word", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/data/out.txt");
             return Arranged{{path, 0x241, 0644},
                             want(SYS_OPEN, path, 0x241, 0x241).with_data("/data/out.txt")};
         }},
        {"open(path, 0x40, 0600): the create bit alone", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/f");
             return Arranged{{path, 0x40, 0600}, want(SYS_OPEN, path, 0x40, 0x40)};
         }},
        {"open(path, 0x201, 0644): no create bit, so 0 and never the mode", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/f");
             return Arranged{{path, 0x201, 0644}, want(SYS_OPEN, path, 0x201, 0)};
         }},
        {"open(path, 1, 0644)", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/f");
             return Arranged{{path, 1, 0644}, want(SYS_OPEN, path, 1, 0)};
         }},
        {"open(path, 0xFFFFFFBF): every bit but create", "open",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/f");
             return Arranged{{path, 0xFFFFFFBF, 0x40}, want(SYS_OPEN, path, 0xFFFFFFBF, 0)};
         }},
        {"creat(path, 0644)", "creat",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/data/new.txt");
             return Arranged{{path, 0644},
                             want(SYS_OPEN, path, 0x241, 0).with_data("/data/new.txt")};
         }},
        {"creat(path, 0): the mode is ignored", "creat",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/n");
             return Arranged{{path, 0}, want(SYS_OPEN, path, 0x241, 0)};
         }},
        {"writefile(path, data, 3)", "writefile",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/w.txt");
             uint32_t data = g.put_string("xyz");
             return Arranged{{path, data, 3},
                             want(SYS_WRITEFILE, path, data, 3).with_data("/w.txt")};
         }},
        {"mkdir(path, 0755)", "mkdir",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/d");
             return Arranged{{path, 0755}, want(SYS_MKDIR, path).with_data("/d")};
         }},
        {"unlink(path)", "unlink",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/gone");
             return Arranged{{path}, want(SYS_UNLINK, path).with_data("/gone")};
         }},
        {"rmdir(path)", "rmdir",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/d");
             return Arranged{{path}, want(SYS_RMDIR, path).with_data("/d")};
         }},
        {"getcwd(buf, 64)", "getcwd",
         [](GuestCall& g) {
             uint32_t buf = g.alloc(64);
             return Arranged{{buf, 64}, want(SYS_GETCWD, buf, 64, 0)};
         }},
        {"yulfs_stream_begin(path)", "yulfs_stream_begin",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/big.bin");
             return Arranged{{path}, want(SYS_YULFS_STREAM_BEGIN, path).with_data("/big.bin")};
         }},
        {"yulfs_stream_write(9, data, 4)", "yulfs_stream_write",
         [](GuestCall& g) {
             uint32_t data = g.put_string("abcd");
             return Arranged{{9, data, 4},
                             want(SYS_YULFS_STREAM_WRITE, 9, data, 4).with_data("abcd")};
         }},
        {"yulfs_stream_write(-2, data, 1): the handle is not tested", "yulfs_stream_write",
         [](GuestCall& g) {
             uint32_t data = g.put_string("a");
             return Arranged{{word(-2), data, 1}, want(SYS_YULFS_STREAM_WRITE, word(-2), data, 1)};
         }},
        {"yulfs_stream_end(9)", "yulfs_stream_end",
         [](GuestCall&) {
             return Arranged{{9}, want(SYS_YULFS_STREAM_END, 9)};
         }},
        {"yulfs_stream_end(-1)", "yulfs_stream_end",
         [](GuestCall&) {
             return Arranged{{minus_one}, want(SYS_YULFS_STREAM_END, minus_one)};
         }},
        {"chdir(path)", "chdir",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/home");
             return Arranged{{path}, want(SYS_CHDIR, path).with_data("/home")};
         }},
        {"lseek(3, -5, 2)", "lseek",
         [](GuestCall&) {
             return Arranged{{3, word(-5), 2}, want(SYS_LSEEK, 3, word(-5), 2)};
         }},
        {"lseek(4, 100, 0)", "lseek",
         [](GuestCall&) {
             return Arranged{{4, 100, 0}, want(SYS_LSEEK, 4, 100, 0)};
         }},
        {"pipe(fds)", "pipe",
         [](GuestCall& g) {
             uint32_t fds = g.alloc(8);
             return Arranged{{fds}, want(SYS_PIPE, fds)};
         }},
        {"mkfifo(path, 0600)", "mkfifo",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/fifo");
             return Arranged{{path, 0600}, want(SYS_MKFIFO, path).with_data("/fifo")};
         }},
        {"dup(4)", "dup",
         [](GuestCall&) {
             return Arranged{{4}, want(SYS_DUP, 4)};
         }},
        {"dup(-1)", "dup",
         [](GuestCall&) {
             return Arranged{{minus_one}, want(SYS_DUP, minus_one)};
         }},
        {"dup2(4, 9)", "dup2",
         [](GuestCall&) {
             return Arranged{{4, 9}, want(SYS_DUP2, 4, 9, 0)};
         }},
        {"fd_set_inherit(-1)", "fd_set_inherit",
         [](GuestCall&) {
             return Arranged{{minus_one}, want(SYS_FD_SET_INHERIT, 1)};
         }},
        {"fd_set_inherit(0)", "fd_set_inherit",
         [](GuestCall&) {
             return Arranged{{0}, want(SYS_FD_SET_INHERIT, 0)};
         }},
        {"fd_set_inherit(0x100): a bit above the low byte", "fd_set_inherit",
         [](GuestCall&) {
             return Arranged{{0x100}, want(SYS_FD_SET_INHERIT, 1)};
         }},
        {"fd_set_inherit(0x80000000)", "fd_set_inherit",
         [](GuestCall&) {
             return Arranged{{0x80000000}, want(SYS_FD_SET_INHERIT, 1)};
         }},
        {"fd_set_stdio(3, 4, 5)", "fd_set_stdio",
         [](GuestCall&) {
             return Arranged{{3, 4, 5}, want(SYS_FD_SET_STDIO, 3, 4, 5)};
         }},
        {"fd_set_stdio(-1, -2, -3)", "fd_set_stdio",
         [](GuestCall&) {
             return Arranged{{word(-1), word(-2), word(-3)},
                             want(SYS_FD_SET_STDIO, word(-1), word(-2), word(-3))};
         }},
        {"fd_set_nonblock(4, 9)", "fd_set_nonblock",
         [](GuestCall&) {
             return Arranged{{4, 9}, want(SYS_FD_SET_NONBLOCK, 4, 1, 0)};
         }},
        {"fd_set_nonblock(4, 0)", "fd_set_nonblock",
         [](GuestCall&) {
             return Arranged{{4, 0}, want(SYS_FD_SET_NONBLOCK, 4, 0, 0)};
         }},
        {"fd_set_nonblock(6, -1)", "fd_set_nonblock",
         [](GuestCall&) {
             return Arranged{{6, minus_one}, want(SYS_FD_SET_NONBLOCK, 6, 1, 0)};
         }},
        {"fd_set_nonblock(6, 0x200)", "fd_set_nonblock",
         [](GuestCall&) {
             return Arranged{{6, 0x200}, want(SYS_FD_SET_NONBLOCK, 6, 1, 0)};
         }},
        {"spawn(path, argv, 2)", "spawn",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/binaries/echo");
             uint32_t argv = g.put_words({g.put_string("echo"), g.put_string("hi"), 0});
             return Arranged{{path, argv, 2},
                             want(SYS_SPAWN, path, argv, 2).with_data("/binaries/echo")};
         }},
        {"spawn(path, null, 0): a null argv and argc 0 passed on", "spawn",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/p");
             return Arranged{{path, 0, 0}, want(SYS_SPAWN, path, 0, 0)};
         }},
        {"spawn(path, argv, 0x7FFFFFFF)", "spawn",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/p");
             uint32_t argv = g.put_words({0});
             return Arranged{{path, argv, largest_int}, want(SYS_SPAWN, path, argv, largest_int)};
         }},
        {"waitpid(-1, status, 1)", "waitpid",
         [](GuestCall& g) {
             uint32_t status = g.alloc(4);
             return Arranged{{minus_one, status, 1}, want(SYS_WAITPID, minus_one, status, 1)};
         }},
        {"waitpid(7, status, 3): the options word as given", "waitpid",
         [](GuestCall& g) {
             uint32_t status = g.alloc(4);
             return Arranged{{7, status, 3}, want(SYS_WAITPID, 7, status, 3)};
         }},
        {"waitpid(5, null, 0): a null status pointer passed on", "waitpid",
         [](GuestCall&) {
             return Arranged{{5, 0, 0}, want(SYS_WAITPID, 5, 0, 0)};
         }},
        {"spawn_ex(path, argv, 2, 3, 3, 3, 7)", "spawn_ex",
         [](GuestCall& g) {
             uint32_t path = g.put_string("/binaries/echo");
             uint32_t argv = g.put_words({g.put_string("hello"), 0});
             return Arranged{{path, argv, 2, 3, 3, 3, 7},
                             want(SYS_SPAWN_EX).with_words({path, argv, 2, 3, 3, 3, 1})};
         }},
    };
}

TEST(SyscallWrappers, EveryWrapperIssuesItsCallWithItsRegistersAndHandsBackTheKernelsResult)
{
    for (const Case& c : pass_through_cases())
        for (int32_t answer : kernel_answers) run_pass_through(c, answer);
}

// A mode argument never reaches the kernel: the undefined registers do not hold it either.
TEST(SyscallWrappers, TheModeOfMkdirAndMkfifoIsNotPassed)
{
    for (const char* function : {"mkdir", "mkfifo"}) {
        SCOPED_TRACE(function);
        GuestCall g(runtime_image);
        uint32_t path = g.put_string("/x");
        poison_registers(g);
        EXPECT_EQ(g.call_word(function, {path, 0x5EDu}), 0u);
        ASSERT_EQ(g.kernel().calls.size(), 1u);
        const KernelCallRecord& r = g.kernel().calls[0];
        EXPECT_NE(r.ecx, 0x5EDu);
        EXPECT_NE(r.edx, 0x5EDu);
    }
}

// ---- Refusals without a kernel entry.

TEST(SyscallWrappers, NullPointersNegativeArgcAndGetcwdSizeZeroAreRefusedWithoutAKernelCall)
{
    struct Refusal {
        std::string label;
        std::string function;
        std::function<std::vector<uint32_t>(GuestCall&)> args;
    };
    auto path = [](GuestCall& g) { return g.put_string("/p"); };
    std::vector<Refusal> refusals = {
        {"write(1, null, 5)", "write",
         [](GuestCall&) {
             return std::vector<uint32_t>{1, 0, 5};
         }},
        {"write(1, null, 0)", "write",
         [](GuestCall&) {
             return std::vector<uint32_t>{1, 0, 0};
         }},
        {"read(0, null, 5)", "read",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0, 5};
         }},
        {"read(0, null, 0)", "read",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0, 0};
         }},
        {"open(null, 0)", "open",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0, 0};
         }},
        {"open(null, 0x241, 0644)", "open",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0x241, 0644};
         }},
        {"creat(null, 0644)", "creat",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0644};
         }},
        {"access(null, 0)", "access",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0};
         }},
        {"writefile(null, data, 3)", "writefile",
         [](GuestCall& g) {
             return std::vector<uint32_t>{0, g.put_string("abc"), 3};
         }},
        {"writefile(path, null, 3)", "writefile",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), 0, 3};
         }},
        {"writefile(path, null, 0)", "writefile",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), 0, 0};
         }},
        {"mkdir(null)", "mkdir",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0755};
         }},
        {"unlink(null)", "unlink", [](GuestCall&) { return std::vector<uint32_t>{0}; }},
        {"rmdir(null)", "rmdir", [](GuestCall&) { return std::vector<uint32_t>{0}; }},
        {"getcwd(null, 64)", "getcwd",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 64};
         }},
        {"getcwd(buf, 0)", "getcwd",
         [](GuestCall& g) {
             return std::vector<uint32_t>{g.alloc(64), 0};
         }},
        {"getcwd(null, 0)", "getcwd",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0};
         }},
        {"yulfs_stream_begin(null)", "yulfs_stream_begin",
         [](GuestCall&) { return std::vector<uint32_t>{0}; }},
        {"yulfs_stream_write(1, null, 4)", "yulfs_stream_write",
         [](GuestCall&) {
             return std::vector<uint32_t>{1, 0, 4};
         }},
        {"chdir(null)", "chdir", [](GuestCall&) { return std::vector<uint32_t>{0}; }},
        {"pipe(null)", "pipe", [](GuestCall&) { return std::vector<uint32_t>{0}; }},
        {"mkfifo(null)", "mkfifo",
         [](GuestCall&) {
             return std::vector<uint32_t>{0, 0600};
         }},
        {"spawn(null, argv, 1)", "spawn",
         [](GuestCall& g) {
             return std::vector<uint32_t>{0, g.put_words({0}), 1};
         }},
        {"spawn(path, argv, -1)", "spawn",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), g.put_words({0}), minus_one};
         }},
        {"spawn(path, argv, INT_MIN)", "spawn",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), g.put_words({0}), 0x80000000};
         }},
        {"spawn_ex(null, argv, 1, 0, 1, 2, 1)", "spawn_ex",
         [](GuestCall& g) { return std::vector<uint32_t>{0, g.put_words({0}), 1, 0, 1, 2, 1}; }},
        {"spawn_ex(path, argv, -1, 3, 3, 3, 1)", "spawn_ex",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), g.put_words({0}), minus_one, 3, 3, 3, 1};
         }},
        {"spawn_ex(path, argv, INT_MIN, 3, 3, 3, 1)", "spawn_ex",
         [path](GuestCall& g) {
             return std::vector<uint32_t>{path(g), g.put_words({0}), 0x80000000, 3, 3, 3, 1};
         }},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        GuestCall g(runtime_image);
        answer_all(g, 5);
        std::vector<uint32_t> args = r.args(g);
        CallOutcome out = g.call(r.function, args);
        ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
        EXPECT_EQ(hex(out.eax), hex(minus_one));
        EXPECT_TRUE(g.kernel().calls.empty())
            << "entered the kernel with call " << g.kernel().calls[0].eax;
        if (uint32_t e = errno_address(g)) {
            EXPECT_EQ(g.read_u32(e), 0u) << "errno";
        }
    }
}

// ---- The length clamp.

struct Clamp {
    uint32_t given, passed;
};
const Clamp clamps[] = {
    {0, 0},
    {1, 1},
    {0x7FFFFFFE, 0x7FFFFFFE},
    {0x7FFFFFFF, 0x7FFFFFFF},
    {0x80000000, 0x7FFFFFFF},
    {0x80000001, 0x7FFFFFFF},
    {0xFFFFFFFE, 0x7FFFFFFF},
    {0xFFFFFFFF, 0x7FFFFFFF},
};

struct LengthCase {
    std::string function;
    uint32_t number;
    // The arguments for length `len` and the registers wanted for the clamped length `passed`.
    std::function<Arranged(GuestCall&, uint32_t len, uint32_t passed)> make;
};

TEST(SyscallWrappers, LengthsAboveTheLargestIntAreClampedAndZeroGoesThrough)
{
    std::vector<LengthCase> cases = {
        {"write", 1,
         [](GuestCall& g, uint32_t len, uint32_t passed) {
             uint32_t buf = g.put_string("data");
             return Arranged{{1, buf, len}, want(SYS_WRITE, 1, buf, passed)};
         }},
        {"read", 3,
         [](GuestCall& g, uint32_t len, uint32_t passed) {
             uint32_t buf = g.alloc(16);
             return Arranged{{0, buf, len}, want(SYS_READ, 0, buf, passed)};
         }},
        {"writefile", 21,
         [](GuestCall& g, uint32_t len, uint32_t passed) {
             uint32_t path = g.put_string("/f");
             uint32_t data = g.put_string("data");
             return Arranged{{path, data, len}, want(SYS_WRITEFILE, path, data, passed)};
         }},
        {"yulfs_stream_write", 54,
         [](GuestCall& g, uint32_t len, uint32_t passed) {
             uint32_t data = g.put_string("data");
             return Arranged{{7, data, len}, want(SYS_YULFS_STREAM_WRITE, 7, data, passed)};
         }},
        {"getcwd", 52,
         [](GuestCall& g, uint32_t len, uint32_t passed) {
             uint32_t buf = g.alloc(64);
             return Arranged{{buf, len}, want(SYS_GETCWD, buf, passed, 0)};
         }},
    };
    for (const LengthCase& c : cases)
        for (const Clamp& clamp : clamps) {
            if (c.function == "getcwd" && clamp.given == 0) continue; // refused, tested above
            Case one{c.function + "(length " + hex(clamp.given) + ")", c.function,
                     [&](GuestCall& g) { return c.make(g, clamp.given, clamp.passed); }};
            run_pass_through(one, distinctive);
        }
}

// ---- access: open for reading, close what it opened, 0 or -1.

TEST(SyscallWrappers, AccessClosesTheDescriptorOpenReturnedAndAnswersZeroWhateverTheMode)
{
    for (int32_t descriptor : {7, 0, 1234})
        for (uint32_t mode : {0u, 1u, 2u, 4u, 7u, minus_one}) {
            SCOPED_TRACE("open answers " + std::to_string(descriptor) + ", mode " + hex(mode));
            GuestCall g(runtime_image);
            g.kernel().answer = [descriptor](const KernelCallRecord& r) -> std::optional<int32_t> {
                if (r.eax == 4) return descriptor;
                return distinctive; // close fails: access does not care
            };
            uint32_t path = g.put_string("/etc/motd");
            poison_registers(g);
            CallOutcome out = g.call("access", {path, mode});
            ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
            EXPECT_EQ(out.eax, 0u);
            ASSERT_EQ(g.kernel().calls.size(), 2u);
            expect_call(g.kernel().calls[0], want(SYS_OPEN, path, 0, 0).with_data("/etc/motd"));
            expect_call(g.kernel().calls[1], want(SYS_CLOSE, word(descriptor)));
        }
}

TEST(SyscallWrappers, AccessAnswersMinusOneWithoutACloseWhenOpenFails)
{
    for (int32_t failure : {distinctive, -1, INT32_MIN})
        for (uint32_t mode : {0u, 4u}) {
            SCOPED_TRACE("open answers " + std::to_string(failure) + ", mode " + hex(mode));
            GuestCall g(runtime_image);
            answer_all(g, failure);
            uint32_t path = g.put_string("/missing");
            CallOutcome out = g.call("access", {path, mode});
            ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
            EXPECT_EQ(hex(out.eax), hex(minus_one));
            ASSERT_EQ(g.kernel().calls.size(), 1u) << "only the open";
            expect_call(g.kernel().calls[0], want(SYS_OPEN, path, 0, 0));
        }
}

// ---- usleep and sleep: call 22, result always 0.

TEST(SyscallWrappers, UsleepPassesTheMicrosecondsUnclampedAndAlwaysAnswersZero)
{
    for (uint32_t usec : {10000u, 0u, 1u, 0x80000000u, 0xFFFFFFFFu})
        for (int32_t answer : kernel_answers) {
            SCOPED_TRACE("usleep(" + hex(usec) + "), kernel answers " + std::to_string(answer));
            GuestCall g(runtime_image);
            answer_all(g, answer);
            CallOutcome out = g.call("usleep", {usec});
            ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
            EXPECT_EQ(out.eax, 0u);
            ASSERT_EQ(g.kernel().calls.size(), 1u);
            expect_call(g.kernel().calls[0], want(SYS_USLEEP, usec));
        }
}

TEST(SyscallWrappers, SleepAsksForAMillionMicrosecondsASecondWrappingIn32BitsAndAnswersZero)
{
    const std::pair<uint32_t, uint32_t> sleeps[] = {
        {5, 5000000},
        {0, 0},
        {1, 1000000},
        {4294, 4294000000u},
        {4295, 32704},            // 4,295,000,000 mod 2^32
        {0xFFFFFFFF, 0xFFF0BDC0}, // -1,000,000 mod 2^32
    };
    for (auto [sec, usec] : sleeps)
        for (int32_t answer : kernel_answers) {
            SCOPED_TRACE("sleep(" + std::to_string(sec) + "), kernel answers " +
                         std::to_string(answer));
            GuestCall g(runtime_image);
            answer_all(g, answer);
            CallOutcome out = g.call("sleep", {sec});
            ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
            EXPECT_EQ(out.eax, 0u);
            ASSERT_EQ(g.kernel().calls.size(), 1u);
            expect_call(g.kernel().calls[0], want(SYS_USLEEP, usec));
        }
}

// ---- spawn_ex: the seven-word record on the caller's stack.

TEST(SyscallWrappers, SpawnExBuildsTheSevenWordRecordOnTheStackWithFlagZeroOrOne)
{
    struct Spawn {
        uint32_t argc, in, out, err, flag, stored_flag;
        bool null_argv;
    };
    const Spawn spawns[] = {
        {2, 3, 3, 3, 7, 1, false},
        {2, 4, 5, 6, 1, 1, false}, // field order
        {0, 0, 1, 2, 0, 0, false}, // argc 0 and flag 0
        {1, minus_one, word(-2), word(-3), 0x100, 1, false},
        {3, 9, 8, 7, 0x80000000, 1, false},
        {largest_int, 3, 3, 3, minus_one, 1, false},
        {2, 3, 3, 3, 1, 1, true}, // a null argv is passed on
    };
    for (const Spawn& s : spawns) {
        SCOPED_TRACE("argc " + hex(s.argc) + ", descriptors " + hex(s.in) + " " + hex(s.out) + " " +
                     hex(s.err) + ", flag " + hex(s.flag) + (s.null_argv ? ", null argv" : ""));
        GuestCall g(runtime_image);
        answer_all(g, distinctive);
        uint32_t path = g.put_string("/binaries/echo");
        uint32_t argv = s.null_argv ? 0 : g.put_words({g.put_string("echo"), 0});
        poison_registers(g);
        CallOutcome out = g.call("spawn_ex", {path, argv, s.argc, s.in, s.out, s.err, s.flag});
        ASSERT_EQ(out.kind, CallOutcome::Kind::returned) << out.message;
        EXPECT_EQ(hex(out.eax), hex(word(distinctive)));
        ASSERT_EQ(g.kernel().calls.size(), 1u);
        const KernelCallRecord& r = g.kernel().calls[0];
        expect_call(
            r,
            want(SYS_SPAWN_EX).with_words({path, argv, s.argc, s.in, s.out, s.err, s.stored_flag}));
        EXPECT_GE(r.ebx, stack_top - stack_size) << "the record lies on the stack";
        EXPECT_LE(r.ebx, stack_top - 28) << "the record lies on the stack";
        EXPECT_EQ(r.ebx % 4, 0u) << "the record's words are aligned";
    }
}

// ---- _exit: call 2 with the status, never returning.

TEST(SyscallWrappers, ExitIssuesCallTwoWithTheStatusAndTheProcessEnds)
{
    for (uint32_t status : {3u, 0u, minus_one, 0x12345678u}) {
        SCOPED_TRACE("_exit(" + hex(status) + ")");
        GuestCall g(runtime_image);
        CallOutcome out = g.call("_exit", {status});
        EXPECT_EQ(out.kind, CallOutcome::Kind::exited) << out.message;
        EXPECT_EQ(hex(word(out.status)), hex(status));
        ASSERT_EQ(g.kernel().calls.size(), 1u);
        expect_call(g.kernel().calls[0], want(SYS_EXIT, status));
    }
}

TEST(SyscallWrappers, ExitDoesNotReturnEvenWhenTheKernelComesBack)
{
    for (int32_t answer : kernel_answers) {
        SCOPED_TRACE("kernel answers " + std::to_string(answer));
        GuestCall g(runtime_image);
        g.kernel().exit_returns = true;
        answer_all(g, answer);
        CallOutcome out = g.call("_exit", {3});
        EXPECT_EQ(out.kind, CallOutcome::Kind::halted) << out.message;
        ASSERT_EQ(g.kernel().calls.size(), 1u) << "no second kernel call";
        expect_call(g.kernel().calls[0], want(SYS_EXIT, 3));
    }
}

// ---- _start.

struct ProbeGlobals {
    uint32_t entry_esp, entries, argc, argv;
};

ProbeGlobals read_probe(GuestCall& g)
{
    return {g.read_u32(g.symbol("g_probe_entry_esp")), g.read_u32(g.symbol("g_probe_entries")),
            g.read_u32(g.symbol("g_probe_argc")), g.read_u32(g.symbol("g_probe_argv"))};
}

std::vector<std::string> arguments(int count)
{
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(i == 0 ? "probe" : "arg" + std::string(i, 'x'));
    return args;
}

// What main saw: argc, argv pointing at the word after the count, the argument texts behind it,
// a single entry on a 16-byte boundary for its argument words; and main's result went to _exit
// with no other kernel call.
void expect_main_saw(GuestCall& g, StopReason stop, uint32_t initial_sp,
                     const std::vector<std::string>& args, int32_t result)
{
    ProbeGlobals p = read_probe(g);
    EXPECT_EQ(p.entries, 1u) << "main entered once";
    EXPECT_EQ((p.entry_esp + 4) % 16, 0u)
        << "main entered with esp " << hex(p.entry_esp) << " from initial " << hex(initial_sp);
    EXPECT_LE(p.entry_esp + 12, initial_sp) << "main's frame lies below the initial stack";
    EXPECT_EQ(p.argc, uint32_t(args.size()));
    EXPECT_EQ(hex(p.argv), hex(initial_sp + 4)) << "argv is the word after the count";
    for (size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(g.read_string(g.read_u32(p.argv + 4 * uint32_t(i))), args[i])
            << "argv[" << i << "]";
    EXPECT_EQ(g.read_u32(initial_sp), uint32_t(args.size())) << "the count is left as it was";

    EXPECT_EQ(stop.kind, StopReason::Kind::exited) << stop.message;
    EXPECT_EQ(stop.status, result);
    ASSERT_EQ(g.kernel().calls.size(), 1u) << "nothing but _exit enters the kernel";
    expect_call(g.kernel().calls[0], want(SYS_EXIT, word(result)));
}

TEST(Start, TheImageIsEnteredAtStartTheFirstByteOfTheCode)
{
    GuestCall g(probe_image);
    EXPECT_EQ(hex(g.machine().image().entry), hex(g.symbol("_start")));
    EXPECT_EQ(hex(g.machine().image().entry), hex(0x400000));
}

TEST(Start, MainGetsTheLoadersArgumentsOnA16ByteBoundaryAndItsResultGoesToExit)
{
    for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 13}) {
        SCOPED_TRACE(std::to_string(count) + " arguments");
        GuestCall g(probe_image);
        int32_t result = 100 + count;
        g.write_u32(g.symbol("g_probe_result"), word(result));
        std::vector<std::string> args = arguments(count);
        ASSERT_TRUE(g.machine().push_arguments(args));
        uint32_t initial_sp = g.machine().reg(Reg::esp);
        StopReason stop = g.machine().run();
        expect_main_saw(g, stop, initial_sp, args, result);
    }
}

// The loader's stack pointer is 16-byte aligned already; laid out by hand at every offset, the
// initial stack pointer takes each alignment, and main's frame is aligned all the same.
TEST(Start, TheAlignmentIsMadeWhateverTheInitialStackPointer)
{
    for (uint32_t offset = 0; offset < 16; ++offset)
        for (int count : {0, 1, 2, 3, 5}) {
            SCOPED_TRACE("initial stack pointer 16n - " + std::to_string(offset) + ", " +
                         std::to_string(count) + " arguments");
            GuestCall g(probe_image);
            int32_t result = -7 - int32_t(offset);
            g.write_u32(g.symbol("g_probe_result"), word(result));
            std::vector<std::string> args = arguments(count);
            // Texts high on the stack, then the count and pointers at the chosen offset below.
            uint32_t text = stack_top - 1024;
            std::vector<uint32_t> pointers;
            for (const std::string& a : args) {
                g.write(text, std::span(reinterpret_cast<const uint8_t*>(a.c_str()), a.size() + 1));
                pointers.push_back(text);
                text += uint32_t(a.size()) + 1;
            }
            uint32_t sp = stack_top - 4096 - offset;
            g.write_u32(sp, uint32_t(count));
            for (size_t i = 0; i < pointers.size(); ++i)
                g.write_u32(sp + 4 + 4 * uint32_t(i), pointers[i]);
            g.write_u32(sp + 4 + 4 * uint32_t(pointers.size()), 0);
            g.machine().set_reg(Reg::esp, sp);
            StopReason stop = g.machine().run();
            expect_main_saw(g, stop, sp, args, result);
        }
}

TEST(Start, MainsResultReachesExitUnchanged)
{
    for (uint32_t result : {0u, 1u, 7u, 255u, 256u, minus_one, 0x80000000u, 0x12345678u}) {
        SCOPED_TRACE("main returns " + hex(result));
        GuestCall g(probe_image);
        g.write_u32(g.symbol("g_probe_result"), result);
        std::vector<std::string> args = arguments(2);
        ASSERT_TRUE(g.machine().push_arguments(args));
        uint32_t initial_sp = g.machine().reg(Reg::esp);
        StopReason stop = g.machine().run();
        expect_main_saw(g, stop, initial_sp, args, int32_t(result));
    }
}

// Should the kernel ever come back from _exit, the process still does not go on: it halts in
// _exit, and nothing after main runs again or enters the kernel.
TEST(Start, NothingRunsAfterExitEvenWhenTheKernelComesBack)
{
    GuestCall g(probe_image);
    g.kernel().exit_returns = true;
    g.write_u32(g.symbol("g_probe_result"), 9);
    ASSERT_TRUE(g.machine().push_arguments(arguments(1)));
    StopReason stop = g.machine().run();
    EXPECT_EQ(stop.kind, StopReason::Kind::halted) << stop.message;
    EXPECT_EQ(read_probe(g).entries, 1u);
    ASSERT_EQ(g.kernel().calls.size(), 1u);
    expect_call(g.kernel().calls[0], want(SYS_EXIT, 9));
}

} // namespace
