// Escaping kernels of the output subsystem, inline so that the element
// writer's hot paths get them without a call: byte classes per escape mode,
// the replacement texts, and the run copier that checks sixteen bytes at a
// time. Room rule everywhere: limit - out >= (bytes still to copy) +
// kSerEscapeSlack, so a run can be copied whole and one replacement (stored
// as a 6-byte block) written after it.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "output/output.h"

namespace ser_escape {

// Bit per ser_escape_mode: the bytes that mode must replace.
constexpr unsigned char kMaskText = 1 << SER_ESCAPE_TEXT;
constexpr unsigned char kMaskAttrXml = 1 << SER_ESCAPE_ATTR_XML;
constexpr unsigned char kMaskAttrHtml = 1 << SER_ESCAPE_ATTR_HTML;
constexpr unsigned char kMaskUriHtml = 1 << SER_ESCAPE_URI_HTML;
constexpr unsigned char kMaskNsUri = 1 << SER_ESCAPE_NS_URI;

struct tables {
    unsigned char cls[256];           // kMask* bits of the modes that replace the byte
    unsigned char entity_length[256];
    char entity[256][6];              // replacement text, not terminated
};

constexpr tables make_tables() {
    tables t{};
    auto set = [&t](unsigned char c, const char* text, unsigned char masks) {
        t.cls[c] |= masks;
        unsigned char n = 0;
        while (text[n]) {
            t.entity[c][n] = text[n];
            n++;
        }
        t.entity_length[c] = n;
    };
    // '&', '<' and '>' are replaced in every mode; text keeps '"'.
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

inline constexpr tables kTables = make_tables();
inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes the replacement of one special byte (at most 6 bytes).
template <ser_escape_mode M>
inline char* write_replacement(char* out, unsigned char c) {
    if (M == SER_ESCAPE_URI_HTML && (c < '!' || c > '~')) {
        out[0] = '%';
        out[1] = kHexDigits[c >> 4];
        out[2] = kHexDigits[c & 15];
        return out + 3;
    }
    std::memcpy(out, kTables.entity[c], 6);
    return out + kTables.entity_length[c];
}

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

// First special position among n (4 to 16) bytes read as two overlapping
// halves lo (positions 0..h-1) and hi (positions n-h..n-1), or n.
template <ser_escape_mode M, typename Half>
inline size_t first_special_of_halves(Half lo, Half hi, size_t n) {
    constexpr unsigned h = sizeof(Half);
    __m128i v;
    if constexpr (h == 8)
        v = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    else
        v = _mm_set_epi32(0, 0, static_cast<int>(hi), static_cast<int>(lo));
    unsigned lanes = special_lanes<M>(v);
    unsigned lo_lanes = lanes & ((1u << h) - 1);
    unsigned hi_lanes = (lanes >> h) & ((1u << h) - 1);
    size_t first = n;
    if (lo_lanes) first = static_cast<size_t>(__builtin_ctz(lo_lanes));
    if (hi_lanes) {
        size_t p = n - h + static_cast<size_t>(__builtin_ctz(hi_lanes));
        if (p < first) first = p;
    }
    return first;
}
#endif

// Copies the run of bytes up to the next one mode M replaces and returns
// its position (end when none). Bytes are stored before they are checked:
// out may receive bytes beyond the kept run, never beyond out + (end - s),
// and only advances over the kept ones.
template <ser_escape_mode M>
inline const unsigned char* copy_plain_run(const unsigned char* s, const unsigned char* end, char*& out) {
#if defined(__SSE2__)
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
    // Short rest: two overlapping loads cover it without reading past end.
    size_t n = static_cast<size_t>(end - s);
    if (n >= 8) {
        uint64_t lo, hi;
        std::memcpy(&lo, s, 8);
        std::memcpy(&hi, end - 8, 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
        size_t k = first_special_of_halves<M>(lo, hi, n);
        out += k;
        return s + k;
    }
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, end - 4, 4);
        std::memcpy(out, &lo, 4);
        std::memcpy(out + n - 4, &hi, 4);
        size_t k = first_special_of_halves<M>(lo, hi, n);
        out += k;
        return s + k;
    }
#endif
    constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
    while (s < end && !(kTables.cls[*s] & mask)) *out++ = static_cast<char>(*s++);
    return s;
}

// Growth of a 16-byte block whose every byte is replaced (by at most 6).
constexpr size_t kBlockGrowth = 16 * 5;

// Makes room for (end - s) + kSerEscapeSlack + tail + extra bytes at out,
// which may move; false (data[length] a NUL) when the block cannot grow.
inline bool escape_room(ser_buffer* b, char*& out, char*& limit, const unsigned char* s, const unsigned char* end,
                        size_t tail, size_t extra) {
    size_t need = static_cast<size_t>(end - s) + kSerEscapeSlack + tail + extra;
    if (static_cast<size_t>(limit - out) >= need) return true;
    b->length = static_cast<size_t>(out - b->data);
    if (!buffer_ensure_capacity(b, need)) {
        b->data[b->length] = '\0';
        return false;
    }
    out = b->data + b->length;
    limit = b->data + b->capacity;
    return true;
}

// Escapes [s, end) to out, a position in b's block with at least
// (end - s) + kSerEscapeSlack + tail bytes free behind it, growing the
// block when replacements need more. Returns the new end (with at least
// tail + 1 bytes free behind it), or NULL when growth failed.
template <ser_escape_mode M>
char* escape_into(ser_buffer* b, char* out, const unsigned char* s, const unsigned char* end, size_t tail) {
    char* limit = b->data + b->capacity;
#if defined(__SSE2__)
    // Whole blocks: one test finds every special byte of the block, and the
    // plain bytes after each replacement are stored again from the input.
    while (end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        unsigned lanes = special_lanes<M>(v);
        if (!lanes) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            s += 16;
            out += 16;
            continue;
        }
        if (!escape_room(b, out, limit, s, end, tail, kBlockGrowth)) return nullptr;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const unsigned char* block = s;
        unsigned done = 0;  // bytes of the block in place
        for (;;) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(lanes));
            out += k - done;
            out = write_replacement<M>(out, block[k]);
            done = k + 1;
            lanes &= lanes - 1;
            if (done == 16) break;
            // The replacement overwrote the bytes stored after it. A store
            // of 16 input bytes puts them back when the input has them;
            // otherwise the short rest is left to the loop below.
            if (end - (block + done) < 16) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + done)));
            if (!lanes) {
                out += 16 - done;
                done = 16;
                break;
            }
        }
        s = block + done;
    }
