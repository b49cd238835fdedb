// The diagnosis that runs after a failed quiet match: it walks the
// document again and records, per problem, what was found and what was
// expected. Child elements are stepped through a residual state (the
// patterns that may still come, as a persistent list of cells); cells and
// residual nodes come from blocks freed together at the end of the
// validation, so states share their tails freely.
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "relaxng/rng.h"

struct rng_residual_block {
    rng_residual_block* next;
    size_t used;
    size_t capacity;
    // data follows, 16-aligned
};

namespace {

struct cell {
    const quorvel_rng_pattern* pattern;
    const cell* rest;
};

constexpr int kMaxNames = 31;
constexpr int kMaxRequired = 8;
constexpr int kMaxValues = 24;

void* res_alloc(rng_validation* v, size_t n) {
    n = (n + 15) & ~size_t(15);
    rng_residual_block* b = v->residuals;
    if (!b || b->capacity - b->used < n) {
        size_t capacity = n > 16384 ? n : 16384;
        auto* fresh = static_cast<rng_residual_block*>(quorvel_work_alloc(sizeof(rng_residual_block) + 16 + capacity));
        if (!fresh) return nullptr;
        fresh->next = b;
        fresh->used = 0;
        fresh->capacity = capacity;
        v->residuals = fresh;
        b = fresh;
    }
    char* base = reinterpret_cast<char*>(b + 1);
    base += (16 - reinterpret_cast<uintptr_t>(base) % 16) % 16;
    void* out = base + b->used;
    b->used += n;
    return out;
}

const cell* new_cell(rng_validation* v, const quorvel_rng_pattern* p, const cell* rest) {
    auto* c = static_cast<cell*>(res_alloc(v, sizeof(cell)));
    if (!c) return nullptr;
    c->pattern = p;
    c->rest = rest;
    return c;
}

// A residual node: a copy of p's fields with its own sibling link.
quorvel_rng_pattern* residual_node(rng_validation* v, uint32_t kind, const quorvel_rng_pattern* like) {
    auto* r = static_cast<quorvel_rng_pattern*>(res_alloc(v, sizeof(quorvel_rng_pattern)));
    if (!r) return nullptr;
    if (like)
        *r = *like;
    else
        std::memset(r, 0, sizeof *r);
    r->kind = kind;
    r->next = nullptr;
    return r;
}

// Cells for the patterns of a chain (attributes left out), before rest.
const cell* chain_state(rng_validation* v, const quorvel_rng_pattern* chain, const cell* rest) {
    size_t n = 0;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) n++;
    if (!n) return rest;
    auto* items = static_cast<const quorvel_rng_pattern**>(res_alloc(v, n * sizeof(void*)));
    if (!items) return nullptr;
    n = 0;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) items[n++] = p;
    const cell* out = rest;
    for (size_t k = n; k-- > 0;) {
        if (items[k]->kind == kRngAttribute) continue;
        out = new_cell(v, items[k], out);
        if (!out) return nullptr;
    }
    return out;
}

// A copy of state a's cells, then b.
const cell* append_state(rng_validation* v, const cell* a, const cell* b) {
    if (!a) return b;
    size_t n = 0;
    for (const cell* c = a; c; c = c->rest) n++;
    auto* items = static_cast<const quorvel_rng_pattern**>(res_alloc(v, n * sizeof(void*)));
    if (!items) return nullptr;
    n = 0;
    for (const cell* c = a; c; c = c->rest) items[n++] = c->pattern;
    const cell* out = b;
    for (size_t k = n; k-- > 0;) {
        out = new_cell(v, items[k], out);
        if (!out) return nullptr;
    }
    return out;
}

bool nullable_item(rng_validation* v, const quorvel_rng_pattern* p, int depth = 0);

bool nullable_chain(rng_validation* v, const quorvel_rng_pattern* chain, int depth) {
    for (const quorvel_rng_pattern* c = chain; c; c = c->next)
        if (!nullable_item(v, c, depth + 1)) return false;
    return true;
}

bool nullable_item(rng_validation* v, const quorvel_rng_pattern* p, int depth) {
    if (depth > 200) return false;
    p = rng_resolve(p);
    if (!p) return false;
    switch (p->kind) {
        case kRngChoice:
            for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
                if (nullable_item(v, c, depth + 1)) return true;
            return false;
        case kRngInterleave:
        case kRngGroup: return nullable_chain(v, p->first_child, depth);
        case kRngOneOrMore: return nullable_chain(v, p->first_child, depth);
        case kRngEmpty:
        case kRngText:
        case kRngAttribute:
        case kRngOptional:
        case kRngZeroOrMore:
        case kRngList:
        case kRngMixed: return true;
        default: return false;
    }
}

