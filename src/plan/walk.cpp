// The document walk: one pass over an element's subtree that applies a
// compiled plan and builds the result in its arena.
//
// The walk keeps its own stack of element frames instead of recursing, and
// tracks the namespace bindings in scope as it descends, so neither deep
// documents nor namespace lookups cost more than the elements visited.
// Every string it keeps is copied straight into the result's arena; the
// document is only read.
#include <cstring>

#include "dom/dom.h"
#include "plan/plan.h"

namespace {

// ---- Namespace bindings in scope ------------------------------------------------------

// Bindings pushed per element, with a hash table from prefix ("" for the
// default namespace) to its innermost binding; popping restores the
// shadowed one.
class ns_scope {
public:
    ~ns_scope() { quorvel_work_free(table_); }

    bool push(const char* prefix, const char* uri) {
        if (!prefix) prefix = "";
        size_t len = std::strlen(prefix);
        if ((used_ + 1) * 2 > capacity_ && !rehash(capacity_ ? capacity_ * 2 : 64)) return false;
        size_t slot = find_slot(prefix, len);
        slot_rec& s = table_[slot];
        if (!s.prefix) {
            s.prefix = prefix;
            s.length = len;
            s.top = -1;
            used_++;
        }
        binding b{static_cast<uint32_t>(slot), s.top, uri};
        if (!bindings_.push(b)) return false;
        s.top = static_cast<int64_t>(bindings_.size - 1);
        return true;
    }

    size_t mark() const { return bindings_.size; }

    void pop_to(size_t mark) {
        while (bindings_.size > mark) {
            const binding& b = bindings_.data[--bindings_.size];
            table_[b.slot].top = b.shadowed;
        }
    }

    // The URI bound to the prefix, "" for an undeclaration, NULL when none.
    const char* lookup(const char* prefix, size_t len) const {
        if (!capacity_) return nullptr;
        size_t slot = find_slot(prefix, len);
        const slot_rec& s = table_[slot];
        if (!s.prefix || s.top < 0) return nullptr;
        return bindings_.data[s.top].uri;
    }

private:
    struct slot_rec {
        const char* prefix;  // NULL: free slot
        size_t length;
        int64_t top;  // innermost binding, -1 for none
    };
    struct binding {
        uint32_t slot;
        int64_t shadowed;
        const char* uri;
    };

    static size_t hash(const char* s, size_t n) {
        uint64_t h = 1469598103934665603ull ^ quorvel_hash_seed();
        for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ull;
        return static_cast<size_t>(h ^ (h >> 29));
    }

    size_t find_slot(const char* prefix, size_t len) const {
        size_t mask = capacity_ - 1;
        for (size_t i = hash(prefix, len) & mask;; i = (i + 1) & mask) {
            const slot_rec& s = table_[i];
            if (!s.prefix || (s.length == len && std::memcmp(s.prefix, prefix, len) == 0)) return i;
        }
    }

    bool rehash(size_t capacity) {
        auto* fresh = static_cast<slot_rec*>(quorvel_work_calloc(capacity * sizeof(slot_rec)));
        if (!fresh) return false;
        slot_rec* old = table_;
        size_t old_capacity = capacity_;
        table_ = fresh;
        capacity_ = capacity;
        // Bindings name their slot: move each slot and renumber its bindings.
        for (size_t i = 0; i < old_capacity; i++) {
            if (!old[i].prefix) continue;
            size_t slot = find_slot(old[i].prefix, old[i].length);
            table_[slot] = old[i];
            for (int64_t b = old[i].top; b >= 0; b = bindings_.data[b].shadowed)
                bindings_.data[b].slot = static_cast<uint32_t>(slot);
        }
        // Bindings already shadowed and popped keep no slot; those still
        // pushed but shadowed are reached through the chains above.
        quorvel_work_free(old);
        return true;
    }

    slot_rec* table_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;
    plan_vec<binding> bindings_;
};

// Calls f(prefix, uri) for each declaration made on e itself.
template <typename F>
bool for_each_declaration(const quorvel_element* e, F&& f) {
    const char *prefix, *uri;
    for (size_t i = 0; element_namespace_decl_at(e, i, &prefix, &uri); i++)
        if (!f(prefix, uri)) return false;
    return true;
}

// n bytes of a and b equal. Names are mostly short: up to 16 bytes they
// are compared inline, by two overlapping words.
inline bool same_bytes(const char* a, const char* b, size_t n) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
        uint64_t x0, y0, x1, y1;
        std::memcpy(&x0, a, 8);
        std::memcpy(&y0, b, 8);
        std::memcpy(&x1, a + n - 8, 8);
        std::memcpy(&y1, b + n - 8, 8);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n >= 4) {
        uint32_t x0, y0, x1, y1;
        std::memcpy(&x0, a, 4);
        std::memcpy(&y0, b, 4);
        std::memcpy(&x1, a + n - 4, 4);
        std::memcpy(&y1, b + n - 4, 4);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    // First, middle and last byte: every byte of a shorter run.
    return n == 0 || (a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1]);
}

// False when e certainly declares no namespace (no declaration record and
// no attribute named like one): the walk then skips the lookup.
bool may_declare(const quorvel_element* e) {
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ext && ext->ns_decls) return true;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (a->name_length >= 5 && a->name && std::memcmp(a->name, "xmlns", 5) == 0) return true;
    return false;
}

// The binding of prefix (NULL or "": the default namespace) for element e,
// whose own declarations are not in scope yet: e's declarations first,
// then the scope. NULL for none or an undeclaration.
const char* resolve_for(const quorvel_element* e, const ns_scope& scope, const char* prefix, size_t len) {
    if (!prefix) {
        prefix = "";
        len = 0;
    }
    const char* found = nullptr;
    bool own = false;
    if (may_declare(e)) for_each_declaration(e, [&](const char* p, const char* u) {
        const char* pp = p ? p : "";
        if (std::strlen(pp) == len && std::memcmp(pp, prefix, len) == 0) {
            found = u;
            own = true;
            return false;
        }
        return true;
    });
    if (!own) found = scope.lookup(prefix, len);
    if (!found && len == 3 && std::memcmp(prefix, "xml", 3) == 0) found = kXmlNamespaceUri;
    return found && *found ? found : nullptr;
}

// ---- Document reading -----------------------------------------------------------------

inline size_t position_of(const quorvel_node* n) { return n->source_pos ? n->source_pos - 1 : 0; }

inline quorvel_node* chain_next(const quorvel_node* n) {
    quorvel_node* next = quorvel_node_next_raw(n);
    return next && quorvel_node_chain_kind(next) ? next : nullptr;
}
inline quorvel_node* first_child_of(const quorvel_element* e) {
    quorvel_node* c = quorvel_elem_first_child_raw(e);
    return c && quorvel_node_chain_kind(c) ? c : nullptr;
}

