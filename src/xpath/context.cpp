// The evaluation context and the function registry: context set-up and
// release, function-call dispatch, and the functions an application
// registers on a document.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

// The process-wide standard registry, filled by the function library on the
// first context set-up. Made once, never freed; a constant-initialised
// record, so no guarded static is needed.
constinit quorvel_xpath_function_registry g_standard_registry{nullptr, 0, 0};

constexpr const char* kPrebound[][2] = {
    {"fn", "http://www.w3.org/2005/xpath-functions"},
    {"xs", "http://www.w3.org/2001/XMLSchema"},
    {"math", "http://www.w3.org/2005/xpath-functions/math"},
    {"map", "http://www.w3.org/2005/xpath-functions/map"},
    {"array", "http://www.w3.org/2005/xpath-functions/array"},
    {"err", "http://www.w3.org/2005/xqt-errors"},
};

constexpr const char* kExtensionNamespaces[] = {
    "http://www.w3.org/2005/xpath-functions",
    "http://www.w3.org/2005/xpath-functions/math",
    "http://www.w3.org/2001/XMLSchema",
    "http://www.w3.org/2005/xpath-functions/map",
    "http://www.w3.org/2005/xpath-functions/array",
    "http://exslt.org/common",
    "http://exslt.org/sets",
    "http://exslt.org/strings",
    "http://exslt.org/math",
    "http://exslt.org/dates-and-times",
    "http://exslt.org/regular-expressions",
    "http://exslt.org/dynamic",
    "http://www.w3.org/1999/XSL/Transform",
    "http://xmlsoft.org/XSLT/namespace",
};

const char* const g_supported_functions[] = {
    "last", "position", "string", "concat", "starts-with", "contains", "substring-before", "substring-after",
    "substring", "string-length", "normalize-space", "translate", "upper-case", "lower-case", "string-join",
    "boolean", "not", "true", "false", "lang", "number", "sum", "floor", "ceiling", "round", "count", "id",
    "local-name", "namespace-uri", "name", nullptr,
};

quorvel_xpath_registry_entry* entries_of(const quorvel_xpath_function_registry* r) {
    return static_cast<quorvel_xpath_registry_entry*>(r->entries);
}

const quorvel_xpath_registry_entry* registry_find(const quorvel_xpath_function_registry* r, const char* name,
                                                  size_t length) {
    quorvel_xpath_registry_entry* e = entries_of(r);
    for (size_t i = 0; i < r->count; i++)
        if (std::strlen(e[i].name) == length && std::memcmp(e[i].name, name, length) == 0) return &e[i];
    return nullptr;
}

quorvel_xpath_registry_entry* registry_find_mutable(quorvel_xpath_function_registry* r, const char* name) {
    quorvel_xpath_registry_entry* e = entries_of(r);
    for (size_t i = 0; i < r->count; i++)
        if (std::strcmp(e[i].name, name) == 0) return &e[i];
    return nullptr;
}

// Appends or replaces; false when the array cannot grow.
bool registry_put(quorvel_xpath_function_registry* r, const char* name, quorvel_xpath_function function, int min_args,
                  int max_args, void* user_data) {
    if (quorvel_xpath_registry_entry* e = registry_find_mutable(r, name)) {
        e->function = function;
        e->min_args = min_args;
        e->max_args = max_args;
        e->user_data = user_data;
        return true;
    }
    if (r->count == r->capacity) {
        size_t capacity = r->capacity ? r->capacity * 2 : 8;
        void* grown = std::realloc(r->entries, capacity * sizeof(quorvel_xpath_registry_entry));
        if (!grown) return false;
        r->entries = grown;
        r->capacity = capacity;
    }
    entries_of(r)[r->count++] = {name, function, min_args, max_args, user_data};
    return true;
}

