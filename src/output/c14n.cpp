// Canonical XML: the inclusive and exclusive canonical forms of a document
// or an element subtree, with or without comments, as a malloc'd string.
// The writer has its own growable buffer (not the serializer's) and an
// explicit stack, so depth costs heap, not call frames. Nothing is dropped
// or invented: every attribute is written, entity references give their text.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "output/output.h"
#include "dtd/dtd.h"

namespace {

// ---- Output buffer --------------------------------------------------------------------

// Bytes that need escaping: bit 0 in text, bit 1 in attribute values.
constexpr uint8_t kEscText = 1;
constexpr uint8_t kEscAttr = 2;

struct escape_table {
    uint8_t bits[256] = {};
    constexpr escape_table() {
        bits[static_cast<unsigned char>('&')] = kEscText | kEscAttr;
        bits[static_cast<unsigned char>('<')] = kEscText | kEscAttr;
        bits[static_cast<unsigned char>('>')] = kEscText;  // unchanged in attribute values
        bits[static_cast<unsigned char>('\r')] = kEscText | kEscAttr;
        bits[static_cast<unsigned char>('"')] = kEscAttr;
        bits[static_cast<unsigned char>('\t')] = kEscAttr;
        bits[static_cast<unsigned char>('\n')] = kEscAttr;
    }
};
constexpr escape_table kEscapes;

struct c14n_out {
    char* text = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;
    quorvel_release_fn release = nullptr;

    c14n_out() = default;
    c14n_out(const c14n_out&) = delete;
    c14n_out& operator=(const c14n_out&) = delete;
    ~c14n_out() { ser_work_release(text, release); }

    bool start(size_t expected) {
        capacity = expected < 4096 ? 4096 : expected;
        text = static_cast<char*>(ser_work_alloc(capacity, &release));
        if (!text) return fail();
        return true;
    }
    bool fail() {
        failed = true;
        return false;
    }
    // Room for n more bytes and the NUL; doubles the block as needed.
    bool reserve(size_t n) {
        if (failed) return false;
        if (capacity - length > n) return true;
        size_t need = length + n + 1;
        if (need < n) return fail();
        size_t grown = capacity;
        while (grown < need) {
            if (grown > SIZE_MAX / 2) return fail();
            grown *= 2;
        }
        char* fresh = static_cast<char*>(ser_work_resize(text, length, grown, &release));
        if (!fresh) return fail();
        text = fresh;
        capacity = grown;
        return true;
    }
    // The NUL is written once, by take(); reserve keeps room for it.
    void put(const char* s, size_t n) {
        if (!reserve(n)) return;
        std::memcpy(text + length, s, n);
        length += n;
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void put(char c) {
        if (!reserve(1)) return;
        text[length++] = c;
    }

    // Copies runs between the bytes the mask marks, writing each of those
    // as its reference.
    void put_escaped(const char* s, size_t n, uint8_t mask) {
        size_t run = 0;
        for (size_t i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (!(kEscapes.bits[c] & mask)) continue;
            if (i > run) put(s + run, i - run);
            switch (c) {
                case '&': put("&amp;", 5); break;
                case '<': put("&lt;", 4); break;
                case '>': put("&gt;", 4); break;
                case '"': put("&quot;", 6); break;
                case '\t': put("&#x9;", 5); break;
                case '\n': put("&#xA;", 5); break;
                default: put("&#xD;", 5); break;  // '\r'
            }
            run = i + 1;
        }
        if (n > run) put(s + run, n - run);
    }
    void put_text(const char* s, size_t n) { put_escaped(s, n, kEscText); }
    void put_attribute_value(const char* s, size_t n) { put_escaped(s, n, kEscAttr); }

    // Comment and processing-instruction content is copied as it is, but a
    // carriage return (only a tree built by hand can hold one) is written
    // as a reference so that reading the output back keeps it.
    void put_markup_content(const char* s, size_t n) {
        size_t run = 0;
        for (size_t i = 0; i < n; i++) {
            if (s[i] != '\r') continue;
            if (i > run) put(s + run, i - run);
            put("&#xD;", 5);
            run = i + 1;
        }
        if (n > run) put(s + run, n - run);
    }

    // A generous first block is given back here: shrinking moves nothing.
    // NULL when the caller's copy cannot be made.
    char* take() {
        text[length] = '\0';
        char* t = text;
        text = nullptr;
        if (!release && capacity - length > 65536) {
            if (char* fitted = static_cast<char*>(g_ser_realloc(t, length + 1))) t = fitted;
            return t;
        }
        return ser_work_hand_out(t, length, length + 1, release);
    }
};

// ---- Small growable arrays ------------------------------------------------------------

template <typename T>
class c14n_vector {
public:
    c14n_vector() = default;
    c14n_vector(const c14n_vector&) = delete;
    c14n_vector& operator=(const c14n_vector&) = delete;
    ~c14n_vector() { ser_work_release(data_, release_); }

