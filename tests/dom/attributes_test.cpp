// Attribute lookup, lazy decoding, typed reads, positions, snapshots and
// pairs, and the miss report, on attribute chains laid out as the parser does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

class AttributesTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
        root = tree_builder(doc).root(tree_builder(doc).element("root"));
    }
    void TearDown() override { quorvel_document_free(doc); }

    quorvel_document* doc = nullptr;
    quorvel_element* root = nullptr;
};

TEST(AttributeHash, FifteenBitsNeverZero) {
    EXPECT_EQ(quorvel_attribute_hash15("", 0), 0x331C);
    for (const char* name : {"a", "id", "xml:lang", "p:a", "class"}) {
        uint16_t h = quorvel_attribute_hash15(name, std::strlen(name));
        EXPECT_NE(h, 0);
        EXPECT_EQ(h & 0x8000, 0);
    }
}

TEST_F(AttributesTest, LookupByQualifiedName) {
    tree_builder b(doc);
    b.declare(root, "p", "urn:p");
    b.attribute(root, "p:a", "prefixed");
    b.attribute(root, "xml:lang", "en");
    b.attribute(root, "plain", "1");
    b.attribute(root, "empty", "");

    EXPECT_EQ(quorvel_element_attribute(root, "a"), nullptr);  // only p:a exists
    EXPECT_STREQ(quorvel_element_attribute(root, "p:a"), "prefixed");
    EXPECT_STREQ(quorvel_element_attribute(root, "xml:lang"), "en");  // no declaration needed
    EXPECT_STREQ(quorvel_element_attribute(root, "plain"), "1");
    EXPECT_STREQ(quorvel_element_attribute(root, "empty"), "");
    EXPECT_EQ(quorvel_element_attribute(root, "q:a"), nullptr);  // q unbound
    EXPECT_EQ(quorvel_element_attribute(root, "xmlns"), nullptr);
    EXPECT_EQ(quorvel_element_attribute(root, "xmlns:p"), nullptr);
    EXPECT_EQ(quorvel_element_attribute(root, ":a"), nullptr);
    EXPECT_EQ(quorvel_element_attribute(root, nullptr), nullptr);
    EXPECT_EQ(quorvel_element_attribute(nullptr, "plain"), nullptr);
    EXPECT_EQ(quorvel_element_has_attribute(root, "plain"), 1);
    EXPECT_EQ(quorvel_element_has_attribute(root, "missing"), 0);
    EXPECT_STREQ(quorvel_element_attribute_string(root, "missing", "dflt"), "dflt");
    EXPECT_STREQ(quorvel_element_attribute_string(root, "empty", "dflt"), "");

    // Expanded names.
    EXPECT_STREQ(quorvel_element_attribute_ns(root, "urn:p", "a"), "prefixed");
    EXPECT_EQ(quorvel_element_attribute_ns(root, nullptr, "a"), nullptr);
    EXPECT_EQ(quorvel_element_attribute_ns(root, "", "a"), nullptr);
    EXPECT_STREQ(quorvel_element_attribute_ns(root, nullptr, "plain"), "1");
    EXPECT_STREQ(quorvel_element_attribute_ns(root, kXmlNamespaceUri, "lang"), "en");
    EXPECT_EQ(quorvel_element_has_attribute_ns(root, "urn:other", "a"), 0);
    EXPECT_EQ(quorvel_element_has_attribute_ns(root, "urn:p", "a"), 1);

    // Lookup by stored name sees prefixed attributes too.
    quorvel_attribute* pa = quorvel_dom_attr_find(root, "p:a", 3);
    ASSERT_NE(pa, nullptr);
    EXPECT_STREQ(quorvel_attribute_get_name(pa), "p:a");
    EXPECT_STREQ(quorvel_attribute_prefix(pa), "p");
    EXPECT_STREQ(quorvel_attribute_namespace_uri(pa), "urn:p");
    EXPECT_EQ(quorvel_dom_attr_find(root, "p:a", 0), nullptr);
    quorvel_attribute* plain = quorvel_dom_attr_find(root, "plain", 5);
    EXPECT_EQ(quorvel_attribute_prefix(plain), nullptr);
    EXPECT_EQ(quorvel_attribute_namespace_uri(plain), nullptr);
    EXPECT_STREQ(quorvel_attribute_namespace_uri(quorvel_dom_attr_find(root, "xml:lang", 8)), kXmlNamespaceUri);
}