#endif
    constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
    for (;;) {
        s = copy_plain_run<M>(s, end, out);
        if (s == end) return out;
        // A short rest goes byte by byte, with room made at once for every
        // byte of it to be replaced.
        if (end - s <= 32) {
            if (!escape_room(b, out, limit, s, end, tail, 5 * static_cast<size_t>(end - s))) return nullptr;
            for (; s < end; s++) {
                unsigned char c = *s;
                if (kTables.cls[c] & mask)
                    out = write_replacement<M>(out, c);
                else
                    *out++ = static_cast<char>(c);
            }
            return out;
        }
        out = write_replacement<M>(out, *s++);
        if (!escape_room(b, out, limit, s, end, tail, 0)) return nullptr;
    }
}

template <ser_escape_mode M>
inline char* escape_into(ser_buffer* b, char* out, const char* text, size_t n, size_t tail) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    return escape_into<M>(b, out, s, s + n, tail);
}

// escape_into for the short values and texts most documents are made of:
// up to 16 bytes without a special byte are copied and checked inline, with
// one or two loads and one test; anything else goes to escape_into from the
// first special byte on.
template <ser_escape_mode M>
[[gnu::always_inline]] inline char* escape_into_short(ser_buffer* b, char* out, const char* text, size_t n,
                                                      size_t tail) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t k;  // the first special position, n when none
#if defined(__SSE2__)
    if (n >= 8 && n <= 16) {
        uint64_t lo, hi;
        std::memcpy(&lo, s, 8);
        std::memcpy(&hi, s + n - 8, 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
        k = first_special_of_halves<M>(lo, hi, n);
    } else if (n >= 4 && n < 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, s + n - 4, 4);
        std::memcpy(out, &lo, 4);
        std::memcpy(out + n - 4, &hi, 4);
        k = first_special_of_halves<M>(lo, hi, n);
    } else
#endif
    if (n < 4) {
        constexpr unsigned char mask = static_cast<unsigned char>(1u << M);
        for (k = 0; k < n && !(kTables.cls[s[k]] & mask); k++) out[k] = static_cast<char>(s[k]);
    } else {
        return escape_into<M>(b, out, s, s + n, tail);
    }
    if (k == n) return out + n;
    return escape_into<M>(b, out + k, s + k, s + n, tail);
}

}  // namespace ser_escape
