// The XML document parser and what surrounds it: the byte classes and
// byte-scan kernels it scans with, the parser itself, the doctype step,
// input-encoding conversion, and the hooks of the flat-record fast path and
// DTD attribute defaults that the entry points call; then the flat-record
// scanner with the fast path, and the streaming readers (SAX, pull,
// iterparse). The document parser's own files share document_parser.h too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
// The same counts, taken while copying the input to work (not terminated)
// unless work is NULL, and recording the input's line feeds in lines unless
// NULL. The same answer as quorvel_count_markup.
bool quorvel_copy_count_markup(char* work, quorvel_line_index* lines, const char* buffer, size_t length, size_t* lt,
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
// A kept internal subset that holds a malformed character reference in a
// declaration, or whose parameter entities expand past the DTD's allowance,
// makes the document ill-formed: *refused_at (when refused_at is given)
// then points into the subset where it was met and *refused_why says what.
bool dp_parse_doctype(char** cursor, char* end, quorvel_pool* pool, quorvel_document* doc, quorvel_dtd** dtd,
                      bool keep, char** refused_at = nullptr, const char** refused_why = nullptr);

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
                 // value that is no XML character (quorvel_is_xml_char)
    other,       // an entity name other than the five predefined ones
};

namespace dp_ref_words {
// The low n bytes of a word (n < 8).
constexpr uint64_t byte_mask_below(size_t n) { return (uint64_t(1) << (8 * n)) - 1; }
// The predefined references as little-endian words, '&' and ';' included.
constexpr uint64_t word(const char* text) {
    uint64_t w = 0;
    for (unsigned i = 0; text[i]; i++) w |= uint64_t(static_cast<unsigned char>(text[i])) << (8 * i);
    return w;
}
constexpr uint32_t kAmp4 = static_cast<uint32_t>(word("&amp"));
constexpr uint32_t kLt4 = static_cast<uint32_t>(word("&lt;"));
constexpr uint32_t kGt4 = static_cast<uint32_t>(word("&gt;"));
constexpr uint32_t kQuot4 = static_cast<uint32_t>(word("&quo"));
constexpr uint16_t kQuotTail = static_cast<uint16_t>(word("t;"));
constexpr uint32_t kApos4 = static_cast<uint32_t>(word("&apo"));
constexpr uint16_t kAposTail = static_cast<uint16_t>(word("s;"));
constexpr uint16_t kHash = static_cast<uint16_t>(word("&#"));
// Hex digit values; 16 for any other byte.
struct hex_table {
    uint8_t value[256];
    constexpr hex_table() : value{} {
        for (unsigned c = 0; c < 256; c++) value[c] = 16;
        for (unsigned c = '0'; c <= '9'; c++) value[c] = static_cast<uint8_t>(c - '0');
        for (unsigned c = 'a'; c <= 'f'; c++) value[c] = value[c - 32] = static_cast<uint8_t>(c - 'a' + 10);
    }
};
inline constexpr hex_table kHexValue;
}  // namespace dp_ref_words

inline dp_reference dp_read_reference_bytes(const char* s, const char* end, char* out, size_t* written, size_t* used);

