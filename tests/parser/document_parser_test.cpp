// The document parser: failures with their byte, line and column, recover
// mode and its diagnostics, the shape of the trees it builds, text and
// reference handling, limits on hostile input, and copy vs in-place parses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "dom/dom.h"
#include "dtd/dtd.h"
#include "parser/parser.h"
#include "parser/tree_dump.h"
#include "support/failing_alloc.h"

namespace {

using test_support::dump;

struct parsed {
    quorvel_document* doc = nullptr;
    int status = 0;
    parsed(const std::string& text, int flags = 0) {
        doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
    }
    ~parsed() { quorvel_document_free(doc); }
    parsed(const parsed&) = delete;
    parsed& operator=(const parsed&) = delete;
};

std::string diag_text(quorvel_document* doc, size_t i, int* code) {
    char buf[256];
    EXPECT_EQ(quorvel_document_parse_diag(doc, i, code, buf, sizeof buf), 1);
    return buf;
}

constexpr int kRecover = QUORVEL_PARSE_RECOVER;

// ---- Failures ----------------------------------------------------------------------------

struct failure_case {
    const char* input;
    int flags;
    long byte;
    int line;
    int column;
};

TEST(DocumentParserFailures, ReportByteLineAndColumn) {
    const failure_case cases[] = {
        {"<a>", 0, 3, 1, 4},
        {"text<a/>", 0, 4, 1, 5},
        {"<a/>text", 0, 8, 1, 9},
        {"<a/><b/>", 0, 8, 1, 9},
        {"<a/><b/>", kRecover, 8, 1, 9},
        {"<a>1 < 2</a>", 0, 5, 1, 6},
        {"<a>< 2</a>", 0, 3, 1, 4},
        {"<a>< 2</a>", kRecover, 3, 1, 4},
        {"   ", 0, 3, 1, 4},
        {"<!--c-->", 0, 8, 1, 9},
        {"\xEF\xBB\xBF", 0, 3, 1, 4},
        {"<a x></a>", 0, 4, 1, 5},
        {"<a x=1></a>", 0, 5, 1, 6},
        {"<a x='1></a>", 0, 6, 1, 7},
        {"<a x='1'", 0, 8, 1, 9},
        {"<a></a  x>", 0, 8, 1, 9},
        {"</a>", 0, 4, 1, 5},
        {"<a/></a>", kRecover, 8, 1, 9},
        {"<a><!--x</a>", 0, 7, 1, 8},
        {"<a><![CDATA[x</a>", 0, 12, 1, 13},
        {"<a><? x?></a>", 0, 5, 1, 6},
        {"<a><?pi x</a>", 0, 8, 1, 9},
        {"<a><", 0, 3, 1, 4},
        {"<a:b:c></a:b:x>", 0, 15, 1, 16},
        {"<a:x></b:x>", 0, 11, 1, 12},  // the prefix is part of the name
        {"<a:x></x>", 0, 9, 1, 10},
        {"<r>\n  <a>\n  </b>\n</r>", 0, 16, 3, 7},
        // Start tags inside an element, cut off at the end of the input.
        {"<r><a", 0, 5, 1, 6},
        {"<r><a:", 0, 5, 1, 6},
        {"<r><a b", 0, 7, 1, 8},
        {"<r><a b=", 0, 8, 1, 9},
        {"<r><a b='", 0, 9, 1, 10},
        {"<r><a b='1", 0, 9, 1, 10},
        {"<r><a b='1'", 0, 11, 1, 12},
        {"<r><p:a x:y='1' ", 0, 16, 1, 17},
        {"<r><a b='1'/", 0, 11, 1, 12},
        {"<r><a b='1' c", 0, 13, 1, 14},
        {"<a>\r\n</a>\n<b/>", 0, 14, 3, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        parsed p(c.input, c.flags);
        EXPECT_EQ(p.doc, nullptr);
        EXPECT_EQ(p.status, QUORVEL_ERR_PARSE);
        std::string expected = "XML parse error at byte " + std::to_string(c.byte) + ": ";
        ASSERT_NE(quorvel_last_error(), nullptr);
        EXPECT_EQ(std::string(quorvel_last_error()).substr(0, expected.size()), expected);
        int line = 0, column = 0;
        quorvel_last_error_position(&line, &column);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(column, c.column);
    }
}

TEST(DocumentParserFailures, MessagesNameTheTags) {
    {
        parsed p("<a><b></a>");
        EXPECT_STREQ(quorvel_last_error(),
                     "XML parse error at byte 10: Opening and ending tag mismatch: expected </b>, got </a>");
    }
    {
        parsed p("<a/>text");
        EXPECT_STREQ(quorvel_last_error(), "XML parse error at byte 8: malformed input");
    }
    {
        // End tags are compared and named with their prefix.
        parsed p("<p:a xmlns:p='u'><p:b></q:c></p:a>");
        EXPECT_STREQ(quorvel_last_error(),
                     "XML parse error at byte 28: Opening and ending tag mismatch: expected </p:b>, got </q:c>");
    }
}

TEST(DocumentParserFailures, EmptyInputIsAParseError) {
    int status = 0;
    EXPECT_EQ(quorvel_parse_string("", 0, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    EXPECT_EQ(quorvel_parse_string(nullptr, 3, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
}

// ---- Recover mode and diagnostics ------------------------------------------------------------

struct diag_case {
    const char* input;
    int flags;
    const char* tree;
    std::vector<std::pair<int, std::string>> diags;
};

TEST(DocumentParserRecover, DiagnosticsCarryCodesAndTexts) {
    const diag_case cases[] = {
        {"<a><b></a>", kRecover, "<a><b></></>", {{11, "Element b closed implicitly by </a>"}}},
        {"<a></b></a>", kRecover, "<a></>", {{10, "Stray close tag </b> dropped"}}},
        {"<a>", kRecover, "<a></>", {{11, "Element a still open at end of document"}}},
        {"<a><b>", kRecover, "<a><b></></>",
         {{11, "Element b still open at end of document"}, {11, "Element a still open at end of document"}}},
        {"<a>1 < 2</a>", kRecover, "<a>\"1 < 2\"</>", {{9, "Unescaped < not allowed in a text node"}}},
        {"<a x='1' x='2'/>", 0, "<a x=[1]></>", {{9, "Attribute x redefined"}}},
        {"<a x='1' x='2'/>", kRecover, "<a x=[1]></>", {{9, "Attribute x redefined"}}},
        {"<a x='1' x='2'/>", QUORVEL_PARSE_NO_DUPLICATE_CHECK, "<a x=[1] x=[2]></>", {}},
        {"<a p:x='1' q:x='2'/>", 0, "<a p:x=[1] q:x=[2]></>", {}},
        {"<p:a><p:b></p:a>", kRecover, "<p:a><p:b></></>", {{11, "Element b closed implicitly by </p:a>"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        parsed p(c.input, c.flags);
        ASSERT_NE(p.doc, nullptr) << quorvel_last_error();
        EXPECT_EQ(p.status, QUORVEL_OK);
        EXPECT_EQ(dump(p.doc), c.tree);
        ASSERT_EQ(quorvel_document_parse_diag_count(p.doc), static_cast<int>(c.diags.size()));
        for (size_t i = 0; i < c.diags.size(); i++) {
            int code = 0;
            EXPECT_EQ(diag_text(p.doc, i, &code), c.diags[i].second);
            EXPECT_EQ(code, c.diags[i].first);
        }
    }
}

TEST(DocumentParserRecover, LongRepeatedNameIsCutIn129Bytes) {
    std::string name(300, 'n');
    parsed p("<a " + name + "='1' " + name + "='2'/>");
    ASSERT_NE(p.doc, nullptr);
    int code = 0;
    EXPECT_EQ(diag_text(p.doc, 0, &code), "Attribute " + name.substr(0, 129) + " redefined");
}

// ---- Tree shape ------------------------------------------------------------------------------

struct shape_case {
    const char* input;
    int flags;
    const char* tree;
};

TEST(DocumentParserShape, BuildsTheExpectedTree) {
    const shape_case cases[] = {
        {"<a/>", 0, "<a></>"},
        {"<a></a>", 0, "<a></>"},
        {"<a> <b/> </a>", 0, "<a>\" \"<b></>\" \"</>"},
        {"<a> <b/> </a>", QUORVEL_PARSE_DROP_WHITESPACE, "<a><b></></>"},
        {"<a> x <b/></a>", QUORVEL_PARSE_DROP_WHITESPACE, "<a>\" x \"<b></></>"},
        {"<a>x&lt;y&#65;</a>", QUORVEL_PARSE_KEEP_ENTITY_REFS, "<a>\"x\"&lt;\"yA\"</>"},
        {"<a>&amp;&unknown;&#x42;</a>", QUORVEL_PARSE_KEEP_ENTITY_REFS, "<a>&amp;&unknown;\"B\"</>"},
        {"<a>a &lt; b &amp;&amp; c</a>", 0, "<a>\"a < b && c\"</>"},
        {"<a>&amp;lt;</a>", 0, "<a>\"&lt;\"</>"},
        {"<a>&#65;&#x42;&#X43;&#xE9;</a>", 0, "<a>\"ABC\xC3\xA9\"</>"},
        {"<a>AT&T &nbsp;</a>", 0, "<a>\"AT&T &nbsp;\"</>"},
        {"<a>l1\r\nl2\rl3</a>", 0, "<a>\"l1\nl2\nl3\"</>"},
        {"<a>x\r\n&amp;</a>", 0, "<a>\"x\n&\"</>"},
        {"<a><![CDATA[<x>&amp;\r\n]]></a>", 0, "<a><![<x>&amp;\n]]></>"},
        {"<![CDATA[x]]><a/>", 0, "<a></>"},
        {"<a><!-- c\r\n --></a>", 0, "<a><!-- c\r\n --></>"},
        {"<?pi a?b ?><a/>", 0, "<?pi|a?b ?><a></>"},
        {"<a><?pi?><?t x?><?u?v?></a>", 0, "<a><?pi?><?t|x?><?u|?v?></>"},
        {"<?xml-stylesheet href='s'?><a/>", 0, "<?xml-stylesheet|href='s'?><a></>"},
        {"<a b='x&amp;y'/>", 0, "<a b~=[x&amp;y]></>"},
        {"<a b='' c='&'/>", 0, "<a b=[] c~=[&]></>"},
        {"<a b='1\t2\n3\r\n4\r5'/>", 0, "<a b=[1 2 3 4 5]></>"},
        {"<a b=\"x'y\" c='x\"y' d = 'e'/>", 0, "<a b=[x'y] c=[x\"y] d=[e]></>"},
        {"<a b='<>'/>", 0, "<a b=[<>]></>"},
        {"<a b='1'c='2'/>", 0, "<a b=[1] c=[2]></>"},
        {"<p:a xmlns:p='u' xmlns='d' p:x='1'></p:a>", 0, "<p:a xmlns:p=u xmlns=d p:x=[1]></>"},
        {"<a:b:c></a:b:c>", 0, "<a:b:c></>"},  // split at the last colon, closed as written
        {"<a xmlnsfoo='u'/>", 0, "<a xmlnsfoo=[u]></>"},
        {"<!--c-->\n<a/>\n", 0, "<!--c-->\"\n\"<a></>"},
        {"<a/><!--c-->\n<?p?>\n", 0, "<a></><!--c-->\"\n\"<?p?>"},
        {"\n<a/>\n<!--c-->\n", 0, "<a></><!--c-->"},
        {"\xEF\xBB\xBF<a/>", 0, "<a></>"},
        {"<!DOCTYPE a><a/>", 0, "<a></>"},
        {"<!ELEMENT a ANY><a/>", 0, "<a></>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        parsed p(c.input, c.flags);
        ASSERT_NE(p.doc, nullptr) << quorvel_last_error();
        EXPECT_EQ(dump(p.doc), c.tree);
        test_support::expect_terminated(&p.doc->root->head);
    }
}

TEST(DocumentParserShape, MalformedCharacterReferencesAreRefused) {
    const char* cases[] = {"&#0;abc", "&#xD800;", "&#xDFFF;x", "&#x110000;", "&#18446744073709551681;",
                           "&#99999999999999999999999999;", "&#;", "&#x;", "&#a;", "&#65x;", "a &amp; &#xZZ;",
                           "x &amp;&#65"};
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        parsed p(std::string("<a>") + text + "</a>");
        EXPECT_EQ(p.doc, nullptr);
        size_t at = 3 + std::string(text).find("&#");
        EXPECT_STREQ(quorvel_last_error(),
                     ("XML parse error at byte " + std::to_string(at) + ": malformed character reference").c_str());
    }
    // The longest code point is still accepted.
    parsed p("<a>&#x10FFFF;&#x1F600;</a>");
    EXPECT_EQ(dump(p.doc), "<a>\"\xF4\x8F\xBF\xBF\xF0\x9F\x98\x80\"</>");
}

TEST(DocumentParserShape, StrictModeDecidesUndeclaredReferences) {
    int saved = quorvel_get_strict_mode();
    quorvel_set_strict_mode(1);
    {
        parsed p("<a>x &amp; &nbsp;</a>");
        EXPECT_EQ(dump(p.doc), "<a>\"x &amp; &nbsp;\"</>");
    }
    // A character reference cut off by the end of its run is refused in
    // either mode.
    for (int strict : {1, 0}) {
        quorvel_set_strict_mode(strict);
        parsed p("<a>x &amp;&#65</a>");
        EXPECT_EQ(p.doc, nullptr) << "strict " << strict;
    }
    quorvel_set_strict_mode(saved);
}

TEST(DocumentParserShape, RecordsAndFlags) {
    const std::string in = "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n<r:root xmlns:r='u' a='1'><c>t</c></r:root>";
    parsed p(in);
    ASSERT_NE(p.doc, nullptr);
    quorvel_document* doc = p.doc;
    EXPECT_STREQ(doc->declared_version, "1.0");
    EXPECT_STREQ(doc->declared_encoding, "UTF-8");
    EXPECT_EQ(doc->standalone, 1);
    EXPECT_EQ(doc->has_declaration, 1);
    EXPECT_EQ(doc->namespaces_in_use, 1);
    EXPECT_EQ(quorvel_document_is_frozen(doc), 1);
    quorvel_element* root = doc->root;
    EXPECT_EQ(root->name_length, 4);
    EXPECT_EQ(root->name_hash, quorvel_name_hash16("root", 4));
    EXPECT_EQ(root->attr_count, 1);
    EXPECT_EQ(root->child_count, 1);
    EXPECT_EQ(root->head.source_pos, in.find("<r:root") + 1);
    auto* c = reinterpret_cast<quorvel_element*>(quorvel_elem_first_child_raw(root));
    EXPECT_EQ(c->head.source_pos, static_cast<uint32_t>(in.find("<c>") + 1));
    EXPECT_TRUE(c->head.flags & kNodeFrozen);
    auto* t = reinterpret_cast<quorvel_text*>(quorvel_elem_first_child_raw(c));
    EXPECT_TRUE(t->head.flags & kTextCounted);
    // Raw attributes list every attribute as written, declarations included.
    const char* raw_names[3] = {};
    ASSERT_EQ(quorvel_element_attributes_raw(root, raw_names, nullptr, 3), 2u);
    EXPECT_STREQ(raw_names[0], "xmlns:r");
    EXPECT_STREQ(raw_names[1], "a");
    // Position spans, one per element of the area in document order: just
    // past the start tag, then past the end tag.
    ASSERT_EQ(doc->pos_span_count, 2u);
    EXPECT_EQ(doc->pos_count, 0u);
    EXPECT_EQ(doc->pos_span_elements, root);
    EXPECT_EQ(doc->pos_spans[0].start, in.find("<c>"));
    EXPECT_EQ(doc->pos_spans[0].end, in.size());
    EXPECT_EQ(doc->pos_span_elements + 1, c);
    EXPECT_EQ(doc->pos_spans[1].start, in.find("t</c>"));
    EXPECT_EQ(doc->pos_spans[1].end, in.find("</r:root>"));
    parsed q("<a><b/></a>", QUORVEL_PARSE_NO_POSITIONS);
    EXPECT_EQ(q.doc->pos_count, 0u);
    EXPECT_EQ(q.doc->pos_span_count, 0u);
    EXPECT_NE(q.doc->root->head.source_pos, 0u);
}

// More elements than half the '<' count (empty ones have no end tag): the
// span array is sized for them up front, so it never moves while elements
// are open, and their end offsets land in it.
TEST(DocumentParserShape, PositionRecordsOfManyEmptyElements) {
    for (const char* open : {"<r><x>", "<r a='1'><p:x xmlns:p='u'>"}) {
        std::string in = open;
        for (int i = 0; i < 5000; i++) in += i % 2 ? "<a/>" : "<b c='d'/>";
        std::string tail = std::strchr(open, ':') ? "</p:x></r>" : "</x></r>";
        in += tail;
        parsed p(in);
        ASSERT_NE(p.doc, nullptr) << open;
        quorvel_document* doc = p.doc;
        ASSERT_EQ(doc->pos_span_count, 5002u);
        EXPECT_EQ(doc->pos_count, 0u);
        EXPECT_EQ(doc->pos_span_elements, doc->root);
        EXPECT_EQ(doc->pos_spans[0].end, in.size());
        EXPECT_EQ(doc->pos_spans[1].end, in.size() - 4);
        for (size_t i = 2; i < doc->pos_span_count; i++) {
            ASSERT_EQ(doc->pos_spans[i].start, doc->pos_spans[i].end);
        }
    }
}

TEST(DocumentParserShape, AttributeNamespaceRecordsTakeThePrefix) {
    parsed p("<a xlink:href='h' x:y:z='2'/>");
    ASSERT_NE(p.doc, nullptr);
    quorvel_attribute* a = quorvel_elem_first_attr(p.doc->root);
    auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
    ASSERT_NE(ns, nullptr);
    EXPECT_STREQ(ns->prefix, "xlink");
    EXPECT_EQ(ns->owner, p.doc->root);
    EXPECT_EQ(ns->ns_uri, nullptr);
    quorvel_attribute* b = quorvel_attr_next(a);
    auto* ns2 = static_cast<quorvel_attr_ns*>(quorvel_link_get(b, &b->ns));
    EXPECT_STREQ(ns2->prefix, "x:y");
    // Repeated prefixes share a copy; one of the same length is another prefix.
    parsed q("<a ab:x='1' ab:y='2' cd:z='3' ab:w='4'/>");
    ASSERT_NE(q.doc, nullptr);
    std::vector<std::string> prefixes;
    for (quorvel_attribute* at = quorvel_elem_first_attr(q.doc->root); at; at = quorvel_attr_next(at))
        prefixes.push_back(static_cast<quorvel_attr_ns*>(quorvel_link_get(at, &at->ns))->prefix);
    EXPECT_EQ(prefixes, (std::vector<std::string>{"ab", "ab", "cd", "ab"}));
}

// Prefixes are shared between attributes that repeat them: ones that agree
// in their first 8 bytes, or come back after many others, must still be
// told apart byte for byte.
TEST(DocumentParserShape, RepeatedAttributePrefixesKeepTheirOwnText) {
    std::string tag = "<a abcdefghi:x='1' abcdefghj:y='2' abcdefgh:z='3' abcdefghi:w='4' abcdefghij:v='5'";
    std::vector<std::string> expected = {"abcdefghi", "abcdefghj", "abcdefgh", "abcdefghi", "abcdefghij"};
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 20; i++) {
            std::string prefix = "p" + std::to_string(i);
            tag += " " + prefix + ":n" + std::to_string(round) + "='v'";
            expected.push_back(prefix);
        }
    }
    parsed p("<r>" + tag + "/></r>");
    ASSERT_NE(p.doc, nullptr) << quorvel_last_error();
    std::vector<std::string> prefixes;
    quorvel_element* a = quorvel_element_child(quorvel_document_root(p.doc), 0);
    for (quorvel_attribute* at = quorvel_elem_first_attr(a); at; at = quorvel_attr_next(at))
        prefixes.push_back(quorvel_attribute_prefix(at));
    EXPECT_EQ(prefixes, expected);
}

// Declarations on the tag that uses them: the element's and its attributes'
// prefixes resolve through them, and the declarations keep their prefixes
// in order, the default one without.
TEST(DocumentParserShape, PrefixesDeclaredOnTheSameTagResolve) {
    parsed p("<r><p:a p:b='1' xmlns:p='urn:p' xmlns='urn:d' xmlns:longer_prefix='urn:l' longer_prefix:c='2'><x/></p:a></r>");
    ASSERT_NE(p.doc, nullptr) << quorvel_last_error();
    quorvel_element* a = quorvel_element_child(quorvel_document_root(p.doc), 0);
    EXPECT_STREQ(quorvel_element_prefix(a), "p");
    EXPECT_STREQ(quorvel_namespace_uri(quorvel_element_namespace(a)), "urn:p");
    ASSERT_EQ(quorvel_element_namespace_count(a), 3u);
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(a, 0), "p");
    EXPECT_EQ(quorvel_element_namespace_decl_prefix(a, 1), nullptr);
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(a, 1), "urn:d");
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(a, 2), "longer_prefix");
    quorvel_attribute* b = quorvel_elem_first_attr(a);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(quorvel_attribute_namespace_uri(b), "urn:p");
    quorvel_attribute* c = quorvel_attr_next(b);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(quorvel_attribute_prefix(c), "longer_prefix");
    EXPECT_STREQ(quorvel_attribute_namespace_uri(c), "urn:l");
    EXPECT_EQ(quorvel_attr_next(c), nullptr);
    EXPECT_STREQ(quorvel_namespace_uri(quorvel_element_namespace(quorvel_element_child(a, 0))), "urn:d");
}

TEST(DocumentParserShape, DoctypeRecordsNameIdentifiersAndSubset) {
    {
        parsed p("<!DOCTYPE a PUBLIC '-//X//Y' \"y.dtd\"><a/>");
        ASSERT_NE(p.doc, nullptr);
        ASSERT_NE(p.doc->doctype, nullptr);
        EXPECT_STREQ(p.doc->doctype->name, "a");
        EXPECT_STREQ(p.doc->doctype->public_id, "-//X//Y");
        EXPECT_STREQ(p.doc->doctype->system_id, "y.dtd");
        EXPECT_EQ(p.doc->doctype->internal_subset, nullptr);
    }
    {
        parsed p("<!DOCTYPE a SYSTEM 'a.dtd' [<!ENTITY e ']>'><!-- ] -->]><a/>");
        ASSERT_NE(p.doc, nullptr);
        EXPECT_EQ(p.doc->doctype->public_id, nullptr);
        EXPECT_STREQ(p.doc->doctype->system_id, "a.dtd");
        EXPECT_STREQ(p.doc->doctype->internal_subset, "<!ENTITY e ']>'><!-- ] -->");
    }
    {
        parsed p("<!DOCTYPE b PUBLIC ''><b/>");
        ASSERT_NE(p.doc, nullptr);
        EXPECT_STREQ(p.doc->doctype->name, "b");
        EXPECT_EQ(p.doc->doctype->public_id, nullptr);
    }
}

// Needs the DTD model's entities: the internal subset declares e.
TEST(DocumentParserShape, InternalSubsetEntitiesDecodeText) {
    parsed p("<!DOCTYPE a [<!ENTITY e 'v'>]><a b='&e;'>&e;</a>");
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(dump(p.doc), "<a b=[v]>\"v\"</>");
    parsed q("<!DOCTYPE [<!ENTITY e 'v'>]><a>&e;</a>");
    ASSERT_NE(q.doc, nullptr);
    EXPECT_EQ(q.doc->doctype, nullptr);
    EXPECT_NE(q.doc->dtd, nullptr);
}

// ---- Limits -----------------------------------------------------------------------------------

TEST(DocumentParserLimits, MaximumDepthCountsOpenElements) {
    int saved = quorvel_get_max_depth();
    quorvel_set_max_depth(2);
    {
        parsed p("<a><b><c/></b></a>");
        EXPECT_NE(p.doc, nullptr);
    }
    {
        parsed p("<a><b><c></c></b></a>");
        EXPECT_EQ(p.doc, nullptr);
        EXPECT_STREQ(quorvel_last_error(), "XML parse error at byte 9: malformed input");
    }
    quorvel_set_max_depth(saved);
}

std::string nested(size_t depth) {
    std::string s;
    s.reserve(depth * 7);
    for (size_t i = 0; i < depth; i++) s += "<e>";
    for (size_t i = 0; i < depth; i++) s += "</e>";
    return s;
}

TEST(DocumentParserLimits, DeepNestingFailsCleanlyOrParsesWhenAllowed) {
    std::string deep = nested(100000);
    {
        parsed p(deep);
        EXPECT_EQ(p.doc, nullptr);
        EXPECT_EQ(p.status, QUORVEL_ERR_PARSE);
        // The 257th start tag is the one too many.
        EXPECT_STREQ(quorvel_last_error(), "XML parse error at byte 771: malformed input");
    }
    int saved = quorvel_get_max_depth();
    quorvel_set_max_depth(200000);
    {
        parsed p(deep);
        ASSERT_NE(p.doc, nullptr);
        size_t depth = 0;
        for (quorvel_element* e = p.doc->root; e;
             e = reinterpret_cast<quorvel_element*>(quorvel_elem_first_child_raw(e)))
            depth++;
        EXPECT_EQ(depth, 100000u);
    }
    quorvel_set_max_depth(saved);
}

TEST(DocumentParserLimits, WideElementsStayLinear) {
    std::string wide = "<a";
    for (int i = 0; i < 100000; i++) wide += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    wide += ">";
    // After one wide element, many small ones must not pay for its width.
    for (int i = 0; i < 100000; i++) wide += "<b x='1' y='2'/>";
    wide += "</a>";
    auto t0 = std::chrono::steady_clock::now();
    parsed p(wide);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(p.doc->root->attr_count, kAttrCountCap);
    EXPECT_EQ(quorvel_element_attribute_count(p.doc->root), 100000u);
    EXPECT_EQ(quorvel_document_parse_diag_count(p.doc), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 5);

    std::string same = "<a";
    for (int i = 0; i < 100000; i++) same += " x='" + std::to_string(i) + "'";
    same += "/>";
    parsed q(same);
    ASSERT_NE(q.doc, nullptr);
    EXPECT_EQ(quorvel_element_attribute_count(q.doc->root), 1u);
    EXPECT_EQ(quorvel_document_parse_diag_count(q.doc), 99999);
}

// Names that share length, first and last byte are told apart, and a
// repeat is caught whether the tag is compared pairwise or through its set.
TEST(DocumentParserLimits, DuplicatesFoundAtEveryTagWidth) {
    for (int width : {1, 2, 7, 8, 9, 40}) {
        for (int repeat : {-1, 0, width / 2, width - 1}) {
            SCOPED_TRACE("width " + std::to_string(width) + " repeat " + std::to_string(repeat));
            std::string tag = "<a";
            for (int i = 0; i < width; i++) tag += " x" + std::to_string(100 + i) + "y='" + std::to_string(i) + "'";
            if (repeat >= 0) tag += " x" + std::to_string(100 + repeat) + "y='again'";
            tag += "/>";
            parsed p(tag);
            ASSERT_NE(p.doc, nullptr);
            EXPECT_EQ(quorvel_element_attribute_count(p.doc->root), static_cast<size_t>(width));
            ASSERT_EQ(quorvel_document_parse_diag_count(p.doc), repeat >= 0 ? 1u : 0u);
            if (repeat >= 0) {
                int code = 0;
                EXPECT_EQ(diag_text(p.doc, 0, &code), "Attribute x" + std::to_string(100 + repeat) + "y redefined");
                std::string name = "x" + std::to_string(100 + repeat) + "y";
                EXPECT_STREQ(quorvel_element_attribute(p.doc->root, name.c_str()), std::to_string(repeat).c_str());
            }
        }
    }
}

TEST(DocumentParserLimits, ManyChildrenAndLongTexts) {
    std::string many = "<r>";
    for (int i = 0; i < 70000; i++) many += "<c/>";
    many += std::string(1 << 20, 'x') + "</r>";
    parsed p(many);
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(quorvel_element_child_element_count(p.doc->root), 70000u);
    auto* last = quorvel_node_last_child(&p.doc->root->head);
    ASSERT_EQ(last->kind, QUORVEL_NODE_TEXT);
    EXPECT_EQ(reinterpret_cast<quorvel_text*>(last)->length, 1u << 20);
}

// ---- Modes -------------------------------------------------------------------------------------

TEST(DocumentParserModes, InPlaceBuildsTheSameTreeAndLeavesTheBuffer) {
    const std::string text =
        "<?xml version='1.0'?>\r\n<r a='1 2' b='&amp;'><!--c--><x>t&lt;\r\n</x><![CDATA[d]]><?p q?></r>";
    parsed copy(text);
    ASSERT_NE(copy.doc, nullptr);
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('#');
    int status = -1;
    quorvel_document* doc = quorvel_parse_string_inplace(buffer.data(), text.size(), &status);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(status, QUORVEL_OK);
    EXPECT_EQ(buffer[text.size()], '\0');
    EXPECT_EQ(std::string(buffer.data(), text.size()), text);
    // Nothing reads the buffer once the parse is over.
    std::fill(buffer.begin(), buffer.end(), '#');
    EXPECT_EQ(dump(doc), dump(copy.doc));
    quorvel_document_free(doc);
}

// Inputs of a mebibyte and more are copied and counted in one pass into a
// block of their own: the trees, the retained bytes and the positions must
// be what the small inputs give.
TEST(DocumentParserModes, LargeInputsBuildWhatSmallOnesBuild) {
    const std::string chunk =
        "<item id=\"7\" q='a\"b'><name>x &amp; y</name><!--c--><![CDATA[<d>]]><e/>t\n</item>\n";
    const std::string small = "<r>" + chunk + "</r>";
    parsed one(small);
    ASSERT_NE(one.doc, nullptr);
    char* once = quorvel_serialize_document(one.doc);
    ASSERT_NE(once, nullptr);
    std::string s1 = once;
    quorvel_free_string(once);
    size_t open = s1.find("<r>") + 3, close = s1.rfind("</r>");
    std::string inner = s1.substr(open, close - open);
    size_t copies = (size_t(3) << 19) / chunk.size();  // about 1.5 MiB
    std::string text = "<r>", expected = s1.substr(0, open);
    for (size_t i = 0; i < copies; i++) {
        text += chunk;
        expected += inner;
    }
    text += "</r>";
    expected += s1.substr(close);
    ASSERT_GE(text.size(), size_t(1) << 20);

    parsed copy(text);
    ASSERT_NE(copy.doc, nullptr);
    EXPECT_EQ(copy.doc->retained_length, text.size());
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('#');
    int status = -1;
    quorvel_document* in_place = quorvel_parse_string_inplace(buffer.data(), text.size(), &status);
    ASSERT_NE(in_place, nullptr);
    std::fill(buffer.begin(), buffer.end(), '#');
    for (quorvel_document* doc : {copy.doc, in_place}) {
        char* out = quorvel_serialize_document(doc);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(out == expected);
        quorvel_free_string(out);
        quorvel_node* last = quorvel_node_last_child(quorvel_element_as_node(doc->root));
        while (last && quorvel_node_get_type(last) != QUORVEL_NODE_ELEMENT) last = quorvel_node_previous_sibling(last);
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(quorvel_node_line(last), static_cast<int>(2 * copies - 1));
    }
    quorvel_document_free(in_place);
}

TEST(DocumentParserModes, CopyParseLeavesTheCallerBytesAlone) {
    std::string text = "<a b='x'>t&amp;u</a>";
    const std::string before = text;
    parsed p(text);
    ASSERT_NE(p.doc, nullptr);
    EXPECT_EQ(text, before);
}

// The raw attribute list: every attribute and declaration of the start tag
// as written, in order, whatever the spacing, quoting and references; the
// same with and without recover mode (which keeps its own list), in both
// parse modes, and unchanged by later edits of the element.
TEST(DocumentParserModes, RawAttributesAreTheTagAsWritten) {
    struct raw_case {
        std::string text;
        std::vector<std::pair<std::string, std::string>> raw;  // of the root
    };
    const raw_case cases[] = {
        {"<a/>", {}},
        {"<p:a/>", {}},
        {"<a b='1'/>", {{"b", "1"}}},
        {"<p:a xmlns:p='u' b=\"x'y\"/>", {{"xmlns:p", "u"}, {"b", "x'y"}}},
        {"<p:q:a\n\tb \t=\r\n 'v' c=\"1\"d='2'/>", {{"b", "v"}, {"c", "1"}, {"d", "2"}}},
        {"<a b='&amp;&#65; x\ty' xmlns='d&amp;'></a>", {{"b", "&amp;&#65; x\ty"}, {"xmlns", "d&amp;"}}},
        {"<a b='>' c='/>'>x</a>", {{"b", ">"}, {"c", "/>"}}},
    };
    for (const raw_case& c : cases) {
        SCOPED_TRACE(c.text);
        // Copy parse, recover mode (its own list), in-place parse.
        for (int mode : {0, 1, 2}) {
            {
                const int flags = mode == 1 ? kRecover : 0;
                const bool in_place = mode == 2;
                std::vector<char> buffer(c.text.begin(), c.text.end());
                buffer.push_back('\0');
                int status = 0;
                quorvel_document* doc = in_place ? quorvel_parse_string_inplace(buffer.data(), c.text.size(), &status)
                                                 : quorvel_parse_string_flags(c.text.data(), c.text.size(), flags, &status);
                ASSERT_NE(doc, nullptr) << quorvel_last_error();
                quorvel_element* root = doc->root;
                ASSERT_EQ(quorvel_element_attributes_raw(root, nullptr, nullptr, 0), c.raw.size());
                std::vector<const char*> names(c.raw.size() + 1), values(c.raw.size() + 1);
                ASSERT_EQ(quorvel_element_attributes_raw(root, names.data(), values.data(), names.size()), c.raw.size());
                for (size_t i = 0; i < c.raw.size(); i++) {
                    EXPECT_EQ(names[i], c.raw[i].first);
                    EXPECT_EQ(values[i], c.raw[i].second);
                }
                if (!c.raw.empty()) {
                    // A short array takes the first entries only.
                    const char* first = nullptr;
                    EXPECT_EQ(quorvel_element_attributes_raw(root, &first, nullptr, 1), 1u);
                    EXPECT_EQ(first, c.raw[0].first);
                    // Edits of the element leave the tag as written.
                    EXPECT_EQ(quorvel_element_remove_all_attributes(root), QUORVEL_OK);
                    EXPECT_EQ(quorvel_element_set_name(root, "renamed"), QUORVEL_OK);
                    EXPECT_EQ(quorvel_element_attributes_raw(root, nullptr, nullptr, 0), c.raw.size());
                }
                quorvel_document_free(doc);
            }
        }
    }
    // UTF-16 input: the tag is read again from the converted text.
    {
        std::string utf8 = "<a xmlns:p='u' p:b=\"x&amp;\"/>";
        std::string utf16 = "\xFF\xFE";
        for (char c : utf8) utf16 += std::string{c, '\0'};
        int status = 0;
        quorvel_document* doc = quorvel_parse_string(utf16.data(), utf16.size(), &status);
        ASSERT_NE(doc, nullptr) << quorvel_last_error();
        const char* names[3] = {};
        const char* values[3] = {};
        ASSERT_EQ(quorvel_element_attributes_raw(doc->root, names, values, 3), 2u);
        EXPECT_STREQ(names[1], "p:b");
        EXPECT_STREQ(values[1], "x&amp;");
        quorvel_document_free(doc);
    }
    // Elements the caller makes have no raw attributes, even with attributes.
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* made = quorvel_element_create(doc, "m");
    ASSERT_EQ(quorvel_element_set_attribute(made, "k", "v"), QUORVEL_OK);
    EXPECT_EQ(quorvel_element_attributes_raw(made, nullptr, nullptr, 0), 0u);
    quorvel_document_free(doc);
}

}  // namespace

// ---- Allocation failures -----------------------------------------------------------------------

// Parses text with the n-th allocation failing, for n = 0, 1, ... until a
// parse succeeds: check(doc, status) judges each outcome (doc NULL when the
// parse failed). Nothing may be left allocated. Answers the n that succeeded.
template <typename Check>
int parse_failing_each_allocation(const std::string& text, int limit, Check check) {
    quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
    int succeeded_at = -1;
    for (int n = 0; n < limit && succeeded_at < 0; n++) {
        SCOPED_TRACE(n);
        hooks::countdown = n;
        hooks::live = 0;
        int status = 1;
        quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), 0, &status);
        check(doc, status);
        if (doc) {
            succeeded_at = n;
            quorvel_document_free(doc);
        }
        EXPECT_EQ(hooks::live, 0);
    }
    quorvel_set_memory_management_functions(nullptr, nullptr);
    hooks::countdown = -1;
    EXPECT_GE(succeeded_at, 0);
    return succeeded_at;
}

TEST(DocumentParserMemory, EveryFailingAllocationEndsCleanly) {
    // Big enough that the arena is exhausted and the pool falls back to
    // separate blocks, so failures hit the middle of the parse too; the
    // second input is large enough for the copies to get a block of their own.
    auto make = [](int entries) {
        std::string text = "<r xmlns:p='u'>";
        for (int i = 0; i < entries; i++)
            text += "<p:e a='" + std::to_string(i) + std::string(200, 'v') + "\n' b='&amp;'>t\r\n&lt;</p:e>";
        return text + "</r>";
    };
    for (const std::string& text : {make(150), make(4800)}) {
        SCOPED_TRACE(text.size());
        int succeeded_at = parse_failing_each_allocation(text, 1000, [](quorvel_document* doc, int status) {
            if (doc)
                EXPECT_EQ(status, QUORVEL_OK);
            else
                EXPECT_TRUE(status == QUORVEL_ERR_MEMORY || status == QUORVEL_ERR_PARSE) << status;
        });
        EXPECT_GT(succeeded_at, 2);  // failures were met past the set-up
    }
}

// A wide tag needs scratch memory for its duplicate check: when that runs
// out the parse fails as out of memory, never a parse that lets the
// repeated name through unseen.
TEST(DocumentParserMemory, DuplicateCheckOutOfMemoryFailsTheParse) {
    std::string text = "<r";
    for (int i = 0; i < 40; i++) text += " a" + std::to_string(i) + "='v'";
    text += " a7='again'/>";
    parse_failing_each_allocation(text, 200, [](quorvel_document* doc, int status) {
        if (!doc) {
            EXPECT_EQ(status, QUORVEL_ERR_MEMORY);
            return;
        }
        EXPECT_EQ(status, QUORVEL_OK);
        EXPECT_EQ(quorvel_element_attribute_count(quorvel_document_root(doc)), 40);
        EXPECT_EQ(quorvel_document_parse_diag_count(doc), 1);
    });
}

namespace {

// An internal subset whose entities multiply: the parse fails fast with a
// parse error, whether the reference is in text or in an attribute value.
TEST(DocumentParserLimits, EntityExpansionBombFailsTheParse) {
    std::string subset = "<!DOCTYPE d [<!ENTITY l0 'lol'>";
    for (int i = 1; i <= 9; i++) {
        subset += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; k++) subset += "&l" + std::to_string(i - 1) + ";";
        subset += "'>";
    }
    subset += "]>";
    for (const char* body : {"<d>&l9;</d>", "<d a='&l9;'/>", "<d xmlns:p='&l9;'/>"}) {
        SCOPED_TRACE(body);
        parsed p(subset + body);
        EXPECT_EQ(p.doc, nullptr);
        EXPECT_EQ(p.status, -2);
        ASSERT_NE(quorvel_last_error(), nullptr);
        EXPECT_NE(std::strstr(quorvel_last_error(), "entity expansion exceeds the size limit"), nullptr);
    }
    // A modest expansion is fine, and an empty entity expands to nothing.
    parsed ok("<!DOCTYPE d [<!ENTITY a 'xy'><!ENTITY b '&a;&a;'><!ENTITY e ''>]><d t='&b;'>&b;&e;!</d>");
    ASSERT_NE(ok.doc, nullptr);
    quorvel_element* root = quorvel_document_root(ok.doc);
    EXPECT_STREQ(quorvel_element_text(quorvel_element_as_node(root)), "xyxy!");
    EXPECT_STREQ(quorvel_element_attribute(root, "t"), "xyxy");
}

}  // namespace

