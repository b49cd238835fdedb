// Functions that describe nodes: node-name, has-children, nilled, path,
// innermost, outermost, base-uri, document-uri and static-base-uri, and
// snapshot, which copies nodes into a tree of their own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

using text_buffer = fn_text;

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

// The node argument of the functions taking node()?: the context item
// without an argument. False (reported) on failure; *node NULL for ().
bool node_argument(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, const char* function,
                   const quorvel_node** node) {
    *node = nullptr;
    if (count == 0) {
        const quorvel_node* n = c->node;
        if (!is_item(n)) {
            xpath_context_fail_code(c, "XPDY0002", "%s(): there is no context item", function);
            return false;
        }
        if (n->kind == kXpathCarrierNode) {
            const quorvel_node* ref = xpath_carrier_referenced_node(n);
            if (!ref) {
                xpath_context_fail_code(c, "XPTY0004", "%s(): the context item is not a node", function);
                return false;
            }
            n = ref;
        }
        // Callers release what they get; a synthetic context item belongs
        // to the sequence being iterated, so they get a copy of it too.
        if (is_synthetic(n)) {
            quorvel_node* copy = xpath_synthetic_duplicate(n);
            if (!copy) return oom(c) != nullptr;
            n = copy;
        }
        *node = n;
        return true;
    }
    if (!args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return false;
    }
    result* r = evaluate_expr(c, args[0]);
    if (!r) return false;
    const quorvel_node* found = nullptr;
    size_t n = 0;
    bool atomic = r->kind != XPATH_NODESET;
    for (size_t i = 0; !atomic && r->value.nodeset && i < r->value.nodeset->count; i++) {
        const quorvel_node* item = r->value.nodeset->items[i];
        if (!is_item(item)) continue;
        if (item->kind == kXpathCarrierNode) {
            item = xpath_carrier_referenced_node(item);
            if (!item) atomic = true;
        }
        if (!n) found = item;
        n++;
    }
    // Synthetic records die with the result: callers only read them while
    // r lives, so r is parked in the context's scratch slot below.
    if (atomic || n > 1) {
        xpath_result_free(r);
        xpath_context_fail_code(c, "XPTY0004", "%s() takes at most one node", function);
        return false;
    }
    if (found && is_synthetic(found)) {
        // Keep the attribute or namespace record alive for the caller: a
        // copy the caller frees through the returned pointer's owner set.
        quorvel_node* copy = xpath_synthetic_duplicate(found);
        xpath_result_free(r);
        if (!copy) return oom(c) != nullptr;
        *node = copy;
        return true;
    }
    xpath_result_free(r);
    *node = found;
    return true;
}

// Frees a copy node_argument made.
void release_argument(const quorvel_node* n) {
    if (n && is_item(n) && is_synthetic(n)) xpath_nodeset_dispose_node(const_cast<quorvel_node*>(n));
}

// The parent in the XPath sense, the document node for top-level nodes.
const quorvel_node* parent_node(const quorvel_node* n) {
    switch (n->kind) {
    case kXpathAttributeNode:
        return reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->owner);
    case kXpathNamespaceNode:
        return reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->parent);
    case kXpathCarrierNode:
    case QUORVEL_NODE_DOCUMENT:
    case QUORVEL_NODE_DOCTYPE: return nullptr;
    default: break;
    }
    if (quorvel_element* p = quorvel_node_parent(n)) return reinterpret_cast<const quorvel_node*>(p);
    quorvel_document* doc = node_public_document(n);
    if (!doc) return nullptr;
    if (n->kind == QUORVEL_NODE_ELEMENT && reinterpret_cast<const quorvel_element*>(n) == doc->root)
        return xpath_document_node(doc);
    for (const quorvel_node* t = quorvel_document_first_child(doc); t; t = quorvel_node_next_sibling(t))
        if (t == n) return xpath_document_node(doc);
    return nullptr;
}

