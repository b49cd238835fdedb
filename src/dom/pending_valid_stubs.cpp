// Stand-in for the attribute setter until the attribute-mutation module is
// merged (removed then, with pending_valid_decls.h). Replaces the value of
// an attribute stored under exactly this name, else appends a new one; both
// copies go into the document's pool. Not exported.
#include <cstring>

#include "dom/element_api.h"
#include "dom/pending_valid_decls.h"

extern "C" quorvel_status quorvel_element_set_attribute(quorvel_element* element, const char* name,
                                                        const char* value) {
    if (!element || !name) return QUORVEL_ERR_NULL_ARGUMENT;
    if (element->head.kind != QUORVEL_NODE_ELEMENT || !*name) return QUORVEL_ERR_INVALID_ARGUMENT;
    quorvel_document* doc = quorvel_element_get_document(element);
    if (!doc || !doc->pool) return QUORVEL_ERR_MEMORY;
    size_t name_length = std::strlen(name);
    char* stored_value = quorvel_pool_strdup(doc->pool, value ? value : "");
    if (!stored_value) return QUORVEL_ERR_MEMORY;
    if (quorvel_attribute* a = quorvel_dom_attr_find(element, name, name_length)) {
        a->value = stored_value;
        a->value_length = std::strlen(stored_value);
        a->hash &= static_cast<uint16_t>(~kAttrPendingEntities);
        element->head.flags += kModStep;
        return QUORVEL_OK;
    }
    auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attribute)));
    char* stored_name = quorvel_pool_strndup(doc->pool, name, name_length);
    if (!a || !stored_name) return QUORVEL_ERR_MEMORY;
    std::memset(static_cast<void*>(a), 0, sizeof *a);
    a->name = stored_name;
    a->name_length = name_length;
    a->value = stored_value;
    a->value_length = std::strlen(stored_value);
    if (const char* colon = std::strchr(stored_name, ':')) {
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attr_ns)));
        if (!ns) return QUORVEL_ERR_MEMORY;
        std::memset(static_cast<void*>(ns), 0, sizeof *ns);
        ns->prefix = quorvel_pool_strndup(doc->pool, stored_name, static_cast<size_t>(colon - stored_name));
        ns->owner = element;
        if (!ns->prefix || !quorvel_link_set(a, &a->ns, ns, doc)) return QUORVEL_ERR_MEMORY;
    }
    quorvel_attribute* last = nullptr;
    for (quorvel_attribute* x = quorvel_elem_first_attr(element); x; x = quorvel_attr_next(x)) last = x;
    bool linked = last ? quorvel_link16_set(last, &last->next, a, doc)
                       : quorvel_link_set(element, &element->first_attr, a, doc);
    if (!linked) return QUORVEL_ERR_MEMORY;
    if (doc->last_attr_element == element) {
        doc->last_attr_element = nullptr;
        doc->last_attr = nullptr;
    }
    quorvel_element_attr_count_inc(element);
    element->head.flags += kModStep;
    return QUORVEL_OK;
}
