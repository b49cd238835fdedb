// What the XPath engine keeps per thread and attaches to documents, as far
// as document freeing and thread clean-up must release it. The engine owns
// everything else about these records.
#pragma once

#include <cstddef>
#include <cstdint>

// Per-thread free lists. A node set on the list links to the next through
// its first inline item slot, a result through its payload word; a record on
// a list holds nothing else that needs freeing. At most 64 node sets and 32
// results are kept.
struct quorvel_xpath_tls {
    void* nodeset_free;
    int nodeset_free_count;
    void* result_free;
    int result_free_count;
};
extern thread_local constinit quorvel_xpath_tls g_xpath_tls;
constexpr int kXpathMaxFreeNodesets = 64;
constexpr int kXpathMaxFreeResults = 32;

// A document's cached registry: the entry array is malloc'd and its names are
// borrowed. Whoever changes what the registry must contain frees it with
// quorvel_xpath_registry_drop and lets the next evaluation build it again.
struct quorvel_xpath_function_registry {
    void* entries;
    size_t count;
    size_t capacity;
};

struct quorvel_xpath_user_function_record {
    void* function;
    void* user_data;
};

// Entries of a document's user-function list, newest first.
struct quorvel_xpath_user_function {
    char* name;  // malloc'd copy
    void* function;
    quorvel_xpath_user_function_record* record;  // calloc'd
    quorvel_xpath_user_function* next;
};

// Ranks of nodes in document order, valid while the document's change
// counter keeps the value it was built at.
struct quorvel_xpath_doc_order {
    void* nodes;
    void* ranks;
    uint32_t change_counter;
};

void quorvel_xpath_registry_drop(quorvel_xpath_function_registry* registry);
void quorvel_xpath_user_functions_free(quorvel_xpath_user_function* list);
void quorvel_xpath_doc_order_free(quorvel_xpath_doc_order* table);
// Frees both free lists of the calling thread.
void quorvel_xpath_tls_release();
