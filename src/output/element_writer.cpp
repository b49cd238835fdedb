// The element writer: one element and its subtree as XML, HTML or XHTML,
// walked with an explicit frame stack (depth costs heap, not call frames).
// Called by the document writer, the element entry points, the element slot
// of the node tables and the XSLT processor. The start and end tags of the
// common shapes are written with one reservation and direct stores; every
// escaping write checks its room as it goes, so no value can overrun. XML
// without layout, CDATA sections or XHTML rules goes to the plain walk
// (plain_writer.cpp), which must write the same bytes.
#include <cstring>

#include "output/output.h"
#include "dom/dom.h"

namespace {

struct html_elem {
    const char* name;  // lower case
    unsigned char cls;
};

// Class bits: void (no end tag), inline, block, raw text (content written
// unescaped). Sorted by name in byte order: searched by bisection.
constexpr html_elem kHtmlElems[] = {
    {"a", kHtmlInline}, {"abbr", kHtmlInline}, {"acronym", kHtmlInline}, {"address", kHtmlBlock},
    {"applet", kHtmlInline}, {"area", kHtmlVoid | kHtmlBlock}, {"b", kHtmlInline},
    {"base", kHtmlVoid | kHtmlBlock}, {"basefont", kHtmlVoid | kHtmlInline}, {"bdo", kHtmlInline},
    {"bgsound", kHtmlVoid | kHtmlBlock}, {"big", kHtmlInline}, {"blockquote", kHtmlBlock},
    {"body", kHtmlBlock}, {"br", kHtmlVoid | kHtmlInline}, {"button", kHtmlInline},
    {"caption", kHtmlBlock}, {"center", kHtmlBlock}, {"cite", kHtmlInline}, {"code", kHtmlInline},
    {"col", kHtmlVoid | kHtmlBlock}, {"colgroup", kHtmlBlock}, {"dd", kHtmlBlock},
    {"del", kHtmlInline}, {"dfn", kHtmlInline}, {"dir", kHtmlBlock}, {"div", kHtmlBlock},
    {"dl", kHtmlBlock}, {"dt", kHtmlBlock}, {"em", kHtmlInline}, {"embed", kHtmlVoid | kHtmlInline},
    {"fieldset", kHtmlBlock}, {"font", kHtmlInline}, {"form", kHtmlBlock},
    {"frame", kHtmlVoid | kHtmlBlock}, {"frameset", kHtmlBlock}, {"h1", kHtmlBlock},
    {"h2", kHtmlBlock}, {"h3", kHtmlBlock}, {"h4", kHtmlBlock}, {"h5", kHtmlBlock}, {"h6", kHtmlBlock},
    {"head", kHtmlBlock}, {"hr", kHtmlVoid | kHtmlBlock}, {"html", kHtmlBlock}, {"i", kHtmlInline},
    {"iframe", kHtmlRawText | kHtmlInline}, {"img", kHtmlVoid | kHtmlInline},
    {"input", kHtmlVoid | kHtmlInline}, {"ins", kHtmlInline}, {"isindex", kHtmlVoid | kHtmlBlock},
    {"kbd", kHtmlInline}, {"keygen", kHtmlVoid | kHtmlBlock}, {"label", kHtmlInline},
    {"legend", kHtmlBlock}, {"li", kHtmlBlock}, {"link", kHtmlVoid | kHtmlBlock}, {"map", kHtmlInline},
    {"menu", kHtmlBlock}, {"meta", kHtmlVoid | kHtmlBlock}, {"noembed", kHtmlRawText | kHtmlBlock},
    {"noframes", kHtmlRawText | kHtmlBlock}, {"noscript", kHtmlBlock}, {"object", kHtmlInline},
    {"ol", kHtmlBlock}, {"optgroup", kHtmlBlock}, {"option", kHtmlBlock}, {"p", kHtmlBlock},
    {"param", kHtmlVoid | kHtmlBlock}, {"plaintext", kHtmlRawText | kHtmlBlock}, {"pre", kHtmlBlock},
    {"q", kHtmlInline}, {"s", kHtmlInline}, {"samp", kHtmlInline},
    {"script", kHtmlRawText | kHtmlInline}, {"select", kHtmlInline}, {"small", kHtmlInline},
    {"source", kHtmlVoid | kHtmlBlock}, {"span", kHtmlInline}, {"strike", kHtmlInline},
    {"strong", kHtmlInline}, {"style", kHtmlRawText | kHtmlBlock}, {"sub", kHtmlInline},
    {"sup", kHtmlInline}, {"table", kHtmlBlock}, {"tbody", kHtmlBlock}, {"td", kHtmlBlock},
    {"textarea", kHtmlInline}, {"tfoot", kHtmlBlock}, {"th", kHtmlBlock}, {"thead", kHtmlBlock},
    {"title", kHtmlBlock}, {"tr", kHtmlBlock}, {"track", kHtmlVoid | kHtmlBlock}, {"tt", kHtmlInline},
    {"u", kHtmlInline}, {"ul", kHtmlBlock}, {"var", kHtmlInline}, {"wbr", kHtmlVoid | kHtmlBlock},
    {"xmp", kHtmlRawText | kHtmlInline},
};
static_assert(sizeof kHtmlElems / sizeof kHtmlElems[0] == 100);

constexpr bool html_elems_sorted() {
    for (size_t i = 1; i < sizeof kHtmlElems / sizeof kHtmlElems[0]; i++) {
        const char* a = kHtmlElems[i - 1].name;
        const char* b = kHtmlElems[i].name;
        while (*a && *a == *b) a++, b++;
        if (static_cast<unsigned char>(*a) >= static_cast<unsigned char>(*b)) return false;
    }
    return true;
}
static_assert(html_elems_sorted());

// Empty elements written " />" in XHTML, each name NUL-terminated.
constexpr char kXhtmlVoidElems[] =
    "area\0base\0basefont\0br\0col\0frame\0hr\0img\0input\0isindex\0link\0meta\0param\0";
constexpr char kXhtmlNamespace[] = "http://www.w3.org/1999/xhtml";

bool is_xhtml_void(const char* name, size_t n) {
    for (const char* v = kXhtmlVoidElems; *v; v += std::strlen(v) + 1)
        if (std::strlen(v) == n && std::memcmp(v, name, n) == 0) return true;
    return false;
}

// No namespace or the XHTML one.
bool in_xhtml_namespace(quorvel_element* e) {
    const char* uri = quorvel_element_get_namespace_uri(e);
    return !uri || std::strcmp(uri, kXhtmlNamespace) == 0;
}

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool all_whitespace(const char* s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!is_space(s[i])) return false;
    return true;
}

