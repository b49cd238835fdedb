// The quiet matcher: whether a document is valid against a grammar, with
// the attribute, text and datatype tests it applies.
//
// Child elements are matched greedily along an element pattern's content
// chain; a choice in that chain is the one backtracking point. Results of
// backtracking are remembered (per choice node, position and parent, and
// per element pattern and element while a choice may retry them), so a
// chain of choices or nested alternatives that reach the same children
// costs polynomial, not exponential, time. The memo is a stack: what was
// remembered for an element's children is dropped when the element's
// check returns, so its size follows the depth of the walk and the
// backtracking in progress, with a budget per element, not the document.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "relaxng/rng.h"

const quorvel_element kRngFailMark{};

// ---- Memo ---------------------------------------------------------------------------------

struct rng_memo_entry {
    const void* a;
    const void* b;
    const void* c;
    quorvel_element* result;
    uint32_t next;
};

struct rng_memo {
    rng_memo_entry* entries;
    uint32_t count;
    uint32_t capacity;
    uint32_t* buckets;
    uint32_t mask;
};

namespace {

constexpr uint32_t kNone = UINT32_MAX;

uint32_t memo_hash(const void* a, const void* b, const void* c) {
    uint64_t h = reinterpret_cast<uintptr_t>(a) * 0x9E3779B97F4A7C15ull;
    h ^= reinterpret_cast<uintptr_t>(b) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    h ^= reinterpret_cast<uintptr_t>(c) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

rng_memo_entry* memo_find(rng_memo* m, const void* a, const void* b, const void* c) {
    if (!m || !m->count) return nullptr;
    for (uint32_t i = m->buckets[memo_hash(a, b, c) & m->mask]; i != kNone; i = m->entries[i].next) {
        rng_memo_entry& e = m->entries[i];
        if (e.a == a && e.b == b && e.c == c) return &e;
    }
    return nullptr;
}

bool memo_rehash(rng_memo* m, uint32_t buckets) {
    auto* fresh = static_cast<uint32_t*>(quorvel_work_alloc(sizeof(uint32_t) * buckets));
    if (!fresh) return false;
    for (uint32_t i = 0; i < buckets; i++) fresh[i] = kNone;
    quorvel_work_free(m->buckets);
    m->buckets = fresh;
    m->mask = buckets - 1;
    // In insertion order, so every bucket's head stays its newest entry.
    for (uint32_t i = 0; i < m->count; i++) {
        uint32_t& head = m->buckets[memo_hash(m->entries[i].a, m->entries[i].b, m->entries[i].c) & m->mask];
        m->entries[i].next = head;
        head = i;
    }
    return true;
}

// What one element's check may remember about its children. Backtracking
// that would repeat work exponentially goes deep with few children per
// level, well inside this; a wide element past it only repeats work a
// bounded number of times. It keeps the memo's size independent of the
// document's.
constexpr uint32_t kMemoScopeBudget = 4096;

// Remembering is an optimisation: when memory runs out nothing is kept.
void memo_add(rng_validation* v, const void* a, const void* b, const void* c, quorvel_element* result) {
    if (v->memo && v->memo->count - v->memo_scope >= kMemoScopeBudget) return;
    rng_memo* m = v->memo;
    if (!m) {
        m = static_cast<rng_memo*>(quorvel_work_calloc(sizeof(rng_memo)));
        if (!m) return;
        if (!memo_rehash(m, 256)) {
            quorvel_work_free(m);
            return;
        }
        v->memo = m;
    }
    if (m->count == m->capacity) {
        if (m->capacity >= (1u << 30)) return;
        uint32_t grown = m->capacity ? m->capacity * 2 : 256;
        void* fresh = quorvel_work_realloc(m->entries, m->count * sizeof(rng_memo_entry), grown * sizeof(rng_memo_entry));
        if (!fresh) return;
        m->entries = static_cast<rng_memo_entry*>(fresh);
        m->capacity = grown;
    }
    if (m->count >= m->mask + 1 && !memo_rehash(m, (m->mask + 1) * 2)) return;
    uint32_t i = m->count++;
    m->entries[i] = rng_memo_entry{a, b, c, result, kNone};
    uint32_t& head = m->buckets[memo_hash(a, b, c) & m->mask];
    m->entries[i].next = head;
    head = i;
}

uint32_t memo_mark(const rng_validation* v) { return v->memo ? v->memo->count : 0; }

void memo_pop(rng_validation* v, uint32_t mark) {
    rng_memo* m = v->memo;
    if (!m) return;
    while (m->count > mark) {
        uint32_t i = --m->count;
        rng_memo_entry& e = m->entries[i];
        m->buckets[memo_hash(e.a, e.b, e.c) & m->mask] = e.next;
    }
}

void memo_free(rng_validation* v) {
    if (!v->memo) return;
    quorvel_work_free(v->memo->entries);
    quorvel_work_free(v->memo->buckets);
    quorvel_work_free(v->memo);
    v->memo = nullptr;
}

bool is_ws_char(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void clear_latch(rng_validation* v) {
    v->first_set = 0;
    v->first_message[0] = '\0';
}

// One flag per branch of a list or interleave, all clear: inline for up to
// 64 branches, else in working memory (ok() false when that runs out).
struct branch_flags {
    bool local[64];
    bool* flags = local;

    explicit branch_flags(size_t count) {
        if (count > 64) flags = static_cast<bool*>(quorvel_work_calloc(count));
        else
            for (size_t i = 0; i < count; i++) local[i] = false;
    }
    ~branch_flags() {
        if (flags != local) quorvel_work_free(flags);
    }
    branch_flags(const branch_flags&) = delete;
    branch_flags& operator=(const branch_flags&) = delete;
    bool ok() const { return flags != nullptr; }
    bool& operator[](size_t i) { return flags[i]; }
};

// A token reader with a small inline buffer: list checks may nest.
struct token_reader {
    const char* cursor;
    char local[128];
    char* heap = nullptr;
    size_t heap_capacity = 0;

    explicit token_reader(const char* text) : cursor(text ? text : "") {}
    ~token_reader() { quorvel_work_free(heap); }
    token_reader(const token_reader&) = delete;
    token_reader& operator=(const token_reader&) = delete;

    // The next token, or NULL at the end (or when memory runs out: `failed`).
    const char* next(bool* failed) {
        while (is_ws_char(static_cast<unsigned char>(*cursor))) cursor++;
        if (!*cursor) return nullptr;
        const char* start = cursor;
        while (*cursor && !is_ws_char(static_cast<unsigned char>(*cursor))) cursor++;
        size_t n = static_cast<size_t>(cursor - start);
        char* out = local;
        if (n >= sizeof local) {
            if (n + 1 > heap_capacity) {
                void* fresh = quorvel_work_realloc(heap, 0, n + 1);
                if (!fresh) {
                    if (failed) *failed = true;
                    return nullptr;
                }
                heap = static_cast<char*>(fresh);
                heap_capacity = n + 1;
            }
            out = heap;
        }
        std::memcpy(out, start, n);
        out[n] = '\0';
        return out;
    }
};

}  // namespace

// ---- Navigation and names ------------------------------------------------------------------

quorvel_element* rng_first_child_element(const quorvel_element* e) {
    for (quorvel_node* n = quorvel_elem_first_child_raw(e); n; n = quorvel_node_next_raw(n))
        if (n->kind == QUORVEL_NODE_ELEMENT) return reinterpret_cast<quorvel_element*>(n);
    return nullptr;
}

quorvel_element* rng_next_element(const quorvel_element* e) {
    for (quorvel_node* n = quorvel_node_next_raw(&e->head); n; n = quorvel_node_next_raw(n))
        if (n->kind == QUORVEL_NODE_ELEMENT) return reinterpret_cast<quorvel_element*>(n);
    return nullptr;
}

bool rng_names_match(const quorvel_rng_pattern* p, quorvel_element* e) {
    if (p->any_name) return true;
    // The element record keeps a hash of its local name: most mismatches
    // are settled without reading the name.
    if (e->name_hash != p->name_hash) return false;
    const char* local = quorvel_element_get_name(e);
    if (!local || !p->name || std::strcmp(local, p->name) != 0) return false;
    const char* uri = quorvel_element_get_namespace_uri(e);
    return std::strcmp(uri ? uri : "", p->ns ? p->ns : "") == 0;
}

const quorvel_rng_pattern* rng_resolve(const quorvel_rng_pattern* p) {
    for (int i = 0; p && p->kind == kRngRef; i++) {
        if (i >= 200 || !p->target) return nullptr;
        p = p->target->pattern;
    }
    return p;
}

bool rng_is_xmlns(const quorvel_attribute* a) {
    const char* n = a->name;
    return n && std::strncmp(n, "xmlns", 5) == 0 && (n[5] == '\0' || n[5] == ':');
}

const char* rng_attr_local(const quorvel_attribute* a) {
    const char* n = a->name ? a->name : "";
    const char* colon = std::strchr(n, ':');
    return colon ? colon + 1 : n;
}

const char* rng_attr_ns(const quorvel_attribute* a) {
    if (!a->name || !std::strchr(a->name, ':')) return "";
    const char* uri = quorvel_attribute_namespace_uri(a);
    return uri ? uri : "";
}

const char* rng_attr_value(quorvel_element* e, quorvel_attribute* a) {
    const char* v = quorvel_attribute_read_value(e, a);
    return v ? v : "";
}

// ---- Records ------------------------------------------------------------------------------

namespace {

void record(rng_validation* v, int kind, const quorvel_node* node, const char* message) {
    if (v->quiet || !v->handle) return;
    quorvel_rng* h = v->handle;
    quorvel_diag* d = quorvel_diag_emit(&h->diags, &h->diag_count, &h->diag_capacity, kind, node, "%s", message);
    if (d && node) {
        quorvel_source_position pos{};
        quorvel_node_source_position(node, &pos);
        d->line = pos.line;
        d->column = pos.column;
        d->third = pos.end_column;
    }
}

}  // namespace

void rng_diag(rng_validation* v, int kind, const quorvel_node* node, const char* format, ...) {
    // The quiet pass only needs the verdict: nothing is formatted there.
    if (v->quiet) return;
    char message[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    record(v, kind, node, message);
    if (!v->first_set) {
        v->first_set = 1;
        std::snprintf(v->first_message, sizeof v->first_message, "%d:0: error: %s", node ? quorvel_node_line(node) : 0,
                      message);
    }
}

void rng_diag_probe(rng_validation* v, quorvel_element* e) {
    if (v->quiet) return;
    char message[256];
    const char* name = quorvel_element_get_name(e);
    std::snprintf(message, sizeof message, "element \"%s\" not allowed here", name ? name : "");
    record(v, 2, &e->head, message);
}

// ---- Text and datatypes -------------------------------------------------------------------

bool rng_is_ws(const char* s) {
    for (; s && *s; s++)
        if (!is_ws_char(static_cast<unsigned char>(*s))) return false;
    return true;
}

bool rng_all_text_ws(const quorvel_element* e) {
    for (quorvel_node* n = quorvel_elem_first_child_raw(e); n; n = quorvel_node_next_raw(n)) {
        if (n->kind != QUORVEL_NODE_TEXT && n->kind != QUORVEL_NODE_CDATA) continue;
        if (!rng_is_ws(quorvel_text_node_get_content(n))) return false;
    }
    return true;
}

namespace {

// Characters for the length parameters: bytes that are not UTF-8
// continuation bytes.
uint64_t char_count(const char* s) {
    uint64_t n = 0;
    for (; *s; s++)
        if ((static_cast<unsigned char>(*s) & 0xC0) != 0x80) n++;
    return n;
}

uint64_t read_unsigned(const char* s) {
    while (is_ws_char(static_cast<unsigned char>(*s))) s++;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        uint64_t d = static_cast<uint64_t>(*s++ - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return negative ? static_cast<uint64_t>(0) - v : v;
}

// The decimal number at the start of s (sign, digits, fraction,
// exponent), whatever the process locale; 0 when none.
double read_number(const char* s) {
    while (is_ws_char(static_cast<unsigned char>(*s))) s++;
    double sign = 1;
    if (*s == '+' || *s == '-') sign = *s++ == '-' ? -1 : 1;
    double v = 0;
    bool digits = false;
    while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0'), digits = true;
    if (*s == '.') {
        s++;
        double scale = 0.1;
        while (*s >= '0' && *s <= '9') v += (*s++ - '0') * scale, scale /= 10, digits = true;
    }
    if (!digits) return 0;
    if (*s == 'e' || *s == 'E') {
        const char* e = s + 1;
        int es = 1;
        if (*e == '+' || *e == '-') es = *e++ == '-' ? -1 : 1;
        if (*e >= '0' && *e <= '9') {
            int x = 0;
            while (*e >= '0' && *e <= '9') {
                if (x < 4000) x = x * 10 + (*e - '0');
                e++;
            }
            for (int i = 0; i < x && v != 0; i++) {
                v = es > 0 ? v * 10 : v / 10;
                if (v > 1e308 || v < 1e-308) break;
            }
        }
    }
    return sign * v;
}

bool integer_lexical(const char* t) {
    // White space around the digits is collapsed away, as the integer
    // type's facet prescribes.
    while (is_ws_char(static_cast<unsigned char>(*t))) t++;
    if (*t == '+' || *t == '-') t++;
    if (*t < '0' || *t > '9') return false;
    while (*t >= '0' && *t <= '9') t++;
    while (is_ws_char(static_cast<unsigned char>(*t))) t++;
    return *t == '\0';
}

// Equal after white space is collapsed (runs become one space, none at
// either end).
bool token_equal(const char* a, const char* b) {
    auto skip = [](const char*& s) {
        while (is_ws_char(static_cast<unsigned char>(*s))) s++;
    };
    skip(a), skip(b);
    for (;;) {
        if (!*a || !*b) {
            skip(a), skip(b);
            return !*a && !*b;
        }
        bool wa = is_ws_char(static_cast<unsigned char>(*a)), wb = is_ws_char(static_cast<unsigned char>(*b));
        if (wa || wb) {
            if (!wa || !wb) {
                // One side ends its word here; equal only if the other's
                // white space runs to its end.
                skip(a), skip(b);
                if (*a || *b) return false;
                return true;
            }
            skip(a), skip(b);
            if (!*a || !*b) return !*a && !*b;
            continue;
        }
        if (*a++ != *b++) return false;
    }
}

}  // namespace

namespace {

// Types other than string and normalizedString see their value with white
// space collapsed; their facets (pattern, lengths) apply to that.
bool collapses(const quorvel_rng_pattern* p) {
    const char* t = p->datatype ? p->datatype : "string";
    return std::strcmp(t, "string") != 0 && std::strcmp(t, "normalizedString") != 0;
}

bool needs_collapse(const char* s) {
    if (is_ws_char(static_cast<unsigned char>(*s))) return true;
    for (; *s; s++) {
        if (!is_ws_char(static_cast<unsigned char>(*s))) continue;
        if (*s != ' ' || !s[1] || is_ws_char(static_cast<unsigned char>(s[1]))) return true;
    }
    return false;
}

void collapse_into(const char* s, char* out) {
    bool pending = false;
    char* o = out;
    for (; *s; s++) {
        if (is_ws_char(static_cast<unsigned char>(*s))) {
            pending = o != out;
            continue;
        }
        if (pending) *o++ = ' ';
        pending = false;
        *o++ = *s;
    }
    *o = '\0';
}

bool data_matches_value(const quorvel_rng_pattern* p, const char* text);

}  // namespace

bool rng_data_matches(const quorvel_rng_pattern* p, const char* text) {
    if (!text) text = "";
    if (!collapses(p) || !needs_collapse(text)) return data_matches_value(p, text);
    size_t n = std::strlen(text);
    char local[256];
    char* buffer = n < sizeof local ? local : static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!buffer) return false;
    collapse_into(text, buffer);
    bool ok = data_matches_value(p, buffer);
    if (buffer != local) quorvel_work_free(buffer);
    return ok;
}

namespace {

bool data_matches_value(const quorvel_rng_pattern* p, const char* text) {
    if (p->datatype && std::strcmp(p->datatype, "integer") == 0 && !integer_lexical(text)) return false;
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
        if (c->kind == kRngExcept)
            for (const quorvel_rng_pattern* x = c->first_child; x; x = x->next)
                if (rng_text_accepts(nullptr, x, text, 1)) return false;
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
        if (c->kind != kRngParam || !c->name) continue;
        const char* pv = c->text ? c->text : "";
        const char* n = c->name;
        if (std::strcmp(n, "pattern") == 0) {
            if (!c->regex || !rre_match(c->regex, text, std::strlen(text))) return false;
        } else if (std::strcmp(n, "minLength") == 0) {
            if (char_count(text) < read_unsigned(pv)) return false;
        } else if (std::strcmp(n, "maxLength") == 0) {
            if (char_count(text) > read_unsigned(pv)) return false;
        } else if (std::strcmp(n, "length") == 0) {
            if (char_count(text) != read_unsigned(pv)) return false;
        } else if (std::strcmp(n, "minInclusive") == 0) {
            if (!(read_number(text) >= read_number(pv))) return false;
        } else if (std::strcmp(n, "maxInclusive") == 0) {
            if (!(read_number(text) <= read_number(pv))) return false;
        } else if (std::strcmp(n, "minExclusive") == 0) {
            if (!(read_number(text) > read_number(pv))) return false;
        } else if (std::strcmp(n, "maxExclusive") == 0) {
            if (!(read_number(text) < read_number(pv))) return false;
        }
    }
    return true;
}

}  // namespace

bool rng_value_equal(const quorvel_rng_pattern* p, const char* text) {
    const char* want = p->text ? p->text : "";
    if (!text) text = "";
    // The default type, token, compares with white space collapsed; string
    // compares the bytes.
    if (p->datatype && std::strcmp(p->datatype, "string") == 0) return std::strcmp(want, text) == 0;
    return token_equal(want, text);
}

namespace {

bool chain_text_accepts(rng_validation* v, const quorvel_rng_pattern* chain, const char* text, int depth) {
    bool any = false;
    for (const quorvel_rng_pattern* c = chain; c; c = c->next) {
        if (c->kind == kRngAttribute) continue;
        any = true;
        if (rng_text_accepts(v, c, text, depth)) return true;
    }
    return !any && rng_is_ws(text);
}

}  // namespace

bool rng_text_accepts(rng_validation* v, const quorvel_rng_pattern* p, const char* text, int depth) {
    if (depth > 200 || !p) return false;
    switch (p->kind) {
        case kRngText:
        case kRngMixed: return true;
        case kRngEmpty:
        case kRngAttribute: return rng_is_ws(text);
        case kRngData: return rng_data_matches(p, text);
        case kRngValue: return rng_value_equal(p, text);
        case kRngList: return rng_list_accepts(v, p, text, nullptr, false);
        case kRngChoice:
            for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
                if (rng_text_accepts(v, c, text, depth + 1)) return true;
            return false;
        case kRngOptional:
        case kRngZeroOrMore:
            return rng_is_ws(text) || chain_text_accepts(v, p->first_child, text, depth + 1);
        case kRngOneOrMore:
        case kRngGroup:
        case kRngInterleave: return chain_text_accepts(v, p->first_child, text, depth + 1);
        case kRngRef: return p->target && chain_text_accepts(v, p->target->pattern, text, depth + 1);
        default: return false;
    }
}

namespace {

// The items of a list in order, groups (also behind refs) opened up.
struct list_items {
    const quorvel_rng_pattern* local[64];
    const quorvel_rng_pattern** items = local;
    size_t count = 0;
    size_t capacity = 64;
    bool failed = false;

    ~list_items() {
        if (items != local) quorvel_work_free(items);
    }
    void add(const quorvel_rng_pattern* p) {
        if (count == capacity) {
            size_t grown = capacity * 2;
            auto* fresh = static_cast<const quorvel_rng_pattern**>(quorvel_work_alloc(grown * sizeof(void*)));
            if (!fresh) {
                failed = true;
                return;
            }
            std::memcpy(fresh, items, count * sizeof(void*));
            if (items != local) quorvel_work_free(items);
            items = fresh;
            capacity = grown;
        }
        items[count++] = p;
    }
    void collect(const quorvel_rng_pattern* chain, int depth) {
        for (const quorvel_rng_pattern* p = chain; p && !failed; p = p->next) {
            const quorvel_rng_pattern* r = p->kind == kRngRef ? rng_resolve(p) : p;
            if (r && r->kind == kRngGroup && depth < 200)
                collect(r->first_child, depth + 1);
            else
                add(p);
        }
    }
};

}  // namespace

bool rng_list_accepts(rng_validation* v, const quorvel_rng_pattern* list, const char* text, quorvel_element* e,
                      bool report) {
    list_items items;
    items.collect(list->first_child, 0);
    if (items.failed) return false;
    const size_t count = items.count;
    branch_flags used(count);
    if (!used.ok()) return false;
    bool ok = true;
    token_reader tokens(text);
    size_t index = 0;
    bool failed = false;
    const quorvel_node* at = e ? &e->head : nullptr;
    for (const char* t = tokens.next(&failed); t && ok; t = tokens.next(&failed)) {
        bool accepted = false;
        while (index < count) {
            const quorvel_rng_pattern* item = items.items[index];
            uint32_t k = item->kind;
            if (k == kRngOptional || k == kRngZeroOrMore || k == kRngOneOrMore || k == kRngEmpty) {
                if (item->first_child && chain_text_accepts(v, item->first_child, t, 1)) {
                    accepted = true;
                    used[index] = true;
                    if (k == kRngOptional) index++;
                    break;
                }
                index++;
                continue;
            }
            if (rng_text_accepts(v, item, t, 1)) {
                accepted = true;
                used[index] = true;
                index++;
                break;
            }
            if (report) rng_diag(v, 8, at, "list token \"%s\" does not match", t);
            ok = false;
            break;
        }
        if (ok && !accepted) {
            if (report) rng_diag(v, 8, at, "list token \"%s\" not allowed", t);
            ok = false;
        }
    }
    if (failed) ok = false;
    for (size_t i = 0; ok && i < count; i++) {
        if (used[i]) continue;
        uint32_t k = items.items[i]->kind;
        if (k == kRngOneOrMore) {
            if (report) rng_diag(v, 8, at, "list: a oneOrMore leaf requires at least one token");
            ok = false;
        } else if (k != kRngOptional && k != kRngZeroOrMore && k != kRngEmpty) {
            if (report) rng_diag(v, 8, at, "list: missing token for a required leaf");
            ok = false;
        }
    }
    return ok;
}

// ---- Attributes ---------------------------------------------------------------------------

bool rng_attr_content_ok(rng_validation* v, const quorvel_rng_pattern* chain, const char* value) {
    if (!chain) return true;
    for (const quorvel_rng_pattern* c = chain; c; c = c->next)
        if (rng_text_accepts(v, c, value, 1)) return true;
    return false;
}

namespace {

bool attr_name_matches(const quorvel_rng_pattern* p, quorvel_attribute* a) {
    if (p->any_name) return true;
    return p->name && std::strcmp(p->name, rng_attr_local(a)) == 0 &&
           std::strcmp(p->ns ? p->ns : "", rng_attr_ns(a)) == 0;
}

bool attr_allowed(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, quorvel_attribute* a,
                  int depth) {
    if (depth > 200) return false;
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        switch (p->kind) {
            case kRngAttribute:
                if (attr_name_matches(p, a) && rng_attr_content_ok(v, p->first_child, rng_attr_value(e, a))) return true;
                break;
            case kRngChoice:
            case kRngInterleave:
            case kRngGroup:
            case kRngOptional:
            case kRngZeroOrMore:
            case kRngOneOrMore:
            case kRngMixed:
                if (attr_allowed(v, p->first_child, e, a, depth + 1)) return true;
                break;
            case kRngRef:
                if (p->target && attr_allowed(v, p->target->pattern, e, a, depth + 1)) return true;
                break;
            default: break;
        }
    }
    return false;
}

quorvel_attribute* find_attribute(quorvel_element* e, const quorvel_rng_pattern* p) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (!rng_is_xmlns(a) && attr_name_matches(p, a)) return a;
    return nullptr;
}

bool required_ok(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, bool report, int depth);

bool required_one(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e, bool report, int depth) {
    if (depth > 200) return true;
    switch (p->kind) {
        case kRngAttribute:
            if (!p->any_name && !find_attribute(e, p)) {
                if (report) rng_diag(v, 5, &e->head, "attribute \"%s\" is required but missing", p->name ? p->name : "");
                return false;
            }
            return true;
        case kRngChoice:
            // One alternative whose attributes are all present suffices.
            if (!p->first_child) return true;
            for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
                if (required_one(v, c, e, false, depth + 1)) return true;
            if (report) required_one(v, p->first_child, e, true, depth + 1);
            return false;
        case kRngInterleave:
        case kRngGroup:
        case kRngOneOrMore: return required_ok(v, p->first_child, e, report, depth + 1);
        case kRngRef: return !p->target || required_ok(v, p->target->pattern, e, report, depth + 1);
        default: return true;
    }
}

bool required_ok(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, bool report, int depth) {
    for (const quorvel_rng_pattern* p = chain; p; p = p->next)
        if (!required_one(v, p, e, report, depth)) return false;
    return true;
}

}  // namespace

