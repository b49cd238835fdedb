// XML output and rebuild: what they refuse, how they escape and indent, and
// that the rebuilt document has the namespaces the text declares.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plan/plan_spec.h"

namespace {

using plantest::plan_builder;
using plantest::take;

quorvel_plan_event ev(int32_t op, uint32_t e, int32_t c, const char* name, const char* v, size_t n = SIZE_MAX) {
    return {op, e, c, {}, name, v, v ? (n == SIZE_MAX ? std::strlen(v) : n) : 0};
}

// Row 0: name set by the case; children 0 "a" leaf, 1 "p:b" leaf with prefix p.
struct output_fixture {
    plan_builder b;
    quorvel_plan* plan = nullptr;
    output_fixture(const char* root_name, const char* prefix, const char* uri, const char* leaf_name = "a") {
        b.element(root_name);
        b.child(0, leaf_name, 1);
        auto& c = b.child(0, "p:b", 1);
        c.prefix = prefix;
        c.ns_uri = uri;
        plan = b.build();
    }
    ~output_fixture() { quorvel_plan_free(plan); }
};

TEST(PlanOutput, RefusesWhatCannotBeWrittenAsNamespaceWellFormedXml) {
    struct refusal {
        const char* what;
        const char* root_name;
        const char* prefix;
        const char* uri;
        std::vector<quorvel_plan_event> events;
        int status;
    };
    const refusal cases[] = {
        {"a root row without name", nullptr, nullptr, nullptr, {ev(1, 0, -1, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"a name with a space", "a b", nullptr, nullptr, {ev(1, 0, -1, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"a prefix with a space", "r", "a b", "urn:x",
         {ev(1, 0, -1, 0, 0), ev(1, 0, 1, 0, 0), ev(3, 0, 0, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"an attribute name that is two names", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "x=\"1\" y", "v"), ev(3, 0, 0, 0, 0)}, -5},
        {"a repeated attribute", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "x", "1"), ev(2, 0, 0, "x", "2"), ev(3, 0, 0, 0, 0)}, -5},
        {"the same attribute through two prefixes", "r", "p", "urn:x",
         {ev(1, 0, -1, 0, 0), ev(1, 0, 1, 0, 0), ev(3, 0, 0, 0, 0), ev(2, 0, 0, "p:x", "1"), ev(3, 0, 0, 0, 0)}, 0},
        {"an undeclared attribute prefix", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "q:x", "1"), ev(3, 0, 0, 0, 0)}, -5},
        {"a declaration as attribute", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "xmlns:q", "urn:q"), ev(3, 0, 0, 0, 0)}, -5},
        {"the prefix xmlns", "r", "xmlns", "urn:x",
         {ev(1, 0, -1, 0, 0), ev(1, 0, 1, 0, 0), ev(3, 0, 0, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"a prefix without URI", "r", "p", nullptr,
         {ev(1, 0, -1, 0, 0), ev(1, 0, 1, 0, 0), ev(3, 0, 0, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"a prefix bound to an empty URI", "r", "p", "",
         {ev(1, 0, -1, 0, 0), ev(1, 0, 1, 0, 0), ev(3, 0, 0, 0, 0), ev(3, 0, 0, 0, 0)}, -5},
        {"a control byte in text", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(0, 0, 0, 0, "a\x01"), ev(3, 0, 0, 0, 0)}, -5},
        {"a NUL in text", "r", nullptr, nullptr, {ev(1, 0, -1, 0, 0), ev(0, 0, 0, 0, "a\0b", 3), ev(3, 0, 0, 0, 0)},
         -5},
        {"invalid UTF-8 in an attribute", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "x", "\xC3("), ev(3, 0, 0, 0, 0)}, -5},
        {"a surrogate in text", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(0, 0, -1, 0, "\xED\xA0\x80"), ev(3, 0, 0, 0, 0)}, -5},
        {"a leaf element without name", "r", nullptr, nullptr,
         {ev(1, 0, -1, 0, 0), ev(0, 0, 0, 0, "v"), ev(3, 0, 0, 0, 0)}, -5},
    };
    for (const refusal& c : cases) {
        // The last case names its leaf row with the empty name.
        output_fixture f(c.root_name, c.prefix, c.uri, std::strcmp(c.what, "a leaf element without name") ? "a" : "");
        ASSERT_NE(f.plan, nullptr) << c.what;
        int st = 0;
        quorvel_plan_value* r = quorvel_plan_result_build(f.plan, c.events.data(), c.events.size(), &st);
        ASSERT_NE(r, nullptr) << c.what << " " << st;
        char* text = quorvel_plan_serialize(f.plan, r, &st);
        EXPECT_EQ(st, c.status) << c.what << ": " << (text ? text : "");
        EXPECT_EQ(text != nullptr, c.status == 0) << c.what;
        quorvel_free_string(text);
        quorvel_document* doc = quorvel_document_from_plan_result(f.plan, r, &st);
        EXPECT_EQ(st, c.status) << c.what << " (rebuild)";
        quorvel_document_free(doc);
        quorvel_plan_result_free(r);
    }
}

