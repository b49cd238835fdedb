// Leaf nodes: creators in a bare pool (parsers, copies, other tree
// builders) and in a document (callers), content getters and setters, and
// entity-reference resolution. A leaf and its strings take one bump
// allocation; replaced strings stay in the pool until it goes.
#include "dom/dom.h"

#include "dtd/dtd.h"

namespace {

constexpr size_t round8(size_t n) { return (n + 7) & ~size_t(7); }

// Record of `record` bytes followed by `extra` string bytes, in one block.
void* leaf_block(quorvel_pool* pool, size_t record, size_t extra) {
    if (!pool || extra > SIZE_MAX - 64 - record) return nullptr;
    void* block = quorvel_pool_alloc(pool, round8(record + extra));
    if (block) std::memset(block, 0, record);
    return block;
}

quorvel_comment* content_leaf(int kind, const char* text, size_t length, quorvel_pool* pool) {
    if (!text && length) return nullptr;
    auto* c = static_cast<quorvel_comment*>(leaf_block(pool, sizeof(quorvel_comment), length + 1));
    if (!c) return nullptr;
    char* copy = reinterpret_cast<char*>(c + 1);
    if (length) std::memcpy(copy, text, length);
    copy[length] = '\0';
    c->head.kind = kind;
    c->content = copy;
    return c;
}

// The document a detached or attached leaf belongs to, for the setters.
quorvel_document* leaf_document(const quorvel_node* node) {
    if (quorvel_node* parent = quorvel_node_parent_raw(node); parent && parent->kind == QUORVEL_NODE_ELEMENT)
        return quorvel_element_get_document(reinterpret_cast<quorvel_element*>(parent));
    switch (node->kind) {
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(node);
            return static_cast<quorvel_document*>(quorvel_link_get(t, &t->owner));
        }
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_ENTITY_REF: return reinterpret_cast<const quorvel_comment*>(node)->owner;
        case QUORVEL_NODE_PI: return reinterpret_cast<const quorvel_pi*>(node)->owner;
        default: return nullptr;
    }
}

// Pool copy of s (NULL = "") in the node's document, or a status.
quorvel_status copy_for(const quorvel_node* node, const char* s, char** out, quorvel_document** doc_out) {
    quorvel_document* doc = leaf_document(node);
    if (!doc || !doc->pool) return QUORVEL_ERR_INVALID_ARGUMENT;
    char* copy = quorvel_pool_strdup(doc->pool, s ? s : "");
    if (!copy) return QUORVEL_ERR_MEMORY;
    *out = copy;
    if (doc_out) *doc_out = doc;
    return QUORVEL_OK;
}

quorvel_status set_comment_like(quorvel_node* node, int kind, const char* s) {
    if (!node) return QUORVEL_ERR_NULL_ARGUMENT;
    if (node->kind != kind) return QUORVEL_ERR_INVALID_ARGUMENT;
    char* copy;
    quorvel_status st = copy_for(node, s, &copy, nullptr);
    if (st != QUORVEL_OK) return st;
    reinterpret_cast<quorvel_comment*>(node)->content = copy;
    return QUORVEL_OK;
}

}  // namespace

quorvel_text* quorvel_text_create(const char* text, size_t length, quorvel_pool* pool, quorvel_document* doc) {
    if ((!text && length) || length > UINT32_MAX) return nullptr;
    auto* t = static_cast<quorvel_text*>(leaf_block(pool, sizeof(quorvel_text), length + 1));
    if (!t) return nullptr;
    char* copy = reinterpret_cast<char*>(t + 1);
    if (length) std::memcpy(copy, text, length);
    copy[length] = '\0';
    t->head.kind = QUORVEL_NODE_TEXT;
    t->length = static_cast<uint32_t>(length);
    // A link that cannot be stored reads as empty, as empty content does.
    if (!quorvel_text_link_set(t, &t->content, length ? copy : nullptr, doc)) t->content = 0;
    return t;
}

quorvel_comment* quorvel_comment_create(const char* text, size_t length, quorvel_pool* pool) {
    return content_leaf(QUORVEL_NODE_COMMENT, text, length, pool);
}

quorvel_comment* quorvel_cdata_create(const char* text, size_t length, quorvel_pool* pool) {
    return content_leaf(QUORVEL_NODE_CDATA, text, length, pool);
}

