// The guest side of the kernel-call fuzzer: `kernel_calls SEED COUNT DEPTH` makes COUNT kernel
// calls chosen by a generator seeded with SEED, with hostile arguments: bad pointers, ranges
// that run off a mapping, huge counts, paths that climb out ("../..") or run long, symbolic
// links that point out of the root, descriptors out of range, unknown call numbers. DEPTH is 0
// for the first process; its children (this program again, with few calls) count up.
// fuzz/calls_driver.cpp runs it under a sanitizer build of the host in a scratch root and
// checks the host.
//
// Whatever goes wrong must be the host's fault, so the program neither hangs nor faults by
// itself. It keeps a model of its descriptors to that end:
// - a read from anything that may block is made non-blocking first; getkey only while
//   descriptor 0 is still the driver's /dev/null;
// - writes to pipes and terminals stay within what their buffers hold, as nothing drains them,
//   and writes to descriptors it did not open itself (its 0, 1 and 2) carry no bytes;
// - FIFOs are made only under names that contain "fifo", which no other path does, as opening
//   a FIFO waits for its other end;
// - sleeps are short, and its children are this program with few calls or a program that ends;
// - the kernel is handed only the arena (and the argument texts at the top of the stack) to
//   write to, never the program's own state.
#include <unistd.h>

namespace {

using u32 = unsigned int;
using u64 = unsigned long long;

constexpr u32 arena_size = 64 * 1024;
// Past the part of the arena that buffers are taken from: a call that stores a fixed record
// (8 bytes) or the working directory (at most 4096 bytes) at a buffer's last byte stays inside.
constexpr u32 arena_slack = 8 * 1024;
constexpr u32 stack_top = 0xC0000000u, stack_bottom = stack_top - (8u << 20);
constexpr int descriptor_count = 1024;
constexpr int max_depth = 2;
constexpr u32 pipe_budget = 16 * 1024, terminal_budget = 2 * 1024;
constexpr int max_objects = 256, max_children = 64, max_streams = 64;

unsigned char arena[arena_size + arena_slack]; // the only memory the kernel may write to

// What the program knows about one of its descriptors.
enum Kind : unsigned char {
    closed,     // not open (a call on it fails at once)
    unknown,    // open or not, to anything: writes carry no bytes, reads do not wait
    null_input, // the driver's /dev/null
    file,       // a file or directory this process opened
    pipe_read,
    pipe_write,
    pty_master,
    pty_slave,
};

struct State {
    u64 random;
    int depth;
    Kind kind[descriptor_count];
    int object[descriptor_count]; // pipes and terminals: which budget a write draws on
    u32 budget[max_objects];      // bytes that can still be written without blocking
    int objects;
    u32 file_budget; // bytes to write into files, over the whole run
    int children[max_children];
    int child_count;
    int spawns_left;
    int ptys_left;
    int streams[max_streams];
    int stream_count;
    char long_path[3][5200];
    char number_text[4][16];
};

State state;

// xorshift64*: small, and the same sequence for the same seed.
u32 next_random()
{
    state.random ^= state.random >> 12;
    state.random ^= state.random << 25;
    state.random ^= state.random >> 27;
    return u32((state.random * 0x2545F4914F6CDD1Dull) >> 32);
}

u32 below(u32 n) { return n == 0 ? 0 : next_random() % n; }
bool one_in(u32 n) { return below(n) == 0; }

template <class T, u32 N> T pick(const T (&items)[N]) { return items[below(N)]; }

int call(u32 number, u32 a, u32 b, u32 c) { return yulos_kernel_call(int(number), a, b, c); }

u32 address_of(const void* p) { return u32(reinterpret_cast<unsigned long>(p)); }

void copy(void* to, const void* from, u32 n)
{
    auto* d = static_cast<unsigned char*>(to);
    auto* s = static_cast<const unsigned char*>(from);
    while (n--) *d++ = *s++;
}

u32 load_word(u32 address)
{
    u32 word;
    copy(&word, reinterpret_cast<const void*>(static_cast<unsigned long>(address)), 4);
    return word;
}

bool parse_number(const char* text, u64& value)
{
    value = 0;
    if (!*text) return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9' || value > 0xffffffffffffull) return false;
        value = value * 10 + u64(*text - '0');
    }
    return true;
}

