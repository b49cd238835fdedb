// The element index: a snapshot of the primary root's subtree that the XPath
// engine builds on demand and reads directly: elements in document order
// with the end of each subtree, and the elements grouped by local name, by
// attribute name and by attribute name and (decoded) value. Heap memory
// only; any tree change drops it (the document then has none until the
// engine builds the next). The walks use parent links and a heap stack of
// open positions, so depth costs no call frames.
#include <cstring>

#include "core/small_stack.h"
#include "dom/dom.h"

namespace {

// ---- Build-time key tables --------------------------------------------------------------

// A plain name has no second key; a (name, value) pair has both.
struct key_slot {
    const char* first;  // NULL: free slot
    size_t first_length;
    const char* second;
    size_t second_length;
    size_t entry;
};

struct key_table {
    key_slot* slots = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    ~key_table() { std::free(slots); }
};

constexpr uint64_t kKeyPrime = 0x100000001B3ull;

size_t key_slot_of(const char* a, size_t al, const char* b, size_t bl, size_t capacity) {
    uint64_t h = 0x14650FB0739D0383ull;
    for (size_t i = 0; i < al; i++) h = (h ^ static_cast<unsigned char>(a[i])) * kKeyPrime;
    for (size_t i = 0; i < bl; i++) h = (h ^ static_cast<unsigned char>(b[i])) * kKeyPrime;
    h = (static_cast<uint64_t>(al) ^ h) * kKeyPrime;
    return static_cast<size_t>(h ^ (h >> 32)) & (capacity - 1);
}

bool key_matches(const key_slot& s, const char* a, size_t al, const char* b, size_t bl) {
    if (s.first_length != al || std::memcmp(s.first, a, al) != 0) return false;
    if (!b) return s.second == nullptr;
    return s.second && s.second_length == bl && std::memcmp(s.second, b, bl) == 0;
}

// Entry number of a key, or -1.
long long index_key_table_get(const key_table& t, const char* a, size_t al, const char* b = nullptr, size_t bl = 0) {
    if (!t.capacity) return -1;
    for (size_t s = key_slot_of(a, al, b, bl, t.capacity);; s = (s + 1) & (t.capacity - 1)) {
        const key_slot& x = t.slots[s];
        if (!x.first) return -1;
        if (key_matches(x, a, al, b, bl)) return static_cast<long long>(x.entry);
    }
}

void place(key_slot* slots, size_t capacity, const key_slot& k) {
    size_t s = key_slot_of(k.first, k.first_length, k.second, k.second_length, capacity);
    while (slots[s].first) s = (s + 1) & (capacity - 1);
    slots[s] = k;
}

bool index_key_table_put(key_table& t, const key_slot& k) {
    if (!t.capacity || (t.count + 1) * 10 >= t.capacity * 7) {
        size_t capacity = t.capacity ? t.capacity * 2 : 256;
        auto* slots = static_cast<key_slot*>(std::calloc(capacity, sizeof(key_slot)));
        if (!slots) return false;
        for (size_t i = 0; i < t.capacity; i++)
            if (t.slots[i].first) place(slots, capacity, t.slots[i]);
        std::free(t.slots);
        t.slots = slots;
        t.capacity = capacity;
    }
    place(t.slots, t.capacity, k);
    t.count++;
    return true;
}

// ---- Growable arrays ----------------------------------------------------------------------

template <typename T>
bool grow(T*& array, size_t& capacity, size_t needed) {
    if (needed <= capacity) return true;
    size_t fresh = capacity ? capacity * 2 : 8;
    auto* p = static_cast<T*>(std::realloc(array, fresh * sizeof(T)));
    if (!p) return false;
    array = p;
    capacity = fresh;
    return true;
}

// Appends (element, position) to an entry's parallel arrays.
template <typename Entry>
bool add_member(Entry& entry, quorvel_element* e, uint64_t position) {
    if (entry.count == entry.capacity) {
        size_t capacity = entry.capacity ? entry.capacity * 2 : 8;
        auto* elements =
            static_cast<quorvel_element**>(std::realloc(entry.elements, capacity * sizeof(quorvel_element*)));
        if (!elements) return false;
        entry.elements = elements;
        auto* positions = static_cast<uint64_t*>(std::realloc(entry.positions, capacity * sizeof(uint64_t)));
        if (!positions) return false;
        entry.positions = positions;
        entry.capacity = capacity;
    }
    entry.elements[entry.count] = e;
    entry.positions[entry.count] = position;
    entry.count++;
    return true;
}

char* copy_bytes(const char* s, size_t n) {
    auto* c = static_cast<char*>(std::malloc(n + 1));
    if (!c) return nullptr;
    std::memcpy(c, s, n);
    c[n] = '\0';
    return c;
}

struct builder {
    quorvel_element_index* index;
    key_table names;
    key_table attributes;  // plain names -> attribute entries, pairs -> value entries