// Content of a text node, read by its stored length when it is counted.
const char* text_run(const quorvel_text* t, size_t* length) {
    const char* s = quorvel_text_link_get(t, &t->content);
    if (!s) {
        *length = 0;
        return "";
    }
    *length = (t->head.flags & kTextCounted) ? t->length : std::strlen(s);
    return s;
}

// Calls emit(bytes, length) for every text run below e in document order.
// Climbs back through parent links, so it needs no memory.
template <typename Emit>
void for_each_text(const quorvel_element* e, Emit&& emit) {
    quorvel_node* c = first_child_of(e);
    while (c) {
        switch (c->kind) {
            case QUORVEL_NODE_TEXT: {
                size_t n;
                const char* s = text_run(reinterpret_cast<quorvel_text*>(c), &n);
                emit(s, n);
                break;
            }
            case QUORVEL_NODE_CDATA:
                if (const char* s = reinterpret_cast<quorvel_comment*>(c)->content) emit(s, std::strlen(s));
                break;
            case QUORVEL_NODE_ENTITY_REF:
                if (const char* s = quorvel_entity_ref_resolve(c)) emit(s, std::strlen(s));
                break;
            case QUORVEL_NODE_ELEMENT:
                if (quorvel_node* child = first_child_of(reinterpret_cast<quorvel_element*>(c))) {
                    c = child;
                    continue;
                }
                break;
            default: break;
        }
        // Next in document order, climbing out of finished elements.
        for (;;) {
            if (quorvel_node* next = chain_next(c)) {
                c = next;
                break;
            }
            quorvel_node* parent = quorvel_node_parent_raw(c);
            if (!parent || parent == &e->head) {
                c = nullptr;
                break;
            }
            c = parent;
        }
    }
}

// ---- Walk state ----------------------------------------------------------------------

struct kid {
    quorvel_element* element;
    const char* local;   // NULL for an unnamed element
    const char* prefix;  // NULL for none
    const char* uri;     // resolved on first use
    uint16_t hash;       // the element's stored hash of its local name
    uint8_t length;      // the element's stored local name length (255: 255 or more)
    uint8_t uri_known;
    uint8_t claimed;
    uint8_t matched;
    uint32_t next_same;  // dispatched frames: the next kid of the same row, as index + 1 (0: none)
};

// A child row's name split once per walk: the local part with the hash the
// document stores for element names, so most kids are rejected without a
// string compare.
struct row_key {
    const char* local;   // the name after the colon, or all of it
    const char* prefix;  // the name itself when it has a colon, else NULL
    uint32_t prefix_length;
    uint32_t local_length;
    uint16_t hash;
};

enum stage : uint8_t { kFirstPass, kSecondPass, kTextPass, kDone };

struct frame {
    quorvel_element* element;
    uint32_t entry;
    quorvel_plan_value* value;
    size_t kids_start, kids_end;
    // A frame whose entry has a single row lists no kids up front: its one
    // kid slot holds the element child at cursor, so a wide element is
    // read once, as the row goes, instead of listed first.
    quorvel_node* cursor;
    bool lazy;
    // A dispatched frame lists only the kids some row names, each on the
    // list of its one row (heads, from heads_start: per row its first and
    // last kid as index + 1), and next is the current kid as index + 1.
    bool dispatched;
    size_t heads_start;
    size_t scope_mark;
    uint32_t order;  // running order index of the values made for value
    stage at;
    uint32_t row;  // the child row being applied
    size_t next;   // the next kid (or node) for that row
    quorvel_plan_value* list;  // kind-2 or kind-7 list of the current row
};

struct walker {
    const quorvel_plan* plan;
    plan_arena arena;
    ns_scope scope;
    plan_vec<frame> frames;
    plan_vec<kid> kids;
    plan_vec<char> raw;  // namespace declarations a raw-XML value needs
    plan_vec<row_key> keys;         // every child row's key, entry by entry
    plan_vec<uint32_t> key_starts;  // where each entry's keys begin
    plan_vec<size_t> attr_lengths;       // every unprefixed attribute row's name length, 0 for the others
    plan_vec<uint32_t> attr_starts;      // where each entry's lengths begin
    // Per entry whose named rows all have local names of distinct stored
    // hashes (and no catch-all row): an open-addressed table from that hash
    // to the row, so an element's children are read in one pass, each kid
    // looked up by its hash and its name compared only on a hit. Slots
    // hold hash << 16 | (row + 1), 0 when free.
    plan_vec<uint32_t> dispatch_slots;
    plan_vec<uint32_t> dispatch_starts;  // per entry: first slot, or UINT32_MAX when not dispatched
    plan_vec<uint32_t> dispatch_masks;   // per entry: slot count - 1
    plan_vec<uint32_t> heads;            // row lists of the dispatched frames
    plan_vec<uint8_t> catch_all;         // per entry: 1 when a named kind-7 row needs the second pass
    plan_shape* row_shapes = nullptr;    // every child row's values' shape, indexed as keys
    plan_shape* entry_shapes = nullptr;  // per entry: its element values, its own text leaves
    int status = 0;

    const plan_shape* shape_of(uint32_t entry, uint32_t row) const {
        return &row_shapes[key_starts.data[entry] + row];
    }

    // The shapes of the values the rows make, in the result's arena: they
    // point at the plan's copy there.
    bool make_shapes() {
        size_t rows = 0;
        for (uint32_t e = 0; e < plan->element_row_count; e++) rows += plan->entries[e].child_row_count;
        entry_shapes = static_cast<plan_shape*>(arena.alloc(2 * size_t(plan->element_row_count) * sizeof(plan_shape)));
        row_shapes = static_cast<plan_shape*>(arena.alloc((rows ? rows : 1) * sizeof(plan_shape)));
        if (!entry_shapes || !row_shapes) return false;
        plan_shape* next = row_shapes;
        for (uint32_t e = 0; e < plan->element_row_count; e++) {
            const quorvel_plan_entry& entry = plan->entries[e];
            bool own_prefix = entry.prefix && entry.ns_mode == 1;
            entry_shapes[2 * e] = plan_shape{nullptr, own_prefix ? entry.prefix : nullptr,
                                             own_prefix ? entry.ns_uri : nullptr, e, -1, 0};
            entry_shapes[2 * e + 1] = plan_shape{nullptr, nullptr, nullptr, e, -1, 0};
            for (uint32_t i = 0; i < entry.child_row_count; i++) {
                const quorvel_plan_child_row& row = entry.child_rows[i];
                plan_shape sh{row.name, nullptr, nullptr, e, static_cast<int32_t>(i), row.type_tag};
                if (row.kind == kPlanText) {
                    sh.name = nullptr;
                    sh.type_tag = 0;
                } else if (row.kind == kPlanNested) {
                    // A nested value keeps its element row's prefix unless
                    // the row gives its own.
                    const quorvel_plan_entry& target = plan->entries[row.element_row_index];
                    if (row.prefix) {
                        sh.prefix = row.prefix;
                        sh.ns_uri = row.ns_uri ? row.ns_uri : target.ns_uri;
                    } else if (target.prefix && target.ns_mode == 1) {
                        sh.prefix = target.prefix;
                        sh.ns_uri = target.ns_uri;
                    }
                } else if (row.kind != kPlanCatchAll && row.prefix) {
                    sh.prefix = row.prefix;
                    sh.ns_uri = row.ns_uri;
                }
                *next++ = sh;
            }
        }
        return true;
    }

