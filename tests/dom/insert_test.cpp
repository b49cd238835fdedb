// Putting nodes into trees: append, prepend, insert before and after (also
// among top-level nodes), moves, refusals that change nothing, adoption of
// nodes from another document, set text, the first-leaf text, copy and link.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

quorvel_node* N(quorvel_element* e) { return &e->head; }
template <typename T>
quorvel_node* N(T* leaf) {
    return reinterpret_cast<quorvel_node*>(leaf);
}

// A compact picture of a subtree: names, '(' children ')', texts quoted,
// comments as !content. Also checks each child's parent link.
std::string shape(const quorvel_node* n) {
    switch (n->kind) {
        case QUORVEL_NODE_ELEMENT: {
            auto* e = reinterpret_cast<const quorvel_element*>(n);
            std::string s = quorvel_element_name(e);
            const quorvel_node* c = quorvel_elem_first_child_raw(e);
            if (!c) return s;
            s += "(";
            for (bool first = true; c; c = quorvel_node_next_raw(c), first = false) {
                if (!first) s += " ";
                if (quorvel_node_parent_raw(c) != n) s += "^";  // a broken parent link shows
                s += shape(c);
            }
            return s + ")";
        }
        case QUORVEL_NODE_TEXT: {
            auto* t = reinterpret_cast<const quorvel_text*>(n);
            const char* content = quorvel_text_link_get(t, &t->content);
            return "'" + std::string(content ? content : "") + "'";
        }
        case QUORVEL_NODE_COMMENT: return "!" + std::string(reinterpret_cast<const quorvel_comment*>(n)->content);
        default: return "?";
    }
}

std::string top_level(quorvel_document* doc) {
    std::string s;
    for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_raw(n)) {
        if (!s.empty()) s += " ";
        s += shape(n);
        if (!quorvel_node_next_raw(n) && doc->first_top && doc->last_top != n) s += "[last_top wrong]";
    }
    return s;
}

// Value of an attribute as stored, or NULL.
const char* attr(const quorvel_element* e, const char* name) {
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (a->name && std::strcmp(a->name, name) == 0) return quorvel_attribute_stored_value(a);
    return nullptr;
}

// A document whose top-level list is [!c, r].
class InsertTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        tree_builder b(doc);
        comment = b.top_level(b.comment("c"));
        root = b.root(quorvel_element_create(doc, "r"));
    }
    void TearDown() override {
        if (doc) quorvel_document_free(doc);
    }
    quorvel_element* make(const char* name) { return quorvel_element_create(doc, name); }
    quorvel_element* child(quorvel_element* parent, const char* name) {
        return quorvel_element_create_child(parent, name);
    }

    quorvel_document* doc = nullptr;
    quorvel_comment* comment = nullptr;
    quorvel_element* root = nullptr;
};