    [[nodiscard]] bool push(const T& item) {
        if (size_ == capacity_) {
            size_t cap = capacity_ ? capacity_ * 2 : 16;
            if (cap > SIZE_MAX / sizeof(T)) return false;
            void* fresh = ser_work_resize(data_, size_ * sizeof(T), cap * sizeof(T), &release_);
            if (!fresh) return false;
            data_ = static_cast<T*>(fresh);
            capacity_ = cap;
        }
        data_[size_++] = item;
        return true;
    }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    size_t size() const { return size_; }
    void truncate(size_t n) { size_ = n; }
    T& back() { return data_[size_ - 1]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    quorvel_release_fn release_ = nullptr;
};

// ---- Namespace bindings ------------------------------------------------------------------

// A prefix bound to a URI; prefix NULL for the default namespace. slot is
// the prefix's entry in the writer's prefix table.
struct ns_binding {
    const char* prefix;
    const char* uri;
    uint32_t slot;
};

inline const char* as_prefix(const char* p) { return p && *p ? p : nullptr; }

inline bool is_xml_prefix(const char* p) { return p && std::strcmp(p, "xml") == 0; }

constexpr uint32_t kNone = UINT32_MAX;

// One entry per distinct prefix met in the call (entry 0: the default
// namespace), found by hashing the prefix's bytes. An entry holds the
// position of the prefix's nearest binding in each binding stack and the
// stamps of the element that last declared or chose it, so every question
// about a prefix is answered without walking a list: an element with many
// declarations, or many levels each declaring some, costs time in
// proportion to its declarations.
struct prefix_entry {
    const char* key;  // NULL for the default namespace
    uint32_t hash;
    uint32_t top[2];  // nearest binding per stack, kNone for none
    uint64_t declared;  // stamp of the element that declares it
    uint64_t chosen;    // stamp of the element that writes it
};

// FNV-1a over the prefix bytes.
inline uint32_t prefix_hash(const char* p) {
    uint32_t h = 2166136261u;
    for (; *p; p++) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    return h;
}

// "xmlns" or "xmlns:p" with a non-empty p: a declaration kept as an
// attribute (trees built through the attribute functions can hold them).
bool declaration_attribute(const quorvel_attribute* a, const char** prefix) {
    const char* n = a->name;
    size_t len = a->name_length;
    if (!n || len < 5 || std::memcmp(n, "xmlns", 5) != 0) return false;
    if (len == 5) {
        *prefix = nullptr;
        return true;
    }
    if (len > 6 && n[5] == ':') {
        *prefix = n + 6;
        return true;
    }
    return false;
}


class prefix_table {
public:
    prefix_table() = default;
    prefix_table(const prefix_table&) = delete;
    prefix_table& operator=(const prefix_table&) = delete;
    ~prefix_table() { ser_work_release(index_, index_release_); }

    // The entry of prefix (NULL or "" for the default namespace), made when
    // the prefix is new; kNone when memory ran out.
    uint32_t entry_of(const char* prefix) {
        if (!entries_.size() && !entries_.push(prefix_entry{nullptr, 0, {kNone, kNone}, 0, 0})) return kNone;
        prefix = as_prefix(prefix);
        if (!prefix) return 0;
        if ((entries_.size() + 1) * 2 > mask_ + 1 && !grow()) return kNone;
        uint32_t h = prefix_hash(prefix);
        size_t i = h & mask_;
        for (; index_[i]; i = (i + 1) & mask_) {
            const prefix_entry& e = entries_[index_[i] - 1];
            if (e.hash == h && std::strcmp(e.key, prefix) == 0) return index_[i] - 1;
        }
        if (entries_.size() >= kNone - 1 || !entries_.push(prefix_entry{prefix, h, {kNone, kNone}, 0, 0}))
            return kNone;
        index_[i] = static_cast<uint32_t>(entries_.size());
        return index_[i] - 1;
    }
    // The entry of prefix, or kNone when the prefix was never met.
    uint32_t find(const char* prefix) const {
        if (!entries_.size()) return kNone;
        prefix = as_prefix(prefix);
        if (!prefix) return 0;
        if (!index_) return kNone;
        uint32_t h = prefix_hash(prefix);
        for (size_t i = h & mask_; index_[i]; i = (i + 1) & mask_) {
            const prefix_entry& e = entries_[index_[i] - 1];
            if (e.hash == h && std::strcmp(e.key, prefix) == 0) return index_[i] - 1;
        }
        return kNone;
    }
    prefix_entry& operator[](uint32_t i) { return entries_[i]; }

private:
    bool grow() {
        size_t cap = index_ ? (mask_ + 1) * 2 : 64;
        quorvel_release_fn release;
        auto* fresh = static_cast<uint32_t*>(ser_work_alloc(cap * sizeof(uint32_t), &release));
        if (!fresh) return false;
        std::memset(fresh, 0, cap * sizeof(uint32_t));
        for (size_t n = 1; n < entries_.size(); n++) {
            size_t i = entries_[n].hash & (cap - 1);
            while (fresh[i]) i = (i + 1) & (cap - 1);
            fresh[i] = static_cast<uint32_t>(n + 1);
        }
        ser_work_release(index_, index_release_);
        index_ = fresh;
        index_release_ = release;
        mask_ = cap - 1;
        return true;
    }

