// A program for the debugger tests, built with debug information like `./yulos cc -g`.
// `debuggee loop|nested|crash|forever|spawn`; with any other argument it prints its greeting
// and answer and ends with status 3. Labels mark the instructions the tests stop at.
#include <stdio.h>
#include <unistd.h>

extern "C" {

char g_greeting[] = "hello from the debuggee";
int g_answer = 42;
volatile unsigned g_spins;

int leaf(int n) { return n * 2; }

int middle(int n) { return leaf(n + 1) + 1; }

void checkpoint() {}

// Counts to `rounds` in eax, in a loop whose body is one 3-byte instruction at hot_loop_body.
int hot_loop(int rounds)
{
    int count = 0;
    __asm__ volatile("1:\n"
                     ".globl hot_loop_body\nhot_loop_body:\n\t"
                     "addl $1, %0\n"
                     "cmpl %1, %0\n\t"
                     "jl 1b"
                     : "+a"(count)
                     : "r"(rounds));
    return count;
}

// write(1, "once\n", 5) issued at kernel_call_site.
void write_once()
{
    static const char text[] = "once\n";
    int result;
    __asm__ volatile(".globl kernel_call_site\nkernel_call_site:\n\t"
                     "int $0x80"
                     : "=a"(result)
                     : "a"(SYS_WRITE), "b"(1), "c"(text), "d"(5)
                     : "memory");
}

int crash()
{
    volatile int* nowhere = nullptr;
    return *nowhere; // the NULL dereference
}

void forever()
{
    write(1, "looping\n", 8);
    for (;;) g_spins = g_spins + 1;
}

int spawn_echo()
{
    char* argv[] = {(char*)"echo", (char*)"from", (char*)"the", (char*)"child", nullptr};
    int pid = spawn("/binaries/echo", argv, 4);
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    printf("child status %d\n", status);
    return 0;
}

bool same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (same(mode, "loop")) {
        printf("counted %d\n", hot_loop(100000));
        write_once();
        return 0;
    }
    if (same(mode, "nested")) {
        int first = middle(1);
        checkpoint();
        printf("%d %d\n", first, middle(g_answer));
        return 0;
    }
    if (same(mode, "crash")) return crash();
    if (same(mode, "forever")) forever();
    if (same(mode, "spawn")) return spawn_echo();
    printf("%s %d\n", g_greeting, g_answer);
    return 3;
}

} // extern "C"
