// Attribute and name changes: set and replace, value storage, wide elements
// through the attribute index, typed setters, removal, raw appends, rename,
// moves into a namespace, and the caches these changes must keep honest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

const quorvel_attribute* find(const quorvel_element* e, const char* name) {
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (a->name && std::strcmp(a->name, name) == 0) return a;
    return nullptr;
}

const char* value(const quorvel_element* e, const char* name) {
    const quorvel_attribute* a = find(e, name);
    return a ? quorvel_attribute_stored_value(a) : nullptr;
}

std::vector<std::string> names(const quorvel_element* e) {
    std::vector<std::string> out;
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) out.push_back(a->name);
    return out;
}

class MutateTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = quorvel_document_create();
        root = quorvel_element_create(doc, "r");
        ASSERT_EQ(quorvel_document_set_root(doc, root), 0);
    }
    void TearDown() override { quorvel_document_free(doc); }

    quorvel_document* doc = nullptr;
    quorvel_element* root = nullptr;
};

TEST_F(MutateTest, SetReplacesInPlaceAndAppendsNewNames) {
    ASSERT_EQ(quorvel_element_set_attribute(root, "a", "1"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "b", "2"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "c", "3"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "a", "changed"), 0);
    EXPECT_EQ(names(root), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_STREQ(value(root, "a"), "changed");
    EXPECT_EQ(root->attr_count, 3);

    // Removing the last one and setting a new name appends behind the rest.
    ASSERT_EQ(quorvel_element_remove_attribute(root, "c"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "d", nullptr), 0);
    EXPECT_EQ(names(root), (std::vector<std::string>{"a", "b", "d"}));
    EXPECT_STREQ(value(root, "d"), "");  // a NULL value reads as empty
    ASSERT_EQ(quorvel_element_remove_attribute(root, "a"), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "e", "5"), 0);
    EXPECT_EQ(names(root), (std::vector<std::string>{"b", "d", "e"}));
    EXPECT_EQ(root->attr_count, 3);
}

TEST_F(MutateTest, ValuesAreStoredInlineOrCopiedNeverBorrowed) {
    char buffer[64];
    std::strcpy(buffer, "seven77");
    uint32_t mods = root->head.flags;
    ASSERT_EQ(quorvel_element_set_attribute(root, "s", buffer), 0);
    std::strcpy(buffer, "eight888");
    ASSERT_EQ(quorvel_element_set_attribute(root, "l", buffer), 0);
    const quorvel_attribute* s = find(root, "s");
    const quorvel_attribute* l = find(root, "l");
    EXPECT_TRUE(s->value_length & kAttrInlineValue);
    EXPECT_FALSE(l->value_length & kAttrInlineValue);
    EXPECT_NE(l->value, buffer);

    // Replacements copy the caller's bytes too.
    std::strcpy(buffer, "a replacement value");
    ASSERT_EQ(quorvel_element_set_attribute(root, "s", buffer), 0);
    ASSERT_EQ(quorvel_element_set_attribute(root, "l", "short"), 0);
    std::strcpy(buffer, "overwritten by the caller");
    EXPECT_STREQ(value(root, "s"), "a replacement value");
    EXPECT_STREQ(value(root, "l"), "short");
    EXPECT_EQ(root->head.flags - mods, 4 * kModStep);

    // A replaced value loses its pending mark: it is what the caller gave.
    tree_builder b(doc);
    quorvel_element* parsed = quorvel_element_create_child(root, "parsed");
    quorvel_attribute* raw = b.attribute(parsed, "raw", "a&amp;b", true);
    ASSERT_EQ(quorvel_element_set_attribute(parsed, "raw", "x&y"), 0);
    EXPECT_FALSE(raw->hash & kAttrPendingEntities);
    EXPECT_STREQ(value(parsed, "raw"), "x&y");
}

