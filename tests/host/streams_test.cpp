// The stream layer in a fresh guest process per test, its kernel calls scripted and
// recorded: standard streams, byte writes and reads, fopen/fclose of every kind, memory-stream
// growth and exhaustion, positioning, and the refusal of growths that do not fit in 32 bits.
#include "guest_call.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <yulos_kernel.h>

namespace {

using yulos::GuestCall;
using yulos::KernelCallRecord;
using namespace stream_test;

const std::string image = YULOS_GUEST_DIR "/test_runtime";

constexpr uint32_t stream_fd = 1;
constexpr uint32_t stream_mem = 2;
constexpr uint32_t stream_writefile = 3;

constexpr uint32_t failed = 0xFFFFFFFFu; // -1 as a word

// The eleven words of a stream record.
struct Record {
    uint32_t kind, fd, path, buf, len, cap, user_buf, user_size, error, pos, eof;
    bool operator==(const Record&) const = default;
};

Record record(const GuestCall& g, uint32_t stream)
{
    Record r{};
    uint32_t* fields[] = {&r.kind,     &r.fd,        &r.path,  &r.buf, &r.len, &r.cap,
                          &r.user_buf, &r.user_size, &r.error, &r.pos, &r.eof};
    for (uint32_t i = 0; i < 11; ++i) *fields[i] = g.read_u32(stream + 4 * i);
    return r;
}

std::vector<std::string> write_texts(GuestCall& g)
{
    std::vector<std::string> texts;
    for (const auto& call : g.kernel().calls_numbered(SYS_WRITE)) texts.push_back(call.text());
    return texts;
}

int32_t word_call(GuestCall& g, std::string_view name, std::initializer_list<uint32_t> args)
{
    return static_cast<int32_t>(g.call_word(name, args));
}

// open answers `fd`; lseek answers as for a 100-byte file: the offset itself from the start
// (whence 0), the offset from the end otherwise; everything else as the scripted kernel does.
void serve_files(GuestCall& g, int32_t fd)
{
    g.kernel().answer = [fd](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_OPEN) return fd;
        if (call.eax == SYS_LSEEK) {
            int32_t offset = static_cast<int32_t>(call.ecx);
            return call.edx == 0 ? offset : 100 + offset;
        }
        return std::nullopt;
    };
}

uint32_t fopen_read(GuestCall& g, int32_t fd)
{
    serve_files(g, fd);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/file"), g.put_string("r")});
    EXPECT_NE(f, 0u);
    return f;
}

// ---------------------------------------------------------------------------------------------
// Standard streams and console writes

TEST(Streams, StandardStreamsAreStaticDescriptorRecords)
{
    GuestCall g(image);
    EXPECT_EQ(current(g, "stdin"), g.symbol("g_stdin"));
    EXPECT_EQ(current(g, "stdout"), g.symbol("g_stdout"));
    EXPECT_EQ(current(g, "stderr"), g.symbol("g_stderr"));
    EXPECT_EQ(record(g, g.symbol("g_stdin")), (Record{stream_fd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(record(g, g.symbol("g_stdout")), (Record{stream_fd, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(record(g, g.symbol("g_stderr")), (Record{stream_fd, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Streams, FputsToStdoutIsOneWriteToDescriptorOne)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("abc"), current(g, "stdout")}), 3);
    auto writes = g.kernel().calls_numbered(SYS_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].ebx, 1u);
    EXPECT_EQ(writes[0].edx, 3u);
    EXPECT_EQ(writes[0].text(), "abc");
}

TEST(Streams, WritesToStdinFailButEmptyWritesSucceed)
{
    GuestCall g(image);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("abc"), in}), -1);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string(""), in}), 0);
    EXPECT_EQ(word_call(g, "fputc", {'x', in}), -1);
    EXPECT_EQ(word_call(g, "fwrite", {g.put_string("abc"), 1, 3, in}), 0);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, StderrWritesToDescriptorOne)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("oops"), current(g, "stderr")}), 4);
    auto writes = g.kernel().calls_numbered(SYS_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].ebx, 1u);
    EXPECT_EQ(writes[0].text(), "oops");
}

TEST(Streams, FputcWritesTheLowByteAndReturnsTheArgument)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "fputc", {321, current(g, "stdout")}), 321);
    EXPECT_EQ(word_call(g, "putchar", {0x10A}), 0x10A);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"A", "\n"}));
}

TEST(Streams, PutsWritesTheTextThenALineFeed)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "puts", {g.put_string("hello")}), 0);
    EXPECT_EQ(word_call(g, "puts", {g.put_string("")}), 0);
    EXPECT_EQ(word_call(g, "puts", {0}), -1);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"hello", "\n", "\n"}));
}

TEST(Streams, PutsStopsWhenTheTextFails)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITE) return -5;
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "puts", {g.put_string("hello")}), -1);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"hello"}));
}

TEST(Streams, PutsFailsWhenTheLineFeedFails)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITE && call.text() == "\n") return 0;
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "puts", {g.put_string("hi")}), -1);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"hi", "\n"}));
}

