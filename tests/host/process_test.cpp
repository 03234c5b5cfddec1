// The process model, through the host binary: one host process per guest process, the status
// word, waitpid, the child's descriptors, pseudo-terminals, traces and injected failures.
// The guest root holds /bin/proc (tests/guest/proc.cpp) and /bin/faults.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <yulos_elf.h>

using namespace yulos_test;

namespace {

struct ProcessTest : ::testing::Test {
    TempDir root;

    ProcessTest()
    {
        install_image(root, "test_proc", "bin/proc");
        install_image(root, "test_faults", "bin/faults");
    }
    HostRun run(std::vector<std::string> args, std::vector<std::string> options = {})
    {
        std::vector<std::string> full = {"run", "--root", root.str()};
        full.insert(full.end(), options.begin(), options.end());
        full.insert(full.end(), args.begin(), args.end());
        return run_host(full);
    }
    // The "name value" lines that proc printed (other lines are skipped).
    static std::map<std::string, std::string> reported(const HostRun& r)
    {
        std::map<std::string, std::string> values;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            size_t space = line.find(' ');
            if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
        }
        return values;
    }
};

} // namespace

TEST_F(ProcessTest, StatusWordReachesTheParentWholeAndTheHostExitsWithItsLowByte)
{
    for (auto [word, seen] : {std::pair{"0x12345678", "0x12345678"},
                              {"-2", "0xfffffffe"},
                              {"0", "0x00000000"},
                              {"0x100", "0x00000100"}}) {
        HostRun parent = run({"/bin/proc", "wait", "/bin/proc", "exit", word});
        EXPECT_EQ(parent.exit_code, 0) << parent.err;
        auto values = reported(parent);
        EXPECT_EQ(values["spawned"], "1");
        EXPECT_EQ(values["waited"], "1");
        EXPECT_EQ(values["status"], seen) << word;
    }
    EXPECT_EQ(run({"/bin/proc", "exit", "0x12345678"}).exit_code, 0x78);
    EXPECT_EQ(run({"/bin/proc", "exit", "-2"}).exit_code, 254);
    EXPECT_EQ(run({"/bin/proc", "exit", "0x100"}).exit_code, 0);
}

TEST_F(ProcessTest, WaitpidWithOption1AnswersAtOnceAndOption0Waits)
{
    HostRun polled = run({"/bin/proc", "poll", "/bin/proc", "sleep-exit", "300", "9"});
    auto values = reported(polled);
    EXPECT_EQ(values["first"], "0"); // the child still runs
    EXPECT_EQ(values["untouched"], "0x00007777");
    EXPECT_EQ(values["later"], "1");
    EXPECT_EQ(values["status"], "0x00000009");

    HostRun waited = run({"/bin/proc", "wait", "/bin/proc", "sleep-exit", "100", "9"});
    values = reported(waited);
    EXPECT_EQ(values["waited"], "1");
    EXPECT_EQ(values["status"], "0x00000009");
}

TEST_F(ProcessTest, WaitpidRefusesWhatIsNotOnesOwnChild)
{
    auto values = reported(run({"/bin/proc", "not-mine"}));
    EXPECT_EQ(values["none"], "-10"); // no child at all
    EXPECT_EQ(values["init"], "-10");
    EXPECT_EQ(values["first"], "1");
    EXPECT_EQ(values["again"], "-10"); // already waited for
    EXPECT_EQ(values["options"], "-22");
}

TEST_F(ProcessTest, ChildGetsTheGivenDescriptorsAsItsStandardOnes)
{
    write_file(root / "in.txt", "input");
    for (std::string how : {"spawn-stdio", "set-stdio"}) {
        SCOPED_TRACE(how);
        fs::remove(root / "out.txt");
        fs::remove(root / "err.txt");
        HostRun r = run({"/bin/proc", how, "/in.txt", "/out.txt", "/err.txt"});
        auto values = reported(r);
        EXPECT_EQ(values["waited"], "1") << r.out << r.err;
        EXPECT_EQ(values["status"], "0");
        if (how == "set-stdio") {
            EXPECT_EQ(values["set"], "0");
        }
        EXPECT_EQ(read_file(root / "out.txt"), "out:input");
        EXPECT_EQ(read_file(root / "err.txt"), "err:input");
    }
}

