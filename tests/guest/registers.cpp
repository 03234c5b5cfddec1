// A kernel call must leave every register but eax as it was, the SSE registers included. As a
// program: the floating-point units start as an operating system leaves them, so a double
// computed after a conversion to an integer (which reloads the x87 control word) is computed
// at full precision like the one before it; main returns 0 when both agree.
extern "C" {
volatile double g_one = 1.0, g_three = 3.0, g_scale = 1e16;
}

extern "C" int main(int, char**)
{
    long long first = static_cast<long long>(g_one / g_three * g_scale);
    long long second = static_cast<long long>(g_one / g_three * g_scale);
    return first == second && first == 3333333333333333ll ? 0 : 1;
}

// Loads known values, issues close(-1) through int 0x80, and returns a bit for every register
// whose value changed (0 when all survived).
extern "C" __attribute__((naked)) int registers_survive_kernel_call(void)
{
    __asm__ volatile("pushl %ebx\n\t"
                     "pushl %esi\n\t"
                     "pushl %edi\n\t"
                     "pushl %ebp\n\t"
                     "movl $0x5a5a5a5a, %eax\n\t"
                     "movd %eax, %xmm0\n\t"
                     "pshufd $0, %xmm0, %xmm0\n\t"
                     "movl $0xffffffff, %ebx\n\t"
                     "movl $0x22222222, %ecx\n\t"
                     "movl $0x33333333, %edx\n\t"
                     "movl $0x44444444, %esi\n\t"
                     "movl $0x55555555, %edi\n\t"
                     "movl $0x66666666, %ebp\n\t"
                     "movl $5, %eax\n\t"
                     "int $0x80\n\t"
                     "xorl %eax, %eax\n\t"
                     "cmpl $0xffffffff, %ebx\n\t"
                     "je 1f\n\t"
                     "orl $1, %eax\n"
                     "1:\n\t"
                     "cmpl $0x22222222, %ecx\n\t"
                     "je 2f\n\t"
                     "orl $2, %eax\n"
                     "2:\n\t"
                     "cmpl $0x33333333, %edx\n\t"
                     "je 3f\n\t"
                     "orl $4, %eax\n"
                     "3:\n\t"
                     "cmpl $0x44444444, %esi\n\t"
                     "je 4f\n\t"
                     "orl $8, %eax\n"
                     "4:\n\t"
                     "cmpl $0x55555555, %edi\n\t"
                     "je 5f\n\t"
                     "orl $16, %eax\n"
                     "5:\n\t"
                     "cmpl $0x66666666, %ebp\n\t"
                     "je 6f\n\t"
                     "orl $32, %eax\n"
                     "6:\n\t"
                     "pshufd $0x39, %xmm0, %xmm1\n\t"
                     "movd %xmm1, %ecx\n\t"
                     "cmpl $0x5a5a5a5a, %ecx\n\t"
                     "je 7f\n\t"
                     "orl $64, %eax\n"
                     "7:\n\t"
                     "popl %ebp\n\t"
                     "popl %edi\n\t"
                     "popl %esi\n\t"
                     "popl %ebx\n\t"
                     "ret");
}
