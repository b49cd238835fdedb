// Loading RELAX NG grammars: what is refused, with which status and text,
// and how includes, overrides and external grammars are put together.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "relaxng/rng_support.h"

namespace {

using rngtest::element;
using rngtest::grammar;
using rngtest::kNs;

struct refusal {
    const char* what;
    std::string schema;
    std::string message;
};

const std::string kB = "<element name='b'><empty/></element>";

TEST(RngLoad, SchemaErrorsFromText) {
    const std::string ns = std::string("xmlns='") + kNs + "'";
    const std::vector<refusal> cases = {
        {"root outside the namespace", "<element name='a'/>", "root element is not in the RELAX NG namespace"},
        {"root that is another pattern", "<choice " + ns + ">" + kB + "</choice>",
         "root element is not in the RELAX NG namespace"},
        {"unknown pattern element", element("a", "<foo/>"), "unknown pattern element: foo"},
        {"nested grammar", element("a", "<grammar/>"), "unknown pattern element: grammar"},
        {"grammar without start", "<grammar " + ns + "><define name='x'>" + kB + "</define></grammar>",
         "grammar: no <start>"},
        {"element without name", element("a", "<element><empty/></element>"), "element: missing @name"},
        {"name class element", element("a", "<element><name>b</name><empty/></element>"), "element: missing @name"},
        {"attribute without name", element("a", "<attribute/>"), "attribute: missing @name"},
        {"unknown parameter", element("a", "<data type='decimal'><param name='totalDigits'>3</param></data>"),
         "invalid parameter: totalDigits"},
        {"param without name", element("a", "<data type='token'><param>3</param></data>"), "param: missing @name"},
        {"empty pattern", element("a", "<data type='token'><param name='pattern'></param></data>"),
         "pattern: unsupported construct in \"\""},
        {"refused pattern", element("a", "<data type='token'><param name='pattern'>a**</param></data>"),
         "pattern: unsupported construct in \"a**\""},
        {"pattern bound past 32 bits", element("a", "<data type='token'><param name='pattern'>a{9999999999}</param></data>"),
         "pattern: unsupported construct in \"a{9999999999}\""},
        {"ref without name", element("a", "<ref/>"), "ref: missing @name"},
        {"externalRef without href", element("a", "<externalRef/>"), "externalRef: missing @href"},
        {"parentRef", element("a", "<parentRef name='x'/>"), "parentRef: not supported"},
        {"define without name", grammar(kB, "<define>" + kB + "</define>"), "define: missing @name"},
        {"define repeated without combine", grammar(kB, "<define name='x'>" + kB + "</define><define name='x'>" + kB + "</define>"),
         "define x: redefined without combine"},
        {"include from text", grammar(kB, "<include href='x.rng'/>"), "include x.rng: no base URI (use quorvel_rng_parse_file)"},
        {"include without href", grammar(kB, "<include/>"), "include: missing @href"},
        {"externalRef from text", element("a", "<externalRef href='x.rng'/>"),
         "externalRef x.rng: no base URI (use quorvel_rng_parse_file)"},
        {"undeclared prefix", element("a", "<element name='p:b'><empty/></element>"), "element: undeclared prefix in \"p:b\""},
        // Refs that go round without passing an element would loop every walker.
        {"define that refers to itself", grammar("<element name='a'><ref name='a'/></element>",
                                                 "<define name='a'><choice><ref name='a'/><attribute name='x'/></choice></define>"),
         "define a: refers to itself outside an element"},
        {"start that goes round", grammar("<ref name='a'/>", "<define name='a'><ref name='b'/></define><define name='b'><ref name='a'/></define>"),
         "define b: refers to itself outside an element"},
        {"cycle behind a group", grammar("<element name='r'><ref name='a'/></element>",
                                         "<define name='a'><group><optional><ref name='a'/></optional>" + kB + "</group></define>"),
         "define a: refers to itself outside an element"},
    };
    for (const auto& c : cases) {
        int status = 0;
        quorvel_rng* rng = quorvel_rng_parse(c.schema.data(), c.schema.size(), &status);
        EXPECT_EQ(rng, nullptr) << c.what;
        EXPECT_EQ(status, QUORVEL_ERR_PARSE) << c.what;
        const char* last = quorvel_last_error();
        EXPECT_EQ(std::string(last ? last : ""), c.message) << c.what;
        quorvel_rng_free(rng);
    }
}

TEST(RngLoad, StatusesOfTheEntryPoints) {
    int status = 123;
    EXPECT_EQ(quorvel_rng_parse(nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_rng_parse_file(nullptr, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NULL_ARGUMENT);
    // Text that is not well-formed gives the parser's own status.
    const char bad[] = "<element";
    EXPECT_EQ(quorvel_rng_parse(bad, sizeof bad - 1, &status), nullptr);
    EXPECT_NE(status, 0);
    // NULL status pointers are fine.
    std::string ok = element("a", "<empty/>");
    quorvel_rng* rng = quorvel_rng_parse(ok.data(), ok.size(), nullptr);
    EXPECT_NE(rng, nullptr);
    quorvel_rng_free(rng);
    quorvel_rng_free(nullptr);
    EXPECT_EQ(quorvel_rng_parse(bad, sizeof bad - 1, nullptr), nullptr);
    // A recursion through an element is fine.
    std::string recursive = grammar("<ref name='a'/>", "<define name='a'><element name='a'><zeroOrMore><ref name='a'/></zeroOrMore></element></define>");
    rng = quorvel_rng_parse(recursive.data(), recursive.size(), &status);
    EXPECT_NE(rng, nullptr);
    EXPECT_EQ(status, 0);
    quorvel_rng_free(rng);
}

// Schema files in a temporary folder.
class RngFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("quorvel-rng-load-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        std::filesystem::path p = dir_ / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    // The loaded grammar, or NULL with the reason in *why.
    quorvel_rng* load(const std::string& path, std::string* why, int* status = nullptr) {
        int s = 0;
        quorvel_rng* rng = quorvel_rng_parse_file(path.c_str(), &s);
        if (status) *status = s;
        if (!rng && why) *why = quorvel_last_error() ? quorvel_last_error() : "";
        return rng;
    }
    int verdict(quorvel_rng* rng, const std::string& text) {
        quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
        int v = quorvel_rng_validate(rng, doc);
        quorvel_document_free(doc);
        return v;
    }
    std::filesystem::path dir_;
};

TEST_F(RngFiles, FileErrors) {
    std::string why;
    int status = 0;
    std::string missing = (dir_ / "none.rng").string();
    EXPECT_EQ(load(missing, &why, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    EXPECT_EQ(why, "cannot open schema file '" + missing + "'");
    EXPECT_EQ(load(write("bad.rng", "<grammar"), &why, &status), nullptr);
    EXPECT_EQ(why, "schema file is not well-formed XML");

    const std::string inc = grammar(kB, "<define name='a'>" + kB + "</define>");
    write("inc.rng", inc);
    struct file_case {
        const char* what;
        std::string schema;
        std::string message;
    };
    const std::vector<file_case> cases = {
        {"include that cannot be read", grammar(kB, "<include href='nope.rng'/>"), "include nope.rng: cannot open"},
        {"override of nothing", grammar(kB, "<include href='inc.rng'><define name='zz'>" + kB + "</define></include>"),
         "include inc.rng: define \"zz\" does not override anything"},
        {"override with an error after a good child",
         grammar(kB, "<include href='inc.rng'><define name='a'>" + kB + "<bogus/></define></include>"),
         "unknown pattern element: bogus"},
        {"override start of a grammar without start",
         grammar(kB, "<include href='nostart.rng'><start>" + kB + "</start></include>"),
         "include nostart.rng: \"start\" does not override anything"},
        {"unexpected element in include", grammar(kB, "<include href='inc.rng'><element name='q'/></include>"),
         "include inc.rng: unexpected <element>"},
        {"externalRef that cannot be read", element("a", "<externalRef href='nope.rng'/>"),
         "externalRef nope.rng: cannot open"},
    };
    write("nostart.rng", std::string("<grammar xmlns='") + kNs + "'><define name='a'>" + kB + "</define></grammar>");
    for (const auto& c : cases) {
        std::string path = write("main.rng", c.schema);
        EXPECT_EQ(load(path, &why), nullptr) << c.what;
        EXPECT_EQ(why, c.message) << c.what;
    }
}

TEST_F(RngFiles, CyclesOfFilesStop) {
    std::string why;
    std::string self = write("self.rng", grammar(kB, "<include href='self.rng'/>"));
    EXPECT_EQ(load(self, &why), nullptr);
    EXPECT_EQ(why.rfind("include self.rng: include self.rng: include self.rng: ", 0), 0u) << why;
    EXPECT_LE(why.size(), 255u);

    write("one.rng", element("one", "<externalRef href='two.rng'/>"));
    std::string two = write("two.rng", element("two", "<externalRef href='one.rng'/>"));
    EXPECT_EQ(load(two, &why), nullptr);
    EXPECT_EQ(why.rfind("externalRef one.rng: externalRef two.rng: ", 0), 0u) << why;
}

TEST_F(RngFiles, IncludesAndOverrides) {
    write("sub/inc.rng", grammar("<ref name='a'/>", "<define name='a'><element name='a'><ref name='c'/></element></define>"
                                                    "<define name='c'><element name='old'><empty/></element></define>"));
    std::string why;
    // The override replaces the included definition; a div is transparent.
    std::string main = write("main.rng", std::string("<grammar xmlns='") + kNs +
                                             "'><include href='sub/inc.rng'><div><define name='c'><element name='new'><empty/></element></define></div></include></grammar>");
    quorvel_rng* rng = load(main, &why);
    ASSERT_NE(rng, nullptr) << why;
    EXPECT_EQ(verdict(rng, "<a><new/></a>"), 1);
    EXPECT_EQ(verdict(rng, "<a><old/></a>"), 0);
    quorvel_rng_free(rng);

    // An ns on the include applies to the included grammar.
    main = write("ns.rng", std::string("<grammar xmlns='") + kNs + "'><include href='sub/inc.rng' ns='urn:x'/></grammar>");
    rng = load(main, &why);
    ASSERT_NE(rng, nullptr) << why;
    EXPECT_EQ(verdict(rng, "<a xmlns='urn:x'><old/></a>"), 1);
    EXPECT_EQ(verdict(rng, "<a><old/></a>"), 0);
    quorvel_rng_free(rng);
}

TEST_F(RngFiles, ExternalGrammarKeepsItsOwnNames) {
    write("ext.rng", grammar("<ref name='x'/>", "<define name='x'><element name='ext-x'><empty/></element></define>"));
    std::string main =
        write("main.rng", grammar("<element name='root'><externalRef href='ext.rng'/><ref name='x'/></element>",
                                  "<define name='x'><element name='main-x'><empty/></element></define>"));
    std::string why;
    quorvel_rng* rng = load(main, &why);
    ASSERT_NE(rng, nullptr) << why;
    EXPECT_EQ(verdict(rng, "<root><ext-x/><main-x/></root>"), 1);
    EXPECT_EQ(verdict(rng, "<root><main-x/><main-x/></root>"), 0);
    EXPECT_EQ(verdict(rng, "<root><ext-x/><ext-x/></root>"), 0);
    quorvel_rng_free(rng);

    // An ns on the externalRef applies to the referenced pattern.
    write("plain.rng", element("p", "<empty/>"));
    main = write("main2.rng", element("root", "<externalRef href='plain.rng' ns='urn:p'/>"));
    rng = load(main, &why);
    ASSERT_NE(rng, nullptr) << why;
    EXPECT_EQ(verdict(rng, "<root><p xmlns='urn:p'/></root>"), 1);
    EXPECT_EQ(verdict(rng, "<root><p/></root>"), 0);
    quorvel_rng_free(rng);
}

}  // namespace
