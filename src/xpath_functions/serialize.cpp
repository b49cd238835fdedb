// fn:serialize with the xml, text, json and adaptive methods and the map
// (or element) of serialization parameters, and fn:xml-to-json. JSON
// output is always valid JSON: every control character is escaped, and so
// is the solidus, as the JSON output method does.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using nodeset = quorvel_xpath_node_set;
using map_value = quorvel_xpath_map_value;

// Values nest through maps and arrays, documents through elements: writers
// that recurse stop at this depth with an error instead of using up the stack.
constexpr int kMaxOutputDepth = 1000;
constexpr char kFunctionsNamespace[] = "http://www.w3.org/2005/xpath-functions";
constexpr char kSerializationNamespace[] = "http://www.w3.org/2010/xslt-xquery-serialization";

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// The name of an attribute or the prefix of a namespace item.
const char* synthetic_name(const quorvel_node* item) {
    if (item->kind == kXpathAttributeNode) {
        const char* name = reinterpret_cast<const quorvel_xpath_attribute_node*>(item)->name;
        return name ? name : "";
    }
    if (item->kind == kXpathNamespaceNode) {
        const char* prefix = reinterpret_cast<const quorvel_xpath_namespace_node*>(item)->prefix;
        return prefix ? prefix : "";
    }
    return "";
}

using text = fn_text;

// JSON string content: quote, backslash, solidus and every control
// character escaped (C1 controls too, as \u00XX).
void put_json_chars(text& out, const char* s, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char* run = s;
    for (size_t i = 0; i < n; i++) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char piece[8];
        size_t k = 2;
        piece[0] = '\\';
        bool c1 = b == 0xC2 && i + 1 < n && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(s[i + 1]) <= 0x9F;
        switch (b) {
        case '"': piece[1] = '"'; break;
        case '\\': piece[1] = '\\'; break;
        case '/': piece[1] = '/'; break;
        case '\b': piece[1] = 'b'; break;
        case '\f': piece[1] = 'f'; break;
        case '\n': piece[1] = 'n'; break;
        case '\r': piece[1] = 'r'; break;
        case '\t': piece[1] = 't'; break;
        default:
            if (b < 0x20 || b == 0x7F || c1) {
                unsigned v = c1 ? static_cast<unsigned char>(s[i + 1]) : b;
                piece[1] = 'u';
                piece[2] = '0';
                piece[3] = '0';
                piece[4] = kHex[v >> 4];
                piece[5] = kHex[v & 15];
                k = 6;
                break;
            }
            continue;
        }
        out.append(run, static_cast<size_t>(s + i - run));
        out.append(piece, k);
        if (c1) i++;
        run = s + i + 1;
    }
    out.append(run, static_cast<size_t>(s + n - run));
}

void put_json_string(text& out, const char* s, size_t n) {
    out.append('"');
    put_json_chars(out, s, n);
    out.append('"');
}

void put_xml_text(text& out, const char* s, bool attribute) {
    const char* run = s;
    for (; *s; s++) {
        const char* piece = nullptr;
        switch (*s) {
        case '&': piece = "&amp;"; break;
        case '<': piece = "&lt;"; break;
        case '>': piece = "&gt;"; break;
        case '"': piece = attribute ? "&quot;" : nullptr; break;
        case '\r': piece = "&#xD;"; break;
        case '\n': piece = attribute ? "&#xA;" : nullptr; break;
        case '\t': piece = attribute ? "&#x9;" : nullptr; break;
        default: break;
        }
        if (!piece) continue;
        out.append(run, static_cast<size_t>(s - run));
        out.append(piece);
        run = s + 1;
    }
    out.append(run, static_cast<size_t>(s - run));
}

// ---- Serialization parameters -----------------------------------------------------------------------

enum method_kind { METHOD_XML, METHOD_TEXT, METHOD_JSON, METHOD_ADAPTIVE, METHOD_HTML };

struct params {
    method_kind method = METHOD_XML;
    bool indent = false;
    bool omit_declaration = true;
    bool has_separator = false;
    char* separator = nullptr;  // owned
    method_kind node_method = METHOD_XML;  // json-node-output-method
    ~params() { std::free(separator); }
};

bool method_of(const char* name, method_kind* out) {
    if (!std::strcmp(name, "xml") || !std::strcmp(name, "xhtml")) *out = METHOD_XML;
    else if (!std::strcmp(name, "text")) *out = METHOD_TEXT;
    else if (!std::strcmp(name, "json")) *out = METHOD_JSON;
    else if (!std::strcmp(name, "adaptive")) *out = METHOD_ADAPTIVE;
    else if (!std::strcmp(name, "html")) *out = METHOD_HTML;
    else return false;
    return true;
}

