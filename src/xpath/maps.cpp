// Maps and arrays: the shared value records, their text form, the builder
// that other subsystems fill, and the constructors and lookup operator.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;

constexpr char kEntryMark = '\x02';
constexpr char kValueMark = '\x01';
constexpr char kEscape = '\x0E';
constexpr char kMapHead[] = {'\x03', 'M', 'A', 'P'};
constexpr size_t kMapHeadLength = sizeof kMapHead;
// Map texts nest through escaping; deeper texts are read as plain values.
constexpr int kMaxDecodeDepth = 64;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

const quorvel_xpath_carrier* as_carrier(const quorvel_node* n) {
    return is_item(n) && n->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(n) : nullptr;
}

bool starts_map_text(const char* text, size_t length) {
    return text && length >= kMapHeadLength && !std::memcmp(text, kMapHead, kMapHeadLength);
}

nodeset* owning_sequence() {
    nodeset* s = xpath_nodeset_new();
    if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
    return s;
}

// Takes over a fresh synthetic node (disposed when it cannot be added).
bool add_owned(nodeset* s, quorvel_node* n) {
    if (!n) return false;
    if (!xpath_nodeset_add_fast(s, n)) {
        xpath_nodeset_dispose_node(n);
        return false;
    }
    return true;
}

bool add_copy(nodeset* s, const quorvel_node* n) {
    if (is_synthetic(n)) return add_owned(s, xpath_synthetic_duplicate(n));
    return xpath_nodeset_add_fast(s, const_cast<quorvel_node*>(n)) != 0;
}

// ---- Growable text -------------------------------------------------------------------------------

struct text_out {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    bool reserve(size_t more) {
        if (failed) return false;
        if (length + more + 1 <= capacity) return true;
        size_t c = capacity ? capacity : 32;
        while (c < length + more + 1) c *= 2;
        char* grown = static_cast<char*>(std::realloc(data, c));
        if (!grown) {
            failed = true;
            return false;
        }
        data = grown;
        capacity = c;
        return true;
    }
    void put(const char* bytes, size_t n) {
        if (!reserve(n)) return;
        std::memcpy(data + length, bytes, n);
        length += n;
        data[length] = '\0';
    }
    void put(char b) { put(&b, 1); }
    void put_escaped(const char* bytes, size_t n) {
        for (size_t i = 0; i < n; i++) {
            char b = bytes[i];
            if (b == kValueMark) put("\x0E" "a", 2);
            else if (b == kEntryMark) put("\x0E" "b", 2);
            else if (b == kEscape) put("\x0E" "e", 2);
            else put(b);
        }
    }
    char* take() {
        if (failed) {
            std::free(data);
            data = nullptr;
        } else if (!data) {
            data = static_cast<char*>(std::malloc(1));
            if (data) data[0] = '\0';
        }
        char* out = data;
        data = nullptr;
        return out;
    }
};

// Undoes one level of escaping; NULL when memory runs out.
char* unescape(const char* bytes, size_t n, size_t* out_length) {
    char* out = static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        char b = bytes[i];
        if (b == kEscape && i + 1 < n && (bytes[i + 1] == 'a' || bytes[i + 1] == 'b' || bytes[i + 1] == 'e')) {
            char code = bytes[++i];
            b = code == 'a' ? kValueMark : code == 'b' ? kEntryMark : kEscape;
        }
        out[k++] = b;
    }
    out[k] = '\0';
    if (out_length) *out_length = k;
    return out;
}

// ---- Value records ---------------------------------------------------------------------------------

quorvel_xpath_map_value* map_new(size_t count, bool is_array) {
    auto* m = static_cast<quorvel_xpath_map_value*>(std::calloc(1, sizeof(quorvel_xpath_map_value)));
    if (!m) return nullptr;
    m->refs = 1;
    m->is_array = is_array ? 1 : 0;
    if (count) {
        m->entries = static_cast<quorvel_xpath_map_entry*>(std::calloc(count, sizeof(quorvel_xpath_map_entry)));
        if (!m->entries) {
            std::free(m);
            return nullptr;
        }
    }
    return m;
}

