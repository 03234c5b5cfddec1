// End to end: programs run through the host binary, their output and exit status; programs
// that cannot be started are refused with a clear message and status 125, and nothing runs.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <yulos_elf.h>

using namespace yulos_test;

namespace {

constexpr int not_started = 125, usage = 2;

struct CliTest : ::testing::Test {
    TempDir root;

    CliTest()
    {
        install_image(root, "test_hello", "bin/hello");
        install_image(root, "test_faults", "bin/faults");
        fs::create_directories(root / "binaries");
        fs::copy_file(std::string(YULOS_SYSROOT) + "/binaries/echo", root / "binaries" / "echo");
    }
    HostRun run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"run", "--root", root.str()});
        return run_host(args);
    }
};

} // namespace

TEST_F(CliTest, RunsAProgramWithItsOutputAndStatus)
{
    HostRun hello = run({"/bin/hello"});
    EXPECT_EQ(hello.out, "hello\n");
    EXPECT_EQ(hello.err, "");
    EXPECT_EQ(hello.exit_code, 7);

    HostRun echo = run({"/binaries/echo", "one", "two  three", ""});
    EXPECT_EQ(echo.out, "one two  three \n");
    EXPECT_EQ(echo.exit_code, 0);
}

TEST_F(CliTest, BareNameMeansTheProgramInBinaries)
{
    HostRun echo = run({"echo", "from", "binaries"});
    EXPECT_EQ(echo.out, "from binaries\n");
    EXPECT_EQ(echo.exit_code, 0);

    HostRun relative = run({"bin/hello"}); // with a slash: a path from the root
    EXPECT_EQ(relative.out, "hello\n");
    HostRun missing = run({"hello"}); // /binaries/hello does not exist
    EXPECT_EQ(missing.exit_code, not_started);
    EXPECT_NE(missing.err.find("/binaries/hello"), std::string::npos) << missing.err;
}

TEST_F(CliTest, RefusesWhatCannotBeStartedWithStatus125)
{
    HostRun missing = run({"nosuch", "arg"});
    EXPECT_EQ(missing.exit_code, not_started);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "yulos: /binaries/nosuch: No such file or directory\n");

    write_file(root / "binaries" / "script",
               "#!/bin/sh\n# a shell script is no yulos executable\necho ran\nexit 0\n");
    HostRun script = run({"script"});
    EXPECT_EQ(script.exit_code, not_started);
    EXPECT_EQ(script.out, "");
    EXPECT_EQ(script.err, "yulos: /binaries/script: not a yulos executable: no ELF magic\n");

    // A real image cut short: its segments lie beyond the end of the file.
    std::string hello = read_file(guest_image("test_hello"));
    write_file(root / "binaries" / "cut", hello.substr(0, 200));
    HostRun cut = run({"cut"});
    EXPECT_EQ(cut.exit_code, not_started);
    EXPECT_EQ(cut.out, "");
    EXPECT_NE(cut.err.find("yulos: /binaries/cut: not a yulos executable: "), std::string::npos)
        << cut.err;

    fs::create_directory(root / "binaries" / "dir");
    HostRun directory = run({"dir"});
    EXPECT_EQ(directory.exit_code, not_started);
    EXPECT_NE(directory.err.find("yulos: /binaries/dir: "), std::string::npos);

    // Opening a FIFO for reading would wait for a writer that never comes.
    ASSERT_EQ(mkfifo((root / "binaries" / "fifo").c_str(), 0644), 0);
    HostRun fifo = run_host({"run", "--root", root.str(), "fifo"}, std::chrono::seconds(10));
    EXPECT_EQ(fifo.exit_code, not_started);
    EXPECT_NE(fifo.err.find("yulos: /binaries/fifo: "), std::string::npos) << fifo.err;
}