char* format_number(char* out, u32 value)
{
    char digits[12];
    int n = 0;
    do digits[n++] = char('0' + value % 10);
    while ((value /= 10) != 0);
    char* at = out;
    while (n) *at++ = digits[--n];
    *at = 0;
    return out;
}

// ---- buffers: a pointer and a length, for the kernel to read from or write to ----

const char read_only_text[] = "read-only bytes, for a kernel that must refuse to write them";

struct Buffer {
    u32 address, length;
    bool whole; // the kernel accepts the range, so a call may move `length` bytes
};

Buffer in_arena(u32 most)
{
    u32 length = one_in(3) ? below(64) : below(most < arena_size ? most + 1 : arena_size + 1);
    u32 offset = below(arena_size - length + 1);
    return {address_of(arena) + offset, length, true};
}

// A buffer the kernel reads from (`writable` false) or writes to (`writable` true). A length
// that runs past the arena runs past the data segment too, as what follows the arena there is
// the program's own state.
Buffer pick_buffer(bool writable, u32 most = arena_size)
{
    static const u32 huge[] = {0x7fffffff, 0x80000000, 0xffffffff, 0x10000000, 0x00800000};
    static const u32 bad[] = {0,          1,          0xfff,      0x1000,     0x3000,
                              0xffff,     0x3ff000,   0xA0000000, 0xC0000000, 0xC0001000,
                              0xfffff000, 0xfffffffc, 0xffffffff};
    switch (below(10)) {
    case 0: return {pick(bad), below(4096) + 1, false};
    case 1: return {address_of(arena) + below(arena_size), pick(huge), false};
    case 2: { // off the top of the stack: the range runs past the end of its mapping
        u32 left = below(32) + 1;
        return {stack_top - left, left + below(4096) + 1, false};
    }
    case 3: { // starting in the guard page below the stack
        u32 before = below(64) + 1;
        return {stack_bottom - before, before + below(64) + 1, false};
    }
    case 4: // wraps around the 32-bit address space
        return {0xffffffff - below(16), below(64) + 17, false};
    case 5: { // read-only memory: fine to read, refused for writing
        Buffer b{address_of(read_only_text), below(sizeof read_only_text) + 1, !writable};
        if (one_in(2)) b.address = address_of(reinterpret_cast<const void*>(&next_random));
        return b;
    }
    case 6: // nothing at all, wherever it points
        return {one_in(2) ? 0 : pick(bad), 0, true};
    case 7:
        if (!writable) // the texts at the top of the stack, to its very end
            return {stack_top - 16, 16, true};
        return in_arena(most);
    default: return in_arena(most);
    }
}

// ---- descriptors ----

int new_object(u32 budget)
{
    if (state.objects >= max_objects) return -1;
    state.budget[state.objects] = budget;
    return state.objects++;
}

void note_open(int fd, Kind kind, int object = -1)
{
    if (fd < 0 || fd >= descriptor_count) return;
    state.kind[fd] = kind;
    state.object[fd] = object;
}

int object_of(int fd) { return fd >= 0 && fd < descriptor_count ? state.object[fd] : -1; }

int pick_fd()
{
    static const int hostile[] = {-1, -2, 1023, 1024, 1025, 4096, 0x7fffffff, int(0x80000000u)};
    switch (below(8)) {
    case 0: return pick(hostile);
    case 1: return int(below(3));
    case 2: return int(below(40));
    case 3: return int(next_random());
    default: {
        int open[descriptor_count], count = 0;
        for (int fd = 0; fd < descriptor_count; ++fd)
            if (state.kind[fd] != closed && state.kind[fd] != unknown) open[count++] = fd;
        return count ? open[below(u32(count))] : int(below(8));
    }
    }
}

Kind kind_of(int fd) { return fd >= 0 && fd < descriptor_count ? state.kind[fd] : closed; }