bool state_nullable(rng_validation* v, const cell* s) {
    for (; s; s = s->rest)
        if (!nullable_item(v, s->pattern)) return false;
    return true;
}

const cell* d_state(rng_validation* v, const cell* state, quorvel_element* e, bool* accepted, int depth = 0);

const cell* d_one(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e, bool* accepted, int depth) {
    const cell* s = new_cell(v, p, nullptr);
    if (!s) {
        *accepted = false;
        return nullptr;
    }
    return d_state(v, s, e, accepted, depth + 1);
}

const cell* d_state(rng_validation* v, const cell* state, quorvel_element* e, bool* accepted, int depth) {
    *accepted = false;
    if (depth > 200) return nullptr;
    for (const cell* c = state; c; c = c->rest) {
        const quorvel_rng_pattern* p = rng_resolve(c->pattern);
        if (!p) return nullptr;
        bool acc = false;
        const cell* r = nullptr;
        switch (p->kind) {
            case kRngElement:
                if (rng_names_match(p, e)) {
                    *accepted = true;
                    return c->rest;
                }
                break;
            case kRngAttribute: continue;
            case kRngChoice:
                for (const quorvel_rng_pattern* a = p->first_child; a; a = a->next) {
                    r = d_one(v, a, e, &acc, depth);
                    if (acc) {
                        *accepted = true;
                        return append_state(v, r, c->rest);
                    }
                }
                break;
            case kRngInterleave: {
                for (const quorvel_rng_pattern* b = p->first_child; b; b = b->next) {
                    r = d_one(v, b, e, &acc, depth);
                    if (!acc) continue;
                    *accepted = true;
                    // The branch's remainder and the other branches, still
                    // in any order.
                    quorvel_rng_pattern* node = residual_node(v, kRngInterleave, nullptr);
                    if (!node) return nullptr;
                    quorvel_rng_pattern** tail = &node->first_child;
                    if (r) {
                        quorvel_rng_pattern* g = residual_node(v, kRngGroup, nullptr);
                        if (!g) return nullptr;
                        quorvel_rng_pattern** gt = &g->first_child;
                        for (const cell* k = r; k; k = k->rest) {
                            quorvel_rng_pattern* copy = residual_node(v, k->pattern->kind, k->pattern);
                            if (!copy) return nullptr;
                            *gt = copy;
                            gt = &copy->next;
                        }
                        *tail = g;
                        tail = &g->next;
                    }
                    for (const quorvel_rng_pattern* o = p->first_child; o; o = o->next) {
                        if (o == b) continue;
                        quorvel_rng_pattern* copy = residual_node(v, o->kind, o);
                        if (!copy) return nullptr;
                        *tail = copy;
                        tail = &copy->next;
                    }
                    if (!node->first_child) return c->rest;
                    return new_cell(v, node, c->rest);
                }
                break;
            }
            case kRngGroup:
            case kRngMixed:
            case kRngOptional: {
                const cell* inner = chain_state(v, p->first_child, nullptr);
                r = d_state(v, inner, e, &acc, depth + 1);
                if (acc) {
                    *accepted = true;
                    return append_state(v, r, c->rest);
                }
                break;
            }
            case kRngZeroOrMore:
            case kRngOneOrMore: {
                const cell* inner = chain_state(v, p->first_child, nullptr);
                r = d_state(v, inner, e, &acc, depth + 1);
                if (acc) {
                    *accepted = true;
                    const quorvel_rng_pattern* again = p;
                    if (p->kind == kRngOneOrMore) {
                        quorvel_rng_pattern* z = residual_node(v, kRngZeroOrMore, p);
                        if (!z) return nullptr;
                        again = z;
                    }
                    const cell* loop = new_cell(v, again, c->rest);
                    if (!loop) return nullptr;
                    return append_state(v, r, loop);
                }
                break;
            }
            default: break;
        }
        if (!nullable_item(v, c->pattern)) return nullptr;
    }
    return nullptr;
}

// ---- Name sets ------------------------------------------------------------------------------

struct name_list {
    const char* names[kMaxNames];
    int count = 0;
    void add(const char* n) {
        if (count < kMaxNames) names[count++] = n;
    }
};

void first_names_item(rng_validation* v, const quorvel_rng_pattern* p, name_list& out, int depth = 0) {
    if (depth > 200 || out.count >= kMaxNames) return;
    p = rng_resolve(p);
    if (!p) return;
    switch (p->kind) {
        case kRngElement:
            if (!p->any_name && p->name) out.add(p->name);
            break;
        case kRngChoice:
        case kRngInterleave:
        case kRngGroup:
        case kRngOptional:
        case kRngZeroOrMore:
        case kRngOneOrMore:
        case kRngMixed:
            for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) first_names_item(v, c, out, depth + 1);
            break;
        default: break;
    }
}

