// compare, codepoint-equal, random-number-generator, resolve-QName,
// analyze-string, the document and text resource functions, the
// environment and the node functions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "quorvel.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"
#include "xpath/xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;
using xpath_test::take;

std::string eval(quorvel_document* doc, const std::string& expr) {
    return xpath_test::eval_sequence(doc, expr.c_str());
}

// The string value of an expression's result (items joined by spaces).
std::string text_of(quorvel_document* doc, const std::string& expr) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, ("string-join((" + expr + ") ! string(), ' ')").c_str());
    std::string s = r ? take(quorvel_xpath_result_string(r)) : std::string("ERR:") + quorvel_document_last_error(doc);
    quorvel_xpath_result_free(r);
    return s;
}

struct eval_case {
    const char* expr;
    const char* expected;
};

constexpr const char* kDoc =
    "<r xmlns:p='urn:p'><a>x</a><a>y</a><a id='3'>z</a><p:b xsi:nil='true' "
    "xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'/><c><d><e/></d></c><!--k--></r>";

TEST(XpathResourceFunctions, ComparisonAndQNames) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    const eval_case cases[] = {
        {"compare('abc', 'abd')", "'-1'"},
        {"compare('abd', 'abc')", "'1'"},
        {"compare('abc', 'abc')", "'0'"},
        {"compare('', 'a')", "'-1'"},
        // Code point order, not byte-per-character or case-folded order.
        {"compare('Z', 'a')", "'-1'"},
        {"compare('\xC3\xA9', 'z')", "'1'"},
        {"compare((), 'a')", "[]"},
        {"compare('a', //zz)", "[]"},
        {"compare(//a[1], 'x')", "'0'"},
        {"compare('a', 'b', 'http://www.w3.org/2005/xpath-functions/collation/codepoint')", "'-1'"},
        {"compare('a', 'b', 'urn:nope')", "ERR:FOCH0002: Unsupported collation: urn:nope"},
        {"compare(1, 2)", "ERR:compare() takes strings"},
        {"compare(('a', 'b'), 'a')", "ERR:compare() takes strings"},
        {"codepoint-equal('abc', 'abc')", "true"},
        {"codepoint-equal('abc', 'ABC')", "false"},
        {"codepoint-equal('', ())", "[]"},
        {"resolve-QName('p:local', /r)", "[Zp:local]"},
        {"resolve-QName(' local ', /r)", "[Zlocal]"},
        {"resolve-QName('xml:lang', /r)", "[Zxml:lang]"},
        {"resolve-QName((), /r)", "[]"},
        {"resolve-QName('q:local', /r)", "ERR:resolve-QName(): no namespace is bound to the prefix of q:local"},
        {"resolve-QName('1a', /r)", "ERR:resolve-QName(): not a lexical QName: 1a"},
        {"resolve-QName('a:', /r)", "ERR:resolve-QName(): not a lexical QName: a:"},
        {"resolve-QName('a', 'r')", "ERR:resolve-QName() needs one element"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
}

TEST(XpathResourceFunctions, RandomNumbersFollowTheSeed) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    // The empty seed pins the generator's hash and output mapping.
    EXPECT_EQ(eval(d.doc, "string(random-number-generator('')?number) = string(0.007054498536921083e0)"), "true");
    const eval_case cases[] = {
        {"random-number-generator('abc')?number = random-number-generator('abc')?number", "true"},
        {"random-number-generator('abc')?number = random-number-generator('abd')?number", "false"},
        {"random-number-generator('abc')?number instance of xs:double", "true"},
        {"let $n := random-number-generator(42)?number return $n ge 0 and $n lt 1", "true"},
        {"map:size(random-number-generator(1))", "'3'"},
        // next gives a new generator, the same one for the same seed.
        {"random-number-generator('s')?next()?number = random-number-generator('s')?next()?number", "true"},
        {"random-number-generator('s')?next()?number = random-number-generator('s')?number", "false"},
        {"random-number-generator('s')?next()?next()?number ge 0", "true"},
        // permute gives every item once, the same way for the same seed.
        {"sum(random-number-generator('s')?permute(1 to 10))", "'55'"},
        {"count(distinct-values(random-number-generator('s')?permute(1 to 10)))", "'10'"},
        {"deep-equal(random-number-generator('t')?permute(1 to 7), random-number-generator('t')?permute(1 to 7))",
         "true"},
        {"random-number-generator('s')?permute(())", "[]"},
        {"random-number-generator(())?number lt 1", "true"},
        // Without a seed: the same generator throughout one evaluation.
        {"random-number-generator()?number = random-number-generator(())?number", "true"},
        {"random-number-generator((1, 2))", "ERR:random-number-generator() takes at most one seed"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
    // The same seed gives the same number in every thread.
    std::vector<std::string> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            doc_ptr own("<r/>");
            seen[t] = text_of(own.doc, "random-number-generator('abc')?number");
        });
    for (auto& t : threads) t.join();
    for (const std::string& s : seen) EXPECT_EQ(s, text_of(d.doc, "random-number-generator('abc')?number"));
}