TEST_F(ProcessTest, InheritSwitchDecidesWhetherChildrenSeeHigherDescriptors)
{
    auto values = reported(run({"/bin/proc", "inherit", "on"}));
    EXPECT_EQ(values["fd"], "3");
    EXPECT_EQ(values["switch"], "0");
    EXPECT_EQ(values["child-write"], "10");
    EXPECT_EQ(read_file(root / "inherited"), "from-child");

    values = reported(run({"/bin/proc", "inherit", "off"}));
    EXPECT_EQ(values["child-write"], "-9");
    EXPECT_EQ(read_file(root / "inherited"), "");
}

TEST_F(ProcessTest, WriteToAPipeWithoutReaderFailsAndTheHostGoesOn)
{
    HostRun r = run({"/bin/proc", "broken-pipe"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    auto values = reported(r);
    EXPECT_EQ(values["pipe"], "0");
    EXPECT_EQ(values["write"], "-32");
    EXPECT_EQ(values["again"], "-32");
}

TEST_F(ProcessTest, PseudoTerminalCarriesEveryByteUnchanged)
{
    auto values = reported(run({"/bin/proc", "pty-bytes"}));
    EXPECT_EQ(values["pair"], "0");
    EXPECT_EQ(values["written"], "256");
    EXPECT_EQ(values["read"], "256");
    EXPECT_EQ(values["difference"], "-1");
    EXPECT_EQ(values["idle"], "-11");
    // What the slave wrote before it closed is still read; then reads fail.
    EXPECT_EQ(values["close"], "0");
    EXPECT_EQ(values["buffered"], "4");
    EXPECT_EQ(values["same"], "1");
    EXPECT_EQ(values["after"], "1");

    values = reported(run({"/bin/proc", "pty-child"}));
    EXPECT_EQ(values["waited"], "1");
    EXPECT_EQ(values["status"], "0");
    EXPECT_EQ(values["read"], "256");
    EXPECT_EQ(values["difference"], "-1");
    EXPECT_EQ(values["after"], "1");
}

TEST_F(ProcessTest, ParentSeesAFaultingChildWithTheDocumentedStatus)
{
    for (auto [fault, status, message] :
         {std::tuple{"segv", "0x0000008b", "read from unmapped memory at 0x00000010"},
          {"stack", "0x0000008b", "stack overflow"},
          {"div", "0x00000088", "divide error"},
          {"ud2", "0x00000084", "invalid instruction"}}) {
        HostRun r = run({"/bin/proc", "wait", "/bin/faults", fault});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(reported(r)["status"], status) << fault;
        EXPECT_NE(r.err.find(std::string("yulos: /bin/faults: ") + message), std::string::npos)
            << r.err;
    }
}

TEST_F(ProcessTest, TraceFileHasTheCallsOfEveryProcess)
{
    TempDir logs;
    const std::string trace = (logs / "trace").string();
    HostRun r = run({"/bin/proc", "traced"}, {"--trace=" + trace});
    EXPECT_EQ(reported(r)["status"], "5");
    std::string text = read_file(trace);
    std::istringstream lines(text);
    // Calls in their own terms: flags by name, texts and buffers quoted and cut after 32 bytes,
    // the bytes a read delivered, what a call stored, failures with their names.
    std::set<std::string> parent_lines;
    for (const std::string& line : lines_of(text))
        if (line.starts_with(text.substr(0, text.find(' ') + 1)))
            parent_lines.insert(line.substr(line.find(' ') + 1));
    for (std::string wanted : {
             "open(\"/traced.txt\", O_WRONLY|O_CREAT, 0x41) = 3",
             "write(3, \"abc\", 3) = 3",
             "open(\"/missing\", O_RDONLY, 0x0) = -2 ENOENT (No such file or directory)",
             "pipe([3, 4]) = 0",
             "write(4, \"tab\\there \\\"quoted\\\" and a tail pas\"..., 49) = 49",
             "read(3, \"tab\\there\", 8) = 8",
         })
        EXPECT_TRUE(parent_lines.contains(wanted)) << wanted << "\n" << text;
    // Parent and child write their lines as they run, so the child's may come first.
    std::set<std::string> pids;
    std::string child_pid, exit_pid;
    bool open_seen = false, spawn_seen = false;
    for (std::string line; std::getline(lines, line);) {
        std::string pid = line.substr(0, line.find(' '));
        pids.insert(pid);
        if (line.find(" open(\"/traced.txt\", O_WRONLY|O_CREAT, 0x41) = 3") != std::string::npos)
            open_seen = true;
        auto spawn = line.find(" spawn_ex(");
        if (spawn != std::string::npos) {
            spawn_seen = line.find("({path \"/bin/proc\", argv [\"/bin/proc\", \"exit\", \"5\"], "
                                   "argc 3, fds 0 1 2, flag 0}) = ") != std::string::npos;
            child_pid = line.substr(line.rfind(' ') + 1);
        }
        if (line.find(" exit(5) = ?") != std::string::npos) exit_pid = pid;
    }
    bool child_exit_seen = !child_pid.empty() && exit_pid == child_pid;
    EXPECT_TRUE(open_seen) << text;
    EXPECT_TRUE(spawn_seen) << text;
    EXPECT_TRUE(child_exit_seen) << text;
    EXPECT_EQ(pids.size(), 2u) << text;
    EXPECT_TRUE(pids.contains(child_pid));
}

TEST_F(ProcessTest, InjectedFailureAffectsOnlyTheStartedProcess)
{
    TempDir logs;
    const std::string trace = (logs / "trace").string();
    HostRun r = run({"/bin/proc", "getcwd"}, {"--fail", "52=-7", "--trace=" + trace});
    auto values = reported(r);
    EXPECT_EQ(values["parent-getcwd"], "-7");
    EXPECT_EQ(values["child-getcwd"], "2"); // "/" and its NUL
    EXPECT_EQ(values["waited"], "1");
    EXPECT_NE(read_file(trace).find(" getcwd(0x"), std::string::npos);
    EXPECT_NE(read_file(trace).find(" = -7 E2BIG (Argument list too long) (injected)"),
              std::string::npos);
}

TEST_F(ProcessTest, ExitAndAbortEndTheProcessAsTheParentSeesIt)
{
    install_image(root, "test_exiter", "bin/exiter");
    auto exited = reported(run({"/bin/proc", "wait", "/bin/exiter", "exit", "3"}));
    EXPECT_EQ(exited["status"], "0x00000003");
    EXPECT_FALSE(fs::exists(root / "left-open")) << "a stream left open at exit wrote its file";
    auto aborted = reported(run({"/bin/proc", "wait", "/bin/exiter", "abort"}));
    EXPECT_EQ(aborted["status"], "0x00000001");
    EXPECT_EQ(run({"/bin/exiter", "exit", "3"}).exit_code, 3);
}

// A writer killed between starting a replacement and ending it leaves the old file exactly as
// it was and nothing beside it: the new bytes have no name until the end.
TEST_F(ProcessTest, KilledWriterLeavesTheOldFileAndNoTemporary)
{
    write_file(root / "data" / "file", "old bytes");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = {YULOS_HOST_BINARY, "run",       "--root",
                                     root.str(),        "/bin/proc", "stream-then-wait",
                                     "/data/file"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t host = -1;
    ASSERT_EQ(posix_spawn(&host, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string said;
    char chunk[64];
    for (ssize_t n;
         said.find("begun\n") == std::string::npos && (n = read(out[0], chunk, sizeof chunk)) > 0;)
        said.append(chunk, size_t(n));
    close(out[0]);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_EQ(said, "begun\n");
    EXPECT_EQ(entries(root / "data"), std::vector<std::string>{"file"});
    EXPECT_EQ(read_file(root / "data" / "file"), "old bytes");
}

// The limits hold across the whole run: past them spawn fails with -11 and the PTY-pair call
// with -24, the guest goes on, and what a process gives back can be taken again.
TEST_F(ProcessTest, LimitsPerRunAreReachedAndReleased)
{
    HostRun processes = run({"/bin/proc", "fill-processes"}, {"--max-processes", "3"});
    auto values = reported(processes);
    EXPECT_EQ(values["spawned"], "2") << processes.out; // the parent is the third
    EXPECT_EQ(values["refused"], "-11");
    EXPECT_EQ(values["after-wait"], "1");
    EXPECT_EQ(processes.exit_code, 0);

    HostRun ptys = run({"/bin/proc", "fill-ptys"}, {"--max-ptys", "2"});
    values = reported(ptys);
    EXPECT_EQ(values["pairs"], "2") << ptys.out;
    EXPECT_EQ(values["refused"], "-24");
    EXPECT_EQ(values["one-side-closed"], "-24"); // the slave still holds the pair
    EXPECT_EQ(values["both-closed"], "0");

    // Each process of the tree counts: a child cannot start where its parent took the last place.
    HostRun nested =
        run({"/bin/proc", "wait", "/bin/proc", "fill-processes"}, {"--max-processes", "3"});
    values = reported(nested);
    EXPECT_EQ(values["spawned"], "1") << nested.out;
    EXPECT_EQ(values["refused"], "-11");
}

// An image larger than --max-memory allows is refused before it runs: 125 for the program the
// run starts, -12 from a spawn.
TEST_F(ProcessTest, MemoryLimitRefusesLargeImagesBeforeTheyRun)
{
    HostRun refused = run({"/bin/proc", "exit", "0"}, {"--max-memory", "8"});
    EXPECT_EQ(refused.exit_code, 125);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("yulos: /bin/proc: needs "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(" MiB allowed (--max-memory)"), std::string::npos);

    // A copy of proc whose zero-filled area is 64 MiB larger.
    std::vector<uint8_t> image = read_bytes(guest_image("test_proc"));
    yulos_elf_header header;
    std::memcpy(&header, image.data(), sizeof header);
    for (unsigned i = 0; i < header.program_header_count; ++i) {
        yulos_elf_program_header segment;
        size_t at = header.program_headers + i * sizeof segment;
        std::memcpy(&segment, image.data() + at, sizeof segment);
        if (segment.type != YULOS_PT_LOAD || !(segment.flags & YULOS_PF_W)) continue;
        segment.memory_size += 64u << 20;
        std::memcpy(image.data() + at, &segment, sizeof segment);
    }
    write_bytes(root / "bin" / "large", image);
    HostRun spawned = run({"/bin/proc", "spawn", "/bin/large"}, {"--max-memory", "32"});
    EXPECT_EQ(reported(spawned)["spawn"], "-12") << spawned.out << spawned.err;
    EXPECT_EQ(spawned.exit_code, 0);
}

// A spawn hands its arguments to the child whatever their size up to the limit of the argument
// vector; past it the spawn fails with -7 and nothing starts.
TEST_F(ProcessTest, LargeArgumentsReachTheChildOrTheSpawnFails)
{
    HostRun big = run({"/bin/proc", "spawn-big", "204800"});
    auto values = reported(big);
    EXPECT_EQ(values["spawn"], "1") << big.out << big.err;
    EXPECT_EQ(values["length"], "204800");
    EXPECT_EQ(values["status"], "0");

    HostRun too_big = run({"/bin/proc", "spawn-big", "3000000"});
    values = reported(too_big);
    EXPECT_EQ(values["spawn"], "-7") << too_big.out << too_big.err;
    EXPECT_EQ(values.count("length"), 0u);
}