// Frees a map whose last reference went. Maps held by its values whose
// last reference goes with them join a list instead of being freed by
// recursion, so values nested to any depth (a fold can build a million
// levels) free in constant stack.
void map_free(quorvel_xpath_map_value* m) {
    m->next_free = nullptr;
    quorvel_xpath_map_value* pending = m;
    while (pending) {
        quorvel_xpath_map_value* x = pending;
        pending = x->next_free;
        for (size_t i = 0; i < x->count; i++) {
            std::free(x->entries[i].key);
            nodeset* v = x->entries[i].value;
            for (size_t k = 0; v && v->owns_carriers && k < v->count; k++) {
                quorvel_node* n = v->items[k];
                if (!is_item(n) || n->kind != kXpathCarrierNode) continue;
                auto* c = reinterpret_cast<quorvel_xpath_carrier*>(n);
                if (c->ref_kind != XPATH_REF_MAP) continue;
                quorvel_xpath_map_value* inner = c->ref.map;
                c->ref_kind = XPATH_REF_NONE;  // the carrier no longer releases it
                if (inner && __atomic_sub_fetch(&inner->refs, 1, __ATOMIC_ACQ_REL) == 0) {
                    inner->next_free = pending;
                    pending = inner;
                }
            }
            xpath_nodeset_free(v);
        }
        std::free(x->entries);
        std::free(x);
    }
}

bool key_less(const quorvel_xpath_map_entry& a, const quorvel_xpath_map_entry& b) {
    size_t n = a.key_length < b.key_length ? a.key_length : b.key_length;
    int d = std::memcmp(a.key, b.key, n);
    return d ? d < 0 : a.key_length < b.key_length;
}

bool key_equal(const quorvel_xpath_map_entry& a, const char* key, size_t length) {
    return a.key_length == length && !std::memcmp(a.key, key, length);
}

// Stable sort by key: a merge sort over a scratch array (the standard
// stable sort would pull in the C++ runtime's allocator). False when the
// scratch array cannot be made.
bool stable_sort_entries(quorvel_xpath_map_entry* a, size_t n) {
    if (n < 2) return true;
    auto* tmp = static_cast<quorvel_xpath_map_entry*>(std::malloc(n * sizeof(quorvel_xpath_map_entry)));
    if (!tmp) {
        // Insertion sort needs no memory: slower, same order.
        for (size_t i = 1; i < n; i++)
            for (size_t j = i; j > 0 && key_less(a[j], a[j - 1]); j--) std::swap(a[j], a[j - 1]);
        return true;
    }
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n;
            size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) tmp[k++] = key_less(a[j], a[i]) ? a[j++] : a[i++];
            while (i < mid) tmp[k++] = a[i++];
            while (j < hi) tmp[k++] = a[j++];
        }
        std::memcpy(a, tmp, n * sizeof(quorvel_xpath_map_entry));
    }
    std::free(tmp);
    return true;
}

// Sorts a map's entries; false when two keys are equal.
bool map_sort(quorvel_xpath_map_value* m) {
    std::sort(m->entries, m->entries + m->count, key_less);
    for (size_t i = 1; i < m->count; i++)
        if (key_equal(m->entries[i - 1], m->entries[i].key, m->entries[i].key_length)) return false;
    return true;
}

const quorvel_xpath_map_entry* map_find(const quorvel_xpath_map_value* m, const char* key, size_t length) {
    if (m->is_array) {
        // Members are found by position: "1" to "n", digits only.
        if (!length || length > 18) return nullptr;
        size_t index = 0;
        for (size_t i = 0; i < length; i++) {
            if (key[i] < '0' || key[i] > '9') return nullptr;
            index = index * 10 + static_cast<size_t>(key[i] - '0');
        }
        return index >= 1 && index <= m->count ? &m->entries[index - 1] : nullptr;
    }
    size_t lo = 0, hi = m->count;
    quorvel_xpath_map_entry probe{const_cast<char*>(key), length, nullptr};
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (key_less(m->entries[mid], probe)) lo = mid + 1;
        else hi = mid;
    }
    return lo < m->count && key_equal(m->entries[lo], key, length) ? &m->entries[lo] : nullptr;
}

// ---- Text form -----------------------------------------------------------------------------------------

void put_item_text(text_out& out, const quorvel_node* n);

