// Child elements by position, name and attribute; siblings; children
// arrays; element text and typed text reads.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

class ChildrenTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override { quorvel_document_free(doc); }

    // Pool bytes handed out so far: growth shows up here.
    size_t pool_used() const { return doc->pool->arena->used; }

    quorvel_document* doc = nullptr;
};

TEST_F(ChildrenTest, ByPositionAndArrays) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* e0 = b.append(root, b.element("e0"));
    quorvel_comment* c = b.append(root, b.comment("c"));
    quorvel_element* e1 = b.append(root, b.element("e1"));
    b.append(root, b.text("t"));
    quorvel_element* e2 = b.append(root, b.element("e2"));

    EXPECT_EQ(quorvel_element_child_count(root), 3u);
    EXPECT_EQ(quorvel_element_child(root, 0), e0);
    EXPECT_EQ(quorvel_element_child(root, 1), e1);
    EXPECT_EQ(quorvel_element_child(root, 2), e2);
    EXPECT_EQ(quorvel_element_child(root, 3), nullptr);
    EXPECT_EQ(quorvel_element_child(root, 0), e0);  // backwards: restarts from the first child
    EXPECT_EQ(quorvel_element_child(nullptr, 0), nullptr);
    EXPECT_EQ(quorvel_element_child_count(nullptr), 0u);

    EXPECT_EQ(quorvel_node_children(&root->head, nullptr, 0), 5u);
    quorvel_element* two[2];
    ASSERT_EQ(quorvel_element_children(root, two, 2), 2u);
    EXPECT_EQ(two[0], e0);
    EXPECT_EQ(two[1], e1);
    EXPECT_EQ(quorvel_element_children(root, nullptr, 2), 0u);

    quorvel_node* nodes[5];
    int kinds[5];
    ASSERT_EQ(quorvel_node_children_ex(&root->head, nodes, kinds, 3), 3u);
    EXPECT_EQ(nodes[1], &c->head);
    EXPECT_EQ(std::vector<int>(kinds, kinds + 3), (std::vector<int>{0, 2, 0}));
    EXPECT_EQ(quorvel_node_children_ex(&root->head, nullptr, kinds, 5), 5u);
    // The document node's children are the top-level nodes.
    EXPECT_EQ(quorvel_node_children(quorvel_document_node(doc), nodes, 5), 1u);
    EXPECT_EQ(nodes[0], &root->head);
    EXPECT_EQ(quorvel_node_children(nullptr, nodes, 5), 0u);
}

TEST_F(ChildrenTest, IndexCacheIgnoredAfterChildrenChange) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* e0 = b.append(root, b.element("e0"));
    quorvel_element* e1 = b.append(root, b.element("e1"));
    ASSERT_EQ(quorvel_element_child(root, 0), e0);
    quorvel_element_ext* ext = quorvel_elem_ext(root);
    ASSERT_NE(ext, nullptr);  // made for the cache: more than one element child
    EXPECT_EQ(ext->cache_child, &e0->head);

    // Insert a new first child the way insertion does it, bookkeeping included.
    quorvel_element* fresh = b.element("fresh");
    ASSERT_TRUE(quorvel_link_set(fresh, &fresh->parent, root, doc));
    ASSERT_TRUE(quorvel_node_set_next_sibling(&fresh->head, &e0->head));
    ASSERT_TRUE(quorvel_elem_set_first_child(root, &fresh->head));
    quorvel_element_child_count_inc(root);
    ext->child_changes++;
    EXPECT_EQ(quorvel_element_child(root, 1), e0);
    EXPECT_EQ(quorvel_element_child(root, 2), e1);

    // A single element child gets no extension record from the cache.
    quorvel_element* lone = b.append(e1, b.element("lone"));
    EXPECT_EQ(quorvel_element_child(e1, 0), lone);
    EXPECT_EQ(quorvel_elem_ext(e1), nullptr);
}

// Past 65,535 element children the narrow count saturates: the count and
// indexed access must still be right, and a rising loop stays linear.
TEST_F(ChildrenTest, MoreThan65535ElementChildren) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    const size_t n = 70000;
    std::vector<quorvel_element*> kids;
    kids.reserve(n);
    for (size_t i = 0; i < n; i++) kids.push_back(b.append(root, b.element("k")));
    b.append(root, b.text("tail"));

    ASSERT_EQ(quorvel_element_child_count(root), n);
    for (size_t i = 0; i < n; i++) ASSERT_EQ(quorvel_element_child(root, i), kids[i]) << i;
    EXPECT_EQ(quorvel_element_child(root, n), nullptr);
    EXPECT_EQ(quorvel_element_child(root, 65535), kids[65535]);
    EXPECT_EQ(quorvel_element_last_child_any(root), kids[n - 1]);
}

