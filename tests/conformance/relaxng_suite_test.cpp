// The RELAX NG test suite (XML syntax): every incorrect schema must be
// refused, every correct one must load, and against a loaded grammar every
// valid instance must pass and every invalid one fail. Cases the library
// does not pass on purpose are listed, with the rule that decides them, in
// relaxng_known_failures.txt; a listed case that passes fails the run too,
// so the list stays exact. The catalogue is read with libxml2; schemas,
// instances and the files they refer to are written to a temporary folder.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "conformance/catalogue_nodes.h"
#include "conformance/suite_lists.h"
#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;

using catalogue::attr;
using catalogue::named;

xmlNode* first_element(xmlNode* n) {
    for (xmlNode* c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return c;
    return nullptr;
}

// The first element child as text, with the namespaces in scope declared.
std::string element_text(xmlNode* holder) {
    xmlNode* e = first_element(holder);
    if (!e) return "";
    xmlNode* copy = xmlDocCopyNode(e, e->doc, 1);
    xmlReconciliateNs(e->doc, copy);
    xmlBuffer* buffer = xmlBufferCreate();
    xmlNodeDump(buffer, e->doc, e, 0, 0);
    std::string s(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
    xmlBufferFree(buffer);
    xmlFreeNode(copy);
    return s;
}

struct spec_case {
    std::string id;
    xmlNode* node;
};

void collect(xmlNode* node, std::vector<xmlNode*>& out) {
    for (xmlNode* n = node; n; n = n->next) {
        if (named(n, "testCase"))
            out.push_back(n);
        else if (n->type == XML_ELEMENT_NODE)
            collect(n->children, out);
    }
}

// Writes the resource and dir children of a case under folder.
void write_resources(xmlNode* parent, const fs::path& folder) {
    for (xmlNode* c = parent->children; c; c = c->next) {
        if (named(c, "resource")) {
            std::ofstream(folder / attr(c, "name"), std::ios::binary) << element_text(c);
        } else if (named(c, "dir")) {
            fs::path sub = folder / attr(c, "name");
            fs::create_directories(sub);
            write_resources(c, sub);
        }
    }
}

// What went wrong with a case, or "" when it passed.
std::string run_case(xmlNode* tc, const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    write_resources(tc, folder);
    std::string problems;
    for (xmlNode* c = tc->children; c; c = c->next) {
        bool correct = named(c, "correct");
        if (!correct && !named(c, "incorrect")) continue;
        fs::path schema_path = folder / "schema.rng";
        std::ofstream(schema_path, std::ios::binary) << element_text(c);
        int status = 0;
        quorvel_rng* rng = quorvel_rng_parse_file(schema_path.c_str(), &status);
        if (!correct) {
            if (rng) problems += "incorrect schema loads; ";
            quorvel_rng_free(rng);
            return problems;
        }
        if (!rng) {
            const char* why = quorvel_last_error();
            return "correct schema refused: " + std::string(why ? why : "?");
        }
        int index = 0;
        for (xmlNode* d = c->next; d; d = d->next) {
            bool valid = named(d, "valid");
            if (!valid && !named(d, "invalid")) continue;
            index++;
            std::string text = element_text(d);
            quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
            if (!doc) {
                problems += "instance " + std::to_string(index) + " does not parse; ";
                continue;
            }
            int verdict = quorvel_rng_validate(rng, doc);
            if (valid && verdict != 1) {
                const char* m = quorvel_rng_error(rng);
                problems += "valid instance " + std::to_string(index) + " fails (" + (m ? m : "no message") + "); ";
            }
            if (!valid && verdict != 0) problems += "invalid instance " + std::to_string(index) + " passes; ";
            quorvel_document_free(doc);
        }
        quorvel_rng_free(rng);
        return problems;
    }
    return "no schema in the case";
}

TEST(RelaxngConformance, SuiteCases) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "relaxng");
    const std::vector<std::string> ids = suite_lists::read_case_ids(data + "/CASES.txt");
    xmlDoc* catalog = xmlReadFile((data + "/mod/rng-validate/test/spectest.xml").c_str(), nullptr,
                                  XML_PARSE_NOENT | XML_PARSE_NONET);
    ASSERT_NE(catalog, nullptr);
    std::vector<xmlNode*> nodes;
    collect(xmlDocGetRootElement(catalog), nodes);
    ASSERT_EQ(nodes.size(), ids.size()) << "CASES.txt and the catalogue disagree";

    fs::path folder = fs::temp_directory_path() / ("quorvel-rng-" + std::to_string(getpid()));
    const auto known = suite_lists::read_reasons(QUORVEL_TEST_SOURCE_DIR "/conformance/relaxng_known_failures.txt");
    const bool listing = std::getenv("QUORVEL_RNG_LIST_FAILURES") != nullptr;
    int passed = 0;
    for (size_t i = 0; i < nodes.size(); i++) {
        std::string problem = run_case(nodes[i], folder);
        if (problem.empty()) passed++;
        if (listing) {
            if (!problem.empty()) std::printf("%s %s\n", ids[i].c_str(), problem.c_str());
            continue;
        }
        suite_lists::check_outcome(ids[i], problem, known);
    }
    suite_lists::check_listed_cases_exist(known, ids);
    fs::remove_all(folder);
    xmlFreeDoc(catalog);
    RecordProperty("passed", passed);
    std::printf("RELAX NG test suite: %d of %zu cases passed in full\n", passed, nodes.size());
}

}  // namespace
