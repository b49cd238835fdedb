// The element writer: layout, empty-element forms, escaping of attribute
// values, namespaces, CDATA-section elements and the XHTML meta line, on
// trees laid out the way the parser lays them out.
#include <gtest/gtest.h>

#include <string>

#include "output/output.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

struct ElementWriterTest : ::testing::Test {
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { quorvel_document_free(doc); }

    // Writes e with top 1 into a buffer set up by the caller's switches.
    std::string write(quorvel_element* e, ser_buffer settings = {}) {
        ser_buffer b;
        EXPECT_TRUE(ser_buffer_init(&b));
        char* data = b.data;
        size_t capacity = b.capacity;
        b = settings;
        b.data = data;
        b.capacity = capacity;
        b.length = 0;
        serialize_element_internal(e, &b, 1);
        EXPECT_EQ(b.depth, settings.depth);
        EXPECT_FALSE(b.out_of_memory);
        std::string r(b.data, b.length);
        ser_buffer_free(&b);
        return r;
    }
    static ser_buffer indented(int indent) {
        ser_buffer s{};
        s.indent = indent;
        return s;
    }
    static ser_buffer html(int indent = 0, int html_indent = 0) {
        ser_buffer s{};
        s.html = 1;
        s.indent = indent;
        s.html_indent = html_indent;
        return s;
    }

    quorvel_document* doc = nullptr;
};

#define BUILDER tree_builder t(doc)

TEST_F(ElementWriterTest, IndentationLayout) {
    BUILDER;
    quorvel_element* r = t.element("r");
    t.append(t.append(r, t.element("a")), t.text("x"));
    quorvel_element* b = t.append(r, t.element("b"));
    t.append(b, t.text("\n    "));
    t.append(b, t.element("c"));
    t.append(b, t.text("\n  "));
    t.append(b, t.element("d"));
    EXPECT_EQ(write(r, indented(2)), "<r>\n  <a>x</a>\n  <b>\n    <c/>\n    <d/>\n  </b>\n</r>");
    EXPECT_EQ(write(r), "<r><a>x</a><b>\n    <c/>\n  <d/></b></r>");
    ser_buffer tabs = indented(2);
    tabs.indent_string = "\t";
    EXPECT_EQ(write(r, tabs), "<r>\n\t<a>x</a>\n\t<b>\n\t\t<c/>\n\t\t<d/>\n\t</b>\n</r>");
}

TEST_F(ElementWriterTest, WhitespaceTextInlineKeepsContentUnindented) {
    BUILDER;
    quorvel_element* r = t.element("r");
    t.append(r, t.text("  "));
    t.append(r, t.element("a"));
    EXPECT_EQ(write(r, indented(2)), "<r>\n  <a/>\n</r>");
    ser_buffer s = indented(2);
    s.whitespace_text_inline = 1;
    EXPECT_EQ(write(r, s), "<r>  <a/></r>");
}

TEST_F(ElementWriterTest, LoneWhitespaceTextStaysAndTopGetsNoLineFeeds) {
    BUILDER;
    quorvel_element* a = t.element("a");
    t.append(a, t.text("  "));
    EXPECT_EQ(write(a, indented(2)), "<a>  </a>");
    quorvel_element* leaf = t.element("leaf");
    t.append(leaf, t.text("v"));
    EXPECT_EQ(write(leaf, indented(2)), "<leaf>v</leaf>");
}

TEST_F(ElementWriterTest, MixedContentStaysInline) {
    BUILDER;
    quorvel_element* p = t.element("p");
    t.append(p, t.text("Hello "));
    quorvel_element* b = t.append(p, t.element("b"));
    t.append(t.append(b, t.element("i")), t.text("x"));
    t.append(p, t.element("i2"));
    EXPECT_EQ(write(p, indented(2)), "<p>Hello <b><i>x</i></b>\n<i2/></p>");
}

TEST_F(ElementWriterTest, CommentsAndPisInsideIndentedContent) {
    BUILDER;
    quorvel_element* r = t.element("r");
    t.append(r, t.comment("c"));
    t.append(r, t.pi("t", "d"));
    t.append(r, t.element("e"));
    t.append(r, t.comment("x", QUORVEL_NODE_ENTITY_REF));
    EXPECT_EQ(write(r, indented(1)), "<r>\n <!--c-->\n <?t d?>\n <e/>\n&x;</r>");
    EXPECT_EQ(write(r), "<r><!--c--><?t d?><e/>&x;</r>");
}

TEST_F(ElementWriterTest, IndentTextPutsTextOnItsOwnLines) {
    BUILDER;
    quorvel_element* r = t.element("r");
    quorvel_element* a = t.append(r, t.element("a"));
    t.append(a, t.text("x"));
    t.append(r, t.text("y"));
    ser_buffer s = indented(2);
    s.indent_text = 1;
    EXPECT_EQ(write(r, s), "<r>\n  <a>\n    x\n  </a>\n  y\n</r>");
}

