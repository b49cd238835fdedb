// Byte-scan kernels: contains a byte, find a three-byte sequence, count a
// byte, plus the fused markup counter the parser sizes its arena with. The
// scalar forms define the contracts; the AVX2 and SSE2 forms keep them and
// never read outside [buffer, buffer + length). A load-time constructor
// picks the best set once; nothing changes them afterwards.
#include <cstring>

#include "parser/parser.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVEL_X86 1
#endif

quorvel_contains_fn g_contains_fn = nullptr;
quorvel_find3_fn g_find3_fn = nullptr;
quorvel_count_fn g_count_fn = nullptr;

namespace {
using count_markup_fn = bool (*)(const char*, size_t, size_t*, size_t*);
count_markup_fn g_count_markup_fn = nullptr;

bool count_markup_scalar(const char* buffer, size_t length, size_t* lt, size_t* quotes) {
    size_t a = 0, q = 0;
    unsigned odd = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(buffer[i]);
        a += c == '<';
        q += (c == '"') | (c == '\'');
        odd |= (c >= 0x80) | (c == 0);
    }
    *lt = a;
    *quotes = q;
    return odd != 0;
}

#ifdef QUORVEL_X86

// Bits set in a 16-lane byte mask. __builtin_popcount would do, but without
// -mpopcnt it becomes a call into libgcc_s, which the library does not link.
inline unsigned popcount16(unsigned mask) {
    mask = mask - ((mask >> 1) & 0x5555u);
    mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
    mask = (mask + (mask >> 4)) & 0x0F0Fu;
    return (mask + (mask >> 8)) & 0x1Fu;
}

// Byte counters in vector lanes overflow after 255 steps; they are folded
// into 64-bit sums with psadbw before that.
__attribute__((target("avx2"))) inline uint64_t fold_avx2(__m256i acc) {
    __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_extract_epi64(s, 1));
}

__attribute__((target("avx2"))) size_t count_avx2(const char* buffer, size_t length, int byte) {
    const __m256i needle = _mm256_set1_epi8(static_cast<char>(byte));
    size_t i = 0, total = 0;
    while (length - i >= 32) {
        __m256i acc = _mm256_setzero_si256();
        size_t steps = (length - i) / 32;
        if (steps > 255) steps = 255;
        for (size_t k = 0; k < steps; k++, i += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + i));
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(v, needle));
        }
        total += fold_avx2(acc);
    }
    for (; i < length; i++) total += buffer[i] == static_cast<char>(byte);
    return total;
}

// Counts '<' and quote bytes; with Copy, also copies the input to work in
// the same pass, so that the input is read once; with lines, records where
// its line feeds lie.
template <bool Copy>
__attribute__((target("avx2"))) bool markup_pass_avx2(char* work, quorvel_line_index* lines, const char* buffer,
                                                      size_t length, size_t* lt, size_t* quotes) {
    const __m256i vlt = _mm256_set1_epi8('<');
    const __m256i vdq = _mm256_set1_epi8('"');
    const __m256i vsq = _mm256_set1_epi8('\'');
    const __m256i vlf = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0, a = 0, q = 0;
    // Bytes from 0x80 up and NUL bytes, gathered for the caller's check:
    // the sign bit of each lane, or a lane set where a byte is NUL.
    __m256i odd_lanes = zero;
    if (lines && lines->failed) lines = nullptr;
    while (length - i >= 32) {
        __m256i acc_lt = _mm256_setzero_si256();
        __m256i acc_q = _mm256_setzero_si256();
        size_t steps = (length - i) / 32;
        if (steps > 255) steps = 255;
        // Room for a line feed in every byte of the round.
        if (lines && !quorvel_line_index_grow(lines, steps * 32)) lines = nullptr;
        for (size_t k = 0; k < steps; k++, i += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + i));
            if (Copy) _mm256_storeu_si256(reinterpret_cast<__m256i*>(work + i), v);
            acc_lt = _mm256_sub_epi8(acc_lt, _mm256_cmpeq_epi8(v, vlt));
            acc_q = _mm256_sub_epi8(acc_q, _mm256_cmpeq_epi8(v, vdq));
            acc_q = _mm256_sub_epi8(acc_q, _mm256_cmpeq_epi8(v, vsq));
            odd_lanes = _mm256_or_si256(odd_lanes, _mm256_or_si256(v, _mm256_cmpeq_epi8(v, zero)));
            if (lines) {
                auto feeds = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, vlf)));
                for (; feeds; feeds &= feeds - 1) quorvel_line_index_add(lines, i + static_cast<size_t>(__builtin_ctz(feeds)));
            }
        }
        a += fold_avx2(acc_lt);
        q += fold_avx2(acc_q);
    }
    bool odd = _mm256_movemask_epi8(odd_lanes) != 0;
    size_t ta, tq;
    if (count_markup_scalar(buffer + i, length - i, &ta, &tq)) odd = true;
    if (Copy) std::memcpy(work + i, buffer + i, length - i);
    if (lines) quorvel_line_index_scan(lines, buffer + i, length - i, i);
    *lt = a + ta;
    *quotes = q + tq;
    return odd;
}