TEST(PlanOutput, EscapesSoTheTextReadsBackUnchanged) {
    output_fixture f("r", "p", "urn:\"q&<", "a");
    const char* value = "t\tl\nc\r\"<&>'";
    const std::vector<quorvel_plan_event> events = {ev(1, 0, -1, 0, 0), ev(2, 0, 0, "x", value),
                                                    ev(0, 0, 0, 0, value), ev(1, 0, 1, 0, 0),
                                                    ev(3, 0, 0, 0, 0), ev(3, 0, 0, 0, 0)};
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_result_build(f.plan, events.data(), events.size(), &st);
    ASSERT_NE(r, nullptr);
    std::string xml = take(quorvel_plan_serialize(f.plan, r, &st));
    EXPECT_EQ(xml,
              "<r xmlns:p=\"urn:&quot;q&amp;&lt;\" x=\"t&#9;l&#10;c&#13;&quot;&lt;&amp;&gt;'\">"
              "<a>t\tl\nc&#13;\"&lt;&amp;&gt;'</a><p:b/></r>");
    quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc);
    EXPECT_STREQ(quorvel_element_attribute(root, "x"), value);
    EXPECT_STREQ(quorvel_element_text(quorvel_element_as_node(quorvel_element_first_child_any(root))), value);
    EXPECT_STREQ(quorvel_element_namespace(quorvel_element_last_child_any(root)), "urn:\"q&<");
    quorvel_document_free(doc);
    quorvel_plan_result_free(r);
}