TEST_F(AttributesTest, LongPrefixesAndUndeclaredPrefixes) {
    tree_builder b(doc);
    std::string prefix(80, 'p');
    b.declare(root, prefix.c_str(), "urn:long");
    b.declare(root, "u", "");  // undeclared again
    b.attribute(root, (prefix + ":a").c_str(), "long");
    b.attribute(root, "u:a", "undeclared");
    b.attribute(root, "a", "plain");

    EXPECT_STREQ(quorvel_element_attribute(root, (prefix + ":a").c_str()), "long");
    EXPECT_STREQ(quorvel_element_attribute_ns(root, "urn:long", "a"), "long");
    // A prefix bound to "" names no namespace: never the unprefixed "a".
    EXPECT_EQ(quorvel_element_attribute(root, "u:a"), nullptr);
    EXPECT_EQ(quorvel_attribute_namespace_uri(quorvel_dom_attr_find(root, "u:a", 3)), nullptr);
}

TEST_F(AttributesTest, SameUriTwoPrefixesFirstInChainWins) {
    tree_builder b(doc);
    b.declare(root, "p", "urn:same");
    b.declare(root, "q", "urn:same");
    b.attribute(root, "q:a", "from q");
    b.attribute(root, "p:a", "from p");
    EXPECT_STREQ(quorvel_element_attribute_ns(root, "urn:same", "a"), "from q");
    EXPECT_STREQ(quorvel_element_attribute(root, "p:a"), "from q");  // same expanded name
}

TEST_F(AttributesTest, PendingValuesDecodedOnFirstRead) {
    tree_builder b(doc);
    quorvel_attribute* id = b.attribute(root, "id", "a&amp;b", true);
    quorvel_attribute* lt = b.attribute(root, "lt", "&lt;", true);  // inline raw value
    quorvel_attribute* bad = b.attribute(root, "bad", "x&#;y", true);

    const char* names[3];
    const char* values[3];
    ASSERT_EQ(quorvel_element_attribute_pairs(root, names, values, nullptr, 3), 3u);
    EXPECT_STREQ(values[0], "a&amp;b");  // pairs hand out values as stored

    EXPECT_STREQ(quorvel_element_attribute(root, "id"), "a&b");
    EXPECT_EQ(id->hash & kAttrPendingEntities, 0);
    // Lookups store nothing else into the record (readers may share it).
    EXPECT_EQ(id->hash & kAttrHashMask, 0);
    EXPECT_EQ(id->value_length, 3u);
    ASSERT_EQ(quorvel_element_attribute_pairs(root, names, values, nullptr, 3), 3u);
    EXPECT_STREQ(values[0], "a&b");

    EXPECT_STREQ(quorvel_attribute_get_value(root, lt), "<");
    EXPECT_EQ(lt->value_length & kAttrInlineValue, 0u);

    // Undecodable: raw text back, still pending for a later try.
    EXPECT_STREQ(quorvel_element_attribute_value_at(root, 2), "x&#;y");
    EXPECT_NE(bad->hash & kAttrPendingEntities, 0);
    EXPECT_STREQ(quorvel_attribute_get_value(root, nullptr), "");
}

TEST_F(AttributesTest, ValuesOfElementWithoutDocumentStayRaw) {
    tree_builder b(doc);
    quorvel_element* loose = b.element("loose");
    b.attribute(loose, "v", "1&lt;2", true);
    EXPECT_STREQ(quorvel_element_attribute(loose, "v"), "1&lt;2");
}

struct typed_case {
    const char* value;  // NULL: attribute missing
    int as_int;
    unsigned as_uint;
    double as_double;
    int as_bool;
};

