// parse-json, json-doc and json-to-xml: one strict JSON reader (RFC 8259
// grammar, any value at the top) that drives either a builder of map and
// array values or a writer of the XML form of JSON. The reader keeps its own
// stack, so nesting costs no C stack; nesting deeper than kMaxJsonDepth
// fails with FOJS0001 all the same, since every later walk over the values
// (copying, freeing, writing) must stay bounded too.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using nodeset = quorvel_xpath_node_set;
using map_value = quorvel_xpath_map_value;

constexpr size_t kMaxJsonDepth = 1000;
constexpr char kFunctionsNamespace[] = "http://www.w3.org/2005/xpath-functions";

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// ---- Growable text and stacks ---------------------------------------------------------------------------

using text = fn_text;

// Makes room for one more element after count in a growing array (initial
// slots first, then doubling); false when memory runs out.
template <typename T>
bool make_room(T*& items, size_t count, size_t& capacity, size_t initial) {
    if (count < capacity) return true;
    size_t grown = capacity ? capacity * 2 : initial;
    auto* g = static_cast<T*>(std::realloc(items, grown * sizeof(T)));
    if (!g) return false;
    items = g;
    capacity = grown;
    return true;
}

// ---- Options ---------------------------------------------------------------------------------------------

enum duplicates_mode { DUP_REJECT, DUP_USE_FIRST, DUP_USE_LAST, DUP_RETAIN };

struct json_options {
    bool escape = false;
    bool liberal = false;
    duplicates_mode duplicates = DUP_USE_FIRST;
    const quorvel_node* fallback = nullptr;  // borrowed from holder
    map_value* holder = nullptr;
};

bool is_function_item(const quorvel_node* n) {
    if (!is_item(n) || n->kind != kXpathCarrierNode) return false;
    auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    if (k->ref_kind == XPATH_REF_FUNCTION || k->ref_kind == XPATH_REF_MAP) return true;
    return k->text && k->length > 2 && k->text[0] == kXpathTagMark && k->text[1] == 'F' && k->text[2] == 'R';
}

// Reads the options map of parse-json / json-to-xml; false with the error.
bool read_options(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function, bool for_xml,
                  json_options* o) {
    o->duplicates = for_xml ? DUP_RETAIN : DUP_USE_FIRST;
    if (!argument) return true;
    map_value* m = fn_map_arg(c, argument, function, 0);
    if (!m) return false;
    o->holder = m;
    if (!fn_option_boolean(c, m, "liberal", false, &o->liberal) || !fn_option_boolean(c, m, "escape", false, &o->escape))
        return false;
    bool validate = false;
    if (for_xml && !fn_option_boolean(c, m, "validate", false, &validate)) return false;
    if (validate) {
        xpath_context_fail_code(c, "FOJS0004", "%s: validation needs a schema-aware processor", function);
        return false;
    }
    bool bad = false;
    const quorvel_node* d = fn_option_item(c, m, "duplicates", &bad);
    if (bad) return false;
    if (d) {
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(d);
        bool is_string = d->kind == kXpathCarrierNode && k->text && (k->length == 0 || k->text[0] != kXpathTagMark);
        if (!is_string) {
            xpath_context_fail_code(c, "XPTY0004", "%s: option duplicates takes a string", function);
            return false;
        }
        if (!std::strcmp(k->text, "reject")) o->duplicates = DUP_REJECT;
        else if (!std::strcmp(k->text, "use-first")) o->duplicates = DUP_USE_FIRST;
        else if (!std::strcmp(k->text, "use-last") && !for_xml) o->duplicates = DUP_USE_LAST;
        else if (!std::strcmp(k->text, "retain") && for_xml) o->duplicates = DUP_RETAIN;
        else {
            xpath_context_fail_code(c, "FOJS0005", "%s: invalid duplicates option '%s'", function, k->text);
            return false;
        }
    }
    const quorvel_node* f = fn_option_item(c, m, "fallback", &bad);
    if (bad) return false;
    if (f) {
        if (!is_function_item(f)) {
            xpath_context_fail_code(c, "XPTY0004", "%s: option fallback takes a function", function);
            return false;
        }
        if (o->escape) {
            xpath_context_fail_code(c, "FOJS0005", "%s: options escape and fallback exclude each other", function);
            return false;
        }
        o->fallback = f;
    }
    return true;
}

