// Canonical XML: the inclusive and exclusive canonical forms of a document
// or an element subtree, with or without comments, as a malloc'd string.
// The writer has its own growable buffer (not the serializer's) and an
// explicit stack, so depth costs heap, not call frames. Nothing is dropped
// or invented: every attribute is written, entity references give their text.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dom/element_api.h"
#include "dom/entities.h"
#include "dom/leaf.h"
#include "parser/dtd.h"

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

    c14n_out() = default;
    c14n_out(const c14n_out&) = delete;
    c14n_out& operator=(const c14n_out&) = delete;
    ~c14n_out() { std::free(text); }

    bool start(size_t expected) {
        capacity = expected < 4096 ? 4096 : expected;
        text = static_cast<char*>(std::malloc(capacity));
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
        char* fresh = static_cast<char*>(std::realloc(text, grown));
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
    char* take() {
        text[length] = '\0';
        char* t = text;
        if (capacity - length > 65536)
            if (char* fitted = static_cast<char*>(std::realloc(t, length + 1))) t = fitted;
        text = nullptr;
        return t;
    }
};

// ---- Small growable arrays ------------------------------------------------------------

template <typename T>
class c14n_vector {
public:
    c14n_vector() = default;
    c14n_vector(const c14n_vector&) = delete;
    c14n_vector& operator=(const c14n_vector&) = delete;
    ~c14n_vector() { std::free(data_); }

