// RELAX NG validation: the pattern model, the grammar and the handle, the
// loader, the quiet matcher and the diagnosis that explains a failure.
//
// A grammar is a tree of pattern nodes plus a list of named definitions,
// built once by the loader and only read afterwards: any number of handles
// may validate on as many threads at once (one thread per handle).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dom/dom.h"
#include "quorvel.h"
#include "xsd/xsd.h"

enum rng_kind : uint32_t {
    kRngEmpty = 0,
    kRngExternalRef = 1,
    kRngNotAllowed = 2,
    kRngText = 3,
    kRngElement = 4,
    kRngAttribute = 5,
    kRngChoice = 6,
    kRngInterleave = 7,
    kRngGroup = 8,
    kRngOptional = 9,
    kRngZeroOrMore = 10,
    kRngOneOrMore = 11,
    kRngList = 12,
    kRngMixed = 13,
    kRngData = 14,
    kRngValue = 15,
    kRngParam = 16,
    kRngExcept = 17,
    kRngRef = 20,
};

struct quorvel_rng_define;

// Content forms of an element pattern, worked out once after loading.
enum rng_form : uint8_t {
    kFormText = 0,     // no element pattern reachable: the text is checked
    kFormElement = 1,  // child elements are matched in order
};

struct quorvel_rng_pattern {
    uint32_t kind;
    quorvel_rng_pattern* first_child;
    quorvel_rng_pattern* next;
    char* name;              // element, attribute, ref, param; href of externalRef
    char* ns;                // element and attribute: the resolved namespace ("" none)
    char* datatype;          // data and value
    char* datatype_library;  // kept, never consulted
    char* text;              // value and param
    int32_t any_name;
    // Filled in after loading (never copied):
    uint8_t form;                 // element patterns: rng_form
    uint8_t allows_text;          // element patterns, element form: text may stand between children
    uint16_t name_hash;           // element patterns: the DOM's 16-bit hash of the local name
    quorvel_rng_define* target;   // ref: the definition the name finds, NULL when undefined
    rre_program* regex;           // param "pattern": the compiled pattern
};

struct quorvel_rng_define {
    char* name;
    char* combine;  // NULL when none was written
    quorvel_rng_pattern* pattern;
    quorvel_rng_define* next;
    int32_t mark;           // scratch of the load-time checks
    int8_t has_elements;    // 0 not worked out, 1 no, 2 yes (reachable element patterns)
    int8_t allows_text;     // the same for text
};

struct quorvel_rng_grammar {
    quorvel_rng_define* defines;  // newest first
    quorvel_rng_pattern* start;
    char* ns;
    char* datatype_library;
};

struct quorvel_rng {
    quorvel_rng_grammar* grammar;
    char* message;
    quorvel_diag* diags;
    quorvel_rng_error_info* report;
    int64_t report_count;
    int32_t diag_count;
    int32_t diag_capacity;
};

// ---- Model (model.cpp) ----------------------------------------------------------------

constexpr size_t kRngErrorSize = 256;

quorvel_rng_pattern* rng_pattern_new(uint32_t kind);
char* rng_strdup(const char* s);
// Frees a chain: every node, its children and strings. Iterates along
// sibling chains; recursion follows nesting only.
void rng_pattern_free(quorvel_rng_pattern* chain);
// Deep copy of a chain (the node and its following siblings). NULL for
// NULL or when memory runs out (nothing leaks).
quorvel_rng_pattern* rng_pattern_deep_copy(const quorvel_rng_pattern* chain);
void rng_grammar_free(quorvel_rng_grammar* grammar);
// Adds a definition. Takes ownership of name, combine and chain (the
// definition's patterns in order; several form one group). 0 with a
// message in err on failure.
int rng_add_define(quorvel_rng_grammar* grammar, char* name, char* combine, quorvel_rng_pattern* chain, char* err);
quorvel_rng_define* rng_lookup(const quorvel_rng_grammar* grammar, const char* name);
// A chain of several nodes wrapped in one group node; a single node (or
// NULL) is returned as it is. NULL, with the chain freed, when the group
// cannot be made.
quorvel_rng_pattern* rng_group_of(quorvel_rng_pattern* chain, bool* failed);
// The name as written: scoped names of external grammars carry a prefix
// that ends in '\x01'.
const char* rng_display_name(const char* name);

// ---- Loading (load.cpp) ----------------------------------------------------------------

quorvel_rng* rng_parse_doc(quorvel_document* doc, const char* base);
quorvel_rng* rng_parse_file_path(const char* path);
void rng_handle_free(quorvel_rng* handle);

// ---- Validation (match.cpp, diagnose.cpp) ---------------------------------------------

struct rng_memo;
struct rng_residual_block;

struct rng_validation {
    quorvel_rng_grammar* grammar;
    quorvel_rng* handle;
    char first_message[512];
    int32_t first_set;
    int32_t depth;
    int32_t quiet;
    int32_t speculative;  // > 0 while a choice may try the same children again
    rng_memo* memo;
    uint32_t memo_scope;  // memo size when the innermost element check began
    rng_residual_block* residuals;
};

// Sentinel position: no match.
extern const quorvel_element kRngFailMark;
#define RNG_FAIL (const_cast<quorvel_element*>(&kRngFailMark))

int rng_validate_document(quorvel_rng* handle, quorvel_document* doc);

void rng_diag(rng_validation* v, int kind, const quorvel_node* node, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void rng_diag_probe(rng_validation* v, quorvel_element* e);

bool rng_names_match(const quorvel_rng_pattern* p, quorvel_element* e);
bool rng_element_ok(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e);
quorvel_element* rng_first_child_element(const quorvel_element* e);
quorvel_element* rng_next_element(const quorvel_element* e);
// The pattern a ref or chain of refs leads to (at most 200 refs); NULL for
// an undefined name or a definition without pattern.
const quorvel_rng_pattern* rng_resolve(const quorvel_rng_pattern* p);

// Attribute and text checks.
bool rng_attr_allowed(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, quorvel_attribute* a);
bool rng_attr_content_ok(rng_validation* v, const quorvel_rng_pattern* chain, const char* value);
// 1 when every required attribute is present; without `report` nothing is
// recorded, with it the first missing one is.
bool rng_required_ok(rng_validation* v, const quorvel_rng_pattern* chain, quorvel_element* e, bool report);
bool rng_all_text_ws(const quorvel_element* e);
bool rng_is_ws(const char* s);
bool rng_data_matches(const quorvel_rng_pattern* p, const char* text);
bool rng_value_equal(const quorvel_rng_pattern* p, const char* text);
bool rng_text_accepts(rng_validation* v, const quorvel_rng_pattern* p, const char* text, int depth);
// A list's tokens against its items; with `report`, the first problem is
// recorded on e.
bool rng_list_accepts(rng_validation* v, const quorvel_rng_pattern* list, const char* text, quorvel_element* e,
                      bool report);
bool rng_is_xmlns(const quorvel_attribute* a);
const char* rng_attr_local(const quorvel_attribute* a);
const char* rng_attr_ns(const quorvel_attribute* a);
const char* rng_attr_value(quorvel_element* e, quorvel_attribute* a);

// Diagnosis after a failed quiet pass (diagnose.cpp).
void rng_diagnose_start(rng_validation* v, const quorvel_rng_pattern* start, quorvel_element* root);
void rng_diagnose_element(rng_validation* v, const quorvel_rng_pattern* p, quorvel_element* e);
void rng_residuals_free(rng_validation* v);
