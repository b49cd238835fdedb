// The element writer's fast path: XML without CDATA-section elements, XHTML
// rules or text on lines of its own, indented or not. Without indentation
// the layout rules add nothing, so an element is its tags, declarations,
// attributes and children, and the walk keeps only what its end tag and the
// xmlns="" rule need. Indented, the XML layout rules are few: an element
// whose children include text keeps its content as it is, any other drops
// its (blank) text children and puts each child on a line of its own.
// serialize_element_internal picks it from the buffer's switches; it must
// write exactly the bytes of the general walk (a test compares the two over
// whole documents).
//
// The walk writes through a cursor held in a local variable, not in the
// buffer record or the writer: a store through a char pointer may alias any
// object, so a cursor kept in memory would be reloaded after every byte.
// Helpers take the cursor and return the new one, or NULL when the buffer
// could not grow (out_of_memory is then set and data[length] is a NUL).
#include <cstring>

#include "dom/dom.h"
#include "output/output.h"

thread_local constinit bool g_ser_plain_walk = true;

namespace {

// One open element: what its end tag, its descendants' xmlns="" test and
// the step past it need, so closing it does not read its record again.
struct plain_frame {
    quorvel_node* next;      // the element's next sibling
    const char* default_ns;  // as ser_frame::default_ns
    size_t qname_at;         // offset of the qualified name in the start tag
    uint32_t qname_length;
    uint32_t inline_content;  // indented: the content is written as it is
};

constexpr size_t kInlineFrames = 64;

// What an element's prefix and namespace declarations add to its tags.
struct plain_names {
    const char* prefix;                 // NULL or non-empty
    size_t prefix_length;
    const quorvel_ns_decl* decls;       // its own declarations
    const char* own_default;            // the default it declares, when it does
    bool declares_default;
    bool xmlns_empty;                   // the start tag undeclares the default
};

// The qualified name: prefix, ':' and local name, or the local name alone.
inline char* put_qname(char* out, const char* prefix, size_t prefix_length, const char* name, size_t name_length) {
    if (prefix) {
        out = ser_copy_name(out, prefix, prefix_length);
        *out++ = ':';
    }
    return ser_copy_name(out, name, name_length);
}

// Room an end tag needs: "</" and ">" around the qualified name, which is
// copied 16 bytes at a time when it is not longer.
inline size_t end_tag_room(size_t qname_length) { return (qname_length < 16 ? 16 : qname_length) + 3; }

// "</" qname ">", the qname copied from its start tag at q, earlier in the
// same block. A short one moves as one 16-byte block: both words are read
// before anything is stored, and the bytes past the qname that come along
// (the rest of the block, written or not) are overwritten or lie past the end.
inline char* put_end_tag(char* out, const char* q, size_t qname_length) {
    out[0] = '<';
    out[1] = '/';
    if (qname_length <= 16) {
        uint64_t a, z;
        std::memcpy(&a, q, 8);
        std::memcpy(&z, q + 8, 8);
        std::memcpy(out + 2, &a, 8);
        std::memcpy(out + 10, &z, 8);
    } else {
        std::memcpy(out + 2, q, qname_length);
    }
    out[2 + qname_length] = '>';
    return out + qname_length + 3;
}

class plain_writer {
public:
    plain_writer(quorvel_element* element, ser_buffer* b, bool top) : b_(b), element_(element), top_(top) {
        if (b->indent > 0) {
            if (b->indent_string && b->indent_string[0]) {
                unit_ = b->indent_string;
                unit_length_ = std::strlen(unit_);
            } else {
                unit_length_ = static_cast<size_t>(b->indent);
            }
        }
    }
    plain_writer(const plain_writer&) = delete;
    plain_writer& operator=(const plain_writer&) = delete;
    ~plain_writer() {
        if (frames_ != inline_frames_) ser_work_release(frames_, frames_release_);
    }