// The text of a value: its one item's text, 0x03 "E" for none, the array
// text of its items for more.
void put_value_text(text_out& out, const nodeset* v) {
    size_t count = 0;
    const quorvel_node* only = nullptr;
    for (size_t i = 0; v && i < v->count; i++)
        if (is_item(v->items[i])) {
            count++;
            only = v->items[i];
        }
    if (count == 0) {
        out.put("\x03" "E", 2);
        return;
    }
    if (count == 1) {
        put_item_text(out, only);
        return;
    }
    out.put(kMapHead, kMapHeadLength);
    size_t index = 0;
    for (size_t i = 0; i < v->count; i++) {
        if (!is_item(v->items[i])) continue;
        char key[24];
        int k = std::snprintf(key, sizeof key, "%zu", ++index);
        out.put(kEntryMark);
        out.put(key, static_cast<size_t>(k));
        out.put(kValueMark);
        text_out inner;
        put_item_text(inner, v->items[i]);
        if (inner.failed) out.failed = true;
        if (inner.data) out.put_escaped(inner.data, inner.length);
        std::free(inner.data);
    }
}

char* map_text(const quorvel_xpath_map_value* m, size_t* length);

void put_item_text(text_out& out, const quorvel_node* n) {
    if (const quorvel_xpath_carrier* c = as_carrier(n)) {
        if (c->ref_kind == XPATH_REF_MAP) {
            size_t length = 0;
            char* text = map_text(c->ref.map, &length);
            if (!text) out.failed = true;
            else out.put(text, length);
            std::free(text);
            return;
        }
        out.put(c->text ? c->text : "", c->text ? c->length : 0);
        return;
    }
    char* t = get_node_text(n);
    if (!t) {
        out.failed = true;
        return;
    }
    out.put(t, std::strlen(t));
    std::free(t);
}

char* map_text(const quorvel_xpath_map_value* m, size_t* length) {
    text_out out;
    out.put(kMapHead, kMapHeadLength);
    for (size_t i = 0; i < m->count; i++) {
        out.put(kEntryMark);
        if (m->is_array) {
            char key[24];
            int k = std::snprintf(key, sizeof key, "%zu", i + 1);
            out.put(key, static_cast<size_t>(k));
        } else {
            out.put_escaped(m->entries[i].key, m->entries[i].key_length);
        }
        out.put(kValueMark);
        text_out value;
        put_value_text(value, m->entries[i].value);
        if (value.failed) out.failed = true;
        if (value.data) out.put_escaped(value.data, value.length);
        std::free(value.data);
    }
    *length = out.length;
    return out.take();
}

// The carrier of a map holds only the head as its text: the whole text
// form is written when asked for (a map can hold whole documents).
quorvel_node* map_carrier(quorvel_xpath_map_value* m) {
    quorvel_node* n = xpath_synth_text(kMapHead, kMapHeadLength);
    if (!n) return nullptr;
    auto* c = reinterpret_cast<quorvel_xpath_carrier*>(n);
    c->ref_kind = XPATH_REF_MAP;
    c->ref.map = m;
    return n;
}

quorvel_xpath_map_value* decode_map(const char* text, size_t length, int depth);

// The value an item text stands for: a nested map, nothing (0x03 "E"), or
// one carrier holding the text.
nodeset* value_of_text(const char* text, size_t length, int depth) {
    nodeset* s = owning_sequence();
    if (!s) return nullptr;
    if (length == 2 && text[0] == '\x03' && text[1] == 'E') return s;
    if (starts_map_text(text, length) && depth < kMaxDecodeDepth) {
        quorvel_xpath_map_value* inner = decode_map(text, length, depth + 1);
        quorvel_node* n = inner ? map_carrier(inner) : nullptr;
        if (!n && inner) xpath_map_value_release(inner);
        if (!add_owned(s, n)) {
            xpath_nodeset_free(s);
            return nullptr;
        }
        return s;
    }
    if (!add_owned(s, xpath_synth_text(text, length))) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    return s;
}

