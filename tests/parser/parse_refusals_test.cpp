// What the document parser refuses and where it says so: NUL bytes,
// malformed UTF-8, names with an empty prefix or local part, a misplaced
// DOCTYPE; and what it must accept: DOCTYPE literals holding '>'. Every
// road that builds a document from text is tried: the copy and in-place
// parses, recover mode and the fast path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "quorvel.h"
#include "support/doc_holder.h"

namespace {

constexpr int kRecover = QUORVEL_PARSE_RECOVER;

std::string serialize(quorvel_document* doc) {
    char* out = quorvel_document_serialize(doc, nullptr);
    std::string s = out ? out : "";
    quorvel_free_string(out);
    return s;
}

// The input refused with this message at this byte, by the copy parse
// (plain and recovering) and the in-place parse.
void expect_refused(const std::string& text, size_t byte, const char* what) {
    SCOPED_TRACE(testing::PrintToString(text));
    std::string expected = "XML parse error at byte " + std::to_string(byte) + ": " + what;
    for (int flags : {0, kRecover, int(QUORVEL_PARSE_NO_POSITIONS)}) {
        int status = 0;
        doc_holder d(quorvel_parse_string_flags(text.data(), text.size(), flags, &status));
        EXPECT_EQ(d.doc, nullptr) << "flags " << flags << ": " << serialize(d.doc);
        EXPECT_EQ(status, QUORVEL_ERR_PARSE);
        EXPECT_STREQ(quorvel_last_error(), expected.c_str());
    }
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    int status = 0;
    doc_holder d(quorvel_parse_string_inplace(buffer.data(), text.size(), &status));
    EXPECT_EQ(d.doc, nullptr);
    EXPECT_STREQ(quorvel_last_error(), expected.c_str());
}

std::string nul(const std::string& with_bar) {
    std::string s = with_bar;
    s[s.find('|')] = '\0';
    return s;
}

TEST(ParseRefusals, NulBytesAnywhere) {
    struct row {
        std::string text;
        size_t byte;
    };
    const row rows[] = {
        {nul("<d>a|b</d>"), 4},                          // text, serialized it cut the document
        {nul("<d>|</d>"), 3},
        {nul("<d><e/>x|</d>"), 8},                       // a run after markup, on the hot loop
        {nul("<d a='x|y'/>"), 7},                        // attribute value
        {nul("<d><!--a|b--></d>"), 8},                   // comment
        {nul("<d><![CDATA[a|]]></d>"), 13},              // CDATA
        {nul("<d><?p a|?></d>"), 8},                     // processing instruction data
        {nul("<d>&amp;|</d>"), 8},                       // a run the decoder rewrites
        {nul("<d>a\r|</d>"), 5},                         // a run with CR
        {nul("<!DOCTYPE d [<!ENTITY e 'v'>]><d>&e;|</d>"), 36},
        {nul("<d/>|"), 4},                               // after the root
    };
    for (const row& r : rows) expect_refused(r.text, r.byte, "NUL character");
}

TEST(ParseRefusals, MalformedUtf8InTextValuesAndNames) {
    struct row {
        const char* bytes;
        const char* why;
    };
    const row bad[] = {
        {"\xC0\xAF", "overlong 2-byte form"},
        {"\xC1\xBF", "overlong 2-byte form"},
        {"\xE0\x80\xAF", "overlong 3-byte form"},
        {"\xF0\x80\x80\xAF", "overlong 4-byte form"},
        {"\xED\xA0\x80", "encoded high surrogate"},
        {"\xED\xBF\xBF", "encoded low surrogate"},
        {"\xF4\x90\x80\x80", "past U+10FFFF"},
        {"\xF5\x80\x80\x80", "lead byte past F4"},
        {"\xFF", "never in UTF-8"},
        {"\x80", "continuation without a lead"},
        {"\xE2\x82", "cut short before an ASCII byte"},
        {"\xC3\xC3\xA9", "lead where a continuation belongs"},
    };
    for (const row& r : bad) {
        SCOPED_TRACE(r.why);
        std::string b = r.bytes;
        expect_refused("<d>x" + b + "y</d>", 4, "invalid UTF-8");
        expect_refused("<d a='" + b + "'/>", 6, "invalid UTF-8");
        expect_refused("<d" + b + "/>", 2, "invalid UTF-8");
        expect_refused("<d><!--" + b + "--></d>", 7, "invalid UTF-8");
        expect_refused("<d/><!--" + b + "-->", 8, "invalid UTF-8");
    }
    // Cut short by the end of the input.
    expect_refused("<d/><!-- --><?p \xF0\x9F\x98", 16, "invalid UTF-8");

    // The bounds of each form are characters.
    const char* good[] = {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBD",
                          "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xE2\x82\xAC"};
    for (const char* g : good) {
        std::string text = std::string("<d") + g + " a=\"" + g + "\">" + g + "</d" + g + ">";
        SCOPED_TRACE(testing::PrintToString(text));
        int status = 0;
        doc_holder d(quorvel_parse_string(text.data(), text.size(), &status));
        ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
        EXPECT_EQ(serialize(d.doc), text);
    }
}

// The first fault in the input is the one reported: a structural one before
// the bad byte wins, a bad byte before a structural fault wins.
TEST(ParseRefusals, TheFirstFaultIsReported) {
    int status = 0;
    std::string late = nul("<d><e></d>xx|");
    doc_holder a(quorvel_parse_string(late.data(), late.size(), &status));
    EXPECT_EQ(a.doc, nullptr);
    EXPECT_EQ(std::string(quorvel_last_error()).find("NUL"), std::string::npos) << quorvel_last_error();
    std::string early = nul("<d>|<e></d>");
    doc_holder b(quorvel_parse_string(early.data(), early.size(), &status));
    EXPECT_EQ(b.doc, nullptr);
    EXPECT_STREQ(quorvel_last_error(), "XML parse error at byte 3: NUL character");
}

// Large plain documents go down the fast path when it is on: a bad byte
// makes it decline, and the document parser refuses with the position.
TEST(ParseRefusals, FastPathDeclinesWhatTheParserRefuses) {
    std::string body;
    while (body.size() < 70000) body += "<row id='1'>text \xC3\xA9</row>";
    struct row {
        std::string insert;
        const char* what;
    };
    const row rows[] = {{std::string(1, '\0'), "NUL character"}, {"\xED\xA0\x80", "invalid UTF-8"},
                        {"\xC0\x80", "invalid UTF-8"}, {"\xF4\x90\x80\x80", "invalid UTF-8"}};
    dp_il_set_test_mode(1);
    {
        std::string text = "<r>" + body + "</r>";
        quorvel_document* fine = dp_il_try(text.data(), text.size(), 0, 0, 0);
        EXPECT_NE(fine, nullptr);
        quorvel_document_free(fine);
    }
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string text = "<r>" + body + "<x a='" + r.insert + "'/></r>";
        size_t at = 3 + body.size() + 6;
        EXPECT_EQ(dp_il_try(text.data(), text.size(), 0, 0, 0), nullptr);
        int status = 0;
        doc_holder d(quorvel_parse_string(text.data(), text.size(), &status));
        EXPECT_EQ(d.doc, nullptr);
        EXPECT_EQ(status, QUORVEL_ERR_PARSE);
        EXPECT_STREQ(quorvel_last_error(),
                     ("XML parse error at byte " + std::to_string(at) + ": " + r.what).c_str());
    }
    dp_il_set_test_mode(-1);
}

