// The XML document parser and what surrounds it: the byte classes and
// byte-scan kernels it scans with, the parser itself, the doctype step,
// input-encoding conversion, and the hooks of the flat-record fast path and
// DTD attribute defaults that the entry points call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dom/dom.h"
#include "dtd/dtd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---- Byte-scan kernels ---------------------------------------------------------------
// Process-wide, set by a load-time constructor before any caller can enter
// the library; every kernel keeps exactly the contract of its scalar form.

// True when buffer[0..length) holds byte.
using quorvel_contains_fn = bool (*)(const char* buffer, size_t length, int byte);
// Smallest p with p + 3 <= length and buffer[p..p+3) = b0 b1 b2, or -1.
using quorvel_find3_fn = ptrdiff_t (*)(const char* buffer, size_t length, int b0, int b1, int b2);
// Number of i < length with buffer[i] == byte.
using quorvel_count_fn = size_t (*)(const char* buffer, size_t length, int byte);

extern quorvel_contains_fn g_contains_fn;
extern quorvel_find3_fn g_find3_fn;
extern quorvel_count_fn g_count_fn;

bool contains_scalar(const char* buffer, size_t length, int byte);
ptrdiff_t find3_scalar(const char* buffer, size_t length, int b0, int b1, int b2);
size_t count_scalar(const char* buffer, size_t length, int byte);
// Installs the best kernels the CPU offers (the load-time constructor).
void quorvel_simd_dispatch_ctor();
// Installs the scalar kernels when any pointer is still NULL.
void quorvel_kernels_ensure();
// One pass over the input: the number of '<' and of quote bytes ('"' and '\'').
// True when the input holds a NUL byte or a byte from 0x80 up, which
// quorvel_utf8_check must then look at; ASCII text answers false for free.
bool quorvel_count_markup(const char* buffer, size_t length, size_t* lt, size_t* quotes);
// Asks for huge pages over a large block the library made itself and
// fills end to end within one parse (fewer page faults).
void advise_huge_pages(void* block, size_t size);
// The same counts, taken while copying the input to work (and to retained
// unless NULL); neither copy is terminated. The same answer as quorvel_count_markup.
bool quorvel_copy_count_markup(char* work, char* retained, const char* buffer, size_t length, size_t* lt,
                               size_t* quotes);
// The offset of the first byte of text[0..length) that is a NUL or does not
// begin a well-formed UTF-8 sequence (overlong forms, encoded surrogates,
// code points past U+10FFFF, sequences cut short); length when there is none.
size_t quorvel_utf8_check(const char* text, size_t length);

// ---- Byte classes ----------------------------------------------------------------------

// ORDER: bits of quorvel_chartype_table
constexpr uint8_t kCharNameStart = 1;  // ':' 'A'-'Z' '_' 'a'-'z'
constexpr uint8_t kCharName = 2;       // name-start bytes and '-' '.' '0'-'9'
constexpr uint8_t kCharSpace = 4;      // TAB LF CR space
constexpr uint8_t kCharHigh = 8;       // 0x80-0xFF: name start and name character
constexpr uint8_t kCharGt = 16;        // '>'
constexpr uint8_t kCharSlash = 32;     // '/'
constexpr uint8_t kCharEquals = 64;    // '='
constexpr uint8_t kCharQuote = 128;    // '"' '\''
extern const uint8_t quorvel_chartype_table[256];

inline bool dp_is_name_start(unsigned char c) { return quorvel_chartype_table[c] & (kCharNameStart | kCharHigh); }
inline bool dp_is_name_char(unsigned char c) {
    return quorvel_chartype_table[c] & (kCharNameStart | kCharName | kCharHigh);
}
inline bool dp_is_space(unsigned char c) { return quorvel_chartype_table[c] & kCharSpace; }

// ---- Document parser ---------------------------------------------------------------------

constexpr int kParseCopy = 2;
constexpr int kParseInPlace = 0;