TEST_F(ElementWriterTest, EmptyElementForms) {
    BUILDER;
    quorvel_element* br = t.element("br");
    quorvel_element* div = t.element("div");
    ser_buffer expand{};
    expand.expand_empty = 1;
    ser_buffer xhtml{};
    xhtml.xhtml = 1;
    ser_buffer xhtml_html = html();
    xhtml_html.xhtml = 1;
    EXPECT_EQ(write(br), "<br/>");
    EXPECT_EQ(write(br, expand), "<br></br>");
    EXPECT_EQ(write(br, html()), "<br>");
    EXPECT_EQ(write(br, xhtml), "<br />");
    EXPECT_EQ(write(br, xhtml_html), "<br />");
    EXPECT_EQ(write(div, html()), "<div></div>");
    EXPECT_EQ(write(div, xhtml), "<div></div>");
    // Only names in no namespace or the XHTML one are void in XHTML.
    quorvel_element* other = t.element("br");
    t.declare(other, nullptr, "urn:other");
    EXPECT_EQ(write(other, xhtml), "<br xmlns=\"urn:other\"></br>");
}

TEST_F(ElementWriterTest, AttributeValuesInXmlAndHtml) {
    BUILDER;
    quorvel_element* e = t.element("e");
    t.attribute(e, "v", "a<b\"c&d\t\n\r");
    t.attribute(e, "empty", "");
    t.attribute(e, "apos", "it's");
    EXPECT_EQ(write(e), "<e v=\"a&lt;b&quot;c&amp;d&#9;&#10;&#13;\" empty=\"\" apos=\"it's\"/>");
    EXPECT_EQ(write(e, html()), "<e v=\"a&lt;b&quot;c&amp;d\t\n&#13;\" empty=\"\" apos=\"it's\"></e>");
}

TEST_F(ElementWriterTest, HtmlUriAttributes) {
    BUILDER;
    const char* value = "/x y\xC3\xA9";
    quorvel_element* a = t.element("a");
    t.attribute(a, "href", value);
    t.attribute(a, "name", value);
    t.attribute(a, "title", value);
    quorvel_element* input = t.element("input");
    t.attribute(input, "name", "first name");
    t.attribute(input, "src", "a b");
    EXPECT_EQ(write(a, html()), "<a href=\"/x%20y%C3%A9\" name=\"/x%20y%C3%A9\" title=\"/x y\xC3\xA9\"></a>");
    EXPECT_EQ(write(input, html()), "<input name=\"first name\" src=\"a%20b\">");
    EXPECT_EQ(write(a), "<a href=\"/x y\xC3\xA9\" name=\"/x y\xC3\xA9\" title=\"/x y\xC3\xA9\"/>");
}

TEST_F(ElementWriterTest, HtmlUriAttributesOfReplacementBytesStayInBounds) {
    // Every byte of these values is written up to six times as long.
    BUILDER;
    std::string quotes(4000, '"');
    std::string amps(4000, '&');
    quorvel_element* a = t.element("a");
    t.attribute(a, "href", quotes.c_str());
    t.attribute(a, "src", amps.c_str());
    t.attribute(a, "name", (quotes + amps).c_str());
    t.append(a, t.text("x"));
    std::string q6, a5;
    for (int i = 0; i < 4000; i++) q6 += "&quot;", a5 += "&amp;";
    std::string expected = "<a href=\"" + q6 + "\" src=\"" + a5 + "\" name=\"" + q6 + a5 + "\">x</a>";
    EXPECT_EQ(write(a, html()), expected);
    EXPECT_EQ(write(a, html(2, 1)), expected);
}

TEST_F(ElementWriterTest, NamespacesAndPrefixes) {
    BUILDER;
    quorvel_element* r = t.prefixed("p", "r");
    t.declare(r, "p", "urn:p\"&<>");
    t.declare(r, nullptr, "urn:d");
    t.attribute(r, "p:a", "1");
    quorvel_element* c = t.append(r, t.prefixed("p", "c"));
    t.append(c, t.text("t"));
    EXPECT_EQ(write(r), "<p:r xmlns:p=\"urn:p&quot;&amp;&lt;&gt;\" xmlns=\"urn:d\" p:a=\"1\"><p:c>t</p:c></p:r>");
}

