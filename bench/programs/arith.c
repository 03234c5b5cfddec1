/* A raw arithmetic loop: registers only, no library calls inside the loop. Shows the engine's
 * cost of running translated code, block to block. The iteration count is the first argument. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    unsigned long iterations = argc > 1 ? strtoul(argv[1], NULL, 10) : 100000000;
    unsigned int a = 1, b = 2;
    for (unsigned long i = 0; i < iterations; ++i) {
        a = a * 1664525u + 1013904223u;
        b ^= a >> 7;
        b += (unsigned int)i;
    }
    printf("%u\n", a ^ b);
    return 0;
}
