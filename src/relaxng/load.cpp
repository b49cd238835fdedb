// Reading a schema document into a grammar: the pattern reader, grammar
// bodies (start, define, include, div), include overrides, externalRef
// resolution, and the checks and precomputations done once per load.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "relaxng/rng.h"

namespace {

constexpr const char kRngNs[] = "http://relaxng.org/ns/structure/1.0";
constexpr int kMaxNesting = 8;  // includes, and externalRef files, followed in a row

// Writes the one message of a failed step; longer texts are cut at 255
// bytes (nested include messages can run long).
__attribute__((format(printf, 2, 3))) void errf(char* err, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(err, kRngErrorSize, format, ap);
    va_end(ap);
}

struct loader {
    unsigned scope_counter;  // numbers the definition scopes of external grammars
};

// ---- Small readers --------------------------------------------------------------------

bool is_rng_element(quorvel_element* e) {
    const char* uri = quorvel_element_get_namespace_uri(e);
    return uri && std::strcmp(uri, kRngNs) == 0;
}

bool is_rng(quorvel_element* e, const char* local) {
    if (!e || !is_rng_element(e)) return false;
    const char* name = quorvel_element_get_name(e);
    return name && std::strcmp(name, local) == 0;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A copy of the attribute, surrounding white space removed; NULL when the
// attribute is missing (or memory runs out).
char* dup_attr_trimmed(quorvel_element* e, const char* name) {
    const char* v = quorvel_element_attribute(e, name);
    if (!v) return nullptr;
    while (is_space(*v)) v++;
    size_t n = std::strlen(v);
    while (n && is_space(v[n - 1])) n--;
    auto* c = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!c) return nullptr;
    std::memcpy(c, v, n);
    c[n] = '\0';
    return c;
}

char* dup_text(quorvel_element* e) { return rng_strdup(quorvel_element_text(reinterpret_cast<quorvel_node*>(e))); }

quorvel_element* first_child_element(quorvel_element* e) { return rng_first_child_element(e); }
quorvel_element* next_element(quorvel_element* e) { return rng_next_element(e); }

// The namespace in force for e's unprefixed element names: the nearest
// `ns` attribute on e or an ancestor within the schema document.
char* inherited_ns(quorvel_element* e) {
    for (quorvel_element* a = e; a; a = quorvel_element_parent(a)) {
        if (!is_rng_element(a)) continue;
        const char* ns = quorvel_element_attribute(a, "ns");
        if (ns) return rng_strdup(ns);
    }
    return rng_strdup("");
}

// Splits a (possibly prefixed) name into its namespace and local part.
// Element names take the inherited ns when unprefixed, attribute names
// no namespace unless their own `ns` says otherwise.
bool resolve_name(quorvel_element* e, quorvel_rng_pattern* p, bool is_element, char* err) {
    const char* colon = std::strchr(p->name, ':');
    if (colon) {
        size_t prefix_length = static_cast<size_t>(colon - p->name);
        const char* uri = prefix_length == 3 && std::memcmp(p->name, "xml", 3) == 0
                              ? kXmlNamespaceUri
                              : quorvel_element_lookup_namespace_n(e, p->name, prefix_length);
        if (!uri) {
            errf(err, "%s: undeclared prefix in \"%s\"", is_element ? "element" : "attribute",
                          p->name);
            return false;
        }
        char* local = rng_strdup(colon + 1);
        char* ns = rng_strdup(uri);
        if (!local || !ns) {
            quorvel_work_free(local);
            quorvel_work_free(ns);
            errf(err, "out of memory");
            return false;
        }
        quorvel_work_free(p->name);
        p->name = local;
        p->ns = ns;
        return true;
    }
    const char* own = quorvel_element_attribute(e, "ns");
    if (own)
        p->ns = rng_strdup(own);
    else if (is_element)
        p->ns = inherited_ns(e);
    else
        p->ns = rng_strdup("");
    if (!p->ns) {
        errf(err, "out of memory");
        return false;
    }
    return true;
}

constexpr const char* kKnownParams[] = {"pattern",      "minInclusive", "maxInclusive", "minExclusive",
                                        "maxExclusive", "minLength",    "maxLength",    "length"};

quorvel_rng_pattern* parse_pattern(quorvel_element* e, char* err);

// Reads e's pattern children, in order, onto the end of parent's child
// chain; stops at the first failure (message in err).
void parse_children_into(quorvel_element* e, quorvel_rng_pattern* parent, char* err) {
    quorvel_rng_pattern** tail = &parent->first_child;
    while (*tail) tail = &(*tail)->next;
    for (quorvel_element* c = first_child_element(e); c; c = next_element(c)) {
        if (!is_rng_element(c)) continue;
        const char* local = quorvel_element_get_name(c);
        if (!local || !std::strcmp(local, "anyName") || !std::strcmp(local, "nsName") || !std::strcmp(local, "name"))
            continue;
        quorvel_rng_pattern* p = parse_pattern(c, err);
        if (!p) {
            if (!err[0]) errf(err, "out of memory");
            return;
        }
        *tail = p;
        tail = &p->next;
    }
}

bool has_rng_child(quorvel_element* e, const char* local) {
    for (quorvel_element* c = first_child_element(e); c; c = next_element(c))
        if (is_rng(c, local)) return true;
    return false;
}

quorvel_rng_pattern* fail(quorvel_rng_pattern* p, char* err, const char* message) {
    if (message) errf(err, "%s", message);
    rng_pattern_free(p);
    return nullptr;
}

bool check_params(quorvel_rng_pattern* data, char* err) {
    for (quorvel_rng_pattern* c = data->first_child; c; c = c->next) {
        if (c->kind != kRngParam) continue;
        if (!c->name) {
            errf(err, "param: missing @name");
            return false;
        }
        bool known = false;
        for (const char* k : kKnownParams) known = known || std::strcmp(k, c->name) == 0;
        if (!known) {
            errf(err, "invalid parameter: %s", c->name);
            return false;
        }
        if (std::strcmp(c->name, "pattern") == 0) {
            // Compiled once here, used for every value.
            if (c->text && c->text[0]) c->regex = rre_compile(c->text);
            if (!c->regex) {
                errf(err, "pattern: unsupported construct in \"%s\"", c->text ? c->text : "");
                return false;
            }
        }
    }
    return true;
}

quorvel_rng_pattern* parse_pattern(quorvel_element* e, char* err) {
    const char* local = quorvel_element_get_name(e);
    if (!local) local = "";
    struct entry {
        const char* name;
        uint32_t kind;
    };
    static constexpr entry kTable[] = {
        {"element", kRngElement},   {"attribute", kRngAttribute}, {"choice", kRngChoice},
        {"interleave", kRngInterleave}, {"group", kRngGroup},     {"optional", kRngOptional},
        {"zeroOrMore", kRngZeroOrMore}, {"oneOrMore", kRngOneOrMore}, {"list", kRngList},
        {"mixed", kRngMixed},       {"data", kRngData},           {"value", kRngValue},
        {"param", kRngParam},       {"except", kRngExcept},       {"empty", kRngEmpty},
        {"notAllowed", kRngNotAllowed}, {"text", kRngText},       {"ref", kRngRef},
        {"externalRef", kRngExternalRef},
    };
    if (std::strcmp(local, "parentRef") == 0) {
        errf(err, "parentRef: not supported");
        return nullptr;
    }
    const entry* found = nullptr;
    for (const entry& t : kTable)
        if (std::strcmp(t.name, local) == 0) found = &t;
    if (!found) {
        errf(err, "unknown pattern element: %s", local);
        return nullptr;
    }
    quorvel_rng_pattern* p = rng_pattern_new(found->kind);
    if (!p) return fail(nullptr, err, "out of memory");
    switch (found->kind) {
        case kRngElement:
        case kRngAttribute: {
            bool is_element = found->kind == kRngElement;
            p->name = dup_attr_trimmed(e, "name");
            if (p->name) {
                if (!resolve_name(e, p, is_element, err)) return fail(p, err, nullptr);
            } else if (has_rng_child(e, "anyName")) {
                p->any_name = 1;
            } else {
                return fail(p, err, is_element ? "element: missing @name" : "attribute: missing @name");
            }
            parse_children_into(e, p, err);
            break;
        }
        case kRngOptional:
        case kRngZeroOrMore:
        case kRngOneOrMore:
        case kRngMixed: {
            parse_children_into(e, p, err);
            if (err[0]) break;
            // Several children form one group.
            bool failed = false;
            p->first_child = rng_group_of(p->first_child, &failed);
            if (failed) return fail(p, err, "out of memory");
            break;
        }
        case kRngData:
            p->datatype = dup_attr_trimmed(e, "type");
            if (!p->datatype) p->datatype = rng_strdup("string");
            p->datatype_library = dup_attr_trimmed(e, "datatypeLibrary");
            parse_children_into(e, p, err);
            if (!err[0] && !check_params(p, err)) return fail(p, err, nullptr);
            break;
        case kRngValue:
            p->datatype = dup_attr_trimmed(e, "type");
            p->datatype_library = dup_attr_trimmed(e, "datatypeLibrary");
            p->ns = dup_attr_trimmed(e, "ns");
            p->text = dup_text(e);
            if (!p->text) return fail(p, err, "out of memory");
            break;
        case kRngParam:
            p->name = dup_attr_trimmed(e, "name");
            p->text = dup_text(e);
            if (!p->text) return fail(p, err, "out of memory");
            break;
        case kRngEmpty:
        case kRngNotAllowed:
        case kRngText: break;
        case kRngRef:
            p->name = dup_attr_trimmed(e, "name");
            if (!p->name) return fail(p, err, "ref: missing @name");
            break;
        case kRngExternalRef:
            p->name = dup_attr_trimmed(e, "href");
            if (!p->name) return fail(p, err, "externalRef: missing @href");
            // An ns written on the externalRef passes to the referenced
            // pattern; kept in the namespace field until resolution.
            p->ns = dup_attr_trimmed(e, "ns");
            break;
        default: parse_children_into(e, p, err); break;
    }
    if (err[0]) return fail(p, err, nullptr);
    return p;
}

// ---- Files and paths ------------------------------------------------------------------

char* slurp_file(const char* path, size_t* length) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    char* buffer = nullptr;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size >= 0 && std::fseek(f, 0, SEEK_SET) == 0) {
        buffer = static_cast<char*>(quorvel_work_alloc(static_cast<size_t>(size) + 1));
        if (buffer && std::fread(buffer, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
            quorvel_work_free(buffer);
            buffer = nullptr;
        }
    }
    std::fclose(f);
    if (!buffer) return nullptr;
    buffer[size] = '\0';
    *length = static_cast<size_t>(size);
    return buffer;
}

