// The one checked accessor to guest memory, and the kernel services that go through it: a bad
// pointer is refused with -14 and nothing is read, written or consumed.
#include "guest_call.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <yulos_kernel.h>

using namespace yulos;
using namespace yulos_test;

namespace {

const std::string faults_image = guest_image("test_faults");

constexpr uint32_t read_only = 0xB0000000;  // two pages, read-only
constexpr uint32_t read_write = 0xB0002000; // one page right after it, read-write
constexpr uint32_t write_only = 0xB0010000; // one page, writable but not readable
constexpr uint32_t unmapped = 0xDEAD0000;
constexpr int32_t bad_address = -14;

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// How a fault message names an instruction `offset` bytes into `function`.
std::string instruction(const GuestCall& g, std::string_view function, uint32_t offset)
{
    char text[32];
    std::snprintf(text, sizeof text, "+0x%x)", offset);
    return hex(g.symbol(function) + offset) + " (" + std::string(function) + text;
}

std::span<const uint8_t> as_bytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

} // namespace

TEST(GuestMemory, RefusesUnmappedPartlyMappedAndWrongPermissionRanges)
{
    GuestCall g(faults_image);
    GuestMemory& memory = g.machine().memory();
    ASSERT_TRUE(memory.map(read_only, 0x2000, true, false, false));
    ASSERT_TRUE(memory.map(read_write, 0x1000, true, true, false));
    ASSERT_TRUE(memory.map(write_only, 0x1000, false, true, false));
    EXPECT_FALSE(memory.map(read_only + 0x1000, 0x2000, true, true, false)); // taken
    EXPECT_FALSE(memory.map(0xfffff000, 0x2000, true, true, false)); // past the address space
    const uint8_t two[2] = {1, 2};
    EXPECT_FALSE(memory.map(0xB0020000, 0x1000, true, true, false, two, 0xfff)); // past its end

    EXPECT_FALSE(memory.bytes(unmapped, 4, Access::read));
    EXPECT_TRUE(memory.bytes(unmapped, 0, Access::write)); // nothing to reach
    EXPECT_TRUE(memory.bytes(read_only + 0x1ffc, 4, Access::read));
    // A range that runs past its region is refused, even into a mapped neighbour.
    EXPECT_FALSE(memory.bytes(read_only + 0x1ffe, 4, Access::read));
    EXPECT_FALSE(memory.bytes(read_write + 0xffe, 4, Access::read));
    EXPECT_FALSE(memory.bytes(read_only, 0xffffffff, Access::read));
    EXPECT_FALSE(memory.bytes(0xffffffff, 2, Access::read));
    EXPECT_FALSE(memory.bytes(read_only, 4, Access::write));
    EXPECT_TRUE(memory.bytes(read_write, 4, Access::write));
    EXPECT_FALSE(memory.bytes(write_only, 4, Access::read));
    EXPECT_TRUE(memory.bytes(write_only, 4, Access::write));

    EXPECT_FALSE(memory.read_u32(read_write + 0xffd));
    EXPECT_FALSE(memory.read_u32(write_only));
    EXPECT_FALSE(memory.read_u32(unmapped));
    EXPECT_FALSE(memory.write_u32(read_only, 1));
    EXPECT_EQ(memory.read_u32(read_only), 0u);
    EXPECT_TRUE(memory.write_u32(read_write + 0xffc, 0xfeedf00d));
    EXPECT_EQ(memory.read_u32(read_write + 0xffc), 0xfeedf00du);

    auto put = [&](uint32_t address, std::string_view text) {
        auto view = memory.bytes(address, uint32_t(text.size()), Access::write);
        ASSERT_TRUE(view);
        std::memcpy(view->data(), text.data(), text.size());
    };
    put(read_write, std::string_view("abcd\0", 5));
    EXPECT_EQ(memory.text(read_write, 5), "abcd");
    EXPECT_FALSE(memory.text(read_write, 4)); // the NUL must come within `max` bytes
    EXPECT_EQ(memory.text(read_write + 4, 1), "");
    put(read_write + 0xffc, "wxyz"); // no NUL before the region ends
    EXPECT_FALSE(memory.text(read_write + 0xffc, 4096));
    EXPECT_FALSE(memory.text(write_only, 4096));
    EXPECT_FALSE(memory.text(unmapped, 4096));
}

