// The document walk: rows applied to documents, typed conversion, claims,
// namespaces, raw XML, and the walk's promises about the document (read
// only, no recursion).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "dom/dom.h"
#include "plan/plan.h"
#include "plan/plan_spec.h"

namespace {

using plantest::plan_builder;
using plantest::take;

// Walks xml with the plan b describes and writes the result.
std::string walk_to_xml(plan_builder& b, const std::string& xml, int* walk_status = nullptr) {
    quorvel_plan* plan = b.build();
    if (!plan) return "<no plan>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
    if (walk_status) *walk_status = st;
    std::string out = r ? take(quorvel_plan_serialize(plan, r, &st)) : "<walk failed " + std::to_string(st) + ">";
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
    return out;
}

struct walk_case {
    const char* what;
    std::function<void(plan_builder&)> plan;
    const char* xml;
    const char* expected;
};

TEST(PlanWalk, RowsPickUpWhatTheyDescribe) {
    const walk_case cases[] = {
        {"an empty root row keeps nothing", [](plan_builder& b) { b.element("r"); }, "<x a='1'><y/>t</x>", "<r/>"},
        {"leaves in source order",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "b", 1);
             b.child(0, "a", 1);
         },
         "<x><a>1</a><b>2</b><a>3</a></x>", "<r><a>1</a><b>2</b><a>3</a></r>"},
        {"a list gathers its matches",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "t", 2);
         },
         "<x><t>a</t><u/><t>b</t></x>", "<r><t>a</t><t>b</t></r>"},
        {"a predicate claims what it matched",
         [](plan_builder& b) {
             b.element("r");
             b.predicate(b.child(0, "a", 2), "k", "1");
             b.child(0, "a", 2);
         },
         "<x><a k='1'>p</a><a k='2'>q</a></x>", "<r><a>p</a><a>q</a></r>"},
        {"two rows without predicates both take every match",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "a", 1);
             b.child(0, "a", 6);
         },
         "<x><a>p</a></x>", "<r><a>p</a><a>p</a></r>"},
        {"a catch-all takes what no row matched, by local name",
         [](plan_builder& b) {
             b.element("r");
             b.element("item");
             b.child(0, "a", 2);
             b.child(0, "rest", 7, 0, 1);
         },
         "<x><a>1</a><b>2</b><c/></x>", "<r><a>1</a><b/><c/></r>"},
        {"raw XML keeps the child's markup",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "a", 4, 1);
         },
         "<x><a k='1'><b/>t</a></x>", "<r><a k=\"1\"><b/>t</a></r>"},
        {"nested rows walk the child with their element row",
         [](plan_builder& b) {
             b.element("r");
             b.element("c");
             b.child(0, "c", 3, 0, 1);
             b.attr(1, "vip");
             b.child(1, "n", 1);
         },
         "<x><c vip='y'><n>Ann</n><z/></c></x>", "<r><c vip=\"y\"><n>Ann</n></c></r>"},
        {"own text leaves interleave with elements by position",
         [](plan_builder& b) {
             b.element("r", QUORVEL_PLAN_OWN_TEXT);
             b.child(0, "a", 1);
         },
         "<x>one<a>1</a>two</x>", "<r>one<a>1</a>two</r>"},
        {"kind-5 rows give bare text, CDATA only with its flag",
         [](plan_builder& b) {
             b.element("r", QUORVEL_PLAN_TEXT_ROWS);
             b.child(0, "t", 5);
         },
         "<x>a<![CDATA[<b>]]>c</x>", "<r>ac</r>"},
        {"kind-5 rows with CDATA",
         [](plan_builder& b) {
             b.element("r", QUORVEL_PLAN_TEXT_ROWS | QUORVEL_PLAN_TEXT_CDATA);
             b.child(0, "t", 5);
         },
         "<x>a<![CDATA[<b>]]>c</x>", "<r>a&lt;b&gt;c</r>"},
        {"element text is every descendant's text",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "a", 6);
         },
         "<x><a>1<b>2<c>3</c></b>&amp;4</a></x>", "<r><a>123&amp;4</a></r>"},
        {"a prefixed row name needs that literal prefix",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "p:i", 2);
         },
         "<x xmlns:p='urn:a' xmlns:q='urn:a'><p:i>1</p:i><q:i>2</q:i><i>3</i></x>", "<r><i>1</i></r>"},
        {"a row prefix matches the whole prefix only",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "p:i", 2);
         },
         "<x xmlns:p='urn:a' xmlns:pp='urn:a'><pp:i>1</pp:i><p:i>2</p:i><p:ii>3</p:ii></x>", "<r><i>2</i></r>"},
        {"a local row name matches any prefix",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "i", 2);
         },
         "<x xmlns:p='urn:a' xmlns:q='urn:a'><p:i>1</p:i><q:i>2</q:i><i>3</i></x>", "<r><i>1</i><i>2</i><i>3</i></r>"},
        {"mode 0 wants no namespace",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "i", 2).ns_mode = 0;
         },
         "<x xmlns:p='urn:a'><p:i>1</p:i><i>2</i><i xmlns='urn:d'>3</i></x>", "<r><i>2</i></r>"},
        {"mode 0 relaxed by the element row takes any namespace",
         [](plan_builder& b) {
             b.element("r", QUORVEL_PLAN_NS_RELAXED);
             b.child(0, "i", 2).ns_mode = 0;
         },
         "<x xmlns:p='urn:a'><p:i>1</p:i><i>2</i></x>", "<r><i>1</i><i>2</i></r>"},
        {"mode 1 resolves declarations inherited and made on the child",
         [](plan_builder& b) {
             b.element("r");
             auto& c = b.child(0, "i", 2);
             c.ns_mode = 1;
             c.ns_uri = "urn:a";
         },
         "<x xmlns:p='urn:a'><y/><p:i>1</p:i><i xmlns='urn:a'>2</i><i>3</i><q:i xmlns:q='urn:a'>4</q:i></x>",
         "<r><i>1</i><i>2</i><i>4</i></r>"},
        {"captured attributes by mode",
         [](plan_builder& b) {
             b.element("r");
             b.attr(0, "id");
             auto& a = b.attr(0, "ref", 1);
             a.ns_uri = "urn:r";
             a.out_prefix = "o";
             b.attr(0, "k", 2);
         },
         "<x xmlns:r='urn:r' xmlns:s='urn:s' id='1' s:ref='no' r:ref='yes' t:k='3' xmlns:t='urn:t'/>",
         "<r xmlns:o=\"urn:r\" id=\"1\" o:ref=\"yes\" k=\"3\"/>"},
    };
    for (const walk_case& c : cases) {
        plan_builder b;
        c.plan(b);
        EXPECT_EQ(walk_to_xml(b, c.xml), c.expected) << c.what;
    }
}

