// Properties over generated documents: the digest ignores attribute order
// and survives a serialize-parse round trip but changes with any edit, and a
// single edit shows up in the diff as exactly the op that describes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "diff/diff_support.h"

using namespace diff_test;

namespace {

struct model {
    bool is_text = false;
    std::string name;  // element name, or the text
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<model> children;
};

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

std::string write(const model& m, bool reverse_attributes = false) {
    if (m.is_text) return escape(m.name);
    std::string s = "<" + m.name;
    auto attrs = m.attributes;
    if (reverse_attributes) std::reverse(attrs.begin(), attrs.end());
    for (auto& [k, v] : attrs) s += " " + k + "=\"" + escape(v) + "\"";
    s += ">";
    for (const model& c : m.children) s += write(c, reverse_attributes);
    return s + "</" + m.name + ">";
}

class generator {
public:
    explicit generator(unsigned seed) : rng_(seed) {}

    model element(int depth) {
        model m;
        m.name = std::string(1, "abc"[pick(3)]);
        m.attributes.push_back({"id", std::to_string(serial_++)});
        const char* names[] = {"x", "y", "p:z"};
        for (int i = 0; i < 3; i++)
            if (pick(2)) m.attributes.push_back({names[i], value()});
        int n = depth < 4 ? static_cast<int>(pick(5)) : 0;
        bool last_text = false;
        for (int i = 0; i < n; i++) {
            if (!last_text && pick(3) == 0) {
                m.children.push_back(text());
                last_text = true;
            } else {
                m.children.push_back(element(depth + 1));
                last_text = false;
            }
        }
        return m;
    }
    model text() {
        model t;
        t.is_text = true;
        t.name = "t" + std::to_string(serial_++) + (pick(2) ? " & <" : "");
        return t;
    }
    std::string value() { return "v" + std::to_string(serial_++) + (pick(3) == 0 ? "&\"" : ""); }
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

private:
    std::mt19937 rng_;
    int serial_ = 0;
};

std::string document(const model& root, bool reverse = false) {
    std::string s = write(root, reverse);
    // The namespace of p:z is declared on the root.
    return s.insert(root.name.size() + 1, " xmlns:p=\"urn:p\"");
}

// Every element of the tree with its path from the root: indices into children.
void elements(const model& m, std::vector<size_t>& trail, std::vector<std::vector<size_t>>& out) {
    out.push_back(trail);
    for (size_t i = 0; i < m.children.size(); i++) {
        if (m.children[i].is_text) continue;
        trail.push_back(i);
        elements(m.children[i], trail, out);
        trail.pop_back();
    }
}

model& at(model& root, const std::vector<size_t>& trail) {
    model* m = &root;
    for (size_t i : trail) m = &m->children[i];
    return *m;
}

// Position of child i among its parent's elements of the same name, and their number.
std::pair<size_t, size_t> same_name(const model& parent, size_t i) {
    size_t k = 0, total = 0;
    for (size_t j = 0; j < parent.children.size(); j++) {
        const model& c = parent.children[j];
        if (c.is_text || c.name != parent.children[i].name) continue;
        total++;
        if (j == i) k = total;
    }
    return {k, total};
}

// The diff's path of a compared (paired) element: "[k]" only among two or more.
std::string paired_path(const model& root, const std::vector<size_t>& trail) {
    std::string p = "/" + root.name;
    const model* m = &root;
    for (size_t i : trail) {
        auto [k, total] = same_name(*m, i);
        m = &m->children[i];
        p += "/" + m->name + (total >= 2 ? "[" + std::to_string(k) + "]" : "");
    }
    return p;
}

TEST(DiffProperties, GeneratedDocuments) {
    for (unsigned seed = 1; seed <= 60; seed++) {
        generator g(seed);
        model a = g.element(0);
        doc_ptr da = parse(document(a));
        uint64_t digest = root_digest(da.get());

        doc_ptr permuted = parse(document(a, true));
        EXPECT_EQ(root_digest(permuted.get()), digest) << "seed " << seed;
        doc_ptr again = parse(take(quorvel_serialize_document(da.get())));
        EXPECT_EQ(root_digest(again.get()), digest) << "seed " << seed;
        EXPECT_EQ(root_digest(da.get()), digest) << "seed " << seed;
        EXPECT_EQ(report(da.get(), again.get()), "") << "seed " << seed;

        std::vector<size_t> trail;
        std::vector<std::vector<size_t>> all;
        elements(a, trail, all);
        const std::vector<size_t>& where = all[g.pick(all.size())];
        for (int edit = 0; edit < 4; edit++) {
            model b = a;
            model& e = at(b, where);
            std::string expected;
            if (edit == 0) {  // an attribute value
                std::string old = e.attributes[0].second;
                e.attributes[0].second = g.value();
                expected = "- " + paired_path(b, where) + " @id \"" + old + "\" -> \"" + e.attributes[0].second +
                           "\"\n";
            } else if (edit == 1) {  // a new text, or a changed one
                size_t i = 0;
                while (i < e.children.size() && !e.children[i].is_text) i++;
                std::string old = i < e.children.size() ? e.children[i].name : "";
                model t = g.text();
                if (i < e.children.size())
                    e.children[i] = t;
                else
                    e.children.insert(e.children.begin(), t);
                expected = "~ " + paired_path(b, where) + " \"" + old + "\" -> \"" + t.name + "\"\n";
            } else if (edit == 2) {  // an inserted element
                size_t i = g.pick(e.children.size() + 1);
                while (i < e.children.size() && e.children[i].is_text) i++;
                e.children.insert(e.children.begin() + static_cast<long>(i), g.element(4));
                auto [k, total] = same_name(e, i);
                (void)total;
                expected = "+ " + paired_path(b, where) + "/" + e.children[i].name + "[" + std::to_string(k) + "] <" +
                           e.children[i].name + ">\n";
            } else {  // a removed element
                // Not an element between two texts: they would join.
                auto between_texts = [&e](size_t j) {
                    return j > 0 && e.children[j - 1].is_text && j + 1 < e.children.size() && e.children[j + 1].is_text;
                };
                size_t i = 0;
                while (i < e.children.size() && (e.children[i].is_text || between_texts(i))) i++;
                if (i == e.children.size()) continue;
                auto [k, total] = same_name(e, i);
                (void)total;
                expected = "x " + paired_path(b, where) + "/" + e.children[i].name + "[" + std::to_string(k) + "] <" +
                           e.children[i].name + ">\n";
                e.children.erase(e.children.begin() + static_cast<long>(i));
            }
            doc_ptr db = parse(document(b));
            EXPECT_NE(root_digest(db.get()), digest) << "seed " << seed << " edit " << edit;
            EXPECT_EQ(report(da.get(), db.get()), expected) << "seed " << seed << " edit " << edit << "\n"
                                                            << document(a) << "\n"
                                                            << document(b);
        }
    }
}

}  // namespace
