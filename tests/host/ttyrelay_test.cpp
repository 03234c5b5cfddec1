// ttyrelay end to end through the host binary (usage, the child's arguments and descriptors,
// relayed output, status words, pauses, injected failures), and its relay loop against a
// scripted kernel (every byte of a short write, the drain after the child's end).
#include "guest_call.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <yulos_kernel.h>

namespace {

using namespace yulos_test;
using yulos::CallOutcome;
using yulos::GuestCall;
using yulos::KernelCallRecord;

const std::string usage_text = "Usage: ttyrelay <path> [args...]\n"
                               "Example: ttyrelay /binaries/echo hello\n"
                               "Note: path should be an executable path visible to spawn().\n";

// The bulk output of relay_child, as tests/guest/relay_child.cpp writes it.
std::string relay_pattern(unsigned int n)
{
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string bytes;
    for (unsigned int k = 0; k < n; ++k) bytes += k % 64 == 63 ? '\n' : digits[k % 36];
    return bytes;
}

// A root with the relay at /binaries/ttyrelay, the test child at /binaries/child and echo.
class Relay : public ::testing::Test {
  protected:
    Relay()
    {
        install(root, sysroot_binary("ttyrelay"), "binaries/ttyrelay");
        install(root, sysroot_binary("echo"), "binaries/echo");
        install(root, guest_image("test_relay_child"), "binaries/child");
    }

    HostRun relay(std::vector<std::string> args, std::vector<std::string> host_options = {})
    {
        std::vector<std::string> full = {"run", "--root", root.str()};
        full.insert(full.end(), host_options.begin(), host_options.end());
        full.push_back("/binaries/ttyrelay");
        full.insert(full.end(), args.begin(), args.end());
        return run_host(full);
    }

    TempDir root;
};

TEST_F(Relay, UsageWithoutArgumentsAndHelpWithOrWithoutMore)
{
    HostRun bare = relay({});
    EXPECT_EQ(bare.out, usage_text);
    EXPECT_EQ(bare.exit_code, 1);

    HostRun help = relay({"-h"});
    EXPECT_EQ(help.out, usage_text);
    EXPECT_EQ(help.exit_code, 0);

    // Only the first argument is compared: with more behind it no child starts...
    HostRun more = relay({"-h", "/binaries/child", "args"});
    EXPECT_EQ(more.out, usage_text);
    EXPECT_EQ(more.exit_code, 0);

    // ...and a "-h" further on is the child's.
    HostRun later = relay({"/binaries/child", "args", "-h"});
    EXPECT_EQ(later.out, "argc=3\nargv[0]=/binaries/child\nargv[1]=args\nargv[2]=-h\n");
    EXPECT_EQ(later.exit_code, 0);
}

TEST_F(Relay, ChildGetsItsArgumentsFromThePathOn)
{
    HostRun run = relay({"/binaries/child", "args", "hello", "two words", ""});
    EXPECT_EQ(run.out, "argc=5\nargv[0]=/binaries/child\nargv[1]=args\nargv[2]=hello\n"
                       "argv[3]=two words\nargv[4]=\n");
    EXPECT_EQ(run.exit_code, 0);

    // The usage text's own example.
    HostRun echo = relay({"/binaries/echo", "hello"});
    EXPECT_EQ(echo.out, "hello\n");
    EXPECT_EQ(echo.exit_code, 0);
}

TEST_F(Relay, AllThreeChildDescriptorsAreTheSlave)
{
    // Markers written to the child's 0, 1 and 2 all come back through the master, and none
    // reaches the host's own error output.
    HostRun run = relay({"/binaries/child", "stdio"});
    EXPECT_EQ(run.out, "fd1\nfd2\nfd0\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0);
}

TEST_F(Relay, SeveralKibibytesFromAChildThatEndsAtOnceArriveByteExact)
{
    HostRun run = relay({"/binaries/child", "bulk", "6000"});
    EXPECT_EQ(run.out.size(), 6000u);
    EXPECT_TRUE(run.out == relay_pattern(6000)) << "the relayed bytes differ";
    EXPECT_EQ(run.exit_code, 0);
}

TEST_F(Relay, ChildWritingAfterSeveralPausesIsWaitedFor)
{
    HostRun run = relay({"/binaries/child", "pauses"});
    EXPECT_EQ(run.out, "before\nafter\n");
    EXPECT_EQ(run.exit_code, 0);
}

TEST_F(Relay, StatusWordIsPrintedWholeAndReturned)
{
    HostRun zero = relay({"/binaries/child", "status", "0"});
    EXPECT_EQ(zero.out, "bye\n");
    EXPECT_EQ(zero.exit_code, 0);

    HostRun three = relay({"/binaries/child", "status", "3"});
    EXPECT_EQ(three.out, "bye\n\nttyrelay: child exited with status 3\n");
    EXPECT_EQ(three.exit_code, 3);

    // The relay prints the whole word; the host's own exit status is its low byte.
    HostRun large = relay({"/binaries/child", "status", "305419896"}); // 0x12345678
    EXPECT_EQ(large.out, "bye\n\nttyrelay: child exited with status 305419896\n");
    EXPECT_EQ(large.exit_code, 0x78);

    HostRun negative = relay({"/binaries/child", "status", "-2"});
    EXPECT_EQ(negative.out, "bye\n\nttyrelay: child exited with status -2\n");
    EXPECT_EQ(negative.exit_code, 254);
}

// The relay's own trace lines (the first process in the file), without the process id.
std::vector<std::string> own_trace(const std::string& trace)
{
    std::vector<std::string> own;
    std::string pid;
    for (const std::string& line : lines_of(trace)) {
        std::string id = line.substr(0, line.find(' '));
        if (pid.empty()) pid = id;
        if (id == pid) own.push_back(line.substr(id.size() + 1));
    }
    return own;
}

std::vector<std::string> starting_with(const std::vector<std::string>& lines, std::string_view head)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.starts_with(head)) found.push_back(line);
    return found;
}

