// The public evaluation calls, result readers, and variable and namespace
// sets.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

char* copy_text(const char* s) {
    if (!s) s = "";
    size_t n = std::strlen(s);
    char* c = static_cast<char*>(std::malloc(n + 1));
    if (c) std::memcpy(c, s, n + 1);
    return c;
}

void document_error(quorvel_document* doc, const char* message) {
    if (doc && message && message[0]) std::snprintf(doc->error_text, sizeof doc->error_text, "%s", message);
}

// The tree for a text: the cached one, or parsed and cached. NULL with the
// parser's message (or "XPath syntax error") in message, or with message
// empty when memory ran out.
quorvel_xpath_tree* tree_for_text(const char* text, char* message, size_t message_size) {
    message[0] = '\0';
    size_t length = std::strlen(text);
    if (quorvel_xpath_tree* tree = xpath_cache_get(text, length)) return tree;
    quorvel_xpath_ast_node* root = xpath_parse_text(text, length, message, message_size);
    if (!root) return nullptr;
    return xpath_cache_insert(text, length, xpath_tree_new(root));
}

// Evaluates a tree in a fresh context; failures copy the context's message
// to the document's error text.
quorvel_xpath_result* run_tree(const quorvel_xpath_tree* tree, quorvel_document* doc, quorvel_node* node,
                               const quorvel_xpath_ns_set* ns, const quorvel_xpath_variable_set* vars,
                               size_t position, size_t size) {
    if (!node) node = xpath_document_node(doc);
    if (!node) return nullptr;
    quorvel_xpath_context context;
    xpath_context_init(&context, doc, node);
    context.namespaces = const_cast<quorvel_xpath_ns_set*>(ns);
    context.variables = const_cast<quorvel_xpath_variable_set*>(vars);
    context.position = position;
    context.size = size ? size : 1;
    context.tree = const_cast<quorvel_xpath_tree*>(tree);
    quorvel_xpath_result* result = nullptr;
    if (!tree || !tree->root) xpath_context_fail(&context, "NULL AST node");
    else if (!(result = xpath_vm_run(const_cast<quorvel_xpath_tree*>(tree), &context)))
        result = evaluate_expr(&context, tree->root);
    if (!result) document_error(doc, context.error);
    else xpath_context_keep_for_result(&context, result);
    xpath_context_cleanup(&context);
    return result;
}

// Token-level check that a text holds only XPath 1.0 syntax: the 3.x
// operators and constructors are refused, while names that merely spell a
// keyword ("@let", "/doc/map") pass.
bool xpath10_syntax(const char* text) {
    quorvel_xpath_parser* p = xpath_parser_new(text, std::strlen(text));
    if (!p) return true;  // the evaluation reports the memory failure
    bool ok = true;
    for (size_t i = 0; ok && i < p->token_count; i++) {
        const quorvel_xpath_token& t = p->tokens[i];
        int32_t next = i + 1 < p->token_count ? p->tokens[i + 1].kind : TOK_EOF;
        auto word = [&](const char* w) {
            return (t.kind == TOK_NCNAME || t.kind == TOK_AND || t.kind == TOK_OR || t.kind == TOK_DIV ||
                    t.kind == TOK_MOD) &&
                   t.length == std::strlen(w) && !std::memcmp(t.start, w, t.length);
        };
        switch (t.kind) {
        case TOK_BANG:
        case TOK_ARROW:
        case TOK_QUESTION:
            ok = false;
            break;
        case TOK_STRING:
            if (t.length && t.start[0] == '`') ok = false;
            break;
        default:
            if ((word("let") && next == TOK_DOLLAR) || (word("function") && next == TOK_LPAREN) ||
                ((word("map") || word("array")) && next == TOK_LBRACE))
                ok = false;
            break;
        }
    }
    if (ok && p->lexer && p->lexer->error[0] && std::memchr(text, '`', std::strlen(text))) ok = false;
    xpath_parser_free(p);
    return ok;
}

