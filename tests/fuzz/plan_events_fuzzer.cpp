// Fuzz target for results built from events: a fuzzer-built plan and a
// random event list (unbalanced, out-of-range rows, odd names and bytes);
// a result that builds goes through output and rebuild, which must agree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "plan/plan_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    plangen::chooser choose = [&](size_t n) { return n ? in.byte() % n : 0; };
    plangen::spec_holder holder;
    plangen::make_spec(choose, &holder);
    int st = 0;
    quorvel_plan* plan = quorvel_plan_build(holder.finish(), &st);
    if (!plan) return 0;
    std::vector<std::string> store;
    std::vector<quorvel_plan_event> events = plangen::make_events(choose, holder, &store);
    quorvel_plan_value* result = quorvel_plan_result_build(plan, events.data(), events.size(), &st);
    if ((result != nullptr) != (st == 0)) fuzz::fail("event build status %d disagrees with its result", st);
    if (result) {
        std::string problem = plangen::check_round_trip(plan, result);
        if (!problem.empty()) fuzz::fail("%s", problem.c_str());
        quorvel_plan_result_free(result);
    }
    quorvel_plan_free(plan);
    return 0;
}
