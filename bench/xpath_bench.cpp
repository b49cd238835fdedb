// XPath queries over the records shape, beside pugixml's and libxml2's own
// XPath: each query's node count is compared across the three before
// anything is timed. The queries the engine cannot run yet (those needing
// the function library: count(), sum(), contains()) join when it lands.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstring>
#include <pugixml.hpp>
#include <string>

#include "inputs.h"
#include "quorvel.h"

namespace {

using bench::shape;

const char* const kQueries[] = {
    "//record",
    "//record[@id=\"12345\"]",
    "/records/record/value",
    "//record[3]/name",
};

struct documents {
    pugi::xml_document pugi;
    quorvel_document* quorvel = nullptr;
    xmlDoc* libxml2 = nullptr;
    documents() {
        const bench::input& in = bench::get_input(shape::records);
        pugi.load_buffer(in.text.data(), in.text.size());
        int status = 0;
        quorvel = quorvel_parse_string(in.text.data(), in.text.size(), &status);
        libxml2 = xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr, 0);
    }
};

documents& docs() {
    static documents d;
    return d;
}

size_t run(int library, const char* query) {
    documents& d = docs();
    if (library == 0) {
        quorvel_xpath_result* r = quorvel_xpath_eval(d.quorvel, nullptr, query);
        size_t n = quorvel_xpath_result_count(r);
        quorvel_xpath_result_free(r);
        return n;
    }
    if (library == 1) return pugi::xpath_query(query).evaluate_node_set(d.pugi).size();
    xmlXPathContext* ctx = xmlXPathNewContext(d.libxml2);
    xmlXPathObject* o = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(query), ctx);
    size_t n = o && o->nodesetval ? static_cast<size_t>(o->nodesetval->nodeNr) : 0;
    xmlXPathFreeObject(o);
    xmlXPathFreeContext(ctx);
    return n;
}

void BM_xpath(benchmark::State& state, int library, int query) {
    const char* q = kQueries[query];
    size_t expected = run(1, q);
    if (run(library, q) != expected || expected == 0) {
        state.SkipWithError("result differs from pugixml's");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(run(library, q));
    state.SetLabel(q);
}

// 1,000 lookups by id through one compiled expression and a variable.
void BM_xpath_compiled_ids(benchmark::State& state, int library) {
    documents& d = docs();
    quorvel_xpath_compiled* c = quorvel_xpath_compile("//record[@id = $id]");
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    pugi::xpath_variable_set pvars;
    pvars.add("id", pugi::xpath_type_string);
    pugi::xpath_query pq("//record[@id = $id]", &pvars);
    auto lookups = [&] {
        size_t found = 0;
        for (int i = 0; i < 1000; i++) {
            std::string id = std::to_string(i * 97 % 200000);
            if (library == 0) {
                quorvel_xpath_variable_set_string(vars, "id", id.c_str());
                quorvel_xpath_result* r = quorvel_xpath_compiled_eval_vars(c, d.quorvel, nullptr, vars);
                found += quorvel_xpath_result_count(r);
                quorvel_xpath_result_free(r);
            } else {
                pvars.set("id", id.c_str());
                found += pq.evaluate_node_set(d.pugi).size();
            }
        }
        return found;
    };
    for (auto _ : state) benchmark::DoNotOptimize(lookups());
    quorvel_xpath_variable_set_free(vars);
    quorvel_xpath_compiled_free(c);
}

#define XPATH_QUERY(i)                                                    \
    BENCHMARK_CAPTURE(BM_xpath, quorvel_q##i, 0, i)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_xpath, pugixml_q##i, 1, i)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_xpath, libxml2_q##i, 2, i)->Unit(benchmark::kMillisecond)
XPATH_QUERY(0);
XPATH_QUERY(1);
XPATH_QUERY(2);
XPATH_QUERY(3);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, quorvel, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, pugixml, 1)->Unit(benchmark::kMillisecond);

}  // namespace