    c14n_vector<prefix_entry> entries_;
    uint32_t* index_ = nullptr;  // open addressing: entry number + 1, 0 when free
    size_t mask_ = 0;
    quorvel_release_fn index_release_ = nullptr;
};

// Bindings in the order they came into force, each remembering the binding
// of its prefix that it hides, so that dropping the latest ones restores
// the table's nearest bindings.
class binding_stack {
public:
    explicit binding_stack(int which) : which_(which) {}

    [[nodiscard]] bool push(prefix_table& table, const ns_binding& b) {
        if (items_.size() >= kNone) return false;
        if (!items_.push(item{b, table[b.slot].top[which_]})) return false;
        table[b.slot].top[which_] = static_cast<uint32_t>(items_.size() - 1);
        return true;
    }
    // The nearest binding of the prefix of entry slot, or NULL. The pointer
    // lasts until the next push.
    const ns_binding* nearest(prefix_table& table, uint32_t slot) {
        if (slot == kNone) return nullptr;
        uint32_t top = table[slot].top[which_];
        return top == kNone ? nullptr : &items_[top].binding;
    }
    // Whether the nearest binding of slot's prefix came at or after mark.
    bool bound_since(prefix_table& table, uint32_t slot, size_t mark) {
        uint32_t top = table[slot].top[which_];
        return top != kNone && top >= mark;
    }
    // Whether no later binding hides binding i.
    bool is_nearest(prefix_table& table, size_t i) { return table[items_[i].binding.slot].top[which_] == i; }
    void truncate(prefix_table& table, size_t n) {
        for (size_t i = items_.size(); i > n; i--) {
            const item& x = items_[i - 1];
            table[x.binding.slot].top[which_] = x.hidden;
        }
        if (n < items_.size()) items_.truncate(n);
    }
    size_t size() const { return items_.size(); }
    const ns_binding& operator[](size_t i) const { return items_[i].binding; }

private:
    struct item {
        ns_binding binding;
        uint32_t hidden;  // the binding of the same prefix before it, kNone for none
    };
    c14n_vector<item> items_;
    int which_;
};

inline quorvel_element* parent_element(const quorvel_element* e) {
    return static_cast<quorvel_element*>(quorvel_link_get(e, &e->parent));
}

// ---- Attributes ---------------------------------------------------------------------------

struct attr_item {
    const char* uri;    // "" for none
    const char* local;  // sort key
    size_t local_length;
    const char* name;   // as stored, prefix included
    size_t name_length;
    const char* value;
    size_t value_length;
};

// Namespace URI first (none sorting as ""), then local name bytewise, the
// shorter name first when one begins the other.
bool attr_before(const attr_item& a, const attr_item& b) {
    int c = std::strcmp(a.uri, b.uri);
    if (c) return c < 0;
    size_t n = a.local_length < b.local_length ? a.local_length : b.local_length;
    c = std::memcmp(a.local, b.local, n);
    if (c) return c < 0;
    return a.local_length < b.local_length;
}

bool binding_before(const ns_binding& a, const ns_binding& b) {
    if (!a.prefix) return b.prefix != nullptr;
    if (!b.prefix) return false;
    return std::strcmp(a.prefix, b.prefix) < 0;
}

// ---- The writer ----------------------------------------------------------------------------

enum class c14n_mode { inclusive, exclusive };

struct c14n_frame {
    quorvel_element* element;
    size_t scope_mark;     // scope size before the element's declarations
    size_t rendered_mark;  // rendered size before the element (exclusive)
};

class c14n_writer {
public:
    c14n_writer(c14n_out& out, c14n_mode mode, const char* const* inclusive_prefixes, bool comments,
                quorvel_document* doc)
        : out_(out), mode_(mode), inclusive_prefixes_(inclusive_prefixes), comments_(comments), doc_(doc) {}
    ~c14n_writer() {
        if (scratch_) quorvel_pool_destroy(scratch_);
    }
    c14n_writer(const c14n_writer&) = delete;
    c14n_writer& operator=(const c14n_writer&) = delete;

