// The stream layer: the standard streams, the one write routine through which all stream output
// passes, and the byte-level stream functions. No user-space buffer stands in front of a
// descriptor; files opened for writing are collected in memory and written whole at fclose;
// memory streams show their growing buffer to the caller after every write.
#include "stream.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr size_t max_size = 0xFFFFFFFFu;
constexpr size_t max_write_chunk = 2147483647u;
constexpr size_t first_capacity = 256u;

// pos plus a byte count, wrapping in 32 bits like every other sum here.
int advanced(int pos, int count)
{
    return static_cast<int>(static_cast<unsigned int>(pos) + static_cast<unsigned int>(count));
}

// Whether a stream positions: a descriptor stream on a descriptor above 2.
bool positions(const FILE* stream) { return stream->kind == STREAM_FD && stream->fd > 2; }

// The product size * count, or false when it does not fit in 32 bits (size is not 0).
bool product(size_t size, size_t count, size_t* total)
{
    if (count > max_size / size) return false;
    *total = size * count;
    return true;
}

// Direct writes to descriptor 1 until every byte is taken; a result of 0 or less fails.
int write_console(const unsigned char* bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done;
        if (chunk > max_write_chunk) chunk = max_write_chunk;
        int result = write(1, bytes + done, chunk);
        if (result <= 0) return -1;
        if (static_cast<size_t>(result) >= count - done) break;
        done += static_cast<size_t>(result);
    }
    return 0;
}

// The capacity of the doubling series (256, or twice cap, doubled on) that first holds `need`
// bytes; 0 when the series leaves 32 bits before it gets there.
size_t grown_capacity(size_t cap, size_t need)
{
    size_t next;
    if (cap == 0) {
        next = first_capacity;
    } else {
        if (cap > max_size / 2) return 0;
        next = cap * 2;
    }
    while (next < need) {
        if (next > max_size / 2) return 0;
        next *= 2;
    }
    return next;
}

} // namespace

