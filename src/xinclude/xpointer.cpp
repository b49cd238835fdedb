// Pointer selection: the parts of a pointer (element(), xmlns(),
// xpointer() and shorthand names) evaluated in turn until one selects an
// element of the included document.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "dtd/dtd.h"
#include "xinclude/xinclude.h"
#include "xpath/xpath.h"
#include "xpath/xpath_services.h"

namespace xinclude {

namespace {

constexpr size_t kMaxParts = 8;

struct part {
    const char* name;
    size_t name_length;
    const char* body;
    size_t body_length;
    bool parens;
};

bool blank(char c) { return c == ' ' || c == '\t'; }

bool equals(const char* s, size_t n, const char* word) { return std::strlen(word) == n && !std::memcmp(s, word, n); }

// Reads the parts; false when the pointer is malformed (a part without a
// name, parentheses that do not close). Parts after the first kMaxParts are
// read past.
bool read_parts(const char* p, size_t n, part* parts, size_t* count) {
    *count = 0;
    size_t i = 0;
    for (;;) {
        while (i < n && blank(p[i])) i++;
        if (i >= n) return true;
        size_t start = i;
        while (i < n && !blank(p[i]) && p[i] != '(') i++;
        part x{p + start, i - start, nullptr, 0, false};
        if (i < n && p[i] == '(') {
            if (x.name_length == 0) return false;
            size_t depth = 1;
            size_t body = ++i;
            while (i < n && depth) {
                if (p[i] == '(') depth++;
                else if (p[i] == ')') depth--;
                i++;
            }
            if (depth) return false;
            x.body = p + body;
            x.body_length = i - 1 - body;
            x.parens = true;
        }
        if (*count < kMaxParts) parts[*count] = x;
        (*count)++;
    }
}

// Function names the pointer expressions may not call: those that read
// documents, resources or the environment.
constexpr const char* kRefused[] = {
    "doc", "doc-available", "document", "collection", "uri-collection", "unparsed-text",
    "unparsed-text-lines", "unparsed-text-available", "unparsed-entity-uri", "unparsed-entity-public-id",
    "environment-variable", "available-environment-variables", "json-doc", "transform", "load-xquery-module",
    "system-property", "static-base-uri", "base-uri", "document-uri",
};

bool refused_function(const char* name) {
    if (!name) return true;
    const char* local = name;
    for (const char* p = name; *p; p++)
        if (*p == ':' || *p == '}') local = p + 1;
    for (const char* r : kRefused)
        if (!std::strcmp(local, r)) return true;
    return false;
}

// A copy of the context's registry without the refused functions; NULL when
// memory runs out.
quorvel_xpath_function_registry* confined_registry(const quorvel_xpath_function_registry* from) {
    auto* r = static_cast<quorvel_xpath_function_registry*>(std::calloc(1, sizeof(quorvel_xpath_function_registry)));
    if (!r) return nullptr;
    size_t count = from ? from->count : 0;
    if (count) {
        r->entries = std::malloc(count * sizeof(quorvel_xpath_registry_entry));
        if (!r->entries) {
            std::free(r);
            return nullptr;
        }
        r->capacity = count;
        auto* in = static_cast<const quorvel_xpath_registry_entry*>(from->entries);
        auto* out = static_cast<quorvel_xpath_registry_entry*>(r->entries);
        for (size_t i = 0; i < count; i++)
            if (!refused_function(in[i].name)) out[r->count++] = in[i];
    }
    return r;
}

// Evaluates expression on doc (the document node as context) and answers
// its first item when that is an element of doc.
quorvel_element* evaluate(quorvel_document* doc, const char* expression, size_t length, quorvel_xpath_ns_set* ns) {
    char* text = static_cast<char*>(quorvel_work_alloc(length + 1));
    if (!text) return nullptr;
    std::memcpy(text, expression, length);
    text[length] = '\0';
    quorvel_xpath_compiled* compiled = quorvel_xpath_compile(text);
    quorvel_work_free(text);
    if (!compiled) return nullptr;
    quorvel_element* selected = nullptr;
    quorvel_node* start = xpath_document_node(doc);
    if (start && compiled->tree && compiled->tree->root) {
        quorvel_xpath_context context;
        xpath_context_init(&context, doc, start);
        quorvel_xpath_function_registry* confined = confined_registry(context.registry);
        if (confined) {
            if (!context.registry_borrowed) xpath_function_registry_free(context.registry);
            context.registry = confined;
            context.registry_borrowed = 0;
            context.namespaces = ns;
            quorvel_xpath_result* result = evaluate_expr(&context, compiled->tree->root);
            quorvel_element* first = quorvel_xpath_result_get(result, 0);
            // Only an element of the included document itself: anything an
            // expression made or found elsewhere goes with the evaluation.
            if (first && quorvel_element_get_document(first) == doc) selected = first;
            quorvel_xpath_result_free(result);
        }
        xpath_context_cleanup(&context);
    }
    quorvel_xpath_compiled_free(compiled);
    return selected;
}

bool is_id_attribute(quorvel_dtd* dtd, quorvel_element* element, quorvel_attribute* attribute) {
    const char* name = quorvel_attribute_get_name(attribute);
    if (!std::strcmp(name, "xml:id")) return true;
    if (!dtd || !dtd->attribute_decl_count) return false;
    const char* local = quorvel_element_name(element);
    const char* prefix = quorvel_element_prefix(element);
    quorvel_dtd_attribute_decl* decl;
    if (prefix && prefix[0]) {
        size_t pn = std::strlen(prefix), ln = std::strlen(local);
        char small[128];
        char* qname = pn + ln + 2 <= sizeof small ? small : static_cast<char*>(quorvel_work_alloc(pn + ln + 2));
        if (!qname) return false;
        std::memcpy(qname, prefix, pn);
        qname[pn] = ':';
        std::memcpy(qname + pn + 1, local, ln + 1);
        decl = ttdtd_lookup_attribute(dtd, qname, name);
        if (qname != small) quorvel_work_free(qname);
    } else {
        decl = ttdtd_lookup_attribute(dtd, local, name);
    }
    return decl && decl->type && !std::strcmp(decl->type, "ID");
}

// True when value, less surrounding white space, is name.
bool id_value_is(const char* value, const char* name, size_t length) {
    while (*value == ' ' || *value == '\t' || *value == '\n' || *value == '\r') value++;
    size_t n = std::strlen(value);
    while (n && (value[n - 1] == ' ' || value[n - 1] == '\t' || value[n - 1] == '\n' || value[n - 1] == '\r')) n--;
    return n == length && !std::memcmp(value, name, length);
}

// n-th (from 1) child element, NULL when there is none.
quorvel_element* nth_child(quorvel_element* e, unsigned long n) {
    for (quorvel_element* c = quorvel_element_first_child_any(e); c; c = quorvel_element_next_sibling_any(c))
        if (--n == 0) return c;
    return nullptr;
}

quorvel_element* element_scheme(quorvel_document* doc, const char* body, size_t length) {
    const char* slash = static_cast<const char*>(std::memchr(body, '/', length));
    size_t name_length = slash ? static_cast<size_t>(slash - body) : length;
    quorvel_element* at;
    if (name_length) {
        at = find_by_id(doc, body, name_length);
    } else {
        // A child sequence from the top must start at the root element.
        if (length < 2 || body[1] != '1' || (length > 2 && body[2] != '/')) return nullptr;
        at = quorvel_document_root(doc);
        name_length = 2;
    }
    size_t i = name_length;
    while (at && i < length) {
        if (body[i] != '/') return nullptr;
        i++;
        unsigned long n = 0;
        size_t digits = 0;
        while (i < length && body[i] >= '0' && body[i] <= '9') {
            if (n > 100000000UL) return nullptr;
            n = n * 10 + static_cast<unsigned long>(body[i] - '0');
            i++;
            digits++;
        }
        if (!digits || n == 0) return nullptr;
        at = nth_child(at, n);
    }
    return at;
}

bool needs_xpath(const char* name, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (std::strchr(" \"'()*./:=@[]", name[i])) return true;
    return false;
}

char* trimmed_copy(const char* s, size_t n) {
    while (n && blank(*s)) s++, n--;
    while (n && blank(s[n - 1])) n--;
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!out) return nullptr;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

}  // namespace

quorvel_element* find_by_id(quorvel_document* doc, const char* name, size_t length) {
    // A name holding an apostrophe or white space is no ID.
    if (!length) return nullptr;
    for (size_t i = 0; i < length; i++)
        if (name[i] == '\'' || name[i] == '"' || blank(name[i]) || name[i] == '\n' || name[i] == '\r' || !name[i])
            return nullptr;
    quorvel_element* root = quorvel_document_root(doc);
    quorvel_dtd* dtd = doc->dtd;
    for (quorvel_element* e = root; e;) {
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            if (is_id_attribute(dtd, e, a) && id_value_is(quorvel_attribute_get_value(e, a), name, length)) return e;
        }
        if (quorvel_element* c = quorvel_element_first_child_any(e)) {
            e = c;
            continue;
        }
        while (e && e != root) {
            if (quorvel_element* s = quorvel_element_next_sibling_any(e)) {
                e = s;
                break;
            }
            e = quorvel_element_parent(e);
        }
        if (e == root) break;
    }
    return nullptr;
}