    // Set when an entity expansion passed the size limit (the thread's last
    // error then says so); any other failure is lack of memory.
    bool expansion_refused = false;

    // Writes the subtree of apex; false when memory ran out or an entity
    // could not be expanded (the thread's last error then says why).
    bool write_subtree(quorvel_element* apex);
    void write_top_level(const quorvel_node* n, bool before_root);

private:
    bool open_element(quorvel_element* e, bool apex);
    void close_element(const quorvel_element* e);
    bool write_leaf(const quorvel_node* n);
    bool write_entity_reference(const quorvel_comment* ref);
    void write_pi(const quorvel_pi* pi);
    void write_qualified_name(const quorvel_element* e);
    bool collect_declarations(const quorvel_element* e);
    bool inherit_ancestor_scope(const quorvel_element* apex);
    bool choose_inclusive(quorvel_element* e, bool apex);
    bool choose_exclusive(quorvel_element* e);
    bool collect_attributes(quorvel_element* e, bool apex);
    bool read_value(const quorvel_attribute* a, attr_item* item);
    quorvel_pool* scratch();
    void trim_scratch();
    const char* uri_of(const char* prefix);
    bool fail() {
        out_.failed = true;
        return false;
    }

    c14n_out& out_;
    c14n_mode mode_;
    const char* const* inclusive_prefixes_;
    bool comments_;
    quorvel_document* doc_;
    bool expansion_counted_ = false;

