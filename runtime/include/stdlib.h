/* Heap, number conversion, random numbers and process exit. */
#ifndef YULOS_STDLIB_H
#define YULOS_STDLIB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HEAP_SIZE 1048576u
#define RAND_MAX 32767
#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1

/* The bump arena and the count of its bytes handed out so far. */
extern unsigned char g_heap[HEAP_SIZE];
extern unsigned int g_heap_used;

void* malloc(size_t size);
void* calloc(size_t count, size_t size);
void* realloc(void* ptr, size_t size);
void free(void* ptr);

int atoi(const char* text);
long atol(const char* text);
unsigned long strtoul(const char* text, char** end, int base);
long strtol(const char* text, char** end, int base);
long double strtold(const char* text, char** end);
double strtod(const char* text, char** end);
int abs(int value);
long labs(long value);

extern unsigned int g_rand_state;
extern unsigned int g_rand_seeded;
void srand(unsigned int seed);
int rand(void);
__attribute__((noreturn)) void exit(int status);
__attribute__((noreturn)) void abort(void);
int atexit(void (*function)(void));
char* getenv(const char* name);

#ifdef __cplusplus
}
#endif

#endif
