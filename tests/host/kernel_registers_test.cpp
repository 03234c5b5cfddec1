// The real kernel changes only eax: a guest that issues a call finds every other register, the
// SSE registers included, as it left them.
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
