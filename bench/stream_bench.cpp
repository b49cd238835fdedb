// Streaming throughput: the SAX push parser against expat and libxml2's
// SAX2 parser, one-shot and fed in 64 KiB chunks (ours in 4 KiB chunks too); the pull parser one event
// at a time and in batches; and iterparse (each child of the root in turn)
// against libxml2's xmlReader walking the same elements. Counts are checked
// before anything is timed.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstring>

#include "inputs.h"
#include "quorvel.h"

namespace {

using bench::shape;

void count_start(void* user, const char*, const char* const*) { ++*static_cast<long*>(user); }

long sax_quorvel(const std::string& text) {
    quorvel_sax_handler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.start_element = count_start;
    long n = 0;
    return quorvel_sax_parse(text.data(), text.size(), &handler, &n) == 0 ? n : -1;
}

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kSmallChunk = 4 * 1024;

long sax_quorvel_fed(const std::string& text, size_t chunk) {
    quorvel_sax_handler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.start_element = count_start;
    long n = 0;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&handler, &n);
    int rc = 0;
    for (size_t at = 0; rc == 0 && at < text.size(); at += chunk) {
        size_t len = std::min(chunk, text.size() - at);
        rc = quorvel_sax_parser_feed(p, text.data() + at, len, at + len == text.size());
    }
    quorvel_sax_parser_free(p);
    return rc == 0 ? n : -1;
}

long sax_quorvel_chunked(const std::string& text) { return sax_quorvel_fed(text, kChunk); }
long sax_quorvel_chunked_small(const std::string& text) { return sax_quorvel_fed(text, kSmallChunk); }

// The pull parser, one event per call; character data is read so that no
// reader can skip it.
long pull_quorvel(const std::string& text) {
    quorvel_pull* p = quorvel_pull_new(text.data(), text.size());
    long n = 0;
    size_t bytes = 0;
    bool failed = false;
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        if (e->kind == QUORVEL_PULL_START_ELEMENT) n++;
        else if (e->kind == QUORVEL_PULL_CHARACTERS) bytes += e->text_length;
        else if (e->kind == QUORVEL_PULL_ERROR) failed = true;
    }
    quorvel_pull_free(p);
    benchmark::DoNotOptimize(bytes);
    return failed ? -1 : n;
}

long pull_quorvel_batch(const std::string& text) {
    quorvel_pull* p = quorvel_pull_new(text.data(), text.size());
    long n = 0;
    size_t bytes = 0;
    bool failed = false;
    quorvel_pull_batch_item items[256];
    while (size_t got = quorvel_pull_next_batch(p, items, 256)) {
        for (size_t i = 0; i < got; i++) {
            if (items[i].kind == QUORVEL_PULL_START_ELEMENT) n++;
            else if (items[i].kind == QUORVEL_PULL_CHARACTERS) bytes += items[i].text_length;
            else if (items[i].kind == QUORVEL_PULL_ERROR) failed = true;
        }
    }
    quorvel_pull_free(p);
    benchmark::DoNotOptimize(bytes);
    return failed ? -1 : n;
}

void expat_start(void* user, const XML_Char*, const XML_Char**) { ++*static_cast<long*>(user); }

long sax_expat(const std::string& text) {
    long n = 0;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &n);
    XML_SetStartElementHandler(p, expat_start);
    bool ok = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok ? n : -1;
}

long expat_chunked(const std::string& text) {
    long n = 0;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &n);
    XML_SetStartElementHandler(p, expat_start);
    bool ok = true;
    for (size_t at = 0; ok && at < text.size(); at += kChunk) {
        size_t len = std::min(kChunk, text.size() - at);
        ok = XML_Parse(p, text.data() + at, static_cast<int>(len), at + len == text.size()) == XML_STATUS_OK;
    }
    XML_ParserFree(p);
    return ok ? n : -1;
}

void libxml2_start(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int, int,
                   const xmlChar**) {
    ++*static_cast<long*>(ctx);
}

long sax_libxml2(const std::string& text) {
    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = libxml2_start;
    long n = 0;
    int rc = xmlSAXUserParseMemory(&handler, &n, text.data(), static_cast<int>(text.size()));
    return rc == 0 ? n : -1;
}

