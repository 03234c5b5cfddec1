// The host under a guest that makes random kernel calls with hostile arguments: the guest side
// of the kernel-call fuzzer (fuzz/guest/kernel_calls.cpp), for a few fixed seeds. `./yulos fuzz
// calls` runs the same program for as long as one likes, on a host built with the sanitizers.
#include "host_test_support.h"

#include <gtest/gtest.h>

using namespace yulos_test;

namespace {

// A root holding the program, an image it starts, a few files and links that point out of the
// root, and a directory beside the root that must not change.
struct HostileScratch {
    TempDir top;
    fs::path root = top / "root", outside = top / "outside";

    HostileScratch()
    {
        fs::create_directories(root / "d/e");
        install(top, guest_image("fuzz_kernel_calls"), "root/bin/kernel_calls");
        install(top, sysroot_binary("echo"), "root/bin/echo");
        write_file(root / "a", "alpha\n");
        write_file(root / "d/b", "bravo\n");
        write_file(outside / "secret", "secret\n");
        fs::create_symlink(outside, root / "esc_abs");
        fs::create_symlink("../outside", root / "esc_rel");
        fs::create_symlink("../../..", root / "esc_up");
        fs::create_symlink(outside / "secret", root / "esc_file");
        fs::create_symlink(outside / "nothing", root / "dangling");
        fs::create_symlink("../..", root / "d/up");
    }

    bool outside_untouched() const
    {
        return entries(top.path()) == std::vector<std::string>{"outside", "root"} &&
               entries(outside) == std::vector<std::string>{"secret"} &&
               read_file(outside / "secret") == "secret\n";
    }
};

} // namespace

TEST(HostileCalls, FixedSeedsEndWithTheGuestsStatusAndStayInsideTheRoot)
{
    for (std::string seed : {"1", "2", "3", "4"}) {
        SCOPED_TRACE("seed " + seed);
        HostileScratch scratch;
        HostRun run = run_host(
            {"run", "--root", scratch.root.string(), "/bin/kernel_calls", seed, "400", "0"});
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_TRUE(scratch.outside_untouched());
    }
}