    template <bool kIndent>
    void run();

private:
    // Indentation of depth units: room checked by the caller.
    char* put_indent(char* out, size_t width) const {
        if (!unit_) {
            std::memset(out, ' ', width);
            return out + width;
        }
        for (char* end = out + width; out < end; out += unit_length_) std::memcpy(out, unit_, unit_length_);
        return out;
    }
    // The end of the block: out may advance to end - 1, the last byte is
    // kept for the NUL.
    char* end() const { return b_->data + b_->capacity; }
    // Room for n bytes and the NUL at out: the cursor in the grown block, or
    // NULL (out_of_memory set, the text so far terminated) when it cannot grow.
    [[gnu::noinline]] char* grow(char* out, size_t n) {
        b_->length = static_cast<size_t>(out - b_->data);
        if (n < SIZE_MAX - 1 && buffer_ensure_capacity(b_, n + 1)) return b_->data + b_->length;
        return fail(out);
    }
    // Records a size no block can hold: the text so far stays, terminated.
    [[gnu::noinline]] char* fail(char* out) {
        b_->length = static_cast<size_t>(out - b_->data);
        b_->out_of_memory = 1;
        b_->data[b_->length] = '\0';
        return nullptr;
    }
    [[gnu::always_inline]] char* room(char* out, size_t n) {
        return static_cast<size_t>(end() - out) > n ? out : grow(out, n);
    }
    // n bytes escaped by mode M, with room for tail bytes and the NUL after.
    template <ser_escape_mode M>
    char* put_escaped(char* out, const char* s, size_t n, size_t tail) {
        if (n > SIZE_MAX / 4) return fail(out);
        if (!(out = room(out, n + kSerEscapeSlack + tail))) return nullptr;
        return ser_escape::escape_into_short<M>(b_, out, s, n, tail);
    }
    // A text node's content, escaped or as it is when marked so, with room
    // for tail bytes and the NUL after it.
    char* put_text(char* out, const quorvel_text* t, size_t tail) {
        size_t n;
        const char* s = ser_text_content(t, &n);
        if (n && !(t->head.flags & kTextNoEscape)) return put_escaped<SER_ESCAPE_TEXT>(out, s, n, tail);
        if (!(out = room(out, n + tail))) return nullptr;
        if (n) std::memcpy(out, s, n);
        return out + n;
    }

    // Inline: its results go straight to the loop's locals. The writers
    // after it are kept out of the loop, which is lean on registers without them.
    [[gnu::always_inline]] inline plain_names element_names(quorvel_element* e, const char* in_scope);
    [[gnu::noinline]] char* write_start_rest(char* out, quorvel_element* e, const quorvel_ns_decl* decls,
                                             bool xmlns_empty);
    char* write_attribute(char* out, quorvel_attribute* a);
    [[gnu::noinline]] char* write_other(char* out, quorvel_node* node);
    plain_frame* grow_frames();

    quorvel_document* document() {
        if (!doc_looked_up_) {
            doc_ = quorvel_element_get_document(element_);
            doc_looked_up_ = true;
        }
        return doc_;
    }