quorvel_xpath_result* gather(quorvel_document* doc, const quorvel_node* const* nodes, size_t count,
                             const quorvel_xpath_compiled* compiled) {
    if (!doc || !nodes || !compiled || count == 0) return nullptr;
    quorvel_xpath_node_set* set = xpath_nodeset_new();
    if (!set) return nullptr;
    set->owns_attributes = set->owns_namespaces = set->owns_carriers = 1;
    const quorvel_node* first = nullptr;
    bool ok = true;
    for (size_t i = 0; ok && i < count; i++) {
        if (!nodes[i]) continue;
        if (!first) first = nodes[i];
        quorvel_xpath_result* r = quorvel_xpath_compiled_eval(compiled, doc, const_cast<quorvel_node*>(nodes[i]));
        if (r && r->kind == XPATH_NODESET && r->value.nodeset) {
            quorvel_xpath_node_set* s = r->value.nodeset;
            // Every set the evaluator makes owns its synthetic nodes: take
            // them over item by item.
            size_t k = 0;
            for (; k < s->count; k++)
                if (is_item(s->items[k]) && !xpath_nodeset_add_fast(set, s->items[k])) break;
            if (k < s->count) ok = false;
            // Items moved keep living in the gathered set.
            s->count = ok ? 0 : s->count - k;
            if (!ok) std::memmove(s->items, s->items + k, s->count * sizeof(quorvel_node*));
        }
        xpath_result_free(r);
    }
    if (ok && first && set->count > 1) {
        quorvel_xpath_context context;
        xpath_context_init(&context, doc, const_cast<quorvel_node*>(first));
        ok = xpath_nodeset_sort_doc_order(&context, set);
        xpath_context_cleanup(&context);
    }
    if (!ok) {
        xpath_nodeset_free(set);
        return nullptr;
    }
    quorvel_xpath_result* result = xpath_result_new(XPATH_NODESET);
    if (!result) {
        xpath_nodeset_free(set);
        return nullptr;
    }
    result->value.nodeset = set;
    return result;
}

const quorvel_node* item_at(const quorvel_xpath_result* r, size_t index) {
    if (!r || r->kind != XPATH_NODESET || !r->value.nodeset || index >= r->value.nodeset->count) return nullptr;
    const quorvel_node* n = r->value.nodeset->items[index];
    return is_item(n) ? n : nullptr;
}

int kind_code(const quorvel_node* n) {
    if (!n) return 3;
    switch (n->kind) {
    case QUORVEL_NODE_ELEMENT: return 0;
    case QUORVEL_NODE_TEXT:
    case QUORVEL_NODE_CDATA:
    case kXpathCarrierNode: return 2;
    case kXpathAttributeNode: return 1;
    default: return 3;
    }
}

bool function_item(const quorvel_node* n) {
    if (!n || n->kind != kXpathCarrierNode) return false;
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(n);
    if (!c->text || c->length < 3 || c->text[0] != kXpathTagMark || c->text[1] != 'F') return false;
    return c->text[2] == 'R' || (c->text[2] == 'N' && c->length >= 4 && c->text[3] == '\x02');
}

const char* carrier_value(const quorvel_xpath_carrier* c) {
    const char* t = c->text;
    if (!t) return nullptr;
    if (t[0] != kXpathTagMark || c->length < 2) return t;
    char tag = t[1];
    switch (tag) {
    case 'A': {
        const char* sep = static_cast<const char*>(std::memchr(t, '\x01', c->length));
        return sep ? sep + 1 : "";
    }
    case 'B': return t[2] == 't' ? "true" : "false";
    case 'F': return function_item(reinterpret_cast<const quorvel_node*>(c)) ? t : t + 2;
    case 'Z': return xpath_qname_lexical(t + 2);
    default:
        if (std::strchr("DNOETtYJKQHXWZdU", tag)) return t + 2;
        return t;
    }
}

