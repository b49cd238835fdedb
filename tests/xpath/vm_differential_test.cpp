// The bytecode machine switched on and off over every XPath text of the
// project's own XPath tests (each string literal of their sources that
// parses) on every document those sources write, and over the expressions
// of the QT3 cases the conformance runner runs: every answer is the same,
// on the first and on later evaluations.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "dom/dom.h"
#include "support/testdata.h"
#include "xpath/xpath.h"

namespace {

struct vm_switch {
    ~vm_switch() { xpath_vm_set_enabled(1); }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True for the document node and nodes of the tree under the root element.
bool in_source(const quorvel_node* n, quorvel_document* doc) {
    if (n == quorvel_document_get_node(doc)) return true;
    const quorvel_node* top = n;
    while (quorvel_element* p = quorvel_node_parent(top)) top = reinterpret_cast<const quorvel_node*>(p);
    return top == reinterpret_cast<const quorvel_node*>(quorvel_document_root(doc));
}

std::string show(const quorvel_xpath_result* r, quorvel_document* doc) {
    if (!r) {
        const char* message = quorvel_document_last_error(doc);
        return std::string("ERR:") + (message ? message : "");
    }
    int type = quorvel_xpath_result_type(r);
    if (type == 1 || type == 2 || type == 3) {
        char* s = quorvel_xpath_result_string(r);
        std::string out = std::to_string(type) + "'" + (s ? s : "") + "'";
        std::free(s);
        return out;
    }
    std::string out = "[";
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        quorvel_node* n = quorvel_xpath_result_get_node(r, i);
        int kind = quorvel_node_get_type(n);
        const char* name = quorvel_xpath_result_node_name(r, i);
        const char* value = quorvel_xpath_result_node_value(r, i);
        char id[32];
        // Nodes an expression constructs are new on every evaluation: only
        // the source document's nodes are compared by identity.
        std::snprintf(id, sizeof id, "%p", kind >= 6 || !in_source(n, doc) ? nullptr : static_cast<void*>(n));
        out += std::to_string(kind) + ":" + (name ? name : "") + "=" + (value ? value : "") + "@" + id + " ";
    }
    return out + "]";
}

// The answers with the machine off, then on three times; empty when equal,
// else a description of the first difference.
std::string compare(quorvel_document* doc, quorvel_node* node, const char* expr, const quorvel_xpath_ns_set* ns) {
    vm_switch restore;
    xpath_vm_set_enabled(0);
    quorvel_xpath_result* r = quorvel_xpath_eval_ns(doc, node, expr, ns);
    std::string walker = show(r, doc);
    quorvel_xpath_result_free(r);
    xpath_vm_set_enabled(1);
    for (int round = 0; round < 3; round++) {
        r = quorvel_xpath_eval_ns(doc, node, expr, ns);
        std::string vm = show(r, doc);
        quorvel_xpath_result_free(r);
        if (vm != walker) return std::string(expr) + " round " + std::to_string(round) + ": " + vm + " vs " + walker;
    }
    return "";
}

// The string literals of a C++ source (raw strings and character literals
// skipped), escapes decoded.
std::vector<std::string> literals(const std::string& src) {
    std::vector<std::string> out;
    for (size_t i = 0; i < src.size(); i++) {
        char ch = src[i];
        if (ch == '/' && i + 1 < src.size() && src[i + 1] == '/') {
            while (i < src.size() && src[i] != '\n') i++;
            continue;
        }
        if (ch == '\'') {
            i++;
            while (i < src.size() && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
            continue;
        }
        if (ch != '"') continue;
        if (i > 0 && src[i - 1] == 'R') {
            size_t end = src.find(")\"", i);
            if (end == std::string::npos) break;
            i = end + 1;
            continue;
        }
        std::string s;
        for (i++; i < src.size() && src[i] != '"'; i++) {
            if (src[i] != '\\') {
                s += src[i];
                continue;
            }
            char e = src[++i];
            switch (e) {
            case 'n': s += '\n'; break;
            case 't': s += '\t'; break;
            case 'r': s += '\r'; break;
            case '0': s += '\0'; break;
            case 'x': {
                int v = 0, k = 0;
                while (k < 2 && std::isxdigit(static_cast<unsigned char>(src[i + 1]))) {
                    v = v * 16 + std::stoi(std::string(1, src[++i]), nullptr, 16);
                    k++;
                }
                s += static_cast<char>(v);
                break;
            }
            default: s += e; break;
            }
        }
        out.push_back(s);
    }
    return out;
}

bool machine_runs(const std::string& text) {
    if (text.empty() || text.size() > 300 || std::memchr(text.data(), '\0', text.size())) return false;
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(text.data(), text.size(), message, sizeof message);
    if (!tree) return false;
    // Only what the machine runs (the whole text, or a path inside it) is
    // worth comparing: for the rest both answers come from the tree-walker.
    size_t paths = xpath_vm_path_count(tree);
    ast_node_free(tree);
    return paths > 0;
}

TEST(XpathVmDifferential, ProjectTestExpressions) {
    std::set<std::string> exprs, docs;
    const std::string dir = std::string(QUORVEL_TEST_SOURCE_DIR) + "/xpath";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".cpp") continue;
        for (const std::string& s : literals(slurp(entry.path().string()))) {
            if (!s.empty() && s[0] == '<') docs.insert(s);
            else if (machine_runs(s)) exprs.insert(s);
        }
    }
    ASSERT_GT(exprs.size(), 100u);
    size_t documents = 0, compared = 0;
    for (const std::string& xml : docs) {
        int status = 0;
        quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &status);
        if (!doc) continue;
        documents++;
        quorvel_node* root = reinterpret_cast<quorvel_node*>(quorvel_document_root(doc));
        for (const std::string& e : exprs) {
            EXPECT_EQ(compare(doc, nullptr, e.c_str(), nullptr), "") << "on " << xml;
            if (root) {
                EXPECT_EQ(compare(doc, root, e.c_str(), nullptr), "") << "at the root of " << xml;
            }
            compared++;
        }
        quorvel_document_free(doc);
    }
    EXPECT_GT(documents, 3u);
    std::printf("compared %zu expressions on %zu documents (%zu pairs)\n", exprs.size(), documents, compared);
}