TEST(Streams, PutsAndPutcharFollowTheStdoutVariable)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    g.write_u32(g.symbol("stdout"), m.stream);
    EXPECT_EQ(word_call(g, "puts", {g.put_string("ab")}), 0);
    EXPECT_EQ(word_call(g, "putchar", {'c'}), 'c');
    EXPECT_TRUE(g.kernel().calls.empty());
    EXPECT_EQ(g.read_string(g.read_u32(m.bufp)), "ab\nc");
    EXPECT_EQ(g.read_u32(m.sizep), 4u);

    g.write_u32(g.symbol("stdout"), 0);
    EXPECT_EQ(word_call(g, "puts", {g.put_string("ab")}), -1);
    EXPECT_EQ(word_call(g, "putchar", {'c'}), -1);
}

TEST(Streams, ConsoleWritesLoopOverShortCounts)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITE) return call.edx > 2 ? 2 : static_cast<int32_t>(call.edx);
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("hello"), current(g, "stdout")}), 5);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"hello", "llo", "o"}));
}

TEST(Streams, ConsoleWriteOfNothingEndsWithFailure)
{
    GuestCall g(image);
    int turn = 0;
    g.kernel().answer = [&turn](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITE) return ++turn == 1 ? 2 : 0;
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "fwrite", {g.put_string("hello"), 1, 5, current(g, "stdout")}), 0);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"hello", "llo"}));
}

TEST(Streams, FwriteReturnsTheItemCount)
{
    GuestCall g(image);
    uint32_t out = current(g, "stdout");
    uint32_t text = g.put_string("abcdef");
    EXPECT_EQ(word_call(g, "fwrite", {text, 2, 3, out}), 3);
    EXPECT_EQ(word_call(g, "fwrite", {0, 2, 3, out}), 0);
    EXPECT_EQ(word_call(g, "fwrite", {text, 0, 3, out}), 0);
    EXPECT_EQ(word_call(g, "fwrite", {text, 2, 0, out}), 0);
    EXPECT_EQ(word_call(g, "fwrite", {text, 2, 3, 0}), 0);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"abcdef"}));
}

TEST(Streams, FwriteWhoseProductOverflowsWritesNothing)
{
    GuestCall g(image);
    uint32_t text = g.put_string("abc");
    EXPECT_EQ(word_call(g, "fwrite", {text, 0x10000, 0x10000, current(g, "stdout")}), 0);
    EXPECT_EQ(word_call(g, "fwrite", {text, 3, 0x55555556, current(g, "stdout")}), 0);
    EXPECT_TRUE(g.kernel().calls.empty());

    MemStream m = open_mem(g);
    uint32_t used = g.read_u32(g.symbol("g_heap_used"));
    EXPECT_EQ(word_call(g, "fwrite", {text, 0x10000, 0x10000, m.stream}), 0);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), used);
    EXPECT_EQ(record(g, m.stream).len, 0u);
}

TEST(Streams, FflushAndSetbufDoNothing)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "fflush", {0}), 0);
    EXPECT_EQ(word_call(g, "fflush", {current(g, "stdout")}), 0);
    Record before = record(g, g.symbol("g_stdout"));
    g.call_word("setbuf", {current(g, "stdout"), g.alloc(64)});
    EXPECT_EQ(record(g, g.symbol("g_stdout")), before);
    EXPECT_TRUE(g.kernel().calls.empty());
}

// ---------------------------------------------------------------------------------------------
// fopen and fclose

TEST(Streams, FopenWithoutARealPathGivesTheStandardStreams)
{
    GuestCall g(image);
    uint32_t r = g.put_string("r"), w = g.put_string("wb"), a = g.put_string("a");
    uint32_t dash = g.put_string("-");
    EXPECT_EQ(g.call_word("fopen", {0, r}), current(g, "stdin"));
    EXPECT_EQ(g.call_word("fopen", {dash, r}), current(g, "stdin"));
    EXPECT_EQ(g.call_word("fopen", {dash, w}), current(g, "stdout"));
    EXPECT_EQ(g.call_word("fopen", {0, w}), current(g, "stdout"));
    EXPECT_EQ(g.call_word("fopen", {dash, a}), 0u);
    EXPECT_EQ(g.call_word("fopen", {dash, 0}), 0u);

    // The pointer variables are read at each call.
    uint32_t other = g.alloc(44);
    g.write_u32(g.symbol("stdin"), other);
    EXPECT_EQ(g.call_word("fopen", {dash, r}), other);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, FopenRefusesOtherModes)
{
    GuestCall g(image);
    uint32_t path = g.put_string("/data/file");
    EXPECT_EQ(g.call_word("fopen", {path, g.put_string("a")}), 0u);
    EXPECT_EQ(g.call_word("fopen", {path, g.put_string("")}), 0u);
    EXPECT_EQ(g.call_word("fopen", {path, g.put_string("x")}), 0u);
    EXPECT_EQ(g.call_word("fopen", {path, 0}), 0u);
    EXPECT_TRUE(g.kernel().calls.empty());
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 0u);
}