// A map decoded from its text; values that are map texts become nested
// maps, and of equal keys the first stays. NULL when memory runs out.
quorvel_xpath_map_value* decode_map(const char* text, size_t length, int depth) {
    quorvel_xpath_map_builder b{};
    map_entries_decode(&b, length >= kMapHeadLength ? text + kMapHeadLength : "");
    quorvel_xpath_map_value* m = map_new(b.count, false);
    bool ok = m != nullptr;
    for (size_t i = 0; ok && i < b.count; i++) {
        quorvel_xpath_map_entry& e = m->entries[i];
        e.value = value_of_text(b.values[i], std::strlen(b.values[i]), depth);
        if (!e.value) {
            ok = false;
            break;
        }
        e.key = b.keys[i];
        e.key_length = std::strlen(e.key);
        b.keys[i] = nullptr;
        m->count++;
    }
    map_entries_free(&b);
    if (!ok) {
        if (m) map_free(m);
        return nullptr;
    }
    xpath_map_value_seal(m, true);
    return m;
}

const char* number_tag(const quorvel_xpath_result* r) {
    if (r->exact_integer_set) return "N";
    const char* t = r->type_name;
    if (t) {
        if (!std::strcmp(t, "xs:integer")) return "N";
        if (!std::strcmp(t, "xs:decimal")) return "D";
        if (!std::strcmp(t, "xs:float")) return "F";
        if (!std::strcmp(t, "xs:double")) return "O";
        return "O";
    }
    // An untyped whole number is an integer literal or count.
    double v = r->value.number;
    return v > -9007199254740992.0 && v < 9007199254740992.0 && v == std::trunc(v) ? "N" : "O";
}

quorvel_xpath_result* fail_oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

}  // namespace

// ---- Shared records ------------------------------------------------------------------------------------

quorvel_xpath_map_value* xpath_map_value_new(size_t capacity, int is_array) {
    return map_new(capacity, is_array != 0);
}

bool xpath_map_value_seal(quorvel_xpath_map_value* m, bool keep_first) {
    if (m->is_array) return true;
    if (!keep_first) return map_sort(m);
    stable_sort_entries(m->entries, m->count);
    size_t kept = 0;
    for (size_t i = 0; i < m->count; i++) {
        if (kept && key_equal(m->entries[kept - 1], m->entries[i].key, m->entries[i].key_length)) {
            std::free(m->entries[i].key);
            xpath_nodeset_free(m->entries[i].value);
            continue;
        }
        m->entries[kept++] = m->entries[i];
    }
    m->count = kept;
    return true;
}

void xpath_map_value_retain(quorvel_xpath_map_value* m) {
    if (m) __atomic_add_fetch(&m->refs, 1, __ATOMIC_RELAXED);
}

void xpath_map_value_release(quorvel_xpath_map_value* m) {
    if (!m || __atomic_sub_fetch(&m->refs, 1, __ATOMIC_ACQ_REL) != 0) return;
    map_free(m);
}

quorvel_xpath_map_value* xpath_map_of_item(const quorvel_node* item) {
    const quorvel_xpath_carrier* c = as_carrier(item);
    if (!c) return nullptr;
    if (c->ref_kind == XPATH_REF_MAP) {
        xpath_map_value_retain(c->ref.map);
        return c->ref.map;
    }
    if (c->ref_kind != XPATH_REF_NONE || !starts_map_text(c->text, c->length)) return nullptr;
    return decode_map(c->text, c->length, 0);
}

quorvel_xpath_result* xpath_map_result(quorvel_xpath_map_value* m) {
    if (!m) return nullptr;
    nodeset* s = owning_sequence();
    quorvel_node* n = s ? map_carrier(m) : nullptr;
    if (!n) {
        xpath_nodeset_free(s);
        xpath_map_value_release(m);
        return nullptr;
    }
    if (!add_owned(s, n)) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(s);
        return nullptr;
    }
    r->value.nodeset = s;
    return r;
}

