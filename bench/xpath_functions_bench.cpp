// The XPath function library's time bounds: a reluctant quantifier that
// never finds its end over 20,000 characters, a reluctant replace over
// 100,000 tags, and Roman numerals of the largest 64-bit integer. Each
// result is checked before anything is timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorvel.h"

namespace {

struct fixture {
    quorvel_document* doc = nullptr;
    quorvel_xpath_variable_set* vars = nullptr;
    fixture() {
        int status = 0;
        doc = quorvel_parse_string("<r/>", 4, &status);
        vars = quorvel_xpath_variable_set_new();
        quorvel_xpath_variable_set_string(vars, "as", std::string(20000, 'a').c_str());
        std::string tags;
        for (int i = 0; i < 100000; i++) tags += "<a>x</a>";
        quorvel_xpath_variable_set_string(vars, "tags", tags.c_str());
    }
};

fixture& env() {
    static fixture f;
    return f;
}

std::string eval(const char* expr) {
    quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(env().doc, expr, env().vars);
    if (!r) return std::string("ERR:") + quorvel_document_last_error(env().doc);
    std::string out;
    if (quorvel_xpath_result_type(r) == 1) {
        out = quorvel_xpath_result_boolean(r) ? "true" : "false";
    } else {
        char* s = quorvel_xpath_result_string(r);
        out = s ? s : "";
        std::free(s);
    }
    quorvel_xpath_result_free(r);
    return out;
}

const std::string kHundredThousandX(100000, 'x');

void BM_function(benchmark::State& state, const char* expr, const std::string& expected) {
    std::string first = eval(expr);
    if (first != expected) {
        state.SkipWithError(("unexpected result: " + first.substr(0, 80)).c_str());
        return;
    }
    for (auto _ : state) {
        quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(env().doc, expr, env().vars);
        benchmark::DoNotOptimize(r);
        quorvel_xpath_result_free(r);
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_function, lazy_match_20000, "matches($as, 'a*?b')", std::string("false"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_function, lazy_replace_100000_tags, "replace($tags, '<.*?>', '')", kHundredThousandX)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_function, roman_int64_max, "format-integer(9223372036854775807, 'I')",
                  std::string("9223372036854775808"))
    ->Unit(benchmark::kMicrosecond);