// Children of the root, one at a time.
long iter_quorvel(const std::string& text) {
    quorvel_iterparse* it = quorvel_iterparse_new_ex(text.data(), text.size(), 0);
    long n = 0;
    while (quorvel_iterparse_next(it)) n++;
    bool failed = quorvel_iterparse_error(it) != nullptr;
    quorvel_iterparse_free(it);
    return failed ? -1 : n;
}

long iter_libxml2(const std::string& text) {
    xmlTextReaderPtr reader = xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0);
    long n = 0;
    int rc;
    while ((rc = xmlTextReaderRead(reader)) == 1) {
        // Each child of the root expanded into a subtree, as iterparse builds it.
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT && xmlTextReaderDepth(reader) == 1) {
            if (!xmlTextReaderExpand(reader)) break;
            n++;
            if (xmlTextReaderNext(reader) != 1) break;
            while (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT && xmlTextReaderDepth(reader) == 1) {
                if (!xmlTextReaderExpand(reader)) break;
                n++;
                if (xmlTextReaderNext(reader) != 1) break;
            }
        }
    }
    xmlFreeTextReader(reader);
    return n;
}

long root_children(const std::string& text) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), &status);
    long n = doc ? static_cast<long>(quorvel_element_child_count(quorvel_document_root(doc))) : -1;
    quorvel_document_free(doc);
    return n;
}

void run_sax(benchmark::State& state, shape s, long (*f)(const std::string&)) {
    const bench::input& in = bench::get_input(s);
    if (f(in.text) != in.elements) {
        state.SkipWithError("element count differs");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(f(in.text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
    state.SetLabel(in.name);
}

void run_iter(benchmark::State& state, shape s, long (*f)(const std::string&)) {
    const bench::input& in = bench::get_input(s);
    if (f(in.text) != root_children(in.text)) {
        state.SkipWithError("child count differs");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(f(in.text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
    state.SetLabel(in.name);
}

void BM_sax_quorvel(benchmark::State& state, shape s) { run_sax(state, s, sax_quorvel); }
void BM_sax_expat(benchmark::State& state, shape s) { run_sax(state, s, sax_expat); }
void BM_sax_chunked_quorvel(benchmark::State& state, shape s) { run_sax(state, s, sax_quorvel_chunked); }
void BM_sax_chunked4k_quorvel(benchmark::State& state, shape s) { run_sax(state, s, sax_quorvel_chunked_small); }
void BM_sax_chunked_expat(benchmark::State& state, shape s) { run_sax(state, s, expat_chunked); }
void BM_pull_quorvel(benchmark::State& state, shape s) { run_sax(state, s, pull_quorvel); }
void BM_pull_batch_quorvel(benchmark::State& state, shape s) { run_sax(state, s, pull_quorvel_batch); }
void BM_sax_libxml2(benchmark::State& state, shape s) { run_sax(state, s, sax_libxml2); }
void BM_iter_quorvel(benchmark::State& state, shape s) { run_iter(state, s, iter_quorvel); }
void BM_iter_libxml2(benchmark::State& state, shape s) { run_iter(state, s, iter_libxml2); }

#define STREAM_BENCH(name)                                                                    \
    BENCHMARK_CAPTURE(BM_sax_quorvel, name, shape::name)->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(BM_sax_expat, name, shape::name)->Unit(benchmark::kMillisecond);        \
    BENCHMARK_CAPTURE(BM_sax_libxml2, name, shape::name)->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(BM_sax_chunked_quorvel, name, shape::name)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_sax_chunked4k_quorvel, name, shape::name)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_sax_chunked_expat, name, shape::name)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_pull_quorvel, name, shape::name)->Unit(benchmark::kMillisecond);     \
    BENCHMARK_CAPTURE(BM_pull_batch_quorvel, name, shape::name)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_iter_quorvel, name, shape::name)->Unit(benchmark::kMillisecond);     \
    BENCHMARK_CAPTURE(BM_iter_libxml2, name, shape::name)->Unit(benchmark::kMillisecond);

STREAM_BENCH(records)
STREAM_BENCH(document)
STREAM_BENCH(deep)
STREAM_BENCH(attributes)
STREAM_BENCH(namespaces)
STREAM_BENCH(references)

}  // namespace
