// The plain walk (XML without layout, and indented XML) against the general
// element walk: the same bytes for every document of the conformance
// collections and for hand-made trees that reach the corners of names,
// namespaces, attributes, child kinds and indentation; and the same
// all-or-nothing result when memory runs out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "output/output.h"
#include "quorvel.h"
#include "support/tree_builder.h"
#include "support/testdata.h"

namespace {

using test_support::tree_builder;

std::string take(char* text) {
    std::string s = text ? text : "<NULL>";
    quorvel_free_string(text);
    return s;
}

// Runs make under the general walk, then under the plain walk, and expects
// the same text from both.
template <typename Make>
std::string both_walks(Make make) {
    g_ser_plain_walk = false;
    std::string general = make();
    g_ser_plain_walk = true;
    std::string plain = make();
    EXPECT_EQ(plain, general);
    return plain;
}

// Every way a document reaches the walk without layout: the document writer
// with and without expanded empty elements, and the element forms on the
// root's element children.
void compare_forms(quorvel_document* doc) {
    both_walks([&] { return take(quorvel_document_serialize(doc, nullptr)); });
    quorvel_serialize_ext_options expand{};
    expand.expand_empty = 1;
    both_walks([&] { return take(quorvel_document_serialize_ext(doc, nullptr, &expand)); });
    // Indented: by spaces, by a unit string, with expanded empty elements.
    quorvel_serialize_options indent{2, 0, nullptr};
    both_walks([&] { return take(quorvel_document_serialize(doc, &indent)); });
    quorvel_serialize_ext_options tab{};
    tab.indent_string = "\t";
    tab.expand_empty = 1;
    both_walks([&] { return take(quorvel_document_serialize_ext(doc, &indent, &tab)); });
    quorvel_element* root = doc->root ? doc->root : doc->secondary_root;
    if (!root) return;
    int n = 0;
    for (quorvel_node* c = quorvel_node_first_child(&root->head); c && n < 8; c = quorvel_node_next_sibling(c)) {
        if (quorvel_node_get_type(c) != QUORVEL_NODE_ELEMENT) continue;
        auto* e = reinterpret_cast<quorvel_element*>(c);
        both_walks([&] { return take(quorvel_element_serialize(e, nullptr)); });
        both_walks([&] { return take(quorvel_element_serialize(e, &indent)); });
        n++;
    }
}

TEST(PlainWalk, MatchesTheGeneralWalkOnConformanceDocuments) {
    namespace fs = std::filesystem;
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    const fs::path dir = data;
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
        SCOPED_TRACE(entry.path().string());
        // As read, and with entity references kept as nodes.
        for (int flags : {0, 0x04}) {
            std::FILE* f = std::fopen(entry.path().c_str(), "rb");
            ASSERT_NE(f, nullptr);
            std::string text;
            char chunk[4096];
            for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, got);
            std::fclose(f);
            int status = 0;
            quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
            if (!doc) continue;
            compare_forms(doc);
            quorvel_document_free(doc);
            compared++;
        }
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(compared, 1000);
}

struct PlainWalkTree : ::testing::Test {
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override {
        g_ser_plain_walk = true;
        quorvel_document_free(doc);
    }

    // Both walks over e (with top 1 unless told otherwise), appended to a
    // buffer that already holds "[" as the XSLT processor's buffers may.
    std::string write(quorvel_element* e, int expand_empty = 0, int indent = 0, int top = 1, int depth = 0,
                      const char* unit = nullptr) {
        return both_walks([&] {
            ser_buffer b;
            EXPECT_TRUE(ser_buffer_init(&b));
            b.expand_empty = expand_empty;
            b.indent = indent;
            b.depth = depth;
            b.indent_string = unit;
            buffer_append(&b, "[");
            serialize_element_internal(e, &b, top);
            EXPECT_FALSE(b.out_of_memory);
            EXPECT_EQ(b.data[b.length], '\0');
            EXPECT_EQ(b.depth, depth);
            std::string r(b.data, b.length);
            ser_buffer_free(&b);
            return r;
        });
    }

    quorvel_document* doc = nullptr;
};

