// XPath values: result records and node sets with their per-thread free
// lists, synthetic nodes and carriers, string values and the conversions.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath/xpath.h"

const quorvel_xpath_family xq_family_table[15] = {
    {"xs:dateTime", 'T'},  {"xs:date", 'E'},         {"xs:time", 't'},         {"xs:gYear", 'Y'},
    {"xs:gYearMonth", 'J'}, {"xs:gMonthDay", 'K'},    {"xs:gDay", 'Q'},         {"xs:gMonth", 'H'},
    {"xs:hexBinary", 'X'}, {"xs:base64Binary", 'W'}, {"xs:QName", 'Z'},        {"xs:duration", 'd'},
    {"xs:yearMonthDuration", 'd'}, {"xs:dayTimeDuration", 'd'}, {"xs:untypedAtomic", 'U'},
};

namespace {

char* copy_bytes(const char* s, size_t n) {
    char* out = static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    if (n) std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

char* copy_cstr(const char* s) { return s ? copy_bytes(s, std::strlen(s)) : copy_bytes("", 0); }

bool is_item(const quorvel_node* node) { return reinterpret_cast<uintptr_t>(node) > kXpathLowestItem; }

const quorvel_xpath_carrier* as_carrier(const quorvel_node* node) {
    if (!is_item(node) || node->kind != kXpathCarrierNode) return nullptr;
    return reinterpret_cast<const quorvel_xpath_carrier*>(node);
}

}  // namespace

// ---- Results ------------------------------------------------------------------------------

quorvel_xpath_result* xpath_result_new(int32_t kind) {
    quorvel_xpath_result* r = static_cast<quorvel_xpath_result*>(g_xpath_tls.result_free);
    if (r) {
        g_xpath_tls.result_free = r->value.free_link;
        g_xpath_tls.result_free_count--;
    } else {
        r = static_cast<quorvel_xpath_result*>(std::malloc(sizeof(quorvel_xpath_result)));
        if (!r) return nullptr;
        r->exact_integer = 0;
    }
    r->kind = kind;
    if (kind == XPATH_NUMBER)
        r->value.number = 0.0;
    else if (kind == XPATH_BOOLEAN)
        r->value.boolean = 0;
    else
        r->value.free_link = nullptr;
    r->exact_integer_set = 0;
    r->type_name = nullptr;
    r->typed_number = 0;
    r->cached_string = nullptr;
    return r;
}

void xpath_result_free(quorvel_xpath_result* r) {
    if (!r || r->kind == XPATH_FREED) return;
    std::free(r->cached_string);
    r->cached_string = nullptr;
    if (r->kind == XPATH_NODESET)
        xpath_nodeset_free(r->value.nodeset);
    else if (r->kind == XPATH_STRING)
        std::free(r->value.string);
    if (g_xpath_tls.result_free_count < kXpathMaxFreeResults) {
        r->kind = XPATH_FREED;
        r->value.free_link = g_xpath_tls.result_free;
        g_xpath_tls.result_free = r;
        g_xpath_tls.result_free_count++;
    } else {
        std::free(r);
    }
}

extern "C" QUORVEL_API void quorvel_xpath_result_free(quorvel_xpath_result* result) { xpath_result_free(result); }

// ---- Node sets -------------------------------------------------------------------------------

quorvel_xpath_node_set* xpath_nodeset_new() {
    quorvel_xpath_node_set* s = static_cast<quorvel_xpath_node_set*>(g_xpath_tls.nodeset_free);
    if (s) {
        g_xpath_tls.nodeset_free = s->inline_items[0];
        g_xpath_tls.nodeset_free_count--;
        s->inline_items[0] = nullptr;
    } else {
        s = static_cast<quorvel_xpath_node_set*>(std::calloc(1, sizeof(quorvel_xpath_node_set)));
        if (!s) return nullptr;
    }
    s->items = s->inline_items;
    s->count = 0;
    s->capacity = kXpathInlineSlots;
    s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 0;
    return s;
}

namespace {
void nodeset_recycle(quorvel_xpath_node_set* s) {
    if (g_xpath_tls.nodeset_free_count < kXpathMaxFreeNodesets) {
        s->items = nullptr;
        s->count = s->capacity = 0;
        s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 0;
        s->inline_items[0] = static_cast<quorvel_node*>(g_xpath_tls.nodeset_free);
        g_xpath_tls.nodeset_free = s;
        g_xpath_tls.nodeset_free_count++;
    } else {
        std::free(s);
    }
}
}  // namespace

quorvel_xpath_node_set* xpath_nodeset_new_with_capacity(size_t n) {
    quorvel_xpath_node_set* s = xpath_nodeset_new();
    if (!s || n <= kXpathInlineSlots) return s;
    if (n > SIZE_MAX / sizeof(quorvel_node*)) {
        nodeset_recycle(s);
        return nullptr;
    }
    quorvel_node** items = static_cast<quorvel_node**>(std::calloc(n, sizeof(quorvel_node*)));
    if (!items) {
        nodeset_recycle(s);
        return nullptr;
    }
    s->items = items;
    s->capacity = n;
    return s;
}

namespace {
bool nodeset_grow(quorvel_xpath_node_set* s, size_t capacity) {
    quorvel_node** items;
    if (s->items == s->inline_items) {
        items = static_cast<quorvel_node**>(std::malloc(capacity * sizeof(quorvel_node*)));
        if (!items) return false;
        std::memcpy(items, s->inline_items, s->count * sizeof(quorvel_node*));
    } else {
        items = static_cast<quorvel_node**>(std::realloc(s->items, capacity * sizeof(quorvel_node*)));
        if (!items) return false;
    }
    s->items = items;
    s->capacity = capacity;
    return true;
}
}  // namespace

quorvel_xpath_node_set* xpath_nodeset_add(quorvel_xpath_node_set* s, quorvel_node* node) {
    if (!s || !is_item(node)) return s;
    if (s->capacity < s->count || s->capacity > kXpathMaxNodesetCapacity) return s;
    if (s->count == s->capacity) {
        size_t capacity = s->count ? s->count * 2 : 4;
        if (capacity > kXpathMaxNodesetCapacity) return s;
        if (!nodeset_grow(s, capacity)) return nullptr;
    }
    s->items[s->count++] = node;
    return s;
}

int xpath_nodeset_add_fast(quorvel_xpath_node_set* s, quorvel_node* node) {
    if (s->count == s->capacity) {
        size_t capacity = s->capacity ? s->capacity * 2 : 16;
        if (capacity > SIZE_MAX / sizeof(quorvel_node*) || !nodeset_grow(s, capacity)) return 0;
    }
    s->items[s->count++] = node;
    return 1;
}

namespace {
void free_attribute(quorvel_xpath_attribute_node* a) {
    // A record made in one block holds its texts right after itself. A
    // text malloc'd apart never starts there: malloc aligns to 16 bytes,
    // the end of the 40-byte record is not so aligned.
    static_assert(sizeof(quorvel_xpath_attribute_node) % 16 == 8);
    if (a->name != reinterpret_cast<char*>(a + 1)) {
        std::free(a->name);
        std::free(a->value);
        std::free(a->namespace_uri);
    }
    std::free(a);
}
void free_namespace(quorvel_xpath_namespace_node* n) {
    std::free(n->prefix);
    std::free(n->uri);
    std::free(n);
}
void free_carrier(quorvel_xpath_carrier* c) {
    if (c->ref_kind == XPATH_REF_FUNCTION) xpath_tree_release(c->ref.function.tree);
    if (c->ref_kind == XPATH_REF_MAP) xpath_map_value_release(c->ref.map);
    std::free(c->text);
    std::free(c);
}
}  // namespace

void xpath_nodeset_dispose_node(quorvel_node* node) {
    if (!is_item(node)) return;
    switch (node->kind) {
    case kXpathAttributeNode:
        free_attribute(reinterpret_cast<quorvel_xpath_attribute_node*>(node));
        break;
    case kXpathNamespaceNode:
        free_namespace(reinterpret_cast<quorvel_xpath_namespace_node*>(node));
        break;
    case kXpathCarrierNode:
        free_carrier(reinterpret_cast<quorvel_xpath_carrier*>(node));
        break;
    default:
        break;
    }
}

void xpath_nodeset_free(quorvel_xpath_node_set* s) {
    if (!s) return;
    if (s->owns_attributes || s->owns_namespaces || s->owns_carriers) {
        for (size_t i = 0; i < s->count; i++) {
            quorvel_node* n = s->items[i];
            if (!is_item(n)) continue;
            if ((n->kind == kXpathAttributeNode && s->owns_attributes) ||
                (n->kind == kXpathNamespaceNode && s->owns_namespaces) ||
                (n->kind == kXpathCarrierNode && s->owns_carriers))
                xpath_nodeset_dispose_node(n);
        }
    }
    if (s->items != s->inline_items) std::free(s->items);
    nodeset_recycle(s);
}

// ---- Carriers --------------------------------------------------------------------------------

namespace {
quorvel_xpath_carrier* carrier_new(const char* bytes, size_t length) {
    auto* c = static_cast<quorvel_xpath_carrier*>(std::calloc(1, sizeof(quorvel_xpath_carrier)));
    if (!c) return nullptr;
    c->kind = kXpathCarrierNode;
    c->text = copy_bytes(bytes ? bytes : "", bytes ? length : 0);
    if (!c->text) {
        std::free(c);
        return nullptr;
    }
    c->length = bytes ? length : 0;
    return c;
}
}  // namespace

quorvel_node* xpath_synth_text(const char* bytes, size_t length) {
    return reinterpret_cast<quorvel_node*>(carrier_new(bytes, length));
}

quorvel_node* xpath_carrier_node_ref(quorvel_node* element) {
    if (!is_item(element)) return nullptr;
    static constexpr char kText[] = {kXpathTagMark, kXpathTagNodeRef};
    quorvel_xpath_carrier* c = carrier_new(kText, sizeof kText);
    if (!c) return nullptr;
    c->ref_kind = XPATH_REF_NODE;
    c->ref.node = element;
    return reinterpret_cast<quorvel_node*>(c);
}

quorvel_node* xpath_carrier_function(const char* params, size_t params_length, quorvel_xpath_tree* tree,
                                     const quorvel_xpath_ast_node* body) {
    if (!tree || !body) return nullptr;
    size_t n = params_length + 5;
    char* text = static_cast<char*>(std::malloc(n));
    if (!text) return nullptr;
    text[0] = kXpathTagMark;
    text[1] = 'F';
    text[2] = 'N';
    text[3] = '\x02';
    if (params_length) std::memcpy(text + 4, params, params_length);
    text[n - 1] = '\x02';
    quorvel_xpath_carrier* c = carrier_new(text, n);
    std::free(text);
    if (!c) return nullptr;
    c->ref_kind = XPATH_REF_FUNCTION;
    xpath_tree_retain(tree);
    c->ref.function.tree = tree;
    c->ref.function.body = body;
    return reinterpret_cast<quorvel_node*>(c);
}

quorvel_node* xpath_carrier_referenced_node(const quorvel_node* node) {
    const quorvel_xpath_carrier* c = as_carrier(node);
    return c && c->ref_kind == XPATH_REF_NODE ? c->ref.node : nullptr;
}

const quorvel_xpath_function_ref* xpath_carrier_function_ref(const quorvel_node* node) {
    const quorvel_xpath_carrier* c = as_carrier(node);
    return c && c->ref_kind == XPATH_REF_FUNCTION ? &c->ref.function : nullptr;
}

namespace {
// A duplicate of one synthetic node; NULL when memory runs out.
}  // namespace

quorvel_node* xpath_synthetic_duplicate(const quorvel_node* node) {
    switch (node->kind) {
    case kXpathAttributeNode: {
        auto* src = reinterpret_cast<const quorvel_xpath_attribute_node*>(node);
        auto* a = static_cast<quorvel_xpath_attribute_node*>(std::calloc(1, sizeof(quorvel_xpath_attribute_node)));
        if (!a) return nullptr;
        a->kind = kXpathAttributeNode;
        a->owner = src->owner;
        a->name = copy_cstr(src->name);
        a->value = copy_cstr(src->value);
        a->namespace_uri = src->namespace_uri ? copy_cstr(src->namespace_uri) : nullptr;
        if (!a->name || !a->value || (src->namespace_uri && !a->namespace_uri)) {
            free_attribute(a);
            return nullptr;
        }
        return reinterpret_cast<quorvel_node*>(a);
    }
    case kXpathNamespaceNode: {
        auto* src = reinterpret_cast<const quorvel_xpath_namespace_node*>(node);
        auto* n = static_cast<quorvel_xpath_namespace_node*>(std::calloc(1, sizeof(quorvel_xpath_namespace_node)));
        if (!n) return nullptr;
        n->kind = kXpathNamespaceNode;
        n->parent = src->parent;
        n->prefix = copy_cstr(src->prefix);
        n->uri = copy_cstr(src->uri);
        if (!n->prefix || !n->uri) {
            free_namespace(n);
            return nullptr;
        }
        return reinterpret_cast<quorvel_node*>(n);
    }
    default: {
        auto* src = reinterpret_cast<const quorvel_xpath_carrier*>(node);
        quorvel_xpath_carrier* c = carrier_new(src->text ? src->text : "", src->text ? src->length : 0);
        if (!c) return nullptr;
        c->ref_kind = src->ref_kind;
        c->ref = src->ref;
        if (c->ref_kind == XPATH_REF_FUNCTION) xpath_tree_retain(c->ref.function.tree);
        if (c->ref_kind == XPATH_REF_MAP) xpath_map_value_retain(c->ref.map);
        return reinterpret_cast<quorvel_node*>(c);
    }
    }
}

quorvel_xpath_node_set* xpath_nodeset_deep_copy(const quorvel_xpath_node_set* src) {
    if (!src) return nullptr;
    quorvel_xpath_node_set* copy = xpath_nodeset_new_with_capacity(src->count);
    if (!copy) return nullptr;
    // The copy owns exactly the kinds it duplicated, so nothing it merely
    // shares is ever freed through it.
    copy->owns_attributes = src->owns_attributes;
    copy->owns_namespaces = src->owns_namespaces;
    copy->owns_carriers = src->owns_carriers;
    copy->is_sequence = src->is_sequence;
    for (size_t i = 0; i < src->count; i++) {
        quorvel_node* n = src->items[i];
        if (!is_item(n)) continue;
        bool owned = (n->kind == kXpathAttributeNode && src->owns_attributes) ||
                     (n->kind == kXpathNamespaceNode && src->owns_namespaces) ||
                     (n->kind == kXpathCarrierNode && src->owns_carriers);
        if (owned) {
            quorvel_node* dup = xpath_synthetic_duplicate(n);
            if (!dup) continue;
            if (!xpath_nodeset_add(copy, dup) || copy->count == 0 || copy->items[copy->count - 1] != dup)
                xpath_nodeset_dispose_node(dup);
        } else {
            xpath_nodeset_add(copy, n);
        }
    }
    return copy;
}

void all_nodes_preorder(quorvel_xpath_node_set* set, quorvel_node* node) {
    if (!set || !is_item(node)) return;
    quorvel_node* child = quorvel_node_first_child(node);
    if (node->kind != QUORVEL_NODE_ELEMENT && node->kind != QUORVEL_NODE_DOCUMENT) return;
    // Pre-order without recursion: descend into children, then climb back
    // through parents until a next sibling turns up.
    quorvel_node* n = child;
    while (n) {
        if (!xpath_nodeset_add_fast(set, n)) return;
        quorvel_node* down = n->kind == QUORVEL_NODE_ELEMENT ? quorvel_node_first_child(n) : nullptr;
        if (down) {
            n = down;
            continue;
        }
        while (n) {
            quorvel_node* next = quorvel_node_next_sibling(n);
            if (next) {
                n = next;
                break;
            }
            quorvel_node* up = reinterpret_cast<quorvel_node*>(quorvel_node_parent(n));
            if (!up || up == node) {
                n = nullptr;
                break;
            }
            n = up;
        }
    }
}

// ---- String values ---------------------------------------------------------------------------------

namespace {
char* document_node_text(const quorvel_node* docnode) {
    size_t total = 0;
    for (quorvel_node* n = quorvel_node_first_child(docnode); n; n = quorvel_node_next_sibling(n)) {
        const char* t = n->kind == QUORVEL_NODE_TEXT    ? quorvel_text_node_get_content(n)
                        : n->kind == QUORVEL_NODE_CDATA ? quorvel_cdata_node_get_content(n)
                                                        : nullptr;
        if (t) total += std::strlen(t);
    }
    if (total == 0) return quorvel_element_get_text_content(docnode);
    char* out = static_cast<char*>(std::malloc(total + 1));
    if (!out) return nullptr;
    size_t at = 0;
    for (quorvel_node* n = quorvel_node_first_child(docnode); n; n = quorvel_node_next_sibling(n)) {
        const char* t = n->kind == QUORVEL_NODE_TEXT    ? quorvel_text_node_get_content(n)
                        : n->kind == QUORVEL_NODE_CDATA ? quorvel_cdata_node_get_content(n)
                                                        : nullptr;
        if (!t) continue;
        size_t k = std::strlen(t);
        std::memcpy(out + at, t, k);
        at += k;
    }
    out[at] = '\0';
    return out;
}

char* carrier_text(const quorvel_xpath_carrier* c) {
    const char* t = c->text;
    size_t n = c->length;
    if (!t) return copy_bytes("", 0);
    if (n < 2 || t[0] != kXpathTagMark) return copy_bytes(t, n);
    char tag = t[1];
    switch (tag) {
    case kXpathTagAttribute: {
        const void* sep = std::memchr(t + 2, '\x01', n - 2);
        if (!sep) return copy_bytes("", 0);
        const char* v = static_cast<const char*>(sep) + 1;
        return copy_bytes(v, static_cast<size_t>(t + n - v));
    }
    case kXpathTagBoolean:
        return copy_cstr(n > 2 && t[2] == 't' ? "true" : "false");
    case kXpathTagInteger:
    case kXpathTagDecimal:
    case kXpathTagDouble:
        return copy_bytes(t + 2, n - 2);
    case kXpathTagFloat:
        if ((n > 2 && t[2] == 'R') || (n > 3 && t[2] == 'N' && t[3] == '\x02')) return copy_bytes(t, n);
        return copy_bytes(t + 2, n - 2);
    case kXpathTagNodeRef:
        if (c->ref_kind == XPATH_REF_NODE) return get_node_text(c->ref.node);
        return copy_bytes(t, n);
    case 'Z':
        return copy_cstr(xpath_qname_lexical(t + 2));
    default:
        if (std::strchr("ETtYJKQHXWZdOU", tag) && tag != '\0') return copy_bytes(t + 2, n - 2);
        return copy_bytes(t, n);
    }
}
}  // namespace

char* get_node_text(const quorvel_node* node) {
    if (!is_item(node)) return copy_bytes("", 0);
    switch (node->kind) {
    case QUORVEL_NODE_ELEMENT:
        return quorvel_element_get_text_content(node);
    case QUORVEL_NODE_TEXT:
        return copy_cstr(quorvel_text_node_get_content(node));
    case QUORVEL_NODE_COMMENT:
        return copy_cstr(quorvel_comment_node_get_content(node));
    case QUORVEL_NODE_CDATA:
        return copy_cstr(quorvel_cdata_node_get_content(node));
    case QUORVEL_NODE_PI:
        return copy_cstr(quorvel_pi_node_get_data(node));
    case kXpathAttributeNode:
        return copy_cstr(reinterpret_cast<const quorvel_xpath_attribute_node*>(node)->value);
    case kXpathNamespaceNode:
        return copy_cstr(reinterpret_cast<const quorvel_xpath_namespace_node*>(node)->uri);
    case kXpathCarrierNode:
        return carrier_text(reinterpret_cast<const quorvel_xpath_carrier*>(node));
    case QUORVEL_NODE_DOCUMENT:
        return document_node_text(node);
    default:
        return copy_bytes("", 0);
    }
}

// ---- Conversions -------------------------------------------------------------------------------------

char* xpath_to_string(const quorvel_xpath_result* r) {
    if (!r) return copy_bytes("", 0);
    switch (r->kind) {
    case XPATH_NUMBER:
        // An exact text kept beside the double (decimals) is the value.
        if (r->cached_string) return copy_cstr(r->cached_string);
        if (r->exact_integer_set) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(r->exact_integer));
            return copy_cstr(buf);
        }
        // Decimals and integers past 64 bits keep their exact digits here.
        if (r->cached_string) return copy_cstr(r->cached_string);
        if (r->typed_number)
            return xpath_number_to_string_xq_typed(nullptr, r->type_name && !std::strcmp(r->type_name, "xs:float"),
                                                   r->value.number);
        return xpath_number_to_string(r->value.number);
    case XPATH_BOOLEAN:
        return copy_cstr(r->value.boolean ? "true" : "false");
    case XPATH_STRING:
        if (r->type_name && r->value.string && !std::strcmp(r->type_name, "xs:QName"))
            return copy_cstr(xpath_qname_lexical(r->value.string));
        return copy_cstr(r->value.string);
    case XPATH_NODESET: {
        const quorvel_xpath_node_set* s = r->value.nodeset;
        if (!s) return copy_bytes("", 0);
        for (size_t i = 0; i < s->count; i++)
            if (is_item(s->items[i])) return get_node_text(s->items[i]);
        return copy_bytes("", 0);
    }
    default:
        return copy_bytes("", 0);
    }
}

