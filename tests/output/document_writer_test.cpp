// The public serialize and save functions: prolog layout, option records,
// the caller-buffer protocol, files, and failure when memory runs out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"
#include "output/output.h"
#include "support/failing_realloc.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

std::string take(char* s) {
    EXPECT_NE(s, nullptr);
    std::string r = s ? s : "<NULL>";
    quorvel_free_string(s);
    return r;
}

std::string read_file(const std::string& path) {
    std::string r;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
        std::fclose(f);
    }
    return r;
}

struct DocumentWriterTest : ::testing::Test {
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { quorvel_document_free(doc); }
    quorvel_document* doc = nullptr;
};

TEST_F(DocumentWriterTest, RootAloneHasNoTrailingLineFeed) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    t.append(r, t.element("a"));
    EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)), "<r><a/></r>");
    quorvel_serialize_options indent{2, 0, nullptr};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)), "<r>\n  <a/>\n</r>");
}

TEST_F(DocumentWriterTest, Declaration) {
    tree_builder t(doc);
    t.root(t.element("r"));
    quorvel_serialize_options ask{0, 1, nullptr};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &ask)), "<?xml version=\"1.0\"?><r/>");
    t.declaration("1.0", "windows-1252", 1);
    EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)),
              "<?xml version=\"1.0\" encoding=\"windows-1252\" standalone=\"yes\"?><r/>");
    quorvel_serialize_options utf16{0, 0, "UTF-16"};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &utf16)),
              "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\"?><r/>");
    t.declaration(nullptr, "UTF-8", 0);
    // Without a version there is no declaration unless asked for, and never a standalone.
    EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)), "<r/>");
    EXPECT_EQ(take(quorvel_document_serialize(doc, &ask)), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>");
}

TEST_F(DocumentWriterTest, DeclarationNeverNamesAnEncodingTheBytesAreNotIn) {
    tree_builder t(doc);
    t.root(t.element("r"));
    struct row {
        const char* declared;
        const char* written;
    } rows[] = {{"UTF-16LE", "UTF-8"}, {"UTF-16BE", "UTF-8"}, {"ISO-8859-1", "UTF-8"},
                {"utf-16", "UTF-8"},   {"UTF-8", "UTF-8"},    {"latin1", "latin1"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.declared);
        t.declaration("1.0", r.declared, -1);
        EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)),
                  std::string("<?xml version=\"1.0\" encoding=\"") + r.written + "\"?><r/>");
        EXPECT_EQ(take(quorvel_serialize_document(doc)),
                  std::string("<?xml version=\"1.0\" encoding=\"") + r.written + "\"?><r/>");
    }
    // An encoding the caller names is written as given.
    quorvel_serialize_options latin{0, 0, "ISO-8859-1"};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &latin)), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>");
}

TEST_F(DocumentWriterTest, PrologLayout) {
    tree_builder t(doc);
    t.declaration("1.0", nullptr, -1);
    t.doctype("r", nullptr, "r.dtd", nullptr);
    t.top_level(t.comment("before"));
    t.top_level(t.pi("pi", "x"));
    quorvel_element* r = t.root(t.element("r"));
    t.append(r, t.element("a"));
    t.top_level(t.comment("after"));
    quorvel_serialize_options indent{2, 0, nullptr};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)),
              "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"r.dtd\">\n<!--before-->\n<?pi x?>\n<r>\n  <a/>\n</r>"
              "<!--after-->\n");
    EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)),
              "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"r.dtd\"><!--before--><?pi x?><r><a/></r><!--after-->");
    doc->has_declaration = 0;
    EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)),
              "<!DOCTYPE r SYSTEM \"r.dtd\">\n<!--before-->\n<?pi x?>\n<r>\n  <a/>\n</r><!--after-->\n");
}

TEST_F(DocumentWriterTest, TopLevelPisEndAsXmlInHtmlOutput) {
    tree_builder t(doc);
    t.top_level(t.pi("xml-stylesheet", "href=\"s.css\""));
    quorvel_element* r = t.root(t.element("html"));
    t.append(r, t.pi("php", "echo 1"));
    t.append(r, t.element("br"));
    EXPECT_EQ(take(quorvel_document_serialize_html(doc, nullptr)),
              "<?xml-stylesheet href=\"s.css\"?><html><?php echo 1><br></html>");
}