// ---- References against a DTD ----------------------------------------------------------------

namespace {

// What the DTD path makes of a raw text or attribute value: the reference
// the parser's own expansion of simple runs must match, byte for byte.
struct dtd_oracle {
    quorvel_pool* pool = quorvel_pool_create_with_page_size(4096);
    quorvel_dtd* dtd = nullptr;
    explicit dtd_oracle(const std::string& subset) {
        dtd = quorvel_dtd_create(pool);
        dtd_parse_into(dtd, subset.data(), subset.size(), 0);
    }
    ~dtd_oracle() {
        quorvel_dtd_release(dtd);
        quorvel_pool_destroy(pool);
    }
    // NULL result: the raw text stays (an attribute then pending decoding).
    bool expand(const std::string& raw, std::string* out) {
        quorvel_string_view view{raw.data(), raw.size()};
        char* decoded = quorvel_decode_entities_view_with_dtd(&view, dtd, pool);
        if (!decoded) return false;
        *out = decoded;
        return true;
    }
};

std::string lines_normalised(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] != '\r') {
            out += raw[i];
            continue;
        }
        out += '\n';
        if (i + 1 < raw.size() && raw[i + 1] == '\n') i++;
    }
    return out;
}

std::string value_normalised(const std::string& raw) {
    std::string out = lines_normalised(raw);
    for (char& c : out)
        if (c == '\n' || c == '\t') c = ' ';
    return out;
}

}  // namespace

