// HTML5 tree construction: misnested formatting and the adoption step,
// foster parenting in tables, templates, framesets and the division into
// head and body, as (input, tree) fixtures.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstring>
#include <string>

#include "html/html_test_util.h"
#include "quorvel.h"

namespace {

using html_test::body;
using html_test::parse5;
using html_test::render_document;

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
}

size_t depth(quorvel_node* n) {
    size_t deepest = 0;
    for (; n; n = quorvel_node_next_sibling(n)) {
        size_t d = 1 + depth(quorvel_node_first_child(n));
        if (d > deepest) deepest = d;
    }
    return deepest;
}

std::string text_of(quorvel_node* n) {
    std::string out;
    for (; n; n = quorvel_node_next_sibling(n)) {
        if (quorvel_node_get_type(n) == QUORVEL_NODE_TEXT) out += quorvel_text_node_get_content(n);
        if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT) out += text_of(quorvel_node_first_child(n));
    }
    return out;
}

struct tree_case {
    std::string input;
    std::string expected;
};

void check(const tree_case& c) { EXPECT_EQ(parse5(c.input), c.expected) << "input: " << c.input; }

TEST(HtmlTree, MisnestedFormatting) {
    const tree_case cases[] = {
        // No furthest block: the end tag closes b and i; the text after it
        // goes into an i made again.
        {"<b>x<i>y</b>z</i>", body("<b>x<i>y</i></b><i>z</i>")},
        // A block inside a link: the link is split around it.
        {"<a>1<p>2</a>3</p>", body("<a>1</a><p><a>2</a>3</p>")},
        {"<a>1<div>2<div>3</a>4</div>5</div>",
         body("<a>1</a><div><a>2</a><div><a>3</a>4</div>5</div>")},
        {"<b>1<p>2<i>3</b>4</i>5</p>", body("<b>1</b><p><b>2<i>3</i></b><i>4</i>5</p>")},
        // At most three alike formatting elements are re-opened.
        {"<p><b class=x><b class=x><b class=x><b class=x>y</p>z",
         body("<p><b class=\"x\"><b class=\"x\"><b class=\"x\"><b class=\"x\">y</b></b></b></b></p>"
              "<b class=\"x\"><b class=\"x\"><b class=\"x\">z</b></b></b>")},
        // Different attributes make different entries.
        {"<p><b a=1><b a=2><b a=3><b a=4>y</p>z",
         body("<p><b a=\"1\"><b a=\"2\"><b a=\"3\"><b a=\"4\">y</b></b></b></b></p>"
              "<b a=\"1\"><b a=\"2\"><b a=\"3\"><b a=\"4\">z</b></b></b></b>")},
        // A new a closes the open one.
        {"<a href=1>x<a href=2>y", body("<a href=\"1\">x</a><a href=\"2\">y</a>")},
        {"<nobr>a<nobr>b", body("<nobr>a</nobr><nobr>b</nobr>")},
        // Formatting opened in a cell ends with the cell.
        {"<table><tr><td><b>x</td><td>y</td></tr></table>z",
         body("<table><tbody><tr><td><b>x</b></td><td>y</td></tr></tbody></table>z")},
        // Formatting open before a table comes back after it.
        {"<b>x<table><tr><td>y</td></tr></table>z</b>",
         body("<b>x<table><tbody><tr><td>y</td></tr></tbody></table>z</b>")},
        // Text in raw-text elements re-opens nothing.
        {"<b>x<p>y</b><textarea>t</textarea>", body("<b>x</b><p><b>y</b><textarea>t</textarea></p>")},
        // A formatting end tag with nothing to adopt closes nothing else.
        {"<div>x</b>y</div>", body("<div>xy</div>")},
    };
    for (const auto& c : cases) check(c);
}

TEST(HtmlTree, MisnestedFormattingRepeatedStaysFlat) {
    // Each round ends with nothing open: a thousand sibling b elements.
    std::string text = repeat("<b>x<i>y</b>z</i>", 1000);
    EXPECT_EQ(parse5(text), body(repeat("<b>x<i>y</i></b><i>z</i>", 1000)));
    EXPECT_EQ(parse5(repeat("<b><i></b></i>", 1000)), body(repeat("<b><i></i></b>", 1000)));

    // Never closed: nesting stops at the open-element bound, and the
    // formatting list at its own bound, without losing the text.
    std::string open = repeat("<b><i>t</b>", 1000) + "end";
    int status = 1;
    quorvel_document* doc = quorvel_parse_html_string(open.data(), open.size(), &status);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(status, QUORVEL_OK);
    EXPECT_LE(depth(quorvel_document_first_child(doc)), 300u);
    EXPECT_EQ(text_of(quorvel_document_first_child(doc)), repeat("t", 1000) + "end");
    quorvel_document_free(doc);
}