nodeset* xpath_value_items(const quorvel_xpath_result* v) {
    nodeset* s = owning_sequence();
    if (!s || !v) return s;
    switch (v->kind) {
    case XPATH_NODESET:
        if (const nodeset* in = v->value.nodeset)
            for (size_t i = 0; i < in->count; i++)
                if (is_item(in->items[i]) && !add_copy(s, in->items[i])) {
                    xpath_nodeset_free(s);
                    return nullptr;
                }
        return s;
    case XPATH_BOOLEAN:
        if (add_owned(s, xpath_synth_text(v->value.boolean ? "\x03" "Bt" : "\x03" "Bf", 3))) return s;
        break;
    case XPATH_NUMBER: {
        char* digits = xpath_to_string(v);
        if (!digits) break;
        size_t n = std::strlen(digits);
        char* text = static_cast<char*>(std::malloc(n + 3));
        if (text) {
            text[0] = '\x03';
            text[1] = number_tag(v)[0];
            std::memcpy(text + 2, digits, n + 1);
        }
        std::free(digits);
        bool ok = text && add_owned(s, xpath_synth_text(text, n + 2));
        std::free(text);
        if (ok) return s;
        break;
    }
    case XPATH_STRING: {
        const char* t = v->value.string ? v->value.string : "";
        if (add_owned(s, xpath_synth_text(t, std::strlen(t)))) return s;
        break;
    }
    default:
        return s;
    }
    xpath_nodeset_free(s);
    return nullptr;
}

quorvel_xpath_node_set* xpath_value_of_item_text(const char* text) {
    if (!text) text = "";
    return value_of_text(text, std::strlen(text), 0);
}

// ---- Builder ---------------------------------------------------------------------------------------------

void map_entries_push(quorvel_xpath_map_builder* b, const char* key, size_t key_length, const char* value,
                      size_t value_length) {
    if (!b) return;
    if (b->count == b->capacity) {
        size_t capacity = b->capacity ? b->count * 2 : 8;
        char** keys = static_cast<char**>(std::realloc(b->keys, capacity * sizeof(char*)));
        if (keys) b->keys = keys;
        char** values = keys ? static_cast<char**>(std::realloc(b->values, capacity * sizeof(char*))) : nullptr;
        if (values) b->values = values;
        if (!keys || !values) {
            map_entries_free(b);
            return;
        }
        b->capacity = capacity;
    }
    char* k = static_cast<char*>(std::malloc(key_length + 1));
    char* v = static_cast<char*>(std::malloc(value_length + 1));
    if (!k || !v) {
        std::free(k);
        std::free(v);
        return;
    }
    if (key_length) std::memcpy(k, key, key_length);
    if (value_length) std::memcpy(v, value, value_length);
    k[key_length] = v[value_length] = '\0';
    b->keys[b->count] = k;
    b->values[b->count] = v;
    b->count++;
}

void xpath_map_builder_add(quorvel_xpath_map_builder* b, const char* key, const char* value) {
    if (!b || !key) return;
    map_entries_push(b, key, std::strlen(key), value ? value : "", value ? std::strlen(value) : 0);
}

void map_entries_free(quorvel_xpath_map_builder* b) {
    if (!b) return;
    for (size_t i = 0; i < b->count; i++) {
        std::free(b->keys[i]);
        std::free(b->values[i]);
    }
    std::free(b->keys);
    std::free(b->values);
    b->keys = b->values = nullptr;
    b->count = b->capacity = 0;
}

void map_entries_decode(quorvel_xpath_map_builder* b, const char* text) {
    if (!b || !text) return;
    const char* p = text;
    while (*p == kEntryMark) {
        const char* key = p + 1;
        const char* mark = std::strchr(key, kValueMark);
        if (!mark) return;
        const char* value = mark + 1;
        const char* end = std::strchr(value, kEntryMark);
        if (!end) end = value + std::strlen(value);
        size_t key_length = 0, value_length = 0;
        char* k = unescape(key, static_cast<size_t>(mark - key), &key_length);
        char* v = k ? unescape(value, static_cast<size_t>(end - value), &value_length) : nullptr;
        size_t before = b->count;
        if (v) map_entries_push(b, k, key_length, v, value_length);
        std::free(k);
        std::free(v);
        if (b->count == before) return;
        p = end;
    }
}