    bool add_name(quorvel_element* e, uint64_t p) {
        const char* name = quorvel_elem_name_raw(e);
        if (!name) return true;
        size_t length = std::strlen(name);
        long long n = index_key_table_get(names, name, length);
        if (n < 0) {
            quorvel_element_index* x = index;
            if (!grow(x->names, x->name_capacity, x->name_count + 1)) return false;
            quorvel_element_index_name& entry = x->names[x->name_count];
            entry = quorvel_element_index_name{};
            if (!(entry.name = copy_bytes(name, length))) return false;
            entry.length = length;
            n = static_cast<long long>(x->name_count++);
            if (!index_key_table_put(names, key_slot{entry.name, length, nullptr, 0, static_cast<size_t>(n)}))
                return false;
        }
        return add_member(index->names[n], e, p);
    }

    bool add_value(quorvel_element_index_attribute& entry, quorvel_element* e, uint64_t p, const char* value,
                   size_t length, char* owned) {
        long long v = index_key_table_get(attributes, entry.name, entry.length, value, length);
        if (v < 0) {
            if (!grow(entry.values, entry.value_capacity, entry.value_count + 1)) {
                std::free(owned);
                return false;
            }
            quorvel_element_index_value& ve = entry.values[entry.value_count];
            ve = quorvel_element_index_value{};
            ve.value = owned ? owned : copy_bytes(value, length);
            if (!ve.value) return false;
            ve.length = length;
            v = static_cast<long long>(entry.value_count++);
            if (!index_key_table_put(attributes,
                                     key_slot{entry.name, entry.length, ve.value, length, static_cast<size_t>(v)}))
                return false;
        } else {
            std::free(owned);
        }
        return add_member(entry.values[v], e, p);
    }

    bool add_attributes(quorvel_element* e, uint64_t p) {
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            if (!a->name || a->name_length == 0) continue;
            quorvel_element_index* x = index;
            long long n = index_key_table_get(attributes, a->name, a->name_length);
            if (n < 0) {
                if (!grow(x->attributes, x->attribute_capacity, x->attribute_count + 1)) return false;
                quorvel_element_index_attribute& entry = x->attributes[x->attribute_count];
                entry = quorvel_element_index_attribute{};
                if (!(entry.name = copy_bytes(a->name, a->name_length))) return false;
                entry.length = a->name_length;
                n = static_cast<long long>(x->attribute_count++);
                if (!index_key_table_put(attributes,
                                         key_slot{entry.name, entry.length, nullptr, 0, static_cast<size_t>(n)}))
                    return false;
            }
            quorvel_element_index_attribute& entry = x->attributes[n];
            if (!add_member(entry, e, p)) return false;
            // Values are grouped as readers see them: references decoded.
            const char* value = quorvel_attribute_stored_value(a);
            size_t length = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
            if (!(a->value_length & kAttrInlineValue) && !a->value) length = 0;
            char* decoded = nullptr;
            if ((a->hash & kAttrPendingEntities) && length) {
                quorvel_string_view view{value, length};
                if ((decoded = quorvel_decode_entities_view(&view, nullptr))) {
                    value = decoded;
                    length = std::strlen(decoded);
                }
            }
            if (length == 0) {
                std::free(decoded);
                continue;
            }
            if (!add_value(entry, e, p, value, length, decoded)) return false;
        }
        return true;
    }
};