// The serialized result tree of an analyze-string call.
std::string analyzed(quorvel_document* doc, const std::string& call) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, call.c_str());
    if (!r) return std::string("ERR:") + quorvel_document_last_error(doc);
    std::string out;
    if (quorvel_xpath_result_count(r) != 1) out = "count " + std::to_string(quorvel_xpath_result_count(r));
    else out = take(quorvel_element_serialize(quorvel_xpath_result_get(r, 0), nullptr));
    quorvel_xpath_result_free(r);
    const std::string ns = " xmlns:fn=\"http://www.w3.org/2005/xpath-functions\"";
    if (size_t at = out.find(ns); at != std::string::npos) out.erase(at, ns.size());
    return out;
}

TEST(XpathResourceFunctions, AnalyzeStringBuildsMatchTrees) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    const eval_case cases[] = {
        {"analyze-string('abc', 'b')",
         "<fn:analyze-string-result><fn:non-match>a</fn:non-match><fn:match>b</fn:match>"
         "<fn:non-match>c</fn:non-match></fn:analyze-string-result>"},
        {"analyze-string('2024-03', '(\\d+)-(\\d+)')",
         "<fn:analyze-string-result><fn:match><fn:group nr=\"1\">2024</fn:group>-<fn:group nr=\"2\">03</fn:group>"
         "</fn:match></fn:analyze-string-result>"},
        // Nested groups nest; a group that took no part is left out, and
        // later groups are still reported.
        {"analyze-string('ab', '((a)(x)?(b))')",
         "<fn:analyze-string-result><fn:match><fn:group nr=\"1\"><fn:group nr=\"2\">a</fn:group>"
         "<fn:group nr=\"4\">b</fn:group></fn:group></fn:match></fn:analyze-string-result>"},
        {"analyze-string('b', '(a)|(b)')",
         "<fn:analyze-string-result><fn:match><fn:group nr=\"2\">b</fn:group></fn:match>"
         "</fn:analyze-string-result>"},
        // "^" anchors at the start of the input only, not where a search
        // resumes; with the m flag at line starts.
        {"analyze-string('aaa', '^a')",
         "<fn:analyze-string-result><fn:match>a</fn:match><fn:non-match>aa</fn:non-match>"
         "</fn:analyze-string-result>"},
        {"analyze-string('a&#10;a', '^a', 'm')",
         "<fn:analyze-string-result><fn:match>a</fn:match><fn:non-match>\n</fn:non-match><fn:match>a</fn:match>"
         "</fn:analyze-string-result>"},
        // Multi-byte characters stay whole.
        {"analyze-string('h\xC3\xA9llo', '\xC3\xA9|l')",
         "<fn:analyze-string-result><fn:non-match>h</fn:non-match><fn:match>\xC3\xA9</fn:match><fn:match>l</fn:match>"
         "<fn:match>l</fn:match><fn:non-match>o</fn:non-match></fn:analyze-string-result>"},
        {"analyze-string('ABC', 'b', 'i')",
         "<fn:analyze-string-result><fn:non-match>A</fn:non-match><fn:match>B</fn:match>"
         "<fn:non-match>C</fn:non-match></fn:analyze-string-result>"},
        {"analyze-string('a.c', '.', 'q')",
         "<fn:analyze-string-result><fn:non-match>a</fn:non-match><fn:match>.</fn:match>"
         "<fn:non-match>c</fn:non-match></fn:analyze-string-result>"},
        {"analyze-string('', 'a')", "<fn:analyze-string-result/>"},
        {"analyze-string((), 'a')", "<fn:analyze-string-result/>"},
        {"analyze-string('abc', 'a*')", "ERR:Pattern matches zero-length string: a*"},
        {"analyze-string('abc', '(')", "ERR:Invalid regular expression: ("},
        {"analyze-string('abc', 'a', 'g')", "ERR:Invalid regular expression flags: g"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(analyzed(d.doc, c.expr), c.expected) << c.expr;
    // The tree reads like any other: names in the functions namespace.
    EXPECT_EQ(text_of(d.doc, "analyze-string('a1b22', '\\d+')/fn:match"), "1 22");
    EXPECT_EQ(text_of(d.doc, "analyze-string('a1b22', '\\d+')//fn:non-match/string()"), "a b");
    EXPECT_EQ(text_of(d.doc, "namespace-uri(analyze-string('a', 'a')/*)"), "http://www.w3.org/2005/xpath-functions");
    EXPECT_EQ(text_of(d.doc, "analyze-string('2024-03', '(\\d+)-(\\d+)')//fn:group[@nr = 2]"), "03");
}

// A scratch directory with files, removed at the end.
struct scratch_dir {
    std::string path;
    scratch_dir() {
        char templ[] = "/tmp/quorvel-res-XXXXXX";
        const char* made = mkdtemp(templ);
        path = made ? made : "";
    }
    std::string write(const std::string& name, const std::string& bytes) {
        std::string file = path + "/" + name;
        std::ofstream out(file, std::ios::binary);
        out << bytes;
        files.push_back(file);
        return file;
    }
    ~scratch_dir() {
        for (const std::string& f : files) std::remove(f.c_str());
        rmdir(path.c_str());
    }
    std::vector<std::string> files;
};

// An evaluation with a static base URI (the public calls use the working
// directory).
std::string eval_with_base(quorvel_document* doc, const std::string& expr, const std::string& base) {
    quorvel_xpath_context context;
    xpath_context_init(&context, doc, xpath_document_node(doc));
    context.static_base_uri = base.c_str();
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(expr.data(), expr.size(), message, sizeof message);
    std::string out;
    if (!tree) {
        out = std::string("PARSE:") + message;
    } else {
        quorvel_xpath_result* r = evaluate_expr(&context, tree);
        out = r ? xpath_test::show_sequence(r) : std::string("ERR:") + context.error_code;
        xpath_result_free(r);
        ast_node_free(tree);
    }
    xpath_context_cleanup(&context);
    return out;
}

TEST(XpathResourceFunctions, DocumentsAndTextFromLocalFiles) {
    scratch_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string x = dir.write("x.xml", "<top><item>1</item><item>2</item></top>");
    dir.write("bad.xml", "<top><item></top>");
    const std::string lines = dir.write("lines.txt", "a\nb\r\nc\rd\n");
    dir.write("empty.txt", "");
    dir.write("latin1.txt", std::string("caf\xE9"));
    dir.write("bom16.txt", std::string("\xFF\xFE" "h\0i\0", 6));
    dir.write("nul.txt", std::string("a\0b", 3));
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    const std::string base = "file://" + dir.path + "/";
    const eval_case cases[] = {
        {"count(doc('x.xml')//item)", "'2'"},
        {"doc('x.xml') is doc('x.xml')", "true"},
        {"doc('x.xml') is doc('./sub/../x.xml')", "true"},
        {"doc('missing.xml')", "ERR:FODC0002"},
        {"doc('bad.xml')", "ERR:FODC0002"},
        {"doc('http://example.com/a.xml')", "ERR:FODC0002"},
        {"doc('https://example.com/a.xml')", "ERR:FODC0002"},
        {"doc('//host/a.xml')", "ERR:FODC0002"},
        {"doc('a b.xml')", "ERR:FODC0005"},
        {"doc('%gg')", "ERR:FODC0005"},
        {"doc(())", "[]"},
        {"doc-available('x.xml')", "true"},
        {"doc-available('bad.xml')", "false"},
        {"doc-available('missing.xml')", "false"},
        {"doc-available('http://example.com/')", "false"},
        {"unparsed-text('empty.txt')", "''"},
        {"unparsed-text('latin1.txt', 'iso-8859-1')", "'caf\xC3\xA9'"},
        {"unparsed-text('latin1.txt')", "ERR:FOUT1190"},
        {"unparsed-text('bom16.txt')", "'hi'"},
        {"unparsed-text('nul.txt')", "ERR:FOUT1190"},
        {"unparsed-text('x.xml', 'ebcdic-x')", "ERR:FOUT1190"},
        {"unparsed-text('missing.txt')", "ERR:FOUT1170"},
        {"unparsed-text('http://example.com/a.txt')", "ERR:FOUT1170"},
        {"unparsed-text('a#frag')", "ERR:FOUT1170"},
        {"unparsed-text(())", "[]"},
        {"unparsed-text-lines('lines.txt')", "['a' 'b' 'c' 'd']"},
        {"unparsed-text-lines('empty.txt')", "[]"},
        {"unparsed-text-available('lines.txt')", "true"},
        {"unparsed-text-available('missing.txt')", "false"},
        // Only regular files: a directory or a device that never ends is
        // refused before it is read.
        {"unparsed-text('/dev/zero')", "ERR:FOUT1170"},
        {"unparsed-text('.')", "ERR:FOUT1170"},
        {"doc('/dev/zero')", "ERR:FODC0002"},
        {"unparsed-text-available('/dev/zero')", "false"},
        {"unparsed-text-available('nul.txt')", "false"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval_with_base(d.doc, c.expr, base), c.expected) << c.expr;
    EXPECT_EQ(eval_with_base(d.doc, "static-base-uri()", base), "'" + base + "'");
    EXPECT_EQ(eval_with_base(d.doc, "document-uri(doc('x.xml'))", base), "'file://" + x + "'");
    // An absolute path and a file: URI need no base; the message names the
    // failure.
    EXPECT_EQ(eval(d.doc, "count(doc('" + x + "')/top/item)"), "'2'");
    EXPECT_EQ(eval(d.doc, "string(doc('file://" + x + "')/top/item[2])"), "'2'");
    EXPECT_EQ(eval(d.doc, "unparsed-text-lines('" + lines + "')[2]"), "['b']");
    EXPECT_EQ(eval(d.doc, "doc('http://example.com/a.xml')"),
              "ERR:doc(): only local files can be read, not http://example.com/a.xml");
    EXPECT_NE(eval(d.doc, "doc('" + dir.path + "/missing.xml')").find("doc(): cannot read"), std::string::npos);
}

TEST(XpathResourceFunctions, LoadedTreesOutliveTheEvaluation) {
    scratch_dir dir;
    const std::string x = dir.write("x.xml", "<top><item>1</item><item>2</item></top>");
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    // Nodes of a loaded document, of a parsed string and of an analyze-string
    // tree stay readable after the call returns (the source document keeps
    // the trees the result needs).
    const std::string exprs[] = {"doc('" + x + "')//item", "parse-xml('<a><b>1</b><b>2</b></a>')//b",
                                 "analyze-string('1-2', '\\d')/fn:match",
                                 "parse-xml-fragment('<b>1</b>t<b>2</b>')/b"};
    for (const std::string& e : exprs) {
        quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, e.c_str());
        ASSERT_NE(r, nullptr) << e;
        ASSERT_EQ(quorvel_xpath_result_count(r), 2u) << e;
        EXPECT_EQ(take(get_node_text(quorvel_xpath_result_get_node(r, 0))), "1") << e;
        EXPECT_EQ(take(get_node_text(quorvel_xpath_result_get_node(r, 1))), "2") << e;
        quorvel_xpath_result_free(r);
    }
    // A result that needs none of them keeps none (nothing grows).
    size_t before = 0;
    for (quorvel_document* a = d.doc->adopted_head; a; a = a->adopted_next) before++;
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(eval(d.doc, "count(doc('" + x + "')//item) + count(parse-xml('<a/>')/a)"), "'3'");
        EXPECT_EQ(eval(d.doc, "string(analyze-string('ab', 'b')/fn:match)"), "'b'");
    }
    size_t after = 0;
    for (quorvel_document* a = d.doc->adopted_head; a; a = a->adopted_next) after++;
    EXPECT_EQ(after, before);
}