extern "C" {

FILE g_stdin = {STREAM_FD, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stdout = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
// The error stream writes to descriptor 1, like standard output.
FILE g_stderr = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};

FILE* stdin = &g_stdin;
FILE* stdout = &g_stdout;
FILE* stderr = &g_stderr;

int file_write_bytes(FILE* stream, const void* bytes, size_t count)
{
    if (!stream || !bytes) return -1;
    if (count == 0) return 0;
    const unsigned char* source = static_cast<const unsigned char*>(bytes);

    if (stream->kind == STREAM_FD) {
        if (stream->fd != 1) return -1;
        return write_console(source, count);
    }

    // The space needed, len + count + 1, must itself fit in 32 bits; so must every capacity of
    // the doubling series. A growth beyond that fails like any other the heap cannot give,
    // before anything is touched.
    size_t len = stream->len;
    if (count > max_size - 1 - len) return -1;
    size_t need = len + count + 1;
    if (stream->cap < need) {
        size_t cap = grown_capacity(stream->cap, need);
        if (cap == 0) return -1;
        char* grown = static_cast<char*>(realloc(stream->buf, cap));
        if (!grown) return -1;
        stream->buf = grown;
        stream->cap = cap;
    }

    memcpy(stream->buf + len, source, count);
    stream->len = len + count;
    stream->buf[stream->len] = '\0';

    if (stream->kind == STREAM_MEM && stream->user_buf && stream->user_size) {
        *stream->user_buf = stream->buf;
        *stream->user_size = stream->len;
    }
    return 0;
}

FILE* fopen(const char* path, const char* mode)
{
    if (!mode) return nullptr;
    char letter = mode[0];

    if (!path || strcmp(path, "-") == 0) {
        if (letter == 'r') return stdin;
        if (letter == 'w') return stdout;
        return nullptr;
    }

    if (letter == 'r') {
        int fd = open(path, 0, 0);
        if (fd < 0) return nullptr;
        FILE* stream = static_cast<FILE*>(calloc(1, sizeof(FILE)));
        if (!stream) {
            close(fd);
            return nullptr;
        }
        stream->kind = STREAM_FD;
        stream->fd = fd;
        return stream;
    }

    if (letter == 'w') {
        FILE* stream = static_cast<FILE*>(calloc(1, sizeof(FILE)));
        if (!stream) return nullptr;
        stream->kind = STREAM_WRITEFILE;
        stream->path = strdup(path);
        if (!stream->path) {
            free(stream);
            return nullptr;
        }
        return stream;
    }

    return nullptr;
}

int fclose(FILE* stream)
{
    if (!stream) return -1;
    if (stream == stdin || stream == stdout || stream == stderr) return 0;

    int result = 0;
    if (stream->kind == STREAM_FD) {
        if (stream->fd > 2) result = close(stream->fd);
    } else if (stream->kind == STREAM_WRITEFILE) {
        if (!stream->path) {
            result = -1;
        } else {
            const char* data = stream->buf ? stream->buf : "";
            result = writefile(stream->path, data, stream->len) < 0 ? -1 : 0;
        }
    }

    if (stream->kind != STREAM_MEM) free(stream->buf);
    if (stream->path) free(stream->path);
    free(stream);
    return result;
}

size_t fread(void* ptr, size_t size, size_t count, FILE* stream)
{
    if (!ptr || !stream || size == 0 || count == 0) return 0;
    if (stream->kind != STREAM_FD) return 0;
    size_t total;
    if (!product(size, count, &total)) return 0;

    int result = read(stream->fd, ptr, total);
    if (result <= 0) {
        stream->eof = 1;
        return 0;
    }
    stream->pos = advanced(stream->pos, result);
    if (static_cast<size_t>(result) < total) stream->eof = 1;
    return static_cast<size_t>(result) / size;
}

size_t fwrite(const void* ptr, size_t size, size_t count, FILE* stream)
{
    if (!ptr || !stream || size == 0 || count == 0) return 0;
    size_t total;
    if (!product(size, count, &total)) return 0;
    return file_write_bytes(stream, ptr, total) == 0 ? count : 0;
}

int fgetc(FILE* stream)
{
    if (!stream || stream->kind != STREAM_FD) return -1;
    unsigned char byte = 0;
    int result = read(stream->fd, &byte, 1);
    if (result <= 0) {
        stream->eof = 1;
        return -1;
    }
    stream->pos = advanced(stream->pos, result);
    return byte;
}

int getchar(void)
{
    if (!stdin) return -1;
    return fgetc(stdin);
}

int fputc(int ch, FILE* stream)
{
    unsigned char byte = static_cast<unsigned char>(ch);
    return file_write_bytes(stream, &byte, 1) == 0 ? ch : -1;
}

int putchar(int ch) { return fputc(ch, stdout); }

int fputs(const char* s, FILE* stream)
{
    if (!s) return -1;
    size_t length = strlen(s);
    if (file_write_bytes(stream, s, length) != 0) return -1;
    return static_cast<int>(length);
}

int puts(const char* s)
{
    if (!s) return -1;
    if (fputs(s, stdout) < 0) return -1;
    static const char line_feed = '\n';
    return file_write_bytes(stdout, &line_feed, 1) == 0 ? 0 : -1;
}

int fflush(FILE*) { return 0; }

void setbuf(FILE*, char*) {}

FILE* open_memstream(char** bufp, size_t* sizep)
{
    if (!bufp || !sizep) return nullptr;
    FILE* stream = static_cast<FILE*>(calloc(1, sizeof(FILE)));
    if (!stream) return nullptr;
    stream->kind = STREAM_MEM;
    stream->user_buf = bufp;
    stream->user_size = sizep;
    *bufp = nullptr;
    *sizep = 0;
    return stream;
}

int fseek(FILE* stream, int offset, int whence)
{
    if (!stream || !positions(stream)) return -1;
    int result = lseek(stream->fd, offset, whence);
    if (result < 0) return -1;
    stream->eof = 0;
    stream->pos = result;
    return 0;
}

int ftell(FILE* stream)
{
    if (!stream || !positions(stream)) return -1;
    return stream->pos;
}

void rewind(FILE* stream)
{
    if (!stream) return;
    if (positions(stream)) {
        int result = lseek(stream->fd, 0, 0);
        if (result >= 0) stream->pos = result;
    }
    stream->error = 0;
    stream->eof = 0;
}

int feof(FILE* stream) { return stream ? stream->eof : 1; }

int ferror(FILE* stream) { return stream ? stream->error : 1; }

} // extern "C"
