// A small multi-purpose program for the process-model tests. `proc WHAT ARGS...` does one
// thing and reports what the kernel answered on descriptor 1, one "name value" line each.
// The tests install it at /bin/proc inside a temporary root, beside /bin/faults.
// Only the kernel-service wrappers are used, so the program depends on nothing else.
#include <fcntl.h>
#include <unistd.h>

namespace {

const char* const self = "/bin/proc";

bool same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

unsigned int length(const char* s)
{
    unsigned int n = 0;
    while (s[n]) ++n;
    return n;
}

// Decimal with an optional minus sign, or hexadecimal after "0x"; wraps in 32 bits.
int number(const char* s)
{
    bool negative = *s == '-';
    if (negative) ++s;
    unsigned int value = 0;
    if (s[0] == '0' && s[1] == 'x') {
        for (s += 2; *s; ++s) {
            unsigned int digit = *s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10;
            value = value * 16 + digit;
        }
    } else {
        for (; *s; ++s) value = value * 10 + unsigned(*s - '0');
    }
    return int(negative ? 0u - value : value);
}

void say(const char* text) { write(1, text, length(text)); }

// "name value\n" with the value in decimal.
void report(const char* name, int value)
{
    char digits[16];
    int at = 16;
    unsigned int magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do digits[--at] = char('0' + magnitude % 10);
    while ((magnitude /= 10) != 0);
    if (value < 0) digits[--at] = '-';
    say(name);
    say(" ");
    write(1, digits + at, unsigned(16 - at));
    say("\n");
}

// "name 0x%08x\n".
void report_hex(const char* name, int value)
{
    char text[11] = {'0', 'x'};
    for (int i = 0; i < 8; ++i)
        text[2 + i] = "0123456789abcdef"[(unsigned(value) >> (28 - 4 * i)) & 15];
    text[10] = '\n';
    say(name);
    say(" ");
    write(1, text, 11);
}

// Polls until the child has ended; the result of the last waitpid.
int wait_polling(int pid, int* status)
{
    int result = 0;
    for (int i = 0; i < 3000 && result == 0; ++i) {
        result = waitpid(pid, status, 1);
        if (result == 0) usleep(2000);
    }
    return result;
}

int spawn_and_wait(const char* path, char** argv, int argc)
{
    int pid = spawn_ex(path, argv, argc, 0, 1, 2, 0);
    report("spawned", pid > 0);
    int status = 0;
    int result = waitpid(pid, &status, 0);
    report("waited", result == pid);
    report_hex("status", status);
    return 0;
}

int poll_child(char** argv, int argc)
{
    int pid = spawn_ex(argv[0], argv, argc, 0, 1, 2, 0);
    int status = 0x7777;
    report("first", waitpid(pid, &status, 1));
    report_hex("untouched", status);
    int result = wait_polling(pid, &status);
    report("later", result == pid);
    report_hex("status", status);
    return 0;
}

int not_my_children()
{
    int status = 0;
    report("none", waitpid(-1, &status, 0));
    report("init", waitpid(1, &status, 0));
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("exit"), const_cast<char*>("3")};
    int pid = spawn_ex(self, argv, 3, 0, 1, 2, 0);
    report("first", waitpid(pid, &status, 0) == pid);
    report("again", waitpid(pid, &status, 0));
    report("options", waitpid(pid, &status, 2));
    return 0;
}

// Copies standard input to standard output and error, with a prefix each.
int echo_stdio()
{
    char buffer[256];
    int n = read(0, buffer, sizeof buffer);
    if (n < 0) n = 0;
    write(1, "out:", 4);
    write(1, buffer, unsigned(n));
    write(2, "err:", 4);
    write(2, buffer, unsigned(n));
    return 0;
}

// The child's standard descriptors from spawn_ex's words, or from fd_set_stdio for spawn.
int spawn_with_stdio(const char* in, const char* out, const char* err, bool set_stdio)
{
    int in_fd = open(in, 0), out_fd = open(out, 0x241, 0x241), err_fd = open(err, 0x241, 0x241);
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("echo-stdio")};
    int pid;
    if (set_stdio) {
        report("set", fd_set_stdio(in_fd, out_fd, err_fd));
        pid = spawn(self, argv, 2);
    } else {
        pid = spawn_ex(self, argv, 2, in_fd, out_fd, err_fd, 0);
    }
    int status = -1;
    report("waited", waitpid(pid, &status, 0) == pid);
    report("status", status);
    return 0;
}

