// Parse throughput from memory: libquorvel's copy and in-place parses, and
// the copy parse with the flat-record fast path switched on, against
// pugixml (default DOM parse), libxml2 (xmlReadMemory) and expat (SAX, no
// tree). Every adapter's element count is checked against the generator's
// before anything is timed; results read as MB/s.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "inputs.h"
#include "registry.h"
#include "parser/parser.h"
#include "quorvel.h"

namespace {

using bench::shape;

long count_quorvel(quorvel_document* doc) {
    long n = 0;
    std::vector<quorvel_node*> stack;
    for (quorvel_node* c = quorvel_document_first_child(doc); c; c = quorvel_node_next_sibling(c)) stack.push_back(c);
    while (!stack.empty()) {
        quorvel_node* node = stack.back();
        stack.pop_back();
        if (quorvel_node_get_type(node) != QUORVEL_NODE_ELEMENT) continue;
        n++;
        for (quorvel_node* c = quorvel_node_first_child(node); c; c = quorvel_node_next_sibling(c)) stack.push_back(c);
    }
    return n;
}

long count_pugi(const pugi::xml_node& root) {
    long n = 0;
    for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element) n += 1 + count_pugi(c);
    return n;
}

long count_libxml2(xmlNode* node) {
    long n = 0;
    for (xmlNode* c = node; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) n += 1 + count_libxml2(c->children);
    return n;
}

void expat_start(void* user, const XML_Char*, const XML_Char**) { ++*static_cast<long*>(user); }
void expat_end(void*, const XML_Char*) {}

long parse_expat(const std::string& text) {
    long n = 0;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &n);
    XML_SetElementHandler(p, expat_start, expat_end);
    bool ok = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok ? n : -1;
}

void setup_counters(benchmark::State& state, const bench::input& in) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
    state.SetLabel(in.name);
}

void BM_quorvel_copy(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    int status = 0;
    quorvel_document* check = quorvel_parse_string(in.text.data(), in.text.size(), &status);
    if (!check || count_quorvel(check) != in.elements) {
        state.SkipWithError("quorvel result differs");
        quorvel_document_free(check);
        return;
    }
    quorvel_document_free(check);
    for (auto _ : state) {
        quorvel_document* doc = quorvel_parse_string(in.text.data(), in.text.size(), &status);
        benchmark::DoNotOptimize(doc);
        quorvel_document_free(doc);
    }
    setup_counters(state, in);
}

// The copy parse with the fast path on for every input length (its
// switch, as QUORVEL_INTERLEAVED=1 QUORVEL_IL_MIN=0 would set it). The
// label says when the fast path declines the shape and the document
// parser does the work.
void BM_quorvel_fast(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    dp_il_set_test_mode(1);
    quorvel_document* taken = dp_il_try(in.text.data(), in.text.size(), 0, 0, 0);
    bool declined = taken == nullptr;
    quorvel_document_free(taken);
    int status = 0;
    quorvel_document* check = quorvel_parse_string(in.text.data(), in.text.size(), &status);
    if (!check || count_quorvel(check) != in.elements) {
        state.SkipWithError("quorvel fast-path result differs");
        quorvel_document_free(check);
        dp_il_set_test_mode(-1);
        return;
    }
    quorvel_document_free(check);
    for (auto _ : state) {
        quorvel_document* doc = quorvel_parse_string(in.text.data(), in.text.size(), &status);
        benchmark::DoNotOptimize(doc);
        quorvel_document_free(doc);
    }
    dp_il_set_test_mode(-1);
    setup_counters(state, in);
    if (declined) state.SetLabel(std::string(in.name) + " (declined)");
}

// The records shape without its XML declaration, which alone makes the
// fast path decline it: both roads over the same plain body.
const bench::input& bare_records() {
    static const bench::input bare = [] {
        const bench::input& in = bench::get_input(shape::records);
        size_t body = in.text.find("?>") + 3;
        return bench::input{"records without declaration", in.text.substr(body), in.elements};
    }();
    return bare;
}