void first_names_state(rng_validation* v, const cell* s, name_list& out) {
    out.count = 0;
    for (; s; s = s->rest) first_names_item(v, s->pattern, out);
    int kept = 0;
    for (int i = 0; i < out.count; i++) {
        bool dup = false;
        for (int k = 0; k < kept && !dup; k++) dup = std::strcmp(out.names[k], out.names[i]) == 0;
        if (!dup) out.names[kept++] = out.names[i];
    }
    out.count = kept;
}

int req_names(rng_validation* v, const quorvel_rng_pattern* p, const char** names, int depth);

int req_first_non_nullable(rng_validation* v, const quorvel_rng_pattern* chain, const char** names, int depth) {
    for (const quorvel_rng_pattern* c = chain; c; c = c->next)
        if (!nullable_item(v, c)) return req_names(v, c, names, depth + 1);
    return 0;
}

int req_names(rng_validation* v, const quorvel_rng_pattern* p, const char** names, int depth) {
    if (depth >= 65 || !p) return 0;
    switch (p->kind) {
        case kRngElement:
            if (p->name && !p->any_name) {
                names[0] = p->name;
                return 1;
            }
            return 0;
        case kRngChoice: {
            if (!p->first_child) return 0;
            const char* first[kMaxRequired];
            int n = req_names(v, p->first_child, first, depth + 1);
            if (n == 0) return 0;
            bool common[kMaxRequired];
            for (int i = 0; i < n; i++) common[i] = true;
            for (const quorvel_rng_pattern* a = p->first_child->next; a; a = a->next) {
                const char* other[kMaxRequired];
                int m = req_names(v, a, other, depth + 1);
                if (m == 0) return 0;
                for (int i = 0; i < n; i++) {
                    bool found = false;
                    for (int k = 0; k < m && !found; k++) found = std::strcmp(first[i], other[k]) == 0;
                    common[i] = common[i] && found;
                }
            }
            int out = 0;
            for (int i = 0; i < n; i++)
                if (common[i]) names[out++] = first[i];
            return out;
        }
        case kRngInterleave:
        case kRngOneOrMore:
        case kRngMixed: {
            int out = 0;
            for (const quorvel_rng_pattern* c = p->first_child; c && out < kMaxRequired; c = c->next) {
                const char* part[kMaxRequired];
                int m = req_names(v, c, part, depth + 1);
                for (int k = 0; k < m && out < kMaxRequired; k++) names[out++] = part[k];
            }
            return out;
        }
        case kRngGroup: return req_first_non_nullable(v, p->first_child, names, depth);
        case kRngRef: return p->target ? req_first_non_nullable(v, p->target->pattern, names, depth) : 0;
        default: return 0;
    }
}

bool name_in_tree(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e, int depth);

bool name_in_chain(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, int depth) {
    for (const quorvel_rng_pattern* c = chain; c; c = c->next)
        if (name_in_tree(v, c, e, depth)) return true;
    return false;
}

bool name_in_tree(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e, int depth) {
    if (depth >= 65) return false;
    if (p->kind == kRngRef) return p->target && name_in_chain(v, p->target->pattern, e, depth + 1);
    if (p->kind == kRngElement) return rng_names_match(p, e);
    return name_in_chain(v, p->first_child, e, depth + 1);
}

const quorvel_rng_pattern* find_element_pattern(rng_validation* v, const quorvel_rng_pattern* chain,
                                                quorvel_element* e, int depth) {
    if (depth >= 65) return nullptr;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        const quorvel_rng_pattern* found = nullptr;
        if (p->kind == kRngRef) {
            if (p->target) found = find_element_pattern(v, p->target->pattern, e, depth + 1);
        } else if (p->kind == kRngElement) {
            if (!p->any_name && rng_names_match(p, e)) found = p;
        } else {
            found = find_element_pattern(v, p->first_child, e, depth + 1);
        }
        if (found) return found;
    }
    return nullptr;
}

struct value_list {
    const char* values[kMaxValues];
    int count = 0;
    void add(const char* t) {
        if (count >= kMaxValues) return;
        for (int i = 0; i < count; i++)
            if (std::strcmp(values[i], t) == 0) return;
        values[count++] = t;
    }
};

