// Results from events: structure checks, what a leaf keeps, attributes at
// scale and depth beyond any call stack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plan/plan_spec.h"

namespace {

using plantest::plan_builder;
using plantest::take;

quorvel_plan_event open_ev(uint32_t e, int32_t c) { return {1, e, c, {}, nullptr, nullptr, 0}; }
quorvel_plan_event close_ev() { return {3, 0, 0, {}, nullptr, nullptr, 0}; }
quorvel_plan_event leaf_ev(uint32_t e, int32_t c, const char* v) {
    return {0, e, c, {}, nullptr, v, v ? std::strlen(v) : 5};
}
quorvel_plan_event attr_ev(const char* name, const char* v) { return {2, 0, 0, {}, name, v, v ? std::strlen(v) : 0}; }

// Row 0 "root": child 0 "a" (leaf), child 1 text (kind 5), child 2 "s" (nested, row 1).
quorvel_plan* events_plan() {
    plan_builder b;
    b.element("root");
    b.element("sub");
    b.child(0, "a", 1);
    b.child(0, "t", 5);
    b.child(0, "s", 3, 0, 1);
    return b.build();
}

TEST(PlanEvents, StreamsAreCheckedForStructureAndRows) {
    struct stream_case {
        const char* what;
        std::vector<quorvel_plan_event> events;
        int status;
        const char* xml;  // the written result when it builds
    };
    const stream_case cases[] = {
        {"open, leaf, close", {open_ev(0, -1), leaf_ev(0, 0, "v"), close_ev()}, 0, "<root><a>v</a></root>"},
        {"a nameless leaf is text, a named one an element",
         {open_ev(0, -1), leaf_ev(0, -1, "hi"), leaf_ev(0, 0, "v"), close_ev()}, 0, "<root>hi<a>v</a></root>"},
        {"a kind-5 leaf is text", {open_ev(0, -1), leaf_ev(0, 1, "t&"), close_ev()}, 0, "<root>t&amp;</root>"},
        {"an element on a kind-5 row stays an element",
         {open_ev(0, -1), open_ev(0, 1), leaf_ev(0, 0, "x"), close_ev(), close_ev()}, 0, "<root><t><a>x</a></t></root>"},
        {"a leaf with NULL value is empty", {open_ev(0, -1), leaf_ev(0, 0, nullptr), close_ev()}, 0,
         "<root><a></a></root>"},
        {"unknown ops are skipped",
         {open_ev(0, -1), {7, 99, 99, {}, nullptr, nullptr, 0}, leaf_ev(0, 0, "v"), close_ev()}, 0,
         "<root><a>v</a></root>"},
        {"attributes in order", {open_ev(0, -1), attr_ev("x", "1"), attr_ev("y", nullptr), close_ev()}, 0,
         "<root x=\"1\" y=\"\"/>"},
        {"nested element named by its child row",
         {open_ev(0, -1), open_ev(0, 2), leaf_ev(1, -1, "n"), close_ev(), close_ev()}, 0, "<root><s>n</s></root>"},
        {"unclosed", {open_ev(0, -1), open_ev(0, 2), close_ev()}, -5, nullptr},
        {"close first", {close_ev(), open_ev(0, -1), close_ev()}, -5, nullptr},
        {"second root", {open_ev(0, -1), close_ev(), open_ev(0, -1), close_ev()}, -5, nullptr},
        {"attribute without name", {open_ev(0, -1), attr_ev(nullptr, "1"), close_ev()}, -5, nullptr},
        {"attribute outside an element", {attr_ev("x", "1"), open_ev(0, -1), close_ev()}, -5, nullptr},
        {"leaf outside an element", {leaf_ev(0, 0, "v")}, -5, nullptr},
        {"open with element row out of range", {open_ev(2, -1), close_ev()}, -5, nullptr},
        {"open with child row out of range", {open_ev(0, 3), close_ev()}, -5, nullptr},
        {"open with child row -2", {open_ev(0, -2), close_ev()}, -5, nullptr},
        {"leaf with element row out of range", {open_ev(0, -1), leaf_ev(5, 0, "v"), close_ev()}, -5, nullptr},
        {"no root at all", {{7, 0, 0, {}, nullptr, nullptr, 0}}, -5, nullptr},
    };
    quorvel_plan* plan = events_plan();
    for (const stream_case& c : cases) {
        int st = 99;
        quorvel_plan_value* r = quorvel_plan_result_build(plan, c.events.data(), c.events.size(), &st);
        EXPECT_EQ(st, c.status) << c.what;
        EXPECT_EQ(r != nullptr, c.status == 0) << c.what;
        if (r && c.xml) {
            EXPECT_EQ(take(quorvel_plan_serialize(plan, r, &st)), c.xml) << c.what;
        }
        quorvel_plan_result_free(r);
    }
    int st = 0;
    EXPECT_EQ(quorvel_plan_result_build(plan, nullptr, 3, &st), nullptr);
    EXPECT_EQ(st, -5);
    quorvel_plan_event one = open_ev(0, -1);
    EXPECT_EQ(quorvel_plan_result_build(plan, &one, 0, &st), nullptr);
    EXPECT_EQ(st, -5);
    quorvel_plan_free(plan);
}

TEST(PlanEvents, LeavesKeepRowsButNoTypedValue) {
    quorvel_plan* plan = events_plan();
    const quorvel_plan_event events[] = {open_ev(0, -1), leaf_ev(0, 0, "12"), leaf_ev(0, -1, "x"), close_ev()};
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_result_build(plan, events, 4, &st);
    ASSERT_NE(r, nullptr);
    const quorvel_plan_value* a = quorvel_plan_value_at(r, 0);
    const quorvel_plan_value* text = quorvel_plan_value_at(r, 1);
    EXPECT_STREQ(quorvel_plan_value_name(a), "a");
    EXPECT_EQ(quorvel_plan_value_name(text), nullptr);
    EXPECT_EQ(quorvel_plan_value_order_index(a), 0u);
    EXPECT_EQ(quorvel_plan_value_order_index(text), 1u);
    long long i;
    double d;
    int b;
    EXPECT_EQ(quorvel_plan_value_int(a, &i), 1);
    EXPECT_EQ(quorvel_plan_value_float(a, &d), 1);
    EXPECT_EQ(quorvel_plan_value_bool(a, &b), 1);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanEvents, HundredThousandAttributesOnOneElement) {
    constexpr size_t kCount = 100000;
    quorvel_plan* plan = events_plan();
    std::vector<std::string> names(kCount);
    std::vector<quorvel_plan_event> events{open_ev(0, -1)};
    for (size_t i = 0; i < kCount; i++) {
        names[i] = "a" + std::to_string(i);
        events.push_back(attr_ev(names[i].c_str(), "v"));
    }
    events.push_back(close_ev());
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_result_build(plan, events.data(), events.size(), &st);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(quorvel_plan_value_attribute_count(r), kCount);
    EXPECT_STREQ(quorvel_plan_value_attribute(r, "a99999"), "v");
    std::string xml = take(quorvel_plan_serialize(plan, r, &st));
    EXPECT_EQ(st, 0);
    EXPECT_EQ(xml.compare(0, 24, "<root a0=\"v\" a1=\"v\" a2=\""), 0);
    quorvel_plan_result_free(r);
    // The same name twice cannot be written.
    events.insert(events.end() - 1, attr_ev("a5", "w"));
    r = quorvel_plan_result_build(plan, events.data(), events.size(), &st);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(quorvel_plan_serialize(plan, r, &st), nullptr);
    EXPECT_EQ(st, -5);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

TEST(PlanEvents, TwoHundredThousandLevelsDeep) {
    constexpr size_t kDepth = 200000;
    quorvel_plan* plan = events_plan();
    std::vector<quorvel_plan_event> events{open_ev(0, -1)};
    for (size_t i = 0; i < kDepth; i++) events.push_back(open_ev(0, 2));
    events.push_back(leaf_ev(1, -1, "bottom"));
    for (size_t i = 0; i <= kDepth; i++) events.push_back(close_ev());
    int st = 0;
    quorvel_plan_value* r = quorvel_plan_result_build(plan, events.data(), events.size(), &st);
    ASSERT_NE(r, nullptr) << st;
    std::string xml = take(quorvel_plan_serialize(plan, r, &st));
    ASSERT_EQ(st, 0);
    // "<root>", "<s>" per level, "bottom", "</s>" per level, "</root>".
    EXPECT_EQ(xml.size(), 6 + kDepth * 3 + 6 + kDepth * 4 + 7);
    quorvel_document* doc = quorvel_document_from_plan_result(plan, r, &st);
    ASSERT_NE(doc, nullptr) << st;
    quorvel_document_free(doc);
    quorvel_plan_result_free(r);
    quorvel_plan_free(plan);
}

}  // namespace
