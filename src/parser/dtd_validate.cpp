// DTD validation and attribute defaults. quorvel_dtd_validate reports the
// first violation of a document against a DTD; the defaults walk (document
// parser under flag 0x02, the XSLT processor) adds declared #FIXED and
// literal defaults. Both walk the tree along its parent links, so depth costs
// neither call frames nor heap, and every element is reached.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "parser/parser.h"

namespace {

// ---- Tree walk --------------------------------------------------------------------

inline quorvel_element* element_parent(const quorvel_element* e) {
    return static_cast<quorvel_element*>(quorvel_link_get(e, &e->parent));
}

inline quorvel_element* next_element(quorvel_node* n) {
    while (n && n->kind != QUORVEL_NODE_ELEMENT) n = quorvel_node_next_raw(n);
    return reinterpret_cast<quorvel_element*>(n);
}

inline quorvel_element* first_child_element(const quorvel_element* e) {
    return next_element(quorvel_elem_first_child_raw(e));
}

// The element after e in document order within top's subtree, NULL at its end.
quorvel_element* walk_next(quorvel_element* e, const quorvel_element* top) {
    if (quorvel_element* child = first_child_element(e)) return child;
    while (e && e != top) {
        if (quorvel_element* sibling = next_element(quorvel_node_next_raw(&e->head))) return sibling;
        e = element_parent(e);
    }
    return nullptr;
}

inline bool is_space(unsigned char c) { return std::isspace(c) != 0; }

inline const char* name_of(const quorvel_element* e) {
    const char* name = quorvel_element_get_name(e);
    return name ? name : "";
}

// ---- Error reporting ---------------------------------------------------------------

constexpr size_t kMessageBytes = 256;

// Fills the caller's record: heap copies of the message and of the element's
// name (NULL when a copy cannot be made). A previous content is overwritten.
void set_error(quorvel_dtd_error* error, const char* message, const char* element) {
    if (!error) return;
    error->message = xsd_strdup(message);
    error->detail = element ? xsd_strdup(element) : nullptr;
    error->code = 0;
}

// Formats into a buffer of size bytes (the message is cut to size - 1).
__attribute__((format(printf, 3, 4))) void format_message(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, size, format, args);
    va_end(args);
}

// ---- Content-check cache -------------------------------------------------------------
//
// Elements that share a model and a child sequence are matched once. A hit
// needs the same model (by address), the same count and hash, and the same
// names: the hash alone would let another list's verdict through.

constexpr size_t kCacheEntries = 64;

struct content_cache_entry {
    const char* model;
    size_t count;
    uint32_t hash;
    const char** names;  // malloc'd copy of the child-name pointers, NULL for none
    int result;
    bool in_use;
    char message[kMessageBytes];
};

struct content_cache {
    content_cache_entry entries[kCacheEntries];
    size_t next;

    content_cache() : entries{}, next(0) {}
    ~content_cache() {
        for (content_cache_entry& e : entries) std::free(e.names);
    }
    content_cache(const content_cache&) = delete;
    content_cache& operator=(const content_cache&) = delete;

    const content_cache_entry* find(const char* model, const char* const* names, size_t count, uint32_t hash) const {
        for (const content_cache_entry& e : entries) {
            if (!e.in_use || e.model != model || e.count != count || e.hash != hash) continue;
            size_t i = 0;
            while (i < count && (e.names[i] == names[i] || std::strcmp(e.names[i], names[i]) == 0)) i++;
            if (i == count) return &e;
        }
        return nullptr;
    }

    // A list that cannot be copied is simply not remembered.
    void store(const char* model, const char* const* names, size_t count, uint32_t hash, int result,
               const char* message) {
        const char** copy = nullptr;
        if (count) {
            copy = static_cast<const char**>(std::malloc(count * sizeof *copy));
            if (!copy) return;
            std::memcpy(copy, names, count * sizeof *copy);
        }
        content_cache_entry& e = entries[next];
        next = (next + 1) % kCacheEntries;
        std::free(e.names);
        e.model = model;
        e.count = count;
        e.hash = hash;
        e.names = copy;
        e.result = result;
        e.in_use = true;
        std::snprintf(e.message, sizeof e.message, "%s", message);
    }
};

uint32_t child_names_hash(const char* const* names, size_t count) {
    uint32_t h = 0x811C9DC5u;
    for (size_t i = 0; i < count; i++) {
        for (const char* p = names[i]; *p; p++) {
            h ^= static_cast<unsigned char>(*p);
            h *= 16777619u;
        }
        h ^= static_cast<unsigned char>(',');
        h *= 16777619u;
    }
    return h;
}

// ---- Mixed content ------------------------------------------------------------------

