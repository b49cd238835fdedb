// Digest and diff: the digest of a parsed record file beside a walk that
// mixes the same names, values and texts with FNV-1a (the floor a digest
// can reach), and the diff of two record files that differ in five places
// beside parsing both. The diff's report is checked before timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

// With changes, five records near the middle get a changed name: the rest
// to align between the equal runs stays within the 8,192 children a diff
// aligns (records spread over the whole file would fail with -5).
std::string records(size_t count, bool changes) {
    std::string s = "<records>\n";
    for (size_t i = 0; i < count; i++) {
        bool changed = changes && i >= count / 2 && i < count / 2 + 2000 && i % 400 == 0;
        s += "  <record id=\"" + std::to_string(i) + "\" kind=\"k" + std::to_string(i % 7) + "\">\n";
        s += "    <name>Name " + std::to_string(i) + (changed ? "!" : "") + "</name>\n";
        s += "    <value unit=\"cm\">" + std::to_string(i * 37 % 1000) + "</value>\n";
        s += "    <note>Some text &amp; more text for record " + std::to_string(i) + "</note>\n";
        s += "  </record>\n";
    }
    return s + "</records>\n";
}

quorvel_document* parse(const std::string& text) {
    int status = 0;
    return quorvel_parse_string(text.data(), text.size(), &status);
}

// The same bytes a digest reads, mixed with FNV-1a, in a plain walk.
uint64_t fnv_walk(quorvel_node* root) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](const char* s) {
        for (; s && *s; s++) h = (h ^ static_cast<unsigned char>(*s)) * 0x100000001b3ull;
    };
    std::vector<quorvel_node*> stack{root};
    while (!stack.empty()) {
        quorvel_node* n = stack.back();
        stack.pop_back();
        if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT) {
            quorvel_element* e = quorvel_node_as_element(n);
            mix(quorvel_element_name(e));
            for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                mix(quorvel_attribute_get_name(a));
                mix(quorvel_attribute_get_value(e, a));
            }
            // Children go on the stack last first (siblings link forwards only).
            size_t mark = stack.size();
            for (quorvel_node* c = quorvel_node_first_child(n); c; c = quorvel_node_next_sibling(c)) stack.push_back(c);
            std::reverse(stack.begin() + static_cast<long>(mark), stack.end());
        } else {
            mix(quorvel_text_node_get_content(n));
        }
    }
    return h;
}

void BM_digest(benchmark::State& state) {
    static const std::string text = records(400000, false);
    quorvel_document* doc = parse(text);
    quorvel_node* root = quorvel_element_as_node(quorvel_document_root(doc));
    for (auto _ : state) benchmark::DoNotOptimize(quorvel_node_digest(root, 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    quorvel_document_free(doc);
}

void BM_digest_fnv_walk(benchmark::State& state) {
    static const std::string text = records(400000, false);
    quorvel_document* doc = parse(text);
    quorvel_node* root = quorvel_element_as_node(quorvel_document_root(doc));
    for (auto _ : state) benchmark::DoNotOptimize(fnv_walk(root));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    quorvel_document_free(doc);
}

const std::string& diff_input(bool changed) {
    // About 10 MB each; the second differs in five records.
    static const std::string a = records(60000, false), b = records(60000, true);
    return changed ? b : a;
}

void BM_diff_end_to_end(benchmark::State& state) {
    const std::string &a = diff_input(false), &b = diff_input(true);
    {
        quorvel_document *x = parse(a), *y = parse(b);
        quorvel_diff_list* list = quorvel_diff(x, y, 0, nullptr);
        if (!list || quorvel_diff_op_count(list) != 5) state.SkipWithError("unexpected diff");
        quorvel_diff_free(list);
        quorvel_document_free(x);
        quorvel_document_free(y);
    }
    for (auto _ : state) {
        quorvel_document *x = parse(a), *y = parse(b);
        quorvel_diff_list* list = quorvel_diff(x, y, 0, nullptr);
        benchmark::DoNotOptimize(list);
        quorvel_diff_free(list);
        quorvel_document_free(x);
        quorvel_document_free(y);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (a.size() + b.size())));
}

void BM_diff_parse_only(benchmark::State& state) {
    const std::string &a = diff_input(false), &b = diff_input(true);
    for (auto _ : state) {
        quorvel_document *x = parse(a), *y = parse(b);
        benchmark::DoNotOptimize(x);
        quorvel_document_free(x);
        quorvel_document_free(y);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (a.size() + b.size())));
}

BENCHMARK(BM_digest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_digest_fnv_walk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_diff_end_to_end)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_diff_parse_only)->Unit(benchmark::kMillisecond);

}  // namespace
