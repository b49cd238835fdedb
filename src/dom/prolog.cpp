// Everything of a document outside its root element: the XML declaration,
// the doctype node and the top-level list of comments, processing
// instructions, the root and any text the parser kept there.
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"

namespace {

// The top-level list ends at a link of 0 or at a node of a kind that has no
// place in it.
quorvel_node* top_next(const quorvel_node* n) {
    return quorvel_node_chain_kind(n) ? quorvel_node_next_raw(n) : nullptr;
}

quorvel_node* nth_of_kind(const quorvel_document* doc, int kind, size_t index) {
    if (!doc) return nullptr;
    for (quorvel_node* n = doc->first_top; n; n = top_next(n))
        if (n->kind == kind && index-- == 0) return n;
    return nullptr;
}

size_t count_of_kind(const quorvel_document* doc, int kind) {
    size_t count = 0;
    if (doc)
        for (quorvel_node* n = doc->first_top; n; n = top_next(n)) count += n->kind == kind;
    return count;
}

// False, with the list unchanged, when the link cannot be recorded.
[[nodiscard]] bool append_top(quorvel_document* doc, quorvel_node* node) {
    quorvel_node_clear_next_sibling(node);
    // An empty list stands for the root alone: the root joins it first, or
    // the list would lose it.
    if (!doc->first_top) {
        auto* root = reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
        if (root) {
            if (!quorvel_node_set_next_sibling(root, node)) return false;
            doc->first_top = root;
            doc->last_top = node;
            return true;
        }
    }
    if (doc->last_top) {
        if (!quorvel_node_set_next_sibling(doc->last_top, node)) return false;
    } else {
        doc->first_top = node;
    }
    doc->last_top = node;
    return true;
}

quorvel_status set_string(quorvel_document* doc, char*& field, const char* value) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!value || !*value) return QUORVEL_ERR_INVALID_ARGUMENT;
    char* copy = xsd_strdup(value);
    if (!copy) return QUORVEL_ERR_MEMORY;
    std::free(field);
    field = copy;
    doc->has_declaration = 1;
    return QUORVEL_OK;
}

}  // namespace

extern "C" {

QUORVEL_API const char* quorvel_document_version(const quorvel_document* doc) {
    return doc ? doc->declared_version : nullptr;
}
QUORVEL_API const char* quorvel_document_encoding(const quorvel_document* doc) {
    return doc ? doc->declared_encoding : nullptr;
}
QUORVEL_API int quorvel_document_standalone(const quorvel_document* doc) { return doc ? doc->standalone : -1; }

QUORVEL_API quorvel_status quorvel_document_set_version(quorvel_document* doc, const char* version) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    return set_string(doc, doc->declared_version, version);
}

QUORVEL_API quorvel_status quorvel_document_set_encoding(quorvel_document* doc, const char* encoding) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    return set_string(doc, doc->declared_encoding, encoding);
}

QUORVEL_API quorvel_status quorvel_document_set_standalone(quorvel_document* doc, int standalone) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    doc->standalone = standalone != 0;
    doc->has_declaration = 1;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_document_clear_declaration(quorvel_document* doc) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    std::free(doc->declared_version);
    std::free(doc->declared_encoding);
    doc->declared_version = doc->declared_encoding = nullptr;
    doc->standalone = -1;
    doc->has_declaration = 0;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_doctype* quorvel_document_set_doctype(quorvel_document* doc, const char* name,
                                                          const char* public_id, const char* system_id) {
    if (!doc || !name || !*name || !doc->pool) return nullptr;
    size_t name_len = std::strlen(name);
    // The name lies right behind the record.
    auto* dt = static_cast<quorvel_doctype*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_doctype) + name_len + 1));
    if (!dt) return nullptr;
    *dt = quorvel_doctype{};
    dt->head.kind = QUORVEL_NODE_DOCTYPE;
    dt->name = reinterpret_cast<char*>(dt + 1);
    std::memcpy(dt->name, name, name_len + 1);
    if (public_id && *public_id) dt->public_id = quorvel_pool_strdup(doc->pool, public_id);
    if (system_id && *system_id) dt->system_id = quorvel_pool_strdup(doc->pool, system_id);
    doc->doctype = dt;
    return dt;
}

QUORVEL_API quorvel_status quorvel_document_remove_doctype(quorvel_document* doc) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    if (!doc->doctype) return QUORVEL_ERR_NOT_FOUND;
    doc->doctype = nullptr;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_doctype* quorvel_document_internal_subset(const quorvel_document* doc) {
    return doc ? doc->doctype : nullptr;
}
QUORVEL_API const char* quorvel_doctype_get_name(const quorvel_doctype* dt) { return dt ? dt->name : nullptr; }
QUORVEL_API const char* quorvel_doctype_get_root_name(const quorvel_doctype* dt) { return dt ? dt->name : nullptr; }
QUORVEL_API const char* quorvel_doctype_get_public_id(const quorvel_doctype* dt) {
    return dt ? dt->public_id : nullptr;
}
QUORVEL_API const char* quorvel_doctype_get_system_id(const quorvel_doctype* dt) {
    return dt ? dt->system_id : nullptr;
}
QUORVEL_API const char* quorvel_doctype_get_internal_subset(const quorvel_doctype* dt) {
    return dt ? dt->internal_subset : nullptr;
}