TEST_F(ElementWriterTest, AttributePrefixComesFromTheNamespaceRecord) {
    BUILDER;
    quorvel_element* e = t.element("e");
    quorvel_attribute* a = t.attribute(e, "q:x", "1");
    // A record whose prefix differs from the stored name's (a renamed prefix).
    auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
    ns->prefix = quorvel_pool_strdup(doc->pool, "z");
    EXPECT_EQ(write(e), "<e z:q:x=\"1\"/>");
    ns->prefix = quorvel_pool_strdup(doc->pool, "q");
    EXPECT_EQ(write(e), "<e q:x=\"1\"/>");
}

TEST_F(ElementWriterTest, ChainDeclarationsRepeatingWrittenOnesAreSkipped) {
    BUILDER;
    quorvel_element* e = t.prefixed("p", "e");
    t.declare(e, "p", "urn:p");
    t.declare(e, nullptr, "urn:d");
    t.attribute(e, "xmlns:p", "urn:p");
    t.attribute(e, "xmlns", "urn:d");
    t.attribute(e, "xmlns:q", "urn:q");
    t.attribute(e, "xmlns:q", "urn:q2");
    t.attribute(e, "xmlnsx", "kept");
    EXPECT_EQ(write(e), "<p:e xmlns:p=\"urn:p\" xmlns=\"urn:d\" xmlns:q=\"urn:q\" xmlnsx=\"kept\"/>");
}

TEST_F(ElementWriterTest, ElementInNoNamespaceBelowADefaultGetsAnUndeclaration) {
    BUILDER;
    quorvel_element* r = t.element("r");
    t.declare(r, nullptr, "urn:d");
    quorvel_element* c = t.append(r, t.element("c"));
    t.append(c, t.text("x"));
    quorvel_element* in_ns = t.append(r, t.element("n"));
    // c was made in no namespace: its namespace is settled as none.
    t.ext(c)->ns_uri = quorvel_pool_strdup(doc->pool, "");
    EXPECT_EQ(write(r), "<r xmlns=\"urn:d\"><c xmlns=\"\">x</c><n/></r>");
    EXPECT_EQ(write(c), "<c>x</c>");
    (void)in_ns;
}

TEST_F(ElementWriterTest, PendingAttributeValuesAreDecodedOnceAndStoredBack) {
    BUILDER;
    quorvel_element* e = t.root(t.element("e"));
    quorvel_attribute* a = t.attribute(e, "a", "x&lt;y&amp;z", true);
    t.attribute(e, "bad", "&undeclared;", true);
    EXPECT_EQ(write(e), "<e a=\"x&lt;y&amp;z\" bad=\"&amp;undeclared;\"/>");
    EXPECT_FALSE(a->hash & kAttrPendingEntities);
    EXPECT_STREQ(a->value, "x<y&z");
    EXPECT_EQ(a->value_length, 5u);
    EXPECT_EQ(write(e), "<e a=\"x&lt;y&amp;z\" bad=\"&amp;undeclared;\"/>");
}

TEST_F(ElementWriterTest, UnescapedTextIsWrittenAsIsInEveryForm) {
    BUILDER;
    auto raw = [&](const char* s) {
        quorvel_text* x = t.text(s);
        x->head.flags |= kTextNoEscape;
        return x;
    };
    quorvel_element* one = t.element("one");
    t.append(one, raw("<b>"));
    quorvel_element* attr = t.element("attr");
    t.attribute(attr, "k", "v");
    t.append(attr, raw("<b>"));
    quorvel_element* many = t.element("many");
    t.append(many, raw("<b>"));
    t.append(many, t.text("<"));
    t.append(many, t.element("x"));
    EXPECT_EQ(write(one), "<one><b></one>");
    EXPECT_EQ(write(attr, indented(2)), "<attr k=\"v\"><b></attr>");
    EXPECT_EQ(write(many), "<many><b>&lt;<x/></many>");
}

TEST_F(ElementWriterTest, CdataSectionElements) {
    BUILDER;
    const char* names[] = {nullptr, "s", "p:q"};
    ser_buffer s{};
    s.cdata_names = names;
    s.cdata_count = 3;
    quorvel_element* one = t.element("s");
    t.append(one, t.text("a<b]]>c"));
    EXPECT_EQ(write(one, s), "<s><![CDATA[a<b]]]]><![CDATA[>c]]></s>");
    quorvel_element* blank = t.element("s");
    t.append(blank, t.text(" \n"));
    EXPECT_EQ(write(blank, s), "<s> \n</s>");
    quorvel_element* two = t.element("s");
    t.append(two, t.text("a"));
    t.append(two, t.comment("&b", QUORVEL_NODE_CDATA));
    EXPECT_EQ(write(two, s), "<s><![CDATA[a&b]]></s>");
    quorvel_element* mixed = t.prefixed("p", "q");
    t.append(mixed, t.text("a"));
    t.append(mixed, t.element("b"));
    t.append(mixed, t.text("c"));
    EXPECT_EQ(write(mixed, s), "<p:q><![CDATA[a]]><b/><![CDATA[c]]></p:q>");
    quorvel_element* other = t.element("q");
    t.append(other, t.text("a<"));
    EXPECT_EQ(write(other, s), "<q>a&lt;</q>");
}