bool yes_no(const char* v, bool* out) {
    while (*v == ' ' || *v == '\t' || *v == '\n' || *v == '\r') v++;
    size_t n = std::strlen(v);
    while (n && (v[n - 1] == ' ' || v[n - 1] == '\t' || v[n - 1] == '\n' || v[n - 1] == '\r')) n--;
    auto is = [&](const char* w) { return std::strlen(w) == n && !std::strncmp(v, w, n); };
    if (is("yes") || is("true") || is("1")) *out = true;
    else if (is("no") || is("false") || is("0")) *out = false;
    else return false;
    return true;
}

// One parameter given as text (from the element form, or a string value in
// the map form); false with SEPM0017 for a value the parameter cannot take.
bool set_param(quorvel_xpath_context* c, params* p, const char* name, const char* value) {
    bool ok = true;
    if (!std::strcmp(name, "method")) ok = method_of(value, &p->method);
    else if (!std::strcmp(name, "json-node-output-method")) ok = method_of(value, &p->node_method);
    else if (!std::strcmp(name, "indent")) ok = yes_no(value, &p->indent);
    else if (!std::strcmp(name, "omit-xml-declaration")) ok = yes_no(value, &p->omit_declaration);
    else if (!std::strcmp(name, "item-separator")) {
        std::free(p->separator);
        size_t n = std::strlen(value);
        p->separator = static_cast<char*>(std::malloc(n + 1));
        if (!p->separator) return oom(c) != nullptr;
        std::memcpy(p->separator, value, n + 1);
        p->has_separator = true;
    }
    if (!ok) xpath_context_fail_code(c, "SEPM0017", "serialize: invalid value '%s' for %s", value, name);
    return ok;
}

bool params_from_map(quorvel_xpath_context* c, const map_value* m, params* p) {
    static const char* const kBooleans[] = {"indent", "omit-xml-declaration", "allow-duplicate-names",
                                            "byte-order-mark", "escape-uri-attributes", "include-content-type",
                                            "undeclare-prefixes"};
    for (const char* name : kBooleans) {
        bool v = false;
        bool present = false;
        {
            bool bad = false;
            present = fn_option_item(c, m, name, &bad) != nullptr;
            if (bad) return false;
        }
        if (!present) continue;
        if (!fn_option_boolean(c, m, name, false, &v)) return false;
        if (!std::strcmp(name, "indent")) p->indent = v;
        else if (!std::strcmp(name, "omit-xml-declaration")) p->omit_declaration = v;
    }
    static const char* const kStrings[] = {"method", "json-node-output-method", "item-separator"};
    for (const char* name : kStrings) {
        bool bad = false;
        const quorvel_node* item = fn_option_item(c, m, name, &bad);
        if (bad) return false;
        if (!item) continue;
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        bool is_string = item->kind == kXpathCarrierNode && k->ref_kind == XPATH_REF_NONE && k->text &&
                         (k->length == 0 || k->text[0] != kXpathTagMark || (k->length > 1 && k->text[1] == 'U'));
        if (!is_string) {
            xpath_context_fail_code(c, "XPTY0004", "serialize: parameter %s takes a string", name);
            return false;
        }
        char* v = get_node_text(item);
        if (!v) return oom(c) != nullptr;
        bool ok = set_param(c, p, name, v);
        std::free(v);
        if (!ok) return false;
    }
    return true;
}

// The element form: <output:serialization-parameters> with one child per
// parameter holding its value in a value attribute.
bool params_from_element(quorvel_xpath_context* c, quorvel_element* e, params* p) {
    for (quorvel_node* n = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(e)); n;
         n = quorvel_node_next_sibling(n)) {
        quorvel_element* x = quorvel_node_as_element(n);
        if (!x) continue;
        const char* uri = quorvel_element_namespace(x);
        if (!uri || std::strcmp(uri, kSerializationNamespace)) continue;
        const char* value = quorvel_element_attribute(x, "value");
        if (!value) continue;
        if (!set_param(c, p, quorvel_element_name(x), value)) return false;
    }
    return true;
}

// ---- Writers ---------------------------------------------------------------------------------------

struct writer {
    quorvel_xpath_context* c;
    const params* p;
    text out;
    bool failed = false;

    bool fail(const char* code, const char* message) {
        if (!failed) xpath_context_fail_code(c, code, "serialize: %s", message);
        failed = true;
        return false;
    }

    // ---- Nodes as XML