// ---- Strings ---------------------------------------------------------------------------------------------

bool xml_char(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Characters written as escapes when escaping is asked for.
bool special_char(uint32_t cp) { return cp == '\\' || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || !xml_char(cp); }

void put_escape(text& out, uint32_t cp) {
    char buf[8];
    switch (cp) {
    case '\\': out.append("\\\\", 2); return;
    case '\b': out.append("\\b", 2); return;
    case '\f': out.append("\\f", 2); return;
    case '\n': out.append("\\n", 2); return;
    case '\r': out.append("\\r", 2); return;
    case '\t': out.append("\\t", 2); return;
    default:
        std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp & 0xFFFF));
        out.append(buf, 6);
    }
}

// The code point of the well-formed UTF-8 sequence at p (its length in
// *n), or *n = 0 for a byte that starts none (overlong forms, surrogates
// and values past U+10FFFF included).
uint32_t utf8_at(const char* p, const char* end, size_t* n) {
    unsigned char b = static_cast<unsigned char>(*p);
    size_t k = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? (b <= 0xEF ? 3 : 0) : b >= 0xC2 ? 2 : 0;
    *n = 0;
    if (!k || static_cast<size_t>(end - p) < k) return 0;
    uint32_t cp = k == 4 ? b & 0x07u : k == 3 ? b & 0x0Fu : b & 0x1Fu;
    for (size_t i = 1; i < k; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    if ((k == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (k == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    *n = k;
    return cp;
}

int hex_value(char b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return -1;
}

// The reader. Values are announced to a sink (below) as they complete.
struct reader {
    quorvel_xpath_context* c;
    const json_options* o;
    const char* p;
    const char* end;
    const char* start;
    const char* function;
    bool failed = false;

    void syntax(const char* what) {
        if (failed) return;
        failed = true;
        xpath_context_fail_code(c, "FOJS0001", "%s: invalid JSON at offset %zu: %s", function,
                                static_cast<size_t>(p - start), what);
    }
    void skip_blanks() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) p++;
    }

    // A character that may not stand as it is: replaced by U+FFFD, or by
    // what the fallback function makes of its escape.
    bool put_invalid(text& out, uint32_t cp) {
        if (!o->fallback) {
            out.append("\xEF\xBF\xBD", 3);
            return true;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(cp & 0xFFFF));
        quorvel_xpath_result arg{};
        arg.kind = XPATH_STRING;
        arg.value.string = escape;
        const quorvel_xpath_result* argv[1] = {&arg};
        quorvel_xpath_result* r = xpath_call_function_values(c, o->fallback, argv, 1);
        arg.value.string = nullptr;
        if (!r) {
            failed = true;
            return false;
        }
        char* t = nullptr;
        bool ok = true;
        if (r->kind == XPATH_STRING) {
            t = xpath_to_string(r);
        } else if (r->kind == XPATH_NODESET && r->value.nodeset && r->value.nodeset->count == 1) {
            t = get_node_text(r->value.nodeset->items[0]);
        } else {
            ok = false;
        }
        xpath_result_free(r);
        if (!ok) {
            xpath_context_fail_code(c, "XPTY0004", "%s: the fallback function must return one string", function);
            failed = true;
            return false;
        }
        if (!t) {
            oom(c);
            failed = true;
            return false;
        }
        out.append(t);
        std::free(t);
        return true;
    }

    // Reads the string at p (on its opening quote) into out, decoded by the
    // options; *escaped tells whether out holds a backslash escape.
    bool string(text& out, bool* escaped) {
        out.clear();
        *escaped = false;
        p++;
        for (;;) {
            if (p >= end) {
                syntax("unterminated string");
                return false;
            }
            unsigned char b = static_cast<unsigned char>(*p);
            if (b == '"') {
                p++;
                break;
            }
            if (b < 0x20) {
                syntax("control character in a string");
                return false;
            }
            if (b != '\\') {
                // Copy a run of ordinary bytes at once; escaping looks at
                // code points only where it may act (C1 controls and
                // non-characters need the decoded value).
                const char* run = p;
                while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) {
                    unsigned char x = static_cast<unsigned char>(*p);
                    if (x >= 0x80) {
                        size_t n = 0;
                        uint32_t cp = utf8_at(p, end, &n);
                        if (n == 0) {
                            // Not UTF-8: one byte read as U+FFFD.
                            out.append(run, static_cast<size_t>(p - run));
                            out.append("\xEF\xBF\xBD", 3);
                            p++;
                            run = p;
                            continue;
                        }
                        if (n > 1 && (o->escape ? special_char(cp) : !xml_char(cp))) {
                            out.append(run, static_cast<size_t>(p - run));
                            if (o->escape) {
                                put_escape(out, cp);
                                *escaped = true;
                            } else if (!put_invalid(out, cp)) {
                                return false;
                            }
                            p += n;
                            run = p;
                            continue;
                        }
                        p += n;
                        continue;
                    }
                    p++;
                }
                out.append(run, static_cast<size_t>(p - run));
                continue;
            }
            if (p + 1 >= end) {
                syntax("unterminated escape");
                return false;
            }
            char e = p[1];
            uint32_t cp = 0;
            switch (e) {
            case '"': cp = '"'; break;
            case '\\': cp = '\\'; break;
            case '/': cp = '/'; break;
            case 'b': cp = '\b'; break;
            case 'f': cp = '\f'; break;
            case 'n': cp = '\n'; break;
            case 'r': cp = '\r'; break;
            case 't': cp = '\t'; break;
            case 'u': {
                if (end - p < 6) {
                    syntax("short \\u escape");
                    return false;
                }
                for (int i = 2; i < 6; i++) {
                    int d = hex_value(p[i]);
                    if (d < 0) {
                        syntax("bad \\u escape");
                        return false;
                    }
                    cp = cp * 16 + static_cast<uint32_t>(d);
                }
                // A high surrogate followed by an escaped low one is one
                // character; any other surrogate stands alone.
                if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 12 && p[6] == '\\' && p[7] == 'u') {
                    uint32_t low = 0;
                    bool hex = true;
                    for (int i = 8; i < 12; i++) {
                        int d = hex_value(p[i]);
                        if (d < 0) hex = false;
                        else low = low * 16 + static_cast<uint32_t>(d);
                    }
                    if (hex && low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        p += 6;
                    }
                }
                break;
            }
            default:
                syntax("unknown escape");
                return false;
            }
            p += e == 'u' ? 6 : 2;
            bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
            if (o->escape) {
                if (special_char(cp) || surrogate) {
                    put_escape(out, cp);
                    *escaped = true;
                    continue;
                }
            } else if (surrogate || !xml_char(cp)) {
                if (!put_invalid(out, cp)) return false;
                continue;
            }
            char bytes[4];
            out.append(bytes, quorvel_utf8_encode(cp, bytes));
        }
        if (out.failed) {
            oom(c);
            failed = true;
            return false;
        }
        return true;
    }

    // The number at p as written; false (with the error) when it breaks the
    // grammar -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(const char** from, size_t* length) {
        const char* q = p;
        if (q < end && *q == '-') q++;
        if (q >= end || *q < '0' || *q > '9') {
            syntax("bad number");
            return false;
        }
        if (*q == '0') q++;
        else
            while (q < end && *q >= '0' && *q <= '9') q++;
        if (q < end && *q == '.') {
            q++;
            if (q >= end || *q < '0' || *q > '9') {
                syntax("bad number");
                return false;
            }
            while (q < end && *q >= '0' && *q <= '9') q++;
        }
        if (q < end && (*q == 'e' || *q == 'E')) {
            q++;
            if (q < end && (*q == '+' || *q == '-')) q++;
            if (q >= end || *q < '0' || *q > '9') {
                syntax("bad number");
                return false;
            }
            while (q < end && *q >= '0' && *q <= '9') q++;
        }
        if (q < end && ((*q >= '0' && *q <= '9') || *q == '.' || (*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z'))) {
            syntax("bad number");
            return false;
        }
        *from = p;
        *length = static_cast<size_t>(q - p);
        p = q;
        return true;
    }

    bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0 ||
            (static_cast<size_t>(end - p) > n && ((p[n] >= 'a' && p[n] <= 'z') || (p[n] >= 'A' && p[n] <= 'Z') ||
                                                   (p[n] >= '0' && p[n] <= '9')))) {
            syntax("unknown literal");
            return false;
        }
        p += n;
        return true;
    }
};