// A typed QName item of its lexical form.
quorvel_node* qname_item(const char* lexical) {
    size_t n = std::strlen(lexical);
    char stack[128];
    char* text = n + 2 <= sizeof stack ? stack : static_cast<char*>(std::malloc(n + 2));
    if (!text) return nullptr;
    text[0] = kXpathTagMark;
    text[1] = 'Z';
    std::memcpy(text + 2, lexical, n);
    quorvel_node* item = xpath_synth_text(text, n + 2);
    if (text != stack) std::free(text);
    return item;
}

result* one_item(quorvel_xpath_context* c, quorvel_node* item) {
    if (!item) return oom(c);
    result* r = fn_sequence_of(c, nullptr);
    if (!r) {
        xpath_nodeset_dispose_node(item);
        return nullptr;
    }
    if (!xpath_nodeset_add_fast(r->value.nodeset, item)) {
        xpath_nodeset_dispose_node(item);
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}

const char* local_part(const char* qname) {
    const char* colon = std::strchr(qname, ':');
    return colon ? colon + 1 : qname;
}

// Position of n among its parent's children of the same kind (and name,
// for elements and processing instructions): 1-based.
size_t sibling_position(const quorvel_node* n, const quorvel_node* parent) {
    size_t k = 1;
    const char* name = n->kind == QUORVEL_NODE_ELEMENT ? quorvel_element_name(reinterpret_cast<const quorvel_element*>(n))
                       : n->kind == QUORVEL_NODE_PI     ? quorvel_pi_node_get_target(n)
                                                        : nullptr;
    const char* uri = n->kind == QUORVEL_NODE_ELEMENT
                          ? quorvel_element_namespace(const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(n)))
                          : nullptr;
    auto text_like = [](int kind) { return kind == QUORVEL_NODE_TEXT || kind == QUORVEL_NODE_CDATA; };
    for (const quorvel_node* s = quorvel_node_first_child(parent); s && s != n; s = quorvel_node_next_sibling(s)) {
        bool same = s->kind == n->kind || (text_like(s->kind) && text_like(n->kind));
        if (!same) continue;
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(s));
            const char* su = quorvel_element_namespace(e);
            if (std::strcmp(quorvel_element_name(e), name) || std::strcmp(su ? su : "", uri ? uri : "")) continue;
        } else if (n->kind == QUORVEL_NODE_PI) {
            const char* t = quorvel_pi_node_get_target(s);
            if (std::strcmp(t ? t : "", name ? name : "")) continue;
        }
        k++;
    }
    return k;
}

// One step of a path, as fn:path writes it.
void write_step(text_buffer& out, const quorvel_node* n, const quorvel_node* parent) {
    char position[32];
    std::snprintf(position, sizeof position, "[%zu]", parent ? sibling_position(n, parent) : static_cast<size_t>(1));
    switch (n->kind) {
    case QUORVEL_NODE_ELEMENT: {
        auto* e = const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(n));
        const char* uri = quorvel_element_namespace(e);
        out.append("Q{");
        out.append(uri ? uri : "");
        out.append("}");
        out.append(quorvel_element_name(e));
        out.append(position);
        break;
    }
    case kXpathAttributeNode: {
        auto* a = reinterpret_cast<const quorvel_xpath_attribute_node*>(n);
        out.append("@");
        if (a->namespace_uri && a->namespace_uri[0]) {
            out.append("Q{");
            out.append(a->namespace_uri);
            out.append("}");
        }
        out.append(local_part(a->name));
        break;
    }
    case kXpathNamespaceNode: {
        auto* ns = reinterpret_cast<const quorvel_xpath_namespace_node*>(n);
        if (ns->prefix && ns->prefix[0]) {
            out.append("namespace::");
            out.append(ns->prefix);
        } else {
            out.append("namespace::*[Q{http://www.w3.org/2005/xpath-functions}local-name()=\"\"]");
        }
        break;
    }
    case QUORVEL_NODE_TEXT:
    case QUORVEL_NODE_CDATA:
        out.append("text()");
        out.append(position);
        break;
    case QUORVEL_NODE_COMMENT:
        out.append("comment()");
        out.append(position);
        break;
    case QUORVEL_NODE_PI: {
        const char* target = quorvel_pi_node_get_target(n);
        out.append("processing-instruction(");
        out.append(target ? target : "");
        out.append(")");
        out.append(position);
        break;
    }
    default: break;
    }
}

