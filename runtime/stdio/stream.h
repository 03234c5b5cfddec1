// Internal to the stdio module: the one routine through which all stream output passes.
#ifndef YULOS_RUNTIME_STREAM_H
#define YULOS_RUNTIME_STREAM_H

#include <stdio.h>

extern "C" int file_write_bytes(FILE* stream, const void* bytes, size_t count);

#endif
