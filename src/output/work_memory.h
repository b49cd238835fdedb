// Working memory of the output subsystem: buffers, stacks and tables that
// live for one call. It comes from the calling thread's allocation hook
// (or g_ser_realloc, plain realloc by default, when no hook is set) and goes
// back through the matching release, which each block remembers. Text
// handed to a caller is always a plain malloc block, released with free
// (quorvel_free_string), whatever hooks the thread has.
#pragma once

#include <cstddef>

#include "core/core.h"

using ser_realloc_fn = void* (*)(void* block, size_t size);
extern thread_local constinit ser_realloc_fn g_ser_realloc;

// size bytes; NULL when memory ran out. *release tells how the block goes
// back (NULL: it is a malloc block, resized in place with g_ser_realloc).
void* ser_work_alloc(size_t size, quorvel_release_fn* release);
// Makes block (NULL, or size_t keep bytes in use out of a block made by
// ser_work_alloc) size bytes long, keeping its first keep bytes. NULL on
// failure, with block unchanged and still owned by the caller.
void* ser_work_resize(void* block, size_t keep, size_t size, quorvel_release_fn* release);
inline void ser_work_release(void* block, quorvel_release_fn release) {
    if (block) quorvel_hooked_release(block, release);
}
// Turns a working block holding length bytes and a NUL into text for the
// caller: the block itself when it is a malloc block (cut down when much of
// it is unused), else a malloc copy, the block released. NULL (the block
// released) when the copy cannot be made.
char* ser_work_hand_out(char* block, size_t length, size_t capacity, quorvel_release_fn release);
