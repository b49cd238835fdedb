// XPath queries over the records shape, beside pugixml's and libxml2's own
// XPath: each query's answer (node count, or the number it gives) is
// compared across the three before anything is timed. The engine runs each
// query with its bytecode machine (quorvel_*) and without it (walker_*).
// Queries whose functions the engine does not have yet are skipped for it
// with the reason.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cmath>
#include <cstring>
#include <pugixml.hpp>
#include <string>

#include "inputs.h"
#include "quorvel.h"

// The engine's internal switch of its bytecode machine, and the element
// index it searches (its own headers cannot join libxml2's, whose names
// they share).
void xpath_vm_set_enabled(int enabled);
struct quorvel_element_index;
struct quorvel_element_index_attribute;
struct quorvel_element_index_value;
quorvel_element_index* quorvel_element_index_build(quorvel_document* doc);
void quorvel_element_index_free(quorvel_element_index* index);
const quorvel_element_index_attribute* quorvel_element_index_find_attribute(const quorvel_element_index* index,
                                                                            const char* name, size_t length);
bool quorvel_element_index_find_value(const quorvel_element_index_attribute* entry, const char* value,
                                      size_t length, const quorvel_element_index_value** found);

namespace {

using bench::shape;

const char* const kQueries[] = {
    "count(//record)",
    "//record[@id=\"12345\"]",
    "//records/record/name",
    "sum(//record/@score)",
    "//record[contains(name, 'ab')]",
    "//record[3]/name",
    "//record",
    "/records/record/value",
    "sum(//value)",
    "//record[contains(@kind, 'eta')]",
    "//record/@score | //record/@id",
};
constexpr int kQueryCount = sizeof kQueries / sizeof kQueries[0];

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

enum library { kQuorvel = 0, kPugixml = 1, kLibxml2 = 2, kWalker = 3 };

// The query's answer as text: "n:<count>" for node sets, "v:<number>" for
// numbers, "error" when the library cannot run it.
std::string run(int lib, const char* query) {
    documents& d = docs();
    char buf[64];
    if (lib == kQuorvel || lib == kWalker) {
        xpath_vm_set_enabled(lib == kQuorvel);
        quorvel_xpath_result* r = quorvel_xpath_eval(d.quorvel, nullptr, query);
        xpath_vm_set_enabled(1);
        if (!r) return "error";
        if (quorvel_xpath_result_type(r) == 0) std::snprintf(buf, sizeof buf, "n:%zu", quorvel_xpath_result_count(r));
        else std::snprintf(buf, sizeof buf, "v:%.17g", quorvel_xpath_result_number(r));
        quorvel_xpath_result_free(r);
        return buf;
    }
    if (lib == kPugixml) {
        pugi::xpath_query q(query);
        if (q.return_type() == pugi::xpath_type_node_set)
            std::snprintf(buf, sizeof buf, "n:%zu", q.evaluate_node_set(d.pugi).size());
        else
            std::snprintf(buf, sizeof buf, "v:%.17g", q.evaluate_number(d.pugi));
        return buf;
    }
    xmlXPathContext* ctx = xmlXPathNewContext(d.libxml2);
    xmlXPathObject* o = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(query), ctx);
    if (!o) std::snprintf(buf, sizeof buf, "error");
    else if (o->type == XPATH_NODESET)
        std::snprintf(buf, sizeof buf, "n:%zu", o->nodesetval ? static_cast<size_t>(o->nodesetval->nodeNr) : 0);
    else
        std::snprintf(buf, sizeof buf, "v:%.17g", xmlXPathCastToNumber(o));
    xmlXPathFreeObject(o);
    xmlXPathFreeContext(ctx);
    return buf;
}

