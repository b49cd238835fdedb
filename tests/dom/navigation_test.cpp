// Navigation and walks over trees laid out the way the parser lays them out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

std::string label(const quorvel_node* n) {
    if (n->kind == QUORVEL_NODE_ELEMENT) return quorvel_elem_name_raw(reinterpret_cast<const quorvel_element*>(n));
    if (n->kind == QUORVEL_NODE_TEXT) {
        auto* t = reinterpret_cast<const quorvel_text*>(n);
        const char* c = quorvel_text_link_get(t, &t->content);
        return std::string("#") + (c ? c : "");
    }
    if (n->kind == QUORVEL_NODE_COMMENT) return "!" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content);
    if (n->kind == QUORVEL_NODE_DOCUMENT) return "/";
    return "?";
}

class NavigationTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        ASSERT_NE(doc, nullptr);
        tree_builder b(doc);
        prolog = b.top_level(b.comment("c"));
        root = b.root(b.element("root"));
        a = b.append(root, b.element("a"));
        b.append(a, b.text("ta"));
        bb = b.append(root, b.element("b"));
        b.append(bb, b.text("tb"));
    }
    void TearDown() override { quorvel_document_free(doc); }

    quorvel_document* doc = nullptr;
    quorvel_comment* prolog = nullptr;
    quorvel_element* root = nullptr;
    quorvel_element* a = nullptr;
    quorvel_element* bb = nullptr;
};

std::vector<std::string> g_seen;
int record(quorvel_node* n, void*) {
    g_seen.push_back(label(n));
    return 0;
}
int stop_at_third(quorvel_node* n, void*) {
    g_seen.push_back(label(n));
    return g_seen.size() == 3 ? 1 : 0;
}

TEST_F(NavigationTest, TopLevelNodesHaveNoParentOrPreviousSibling) {
    quorvel_node* docnode = quorvel_document_node(doc);
    EXPECT_EQ(docnode, quorvel_document_node(doc));
    EXPECT_EQ(quorvel_node_first_child(docnode), &prolog->head);
    EXPECT_EQ(quorvel_node_next_sibling(&prolog->head), &root->head);
    EXPECT_EQ(quorvel_node_previous_sibling(&root->head), nullptr);
    EXPECT_EQ(quorvel_node_parent(&root->head), nullptr);
    EXPECT_EQ(quorvel_node_last_child(docnode), nullptr);
    EXPECT_EQ(quorvel_node_previous_sibling(&bb->head), &a->head);
    EXPECT_EQ(quorvel_node_parent(&bb->head), root);
    EXPECT_EQ(quorvel_node_get_type(nullptr), 0);
    EXPECT_EQ(quorvel_node_child_count(&root->head), 2u);
}

TEST_F(NavigationTest, LastChildOfLeafAndOfElementWithOnlyText) {
    quorvel_node* text = quorvel_node_first_child(&a->head);
    EXPECT_EQ(quorvel_node_last_child(&a->head), text);
    EXPECT_EQ(quorvel_node_last_child(text), nullptr);
}

TEST_F(NavigationTest, TraverseOrdersAndStops) {
    struct row {
        int order;
        quorvel_traverse_callback cb;
        std::vector<std::string> seen;
        int result;
    } rows[] = {
        {0, record, {"root", "a", "#ta", "b", "#tb"}, 5},
        {1, record, {"#ta", "a", "#tb", "b", "root"}, 5},
        {0, stop_at_third, {"root", "a", "#ta"}, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.order);
        g_seen.clear();
        EXPECT_EQ(quorvel_node_traverse(&root->head, r.order, r.cb, nullptr), r.result);
        EXPECT_EQ(g_seen, r.seen);
    }
}

TEST_F(NavigationTest, TraverseFromElementCoversFollowingSiblings) {
    g_seen.clear();
    EXPECT_EQ(quorvel_node_traverse(&a->head, 0, record, nullptr), 4);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"a", "#ta", "b", "#tb"}));
}

TEST_F(NavigationTest, TraverseFromDocumentNodeReportsItLastInPostOrder) {
    g_seen.clear();
    EXPECT_EQ(quorvel_node_traverse(quorvel_document_node(doc), 1, record, nullptr), 7);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"!c", "#ta", "a", "#tb", "b", "root", "/"}));
}

TEST_F(NavigationTest, TraverseRejectsBadArguments) {
    EXPECT_EQ(quorvel_node_traverse(nullptr, 0, record, nullptr), -1);
    EXPECT_EQ(quorvel_node_traverse(&root->head, 0, nullptr, nullptr), -1);
    EXPECT_EQ(quorvel_node_traverse(&root->head, 2, record, nullptr), -1);
}