inline bool p_named(const char* name) { return name && (name[0] == 'p' || name[0] == 'P'); }

inline bool bytes_equal(const char* a, size_t an, const char* lit) {
    size_t n = std::strlen(lit);
    return an == n && std::memcmp(a, lit, n) == 0;
}

bool equal_ignoring_ascii_case(const char* a, const char* b) {
    for (;; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
        if (!x) return true;
    }
}

// ---- HTML layout tests ---------------------------------------------------------------------

unsigned char html_class_of(const char* name, size_t n) {
    if (n < 1 || n > 15) return 0;
    char lower[16];
    for (size_t i = 0; i < n; i++) {
        char c = name[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    lower[n] = '\0';
    size_t lo = 0, hi = sizeof kHtmlElems / sizeof kHtmlElems[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = std::strcmp(kHtmlElems[mid].name, lower);
        if (c == 0) return kHtmlElems[mid].cls;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

inline quorvel_node* first_child(const quorvel_element* e) { return quorvel_elem_first_child_raw(e); }

bool has_element_child(const quorvel_element* e) {
    for (quorvel_node* c = first_child(e); c; c = ser_next_sibling(c))
        if (c->kind == QUORVEL_NODE_ELEMENT) return true;
    return false;
}

// Local name of an element for the layout tests ("" when unnamed).
inline const char* name_of(const quorvel_element* e) {
    const char* n = quorvel_elem_name_raw(e);
    return n ? n : "";
}

int html_block_child_needs_lines(const quorvel_element* e, const char* name, unsigned char cls) {
    if (!(cls & kHtmlBlock) || p_named(name)) return 0;
    quorvel_node* only = first_child(e);
    if (!only || ser_next_sibling(only) || only->kind != QUORVEL_NODE_ELEMENT) return 0;
    auto* d = reinterpret_cast<const quorvel_element*>(only);
    if (has_element_child(d)) return 1;
    unsigned char dcls = html_elem_sem_flags(d);
    if (!(dcls & kHtmlBlock) || p_named(name_of(d))) return 0;
    quorvel_node* dfirst = first_child(d);
    return dfirst && ser_next_sibling(dfirst) && dfirst->kind != QUORVEL_NODE_TEXT;
}

int html_break_after_elem(const quorvel_element* e, unsigned char cls) {
    if (!(cls & kHtmlBlock)) return 0;
    quorvel_node* next = ser_next_sibling(&e->head);
    if (!next || next->kind == QUORVEL_NODE_TEXT) return 0;
    auto* parent = static_cast<const quorvel_element*>(quorvel_link_get(e, &e->parent));
    return !parent || !p_named(name_of(parent));
}

// True when the element (a head) already has a Content-Type meta child.
bool has_content_type_meta(const quorvel_element* head) {
    for (quorvel_node* c = first_child(head); c; c = ser_next_sibling(c)) {
        if (c->kind != QUORVEL_NODE_ELEMENT) continue;
        auto* m = reinterpret_cast<const quorvel_element*>(c);
        const char* name = quorvel_elem_name_raw(m);
        if (!name || std::strcmp(name, "meta") != 0) continue;
        for (quorvel_attribute* a = quorvel_elem_first_attr(m); a; a = quorvel_attr_next(a)) {
            if (!a->name || std::strcmp(a->name, "http-equiv") != 0) continue;
            size_t n;
            const char* v = ser_attr_value(a, &n);
            if (equal_ignoring_ascii_case(v, "Content-Type")) return true;
        }
    }
    return false;
}

// ---- The walk ----------------------------------------------------------------------------

// Open frames: inline room for ordinary depths, then the heap.
class frame_stack {
public:
    frame_stack() = default;
    frame_stack(const frame_stack&) = delete;
    frame_stack& operator=(const frame_stack&) = delete;
    ~frame_stack() {
        for (size_t i = 0; i < size_; i++) ser_work_release(data_[i].cdata_text, data_[i].cdata_release);
        if (data_ != inline_) ser_work_release(data_, release_);
    }
    [[nodiscard]] ser_frame* push() {
        if (size_ == capacity_) {
            size_t cap = capacity_ * 2;
            void* fresh = ser_work_resize(data_ == inline_ ? nullptr : data_, size_ * sizeof(ser_frame),
                                          cap * sizeof(ser_frame), &release_);
            if (!fresh) return nullptr;
            if (data_ == inline_) std::memcpy(fresh, inline_, size_ * sizeof(ser_frame));
            data_ = static_cast<ser_frame*>(fresh);
            capacity_ = cap;
        }
        return &data_[size_++];
    }
    ser_frame* top() { return size_ ? &data_[size_ - 1] : nullptr; }
    ser_frame* below_top() { return size_ > 1 ? &data_[size_ - 2] : nullptr; }
    void pop() {
        // Most frames never gather CDATA: no call for them.
        if (data_[size_ - 1].cdata_text) ser_work_release(data_[size_ - 1].cdata_text, data_[size_ - 1].cdata_release);
        size_--;
    }
    size_t size() const { return size_; }

private:
    ser_frame inline_[64];
    ser_frame* data_ = inline_;
    quorvel_release_fn release_ = nullptr;  // of data_ once it left inline_
    size_t size_ = 0;
    size_t capacity_ = 64;
};

// Qualified name of an element: prefix (may be NULL) and local name.
struct qname {
    const char* prefix;
    size_t prefix_length;
    const char* name;
    size_t name_length;
    size_t length() const { return prefix ? prefix_length + 1 + name_length : name_length; }
    char* write(char* out) const {
        if (prefix) {
            out = ser_copy_name(out, prefix, prefix_length);
            *out++ = ':';
        }
        return ser_copy_name(out, name, name_length);
    }
};

class element_writer {
public:
    element_writer(quorvel_element* element, ser_buffer* b, int top)
        : b_(b), element_(element), top_(top != 0), indenting_(b->indent > 0), start_depth_(b->depth) {
        indent_allowed_ = indenting_ && (!b->html || b->html_indent);
        if (b->indent_string && b->indent_string[0]) {
            unit_ = b->indent_string;
            unit_length_ = std::strlen(unit_);
            if (unit_length_ > UINT32_MAX) unit_length_ = UINT32_MAX;
        } else {
            unit_length_ = indenting_ ? static_cast<size_t>(b->indent) : 0;
        }
    }

    void run();

private:
    enum class opened { none, frame, failed };

    opened write_element(quorvel_element* e);
    void write_child(quorvel_node* node, ser_frame* f);
    void close_frame(ser_frame* f);
    bool write_start_tag(quorvel_element* e, const qname& q, quorvel_element_ext* ext, size_t indent, bool xmlns_empty,
                         bool xhtml_ns);
    void write_attribute(const qname& q, quorvel_attribute* a);
    bool gather_cdata(ser_frame* f, const char* s, size_t n);
    void abort_walk() {
        b_->out_of_memory = 1;
        failed_ = true;
    }

    // Bytes of indentation at the current depth when due, as
    // buffer_append_indent writes it; stored by write_indent inside a
    // reservation that counts them.
    [[gnu::always_inline]] size_t indent_width(bool due) const {
        if (!due || !indent_allowed_ || b_->depth <= 0) return 0;
        // Both factors are below 2^32 (see the constructor): no wrap-around,
        // and an absurd width simply fails its reservation.
        return static_cast<size_t>(b_->depth) * unit_length_;
    }
    char* write_indent(char* out, size_t width) const {
        if (!unit_) {
            std::memset(out, ' ', width);
            return out + width;
        }
        for (char* end = out + width; out < end; out += unit_length_) std::memcpy(out, unit_, unit_length_);
        return out;
    }
    void put(const char* s, size_t n) {
        if (!buffer_ensure_capacity(b_, n + 1)) return;
        char* out = b_->data + b_->length;
        std::memcpy(out, s, n);
        out[n] = '\0';
        b_->length += n;
        b_->at_line_start = 0;
    }
    void put_end_tag(const qname& q) {
        size_t n = q.length() + 3;
        if (!buffer_ensure_capacity(b_, n + 1)) return;
        char* out = b_->data + b_->length;
        *out++ = '<';
        *out++ = '/';
        out = q.write(out);
        *out++ = '>';
        *out = '\0';
        b_->length += n;
        b_->at_line_start = 0;
    }
    // Appends text escaped by the text rule (no call through the mode switch).
    void put_escaped_text(const char* s, size_t n) {
        ser_buffer* b = b_;
        if (n > SIZE_MAX / 4 || !buffer_ensure_capacity(b, n + kSerEscapeSlack)) {
            b->out_of_memory = 1;
            return;
        }
        char* out = ser_escape::escape_into<SER_ESCAPE_TEXT>(b, b->data + b->length, s, n, 0);
        if (!out) return;
        *out = '\0';
        b->length = static_cast<size_t>(out - b->data);
        b->at_line_start = out[-1] == '\n';
    }
    // Writes text content unchanged (raw text, unescaped text).
    void put_text(const char* s, size_t n) {
        if (n) buffer_append_len(b_, s, n);
    }
    void flush(ser_frame* f) {
        if (f && f->cdata_pending) ser_frame_cd_flush(b_, f);
    }
    quorvel_document* document() {
        if (!doc_looked_up_) {
            doc_ = quorvel_element_get_document(element_);
            doc_looked_up_ = true;
        }
        return doc_;
    }
    bool is_top(const quorvel_element* e) const { return top_ && e == element_; }

    ser_buffer* b_;
    quorvel_element* element_;
    bool top_;
    bool indenting_;
    bool indent_allowed_;        // indenting, and not HTML without html_indent
    const char* unit_ = nullptr;  // indentation unit, NULL for spaces
    size_t unit_length_ = 0;
    bool failed_ = false;
    int start_depth_;
    quorvel_document* doc_ = nullptr;
    bool doc_looked_up_ = false;
    // Default namespace written from the attribute chain by the last start tag.
    const char* chain_default_ = nullptr;
    frame_stack frames_;
};

void element_writer::run() {
    quorvel_node* node = &element_->head;
    for (;;) {
        if (node->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(node);
            opened o = write_element(e);
            if (o == opened::failed || failed_ || b_->out_of_memory) break;
            if (o == opened::frame) {
                node = first_child(e);
                continue;
            }
            if (e == element_) break;
        } else {
            write_child(node, frames_.top());
            if (failed_ || b_->out_of_memory) break;
        }
        quorvel_node* next = ser_next_sibling(node);
        bool done = false;
        while (!next) {
            ser_frame* f = frames_.top();
            quorvel_element* closed = f->element;
            close_frame(f);
            frames_.pop();
            if (closed == element_) {
                done = true;
                break;
            }
            next = ser_next_sibling(&closed->head);
        }
        if (done || failed_) break;
        node = next;
    }
    b_->depth = start_depth_;
}

element_writer::opened element_writer::write_element(quorvel_element* e) {
    const char* name = quorvel_elem_name_raw(e);
    // An element without a name cannot be written; its subtree goes with it.
    if (!name) return opened::none;
    ser_buffer* b = b_;
    ser_frame* parent = frames_.top();
    const bool parent_inline = parent && parent->inline_content;
    const bool top = is_top(e);
    flush(parent);

    quorvel_element_ext* ext = quorvel_elem_ext(e);
    qname q{ser_element_prefix(ext), 0, name, ser_local_name_length(e, name)};
    if (q.prefix) q.prefix_length = std::strlen(q.prefix);
    const unsigned char cls = b->html ? html_elem_sem_flags(e) : 0;
    const bool cdata_elem = b->cdata_count && is_cdata_element(b, e);

    bool needs_meta = false;
    if (b->xhtml && frames_.size() == 1 && parent && bytes_equal(parent->name, parent->name_length, "html") &&
        bytes_equal(name, q.name_length, "head"))
        needs_meta = !has_content_type_meta(e);

    // Namespace declarations this start tag adds on its own.
    quorvel_ns_decl* decls = ext ? ext->ns_decls : nullptr;
    const char* own_default = nullptr;
    bool declares_default = false;
    for (quorvel_ns_decl* d = decls; d; d = d->next)
        if (!d->prefix || !d->prefix[0]) {
            declares_default = true;
            own_default = d->uri ? d->uri : "";
            break;
        }
    bool xmlns_empty = false, xhtml_ns = false;
    if (!q.prefix) {
        const char* in_scope = parent ? parent->default_ns : nullptr;
        bool check_empty = !declares_default && in_scope && in_scope[0];
        bool check_xhtml = b->xhtml && !decls && bytes_equal(name, q.name_length, "html");
        if (check_empty || check_xhtml) {
            const char* uri = quorvel_element_get_namespace_uri(e);
            bool no_namespace = !uri || !uri[0];
            // Both would declare the default namespace twice; XHTML output wants its own.
            xhtml_ns = check_xhtml && no_namespace;
            xmlns_empty = check_empty && no_namespace && !xhtml_ns;
        }
    }

    quorvel_node* child = first_child(e);
    const bool single_text = child && child->kind == QUORVEL_NODE_TEXT && !ser_next_sibling(child);
    const bool indenting = indenting_;

    // The common leaf <n>text</n>, written in one piece.
    if (single_text && !b->indent_text && e->first_attr == 0 && !decls && !(cls & kHtmlRawText) && !needs_meta &&
        !xmlns_empty && !xhtml_ns) {
        auto* t = reinterpret_cast<quorvel_text*>(child);
        size_t n;
        const char* s = ser_text_content(t, &n);
        const bool raw = t->head.flags & kTextNoEscape;
        if (cdata_elem && !raw) {
            buffer_append_char(b, '<');
            append_qualified_name(b, q.prefix, q.name, q.name_length);
            buffer_append_char(b, '>');
            emit_cdata_checked(b, s, n);
            put_end_tag(q);
            return opened::none;
        }
        const size_t width = indent_width(!parent_inline && !top);
        const size_t qlen = q.length();
        const size_t tail = qlen + 4;  // "</" qname ">" and a line feed
        if (n > SIZE_MAX / 4 || !buffer_ensure_capacity(b, width + qlen + 2 + n + kSerEscapeSlack + tail)) {
            b->out_of_memory = 1;
            return opened::none;
        }
        char* out = write_indent(b->data + b->length, width);
        *out++ = '<';
        out = q.write(out);
        *out++ = '>';
        if (n) {
            if (raw) {
                std::memcpy(out, s, n);
                out += n;
            } else {
                out = ser_escape::escape_into<SER_ESCAPE_TEXT>(b, out, s, n, tail);
                if (!out) return opened::none;
            }
        }
        *out++ = '<';
        *out++ = '/';
        out = q.write(out);
        *out++ = '>';
        bool lf = indenting && !top && (b->html ? html_break_after_elem(e, cls) : !parent_inline);
        if (lf) *out++ = '\n';
        *out = '\0';
        b->length = static_cast<size_t>(out - b->data);
        b->at_line_start = lf;
        return opened::none;
    }

    // Start tag.
    if (!write_start_tag(e, q, ext, indent_width(!parent_inline && !top), xmlns_empty, xhtml_ns)) return opened::none;

    // Content: empty, a single text child, or a frame for anything else.
    if (!child) {
        bool lf;
        if (b->xhtml) {
            if (needs_meta) {
                buffer_append_char(b, '>');
                buffer_append_newline(b);
                b->depth++;
                if (indenting) buffer_append_indent(b);
                b->depth--;
                emit_xhtml_meta(b);
                buffer_append_newline(b);
                put_end_tag(q);
            } else if (!q.prefix && is_xhtml_void(name, q.name_length) && in_xhtml_namespace(e)) {
                put(" />", 3);
            } else {
                buffer_append_char(b, '>');
                put_end_tag(q);
            }
            lf = !parent_inline;
        } else if (b->html) {
            buffer_append_char(b, '>');
            if (!(cls & kHtmlVoid)) put_end_tag(q);
            lf = html_break_after_elem(e, cls);
        } else if (b->expand_empty) {
            buffer_append_char(b, '>');
            put_end_tag(q);
            lf = !parent_inline;
        } else {
            // The most common empty form: "/>" and its line feed in one store.
            bool feed = indenting && !top && !parent_inline;
            if (buffer_ensure_capacity(b, 4)) {
                char* out = b->data + b->length;
                *out++ = '/';
                *out++ = '>';
                if (feed) *out++ = '\n';
                *out = '\0';
                b->length = static_cast<size_t>(out - b->data);
                b->at_line_start = feed;
            }
            return opened::none;
        }
        if (indenting && !top && lf) buffer_append_newline(b);
        return opened::none;
    }

    if (single_text && !b->indent_text && !needs_meta) {
        auto* t = reinterpret_cast<quorvel_text*>(child);
        size_t n;
        const char* s = ser_text_content(t, &n);
        const bool raw = t->head.flags & kTextNoEscape;
        buffer_append_char(b, '>');
        bool lf_allowed = true;
        if (cdata_elem && !raw) {
            emit_cdata_checked(b, s, n);
            lf_allowed = false;
        } else if (cls & kHtmlRawText) {
            put_text(s, n);
            lf_allowed = false;
        } else if (raw) {
            put_text(s, n);
        } else if (n) {
            put_escaped_text(s, n);
        }
        put_end_tag(q);
        if (indenting && lf_allowed) {
            if (b->html ? html_break_after_elem(e, cls) : (!parent_inline && !top)) buffer_append_newline(b);
        }
        return opened::none;
    }

    // Any other content: open a frame.
    ser_frame* f = frames_.push();
    if (!f) {
        // No room to go deeper: close this element at once and stop.
        buffer_append_char(b, '>');
        put_end_tag(q);
        abort_walk();
        return opened::failed;
    }
    // parent may have moved with the stack.
    parent = frames_.size() > 1 ? f - 1 : nullptr;
    // Every field, without a call to clear the record first.
    f->inline_content = 0;
    f->cdata_pending = 0;
    f->end_tag_own_line = 0;
    f->cdata_text = nullptr;
    f->cdata_length = 0;
    f->cdata_capacity = 0;
    f->cdata_release = nullptr;
    f->texts_blank = 0;
    f->element = e;
    f->name = name;
    f->name_length = q.name_length;
    f->prefix = q.prefix;
    f->prefix_length = q.prefix_length;
    f->html_class = cls;
    f->is_cdata = cdata_elem;
    // The XHTML namespace put on html is meant for its unqualified
    // descendants too, so it does not count as a default to undeclare. A
    // default written from the attribute chain counts.
    f->default_ns = declares_default ? own_default
                    : xmlns_empty    ? ""
                    : chain_default_ ? chain_default_
                    : parent         ? parent->default_ns
                                     : nullptr;

    auto has_text_content = [&] {
        if (!b->whitespace_text_inline) return ser_children_have_text(child) != 0;
        for (quorvel_node* c = child; c; c = ser_next_sibling(c))
            if (c->kind == QUORVEL_NODE_TEXT || c->kind == QUORVEL_NODE_CDATA) return true;
        return false;
    };

    bool inline_content = parent_inline;
    bool lf_after_start = false;
    if (!b->html) {
        if (indenting) {
            if (!b->indent_text && !parent_inline) {
                bool has_text = has_text_content();
                inline_content = has_text;
                // The scan saw every text child blank: the walk skips them unread.
                f->texts_blank = !has_text;
            }
            lf_after_start = !inline_content;
        }
    } else {
        const bool pn = p_named(name);
        quorvel_node* last = child;
        size_t count = 1;
        for (quorvel_node* c = ser_next_sibling(child); c; c = ser_next_sibling(c)) {
            last = c;
            count++;
        }
        if (b->html_indent) {
            const int needs_lines = html_block_child_needs_lines(e, name, cls);
            if (cls & kHtmlBlock) {
                if ((pn || child->kind == QUORVEL_NODE_TEXT || count == 1) && !needs_lines) {
                    inline_content = true;
                } else {
                    inline_content = has_text_content() || parent_inline;
                    lf_after_start = true;
                }
                if (pn || count == 1 || last->kind == QUORVEL_NODE_TEXT)
                    f->end_tag_own_line = needs_lines;
                else
                    f->end_tag_own_line = 1;
            } else {
                inline_content = true;
            }
        } else {
            inline_content = true;
            if ((cls & kHtmlBlock) && !pn) {
                lf_after_start = child->kind != QUORVEL_NODE_TEXT && count > 1;
                f->end_tag_own_line = count >= 2 && last->kind != QUORVEL_NODE_TEXT;
            }
        }
    }
    f->inline_content = inline_content;
    // ">" and the line feed after it in one store.
    if (buffer_ensure_capacity(b, 3)) {
        char* out = b->data + b->length;
        *out++ = '>';
        bool feed = lf_after_start && indenting;
        if (feed) *out++ = '\n';
        *out = '\0';
        b->length = static_cast<size_t>(out - b->data);
        b->at_line_start = feed;
    }
    if (needs_meta) {
        if (indenting && !inline_content) {
            b->depth++;
            buffer_append_indent(b);
            b->depth--;
            emit_xhtml_meta(b);
            buffer_append_newline(b);
        } else {
            emit_xhtml_meta(b);
        }
    }
    b->depth++;
    return opened::frame;
}

bool element_writer::write_start_tag(quorvel_element* e, const qname& q, quorvel_element_ext* ext, size_t indent,
                                     bool xmlns_empty, bool xhtml_ns) {
    ser_buffer* b = b_;
    chain_default_ = nullptr;
    const size_t qlen = q.length();
    if (!buffer_ensure_capacity(b, indent + qlen + 2)) return false;
    char* out = write_indent(b->data + b->length, indent);
    *out++ = '<';
    out = q.write(out);
    *out = '\0';
    b->length = static_cast<size_t>(out - b->data);
    b->at_line_start = 0;

    quorvel_ns_decl* decls = ext ? ext->ns_decls : nullptr;
    for (quorvel_ns_decl* d = decls; d; d = d->next) {
        put(" xmlns", 6);
        if (d->prefix && d->prefix[0]) {
            buffer_append_char(b, ':');
            buffer_append(b, d->prefix);
        }
        put("=\"", 2);
        if (d->uri) ser_append_escaped(b, d->uri, std::strlen(d->uri), SER_ESCAPE_NS_URI);
        buffer_append_char(b, '"');
    }
    if (xmlns_empty) put(" xmlns=\"\"", 9);
    if (xhtml_ns) {
        put(" xmlns=\"", 8);
        put(kXhtmlNamespace, sizeof kXhtmlNamespace - 1);
        buffer_append_char(b, '"');
    }

    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (!a->name || !a->name_length) continue;
        // A declaration in the chain that repeats one already on this tag
        // would make the tag carry the same attribute twice.
        if (a->name_length >= 5 && std::memcmp(a->name, "xmlns", 5) == 0 &&
            (a->name_length == 5 || a->name[5] == ':')) {
            const char* p = a->name_length == 5 ? nullptr : a->name + 6;
            bool repeated = false;
            if (!p || !p[0]) {
                repeated = xmlns_empty || xhtml_ns;
                for (quorvel_ns_decl* d = decls; d && !repeated; d = d->next) repeated = !d->prefix || !d->prefix[0];
            } else {
                for (quorvel_ns_decl* d = decls; d && !repeated; d = d->next)
                    repeated = d->prefix && std::strcmp(d->prefix, p) == 0;
            }
            for (quorvel_attribute* o = quorvel_elem_first_attr(e); o != a && !repeated; o = quorvel_attr_next(o))
                repeated = o->name && o->name_length == a->name_length &&
                           std::memcmp(o->name, a->name, a->name_length) == 0;
            if (repeated) continue;
            if (!p || !p[0]) {
                size_t n;
                chain_default_ = ser_attr_value(a, &n);
            }
        }
        write_attribute(q, a);
        if (b->out_of_memory) return false;
    }
    return true;
}

void element_writer::write_attribute(const qname& q, quorvel_attribute* a) {
    ser_buffer* b = b_;
    size_t vlen;
    const char* value = quorvel_attribute_pending(a) ? ser_pending_value(a, document(), &vlen) : ser_attr_value(a, &vlen);

    // The name: re-prefixed from the namespace record when it has a prefix.
    const char* name = a->name;
    size_t name_length = a->name_length;
    const char* prefix = nullptr;
    size_t prefix_length = 0;
    const char* local = name;
    size_t local_length = name_length;
    if (auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns)); ns && ns->prefix && ns->prefix[0]) {
        size_t pl = std::strlen(ns->prefix);
        if (name_length > pl && std::memcmp(name, ns->prefix, pl) == 0 && name[pl] == ':') {
            local = name + pl + 1;
            local_length = name_length - pl - 1;
        } else {
            prefix = ns->prefix;
            prefix_length = pl;
        }
    }

    ser_escape_mode mode = SER_ESCAPE_ATTR_XML;
    if (b->html) {
        mode = SER_ESCAPE_ATTR_HTML;
        // URI attributes are percent-encoded; name only where it is one (a).
        if (bytes_equal(local, local_length, "href") || bytes_equal(local, local_length, "src") ||
            (bytes_equal(local, local_length, "name") && !q.prefix && q.name_length == 1 &&
             (q.name[0] == 'a' || q.name[0] == 'A')))
            mode = SER_ESCAPE_URI_HTML;
    }

    const size_t head = 1 + (prefix ? prefix_length + 1 : 0) + name_length + 2;
    if (vlen > SIZE_MAX / 2 || !buffer_ensure_capacity(b, head + vlen + kSerEscapeSlack + 1)) {
        b->out_of_memory = 1;
        return;
    }
    char* out = b->data + b->length;
    *out++ = ' ';
    if (prefix) {
        out = ser_copy_name(out, prefix, prefix_length);
        *out++ = ':';
    }
    out = ser_copy_name(out, name, name_length);
    *out++ = '=';
    *out++ = '"';
    if (vlen) {
        out = mode == SER_ESCAPE_ATTR_XML ? ser_escape::escape_into<SER_ESCAPE_ATTR_XML>(b, out, value, vlen, 1)
                                          : ser_escape_into(b, out, value, vlen, mode, 1);
        if (!out) return;
    }
    *out++ = '"';
    *out = '\0';
    b->length = static_cast<size_t>(out - b->data);
}

// Children other than elements, inside frame f.
void element_writer::write_child(quorvel_node* node, ser_frame* f) {
    ser_buffer* b = b_;
    const bool layout = indenting_ && (!b->html || b->html_indent);
    switch (node->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<quorvel_text*>(node);
            size_t n;
            const char* s = ser_text_content(t, &n);
            const bool raw = t->head.flags & kTextNoEscape;
            bool own_lines = false;
            if (indenting_) {
                if (f->texts_blank && layout && !f->inline_content) return;
                bool blank = all_whitespace(s, n);
                // Whitespace between indented children is replaced by the layout.
                if (layout && !f->inline_content && blank) return;
                if (!blank && b->indent_text) {
                    own_lines = true;
                    buffer_append_newline(b);
                    if (layout) buffer_append_indent(b);
                }
            }
            if (f->is_cdata && !raw) {
                if (n && !gather_cdata(f, s, n)) return;
            } else {
                flush(f);
                if (raw || (f->html_class & kHtmlRawText))
                    put_text(s, n);
                else if (n)
                    put_escaped_text(s, n);
            }
            if (own_lines) buffer_append_newline(b);
            return;
        }
        case QUORVEL_NODE_CDATA: {
            const char* s = reinterpret_cast<quorvel_comment*>(node)->content;
            if (f->is_cdata) {
                if (s && s[0] && !gather_cdata(f, s, std::strlen(s))) return;
                return;
            }
            flush(f);
            cdata_serialize(node, b);
            return;
        }
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_PI:
            flush(f);
            if (layout && !f->inline_content) {
                buffer_append_indent(b);
                g_node_vtables[node->kind]->serialize(node, b);
                buffer_append_newline(b);
            } else {
                g_node_vtables[node->kind]->serialize(node, b);
            }
            return;
        default:
            flush(f);
            if (node->kind >= 0 && node->kind < 11 && g_node_vtables[node->kind])
                g_node_vtables[node->kind]->serialize(node, b);
            return;
    }
}