TEST(Streams, FopenForReadingOpensTheFile)
{
    GuestCall g(image);
    serve_files(g, 7);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/file"), g.put_string("rb")});
    ASSERT_NE(f, 0u);
    auto opens = g.kernel().calls_numbered(SYS_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text(), "/data/file");
    EXPECT_EQ(opens[0].ecx, 0u);
    EXPECT_EQ(opens[0].edx, 0u);
    EXPECT_EQ(record(g, f), (Record{stream_fd, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Streams, FopenForReadingFailsWhenOpenFails)
{
    GuestCall g(image);
    serve_files(g, -2);
    EXPECT_EQ(g.call_word("fopen", {g.put_string("/nope"), g.put_string("r+")}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 0u);
}

TEST(Streams, FopenForReadingClosesTheDescriptorWhenTheHeapIsFull)
{
    GuestCall g(image);
    ASSERT_NE(g.call_word("malloc", {1048572}), 0u);
    serve_files(g, 9);
    EXPECT_EQ(g.call_word("fopen", {g.put_string("/data/file"), g.put_string("r")}), 0u);
    auto closes = g.kernel().calls_numbered(SYS_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].ebx, 9u);
}

TEST(Streams, FopenForWritingCopiesThePathAndTouchesNoFile)
{
    GuestCall g(image);
    uint32_t path = g.put_string("/data/out");
    uint32_t f = g.call_word("fopen", {path, g.put_string("w+")});
    ASSERT_NE(f, 0u);
    EXPECT_TRUE(g.kernel().calls.empty());
    Record r = record(g, f);
    EXPECT_EQ(r.kind, stream_writefile);
    EXPECT_EQ(r.fd, 0u);
    EXPECT_NE(r.path, path);
    EXPECT_EQ(g.read_string(r.path), "/data/out");
    EXPECT_EQ(r.buf, 0u);
    EXPECT_EQ(r.len, 0u);
    EXPECT_EQ(r.cap, 0u);
}

TEST(Streams, FopenForWritingFailsWhenThePathCannotBeCopied)
{
    GuestCall g(image);
    // Leaves exactly the 48 bytes of one record: the path copy cannot follow.
    ASSERT_NE(g.call_word("malloc", {1048576 - 48 - 4}), 0u);
    EXPECT_EQ(g.call_word("fopen", {g.put_string("/data/out"), g.put_string("w")}), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 1048576u);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, FcloseOfAWriteStreamWritesTheWholeFile)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/out"), g.put_string("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("hello"), f}), 5);
    EXPECT_EQ(word_call(g, "fwrite", {g.put_string(" world"), 1, 6, f}), 6);
    EXPECT_EQ(word_call(g, "fputc", {'!', f}), '!');
    EXPECT_TRUE(g.kernel().calls.empty()); // nothing reaches the kernel before fclose

    EXPECT_EQ(word_call(g, "fclose", {f}), 0);
    ASSERT_EQ(g.kernel().calls.size(), 1u);
    const KernelCallRecord& call = g.kernel().calls[0];
    EXPECT_EQ(call.eax, SYS_WRITEFILE);
    EXPECT_EQ(call.text(), "/data/out");
    EXPECT_EQ(call.edx, 12u);
    auto bytes = g.read(call.ecx, call.edx);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "hello world!");
}

TEST(Streams, FcloseOfAnUnwrittenWriteStreamWritesAnEmptyFile)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/empty"), g.put_string("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(word_call(g, "fclose", {f}), 0);
    ASSERT_EQ(g.kernel().calls.size(), 1u);
    const KernelCallRecord& call = g.kernel().calls[0];
    EXPECT_EQ(call.eax, SYS_WRITEFILE);
    EXPECT_EQ(call.text(), "/data/empty");
    EXPECT_NE(call.ecx, 0u);
    EXPECT_EQ(call.edx, 0u);
}

TEST(Streams, AWriteStreamNeverClosedWritesNothing)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/out"), g.put_string("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("lost"), f}), 4);
    auto outcome = g.call("exit", {0});
    EXPECT_EQ(outcome.kind, yulos::CallOutcome::Kind::exited);
    EXPECT_TRUE(g.kernel().calls_numbered(SYS_WRITEFILE).empty());
    EXPECT_TRUE(g.kernel().calls_numbered(SYS_WRITE).empty());
}

TEST(Streams, FcloseReportsAFailedWritefile)
{
    GuestCall g(image);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_WRITEFILE) return -7;
        return std::nullopt;
    };
    uint32_t f = g.call_word("fopen", {g.put_string("/data/out"), g.put_string("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(word_call(g, "fclose", {f}), -1);
}

TEST(Streams, FcloseOfAWriteStreamWithoutPathFails)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/data/out"), g.put_string("w")});
    ASSERT_NE(f, 0u);
    g.write_u32(f + 8, 0);
    EXPECT_EQ(word_call(g, "fclose", {f}), -1);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, FcloseOfAReadStreamClosesItsDescriptor)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 6);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_CLOSE) return -9;
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "fclose", {f}), -9);
    auto closes = g.kernel().calls_numbered(SYS_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].ebx, 6u);
}

TEST(Streams, FcloseLeavesDescriptorsZeroToTwoOpen)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 2);
    EXPECT_EQ(word_call(g, "fclose", {f}), 0);
    EXPECT_TRUE(g.kernel().calls_numbered(SYS_CLOSE).empty());
}

TEST(Streams, FcloseOfAStandardStreamDoesNothing)
{
    GuestCall g(image);
    EXPECT_EQ(word_call(g, "fclose", {0}), -1);
    EXPECT_EQ(word_call(g, "fclose", {current(g, "stdout")}), 0);
    EXPECT_EQ(word_call(g, "fclose", {current(g, "stdin")}), 0);
    EXPECT_EQ(word_call(g, "fclose", {current(g, "stderr")}), 0);
    EXPECT_TRUE(g.kernel().calls.empty());
    EXPECT_EQ(word_call(g, "puts", {g.put_string("still")}), 0);
    EXPECT_EQ(write_texts(g), (std::vector<std::string>{"still", "\n"}));
}