// The folder of a path ("." when it names none, "/" for the root folder).
char* base_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* back = std::strrchr(path, '\\');
    const char* cut = slash > back ? slash : back;
    if (!cut) return rng_strdup(".");
    size_t n = static_cast<size_t>(cut - path);
    if (n == 0) return rng_strdup("/");
    auto* c = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!c) return nullptr;
    std::memcpy(c, path, n);
    c[n] = '\0';
    return c;
}

char* join_path(const char* base, const char* href, bool absolute) {
    if (absolute) return rng_strdup(href);
    size_t a = std::strlen(base), b = std::strlen(href);
    auto* c = static_cast<char*>(quorvel_work_alloc(a + b + 2));
    if (!c) return nullptr;
    std::memcpy(c, base, a);
    c[a] = '/';
    std::memcpy(c + a + 1, href, b + 1);
    return c;
}

// Reads and parses a schema file; the reason of a failure in *what
// ("cannot open" or "not well-formed XML").
quorvel_document* read_schema(const char* path, const char** what) {
    size_t length = 0;
    char* text = slurp_file(path, &length);
    if (!text) {
        *what = "cannot open";
        return nullptr;
    }
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, length, &status);
    quorvel_work_free(text);
    if (!doc) *what = "not well-formed XML";
    return doc;
}