// Whether the name is among the model's allowed names: the tokens between
// open and close, separated by '|' and white space, "#PCDATA" left out.
bool mixed_allows(const char* open, const char* close, const char* name) {
    size_t length = std::strlen(name);
    const char* p = open + 1;
    while (p < close) {
        while (p < close && (*p == '|' || is_space(static_cast<unsigned char>(*p)))) p++;
        const char* token = p;
        while (p < close && *p != '|' && !is_space(static_cast<unsigned char>(*p))) p++;
        size_t n = static_cast<size_t>(p - token);
        if (n == 7 && std::memcmp(token, "#PCDATA", 7) == 0) continue;
        if (n == length && n && std::memcmp(token, name, n) == 0) return true;
    }
    return false;
}

int check_mixed(const char* model, const char* element, const char* const* names, size_t count, char* message) {
    const char* open = std::strchr(model, '(');
    const char* close = std::strrchr(model, ')');
    if (!open || !close || close < open) {
        format_message(message, kMessageBytes, "Content model of '%s' is malformed", element);
        return 0;
    }
    const char* s = close + 1;
    while (*s && is_space(static_cast<unsigned char>(*s))) s++;
    char sign = *s;
    if (count == 0) return 1;
    for (size_t i = 0; i < count; i++) {
        if (!mixed_allows(open, close, names[i])) {
            format_message(message, kMessageBytes, "Element '%s' child '%s' is not allowed by the mixed content model",
                           element, names[i]);
            return 0;
        }
    }
    if (sign != '*') {
        format_message(message, kMessageBytes, "Element '%s' mixed content model allows no element children",
                       element);
        return 0;
    }
    return 1;
}

// ---- Element content ----------------------------------------------------------------
//
// The model text is parsed while it is matched, left to right, greedily and
// without backtracking: a choice takes its first matching alternative, a
// repetition stops when an iteration consumes nothing. A failing term or
// expression consumes no child. Recursion follows the model's parentheses
// only, and their nesting is capped.

constexpr int kMaxModelNesting = 128;

struct cm_matcher {
    const char* const* names;
    size_t count;
    size_t pos;        // next unmatched child
    const char* cur;   // model cursor
    const char* end;
    const char* element;
    char* message;     // kMessageBytes; the last message a term wrote
    int depth;
    bool too_deep;
};

inline void cm_skip_space(cm_matcher& m) {
    while (m.cur < m.end && is_space(static_cast<unsigned char>(*m.cur))) m.cur++;
}

inline bool cm_name_start(unsigned char c) { return (c < 0x80 && std::isalpha(c)) || c == '_' || c == ':'; }
inline bool cm_name_char(unsigned char c) {
    return (c < 0x80 && std::isalnum(c)) || c == '-' || c == '.' || c == ':' || c == '_';
}

// The occurrence sign after a term, if any; the cursor moves past it.
char cm_sign(cm_matcher& m) {
    cm_skip_space(m);
    if (m.cur < m.end && (*m.cur == '?' || *m.cur == '*' || *m.cur == '+')) return *m.cur++;
    return 0;
}

// The ')' that closes the group opening at open, nested groups counted.
const char* cm_group_close(const char* open, const char* end) {
    int depth = 0;
    for (const char* p = open; p < end; p++) {
        if (*p == '(') {
            depth++;
        } else if (*p == ')' && --depth == 0) {
            return p;
        }
    }
    return nullptr;
}

bool cm_match_expr(cm_matcher& m);

// A group at the cursor ('('): its expression once, then the repetitions its
// sign allows.
bool cm_try_group_once(cm_matcher& m) {
    const char* open = m.cur;
    size_t pos_before = m.pos;
    m.cur = open + 1;
    bool ok = cm_match_expr(m);
    if (m.too_deep) return false;
    if (ok) {
        cm_skip_space(m);
        if (m.cur >= m.end || *m.cur != ')') {
            format_message(m.message, kMessageBytes, "Content model of '%s' expected ')'", m.element);
            m.pos = pos_before;
            m.cur = open;
            return false;
        }
        m.cur++;
        char sign = cm_sign(m);
        const char* after = m.cur;
        if (sign == '*' || sign == '+') {
            for (;;) {
                size_t before = m.pos;
                m.cur = open + 1;
                bool again = cm_match_expr(m);
                if (m.too_deep) return false;
                if (again) {
                    cm_skip_space(m);
                    again = m.cur < m.end && *m.cur == ')';
                }
                if (!again) {
                    m.pos = before;  // a failed iteration is undone
                    break;
                }
                if (m.pos == before) break;
            }
        }
        m.cur = after;
        return true;
    }
    // Not matched: step over the group so that a following '|' can be seen.
    const char* close = cm_group_close(open, m.end);
    if (!close) {
        format_message(m.message, kMessageBytes, "Content model of '%s' expected ')'", m.element);
        m.cur = open;
        return false;
    }
    m.cur = close + 1;
    char sign = cm_sign(m);
    return sign == '?' || sign == '*';
}