QUORVEL_API size_t quorvel_document_pi_count(const quorvel_document* doc) {
    return count_of_kind(doc, QUORVEL_NODE_PI);
}

QUORVEL_API const char* quorvel_document_pi_target(const quorvel_document* doc, size_t index) {
    quorvel_node* n = nth_of_kind(doc, QUORVEL_NODE_PI, index);
    return n ? reinterpret_cast<quorvel_pi*>(n)->target : nullptr;
}

QUORVEL_API const char* quorvel_document_pi_data(const quorvel_document* doc, size_t index) {
    quorvel_node* n = nth_of_kind(doc, QUORVEL_NODE_PI, index);
    return n ? reinterpret_cast<quorvel_pi*>(n)->data : nullptr;
}

QUORVEL_API size_t quorvel_document_comment_count(const quorvel_document* doc) {
    return count_of_kind(doc, QUORVEL_NODE_COMMENT);
}

QUORVEL_API const char* quorvel_document_comment_content(const quorvel_document* doc, size_t index) {
    quorvel_node* n = nth_of_kind(doc, QUORVEL_NODE_COMMENT, index);
    return n ? reinterpret_cast<quorvel_comment*>(n)->content : nullptr;
}

QUORVEL_API quorvel_node* quorvel_document_add_comment(quorvel_document* doc, const char* text) {
    if (!doc) return nullptr;
    quorvel_node* node = quorvel_comment_node_create(doc, text);
    if (node && !append_top(doc, node)) return nullptr;
    return node;
}

QUORVEL_API quorvel_node* quorvel_document_append_pi(quorvel_document* doc, const char* target, const char* data) {
    if (!doc || !target || !*target) return nullptr;
    quorvel_node* node = quorvel_pi_node_create(doc, target, data);
    if (node && !append_top(doc, node)) return nullptr;
    return node;
}

QUORVEL_API quorvel_node* quorvel_document_add_pi(quorvel_document* doc, const char* target, const char* data) {
    if (!doc || !target || !*target) return nullptr;
    quorvel_node* root = reinterpret_cast<quorvel_node*>(doc->root ? doc->root : doc->secondary_root);
    quorvel_node* pi = quorvel_pi_node_create(doc, target, data);
    if (!pi) return nullptr;
    if (!root) return append_top(doc, pi) ? pi : nullptr;
    quorvel_node* prev = nullptr;
    quorvel_node* n = doc->first_top;
    // The instruction's own link first: when the one into it then fails,
    // nothing in the list has changed.
    for (; n; prev = n, n = top_next(n)) {
        if (n != root) continue;
        if (!quorvel_node_set_next_sibling(pi, root)) return nullptr;
        if (prev) {
            if (!quorvel_node_set_next_sibling(prev, pi)) return nullptr;
        } else {
            doc->first_top = pi;
        }
        return pi;
    }
    // The root is not in the list (installed into an empty list): it joins
    // behind the instruction.
    if (!quorvel_node_set_next_sibling(pi, root)) return nullptr;
    if (prev) {
        if (!quorvel_node_set_next_sibling(prev, pi)) return nullptr;
    } else {
        doc->first_top = pi;
    }
    quorvel_node_clear_next_sibling(root);
    doc->last_top = root;
    return pi;
}

QUORVEL_API quorvel_status quorvel_document_remove_child(quorvel_document* doc, quorvel_node* node) {
    if (!doc || !node) return QUORVEL_ERR_NULL_ARGUMENT;
    if (node->kind != QUORVEL_NODE_COMMENT && node->kind != QUORVEL_NODE_PI) return QUORVEL_ERR_INVALID_ARGUMENT;
    return quorvel_document_unlink_top(doc, node);
}

QUORVEL_API quorvel_node* quorvel_document_remove_pi(quorvel_document* doc, const char* target, size_t index) {
    if (!doc) return nullptr;
    for (quorvel_node* n = doc->first_top; n; n = top_next(n)) {
        if (n->kind != QUORVEL_NODE_PI) continue;
        const char* t = reinterpret_cast<quorvel_pi*>(n)->target;
        bool match = target ? (t && std::strcmp(t, target) == 0) : index-- == 0;
        if (!match) continue;
        // A detached instruction reports no successor.
        return quorvel_document_unlink_top(doc, n) == QUORVEL_OK ? n : nullptr;
    }
    return nullptr;
}

}  // extern "C"
