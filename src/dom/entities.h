// Decoding of character and entity references in stored values: the lazy
// decoder the attribute getters, parsers, serializer and canonicalization
// share, its variant that also expands a DTD's entities, the finalize walk,
// and the small helpers both decoders and DTD expansion use. Every caller
// treats a NULL result as "keep the raw text", so nothing is ever lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"

struct quorvel_element;
struct quorvel_dtd;

// Decodes a raw value: the five predefined entities and character
// references; undeclared references fail in strict mode (the thread's
// setting) and are copied as written otherwise. The result lives in the
// pool, or is malloc'd (free it with free) when pool is NULL. An empty or
// missing view gives "". NULL when the value cannot be decoded or memory
// ran out; then nothing stays allocated.
char* quorvel_decode_entities_view(const quorvel_string_view* view, quorvel_pool* pool);

// The same with the DTD's internal general entities expanded too (strict
// mode plays no part). NULL when the expansion fails: recursion, a
// malformed character reference, an expansion beyond the size limit (the
// thread's last-error text then says so) or no memory.
char* quorvel_decode_entities_view_with_dtd(const quorvel_string_view* view, quorvel_dtd* dtd,
                                            quorvel_pool* pool);

// Decodes every pending attribute value of root's subtree into the pool and
// fills the NUL-terminated URI of their namespace records. Values that do
// not decode stay raw and pending. 0 only when memory for the walk ran out
// (part of the subtree is then left as it was), else 1.
int finalize_element_strings(quorvel_element* root, quorvel_pool* pool);

// ---- Shared helpers -----------------------------------------------------------

enum class char_ref_result {
    complete,   // digits, then ';'
    cut_off,    // at least one digit, then the end of the text
    malformed,  // no digit, a stray byte after the digits, or a value that is
                // 0, a surrogate or above U+10FFFF
};

// Reads a character reference from p, just after "&#", up to end. On
// complete, *code_point holds the value and *after points past the ';'.
char_ref_result quorvel_char_ref_parse(const char* p, const char* end, uint32_t* code_point, const char** after);

// Writes a valid code point as UTF-8; returns the byte count (1 to 4).
inline size_t quorvel_utf8_encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The byte a predefined entity name (lt, gt, amp, apos, quot) stands for,
// or 0 for any other name.
inline char quorvel_predefined_entity(const char* name, size_t n) {
    switch (n) {
        case 2:
            if (name[1] != 't') return 0;
            return name[0] == 'l' ? '<' : name[0] == 'g' ? '>' : 0;
        case 3: return std::memcmp(name, "amp", 3) == 0 ? '&' : 0;
        case 4:
            if (std::memcmp(name, "apos", 4) == 0) return '\'';
            return std::memcmp(name, "quot", 4) == 0 ? '"' : 0;
        default: return 0;
    }
}