void collect_value_leaves(rng_validation* v, const quorvel_rng_pattern* chain, value_list& out, int depth) {
    if (depth >= 33) return;
    for (const quorvel_rng_pattern* p = chain; p && out.count < kMaxValues; p = p->next) {
        switch (p->kind) {
            case kRngChoice:
            case kRngGroup:
            case kRngOptional:
            case kRngZeroOrMore:
            case kRngOneOrMore: collect_value_leaves(v, p->first_child, out, depth + 1); break;
            case kRngValue:
                if (p->text) out.add(p->text);
                break;
            case kRngRef:
                if (p->target) collect_value_leaves(v, p->target->pattern, out, depth + 1);
                break;
            default: break;
        }
    }
}

// ---- Rendering --------------------------------------------------------------------------------

void render_quoted_list(const char** names, int count, const char* conjunction, char* buffer, size_t size) {
    const char* sorted[64];
    int n = count > 64 ? 64 : count;
    for (int i = 0; i < n; i++) {
        const char* x = names[i];
        int k = i;
        while (k > 0 && std::strcmp(sorted[k - 1], x) > 0) {
            sorted[k] = sorted[k - 1];
            k--;
        }
        sorted[k] = x;
    }
    size_t used = 0;
    buffer[0] = '\0';
    for (int i = 0; i < n && used < 254; i++) {
        const char* sep = i == 0 ? "" : (i == n - 1 ? nullptr : ", ");
        int w;
        if (sep)
            w = std::snprintf(buffer + used, size - used, "%s\"%s\"", sep, sorted[i]);
        else
            w = std::snprintf(buffer + used, size - used, " %s \"%s\"", conjunction, sorted[i]);
        if (w < 0) break;
        used += static_cast<size_t>(w);
        if (used >= size) used = size - 1;
    }
    if (used > 254) buffer[254] = '\0';
}

// One missing name is quoted in the message itself; several go in a sorted
// "a", "b" and "c" list.
void report_missing(rng_validation* v, int code, quorvel_element* e, const char* one, const char* many,
                    const char* owner, const char** names, int n) {
    if (n == 1) {
        rng_diag(v, code, &e->head, one, owner, names[0]);
        return;
    }
    char list[256];
    render_quoted_list(names, n, "and", list, sizeof list);
    rng_diag(v, code, &e->head, many, owner, list);
}

void render_expected(rng_validation* v, const cell* state, bool text, char* buffer, size_t size) {
    name_list names;
    first_names_state(v, state, names);
    char entries[kMaxNames + 2][128];
    int n = 0;
    if (state_nullable(v, state)) {
        std::snprintf(entries[n++], 128, "the element end-tag");
        if (text) std::snprintf(entries[n++], 128, "text");
    } else if (text) {
        std::snprintf(entries[n++], 128, "text");
    }
    for (int i = 0; i < names.count; i++)
        std::snprintf(entries[n++], 128, i == 0 ? "element \"%s\"" : "\"%s\"", names.names[i]);
    size_t used = 0;
    buffer[0] = '\0';
    for (int i = 0; i < n && used <= 510; i++) {
        const char* sep = i == 0 ? "" : (i == n - 1 ? " or " : ", ");
        int w = std::snprintf(buffer + used, size - used, "%s%s", sep, entries[i]);
        if (w < 0) break;
        used += static_cast<size_t>(w);
        if (used >= size) used = size - 1;
    }
}

void article_phrase(const quorvel_rng_pattern* data, char* out, size_t size) {
    const char* type = data && data->datatype ? data->datatype : "string";
    char first = type[0] >= 'A' && type[0] <= 'Z' ? static_cast<char>(type[0] + 32) : type[0];
    bool vowel = first == 'a' || first == 'e' || first == 'i' || first == 'o' || first == 'u';
    std::snprintf(out, size, "%s %s", vowel ? "an" : "a", type);
}

const char* local_name(quorvel_element* e) {
    const char* n = quorvel_element_get_name(e);
    return n ? n : "";
}

const char* pname(const quorvel_rng_pattern* p) { return p && p->name ? p->name : ""; }

// ---- Attributes ---------------------------------------------------------------------------------

struct attr_collection {
    const quorvel_rng_pattern* patterns[64];
    bool optional[64];
    int count = 0;
    const quorvel_rng_pattern* visited[128];
    int visited_count = 0;
};

