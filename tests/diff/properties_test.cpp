// Properties over generated documents: the digest ignores attribute order
// and survives a serialize-parse round trip but changes with any edit, and a
// single edit shows up in the diff as exactly the op that describes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

// ---- Applying a report ----------------------------------------------------------------------------

struct op {
    int kind;
    std::string name, before, after;
};

// The ops of diff(a, b) by path.
std::multimap<std::string, op> ops_by_path(quorvel_document* a, quorvel_document* b) {
    std::multimap<std::string, op> out;
    int status = 99;
    quorvel_diff_list* list = quorvel_diff(a, b, 0, &status);
    EXPECT_EQ(status, 0);
    for (size_t i = 0; i < quorvel_diff_op_count(list); i++)
        out.insert({quorvel_diff_op_path(list, i),
                    {quorvel_diff_op_type(list, i), quorvel_diff_op_name(list, i), quorvel_diff_op_before(list, i),
                     quorvel_diff_op_after(list, i)}});
    quorvel_diff_free(list);
    return out;
}

// Index in children of the k-th (from 1) element named name, or npos.
size_t nth_named(const model& m, const std::string& name, size_t k) {
    for (size_t i = 0; i < m.children.size(); i++)
        if (!m.children[i].is_text && m.children[i].name == name && --k == 0) return i;
    return std::string::npos;
}

size_t elements_before(const model& m, size_t end) {
    size_t n = 0;
    for (size_t i = 0; i < end; i++) n += m.children[i].is_text ? 0 : 1;
    return n;
}

// Index in children just after the n-th element (0: the start).
size_t after_elements(const model& m, size_t n) {
    size_t i = 0;
    for (; n && i < m.children.size(); i++)
        if (!m.children[i].is_text) n--;
    return i;
}

// Applies the ops of element path to m, whose counterpart in b is mb: the
// attributes, removed and added children (added subtrees and their places
// taken from b) and texts, then the same for each child.
void apply(model& m, const model& mb, const std::string& path, const std::multimap<std::string, op>& ops) {
    auto [first, last] = ops.equal_range(path);
    for (auto it = first; it != last; ++it) {
        const op& o = it->second;
        if (o.kind != QUORVEL_DIFF_ATTRIBUTE_CHANGED) continue;
        auto has = [&o](const auto& a) { return a.first == o.name; };
        auto at = std::find_if(m.attributes.begin(), m.attributes.end(), has);
        bool kept = std::any_of(mb.attributes.begin(), mb.attributes.end(), has);
        if (!kept) {
            if (at != m.attributes.end()) m.attributes.erase(at);
        } else if (at != m.attributes.end()) {
            at->second = o.after;
        } else {
            m.attributes.push_back({o.name, o.after});
        }
    }
    // Children named path/name[k]: removed ones counted in a, added ones in b.
    std::vector<size_t> removed;
    std::vector<std::pair<size_t, const model*>> added;  // index in b
    for (const auto& [p, o] : ops) {
        if (p.size() <= path.size() + 1 || p.compare(0, path.size() + 1, path + "/") != 0) continue;
        std::string segment = p.substr(path.size() + 1);
        size_t open = segment.find('[');
        if (segment.find('/') != std::string::npos || open == std::string::npos) continue;
        std::string name = segment.substr(0, open);
        size_t k = std::stoul(segment.substr(open + 1));
        size_t i = nth_named(o.kind == QUORVEL_DIFF_REMOVED ? m : mb, name, k);
        ASSERT_NE(i, std::string::npos) << p << " names no child";
        if (o.kind == QUORVEL_DIFF_REMOVED) removed.push_back(i);
        else if (o.kind == QUORVEL_DIFF_ADDED) added.push_back({i, nullptr});
    }
    std::sort(removed.rbegin(), removed.rend());
    for (size_t i : removed) m.children.erase(m.children.begin() + static_cast<long>(i));
    // Texts: the old one out, the new one in where b has it (a text op does
    // not say which of several texts it pairs).
    for (auto it = first; it != last; ++it) {
        const op& o = it->second;
        if (o.kind != QUORVEL_DIFF_TEXT_CHANGED || o.before.empty()) continue;
        auto t = std::find_if(m.children.begin(), m.children.end(),
                              [&o](const model& c) { return c.is_text && c.name == o.before; });
        ASSERT_NE(t, m.children.end()) << path << " has no text " << o.before;
        m.children.erase(t);
    }
    // In b's order, each after the element before it in b, and after the
    // text between them when b has one.
    std::sort(added.begin(), added.end());
    for (const auto& [j, unused] : added) {
        size_t i = after_elements(m, elements_before(mb, j));
        if (j > 0 && mb.children[j - 1].is_text && i < m.children.size() && m.children[i].is_text) i++;
        m.children.insert(m.children.begin() + static_cast<long>(i), mb.children[j]);
    }
    for (auto it = first; it != last; ++it) {
        const op& o = it->second;
        if (o.kind != QUORVEL_DIFF_TEXT_CHANGED || o.after.empty()) continue;
        auto t = std::find_if(mb.children.begin(), mb.children.end(),
                              [&o](const model& c) { return c.is_text && c.name == o.after; });
        ASSERT_NE(t, mb.children.end());
        size_t n = elements_before(mb, static_cast<size_t>(t - mb.children.begin()));
        m.children.insert(m.children.begin() + static_cast<long>(after_elements(m, n)), *t);
    }
    // Paired children now stand where their counterparts stand in b.
    size_t i = 0, j = 0;
    for (; i < m.children.size() && j < mb.children.size(); i++, j++) {
        while (i < m.children.size() && m.children[i].is_text) i++;
        while (j < mb.children.size() && mb.children[j].is_text) j++;
        if (i == m.children.size() || j == mb.children.size()) break;
        auto [k, total] = same_name(mb, j);
        apply(m.children[i], mb.children[j],
              path + "/" + mb.children[j].name + (total >= 2 ? "[" + std::to_string(k) + "]" : ""), ops);
    }
}

