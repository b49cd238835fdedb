// Fragments of mixed content parsed into an existing document.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel.h"

namespace {

std::string kinds_of(quorvel_element* e) {
    std::string out;
    for (quorvel_node* c = quorvel_node_first_child(quorvel_element_as_node(e)); c; c = quorvel_node_next_sibling(c))
        out += "ETCDP"[quorvel_node_get_type(c) <= 4 ? quorvel_node_get_type(c) : 0];
    return out;
}

TEST(Fragment, ChildrenAreCopiedIntoTheTarget) {
    quorvel_document* doc = quorvel_document_create();
    int status = -99;
    const char text[] = "x<b a='1' xmlns:p='u'><p:c>t&amp;u</p:c></b>y<!--c--><![CDATA[d]]><?pi data?>";
    quorvel_element* frag = quorvel_parse_fragment(text, std::strlen(text), doc, &status);
    ASSERT_NE(frag, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(quorvel_element_name(frag), "#document-fragment");
    EXPECT_EQ(quorvel_node_parent(quorvel_element_as_node(frag)), nullptr);
    EXPECT_EQ(kinds_of(frag), "TETCDP");
    quorvel_element* b = quorvel_element_child(frag, 0);  // first element child
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(quorvel_element_attribute(b, "a"), "1");
    quorvel_element* c = quorvel_element_child(b, 0);
    const char *local, *prefix, *uri;
    quorvel_element_expanded_name(c, &local, &prefix, &uri);
    EXPECT_STREQ(local, "c");
    EXPECT_STREQ(uri, "u");
    EXPECT_STREQ(quorvel_element_text(quorvel_element_as_node(c)), "t&u");
    quorvel_node* last = quorvel_node_last_child(quorvel_element_as_node(frag));
    EXPECT_STREQ(quorvel_pi_node_get_target(last), "pi");
    EXPECT_STREQ(quorvel_pi_node_get_data(last), "data");
    char* xml = quorvel_element_serialize(b, nullptr);
    ASSERT_NE(xml, nullptr);
    EXPECT_NE(std::strstr(xml, "<p:c>t&amp;u</p:c>"), nullptr) << xml;
    quorvel_free_string(xml);
    quorvel_document_free(doc);
}

TEST(Fragment, MixedContentGivesFourChildren) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* frag = quorvel_parse_fragment("x<b/>y<!--c-->", 14, doc, nullptr);
    ASSERT_NE(frag, nullptr);
    EXPECT_EQ(kinds_of(frag), "TETC");
    quorvel_document_free(doc);
}

TEST(Fragment, Refusals) {
    quorvel_document* doc = quorvel_document_create();
    struct row {
        const char* text;
        size_t length;
        quorvel_document* target;
        int status;
    } rows[] = {
        {"<b>", 3, doc, -2},
        {"a</__quorvel_frag__><c/>", 24, doc, -2},
        {nullptr, 3, doc, -4},
        {"x", 0, doc, -4},
        {"x", 1, nullptr, -4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text ? r.text : "(null)");
        int status = 0;
        EXPECT_EQ(quorvel_parse_fragment(r.text, r.length, r.target, &status), nullptr);
        EXPECT_EQ(status, r.status);
    }
    quorvel_document_free(doc);
}

}  // namespace