TEST_F(InsertTest, AppendInsertAndMoveKeepOrderAndCounts) {
    quorvel_element* a = child(root, "a");
    quorvel_element* b = child(root, "b");
    quorvel_element* e = make("e");
    ASSERT_EQ(quorvel_element_insert_after(N(b), N(e)), 0);
    quorvel_element* f = make("f");
    ASSERT_EQ(quorvel_element_append_child(root, N(f)), 0);
    EXPECT_EQ(shape(N(root)), "r(a b e f)");
    EXPECT_EQ(root->child_count, 4);

    // Unlink the last, prepend it, append a new one: every node stays.
    ASSERT_EQ(quorvel_node_unlink(N(f)), 0);
    ASSERT_EQ(quorvel_element_prepend_child(root, N(f)), 0);
    quorvel_element* g = make("g");
    ASSERT_EQ(quorvel_element_append_child(root, N(g)), 0);
    EXPECT_EQ(shape(N(root)), "r(f a b e g)");

    // Moving a node takes it from its old parent.
    ASSERT_EQ(quorvel_element_append_child(a, N(b)), 0);
    EXPECT_EQ(shape(N(root)), "r(f a(b) e g)");
    EXPECT_EQ(root->child_count, 4);
    EXPECT_EQ(a->child_count, 1);

    ASSERT_EQ(quorvel_element_insert_before(N(f), N(e)), 0);
    EXPECT_EQ(shape(N(root)), "r(e f a(b) g)");
    ASSERT_EQ(quorvel_element_insert_before(N(a), N(f)), 0);  // already right before a
    EXPECT_EQ(shape(N(root)), "r(e f a(b) g)");
    ASSERT_EQ(quorvel_element_insert_after(N(g), N(e)), 0);
    EXPECT_EQ(shape(N(root)), "r(f a(b) g e)");
    ASSERT_EQ(quorvel_element_insert_after(N(e), N(make("h"))), 0);  // behind the last child
    ASSERT_EQ(quorvel_element_append_child(root, N(make("i"))), 0);   // the last-child cache must follow
    EXPECT_EQ(shape(N(root)), "r(f a(b) g e h i)");
    EXPECT_EQ(root->child_count, 6);
    EXPECT_EQ(top_level(doc), "!c r(f a(b) g e h i)");
}

TEST_F(InsertTest, RefusalsChangeNothing) {
    quorvel_element* a = child(root, "a");
    quorvel_element* b = child(a, "b");
    quorvel_element* c = child(b, "c");
    tree_builder tb(doc);
    quorvel_text* text = tb.append(root, tb.text("t"));
    quorvel_element* stale = child(root, "s");
    ASSERT_EQ(quorvel_node_unlink(N(stale)), 0);
    quorvel_element* loose = make("loose");
    quorvel_node* doc_node = quorvel_document_node(doc);
    auto* text_as_element = reinterpret_cast<quorvel_element*>(text);

    struct refusal {
        const char* what;
        int status;
        int got;
    };
    const std::string before = top_level(doc);
    const refusal cases[] = {
        {"append self", -5, quorvel_element_append_child(a, N(a))},
        {"append ancestor below descendant", -5, quorvel_element_append_child(c, N(a))},
        {"prepend ancestor below descendant", -5, quorvel_element_prepend_child(c, N(root))},
        {"insert ancestor before descendant", -5, quorvel_element_insert_before(N(c), N(a))},
        {"insert ancestor after descendant", -5, quorvel_element_insert_after(N(c), N(b))},
        {"insert before itself", -5, quorvel_element_insert_before(N(b), N(b))},
        {"insert after itself", -5, quorvel_element_insert_after(N(text), N(text))},
        {"stale reference", -5, quorvel_element_insert_before(N(stale), N(loose))},
        {"stale reference, after", -5, quorvel_element_insert_after(N(stale), N(loose))},
        {"document node inserted", -5, quorvel_element_insert_before(N(a), doc_node)},
        {"text as parent", -5, quorvel_element_append_child(text_as_element, N(loose))},
        {"text as parent, prepend", -5, quorvel_element_prepend_child(text_as_element, N(loose))},
        {"document node as parent", -5,
         quorvel_element_append_child(reinterpret_cast<quorvel_element*>(doc_node), N(loose))},
        {"set text on text", -5, quorvel_element_set_text(text_as_element, "x")},
        {"NULL child", -4, quorvel_element_append_child(root, nullptr)},
        {"NULL parent", -4, quorvel_element_prepend_child(nullptr, N(a))},
        {"NULL reference", -4, quorvel_element_insert_after(nullptr, N(a))},
        {"NULL node", -4, quorvel_element_insert_before(N(a), nullptr)},
        {"NULL element", -4, quorvel_element_set_text(nullptr, "x")},
        {"NULL add", -4, quorvel_element_add_child_addr(nullptr, N(a))},
    };
    for (const refusal& r : cases) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.got, r.status);
    }
    EXPECT_EQ(top_level(doc), before);
    EXPECT_EQ(quorvel_element_create_child(text_as_element, "x"), nullptr);
    EXPECT_EQ(quorvel_node_parent_raw(N(loose)), nullptr);
    EXPECT_EQ(top_level(doc), "!c r(a(b(c)) 't')");
}