    bool make_keys() {
        if (!make_shapes()) return false;
        for (uint32_t e = 0; e < plan->element_row_count; e++) {
            const quorvel_plan_entry& entry = plan->entries[e];
            if (!key_starts.push(static_cast<uint32_t>(keys.size))) return false;
            for (uint32_t i = 0; i < entry.child_row_count; i++) {
                const char* name = entry.child_rows[i].name;
                row_key rk{name, nullptr, 0, 0, 0};
                if (name) {
                    if (const char* colon = std::strchr(name, ':')) {
                        rk.prefix = name;
                        rk.prefix_length = static_cast<uint32_t>(colon - name);
                        rk.local = colon + 1;
                    }
                    rk.local_length = static_cast<uint32_t>(std::strlen(rk.local));
                    rk.hash = quorvel_name_hash16(rk.local, rk.local_length);
                }
                if (!keys.push(rk)) return false;
            }
            if (!attr_starts.push(static_cast<uint32_t>(attr_lengths.size))) return false;
            for (uint32_t i = 0; i < entry.attr_row_count; i++) {
                const char* name = entry.attr_rows[i].name;
                size_t length = name && !std::strchr(name, ':') ? std::strlen(name) : 0;
                if (!attr_lengths.push(length)) return false;
            }
            if (!make_dispatch(e)) return false;
            uint8_t any = 0;
            for (uint32_t i = 0; i < entry.child_row_count; i++)
                if (entry.child_rows[i].name && entry.child_rows[i].kind == kPlanCatchAll) any = 1;
            if (!catch_all.push(any)) return false;
        }
        return true;
    }

    // True for a row the first pass matches against element children by name.
    static bool names_kids(const quorvel_plan_child_row& row) {
        return row.name && row.kind != kPlanText && row.kind != kPlanCatchAll;
    }

    // The dispatch table of entry e, when its rows allow one: with every
    // kid named by at most one row, no kid can be claimed by one row and
    // wanted by another, so matching kid by kid gives what matching row by
    // row gives.
    bool make_dispatch(uint32_t e) {
        const quorvel_plan_entry& entry = plan->entries[e];
        uint32_t none = UINT32_MAX;
        if (!dispatch_masks.push(0)) return false;
        if (entry.child_row_count < 2 || entry.child_row_count > 0xFFFE) return dispatch_starts.push(none);
        uint32_t named = 0;
        for (uint32_t i = 0; i < entry.child_row_count; i++) {
            const quorvel_plan_child_row& row = entry.child_rows[i];
            if (row.name && row.kind == kPlanCatchAll) return dispatch_starts.push(none);
            if (names_kids(row)) named++;
        }
        uint32_t slots = 8;
        while (slots < 2 * named) slots *= 2;
        uint32_t start = static_cast<uint32_t>(dispatch_slots.size);
        if (!dispatch_slots.grow(dispatch_slots.size + slots)) return false;
        std::memset(dispatch_slots.data + start, 0, slots * sizeof(uint32_t));
        dispatch_slots.size += slots;
        uint32_t mask = slots - 1;
        for (uint32_t i = 0; i < entry.child_row_count; i++) {
            if (!names_kids(entry.child_rows[i])) continue;
            uint32_t h = key_of(e, i).hash;
            uint32_t at = h & mask;
            for (; dispatch_slots.data[start + at]; at = (at + 1) & mask) {
                if (dispatch_slots.data[start + at] >> 16 == h) {
                    // Two rows share the hash: leave the entry to the row-by-row
                    // passes (the slots stay unused).
                    return dispatch_starts.push(none);
                }
            }
            dispatch_slots.data[start + at] = h << 16 | (i + 1);
        }
        dispatch_masks.data[e] = mask;
        return dispatch_starts.push(start);
    }

    // The row of entry e whose name's hash is h, or -1.
    int64_t dispatch_row(uint32_t e, uint16_t h) const {
        const uint32_t* slots = dispatch_slots.data + dispatch_starts.data[e];
        uint32_t mask = dispatch_masks.data[e];
        for (uint32_t at = h & mask;; at = (at + 1) & mask) {
            uint32_t s = slots[at];
            if (!s) return -1;
            if (s >> 16 == h) return static_cast<int64_t>(s & 0xFFFF) - 1;
        }
    }

