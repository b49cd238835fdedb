// The exported parse functions: argument checks, input-encoding detection
// and conversion, the choice between the flat-record fast path and the
// document parser, and the mapping of outcomes to status codes. The
// document parser writes the thread's last-error text; nothing here adds one.
#include <cstdio>

#include "parser/parser.h"

namespace {

inline void set_status(int* status, int value) {
    if (status) *status = value;
}

// Fast path with no flags, then the document parser in copy mode.
quorvel_document* parse_utf8(const char* text, size_t length, int* status) {
    quorvel_document* doc = dp_il_try(text, length, 0, 0, 0);
    if (!doc) doc = direct_parse_internal(text, length, 0, kParseCopy, 0, 0, 0, 0, status);
    else set_status(status, QUORVEL_OK);
    return doc;
}

void set_encoding(quorvel_document* doc, const char* name) {
    std::free(doc->declared_encoding);
    doc->declared_encoding = xsd_strdup(name);
}

// The UTF-16 byte order of the text: 1 little-endian, 2 big-endian, 0 none;
// *skip_mark tells whether a byte-order mark is to be skipped.
int utf16_order(const char* text, size_t length, bool* skip_mark) {
    *skip_mark = false;
    if (length <= 1) return 0;
    auto b = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    int mark = b(0) == 0xFF && b(1) == 0xFE ? 1 : b(0) == 0xFE && b(1) == 0xFF ? 2 : 0;
    if (mark) {
        if (length <= 3) {
            *skip_mark = true;
            return mark;
        }
        if (b(2) != 0 || b(3) != 0) {
            *skip_mark = true;
            return mark;
        }
    }
    return utf16_detect_encoding(text, length);
}

quorvel_document* parse_utf16(const char* text, size_t length, int order, bool skip_mark, int* status) {
    size_t units = length / 2 - (skip_mark ? 1 : 0);
    if (units > (SIZE_MAX - 1) / 3) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    auto* buffer = static_cast<char*>(std::malloc(3 * units + 1));
    if (!buffer) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    size_t n = units ? utf16_to_utf8(text, length, buffer, 3 * units, order) : 0;
    buffer[n] = '\0';
    quorvel_document* doc = nullptr;
    if (n == 0) {
        set_status(status, QUORVEL_ERR_PARSE);
    } else {
        doc = parse_utf8(buffer, n, status);
        if (doc) set_encoding(doc, order == 1 ? "UTF-16LE" : "UTF-16BE");
    }
    std::free(buffer);
    return doc;
}

// Plain UTF-8 at a glance: after leading white space a '<' that does not
// open "<?xml", and no NUL from it up to byte 64.
bool looks_utf8(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) i++;
    if (i >= length || text[i] != '<') return false;
    if (length - i >= 5 && std::memcmp(text + i, "<?xml", 5) == 0) return false;
    size_t stop = length < 64 ? length : 64;
    return i >= stop || std::memchr(text + i, '\0', stop - i) == nullptr;
}

// The encoding named by an XML declaration at the very start of the text,
// as a view into the text; false when there is no such declaration or it
// names no encoding. Only the declaration is read.
bool declared_encoding(const char* text, size_t length, const char** name, size_t* name_length) {
    if (length < 6 || std::memcmp(text, "<?xml", 5) != 0) return false;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    if (!space(text[5])) return false;
    const char* end = text + length;
    const char* p = text + 5;
    for (;;) {
        while (p < end && space(*p)) p++;
        if (p >= end || *p == '?') return false;
        const char* key = p;
        while (p < end && !space(*p) && *p != '=' && *p != '?') p++;
        size_t key_length = static_cast<size_t>(p - key);
        while (p < end && space(*p)) p++;
        if (p >= end || *p != '=') return false;
        p++;
        while (p < end && space(*p)) p++;
        if (p >= end || (*p != '"' && *p != '\'')) return false;
        char quote = *p++;
        auto* close = static_cast<const char*>(std::memchr(p, quote, static_cast<size_t>(end - p)));
        if (!close) return false;
        if (key_length == 8 && std::memcmp(key, "encoding", 8) == 0) {
            *name = p;
            *name_length = static_cast<size_t>(close - p);
            return true;
        }
        p = close + 1;
    }
}

bool is_latin1_name(const char* name, size_t length) {
    static const char* const kNames[] = {"ISO-8859-1", "iso-8859-1", "ISO8859-1", "LATIN1",
                                         "latin1",     "LATIN-1",    "latin-1"};
    if (length == 0 || length > 64) return false;
    for (const char* n : kNames)
        if (std::strlen(n) == length && std::memcmp(n, name, length) == 0) return true;
    return false;
}