quorvel_xpath_result* custom_xpath_thunk(quorvel_xpath_context* context, quorvel_xpath_ast_node** arguments,
                                         size_t count) {
    if (!context || !context->function_user_data) return nullptr;
    auto* record = static_cast<quorvel_xpath_user_function_record*>(context->function_user_data);
    auto function = reinterpret_cast<quorvel_xpath_user_fn>(record->function);
    if (!function || count > 32) return nullptr;
    char* strings[32];
    const char* passed[32];
    for (size_t i = 0; i < count; i++) {
        quorvel_xpath_result* value = evaluate_expr(context, arguments[i]);
        char* text = value ? xpath_to_string(value) : nullptr;
        xpath_result_free(value);
        if (!text) {
            if (value) xpath_context_fail(context, "Out of memory");
            for (size_t j = 0; j < i; j++) std::free(strings[j]);
            return nullptr;
        }
        strings[i] = text;
        passed[i] = text;
    }
    char* out = function(passed, static_cast<int>(count), record->user_data);
    for (size_t i = 0; i < count; i++) std::free(strings[i]);
    if (!out) return nullptr;
    quorvel_xpath_result* result = xpath_result_new(XPATH_STRING);
    if (!result) {
        std::free(out);
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    result->value.string = out;
    return result;
}

// The registry for a document with application functions: the standard
// entries and then every application function, newest first, so that the
// earliest registration of a name is the one left standing.
quorvel_xpath_function_registry* build_document_registry(quorvel_document* doc) {
    auto* r = static_cast<quorvel_xpath_function_registry*>(std::calloc(1, sizeof(quorvel_xpath_function_registry)));
    if (!r) return nullptr;
    bool ok = true;
    for (size_t i = 0; ok && i < g_standard_registry.count; i++) {
        const quorvel_xpath_registry_entry& e = entries_of(&g_standard_registry)[i];
        ok = registry_put(r, e.name, e.function, e.min_args, e.max_args, e.user_data);
    }
    for (quorvel_xpath_user_function* f = doc->user_functions; ok && f; f = f->next)
        ok = registry_put(r, f->name, custom_xpath_thunk, 0, 32, f->record);
    if (!ok) {
        quorvel_xpath_registry_drop(r);
        return nullptr;
    }
    return r;
}

pthread_mutex_t g_adopt_mutex = PTHREAD_MUTEX_INITIALIZER;

// The node an item stands in the tree for: synthetic attribute and
// namespace records by their element, node references by their element.
// NULL for atomic items.
const quorvel_node* tree_node_of(const quorvel_node* n) {
    switch (n->kind) {
    case kXpathAttributeNode:
        return reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_attribute_node*>(n)->owner);
    case kXpathNamespaceNode:
        return reinterpret_cast<const quorvel_node*>(reinterpret_cast<const quorvel_xpath_namespace_node*>(n)->parent);
    case kXpathCarrierNode: return xpath_carrier_referenced_node(n);
    default: return n;
    }
}

// Index of the kept document holding node, or kept_count when none does.
size_t kept_index_of(const quorvel_xpath_context* c, const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_DOCUMENT) {
        const quorvel_document* d = reinterpret_cast<const quorvel_document_node_record*>(n)->document;
        for (size_t i = 0; i < c->kept_count; i++)
            if (c->kept_documents[i] == d) return i;
        return c->kept_count;
    }
    // Up to the top of the tree: a root element, a top-level node or a
    // detached subtree; its document is the one that made it.
    for (const quorvel_node* p = n; p; p = quorvel_node_parent_raw(p)) n = p;
    const quorvel_document* d = node_public_document(n);
    for (size_t i = 0; d && i < c->kept_count; i++)
        if (c->kept_documents[i] == d) return i;
    return c->kept_count;
}

}  // namespace

quorvel_status xpath_adopt_document(quorvel_document* owner, quorvel_document* doc) {
    pthread_mutex_lock(&g_adopt_mutex);
    quorvel_status status = quorvel_document_adopt_child(owner, doc);
    pthread_mutex_unlock(&g_adopt_mutex);
    return status;
}

void xpath_context_keep_for_result(quorvel_xpath_context* c, const quorvel_xpath_result* result) {
    if (!c || !c->kept_count || !result || result->kind != XPATH_NODESET || !result->value.nodeset) return;
    if (!c->document) return;
    const quorvel_xpath_node_set* s = result->value.nodeset;
    // needed[i]: the result refers to kept document i. A map, array or
    // function item may hold nodes anywhere: then every document stays.
    bool stack_marks[16] = {};
    bool* needed = c->kept_count <= 16 ? stack_marks : static_cast<bool*>(std::calloc(c->kept_count, sizeof(bool)));
    bool keep_all = needed == nullptr;
    for (size_t i = 0; !keep_all && i < s->count; i++) {
        const quorvel_node* item = s->items[i];
        if (reinterpret_cast<uintptr_t>(item) <= kXpathLowestItem) continue;
        if (item->kind == kXpathCarrierNode) {
            int32_t ref = reinterpret_cast<const quorvel_xpath_carrier*>(item)->ref_kind;
            if (ref == XPATH_REF_MAP || ref == XPATH_REF_FUNCTION) {
                keep_all = true;
                break;
            }
        }
        const quorvel_node* n = tree_node_of(item);
        if (!n) continue;
        size_t k = kept_index_of(c, n);
        if (k < c->kept_count) needed[k] = true;
    }
    size_t left = 0;
    for (size_t i = 0; i < c->kept_count; i++) {
        quorvel_document* d = c->kept_documents[i];
        if ((keep_all || needed[i]) && xpath_adopt_document(c->document, d) == QUORVEL_OK) continue;
        c->kept_documents[left++] = d;
    }
    c->kept_count = left;
    if (needed && needed != stack_marks) std::free(needed);
}