TEST_F(MutateTest, WideElementsStayConsistent) {
    // Past 8 attributes the element is entered in the attribute index; past
    // 255 the 8-bit count saturates and readers count the chain.
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 300; i++) {
            std::string name = "n" + std::to_string(i);
            ASSERT_EQ(quorvel_element_set_attribute(root, name.c_str(), std::to_string(i + round).c_str()), 0);
            if (round == 0 && (i == 8 || i == 9)) {
                // The call that finds 9 attributes is the first to index.
                EXPECT_EQ((root->eflags & kElemAttrIndexed) != 0, i == 9);
            }
        }
    }
    EXPECT_EQ(quorvel_element_attribute_count(root), 300u);
    for (int i = 0; i < 300; i += 3) ASSERT_EQ(quorvel_element_remove_attribute(root, ("n" + std::to_string(i)).c_str()), 0);
    for (int i = 0; i < 300; i++) ASSERT_EQ(quorvel_element_set_attribute(root, ("n" + std::to_string(i)).c_str(), "v"), 0);
    std::vector<std::string> all = names(root);
    EXPECT_EQ(all.size(), 300u);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 300u);  // no duplicates
    EXPECT_EQ(quorvel_element_attribute_count(root), 300u);
    for (int i = 0; i < 290; i++) ASSERT_EQ(quorvel_element_remove_attribute(root, ("n" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(quorvel_element_attribute_count(root), 10u);
    EXPECT_EQ(root->attr_count, 10);

    // Two wide elements share the document's index without mixing.
    quorvel_element* other = quorvel_element_create_child(root, "o");
    for (int i = 0; i < 40; i++) ASSERT_EQ(quorvel_element_set_attribute(other, ("n" + std::to_string(i)).c_str(), "o"), 0);
    EXPECT_EQ(quorvel_element_attribute_count(other), 40u);
    EXPECT_STREQ(value(root, "n295"), "v");
    EXPECT_STREQ(value(other, "n5"), "o");
}

TEST_F(MutateTest, TypedSetters) {
    struct typed {
        const char* what;
        int status;
        const char* text;
    };
    const typed cases[] = {
        {"int 42", quorvel_element_set_attribute_int(root, "i", 42), "42"},
        {"int min", quorvel_element_set_attribute_int(root, "m", -2147483647 - 1), "-2147483648"},
        {"uint max", quorvel_element_set_attribute_uint(root, "u", 4294967295u), "4294967295"},
        {"double 0.1", quorvel_element_set_attribute_double(root, "d", 0.1), "0.10000000000000001"},
        {"float 0.1", quorvel_element_set_attribute_float(root, "f", 0.1f), "0.100000001"},
        {"bool 1", quorvel_element_set_attribute_bool(root, "b", 1), "true"},
        {"bool 0", quorvel_element_set_attribute_bool(root, "c", 0), "false"},
    };
    for (const typed& t : cases) {
        SCOPED_TRACE(t.what);
        EXPECT_EQ(t.status, 0);
    }
    EXPECT_STREQ(value(root, "i"), "42");
    EXPECT_STREQ(value(root, "m"), "-2147483648");
    EXPECT_STREQ(value(root, "u"), "4294967295");
    EXPECT_STREQ(value(root, "d"), "0.10000000000000001");
    EXPECT_STREQ(value(root, "b"), "true");
    EXPECT_STREQ(value(root, "c"), "false");
    // Floats read back as the very same float.
    for (float f : {0.1f, 0.123456789f, 3.4028235e38f, 1.17549435e-38f, -7.0f, 16777217.0f}) {
        ASSERT_EQ(quorvel_element_set_attribute_float(root, "f", f), 0);
        EXPECT_EQ(std::strtof(value(root, "f"), nullptr), f) << value(root, "f");
    }
    EXPECT_EQ(quorvel_element_set_attribute_int(nullptr, "x", 1), -4);
    EXPECT_EQ(quorvel_element_set_attribute_float(root, nullptr, 1), -4);
}

TEST_F(MutateTest, RefusalsChangeNothing) {
    tree_builder b(doc);
    quorvel_text* text = b.append(root, b.text("t"));
    auto* not_element = reinterpret_cast<quorvel_element*>(text);
    quorvel_element* bare = quorvel_element_create_child(root, "bare");
    ASSERT_EQ(quorvel_element_set_attribute(root, "a", "1"), 0);
    struct refusal {
        const char* what;
        int status;
        int got;
    };
    const refusal cases[] = {
        {"set on text", -5, quorvel_element_set_attribute(not_element, "a", "1")},
        {"remove on text", -5, quorvel_element_remove_attribute(not_element, "a")},
        {"rename text", -5, quorvel_element_set_name(not_element, "x")},
        {"namespace of text", -5, quorvel_element_set_namespace(not_element, "urn:x")},
        {"typed set on text", -5, quorvel_element_set_attribute_int(not_element, "a", 1)},
        {"remove missing", -6, quorvel_element_remove_attribute(root, "b")},
        {"remove without attributes", -6, quorvel_element_remove_attribute(bare, "a")},
        {"remove NULL name", -4, quorvel_element_remove_attribute(root, nullptr)},
        {"set NULL element", -4, quorvel_element_set_attribute(nullptr, "a", "1")},
        {"rename NULL name", -5, quorvel_element_set_name(root, nullptr)},
        {"rename NULL", -4, quorvel_element_set_name(nullptr, "x")},
        {"undeclared namespace", -6, quorvel_element_set_namespace(bare, "urn:nowhere")},
    };
    for (const refusal& r : cases) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.got, r.status);
    }
    EXPECT_EQ(names(root), std::vector<std::string>{"a"});
    EXPECT_EQ(text->head.kind, QUORVEL_NODE_TEXT);
    EXPECT_EQ(quorvel_element_prefix(bare), nullptr);

    // Elements with no document: a new attribute has nowhere to live, nor a
    // long replacement value or a new name.
    quorvel_element* orphan = quorvel_element_create_with_view("o", 1, doc->pool);
    EXPECT_EQ(quorvel_element_set_attribute(orphan, "a", "1"), -1);
    EXPECT_EQ(quorvel_element_set_name(orphan, "x"), -5);
    EXPECT_EQ(quorvel_element_set_namespace(orphan, nullptr), -5);
    quorvel_element_add_attribute(orphan, "a", 1, "1", 1, doc->pool);
    EXPECT_EQ(quorvel_element_set_attribute(orphan, "a", "short"), 0);  // inline: no storage needed
    EXPECT_EQ(quorvel_element_set_attribute(orphan, "a", "a longer value"), -1);
    EXPECT_STREQ(value(orphan, "a"), "short");
}