bool rng_attr_allowed(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, quorvel_attribute* a) {
    return attr_allowed(v, chain, e, a, 0);
}

bool rng_required_ok(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, bool report) {
    return required_ok(v, chain, e, report, 0);
}

// ---- Child elements -----------------------------------------------------------------------

namespace {

quorvel_element* match_seq(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* pos);

// The patterns of a chain one after the other.
quorvel_element* match_chain(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* pos) {
    for (const quorvel_rng_pattern* p = chain; p && pos != RNG_FAIL; p = p->next) pos = match_seq(v, p, pos);
    return pos;
}

quorvel_element* match_interleave(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* pos) {
    size_t count = 0;
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) count++;
    branch_flags used(count);
    if (!used.ok()) return RNG_FAIL;
    v->speculative++;
    // Passes until one makes no progress: each unused branch may take one
    // run of elements from the current position.
    bool progress = true;
    while (progress) {
        progress = false;
        size_t i = 0;
        for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next, i++) {
            if (used[i]) continue;
            quorvel_element* r = match_seq(v, c, pos);
            if (r != RNG_FAIL && r != pos) {
                used[i] = true;
                pos = r;
                progress = true;
            } else {
                clear_latch(v);
            }
        }
    }
    size_t i = 0;
    quorvel_element* result = pos;
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next, i++) {
        if (used[i]) continue;
        quorvel_element* r = match_seq(v, c, pos);
        clear_latch(v);
        if (r != pos) {
            result = RNG_FAIL;
            break;
        }
    }
    v->speculative--;
    return result;
}