void xpath_context_fail(quorvel_xpath_context* context, const char* format, ...) {
    if (!context || context->error[0]) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(context->error, sizeof context->error, format, args);
    va_end(args);
}

void xpath_function_registry_register(quorvel_xpath_function_registry* registry, const char* name,
                                      quorvel_xpath_function function, int min_args, int max_args) {
    if (!registry || !name || !function) return;
    registry_put(registry, name, function, min_args, max_args, nullptr);
}

void xpath_function_registry_free(quorvel_xpath_function_registry* registry) {
    if (registry == &g_standard_registry) return;
    quorvel_xpath_registry_drop(registry);
}

void xpath_context_init(quorvel_xpath_context* context, quorvel_document* document, quorvel_node* node) {
    std::memset(context, 0, sizeof *context);
    context->document = document;
    context->node = node;
    context->position = 1;
    context->size = 1;
    xpath_standard_registry_ready(&g_standard_registry);
    context->registry = &g_standard_registry;
    // Extras that need a document registry. The template and transformation
    // hooks, the EXSLT set and the key table join here when their subsystems
    // are built; until then only application functions do.
    if (document && document->user_functions) {
        if (!document->function_registry) document->function_registry = build_document_registry(document);
        if (document->function_registry) {
            context->registry = document->function_registry;
            context->registry_borrowed = 1;
        }
    }
}

void xpath_context_cleanup(quorvel_xpath_context* context) {
    if (!context) return;
    for (size_t i = 0; i < context->query_ns_count; i++) {
        std::free(context->query_ns[i].prefix);
        std::free(context->query_ns[i].uri);
    }
    std::free(context->query_ns);
    context->query_ns = nullptr;
    context->query_ns_count = context->query_ns_capacity = 0;
    if (!context->registry_borrowed) xpath_function_registry_free(context->registry);
    context->registry = nullptr;
    context->registry_borrowed = 0;
    for (size_t i = 0; i < context->kept_count; i++) quorvel_document_free(context->kept_documents[i]);
    std::free(context->kept_documents);
    context->kept_documents = nullptr;
    context->kept_count = context->kept_capacity = 0;
    for (size_t i = 0; i < context->memo_count; i++) std::free(context->memo[i].text);
    std::free(context->memo);
    context->memo = nullptr;
    context->memo_count = context->memo_capacity = 0;
    xpath_rank_table_free(context->ranks);
    context->ranks = nullptr;
}

const char* xpath_expr_prefix_uri(quorvel_xpath_context* context, const char* prefix, size_t length) {
    if (!context || !prefix || !length) return nullptr;
    if (length > 2 && prefix[0] == 'Q' && prefix[1] == '{') return prefix + 2;  // a name written Q{uri}local
    if (const quorvel_xpath_ns_set* set = context->namespaces) {
        for (size_t i = 0; i < set->count; i++) {
            if (std::strlen(set->prefixes[i]) == length && std::memcmp(set->prefixes[i], prefix, length) == 0)
                return set->uris[i] && set->uris[i][0] ? set->uris[i] : nullptr;
        }
    }
    for (size_t i = 0; i < context->query_ns_count; i++) {
        const quorvel_xpath_query_ns& d = context->query_ns[i];
        if (d.prefix && std::strlen(d.prefix) == length && std::memcmp(d.prefix, prefix, length) == 0) return d.uri;
    }
    if (length != 5 || std::memcmp(prefix, "xmlns", 5) != 0) return nullptr;
    quorvel_node* start = context->node;
    if (start && start->kind == QUORVEL_NODE_DOCUMENT && context->document)
        start = reinterpret_cast<quorvel_node*>(quorvel_document_root(context->document));
    if (!start || start->kind != QUORVEL_NODE_ELEMENT) return nullptr;
    const char* uri = quorvel_element_namespace_for_prefix(reinterpret_cast<quorvel_element*>(start), nullptr);
    return uri && uri[0] ? uri : nullptr;
}