// An ns written on an include or externalRef applies to the referenced
// file's root when that root names none of its own.
bool transfer_ns(quorvel_element* root, const char* ns) {
    if (!ns || quorvel_element_attribute(root, "ns")) return true;
    return quorvel_element_set_attribute(root, "ns", ns) == QUORVEL_OK;
}

// ---- Grammar bodies -------------------------------------------------------------------

int parse_grammar_body(loader& L, quorvel_rng_grammar* g, quorvel_element* e, const char* base, int depth, char* err);
int handle_include(loader& L, quorvel_rng_grammar* g, quorvel_element* inc, const char* base, int depth, char* err);

void add_start(quorvel_rng_grammar* g, quorvel_rng_pattern* group, char* err) {
    if (!group->first_child) {
        rng_pattern_free(group);
        return;
    }
    if (!g->start) {
        g->start = group;
        return;
    }
    quorvel_rng_pattern* choice = rng_pattern_new(kRngChoice);
    if (!choice) {
        rng_pattern_free(group);
        errf(err, "out of memory");
        return;
    }
    choice->first_child = g->start;
    g->start->next = group->first_child;
    group->first_child = nullptr;
    rng_pattern_free(group);
    g->start = choice;
}

// The RELAX NG children of c as one group pattern; NULL with err set when
// they cannot be read.
quorvel_rng_pattern* parse_group_of(quorvel_element* c, char* err) {
    quorvel_rng_pattern* group = rng_pattern_new(kRngGroup);
    if (!group) {
        errf(err, "out of memory");
        return nullptr;
    }
    parse_children_into(c, group, err);
    if (err[0]) {
        rng_pattern_free(group);
        return nullptr;
    }
    return group;
}