TEST_F(Relay, FailedPairAllocationClosesNothing)
{
    TempDir scratch;
    std::string trace = (scratch / "trace").string();
    HostRun run = relay({"/binaries/child", "args"}, {"--fail", "149", "--trace=" + trace});
    EXPECT_EQ(run.out, "ttyrelay: failed to allocate PTY pair\n");
    EXPECT_EQ(run.exit_code, 1);
    std::vector<std::string> calls = own_trace(read_file(trace));
    EXPECT_EQ(starting_with(calls, "pty_pair(").size(), 1u);
    EXPECT_TRUE(starting_with(calls, "close(").empty());
    EXPECT_TRUE(starting_with(calls, "spawn_ex(").empty());
}

TEST_F(Relay, FailedSpawnClosesMasterThenSlave)
{
    TempDir scratch;
    std::string trace = (scratch / "trace").string();
    HostRun run = relay({"/binaries/child", "args"}, {"--fail", "150", "--trace=" + trace});
    EXPECT_EQ(run.out, "ttyrelay: spawn_ex failed\n");
    EXPECT_EQ(run.exit_code, 1);
    std::vector<std::string> calls = own_trace(read_file(trace));
    // The master is the descriptor made non-blocking; the pair is 3 and 4 in a fresh process.
    EXPECT_EQ(starting_with(calls, "fd_set_nonblock("),
              std::vector<std::string>{"fd_set_nonblock(3, 1) = 0"});
    EXPECT_EQ(starting_with(calls, "close("),
              (std::vector<std::string>{"close(3) = 0", "close(4) = 0"}));

    // A path that names no executable fails the same way, without any injection.
    HostRun missing = relay({"/binaries/missing"});
    EXPECT_EQ(missing.out, "ttyrelay: spawn_ex failed\n");
    EXPECT_EQ(missing.exit_code, 1);
    write_file(root / "binaries/notes", "not an executable\n");
    HostRun notes = relay({"/binaries/notes"});
    EXPECT_EQ(notes.out, "ttyrelay: spawn_ex failed\n");
    EXPECT_EQ(notes.exit_code, 1);
}