bool cm_match_term(cm_matcher& m) {
    cm_skip_space(m);
    if (m.cur < m.end && *m.cur == '(') return cm_try_group_once(m);
    if (m.cur < m.end && *m.cur == '#') {
        format_message(m.message, kMessageBytes, "Content model of '%s' mixes #PCDATA with element content",
                       m.element);
        return false;
    }
    if (m.cur >= m.end || !cm_name_start(static_cast<unsigned char>(*m.cur))) {
        format_message(m.message, kMessageBytes, "Content model of '%s' expected a name", m.element);
        return false;
    }
    const char* name = m.cur;
    while (m.cur < m.end && cm_name_char(static_cast<unsigned char>(*m.cur))) m.cur++;
    size_t length = static_cast<size_t>(m.cur - name);
    while (m.cur < m.end && !is_space(static_cast<unsigned char>(*m.cur)) && !std::strchr("()*+,?|", *m.cur)) m.cur++;
    char sign = cm_sign(m);
    size_t limit = sign == '*' || sign == '+' ? m.count : 1;
    size_t taken = 0;
    while (m.pos < m.count && taken < limit && std::strncmp(m.names[m.pos], name, length) == 0 &&
           m.names[m.pos][length] == '\0') {
        m.pos++;
        taken++;
    }
    if (taken) return true;
    if (sign == '+') {
        format_message(m.message, kMessageBytes, "Element '%s' content model requires one or more '%.*s'", m.element,
                       static_cast<int>(length), name);
        return false;
    }
    if (sign == 0) {
        format_message(m.message, kMessageBytes, "Element '%s' content model requires '%.*s'", m.element,
                       static_cast<int>(length), name);
        return false;
    }
    return true;
}

// Terms joined by ',' (each must match in turn) or '|' (the first that
// matches is taken). A failing expression puts position and cursor back.
bool cm_match_expr(cm_matcher& m) {
    if (++m.depth > kMaxModelNesting) {
        m.too_deep = true;
        format_message(m.message, kMessageBytes, "Content model of '%s' is malformed", m.element);
        m.depth--;
        return false;
    }
    size_t pos_start = m.pos;
    const char* cur_start = m.cur;
    bool ok = cm_match_term(m);
    while (!m.too_deep) {
        cm_skip_space(m);
        if (m.cur < m.end && *m.cur == ',') {
            if (!ok) break;
            m.cur++;
            ok = cm_match_term(m);
        } else if (m.cur < m.end && *m.cur == '|') {
            if (ok) {
                // Taken: the other alternatives are passed over up to the
                // ')' that closes the choice.
                int depth = 0;
                for (; m.cur < m.end; m.cur++) {
                    if (*m.cur == '(') {
                        depth++;
                    } else if (*m.cur == ')') {
                        if (depth == 0) break;
                        depth--;
                    }
                }
                break;
            }
            m.cur++;
            ok = cm_match_term(m);
        } else {
            break;
        }
    }
    if (m.too_deep) ok = false;
    if (!ok) {
        m.pos = pos_start;
        m.cur = cur_start;
    }
    m.depth--;
    return ok;
}

int check_element_content(const char* model, const char* element, const char* const* names, size_t count,
                          char* message) {
    cm_matcher m{names, count, 0, model, model + std::strlen(model), element, message, 0, false};
    if (cm_match_expr(m)) {
        if (m.pos == count) return 1;
        format_message(message, kMessageBytes, "Element '%s' has %zu child(ren) but the content model accepts %zu",
                       element, count, m.pos);
        return 0;
    }
    if (!message[0]) format_message(message, kMessageBytes, "Element '%s' does not match its content model", element);
    return 0;
}

// ---- Validation ------------------------------------------------------------------------

// #REQUIRED declarations of one element, in the table's walk order.
struct required_decl {
    quorvel_dtd_attribute_decl* decl;
    required_decl* next;
};
struct required_list {
    required_decl* first;
    required_decl* last;
};

struct validation {
    quorvel_dtd* dtd;
    quorvel_dtd_error* error;
    quorvel_pool* pool;            // scratch of this call: ID table and required index
    quorvel_hash_table* ids;
    quorvel_hash_table* required;  // element name -> required_list; NULL: walk the declarations
    content_cache cache;
    const char** names = nullptr;  // child-name scratch
    size_t names_capacity = 0;

