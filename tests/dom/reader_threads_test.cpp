// One parsed document read by several threads at once: the values a first
// read decodes or makes (attribute values holding references, the document
// node, the text of mixed content) come out the same on every thread, and
// the ThreadSanitizer build sees no race among the readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quorvel.h"

namespace {

constexpr int kThreads = 6;
constexpr int kElements = 300;

// Elements whose attribute values all hold references the parser leaves
// for the first read, long and short (inline) ones, and mixed content.
std::string make_document() {
    std::string s = "<!DOCTYPE r [<!ENTITY co \"Example &#38;amp; Co\">]><r>";
    for (int i = 0; i < kElements; i++) {
        std::string n = std::to_string(i);
        s += "<e id=\"" + n + "&amp;\" long=\"x &lt; y &amp;&amp; &#x41;" + n + " &co;\" s=\"&#65;\">a<b/>" + n +
             "</e>";
    }
    return s + "</r>";
}

std::string expected_long(int i) { return "x < y && A" + std::to_string(i) + " Example &amp; Co"; }

// Starts every thread's body at once, so that first reads meet.
void run_together(const std::function<void(int)>& body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            ready++;
            while (ready.load() < kThreads) std::this_thread::yield();
            body(t);
            quorvel_thread_cleanup();  // the thread's caches go with it
        });
    for (std::thread& th : threads) th.join();
}

quorvel_document* parse(const std::string& text) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), &status);
    EXPECT_NE(doc, nullptr) << status;
    return doc;
}

TEST(ReaderThread, AttributeValuesDecodedByTheFirstReadersAgree) {
    std::string text = make_document();
    for (int round = 0; round < 3; round++) {
        quorvel_document* doc = parse(text);
        ASSERT_NE(doc, nullptr);
        quorvel_element* root = quorvel_document_root(doc);
        std::atomic<int> wrong{0};
        run_together([&](int t) {
            int i = 0;
            (void)t;
            for (quorvel_element* e = quorvel_element_first_child(root, "e"); e;
                 e = quorvel_element_next_sibling(e, "e"), i++) {
                const char* id = quorvel_element_attribute(e, "id");
                const char* s = quorvel_element_attribute(e, "s");
                std::string want_id = std::to_string(i) + "&";
                if (!id || want_id != id || !s || std::strcmp(s, "A") != 0) wrong++;
                // By the attribute chain as well as by name.
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                    if (std::strcmp(quorvel_attribute_get_name(a), "long") != 0) continue;
                    const char* v = quorvel_attribute_get_value(e, a);
                    if (!v || expected_long(i) != v) wrong++;
                }
            }
        });
        EXPECT_EQ(wrong.load(), 0);
        quorvel_document_free(doc);
    }
}

// Serializing stores decoded values back too: writers and readers at once.
TEST(ReaderThread, SerializingWhileOthersReadAttributes) {
    std::string text = make_document();
    quorvel_document* doc = parse(text);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc);
    std::vector<std::string> outputs(kThreads);
    std::atomic<int> wrong{0};
    run_together([&](int t) {
        if (t % 2 == 0) {
            char* out = quorvel_document_serialize(doc, nullptr);
            if (out) outputs[t] = out;
            quorvel_free_string(out);
            return;
        }
        int i = 0;
        for (quorvel_element* e = quorvel_element_first_child(root, "e"); e;
             e = quorvel_element_next_sibling(e, "e"), i++) {
            const char* v = quorvel_element_attribute(e, "long");
            if (!v || expected_long(i) != v) wrong++;
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_FALSE(outputs[0].empty());
    for (int t = 2; t < kThreads; t += 2) EXPECT_EQ(outputs[t], outputs[0]);
    EXPECT_NE(outputs[0].find("long=\"x &lt; y &amp;&amp; A0 Example &amp;amp; Co\""), std::string::npos);
    quorvel_document_free(doc);
}

TEST(ReaderThread, DocumentNodeMadeOnceForConcurrentFirstReaders) {
    std::string text = make_document();
    for (int round = 0; round < 5; round++) {
        quorvel_document* doc = parse(text);
        ASSERT_NE(doc, nullptr);
        std::vector<quorvel_node*> seen(kThreads);
        run_together([&](int t) { seen[t] = quorvel_document_node(doc); });
        ASSERT_NE(seen[0], nullptr);
        for (quorvel_node* n : seen) EXPECT_EQ(n, seen[0]);
        EXPECT_EQ(quorvel_node_get_type(seen[0]), QUORVEL_NODE_DOCUMENT);
        quorvel_document_free(doc);
    }
}

TEST(ReaderThread, FirstXPathEvaluationsOnAFreshDocument) {
    std::string text = make_document();
    for (int round = 0; round < 3; round++) {
        quorvel_document* doc = parse(text);
        ASSERT_NE(doc, nullptr);
        std::vector<std::string> got(kThreads);
        run_together([&](int t) {
            quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, "count(/r/e)");
            char* s = r ? quorvel_xpath_result_string(r) : nullptr;
            if (s) got[t] = s;
            std::free(s);
            quorvel_xpath_result_free(r);
        });
        for (const std::string& s : got) EXPECT_EQ(s, std::to_string(kElements));
        quorvel_document_free(doc);
    }
}

// Mixed content has no text to hand out in place: the first readers make
// the copy the document keeps.
TEST(ReaderThread, TextOfMixedContentCopiedOnceForConcurrentReaders) {
    std::string text = make_document();
    quorvel_document* doc = parse(text);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc);
    std::atomic<int> wrong{0};
    run_together([&](int) {
        int i = 0;
        for (quorvel_element* e = quorvel_element_first_child(root, "e"); e;
             e = quorvel_element_next_sibling(e, "e"), i++) {
            const char* s = quorvel_element_text(quorvel_element_as_node(e));
            if (!s || "a" + std::to_string(i) != s) wrong++;
        }
    });
    EXPECT_EQ(wrong.load(), 0);
    quorvel_document_free(doc);
}

}  // namespace