quorvel_element* match_seq(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* pos) {
    switch (p->kind) {
        case kRngEmpty:
        case kRngText:
        case kRngAttribute:
        case kRngData:
        case kRngValue:
        case kRngList: return pos;
        case kRngElement:
            if (pos && rng_element_ok(v, p, pos)) return rng_next_element(pos);
            return RNG_FAIL;
        case kRngChoice: {
            quorvel_element* empty_match = RNG_FAIL;
            v->speculative++;
            for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
                quorvel_element* r = match_seq(v, c, pos);
                clear_latch(v);
                if (r == RNG_FAIL) continue;
                if (r != pos) {
                    v->speculative--;
                    return r;
                }
                if (empty_match == RNG_FAIL) empty_match = r;
            }
            v->speculative--;
            return empty_match;
        }
        case kRngInterleave: return match_interleave(v, p, pos);
        case kRngGroup: return match_chain(v, p->first_child, pos);
        case kRngOptional: {
            quorvel_element* r = match_chain(v, p->first_child, pos);
            if (r == RNG_FAIL) {
                clear_latch(v);
                return pos;
            }
            return r;
        }
        case kRngOneOrMore:
        case kRngZeroOrMore: {
            quorvel_element* r = match_chain(v, p->first_child, pos);
            if (r == RNG_FAIL) {
                if (p->kind == kRngOneOrMore) return RNG_FAIL;
                clear_latch(v);
                return pos;
            }
            while (r != pos) {
                pos = r;
                r = match_chain(v, p->first_child, pos);
                if (r == RNG_FAIL) break;
            }
            clear_latch(v);
            return pos;
        }
        case kRngMixed: return match_chain(v, p->first_child, pos);
        case kRngRef: {
            if (!p->target) {
                rng_diag(v, 0, nullptr, "reference to undefined pattern '%s'", rng_display_name(p->name));
                return RNG_FAIL;
            }
            if (v->depth > 200) {
                rng_diag(v, 0, nullptr, "reference \"%s\" recursion too deep", rng_display_name(p->name));
                return RNG_FAIL;
            }
            v->depth++;
            quorvel_element* r = match_chain(v, p->target->pattern, pos);
            v->depth--;
            return r;
        }
        default: return RNG_FAIL;
    }
}