TEST_F(ChildrenTest, SiblingsAndNames) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    b.append(root, b.text("lead"));
    quorvel_element* item1 = b.append(root, b.element("p:item"));
    quorvel_element* other = b.append(root, b.element("other"));
    quorvel_element* item2 = b.append(root, b.element("item"));
    b.append(root, b.comment("end"));

    EXPECT_EQ(quorvel_element_parent(item1), root);
    EXPECT_EQ(quorvel_element_parent(root), nullptr);
    EXPECT_EQ(quorvel_element_root(item2), root);
    EXPECT_EQ(quorvel_element_root(root), root);
    EXPECT_EQ(quorvel_element_root(nullptr), nullptr);

    EXPECT_EQ(quorvel_element_first_child_any(root), item1);
    EXPECT_EQ(quorvel_element_last_child_any(root), item2);
    EXPECT_EQ(quorvel_element_next_sibling_any(item1), other);
    EXPECT_EQ(quorvel_element_next_sibling_any(item2), nullptr);
    EXPECT_EQ(quorvel_element_previous_sibling_any(item1), nullptr);  // text before it does not count
    EXPECT_EQ(quorvel_element_previous_sibling_any(item2), other);
    EXPECT_EQ(quorvel_element_previous_sibling_any(root), nullptr);

    EXPECT_EQ(quorvel_element_first_child(root, "item"), item1);  // local names
    EXPECT_EQ(quorvel_element_first_child(root, "p:item"), nullptr);
    EXPECT_EQ(quorvel_element_first_child(root, ""), nullptr);
    EXPECT_EQ(quorvel_element_first_child(root, nullptr), item1);
    EXPECT_EQ(quorvel_element_last_child(root, "item"), item2);
    EXPECT_EQ(quorvel_element_last_child(root, "none"), nullptr);
    EXPECT_EQ(quorvel_element_next_sibling(item1, "item"), item2);
    EXPECT_EQ(quorvel_element_next_sibling(item1, nullptr), other);
    EXPECT_EQ(quorvel_element_previous_sibling(item2, "item"), item1);
    EXPECT_EQ(quorvel_element_previous_sibling(item2, nullptr), other);
    EXPECT_EQ(quorvel_element_previous_sibling(item1, "item"), nullptr);
    EXPECT_EQ(quorvel_element_find_child(root, "other"), other);
    EXPECT_EQ(quorvel_element_find_child(root, nullptr), nullptr);
}

TEST_F(ChildrenTest, FindChildByAttribute) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* a = b.append(root, b.element("row"));
    b.attribute(a, "id", "1");
    quorvel_element* x = b.append(root, b.element("other"));
    b.attribute(x, "id", "2");
    quorvel_element* c = b.append(root, b.element("row"));
    b.attribute(c, "id", "a&amp;2", true);

    EXPECT_EQ(quorvel_element_find_child_by_attr(root, nullptr, "id", "2"), x);
    EXPECT_EQ(quorvel_element_find_child_by_attr(root, "row", "id", "2"), nullptr);
    EXPECT_EQ(quorvel_element_find_child_by_attr(root, "row", "id", "a&2"), c);  // decoded value
    EXPECT_EQ(quorvel_element_find_child_by_attr(root, "row", nullptr, "1"), nullptr);
    EXPECT_EQ(quorvel_element_find_child_by_attr(root, "row", "id", nullptr), nullptr);
}