TEST_F(Relay, FailedNonblockingSwitchWarnsAndStillRelays)
{
    HostRun run = relay({"/binaries/child", "args", "x"}, {"--fail", "130"});
    EXPECT_EQ(run.out, "ttyrelay: warning: could not set master PTY nonblocking\n"
                       "argc=3\nargv[0]=/binaries/child\nargv[1]=args\nargv[2]=x\n");
    EXPECT_EQ(run.exit_code, 0);
}

// ---- the relay loop against a scripted kernel ----

constexpr int32_t master = 3, slave = 4, child = 77;
constexpr int32_t nothing_waiting = -11;

// Calls the relay's main with argv {"ttyrelay", "/binaries/child"}; the pair is 3 and 4 and
// the spawn returns 77. `read_pass` answers the n-th read of the master (0 on) by filling the
// buffer and returning a count; `ended_from` is the first read after which waitpid reports the
// child's end with `status`; writes to 1 take at most `write_limit` bytes.
struct ScriptedRelay {
    GuestCall g{sysroot_binary("ttyrelay")};
    std::vector<std::string> reads;
    size_t ended_from = 0;
    int32_t status = 0;
    int32_t write_limit = 1 << 30;
    size_t reads_done = 0;
    uint32_t argv = 0;

    CallOutcome run()
    {
        uint32_t name = g.put_string("ttyrelay"), path = g.put_string("/binaries/child");
        argv = g.put_words({name, path, 0});
        g.kernel().answer = [this](const KernelCallRecord& r) -> std::optional<int32_t> {
            switch (r.eax) {
            case SYS_PTY_PAIR:
                g.write_u32(r.ebx, master);
                g.write_u32(r.ebx + 4, slave);
                return 0;
            case SYS_SPAWN_EX: return child;
            case SYS_READ: {
                if (int32_t(r.ebx) != master) return -9;
                if (reads_done >= reads.size()) return nothing_waiting;
                const std::string& bytes = reads[reads_done++];
                if (bytes.empty()) return nothing_waiting;
                g.write(r.ecx, std::span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                         std::min<size_t>(bytes.size(), r.edx)));
                return int32_t(std::min<size_t>(bytes.size(), r.edx));
            }
            case SYS_WAITPID:
                if (reads_done <= ended_from) return 0;
                g.write_u32(r.ecx, uint32_t(status));
                return child;
            case SYS_WRITE:
                if (int32_t(r.ebx) != 1) return -9;
                return std::min<int32_t>(write_limit, int32_t(r.edx));
            }
            return std::nullopt;
        };
        return g.call("main", {2, argv});
    }

    std::vector<KernelCallRecord> calls(uint32_t number)
    {
        return g.kernel().calls_numbered(number);
    }
};

TEST(RelayLoop, ShortWritesAreContinuedUntilEveryByteIsOut)
{
    ScriptedRelay relay;
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += char(i);
    relay.reads = {bytes};
    relay.ended_from = 0; // the child is seen to end on the pass of the first read
    relay.write_limit = 7;
    CallOutcome outcome = relay.run();
    ASSERT_EQ(outcome.kind, CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 0u);
    EXPECT_TRUE(relay.g.kernel().output == bytes) << "the relayed bytes differ";

    // Each further write offers exactly what is left.
    std::vector<KernelCallRecord> writes = relay.calls(SYS_WRITE);
    ASSERT_EQ(writes.size(), 37u); // 36 writes of 7 and one of 4
    for (size_t k = 0; k < writes.size(); ++k) {
        EXPECT_EQ(writes[k].ebx, 1u);
        EXPECT_EQ(writes[k].edx, 256 - 7 * k);
    }
    // One read with data and four empty ones; waitpid once, as the end was seen at once.
    EXPECT_EQ(relay.calls(SYS_READ).size(), 5u);
    EXPECT_EQ(relay.calls(SYS_WAITPID).size(), 1u);
}

