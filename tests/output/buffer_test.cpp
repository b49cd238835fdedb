// The output buffer, the escapers and the writers of the non-element node
// kinds, driven directly on a ser_buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "output/output.h"
#include "support/failing_realloc.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

struct buffer_fixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(ser_buffer_init(&b)); }
    void TearDown() override { ser_buffer_free(&b); }
    std::string text() const { return std::string(b.data, b.length); }
    ser_buffer b;
};

using BufferTest = buffer_fixture;

TEST_F(BufferTest, GrowsByDoublingAndKeepsTheTextTerminated) {
    EXPECT_EQ(b.capacity, 1024u);
    std::string chunk(1000, 'x');
    buffer_append_len(&b, chunk.data(), chunk.size());
    buffer_append_len(&b, chunk.data(), chunk.size());
    EXPECT_EQ(b.capacity, 2048u);
    buffer_append_len(&b, chunk.data(), 1000);
    EXPECT_EQ(b.capacity, 4096u);
    EXPECT_EQ(b.length, 3000u);
    EXPECT_EQ(b.data[b.length], '\0');
    EXPECT_FALSE(b.out_of_memory);
}

TEST_F(BufferTest, FailedGrowthDropsThatAppendOnlyAndIsRemembered) {
    buffer_append(&b, "kept");
    std::string big(5000, 'y');
    {
        failing_realloc fail(0);
        buffer_append_len(&b, big.data(), big.size());
        ser_append_escaped(&b, big.data(), big.size(), SER_ESCAPE_TEXT);
    }
    EXPECT_EQ(text(), "kept");
    EXPECT_EQ(b.data[b.length], '\0');
    EXPECT_EQ(b.out_of_memory, 1);
    buffer_append(&b, "+more");
    EXPECT_EQ(text(), "kept+more");
    EXPECT_EQ(b.out_of_memory, 1);
    // A buffer that ever failed is never handed out as a success.
    EXPECT_EQ(ser_buffer_take(&b), nullptr);
}

