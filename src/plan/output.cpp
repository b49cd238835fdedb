// XML output of plan results and the document rebuild.
//
// Both go through one traversal: the declarations of the whole tree are
// collected and checked first, then every element's content (lists
// dissolved, source order restored) is handed to a writer, which either
// appends text or builds document nodes. The traversal keeps its own stack,
// and every check that keeps the XML namespace-well-formed (names, prefixes,
// repeated attributes, characters) is made once, for both.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "plan/plan.h"

namespace {

constexpr const char kXmlUri[] = "http://www.w3.org/XML/1998/namespace";
constexpr const char kXmlnsUri[] = "http://www.w3.org/2000/xmlns/";

// ---- Characters and names ---------------------------------------------------------

// Decodes one UTF-8 sequence at s (n bytes left); 0 for an invalid one.
size_t utf8_next(const unsigned char* s, size_t n, uint32_t* cp) {
    unsigned char c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t len;
    uint32_t v, min;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

bool xml_char(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

bool name_start(uint32_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
           (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
           (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool name_char(uint32_t c) {
    return name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool plan_is_ncname(const char* s, size_t n) {
    if (!n) return false;
    auto* p = reinterpret_cast<const unsigned char*>(s);
    for (size_t i = 0; i < n;) {
        uint32_t c;
        size_t len = utf8_next(p + i, n - i, &c);
        if (!len || !(i == 0 ? name_start(c) : name_char(c))) return false;
        i += len;
    }
    return true;
}

bool plan_is_xml_text(const char* s, size_t n) {
    auto* p = reinterpret_cast<const unsigned char*>(s);
    for (size_t i = 0; i < n;) {
        if (p[i] >= 0x20 && p[i] < 0x80) {
            i++;
            continue;
        }
        uint32_t c;
        size_t len = utf8_next(p + i, n - i, &c);
        if (!len || !xml_char(c)) return false;
        i += len;
    }
    return true;
}

// ---- Names, entries and forms ------------------------------------------------------------

namespace {

inline const char* after_colon(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? colon + 1 : name;
}

inline bool valid_row(const quorvel_plan_entry* entry, int32_t row) {
    return entry && row >= 0 && uint32_t(row) < entry->child_row_count;
}

}  // namespace

plan_name plan_value_output_name(const quorvel_plan* plan, const quorvel_plan_value* v, bool element) {
    plan_name n{plan_value_prefix(v), ""};
    if (const char* own = plan_value_name(v)) {
        n.local = after_colon(own);
    } else if (element && plan_value_element_row(v) < plan->element_row_count) {
        // A row name is written the way a value's own name is: without any
        // prefix it was written with, which only the value's prefix gives.
        const char* row_name = plan->entries[plan_value_element_row(v)].name;
        if (row_name) n.local = after_colon(row_name);
    }
    return n;
}

const quorvel_plan_entry* plan_children_entry(const quorvel_plan* plan, const quorvel_plan_entry* parent,
                                              const quorvel_plan_value* v) {
    if (valid_row(parent, plan_value_child_row(v))) {
        int32_t target = parent->child_rows[plan_value_child_row(v)].element_row_index;
        if (target >= 0 && uint32_t(target) < plan->element_row_count) return &plan->entries[target];
    }
    if (plan_value_element_row(v) < plan->element_row_count) return &plan->entries[plan_value_element_row(v)];
    return nullptr;
}

plan_item_form plan_item_form_of(const quorvel_plan_entry* parent, const quorvel_plan_value* v) {
    if (v->kind == kValueRaw) return kFormRaw;
    // An element value keeps its markup whatever row it came from: writing
    // it as text would drop its attributes and children.
    if (v->kind == kValueElement) return kFormElement;
    if (valid_row(parent, plan_value_child_row(v)) && parent->child_rows[plan_value_child_row(v)].kind != kPlanText)
        return kFormElement;
    return kFormText;
}

bool plan_collect_items(const quorvel_plan_value* v, plan_vec<const quorvel_plan_value*>* items) {
    size_t start = items->size;
    struct level {
        const quorvel_plan_value* list;
        size_t next;
    };
    plan_vec<level> lists;
    if (!lists.push(level{v, 0})) return false;
    while (lists.size) {
        level& top = lists.data[lists.size - 1];
        if (top.next >= top.list->branch.child_count) {
            lists.size--;
            continue;
        }
        const quorvel_plan_value* c = top.list->branch.children[top.next++];
        if (c->kind == kValueList) {
            if (!lists.push(level{c, 0})) return false;
        } else if (!items->push(c)) {
            return false;
        }
    }
    auto before = [](const quorvel_plan_value* a, const quorvel_plan_value* b) {
        if (a->position != b->position) return a->position < b->position;
        return a->order_index < b->order_index;
    };
    const quorvel_plan_value** first = items->data + start;
    const quorvel_plan_value** last = items->data + items->size;
    if (!std::is_sorted(first, last, before)) std::sort(first, last, before);
    return true;
}

// ---- Declarations and checks --------------------------------------------------------------

namespace {

int add_decl(plan_vec<plan_decl>* decls, const char* prefix, const char* uri) {
    size_t plen = std::strlen(prefix), ulen = std::strlen(uri);
    if (!plan_is_ncname(prefix, plen) || !plan_is_xml_text(uri, ulen)) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (std::strcmp(prefix, "xmlns") == 0 || std::strcmp(uri, kXmlnsUri) == 0) return QUORVEL_ERR_INVALID_ARGUMENT;
    bool xml_prefix = std::strcmp(prefix, "xml") == 0;
    bool xml_uri = std::strcmp(uri, kXmlUri) == 0;
    if (xml_prefix || xml_uri) return xml_prefix && xml_uri ? 0 : QUORVEL_ERR_INVALID_ARGUMENT;
    // A prefixed declaration cannot undeclare.
    if (!ulen) return QUORVEL_ERR_INVALID_ARGUMENT;
    for (size_t i = 0; i < decls->size; i++) {
        if (std::strcmp(decls->data[i].prefix, prefix) != 0) continue;
        return std::strcmp(decls->data[i].uri, uri) == 0 ? 0 : QUORVEL_ERR_INVALID_ARGUMENT;
    }
    return decls->push(plan_decl{prefix, uri}) ? 0 : QUORVEL_ERR_MEMORY;
}

}  // namespace

int plan_prepare(const quorvel_plan*, const quorvel_plan_value* value, plan_prepared* out) {
    // Value first, then its attributes, then its children, depth-first.
    struct level {
        const quorvel_plan_value* v;
        size_t next;
    };
    plan_vec<level> stack;
    auto visit = [&](const quorvel_plan_value* v) -> int {
        if (plan_value_prefix(v) && plan_value_uri(v)) {
            if (int st = add_decl(&out->decls, plan_value_prefix(v), plan_value_uri(v))) return st;
        }
        if (!plan_value_branches(v)) return 0;
        for (size_t i = 0; i < v->branch.attr_count; i++) {
            if (plan_attr_prefixes(v)[i] && plan_attr_uris(v)[i]) {
                if (int st = add_decl(&out->decls, plan_attr_prefixes(v)[i], plan_attr_uris(v)[i])) return st;
            }
        }
        return stack.push(level{v, 0}) ? 0 : QUORVEL_ERR_MEMORY;
    };
    if (int st = visit(value)) return st;
    while (stack.size) {
        level& top = stack.data[stack.size - 1];
        if (top.next >= top.v->branch.child_count) {
            stack.size--;
            continue;
        }
        if (int st = visit(top.v->branch.children[top.next++])) return st;
    }
    return 0;
}

// ---- The shared traversal ------------------------------------------------------------------

namespace {

// Receives the checked tree. Every call answers 0 or a failure status.
struct plan_writer {
    // attrs: the element's captured attributes, checked; decls only for the
    // top element.
    virtual int start(const plan_name& name, const quorvel_plan_value* v, const plan_vec<plan_decl>* decls,
                      bool empty, int depth) = 0;
    // Closes the element start opened; empty when it had no content, top
    // for the top element.
    virtual int end(const plan_name& name, bool empty, bool top) = 0;
    virtual int leaf_element(const plan_name& name, const char* text, size_t n) = 0;
    virtual int text(const char* text, size_t n) = 0;
    virtual int raw(const char* text, size_t n) = 0;
    virtual int line(int depth) = 0;  // a line break and the indentation of depth
};

struct traversal {
    const quorvel_plan* plan;
    const plan_prepared* prepared;
    plan_writer* writer;
    bool indent;

    plan_vec<const quorvel_plan_value*> items;
    struct attr_key {
        const char* uri;
        const char* local;
    };
    plan_vec<attr_key> keys;

    const char* declared(const char* prefix, size_t n) const {
        if (n == 3 && std::memcmp(prefix, "xml", 3) == 0) return kXmlUri;
        for (size_t i = 0; i < prepared->decls.size; i++) {
            const plan_decl& d = prepared->decls.data[i];
            if (std::strlen(d.prefix) == n && std::memcmp(d.prefix, prefix, n) == 0) return d.uri;
        }
        return nullptr;
    }

    int check_name(const plan_name& name) const {
        if (!plan_is_ncname(name.local, std::strlen(name.local))) return QUORVEL_ERR_INVALID_ARGUMENT;
        if (name.prefix) {
            size_t n = std::strlen(name.prefix);
            if (!plan_is_ncname(name.prefix, n) || !declared(name.prefix, n)) return QUORVEL_ERR_INVALID_ARGUMENT;
        }
        return 0;
    }

    int check_attributes(const quorvel_plan_value* v) {
        keys.size = 0;
        for (size_t i = 0; i < v->branch.attr_count; i++) {
            const char* name = plan_attr_names(v)[i];
            const char* value = plan_attr_values(v)[i];
            const char* colon = std::strchr(name, ':');
            const char* local = colon ? colon + 1 : name;
            const char* uri = "";
            if (!plan_is_ncname(local, std::strlen(local))) return QUORVEL_ERR_INVALID_ARGUMENT;
            if (colon) {
                size_t plen = static_cast<size_t>(colon - name);
                if (!plan_is_ncname(name, plen)) return QUORVEL_ERR_INVALID_ARGUMENT;
                uri = declared(name, plen);  // xmlns is never declared
                if (!uri) return QUORVEL_ERR_INVALID_ARGUMENT;
            } else if (std::strcmp(name, "xmlns") == 0) {
                return QUORVEL_ERR_INVALID_ARGUMENT;  // a declaration, not an attribute
            }
            if (!plan_is_xml_text(value, std::strlen(value))) return QUORVEL_ERR_INVALID_ARGUMENT;
            if (!keys.push(attr_key{uri, local})) return QUORVEL_ERR_MEMORY;
        }
        if (keys.size < 2) return 0;
        auto less = [](const attr_key& a, const attr_key& b) {
            int c = std::strcmp(a.uri, b.uri);
            return c ? c < 0 : std::strcmp(a.local, b.local) < 0;
        };
        std::sort(keys.data, keys.data + keys.size, less);
        for (size_t i = 1; i < keys.size; i++)
            if (!less(keys.data[i - 1], keys.data[i])) return QUORVEL_ERR_INVALID_ARGUMENT;
        return 0;
    }

    struct level {
        const quorvel_plan_value* v;
        const quorvel_plan_entry* entry;  // the children's entry
        plan_name name;
        size_t start, end, next;
        int depth;
        bool indented;
    };
    plan_vec<level> stack;

    // Opens element value v (parent's children entry: parent).
    int open(const quorvel_plan_value* v, const quorvel_plan_entry* parent, int depth, bool top) {
        plan_name name = plan_value_output_name(plan, v, true);
        if (int st = check_name(name)) return st;
        if (int st = check_attributes(v)) return st;
        level lv{v, plan_children_entry(plan, parent, v), name, items.size, 0, 0, depth, false};
        if (!plan_collect_items(v, &items)) return QUORVEL_ERR_MEMORY;
        lv.end = items.size;
        lv.next = lv.start;
        if (indent && lv.end > lv.start) {
            lv.indented = true;
            for (size_t i = lv.start; i < lv.end; i++)
                if (items.data[i]->kind == kValueRaw) lv.indented = false;
        }
        if (int st = writer->start(name, v, top ? &prepared->decls : nullptr, lv.end == lv.start, depth)) return st;
        if (lv.end == lv.start) {
            items.size = lv.start;
            return writer->end(name, true, top);
        }
        return stack.push(lv) ? 0 : QUORVEL_ERR_MEMORY;
    }

    int text_of(const quorvel_plan_value* v) {
        const char* s = plan_value_text(v) ? plan_value_text(v) : "";
        size_t n = plan_value_length(v);
        if (!plan_is_xml_text(s, n)) return QUORVEL_ERR_INVALID_ARGUMENT;
        return writer->text(s, n);
    }

    int run(const quorvel_plan_value* value) {
        if (value->kind == kValueRaw)
            return writer->raw(value->leaf.text ? value->leaf.text : "", value->leaf.text ? value->leaf.length : 0);
        if (value->kind != kValueElement) return text_of(value);
        if (int st = open(value, nullptr, 0, true)) return st;
        while (stack.size) {
            level& lv = stack.data[stack.size - 1];
            if (lv.next >= lv.end) {
                level done = lv;
                stack.size--;
                items.size = done.start;
                if (done.indented)
                    if (int st = writer->line(done.depth)) return st;
                if (int st = writer->end(done.name, false, stack.size == 0)) return st;
                continue;
            }
            const quorvel_plan_value* item = items.data[lv.next++];
            int depth = lv.depth + 1;
            const quorvel_plan_entry* entry = lv.entry;
            if (lv.indented)
                if (int st = writer->line(depth)) return st;
            switch (plan_item_form_of(entry, item)) {
                case kFormRaw:
                    if (int st = writer->raw(item->leaf.text ? item->leaf.text : "", item->leaf.text ? item->leaf.length : 0))
                        return st;
                    break;
                case kFormText:
                    if (int st = text_of(item)) return st;
                    break;
                case kFormElement:
                    if (item->kind == kValueElement) {
                        if (int st = open(item, entry, depth, false)) return st;
                    } else {
                        plan_name name = plan_value_output_name(plan, item, false);
                        if (int st = check_name(name)) return st;
                        const char* s = plan_value_text(item) ? plan_value_text(item) : "";
                        size_t n = plan_value_length(item);
                        if (!plan_is_xml_text(s, n)) return QUORVEL_ERR_INVALID_ARGUMENT;
                        if (int st = writer->leaf_element(name, s, n)) return st;
                    }
                    break;
            }
        }
        return 0;
    }
};

// ---- XML text ----------------------------------------------------------------------------------

// A growing malloc'd buffer: the text goes to the caller, who frees it with
// quorvel_free_string.
struct text_buffer {
    char* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    bool failed = false;
    ~text_buffer() { std::free(data); }

    bool reserve(size_t more) {
        if (failed) return false;
        if (more <= capacity - size && data) return true;
        size_t cap = capacity ? capacity : 256;
        while (cap - size <= more) {
            if (cap > SIZE_MAX / 2) return failed = true, false;
            cap *= 2;
        }
        char* p = static_cast<char*>(std::realloc(data, cap));
        if (!p) return failed = true, false;
        data = p;
        capacity = cap;
        return true;
    }
    void put(const char* s, size_t n) {
        if (!reserve(n + 1)) return;
        if (n) std::memcpy(data + size, s, n);
        size += n;
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void put(char c) { put(&c, 1); }
    char* take() {
        if (!reserve(1)) return nullptr;
        data[size] = '\0';
        char* out = data;
        data = nullptr;
        return out;
    }

    // Text: markup characters and CR (which a reader would turn into LF);
    // attribute values also the quote and the white space a reader would
    // normalise.
    void escaped(const char* s, size_t n, bool attribute) {
        size_t run = 0;
        for (size_t i = 0; i < n; i++) {
            const char* rep = nullptr;
            switch (s[i]) {
                case '&': rep = "&amp;"; break;
                case '<': rep = "&lt;"; break;
                case '>': rep = "&gt;"; break;
                case '\r': rep = "&#13;"; break;
                case '"': rep = attribute ? "&quot;" : nullptr; break;
                case '\t': rep = attribute ? "&#9;" : nullptr; break;
                case '\n': rep = attribute ? "&#10;" : nullptr; break;
                default: break;
            }
            if (!rep) continue;
            put(s + run, i - run);
            put(rep);
            run = i + 1;
        }
        put(s + run, n - run);
    }
    void name(const plan_name& n) {
        if (n.prefix) {
            put(n.prefix);
            put(':');
        }
        put(n.local);
    }
};

struct text_writer final : plan_writer {
    text_buffer out;
    int indent = 0;
    const char* indent_string = nullptr;

    int status() const { return out.failed ? QUORVEL_ERR_MEMORY : 0; }

    int start(const plan_name& name, const quorvel_plan_value* v, const plan_vec<plan_decl>* decls, bool empty,
              int) override {
        out.put('<');
        out.name(name);
        if (decls) {
            for (size_t i = 0; i < decls->size; i++) {
                out.put(" xmlns:");
                out.put(decls->data[i].prefix);
                out.put("=\"");
                out.escaped(decls->data[i].uri, std::strlen(decls->data[i].uri), true);
                out.put('"');
            }
        }
        for (size_t i = 0; i < v->branch.attr_count; i++) {
            out.put(' ');
            out.put(plan_attr_names(v)[i]);
            out.put("=\"");
            out.escaped(plan_attr_values(v)[i], std::strlen(plan_attr_values(v)[i]), true);
            out.put('"');
        }
        out.put(empty ? "/>" : ">");
        return status();
    }
    int end(const plan_name& name, bool empty, bool top) override {
        if (!empty) {
            out.put("</");
            out.name(name);
            out.put('>');
        }
        if (top && indent > 0) out.put('\n');
        return status();
    }
    int leaf_element(const plan_name& name, const char* text, size_t n) override {
        out.put('<');
        out.name(name);
        out.put('>');
        out.escaped(text, n, false);
        out.put("</");
        out.name(name);
        out.put('>');
        return status();
    }
    int text(const char* text, size_t n) override {
        out.escaped(text, n, false);
        return status();
    }
    int raw(const char* text, size_t n) override {
        out.put(text, n);
        return status();
    }
    int line(int depth) override {
        out.put('\n');
        for (int i = 0; i < depth; i++) {
            if (indent_string)
                out.put(indent_string);
            else
                for (int k = 0; k < indent; k++) out.put(' ');
        }
        return status();
    }
};

}  // namespace

// ---- Document rebuild ---------------------------------------------------------------------

namespace {

// Builds the document bottom-up: an element is appended to its parent only
// once its own content is complete, so every append goes under an element
// that has no parent yet and nothing climbs a deep tree.
struct doc_writer final : plan_writer {
    quorvel_document* doc = nullptr;
    plan_vec<quorvel_element*> open;
    quorvel_element* root = nullptr;
    plan_vec<char> scratch;

    const char* qname(const plan_name& n) {
        if (!n.prefix) return n.local;
        size_t pl = std::strlen(n.prefix), ll = std::strlen(n.local);
        if (!scratch.grow(pl + ll + 2)) return nullptr;
        std::memcpy(scratch.data, n.prefix, pl);
        scratch.data[pl] = ':';
        std::memcpy(scratch.data + pl + 1, n.local, ll + 1);
        return scratch.data;
    }

    int add(quorvel_node* node) {
        if (!node) return QUORVEL_ERR_MEMORY;
        return quorvel_element_append_child(open.data[open.size - 1], node) ? QUORVEL_ERR_MEMORY : 0;
    }

    int start(const plan_name& name, const quorvel_plan_value* v, const plan_vec<plan_decl>* decls, bool,
              int) override {
        const char* qn = qname(name);
        if (!qn) return QUORVEL_ERR_MEMORY;
        quorvel_element* e = quorvel_element_new_with_attributes(doc, qn, plan_attr_names(v), plan_attr_values(v), v->branch.attr_count);
        if (!e) return QUORVEL_ERR_MEMORY;
        if (decls) {
            for (size_t i = 0; i < decls->size; i++)
                if (quorvel_element_add_namespace_definition(e, decls->data[i].prefix, decls->data[i].uri))
                    return QUORVEL_ERR_MEMORY;
        }
        return open.push(e) ? 0 : QUORVEL_ERR_MEMORY;
    }
    int end(const plan_name&, bool, bool) override {
        quorvel_element* e = open.data[--open.size];
        if (!open.size) {
            root = e;
            return 0;
        }
        return add(quorvel_element_as_node(e));
    }
    int leaf_element(const plan_name& name, const char* text, size_t) override {
        const char* qn = qname(name);
        if (!qn) return QUORVEL_ERR_MEMORY;
        quorvel_element* e = quorvel_element_new_with_attributes(doc, qn, nullptr, nullptr, 0);
        if (!e) return QUORVEL_ERR_MEMORY;
        if (*text && quorvel_element_set_text(e, text)) return QUORVEL_ERR_MEMORY;
        return add(quorvel_element_as_node(e));
    }
    int text(const char* text, size_t n) override { return n ? add(quorvel_text_node_create(doc, text)) : 0; }
    // Raw XML is kept as text: the rebuild does not parse.
    int raw(const char* text, size_t n) override { return n ? add(quorvel_text_node_create(doc, text)) : 0; }
    int line(int) override { return 0; }
};

char* serialize(const quorvel_plan* plan, const quorvel_plan_value* value, const quorvel_plan_serialize_options* options,
                int* status) {
    if (!plan || !value) {
        if (status) *status = QUORVEL_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    plan_prepared prepared;
    int st = plan_prepare(plan, value, &prepared);
    text_writer writer;
    if (options) {
        writer.indent = options->indent;
        writer.indent_string = options->indent_string;
        // Indentation is white space between tags; anything else would be
        // written into the content, markup included.
        if (writer.indent > 0 && writer.indent_string &&
            writer.indent_string[std::strspn(writer.indent_string, " \t\r\n")] != '\0')
            st = QUORVEL_ERR_INVALID_ARGUMENT;
    }
    if (!st) {
        traversal t{plan, &prepared, &writer, writer.indent > 0, {}, {}, {}};
        st = t.run(value);
    }
    char* text = st ? nullptr : writer.out.take();
    if (!st && !text) st = QUORVEL_ERR_MEMORY;
    if (status) *status = st;
    return text;
}

}  // namespace

extern "C" {

QUORVEL_API char* quorvel_plan_serialize(const quorvel_plan* plan, const quorvel_plan_value* value, int* status) {
    if (status) *status = 0;
    return serialize(plan, value, nullptr, status);
}

QUORVEL_API char* quorvel_plan_serialize_ext(const quorvel_plan* plan, const quorvel_plan_value* value,
                                             const quorvel_plan_serialize_options* options, size_t options_size,
                                             int* status) {
    if (status) *status = 0;
    if (options && options_size < sizeof(quorvel_plan_serialize_options)) {
        if (status) *status = QUORVEL_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    return serialize(plan, value, options, status);
}

QUORVEL_API quorvel_document* quorvel_document_from_plan_result(const quorvel_plan* plan,
                                                                const quorvel_plan_value* value, int* status) {
    if (status) *status = 0;
    if (!plan || !value || value->kind != kValueElement) {
        if (status) *status = QUORVEL_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    plan_prepared prepared;
    int st = plan_prepare(plan, value, &prepared);
    if (st) {
        if (status) *status = st;
        return nullptr;
    }
    doc_writer writer;
    writer.doc = quorvel_document_create();
    if (!writer.doc) {
        if (status) *status = QUORVEL_ERR_MEMORY;
        return nullptr;
    }
    traversal t{plan, &prepared, &writer, false, {}, {}, {}};
    st = t.run(value);
    if (!st && (!writer.root || quorvel_document_set_root(writer.doc, writer.root))) st = QUORVEL_ERR_MEMORY;
    if (st) {
        quorvel_document_free(writer.doc);
        if (status) *status = st;
        return nullptr;
    }
    return writer.doc;
}

}  // extern "C"