TEST(PlanWalk, ConvertsTypedTextByTheCRules) {
    struct conversion {
        uint8_t tag;
        const char* text;
        bool converts;
        double value;
    };
    const conversion cases[] = {
        {1, "42", true, 42},          {1, "\t42", true, 42},       {1, "12 ", false, 0},
        {1, "-9223372036854775808", true, -9223372036854775808.0},  {1, "99999999999999999999", false, 0},
        {1, "9223372036854775807", true, 9223372036854775807.0},    {1, "9223372036854775808", false, 0},
        {1, "-9223372036854775809", false, 0},                      {1, "0000000000000000000042", true, 42},
        {1, "", false, 0},            {1, "0x10", false, 0},       {1, "+7", true, 7},
        {2, "2.5", true, 2.5},        {2, "1e3", true, 1000},      {2, "2,5", false, 0},
        {2, "1e999", false, 0},       {2, "", false, 0},           {2, "3.5x", false, 0},
        {2, "0.1", true, 0.1},        {2, "-0.30", true, -0.3},    {2, "123456789012.345", true, 123456789012.345},
        {2, "1234567890123456.7", true, 1234567890123456.7},        {2, "5.", true, 5},
        {2, ".5", true, 0.5},         {2, "1.2.3", false, 0},      {2, " 2.5", true, 2.5},
        {2, "-", false, 0},           {2, "0.000000000000001", true, 1e-15},
        {3, " TRUE ", true, 1},       {3, "0 ", true, 0},          {3, "false", true, 0},
        {3, "yes", false, 0},         {3, "1a", false, 0},         {3, "01", false, 0},
        {0, "5", false, 0},
    };
    for (const conversion& c : cases) {
        plan_builder b;
        b.element("r");
        b.child(0, "v", 1, c.tag);
        quorvel_plan* plan = b.build();
        std::string xml = std::string("<x><v>") + c.text + "</v></x>";
        int st = 0;
        quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
        ASSERT_NE(r, nullptr) << c.text;
        const quorvel_plan_value* v = quorvel_plan_value_at(r, 0);
        long long i = 0;
        double d = 0;
        int t = 0;
        int rc = c.tag == 1 ? quorvel_plan_value_int(v, &i)
                 : c.tag == 2 ? quorvel_plan_value_float(v, &d)
                              : quorvel_plan_value_bool(v, &t);
        EXPECT_EQ(rc == 0, c.converts) << int(c.tag) << " '" << c.text << "'";
        if (c.converts) {
            double got = c.tag == 1 ? double(i) : c.tag == 2 ? d : double(t);
            EXPECT_EQ(got, c.value) << c.text;
        }
        EXPECT_STREQ(quorvel_plan_value_string(v), c.text);
        quorvel_plan_result_free(r);
        quorvel_plan_free(plan);
    }
}