double xpath_string_to_number(const char* text) {
    if (!text) return NAN;
    const char* p = text;
    while (*p && std::isspace(static_cast<unsigned char>(*p))) p++;
    if (!*p) return NAN;
    char* end = nullptr;
    double v = std::strtod(p, &end);
    if (end == p) return NAN;
    while (*end && std::isspace(static_cast<unsigned char>(*end))) end++;
    return *end ? NAN : v;
}

double xpath_to_number(const quorvel_xpath_result* r) {
    if (!r) return NAN;
    switch (r->kind) {
    case XPATH_BOOLEAN:
        return r->value.boolean ? 1.0 : 0.0;
    case XPATH_NUMBER:
        return r->value.number;
    case XPATH_STRING:
        return r->value.string ? xpath_string_to_number(r->value.string) : NAN;
    case XPATH_NODESET: {
        const quorvel_xpath_node_set* s = r->value.nodeset;
        if (!s || s->count == 0) return NAN;
        char* t = xpath_to_string(r);
        double v = xpath_string_to_number(t);
        std::free(t);
        return v;
    }
    default:
        return NAN;
    }
}

int xpath_to_boolean(const quorvel_xpath_result* r) {
    if (!r) return 0;
    switch (r->kind) {
    case XPATH_BOOLEAN:
        return r->value.boolean ? 1 : 0;
    case XPATH_NUMBER:
        return !(r->value.number == 0.0 || std::isnan(r->value.number));
    case XPATH_STRING:
        return r->value.string && r->value.string[0];
    case XPATH_NODESET:
        break;
    default:
        return 0;
    }
    const quorvel_xpath_node_set* s = r->value.nodeset;
    if (!s || s->count == 0) return 0;
    if (s->count >= 2) return 1;
    const quorvel_xpath_carrier* c = as_carrier(s->items[0]);
    if (c && c->text && c->length >= 1 && c->text[0] == kXpathTagMark) {
        char tag = c->length >= 2 ? c->text[1] : '\0';
        if (tag == kXpathTagBoolean) return c->length > 2 && c->text[2] == 't';
        if (tag == kXpathTagInteger || tag == kXpathTagDouble || tag == kXpathTagDecimal || tag == kXpathTagFloat) {
            double v = std::strtod(c->text + 2, nullptr);
            return !(v == 0.0 || std::isnan(v));
        }
        return 1;
    }
    if (s->is_sequence && c) return c->text && c->text[0] ? 1 : 0;
    return 1;
}