void BM_xpath(benchmark::State& state, int lib, int query) {
    const char* q = kQueries[query];
    // The engine's answer is checked twice: the second evaluation of a
    // search builds the document's element index, outside the timing.
    std::string expected = run(kPugixml, q);
    std::string got = run(lib, q);
    if (got == expected) got = run(lib, q);
    state.SetLabel(q);
    if (got == "error") {
        state.SkipWithError("the engine has no function library yet");
        return;
    }
    if (got != expected) {
        state.SkipWithError(("answer differs from pugixml's: " + got + " vs " + expected).c_str());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(run(lib, q));
}

// 1,000 lookups by id through one compiled expression and a variable.
void BM_xpath_compiled_ids(benchmark::State& state, int lib) {
    documents& d = docs();
    quorvel_xpath_compiled* c = quorvel_xpath_compile("//record[@id = $id]");
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    pugi::xpath_variable_set pvars;
    pvars.add("id", pugi::xpath_type_string);
    pugi::xpath_query pq("//record[@id = $id]", &pvars);
    xmlXPathContext* lctx = xmlXPathNewContext(d.libxml2);
    xmlXPathCompExpr* lq = xmlXPathCompile(reinterpret_cast<const xmlChar*>("//record[@id = $id]"));
    auto lookups = [&](int l) {
        size_t found = 0;
        for (int i = 0; i < 1000; i++) {
            std::string id = std::to_string(i * 97 % 200000);
            if (l == kQuorvel || l == kWalker) {
                xpath_vm_set_enabled(l == kQuorvel);
                quorvel_xpath_variable_set_string(vars, "id", id.c_str());
                quorvel_xpath_result* r = quorvel_xpath_compiled_eval_vars(c, d.quorvel, nullptr, vars);
                found += quorvel_xpath_result_count(r) * (i + 1);
                quorvel_xpath_result_free(r);
                xpath_vm_set_enabled(1);
            } else if (l == kPugixml) {
                pvars.set("id", id.c_str());
                found += pq.evaluate_node_set(d.pugi).size() * (i + 1);
            } else {
                xmlXPathRegisterVariable(lctx, reinterpret_cast<const xmlChar*>("id"),
                                         xmlXPathNewString(reinterpret_cast<const xmlChar*>(id.c_str())));
                xmlXPathObject* o = xmlXPathCompiledEval(lq, lctx);
                found += (o && o->nodesetval ? static_cast<size_t>(o->nodesetval->nodeNr) : 0) * (i + 1);
                xmlXPathFreeObject(o);
            }
        }
        return found;
    };
    // The answers are checked against pugixml's on every round (one round
    // of the slow ones takes seconds).
    const size_t expected = lookups(kPugixml);
    for (auto _ : state) {
        if (lookups(lib) != expected) {
            state.SkipWithError("answers differ from pugixml's");
            break;
        }
    }
    xmlXPathFreeCompExpr(lq);
    xmlXPathFreeContext(lctx);
    quorvel_xpath_variable_set_free(vars);
    quorvel_xpath_compiled_free(c);
}

// What a document's first indexed search pays: the index build, then the
// grouping of one attribute name's values on its first value lookup.
void BM_element_index(benchmark::State& state, bool value_lookup) {
    documents& d = docs();
    for (auto _ : state) {
        quorvel_element_index* index = quorvel_element_index_build(d.quorvel);
        if (!index) {
            state.SkipWithError("no index");
            break;
        }
        if (value_lookup) {
            const quorvel_element_index_value* found = nullptr;
            if (!quorvel_element_index_find_value(quorvel_element_index_find_attribute(index, "id", 2), "12345", 5,
                                                  &found) ||
                !found) {
                state.SkipWithError("value not found");
                quorvel_element_index_free(index);
                break;
            }
        }
        quorvel_element_index_free(index);
    }
}
BENCHMARK_CAPTURE(BM_element_index, build, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_element_index, build_and_first_value_lookup, true)->Unit(benchmark::kMillisecond);

#define XPATH_QUERY(i)                                                                   \
    BENCHMARK_CAPTURE(BM_xpath, quorvel_q##i, kQuorvel, i)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_xpath, walker_q##i, kWalker, i)->Unit(benchmark::kMillisecond);   \
    BENCHMARK_CAPTURE(BM_xpath, pugixml_q##i, kPugixml, i)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_xpath, libxml2_q##i, kLibxml2, i)->Unit(benchmark::kMillisecond)
XPATH_QUERY(0);
XPATH_QUERY(1);
XPATH_QUERY(2);
XPATH_QUERY(3);
XPATH_QUERY(4);
XPATH_QUERY(5);
XPATH_QUERY(6);
XPATH_QUERY(7);
XPATH_QUERY(8);
XPATH_QUERY(9);
XPATH_QUERY(10);
static_assert(kQueryCount == 11);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, quorvel, kQuorvel)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, walker, kWalker)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, pugixml, kPugixml)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_xpath_compiled_ids, libxml2, kLibxml2)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
