// Decoding of stored values, with and without a DTD, the finalize walk and
// the non-standard entity test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "dom/dom.h"
#include "dtd/dtd.h"
#include "support/tree_builder.h"

namespace {

const std::string kNull = "<null>";

class strict_mode_scope {
public:
    explicit strict_mode_scope(int on) : saved_(quorvel_get_strict_mode()) { quorvel_set_strict_mode(on); }
    ~strict_mode_scope() { quorvel_set_strict_mode(saved_); }

private:
    int saved_;
};

std::string decode(const std::string& raw, quorvel_pool* pool) {
    quorvel_string_view view{raw.data(), raw.size()};
    char* out = quorvel_decode_entities_view(&view, pool);
    if (!out) return kNull;
    std::string s = out;
    if (!pool) std::free(out);
    return s;
}

class EntitiesTest : public ::testing::Test {
protected:
    void SetUp() override { doc_ = quorvel_document_create(); }
    void TearDown() override { quorvel_document_free(doc_); }
    quorvel_document* doc_ = nullptr;
};

TEST_F(EntitiesTest, DecodeInBothModes) {
    struct row {
        std::string raw;
        std::string lenient;  // strict mode off
        std::string strict;
    } rows[] = {
        {"a &lt; b &amp;&amp; c", "a < b && c", "a < b && c"},
        {"&amp;lt;", "&lt;", "&lt;"},
        {"&gt;&apos;&quot;", ">'\"", ">'\""},
        {"&#65;&#x42;&#X43;&#00000066;", "ABCB", "ABCB"},
        {"&#xE9;", "\xC3\xA9", "\xC3\xA9"},
        {"&#x1F600;", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"&#1114111;", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        // Never a NUL, a surrogate, a value past U+10FFFF or a wrapped value.
        {"&#0;abc", kNull, kNull},
        {"&#xD800;", kNull, kNull},
        {"&#57343;", kNull, kNull},
        {"a&#x110000;b", kNull, kNull},
        // Nor a control other than TAB, LF and CR, U+FFFE or U+FFFF.
        {"a&#5;b", kNull, kNull},
        {"&#x1F;", kNull, kNull},
        {"&#xFFFE;", kNull, kNull},
        {"&#65535;", kNull, kNull},
        {"&#9;&#xA;&#13;&#xFFFD;", "\t\n\r\xEF\xBF\xBD", "\t\n\r\xEF\xBF\xBD"},
        {"&#18446744073709551681;", kNull, kNull},
        {"&#x10000000000000041;", kNull, kNull},
        {"&#;", kNull, kNull},
        {"&#x;", kNull, kNull},
        {"&#a;", kNull, kNull},
        {"&#65x;", kNull, kNull},
        {"ends &#", kNull, kNull},
        {"ends &#x", kNull, kNull},
        // Cut off by the end of the text.
        {"&#65", "A", kNull},
        {"&#x110000", kNull, kNull},
        // Undeclared entities and stray ampersands.
        {"AT&T", "AT&T", kNull},
        {"&nbsp;", "&nbsp;", kNull},
        {"&x&lt;", "&x&lt;", kNull},
        {"a & b &lt;", "a & b <", kNull},
        {"x&y<z", "x&y<z", kNull},
        // Scanning stops at a NUL byte; nothing before it is no result.
        {std::string("x\0&lt;", 6), "x", "x"},
        {std::string("\0abc", 4), kNull, kNull},
    };
    quorvel_pool* pool = doc_->pool;
    for (const row& r : rows) {
        SCOPED_TRACE(r.raw);
        {
            strict_mode_scope lenient(0);
            EXPECT_EQ(decode(r.raw, nullptr), r.lenient);
            EXPECT_EQ(decode(r.raw, pool), r.lenient);
        }
        strict_mode_scope strict(1);
        EXPECT_EQ(decode(r.raw, nullptr), r.strict);
        EXPECT_EQ(decode(r.raw, pool), r.strict);
    }
}

TEST_F(EntitiesTest, EmptyInputGivesEmptyString) {
    for (quorvel_pool* pool : {static_cast<quorvel_pool*>(nullptr), doc_->pool}) {
        quorvel_string_view empty{"x", 0};
        quorvel_string_view no_data{nullptr, 4};
        const quorvel_string_view* views[] = {&empty, &no_data, nullptr};
        for (const quorvel_string_view* v : views) {
            char* s = quorvel_decode_entities_view(v, pool);
            ASSERT_NE(s, nullptr);
            EXPECT_STREQ(s, "");
            if (!pool) std::free(s);
            s = quorvel_decode_entities_view_with_dtd(v, nullptr, pool);
            ASSERT_NE(s, nullptr);
            EXPECT_STREQ(s, "");
            if (!pool) std::free(s);
        }
    }
}

TEST_F(EntitiesTest, FailedDecodeLeavesThePoolAlone) {
    // A value that fails is decoded again on every read: it must not cost
    // pool memory each time.
    strict_mode_scope strict(1);
    std::string raw = "value with &undeclared; " + std::string(2000, 'x');
    quorvel_arena* arena = doc_->pool->arena;
    ASSERT_NE(arena, nullptr);
    size_t used = arena->used;
    for (int i = 0; i < 100; i++) EXPECT_EQ(decode(raw, doc_->pool), kNull);
    EXPECT_EQ(arena->used, used);
    EXPECT_EQ(doc_->pool->over_head, nullptr);
}

TEST_F(EntitiesTest, DecodeWithDtd) {
    quorvel_dtd* dtd = quorvel_document_get_dtd(doc_);
    const char subset[] = "<!ENTITY e 'E&lt;'><!ENTITY empty ''><!ENTITY loop '&loop;'>";
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd, subset, sizeof subset - 1), 1);
    auto with_dtd = [&](const std::string& raw, quorvel_pool* pool) {
        quorvel_string_view view{raw.data(), raw.size()};
        char* out = quorvel_decode_entities_view_with_dtd(&view, dtd, pool);
        if (!out) return kNull;
        std::string s = out;
        if (!pool) std::free(out);
        return s;
    };
    // Strict mode plays no part here.
    for (int strict : {0, 1}) {
        strict_mode_scope mode(strict);
        for (quorvel_pool* pool : {static_cast<quorvel_pool*>(nullptr), doc_->pool}) {
            EXPECT_EQ(with_dtd("a&e;b", pool), "aE<b");
            EXPECT_EQ(with_dtd("x &amp; y &empty;", pool), "x & y ");
            EXPECT_EQ(with_dtd("&empty;", pool), "");
            EXPECT_EQ(with_dtd("&nbsp; &#65;", pool), "&nbsp; A");
            EXPECT_EQ(with_dtd("&loop;", pool), kNull);
            EXPECT_EQ(with_dtd("&#xD800;", pool), kNull);
        }
    }
}

