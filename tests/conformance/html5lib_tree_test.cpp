// html5lib's tree-construction cases: each case's #data is parsed as a whole
// document and the tree, dumped in html5lib's one-line-per-node form, is
// compared with its #document. Fragment cases and cases that need scripting
// are left out; the expected parse errors are not compared (the parser
// reports none). Cases the parser does not build the same tree for are
// listed, with the rule that gives their tree, in html5lib_known_failures.txt;
// a listed case that passes fails the run too, so the list stays exact.
//
// Setting QUORVEL_HTML5LIB_REPORT to a file name writes every failing case
// there with its input, expected and actual dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "html/html_test_util.h"
#include "conformance/suite_lists.h"
#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;

struct tree_case {
    std::string id;  // "file.dat<TAB>number"
    std::string data;
    std::string document;
    bool fragment = false;
    bool script_on = false;
};

// The blocks of one .dat file, in file order.
std::vector<tree_case> read_cases(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    std::vector<tree_case> cases;
    std::string section;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& l = lines[i];
        if (l == "#data" && (section.empty() || section == "#document")) {
            cases.emplace_back();
            section = "#data";
            continue;
        }
        if (cases.empty()) continue;
        tree_case& c = cases.back();
        if (!l.empty() && l[0] == '#' && (l == "#errors" || l == "#new-errors" || l == "#document-fragment" ||
                                          l == "#script-on" || l == "#script-off" || l == "#document")) {
            section = l;
            if (l == "#document-fragment") c.fragment = true;
            if (l == "#script-on") c.script_on = true;
            continue;
        }
        if (section == "#data") {
            c.data += l + "\n";
        } else if (section == "#document") {
            if (l.empty() && (i + 1 == lines.size() || lines[i + 1] == "#data")) {
                section.clear();
                continue;
            }
            c.document += l + "\n";
        }
    }
    for (tree_case& c : cases)
        if (!c.data.empty()) c.data.pop_back();  // the line feed that ends the data
    return cases;
}

// "file.dat<TAB>number<TAB>reason" lines.
std::map<std::string, std::string> known_failures() {
    return suite_lists::read_tabbed_reasons(QUORVEL_TEST_SOURCE_DIR "/conformance/html5lib_known_failures.txt");
}

TEST(Html5libConformance, TreeConstruction) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(root, "html5lib-tests");
    // CASES.txt names the cases of this copy by upstream number; the blocks
    // of each file are those cases in increasing order.
    std::map<std::string, std::vector<int>> numbers;
    {
        std::ifstream in(root + "/CASES.txt");
        std::string set;
        int number = 0;
        while (in >> set >> number) numbers[set].push_back(number);
    }
    ASSERT_FALSE(numbers.empty()) << "no cases listed in " << root << "/CASES.txt";
    auto known = known_failures();
    const char* report_path = std::getenv("QUORVEL_HTML5LIB_REPORT");
    std::ofstream report;
    if (report_path) report.open(report_path);

    int run = 0, passed = 0, skipped = 0;
    std::set<std::string> seen;
    for (auto& [set, ids] : numbers) {
        std::sort(ids.begin(), ids.end());
        std::vector<tree_case> cases = read_cases(fs::path(root) / "tree-construction" / set);
        ASSERT_EQ(cases.size(), ids.size()) << set << ": the file's blocks and CASES.txt disagree";
        for (size_t i = 0; i < cases.size(); i++) {
            tree_case& c = cases[i];
            c.id = set + "\t" + std::to_string(ids[i]);
            if (c.fragment || c.script_on) {
                skipped++;
                continue;
            }
            run++;
            int status = 0;
            quorvel_document* doc = quorvel_parse_html_string(c.data.data(), c.data.size(), &status);
            std::string actual = doc ? html_test::html5lib_dump(doc) : "(no document, status " + std::to_string(status) + ")\n";
            if (doc) quorvel_document_free(doc);
            bool ok = actual == c.document;
            auto k = known.find(c.id);
            if (ok) passed++;
            if (k != known.end()) {
                seen.insert(c.id);
                EXPECT_FALSE(ok) << c.id << " is listed as failing (" << k->second << ") but passes";
            } else {
                EXPECT_TRUE(ok) << c.id << "\n#data\n" << c.data << "\n#expected\n" << c.document << "#actual\n" << actual;
            }
            if (!ok && report.is_open())
                report << c.id << "\n#data\n" << c.data << "\n#expected\n" << c.document << "#actual\n" << actual << "\n";
        }
    }
    for (auto& [id, reason] : known)
        EXPECT_TRUE(seen.count(id)) << id << " is listed as failing but is not a case that runs";
    std::printf("html5lib tree construction: %d of %d cases pass (%d fragment or scripting cases skipped)\n", passed,
                run, skipped);
}

}  // namespace