TEST(RelayLoop, FailingWritesDoNotHoldTheRelayUp)
{
    ScriptedRelay relay;
    relay.reads = {"abc", "def"};
    relay.ended_from = 1;
    relay.write_limit = 0; // descriptor 1 takes nothing
    CallOutcome outcome = relay.run();
    ASSERT_EQ(outcome.kind, CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 0u);
    // One write per read that brought data: nothing more can be done for those bytes.
    EXPECT_EQ(relay.calls(SYS_WRITE).size(), 2u);
}

TEST(RelayLoop, SetsUpThePairAndSpawnRecordThenDrainsAfterTheEnd)
{
    ScriptedRelay relay;
    // Pass 1 "a"; pass 2 empty; pass 3 "b" and the end is seen; passes 4 and 5 empty; pass 6
    // "c" starts the count again; passes 7 to 10 empty end the loop.
    relay.reads = {"a", "", "b", "", "", "c"};
    relay.ended_from = 2;
    relay.status = 3;
    CallOutcome outcome = relay.run();
    ASSERT_EQ(outcome.kind, CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 3u);
    EXPECT_EQ(relay.g.kernel().output, "abc\nttyrelay: child exited with status 3\n");

    std::vector<KernelCallRecord> pair = relay.calls(SYS_PTY_PAIR);
    ASSERT_EQ(pair.size(), 1u);
    EXPECT_EQ(pair[0].data, (std::vector<uint8_t>(8, 0xff))); // both words -1 before the call

    std::vector<KernelCallRecord> nonblock = relay.calls(SYS_FD_SET_NONBLOCK);
    ASSERT_EQ(nonblock.size(), 1u);
    EXPECT_EQ(nonblock[0].ebx, uint32_t(master));
    EXPECT_EQ(nonblock[0].ecx, 1u);

    std::vector<KernelCallRecord> spawn = relay.calls(SYS_SPAWN_EX);
    ASSERT_EQ(spawn.size(), 1u);
    ASSERT_EQ(spawn[0].data.size(), 28u);
    uint32_t words[7];
    std::memcpy(words, spawn[0].data.data(), sizeof words);
    EXPECT_EQ(words[0], relay.g.read_u32(relay.argv + 4)); // argv[1], the path
    EXPECT_EQ(words[1], relay.argv + 4);                   // the vector from argv[1] on
    EXPECT_EQ(words[2], 1u);
    EXPECT_EQ(words[3], uint32_t(slave));
    EXPECT_EQ(words[4], uint32_t(slave));
    EXPECT_EQ(words[5], uint32_t(slave));
    EXPECT_EQ(words[6], 1u);

    // The slave is closed right after the spawn, the master after the loop.
    std::vector<KernelCallRecord> closes = relay.calls(SYS_CLOSE);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].ebx, uint32_t(slave));
    EXPECT_EQ(closes[1].ebx, uint32_t(master));

    // Ten passes; waitpid on the first three only; a 10 ms pause after every pass but the last.
    EXPECT_EQ(relay.calls(SYS_READ).size(), 10u);
    EXPECT_EQ(relay.calls(SYS_WAITPID).size(), 3u);
    for (const KernelCallRecord& w : relay.calls(SYS_WAITPID)) {
        EXPECT_EQ(w.ebx, uint32_t(child));
        EXPECT_EQ(w.edx, 1u);
    }
    std::vector<KernelCallRecord> pauses = relay.calls(SYS_USLEEP);
    EXPECT_EQ(pauses.size(), 9u);
    for (const KernelCallRecord& p : pauses) EXPECT_EQ(p.ebx, 10000u);
}

} // namespace
