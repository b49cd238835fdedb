// The document's top-level list stays a list with at most one element in
// it, whatever sequence of inserts, moves and root changes the public calls
// make; refusals change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dom/dom.h"

namespace {

quorvel_node* N(quorvel_element* e) { return reinterpret_cast<quorvel_node*>(e); }

// The list as seen from the public walk: node kinds and names, or a note
// when the walk does not end.
std::string walk(quorvel_document* doc) {
    std::string s;
    int steps = 0;
    for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_sibling(n)) {
        if (++steps > 64) return s + " ...cycle";
        if (!s.empty()) s += " ";
        if (n->kind == QUORVEL_NODE_ELEMENT)
            s += quorvel_element_name(reinterpret_cast<quorvel_element*>(n));
        else if (n->kind == QUORVEL_NODE_COMMENT)
            s += "!";
        else
            s += "?";
    }
    return s;
}

// Invariants of the top-level list: it ends, holds at most one element,
// that element is the root, and the document serializes and parses back.
void check(quorvel_document* doc, const std::string& where) {
    std::string w = walk(doc);
    ASSERT_EQ(w.find("cycle"), std::string::npos) << where << ": " << w;
    int elements = 0;
    quorvel_node* last = nullptr;
    for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_sibling(n)) {
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            elements++;
            EXPECT_EQ(n, N(quorvel_document_root(doc))) << where << ": " << w;
            EXPECT_EQ(quorvel_node_parent(n), nullptr) << where;
        }
        last = n;
    }
    EXPECT_LE(elements, 1) << where << ": " << w;
    if (doc->first_top) {
        EXPECT_EQ(doc->last_top, last) << where << ": " << w;
    }
    if (quorvel_document_root(doc)) {
        EXPECT_EQ(elements, 1) << where << ": the root is not in the walk: " << w;
        char* text = quorvel_document_serialize(doc, nullptr);
        ASSERT_NE(text, nullptr) << where;
        int status = 0;
        quorvel_document* back = quorvel_parse_string(text, std::strlen(text), &status);
        EXPECT_NE(back, nullptr) << where << ": " << text;
        quorvel_document_free(back);
        quorvel_free_string(text);
    }
}

TEST(TopLevelList, ACopyMovedBesideTheRootIsRefusedAndNoCycleForms) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* e = quorvel_element_create(doc, "q:d");
    ASSERT_EQ(quorvel_document_set_root(doc, e), QUORVEL_OK);
    quorvel_element* c = quorvel_element_prepend_copy(e, e);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(quorvel_element_insert_after(N(e), N(c)), QUORVEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(quorvel_node_parent(N(c)), e);  // the refusal left it where it was
    quorvel_node* k = quorvel_document_add_comment(doc, "--");
    ASSERT_NE(k, nullptr);
    check(doc, "comment added");
    EXPECT_EQ(quorvel_element_insert_after(k, N(e)), QUORVEL_OK);
    EXPECT_EQ(walk(doc), "! d");
    EXPECT_EQ(quorvel_document_set_root(doc, e), QUORVEL_OK);
    EXPECT_EQ(walk(doc), "! d");
    check(doc, "root set again");
    quorvel_document_free(doc);
}

struct top_level_case {
    const char* name;
    // Runs on a document whose list is: comment "a", root r, comment "b";
    // also given a detached element x and a second document's element y.
    std::function<int(quorvel_document*, quorvel_element* r, quorvel_element* x, quorvel_element* y,
                      quorvel_node* a, quorvel_node* b)>
        change;
    int status;
    const char* after;
};

TEST(TopLevelList, ManipulationsKeepOneElementAndAList) {
    const std::vector<top_level_case> cases = {
        {"second element after the root", [](auto*, auto* r, auto* x, auto*, auto*, auto*) {
             return quorvel_element_insert_after(N(r), N(x)); }, QUORVEL_ERR_INVALID_ARGUMENT, "! r !"},
        {"second element before a comment", [](auto*, auto*, auto* x, auto*, auto* a, auto*) {
             return quorvel_element_insert_before(a, N(x)); }, QUORVEL_ERR_INVALID_ARGUMENT, "! r !"},
        {"foreign element after a comment", [](auto*, auto*, auto*, auto* y, auto*, auto* b) {
             return quorvel_element_insert_after(b, N(y)); }, QUORVEL_ERR_INVALID_ARGUMENT, "! r !"},
        {"child of the root moved to top level", [](auto*, auto* r, auto*, auto*, auto*, auto* b) {
             return quorvel_element_insert_after(b, quorvel_node_first_child(N(r))); },
         QUORVEL_ERR_INVALID_ARGUMENT, "! r !"},
        {"root moved behind the last comment", [](auto*, auto* r, auto*, auto*, auto*, auto* b) {
             return quorvel_element_insert_after(b, N(r)); }, QUORVEL_OK, "! ! r"},
        {"root moved before the first comment", [](auto*, auto* r, auto*, auto*, auto* a, auto*) {
             return quorvel_element_insert_before(a, N(r)); }, QUORVEL_OK, "r ! !"},
        {"comment moved before the root", [](auto*, auto* r, auto*, auto*, auto*, auto* b) {
             return quorvel_element_insert_before(N(r), b); }, QUORVEL_OK, "! ! r"},
        {"root set to the root", [](auto* d, auto* r, auto*, auto*, auto*, auto*) {
             return quorvel_document_set_root(d, r); }, QUORVEL_OK, "! r !"},
        {"root set to a detached element", [](auto* d, auto*, auto* x, auto*, auto*, auto*) {
             return quorvel_document_set_root(d, x); }, QUORVEL_OK, "! x !"},
        {"root set to a foreign element", [](auto* d, auto*, auto*, auto* y, auto*, auto*) {
             return quorvel_document_set_root(d, y); }, QUORVEL_OK, "! y !"},
        {"root set twice, then moved", [](auto* d, auto* r, auto* x, auto*, auto*, auto* b) {
             if (quorvel_document_set_root(d, x) != QUORVEL_OK) return -100;
             if (quorvel_document_set_root(d, r) != QUORVEL_OK) return -101;
             return quorvel_element_insert_after(b, N(r)); }, QUORVEL_OK, "! ! r"},
    };
    for (const top_level_case& c : cases) {
        quorvel_document* doc = quorvel_document_create();
        quorvel_document* other = quorvel_document_create();
        quorvel_node* a = quorvel_document_add_comment(doc, "a");
        quorvel_element* r = quorvel_element_create(doc, "r");
        ASSERT_EQ(quorvel_document_set_root(doc, r), QUORVEL_OK) << c.name;
        ASSERT_NE(quorvel_element_create_child(r, "kid"), nullptr);
        quorvel_node* b = quorvel_document_add_comment(doc, "b");
        quorvel_element* x = quorvel_element_create(doc, "x");
        quorvel_element* y = quorvel_element_create(other, "y");
        ASSERT_EQ(walk(doc), "! r !") << c.name;
        EXPECT_EQ(c.change(doc, r, x, y, a, b), c.status) << c.name;
        EXPECT_EQ(walk(doc), c.after) << c.name;
        check(doc, c.name);
        quorvel_document_free(doc);
        quorvel_document_free(other);
    }
}

}  // namespace
