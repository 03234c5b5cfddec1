// Ends through the runtime library: "exit N" after leaving a write stream to /left-open unclosed,
// or "abort".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "exit") == 0) {
        FILE* left_open = fopen("/left-open", "w");
        fputs("never written", left_open);
        exit(atoi(argv[2]));
    }
    if (argc >= 2 && strcmp(argv[1], "abort") == 0) abort();
    return 99;
}