TEST(Streams, FcloseOfAMemoryStreamLeavesTheCallersBuffer)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("kept"), m.stream}), 4);
    uint32_t buf = g.read_u32(m.bufp);
    EXPECT_EQ(word_call(g, "fclose", {m.stream}), 0);
    EXPECT_TRUE(g.kernel().calls.empty());
    EXPECT_EQ(g.read_u32(m.bufp), buf);
    EXPECT_EQ(g.read_u32(m.sizep), 4u);
    EXPECT_EQ(g.read_string(buf), "kept");

    MemStream never = open_mem(g);
    EXPECT_EQ(word_call(g, "fclose", {never.stream}), 0);
    EXPECT_EQ(g.read_u32(never.bufp), 0u);
    EXPECT_EQ(g.read_u32(never.sizep), 0u);
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST(Streams, FreadOfFewerBytesSetsEof)
{
    GuestCall g(image);
    for (char c : std::string("12345")) g.kernel().input.push_back(static_cast<uint8_t>(c));
    uint32_t buffer = g.alloc(100);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fread", {buffer, 1, 100, in}), 5);
    EXPECT_EQ(g.read_string(buffer), "12345");
    Record r = record(g, in);
    EXPECT_EQ(r.eof, 1u);
    EXPECT_EQ(r.pos, 5u);
    EXPECT_EQ(r.error, 0u);
    auto reads = g.kernel().calls_numbered(SYS_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].ebx, 0u);
    EXPECT_EQ(reads[0].edx, 100u);
}

TEST(Streams, FreadReportsWholeItemsOnly)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 5);
    for (int i = 0; i < 10; ++i) g.kernel().input.push_back(static_cast<uint8_t>('a' + i));
    uint32_t buffer = g.alloc(16);
    EXPECT_EQ(word_call(g, "fread", {buffer, 4, 3, f}), 2);
    EXPECT_EQ(g.read_string(buffer), "abcdefghij");
    Record r = record(g, f);
    EXPECT_EQ(r.pos, 10u);
    EXPECT_EQ(r.eof, 1u);
    auto reads = g.kernel().calls_numbered(SYS_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].ebx, 5u);
    EXPECT_EQ(reads[0].edx, 12u);
}

TEST(Streams, FreadOfAFullCountLeavesEofClear)
{
    GuestCall g(image);
    for (int i = 0; i < 8; ++i) g.kernel().input.push_back(static_cast<uint8_t>('a' + i));
    uint32_t buffer = g.alloc(16);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fread", {buffer, 2, 3, in}), 3);
    EXPECT_EQ(record(g, in).eof, 0u);
    EXPECT_EQ(record(g, in).pos, 6u);
}

TEST(Streams, FreadAtEndOfInputOrOnErrorSetsEof)
{
    GuestCall g(image);
    uint32_t buffer = g.alloc(16);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fread", {buffer, 1, 4, in}), 0);
    EXPECT_EQ(record(g, in).eof, 1u);
    EXPECT_EQ(record(g, in).pos, 0u);

    GuestCall h(image);
    h.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_READ) return -3;
        return std::nullopt;
    };
    uint32_t hin = current(h, "stdin");
    EXPECT_EQ(word_call(h, "fread", {h.alloc(16), 1, 4, hin}), 0);
    EXPECT_EQ(record(h, hin).eof, 1u);
    EXPECT_EQ(record(h, hin).error, 0u);
    EXPECT_EQ(record(h, hin).pos, 0u);
}

TEST(Streams, FreadRefusals)
{
    GuestCall g(image);
    uint32_t buffer = g.alloc(16);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fread", {0, 1, 4, in}), 0);
    EXPECT_EQ(word_call(g, "fread", {buffer, 0, 4, in}), 0);
    EXPECT_EQ(word_call(g, "fread", {buffer, 1, 0, in}), 0);
    EXPECT_EQ(word_call(g, "fread", {buffer, 1, 4, 0}), 0);
    EXPECT_EQ(word_call(g, "fread", {buffer, 0x10000, 0x10000, in}), 0);
    MemStream m = open_mem(g);
    EXPECT_EQ(word_call(g, "fread", {buffer, 1, 4, m.stream}), 0);
    EXPECT_EQ(word_call(g, "fgetc", {m.stream}), -1);
    EXPECT_EQ(word_call(g, "fgetc", {0}), -1);
    uint32_t w = g.call_word("fopen", {g.put_string("/o"), g.put_string("w")});
    EXPECT_EQ(word_call(g, "fgetc", {w}), -1);
    EXPECT_TRUE(g.kernel().calls.empty());
    EXPECT_EQ(record(g, in).eof, 0u);
    EXPECT_EQ(record(g, m.stream).eof, 0u);
    EXPECT_EQ(record(g, w).eof, 0u);
}