// ---- The QT3 cases ------------------------------------------------------------------------------

const char* const kSets[] = {
    "prod-AxisStep", "prod-AxisStep.abbr", "prod-AxisStep.ancestor", "prod-AxisStep.ancestor-or-self",
    "prod-AxisStep.following", "prod-AxisStep.following-sibling", "prod-AxisStep.preceding",
    "prod-AxisStep.preceding-sibling", "prod-AxisStep.static-typing", "prod-AxisStep.unabbr", "prod-PathExpr",
    "prod-StepExpr", "prod-Predicate", "prod-NameTest", "prod-NodeTest", "prod-ContextItemExpr", "prod-Literal",
    "prod-ParenthesizedExpr", "fn-position", "fn-last", "op-union", "fn-sum", "fn-contains",
};

using element = quorvel_element;

std::vector<element*> children(element* e, const char* name = nullptr) {
    std::vector<element*> out;
    for (quorvel_node* c = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(e)); c;
         c = quorvel_node_next_sibling(c)) {
        element* x = quorvel_node_as_element(c);
        if (x && (!name || std::strcmp(quorvel_element_name(x), name) == 0)) out.push_back(x);
    }
    return out;
}

std::string attr(element* e, const char* name) {
    const char* v = quorvel_element_attribute(e, name);
    return v ? v : "";
}

struct environment {
    std::string source;
    std::vector<std::pair<std::string, std::string>> namespaces;
};

environment read_environment(element* env, const std::string& base) {
    environment out;
    for (element* c : children(env)) {
        std::string n = quorvel_element_name(c);
        if (n == "source" && attr(c, "role") == ".") out.source = base + "/" + attr(c, "file");
        if (n == "namespace") out.namespaces.emplace_back(attr(c, "prefix"), attr(c, "uri"));
    }
    return out;
}

struct parsed {
    quorvel_document* doc = nullptr;
    explicit parsed(const std::string& path) {
        int status = 0;
        doc = quorvel_parse_file(path.c_str(), &status);
    }
    ~parsed() { quorvel_document_free(doc); }
};

TEST(XpathVmDifferentialConformance, Qt3Cases) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(qt3, "qt3");
    parsed catalog(qt3 + "/catalog.xml");
    ASSERT_NE(catalog.doc, nullptr);
    element* root = quorvel_document_root(catalog.doc);
    std::map<std::string, environment> shared;
    for (element* env : children(root, "environment")) shared[attr(env, "name")] = read_environment(env, qt3);
    std::map<std::string, element*> set_files;
    for (element* s : children(root, "test-set")) set_files[attr(s, "name")] = s;
    std::map<std::string, parsed*> sources;  // one parse per source file
    size_t compared = 0;
    for (const char* set_name : kSets) {
        auto it = set_files.find(set_name);
        if (it == set_files.end()) continue;
        const std::string path = qt3 + "/" + attr(it->second, "file");
        const std::string base = path.substr(0, path.rfind('/'));
        parsed set(path);
        if (!set.doc) continue;
        element* set_root = quorvel_document_root(set.doc);
        std::map<std::string, environment> local;
        for (element* env : children(set_root, "environment")) local[attr(env, "name")] = read_environment(env, base);
        for (element* tc : children(set_root, "test-case")) {
            environment env;
            for (element* e : children(tc, "environment")) {
                std::string ref = attr(e, "ref");
                if (ref.empty()) env = read_environment(e, base);
                else if (local.count(ref)) env = local[ref];
                else if (shared.count(ref)) env = shared[ref];
            }
            std::vector<element*> tests = children(tc, "test");
            if (tests.empty()) continue;
            std::string text;
            if (attr(tests[0], "file").empty()) {
                char* t = quorvel_element_get_text_content(reinterpret_cast<quorvel_node*>(tests[0]));
                text = t ? t : "";
                std::free(t);
            } else {
                text = slurp(base + "/" + attr(tests[0], "file"));
            }
            std::string source = env.source.empty() ? qt3 + "/docs/works-mod.xml" : env.source;
            parsed*& doc = sources[source];
            if (!doc) doc = new parsed(source);
            if (!doc->doc) continue;
            quorvel_xpath_ns_set* ns = quorvel_xpath_ns_set_new();
            for (const auto& [prefix, uri] : env.namespaces)
                if (!prefix.empty() && !uri.empty()) quorvel_xpath_ns_set_add(ns, prefix.c_str(), uri.c_str());
            EXPECT_EQ(compare(doc->doc, nullptr, text.c_str(), ns), "") << set_name << " " << attr(tc, "name");
            quorvel_xpath_ns_set_free(ns);
            compared++;
        }
    }
    for (auto& [path, doc] : sources) delete doc;
    EXPECT_GT(compared, 500u);
    std::printf("compared %zu QT3 expressions with the machine on and off\n", compared);
}

}  // namespace
