// Code points, tokens and URI escaping, and the context functions
// collection, default-collation and default-language.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

bool xml_char(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}


// The next code point of a UTF-8 text, never reading past its end; a
// malformed or cut-off sequence gives its first byte's value.
uint32_t next_code_point(const unsigned char*& p, const unsigned char* end) {
    unsigned char b = *p;
    size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n <= 1 || static_cast<size_t>(end - p) < n) {
        p++;
        return b;
    }
    uint32_t cp = n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) {
            p++;
            return b;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += n;
    return cp;
}

// The texts of an argument's items (string values, tags removed); false
// with the context error on failure.
struct item_texts {
    char** texts = nullptr;
    size_t count = 0;
    ~item_texts() {
        for (size_t i = 0; i < count; i++) std::free(texts[i]);
        std::free(texts);
    }
};

bool collect_texts(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, item_texts& out) {
    quorvel_xpath_result* r = evaluate_expr(c, argument);
    if (!r) return false;
    bool ok = true;
    if (r->kind != XPATH_NODESET) {
        out.texts = static_cast<char**>(std::calloc(1, sizeof(char*)));
        if (out.texts && (out.texts[0] = xpath_to_string(r))) out.count = 1;
        else ok = false;
    } else if (const quorvel_xpath_node_set* s = r->value.nodeset) {
        out.texts = static_cast<char**>(std::calloc(s->count ? s->count : 1, sizeof(char*)));
        ok = out.texts != nullptr;
        for (size_t i = 0; ok && i < s->count; i++) {
            if (!is_item(s->items[i])) continue;
            char* t = get_node_text(s->items[i]);
            if (!t) ok = false;
            else out.texts[out.count++] = t;
        }
    }
    xpath_result_free(r);
    if (!ok) oom(c);
    return ok;
}

bool xml_space(char b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

quorvel_xpath_result* percent_encode(quorvel_xpath_context* c, quorvel_xpath_ast_node* argument,
                                     const char* also_kept) {
    item_texts in;
    if (!collect_texts(c, argument, in)) return nullptr;
    const char* text = in.count ? in.texts[0] : "";
    size_t n = std::strlen(text);
    char* out = static_cast<char*>(std::malloc(3 * n + 1));
    if (!out) return oom(c);
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                    (b && std::strchr("-._~", b)) || (b && std::strchr(also_kept, b));
        if (keep) {
            out[k++] = static_cast<char>(b);
        } else {
            out[k++] = '%';
            out[k++] = kHex[b >> 4];
            out[k++] = kHex[b & 15];
        }
    }
    out[k] = '\0';
    return fn_string_result_take(c, out);
}

}  // namespace

quorvel_xpath_result* fn_collection(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    xpath_context_fail_code(c, "FODC0002", "No default collection has been defined");
    return nullptr;
}

quorvel_xpath_result* fn_default_collation(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    static constexpr char kCodepoint[] = "http://www.w3.org/2005/xpath-functions/collation/codepoint";
    return fn_string_result_copy(c, kCodepoint, sizeof kCodepoint - 1);
}

quorvel_xpath_result* fn_default_language(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t) {
    return fn_string_result_copy(c, "en", 2);
}

quorvel_xpath_result* fn_codepoints_to_string(quorvel_xpath_context* c, quorvel_xpath_ast_node** args,
                                              size_t count) {
    if (count != 1) return nullptr;
    item_texts in;
    if (!collect_texts(c, args[0], in)) return nullptr;
    char* out = static_cast<char*>(std::malloc(4 * in.count + 1));
    if (!out) return oom(c);
    size_t k = 0;
    for (size_t i = 0; i < in.count; i++) {
        const char* t = in.texts[i];
        char* end = nullptr;
        long long v = std::strtoll(t, &end, 10);
        while (end && xml_space(*end)) end++;
        if (end == t || !end || *end) {
            std::free(out);
            xpath_context_fail_code(c, "XPTY0004", "codepoints-to-string expects integers, got '%.40s'", t);
            return nullptr;
        }
        if (v < 0 || v > 0x10FFFF || !xml_char(static_cast<uint32_t>(v))) {
            std::free(out);
            xpath_context_fail_code(c, "FOCH0001", "Code point %lld is not a valid XML character", v);
            return nullptr;
        }
        k += quorvel_utf8_encode(static_cast<uint32_t>(v), out + k);
    }
    out[k] = '\0';
    return fn_string_result_take(c, out);
}

quorvel_xpath_result* fn_string_to_codepoints(quorvel_xpath_context* c, quorvel_xpath_ast_node** args,
                                              size_t count) {
    if (count != 1) return nullptr;
    item_texts in;
    if (!collect_texts(c, args[0], in)) return nullptr;
    quorvel_xpath_result* r = seq_new();
    if (!r) return oom(c);
    const char* text = in.count ? in.texts[0] : "";
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + std::strlen(text);
    while (p < end) {
        char item[16];
        std::snprintf(item, sizeof item, "\x03N%u", static_cast<unsigned>(next_code_point(p, end)));
        if (!seq_push_str(r, item)) {
            xpath_result_free(r);
            return oom(c);
        }
    }
    return r;
}

quorvel_xpath_result* fn_contains_token(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    item_texts input, token;
    if (!collect_texts(c, args[0], input) || !collect_texts(c, args[1], token)) return nullptr;
    if (token.count != 1) {
        xpath_context_fail_code(c, "XPTY0004", "contains-token expects one token, got %zu", token.count);
        return nullptr;
    }
    const char* t = token.texts[0];
    while (xml_space(*t)) t++;
    size_t tn = std::strlen(t);
    while (tn && xml_space(t[tn - 1])) tn--;
    bool found = false;
    for (size_t i = 0; tn && !found && i < input.count; i++) {
        const char* p = input.texts[i];
        while (*p && !found) {
            while (xml_space(*p)) p++;
            const char* start = p;
            while (*p && !xml_space(*p)) p++;
            found = static_cast<size_t>(p - start) == tn && !std::memcmp(start, t, tn);
        }
    }
    return fn_boolean_result(c, found);
}

quorvel_xpath_result* fn_encode_for_uri(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    return percent_encode(c, args[0], "");
}

quorvel_xpath_result* fn_iri_to_uri(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    return percent_encode(c, args[0], "#;/?:@&=+$,[]!'()*%");
}
