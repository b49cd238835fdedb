// The serializer's output buffer: growth, the small appends, indentation and
// the escapers. Every writer of the output subsystem funnels through here.
// Invariant: after every append that succeeded, data[length] is a NUL; a
// failed growth sets out_of_memory and leaves the earlier text intact.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "output/output.h"

namespace {

void* plain_realloc(void* block, size_t size) { return std::realloc(block, size); }

constexpr size_t kFirstBlock = 1024;

}  // namespace

thread_local constinit ser_realloc_fn g_ser_realloc = plain_realloc;

namespace {
// Length of the calling thread's last finished output: the usual size of
// the next one when callers serialize documents of one kind in a row.
thread_local constinit size_t t_last_output = 0;
}  // namespace

// Bit 0: text escaping (& < >), bit 1: attribute values (" & ' < >).
const unsigned char quorvel_escape_table[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x10
    0, 0, 2, 0, 0, 0, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x20
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 3, 0,  // 0x30
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x50
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x70
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x80
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x90
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xA0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xB0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xC0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xD0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xE0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xF0
};

// ---- Buffer --------------------------------------------------------------------------

bool ser_buffer_grow(ser_buffer* b, size_t n) {
    if (n > SIZE_MAX - b->length) {
        b->out_of_memory = 1;
        return false;
    }
    size_t want = b->length + n;
    size_t cap = b->capacity ? b->capacity : kFirstBlock;
    while (cap < want) {
        if (cap > static_cast<size_t>(PTRDIFF_MAX) / 2) {
            cap = SIZE_MAX;
            break;
        }
        cap *= 2;
    }
    char* fresh = static_cast<char*>(ser_work_resize(b->data, b->length + 1, cap, &b->release));
    if (!fresh) {
        b->out_of_memory = 1;
        return false;
    }
    b->data = fresh;
    b->capacity = cap;
    return true;
}

bool ser_buffer_init(ser_buffer* b) {
    std::memset(b, 0, sizeof *b);
    b->data = static_cast<char*>(ser_work_alloc(kFirstBlock, &b->release));
    if (!b->data) return false;
    b->data[0] = '\0';
    b->capacity = kFirstBlock;
    return true;
}

bool ser_buffer_init_for(ser_buffer* b, size_t expected) {
    if (expected < kFirstBlock) expected = t_last_output;
    if (expected > kFirstBlock && expected < static_cast<size_t>(PTRDIFF_MAX) / 2) {
        // Room for a little more than expected, so that the text rarely moves;
        // the ordinary first block when that much cannot be had.
        size_t n = expected + expected / 8 + 64;
        std::memset(b, 0, sizeof *b);
        if ((b->data = static_cast<char*>(ser_work_alloc(n, &b->release)))) {
            b->data[0] = '\0';
            b->capacity = n;
            return true;
        }
    }
    return ser_buffer_init(b);
}

char* ser_buffer_take(ser_buffer* b) {
    if (b->out_of_memory || !b->data) {
        ser_buffer_free(b);
        return nullptr;
    }
    t_last_output = b->length;
    char* text = ser_work_hand_out(b->data, b->length, b->capacity, b->release);
    b->data = nullptr;
    b->release = nullptr;
    b->length = b->capacity = 0;
    return text;
}

void ser_buffer_free(ser_buffer* b) {
    ser_work_release(b->data, b->release);
    b->release = nullptr;
    b->data = nullptr;
    b->length = b->capacity = 0;
}

void buffer_append(ser_buffer* b, const char* text) {
    size_t n = std::strlen(text);
    if (!buffer_ensure_capacity(b, n + 1)) return;
    std::memcpy(b->data + b->length, text, n + 1);
    b->length += n;
}

void buffer_append_len(ser_buffer* b, const char* bytes, size_t n) {
    if (n == 0 || !buffer_ensure_capacity(b, n + 1)) return;
    char* out = b->data + b->length;
    std::memcpy(out, bytes, n);
    out[n] = '\0';
    b->length += n;
    b->at_line_start = bytes[n - 1] == '\n';
}

void buffer_append_char(ser_buffer* b, char c) {
    if (!buffer_ensure_capacity(b, 2)) return;
    b->data[b->length++] = c;
    b->data[b->length] = '\0';
    b->at_line_start = c == '\n';
}

void buffer_append_newline(ser_buffer* b) {
    if (!b || b->indent <= 0 || (b->indent_text && b->at_line_start)) return;
    if (!buffer_ensure_capacity(b, 2)) return;
    b->data[b->length++] = '\n';
    b->data[b->length] = '\0';
    b->at_line_start = 1;
}

