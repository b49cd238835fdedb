// The W3C XInclude test suite: every success case must process with status
// 0 and give the expected result after canonical XML (with comments, both
// sides canonicalized by libxml2), and every error case must not answer 0.
// Cases the library does not pass on purpose are listed, with the rule that
// decides them, in xinclude_known_failures.txt; a listed case that passes
// fails the run too, so the list stays exact.
#include <gtest/gtest.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "conformance/catalogue_nodes.h"
#include "conformance/suite_lists.h"
#include "support/testdata.h"

namespace {

using catalogue::attr;
using catalogue::named;

std::string text_of(xmlNode* n) {
    xmlChar* v = xmlNodeGetContent(n);
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// Removes the xml:base and xml:lang attributes below n.
void strip_fixups(xmlNode* n) {
    for (; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        for (xmlAttr* a = n->properties; a;) {
            xmlAttr* next = a->next;
            if (a->ns && xmlStrEqual(a->ns->prefix, reinterpret_cast<const xmlChar*>("xml")) &&
                (xmlStrEqual(a->name, reinterpret_cast<const xmlChar*>("base")) ||
                 xmlStrEqual(a->name, reinterpret_cast<const xmlChar*>("lang"))))
                xmlRemoveProp(a);
            a = next;
        }
        strip_fixups(n->children);
    }
}

// Canonical XML with comments of a text, "" when libxml2 cannot parse it.
// Without fixups the xml:base and xml:lang attributes are left out (to tell,
// when listing failures, the cases that differ by those alone).
std::string canonical(const std::string& text, const std::string& url, bool without_fixups = false) {
    xmlDoc* d = xmlReadMemory(text.data(), static_cast<int>(text.size()), url.c_str(), nullptr, XML_PARSE_NONET);
    if (!d) return "";
    if (without_fixups) strip_fixups(xmlDocGetRootElement(d));
    xmlChar* out = nullptr;
    int n = xmlC14NDocDumpMemory(d, nullptr, XML_C14N_1_0, nullptr, 1, &out);
    std::string s = n >= 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : "";
    xmlFree(out);
    xmlFreeDoc(d);
    return s;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct suite_case {
    std::string id;
    std::string path;
    bool error;
    std::string output;  // expected result file, "" for none
};

// What went wrong with a case, or "" when it passed.
std::string run_case(const suite_case& c) {
    std::string text = read_file(c.path);
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_with_encoding(text.data(), text.size(), &status);
    if (!doc || status != 0) {
        quorvel_document_free(doc);
        return c.error ? "" : "the test document does not parse";
    }
    status = quorvel_xinclude_process(doc, c.path.c_str());
    std::string why = status != 0 && quorvel_last_error() ? quorvel_last_error() : "";
    char* out = quorvel_document_serialize(doc, nullptr);
    std::string result = out ? out : "";
    quorvel_free_string(out);
    quorvel_document_free(doc);
    if (c.error) return status != 0 ? "" : "error case answers 0";
    if (status != 0) return "status " + std::to_string(status) + ": " + why;
    if (c.output.empty()) return "";
    std::string expected = canonical(read_file(c.output), c.output);
    std::string got = canonical(result, c.path);
    if (got != expected) {
        std::string problem = "result differs from " + c.output.substr(c.output.rfind('/') + 1);
        if (canonical(read_file(c.output), c.output, true) == canonical(result, c.path, true))
            problem += " by xml:base or xml:lang alone";
        return problem;
    }
    return "";
}

TEST(XincludeConformance, SuiteCases) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xinclude");
    const std::vector<std::string> ids = suite_lists::read_case_ids(data + "/CASES.txt");
    xmlDoc* catalog = xmlReadFile((data + "/tests/testdescr.xml").c_str(), nullptr, XML_PARSE_NONET);
    ASSERT_NE(catalog, nullptr);
    std::map<std::string, suite_case> by_id;
    for (xmlNode* set = xmlDocGetRootElement(catalog)->children; set; set = set->next) {
        if (!named(set, "testcases")) continue;
        std::string dir = data + "/tests/" + attr(set, "basedir") + "/";
        for (xmlNode* tc = set->children; tc; tc = tc->next) {
            if (!named(tc, "testcase")) continue;
            suite_case c{attr(tc, "id"), dir + attr(tc, "href"), attr(tc, "type") == "error", ""};
            for (xmlNode* o = tc->children; o; o = o->next)
                if (named(o, "output")) c.output = dir + text_of(o);
            by_id[c.id] = c;
        }
    }
    xmlFreeDoc(catalog);
    ASSERT_EQ(by_id.size(), ids.size()) << "CASES.txt and the catalogue disagree";

    const auto known = suite_lists::read_reasons(QUORVEL_TEST_SOURCE_DIR "/conformance/xinclude_known_failures.txt");
    const bool listing = std::getenv("QUORVEL_XINCLUDE_LIST_FAILURES") != nullptr;
    int passed = 0;
    for (const std::string& id : ids) {
        ASSERT_TRUE(by_id.count(id)) << id << " is not in the catalogue";
        std::string problem = run_case(by_id[id]);
        if (problem.empty()) passed++;
        if (listing) {
            if (!problem.empty()) std::printf("%s %s\n", id.c_str(), problem.c_str());
            continue;
        }
        suite_lists::check_outcome(id, problem, known);
    }
    suite_lists::check_listed_cases_exist(known, ids);
    RecordProperty("passed", passed);
    std::printf("XInclude test suite: %d of %zu cases passed\n", passed, ids.size());
}

}  // namespace