// True when a is an ancestor of n (the document node of n's tree
// included).
bool is_ancestor(const quorvel_node* a, const quorvel_node* n) {
    for (const quorvel_node* p = parent_node(n); p; p = parent_node(p))
        if (p == a) return true;
    return false;
}

// Simple reference resolution for base URIs: an absolute reference stands;
// one starting with "/" keeps the base's scheme and authority; any other
// replaces the base's last segment.
char* resolve_uri(const char* base, const char* reference) {
    text_buffer out;
    const char* colon = std::strchr(reference, ':');
    const char* slash = std::strchr(reference, '/');
    bool absolute = colon && (!slash || colon < slash) && colon != reference;
    if (absolute || !base || !base[0]) {
        out.append(reference);
    } else if (reference[0] == '/') {
        const char* scheme_end = std::strstr(base, "://");
        const char* path = scheme_end ? std::strchr(scheme_end + 3, '/') : std::strchr(base, '/');
        out.append(base, path ? static_cast<size_t>(path - base) : std::strlen(base));
        out.append(reference);
    } else {
        const char* last = std::strrchr(base, '/');
        out.append(base, last ? static_cast<size_t>(last - base) + 1 : 0);
        out.append(reference);
    }
    return out.take();
}

constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

// The xml:base attribute of an element, or NULL.
const char* xml_base_of(quorvel_element* e) {
    return quorvel_element_attribute_ns(e, kXmlNamespace, "base");
}

}  // namespace

// ---- Names and properties ----------------------------------------------------------------------------

result* fn_node_name(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "node-name", &n)) return nullptr;
    if (!n) return fn_sequence_of(c, nullptr);
    text_buffer name;
    switch (n->kind) {
    case QUORVEL_NODE_ELEMENT: {
        auto* e = reinterpret_cast<const quorvel_element*>(n);
        const char* prefix = quorvel_element_prefix(e);
        if (prefix && prefix[0]) {
            name.append(prefix);
            name.append(":");
        }
        name.append(quorvel_element_name(e));
        break;
    }
    case kXpathAttributeNode: name.append(reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->name); break;
    case kXpathNamespaceNode: {
        const char* prefix = reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->prefix;
        if (prefix && prefix[0]) name.append(prefix);
        break;
    }
    case QUORVEL_NODE_PI: {
        const char* target = quorvel_pi_node_get_target(n);
        name.append(target ? target : "");
        break;
    }
    default: break;
    }
    release_argument(n);
    if (name.failed) return oom(c);
    if (!name.length) return fn_sequence_of(c, nullptr);
    return one_item(c, qname_item(name.data));
}

result* fn_has_children(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "has-children", &n)) return nullptr;
    bool any = n && (n->kind == QUORVEL_NODE_ELEMENT || n->kind == QUORVEL_NODE_DOCUMENT) &&
               quorvel_node_first_child(n) != nullptr;
    release_argument(n);
    return fn_boolean_result(c, any);
}

result* fn_nilled(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "nilled", &n)) return nullptr;
    bool element = n && n->kind == QUORVEL_NODE_ELEMENT;
    release_argument(n);
    // Only validation against a schema makes an element nilled; trees here
    // are untyped, so every element is not nilled.
    return element ? fn_boolean_result(c, false) : fn_sequence_of(c, nullptr);
}