quorvel_document* parse_latin1(const char* text, size_t length, int* status) {
    if (length > (SIZE_MAX - 1) / 2) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    auto* buffer = static_cast<char*>(std::malloc(2 * length + 1));
    if (!buffer) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    size_t o = 0;
    for (size_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            buffer[o++] = static_cast<char>(c);
        } else {
            buffer[o++] = static_cast<char>(0xC0 + (c >> 6));
            buffer[o++] = static_cast<char>(0x80 + (c & 0x3F));
        }
    }
    buffer[o] = '\0';
    quorvel_document* doc = parse_utf8(buffer, o, status);
    if (doc) set_encoding(doc, "ISO-8859-1");
    std::free(buffer);
    return doc;
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_document* quorvel_parse_string(const char* text, size_t length, int* status) {
    set_status(status, QUORVEL_OK);
    if (!text || length == 0) {
        set_status(status, QUORVEL_ERR_PARSE);
        return nullptr;
    }
    if (!looks_utf8(text, length)) {
        bool skip_mark;
        if (int order = utf16_order(text, length, &skip_mark)) return parse_utf16(text, length, order, skip_mark, status);
    }
    return parse_utf8(text, length, status);
}

QUORVEL_API quorvel_document* quorvel_parse_string_flags(const char* text, size_t length, int flags, int* status) {
    set_status(status, QUORVEL_OK);
    if (!text || length == 0) {
        set_status(status, QUORVEL_ERR_PARSE);
        return nullptr;
    }
    int drop_ws = (flags & 0x01) != 0, defaults = (flags & 0x02) != 0, keep_refs = (flags & 0x04) != 0;
    int recover = (flags & 0x20) != 0;
    if (!recover) {
        if (quorvel_document* doc = dp_il_try_flags(text, length, drop_ws, keep_refs, defaults, (flags & 0x10) != 0))
            return doc;
    }
    return direct_parse_internal(text, length, flags & 0x18, kParseCopy, drop_ws, defaults, keep_refs, recover, status);
}

QUORVEL_API quorvel_document* quorvel_parse_string_ex(const char* text, size_t length, const CParseOptions* options,
                                                      int* status) {
    if (!options) return quorvel_parse_string(text, length, status);
    int saved_strict = g_quorvel_strict_mode;
    int saved_depth = g_quorvel_max_depth;
    if (options->strict_mode >= 0) g_quorvel_strict_mode = options->strict_mode;
    if (options->max_depth > 0) g_quorvel_max_depth = options->max_depth;
    int flags = options->flags | (options->recover ? 0x20 : 0);
    int st = QUORVEL_OK;
    quorvel_document* doc = quorvel_parse_string_flags(text, length, flags, &st);
    g_quorvel_strict_mode = saved_strict;
    g_quorvel_max_depth = saved_depth;
    if (!doc && options->recover) {
        // Running out of memory stays a memory failure: recovering is for
        // malformed input.
        doc = quorvel_document_create();
        st = doc && st != QUORVEL_ERR_MEMORY ? QUORVEL_ERR_PARSE : QUORVEL_ERR_MEMORY;
    }
    set_status(status, st);
    return doc;
}

QUORVEL_API quorvel_document* quorvel_parse_string_inplace(char* buffer, size_t length, int* status) {
    set_status(status, QUORVEL_OK);
    if (!buffer || length == 0) {
        set_status(status, QUORVEL_ERR_PARSE);
        return nullptr;
    }
    buffer[length] = '\0';
    return direct_parse_internal(buffer, length, 0, kParseInPlace, 0, 0, 0, 0, status);
}

QUORVEL_API quorvel_document* quorvel_parse_string_with_encoding(const char* text, size_t length, int* status) {
    set_status(status, QUORVEL_OK);
    if (!text || length == 0) {
        set_status(status, QUORVEL_ERR_PARSE);
        return nullptr;
    }
    bool skip_mark;
    if (int order = utf16_order(text, length, &skip_mark)) return parse_utf16(text, length, order, skip_mark, status);
    const char* name;
    size_t name_length;
    if (length > 19 && declared_encoding(text, length, &name, &name_length) && is_latin1_name(name, name_length))
        return parse_latin1(text, length, status);
    return quorvel_parse_string(text, length, status);
}

QUORVEL_API char* quorvel_load_file(const char* path, size_t* length_out) {
    if (length_out) *length_out = 0;
    if (!path) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    char* buffer = nullptr;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size >= 0 && std::fseek(f, 0, SEEK_SET) == 0) {
        buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
        if (buffer) {
            size_t n = std::fread(buffer, 1, static_cast<size_t>(size), f);
            // A short read is a failed read, not a shorter file.
            if (n != static_cast<size_t>(size)) {
                std::free(buffer);
                buffer = nullptr;
            } else {
                buffer[n] = '\0';
                if (length_out) *length_out = n;
            }
        }
    }
    std::fclose(f);
    return buffer;
}

QUORVEL_API quorvel_document* quorvel_parse_file(const char* path, int* status) {
    set_status(status, QUORVEL_OK);
    if (!path) {
        set_status(status, QUORVEL_ERR_NULL_ARGUMENT);
        return nullptr;
    }
    size_t length = 0;
    char* buffer = quorvel_load_file(path, &length);
    if (!buffer) {
        set_status(status, QUORVEL_ERR_NOT_FOUND);
        return nullptr;
    }
    quorvel_document* doc = quorvel_parse_string(buffer, length, status);
    std::free(buffer);
    return doc;
}

}  // extern "C"