    bool node_xml(const quorvel_node* n, int depth, bool html) {
        if (depth > kMaxOutputDepth) return fail("SERE0020", "document nested too deeply");
        switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: {
            quorvel_serialize_options o{};
            o.indent = p->indent ? 2 : 0;
            quorvel_serialize_ext_options ext{};
            ext.method = html ? 1 : 0;
            char* s = quorvel_element_serialize_ext(reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n)),
                                                    &o, &ext);
            if (!s) return fail("SERE0020", "element could not be written");
            out.append(s);
            quorvel_free_string(s);
            return true;
        }
        case QUORVEL_NODE_DOCUMENT:
            for (quorvel_node* k = quorvel_node_first_child(n); k; k = quorvel_node_next_sibling(k))
                if (!node_xml(k, depth + 1, html)) return false;
            return true;
        case QUORVEL_NODE_TEXT:
            put_xml_text(out, quorvel_text_node_get_content(n), false);
            return true;
        case QUORVEL_NODE_CDATA:
            put_xml_text(out, quorvel_cdata_node_get_content(n), false);
            return true;
        case QUORVEL_NODE_COMMENT:
            out.append("<!--");
            out.append(quorvel_comment_node_get_content(n));
            out.append("-->");
            return true;
        case QUORVEL_NODE_PI: {
            out.append("<?");
            out.append(quorvel_pi_node_get_target(n));
            const char* d = quorvel_pi_node_get_data(n);
            if (d && *d) {
                out.append(' ');
                out.append(d);
            }
            out.append("?>");
            return true;
        }
        default:
            return true;
        }
    }

    // An item that is a node (element, document, text, ...) rather than an
    // atomic value, map or function; element references count as nodes.
    static const quorvel_node* as_node(const quorvel_node* item) {
        if (item->kind != kXpathCarrierNode) return item;
        return xpath_carrier_referenced_node(item);
    }

    static bool is_function(const quorvel_xpath_carrier* k) {
        return k->ref_kind == XPATH_REF_FUNCTION ||
               (k->text && k->length > 2 && k->text[0] == kXpathTagMark && k->text[1] == 'F' &&
                (k->text[2] == 'R' || (k->length > 3 && k->text[2] == 'N' && k->text[3] == '\x02')));
    }

    // ---- The xml and text methods: items in order, adjacent atomic
    // values separated by a space (or the item separator).

    bool sequence_xml(const nodeset* s) {
        bool previous_atomic = false, first = true;
        for (size_t i = 0; s && i < s->count; i++) {
            const quorvel_node* item = s->items[i];
            if (!is_item(item)) continue;
            if (p->has_separator && !first) out.append(p->separator);
            first = false;
            const quorvel_node* node = as_node(item);
            if (item->kind == kXpathAttributeNode || item->kind == kXpathNamespaceNode) {
                if (p->method == METHOD_TEXT) {
                    char* t = get_node_text(item);
                    if (!t) return fail("SERE0020", "out of memory");
                    out.append(t);
                    std::free(t);
                    previous_atomic = false;
                    continue;
                }
                return fail("SENR0001", "an attribute or namespace node cannot be serialized alone");
            }
            if (node) {
                if (p->method == METHOD_TEXT) {
                    char* t = get_node_text(node);
                    if (!t) return fail("SERE0020", "out of memory");
                    out.append(t);
                    std::free(t);
                } else if (!node_xml(node, 0, p->method == METHOD_HTML)) {
                    return false;
                }
                previous_atomic = false;
                continue;
            }
            auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            if (k->ref_kind == XPATH_REF_MAP) {
                // Arrays are flattened into their members.
                map_value* m = xpath_map_of_item(item);
                bool ok = m && m->is_array;
                for (size_t j = 0; ok && j < m->count; j++) ok = sequence_xml(m->entries[j].value);
                xpath_map_value_release(m);
                if (!ok) return failed ? false : fail("SENR0001", "a map cannot be serialized as XML");
                previous_atomic = false;
                continue;
            }
            if (is_function(k)) return fail("SENR0001", "a function item cannot be serialized");
            char* t = get_node_text(item);
            if (!t) return fail("SERE0020", "out of memory");
            if (previous_atomic && !p->has_separator) out.append(' ');
            if (p->method == METHOD_TEXT) out.append(t);
            else put_xml_text(out, t, false);
            std::free(t);
            previous_atomic = true;
        }
        return true;
    }

    // ---- The json method

    bool item_json(const quorvel_node* item, int depth) {
        if (depth > kMaxOutputDepth) return fail("SERE0020", "value nested too deeply");
        if (item->kind == kXpathAttributeNode || item->kind == kXpathNamespaceNode) {
            char* t = get_node_text(item);
            if (!t) return fail("SERE0020", "out of memory");
            // An attribute becomes the JSON string of its XML form.
            text x;
            x.append(synthetic_name(item));
            x.append("=\"");
            put_xml_text(x, t, true);
            x.append('"');
            std::free(t);
            put_json_string(out, x.data ? x.data : "", x.length);
            return true;
        }
        if (const quorvel_node* node = as_node(item)) {
            // A node becomes the JSON string of its serialization by the
            // node method (XML unless text or HTML was asked for).
            writer inner{c, p, {}, false};
            bool ok = true;
            if (p->node_method == METHOD_TEXT) {
                char* t = get_node_text(node);
                if (t) inner.out.append(t);
                ok = t != nullptr;
                std::free(t);
            } else {
                ok = inner.node_xml(node, depth, p->node_method == METHOD_HTML);
            }
            if (!ok) return fail("SERE0020", "node could not be written");
            put_json_string(out, inner.out.data ? inner.out.data : "", inner.out.length);
            return true;
        }
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        if (k->ref_kind == XPATH_REF_MAP) return map_entries(item, true, depth);
        if (is_function(k)) return fail("SERE0021", "a function item cannot be written as JSON");
        const char* t = k->text ? k->text : "";
        if (t[0] == kXpathTagMark && k->length >= 2) {
            switch (t[1]) {
            case kXpathTagBoolean:
                out.append(t[2] == 't' ? "true" : "false");
                return true;
            case kXpathTagInteger:
            case kXpathTagDecimal:
            case kXpathTagDouble:
            case kXpathTagFloat: {
                double v = xpath_string_to_number(t + 2);
                if (std::isnan(v) || std::isinf(v))
                    return fail("SERE0020", "NaN and infinity have no JSON form");
                out.append(t + 2, k->length - 2);
                return true;
            }
            case kXpathTagEmpty:
                if (k->length == 2) {
                    out.append("null");
                    return true;
                }
                break;
            default:
                break;
            }
        }
        char* s = get_node_text(item);
        if (!s) return fail("SERE0020", "out of memory");
        put_json_string(out, s, std::strlen(s));
        std::free(s);
        return true;
    }

    bool value_json(const nodeset* v, int depth) {
        const quorvel_node* only = nullptr;
        size_t n = fn_item_count(v, &only);
        if (n == 0) {
            out.append("null");
            return true;
        }
        if (n > 1) return fail("SERE0023", "a sequence of more than one item has no JSON form");
        return item_json(only, depth);
    }

    // ---- The adaptive method

    bool item_adaptive(const quorvel_node* item, int depth) {
        if (depth > kMaxOutputDepth) return fail("SERE0020", "value nested too deeply");
        if (item->kind == kXpathAttributeNode) {
            char* t = get_node_text(item);
            if (!t) return fail("SERE0020", "out of memory");
            out.append(synthetic_name(item));
            out.append("=\"");
            put_xml_text(out, t, true);
            out.append('"');
            std::free(t);
            return true;
        }
        if (item->kind == kXpathNamespaceNode) {
            auto* ns = reinterpret_cast<const quorvel_xpath_namespace_node*>(item);
            out.append(ns->prefix && *ns->prefix ? "xmlns:" : "xmlns");
            if (ns->prefix) out.append(ns->prefix);
            out.append("=\"");
            put_xml_text(out, ns->uri ? ns->uri : "", true);
            out.append('"');
            return true;
        }
        if (const quorvel_node* node = as_node(item)) return node_xml(node, depth, false);
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        if (k->ref_kind == XPATH_REF_MAP) return map_entries(item, false, depth);
        const char* t = k->text ? k->text : "";
        if (k->ref_kind == XPATH_REF_FUNCTION || (t[0] == kXpathTagMark && t[1] == 'F' && t[2] == 'N' && t[3] == '\x02')) {
            out.append("(anonymous-function)#");
            const char* params_text = t + 3;
            size_t arity = 0;
            if (*params_text == '\x02' && params_text[1] != '\x02') {
                arity = 1;
                for (const char* q = params_text + 1; *q && *q != '\x02'; q++) arity += *q == '\x01';
            }
            char digits[24];
            std::snprintf(digits, sizeof digits, "%zu", arity);
            out.append(digits);
            return true;
        }
        if (t[0] == kXpathTagMark && t[1] == 'F' && t[2] == 'R') {
            out.append(t + 3);
            return true;
        }
        if (t[0] != kXpathTagMark || t[1] == 'U') {
            put_quoted(t[0] == kXpathTagMark ? t + 2 : t);
            return true;
        }
        switch (t[1]) {
        case kXpathTagBoolean:
            out.append(t[2] == 't' ? "true()" : "false()");
            return true;
        case kXpathTagInteger:
        case kXpathTagDecimal:
            out.append(t + 2);
            return true;
        case kXpathTagDouble:
        case kXpathTagFloat: {
            char buf[64];
            double v = xpath_string_to_number(t + 2);
            if (std::isnan(v)) std::strcpy(buf, "NaN");
            else if (std::isinf(v)) std::strcpy(buf, v > 0 ? "INF" : "-INF");
            else {
                // Scientific form with one digit before the point, as the
                // canonical double is written.
                char m[40];
                int p17 = 1;
                for (; p17 < 17; p17++) {
                    std::snprintf(m, sizeof m, "%.*e", p17, v);
                    if (std::strtod(m, nullptr) == v) break;
                }
                std::snprintf(m, sizeof m, "%.*e", p17, v);
                char* e = std::strchr(m, 'e');
                int exponent = e ? std::atoi(e + 1) : 0;
                if (e) *e = '\0';
                // Trim trailing zeros of the mantissa, keeping one digit.
                size_t n = std::strlen(m);
                while (n > 2 && m[n - 1] == '0' && m[n - 2] != '.') m[--n] = '\0';
                std::snprintf(buf, sizeof buf, "%se%d", m, exponent);
            }
            if (t[1] == kXpathTagFloat) {
                out.append("xs:float(\"");
                out.append(t + 2);
                out.append("\")");
            } else {
                out.append(buf);
            }
            return true;
        }
        case kXpathTagEmpty:
            if (!t[2]) return true;
            break;
        default:
            break;
        }
        // Other typed values: their constructor.
        const char* type = nullptr;
        for (const quorvel_xpath_family& f : xq_family_table)
            if (f.tag == t[1]) type = f.type_name;
        char* s = get_node_text(item);
        if (!s) return fail("SERE0020", "out of memory");
        if (t[1] == 'Z') {
            out.append(s);
        } else {
            out.append(type ? type : "xs:anyAtomicType");
            out.append("(\"");
            out.append(s);
            out.append("\")");
        }
        std::free(s);
        return true;
    }

    // A string in the adaptive form: in quotes, quotes doubled.
    void put_quoted(const char* s) {
        out.append('"');
        for (const char* q = s; *q; q++) {
            if (*q == '"') out.append('"');
            out.append(*q);
        }
        out.append('"');
    }

    // ---- Maps and arrays, in either form

    // A map or array item: members or entries in order, keys as strings of
    // the form, each value written by the form's own value writer.
    bool map_entries(const quorvel_node* item, bool json, int depth) {
        map_value* m = xpath_map_of_item(item);
        if (!m) return fail("SERE0020", "out of memory");
        bool ok = true;
        out.append(m->is_array ? "[" : json ? "{" : "map{");
        for (size_t i = 0; ok && i < m->count; i++) {
            if (i) out.append(',');
            if (json && p->indent) out.append(' ');
            if (!m->is_array) {
                if (json) put_json_string(out, m->entries[i].key, m->entries[i].key_length);
                else put_quoted(m->entries[i].key);
                out.append(':');
            }
            const nodeset* value = m->entries[i].value;
            ok = json ? value_json(value, depth + 1) : value_adaptive(value, depth + 1);
        }
        out.append(m->is_array ? ']' : '}');
        xpath_map_value_release(m);
        return ok;
    }

    bool value_adaptive(const nodeset* v, int depth) {
        size_t n = 0;
        for (size_t i = 0; v && i < v->count; i++) n += is_item(v->items[i]) ? 1 : 0;
        if (n != 1) out.append('(');
        if (!items_adaptive(v, ",", depth)) return false;
        if (n != 1) out.append(')');
        return true;
    }

    // The items of a sequence in the adaptive form, separator between them.
    bool items_adaptive(const nodeset* v, const char* separator, int depth) {
        bool first = true;
        for (size_t i = 0; v && i < v->count; i++) {
            if (!is_item(v->items[i])) continue;
            if (!first) out.append(separator);
            first = false;
            if (!item_adaptive(v->items[i], depth)) return false;
        }
        return true;
    }
};

}  // namespace