// Guest loads and stores reach the memory the host sees, with exactly the guest's permissions,
// also in code translated before a region was mapped.
TEST(GuestMemory, GuestLoadsAndStoresKeepTheGuestsPermissions)
{
    GuestCall g(faults_image);
    GuestMemory& memory = g.machine().memory();
    ASSERT_TRUE(memory.map(read_write, 0x1000, true, true, false));
    g.call_word("store_word", {read_write + 8, 0x600dcafe});
    EXPECT_EQ(memory.read_u32(read_write + 8), 0x600dcafeu);
    ASSERT_TRUE(memory.write_u32(read_write + 12, 0xfeedf00d));
    EXPECT_EQ(g.call_word("load_word", {read_write + 12}), 0xfeedf00du);
    EXPECT_EQ(g.call_word("load_word", {0x400000}) & 0xff, 0x8bu); // code is readable

    ASSERT_TRUE(memory.map(write_only, 0x1000, false, true, false));
    CallOutcome outcome = g.call("load_word", {write_only + 4});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_TRUE(outcome.message.starts_with("read from protected memory at 0xb0010004"))
        << outcome.message;
    g.call_word("store_word", {write_only + 4, 5});
    auto stored = memory.bytes(write_only + 4, 1, Access::write);
    ASSERT_TRUE(stored);
    EXPECT_EQ((*stored)[0], 5);
}

// Two machines in one host process have a window each, the second one wherever it lands.
TEST(GuestMemory, TwoMachinesInOneProcessKeepTheirMemoryApart)
{
    GuestCall first(faults_image), second(faults_image);
    ASSERT_NE(first.machine().memory().window(), second.machine().memory().window());
    for (GuestCall* g : {&first, &second}) {
        ASSERT_TRUE(g->machine().memory().map(read_write, 0x1000, true, true, false));
        g->call_word("store_word", {read_write, g == &first ? 1u : 2u});
    }
    EXPECT_EQ(first.call_word("load_word", {read_write}), 1u);
    EXPECT_EQ(second.call_word("load_word", {read_write}), 2u);
    CallOutcome outcome = second.call("load_word", {unmapped});
    EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
    EXPECT_EQ(outcome.message, "read from unmapped memory at " + hex(unmapped) +
                                   ", instruction at " + instruction(second, "load_word", 4));
    EXPECT_EQ(first.call_word("load_word", {read_write}), 1u);
}

// Each in a fresh guest process, as a real one ends at its first fault.
TEST(GuestMemory, ARefusedGuestAccessNamesItsAddressAndInstruction)
{
    auto fault = [](std::string_view function, std::initializer_list<uint32_t> args,
                    std::string_view what, uint32_t address, uint32_t instruction_offset) {
        GuestCall g(faults_image);
        CallOutcome outcome = g.call(function, args);
        EXPECT_EQ(outcome.kind, CallOutcome::Kind::fault);
        EXPECT_EQ(outcome.status, status_memory_fault);
        EXPECT_EQ(outcome.message, std::string(what) + " at " + hex(address) + ", instruction at " +
                                       instruction(g, function, instruction_offset));
    };
    fault("load_word", {unmapped}, "read from unmapped memory", unmapped, 4);
    fault("discard_word", {unmapped}, "read from unmapped memory", unmapped, 4);
    // The last bytes of the address space, and a word that would run past them.
    fault("load_word", {0xfffffffc}, "read from unmapped memory", 0xfffffffc, 4);
    fault("store_word", {0xfffffffe, 1}, "write to unmapped memory", 0xfffffffe, 8);
    fault("store_word", {stack_guard + 8, 1}, "stack overflow: write to unmapped memory",
          stack_guard + 8, 8);
    fault("store_word", {0x400000, 1}, "write to read-only memory", 0x400000, 8);
}