TEST(Streams, FgetcReadsOneByteAtATime)
{
    GuestCall g(image);
    g.kernel().input = {'x', 0xFF};
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "fgetc", {in}), 'x');
    EXPECT_EQ(word_call(g, "getchar", {}), 255);
    EXPECT_EQ(record(g, in).pos, 2u);
    EXPECT_EQ(record(g, in).eof, 0u);
    EXPECT_EQ(word_call(g, "fgetc", {in}), -1);
    EXPECT_EQ(record(g, in).eof, 1u);
    EXPECT_EQ(record(g, in).pos, 2u);

    // eof never blocks a later read: the kernel is asked again.
    g.kernel().input = {'y'};
    EXPECT_EQ(word_call(g, "getchar", {}), 'y');
    EXPECT_EQ(record(g, in).eof, 1u);
    auto reads = g.kernel().calls_numbered(SYS_READ);
    ASSERT_EQ(reads.size(), 4u);
    for (const auto& call : reads) {
        EXPECT_EQ(call.ebx, 0u);
        EXPECT_EQ(call.edx, 1u);
    }
}

TEST(Streams, GetcharFollowsTheStdinVariable)
{
    GuestCall g(image);
    g.write_u32(g.symbol("stdin"), 0);
    EXPECT_EQ(word_call(g, "getchar", {}), -1);
    EXPECT_TRUE(g.kernel().calls.empty());

    uint32_t f = fopen_read(g, 8);
    g.write_u32(g.symbol("stdin"), f);
    g.kernel().input = {'q'};
    EXPECT_EQ(word_call(g, "getchar", {}), 'q');
    auto reads = g.kernel().calls_numbered(SYS_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].ebx, 8u);
}

// ---------------------------------------------------------------------------------------------
// Positioning and flags

TEST(Streams, PositioningRefusesStandardAndBufferingStreams)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t w = g.call_word("fopen", {g.put_string("/o"), g.put_string("w")});
    for (uint32_t s :
         {current(g, "stdin"), current(g, "stdout"), current(g, "stderr"), m.stream, w, 0u}) {
        EXPECT_EQ(word_call(g, "fseek", {s, 0, 0}), -1);
        EXPECT_EQ(word_call(g, "ftell", {s}), -1);
    }
    uint32_t low = fopen_read(g, 2);
    EXPECT_EQ(word_call(g, "fseek", {low, 0, 0}), -1);
    EXPECT_EQ(word_call(g, "ftell", {low}), -1);
    EXPECT_TRUE(g.kernel().calls_numbered(SYS_LSEEK).empty());
}

TEST(Streams, FseekThenReadMovesFtell)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 5);
    EXPECT_EQ(word_call(g, "ftell", {f}), 0);
    EXPECT_EQ(word_call(g, "fseek", {f, 100, 0}), 0);
    auto seeks = g.kernel().calls_numbered(SYS_LSEEK);
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].ebx, 5u);
    EXPECT_EQ(seeks[0].ecx, 100u);
    EXPECT_EQ(seeks[0].edx, 0u);
    for (int i = 0; i < 10; ++i) g.kernel().input.push_back('z');
    EXPECT_EQ(word_call(g, "fread", {g.alloc(16), 1, 10, f}), 10);
    EXPECT_EQ(word_call(g, "ftell", {f}), 110);
    EXPECT_EQ(g.kernel().calls_numbered(SYS_LSEEK).size(), 1u); // ftell makes no call
}

TEST(Streams, FseekPassesWhenceThroughAndClearsOnlyEof)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 5);
    g.write_u32(f + 32, 1); // error
    g.write_u32(f + 40, 1); // eof
    EXPECT_EQ(word_call(g, "fseek", {f, static_cast<uint32_t>(-4), 2}), 0);
    auto seeks = g.kernel().calls_numbered(SYS_LSEEK);
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].ecx, static_cast<uint32_t>(-4));
    EXPECT_EQ(seeks[0].edx, 2u);
    Record r = record(g, f);
    EXPECT_EQ(r.pos, 96u);
    EXPECT_EQ(r.eof, 0u);
    EXPECT_EQ(r.error, 1u);
}

TEST(Streams, FailedFseekChangesNothing)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 5);
    g.kernel().input = {'a', 'b', 'c'};
    EXPECT_EQ(word_call(g, "fread", {g.alloc(8), 1, 8, f}), 3);
    Record before = record(g, f);
    g.kernel().answer = [](const KernelCallRecord& call) -> std::optional<int32_t> {
        if (call.eax == SYS_LSEEK) return -1;
        return std::nullopt;
    };
    EXPECT_EQ(word_call(g, "fseek", {f, 0, 0}), -1);
    EXPECT_EQ(record(g, f), before);
    g.call_word("rewind", {f});
    Record after = record(g, f);
    EXPECT_EQ(after.pos, 3u);
    EXPECT_EQ(after.eof, 0u);
}

TEST(Streams, RewindSeeksToTheStartAndClearsTheFlags)
{
    GuestCall g(image);
    uint32_t f = fopen_read(g, 5);
    EXPECT_EQ(word_call(g, "fseek", {f, 40, 0}), 0);
    g.write_u32(f + 32, 1);
    g.write_u32(f + 40, 1);
    g.call_word("rewind", {f});
    auto seeks = g.kernel().calls_numbered(SYS_LSEEK);
    ASSERT_EQ(seeks.size(), 2u);
    EXPECT_EQ(seeks[1].ebx, 5u);
    EXPECT_EQ(seeks[1].ecx, 0u);
    EXPECT_EQ(seeks[1].edx, 0u);
    Record r = record(g, f);
    EXPECT_EQ(r.pos, 0u);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.eof, 0u);
}

