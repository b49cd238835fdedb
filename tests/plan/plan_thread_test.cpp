// Results cross threads: made on one thread with its allocation hooks,
// read and freed on another, every chunk goes back to the hook that made it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "plan/plan_spec.h"

namespace {

std::atomic<long> made{0}, returned{0};
void* counting_alloc(size_t n) {
    made++;
    return std::malloc(n);
}
void counting_release(void* p) {
    if (p) returned++;
    std::free(p);
}

TEST(PlanThread, ResultFreedOnAnotherThreadGoesBackToItsAllocator) {
    plantest::plan_builder b;
    b.element("r");
    b.child(0, "a", 2, 1);
    quorvel_plan* plan = b.build();
    std::string xml = "<x>";
    for (int i = 0; i < 5000; i++) xml += "<a>" + std::to_string(i) + "</a>";
    xml += "</x>";
    quorvel_plan_value* result = nullptr;
    long made_by_walk = 0;
    std::thread maker([&] {
        int st = 0;
        quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
        made = 0;
        returned = 0;
        quorvel_set_memory_management_functions(counting_alloc, counting_release);
        result = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        made_by_walk = made - returned;  // what the result holds
        quorvel_document_free(doc);
        quorvel_thread_cleanup();
    });
    maker.join();
    ASSERT_NE(result, nullptr);
    EXPECT_GT(made_by_walk, 1);  // several chunks
    long long v = 0;
    const quorvel_plan_value* list = quorvel_plan_value_at(result, 0);
    EXPECT_EQ(quorvel_plan_value_int(quorvel_plan_value_at(list, 4999), &v), 0);
    EXPECT_EQ(v, 4999);
    long before = returned;
    std::thread freer([&] { quorvel_plan_result_free(result); });
    freer.join();
    EXPECT_EQ(returned - before, made_by_walk);
    quorvel_plan_free(plan);
}

}  // namespace
