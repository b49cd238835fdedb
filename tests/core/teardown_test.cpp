// Teardown hooks: subsystems above the document model register what
// document freeing and thread clean-up must release for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

// The hooks stay registered for the rest of the process: they record only
// on a thread that asks them to.
thread_local bool t_recording = false;
thread_local std::vector<const quorvel_document*> t_documents_seen;
thread_local int t_thread_calls = 0;

void note_document(quorvel_document* doc) {
    if (t_recording) t_documents_seen.push_back(doc);
}
void note_thread() {
    if (t_recording) t_thread_calls++;
}

const quorvel_teardown_hooks kRecordingHooks = {note_document, note_thread};

quorvel_document* parse(const char* text) { return quorvel_parse_string(text, std::strlen(text), nullptr); }

TEST(TeardownHooks, RunOnDocumentFreeAndThreadCleanup) {
    ASSERT_TRUE(quorvel_teardown_register(&kRecordingHooks));
    ASSERT_TRUE(quorvel_teardown_register(&kRecordingHooks));  // once is enough; again changes nothing
    std::thread([] {
        t_recording = true;
        quorvel_document* a = parse("<a/>");
        quorvel_document* b = parse("<b><c/></b>");
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        quorvel_document_free(b);
        quorvel_document_free(a);
        // Each free runs the hook once, with the document still whole.
        ASSERT_EQ(t_documents_seen.size(), 2u);
        EXPECT_EQ(t_documents_seen[0], b);
        EXPECT_EQ(t_documents_seen[1], a);
        quorvel_thread_cleanup();
        EXPECT_EQ(t_thread_calls, 1);
        t_recording = false;
    }).join();
    EXPECT_FALSE(quorvel_teardown_register(nullptr));
}

// What XPath attaches to a document and keeps per thread goes with the
// document and the thread; the leak check of the sanitizer build sees any
// block left behind.
TEST(TeardownHooks, XpathAttachmentsAreReleased) {
    std::thread([] {
        quorvel_document* doc = parse("<r/>");
        ASSERT_NE(doc, nullptr);
        auto* order = static_cast<quorvel_xpath_doc_order*>(std::calloc(1, sizeof(quorvel_xpath_doc_order)));
        order->nodes = std::malloc(16);
        order->ranks = std::malloc(16);
        doc->doc_order = order;
        auto* fn = static_cast<quorvel_xpath_user_function*>(std::calloc(1, sizeof(quorvel_xpath_user_function)));
        fn->name = static_cast<char*>(std::malloc(4));
        fn->record = static_cast<quorvel_xpath_user_function_record*>(
            std::calloc(1, sizeof(quorvel_xpath_user_function_record)));
        doc->user_functions = fn;
        auto* registry =
            static_cast<quorvel_xpath_function_registry*>(std::calloc(1, sizeof(quorvel_xpath_function_registry)));
        registry->entries = std::malloc(32);
        doc->function_registry = registry;
        quorvel_document_free(doc);

        // Per-thread free lists: a node set links through its first inline
        // slot, a result through its payload (zeroed: the list ends here).
        void* set = std::calloc(1, sizeof(quorvel_xpath_node_set));
        g_xpath_tls.nodeset_free = set;
        g_xpath_tls.nodeset_free_count = 1;
        quorvel_thread_cleanup();
        EXPECT_EQ(g_xpath_tls.nodeset_free, nullptr);
        EXPECT_EQ(g_xpath_tls.nodeset_free_count, 0);

        // A thread that ends without clean-up releases them at exit.
        void* result = std::calloc(1, sizeof(quorvel_xpath_result));
        g_xpath_tls.result_free = result;
        g_xpath_tls.result_free_count = 1;
        quorvel_thread_register_exit();
    }).join();
}

}  // namespace