    validation(quorvel_dtd* d, quorvel_dtd_error* e)
        : dtd(d), error(e), pool(nullptr), ids(nullptr), required(nullptr) {}
    ~validation() {
        std::free(names);
        if (pool) quorvel_pool_destroy(pool);
    }
    validation(const validation&) = delete;
    validation& operator=(const validation&) = delete;
};

enum class verdict { valid, invalid, failed };

verdict invalid(validation& v, const char* message, const char* element) {
    set_error(v.error, message, element);
    return verdict::invalid;
}

bool has_char_content(const quorvel_element* e) {
    for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) {
        const char* text = nullptr;
        size_t length = 0;
        if (c->kind == QUORVEL_NODE_TEXT) {
            auto* t = reinterpret_cast<const quorvel_text*>(c);
            text = quorvel_text_get_content(t);
            length = (t->head.flags & kTextCounted) ? t->length : std::strlen(text);
        } else if (c->kind == QUORVEL_NODE_CDATA) {
            text = reinterpret_cast<const quorvel_comment*>(c)->content;
            length = text ? std::strlen(text) : 0;
        }
        for (size_t i = 0; text && i < length; i++)
            if (!is_space(static_cast<unsigned char>(text[i]))) return true;
    }
    return false;
}

// The names of e's element children in v.names; false when the array
// cannot be had (the content check is then skipped).
bool collect_child_names(validation& v, const quorvel_element* e, size_t* count) {
    size_t n = 0;
    for (quorvel_element* c = first_child_element(e); c; c = next_element(quorvel_node_next_raw(&c->head))) {
        if (n == v.names_capacity) {
            size_t capacity = v.names_capacity ? v.names_capacity * 2 : 64;
            void* grown = std::realloc(v.names, capacity * sizeof *v.names);
            if (!grown) return false;
            v.names = static_cast<const char**>(grown);
            v.names_capacity = capacity;
        }
        v.names[n++] = name_of(c);
    }
    *count = n;
    return true;
}

verdict check_content(validation& v, const quorvel_element* e, const char* element,
                      const quorvel_dtd_element_decl* decl) {
    switch (decl->content_kind) {
        case kContentEmpty:
            if (first_child_element(e)) return invalid(v, "Element declared EMPTY has element children", element);
            if (has_char_content(e)) return invalid(v, "Element declared EMPTY has character content", element);
            return verdict::valid;
        case kContentAny: return verdict::valid;
        case kContentElements:
            if (has_char_content(e)) return invalid(v, "Element content model does not allow character data", element);
            break;
        default: break;
    }
    const char* model = decl->content_model;
    if (!model || !*model) return verdict::valid;
    size_t count = 0;
    if (!collect_child_names(v, e, &count)) return verdict::valid;
    uint32_t hash = child_names_hash(v.names, count);
    if (const content_cache_entry* hit = v.cache.find(model, v.names, count, hash))
        return hit->result ? verdict::valid : invalid(v, hit->message, element);
    char message[kMessageBytes] = "";
    int result = std::strstr(model, "#PCDATA") ? check_mixed(model, element, v.names, count, message)
                                               : check_element_content(model, element, v.names, count, message);
    v.cache.store(model, v.names, count, hash, result, message);
    return result ? verdict::valid : invalid(v, message, element);
}

// Groups the #REQUIRED declarations by their element's name. Without memory
// the index is dropped and each element walks the declarations instead.
void build_required_index(validation& v) {
    quorvel_hash_table* index = quorvel_hash_table_create(v.pool, 64);
    if (!index) return;
    const quorvel_hash_table* table = v.dtd->attributes;
    for (size_t b = 0; table && b < table->bucket_count; b++) {
        for (quorvel_hash_entry* entry = table->buckets[b]; entry; entry = entry->next) {
            auto* decl = static_cast<quorvel_dtd_attribute_decl*>(entry->value);
            if (!decl || decl->default_kind != kDefaultRequired || !decl->element_name || !decl->attribute_name ||
                !*decl->attribute_name)
                continue;
            size_t length = std::strlen(decl->element_name);
            auto* list = static_cast<required_list*>(quorvel_hash_table_get(index, decl->element_name, length));
            auto* item = static_cast<required_decl*>(quorvel_pool_alloc(v.pool, sizeof(required_decl)));
            if (!list) {
                list = static_cast<required_list*>(quorvel_pool_alloc(v.pool, sizeof(required_list)));
                if (!list || !quorvel_hash_table_set(index, decl->element_name, length, list, v.pool)) return;
                list->first = list->last = nullptr;
            }
            if (!item) {
                // The list is incomplete: forget the index altogether.
                return;
            }
            item->decl = decl;
            item->next = nullptr;
            if (list->last)
                list->last->next = item;
            else
                list->first = item;
            list->last = item;
        }
    }
    v.required = index;
}

