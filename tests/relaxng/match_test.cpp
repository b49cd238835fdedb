// Verdicts of RELAX NG validation: content sequences, choices with
// backtracking, repetition, interleave, attributes, text and datatypes,
// names with namespaces; and shapes that must not take exponential time.
#include <cstdlib>
#include <string>
#include <vector>

#include "relaxng/rng_support.h"

namespace {

using rngtest::element;
using rngtest::grammar;
using rngtest::validate;

struct verdict_case {
    const char* what;
    std::string schema;
    std::string document;
    int valid;
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
}

const std::string kEmptyB = "<element name='b'><empty/></element>";
const std::string kEmptyC = "<element name='c'><empty/></element>";

TEST(RngMatch, Verdicts) {
    const std::vector<verdict_case> cases = {
        // Element patterns without content.
        {"empty root", element("a", ""), "<a/>", 1},
        {"white space only", element("a", ""), "<a>  \n </a>", 1},
        {"text where none allowed", element("a", ""), "<a>x</a>", 0},
        {"wrong root name", element("a", ""), "<b/>", 0},
        {"empty pattern refuses text", element("a", "<empty/>"), "<a>x</a>", 0},
        // Sequences.
        {"b then c", element("a", kEmptyB + kEmptyC), "<a><b/><c/></a>", 1},
        {"c then b", element("a", kEmptyB + kEmptyC), "<a><c/><b/></a>", 0},
        {"c missing", element("a", kEmptyB + kEmptyC), "<a><b/></a>", 0},
        {"extra child", element("a", kEmptyB), "<a><b/><b/></a>", 0},
        // Every child counts, however many.
        {"70 b", element("a", "<zeroOrMore>" + kEmptyB + "</zeroOrMore>"), "<a>" + repeat("<b/>", 70) + "</a>", 1},
        {"70 b then c", element("a", "<zeroOrMore>" + kEmptyB + "</zeroOrMore>"),
         "<a>" + repeat("<b/>", 70) + "<c/></a>", 0},
        {"200 b then a bad one", element("a", "<oneOrMore><element name='b'><text/></element></oneOrMore>"),
         "<a>" + repeat("<b>x</b>", 200) + "<b><c/></b></a>", 0},
        // Several children of a repetition form one group.
        {"zeroOrMore(b, c) on b c b c", element("a", "<zeroOrMore>" + kEmptyB + kEmptyC + "</zeroOrMore>"),
         "<a><b/><c/><b/><c/></a>", 1},
        {"zeroOrMore(b, c) on b b", element("a", "<zeroOrMore>" + kEmptyB + kEmptyC + "</zeroOrMore>"),
         "<a><b/><b/></a>", 0},
        {"optional(b, c) on c", element("a", "<optional>" + kEmptyB + kEmptyC + "</optional>"), "<a><c/></a>", 0},
        {"oneOrMore(b, c) on b c", element("a", "<oneOrMore>" + kEmptyB + kEmptyC + "</oneOrMore>"),
         "<a><b/><c/></a>", 1},
        {"define of two patterns is a group",
         grammar("<element name='a'><ref name='bc'/></element>", "<define name='bc'>" + kEmptyB + kEmptyC + "</define>"),
         "<a><b/><c/></a>", 1},
        // A choice in the content backtracks.
        {"choice(b, group(b, c)) then c on b c",
         element("a", "<choice>" + kEmptyB + "<group>" + kEmptyB + kEmptyC + "</group></choice>" + kEmptyC),
         "<a><b/><c/></a>", 1},
        {"choice(b, group(b, c)) then c on b c c",
         element("a", "<choice>" + kEmptyB + "<group>" + kEmptyB + kEmptyC + "</group></choice>" + kEmptyC),
         "<a><b/><c/><c/></a>", 1},
        // Interleave.
        {"interleave in order", element("a", "<interleave>" + kEmptyB + kEmptyC + "</interleave>"),
         "<a><b/><c/></a>", 1},
        {"interleave swapped", element("a", "<interleave>" + kEmptyB + kEmptyC + "</interleave>"),
         "<a><c/><b/></a>", 1},
        {"interleave missing branch", element("a", "<interleave>" + kEmptyB + kEmptyC + "</interleave>"),
         "<a><c/></a>", 0},
        {"interleave of 70 branches", element("a", "<interleave>" + [] {
             std::string s;
             for (int i = 0; i < 70; i++) s += "<element name='e" + std::to_string(i) + "'><empty/></element>";
             return s;
         }() + "</interleave>"),
         "<a>" + [] {
             std::string s;
             for (int i = 69; i >= 0; i--) s += "<e" + std::to_string(i) + "/>";
             return s;
         }() + "</a>",
         1},
        // Text checked under choice, optional, group and ref.
        {"choice of values, other text", element("s", "<choice><value>a</value><value>b</value></choice>"),
         "<s>zzz</s>", 0},
        {"choice of values, one of them", element("s", "<choice><value>a</value><value>b</value></choice>"),
         "<s> b </s>", 1},
        {"ref to integer data, bad",
         grammar("<element name='s'><ref name='n'/></element>",
                 "<define name='n'><data type='integer'/></define>"),
         "<s>12x</s>", 0},
        {"ref to integer data, good",
         grammar("<element name='s'><ref name='n'/></element>",
                 "<define name='n'><data type='integer'/></define>"),
         "<s>-12</s>", 1},
        {"optional value absent", element("s", "<optional><value>on</value></optional>"), "<s/>", 1},
        {"optional value wrong", element("s", "<optional><value>on</value></optional>"), "<s>off</s>", 0},
        {"integer with white space around", element("n", "<data type='integer'/>"), "<n> 5 </n>", 1},
        {"integer with space inside", element("n", "<data type='integer'/>"), "<n>5 6</n>", 0},
        {"empty integer", element("n", "<data type='integer'/>"), "<n/>", 0},
        {"text in element content", element("a", kEmptyB), "<a>x<b/></a>", 0},
        {"mixed allows text", element("a", "<mixed>" + kEmptyB + "</mixed>"), "<a>x<b/>y</a>", 1},
        {"text in CDATA", element("a", kEmptyB), "<a><![CDATA[x]]><b/></a>", 0},
        // Facets of types other than string apply to the collapsed value.
        {"token pattern, value written with white space",
         element("s", "<data type='token'><param name='pattern'>[a-z]+ [a-z]+</param></data>"), "<s>\n  ab\t  cd\n</s>", 1},
        {"string pattern sees the white space",
         element("s", "<data type='string'><param name='pattern'>[a-z]+</param></data>"), "<s> ab </s>", 0},
        {"token length after collapsing", element("s", "<data type='token'><param name='maxLength'>3</param></data>"),
         "<s>   abc   </s>", 1},
        {"data except", element("s", "<data type='token'><except><value>no</value></except></data>"), "<s> no </s>", 0},
        // Values of the default type compare with white space collapsed.
        {"token value", element("s", "<value>a  b</value>"), "<s>\n a b </s>", 1},
        {"string value", element("s", "<value type='string'>a  b</value>"), "<s>a b</s>", 0},
        {"string value exact", element("s", "<value type='string'>a  b</value>"), "<s>a  b</s>", 1},
        // Lists.
        {"list of integers", element("l", "<list><oneOrMore><data type='integer'/></oneOrMore></list>"),
         "<l> 1 2\t3 </l>", 1},
        {"list with a bad token", element("l", "<list><oneOrMore><data type='integer'/></oneOrMore></list>"),
         "<l>1 x</l>", 0},
        {"list of 40 items", element("l", "<list>" + repeat("<data type='token'/>", 40) + "</list>"),
         "<l>" + repeat("t ", 40) + "</l>", 1},
        {"list of 40 items, one short", element("l", "<list>" + repeat("<data type='token'/>", 40) + "</list>"),
         "<l>" + repeat("t ", 39) + "</l>", 0},
        {"long token", element("l", "<list><data type='token'><param name='minLength'>300</param></data></list>"),
         "<l>" + std::string(300, 'q') + "</l>", 1},
        {"empty list of optional items", element("l", "<list><zeroOrMore><data type='token'/></zeroOrMore></list>"),
         "<l/>", 1},
        {"list of a choice", element("l", "<list><oneOrMore><choice><value>x</value><value>y</value></choice></oneOrMore></list>"),
         "<l>x y x</l>", 1},
        // Attributes.
        {"required attribute", element("r", "<attribute name='x'/>"), "<r/>", 0},
        {"attribute present", element("r", "<attribute name='x'/>"), "<r x='1'/>", 1},
        {"attribute not allowed", element("r", ""), "<r x='1'/>", 0},
        {"one of an attribute choice", element("r", "<choice><attribute name='x'/><attribute name='y'/></choice>"),
         "<r x='1'/>", 1},
        {"the other of an attribute choice",
         element("r", "<choice><attribute name='x'/><attribute name='y'/></choice>"), "<r y='1'/>", 1},
        {"neither of an attribute choice",
         element("r", "<choice><attribute name='x'/><attribute name='y'/></choice>"), "<r/>", 0},
        {"attribute under oneOrMore", element("r", "<oneOrMore><attribute name='x'/></oneOrMore>"), "<r x='1'/>", 1},
        {"attribute under optional", element("r", "<optional><attribute name='x'/></optional>"), "<r/>", 1},
        {"attribute value choice",
         element("r", "<attribute name='k'><choice><value>x</value><value>y</value></choice></attribute>"),
         "<r k='z'/>", 0},
        {"attribute integer", element("r", "<attribute name='n'><data type='integer'/></attribute>"),
         "<r n='+7'/>", 1},
        {"attribute pattern",
         element("r", "<attribute name='n'><data type='string'><param name='pattern'>[0-9]+</param></data></attribute>"),
         "<r n='12a'/>", 0},
        {"attribute list content",
         element("r", "<attribute name='n'><list><oneOrMore><data type='integer'/></oneOrMore></list></attribute>"),
         "<r n='1 2 x'/>", 0},
        // Names are namespace and local name.
        {"grammar ns, element in no namespace",
         std::string("<grammar ns='urn:a' xmlns='") + rngtest::kNs + "'><start><element name='x'><empty/></element></start></grammar>",
         "<x/>", 0},
        {"grammar ns, element in it",
         std::string("<grammar ns='urn:a' xmlns='") + rngtest::kNs + "'><start><element name='x'><empty/></element></start></grammar>",
         "<x xmlns='urn:a'/>", 1},
        {"prefixed element name",
         std::string("<element name='p:x' xmlns:p='urn:b' xmlns='") + rngtest::kNs + "'><empty/></element>",
         "<q:x xmlns:q='urn:b'/>", 1},
        {"prefixed element name, other namespace",
         std::string("<element name='p:x' xmlns:p='urn:b' xmlns='") + rngtest::kNs + "'><empty/></element>",
         "<x xmlns='urn:c'/>", 0},
        {"attribute in a namespace", element("r", "<attribute name='x' ns='urn:c'/>"),
         "<r xmlns:c='urn:c' c:x='1'/>", 1},
        {"attribute in no namespace for a namespaced pattern", element("r", "<attribute name='x' ns='urn:c'/>"),
         "<r x='1'/>", 0},
        {"unprefixed attribute ignores the element ns",
         std::string("<element name='r' ns='urn:a' xmlns='") + rngtest::kNs + "'><attribute name='x'/></element>",
         "<r xmlns='urn:a' x='1'/>", 1},
        {"any name", element("r", "<element><anyName/><text/></element>"), "<r><whatever>t</whatever></r>", 1},
        // div is transparent; start alternatives through nested choices and refs.
        {"define inside div",
         std::string("<grammar xmlns='") + rngtest::kNs +
             "'><div><start><ref name='a'/></start><div><define name='a'><element name='a'><empty/></element></define></div></div></grammar>",
         "<a/>", 1},
        {"nested start alternatives",
         grammar("<choice><ref name='x'/><choice>" + kEmptyB + kEmptyC + "</choice></choice>",
                 "<define name='x'><element name='x'><empty/></element></define>"),
         "<c/>", 1},
        {"start through a ref to a choice",
         grammar("<ref name='x'/>", "<define name='x'><choice>" + kEmptyB + kEmptyC + "</choice></define>"), "<c/>", 1},
        // Definitions combined.
        {"combine choice",
         grammar("<element name='a'><ref name='x'/></element>",
                 "<define name='x'>" + kEmptyB + "</define><define name='x' combine='choice'>" + kEmptyC + "</define>"),
         "<a><c/></a>", 1},
        {"combine interleave",
         grammar("<element name='a'><ref name='x'/></element>",
                 "<define name='x'>" + kEmptyB + "</define><define name='x' combine='interleave'>" + kEmptyC +
                     "</define>"),
         "<a><c/><b/></a>", 1},
        // A ref that names no definition.
        {"undefined ref in content", element("a", "<ref name='nothing'/>"), "<a/>", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(validate(c.schema, c.document), c.valid) << c.what;
}

// Shapes that take exponential time when backtracking forgets what it
// found. There are no timing assertions: a regression shows as a hang.
TEST(RngMatch, BacktrackingIsRemembered) {
    std::string choices;
    for (int i = 0; i < 40; i++)
        choices += "<choice><element name='a'><empty/></element><element name='a'><empty/></element></choice>";
    std::string schema = element("r", choices + "<element name='b'><empty/></element>");
    EXPECT_EQ(validate(schema, "<r>" + repeat("<a/>", 40) + "<c/></r>"), 0);
    EXPECT_EQ(validate(schema, "<r>" + repeat("<a/>", 40) + "<b/></r>"), 1);

    std::string nested = grammar(
        "<ref name='x'/>",
        "<define name='x'><element name='x'><optional><choice>"
        "<group><ref name='x'/><element name='y'><empty/></element></group>"
        "<group><ref name='x'/><element name='z'><empty/></element></group>"
        "</choice></optional></element></define>");
    std::string doc = "<x/>";
    for (int i = 0; i < 30; i++) doc = "<x>" + doc + (i % 2 ? "<y/>" : "<z/>") + "</x>";
    EXPECT_EQ(validate(nested, doc), 1);
    std::string bad = "<x/>";
    for (int i = 0; i < 30; i++) bad = "<x>" + bad + (i == 29 ? "<q/>" : "<z/>") + "</x>";
    EXPECT_EQ(validate(nested, bad), 0);
}

TEST(RngMatch, DeepRecursionStopsAtTheRefLimit) {
    std::string schema = grammar("<ref name='x'/>",
                                 "<define name='x'><element name='x'><optional><ref name='x'/></optional></element></define>");
    std::string shallow = "<x/>", deep = "<x/>";
    for (int i = 0; i < 150; i++) shallow = "<x>" + shallow + "</x>";
    for (int i = 0; i < 240; i++) deep = "<x>" + deep + "</x>";
    EXPECT_EQ(validate(schema, shallow), 1);
    EXPECT_EQ(validate(schema, deep), 0);
}

}  // namespace

namespace {

// Working memory of a validation, counted through the allocation hooks.
thread_local long long g_live = 0, g_peak = 0;
void* counting_alloc(size_t n) {
    void* p = std::malloc(n + 16);
    if (!p) return nullptr;
    *static_cast<size_t*>(p) = n;
    g_live += static_cast<long long>(n);
    if (g_live > g_peak) g_peak = g_live;
    return static_cast<char*>(p) + 16;
}
void counting_free(void* p) {
    if (!p) return;
    char* base = static_cast<char*>(p) - 16;
    g_live -= static_cast<long long>(*reinterpret_cast<size_t*>(base));
    std::free(base);
}

long long validation_peak(quorvel_rng* rng, int children) {
    std::string text = "<r>";
    for (int i = 0; i < children; i++) text += i % 3 ? "<b/>" : "<c/>";
    text += "</r>";
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    quorvel_set_memory_management_functions(counting_alloc, counting_free);
    g_live = g_peak = 0;
    int valid = quorvel_rng_validate(rng, doc);
    quorvel_set_memory_management_functions(nullptr, nullptr);
    EXPECT_EQ(valid, 1);
    quorvel_document_free(doc);
    return g_peak;
}

}  // namespace

// Backtracking over a choice at the head of the content remembers what it
// found, but the memory for that stays bounded however many children
// follow.
TEST(RngMatch, RememberingStaysBoundedOnWideElements) {
    quorvel_rng* rng = rngtest::load(element(
        "r", "<choice><attribute name='v'/><empty/></choice><zeroOrMore><choice>" + kEmptyB + kEmptyC +
                 "</choice></zeroOrMore>"));
    ASSERT_NE(rng, nullptr);
    long long narrow = validation_peak(rng, 20000);
    long long wide = validation_peak(rng, 200000);
    EXPECT_LT(wide, narrow * 2 + 4096) << "narrow " << narrow << ", wide " << wide;
    quorvel_rng_free(rng);
}
