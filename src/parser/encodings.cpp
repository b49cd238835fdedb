// Input encodings the entry points convert to UTF-8 before parsing: UTF-16
// (detected by its byte-order mark or by its pattern of NUL bytes) and
// Latin-1 announced by the XML declaration.
#include "parser/parser.h"

int utf16_detect_encoding(const char* text, size_t length) {
    if (!text || length <= 3) return 0;
    size_t n = length < 100 ? length : 100;
    auto b = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto printable = [](unsigned char c) { return c >= 0x20 && c <= 0x7E; };
    size_t le = 0, be = 0;
    for (size_t i = 0; i < n / 2; i++)
        if (printable(b(2 * i)) && b(2 * i + 1) == 0) le++;
    for (size_t j = 0; j <= (n - 3) / 2; j++)
        if (b(2 * j) == 0 && printable(b(2 * j + 1))) be++;
    if (le > be) return le >= 6 ? 1 : 0;
    if (be > le) return be >= 6 ? 2 : 0;
    return 0;
}

size_t utf16_to_utf8(const char* text, size_t length, char* out, size_t capacity, int order) {
    if (!text || !out || length <= 1) return 0;
    auto b = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    size_t i = 0;
    if ((b(0) == 0xFF && b(1) == 0xFE) || (b(0) == 0xFE && b(1) == 0xFF)) {
        if (length < 4) return 0;
        if (b(2) != 0 || b(3) != 0) i = 2;
    }
    auto unit = [&](size_t at) -> uint32_t {
        return order == 1 ? static_cast<uint32_t>(b(at) | (b(at + 1) << 8))
                          : static_cast<uint32_t>((b(at) << 8) | b(at + 1));
    };
    size_t o = 0;
    while (length - i >= 2) {
        uint32_t u = unit(i);
        uint32_t cp;
        size_t used = 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (length - i < 4) break;
            uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) break;
            cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            used = 4;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            break;
        } else {
            cp = u;
        }
        size_t need = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (capacity - o < need) break;
        char* w = out + o;
        switch (need) {
            case 1: w[0] = static_cast<char>(cp); break;
            case 2:
                w[0] = static_cast<char>(0xC0 | (cp >> 6));
                w[1] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            case 3:
                w[0] = static_cast<char>(0xE0 | (cp >> 12));
                w[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                w[2] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            default:
                w[0] = static_cast<char>(0xF0 | (cp >> 18));
                w[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                w[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                w[3] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
        }
        o += need;
        i += used;
    }
    return o;
}