// Opens a file (descriptor 3 onwards) and lets a child write to that number.
int inherit(bool on)
{
    int fd = open("/inherited", 0x241, 0x241);
    report("fd", fd);
    report("switch", fd_set_inherit(on));
    char number_text[2] = {char('0' + fd), 0};
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("write-fd"), number_text,
                    const_cast<char*>("from-child")};
    int pid = spawn(self, argv, 4);
    int status = -1;
    waitpid(pid, &status, 0);
    close(fd);
    return 0;
}

int write_fd(int fd, const char* text)
{
    report("child-write", write(fd, text, length(text)));
    return 0;
}

int broken_pipe()
{
    int fds[2] = {-1, -1};
    report("pipe", pipe(fds));
    report("close", close(fds[0]));
    report("write", write(fds[1], "x", 1));
    report("again", write(fds[1], "yz", 2));
    return 0;
}

int open_pty(int& master, int& slave)
{
    pty_pair pair = {-1, -1};
    int result = yulos_kernel_call(SYS_PTY_PAIR, reinterpret_cast<unsigned int>(&pair), 0, 0);
    master = pair.master_fd;
    slave = pair.slave_fd;
    return result;
}

// Reads from a non-blocking master until `want` bytes came or none came for about 5 s.
int read_master(int master, unsigned char* into, int want)
{
    int got = 0;
    for (int idle = 0; got < want && idle < 2500;) {
        int n = read(master, into + got, unsigned(want - got));
        if (n > 0) {
            got += n;
            idle = 0;
        } else {
            ++idle;
            usleep(2000);
        }
    }
    return got;
}

int first_difference(const unsigned char* bytes, int count)
{
    for (int i = 0; i < count; ++i)
        if (bytes[i] != static_cast<unsigned char>(i)) return i;
    return -1;
}

int pty_bytes()
{
    int master, slave;
    report("pair", open_pty(master, slave));
    report("nonblock", fd_set_nonblock(master, 1));
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
    report("written", write(slave, bytes, 256));
    unsigned char back[256] = {};
    report("read", read_master(master, back, 256));
    report("difference", first_difference(back, 256));
    report("idle", read(master, back, 1));
    // Closing the slave keeps what it wrote readable; after that the master reports failure.
    report("tail", write(slave, "tail", 4));
    report("close", close(slave));
    report("buffered", read_master(master, back, 4));
    report("same", back[0] == 't' && back[3] == 'l');
    report("after", read(master, back, 1) < 0);
    return 0;
}

int all_bytes()
{
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
    for (int done = 0; done < 256;) {
        int n = write(1, bytes + done, unsigned(256 - done));
        if (n <= 0) return 1;
        done += n;
    }
    return 0;
}

// A child on the slave writes every byte value; the parent relays them from the master.
int pty_child()
{
    int master, slave;
    open_pty(master, slave);
    fd_set_nonblock(master, 1);
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("all-bytes")};
    int pid = spawn_ex(self, argv, 2, slave, slave, slave, 1);
    close(slave);
    unsigned char back[300] = {};
    int got = read_master(master, back, 256);
    int status = -1;
    report("waited", wait_polling(pid, &status) == pid);
    report("status", status);
    report("read", got);
    report("difference", first_difference(back, got));
    report("after", read(master, back, 1) < 0);
    return 0;
}

int getcwd_probe(bool parent)
{
    char buffer[64];
    report(parent ? "parent-getcwd" : "child-getcwd", getcwd(buffer, sizeof buffer));
    if (!parent) return 0;
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("getcwd-child")};
    int pid = spawn_ex(self, argv, 2, 0, 1, 2, 0);
    int status = -1;
    report("waited", waitpid(pid, &status, 0) == pid);
    return 0;
}

// Calls whose trace lines the tests read: a created file, a failed open, bytes through a pipe
// (a write longer than the trace shows, with characters it escapes), a child.
int traced()
{
    int fd = open("/traced.txt", O_WRONLY | O_CREAT, 0x41);
    write(fd, "abc", 3);
    close(fd);
    open("/missing", O_RDONLY);
    int fds[2];
    pipe(fds);
    const char text[] = "tab\there \"quoted\" and a tail past the shown bytes";
    write(fds[1], text, sizeof text - 1);
    char start[8];
    read(fds[0], start, sizeof start);
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("exit"), const_cast<char*>("5")};
    int pid = spawn_ex(self, argv, 3, 0, 1, 2, 0);
    int status = -1;
    waitpid(pid, &status, 0);
    report("status", status);
    return 0;
}

