// The lists a conformance runner reads: the cases a copy of a suite holds
// and the cases expected to fail, each with its reason, and the check that
// holds a run to that list both ways.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace suite_lists {

// Calls line(text) for every line of a list file but blank lines and
// "#" comments.
template <typename Line>
void each_line(const std::string& path, Line&& line) {
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text))
        if (!text.empty() && text[0] != '#') line(text);
}

// "id reason" lines: the reason of each id (the rest of the line, the
// space after the id kept).
inline std::map<std::string, std::string> read_reasons(const std::string& path) {
    std::map<std::string, std::string> out;
    each_line(path, [&out](const std::string& line) {
        std::istringstream fields(line);
        std::string id;
        fields >> id;
        std::string reason;
        std::getline(fields, reason);
        out[id] = reason;
    });
    return out;
}

// "first<TAB>second<TAB>reason" lines: the reason under "first<TAB>second";
// a line without two tabs is passed over.
inline std::map<std::string, std::string> read_tabbed_reasons(const std::string& path) {
    std::map<std::string, std::string> out;
    each_line(path, [&out](const std::string& line) {
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 != std::string::npos) out[line.substr(0, tab2)] = line.substr(tab2 + 1);
    });
    return out;
}

// The case ids of a copy's CASES.txt ("set id" pairs), in order.
inline std::vector<std::string> read_case_ids(const std::string& path) {
    std::vector<std::string> ids;
    std::ifstream cases(path);
    std::string set, id;
    while (cases >> set >> id) ids.push_back(id);
    return ids;
}

// Holds one case's outcome (an empty problem: it passed) to the list: an
// unlisted failure fails, and so does a listed case that passes.
inline void check_outcome(const std::string& id, const std::string& problem,
                          const std::map<std::string, std::string>& known) {
    auto listed = known.find(id);
    if (!problem.empty() && listed == known.end()) ADD_FAILURE() << "case " << id << ": " << problem;
    if (problem.empty() && listed != known.end())
        ADD_FAILURE() << "case " << id << " passes but is listed:" << listed->second;
}

// Every listed case must be one of the suite's.
inline void check_listed_cases_exist(const std::map<std::string, std::string>& known,
                                     const std::vector<std::string>& ids) {
    for (const auto& entry : known)
        if (std::find(ids.begin(), ids.end(), entry.first) == ids.end())
            ADD_FAILURE() << "listed case " << entry.first << " is not in the suite";
}

}  // namespace suite_lists