verdict check_required(validation& v, quorvel_element* e, const char* element) {
    char message[200];
    auto missing = [&](const quorvel_dtd_attribute_decl* decl) {
        if (quorvel_element_has_attribute(e, decl->attribute_name)) return false;
        format_message(message, sizeof message, "Element '%s' missing #REQUIRED attribute '%s'", element,
                       decl->attribute_name);
        return true;
    };
    if (v.required) {
        auto* list = static_cast<required_list*>(quorvel_hash_table_get(v.required, element, std::strlen(element)));
        for (required_decl* r = list ? list->first : nullptr; r; r = r->next)
            if (missing(r->decl)) return invalid(v, message, element);
        return verdict::valid;
    }
    const quorvel_hash_table* table = v.dtd->attributes;
    for (size_t b = 0; table && b < table->bucket_count; b++) {
        for (quorvel_hash_entry* entry = table->buckets[b]; entry; entry = entry->next) {
            auto* decl = static_cast<quorvel_dtd_attribute_decl*>(entry->value);
            if (!decl || decl->default_kind != kDefaultRequired || !decl->element_name || !decl->attribute_name ||
                !*decl->attribute_name || std::strcmp(decl->element_name, element) != 0)
                continue;
            if (missing(decl)) return invalid(v, message, element);
        }
    }
    return verdict::valid;
}

// A declared default as the document would hold it: the DTD keeps it as
// written, references and all. *owned receives the expansion to free (or
// NULL); a value that does not expand stays as written; NULL when memory
// ran out.
const char* declared_value(quorvel_dtd* dtd, const char* raw, char** owned) {
    *owned = nullptr;
    if (!std::strchr(raw, '&')) return raw;
    size_t length = 0;
    if ((*owned = dtd_expand_text(dtd, raw, std::strlen(raw), nullptr, nullptr, &length))) return *owned;
    return dtd_last_expand_status() == dtd_expand_status::no_memory ? nullptr : raw;
}

inline bool nmtoken_byte(unsigned char c) {
    return (c < 0x80 && std::isalnum(c)) || c == '-' || c == '.' || c == ':' || c == '_';
}

// Steps through the white-space separated tokens of a value.
struct token_reader {
    const char* p;
    bool next(const char** token, size_t* length) {
        while (*p && is_space(static_cast<unsigned char>(*p))) p++;
        if (!*p) return false;
        *token = p;
        while (*p && !is_space(static_cast<unsigned char>(*p))) p++;
        *length = static_cast<size_t>(p - *token);
        return true;
    }
};

// Whether value equals one of the '|'-separated alternatives of the type
// text, white space around each removed.
bool enumeration_allows(const char* type, const char* value) {
    size_t length = std::strlen(value);
    const char* p = type;
    for (;;) {
        const char* bar = std::strchr(p, '|');
        const char* stop = bar ? bar : p + std::strlen(p);
        const char* a = p;
        const char* b = stop;
        while (a < b && is_space(static_cast<unsigned char>(*a))) a++;
        while (b > a && is_space(static_cast<unsigned char>(b[-1]))) b--;
        if (static_cast<size_t>(b - a) == length && std::memcmp(a, value, length) == 0) return true;
        if (!bar) return false;
        p = bar + 1;
    }
}

verdict check_entities(validation& v, const char* element, const char* attribute, const char* value) {
    char message[220];
    token_reader tokens{value};
    const char* token;
    size_t length;
    while (tokens.next(&token, &length)) {
        if (length > 255) {
            format_message(message, 200, "ENTITY name too long in attribute '%s'", attribute);
            return invalid(v, message, element);
        }
        char name[256];
        std::memcpy(name, token, length);
        name[length] = '\0';
        quorvel_dtd_entity* entity = ttdtd_lookup_entity(v.dtd, name);
        if (!entity) {
            format_message(message, 200, "Attribute '%s' references undeclared entity '%s'", attribute, name);
            return invalid(v, message, element);
        }
        if (!entity->notation) {
            format_message(message, 200, "Attribute '%s' references parsed entity '%s' (must be unparsed / have NDATA)",
                           attribute, name);
            return invalid(v, message, element);
        }
        const char* notation = entity->notation;
        if (!*notation || !quorvel_hash_table_get(v.dtd->notations, notation, std::strlen(notation))) {
            format_message(message, 220, "Entity '%s' references undeclared notation '%s'", name, notation);
            return invalid(v, message, element);
        }
    }
    return verdict::valid;
}