void buffer_append_indent(ser_buffer* b) {
    if (!b || b->indent <= 0 || b->depth <= 0 || (b->html && !b->html_indent)) return;
    size_t units = static_cast<size_t>(b->depth);
    if (b->indent_string && b->indent_string[0]) {
        size_t unit = std::strlen(b->indent_string);
        if (unit > (SIZE_MAX - 1) / units) {
            b->out_of_memory = 1;
            return;
        }
        if (!buffer_ensure_capacity(b, unit * units + 1)) return;
        char* out = b->data + b->length;
        for (size_t i = 0; i < units; i++, out += unit) std::memcpy(out, b->indent_string, unit);
        *out = '\0';
        b->length = static_cast<size_t>(out - b->data);
        return;
    }
    size_t n = units * static_cast<size_t>(b->indent);
    if (!buffer_ensure_capacity(b, n + 1)) return;
    std::memset(b->data + b->length, ' ', n);
    b->length += n;
    b->data[b->length] = '\0';
}

void append_qualified_name(ser_buffer* b, const char* prefix, const char* local, size_t local_length) {
    if (prefix && prefix[0]) {
        size_t n = std::strlen(prefix);
        if (buffer_ensure_capacity(b, n + 2)) {
            char* out = b->data + b->length;
            std::memcpy(out, prefix, n);
            out[n] = ':';
            out[n + 1] = '\0';
            b->length += n + 1;
            b->at_line_start = 0;
        }
    }
    if (local && local_length > 0) buffer_append_len(b, local, local_length);
}

// ---- Escapers ------------------------------------------------------------------------

char* ser_escape_into(ser_buffer* b, char* out, const char* text, size_t n, ser_escape_mode mode, size_t tail) {
    using namespace ser_escape;
    switch (mode) {
        case SER_ESCAPE_TEXT: return escape_into<SER_ESCAPE_TEXT>(b, out, text, n, tail);
        case SER_ESCAPE_ATTR_XML: return escape_into<SER_ESCAPE_ATTR_XML>(b, out, text, n, tail);
        case SER_ESCAPE_ATTR_HTML: return escape_into<SER_ESCAPE_ATTR_HTML>(b, out, text, n, tail);
        case SER_ESCAPE_URI_HTML: return escape_into<SER_ESCAPE_URI_HTML>(b, out, text, n, tail);
        case SER_ESCAPE_NS_URI: return escape_into<SER_ESCAPE_NS_URI>(b, out, text, n, tail);
    }
    return out;
}

void ser_append_escaped(ser_buffer* b, const char* text, size_t n, ser_escape_mode mode) {
    if (n == 0) return;
    if (n > SIZE_MAX / 2 || !buffer_ensure_capacity(b, n + kSerEscapeSlack)) {
        b->out_of_memory = 1;
        return;
    }
    char* out = ser_escape_into(b, b->data + b->length, text, n, mode, 0);
    if (!out) return;
    *out = '\0';
    b->length = static_cast<size_t>(out - b->data);
    b->at_line_start = out[-1] == '\n';
}

char* emit_escaped_inline(char* dest, const char* text, size_t n) {
    // Byte by byte: the caller's reservation of 6 bytes per input byte is
    // all the room there is.
    auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = s + n;
    while (s < end) {
        unsigned char c = *s++;
        if (ser_escape::kTables.cls[c] & ser_escape::kMaskText)
            dest = ser_escape::write_replacement<SER_ESCAPE_TEXT>(dest, c);
        else
            *dest++ = static_cast<char>(c);
    }
    return dest;
}

// ---- Working memory ------------------------------------------------------------------

void* ser_work_alloc(size_t size, quorvel_release_fn* release) {
    if (g_quorvel_alloc_function) return quorvel_hooked_alloc(size, release);
    *release = nullptr;
    // A large output block comes warm from the shared cache, where
    // quorvel_free_string puts the texts callers are done with: without
    // it, every output past malloc's mapping threshold is a fresh mapping
    // whose pages fault in one by one as the text is written.
    if (size >= kLargeBlockMin && g_ser_realloc == plain_realloc) {
        size_t actual = 0;
        if (void* block = retain_take(size, &actual)) return block;
    }
    return g_ser_realloc(nullptr, size);
}

void* ser_work_resize(void* block, size_t keep, size_t size, quorvel_release_fn* release) {
    if (!block) return ser_work_alloc(size, release);
    if (!*release) return g_ser_realloc(block, size);
    // A hook has no resize: a fresh block, the kept bytes copied over.
    quorvel_release_fn fresh_release;
    void* fresh = quorvel_hooked_alloc(size, &fresh_release);
    if (!fresh) return nullptr;
    std::memcpy(fresh, block, keep < size ? keep : size);
    quorvel_hooked_release(block, *release);
    *release = fresh_release;
    return fresh;
}

char* ser_work_hand_out(char* block, size_t length, size_t capacity, quorvel_release_fn release) {
    if (!release) {
        // Growth by doubling leaves at most half the block unused; a block
        // sized by a hint that proved too large is cut down (in place).
        if (capacity > 1024 && capacity / 2 > length + 1)
            if (char* fitted = static_cast<char*>(g_ser_realloc(block, length + 1))) block = fitted;
        return block;
    }
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text) std::memcpy(text, block, length + 1);
    quorvel_hooked_release(block, release);
    return text;
}