// The predefined-entity and character-reference decoder every parser
// shares. s points at '&' (s < end); reads only [s, end). On decoded and
// cut_off, out (room for 4 bytes) holds *written bytes and *used is the
// number of input bytes the reference took.
//
// Padded: the caller vouches that the bytes from s on are readable up to a
// NUL byte at or past end and at least 8 of them (a working copy with its
// padding): the forms are then read without bounds checks, the word past
// end masked off. Either way the answer is the same.
template <bool Padded = false>
[[gnu::always_inline]] inline dp_reference dp_read_reference(const char* s, const char* end, char* out,
                                                             size_t* written, size_t* used) {
    // The common forms are told apart by word compares: each predefined
    // entity, any other name, and a character reference of up to seven
    // digits ended by ';' whose value is a character. Other character
    // references take the byte-wise reading, which decides every form.
    if (Padded || end - s >= 4) {
        using namespace dp_ref_words;
        uint64_t w = 0;
        if (Padded) {
            std::memcpy(&w, s, 8);
            if (end - s < 8) w &= byte_mask_below(static_cast<size_t>(end - s));
        } else if (end - s >= 8) [[likely]] {
            std::memcpy(&w, s, 8);
        } else {
            std::memcpy(&w, s, static_cast<size_t>(end - s));  // the rest reads as zeros, which match no form
        }
        uint32_t w4 = static_cast<uint32_t>(w);
        uint16_t tail = static_cast<uint16_t>(w >> 32);
        *written = 1;
        if (w4 == kAmp4 && static_cast<unsigned char>(tail) == ';') {
            *out = '&';
            *used = 5;
            return dp_reference::decoded;
        }
        if (w4 == kLt4 || w4 == kGt4) {
            *out = w4 == kLt4 ? '<' : '>';
            *used = 4;
            return dp_reference::decoded;
        }
        if ((w4 == kQuot4 && tail == kQuotTail) || (w4 == kApos4 && tail == kAposTail)) {
            *out = w4 == kQuot4 ? '"' : '\'';
            *used = 6;
            return dp_reference::decoded;
        }
        // No predefined entity matched: the byte-wise reading would find
        // none either, whatever follows.
        if (static_cast<uint16_t>(w4) != kHash) return dp_reference::other;
        const char* d = s + 2;
        const char* digits;
        uint32_t cp = 0;
        // Unpadded, at most nine digits are read, none at or past end;
        // padded, a digit run ends at the NUL at the latest (more than seven
        // digits wrap cp and are refused below).
        const char* stop = Padded ? nullptr : end - s > 11 ? s + 11 : end;
        if ((static_cast<unsigned char>(w >> 16) | 0x20) == 'x') {
            digits = ++d;
            for (unsigned v; (Padded || d < stop) && (v = kHexValue.value[static_cast<unsigned char>(*d)]) < 16; d++)
                cp = cp << 4 | v;
        } else {
            digits = d;
            for (unsigned v; (Padded || d < stop) && (v = static_cast<unsigned char>(*d) - unsigned('0')) < 10; d++)
                cp = cp * 10 + v;
        }
        if (d - digits <= 7 && d < end && *d == ';' && quorvel_is_xml_char(cp)) {
            *written = quorvel_utf8_encode(cp, out);
            *used = static_cast<size_t>(d + 1 - s);
            return dp_reference::decoded;
        }
    }
    return dp_read_reference_bytes(s, end, out, written, used);
}

