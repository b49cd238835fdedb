// Namespace lookups on a tree built one level at a time through the public
// calls: each element asking for its namespace right after it is made must
// cost the same whatever the depth, with or without a declaration in scope,
// and the answers must stay right after declarations change.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "quorvel.h"

namespace {

constexpr int kDepth = 100000;  // a walk to the root per element: 5e9 steps

struct ns_case {
    const char* name;
    const char* root_default;  // default namespace declared on the root, or NULL
    const char* expected;      // every element's namespace
};

TEST(DeepNamespace, LookupsDownAChainAreLinear) {
    const ns_case cases[] = {
        {"no declaration in scope", nullptr, nullptr},
        {"default namespace on the root", "urn:d", "urn:d"},
    };
    for (const ns_case& c : cases) {
        SCOPED_TRACE(c.name);
        quorvel_document* doc = quorvel_document_create();
        quorvel_element* root = quorvel_element_create(doc, "r");
        ASSERT_EQ(quorvel_document_set_root(doc, root), QUORVEL_OK);
        if (c.root_default) {
            ASSERT_EQ(quorvel_element_set_default_namespace(root, c.root_default), QUORVEL_OK);
        }
        auto start = std::chrono::steady_clock::now();
        quorvel_element* e = root;
        int wrong = 0;
        for (int i = 0; i < kDepth; i++) {
            e = quorvel_element_create_child(e, "c");
            ASSERT_NE(e, nullptr) << "at depth " << i;
            const char* uri = quorvel_element_namespace(e);
            if (c.expected ? !uri || std::strcmp(uri, c.expected) != 0 : uri != nullptr) wrong++;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(wrong, 0);
        EXPECT_LT(seconds, 5.0);  // linear: well under a second, even under the sanitizers

        // A declaration added half-way down rebinds what lies below it once
        // the remembered answers are dropped, and only that.
        quorvel_element* mid = root;
        for (int i = 0; i < kDepth / 2; i++) mid = quorvel_element_first_child_any(mid);
        ASSERT_EQ(quorvel_element_set_default_namespace(mid, "urn:mid"), QUORVEL_OK);
        const char* deepest = quorvel_element_namespace(e);
        ASSERT_NE(deepest, nullptr);
        EXPECT_STREQ(deepest, "urn:mid");
        const char* above = quorvel_element_namespace(quorvel_element_parent(mid));
        if (c.expected) {
            EXPECT_STREQ(above, c.expected);
        } else {
            EXPECT_EQ(above, nullptr);
        }
        quorvel_document_free(doc);
    }
}

}  // namespace