void collect_attr_patterns(rng_validation* v, const quorvel_rng_pattern* chain, attr_collection& out, bool optional,
                           int depth) {
    if (depth > 200) return;
    for (const quorvel_rng_pattern* p = chain; p && out.count < 64; p = p->next) {
        bool seen = false;
        for (int i = 0; i < out.visited_count && !seen; i++) seen = out.visited[i] == p;
        if (seen) continue;
        if (out.visited_count < 128) out.visited[out.visited_count++] = p;
        switch (p->kind) {
            case kRngAttribute:
                out.patterns[out.count] = p;
                out.optional[out.count++] = optional;
                break;
            case kRngChoice:
            case kRngInterleave:
            case kRngGroup:
            case kRngOptional:
            case kRngZeroOrMore:
            case kRngOneOrMore:
                collect_attr_patterns(v, p->first_child, out,
                                      optional || (p->kind != kRngGroup && p->kind != kRngInterleave &&
                                                   p->kind != kRngOneOrMore),
                                      depth + 1);
                break;
            case kRngRef:
                if (p->target) collect_attr_patterns(v, p->target->pattern, out, optional, depth + 1);
                break;
            default: break;
        }
    }
}

bool attr_pattern_matches(const quorvel_rng_pattern* p, quorvel_attribute* a) {
    return !p->any_name && p->name && std::strcmp(p->name, rng_attr_local(a)) == 0 &&
           std::strcmp(p->ns ? p->ns : "", rng_attr_ns(a)) == 0;
}

bool has_attribute(quorvel_element* e, const quorvel_rng_pattern* p) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (!rng_is_xmlns(a) && attr_pattern_matches(p, a)) return true;
    return false;
}

void diagnose_attrs(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    attr_collection col;
    collect_attr_patterns(v, p->first_child, col, false, 0);
    bool any_name_allowed = false;
    for (int i = 0; i < col.count; i++) any_name_allowed = any_name_allowed || col.patterns[i]->any_name;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (rng_is_xmlns(a)) continue;
        const char* qname = a->name ? a->name : "";
        if (col.count == 0) {
            rng_diag(v, 6, &e->head, "found attribute \"%s\", but no attributes allowed here", qname);
            continue;
        }
        const quorvel_rng_pattern* match = nullptr;
        for (int i = 0; i < col.count && !match; i++)
            if (attr_pattern_matches(col.patterns[i], a)) match = col.patterns[i];
        if (!match) {
            if (!any_name_allowed) rng_diag(v, 6, &e->head, "attribute \"%s\" not allowed", qname);
            continue;
        }
        const char* value = rng_attr_value(e, a);
        bool ok = false;
        for (int i = 0; i < col.count && !ok; i++)
            if (attr_pattern_matches(col.patterns[i], a))
                ok = rng_attr_content_ok(v, col.patterns[i]->first_child, value);
        if (ok) continue;
        value_list values;
        for (const quorvel_rng_pattern* c = match->first_child; c; c = c->next) {
            if (c->kind == kRngValue) {
                if (c->text) values.add(c->text);
            } else if (c->kind == kRngRef) {
                if (c->target) collect_value_leaves(v, c->target->pattern, values, 1);
            } else if (c->kind == kRngChoice || c->kind == kRngGroup || c->kind == kRngOptional ||
                       c->kind == kRngZeroOrMore || c->kind == kRngOneOrMore) {
                collect_value_leaves(v, c->first_child, values, 1);
            }
        }
        if (values.count) {
            char list[256];
            render_quoted_list(values.values, values.count, "or", list, sizeof list);
            rng_diag(v, 7, &e->head, "value of attribute \"%s\" is invalid; must be equal to %s", qname, list);
            continue;
        }
        for (const quorvel_rng_pattern* c = match->first_child; c; c = c->next) {
            if (c->kind != kRngData) continue;
            char phrase[64];
            article_phrase(c, phrase, sizeof phrase);
            rng_diag(v, 7, &e->head, "value of attribute \"%s\" is invalid; must be %s", qname, phrase);
            break;
        }
    }
    const char* missing[24];
    int n = 0;
    for (int i = 0; i < col.count; i++) {
        const quorvel_rng_pattern* ap = col.patterns[i];
        if (!ap->name || ap->any_name || col.optional[i] || has_attribute(e, ap)) continue;
        bool dup = false;
        for (int k = 0; k < n && !dup; k++) dup = std::strcmp(missing[k], ap->name) == 0;
        if (dup) continue;
        missing[n++] = ap->name;
        if (n == 24) break;
    }
    if (n > 0) {
        report_missing(v, 5, e, "element \"%s\" missing required attribute \"%s\"",
                       "element \"%s\" missing required attributes %s", pname(p), missing, n);
    } else if (!rng_required_ok(v, p->first_child, e, false)) {
        // Attributes required through a choice of alternatives.
        rng_required_ok(v, p->first_child, e, true);
    }
}

// ---- Elements -----------------------------------------------------------------------------------