// The same children as a sibling chain, NULL for none: err tells a failure.
quorvel_rng_pattern* parse_chain_of(quorvel_element* c, char* err) {
    quorvel_rng_pattern* group = parse_group_of(c, err);
    if (!group) return nullptr;
    quorvel_rng_pattern* chain = group->first_child;
    group->first_child = nullptr;
    rng_pattern_free(group);
    return chain;
}

int read_define(quorvel_rng_grammar* g, quorvel_element* c, char* err) {
    char* name = dup_attr_trimmed(c, "name");
    if (!name) {
        errf(err, "define: missing @name");
        return 0;
    }
    char* combine = dup_attr_trimmed(c, "combine");
    quorvel_rng_pattern* chain = parse_chain_of(c, err);
    if (err[0]) {
        quorvel_work_free(name);
        quorvel_work_free(combine);
        return 0;
    }
    return rng_add_define(g, name, combine, chain, err);
}

int parse_grammar_items(loader& L, quorvel_rng_grammar* g, quorvel_element* e, const char* base, int depth,
                        char* err) {
    for (quorvel_element* c = first_child_element(e); c; c = next_element(c)) {
        if (!is_rng_element(c)) continue;
        if (is_rng(c, "start")) {
            quorvel_rng_pattern* group = parse_group_of(c, err);
            if (!group) return 0;
            add_start(g, group, err);
            if (err[0]) return 0;
        } else if (is_rng(c, "define")) {
            if (!read_define(g, c, err)) return 0;
        } else if (is_rng(c, "include")) {
            if (!handle_include(L, g, c, base, depth, err)) return 0;
        } else if (is_rng(c, "div")) {
            // A div only groups: its content belongs to the grammar.
            if (!parse_grammar_items(L, g, c, base, depth, err)) return 0;
        }
    }
    return 1;
}

int parse_grammar_body(loader& L, quorvel_rng_grammar* g, quorvel_element* e, const char* base, int depth,
                       char* err) {
    if (!g->ns) g->ns = dup_attr_trimmed(e, "ns");
    if (!g->datatype_library) g->datatype_library = dup_attr_trimmed(e, "datatypeLibrary");
    return parse_grammar_items(L, g, e, base, depth, err);
}

// Applies the override children of an include (div transparent).
int apply_overrides(quorvel_rng_grammar* inc, quorvel_element* e, const char* href, char* err) {
    for (quorvel_element* c = first_child_element(e); c; c = next_element(c)) {
        if (!is_rng_element(c)) continue;
        const char* local = quorvel_element_get_name(c);
        if (is_rng(c, "div")) {
            if (!apply_overrides(inc, c, href, err)) return 0;
        } else if (is_rng(c, "start")) {
            if (!inc->start) {
                errf(err, "include %s: \"start\" does not override anything", href);
                return 0;
            }
            quorvel_rng_pattern* group = parse_group_of(c, err);
            if (!group) return 0;
            rng_pattern_free(inc->start);
            inc->start = group;
        } else if (is_rng(c, "define")) {
            char* name = dup_attr_trimmed(c, "name");
            if (!name) {
                errf(err, "include %s: define missing @name", href);
                return 0;
            }
            quorvel_rng_define* d = rng_lookup(inc, name);
            if (!d) {
                errf(err, "include %s: define \"%s\" does not override anything", href, name);
                quorvel_work_free(name);
                return 0;
            }
            quorvel_rng_pattern* chain = parse_chain_of(c, err);
            if (err[0]) {
                quorvel_work_free(name);
                return 0;
            }
            // The override replaces the included definition; its own
            // combine then governs the merge with the including grammar.
            quorvel_work_free(name);
            bool failed = false;
            chain = rng_group_of(chain, &failed);
            if (failed) {
                errf(err, "out of memory");
                return 0;
            }
            rng_pattern_free(d->pattern);
            d->pattern = chain;
            quorvel_work_free(d->combine);
            d->combine = dup_attr_trimmed(c, "combine");
        } else {
            errf(err, "include %s: unexpected <%s>", href, local ? local : "");
            return 0;
        }
    }
    return 1;
}

