// Result values: accessors on NULL and out of range, the two snapshots,
// results spanning many chunks, and what result_free releases.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plan/plan_spec.h"

namespace {

using plantest::plan_builder;

struct result_fixture {
    quorvel_plan* plan = nullptr;
    quorvel_plan_value* result = nullptr;
    explicit result_fixture(const std::string& xml) {
        plan_builder b;
        b.element("r");
        b.attr(0, "id");
        b.attr(0, "k");
        b.child(0, "a", 1, 1);
        b.child(0, "t", 5);
        b.rows[0].flags = QUORVEL_PLAN_TEXT_ROWS;
        plan = b.build();
        int st = 0;
        result = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
    }
    ~result_fixture() {
        quorvel_plan_result_free(result);
        quorvel_plan_free(plan);
    }
};

TEST(PlanValues, AccessorsAnswerNullAndOutOfRange) {
    EXPECT_EQ(quorvel_plan_value_kind(nullptr), 0);
    EXPECT_EQ(quorvel_plan_value_name(nullptr), nullptr);
    EXPECT_EQ(quorvel_plan_value_string(nullptr), nullptr);
    EXPECT_EQ(quorvel_plan_value_count(nullptr), 0u);
    EXPECT_EQ(quorvel_plan_value_at(nullptr, 0), nullptr);
    EXPECT_EQ(quorvel_plan_value_attribute(nullptr, "x"), nullptr);
    long long i = 7;
    EXPECT_EQ(quorvel_plan_value_int(nullptr, &i), 1);
    EXPECT_EQ(i, 7);
    result_fixture f("<x id='1'><a>5</a>t<a>z</a></x>");
    ASSERT_NE(f.result, nullptr);
    size_t n = quorvel_plan_value_count(f.result);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(quorvel_plan_value_at(f.result, n), nullptr);
    EXPECT_EQ(quorvel_plan_value_attribute(f.result, nullptr), nullptr);
    EXPECT_EQ(quorvel_plan_value_attribute(f.result, "k"), nullptr);
    const quorvel_plan_value* a2 = quorvel_plan_value_at(f.result, 1);
    EXPECT_EQ(quorvel_plan_value_int(a2, &i), 1);  // "z" did not convert
    EXPECT_EQ(quorvel_plan_value_int(quorvel_plan_value_at(f.result, 0), nullptr), 1);
    EXPECT_EQ(quorvel_plan_value_position(quorvel_plan_value_at(f.result, 0)), 10u);
    EXPECT_EQ(quorvel_plan_value_length(quorvel_plan_value_at(f.result, 0)), 1u);
    // The kind-5 list holds the text leaves.
    const quorvel_plan_value* list = quorvel_plan_value_at(f.result, 2);
    EXPECT_EQ(quorvel_plan_value_kind(list), 2);
    EXPECT_EQ(quorvel_plan_value_node_kind(quorvel_plan_value_at(list, 0)), 1);
}

TEST(PlanValues, ChildrenSnapshot) {
    result_fixture f("<x><a>5</a>t</x>");
    ASSERT_NE(f.result, nullptr);
    // Children: "a" (2 bytes) and the unnamed kind-5 list (1 byte).
    char names[8];
    size_t offsets[3];
    unsigned char tags[2];
    const quorvel_plan_value* kids[2];
    EXPECT_EQ(quorvel_plan_value_children_snapshot(f.result, names, 2, offsets, tags, kids), 3u);
    EXPECT_EQ(quorvel_plan_value_children_snapshot(f.result, names, 8, nullptr, tags, kids), 3u);
    EXPECT_EQ(quorvel_plan_value_children_snapshot(f.result, names, 8, offsets, tags, kids), 0u);
    EXPECT_STREQ(names, "a");
    EXPECT_EQ(offsets[0], 0u);
    EXPECT_EQ(offsets[1], size_t(-1));
    EXPECT_EQ(offsets[2], 2u);
    EXPECT_EQ(tags[0], 1);
    EXPECT_EQ(kids[1], quorvel_plan_value_at(f.result, 1));
    // No children: 0 written into the first offset when all buffers are given.
    const quorvel_plan_value* leaf = quorvel_plan_value_at(f.result, 0);
    offsets[0] = 99;
    EXPECT_EQ(quorvel_plan_value_children_snapshot(leaf, names, 0, offsets, tags, kids), 0u);
    EXPECT_EQ(offsets[0], 0u);
    offsets[0] = 99;
    EXPECT_EQ(quorvel_plan_value_children_snapshot(leaf, names, 0, nullptr, tags, kids), 0u);
    EXPECT_EQ(quorvel_plan_value_children_snapshot(nullptr, names, 8, offsets, tags, kids), 0u);
}

TEST(PlanValues, AttributesSnapshot) {
    result_fixture f("<x id='12' k='v'/>");
    ASSERT_NE(f.result, nullptr);
    char names[16], values[16];
    size_t no[3], vo[3];
    // Sizes: names "id","k" = 5; values "12","v" = 5.
    EXPECT_EQ(quorvel_plan_value_attributes_snapshot(f.result, nullptr, 0, no, values, 16, vo), 5u);
    EXPECT_EQ(quorvel_plan_value_attributes_snapshot(f.result, names, 16, no, values, 16, nullptr), size_t(-1));
    EXPECT_EQ(quorvel_plan_value_attributes_snapshot(f.result, names, 4, no, values, 16, vo), size_t(-1));
    EXPECT_EQ(quorvel_plan_value_attributes_snapshot(f.result, names, 16, no, values, 16, vo), 0u);
    EXPECT_STREQ(names + no[1], "k");
    EXPECT_STREQ(values + vo[0], "12");
    EXPECT_EQ(no[2], 5u);
    EXPECT_EQ(vo[2], 5u);
}

TEST(PlanValues, ManyChunksFreedThroughTheRootOnly) {
    std::string xml = "<x>";
    for (int i = 0; i < 20000; i++) xml += "<a>" + std::to_string(i) + "</a>";
    xml += "</x>";
    result_fixture f(xml);
    ASSERT_NE(f.result, nullptr);
    ASSERT_EQ(quorvel_plan_value_count(f.result), 20001u);
    long long v = 0;
    EXPECT_EQ(quorvel_plan_value_int(quorvel_plan_value_at(f.result, 19999), &v), 0);
    EXPECT_EQ(v, 19999);
    // A child owns nothing: freeing it leaves the result whole.
    quorvel_plan_result_free(const_cast<quorvel_plan_value*>(quorvel_plan_value_at(f.result, 0)));
    EXPECT_STREQ(quorvel_plan_value_string(quorvel_plan_value_at(f.result, 0)), "0");
    quorvel_plan_result_free(nullptr);
}

}  // namespace
