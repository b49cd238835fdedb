// The round-trip property over generated plans, documents and event lists:
// every output parses, with this library and with libxml2, and without raw
// values the output parsed back and the rebuilt document are the same XML.
// Also run over the conformance suite's documents as walk inputs.
#include <gtest/gtest.h>

#include <libxml/parser.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "plan/plan_gen.h"
#include "support/testdata.h"

namespace {

bool libxml2_parses(const std::string& xml) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "plan.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return false;
    xmlFreeDoc(doc);
    return true;
}

// Namespace errors are only reported, not fatal, to the plain parser: the
// strict check collects them. A namespace name that is not a valid URI is
// allowed (the XML only has to carry it unchanged), so that warning is not
// counted.
void count_namespace_problems(void* user, xmlErrorPtr error) {
    if (!error) return;
    if (error->code == XML_WAR_NS_URI || error->code == XML_WAR_NS_URI_RELATIVE) return;
    if (error->domain == XML_FROM_NAMESPACE || error->level >= XML_ERR_ERROR) ++*static_cast<int*>(user);
}

bool libxml2_namespace_well_formed(const std::string& xml) {
    int problems = 0;
    xmlSetStructuredErrorFunc(&problems, count_namespace_problems);
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "plan.xml", nullptr, XML_PARSE_NONET);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    xmlFreeDoc(doc);
    return doc && problems == 0;
}

bool peer_accepts(const std::string& xml) { return libxml2_parses(xml) && libxml2_namespace_well_formed(xml); }

TEST(PlanRoundTrip, GeneratedPlansDocumentsAndEvents) {
    // The oracle itself tells namespace faults from accepted names.
    ASSERT_FALSE(peer_accepts("<a q:x='1'/>"));
    ASSERT_FALSE(peer_accepts("<a xmlns:p='urn:a' xmlns:q='urn:a' p:x='1' q:x='2'/>"));
    ASSERT_TRUE(peer_accepts("<a xmlns:p='urn:&quot;a' p:x='1'/>"));
    std::mt19937 rng(20261211);
    plangen::chooser choose = [&](size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(rng) : 0; };
    size_t written = 0, with_namespaces = 0, event_results = 0;
    for (int round = 0; round < 3000; round++) {
        plangen::spec_holder holder;
        plangen::make_spec(choose, &holder);
        int st = 0;
        quorvel_plan* plan = quorvel_plan_build(holder.finish(), &st);
        if (!plan) continue;
        std::string xml = plangen::make_document(choose);
        quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
        if (r) {
            std::string problem = plangen::check_round_trip(plan, r, peer_accepts);
            ASSERT_EQ(problem, "") << "round " << round << ", document " << xml;
            std::string text = plangen::take(quorvel_plan_serialize(plan, r, &st));
            if (st == 0) written++;
            if (st == 0 && text.find("xmlns:") != std::string::npos) with_namespaces++;
            quorvel_plan_result_free(r);
        }
        std::vector<std::string> store;
        std::vector<quorvel_plan_event> events = plangen::make_events(choose, holder, &store);
        r = quorvel_plan_result_build(plan, events.data(), events.size(), &st);
        if (r) {
            std::string problem = plangen::check_round_trip(plan, r, peer_accepts);
            ASSERT_EQ(problem, "") << "round " << round << " (events)";
            event_results++;
            quorvel_plan_result_free(r);
        }
        quorvel_plan_free(plan);
    }
    // The generators must reach the interesting cases, not only refusals.
    EXPECT_GT(written, 500u);
    EXPECT_GT(with_namespaces, 50u);
    EXPECT_GT(event_results, 300u);
}

// The conformance suite's documents, walked with a few
// catch-all plans: the walk succeeds and the round trip holds.
TEST(PlanRoundTripConformance, SuiteDocumentsAsWalkInputs) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(root, "xmlconf");
    std::vector<std::filesystem::path> files;
    // Every document of the suite that this library reads (the valid ones
    // and the well-formed invalid ones) is a walk input.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().extension() == ".xml") files.push_back(entry.path());
    ASSERT_FALSE(files.empty());
    // Plans: catch-all as raw XML; catch-all walked recursively with own
    // text; every element's text as leaves with attributes in any mode.
    quorvel_plan_child_row raw_rows[] = {{}};
    raw_rows[0].name = "any";
    raw_rows[0].kind = 7;
    raw_rows[0].element_row_index = -1;
    quorvel_plan_child_row deep_rows[] = {{}};
    deep_rows[0].name = "any";
    deep_rows[0].kind = 7;
    deep_rows[0].element_row_index = 0;
    quorvel_plan_child_row text_rows[] = {{}, {}};
    text_rows[0].name = "t";
    text_rows[0].kind = 5;
    text_rows[1].name = "any";
    text_rows[1].kind = 7;
    text_rows[1].element_row_index = 0;
    quorvel_plan_element_row plans[3][1] = {{{}}, {{}}, {{}}};
    plans[0][0].name = "r";
    plans[0][0].child_rows = raw_rows;
    plans[0][0].child_row_count = 1;
    plans[1][0].name = "r";
    plans[1][0].child_rows = deep_rows;
    plans[1][0].child_row_count = 1;
    plans[1][0].flags = QUORVEL_PLAN_OWN_TEXT;
    plans[2][0].name = "r";
    plans[2][0].child_rows = text_rows;
    plans[2][0].child_row_count = 2;
    plans[2][0].flags = QUORVEL_PLAN_TEXT_ROWS | QUORVEL_PLAN_TEXT_CDATA;
    size_t walked = 0;
    for (auto& rows : plans) {
        quorvel_plan_spec spec{1, 1, rows};
        int st = 0;
        quorvel_plan* plan = quorvel_plan_build(&spec, &st);
        ASSERT_NE(plan, nullptr);
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            std::string xml = ss.str();
            quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
            if (!doc || !quorvel_document_root(doc)) {
                quorvel_document_free(doc);
                continue;
            }
            quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
            ASSERT_NE(r, nullptr) << file << " " << st;
            EXPECT_EQ(plangen::check_round_trip(plan, r), "") << file;
            walked++;
            quorvel_plan_result_free(r);
            quorvel_document_free(doc);
        }
        quorvel_plan_free(plan);
    }
    EXPECT_GT(walked, 1000u);
}

}  // namespace
