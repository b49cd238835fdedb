// Include processing on fixture files: XML and text includes, fallbacks,
// bases and the catalog, the loader, and the failures that leave an
// include in place.
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "core/core.h"
#include "xinclude/xinclude.h"
#include "xinclude/xinclude_support.h"

namespace {

using namespace xinclude_test;

std::string R(const std::string& body) { return std::string("<r ") + kXi + ">" + body + "</r>"; }
std::string inc(const std::string& attrs, const std::string& inside = "") {
    return inside.empty() ? "<xi:include " + attrs + "/>" : "<xi:include " + attrs + ">" + inside + "</xi:include>";
}

using XincludeFiles = Files;

TEST_F(XincludeFiles, IncludesXmlAndTextAndFallbacks) {
    write("a.xml", "<?xml version='1.0'?><!-- c --><a x='1'><b/>t</a>");
    write("t.txt", "plain <text> & more\n");
    struct {
        std::string body;
        std::string expected;
    } cases[] = {
        // A whole document comes with its top-level comments.
        {inc("href='a.xml'"), "<!-- c --><a x=\"1\"><b/>t</a>"},
        {inc("href='t.txt' parse='text'"), "plain &lt;text&gt; &amp; more\n"},
        {inc("href='t.txt' parse='text' encoding='ISO-8859-1'"), "plain &lt;text&gt; &amp; more\n"},
        // Every child of a fallback, in order, text and comments included.
        {inc("href='missing.xml'", "<xi:fallback>See <a/>.<!--n--></xi:fallback>"), "See <a/>.<!--n-->"},
        {inc("href='missing.xml'", "<xi:fallback>only text</xi:fallback>"), "only text"},
        {inc("href='missing.xml'", "<xi:fallback/>"), ""},
        // The fallback's own includes are processed once it is used.
        {inc("href='missing.xml'", "<xi:fallback><p>" + inc("href='a.xml'") + "</p></xi:fallback>"),
         "<p><!-- c --><a x=\"1\"><b/>t</a></p>"},
        // A fallback that is not used is not looked into.
        {inc("href='a.xml'", "<xi:fallback>" + inc("href='also-missing.xml'") + "</xi:fallback>"),
         "<!-- c --><a x=\"1\"><b/>t</a>"},
        {"<x>" + inc("href='a.xml' xpointer='element(/1)'") + "</x><y/>", "<x><a x=\"1\"><b/>t</a></x><y/>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(R(c.body)), 0) << c.body << ": " << last_error();
        EXPECT_EQ(serialize(doc.get()), "<r " + std::string(kXi) + ">" + c.expected + "</r>") << c.body;
    }
}

TEST_F(XincludeFiles, IncludesThatStayAnswerMinusSevenAndNameTheHref) {
    write("bad.xml", "<a><b></a>");
    write("empty.xml", "<?xml version='1.0'?>");
    write("nul.txt", std::string("a\0b", 3));
    write("ctl.txt", "a\x01z");
    write("latin.txt", "caf\xE9");
    write("a.xml", "<a/>");
    struct {
        std::string body;
        std::string why;
    } cases[] = {
        {inc("parse='xml'"), "no href"},
        {inc("href=''"), "no href"},
        {inc("href='missing.xml'"), "cannot be read"},
        {inc("href='bad.xml'"), "not well-formed"},
        {inc("href='empty.xml'"), "not well-formed"},
        {inc("href='a.xml' parse='html'"), "unknown parse value"},
        {inc("href='a.xml#x' xpointer='element(/1)'"), "both"},
        {inc("href='a.xml' parse='text' xpointer='element(/1)'"), "text include"},
        {inc("href='a.xml' xpointer='element(/2)'"), "selects nothing"},
        {inc("href='nul.txt' parse='text'"), "XML characters"},
        {inc("href='ctl.txt' parse='text'"), "XML characters"},
        {inc("href='latin.txt' parse='text'"), "XML characters"},
        {inc("href='#x'"), "same-document"},
    };
    for (const auto& c : cases) {
        std::string text = R("<k/>" + c.body + "<k/>");
        EXPECT_EQ(run(text), QUORVEL_ERR_IO) << c.body;
        std::string message = last_error();
        EXPECT_NE(message.find(c.why), std::string::npos) << c.body << ": " << message;
        EXPECT_NE(serialize(doc.get()).find("<xi:include"), std::string::npos) << c.body;
    }
    // The rest of the document is still processed, and the first failure is named.
    EXPECT_EQ(run(R(inc("href='gone1.xml'") + inc("href='a.xml'") + inc("href='gone2.xml'"))), QUORVEL_ERR_IO);
    EXPECT_NE(std::string(last_error()).find("\"gone1.xml\""), std::string::npos) << last_error();
    EXPECT_NE(serialize(doc.get()).find("<a/>"), std::string::npos);
    // The root element is never replaced.
    std::string root = std::string("<xi:include ") + kXi + " href='a.xml'/>";
    EXPECT_EQ(run(root), QUORVEL_ERR_IO);
    EXPECT_NE(std::string(last_error()).find("root"), std::string::npos);
    EXPECT_TRUE(quorvel_xinclude_is_include_element(quorvel_document_root(doc.get())));
}

TEST_F(XincludeFiles, NullAndEmptyDocuments) {
    EXPECT_EQ(quorvel_xinclude_process(nullptr, "x"), QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_xinclude_process_opts(nullptr, "x", nullptr), QUORVEL_ERR_NULL_ARGUMENT);
    doc_ptr empty(quorvel_document_create());
    EXPECT_EQ(quorvel_xinclude_process(empty.get(), nullptr), 0);
}

TEST_F(XincludeFiles, BasesResolveThroughXmlBaseAndNestedDocuments) {
    write("sub/a.xml", std::string("<a ") + kXi + "><xi:include href='deeper/b.xml'/></a>");
    write("sub/deeper/b.xml", "<b/>");
    write("other/c.xml", "<c/>");
    EXPECT_EQ(run(R("<s xml:base='sub/'>" + inc("href='a.xml'") + "</s>")), 0) << last_error();
    EXPECT_NE(serialize(doc.get()).find("<a xmlns:xi=\"http://www.w3.org/2001/XInclude\"><b/></a>"), std::string::npos)
        << serialize(doc.get());
    // An xml:base on the include itself; ".." segments resolve.
    EXPECT_EQ(run(R(inc("xml:base='sub/deeper/' href='../../other/c.xml'"))), 0) << last_error();
    EXPECT_NE(serialize(doc.get()).find("<c/>"), std::string::npos);
    // An xml:base with a scheme replaces the base.
    recording_loader loader;
    loader.texts["file:///elsewhere/x.xml"] = "<x/>";
    auto options = loader.options();
    EXPECT_EQ(run(R("<s xml:base='file:///elsewhere/'>" + inc("href='x.xml'") + "</s>"), &options), 0);
    EXPECT_EQ(loader.asked, std::vector<std::string>{"file:///elsewhere/x.xml"});
}

TEST_F(XincludeFiles, CatalogMapsTheResolvedReference) {
    std::string target = write("real/target.xml", "<mapped/>");
    std::string main = (dir / "main.xml").string();
    std::string resolved = (dir / "virtual.xml").string();
    std::string catalog = write("catalog.xml", "<catalog>\n  <uri name = 'nope' uri='x'/>\n  < uri  uri=\"" + target +
                                                   "\" name=\"" + resolved + "\" />\n</catalog>");
    quorvel_xinclude_options options{nullptr, nullptr, catalog.c_str(), 1};
    EXPECT_EQ(run(R(inc("href='virtual.xml'")), &options), 0) << last_error();
    EXPECT_NE(serialize(doc.get()).find("<mapped/>"), std::string::npos);
    // The name must equal the resolved reference, not the href as written.
    std::string unresolved = write("catalog2.xml", "<uri name='virtual.xml' uri='" + target + "'/>");
    options.catalog = unresolved.c_str();
    EXPECT_EQ(run(R(inc("href='virtual.xml'")), &options), QUORVEL_ERR_IO);
}

TEST_F(XincludeFiles, LoaderSuppliesRefusesOrLeavesReadingToTheLibrary) {
    write("disk.xml", "<disk/>");
    recording_loader loader;
    std::string given = (dir / "given.xml").string();
    loader.texts[given] = "<given/>";
    auto options = loader.options();
    // Unknown paths are refused: the file on disk is not read.
    EXPECT_EQ(run(R(inc("href='given.xml'") + inc("href='disk.xml'", "<xi:fallback>fb</xi:fallback>")), &options), 0);
    EXPECT_EQ(serialize(doc.get()), R("<given/>fb"));
    EXPECT_EQ(loader.asked.size(), 2u);
    // A loader that returns 0 leaves the reading to the library.
    loader.pass = true;
    EXPECT_EQ(run(R(inc("href='disk.xml'")), &options), 0);
    EXPECT_EQ(serialize(doc.get()), R("<disk/>"));
}

TEST_F(XincludeFiles, LocalOnlyRefusesEverySchemeButFile) {
    recording_loader loader;
    loader.pass = true;
    for (const char* href : {"http://example.org/a.xml", "HTTP://example.org/a.xml", "Https://x/y", "ftp://x/y",
                             "gopher://x/y", "data:text/plain,hello", "jar:file:/x!/y", "urn:x:y"}) {
        for (const char* parse : {"xml", "text"}) {
            loader.asked.clear();
            auto options = loader.options(1);
            std::string body = inc(std::string("href='") + href + "' parse='" + parse + "'", "<xi:fallback>no</xi:fallback>");
            EXPECT_EQ(run(R(body), &options), 0) << href;
            EXPECT_TRUE(loader.asked.empty()) << href;
            EXPECT_EQ(serialize(doc.get()), R("no")) << href;
            // The defaults refuse them too.
            EXPECT_EQ(run(R(body)), 0) << href;
            EXPECT_EQ(serialize(doc.get()), R("no")) << href;
        }
    }
    // file: in any case is read; without local_only other schemes reach the loader.
    std::string path = write("f.xml", "<f/>");
    EXPECT_EQ(run(R(inc("href='FILE://" + path + "'"))), 0) << last_error();
    EXPECT_EQ(serialize(doc.get()), R("<f/>"));
    loader.asked.clear();
    loader.texts["HTTP://example.org/a.xml"] = "<remote/>";
    auto open = loader.options(0);
    EXPECT_EQ(run(R(inc("href='HTTP://example.org/a.xml'")), &open), 0);
    EXPECT_EQ(serialize(doc.get()), R("<remote/>"));
}

TEST_F(XincludeFiles, OnlyRegularFilesAreRead) {
    std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& href : {std::string("/dev/zero"), fifo, dir.string()}) {
        for (const char* parse : {"xml", "text"}) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(run(R(inc("href='" + href + "' parse='" + std::string(parse) + "'"))), QUORVEL_ERR_IO) << href;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << href;
        }
    }
    EXPECT_EQ(run(R(inc("href='/dev/zero'", "<xi:fallback>z</xi:fallback>"))), 0);
    EXPECT_EQ(serialize(doc.get()), R("z"));
}

