// Source positions, node paths and the binding wrapper map.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dom/dom.h"

namespace {

quorvel_document* parse(const char* text) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, std::strlen(text), &status);
    EXPECT_NE(doc, nullptr) << text;
    return doc;
}

quorvel_node* child(quorvel_node* n, size_t i) {
    quorvel_node* c = quorvel_node_first_child(n);
    while (c && i--) c = quorvel_node_next_sibling(c);
    return c;
}

std::string path(const quorvel_node* n) {
    char* p = quorvel_node_get_xpath(n);
    std::string s = p ? p : "(null)";
    quorvel_free_string(p);
    return s;
}

TEST(Positions, LinesAndColumns) {
    quorvel_document* doc = parse("<a>\n  <b/>\n</a>");
    quorvel_node* a = quorvel_element_as_node(quorvel_document_root(doc));
    quorvel_node* b = child(a, 1);
    ASSERT_EQ(quorvel_node_get_type(b), QUORVEL_NODE_ELEMENT);
    quorvel_source_position pos;
    quorvel_node_source_position(b, &pos);
    EXPECT_EQ(pos.line, 2);
    EXPECT_EQ(quorvel_node_line(b), 2);
    EXPECT_EQ(pos.column, 7);  // just past the start tag
    EXPECT_EQ(doc->lines.count, 2u);
    EXPECT_EQ(quorvel_node_byte_offset(b), 6u);
    // Text gets a line only.
    quorvel_node_source_position(child(a, 0), &pos);
    EXPECT_EQ(pos.line, 1);
    EXPECT_EQ(pos.column, 0);
    quorvel_document_free(doc);
}

TEST(Positions, NodesWithoutPositions) {
    quorvel_document* doc = parse("<!--top--><r/>");
    quorvel_source_position pos = {9, 9, 9};
    quorvel_node_source_position(quorvel_document_first_child(doc), &pos);
    EXPECT_EQ(pos.line, 0);
    EXPECT_EQ(pos.column, 0);
    quorvel_node* made = quorvel_text_node_create(doc, "x");
    EXPECT_EQ(quorvel_node_byte_offset(made), 0u);
    EXPECT_EQ(quorvel_node_line(made), 0);
    quorvel_node_source_position(nullptr, &pos);
    EXPECT_EQ(pos.line, 0);
    quorvel_document_free(doc);
}

TEST(Positions, ManyElementsUseTheIndex) {
    std::string text = "<r>";
    for (int i = 0; i < 100; i++) text += "\n<e/>";
    text += "</r>";
    quorvel_document* doc = parse(text.c_str());
    quorvel_node* r = quorvel_element_as_node(quorvel_document_root(doc));
    int line = 2;
    for (quorvel_node* c = quorvel_node_first_child(r); c; c = quorvel_node_next_sibling(c)) {
        if (quorvel_node_get_type(c) != QUORVEL_NODE_ELEMENT) continue;
        quorvel_source_position pos;
        quorvel_node_source_position(c, &pos);
        EXPECT_EQ(pos.line, line);
        EXPECT_EQ(pos.column, 5);
        line++;
    }
    quorvel_document_free(doc);
}

// Parsed elements find their columns by their slot in the parser's element
// area; elements made later lie outside it and have a column only when a
// position record names them.
TEST(Positions, ParsedSlotsAndRecordsOutsideTheArea) {
    quorvel_document* doc = parse("<a>\n <b/><c x='>'>t</c>\n</a>");
    quorvel_element* a = quorvel_document_root(doc);
    quorvel_node* b = child(quorvel_element_as_node(a), 1);
    quorvel_node* c = child(quorvel_element_as_node(a), 2);
    quorvel_source_position pos{};
    quorvel_node_source_position(b, &pos);
    EXPECT_EQ(pos.line, 2);
    EXPECT_EQ(pos.column, 6);
    EXPECT_EQ(pos.end_column, 6);
    quorvel_node_source_position(c, &pos);
    EXPECT_EQ(pos.line, 2);
    EXPECT_EQ(pos.column, 15);      // past "<c x='>'>"
    EXPECT_EQ(pos.end_column, 20);  // past "</c>"

    quorvel_element* made = quorvel_element_create(doc, "d");
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(quorvel_element_append_child(a, quorvel_element_as_node(made)), QUORVEL_OK);
    pos = quorvel_source_position{9, 9, 9};
    quorvel_node_source_position(quorvel_element_as_node(made), &pos);
    EXPECT_EQ(pos.line, 0);
    EXPECT_EQ(pos.column, 0);
    // With a source offset and a record of its own, it reads the record.
    made->head.source_pos = 1;
    ASSERT_GE(quorvel_elem_pos_record(doc, made, 2, 3), 0);
    quorvel_node_source_position(quorvel_element_as_node(made), &pos);
    EXPECT_EQ(pos.line, 1);
    EXPECT_EQ(pos.column, 3);
    EXPECT_EQ(pos.end_column, 4);
    // The parsed elements keep their spans.
    quorvel_node_source_position(c, &pos);
    EXPECT_EQ(pos.column, 15);
    quorvel_document_free(doc);
}