// Adjacent texts joined, as parsing joins them.
void join_texts(model& m) {
    for (size_t i = 0; i < m.children.size(); i++) {
        if (m.children[i].is_text && i + 1 < m.children.size() && m.children[i + 1].is_text) {
            m.children[i].name += m.children[i + 1].name;
            m.children.erase(m.children.begin() + static_cast<long>(i + 1));
            i--;
        } else if (!m.children[i].is_text) {
            join_texts(m.children[i]);
        }
    }
}

std::string canonical(const std::string& text) {
    doc_ptr d = parse(text);
    return take(quorvel_c14n_canonicalize(d.get()));
}

// b is a after several edits anywhere (attributes added, changed and
// removed, texts, inserted and removed elements); applying diff(a, b) to a
// gives b.
TEST(DiffProperties, ReportAppliedToTheFirstGivesTheSecond) {
    for (unsigned seed = 1; seed <= 1000; seed++) {
        generator g(seed);
        model a = g.element(0);
        model b = a;
        int edits = 1 + static_cast<int>(g.pick(6));
        for (int edit = 0; edit < edits; edit++) {
            std::vector<size_t> trail;
            std::vector<std::vector<size_t>> all;
            elements(b, trail, all);
            model& e = at(b, all[g.pick(all.size())]);
            switch (g.pick(6)) {
            case 0: e.attributes[g.pick(e.attributes.size())].second = g.value(); break;
            case 1:
                if (e.attributes.size() > 1) e.attributes.erase(e.attributes.begin() + 1);
                else e.attributes.push_back({"y", g.value()});
                break;
            case 2: {
                size_t i = 0;
                while (i < e.children.size() && !e.children[i].is_text) i++;
                if (i < e.children.size()) e.children[i] = g.text();
                else if (e.children.empty() || !e.children[0].is_text) e.children.insert(e.children.begin(), g.text());
                break;
            }
            case 3: {
                size_t i = g.pick(e.children.size() + 1);
                while (i < e.children.size() && e.children[i].is_text) i++;
                e.children.insert(e.children.begin() + static_cast<long>(i), g.element(3));
                break;
            }
            default: {
                if (e.children.empty()) break;
                size_t i = g.pick(e.children.size());
                if (e.children[i].is_text) break;
                e.children.erase(e.children.begin() + static_cast<long>(i));
                break;
            }
            }
        }
        join_texts(b);
        std::string ta = document(a), tb = document(b);
        doc_ptr da = parse(ta), db = parse(tb);
        // Adjacent texts join in the parsed documents: work on their models.
        model ma = a, mb = b;
        auto ops = ops_by_path(da.get(), db.get());
        apply(ma, mb, "/" + ma.name, ops);
        EXPECT_EQ(canonical(document(ma)), canonical(tb)) << "seed " << seed << "\n" << ta << "\n" << tb << "\n"
                                                           << report(da.get(), db.get());
    }
}

}  // namespace
