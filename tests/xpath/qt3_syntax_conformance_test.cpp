// Every QT3 case for XPath 3.1 whose expected result is the syntax error
// XPST0003 must be refused by quorvel_xpath_compile, except the cases listed
// in qt3_syntax_accepted.txt: syntax the parser accepts on purpose, each
// with its reason. A listed case that is refused fails as well, so the list
// always tells the truth.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "conformance/catalogue_nodes.h"
#include "conformance/qt3_catalogue.h"
#include "conformance/suite_lists.h"
#include "support/testdata.h"

namespace {

using catalogue::attr;
using catalogue::named;

std::string content(xmlNode* n) {
    xmlChar* v = xmlNodeGetContent(n);
    std::string out = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return out;
}

using qt3::directory_of;

using qt3::admits_xpath31;

struct dependencies {
    std::string versions;
    bool contingent = false;  // applies only when some feature is absent
};

void read_dependencies(xmlNode* parent, dependencies& d) {
    for (xmlNode* c = parent->children; c; c = c->next) {
        if (!named(c, "dependency")) continue;
        if (attr(c, "type") == "spec") d.versions = attr(c, "value");
        if (attr(c, "satisfied") == "false") d.contingent = true;
    }
}

bool expects_syntax_error(xmlNode* test_case) {
    for (xmlNode* c = test_case->children; c; c = c->next) {
        if (!named(c, "result")) continue;
        for (xmlNode* r = c->children; r; r = r->next)
            if (r->type == XML_ELEMENT_NODE) return named(r, "error") && attr(r, "code") == "XPST0003";
    }
    return false;
}

std::map<std::string, std::string> read_accepted() {
    return suite_lists::read_tabbed_reasons(std::string(QUORVEL_TEST_SOURCE_DIR) + "/xpath/qt3_syntax_accepted.txt");
}

TEST(XpathQt3Conformance, SyntaxErrorsAreRefused) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(qt3, "qt3");
    const std::string catalog_path = qt3 + "/catalog.xml";
    xmlDoc* catalog = xmlReadFile(catalog_path.c_str(), nullptr, XML_PARSE_NONET);
    ASSERT_NE(catalog, nullptr) << catalog_path;
    const std::map<std::string, std::string> accepted = read_accepted();
    std::set<std::string> seen;
    size_t checked = 0, refused = 0;
    for (xmlNode* set = xmlDocGetRootElement(catalog)->children; set; set = set->next) {
        if (!named(set, "test-set")) continue;
        const std::string set_name = attr(set, "name");
        const std::string set_path = qt3 + "/" + attr(set, "file");
        xmlDoc* doc = xmlReadFile(set_path.c_str(), nullptr, XML_PARSE_NONET);
        if (!doc) continue;  // a set whose file is not in this copy
        xmlNode* root = xmlDocGetRootElement(doc);
        dependencies set_deps;
        read_dependencies(root, set_deps);
        for (xmlNode* tc = root->children; tc; tc = tc->next) {
            if (!named(tc, "test-case") || !expects_syntax_error(tc)) continue;
            dependencies deps = set_deps;
            read_dependencies(tc, deps);
            if (deps.contingent || !admits_xpath31(deps.versions)) continue;
            std::string text;
            for (xmlNode* c = tc->children; c; c = c->next) {
                if (!named(c, "test")) continue;
                std::string file = attr(c, "file");
                if (file.empty()) {
                    text = content(c);
                } else {
                    std::ifstream in(directory_of(set_path) + "/" + file, std::ios::binary);
                    std::stringstream ss;
                    ss << in.rdbuf();
                    text = ss.str();
                }
            }
            const std::string id = set_name + "\t" + attr(tc, "name");
            checked++;
            quorvel_xpath_compiled* h = quorvel_xpath_compile(text.c_str());
            bool listed = accepted.count(id) != 0;
            if (listed) seen.insert(id);
            if (h) {
                EXPECT_TRUE(listed) << "accepted, but XPST0003 expected: " << id << "\n" << text;
                quorvel_xpath_compiled_free(h);
            } else {
                refused++;
                EXPECT_FALSE(listed) << "listed as accepted, but refused: " << id;
            }
        }
        xmlFreeDoc(doc);
    }
    xmlFreeDoc(catalog);
    for (const auto& [id, reason] : accepted)
        EXPECT_TRUE(seen.count(id)) << "listed case not found or not an XPath syntax-error case: " << id;
    std::printf("XPST0003 cases for XPath 3.1: %zu, refused %zu, accepted on purpose %zu\n", checked, refused,
                accepted.size());
}

}  // namespace
