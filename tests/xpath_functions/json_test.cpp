// parse-json, json-doc, json-to-xml, xml-to-json and serialize: values and
// their types, escapes and surrogates, options, W3C errors, nesting limits,
// and JSON text that survives a read and a write unchanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath/xpath_test_support.h"
#include "xpath_functions/map_test_support.h"

namespace {

using map_test::check;
using map_test::eval;
using map_test::eval_case;
using xpath_test::doc_ptr;

// An XPath string literal holding text (apostrophes doubled).
std::string literal(const std::string& text) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\'') out += '\'';
        out += ch;
    }
    return out + "'";
}

TEST(XpathJson, ParseValuesAndTypes) {
    const eval_case cases[] = {
        {"parse-json('{\"a\":{\"b\":1},\"c\":2}')?a?b", "o:1"},
        {"parse-json('{\"a\":{\"b\":1},\"c\":2}')", "map{a:map{b:o:1},c:o:2}"},
        {"parse-json('[1, -2.5e1, \"x\", true, false, null, [], {}]')", "[o:1,o:-25,'x',true(),false(),(),[],map{}]"},
        {"parse-json(' 12 ')", "12"},
        {"parse-json('true')", "true()"},
        {"parse-json('\"s\"')", "'s'"},
        {"parse-json('null')", "()"},
        {"parse-json(())", "()"},
        {"parse-json(/r/j)", "map{k:[o:1]}"},
        // Keys are kept whole: no cut, no collision of long keys sharing a prefix.
        {"map:keys(parse-json('{\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa1\":1,"
         "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa2\":2}'))",
         "('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa1' 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa2')"},
        // Escapes, surrogate pairs included.
        {"parse-json('\"\\u00e9\\t\\\"\\\\\\/\"')", "'\xC3\xA9\t\"\\/'"},
        {"parse-json('\"\\ud83d\\ude00\"')", "'\xF0\x9F\x98\x80'"},
        {"parse-json('{\"\\u0041\":1}')?A", "o:1"},
        // Characters XML cannot hold become U+FFFD: lone surrogates, controls, non-characters.
        {"parse-json('\"a\\uDEADb\"')", "'a\xEF\xBF\xBD" "b'"},
        {"parse-json('\"\\ud800\\u0041\"')", "'\xEF\xBF\xBD" "A'"},
        {"parse-json('\"\\u0000\\b\\uFFFF\"')", "'\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD'"},
        // ... or what the fallback function makes of their escapes.
        {"parse-json('\"\\uDEAD\"', map{'fallback': function($e){ '[' || $e || ']' }})", "'[\\uDEAD]'"},
        {"parse-json('\"\\b\"', map{'fallback': function($e){ 'x' }})", "'x'"},
        {"parse-json('\"\\b\"', map{'fallback': 'no function'})", "error XPTY0004"},
        {"parse-json('\"\\b\"', map{'fallback': function($e){ ($e, $e) }})", "error XPTY0004"},
        // escape: special characters written as JSON escapes, others plain.
        {"parse-json('\"\\u0041\\n\\\\\\/\\uDEAD\"', map{'escape': true()})", "'A\\n\\\\/\\uDEAD'"},
        {"parse-json('\"\\u0001\"', map{'escape': true()})", "'\\u0001'"},
        {"parse-json('\"x\"', map{'escape': true(), 'fallback': function($e){ $e }})", "error FOJS0005"},
        {"parse-json('1', map{'escape': 'yes'})", "error XPTY0004"},
        {"parse-json('1', map{'liberal': true(), 'unknown-option': 7})", "1"},
    };
    check("<r><j>{\"k\": [1]}</j></r>", cases, sizeof cases / sizeof cases[0]);
}

TEST(XpathJson, DuplicateKeys) {
    const eval_case cases[] = {
        {"parse-json('{\"a\":1,\"b\":2,\"a\":3}')", "map{a:o:1,b:o:2}"},
        {"parse-json('{\"a\":1,\"b\":2,\"a\":3}', map{'duplicates':'use-first'})", "map{a:o:1,b:o:2}"},
        {"parse-json('{\"a\":1,\"b\":2,\"a\":3}', map{'duplicates':'use-last'})", "map{a:o:3,b:o:2}"},
        {"parse-json('{\"a\":1,\"b\":2,\"a\":3}', map{'duplicates':'reject'})", "error FOJS0003"},
        {"parse-json('{\"a\":{\"x\":1},\"b\":{\"x\":2}}', map{'duplicates':'reject'})", "map{a:map{x:o:1},b:map{x:o:2}}"},
        // Keys equal once escapes are read are duplicates.
        {"parse-json('{\"%\":1,\"\\u0025\":2}', map{'escape':true(),'duplicates':'reject'})", "error FOJS0003"},
        {"parse-json('{\"a\":1}', map{'duplicates':'retain'})", "error FOJS0005"},
        {"parse-json('{\"a\":1}', map{'duplicates':'whatever'})", "error FOJS0005"},
        {"count(json-to-xml('{\"a\":1,\"a\":2}')/*/*)", "2"},
        {"json-to-xml('{\"a\":1,\"a\":2}', map{'duplicates':'use-first'})/*/*/string()", "'1'"},
        {"json-to-xml('{\"a\":{\"x\":[1]},\"a\":{\"y\":2}}', map{'duplicates':'use-first'})/*/*/*/@key/string()", "'x'"},
        {"json-to-xml('{\"a\":1,\"a\":2}', map{'duplicates':'reject'})", "error FOJS0003"},
        {"json-to-xml('{\"a\":1}', map{'duplicates':'use-last'})", "error FOJS0005"},
    };
    check("<r/>", cases, sizeof cases / sizeof cases[0]);
}

