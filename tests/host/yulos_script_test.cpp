// The `./yulos` entry point: it builds before acting when, and only when, something the build
// reads has changed, and `./yulos cc` refuses a bad command line before building anything. The
// script runs from a small copy of the source tree, with a `cmake` that records each build and a
// build tree of stand-ins (a host that prints its arguments), except for the real SDK, with which
// `./yulos cc` builds programs that the real host runs.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <functional>

using namespace yulos_test;

namespace {

constexpr int usage = 2;

void write_executable(const fs::path& path, std::string_view text)
{
    write_file(path, text);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

struct YulosScriptTest : ::testing::Test {
    TempDir dir;
    fs::path tree = dir / "tree", build = tree / "build", tools = dir / "tools";
    fs::path build_log = dir / "builds", failing = dir / "fail-builds";

    YulosScriptTest()
    {
        fs::create_directories(tree);
        fs::copy_file(fs::path(YULOS_SOURCE_DIR) / "yulos", tree / "yulos");
        for (std::string source : {"CMakeLists.txt", "cmake/guest.cmake", "link/yulos.ld",
                                   "runtime/string.cpp", "runtime/stdio/printf.cpp",
                                   "programs/echo.cpp", "host/kernel.cpp", "tests/guest/hello.cpp"})
            write_file(tree / source, "// " + source + "\n");
        write_file(tree / ".git/index", "index");
        write_file(tree / "build-other/build.ninja", "");

        write_file(build / "build.ninja", "");
        write_file(build / "CMakeCache.txt", "");
        write_executable(build / "host/yulos-host", "#!/bin/sh\necho \"host $*\"\n");
        write_file(build / "sysroot/binaries/echo", "");
        fs::copy(YULOS_SDK_DIR, build / "sdk", fs::copy_options::recursive);
        write_executable(tools / "cmake", "#!/bin/sh\necho \"$*\" >>" + build_log.string() +
                                              "\n[ ! -e " + failing.string() + " ]\n");
        make_sources_old();
    }

    // Dates every file and directory of the source tree an hour back, as if the last change
    // were long past: then only what changes after it is newer than the last build.
    void make_sources_old()
    {
        auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
        fs::last_write_time(tree, old);
        for (auto it = fs::recursive_directory_iterator(tree);
             it != fs::recursive_directory_iterator(); ++it) {
            if (it->path() == build) {
                it.disable_recursion_pending();
                continue;
            }
            fs::last_write_time(it->path(), old);
        }
    }

    // `./yulos ARGS` from the copy, finding the recording `cmake` first on the path, and with
    // none of the settings of the build that runs this test.
    HostRun yulos(std::vector<std::string> args)
    {
        args.insert(args.begin(), (tree / "yulos").string());
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string_view e = *entry;
            if (e.starts_with("PATH="))
                environment.push_back("PATH=" + tools.string() + ":" + std::string(e.substr(5)));
            else if (!e.starts_with("YULOS_"))
                environment.emplace_back(e);
        }
        return run_program(args, environment, std::chrono::seconds(60));
    }

    long builds() const
    {
        std::vector<std::string> lines = lines_of(read_file(build_log));
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("--build "); });
    }
};

} // namespace

TEST_F(YulosScriptTest, BuildsOnlyWhenSomethingTheBuildReadsChanged)
{
    HostRun first = yulos({"meta", "x"});
    EXPECT_EQ(first.out, "host meta x\n");
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(builds(), 1) << "no build has been recorded yet";
    yulos({"run", "echo"});
    EXPECT_EQ(builds(), 1);

    struct Change {
        const char* what;
        std::function<void()> make;
    };
    auto rewrite = [&](const char* file) { return [&, file] { write_file(tree / file, "x"); }; };
    for (const Change& change : {
             Change{"a runtime file", rewrite("runtime/string.cpp")},
             Change{"a program", rewrite("programs/echo.cpp")},
             Change{"a host file", rewrite("host/kernel.cpp")},
             Change{"a test program", rewrite("tests/guest/hello.cpp")},
             Change{"the top CMake file", rewrite("CMakeLists.txt")},
             Change{"a CMake file", rewrite("cmake/guest.cmake")},
             Change{"the link script", rewrite("link/yulos.ld")},
             Change{"a new file in a globbed directory", rewrite("runtime/stdio/scanf.cpp")},
             Change{"a file moved in, keeping its old time",
                    [&] {
                        write_file(dir / "strtod.cpp", "");
                        fs::last_write_time(dir / "strtod.cpp", fs::last_write_time(tree));
                        fs::rename(dir / "strtod.cpp", tree / "runtime/strtod.cpp");
                    }},
             Change{"a new directory", rewrite("abi/kernel.h")},
             Change{"a removed file", [&] { fs::remove(tree / "runtime/stdio/printf.cpp"); }},
             Change{"a file renamed, keeping its time",
                    [&] { fs::rename(tree / "programs/echo.cpp", tree / "programs/cat.cpp"); }},
             Change{"the host binary, by hand",
                    [&] { write_executable(build / "host/yulos-host", "#!/bin/sh\necho host\n"); }},
             Change{"a program removed from the root",
                    [&] { fs::remove(build / "sysroot/binaries/echo"); }},
             Change{"the build's configuration",
                    [&] { write_file(build / "CMakeCache.txt", "x"); }},
             Change{"the SDK", [&] { write_file(build / "sdk/flags", "x"); }},
         }) {
        long before = builds();
        change.make();
        yulos({"run", "echo"});
        EXPECT_EQ(builds(), before + 1) << change.what;
        make_sources_old();
        yulos({"run", "echo"});
        EXPECT_EQ(builds(), before + 1) << change.what << ", then nothing";
    }

    for (const Change& change : {
             Change{"a file of the build tree that no command uses",
                    [&] { write_file(build / "bench/results.json", "{}"); }},
             Change{"git's own files", [&] { write_file(tree / ".git/index", "changed"); }},
             Change{"another build tree", [&] { write_file(tree / "build-other/x", ""); }},
         }) {
        long before = builds();
        change.make();
        yulos({"run", "echo"});
        EXPECT_EQ(builds(), before) << change.what;
    }
}

