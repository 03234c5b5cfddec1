/* A CPU-bound loop over the runtime library: formats a record with snprintf, reads it back
 * with sscanf, converts a decimal text with strtod, compares with strcmp, shifts the buffer
 * with memmove and keeps some records on the heap. Prints a checksum, so both engines can be
 * seen to compute the same thing. The iteration count is the first argument. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* const names[8] = {"alpha", "bravo",   "charlie", "delta",
                                     "echo",  "foxtrot", "golf",    "hotel"};

/* The heap is a 1 MiB arena that never takes memory back: keep at most this many records. */
enum { max_kept = 4096, kept_every = 16 };

int main(int argc, char** argv)
{
    unsigned long iterations = argc > 1 ? strtoul(argv[1], NULL, 10) : 100000;
    unsigned int checksum = 0;
    unsigned int kept = 0;
    char record[96];
    char number[32];
    char word[32];
    double total = 0;
    for (unsigned long i = 0; i < iterations; ++i) {
        const char* name = names[i & 7];
        int length = snprintf(record, sizeof record, "%d %s %x %u", (int)(i * 7u) - 5000, name,
                              (unsigned int)(i * 2654435761u), (unsigned int)(i ^ 0x5a5au));
        int d = 0;
        unsigned int x = 0, u = 0;
        if (sscanf(record, "%d %s %x %u", &d, word, &x, &u) != 4) return 2;
        checksum = checksum * 31u + (unsigned int)d + x + u;
        if (strcmp(word, name) != 0) return 3;
        snprintf(number, sizeof number, "%u.%03ue%d", (unsigned int)(i % 1000u),
                 (unsigned int)(i % 997u), (int)(i % 7u) - 3);
        char* end = NULL;
        total += strtod(number, &end);
        if (*end != 0) return 4;
        memmove(record + 1, record, (size_t)length + 1);
        checksum += (unsigned char)record[length >> 1];
        if (i % kept_every == 0 && kept < max_kept) {
            char* copy = malloc((size_t)length + 2);
            if (!copy) return 5;
            memmove(copy, record, (size_t)length + 2);
            checksum ^= (unsigned int)strlen(copy);
            ++kept;
        }
    }
    printf("%u %d\n", checksum, (int)(total / 1000));
    return 0;
}