// How many bytes a write to `fd` may carry without risking a wait that nothing ends.
u32 writable_bytes(int fd)
{
    switch (kind_of(fd)) {
    case closed:
    case null_input: return 0xffffffff; // refused at once
    case unknown: return 0;
    case file: return state.file_budget;
    default: {
        int object = object_of(fd);
        return object < 0 ? 0 : state.budget[object];
    }
    }
}

void spend(int fd, int written)
{
    if (written <= 0) return;
    if (kind_of(fd) == file)
        state.file_budget -= u32(written) < state.file_budget ? u32(written) : state.file_budget;
    else if (int object = object_of(fd); kind_of(fd) != closed && object >= 0)
        state.budget[object] -=
            u32(written) < state.budget[object] ? u32(written) : state.budget[object];
}

// A read that cannot wait for ever: anything but a file is made non-blocking first.
int safe_read(int fd, Buffer b)
{
    Kind kind = kind_of(fd);
    if (kind != file && kind != null_input && kind != closed)
        call(SYS_FD_SET_NONBLOCK, u32(fd), 1, 0);
    return call(SYS_READ, u32(fd), b.address, b.length);
}

// ---- paths ----

// Paths that resolve inside the root (some through ".." or links that try to leave it), and
// names that do not exist. None holds "fifo".
const char* const ordinary_paths[] = {
    "a",
    "/a",
    "d",
    "d/b",
    "/d/b",
    "new",
    "d/new",
    "d/e/new",
    "/d/../a",
    "d/./b",
    "./a",
    "a/",
    "a/.",
    "a/x",
    "//a//",
    "..",
    "../..",
    "/..",
    "/../../..",
    "../a",
    "../../../../../../etc/passwd",
    "/proc/self/root/a",
    "/",
    ".",
    "",
    "esc_abs",
    "esc_abs/secret",
    "esc_abs/new",
    "esc_rel",
    "esc_rel/secret",
    "esc_rel/new",
    "esc_up",
    "esc_up/x",
    "esc_file",
    "esc_root",
    "esc_root/a",
    "esc_root/new",
    "loop",
    "loop/x",
    "dangling",
    "d/up",
    "d/up/x",
    "d/up/new",
    "bin",
    "bin/echo",
    "bin/notelf",
    "d/\x01\x7f\xff",
    "a\nb",
    "-",
    " ",
    "\\",
};

// Names for mkfifo: the only paths with "fifo" in them.
const char* const fifo_paths[] = {
    "fifo1", "d/fifo2", "/fifo3", "esc_root/fifo4", "esc_abs/fifo5", "d/up/fifo6", "../fifo7",
};

// Images and non-images to start.
const char* const spawn_paths[] = {
    "/bin/kernel_calls",
    "/bin/kernel_calls",
    "/bin/echo",
    "bin/echo",
    "/bin/notelf",
    "/bin/empty",
    "/bin",
    "/nothing",
    "esc_abs",
    "esc_root/bin/echo",
    "fifo1",
    "/d/b",
    "",
};

void make_long_paths()
{
    char* deep = state.long_path[0]; // exactly the longest path taken: 4095 bytes
    for (u32 i = 0; i < 4095; ++i) deep[i] = (i % 2) ? '/' : 'd';
    deep[4095] = 0;
    char* over = state.long_path[1]; // one byte too long, then much too long
    for (u32 i = 0; i < 5100; ++i) over[i] = 'a';
    over[4096] = 0;
    char* component = state.long_path[2]; // a name longer than any file system takes
    component[0] = 'd';
    component[1] = '/';
    for (u32 i = 2; i < 302; ++i) component[i] = 'n';
    component[302] = 0;
}

char random_path[64];

// A path argument the kernel cannot use: a bad pointer, or a text without a NUL before the end
// of its mapping (the last bytes of the stack, set again each time, as a call may have stored
// something there since).
u32 unusable_path()
{
    static const u32 bad[] = {0, 1, 0x1000, stack_top, 0xfffffffe, stack_bottom - 8};
    if (!one_in(3)) return pick(bad);
    for (u32 i = 1; i <= 16; ++i)
        *reinterpret_cast<volatile char*>(static_cast<unsigned long>(stack_top - i)) = 'A';
    return stack_top - 16;
}