quorvel_xpath_result* fn_serialize(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    params p;
    if (count == 2) {
        quorvel_xpath_result* o = fn_evaluate(c, args[1]);
        if (!o) return nullptr;
        const quorvel_node* only = nullptr;
        size_t n = o->kind == XPATH_NODESET ? fn_item_count(o->value.nodeset, &only) : 0;
        bool ok = true;
        if (n == 1) {
            map_value* m = xpath_map_of_item(only);
            quorvel_element* e = only->kind == QUORVEL_NODE_ELEMENT
                                     ? reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(only))
                                     : nullptr;
            if (!e && only->kind == kXpathCarrierNode)
                e = reinterpret_cast<quorvel_element*>(xpath_carrier_referenced_node(only));
            if (m && !m->is_array) ok = params_from_map(c, m, &p);
            else if (e) ok = params_from_element(c, e, &p);
            else {
                xpath_context_fail_code(c, "XPTY0004", "serialize: parameters must be a map or an element");
                ok = false;
            }
            xpath_map_value_release(m);
        } else if (n > 1 || o->kind != XPATH_NODESET) {
            xpath_context_fail_code(c, "XPTY0004", "serialize: parameters must be a map or an element");
            ok = false;
        }
        xpath_result_free(o);
        if (!ok) return nullptr;
    }
    if (!args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    quorvel_xpath_result* value = evaluate_expr(c, args[0]);
    if (!value) return nullptr;
    nodeset* items = xpath_value_items(value);
    xpath_result_free(value);
    if (!items) return oom(c);
    writer w{c, &p, {}, false};
    bool ok = true;
    if (p.method == METHOD_XML && !p.omit_declaration) w.out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    switch (p.method) {
    case METHOD_JSON:
        ok = w.value_json(items, 0);
        break;
    case METHOD_ADAPTIVE:
        ok = w.items_adaptive(items, p.has_separator ? p.separator : "\n", 0);
        break;
    default:
        ok = w.sequence_xml(items);
        break;
    }
    xpath_nodeset_free(items);
    if (!ok) return nullptr;
    char* out = w.out.take();
    if (!out) return oom(c);
    return fn_string_result_take(c, out);
}

