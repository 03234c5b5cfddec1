// The pseudo-random generator with its one-time self-seeding from the time-stamp counter, and
// the process-end and hosted-environment entry points that this system reduces to constants.
#include <stdlib.h>
#include <unistd.h>

extern "C" {

// 1 at start is never used: the flag starts clear, and both ways of setting it set the state.
unsigned int g_rand_state = 1;
unsigned int g_rand_seeded = 0;

void srand(unsigned int seed)
{
    g_rand_seeded = 1;
    g_rand_state = seed != 0 ? seed : 1u;
}

int rand(void)
{
    if (!g_rand_seeded) {
        // Once per process: the time-stamp counter, the address of a local of this frame and
        // the address of the heap counter (its value is not read), then a full-avalanche mix.
        unsigned int lo, hi;
        __asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
        volatile unsigned int local = 0;
        unsigned int x = reinterpret_cast<unsigned int>(&local) ^
                         reinterpret_cast<unsigned int>(&g_heap_used) ^ (hi * 1664525u) ^ lo ^
                         0x9e3779b9u;
        x ^= x >> 16;
        x *= 0x7feb352du;
        x ^= x >> 15;
        x *= 0x846ca68bu;
        x ^= x >> 16;
        if (x == 0) x = 1;
        g_rand_seeded = 1;
        g_rand_state = x;
    }
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return static_cast<int>((g_rand_state >> 16) & 0x7fffu);
}

void exit(int status) { _exit(status); }

void abort(void) { _exit(1); }

int atexit(void (*)(void)) { return 0; }

char* getenv(const char*) { return nullptr; }

} // extern "C"