// A locale whose decimal separator is a comma, made in a scratch folder
// when the system has none installed; empty when it cannot be had.
std::string comma_locale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if (std::setlocale(LC_NUMERIC, name)) return name;
    auto dir = std::filesystem::temp_directory_path() / ("quorvel-locale-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string cmd = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return "";
    setenv("LOCPATH", dir.c_str(), 1);
    bool made = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    // The locale is loaded now; its files are not needed any more.
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return made ? "de_DE.UTF-8" : "";
}

TEST(PlanWalk, NumbersIgnoreTheNumericLocale) {
    std::string locale = comma_locale();
    if (locale.empty()) GTEST_SKIP() << "no locale with a decimal comma can be installed here";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    plan_builder b;
    b.element("r");
    b.child(0, "v", 1, 2);
    b.child(0, "w", 1, 2);
    quorvel_plan* plan = b.build();
    const char* xml = "<x><v>2.5</v><w>2,5</w></x>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml, std::strlen(xml), plan, &st);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    ASSERT_NE(r, nullptr);
    double d = 0;
    EXPECT_EQ(quorvel_plan_value_float(quorvel_plan_value_at(r, 0), &d), 0);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(quorvel_plan_value_float(quorvel_plan_value_at(r, 1), &d), 1);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanWalk, PrefixWithoutUriFailsOnlyWhenTheRowMatches) {
    struct prefix_case {
        const char* what;
        std::function<void(plan_builder&)> plan;
        const char* xml;
        int status;
    };
    const prefix_case cases[] = {
        {"child row prefix, row matches",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "a", 1).prefix = "p";
         },
         "<x><a/></x>", -5},
        {"child row prefix, nothing matches",
         [](plan_builder& b) {
             b.element("r");
             b.child(0, "a", 1).prefix = "p";
         },
         "<x><b/></x>", 0},
        {"attribute output prefix outside mode 1",
         [](plan_builder& b) {
             b.element("r");
             b.attr(0, "k").out_prefix = "p";
         },
         "<x k='1'/>", -5},
        {"nested row prefix with neither URI",
         [](plan_builder& b) {
             b.element("r");
             b.element("s");
             b.child(0, "a", 3, 0, 1).prefix = "p";
         },
         "<x><a/></x>", -5},
    };
    for (const prefix_case& c : cases) {
        plan_builder b;
        c.plan(b);
        quorvel_plan* plan = b.build();
        int st = 99;
        quorvel_plan_value* r = quorvel_plan_materialize(c.xml, std::strlen(c.xml), plan, &st);
        EXPECT_EQ(st, c.status) << c.what;
        EXPECT_EQ(r != nullptr, c.status == 0) << c.what;
        quorvel_plan_result_free(r);
        quorvel_plan_free(plan);
    }
}

TEST(PlanWalk, MaterializeReportsParserAndRootProblems) {
    plan_builder b;
    b.element("r");
    quorvel_plan* plan = b.build();
    int st = 0;
    EXPECT_EQ(quorvel_plan_materialize("<a><b></a>", 10, plan, &st), nullptr);
    EXPECT_EQ(st, -2);
    EXPECT_EQ(quorvel_plan_materialize("<!-- c -->", 10, plan, &st), nullptr);
    EXPECT_NE(st, 0);
    EXPECT_EQ(quorvel_plan_materialize(nullptr, 0, plan, &st), nullptr);
    EXPECT_EQ(st, -4);
    EXPECT_EQ(quorvel_plan_walk(nullptr, nullptr, plan, &st), nullptr);
    EXPECT_EQ(st, -4);
    quorvel_plan_free(plan);
}

