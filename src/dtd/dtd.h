// The DTD model, below the document model: declaration records, the DTD
// record with its four tables, and general-entity expansion (the
// declaration parser is the parser's). Read directly by entity decoding,
// entity-reference resolution, validation, canonicalization, the XSLT
// processor (entity records) and XPath id() (attribute types). Every record
// and string lives in the DTD's pool; the DTD's heap arrays go with
// quorvel_dtd_free, which a document also runs on its own DTD.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"

struct dtd_entity_memo;
struct dtd_pe_memo;

// The fields up to `notation` are read by other subsystems in this order;
// what follows them is this module's own.
struct quorvel_dtd_entity {
    char* name;         // table key: a parameter entity's name starts with '%'; bytes follow the record
    int is_external;    // 1 when declared with SYSTEM or PUBLIC
    char* value;        // internal entities: replacement text as written (references unexpanded); else NULL
    char* system_id;    // NULL when absent
    char* public_id;    // NULL when absent
    char* notation;     // name after NDATA, NULL when absent
    size_t value_length;     // strlen(value), 0 without a value
    dtd_entity_memo* memo;   // expansion sizes by nesting depth, made on first expansion
    dtd_pe_memo* pe_memo;    // parameter entities: substituted sizes by level, made on first use
};

enum dtd_content_kind : int {
    kContentEmpty = 0,
    kContentAny = 1,
    kContentMixed = 2,    // the model names #PCDATA
    kContentElements = 3,
};

struct quorvel_dtd_element_decl {
    char* name;
    int content_kind;     // dtd_content_kind
    char* content_model;  // '(' ... ')' plus one trailing '?', '*' or '+'; NULL for EMPTY and ANY
};

enum dtd_default_kind : int {
    kDefaultRequired = 0,
    kDefaultImplied = 1,
    kDefaultFixed = 2,
    kDefaultLiteral = 3,
};

struct quorvel_dtd_attribute_decl {
    char* element_name;
    char* attribute_name;
    char* type;           // keyword as written, enumeration text without parentheses, or "CDATA"
    int default_kind;     // dtd_default_kind
    char* default_value;  // kinds 2 and 3 only, else NULL
};

struct quorvel_dtd_notation {
    char* name;       // bytes follow the record
    char* public_id;  // NULL when absent
    char* system_id;  // NULL when absent
};

// Again the named fields come first, in the order other subsystems read them.
struct quorvel_dtd {
    quorvel_pool* pool;
    quorvel_hash_table* entities;    // by name; parameter entities by "%" + name
    quorvel_hash_table* elements;
    quorvel_hash_table* notations;
    quorvel_hash_table* attributes;  // by "element.attribute"
    size_t entity_count;
    size_t element_count;
    size_t notation_count;
    size_t attribute_decl_count;
    quorvel_dtd_attribute_decl** defaulted;  // malloc'd: declarations with a #FIXED or literal default
    size_t defaulted_count;
    int owns_pool;   // quorvel_dtd_free destroys the pool
    int has_error;   // a declaration was malformed; stays set
    quorvel_dtd_pe_loader pe_loader;
    void* pe_loader_data;
    size_t defaulted_capacity;
    // Raised whenever an entity is added: expansion sizes remembered under an
    // older generation are stale, since a reference may now resolve.
    uint32_t entity_generation;
    // Amplification accounting over every expansion against this DTD (for a
    // document's DTD: over the whole parse), so that many small references
    // cannot add up to what one large one may not.
    size_t expansion_input;  // bytes of text handed to the expansion
    size_t expansion_work;   // replacement-text bytes scanned by successful expansions
    // Numbers every parameter-entity substitution into a declaration, so
    // that what one remembers of the texts it made is not taken for another's.
    uint32_t pe_substitutions;
};

// ---- Characters ---------------------------------------------------------------

// ---- Model ------------------------------------------------------------------

// A zeroed DTD with its four empty tables, in the given pool (not owned).
quorvel_dtd* quorvel_dtd_create(quorvel_pool* pool);
// Releases what the DTD owns, exactly as quorvel_dtd_free does; documents
// call it on their DTD before their pool goes.
void quorvel_dtd_release(quorvel_dtd* dtd);

quorvel_dtd_entity* ttdtd_lookup_entity(quorvel_dtd* dtd, const char* name);
quorvel_dtd_attribute_decl* ttdtd_lookup_attribute(quorvel_dtd* dtd, const char* element_name,
                                                   const char* attribute_name);