int xpath_result_is_float(const quorvel_xpath_result* r) {
    if (!r) return 0;
    if (r->kind == XPATH_NODESET) {
        const quorvel_xpath_node_set* s = r->value.nodeset;
        if (!s || s->count != 1) return 0;
        const quorvel_xpath_carrier* c = as_carrier(s->items[0]);
        return c && c->text && c->length >= 2 && c->text[0] == kXpathTagMark && c->text[1] == kXpathTagFloat;
    }
    return r->type_name && !std::strcmp(r->type_name, "xs:float");
}

// ---- Number printing ------------------------------------------------------------------------------------

namespace {
// Drops trailing zeros after a point, then the point itself.
void trim_fraction(char* s) {
    if (!std::strchr(s, '.')) return;
    size_t n = std::strlen(s);
    while (n > 0 && s[n - 1] == '0') s[--n] = '\0';
    if (n > 0 && s[n - 1] == '.') s[--n] = '\0';
}

constexpr double kTwoTo53 = 9007199254740992.0;
}  // namespace

void xpath_format_number(double x, char* out) {
    if (std::isnan(x)) {
        std::strcpy(out, "NaN");
        return;
    }
    if (std::isinf(x)) {
        std::strcpy(out, x > 0 ? "Infinity" : "-Infinity");
        return;
    }
    if (x == 0.0) {
        std::strcpy(out, "0");
        return;
    }
    // Whole numbers that a double holds exactly print as plain digits.
    if (std::fabs(x) < kTwoTo53 && x == std::trunc(x)) {
        std::snprintf(out, 64, "%lld", static_cast<long long>(x));
        return;
    }
    double ax = std::fabs(x);
    if (ax > 1e9 || ax < 1e-5) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%21.14e", x);
        const char* p = buf;
        while (*p == ' ') p++;
        const char* e = std::strchr(p, 'e');
        size_t mant = e ? static_cast<size_t>(e - p) : std::strlen(p);
        char m[64];
        std::memcpy(m, p, mant);
        m[mant] = '\0';
        trim_fraction(m);
        size_t mn = std::strlen(m), en = e ? std::strlen(e) : 0;
        if (mn + en + 1 > 64) en = 64 - 1 - mn;
        std::memcpy(out, m, mn);
        if (en) std::memcpy(out + mn, e, en);
        out[mn + en] = '\0';
        return;
    }
    int k = static_cast<int>(std::log10(ax));
    int precision = k <= 0 ? 15 - k : 14 - k;
    std::snprintf(out, 64, "%0.*f", precision, x);
    trim_fraction(out);
}