    [[nodiscard]] bool push(const T& item) {
        if (size_ == capacity_) {
            size_t cap = capacity_ ? capacity_ * 2 : 16;
            void* fresh = std::realloc(static_cast<void*>(data_), cap * sizeof(T));
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
};

// ---- Namespace bindings ------------------------------------------------------------------

// A prefix bound to a URI; prefix NULL for the default namespace.
struct ns_binding {
    const char* prefix;
    const char* uri;
};

inline bool same_prefix(const char* a, const char* b) {
    if (!a || !*a) return !b || !*b;
    return b && std::strcmp(a, b) == 0;
}

inline const char* as_prefix(const char* p) { return p && *p ? p : nullptr; }

inline bool is_xml_prefix(const char* p) { return p && std::strcmp(p, "xml") == 0; }

// The nearest binding of prefix in a stack of bindings, or NULL.
const ns_binding* find_binding(const c14n_vector<ns_binding>& stack, const char* prefix, size_t floor = 0) {
    for (size_t i = stack.size(); i > floor; i--)
        if (same_prefix(stack[i - 1].prefix, prefix)) return &stack[i - 1];
    return nullptr;
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

// The declarations an element makes: its declaration list, then its
// declaration attributes; a prefix declared twice counts once (the first).
template <typename F>
bool for_each_declaration(const quorvel_element* e, F&& f) {
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    const quorvel_ns_decl* list = ext ? ext->ns_decls : nullptr;
    for (const quorvel_ns_decl* d = list; d; d = d->next) {
        bool seen = false;
        for (const quorvel_ns_decl* x = list; x != d && !seen; x = x->next) seen = same_prefix(x->prefix, d->prefix);
        if (!seen && !f(as_prefix(d->prefix), d->uri ? d->uri : "")) return false;
    }
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* prefix;
        if (!declaration_attribute(a, &prefix)) continue;
        bool seen = false;
        for (const quorvel_ns_decl* x = list; x && !seen; x = x->next) seen = same_prefix(x->prefix, prefix);
        for (const quorvel_attribute* b = quorvel_elem_first_attr(e); b != a && !seen; b = quorvel_attr_next(b)) {
            const char* other;
            seen = declaration_attribute(b, &other) && same_prefix(other, prefix);
        }
        if (!seen && !f(prefix, quorvel_attribute_stored_value(a))) return false;
    }
    return true;
}

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
    char* owned;        // decoded copy to free, or NULL
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
        for (attr_item& item : attrs_) std::free(item.owned);
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
    bool inherit_ancestor_scope(const quorvel_element* apex);
    bool choose_inclusive(quorvel_element* e, bool apex);
    bool choose_exclusive(quorvel_element* e);
    bool collect_attributes(quorvel_element* e, bool apex);
    void read_value(const quorvel_attribute* a, attr_item* item) const;
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

    c14n_vector<ns_binding> scope_;     // declarations in scope, nearest last
    c14n_vector<ns_binding> rendered_;  // exclusive: what output ancestors declared
    c14n_vector<ns_binding> chosen_;    // declarations to write on this element
    c14n_vector<ns_binding> own_;       // inclusive: the element's bindings to consider
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
    const ns_binding* b = find_binding(scope_, prefix);
    return b ? b->uri : nullptr;
}

// The declarations above the apex, farthest first, so that the nearest
// binding of each prefix is found first.
bool c14n_writer::inherit_ancestor_scope(const quorvel_element* apex) {
    c14n_vector<const quorvel_element*> chain;
    for (const quorvel_element* p = parent_element(apex); p; p = parent_element(p))
        if (!chain.push(p)) return false;
    for (size_t i = chain.size(); i > 0; i--) {
        bool ok = for_each_declaration(chain[i - 1], [&](const char* prefix, const char* uri) {
            return scope_.push(ns_binding{prefix, uri});
        });
        if (!ok) return false;
    }
    return true;
}

// Inclusive: a declaration is written unless the output parent has the same
// binding; the apex writes every binding in scope (it has no output parent),
// the empty default namespace excepted.
bool c14n_writer::choose_inclusive(quorvel_element* e, bool apex) {
    chosen_.truncate(0);
    size_t level = scope_.size();
    auto consider = [&](const char* prefix, const char* uri) {
        if (!(is_xml_prefix(prefix) && std::strcmp(uri, kXmlNamespaceUri) == 0)) {
            const ns_binding* parent = apex ? nullptr : find_binding(scope_, prefix);
            const char* before = parent ? parent->uri : "";
            if (std::strcmp(before, uri) != 0 && !chosen_.push(ns_binding{prefix, uri})) return false;
        }
        return true;
    };
    // Collected before any is pushed, so that comparisons see the parent.
    c14n_vector<ns_binding>& own = own_;
    own.truncate(0);
    if (!for_each_declaration(e, [&](const char* p, const char* u) { return own.push(ns_binding{p, u}); }))
        return false;
    if (apex) {
        for (size_t i = scope_.size(); i > 0; i--) {
            const ns_binding& b = scope_[i - 1];
            bool shadowed = false;
            for (const ns_binding& o : own) shadowed = shadowed || same_prefix(o.prefix, b.prefix);
            if (shadowed || find_binding(scope_, b.prefix, i)) continue;  // a nearer binding wins
            if (!own.push(b)) return false;
        }
    }
    for (const ns_binding& b : own)
        if (!consider(b.prefix, b.uri)) return false;
    for (const ns_binding& b : own)
        if (!find_binding(scope_, b.prefix, level) && !scope_.push(b)) return false;
    return true;
}

// Exclusive: only the namespaces the element and its attributes use, and
// those of the inclusive prefix list, each unless an output ancestor
// already declared it with the same URI.
bool c14n_writer::choose_exclusive(quorvel_element* e) {
    chosen_.truncate(0);
    size_t level = scope_.size();
    bool ok = for_each_declaration(e, [&](const char* prefix, const char* uri) {
        return find_binding(scope_, prefix, level) ? true : scope_.push(ns_binding{prefix, uri});
    });
    if (!ok) return false;

    // Whether (prefix, uri) is what the nearest output ancestor declared for
    // the prefix; with none, only the empty default namespace counts.
    auto rendered = [&](const char* prefix, const char* uri) {
        const ns_binding* b = find_binding(rendered_, prefix);
        if (b) return std::strcmp(b->uri, uri) == 0;
        return !prefix && !*uri;
    };
    auto is_xml_namespace = [](const char* prefix, const char* uri) {
        return is_xml_prefix(prefix) && std::strcmp(uri, kXmlNamespaceUri) == 0;
    };
    auto choose = [&](const char* prefix, const char* uri) {
        for (const ns_binding& c : chosen_)
            if (same_prefix(c.prefix, prefix)) return true;
        return chosen_.push(ns_binding{prefix, uri});
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
            const char* uri = uri_of(prefix);
            if (!uri || is_xml_namespace(prefix, uri)) continue;
            bool already = rendered(prefix, uri);
            if (!rendered_.push(ns_binding{prefix, uri})) return false;
            if (!already && !choose(prefix, uri)) return false;
            if (!prefix) default_seen = true;
        }
    }

    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    const char* own_prefix = ext ? as_prefix(ext->prefix) : nullptr;
    bool uses_default = own_prefix == nullptr;
    if (const char* uri = uri_of(own_prefix); uri && !is_xml_namespace(own_prefix, uri)) {
        if (!rendered(own_prefix, uri) && !choose(own_prefix, uri)) return false;
        if (!rendered_.push(ns_binding{own_prefix, uri})) return false;
        if (!own_prefix) default_seen = true;
    }

    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* ignored;
        if (!a->name || declaration_attribute(a, &ignored)) continue;
        const char* prefix = quorvel_attribute_prefix(a);
        if (!prefix || is_xml_prefix(prefix)) continue;
        const char* uri = uri_of(prefix);
        if (!uri) continue;
        bool already = rendered(prefix, uri);
        if (!rendered_.push(ns_binding{prefix, uri})) return false;
        if (!already && !choose(prefix, uri)) return false;
    }

    // An element in no namespace below an output ancestor that declared a
    // default namespace takes it back with xmlns="".
    if (uses_default && !default_seen && !default_in_list && !rendered(nullptr, "")) {
        if (!choose(nullptr, "")) return false;
    } else if (!default_seen && default_in_list && !rendered(nullptr, "")) {
        if (!choose(nullptr, "")) return false;
    }
    return true;
}