int handle_include(loader& L, quorvel_rng_grammar* g, quorvel_element* e, const char* base, int depth, char* err) {
    char* href = dup_attr_trimmed(e, "href");
    if (!href || !href[0]) {
        quorvel_work_free(href);
        errf(err, "include: missing @href");
        return 0;
    }
    int ok = 0;
    quorvel_rng_grammar* inc = nullptr;
    char* path = nullptr;
    char* inner_base = nullptr;
    quorvel_document* doc = nullptr;
    quorvel_element* root = nullptr;
    const char* what = nullptr;
    char inner[kRngErrorSize] = "";
    if (!base) {
        errf(err, "include %s: no base URI (use quorvel_rng_parse_file)", href);
        goto done;
    }
    if (depth >= kMaxNesting) {
        errf(err, "include %s: too deep (cycle?)", href);
        goto done;
    }
    path = join_path(base, href, href[0] == '/');
    if (!path) {
        errf(err, "out of memory");
        goto done;
    }
    doc = read_schema(path, &what);
    if (!doc) {
        errf(err, "include %s: %s", href, what);
        goto done;
    }
    root = quorvel_document_root(doc);
    if (!is_rng(root, "grammar")) {
        errf(err, "include %s: root is not a RELAX NG grammar", href);
        goto done;
    }
    if (!transfer_ns(root, quorvel_element_attribute(e, "ns"))) {
        errf(err, "out of memory");
        goto done;
    }
    inc = static_cast<quorvel_rng_grammar*>(quorvel_work_calloc(sizeof(quorvel_rng_grammar)));
    inner_base = base_of(path);
    if (!inc || !inner_base) {
        errf(err, "out of memory");
        goto done;
    }
    if (!parse_grammar_body(L, inc, root, inner_base, depth + 1, inner)) {
        errf(err, "include %s: %s", href, inner[0] ? inner : "grammar parse failed");
        goto done;
    }
    if (!apply_overrides(inc, e, href, err)) goto done;
    // Merge: start, then every definition.
    if (inc->start) {
        if (!g->start) {
            g->start = inc->start;
        } else {
            quorvel_rng_pattern* choice = rng_pattern_new(kRngChoice);
            if (!choice) {
                errf(err, "out of memory");
                goto done;
            }
            choice->first_child = g->start;
            g->start->next = inc->start->first_child;
            inc->start->first_child = nullptr;
            rng_pattern_free(inc->start);
            g->start = choice;
        }
        inc->start = nullptr;
    }
    while (inc->defines) {
        quorvel_rng_define* d = inc->defines;
        inc->defines = d->next;
        char* name = d->name;
        char* combine = d->combine;
        quorvel_rng_pattern* chain = d->pattern;
        quorvel_work_free(d);
        if (!rng_add_define(g, name, combine, chain, err)) goto done;
    }
    if (!g->ns && inc->ns) {
        g->ns = inc->ns;
        inc->ns = nullptr;
    }
    if (!g->datatype_library && inc->datatype_library) {
        g->datatype_library = inc->datatype_library;
        inc->datatype_library = nullptr;
    }
    ok = 1;
done:
    rng_grammar_free(inc);
    if (doc) quorvel_document_free(doc);
    quorvel_work_free(path);
    quorvel_work_free(inner_base);
    quorvel_work_free(href);
    return ok;
}

// ---- externalRef ------------------------------------------------------------------------

quorvel_rng* parse_doc(loader& L, quorvel_document* doc, const char* base, int depth);
int resolve_external_refs(loader& L, quorvel_rng_grammar* g, quorvel_rng_pattern** slot, const char* base, int depth,
                          char* err);

