// echo: prints its arguments separated by single spaces, and a newline.
#include <stdio.h>

extern "C" int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (i > 1) putchar(' ');
        fputs(argv[i], stdout);
    }
    putchar('\n');
    return 0;
}