TEST_F(ElementWriterTest, XhtmlMetaLine) {
    BUILDER;
    ser_buffer s{};
    s.xhtml = 1;
    const std::string meta = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />";

    quorvel_element* h1 = t.element("html");
    quorvel_element* head1 = t.append(h1, t.element("head"));
    t.append(t.append(head1, t.element("title")), t.text("T"));
    EXPECT_EQ(write(h1, s), "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head>" + meta +
                                "<title>T</title></head></html>");
    ser_buffer si = s;
    si.indent = 2;
    EXPECT_EQ(write(h1, si), "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n  <head>\n    " + meta +
                                 "\n    <title>T</title>\n  </head>\n</html>");

    quorvel_element* h2 = t.element("html");
    quorvel_element* head2 = t.append(h2, t.element("head"));
    quorvel_element* m = t.append(head2, t.element("meta"));
    t.attribute(m, "http-equiv", "content-type");
    EXPECT_EQ(write(h2, s), "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><meta http-equiv=\"content-type\" />"
                            "</head></html>");

    quorvel_element* h3 = t.element("html");
    t.append(h3, t.element("head"));
    EXPECT_EQ(write(h3, s), "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head>" + meta + "</head></html>");
    EXPECT_EQ(write(h3, si), "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n  <head>\n    " + meta +
                                 "\n</head>\n</html>");
}

TEST_F(ElementWriterTest, HtmlLayout) {
    BUILDER;
    quorvel_element* body = t.element("body");
    quorvel_element* div = t.append(body, t.element("div"));
    t.append(t.append(div, t.element("p")), t.text("one"));
    t.append(t.append(div, t.element("p")), t.text("two"));
    t.append(body, t.element("br"));
    quorvel_element* script = t.append(body, t.element("script"));
    t.append(script, t.text("if (a < b && c) {}"));
    // Without indentation nothing is added.
    EXPECT_EQ(write(body, html()), "<body><div><p>one</p><p>two</p></div><br><script>if (a < b && c) {}</script></body>");
    EXPECT_EQ(write(body, html(2, 1)),
              "<body>\n  <div>\n    <p>one</p>\n    <p>two</p>\n  </div>\n  <br>  <script>if (a < b && c) {}</script>\n"
              "</body>");
    EXPECT_EQ(write(body, html(2, 0)),
              "<body>\n<div>\n<p>one</p>\n<p>two</p>\n</div>\n<br><script>if (a < b && c) {}</script>\n</body>");
}

TEST_F(ElementWriterTest, DeepTreesNeedNoRecursion) {
    BUILDER;
    quorvel_element* top = t.element("d");
    quorvel_element* cur = top;
    const int depth = 100000;
    for (int i = 1; i < depth; i++) cur = t.append(cur, t.element("d"));
    t.append(cur, t.text("x"));
    ser_buffer s{};
    s.depth = 7;
    std::string out = write(top, s);
    std::string expected;
    for (int i = 0; i < depth; i++) expected += "<d>";
    expected += "x";
    for (int i = 0; i < depth; i++) expected += "</d>";
    EXPECT_EQ(out, expected);
}

TEST_F(ElementWriterTest, NodeTableWriterTreatsTheElementAsNested) {
    BUILDER;
    quorvel_element* e = t.element("e");
    t.append(e, t.text("x"));
    ser_buffer b;
    ASSERT_TRUE(ser_buffer_init(&b));
    b.indent = 2;
    b.depth = 1;
    g_node_vtables[QUORVEL_NODE_ELEMENT]->serialize(&e->head, &b);
    EXPECT_EQ(std::string(b.data, b.length), "  <e>x</e>\n");
    ser_buffer_free(&b);
}

TEST_F(ElementWriterTest, HtmlClasses) {
    BUILDER;
    struct row {
        const char* name;
        unsigned char cls;
    } rows[] = {{"a", kHtmlInline},          {"DIV", kHtmlBlock},      {"Br", kHtmlVoid | kHtmlInline},
                {"wbr", kHtmlVoid | kHtmlBlock}, {"xmp", kHtmlRawText | kHtmlInline},
                {"style", kHtmlRawText | kHtmlBlock}, {"custom", 0}, {"blockquoteblock", 0}, {"h6", kHtmlBlock}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(html_elem_sem_flags(t.element(r.name)), r.cls);
    }
    EXPECT_EQ(html_elem_sem_flags(t.prefixed("h", "div")), 0);
}

}  // namespace
