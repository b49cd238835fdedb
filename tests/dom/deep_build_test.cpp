// Building a tree one level at a time, always below the deepest element,
// costs the same per element whatever the depth: neither the cycle check
// nor finding the parent's document climbs to the root each time.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "dom/dom.h"

namespace {

constexpr int kDepth = 100000;  // a walk to the root per level: 5e9 steps

struct deep_case {
    const char* name;
    std::function<quorvel_element*(quorvel_document*, quorvel_element* deepest)> add;
};

TEST(DeepBuild, OneLevelAtATimeIsLinear) {
    const std::vector<deep_case> cases = {
        {"create_child", [](quorvel_document*, quorvel_element* e) { return quorvel_element_create_child(e, "c"); }},
        {"append_child of a fresh element",
         [](quorvel_document* doc, quorvel_element* e) -> quorvel_element* {
             quorvel_element* c = quorvel_element_create(doc, "c");
             if (!c || quorvel_element_append_child(e, reinterpret_cast<quorvel_node*>(c)) != QUORVEL_OK)
                 return nullptr;
             return c;
         }},
        {"prepend_child of a fresh element",
         [](quorvel_document* doc, quorvel_element* e) -> quorvel_element* {
             quorvel_element* c = quorvel_element_create(doc, "c");
             if (!c || quorvel_element_prepend_child(e, reinterpret_cast<quorvel_node*>(c)) != QUORVEL_OK)
                 return nullptr;
             return c;
         }},
    };
    for (const deep_case& c : cases) {
        quorvel_document* doc = quorvel_document_create();
        quorvel_element* root = quorvel_element_create(doc, "r");
        ASSERT_EQ(quorvel_document_set_root(doc, root), QUORVEL_OK);
        auto start = std::chrono::steady_clock::now();
        quorvel_element* e = root;
        for (int i = 0; i < kDepth; i++) {
            e = c.add(doc, e);
            ASSERT_NE(e, nullptr) << c.name << " at depth " << i;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 5.0) << c.name;  // linear: well under a second, even under the sanitizers
        EXPECT_EQ(quorvel_element_get_document(e), doc) << c.name;
        // The chain is what was built, and the deepest element cannot take
        // the root below it.
        int depth = 0;
        for (quorvel_element* x = e; x != root; x = quorvel_node_parent(reinterpret_cast<quorvel_node*>(x))) depth++;
        EXPECT_EQ(depth, kDepth) << c.name;
        EXPECT_EQ(quorvel_element_append_child(e, reinterpret_cast<quorvel_node*>(root)), QUORVEL_ERR_INVALID_ARGUMENT);
        quorvel_element* mid = quorvel_node_parent(reinterpret_cast<quorvel_node*>(e));
        EXPECT_EQ(quorvel_element_append_child(e, reinterpret_cast<quorvel_node*>(mid)), QUORVEL_ERR_INVALID_ARGUMENT);
        quorvel_document_free(doc);
    }
}

// A document absorbed by another: its elements linked into the absorber's
// tree belong to the absorber, which only the climb can tell.
TEST(DeepBuild, ElementsOfAnAbsorbedDocumentInTheAbsorbersTree) {
    quorvel_document* owner = quorvel_document_create();
    quorvel_document* part = quorvel_document_create();
    quorvel_element* root = quorvel_element_create(owner, "r");
    ASSERT_EQ(quorvel_document_set_root(owner, root), QUORVEL_OK);
    ASSERT_EQ(quorvel_document_absorb(owner, part), QUORVEL_OK);
    quorvel_element* x = quorvel_element_create(part, "x");
    ASSERT_EQ(quorvel_element_append_child(root, reinterpret_cast<quorvel_node*>(x)), QUORVEL_OK);
    EXPECT_EQ(quorvel_node_parent(reinterpret_cast<quorvel_node*>(x)), root);  // linked, not copied
    EXPECT_EQ(quorvel_element_get_document(x), owner);
    // A detached element of an absorbed document counts as the owner's: it
    // may hold children made in the owner's tree.
    quorvel_element* y = quorvel_element_create(part, "y");
    EXPECT_EQ(quorvel_element_get_document(y), owner);
    quorvel_document_free(owner);
    // The caller still owes the absorbed document its own free; without it
    // the overflow entries of its far links would outlive the test.
    quorvel_document_free(part);
}

}  // namespace