bool chain_has_elements(const quorvel_rng_pattern* chain, int depth) {
    if (depth > 200) return false;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind == kRngElement) return true;
        if (p->kind == kRngAttribute) continue;
        if (p->kind == kRngRef) {
            if (p->target && chain_has_elements(p->target->pattern, depth + 1)) return true;
            continue;
        }
        if (chain_has_elements(p->first_child, depth + 1)) return true;
    }
    return false;
}

bool element_form(const quorvel_rng_pattern* p) {
    if (p->kind == kRngElement) return p->form == kFormElement;
    return chain_has_elements(p->first_child, 0);
}

bool text_flag(const quorvel_rng_pattern* p) {
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
        const quorvel_rng_pattern* r = rng_resolve(c);
        if (r && r->kind == kRngMixed) return true;
    }
    return false;
}

void diagnose_child(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* q);

// The first leaf of a text pattern: through refs and single-child
// groups, optional, zeroOrMore and oneOrMore.
const quorvel_rng_pattern* text_leaf(const quorvel_rng_pattern* p) {
    for (int i = 0; p && i < 400; i++) {
        p = rng_resolve(p);
        if (!p) return nullptr;
        if ((p->kind == kRngGroup || p->kind == kRngOptional || p->kind == kRngZeroOrMore ||
             p->kind == kRngOneOrMore) &&
            p->first_child && !p->first_child->next) {
            p = p->first_child;
            continue;
        }
        return p;
    }
    return nullptr;
}

void diagnose_text(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    const char* text = quorvel_element_text(&e->head);
    // Nothing to say when the text is acceptable.
    bool any = false, only_empty = true, accepted = false;
    for (const quorvel_rng_pattern* c = p->first_child; c && !accepted; c = c->next) {
        if (c->kind == kRngAttribute) continue;
        any = true;
        if (c->kind != kRngEmpty) only_empty = false;
        accepted = rng_text_accepts(v, c, text, 0);
    }
    if (accepted || (!any && rng_is_ws(text))) return;
    if (!any || only_empty) {
        rng_diag(v, 8, &e->head, "element \"%s\" must be empty", p->name ? p->name : local_name(e));
        return;
    }
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
        if (c->kind == kRngAttribute || c->kind == kRngEmpty) continue;
        const quorvel_rng_pattern* leaf = text_leaf(c);
        if (!leaf) break;
        if (leaf->kind == kRngList) {
            const quorvel_rng_pattern* item = leaf->first_child;
            while (item && (item->kind == kRngOptional || item->kind == kRngZeroOrMore || item->kind == kRngOneOrMore))
                item = item->first_child;
            if (item) item = text_leaf(item);
            const char* cursor = text;
            const char* start;
            // Each token against the one leaf.
            while (*cursor) {
                while (*cursor == ' ' || (*cursor >= '\t' && *cursor <= '\r')) cursor++;
                if (!*cursor) break;
                start = cursor;
                while (*cursor && !(*cursor == ' ' || (*cursor >= '\t' && *cursor <= '\r'))) cursor++;
                size_t n = static_cast<size_t>(cursor - start);
                char* token = static_cast<char*>(quorvel_work_alloc(n + 1));
                if (!token) return;
                std::memcpy(token, start, n);
                token[n] = '\0';
                bool bad = false;
                if (!item) {
                    rng_diag(v, 8, &e->head, "character content of element \"%s\" invalid; token \"%s\" invalid",
                             pname(p), token);
                    bad = true;
                } else if (item->kind == kRngValue && !rng_value_equal(item, token)) {
                    if (item->text)
                        rng_diag(v, 8, &e->head,
                                 "character content of element \"%s\" invalid; token \"%s\" invalid; must be equal to "
                                 "\"%s\"",
                                 pname(p), token, item->text);
                    else
                        rng_diag(v, 8, &e->head, "character content of element \"%s\" invalid; token \"%s\" invalid",
                                 pname(p), token);
                    bad = true;
                } else if (item->kind == kRngData && !rng_data_matches(item, token)) {
                    char phrase[64];
                    article_phrase(item, phrase, sizeof phrase);
                    rng_diag(v, 8, &e->head,
                             "character content of element \"%s\" invalid; token \"%s\" invalid; must be %s", pname(p),
                             token, phrase);
                    bad = true;
                } else if (item->kind != kRngValue && item->kind != kRngData && item->kind != kRngText &&
                           !rng_text_accepts(v, item, token, 0)) {
                    rng_diag(v, 8, &e->head, "character content of element \"%s\" invalid; token \"%s\" invalid",
                             pname(p), token);
                    bad = true;
                }
                quorvel_work_free(token);
                if (bad) return;
            }
            // Every token fits the leaf: the count or order is wrong.
            rng_list_accepts(v, leaf, text, e, true);
            return;
        }
        if (leaf->kind == kRngData) {
            char phrase[64];
            article_phrase(leaf, phrase, sizeof phrase);
            rng_diag(v, 8, &e->head, "character content of element \"%s\" invalid; must be %s", pname(p), phrase);
            return;
        }
        if (leaf->kind == kRngValue) {
            rng_diag(v, 8, &e->head, "character content of element \"%s\" invalid; must be equal to \"%s\"", pname(p),
                     leaf->text ? leaf->text : "");
            return;
        }
        break;
    }
    rng_diag(v, 8, &e->head, "element \"%s\": content mismatch", pname(p));
}