TEST_F(PlainWalkTree, NamespaceDeclarationsAndUndeclarations) {
    tree_builder t(doc);
    quorvel_element* r = t.element("r");
    t.declare(r, "p", "urn:\"p\"&<>");
    t.append(t.append(r, t.element("plain")), t.text("x"));
    quorvel_element* d1 = t.append(r, t.element("d1"));
    t.declare(d1, nullptr, "urn:d");
    t.append(d1, t.element("in_d"));
    quorvel_element* u = t.append(d1, t.element("u"));
    t.declare(u, nullptr, "");
    t.append(u, t.element("below"));
    // Declarations in the chain: the repeated ones are dropped, and a
    // default one counts for the descendants' undeclaration test.
    quorvel_element* inner = t.append(r, t.element("inner"));
    t.attribute(inner, "xmlns:q", "urn:q");
    t.attribute(inner, "xmlns", "urn:chain");
    t.attribute(inner, "xmlns", "urn:again");
    quorvel_element* deeper = t.append(inner, t.element("deeper"));
    t.append(deeper, t.element("leaf"));
    quorvel_element* empty_prefix = t.append(r, t.element("ep"));
    t.ext(empty_prefix)->prefix = quorvel_pool_strdup(doc->pool, "");
    t.attribute(empty_prefix, "xmlns:", "urn:empty-prefix");
    t.append(empty_prefix, t.element("in_ep"));
    quorvel_element* no_uri = t.append(r, t.prefixed("p", "x"));
    t.declare(no_uri, "", "urn:x");
    t.ext(no_uri)->ns_decls->uri = nullptr;
    std::string out = write(r);
    EXPECT_EQ(out,
              "[<r xmlns:p=\"urn:&quot;p&quot;&amp;&lt;&gt;\"><plain>x</plain>"
              "<d1 xmlns=\"urn:d\"><in_d/><u xmlns=\"\"><below/></u></d1>"
              "<inner xmlns:q=\"urn:q\" xmlns=\"urn:chain\"><deeper xmlns=\"\"><leaf/></deeper></inner>"
              "<ep xmlns:=\"urn:empty-prefix\"><in_ep xmlns=\"\"/></ep><p:x xmlns=\"\"/></r>");
    // Only the declarations of elements opened by the call count.
    EXPECT_EQ(write(deeper), "[<deeper><leaf/></deeper>");
}