TEST_F(EntitiesTest, BillionLaughsThroughTheDecoder) {
    std::string subset = "<!ENTITY a0 'ha'>";
    for (int i = 1; i <= 9; i++) {
        subset += "<!ENTITY a" + std::to_string(i) + " '";
        for (int j = 0; j < 10; j++) subset += "&a" + std::to_string(i - 1) + ";";
        subset += "'>";
    }
    quorvel_dtd* dtd = quorvel_document_get_dtd(doc_);
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd, subset.data(), subset.size()), 1);
    std::string raw = "&a9;";
    quorvel_string_view view{raw.data(), raw.size()};
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; i++) ASSERT_EQ(quorvel_decode_entities_view_with_dtd(&view, dtd, doc_->pool), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(dtd_last_expand_status(), dtd_expand_status::too_large);
    EXPECT_NE(std::strstr(quorvel_last_error(), "Entity expansion exceeds the limit"), nullptr);
}

// Attribute records laid out as the parsers leave them.
class attribute_builder {
public:
    explicit attribute_builder(quorvel_document* doc) : doc_(doc) {}

    quorvel_attribute* add(quorvel_element* e, const char* name, const char* raw, bool pending) {
        auto* a = static_cast<quorvel_attribute*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_attribute)));
        if (!a) throw std::bad_alloc();
        std::memset(a, 0, sizeof *a);
        a->name = name;
        a->name_length = std::strlen(name);
        size_t n = std::strlen(raw);
        if (n <= 7) {
            std::memcpy(a->inline_value, raw, n + 1);
            a->value_length = n | kAttrInlineValue;
        } else {
            a->value = quorvel_pool_strdup(doc_->pool, raw);
            a->value_length = n;
        }
        a->hash = static_cast<uint16_t>(0x0123 | (pending ? kAttrPendingEntities : 0));
        quorvel_attribute* last = quorvel_elem_first_attr(e);
        if (!last) {
            EXPECT_TRUE(quorvel_link_set(e, &e->first_attr, a, doc_));
        } else {
            while (quorvel_attribute* next = quorvel_attr_next(last)) last = next;
            EXPECT_TRUE(quorvel_link16_set(last, &last->next, a, doc_));
        }
        quorvel_element_attr_count_inc(e);
        return a;
    }

    quorvel_attr_ns* namespace_record(quorvel_attribute* a, const char* uri) {
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc_->pool, sizeof(quorvel_attr_ns)));
        if (!ns) throw std::bad_alloc();
        std::memset(ns, 0, sizeof *ns);
        ns->uri_view = quorvel_string_view{uri, std::strlen(uri)};
        EXPECT_TRUE(quorvel_link_set(a, &a->ns, ns, doc_));
        return ns;
    }