quorvel_xpath_result* xpath_map_value(const quorvel_xpath_map_builder* b) {
    quorvel_xpath_map_builder copy{};
    if (b) {
        copy.keys = b->keys;
        copy.values = b->values;
        copy.count = b->count;
    }
    // Written as text and read back: one place decides what a value text
    // stands for, and of equal keys the first stays.
    text_out out;
    out.put(kMapHead, kMapHeadLength);
    for (size_t i = 0; i < copy.count; i++) {
        out.put(kEntryMark);
        out.put_escaped(copy.keys[i], std::strlen(copy.keys[i]));
        out.put(kValueMark);
        out.put_escaped(copy.values[i], std::strlen(copy.values[i]));
    }
    size_t length = out.length;
    char* text = out.take();
    if (!text) return nullptr;
    quorvel_xpath_map_value* m = decode_map(text, length, 0);
    std::free(text);
    return m ? xpath_map_result(m) : nullptr;
}

quorvel_xpath_result* xpath_map_builder_finish(quorvel_xpath_map_builder* b) {
    if (!b) return nullptr;
    quorvel_xpath_result* r = xpath_map_value(b);
    map_entries_free(b);
    std::free(b);
    return r;
}

char* xpath_map_lookup_result(const quorvel_xpath_result* r, const char* key) {
    if (!r || !key || r->kind != XPATH_NODESET || !r->value.nodeset || !r->value.nodeset->count) return nullptr;
    quorvel_xpath_map_value* m = xpath_map_of_item(r->value.nodeset->items[0]);
    if (!m) return nullptr;
    const quorvel_xpath_map_entry* e = map_find(m, key, std::strlen(key));
    char* out = nullptr;
    if (e) {
        text_out t;
        put_value_text(t, e->value);
        out = t.take();
    }
    xpath_map_value_release(m);
    return out;
}

int xpath_array_members_of(const char* text, char*** members, size_t* count) {
    if (members) *members = nullptr;
    if (count) *count = 0;
    if (!text || !members || !count || !starts_map_text(text, std::strlen(text))) return 0;
    quorvel_xpath_map_builder b{};
    map_entries_decode(&b, text + kMapHeadLength);
    for (size_t i = 0; i < b.count; i++) {
        char expected[24];
        std::snprintf(expected, sizeof expected, "%zu", i + 1);
        if (std::strcmp(b.keys[i], expected) != 0) {
            map_entries_free(&b);
            return 0;
        }
    }
    // A text that stops early (a malformed entry) is no array.
    size_t entries = 0;
    for (const char* p = text + kMapHeadLength; *p; p++)
        if (*p == kEntryMark) entries++;
    if (entries != b.count) {
        map_entries_free(&b);
        return 0;
    }
    for (size_t i = 0; i < b.count; i++) std::free(b.keys[i]);
    std::free(b.keys);
    *members = b.values;
    *count = b.count;
    return 1;
}

char* fn_item_arg_string(const quorvel_xpath_result* r) {
    if (!r) return unescape("\x03" "E", 2, nullptr);
    switch (r->kind) {
    case XPATH_BOOLEAN:
        return unescape(r->value.boolean ? "\x03" "Bt" : "\x03" "Bf", 3, nullptr);
    case XPATH_NODESET: {
        text_out t;
        put_value_text(t, r->value.nodeset);
        return t.take();
    }
    default:
        return xpath_to_string(r);
    }
}

// ---- Operators -----------------------------------------------------------------------------------------

