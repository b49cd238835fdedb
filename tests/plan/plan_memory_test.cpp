// Plan memory: failed allocations leave nothing behind, repeated cycles
// return every block, and a walk's peak stays close to its result.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plan/plan.h"
#include "plan/plan_spec.h"
#include "support/failing_alloc.h"

namespace {

using plantest::plan_builder;

quorvel_plan* order_plan() {
    plan_builder b;
    b.element("orders");
    b.element("order");
    b.child(0, "order", 3, 0, 1);
    b.attr(1, "id");
    b.child(1, "qty", 1, 1);
    b.child(1, "tag", 2);
    b.child(1, "note", 4);
    b.child(1, "rest", 7, 0, -1);
    return b.build();
}

// Each order's quantity, nothing else: a walk keeping a small part.
quorvel_plan* qty_plan() {
    plan_builder b;
    b.element("orders");
    b.element("order");
    b.child(0, "order", 3, 0, 1);
    b.child(1, "qty", 1, 1);
    return b.build();
}

const char kOrders[] =
    "<orders xmlns:p='urn:p'><order id='1'><qty>3</qty><tag>a</tag><tag>b</tag><note><p:x/></note><z/></order>"
    "<order id='2'><qty>x</qty>t</order></orders>";

TEST(PlanMemory, FailedAllocationsLeaveNothingBehind) {
    quorvel_plan* plan = order_plan();
    int st = 0;
    quorvel_document* doc = quorvel_parse_string(kOrders, std::strlen(kOrders), &st);
    ASSERT_NE(doc, nullptr);
    const quorvel_plan_event events[] = {{1, 0, -1, {}, nullptr, nullptr, 0},
                                         {2, 0, 0, {}, "a", "1", 1},
                                         {0, 0, 0, {}, nullptr, "v", 1},
                                         {3, 0, 0, {}, nullptr, nullptr, 0}};
    bool walked = false, built = false, rebuilt = false;
    for (int k = 0; k < 200 && !(walked && built && rebuilt); k++) {
        hooks::live = 0;
        hooks::countdown = k;
        quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
        quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
        EXPECT_TRUE(r ? st == 0 : st == -1) << k;
        if (r) walked = true;
        quorvel_document* d = r ? quorvel_document_from_plan_result(plan, r, &st) : nullptr;
        if (d) rebuilt = true;
        quorvel_document_free(d);
        quorvel_plan_result_free(r);
        hooks::countdown = k;
        r = quorvel_plan_result_build(plan, events, 4, &st);
        EXPECT_TRUE(r ? st == 0 : st == -1) << k;
        if (r) built = true;
        quorvel_plan_result_free(r);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        quorvel_explicit_cleanup();
        EXPECT_EQ(hooks::live, 0) << "after failing allocation " << k;
    }
    EXPECT_TRUE(walked && built && rebuilt);
    hooks::countdown = -1;
    quorvel_document_free(doc);
    quorvel_plan_free(plan);
}

TEST(PlanMemory, TenThousandCyclesReturnEveryBlock) {
    hooks::live = 0;
    hooks::countdown = -1;
    quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
    for (int i = 0; i < 10000; i++) {
        quorvel_plan* plan = order_plan();
        int st = 0;
        quorvel_plan_value* r = quorvel_plan_materialize(kOrders, std::strlen(kOrders), plan, &st);
        ASSERT_NE(r, nullptr);
        quorvel_free_string(quorvel_plan_serialize(plan, r, &st));
        quorvel_document_free(quorvel_document_from_plan_result(plan, r, &st));
        quorvel_plan_result_free(r);
        quorvel_plan_free(plan);
    }
    quorvel_explicit_cleanup();
    quorvel_set_memory_management_functions(nullptr, nullptr);
    EXPECT_EQ(hooks::live, 0);
}

// Bytes through the hooks, with the peak above a baseline.
namespace bytes {
size_t current = 0, peak = 0;
void* alloc(size_t n) {
    auto* p = static_cast<size_t*>(std::malloc(n + 16));
    if (!p) return nullptr;
    *p = n;
    current += n;
    if (current > peak) peak = current;
    return reinterpret_cast<char*>(p) + 16;
}
void release(void* block) {
    if (!block) return;
    auto* p = reinterpret_cast<size_t*>(static_cast<char*>(block) - 16);
    current -= *p;
    std::free(p);
}
}  // namespace bytes

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kPeakDocumentBytes = 10u << 20;  // sanitizers multiply time and memory
#else
constexpr size_t kPeakDocumentBytes = 100u << 20;
#endif

TEST(PlanMemory, WalkPeakStaysWithinTwiceTheResult) {
    // About 100 MB of records; the plan keeps one short field of each.
    std::string xml = "<orders>";
    xml.reserve(kPeakDocumentBytes + 4096);
    for (size_t i = 0; xml.size() < kPeakDocumentBytes; i++) {
        std::string n = std::to_string(i);
        xml += "<order id='" + n + "'><qty>" + n + "</qty><customer vip='no'>Somebody with a long name " + n +
               "</customer><note>a note that nobody reads, long enough to weigh</note><tag>t</tag></order>";
    }
    xml += "</orders>";
    quorvel_plan* plan = qty_plan();
    quorvel_set_memory_management_functions(bytes::alloc, bytes::release);
    int st = 0;
    quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
    ASSERT_NE(doc, nullptr);
    size_t baseline = bytes::current;
    bytes::peak = baseline;
    quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
    ASSERT_NE(r, nullptr);
    size_t arena = 0;
    for (plan_chunk* c = plan_value_chain(r); c; c = c->next) arena += sizeof(plan_chunk) + c->capacity;
    EXPECT_EQ(bytes::current - baseline, arena) << "the result holds exactly its arena";
    EXPECT_LT(bytes::peak - baseline, 2 * arena) << "peak " << bytes::peak - baseline << ", arena " << arena;
    quorvel_plan_result_free(r);
    quorvel_document_free(doc);
    quorvel_explicit_cleanup();
    quorvel_set_memory_management_functions(nullptr, nullptr);
    quorvel_plan_free(plan);
}

// A walk's first result in a process starts from fresh address space: it
// must commit the pages it writes, not a whole zeroed huge page or more.
TEST(PlanMemory, SmallFirstWalkCommitsOnlyWhatItWrites) {
    quorvel_retain_release_all();  // no warm mapping to hide the cost
    std::string xml = "<orders>";
    for (int i = 0; i < 6000; i++) xml += "<order><qty>" + std::to_string(i) + "</qty></order>";
    xml += "</orders>";
    quorvel_plan* plan = qty_plan();
    int st = 0;
    quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
    ASSERT_NE(doc, nullptr);
    quorvel_retain_release_all();
    quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
    ASSERT_NE(r, nullptr);
    const long page = sysconf(_SC_PAGESIZE);
    bool seen = false;
    for (plan_chunk* c = plan_value_chain(r); c; c = c->next) {
        if (c->capacity < (256u << 10)) continue;  // heap chunks; the mapped one is larger
        seen = true;
        auto* a = reinterpret_cast<quorvel_arena*>(reinterpret_cast<char*>(c) - sizeof(quorvel_arena));
        ASSERT_EQ(a->data, reinterpret_cast<char*>(c));
        ASSERT_LT(c->used, size_t(1) << 20) << "the result is meant to be small";
        size_t pages = (a->mapped + size_t(page) - 1) / size_t(page);
        std::vector<unsigned char> resident(pages);
        ASSERT_EQ(mincore(a->base, a->mapped, resident.data()), 0);
        size_t committed = 0;
        for (unsigned char p : resident) committed += p & 1;
        size_t written = sizeof(quorvel_arena) + sizeof(plan_chunk) + c->used;
        EXPECT_LE(committed * size_t(page), written + 4 * size_t(page))
            << committed << " pages committed for " << written << " bytes written";
    }
    EXPECT_TRUE(seen) << "the result was meant to reach a mapped chunk";
    quorvel_plan_result_free(r);
    quorvel_document_free(doc);
    quorvel_plan_free(plan);
}

}  // namespace
