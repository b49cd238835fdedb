// The serializer's output buffer: growth, the small appends, indentation and
// the escapers. Every writer of the output subsystem funnels through here.
// Invariant: after every append that succeeded, data[length] is a NUL; a
// failed growth sets out_of_memory and leaves the earlier text intact.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "output/output.h"

namespace {

void* plain_realloc(void* block, size_t size) { return std::realloc(block, size); }

constexpr size_t kFirstBlock = 1024;

// ---- Escaping classes ------------------------------------------------------------------

// Bit per ser_escape_mode: the bytes that mode must replace.
constexpr unsigned char kMaskText = 1 << SER_ESCAPE_TEXT;
constexpr unsigned char kMaskAttrXml = 1 << SER_ESCAPE_ATTR_XML;
constexpr unsigned char kMaskAttrHtml = 1 << SER_ESCAPE_ATTR_HTML;
constexpr unsigned char kMaskUriHtml = 1 << SER_ESCAPE_URI_HTML;
constexpr unsigned char kMaskNsUri = 1 << SER_ESCAPE_NS_URI;

struct escape_tables {
    unsigned char cls[256];
    unsigned char entity_length[256];
    char entity[256][6];
};

constexpr escape_tables make_escape_tables() {
    escape_tables t{};
    auto set = [&t](unsigned char c, const char* text, unsigned char masks) {
        t.cls[c] |= masks;
        unsigned char n = 0;
        while (text[n]) {
            t.entity[c][n] = text[n];
            n++;
        }
        t.entity_length[c] = n;
    };
    // '&', '<', '>' and '"' are replaced in every mode but text keeps '"'.
    set('&', "&amp;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('<', "&lt;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('>', "&gt;", kMaskText | kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    set('"', "&quot;", kMaskAttrXml | kMaskAttrHtml | kMaskUriHtml | kMaskNsUri);
    // A raw CR would come back as LF: always a character reference.
    set('\r', "&#13;", kMaskText | kMaskAttrXml | kMaskAttrHtml);
    // Attribute value normalisation would turn raw TAB and LF into spaces.
    set('\t', "&#9;", kMaskAttrXml);
    set('\n', "&#10;", kMaskAttrXml);
    // URI attributes of HTML: every byte outside '!'..'~' is percent-encoded.
    for (int c = 0; c < 256; c++)
        if (c < '!' || c > '~') t.cls[c] |= kMaskUriHtml;
    return t;
}

constexpr escape_tables kEscape = make_escape_tables();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// First byte at or after s whose class has a bit of mask, or end.
inline const unsigned char* scan_plain(const unsigned char* s, const unsigned char* end, unsigned char mask) {
    while (end - s >= 4) {
        if (kEscape.cls[s[0]] & mask) return s;
        if (kEscape.cls[s[1]] & mask) return s + 1;
        if (kEscape.cls[s[2]] & mask) return s + 2;
        if (kEscape.cls[s[3]] & mask) return s + 3;
        s += 4;
    }
    while (s < end && !(kEscape.cls[*s] & mask)) s++;
    return s;
}

// Writes the replacement of one special byte (at most 6 bytes).
inline char* write_replacement(char* out, unsigned char c, ser_escape_mode mode) {
    if (mode == SER_ESCAPE_URI_HTML && (c < '!' || c > '~')) {
        out[0] = '%';
        out[1] = kHexDigits[c >> 4];
        out[2] = kHexDigits[c & 15];
        return out + 3;
    }
    std::memcpy(out, kEscape.entity[c], 6);
    return out + kEscape.entity_length[c];
}

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
    char* fresh = static_cast<char*>(g_ser_realloc(b->data, cap));
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
    b->data = static_cast<char*>(g_ser_realloc(nullptr, kFirstBlock));
    if (!b->data) return false;
    b->data[0] = '\0';
    b->capacity = kFirstBlock;
    return true;
}

bool ser_buffer_init_for(ser_buffer* b, size_t expected) {
    if (!ser_buffer_init(b)) return false;
    if (expected < kFirstBlock) expected = t_last_output;
    if (expected > kFirstBlock && expected < static_cast<size_t>(PTRDIFF_MAX) / 2) {
        // Room for a little more than expected, so that the text rarely moves.
        size_t n = expected + expected / 8 + 64;
        if (char* fresh = static_cast<char*>(g_ser_realloc(b->data, n))) {
            b->data = fresh;
            b->capacity = n;
        }
    }
    return true;
}

char* ser_buffer_take(ser_buffer* b) {
    if (b->out_of_memory || !b->data) {
        ser_buffer_free(b);
        return nullptr;
    }
    char* text = b->data;
    t_last_output = b->length;
    // Growth by doubling leaves at most half the block unused; a block
    // sized by a hint that proved too large is cut down (in place).
    if (b->capacity > kFirstBlock && b->capacity / 2 > b->length + 1)
        if (char* fitted = static_cast<char*>(g_ser_realloc(text, b->length + 1))) text = fitted;
    b->data = nullptr;
    b->length = b->capacity = 0;
    return text;
}

void ser_buffer_free(ser_buffer* b) {
    std::free(b->data);
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

namespace {

#if defined(__SSE2__)
// Lanes of v holding a byte that mode M replaces, as a bit mask.
template <ser_escape_mode M>
inline unsigned special_lanes(__m128i v) {
    auto eq = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    __m128i m = _mm_or_si128(_mm_or_si128(eq('&'), eq('<')), eq('>'));
    if constexpr (M == SER_ESCAPE_TEXT) {
        m = _mm_or_si128(m, eq('\r'));
    } else if constexpr (M == SER_ESCAPE_ATTR_XML) {
        m = _mm_or_si128(_mm_or_si128(m, eq('"')), _mm_or_si128(eq('\r'), _mm_or_si128(eq('\t'), eq('\n'))));
    } else if constexpr (M == SER_ESCAPE_ATTR_HTML) {
        m = _mm_or_si128(m, _mm_or_si128(eq('"'), eq('\r')));
    } else if constexpr (M == SER_ESCAPE_NS_URI) {
        m = _mm_or_si128(m, eq('"'));
    } else {
        // Outside '!'..'~': at most 0x20 or at least 0x7F, compared unsigned.
        __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
        __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x7F)), v);
        m = _mm_or_si128(_mm_or_si128(m, eq('"')), _mm_or_si128(low, high));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#endif

// Copies the run of bytes up to the next one mode M replaces; returns it.
// Room: the caller guarantees limit - out >= (end - s) + kSerEscapeSlack.
template <ser_escape_mode M>
inline const unsigned char* copy_plain_run(const unsigned char* s, const unsigned char* end, char*& out) {
#if defined(__SSE2__)
    // Sixteen bytes are stored before they are checked: the room rule
    // leaves space for them, and only the plain ones are kept.
    while (end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        if (unsigned lanes = special_lanes<M>(v)) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(lanes));
            out += k;
            return s + k;
        }
        s += 16;
        out += 16;
    }
    constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
    while (s < end && !(kEscape.cls[*s] & mask)) *out++ = static_cast<char>(*s++);
    return s;
#else
    const unsigned char* stop = scan_plain(s, end, static_cast<unsigned char>(1u << M));
    std::memcpy(out, s, static_cast<size_t>(stop - s));
    out += stop - s;
    return stop;
#endif
}

template <ser_escape_mode M>
char* escape_into(ser_buffer* b, char* out, const unsigned char* s, const unsigned char* end, size_t tail) {
    char* limit = b->data + b->capacity;
    // Invariant at the top of each round: limit - out >= (end - s) + slack +
    // tail, so the next run can be copied whole and one replacement written.
    for (;;) {
        s = copy_plain_run<M>(s, end, out);
        if (s == end) return out;
        out = write_replacement(out, *s++, M);
        size_t rest = static_cast<size_t>(end - s);
        if (static_cast<size_t>(limit - out) < rest + kSerEscapeSlack + tail) {
            b->length = static_cast<size_t>(out - b->data);
            if (!buffer_ensure_capacity(b, rest + kSerEscapeSlack + tail)) {
                b->data[b->length] = '\0';
                return nullptr;
            }
            out = b->data + b->length;
            limit = b->data + b->capacity;
        }
    }
}

}  // namespace

char* ser_escape_into(ser_buffer* b, char* out, const char* text, size_t n, ser_escape_mode mode, size_t tail) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = s + n;
    switch (mode) {
        case SER_ESCAPE_TEXT: return escape_into<SER_ESCAPE_TEXT>(b, out, s, end, tail);
        case SER_ESCAPE_ATTR_XML: return escape_into<SER_ESCAPE_ATTR_XML>(b, out, s, end, tail);
        case SER_ESCAPE_ATTR_HTML: return escape_into<SER_ESCAPE_ATTR_HTML>(b, out, s, end, tail);
        case SER_ESCAPE_URI_HTML: return escape_into<SER_ESCAPE_URI_HTML>(b, out, s, end, tail);
        case SER_ESCAPE_NS_URI: return escape_into<SER_ESCAPE_NS_URI>(b, out, s, end, tail);
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
    auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = s + n;
    while (s < end) {
        const unsigned char* run = s;
        s = scan_plain(s, end, kMaskText);
        std::memcpy(dest, run, static_cast<size_t>(s - run));
        dest += s - run;
        if (s == end) break;
        dest = write_replacement(dest, *s++, SER_ESCAPE_TEXT);
    }
    return dest;
}
