// The HTML parser: trees built in both modes, references, statuses, memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "html/html_test_util.h"
#include "quorvel.h"
#include "support/failing_alloc.h"

namespace {

using html_test::body;
using html_test::parse4;
using html_test::parse5;
using html_test::render_document;

struct tree_case {
    std::string input;
    std::string expected;
};

TEST(HtmlParser, Html5Trees) {
    const std::string long_name = "my-custom-element-with-a-long-name";
    const tree_case cases[] = {
        {"", body("")},
        {"hello", body("hello")},
        // '<' opens markup only before a letter, '!', '/' or '?'.
        {"x<3 and y>2", body("x<3 and y>2")},
        {"a<", body("a<")},
        {"a<@b <_c <:d", body("a<@b <_c <:d")},
        {"a</", body("a</")},
        {"<!--c--><p>x", "<!--c-->" + body("<p>x</p>")},
        {"<p>x</p><!--c-->", body("<p>x</p><!--c-->")},
        {"<!--->", "<!---->" + body("")},
        {"<!--a--!>b", "<!--a-->" + body("b")},
        {"<p>a<!--open--", body("<p>a<!--open--></p>")},
        {"<!DOCTYPE HTML><p>x", "<!DOCTYPE html>" + body("<p>x</p>")},
        {"<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\" 'http://x/y'>",
         "<!DOCTYPE html P=-//W3C//DTD HTML 4.01//EN S=http://x/y>" + body("")},
        {"<p>x</p><!DOCTYPE html>", body("<p>x</p>")},
        // A quoted identifier ends at the declaration's '>'.
        {"<!DOCTYPE potato PUBLIC 'go'of'>Hello", "<!DOCTYPE potato P=go>" + body("Hello")},
        {"<!DOCTYPE a SYSTEM \"x>y\">z", "<!DOCTYPE a S=x>" + body("y\">z")},
        {"<?php x ?>", "<!--?php x ?-->" + body("")},
        {"<p></ x>", body("<p><!-- x--></p>")},
        {"<p></>", body("<p><!----></p>")},
        {"<image src=a>", body("<img src=\"a\"></img>")},
        {"<P CLASS=Big>x</P>", body("<p class=\"Big\">x</p>")},
        {"<p a=1 a=2 A=3 b>", body("<p a=\"1\" b=\"\"></p>")},
        {"<p a='x>y' b\"c=d>t", body("<p a=\"x>y\" bU000022c=\"d\">t</p>")},
        {"<p>a<b", body("<p>a</p>")},
        {"<textarea>\n<b>&amp;\n</textarea>", body("<textarea><b>&\n</textarea>")},
        {"<script>if (a<b && c) x='</p>';</script>", "<html><head><script>if (a<b && c) x='</p>';</script></head><body></body></html>"},
        {"<script><!--<script></script>--></script>x", "<html><head><script><!--<script></script>--></script></head><body>x</body></html>"},
        {"<style>a&amp;b</STYLE >c", "<html><head><style>a&amp;b</style></head><body>c</body></html>"},
        {"<title>a&amp;b</title>", "<html><head><title>a&b</title></head><body></body></html>"},
        {"<pre>\nx</pre>", body("<pre>x</pre>")},
        {"<pre>\n\nx</pre>", body("<pre>\nx</pre>")},
        {"<listing>&#10;x</listing>", body("<listing>x</listing>")},
        {"<textarea>&#x0a;&#10;x</textarea><pre>&#010x</pre>", body("<textarea>\nx</textarea><pre>\nx</pre>")},
        {"<div>a<p>b<p>c</div>", body("<div>a<p>b</p><p>c</p></div>")},
        {"<ul><li>a<li>b</ul>", body("<ul><li>a</li><li>b</li></ul>")},
        {"<li>a<ul><li>b</ul>", body("<li>a<ul><li>b</li></ul></li>")},
        {"<dl><dt>a<dd>b<dt>c</dl>", body("<dl><dt>a</dt><dd>b</dd><dt>c</dt></dl>")},
        {"<h1>a<h2>b", body("<h1>a</h1><h2>b</h2>")},
        {"<h1>a</h3>b", body("<h1>a</h1>b")},
        {"<button><p>a<p>b</button>", body("<button><p>a</p><p>b</p></button>")},
        {"<p>a</p></p>", body("<p>a</p><p></p>")},
        {"a</br>b", body("a<br></br>b")},
        {"<div><span>a</div>b", body("<div><span>a</span></div>b")},
        {"<span><div>a</span>b", body("<span><div>ab</div></span>")},
        {"<br>a<img>b", body("<br></br>a<img></img>b")},
        {"<p/>x", body("<p>x</p>")},
        {"<table><td>x</table>", body("<table><tbody><tr><td>x</td></tr></tbody></table>")},
        {"<table><tr><td>x</td></tr></table>", body("<table><tbody><tr><td>x</td></tr></tbody></table>")},
        {"<table><col></table>", body("<table><colgroup><col></col></colgroup></table>")},
        // Foster parenting: text and misplaced elements go in front of the table.
        {"<div><table>ab<tr><td>c</table></div>", body("<div>ab<table><tbody><tr><td>c</td></tr></tbody></table></div>")},
        {"<div><table> <tr><td>c</table></div>", body("<div><table> <tbody><tr><td>c</td></tr></tbody></table></div>")},
        {"<div><table><span>x</span></table></div>", body("<div><span>x</span><table></table></div>")},
        {"<table><input type=hidden><input></table>",
         body("<input></input><table><input type=\"hidden\"></input></table>")},
        {"<table><colgroup>  x</table>", body("x<table><colgroup>  </colgroup></table>")},
        // Foreign content.
        {"<svg viewbox='0 0 1 1'><foreignobject><div>x</div></foreignobject><g><div>y</div></g></svg>",
         body("<svg:svg viewBox=\"0 0 1 1\"><svg:foreignObject><div>x</div></svg:foreignObject><svg:g></svg:g></svg:svg>"
              "<div>y</div>")},
        {"<svg><p>x", body("<svg:svg></svg:svg><p>x</p>")},
        {"<svg><path/><b>x", body("<svg:svg><svg:path></svg:path></svg:svg><b>x</b>")},
        {"<math><mi><mglyph/><b>x</b></mi></math>",
         body("<math:math><math:mi><math:mglyph></math:mglyph><b>x</b></math:mi></math:math>")},
        {"<math definitionurl=u></math>", body("<math:math definitionURL=\"u\"></math:math>")},
        {"<svg><![CDATA[a<b]]></svg>", body("<svg:svg>a<b</svg:svg>")},
        {"<p><![CDATA[a]]>", body("<p><!--[CDATA[a]]--></p>")},
        {std::string("a\0b", 3), body("ab")},
        // End tags are matched by their whole name.
        {"<" + long_name + ">a</" + long_name + ">b", body("<" + long_name + ">a</" + long_name + ">b")},
        {"<abcdefghijklmnopqrstuvw>a</abcdefghijklmnopqrstuvwxyz>b",
         body("<abcdefghijklmnopqrstuvw>ab</abcdefghijklmnopqrstuvw>")},
        // Character references in text.
        {"&#0000000000000000065;", body("A")},
        {"&#x0000000000000000000041;&#65", body("AA")},
        {"&amp &lt;&notit; &notin;", body("& <\xC2\xACit; \xE2\x88\x89")},
        {"&#128;&#129;&#0;&#xD800;&#13;", body("\xE2\x82\xAC\xC2\x81\xEF\xBF\xBD\xEF\xBF\xBD\n")},
        {"&NotEqualTilde;&acE;&nGt;", body("\xE2\x89\x82\xCC\xB8\xE2\x88\xBE\xCC\xB3\xE2\x89\xAB\xE2\x83\x92")},
        {"&#x;&#;&", body("&#x;&#;&")},
        {"<p title='&amp=1 &ampx &amp;x'>", body("<p title=\"&amp=1 &ampx &x\"></p>")},
        // Frameset.
        {"<frameset><frame></frameset>", "<html><head></head><frameset><frame></frame></frameset></html>"},
        {"x<frameset>", body("x")},
    };
    for (const tree_case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(parse5(c.input), c.expected);
    }
}

TEST(HtmlParser, NulBytesAreInput) {
    const std::string text("a\0b<p>c\0d</p><svg>e\0f</svg>", 27);
    EXPECT_EQ(parse5(text), body("ab<p>cd</p><svg:svg>e\xEF\xBF\xBD" "f</svg:svg>"));
    EXPECT_EQ(parse4(std::string("<p x='\0'>\0", 11)), std::string("<html><p x=\"\"></p></html>"));
}

TEST(HtmlParser, Html4Trees) {
    const tree_case cases[] = {
        {"", "<html></html>"},
        {"x<3", "<html>x<3</html>"},
        {"  <p>a", "<html><p>a</p></html>"},
        {"  <title>a", "<html>  <title>a</title></html>"},
        {"<!--c--><p>a", "<html><!--c--><p>a</p></html>"},
        {"<!DOCTYPE HTML PUBLIC \"p\"><p>a", "<!DOCTYPE HTML P=p><html><p>a</p></html>"},
        {"<!DOCTYPE><p>a", "<html><p>a</p></html>"},
        {"<image>", "<html><image></image></html>"},
        {"<li>a<li>b", "<html><li>a</li><li>b</li></html>"},
        {"<p>a<p>b", "<html><p>a</p><p>b</p></html>"},
        {"<p>a<div>b", "<html><p>a</p><div>b</div></html>"},
        {"<p>a<span>b", "<html><p>a<span>b</span></p></html>"},
        {"<b>a<i>b</b>c", "<html><b>a<i>b</i></b>c</html>"},
        {"<div>a</span>b</div>", "<html><div>ab</div></html>"},
        {"<h1>a</h3>b", "<html><h1>ab</h1></html>"},
        {"<p>a</p></p>", "<html><p>a</p></html>"},
        {"a</br>b", "<html>ab</html>"},
        {"<p/>x", "<html><p></p>x</html>"},
        {"<br>x", "<html><br></br>x</html>"},
        {"<html><body><p>x</body></html>", "<html><p>x</p></html>"},
        {"<table><td>x</table>", "<html><table><td>x</td></table></html>"},
        {"<textarea><b></textarea>", "<html><textarea><b></b></textarea></html>"},
        {"<script>a<b></script>", "<html><script>a<b></script></html>"},
        {"<pre>\nx</pre>", "<html><pre>\nx</pre></html>"},
        {"<?pi data ?>", "<html><?pi?></html>"},
        {"<!foo>x", "<html>x</html>"},
        {"&amp &amp; &#65 &#65; &#0; &notit;", "<html>&amp & &#65 A &#0; &notit;</html>"},
        {"<p>a<", "<html><p>a<</p></html>"},
        {"<p a='1' a=2>x", "<html><p a=\"1\">x</p></html>"},
        {"<p>x", "<html><p>x</p></html>"},
        {"<div><p>x", "<html><div><p>x</p></div></html>"},
    };
    for (const tree_case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(parse4(c.input), c.expected);
    }
}

// CR LF and a lone CR read as LF in the HTML4 mode too: in text, attribute
// values, comments, raw text and processing instructions, and a CR LF after
// pre is kept as one line feed (the HTML4 mode keeps the first line feed).
TEST(HtmlParser, Html4LineEndsReadAsLineFeeds) {
    const tree_case cases[] = {
        {"a\r\nb\rc\r", "<html>a\nb\nc\n</html>"},
        {"\r\r\n\n<p>x", "<html><p>x</p></html>"},
        {"<p>a\r\r\nb", "<html><p>a\n\nb</p></html>"},
        {"<p title='1\r\n2\r3'>x", "<html><p title=\"1\n2\n3\">x</p></html>"},
        {"<p\r\nclass=a\rid=b>x", "<html><p class=\"a\" id=\"b\">x</p></html>"},
        {"<!--a\r\nb\rc-->", "<html><!--a\nb\nc--></html>"},
        {"<pre>\r\nx\r\n</pre>", "<html><pre>\nx\n</pre></html>"},
        {"<script>a\r\nb\r</script>", "<html><script>a\nb\n</script></html>"},
        {"<textarea>\r\n&amp;\r</textarea>", "<html><textarea>\n&\n</textarea></html>"},
        // A reference to CR is a character, not a line end.
        {"a&#13;b", "<html>a\rb</html>"},
    };
    for (const tree_case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(parse4(c.input), c.expected);
    }
    // The processing instruction's data as well (up to its '>').
    const char text[] = "<?t a\r\nb\r?>";
    quorvel_document* doc = quorvel_parse_html4_string(text, sizeof text - 1, nullptr);
    ASSERT_NE(doc, nullptr);
    quorvel_node* pi = quorvel_node_first_child(quorvel_element_as_node(quorvel_document_root(doc)));
    ASSERT_NE(pi, nullptr);
    ASSERT_EQ(quorvel_node_get_type(pi), QUORVEL_NODE_PI);
    EXPECT_EQ(std::string(quorvel_pi_node_get_data(pi)), "a\nb\n?");
    quorvel_document_free(doc);
}

TEST(HtmlParser, Html4ProcessingInstruction) {
    const char text[] = "<?target word ?>";
    quorvel_document* doc = quorvel_parse_html4_string(text, sizeof text - 1, nullptr);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(quorvel_document_pi_count(doc), 0u);  // inside the html element, not at the top
    quorvel_node* pi = quorvel_node_first_child(quorvel_element_as_node(quorvel_document_root(doc)));
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(quorvel_node_get_type(pi), QUORVEL_NODE_PI);
    quorvel_serialize_ext_options xml_method{};
    xml_method.method = -1;
    char* xml = quorvel_document_serialize_ext(doc, nullptr, &xml_method);
    ASSERT_NE(xml, nullptr);
    EXPECT_NE(std::string(xml).find("<?target word ?" "?>"), std::string::npos) << xml;
    quorvel_free_string(xml);
    quorvel_document_free(doc);
}

TEST(HtmlParser, Statuses) {
    int status = 1;
    EXPECT_EQ(quorvel_parse_html_string(nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NULL_ARGUMENT);
    status = 1;
    EXPECT_EQ(quorvel_parse_html4_string(nullptr, 5, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_parse_html_string(nullptr, 0, nullptr), nullptr);
    for (auto* fn : {quorvel_parse_html_string, quorvel_parse_html4_string}) {
        quorvel_document* doc = fn("<p>", 3, nullptr);
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(std::string(quorvel_element_name(quorvel_document_root(doc))), "html");
        quorvel_document_free(doc);
    }
}

// Every tree the parser builds serializes as XML that parses back: names
// that are not XML names never become elements, and no attribute is repeated.
TEST(HtmlParser, TreesSerializeAsWellFormedXml) {
    const char* inputs[] = {
        "x<3 and y>2 <4>",
        "<p a=1 a=2 A=3 a=4>t",
        "<svg><path d=1 D=2 viewbox=a viewBox=b/></svg>",
        "<div id=a class=b id=c CLASS=d>&amp;&lt;&#0;</div>",
        "<table>x<tr>y<td>z</table>",
        "<p>]]>--></p><!-- a -- b -->",
    };
    for (const char* text : inputs) {
        for (auto* fn : {quorvel_parse_html_string, quorvel_parse_html4_string}) {
            SCOPED_TRACE(text);
            quorvel_document* doc = fn(text, std::strlen(text), nullptr);
            ASSERT_NE(doc, nullptr);
            quorvel_serialize_ext_options xml_method{};
            xml_method.method = -1;
            char* xml = quorvel_document_serialize_ext(doc, nullptr, &xml_method);
            ASSERT_NE(xml, nullptr);
            int status = 1;
            quorvel_document* back = quorvel_parse_string(xml, std::strlen(xml), &status);
            EXPECT_EQ(status, QUORVEL_OK) << xml;
            if (back) quorvel_document_free(back);
            quorvel_free_string(xml);
            quorvel_document_free(doc);
        }
    }
}

TEST(HtmlParser, ManyAttributesKeepTheFirstOfEachName) {
    std::string text = "<p";
    for (int i = 0; i < 3000; i++) text += " a" + std::to_string(i % 1000) + "=" + std::to_string(i);
    text += ">";
    quorvel_document* doc = quorvel_parse_html_string(text.data(), text.size(), nullptr);
    ASSERT_NE(doc, nullptr);
    quorvel_element* p = quorvel_element_first_child(
        quorvel_element_first_child(quorvel_document_root(doc), "body"), "p");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(quorvel_element_attribute_count(p), 1000u);
    EXPECT_STREQ(quorvel_element_attribute(p, "a999"), "999");
    EXPECT_STREQ(quorvel_element_attribute(p, "a0"), "0");
    quorvel_document_free(doc);
}

// Shapes that would make a parser quadratic: each must come out whole
// (a quadratic parse runs into the test's time limit).
TEST(HtmlParser, AdversarialShapesStayLinear) {
    auto repeat = [](const std::string& unit, int n) {
        std::string s;
        for (int i = 0; i < n; i++) s += unit;
        return s;
    };
    struct shape {
        std::string text;  // its text content ends with "end"
    };
    const shape shapes[] = {
        {repeat("<meta>", 50000) + "<noscript>" + repeat("<link>", 50000) + "end"},
        {"<table>" + repeat("x<b></b>", 50000) + "<tr><td>end</table>"},
        {repeat("a<1 ", 100000) + "end"},
        {repeat("<p>&amp;&notin;&#65;", 50000) + "end"},
    };
    for (const shape& sh : shapes) {
        for (auto* fn : {quorvel_parse_html_string, quorvel_parse_html4_string}) {
            quorvel_document* doc = fn(sh.text.data(), sh.text.size(), nullptr);
            ASSERT_NE(doc, nullptr);
            const char* text = quorvel_element_text(quorvel_element_as_node(quorvel_document_root(doc)));
            ASSERT_NE(text, nullptr);
            std::string all(text);
            ASSERT_GE(all.size(), 3u);
            EXPECT_EQ(all.substr(all.size() - 3), "end");
            quorvel_document_free(doc);
        }
    }
}

TEST(HtmlParser, DeepNestingIsFlattenedNotFatal) {
    for (auto* fn : {quorvel_parse_html_string, quorvel_parse_html4_string}) {
        std::string text;
        for (int i = 0; i < 100000; i++) text += "<div>";
        text += "x";
        quorvel_document* doc = fn(text.data(), text.size(), nullptr);
        ASSERT_NE(doc, nullptr);
        int depth = 0;
        for (quorvel_element* e = quorvel_document_root(doc); e; e = quorvel_element_last_child_any(e)) depth++;
        EXPECT_LE(depth, 300);
        EXPECT_GE(depth, 256);
        quorvel_document_free(doc);
    }
}

// A parse that runs out of memory anywhere fails with -1 and leaves
// nothing allocated; it never returns a cut-off tree as a success.
TEST(HtmlParserMemory, EveryFailingAllocationEndsCleanly) {
    std::string text = "<!DOCTYPE html><title>t</title>";
    for (int i = 0; i < 400; i++)
        text += "<div class='c" + std::to_string(i) + "'>text &amp; more<svg><path d='x'/></svg><table>x<td>y</table></div>";
    for (auto* fn : {quorvel_parse_html_string, quorvel_parse_html4_string}) {
        quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
        int succeeded_at = -1;
        for (int n = 0; n < 400 && succeeded_at < 0; n++) {
            SCOPED_TRACE(n);
            hooks::countdown = n;
            hooks::live = 0;
            int status = 1;
            quorvel_document* doc = fn(text.data(), text.size(), &status);
            if (doc) {
                EXPECT_EQ(status, QUORVEL_OK);
                succeeded_at = n;
                quorvel_document_free(doc);
            } else {
                EXPECT_EQ(status, QUORVEL_ERR_MEMORY);
                EXPECT_STREQ(quorvel_last_error(), "Memory allocation failed");
            }
            EXPECT_EQ(hooks::live, 0);
        }
        quorvel_set_memory_management_functions(nullptr, nullptr);
        hooks::countdown = -1;
        EXPECT_GT(succeeded_at, 0);
    }
}

TEST(HtmlParserThread, ParallelParsesAgree) {
    const std::string text = "<p>&notin; &amp <svg><foreignobject><b>x</b></foreignobject></svg><table>y<td>z</table>";
    const std::string expected = parse5(text);
    std::vector<std::thread> threads;
    std::vector<std::string> results(4);
    for (size_t t = 0; t < results.size(); t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; i++) {
                quorvel_document* doc = quorvel_parse_html_string(text.data(), text.size(), nullptr);
                results[t] = doc ? render_document(doc) : "<null>";
                quorvel_document_free(doc);
            }
        });
    for (auto& th : threads) th.join();
    for (const std::string& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