TEST_F(DocumentWriterTest, ExtendedSettingsOfTheTransformOutput) {
    tree_builder t(doc);
    quorvel_element* html = t.root(t.element("html"));
    quorvel_element* head = t.append(html, t.element("head"));
    t.append(t.append(head, t.element("script")), t.text("a<b"));
    t.append(t.append(html, t.element("body")), t.text("x"));
    serialize_ex_options ex{};
    ex.xhtml = 1;
    ex.method = -1;
    quorvel_serialize_options latin{0, 0, "ISO-8859-1"};
    EXPECT_EQ(take(quorvel_document_serialize_ex(doc, &latin, &ex)),
              "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><meta http-equiv=\"Content-Type\" "
              "content=\"text/html; charset=ISO-8859-1\" /><script>a&lt;b</script></head><body>x</body></html>");
    ex.xhtml = 0;
    ex.method = 1;
    const char* cdata[] = {"body"};
    ex.cdata_names = cdata;
    ex.cdata_count = 1;
    EXPECT_EQ(take(quorvel_document_serialize_ex(doc, nullptr, &ex)),
              "<html><head><script>a<b</script></head><body><![CDATA[x]]></body></html>");
}

TEST_F(DocumentWriterTest, DocumentsWithoutRoot) {
    EXPECT_EQ(quorvel_document_serialize(doc, nullptr), nullptr);
    EXPECT_EQ(quorvel_document_serialize(nullptr, nullptr), nullptr);
    EXPECT_EQ(quorvel_serialize_document(nullptr), nullptr);
    tree_builder t(doc);
    t.top_level(t.comment("only"));
    t.top_level(t.text("\n"));
    t.top_level(t.pi("p", ""));
    quorvel_serialize_options indent{2, 0, nullptr};
    EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)), "<!--only--><?p?>");
    t.declaration("1.1", nullptr, 0);
    EXPECT_EQ(take(quorvel_document_serialize(doc, nullptr)),
              "<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"no\"?><!--only--><?p?>");
    EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)), "<!--only--><?p?>");
}

TEST_F(DocumentWriterTest, ExtensionRecordIsReadOnlyAsFarAsItsStatedSize) {
    quorvel_document* h = quorvel_document_create_html();
    ASSERT_NE(h, nullptr);
    {
        tree_builder t(h);
        quorvel_element* r = t.root(t.element("r"));
        t.append(r, t.text("x"));
        t.append(r, t.element("br"));
    }
    quorvel_serialize_options indent{1, 0, nullptr};
    quorvel_serialize_ext_options ext{1, "\t", 1, -1, 0};
    EXPECT_EQ(take(quorvel_document_serialize(h, nullptr)), "<r>x<br></r>");
    EXPECT_EQ(take(quorvel_document_serialize_ext_sized(h, nullptr, &ext, 20)), "<r>x<br></r>");
    EXPECT_EQ(take(quorvel_document_serialize_ext_sized(h, nullptr, &ext, 24)), "<r>x<br></br></r>");
    EXPECT_EQ(take(quorvel_document_serialize_ext_sized(h, &indent, &ext, 3)), "<r>x<br></r>");
    EXPECT_EQ(take(quorvel_document_serialize_ext(h, &indent, &ext)), "<r>\n\tx\n\t<br></br>\n</r>");
    EXPECT_EQ(take(quorvel_document_serialize_ext(h, nullptr, nullptr)), "<r>x<br></r>");
    quorvel_document_free(h);

    tree_builder t(doc);
    t.root(t.element("br"));
    quorvel_serialize_ext_options html{0, nullptr, 0, 1, 0};
    EXPECT_EQ(take(quorvel_document_serialize_ext(doc, nullptr, &html)), "<br>");
    EXPECT_EQ(take(quorvel_document_serialize_html(doc, nullptr)), "<br>");
    EXPECT_EQ(take(quorvel_document_serialize_ext_sized(doc, nullptr, &html, 23)), "<br/>");
}

TEST_F(DocumentWriterTest, ElementForms) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    quorvel_element* br = t.append(r, t.element("br"));
    t.attribute(br, "src", "a b");
    quorvel_serialize_options indent{2, 1, "latin1"};
    EXPECT_EQ(take(quorvel_element_serialize(r, nullptr)), "<r><br src=\"a b\"/></r>");
    EXPECT_EQ(take(quorvel_element_serialize(r, &indent)), "<r>\n  <br src=\"a b\"/>\n</r>");
    quorvel_serialize_ext_options xml_minus{0, nullptr, 0, -1, 0};
    EXPECT_EQ(take(quorvel_element_serialize_ext(br, nullptr, &xml_minus)), "<br src=\"a%20b\">");
    EXPECT_EQ(take(quorvel_element_serialize_ext_sized(br, nullptr, &xml_minus, 20)), "<br src=\"a b\"/>");
    EXPECT_EQ(take(quorvel_element_serialize_ext(br, nullptr, nullptr)), "<br src=\"a b\"/>");
    EXPECT_EQ(quorvel_element_serialize(nullptr, nullptr), nullptr);
    // An element without a name gives the empty text from every form.
    quorvel_element* unnamed = t.element("x");
    unnamed->name = 0;
    EXPECT_EQ(take(quorvel_element_serialize(unnamed, nullptr)), "");
    EXPECT_EQ(take(quorvel_element_serialize_ext(unnamed, nullptr, &xml_minus)), "");
    size_t len = 99;
    EXPECT_EQ(quorvel_element_serialize_into(unnamed, nullptr, 0, &len, nullptr), 1u);
    EXPECT_EQ(len, 0u);
}