TEST_F(XincludeFiles, LoopsAreCutWhereTheyCloseAndWorkIsBounded) {
    // Two self-includes per level would expand 2^n times without a loop check.
    write("self.xml", std::string("<s ") + kXi + "><xi:include href='self.xml'/><xi:include href='self.xml'/></s>");
    doc = parse(std::string("<s ") + kXi + "><xi:include href='self.xml'/><xi:include href='self.xml'/></s>");
    std::string self = (dir / "self.xml").string();
    EXPECT_EQ(quorvel_xinclude_process(doc.get(), self.c_str()), QUORVEL_ERR_IO);
    EXPECT_NE(std::string(last_error()).find("loop"), std::string::npos) << last_error();
    // Through another file, with a fallback at the point that closes the loop.
    write("a.xml", std::string("<a ") + kXi + "><xi:include href='b.xml'/></a>");
    write("b.xml", std::string("<b ") + kXi + "><xi:include href='a.xml'><xi:fallback>cut</xi:fallback></xi:include></b>");
    EXPECT_EQ(run(R(inc("href='a.xml'"))), 0) << last_error();
    EXPECT_EQ(serialize(doc.get()), R(std::string("<a ") + kXi + "><b " + kXi + ">cut</b></a>"));
    // The same file under another pointer is no loop.
    write("two.xml", "<t><x/><y/></t>");
    EXPECT_EQ(run(R(inc("href='two.xml' xpointer='element(/1/1)'") + inc("href='two.xml' xpointer='element(/1/2)'"))), 0);
    EXPECT_EQ(serialize(doc.get()), R("<x/><y/>"));
}