bool count_markup_avx2(const char* buffer, size_t length, size_t* lt, size_t* quotes) {
    return markup_pass_avx2<false>(nullptr, nullptr, buffer, length, lt, quotes);
}

bool count_lines_markup_avx2(quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
                             size_t* quotes) {
    return markup_pass_avx2<false>(nullptr, lines, buffer, length, lt, quotes);
}

bool copy_count_markup_avx2(char* work, quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
                            size_t* quotes) {
    return markup_pass_avx2<true>(work, lines, buffer, length, lt, quotes);
}

__attribute__((target("avx2"))) ptrdiff_t find3_avx2(const char* buffer, size_t length, int b0, int b1, int b2) {
    if (length <= 2) return -1;
    const __m256i v0 = _mm256_set1_epi8(static_cast<char>(b0));
    const __m256i v1 = _mm256_set1_epi8(static_cast<char>(b1));
    const __m256i v2 = _mm256_set1_epi8(static_cast<char>(b2));
    size_t i = 0;
    // Each step tests starts i..i+31 and reads up to byte i + 33.
    while (length - i >= 34) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + i + 1));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + i + 2));
        __m256i m = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(a, v0), _mm256_cmpeq_epi8(b, v1)),
                                     _mm256_cmpeq_epi8(c, v2));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(m));
        if (mask) return static_cast<ptrdiff_t>(i + static_cast<size_t>(__builtin_ctz(mask)));
        i += 32;
    }
    ptrdiff_t tail = find3_scalar(buffer + i, length - i, b0, b1, b2);
    return tail < 0 ? -1 : static_cast<ptrdiff_t>(i) + tail;
}

size_t count_sse2(const char* buffer, size_t length, int byte) {
    const __m128i needle = _mm_set1_epi8(static_cast<char>(byte));
    size_t i = 0, total = 0;
    for (; length - i >= 16 && length >= 16; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
        total += static_cast<size_t>(popcount16(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, needle)))));
    }
    for (; i < length; i++) total += buffer[i] == static_cast<char>(byte);
    return total;
}

bool count_markup_sse2(const char* buffer, size_t length, size_t* lt, size_t* quotes) {
    const __m128i vlt = _mm_set1_epi8('<');
    const __m128i vdq = _mm_set1_epi8('"');
    const __m128i vsq = _mm_set1_epi8('\'');
    const __m128i zero = _mm_setzero_si128();
    __m128i odd_lanes = zero;
    size_t i = 0, a = 0, q = 0;
    for (; length >= 16 && length - i >= 16; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + i));
        odd_lanes = _mm_or_si128(odd_lanes, _mm_or_si128(v, _mm_cmpeq_epi8(v, zero)));
        a += static_cast<size_t>(popcount16(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, vlt)))));
        __m128i quote = _mm_or_si128(_mm_cmpeq_epi8(v, vdq), _mm_cmpeq_epi8(v, vsq));
        q += static_cast<size_t>(popcount16(static_cast<unsigned>(_mm_movemask_epi8(quote))));
    }
    size_t ta, tq;
    bool odd = count_markup_scalar(buffer + i, length - i, &ta, &tq);
    *lt = a + ta;
    *quotes = q + tq;
    return odd || _mm_movemask_epi8(odd_lanes) != 0;
}

#endif  // QUORVEL_X86

bool copy_count_markup_plain(char* work, quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
                             size_t* quotes) {
    bool odd = g_count_markup_fn(buffer, length, lt, quotes);
    if (work) std::memcpy(work, buffer, length);
    if (lines) quorvel_line_index_scan(lines, buffer, length, 0);
    return odd;
}

using copy_count_fn = bool (*)(char*, quorvel_line_index*, const char*, size_t, size_t*, size_t*);
copy_count_fn g_copy_count_fn = nullptr;
copy_count_fn g_count_lines_fn = nullptr;

}  // namespace