TEST(Streams, RewindOfOtherStreamsOnlyClearsTheFlags)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t in = current(g, "stdin");
    for (uint32_t s : {in, m.stream}) {
        g.write_u32(s + 32, 1);
        g.write_u32(s + 40, 1);
        g.call_word("rewind", {s});
        EXPECT_EQ(record(g, s).error, 0u);
        EXPECT_EQ(record(g, s).eof, 0u);
    }
    g.call_word("rewind", {0});
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, FeofAndFerror)
{
    GuestCall g(image);
    uint32_t in = current(g, "stdin");
    EXPECT_EQ(word_call(g, "feof", {0}), 1);
    EXPECT_EQ(word_call(g, "ferror", {0}), 1);
    EXPECT_EQ(word_call(g, "feof", {in}), 0);
    EXPECT_EQ(word_call(g, "ferror", {in}), 0);
    EXPECT_EQ(word_call(g, "fgetc", {in}), -1);
    EXPECT_EQ(word_call(g, "feof", {in}), 1);
    EXPECT_EQ(word_call(g, "ferror", {in}), 0);
    MemStream m = open_mem(g);
    EXPECT_EQ(word_call(g, "ferror", {m.stream}), 0);
    EXPECT_EQ(word_call(g, "feof", {m.stream}), 0);
}

// ---------------------------------------------------------------------------------------------
// Memory streams

TEST(Streams, OpenMemstreamResetsTheCallersVariables)
{
    GuestCall g(image);
    uint32_t bufp = g.alloc(4), sizep = g.alloc(4);
    g.write_u32(bufp, 0x1234);
    g.write_u32(sizep, 99);
    EXPECT_EQ(g.call_word("open_memstream", {0, sizep}), 0u);
    EXPECT_EQ(g.call_word("open_memstream", {bufp, 0}), 0u);
    EXPECT_EQ(g.read_u32(bufp), 0x1234u);
    EXPECT_EQ(g.read_u32(sizep), 99u);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 0u);

    uint32_t s = g.call_word("open_memstream", {bufp, sizep});
    ASSERT_NE(s, 0u);
    EXPECT_EQ(g.read_u32(bufp), 0u);
    EXPECT_EQ(g.read_u32(sizep), 0u);
    EXPECT_EQ(record(g, s), (Record{stream_mem, 0, 0, 0, 0, 0, bufp, sizep, 0, 0, 0}));
}

TEST(Streams, OpenMemstreamOnAFullHeapLeavesTheVariables)
{
    GuestCall g(image);
    ASSERT_NE(g.call_word("malloc", {1048572}), 0u);
    uint32_t bufp = g.alloc(4), sizep = g.alloc(4);
    g.write_u32(bufp, 0x1234);
    g.write_u32(sizep, 99);
    EXPECT_EQ(g.call_word("open_memstream", {bufp, sizep}), 0u);
    EXPECT_EQ(g.read_u32(bufp), 0x1234u);
    EXPECT_EQ(g.read_u32(sizep), 99u);
}

TEST(Streams, MemoryStreamShowsEveryWrite)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    EXPECT_EQ(word_call(g, "fwrite", {g.put_string("hello"), 1, 5, m.stream}), 5);
    uint32_t first = g.read_u32(m.bufp);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(g.read_u32(m.sizep), 5u);
    EXPECT_EQ(g.read_string(first), "hello");
    Record r = record(g, m.stream);
    EXPECT_EQ(r.buf, first);
    EXPECT_EQ(r.len, 5u);
    EXPECT_EQ(r.cap, 256u);
    EXPECT_EQ(g.read_u32(first - 4), 256u); // the heap block's size word

    // An empty write touches nothing, even with a pointer that cannot be read.
    EXPECT_EQ(word_call(g, "fwrite", {g.put_string(""), 1, 0, m.stream}), 0);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string(""), m.stream}), 0);
    EXPECT_EQ(record(g, m.stream), r);
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, FirstBufferHoldsAtMost255Bytes)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    std::vector<uint8_t> bytes(255, 'a');
    EXPECT_EQ(word_call(g, "fwrite", {g.put_bytes(bytes), 1, 255, m.stream}), 255);
    uint32_t first = g.read_u32(m.bufp);
    EXPECT_EQ(record(g, m.stream).cap, 256u);
    EXPECT_EQ(g.read_u32(m.sizep), 255u);

    EXPECT_EQ(word_call(g, "fputc", {'b', m.stream}), 'b');
    uint32_t second = g.read_u32(m.bufp);
    EXPECT_NE(second, first);
    EXPECT_EQ(record(g, m.stream).cap, 512u);
    EXPECT_EQ(record(g, m.stream).buf, second);
    EXPECT_EQ(g.read_u32(m.sizep), 256u);
    EXPECT_EQ(g.read_string(second), std::string(255, 'a') + "b");
}