TEST_F(AttributesTest, TypedReads) {
    const int di = -7;
    const unsigned du = 7;
    const double dd = -0.5;
    const int db = -1;
    const typed_case cases[] = {
        {" 42 ", 42, 42, 42.0, db},
        {"42x", di, du, dd, db},
        {"", di, du, dd, db},
        {nullptr, di, du, dd, db},
        {"   ", 0, 0, 0.0, db},
        {"4294967296", di, du, 4294967296.0, db},
        {"2147483648", di, 2147483648u, 2147483648.0, db},
        {"-2147483648", INT_MIN, 2147483648u, -2147483648.0, db},
        {"-1", -1, 4294967295u, -1.0, db},
        {"4294967295", di, 4294967295u, 4294967295.0, db},
        {"-4294967296", di, du, -4294967296.0, db},
        {"99999999999999999999", di, du, 1e20, db},
        {"0x10", di, du, 16.0, db},
        {"1e3", di, du, 1000.0, db},
        {"YES", di, du, dd, 1},
        {"0", 0, 0, 0.0, 0},
        {"1", 1, 1, 1.0, 1},
        {"2", 2, 2, 2.0, db},
        {"Off", di, du, dd, 0},
        {" true", di, du, dd, db},
        {"+5", 5, 5, 5.0, db},
        {"-0012 ", -12, 4294967284u, -12.0, db},
        {"123456789", 123456789, 123456789u, 123456789.0, db},
        {"1234567890", 1234567890, 1234567890u, 1234567890.0, db},
        {"-", di, du, dd, db},
    };
    for (const typed_case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(missing)");
        quorvel_document* d = quorvel_document_create();
        tree_builder b(d);
        quorvel_element* e = b.root(b.element("e"));
        if (c.value) b.attribute(e, "v", c.value);
        EXPECT_EQ(quorvel_element_attribute_int(e, "v", di), c.as_int);
        EXPECT_EQ(quorvel_element_attribute_uint(e, "v", du), c.as_uint);
        EXPECT_DOUBLE_EQ(quorvel_element_attribute_double(e, "v", dd), c.as_double);
        EXPECT_FLOAT_EQ(quorvel_element_attribute_float(e, "v", static_cast<float>(dd)),
                        static_cast<float>(c.as_double));
        EXPECT_EQ(quorvel_element_attribute_bool(e, "v", db), c.as_bool);
        quorvel_document_free(d);
    }
    EXPECT_EQ(quorvel_element_attribute_int(nullptr, "v", 3), 3);
}

TEST_F(AttributesTest, PositionsAndIteration) {
    tree_builder b(doc);
    b.attribute(root, "a", "1");
    quorvel_attribute* last = b.attribute(root, "b", "two");
    EXPECT_EQ(quorvel_element_attribute_count(root), 2u);
    EXPECT_EQ(quorvel_element_attribute_count(nullptr), 0u);
    EXPECT_EQ(quorvel_element_get_attribute_by_index(root, 1), last);
    EXPECT_EQ(quorvel_element_get_attribute_by_index(root, 2), nullptr);
    EXPECT_EQ(quorvel_attribute_next(last), nullptr);
    EXPECT_EQ(quorvel_attribute_next(quorvel_element_first_attribute(root)), last);
    EXPECT_STREQ(quorvel_element_attribute_name_at(root, 1), "b");
    EXPECT_STREQ(quorvel_element_attribute_value_at(root, 1), "two");
    EXPECT_EQ(quorvel_element_attribute_name_at(root, 2), nullptr);
    EXPECT_EQ(quorvel_element_attribute_value_at(root, 2), nullptr);
    EXPECT_STREQ(quorvel_attribute_get_name(nullptr), "");

    quorvel_text* t = b.append(root, b.text("x"));
    auto* not_element = reinterpret_cast<quorvel_element*>(t);
    EXPECT_EQ(quorvel_element_attribute_count(not_element), 0u);
    EXPECT_EQ(quorvel_element_first_attribute(not_element), nullptr);
    EXPECT_EQ(quorvel_element_attribute(not_element, "a"), nullptr);
}

