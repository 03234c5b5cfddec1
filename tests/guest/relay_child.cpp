// A child for the relay's end-to-end tests; argv[1] chooses what it does:
//   args          prints "argc=N" and one "argv[i]=TEXT" line per argument
//   stdio         writes "fd1\n" to 1, "fd2\n" to 2 and "fd0\n" to 0, in that order
//   bulk N        writes N bytes of relay_pattern(0..N-1) at once, then ends with status 0
//   status N      writes "bye\n" and ends with status N (decimal, may be negative)
//   pauses        writes "before\n", sleeps five times 40 ms, then writes "after\n"
#include <string.h>
#include <unistd.h>

namespace {

// The byte at position k of the bulk output; the test computes the same.
char relay_pattern(unsigned int k)
{
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    return k % 64 == 63 ? '\n' : digits[k % 36];
}

void write_all(int fd, const char* bytes, unsigned int n)
{
    while (n > 0) {
        int written = write(fd, bytes, n);
        if (written <= 0) return;
        bytes += written;
        n -= (unsigned int)written;
    }
}

void say(const char* text) { write_all(1, text, (unsigned int)strlen(text)); }

void say_number(int value)
{
    char digits[16];
    int at = sizeof digits;
    unsigned int magnitude = value < 0 ? 0u - (unsigned int)value : (unsigned int)value;
    do digits[--at] = char('0' + magnitude % 10);
    while ((magnitude /= 10) != 0);
    if (value < 0) digits[--at] = '-';
    write_all(1, digits + at, (unsigned int)(sizeof digits - at));
}

int parse_number(const char* text)
{
    bool negative = *text == '-';
    if (negative) ++text;
    unsigned int value = 0;
    while (*text >= '0' && *text <= '9') value = value * 10 + unsigned(*text++ - '0');
    return negative ? int(0u - value) : int(value);
}

} // namespace

extern "C" int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "args") == 0) {
        say("argc=");
        say_number(argc);
        say("\n");
        for (int i = 0; i < argc; ++i) {
            say("argv[");
            say_number(i);
            say("]=");
            say(argv[i]);
            say("\n");
        }
        return 0;
    }
    if (strcmp(mode, "stdio") == 0) {
        write_all(1, "fd1\n", 4);
        write_all(2, "fd2\n", 4);
        write_all(0, "fd0\n", 4);
        return 0;
    }
    if (strcmp(mode, "bulk") == 0 && argc > 2) {
        static char bytes[65536];
        unsigned int n = (unsigned int)parse_number(argv[2]);
        if (n > sizeof bytes) n = sizeof bytes;
        for (unsigned int k = 0; k < n; ++k) bytes[k] = relay_pattern(k);
        write_all(1, bytes, n);
        return 0;
    }
    if (strcmp(mode, "status") == 0 && argc > 2) {
        say("bye\n");
        return parse_number(argv[2]);
    }
    if (strcmp(mode, "pauses") == 0) {
        say("before\n");
        for (int i = 0; i < 5; ++i) usleep(40000);
        say("after\n");
        return 0;
    }
    say("relay_child: unknown mode\n");
    return 2;
}
