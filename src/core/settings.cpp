// Version, per-thread settings, status texts and the thread's last error.
// Everything here is thread-local and unlocked, but for quorvel_free_string,
// which hands large texts to the shared block cache.
#include <malloc.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/core.h"

constinit thread_local quorvel_alloc_function g_quorvel_alloc_function = nullptr;
constinit thread_local quorvel_dealloc_function g_quorvel_dealloc_function = nullptr;
constinit thread_local int g_quorvel_strict_mode = 0;
constinit thread_local int g_quorvel_max_depth = 0;
constinit thread_local char error_message[512]{};
constinit thread_local int last_error_line = 0;
constinit thread_local int last_error_column = 0;

void quorvel_set_last_error(const char* message) {
    if (!message) message = "";
    size_t n = std::strlen(message);
    if (n > sizeof error_message - 1) n = sizeof error_message - 1;
    std::memcpy(error_message, message, n);
    error_message[n] = '\0';
}

void quorvel_set_last_errorf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(error_message, sizeof error_message, format, ap);
    va_end(ap);
}

void* quorvel_hooked_alloc(size_t n, quorvel_release_fn* release) {
    if (quorvel_alloc_function hook = g_quorvel_alloc_function) {
        // A hook-made block goes back through the matching release hook; with
        // no release hook the caller's convention is plain free, but the block
        // still must never enter a cache, hence a non-NULL release function.
        *release = g_quorvel_dealloc_function ? g_quorvel_dealloc_function : &std::free;
        return hook(n);
    }
    *release = nullptr;
    return std::malloc(n);
}

char* xsd_strdup(const char* s) {
    if (!s) return nullptr;
    size_t n = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, s, n);
    return copy;
}

extern "C" {

// The numbers come from the build (project version), their one source.
QUORVEL_API const char* quorvel_version(void) { return QUORVEL_VERSION_STRING; }

QUORVEL_API void quorvel_version_components(int* major, int* minor, int* patch) {
    if (major) *major = QUORVEL_VERSION_MAJOR;
    if (minor) *minor = QUORVEL_VERSION_MINOR;
    if (patch) *patch = QUORVEL_VERSION_PATCH;
}

QUORVEL_API void quorvel_set_memory_management_functions(quorvel_alloc_function alloc_fn,
                                                         quorvel_dealloc_function dealloc_fn) {
    g_quorvel_alloc_function = alloc_fn;
    g_quorvel_dealloc_function = dealloc_fn;
}

QUORVEL_API quorvel_alloc_function quorvel_get_memory_allocation_function(void) {
    return g_quorvel_alloc_function;
}

QUORVEL_API quorvel_dealloc_function quorvel_get_memory_deallocation_function(void) {
    return g_quorvel_dealloc_function;
}

QUORVEL_API void* quorvel_alloc_buffer(size_t n) {
    if (n == 0) return nullptr;
    quorvel_release_fn release;
    return quorvel_hooked_alloc(n, &release);
}

// Large texts (whole documents written out) are kept warm for the next
// output; the cache gives them back to malloc when full or at clean-up.
QUORVEL_API void quorvel_free_string(char* s) {
    if (!s) return;
    size_t size = malloc_usable_size(s);
    if (size >= kLargeBlockMin)
        retain_give(s, size, nullptr);
    else
        std::free(s);
}

QUORVEL_API void quorvel_set_strict_mode(int on) { g_quorvel_strict_mode = on != 0; }
QUORVEL_API int quorvel_get_strict_mode(void) { return g_quorvel_strict_mode; }
QUORVEL_API void quorvel_set_max_depth(int depth) { g_quorvel_max_depth = depth; }
QUORVEL_API int quorvel_get_max_depth(void) {
    return g_quorvel_max_depth <= 0 ? 256 : g_quorvel_max_depth;
}

QUORVEL_API const char* quorvel_status_string(int code) {
    switch (code) {
        case QUORVEL_OK: return "OK";
        case QUORVEL_ERR_MEMORY: return "Memory allocation failed";
        case QUORVEL_ERR_PARSE: return "XML parse error";
        case QUORVEL_ERR_XPATH: return "XPath evaluation error";
        case QUORVEL_ERR_NULL_ARGUMENT: return "NULL argument";
        case QUORVEL_ERR_INVALID_ARGUMENT: return "Invalid argument";
        case QUORVEL_ERR_NOT_FOUND: return "Not found";
        case QUORVEL_ERR_IO: return "I/O error";
    }
    return "Unknown error";
}

QUORVEL_API const char* quorvel_error_message(int code) { return quorvel_status_string(code); }

QUORVEL_API const char* quorvel_last_error(void) {
    return error_message[0] ? error_message : nullptr;
}

QUORVEL_API void quorvel_last_error_position(int* line, int* column) {
    if (line) *line = last_error_line;
    if (column) *column = last_error_column;
}

}  // extern "C"