TEST_F(XincludeFiles, IncludeCountAndLoadedBytesAreLimited) {
    recording_loader loader;
    std::string tiny = (dir / "t.xml").string();
    loader.texts[tiny] = "<t/>";
    auto options = loader.options();
    std::string body;
    for (int i = 0; i < 10001; i++) body += "<xi:include href='t.xml'/>";
    EXPECT_EQ(run(R(body), &options), QUORVEL_ERR_IO);
    EXPECT_NE(std::string(last_error()).find("10000"), std::string::npos) << last_error();
    std::string out = serialize(doc.get());
    size_t included = 0;
    for (size_t at = out.find("<t/>"); at != std::string::npos; at = out.find("<t/>", at + 1)) included++;
    EXPECT_EQ(included, 10000u);
    EXPECT_NE(out.find("<xi:include"), std::string::npos);
    // A loader that claims more than the call may load: nothing is read from
    // the buffer beyond what it holds, and the include stays.
    struct liar {
        static int load(const char*, void*, char** text, size_t* length) {
            *text = static_cast<char*>(std::malloc(4));
            *length = (size_t(1) << 30) + 1;
            return 1;
        }
    };
    quorvel_xinclude_options big{&liar::load, nullptr, nullptr, 1};
    EXPECT_EQ(run(R(inc("href='t.xml'")), &big), QUORVEL_ERR_IO);
    EXPECT_NE(std::string(last_error()).find("1 GiB"), std::string::npos) << last_error();
}

