// Serialization throughput: a parsed document written back to a string, by
// libxml2's xmlDocDumpMemory, pugixml's save to memory and this library,
// each from its own tree of the same generated input, without layout and
// indented by two spaces. Each output is parsed again and its element count
// checked before anything is timed.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "inputs.h"
#include "quorvel.h"

namespace {

using bench::shape;

long count_elements(const char* text, size_t length) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, length, &status);
    if (!doc) return -1;
    long n = 0;
    std::vector<quorvel_node*> stack;
    for (quorvel_node* c = quorvel_document_first_child(doc); c; c = quorvel_node_next_sibling(c))
        if (quorvel_node_get_type(c) == QUORVEL_NODE_ELEMENT) stack.push_back(c);
    while (!stack.empty()) {
        quorvel_node* node = stack.back();
        stack.pop_back();
        n++;
        for (quorvel_node* c = quorvel_node_first_child(node); c; c = quorvel_node_next_sibling(c))
            if (quorvel_node_get_type(c) == QUORVEL_NODE_ELEMENT) stack.push_back(c);
    }
    quorvel_document_free(doc);
    return n;
}

void finish(benchmark::State& state, const bench::input& in) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
    state.SetLabel(in.name);
}

void BM_serialize_quorvel(benchmark::State& state, shape s, int indent) {
    const bench::input& in = bench::get_input(s);
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(in.text.data(), in.text.size(), &status);
    quorvel_serialize_options options{indent, 0, nullptr};
    char* check = doc ? quorvel_document_serialize(doc, &options) : nullptr;
    if (!check || count_elements(check, std::strlen(check)) != in.elements) {
        state.SkipWithError("quorvel output differs");
    } else {
        for (auto _ : state) {
            char* out = quorvel_document_serialize(doc, &options);
            benchmark::DoNotOptimize(out);
            quorvel_free_string(out);
        }
        finish(state, in);
    }
    quorvel_free_string(check);
    quorvel_document_free(doc);
}

struct string_writer : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

void BM_serialize_pugixml(benchmark::State& state, shape s, int indent) {
    const bench::input& in = bench::get_input(s);
    pugi::xml_document doc;
    // Without layout, keep white-space text as the other two libraries do,
    // so every tree holds the same nodes; indented, pugixml's own default
    // (white-space text dropped, as its indentation expects).
    doc.load_buffer(in.text.data(), in.text.size(), indent ? pugi::parse_default : pugi::parse_default | pugi::parse_ws_pcdata);
    const unsigned flags = indent ? pugi::format_indent : pugi::format_raw;
    string_writer check;
    doc.save(check, "  ", flags);
    if (count_elements(check.out.data(), check.out.size()) != in.elements) {
        state.SkipWithError("pugixml output differs");
        return;
    }
    for (auto _ : state) {
        string_writer w;
        doc.save(w, "  ", flags);
        benchmark::DoNotOptimize(w.out.data());
    }
    finish(state, in);
}

void BM_serialize_libxml2(benchmark::State& state, shape s, int indent) {
    const bench::input& in = bench::get_input(s);
    // Indented output re-indents only trees read without blank text.
    xmlDoc* doc = xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr,
                                indent ? XML_PARSE_NOBLANKS : 0);
    xmlChar* check = nullptr;
    int size = 0;
    if (doc) xmlDocDumpFormatMemory(doc, &check, &size, indent ? 1 : 0);
    if (!check || count_elements(reinterpret_cast<char*>(check), static_cast<size_t>(size)) != in.elements) {
        state.SkipWithError("libxml2 output differs");
    } else {
        for (auto _ : state) {
            xmlChar* out = nullptr;
            xmlDocDumpFormatMemory(doc, &out, &size, indent ? 1 : 0);
            benchmark::DoNotOptimize(out);
            xmlFree(out);
        }
        finish(state, in);
    }
    xmlFree(check);
    if (doc) xmlFreeDoc(doc);
}

#define SERIALIZE_BENCH(shape_name)                                                                             \
    BENCHMARK_CAPTURE(BM_serialize_quorvel, shape_name, shape::shape_name, 0)->Unit(benchmark::kMillisecond);  \
    BENCHMARK_CAPTURE(BM_serialize_pugixml, shape_name, shape::shape_name, 0)->Unit(benchmark::kMillisecond);  \
    BENCHMARK_CAPTURE(BM_serialize_libxml2, shape_name, shape::shape_name, 0)->Unit(benchmark::kMillisecond);  \
    BENCHMARK_CAPTURE(BM_serialize_quorvel, indented_##shape_name, shape::shape_name, 2)                       \
        ->Unit(benchmark::kMillisecond);                                                                      \
    BENCHMARK_CAPTURE(BM_serialize_pugixml, indented_##shape_name, shape::shape_name, 2)                       \
        ->Unit(benchmark::kMillisecond);                                                                      \
    BENCHMARK_CAPTURE(BM_serialize_libxml2, indented_##shape_name, shape::shape_name, 2)                       \
        ->Unit(benchmark::kMillisecond);

SERIALIZE_BENCH(records)
SERIALIZE_BENCH(document)
SERIALIZE_BENCH(deep)
SERIALIZE_BENCH(attributes)
SERIALIZE_BENCH(namespaces)
SERIALIZE_BENCH(references)

}  // namespace
