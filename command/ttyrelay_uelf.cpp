// ttyrelay: starts a program on a pseudo-terminal and relays everything it writes to standard
// output, then ends with the program's status word.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The command record, read by tools that look into the executable, never by the program.
extern "C" __attribute__((section(YULOS_CMDMETA_SECTION), used, aligned(32)))
const yulos_command_record g_cmdmeta_0 = {
    {'Y', 'C', 'M', 'D'},
    YULOS_META_VERSION,
    "Spawn a child process on a PTY slave and relay its output.\0"
    "ttyrelay /binaries/help\0",
};

namespace {

constexpr int relay_buffer_size = 256;
constexpr unsigned int relay_pause_usec = 10000;
constexpr int quiet_reads_to_finish = 4;

const char usage_text[] = "Usage: ttyrelay <path> [args...]\n"
                          "Example: ttyrelay /binaries/echo hello\n"
                          "Note: path should be an executable path visible to spawn().";

// Writes all n bytes, going on after a short write; stops at the first call that writes
// nothing or fails, as nothing more can be done for those bytes.
void write_all(const char* bytes, int n)
{
    while (n > 0) {
        int written = write(1, bytes, n);
        if (written <= 0) return;
        bytes += written;
        n -= written;
    }
}

} // namespace

extern "C" int main(int argc, char** argv)
{
    if (argc <= 1) {
        puts(usage_text);
        return 1;
    }
    if (argv[1] && strcmp(argv[1], "-h") == 0) {
        puts(usage_text);
        return 0;
    }

    pty_pair pair = {-1, -1};
    if (yulos_kernel_call(SYS_PTY_PAIR, reinterpret_cast<unsigned int>(&pair), 0, 0) != 0) {
        puts("ttyrelay: failed to allocate PTY pair");
        return 1;
    }
    if (fd_set_nonblock(pair.master_fd, 1) != 0)
        puts("ttyrelay: warning: could not set master PTY nonblocking");

    spawn_ex_args spawn = {argv[1],       &argv[1],      argc - 1, pair.slave_fd,
                           pair.slave_fd, pair.slave_fd, 1};
    int child = yulos_kernel_call(SYS_SPAWN_EX, reinterpret_cast<unsigned int>(&spawn), 0, 0);
    if (child <= 0) {
        puts("ttyrelay: spawn_ex failed");
        close(pair.master_fd);
        close(pair.slave_fd);
        return 1;
    }
    close(pair.slave_fd);

    // Relay until the child has ended and the master has stayed quiet for four reads in a row.
    char buffer[relay_buffer_size];
    int status = 0;
    bool exited = false;
    int idle = 0;
    for (;;) {
        int n = read(pair.master_fd, buffer, sizeof buffer);
        if (n > 0) {
            write_all(buffer, n);
            idle = 0;
            if (!exited && waitpid(child, &status, 1) == child) exited = true;
        } else {
            bool quiet_after_end = exited;
            if (!exited && waitpid(child, &status, 1) == child) {
                exited = true;
                quiet_after_end = true;
            }
            if (quiet_after_end && ++idle == quiet_reads_to_finish) break;
        }
        usleep(relay_pause_usec);
    }
    close(pair.master_fd);

    if (status != 0) printf("\nttyrelay: child exited with status %d\n", status);
    return status;
}
