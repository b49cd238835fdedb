// Validations with separate handles run at once on separate threads and
// give exactly the records a single thread gives.
#include <string>
#include <thread>
#include <vector>

#include "relaxng/rng_support.h"

namespace {

std::string schema() {
    return rngtest::grammar(
        "<element name='r'><zeroOrMore><ref name='item'/></zeroOrMore></element>",
        "<define name='item'><element name='item'><attribute name='n'><data type='integer'/></attribute>"
        "<optional><attribute name='k'><choice><value>x</value><value>y</value></choice></attribute></optional>"
        "<element name='tokens'><list><oneOrMore><data type='token'><param name='pattern'>[a-z]+[0-9]*</param>"
        "</data></oneOrMore></list></element></element></define>");
}

// A document whose token lists run well past 600 bytes; `bad` spoils one
// token, one attribute value and one required attribute.
std::string document(bool bad) {
    std::string d = "<r>\n";
    for (int i = 0; i < 20; i++) {
        d += "<item n='" + std::string(bad && i == 3 ? "x" : std::to_string(i)) + "'" +
             (i % 2 ? " k='" + std::string(bad && i == 5 ? "z" : "x") + "'" : "") + "><tokens>";
        for (int t = 0; t < 120; t++) d += (bad && i == 7 && t == 110 ? "BAD " : "tok" + std::to_string(t) + " ");
        d += "</tokens></item>\n";
    }
    if (bad) d += "<item><tokens>a</tokens></item>\n";
    return d + "</r>";
}

struct outcome {
    int verdict;
    std::string message;
    std::vector<rngtest::record> records;
    bool operator==(const outcome& o) const {
        return verdict == o.verdict && message == o.message && records == o.records;
    }
};

outcome run_once(quorvel_rng* rng, const std::string& text) {
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    outcome o{quorvel_rng_validate(rng, doc), "", {}};
    if (const char* m = quorvel_rng_error(rng)) o.message = m;
    o.records = rngtest::records(rng);
    quorvel_document_free(doc);
    return o;
}

TEST(RngThreads, SeparateHandlesValidateAtOnce) {
    const std::string grammar = schema(), good = document(false), bad = document(true);
    quorvel_rng* reference = rngtest::load(grammar);
    ASSERT_NE(reference, nullptr);
    const outcome want_good = run_once(reference, good), want_bad = run_once(reference, bad);
    quorvel_rng_free(reference);
    ASSERT_EQ(want_good.verdict, 1);
    ASSERT_EQ(want_bad.verdict, 0);
    ASSERT_GE(want_bad.records.size(), 3u);

    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            quorvel_rng* rng = quorvel_rng_parse(grammar.data(), grammar.size(), nullptr);
            if (!rng) {
                mismatches[t]++;
                return;
            }
            for (int round = 0; round < 10; round++) {
                if (!(run_once(rng, good) == want_good)) mismatches[t]++;
                if (!(run_once(rng, bad) == want_bad)) mismatches[t]++;
            }
            quorvel_rng_free(rng);
            quorvel_thread_cleanup();
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; t++) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