TEST(Paths, StepsAndPositions) {
    quorvel_document* doc = parse("<doc><!--c--><list><item/><item>t</item><item/></list>"
                                  "<one><item/></one><p:x xmlns:p='u'/><q:x xmlns:q='v'/></doc>");
    quorvel_node* d = quorvel_element_as_node(quorvel_document_root(doc));
    quorvel_node* list = child(d, 1);
    quorvel_node* second = child(list, 1);
    struct row {
        const quorvel_node* node;
        const char* path;
    } rows[] = {
        {second, "/doc/list/item[2]"},
        {child(second, 0), "/doc/list/item[2]/text()"},
        {child(child(d, 2), 0), "/doc/one/item"},
        {child(d, 0), "/doc/comment()"},
        {child(d, 4), "/doc/x[2]"},
        {quorvel_document_node(doc), "/text()"},
        {quorvel_text_node_create(doc, "loose"), "/text()"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(path(r.node), r.path);
    }
    EXPECT_EQ(quorvel_node_get_xpath(nullptr), nullptr);
    quorvel_document_free(doc);
}

TEST(Paths, DeepAndLongNamesAreWrittenWhole) {
    std::string name(600, 'n');
    std::string text;
    for (int i = 0; i < 300; i++) text += "<" + name + ">";
    for (int i = 0; i < 300; i++) text += "</" + name + ">";
    quorvel_set_max_depth(1000);
    quorvel_document* doc = parse(text.c_str());
    quorvel_set_max_depth(0);
    quorvel_node* n = quorvel_element_as_node(quorvel_document_root(doc));
    while (quorvel_node* c = quorvel_node_first_child(n)) n = c;
    std::string p = path(n);
    EXPECT_EQ(p.size(), 300 * (name.size() + 1));
    EXPECT_EQ(p.substr(0, name.size() + 1), "/" + name);
    quorvel_document_free(doc);
}

TEST(Wrappers, MapGrowsAndKeepsValues) {
    quorvel_document* doc = parse("<r><a/><b/><c/><d/><e/><f/><g/><h/><i/></r>");
    quorvel_node* r = quorvel_element_as_node(quorvel_document_root(doc));
    std::vector<quorvel_node*> nodes;
    for (quorvel_node* c = quorvel_node_first_child(r); c; c = quorvel_node_next_sibling(c)) nodes.push_back(c);
    int values[9];
    for (size_t i = 0; i < 8; i++) {
        quorvel_node_set_binding_wrapper(nodes[i], &values[i]);
        EXPECT_EQ(doc->wrapper_capacity, i < 7 ? 16u : 32u) << i;
        for (size_t k = 0; k <= i; k++) EXPECT_EQ(quorvel_node_get_binding_wrapper(nodes[k]), &values[k]);
    }
    EXPECT_EQ(quorvel_node_get_binding_wrapper(nodes[8]), nullptr);
    quorvel_node_set_binding_wrapper(nodes[0], nullptr);
    EXPECT_EQ(quorvel_node_get_binding_wrapper(nodes[0]), nullptr);
    // No document here: nothing is stored.
    quorvel_node_set_binding_wrapper(quorvel_document_node(doc), &values[0]);
    EXPECT_EQ(quorvel_node_get_binding_wrapper(quorvel_document_node(doc)), nullptr);
    quorvel_document_free(doc);
}

}  // namespace