// The events of a read, in document order.
enum scalar_kind { SCALAR_STRING, SCALAR_NUMBER, SCALAR_TRUE, SCALAR_FALSE, SCALAR_NULL };

// Reads an object member's key and the colon after it, blanks after them
// skipped, and hands the key to the sink; false on failure.
template <class Sink>
bool read_key(reader& r, Sink& sink, text& str) {
    if (r.p >= r.end || *r.p != '"') {
        r.syntax("expected a key");
        return false;
    }
    bool escaped = false;
    if (!r.string(str, &escaped) || !sink.key(str, escaped)) return false;
    r.skip_blanks();
    if (r.p >= r.end || *r.p != ':') {
        r.syntax("expected ':'");
        return false;
    }
    r.p++;
    r.skip_blanks();
    return true;
}

template <class Sink>
bool read_json(reader& r, Sink& sink) {
    // One byte per open container: '{' or '['; after a value in a container
    // the reader wants "," or the closer.
    char* open = nullptr;
    size_t depth = 0, capacity = 0;
    text str;
    bool ok = true;
    r.skip_blanks();
    for (;;) {
        // A value.
        if (r.p >= r.end) {
            r.syntax(depth ? "unexpected end of text" : "no value");
            ok = false;
            break;
        }
        char b = *r.p;
        if (b == '{' || b == '[') {
            if (depth >= kMaxJsonDepth) {
                r.syntax("nested too deeply");
                ok = false;
                break;
            }
            if (!make_room(open, depth, capacity, 32)) {
                oom(r.c);
                r.failed = true;
                ok = false;
                break;
            }
            open[depth++] = b;
            r.p++;
            if (!(ok = sink.open(b == '{'))) break;
            r.skip_blanks();
            char closer = b == '{' ? '}' : ']';
            if (r.p < r.end && *r.p == closer) {
                r.p++;
                depth--;
                if (!(ok = sink.close(b == '{'))) break;
            } else if (b == '{') {
                // First key.
                if (!(ok = read_key(r, sink, str))) break;
                continue;
            } else {
                continue;
            }
        } else if (b == '"') {
            bool escaped = false;
            if (!(ok = r.string(str, &escaped))) break;
            if (!(ok = sink.scalar(SCALAR_STRING, str.str(), str.length, escaped))) break;
        } else if (b == '-' || (b >= '0' && b <= '9')) {
            const char* from = nullptr;
            size_t length = 0;
            if (!(ok = r.number(&from, &length))) break;
            if (!(ok = sink.scalar(SCALAR_NUMBER, from, length, false))) break;
        } else if (b == 't' || b == 'f' || b == 'n') {
            const char* word = b == 't' ? "true" : b == 'f' ? "false" : "null";
            if (!(ok = r.literal(word))) break;
            if (!(ok = sink.scalar(b == 't' ? SCALAR_TRUE : b == 'f' ? SCALAR_FALSE : SCALAR_NULL, word,
                                   std::strlen(word), false)))
                break;
        } else {
            r.syntax("unexpected character");
            ok = false;
            break;
        }
        // After a value: close containers or move to the next member.
        bool next_member = false;
        while (ok && depth) {
            r.skip_blanks();
            char closer = open[depth - 1] == '{' ? '}' : ']';
            if (r.p < r.end && *r.p == ',') {
                r.p++;
                r.skip_blanks();
                if (open[depth - 1] == '{' && !(ok = read_key(r, sink, str))) break;
                next_member = true;
                break;
            }
            if (r.p < r.end && *r.p == closer) {
                r.p++;
                depth--;
                ok = sink.close(closer == '}');
                continue;
            }
            r.syntax(closer == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
            ok = false;
        }
        if (!ok) break;
        if (next_member) continue;
        // The top value is complete: only blanks may follow.
        r.skip_blanks();
        if (r.p != r.end) {
            r.syntax("text after the value");
            ok = false;
        }
        break;
    }
    std::free(open);
    if (str.failed && !r.failed) {
        oom(r.c);
        ok = false;
    }
    return ok && !r.failed;
}

// ---- Values: maps and arrays ---------------------------------------------------------------------------

struct value_sink {
    quorvel_xpath_context* c;
    const json_options* o;
    const char* function;
    struct frame {
        bool object;
        quorvel_xpath_map_entry* entries;
        size_t count, capacity;
        char* key;  // the key waiting for its value
        size_t key_length;
    };
    frame* frames = nullptr;
    size_t depth = 0, capacity = 0;
    nodeset* root = nullptr;

    value_sink(quorvel_xpath_context* context, const json_options* options, const char* name)
        : c(context), o(options), function(name) {}
    value_sink(const value_sink&) = delete;
    value_sink& operator=(const value_sink&) = delete;
    ~value_sink() {
        while (depth) drop_frame(frames[--depth]);
        std::free(frames);
        xpath_nodeset_free(root);
    }
    static void drop_frame(frame& f) {
        for (size_t i = 0; i < f.count; i++) {
            std::free(f.entries[i].key);
            xpath_nodeset_free(f.entries[i].value);
        }
        std::free(f.entries);
        std::free(f.key);
    }
    bool fail_oom() {
        oom(c);
        return false;
    }
    bool open(bool object) {
        if (!make_room(frames, depth, capacity, 16)) return fail_oom();
        frames[depth++] = {object, nullptr, 0, 0, nullptr, 0};
        return true;
    }
    bool key(const text& k, bool) {
        frame& f = frames[depth - 1];
        std::free(f.key);
        f.key = static_cast<char*>(std::malloc(k.length + 1));
        if (!f.key) return fail_oom();
        std::memcpy(f.key, k.str(), k.length + 1);
        f.key_length = k.length;
        return true;
    }
    // Hands a finished value to the open container, or makes it the root.
    bool value(nodeset* v) {
        if (!v) return fail_oom();
        if (!depth) {
            root = v;
            return true;
        }
        frame& f = frames[depth - 1];
        if (!make_room(f.entries, f.count, f.capacity, 8)) {
            xpath_nodeset_free(v);
            return fail_oom();
        }
        f.entries[f.count++] = {f.object ? f.key : nullptr, f.object ? f.key_length : 0, v};
        f.key = nullptr;
        return true;
    }
    bool close(bool object) {
        frame f = frames[--depth];
        map_value* m = xpath_map_value_new(0, object ? 0 : 1);
        if (!m) {
            drop_frame(f);
            return fail_oom();
        }
        m->entries = f.entries;
        m->count = f.count;
        std::free(f.key);
        if (object) {
            if (o->duplicates == DUP_USE_LAST) {
                // The stable seal keeps the first of equal keys: reversed,
                // the first is the last written.
                for (size_t i = 0, j = m->count; i + 1 < j; i++, j--) {
                    quorvel_xpath_map_entry t = m->entries[i];
                    m->entries[i] = m->entries[j - 1];
                    m->entries[j - 1] = t;
                }
            }
            if (o->duplicates == DUP_REJECT) {
                if (!xpath_map_value_seal(m, false)) {
                    xpath_map_value_release(m);
                    xpath_context_fail_code(c, "FOJS0003", "%s: duplicate key in a JSON object", function);
                    return false;
                }
            } else {
                xpath_map_value_seal(m, true);
            }
        }
        quorvel_node* carrier = xpath_map_carrier(m);
        if (!carrier) {
            xpath_map_value_release(m);
            return fail_oom();
        }
        nodeset* v = fn_owning_set();
        if (!v || !fn_set_add_owned(v, carrier)) {
            if (!v) xpath_nodeset_dispose_node(carrier);
            xpath_nodeset_free(v);
            return fail_oom();
        }
        return value(v);
    }
    bool scalar(scalar_kind kind, const char* bytes, size_t length, bool) {
        nodeset* v = fn_owning_set();
        if (!v) return fail_oom();
        quorvel_node* item = nullptr;
        switch (kind) {
        case SCALAR_NULL:
            return value(v);
        case SCALAR_TRUE:
            item = xpath_synth_text("\x03" "Bt", 3);
            break;
        case SCALAR_FALSE:
            item = xpath_synth_text("\x03" "Bf", 3);
            break;
        case SCALAR_NUMBER: {
            char digits[64];
            size_t n = length < sizeof digits ? length : sizeof digits - 1;
            std::memcpy(digits, bytes, n);
            digits[n] = '\0';
            // Longer texts still read whole through strtod.
            char* long_text = nullptr;
            if (length >= sizeof digits) {
                long_text = static_cast<char*>(std::malloc(length + 1));
                if (!long_text) {
                    xpath_nodeset_free(v);
                    return fail_oom();
                }
                std::memcpy(long_text, bytes, length);
                long_text[length] = '\0';
            }
            double number = std::strtod(long_text ? long_text : digits, nullptr);
            std::free(long_text);
            // An xs:double item, written as the engine writes doubles.
            char tagged[72] = {kXpathTagMark, kXpathTagDouble};
            xpath_format_number(number, tagged + 2);
            item = xpath_synth_text(tagged, std::strlen(tagged));
            break;
        }
        case SCALAR_STRING:
            item = xpath_synth_text(bytes, length);
            break;
        }
        if (!fn_set_add_owned(v, item)) {
            xpath_nodeset_free(v);
            return fail_oom();
        }
        return value(v);
    }
};

// ---- XML: the elements of the functions namespace -------------------------------------------------------

void put_xml_escaped(text& out, const char* s, size_t n) {
    const char* run = s;
    for (size_t i = 0; i < n; i++) {
        const char* piece = nullptr;
        switch (s[i]) {
        case '&': piece = "&amp;"; break;
        case '<': piece = "&lt;"; break;
        case '>': piece = "&gt;"; break;
        case '"': piece = "&quot;"; break;
        case '\r': piece = "&#xD;"; break;
        case '\t': piece = "&#x9;"; break;
        case '\n': piece = "&#xA;"; break;
        default: continue;
        }
        out.append(run, static_cast<size_t>(s + i - run));
        out.append(piece);
        run = s + i + 1;
    }
    out.append(run, static_cast<size_t>(s + n - run));
}

struct xml_sink {
    quorvel_xpath_context* c;
    const json_options* o;
    const char* function;
    text out;
    // Per open container: its keys so far (for reject and use-first), as
    // offsets into one key store; skip counts the containers being dropped.
    struct frame {
        bool object;
        size_t first_key;  // index into keys
    };
    frame* frames = nullptr;
    size_t depth = 0, capacity = 0;
    size_t* key_offsets = nullptr;  // into key_store, one per remembered key
    size_t key_count = 0, key_capacity = 0;
    text key_store;
    text pending_key;
    bool pending_escaped = false;
    bool have_key = false;
    size_t skip = 0;  // > 0 while inside a value dropped as a duplicate

    xml_sink(quorvel_xpath_context* context, const json_options* options, const char* name)
        : c(context), o(options), function(name) {}
    xml_sink(const xml_sink&) = delete;
    xml_sink& operator=(const xml_sink&) = delete;
    ~xml_sink() {
        std::free(frames);
        std::free(key_offsets);
    }
    bool fail_oom() {
        oom(c);
        return false;
    }
    // Writes the start of an element for a value: name, namespace on the
    // outermost, key attributes inside objects. False to drop the value.
    bool start(const char* name, bool escaped_value, bool* dropped) {
        *dropped = false;
        if (skip) {
            *dropped = true;
            return true;
        }
        bool in_object = depth && frames[depth - 1].object;
        if (in_object && o->duplicates != DUP_RETAIN) {
            const char* k = pending_key.str();
            for (size_t i = frames[depth - 1].first_key; i < key_count; i++) {
                const char* seen = key_store.str() + key_offsets[i];
                // Keys are stored each with a terminating NUL.
                size_t seen_length = (i + 1 < key_count ? key_offsets[i + 1] : key_store.length) - 1 - key_offsets[i];
                if (seen_length == pending_key.length && !std::memcmp(seen, k, seen_length)) {
                    if (o->duplicates == DUP_REJECT) {
                        xpath_context_fail_code(c, "FOJS0003", "%s: duplicate key in a JSON object", function);
                        return false;
                    }
                    *dropped = true;
                    return true;
                }
            }
            if (!make_room(key_offsets, key_count, key_capacity, 16)) return fail_oom();
            key_offsets[key_count++] = key_store.length;
            key_store.append(pending_key.str(), pending_key.length);
            key_store.append('\0');
        }
        out.append('<');
        out.append(name);
        if (!depth) {
            out.append(" xmlns=\"");
            out.append(kFunctionsNamespace);
            out.append('"');
        }
        if (in_object) {
            out.append(" key=\"");
            put_xml_escaped(out, pending_key.str(), pending_key.length);
            out.append('"');
            if (pending_escaped) out.append(" escaped-key=\"true\"");
        }
        if (escaped_value) out.append(" escaped=\"true\"");
        return true;
    }
    bool open(bool object) {
        bool dropped = false;
        if (!start(object ? "map" : "array", false, &dropped)) return false;
        if (dropped) {
            skip++;
            return true;
        }
        out.append('>');
        if (!make_room(frames, depth, capacity, 16)) return fail_oom();
        frames[depth++] = {object, key_count};
        return !out.failed || fail_oom();
    }
    bool key(const text& k, bool escaped) {
        if (skip) return true;
        pending_key.clear();
        pending_key.append(k.str(), k.length);
        pending_escaped = escaped;
        return !pending_key.failed || fail_oom();
    }
    bool close(bool object) {
        if (skip) {
            skip--;
            return true;
        }
        frame f = frames[--depth];
        // Forget the keys of the closed object.
        if (f.object && f.first_key < key_count) {
            key_store.length = key_offsets[f.first_key];
            key_count = f.first_key;
        }
        out.append(object ? "</map>" : "</array>");
        return !out.failed || fail_oom();
    }
    bool scalar(scalar_kind kind, const char* bytes, size_t length, bool escaped) {
        static const char* const kNames[] = {"string", "number", "boolean", "boolean", "null"};
        const char* name = kNames[kind];
        bool dropped = false;
        if (!start(name, kind == SCALAR_STRING && escaped, &dropped)) return false;
        if (dropped) return true;
        if (kind == SCALAR_NULL) {
            out.append("/>");
        } else {
            out.append('>');
            put_xml_escaped(out, bytes, length);
            out.append("</");
            out.append(name);
            out.append('>');
        }
        return !out.failed || fail_oom();
    }
};

// ---- Arguments -----------------------------------------------------------------------------------------

// The JSON text argument: false with the error; *present false for ().

bool text_arg(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function, char** out,
              bool* present) {
    *out = nullptr;
    *present = false;
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return false;
    bool ok = true;
    if (r->kind == XPATH_STRING) {
        *out = xpath_to_string(r);
    } else if (r->kind == XPATH_NODESET) {
        const quorvel_node* only = nullptr;
        size_t n = fn_item_count(r->value.nodeset, &only);
        if (n == 1) {
            auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(only);
            bool typed_other = only->kind == kXpathCarrierNode &&
                               (k->ref_kind == XPATH_REF_MAP || k->ref_kind == XPATH_REF_FUNCTION ||
                                (k->text && k->length > 1 && k->text[0] == kXpathTagMark && k->text[1] != 'U' &&
                                 k->text[1] != kXpathTagNodeRef && k->text[1] != kXpathTagAttribute));
            if (typed_other) ok = false;
            else *out = get_node_text(only);
        } else if (n > 1) {
            ok = false;
        } else {
            xpath_result_free(r);
            return true;
        }
    } else {
        ok = false;
    }
    xpath_result_free(r);
    if (!ok) {
        xpath_context_fail_code(c, "XPTY0004", "%s expects a string", function);
        return false;
    }
    if (!*out) {
        oom(c);
        return false;
    }
    *present = true;
    return true;
}

// What every JSON reading function starts with: its options (the second
// argument, when given) and then its input text (the first). ok false: the error
// is set; present false: the text is the empty sequence.
struct json_arguments {
    json_options options;
    char* input = nullptr;
    bool present = false;
    bool ok = false;

    json_arguments(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, const char* function,
                   bool for_xml) {
        ok = read_options(c, count == 2 ? args[1] : nullptr, function, for_xml, &options) &&
             text_arg(c, args[0], function, &input, &present);
    }
    json_arguments(const json_arguments&) = delete;
    json_arguments& operator=(const json_arguments&) = delete;
    ~json_arguments() {
        std::free(input);
        xpath_map_value_release(options.holder);
    }
};

quorvel_xpath_result* parse_to_value(quorvel_xpath_context* c, const char* json, size_t length,
                                     const json_options* o, const char* function) {
    reader r{c, o, json, json + length, json, function};
    value_sink sink(c, o, function);
    if (!read_json(r, sink)) return nullptr;
    nodeset* v = sink.root;
    sink.root = nullptr;
    // A single string, number or boolean is returned as the plain value.
    if (v && v->count == 1 && v->items[0]->kind == kXpathCarrierNode) {
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(v->items[0]);
        quorvel_xpath_result* r = nullptr;
        if (k->ref_kind == XPATH_REF_NONE && (!k->length || (k->text && k->text[0] != kXpathTagMark))) {
            r = fn_string_result_copy(c, k->text, k->length);
        } else if (k->ref_kind == XPATH_REF_NONE && k->length >= 3 && k->text[1] == kXpathTagBoolean) {
            r = fn_boolean_result(c, k->text[2] == 't');
        } else if (k->ref_kind == XPATH_REF_NONE && k->length >= 3 && k->text[1] == kXpathTagDouble) {
            r = fn_number_result(c, xpath_string_to_number(k->text + 2));
            if (r) r->type_name = "xs:double";
        } else {
            return fn_sequence_result(c, v);
        }
        xpath_nodeset_free(v);
        return r;
    }
    return fn_sequence_result(c, v);
}

// Reads a file whole; NULL with FOUT1170 when it cannot be read.
char* read_file(quorvel_xpath_context* c, const char* path, size_t* length) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        xpath_context_fail_code(c, "FOUT1170", "json-doc: cannot read '%s'", path);
        return nullptr;
    }
    text all;
    char chunk[8192];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) all.append(chunk, n);
    bool error = std::ferror(f) != 0;
    std::fclose(f);
    if (error) {
        xpath_context_fail_code(c, "FOUT1170", "json-doc: cannot read '%s'", path);
        return nullptr;
    }
    if (all.failed) {
        oom(c);
        return nullptr;
    }
    *length = all.length;
    char* data = all.data ? all.data : static_cast<char*>(std::calloc(1, 1));
    all.data = nullptr;
    if (!data) oom(c);
    return data;
}

}  // namespace