// The byte-wise reading of dp_read_reference: every form, any length.
inline dp_reference dp_read_reference_bytes(const char* s, const char* end, char* out, size_t* written,
                                            size_t* used) {
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

// The '&' of the first character reference in [p, end) that no document
// may hold, which every parser refuses: no digits, a stray byte before the
// ';', none at all before end, or a value that is no XML character
// (quorvel_is_xml_char); NULL when there is none. Reads only [p, end).
template <typename Char>
inline Char* dp_first_bad_char_ref(Char* p, Char* end) {
    while (p < end) {
        auto* amp = static_cast<Char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        if (!amp) break;
        if (amp + 1 < end && amp[1] == '#') {
            uint32_t code_point = 0;
            const char* after = nullptr;
            if (quorvel_char_ref_parse(amp + 2, end, &code_point, &after) != char_ref_result::complete) return amp;
        }
        p = amp + 1;
    }
    return nullptr;
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
    clean = 0,     // has_error stayed clear
    malformed,     // has_error set by a malformed declaration or lack of memory
    too_large,     // parameter-entity substitution passed the DTD's expansion allowance
    too_deep,      // INCLUDE sections nested beyond kDtdMaxIncludeNesting
    bad_char_ref,  // an entity value or attribute default holds a malformed
                   // character reference (dp_first_bad_char_ref); the
                   // declaration is skipped and the parse goes on
};
// at, when given, receives where a too_large or bad_char_ref outcome was
// met: the reference's '&' when it is in text itself, else the start of the
// construct of text whose parameter-entity replacement held it.
dtd_parse_outcome dtd_parse_run(quorvel_dtd* dtd, const char* text, size_t length, int level,
                                const char** at = nullptr);

// INCLUDE sections open at once. Each level rescans its content for the
// matching end, so the cap also bounds that work.
constexpr int kDtdMaxIncludeNesting = 64;

// ==== The flat-record scanner and the parse fast path ===================================
// The flat-record scanner and the parse fast path built on it. One forward
// scan of a plain document (elements, attributes, text) reports what it
// meets to a sink: the record sink fills the node and attribute records of
// quorvel_sax_records_*, the document sink of the fast path (dp_il_try)
// builds the document's records directly. Anything outside the plain
// subset, or anything the document parser would reject, makes the scan
// decline; a decline is never an error: the document parser then decides.

// ---- Scan state -------------------------------------------------------------------------------

constexpr size_t kIlInlineDepth = 256;
constexpr size_t kIlMaxLength = 0x7FFFFFFE;

// What one scan keeps besides the sink's own records: the names of the open
// elements (for end tags), the attribute names of the current start tag and
// the duplicate-name set of a tag with many attributes.
struct il_scan_state {
    uint32_t* open;        // name offset and length of each open element, in pairs
    size_t depth;
    size_t capacity;       // open elements with room
    size_t limit;          // the thread's maximum depth
    uint32_t* heap_open;   // NULL while the inline stack serves
    uint32_t* tag_names;   // offset, length and fingerprint of each attribute of the current tag
    size_t tag_capacity;   // attributes with room
    uint32_t* dup_slots;   // 1-based attribute index of the tag, 0 = empty
    size_t dup_capacity;
    size_t dup_mask;       // 0 while the tag is checked by a linear pass over the hashes
    uint32_t inline_open[2 * kIlInlineDepth];
};

// Below this many attributes a tag's names are checked by one pass over
// their fingerprints (length, first and last byte); from it on through a
// hash set, so the check stays linear whatever the names.
constexpr size_t kIlDupLinearLimit = 32;

void il_scan_init(il_scan_state* st);
void il_scan_release(il_scan_state* st);
bool il_grow_open(il_scan_state* st);
bool il_grow_tag_names(il_scan_state* st);
// 1 when the tag's attributes [0, count) hold the name (read from text),
// 0 when not (the name is then entered in the set as attribute count), -1
// when memory for the set ran out. For tags of kIlDupLinearLimit
// attributes or more.
int il_duplicate_hashed(il_scan_state* st, const char* text, size_t count, const char* name, size_t len);

// Seeded per process so that crafted names cannot aim at one probe chain.
inline uint32_t il_name_hash(const char* p, size_t n) {
    uint64_t seed = quorvel_hash_seed();
    uint64_t h = seed ^ (n * 0xC2B2AE3D27D4EB4Full);
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    uint64_t w = 0;
    for (size_t i = 0; i < n; i++) w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    h = (h ^ w) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

inline uint32_t il_fingerprint(const char* name, size_t len) {
    return static_cast<uint32_t>(len << 16) ^ (static_cast<uint32_t>(static_cast<unsigned char>(name[0])) << 8) ^
           static_cast<unsigned char>(name[len - 1]);
}

// ---- Byte scanners --------------------------------------------------------------------------------
// The text they read is followed by at least kIlPadding zero bytes: a zero
// byte is neither white space nor a name byte, so the byte loops stop on
// the padding without testing the end, and the block loops read up to 15
// bytes past it.

constexpr size_t kIlPadding = 65;

inline const char* il_skip_space(const char* p) {
    while (dp_is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

// Past the name bytes from p; *colon set when one of them is ':'.
inline const char* il_skip_name(const char* p, bool* colon) {
    bool seen = false;
    for (unsigned char c; dp_is_name_char(c = static_cast<unsigned char>(*p)); p++) seen |= c == ':';
    *colon = seen;
    return p;
}

inline uint64_t il_byte_mask(size_t n) { return n >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * n)) - 1; }

inline bool il_equal(const char* a, const char* b, size_t n) {
    if (n == 1) return *a == *b;
    return std::memcmp(a, b, n) == 0;
}

// A name holding a colon: its prefix and local part are both non-empty.
// The document parser refuses "p:" and ":l".
inline bool il_qualified_name(const char* name, size_t len) {
    return name[0] != ':' && name[len - 1] != ':';
}

// An element closed by an end tag: the scan takes a repeated name only
// without a colon or with one colon that has bytes on both sides, and
// leaves rarer names to the document parser.
inline bool il_closable_name(const char* name, size_t len) {
    auto* colon = static_cast<const char*>(std::memchr(name, ':', len));
    if (!colon) return true;
    const char* end = name + len;
    return colon > name && colon + 1 < end && !std::memchr(colon + 1, ':', static_cast<size_t>(end - colon - 1));
}

// ---- The scan ---------------------------------------------------------------------------------------

// The sink's calls, all returning false to make the scan decline (memory):
//   element(lt, name, name_length, colon)     a start tag begins; its attributes follow
//   attribute(name, length, value, length, normalize, colon)
//   start_tag_end(content, self_closing, attributes)   '>' or "/>" ends it
//   text(offset, length, cr)                  a text run inside the innermost open element
//   element_end(end)                          the innermost open element's end tag
// Offsets count bytes of the text; content and end lie just past '>'. A
// sink may write into the text only behind the scan: over the byte that
// ends an attribute name or value, a text run or (from start_tag_end on)
// an element name, and inside the name of an element only once it is
// closed (the scan compares end tags with the open element's name).
//
// Scans text[0..n), which kIlPadding zero bytes follow. 1 when it is a
// complete plain document, 0 when the scan declines. drop_ws drops
// whitespace-only text runs inside elements. *root_end receives the offset
// just past the root element.
template <class Sink>
int il_scan(const char* text, size_t n, int drop_ws, il_scan_state* st, Sink& sink, size_t* root_end) {
    *root_end = 0;
    if (n == 0 || n > kIlMaxLength) return 0;
    const char* const end = text + n;
    const char* p = text;
    if (n >= 3 && static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF)
        p += 3;
    p = il_skip_space(p);
    if (end - p < 2 || *p != '<') return 0;
    auto offset = [text](const char* at) { return static_cast<uint32_t>(at - text); };
    // The open-element stack in locals: the sink's byte stores could alias
    // the state's fields and force them back to memory on every tag.
    size_t depth = 0;
    uint32_t* open_names = st->open;
    size_t room = st->capacity < st->limit ? st->capacity : st->limit;

    // Invariant at the top: p is a '<' with at least one byte after it.
    for (;;) {
        const char* q;
        if (p[1] == '/') {
            // '/' an end tag: exactly the innermost open element's name.
            if (depth == 0) return 0;
            const uint32_t* open = open_names + 2 * (depth - 1);
            size_t len = open[1];
            q = p + 2;
            if (static_cast<size_t>(end - q) <= len) return 0;
            if (len <= 8) {
                // Both names have 8 bytes to read (the padding follows).
                uint64_t x, y;
                std::memcpy(&x, q, 8);
                std::memcpy(&y, text + open[0], 8);
                if ((x ^ y) & il_byte_mask(len)) return 0;
            } else if (std::memcmp(q, text + open[0], len) != 0) {
                return 0;
            }
            q += len;
            if (*q != '>') {
                if (dp_is_name_char(static_cast<unsigned char>(*q))) return 0;  // a longer name
                q = il_skip_space(q);
                if (*q != '>') return 0;
            }
            q++;
            if (!sink.element_end(offset(q))) return 0;
            if (--depth == 0) {
                *root_end = offset(q);
                break;
            }
        } else {
            // A start tag. '!' (comment, CDATA, declaration) and '?'
            // (processing instruction) are outside the subset, like any
            // other byte that cannot begin a name.
            const char* lt = p;
            const char* name = p + 1;
            if (!dp_is_name_start(static_cast<unsigned char>(*name))) return 0;
            bool colon;
            q = il_skip_name(name + 1, &colon);
            colon |= *name == ':';
            auto name_len = static_cast<uint32_t>(q - name);
            if (colon && !il_qualified_name(name, name_len)) return 0;
            if (!sink.element(offset(lt), offset(name), name_len, colon)) return 0;
            size_t count = 0;
            bool self_closing;
            uint64_t filter = 0;  // one bit per attribute fingerprint seen in this tag
            for (;;) {
                if (dp_is_space(static_cast<unsigned char>(*q))) q = il_skip_space(q + 1);
                unsigned char c = static_cast<unsigned char>(*q);
                if (c == '>') {  // '>' ends the start tag
                    q++;
                    self_closing = false;
                    break;
                }
                if (c == '/') {  // '/' must be "/>"
                    if (q[1] != '>') return 0;
                    q += 2;
                    self_closing = true;
                    break;
                }
                if (!dp_is_name_start(c)) return 0;  // also a NUL byte, in the text or past it
                const char* an = q;
                bool attr_colon;
                q = il_skip_name(q, &attr_colon);
                auto alen = static_cast<uint32_t>(q - an);
                if (attr_colon && !il_qualified_name(an, alen)) return 0;
                if (alen >= 5 && std::memcmp(an, "xmlns", 5) == 0) return 0;  // no namespace declarations
                q = il_skip_space(q);
                if (*q != '=') return 0;
                q = il_skip_space(q + 1);
                if (*q != '"' && *q != '\'') return 0;
                const char* v = q + 1;
                unsigned seen = 0;
                const char* close = dp_scan_value<dp_reach::padded>(v, end, *q, &seen);
                if (close >= end || (seen & 1)) return 0;  // unclosed, or a reference
                uint32_t print = il_fingerprint(an, alen);
                if (count >= kIlDupLinearLimit) {
                    if (il_duplicate_hashed(st, text, count, an, alen) != 0) return 0;
                } else {
                    uint64_t bit = uint64_t(1) << ((print * 0x9E3779B1u) >> 26);
                    if (filter & bit) {
                        for (size_t i = 0; i < count; i++) {
                            const uint32_t* other = st->tag_names + 3 * i;
                            if (other[2] == print && il_equal(text + other[0], an, alen)) return 0;
                        }
                    }
                    filter |= bit;
                }
                if (count == st->tag_capacity && !il_grow_tag_names(st)) return 0;
                st->tag_names[3 * count] = offset(an);
                st->tag_names[3 * count + 1] = alen;
                st->tag_names[3 * count + 2] = print;
                count++;
                if (!sink.attribute(offset(an), alen, offset(v), static_cast<uint32_t>(close - v), (seen & 2) != 0,
                                    attr_colon))
                    return 0;
                q = close + 1;
            }
            if (count > kIlDupLinearLimit) st->dup_mask = 0;  // the set served this tag only
            if (!self_closing) {
                if (colon && !il_closable_name(name, name_len)) return 0;
                if (depth >= room) {
                    if (depth >= st->limit) return 0;
                    st->depth = depth;
                    if (!il_grow_open(st)) return 0;
                    open_names = st->open;
                    room = st->capacity < st->limit ? st->capacity : st->limit;
                }
            }
            if (!sink.start_tag_end(offset(q), self_closing, static_cast<uint32_t>(count))) return 0;
            if (self_closing) {
                if (depth == 0) {
                    *root_end = offset(q);
                    break;
                }
            } else {
                open_names[2 * depth] = offset(name);
                open_names[2 * depth + 1] = name_len;
                depth++;
            }
        }

        // Content of the innermost open element, from q to the next '<'.
        const char* lt = nullptr;
        if (*q == '<') {
            lt = q;
        } else if (drop_ws && dp_is_space(static_cast<unsigned char>(*q))) {
            const char* r = il_skip_space(q);
            if (*r == '<') lt = r;  // whitespace-only run dropped
        }
        if (!lt) {
            unsigned seen = 0;
            lt = dp_scan_text<dp_reach::padded>(q, end, &seen);
            if (lt >= end || (seen & 1)) return 0;  // unclosed, or a reference
            if (!sink.text(offset(q), static_cast<uint32_t>(lt - q), (seen & 2) != 0)) return 0;
        }
        if (end - lt < 2) return 0;
        p = lt;
    }

    // After the root only white space, up to the very end: a NUL byte is
    // not white space, so bytes after one are not ignored.
    if (il_skip_space(text + *root_end) != end) return 0;
    return 1;
}

// ---- Fast path ------------------------------------------------------------------------------------

// The fast path with the switch the document parser honours beside the
// three of dp_il_try: no_positions makes no per-element position records.
quorvel_document* dp_il_try_flags(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults,
                                  int no_positions);

// The environment settings, filled once per process.
struct dp_env_memo {
    int enabled;
    int64_t min_size;
};
// What the two variables' values (NULL when unset) mean.
dp_env_memo dp_env_from(const char* interleaved, const char* il_min);
// True when the settings send a text of this length down the fast path.
inline bool dp_env_allows(const dp_env_memo& memo, size_t length) {
    return memo.enabled && static_cast<int64_t>(length) >= memo.min_size;
}

// Test-only: overrides the environment for the calling thread. -1 follows
// the environment, 0 turns the fast path off, 1 turns it on for every
// input length. Differential tests and benchmarks compare both roads in
// one process with it.
void dp_il_set_test_mode(int mode);

// ==== The streaming readers ==============================================================
// The streaming readers: the SAX push parser, and the hooks through which
// the recorder, the pull parser and iterparse drive it. The parser reads
// whole constructs: a construct cut by a chunk boundary is left unconsumed
// in the input buffer and read again once its end has arrived, so every
// chunking of an input gives the same events. Strings reported to callbacks
// live in a scratch stack released with the element that made them, which
// keeps a streaming parse in memory bounded by its open elements.

// Every buffer of the streaming readers is working memory from the calling
// thread's allocation hooks (quorvel_work_alloc and its kin).

// A seeded hash of a name (crafted names cannot aim at one probe chain);
// reads exactly n bytes.
uint64_t stream_name_hash(const char* name, size_t n);

template <typename T>
bool stream_reserve(T*& data, size_t& capacity, size_t need, size_t first) {
    if (need <= capacity) return true;
    size_t grown = capacity ? capacity : first;
    while (grown < need) {
        if (grown > SIZE_MAX / 2 / sizeof(T)) return false;
        grown *= 2;
    }
    T* fresh = static_cast<T*>(quorvel_work_realloc(data, capacity * sizeof(T), grown * sizeof(T)));
    if (!fresh) return false;
    data = fresh;
    capacity = grown;
    return true;
}

// ---- Scratch stack ------------------------------------------------------------------------
// Blocks of a chain used as one stack: an element's strings are pushed when
// its start tag is read and popped when its frame is released. Blocks stay
// allocated for reuse, so a steady stream allocates nothing.

struct sax_block {
    sax_block* next;
    size_t capacity;  // data bytes behind the header
    size_t used;
    size_t reserved;  // keeps the data 16-aligned
};

struct sax_mark {
    sax_block* block;  // NULL: before the first block
    size_t used;
};

// ---- Open elements ------------------------------------------------------------------------

constexpr int kSaxMaxDepth = 256;

struct sax_frame {
    const char* name;          // NUL-terminated: scratch (streaming) or the input buffer (one-shot)
    size_t name_length;
    const char** attributes;   // 2n + 1 pointers, NULL-terminated, in scratch
    uint32_t attribute_count;  // pairs
    uint32_t declaration_count;
    sax_mark mark;             // scratch position before this element's strings
};

// One attribute of the start tag being read, as views into the input.
struct sax_attr_view {
    const char* name;
    const char* value;
    size_t value_length;
    uint32_t name_length;
    uint8_t flags;  // kSaxSeen* of the value
};

// What a construct left unconsumed is waiting for (see sax_parser.cpp).
enum class sax_wait : uint8_t {
    none,
    more,      // any further byte decides
    start_tag, // '>' outside a quoted value
    end_tag,   // '>'
    comment,   // "-->"
    pi,        // "?>"
    cdata,     // "]]>"
    doctype,   // the '>' that ends the declaration, internal subset skipped
    reference, // character data held from an '&': a ';' or '<'
};

// The parser's state word: the feed driver reads top level or content from
// the depth; only the two terminal states are kept apart.
constexpr int32_t kSaxTopLevel = 0;
constexpr int32_t kSaxContent = 7;
constexpr int32_t kSaxEnded = 13;
constexpr int32_t kSaxFailed = 14;

struct quorvel_sax_parser {
    const quorvel_sax_handler* handler;
    void* user;

    // The bytes being read, [input, input + length): a feed reads the
    // caller's chunk where it lies, and what it leaves unconsumed (a
    // construct cut by the chunk's end) is carried over in `own`, which
    // also holds a one-shot input (never dropped: its strings point there).
    const char* input;
    size_t length;
    size_t pos;  // first unconsumed byte
    char* own;
    size_t capacity;  // of own
    // A large one-shot input lives in a block from the block cache, so that
    // parse after parse reuses memory already mapped; NULL otherwise.
    quorvel_arena* input_block;

    // Line and column of the byte at offset `counted`; advanced lazily
    // (before bytes are dropped or rewritten, and for reports). 64-bit: a
    // stream may run past 2^31 lines or bytes; reports saturate.
    int64_t line;
    int64_t column;
    size_t counted;

    int32_t error_flag;
    // Result of every feed from the first reported error on: -2 for a parse
    // error (a repeated attribute too, though reading goes on), -1 when
    // memory ran out.
    int32_t result;
    int32_t skip_flags;
    int32_t state;
    int32_t depth;
    int32_t streaming;
    int32_t one_shot;
    int32_t started;
    int32_t ended;
    int32_t is_final;        // of the latest feed
    int32_t root_seen;       // a root element has been opened
    int32_t at_start;        // nothing consumed yet: a byte-order mark may follow
    int32_t pause_requested; // set by an internal reader: stop after the current construct
    int32_t paused;
    int32_t fed;             // a feed has appended input
    int32_t doctype_seen;    // a DOCTYPE was begun

    sax_wait wait;
    char wait_quote;       // start tags and doctypes: the open quote at wait_offset
    uint8_t wait_subset;   // doctypes: inside the internal subset
    uint8_t wait_nested;   // doctypes: 1 inside a comment, 2 inside a PI
    size_t wait_offset;    // bytes of the construct already searched
    // A start tag cut by the end of the input keeps the attributes it read
    // (in views, pointing into the bytes at wait_tag) and goes on from
    // wait_resume, past the last complete one; 0 when the name was cut.
    const char* wait_tag;
    size_t wait_resume;
    size_t wait_views;
    size_t wait_name_length;
    // Doctypes: the internal subset's bounds from the construct's start
    // (the subset is checked once the declaration is complete).
    uint32_t wait_subset_seen;
    size_t wait_subset_from;
    size_t wait_subset_to;

    sax_block* scratch_head;
    sax_block* scratch_current;

    char* text;  // decoded character data, reused
    size_t text_capacity;

    sax_attr_view* views;  // the start tag being read, reused
    size_t view_capacity;
    uint64_t* dup_slots;   // duplicate-attribute set for wide start tags, reused
    size_t dup_capacity;

    sax_frame frames[kSaxMaxDepth];
};

// ---- Tokenizer (sax_tokenizer.cpp) ------------------------------------------------------------

// Reads the buffered input until it is used up, a construct must wait for
// more, the parser fails or a pause was requested: 0, or -1 after a fatal
// error (reported; p->result tells which).
int sax_run(quorvel_sax_parser* p);
// Advances the line count to an input offset (before bytes are dropped).
void sax_count_to(quorvel_sax_parser* p, size_t offset);
// Reports "out of memory" as a fatal error; answers -1.
int sax_report_out_of_memory(quorvel_sax_parser* p);
void sax_free_scratch(quorvel_sax_parser* p);

// ---- Hooks of the internal readers ------------------------------------------------------------

// Asks the parser, from inside a callback, to stop after the construct it is
// reading; the rest of the buffered input waits for sax_resume.
inline void sax_request_pause(quorvel_sax_parser* p) { p->pause_requested = 1; }
inline bool sax_is_paused(const quorvel_sax_parser* p) { return p->paused != 0; }
// Continues a paused parser over the input it already holds: 0, or -1
// after a fatal error.
int sax_resume(quorvel_sax_parser* p);
// Fails the parser without a report (a reader that could not keep up):
// every later feed returns -1.
void sax_abort(quorvel_sax_parser* p);