// ---- xml-to-json ------------------------------------------------------------------------------------------

namespace {

struct j_writer {
    quorvel_xpath_context* c;
    bool indent;
    text out;
    bool failed = false;

    bool invalid(const char* what) {
        if (!failed) xpath_context_fail_code(c, "FOJS0006", "xml-to-json: %s", what);
        failed = true;
        return false;
    }

    static bool blank(const char* s) {
        for (; s && *s; s++)
            if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r') return false;
        return true;
    }

    static bool in_functions_namespace(quorvel_element* e) {
        const char* uri = quorvel_element_namespace(e);
        return uri && !std::strcmp(uri, kFunctionsNamespace);
    }

    // Reads the attributes: key and escaped flags; anything else in no
    // namespace is an error, attributes in other namespaces are ignored.
    bool attributes(quorvel_element* e, const char** key, bool* escaped, bool* escaped_key, bool* has_escaped) {
        *key = nullptr;
        *escaped = *escaped_key = *has_escaped = false;
        size_t n = quorvel_element_attribute_count(e);
        for (size_t i = 0; i < n; i++) {
            const char* name = quorvel_element_attribute_name_at(e, i);
            const char* value = quorvel_element_attribute_value_at(e, i);
            if (!name || !value) continue;
            if (!std::strncmp(name, "xmlns", 5) && (name[5] == '\0' || name[5] == ':')) continue;
            if (std::strchr(name, ':')) {
                // A prefixed attribute: allowed unless it is in the
                // functions namespace.
                char prefix[128];
                size_t plen = static_cast<size_t>(std::strchr(name, ':') - name);
                if (plen >= sizeof prefix) continue;
                std::memcpy(prefix, name, plen);
                prefix[plen] = '\0';
                const char* uri = quorvel_element_namespace_for_prefix(e, prefix);
                if (uri && !std::strcmp(uri, kFunctionsNamespace)) return invalid("attribute in the functions namespace");
                continue;
            }
            if (!std::strcmp(name, "key")) {
                *key = value;
            } else if (!std::strcmp(name, "escaped") || !std::strcmp(name, "escaped-key")) {
                bool v = false;
                if (!yes_no(value, &v)) return invalid("escaped and escaped-key take a boolean");
                if (name[7] == '\0') {
                    *escaped = v;
                    *has_escaped = true;
                } else {
                    *escaped_key = v;
                }
            } else {
                return invalid("unknown attribute");
            }
        }
        return true;
    }