quorvel_xpath_result* fn_parse_json(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    json_arguments a(c, args, count, "parse-json", false);
    if (!a.ok) return nullptr;
    if (!a.present) return fn_sequence_result(c, fn_owning_set());
    return parse_to_value(c, a.input, std::strlen(a.input), &a.options, "parse-json");
}

// json-doc(href, options?): the file's text (UTF-8, a leading byte-order
// mark dropped) read as parse-json reads its argument. The href is a file
// path or a file: URI.
quorvel_xpath_result* fn_json_doc(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    json_arguments a(c, args, count, "json-doc", false);
    if (!a.ok) return nullptr;
    if (!a.present) return fn_sequence_result(c, fn_owning_set());
    const char* href = a.input;
    if (std::strchr(href, '#')) {
        xpath_context_fail_code(c, "FOUT1170", "json-doc: a fragment identifier is not allowed: '%s'", href);
        return nullptr;
    }
    const char* path = href;
    if (!std::strncmp(path, "file://", 7)) path += 7;
    else if (!std::strncmp(path, "file:", 5)) path += 5;
    size_t length = 0;
    char* data = read_file(c, path, &length);
    if (!data) return nullptr;
    quorvel_xpath_result* r = nullptr;
    const char* start = data;
    if (length >= 3 && !std::memcmp(start, "\xEF\xBB\xBF", 3)) {
        start += 3;
        length -= 3;
    }
    if (std::memchr(start, '\0', length))
        xpath_context_fail_code(c, "FOUT1190", "json-doc: '%s' is not UTF-8 text", href);
    else
        r = parse_to_value(c, start, length, &a.options, "json-doc");
    std::free(data);
    return r;
}

