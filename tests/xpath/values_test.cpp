// XPath values: records and their free lists, node-set growth, carriers,
// string values, the conversions and both number forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xpath/xpath.h"
#include "xpath_test_support.h"

namespace {

using xpath_test::take;

std::string carrier(const std::string& bytes) { return bytes; }

quorvel_node* fake_node(uintptr_t address) { return reinterpret_cast<quorvel_node*>(address); }

class XpathValues : public ::testing::Test {
protected:
    void SetUp() override { quorvel_xpath_tls_release(); }
    void TearDown() override { quorvel_xpath_tls_release(); }
};

TEST_F(XpathValues, ResultFreeListKeepsThirtyTwoAndIgnoresASecondFree) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_STRING);
    ASSERT_NE(r, nullptr);
    r->value.string = static_cast<char*>(std::malloc(4));
    std::strcpy(r->value.string, "abc");
    xpath_result_free(r);
    EXPECT_EQ(r->kind, XPATH_FREED);
    xpath_result_free(r);  // a record already on the list is left alone
    EXPECT_EQ(g_xpath_tls.result_free_count, 1);
    quorvel_xpath_result* again = xpath_result_new(XPATH_NUMBER);
    EXPECT_EQ(again, r);
    EXPECT_EQ(again->value.number, 0.0);
    EXPECT_EQ(again->exact_integer_set, 0);
    EXPECT_EQ(again->type_name, nullptr);
    EXPECT_EQ(again->cached_string, nullptr);
    xpath_result_free(again);

    std::vector<quorvel_xpath_result*> many;
    for (int i = 0; i < 40; i++) many.push_back(xpath_result_new(XPATH_BOOLEAN));
    for (auto* x : many) quorvel_xpath_result_free(x);
    EXPECT_EQ(g_xpath_tls.result_free_count, kXpathMaxFreeResults);
}

TEST_F(XpathValues, NodeSetFreeListKeepsSixtyFour) {
    std::vector<quorvel_xpath_node_set*> sets;
    for (int i = 0; i < 70; i++) sets.push_back(xpath_nodeset_new());
    for (auto* s : sets) xpath_nodeset_free(s);
    EXPECT_EQ(g_xpath_tls.nodeset_free_count, kXpathMaxFreeNodesets);
    quorvel_xpath_node_set* s = xpath_nodeset_new();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->items, s->inline_items);
    EXPECT_EQ(s->count, 0u);
    EXPECT_EQ(s->capacity, kXpathInlineSlots);
    EXPECT_EQ(s->inline_items[0], nullptr);  // the link slot is cleared
    EXPECT_EQ(s->owns_carriers, 0);
    xpath_nodeset_free(s);
}

TEST_F(XpathValues, NodeSetGrowthAndLimits) {
    quorvel_xpath_node_set* s = xpath_nodeset_new();
    xpath_nodeset_add(s, fake_node(4095));  // never stored
    xpath_nodeset_add(s, nullptr);
    EXPECT_EQ(s->count, 0u);
    for (uintptr_t i = 0; i < 16; i++) xpath_nodeset_add(s, fake_node(0x10000 + 16 * i));
    EXPECT_EQ(s->items, s->inline_items);
    xpath_nodeset_add(s, fake_node(0x20000));
    EXPECT_NE(s->items, s->inline_items);
    EXPECT_EQ(s->capacity, 32u);
    EXPECT_EQ(s->count, 17u);
    for (uintptr_t i = 0; i < 16; i++) EXPECT_EQ(s->items[i], fake_node(0x10000 + 16 * i));
    xpath_nodeset_free(s);

    // A set at the capacity limit keeps its items and takes no more; no
    // item is written, so the inline slots can stand in for the array.
    s = xpath_nodeset_new();
    s->count = s->capacity = kXpathMaxNodesetCapacity;
    EXPECT_EQ(xpath_nodeset_add(s, fake_node(0x30000)), s);
    EXPECT_EQ(s->count, kXpathMaxNodesetCapacity);
    s->capacity = kXpathMaxNodesetCapacity + 1;
    s->count = 0;
    EXPECT_EQ(xpath_nodeset_add(s, fake_node(0x30000)), s);
    EXPECT_EQ(s->count, 0u);
    s->capacity = kXpathInlineSlots;
    xpath_nodeset_free(s);

    s = xpath_nodeset_new_with_capacity(100);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->capacity, 100u);
    EXPECT_NE(s->items, s->inline_items);
    for (int i = 0; i < 200; i++) ASSERT_TRUE(xpath_nodeset_add_fast(s, fake_node(0x40000)));
    EXPECT_EQ(s->count, 200u);
    xpath_nodeset_free(s);
}