TEST(XpathResourceFunctions, ParsedXml) {
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    const eval_case cases[] = {
        {"parse-xml('<a x=\"1\"><b/></a>')/a/@x/string()", "['1']"},
        {"parse-xml('<a/>') instance of document-node()", "true"},
        {"parse-xml('<a>')", "ERR:FODC0006"},
        {"parse-xml('text only')", "ERR:FODC0006"},
        {"parse-xml(())", "[]"},
        // A fragment: any mix of nodes, with the document node as parent.
        {"count(parse-xml-fragment('a<b/>c')/node())", "'3'"},
        {"parse-xml-fragment('a<b/>c')/node()[2]/name()", "['b']"},
        {"parse-xml-fragment('a<b/>c')/node()[1] instance of text()", "true"},
        {"parse-xml-fragment('<b/><c/>')/*/name()", "['b' 'c']"},
        {"parse-xml-fragment('<b/><c/>')/c/.. instance of document-node()", "true"},
        {"parse-xml-fragment('<b/><c/>')/c/../b/name()", "['b']"},
        {"count(parse-xml-fragment('<b><c/></b>')//c/ancestor::node())", "'2'"},
        {"string(parse-xml-fragment('x<![CDATA[<y>]]>z'))", "'x<y>z'"},
        {"count(parse-xml-fragment('')/node())", "'0'"},
        {"parse-xml-fragment('<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>')/a/name()", "['a']"},
        {"parse-xml-fragment('<?xml version=\"1.0\"?><a/>')", "ERR:FODC0006"},
        {"parse-xml-fragment('<?xml encoding=\"utf-8\" standalone=\"yes\"?><a/>')", "ERR:FODC0006"},
        {"parse-xml-fragment('<a>')", "ERR:FODC0006"},
        {"parse-xml-fragment('</f><g>')", "ERR:FODC0006"},
    };
    for (const eval_case& c : cases) {
        std::string got = eval(d.doc, c.expr);
        if (std::strncmp(c.expected, "ERR:", 4) == 0) {
            EXPECT_EQ(got.substr(0, 4), "ERR:") << c.expr;
            quorvel_xpath_context context;
            xpath_context_init(&context, d.doc, xpath_document_node(d.doc));
            quorvel_xpath_ast_node* tree = xpath_parse_text(c.expr, std::strlen(c.expr), nullptr, 0);
            quorvel_xpath_result* r = tree ? evaluate_expr(&context, tree) : nullptr;
            EXPECT_EQ(r, nullptr) << c.expr;
            EXPECT_STREQ(context.error_code, c.expected + 4) << c.expr;
            xpath_result_free(r);
            ast_node_free(tree);
            xpath_context_cleanup(&context);
        } else {
            EXPECT_EQ(got, c.expected) << c.expr;
        }
    }
}