TEST_F(InsertTest, CycleCheckLooksAtEveryAncestor) {
    // Far deeper than any fixed look-up bound.
    quorvel_element* top = child(root, "top");
    quorvel_element* deepest = top;
    for (int i = 0; i < 10000; i++) deepest = child(deepest, "d");
    EXPECT_EQ(quorvel_element_append_child(deepest, N(top)), -5);
    EXPECT_EQ(quorvel_element_prepend_child(deepest, N(root)), -5);
    EXPECT_EQ(quorvel_node_parent_raw(N(top)), N(root));
    EXPECT_EQ(quorvel_node_first_child(N(deepest)), nullptr);
}

TEST_F(InsertTest, TopLevelNodesLeaveTheListWhenTheyBecomeChildren) {
    // A top-level comment appended to the root is no longer listed at top level.
    ASSERT_EQ(quorvel_element_append_child(root, N(comment)), 0);
    EXPECT_EQ(top_level(doc), "r(!c)");
    EXPECT_EQ(doc->first_top, N(root));
    EXPECT_EQ(doc->last_top, N(root));

    // The root element moved below another element stops being the root.
    quorvel_element* holder = make("holder");
    ASSERT_EQ(quorvel_element_append_child(holder, N(root)), 0);
    EXPECT_EQ(quorvel_document_root(doc), nullptr);
    EXPECT_EQ(doc->first_top, nullptr);
    EXPECT_EQ(doc->last_top, nullptr);
    EXPECT_EQ(shape(N(holder)), "holder(r(!c))");
    EXPECT_EQ(quorvel_document_set_root(doc, holder), 0);
    EXPECT_EQ(quorvel_document_root(doc), holder);
}

TEST_F(InsertTest, InsertAmongTopLevelNodes) {
    tree_builder b(doc);
    quorvel_comment* before_root = b.comment("b");
    ASSERT_EQ(quorvel_element_insert_before(N(root), N(before_root)), 0);
    quorvel_comment* after_root = b.comment("z");
    ASSERT_EQ(quorvel_element_insert_after(N(root), N(after_root)), 0);
    EXPECT_EQ(top_level(doc), "!c !b r !z");
    EXPECT_EQ(doc->last_top, N(after_root));
    EXPECT_EQ(after_root->owner, doc);

    // A child cannot become a second top-level element: it stays with its
    // parent. A top-level node moved within the list keeps the root where
    // it was.
    quorvel_element* kid = child(root, "kid");
    EXPECT_EQ(quorvel_element_insert_after(N(after_root), N(kid)), -5);
    EXPECT_EQ(top_level(doc), "!c !b r(kid) !z");
    EXPECT_EQ(root->child_count, 1);
    EXPECT_EQ(quorvel_node_parent_raw(N(kid)), N(root));
    ASSERT_EQ(quorvel_element_insert_before(N(comment), N(root)), 0);
    EXPECT_EQ(top_level(doc), "r(kid) !c !b !z");
    EXPECT_EQ(quorvel_document_root(doc), root);
    EXPECT_EQ(doc->last_top, N(after_root));

    // A reference in no list at all has no siblings to go among.
    quorvel_element* detached = make("d");
    EXPECT_EQ(quorvel_element_insert_before(N(detached), N(kid)), -5);
    EXPECT_EQ(quorvel_element_insert_after(N(detached), N(before_root)), -5);
    EXPECT_EQ(top_level(doc), "r(kid) !c !b !z");
    EXPECT_EQ(quorvel_node_next_raw(N(detached)), nullptr);

    // A document whose list is empty stands for its root alone.
    quorvel_document* other = quorvel_document_create();
    quorvel_element* other_root = quorvel_element_create(other, "o");
    ASSERT_EQ(quorvel_document_set_root(other, other_root), 0);
    ASSERT_EQ(other->first_top, nullptr);
    tree_builder ob(other);
    ASSERT_EQ(quorvel_element_insert_before(N(other_root), N(ob.comment("p"))), 0);
    EXPECT_EQ(top_level(other), "!p o");
    EXPECT_EQ(other->last_top, N(other_root));
    quorvel_document_free(other);
}

