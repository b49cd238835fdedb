// The standard registry's rows and the result builders.
#include <gtest/gtest.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvel.h"
#include "xpath_functions/functions.h"

namespace {

const quorvel_xpath_registry_entry* entries(const quorvel_xpath_function_registry& r) {
    return static_cast<const quorvel_xpath_registry_entry*>(r.entries);
}

struct registry_holder {
    quorvel_xpath_function_registry r{nullptr, 0, 0};
    registry_holder() { xpath_function_registry_init_standard(&r); }
    ~registry_holder() { std::free(r.entries); }
    const quorvel_xpath_registry_entry* find(const char* name) const {
        for (size_t i = 0; i < r.count; i++)
            if (!std::strcmp(entries(r)[i].name, name)) return &entries(r)[i];
        return nullptr;
    }
};

TEST(XpathRegistry, HoldsEveryRowOnceInOrder) {
    registry_holder h;
    ASSERT_EQ(h.r.count, 225u);
    EXPECT_EQ(h.r.capacity, 256u);
    EXPECT_STREQ(entries(h.r)[0].name, "last");
    EXPECT_STREQ(entries(h.r)[28].name, "id");
    EXPECT_STREQ(entries(h.r)[224].name, "name");
    for (size_t i = 0; i < h.r.count; i++) {
        EXPECT_EQ(entries(h.r)[i].user_data, nullptr);
        for (size_t j = i + 1; j < h.r.count; j++) EXPECT_STRNE(entries(h.r)[i].name, entries(h.r)[j].name);
    }
}

TEST(XpathRegistry, ArityAndPrefixes) {
    registry_holder h;
    struct row {
        const char* name;
        int min, max;
    } rows[] = {
        {"concat", 2, -1},         {"translate", 3, 3},     {"insert-before", 3, 3},   {"fold-left", 3, 3},
        {"array:fold-right", 3, 3}, {"map:put", 3, 3},      {"array:put", 3, 3},       {"format-dateTime", 2, 5},
        {"format-time", 2, 5},      {"replace", 3, 4},      {"sort", 1, 3},            {"tokenize", 1, 3},
        {"collection", 0, 1},       {"math:sqrt", 1, 1},    {"abs", 1, 1},             {"round-half-to-even", 1, 2},
        {"format-number", 2, 3},    {"document-uri", 0, 1}, {"static-base-uri", 0, 0}, {"xs:QName", 1, 2},
    };
    for (const row& r : rows) {
        const quorvel_xpath_registry_entry* e = h.find(r.name);
        ASSERT_NE(e, nullptr) << r.name;
        EXPECT_EQ(e->min_args, r.min) << r.name;
        EXPECT_EQ(e->max_args, r.max) << r.name;
    }
    EXPECT_EQ(h.find("sqrt"), nullptr);
    EXPECT_EQ(h.find("math:abs"), nullptr);
    // Implementations that serve several names.
    EXPECT_EQ(h.find("map:size")->function, h.find("array:size")->function);
    EXPECT_EQ(h.find("timezone-from-date")->function, h.find("timezone-from-time")->function);
}

TEST(XpathRegistry, ArgumentCountsAreChecked) {
    int status = 0;
    const char* xml = "<r/>";
    quorvel_document* doc = quorvel_parse_string(xml, std::strlen(xml), &status);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(quorvel_xpath_eval(doc, nullptr, "fn:serialize(1, 2, 3)"), nullptr);
    EXPECT_STREQ(quorvel_document_last_error(doc), "Function fn:serialize expects 1-2 arguments, got 3");
    quorvel_document_free(doc);
}

std::string item_text(const quorvel_xpath_result* r, size_t i) {
    auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(r->value.nodeset->items[i]);
    return std::string(c->text, c->length);
}

TEST(XpathRegistry, SequenceBuilder) {
    quorvel_xpath_result* s = seq_new();
    ASSERT_NE(s, nullptr);
    ASSERT_NE(s->value.nodeset, nullptr);
    EXPECT_EQ(s->value.nodeset->count, 0u);
    EXPECT_EQ(s->value.nodeset->is_sequence, 1);
    EXPECT_EQ(s->value.nodeset->owns_carriers, 1);
    // A text shaped like a node reference stays text.
    const std::string forged = std::string("\x03P") + "0000000000001000";
    EXPECT_TRUE(seq_push_str(s, forged.c_str()));
    EXPECT_TRUE(seq_push_str(s, nullptr));
    EXPECT_TRUE(seq_push_str(s, "abc"));
    ASSERT_EQ(s->value.nodeset->count, 3u);
    EXPECT_EQ(item_text(s, 0), forged);
    EXPECT_EQ(xpath_carrier_referenced_node(s->value.nodeset->items[0]), nullptr);
    EXPECT_EQ(item_text(s, 1), "");
    EXPECT_EQ(item_text(s, 2), "abc");
    EXPECT_EQ(scalar_str(s), nullptr);
    xpath_result_free(s);
}

TEST(XpathRegistry, ScalarTexts) {
    auto text = [](quorvel_xpath_result* r) {
        char* t = scalar_str(r);
        std::string out = t ? t : "(null)";
        std::free(t);
        xpath_result_free(r);
        return out;
    };
    auto number = [](double v) {
        quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
        r->value.number = v;
        return r;
    };
    quorvel_xpath_result* exact = number(5.2);
    exact->exact_integer_set = 1;
    exact->exact_integer = 5;
    EXPECT_EQ(text(exact), "5");
    EXPECT_EQ(text(number(0.5)), "0.5");
    EXPECT_EQ(text(number(1e20)), "1E20");
    EXPECT_EQ(text(number(INFINITY)), "INF");
    EXPECT_EQ(text(number(-0.0)), "-0");
    quorvel_xpath_result* b = xpath_result_new(XPATH_BOOLEAN);
    b->value.boolean = 1;
    EXPECT_EQ(text(b), "true");
    EXPECT_EQ(text(xpath_result_new(XPATH_STRING)), "");
}

// Threads that set up their first contexts together all see the whole
// registry (run under ThreadSanitizer in CI).
TEST(XpathRegistryThread, FirstUseFromSeveralThreads) {
    const char* xml = "<r><a>1</a><a>2</a></r>";
    std::vector<std::thread> threads;
    std::vector<std::string> answers(4);
    for (size_t t = 0; t < answers.size(); t++)
        threads.emplace_back([&, t] {
            int status = 0;
            quorvel_document* doc = quorvel_parse_string(xml, std::strlen(xml), &status);
            for (int i = 0; i < 50; i++) {
                quorvel_xpath_result* r = quorvel_xpath_eval(doc, nullptr, "concat(count(//a), name(/r), sum(//a))");
                char* s = r ? quorvel_xpath_result_string(r) : nullptr;
                answers[t] = s ? s : "(failed)";
                std::free(s);
                quorvel_xpath_result_free(r);
            }
            quorvel_document_free(doc);
            quorvel_thread_cleanup();
        });
    for (std::thread& th : threads) th.join();
    for (const std::string& a : answers) EXPECT_EQ(a, "2r3");
}

}  // namespace