struct visit_log {
    std::vector<std::string> calls;
};
void log_visit(void* user, quorvel_node* n, int entering, int depth) {
    static_cast<visit_log*>(user)->calls.push_back((entering ? "+" : "-") + label(n) + "@" + std::to_string(depth));
}

TEST_F(NavigationTest, VisitFromDocumentNodeWalksTopLevelAtDepthZero) {
    visit_log log;
    quorvel_node_visit(quorvel_document_node(doc), log_visit, &log);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"+!c@0", "+root@0", "+a@1", "+#ta@2", "-a@1", "+b@1",
                                                   "+#tb@2", "-b@1", "-root@0"}));
    visit_log entering;
    quorvel_node_visit_entering(&root->head, log_visit, &entering);
    EXPECT_EQ(entering.calls, (std::vector<std::string>{"+root@0", "+a@1", "+#ta@2", "+b@1", "+#tb@2"}));
}

// Deep chains: every walk reaches every level (no fixed-size stack).
TEST(DeepTree, WalksReachEveryLevel) {
    constexpr int kDepth = 100000;
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* top = b.root(b.element("e"));
    quorvel_element* cur = top;
    for (int i = 1; i < kDepth; i++) cur = b.append(cur, b.element("e"));

    int count = quorvel_node_traverse(&top->head, 0, [](quorvel_node*, void*) { return 0; }, nullptr);
    EXPECT_EQ(count, kDepth);
    count = quorvel_node_traverse(&top->head, 1, [](quorvel_node*, void*) { return 0; }, nullptr);
    EXPECT_EQ(count, kDepth);

    struct tally {
        int enter = 0, leave = 0, max_depth = 0;
    } t;
    quorvel_node_visit(
        &top->head,
        [](void* u, quorvel_node*, int entering, int depth) {
            auto* t = static_cast<tally*>(u);
            (entering ? t->enter : t->leave)++;
            if (depth > t->max_depth) t->max_depth = depth;
        },
        &t);
    EXPECT_EQ(t.enter, kDepth);
    EXPECT_EQ(t.leave, kDepth);
    EXPECT_EQ(t.max_depth, kDepth - 1);

    EXPECT_EQ(quorvel_document_freeze(doc), 0);
    EXPECT_TRUE(cur->head.flags & kNodeFrozen);
    EXPECT_EQ(quorvel_document_is_frozen(doc), 1);
    quorvel_document_free(doc);
}

TEST(Freeze, MarksEveryElementButLeavesTextFlags) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("r"));
    // Wide and nested: 300 siblings, each with a child.
    std::vector<quorvel_element*> all;
    for (int i = 0; i < 300; i++) {
        quorvel_element* c = b.append(root, b.element("c"));
        all.push_back(c);
        all.push_back(b.append(c, b.element("d")));
    }
    quorvel_text* t = b.append(root, b.text("x"));
    EXPECT_EQ(quorvel_document_is_frozen(doc), 0);
    quorvel_document_freeze(doc);
    for (quorvel_element* e : all) EXPECT_TRUE(e->head.flags & kNodeFrozen);
    EXPECT_EQ(t->head.flags & kTextCounted, 0u);
    quorvel_document_free(doc);
}

TEST(ChildCount, CorrectPastTheSixteenBitField) {
    quorvel_document* doc = quorvel_document_create();
    tree_builder b(doc);
    quorvel_element* root = b.root(b.element("r"));
    for (int i = 0; i < 70000; i++) b.append(root, b.element("c"));
    EXPECT_EQ(root->child_count, kChildCountCap);
    EXPECT_EQ(quorvel_node_child_count(&root->head), 70000u);
    quorvel_document_free(doc);
}

TEST(Compare, OrdersByAddress) {
    quorvel_node n[2] = {};
    EXPECT_EQ(quorvel_node_compare(&n[0], &n[0]), 0);
    EXPECT_EQ(quorvel_node_compare(&n[0], nullptr), 0);
    EXPECT_EQ(quorvel_node_compare(&n[0], &n[1]), -1);
    EXPECT_EQ(quorvel_node_compare(&n[1], &n[0]), 1);
}

TEST(LinkWriters, DoctypeHasNoSiblingLink) {
    quorvel_doctype dt = {};
    dt.head.kind = QUORVEL_NODE_DOCTYPE;
    quorvel_node other = {};
    EXPECT_TRUE(quorvel_node_set_next_sibling(&dt.head, &other));  // no sibling field: nothing to write
    EXPECT_EQ(quorvel_node_next_sibling(&dt.head), nullptr);
    EXPECT_EQ(dt.name, nullptr);
}

}  // namespace