result* fn_path(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "path", &n)) return nullptr;
    if (!n) return fn_sequence_of(c, nullptr);
    // The chain from n up to the top, in a growable array: trees may be
    // any depth.
    size_t depth = 0, capacity = 32;
    auto** chain = static_cast<const quorvel_node**>(std::malloc(capacity * sizeof(quorvel_node*)));
    bool ok = chain != nullptr;
    for (const quorvel_node* p = n; ok && p; p = parent_node(p)) {
        if (depth == capacity) {
            capacity *= 2;
            void* grown = std::realloc(chain, capacity * sizeof(quorvel_node*));
            if (!grown) {
                ok = false;
                break;
            }
            chain = static_cast<const quorvel_node**>(grown);
        }
        chain[depth++] = p;
    }
    text_buffer out;
    if (ok) {
        const quorvel_node* top = chain[depth - 1];
        if (top->kind == QUORVEL_NODE_DOCUMENT) {
            if (depth == 1) out.append("/");
        } else {
            out.append("Q{http://www.w3.org/2005/xpath-functions}root()");
        }
        for (size_t i = depth - 1; i-- > 0;) {
            out.append("/");
            write_step(out, chain[i], chain[i + 1]);
        }
    }
    std::free(chain);
    release_argument(n);
    if (!ok) return oom(c);
    char* text = out.take();
    return text ? fn_string_result_take(c, text) : oom(c);
}

// innermost and outermost: the argument in document order without
// repeats, then one pass that compares each node with its neighbour.
namespace {

result* nested_nodes(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, bool innermost) {
    if (count != 1 || !args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    result* r = evaluate_expr(c, args[0]);
    if (!r) return nullptr;
    if (r->kind != XPATH_NODESET) {
        xpath_result_free(r);
        xpath_context_fail_code(c, "XPTY0004", "%s() takes a sequence of nodes", innermost ? "innermost" : "outermost");
        return nullptr;
    }
    quorvel_xpath_node_set* s = r->value.nodeset;
    if (!s || s->count == 0) return r;
    for (size_t i = 0; i < s->count; i++) {
        if (is_item(s->items[i]) && s->items[i]->kind == kXpathCarrierNode &&
            !xpath_carrier_referenced_node(s->items[i])) {
            xpath_result_free(r);
            xpath_context_fail_code(c, "XPTY0004", "%s() takes a sequence of nodes",
                                    innermost ? "innermost" : "outermost");
            return nullptr;
        }
    }
    if (!xpath_nodeset_sort_doc_order(c, s)) {
        xpath_result_free(r);
        return oom(c);
    }
    auto real = [](const quorvel_node* item) {
        const quorvel_node* ref = item->kind == kXpathCarrierNode ? xpath_carrier_referenced_node(item) : nullptr;
        return ref ? ref : item;
    };
    size_t kept = 0;
    const quorvel_node* last_kept = nullptr;
    for (size_t i = 0; i < s->count; i++) {
        quorvel_node* item = s->items[i];
        bool keep;
        if (innermost) {
            keep = i + 1 == s->count || !is_ancestor(real(item), real(s->items[i + 1]));
        } else {
            keep = !last_kept || !is_ancestor(last_kept, real(item));
            if (keep) last_kept = real(item);
        }
        if (keep) {
            s->items[kept++] = item;
        } else if (is_synthetic(item) && ((item->kind == kXpathAttributeNode && s->owns_attributes) ||
                                          (item->kind == kXpathNamespaceNode && s->owns_namespaces) ||
                                          (item->kind == kXpathCarrierNode && s->owns_carriers))) {
            xpath_nodeset_dispose_node(item);
        }
    }
    s->count = kept;
    return r;
}

}  // namespace

result* fn_innermost(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return nested_nodes(c, args, count, true);
}

result* fn_outermost(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    return nested_nodes(c, args, count, false);
}

// ---- URIs of nodes -----------------------------------------------------------------------------------

result* fn_static_base_uri(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t count) {
    if (count != 0) return nullptr;
    if (c->static_base_uri) return fn_string_result_copy(c, c->static_base_uri, std::strlen(c->static_base_uri));
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return fn_sequence_of(c, nullptr);
    text_buffer out;
    out.append("file://");
    out.append(buffer);
    if (out.length && out.data[out.length - 1] != '/') out.append("/");
    char* text = out.take();
    return text ? fn_string_result_take(c, text) : oom(c);
}

result* fn_uri_constant(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    // document-uri: the URI a document node was read from.
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "document-uri", &n)) return nullptr;
    const char* uri = nullptr;
    if (n && n->kind == QUORVEL_NODE_DOCUMENT)
        uri = xpath_document_uri(c, reinterpret_cast<const quorvel_document_node_record*>(n)->document);
    release_argument(n);
    if (!uri) return fn_sequence_of(c, nullptr);
    return fn_string_result_copy(c, uri, std::strlen(uri));
}