TEST_F(DocumentWriterTest, IntoProtocol) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    t.append(r, t.text("hello"));
    const std::string expected = "<r>hello</r>";
    size_t len = 0;
    ASSERT_EQ(quorvel_element_serialize_into(r, nullptr, 0, nullptr, nullptr), expected.size() + 1);
    char buf[64];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(quorvel_element_serialize_into(r, buf, expected.size(), &len, nullptr), expected.size() + 1);
    EXPECT_EQ(len, expected.size());
    EXPECT_EQ(buf[0], 'Z');  // one byte short: nothing copied
    EXPECT_EQ(quorvel_element_serialize_into(r, buf, expected.size() + 1, &len, nullptr), expected.size() + 1);
    EXPECT_STREQ(buf, expected.c_str());
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(quorvel_document_serialize_into(doc, buf, sizeof buf, &len, nullptr), expected.size() + 1);
    EXPECT_STREQ(buf, expected.c_str());
    EXPECT_EQ(quorvel_document_serialize_into(nullptr, buf, sizeof buf, &len, nullptr), 0u);
    EXPECT_EQ(quorvel_element_serialize_into(nullptr, buf, sizeof buf, &len, nullptr), 0u);
    quorvel_document* empty = quorvel_document_create();
    EXPECT_EQ(quorvel_document_serialize_into(empty, buf, sizeof buf, &len, nullptr), 0u);
    quorvel_document_free(empty);
}