// json-to-xml(text, options?): the document node of a new document holding
// the XML form of the JSON text. The document belongs to the context
// document, which frees it.
quorvel_xpath_result* fn_json_to_xml(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    json_arguments a(c, args, count, "json-to-xml", true);
    if (!a.ok) return nullptr;
    if (!a.present) return fn_sequence_result(c, fn_owning_set());
    const char* json = a.input;
    reader rd{c, &a.options, json, json + std::strlen(json), json, "json-to-xml"};
    xml_sink sink(c, &a.options, "json-to-xml");
    if (!read_json(rd, sink)) return nullptr;
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(sink.out.str(), sink.out.length, &status);
    if (!doc) {
        xpath_context_fail(c, "json-to-xml: the XML form could not be built");
        return nullptr;
    }
    if (!c->document || quorvel_document_adopt_child(c->document, doc) != 0) {
        quorvel_document_free(doc);
        if (c->document) return oom(c);
        xpath_context_fail(c, "json-to-xml needs a context document");
        return nullptr;
    }
    nodeset* s = fn_owning_set();
    quorvel_node* node = xpath_document_node(doc);
    if (s && node && xpath_nodeset_add_fast(s, node)) return fn_sequence_result(c, s);
    xpath_nodeset_free(s);
    return oom(c);
}