bool element_writer::gather_cdata(ser_frame* f, const char* s, size_t n) {
    if (f->cdata_capacity - f->cdata_length < n + 1) {
        size_t cap = f->cdata_capacity ? f->cdata_capacity : 128;
        while (cap - f->cdata_length < n + 1) {
            if (cap > SIZE_MAX / 2) {
                abort_walk();
                return false;
            }
            cap *= 2;
        }
        char* fresh = static_cast<char*>(ser_work_resize(f->cdata_text, f->cdata_length, cap, &f->cdata_release));
        if (!fresh) {
            abort_walk();
            return false;
        }
        f->cdata_text = fresh;
        f->cdata_capacity = cap;
    }
    std::memcpy(f->cdata_text + f->cdata_length, s, n);
    f->cdata_length += n;
    f->cdata_text[f->cdata_length] = '\0';
    f->cdata_pending = 1;
    return true;
}

void element_writer::close_frame(ser_frame* f) {
    ser_buffer* b = b_;
    b->depth--;
    flush(f);
    if (f->cdata_text) {
        ser_work_release(f->cdata_text, f->cdata_release);
        f->cdata_text = nullptr;
        f->cdata_length = f->cdata_capacity = 0;
    }
    if (b->html) {
        if (f->end_tag_own_line && indenting_) {
            if (b->html_indent) {
                if (b->length && b->data[b->length - 1] != '\n') buffer_append_char(b, '\n');
                buffer_append_indent(b);
            } else {
                buffer_append_newline(b);
            }
        }
    } else {
        // XML: indentation, end tag and line feed in one store.
        quorvel_element* e = f->element;
        bool feed = false;
        if (indenting_ && !is_top(e)) {
            // Text after the element keeps it on its line, unless that text
            // is blank in laid-out content and so gives way to the layout.
            quorvel_node* next = ser_next_sibling(&e->head);
            ser_frame* parent = frames_.below_top();
            feed = !next || next->kind != QUORVEL_NODE_TEXT || (parent && !parent->inline_content);
        }
        qname q{f->prefix, f->prefix_length, f->name, f->name_length};
        size_t width = indent_width(!f->inline_content);
        size_t n = width + q.length() + 4;
        if (!buffer_ensure_capacity(b, n + 1)) return;
        char* out = write_indent(b->data + b->length, width);
        *out++ = '<';
        *out++ = '/';
        out = q.write(out);
        *out++ = '>';
        if (feed) *out++ = '\n';
        *out = '\0';
        b->length = static_cast<size_t>(out - b->data);
        b->at_line_start = feed;
        return;
    }
    qname q{f->prefix, f->prefix_length, f->name, f->name_length};
    put_end_tag(q);
    quorvel_element* e = f->element;
    if (indenting_ && !is_top(e) && html_break_after_elem(e, f->html_class)) buffer_append_newline(b);
}

}  // namespace

