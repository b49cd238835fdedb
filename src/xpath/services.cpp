// Release of the XPath engine's per-thread free lists and of the data it
// attaches to documents.
#include <cstdlib>

#include "dom/dom.h"
#include "xpath/xpath.h"

constinit thread_local quorvel_xpath_tls g_xpath_tls{};

void quorvel_xpath_registry_drop(quorvel_xpath_function_registry* registry) {
    if (!registry) return;
    std::free(registry->entries);
    std::free(registry);
}

void quorvel_xpath_user_functions_free(quorvel_xpath_user_function* list) {
    while (list) {
        quorvel_xpath_user_function* next = list->next;
        std::free(list->name);
        std::free(list->record);
        std::free(list);
        list = next;
    }
}

void quorvel_xpath_doc_order_free(quorvel_xpath_doc_order* table) {
    if (!table) return;
    std::free(table->nodes);
    std::free(table->ranks);
    std::free(table);
}

void quorvel_xpath_tls_release() {
    // A node set links through its first inline slot, a result through its
    // payload.
    for (void* p = g_xpath_tls.nodeset_free; p;) {
        void* next = static_cast<quorvel_xpath_node_set*>(p)->inline_items[0];
        std::free(p);
        p = next;
    }
    g_xpath_tls.nodeset_free = nullptr;
    g_xpath_tls.nodeset_free_count = 0;
    for (void* p = g_xpath_tls.result_free; p;) {
        void* next = static_cast<quorvel_xpath_result*>(p)->value.free_link;
        std::free(p);
        p = next;
    }
    g_xpath_tls.result_free = nullptr;
    g_xpath_tls.result_free_count = 0;
}

namespace {

// What document freeing and thread clean-up release on the engine's behalf.
void xpath_document_teardown(quorvel_document* doc) {
    quorvel_xpath_registry_drop(doc->function_registry);
    doc->function_registry = nullptr;
    quorvel_xpath_user_functions_free(doc->user_functions);
    doc->user_functions = nullptr;
    quorvel_xpath_doc_order_free(doc->doc_order);
    doc->doc_order = nullptr;
}

const quorvel_teardown_hooks kXpathTeardown = {xpath_document_teardown, quorvel_xpath_tls_release};
__attribute__((constructor)) void register_xpath_teardown() { quorvel_teardown_register(&kXpathTeardown); }

}  // namespace
