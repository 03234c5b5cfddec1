// The real kernel's services, reached through the runtime's wrappers in a guest process rooted
// at a temporary directory: each call's result and its effect on the host.
#include "guest_call.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace yulos;
using namespace yulos_test;

namespace {

const std::string faults_image = guest_image("test_faults");

constexpr int32_t bad_descriptor = -9, no_entry = -2, invalid = -22;

// A guest process with the real kernel, rooted at a fresh directory.
struct Guest {
    TempDir root;
    GuestCall g{faults_image, root.str()};

    int32_t call(std::string_view function, std::initializer_list<uint32_t> args)
    {
        return int32_t(g.call_word(function, args));
    }
    uint32_t text(std::string_view s) { return g.put_string(s); }
    // write(fd, text) through the guest.
    int32_t write(int32_t fd, std::string_view s)
    {
        return call("write", {uint32_t(fd), text(s), uint32_t(s.size())});
    }
    // read(fd, up to `max`) through the guest: the bytes, or the negative result as text.
    std::string read(int32_t fd, uint32_t max = 256)
    {
        uint32_t buffer = g.alloc(max);
        int32_t n = call("read", {uint32_t(fd), buffer, max});
        if (n < 0) return "error " + std::to_string(n);
        auto bytes = g.read(buffer, uint32_t(n));
        return std::string(bytes.begin(), bytes.end());
    }
    std::pair<int32_t, int32_t> pipe()
    {
        uint32_t fds = g.alloc(8);
        EXPECT_EQ(call("pipe", {fds}), 0);
        return {int32_t(g.read_u32(fds)), int32_t(g.read_u32(fds + 4))};
    }
    std::string cwd()
    {
        uint32_t buffer = g.alloc(256);
        int32_t n = call("getcwd", {buffer, 256});
        if (n < 0) return "error " + std::to_string(n);
        EXPECT_EQ(uint32_t(n), g.read_string(buffer).size() + 1);
        return g.read_string(buffer);
    }
};

// A host pipe: one end for the test, the other for the guest.
struct HostPipe {
    UniqueFd read_end, write_end;
    HostPipe()
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
};

std::string drain(int fd)
{
    std::string all;
    char chunk[256];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) all.append(chunk, size_t(n));
    return all;
}

} // namespace

TEST(Kernel, ReadWriteCloseDupAndDup2)
{
    Guest guest;
    HostPipe in, out;
    auto& table = guest.g.real_kernel().descriptors();
    table.place(0, std::move(in.read_end));
    table.place(1, std::move(out.write_end));

    EXPECT_EQ(guest.write(1, "hello"), 5);
    EXPECT_EQ(guest.write(7, "x"), bad_descriptor);
    EXPECT_EQ(guest.read(7), "error -9");
    ASSERT_EQ(::write(in.write_end.get(), "xyz", 3), 3);
    EXPECT_EQ(guest.read(0, 0), ""); // a length of 0 reads nothing and does not wait
    EXPECT_EQ(guest.read(0), "xyz");

    EXPECT_EQ(guest.call("dup", {1}), 2); // the lowest free number
    EXPECT_EQ(guest.write(2, "A"), 1);
    EXPECT_EQ(guest.call("dup", {42}), bad_descriptor);
    EXPECT_EQ(guest.call("dup2", {1, 9}), 9);
    EXPECT_EQ(guest.write(9, "B"), 1);
    EXPECT_EQ(guest.call("dup2", {1, 1}), 1);
    EXPECT_EQ(guest.call("dup2", {5, 6}), bad_descriptor);
    EXPECT_EQ(guest.call("dup2", {1, uint32_t(-1)}), bad_descriptor);
    EXPECT_EQ(guest.call("dup2", {1, 5000}), bad_descriptor);
    EXPECT_EQ(guest.call("dup2", {0, 9}), 9); // replaces the copy of the write end
    EXPECT_LT(guest.write(9, "C"), 0);        // now a read end

    // Once every guest copy of the write end is closed, the host reader sees the end.
    EXPECT_EQ(guest.call("close", {1}), 0);
    EXPECT_EQ(guest.call("close", {1}), bad_descriptor);
    EXPECT_EQ(guest.call("close", {2}), 0);
    EXPECT_EQ(drain(out.read_end.get()), "helloAB");
}