TEST_F(DocumentWriterTest, SaveFiles) {
    char dir[] = "/tmp/quorvel_save_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out.xml";
    EXPECT_EQ(quorvel_document_save_file(doc, path.c_str(), nullptr), QUORVEL_ERR_INVALID_ARGUMENT);
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    t.append(r, t.element("br"));
    EXPECT_EQ(quorvel_document_save_file(nullptr, path.c_str(), nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_document_save_file(doc, nullptr, nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_document_save_file(doc, path.c_str(), nullptr), QUORVEL_OK);
    EXPECT_EQ(read_file(path), "<r><br/></r>");
    EXPECT_EQ(quorvel_document_save_html(doc, path.c_str(), nullptr), QUORVEL_OK);
    EXPECT_EQ(read_file(path), "<r><br></r>");
    EXPECT_EQ(quorvel_document_save_file(doc, (std::string(dir) + "/missing/out.xml").c_str(), nullptr),
              QUORVEL_ERR_IO);
    EXPECT_EQ(quorvel_document_save_file(doc, "/dev/full", nullptr), QUORVEL_ERR_IO);
    unlink(path.c_str());
    rmdir(dir);
}

// ---- Out of memory ---------------------------------------------------------------------

TEST_F(DocumentWriterTest, RunningOutOfMemoryFailsTheCallInsteadOfTruncating) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    const char* names[] = {"c"};
    quorvel_element* cur = r;
    // Deep enough to grow the frame stack, long enough to grow the buffer,
    // and a CDATA-section element to grow its gathering block.
    for (int i = 0; i < 300; i++) {
        cur = t.append(cur, t.element(i == 150 ? "c" : "d"));
        t.attribute(cur, "a", std::string(40, '"').c_str());
        t.append(cur, t.text(std::string(60, '<').c_str()));
    }
    serialize_ex_options ex{};
    ex.cdata_names = names;
    ex.cdata_count = 1;
    const std::string full = take(quorvel_document_serialize_ex(doc, nullptr, &ex));
    ASSERT_GT(full.size(), 50000u);
    // A small output first, so the buffer starts small and has to grow.
    quorvel_element* leaf = t.element("leaf");
    EXPECT_EQ(take(quorvel_element_serialize(leaf, nullptr)), "<leaf/>");
    int failures = 0;
    for (int allowed = 0;; allowed++) {
        char* text;
        {
            failing_realloc fail(allowed);
            text = quorvel_document_serialize_ex(doc, nullptr, &ex);
        }
        if (text) {
            EXPECT_EQ(text, full);
            quorvel_free_string(text);
            break;
        }
        failures++;
    }
    EXPECT_GT(failures, 5);
    {
        failing_realloc fail(3);
        EXPECT_EQ(quorvel_element_serialize(r, nullptr), nullptr);
        EXPECT_EQ(quorvel_document_save_file(doc, "/tmp/quorvel_never_written.xml", nullptr), QUORVEL_ERR_MEMORY);
        EXPECT_EQ(quorvel_element_serialize_into(r, nullptr, 0, nullptr, nullptr), 0u);
    }
    EXPECT_NE(access("/tmp/quorvel_never_written.xml", F_OK), 0);
}

// A document whose elements each got a declared default: writing it costs
// time in proportion to its size (a lookup per element that searched the
// declarations or the elements would make this size take many seconds).
TEST(DocumentWriter, DefaultedDocumentsAreWrittenInLinearTime) {
    const int n = 20000;
    std::string text = "<!DOCTYPE r [";
    for (int i = 0; i < n; i++)
        text += "<!ELEMENT e" + std::to_string(i) + " EMPTY><!ATTLIST e" + std::to_string(i) + " a CDATA 'v&amp;'>";
    text += "]><r>";
    for (int i = 0; i < n; i++) text += "<e" + std::to_string(i) + "/>";
    text += "</r>";
    int status = -1;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status);
    ASSERT_EQ(status, 0);
    auto start = std::chrono::steady_clock::now();
    std::string first = take(quorvel_document_serialize(doc, nullptr));
    std::string second = take(quorvel_document_serialize(doc, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(first, second);
    EXPECT_NE(first.find("<r><e0 a=\"v&amp;\"/><e1 a=\"v&amp;\"/>"), std::string::npos);
    EXPECT_NE(first.find("<e19999 a=\"v&amp;\"/></r>"), std::string::npos);
    quorvel_document_free(doc);
}

}  // namespace

// Indenting a document read with its blank text kept lays it out as it lays
// out the same document without that text, in the fast walk and the general
// one; so indented output read back and indented again is unchanged.
TEST(DocumentWriterLayout, BlankTextBetweenElementsGivesWayToTheLayout) {
    static const char* const kCompact[] = {
        "<r><a><b>x</b></a><a><b>y</b></a></r>",
        "<r><a k=\"1\"><b/><c>t</c></a><!--n--><d><e><f/></e></d></r>",
        "<p:r xmlns:p=\"urn:p\"><p:a><p:b>1</p:b></p:a><q/></p:r>",
    };
    quorvel_serialize_options indent{2, 0, nullptr};
    for (const char* compact : kCompact) {
        for (bool plain : {true, false}) {
            g_ser_plain_walk = plain;
            quorvel_document* doc = quorvel_parse_string(compact, std::strlen(compact), nullptr);
            ASSERT_NE(doc, nullptr) << compact;
            std::string laid_out = take(quorvel_document_serialize(doc, &indent));
            quorvel_document_free(doc);
            doc = quorvel_parse_string(laid_out.data(), laid_out.size(), nullptr);
            ASSERT_NE(doc, nullptr) << laid_out;
            EXPECT_EQ(take(quorvel_document_serialize(doc, &indent)), laid_out) << compact << " plain walk " << plain;
            quorvel_document_free(doc);
        }
    }
    g_ser_plain_walk = true;
}

// A large output given back with quorvel_free_string waits in the shared
// cache and is written into again by the next output of about its size, so
// a loop of outputs does not fault fresh pages in each time.
TEST(DocumentWriterMemory, LargeOutputsStayWarmForTheNextOutput) {
    quorvel_thread_cleanup();
    std::string text = "<r>";
    while (text.size() < (2u << 20)) text += "<item a='1'><v>some text</v></item>";
    text += "</r>";
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    ASSERT_NE(doc, nullptr);
    for (int indent : {0, 2}) {
        quorvel_serialize_options options{indent, 0, nullptr};
        char* first = quorvel_document_serialize(doc, &options);
        ASSERT_NE(first, nullptr);
        std::string written = first;
        quorvel_free_string(first);
        char* again = quorvel_document_serialize(doc, &options);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again, first) << "indent " << indent;  // the same block, taken warm
        EXPECT_EQ(written, again);
        quorvel_free_string(again);
    }
    quorvel_document_free(doc);
    quorvel_thread_cleanup();
    quorvel_retain_lock();
    EXPECT_EQ(g_retain.count, 0u);
    quorvel_retain_unlock();
}