bool contains_scalar(const char* buffer, size_t length, int byte) {
    if (length == 0) return false;
    if (length > 16) return std::memchr(buffer, byte, length) != nullptr;
    for (size_t i = 0; i < length; i++)
        if (buffer[i] == static_cast<char>(byte)) return true;
    return false;
}

ptrdiff_t find3_scalar(const char* buffer, size_t length, int b0, int b1, int b2) {
    if (length <= 2) return -1;
    size_t off = 0;
    while (off < length - 2) {
        const void* hit = std::memchr(buffer + off, b0, length - 2 - off);
        if (!hit) return -1;
        size_t p = static_cast<size_t>(static_cast<const char*>(hit) - buffer);
        if (buffer[p + 1] == static_cast<char>(b1) && buffer[p + 2] == static_cast<char>(b2))
            return static_cast<ptrdiff_t>(p);
        off = p + 1;
    }
    return -1;
}

size_t count_scalar(const char* buffer, size_t length, int byte) {
    size_t n = 0;
    const char* p = buffer;
    const char* end = buffer + length;
    while (p < end) {
        const void* hit = std::memchr(p, byte, static_cast<size_t>(end - p));
        if (!hit) break;
        n++;
        p = static_cast<const char*>(hit) + 1;
    }
    return n;
}

void quorvel_simd_dispatch_ctor() {
    quorvel_count_fn count = count_scalar;
    quorvel_find3_fn find3 = find3_scalar;
    count_markup_fn markup = count_markup_scalar;
    copy_count_fn copy_count = copy_count_markup_plain;
    copy_count_fn count_lines = copy_count_markup_plain;
#ifdef QUORVEL_X86
    // Runs before other constructors may have initialised the CPU model.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        count = count_avx2;
        find3 = find3_avx2;
        markup = count_markup_avx2;
        copy_count = copy_count_markup_avx2;
        count_lines = [](char*, quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
                         size_t* quotes) { return count_lines_markup_avx2(lines, buffer, length, lt, quotes); };
    } else if (__builtin_cpu_supports("sse2")) {
        count = count_sse2;
        markup = count_markup_sse2;
    }
#endif
    // memchr is already vectorised by the C library: contains keeps it.
    g_contains_fn = contains_scalar;
    g_find3_fn = find3;
    g_count_fn = count;
    g_count_markup_fn = markup;
    g_copy_count_fn = copy_count;
    g_count_lines_fn = count_lines;
}

void quorvel_kernels_ensure() {
    if (!g_contains_fn || !g_find3_fn || !g_count_fn || !g_count_markup_fn || !g_copy_count_fn || !g_count_lines_fn) {
        g_contains_fn = contains_scalar;
        g_find3_fn = find3_scalar;
        g_count_fn = count_scalar;
        g_count_markup_fn = count_markup_scalar;
        g_copy_count_fn = copy_count_markup_plain;
        g_count_lines_fn = copy_count_markup_plain;
    }
}

bool quorvel_count_markup(const char* buffer, size_t length, size_t* lt, size_t* quotes) {
    quorvel_kernels_ensure();
    return g_count_markup_fn(buffer, length, lt, quotes);
}

bool quorvel_copy_count_markup(char* work, quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
                               size_t* quotes) {
    quorvel_kernels_ensure();
    if (!work) return g_count_lines_fn(nullptr, lines, buffer, length, lt, quotes);
    return g_copy_count_fn(work, lines, buffer, length, lt, quotes);
}

// Table 3-7 of the Unicode standard: the lead byte fixes the length and the
// range of the second byte; later bytes are 0x80-0xBF. Overlong forms,
// surrogates and code points past U+10FFFF fall outside these ranges.
size_t quorvel_utf8_check(const char* text, size_t length) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
#if defined(__SSE2__)
        // Plain ASCII without NUL goes 16 bytes at a time, and the scan
        // jumps straight to the first byte that needs a look.
        if (length - i >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            __m128i odd = _mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_setzero_si128()));
            auto mask = static_cast<unsigned>(_mm_movemask_epi8(odd));
            if (!mask) {
                i += 16;
                continue;
            }
            i += static_cast<size_t>(__builtin_ctz(mask));
        }
#endif
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c == 0) return i;
            i++;
            continue;
        }
        size_t n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (length - i < n) return i;
        if (s[i + 1] < lo || s[i + 1] > hi) return i;
        for (size_t k = 2; k < n; k++)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return i;
        i += n;
    }
    return length;
}

namespace {
__attribute__((constructor)) void kernels_load_time() { quorvel_simd_dispatch_ctor(); }
}  // namespace
