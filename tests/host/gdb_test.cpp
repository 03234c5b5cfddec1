// The debugger stub end to end: the host binary runs a program built with debug information
// under --gdb 0, and a real gdb in batch mode connects to it, stops, steps, looks and changes.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

using namespace yulos_test;

namespace {

constexpr auto limit = std::chrono::seconds(90);
constexpr int killed = 137;

// A process started with posix_spawnp, its standard output and error in files; killed if the
// test leaves it running.
class Process {
  public:
    Process(std::vector<std::string> args, const fs::path& out, const fs::path& err)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ))
            ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(error);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

    // Waits for the end until the deadline; the exit status, or -1.
    int wait(std::chrono::steady_clock::time_point deadline)
    {
        int status = 0;
        while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "process " << pid_ << " did not finish in time";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
};

// Waits until the file holds `text`; false at the deadline.
bool wait_for_text(const fs::path& file, const std::string& text,
                   std::chrono::steady_clock::time_point deadline)
{
    while (read_file(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Session {
    std::string gdb; // everything gdb printed
    HostRun host;    // the guest's output and the host's status
};

struct GdbTest : ::testing::Test {
    TempDir root, files;
    std::string image = guest_image("test_debuggee");
    int runs = 0;

    GdbTest()
    {
        install(root, image, "bin/debuggee");
        install(root, sysroot_binary("echo"), "binaries/echo");
    }

    // Runs `debuggee MODE` under --gdb 0 and gdb with `commands` against it; `meanwhile` runs
    // while gdb does, given gdb's process id.
    Session debug(const std::string& mode, const std::vector<std::string>& commands,
                  std::function<void(pid_t)> meanwhile = {})
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        Session session;
        fs::path run = files / std::to_string(++runs);
        fs::create_directories(run);
        fs::path out = run / "out", err = run / "err", gdb_out = run / "gdb";
        Process host(
            {YULOS_HOST_BINARY, "run", "--root", root.str(), "--gdb", "0", "/bin/debuggee", mode},
            out, err);
        const std::string waiting = "yulos: waiting for gdb on 127.0.0.1:";
        EXPECT_TRUE(wait_for_text(err, waiting, deadline) && wait_for_text(err, "\n", deadline))
            << read_file(err);
        std::string port = read_file(err).substr(waiting.size());
        port = port.substr(0, port.find('\n'));
        std::vector<std::string> gdb_args = {"gdb",
                                             "-batch",
                                             "-nx",
                                             "-iex",
                                             "set remotetimeout 60",
                                             image,
                                             "-ex",
                                             "target remote 127.0.0.1:" + port};
        for (const std::string& command : commands)
            gdb_args.insert(gdb_args.end(), {"-ex", command});
        Process gdb(gdb_args, gdb_out, gdb_out);
        if (meanwhile) meanwhile(gdb.pid());
        gdb.wait(deadline);
        session.host.exit_code = host.wait(deadline);
        session.gdb = read_file(gdb_out);
        session.host.out = read_file(out);
        session.host.err = read_file(err);
        return session;
    }
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The lines of `text` that begin with `start`, each with its line feed.
std::string lines_starting(const std::string& text, const std::string& start)
{
    std::string found;
    for (const std::string& line : lines_of(text))
        if (line.starts_with(start)) found += line + "\n";
    return found;
}

// The line of the source file that holds `text`.
int source_line(const std::string& text)
{
    auto lines = lines_of(read_file(std::string(YULOS_SOURCE_DIR) + "/tests/guest/debuggee.cpp"));
    for (size_t i = 0; i < lines.size(); ++i)
        if (has(lines[i], text)) return int(i) + 1;
    return 0;
}

} // namespace

TEST_F(GdbTest, StopsShowsRegistersMemoryAndBacktraceAndChangesWhatTheProgramPrints)
{
    Session s = debug("plain", {"break main", "continue", "info registers", "x/s g_greeting",
                                "set var g_answer = 1234", "break write", "continue", "bt",
                                "delete", "continue"});
    EXPECT_TRUE(has(s.gdb, "Breakpoint 1, main (argc=2")) << s.gdb;
    EXPECT_TRUE(std::regex_search(s.gdb, std::regex("eip +0x[0-9a-f]+ +0x[0-9a-f]+ <main")))
        << s.gdb;
    EXPECT_TRUE(std::regex_search(s.gdb, std::regex("eflags +0x[0-9a-f]+ +\\[")));
    EXPECT_TRUE(has(s.gdb, "<g_greeting>:\t\"hello from the debuggee\"")) << s.gdb;
    // The runtime has no frame pointer: the backtrace comes from its call-frame information.
    EXPECT_TRUE(std::regex_search(s.gdb, std::regex("#0 +0x[0-9a-f]+ in write \\(\\)\n(#.*\n)*"
                                                    "#[0-9]+ +0x[0-9a-f]+ in printf \\(\\)\n"
                                                    "#[0-9]+ +0x[0-9a-f]+ in main \\(")))
        << s.gdb;
    EXPECT_TRUE(has(s.gdb, "exited with code 03")) << s.gdb;
    EXPECT_EQ(s.host.out, "hello from the debuggee 1234\n");
    EXPECT_EQ(s.host.exit_code, 3);
    EXPECT_TRUE(has(s.host.err, "yulos: waiting for gdb on 127.0.0.1:")) << s.host.err;
}

// A step runs one instruction even in a loop already translated, from a breakpoint too; a run
// resumed at a breakpoint passes it; a step over int 0x80 serves the call once.
TEST_F(GdbTest, StepsOneInstructionAndResumesPastBreakpoints)
{
    const std::string where =
        "printf \"at +%u, eax %u\\n\", (unsigned)$pc - (unsigned)&hot_loop_body, $eax";
    Session s = debug(
        "loop",
        {"break *hot_loop_body", "continue", where, "stepi", where, "continue", where, "continue",
         where, "stepi", where, "delete", "break *kernel_call_site", "continue", "stepi",
         "printf \"after +%u, eax %u\\n\", (unsigned)$pc - (unsigned)&kernel_call_site, "
         "$eax",
         "continue"});
    EXPECT_EQ(lines_starting(s.gdb, "at +"),
              "at +0, eax 0\nat +3, eax 1\nat +0, eax 1\nat +0, eax 2\nat +3, eax 3\n")
        << s.gdb;
    EXPECT_EQ(lines_starting(s.gdb, "after +"), "after +2, eax 5\n") << s.gdb;
    EXPECT_TRUE(has(s.gdb, "exited normally")) << s.gdb;
    EXPECT_EQ(s.host.out, "counted 100000\nonce\n");
    EXPECT_EQ(s.host.exit_code, 0);
}

TEST_F(GdbTest, BreaksInCodeThatRanAlreadyWithBacktraceAndFinish)
{
    Session s = debug("nested", {"break checkpoint", "continue", "break leaf", "continue", "bt",
                                 "finish", "continue"});
    EXPECT_TRUE(has(s.gdb, "Breakpoint 2, leaf (n=43)")) << s.gdb;
    EXPECT_TRUE(std::regex_search(s.gdb, std::regex("#1 +0x[0-9a-f]+ in middle \\(n=42\\)")))
        << s.gdb;
    EXPECT_TRUE(std::regex_search(s.gdb, std::regex("#2 +0x[0-9a-f]+ in main \\("))) << s.gdb;
    EXPECT_TRUE(has(s.gdb, "Value returned is $1 = 86")) << s.gdb;
    EXPECT_EQ(s.host.out, "5 87\n");
    EXPECT_EQ(s.host.exit_code, 0);
}

// The fault stops the guest at the faulting line; killing it ends the host quietly, passing
// the signal on ends it with the fault's line and status.
TEST_F(GdbTest, NullDereferenceIsSigsegvAtItsLine)
{
    std::string line = "debuggee.cpp:" + std::to_string(source_line("the NULL dereference"));
    Session killed_there = debug("crash", {"continue", "kill"});
    EXPECT_TRUE(has(killed_there.gdb, "Program received signal SIGSEGV")) << killed_there.gdb;
    EXPECT_TRUE(has(killed_there.gdb, "crash () at ") && has(killed_there.gdb, line))
        << line << "\n"
        << killed_there.gdb;
    EXPECT_TRUE(has(killed_there.gdb, "killed]")) << killed_there.gdb;
    EXPECT_EQ(killed_there.host.exit_code, killed);

    Session passed_on = debug("crash", {"continue", "continue"});
    EXPECT_TRUE(has(passed_on.gdb, "Program terminated with signal SIGSEGV")) << passed_on.gdb;
    EXPECT_TRUE(has(passed_on.host.err, "read from unmapped memory at 0x00000000"))
        << passed_on.host.err;
    EXPECT_EQ(passed_on.host.exit_code, 139);
}

TEST_F(GdbTest, InterruptStopsAnEndlessLoop)
{
    Session s = debug("forever", {"continue", "print g_spins > 0", "kill"}, [&](pid_t gdb) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        EXPECT_TRUE(wait_for_text(files / "1" / "out", "looping\n", deadline));
        kill(gdb, SIGINT);
    });
    EXPECT_TRUE(has(s.gdb, "Program received signal SIGINT")) << s.gdb;
    EXPECT_TRUE(has(s.gdb, "= true")) << s.gdb;
    EXPECT_EQ(s.host.exit_code, killed);
}

TEST_F(GdbTest, SpawnedChildRunsFreeWhileTheParentIsDebugged)
{
    Session s = debug("spawn", {"continue"});
    EXPECT_EQ(s.host.out, "from the child\nchild status 0\n");
    EXPECT_TRUE(has(s.gdb, "exited normally")) << s.gdb;
    EXPECT_EQ(s.host.exit_code, 0);
}