TEST(XpathResourceFunctions, Environment) {
    setenv("QUORVEL_RES_TEST_VAR", "v=1", 1);
    unsetenv("QUORVEL_RES_UNSET_VAR");
    doc_ptr d("<r/>");
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(eval(d.doc, "environment-variable('QUORVEL_RES_TEST_VAR')"), "'v=1'");
    EXPECT_EQ(eval(d.doc, "environment-variable('QUORVEL_RES_UNSET_VAR')"), "[]");
    EXPECT_EQ(eval(d.doc, "available-environment-variables()[. = 'QUORVEL_RES_TEST_VAR']"),
              "['QUORVEL_RES_TEST_VAR']");
    EXPECT_EQ(eval(d.doc, "count(available-environment-variables()) = count(distinct-values(available-environment-variables()))"),
              "true");
}

TEST(XpathResourceFunctions, NodeFunctions) {
    doc_ptr d(kDoc);
    ASSERT_NE(d.doc, nullptr);
    const eval_case cases[] = {
        {"node-name(/r/*[4])", "[Zp:b]"},
        {"node-name(/r/a[3]/@id)", "[Zid]"},
        {"node-name(/r/a[1]/text())", "[]"},
        {"node-name(/)", "[]"},
        {"node-name(())", "[]"},
        {"/r/a[1]/node-name()", "[Za]"},
        {"has-children(/r/c)", "true"},
        {"has-children(/r/c/d/e)", "false"},
        {"has-children(/)", "true"},
        {"has-children(/r/a[1]/text())", "false"},
        {"has-children(())", "false"},
        {"/r/c/has-children()", "[Btrue]"},
        // An attribute as the context item belongs to the sequence being
        // mapped: the argument-less forms must not free it.
        {"(/r/a/@id, /r/*[4]/@*) ! has-children()", "[Bfalse Bfalse]"},
        {"/r/a/@id/has-children()", "[Bfalse]"},
        {"/r/namespace::p/has-children()", "[Bfalse]"},
        {"/r/a/@id/path()", "['/Q{}r[1]/Q{}a[3]/@id']"},
        {"(/r/a/@id) ! (nilled(), string(node-name()), path())", "['id' '/Q{}r[1]/Q{}a[3]/@id']"},
        {"nilled(/r/*[4])", "false"},
        {"nilled(/r/a[1]/text())", "[]"},
        {"nilled(())", "[]"},
        {"path(/r/a[3])", "'/Q{}r[1]/Q{}a[3]'"},
        {"path(/r/c)", "'/Q{}r[1]/Q{}c[1]'"},
        {"path(/r/*[4])", "'/Q{}r[1]/Q{urn:p}b[1]'"},
        {"path(/r/a[3]/@id)", "'/Q{}r[1]/Q{}a[3]/@id'"},
        {"path(/r/a[2]/text())", "'/Q{}r[1]/Q{}a[2]/text()[1]'"},
        {"path(/r/comment())", "'/Q{}r[1]/comment()[1]'"},
        {"path(/)", "'/'"},
        {"path(())", "[]"},
        {"path(parse-xml-fragment('<x/><y/>')/y)", "'/Q{}y[1]'"},
        {"path(analyze-string('a', 'a')/fn:match)",
         "'/Q{http://www.w3.org/2005/xpath-functions}analyze-string-result[1]/"
         "Q{http://www.w3.org/2005/xpath-functions}match[1]'"},
        {"path(1)", "ERR:path() takes at most one node"},
        {"innermost((/r/c, /r/c/d, /r/c/d/e))", "[e]"},
        {"outermost((/r/c/d/e, /r/c/d, /r/c))", "[c]"},
        {"innermost((/r/a, /r))", "[a a a]"},
        {"outermost((/r/a, /r/a))", "[a a a]"},
        {"innermost((/r/a[3], /r/a[3]/@id))", "[@id=3]"},
        {"outermost((/r/a[3]/@id, /r/a[3]))", "[a]"},
        {"innermost((/r/.., /r/c))", "[c]"},
        {"outermost(//node())", "[r]"},
        {"innermost(())", "[]"},
        {"innermost(1)", "ERR:innermost() takes a sequence of nodes"},
        {"base-uri(/r)", "[]"},
        {"base-uri(parse-xml('<a xml:base=\"http://x.org/d/\"><b xml:base=\"e/f\"/></a>')//b)", "'http://x.org/d/e/f'"},
        {"base-uri(())", "[]"},
        {"document-uri(/)", "[]"},
        {"document-uri(/r)", "[]"},
        {"count(snapshot(/r/a))", "'3'"},
        {"snapshot(/r/a)[3]/@id/string()", "['3']"},
        {"snapshot(/r/a)[1] is /r/a[1]", "false"},
        {"snapshot(('x', 1))", "['x' N1]"},
    };
    for (const eval_case& c : cases) EXPECT_EQ(eval(d.doc, c.expr), c.expected) << c.expr;
}

