#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff/diff_support.h"
#include "dom/dom.h"
#include "dom/dom.h"
#include "support/failing_alloc.h"

using namespace diff_test;

namespace {

TEST(NodeDigest, ConstantsWorkedOutByHand) {
    struct row {
        const char* xml;
        uint64_t digest;
    };
    const row rows[] = {
        {"<r/>", 0x2282694d16ee9e24ull},
        {"<r a=\"1\" b=\"2\"/>", 0xb48bfe25eea221e8ull},
        {"<r b=\"2\" a=\"1\"/>", 0xb48bfe25eea221e8ull},
    };
    for (const row& r : rows) {
        doc_ptr d = parse(r.xml);
        EXPECT_EQ(root_digest(d.get()), r.digest) << r.xml;
    }
    doc_ptr d(quorvel_document_create());
    EXPECT_EQ(quorvel_node_digest(quorvel_text_node_create(d.get(), ""), 0), 0x98a2064f315877ccull);
    EXPECT_EQ(quorvel_node_digest(quorvel_comment_node_create(d.get(), ""), 0), 0x98f0324f319ae3e1ull);
    EXPECT_EQ(quorvel_node_digest(quorvel_cdata_node_create(d.get(), ""), 0), 0x98c09e4f317277a3ull);
}

TEST(NodeDigest, KindsWithoutDigestGiveZero) {
    EXPECT_EQ(quorvel_node_digest(nullptr, 0), 0u);
    doc_ptr d = parse("<!DOCTYPE r><r/>");
    EXPECT_EQ(quorvel_node_digest(reinterpret_cast<quorvel_node*>(quorvel_document_internal_subset(d.get())), 0), 0u);
    EXPECT_EQ(quorvel_node_digest(quorvel_document_node(d.get()), 0), 0u);
}

// Pairs of documents whose root digests must be equal, or must differ,
// under the given flags.
TEST(NodeDigest, EqualityTable) {
    struct row {
        const char* a;
        const char* b;
        unsigned flags;
        bool equal;
    };
    const row rows[] = {
        {"<r a='1' b='2'/>", "<r b='2' a='1'/>", 0, true},
        {"<r a='1' b='2'/>", "<r b='2' a='1'/>", QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER, false},
        {"<r/>", "<r> \n\t</r>", 0, false},
        {"<r/>", "<r> \n\t</r>", QUORVEL_DIGEST_SKIP_WHITESPACE, true},
        {"<r><a/>\n</r>", "<r>\n<a/></r>", QUORVEL_DIGEST_SKIP_WHITESPACE, true},
        {"<r>x</r>", "<r><!--x--></r>", 0, false},
        {"<r>x</r>", "<r><![CDATA[x]]></r>", 0, false},
        {"<r a='x&amp;y'/>", "<r a='x&#38;y'/>", 0, true},
        {"<r a='&lt;&#x41;'/>", "<r a='&#60;A'/>", 0, true},
        {"<r a='x&amp;y'/>", "<r a='x&amp;amp;y'/>", 0, false},
        {"<p:r xmlns:p='u'/>", "<q:r xmlns:q='u'/>", 0, false},
        {"<r xmlns:p='u' xmlns:q='v'/>", "<r xmlns:q='v' xmlns:p='u'/>", 0, true},
        {"<r xmlns:p='u'/>", "<r xmlns:p='v'/>", 0, false},
        {"<r xmlns:p='u' p:a='1'/>", "<r xmlns:p='u' a='1'/>", 0, false},
        {"<r><a/><b/></r>", "<r><b/><a/></r>", 0, false},
        {"<r>ab</r>", "<r>a<!---->b</r>", 0, false},
        {"<r><?t d?></r>", "<r><?t e?></r>", 0, false},
        {"<r a='1'/>", "<r a='1 '/>", 0, false},
    };
    for (const row& r : rows) {
        doc_ptr a = parse(r.a), b = parse(r.b);
        EXPECT_EQ(root_digest(a.get(), r.flags) == root_digest(b.get(), r.flags), r.equal)
            << r.a << " vs " << r.b << " flags " << r.flags;
    }
}

TEST(NodeDigest, EnvironmentVariableAddsDocumentOrder) {
    doc_ptr a = parse("<r a='1' b='2'><c y='1' x='2'/></r>"), b = parse("<r b='2' a='1'><c x='2' y='1'/></r>");
    struct row {
        const char* value;
        bool equal;
    };
    const row rows[] = {{nullptr, true}, {"1", false}, {"yes", false}, {"0", true}, {"", true}, {"0x", true}};
    for (const row& r : rows) {
        scoped_env env("QUORVEL_DIGEST_ATTR_ORDER", r.value);
        EXPECT_EQ(root_digest(a.get()) == root_digest(b.get()), r.equal) << (r.value ? r.value : "(unset)");
        // The child elements follow the same setting.
        quorvel_node* ca = quorvel_node_first_child(quorvel_element_as_node(quorvel_document_root(a.get())));
        quorvel_node* cb = quorvel_node_first_child(quorvel_element_as_node(quorvel_document_root(b.get())));
        EXPECT_EQ(quorvel_node_digest(ca, 0) == quorvel_node_digest(cb, 0), r.equal);
    }
}

TEST(NodeDigest, DecodedValuesLeaveTheDocumentUnchanged) {
    doc_ptr parsed = parse("<r a=\"x&amp;y\"/>");
    quorvel_element* root = quorvel_document_root(parsed.get());
    quorvel_attribute* attr = quorvel_element_first_attribute(root);
    ASSERT_NE(attr, nullptr);
    const bool pending = (attr->hash & kAttrPendingEntities) != 0;
    uint64_t before = root_digest(parsed.get());
    EXPECT_EQ((attr->hash & kAttrPendingEntities) != 0, pending) << "digest wrote to the attribute";

    doc_ptr built(quorvel_document_create());
    quorvel_element* r = quorvel_element_create(built.get(), "r");
    ASSERT_EQ(quorvel_document_set_root(built.get(), r), 0);
    ASSERT_EQ(quorvel_element_set_attribute(r, "a", "x&y"), 0);
    EXPECT_EQ(root_digest(built.get()), before);

    take(quorvel_serialize_document(parsed.get()));  // decodes values in place
    EXPECT_EQ(root_digest(parsed.get()), before);
}

TEST(NodeDigest, RepeatedAndUnboundAttributes) {
    doc_ptr d(quorvel_document_create());
    quorvel_element* r = quorvel_element_create(d.get(), "r");
    ASSERT_EQ(quorvel_document_set_root(d.get(), r), 0);
    uint64_t bare = root_digest(d.get());
    ASSERT_EQ(quorvel_element_set_attribute(r, "q:x", "1"), 0);
    EXPECT_EQ(root_digest(d.get()), bare) << "an unbound prefix counts";

    // Two spellings of one expanded name: only the first one counts.
    doc_ptr one = parse("<r xmlns:p='u' xmlns:q='u' p:a='1'/>");
    doc_ptr two = parse("<r xmlns:p='u' xmlns:q='u' p:a='1' q:a='2'/>");
    EXPECT_EQ(root_digest(one.get()), root_digest(two.get()));
}

TEST(NodeDigest, ManyAttributesSortedLikeFew) {
    std::string forward = "<r", backward = "<r";
    for (int i = 0; i < 100; i++) forward += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    for (int i = 99; i >= 0; i--) backward += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    doc_ptr a = parse(forward + "/>"), b = parse(backward + "/>");
    EXPECT_EQ(root_digest(a.get()), root_digest(b.get()));
    EXPECT_NE(root_digest(a.get(), QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER),
              root_digest(b.get(), QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER));

    // Without memory for a sort array the order is found in place: same value.
    doc_ptr repeated = parse("<r xmlns:p='u' xmlns:q='u'" + forward.substr(2) + " p:k='1' q:k='2'/>");
    const unsigned flag_sets[] = {0, QUORVEL_DIGEST_ATTR_DOCUMENT_ORDER};
    for (unsigned flags : flag_sets) {
        for (quorvel_document* d : {a.get(), b.get(), repeated.get()}) {
            uint64_t expected = root_digest(d, flags);
            hooks::countdown = 0;
            hooks::live = 0;
            quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
            uint64_t starved = root_digest(d, flags);
            hooks::countdown = -1;
            quorvel_set_memory_management_functions(nullptr, nullptr);
            EXPECT_EQ(starved, expected) << "flags " << flags;
        }
    }
}

// Children's digests wait while their element is open; when there is no
// memory to keep them the element counts its children first: same value.
TEST(NodeDigest, WideElementsWithoutMemory) {
    std::string xml = "<r>";
    for (int i = 0; i < 700; i++) xml += "<c n='" + std::to_string(i) + "'>t<d/>" + (i % 2 ? "u" : "") + "</c>";
    doc_ptr d = parse(xml + "<w>" + std::string(300, ' ') + "</w></r>");
    const unsigned flag_sets[] = {0, QUORVEL_DIGEST_SKIP_WHITESPACE};
    for (unsigned flags : flag_sets) {
        uint64_t expected = root_digest(d.get(), flags);
        for (long allowed : {0L, 1L, 2L}) {
            hooks::countdown = allowed;
            hooks::live = 0;
            quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
            uint64_t starved = root_digest(d.get(), flags);
            hooks::countdown = -1;
            quorvel_set_memory_management_functions(nullptr, nullptr);
            EXPECT_EQ(starved, expected) << "flags " << flags << ", allocations allowed " << allowed;
        }
    }
}

// Built through the element functions, far deeper than any call stack.
doc_ptr chain(size_t depth, const char* leaf_text) {
    doc_ptr d(quorvel_document_create());
    quorvel_element* e = quorvel_element_create(d.get(), "c");
    EXPECT_EQ(quorvel_document_set_root(d.get(), e), 0);
    for (size_t i = 1; i < depth; i++) e = quorvel_element_create_child(e, "c");
    EXPECT_EQ(quorvel_element_append_child(e, quorvel_text_node_create(d.get(), leaf_text)), 0);
    return d;
}

TEST(NodeDigest, MillionDeepChain) {
    doc_ptr a = chain(1000000, "x"), b = chain(1000000, "x"), c = chain(1000000, "y");
    uint64_t da = root_digest(a.get());
    EXPECT_NE(da, 0u);
    EXPECT_EQ(da, root_digest(b.get()));
    EXPECT_NE(da, root_digest(c.get()));
    EXPECT_EQ(report(a.get(), b.get()), "");
    std::string r = report(a.get(), c.get());
    ASSERT_EQ(r.substr(0, 5), "~ /c/");
    EXPECT_EQ(r.size(), std::string("~ ").size() + 2 * 1000000 + std::string(" \"x\" -> \"y\"\n").size());
}

}  // namespace