TEST(DocumentParserDtdReferences, TextsAndValuesMatchTheDtdExpansion) {
    const std::string subset =
        "<!ENTITY e 'v'><!ENTITY co 'Example &amp; Co'><!ENTITY both '&co; and &e;'>"
        "<!ENTITY self 'a &self; b'>"
        "<!ENTITY ext SYSTEM 'x.ent'><!ENTITY empty ''><!ENTITY amps 'a&b &c; &#x42;&lt;'>"
        "<!ENTITY lt '&#38;#60;'><!ENTITY % pe 'p'>"
        "<!ENTITY longname1 'L1'><!ENTITY longname2 'second, longer'><!ENTITY xd 'D'><!ENTITY xm 'M, which is longer'>";
    const char* texts[] = {
        "a &lt; b &amp;&amp; &#x41;",  // predefined entities and character references only
        "x &co; y &co;&co;",           // expansions longer than their references
        "&e;",
        "&both; &co;",                 // a nested entity: the DTD path's
        "1 &self; 2",                  // recursion: the raw text stays
        "&ext; &undeclared; &; &%pe; &amps;",
        "&empty;|&empty;",
        "AT&T & x &co y",              // '&' starting no reference
        "&amp;&quot;&apos;&lt;&gt;&co;&e;&co;", "&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;&co;",
        "&lt;&gt;&quot;&apos;&#169;&#x20AC;&#x1F600;",
        "l1\r\n&e;\rl3\n\tend",
        // Names sharing their first 8 bytes; names whose cached expansions
        // take turns in one place.
        "&longname1;&longname2;&longname1; &longname2;", "&co;&xd;&co;&xm;&xd; &co;&xm;",
        // Digits: more than 7, leading zeros, upper-case X, the last code
        // point, and code points that are no characters.
        "&#00000065; &#0000065; &#X41; &#x10FFFF; &#1114111;", "&#x0000041;&#x00000041;",
    };
    // Character references no document may hold, in the text or the value:
    // the parse fails at the first.
    const char* refused[] = {
        "AT&T & x &co &#65 y", "&#65 x; &e;", "&#xZZ; &#0;", "&#65", "b; &#65 c &#x", "&#9z &e; &#65",
        "&#x110000;", "&#xD800; a", "&#99999999999;", "&#4294967361;", "&#x100000041;",  // 2^32 + 65: no wrap to 'A'
        "&#0;", "&e; &co; &#x", "l1\r\n&e;\r&#65",
        // After an entity met for the first time, after a '&' that starts no
        // reference and after one kept as written, with no ';' after them.
        "&co; tail &#65 x", "&longname1;&longname2; &#12a", "a & b &#x4g c", "&undeclared; &#65", "&co;&co;&#65",
    };
    std::vector<std::string> raws(std::begin(texts), std::end(texts));
    // References across the 64-byte blocks the text is searched in, and
    // plain stretches longer than a block.
    for (size_t pad : {14, 15, 16, 58, 59, 60, 61, 62, 63, 64, 65, 130}) {
        std::string plain(pad, 'p');
        raws.push_back(plain + "&amp;" + plain + "&#x20AC;" + std::string(17, 'r') + "&co;" + plain + "&lt;");
        raws.push_back(plain + "&longname2;&#169;" + plain + "&#65;");
    }
    // With the offset of the reference refused in the raw text.
    std::vector<std::pair<std::string, size_t>> refusals;
    for (const char* raw : refused) refusals.emplace_back(raw, std::string(raw).find("&#"));
    for (size_t pad : {14, 15, 16, 58, 59, 60, 61, 62, 63, 64, 65, 130}) {
        std::string plain(pad, 'p');
        std::string cut = plain + "&longname2;&#169;" + plain + "&#65";
        refusals.emplace_back(cut, cut.rfind("&#"));
        std::string large = plain + "&co;" + plain + "&#x110000;" + plain;
        refusals.emplace_back(large, large.find("&#"));
    }
    for (const auto& [raw, offset] : refusals) {
        for (bool in_value : {true, false}) {
            std::string doc = "<!DOCTYPE a [" + subset + "]><a v=\"" + (in_value ? raw : "") + "\">" +
                              (in_value ? "" : raw) + "</a>";
            SCOPED_TRACE(doc);
            size_t at = (in_value ? doc.find("<a v=") + 6 : doc.find("\">") + 2) + offset;
            for (int mode : {0, 1}) {
                std::vector<char> buffer(doc.begin(), doc.end());
                buffer.push_back('\0');
                int status = 0;
                quorvel_document* d = mode ? quorvel_parse_string_inplace(buffer.data(), doc.size(), &status)
                                           : quorvel_parse_string_flags(doc.data(), doc.size(), 0, &status);
                EXPECT_EQ(d, nullptr) << (mode ? "in place" : "copy");
                EXPECT_EQ(status, QUORVEL_ERR_PARSE);
                EXPECT_STREQ(quorvel_last_error(),
                             ("XML parse error at byte " + std::to_string(at) + ": malformed character reference").c_str());
                quorvel_document_free(d);
            }
        }
    }
    // A NUL byte is refused wherever it stands, around references or in them.
    for (const char* with_nul : {"a&amp;|b &e;", "&e|; x", "&#6|5; &co;", "&c|o;", "&co;|&co;"}) {
        std::string raw = with_nul;
        raw[raw.find('|')] = '\0';
        for (bool in_value : {true, false}) {
            std::string doc = "<!DOCTYPE a [" + subset + "]><a v=\"" + (in_value ? raw : "") + "\">" +
                              (in_value ? "" : raw) + "</a>";
            SCOPED_TRACE(doc);
            size_t at = doc.find('\0');
            parsed p(doc);
            EXPECT_EQ(p.doc, nullptr);
            EXPECT_STREQ(quorvel_last_error(),
                         ("XML parse error at byte " + std::to_string(at) + ": NUL character").c_str());
        }
    }
    dtd_oracle oracle(subset);
    for (const std::string& raw : raws) {
        SCOPED_TRACE(raw);
        std::string value = value_normalised(raw);
        std::string expected_value;
        bool value_expands = oracle.expand(value, &expected_value);
        std::string line_text = lines_normalised(raw);
        std::string expected_text;
        if (!oracle.expand(line_text, &expected_text)) expected_text = line_text;
        std::string doc = "<!DOCTYPE a [" + subset + "]><a v=\"" + raw + "\">" + raw + "</a>";
        std::string tree = std::string("<a v") + (value_expands ? "" : "~") + "=[" +
                           (value_expands ? expected_value : value) + "]>\"" + expected_text + "\"</>";
        for (int mode : {0, 1}) {
            SCOPED_TRACE(mode ? "in place" : "copy");
            std::vector<char> buffer(doc.begin(), doc.end());
            buffer.push_back('\0');
            int status = 0;
            quorvel_document* d = mode ? quorvel_parse_string_inplace(buffer.data(), doc.size(), &status)
                                       : quorvel_parse_string_flags(doc.data(), doc.size(), 0, &status);
            ASSERT_NE(d, nullptr) << quorvel_last_error();
            EXPECT_EQ(dump(d), tree);
            test_support::expect_terminated(&d->root->head);
            // The raw attribute list keeps the value as written.
            const char* raw_value = nullptr;
            ASSERT_EQ(quorvel_element_attributes_raw(d->root, nullptr, &raw_value, 1), 1u);
            EXPECT_STREQ(raw_value, raw.c_str());
            quorvel_document_free(d);
        }
    }
}

