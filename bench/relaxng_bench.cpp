// RELAX NG validation throughput: libquorvel's validation of a parsed
// document against libxml2's xmlRelaxNGValidateDoc on its own parse of the
// same bytes; only the validation is timed. The documents are generated
// records of about 10 and 100 MB; the grammar has attributes (integer, a
// choice of values, a pattern), interleave, choice and refs. The counter
// validator_bytes is the most working memory a validation held at once
// (over what the document already held); it should not grow with the
// document.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/relaxng.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "counting_alloc.h"
#include "quorvel.h"

namespace {

const char kGrammar[] = R"(<grammar xmlns="http://relaxng.org/ns/structure/1.0"
    datatypeLibrary="http://www.w3.org/2001/XMLSchema-datatypes">
  <start>
    <element name="records"><zeroOrMore><ref name="record"/></zeroOrMore></element>
  </start>
  <define name="record">
    <element name="record">
      <attribute name="id"><data type="integer"/></attribute>
      <attribute name="status"><choice><value>active</value><value>inactive</value><value>pending</value></choice></attribute>
      <attribute name="code"><data type="string"><param name="pattern">[A-Z]{2}-[0-9]{4}</param></data></attribute>
      <interleave>
        <element name="name"><text/></element>
        <element name="amount"><data type="integer"/></element>
      </interleave>
      <ref name="contact"/>
      <optional><element name="note"><text/></element></optional>
    </element>
  </define>
  <define name="contact">
    <choice>
      <element name="email"><text/></element>
      <element name="phone"><data type="string"><param name="pattern">\+?[0-9 ]+</param></data></element>
    </choice>
  </define>
</grammar>)";

std::string make_records(size_t bytes) {
    static const char* const kStatus[] = {"active", "inactive", "pending"};
    std::string out = "<?xml version=\"1.0\"?>\n<records>\n";
    uint64_t seed = 0x2545F4914F6CDD1Dull;
    auto next = [&] {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed;
    };
    for (long i = 0; out.size() < bytes; i++) {
        uint64_t r = next();
        char code[8];
        code[0] = static_cast<char>('A' + r % 26), code[1] = static_cast<char>('A' + (r >> 8) % 26), code[2] = '-';
        for (int k = 0; k < 4; k++) code[3 + k] = static_cast<char>('0' + (r >> (16 + 4 * k)) % 10);
        code[7] = '\0';
        out += "  <record id=\"" + std::to_string(i) + "\" status=\"" + kStatus[r % 3] + "\" code=\"" + code + "\">";
        std::string name = "<name>Customer " + std::to_string(r % 100000) + "</name>";
        std::string amount = "<amount>" + std::to_string(static_cast<long>(r % 2000000) - 1000000) + "</amount>";
        out += (r & 16) ? name + amount : amount + name;
        if (r & 32)
            out += "<email>user" + std::to_string(i) + "@example.com</email>";
        else
            out += "<phone>+44 20 " + std::to_string(1000000 + r % 9000000) + "</phone>";
        if (r & 64) out += "<note>checked on delivery</note>";
        out += "</record>\n";
    }
    return out + "</records>\n";
}

// Made on first use, each size once.
const std::string& records(size_t megabytes) {
    if (megabytes == 10) {
        static const std::string ten = make_records(10u << 20);
        return ten;
    }
    static const std::string hundred = make_records(100u << 20);
    return hundred;
}

// Working memory held by library allocations through the thread's hooks.
using bench_memory::counting_alloc;
using bench_memory::counting_free;
using bench_memory::g_live;
using bench_memory::g_peak;

void BM_QuorvelRelaxngValidate(benchmark::State& state) {
    const std::string& text = records(static_cast<size_t>(state.range(0)));
    quorvel_rng* rng = quorvel_rng_parse(kGrammar, sizeof kGrammar - 1, nullptr);
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    if (!rng || !doc) {
        state.SkipWithError("grammar or document did not load");
        return;
    }
    int valid = 0;
    int64_t peak = 0;
    for (auto _ : state) {
        quorvel_set_memory_management_functions(counting_alloc, counting_free);
        g_live = g_peak = 0;
        valid = quorvel_rng_validate(rng, doc);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        peak = g_peak > peak ? g_peak : peak;
    }
    if (valid != 1) state.SkipWithError(quorvel_rng_error(rng) ? quorvel_rng_error(rng) : "invalid");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["validator_bytes"] = static_cast<double>(peak);
    quorvel_document_free(doc);
    quorvel_rng_free(rng);
}

void BM_Libxml2RelaxngValidate(benchmark::State& state) {
    const std::string& text = records(static_cast<size_t>(state.range(0)));
    xmlRelaxNGParserCtxtPtr pctx = xmlRelaxNGNewMemParserCtxt(kGrammar, sizeof kGrammar - 1);
    xmlRelaxNGPtr schema = xmlRelaxNGParse(pctx);
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_HUGE);
    if (!schema || !doc) {
        state.SkipWithError("grammar or document did not load");
        return;
    }
    xmlRelaxNGValidCtxtPtr vctx = xmlRelaxNGNewValidCtxt(schema);
    int result = -1;
    for (auto _ : state) result = xmlRelaxNGValidateDoc(vctx, doc);
    if (result != 0) state.SkipWithError("libxml2 found the document invalid");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    xmlRelaxNGFreeValidCtxt(vctx);
    xmlFreeDoc(doc);
    xmlRelaxNGFree(schema);
    xmlRelaxNGFreeParserCtxt(pctx);
}

BENCHMARK(BM_QuorvelRelaxngValidate)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Libxml2RelaxngValidate)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