    prefix_table prefixes_;
    binding_stack scope_{0};            // declarations in scope, nearest last
    binding_stack rendered_{1};         // exclusive: what output ancestors declared
    c14n_vector<ns_binding> chosen_;    // declarations to write on this element
    c14n_vector<ns_binding> own_;       // the element's own declarations (and, at the apex, the inherited ones)
    quorvel_pool* scratch_ = nullptr;   // decoded values and expanded references, made on first need
    size_t scratch_bytes_ = 0;          // about what scratch_ holds
    uint64_t stamp_ = 0;                // numbers the elements as their declarations are collected
    c14n_vector<attr_item> attrs_;
    c14n_vector<c14n_frame> frames_;
};

void c14n_writer::write_qualified_name(const quorvel_element* e) {
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ext && ext->prefix && *ext->prefix) {
        out_.put(ext->prefix);
        out_.put(':');
    }
    const char* name = quorvel_elem_name_raw(e);
    out_.put(name ? name : "element");
}

const char* c14n_writer::uri_of(const char* prefix) {
    const ns_binding* b = scope_.nearest(prefixes_, prefixes_.find(prefix));
    return b ? b->uri : nullptr;
}

// The declarations e makes, into own_: its declaration list, then its
// declaration attributes; a prefix declared twice counts once (the first).
// The prefixes' entries get the element's stamp.
bool c14n_writer::collect_declarations(const quorvel_element* e) {
    own_.truncate(0);
    uint64_t stamp = ++stamp_;
    auto add = [&](const char* prefix, const char* uri) {
        uint32_t slot = prefixes_.entry_of(prefix);
        if (slot == kNone) return false;
        if (prefixes_[slot].declared == stamp) return true;
        prefixes_[slot].declared = stamp;
        return own_.push(ns_binding{as_prefix(prefix), uri, slot});
    };
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    for (const quorvel_ns_decl* d = ext ? ext->ns_decls : nullptr; d; d = d->next)
        if (!add(d->prefix, d->uri ? d->uri : "")) return false;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* prefix;
        if (declaration_attribute(a, &prefix) && !add(prefix, quorvel_attribute_stored_value(a))) return false;
    }
    return true;
}

// The declarations above the apex, farthest first, so that the nearest
// binding of each prefix is found first.
bool c14n_writer::inherit_ancestor_scope(const quorvel_element* apex) {
    c14n_vector<const quorvel_element*> chain;
    for (const quorvel_element* p = parent_element(apex); p; p = parent_element(p))
        if (!chain.push(p)) return false;
    for (size_t i = chain.size(); i > 0; i--) {
        if (!collect_declarations(chain[i - 1])) return false;
        for (const ns_binding& b : own_)
            if (!scope_.push(prefixes_, b)) return false;
    }
    return true;
}

// Inclusive: a declaration is written unless the output parent has the same
// binding; the apex writes every binding in scope (it has no output parent),
// the empty default namespace excepted.
bool c14n_writer::choose_inclusive(quorvel_element* e, bool apex) {
    chosen_.truncate(0);
    size_t level = scope_.size();
    // Collected before any is pushed, so that comparisons see the parent.
    if (!collect_declarations(e)) return false;
    if (apex) {
        for (size_t i = scope_.size(); i > 0; i--) {
            const ns_binding& b = scope_[i - 1];
            // The element's own declaration, or a nearer binding, wins.
            if (prefixes_[b.slot].declared == stamp_ || !scope_.is_nearest(prefixes_, i - 1)) continue;
            if (!own_.push(b)) return false;
        }
    }
    for (const ns_binding& b : own_) {
        if (is_xml_prefix(b.prefix) && std::strcmp(b.uri, kXmlNamespaceUri) == 0) continue;
        const ns_binding* parent = apex ? nullptr : scope_.nearest(prefixes_, b.slot);
        const char* before = parent ? parent->uri : "";
        if (std::strcmp(before, b.uri) != 0 && !chosen_.push(b)) return false;
    }
    for (const ns_binding& b : own_)
        if (!scope_.bound_since(prefixes_, b.slot, level) && !scope_.push(prefixes_, b)) return false;
    return true;
}

// Exclusive: only the namespaces the element and its attributes use, and
// those of the inclusive prefix list, each unless an output ancestor
// already declared it with the same URI.
bool c14n_writer::choose_exclusive(quorvel_element* e) {
    chosen_.truncate(0);
    if (!collect_declarations(e)) return false;
    for (const ns_binding& b : own_)
        if (!scope_.push(prefixes_, b)) return false;
    uint64_t stamp = stamp_;

    // Whether (prefix, uri) is what the nearest output ancestor declared for
    // the prefix; with none, only the empty default namespace counts.
    auto rendered = [&](uint32_t slot, const char* uri) {
        const ns_binding* b = rendered_.nearest(prefixes_, slot);
        if (b) return std::strcmp(b->uri, uri) == 0;
        return slot == 0 && !*uri;
    };
    auto is_xml_namespace = [](const char* prefix, const char* uri) {
        return is_xml_prefix(prefix) && std::strcmp(uri, kXmlNamespaceUri) == 0;
    };
    auto choose = [&](const ns_binding& b) {
        if (prefixes_[b.slot].chosen == stamp) return true;
        prefixes_[b.slot].chosen = stamp;
        return chosen_.push(b);
    };
    // The nearest binding in scope of prefix, copied (the stacks move).
    auto in_scope = [&](const char* prefix, ns_binding* out) {
        const ns_binding* b = scope_.nearest(prefixes_, prefixes_.find(prefix));
        if (!b) return false;
        *out = *b;
        return true;
    };
    // A binding the element uses: declared here unless already rendered,
    // and rendered from here on.
    auto use = [&](const ns_binding& b) {
        bool already = rendered(b.slot, b.uri);
        if (!rendered_.push(prefixes_, b)) return false;
        return already || choose(b);
    };

    bool default_seen = false;          // the default namespace is settled
    bool default_in_list = false;       // the inclusive list names it
    if (inclusive_prefixes_) {
        for (const char* const* p = inclusive_prefixes_; *p; p++) {
            const char* prefix = *p;
            if (std::strcmp(prefix, "#default") == 0 || !*prefix) {
                prefix = nullptr;
                default_in_list = true;
            }
            ns_binding b;
            if (!in_scope(prefix, &b) || is_xml_namespace(b.prefix, b.uri)) continue;
            if (!use(b)) return false;
            if (!b.prefix) default_seen = true;
        }
    }

    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    const char* own_prefix = ext ? as_prefix(ext->prefix) : nullptr;
    bool uses_default = own_prefix == nullptr;
    if (ns_binding b; in_scope(own_prefix, &b) && !is_xml_namespace(b.prefix, b.uri)) {
        if (!rendered(b.slot, b.uri) && !choose(b)) return false;
        if (!rendered_.push(prefixes_, b)) return false;
        if (!b.prefix) default_seen = true;
    }

    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* ignored;
        if (!a->name || declaration_attribute(a, &ignored)) continue;
        const char* prefix = quorvel_attribute_prefix(a);
        if (!prefix || is_xml_prefix(prefix)) continue;
        ns_binding b;
        if (in_scope(prefix, &b) && !use(b)) return false;
    }

    // An element in no namespace below an output ancestor that declared a
    // default namespace takes it back with xmlns="".
    if ((uses_default || default_in_list) && !default_seen && !rendered(0, "")) {
        uint32_t slot = prefixes_.entry_of(nullptr);
        if (slot == kNone || !choose(ns_binding{nullptr, "", slot})) return false;
    }
    return true;
}

