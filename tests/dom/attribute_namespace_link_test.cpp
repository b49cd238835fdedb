// Every attribute the library makes links to a namespace record of its own
// element, or to none: parsed (plain, recover and fast-path builds), set
// through the API, copied and read back from a fragment. Run on a thread
// that parsed and freed documents before, so that records built in reused
// memory show any link they did not set themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dom/dom.h"

namespace {

// Walks every element under e and checks its attributes' namespace links.
void check_links(const quorvel_element* e, const std::string& where) {
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        const char* colon = static_cast<const char*>(std::memchr(a->name, ':', a->name_length));
        const auto* ns = static_cast<const quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
        if (!colon) {
            EXPECT_EQ(ns, nullptr) << where << ": " << a->name;
            continue;
        }
        ASSERT_NE(ns, nullptr) << where << ": " << a->name;
        EXPECT_EQ(ns->owner, e) << where << ": " << a->name;
        if (ns->prefix) {
            std::string name(a->name, a->name_length);
            EXPECT_EQ(name.compare(0, std::strlen(ns->prefix) + 1, std::string(ns->prefix) + ":"), 0)
                << where << ": " << name << " prefix " << ns->prefix;
        }
    }
    for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c))
        if (c->kind == QUORVEL_NODE_ELEMENT) check_links(reinterpret_cast<const quorvel_element*>(c), where);
}

void warm_thread() {
    std::string big = "<r>";
    for (int i = 0; i < 2000; i++) big += "<e xmlns:q='urn:x' q:a='" + std::to_string(i) + "' b='v'>t</e>";
    big += "</r>";
    for (int i = 0; i < 4; i++) {
        int status = 0;
        quorvel_document_free(quorvel_parse_string(big.data(), big.size(), &status));
        quorvel_document_free(quorvel_parse_string("<a x:y='1'/>", 12, &status));
    }
}

TEST(AttributeNamespaceLink, EveryPathLinksARecordOfItsOwnElement) {
    // A declaration or a new prefix in the same tag takes the small-record
    // chunk the namespace record then comes from.
    const std::vector<std::string> inputs = {
        "<t t=\"\"><o xmlns=\"\" p:a=\"\"/></t>",
        "<o xmlns:p=\"u\" p:a=\"1\" p:b=\"2\"><i xmlns:q=\"v\" q:c=\"3\" p:d=\"4\"/></o>",
        "<o longprefix" + std::string(300, 'x') + ":a='1' p:b='2'/>",
        "<!DOCTYPE[\r]><t t=\"\"><o xmlns=\"\" p:=\"\" q:r=\"\">",
    };
    warm_thread();
    for (const std::string& in : inputs) {
        for (int flags : {0, 0x20}) {
            for (int round = 0; round < 3; round++) {
                std::string where = in + " flags " + std::to_string(flags);
                int status = 0;
                quorvel_document* doc = quorvel_parse_string_flags(in.data(), in.size(), flags, &status);
                if (!doc) continue;  // refused names are the parser's business; links are ours
                quorvel_element* root = quorvel_document_root(doc);
                ASSERT_NE(root, nullptr) << where;
                check_links(root, where);

                // Set through the API, copied into another document, and
                // parsed as a fragment.
                ASSERT_EQ(quorvel_element_set_attribute(root, "z:w", "a value longer than eight"), QUORVEL_OK);
                check_links(root, where + " set");
                quorvel_document* other = quorvel_document_create();
                quorvel_element* copy = quorvel_element_copy(root, other);
                ASSERT_NE(copy, nullptr) << where;
                check_links(copy, where + " copy");
                int fstatus = 0;
                if (quorvel_element* f = quorvel_parse_fragment(in.data(), in.size(), other, &fstatus))
                    check_links(f, where + " fragment");
                char* text = quorvel_document_serialize(doc, nullptr);
                ASSERT_NE(text, nullptr) << where;
                quorvel_free_string(text);
                quorvel_document_free(other);
                quorvel_document_free(doc);
            }
        }
    }
}

}  // namespace

namespace {

// Names with an empty prefix or local part are refused by every call that
// names an element or attribute, so what the library writes parses back.
TEST(NamesWithAnEmptyPart, AreRefusedWhereverANameIsGiven) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_element* root = quorvel_element_create(doc, "r");
    ASSERT_EQ(quorvel_document_set_root(doc, root), QUORVEL_OK);
    for (const char* name : {"foo:", ":foo", ":", "a:b:"}) {
        EXPECT_EQ(quorvel_element_create(doc, name), nullptr) << name;
        EXPECT_EQ(quorvel_element_create_child(root, name), nullptr) << name;
        EXPECT_EQ(quorvel_element_set_name(root, name), QUORVEL_ERR_INVALID_ARGUMENT) << name;
        EXPECT_EQ(quorvel_element_set_attribute(root, name, "v"), QUORVEL_ERR_INVALID_ARGUMENT) << name;
    }
    EXPECT_EQ(quorvel_element_set_attribute(root, "p:a", "v"), QUORVEL_OK);
    char* text = quorvel_document_serialize(doc, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "<r p:a=\"v\"/>");
    quorvel_free_string(text);
    quorvel_document_free(doc);
}

}  // namespace