void diagnose_element_form(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    const cell* state = chain_state(v, p->first_child, nullptr);
    bool text = text_flag(p);
    for (quorvel_element* q = rng_first_child_element(e); q; q = rng_next_element(q)) {
        bool acc = false;
        const cell* next = d_state(v, state, q, &acc);
        if (acc) {
            diagnose_child(v, p->first_child, q);
            state = next;
            continue;
        }
        bool found = false;
        for (const quorvel_rng_pattern* c = p->first_child; c && !found; c = c->next) {
            if (c->kind == kRngRef)
                found = c->target && name_in_tree(v, c, q, 0);
            else if (c->kind == kRngElement)
                found = rng_names_match(c, q);
            else
                found = name_in_tree(v, c, q, 0);
        }
        char expected[512];
        render_expected(v, state, text, expected, sizeof expected);
        bool reported = false;
        if (!found) {
            rng_diag(v, 1, &q->head, "element \"%s\" not allowed anywhere; expected %s", local_name(q), expected);
            reported = true;
        } else {
            const char* missing = nullptr;
            for (const cell* at = state; at; at = at->rest) {
                if (!missing) {
                    for (const cell* k = at; k; k = k->rest) {
                        if (nullable_item(v, k->pattern)) continue;
                        name_list first;
                        first_names_item(v, k->pattern, first);
                        if (first.count && std::strcmp(first.names[0], local_name(q)) != 0) missing = first.names[0];
                        break;
                    }
                }
                bool a = false;
                const cell* after = d_state(v, at, q, &a);
                if (!a) continue;
                if (missing) {
                    rng_diag(v, 3, &q->head, "element \"%s\" not allowed yet; missing required element \"%s\"",
                             local_name(q), missing);
                    diagnose_child(v, p->first_child, q);
                    state = after;
                    reported = false;
                    goto next_child;
                }
                break;
            }
            rng_diag(v, 2, &q->head, "element \"%s\" not allowed here; expected %s", local_name(q), expected);
            reported = true;
        }
        if (reported) {
            quorvel_rng_define* d = rng_lookup(v->grammar, local_name(q));
            if (d && d->pattern) {
                quorvel_rng_pattern* stand_in = residual_node(v, kRngElement, nullptr);
                if (stand_in) {
                    stand_in->first_child = d->pattern;
                    diagnose_attrs(v, stand_in, q);
                }
            }
        }
    next_child:;
    }
    // Completion.
    if (!state_nullable(v, state)) {
        const cell* k = state;
        while (k && nullable_item(v, k->pattern)) k = k->rest;
        const quorvel_rng_pattern* at = k ? k->pattern : nullptr;
        const char* names[kMaxRequired];
        int n = 0;
        for (int step = 0; at && step < 65; step++) {
            const quorvel_rng_pattern* r = rng_resolve(at);
            if (!r) break;
            if (r->kind == kRngElement) {
                if (r->name && !r->any_name) names[n++] = r->name;
                break;
            }
            if (r->kind == kRngChoice || r->kind == kRngInterleave || r->kind == kRngOneOrMore ||
                r->kind == kRngMixed) {
                n = req_names(v, r, names, 0);
                break;
            }
            if (r->kind == kRngGroup) {
                const quorvel_rng_pattern* c = r->first_child;
                while (c && nullable_item(v, c)) c = c->next;
                at = c;
                continue;
            }
            break;
        }
        if (n > 0) {
            report_missing(v, 4, e, "element \"%s\" incomplete; missing required element \"%s\"",
                           "element \"%s\" incomplete; missing required elements %s", pname(p), names, n);
        } else {
            char expected[512];
            render_expected(v, state, text, expected, sizeof expected);
            rng_diag(v, 4, &e->head, "element \"%s\" incomplete; expected %s", pname(p), expected);
        }
    }
    bool allows_text = p->kind == kRngElement ? p->allows_text != 0 : true;
    if (!allows_text && !rng_all_text_ws(e))
        rng_diag(v, 8, &e->head, "element \"%s\" contains character data but the content model allows none",
                 p->name ? p->name : local_name(e));
}

