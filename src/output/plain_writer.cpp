// The element writer's fast path: XML without indentation, CDATA-section
// elements or XHTML rules. There the layout rules add nothing, so an element
// is its tags, declarations, attributes and children, and the walk keeps
// only what its end tag and the xmlns="" rule need. serialize_element_internal
// picks it from the buffer's switches; it must write exactly the bytes of the
// general walk (a test compares the two over whole documents).
#include <cstring>

#include "dom/element_api.h"
#include "output/escape.h"
#include "output/output.h"

thread_local constinit bool g_ser_plain_walk = true;

namespace {

// One open element: what its end tag and its descendants' xmlns="" test need.
struct plain_frame {
    quorvel_element* element;
    const char* name;
    const char* prefix;      // NULL or non-empty
    const char* default_ns;  // as ser_frame::default_ns
    size_t name_length;
    size_t prefix_length;
};

constexpr size_t kInlineFrames = 64;

class plain_writer {
public:
    plain_writer(quorvel_element* element, ser_buffer* b)
        : b_(b), element_(element), out_(b->data + b->length), end_(b->data + b->capacity) {}
    plain_writer(const plain_writer&) = delete;
    plain_writer& operator=(const plain_writer&) = delete;
    ~plain_writer() {
        if (frames_ != inline_frames_) std::free(frames_);
    }

    void run();

private:
    // Room for n bytes and the NUL at out_; false (out_of_memory set) when
    // the block cannot grow. The NUL itself is stored once, at the end.
    [[gnu::always_inline]] bool room(size_t n) {
        return static_cast<size_t>(end_ - out_) > n || grow(n);
    }
    [[gnu::noinline]] bool grow(size_t n) {
        sync();
        if (n >= SIZE_MAX - 1 || !buffer_ensure_capacity(b_, n + 1)) {
            b_->out_of_memory = 1;
            return false;
        }
        out_ = b_->data + b_->length;
        end_ = b_->data + b_->capacity;
        return true;
    }
    // Makes the buffer record whole again: length and the NUL after it.
    void sync() {
        b_->length = static_cast<size_t>(out_ - b_->data);
        *out_ = '\0';
    }
    // Takes over the buffer after a writer that appended through it.
    void resume() {
        out_ = b_->data + b_->length;
        end_ = b_->data + b_->capacity;
    }
    template <ser_escape_mode M>
    bool put_escaped(const char* s, size_t n, size_t tail) {
        if (n > SIZE_MAX / 4 || !room(n + kSerEscapeSlack + tail)) {
            b_->out_of_memory = 1;
            return false;
        }
        char* out = ser_escape::escape_into<M>(b_, out_, s, n, tail);
        if (!out) {
            resume();
            return false;
        }
        out_ = out;
        end_ = b_->data + b_->capacity;
        return true;
    }
    bool put_raw(const char* s, size_t n) {
        if (!room(n)) return false;
        std::memcpy(out_, s, n);
        out_ += n;
        return true;
    }
    // A text node's content: escaped, or as it is when marked so.
    bool put_text(const quorvel_text* t, size_t tail) {
        size_t n;
        const char* s = ser_text_content(t, &n);
        if (!n) return room(tail);
        if (t->head.flags & kTextNoEscape) return put_raw(s, n) && room(tail);
        return put_escaped<SER_ESCAPE_TEXT>(s, n, tail);
    }
    // "</" qname ">", with room already made for it.
    void end_tag(const char* prefix, size_t prefix_length, const char* name, size_t name_length) {
        char* out = out_;
        *out++ = '<';
        *out++ = '/';
        if (prefix) {
            out = ser_copy_name(out, prefix, prefix_length);
            *out++ = ':';
        }
        out = ser_copy_name(out, name, name_length);
        *out++ = '>';
        out_ = out;
    }

    bool write_element(quorvel_element* e, const char* name, quorvel_node** next);
    bool write_declarations(const quorvel_ns_decl* decls);
    bool write_attributes(quorvel_element* e, const quorvel_ns_decl* decls, bool xmlns_empty,
                          const char** chain_default);
    bool write_attribute(quorvel_attribute* a);
    bool write_other(quorvel_node* node);
    plain_frame* push();

    quorvel_pool* document_pool() {
        if (!doc_looked_up_) {
            doc_ = quorvel_element_get_document(element_);
            doc_looked_up_ = true;
        }
        return doc_ ? doc_->pool : nullptr;
    }

