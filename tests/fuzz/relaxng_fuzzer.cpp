// Fuzz target for RELAX NG: a grammar and an instance, both from the
// input. Loading either succeeds with a handle or fails with a status;
// a validation answers the same twice, with the same records, and an
// invalid document always leaves a message.
//
// Input: grammar segment (one-byte length, or two bytes when the flag
// byte's bit 0 is set), then the instance.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace {

std::vector<std::string> records(quorvel_rng* rng) {
    std::vector<std::string> out;
    int n = quorvel_rng_error_count(rng);
    for (int i = 0; i < n; i++) {
        const char* m = quorvel_rng_error_message(rng, static_cast<size_t>(i));
        out.push_back(std::to_string(quorvel_rng_error_line(rng, static_cast<size_t>(i))) + ":" +
                      std::to_string(quorvel_rng_error_column(rng, static_cast<size_t>(i))) + ":" + (m ? m : "(null)"));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    bool long_grammar = in.flag();
    size_t length = long_grammar ? in.u16() : in.byte();
    std::string grammar;
    for (size_t i = 0; i < length && in.left(); i++) grammar.push_back(static_cast<char>(in.byte()));
    std::string instance = in.rest();
    int status = 0;
    quorvel_rng* rng = quorvel_rng_parse(grammar.data(), grammar.size(), &status);
    if (!rng) {
        if (status == 0) fuzz::fail("no grammar and no status");
        return 0;
    }
    quorvel_document* doc = quorvel_parse_string(instance.data(), instance.size(), nullptr);
    if (doc) {
        int first = quorvel_rng_validate(rng, doc);
        std::vector<std::string> seen = records(rng);
        std::string message = quorvel_rng_error(rng) ? quorvel_rng_error(rng) : "";
        if (first && !seen.empty()) fuzz::fail("records for a valid document");
        quorvel_rng_error_info* report = nullptr;
        int entries = quorvel_rng_error_report(rng, &report);
        if (entries != static_cast<int>(seen.size())) fuzz::fail("report and records differ in length");
        for (int i = 0; i < entries; i++)
            if (!report[i].kind || !report[i].message) fuzz::fail("report entry without kind or message");
        if (quorvel_rng_validate(rng, doc) != first) fuzz::fail("two validations disagree");
        if (records(rng) != seen) fuzz::fail("two validations give different records");
        std::string again = quorvel_rng_error(rng) ? quorvel_rng_error(rng) : "";
        if (again != message) fuzz::fail("two validations give different messages");
        quorvel_document_free(doc);
    }
    quorvel_rng_free(rng);
    return 0;
}
