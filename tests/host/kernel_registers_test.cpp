// The real kernel changes only eax: a guest that issues a call finds every other register, the
// SSE registers included, as it left them. A process starts with its floating-point units set
// up as an operating system leaves them.
#include "guest_call.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

using namespace yulos;

TEST(KernelRegisters, OnlyEaxChangesAcrossACall)
{
    yulos_test::TempDir root;
    GuestCall g(yulos_test::guest_image("test_registers"), root.str());
    EXPECT_EQ(g.call_word("registers_survive_kernel_call", {}), 0u);
}

TEST(KernelRegisters, DoublesKeepTheirPrecisionAfterAConversionToInteger)
{
    yulos_test::TempDir root;
    yulos_test::install_image(root, "test_registers", "bin/registers");
    yulos_test::HostRun run = yulos_test::run_host({"run", "--root", root.str(), "/bin/registers"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
}