// The value, references decoded into a copy when the parser left them
// pending: the document keeps its raw value. The inclusive form decodes
// leniently, the exclusive one under the thread's setting; a value that
// does not decode is written as it is.
bool c14n_writer::read_value(const quorvel_attribute* a, attr_item* item) {
    if (!quorvel_attribute_pending(a)) {
        item->value = quorvel_attribute_stored_value(a);
        item->value_length = a->value_length & ~kAttrInlineValue;
        return true;
    }
    quorvel_pool* pool = scratch();
    if (!pool) return false;
    // Another thread reading the document may publish a decoded value into
    // the record meanwhile: the raw text is read under the lazy lock.
    if (doc_) quorvel_document_lazy_lock(doc_);
    item->value = quorvel_attribute_stored_value(a);
    item->value_length = a->value_length & ~kAttrInlineValue;
    if ((a->hash & kAttrPendingEntities) && item->value_length) {
        quorvel_string_view raw{item->value, item->value_length};
        int strict = g_quorvel_strict_mode;
        if (mode_ == c14n_mode::inclusive) g_quorvel_strict_mode = 0;
        char* decoded = quorvel_decode_entities_view(&raw, pool);
        g_quorvel_strict_mode = strict;
        if (decoded) {
            scratch_bytes_ += item->value_length;
            item->value = decoded;
            item->value_length = std::strlen(decoded);
        }
    }
    if (doc_) quorvel_document_lazy_unlock(doc_);
    return true;
}

quorvel_pool* c14n_writer::scratch() {
    if (!scratch_) scratch_ = quorvel_pool_create_with_page_size(4096);
    return scratch_;
}

// Copies in the scratch pool live until the next element or reference is
// written; once they add up, the pool starts afresh.
void c14n_writer::trim_scratch() {
    if (scratch_ && scratch_bytes_ > 65536) {
        quorvel_pool_destroy(scratch_);
        scratch_ = nullptr;
        scratch_bytes_ = 0;
    }
}

bool c14n_writer::collect_attributes(quorvel_element* e, bool apex) {
    trim_scratch();
    attrs_.truncate(0);
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* ignored;
        if (!a->name || !a->name_length || declaration_attribute(a, &ignored)) continue;
        attr_item item{};
        item.name = a->name;
        item.name_length = a->name_length;
        item.local = a->name;
        item.local_length = a->name_length;
        item.uri = "";
        if (const char* prefix = quorvel_attribute_prefix(a)) {
            size_t skip = std::strlen(prefix) + 1;
            if (skip < a->name_length) {
                item.local = a->name + skip;
                item.local_length = a->name_length - skip;
            }
            const char* uri = is_xml_prefix(prefix) ? kXmlNamespaceUri : uri_of(prefix);
            item.uri = uri ? uri : "";
        }
        if (!read_value(a, &item) || !attrs_.push(item)) return false;
    }
    // An apex below other elements also carries the xml: attributes it
    // inherits (language, space, base), the nearest of each, unless it has
    // its own; the exclusive form leaves them out.
    if (apex && mode_ == c14n_mode::inclusive) {
        for (quorvel_element* p = parent_element(e); p; p = parent_element(p)) {
            for (quorvel_attribute* a = quorvel_elem_first_attr(p); a; a = quorvel_attr_next(a)) {
                if (!a->name || a->name_length <= 4 || std::memcmp(a->name, "xml:", 4) != 0) continue;
                const char* local = a->name + 4;
                size_t local_length = a->name_length - 4;
                bool present = false;
                for (size_t i = 0; i < attrs_.size() && !present; i++) {
                    const attr_item& x = attrs_[i];
                    present = x.uri == kXmlNamespaceUri && x.local_length == local_length &&
                              std::memcmp(x.local, local, local_length) == 0;
                }
                if (present) continue;
                attr_item item{kXmlNamespaceUri, local, local_length, a->name, a->name_length, nullptr, 0};
                if (!read_value(a, &item) || !attrs_.push(item)) return false;
            }
        }
    }
    std::sort(attrs_.begin(), attrs_.end(), attr_before);
    return true;
}

bool c14n_writer::open_element(quorvel_element* e, bool apex) {
    c14n_frame frame{e, scope_.size(), rendered_.size()};
    bool ok = mode_ == c14n_mode::inclusive ? choose_inclusive(e, apex) : choose_exclusive(e);
    if (!ok || !collect_attributes(e, apex) || !frames_.push(frame)) return fail();

    out_.put('<');
    write_qualified_name(e);
    std::sort(chosen_.begin(), chosen_.end(), binding_before);
    for (const ns_binding& b : chosen_) {
        if (b.prefix) {
            out_.put(" xmlns:", 7);
            out_.put(b.prefix);
            out_.put("=\"", 2);
        } else {
            out_.put(" xmlns=\"", 8);
        }
        out_.put_attribute_value(b.uri, std::strlen(b.uri));
        out_.put('"');
    }
    for (const attr_item& a : attrs_) {
        out_.put(' ');
        out_.put(a.name, a.name_length);
        out_.put("=\"", 2);
        out_.put_attribute_value(a.value, a.value_length);
        out_.put('"');
    }
    out_.put('>');
    return !out_.failed;
}