char* xpath_number_to_string(double value) {
    char buf[64];
    xpath_format_number(value, buf);
    return copy_cstr(buf);
}

void xpath_format_number_canonical(double x, int as_float, char* out) {
    if (as_float) x = static_cast<double>(static_cast<float>(x));
    if (std::isnan(x)) {
        std::strcpy(out, "NaN");
        return;
    }
    if (std::isinf(x)) {
        std::strcpy(out, x > 0 ? "INF" : "-INF");
        return;
    }
    if (x == 0.0) {
        std::strcpy(out, std::signbit(x) ? "-0" : "0");
        return;
    }
    if (x > -1e18 && x < 1e18 && x == std::trunc(x)) {
        std::snprintf(out, 64, "%lld", static_cast<long long>(x));
        return;
    }
    // Shortest precision that reads back as the same value.
    char text[64];
    int p = 1;
    for (; p <= 17; p++) {
        std::snprintf(text, sizeof text, "%.*e", p, x);
        double back = std::strtod(text, nullptr);
        if (as_float) back = static_cast<double>(static_cast<float>(back));
        if (back == x) break;
    }
    double ax = std::fabs(x);
    if (ax >= 1e-18 && ax <= 1e18) {
        if (p > 17) p = 18;
        const char* e = std::strchr(text, 'e');
        int exponent = e ? std::atoi(e + 1) : 0;
        int decimals = p - exponent;
        if (decimals < 0) decimals = 0;
        if (decimals > 40) decimals = 40;
        // At most 19 digits, a sign, a point and 40 decimals: it fits.
        std::snprintf(out, 64, "%.*f", decimals, x);
        trim_fraction(out);
        return;
    }
    const char* e = std::strchr(text, 'e');
    size_t mant = e ? static_cast<size_t>(e - text) : std::strlen(text);
    char m[64];
    std::memcpy(m, text, mant);
    m[mant] = '\0';
    trim_fraction(m);
    const char* exp = e ? e + 1 : "0";
    if (*exp == '+') exp++;
    size_t mn = std::strlen(m), en = std::strlen(exp);
    if (mn + en + 2 > 64) en = 64 - 2 - mn;
    std::memcpy(out, m, mn);
    out[mn] = 'E';
    std::memcpy(out + mn + 1, exp, en);
    out[mn + 1 + en] = '\0';
}

char* xpath_number_to_string_xq_typed(void*, int as_float, double value) {
    char buf[64];
    xpath_format_number_canonical(value, as_float, buf);
    return copy_cstr(buf);
}
