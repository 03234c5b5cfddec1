// Guest functions that misbehave on purpose, for the loader and machine tests: writes to
// read-only data, instruction fetches from data, runaway recursion, division by zero and an
// invalid instruction. Also a raw kernel call, loads and stores at any address and a
// zero-filled area to inspect.
// As a program, `faults WHAT` does one of them (for the end-to-end tests).
#include <unistd.h>

extern "C" {

// Read-only data, initialised data and a large zero-filled area, one in each kind of segment.
extern const unsigned int g_fault_read_only = 0x5eadb0a7;
unsigned int g_fault_data = 0x1234abcd;
unsigned char g_fault_zeros[200000];
// One `ret` instruction, placed in writable data: calling it must fault, not return.
unsigned char g_fault_data_code[4] = {0xc3, 0xc3, 0xc3, 0xc3};

int kernel_call(int number, unsigned int a, unsigned int b, unsigned int c)
{
    return yulos_kernel_call(number, a, b, c);
}

// The store is written in assembly so that the compiler cannot drop it.
int write_read_only(void)
{
    __asm__ volatile("movl $1, g_fault_read_only" ::: "memory");
    return 0;
}

int write_code(void)
{
    __asm__ volatile("movl $1, kernel_call" ::: "memory");
    return 0;
}

int execute_data(void)
{
    void (*code)(void) = reinterpret_cast<void (*)(void)>(g_fault_data_code);
    __asm__ volatile("" : "+r"(code));
    code();
    return 0;
}

// Kept out of line, so that a fault line can name it.
__attribute__((noinline)) int read_unmapped(void)
{
    unsigned int value;
    __asm__ volatile("movl 0x10, %0" : "=r"(value)::"memory");
    return int(value);
}

// Each frame keeps a buffer alive across the call, so the recursion cannot become a loop.
int recurse(int depth)
{
    volatile unsigned char frame[512];
    if (depth < 0) return 0; // never: the stack runs out long before
    frame[depth & 511] = static_cast<unsigned char>(depth);
    return recurse(depth + 1) + frame[depth & 511];
}

int divide(int a, int b) { return a / b; }

int invalid_instruction(void)
{
    __asm__ volatile("ud2");
    return 0;
}

// A load and a store of one word at any address; the access is the second instruction of the
// load (at +4) and the third of the store (at +8).
__attribute__((naked)) unsigned int load_word(unsigned int)
{
    __asm__("movl 4(%esp), %ecx\n\tmovl (%ecx), %eax\n\tret");
}

// The same load, with its value overwritten at once.
__attribute__((naked)) unsigned int discard_word(unsigned int)
{
    __asm__("movl 4(%esp), %ecx\n\tmovl (%ecx), %eax\n\txorl %eax, %eax\n\tret");
}

__attribute__((naked)) void store_word(unsigned int, unsigned int)
{
    __asm__("movl 4(%esp), %ecx\n\tmovl 8(%esp), %eax\n\tmovl %eax, (%ecx)\n\tret");
}

// The number of non-zero bytes in the zero-filled area.
unsigned int count_nonzero(void)
{
    unsigned int count = 0;
    for (unsigned int i = 0; i < sizeof g_fault_zeros; ++i)
        if (reinterpret_cast<volatile unsigned char*>(g_fault_zeros)[i]) ++count;
    return count;
}

int main(int argc, char** argv);

} // extern "C"

namespace {

bool same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

} // namespace

extern "C" int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    const char* what = argv[1];
    write(1, "before\n", 7);
    if (same(what, "segv")) return read_unmapped();
    if (same(what, "rodata")) return write_read_only();
    if (same(what, "exec")) return execute_data();
    if (same(what, "stack")) return recurse(argc);
    if (same(what, "div")) return divide(argc, argc - 2);
    if (same(what, "ud2")) return invalid_instruction();
    return 2;
}