result* fn_base_uri(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    const quorvel_node* n = nullptr;
    if (!node_argument(c, args, count, "base-uri", &n)) return nullptr;
    if (!n) return fn_sequence_of(c, nullptr);
    // xml:base values from the node up, resolved from the top down against
    // the URI of the document the tree was read from.
    const char* bases[64];
    size_t k = 0;
    const char* document_uri = nullptr;
    bool has_base = false;
    for (const quorvel_node* p = n; p; p = parent_node(p)) {
        if (p->kind == QUORVEL_NODE_ELEMENT) {
            has_base = true;
            const char* b = xml_base_of(const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(p)));
            if (b && k < sizeof bases / sizeof bases[0]) bases[k++] = b;
        } else if (p->kind == QUORVEL_NODE_DOCUMENT) {
            has_base = true;
            document_uri = xpath_document_uri(c, reinterpret_cast<const quorvel_document_node_record*>(p)->document);
        } else if (p->kind == QUORVEL_NODE_PI) {
            has_base = true;
        }
    }
    release_argument(n);
    if (!has_base) return fn_sequence_of(c, nullptr);
    char* uri = document_uri ? resolve_uri(nullptr, document_uri) : nullptr;
    if (document_uri && !uri) return oom(c);
    while (k-- > 0) {
        char* next = resolve_uri(uri, bases[k]);
        std::free(uri);
        if (!next) return oom(c);
        uri = next;
    }
    if (!uri) return fn_sequence_of(c, nullptr);
    return fn_string_result_take(c, uri);
}

// ---- Copies --------------------------------------------------------------------------------------------

result* fn_snapshot(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1 || !args[0]) {
        xpath_context_fail(c, "NULL AST node");
        return nullptr;
    }
    result* r = evaluate_expr(c, args[0]);
    if (!r || r->kind != XPATH_NODESET || !r->value.nodeset) return r;
    quorvel_xpath_node_set* s = r->value.nodeset;
    bool any_element = false;
    for (size_t i = 0; i < s->count; i++)
        if (is_item(s->items[i]) && s->items[i]->kind == QUORVEL_NODE_ELEMENT) any_element = true;
    if (!any_element) return r;
    // Every element becomes a detached copy in one new document; the other
    // items stay as they are. On any failure the document and everything
    // copied into it go at once.
    quorvel_document* doc = quorvel_document_create();
    bool ok = doc != nullptr;
    for (size_t i = 0; ok && i < s->count; i++) {
        quorvel_node* item = s->items[i];
        if (!is_item(item) || item->kind != QUORVEL_NODE_ELEMENT) continue;
        quorvel_element* copy = quorvel_element_copy(reinterpret_cast<quorvel_element*>(item), doc);
        if (!copy) ok = false;
        else s->items[i] = reinterpret_cast<quorvel_node*>(copy);
    }
    if (!ok) {
        quorvel_document_free(doc);
        xpath_result_free(r);
        return oom(c);
    }
    if (!fn_keep_document(c, doc)) {
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}
