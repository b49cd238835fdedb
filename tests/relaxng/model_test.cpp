// The grammar records: definitions that share a name combine into one
// node, and long sibling chains are freed and copied without deep stacks.
#include <pthread.h>

#include <cstring>
#include <string>

#include "relaxng/rng.h"
#include "relaxng/rng_support.h"

namespace {

// Definitions read from a grammar with these defines (start unused).
quorvel_rng* load_defines(const std::string& defines) {
    return rngtest::load(rngtest::grammar("<element name='r'><empty/></element>", defines));
}

int child_count(const quorvel_rng_pattern* p) {
    int n = 0;
    for (const quorvel_rng_pattern* c = p ? p->first_child : nullptr; c; c = c->next) n++;
    return n;
}

const std::string kB = "<element name='b'><empty/></element>";
const std::string kC = "<element name='c'><empty/></element>";
const std::string kD = "<element name='d'><empty/></element>";

TEST(RngModel, CombinedDefinitions) {
    struct combine_case {
        const char* what;
        std::string defines;
        uint32_t kind;
        int children;
    };
    const combine_case cases[] = {
        {"three choices flatten into one node",
         "<define name='x'>" + kB + "</define><define name='x' combine='choice'>" + kC +
             "</define><define name='x' combine='choice'>" + kD + "</define>",
         kRngChoice, 3},
        {"interleave", "<define name='x'>" + kB + "</define><define name='x' combine='interleave'>" + kC + "</define>",
         kRngInterleave, 2},
        {"the stored combine is used",
         "<define name='x' combine='interleave'>" + kB + "</define><define name='x'>" + kC + "</define>",
         kRngInterleave, 2},
        {"a define of two patterns is one alternative",
         "<define name='x'>" + kB + kC + "</define><define name='x' combine='choice'>" + kD + "</define>", kRngChoice,
         2},
    };
    for (const auto& c : cases) {
        quorvel_rng* rng = load_defines(c.defines);
        ASSERT_NE(rng, nullptr) << c.what;
        quorvel_rng_define* d = rng_lookup(rng->grammar, "x");
        ASSERT_NE(d, nullptr) << c.what;
        ASSERT_NE(d->pattern, nullptr) << c.what;
        EXPECT_EQ(d->pattern->next, nullptr) << c.what;
        EXPECT_EQ(d->pattern->kind, c.kind) << c.what;
        EXPECT_EQ(child_count(d->pattern), c.children) << c.what;
        quorvel_rng_free(rng);
    }
}

struct chain_job {
    int copied = -1;
    int valid = -1;
    int invalid = -1;
};

// A choice of 100,000 values, loaded, copied, matched and freed on a
// 256 KB stack.
void* long_chain(void* arg) {
    auto* job = static_cast<chain_job*>(arg);
    std::string values;
    for (int i = 0; i < 100000; i++) values += "<value>v" + std::to_string(i) + "</value>";
    std::string schema = rngtest::element("s", "<choice>" + values + "</choice>");
    quorvel_rng* rng = quorvel_rng_parse(schema.data(), schema.size(), nullptr);
    if (!rng) return nullptr;
    quorvel_rng_pattern* copy = rng_pattern_deep_copy(rng->grammar->start);
    job->copied = copy ? child_count(copy->first_child) : -1;
    rng_pattern_free(copy);
    const char good[] = "<s>v99999</s>", bad[] = "<s>w</s>";
    quorvel_document* doc = quorvel_parse_string(good, sizeof good - 1, nullptr);
    job->valid = quorvel_rng_validate(rng, doc);
    quorvel_document_free(doc);
    doc = quorvel_parse_string(bad, sizeof bad - 1, nullptr);
    job->invalid = quorvel_rng_validate(rng, doc);
    quorvel_document_free(doc);
    quorvel_rng_free(rng);
    return nullptr;
}

TEST(RngModel, LongChainsOnASmallStack) {
    chain_job job;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, long_chain, &job), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(job.copied, 100000);
    EXPECT_EQ(job.valid, 1);
    EXPECT_EQ(job.invalid, 0);
}

}  // namespace
