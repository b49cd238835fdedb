// The element index: a snapshot of the primary root's subtree that the XPath
// engine builds on demand and reads directly: elements in document order
// with the end of each subtree, and the elements grouped by local name and
// by attribute name. The values of an attribute name are grouped on their
// first lookup only (most names are never searched by value), into one hash
// table per name that every later lookup reads. Heap memory only; any tree
// change drops the index (the document then has none until the engine
// builds the next). The walks use parent links and a heap stack of open
// positions, so depth costs no call frames.
#include <cstdint>
#include <cstring>

#include "core/small_stack.h"
#include "dom/dom.h"

struct quorvel_element_index_values {
    quorvel_element_index_value* values;
    size_t count;
    uint32_t* slots;  // value number + 1, 0 free
    size_t slot_count;  // a power of two
    quorvel_element** elements;  // every grouped member, value after value
    uint32_t* positions;
    char** decoded;  // values whose references had to be decoded
    size_t decoded_count;
};

namespace {

uint32_t text_hash(const char* s, size_t n) {
    uint32_t h = 0x811C9DC5u;
    for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(s[i])) * 0x01000193u;
    return h ^ (h >> 15);
}

template <typename T>
bool grow(T*& array, size_t& capacity, size_t needed) {
    if (needed <= capacity) return true;
    size_t fresh = capacity ? capacity * 2 : 8;
    while (fresh < needed) fresh *= 2;
    auto* p = static_cast<T*>(std::realloc(array, fresh * sizeof(T)));
    if (!p) return false;
    array = p;
    capacity = fresh;
    return true;
}

char* copy_bytes(const char* s, size_t n) {
    auto* c = static_cast<char*>(std::malloc(n + 1));
    if (!c) return nullptr;
    std::memcpy(c, s, n);
    c[n] = '\0';
    return c;
}

// ---- Name tables: entry number + 1 per slot, linear probing -----------------------------------

template <typename Entry>
long long slot_find(const uint32_t* slots, size_t slot_count, const Entry* entries, const char* name, size_t length) {
    if (!slot_count) return -1;
    for (size_t s = text_hash(name, length) & (slot_count - 1);; s = (s + 1) & (slot_count - 1)) {
        uint32_t x = slots[s];
        if (!x) return -1;
        const Entry& e = entries[x - 1];
        if (e.length == length && std::memcmp(e.name, name, length) == 0) return static_cast<long long>(x - 1);
    }
}

// Adds entry number n (whose name is given) to the table, growing it to
// stay under half full. False when no memory.
template <typename Entry>
bool slot_add(uint32_t*& slots, size_t& slot_count, const Entry* entries, size_t entry_count, size_t n) {
    if ((entry_count + 1) * 2 > slot_count) {
        size_t fresh = slot_count ? slot_count * 2 : 64;
        auto* grown = static_cast<uint32_t*>(std::calloc(fresh, sizeof(uint32_t)));
        if (!grown) return false;
        for (size_t i = 0; i < slot_count; i++) {
            if (!slots[i]) continue;
            const Entry& e = entries[slots[i] - 1];
            size_t s = text_hash(e.name, e.length) & (fresh - 1);
            while (grown[s]) s = (s + 1) & (fresh - 1);
            grown[s] = slots[i];
        }
        std::free(slots);
        slots = grown;
        slot_count = fresh;
    }
    const Entry& e = entries[n];
    size_t s = text_hash(e.name, e.length) & (slot_count - 1);
    while (slots[s]) s = (s + 1) & (slot_count - 1);
    slots[s] = static_cast<uint32_t>(n + 1);
    return true;
}

// A document keeps one copy of most names: the entry last found for a
// stored name pointer answers again without hashing its bytes.
struct pointer_cache {
    struct slot {
        const char* name;
        size_t entry;
    };
    slot slots[256] = {};
    static size_t of(const char* p) {
        auto v = reinterpret_cast<uintptr_t>(p);
        return (v >> 3 ^ v >> 11) & 255;
    }
};

// The build walks the tree twice: the first walk finds the entries and
// counts their members, so that one block of exactly the needed size holds
// every array, and the second fills them in document order.
struct builder {
    quorvel_element_index* index;
    pointer_cache names;
    pointer_cache attributes;
    size_t attribute_total = 0;