TEST(PlanWalk, RawXmlDeclaresTheNamespacesItUses) {
    plan_builder b;
    b.element("r");
    b.child(0, "x", 4);
    b.child(0, "y", 4);
    b.child(0, "z", 4);
    quorvel_plan* plan = b.build();
    const char* xml =
        "<root xmlns:p='urn:p' xmlns='urn:d' xmlns:u='urn:unused'><p:x p:k='1'>1</p:x>"
        "<y xmlns:p='urn:own'><p:c/></y><z xmlns=''>t</z></root>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml, std::strlen(xml), plan, &st);
    ASSERT_NE(r, nullptr) << st;
    ASSERT_EQ(quorvel_plan_value_count(r), 3u);
    EXPECT_STREQ(quorvel_plan_value_string(quorvel_plan_value_at(r, 0)), "<p:x xmlns:p=\"urn:p\" p:k=\"1\">1</p:x>");
    EXPECT_STREQ(quorvel_plan_value_string(quorvel_plan_value_at(r, 1)),
                 "<y xmlns=\"urn:d\" xmlns:p=\"urn:own\"><p:c/></y>");
    // Every raw value parses on its own into the namespaces it had.
    for (size_t i = 0; i < 3; i++) {
        const char* raw = quorvel_plan_value_string(quorvel_plan_value_at(r, i));
        quorvel_document* d = quorvel_parse_string(raw, std::strlen(raw), &st);
        ASSERT_NE(d, nullptr) << raw;
        quorvel_document_free(d);
    }
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanWalk, LeavesTheDocumentAsItWas) {
    plan_builder b;
    b.element("r");
    b.child(0, "a", 1);
    quorvel_plan* plan = b.build();
    const char* xml = "<x><a>one<b>two</b>three</a></x>";
    int st = 0;
    quorvel_document* doc = quorvel_parse_string(xml, std::strlen(xml), &st);
    quorvel_element* a = quorvel_element_first_child_any(quorvel_document_root(doc));
    for (int i = 0; i < 3; i++) {
        quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(quorvel_plan_value_string(quorvel_plan_value_at(r, 0)), "onetwothree");
        quorvel_plan_result_free(r);
    }
    // Mixed text was not copied into the document.
    quorvel_element_ext* ext = quorvel_elem_ext(a);
    EXPECT_TRUE(ext == nullptr || ext->text_copy == 0);
    quorvel_document_free(doc);
    quorvel_plan_free(plan);
}

// Results of many megabytes live in reserved mappings that outlast them in
// the shared cache: several alive at once, freed in any order and walked
// again, each keeps its own answer.
TEST(PlanWalk, LargeResultsAliveTogetherKeepTheirAnswers) {
    plan_builder b;
    b.element("r");
    b.child(0, "n", 2, 1);
    b.child(0, "t", 2);
    quorvel_plan* plan = b.build();
    ASSERT_NE(plan, nullptr);
    std::string xml = "<x>";
    for (int i = 0; i < 60000; i++)
        xml += "<n>" + std::to_string(i) + "</n><t>text number " + std::to_string(i) + " of many</t>";
    xml += "</x>";
    int st = 0;
    quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
    ASSERT_NE(doc, nullptr);
    auto check = [&](const quorvel_plan_value* r) {
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(quorvel_plan_value_count(r), 2u);
        const quorvel_plan_value* n = quorvel_plan_value_at(r, 0);
        const quorvel_plan_value* t = quorvel_plan_value_at(r, 1);
        ASSERT_EQ(quorvel_plan_value_count(n), 60000u);
        ASSERT_EQ(quorvel_plan_value_count(t), 60000u);
        for (size_t i = 0; i < 60000; i += 997) {
            long long v = -1;
            EXPECT_EQ(quorvel_plan_value_int(quorvel_plan_value_at(n, i), &v), 0);
            EXPECT_EQ(v, static_cast<long long>(i));
            EXPECT_EQ(std::string(quorvel_plan_value_string(quorvel_plan_value_at(t, i))),
                      "text number " + std::to_string(i) + " of many");
        }
    };
    for (int round = 0; round < 3; round++) {
        quorvel_plan_value* first = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
        quorvel_plan_value* second = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
        check(first);
        check(second);
        if (round % 2) std::swap(first, second);
        quorvel_plan_result_free(first);
        check(second);
        quorvel_plan_result_free(second);
    }
    quorvel_document_free(doc);
    quorvel_plan_free(plan);
}