// The content chain against the children from pos to the end; a choice
// in the chain backtracks over its alternatives. NULL (the end) on
// success.
quorvel_element* fold_list(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* pos,
                           quorvel_element* parent) {
    for (const quorvel_rng_pattern* p = chain; p; p = p->next) {
        if (p->kind != kRngChoice) {
            pos = match_seq(v, p, pos);
            if (pos == RNG_FAIL) return RNG_FAIL;
            continue;
        }
        if (rng_memo_entry* m = memo_find(v->memo, p, pos, parent)) return m->result;
        quorvel_element* result = RNG_FAIL;
        v->speculative++;
        for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
            quorvel_element* r = match_seq(v, c, pos);
            clear_latch(v);
            if (r == RNG_FAIL) continue;
            quorvel_element* rest = fold_list(v, p->next, r, parent);
            if (rest != RNG_FAIL) {
                result = rest;
                break;
            }
        }
        v->speculative--;
        memo_add(v, p, pos, parent, result);
        return result;
    }
    return pos == nullptr ? nullptr : RNG_FAIL;
}

const char* pattern_or_element_name(const quorvel_rng_pattern* p, quorvel_element* e) {
    if (p->name) return p->name;
    const char* n = quorvel_element_get_name(e);
    return n ? n : "";
}