// The value, references decoded into a copy when the parser left them
// pending: the document keeps its raw value. The inclusive form decodes
// leniently, the exclusive one under the thread's setting; a value that
// does not decode is written as it is.
void c14n_writer::read_value(const quorvel_attribute* a, attr_item* item) const {
    item->value = quorvel_attribute_stored_value(a);
    item->value_length = a->value_length & ~kAttrInlineValue;
    item->owned = nullptr;
    if (!(a->hash & kAttrPendingEntities) || !item->value_length) return;
    quorvel_string_view raw{item->value, item->value_length};
    int strict = g_quorvel_strict_mode;
    if (mode_ == c14n_mode::inclusive) g_quorvel_strict_mode = 0;
    item->owned = quorvel_decode_entities_view(&raw, nullptr);
    g_quorvel_strict_mode = strict;
    if (item->owned) {
        item->value = item->owned;
        item->value_length = std::strlen(item->owned);
    }
}

bool c14n_writer::collect_attributes(quorvel_element* e, bool apex) {
    for (attr_item& item : attrs_) std::free(item.owned);
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
        read_value(a, &item);
        if (!attrs_.push(item)) {
            std::free(item.owned);
            return false;
        }
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
                attr_item item{kXmlNamespaceUri, local, local_length, a->name, a->name_length, nullptr, 0, nullptr};
                read_value(a, &item);
                if (!attrs_.push(item)) {
                    std::free(item.owned);
                    return false;
                }
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
    char* reference = static_cast<char*>(std::malloc(n + 3));
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
    char* expanded = dtd_expand_text(dtd, reference, n + 2, nullptr, nullptr, &length);
    std::free(reference);
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
    std::free(expanded);
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
    if (!inherit_ancestor_scope(apex)) return fail();
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
        scope_.truncate(frame.scope_mark);
        rendered_.truncate(frame.rendered_mark);
        next = frames_.size() ? quorvel_node_next_raw(&frame.element->head) : nullptr;
    }
    for (attr_item& item : attrs_) std::free(item.owned);
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
