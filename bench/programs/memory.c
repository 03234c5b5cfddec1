/* A loop of guest loads and stores: each pass reads, adds to and writes back one word of a
 * 4 KiB table. Shows the engine's cost of a guest memory access. The iteration count is the
 * first argument. */
#include <stdio.h>
#include <stdlib.h>

static unsigned int table[1024];

int main(int argc, char** argv)
{
    unsigned long iterations = argc > 1 ? strtoul(argv[1], NULL, 10) : 100000000;
    volatile unsigned int* words = table;
    for (unsigned long i = 0; i < iterations; ++i) words[i & 1023] += (unsigned int)i;
    printf("%u\n", words[7]);
    return 0;
}
