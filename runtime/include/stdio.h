/* Streams, byte I/O and formatted input and output. */
#ifndef YULOS_STDIO_H
#define YULOS_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Stream kinds. */
#define STREAM_FD 1u        /* a descriptor: reads from any, writes only to descriptor 1 */
#define STREAM_MEM 2u       /* text collected in a growing heap buffer shown to the caller */
#define STREAM_WRITEFILE 3u /* text collected in memory, written whole at fclose */

#define EOF (-1)
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#define SPRINTF_SIZE 65536u

/* The record behind every FILE pointer: eleven 32-bit fields. */
struct stream_record {
    unsigned int kind;
    int fd;
    char* path;
    char* buf;
    unsigned int len;
    unsigned int cap;
    char** user_buf;
    size_t* user_size;
    int error;
    int pos;
    int eof;
};
typedef struct stream_record FILE;

extern FILE g_stdin;
extern FILE g_stdout;
extern FILE g_stderr;
extern FILE* stdin;
extern FILE* stdout;
extern FILE* stderr;

FILE* fopen(const char* path, const char* mode);
int fclose(FILE* stream);
size_t fread(void* ptr, size_t size, size_t count, FILE* stream);
size_t fwrite(const void* ptr, size_t size, size_t count, FILE* stream);
int fgetc(FILE* stream);
int getchar(void);
int fputc(int ch, FILE* stream);
int putchar(int ch);
int fputs(const char* s, FILE* stream);
int puts(const char* s);
int fflush(FILE* stream);
void setbuf(FILE* stream, char* buf);
FILE* open_memstream(char** bufp, size_t* sizep);
int fseek(FILE* stream, int offset, int whence);
int ftell(FILE* stream);
void rewind(FILE* stream);
int feof(FILE* stream);
int ferror(FILE* stream);

int vfprintf(FILE* stream, const char* format, va_list args);
int fprintf(FILE* stream, const char* format, ...);
int printf(const char* format, ...);

int vsnprintf(char* buffer, size_t size, const char* format, va_list args);
int snprintf(char* buffer, size_t size, const char* format, ...);
int vsprintf(char* buffer, const char* format, va_list args);
int sprintf(char* buffer, const char* format, ...);

int vsscanf(const char* text, const char* format, va_list args);
int sscanf(const char* text, const char* format, ...);
int fscanf(FILE* stream, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