TEST_F(MutateTest, NewWithAttributes) {
    const char* names2[] = {"x", nullptr};
    EXPECT_EQ(quorvel_element_new_with_attributes(doc, "e", names2, nullptr, 2), nullptr);
    quorvel_element* bare = quorvel_element_new_with_attributes(doc, "e", nullptr, nullptr, 0);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(quorvel_elem_first_attr(bare), nullptr);
    EXPECT_EQ(quorvel_element_new_with_attributes(doc, "e", nullptr, nullptr, 1), nullptr);
    const char* n[] = {"a", "p:b", "c"};
    const char* v[] = {"1", nullptr, "three is long"};
    quorvel_element* e = quorvel_element_new_with_attributes(doc, "e", n, v, 3);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(names(e), (std::vector<std::string>{"a", "p:b", "c"}));
    EXPECT_STREQ(value(e, "p:b"), "");
    EXPECT_STREQ(value(e, "c"), "three is long");
    auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(find(e, "p:b"), &find(e, "p:b")->ns));
    ASSERT_NE(ns, nullptr);
    EXPECT_STREQ(ns->prefix, "p");
    EXPECT_EQ(ns->owner, e);
    EXPECT_EQ(find(e, "a")->ns, 0);
}

TEST_F(MutateTest, RawAppendsDecodeAtOnce) {
    quorvel_element* e = quorvel_element_create_with_view("e", 1, doc->pool);
    quorvel_element_add_attribute(e, "a", 1, "x &amp; y", 9, doc->pool);
    quorvel_element_add_attribute(e, "q:b", 3, "short", 5, doc->pool);
    quorvel_element_add_attribute(e, "a", 1, "dup", 3, doc->pool);  // no duplicate check
    quorvel_element_add_attribute(e, nullptr, 1, "v", 1, doc->pool);
    quorvel_element_add_attribute(e, "z", 0, "v", 1, doc->pool);
    EXPECT_EQ(names(e), (std::vector<std::string>{"a", "q:b", "a"}));
    EXPECT_STREQ(value(e, "a"), "x & y");
    EXPECT_FALSE(find(e, "q:b")->value_length & kAttrInlineValue);  // never inline here
    EXPECT_EQ(e->attr_count, 3);

    // A value that does not decode stays raw, marked for readers.
    int strict = quorvel_get_strict_mode();
    quorvel_set_strict_mode(1);
    quorvel_element_add_attribute(e, "u", 1, "&undeclared;", 12, doc->pool);
    quorvel_set_strict_mode(strict);
    EXPECT_STREQ(value(e, "u"), "&undeclared;");
    EXPECT_TRUE(find(e, "u")->hash & kAttrPendingEntities);
}