TEST(Streams, FirstWriteCapacities)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {1, 256}, {255, 256}, {256, 512}, {300, 512}, {511, 512}, {1023, 1024}, {1024, 2048}};
    for (auto [count, cap] : cases) {
        GuestCall g(image);
        MemStream m = open_mem(g);
        std::vector<uint8_t> bytes(count, 'x');
        EXPECT_EQ(word_call(g, "fwrite", {g.put_bytes(bytes), 1, count, m.stream}),
                  static_cast<int32_t>(count));
        Record r = record(g, m.stream);
        EXPECT_EQ(r.cap, cap) << count;
        EXPECT_EQ(r.len, count);
        EXPECT_EQ(g.read_u32(m.sizep), count);
        EXPECT_EQ(g.read(r.buf + count, 1)[0], 0u); // the NUL after the text
    }
}

TEST(Streams, WriteStreamGrowsLikeAMemoryStreamButShowsNothing)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/o"), g.put_string("w")});
    std::vector<uint8_t> bytes(600, 'y');
    EXPECT_EQ(word_call(g, "fwrite", {g.put_bytes(bytes), 1, 600, f}), 600);
    Record r = record(g, f);
    EXPECT_EQ(r.cap, 1024u);
    EXPECT_EQ(r.len, 600u);
    EXPECT_EQ(r.user_buf, 0u);
    EXPECT_EQ(r.user_size, 0u);
    EXPECT_EQ(g.read_string(r.buf), std::string(600, 'y'));
}

// Brings a fresh memory stream to the state of 524,287 one-byte writes in a few calls: the same
// series of growths (each chunk fills the buffer to one byte short of its capacity), hence the
// same heap.
TEST(Streams, MemoryStreamExhaustsTheHeapAt524287Bytes)
{
    GuestCall g(image);
    ASSERT_EQ(g.read_u32(g.symbol("g_heap_used")), 0u);
    MemStream m = open_mem(g);
    std::vector<uint8_t> pattern(262144);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>('a' + i % 26);
    uint32_t source = g.put_bytes(pattern);

    uint32_t len = 0;
    for (uint32_t cap = 256; cap <= 524288; cap *= 2) {
        uint32_t chunk = cap - 1 - len;
        ASSERT_EQ(word_call(g, "fwrite", {source, 1, chunk, m.stream}),
                  static_cast<int32_t>(chunk));
        len += chunk;
        ASSERT_EQ(record(g, m.stream).cap, cap);
    }
    ASSERT_EQ(len, 524287u);
    // 48 for the record, then 256 + 8, 512 + 8, ..., 524288 + 8 for the buffers.
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), 48u + 256u * 4095u + 12u * 8u);

    Record before = record(g, m.stream);
    EXPECT_EQ(before.len, 524287u);
    EXPECT_EQ(g.read_u32(m.sizep), 524287u);
    EXPECT_EQ(g.read_u32(m.bufp), before.buf);
    uint32_t used = g.read_u32(g.symbol("g_heap_used"));
    auto text_before = g.read(before.buf, before.len + 1);

    // The next byte needs a 1 MiB buffer, which the heap refuses.
    EXPECT_EQ(word_call(g, "fputc", {'!', m.stream}), -1);
    EXPECT_EQ(record(g, m.stream), before);
    EXPECT_EQ(g.read_u32(m.sizep), 524287u);
    EXPECT_EQ(g.read_u32(m.bufp), before.buf);
    EXPECT_EQ(g.read(before.buf, before.len + 1), text_before);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), used);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 12u);

    // Every further write needs the same growth: the buffer is full up to its NUL.
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("x"), m.stream}), -1);
    EXPECT_EQ(record(g, m.stream), before);
}

// The same, literally: 524,287 calls of fputc (a few seconds).
TEST(Streams, MemoryStreamWrittenByteByByteAccepts524287Bytes)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t accepted = 0;
    for (;;) {
        int32_t result = word_call(g, "fputc", {'a' + accepted % 26, m.stream});
        if (result == -1) break;
        ASSERT_EQ(result, static_cast<int32_t>('a' + accepted % 26));
        ++accepted;
        ASSERT_LE(accepted, 524287u);
    }
    EXPECT_EQ(accepted, 524287u);
    Record r = record(g, m.stream);
    EXPECT_EQ(r.cap, 524288u);
    EXPECT_EQ(r.len, 524287u);
    EXPECT_EQ(g.read_u32(m.sizep), 524287u);
    EXPECT_EQ(g.read_u32(m.bufp), r.buf);
    auto text = g.read(r.buf, r.len + 1);
    EXPECT_EQ(text[0], 'a');
    EXPECT_EQ(text[524286], 'a' + 524286 % 26);
    EXPECT_EQ(text[524287], 0);
    EXPECT_EQ(g.read_u32(g.symbol("errno")), 12u);
}

// ---------------------------------------------------------------------------------------------
// Growths that do not fit in 32 bits

// A memory stream holding "abc" and the state around it, to show that nothing changes.
struct Snapshot {
    Record record;
    uint32_t user_buf, user_size, heap_used, error_code;
    std::vector<uint8_t> text;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(GuestCall& g, const MemStream& m)
{
    Snapshot s;
    s.record = record(g, m.stream);
    s.user_buf = g.read_u32(m.bufp);
    s.user_size = g.read_u32(m.sizep);
    s.heap_used = g.read_u32(g.symbol("g_heap_used"));
    s.error_code = g.read_u32(g.symbol("errno"));
    s.text = g.read(s.record.buf, s.record.cap);
    return s;
}

MemStream mem_with_abc(GuestCall& g)
{
    MemStream m = open_mem(g);
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("abc"), m.stream}), 3);
    return m;
}