    // The unprefixed attribute named name (length bytes, not 0) of e, read
    // from the records: the common case of an attribute row.
    static const char* plain_attribute(quorvel_element* e, const char* name, size_t length, size_t* value_length) {
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            if (a->name_length != length || !a->name || !same_bytes(a->name, name, length)) continue;
            const char* v =
                (a->hash & kAttrPendingEntities) ? quorvel_attribute_read_value(e, a) : quorvel_attribute_stored_value(a);
            *value_length = std::strlen(v);
            return v;
        }
        return nullptr;
    }


    const row_key& key_of(uint32_t entry, uint32_t row) const { return keys.data[key_starts.data[entry] + row]; }

    bool fail(int st) {
        if (!status) status = st;
        return false;
    }

    const char* kid_uri(kid& k) {
        if (!k.uri_known) {
            k.uri = resolve_for(k.element, scope, k.prefix, k.prefix ? std::strlen(k.prefix) : 0);
            k.uri_known = 1;
        }
        return k.uri;
    }

    static bool name_test(const row_key& rk, const kid& k) {
        if (!k.local || k.hash != rk.hash) return false;
        // Names shorter than 255 bytes have their length stored: compare
        // it first, then the bytes.
        if (k.length < 255 && rk.local_length < 255) {
            if (k.length != rk.local_length || !same_bytes(k.local, rk.local, rk.local_length)) return false;
        } else if (std::strcmp(k.local, rk.local) != 0) {
            return false;
        }
        if (!rk.prefix) return true;
        return k.prefix && std::strncmp(k.prefix, rk.prefix, rk.prefix_length) == 0 && !k.prefix[rk.prefix_length];
    }

    bool ns_test(uint8_t mode, const char* uri, bool relaxed, kid& k) {
        switch (mode) {
            case 0: return relaxed || (!k.prefix && !kid_uri(k));
            case 1: {
                if (relaxed) return true;
                const char* u = kid_uri(k);
                return u && uri && std::strcmp(u, uri) == 0;
            }
            case 3: return !k.prefix;
            default: return true;
        }
    }

    // The attribute quorvel_element_attribute would find, without climbing:
    // unprefixed names match unprefixed attributes; prefixed ones match the
    // namespace and local name.
    const char* attribute(quorvel_element* e, const char* name, bool own_in_scope) {
        const char* colon = std::strchr(name, ':');
        if (!colon) {
            for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a))
                if (std::strcmp(quorvel_attribute_get_name(a), name) == 0) return quorvel_attribute_get_value(e, a);
            return nullptr;
        }
        size_t plen = static_cast<size_t>(colon - name);
        if (plen == 5 && std::memcmp(name, "xmlns", 5) == 0) return nullptr;
        const char* want = own_in_scope ? lookup_scope(name, plen) : resolve_for(e, scope, name, plen);
        if (!want) return nullptr;
        for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
            const char* an = quorvel_attribute_get_name(a);
            const char* ac = std::strchr(an, ':');
            if (!ac || std::strcmp(ac + 1, colon + 1) != 0) continue;
            size_t alen = static_cast<size_t>(ac - an);
            const char* got = own_in_scope ? lookup_scope(an, alen) : resolve_for(e, scope, an, alen);
            if (got && std::strcmp(got, want) == 0) return quorvel_attribute_get_value(e, a);
        }
        return nullptr;
    }

    const char* lookup_scope(const char* prefix, size_t len) {
        const char* u = scope.lookup(prefix, len);
        if (!u && len == 3 && std::memcmp(prefix, "xml", 3) == 0) u = kXmlNamespaceUri;
        return u && *u ? u : nullptr;
    }

    bool predicates_pass(const quorvel_plan_child_row& row, kid& k) {
        for (uint16_t i = 0; i < row.predicate_count; i++) {
            const quorvel_plan_predicate_row& p = row.predicates[i];
            if (!p.attr_name || !p.value) return false;
            const char* v = attribute(k.element, p.attr_name, false);
            if (!v || std::strcmp(v, p.value) != 0) return false;
        }
        return true;
    }

    // A value for the source node n, taking the parent's next order index.
    void place(frame& f, quorvel_plan_value* v, const quorvel_node* n) {
        v->position = position_of(n);
        v->node_kind = static_cast<uint8_t>(n->kind);
        v->order_index = f.order++;
    }

    char* element_text(const quorvel_element* e, size_t* length) {
        // The common case, one text child, is copied in one step.
        quorvel_node* c = first_child_of(e);
        if (c && c->kind == QUORVEL_NODE_TEXT && !chain_next(c)) {
            const char* s = text_run(reinterpret_cast<quorvel_text*>(c), length);
            return arena.copy(s, *length);
        }
        size_t total = 0;
        for_each_text(e, [&](const char*, size_t n) { total += n; });
        *length = total;
        auto* out = static_cast<char*>(arena.alloc(total + 1));
        if (!out) return nullptr;
        size_t at = 0;
        if (c) {
            for_each_text(e, [&](const char* s, size_t n) {
                if (n) std::memcpy(out + at, s, n);
                at += n;
            });
        }
        out[at] = '\0';
        return out;
    }

    // Y serialized, with the declarations of the namespaces it uses from
    // outside put on its start tag, so the text stands on its own.
    char* raw_xml(kid& k, size_t* length) {
        char* text = quorvel_element_serialize(k.element, nullptr);
        if (!text) return nullptr;
        raw.size = 0;
        bool ok = collect_outer_namespaces(k.element);
        char* out = nullptr;
        if (ok) {
            size_t tlen = std::strlen(text);
            size_t head = 1 + (k.prefix ? std::strlen(k.prefix) + 1 : 0) + (k.local ? std::strlen(k.local) : 0);
            if (head > tlen) head = tlen;
            if (tlen == 0) raw.size = 0;
            *length = tlen + raw.size;
            out = static_cast<char*>(arena.alloc(*length + 1));
            if (out) {
                std::memcpy(out, text, head);
                if (raw.size) std::memcpy(out + head, raw.data, raw.size);
                std::memcpy(out + head + raw.size, text + head, tlen - head + 1);
            }
        }
        quorvel_free_string(text);
        return out;
    }

    bool append_raw(const char* s, size_t n) {
        if (!raw.grow(raw.size + n)) return false;
        std::memcpy(raw.data + raw.size, s, n);
        raw.size += n;
        return true;
    }

    // For every prefix used in the subtree of y (element and attribute
    // prefixes, "" for unprefixed elements) that y does not declare itself
    // and that is bound outside it, a declaration into raw.
    bool collect_outer_namespaces(quorvel_element* y) {
        if (scope.mark() == 0) return true;
        plan_vec<const char*> done;
        auto consider = [&](const char* prefix) -> bool {
            if (!prefix) prefix = "";
            for (size_t i = 0; i < done.size; i++)
                if (std::strcmp(done.data[i], prefix) == 0) return true;
            if (!done.push(prefix)) return false;
            bool declared_by_y = false;
            for_each_declaration(y, [&](const char* p, const char*) {
                if (std::strcmp(p ? p : "", prefix) == 0) declared_by_y = true;
                return !declared_by_y;
            });
            if (declared_by_y || std::strcmp(prefix, "xml") == 0) return true;
            const char* uri = scope.lookup(prefix, std::strlen(prefix));
            if (!uri || !*uri) return true;
            bool good = append_raw(" xmlns", 6);
            if (*prefix) good = good && append_raw(":", 1) && append_raw(prefix, std::strlen(prefix));
            good = good && append_raw("=\"", 2);
            for (const char* p = uri; *p && good; p++) {
                switch (*p) {
                    case '&': good = append_raw("&amp;", 5); break;
                    case '<': good = append_raw("&lt;", 4); break;
                    case '>': good = append_raw("&gt;", 4); break;
                    case '"': good = append_raw("&quot;", 6); break;
                    case '\t': good = append_raw("&#9;", 4); break;
                    case '\n': good = append_raw("&#10;", 5); break;
                    case '\r': good = append_raw("&#13;", 5); break;
                    default: good = append_raw(p, 1);
                }
            }
            return good && append_raw("\"", 1);
        };
        quorvel_node* c = &y->head;
        while (c) {
            if (c->kind == QUORVEL_NODE_ELEMENT) {
                auto* e = reinterpret_cast<quorvel_element*>(c);
                if (!consider(quorvel_element_prefix(e))) return false;
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                    const char* an = quorvel_attribute_get_name(a);
                    const char* ac = std::strchr(an, ':');
                    if (!ac || (ac - an == 5 && std::memcmp(an, "xmlns", 5) == 0)) continue;
                    char prefix[128];
                    size_t plen = static_cast<size_t>(ac - an);
                    if (plen >= sizeof prefix) continue;
                    std::memcpy(prefix, an, plen);
                    prefix[plen] = '\0';
                    // consider keeps the pointer: give it one that lives on.
                    const char* kept = quorvel_attribute_prefix(a);
                    if (!kept || std::strcmp(kept, prefix) != 0) continue;
                    if (!consider(kept)) return false;
                }
                if (quorvel_node* child = first_child_of(e)) {
                    c = child;
                    continue;
                }
            }
            if (c == &y->head) break;
            for (;;) {
                if (quorvel_node* next = chain_next(c)) {
                    c = next;
                    break;
                }
                quorvel_node* parent = quorvel_node_parent_raw(c);
                if (!parent || parent == &y->head) {
                    c = nullptr;
                    break;
                }
                c = parent;
            }
        }
        return true;
    }

    // Starts the walk of element x with entry e: makes its value, captures
    // its attributes, pushes its declarations and lists its children.
    bool open(quorvel_element* x, uint32_t e, bool root = false) {
        const quorvel_plan_entry& entry = plan->entries[e];
        const plan_shape* shape = &entry_shapes[2 * e];
        quorvel_plan_value* v =
            root ? plan_value_new_root(&arena, shape) : plan_value_new(&arena, kValueElement, shape);
        if (!v) return fail(QUORVEL_ERR_MEMORY);
        // The frame is filled where it will stay: building it aside and
        // copying it in costs more than the rest of a small element's open.
        if (!frames.grow(frames.size + 1)) return fail(QUORVEL_ERR_MEMORY);
        frame& f = frames.data[frames.size];
        std::memset(static_cast<void*>(&f), 0, sizeof f);
        f.element = x;
        f.entry = e;
        f.value = v;
        f.scope_mark = scope.mark();
        if (may_declare(x) && !for_each_declaration(x, [&](const char* p, const char* u) { return scope.push(p, u); }))
            return fail(QUORVEL_ERR_MEMORY);
        if (entry.attr_row_count && !capture_attributes(x, e, v)) return false;
        f.kids_start = kids.size;
        const quorvel_plan_child_row* only = entry.child_row_count == 1 ? &entry.child_rows[0] : nullptr;
        f.lazy = only && only->name && only->kind != kPlanText && only->kind != kPlanCatchAll;
        f.dispatched = dispatch_starts.data[e] != UINT32_MAX;
        size_t likely;
        if (f.dispatched) {
            // Per row its first and last kid; kids no row names are not listed.
            f.heads_start = heads.size;
            size_t rows = entry.child_row_count;
            if (!heads.grow(heads.size + 2 * rows)) return fail(QUORVEL_ERR_MEMORY);
            uint32_t* h = heads.data + f.heads_start;
            std::memset(h, 0, 2 * rows * sizeof(uint32_t));
            heads.size += 2 * rows;
            for (quorvel_node* c = first_child_of(x); c; c = chain_next(c)) {
                if (c->kind != QUORVEL_NODE_ELEMENT) continue;
                int64_t r = dispatch_row(e, reinterpret_cast<quorvel_element*>(c)->name_hash);
                if (r < 0) continue;
                // Made in place and kept only when the name matches.
                if (!kids.grow(kids.size + 1)) return fail(QUORVEL_ERR_MEMORY);
                set_kid(&kids.data[kids.size], c);
                if (!name_test(key_of(e, static_cast<uint32_t>(r)), kids.data[kids.size])) continue;
                kids.size++;
                h = heads.data + f.heads_start;
                auto index = static_cast<uint32_t>(kids.size - f.kids_start);  // this kid's index + 1
                if (h[2 * r + 1]) kids.data[f.kids_start + h[2 * r + 1] - 1].next_same = index;
                else h[2 * r] = index;
                h[2 * r + 1] = index;
            }
            f.next = heads.data[f.heads_start];
            likely = kids.size - f.kids_start;
        } else if (f.lazy) {
            if (!kids.push(kid{})) return fail(QUORVEL_ERR_MEMORY);
            f.cursor = element_from(first_child_of(x));
            if (f.cursor) set_kid(&kids.data[f.kids_start], f.cursor);
            likely = f.cursor ? 1 : 0;
        } else {
            for (quorvel_node* c = first_child_of(x); c; c = chain_next(c)) {
                if (c->kind != QUORVEL_NODE_ELEMENT) continue;
                if (!kids.grow(kids.size + 1)) return fail(QUORVEL_ERR_MEMORY);
                set_kid(&kids.data[kids.size++], c);
            }
            likely = kids.size - f.kids_start;
        }
        f.kids_end = kids.size;
        // Room for the values the rows will likely make, so that the usual
        // element takes one exact children array.
        if (likely > entry.child_row_count) likely = entry.child_row_count;
        if (entry.flags & QUORVEL_PLAN_OWN_TEXT) likely++;
        if (likely && !plan_value_reserve_children(&arena, v, likely)) return fail(QUORVEL_ERR_MEMORY);
        f.at = kFirstPass;
        frames.size++;
        return true;
    }

    bool capture_attributes(quorvel_element* x, uint32_t e, quorvel_plan_value* v) {
        const quorvel_plan_entry& entry = plan->entries[e];
        if (!plan_value_reserve_attributes(&arena, v, entry.attr_row_count)) return fail(QUORVEL_ERR_MEMORY);
        const size_t* lengths = attr_lengths.data + attr_starts.data[e];
        for (uint32_t i = 0; i < entry.attr_row_count; i++) {
            const quorvel_plan_attr_row& r = entry.attr_rows[i];
            if (!r.name) continue;
            const char* value = nullptr;
            size_t value_length = 0;
            if (r.ns_mode == 0) {
                value = lengths[i] ? plain_attribute(x, r.name, lengths[i], &value_length) : attribute(x, r.name, true);
                if (!value) {
                    for (quorvel_attribute* a = quorvel_element_first_attribute(x); a; a = quorvel_attribute_next(a)) {
                        const char* an = quorvel_attribute_get_name(a);
                        const char* ac = std::strchr(an, ':');
                        if (std::strcmp(ac ? ac + 1 : an, r.name) == 0) {
                            value = quorvel_attribute_get_value(x, a);
                            value_length = std::strlen(value);
                            break;
                        }
                    }
                }
            } else {
                for (quorvel_attribute* a = quorvel_element_first_attribute(x); a; a = quorvel_attribute_next(a)) {
                    const char* an = quorvel_attribute_get_name(a);
                    const char* ac = std::strchr(an, ':');
                    if (ac) {
                        size_t plen = static_cast<size_t>(ac - an);
                        if (std::strcmp(ac + 1, r.name) != 0 || plen > 127) continue;
                        if (r.ns_mode == 1) {
                            const char* u = lookup_scope(an, plen);
                            if (!u || std::strcmp(u, r.ns_uri) != 0) continue;
                        }
                    } else if (r.ns_mode == 1 || std::strcmp(an, r.name) != 0) {
                        continue;
                    }
                    value = quorvel_attribute_get_value(x, a);
                    value_length = std::strlen(value);
                    break;
                }
            }
            if (!value) continue;
            if (r.out_prefix && !r.ns_uri) return fail(QUORVEL_ERR_INVALID_ARGUMENT);
            size_t k = v->branch.attr_count;
            if (r.out_prefix) {
                size_t pl = std::strlen(r.out_prefix), nl = std::strlen(r.name);
                auto* name = static_cast<char*>(arena.alloc(pl + nl + 2));
                if (!name) return fail(QUORVEL_ERR_MEMORY);
                std::memcpy(name, r.out_prefix, pl);
                name[pl] = ':';
                std::memcpy(name + pl + 1, r.name, nl + 1);
                plan_attr_names(v)[k] = name;
                plan_attr_prefixes(v)[k] = r.out_prefix;
                plan_attr_uris(v)[k] = r.ns_uri;
            } else {
                plan_attr_names(v)[k] = r.name;
                plan_attr_prefixes(v)[k] = nullptr;
                plan_attr_uris(v)[k] = nullptr;
            }
            plan_attr_values(v)[k] = arena.copy(value, value_length);
            if (!plan_attr_values(v)[k]) return fail(QUORVEL_ERR_MEMORY);
            v->branch.attr_count = static_cast<uint32_t>(k + 1);
        }
        return true;
    }

    // Appends to f's value a list value for row i (kind 5 has no name).
    quorvel_plan_value* new_list(frame& f, uint32_t i) {
        quorvel_plan_value* list = plan_value_new(&arena, kValueList, shape_of(f.entry, i));
        if (!list) return nullptr;
        if (!plan_value_append(&arena, f.value, list)) return nullptr;
        return list;
    }

    // Kind 5: the element's text (and CDATA) nodes as one unnamed list.
    bool text_rows(frame& f, uint32_t i, uint16_t flags) {
        quorvel_plan_value* list = new_list(f, i);
        if (!list) return fail(QUORVEL_ERR_MEMORY);
        for (quorvel_node* c = first_child_of(f.element); c; c = chain_next(c)) {
            const char* s;
            size_t n;
            if (c->kind == QUORVEL_NODE_TEXT) {
                s = text_run(reinterpret_cast<quorvel_text*>(c), &n);
            } else if (c->kind == QUORVEL_NODE_CDATA && (flags & QUORVEL_PLAN_TEXT_CDATA)) {
                s = reinterpret_cast<quorvel_comment*>(c)->content;
                if (!s) continue;
                n = std::strlen(s);
            } else {
                continue;
            }
            quorvel_plan_value* leaf = plan_value_new(&arena, kValueLeaf, shape_of(f.entry, i));
            if (!leaf || !(leaf->leaf.text = arena.copy(s, n))) return fail(QUORVEL_ERR_MEMORY);
            leaf->leaf.length = n;
            place(f, leaf, c);
            if (!plan_value_append(&arena, list, leaf)) return fail(QUORVEL_ERR_MEMORY);
        }
        return true;
    }

    // A leaf, raw-XML or element-text value of row i for kid k.
    bool leaf_row(frame& f, const quorvel_plan_child_row& row, uint32_t i, kid& k) {
        uint32_t kind = row.kind == kPlanRaw ? kValueRaw : row.kind == kPlanElementText ? kValueElementText : kValueLeaf;
        if (row.prefix && !row.ns_uri) return fail(QUORVEL_ERR_INVALID_ARGUMENT);
        const plan_shape* shape = shape_of(f.entry, i);
        quorvel_plan_value* v = plan_value_new(&arena, kind, shape);
        if (!v) return fail(QUORVEL_ERR_MEMORY);
        size_t length = 0;
        char* text = kind == kValueRaw ? raw_xml(k, &length) : element_text(k.element, &length);
        if (!text) return fail(QUORVEL_ERR_MEMORY);
        v->leaf.text = text;
        v->leaf.length = length;
        if (row.kind != kPlanRaw && row.type_tag) plan_convert(v);
        place(f, v, &k.element->head);
        quorvel_plan_value* into = f.value;
        if (row.kind == kPlanList) {
            if (!f.list) {
                f.list = new_list(f, i);
                if (!f.list) return fail(QUORVEL_ERR_MEMORY);
                f.list->position = position_of(&k.element->head);
            }
            into = f.list;
        }
        if (!plan_value_append(&arena, into, v)) return fail(QUORVEL_ERR_MEMORY);
        return true;
    }

    // Takes the value of a finished nested walk into frame f.
    bool deliver(frame& f, quorvel_plan_value* v) {
        const quorvel_plan_entry& entry = plan->entries[f.entry];
        const quorvel_plan_child_row& row = entry.child_rows[f.row];
        kid& k = current_kid(f);
        place(f, v, &k.element->head);
        if (f.at == kFirstPass) {
            v->shape = shape_of(f.entry, f.row);
            if (!plan_value_append(&arena, f.value, v)) return fail(QUORVEL_ERR_MEMORY);
            if (row.predicate_count) k.claimed = 1;
            k.matched = 1;
        } else {
            // A catch-all value is named after its element.
            const plan_shape* opened = v->shape;
            plan_shape* own = plan_shape_new(&arena, k.local, opened->element_row_index, opened->child_row_index);
            if (!own) return fail(QUORVEL_ERR_MEMORY);
            own->prefix = opened->prefix;
            own->ns_uri = opened->ns_uri;
            own->type_tag = row.type_tag;
            v->shape = own;
            if (!plan_value_append(&arena, f.list, v)) return fail(QUORVEL_ERR_MEMORY);
        }
        next_kid(f);
        return true;
    }

    // The flag-0x10 pass: x's own text nodes as leaves of v, numbered on
    // from *order.
    bool own_text(quorvel_element* x, uint32_t e, quorvel_plan_value* v, uint32_t* order) {
        for (quorvel_node* c = first_child_of(x); c; c = chain_next(c)) {
            if (c->kind != QUORVEL_NODE_TEXT) continue;
            size_t n;
            const char* s = text_run(reinterpret_cast<quorvel_text*>(c), &n);
            quorvel_plan_value* leaf = plan_value_new(&arena, kValueLeaf, &entry_shapes[2 * e + 1]);
            if (!leaf || !(leaf->leaf.text = arena.copy(s, n))) return fail(QUORVEL_ERR_MEMORY);
            leaf->leaf.length = n;
            leaf->position = position_of(c);
            leaf->node_kind = static_cast<uint8_t>(c->kind);
            leaf->order_index = (*order)++;
            if (!plan_value_append(&arena, v, leaf)) return fail(QUORVEL_ERR_MEMORY);
        }
        return true;
    }

    // The value of element x under entry e when e has no child rows: what
    // open and the passes make, without a frame of its own (nothing below x
    // is visited but its text).
    quorvel_plan_value* childless(quorvel_element* x, uint32_t e) {
        const quorvel_plan_entry& entry = plan->entries[e];
        quorvel_plan_value* v = plan_value_new(&arena, kValueElement, &entry_shapes[2 * e]);
        if (!v) return fail(QUORVEL_ERR_MEMORY), nullptr;
        size_t mark = scope.mark();
        if (may_declare(x) && !for_each_declaration(x, [&](const char* p, const char* u) { return scope.push(p, u); }))
            return fail(QUORVEL_ERR_MEMORY), nullptr;
        if (entry.attr_row_count && !capture_attributes(x, e, v)) return nullptr;
        if (entry.flags & QUORVEL_PLAN_OWN_TEXT) {
            uint32_t order = 0;
            if (!plan_value_reserve_children(&arena, v, 1)) return fail(QUORVEL_ERR_MEMORY), nullptr;
            if (!own_text(x, e, v, &order)) return nullptr;
        }
        scope.pop_to(mark);
        return v;
    }

    // Runs frame fi until it finishes (true, at kDone) or needs a nested
    // walk (true, with a new frame on top). False on failure.
    bool step(size_t fi) {
        for (;;) {
            frame& f = frames.data[fi];
            const quorvel_plan_entry& entry = plan->entries[f.entry];
            if (f.at == kFirstPass) {
                if (f.row >= entry.child_row_count) {
                    // Only named catch-all rows act in the second pass.
                    f.at = catch_all.data[f.entry] ? kSecondPass : kTextPass;
                    f.row = 0;
                    f.next = 0;
                    f.list = nullptr;
                    continue;
                }
                const quorvel_plan_child_row& row = entry.child_rows[f.row];
                if (!row.name || row.kind == kPlanCatchAll || (row.kind == kPlanText && !(entry.flags & QUORVEL_PLAN_TEXT_ROWS))) {
                    advance_row(f);
                    continue;
                }
                if (row.kind == kPlanText) {
                    if (!text_rows(f, f.row, entry.flags)) return false;
                    advance_row(f);
                    continue;
                }
                if (row.kind == kPlanNested) {
                    const quorvel_plan_entry& target = plan->entries[row.element_row_index];
                    bool relaxed = target.flags & QUORVEL_PLAN_NS_RELAXED;
                    for (; has_kid(f); next_kid(f)) {
                        kid& k = current_kid(f);
                        if (k.claimed || (!f.dispatched && !name_test(key_of(f.entry, f.row), k)) ||
                            !ns_test(target.ns_mode, target.ns_uri, relaxed, k))
                            continue;
                        if (row.prefix && !row.ns_uri && !target.ns_uri) return fail(QUORVEL_ERR_INVALID_ARGUMENT);
                        if (target.child_row_count) return open(k.element, static_cast<uint32_t>(row.element_row_index));
                        quorvel_plan_value* v = childless(k.element, static_cast<uint32_t>(row.element_row_index));
                        if (!v) return false;
                        frame& g = frames.data[fi];
                        kid& kk = current_kid(g);
                        place(g, v, &kk.element->head);
                        v->shape = shape_of(g.entry, g.row);
                        if (!plan_value_append(&arena, g.value, v)) return fail(QUORVEL_ERR_MEMORY);
                        if (row.predicate_count) kk.claimed = 1;
                        kk.matched = 1;
                    }
                    advance_row(f);
                    continue;
                }
                bool relaxed = row.ns_mode == 0 && (entry.flags & QUORVEL_PLAN_NS_RELAXED);
                for (; has_kid(frames.data[fi]); next_kid(frames.data[fi])) {
                    frame& g = frames.data[fi];
                    kid& k = current_kid(g);
                    if (k.claimed || (!g.dispatched && !name_test(key_of(g.entry, g.row), k)) ||
                        !ns_test(row.ns_mode, row.ns_uri, relaxed, k) ||
                        !predicates_pass(row, k))
                        continue;
                    if (!leaf_row(g, row, g.row, k)) return false;
                    if (row.predicate_count) k.claimed = 1;
                    k.matched = 1;
                }
                advance_row(frames.data[fi]);
                continue;
            }
            if (f.at == kSecondPass) {
                if (f.row >= entry.child_row_count) {
                    f.at = kTextPass;
                    continue;
                }
                const quorvel_plan_child_row& row = entry.child_rows[f.row];
                if (!row.name || row.kind != kPlanCatchAll) {
                    advance_row(f);
                    continue;
                }
                if (!f.list) {
                    quorvel_plan_value* list = plan_value_new(&arena, kValueList, shape_of(f.entry, f.row));
                    if (!list) return fail(QUORVEL_ERR_MEMORY);
                    if (!plan_value_append(&arena, f.value, list)) return fail(QUORVEL_ERR_MEMORY);
                    f.list = list;
                }
                for (; f.kids_start + f.next < f.kids_end; f.next++) {
                    kid& k = kids.data[f.kids_start + f.next];
                    if (k.matched) continue;
                    if (row.ns_check && !ns_test(row.ns_mode, row.ns_uri, false, k)) continue;
                    if (!predicates_pass(row, k)) continue;
                    if (row.element_row_index >= 0) return open(k.element, static_cast<uint32_t>(row.element_row_index));
                    plan_shape* own = plan_shape_new(&arena, k.local, f.entry, static_cast<int32_t>(f.row));
                    if (!own) return fail(QUORVEL_ERR_MEMORY);
                    own->type_tag = row.type_tag;
                    quorvel_plan_value* v = plan_value_new(&arena, kValueRaw, own);
                    if (!v) return fail(QUORVEL_ERR_MEMORY);
                    size_t length = 0;
                    if (!(v->leaf.text = raw_xml(k, &length))) return fail(QUORVEL_ERR_MEMORY);
                    v->leaf.length = length;
                    place(f, v, &k.element->head);
                    if (!plan_value_append(&arena, f.list, v)) return fail(QUORVEL_ERR_MEMORY);
                }
                advance_row(f);
                continue;
            }
            if (f.at == kTextPass) {
                if ((entry.flags & QUORVEL_PLAN_OWN_TEXT) && !own_text(f.element, f.entry, f.value, &f.order))
                    return false;
                f.at = kDone;
            }
            return true;
        }
    }

    // The element itself when n is one, else the next element after it.
    static quorvel_node* element_from(quorvel_node* n) {
        while (n && n->kind != QUORVEL_NODE_ELEMENT) n = chain_next(n);
        return n;
    }

    static void set_kid(kid* k, quorvel_node* c) {
        auto* y = reinterpret_cast<quorvel_element*>(c);
        const char* local = quorvel_elem_name_raw(y);
        const quorvel_element_ext* ext = quorvel_elem_ext(y);
        const char* prefix = ext && ext->prefix && *ext->prefix ? ext->prefix : nullptr;
        // The stored length spares reading the name's bytes, which a kid no
        // row names never needs.
        if (!y->name_length && local && !*local) local = nullptr;
        k->element = y;
        k->local = local;
        k->prefix = prefix;
        k->uri = nullptr;
        k->hash = y->name_hash;
        k->length = y->name_length;
        k->uri_known = k->claimed = k->matched = 0;
        k->next_same = 0;
    }

    bool has_kid(const frame& f) const {
        if (f.dispatched) return f.next != 0;
        return f.lazy ? f.cursor != nullptr : f.kids_start + f.next < f.kids_end;
    }
    kid& current_kid(const frame& f) {
        if (f.dispatched) return kids.data[f.kids_start + f.next - 1];
        return kids.data[f.kids_start + (f.lazy ? 0 : f.next)];
    }
    void next_kid(frame& f) {
        if (f.dispatched) {
            f.next = kids.data[f.kids_start + f.next - 1].next_same;
            return;
        }
        if (!f.lazy) {
            f.next++;
            return;
        }
        f.cursor = element_from(chain_next(f.cursor));
        if (f.cursor) set_kid(&kids.data[f.kids_start], f.cursor);
    }

    void advance_row(frame& f) {
        f.row++;
        f.list = nullptr;
        // A dispatched frame goes on with the new row's own kids (first
        // pass only: the later passes do not read kids).
        f.next = f.dispatched && f.at == kFirstPass && f.row < plan->entries[f.entry].child_row_count
                     ? heads.data[f.heads_start + 2 * size_t(f.row)]
                     : 0;
    }

    quorvel_plan_value* run(quorvel_element* start) {
        // Bindings declared above the start element, outermost first: the
        // one climb of the walk.
        plan_vec<quorvel_element*> above;
        for (quorvel_element* p = quorvel_element_parent(start); p; p = quorvel_element_parent(p))
            if (!above.push(p)) return fail(QUORVEL_ERR_MEMORY), nullptr;
        for (size_t i = above.size; i-- > 0;)
            if (!for_each_declaration(above.data[i], [&](const char* p, const char* u) { return scope.push(p, u); }))
                return fail(QUORVEL_ERR_MEMORY), nullptr;
        if (!open(start, 0, true)) return nullptr;
        quorvel_plan_value* root = frames.data[0].value;
        while (frames.size) {
            size_t fi = frames.size - 1;
            if (!step(fi)) return nullptr;
            if (frames.size - 1 != fi) continue;  // a nested walk started
            frame done = frames.data[fi];
            frames.size--;
            scope.pop_to(done.scope_mark);
            kids.size = done.kids_start;
            if (done.dispatched) heads.size = done.heads_start;
            if (frames.size && !deliver(frames.data[frames.size - 1], done.value)) return nullptr;
        }
        return root;
    }
};