void c14n_writer::close_element(const quorvel_element* e) {
    out_.put("</", 2);
    write_qualified_name(e);
    out_.put('>');
}

inline bool is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// White space at the start of the data is left out: text cannot carry it
// (a parser takes all of it as the separator after the target), so two
// trees that read back alike canonicalize alike.
void c14n_writer::write_pi(const quorvel_pi* pi) {
    if (!pi->target || !*pi->target) return;
    out_.put("<?", 2);
    out_.put(pi->target);
    const char* data = pi->data;
    while (data && is_white(*data)) data++;
    if (data && *data) {
        out_.put(' ');
        out_.put_markup_content(data, std::strlen(data));
    }
    out_.put("?>", 2);
}

// The replacement text, with its own references expanded, exactly as the
// parser puts it into a text node when references are not kept as nodes.
// A reference that cannot be resolved stays as written.
bool c14n_writer::write_entity_reference(const quorvel_comment* ref) {
    const char* name = ref->content;
    if (!name || !*name) return true;
    size_t n = std::strlen(name);
    if (char c = quorvel_predefined_entity(name, n)) {
        out_.put_text(&c, 1);
        return true;
    }
    quorvel_dtd* dtd = doc_ ? doc_->dtd : nullptr;
    if (!dtd) {
        out_.put("&amp;", 5);
        out_.put_text(name, n);
        out_.put(';');
        return true;
    }
    trim_scratch();
    quorvel_pool* pool = scratch();
    char* reference = pool ? static_cast<char*>(quorvel_pool_alloc(pool, n + 3)) : nullptr;
    if (!reference) return fail();
    reference[0] = '&';
    std::memcpy(reference + 1, name, n);
    reference[n + 1] = ';';
    reference[n + 2] = '\0';
    // Each canonicalization gets an expansion allowance in proportion to the
    // document, as its parse did, so that repeated calls do not use it up.
    if (!expansion_counted_) {
        dtd_count_expansion_input(dtd, doc_->retained_length);
        expansion_counted_ = true;
    }
    size_t length = 0;
    char* expanded = dtd_expand_text(dtd, reference, n + 2, nullptr, pool, &length);
    scratch_bytes_ += n + 3 + length;
    if (!expanded) {
        switch (dtd_last_expand_status()) {
            case dtd_expand_status::no_memory: return fail();
            case dtd_expand_status::too_large: expansion_refused = true; return fail();
            default: break;
        }
        out_.put("&amp;", 5);
        out_.put_text(name, n);
        out_.put(';');
        return true;
    }
    out_.put_text(expanded, length);
    return true;
}

bool c14n_writer::write_leaf(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(n);
            const char* s = quorvel_text_get_content(t);
            size_t length = (t->head.flags & kTextCounted) ? t->length : std::strlen(s);
            out_.put_text(s, length);
            return true;
        }
        case QUORVEL_NODE_CDATA: {
            const char* s = reinterpret_cast<const quorvel_comment*>(n)->content;
            if (s) out_.put_text(s, std::strlen(s));
            return true;
        }
        case QUORVEL_NODE_COMMENT: {
            const char* s = reinterpret_cast<const quorvel_comment*>(n)->content;
            if (!comments_ || !s) return true;
            out_.put("<!--", 4);
            out_.put_markup_content(s, std::strlen(s));
            out_.put("-->", 3);
            return true;
        }
        case QUORVEL_NODE_PI: write_pi(reinterpret_cast<const quorvel_pi*>(n)); return true;
        case QUORVEL_NODE_ENTITY_REF: return write_entity_reference(reinterpret_cast<const quorvel_comment*>(n));
        default: return true;  // a doctype has no canonical form
    }
}