quorvel_element* xpointer_select(quorvel_document* doc, const char* pointer, size_t length) {
    if (!doc || !pointer) return nullptr;
    part parts[kMaxParts];
    size_t count = 0;
    if (!read_parts(pointer, length, parts, &count)) return nullptr;
    if (count > kMaxParts) count = kMaxParts;
    quorvel_xpath_ns_set* ns = nullptr;
    quorvel_element* selected = nullptr;
    for (size_t i = 0; i < count && !selected; i++) {
        const part& x = parts[i];
        if (!x.parens) {
            selected = needs_xpath(x.name, x.name_length) ? evaluate(doc, x.name, x.name_length, ns)
                                                          : find_by_id(doc, x.name, x.name_length);
        } else if (equals(x.name, x.name_length, "xmlns")) {
            char* binding = trimmed_copy(x.body, x.body_length);
            if (!binding) continue;
            char* eq = std::strchr(binding, '=');
            if (eq) {
                *eq = '\0';
                char* prefix = trimmed_copy(binding, std::strlen(binding));
                char* uri = trimmed_copy(eq + 1, std::strlen(eq + 1));
                if (prefix && uri && prefix[0]) {
                    if (!ns) ns = quorvel_xpath_ns_set_new();
                    if (ns) quorvel_xpath_ns_set_add(ns, prefix, uri);
                }
                quorvel_work_free(prefix);
                quorvel_work_free(uri);
            }
            quorvel_work_free(binding);
        } else if (equals(x.name, x.name_length, "xpointer")) {
            selected = evaluate(doc, x.body, x.body_length, ns);
        } else if (equals(x.name, x.name_length, "element")) {
            selected = element_scheme(doc, x.body, x.body_length);
        }
    }
    quorvel_xpath_ns_set_free(ns);
    return selected;
}

}  // namespace xinclude