bool text_content_ok(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    // A text pattern takes any text: no need to read it.
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
        if (c->kind == kRngText) return true;
    const char* text = quorvel_element_text(&e->head);
    bool any = false, only_empty = true;
    for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next) {
        if (c->kind == kRngAttribute) continue;
        any = true;
        if (c->kind != kRngEmpty) only_empty = false;
        if (rng_text_accepts(v, c, text, 0)) return true;
    }
    if (!any && rng_is_ws(text)) return true;
    if (!any || only_empty)
        rng_diag(v, 8, &e->head, "element \"%s\" must be empty", pattern_or_element_name(p, e));
    else
        rng_diag(v, 8, &e->head, "element \"%s\": content mismatch", p->name ? p->name : "");
    return false;
}

bool element_check(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (rng_is_xmlns(a)) continue;
        if (!rng_attr_allowed(v, p->first_child, e, a)) {
            rng_diag(v, 6, &e->head, "attribute \"%s\" not allowed", a->name ? a->name : "");
            return false;
        }
    }
    if (!rng_required_ok(v, p->first_child, e, true)) return false;
    if (p->form == kFormElement) {
        if (fold_list(v, p->first_child, rng_first_child_element(e), e) == RNG_FAIL) return false;
        if (!p->allows_text && !rng_all_text_ws(e)) {
            rng_diag(v, 8, &e->head, "element \"%s\" contains character data but the content model allows none",
                     pattern_or_element_name(p, e));
            return false;
        }
        return true;
    }
    if (quorvel_element* child = rng_first_child_element(e)) {
        const char* n = quorvel_element_get_name(child);
        rng_diag(v, 2, &child->head, "element \"%s\" not allowed here", n ? n : "");
        return false;
    }
    return text_content_ok(v, p, e);
}

}  // namespace