void BM_quorvel_bare_records(benchmark::State& state, int fast) {
    const bench::input& in = bare_records();
    dp_il_set_test_mode(fast);
    int status = 0;
    quorvel_document* check = quorvel_parse_string(in.text.data(), in.text.size(), &status);
    bool counted = check && count_quorvel(check) == in.elements;
    quorvel_document_free(check);
    quorvel_document* taken = fast ? dp_il_try(in.text.data(), in.text.size(), 0, 0, 0) : nullptr;
    bool declined = fast && !taken;
    quorvel_document_free(taken);
    if (!counted || declined) {
        state.SkipWithError(counted ? "fast path declined" : "quorvel result differs");
        dp_il_set_test_mode(-1);
        return;
    }
    for (auto _ : state) {
        quorvel_document* doc = quorvel_parse_string(in.text.data(), in.text.size(), &status);
        benchmark::DoNotOptimize(doc);
        quorvel_document_free(doc);
    }
    dp_il_set_test_mode(-1);
    setup_counters(state, in);
}
BENCHMARK_CAPTURE(BM_quorvel_bare_records, copy, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_quorvel_bare_records, fast, 1)->Unit(benchmark::kMillisecond);

void BM_quorvel_inplace(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    std::vector<char> buffer(in.text.size() + 1);
    int status = 0;
    std::memcpy(buffer.data(), in.text.data(), in.text.size());
    quorvel_document* check = quorvel_parse_string_inplace(buffer.data(), in.text.size(), &status);
    if (!check || count_quorvel(check) != in.elements) {
        state.SkipWithError("quorvel in-place result differs");
        quorvel_document_free(check);
        return;
    }
    quorvel_document_free(check);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(buffer.data(), in.text.data(), in.text.size());
        state.ResumeTiming();
        quorvel_document* doc = quorvel_parse_string_inplace(buffer.data(), in.text.size(), &status);
        benchmark::DoNotOptimize(doc);
        quorvel_document_free(doc);
    }
    setup_counters(state, in);
}

void BM_pugixml(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    {
        pugi::xml_document doc;
        if (!doc.load_buffer(in.text.data(), in.text.size()) || count_pugi(doc) != in.elements) {
            state.SkipWithError("pugixml result differs");
            return;
        }
    }
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(doc.load_buffer(in.text.data(), in.text.size()));
    }
    setup_counters(state, in);
}

void BM_libxml2(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    xmlDoc* check = xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr, 0);
    if (!check || count_libxml2(xmlDocGetRootElement(check)) != in.elements) {
        state.SkipWithError("libxml2 result differs");
        if (check) xmlFreeDoc(check);
        return;
    }
    xmlFreeDoc(check);
    for (auto _ : state) {
        xmlDoc* doc = xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr, 0);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    setup_counters(state, in);
}

void BM_expat(benchmark::State& state, shape s) {
    const bench::input& in = bench::get_input(s);
    if (parse_expat(in.text) != in.elements) {
        state.SkipWithError("expat result differs");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(parse_expat(in.text));
    setup_counters(state, in);
}

}  // namespace

namespace bench {

// Registered at start-up by main, under a prefix that names how malloc was
// set up for the run ("plain/" or "tuned/"), so one run reports both.
void register_parse_benchmarks(const std::string& prefix) {
    struct road {
        const char* name;
        void (*fn)(benchmark::State&, shape);
    };
    const road roads[] = {{"quorvel_copy", BM_quorvel_copy}, {"quorvel_fast", BM_quorvel_fast},
                          {"quorvel_inplace", BM_quorvel_inplace}, {"pugixml", BM_pugixml},
                          {"libxml2", BM_libxml2}, {"expat", BM_expat}};
    for (shape s : all_shapes)
        for (const road& r : roads)
            benchmark::RegisterBenchmark((prefix + r.name + "/" + shape_name(s)).c_str(), r.fn, s)
                ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