namespace {

// The key of a map entry: the text of one atomic value.
char* key_text(quorvel_xpath_context* c, const quorvel_xpath_result* r) {
    if (r->kind != XPATH_NODESET) {
        char* t = xpath_to_string(r);
        if (!t) fail_oom(c);
        return t;
    }
    const nodeset* s = r->value.nodeset;
    const quorvel_node* only = nullptr;
    size_t count = 0;
    for (size_t i = 0; s && i < s->count; i++)
        if (is_item(s->items[i])) {
            only = s->items[i];
            count++;
        }
    if (count != 1) {
        xpath_context_fail_code(c, "XPTY0004", "A map key must be a single atomic value, got %zu items", count);
        return nullptr;
    }
    if (const quorvel_xpath_carrier* k = as_carrier(only)) {
        if (k->ref_kind == XPATH_REF_MAP || k->ref_kind == XPATH_REF_FUNCTION ||
            (k->text && k->length > 2 && k->text[0] == '\x03' && k->text[1] == 'F' &&
             (k->text[2] == 'R' || (k->text[2] == 'N' && k->length > 3 && k->text[3] == '\x02')))) {
            xpath_context_fail_code(c, "FOTY0013", "A map, array or function cannot be a map key");
            return nullptr;
        }
    }
    char* t = get_node_text(only);
    if (!t) fail_oom(c);
    return t;
}

quorvel_xpath_result* evaluate_map(quorvel_xpath_context* c, const ast* e) {
    size_t pairs = e->count / 2;
    quorvel_xpath_map_value* m = map_new(pairs, false);
    if (!m) return fail_oom(c);
    for (size_t i = 0; i < pairs; i++) {
        quorvel_xpath_result* k = evaluate_expr(c, e->children[2 * i]);
        if (!k) {
            map_free(m);
            return nullptr;
        }
        char* key = key_text(c, k);
        xpath_result_free(k);
        if (!key) {
            map_free(m);
            return nullptr;
        }
        quorvel_xpath_result* v = evaluate_expr(c, e->children[2 * i + 1]);
        nodeset* items = v ? xpath_value_items(v) : nullptr;
        if (v && !items) fail_oom(c);
        xpath_result_free(v);
        if (!items) {
            std::free(key);
            map_free(m);
            return nullptr;
        }
        m->entries[m->count++] = {key, std::strlen(key), items};
    }
    if (!map_sort(m)) {
        map_free(m);
        xpath_context_fail_code(c, "XQDY0137", "Duplicate key in map constructor");
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_map_result(m);
    return r ? r : fail_oom(c);
}

quorvel_xpath_result* evaluate_array(quorvel_xpath_context* c, const ast* e, bool curly) {
    quorvel_xpath_result** values = nullptr;
    size_t members = 0;
    if (curly) {
        // Every item of every expression is one member.
        values = static_cast<quorvel_xpath_result**>(std::calloc(e->count ? e->count : 1, sizeof(void*)));
        if (!values) return fail_oom(c);
        for (size_t i = 0; i < e->count; i++) {
            values[i] = evaluate_expr(c, e->children[i]);
            if (!values[i]) {
                for (size_t j = 0; j < i; j++) xpath_result_free(values[j]);
                std::free(values);
                return nullptr;
            }
            if (values[i]->kind != XPATH_NODESET) members++;
            else if (const nodeset* s = values[i]->value.nodeset)
                for (size_t k = 0; k < s->count; k++) members += is_item(s->items[k]) ? 1 : 0;
        }
    } else {
        members = e->count;
    }
    quorvel_xpath_map_value* m = map_new(members, true);
    bool ok = m != nullptr;
    if (!ok) fail_oom(c);
    for (size_t i = 0; ok && i < e->count; i++) {
        if (!curly) {
            quorvel_xpath_result* v = evaluate_expr(c, e->children[i]);
            nodeset* items = v ? xpath_value_items(v) : nullptr;
            if (v && !items) fail_oom(c);
            xpath_result_free(v);
            if (!items) ok = false;
            else m->entries[m->count++] = {nullptr, 0, items};
            continue;
        }
        nodeset* all = xpath_value_items(values[i]);
        if (!all) {
            fail_oom(c);
            ok = false;
            break;
        }
        for (size_t k = 0; ok && k < all->count; k++) {
            nodeset* one = owning_sequence();
            if (!one || !add_copy(one, all->items[k])) {
                xpath_nodeset_free(one);
                fail_oom(c);
                ok = false;
                break;
            }
            m->entries[m->count++] = {nullptr, 0, one};
        }
        xpath_nodeset_free(all);
    }
    if (values) {
        for (size_t i = 0; i < e->count; i++) xpath_result_free(values[i]);
        std::free(values);
    }
    if (!ok) {
        if (m) map_free(m);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_map_result(m);
    return r ? r : fail_oom(c);
}

// Adds the value of one entry of m, looked up by key text, to out; false
// with the error set when an array has no such position.
bool lookup_key(quorvel_xpath_context* c, const quorvel_xpath_map_value* m, const char* key, size_t key_length,
                nodeset* out) {
    const quorvel_xpath_map_entry* found = map_find(m, key, key_length);
    if (m->is_array && !found) {
        bool digits = key_length > 0;
        for (size_t k = 0; k < key_length; k++) digits = digits && key[k] >= '0' && key[k] <= '9';
        if (digits)
            xpath_context_fail_code(c, "FOAY0001", "Array index %.*s out of bounds (1 to %zu)",
                                    static_cast<int>(key_length), key, m->count);
        else
            xpath_context_fail_code(c, "XPTY0004", "An array is looked up by integer position, not '%.*s'",
                                    static_cast<int>(key_length), key);
        return false;
    }
    if (found)
        for (size_t k = 0; k < found->value->count; k++)
            if (is_item(found->value->items[k]) && !add_copy(out, found->value->items[k])) {
                fail_oom(c);
                return false;
            }
    return true;
}

// Adds every entry's value: an array's members in order, a map's values.
bool lookup_all(quorvel_xpath_context* c, const quorvel_xpath_map_value* m, nodeset* out) {
    for (size_t i = 0; i < m->count; i++) {
        const nodeset* v = m->entries[i].value;
        for (size_t k = 0; v && k < v->count; k++)
            if (is_item(v->items[k]) && !add_copy(out, v->items[k])) {
                fail_oom(c);
                return false;
            }
    }
    return true;
}

quorvel_xpath_result* evaluate_lookup(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed lookup");
        return nullptr;
    }
    quorvel_xpath_result* base = evaluate_expr(c, e->children[0]);
    if (!base) return nullptr;
    // "?(keys)": every atomic key in turn, as its text.
    quorvel_xpath_result* key_value = nullptr;
    nodeset* keys = nullptr;
    if (e->count > 1) {
        key_value = evaluate_expr(c, e->children[1]);
        keys = key_value ? xpath_value_items(key_value) : nullptr;
        if (!keys) {
            if (key_value) fail_oom(c);
            xpath_result_free(key_value);
            xpath_result_free(base);
            return nullptr;
        }
    }
    bool wildcard = !e->text && e->count == 1;
    const char* key = e->text ? e->text : "";
    size_t key_length = std::strlen(key);
    nodeset* out = owning_sequence();
    bool ok = out != nullptr;
    if (!ok) fail_oom(c);
    const nodeset* s = base->kind == XPATH_NODESET ? base->value.nodeset : nullptr;
    if (ok && base->kind != XPATH_NODESET) {
        xpath_context_fail_code(c, "XPTY0004", "The lookup operator needs a map or an array");
        ok = false;
    }
    for (size_t i = 0; ok && s && i < s->count; i++) {
        quorvel_xpath_map_value* m = is_item(s->items[i]) ? xpath_map_of_item(s->items[i]) : nullptr;
        if (!m) {
            xpath_context_fail_code(c, "XPTY0004", "The lookup operator needs a map or an array");
            ok = false;
            break;
        }
        if (wildcard) {
            ok = lookup_all(c, m, out);
        } else if (keys) {
            for (size_t k = 0; ok && k < keys->count; k++) {
                char* text = get_node_text(keys->items[k]);
                if (!text) {
                    fail_oom(c);
                    ok = false;
                    break;
                }
                ok = lookup_key(c, m, text, std::strlen(text), out);
                std::free(text);
            }
        } else {
            ok = lookup_key(c, m, key, key_length, out);
        }
        xpath_map_value_release(m);
    }
    xpath_result_free(base);
    xpath_nodeset_free(keys);
    xpath_result_free(key_value);
    if (!ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(out);
        return fail_oom(c);
    }
    r->value.nodeset = out;
    return r;
}

}  // namespace

char* xpath_map_key_text(quorvel_xpath_context* c, const quorvel_xpath_result* key) { return key_text(c, key); }

const quorvel_xpath_map_entry* xpath_map_find(const quorvel_xpath_map_value* m, const char* key, size_t length) {
    return m && key ? map_find(m, key, length) : nullptr;
}

quorvel_node* xpath_map_carrier(quorvel_xpath_map_value* m) { return m ? map_carrier(m) : nullptr; }

quorvel_xpath_result* xpath_evaluate_map_operator(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e) {
    switch (static_cast<int32_t>(e->number)) {
    case OP_MAP: return evaluate_map(c, e);
    case OP_ARRAY: return evaluate_array(c, e, false);
    case OP_CURLY_ARRAY: return evaluate_array(c, e, true);
    default: return evaluate_lookup(c, e);
    }
}