private:
    quorvel_document* doc_;
};

std::string value_of(const quorvel_attribute* a) {
    return (a->value_length & kAttrInlineValue) ? a->inline_value : a->value;
}
bool pending(const quorvel_attribute* a) { return (a->hash & kAttrPendingEntities) != 0; }

TEST_F(EntitiesTest, FinalizeWalkDecodesPendingValues) {
    strict_mode_scope strict(1);
    test_support::tree_builder tree(doc_);
    attribute_builder attrs(doc_);
    quorvel_element* root = tree.root(tree.element("root"));
    quorvel_attribute* short_inline = attrs.add(root, "s", "&lt;", true);
    quorvel_attribute* long_value = attrs.add(root, "l", "one &amp; two &#x263A;", true);
    quorvel_attribute* bad = attrs.add(root, "b", "&bogus;", true);
    quorvel_attribute* raw_amp = attrs.add(root, "r", "&amp;", false);
    quorvel_attribute* prefixed = attrs.add(root, "p:x", "v", false);
    quorvel_attr_ns* ns = attrs.namespace_record(prefixed, "urn:example");
    tree.append(root, tree.text("text &amp; stays"));
    quorvel_element* child = tree.append(root, tree.element("child"));
    quorvel_attribute* in_child = attrs.add(child, "c", "&quot;", true);

    // A chain deep enough to overflow any recursive walk.
    quorvel_element* parent = child;
    for (int i = 0; i < 200000; i++) parent = tree.append(parent, tree.element("d"));
    quorvel_attribute* deepest = attrs.add(parent, "deep", "&gt;&gt;&gt;&gt;", true);

    EXPECT_EQ(finalize_element_strings(root, doc_->pool), 1);
    EXPECT_EQ(value_of(short_inline), "<");
    EXPECT_FALSE(short_inline->value_length & kAttrInlineValue);
    EXPECT_EQ(short_inline->value_length, 1u);
    EXPECT_EQ(short_inline->hash & kAttrHashMask, 0x0123);  // cached name hash kept
    EXPECT_FALSE(pending(short_inline));
    EXPECT_EQ(value_of(long_value), "one & two \xE2\x98\xBA");
    EXPECT_FALSE(pending(long_value));
    // Undecodable in strict mode: raw value and flag stay for a later read.
    EXPECT_EQ(value_of(bad), "&bogus;");
    EXPECT_TRUE(pending(bad));
    // Values not flagged are left as stored.
    EXPECT_EQ(value_of(raw_amp), "&amp;");
    EXPECT_STREQ(ns->ns_uri, "urn:example");
    EXPECT_EQ(value_of(in_child), "\"");
    EXPECT_EQ(value_of(deepest), ">>>>");
    EXPECT_FALSE(pending(deepest));

    EXPECT_EQ(finalize_element_strings(nullptr, doc_->pool), 1);
    EXPECT_EQ(quorvel_document_finalize_strings(doc_), 1);
}

TEST(NonstandardEntity, Table) {
    std::string name64(64, 'n');
    std::string name65(65, 'n');
    struct row {
        std::string text;
        size_t length;  // SIZE_MAX: the whole text
        int expected;
    } rows[] = {
        {"&lt;&#160;&amp;", SIZE_MAX, 0},
        {"&gt;&apos;&quot;&#x41;", SIZE_MAX, 0},
        {"&nbsp;", SIZE_MAX, 1},
        {"fish & chips; peas", SIZE_MAX, 1},
        {"&a;", SIZE_MAX, 1},
        {"&a;", 2, 0},
        {"&" + name64 + ";", SIZE_MAX, 1},
        {"&" + name65 + ";", SIZE_MAX, 0},
        {"&lt", SIZE_MAX, 0},
        {"a&b<c;", SIZE_MAX, 0},
        {"&&a;", SIZE_MAX, 1},
        {"&;", SIZE_MAX, 0},
        {"x &nbsp;", 6, 0},
        {std::string("&a\0b;", 5), SIZE_MAX, 1},
        {"plain text", SIZE_MAX, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        size_t n = r.length == SIZE_MAX ? r.text.size() : r.length;
        EXPECT_EQ(quorvel_str_has_nonstandard_entity(r.text.data(), n), r.expected);
    }
    EXPECT_EQ(quorvel_str_has_nonstandard_entity(nullptr, 10), 0);
}

}  // namespace