// Insertion keeping the first declaration of every key. They return false
// when the key was taken already or memory ran out.
bool dtd_add_entity(quorvel_dtd* dtd, quorvel_dtd_entity* entity);
bool dtd_add_element(quorvel_dtd* dtd, quorvel_dtd_element_decl* element);
bool dtd_add_attribute(quorvel_dtd* dtd, quorvel_dtd_attribute_decl* attribute);
bool dtd_add_notation(quorvel_dtd* dtd, quorvel_dtd_notation* notation);

// ---- Limits ------------------------------------------------------------------

// Largest expansion (entity replacement text or parameter-entity
// substitution) allowed for an input: the larger of 16 MiB and 100 times
// the input. Entity expansion counts everything expanded against one DTD;
// a DTD parse counts what that parse substitutes.
inline size_t dtd_expansion_limit(size_t input_length) {
    constexpr size_t kFloor = size_t(16) * 1024 * 1024;
    size_t scaled = input_length > SIZE_MAX / 100 ? SIZE_MAX : input_length * 100;
    return scaled > kFloor ? scaled : kFloor;
}

inline size_t dtd_add_saturating(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

// What an expansion of length more bytes may still scan: the DTD's
// allowance for all its input so far (*total), less what earlier expansions
// used. dtd may be NULL: the allowance of the text alone.
inline size_t dtd_expansion_allowance(const quorvel_dtd* dtd, size_t length, size_t* total) {
    if (!dtd) return *total = dtd_expansion_limit(length);
    *total = dtd_expansion_limit(dtd_add_saturating(dtd->expansion_input, length));
    return *total > dtd->expansion_work ? *total - dtd->expansion_work : 0;
}

// ---- General-entity expansion --------------------------------------------------

// The names of the entities being expanded, innermost last; a reference to
// a name on the chain is a recursive entity.
struct dtd_entity_chain {
    const char** names;
    size_t count;
    size_t capacity;
    bool heap;  // names was malloc'd by the chain (else caller storage)
};

// Empty chain over caller storage of capacity names.
inline dtd_entity_chain dtd_chain_on(const char** storage, size_t capacity) {
    return dtd_entity_chain{storage, 0, capacity, false};
}
void dtd_chain_release(dtd_entity_chain* chain);

enum class dtd_expand_status : int {
    ok = 0,
    no_memory,
    malformed_char_ref,
    recursive_entity,
    too_large,
};
// Outcome of the calling thread's most recent expansion.
dtd_expand_status dtd_last_expand_status();

// Adds text the expansion allowance of dtd is measured against, beyond the
// texts expanded themselves (a document parser may count its whole input).
inline void dtd_count_expansion_input(quorvel_dtd* dtd, size_t length) {
    if (dtd) dtd->expansion_input = dtd_add_saturating(dtd->expansion_input, length);
}

// Books a successful expansion of a text of length bytes that scanned work
// bytes of replacement text, exactly as dtd_expand_text books its own; false
// (and nothing booked) when work passes what the DTD still allows, where
// dtd_expand_text would fail with too_large. For callers that expand simple
// texts themselves and must leave the allowance as the DTD path would.
// Inline: such callers book every text they expand.
inline bool dtd_account_expansion(quorvel_dtd* dtd, size_t length, size_t work) {
    if (!dtd) return false;
    size_t total = 0;
    if (work > dtd_expansion_allowance(dtd, length, &total)) return false;
    dtd->expansion_input = dtd_add_saturating(dtd->expansion_input, length);
    dtd->expansion_work = dtd_add_saturating(dtd->expansion_work, work);
    return true;
}

// Expands character references, the predefined entities and the DTD's
// internal general entities in text[0, length) (stopping early at a NUL
// byte). The result goes into the pool, or is malloc'd when pool is NULL;
// NULL on failure (see dtd_last_expand_status). dtd may be NULL.
char* dtd_expand_text(quorvel_dtd* dtd, const char* text, size_t length, dtd_entity_chain* chain,
                      quorvel_pool* pool, size_t* out_length);
// The same over a NUL-terminated text, as a malloc'd string.
char* expand_entity_references(quorvel_dtd* dtd, const char* text, dtd_entity_chain* chain,
                               size_t* length);
// Length expand_entity_references would produce; 0 on failure.
size_t calculate_expanded_length(quorvel_dtd* dtd, const char* text, dtd_entity_chain* chain);