TEST_F(ChildrenTest, TextOfSingleChildIsTheStoredContent) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* only = b.append(root, b.element("only"));
    quorvel_text* t = b.append(only, b.text("x"));
    quorvel_element* cdata = b.append(root, b.element("cd"));
    b.append(cdata, b.cdata("<raw>"));
    quorvel_element* amp = b.append(root, b.element("amp"));
    b.append(amp, b.entity_ref("amp"));
    quorvel_element* empty = b.append(root, b.element("empty"));
    quorvel_element* empty_text = b.append(root, b.element("et"));
    b.append(empty_text, b.text(""));

    const char* stored = quorvel_text_link_get(t, &t->content);
    EXPECT_EQ(quorvel_element_text(&only->head), stored);
    EXPECT_EQ(quorvel_element_text(&only->head), stored);
    EXPECT_STREQ(quorvel_element_text(&cdata->head), "<raw>");
    EXPECT_STREQ(quorvel_element_text(&amp->head), "&");
    EXPECT_STREQ(quorvel_element_text(&empty->head), "");
    EXPECT_STREQ(quorvel_element_text(&empty_text->head), "");
    EXPECT_STREQ(quorvel_element_text(nullptr), "");
    EXPECT_STREQ(quorvel_element_text(&t->head), "");  // not an element
}

TEST_F(ChildrenTest, MixedTextIsCopiedOncePerChange) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_text* a = b.append(root, b.text("a"));
    quorvel_element* inner = b.append(root, b.element("inner"));
    b.append(inner, b.text("b"));
    b.append(root, b.comment("c"));
    b.append(root, b.cdata("d"));

    const char* first = quorvel_element_text(&root->head);
    EXPECT_STREQ(first, "abd");
    size_t used = pool_used();
    for (int i = 0; i < 1000; i++) ASSERT_EQ(quorvel_element_text(&root->head), first);
    EXPECT_EQ(pool_used(), used);

    char* all = quorvel_element_get_text_content(&root->head);
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all, "abd");
    quorvel_free_string(all);

    // Changed text gives a new copy; the old one is left as it was.
    ASSERT_TRUE(quorvel_text_link_set(a, &a->content, quorvel_pool_strdup(doc->pool, "A"), doc));
    const char* second = quorvel_element_text(&root->head);
    EXPECT_STREQ(second, "Abd");
    EXPECT_STREQ(first, "abd");
    EXPECT_EQ(quorvel_element_text(&root->head), second);
}

TEST_F(ChildrenTest, DocumentNodeText) {
    tree_builder b(doc);
    quorvel_node* docnode = quorvel_document_node(doc);
    EXPECT_STREQ(quorvel_element_text(docnode), "");
    quorvel_element* root = b.root(b.element("root"));
    b.append(root, b.text("x"));
    b.append(root, b.element("y"));
    b.append(root, b.text("z"));
    EXPECT_STREQ(quorvel_element_text(docnode), "xz");  // the root's text
    b.top_level(b.text("\n"));
    const char* with_tail = quorvel_element_text(docnode);
    EXPECT_STREQ(with_tail, "xz\n");
    size_t used = pool_used();
    EXPECT_EQ(quorvel_element_text(docnode), with_tail);
    EXPECT_EQ(pool_used(), used);
}

TEST_F(ChildrenTest, CountedRunWithoutTerminator) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_text* t = b.append(root, b.text("abcXYZ"));
    t->head.flags |= kTextCounted;
    t->length = 3;  // a view into a longer buffer
    EXPECT_STREQ(quorvel_element_text(&root->head), "abc");
    char* all = quorvel_element_get_text_content(&root->head);
    EXPECT_STREQ(all, "abc");
    quorvel_free_string(all);
}

TEST_F(ChildrenTest, DeepTreeTextNeedsNoCallStack) {
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("root"));
    quorvel_element* e = root;
    for (int i = 0; i < 100000; i++) e = b.append(e, b.element("d"));
    b.append(e, b.text("deep"));
    b.append(root, b.text("!"));
    char* all = quorvel_element_get_text_content(&root->head);
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all, "deep!");
    quorvel_free_string(all);
    EXPECT_STREQ(quorvel_element_text(&root->head), "deep!");
    // A chain of only children: the innermost text, found without recursion.
    quorvel_node* chain = quorvel_node_first_child(&root->head);
    EXPECT_STREQ(quorvel_element_text(chain), "deep");
}

struct text_case {
    const char* text;
    int as_int;
    unsigned as_uint;
    double as_double;
    int as_bool;
};