TEST_F(InsertTest, ElementOfAnotherDocumentIsLinkedAsACopy) {
    quorvel_document* other = quorvel_document_create();
    quorvel_element* src_root = quorvel_element_create(other, "src");
    ASSERT_EQ(quorvel_document_set_root(other, src_root), 0);
    quorvel_element* item = quorvel_element_create_child(src_root, "p:item");
    ASSERT_EQ(quorvel_element_add_namespace_definition(src_root, "p", "urn:p"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(item, "id", "a long attribute value"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(item, "n", "7"), 0);
    ASSERT_EQ(quorvel_element_set_text(quorvel_element_create_child(item, "sub"), "text in B"), 0);

    quorvel_node* installed = nullptr;
    ASSERT_EQ(quorvel_element_add_child_addr_installed(root, N(item), &installed), 0);
    ASSERT_NE(installed, nullptr);
    EXPECT_NE(installed, N(item));
    EXPECT_EQ(quorvel_node_parent_raw(N(item)), N(src_root));  // the source stays in place
    ASSERT_EQ(quorvel_element_append_child(root, N(item)), 0);  // and once more
    EXPECT_EQ(shape(N(src_root)), "src(item(sub('text in B')))");
    quorvel_document_free(other);

    // After B is gone, A's copies are intact.
    EXPECT_EQ(shape(N(root)), "r(item(sub('text in B')) item(sub('text in B')))");
    for (quorvel_node* c = quorvel_elem_first_child_raw(root); c; c = quorvel_node_next_raw(c)) {
        auto* e = reinterpret_cast<quorvel_element*>(c);
        EXPECT_STREQ(attr(e, "id"), "a long attribute value");
        EXPECT_STREQ(attr(e, "n"), "7");
        EXPECT_STREQ(quorvel_element_prefix(e), "p");
        EXPECT_STREQ(quorvel_element_namespace(e), "urn:p");  // the binding came along
        EXPECT_EQ(quorvel_element_get_document(e), doc);
    }
}

TEST_F(InsertTest, LeafOfAnotherDocumentIsCopiedAlone) {
    quorvel_document* other = quorvel_document_create();
    tree_builder ob(other);
    quorvel_element* p = ob.root(ob.element("p"));
    quorvel_text* first = ob.append(p, ob.text("one"));
    ob.append(p, ob.comment("two"));
    ob.append(p, ob.element("three"));
    ASSERT_EQ(quorvel_element_append_child(root, N(first)), 0);
    ASSERT_EQ(quorvel_element_prepend_child(root, N(ob.comment("detached"))), 0);
    EXPECT_EQ(shape(N(p)), "p('one' !two three)");
    // A parsed text node knows its document only through its parent; once
    // unlinked it still must not be taken for one of this document.
    quorvel_text* loose = ob.append(p, ob.text("unlinked"));
    ASSERT_EQ(quorvel_node_unlink(N(loose)), 0);
    ASSERT_EQ(quorvel_element_append_child(root, N(loose)), 0);
    EXPECT_EQ(quorvel_node_parent_raw(N(loose)), nullptr);
    quorvel_document_free(other);
    EXPECT_EQ(shape(N(root)), "r(!detached 'one' 'unlinked')");
}

TEST_F(InsertTest, SetTextAndChildValue) {
    quorvel_element* a = child(root, "a");
    child(a, "old");
    ASSERT_EQ(quorvel_element_set_text(a, nullptr), 0);
    EXPECT_EQ(shape(N(a)), "a");
    EXPECT_EQ(a->child_count, 0);
    EXPECT_EQ(quorvel_element_child_value(a), nullptr);
    ASSERT_EQ(quorvel_element_set_text(a, ""), 0);
    EXPECT_EQ(shape(N(a)), "a('')");
    EXPECT_STREQ(quorvel_element_child_value(a), "");

    quorvel_element* b = child(a, "b");
    ASSERT_EQ(quorvel_element_set_text(b, "abc"), 0);
    ASSERT_EQ(quorvel_element_set_text(a, nullptr), 0);
    ASSERT_EQ(quorvel_element_append_child(a, N(b)), 0);
    EXPECT_STREQ(quorvel_element_child_value(a), "abc");

    tree_builder tb(doc);
    quorvel_element* c = child(root, "c");
    tb.append(c, tb.comment("x"));
    tb.append(c, tb.text("later"));
    EXPECT_EQ(quorvel_element_child_value(c), nullptr);
    EXPECT_EQ(quorvel_element_child_value(nullptr), nullptr);
}

TEST_F(InsertTest, EveryInsertionDoesTheBookkeeping) {
    quorvel_element* a = child(root, "a");
    tree_builder tb(doc);
    quorvel_element_ext* ext = tb.ext(root);
    struct step {
        const char* what;
        std::function<int()> run;
    };
    const step steps[] = {
        {"append", [&] { return quorvel_element_append_child(root, N(make("x"))); }},
        {"prepend", [&] { return quorvel_element_prepend_child(root, N(make("x"))); }},
        {"insert before", [&] { return quorvel_element_insert_before(N(a), N(make("x"))); }},
        {"insert after", [&] { return quorvel_element_insert_after(N(a), N(make("x"))); }},
        {"create child", [&] { return quorvel_element_create_child(root, "x") ? 0 : -1; }},
        {"set text", [&] { return quorvel_element_set_text(root, "t"); }},
        {"append copy", [&] { return quorvel_element_append_copy(root, a) ? 0 : -1; }},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        if (!quorvel_node_parent_raw(N(a))) {
            ASSERT_EQ(quorvel_element_append_child(root, N(a)), 0);
        }
        doc->element_index = quorvel_element_index_build(doc);
        ASSERT_NE(doc->element_index, nullptr);
        uint32_t counter = doc->change_counter;
        uint32_t changes = ext->child_changes;
        uint32_t mods = root->head.flags;
        ext->cache_child = N(a);
        ASSERT_EQ(s.run(), 0);
        EXPECT_EQ(doc->element_index, nullptr);
        EXPECT_NE(doc->change_counter, counter);
        EXPECT_NE(ext->child_changes, changes);
        EXPECT_EQ(ext->cache_child, nullptr);
        EXPECT_GE(root->head.flags - mods, kModStep);
    }
}

TEST_F(InsertTest, CopyAndLink) {
    quorvel_element* a = child(root, "a");
    child(a, "b");
    quorvel_element* copy = quorvel_element_append_copy(a, a);  // a copy of a's former content
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(shape(N(root)), "r(a(b a(b)))");

    quorvel_element* before = quorvel_element_insert_copy_before(N(a), copy);
    quorvel_element* after = quorvel_element_insert_copy_after(N(a), copy);
    quorvel_element* first = quorvel_element_prepend_copy(a, copy);
    ASSERT_TRUE(before && after && first);
    EXPECT_EQ(shape(N(root)), "r(a(b) a(a(b) b a(b)) a(b))");
    EXPECT_EQ(doc->last_top, N(root));

    quorvel_element* last = quorvel_element_insert_copy_after(quorvel_node_last_child(N(root)), a);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(quorvel_node_last_child(N(root)), N(last));
    EXPECT_EQ(root->child_count, 4);

    EXPECT_EQ(quorvel_element_insert_copy_after(N(make("loose")), a), nullptr);
    EXPECT_EQ(quorvel_element_insert_copy_before(N(root), a), nullptr);  // top level: no parent
    EXPECT_EQ(quorvel_element_append_copy(nullptr, a), nullptr);
    EXPECT_EQ(quorvel_element_prepend_copy(a, nullptr), nullptr);
}

TEST_F(InsertTest, LongChildListsKeepTheirCacheSlot) {
    // A parent sharing root's slot in the last-child cache.
    auto slot_of = [](const quorvel_element* e) { return (reinterpret_cast<uintptr_t>(e) >> 4) & 63; };
    quorvel_element* other = make("o");
    while (slot_of(other) != slot_of(root)) other = make("o");
    for (int i = 0; i < 100; i++) ASSERT_NE(child(root, "c"), nullptr);
    ASSERT_NE(child(other, "c"), nullptr);
    EXPECT_EQ(doc->last_child_cache[slot_of(root)].parent, root);
    ASSERT_NE(child(root, "c"), nullptr);
    EXPECT_EQ(root->child_count, 101);
    EXPECT_EQ(quorvel_node_last_child(N(root)), doc->last_child_cache[slot_of(root)].last);
}

TEST_F(InsertTest, FarRecordsLinkThroughTheOverflowTable) {
    // A text record placed far from every other record of the document:
    // every link to and from it goes through the thread's overflow table.
    void* far = mmap(reinterpret_cast<void*>(uintptr_t(0x300000000000)), 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(far, MAP_FAILED);
    auto* t = static_cast<quorvel_text*>(far);
    t->head.kind = QUORVEL_NODE_TEXT;
    char* content = static_cast<char*>(far) + 64;
    std::strcpy(content, "far");
    t->content = 64;
    t->length = 3;
    ASSERT_FALSE(quorvel_link_fits(root, t));

    quorvel_element* a = child(root, "a");
    ASSERT_EQ(quorvel_element_append_child(root, N(t)), 0);
    EXPECT_EQ(t->parent, kLinkOverflow);
    EXPECT_EQ(a->next_sibling, kLinkOverflow);
    ASSERT_EQ(quorvel_element_append_child(root, N(make("b"))), 0);
    EXPECT_EQ(shape(N(root)), "r(a 'far' b)");
    ASSERT_EQ(quorvel_element_prepend_child(a, N(t)), 0);
    EXPECT_EQ(shape(N(root)), "r(a('far') b)");
    EXPECT_EQ(a->first_child, kLinkOverflow);
    ASSERT_EQ(quorvel_element_remove_child(N(a), N(t)), 0);
    EXPECT_EQ(t->owner, kLinkOverflow);  // it remembers its document on the way out
    ASSERT_EQ(quorvel_element_insert_after(N(a), N(t)), 0);
    EXPECT_EQ(shape(N(root)), "r(a 'far' b)");
    // The entries belong to the document: its free removes them.
    quorvel_document_free(doc);
    doc = nullptr;
    EXPECT_EQ(g_overflow_table, nullptr);
    munmap(far, 4096);
}

TEST_F(InsertTest, TheLinkingStepForBuilders) {
    quorvel_element* a = make("a");
    quorvel_element* b = make("b");
    quorvel_element_append_child_internal_doc(root, N(a), doc);
    quorvel_element_append_child_hint_doc(root, N(b), doc, N(a));
    quorvel_element_append_child_internal_doc(nullptr, N(a), doc);
    quorvel_element_append_child_internal_doc(root, nullptr, doc);
    quorvel_element_append_child_internal_doc(root, quorvel_document_node(doc), doc);  // ignored
    EXPECT_EQ(shape(N(root)), "r(a b)");
    EXPECT_EQ(root->child_count, 2);
    // A child that had a parent moves.
    quorvel_element_append_child_internal_doc(b, N(a), nullptr);
    EXPECT_EQ(shape(N(root)), "r(b(a))");
    EXPECT_EQ(root->child_count, 1);
}

}  // namespace