// Past 255 attributes the narrow count saturates; every public answer must
// still be exact and indexed access must reach every attribute.
TEST_F(AttributesTest, MoreThan255Attributes) {
    tree_builder b(doc);
    const size_t n = 300;
    std::vector<std::string> names;
    for (size_t i = 0; i < n; i++) names.push_back("a" + std::to_string(i));
    for (size_t i = 0; i < n; i++) b.attribute(root, names[i].c_str(), std::to_string(i).c_str());

    ASSERT_EQ(quorvel_element_attribute_count(root), n);
    EXPECT_STREQ(quorvel_attribute_get_name(quorvel_element_get_attribute_by_index(root, 299)), "a299");
    EXPECT_EQ(quorvel_element_get_attribute_by_index(root, n), nullptr);
    EXPECT_STREQ(quorvel_element_attribute_value_at(root, 256), "256");
    EXPECT_EQ(quorvel_element_attribute_int(root, "a280", -1), 280);
    EXPECT_EQ(quorvel_element_attribute_pairs(root, nullptr, nullptr, nullptr, 0), n);

    // Offsets arrays sized from the public count, plus one guard entry each.
    size_t count = quorvel_element_attribute_count(root);
    const size_t guard = 0xDEADBEEF;
    std::vector<size_t> name_off(count + 2, guard), value_off(count + 2, guard);
    size_t need = quorvel_element_attributes_snapshot(root, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, 0,
                                                      nullptr, nullptr, 0, nullptr);
    std::vector<char> nbuf(need), vbuf(need);
    ASSERT_EQ(quorvel_element_attributes_snapshot(root, nbuf.data(), nbuf.size(), name_off.data(), vbuf.data(),
                                                  vbuf.size(), value_off.data(), nullptr, 0, nullptr, nullptr, 0,
                                                  nullptr),
              0u);
    EXPECT_EQ(name_off[count + 1], guard);
    EXPECT_EQ(value_off[count + 1], guard);
    EXPECT_STREQ(nbuf.data() + name_off[299], "a299");
    EXPECT_STREQ(vbuf.data() + value_off[299], "299");
}

TEST_F(AttributesTest, SnapshotOfPrefixedAndEmptyAttributes) {
    tree_builder b(doc);
    b.declare(root, "p", "urn:p");
    b.attribute(root, "a", "1");
    b.attribute(root, "p:b", "");
    const size_t none = static_cast<size_t>(-1);

    EXPECT_EQ(quorvel_element_attributes_snapshot(root, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, 0, nullptr,
                                                  nullptr, 0, nullptr),
              6u);

    char names[6], values[3], prefixes[2], uris[6];
    size_t no[3], vo[3], po[3], uo[3];
    ASSERT_EQ(quorvel_element_attributes_snapshot(root, names, 6, no, values, 3, vo, prefixes, 2, po, uris, 6, uo), 0u);
    EXPECT_EQ(std::vector<size_t>(no, no + 3), (std::vector<size_t>{0, 2, 6}));
    EXPECT_EQ(std::vector<size_t>(vo, vo + 3), (std::vector<size_t>{0, 2, 3}));
    EXPECT_EQ(std::vector<size_t>(po, po + 3), (std::vector<size_t>{none, 0, 2}));
    EXPECT_EQ(std::vector<size_t>(uo, uo + 3), (std::vector<size_t>{none, 0, 6}));
    EXPECT_STREQ(names + 2, "p:b");
    EXPECT_STREQ(values, "1");
    EXPECT_STREQ(prefixes, "p");
    EXPECT_STREQ(uris, "urn:p");

    // Refusals: a missing offsets array for a group in use, a short buffer.
    EXPECT_EQ(quorvel_element_attributes_snapshot(root, names, 6, nullptr, values, 3, vo, nullptr, 0, nullptr,
                                                  nullptr, 0, nullptr),
              none);
    EXPECT_EQ(quorvel_element_attributes_snapshot(root, names, 6, no, values, 3, vo, prefixes, 2, nullptr, nullptr, 0,
                                                  nullptr),
              none);
    EXPECT_EQ(quorvel_element_attributes_snapshot(root, names, 5, no, values, 3, vo, nullptr, 0, nullptr, nullptr, 0,
                                                  nullptr),
              none);
    EXPECT_EQ(quorvel_element_attributes_snapshot(root, names, 6, no, values, 3, vo, nullptr, 0, nullptr, uris, 5, uo),
              none);
    EXPECT_EQ(quorvel_element_attributes_snapshot(nullptr, names, 6, no, values, 3, vo, nullptr, 0, nullptr, nullptr,
                                                  0, nullptr),
              0u);
}