bool c14n_writer::write_subtree(quorvel_element* apex) {
    // The default namespace's entry (0) exists from here on.
    if (prefixes_.entry_of(nullptr) == kNone || !inherit_ancestor_scope(apex)) return fail();
    if (!open_element(apex, true)) return false;
    quorvel_node* next = quorvel_elem_first_child_raw(apex);
    while (frames_.size()) {
        if (out_.failed) return false;
        if (next) {
            quorvel_node* n = next;
            if (n->kind == QUORVEL_NODE_ELEMENT) {
                auto* e = reinterpret_cast<quorvel_element*>(n);
                if (!open_element(e, false)) return false;
                next = quorvel_elem_first_child_raw(e);
                continue;
            }
            if (!write_leaf(n)) return false;
            next = quorvel_node_next_raw(n);
            continue;
        }
        c14n_frame frame = frames_.back();
        frames_.truncate(frames_.size() - 1);
        close_element(frame.element);
        scope_.truncate(prefixes_, frame.scope_mark);
        rendered_.truncate(prefixes_, frame.rendered_mark);
        next = frames_.size() ? quorvel_node_next_raw(&frame.element->head) : nullptr;
    }
    attrs_.truncate(0);
    return !out_.failed;
}

void c14n_writer::write_top_level(const quorvel_node* n, bool before_root) {
    size_t mark = out_.length;
    if (!before_root) out_.put('\n');
    size_t start = out_.length;
    if (n->kind == QUORVEL_NODE_COMMENT) {
        if (comments_) {
            const char* s = reinterpret_cast<const quorvel_comment*>(n)->content;
            out_.put("<!--", 4);
            if (s) out_.put_markup_content(s, std::strlen(s));
            out_.put("-->", 3);
        }
    } else if (n->kind == QUORVEL_NODE_PI) {
        write_pi(reinterpret_cast<const quorvel_pi*>(n));
    }
    if (out_.failed) return;
    if (out_.length == start) {
        // Nothing written for this node: no separator either.
        out_.length = mark;
        return;
    }
    if (before_root) out_.put('\n');
}

// NULL for the caller, with the reason in the thread's last error.
char* abandoned(const c14n_writer& writer) {
    if (!writer.expansion_refused) quorvel_set_last_error("Out of memory while canonicalizing");
    return nullptr;
}

char* canonicalize_subtree(quorvel_element* element, int mode, const char* const* inclusive_prefixes,
                           bool comments) {
    if (!element || element->head.kind != QUORVEL_NODE_ELEMENT) return nullptr;
    c14n_out out;
    c14n_writer writer(out, mode == 1 ? c14n_mode::exclusive : c14n_mode::inclusive,
                       mode == 1 ? inclusive_prefixes : nullptr, comments, quorvel_element_get_document(element));
    if (!out.start(4096) || !writer.write_subtree(element)) return abandoned(writer);
    return out.take();
}

char* canonicalize_document(quorvel_document* doc, int mode, const char* const* inclusive_prefixes, bool comments) {
    if (!doc) return nullptr;
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) return nullptr;
    c14n_out out;
    c14n_writer writer(out, mode == 1 ? c14n_mode::exclusive : c14n_mode::inclusive,
                       mode == 1 ? inclusive_prefixes : nullptr, comments, doc);
    // The canonical form is about as long as the document's text; half as
    // much again spares the copy of growing in most cases (pages never
    // written cost nothing, and take() gives the rest back).
    if (!out.start(doc->retained_length + doc->retained_length / 2 + 4096)) return abandoned(writer);
    bool root_listed = false;
    for (quorvel_node* n = doc->first_top; n && !root_listed; n = quorvel_node_next_raw(n)) {
        if (n == &root->head)
            root_listed = true;
        else
            writer.write_top_level(n, true);
    }
    if (!writer.write_subtree(root)) return abandoned(writer);
    if (root_listed)
        for (quorvel_node* n = quorvel_node_next_raw(&root->head); n; n = quorvel_node_next_raw(n))
            writer.write_top_level(n, false);
    if (out.failed) return abandoned(writer);
    return out.take();
}

}  // namespace

extern "C" {

QUORVEL_API char* quorvel_c14n_canonicalize(quorvel_document* doc) {
    return canonicalize_document(doc, 0, nullptr, false);
}

QUORVEL_API char* quorvel_c14n_canonicalize_ex(quorvel_document* doc, void* reserved, int mode,
                                               const char* const* inclusive_prefixes, int with_comments) {
    (void)reserved;
    return canonicalize_document(doc, mode, inclusive_prefixes, with_comments != 0);
}

QUORVEL_API char* quorvel_c14n_canonicalize_subtree(quorvel_element* element) {
    return canonicalize_subtree(element, 0, nullptr, false);
}

QUORVEL_API char* quorvel_c14n_canonicalize_subtree_ex(quorvel_element* element, void* reserved, int mode,
                                                       const char* const* inclusive_prefixes, int with_comments) {
    (void)reserved;
    return canonicalize_subtree(element, mode, inclusive_prefixes, with_comments != 0);
}

}  // extern "C"