quorvel_comment* quorvel_entity_ref_create(const char* name, size_t length, quorvel_pool* pool) {
    if (!name || length == 0) return nullptr;
    return content_leaf(QUORVEL_NODE_ENTITY_REF, name, length, pool);
}

quorvel_pi* quorvel_pi_create(const char* target, size_t target_length, const char* data, size_t data_length,
                              quorvel_pool* pool) {
    if (!target || target_length == 0 || (!data && data_length)) return nullptr;
    if (target_length > SIZE_MAX / 4 || data_length > SIZE_MAX / 4) return nullptr;
    size_t extra = target_length + 1 + (data_length ? data_length + 1 : 0);
    auto* pi = static_cast<quorvel_pi*>(leaf_block(pool, sizeof(quorvel_pi), extra));
    if (!pi) return nullptr;
    char* t = reinterpret_cast<char*>(pi + 1);
    std::memcpy(t, target, target_length);
    t[target_length] = '\0';
    pi->head.kind = QUORVEL_NODE_PI;
    pi->target = t;
    if (data_length) {
        char* d = t + target_length + 1;
        std::memcpy(d, data, data_length);
        d[data_length] = '\0';
        pi->data = d;
    }
    return pi;
}

quorvel_doctype* quorvel_doctype_create(const char* name, size_t length, quorvel_pool* pool) {
    if (!name) return nullptr;
    auto* dt = static_cast<quorvel_doctype*>(leaf_block(pool, sizeof(quorvel_doctype), length + 1));
    if (!dt) return nullptr;
    char* n = reinterpret_cast<char*>(dt + 1);
    std::memcpy(n, name, length);
    n[length] = '\0';
    dt->head.kind = QUORVEL_NODE_DOCTYPE;
    dt->name = n;
    return dt;
}

const char* quorvel_text_get_content(const quorvel_text* text) {
    if (!text) return "";
    const char* s = quorvel_text_link_get(text, &text->content);
    return s ? s : "";
}

const char* quorvel_entity_ref_resolve(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_ENTITY_REF) return nullptr;
    auto* ref = reinterpret_cast<const quorvel_comment*>(node);
    const char* name = ref->content;
    if (!name || !*name) return nullptr;
    static const struct { const char* name; const char* text; } kPredefined[] = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"apos", "'"}, {"quot", "\""}};
    for (const auto& p : kPredefined)
        if (std::strcmp(name, p.name) == 0) return p.text;
    quorvel_document* doc = ref->owner;
    if (!doc) {
        quorvel_node* parent = quorvel_node_parent_raw(node);
        if (parent && parent->kind == QUORVEL_NODE_ELEMENT)
            doc = quorvel_element_get_document(reinterpret_cast<quorvel_element*>(parent));
    }
    if (!doc) return nullptr;
    quorvel_dtd* dtd = quorvel_document_get_dtd(doc);
    if (!dtd) return nullptr;
    quorvel_dtd_entity* entity = ttdtd_lookup_entity(dtd, name);
    if (!entity || entity->is_external) return nullptr;
    return entity->value;
}

extern "C" {

QUORVEL_API quorvel_node* quorvel_text_node_create(quorvel_document* doc, const char* text) {
    if (!doc || !doc->pool) return nullptr;
    if (!text) text = "";
    quorvel_text* t = quorvel_text_create(text, std::strlen(text), doc->pool, doc);
    if (!t) return nullptr;
    if (!quorvel_link_set(t, &t->owner, doc, doc)) t->owner = 0;
    return &t->head;
}

static quorvel_node* document_leaf(quorvel_document* doc, quorvel_comment* c) {
    if (!c) return nullptr;
    c->owner = doc;
    return &c->head;
}

QUORVEL_API quorvel_node* quorvel_comment_node_create(quorvel_document* doc, const char* text) {
    if (!doc || !doc->pool) return nullptr;
    if (!text) text = "";
    return document_leaf(doc, quorvel_comment_create(text, std::strlen(text), doc->pool));
}

QUORVEL_API quorvel_node* quorvel_cdata_node_create(quorvel_document* doc, const char* text) {
    if (!doc || !doc->pool) return nullptr;
    if (!text) text = "";
    return document_leaf(doc, quorvel_cdata_create(text, std::strlen(text), doc->pool));
}

QUORVEL_API quorvel_node* quorvel_entity_ref_node_create(quorvel_document* doc, const char* name) {
    if (!doc || !doc->pool || !name || !*name) return nullptr;
    return document_leaf(doc, quorvel_entity_ref_create(name, std::strlen(name), doc->pool));
}

QUORVEL_API quorvel_node* quorvel_pi_node_create(quorvel_document* doc, const char* target, const char* data) {
    if (!doc || !doc->pool || !target || !*target) return nullptr;
    quorvel_pi* pi = quorvel_pi_create(target, std::strlen(target), data, data ? std::strlen(data) : 0, doc->pool);
    if (!pi) return nullptr;
    pi->owner = doc;
    return &pi->head;
}

QUORVEL_API const char* quorvel_text_node_get_content(const quorvel_node* node) {
    if (!node) return nullptr;
    if (node->kind == QUORVEL_NODE_TEXT) return quorvel_text_get_content(reinterpret_cast<const quorvel_text*>(node));
    if (node->kind == QUORVEL_NODE_CDATA) return reinterpret_cast<const quorvel_comment*>(node)->content;
    return nullptr;
}

QUORVEL_API const char* quorvel_comment_node_get_content(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_COMMENT) return nullptr;
    return reinterpret_cast<const quorvel_comment*>(node)->content;
}