// Spawns sleeping children until the run's process limit refuses one, then sees a place freed
// by waiting for a child.
int fill_processes()
{
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("sleep-exit"),
                    const_cast<char*>("300"), const_cast<char*>("0")};
    int pids[8], count = 0, refused = 0;
    while (count < 8) {
        int pid = spawn(self, argv, 4);
        if (pid <= 0) {
            refused = pid;
            break;
        }
        pids[count++] = pid;
    }
    report("spawned", count);
    report("refused", refused);
    int status = 0;
    waitpid(pids[0], &status, 0);
    int again = spawn(self, argv, 4);
    report("after-wait", again > 0);
    for (int i = 1; i < count; ++i) waitpid(pids[i], &status, 0);
    waitpid(again, &status, 0);
    return 0;
}

// Makes pseudo-terminal pairs until the run's limit refuses one, then closes one pair.
int fill_ptys()
{
    pty_pair pairs[8];
    int count = 0, refused = 0;
    while (count < 8) {
        int result = yulos_kernel_call(SYS_PTY_PAIR, unsigned(&pairs[count]), 0, 0);
        if (result != 0) {
            refused = result;
            break;
        }
        ++count;
    }
    report("pairs", count);
    report("refused", refused);
    close(pairs[0].master_fd);
    report("one-side-closed", yulos_kernel_call(SYS_PTY_PAIR, unsigned(&pairs[0]), 0, 0));
    close(pairs[0].slave_fd);
    report("both-closed", yulos_kernel_call(SYS_PTY_PAIR, unsigned(&pairs[0]), 0, 0));
    return 0;
}

// An argument vector of `size` bytes in one argument: a child that reports its length.
int spawn_big_argument(int size)
{
    static char big[3u << 20];
    for (int i = 0; i < size; ++i) big[i] = 'x';
    big[size] = 0;
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("argument-length"), big};
    int pid = spawn_ex(self, argv, 3, 0, 1, 2, 0);
    report("spawn", pid > 0 ? 1 : pid);
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    report("status", status);
    return 0;
}

// Spawns `path` and reports what the spawn returned.
int spawn_result(const char* path)
{
    char* argv[] = {const_cast<char*>(path)};
    int pid = spawn_ex(path, argv, 1, 0, 1, 2, 0);
    report("spawn", pid > 0 ? 1 : pid);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    return 0;
}

// Begins replacing `path` through a stream, writes to it, says "begun" and waits to be killed.
int stream_then_wait(const char* path)
{
    int handle = yulfs_stream_begin(path);
    yulfs_stream_write(handle, "new bytes", 9);
    write(1, "begun\n", 6);
    usleep(30000000);
    return yulfs_stream_end(handle);
}

} // namespace

extern "C" int main(int argc, char** argv)
{
    if (argc < 2) return 100;
    const char* what = argv[1];
    if (same(what, "exit") && argc == 3) _exit(number(argv[2]));
    if (same(what, "sleep-exit") && argc == 4) {
        usleep(unsigned(number(argv[2])) * 1000u);
        return number(argv[3]);
    }
    if (same(what, "wait") && argc >= 3) return spawn_and_wait(argv[2], argv + 2, argc - 2);
    if (same(what, "poll") && argc >= 3) return poll_child(argv + 2, argc - 2);
    if (same(what, "not-mine")) return not_my_children();
    if (same(what, "echo-stdio")) return echo_stdio();
    if (same(what, "spawn-stdio") && argc == 5)
        return spawn_with_stdio(argv[2], argv[3], argv[4], false);
    if (same(what, "set-stdio") && argc == 5)
        return spawn_with_stdio(argv[2], argv[3], argv[4], true);
    if (same(what, "inherit") && argc == 3) return inherit(same(argv[2], "on"));
    if (same(what, "write-fd") && argc == 4) return write_fd(number(argv[2]), argv[3]);
    if (same(what, "broken-pipe")) return broken_pipe();
    if (same(what, "pty-bytes")) return pty_bytes();
    if (same(what, "all-bytes")) return all_bytes();
    if (same(what, "pty-child")) return pty_child();
    if (same(what, "getcwd")) return getcwd_probe(true);
    if (same(what, "getcwd-child")) return getcwd_probe(false);
    if (same(what, "traced")) return traced();
    if (same(what, "stream-then-wait") && argc == 3) return stream_then_wait(argv[2]);
    if (same(what, "fill-processes")) return fill_processes();
    if (same(what, "fill-ptys")) return fill_ptys();
    if (same(what, "spawn-big") && argc == 3) return spawn_big_argument(number(argv[2]));
    if (same(what, "argument-length") && argc == 3) {
        report("length", int(length(argv[2])));
        return 0;
    }
    if (same(what, "spawn") && argc == 3) return spawn_result(argv[2]);
    return 101;
}