    ser_buffer* b_;
    quorvel_element* element_;
    bool top_;                    // element_ gets no indentation nor line feed
    const char* unit_ = nullptr;  // indentation unit, NULL for spaces
    size_t unit_length_ = 0;
    quorvel_document* doc_ = nullptr;
    bool doc_looked_up_ = false;
    const char* chain_default_ = nullptr;  // set by write_start_rest
    plain_frame* frames_ = inline_frames_;
    size_t capacity_ = kInlineFrames;
    quorvel_release_fn frames_release_ = nullptr;  // of frames_ once it left inline_frames_
    plain_frame inline_frames_[kInlineFrames];
};

// A stack twice the size, or NULL when it cannot be had.
plain_frame* plain_writer::grow_frames() {
    if (capacity_ > SIZE_MAX / 2 / sizeof(plain_frame)) return nullptr;
    size_t cap = capacity_ * 2;
    void* fresh = ser_work_resize(frames_ == inline_frames_ ? nullptr : frames_, capacity_ * sizeof(plain_frame),
                                  cap * sizeof(plain_frame), &frames_release_);
    if (!fresh) return nullptr;
    if (frames_ == inline_frames_) std::memcpy(fresh, inline_frames_, sizeof inline_frames_);
    frames_ = static_cast<plain_frame*>(fresh);
    capacity_ = cap;
    return frames_;
}

// Room for n bytes and the NUL at out in run(); leaves the walk when the
// block cannot grow (grow then recorded the failure).
#define PLAIN_ROOM(n)                                       \
    do {                                                    \
        if (static_cast<size_t>(end - out) <= (n)) {        \
            if (!(out = grow(out, (n)))) goto done;         \
            data = b->data;                                 \
            end = data + b->capacity;                       \
        }                                                   \
    } while (0)
// After a call that may have grown the block.
#define PLAIN_RELOAD()             \
    do {                           \
        data = b->data;            \
        end = data + b->capacity;  \
    } while (0)

template <bool kIndent>
void plain_writer::run() {
    ser_buffer* const b = b_;
    char* data = b->data;  // the block, moved only by growth
    char* out = data + b->length;
    char* end = data + b->capacity;
    plain_frame* frames = frames_;
    size_t depth = 0;                     // open frames
    const char* in_scope = nullptr;       // default_ns of the innermost frame
    quorvel_node* node = &element_->head;
    // Indented: the buffer's depth counts units; the walk's frames add to it.
    const int start_depth = b->depth;
    const size_t base = start_depth > 0 ? static_cast<size_t>(start_depth) : 0;
    // Units in a line's indentation at a number of open frames (a negative
    // start depth is made up for by frames before any unit shows).
    auto width_at = [&](size_t open) -> size_t {
        if (start_depth >= 0) return (base + open) * unit_length_;
        auto d = static_cast<int64_t>(open) + start_depth;
        return d > 0 ? static_cast<size_t>(d) * unit_length_ : 0;
    };
    for (;;) {
        if (node->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(node);
            // An element without a name cannot be written; its subtree goes with it.
            const char* name = quorvel_elem_name_raw(e);
            if (!name) {
                if (e == element_) break;
                goto next_node;
            }
            const size_t name_length = ser_local_name_length(e, name);
            // Most elements have no prefix and no declarations and sit in no
            // default namespace: locals, with the struct only on the way out
            // of the helper.
            const char* prefix = nullptr;
            size_t prefix_length = 0;
            const quorvel_ns_decl* decls = nullptr;
            bool xmlns_empty = false;
            bool declares_default = false;
            const char* scope = in_scope;  // the default in scope below this element
            if (e->ext || (in_scope && in_scope[0])) {
                const plain_names ns = element_names(e, in_scope);
                prefix = ns.prefix;
                prefix_length = ns.prefix_length;
                decls = ns.decls;
                xmlns_empty = ns.xmlns_empty;
                declares_default = ns.declares_default;
                scope = declares_default ? ns.own_default : xmlns_empty ? "" : in_scope;
            }

            // "<" qname, with room for ">" and the end tag after it (and a
            // line feed when indenting).
            const size_t qlen = prefix ? prefix_length + 1 + name_length : name_length;
            const size_t tail = end_tag_room(qlen) + (kIndent ? 2 : 0);
            // Indented: a line of its own unless its parent keeps its
            // content as it is or it is the top element.
            bool own_line = false;
            if constexpr (kIndent) {
                own_line = !(depth ? frames[depth - 1].inline_content : top_ && e == element_);
                const size_t width = own_line ? width_at(depth) : 0;
                PLAIN_ROOM(width + qlen + 2 + tail);
                out = put_indent(out, width);
            } else {
                PLAIN_ROOM(qlen + 2 + tail);
            }
            *out = '<';
            const size_t qname_at = static_cast<size_t>(out + 1 - data);
            out = put_qname(out + 1, prefix, prefix_length, name, name_length);
            if (decls || xmlns_empty || e->first_attr) {
                if (!(out = write_start_rest(out, e, decls, xmlns_empty))) goto done;
                PLAIN_RELOAD();
                PLAIN_ROOM(1 + tail);
                // A default declared in the attribute chain, unless the
                // element's own declarations or undeclaration came first.
                if (chain_default_ && !declares_default && !xmlns_empty) scope = chain_default_;
            }

            quorvel_node* child = quorvel_elem_first_child_raw(e);
            if (!child) {
                if (b->expand_empty) {
                    *out++ = '>';
                    out = put_end_tag(out, data + qname_at, qlen);
                } else {
                    out[0] = '/';
                    out[1] = '>';
                    out += 2;
                }
                if (kIndent && own_line) *out++ = '\n';
            } else if (child->kind == QUORVEL_NODE_TEXT &&
                       !reinterpret_cast<const quorvel_text*>(child)->next_sibling) {
                // The common leaf: a lone text child, written with the end tag.
                *out++ = '>';
                if (!(out = put_text(out, reinterpret_cast<quorvel_text*>(child), tail))) goto done;
                PLAIN_RELOAD();
                out = put_end_tag(out, data + qname_at, qlen);
                if (kIndent && own_line) *out++ = '\n';
            } else {
                *out++ = '>';
                // Indented: content with text in it is kept as it is, inside
                // such content too; any other gets a line per child.
                bool inline_content = false;
                if constexpr (kIndent) {
                    inline_content = (depth && frames[depth - 1].inline_content) || ser_children_have_text(child);
                    if (!inline_content) *out++ = '\n';
                }
                if (depth == capacity_ && !(frames = grow_frames())) {
                    // No room to go deeper: close this element at once and stop.
                    out = put_end_tag(out, data + qname_at, qlen);
                    b->out_of_memory = 1;
                    break;
                }
                plain_frame* f = &frames[depth++];
                f->next = static_cast<quorvel_node*>(quorvel_link_get(e, &e->next_sibling));
                f->qname_at = qname_at;
                f->qname_length = static_cast<uint32_t>(qlen);
                f->inline_content = inline_content;
                in_scope = scope;
                f->default_ns = scope;
                node = child;
                continue;
            }
            if (e == element_) break;
        } else if (node->kind == QUORVEL_NODE_TEXT) {
            // Indented, the blank text between lines gives way to the layout.
            if (!kIndent || frames[depth - 1].inline_content) {
                if (!(out = put_text(out, reinterpret_cast<quorvel_text*>(node), 0))) goto done;
                PLAIN_RELOAD();
            }
        } else if (kIndent && (node->kind == QUORVEL_NODE_COMMENT || node->kind == QUORVEL_NODE_PI) &&
                   !frames[depth - 1].inline_content) {
            // Comments and PIs on lines of their own.
            const size_t width = width_at(depth);
            PLAIN_ROOM(width);
            out = put_indent(out, width);
            b->depth = start_depth + static_cast<int>(depth);
            if (!(out = write_other(out, node))) goto done;
            PLAIN_RELOAD();
            PLAIN_ROOM(1);
            *out++ = '\n';
        } else {
            if constexpr (kIndent) b->depth = start_depth + static_cast<int>(depth);
            if (!(out = write_other(out, node))) goto done;
            PLAIN_RELOAD();
        }
    next_node:
        // The sibling, or the end tags of the frames left behind; the walk
        // ends when the frame of element_, the first one, closes.
        {
            quorvel_node* next = ser_next_sibling(node);
            while (!next) {
                if (!depth) goto done;
                const plain_frame& f = frames[--depth];
                if constexpr (kIndent) {
                    // Its own line for the end tag after lines of children;
                    // a line feed after it unless text follows (or it is the top).
                    // Text that follows in laid-out content is blank and gives
                    // way to the layout, so the line feed is still due.
                    const size_t width = f.inline_content ? 0 : width_at(depth);
                    const bool text_kept = !depth || frames[depth - 1].inline_content;
                    const bool feed = !(top_ && !depth) &&
                                      (!f.next || f.next->kind != QUORVEL_NODE_TEXT || !text_kept);
                    PLAIN_ROOM(width + end_tag_room(f.qname_length) + 1);
                    out = put_indent(out, width);
                    out = put_end_tag(out, data + f.qname_at, f.qname_length);
                    if (feed) *out++ = '\n';
                } else {
                    PLAIN_ROOM(end_tag_room(f.qname_length));
                    out = put_end_tag(out, data + f.qname_at, f.qname_length);
                }
                if (!depth) goto done;
                next = f.next;
                in_scope = frames[depth - 1].default_ns;
            }
            node = next;
        }
    }
done:
    // out is NULL after a failed growth, which stored length and NUL itself.
    if (out) {
        *out = '\0';
        b->length = static_cast<size_t>(out - data);
    }
    b->at_line_start = 0;
    b->depth = start_depth;
}

#undef PLAIN_ROOM
#undef PLAIN_RELOAD

// The element's prefix and declarations, and whether its start tag must
// undeclare the default namespace in_scope: an unprefixed element in no
// namespace below a non-empty default of an open element.
inline plain_names plain_writer::element_names(quorvel_element* e, const char* in_scope) {
    plain_names ns{};
    quorvel_element_ext* ext = quorvel_elem_ext(e);
    if (ext) {
        ns.prefix = ser_element_prefix(ext);
        if (ns.prefix) ns.prefix_length = ser_short_strlen(ns.prefix);
        ns.decls = ext->ns_decls;
        for (const quorvel_ns_decl* d = ns.decls; d; d = d->next)
            if (!d->prefix || !d->prefix[0]) {
                ns.declares_default = true;
                ns.own_default = d->uri ? d->uri : "";
                break;
            }
    }
    if (!ns.prefix && !ns.declares_default && in_scope && in_scope[0]) {
        // The URI cached by an earlier lookup, read here without the call.
        const char* uri = ext && ext->ns_uri ? ext->ns_uri : quorvel_element_get_namespace_uri(e);
        ns.xmlns_empty = !uri || !uri[0];
    }
    return ns;
}

// The start tag after its name: e's own declarations, the undeclaration of
// the default namespace, then the attribute chain less declarations that
// would repeat one already on the tag. chain_default_ becomes the default
// namespace a chain "xmlns" sets.
char* plain_writer::write_start_rest(char* out, quorvel_element* e, const quorvel_ns_decl* decls, bool xmlns_empty) {
    chain_default_ = nullptr;
    for (const quorvel_ns_decl* d = decls; d; d = d->next) {
        const size_t pl = d->prefix ? ser_short_strlen(d->prefix) : 0;
        if (!(out = room(out, pl + 9))) return nullptr;
        std::memcpy(out, " xmlns", 6);
        out += 6;
        if (pl) {
            *out++ = ':';
            out = ser_copy_name(out, d->prefix, pl);
        }
        out[0] = '=';
        out[1] = '"';
        out += 2;
        const size_t n = d->uri ? std::strlen(d->uri) : 0;
        if (n && !(out = put_escaped<SER_ESCAPE_NS_URI>(out, d->uri, n, 1))) return nullptr;
        if (!(out = room(out, 1))) return nullptr;
        *out++ = '"';
    }
    if (xmlns_empty) {
        if (!(out = room(out, 9))) return nullptr;
        std::memcpy(out, " xmlns=\"\"", 9);
        out += 9;
    }
    quorvel_attribute* first = quorvel_elem_first_attr(e);
    for (quorvel_attribute* a = first; a; a = quorvel_attr_next(a)) {
        const char* n = a->name;
        if (!n || !a->name_length) continue;
        if (a->name_length >= 5 && std::memcmp(n, "xmlns", 5) == 0 && (a->name_length == 5 || n[5] == ':')) {
            const char* p = a->name_length == 5 ? nullptr : n + 6;
            bool repeated = false;
            if (!p || !p[0]) {
                repeated = xmlns_empty;
                for (const quorvel_ns_decl* d = decls; d && !repeated; d = d->next)
                    repeated = !d->prefix || !d->prefix[0];
            } else {
                for (const quorvel_ns_decl* d = decls; d && !repeated; d = d->next)
                    repeated = d->prefix && std::strcmp(d->prefix, p) == 0;
            }
            for (quorvel_attribute* o = first; o != a && !repeated; o = quorvel_attr_next(o))
                repeated = o->name && o->name_length == a->name_length && std::memcmp(o->name, n, a->name_length) == 0;
            if (repeated) continue;
            if (!p || !p[0]) {
                size_t ignored;
                chain_default_ = ser_attr_value(a, &ignored);
            }
        }
        if (!(out = write_attribute(out, a))) return nullptr;
    }
    return out;
}

// " " name "=\"" value "\"", the name re-prefixed from the namespace record
// when it does not already start with that prefix.
char* plain_writer::write_attribute(char* out, quorvel_attribute* a) {
    size_t vlen;
    const char* value = quorvel_attribute_pending(a) ? ser_pending_value(a, document(), &vlen) : ser_attr_value(a, &vlen);
    const char* name = a->name;
    const size_t name_length = a->name_length;
    const char* prefix = nullptr;
    size_t prefix_length = 0;
    if (a->ns) {
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
        if (ns && ns->prefix && ns->prefix[0]) {
            // One pass: the name starts with the prefix and a colon, or the
            // prefix goes in front of it.
            const char* p = ns->prefix;
            size_t i = 0;
            while (p[i] && i < name_length && p[i] == name[i]) i++;
            if (p[i] || i >= name_length || name[i] != ':') {
                prefix = p;
                prefix_length = i + std::strlen(p + i);
            }
        }
    }
    const size_t head = 1 + (prefix ? prefix_length + 1 : 0) + name_length + 2;
    if (vlen > SIZE_MAX / 2) return fail(out);
    if (!(out = room(out, head + vlen + kSerEscapeSlack + 1))) return nullptr;
    *out = ' ';
    out = put_qname(out + 1, prefix, prefix_length, name, name_length);
    out[0] = '=';
    out[1] = '"';
    out += 2;
    if (vlen && !(out = ser_escape::escape_into_short<SER_ESCAPE_ATTR_XML>(b_, out, value, vlen, 1))) return nullptr;
    *out++ = '"';
    return out;
}

// Children other than elements and text: comments directly, the rest
// through the node tables.
char* plain_writer::write_other(char* out, quorvel_node* node) {
    if (node->kind == QUORVEL_NODE_COMMENT) {
        const char* content = reinterpret_cast<const quorvel_comment*>(node)->content;
        if (!content) return out;
        const size_t n = std::strlen(content);
        if (!(out = room(out, n + 7))) return nullptr;
        std::memcpy(out, "<!--", 4);
        std::memcpy(out + 4, content, n);
        std::memcpy(out + 4 + n, "-->", 3);
        return out + n + 7;
    }
    *out = '\0';
    b_->length = static_cast<size_t>(out - b_->data);
    if (node->kind == QUORVEL_NODE_CDATA)
        cdata_serialize(node, b_);
    else if (node->kind >= 0 && node->kind < 11 && g_node_vtables[node->kind])
        g_node_vtables[node->kind]->serialize(node, b_);
    return b_->out_of_memory ? nullptr : b_->data + b_->length;
}

}  // namespace

void ser_write_plain_xml(quorvel_element* element, ser_buffer* b) { ser_write_plain_xml_top(element, b, false); }

void ser_write_plain_xml_top(quorvel_element* element, ser_buffer* b, bool top) {
    plain_writer w(element, b, top);
    if (b->indent > 0)
        w.run<true>();
    else
        w.run<false>();
}