TEST(Kernel, PipeCarriesBytesAndEndsWhenItsWriterCloses)
{
    Guest guest;
    auto [r, w] = guest.pipe();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(guest.write(w, "through"), 7);
    EXPECT_EQ(guest.read(r), "through");
    EXPECT_EQ(guest.call("lseek", {uint32_t(r), 0, 0}), -29); // not seekable
    EXPECT_EQ(guest.call("close", {uint32_t(w)}), 0);
    EXPECT_EQ(guest.read(r), "");
}

TEST(Kernel, NonblockingReadFailsAtOnceWhenNothingWaits)
{
    Guest guest;
    auto [r, w] = guest.pipe();
    EXPECT_EQ(guest.call("fd_set_nonblock", {uint32_t(r), 1}), 0);
    EXPECT_EQ(guest.call("fd_set_nonblock", {77, 1}), bad_descriptor);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(guest.read(r), "error -11");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(guest.write(w, "now"), 3);
    EXPECT_EQ(guest.read(r), "now");
    EXPECT_EQ(guest.call("close", {uint32_t(w)}), 0);
    EXPECT_EQ(guest.read(r), ""); // the end, not "nothing yet"
}

TEST(Kernel, LseekCountsFromStartCurrentAndEnd)
{
    Guest guest;
    int32_t fd = guest.call("open", {guest.text("/f"), 0x42, 0x42});
    ASSERT_GE(fd, 0);
    EXPECT_EQ(guest.write(fd, "0123456789"), 10);
    auto seek = [&](int32_t offset, int32_t whence) {
        return guest.call("lseek", {uint32_t(fd), uint32_t(offset), uint32_t(whence)});
    };
    EXPECT_EQ(seek(3, 0), 3);
    EXPECT_EQ(guest.read(fd, 2), "34");
    EXPECT_EQ(seek(2, 1), 7);
    EXPECT_EQ(seek(-1, 2), 9);
    EXPECT_EQ(seek(0, 3), invalid);
    EXPECT_EQ(seek(0, -1), invalid);
    EXPECT_EQ(seek(-20, 0), invalid);
    EXPECT_EQ(guest.read(fd), "9"); // the refused seeks left the position alone
    EXPECT_EQ(seek(5, 2), 15);      // past the end is allowed
    EXPECT_EQ(guest.call("lseek", {99, 0, 0}), bad_descriptor);
}

TEST(Kernel, OpenFlagsReadWriteCreateTruncateAppend)
{
    Guest guest;
    uint32_t path = guest.text("/new");
    auto open = [&](uint32_t flags) { return guest.call("open", {path, flags, flags}); };
    EXPECT_EQ(open(0), no_entry);
    EXPECT_EQ(open(1), no_entry); // no create bit, no file
    EXPECT_FALSE(fs::exists(guest.root / "new"));

    int32_t fd = open(0x41);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fs::is_regular_file(guest.root / "new"));
    EXPECT_EQ(guest.write(fd, "abc"), 3);
    EXPECT_EQ(guest.read(fd), "error -9"); // write-only
    EXPECT_EQ(guest.call("close", {uint32_t(fd)}), 0);
    EXPECT_EQ(read_file(guest.root / "new"), "abc");

    fd = open(0);
    EXPECT_EQ(guest.read(fd), "abc");
    EXPECT_EQ(guest.write(fd, "x"), bad_descriptor); // read-only
    guest.call("close", {uint32_t(fd)});

    fd = open(0x41); // create on an existing file keeps its bytes
    guest.call("close", {uint32_t(fd)});
    EXPECT_EQ(read_file(guest.root / "new"), "abc");

    fd = open(0x201);
    EXPECT_EQ(read_file(guest.root / "new"), "");
    EXPECT_EQ(guest.write(fd, "z"), 1);
    guest.call("close", {uint32_t(fd)});

    fd = open(0x401);
    EXPECT_EQ(guest.call("lseek", {uint32_t(fd), 0, 0}), 0);
    EXPECT_EQ(guest.write(fd, "yy"), 2); // appended all the same
    guest.call("close", {uint32_t(fd)});
    EXPECT_EQ(read_file(guest.root / "new"), "zyy");

    fd = open(2);
    EXPECT_EQ(guest.write(fd, "Q"), 1);
    EXPECT_EQ(guest.call("lseek", {uint32_t(fd), 0, 0}), 0);
    EXPECT_EQ(guest.read(fd), "Qyy");
    guest.call("close", {uint32_t(fd)});
}