verdict check_attributes(validation& v, quorvel_element* e, const char* element) {
    char message[200];
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (!a->name || !a->name_length) continue;
        quorvel_dtd_attribute_decl* decl = ttdtd_lookup_attribute(v.dtd, element, a->name);
        if (!decl || !decl->type) continue;
        const char* name = a->name;
        const char* type = decl->type;
        const char* value = quorvel_attribute_read_value(e, a);
        if (decl->default_kind == kDefaultFixed && decl->default_value) {
            char* owned;
            const char* fixed = declared_value(v.dtd, decl->default_value, &owned);
            bool differs = fixed && std::strcmp(fixed, value) != 0;
            std::free(owned);
            if (!fixed) return verdict::failed;
            if (differs) {
                format_message(message, 200, "Attribute '%s' has #FIXED value '%s' but document has '%s'", name,
                               decl->default_value, value);
                return invalid(v, message, element);
            }
        }
        if (std::strcmp(type, "ID") == 0) {
            size_t length = std::strlen(value);
            if (!length) continue;
            if (quorvel_hash_table_get(v.ids, value, length)) {
                format_message(message, 160, "Duplicate ID value '%s'", value);
                return invalid(v, message, element);
            }
            if (!quorvel_hash_table_set(v.ids, value, length, v.ids, v.pool)) return verdict::failed;
        } else if (std::strcmp(type, "NMTOKEN") == 0) {
            bool ok = *value != '\0';
            for (const char* p = value; ok && *p; p++) ok = nmtoken_byte(static_cast<unsigned char>(*p));
            if (!ok) {
                format_message(message, 180, "Attribute '%s' is not a valid NMTOKEN", name);
                return invalid(v, message, element);
            }
        } else if (std::strcmp(type, "NMTOKENS") == 0) {
            token_reader tokens{value};
            const char* token;
            size_t length;
            while (tokens.next(&token, &length)) {
                for (size_t i = 0; i < length; i++) {
                    if (nmtoken_byte(static_cast<unsigned char>(token[i]))) continue;
                    format_message(message, 180, "Attribute '%s' contains an invalid NMTOKENS token", name);
                    return invalid(v, message, element);
                }
            }
        } else if (std::strchr(type, '|')) {
            if (!enumeration_allows(type, value)) {
                format_message(message, 200, "Attribute '%s' value '%s' is not in enumerated type %s", name, value,
                               type);
                return invalid(v, message, element);
            }
        } else if (std::strcmp(type, "ENTITY") == 0 || std::strcmp(type, "ENTITIES") == 0) {
            verdict r = check_entities(v, element, name, value);
            if (r != verdict::valid) return r;
        }
    }
    return verdict::valid;
}

verdict first_pass(validation& v, quorvel_element* root) {
    for (quorvel_element* e = root; e; e = walk_next(e, root)) {
        const char* element = name_of(e);
        auto* decl = static_cast<quorvel_dtd_element_decl*>(
            quorvel_hash_table_get(v.dtd->elements, element, std::strlen(element)));
        verdict r = decl ? check_content(v, e, element, decl) : verdict::valid;
        if (r == verdict::valid) r = check_required(v, e, element);
        if (r == verdict::valid) r = check_attributes(v, e, element);
        if (r != verdict::valid) return r;
    }
    return verdict::valid;
}

verdict idref_pass(validation& v, quorvel_element* root) {
    char message[200];
    for (quorvel_element* e = root; e; e = walk_next(e, root)) {
        const char* element = name_of(e);
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            if (!a->name || !a->name_length) continue;
            quorvel_dtd_attribute_decl* decl = ttdtd_lookup_attribute(v.dtd, element, a->name);
            if (!decl || !decl->type) continue;
            if (std::strcmp(decl->type, "IDREF") == 0) {
                const char* value = quorvel_attribute_read_value(e, a);
                if (!quorvel_hash_table_get(v.ids, value, std::strlen(value))) {
                    format_message(message, 180, "IDREF '%s' does not resolve to any ID", value);
                    return invalid(v, message, element);
                }
            } else if (std::strcmp(decl->type, "IDREFS") == 0) {
                token_reader tokens{quorvel_attribute_read_value(e, a)};
                const char* token;
                size_t length;
                while (tokens.next(&token, &length)) {
                    if (quorvel_hash_table_get(v.ids, token, length)) continue;
                    format_message(message, 200, "IDREFS token '%.*s' does not resolve to any ID",
                                   static_cast<int>(length < 127 ? length : 127), token);
                    return invalid(v, message, element);
                }
            }
        }
    }
    return verdict::valid;
}

// ---- Attribute defaults ------------------------------------------------------------------