TEST(HtmlTree, FosterParentingInTables) {
    const tree_case cases[] = {
        {"<table>x<tr><td>y</table>", body("x<table><tbody><tr><td>y</td></tr></tbody></table>")},
        {"<div><table><tr><td>a</td></tr><p>b</table></div>",
         body("<div><p>b</p><table><tbody><tr><td>a</td></tr></tbody></table></div>")},
        // A formatting element moved in front of the table is re-opened for
        // the text that follows, in front of the table and after it.
        {"<table><b><tr><td>aaa</td></tr>bbb</table>ccc",
         body("<b></b><b>bbb</b><table><tbody><tr><td>aaa</td></tr></tbody></table><b>ccc</b>")},
        // Blank text stays in the table.
        {"<table> <tr> <td>x</td> </tr> </table>",
         body("<table> <tbody><tr> <td>x</td> </tr> </tbody></table>")},
        // A row after a cell's unclosed inline markup stays in its section.
        {"<table><tbody><tr><td><b>x<tr><td>y</table>",
         body("<table><tbody><tr><td><b>x</b></td></tr><tr><td>y</td></tr></tbody></table>")},
        {"<table><tr><td>a<table><tr><td>b</table>c</table>",
         body("<table><tbody><tr><td>a<table><tbody><tr><td>b</td></tr></tbody></table>c</td></tr></tbody></table>")},
    };
    for (const auto& c : cases) check(c);
}

TEST(HtmlTree, Templates) {
    const tree_case cases[] = {
        {"<template><td>x</td></template>",
         "<html><head><template><td>x</td></template></head><body></body></html>"},
        {"<body><template>Hello</template>", body("<template>Hello</template>")},
        {"<template><tr><td>a</template>", "<html><head><template><tr><td>a</td></tr></template></head><body></body></html>"},
        // The template end tag closes what its content left open.
        {"<template><object></template><span>Foo",
         "<html><head><template><object></object></template></head><body><span>Foo</span></body></html>"},
        {"<body><template><div><frameset><span></span></div><span></span></template></body>",
         body("<template><div><span></span></div><span></span></template>")},
    };
    for (const auto& c : cases) check(c);
}

TEST(HtmlTree, Framesets) {
    const tree_case cases[] = {
        {"<frameset><frame></frameset>", "<html><head></head><frameset><frame></frame></frameset></html>"},
        {"<frameset></frameset><noframes>abc</noframes><!--c-->",
         "<html><head></head><frameset></frameset><noframes>abc</noframes><!--c--></html>"},
        // Text makes a body: the frameset is ignored.
        {"<p>x<frameset><frame>", body("<p>x</p>")},
        // Content that leaves the frameset possible is replaced by it.
        {"<!doctype html><p><frameset><frame>",
         "<!DOCTYPE html><html><head></head><frameset><frame></frame></frameset></html>"},
        {"<frameset></frameset> x ", "<html><head></head><frameset></frameset>  </html>"},
    };
    for (const auto& c : cases) check(c);
}

TEST(HtmlTree, HeadAndBody) {
    const tree_case cases[] = {
        {"<title>t</title><p>x", "<html><head><title>t</title></head><body><p>x</p></body></html>"},
        // Leading blanks of the first body text stay in the head.
        {"<meta>  x", "<html><head><meta></meta>  </head><body>x</body></html>"},
        {"<title>t</title>\n<p>x", "<html><head><title>t</title>\n</head><body><p>x</p></body></html>"},
        // After a body tag head-type elements belong to the body.
        {"<body><meta><title>t</title>", body("<meta></meta><title>t</title>")},
        // Comments: before the head, after the head end tag, after the body.
        {"<html><!--a--><head><!--b--></head><!--c--> <p>x</p></body><!--d-->",
         "<html><!--a--><head><!--b--></head><!--c--> <body><p>x</p></body><!--d--></html>"},
        {"<!doctype html><li>a<ul><li>b</ul></body><!--c-->",
         "<!DOCTYPE html><html><head></head><body><li>a<ul><li>b</li></ul></li></body><!--c--></html>"},
        // Repeated html, head and body tags add the attributes not yet there.
        {"<html a=1><head h=1><body class=a><body class=b id=c><html a=2 b=3>",
         "<html a=\"1\" b=\"3\"><head h=\"1\"></head><body class=\"a\" id=\"c\"></body></html>"},
        // Content after the html end tag still goes to the body.
        {"<p>a</p></body></html><div>b</div>", body("<p>a</p><div>b</div>")},
        {"<p>a</html><math><mi>x</mi></math>", body("<p>a<math:math><math:mi>x</math:mi></math:math></p>")},
    };
    for (const auto& c : cases) check(c);
}