TEST(Kernel, DirectoriesFifosAndUnlink)
{
    Guest guest;
    EXPECT_EQ(guest.call("mkdir", {guest.text("/d")}), 0);
    EXPECT_TRUE(fs::is_directory(guest.root / "d"));
    EXPECT_EQ(guest.call("mkdir", {guest.text("/d")}), -17);
    EXPECT_EQ(guest.call("mkdir", {guest.text("/x/y")}), no_entry);

    EXPECT_EQ(guest.call("mkfifo", {guest.text("/d/fifo")}), 0);
    EXPECT_TRUE(fs::is_fifo(guest.root / "d" / "fifo"));
    EXPECT_EQ(guest.call("mkfifo", {guest.text("/d/fifo")}), -17);
    EXPECT_EQ(guest.call("unlink", {guest.text("/d/fifo")}), 0);
    EXPECT_FALSE(fs::exists(guest.root / "d" / "fifo"));

    write_file(guest.root / "d" / "f", "x");
    EXPECT_EQ(guest.call("rmdir", {guest.text("/d")}), -39);   // not empty
    EXPECT_EQ(guest.call("unlink", {guest.text("/d")}), -21);  // a directory
    EXPECT_EQ(guest.call("rmdir", {guest.text("/d/f")}), -20); // not a directory
    EXPECT_EQ(guest.call("unlink", {guest.text("/d/f")}), 0);
    EXPECT_EQ(guest.call("unlink", {guest.text("/d/f")}), no_entry);
    EXPECT_EQ(guest.call("rmdir", {guest.text("/d")}), 0);
    EXPECT_FALSE(fs::exists(guest.root / "d"));
    EXPECT_EQ(guest.call("rmdir", {guest.text("/d")}), no_entry);
    EXPECT_TRUE(entries(guest.root.path()).empty());
}

TEST(Kernel, ChdirMovesTheStartOfRelativePaths)
{
    Guest guest;
    EXPECT_EQ(guest.cwd(), "/");
    fs::create_directories(guest.root / "a" / "b");
    write_file(guest.root / "a" / "b" / "file", "in b");

    EXPECT_EQ(guest.call("chdir", {guest.text("a")}), 0);
    EXPECT_EQ(guest.cwd(), "/a");
    EXPECT_EQ(guest.call("chdir", {guest.text("b/")}), 0);
    EXPECT_EQ(guest.cwd(), "/a/b");
    int32_t fd = guest.call("open", {guest.text("file"), 0, 0});
    EXPECT_EQ(guest.read(fd), "in b");
    EXPECT_EQ(guest.call("mkdir", {guest.text("c")}), 0);
    EXPECT_TRUE(fs::is_directory(guest.root / "a" / "b" / "c"));
    EXPECT_GE(guest.call("writefile", {guest.text("./c/../w"), guest.text("W"), 1}), 0);
    EXPECT_EQ(read_file(guest.root / "a" / "b" / "w"), "W");

    EXPECT_EQ(guest.call("chdir", {guest.text("/a/b/file")}), -20);
    EXPECT_EQ(guest.call("chdir", {guest.text("missing")}), no_entry);
    EXPECT_EQ(guest.cwd(), "/a/b"); // unchanged by the failures
    EXPECT_EQ(guest.call("chdir", {guest.text("..")}), 0);
    EXPECT_EQ(guest.cwd(), "/a");
    EXPECT_EQ(guest.call("unlink", {guest.text("b/w")}), 0);
    EXPECT_EQ(guest.call("getcwd", {guest.g.alloc(4), 2}), -34); // "/a" and its NUL need 3
    EXPECT_EQ(guest.call("getcwd", {guest.g.alloc(4), 3}), 3);
    EXPECT_EQ(guest.call("chdir", {guest.text("../../..")}), 0); // stops at the root
    EXPECT_EQ(guest.cwd(), "/");
}

// Once the working directory is removed, relative paths fail as on Linux; none re-creates it.
// A directory put in its place later is another directory, and is not entered by them either.
TEST(Kernel, RemovedWorkingDirectoryIsNotReCreated)
{
    Guest guest;
    fs::create_directories(guest.root / "work");
    EXPECT_EQ(guest.call("chdir", {guest.text("/work")}), 0);
    EXPECT_EQ(guest.call("rmdir", {guest.text("/work")}), 0);
    EXPECT_EQ(guest.call("mkfifo", {guest.text("."), 0644}), no_entry);
    EXPECT_EQ(guest.call("writefile", {guest.text("."), guest.text("x"), 1}), no_entry);
    EXPECT_EQ(guest.call("mkdir", {guest.text("sub")}), no_entry);
    EXPECT_EQ(guest.call("open", {guest.text("new"), 0x41, 0644}), no_entry);
    EXPECT_EQ(guest.cwd(), "error -2");
    EXPECT_FALSE(fs::exists(guest.root / "work"));

    fs::create_directories(guest.root / "work");
    EXPECT_EQ(guest.call("mkdir", {guest.text("sub")}), no_entry);
    EXPECT_FALSE(fs::exists(guest.root / "work" / "sub"));
    // Absolute paths still work, and so does a chdir to one.
    EXPECT_GE(guest.call("writefile", {guest.text("/work/file"), guest.text("x"), 1}), 0);
    EXPECT_EQ(guest.call("chdir", {guest.text("/work")}), 0);
    EXPECT_EQ(guest.call("mkdir", {guest.text("sub")}), 0);
    EXPECT_TRUE(fs::is_directory(guest.root / "work" / "sub"));
}