TEST_F(PlainWalkTree, NamesAttributesAndValues) {
    tree_builder t(doc);
    // A root, so that pending values have a document to be decoded into.
    quorvel_element* r = t.root(t.element("r"));
    const std::string long_name(300, 'n');
    quorvel_element* l = t.append(r, t.prefixed(std::string(40, 'p').c_str(), long_name.c_str()));
    t.attribute(l, "a", "");
    t.attribute(l, "b", "x\"&<>\t\n\r'y");
    t.attribute(l, "c", std::string(100, '&').c_str());
    t.attribute(l, "p:in", "prefixed as stored");
    t.attribute(l, "pp:x", "prefix of another length");
    // Names whose namespace record names another prefix get it in front.
    for (const char* name : {"x", "px", "pp:y"}) {
        quorvel_attribute* a = t.attribute(l, name, "re-prefixed");
        auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(doc->pool, sizeof(quorvel_attr_ns)));
        std::memset(ns, 0, sizeof *ns);
        ns->prefix = quorvel_pool_strdup(doc->pool, "p");
        ASSERT_TRUE(quorvel_link_set(a, &a->ns, ns, doc));
    }
    t.attribute(l, "e", "&lt;&#65;&amp;", true);
    t.append(l, t.text("<&>\r]]>"));
    quorvel_element* unnamed = t.append(r, t.element("gone"));
    t.append(unnamed, t.text("never written"));
    unnamed->name = 0;
    t.append(r, t.element("after"));
    std::string out = write(r);
    EXPECT_NE(out.find(" b=\"x&quot;&amp;&lt;&gt;&#9;&#10;&#13;'y\""), std::string::npos) << out;
    EXPECT_NE(out.find(" p:in=\"prefixed as stored\" pp:x=\"prefix of another length\" p:x=\"re-prefixed\""
                       " p:px=\"re-prefixed\" p:pp:y=\"re-prefixed\" e=\"&lt;A&amp;\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(">&lt;&amp;&gt;&#13;]]&gt;</" + std::string(40, 'p') + ":" + long_name + "><after/></r>"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("never"), std::string::npos);
    write(r, 1);
}

TEST_F(PlainWalkTree, EveryChildKindAndDepth) {
    tree_builder t(doc);
    quorvel_element* r = t.element("r");
    t.append(r, t.text(""));
    quorvel_text* raw = t.append(r, t.text("<raw & kept>"));
    raw->head.flags |= kTextNoEscape;
    t.append(r, t.comment("note"));
    t.append(r, t.comment(""))->content = nullptr;
    t.append(r, t.cdata("a]]>b"));
    t.append(r, t.entity_ref("ent"));
    t.append(r, t.pi("t", "d"));
    t.append(r, t.pi("t", ""));
    quorvel_element* lone_raw = t.append(r, t.element("lone"));
    t.append(lone_raw, t.text("<&>"))->head.flags |= kTextNoEscape;
    t.append(t.append(r, t.element("e")), t.text(""));
    // Deeper than the frame stack's first block, with siblings at every level
    // and elements after the deep end.
    quorvel_element* cur = t.append(r, t.element("d"));
    for (int i = 0; i < 300; i++) {
        t.append(cur, t.text(i % 2 ? " " : "t"));
        quorvel_element* next = t.append(cur, t.element(i % 3 ? "d" : "q:d"));
        t.append(cur, t.element("s"));
        cur = next;
    }
    t.append(r, t.element("last"));
    std::string out = write(r);
    EXPECT_EQ(out.substr(0, 120),
              "[<r><raw & kept><!--note--><![CDATA[a]]]]><![CDATA[>b]]>&ent;<?t d?><?t?><lone><&></lone><e></e><d>t<q:d>"
              " <d>t<d> <q:d>t");
    EXPECT_EQ(out.substr(out.size() - 19), "<s/></d><last/></r>");
    write(r, 1);
    write(cur);
}

// Indented: children on lines of their own, blank text dropped, content
// with text kept as it is (and everything inside it), comments and PIs on
// lines of their own; at every start depth, top or not, by any unit.
TEST_F(PlainWalkTree, IndentedLayout) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    t.append(r, t.text("\n  "));
    quorvel_element* a = t.append(r, t.element("a"));
    t.attribute(a, "k", "v");
    t.append(a, t.text("leaf"));
    t.append(r, t.text("\n  "));
    t.append(r, t.comment("c"));
    t.append(r, t.pi("p", "d"));
    t.append(r, t.element("empty"));
    quorvel_element* lines = t.append(r, t.element("lines"));
    t.append(lines, t.text(" "));
    t.append(t.append(lines, t.element("x")), t.text("1"));
    quorvel_element* deeper = t.append(lines, t.element("deeper"));
    t.append(deeper, t.element("y"));
    t.append(deeper, t.comment("in"));
    t.append(lines, t.text(" "));
    quorvel_element* mixed = t.append(r, t.element("mixed"));
    t.append(mixed, t.text("a "));
    quorvel_element* b = t.append(mixed, t.element("b"));
    t.append(t.append(b, t.element("i")), t.text("x"));
    t.append(b, t.element("j"));
    t.append(mixed, t.text(" z"));
    t.append(mixed, t.comment("m"));
    t.append(mixed, t.cdata("cd"));
    quorvel_element* after = t.append(r, t.element("after"));
    t.append(after, t.element("e"));
    t.append(r, t.text("\n"));
    std::string out = write(r, 0, 2);
    // Blank text after an end tag gives way to the layout: the line feed
    // is still written.
    EXPECT_EQ(out,
              "[<r>\n  <a k=\"v\">leaf</a>\n"
              "  <!--c-->\n  <?p d?>\n  <empty/>\n"
              "  <lines>\n    <x>1</x>\n    <deeper>\n      <y/>\n      <!--in-->\n    </deeper>\n  </lines>\n"
              "  <mixed>a <b><i>x</i><j/></b> z<!--m--><![CDATA[cd]]></mixed>\n"
              "  <after>\n    <e/>\n  </after>\n</r>")
        << out;
    for (int top : {0, 1})
        for (int depth : {0, 3, -2}) {
            write(r, 0, 3, top, depth);
            write(r, 1, 2, top, depth, "\t-");
            write(lines, 0, 1, top, depth);
            write(mixed, 1, 4, top, depth);
        }
}

TEST_F(PlainWalkTree, RunningOutOfMemoryGivesNoText) {
    tree_builder t(doc);
    quorvel_element* r = t.root(t.element("r"));
    quorvel_element* cur = r;
    // Deep enough to grow the frame stack and long enough to grow the buffer.
    for (int i = 0; i < 300; i++) {
        cur = t.append(cur, t.element("d"));
        t.attribute(cur, "a", std::string(40, '"').c_str());
        t.append(cur, t.text(std::string(60, '<').c_str()));
    }
    const std::string full = take(quorvel_document_serialize(doc, nullptr));
    ASSERT_GT(full.size(), 50000u);
    // A small output first, so the next buffer starts small and has to grow.
    EXPECT_EQ(take(quorvel_element_serialize(t.element("leaf"), nullptr)), "<leaf/>");
    static thread_local int remaining;
    int failures = 0;
    for (int allowed = 0;; allowed++) {
        remaining = allowed;
        ser_realloc_fn previous = g_ser_realloc;
        g_ser_realloc = [](void* p, size_t n) -> void* { return remaining-- > 0 ? std::realloc(p, n) : nullptr; };
        char* text = quorvel_document_serialize(doc, nullptr);
        g_ser_realloc = previous;
        if (text) {
            EXPECT_EQ(text, full);
            quorvel_free_string(text);
            break;
        }
        failures++;
    }
    EXPECT_GT(failures, 5);
}

}  // namespace