TEST(XpathJson, SyntaxErrors) {
    const char* const bad[] = {
        "",          " ",        "[1,]",        "{\"a\":1,}", "{\"a\" 1}",   "{a:1}",       "01",
        "1.",        ".5",       "+1",          "1e",         "-",           "[1 2]",       "[1] x",
        "'a'",       "\"a",      "\"\\x\"",     "\"\\u12\"",  "\"a\tb\"",    "TRUE",        "nul",
        "[",         "{",        "{\"a\":1}}",  "[1]]",       "truex",       "NaN",         "\"\\u00G0\"",
    };
    doc_ptr d("<r/>");
    for (const char* json : bad) {
        std::string expression = "parse-json(" + literal(json) + ")";
        EXPECT_EQ(eval(d.doc, expression.c_str()), "error FOJS0001") << json;
        expression = "json-to-xml(" + literal(json) + ")";
        EXPECT_EQ(eval(d.doc, expression.c_str()), "error FOJS0001") << json;
    }
    EXPECT_EQ(eval(d.doc, "parse-json(1)"), "error XPTY0004");
    EXPECT_EQ(eval(d.doc, "parse-json(('[]', '[]'))"), "error XPTY0004");
}

// Nesting is bounded: deep input fails cleanly with FOJS0001 instead of
// exhausting the stack, whether it is well formed or not.
TEST(XpathJson, NestingDepthIsBounded) {
    doc_ptr d("<r/>");
    std::string ok_depth = std::string(1000, '[') + "1" + std::string(1000, ']');
    std::string expression = "array:flatten(parse-json('" + ok_depth + "'))";
    EXPECT_EQ(eval(d.doc, expression.c_str()), "o:1");
    expression = "serialize(parse-json('" + ok_depth + "'), map{'method':'json'}) eq '" + ok_depth + "'";
    EXPECT_EQ(eval(d.doc, expression.c_str()), "true()");
    for (const std::string& deep : {std::string(1001, '[') + std::string(1001, ']'), std::string(100000, '['),
                                    std::string(100000, '{') , "[" + std::string(50000, '{') }) {
        expression = "parse-json('" + deep + "')";
        EXPECT_EQ(eval(d.doc, expression.c_str()), "error FOJS0001");
        expression = "json-to-xml('" + deep + "')";
        EXPECT_EQ(eval(d.doc, expression.c_str()), "error FOJS0001");
    }
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, ("parse-json('" + std::string(100000, '[') + "')").c_str());
    EXPECT_EQ(r, nullptr);
    EXPECT_NE(std::strstr(quorvel_document_last_error(d.doc), "nested too deeply"), nullptr);
}

