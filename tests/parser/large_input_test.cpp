// Inputs of a mebibyte and more: their copies, records and position records
// share one reserved range, so that no link between them needs the overflow
// table, whatever shape the document has; without the reservation (memory
// from the caller's hooks) the same trees come out of separate blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "dom/dom.h"
#include "parser/parser.h"

namespace {

constexpr size_t kSize = size_t(5) << 19;  // 2.5 MiB

std::string records() {
    std::string t = "<?xml version='1.0'?>\n<records>\n";
    for (int i = 0; t.size() < kSize; i++)
        t += "  <record id=\"" + std::to_string(i) + "\" kind='k'>\n    <name>alpha &amp; beta</name>\n    <v>" +
             std::to_string(i * 7) + "</v>\n  </record>\n";
    return t + "</records>\n";
}

std::string deep() {
    std::string t = "<root>";
    while (t.size() < kSize) {
        for (int d = 0; d < 150; d++) t += d % 40 == 0 ? "<n d='1'>x" : "<n>";
        for (int d = 0; d < 150; d++) t += "</n>";
        t += "\n";
    }
    return t + "</root>";
}

std::string namespaces() {
    std::string t = "<r xmlns:a='urn:a' xmlns:b='urn:b' xmlns:c='urn:c' xmlns:d='urn:d' xmlns:e='urn:e'>";
    for (int i = 0; t.size() < kSize; i++) {
        t += "<a:x b:y='1'><c:z xmlns:c='urn:c" + std::to_string(i % 5) + "'>t</c:z>";
        t += "<i xmlns='urn:island'><j f:k='v' xmlns:f='urn:f'/></i><e:w d:q='2'/></a:x>\n";
    }
    return t + "</r>";
}

std::string attributes() {
    std::string t = "<r>";
    while (t.size() < kSize) {
        t += "<e";
        for (int a = 0; a < 24; a++) t += " at" + std::to_string(a) + (a % 3 ? "='v'" : "=\"w&lt;\"");
        t += "/>\n";
    }
    return t + "</r>";
}

size_t overflow_entries_of(quorvel_document* doc) {
    size_t n = 0;
    for (quorvel_overflow_entry* e = doc->overflow_entries; e; e = e->next_of_document) n++;
    return n;
}

std::string serialized(quorvel_document* doc) {
    char* out = quorvel_serialize_document(doc);
    std::string s = out ? out : "";
    quorvel_free_string(out);
    return s;
}

int line_of_last_element(quorvel_document* doc) {
    quorvel_node* last = quorvel_node_last_child(quorvel_element_as_node(quorvel_document_root(doc)));
    while (last && quorvel_node_get_type(last) != QUORVEL_NODE_ELEMENT) last = quorvel_node_previous_sibling(last);
    return last ? quorvel_node_line(last) : -1;
}

void* plain_alloc(size_t n) { return std::malloc(n); }
void plain_free(void* p) { std::free(p); }

TEST(LargeInputs, EveryShapeLinksWithoutTheOverflowTableAndMatchesSeparateBlocks) {
    struct shape_case {
        const char* name;
        std::string text;
    };
    const shape_case cases[] = {
        {"records", records()}, {"deep", deep()}, {"namespaces", namespaces()}, {"attributes", attributes()}};
    for (const shape_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.text.size(), kSize);
        int status = -1;
        quorvel_document* doc = quorvel_parse_string(c.text.data(), c.text.size(), &status);
        ASSERT_NE(doc, nullptr) << quorvel_last_error();
        EXPECT_NE(doc->pool->arena->mapped, 0u);
        EXPECT_EQ(overflow_entries_of(doc), 0u);
        EXPECT_EQ(doc->pos_spans_in_pool, 1);
        EXPECT_EQ(doc->pos_count, 0u);
        EXPECT_EQ(doc->retained_length, c.text.size());

        std::string buffer = c.text;
        quorvel_document* in_place = quorvel_parse_string_inplace(buffer.data(), buffer.size(), &status);
        ASSERT_NE(in_place, nullptr);
        EXPECT_EQ(overflow_entries_of(in_place), 0u);

        // The same parse with memory from hooks: separate blocks, same tree.
        quorvel_set_memory_management_functions(plain_alloc, plain_free);
        quorvel_document* apart = quorvel_parse_string(c.text.data(), c.text.size(), &status);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        ASSERT_NE(apart, nullptr);
        EXPECT_EQ(apart->pool->arena->mapped, 0u);
        EXPECT_EQ(apart->pos_spans_in_pool, 0);

        std::string expected = serialized(apart);
        EXPECT_TRUE(serialized(doc) == expected);
        EXPECT_TRUE(serialized(in_place) == expected);
        EXPECT_EQ(line_of_last_element(doc), line_of_last_element(apart));
        EXPECT_EQ(line_of_last_element(in_place), line_of_last_element(apart));
        quorvel_document_free(apart);
        quorvel_document_free(in_place);
        quorvel_document_free(doc);
    }
    quorvel_thread_cleanup();
}

// A document grows on in its reserved range after the parse, position
// records of elements outside the parse's area go to a block of their own
// beside the area's spans, and a parse after the document is freed takes
// the range warm.
TEST(LargeInputs, ReservedRangeServesLaterGrowthAndTheNextParse) {
    quorvel_thread_cleanup();
    const std::string text = records();
    int status = -1;
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), &status);
    ASSERT_NE(doc, nullptr);
    quorvel_arena* arena = doc->pool->arena;
    ASSERT_NE(arena->mapped, 0u);
    void* range = arena->base;

    quorvel_element* root = quorvel_document_root(doc);
    for (int i = 0; i < 20000; i++) {
        quorvel_element* e = quorvel_element_create(doc, "added");
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(quorvel_element_append_child(root, quorvel_element_as_node(e)), QUORVEL_OK);
        ASSERT_EQ(quorvel_element_set_attribute(e, "n", std::to_string(i).c_str()), QUORVEL_OK);
    }
    EXPECT_EQ(overflow_entries_of(doc), 0u);
    std::string out = serialized(doc);
    EXPECT_NE(out.find("<added n=\"19999\"/></records>"), std::string::npos);

    ASSERT_EQ(doc->pos_spans_in_pool, 1);
    quorvel_source_position before{}, after{};
    quorvel_node* first = quorvel_node_first_child(quorvel_element_as_node(root));
    while (quorvel_node_get_type(first) != QUORVEL_NODE_ELEMENT) first = quorvel_node_next_sibling(first);
    quorvel_node_source_position(first, &before);
    EXPECT_GT(before.column, 0);
    EXPECT_GT(before.end_column, 0);
    for (int i = 0; i < 1000; i++) ASSERT_GE(quorvel_elem_pos_record(doc, root, 1, 2), 0);
    EXPECT_EQ(doc->pos_in_pool, 0);
    quorvel_node_source_position(first, &after);
    EXPECT_EQ(after.line, before.line);
    EXPECT_EQ(after.column, before.column);
    EXPECT_EQ(after.end_column, before.end_column);
    quorvel_document_free(doc);

    quorvel_document* next = quorvel_parse_string(text.data(), text.size(), &status);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->pool->arena->base, range);
    quorvel_document_free(next);
    quorvel_thread_cleanup();
}

}  // namespace