TEST(PlanOutput, IndentsUnlessRawXmlIsAmongTheChildren) {
    plan_builder b;
    b.element("r");
    b.child(0, "a", 1);
    b.child(0, "b", 1);
    b.child(0, "x", 4);
    quorvel_plan* plan = b.build();
    struct indent_case {
        const char* xml;
        quorvel_plan_serialize_options options;
        const char* expected;
    };
    const indent_case cases[] = {
        {"<d><a>1</a><b>2</b></d>", {2, {}, nullptr}, "<r>\n  <a>1</a>\n  <b>2</b>\n</r>\n"},
        {"<d><a>1</a><b>2</b></d>", {1, {}, "\t"}, "<r>\n\t<a>1</a>\n\t<b>2</b>\n</r>\n"},
        {"<d><a>1</a><x>y</x></d>", {2, {}, nullptr}, "<r><a>1</a><x>y</x></r>\n"},
        {"<d/>", {2, {}, nullptr}, "<r/>\n"},
        {"<d><a>1</a></d>", {0, {}, "\t"}, "<r><a>1</a></r>"},
    };
    for (const indent_case& c : cases) {
        int st = 0;
        quorvel_plan_value* r = quorvel_plan_materialize(c.xml, std::strlen(c.xml), plan, &st);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(take(quorvel_plan_serialize_ext(plan, r, &c.options, sizeof c.options, &st)), c.expected) << c.xml;
        quorvel_plan_result_free(r);
    }
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize("<d/>", 4, plan, &st);
    EXPECT_EQ(quorvel_plan_serialize_ext(plan, r, &cases[0].options, 8, &st), nullptr);
    EXPECT_EQ(st, -5);
    EXPECT_EQ(quorvel_plan_serialize(nullptr, r, &st), nullptr);
    EXPECT_EQ(st, -5);
    // An indentation unit that is not white space would write into the content.
    quorvel_plan_serialize_options markup{2, {}, "<x>"};
    EXPECT_EQ(quorvel_plan_serialize_ext(plan, r, &markup, sizeof markup, &st), nullptr);
    EXPECT_EQ(st, -5);
    // A single raw value is its text; an empty one an empty string.
    quorvel_plan_value* raw_r = quorvel_plan_materialize("<d><x/></d>", 11, plan, &st);
    EXPECT_EQ(take(quorvel_plan_serialize(plan, quorvel_plan_value_at(raw_r, 0), &st)), "<x/>");
    quorvel_plan_result_free(raw_r);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanRebuild, DeclaresNamespacesSoPrefixedNamesResolve) {
    plan_builder b;
    b.element("r");
    b.element("s");
    auto& leaf = b.child(0, "a", 1);
    leaf.prefix = "p";
    leaf.ns_uri = "urn:p";
    auto& nested = b.child(0, "s", 3, 0, 1);
    nested.prefix = "q";
    nested.ns_uri = "urn:q";
    auto& attr = b.attr(0, "k", 1);
    attr.ns_uri = "urn:k";
    attr.out_prefix = "o";
    quorvel_plan* plan = b.build();
    const char* xml = "<d xmlns:z='urn:k' z:k='1'><a>v</a><s/></d>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml, std::strlen(xml), plan, &st);
    ASSERT_NE(r, nullptr);
    quorvel_document* doc = quorvel_document_from_plan_result(plan, r, &st);
    ASSERT_NE(doc, nullptr) << st;
    quorvel_element* root = quorvel_document_root(doc);
    quorvel_element* a = quorvel_element_first_child_any(root);
    quorvel_element* s = quorvel_element_next_sibling_any(a);
    EXPECT_STREQ(quorvel_element_namespace(a), "urn:p");
    EXPECT_STREQ(quorvel_element_namespace(s), "urn:q");
    EXPECT_STREQ(quorvel_element_attribute_ns(root, "urn:k", "k"), "1");
    // The rebuilt document and the written text are the same XML.
    std::string text = take(quorvel_plan_serialize(plan, r, &st));
    quorvel_document* parsed = quorvel_parse_string(text.data(), text.size(), &st);
    EXPECT_EQ(take(quorvel_c14n_canonicalize(doc)), take(quorvel_c14n_canonicalize(parsed)));
    quorvel_document_free(parsed);
    quorvel_document_free(doc);
    // Only element values can be rebuilt.
    EXPECT_EQ(quorvel_document_from_plan_result(plan, quorvel_plan_value_at(r, 0), &st), nullptr);
    EXPECT_EQ(st, -5);
    EXPECT_EQ(quorvel_document_from_plan_result(plan, nullptr, &st), nullptr);
    EXPECT_EQ(st, -5);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanRebuild, RawXmlBecomesTextAndMixedContentKeepsItsOrder) {
    plan_builder b;
    b.element("r", QUORVEL_PLAN_OWN_TEXT);
    b.child(0, "x", 4);
    b.child(0, "a", 1);
    quorvel_plan* plan = b.build();
    const char* xml = "<d>one<x/>two<a>1</a>three</d>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml, std::strlen(xml), plan, &st);
    ASSERT_NE(r, nullptr);
    quorvel_document* doc = quorvel_document_from_plan_result(plan, r, &st);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(take(quorvel_c14n_canonicalize(doc)), "<r>one&lt;x/&gt;two<a>1</a>three</r>");
    EXPECT_EQ(take(quorvel_plan_serialize(plan, r, &st)), "<r>one<x/>two<a>1</a>three</r>");
    quorvel_document_free(doc);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

}  // namespace