TEST(XpathResourceFunctions, PathOfDeepTrees) {
    std::string xml;
    for (int i = 0; i < 3000; i++) xml += "<d>";
    xml += "<leaf/>";
    for (int i = 0; i < 3000; i++) xml += "</d>";
    quorvel_set_max_depth(10000);
    doc_ptr d(xml.c_str());
    quorvel_set_max_depth(0);
    ASSERT_NE(d.doc, nullptr);
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, "path(//leaf)");
    ASSERT_NE(r, nullptr);
    std::string path = take(quorvel_xpath_result_string(r));
    quorvel_xpath_result_free(r);
    std::string expected;
    for (int i = 0; i < 3000; i++) expected += "/Q{}d[1]";
    expected += "/Q{}leaf[1]";
    EXPECT_EQ(path, expected);
}

// Several threads evaluate doc() and analyze-string over one shared source
// document at once: the trees each evaluation makes are its own until the
// result hands them to the source document.
TEST(XpathResourceFunctions, ThreadsShareOneSourceDocument) {
    scratch_dir dir;
    const std::string x = dir.write("x.xml", "<top><item>1</item><item>2</item></top>");
    doc_ptr d("<r><s>2024-03</s><s>1999-12</s></r>");
    ASSERT_NE(d.doc, nullptr);
    const std::string exprs[] = {
        "string-join(analyze-string(/r/s[1], '(\\d+)-(\\d+)')//fn:group, '/')",
        "sum(doc('" + x + "')//item)",
        "string-join(for $s in /r/s return analyze-string($s, '\\d+')/fn:match, ',')",
        "count(parse-xml-fragment('<a/>b<c/>')/node())",
    };
    const std::string expected[] = {"2024/03", "3", "2024,03,1999,12", "3"};
    // The source document's own lazily made records (its document node)
    // are made once before the threads start.
    EXPECT_EQ(eval(d.doc, "count(/r/s)"), "'2'");
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; i++) {
                size_t k = static_cast<size_t>(t + i) % 4;
                quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, ("string(" + exprs[k] + ")").c_str());
                std::string got = r ? take(quorvel_xpath_result_string(r)) : "ERR";
                quorvel_xpath_result_free(r);
                if (got != expected[k]) wrong[t]++;
                // A result that keeps nodes of a new tree.
                r = quorvel_xpath_eval(d.doc, nullptr, "analyze-string(/r/s[2], '\\d+')/fn:match");
                if (!r || quorvel_xpath_result_count(r) != 2 ||
                    take(get_node_text(quorvel_xpath_result_get_node(r, 1))) != "12")
                    wrong[t]++;
                quorvel_xpath_result_free(r);
            }
        });
    for (auto& t : threads) t.join();
    for (int t = 0; t < 8; t++) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
