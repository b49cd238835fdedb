// The document diff: subtrees with equal digests are skipped, child
// sequences are aligned (equal leading and trailing runs, then a longest
// common subsequence over digests, in pieces between children found once on
// each side where the rest is too wide) and leftover elements of the same name
// are compared in turn. Work goes through an explicit task stack, so depth
// costs heap memory, not call frames; paths are chains of shared segments,
// written out only for the ops that name them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "diff/diff.h"
#include "dom/dom.h"
#include "dom/dom.h"

namespace {

constexpr size_t kAlignLimit = 8192;

// ---- Paths ------------------------------------------------------------------------

struct path_seg {
    path_seg* parent;
    size_t refs;
    size_t total;  // bytes of the whole path
    size_t length;
    char text[1];
};

path_seg* seg_new(path_seg* parent, const char* text, size_t length) {
    auto* s = static_cast<path_seg*>(quorvel_work_alloc(sizeof(path_seg) + length));
    if (!s) return nullptr;
    s->parent = parent;
    if (parent) parent->refs++;
    s->refs = 1;
    s->total = (parent ? parent->total : 0) + length;
    s->length = length;
    std::memcpy(s->text, text, length);
    s->text[length] = '\0';
    return s;
}

void seg_release(path_seg* s) {
    while (s && --s->refs == 0) {
        path_seg* up = s->parent;
        quorvel_work_free(s);
        s = up;
    }
}

// The whole path followed by extra[0, extra_length).
char* seg_string(const path_seg* s, const char* extra, size_t extra_length) {
    size_t total = (s ? s->total : 0) + extra_length;
    auto* out = static_cast<char*>(quorvel_work_alloc(total + 1));
    if (!out) return nullptr;
    out[total] = '\0';
    std::memcpy(out + total - extra_length, extra, extra_length);
    size_t end = total - extra_length;
    for (; s; s = s->parent) {
        end -= s->length;
        std::memcpy(out + end, s->text, s->length);
    }
    return out;
}

char* dup(const char* s) {
    if (!s) s = "";
    size_t n = std::strlen(s);
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (out) std::memcpy(out, s, n + 1);
    return out;
}

// ---- Ops --------------------------------------------------------------------------

void op_clear(quorvel_diff_op* op) {
    quorvel_work_free(op->path);
    quorvel_work_free(op->name);
    quorvel_work_free(op->before);
    quorvel_work_free(op->after);
}

// A batch of ops made ahead of the nested diffs they must follow.
struct op_batch {
    quorvel_diff_op* ops = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

void batch_free(op_batch* b) {
    for (size_t i = 0; i < b->count; i++) op_clear(&b->ops[i]);
    quorvel_work_free(b->ops);
    *b = op_batch{};
}

bool batch_reserve(op_batch* b, size_t more) {
    if (b->count + more <= b->capacity) return true;
    size_t cap = b->capacity ? b->capacity : 16;
    while (cap < b->count + more) cap *= 2;
    auto* grown = static_cast<quorvel_diff_op*>(quorvel_work_realloc(b->ops, b->count * sizeof(quorvel_diff_op), cap * sizeof(quorvel_diff_op)));
    if (!grown) return false;
    b->ops = grown;
    b->capacity = cap;
    return true;
}

// Takes path, before and after (fresh strings, freed on failure; NULL ones
// mean memory ran out); copies name.
bool batch_push(op_batch* b, int kind, char* path, const char* name, char* before, char* after) {
    quorvel_diff_op op{kind, path, dup(name), before, after};
    if (!op.path || !op.name || !op.before || !op.after || !batch_reserve(b, 1)) {
        op_clear(&op);
        return false;
    }
    b->ops[b->count++] = op;
    return true;
}

// ---- Tasks ------------------------------------------------------------------------

struct task {
    const quorvel_element* a;  // NULL: a batch of ops
    const quorvel_element* b;
    path_seg* path;
    op_batch ops;
};

struct task_stack {
    task* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

bool task_push(task_stack* s, const task& t) {
    if (s->count == s->capacity) {
        size_t cap = s->capacity ? s->capacity * 2 : 64;
        auto* grown = static_cast<task*>(quorvel_work_realloc(s->items, s->count * sizeof(task), cap * sizeof(task)));
        if (!grown) return false;
        s->items = grown;
        s->capacity = cap;
    }
    s->items[s->count++] = t;
    return true;
}

void task_drop(task* t) {
    seg_release(t->path);
    batch_free(&t->ops);
}

// ---- Per-call state ------------------------------------------------------------------

struct diff_ctx {
    unsigned flags;
    digest_memo memo;
    op_batch out;
    task_stack tasks;
    int status = 0;
};

struct child {
    const quorvel_node* node;
    uint64_t digest;
};

struct child_list {
    child* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    ~child_list() { quorvel_work_free(items); }
};

bool collect_children(diff_ctx* ctx, const quorvel_element* e, child_list* out) {
    for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) {
        if ((ctx->flags & QUORVEL_DIGEST_SKIP_WHITESPACE) && digest_blank_text(c)) continue;
        uint64_t d = 0;
        if (c->kind == QUORVEL_NODE_ELEMENT) {
            if (!digest_memo_find(&ctx->memo, reinterpret_cast<const quorvel_element*>(c), &d)) {
                bool failed = false;
                d = digest_node(c, ctx->flags, &ctx->memo, &failed);
                if (failed) return false;
            }
        } else {
            bool failed = false;
            d = digest_node(c, ctx->flags, nullptr, &failed);
        }
        if (out->count == out->capacity) {
            size_t cap = out->capacity ? out->capacity * 2 : 32;
            auto* grown = static_cast<child*>(quorvel_work_realloc(out->items, out->count * sizeof(child), cap * sizeof(child)));
            if (!grown) return false;
            out->items = grown;
            out->capacity = cap;
        }
        out->items[out->count++] = child{c, d};
    }
    return true;
}

uint64_t element_digest(diff_ctx* ctx, const quorvel_element* e, bool* failed) {
    uint64_t d = 0;
    if (digest_memo_find(&ctx->memo, e, &d)) return d;
    return digest_node(reinterpret_cast<const quorvel_node*>(e), ctx->flags, &ctx->memo, failed);
}

char* dup_n(const char* s, size_t n) {
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!out) return nullptr;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

// A text node's content as a fresh string.
char* text_copy(const quorvel_node* n) {
    size_t len = 0;
    const char* s = digest_text(n, &len);
    return dup_n(s, len);
}

bool same_text(const quorvel_node* x, const quorvel_node* y) {
    size_t nx = 0, ny = 0;
    const char* sx = digest_text(x, &nx);
    const char* sy = digest_text(y, &ny);
    return nx == ny && std::memcmp(sx, sy, nx) == 0;
}

// The value as readers see it, as a fresh string.
char* attr_value_copy(const quorvel_attribute* a) {
    size_t decoded = digest_value_decoded_length(a);
    size_t n = 0;
    const char* stored = digest_value_stored(a, &n);
    size_t len = decoded == SIZE_MAX ? n : decoded;
    auto* out = static_cast<char*>(quorvel_work_alloc(len + 1));
    if (!out) return nullptr;
    if (decoded == SIZE_MAX)
        std::memcpy(out, stored, n);
    else
        digest_value_decode(a, out);
    out[len] = '\0';
    return out;
}

const quorvel_attribute* find_attr(const quorvel_element* e, const char* name) {
    for (const quorvel_attribute* x = quorvel_elem_first_attr(e); x; x = quorvel_attr_next(x))
        if (!digest_is_declaration(x) && std::strcmp(x->name ? x->name : "", name) == 0) return x;
    return nullptr;
}

bool diff_attributes(const quorvel_element* a, const quorvel_element* b, const path_seg* path, op_batch* out) {
    for (const quorvel_attribute* x = quorvel_elem_first_attr(a); x; x = quorvel_attr_next(x)) {
        if (digest_is_declaration(x)) continue;
        const char* name = x->name ? x->name : "";
        const quorvel_attribute* y = find_attr(b, name);
        char* before = attr_value_copy(x);
        char* after = y ? attr_value_copy(y) : dup("");
        if (!before || !after) {
            quorvel_work_free(before);
            quorvel_work_free(after);
            return false;
        }
        if (y && std::strcmp(before, after) == 0) {
            quorvel_work_free(before);
            quorvel_work_free(after);
            continue;
        }
        if (!batch_push(out, QUORVEL_DIFF_ATTRIBUTE_CHANGED, seg_string(path, "", 0), name, before, after))
            return false;
    }
    for (const quorvel_attribute* y = quorvel_elem_first_attr(b); y; y = quorvel_attr_next(y)) {
        if (digest_is_declaration(y)) continue;
        const char* name = y->name ? y->name : "";
        if (find_attr(a, name)) continue;
        char* after = attr_value_copy(y);
        if (!after) return false;
        if (!batch_push(out, QUORVEL_DIFF_ATTRIBUTE_CHANGED, seg_string(path, "", 0), name, dup(""), after))
            return false;
    }
    return true;
}

bool same_prefix(const char* p, const char* q) { return (!p || !q) ? p == q : std::strcmp(p, q) == 0; }

// Index of the declaration of prefix on e, or SIZE_MAX; *uri receives its URI.
size_t find_decl(const quorvel_element* e, const char* prefix, const char** uri) {
    const char* p;
    const char* u;
    for (size_t i = 0; element_namespace_decl_at(e, i, &p, &u); i++)
        if (same_prefix(p, prefix)) {
            *uri = u;
            return i;
        }
    return SIZE_MAX;
}

bool push_decl_op(op_batch* out, const path_seg* path, const char* prefix, const char* before, const char* after) {
    size_t n = prefix ? std::strlen(prefix) : 0;
    auto* name = static_cast<char*>(quorvel_work_alloc(n + 7));
    if (!name) return false;
    std::memcpy(name, "xmlns", 5);
    if (prefix) {
        name[5] = ':';
        std::memcpy(name + 6, prefix, n + 1);
    } else {
        name[5] = '\0';
    }
    bool ok = batch_push(out, QUORVEL_DIFF_ATTRIBUTE_CHANGED, seg_string(path, "", 0), name, dup(before), dup(after));
    quorvel_work_free(name);
    return ok;
}

bool diff_declarations(const quorvel_element* a, const quorvel_element* b, const path_seg* path, op_batch* out) {
    const char* prefix;
    const char* uri;
    for (size_t i = 0; element_namespace_decl_at(a, i, &prefix, &uri); i++) {
        const char* other = nullptr;
        size_t at = find_decl(b, prefix, &other);
        if (at == SIZE_MAX || !other) {
            if (!push_decl_op(out, path, prefix, uri, "")) return false;
        } else if (std::strcmp(uri ? uri : "", other) != 0) {
            if (!push_decl_op(out, path, prefix, uri, other)) return false;
        }
    }
    for (size_t i = 0; element_namespace_decl_at(b, i, &prefix, &uri); i++) {
        const char* other = nullptr;
        if (find_decl(a, prefix, &other) == SIZE_MAX && !push_decl_op(out, path, prefix, "", uri)) return false;
    }
    return true;
}

// 1-based position of list[index] among the elements of list with its
// name, and how many there are.
void name_position(const child_list& list, size_t index, size_t* position, size_t* total) {
    const char* name = quorvel_element_get_name(reinterpret_cast<const quorvel_element*>(list.items[index].node));
    if (!name) name = "";
    *position = 0;
    *total = 0;
    for (size_t i = 0; i < list.count; i++) {
        const quorvel_node* n = list.items[i].node;
        if (n->kind != QUORVEL_NODE_ELEMENT) continue;
        const char* other = quorvel_element_get_name(reinterpret_cast<const quorvel_element*>(n));
        if (std::strcmp(other ? other : "", name) != 0) continue;
        ++*total;
        if (i == index) *position = *total;
    }
}

// "/name" or "/name[k]" into a fresh string.
char* child_segment(const char* name, size_t k, bool with_index) {
    size_t n = std::strlen(name) + 32;
    auto* out = static_cast<char*>(quorvel_work_alloc(n));
    if (!out) return nullptr;
    if (with_index)
        std::snprintf(out, n, "/%s[%zu]", name, k);
    else
        std::snprintf(out, n, "/%s", name);
    return out;
}

const char* node_name(const quorvel_node* n) {
    if (n->kind != QUORVEL_NODE_ELEMENT) return "#node";
    const char* name = quorvel_element_get_name(reinterpret_cast<const quorvel_element*>(n));
    return name ? name : "";
}

struct gap {
    size_t rem_start, rem_count, add_start, add_count;
};

// Processes one gap: the pairs to compare go to pairs (as tasks), the ops
// that follow them to ops.
bool process_gap(diff_ctx* ctx, const child_list& ca, const child_list& cb, const size_t* rem, size_t nrem,
                 const size_t* add, size_t nadd, path_seg* path, task_stack* pairs, op_batch* ops) {
    auto* marks = static_cast<unsigned char*>(quorvel_work_calloc((nrem + nadd + 1) * (1)));
    if (!marks) return false;
    unsigned char* rmark = marks;
    unsigned char* amark = marks + nrem;
    bool ok = true;
    // Pairs never cross: a pair after another on one side is after it on the
    // other too, so the report can be applied in order (it has no moves).
    size_t next_add = 0;
    for (size_t i = 0; ok && i < nrem; i++) {
        const quorvel_node* r = ca.items[rem[i]].node;
        if (r->kind != QUORVEL_NODE_ELEMENT) continue;
        const char* name = node_name(r);
        for (size_t j = next_add; j < nadd; j++) {
            const quorvel_node* x = cb.items[add[j]].node;
            if (x->kind != QUORVEL_NODE_ELEMENT || std::strcmp(node_name(x), name) != 0) continue;
            rmark[i] = amark[j] = 1;
            next_add = j + 1;
            size_t k, total;
            name_position(cb, add[j], &k, &total);
            char* segment = child_segment(name, k, total >= 2);
            path_seg* s = segment ? seg_new(path, segment, std::strlen(segment)) : nullptr;
            quorvel_work_free(segment);
            if (!s) {
                ok = false;
                break;
            }
            task t{reinterpret_cast<const quorvel_element*>(r), reinterpret_cast<const quorvel_element*>(x), s, {}};
            if (!task_push(pairs, t)) {
                seg_release(s);
                ok = false;
            }
            break;
        }
    }
    for (size_t j = 0; ok && j < nadd; j++) {
        const quorvel_node* x = cb.items[add[j]].node;
        if (amark[j] || x->kind != QUORVEL_NODE_TEXT) continue;
        amark[j] = 1;
        size_t partner = SIZE_MAX;
        for (size_t i = 0; i < nrem; i++)
            if (!rmark[i] && ca.items[rem[i]].node->kind == QUORVEL_NODE_TEXT) {
                partner = i;
                break;
            }
        size_t now_length = 0;
        digest_text(x, &now_length);
        if (partner != SIZE_MAX) {
            rmark[partner] = 1;
            const quorvel_node* was = ca.items[rem[partner]].node;
            if (!same_text(was, x))
                ok = batch_push(ops, QUORVEL_DIFF_TEXT_CHANGED, seg_string(path, "", 0), "", text_copy(was),
                                text_copy(x));
        } else if (now_length) {
            ok = batch_push(ops, QUORVEL_DIFF_TEXT_CHANGED, seg_string(path, "", 0), "", dup(""), text_copy(x));
        }
    }
    for (size_t i = 0; ok && i < nrem; i++) {
        const quorvel_node* r = ca.items[rem[i]].node;
        if (rmark[i] || r->kind != QUORVEL_NODE_TEXT) continue;
        rmark[i] = 1;
        ok = batch_push(ops, QUORVEL_DIFF_TEXT_CHANGED, seg_string(path, "", 0), "", text_copy(r), dup(""));
    }
    auto unmatched = [&](const child_list& list, size_t index, int kind) {
        const quorvel_node* n = list.items[index].node;
        size_t k = 0, total = 0;
        if (n->kind == QUORVEL_NODE_ELEMENT) name_position(list, index, &k, &total);
        char* segment = child_segment(n->kind == QUORVEL_NODE_ELEMENT ? node_name(n) : "", k, true);
        if (!segment) return false;
        bool pushed = batch_push(ops, kind, seg_string(path, segment, std::strlen(segment)), node_name(n), dup(""),
                                 dup(""));
        quorvel_work_free(segment);
        return pushed;
    };
    for (size_t i = 0; ok && i < nrem; i++)
        if (!rmark[i]) ok = unmatched(ca, rem[i], QUORVEL_DIFF_REMOVED);
    for (size_t j = 0; ok && j < nadd; j++)
        if (!amark[j]) ok = unmatched(cb, add[j], QUORVEL_DIFF_ADDED);
    quorvel_work_free(marks);
    (void)ctx;
    return ok;
}

// Anchors for a rest too wide for one table: the children whose digest
// occurs exactly once in xa[0, n) and once in xb[0, m), as pairs of
// positions, kept where they form the longest chain rising on both sides.
// False when memory runs out.
bool find_anchors(const child* xa, size_t n, const child* xb, size_t m, size_t** out_a, size_t** out_b,
                  size_t* count) {
    *out_a = *out_b = nullptr;
    *count = 0;
    // Open addressing over digests: for each, its position on each side, or
    // SIZE_MAX once it is seen twice there.
    struct slot {
        uint64_t digest;
        size_t at_a;
        size_t at_b;
        bool used;
    };
    size_t capacity = 16;
    while (capacity < 2 * (n + m)) capacity *= 2;
    auto* slots = static_cast<slot*>(quorvel_work_calloc(capacity * sizeof(slot)));
    auto* pair_b = static_cast<size_t*>(quorvel_work_alloc((n + 1) * sizeof(size_t)));
    auto* pair_a = static_cast<size_t*>(quorvel_work_alloc((n + 1) * sizeof(size_t)));
    auto* tails = static_cast<size_t*>(quorvel_work_alloc((n + 1) * sizeof(size_t)));
    auto* before = static_cast<size_t*>(quorvel_work_alloc((n + 1) * sizeof(size_t)));
    auto done = [&](bool ok) {
        quorvel_work_free(slots);
        quorvel_work_free(pair_b);
        quorvel_work_free(pair_a);
        quorvel_work_free(tails);
        quorvel_work_free(before);
        return ok;
    };
    if (!slots || !pair_b || !pair_a || !tails || !before) return done(false);
    constexpr size_t kNone = SIZE_MAX - 1;  // not seen on that side
    auto find = [&](uint64_t d) -> slot& {
        size_t mask = capacity - 1;
        for (size_t i = static_cast<size_t>(d ^ (d >> 31)) & mask;; i = (i + 1) & mask)
            if (!slots[i].used || slots[i].digest == d) return slots[i];
    };
    for (size_t i = 0; i < n; i++) {
        slot& s = find(xa[i].digest);
        if (!s.used) s = slot{xa[i].digest, i, kNone, true};
        else s.at_a = s.at_a == kNone ? i : SIZE_MAX;
    }
    for (size_t j = 0; j < m; j++) {
        slot& s = find(xb[j].digest);
        if (!s.used) s = slot{xb[j].digest, kNone, j, true};
        else s.at_b = s.at_b == kNone ? j : SIZE_MAX;
    }
    // Pairs in rising order of a, then the longest chain rising in b.
    size_t pairs = 0;
    for (size_t i = 0; i < n; i++) {
        const slot& s = find(xa[i].digest);
        if (s.at_a == i && s.at_b < kNone) {
            pair_a[pairs] = i;
            pair_b[pairs++] = s.at_b;
        }
    }
    size_t length = 0;  // tails[k]: the pair ending the best chain of k + 1
    for (size_t p = 0; p < pairs; p++) {
        size_t lo = 0, hi = length;
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (pair_b[tails[mid]] < pair_b[p]) lo = mid + 1;
            else hi = mid;
        }
        before[p] = lo ? tails[lo - 1] : SIZE_MAX;
        tails[lo] = p;
        if (lo == length) length++;
    }
    if (!length) return done(true);
    *out_a = static_cast<size_t*>(quorvel_work_alloc(length * sizeof(size_t)));
    *out_b = static_cast<size_t*>(quorvel_work_alloc(length * sizeof(size_t)));
    if (!*out_a || !*out_b) {
        quorvel_work_free(*out_a);
        quorvel_work_free(*out_b);
        *out_a = *out_b = nullptr;
        return done(false);
    }
    size_t k = length;
    for (size_t p = tails[length - 1]; p != SIZE_MAX; p = before[p]) {
        k--;
        (*out_a)[k] = pair_a[p];
        (*out_b)[k] = pair_b[p];
    }
    *count = length;
    return done(true);
}

// Aligns the children of a and b and queues the work that follows: for each
// gap, from the last to the first, the nested diffs of its pairs, then its ops.
bool diff_children(diff_ctx* ctx, const quorvel_element* a, const quorvel_element* b, path_seg* path) {
    child_list ca, cb;
    if (!collect_children(ctx, a, &ca) || !collect_children(ctx, b, &cb)) return false;
    // The trailing run first: the alignment is read from the end, so a run
    // of equal children pairs up with the last ones.
    size_t trail = 0;
    while (trail < ca.count && trail < cb.count &&
           ca.items[ca.count - 1 - trail].digest == cb.items[cb.count - 1 - trail].digest)
        trail++;
    size_t lead = 0;
    while (lead < ca.count - trail && lead < cb.count - trail && ca.items[lead].digest == cb.items[lead].digest)
        lead++;
    size_t n = ca.count - lead - trail, m = cb.count - lead - trail;
    if (n == 0 && m == 0) return true;
    const child* xa = ca.items + lead;
    const child* xb = cb.items + lead;
    // A rest too wide for one table is cut at anchors (children whose digest
    // occurs once on each side, in the same order) into pieces aligned one by
    // one; a piece still too wide fails the diff.
    size_t* anchor_a = nullptr;
    size_t* anchor_b = nullptr;
    size_t anchors = 0;
    if ((n > kAlignLimit || m > kAlignLimit) && !find_anchors(xa, n, xb, m, &anchor_a, &anchor_b, &anchors))
        return false;
    auto piece = [&](size_t k, size_t* sa, size_t* ea, size_t* sb, size_t* eb) {
        *sa = k ? anchor_a[k - 1] + 1 : 0;
        *sb = k ? anchor_b[k - 1] + 1 : 0;
        *ea = k < anchors ? anchor_a[k] : n;
        *eb = k < anchors ? anchor_b[k] : m;
    };
    for (size_t k = 0; k <= anchors; k++) {
        size_t sa, ea, sb, eb;
        piece(k, &sa, &ea, &sb, &eb);
        if (ea - sa <= kAlignLimit && eb - sb <= kAlignLimit) continue;
        char* where = seg_string(path, "", 0);
        quorvel_set_last_errorf("diff: cannot align %zu against %zu differing children of %s (at most %zu each)",
                                ea - sa, eb - sb, where ? where : "an element", kAlignLimit);
        quorvel_work_free(where);
        quorvel_work_free(anchor_a);
        quorvel_work_free(anchor_b);
        ctx->status = -5;
        return false;
    }
    // The walk back gathers removed and added indices per gap; each piece's
    // table goes before the next is made, and all before anything nested is
    // queued.
    auto* rem = static_cast<size_t*>(quorvel_work_alloc((n + 1) * sizeof(size_t)));
    auto* add = static_cast<size_t*>(quorvel_work_alloc((m + 1) * sizeof(size_t)));
    auto* gaps = static_cast<gap*>(quorvel_work_alloc((n + m + 1) * sizeof(gap)));
    auto release = [&] {
        quorvel_work_free(rem);
        quorvel_work_free(add);
        quorvel_work_free(gaps);
        quorvel_work_free(anchor_a);
        quorvel_work_free(anchor_b);
    };
    if (!rem || !add || !gaps) {
        release();
        return false;
    }
    size_t nrem = 0, nadd = 0, ngaps = 0;
    gap current{0, 0, 0, 0};
    auto close_gap = [&] {
        if (nrem - current.rem_start || nadd - current.add_start) {
            current.rem_count = nrem - current.rem_start;
            current.add_count = nadd - current.add_start;
            gaps[ngaps++] = current;
        }
        current = gap{nrem, 0, nadd, 0};
    };
    for (size_t k = anchors + 1; k-- > 0;) {
        size_t sa, ea, sb, eb;
        piece(k, &sa, &ea, &sb, &eb);
        const child* pa = xa + sa;
        const child* pb = xb + sb;
        size_t pn = ea - sa, pm = eb - sb;
        size_t cols = pm + 1;
        auto* table = static_cast<uint16_t*>(quorvel_work_calloc((pn + 1) * cols * sizeof(uint16_t)));
        if (!table) {
            release();
            return false;
        }
        for (size_t i = 1; i <= pn; i++)
            for (size_t j = 1; j <= pm; j++) {
                uint16_t up = table[(i - 1) * cols + j], left = table[i * cols + j - 1];
                table[i * cols + j] = pa[i - 1].digest == pb[j - 1].digest
                                          ? static_cast<uint16_t>(table[(i - 1) * cols + j - 1] + 1)
                                          : (up > left ? up : left);
            }
        size_t i = pn, j = pm;
        while (i > 0 && j > 0) {
            if (pa[i - 1].digest == pb[j - 1].digest) {
                close_gap();
                i--;
                j--;
            } else if (table[(i - 1) * cols + j] < table[i * cols + j - 1]) {
                add[nadd++] = lead + sb + --j;
            } else {
                rem[nrem++] = lead + sa + --i;
            }
        }
        while (i > 0) rem[nrem++] = lead + sa + --i;
        while (j > 0) add[nadd++] = lead + sb + --j;
        quorvel_work_free(table);
        if (k) close_gap();  // the anchor before this piece is a match
    }
    close_gap();
    // Each gap's lists were gathered backwards.
    for (size_t g = 0; g < ngaps; g++) {
        for (size_t p = 0, q = gaps[g].rem_count; p < q / 2; p++) {
            size_t t = rem[gaps[g].rem_start + p];
            rem[gaps[g].rem_start + p] = rem[gaps[g].rem_start + q - 1 - p];
            rem[gaps[g].rem_start + q - 1 - p] = t;
        }
        for (size_t p = 0, q = gaps[g].add_count; p < q / 2; p++) {
            size_t t = add[gaps[g].add_start + p];
            add[gaps[g].add_start + p] = add[gaps[g].add_start + q - 1 - p];
            add[gaps[g].add_start + q - 1 - p] = t;
        }
    }
    // gaps[0] is the last gap and runs first, so it is queued last; within a
    // gap the ops follow the pairs, so they are queued first.
    bool ok = true;
    for (size_t g = ngaps; ok && g-- > 0;) {
        task_stack pairs;
        op_batch ops;
        ok = process_gap(ctx, ca, cb, rem + gaps[g].rem_start, gaps[g].rem_count, add + gaps[g].add_start,
                         gaps[g].add_count, path, &pairs, &ops);
        if (ok && ops.count) {
            task t{nullptr, nullptr, nullptr, ops};
            ok = task_push(&ctx->tasks, t);
            if (ok) ops = op_batch{};
        }
        for (size_t p = pairs.count; p-- > 0;) {
            if (ok && task_push(&ctx->tasks, pairs.items[p])) continue;
            ok = false;
            task_drop(&pairs.items[p]);
        }
        batch_free(&ops);
        quorvel_work_free(pairs.items);
    }
    release();
    return ok;
}

bool diff_element(diff_ctx* ctx, const quorvel_element* a, const quorvel_element* b, path_seg* path) {
    bool failed = false;
    uint64_t da = element_digest(ctx, a, &failed);
    uint64_t db = element_digest(ctx, b, &failed);
    if (failed) return false;
    if (da == db) return true;
    if (!diff_attributes(a, b, path, &ctx->out) || !diff_declarations(a, b, path, &ctx->out)) return false;
    return diff_children(ctx, a, b, path);
}

bool append_batch(op_batch* out, op_batch* in) {
    if (!batch_reserve(out, in->count)) return false;
    std::memcpy(static_cast<void*>(out->ops + out->count), in->ops, in->count * sizeof(quorvel_diff_op));
    out->count += in->count;
    quorvel_work_free(in->ops);
    *in = op_batch{};
    return true;
}

bool run(diff_ctx* ctx) {
    while (ctx->tasks.count) {
        task t = ctx->tasks.items[--ctx->tasks.count];
        bool ok = t.a ? diff_element(ctx, t.a, t.b, t.path) : append_batch(&ctx->out, &t.ops);
        task_drop(&t);
        if (!ok) return false;
    }
    return true;
}

bool root_op(op_batch* out, int kind, const quorvel_element* e) {
    return batch_push(out, kind, dup("/"), quorvel_element_get_name(e), dup(""), dup(""));
}

quorvel_diff_list* fail(diff_ctx* ctx, int* status) {
    for (size_t i = 0; i < ctx->tasks.count; i++) task_drop(&ctx->tasks.items[i]);
    quorvel_work_free(ctx->tasks.items);
    batch_free(&ctx->out);
    digest_memo_free(&ctx->memo);
    if (status) *status = ctx->status ? ctx->status : -1;
    return nullptr;
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_diff_list* quorvel_diff(const quorvel_document* a, const quorvel_document* b, unsigned flags,
                                            int* status) {
    if (status) *status = 0;
    if (!a || !b) {
        if (status) *status = -4;
        return nullptr;
    }
    diff_ctx ctx{};
    ctx.flags = digest_flags_from_environment(flags & QUORVEL_DIGEST_SKIP_WHITESPACE);
    const quorvel_element* ra = quorvel_document_root(const_cast<quorvel_document*>(a));
    const quorvel_element* rb = quorvel_document_root(const_cast<quorvel_document*>(b));
    bool ok = true;
    if (ra && rb) {
        const char* na = quorvel_element_get_name(ra);
        const char* nb = quorvel_element_get_name(rb);
        if (std::strcmp(na ? na : "", nb ? nb : "") != 0) {
            ok = root_op(&ctx.out, QUORVEL_DIFF_REMOVED, ra) && root_op(&ctx.out, QUORVEL_DIFF_ADDED, rb);
        } else {
            char* segment = child_segment(na ? na : "", 0, false);
            path_seg* s = segment ? seg_new(nullptr, segment, std::strlen(segment)) : nullptr;
            quorvel_work_free(segment);
            ok = s && task_push(&ctx.tasks, task{ra, rb, s, {}});
            if (!ok) seg_release(s);
            ok = ok && run(&ctx);
        }
    } else if (ra) {
        ok = root_op(&ctx.out, QUORVEL_DIFF_REMOVED, ra);
    } else if (rb) {
        ok = root_op(&ctx.out, QUORVEL_DIFF_ADDED, rb);
    }
    if (!ok) return fail(&ctx, status);
    auto* list = static_cast<quorvel_diff_list*>(quorvel_work_alloc(sizeof(quorvel_diff_list)));
    if (!list) return fail(&ctx, status);
    quorvel_work_free(ctx.tasks.items);
    digest_memo_free(&ctx.memo);
    list->ops = ctx.out.ops;
    list->count = ctx.out.count;
    list->capacity = ctx.out.capacity;
    return list;
}

QUORVEL_API void quorvel_diff_free(quorvel_diff_list* list) {
    if (!list) return;
    for (size_t i = 0; i < list->count; i++) op_clear(&list->ops[i]);
    quorvel_work_free(list->ops);
    quorvel_work_free(list);
}

QUORVEL_API size_t quorvel_diff_op_count(const quorvel_diff_list* list) { return list ? list->count : 0; }

QUORVEL_API int quorvel_diff_op_type(const quorvel_diff_list* list, size_t index) {
    return list && index < list->count ? list->ops[index].kind : 0;
}

static const char* op_string(const quorvel_diff_list* list, size_t index, char* quorvel_diff_op::*field) {
    if (!list || index >= list->count) return nullptr;
    const char* s = list->ops[index].*field;
    return s ? s : "";
}

QUORVEL_API const char* quorvel_diff_op_path(const quorvel_diff_list* list, size_t index) {
    return op_string(list, index, &quorvel_diff_op::path);
}
QUORVEL_API const char* quorvel_diff_op_name(const quorvel_diff_list* list, size_t index) {
    return op_string(list, index, &quorvel_diff_op::name);
}
QUORVEL_API const char* quorvel_diff_op_before(const quorvel_diff_list* list, size_t index) {
    return op_string(list, index, &quorvel_diff_op::before);
}
QUORVEL_API const char* quorvel_diff_op_after(const quorvel_diff_list* list, size_t index) {
    return op_string(list, index, &quorvel_diff_op::after);
}

QUORVEL_API char* quorvel_diff_serialize(const quorvel_diff_list* list) {
    size_t size = 64;
    size_t count = list ? list->count : 0;
    auto len = [](const char* s) { return s ? std::strlen(s) : 0; };
    for (size_t i = 0; i < count; i++) {
        const quorvel_diff_op& op = list->ops[i];
        size += len(op.path) + len(op.name) + len(op.before) + len(op.after) + 32;
    }
    auto* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < count; i++) {
        const quorvel_diff_op& op = list->ops[i];
        const char* path = op.path ? op.path : "";
        const char* name = op.name ? op.name : "";
        const char* before = op.before ? op.before : "";
        const char* after = op.after ? op.after : "";
        int w;
        switch (op.kind) {
            case QUORVEL_DIFF_ADDED: w = std::snprintf(out + at, size - at, "+ %s <%s>\n", path, name); break;
            case QUORVEL_DIFF_TEXT_CHANGED:
                w = std::snprintf(out + at, size - at, "~ %s \"%s\" -> \"%s\"\n", path, before, after);
                break;
            case QUORVEL_DIFF_ATTRIBUTE_CHANGED:
                w = std::snprintf(out + at, size - at, "- %s @%s \"%s\" -> \"%s\"\n", path, name, before, after);
                break;
            default: w = std::snprintf(out + at, size - at, "x %s <%s>\n", path, name); break;
        }
        if (w > 0) at += static_cast<size_t>(w);
    }
    return out;
}

}  // extern "C"