TEST(GuestMemory, KernelServicesRefuseBadPointersWithoutSideEffects)
{
    TempDir root;
    GuestCall g(faults_image, root.str());
    int to_guest[2], from_guest[2];
    ASSERT_EQ(pipe2(to_guest, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_guest, O_CLOEXEC | O_NONBLOCK), 0);
    UniqueFd host_writer(to_guest[1]), host_reader(from_guest[0]);
    g.real_kernel().descriptors().place(0, UniqueFd(to_guest[0]));
    g.real_kernel().descriptors().place(1, UniqueFd(from_guest[1]));
    auto call = [&](std::string_view function, std::initializer_list<uint32_t> args) {
        return int32_t(g.call_word(function, args));
    };
    const uint32_t code = 0x400000, past_stack = stack_top - 2;
    const uint32_t buffer = g.alloc(64), path = g.put_string("/file");

    EXPECT_EQ(call("write", {1, unmapped, 5}), bad_address);
    EXPECT_EQ(call("write", {1, past_stack, 5}), bad_address);
    char byte;
    EXPECT_EQ(::read(host_reader.get(), &byte, 1), -1); // nothing came through

    ASSERT_EQ(::write(host_writer.get(), "data", 4), 4);
    EXPECT_EQ(call("read", {0, code, 4}), bad_address); // code is not writable
    EXPECT_EQ(call("read", {0, unmapped, 4}), bad_address);
    EXPECT_EQ(g.read(code, 1)[0], 0x8b);         // _start's first byte, unchanged
    EXPECT_EQ(call("read", {0, buffer, 64}), 4); // the input was not consumed
    EXPECT_EQ(g.read_string(buffer), "data");

    EXPECT_EQ(call("open", {unmapped, 0x41, 0x41}), bad_address);
    uint32_t unterminated = stack_top - 3;
    g.write(unterminated, as_bytes("abc"));
    EXPECT_EQ(call("open", {unterminated, 0x41, 0x41}), bad_address);
    EXPECT_EQ(call("writefile", {unmapped, buffer, 4}), bad_address);
    EXPECT_EQ(call("writefile", {path, unmapped, 4}), bad_address);
    EXPECT_EQ(call("writefile", {path, past_stack, 4}), bad_address);
    EXPECT_EQ(call("mkdir", {unmapped}), bad_address);
    EXPECT_EQ(call("mkfifo", {unmapped}), bad_address);
    EXPECT_EQ(call("unlink", {unmapped}), bad_address);
    EXPECT_EQ(call("rmdir", {unmapped}), bad_address);
    EXPECT_EQ(call("chdir", {unmapped}), bad_address);
    EXPECT_EQ(call("getcwd", {code, 64}), bad_address);
    EXPECT_EQ(call("yulfs_stream_begin", {unmapped}), bad_address);
    int32_t stream = call("yulfs_stream_begin", {path});
    ASSERT_GT(stream, 0);
    EXPECT_EQ(call("yulfs_stream_write", {uint32_t(stream), unmapped, 4}), bad_address);
    EXPECT_EQ(call("yulfs_stream_end", {uint32_t(stream)}), 0);
    EXPECT_EQ(read_file(root / "file"), ""); // the refused write added nothing
    EXPECT_EQ(entries(root.path()), std::vector<std::string>{"file"});

    EXPECT_EQ(call("pipe", {unmapped}), bad_address);
    EXPECT_EQ(call("pipe", {code}), bad_address);
    EXPECT_EQ(call("kernel_call", {SYS_PTY_PAIR, code, 0, 0}), bad_address);
    EXPECT_EQ(call("kernel_call", {SYS_PTY_PAIR, unmapped, 0, 0}), bad_address);
    EXPECT_EQ(call("dup", {0}), 2); // no descriptor was taken by the refused calls
    EXPECT_EQ(call("waitpid", {uint32_t(-1), unmapped, 0}), bad_address);
    EXPECT_EQ(call("waitpid", {uint32_t(-1), code, 1}), bad_address);

    // Spawning: the record, its path, its vector and each argument must be readable.
    const uint32_t argv = g.put_words({path, unmapped});
    EXPECT_EQ(call("kernel_call", {SYS_SPAWN_EX, unmapped, 0, 0}), bad_address);
    EXPECT_EQ(call("kernel_call", {SYS_SPAWN_EX, past_stack, 0, 0}), bad_address);
    EXPECT_EQ(call("spawn_ex", {unmapped, argv, 1, 0, 1, 1, 0}), bad_address);
    EXPECT_EQ(call("spawn_ex", {path, unmapped, 1, 0, 1, 1, 0}), bad_address);
    EXPECT_EQ(call("spawn_ex", {path, argv, 2, 0, 1, 1, 0}), bad_address);
    EXPECT_EQ(call("spawn", {unmapped, argv, 1}), bad_address);
    EXPECT_EQ(call("spawn", {path, argv, 2}), bad_address);
}