QUORVEL_API const char* quorvel_cdata_node_get_content(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_CDATA) return nullptr;
    return reinterpret_cast<const quorvel_comment*>(node)->content;
}

QUORVEL_API const char* quorvel_pi_node_get_target(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_PI) return nullptr;
    return reinterpret_cast<const quorvel_pi*>(node)->target;
}

QUORVEL_API const char* quorvel_pi_node_get_data(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_PI) return nullptr;
    return reinterpret_cast<const quorvel_pi*>(node)->data;
}

QUORVEL_API const char* quorvel_entity_ref_node_name(const quorvel_node* node) {
    if (!node || node->kind != QUORVEL_NODE_ENTITY_REF) return nullptr;
    return reinterpret_cast<const quorvel_comment*>(node)->content;
}

QUORVEL_API quorvel_status quorvel_text_node_set_content(quorvel_node* node, const char* text) {
    if (!node) return QUORVEL_ERR_NULL_ARGUMENT;
    if (node->kind != QUORVEL_NODE_TEXT) return QUORVEL_ERR_INVALID_ARGUMENT;
    char* copy;
    quorvel_document* doc;
    quorvel_status st = copy_for(node, text, &copy, &doc);
    if (st != QUORVEL_OK) return st;
    auto* t = reinterpret_cast<quorvel_text*>(node);
    size_t length = std::strlen(copy);
    if (length > UINT32_MAX) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (!quorvel_text_link_set(t, &t->content, length ? copy : nullptr, doc)) return QUORVEL_ERR_MEMORY;
    t->length = static_cast<uint32_t>(length);
    // The new content is a whole C string, no longer a counted view.
    t->head.flags &= ~kTextCounted;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_cdata_node_set_content(quorvel_node* node, const char* text) {
    return set_comment_like(node, QUORVEL_NODE_CDATA, text);
}

QUORVEL_API quorvel_status quorvel_comment_node_set_content(quorvel_node* node, const char* text) {
    return set_comment_like(node, QUORVEL_NODE_COMMENT, text);
}

QUORVEL_API quorvel_status quorvel_pi_node_set_target(quorvel_node* node, const char* target) {
    if (!node) return QUORVEL_ERR_NULL_ARGUMENT;
    if (node->kind != QUORVEL_NODE_PI) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (!target) return QUORVEL_ERR_NULL_ARGUMENT;
    char* copy;
    quorvel_status st = copy_for(node, target, &copy, nullptr);
    if (st != QUORVEL_OK) return st;
    reinterpret_cast<quorvel_pi*>(node)->target = copy;
    return QUORVEL_OK;
}

QUORVEL_API quorvel_status quorvel_pi_node_set_data(quorvel_node* node, const char* data) {
    if (!node) return QUORVEL_ERR_NULL_ARGUMENT;
    if (node->kind != QUORVEL_NODE_PI) return QUORVEL_ERR_INVALID_ARGUMENT;
    char* copy;
    quorvel_status st = copy_for(node, data, &copy, nullptr);
    if (st != QUORVEL_OK) return st;
    reinterpret_cast<quorvel_pi*>(node)->data = copy;
    return QUORVEL_OK;
}

}  // extern "C"