TEST(ParseRefusals, NamesWithAnEmptyPrefixOrLocalPart) {
    struct row {
        const char* text;
        size_t byte;
    };
    const row rows[] = {
        {"<foo:/>", 4},     {"<foo: />", 4},          {"<foo:></foo:>", 4},  {"<:foo/>", 1},
        {"<r><a:></a:></r>", 5}, {"<r a:='1'/>", 4},  {"<r :a='1'/>", 3},    {"<r xmlns:='u'/>", 8},
        {"<a:b:/>", 4},     {"<r><p:q: x='1'/></r>", 7},
        // An attribute named only ':' (recover mode accepted it).
        {"<!DOCTYPE[\r]><t t=\"\"><o xmlns=\"\":=\"\">", 32},
    };
    for (const row& r : rows) expect_refused(r.text, r.byte, "empty prefix or local part in a name");
    // Through a fragment too.
    doc_holder target(quorvel_document_create());
    int status = 0;
    EXPECT_EQ(quorvel_parse_fragment("<a:/>", 5, target.doc, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    // Names that split are kept.
    doc_holder ok(quorvel_parse_string("<p:a q:b='1'><p:c/></p:a>", 25, &status));
    ASSERT_NE(ok.doc, nullptr);
    EXPECT_EQ(serialize(ok.doc), "<p:a q:b=\"1\"><p:c/></p:a>");
}

TEST(ParseRefusals, DoctypeLiteralsMayHoldGreaterThan) {
    struct row {
        const char* text;
        const char* public_id;
        const char* system_id;
    };
    const row rows[] = {
        {"<!DOCTYPE r SYSTEM \"a>b\"><r/>", nullptr, "a>b"},
        {"<!DOCTYPE r SYSTEM 'a>b'><r/>", nullptr, "a>b"},
        {"<!DOCTYPE r PUBLIC 'p>q' \"s>[t\"><r/>", "p>q", "s>[t"},
        {"<!DOCTYPE r SYSTEM \"a>b\" [<!ENTITY e 'x'>]><r>&e;</r>", nullptr, "a>b"},
        {"<!DOCTYPE r PUBLIC \"'>\" '\">' [<!ENTITY e 'x'>]><r>&e;</r>", "'>", "\">"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        int status = 0;
        doc_holder d(quorvel_parse_string(r.text, std::strlen(r.text), &status));
        ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
        ASSERT_NE(d.doc->doctype, nullptr);
        EXPECT_STREQ(d.doc->doctype->public_id, r.public_id);
        EXPECT_STREQ(d.doc->doctype->system_id, r.system_id);
        quorvel_element* root = quorvel_document_root(d.doc);
        ASSERT_NE(root, nullptr);
        EXPECT_STREQ(quorvel_element_name(root), "r");
        // What the library writes reads back the same.
        std::string once = serialize(d.doc);
        doc_holder again(quorvel_parse_string(once.data(), once.size(), &status));
        ASSERT_NE(again.doc, nullptr) << once;
        EXPECT_EQ(serialize(again.doc), once);
    }
}

// A DOCTYPE belongs before the root, once: later ones are errors, which a
// recovering parse drops without letting them change the document.
TEST(ParseRefusals, MisplacedDoctype) {
    const char* refused[] = {"<a><!DOCTYPE b></a>", "<a/><!DOCTYPE a>", "<!DOCTYPE a><!DOCTYPE b><b/>",
                             "<!DOCTYPEa><a/>"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        int status = 0;
        doc_holder d(quorvel_parse_string(text, std::strlen(text), &status));
        EXPECT_EQ(d.doc, nullptr);
        EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    }

    const std::string text = "<!DOCTYPE[\n]><foo><!DOCTYPEo[<!ATTLISTfoo s\tM \"l\"";
    const int flags = kRecover | QUORVEL_PARSE_DTD_DEFAULTS | QUORVEL_PARSE_KEEP_ENTITY_REFS;
    int status = 0;
    doc_holder d(quorvel_parse_string_flags(text.data(), text.size(), flags, &status));
    ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
    EXPECT_EQ(d.doc->doctype, nullptr);
    quorvel_element* root = quorvel_document_root(d.doc);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(quorvel_element_attribute_count(root), 0u);
    bool dropped = false;
    for (int i = 0; i < quorvel_document_parse_diag_count(d.doc); i++) {
        int code = 0;
        char message[128];
        ASSERT_EQ(quorvel_document_parse_diag(d.doc, i, &code, message, sizeof message), 1);
        if (code == 10 && std::string(message) == "Misplaced DOCTYPE dropped") dropped = true;
    }
    EXPECT_TRUE(dropped);
    std::string once = serialize(d.doc);
    EXPECT_EQ(once, "<foo/>");
    doc_holder again(quorvel_parse_string_flags(once.data(), once.size(), flags, &status));
    ASSERT_NE(again.doc, nullptr);
    EXPECT_EQ(serialize(again.doc), once);

    // The same DOCTYPE in its place, with the declaration written properly,
    // gives the default; run into its name it declares nothing.
    for (bool spaced : {true, false}) {
        std::string subset = spaced ? "<!ATTLIST foo s CDATA \"l\">" : "<!ATTLISTfoo s CDATA \"l\">";
        std::string doc = "<!DOCTYPE foo [" + subset + "]><foo/>";
        doc_holder p(quorvel_parse_string_flags(doc.data(), doc.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status));
        ASSERT_NE(p.doc, nullptr);
        const char* s = quorvel_element_attribute(quorvel_document_root(p.doc), "s");
        if (spaced)
            EXPECT_STREQ(s, "l");
        else
            EXPECT_EQ(s, nullptr);
    }
    // A parameter entity right after the keyword brings its own white space.
    std::string pe = "<!DOCTYPE a [<!ENTITY % n 'a'><!ATTLIST%n; x CDATA 'd'>]><a/>";
    doc_holder p(quorvel_parse_string_flags(pe.data(), pe.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status));
    ASSERT_NE(p.doc, nullptr);
    EXPECT_STREQ(quorvel_element_attribute(quorvel_document_root(p.doc), "x"), "d");
}

}  // namespace
