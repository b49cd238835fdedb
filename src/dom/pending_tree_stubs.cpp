// Minimal leaf creators standing in for the leaf-node module until it is
// merged (removed then, with pending_tree_decls.h). Records as the leaf
// module lays them out: detached, strings copied into the pool.
#include "dom/pending_tree_decls.h"

namespace {

char* pool_copy(const char* s, size_t n, quorvel_pool* pool) {
    return quorvel_pool_strndup(pool, s ? s : "", s ? n : 0);
}

quorvel_comment* simple_leaf(int kind, const char* text, size_t length, quorvel_pool* pool) {
    auto* c = static_cast<quorvel_comment*>(quorvel_pool_alloc(pool, sizeof(quorvel_comment)));
    if (!c) return nullptr;
    std::memset(c, 0, sizeof *c);
    c->head.kind = kind;
    c->content = pool_copy(text, length, pool);
    return c->content ? c : nullptr;
}

}  // namespace

quorvel_text* quorvel_text_create(const char* text, size_t length, quorvel_pool* pool, quorvel_document* doc) {
    if (!pool || (!text && length)) return nullptr;
    auto* t = static_cast<quorvel_text*>(quorvel_pool_alloc(pool, sizeof(quorvel_text)));
    if (!t) return nullptr;
    std::memset(t, 0, sizeof *t);
    t->head.kind = QUORVEL_NODE_TEXT;
    char* copy = pool_copy(text, length, pool);
    if (!copy) return nullptr;
    if (!quorvel_text_link_set(t, &t->content, length ? copy : nullptr, doc)) t->content = 0;
    t->length = static_cast<uint32_t>(length);
    return t;
}

quorvel_comment* quorvel_comment_create(const char* text, size_t length, quorvel_pool* pool) {
    return pool ? simple_leaf(QUORVEL_NODE_COMMENT, text, length, pool) : nullptr;
}

quorvel_comment* quorvel_cdata_create(const char* text, size_t length, quorvel_pool* pool) {
    return pool ? simple_leaf(QUORVEL_NODE_CDATA, text, length, pool) : nullptr;
}

quorvel_comment* quorvel_entity_ref_create(const char* name, size_t length, quorvel_pool* pool) {
    if (!pool || !name || !length) return nullptr;
    return simple_leaf(QUORVEL_NODE_ENTITY_REF, name, length, pool);
}

quorvel_pi* quorvel_pi_create(const char* target, size_t target_length, const char* data, size_t data_length,
                              quorvel_pool* pool) {
    if (!pool || !target || !target_length) return nullptr;
    auto* p = static_cast<quorvel_pi*>(quorvel_pool_alloc(pool, sizeof(quorvel_pi)));
    if (!p) return nullptr;
    std::memset(p, 0, sizeof *p);
    p->head.kind = QUORVEL_NODE_PI;
    p->target = pool_copy(target, target_length, pool);
    if (!p->target) return nullptr;
    if (data && data_length && !(p->data = pool_copy(data, data_length, pool))) return nullptr;
    return p;
}