TEST_F(MutateTest, RenameSplitsAndRefreshesTheNamespace) {
    quorvel_element_add_namespace_definition(root, "p", "urn:p");
    quorvel_element_add_namespace_definition(root, "q", "urn:q");
    quorvel_element* e = quorvel_element_create_child(root, "p:item");
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:p");  // now cached

    struct rename {
        const char* name;
        const char* local;
        const char* prefix;
        const char* uri;
    };
    const rename cases[] = {
        {"q:item", "item", "q", "urn:q"}, {"item", "item", nullptr, nullptr}, {"p:x", "x", "p", "urn:p"},
        {"q:", nullptr, nullptr, nullptr}, {":a", nullptr, nullptr, nullptr}, {"p:a:b", "a:b", "p", "urn:p"},
        {":", nullptr, nullptr, nullptr},
    };
    for (const rename& r : cases) {
        SCOPED_TRACE(r.name);
        uint32_t mods = e->head.flags;
        if (!r.local) {
            // An empty prefix or local part would not parse back: refused,
            // and the element keeps its name.
            std::string before = quorvel_element_name(e);
            EXPECT_EQ(quorvel_element_set_name(e, r.name), QUORVEL_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(quorvel_element_name(e), before);
            EXPECT_EQ(e->head.flags, mods);
            continue;
        }
        ASSERT_EQ(quorvel_element_set_name(e, r.name), 0);
        EXPECT_STREQ(quorvel_element_name(e), r.local);
        EXPECT_STREQ(quorvel_element_prefix(e), r.prefix);
        EXPECT_STREQ(quorvel_element_namespace(e), r.uri);
        EXPECT_EQ(e->name_hash, quorvel_name_hash16(r.local, std::strlen(r.local)));
        EXPECT_EQ(e->head.flags - mods, kModStep);
        EXPECT_EQ(quorvel_element_get_document(e), doc);
    }
    std::string longer(400, 'l');
    ASSERT_EQ(quorvel_element_set_name(e, ("q:" + longer).c_str()), 0);
    EXPECT_EQ(quorvel_element_name(e), longer);
    EXPECT_EQ(e->name_length, 255);
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:q");
}

TEST_F(MutateTest, SetNamespace) {
    quorvel_element_add_namespace_definition(root, "x", "urn:x");
    quorvel_element_add_namespace_definition(root, nullptr, "urn:default");
    quorvel_element* e = quorvel_element_create_child(root, "item");
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:default");
    EXPECT_EQ(quorvel_element_set_namespace(e, "urn:default"), -6);  // bound only as the default

    ASSERT_EQ(quorvel_element_set_namespace(e, "urn:x"), 0);
    EXPECT_STREQ(quorvel_element_name(e), "item");
    EXPECT_STREQ(quorvel_element_prefix(e), "x");
    EXPECT_STREQ(quorvel_element_namespace(e), "urn:x");

    // A prefix bound to the URI farther up but rebound nearer is not used.
    quorvel_element* mid = quorvel_element_create_child(root, "mid");
    quorvel_element_add_namespace_definition(mid, "x", "urn:elsewhere");
    quorvel_element* below = quorvel_element_create_child(mid, "below");
    EXPECT_EQ(quorvel_element_set_namespace(below, "urn:x"), -6);
    quorvel_element_add_namespace_definition(root, "y", "urn:x");
    ASSERT_EQ(quorvel_element_set_namespace(below, "urn:x"), 0);
    EXPECT_STREQ(quorvel_element_prefix(below), "y");

    // Leaving every namespace below a default declaration undeclares it once.
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(quorvel_element_set_namespace(e, nullptr), 0);
        EXPECT_EQ(quorvel_element_prefix(e), nullptr);
        EXPECT_EQ(quorvel_element_namespace(e), nullptr);
        ASSERT_EQ(quorvel_element_namespace_count(e), 1u);
        EXPECT_EQ(quorvel_element_namespace_decl_prefix(e, 0), nullptr);
        EXPECT_STREQ(quorvel_element_namespace_decl_uri(e, 0), "");
    }

    // An element that declares the default namespace itself gives it up
    // rather than carry two default declarations.
    quorvel_element* own = quorvel_element_create_child(root, "own");
    quorvel_element_add_namespace_definition(own, nullptr, "urn:own");
    quorvel_element* inner = quorvel_element_create_child(own, "inner");
    EXPECT_STREQ(quorvel_element_namespace(inner), "urn:own");
    ASSERT_EQ(quorvel_element_set_namespace(own, ""), 0);
    EXPECT_EQ(quorvel_element_namespace_count(own), 1u);
    EXPECT_EQ(quorvel_element_namespace(own), nullptr);
    EXPECT_EQ(quorvel_element_namespace(inner), nullptr);

    // Without a default namespace in scope nothing is declared.
    quorvel_document* plain = quorvel_document_create();
    quorvel_element* lone = quorvel_element_create(plain, "lone");
    ASSERT_EQ(quorvel_element_set_namespace(lone, nullptr), 0);
    EXPECT_EQ(quorvel_element_namespace_count(lone), 0u);
    quorvel_document_free(plain);
}