TEST_F(YulosScriptTest, AFailedBuildIsTriedAgain)
{
    yulos({"run", "echo"});
    write_file(tree / "runtime/string.cpp", "does not compile");
    write_file(failing, "");
    HostRun failed = yulos({"run", "echo"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("yulos: build failed"), std::string::npos) << failed.err;
    EXPECT_EQ(builds(), 2);

    fs::remove(failing);
    make_sources_old();
    HostRun again = yulos({"run", "echo"});
    EXPECT_EQ(builds(), 3);
    EXPECT_EQ(again.out, "host run --root " + (build / "sysroot").string() + " echo\n");
}

TEST_F(YulosScriptTest, CcRefusesABadCommandLineBeforeBuilding)
{
    struct Case {
        std::vector<std::string> args;
        const char* problem;
    };
    for (const Case& c : {
             Case{{"cc", "-o"}, "-o needs a file name after it"},
             Case{{"cc", "prog.c", "-o"}, "-o needs a file name after it"},
             Case{{"cc", "prog.o"}, "no output file: give -o OUT"},
             Case{{"cc", "-O2", "prog.c"}, "no output file: give -o OUT"},
             Case{{"cc", "-o", "", "prog.c"}, "no output file: give -o OUT"},
             Case{{"cc", "-o", "prog"}, "no source or object file"},
             Case{{"cc", "-O2", "-o", "prog", "-Wall"}, "no source or object file"},
         }) {
        HostRun r = yulos(c.args);
        EXPECT_EQ(r.exit_code, usage) << c.problem;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("yulos cc: ") + c.problem +
                             "\nusage: ./yulos cc [FLAGS] -o OUT FILE.c|FILE.cpp ...\n");
    }
    EXPECT_EQ(builds(), 0);
}

TEST_F(YulosScriptTest, RefusesAMissingOrUnknownCommandBeforeTheUsage)
{
    for (auto [args, problem] : {std::pair{std::vector<std::string>{}, "no command given"},
                                 {std::vector<std::string>{"frob"}, "unknown command frob"}}) {
        HostRun r = yulos(args);
        EXPECT_EQ(r.exit_code, usage);
        EXPECT_TRUE(r.err.starts_with("yulos: " + std::string(problem) + "\nThe one entry point"))
            << r.err;
        EXPECT_NE(r.err.find("  ./yulos run "), std::string::npos) << r.err;
    }
    EXPECT_EQ(builds(), 0);
}

// The flags, the include directories and the builtins archive come from the SDK's flags file:
// a C program and a C++ one with an ordinary `int main` build and run.
TEST_F(YulosScriptTest, CcBuildsProgramsWithTheFlagsOfTheBuild)
{
    write_file(dir / "hello.c", "#include <stdio.h>\n"
                                "int main(int argc, char** argv)\n"
                                "{\n"
                                "    (void)argv;\n"
                                "    printf(\"hello from C, %d arguments\\n\", argc);\n"
                                "    return 3;\n"
                                "}\n");
    // 64-bit division is a call into the builtins archive.
    write_file(dir / "hello.cpp", "#include <stdio.h>\n"
                                  "int main()\n"
                                  "{\n"
                                  "    volatile long long n = 1000000000000LL;\n"
                                  "    printf(\"%d\\n\", int(n / 3 % 1000000));\n"
                                  "}\n");
    TempDir root;
    for (const char* source : {"hello.c", "hello.cpp"}) {
        HostRun cc = yulos({"cc", "-O2", "-o", (root / source).string(), (dir / source).string()});
        EXPECT_EQ(cc.exit_code, 0) << cc.err;
    }
    HostRun c = run_host({"run", "--root", root.str(), "/hello.c", "one"});
    EXPECT_EQ(c.out, "hello from C, 2 arguments\n");
    EXPECT_EQ(c.exit_code, 3);
    HostRun cpp = run_host({"run", "--root", root.str(), "/hello.cpp"});
    EXPECT_EQ(cpp.out, "333333\n");
    EXPECT_EQ(cpp.exit_code, 0);
}