// Gives every definition name and ref of an external grammar its own
// prefix, so that its names never meet the including grammar's.
bool scope_chain(quorvel_rng_pattern* chain, const char* prefix, size_t n) {
    for (quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind == kRngRef && p->name) {
            size_t m = std::strlen(p->name);
            auto* c = static_cast<char*>(quorvel_work_alloc(n + m + 1));
            if (!c) return false;
            std::memcpy(c, prefix, n);
            std::memcpy(c + n, p->name, m + 1);
            quorvel_work_free(p->name);
            p->name = c;
        }
        if (p->first_child && !scope_chain(p->first_child, prefix, n)) return false;
    }
    return true;
}

bool scope_grammar(quorvel_rng_grammar* g, unsigned scope) {
    char prefix[24];
    int n = std::snprintf(prefix, sizeof prefix, "\x01%u\x01", scope);
    if (!scope_chain(g->start, prefix, static_cast<size_t>(n))) return false;
    for (quorvel_rng_define* d = g->defines; d; d = d->next) {
        size_t m = std::strlen(d->name);
        auto* c = static_cast<char*>(quorvel_work_alloc(static_cast<size_t>(n) + m + 1));
        if (!c) return false;
        std::memcpy(c, prefix, static_cast<size_t>(n));
        std::memcpy(c + n, d->name, m + 1);
        quorvel_work_free(d->name);
        d->name = c;
        if (!scope_chain(d->pattern, prefix, static_cast<size_t>(n))) return false;
    }
    return true;
}

// Replaces the externalRef at *slot by the referenced file's pattern.
int load_external(loader& L, quorvel_rng_grammar* g, quorvel_rng_pattern** slot, const char* base, int depth,
                  char* err) {
    quorvel_rng_pattern* ref = *slot;
    const char* href = ref->name;
    if (!base) {
        errf(err, "externalRef %s: no base URI (use quorvel_rng_parse_file)", href);
        return 0;
    }
    if (depth >= kMaxNesting) {
        errf(err, "externalRef %s: too deep (cycle?)", href);
        return 0;
    }
    bool absolute = href[0] == '/' || href[0] == '\\' || (href[0] && href[1] == ':');
    char* path = join_path(base, href, absolute);
    if (!path) {
        errf(err, "out of memory");
        return 0;
    }
    const char* what = nullptr;
    quorvel_document* doc = read_schema(path, &what);
    if (!doc) {
        errf(err, "externalRef %s: %s", href, what);
        quorvel_work_free(path);
        return 0;
    }
    char* inner_base = base_of(path);
    quorvel_work_free(path);
    quorvel_element* root = quorvel_document_root(doc);
    quorvel_rng* h = inner_base && (!root || transfer_ns(root, ref->ns)) ? parse_doc(L, doc, inner_base, depth + 1)
                                                                        : nullptr;
    quorvel_work_free(inner_base);
    quorvel_document_free(doc);
    int ok = 0;
    if (!h) {
        errf(err, "externalRef %s: %s", href, "grammar parse failed");
    } else if (h->message) {
        errf(err, "externalRef %s: %s", href, h->message);
    } else if (!h->grammar->start) {
        errf(err, "externalRef %s: grammar has no start", href);
    } else if (!scope_grammar(h->grammar, ++L.scope_counter)) {
        errf(err, "out of memory");
    } else {
        quorvel_rng_grammar* x = h->grammar;
        // Its definitions join the list under their scoped names.
        quorvel_rng_define** tail = &g->defines;
        while (*tail) tail = &(*tail)->next;
        *tail = x->defines;
        x->defines = nullptr;
        bool failed = false;
        quorvel_rng_pattern* start = rng_group_of(x->start, &failed);
        x->start = nullptr;
        if (failed) {
            errf(err, "out of memory");
        } else {
            start->next = ref->next;
            ref->next = nullptr;
            rng_pattern_free(ref);
            *slot = start;
            ok = 1;
        }
    }
    rng_handle_free(h);
    return ok;
}