// JSON written by the json method reads back as the same value, and in
// the canonical shape (keys in order, no blanks, numbers as doubles print)
// as the same text.
TEST(XpathJson, SerializeRoundTrips) {
    const char* const texts[] = {
        "{}",
        "[]",
        "{\"a\":{\"b\":1},\"c\":2}",
        "[1,2.5,-3,\"x\",true,false,null]",
        "{\"a\":[{\"b\":[[],{}]},null],\"z\":\"\"}",
        "\"tab\\tnl\\ncr\\rquote\\\"back\\\\slash\\/\"",
        "\"\\u007f\\u0085 \xC3\xA9 \xF0\x9F\x98\x80\"",
        "[[[[[[[[[[1]]]]]]]]]]",
        "{\"k\\\"ey\":\"v\",\"k\\\\\":1}",
        "12345678",
        "true",
        "null",
    };
    doc_ptr d("<r/>");
    for (const char* json : texts) {
        std::string expression = "serialize(parse-json(" + literal(json) + "), map{'method':'json'})";
        std::string got = eval(d.doc, expression.c_str());
        EXPECT_EQ(got, "'" + std::string(json) + "'") << json;
    }
    const eval_case cases[] = {
        {"serialize(parse-json('{\"b\" : [ 1 , 2 ] , \"a\" : null }'), map{'method':'json'})", "'{\"a\":null,\"b\":[1,2]}'"},
        {"serialize(parse-json('1e2'), map{'method':'json'})", "'100'"},
        {"serialize(map{'a':(1,2)}, map{'method':'json'})", "error SERE0023"},
        {"serialize((1,2), map{'method':'json'})", "error SERE0023"},
        {"serialize(number('NaN'), map{'method':'json'})", "error SERE0020"},
        {"serialize(map{'f':concat#2}, map{'method':'json'})", "error SERE0021"},
        {"serialize((), map{'method':'json'})", "'null'"},
        {"serialize(map{'x':/r/e}, map{'method':'json'})", "'{\"x\":\"<e a=\\\"1\\\">t<\\/e>\"}'"},
        {"serialize(map{'x':/r/e}, map{'method':'json', 'json-node-output-method':'text'})", "'{\"x\":\"t\"}'"},
        {"serialize([1], map{'method':'json', 'indent':'yes'})", "error XPTY0004"},
        {"serialize([1], map{'method':'nonsense'})", "error SEPM0017"},
        {"serialize([1], 'json')", "error XPTY0004"},
    };
    doc_ptr e("<r><e a=\"1\">t</e></r>");
    check("<r><e a=\"1\">t</e></r>", cases, sizeof cases / sizeof cases[0]);
}

TEST(XpathJson, SerializeXmlAndAdaptive) {
    const eval_case cases[] = {
        {"serialize(/r/e)", "'<e a=\"1\">t&lt;</e>'"},
        {"serialize(/r/e/text())", "'t&lt;'"},
        {"serialize((1, 'a<', true()))", "'1 a&lt; true'"},
        {"serialize((1, 2), map{'item-separator':'|'})", "'1|2'"},
        {"serialize(/r/e, map{'method':'text'})", "'t<'"},
        {"serialize(/r/e/@a)", "error SENR0001"},
        {"serialize(/r/e, map{'omit-xml-declaration':false()})",
         "'<?xml version=\"1.0\" encoding=\"UTF-8\"?><e a=\"1\">t&lt;</e>'"},
        {"serialize((1, 'a\"b', true(), 1.5e0, 2.5, [1, (2, 3)], map{'k':()}), map{'method':'adaptive', 'item-separator':' '})",
         "'1 \"a\"\"b\" true() 1.5e0 2.5 [1,(2,3)] map{\"k\":()}'"},
        {"serialize((/r/e/@a, /r/e), map{'method':'adaptive', 'item-separator':';'})", "'a=\"1\";<e a=\"1\">t&lt;</e>'"},
        {"serialize(1e10, map{'method':'adaptive'})", "'1.0e10'"},
    };
    check("<r><e a=\"1\">t&lt;</e></r>", cases, sizeof cases / sizeof cases[0]);
    // The element form of the parameters.
    doc_ptr d("<r><p xmlns=\"http://www.w3.org/2010/xslt-xquery-serialization\"><method value=\"json\"/></p></r>");
    EXPECT_EQ(eval(d.doc, "serialize(map{'a':1}, /r/*)"), "'{\"a\":1}'");
}