TEST_F(XpathValues, NumberToStringForms) {
    struct row {
        double value;
        const char* text;
    } rows[] = {
        {NAN, "NaN"}, {INFINITY, "Infinity"}, {-INFINITY, "-Infinity"}, {0.0, "0"}, {-0.0, "0"},
        {1.0, "1"}, {-7.0, "-7"}, {0.5, "0.5"}, {1.1, "1.1"}, {0.1 + 0.2, "0.3"},
        {123456789.5, "123456789.5"}, {2147483646.0, "2147483646"},
        // Whole numbers below 2^53 print as plain digits.
        {2147483647.0, "2147483647"}, {-2147483648.0, "-2147483648"}, {1e9, "1000000000"},
        {3e9, "3000000000"}, {1e10, "10000000000"}, {9007199254740991.0, "9007199254740991"},
        {9007199254740992.0, "9.00719925474099e+15"}, {1e20, "1e+20"}, {-1.5e300, "-1.5e+300"},
        {1e9 + 0.5, "1.0000000005e+09"}, {0.00001, "0.00001"}, {0.000001, "1e-06"}, {1.5e-7, "1.5e-07"},
        {1e-300, "1e-300"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(take(xpath_number_to_string(r.value)), r.text);
    }
}

TEST_F(XpathValues, CanonicalNumberForms) {
    struct row {
        double value;
        int as_float;
        const char* text;
    } rows[] = {
        {100.0, 0, "100"}, {-0.0, 0, "-0"}, {0.0, 0, "0"}, {NAN, 0, "NaN"}, {INFINITY, 0, "INF"},
        {-INFINITY, 0, "-INF"}, {1e18, 0, "1000000000000000000"}, {1e19, 0, "1E19"}, {1.5e20, 0, "1.5E20"},
        {1e-20, 0, "1E-20"}, {2.5e300, 0, "2.5E300"}, {0.1, 0, "0.1"}, {123.456, 0, "123.456"},
        {-2.5, 0, "-2.5"}, {0.1, 1, "0.1"}, {3.4028234663852886e38, 1, "3.4028235E38"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(take(xpath_number_to_string_xq_typed(nullptr, r.as_float, r.value)), r.text);
    }
}

TEST_F(XpathValues, StringToNumber) {
    struct row {
        const char* text;
        double value;  // NaN expected when NaN
    } rows[] = {
        {" 12 ", 12}, {"\t12\n", 12}, {"12a", NAN}, {"", NAN}, {"   ", NAN}, {"1e3", 1000},
        {"-0.5", -0.5}, {"abc", NAN}, {"12abc", NAN}, {".5", 0.5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        double v = xpath_string_to_number(r.text);
        if (std::isnan(r.value))
            EXPECT_TRUE(std::isnan(v));
        else
            EXPECT_EQ(v, r.value);
    }
}

// A one-item node set holding a carrier with the given text.
quorvel_xpath_result* one_carrier(const std::string& text, bool sequence) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    r->value.nodeset = xpath_nodeset_new();
    r->value.nodeset->owns_carriers = 1;
    r->value.nodeset->is_sequence = sequence;
    xpath_nodeset_add(r->value.nodeset, xpath_synth_text(text.data(), text.size()));
    return r;
}

TEST_F(XpathValues, CarrierStringValues) {
    struct row {
        std::string text;
        std::string value;
    } rows[] = {
        {"plain", "plain"},
        {carrier("\x03" "Aid\x01x7"), "x7"},
        {carrier("\x03" "Aid"), ""},
        {carrier("\x03" "E"), ""},
        {carrier("\x03" "E2024-01-02"), "2024-01-02"},
        {carrier("\x03" "FNaN"), "NaN"},
        {carrier("\x03" "F1.5"), "1.5"},
        {carrier("\x03" "FRconcat#2"), "\x03" "FRconcat#2"},
        {carrier("\x03" "Bt"), "true"},
        {carrier("\x03" "Bfalse"), "false"},
        {carrier("\x03" "N42"), "42"},
        {carrier("\x03" "D1.50"), "1.50"},
        {carrier("\x03" "dPT1H"), "PT1H"},
        {carrier("\x03" "MAP\x02" "a\x01" "1"), "\x03" "MAP\x02" "a\x01" "1"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        quorvel_xpath_result* res = one_carrier(r.text, true);
        EXPECT_EQ(take(xpath_to_string(res)), r.value);
        xpath_result_free(res);
    }
}

TEST_F(XpathValues, EffectiveBooleanValue) {
    struct row {
        std::string text;
        bool sequence;
        int value;
    } rows[] = {
        {"", true, 0},   // the string item ""
        {"", false, 1},  // an untagged item of a plain node set
        {"x", true, 1},
        {carrier("\x03" "Bf"), true, 0},
        {carrier("\x03" "Bt"), true, 1},
        {carrier("\x03" "D0.0"), true, 0},
        {carrier("\x03" "N0"), true, 0},
        {carrier("\x03" "ONaN"), true, 0},
        {carrier("\x03" "N3"), true, 1},
        {carrier("\x03" "E"), true, 1},
        {carrier("\x03" "MAP"), true, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        quorvel_xpath_result* res = one_carrier(r.text, r.sequence);
        EXPECT_EQ(xpath_to_boolean(res), r.value);
        xpath_result_free(res);
    }
    quorvel_xpath_result* n = xpath_result_new(XPATH_NUMBER);
    n->value.number = NAN;
    EXPECT_EQ(xpath_to_boolean(n), 0);
    n->value.number = -2;
    EXPECT_EQ(xpath_to_boolean(n), 1);
    xpath_result_free(n);
    quorvel_xpath_result* empty = xpath_result_new(XPATH_NODESET);
    EXPECT_EQ(xpath_to_boolean(empty), 0);
    EXPECT_TRUE(std::isnan(xpath_to_number(empty)));
    EXPECT_EQ(take(xpath_to_string(empty)), "");
    xpath_result_free(empty);
    EXPECT_EQ(take(xpath_to_string(nullptr)), "");
}

TEST_F(XpathValues, ResultToStringUsesExactIntegerAndTypedForms) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
    r->value.number = 9.3e18;
    r->exact_integer_set = 1;
    r->exact_integer = 9223372036854775807LL;
    EXPECT_EQ(take(xpath_to_string(r)), "9223372036854775807");
    r->exact_integer_set = 0;
    r->typed_number = 1;
    r->value.number = 1e19;
    EXPECT_EQ(take(xpath_to_string(r)), "1E19");
    r->type_name = "xs:float";
    EXPECT_EQ(xpath_result_is_float(r), 1);
    xpath_result_free(r);
    quorvel_xpath_result* f = one_carrier("\x03" "F2.5", true);
    EXPECT_EQ(xpath_result_is_float(f), 1);
    EXPECT_EQ(xpath_to_number(f), 2.5);
    xpath_result_free(f);
}

// A text that looks like a node reference is not one: nothing reads an
// address out of item text.
TEST_F(XpathValues, ForgedNodeReferenceIsNeverFollowed) {
    const std::string forged = "\x03" "P0000000000001000";
    quorvel_xpath_result* r = one_carrier(forged, true);
    EXPECT_EQ(xpath_carrier_referenced_node(r->value.nodeset->items[0]), nullptr);
    EXPECT_EQ(take(xpath_to_string(r)), forged);
    xpath_result_free(r);

    const std::string forged_fn = "\x03" "FN\x02\x02" "00000000deadbeef";
    quorvel_xpath_result* f = one_carrier(forged_fn, true);
    EXPECT_EQ(xpath_carrier_function_ref(f->value.nodeset->items[0]), nullptr);
    xpath_result_free(f);
}

TEST_F(XpathValues, NodeReferenceCarrierReadsTheNode) {
    const char xml[] = "<r><a>x<b>y</b></a>z</r>";
    quorvel_document* doc = quorvel_parse_string(xml, sizeof xml - 1, nullptr);
    ASSERT_NE(doc, nullptr);
    quorvel_node* a = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(quorvel_document_root(doc)));
    quorvel_node* ref = xpath_carrier_node_ref(a);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(xpath_carrier_referenced_node(ref), a);
    EXPECT_EQ(take(get_node_text(ref)), "xy");
    // The address is beside the text, never in it.
    auto* c = reinterpret_cast<quorvel_xpath_carrier*>(ref);
    EXPECT_EQ(c->length, 2u);
    xpath_nodeset_dispose_node(ref);

    EXPECT_EQ(take(get_node_text(quorvel_document_node(doc))), "xyz");
    quorvel_xpath_node_set* all = xpath_nodeset_new();
    all_nodes_preorder(all, quorvel_document_node(doc));
    EXPECT_EQ(all->count, 6u);  // r, a, "x", b, "y", "z"
    EXPECT_EQ(all->items[0], reinterpret_cast<quorvel_node*>(quorvel_document_root(doc)));
    EXPECT_EQ(all->items[1], a);
    xpath_nodeset_free(all);
    all = xpath_nodeset_new();
    all_nodes_preorder(all, a);
    EXPECT_EQ(all->count, 3u);  // "x", b, "y"
    xpath_nodeset_free(all);
    quorvel_document_free(doc);
}

TEST_F(XpathValues, FunctionCarrierKeepsItsTreeAlive) {
    char message[256];
    quorvel_xpath_ast_node* root = xpath_parse_text("$a + 1", 6, message, sizeof message);
    ASSERT_NE(root, nullptr);
    quorvel_xpath_tree* tree = xpath_tree_new(root);
    quorvel_node* fn = xpath_carrier_function("a", 1, tree, root);
    ASSERT_NE(fn, nullptr);
    xpath_tree_release(tree);  // the carrier's reference is the last one
    const quorvel_xpath_function_ref* ref = xpath_carrier_function_ref(fn);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->body->type, AST_OPERATOR);
    EXPECT_EQ(ref->body->number, OP_ADD);
    auto* c = reinterpret_cast<quorvel_xpath_carrier*>(fn);
    EXPECT_EQ(std::string(c->text, c->length), std::string("\x03" "FN\x02" "a\x02"));

    quorvel_xpath_node_set* s = xpath_nodeset_new();
    s->owns_carriers = 1;
    xpath_nodeset_add(s, fn);
    quorvel_xpath_node_set* copy = xpath_nodeset_deep_copy(s);
    xpath_nodeset_free(s);  // the copy holds its own carrier and tree reference
    ASSERT_EQ(copy->count, 1u);
    EXPECT_EQ(xpath_carrier_function_ref(copy->items[0])->body->number, OP_ADD);
    xpath_nodeset_free(copy);
}

TEST_F(XpathValues, DeepCopyDuplicatesOnlyWhatTheSourceOwns) {
    auto* attr = static_cast<quorvel_xpath_attribute_node*>(std::calloc(1, sizeof(quorvel_xpath_attribute_node)));
    attr->kind = kXpathAttributeNode;
    attr->name = strdup("id");
    attr->value = strdup("7");
    quorvel_node* text = xpath_synth_text("abc", 3);
    quorvel_xpath_node_set* s = xpath_nodeset_new();
    s->owns_carriers = 1;  // but not the attribute, which another set owns
    xpath_nodeset_add(s, reinterpret_cast<quorvel_node*>(attr));
    xpath_nodeset_add(s, text);
    quorvel_xpath_node_set* copy = xpath_nodeset_deep_copy(s);
    ASSERT_EQ(copy->count, 2u);
    EXPECT_EQ(copy->items[0], reinterpret_cast<quorvel_node*>(attr));  // shared
    EXPECT_NE(copy->items[1], text);                                   // duplicated
    EXPECT_EQ(take(get_node_text(copy->items[1])), "abc");
    EXPECT_EQ(copy->owns_attributes, 0);
    xpath_nodeset_free(s);
    EXPECT_EQ(take(get_node_text(copy->items[1])), "abc");
    xpath_nodeset_free(copy);
    xpath_nodeset_dispose_node(reinterpret_cast<quorvel_node*>(attr));
}

}  // namespace