// Parses one complete text into a new document, or NULL with the thread's
// last error set (except when memory for the set-up ran out). flags carries
// only 0x08 and 0x10; the four switches are the other flag bits. In-place
// mode keeps text (NUL-terminated by the caller at text[length]) as the
// document's retained input. status, when given, receives 0, -2 for a
// failed parse, or -1 when memory for the set-up ran out (then with an
// out-of-memory text in the thread's last error).
quorvel_document* direct_parse_internal(const char* text, size_t length, int flags, int mode, int drop_ws,
                                        int apply_defaults, int keep_refs, int recover, int* status = nullptr);

// "<!" declarations other than comments and CDATA: a DOCTYPE records the
// doctype node and parses its internal subset into *dtd (the first one
// stays) when keep is set, and is only skipped otherwise; anything else is
// skipped to its '>'. *cursor moves past the declaration (it points at the
// '<' on entry). False for a DOCTYPE keyword run into its name (nine bytes
// past the '<'), which is skipped the same way and builds nothing.
bool dp_parse_doctype(char** cursor, char* end, quorvel_pool* pool, quorvel_document* doc, quorvel_dtd** dtd,
                      bool keep);

// ---- Input encodings -----------------------------------------------------------------------

// 1 little-endian, 2 big-endian, 0 not UTF-16 (by the pattern of NUL bytes).
int utf16_detect_encoding(const char* text, size_t length);
// Converts UTF-16 (order 1 little-endian, else big-endian) into out; answers
// the bytes written, never more than capacity, no NUL of its own.
size_t utf16_to_utf8(const char* text, size_t length, char* out, size_t capacity, int order);

// ---- Hooks provided beside the parser ---------------------------------------------------------

// The flat-record fast path of the copy parse: a document, or NULL when it
// declines (the caller then runs the document parser).
quorvel_document* dp_il_try(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults);
// Adds the DTD's declared attribute defaults to elements that lack them.
void quorvel_dtd_apply_attribute_defaults(quorvel_document* doc);

// ---- Byte scanners ------------------------------------------------------------------------
// One set, shared by the document parser, the fast path and the SAX
// tokenizer. Each says how far past `end` it may read:
//   dp_reach::padded   reads whole 16-byte blocks, so up to 15 bytes past
//                      end; the caller's buffer must have that much readable
//                      padding (the parsers' working copies have).
//   dp_reach::bounded  reads nothing outside [p, end).
// What a scanner saw before the byte it stops at is or-ed into *seen:

constexpr unsigned kScanAmp = 1;    // '&'
constexpr unsigned kScanBreak = 2;  // CR in text; TAB, LF or CR in a value
constexpr unsigned kScanCheck = 4;  // a NUL or a byte from 0x80 (only when asked for)

enum class dp_reach { padded, bounded };

// The first '<' at or after p, or end. With Check, NUL bytes and bytes from
// 0x80 before it set kScanCheck. Bytes of the padding may set bits (never
// missing one that counts): callers only ever read too much into them.
template <dp_reach Reach, bool Check = false>
inline const char* dp_scan_text(const char* p, const char* end, unsigned* seen) {
    unsigned acc = 0;
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    for (; Reach == dp_reach::padded ? p < end : end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned m_lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)));
        unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
        unsigned m_cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
        // Sign bits (bytes from 0x80) and NUL bytes.
        unsigned m_check =
            Check ? static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, zero)))) : 0;
        if (m_lt) {
            unsigned at = static_cast<unsigned>(__builtin_ctz(m_lt));
            unsigned before = (1u << at) - 1;
            if (m_amp & before) acc |= kScanAmp;
            if (m_cr & before) acc |= kScanBreak;
            if (m_check & before) acc |= kScanCheck;
            *seen |= acc;
            const char* q = p + at;
            return Reach == dp_reach::bounded || q < end ? q : end;
        }
        if (m_amp) acc |= kScanAmp;
        if (m_cr) acc |= kScanBreak;
        if (m_check) acc |= kScanCheck;
    }
    if (Reach == dp_reach::padded) {
        *seen |= acc;
        return end;
    }