    ser_buffer* b_;
    quorvel_element* element_;
    char* out_;  // next byte to write; the record's length is behind until sync
    char* end_;  // end of the block
    quorvel_document* doc_ = nullptr;
    bool doc_looked_up_ = false;
    plain_frame* frames_ = inline_frames_;
    size_t depth_ = 0;  // open frames
    size_t capacity_ = kInlineFrames;
    plain_frame inline_frames_[kInlineFrames];
};

plain_frame* plain_writer::push() {
    if (depth_ == capacity_) {
        if (capacity_ > SIZE_MAX / 2 / sizeof(plain_frame)) return nullptr;
        size_t cap = capacity_ * 2;
        void* fresh = g_ser_realloc(frames_ == inline_frames_ ? nullptr : frames_, cap * sizeof(plain_frame));
        if (!fresh) return nullptr;
        if (frames_ == inline_frames_) std::memcpy(fresh, inline_frames_, sizeof inline_frames_);
        frames_ = static_cast<plain_frame*>(fresh);
        capacity_ = cap;
    }
    return &frames_[depth_++];
}

void plain_writer::run() {
    quorvel_node* node = &element_->head;
    for (;;) {
        quorvel_node* next;
        if (node->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(node);
            // An element without a name cannot be written; its subtree goes with it.
            if (const char* name = quorvel_elem_name_raw(e)) {
                if (!write_element(e, name, &next)) break;
                if (next) {
                    node = next;
                    continue;
                }
            }
            if (e == element_) break;
        } else if (node->kind == QUORVEL_NODE_TEXT) {
            if (!put_text(reinterpret_cast<quorvel_text*>(node), 0)) break;
        } else if (!write_other(node)) {
            break;
        }
        // Next node: the sibling, or the end tags of the frames left behind.
        next = ser_next_sibling(node);
        bool done = false;
        while (!next) {
            const plain_frame& f = frames_[--depth_];
            if (!room(f.prefix_length + f.name_length + 4)) {
                done = true;
                break;
            }
            end_tag(f.prefix, f.prefix_length, f.name, f.name_length);
            if (f.element == element_) {
                done = true;
                break;
            }
            next = ser_next_sibling(&f.element->head);
        }
        if (done) break;
        node = next;
    }
    sync();
    b_->at_line_start = 0;
}

// Writes e's start tag, and its end tag when no frame is needed; *next is
// the first child when a frame was opened, else NULL. False: stop the walk.
bool plain_writer::write_element(quorvel_element* e, const char* name, quorvel_node** next) {
    *next = nullptr;
    const plain_frame* parent = depth_ ? &frames_[depth_ - 1] : nullptr;
    const size_t name_length = ser_local_name_length(e, name);
    const char* prefix = nullptr;
    size_t prefix_length = 0;
    const quorvel_ns_decl* decls = nullptr;
    const char* own_default = nullptr;
    bool declares_default = false;
    bool xmlns_empty = false;
    if (quorvel_element_ext* ext = quorvel_elem_ext(e)) {
        prefix = ser_element_prefix(ext);
        if (prefix) prefix_length = std::strlen(prefix);
        decls = ext->ns_decls;
        for (const quorvel_ns_decl* d = decls; d; d = d->next)
            if (!d->prefix || !d->prefix[0]) {
                declares_default = true;
                own_default = d->uri ? d->uri : "";
                break;
            }
    }
    // Unprefixed and in no namespace below a non-empty default of an open
    // element: the default must be undeclared.
    if (!prefix && !declares_default && parent && parent->default_ns && parent->default_ns[0]) {
        const char* uri = quorvel_element_get_namespace_uri(e);
        xmlns_empty = !uri || !uri[0];
    }

    // "<" qname, and room for "></" qname ">" after it.
    const size_t qlen = prefix ? prefix_length + 1 + name_length : name_length;
    if (!room(2 * qlen + 5)) return false;
    char* out = out_;
    *out++ = '<';
    if (prefix) {
        out = ser_copy_name(out, prefix, prefix_length);
        *out++ = ':';
    }
    out_ = ser_copy_name(out, name, name_length);

    const char* chain_default = nullptr;
    if (decls || xmlns_empty || e->first_attr) {
        if (decls && !write_declarations(decls)) return false;
        if (xmlns_empty && !put_raw(" xmlns=\"\"", 9)) return false;
        if (e->first_attr && !write_attributes(e, decls, xmlns_empty, &chain_default)) return false;
        if (!room(qlen + 4)) return false;
    }

    quorvel_node* child = quorvel_elem_first_child_raw(e);
    if (!child) {
        if (b_->expand_empty) {
            *out_++ = '>';
            end_tag(prefix, prefix_length, name, name_length);
        } else {
            out_[0] = '/';
            out_[1] = '>';
            out_ += 2;
        }
        return true;
    }
    *out_++ = '>';
    // The common leaf: a lone text child, written with the end tag.
    if (child->kind == QUORVEL_NODE_TEXT && !ser_next_sibling(child)) {
        if (!put_text(reinterpret_cast<quorvel_text*>(child), qlen + 3)) return false;
        end_tag(prefix, prefix_length, name, name_length);
        return true;
    }
    plain_frame* f = push();
    if (!f) {
        // No room to go deeper: close this element at once and stop.
        end_tag(prefix, prefix_length, name, name_length);
        b_->out_of_memory = 1;
        return false;
    }
    // push may have moved the stack under parent.
    parent = depth_ > 1 ? f - 1 : nullptr;
    f->element = e;
    f->name = name;
    f->prefix = prefix;
    f->name_length = name_length;
    f->prefix_length = prefix_length;
    f->default_ns = declares_default ? own_default
                    : xmlns_empty    ? ""
                    : chain_default  ? chain_default
                    : parent         ? parent->default_ns
                                     : nullptr;
    *next = child;
    return true;
}

bool plain_writer::write_declarations(const quorvel_ns_decl* decls) {
    for (const quorvel_ns_decl* d = decls; d; d = d->next) {
        const size_t pl = d->prefix ? std::strlen(d->prefix) : 0;
        if (!room(pl + 9)) return false;
        char* out = out_;
        std::memcpy(out, " xmlns", 6);
        out += 6;
        if (pl) {
            *out++ = ':';
            std::memcpy(out, d->prefix, pl);
            out += pl;
        }
        *out++ = '=';
        *out++ = '"';
        out_ = out;
        if (d->uri) {
            const size_t n = std::strlen(d->uri);
            if (n && !put_escaped<SER_ESCAPE_NS_URI>(d->uri, n, 1)) return false;
        }
        if (!room(1)) return false;
        *out_++ = '"';
    }
    return true;
}

// The attribute chain, less declarations that would repeat one already on
// the tag; *chain_default is the default namespace a chain "xmlns" sets.
bool plain_writer::write_attributes(quorvel_element* e, const quorvel_ns_decl* decls, bool xmlns_empty,
                                    const char** chain_default) {
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
                *chain_default = ser_attr_value(a, &ignored);
            }
        }
        if (!write_attribute(a)) return false;
    }
    return true;
}