TEST_F(XincludeFiles, InsertedElementsKeepTheirNamespaces) {
    write("ns.xml", "<r xmlns:p='u' xmlns='d0'><p:x a='1'><y/></p:x><plain xmlns=''/></r>");
    write("plain.xml", "<a/>");
    struct {
        std::string body;
        std::string expected;
    } cases[] = {
        {inc("href='ns.xml' xpointer='element(/1/1)'"), "<p:x xmlns:p=\"u\" xmlns=\"d0\" a=\"1\"><y/></p:x>"},
        {inc("href='ns.xml' xpointer='element(/1/2)'"), "<plain xmlns=\"\" xmlns:p=\"u\"/>"},
        {"<d xmlns='dd'>" + inc("href='plain.xml'") + "</d>", "<d xmlns=\"dd\"><a xmlns=\"\"/></d>"},
        {"<d xmlns='dd'>" + inc("href='missing.xml'", "<xi:fallback xmlns='ff'><f/></xi:fallback>") + "</d>",
         "<d xmlns=\"dd\"><f xmlns=\"ff\"/></d>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(R(c.body)), 0) << c.body << ": " << last_error();
        quorvel_element* top = quorvel_element_first_child_any(quorvel_document_root(doc.get()));
        ASSERT_NE(top, nullptr) << c.body;
        EXPECT_EQ(take(quorvel_element_serialize(top, nullptr)), c.expected) << c.body;
    }
    // The moved element answers its namespace in its new place.
    EXPECT_EQ(run(R(inc("href='ns.xml' xpointer='element(/1/1)'"))), 0);
    quorvel_element* x = quorvel_element_first_child_any(quorvel_document_root(doc.get()));
    EXPECT_STREQ(quorvel_element_namespace(x), "u");
    EXPECT_STREQ(quorvel_element_namespace(quorvel_element_first_child_any(x)), "d0");
}

TEST_F(XincludeFiles, DeepTreesAndLongChainsUseNoCallFrames) {
    // A chain 200,000 elements deep built through the API, an include at the bottom.
    write("leaf.xml", "<leaf/>");
    doc_ptr deep(quorvel_document_create());
    quorvel_element* e = quorvel_element_create(deep.get(), "r");
    quorvel_document_set_root(deep.get(), e);
    e = quorvel_document_root(deep.get());
    quorvel_element_add_namespace_definition(e, "xi", "http://www.w3.org/2001/XInclude");
    for (int i = 0; i < 200000; i++) e = quorvel_element_create_child(e, "d");
    quorvel_element* include = quorvel_element_create_child(e, "xi:include");
    quorvel_element_set_attribute(include, "href", "leaf.xml");
    std::string base = (dir / "main.xml").string();
    EXPECT_EQ(quorvel_xinclude_process(deep.get(), base.c_str()), 0) << last_error();
    EXPECT_STREQ(quorvel_element_name(quorvel_element_first_child_any(e)), "leaf");
    // 1,000 files each including the next.
    for (int i = 0; i < 1000; i++)
        write("c" + std::to_string(i) + ".xml", std::string("<c ") + kXi + "><xi:include href='c" +
                                                    std::to_string(i + 1) + ".xml'/></c>");
    write("c1000.xml", "<end/>");
    EXPECT_EQ(run(R(inc("href='c0.xml'"))), 0) << last_error();
    EXPECT_NE(serialize(doc.get()).find("<end/>"), std::string::npos);
}

TEST_F(XincludeFiles, IncludedDocumentsLiveWithTheIncludingOne) {
    write("a.xml", std::string("<a ") + kXi + "><xi:include href='b.xml' xpointer='element(/1/2)'/></a>");
    write("b.xml", "<b><one/><two k='v'>text</two></b>");
    EXPECT_EQ(run(R(inc("href='a.xml'") + inc("href='b.xml' xpointer='element(/1/1)'"))), 0) << last_error();
    std::string once = serialize(doc.get());
    // Copies and edits after processing work on the merged tree.
    doc_ptr copy(quorvel_document_copy(doc.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(serialize(copy.get()), once);
    quorvel_element* a = quorvel_element_first_child_any(quorvel_document_root(doc.get()));
    quorvel_element_set_attribute(quorvel_element_first_child_any(a), "k", "w");
    EXPECT_EQ(serialize(doc.get()), R(std::string("<a ") + kXi + "><two k=\"w\">text</two></a><one/>"));
    doc.reset();
    EXPECT_EQ(serialize(copy.get()), once);
}

TEST_F(XincludeFiles, RepeatedIncludesGiveIndependentCopies) {
    write("a.xml", "<!--top--><a xmlns:q='urn:q'><q:b>1</q:b><c/></a>");
    write("t.txt", "text");
    std::string body;
    for (int i = 0; i < 3; i++)
        body += "<s>" + inc("href='a.xml'") + inc("href='a.xml' xpointer='element(/1/1)'") +
                inc("href='t.txt' parse='text'") + "</s>";
    EXPECT_EQ(run(R(body)), 0) << last_error();
    std::string one = "<s><!--top--><a xmlns:q=\"urn:q\"><q:b>1</q:b><c/></a><q:b xmlns:q=\"urn:q\">1</q:b>text</s>";
    EXPECT_EQ(serialize(doc.get()), R(one + one + one));
    // Every include placed its own nodes: changing one changes no other.
    quorvel_element* r = quorvel_document_root(doc.get());
    for (quorvel_element* s = quorvel_element_first_child_any(r); s; s = quorvel_element_next_sibling_any(s)) {
        quorvel_element* a = quorvel_element_first_child_any(s);
        quorvel_element_set_attribute(a, "seen", "1");
        quorvel_element_set_attribute(quorvel_element_next_sibling_any(a), "seen", "1");
    }
    std::string marked = "<s><!--top--><a xmlns:q=\"urn:q\" seen=\"1\"><q:b>1</q:b><c/></a>"
                         "<q:b xmlns:q=\"urn:q\" seen=\"1\">1</q:b>text</s>";
    EXPECT_EQ(serialize(doc.get()), R(marked + marked + marked));
    // A document whose processing met a loop is read anew each time.
    write("loop.xml", std::string("<l ") + kXi + "><xi:include href='main.xml'><xi:fallback>cut</xi:fallback></xi:include></l>");
    EXPECT_EQ(run(R(inc("href='loop.xml'") + inc("href='loop.xml'") + inc("href='loop.xml'"))), 0) << last_error();
    std::string l = std::string("<l ") + kXi + ">cut</l>";
    EXPECT_EQ(serialize(doc.get()), R(l + l + l));
}

TEST(XincludeProbes, ReadIncludeAttributes) {
    auto d = parse(std::string("<r ") + kXi +
                   " xmlns:o='urn:other'><xi:include href='a#b' parse='' xpointer='x' encoding='e'><xi:fallback/>"
                   "</xi:include><xi:include/><o:include href='h'/><include href='h'/></r>");
    quorvel_element* r = quorvel_document_root(d.get());
    quorvel_element* i1 = quorvel_element_child(r, 0);
    quorvel_element* i2 = quorvel_element_child(r, 1);
    quorvel_element* other = quorvel_element_child(r, 2);
    quorvel_element* plain = quorvel_element_child(r, 3);
    quorvel_element* fallback = quorvel_element_first_child_any(i1);
    EXPECT_EQ(quorvel_xinclude_is_include_element(i1), 1);
    EXPECT_EQ(quorvel_xinclude_is_include_element(fallback), 0);
    EXPECT_EQ(quorvel_xinclude_is_fallback_element(fallback), 1);
    EXPECT_EQ(quorvel_xinclude_is_include_element(other), 0);
    EXPECT_EQ(quorvel_xinclude_is_include_element(plain), 0);
    EXPECT_EQ(quorvel_xinclude_is_include_element(nullptr), 0);
    EXPECT_EQ(quorvel_xinclude_is_fallback_element(nullptr), 0);
    EXPECT_STREQ(quorvel_xinclude_get_href(i1), "a#b");
    EXPECT_STREQ(quorvel_xinclude_get_parse(i1), "xml");
    EXPECT_STREQ(quorvel_xinclude_get_xpointer(i1), "x");
    EXPECT_STREQ(quorvel_xinclude_get_encoding(i1), "e");
    EXPECT_EQ(quorvel_xinclude_get_href(i2), nullptr);
    EXPECT_STREQ(quorvel_xinclude_get_parse(i2), "xml");
    EXPECT_EQ(quorvel_xinclude_get_xpointer(i2), nullptr);
    for (quorvel_element* e : {other, plain, fallback, static_cast<quorvel_element*>(nullptr)}) {
        EXPECT_EQ(quorvel_xinclude_get_href(e), nullptr);
        EXPECT_EQ(quorvel_xinclude_get_parse(e), nullptr);
        EXPECT_EQ(quorvel_xinclude_get_xpointer(e), nullptr);
        EXPECT_EQ(quorvel_xinclude_get_encoding(e), nullptr);
    }
}

TEST(XincludeUri, MergeResolvesAndNormalises) {
    struct {
        const char* base;
        const char* reference;
        const char* expected;
    } cases[] = {
        {"dir/main.xml", "../x/./y.xml", "x/y.xml"},
        {"/d/main.xml", "a.xml", "/d/a.xml"},
        {"/main.xml", "a.xml", "/a.xml"},
        {"main.xml", "a.xml", "a.xml"},
        {"main.xml", "../a.xml", "../a.xml"},
        {"a/b/main.xml", "../../../x.xml", "../x.xml"},
        {"/a/main.xml", "../../x.xml", "/x.xml"},
        {"d/main.xml?q=1#f", "a.xml", "d/a.xml"},
        {"d/", "a.xml", "d/a.xml"},
        {"d/m.xml", "sub/.", "d/sub/"},
        {"d/m.xml", "sub/..", "d/"},
        {"d/m.xml", "/abs.xml", "/abs.xml"},
        {"d/m.xml", "http://h/x", "http://h/x"},
        {"http://h/a/b/m.xml", "../c.xml", "http://h/a/c.xml"},
        {"http://h/a/m.xml", "//other/x", "http://other/x"},
        {"d/m.xml", "", "d/m.xml"},
        {"", "a/./b.xml", "a/./b.xml"},
        {nullptr, "a.xml", "a.xml"},
    };
    for (const auto& c : cases) {
        char* got = xinclude::merge_uri(c.base, c.reference);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.expected) << (c.base ? c.base : "NULL") << " + " << c.reference;
        quorvel_work_free(got);
    }
}

}  // namespace
