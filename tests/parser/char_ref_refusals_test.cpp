// A malformed character reference is a well-formedness error wherever it
// appears in text or in an attribute value, on every road that reads a
// document: "&#0;", a surrogate, a value past U+10FFFF, a code point that
// is no XML character (the other C0 controls, U+FFFE, U+FFFF), no digits,
// a stray byte before the ';' and digits that run into the end of the text
// without one. None of them may leave the text raw and report success: the
// copy and in-place parses in every mode, the fast path, fragments, SAX
// (whole or fed in pieces), pull and iterparse refuse them at the '&'. In
// a DTD's entity values and attribute defaults they make the declaration,
// and so the document, ill-formed. Documents are read by the XML 1.0 rules
// whatever version they declare.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "quorvel.h"
#include "support/doc_holder.h"
#include "support/fast_mode.h"

namespace {

const char* const kBadReferences[] = {"&#0;",  "&#x0;", "&#xD800;", "&#55296;", "&#x110000;", "&#1114112;",
                                      "&#;",   "&#x;",  "&#12a;",   "&#x4g;",   "&#38",       "&#x26",
                                      "&#1;",  "&#5;",  "&#x8;",    "&#11;",    "&#xc;",      "&#x1F;",
                                      "&#xFFFE;", "&#xFFFF;", "&#65535;", "&#x0000FFFE;"};

// Where the document puts the reference: "@" marks its place.
struct shape {
    const char* name;
    std::string text;
};

const shape kShapes[] = {
    {"text after a decoded reference", "<d>&amp;@</d>"},
    {"text alone", "<d>@</d>"},
    {"text after a child", "<d><e/>x @ y</d>"},
    {"text with CR", "<d>a\r\n@</d>"},
    {"text at depth", "<d><e><f>@</f></e></d>"},
    {"attribute value", "<d a='@'/>"},
    {"attribute after others", "<d x='1' y=\"v@w\"/>"},
    {"attribute with a prefix", "<d xmlns:p='u'><e p:a='@'/></d>"},
    {"attribute with LF", "<d a='x\n@'/>"},
    {"text with a DTD", "<!DOCTYPE d [<!ENTITY e 'v'>]><d>&e;@</d>"},
    {"text with a DTD, no entity", "<!DOCTYPE d [<!ENTITY e 'v'>]><d>a@</d>"},
    {"attribute with a DTD", "<!DOCTYPE d [<!ENTITY e 'v'>]><d a='&e;@'/>"},
    {"text of a version 1.1 document", "<?xml version='1.1'?><d>@</d>"},
    {"attribute of a version 1.1 document", "<?xml version=\"1.1\"?><d a='@'/>"},
};

std::string place(const std::string& text, const char* ref) {
    std::string out = text;
    out.replace(out.find('@'), 1, ref);
    return out;
}

// The copy parse refuses text under every one of the flag sets with exactly
// the expected message.
void expect_copy_parses_refuse(const std::string& text, std::initializer_list<int> flag_sets,
                               const std::string& expected) {
    for (int flags : flag_sets) {
        int status = 0;
        doc_holder d(quorvel_parse_string_flags(text.data(), text.size(), flags, &status));
        EXPECT_EQ(d.doc, nullptr) << "copy parse, flags " << flags;
        EXPECT_EQ(status, QUORVEL_ERR_PARSE) << "flags " << flags;
        EXPECT_EQ(std::string(quorvel_last_error() ? quorvel_last_error() : ""), expected) << "flags " << flags;
    }
}

TEST(CharRefRefusals, EveryEntryRefusesEveryMalformedReference) {
    for (const shape& sh : kShapes) {
        for (const char* ref : kBadReferences) {
            std::string text = place(sh.text, ref);
            size_t at = text.find("&#");
            SCOPED_TRACE(std::string(sh.name) + ": " + testing::PrintToString(text));
            std::string expected = "XML parse error at byte " + std::to_string(at) + ": malformed character reference";

            expect_copy_parses_refuse(text, {0, QUORVEL_PARSE_NO_POSITIONS, QUORVEL_PARSE_KEEP_ENTITY_REFS,
                                             QUORVEL_PARSE_DROP_WHITESPACE, QUORVEL_PARSE_RECOVER},
                                      expected);
            {
                int line = 0, column = 0;
                quorvel_last_error_position(&line, &column);
                size_t lf = text.rfind('\n', at);
                EXPECT_EQ(column, static_cast<int>(lf == std::string::npos ? at + 1 : at - lf));
            }
            {
                std::vector<char> buffer(text.begin(), text.end());
                buffer.push_back('\0');
                int status = 0;
                doc_holder d(quorvel_parse_string_inplace(buffer.data(), text.size(), &status));
                EXPECT_EQ(d.doc, nullptr) << "in-place parse";
                EXPECT_EQ(status, QUORVEL_ERR_PARSE);
                EXPECT_EQ(std::string(quorvel_last_error() ? quorvel_last_error() : ""), expected) << "in-place";
            }
            {
                fast_mode forced(1);
                int status = 0;
                doc_holder d(quorvel_parse_string(text.data(), text.size(), &status));
                EXPECT_EQ(d.doc, nullptr) << "fast path";
                EXPECT_EQ(status, QUORVEL_ERR_PARSE);
            }
            for (size_t piece : {text.size(), size_t(1), size_t(3)}) {
                quorvel_sax_handler handler{};
                std::string error;
                handler.error = [](void* user, const char* message, int, int) {
                    *static_cast<std::string*>(user) = message;
                };
                quorvel_sax_parser* sax = quorvel_sax_parser_create(&handler, &error);
                ASSERT_NE(sax, nullptr);
                int rc = 0;
                for (size_t i = 0; i < text.size() && rc == 0; i += piece) {
                    size_t n = std::min(piece, text.size() - i);
                    rc = quorvel_sax_parser_feed(sax, text.data() + i, n, i + n == text.size());
                }
                quorvel_sax_parser_free(sax);
                EXPECT_EQ(rc, -2) << "SAX in pieces of " << piece;
                EXPECT_NE(error.find("malformed character reference"), std::string::npos)
                    << "SAX in pieces of " << piece << ": " << error;
            }
            {
                quorvel_pull* pull = quorvel_pull_new(text.data(), text.size());
                ASSERT_NE(pull, nullptr);
                int last = -1;
                for (quorvel_pull_event* e; (e = quorvel_pull_next(pull)) != nullptr;) {
                    last = e->kind;
                    if (last == QUORVEL_PULL_ERROR || last == QUORVEL_PULL_END_DOCUMENT) break;
                }
                quorvel_pull_free(pull);
                EXPECT_EQ(last, QUORVEL_PULL_ERROR) << "pull";
            }
            for (int mode : {0, 1}) {
                quorvel_iterparse* it = quorvel_iterparse_new_ex(text.data(), text.size(), mode);
                ASSERT_NE(it, nullptr);
                while (quorvel_iterparse_next(it)) {
                }
                const char* why = quorvel_iterparse_error(it);
                EXPECT_NE(why ? std::strstr(why, "malformed character reference") : nullptr, nullptr)
                    << "iterparse mode " << mode << ": " << (why ? why : "no error");
                quorvel_iterparse_free(it);
            }
            {
                int status = 0;
                doc_holder target(quorvel_parse_string("<t/>", 4, &status));
                ASSERT_NE(target.doc, nullptr);
                std::string body = text.substr(text.find("<d"));  // a fragment holds no DOCTYPE
                if (body.size() == text.size() || text.find("&e;") == std::string::npos) {
                    EXPECT_EQ(quorvel_parse_fragment(body.data(), body.size(), target.doc, &status), nullptr) << "fragment";
                    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
                }
            }
        }
    }
}

// The references a document may hold still decode, on the same roads.
TEST(CharRefRefusals, WellFormedReferencesStillDecode) {
    const char* text = "<d a='&#x10FFFF;&#65;&#xD7FF;&#xE000;'>&amp;&#9;&#x10000;&#1114111;</d>";
    int status = -1;
    doc_holder d(quorvel_parse_string(text, std::strlen(text), &status));
    ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
    EXPECT_EQ(status, 0);
    quorvel_element* root = quorvel_document_root(d.doc);
    EXPECT_STREQ(quorvel_element_attribute(root, "a"), "\xF4\x8F\xBF\xBF" "A\xED\x9F\xBF\xEE\x80\x80");
    EXPECT_STREQ(quorvel_element_text(&root->head), "&\t\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");

    // The edges of the character ranges, in text, a value, an entity value
    // and an attribute default, on the parser's roads.
    const std::string edges = "&#9;&#xA;&#13;&#x20;&#xFFFD;&#65533;";
    const std::string decoded = "\t\n\r \xEF\xBF\xBD\xEF\xBF\xBD";
    const std::string dtd_text = "<!DOCTYPE d [<!ENTITY e '" + edges + "'><!ATTLIST d b CDATA '" + edges + "'>]><d a='&e;'>&e;" +
                                 edges + "</d>";
    doc_holder with_dtd(quorvel_parse_string_flags(dtd_text.data(), dtd_text.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status));
    ASSERT_NE(with_dtd.doc, nullptr) << quorvel_last_error();
    root = quorvel_document_root(with_dtd.doc);
    EXPECT_EQ(std::string(quorvel_element_text(&root->head)), decoded + decoded);
    EXPECT_EQ(std::string(quorvel_element_attribute(root, "a")), decoded);
    EXPECT_EQ(std::string(quorvel_element_attribute(root, "b")), decoded);
    for (size_t piece : {size_t(1), size_t(3)}) {
        quorvel_sax_handler handler{};
        quorvel_sax_parser* sax = quorvel_sax_parser_create(&handler, nullptr);
        ASSERT_NE(sax, nullptr);
        const std::string plain = "<d a='" + edges + "'>" + edges + "</d>";
        int rc = 0;
        for (size_t i = 0; i < plain.size() && rc == 0; i += piece) {
            size_t n = std::min(piece, plain.size() - i);
            rc = quorvel_sax_parser_feed(sax, plain.data() + i, n, i + n == plain.size());
        }
        quorvel_sax_parser_free(sax);
        EXPECT_EQ(rc, 0) << "SAX in pieces of " << piece;
    }
}

// Where a DTD holds the reference: "@" marks its place in the internal
// subset, and the document parser refuses at the reference's '&' on every
// road that reads the subset. (The streaming readers skip internal subsets
// and expand no entities, so no DTD text reaches them.)
TEST(CharRefRefusals, DtdValuesAndDefaultsAreRefused) {
    const shape dtd_shapes[] = {
        {"entity value, referenced in text", "<!DOCTYPE d [<!ENTITY e 'a@b'>]><d>&e;</d>"},
        {"entity value, referenced in a value", "<!DOCTYPE d [<!ENTITY e '@'>]><d a='x&e;'/>"},
        {"entity value, never referenced", "<!DOCTYPE d [<!ENTITY e \"@\">]><d/>"},
        {"entity value after a good one", "<!DOCTYPE d [<!ENTITY f '&#65;'><!ENTITY e '&#66;@'>]><d>&f;</d>"},
        {"parameter entity value", "<!DOCTYPE d [<!ENTITY % p '@'>]><d/>"},
        {"attribute default", "<!DOCTYPE d [<!ATTLIST d a CDATA '@'>]><d/>"},
        {"fixed attribute default", "<!DOCTYPE d [<!ATTLIST d x CDATA #IMPLIED a CDATA #FIXED \"v@\">]><d/>"},
        {"attribute default of an element not present", "<!DOCTYPE d [<!ATTLIST z a CDATA '@'>]><d/>"},
    };
    const char* refs[] = {"&#5;", "&#x1F;", "&#xFFFE;", "&#xFFFF;", "&#0;", "&#xD800;", "&#;", "&#65"};
    for (const shape& sh : dtd_shapes) {
        for (const char* ref : refs) {
            std::string text = place(sh.text, ref);
            size_t at = sh.text.find('@');
            SCOPED_TRACE(std::string(sh.name) + ": " + testing::PrintToString(text));
            std::string expected = "XML parse error at byte " + std::to_string(at) + ": malformed character reference";
            expect_copy_parses_refuse(text, {0, QUORVEL_PARSE_NO_POSITIONS, QUORVEL_PARSE_KEEP_ENTITY_REFS,
                                             QUORVEL_PARSE_DTD_DEFAULTS, QUORVEL_PARSE_RECOVER},
                                      expected);
            {
                std::vector<char> buffer(text.begin(), text.end());
                buffer.push_back('\0');
                int status = 0;
                doc_holder d(quorvel_parse_string_inplace(buffer.data(), text.size(), &status));
                EXPECT_EQ(d.doc, nullptr) << "in-place parse";
                EXPECT_EQ(std::string(quorvel_last_error() ? quorvel_last_error() : ""), expected) << "in-place";
            }
            {
                fast_mode forced(1);
                int status = 0;
                doc_holder d(quorvel_parse_string(text.data(), text.size(), &status));
                EXPECT_EQ(d.doc, nullptr) << "fast path";
            }
            // The subset alone, as a DTD of its own.
            size_t open = text.find('[') + 1;
            std::string subset = text.substr(open, text.rfind(']') - open);
            quorvel_dtd* dtd = quorvel_dtd_parse(subset.data(), subset.size());
            EXPECT_EQ(dtd, nullptr) << "DTD parse";
            EXPECT_STREQ(quorvel_last_error(), "Malformed character reference in DTD");
            quorvel_dtd_free(dtd);
        }
    }
}

}  // namespace