// Whether e already carries the attribute a default would add: by qualified
// name, by exactly the stored name (a prefix that is not bound still names
// the attribute), or, for "xmlns" and "xmlns:p", as a namespace declaration.
// bare: e had no attribute before its defaults, and the DTD declares each
// name once per element, so no added default can carry this one's name.
bool has_default_target(quorvel_element* e, const char* name, bool bare = false) {
    size_t length = std::strlen(name);
    if (!bare && quorvel_dom_attr_find(e, name, length)) return true;
    if (const char* colon = std::strchr(name, ':')) {
        size_t prefix_length = static_cast<size_t>(colon - name);
        const char* uri = prefix_length == 3 && std::memcmp(name, "xml", 3) == 0
                              ? kXmlNamespaceUri
                              : quorvel_element_lookup_namespace_n(e, name, prefix_length);
        if (uri && *uri && find_attr_expanded_len(e, uri, colon + 1, std::strlen(colon + 1))) return true;
    }
    if (length < 5 || std::memcmp(name, "xmlns", 5) != 0 || (length > 5 && (name[5] != ':' || length == 6)))
        return false;
    const char* wanted = length == 5 ? nullptr : name + 6;
    const char* prefix;
    const char* uri;
    for (size_t i = 0; element_namespace_decl_at(e, i, &prefix, &uri); i++) {
        bool is_default = !prefix || !*prefix;
        if (wanted ? !is_default && std::strcmp(prefix, wanted) == 0 : is_default) return true;
    }
    return false;
}

// A defaulted declaration with its element-name hash and its place on the
// DTD's list; its value is expanded on first use and kept for the walk.
struct default_slot {
    uint16_t hash;   // quorvel_name_hash16 of the element name
    uint32_t order;  // place on the DTD's list
    quorvel_dtd_attribute_decl* decl;
    bool ready;
    const char* value;  // NULL when memory ran out
    char* expanded;     // what value points into when it had references
    // Pool copies shared by every attribute this declaration adds: its
    // name, its value (when too long to be kept inline) and the prefix.
    const char* name;
    size_t name_length;
    uint16_t name_hash;
    const char* stored_value;
    size_t value_length;
    char* prefix;
};

// Makes the shared copies of a slot once its value is known. False when
// memory ran out.
bool share_slot(quorvel_pool* pool, default_slot& slot) {
    if (slot.name) return true;
    const char* name = slot.decl->attribute_name;
    slot.name_length = std::strlen(name);
    slot.value_length = std::strlen(slot.value);
    char* n = quorvel_pool_strndup(pool, name, slot.name_length);
    if (!n) return false;
    if (slot.value_length >= 8 && !(slot.stored_value = quorvel_pool_strndup(pool, slot.value, slot.value_length)))
        return false;
    if (const char* colon = std::strchr(name, ':')) {
        if (!(slot.prefix = quorvel_pool_strndup(pool, name, static_cast<size_t>(colon - name)))) return false;
    }
    slot.name_hash = quorvel_attribute_hash15(name, slot.name_length);
    slot.name = n;
    return true;
}

// Appends a default to e after *last (NULL: e has no attribute yet): a
// fresh record in the document's pool that shares the slot's copies, so
// each default costs one record (and a namespace record for a prefixed
// name), whatever the number of elements. False when it could not be linked.
bool append_default(quorvel_document* doc, quorvel_element* e, quorvel_attribute** last, const default_slot& slot) {
    auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attribute)));
    if (!a) return false;
    std::memset(static_cast<void*>(a), 0, sizeof *a);
    a->name = const_cast<char*>(slot.name);
    a->name_length = slot.name_length;
    a->hash = slot.name_hash;
    if (slot.value_length < 8) {
        std::memcpy(a->inline_value, slot.value, slot.value_length + 1);
        a->value_length = slot.value_length | kAttrInlineValue;
    } else {
        a->value = const_cast<char*>(slot.stored_value);
        a->value_length = slot.value_length;
    }
    if (slot.prefix) {
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attr_ns)));
        if (!ns) return false;
        std::memset(static_cast<void*>(ns), 0, sizeof *ns);
        ns->prefix = slot.prefix;
        ns->owner = e;
        if (!tree_link_write(a, &a->ns, ns, doc)) return false;
    }
    bool linked = *last ? quorvel_link16_set_inline(*last, &(*last)->next, a, doc)
                        : tree_link_write(e, &e->first_attr, a, doc);
    if (!linked) return false;
    quorvel_element_attr_count_inc(e);
    *last = a;
    return true;
}

void apply_default(quorvel_element* e, const quorvel_dtd_attribute_decl* decl, const char* value) {
    if (!value || has_default_target(e, decl->attribute_name)) return;
    (void)quorvel_element_set_attribute(e, decl->attribute_name, value);
}

inline bool applies(const quorvel_dtd_attribute_decl* decl, const char* element) {
    return decl->element_name && decl->attribute_name && decl->default_value &&
           std::strcmp(decl->element_name, element) == 0;
}

}  // namespace