TEST_F(ChildrenTest, TypedTextReads) {
    const int di = -7;
    const unsigned du = 7;
    const double dd = -0.5;
    const text_case cases[] = {
        {"0x1F", 31, 31, 31.0, 1},
        {"-12", -12, 4294967284u, -12.0, 1},
        {"- 12", di, du, dd, 1},
        {"12 ", di, du, dd, 1},
        {" 12", 12, 12, 12.0, 1},
        {" ", di, du, dd, 0},
        {"", di, du, dd, 0},
        {"2.5", di, du, 2.5, 1},
        {"2.5 ", di, du, dd, 1},
        {"2147483647", INT_MAX, 2147483647u, 2147483647.0, 1},
        {"2147483648", di, 2147483648u, 2147483648.0, 1},
        {"-2147483648", INT_MIN, 2147483648u, -2147483648.0, 1},
        {"4294967296", di, du, 4294967296.0, 1},
        {"0xFFFFFFFF", di, 4294967295u, 4294967295.0, 1},
        {"0x100000000", di, du, 4294967296.0, 1},
        {"--5", di, du, dd, 1},
        {"0x", di, du, dd, 1},
        {" No ", di, du, dd, 0},
        {"yes", di, du, dd, 1},
        {"FALSE", di, du, dd, 0},
        {"0", 0, 0, 0.0, 0},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        quorvel_document* d = quorvel_document_create();
        tree_builder b(d);
        quorvel_element* e = b.root(b.element("e"));
        if (*c.text) b.append(e, b.text(c.text));
        EXPECT_EQ(quorvel_element_text_int(e, di), c.as_int);
        EXPECT_EQ(quorvel_element_text_uint(e, du), c.as_uint);
        EXPECT_DOUBLE_EQ(quorvel_element_text_double(e, dd), c.as_double);
        EXPECT_FLOAT_EQ(quorvel_element_text_float(e, static_cast<float>(dd)), static_cast<float>(c.as_double));
        EXPECT_EQ(quorvel_element_text_bool(e), c.as_bool);
        quorvel_document_free(d);
    }
    EXPECT_EQ(quorvel_element_text_int(nullptr, 5), 5);
    EXPECT_EQ(quorvel_element_text_bool(nullptr), 0);
}

// Child and sibling by name over parsed trees, white space kept and
// dropped: names of one length that differ, names of 255 bytes and more
// that differ only at the end, and every kind of node between.
TEST(ChildrenByName, LengthsKindsAndLongNames) {
    const std::string l1 = std::string(300, 'n') + "1", l2 = std::string(300, 'n') + "2";
    const std::string s254 = std::string(254, 's'), s255 = std::string(255, 's');
    const std::string text = "<root xmlns:p='urn:p'> <abcd/><!--c--><abce/><?pi d?><![CDATA[x]]>\n<" + l1 + "/><" + l2 +
                             "/><" + s255 + "/><" + s254 + "/>text<p:abcd/><abcd>last</abcd></root>";
    struct expectation {
        std::string name;
        int first;  // 1-based index among the root's element children, 0 for none
        int next;   // after the first
    };
    // Local names are compared: p:abcd is an "abcd".
    const expectation cases[] = {{"abcd", 1, 7}, {"abce", 2, 0}, {l1, 3, 0}, {l2, 4, 0},
                                 {s255, 5, 0},   {s254, 6, 0},   {"abc", 0, 0}, {"p:abcd", 0, 0},
                                 {std::string(301, 'n'), 0, 0}};
    for (int flags : {0, int(QUORVEL_PARSE_DROP_WHITESPACE)}) {
        int status = 0;
        quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
        ASSERT_NE(doc, nullptr) << status;
        quorvel_element* root = quorvel_document_root(doc);
        std::vector<quorvel_element*> kids;
        for (quorvel_element* e = quorvel_element_first_child_any(root); e; e = quorvel_element_next_sibling_any(e))
            kids.push_back(e);
        ASSERT_EQ(kids.size(), 8u);
        for (const expectation& c : cases) {
            SCOPED_TRACE(c.name.substr(0, 8) + " " + std::to_string(c.name.size()));
            quorvel_element* first = quorvel_element_first_child(root, c.name.c_str());
            EXPECT_EQ(first, c.first ? kids[c.first - 1] : nullptr);
            if (first) {
                EXPECT_EQ(quorvel_element_next_sibling(first, c.name.c_str()), c.next ? kids[c.next - 1] : nullptr);
            }
        }
        EXPECT_STREQ(quorvel_element_text(quorvel_element_as_node(quorvel_element_next_sibling(kids[6], "abcd"))),
                     "last");
        quorvel_document_free(doc);
    }
}

}  // namespace