    // The content of a string, number, boolean or null element: text and
    // CDATA only (comments and processing instructions ignored).
    bool simple_content(quorvel_element* e, text& t) {
        for (quorvel_node* n = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(e)); n;
             n = quorvel_node_next_sibling(n)) {
            if (n->kind == QUORVEL_NODE_TEXT) t.append(quorvel_text_node_get_content(n));
            else if (n->kind == QUORVEL_NODE_CDATA) t.append(quorvel_cdata_node_get_content(n));
            else if (n->kind == QUORVEL_NODE_ELEMENT) return invalid("element inside a simple value");
        }
        return true;
    }

    // Checks the escapes of an escaped string and writes it: valid escapes
    // kept, other characters escaped as in any JSON string.
    bool escaped_chars(const char* s, size_t n) {
        for (size_t i = 0; i < n; i++) {
            if (s[i] != '\\') {
                put_json_chars(out, s + i, 1);
                continue;
            }
            if (i + 1 >= n) return bad_escape();
            char e = s[i + 1];
            if (std::strchr("\"\\/bfnrt", e)) {
                out.append(s + i, 2);
                i++;
                continue;
            }
            if (e != 'u' || i + 5 >= n) return bad_escape();
            for (size_t k = i + 2; k < i + 6; k++)
                if (!std::strchr("0123456789abcdefABCDEF", s[k])) return bad_escape();
            out.append(s + i, 6);
            i += 5;
        }
        return true;
    }
    bool bad_escape() {
        if (!failed) xpath_context_fail_code(c, "FOJS0007", "xml-to-json: invalid escape in an escaped string");
        failed = true;
        return false;
    }

