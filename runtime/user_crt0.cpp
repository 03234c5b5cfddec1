// Process entry. The loader leaves the argument count at the stack pointer and the argument
// pointers right after it. Nothing else is prepared before main: no constructors, no stream or
// heap set-up.
#include <unistd.h>

extern "C" int main(int argc, char** argv);

// Placed in its own section so that the link layout puts it at the first byte of the code.
// The stack is aligned so that main's argument words begin on a 16-byte boundary.
extern "C" __attribute__((naked, section(".text.start"), used)) void _start()
{
    __asm__ volatile("movl (%esp), %eax\n\t"
                     "leal 4(%esp), %ecx\n\t"
                     "andl $-16, %esp\n\t"
                     "subl $8, %esp\n\t"
                     "pushl %ecx\n\t"
                     "pushl %eax\n\t"
                     "call main\n\t"
                     "pushl %eax\n\t"
                     "call _exit\n"
                     ".hang:\n\t"
                     "jmp .hang");
}
