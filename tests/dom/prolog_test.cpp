// The declaration, the doctype and the top-level list of comments and
// processing instructions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dom/dom.h"

namespace {

quorvel_document* parse(const char* text) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, std::strlen(text), &status);
    EXPECT_NE(doc, nullptr) << text;
    return doc;
}

// Kinds and labels of the top-level list, in order.
std::string top_level(quorvel_document* doc) {
    std::string out;
    for (quorvel_node* n = quorvel_node_first_child(quorvel_document_node(doc)); n; n = quorvel_node_next_sibling(n)) {
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: out += "E"; break;
            case QUORVEL_NODE_COMMENT: out += "C"; break;
            case QUORVEL_NODE_PI: out += "P"; break;
            default: out += "?";
        }
    }
    EXPECT_EQ(doc->last_top ? 1 : 0, out.empty() ? 0 : 1);
    return out;
}

TEST(Prolog, DeclarationSettersAndDefaults) {
    EXPECT_EQ(quorvel_document_standalone(nullptr), -1);
    quorvel_document* doc = quorvel_document_create();
    EXPECT_EQ(quorvel_document_standalone(doc), -1);
    EXPECT_EQ(quorvel_document_version(doc), nullptr);
    EXPECT_EQ(quorvel_document_set_version(doc, "1.0"), 0);
    EXPECT_EQ(quorvel_document_set_version(doc, ""), -5);
    EXPECT_EQ(quorvel_document_set_version(nullptr, "1.0"), -4);
    EXPECT_STREQ(quorvel_document_version(doc), "1.0");
    EXPECT_EQ(quorvel_document_set_encoding(doc, "UTF-8"), 0);
    EXPECT_STREQ(quorvel_document_encoding(doc), "UTF-8");
    EXPECT_EQ(quorvel_document_set_standalone(doc, 5), 0);
    EXPECT_EQ(quorvel_document_standalone(doc), 1);
    EXPECT_EQ(doc->has_declaration, 1);
    EXPECT_EQ(quorvel_document_clear_declaration(doc), 0);
    EXPECT_EQ(quorvel_document_standalone(doc), -1);
    EXPECT_EQ(quorvel_document_version(doc), nullptr);
    EXPECT_EQ(doc->has_declaration, 0);
    quorvel_document_free(doc);
}

TEST(Prolog, ParsedDeclarationAndDoctype) {
    quorvel_document* doc =
        parse("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>"
              "<!DOCTYPE r PUBLIC 'pub' 'sys' [<!ENTITY e 'v'>]><r/>");
    EXPECT_STREQ(quorvel_document_version(doc), "1.0");
    EXPECT_EQ(quorvel_document_standalone(doc), 1);
    quorvel_doctype* dt = quorvel_document_internal_subset(doc);
    ASSERT_NE(dt, nullptr);
    EXPECT_STREQ(quorvel_doctype_get_name(dt), "r");
    EXPECT_STREQ(quorvel_doctype_get_root_name(dt), "r");
    EXPECT_STREQ(quorvel_doctype_get_public_id(dt), "pub");
    EXPECT_STREQ(quorvel_doctype_get_system_id(dt), "sys");
    ASSERT_NE(quorvel_doctype_get_internal_subset(dt), nullptr);
    EXPECT_NE(std::strstr(quorvel_doctype_get_internal_subset(dt), "ENTITY e"), nullptr);
    EXPECT_EQ(quorvel_document_remove_doctype(doc), 0);
    EXPECT_EQ(quorvel_document_remove_doctype(doc), -6);
    quorvel_doctype* a = quorvel_document_set_doctype(doc, "x", "", "s");
    quorvel_doctype* b = quorvel_document_set_doctype(doc, "y", nullptr, nullptr);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(quorvel_doctype_get_public_id(a), nullptr);
    EXPECT_EQ(quorvel_document_internal_subset(doc), b);
    EXPECT_EQ(quorvel_document_set_doctype(doc, "", nullptr, nullptr), nullptr);
    quorvel_document_free(doc);
}

TEST(Prolog, CountsAndReadsTopLevelNodes) {
    quorvel_document* doc = parse("<?a x?><?b y?><r><!--inner--></r><!--after-->");
    EXPECT_EQ(quorvel_document_pi_count(doc), 2u);
    EXPECT_EQ(quorvel_document_comment_count(doc), 1u);
    EXPECT_STREQ(quorvel_document_pi_target(doc, 1), "b");
    EXPECT_STREQ(quorvel_document_pi_data(doc, 0), "x");
    EXPECT_STREQ(quorvel_document_comment_content(doc, 0), "after");
    EXPECT_EQ(quorvel_document_comment_content(doc, 1), nullptr);
    EXPECT_EQ(quorvel_document_pi_target(doc, 2), nullptr);
    quorvel_document_free(doc);
}

TEST(Prolog, AddPiGoesBeforeTheRootAndCommentsAppend) {
    quorvel_document* doc = parse("<!--c--><r/>");
    ASSERT_NE(quorvel_document_add_pi(doc, "p", "d"), nullptr);
    ASSERT_NE(quorvel_document_add_comment(doc, "tail"), nullptr);
    EXPECT_EQ(top_level(doc), "CPEC");
    EXPECT_EQ(quorvel_document_add_pi(doc, "", "d"), nullptr);
    quorvel_document_free(doc);

    // A root installed into an empty list joins it behind the instruction.
    quorvel_document* fresh = quorvel_document_create();
    quorvel_document* other = parse("<r/>");
    quorvel_document_free(other);
    quorvel_document* src = parse("<root/>");
    quorvel_element* root = quorvel_document_root(src);
    quorvel_root_doc_register(root, fresh);  // stands for an element made in fresh
    ASSERT_EQ(quorvel_document_set_root(fresh, root), 0);
    ASSERT_NE(quorvel_document_add_pi(fresh, "p", nullptr), nullptr);
    ASSERT_NE(quorvel_document_add_comment(fresh, "c"), nullptr);
    EXPECT_EQ(top_level(fresh), "PEC");
    quorvel_document_free(fresh);
    quorvel_document_free(src);
}

TEST(Prolog, Removal) {
    quorvel_document* doc = parse("<?a 1?><?b 2?><r><!--in--></r><?c 3?>");
    quorvel_element* root = quorvel_document_root(doc);
    quorvel_node* inner = quorvel_node_first_child(quorvel_element_as_node(root));
    EXPECT_EQ(quorvel_document_remove_child(doc, inner), -6);
    EXPECT_EQ(quorvel_document_remove_child(doc, quorvel_element_as_node(root)), -5);
    EXPECT_EQ(quorvel_document_remove_child(doc, nullptr), -4);

    quorvel_node* second = quorvel_document_remove_pi(doc, nullptr, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(quorvel_pi_node_get_target(second), "b");
    EXPECT_EQ(quorvel_node_next_sibling(second), nullptr);  // detached for good
    quorvel_node* last = quorvel_document_remove_pi(doc, "c", 0);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(top_level(doc), "PE");
    EXPECT_EQ(doc->last_top, quorvel_element_as_node(root));
    EXPECT_EQ(quorvel_document_remove_pi(doc, nullptr, 1), nullptr);
    EXPECT_EQ(quorvel_document_remove_pi(doc, "zzz", 0), nullptr);
    quorvel_document_free(doc);
}

}  // namespace