u32 pick_path(const char* const* pool, u32 pool_size)
{
    switch (below(12)) {
    case 0: return address_of(state.long_path[below(3)]);
    case 1: {
        if (one_in(3)) state.long_path[1][4096] = one_in(2) ? 0 : 'a';
        return address_of(state.long_path[1]);
    }
    case 2: {
        static const char alphabet[] = "ab./d";
        u32 length = below(sizeof random_path - 1);
        for (u32 i = 0; i < length; ++i)
            random_path[i] = one_in(16) ? char(0x80 + below(0x80)) : alphabet[below(5)];
        random_path[length] = 0;
        return address_of(random_path);
    }
    case 3: return unusable_path();
    default: return address_of(pool[below(pool_size)]);
    }
}

template <u32 N> u32 pick_path(const char* const (&pool)[N]) { return pick_path(pool, N); }

// For mkfifo: a name with "fifo" in it, or nothing usable; never a path built at random, which
// could name what a later open takes.
u32 pick_fifo_path() { return one_in(4) ? unusable_path() : address_of(pick(fifo_paths)); }

// ---- the calls ----

void do_write()
{
    int fd = pick_fd();
    Buffer b = pick_buffer(false);
    u32 allowed = writable_bytes(fd);
    if (b.whole && b.length > allowed) b.length = allowed;
    spend(fd, call(SYS_WRITE, u32(fd), b.address, b.length));
}

void do_read()
{
    int fd = pick_fd();
    safe_read(fd, pick_buffer(true));
}

u32 open_flags()
{
    static const u32 modes[] = {YULOS_O_RDONLY, YULOS_O_WRONLY, YULOS_O_RDWR, 3};
    u32 flags = pick(modes);
    if (one_in(2)) flags |= YULOS_O_CREAT;
    if (one_in(4)) flags |= YULOS_O_TRUNC;
    if (one_in(4)) flags |= YULOS_O_APPEND;
    if (one_in(8)) flags |= next_random();
    return flags;
}

void do_open()
{
    u32 flags = open_flags();
    int fd = call(SYS_OPEN, pick_path(ordinary_paths), flags, next_random());
    if (fd >= 0) note_open(fd, file);
}

void do_close()
{
    int fd = pick_fd();
    if (call(SYS_CLOSE, u32(fd), 0, 0) == 0) note_open(fd, closed);
}

void do_getkey()
{
    if (kind_of(0) == null_input) call(SYS_GETKEY, 0, 0, 0);
}

void do_writefile()
{
    Buffer b = pick_buffer(false);
    if (b.whole && b.length > state.file_budget) b.length = state.file_budget;
    int written = call(SYS_WRITEFILE, pick_path(ordinary_paths), b.address, b.length);
    if (written > 0) state.file_budget -= u32(written) < state.file_budget ? u32(written) : 0;
}

void do_path_call(u32 number) { call(number, pick_path(ordinary_paths), next_random(), 0); }

void do_getcwd()
{
    Buffer b = pick_buffer(true);
    static const u32 sizes[] = {0, 1, 2, 0x7fffffff, 0xffffffff};
    call(SYS_GETCWD, b.address, one_in(3) ? pick(sizes) : b.length, 0);
}

int pick_stream()
{
    if (state.stream_count && !one_in(4)) return state.streams[below(u32(state.stream_count))];
    static const int hostile[] = {0, -1, 1000000, int(0x80000000u)};
    return one_in(2) ? pick(hostile) : int(below(8));
}

void do_stream_begin()
{
    int handle = call(SYS_YULFS_STREAM_BEGIN, pick_path(ordinary_paths), 0, 0);
    if (handle > 0 && state.stream_count < max_streams)
        state.streams[state.stream_count++] = handle;
}