    // The entry number of an element's local name, made on first sight;
    // -1 when no memory.
    long long name_entry(const char* name) {
        quorvel_element_index* x = index;
        pointer_cache::slot& cached = names.slots[pointer_cache::of(name)];
        if (cached.name == name) return static_cast<long long>(cached.entry);
        size_t length = std::strlen(name);
        long long found = slot_find(x->name_slots, x->name_slot_count, x->names, name, length);
        if (found < 0) {
            if (!grow(x->names, x->name_capacity, x->name_count + 1)) return -1;
            quorvel_element_index_name& entry = x->names[x->name_count];
            entry = quorvel_element_index_name{};
            if (!(entry.name = copy_bytes(name, length))) return -1;
            entry.length = length;
            found = static_cast<long long>(x->name_count++);
            if (!slot_add(x->name_slots, x->name_slot_count, x->names, x->name_count - 1, static_cast<size_t>(found)))
                return -1;
        }
        cached = {name, static_cast<size_t>(found)};
        return found;
    }

    long long attribute_entry(const quorvel_attribute* a) {
        quorvel_element_index* x = index;
        pointer_cache::slot& cached = attributes.slots[pointer_cache::of(a->name)];
        if (cached.name == a->name) return static_cast<long long>(cached.entry);
        long long found = slot_find(x->attribute_slots, x->attribute_slot_count, x->attributes, a->name, a->name_length);
        if (found < 0) {
            if (!grow(x->attributes, x->attribute_capacity, x->attribute_count + 1)) return -1;
            quorvel_element_index_attribute& entry = x->attributes[x->attribute_count];
            entry = quorvel_element_index_attribute{};
            if (!(entry.name = copy_bytes(a->name, a->name_length))) return -1;
            entry.length = a->name_length;
            found = static_cast<long long>(x->attribute_count++);
            if (!slot_add(x->attribute_slots, x->attribute_slot_count, x->attributes, x->attribute_count - 1,
                          static_cast<size_t>(found)))
                return -1;
        }
        cached = {a->name, static_cast<size_t>(found)};
        return found;
    }