#endif
    for (; p < end; p++) {
        char c = *p;
        if (c == '<') break;
        if (c == '&') acc |= kScanAmp;
        if (c == '\r') acc |= kScanBreak;
        if (Check && (static_cast<unsigned char>(c) >= 0x80 || c == '\0')) acc |= kScanCheck;
    }
    *seen |= acc;
    return p;
}

// The closing quote at or after p. padded: at or past end when there is
// none before end (callers test close >= end); bounded: end then. With
// Check, NUL bytes and bytes from 0x80 before it set kScanCheck.
template <dp_reach Reach, bool Check = false>
inline const char* dp_scan_value(const char* p, const char* end, char quote, unsigned* seen) {
    unsigned acc = 0;
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote);
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    // The bits of *seen for the bytes of block v that mask marks: '&', the
    // bytes up to CR, of which only TAB, LF and CR count, and with Check the
    // bytes from 0x80 and NUL.
    auto bits = [amp, tab, lf, cr, zero](__m128i v, unsigned mask) {
        unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp))) & mask;
        __m128i ws = _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        unsigned m_ws = static_cast<unsigned>(_mm_movemask_epi8(ws)) & mask;
        unsigned m_check =
            Check ? static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, zero)))) & mask : 0;
        return (m_amp ? kScanAmp : 0u) | (m_ws ? kScanBreak : 0u) | (m_check ? kScanCheck : 0u);
    };
    for (; Reach == dp_reach::padded ? p < end : end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned m_q = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, q)));
        // One mask for the bytes that need a closer look, '&' and every
        // byte up to CR (two operations where three compares would name
        // TAB, LF and CR; NUL among them), and with Check the bytes from
        // 0x80: most values have none of them.
        __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(_mm_min_epu8(v, cr), v));
        if (Check) special = _mm_or_si128(special, _mm_cmplt_epi8(v, zero));
        unsigned m_s = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (m_q) {
            // The bits up to the first quote: that one is no special byte.
            if (unsigned before = m_s & (m_q ^ (m_q - 1))) [[unlikely]]
                acc |= bits(v, before);
            *seen |= acc;
            return p + __builtin_ctz(m_q);
        }
        if (m_s) acc |= bits(v, m_s);
    }
    if (Reach == dp_reach::padded) {
        *seen |= acc;
        return end;
    }
#endif
    for (; p < end; p++) {
        char c = *p;
        if (c == quote) break;
        if (c == '&') acc |= kScanAmp;
        if (c == '\t' || c == '\n' || c == '\r') acc |= kScanBreak;
        if (Check && (static_cast<unsigned char>(c) >= 0x80 || c == '\0')) acc |= kScanCheck;
    }
    *seen |= acc;
    return p;
}

// CR LF and lone CR become LF, in place. Answers the new length and writes a
// NUL there when the text shrank. Reads and writes only p[0, n).
inline size_t dp_normalise_lines(char* p, size_t n) {
    char* cr = static_cast<char*>(std::memchr(p, '\r', n));
    if (!cr) return n;
    char* out = cr;
    const char* in = cr;
    const char* end = p + n;
    while (in < end) {
        char c = *in++;
        if (c == '\r') {
            *out++ = '\n';
            if (in < end && *in == '\n') in++;
        } else {
            *out++ = c;
        }
    }
    size_t len = static_cast<size_t>(out - p);
    if (len < n) *out = '\0';
    return len;
}

// How dp_read_reference found the reference at '&'.
enum class dp_reference {
    decoded,     // a predefined entity or a character reference ended by ';'
    cut_off,     // a character reference whose digits run to end or to a NUL
                 // (decoded; *used stops there)
    malformed,   // "&#" without digits, a stray byte after the digits, or a
                 // value that is 0, a surrogate or above U+10FFFF
    other,       // an entity name other than the five predefined ones
};