void do_stream_write()
{
    Buffer b = pick_buffer(false);
    if (b.whole && b.length > state.file_budget) b.length = state.file_budget;
    int written = call(SYS_YULFS_STREAM_WRITE, u32(pick_stream()), b.address, b.length);
    if (written > 0) state.file_budget -= u32(written) < state.file_budget ? u32(written) : 0;
}

void do_lseek()
{
    static const u32 offsets[] = {0, 1, 0xffffffff, 0x7fffffff, 0x80000000, 4096};
    static const u32 whence[] = {0, 1, 2, 3, 0xffffffff};
    call(SYS_LSEEK, u32(pick_fd()), one_in(2) ? pick(offsets) : next_random(), pick(whence));
}

// pipe (124) and pty_pair (149) store two descriptors; the model learns them when the buffer
// lies in the arena, which is the only place the kernel may write.
void do_pair(u32 number)
{
    if (number == SYS_PTY_PAIR) {
        if (state.ptys_left == 0) return;
        --state.ptys_left;
    }
    Buffer b = pick_buffer(true, 8);
    if (b.whole && b.length < 8 && !one_in(4)) b = in_arena(arena_size);
    if (call(number, b.address, 0, 0) != 0) return;
    int first = int(load_word(b.address)), second = int(load_word(b.address + 4));
    if (number == SYS_PIPE) {
        int object = new_object(pipe_budget);
        note_open(first, pipe_read, object);
        note_open(second, pipe_write, object);
    } else {
        // Bytes written to one end wait at the other.
        note_open(first, pty_master, new_object(terminal_budget));
        note_open(second, pty_slave, new_object(terminal_budget));
    }
}

void do_dup()
{
    int fd = pick_fd();
    int copy_fd = call(SYS_DUP, u32(fd), 0, 0);
    if (copy_fd >= 0) note_open(copy_fd, kind_of(fd), object_of(fd));
}

void do_dup2()
{
    int from = pick_fd(), to = pick_fd();
    if (call(SYS_DUP2, u32(from), u32(to), 0) == to && from != to)
        note_open(to, kind_of(from), object_of(from));
}

// The argument vector of a child: this program with few calls, or words it will refuse.
u32 child_arguments(u32 at, int& argc)
{
    char** vector = reinterpret_cast<char**>(arena + at);
    char* texts = reinterpret_cast<char*>(arena + at + 64);
    static char name[] = "kernel_calls";
    vector[0] = name;
    if (state.depth < max_depth && !one_in(4)) {
        vector[1] = format_number(state.number_text[0], next_random());
        vector[2] = format_number(state.number_text[1], below(40));
        vector[3] = format_number(state.number_text[2], u32(state.depth + 1));
        argc = 4;
    } else {
        static char words[][8] = {"x", "", "-1", "99999"};
        vector[1] = words[below(4)];
        vector[2] = texts;
        copy(texts, "1", 2);
        argc = int(below(3)) + 1;
    }
    static const int hostile[] = {-1, 0, 4097, 0x7fffffff};
    if (one_in(6)) argc = pick(hostile);
    return address_of(vector);
}

void note_child(int pid)
{
    if (pid > 0 && state.child_count < max_children) state.children[state.child_count++] = pid;
}

void do_spawn()
{
    if (state.spawns_left == 0) return;
    --state.spawns_left; // whatever the path: one built at random may name an image too
    u32 path = pick_path(spawn_paths);
    int argc = 0;
    u32 argv = child_arguments(0, argc);
    if (one_in(8)) argv = pick_buffer(false).address;
    note_child(call(SYS_SPAWN, path, argv, u32(argc)));
}

void do_spawn_ex()
{
    if (state.spawns_left == 0) return;
    --state.spawns_left;
    spawn_ex_args args;
    int argc = 0;
    args.path = reinterpret_cast<const char*>(pick_path(spawn_paths));
    args.argv = reinterpret_cast<char* const*>(child_arguments(256, argc));
    args.argc = argc;
    args.stdin_fd = one_in(2) ? 0 : pick_fd();
    args.stdout_fd = one_in(2) ? 1 : pick_fd();
    args.stderr_fd = one_in(2) ? 2 : pick_fd();
    args.flag = one_in(2) ? 0 : (one_in(2) ? YULOS_SPAWN_NEW_SESSION : next_random());
    copy(arena + 1024, &args, sizeof args);
    u32 record = address_of(arena + 1024);
    if (one_in(8)) record = pick_buffer(false).address;
    note_child(call(SYS_SPAWN_EX, record, 0, 0));
}