TEST(Kernel, WritefileReplacesTheWholeFileAndLeavesNoTemporary)
{
    Guest guest;
    const fs::path file = guest.root / "w";
    EXPECT_EQ(guest.call("writefile", {guest.text("/w"), guest.text("new"), 3}), 3);
    EXPECT_EQ(read_file(file), "new");
    write_file(file, "a much longer old content");
    EXPECT_EQ(guest.call("writefile", {guest.text("/w"), guest.text("ab"), 2}), 2);
    EXPECT_EQ(read_file(file), "ab");
    EXPECT_EQ(guest.call("writefile", {guest.text("/w"), guest.text(""), 0}), 0);
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);

    EXPECT_EQ(guest.call("writefile", {guest.text("/none/w"), guest.text("x"), 1}), no_entry);
    fs::create_directory(guest.root / "dir");
    EXPECT_LT(guest.call("writefile", {guest.text("/dir"), guest.text("x"), 1}), 0);
    EXPECT_TRUE(fs::is_directory(guest.root / "dir"));
    EXPECT_LT(guest.call("writefile", {guest.text("/"), guest.text("x"), 1}), 0);

    // Any name the host file system takes can be written, the longest included.
    std::string longest(255, 'n');
    EXPECT_EQ(guest.call("writefile", {guest.text("/" + longest), guest.text("L"), 1}), 1);
    EXPECT_EQ(read_file(guest.root / longest), "L");
    EXPECT_EQ(entries(guest.root.path()), (std::vector<std::string>{"dir", longest, "w"}));
}

TEST(Kernel, StreamedFileAppearsWholeAtItsEndOrNotAtAll)
{
    TempDir root;
    write_file(root / "s", "old");
    {
        GuestCall g(faults_image, root.str());
        auto call = [&](std::string_view f, std::initializer_list<uint32_t> args) {
            return int32_t(g.call_word(f, args));
        };
        int32_t handle = call("yulfs_stream_begin", {g.put_string("/s")});
        ASSERT_GT(handle, 0);
        int32_t other = call("yulfs_stream_begin", {g.put_string("/t")});
        ASSERT_GT(other, 0);
        EXPECT_NE(handle, other);
        EXPECT_EQ(call("yulfs_stream_write", {uint32_t(handle), g.put_string("part1"), 5}), 5);
        EXPECT_EQ(call("yulfs_stream_write", {uint32_t(other), g.put_string("T"), 1}), 1);
        EXPECT_EQ(call("yulfs_stream_write", {uint32_t(handle), g.put_string("part2"), 5}), 5);
        EXPECT_EQ(read_file(root / "s"), "old"); // nothing shows before the end
        EXPECT_FALSE(fs::exists(root / "t"));
        EXPECT_EQ(call("yulfs_stream_end", {uint32_t(handle)}), 0);
        EXPECT_EQ(read_file(root / "s"), "part1part2");
        EXPECT_EQ(call("yulfs_stream_end", {uint32_t(handle)}), bad_descriptor);
        EXPECT_EQ(call("yulfs_stream_write", {uint32_t(handle), g.put_string("x"), 1}),
                  bad_descriptor);
        EXPECT_EQ(call("yulfs_stream_write", {12345, g.put_string("x"), 1}), bad_descriptor);
        EXPECT_EQ(call("yulfs_stream_begin", {g.put_string("/missing/s")}), no_entry);

        // Never ended: the stream to /t and a new one to /s die with the process.
        handle = call("yulfs_stream_begin", {g.put_string("/s")});
        EXPECT_EQ(call("yulfs_stream_write", {uint32_t(handle), g.put_string("junk"), 4}), 4);
    }
    EXPECT_EQ(read_file(root / "s"), "part1part2");
    EXPECT_EQ(entries(root.path()), std::vector<std::string>{"s"});
}