    static char* trimmed(const char* s) {
        while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') s++;
        size_t n = std::strlen(s);
        while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) n--;
        char* out = static_cast<char*>(std::malloc(n + 1));
        if (out) {
            std::memcpy(out, s, n);
            out[n] = '\0';
        }
        return out;
    }

    bool element(quorvel_element* e, bool keyed, int depth) {
        if (depth > kMaxOutputDepth) return invalid("nested too deeply");
        if (!in_functions_namespace(e)) return invalid("element not in the functions namespace");
        const char* name = quorvel_element_name(e);
        const char* key = nullptr;
        bool escaped = false, escaped_key = false, has_escaped = false;
        if (!attributes(e, &key, &escaped, &escaped_key, &has_escaped)) return false;
        if (keyed && !key) return invalid("a member of a map needs a key");
        if (!keyed) key = nullptr;  // a key outside a map plays no part
        if (has_escaped && std::strcmp(name, "string")) return invalid("escaped on an element other than string");
        if (escaped_key && !keyed) escaped_key = false;
        if (key) {
            out.append('"');
            if (escaped_key) {
                if (!escaped_chars(key, std::strlen(key))) return false;
            } else {
                put_json_chars(out, key, std::strlen(key));
            }
            out.append("\":");
        }
        bool is_map = !std::strcmp(name, "map");
        if (is_map || !std::strcmp(name, "array")) {
            out.append(is_map ? '{' : '[');
            bool first = true;
            // Keys seen in this map, for the duplicate check.
            text seen;
            size_t seen_count = 0;
            for (quorvel_node* n = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(e)); n;
                 n = quorvel_node_next_sibling(n)) {
                if (n->kind == QUORVEL_NODE_TEXT || n->kind == QUORVEL_NODE_CDATA) {
                    const char* t = n->kind == QUORVEL_NODE_TEXT ? quorvel_text_node_get_content(n)
                                                                 : quorvel_cdata_node_get_content(n);
                    if (!blank(t)) return invalid("text inside a map or array");
                    continue;
                }
                if (n->kind != QUORVEL_NODE_ELEMENT) continue;
                quorvel_element* child = reinterpret_cast<quorvel_element*>(n);
                if (is_map) {
                    const char* k = quorvel_element_attribute(child, "key");
                    if (k) {
                        // Compare keys as the JSON strings they stand for.
                        text norm;
                        const char* ek = quorvel_element_attribute(child, "escaped-key");
                        bool ek_true = false;
                        if (ek) yes_no(ek, &ek_true);
                        if (ek_true) unescape_into(norm, k);
                        else norm.append(k);
                        const char* at = seen.data;
                        for (size_t i = 0; at && i < seen_count; i++) {
                            size_t len = std::strlen(at);
                            if (len == norm.length && !std::memcmp(at, norm.data ? norm.data : "", len))
                                return invalid("duplicate key in a map");
                            at += len + 1;
                        }
                        seen.append(norm.data ? norm.data : "", norm.length);
                        seen.append('\0');
                        seen_count++;
                    }
                }
                if (!first) out.append(',');
                first = false;
                if (!element(child, is_map, depth + 1)) return false;
            }
            out.append(is_map ? '}' : ']');
            return !out.failed || oom(c);
        }
        text content;
        if (!simple_content(e, content)) return false;
        const char* t = content.data ? content.data : "";
        if (!std::strcmp(name, "string")) {
            out.append('"');
            if (escaped) {
                if (!escaped_chars(t, content.length)) return false;
            } else {
                put_json_chars(out, t, content.length);
            }
            out.append('"');
        } else if (!std::strcmp(name, "number")) {
            char* v = trimmed(t);
            if (!v) return oom(c);
            char* end = nullptr;
            double d = *v && !std::strchr(v, 'x') && !std::strchr(v, 'X') ? std::strtod(v, &end) : 0;
            bool ok = end && *end == '\0' && end != v && !std::isnan(d) && !std::isinf(d) &&
                      !std::strpbrk(v, "nNiI");
            std::free(v);
            if (!ok) return invalid("a number element must hold a finite number");
            char buf[64];
            xpath_format_number(d, buf);
            out.append(buf);
        } else if (!std::strcmp(name, "boolean")) {
            bool v = false;
            char* s = trimmed(t);
            if (!s) return oom(c);
            bool ok = !std::strcmp(s, "true") || !std::strcmp(s, "1") || !std::strcmp(s, "false") || !std::strcmp(s, "0");
            v = !std::strcmp(s, "true") || !std::strcmp(s, "1");
            std::free(s);
            if (!ok) return invalid("a boolean element must hold a boolean");
            out.append(v ? "true" : "false");
        } else if (!std::strcmp(name, "null")) {
            if (content.length) return invalid("a null element must be empty");
            out.append("null");
        } else {
            return invalid("unknown element");
        }
        return !out.failed || oom(c);
    }

    // The JSON string a key with escapes stands for (escapes undone).
    static void unescape_into(text& t, const char* s) {
        for (; *s; s++) {
            if (*s != '\\' || !s[1]) {
                t.append(*s);
                continue;
            }
            char e = *++s;
            switch (e) {
            case 'b': t.append('\b'); break;
            case 'f': t.append('\f'); break;
            case 'n': t.append('\n'); break;
            case 'r': t.append('\r'); break;
            case 't': t.append('\t'); break;
            case 'u': {
                unsigned v = 0;
                int k = 0;
                for (; k < 4 && s[1]; k++) {
                    char h = *++s;
                    v = v * 16 + static_cast<unsigned>(h >= 'a' ? h - 'a' + 10 : h >= 'A' ? h - 'A' + 10 : h - '0');
                }
                char bytes[4];
                t.append(bytes, quorvel_utf8_encode(v, bytes));
                break;
            }
            default: t.append(e); break;
            }
        }
    }
};

}  // namespace