void do_waitpid()
{
    static const int hostile[] = {-1, 0, -2, 1, 0x7fffffff};
    int pid = state.child_count && !one_in(3) ? state.children[below(u32(state.child_count))]
                                              : pick(hostile);
    // Waiting is safe: every child ends by itself.
    static const u32 options[] = {0, 1, 1, 2, 0xffffffff};
    Buffer status = pick_buffer(true, 4);
    call(SYS_WAITPID, u32(pid), one_in(4) ? 0 : status.address, pick(options));
}

void do_unknown()
{
    static const u32 numbers[] = {0,   7,   20,  23,   100,        133,       151,
                                  200, 255, 256, 1000, 0x80000000, 0xffffffff};
    call(pick(numbers), next_random(), next_random(), next_random());
}

void one_call()
{
    switch (below(30)) {
    case 0:
    case 1: do_write(); break;
    case 2:
    case 3: do_read(); break;
    case 4:
    case 5: do_open(); break;
    case 6: do_close(); break;
    case 7: do_getkey(); break;
    case 8: do_writefile(); break;
    case 9: call(SYS_USLEEP, below(2000), 0, 0); break;
    case 10: do_path_call(SYS_MKDIR); break;
    case 11: do_path_call(SYS_UNLINK); break;
    case 12: do_path_call(SYS_RMDIR); break;
    case 13: do_getcwd(); break;
    case 14: do_stream_begin(); break;
    case 15: do_stream_write(); break;
    case 16: call(SYS_YULFS_STREAM_END, u32(pick_stream()), 0, 0); break;
    case 17: do_path_call(SYS_CHDIR); break;
    case 18: do_lseek(); break;
    case 19: do_pair(SYS_PIPE); break;
    case 20: call(SYS_MKFIFO, pick_fifo_path(), 0, 0); break;
    case 21: do_dup(); break;
    case 22: do_dup2(); break;
    case 23: call(SYS_FD_SET_INHERIT, one_in(2) ? below(2) : next_random(), 0, 0); break;
    case 24: call(SYS_FD_SET_STDIO, u32(pick_fd()), u32(pick_fd()), u32(pick_fd())); break;
    case 25: call(SYS_FD_SET_NONBLOCK, u32(pick_fd()), below(3), 0); break;
    case 26: one_in(2) ? do_spawn() : do_spawn_ex(); break;
    case 27: do_waitpid(); break;
    case 28: do_pair(SYS_PTY_PAIR); break;
    default: do_unknown(); break;
    }
}

} // namespace

extern "C" int main(int argc, char** argv)
{
    u64 seed = 0, count = 0, depth = 0;
    if (argc != 4 || !parse_number(argv[1], seed) || !parse_number(argv[2], count) ||
        !parse_number(argv[3], depth) || depth > max_depth)
        return 3;
    state.random = seed * 0x9E3779B97F4A7C15ull + 1;
    state.depth = int(depth);
    // The first process has the driver's descriptors: /dev/null, then its output and error
    // files, which get no bytes (after a seek far out, a single byte would make a file of up to
    // 2 GiB for whoever reads the output). A child cannot know what its descriptors are.
    for (int fd = 0; fd < descriptor_count; ++fd) state.kind[fd] = depth == 0 ? closed : unknown;
    if (depth == 0) {
        note_open(0, null_input);
        note_open(1, unknown);
        note_open(2, unknown);
    }
    state.file_budget = 4u << 20;
    state.spawns_left = depth == 0 ? 12 : 2;
    state.ptys_left = depth == 0 ? 8 : 2;
    make_long_paths();
    for (u64 i = 0; i < count; ++i) one_call();
    return 0;
}