int resolve_external_refs(loader& L, quorvel_rng_grammar* g, quorvel_rng_pattern** slot, const char* base, int depth,
                          char* err) {
    for (; *slot; slot = &(*slot)->next) {
        if ((*slot)->kind == kRngExternalRef && !load_external(L, g, slot, base, depth, err)) return 0;
        // A replacement has been resolved already, inside its own file.
        if ((*slot)->kind != kRngExternalRef && (*slot)->first_child &&
            !resolve_external_refs(L, g, &(*slot)->first_child, base, depth, err))
            return 0;
    }
    return 1;
}

// ---- After loading --------------------------------------------------------------------

void link_refs(const quorvel_rng_grammar* g, quorvel_rng_pattern* chain) {
    for (quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind == kRngRef) {
            quorvel_rng_define* d = rng_lookup(g, p->name);
            p->target = d && d->pattern ? d : nullptr;
        }
        link_refs(g, p->first_child);
    }
}

// The refs reached from a chain without entering an element pattern.
template <typename F>
void refs_outside_elements(const quorvel_rng_pattern* chain, F&& visit) {
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind == kRngElement) continue;
        if (p->kind == kRngRef) {
            if (p->target) visit(p->target);
            continue;
        }
        refs_outside_elements(p->first_child, visit);
    }
}

// A definition that reaches itself through refs outside any element would
// make every walker loop: such grammars are refused. Definitions that can
// reach no cycle are peeled off (those all of whose refs lead to peeled
// ones), and any left over lies on or before a cycle; following refs
// among those finds a definition on one.
const quorvel_rng_define* find_ref_cycle(quorvel_rng_grammar* g) {
    for (quorvel_rng_define* d = g->defines; d; d = d->next) d->mark = 0;  // 0 unresolved, 1 peeled
    bool progress = true;
    while (progress) {
        progress = false;
        for (quorvel_rng_define* d = g->defines; d; d = d->next) {
            if (d->mark) continue;
            bool all_peeled = true;
            refs_outside_elements(d->pattern, [&](quorvel_rng_define* t) { all_peeled = all_peeled && t->mark == 1; });
            if (all_peeled) {
                d->mark = 1;
                progress = true;
            }
        }
    }
    quorvel_rng_define* at = nullptr;
    for (quorvel_rng_define* d = g->defines; d && !at; d = d->next)
        if (!d->mark) at = d;
    if (!at) return nullptr;
    // Walk unpeeled successors, marking the steps, until one repeats.
    for (;;) {
        at->mark = 2;
        quorvel_rng_define* next = nullptr;
        refs_outside_elements(at->pattern, [&](quorvel_rng_define* t) {
            if (!next && t->mark != 1) next = t;
        });
        if (!next || next->mark == 2) return next ? next : at;
        at = next;
    }
}

bool chain_has_elements(const quorvel_rng_pattern* chain, int depth);
bool chain_allows_text(const quorvel_rng_pattern* chain, int depth);

bool define_has_elements(quorvel_rng_define* d, int depth) {
    if (!d->has_elements) d->has_elements = chain_has_elements(d->pattern, depth + 1) ? 2 : 1;
    return d->has_elements == 2;
}

bool chain_has_elements(const quorvel_rng_pattern* chain, int depth) {
    if (depth > 400) return true;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        switch (p->kind) {
            case kRngElement: return true;
            case kRngAttribute:
            case kRngList:
            case kRngData:
            case kRngValue: break;
            case kRngRef:
                if (p->target && define_has_elements(p->target, depth)) return true;
                break;
            default:
                if (chain_has_elements(p->first_child, depth + 1)) return true;
                break;
        }
    }
    return false;
}

bool define_allows_text(quorvel_rng_define* d, int depth) {
    if (!d->allows_text) d->allows_text = chain_allows_text(d->pattern, depth + 1) ? 2 : 1;
    return d->allows_text == 2;
}

bool chain_allows_text(const quorvel_rng_pattern* chain, int depth) {
    if (depth > 400) return true;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        switch (p->kind) {
            case kRngText:
            case kRngList:
            case kRngMixed:
            case kRngData:
            case kRngValue: return true;
            case kRngChoice:
            case kRngInterleave:
            case kRngGroup:
            case kRngOptional:
            case kRngZeroOrMore:
            case kRngOneOrMore:
                if (chain_allows_text(p->first_child, depth + 1)) return true;
                break;
            case kRngRef:
                if (p->target && define_allows_text(p->target, depth)) return true;
                break;
            default: break;
        }
    }
    return false;
}

