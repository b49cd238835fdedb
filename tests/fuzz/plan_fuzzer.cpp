// Fuzz target for extraction plans over documents: random rows (every
// field, names and prefixes from a small alphabet, NULLs, predicates) and a
// document (generated, or the input's rest as text) go through build, walk
// or materialize, output and rebuild; whenever output succeeds it must parse
// and agree with the rebuild.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "plan/plan_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    plangen::chooser choose = [&](size_t n) { return n ? in.byte() % n : 0; };
    uint8_t mode = in.byte();
    plangen::spec_holder holder;
    plangen::make_spec(choose, &holder);
    int st = 0;
    quorvel_plan* plan = quorvel_plan_build(holder.finish(), &st);
    if (!plan) {
        if (st == 0) fuzz::fail("build failed without a status");
        return 0;
    }
    size_t element_index = in.byte();
    std::string doc_text = (mode & 1) ? in.rest() : plangen::make_document(choose);
    quorvel_plan_value* result = nullptr;
    if (mode & 2) {
        result = quorvel_plan_materialize(doc_text.data(), doc_text.size(), plan, &st);
    } else {
        quorvel_document* doc = quorvel_parse_string(doc_text.data(), doc_text.size(), &st);
        if (doc) {
            quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), element_index);
            if (e) result = quorvel_plan_walk(doc, e, plan, &st);
            // The result owns its strings: the document may go first.
            quorvel_document_free(doc);
        }
    }
    // Rows without predicates that take the same children walk them again
    // at every level, so a deep input can make a result far larger than
    // itself; the round trip of such a result only costs time.
    if (result && plangen::value_count(result) <= 20000) {
        std::string problem = plangen::check_round_trip(plan, result);
        if (!problem.empty()) fuzz::fail("%s", problem.c_str());
        quorvel_plan_serialize_options opts{2, {}, (mode & 4) ? "\t" : nullptr};
        int ost = 0;
        quorvel_free_string(quorvel_plan_serialize_ext(plan, result, &opts, sizeof opts, &ost));
    }
    quorvel_plan_result_free(result);
    quorvel_plan_free(plan);
    return 0;
}