const char* node_value(const quorvel_node* n) {
    if (!n) return nullptr;
    switch (n->kind) {
    case QUORVEL_NODE_TEXT: {
        const char* t = quorvel_text_node_get_content(n);
        return t ? t : "";
    }
    case QUORVEL_NODE_COMMENT: return quorvel_comment_node_get_content(n);
    case QUORVEL_NODE_CDATA: return quorvel_cdata_node_get_content(n);
    case QUORVEL_NODE_PI: return quorvel_pi_node_get_data(n);
    case kXpathAttributeNode: return reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->value;
    case kXpathNamespaceNode: return reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->uri;
    case kXpathCarrierNode: return carrier_value(reinterpret_cast<const quorvel_xpath_carrier*>(n));
    default: return nullptr;
    }
}

}  // namespace

// ---- Evaluation ------------------------------------------------------------------------------------

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval(quorvel_document* doc, quorvel_node* node, const char* expression) {
    if (!doc || !expression) return nullptr;
    char message[256];
    quorvel_xpath_tree* tree = tree_for_text(expression, message, sizeof message);
    if (!tree) {
        document_error(doc, message[0] ? message : nullptr);
        return nullptr;
    }
    quorvel_xpath_result* r = run_tree(tree, doc, node, nullptr, nullptr, 1, 1);
    xpath_tree_release(tree);
    return r;
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_versioned(quorvel_document* doc, quorvel_node* node,
                                                               const char* expression, int version, int* status) {
    if (status) *status = 0;
    if (!doc || !expression) {
        if (status) *status = -4;
        return nullptr;
    }
    if (version != 1 && version != 3) {
        if (status) *status = -5;
        return nullptr;
    }
    if (version == 1 && !xpath10_syntax(expression)) {
        quorvel_set_last_error("XPath 3.x syntax rejected in QUORVEL_XPATH_10 mode");
        if (status) *status = -5;
        return nullptr;
    }
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, node, expression);
    if (!r && status) *status = -3;
    return r;
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval(const quorvel_xpath_compiled* compiled,
                                                              quorvel_document* doc, quorvel_node* node) {
    if (!compiled || !doc) return nullptr;
    return run_tree(compiled->tree, doc, node, nullptr, nullptr, 1, 1);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_ns(const quorvel_xpath_compiled* compiled,
                                                                 quorvel_document* doc, quorvel_node* node,
                                                                 const quorvel_xpath_ns_set* ns) {
    if (!compiled || !doc) return nullptr;
    return run_tree(compiled->tree, doc, node, ns, nullptr, 1, 1);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_vars(const quorvel_xpath_compiled* compiled,
                                                                   quorvel_document* doc, quorvel_node* node,
                                                                   const quorvel_xpath_variable_set* vars) {
    if (!compiled || !doc) return nullptr;
    return run_tree(compiled->tree, doc, node, nullptr, vars, 1, 1);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_ns_vars(const quorvel_xpath_compiled* compiled,
                                                                      quorvel_document* doc, quorvel_node* node,
                                                                      const quorvel_xpath_ns_set* ns,
                                                                      const quorvel_xpath_variable_set* vars) {
    if (!compiled || !doc) return nullptr;
    return run_tree(compiled->tree, doc, node, ns, vars, 1, 1);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_compiled_eval_nodeset(quorvel_document* doc,
                                                                      const quorvel_node* const* nodes, size_t count,
                                                                      const quorvel_xpath_compiled* compiled) {
    return gather(doc, nodes, count, compiled);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_ns(quorvel_document* doc, quorvel_node* node,
                                                        const char* expression, const quorvel_xpath_ns_set* ns) {
    if (!doc || !expression) return nullptr;
    quorvel_xpath_compiled* c = quorvel_xpath_compile(expression);
    if (!c) return nullptr;
    quorvel_xpath_result* r = quorvel_xpath_compiled_eval_ns(c, doc, node, ns);
    quorvel_xpath_compiled_free(c);
    return r;
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_with_vars_context(quorvel_document* doc, quorvel_node* node,
                                                                       const char* expression,
                                                                       const quorvel_xpath_variable_set* vars) {
    if (!doc || !expression) return nullptr;
    quorvel_xpath_compiled* c = quorvel_xpath_compile(expression);
    if (!c) return nullptr;
    quorvel_xpath_result* r = quorvel_xpath_compiled_eval_vars(c, doc, node, vars);
    quorvel_xpath_compiled_free(c);
    return r;
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_with_vars(quorvel_document* doc, const char* expression,
                                                               const quorvel_xpath_variable_set* vars) {
    return quorvel_xpath_eval_with_vars_context(doc, nullptr, expression, vars);
}

QUORVEL_API quorvel_xpath_result* quorvel_xpath_eval_nodeset(quorvel_document* doc, const quorvel_node* const* nodes,
                                                             size_t count, const char* expression) {
    if (!doc || !expression || !nodes || count == 0) return nullptr;
    quorvel_xpath_compiled* c = quorvel_xpath_compile(expression);
    if (!c) return nullptr;
    quorvel_xpath_result* r = gather(doc, nodes, count, c);
    quorvel_xpath_compiled_free(c);
    return r;
}

// ---- Result readers ------------------------------------------------------------------------------

QUORVEL_API int quorvel_xpath_result_type(const quorvel_xpath_result* r) {
    if (!r) return 3;
    switch (r->kind) {
    case XPATH_NODESET:
        return r->value.nodeset && r->value.nodeset->count == 1 && is_item(r->value.nodeset->items[0]) &&
                       function_item(r->value.nodeset->items[0])
                   ? 4
                   : 0;
    case XPATH_BOOLEAN: return 1;
    case XPATH_NUMBER: return 2;
    default: return 3;
    }
}

QUORVEL_API size_t quorvel_xpath_result_count(const quorvel_xpath_result* r) {
    return r && r->kind == XPATH_NODESET && r->value.nodeset ? r->value.nodeset->count : 0;
}

QUORVEL_API quorvel_element* quorvel_xpath_result_get(const quorvel_xpath_result* r, size_t index) {
    const quorvel_node* n = item_at(r, index);
    return n && n->kind == QUORVEL_NODE_ELEMENT ? reinterpret_cast<quorvel_element*>(const_cast<quorvel_node*>(n))
                                                : nullptr;
}

QUORVEL_API quorvel_node* quorvel_xpath_result_get_node(const quorvel_xpath_result* r, size_t index) {
    return const_cast<quorvel_node*>(item_at(r, index));
}

QUORVEL_API size_t quorvel_xpath_result_get_nodes(const quorvel_xpath_result* r, quorvel_element** elements,
                                                  size_t max) {
    if (!elements || !max) return 0;
    size_t out = 0;
    for (size_t i = 0; out < max && i < quorvel_xpath_result_count(r); i++)
        if (quorvel_element* e = quorvel_xpath_result_get(r, i)) elements[out++] = e;
    return out;
}

QUORVEL_API size_t quorvel_xpath_result_get_nodes_ex(const quorvel_xpath_result* r, quorvel_node** nodes, int* kinds,
                                                     size_t max) {
    size_t out = 0;
    for (size_t i = 0; out < max && i < quorvel_xpath_result_count(r); i++) {
        const quorvel_node* n = item_at(r, i);
        if (!n) continue;
        if (nodes) nodes[out] = const_cast<quorvel_node*>(n);
        if (kinds) kinds[out] = kind_code(n);
        out++;
    }
    return out;
}

QUORVEL_API int quorvel_xpath_result_node_kind(const quorvel_xpath_result* r, size_t index) {
    return kind_code(item_at(r, index));
}

QUORVEL_API const char* quorvel_xpath_result_node_name(const quorvel_xpath_result* r, size_t index) {
    const quorvel_node* n = item_at(r, index);
    if (!n) return nullptr;
    const char* name = nullptr;
    switch (n->kind) {
    case QUORVEL_NODE_ELEMENT: name = quorvel_element_name(reinterpret_cast<const quorvel_element*>(n)); break;
    case kXpathAttributeNode: name = reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->name; break;
    case kXpathNamespaceNode: name = reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->prefix; break;
    default: break;
    }
    return name && name[0] ? name : nullptr;
}

QUORVEL_API const char* quorvel_xpath_result_node_value(const quorvel_xpath_result* r, size_t index) {
    return node_value(item_at(r, index));
}

QUORVEL_API int quorvel_xpath_result_boolean(const quorvel_xpath_result* r) {
    return r ? (xpath_to_boolean(r) ? 1 : 0) : 0;
}

QUORVEL_API double quorvel_xpath_result_number(const quorvel_xpath_result* r) {
    if (!r) return NAN;
    char* text = nullptr;
    switch (r->kind) {
    case XPATH_BOOLEAN: return r->value.boolean ? 1.0 : 0.0;
    case XPATH_NUMBER: return r->value.number;
    case XPATH_STRING: text = copy_text(r->value.string); break;
    case XPATH_NODESET: {
        const quorvel_node* n = item_at(r, 0);
        if (!n) return NAN;
        text = get_node_text(n);
        break;
    }
    default: return NAN;
    }
    if (!text) return NAN;
    double v = NAN;
    if (text[0]) {
        char* end = nullptr;
        double d = std::strtod(text, &end);
        if (end != text && *end == '\0') v = d;
    }
    std::free(text);
    return v;
}

QUORVEL_API char* quorvel_xpath_result_string(const quorvel_xpath_result* r) {
    if (!r) return copy_text("");
    switch (r->kind) {
    case XPATH_NUMBER:
    case XPATH_BOOLEAN:
        return xpath_to_string(r);
    case XPATH_STRING: return xpath_to_string(r);
    case XPATH_NODESET: {
        const quorvel_node* n = item_at(r, 0);
        if (!n) return copy_text("");
        if (n->kind == QUORVEL_NODE_DOCUMENT) return get_node_text(n);
        if (n->kind == QUORVEL_NODE_ELEMENT) return copy_text(quorvel_element_text(n));
        // A node reference is read through the reference held beside the
        // text, never out of the text.
        if (quorvel_node* ref = xpath_carrier_referenced_node(n)) return copy_text(quorvel_element_text(ref));
        return copy_text(node_value(n));
    }
    default: return copy_text("");
    }
}

// ---- Variable sets ----------------------------------------------------------------------------------

quorvel_xpath_variable_set* xpath_variable_set_new() {
    auto* s = static_cast<quorvel_xpath_variable_set*>(std::calloc(1, sizeof(quorvel_xpath_variable_set)));
    if (!s) return nullptr;
    s->bindings = static_cast<quorvel_xpath_variable_binding**>(std::calloc(8, sizeof(void*)));
    if (!s->bindings) {
        std::free(s);
        return nullptr;
    }
    s->capacity = 8;
    return s;
}

namespace {
void binding_free(quorvel_xpath_variable_binding* b) {
    if (!b) return;
    if (b->kind == XPATH_BIND_STRING) std::free(b->value.string);
    if (b->kind == XPATH_BIND_NODESET) xpath_nodeset_free(b->value.nodeset);
    std::free(b->name);
    std::free(b);
}
}  // namespace

void xpath_variable_set_free(quorvel_xpath_variable_set* set) {
    if (!set) return;
    for (size_t i = 0; i < set->count; i++) binding_free(set->bindings[i]);
    std::free(set->bindings);
    std::free(set);
}

const quorvel_xpath_variable_binding* xpath_variable_find(const quorvel_xpath_variable_set* set, const char* name) {
    if (!set || !name) return nullptr;
    for (size_t i = 0; i < set->count; i++)
        if (!std::strcmp(set->bindings[i]->name, name)) return set->bindings[i];
    return nullptr;
}

quorvel_xpath_variable_binding* xpath_variable_set_add(quorvel_xpath_variable_set* set, const char* name,
                                                       int32_t kind) {
    if (!set || !name || !name[0] || kind < XPATH_BIND_BOOLEAN || kind > XPATH_BIND_NODESET) return nullptr;
    if (auto* b = const_cast<quorvel_xpath_variable_binding*>(xpath_variable_find(set, name)))
        return b->kind == kind ? b : nullptr;
    if (set->count == set->capacity) {
        size_t capacity = set->capacity ? set->capacity * 2 : 8;
        void* grown = std::realloc(set->bindings, capacity * sizeof(void*));
        if (!grown) return nullptr;
        set->bindings = static_cast<quorvel_xpath_variable_binding**>(grown);
        set->capacity = capacity;
    }
    auto* b = static_cast<quorvel_xpath_variable_binding*>(std::calloc(1, sizeof(quorvel_xpath_variable_binding)));
    if (!b) return nullptr;
    b->name = copy_text(name);
    b->kind = kind;
    if (kind == XPATH_BIND_NUMBER) b->value.number = NAN;
    if (kind == XPATH_BIND_STRING) b->value.string = copy_text("");
    if (!b->name || (kind == XPATH_BIND_STRING && !b->value.string)) {
        binding_free(b);
        return nullptr;
    }
    set->bindings[set->count++] = b;
    return b;
}

int xpath_variable_set_boolean(quorvel_xpath_variable_binding* b, int value) {
    if (!b || b->kind != XPATH_BIND_BOOLEAN) return 0;
    b->value.boolean = value ? 1 : 0;
    return 1;
}

int xpath_variable_set_number(quorvel_xpath_variable_binding* b, double value) {
    if (!b || b->kind != XPATH_BIND_NUMBER) return 0;
    b->value.number = value;
    return 1;
}

int xpath_variable_set_string(quorvel_xpath_variable_binding* b, const char* value) {
    if (!b || b->kind != XPATH_BIND_STRING) return 0;
    // The old text stays until the copy exists: a failed copy changes nothing.
    char* copy = copy_text(value);
    if (!copy) return 0;
    std::free(b->value.string);
    b->value.string = copy;
    return 1;
}

int xpath_variable_set_nodeset(quorvel_xpath_variable_binding* b, quorvel_xpath_node_set* value) {
    if (!b || b->kind != XPATH_BIND_NODESET) return 0;
    if (b->value.nodeset != value) xpath_nodeset_free(b->value.nodeset);
    b->value.nodeset = value;
    return 1;
}

void xpath_variable_set_remove(quorvel_xpath_variable_set* set, const char* name) {
    if (!set || !name) return;
    for (size_t i = 0; i < set->count; i++) {
        if (std::strcmp(set->bindings[i]->name, name) != 0) continue;
        binding_free(set->bindings[i]);
        std::memmove(set->bindings + i, set->bindings + i + 1, (set->count - i - 1) * sizeof(void*));
        set->count--;
        return;
    }
}

QUORVEL_API quorvel_xpath_variable_set* quorvel_xpath_variable_set_new(void) { return xpath_variable_set_new(); }
QUORVEL_API void quorvel_xpath_variable_set_free(quorvel_xpath_variable_set* set) { xpath_variable_set_free(set); }

namespace {
// Shared body of the public setters: the binding of the given kind, or the
// status to report.
int binding_for(quorvel_xpath_variable_set* set, const char* name, int32_t kind,
                quorvel_xpath_variable_binding** out) {
    if (!set || !name) return -4;
    if (const quorvel_xpath_variable_binding* b = xpath_variable_find(set, name))
        if (b->kind != kind) return -5;
    *out = xpath_variable_set_add(set, name, kind);
    return *out ? 0 : -1;
}
}  // namespace

QUORVEL_API int quorvel_xpath_variable_set_boolean(quorvel_xpath_variable_set* set, const char* name, int value) {
    quorvel_xpath_variable_binding* b = nullptr;
    int status = binding_for(set, name, XPATH_BIND_BOOLEAN, &b);
    return status ? status : (xpath_variable_set_boolean(b, value) ? 0 : -1);
}

QUORVEL_API int quorvel_xpath_variable_set_number(quorvel_xpath_variable_set* set, const char* name, double value) {
    quorvel_xpath_variable_binding* b = nullptr;
    int status = binding_for(set, name, XPATH_BIND_NUMBER, &b);
    return status ? status : (xpath_variable_set_number(b, value) ? 0 : -1);
}

QUORVEL_API int quorvel_xpath_variable_set_string(quorvel_xpath_variable_set* set, const char* name,
                                                  const char* value) {
    quorvel_xpath_variable_binding* b = nullptr;
    int status = binding_for(set, name, XPATH_BIND_STRING, &b);
    return status ? status : (xpath_variable_set_string(b, value) ? 0 : -1);
}

// ---- Namespace sets -------------------------------------------------------------------------------

QUORVEL_API quorvel_xpath_ns_set* quorvel_xpath_ns_set_new(void) {
    return static_cast<quorvel_xpath_ns_set*>(std::calloc(1, sizeof(quorvel_xpath_ns_set)));
}

QUORVEL_API void quorvel_xpath_ns_set_free(quorvel_xpath_ns_set* set) {
    if (!set) return;
    for (size_t i = 0; i < set->count; i++) {
        std::free(set->prefixes[i]);
        std::free(set->uris[i]);
    }
    std::free(set->prefixes);
    std::free(set->uris);
    std::free(set);
}

QUORVEL_API int quorvel_xpath_ns_set_add(quorvel_xpath_ns_set* set, const char* prefix, const char* uri) {
    if (!set || !prefix || !prefix[0] || !uri || !uri[0]) return -4;
    for (size_t i = 0; i < set->count; i++) {
        if (std::strcmp(set->prefixes[i], prefix) != 0) continue;
        char* copy = copy_text(uri);
        if (!copy) return -1;
        std::free(set->uris[i]);
        set->uris[i] = copy;
        return 0;
    }
    if (set->count == set->capacity) {
        size_t capacity = set->capacity ? set->capacity * 2 : 8;
        auto** prefixes = static_cast<char**>(std::malloc(capacity * sizeof(char*)));
        auto** uris = static_cast<char**>(std::malloc(capacity * sizeof(char*)));
        if (!prefixes || !uris) {
            std::free(prefixes);
            std::free(uris);
            return -1;
        }
        if (set->count) {
            std::memcpy(prefixes, set->prefixes, set->count * sizeof(char*));
            std::memcpy(uris, set->uris, set->count * sizeof(char*));
        }
        std::free(set->prefixes);
        std::free(set->uris);
        set->prefixes = prefixes;
        set->uris = uris;
        set->capacity = capacity;
    }
    char* p = copy_text(prefix);
    char* u = copy_text(uri);
    if (!p || !u) {
        std::free(p);
        std::free(u);
        return -1;
    }
    set->prefixes[set->count] = p;
    set->uris[set->count] = u;
    set->count++;
    return 0;
}

QUORVEL_API quorvel_xpath_ns_set* quorvel_xpath_ns_set_new_from_pairs(const quorvel_xpath_ns_pair* pairs,
                                                                      size_t count) {
    if (!pairs || !count) return nullptr;
    for (size_t i = 0; i < count; i++)
        if (!pairs[i].prefix || !pairs[i].prefix[0] || !pairs[i].uri || !pairs[i].uri[0]) return nullptr;
    quorvel_xpath_ns_set* set = quorvel_xpath_ns_set_new();
    if (!set) return nullptr;
    for (size_t i = 0; i < count; i++)
        if (quorvel_xpath_ns_set_add(set, pairs[i].prefix, pairs[i].uri) != 0) {
            quorvel_xpath_ns_set_free(set);
            return nullptr;
        }
    return set;
}