// " " name "=\"" value "\"", the name re-prefixed from the namespace record
// when it does not already start with that prefix.
bool plain_writer::write_attribute(quorvel_attribute* a) {
    if (a->hash & kAttrPendingEntities) {
        size_t n;
        ser_attr_value(a, &n);
        if (n) ser_decode_pending_value(a, document_pool());
    }
    size_t vlen;
    const char* value = ser_attr_value(a, &vlen);
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
    if (vlen > SIZE_MAX / 2 || !room(head + vlen + kSerEscapeSlack + 1)) {
        b_->out_of_memory = 1;
        return false;
    }
    char* out = out_;
    *out++ = ' ';
    if (prefix) {
        out = ser_copy_name(out, prefix, prefix_length);
        *out++ = ':';
    }
    out = ser_copy_name(out, name, name_length);
    *out++ = '=';
    *out++ = '"';
    if (vlen) {
        out = ser_escape::escape_into<SER_ESCAPE_ATTR_XML>(b_, out, value, vlen, 1);
        if (!out) {
            resume();
            return false;
        }
        end_ = b_->data + b_->capacity;
    }
    *out++ = '"';
    out_ = out;
    return true;
}

// Children other than elements and text, through the node tables.
bool plain_writer::write_other(quorvel_node* node) {
    if (node->kind == QUORVEL_NODE_COMMENT) {
        // "<!--" content "-->", the most common of them, written directly.
        const char* content = reinterpret_cast<const quorvel_comment*>(node)->content;
        if (!content) return true;
        const size_t n = std::strlen(content);
        if (!room(n + 7)) return false;
        std::memcpy(out_, "<!--", 4);
        std::memcpy(out_ + 4, content, n);
        std::memcpy(out_ + 4 + n, "-->", 3);
        out_ += n + 7;
        return true;
    }
    sync();
    if (node->kind == QUORVEL_NODE_CDATA)
        cdata_serialize(node, b_);
    else if (node->kind >= 0 && node->kind < 11 && g_node_vtables[node->kind])
        g_node_vtables[node->kind]->serialize(node, b_);
    resume();
    return !b_->out_of_memory;
}

}  // namespace

void ser_write_plain_xml(quorvel_element* element, ser_buffer* b) { plain_writer(element, b).run(); }