TEST(Kernel, UsleepPausesAtLeastTheTimeAsked)
{
    Guest guest;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(guest.call("usleep", {50000}), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(guest.call("usleep", {0}), 0);
}

TEST(Kernel, UnknownCallNumbersAreRefused)
{
    Guest guest;
    for (uint32_t number : {0u, 7u, 56u, 148u, 151u, 255u, 256u, 1000u, 0xffffffffu})
        EXPECT_EQ(guest.call("kernel_call", {number, 1, 2, 3}), -38) << number;
}

TEST(Kernel, GetkeyReadsOneByteOfStandardInput)
{
    Guest guest;
    EXPECT_EQ(guest.call("getkey", {}), bad_descriptor); // no descriptor 0
    HostPipe in;
    guest.g.real_kernel().descriptors().place(0, std::move(in.read_end));
    ASSERT_EQ(::write(in.write_end.get(), "A\xff\n", 3), 3);
    EXPECT_EQ(guest.call("getkey", {}), 'A');
    EXPECT_EQ(guest.call("getkey", {}), 0xff); // a byte, not a sign-extended -1
    EXPECT_EQ(guest.call("getkey", {}), '\n');
    in.write_end.reset();
    EXPECT_EQ(guest.call("getkey", {}), -1); // end of input
}

// The host refuses to grow files past a size limit; a writefile that hits it fails part-way
// through its write, and the old bytes must survive whole.
TEST(Kernel, FailedWritefileLeavesTheOldBytesAndNoTemporary)
{
    Guest guest;
    const fs::path file = guest.root / "keep";
    write_file(file, "old bytes");
    const std::string big(5000, 'n');
    uint32_t data = guest.text(big);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto saved_signal = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int32_t result = guest.call("writefile", {guest.text("/keep"), data, 5000});
    int32_t streamed = guest.call("yulfs_stream_begin", {guest.text("/keep")});
    int32_t stream_write = guest.call("yulfs_stream_write", {uint32_t(streamed), data, 5000});
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_signal);
    EXPECT_EQ(result, -27);
    EXPECT_LT(stream_write, 0);
    EXPECT_EQ(read_file(file), "old bytes");
    // The stream's file has no name until it is ended.
    EXPECT_EQ(entries(guest.root.path()), std::vector<std::string>{"keep"});
    // The stream lost bytes: ending it must not put a part in place of the old file.
    EXPECT_EQ(guest.call("yulfs_stream_end", {uint32_t(streamed)}), -27);
    EXPECT_EQ(read_file(file), "old bytes");
    EXPECT_EQ(entries(guest.root.path()), std::vector<std::string>{"keep"});
}

// A reader racing the writer sees either the old or the new file, never a mix or a part.
TEST(Kernel, ReadersSeeTheOldOrTheNewFileWhole)
{
    Guest guest;
    const fs::path file = guest.root / "race";
    const std::string a(65536, 'a'), b(65536, 'b');
    write_file(file, a);
    uint32_t a_data = guest.text(a), b_data = guest.text(b), path = guest.text("/race");
    std::atomic<bool> done = false;
    std::atomic<int> torn = 0, reads = 0;
    std::thread reader([&] {
        while (!done) {
            std::string seen = read_file(file);
            if (seen != a && seen != b) ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(guest.call("writefile", {path, i % 2 ? a_data : b_data, 65536}), 65536);
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(entries(guest.root.path()), std::vector<std::string>{"race"});
}

// Spawning checks the image before any child is started, and does not wait on a FIFO.
TEST(Kernel, SpawnRefusesWhatIsNotAnImage)
{
    Guest guest;
    for (int fd = 0; fd < 3; ++fd)
        guest.g.real_kernel().descriptors().place(fd, UniqueFd(::open("/dev/null", O_RDWR)));
    write_file(guest.root / "garbage", std::string(100, 'g'));
    fs::create_directory(guest.root / "dir");
    ASSERT_EQ(mkfifo((guest.root / "fifo").c_str(), 0644), 0);
    auto spawn = [&](std::string_view path) {
        uint32_t text = guest.text(path);
        return guest.call("spawn", {text, guest.g.put_words({text}), 1});
    };
    EXPECT_EQ(spawn("/missing"), no_entry);
    EXPECT_EQ(spawn("/garbage"), -8);
    EXPECT_EQ(spawn("/dir"), -21);
    EXPECT_EQ(spawn("/fifo"), -13);
    EXPECT_EQ(guest.call("fd_set_stdio", {0, 1, 9}), bad_descriptor);
}