TEST(PlanWalk, DeepApiBuiltDocumentWithSelfNestingRow) {
    constexpr int kDepth = 100000;
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* root = quorvel_element_create(doc, "p:n");
    ASSERT_EQ(quorvel_element_add_namespace_definition(root, "p", "urn:p"), 0);
    ASSERT_EQ(quorvel_document_set_root(doc, root), 0);
    // Built bottom-up, so building does not climb either.
    quorvel_element* inner = nullptr;
    for (int i = 0; i < kDepth; i++) {
        quorvel_element* e = quorvel_element_create(doc, "p:n");
        quorvel_element_set_attribute(e, "d", std::to_string(kDepth - i).c_str());
        if (inner) quorvel_element_append_child(e, quorvel_element_as_node(inner));
        inner = e;
    }
    ASSERT_EQ(quorvel_element_append_child(root, quorvel_element_as_node(inner)), 0);
    plan_builder b;
    b.element("n");
    b.attr(0, "d");
    auto& c = b.child(0, "n", 3, 0, 0);
    c.ns_mode = 0;
    b.rows[0].ns_mode = 1;
    b.rows[0].ns_uri = "urn:p";
    b.rows[0].prefix = "p";
    quorvel_plan* plan = b.build();
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_walk(doc, root, plan, &st);
    ASSERT_NE(r, nullptr) << st;
    size_t depth = 0;
    for (const quorvel_plan_value* v = r; quorvel_plan_value_count(v); v = quorvel_plan_value_at(v, 0)) depth++;
    EXPECT_EQ(depth, size_t(kDepth));
    char* text = quorvel_plan_serialize(plan, r, &st);
    ASSERT_NE(text, nullptr) << st;
    quorvel_free_string(text);
    quorvel_document* rebuilt = quorvel_document_from_plan_result(plan, r, &st);
    ASSERT_NE(rebuilt, nullptr) << st;
    quorvel_document_free(rebuilt);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
    quorvel_document_free(doc);
}

}  // namespace

namespace {

// Every answer of a value and its subtree, one line per value.
void describe(const quorvel_plan_value* v, int depth, std::string* out) {
    const char* name = quorvel_plan_value_name(v);
    const char* text = quorvel_plan_value_string(v);
    *out += std::string(depth, ' ') + std::to_string(quorvel_plan_value_kind(v)) + " " + (name ? name : "-") + " " +
            (text ? text : "-") + " @" + std::to_string(quorvel_plan_value_position(v)) + " #" +
            std::to_string(quorvel_plan_value_order_index(v)) + " k" +
            std::to_string(quorvel_plan_value_node_kind(v));
    if (size_t n = quorvel_plan_value_attribute_count(v)) {
        char names[512], values[512];
        size_t name_at[16], value_at[16];
        if (n < 16 && quorvel_plan_value_attributes_snapshot(v, names, sizeof names, name_at, values, sizeof values,
                                                              value_at) == 0) {
            for (size_t i = 0; i < n; i++) *out += std::string(" ") + (names + name_at[i]) + "=" + (values + value_at[i]);
        } else {
            *out += " <attributes not read>";
        }
    }
    *out += "\n";
    for (size_t i = 0; i < quorvel_plan_value_count(v); i++) describe(quorvel_plan_value_at(v, i), depth + 1, out);
}

std::string describe_walk(plan_builder& b, const std::string& xml) {
    quorvel_plan* plan = b.build();
    if (!plan) return "<no plan>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
    std::string out = "status " + std::to_string(st) + "\n";
    if (r) describe(r, 0, &out);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
    return out;
}

}  // namespace