bool rng_element_ok(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e) {
    if (!rng_names_match(p, e)) {
        rng_diag_probe(v, e);
        return false;
    }
    if (v->speculative)
        if (rng_memo_entry* m = memo_find(v->memo, p, e, nullptr)) return m->result != RNG_FAIL;
    uint32_t mark = memo_mark(v);
    int saved = v->speculative;
    uint32_t saved_scope = v->memo_scope;
    // What was remembered for the children is valid only within this
    // element's own check.
    v->speculative = 0;
    v->memo_scope = mark;
    bool ok = element_check(v, p, e);
    v->speculative = saved;
    v->memo_scope = saved_scope;
    memo_pop(v, mark);
    if (v->speculative) memo_add(v, p, e, nullptr, ok ? nullptr : RNG_FAIL);
    return ok;
}

// ---- Start ---------------------------------------------------------------------------------

namespace {

// The element patterns the start offers, through nested choices, refs and
// single-child groups (in order). `undefined` is set when the start itself
// (not one of several alternatives) is an undefined ref.
template <typename F>
bool for_start_elements(const quorvel_rng_pattern* p, int depth, F&& visit) {
    if (depth > 200) return false;
    for (int hops = 0; p; hops++) {
        if (hops > 400) return false;
        if (p->kind == kRngRef) {
            if (!p->target) return false;
            p = p->target->pattern;
        } else if (p->kind == kRngGroup && p->first_child && !p->first_child->next) {
            p = p->first_child;
        } else {
            break;
        }
    }
    if (!p) return false;
    if (p->kind == kRngElement) return visit(p);
    if (p->kind == kRngChoice)
        for (const quorvel_rng_pattern* c = p->first_child; c; c = c->next)
            if (for_start_elements(c, depth + 1, visit)) return true;
    return false;
}

// The undefined ref the start begins with, if any.
const quorvel_rng_pattern* undefined_start(const quorvel_rng_pattern* p) {
    for (int hops = 0; p && hops < 400; hops++) {
        if (p->kind == kRngRef) {
            if (!p->target) return p;
            p = p->target->pattern;
        } else if (p->kind == kRngGroup && p->first_child && !p->first_child->next) {
            p = p->first_child;
        } else {
            break;
        }
    }
    return nullptr;
}

}  // namespace

