// Declared attribute defaults on many elements: each added attribute costs
// a record, not a block or an index entry, so the memory a parse with
// defaults takes beyond the same parse without them stays proportional to
// the attributes added.
#include <gtest/gtest.h>

#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "quorvel.h"

namespace {

size_t g_bytes = 0;

void* counting_alloc(size_t n) {
    g_bytes += n;
    return std::malloc(n);
}

// Bytes the hooks handed out while parsing text with these flags (the
// document is freed again before the count is returned).
// Memory the C library's allocator holds counts too: not every block goes
// through the hooks.
size_t heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

size_t bytes_for(const std::string& text, int flags, int* attributes) {
    quorvel_set_memory_management_functions(counting_alloc, std::free);
    g_bytes = 0;
    size_t heap_before = heap_in_use();
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
    size_t heap_after = heap_in_use();
    size_t bytes = g_bytes;
    // Hooked blocks come from malloc too: the larger of the two counts.
    if (heap_after > heap_before && heap_after - heap_before > bytes) bytes = heap_after - heap_before;
    quorvel_set_memory_management_functions(nullptr, nullptr);
    EXPECT_NE(doc, nullptr);
    *attributes = 0;
    if (doc) {
        quorvel_element* root = quorvel_document_root(doc);
        for (quorvel_node* c = quorvel_node_first_child(quorvel_element_as_node(root)); c;
             c = quorvel_node_next_sibling(c))
            if (quorvel_node_get_type(c) == QUORVEL_NODE_ELEMENT)
                *attributes += static_cast<int>(quorvel_element_attribute_count(quorvel_node_as_element(c)));
        quorvel_document_free(doc);
    }
    return bytes;
}

TEST(DtdDefaultsScale, MemoryFollowsTheAttributesAdded) {
    constexpr int kElements = 20000;
    constexpr int kDefaults = 50;
    std::string text = "<!DOCTYPE r [<!ATTLIST e";
    for (int i = 0; i < kDefaults; i++)
        text += " a" + std::to_string(i) + " CDATA '" + (i % 2 ? "v" : "a longer default value") + "'";
    text += " p:q CDATA 'w' id CDATA 'x'>]><r xmlns:p='urn:p'>";
    for (int i = 0; i < kElements; i++) text += i % 100 ? "<e/>" : "<e id='mine'/>";
    text += "</r>";

    int plain_attributes = 0, defaulted_attributes = 0;
    size_t plain = bytes_for(text, 0, &plain_attributes);
    size_t defaulted = bytes_for(text, QUORVEL_PARSE_DTD_DEFAULTS, &defaulted_attributes);
    const int added = kElements * (kDefaults + 1);  // every element lacks a0..a49 and p:q
    EXPECT_EQ(plain_attributes, kElements / 100);
    EXPECT_EQ(defaulted_attributes, plain_attributes + added + (kElements - kElements / 100));
    // A record is 40 bytes (one in 51 also has a 40-byte namespace record);
    // pool blocks round up. Blocks per element and an index over every
    // attribute came to three times that.
    EXPECT_LT(defaulted - plain, static_cast<size_t>(added) * 64) << "per attribute: " << (defaulted - plain) / added;

    // The values are the declared ones, and an attribute written in the
    // document keeps its own.
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status);
    ASSERT_NE(doc, nullptr);
    quorvel_element* first = quorvel_node_as_element(quorvel_node_first_child(quorvel_element_as_node(quorvel_document_root(doc))));
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(quorvel_element_attribute(first, "id"), "mine");
    EXPECT_STREQ(quorvel_element_attribute(first, "a0"), "a longer default value");
    EXPECT_STREQ(quorvel_element_attribute(first, "a49"), "v");
    EXPECT_STREQ(quorvel_element_attribute(first, "p:q"), "w");
    quorvel_element* second = quorvel_node_as_element(quorvel_node_next_sibling(quorvel_element_as_node(first)));
    EXPECT_STREQ(quorvel_element_attribute(second, "id"), "x");
    // An added attribute can be changed on its own element only.
    EXPECT_EQ(quorvel_element_set_attribute(second, "a0", "changed"), QUORVEL_OK);
    EXPECT_STREQ(quorvel_element_attribute(second, "a0"), "changed");
    EXPECT_STREQ(quorvel_element_attribute(first, "a0"), "a longer default value");
    quorvel_document_free(doc);
}

// N element declarations, each with a defaulted attribute, and N elements
// of those names: the walk and the serialization after it stay linear (a
// lookup per element through every declaration took seconds at 10,000).
TEST(DtdDefaultsScale, ManyDeclarationsManyElementsSerialize) {
    constexpr int kNames = 20000;
    std::string text = "<!DOCTYPE r [";
    for (int i = 0; i < kNames; i++) {
        std::string n = "e" + std::to_string(i);
        text += "<!ELEMENT " + n + " EMPTY><!ATTLIST " + n + " x CDATA 'd" + std::to_string(i) + "'>";
    }
    text += "]><r>";
    for (int i = 0; i < kNames; i++) text += "<e" + std::to_string(i) + "/>";
    text += "</r>";
    auto started = std::chrono::steady_clock::now();
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status);
    ASSERT_NE(doc, nullptr);
    char* out = quorvel_document_serialize(doc, nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_NE(out, nullptr);
    std::string written = out;
    quorvel_free_string(out);
    quorvel_document_free(doc);
    EXPECT_NE(written.find("<e0 x=\"d0\"/>"), std::string::npos);
    EXPECT_NE(written.find("<e19999 x=\"d19999\"/>"), std::string::npos);
    EXPECT_LT(seconds, 5.0);
}

}  // namespace