// The parse benchmark's "references" shape, a few rows of it.
TEST(DocumentParserDtdReferences, BenchmarkShapeDecodes) {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE doc [<!ENTITY co \"Example &amp; Co\">]>\n<doc>\n";
    for (int i = 0; i < 3; i++)
        doc += "<t a=\"x &lt; y &amp;&amp; &#x41;\">alpha beta gamma &amp; &lt;tag&gt; &#169; &#x20AC; "
               "&quot;q&quot; &apos;s&apos; &co; delta eta pi</t>\n";
    doc += "</doc>\n";
    parsed p(doc);
    ASSERT_NE(p.doc, nullptr);
    const std::string row =
        "<t a=[x < y && A]>\"alpha beta gamma & <tag> \xC2\xA9 \xE2\x82\xAC \"q\" 's' Example & Co delta eta pi\"</>";
    EXPECT_EQ(dump(p.doc), "<doc>\"\n\"" + row + "\"\n\"" + row + "\"\n\"" + row + "\"\n\"</>");
}

// Expansions that each fit add up: the allowance is shared by the whole
// parse, however each run was expanded.
TEST(DocumentParserDtdReferences, ManySimpleExpansionsStillMeetTheLimit) {
    std::string big(64 * 1024, 'x');
    std::string head = "<!DOCTYPE d [<!ENTITY big '" + big + "'>]><d>";
    std::string row = "<r>&big;&big;&big;&big;&big;&big;&big;&big;</r>";
    std::string fits = head, passes = head;
    for (int i = 0; i < 16; i++) fits += row;     // 8 MiB of replacement text
    for (int i = 0; i < 40; i++) passes += row;   // 20 MiB: past the 16 MiB floor
    fits += "</d>";
    passes += "</d>";
    parsed ok(fits);
    ASSERT_NE(ok.doc, nullptr) << quorvel_last_error();
    EXPECT_EQ(std::strlen(quorvel_element_text(quorvel_element_as_node(ok.doc->root))), 16 * 8 * big.size());
    parsed refused(passes);
    EXPECT_EQ(refused.doc, nullptr);
    ASSERT_NE(quorvel_last_error(), nullptr);
    EXPECT_NE(std::strstr(quorvel_last_error(), "entity expansion exceeds the size limit"), nullptr);
}

// ---- Hot loop against the general steps --------------------------------------------------------

namespace {

// Everything a parse records about its nodes, beyond dump(): positions,
// counters, hashes and position records, in document order.
using record_index = std::unordered_map<const quorvel_element*, size_t>;

void dump_records(const quorvel_document* doc, const record_index& records, const quorvel_node* n, std::string& out) {
    out += std::to_string(n->kind) + "@" + std::to_string(n->source_pos) + "/" + std::to_string(n->flags);
    if (n->kind == QUORVEL_NODE_TEXT) {
        auto* t = reinterpret_cast<const quorvel_text*>(n);
        out += "[" + std::string(quorvel_text_get_content(t), t->length) + "]";
    }
    if (n->kind != QUORVEL_NODE_ELEMENT) {
        out += ";";
        return;
    }
    auto* e = reinterpret_cast<const quorvel_element*>(n);
    out += " " + std::string(quorvel_elem_name_raw(e)) + " len=" + std::to_string(e->name_length) +
           " hash=" + std::to_string(e->name_hash) + " attrs=" + std::to_string(e->attr_count) +
           " children=" + std::to_string(e->child_count);
    auto found = records.find(e);
    if (found != records.end()) {
        size_t i = found->second;
        out += " pos#" + std::to_string(i) + "=" + std::to_string(doc->pos_records[i].start) + "," +
               std::to_string(doc->pos_records[i].end);
    }
    auto* writable = const_cast<quorvel_element*>(e);
    size_t raw_count = quorvel_element_attributes_raw(writable, nullptr, nullptr, 0);
    std::vector<const char*> raw_names(raw_count), raw_values(raw_count);
    EXPECT_EQ(quorvel_element_attributes_raw(writable, raw_names.data(), raw_values.data(), raw_count), raw_count);
    for (size_t i = 0; i < raw_count; i++) out += std::string(" raw:") + raw_names[i] + "=[" + raw_values[i] + "]";
    out += " {";
    for (quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c))
        dump_records(doc, records, c, out);
    out += "}";
}

std::string full_dump(const quorvel_document* doc) {
    if (!doc) return "<null>";
    std::string out = dump(doc) + "\n";
    record_index records;
    for (size_t i = 0; i < doc->pos_count; i++) records.emplace(doc->pos_records[i].element, i);
    EXPECT_EQ(records.size(), doc->pos_count);  // one record per element
    for (const quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n)) dump_records(doc, records, n, out);
    return out + " records=" + std::to_string(doc->pos_count);
}

}  // namespace

