/* blast COUNT [CHUNK]: writes COUNT bytes to standard output, CHUNK bytes per write call
 * (all COUNT at once when CHUNK is absent), then exits. The bytes come from one buffer of
 * CHUNK bytes, so the program's memory depends on CHUNK only. The busy child of the relay
 * benchmarks. */
#include <stdlib.h>
#include <unistd.h>

static char bytes[1 << 20];

int main(int argc, char** argv)
{
    unsigned long count = argc > 1 ? strtoul(argv[1], NULL, 10) : 0;
    unsigned long chunk = argc > 2 ? strtoul(argv[2], NULL, 10) : count;
    if (chunk > sizeof bytes || (chunk == 0 && count > 0)) return 1;
    for (unsigned long i = 0; i < chunk; ++i) bytes[i] = (char)('a' + i % 26);
    while (count > 0) {
        unsigned long n = count < chunk ? count : chunk;
        if (write(1, bytes, n) != (int)n) return 2;
        count -= n;
    }
    return 0;
}