TEST(XpathJson, JsonToXmlAndBack) {
    const eval_case cases[] = {
        {"serialize(json-to-xml('[1,\"a<\",null,true,{\"k\":\"v\"}]'))",
         "'<array xmlns=\"http://www.w3.org/2005/xpath-functions\"><number>1</number><string>a&lt;</string><null/>"
         "<boolean>true</boolean><map><string key=\"k\">v</string></map></array>'"},
        {"json-to-xml('{\"a\":1}')/*/*[local-name() = 'number']/@key/string()", "'a'"},
        {"namespace-uri(json-to-xml('2')/*)", "'http://www.w3.org/2005/xpath-functions'"},
        {"json-to-xml('\"\\uDEAD\"')/*/string()", "'\xEF\xBF\xBD'"},
        {"serialize(json-to-xml('{\"\\\\k\":\"\\t\\\\\"}', map{'escape':true()}))",
         "'<map xmlns=\"http://www.w3.org/2005/xpath-functions\"><string key=\"\\\\k\" escaped-key=\"true\" "
         "escaped=\"true\">\\t\\\\</string></map>'"},
        {"json-to-xml(())", "()"},
        {"json-to-xml('1', map{'validate':true()})", "error FOJS0004"},
        {"xml-to-json(json-to-xml('{\"a\":[1,\"\\/\",null],\"b\":{}}'))", "'{\"a\":[1,\"\\/\",null],\"b\":{}}'"},
        {"xml-to-json(json-to-xml('\"\\\\\\/\\\"\\r\\t\\n\\u0020\"'))", "'\"\\\\\\/\\\"\\r\\t\\n \"'"},
        {"xml-to-json(())", "()"},
        {"xml-to-json(/r/m)", "'{\"a\":1,\"b\":[true,\"x\\\"\"],\"c\":null}'"},
        {"xml-to-json(/r/e)", "'\"\\u0041\\n\"'"},
        {"xml-to-json(/r/bad-key)", "error FOJS0006"},
        {"xml-to-json(/r/dup)", "error FOJS0006"},
        {"xml-to-json(/r/num)", "error FOJS0006"},
        {"xml-to-json(/r/esc)", "error FOJS0007"},
        {"xml-to-json(/r/plain)", "error FOJS0006"},
        {"xml-to-json(/r/m/*[1])", "'1'"},
    };
    doc_ptr d("<r xmlns:j=\"http://www.w3.org/2005/xpath-functions\">"
              "<m><j:map><j:number key=\"a\"> 1 </j:number>"
              "<j:array key=\"b\"> <j:boolean>1</j:boolean><j:string>x\"</j:string></j:array><j:null key=\"c\"/></j:map></m>"
              "<e><j:string escaped=\"true\">\\u0041\n</j:string></e>"
              "<bad-key><j:map><j:number>1</j:number></j:map></bad-key>"
              "<dup><j:map><j:null key=\"a\"/><j:null key=\"a\"/></j:map></dup>"
              "<num><j:number>NaN</j:number></num>"
              "<esc><j:string escaped=\"true\">\\q</j:string></esc>"
              "<plain><x/></plain></r>");
    for (const eval_case& c : cases) {
        std::string expression = c.expression;
        // The table names the holder; the function reads its child.
        size_t at = expression.find("(/r/");
        if (at != std::string::npos && expression.compare(0, 11, "xml-to-json") == 0) {
            size_t close = expression.find(')', at);
            std::string path = expression.substr(at + 1, close - at - 1);
            if (path.find('[') == std::string::npos) expression.replace(at + 1, close - at - 1, path + "/*");
            else expression = "xml-to-json(/r/m/*/*[1])";
        }
        EXPECT_EQ(eval(d.doc, expression.c_str()), c.expected) << expression;
    }
}

// Every call's document is freed with the context document (checked for
// leaks under the address sanitizer), and results stay usable until then.
TEST(XpathJson, JsonToXmlDocumentsBelongToTheContextDocument) {
    doc_ptr d("<r/>");
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, "for $i in 1 to 50 return json-to-xml('[' || $i || ']')");
    ASSERT_NE(r, nullptr) << quorvel_document_last_error(d.doc);
    EXPECT_EQ(quorvel_xpath_result_count(r), 50u);
    quorvel_xpath_result_free(r);
    EXPECT_EQ(eval(d.doc, "string(json-to-xml('[7]')//*[local-name() = 'number'])"), "'7'");
}

// Text that is not UTF-8 (it can reach the functions through a variable)
// reads as U+FFFD per bad byte, the same in both readers.
TEST(XpathJson, BytesThatAreNotUtf8) {
    doc_ptr d("<r/>");
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_string(vars, "j", "[\"a\xFF" "b\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82\"]");
    const char* const expressions[] = {
        "string-to-codepoints(parse-json($j)?1)",
        "string-to-codepoints(string(json-to-xml($j)))",
    };
    for (const char* expression : expressions) {
        quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(d.doc, expression, vars);
        ASSERT_NE(r, nullptr) << quorvel_document_last_error(d.doc);
        std::string got;
        for (size_t i = 0; i < quorvel_xpath_result_count(r); i++)
            got += std::string(i ? " " : "") + quorvel_xpath_result_node_value(r, i);
        EXPECT_EQ(got, "97 65533 98 65533 65533 65533 65533 65533 65533 65533 65533 65533 65533 65533") << expression;
        quorvel_xpath_result_free(r);
    }
    quorvel_xpath_variable_set_free(vars);
}

TEST(XpathJson, JsonDocReadsFiles) {
    char path[] = "/tmp/quorvel_json_doc_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char json[] = "\xEF\xBB\xBF{\"a\": [1, {\"b\": \"\\u00e9\"}]}";
    ASSERT_EQ(write(fd, json, sizeof json - 1), static_cast<ssize_t>(sizeof json - 1));
    close(fd);
    doc_ptr d("<r/>");
    std::string expression = "json-doc('" + std::string(path) + "')?a?2?b";
    EXPECT_EQ(eval(d.doc, expression.c_str()), "'\xC3\xA9'");
    expression = "json-doc('file://" + std::string(path) + "')?a?1";
    EXPECT_EQ(eval(d.doc, expression.c_str()), "o:1");
    unlink(path);
    EXPECT_EQ(eval(d.doc, expression.c_str()), "error FOUT1170");
    EXPECT_EQ(eval(d.doc, "json-doc(())"), "()");
}

}  // namespace