quorvel_xpath_result* fn_xml_to_json(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    bool indent = false;
    if (count == 2) {
        map_value* m = fn_map_arg(c, args[1], "xml-to-json", 0);
        if (!m) return nullptr;
        bool ok = fn_option_boolean(c, m, "indent", false, &indent);
        xpath_map_value_release(m);
        if (!ok) return nullptr;
    }
    if (!args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    quorvel_xpath_result* in = evaluate_expr(c, args[0]);
    if (!in) return nullptr;
    const quorvel_node* only = nullptr;
    size_t n = in->kind == XPATH_NODESET ? fn_item_count(in->value.nodeset, &only) : 0;
    if (n == 0 && in->kind == XPATH_NODESET) {
        xpath_result_free(in);
        return fn_sequence_result(c, fn_owning_set());
    }
    const quorvel_node* node = n == 1 ? (only->kind == kXpathCarrierNode ? xpath_carrier_referenced_node(only) : only)
                                      : nullptr;
    if (!node || node->kind == kXpathAttributeNode || node->kind == kXpathNamespaceNode) {
        xpath_result_free(in);
        xpath_context_fail_code(c, "XPTY0004", "xml-to-json expects one node");
        return nullptr;
    }
    j_writer w{c, indent, {}, false};
    quorvel_element* root = nullptr;
    bool ok = true;
    if (node->kind == QUORVEL_NODE_DOCUMENT) {
        for (quorvel_node* k = quorvel_node_first_child(node); k && ok; k = quorvel_node_next_sibling(k)) {
            if (k->kind == QUORVEL_NODE_ELEMENT) {
                if (root) ok = w.invalid("a document with more than one element");
                root = reinterpret_cast<quorvel_element*>(k);
            } else if (k->kind == QUORVEL_NODE_TEXT && !j_writer::blank(quorvel_text_node_get_content(k))) {
                ok = w.invalid("text outside the element");
            }
        }
        if (ok && !root) ok = w.invalid("a document without an element");
    } else if (node->kind == QUORVEL_NODE_ELEMENT) {
        root = reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(node));
    } else {
        ok = w.invalid("not an element or document");
    }
    if (ok) ok = w.element(root, false, 0);
    xpath_result_free(in);
    if (!ok) return nullptr;
    char* out = w.out.take();
    if (!out) return oom(c);
    return fn_string_result_take(c, out);
}
