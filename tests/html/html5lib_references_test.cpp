// html5lib's character-reference tree-construction cases: text cases are
// parsed inside a <p>, markup cases as they are, and the content of the
// body is compared in html5lib's dump form.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "html/html_test_util.h"
#include "quorvel.h"
#include "support/testdata.h"

namespace {

struct dat_case {
    std::string id;  // file and position among the file's cases
    std::string data;
    std::vector<std::string> document;
    bool fragment = false;
};

std::vector<dat_case> read_dat(const std::string& path, const std::string& file) {
    std::ifstream in(path);
    std::vector<dat_case> cases;
    std::string line, section;
    while (std::getline(in, line)) {
        if (line == "#data") {
            cases.push_back({});
            cases.back().id = file + "#" + std::to_string(cases.size());
            section = "data";
            continue;
        }
        if (!line.empty() && line[0] == '#') {
            section = line.substr(1);
            if (section == "document-fragment") cases.back().fragment = true;
            continue;
        }
        if (cases.empty()) continue;
        if (section == "data") {
            if (!cases.back().data.empty() || cases.back().document.size()) cases.back().data += "\n";
            cases.back().data += line;
        } else if (section == "document") {
            if (line.empty()) continue;
            // A text line may go on over several lines until its closing quote.
            if (line.rfind("| ", 0) != 0 && !cases.back().document.empty())
                cases.back().document.back() += "\n" + line;
            else
                cases.back().document.push_back(line);
        }
    }
    return cases;
}

// The lines below the expected body element, one depth up.
std::vector<std::string> expected_body(const dat_case& c, bool wrapped) {
    std::vector<std::string> out;
    bool in_body = false;
    for (const std::string& l : c.document) {
        if (l == "|   <body>") {
            in_body = true;
            continue;
        }
        if (!in_body) continue;
        if (l.rfind("|     ", 0) != 0) break;
        std::string inner = "| " + l.substr(6);
        out.push_back(wrapped ? "| " + std::string("  ") + inner.substr(2) : inner);
    }
    if (wrapped) out.insert(out.begin(), "| <p>");
    return out;
}

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// Cases known to differ, with the reason.
const std::map<std::string, std::string> kExpectedFailures = {
};

TEST(Html5libConformance, CharacterReferences) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(dir, "html5lib-tests/tree-construction");
    for (const char* file : {"entities01.dat", "entities02.dat"}) {
        std::vector<dat_case> cases = read_dat(dir + "/" + file, file);
        ASSERT_FALSE(cases.empty()) << file;
        for (const dat_case& c : cases) {
            if (c.fragment) continue;
            bool wrapped = c.data.find('<') == std::string::npos;
            std::string input = wrapped ? "<p>" + c.data : c.data;
            quorvel_document* doc = quorvel_parse_html_string(input.data(), input.size(), nullptr);
            ASSERT_NE(doc, nullptr) << c.id;
            std::vector<std::string> got;
            quorvel_element* html = quorvel_document_root(doc);
            quorvel_element* bodyel = quorvel_element_first_child(html, "body");
            if (bodyel) html_test::dump(quorvel_node_first_child(quorvel_element_as_node(bodyel)), 0, got);
            quorvel_document_free(doc);
            bool pass = join(got) == join(expected_body(c, wrapped));
            bool listed = kExpectedFailures.count(c.id) != 0;
            if (!pass && !listed)
                ADD_FAILURE() << c.id << ": " << c.data << "\nexpected:\n" << join(expected_body(c, wrapped))
                              << "got:\n" << join(got);
            if (pass && listed) ADD_FAILURE() << c.id << " passes but is listed as an expected failure";
        }
    }
}

}  // namespace