// Inside elements the parser builds plain start tags, end tags and texts in
// a loop of its own; recover mode always takes the general steps, which
// build the same tree from well-formed input. Both must agree on every
// record, position and counter.
TEST(DocumentParserModes, HotLoopBuildsWhatTheGeneralStepsBuild) {
    std::string deep;
    for (int i = 0; i < 300; i++) deep += "<n" + std::to_string(i % 7) + ">";
    deep += "x";
    for (int i = 300; i-- > 0;) deep += "</n" + std::to_string(i % 7) + ">";
    std::string deep_attributes;
    for (int i = 0; i < 300; i++) deep_attributes += "<n d=\"" + std::to_string(i) + "\">";
    for (int i = 300; i-- > 0;) deep_attributes += "</n>";
    std::string wide = "<w>";
    for (int i = 0; i < 70000; i++) wide += "<c/>";
    wide += "</w>";
    std::string long_name(300, 'q');
    const std::string docs[] = {
        "<a><b>text</b><c/><d></d>tail</a>",
        "<?xml version='1.0'?>\n<!--c-->\n<r>\n  <x>1</x>\n  <y a='1'>2</y>\n  <p:z xmlns:p='u'>3</p:z>\n</r>\n",
        "<a><b:c xmlns:b='u'><d>x</d></b:c><e:f:g></e:f:g></a>",
        "<a><abcdefghijk>long</abcdefghijk><abcdefgh/>&amp;<x>a&lt;b\r\nc</x><![CDATA[d]]><?p q?><!--e--></a>",
        "<a><" + long_name + ">v</" + long_name + "></a>",
        "<a><b><c></c ></b\n></a>",
        "<a>\xC3\xA9<\xC3\xA9t\xC3\xA9>\xE2\x82\xAC</\xC3\xA9t\xC3\xA9></a>",
        // Attributes, prefixes and declarations inside elements.
        "<r:root xmlns:r='urn:r' xmlns:a='urn:a'>\n<a:item b:ref=\"x\" xmlns:c=\"urn:c\"><c:part a:n=\"1\">w</c:part>"
        "<plain>v</plain><b:x xmlns:b=\"urn:b2\" b:y=\"z\"/></a:item>\n</r:root>",
        "<records>\n  <record id=\"1\" kind=\"k\" score=\"9\">\n    <name>n m</name>\n    <value unit=\"ms\">5</value>"
        "\n  </record>\n</records>",
        "<t><row c0=\"a1\" c1=\"b2\" c2 = 'c3'\n c3=\"d&amp;4\" c4=\"\te\r\n5\"/><row c0='x' c0='y'/></t>",
        "<!DOCTYPE doc [<!ENTITY co \"Example &amp; Co\">]><doc><t a=\"x &lt; &co;\">y &amp; &co; &#169;</t></doc>",
        "<a><f:g:h i:j:k='2'></f:g:h></a>",
        "<a><abcdefgh x='1'></abcdefgh><p:abcdef y='2'></p:abcdef><p:abcdefg></p:abcdefg></a>",
        // Start tags with a few plain attributes, and each thing that makes
        // one less plain: more attributes, a repeated name, a declaration, a
        // prefix, space around '=', a reference or a line break in a value.
        "<a><b x=\"1\" y='2'>t</b><c k=\"v\"/><d a=\"1\" b=\"2\" c=\"3\" e=\"4\"/><f a='1' b='2' c='3' d='4' e='5'/></a>",
        "<a><b x='1' x='2'>t</b><c x='1' y='2' x='3'/><d ab='1' ba='2' ab='3'/></a>",
        "<a><b xmlns='u' x='1'>t</b><c xmlnsx='1'/><d x='1' xmlns:p='v'><p:e/></d></a>",
        "<a xmlns:p='u'><b p:x='1' y='2'/><c y='2' p:x='1'>t</c></a>",
        "<a><b x = '1'/><c\n x='1'\n/><d x='1'y='2'></d><e x=''/><g\tx='1'/><h x='1'\t/></a>",
        "<a><b x='a&amp;b' y='1'/><c x='a\tb'/><d x='1' y='a\nb'>t</d></a>",
        "<a><abcdefghij x='1'>v</abcdefghij><abcdefg x='1'>w</abcdefg><abcdefgh x='1'>u</abcdefgh></a>",
        deep_attributes,
        deep,
        wide,
    };
    int saved_depth = quorvel_get_max_depth();
    quorvel_set_max_depth(1000);  // the deep document grows the open-element stack
    for (const std::string& text : docs) {
        SCOPED_TRACE(text.substr(0, 80));
        for (int extra : {0, int(QUORVEL_PARSE_NO_POSITIONS)}) {
            parsed hot(text, extra);
            parsed general(text, extra | kRecover);
            ASSERT_NE(hot.doc, nullptr) << quorvel_last_error();
            ASSERT_NE(general.doc, nullptr);
            // Only repeated attributes make diagnostics here, the same in both.
            ASSERT_EQ(quorvel_document_parse_diag_count(hot.doc), quorvel_document_parse_diag_count(general.doc));
            for (int i = 0; i < quorvel_document_parse_diag_count(hot.doc); i++) {
                int code = 0, general_code = 0;
                EXPECT_EQ(diag_text(hot.doc, i, &code), diag_text(general.doc, i, &general_code));
                EXPECT_EQ(code, general_code);
            }
            EXPECT_EQ(full_dump(hot.doc), full_dump(general.doc));
        }
    }
    quorvel_set_max_depth(saved_depth);
}