TEST(HtmlTree, DoctypeDecidesWhetherATableClosesAParagraph) {
    EXPECT_EQ(parse5("<p>a<table></table>b"), body("<p>a<table></table>b</p>"));
    EXPECT_EQ(parse5("<!DOCTYPE html><p>a<table></table>b"), "<!DOCTYPE html>" + body("<p>a</p><table></table>b"));
    EXPECT_EQ(parse5("<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\"><p>a<table></table>"),
              "<!DOCTYPE html P=-//W3C//DTD HTML 4.0 Transitional//EN>" + body("<p>a<table></table></p>"));
}

TEST(HtmlTree, LineEndsReadAsLineFeeds) {
    EXPECT_EQ(parse5("a\r\nb\rc\r"), body("a\nb\nc\n"));
    EXPECT_EQ(parse5("<pre>\r\nx</pre><p title='1\r\n2'>"), body("<pre>x</pre><p title=\"1\n2\"></p>"));
}

// Serialized as XML, every tree reads back namespace-well-formed: SVG and
// MathML declare their namespaces, HTML inside them leaves them again, and
// names XML cannot hold are rewritten.
TEST(HtmlTree, SerializedTreesReadBackAsNamespaceWellFormedXml) {
    struct xml_case {
        const char* input;
        const char* expected_fragment;  // part of the serialized body
    };
    const xml_case cases[] = {
        {"<svg viewBox='0 0 1 1'><path/></svg>", "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1 1\"><path/></svg>"},
        {"<svg><a xlink:href=x>t</a></svg>", "xmlns:xlink=\"http://www.w3.org/1999/xlink\""},
        {"<svg><foreignObject><div>h<svg><g/></svg></div></foreignObject></svg>",
         "<div xmlns=\"\">h<svg xmlns=\"http://www.w3.org/2000/svg\"><g/></svg></div>"},
        {"<math><mi><b>x</b></mi></math>", "<math xmlns=\"http://www.w3.org/1998/Math/MathML\"><mi><b xmlns=\"\">x</b></mi></math>"},
        {"<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'><use xlink:href='#a'/></svg>",
         "<use xmlns:xlink"},
        {"<div foo<bar=1 1x=2 \"q=3>t</div>", "<div fooU00003Cbar=\"1\" U000031x=\"2\" U000022q=\"3\">t</div>"},
        {"<div<div>t", "<divU00003Cdiv>t</divU00003Cdiv>"},
        {"<p a<=1 b=2>", "<p aU00003C=\"1\" b=\"2\"/>"},
        {"<p \xC3\xA9t\xC3\xA9=1 \xC3\x97=2>", "<p \xC3\xA9t\xC3\xA9=\"1\" U0000D7=\"2\"/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        quorvel_document* doc = quorvel_parse_html_string(c.input, std::strlen(c.input), nullptr);
        ASSERT_NE(doc, nullptr);
        quorvel_serialize_ext_options xml_method{};
        xml_method.method = -1;
        char* xml = quorvel_document_serialize_ext(doc, nullptr, &xml_method);
        ASSERT_NE(xml, nullptr);
        EXPECT_NE(std::strstr(xml, c.expected_fragment), nullptr) << xml;
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        xmlDocPtr back = xmlCtxtReadMemory(ctxt, xml, static_cast<int>(std::strlen(xml)), nullptr, nullptr,
                                           XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        EXPECT_NE(back, nullptr) << xml;
        EXPECT_TRUE(ctxt->wellFormed && ctxt->nsWellFormed) << xml;
        if (back) xmlFreeDoc(back);
        xmlFreeParserCtxt(ctxt);
        quorvel_free_string(xml);
        quorvel_document_free(doc);
    }
}

}  // namespace