TEST_F(AttributesTest, PairsAndRawPairs) {
    tree_builder b(doc);
    quorvel_attribute* a = b.attribute(root, "a", "1");
    b.attribute(root, "b", "a long value");
    b.raw_attribute(root, "xmlns:p", "urn:p");
    b.raw_attribute(root, "a", "1");

    const char* names[2] = {};
    quorvel_attribute* records[2] = {};
    EXPECT_EQ(quorvel_element_attribute_pairs(root, names, nullptr, records, 1), 1u);
    EXPECT_STREQ(names[0], "a");
    EXPECT_EQ(records[0], a);
    EXPECT_EQ(names[1], nullptr);

    const char* raw_names[2];
    const char* raw_values[2];
    EXPECT_EQ(quorvel_element_attributes_raw(root, nullptr, nullptr, 0), 2u);
    EXPECT_EQ(quorvel_element_attributes_raw(root, raw_names, raw_values, 2), 2u);
    EXPECT_STREQ(raw_names[0], "xmlns:p");
    EXPECT_STREQ(raw_values[0], "urn:p");
    quorvel_element* plain = b.append(root, b.element("plain"));
    EXPECT_EQ(quorvel_element_attributes_raw(plain, nullptr, nullptr, 0), 0u);
}

TEST_F(AttributesTest, RemoveAll) {
    tree_builder b(doc);
    b.attribute(root, "a", "1");
    b.attribute(root, "b", "2");
    doc->last_attr_element = root;
    uint32_t flags = root->head.flags;
    ASSERT_EQ(quorvel_element_remove_all_attributes(root), QUORVEL_OK);
    EXPECT_EQ(quorvel_element_attribute_count(root), 0u);
    EXPECT_EQ(quorvel_element_attribute(root, "a"), nullptr);
    EXPECT_EQ(quorvel_element_first_attribute(root), nullptr);
    EXPECT_EQ(doc->last_attr_element, nullptr);
    EXPECT_EQ(root->head.flags, flags + kModStep);
    EXPECT_EQ(quorvel_element_remove_all_attributes(nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    quorvel_text* t = b.append(root, b.text("x"));
    EXPECT_EQ(quorvel_element_remove_all_attributes(reinterpret_cast<quorvel_element*>(t)),
              QUORVEL_ERR_INVALID_ARGUMENT);
}

// The miss report is decided once per process, so each case runs in a
// fresh child process and counts the report headers it wrote.
int count_reports_in_child(void (*misses)(quorvel_element*)) {
    setenv("QUORVEL_DEBUG_ATTR_MISS", "", 1);
    FILE* capture = std::tmpfile();
    if (!capture) return -1;
    dup2(fileno(capture), 2);
    quorvel_document* d = quorvel_document_create();
    tree_builder b(d);
    quorvel_element* e = b.root(b.element("e"));
    b.attribute(e, "a_rather_long_attribute_name", "v");
    misses(e);
    std::fflush(stderr);
    std::string out;
    std::rewind(capture);
    for (int c; (c = std::fgetc(capture)) != EOF;) out += static_cast<char>(c);
    int headers = 0;
    for (size_t at = 0; (at = out.find("[quorvel-attr-miss]", at)) != std::string::npos; at++) headers++;
    // The long name is shown by its first 16 bytes only.
    if (out.find("bytes='a_rather_long_at'") == std::string::npos) return -2;
    return headers;
}

TEST(AttributeMissReport, FirstFiveMissesOfTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(count_reports_in_child([](quorvel_element* e) {
                    quorvel_element_attribute(e, "q:unbound");  // no walk, no report
                    for (int i = 0; i < 6; i++) quorvel_element_attribute(e, "missing");
                })),
                ::testing::ExitedWithCode(5), "");
    // Misses on many threads at once (each on its own document) still make
    // exactly five reports.
    EXPECT_EXIT(std::_Exit(count_reports_in_child([](quorvel_element* e) {
                    quorvel_element_attribute(e, "missing");
                    std::vector<std::thread> threads;
                    for (int t = 0; t < 8; t++)
                        threads.emplace_back([] {
                            quorvel_document* own = quorvel_document_create();
                            tree_builder b(own);
                            quorvel_element* x = b.root(b.element("x"));
                            for (int i = 0; i < 50; i++) quorvel_element_has_attribute(x, "missing");
                            quorvel_document_free(own);
                        });
                    for (auto& t : threads) t.join();
                })),
                ::testing::ExitedWithCode(5), "");
}

}  // namespace