const quorvel_xpath_registry_entry* xpath_resolve_function(quorvel_xpath_context* context, const char* name) {
    if (!context || !context->registry || !name) return nullptr;
    const quorvel_xpath_registry_entry* entry = registry_find(context->registry, name, std::strlen(name));
    if (!entry) {
        const char* colon = std::strchr(name, ':');
        if (colon && colon[1]) {
            size_t plen = static_cast<size_t>(colon - name);
            const char* uri = nullptr;
            bool searched_set = false;
            if (context->namespaces && plen) {
                const quorvel_xpath_ns_set* set = context->namespaces;
                for (size_t i = 0; i < set->count; i++) {
                    if (std::strlen(set->prefixes[i]) == plen && !std::memcmp(set->prefixes[i], name, plen)) {
                        uri = set->uris[i] && set->uris[i][0] ? set->uris[i] : nullptr;
                        searched_set = uri != nullptr;
                        break;
                    }
                }
            }
            if (!searched_set) {
                for (const auto& p : kPrebound)
                    if (std::strlen(p[0]) == plen && !std::memcmp(p[0], name, plen)) uri = p[1];
            }
            bool known = false;
            for (const char* ns : kExtensionNamespaces)
                if (uri && !std::strcmp(uri, ns)) known = true;
            size_t local_length = std::strlen(colon + 1);
            if (known && local_length <= 127) entry = registry_find(context->registry, colon + 1, local_length);
        }
    }
    return entry;
}

quorvel_xpath_result* evaluate_function_call_impl(quorvel_xpath_context* context, const quorvel_xpath_ast_node* call) {
    if (!context) return nullptr;
    if (!call || call->type != AST_FUNCTION_CALL) {
        xpath_context_fail(context, "Invalid function call node");
        return nullptr;
    }
    const char* name = call->text;
    if (!name) {
        xpath_context_fail(context, "Function call missing name");
        return nullptr;
    }
    size_t n = call->count;
    if (n == 0 && (!std::strcmp(name, "position") || !std::strcmp(name, "last"))) {
        quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
        if (!r) {
            xpath_context_fail(context, "Out of memory");
            return nullptr;
        }
        r->value.number = static_cast<double>(name[0] == 'p' ? context->position : context->size);
        return r;
    }
    if (!context->registry) {
        xpath_context_fail(context, "Function registry not initialized");
        return nullptr;
    }
    const quorvel_xpath_registry_entry* entry = xpath_resolve_function(context, name);
    if (!entry) {
        xpath_context_fail(context, "Unknown function: %s", name);
        return nullptr;
    }
    if (static_cast<long long>(n) < entry->min_args || (entry->max_args >= 0 && n > static_cast<size_t>(entry->max_args))) {
        xpath_context_fail(context, "Function %s expects %d-%d arguments, got %zu", name, entry->min_args,
                           entry->max_args, n);
        return nullptr;
    }
    void* saved = context->function_user_data;
    context->function_user_data = entry->user_data;
    quorvel_xpath_result* result = entry->function(context, call->children, n);
    context->function_user_data = saved;
    return result;
}

QUORVEL_API int quorvel_xpath_register_function(quorvel_document* doc, const char* name,
                                                quorvel_xpath_user_fn function, void* user_data) {
    if (!doc || !name || !function) return -4;
    auto* entry = static_cast<quorvel_xpath_user_function*>(std::calloc(1, sizeof(quorvel_xpath_user_function)));
    auto* record = static_cast<quorvel_xpath_user_function_record*>(
        std::calloc(1, sizeof(quorvel_xpath_user_function_record)));
    size_t length = std::strlen(name);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (!entry || !record || !copy) {
        std::free(entry);
        std::free(record);
        std::free(copy);
        return -1;
    }
    std::memcpy(copy, name, length + 1);
    record->function = reinterpret_cast<void*>(function);
    record->user_data = user_data;
    entry->name = copy;
    entry->function = record->function;
    entry->record = record;
    entry->next = doc->user_functions;
    doc->user_functions = entry;
    quorvel_xpath_registry_drop(doc->function_registry);
    doc->function_registry = nullptr;
    return 0;
}

QUORVEL_API int quorvel_xpath_function_supported(const char* name) {
    if (!name) return 0;
    for (const char* const* p = g_supported_functions; *p; p++)
        if (!std::strcmp(*p, name)) return 1;
    return 0;
}

QUORVEL_API const char* const* quorvel_xpath_supported_functions(void) { return g_supported_functions; }
