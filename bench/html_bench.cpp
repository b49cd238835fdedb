// HTML parse speed of both modes against gumbo (when built with it) and
// libxml2's HTML parser, on a generated page and a page shaped like real
// sites (head with scripts and styles, navigation, articles with inline
// markup, tables, forms, comments, unclosed paragraphs and list items).
#include <benchmark/benchmark.h>
#include <libxml/HTMLparser.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#ifdef QUORVEL_BENCH_GUMBO
#include <gumbo.h>
#endif

#include "counting_alloc.h"
#include "quorvel.h"

namespace {

struct lcg {
    uint32_t state = 12345;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "market", "report", "city", "data", "the", "of",
                              "and", "news", "time", "world", "open", "value"};

std::string words(lcg& r, int n) {
    std::string s;
    for (int i = 0; i < n; i++) {
        if (i) s += ' ';
        s += kWords[r.next() % 16];
    }
    return s;
}

// Regular nested blocks with attributes, references and tables.
const std::string& generated_page() {
    static const std::string text = [] {
        lcg r;
        std::string s = "<!DOCTYPE html><html><head><title>Generated</title></head><body>";
        while (s.size() < 8u * 1024 * 1024) {
            s += "<div class=\"c" + std::to_string(r.next() % 50) + "\" id=\"d" + std::to_string(s.size()) + "\">";
            s += "<p>" + words(r, 12) + " &amp; " + words(r, 6) + "</p>";
            s += "<ul><li>" + words(r, 3) + "</li><li>" + words(r, 4) + "</li></ul>";
            s += "<table><tr><td>" + words(r, 2) + "</td><td>" + std::to_string(r.next()) + "</td></tr></table>";
            s += "</div>\n";
        }
        return s + "</body></html>";
    }();
    return text;
}

// The looser markup of real pages.
const std::string& site_page() {
    static const std::string text = [] {
        lcg r;
        std::string s =
            "<!doctype html>\n<html lang=en><head><meta charset=utf-8><meta name=viewport content=\"width=device-width\">"
            "<title>News &mdash; Site</title><link rel=stylesheet href=/s.css>"
            "<style>body{margin:0}.nav>li{display:inline}</style>"
            "<script>window.dataLayer=[];if(a<b&&c>d){x='</div>'}</script></head><body class=home>\n"
            "<header><nav><ul class=nav>";
        for (int i = 0; i < 12; i++) s += "<li><a href=/s" + std::to_string(i) + ">" + words(r, 1) + "</a>";
        s += "</ul></nav></header><main>";
        while (s.size() < 8u * 1024 * 1024) {
            s += "<article data-id=" + std::to_string(r.next() % 100000) + "><h2><a href=\"/a?id=" +
                 std::to_string(r.next()) + "&amp;ref=home\">" + words(r, 6) + "</a></h2>";
            s += "<p>" + words(r, 20) + " <b>" + words(r, 2) + "</b> " + words(r, 10) + "<p>" + words(r, 15) +
                 " <i>" + words(r, 3) + "</i>&nbsp;&copy; 2026";
            s += "<img src=/i/" + std::to_string(r.next()) + ".jpg alt=\"" + words(r, 3) + "\" loading=lazy>";
            s += "<!-- ad slot --><ul><li>" + words(r, 4) + "<li>" + words(r, 5) + "</ul>";
            if (r.next() % 4 == 0)
                s += "<form action=/f method=post><input type=text name=q><input type=hidden name=t value=1>"
                     "<select name=s><option>a<option selected>b</select><button>Go</button></form>";
            if (r.next() % 5 == 0)
                s += "<table class=data><tr><th>" + words(r, 1) + "<th>" + words(r, 1) + "<tr><td>1<td>2</table>";
            s += "</article>\n";
        }
        return s + "</main><footer><p>&copy; Site</footer><script src=/a.js></script></body></html>";
    }();
    return text;
}

const std::string& page(int which) { return which == 0 ? generated_page() : site_page(); }

// Peak bytes held through the allocation hooks during one parse (the
// parse's working memory and the document together).
using bench_memory::counting_alloc;
using bench_memory::counting_free;
using bench_memory::g_live;
using bench_memory::g_peak;
#ifdef QUORVEL_BENCH_GUMBO
void* counting_alloc_user(void*, size_t n) { return counting_alloc(n); }
void counting_free_user(void*, void* p) { counting_free(p); }
#endif

// Peak memory of one parse, as a multiple of the input's size.
void report_peak(benchmark::State& state, const std::string& text, int64_t peak) {
    state.counters["peak_x"] = static_cast<double>(peak) / static_cast<double>(text.size());
}

template <bool Html5>
void BM_quorvel(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    {
        quorvel_set_memory_management_functions(counting_alloc, counting_free);
        g_live = g_peak = 0;
        quorvel_document* doc = Html5 ? quorvel_parse_html_string(text.data(), text.size(), nullptr)
                                      : quorvel_parse_html4_string(text.data(), text.size(), nullptr);
        quorvel_document_free(doc);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        report_peak(state, text, g_peak);
    }
    for (auto _ : state) {
        quorvel_document* doc = Html5 ? quorvel_parse_html_string(text.data(), text.size(), nullptr)
                                      : quorvel_parse_html4_string(text.data(), text.size(), nullptr);
        if (!doc) state.SkipWithError("parse failed");
        quorvel_document_free(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_libxml2_html(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        htmlDocPtr doc = htmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                                        HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                            HTML_PARSE_NONET);
        if (!doc) state.SkipWithError("parse failed");
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

#ifdef QUORVEL_BENCH_GUMBO
void BM_gumbo(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    {
        GumboOptions counted = kGumboDefaultOptions;
        counted.allocator = counting_alloc_user;
        counted.deallocator = counting_free_user;
        g_live = g_peak = 0;
        GumboOutput* out = gumbo_parse_with_options(&counted, text.data(), text.size());
        if (out) gumbo_destroy_output(&counted, out);
        report_peak(state, text, g_peak);
    }
    for (auto _ : state) {
        GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size());
        if (!out) state.SkipWithError("parse failed");
        gumbo_destroy_output(&kGumboDefaultOptions, out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_gumbo)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK_TEMPLATE(BM_quorvel, true)->Name("BM_quorvel_html5")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_quorvel, false)->Name("BM_quorvel_html4")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libxml2_html)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