void quorvel_dtd_apply_attribute_defaults(quorvel_document* doc) {
    if (!doc || !doc->dtd) return;
    quorvel_dtd* dtd = doc->dtd;
    quorvel_element* root = quorvel_document_root(doc);
    if (!root || !dtd->defaulted || dtd->defaulted_count == 0) return;
    size_t count = dtd->defaulted_count;

    // The declarations sorted by element-name hash, list order kept within
    // a hash, so each element finds its own in a binary search. Without
    // memory for it every element scans the whole list instead.
    auto* slots = static_cast<default_slot*>(std::calloc(count, sizeof(default_slot)));
    if (slots) {
        for (size_t i = 0; i < count; i++) {
            const char* name = dtd->defaulted[i]->element_name;
            slots[i].hash = name ? quorvel_name_hash16(name, std::strlen(name)) : 0;
            slots[i].order = static_cast<uint32_t>(i);
            slots[i].decl = dtd->defaulted[i];
        }
        std::qsort(slots, count, sizeof *slots, [](const void* x, const void* y) {
            auto* a = static_cast<const default_slot*>(x);
            auto* b = static_cast<const default_slot*>(y);
            if (a->hash != b->hash) return a->hash < b->hash ? -1 : 1;
            return a->order < b->order ? -1 : a->order > b->order ? 1 : 0;
        });
    }

    for (quorvel_element* e = root; e; e = walk_next(e, root)) {
        const char* name = quorvel_element_get_name(e);
        if (!name) continue;
        if (!slots) {
            for (size_t i = 0; i < count; i++) {
                const quorvel_dtd_attribute_decl* decl = dtd->defaulted[i];
                if (!applies(decl, name)) continue;
                char* owned;
                apply_default(e, decl, declared_value(dtd, decl->default_value, &owned));
                std::free(owned);
            }
            continue;
        }
        uint16_t hash = quorvel_name_hash16(name, std::strlen(name));
        size_t lo = 0, hi = count;
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            if (slots[mid].hash < hash)
                lo = mid + 1;
            else
                hi = mid;
        }
        // Defaults go on the end of e's chain, found once per element; an
        // element the attribute index already holds takes the general road,
        // which keeps the index right.
        bool direct = !doc->attribute_index && !(e->eflags & kElemAttrIndexed);
        quorvel_attribute* last = nullptr;
        bool last_found = false;
        const bool bare = direct && !quorvel_elem_first_attr(e);
        bool added = false;
        for (size_t i = lo; i < count && slots[i].hash == hash; i++) {
            default_slot& slot = slots[i];
            if (!applies(slot.decl, name)) continue;
            if (!slot.ready) {
                slot.value = declared_value(dtd, slot.decl->default_value, &slot.expanded);
                slot.ready = true;
            }
            if (!direct || !share_slot(doc->pool, slot)) {
                apply_default(e, slot.decl, slot.value);
                last_found = false;
                continue;
            }
            if (!slot.value || has_default_target(e, slot.decl->attribute_name, bare)) continue;
            if (!last_found) {
                last = nullptr;
                for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) last = a;
                last_found = true;
            }
            if (append_default(doc, e, &last, slot))
                added = true;
            else
                last_found = false;
        }
        if (added) e->head.flags += kModStep;
    }
    // The chains grew behind the document's caches of them.
    doc->last_attr_element = nullptr;
    doc->last_attr = nullptr;
    quorvel_document_drop_element_index(doc);
    if (slots) {
        for (size_t i = 0; i < count; i++) std::free(slots[i].expanded);
        std::free(slots);
    }
}

extern "C" {

QUORVEL_API int quorvel_dtd_validate(quorvel_document* doc, quorvel_dtd* dtd, quorvel_dtd_error* error) {
    if (!doc || !dtd) {
        set_error(error, "NULL document or DTD passed to quorvel_dtd_validate", nullptr);
        return -1;
    }
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) return 1;
    validation v(dtd, error);
    // The ID table lives in a pool of this call, so repeated validations
    // against one DTD leave nothing behind.
    v.pool = quorvel_pool_create_with_page_size(4096);
    v.ids = v.pool ? quorvel_hash_table_create(v.pool, 16) : nullptr;
    if (!v.ids) {
        set_error(error, "Failed to allocate ID table", nullptr);
        return -1;
    }
    build_required_index(v);
    verdict r = first_pass(v, root);
    if (r == verdict::valid) r = idref_pass(v, root);
    if (r == verdict::failed) {
        set_error(error, "Failed to allocate ID table", nullptr);
        return -1;
    }
    return r == verdict::valid ? 1 : 0;
}

}  // extern "C"