    // First walk: entries and member counts.
    bool count(quorvel_element* e) {
        if (const char* name = quorvel_elem_name_raw(e)) {
            long long n = name_entry(name);
            if (n < 0) return false;
            index->names[n].capacity++;
        }
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            if (!a->name || a->name_length == 0) continue;
            long long n = attribute_entry(a);
            if (n < 0) return false;
            index->attributes[n].capacity++;
            attribute_total++;
        }
        return true;
    }

    // Second walk: the members, in document order. False when the tree
    // turns out to differ from the first walk (a guard, not a case).
    bool fill(quorvel_element* e, uint32_t p) {
        if (const char* name = quorvel_elem_name_raw(e)) {
            long long n = name_entry(name);
            if (n < 0) return false;
            quorvel_element_index_name& entry = index->names[n];
            if (entry.count == entry.capacity) return false;
            entry.elements[entry.count] = e;
            entry.positions[entry.count] = p;
            entry.count++;
        }
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            if (!a->name || a->name_length == 0) continue;
            long long n = attribute_entry(a);
            if (n < 0) return false;
            quorvel_element_index_attribute& entry = index->attributes[n];
            if (entry.count == entry.capacity) return false;
            entry.elements[entry.count] = e;
            entry.records[entry.count] = a;
            entry.positions[entry.count] = p;
            entry.count++;
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

// ---- Value groups ------------------------------------------------------------------------------

void values_free(quorvel_element_index_values* v) {
    if (!v) return;
    for (size_t i = 0; i < v->decoded_count; i++) std::free(v->decoded[i]);
    std::free(v->decoded);
    std::free(v->values);
    std::free(v->slots);
    std::free(v->elements);
    std::free(v->positions);
    std::free(v);
}

// Groups the entry's members by value, as readers see the value: pending
// references are decoded into copies the group keeps (the records are left
// as they are, so other threads may read them meanwhile). Empty values are
// left out. NULL when no memory.
quorvel_element_index_values* values_build(const quorvel_element_index_attribute* entry) {
    size_t n = entry->count;
    auto* v = static_cast<quorvel_element_index_values*>(std::calloc(1, sizeof(quorvel_element_index_values)));
    if (!v) return nullptr;
    size_t slot_count = 16;
    while (slot_count < n * 2) slot_count *= 2;
    size_t decoded_capacity = 0;
    auto* group = static_cast<uint32_t*>(std::malloc((n ? n : 1) * sizeof(uint32_t)));
    v->slots = static_cast<uint32_t*>(std::calloc(slot_count, sizeof(uint32_t)));
    v->slot_count = slot_count;
    v->values = static_cast<quorvel_element_index_value*>(std::malloc((n ? n : 1) * sizeof(quorvel_element_index_value)));
    v->elements = static_cast<quorvel_element**>(std::malloc((n ? n : 1) * sizeof(quorvel_element*)));
    v->positions = static_cast<uint32_t*>(std::malloc((n ? n : 1) * sizeof(uint32_t)));
    bool ok = group && v->slots && v->values && v->elements && v->positions;
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    for (size_t i = 0; ok && i < n; i++) {
        const quorvel_attribute* a = entry->records[i];
        const char* value = quorvel_attribute_stored_value(a);
        size_t length = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
        if (!(a->value_length & kAttrInlineValue) && !a->value) length = 0;
        if ((a->hash & kAttrPendingEntities) && length) {
            quorvel_string_view view{value, length};
            if (char* decoded = quorvel_decode_entities_view(&view, nullptr)) {
                if (!grow(v->decoded, decoded_capacity, v->decoded_count + 1)) {
                    std::free(decoded);
                    ok = false;
                    break;
                }
                v->decoded[v->decoded_count++] = decoded;
                value = decoded;
                length = std::strlen(decoded);
            }
        }
        if (length == 0) {
            group[i] = kNone;
            continue;
        }
        uint32_t h = text_hash(value, length);
        size_t s = h & (slot_count - 1);
        for (;; s = (s + 1) & (slot_count - 1)) {
            uint32_t x = v->slots[s];
            if (!x) break;
            const quorvel_element_index_value& e = v->values[x - 1];
            if (e.hash == h && e.length == length && std::memcmp(e.value, value, length) == 0) break;
        }
        if (!v->slots[s]) {
            v->values[v->count] = quorvel_element_index_value{value, length, nullptr, nullptr, 0, h};
            v->slots[s] = static_cast<uint32_t>(++v->count);
        }
        uint32_t g = v->slots[s] - 1;
        v->values[g].count++;
        group[i] = g;
    }
    if (ok) {
        // Each value's members take one run of the shared arrays, in
        // document order; count counts up again as the run fills.
        size_t start = 0;
        for (size_t g = 0; g < v->count; g++) {
            quorvel_element_index_value& e = v->values[g];
            e.elements = v->elements + start;
            e.positions = v->positions + start;
            start += e.count;
            e.count = 0;
        }
        for (size_t i = 0; i < n; i++) {
            if (group[i] == kNone) continue;
            quorvel_element_index_value& e = v->values[group[i]];
            const_cast<quorvel_element**>(e.elements)[e.count] = entry->elements[i];
            const_cast<uint32_t*>(e.positions)[e.count] = entry->positions[i];
            e.count++;
        }
    }
    std::free(group);
    if (!ok) {
        values_free(v);
        return nullptr;
    }
    return v;
}

// The entry's value groups, made by the first lookup and published once:
// a thread that loses the race frees its own and reads the winner's.
const quorvel_element_index_values* values_of(const quorvel_element_index_attribute* entry) {
    auto* field = const_cast<quorvel_element_index_values**>(&entry->values);
    quorvel_element_index_values* v = __atomic_load_n(field, __ATOMIC_ACQUIRE);
    if (v) return v;
    quorvel_element_index_values* fresh = values_build(entry);
    if (!fresh) return nullptr;
    quorvel_element_index_values* expected = nullptr;
    if (__atomic_compare_exchange_n(field, &expected, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return fresh;
    values_free(fresh);
    return expected;
}

}  // namespace

void quorvel_element_index_free(quorvel_element_index* index) {
    if (!index) return;
    for (size_t i = 0; i < index->name_count; i++) std::free(index->names[i].name);
    for (size_t i = 0; i < index->attribute_count; i++) {
        values_free(index->attributes[i].values);
        std::free(index->attributes[i].name);
    }
    std::free(index->names);
    std::free(index->attributes);
    std::free(index->name_slots);
    std::free(index->attribute_slots);
    std::free(index->storage);
    std::free(index);
}

quorvel_element_index* quorvel_element_index_build(quorvel_document* doc) {
    if (!doc || !doc->root) return nullptr;
    quorvel_element* root = doc->root;
    auto* index = static_cast<quorvel_element_index*>(std::calloc(1, sizeof(quorvel_element_index)));
    if (!index) return nullptr;
    auto* b = static_cast<builder*>(std::calloc(1, sizeof(builder)));
    if (!b) {
        std::free(index);
        return nullptr;
    }
    b->index = index;
    bool ok = true;
    size_t total = 0;
    for (quorvel_element* e = root; ok && e; e = const_cast<quorvel_element*>(next_element(e, root))) {
        total++;
        ok = b->count(e);
    }
    // One block: elements and subtree ends, then each name's members and
    // positions, then each attribute name's members, records and positions.
    size_t names = 0;
    for (size_t i = 0; ok && i < index->name_count; i++) names += index->names[i].capacity;
    size_t attributes = b->attribute_total;
    if (total >= UINT32_MAX) ok = false;
    size_t bytes = (total + names + 2 * attributes) * 8 + (total + names + attributes) * 4;
    char* block = ok ? static_cast<char*>(std::malloc(bytes ? bytes : 1)) : nullptr;
    if (!block) ok = false;
    index->storage = block;
    if (ok) {
        // Pointers first, then the 4-byte positions.
        auto* pointers = reinterpret_cast<void**>(block);
        auto* positions = reinterpret_cast<uint32_t*>(pointers + total + names + 2 * attributes);
        index->elements = reinterpret_cast<quorvel_element**>(pointers);
        pointers += total;
        index->subtree_ends = positions;
        positions += total;
        for (size_t i = 0; i < index->name_count; i++) {
            quorvel_element_index_name& entry = index->names[i];
            entry.elements = reinterpret_cast<quorvel_element**>(pointers);
            entry.positions = positions;
            pointers += entry.capacity;
            positions += entry.capacity;
        }
        for (size_t i = 0; i < index->attribute_count; i++) {
            quorvel_element_index_attribute& entry = index->attributes[i];
            entry.elements = reinterpret_cast<quorvel_element**>(pointers);
            entry.records = reinterpret_cast<quorvel_attribute**>(pointers + entry.capacity);
            entry.positions = positions;
            pointers += 2 * entry.capacity;
            positions += entry.capacity;
        }
    }
    // Positions of the elements whose subtree is still open, outermost first.
    quorvel_small_stack<uint32_t, 64> open;
    quorvel_element* e = ok ? root : nullptr;
    while (ok && e) {
        auto p = static_cast<uint32_t>(index->element_count);
        if (index->element_count >= total) {
            ok = false;  // the tree cannot have grown; a guard, not a case
            break;
        }
        index->elements[p] = e;
        index->element_count++;
        ok = b->fill(e, p) && open.push(p);
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
    std::free(b);
    if (!ok || index->element_count != total) {
        quorvel_element_index_free(index);
        return nullptr;
    }
    return index;
}

const quorvel_element_index_name* quorvel_element_index_find_name(const quorvel_element_index* index,
                                                                  const char* name, size_t length) {
    if (!index || !name) return nullptr;
    long long n = slot_find(index->name_slots, index->name_slot_count, index->names, name, length);
    return n < 0 ? nullptr : &index->names[n];
}

const quorvel_element_index_attribute* quorvel_element_index_find_attribute(const quorvel_element_index* index,
                                                                            const char* name, size_t length) {
    if (!index || !name) return nullptr;
    long long n = slot_find(index->attribute_slots, index->attribute_slot_count, index->attributes, name, length);
    return n < 0 ? nullptr : &index->attributes[n];
}

bool quorvel_element_index_find_value(const quorvel_element_index_attribute* entry, const char* value,
                                      size_t length, const quorvel_element_index_value** found) {
    *found = nullptr;
    if (!entry || !value || !length) return entry != nullptr;
    const quorvel_element_index_values* v = values_of(entry);
    if (!v) return false;
    uint32_t h = text_hash(value, length);
    for (size_t s = h & (v->slot_count - 1);; s = (s + 1) & (v->slot_count - 1)) {
        uint32_t x = v->slots[s];
        if (!x) return true;
        const quorvel_element_index_value& e = v->values[x - 1];
        if (e.hash == h && e.length == length && std::memcmp(e.value, value, length) == 0) {
            *found = &e;
            return true;
        }
    }
}

const quorvel_element_index_value* quorvel_element_index_attr_lookup_value(
    const quorvel_element_index_attribute* entry, const char* value) {
    const quorvel_element_index_value* found = nullptr;
    if (!value || !quorvel_element_index_find_value(entry, value, std::strlen(value), &found)) return nullptr;
    return found;
}

size_t quorvel_element_index_value_count(const quorvel_element_index_attribute* entry) {
    const quorvel_element_index_values* v = entry ? values_of(entry) : nullptr;
    return v ? v->count : 0;
}