TEST(Streams, HugeCountOnAMemoryStreamIsRefused)
{
    GuestCall g(image);
    MemStream m = mem_with_abc(g);
    Snapshot before = snapshot(g, m);
    uint32_t source = g.put_string("xyz");

    auto outcome = g.call("fwrite", {source, 1, 0xFFFFFFFFu, m.stream});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 0u);
    EXPECT_EQ(snapshot(g, m), before);

    // The space needed (len + count + 1) would wrap to exactly len or less.
    for (uint32_t count : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFCu, 0xFFFFFFFBu}) {
        outcome = g.call("file_write_bytes", {m.stream, source, count});
        ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
        EXPECT_EQ(outcome.eax, failed) << count;
        EXPECT_EQ(snapshot(g, m), before);
    }
    EXPECT_TRUE(g.kernel().calls.empty());
}

TEST(Streams, HugeCountOnAFreshMemoryStreamIsRefused)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t used = g.read_u32(g.symbol("g_heap_used"));
    auto outcome = g.call("fwrite", {g.put_string("xyz"), 1, 0xFFFFFFFFu, m.stream});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 0u);
    EXPECT_EQ(record(g, m.stream), (Record{stream_mem, 0, 0, 0, 0, 0, m.bufp, m.sizep, 0, 0, 0}));
    EXPECT_EQ(g.read_u32(m.bufp), 0u);
    EXPECT_EQ(g.read_u32(m.sizep), 0u);
    EXPECT_EQ(g.read_u32(g.symbol("g_heap_used")), used);
}

TEST(Streams, CountNearTwoGibibytesIsRefused)
{
    // Counts whose doubling series would pass 2^31 and wrap instead of reaching the need.
    for (uint32_t count : {0x80000000u, 0x7FFFFFFFu, 0x7FFFFFFDu, 0x80000001u, 0xC0000000u}) {
        GuestCall g(image);
        MemStream m = mem_with_abc(g);
        Snapshot before = snapshot(g, m);
        auto outcome = g.call("fwrite", {g.put_string("xyz"), 1, count, m.stream});
        ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
        EXPECT_EQ(outcome.eax, 0u) << count;
        EXPECT_EQ(snapshot(g, m), before) << count;
    }
}

TEST(Streams, CountWhoseCapacityFitsIsRefusedByTheHeap)
{
    // len 3 + count + 1 = 2^31 exactly: the series reaches 2^31, which the heap cannot give.
    GuestCall g(image);
    MemStream m = mem_with_abc(g);
    Snapshot before = snapshot(g, m);
    auto outcome = g.call("fwrite", {g.put_string("xyz"), 1, 0x7FFFFFFCu, m.stream});
    ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
    EXPECT_EQ(outcome.eax, 0u);
    Snapshot after = snapshot(g, m);
    EXPECT_EQ(after.error_code, 12u); // the heap said no
    after.error_code = before.error_code;
    EXPECT_EQ(after, before);
}

TEST(Streams, HugeItemCountsOnAWriteStreamAreRefused)
{
    GuestCall g(image);
    uint32_t f = g.call_word("fopen", {g.put_string("/o"), g.put_string("w")});
    EXPECT_EQ(word_call(g, "fputs", {g.put_string("abc"), f}), 3);
    Record before = record(g, f);
    uint32_t source = g.put_string("xyz");
    for (auto [size, count] : {std::pair<uint32_t, uint32_t>{1, 0xFFFFFFFFu},
                               {3, 0x55555555u},
                               {0xFFFFFFFFu, 1},
                               {0x80000000u, 1},
                               {2, 0x40000000u}}) {
        auto outcome = g.call("fwrite", {source, size, count, f});
        ASSERT_EQ(outcome.kind, yulos::CallOutcome::Kind::returned) << outcome.message;
        EXPECT_EQ(outcome.eax, 0u) << size << " x " << count;
        EXPECT_EQ(record(g, f), before);
    }
    EXPECT_EQ(word_call(g, "fclose", {f}), 0);
    auto files = g.kernel().calls_numbered(SYS_WRITEFILE);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].edx, 3u);
    auto bytes = g.read(files[0].ecx, 3);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abc");
}

TEST(Streams, FileWriteBytesRefusals)
{
    GuestCall g(image);
    MemStream m = open_mem(g);
    uint32_t source = g.put_string("abc");
    EXPECT_EQ(g.call_word("file_write_bytes", {0, source, 3}), failed);
    EXPECT_EQ(g.call_word("file_write_bytes", {m.stream, 0, 3}), failed);
    EXPECT_EQ(g.call_word("file_write_bytes", {m.stream, 0, 0}), failed);
    EXPECT_EQ(g.call_word("file_write_bytes", {current(g, "stdin"), source, 0}), 0u);
    EXPECT_EQ(g.call_word("file_write_bytes", {current(g, "stdin"), source, 1}), failed);
    EXPECT_EQ(g.call_word("file_write_bytes", {m.stream, source, 0}), 0u);
    EXPECT_EQ(record(g, m.stream).cap, 0u);
    EXPECT_TRUE(g.kernel().calls.empty());
}

} // namespace
