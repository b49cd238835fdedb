// The DTD record: creation, release, the first-declaration-wins insertions
// and the lookups other subsystems call. Everything but the `defaulted`
// array lives in the DTD's pool, so release frees that array and, for a DTD
// that owns its pool, the pool.
#include <cstdlib>
#include <cstring>

#include "dtd/dtd.h"

namespace {

constexpr size_t kEntityBuckets = 128;
constexpr size_t kElementBuckets = 64;
constexpr size_t kNotationBuckets = 32;
constexpr size_t kAttributeBuckets = 128;

// "element.attribute" keys of up to this many bytes are built on the stack.
constexpr size_t kInlineKeyBytes = 256;

// Builds the attribute-declaration key in buffer when it fits, else in a
// malloc'd block the caller frees. NULL when memory runs out.
char* attribute_key(const char* element_name, const char* attribute_name, char* buffer, size_t* length) {
    size_t e = std::strlen(element_name);
    size_t a = std::strlen(attribute_name);
    size_t n = e + 1 + a;
    char* key = n < kInlineKeyBytes ? buffer : static_cast<char*>(std::malloc(n + 1));
    if (!key) return nullptr;
    std::memcpy(key, element_name, e);
    key[e] = '.';
    std::memcpy(key + e + 1, attribute_name, a);
    key[n] = '\0';
    *length = n;
    return key;
}

}  // namespace

quorvel_dtd* quorvel_dtd_create(quorvel_pool* pool) {
    if (!pool) return nullptr;
    auto* dtd = static_cast<quorvel_dtd*>(quorvel_pool_alloc(pool, sizeof(quorvel_dtd)));
    if (!dtd) return nullptr;
    std::memset(dtd, 0, sizeof *dtd);
    dtd->pool = pool;
    dtd->entities = quorvel_hash_table_create(pool, kEntityBuckets);
    dtd->elements = quorvel_hash_table_create(pool, kElementBuckets);
    dtd->notations = quorvel_hash_table_create(pool, kNotationBuckets);
    dtd->attributes = quorvel_hash_table_create(pool, kAttributeBuckets);
    if (!dtd->entities || !dtd->elements || !dtd->notations || !dtd->attributes) return nullptr;
    dtd->entity_generation = 1;
    return dtd;
}

void quorvel_dtd_release(quorvel_dtd* dtd) {
    if (!dtd) return;
    std::free(dtd->defaulted);
    // The record may stay readable in a document's pool: leave nothing that
    // a second release would free again.
    dtd->defaulted = nullptr;
    dtd->defaulted_count = dtd->defaulted_capacity = 0;
    if (dtd->owns_pool) {
        dtd->owns_pool = 0;
        quorvel_pool_destroy(dtd->pool);
    }
}

quorvel_dtd_entity* ttdtd_lookup_entity(quorvel_dtd* dtd, const char* name) {
    if (!dtd || !name || !*name || !dtd->entities) return nullptr;
    return static_cast<quorvel_dtd_entity*>(quorvel_hash_table_get(dtd->entities, name, std::strlen(name)));
}

quorvel_dtd_attribute_decl* ttdtd_lookup_attribute(quorvel_dtd* dtd, const char* element_name,
                                                   const char* attribute_name) {
    if (!dtd || !element_name || !attribute_name || !dtd->attributes) return nullptr;
    char buffer[kInlineKeyBytes];
    size_t length = 0;
    char* key = attribute_key(element_name, attribute_name, buffer, &length);
    if (!key) return nullptr;
    auto* decl = static_cast<quorvel_dtd_attribute_decl*>(quorvel_hash_table_get(dtd->attributes, key, length));
    if (key != buffer) std::free(key);
    return decl;
}

bool dtd_add_entity(quorvel_dtd* dtd, quorvel_dtd_entity* entity) {
    if (ttdtd_lookup_entity(dtd, entity->name)) return false;
    if (!quorvel_hash_table_set(dtd->entities, entity->name, std::strlen(entity->name), entity, dtd->pool))
        return false;
    dtd->entity_count++;
    dtd->entity_generation++;
    return true;
}

bool dtd_add_element(quorvel_dtd* dtd, quorvel_dtd_element_decl* element) {
    size_t n = std::strlen(element->name);
    if (quorvel_hash_table_get(dtd->elements, element->name, n)) return false;
    if (!quorvel_hash_table_set(dtd->elements, element->name, n, element, dtd->pool)) return false;
    dtd->element_count++;
    return true;
}

bool dtd_add_notation(quorvel_dtd* dtd, quorvel_dtd_notation* notation) {
    size_t n = std::strlen(notation->name);
    if (quorvel_hash_table_get(dtd->notations, notation->name, n)) return false;
    if (!quorvel_hash_table_set(dtd->notations, notation->name, n, notation, dtd->pool)) return false;
    dtd->notation_count++;
    return true;
}

bool dtd_add_attribute(quorvel_dtd* dtd, quorvel_dtd_attribute_decl* attribute) {
    if (ttdtd_lookup_attribute(dtd, attribute->element_name, attribute->attribute_name)) return false;
    char buffer[kInlineKeyBytes];
    size_t length = 0;
    char* key = attribute_key(attribute->element_name, attribute->attribute_name, buffer, &length);
    if (!key) return false;
    int stored = quorvel_hash_table_set(dtd->attributes, key, length, attribute, dtd->pool);
    if (key != buffer) std::free(key);
    if (!stored) return false;
    dtd->attribute_decl_count++;
    bool has_default = attribute->default_kind == kDefaultFixed || attribute->default_kind == kDefaultLiteral;
    if (has_default && attribute->default_value && attribute->default_value[0]) {
        if (dtd->defaulted_count == dtd->defaulted_capacity) {
            size_t cap = dtd->defaulted_capacity ? dtd->defaulted_capacity * 2 : 8;
            void* grown = std::realloc(dtd->defaulted, cap * sizeof *dtd->defaulted);
            // A declaration that cannot be listed keeps its table entry; only
            // the defaults walk misses it.
            if (!grown) return true;
            dtd->defaulted = static_cast<quorvel_dtd_attribute_decl**>(grown);
            dtd->defaulted_capacity = cap;
        }
        dtd->defaulted[dtd->defaulted_count++] = attribute;
    }
    return true;
}

