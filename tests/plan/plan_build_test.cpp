// The plan build: what it refuses, with which status, and that the plan is
// the library's own copy.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plan/plan_spec.h"

namespace {

using plantest::plan_builder;

struct refusal_case {
    const char* what;
    void (*spoil)(plan_builder&, quorvel_plan_spec&);
    int status;
};

TEST(PlanBuild, RefusesBadSpecificationsWithTheirStatus) {
    const refusal_case cases[] = {
        {"version 2", [](plan_builder&, quorvel_plan_spec& s) { s.abi_version = 2; }, -5},
        {"no element rows", [](plan_builder&, quorvel_plan_spec& s) { s.element_row_count = 0; }, -4},
        {"no row array", [](plan_builder&, quorvel_plan_spec& s) { s.element_rows = nullptr; }, -4},
        {"child rows missing", [](plan_builder& b, quorvel_plan_spec&) { b.flat[0].child_rows = nullptr; }, -5},
        {"mode-1 attribute without URI",
         [](plan_builder& b, quorvel_plan_spec&) { b.attrs[0][0].ns_mode = 1; }, -5},
        {"attribute rows missing", [](plan_builder& b, quorvel_plan_spec&) { b.flat[0].attr_rows = nullptr; }, -5},
        {"pairs missing under a count", [](plan_builder& b, quorvel_plan_spec&) { b.attrs[0][0].pair_count = 2; }, -1},
        {"predicates missing under a count",
         [](plan_builder& b, quorvel_plan_spec&) { b.children[0][0].predicate_count = 1; }, -1},
        {"kind 3 index equal to the row count",
         [](plan_builder& b, quorvel_plan_spec&) {
             b.children[0][0].kind = 3;
             b.children[0][0].element_row_index = 2;
         },
         -5},
        {"kind 7 below -1",
         [](plan_builder& b, quorvel_plan_spec&) {
             b.children[0][0].kind = 7;
             b.children[0][0].element_row_index = -2;
         },
         -5},
    };
    for (const refusal_case& c : cases) {
        plan_builder b;
        b.element("r");
        b.element("s");
        b.attr(0, "x");
        b.child(0, "a", 1);
        quorvel_plan_spec spec = *b.finish();
        c.spoil(b, spec);
        int st = 0;
        EXPECT_EQ(quorvel_plan_build(&spec, &st), nullptr) << c.what;
        EXPECT_EQ(st, c.status) << c.what;
        // Without a status pointer the same checks refuse the same input.
        EXPECT_EQ(quorvel_plan_build(&spec, nullptr), nullptr) << c.what;
    }
    int st = 0;
    EXPECT_EQ(quorvel_plan_build(nullptr, &st), nullptr);
    EXPECT_EQ(st, -4);
}

TEST(PlanBuild, AcceptsTheIndexRangesEachKindUses) {
    struct accepted {
        uint8_t kind;
        int32_t index;
    };
    for (accepted a : {accepted{7, -1}, accepted{7, 1}, accepted{3, 1}, accepted{2, 99}, accepted{1, -7}}) {
        plan_builder b;
        b.element("r");
        b.element("s");
        b.child(0, "a", a.kind, 0, a.index);
        int st = 1;
        quorvel_plan* plan = quorvel_plan_build(b.finish(), &st);
        EXPECT_NE(plan, nullptr) << int(a.kind) << " " << a.index;
        EXPECT_EQ(st, 0);
        quorvel_plan_free(plan);
    }
}

TEST(PlanBuild, PlanOwnsItsStringsAndResultsOutliveIt) {
    char root_name[] = "order";
    char child_name[] = "qty";
    char attr_name[] = "id";
    char prefix[] = "p";
    plan_builder b;
    b.element(root_name);
    b.rows[0].prefix = prefix;  // no URI: dropped
    b.attr(0, attr_name);
    b.child(0, child_name, 1, 1);
    quorvel_plan* plan = b.build();
    ASSERT_NE(plan, nullptr);
    // The caller overwrites everything it passed.
    std::memset(root_name, 'z', 5);
    std::memset(child_name, 'z', 3);
    std::memset(attr_name, 'z', 2);
    b.rows.clear();
    b.children.clear();
    const char* xml = "<order id='5'><qty>3</qty></order>";
    int st = 0;
    quorvel_plan_value* result = quorvel_plan_materialize(xml, std::strlen(xml), plan, &st);
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(quorvel_plan_value_attribute(result, "id"), "5");
    EXPECT_EQ(plantest::take(quorvel_plan_serialize(plan, result, &st)), "<order id=\"5\"><qty>3</qty></order>");
    // Values keep their own copies of the row names.
    quorvel_plan_free(plan);
    EXPECT_STREQ(quorvel_plan_value_name(quorvel_plan_value_at(result, 0)), "qty");
    long long v = 0;
    EXPECT_EQ(quorvel_plan_value_int(quorvel_plan_value_at(result, 0), &v), 0);
    EXPECT_EQ(v, 3);
    quorvel_plan_result_free(result);
}

}  // namespace