namespace {

TEST(DocumentParserShape, NamespaceUrisAreDecodedWithOrWithoutADtd) {
    for (const char* text : {"<r xmlns:p='a&amp;b&#x41;'><p:x/></r>", "<!DOCTYPE r []><r xmlns:p='a&amp;b&#x41;'><p:x/></r>"}) {
        SCOPED_TRACE(text);
        parsed p(text);
        ASSERT_NE(p.doc, nullptr);
        quorvel_element* x = quorvel_element_child(quorvel_document_root(p.doc), 0);
        const char *local, *prefix, *uri;
        quorvel_element_expanded_name(x, &local, &prefix, &uri);
        EXPECT_STREQ(uri, "a&bA");
    }
}

}  // namespace

namespace {

// Random well-formed documents: nesting, prefixes, attributes with
// references and line ends, texts with references and CR, comments, PIs,
// CDATA, empty tags and whitespace, from a fixed seed.
struct doc_generator {
    std::mt19937 rng;
    explicit doc_generator(unsigned seed) : rng(seed) {}
    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
    std::string name() {
        static const char* const names[] = {"a", "bb", "item", "x1", "long_element_name", "p:a", "q:item", "r:s:t", "\xC3\xA9"};
        return names[pick(9)];
    }
    std::string text() {
        static const char* const pieces[] = {"w", " ", "\n  ", "&amp;", "&lt;x&gt;", "&#65;", "&#x20AC;", "a\r\nb", "&e;", "tail"};
        std::string out;
        for (int i = pick(4); i >= 0; i--) out += pieces[pick(10)];
        return out;
    }
    std::string attributes() {
        static const char* const names[] = {"id", "k:v", "xmlns:k", "xmlns", "c", "id"};
        std::string out;
        for (int i = pick(4); i > 0; i--) {
            char quote = pick(2) ? '"' : '\'';
            std::string value = pick(2) ? "v" : text();
            out += std::string(pick(3) ? " " : "\n ") + names[pick(6)] + (pick(2) ? "=" : " = ") + quote + value + quote;
        }
        return out;
    }
    void element(std::string& out, int depth) {
        std::string n = name();
        out += "<" + n + attributes();
        if (depth > 6 || !pick(4)) {
            out += pick(2) ? "/>" : " />";
            return;
        }
        out += ">";
        for (int i = pick(5); i > 0; i--) {
            switch (pick(6)) {
                case 0: out += text(); break;
                case 1: out += "<!--c" + std::to_string(pick(9)) + "-->"; break;
                case 2: out += "<?pi d?>"; break;
                case 3: out += "<![CDATA[<x>\r\n]]>"; break;
                default: element(out, depth + 1); break;
            }
        }
        out += "</" + n + (pick(4) ? "" : " ") + ">";
    }
    std::string document() {
        std::string out = pick(2) ? "<!DOCTYPE d [<!ENTITY e 'E&amp;e'>]>\n" : "";
        element(out, 0);
        return out;
    }
};

}  // namespace

TEST(DocumentParserModes, RandomDocumentsBuildTheSameTreeEveryWay) {
    doc_generator gen(20261210);
    int parsed_count = 0;
    for (int i = 0; i < 400; i++) {
        std::string text = gen.document();
        SCOPED_TRACE(text);
        parsed hot(text);
        parsed general(text, kRecover);
        if (!hot.doc) continue;  // "r:s:t" closes only as "s:t": such documents fail
        parsed_count++;
        ASSERT_NE(general.doc, nullptr);
        ASSERT_EQ(quorvel_document_parse_diag_count(hot.doc), quorvel_document_parse_diag_count(general.doc));
        EXPECT_EQ(full_dump(hot.doc), full_dump(general.doc));
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        int status = 0;
        quorvel_document* in_place = quorvel_parse_string_inplace(buffer.data(), text.size(), &status);
        ASSERT_NE(in_place, nullptr);
        EXPECT_EQ(full_dump(in_place), full_dump(hot.doc));
        quorvel_document_free(in_place);
    }
    EXPECT_GT(parsed_count, 300);
}