unsigned char html_elem_sem_flags(const quorvel_element* e) {
    if (!e) return 0;
    quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ser_element_prefix(ext)) return 0;
    const char* name = quorvel_elem_name_raw(e);
    if (!name) return 0;
    return html_class_of(name, ser_local_name_length(e, name));
}

int is_cdata_element(const ser_buffer* b, const quorvel_element* e) {
    if (!b || !e || b->cdata_count == 0 || e->head.kind != QUORVEL_NODE_ELEMENT) return 0;
    const char* name = quorvel_elem_name_raw(e);
    if (!name) return 0;
    const char* prefix = ser_element_prefix(quorvel_elem_ext(e));
    size_t pl = prefix ? std::strlen(prefix) : 0;
    for (size_t i = 0; i < b->cdata_count; i++) {
        const char* entry = b->cdata_names[i];
        if (!entry) continue;
        if (prefix) {
            if (std::strncmp(entry, prefix, pl) == 0 && entry[pl] == ':' && std::strcmp(entry + pl + 1, name) == 0)
                return 1;
        } else if (std::strcmp(entry, name) == 0) {
            return 1;
        }
    }
    return 0;
}

const char* ser_pending_value(quorvel_attribute* a, quorvel_document* doc, size_t* n) {
    const char* value = quorvel_attribute_decode_in(doc, a, n);
    return value ? value : "";
}