// The predefined-entity and character-reference decoder every parser
// shares. s points at '&' (s < end); reads only [s, end). On decoded and
// cut_off, out (room for 4 bytes) holds *written bytes and *used is the
// number of input bytes the reference took.
inline dp_reference dp_read_reference(const char* s, const char* end, char* out, size_t* written, size_t* used) {
    const char* r = s + 1;
    size_t left = static_cast<size_t>(end - r);
    if (left >= 3 && r[2] == ';' && r[1] == 't' && (r[0] == 'l' || r[0] == 'g')) {
        *out = r[0] == 'l' ? '<' : '>';
        *written = 1;
        *used = 4;
        return dp_reference::decoded;
    }
    if (left >= 4 && r[0] == 'a' && r[1] == 'm' && r[2] == 'p' && r[3] == ';') {
        *out = '&';
        *written = 1;
        *used = 5;
        return dp_reference::decoded;
    }
    if (left >= 5 && r[4] == ';' &&
        ((r[0] == 'a' && r[1] == 'p' && r[2] == 'o' && r[3] == 's') ||
         (r[0] == 'q' && r[1] == 'u' && r[2] == 'o' && r[3] == 't'))) {
        *out = r[0] == 'a' ? '\'' : '"';
        *written = 1;
        *used = 6;
        return dp_reference::decoded;
    }
    if (left == 0 || r[0] != '#') return dp_reference::other;
    uint32_t code_point = 0;
    const char* after = nullptr;
    char_ref_result result = quorvel_char_ref_parse(r + 1, end, &code_point, &after);
    if (result == char_ref_result::malformed) {
        // A text ends at its first NUL: digits that run into one are cut off there.
        if (!after || *after != '\0') return dp_reference::malformed;
        result = char_ref_result::cut_off;
    } else if (result == char_ref_result::cut_off) {
        after = end;
    }
    *written = quorvel_utf8_encode(code_point, out);
    *used = static_cast<size_t>(after - s);
    return result == char_ref_result::complete ? dp_reference::decoded : dp_reference::cut_off;
}

// Attribute-value normalisation into a pool copy: TAB and LF become a
// space, CR LF or a lone CR one space.
inline char* dp_normalise_value(quorvel_pool* pool, const char* v, size_t n, size_t* out_len) {
    auto* copy = static_cast<char*>(quorvel_pool_alloc(pool, n + 1));
    if (!copy) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        char c = v[i];
        if (c == '\r') {
            copy[o++] = ' ';
            if (i + 1 < n && v[i + 1] == '\n') i++;
        } else if (c == '\t' || c == '\n') {
            copy[o++] = ' ';
        } else {
            copy[o++] = c;
        }
    }
    copy[o] = '\0';
    *out_len = o;
    return copy;
}

// ---- DTD declaration parser ----------------------------------------------------------

// Parses declarations from text[0, length) into the DTD at a parameter-entity
// nesting level (0 for every outside caller). Malformed declarations set
// has_error and are skipped; the result is 0 when has_error is set
// afterwards, else 1.
int dtd_parse_into(quorvel_dtd* dtd, const char* text, size_t length, int level);

// How a parse ended. The two limits also set has_error and the thread's
// last-error text, and stop the parse where they were met.
enum class dtd_parse_outcome : int {
    clean = 0,   // has_error stayed clear
    malformed,   // has_error set by a malformed declaration or lack of memory
    too_large,   // parameter-entity substitution passed dtd_expansion_limit
    too_deep,    // INCLUDE sections nested beyond kDtdMaxIncludeNesting
};
dtd_parse_outcome dtd_parse_run(quorvel_dtd* dtd, const char* text, size_t length, int level);

// INCLUDE sections open at once. Each level rescans its content for the
// matching end, so the cap also bounds that work.
constexpr int kDtdMaxIncludeNesting = 64;