int rng_validate_document(quorvel_rng* h, quorvel_document* doc) {
    if (!h || !h->grammar || !h->grammar->start || !doc) return 0;
    rng_validation v{};
    v.grammar = h->grammar;
    v.handle = h;
    v.quiet = 1;
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) {
        h->message = rng_strdup("0:0: error: document has no root element");
        return 0;
    }
    const quorvel_rng_pattern* start = h->grammar->start;
    if (const quorvel_rng_pattern* u = undefined_start(start)) {
        v.quiet = 0;
        rng_diag(&v, 0, &root->head, "reference to undefined pattern '%s'", rng_display_name(u->name));
        h->message = rng_strdup(v.first_message);
        return 0;
    }
    bool valid = for_start_elements(start, 0, [&](const quorvel_rng_pattern* p) {
        if (rng_element_ok(&v, p, root)) return true;
        clear_latch(&v);
        return false;
    });
    memo_free(&v);
    if (valid) return 1;
    v.quiet = 0;
    clear_latch(&v);
    rng_diagnose_start(&v, start, root);
    rng_residuals_free(&v);
    memo_free(&v);
    if (h->diag_count > 0) {
        const quorvel_diag& d = h->diags[0];
        int column = (d.code == 4 || d.code == 8) ? d.third : d.column;
        char buffer[600];
        std::snprintf(buffer, sizeof buffer, "%d:%d: error: %s", d.line, column, d.message);
        h->message = rng_strdup(buffer);
    } else if (v.first_set) {
        h->message = rng_strdup(v.first_message);
    }
    return 0;
}