// A copy of the plan's rows in the result's arena, every text the values
// may point at included, so a result never depends on its plan's memory
// (only on its row indexes). Predicates are only read during the walk and
// stay the plan's.
const quorvel_plan* mirror_plan(plan_arena* arena, const quorvel_plan* plan) {
    auto* copy = static_cast<quorvel_plan*>(arena->alloc(sizeof(quorvel_plan)));
    if (!copy) return nullptr;
    copy->element_row_count = plan->element_row_count;
    copy->entries =
        static_cast<quorvel_plan_entry*>(arena->alloc(plan->element_row_count * sizeof(quorvel_plan_entry)));
    if (!copy->entries) return nullptr;
    bool ok = true;
    auto text = [&](const char* s) -> char* {
        char* c = arena->copy(s);
        if (s && !c) ok = false;
        return c;
    };
    for (uint32_t e = 0; e < plan->element_row_count && ok; e++) {
        const quorvel_plan_entry& in = plan->entries[e];
        quorvel_plan_entry& out = copy->entries[e];
        out = in;
        out.name = text(in.name);
        out.ns_uri = text(in.ns_uri);
        out.prefix = text(in.prefix);
        if (in.attr_row_count) {
            out.attr_rows =
                static_cast<quorvel_plan_attr_row*>(arena->alloc(in.attr_row_count * sizeof(quorvel_plan_attr_row)));
            if (!out.attr_rows) return nullptr;
            for (uint32_t i = 0; i < in.attr_row_count; i++) {
                out.attr_rows[i] = in.attr_rows[i];
                out.attr_rows[i].name = text(in.attr_rows[i].name);
                out.attr_rows[i].ns_uri = text(in.attr_rows[i].ns_uri);
                out.attr_rows[i].out_prefix = text(in.attr_rows[i].out_prefix);
            }
        }
        if (in.child_row_count) {
            out.child_rows = static_cast<quorvel_plan_child_row*>(
                arena->alloc(in.child_row_count * sizeof(quorvel_plan_child_row)));
            if (!out.child_rows) return nullptr;
            for (uint32_t i = 0; i < in.child_row_count; i++) {
                out.child_rows[i] = in.child_rows[i];
                out.child_rows[i].name = text(in.child_rows[i].name);
                out.child_rows[i].ns_uri = text(in.child_rows[i].ns_uri);
                out.child_rows[i].prefix = text(in.child_rows[i].prefix);
            }
        }
    }
    return ok ? copy : nullptr;
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_plan_value* quorvel_plan_walk(quorvel_document* doc, quorvel_element* element,
                                                  const quorvel_plan* plan, int* status) {
    if (status) *status = 0;
    if (!doc || !element || !plan || element->head.kind != QUORVEL_NODE_ELEMENT) {
        if (status) *status = QUORVEL_ERR_NULL_ARGUMENT;
        return nullptr;
    }
    walker w;
    if (!plan_arena_start(&w.arena)) {
        if (status) *status = QUORVEL_ERR_MEMORY;
        return nullptr;
    }
    w.plan = mirror_plan(&w.arena, plan);
    quorvel_plan_value* root = w.plan && w.make_keys() ? w.run(element) : nullptr;
    if (!root) {
        plan_arena_release(w.arena.head);
        if (status) *status = w.status ? w.status : QUORVEL_ERR_MEMORY;
        return nullptr;
    }
    plan_value_own_chain(root, w.arena.head);
    return root;
}

QUORVEL_API quorvel_plan_value* quorvel_plan_materialize(const char* xml, size_t length, const quorvel_plan* plan,
                                                         int* status) {
    if (status) *status = 0;
    if (!xml || !plan) {
        if (status) *status = QUORVEL_ERR_NULL_ARGUMENT;
        return nullptr;
    }
    quorvel_document* doc = quorvel_parse_string(xml, length, status);
    if (!doc) return nullptr;
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) {
        quorvel_document_free(doc);
        if (status) *status = QUORVEL_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    quorvel_plan_value* result = quorvel_plan_walk(doc, root, plan, status);
    quorvel_document_free(doc);
    return result;
}

}  // extern "C"
