// Records of failed validations: kind, text, line and column per problem
// (the column just past the element's start tag, or past its end for
// incomplete content and bad text), the summary message, the report
// array, and the same records again when a handle validates twice.
#include <string>
#include <vector>

#include "relaxng/rng_support.h"

namespace {

using rngtest::element;
using rngtest::grammar;
using rngtest::record;

struct diagnosis_case {
    const char* what;
    std::string schema;
    std::string document;
    std::vector<record> expected;
};

const std::string kB = "<element name='b'><empty/></element>";
const std::string kC = "<element name='c'><empty/></element>";

std::vector<record> run(const std::string& schema, const std::string& text, int* verdict, std::string* message) {
    quorvel_rng* rng = rngtest::load(schema);
    if (!rng) return {};
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    EXPECT_NE(doc, nullptr) << text;
    *verdict = quorvel_rng_validate(rng, doc);
    std::vector<record> first = rngtest::records(rng);
    const char* m = quorvel_rng_error(rng);
    *message = m ? m : "";
    // Validating again gives the same records and message.
    EXPECT_EQ(quorvel_rng_validate(rng, doc), *verdict);
    EXPECT_EQ(rngtest::records(rng), first) << text;
    m = quorvel_rng_error(rng);
    EXPECT_EQ(std::string(m ? m : ""), *message);
    quorvel_document_free(doc);
    quorvel_rng_free(rng);
    return first;
}

TEST(RngDiagnostics, Records) {
    const std::vector<diagnosis_case> cases = {
        {"root matching no start alternative",
         grammar("<choice><element name='a'><empty/></element>" + kB + kC + "</choice>"), "<z/>",
         {{1, "element \"z\" not allowed anywhere; expected element \"a\", \"b\" or \"c\"", 1, 5}}},
        {"root with another name", element("a", "<empty/>"), "<z/>",
         {{1, "element \"z\" not allowed anywhere; expected element \"a\"", 1, 5}}},
        {"children in the wrong order", element("a", kB + kC), "<a>\n<c/>\n<b/>\n</a>",
         {{3, "element \"c\" not allowed yet; missing required element \"b\"", 2, 5},
          {2, "element \"b\" not allowed here; expected the element end-tag", 3, 5}}},
        {"child named nowhere", element("a", kB + kC), "<a><b/><z/><c/></a>",
         {{1, "element \"z\" not allowed anywhere; expected element \"c\"", 1, 12}}},
        {"content ends early", element("a", kB + kC), "<a><b/></a>",
         {{4, "element \"a\" incomplete; missing required element \"c\"", 1, 12}}},
        {"incomplete choice", element("a", "<choice>" + kB + kC + "</choice>"), "<a></a>",
         {{4, "element \"a\" incomplete; expected element \"b\" or \"c\"", 1, 8}}},
        {"attribute value not in the list",
         element("a", "<attribute name='k'><choice><value>z</value><value>x</value><value>y</value></choice></attribute>"),
         "<a k='q'/>", {{7, "value of attribute \"k\" is invalid; must be equal to \"x\", \"y\" or \"z\"", 1, 11}}},
        {"missing attributes",
         element("a", "<attribute name='z'/><attribute name='a'/><attribute name='m'/>"), "<a/>",
         {{5, "element \"a\" missing required attributes \"a\", \"m\" and \"z\"", 1, 5}}},
        {"one missing attribute", element("a", "<attribute name='z'/>"), "<a/>",
         {{5, "element \"a\" missing required attribute \"z\"", 1, 5}}},
        {"attribute where none is allowed", element("a", "<empty/>"), "<a x='1'/>",
         {{6, "found attribute \"x\", but no attributes allowed here", 1, 11}}},
        {"attribute not allowed", element("a", "<attribute name='y'/>"), "<a y='1' x='1'/>",
         {{6, "attribute \"x\" not allowed", 1, 17}}},
        {"integer attribute", element("a", "<attribute name='n'><data type='integer'/></attribute>"), "<a n='x'/>",
         {{7, "value of attribute \"n\" is invalid; must be an integer", 1, 11}}},
        {"decimal text", element("a", "<data type='decimal'><param name='minInclusive'>5</param></data>"),
         "<a>3</a>", {{8, "character content of element \"a\" invalid; must be a decimal", 1, 9}}},
        {"value text", element("a", "<value>on</value>"), "<a>off</a>",
         {{8, "character content of element \"a\" invalid; must be equal to \"on\"", 1, 11}}},
        {"text under a choice of values", element("s", "<choice><value>a</value><value>b</value></choice>"),
         "<s>zzz</s>", {{8, "element \"s\": content mismatch", 1, 11}}},
        {"text behind a ref", grammar("<element name='s'><ref name='n'/></element>", "<define name='n'><data type='integer'/></define>"),
         "<s>12x</s>", {{8, "character content of element \"s\" invalid; must be an integer", 1, 11}}},
        {"list token", element("l", "<list><oneOrMore><data type='integer'/></oneOrMore></list>"), "<l>1 2 x</l>",
         {{8, "character content of element \"l\" invalid; token \"x\" invalid; must be an integer", 1, 13}}},
        {"text in an empty element", element("a", ""), "<a>x</a>", {{8, "element \"a\" must be empty", 1, 9}}},
        {"text between child elements", element("a", kB), "<a>x<b/></a>",
         {{8, "element \"a\" contains character data but the content model allows none", 1, 13}}},
        {"child of a text-only element", element("a", "<text/>"), "<a><b/></a>",
         {{1, "element \"b\" not allowed anywhere; expected the element end-tag or text", 1, 8}}},
        {"one of an attribute choice", element("r", "<choice><attribute name='x'/><attribute name='y'/></choice>"),
         "<r/>", {{5, "attribute \"x\" is required but missing", 1, 5}}},
        {"error in a grandchild", element("a", "<element name='b'><element name='c'><attribute name='n'/></element></element>"),
         "<a>\n <b>\n  <c/>\n </b>\n</a>", {{5, "element \"c\" missing required attribute \"n\"", 3, 7}}},
        {"undefined start", grammar("<ref name='nothing'/>"), "<a/>",
         {{0, "reference to undefined pattern 'nothing'", 1, 5}}},
        {"past the 64th child", element("a", "<zeroOrMore>" + kB + "</zeroOrMore>"),
         "<a>" + [] {
             std::string s;
             for (int i = 0; i < 70; i++) s += "<b/>";
             return s;
         }() + "<c/></a>",
         {{1, "element \"c\" not allowed anywhere; expected the element end-tag or element \"b\"", 1, 288}}},
    };
    for (const auto& c : cases) {
        int verdict = -1;
        std::string message;
        std::vector<record> got = run(c.schema, c.document, &verdict, &message);
        EXPECT_EQ(verdict, 0) << c.what;
        EXPECT_EQ(got, c.expected) << c.what;
        if (!c.expected.empty()) {
            const record& r = c.expected[0];
            // An undefined start names no column in the summary.
            int column = r.kind == 0 ? 0 : r.column;
            std::string want = std::to_string(r.line) + ":" + std::to_string(column) + ": error: " + r.message;
            EXPECT_EQ(message, want) << c.what;
        }
    }
}

TEST(RngDiagnostics, AccessorsAndReport) {
    quorvel_rng* rng = rngtest::load(element("a", "<element name='b'><attribute name='n'/></element>" + kC));
    ASSERT_NE(rng, nullptr);
    const char ok[] = "<a><b n='1'/><c/></a>";
    quorvel_document* good = quorvel_parse_string(ok, sizeof ok - 1, nullptr);
    EXPECT_EQ(quorvel_rng_validate(rng, good), 1);
    EXPECT_EQ(quorvel_rng_error(rng), nullptr);
    EXPECT_EQ(quorvel_rng_error_count(rng), 0);
    quorvel_rng_error_info* info = reinterpret_cast<quorvel_rng_error_info*>(1);
    EXPECT_EQ(quorvel_rng_error_report(rng, &info), 0);
    EXPECT_EQ(info, nullptr);

    const char bad[] = "<a>\n  <b/>\n</a>";
    quorvel_document* doc = quorvel_parse_string(bad, sizeof bad - 1, nullptr);
    EXPECT_EQ(quorvel_rng_validate(rng, doc), 0);
    ASSERT_EQ(quorvel_rng_error_count(rng), 2);
    EXPECT_STREQ(quorvel_rng_error_message(rng, 0), "element \"b\" missing required attribute \"n\"");
    EXPECT_EQ(quorvel_rng_error_line(rng, 0), 2);
    EXPECT_EQ(quorvel_rng_error_column(rng, 0), 7);
    EXPECT_STREQ(quorvel_rng_error_message(rng, 1), "element \"a\" incomplete; missing required element \"c\"");
    // An incomplete element is placed at its end.
    EXPECT_EQ(quorvel_rng_error_line(rng, 1), 1);
    EXPECT_EQ(quorvel_rng_error_column(rng, 1), 5);
    EXPECT_EQ(quorvel_rng_error_message(rng, 2), nullptr);
    EXPECT_EQ(quorvel_rng_error_line(rng, 2), 0);
    EXPECT_EQ(quorvel_rng_error_column(rng, static_cast<size_t>(-1)), 0);
    EXPECT_STREQ(quorvel_rng_error(rng), "2:7: error: element \"b\" missing required attribute \"n\"");
    ASSERT_EQ(quorvel_rng_error_report(rng, &info), 2);
    EXPECT_STREQ(info[0].kind, "missing-required-attr");
    EXPECT_STREQ(info[0].element, "b");
    EXPECT_STREQ(info[1].kind, "incomplete");
    EXPECT_STREQ(info[1].element, "a");
    EXPECT_EQ(info[1].column, quorvel_rng_error_column(rng, 1));

    // A valid document afterwards clears everything.
    EXPECT_EQ(quorvel_rng_validate(rng, good), 1);
    EXPECT_EQ(quorvel_rng_error_count(rng), 0);
    EXPECT_EQ(quorvel_rng_error(rng), nullptr);

    EXPECT_EQ(quorvel_rng_validate(nullptr, doc), 0);
    EXPECT_EQ(quorvel_rng_validate(rng, nullptr), 0);
    EXPECT_EQ(quorvel_rng_error(nullptr), nullptr);
    EXPECT_EQ(quorvel_rng_error_count(nullptr), 0);
    EXPECT_EQ(quorvel_rng_error_message(nullptr, 0), nullptr);
    EXPECT_EQ(quorvel_rng_error_report(nullptr, &info), 0);
    EXPECT_EQ(quorvel_rng_error_report(rng, nullptr), 0);
    quorvel_document_free(doc);
    quorvel_document_free(good);
    quorvel_rng_free(rng);
}

}  // namespace