// Every refused command line says first what was wrong, then shows the usage, and runs nothing.
TEST_F(CliTest, RefusesABadCommandLine)
{
    struct Case {
        std::vector<std::string> args;
        const char* problem;
    };
    const std::string r = root.str();
    for (const Case& c : {
             Case{{}, "no command given"},
             Case{{"walk"}, "unknown command walk"},
             Case{{"run", "/bin/hello"}, "no guest root given (--root DIR)"},
             Case{{"run", "--root", r}, "no program given"},
             Case{{"run", "--root"}, "--root needs a value"},
             Case{{"run", "--root", r, "--bogus", "/bin/hello"}, "unknown option --bogus"},
             Case{{"run", "--root", r, "--fail", "x", "/bin/hello"},
                  "--fail: the call \"x\" is not a decimal number"},
             Case{{"run", "--root", r, "--fail", "1=99999999999", "/bin/hello"},
                  "--fail: the result 99999999999 is not between -2147483648 and 2147483647"},
             Case{{"run", "--root", r, "--fail", "4294967296", "/bin/hello"},
                  "--fail: the call 4294967296 is not between 0 and 4294967295"},
             Case{{"run", "--root", r, "--fail", "0x95", "/bin/hello"},
                  "--fail: the call \"0x95\" is not a decimal number"},
             Case{{"run", "--root", r, "--fail", " 1", "/bin/hello"},
                  "--fail: the call \" 1\" is not a decimal number"},
             Case{{"run", "--root", r, "--fail", "12abc", "/bin/hello"},
                  "--fail: the call \"12abc\" is not a decimal number"},
             Case{{"run", "--root", r, "--fail", "5=-", "/bin/hello"},
                  "--fail: the result \"-\" is not a decimal number"},
             Case{{"run", "--root", r, "--max-processes", "0", "/bin/hello"},
                  "--max-processes 0 is not between 1 and 4096"},
             Case{{"run", "--root", r, "--max-memory", "-1", "/bin/hello"},
                  "--max-memory \"-1\" is not a decimal number"},
             Case{{"meta"}, "meta takes one file"},
         }) {
        HostRun run = run_host(c.args);
        EXPECT_EQ(run.exit_code, usage) << c.problem;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("yulos-host: " + std::string(c.problem) + "\nusage: "))
            << run.err;
    }
    HostRun no_root = run_host({"run", "--root", (root / "missing").string(), "/bin/hello"});
    EXPECT_EQ(no_root.exit_code, not_started);
    EXPECT_NE(no_root.err.find("missing: cannot open the guest root"), std::string::npos);
    EXPECT_EQ(no_root.out, "");
}

// Each fault ends the guest with one clear line and its status; the host itself exits normally.
TEST_F(CliTest, GuestFaultEndsTheGuestWithALineAndItsStatus)
{
    struct Case {
        const char* what;
        int status;
        const char* line_start;
    };
    for (const Case& c : {
             Case{"segv", 139, "yulos: /bin/faults: read from unmapped memory at 0x00000010, "},
             Case{"rodata", 139, "yulos: /bin/faults: write to read-only memory at 0x"},
             Case{"exec", 139, "yulos: /bin/faults: instruction fetch from non-executable "},
             Case{"stack", 139, "yulos: /bin/faults: stack overflow: "},
             Case{"div", 136, "yulos: /bin/faults: divide error at instruction 0x"},
             Case{"ud2", 132, "yulos: /bin/faults: invalid instruction at 0x"},
         }) {
        HostRun r = run({"/bin/faults", c.what});
        EXPECT_EQ(r.signal, 0) << c.what;
        EXPECT_EQ(r.exit_code, c.status) << c.what;
        EXPECT_EQ(r.out, "before\n");
        EXPECT_TRUE(r.err.starts_with(c.line_start)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// The fault line names the function of the faulting instruction when the image has symbols;
// without a section table it stays as it was.
TEST_F(CliTest, FaultLineNamesTheFunctionWhenTheImageHasIt)
{
    HostRun named = run({"/bin/faults", "segv"});
    EXPECT_TRUE(named.err.starts_with("yulos: /bin/faults: read from unmapped memory at "
                                      "0x00000010, instruction at 0x"))
        << named.err;
    EXPECT_TRUE(named.err.find(" (read_unmapped+0x") != std::string::npos) << named.err;
    EXPECT_TRUE(named.err.ends_with(")\n")) << named.err;

    std::vector<uint8_t> image = read_bytes(guest_image("test_faults"));
    yulos_elf_header header;
    std::memcpy(&header, image.data(), sizeof header);
    std::vector<uint8_t> stripped = image;
    header.section_headers = 0;
    header.section_header_count = 0;
    std::memcpy(stripped.data(), &header, sizeof header);
    write_bytes(root / "bin/stripped", stripped);
    HostRun plain = run({"/bin/stripped", "segv"});
    EXPECT_EQ(plain.exit_code, 139);
    EXPECT_EQ(plain.err.find('('), std::string::npos) << plain.err;
    EXPECT_TRUE(plain.err.starts_with("yulos: /bin/stripped: read from unmapped memory at "
                                      "0x00000010, instruction at 0x"))
        << plain.err;
}

// A trace file that cannot be opened or written is refused before anything runs.
TEST_F(CliTest, RefusesATraceThatCannotBeWritten)
{
    for (auto [file, problem] :
         {std::pair{std::string("/dev/full"), "cannot be written: No space left on device"},
          std::pair{(root / "no" / "trace").string(), "No such file or directory"}}) {
        HostRun run = run_host({"run", "--root", root.str(), "--trace=" + file, "/bin/hello"});
        EXPECT_EQ(run.exit_code, usage);
        EXPECT_EQ(run.out, ""); // hello did not run
        EXPECT_EQ(run.err, "yulos-host: --trace: " + file + ": " + problem + "\n");
    }
}