// Pre-order successor of element n within top's subtree, elements only.
const quorvel_element* next_element(const quorvel_element* n, const quorvel_element* top) {
    for (const quorvel_node* c = quorvel_elem_first_child_raw(n); c; c = quorvel_node_next_raw(c))
        if (c->kind == QUORVEL_NODE_ELEMENT) return reinterpret_cast<const quorvel_element*>(c);
    for (const quorvel_node* at = &n->head; at && at != &top->head; at = quorvel_node_parent_raw(at)) {
        for (const quorvel_node* c = quorvel_node_next_raw(at); c; c = quorvel_node_next_raw(c))
            if (c->kind == QUORVEL_NODE_ELEMENT) return reinterpret_cast<const quorvel_element*>(c);
    }
    return nullptr;
}

size_t count_elements(const quorvel_element* root) {
    size_t n = 0;
    for (const quorvel_element* e = root; e; e = next_element(e, root)) n++;
    return n;
}

}  // namespace

void quorvel_element_index_free(quorvel_element_index* index) {
    if (!index) return;
    for (size_t i = 0; i < index->name_count; i++) {
        std::free(index->names[i].name);
        std::free(index->names[i].elements);
        std::free(index->names[i].positions);
    }
    for (size_t i = 0; i < index->attribute_count; i++) {
        quorvel_element_index_attribute& a = index->attributes[i];
        for (size_t v = 0; v < a.value_count; v++) {
            std::free(a.values[v].value);
            std::free(a.values[v].elements);
            std::free(a.values[v].positions);
        }
        std::free(a.values);
        std::free(a.name);
        std::free(a.elements);
        std::free(a.positions);
    }
    std::free(index->names);
    std::free(index->attributes);
    std::free(index->elements);
    std::free(index->subtree_ends);
    std::free(index);
}

quorvel_element_index* quorvel_element_index_build(quorvel_document* doc) {
    if (!doc || !doc->root) return nullptr;
    quorvel_element* root = doc->root;
    size_t total = count_elements(root);
    auto* index = static_cast<quorvel_element_index*>(std::calloc(1, sizeof(quorvel_element_index)));
    if (!index) return nullptr;
    index->elements = static_cast<quorvel_element**>(std::malloc(total * sizeof(quorvel_element*)));
    index->subtree_ends = static_cast<uint64_t*>(std::malloc(total * sizeof(uint64_t)));
    builder b{index, {}, {}};
    // Positions of the elements whose subtree is still open, outermost first.
    quorvel_small_stack<uint64_t, 64> open;
    bool ok = index->elements && index->subtree_ends;
    quorvel_element* e = root;
    while (ok && e) {
        uint64_t p = index->element_count;
        if (p >= total) break;  // the tree cannot have grown; a guard, not a case
        index->elements[p] = e;
        index->element_count++;
        ok = b.add_name(e, p) && b.add_attributes(e, p) && open.push(p);
        if (!ok) break;
        // Close every open subtree that the step to the next element leaves.
        quorvel_element* next = const_cast<quorvel_element*>(next_element(e, root));
        quorvel_node* next_parent = next ? quorvel_node_parent_raw(&next->head) : nullptr;
        while (!open.empty()) {
            quorvel_element* candidate = index->elements[open.top()];
            if (next && next_parent == &candidate->head) break;
            index->subtree_ends[open.top()] = index->element_count - 1;
            open.pop();
        }
        e = next;
    }
    if (!ok || index->element_count != total) {
        quorvel_element_index_free(index);
        return nullptr;
    }
    return index;
}

quorvel_element_index_value* quorvel_element_index_attr_lookup_value(const quorvel_element_index_attribute* entry,
                                                                     const char* value) {
    if (!entry || !value) return nullptr;
    size_t length = std::strlen(value);
    for (size_t i = 0; i < entry->value_count; i++)
        if (entry->values[i].length == length && std::memcmp(entry->values[i].value, value, length) == 0)
            return &entry->values[i];
    return nullptr;
}