void diagnose_child(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* q) {
    const quorvel_rng_pattern* found = nullptr;
    for (const quorvel_rng_pattern* p = chain; p && !found; p = p->next) {
        if (p->kind == kRngRef)
            found = p->target ? find_element_pattern(v, p->target->pattern, q, 0) : nullptr;
        else if (p->kind == kRngElement)
            found = !p->any_name && rng_names_match(p, q) ? p : nullptr;
        else
            found = find_element_pattern(v, p->first_child, q, 0);
    }
    if (!found || v->depth > 100) return;
    v->depth++;
    int saved_quiet = v->quiet;
    v->quiet = 1;
    bool ok = rng_element_ok(v, found, q);
    v->quiet = saved_quiet;
    int saved_first = v->first_set;
    if (!ok) {
        v->first_set = 1;  // keep the first message of the whole diagnosis
        rng_diagnose_element(v, found, q);
    }
    v->first_set = saved_first;
    v->depth--;
}

// Walks the element alternatives of a start choice in order: the first
// whose name fits the root is diagnosed (true); the others' names are
// collected.
bool start_alternatives(rng_validation* v, const quorvel_rng_pattern* choice, quorvel_element* root,
                        const char** names, int* n, int depth) {
    if (depth > 200) return false;
    for (const quorvel_rng_pattern* a = choice->first_child; a; a = a->next) {
        const quorvel_rng_pattern* r = a;
        for (int i = 0; r && i < 400; i++) {
            const quorvel_rng_pattern* x = rng_resolve(r);
            if (x && x->kind == kRngGroup && x->first_child && !x->first_child->next) {
                r = x->first_child;
            } else {
                r = x;
                break;
            }
        }
        if (!r) continue;
        if (r->kind == kRngChoice) {
            if (start_alternatives(v, r, root, names, n, depth + 1)) return true;
            continue;
        }
        if (r->kind != kRngElement) continue;
        if (rng_names_match(r, root)) {
            rng_diagnose_element(v, r, root);
            return true;
        }
        if (r->name && *n < kMaxNames) names[(*n)++] = r->name;
    }
    return false;
}

}  // namespace

void rng_diagnose_element(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    diagnose_attrs(v, p, e);
    if (!element_form(p)) {
        if (quorvel_element* child = rng_first_child_element(e)) {
            rng_diag(v, 1, &child->head, "element \"%s\" not allowed anywhere; expected the element end-tag or text",
                     local_name(child));
            return;
        }
        diagnose_text(v, p, e);
        return;
    }
    diagnose_element_form(v, p, e);
}

void rng_diagnose_start(rng_validation* v, const quorvel_rng_pattern* start, quorvel_element* root) {
    const quorvel_rng_pattern* p = start;
    for (int i = 0; p && i < 400; i++) {
        const quorvel_rng_pattern* r = rng_resolve(p);
        if (r && r->kind == kRngGroup && r->first_child && !r->first_child->next)
            p = r->first_child;
        else {
            p = r;
            break;
        }
    }
    if (!p) return;
    if (p->kind == kRngChoice) {
        // Alternatives through nested choices, refs and single-child groups.
        const char* names[kMaxNames];
        int n = 0;
        if (start_alternatives(v, p, root, names, &n, 0)) return;
        if (n) {
            char list[512];
            size_t used = 0;
            list[0] = '\0';
            for (int i = 0; i < n; i++) {
                const char* prefix = i == 0 ? "" : (i == n - 1 ? " or " : ", ");
                int w = std::snprintf(list + used, sizeof list - used, i == 0 ? "%selement \"%s\"" : "%s\"%s\"", prefix,
                                      names[i]);
                if (w < 0) break;
                used += static_cast<size_t>(w);
                if (used >= sizeof list) break;
            }
            rng_diag(v, 1, &root->head, "element \"%s\" not allowed anywhere; expected %s", local_name(root), list);
        }
        return;
    }
    if (p->kind == kRngElement) {
        if (rng_names_match(p, root))
            rng_diagnose_element(v, p, root);
        else
            rng_diag(v, 1, &root->head, "element \"%s\" not allowed anywhere; expected element \"%s\"",
                     local_name(root), p->name ? p->name : "?");
        return;
    }
    rng_diagnose_element(v, p, root);
}

void rng_residuals_free(rng_validation* v) {
    while (v->residuals) {
        rng_residual_block* next = v->residuals->next;
        quorvel_work_free(v->residuals);
        v->residuals = next;
    }
}
