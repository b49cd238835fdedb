// Character references, read the same way by every decoder of the library.
#include "core/core.h"

char_ref_result quorvel_char_ref_parse(const char* p, const char* end, uint32_t* code_point, const char** after) {
    bool hex = p < end && (*p == 'x' || *p == 'X');
    if (hex) p++;
    uint32_t value = 0;
    bool too_big = false;
    const char* digits = p;
    for (; p < end; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        // Stop accumulating past the Unicode range: the value is refused
        // anyway and must not wrap back into it.
        if (!too_big) {
            value = value * (hex ? 16 : 10) + d;
            if (value > 0x10FFFF) too_big = true;
        }
    }
    if (p == digits) return char_ref_result::malformed;
    if (too_big || value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return char_ref_result::malformed;
    *code_point = value;
    if (p >= end) return char_ref_result::cut_off;
    if (*p != ';') {
        *after = p;  // the stray byte
        return char_ref_result::malformed;
    }
    *after = p + 1;
    return char_ref_result::complete;
}