TEST_F(MutateTest, AttributeChangesAndRenamesDropTheElementIndex) {
    quorvel_element* e = quorvel_element_create_child(root, "e");
    ASSERT_EQ(quorvel_element_set_attribute(e, "id", "x"), 0);
    struct change {
        const char* what;
        std::function<int()> run;
    };
    const change changes[] = {
        {"set new", [&] { return quorvel_element_set_attribute(e, "k", "v"); }},
        {"replace", [&] { return quorvel_element_set_attribute(e, "id", "y"); }},
        {"remove", [&] { return quorvel_element_remove_attribute(e, "k"); }},
        {"rename", [&] { return quorvel_element_set_name(e, "renamed"); }},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.what);
        doc->element_index = quorvel_element_index_build(doc);
        ASSERT_NE(doc->element_index, nullptr);
        ASSERT_EQ(c.run(), 0);
        EXPECT_EQ(doc->element_index, nullptr);
    }
}

TEST_F(MutateTest, FrozenElementsChangeLikeAnyOther) {
    quorvel_document_freeze(doc);
    ASSERT_TRUE(root->head.flags & kNodeFrozen);
    EXPECT_EQ(quorvel_element_set_attribute(root, "a", "1"), 0);
    EXPECT_EQ(quorvel_element_set_name(root, "renamed"), 0);
    EXPECT_EQ(quorvel_element_remove_attribute(root, "a"), 0);
    EXPECT_TRUE(root->head.flags & kNodeFrozen);
}

}  // namespace