TEST_F(BufferTest, LineFeedsAndIndentation) {
    struct row {
        int indent, depth, indent_text, html, html_indent;
        const char* indent_string;
        const char* expected;  // after newline, newline, indent
    } rows[] = {
        {2, 3, 0, 0, 0, nullptr, "\n\n      "},
        {2, 3, 1, 0, 0, nullptr, "\n      "},  // no newline right after a newline
        {2, 3, 0, 0, 0, "\t", "\n\n\t\t\t"},
        {2, 3, 0, 1, 0, nullptr, "\n\n"},  // HTML without html_indent: no indentation
        {2, 3, 0, 1, 1, nullptr, "\n\n      "},
        {0, 3, 0, 0, 0, nullptr, ""},
        {-1, 3, 0, 0, 0, "\t", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        ser_buffer_free(&b);
        ASSERT_TRUE(ser_buffer_init(&b));
        b.indent = r.indent;
        b.depth = r.depth;
        b.indent_text = r.indent_text;
        b.html = r.html;
        b.html_indent = r.html_indent;
        b.indent_string = r.indent_string;
        buffer_append_newline(&b);
        buffer_append_newline(&b);
        buffer_append_indent(&b);
        EXPECT_EQ(text(), r.expected);
    }
}

TEST_F(BufferTest, EscapingByMode) {
    struct row {
        ser_escape_mode mode;
        const char* in;
        const char* out;
    } rows[] = {
        // Text: every '&' is escaped, so text that looks like a reference survives a round trip.
        {SER_ESCAPE_TEXT, "a&amp;b&#38;c&x;d<e>f\"g'", "a&amp;amp;b&amp;#38;c&amp;x;d&lt;e&gt;f\"g'"},
        {SER_ESCAPE_TEXT, "&", "&amp;"},
        {SER_ESCAPE_TEXT, "a\r\nb\tc", "a&#13;\nb\tc"},
        {SER_ESCAPE_ATTR_XML, "a<b\"c&d\te\nf\rg'h>", "a&lt;b&quot;c&amp;d&#9;e&#10;f&#13;g'h&gt;"},
        {SER_ESCAPE_ATTR_HTML, "a<b\"c&d\te\nf\rg'h>", "a&lt;b&quot;c&amp;d\te\nf&#13;g'h&gt;"},
        {SER_ESCAPE_URI_HTML, "/a b\xC3\xA9?x=1&y=\"2\"<>\x7F\t", "/a%20b%C3%A9?x=1&amp;y=&quot;2&quot;&lt;&gt;%7F%09"},
        {SER_ESCAPE_NS_URI, "u\"&<>'\t", "u&quot;&amp;&lt;&gt;'\t"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        ser_buffer_free(&b);
        ASSERT_TRUE(ser_buffer_init(&b));
        ser_append_escaped(&b, r.in, std::strlen(r.in), r.mode);
        EXPECT_EQ(text(), r.out);
        EXPECT_EQ(b.data[b.length], '\0');
    }
}

TEST_F(BufferTest, EscapingGrowsAsReplacementsNeedRoom) {
    // Each of these bytes is written six times as long: room must follow the output, not the input.
    std::string quotes(5000, '"');
    ser_append_escaped(&b, quotes.data(), quotes.size(), SER_ESCAPE_URI_HTML);
    EXPECT_EQ(b.length, 30000u);
    EXPECT_EQ(text().substr(0, 12), "&quot;&quot;");
    std::string mixed;
    for (int i = 0; i < 3000; i++) mixed += "&\"\x01";
    ser_buffer_free(&b);
    ASSERT_TRUE(ser_buffer_init(&b));
    ser_append_escaped(&b, mixed.data(), mixed.size(), SER_ESCAPE_URI_HTML);
    EXPECT_EQ(b.length, 3000u * (5 + 6 + 3));
    EXPECT_EQ(text().substr(0, 14), "&amp;&quot;%01");
}

// The escapers check many bytes at a time; every length and every position
// of a special byte must give what a byte-by-byte reading gives.
std::string reference_escape(const std::string& in, ser_escape_mode mode) {
    std::string out;
    for (unsigned char c : in) {
        bool quote_mode = mode != SER_ESCAPE_TEXT;
        if (mode == SER_ESCAPE_URI_HTML && (c < '!' || c > '~')) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"' && quote_mode) {
            out += "&quot;";
        } else if (c == '\r' && mode != SER_ESCAPE_NS_URI) {
            out += "&#13;";
        } else if (c == '\t' && mode == SER_ESCAPE_ATTR_XML) {
            out += "&#9;";
        } else if (c == '\n' && mode == SER_ESCAPE_ATTR_XML) {
            out += "&#10;";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

TEST_F(BufferTest, EscapingMatchesAByteByByteReadingAtEveryLengthAndPosition) {
    const ser_escape_mode modes[] = {SER_ESCAPE_TEXT, SER_ESCAPE_ATTR_XML, SER_ESCAPE_ATTR_HTML, SER_ESCAPE_URI_HTML,
                                     SER_ESCAPE_NS_URI};
    const char specials[] = {'&', '<', '>', '"', '\r', '\t', '\n', ' ', '\x01', '\x7F', '\xE9', '\''};
    for (ser_escape_mode mode : modes) {
        for (size_t len = 1; len <= 40; len++) {
            for (size_t pos = 0; pos < len; pos++) {
                for (char special : specials) {
                    std::string in(len, 'a');
                    in[pos] = special;
                    in[len - 1 - pos / 2] = special;
                    ser_buffer_free(&b);
                    ASSERT_TRUE(ser_buffer_init(&b));
                    buffer_append(&b, "x");
                    ser_append_escaped(&b, in.data(), in.size(), mode);
                    ASSERT_EQ(text(), "x" + reference_escape(in, mode))
                        << "mode " << mode << " length " << len << " position " << pos << " byte " << int(special);
                }
            }
        }
    }
}

// The short-value form the plain walk uses: the bytes escaped into a
// reservation of n + kSerEscapeSlack, growing from there.
template <ser_escape_mode M>
void append_escaped_short(ser_buffer* b, const std::string& in) {
    ASSERT_TRUE(buffer_ensure_capacity(b, in.size() + kSerEscapeSlack + 1));
    char* out = ser_escape::escape_into_short<M>(b, b->data + b->length, in.data(), in.size(), 0);
    ASSERT_NE(out, nullptr);
    *out = '\0';
    b->length = static_cast<size_t>(out - b->data);
}

void append_escaped_short(ser_buffer* b, const std::string& in, ser_escape_mode mode) {
    switch (mode) {
        case SER_ESCAPE_TEXT: return append_escaped_short<SER_ESCAPE_TEXT>(b, in);
        case SER_ESCAPE_ATTR_XML: return append_escaped_short<SER_ESCAPE_ATTR_XML>(b, in);
        case SER_ESCAPE_ATTR_HTML: return append_escaped_short<SER_ESCAPE_ATTR_HTML>(b, in);
        case SER_ESCAPE_URI_HTML: return append_escaped_short<SER_ESCAPE_URI_HTML>(b, in);
        case SER_ESCAPE_NS_URI: return append_escaped_short<SER_ESCAPE_NS_URI>(b, in);
    }
}

// Runs of special bytes of every density, escaped into buffers filled to
// every point of their block, so that growth comes at every step of the
// sixteen-byte loop; both entry forms against the byte-by-byte reading.
TEST_F(BufferTest, EscapingDenseAndSparseRunsWhileGrowing) {
    const ser_escape_mode modes[] = {SER_ESCAPE_TEXT, SER_ESCAPE_ATTR_XML, SER_ESCAPE_ATTR_HTML, SER_ESCAPE_URI_HTML,
                                     SER_ESCAPE_NS_URI};
    const char specials[] = "&<>\"\r\t\n \x01\x7F\xE9'";
    std::mt19937 rng(20240611);
    for (ser_escape_mode mode : modes) {
        for (int round = 0; round < 2000; round++) {
            const size_t len = rng() % 120;
            const unsigned density = rng() % 5;  // 0: none, 4: nearly all
            std::string in;
            for (size_t i = 0; i < len; i++)
                in += rng() % 4 < density ? specials[rng() % (sizeof specials - 1)] : static_cast<char>('a' + rng() % 26);
            const std::string fill(rng() % 1100, 'f');
            for (bool short_form : {false, true}) {
                ser_buffer_free(&b);
                ASSERT_TRUE(ser_buffer_init(&b));
                buffer_append(&b, fill.c_str());
                if (short_form)
                    append_escaped_short(&b, in, mode);
                else
                    ser_append_escaped(&b, in.data(), in.size(), mode);
                ASSERT_EQ(text(), fill + reference_escape(in, mode))
                    << "mode " << mode << " round " << round << (short_form ? " short form" : "");
                ASSERT_EQ(b.data[b.length], '\0');
            }
        }
    }
}

TEST(InlineEscaper, WritesTheTextRule) {
    const char* in = "x&amp;y\r<z>";
    char out[6 * 12];
    char* end = emit_escaped_inline(out, in, std::strlen(in));
    EXPECT_EQ(std::string(out, end), "x&amp;amp;y&#13;&lt;z&gt;");
}

// ---- Node-kind writers -----------------------------------------------------------------

struct NodeWriterTest : buffer_fixture {
    void SetUp() override {
        buffer_fixture::SetUp();
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override {
        quorvel_document_free(doc);
        buffer_fixture::TearDown();
    }
    std::string write(const void* node) {
        b.length = 0;
        b.data[0] = '\0';
        auto* n = static_cast<const quorvel_node*>(node);
        g_node_vtables[n->kind]->serialize(n, &b);
        return text();
    }
    quorvel_document* doc = nullptr;
};

TEST_F(NodeWriterTest, LeafKinds) {
    tree_builder t(doc);
    EXPECT_EQ(write(t.text("a&amp;b<c>\r")), "a&amp;amp;b&lt;c&gt;&#13;");
    quorvel_text* raw = t.text("<b>&amp;");
    raw->head.flags |= kTextNoEscape;
    EXPECT_EQ(write(raw), "<b>&amp;");
    EXPECT_EQ(write(t.text("")), "");
    EXPECT_EQ(write(t.comment("c")), "<!--c-->");
    EXPECT_EQ(write(t.comment("")), "<!---->");
    quorvel_comment* no_content = t.comment("");
    no_content->content = nullptr;
    EXPECT_EQ(write(no_content), "");
    EXPECT_EQ(write(t.comment("]]>", QUORVEL_NODE_CDATA)), "<![CDATA[]]]]><![CDATA[>]]>");
    EXPECT_EQ(write(t.comment("a]]>b]]>", QUORVEL_NODE_CDATA)), "<![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>]]>");
    EXPECT_EQ(write(t.comment("", QUORVEL_NODE_CDATA)), "<![CDATA[]]>");
    EXPECT_EQ(write(t.comment("amp", QUORVEL_NODE_ENTITY_REF)), "&amp;");
    EXPECT_EQ(write(t.pi("t", "")), "<?t?>");
    EXPECT_EQ(write(t.pi("t", nullptr)), "<?t?>");
    EXPECT_EQ(write(t.pi("t", "d")), "<?t d?>");
    EXPECT_EQ(write(t.pi(nullptr, "d")), "");
    b.html = 1;
    EXPECT_EQ(write(t.pi("t", "")), "<?t>");
    EXPECT_EQ(write(quorvel_document_node(doc)), "");
}

TEST_F(NodeWriterTest, Doctypes) {
    tree_builder t(doc);
    struct row {
        const char *name, *pub, *sys, *subset, *expected;
    } rows[] = {
        {"r", nullptr, nullptr, nullptr, "<!DOCTYPE r>"},
        {"html", "-//W3C//DTD XHTML 1.0 Strict//EN", nullptr, nullptr,
         "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\">"},
        {"html", "p", "s.dtd", nullptr, "<!DOCTYPE html PUBLIC \"p\" \"s.dtd\">"},
        {"r", nullptr, "r.dtd", nullptr, "<!DOCTYPE r SYSTEM \"r.dtd\">"},
        {"r", nullptr, "say\"hi\".dtd", nullptr, "<!DOCTYPE r SYSTEM 'say\"hi\".dtd'>"},
        {"r", nullptr, nullptr, " \n\t\r ", "<!DOCTYPE r>"},
        {"r", nullptr, nullptr, "\n <!ELEMENT r ANY><!ATTLIST r a CDATA #IMPLIED>\n",
         "<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!ATTLIST r a CDATA #IMPLIED>\n]>"},
        {nullptr, nullptr, "x", nullptr, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        EXPECT_EQ(write(t.doctype(r.name, r.pub, r.sys, r.subset)), r.expected);
    }
}

TEST_F(NodeWriterTest, CdataCheckedAndMeta) {
    emit_cdata_checked(&b, " \t\n", 3);
    emit_cdata_checked(&b, "", 0);
    emit_cdata_checked(&b, "a]]>b", 5);
    EXPECT_EQ(text(), " \t\n<![CDATA[a]]]]><![CDATA[>b]]>");
    b.length = 0;
    emit_xhtml_meta(&b);
    b.meta_charset = "ISO-8859-1";
    emit_xhtml_meta(&b);
    EXPECT_EQ(text(),
              "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />"
              "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\" />");
}

}  // namespace