void set_forms(quorvel_rng_pattern* chain) {
    for (quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind == kRngElement) {
            if (p->name) p->name_hash = quorvel_name_hash16(p->name, std::strlen(p->name));
            p->form = chain_has_elements(p->first_child, 0) ? kFormElement : kFormText;
            p->allows_text = chain_allows_text(p->first_child, 0) ? 1 : 0;
        }
        set_forms(p->first_child);
    }
}

// Refs linked, cycles refused, content forms worked out. 0 with a message.
int finish_grammar(quorvel_rng_grammar* g, char* err) {
    link_refs(g, g->start);
    for (quorvel_rng_define* d = g->defines; d; d = d->next) link_refs(g, d->pattern);
    if (const quorvel_rng_define* c = find_ref_cycle(g)) {
        errf(err, "define %s: refers to itself outside an element", rng_display_name(c->name));
        return 0;
    }
    for (quorvel_rng_define* d = g->defines; d; d = d->next) d->mark = 0;
    set_forms(g->start);
    for (quorvel_rng_define* d = g->defines; d; d = d->next) set_forms(d->pattern);
    return 1;
}

quorvel_rng* parse_doc(loader& L, quorvel_document* doc, const char* base, int depth) {
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) return nullptr;
    auto* h = static_cast<quorvel_rng*>(quorvel_work_calloc(sizeof(quorvel_rng)));
    if (!h) return nullptr;
    h->grammar = static_cast<quorvel_rng_grammar*>(quorvel_work_calloc(sizeof(quorvel_rng_grammar)));
    if (!h->grammar) {
        quorvel_work_free(h);
        return nullptr;
    }
    quorvel_rng_grammar* g = h->grammar;
    char err[kRngErrorSize] = "";
    if (is_rng(root, "element")) {
        quorvel_rng_pattern* p = parse_pattern(root, err);
        if (!p || err[0]) {
            rng_pattern_free(p);
            h->message = rng_strdup(err[0] ? err : "out of memory");
            return h;
        }
        g->start = p;
        if (!resolve_external_refs(L, g, &g->start, base, depth, err)) {
            h->message = rng_strdup(err[0] ? err : "externalRef failed");
            return h;
        }
    } else if (is_rng(root, "grammar")) {
        if (!parse_grammar_body(L, g, root, base, 0, err)) {
            h->message = rng_strdup(err[0] ? err : "grammar parse failed");
            return h;
        }
        if (g->start && !resolve_external_refs(L, g, &g->start, base, depth, err)) {
            h->message = rng_strdup(err[0] ? err : "externalRef failed");
            return h;
        }
        for (quorvel_rng_define* d = g->defines; d; d = d->next)
            if (!resolve_external_refs(L, g, &d->pattern, base, depth, err)) {
                h->message = rng_strdup(err[0] ? err : "externalRef failed");
                return h;
            }
        if (!g->start) {
            h->message = rng_strdup("grammar: no <start>");
            return h;
        }
    } else {
        h->message = rng_strdup("root element is not in the RELAX NG namespace");
        return h;
    }
    if (depth == 0 && !finish_grammar(g, err)) h->message = rng_strdup(err);
    return h;
}

}  // namespace

void rng_handle_free(quorvel_rng* h) {
    if (!h) return;
    quorvel_work_free(h->report);
    rng_grammar_free(h->grammar);
    quorvel_work_free(h->message);
    for (int32_t i = 0; i < h->diag_count; i++) std::free(h->diags[i].element);
    std::free(h->diags);
    quorvel_work_free(h);
}

quorvel_rng* rng_parse_doc(quorvel_document* doc, const char* base) {
    loader L{0};
    return parse_doc(L, doc, base, 0);
}

quorvel_rng* rng_parse_file_path(const char* path) {
    size_t length = 0;
    char* text = slurp_file(path, &length);
    if (!text) {
        quorvel_set_last_errorf("cannot open schema file '%s'", path);
        return nullptr;
    }
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, length, &status);
    quorvel_work_free(text);
    if (!doc) {
        quorvel_set_last_error("schema file is not well-formed XML");
        return nullptr;
    }
    char* base = base_of(path);
    quorvel_rng* h = base ? rng_parse_doc(doc, base) : nullptr;
    quorvel_work_free(base);
    quorvel_document_free(doc);
    return h;
}