int ser_children_have_text(const quorvel_node* c) {
    for (; c; c = ser_next_sibling(c)) {
        if (c->kind == QUORVEL_NODE_CDATA) return 1;
        if (c->kind == QUORVEL_NODE_TEXT) {
            size_t n;
            const char* s = ser_text_content(reinterpret_cast<const quorvel_text*>(c), &n);
            if (!all_whitespace(s, n)) return 1;
        }
    }
    return 0;
}

void ser_frame_cd_flush(ser_buffer* b, ser_frame* f) {
    if (!b || !f || !f->cdata_pending) return;
    ser_write_cdata_sections(b, f->cdata_text, f->cdata_length);
    f->cdata_pending = 0;
    f->cdata_length = 0;
}

namespace {

// Indentation the plain walk can write: a unit below 2^16 bytes and a start
// depth of sane size (the general walk handles the absurd ones, failing
// their reservations).
bool plain_indent_fits(const ser_buffer* b) {
    size_t unit = b->indent_string && b->indent_string[0] ? std::strlen(b->indent_string)
                                                          : static_cast<size_t>(b->indent);
    return unit < 65536 && b->depth < (1 << 20);
}

}  // namespace

int serialize_element_internal(quorvel_element* element, ser_buffer* b, int top) {
    if (!element || !b || element->head.kind != QUORVEL_NODE_ELEMENT || !quorvel_elem_name_raw(element)) return 0;
    // Without layout, CDATA sections or XHTML rules the plain walk writes the
    // same bytes. It needs a block to write into, and a buffer that has not
    // failed before: the general walk stops after the first element there.
    if (g_ser_plain_walk && !b->html && !b->xhtml && b->cdata_count == 0 && !b->out_of_memory && b->data &&
        b->capacity > b->length &&
        (b->indent <= 0 || (!b->indent_text && !b->whitespace_text_inline && plain_indent_fits(b)))) {
        ser_write_plain_xml_top(element, b, top != 0);
        return 0;
    }
    element_writer(element, b, top).run();
    return 0;
}