// An entry with one row reads its element's children as the row goes; with
// a second row that never matches, the walk lists them first. Both must
// give the same values, in the same order, at the same positions.
TEST(PlanWalk, OneRowEntriesAnswerAsEntriesWithMoreRows) {
    const char* xml =
        "<x>t<!--c--><a n='1'>1<a n='2'>2</a><?p?><b/></a>u<b>3</b><a n='3'><![CDATA[4]]></a><a/></x>";
    struct shape {
        const char* what;
        uint8_t kind;
    };
    const shape shapes[] = {
        {"a self-nesting element row", 3}, {"a leaf row", 1}, {"a list row", 2},
        {"an element-text row", 6},        {"a raw-XML row", 4},
    };
    for (const shape& s : shapes) {
        std::string got[2];
        for (int extra = 0; extra < 2; extra++) {
            plan_builder b;
            b.element("r");
            b.child(0, "a", s.kind, 0, 0);
            if (extra) b.child(0, "never", 1);
            got[extra] = describe_walk(b, xml);
        }
        EXPECT_EQ(got[0], got[1]) << s.what;
        EXPECT_NE(got[0].find(" a "), std::string::npos) << s.what << " matched nothing:\n" << got[0];
    }
}

// Bare text leaves keep the row that made them, as every other walked value
// does, so writers decide text or element by the right row.
TEST(PlanWalk, TextRowLeavesCarryTheirRow) {
    plan_builder b;
    b.element("r", QUORVEL_PLAN_TEXT_ROWS);
    b.child(0, "a", 1);
    b.child(0, "t", 5);
    quorvel_plan* plan = b.build();
    ASSERT_NE(plan, nullptr);
    const std::string xml = "<x>one<a>1</a>two</x>";
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
    ASSERT_NE(r, nullptr) << st;
    ASSERT_EQ(quorvel_plan_value_count(r), 2u);
    const quorvel_plan_value* list = quorvel_plan_value_at(r, 1);
    ASSERT_EQ(quorvel_plan_value_count(list), 2u);
    for (size_t i = 0; i < 2; i++) {
        const quorvel_plan_value* leaf = quorvel_plan_value_at(list, i);
        EXPECT_EQ(plan_value_element_row(leaf), 0u);
        EXPECT_EQ(plan_value_child_row(leaf), 1);
    }
    EXPECT_EQ(take(quorvel_plan_serialize(plan, r, &st)), "<r>one<a>1</a>two</r>");
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

// Rows that name distinct children are matched in one pass over the
// children, and a nested row whose element row has no rows of its own is
// built without a frame. A row that shares a local name with another (here
// one that never matches, last, so no row index moves) sends the entry
// back to the row-by-row passes, and a row that never matches gives the
// nested entry a frame: every answer must stay the same.
TEST(PlanWalk, OnePassMatchingAnswersAsRowByRow) {
    const char* xml =
        "<x xmlns:p='urn:p'><b>2</b><a k='1'>1</a>t<c vip='y' xmlns:q='urn:q'>Ann<i/>Lee</c><d>x</d>"
        "<p:e k='2'>3</p:e><e/><d>y</d><c vip='n'/><a k='3'><![CDATA[4]]></a><b>5</b></x>";
    for (int predicate = 0; predicate < 2; predicate++) {
        std::string got[2][2];
        for (int by_rows = 0; by_rows < 2; by_rows++) {
            for (int framed = 0; framed < 2; framed++) {
                plan_builder b;
                b.element("r", QUORVEL_PLAN_OWN_TEXT);
                b.element("c", QUORVEL_PLAN_OWN_TEXT);
                b.attr(1, "vip");
                if (framed) b.child(1, "never", 1);
                auto& a = b.child(0, "a", 2);
                if (predicate) b.predicate(a, "k", "1");
                b.child(0, "b", 1, 1);
                b.child(0, "c", 3, 0, 1);
                b.child(0, "p:e", 1);
                b.child(0, "d", 6);
                b.child(0, "t", 5);
                if (by_rows) b.child(0, "zz:d", 1);
                got[by_rows][framed] = describe_walk(b, xml);
            }
        }
        EXPECT_EQ(got[0][0], got[1][0]) << "predicate " << predicate;
        EXPECT_EQ(got[0][0], got[0][1]) << "predicate " << predicate;
        EXPECT_EQ(got[0][0], got[1][1]) << "predicate " << predicate;
        EXPECT_NE(got[0][0].find(" vip=y"), std::string::npos) << got[0][0];
        EXPECT_NE(got[0][0].find(" Lee "), std::string::npos) << got[0][0];
    }
}
