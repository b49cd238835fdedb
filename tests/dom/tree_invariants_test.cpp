// A randomized run of about a million tree changes over three documents,
// against a model of what every tree should look like. After each batch the
// checker compares every node with the model: parent links, child lists,
// top-level lists, counts, attribute chains, names, documents and cached
// namespace URIs. Refusals are predicted by the model and must change
// nothing. At the end the documents are freed in random order, and the
// survivors are checked again after each free: a node linked across
// documents without a copy would be found dangling (under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

using test_support::tree_builder;

constexpr int kDocs = 3;
constexpr size_t kNodeCap = 2500;  // per document: creations and copies stop there

struct model_node {
    int doc = 0;
    quorvel_node* parent = nullptr;          // NULL: top-level or detached
    std::vector<quorvel_node*> children;     // elements: all kinds, in order
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string local, prefix;               // elements; prefix "" = none
    std::string text;                        // leaves
};

inline quorvel_element* E(quorvel_node* n) { return reinterpret_cast<quorvel_element*>(n); }
inline bool is_element(const quorvel_node* n) { return n->kind == QUORVEL_NODE_ELEMENT; }

class world {
public:
    explicit world(uint64_t seed) : rng_(seed) {
        for (int d = 0; d < kDocs; d++) {
            docs_[d] = quorvel_document_create();
            tree_builder b(docs_[d]);
            quorvel_comment* c = b.top_level(b.comment("prolog"));
            add_leaf(d, reinterpret_cast<quorvel_node*>(c), "prolog");
            quorvel_element* root = quorvel_element_create(docs_[d], "root");
            b.root(root);
            add_element(d, &root->head, "root", "");
            top_[d] = {reinterpret_cast<quorvel_node*>(c), &root->head};
            root_[d] = &root->head;
            alive_[d] = true;
            // Two elements per document take many attributes: one past the
            // attribute index threshold, one past the 8-bit count.
            wide_[d] = {&root->head, make_element(d, "wide")};
        }
    }

    ~world() {
        for (int d = 0; d < kDocs; d++)
            if (alive_[d]) quorvel_document_free(docs_[d]);
    }

    void run(size_t operations, size_t batch) {
        for (size_t i = 0; i < operations; i++) {
            step();
            if ((i + 1) % batch == 0) {
                check();
                if (::testing::Test::HasFailure()) return;
            }
        }
        check();
    }

    void free_in_random_order() {
        std::vector<int> order{0, 1, 2};
        std::shuffle(order.begin(), order.end(), rng_);
        for (int d : order) {
            quorvel_document_free(docs_[d]);
            alive_[d] = false;
            for (auto it = nodes_.begin(); it != nodes_.end();)
                it = it->second.doc == d ? nodes_.erase(it) : std::next(it);
            check();
        }
    }

    size_t statuses(int status) const { return status_counts_.count(status) ? status_counts_.at(status) : 0; }
    size_t node_count() const { return nodes_.size(); }

private:
    // ---- Model bookkeeping ------------------------------------------------------------

    void add_element(int d, quorvel_node* n, const std::string& local, const std::string& prefix) {
        model_node m;
        m.doc = d;
        m.local = local;
        m.prefix = prefix;
        nodes_[n] = m;
        elements_[d].push_back(n);
    }
    void add_leaf(int d, quorvel_node* n, const std::string& text) {
        model_node m;
        m.doc = d;
        m.text = text;
        nodes_[n] = m;
        leaves_[d].push_back(n);
    }

    quorvel_node* make_element(int d, const char* qname) {
        quorvel_element* e = quorvel_element_create(docs_[d], qname);
        EXPECT_NE(e, nullptr);
        std::string name = qname;
        size_t colon = name.find(':');
        bool split = name.size() > 2 && colon != std::string::npos && colon + 1 < name.size();
        add_element(d, &e->head, split ? name.substr(colon + 1) : name, split ? name.substr(0, colon) : "");
        return &e->head;
    }

    // Leaves as the leaf creators make them in a document: owner recorded.
    quorvel_node* make_leaf(int d) {
        tree_builder b(docs_[d]);
        std::string content = "t" + std::to_string(serial_++);
        quorvel_node* n;
        if (pick(3) == 0) {
            n = reinterpret_cast<quorvel_node*>(b.comment(content.c_str()));
        } else {
            quorvel_text* t = b.text(content.c_str());
            EXPECT_TRUE(quorvel_link_set(t, &t->owner, docs_[d], docs_[d]));
            n = reinterpret_cast<quorvel_node*>(t);
        }
        add_leaf(d, n, content);
        return n;
    }

    size_t doc_size(int d) const { return elements_[d].size() + leaves_[d].size(); }

    bool is_ancestor_or_self(quorvel_node* a, quorvel_node* x) const {
        for (quorvel_node* p = x; p; p = nodes_.at(p).parent)
            if (p == a) return true;
        return false;
    }

    // The element among the top-level nodes (the root while the list is empty).
    quorvel_node* top_element(int d) const {
        if (top_[d].empty()) return root_[d];
        for (quorvel_node* n : top_[d])
            if (is_element(n)) return n;
        return nullptr;
    }

    bool in_top(quorvel_node* n) const {
        const model_node& m = nodes_.at(n);
        return !m.parent && std::find(top_[m.doc].begin(), top_[m.doc].end(), n) != top_[m.doc].end();
    }

    size_t subtree_size(quorvel_node* n) const {
        size_t count = 0;
        std::vector<quorvel_node*> stack{n};
        while (!stack.empty()) {
            quorvel_node* x = stack.back();
            stack.pop_back();
            count++;
            for (quorvel_node* c : nodes_.at(x).children) stack.push_back(c);
        }
        return count;
    }

    // Takes n out of its place in the model. keep_root: n stays at top level.
    void model_detach(quorvel_node* n, bool keep_root) {
        model_node& m = nodes_[n];
        if (m.parent) {
            auto& siblings = nodes_[m.parent].children;
            siblings.erase(std::find(siblings.begin(), siblings.end(), n));
            m.parent = nullptr;
            return;
        }
        auto& top = top_[m.doc];
        auto it = std::find(top.begin(), top.end(), n);
        if (it != top.end()) {
            top.erase(it);
            if (root_[m.doc] == n && !keep_root) root_[m.doc] = nullptr;
        }
    }

    // Registers the nodes of copy (made from source) in the model, checking
    // that the copy shows what the model says of the source.
    void model_adopt_copy(quorvel_node* copy, quorvel_node* source, int d) {
        struct pending {
            quorvel_node* copy;
            quorvel_node* source;
            quorvel_node* parent;  // of the copy; the caller sets the top's
        };
        std::vector<pending> stack{{copy, source, nullptr}};
        while (!stack.empty()) {
            pending p = stack.back();
            stack.pop_back();
            ASSERT_EQ(nodes_.count(p.copy), 0u) << "a copy reuses a live node";
            const model_node& sm = nodes_.at(p.source);
            ASSERT_EQ(p.copy->kind, p.source->kind);
            model_node m;
            m.doc = d;
            m.parent = p.parent;
            m.local = sm.local;
            m.prefix = sm.prefix;
            m.attrs = sm.attrs;
            m.text = sm.text;
            if (is_element(p.copy)) {
                quorvel_node* cc = quorvel_elem_first_child_raw(E(p.copy));
                for (quorvel_node* sc : sm.children) {
                    ASSERT_NE(cc, nullptr) << "the copy lost a child";
                    m.children.push_back(cc);
                    stack.push_back({cc, sc, p.copy});
                    cc = quorvel_node_next_raw(cc);
                }
                ASSERT_EQ(cc, nullptr) << "the copy grew a child";
            }
            bool element = is_element(p.copy);
            nodes_[p.copy] = m;
            (element ? elements_[d] : leaves_[d]).push_back(p.copy);
        }
    }

    // ---- Random choices ------------------------------------------------------------------

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int live_doc() {
        for (;;) {
            int d = static_cast<int>(pick(kDocs));
            if (alive_[d]) return d;
        }
    }
    quorvel_node* any_element(int d) { return elements_[d][pick(elements_[d].size())]; }
    quorvel_node* any_node(int d) {
        size_t total = elements_[d].size() + leaves_[d].size();
        size_t i = pick(total);
        return i < elements_[d].size() ? elements_[d][i] : leaves_[d][i - elements_[d].size()];
    }
    // The node to move: mostly of d, sometimes a small subtree of another document.
    quorvel_node* mover(int d) {
        if (chance(0.05)) {
            int other = live_doc();
            quorvel_node* n = any_node(other);
            if (other != d && subtree_size(n) <= 12 && doc_size(d) < kNodeCap) return n;
        }
        return any_node(d);
    }

    void expect_status(const char* what, int expected, int got) {
        status_counts_[got]++;
        ASSERT_EQ(got, expected) << what;
    }

    // ---- Operations ------------------------------------------------------------------------

    void step() {
        int d = live_doc();
        size_t r = pick(1000);
        if (r < 30) return op_create(d);
        if (r < 210) return op_append(d);
        if (r < 290) return op_prepend(d);
        if (r < 390) return op_insert(d, false);
        if (r < 490) return op_insert(d, true);
        if (r < 550) return op_unlink(d);
        if (r < 590) return op_remove_child(d);
        if (r < 600) return op_remove_top(d);
        if (r < 603) return op_remove_all(d);
        if (r < 620) return op_set_text(d);
        if (r < 770) return op_set_attribute(d, false);
        if (r < 820) return op_set_attribute(d, true);
        if (r < 870) return op_remove_attribute(d);
        if (r < 900) return op_rename(d);
        if (r < 920) return op_set_namespace(d);
        if (r < 935) return op_declare(d);
        if (r < 960) return op_copy_link(d);
        return op_refused(d);
    }

    void op_create(int d) {
        if (doc_size(d) >= kNodeCap) return;
        if (chance(0.6)) {
            static const char* names[] = {"a", "b", "p:c", "q:d", "e"};
            make_element(d, names[pick(5)]);
        } else {
            make_leaf(d);
        }
    }

    // The document a node links into from parent element p (its own).
    void link_moved(quorvel_node* moved, quorvel_node* linked, int target_doc, bool keep_root) {
        if (linked == moved) {
            model_detach(moved, keep_root);
        } else {
            model_adopt_copy(linked, moved, target_doc);
        }
    }

    void op_append(int d) {
        quorvel_node* p = any_node(d);
        quorvel_node* k = mover(d);
        int expected = 0;
        if (!is_element(p) || k == p || is_ancestor_or_self(k, p)) expected = -5;
        quorvel_node* installed = nullptr;
        int got = quorvel_element_add_child_addr_installed(E(p), k, &installed);
        expect_status("append", expected, got);
        if (got != 0) return;
        link_moved(k, installed, d, false);
        nodes_[installed].parent = p;
        nodes_[p].children.push_back(installed);
    }

    void op_prepend(int d) {
        quorvel_node* p = any_node(d);
        quorvel_node* k = mover(d);
        int expected = (!is_element(p) || is_ancestor_or_self(k, p)) ? -5 : 0;
        int got = quorvel_element_prepend_child(E(p), k);
        expect_status("prepend", expected, got);
        if (got != 0) return;
        quorvel_node* linked = quorvel_elem_first_child_raw(E(p));
        link_moved(k, linked, d, false);
        nodes_[linked].parent = p;
        auto& children = nodes_[p].children;
        children.insert(children.begin(), linked);
    }

    void op_insert(int d, bool after) {
        quorvel_node* r = any_node(d);
        quorvel_node* n = mover(d);
        const model_node& rm = nodes_.at(r);
        int expected = 0;
        if (n == r)
            expected = -5;
        else if (rm.parent && is_ancestor_or_self(n, rm.parent))
            expected = -5;
        else if (!rm.parent && !in_top(r))
            expected = -5;  // detached: no siblings to go among
        else if (!rm.parent && is_element(n) && top_element(d) != n)
            expected = -5;  // a document has one top-level element
        bool n_top = nodes_.at(n).doc == d && in_top(n);
        int got = after ? quorvel_element_insert_after(r, n) : quorvel_element_insert_before(r, n);
        expect_status(after ? "insert after" : "insert before", expected, got);
        if (got != 0) return;
        quorvel_node* parent = nodes_.at(r).parent;
        quorvel_node* linked;
        if (after) {
            linked = quorvel_node_next_raw(r);
        } else if (parent) {
            linked = nullptr;
            for (quorvel_node* c = quorvel_elem_first_child_raw(E(parent)); c; c = quorvel_node_next_raw(c))
                if (quorvel_node_next_raw(c) == r) linked = c;
        } else {
            linked = nullptr;
            for (quorvel_node* c = docs_[d]->first_top; c; c = quorvel_node_next_raw(c))
                if (quorvel_node_next_raw(c) == r) linked = c;
        }
        ASSERT_NE(linked, nullptr);
        link_moved(n, linked, d, !parent && n_top);
        auto& list = parent ? nodes_[parent].children : top_[d];
        auto at = std::find(list.begin(), list.end(), r);
        ASSERT_NE(at, list.end());
        list.insert(after ? at + 1 : at, linked);
        nodes_[linked].parent = parent;
    }

    void op_unlink(int d) {
        quorvel_node* k = any_node(d);
        int expected = nodes_.at(k).parent ? 0 : -6;
        int got = quorvel_node_unlink(k);
        expect_status("unlink", expected, got);
        if (got == 0) model_detach(k, false);
    }

    void op_remove_child(int d) {
        quorvel_node* p = any_node(d);
        quorvel_node* k = chance(0.5) && !nodes_.at(p).children.empty()
                              ? nodes_.at(p).children[pick(nodes_.at(p).children.size())]
                              : any_node(d);
        int expected = is_element(p) && nodes_.at(k).parent == p ? 0 : -5;
        int got = quorvel_element_remove_child(p, k);
        expect_status("remove child", expected, got);
        if (got == 0) model_detach(k, false);
    }

    void op_remove_top(int d) {
        quorvel_node* k = !top_[d].empty() && chance(0.7) ? top_[d][pick(top_[d].size())] : any_node(d);
        int expected = in_top(k) && nodes_.at(k).doc == d ? 0 : -5;
        int got = quorvel_element_remove_child(quorvel_document_node(docs_[d]), k);
        expect_status("remove top-level", expected, got);
        if (got == 0) model_detach(k, false);
    }

    void op_remove_all(int d) {
        if (chance(0.05)) {
            expect_status("remove all top-level", 0, quorvel_element_remove_children(quorvel_document_node(docs_[d])));
            for (quorvel_node* n : top_[d]) nodes_[n].parent = nullptr;
            top_[d].clear();
            root_[d] = nullptr;
            return;
        }
        quorvel_node* p = any_element(d);
        expect_status("remove all", 0, quorvel_element_remove_children(p));
        for (quorvel_node* c : nodes_[p].children) nodes_[c].parent = nullptr;
        nodes_[p].children.clear();
    }

    void op_set_text(int d) {
        if (doc_size(d) >= kNodeCap) return;
        quorvel_node* e = any_element(d);
        std::string text = chance(0.1) ? "" : "text" + std::to_string(serial_++);
        expect_status("set text", 0, quorvel_element_set_text(E(e), text.c_str()));
        for (quorvel_node* c : nodes_[e].children) nodes_[c].parent = nullptr;
        quorvel_node* t = quorvel_elem_first_child_raw(E(e));
        ASSERT_NE(t, nullptr);
        add_leaf(d, t, text);
        nodes_[t].parent = e;
        nodes_[e].children = {t};
    }

    std::string random_value() {
        if (chance(0.1)) return "a value long enough to be copied " + std::to_string(serial_++);
        return std::to_string(pick(100000));
    }

    void op_set_attribute(int d, bool wide) {
        quorvel_node* e = wide ? wide_[d][pick(2)] : any_element(d);
        std::string name;
        if (wide) {
            name = "n" + std::to_string(pick(e == wide_[d][0] ? 40 : 300));
        } else {
            static const char* names[] = {"id", "class", "p:x", "q:y", "z"};
            name = names[pick(5)];
        }
        std::string value = random_value();
        expect_status("set attribute", 0, quorvel_element_set_attribute(E(e), name.c_str(), value.c_str()));
        auto& attrs = nodes_[e].attrs;
        auto it = std::find_if(attrs.begin(), attrs.end(), [&](auto& a) { return a.first == name; });
        if (it != attrs.end())
            it->second = value;
        else
            attrs.emplace_back(name, value);
    }

    void op_remove_attribute(int d) {
        quorvel_node* e = chance(0.5) ? wide_[d][pick(2)] : any_element(d);
        auto& attrs = nodes_[e].attrs;
        std::string name = !attrs.empty() && chance(0.8) ? attrs[pick(attrs.size())].first : "missing";
        auto it = std::find_if(attrs.begin(), attrs.end(), [&](auto& a) { return a.first == name; });
        int expected = it != attrs.end() ? 0 : -6;
        expect_status("remove attribute", expected, quorvel_element_remove_attribute(E(e), name.c_str()));
        if (it != attrs.end()) attrs.erase(it);
    }

    void op_rename(int d) {
        quorvel_node* e = any_element(d);
        static const char* names[] = {"x", "y", "p:x", "q:y", "p:", ":a", "q:w:v"};
        std::string name = names[pick(7)];
        // An empty prefix or local part is refused and changes nothing.
        bool refused = name.front() == ':' || name.back() == ':';
        expect_status("rename", refused ? -5 : 0, quorvel_element_set_name(E(e), name.c_str()));
        if (refused) return;
        size_t colon = name.find(':');
        model_node& m = nodes_[e];
        if (colon != std::string::npos && colon != 0) {
            m.prefix = name.substr(0, colon);
            m.local = name.substr(colon + 1);
        } else {
            m.prefix = "";
            m.local = name;
        }
    }

    void op_set_namespace(int d) {
        quorvel_node* e = any_element(d);
        static const char* uris[] = {"urn:p", "urn:q", "urn:undeclared", nullptr};
        const char* uri = uris[pick(4)];
        int got = quorvel_element_set_namespace(E(e), uri);
        status_counts_[got]++;
        ASSERT_TRUE(got == 0 || (got == -6 && uri)) << got;
        if (got != 0) return;
        const char* prefix = quorvel_element_prefix(E(e));
        if (!uri) {
            ASSERT_EQ(prefix, nullptr);
        } else {
            ASSERT_NE(prefix, nullptr);
            ASSERT_STREQ(quorvel_element_lookup_namespace(E(e), prefix), uri);
        }
        nodes_[e].prefix = prefix ? prefix : "";
    }

    void op_declare(int d) {
        quorvel_node* e = any_element(d);
        static const char* prefixes[] = {"p", "q", nullptr};
        static const char* uris[] = {"urn:p", "urn:q", "urn:other", ""};
        const char* prefix = prefixes[pick(3)];
        if (chance(0.3)) {
            quorvel_element_remove_namespace_definition(E(e), prefix);
        } else {
            expect_status("declare", 0, quorvel_element_add_namespace_definition(E(e), prefix, uris[pick(4)]));
        }
    }

    void op_copy_link(int d) {
        if (doc_size(d) >= kNodeCap) return;
        int sd = live_doc();
        quorvel_node* s = any_element(sd);
        if (subtree_size(s) > 12) return;
        quorvel_node* target = any_node(d);
        quorvel_element* copy = nullptr;
        switch (pick(4)) {
            case 0: {
                copy = quorvel_element_append_copy(E(target), E(s));
                ASSERT_EQ(copy != nullptr, is_element(target));
                if (!copy) return;
                model_adopt_copy(&copy->head, s, d);
                nodes_[&copy->head].parent = target;
                nodes_[target].children.push_back(&copy->head);
                return;
            }
            case 1: {
                copy = quorvel_element_prepend_copy(E(target), E(s));
                ASSERT_EQ(copy != nullptr, is_element(target));
                if (!copy) return;
                model_adopt_copy(&copy->head, s, d);
                nodes_[&copy->head].parent = target;
                auto& c = nodes_[target].children;
                c.insert(c.begin(), &copy->head);
                return;
            }
            default: {
                bool after = pick(2) == 0;
                copy = after ? quorvel_element_insert_copy_after(target, E(s))
                             : quorvel_element_insert_copy_before(target, E(s));
                quorvel_node* parent = nodes_.at(target).parent;
                ASSERT_EQ(copy != nullptr, parent != nullptr);
                if (!copy) return;
                model_adopt_copy(&copy->head, s, d);
                nodes_[&copy->head].parent = parent;
                auto& c = nodes_[parent].children;
                auto at = std::find(c.begin(), c.end(), target);
                c.insert(after ? at + 1 : at, &copy->head);
                return;
            }
        }
    }

    // Requests the model knows must be refused; they must change nothing.
    void op_refused(int d) {
        quorvel_node* leaf = leaves_[d][pick(leaves_[d].size())];
        quorvel_node* e = any_element(d);
        switch (pick(5)) {
            case 0: expect_status("append below a leaf", -5, quorvel_element_append_child(E(leaf), e)); break;
            case 1: expect_status("attribute on a leaf", -5, quorvel_element_set_attribute(E(leaf), "a", "b")); break;
            case 2: expect_status("rename a leaf", -5, quorvel_element_set_name(E(leaf), "a")); break;
            case 3: expect_status("set text of a leaf", -5, quorvel_element_set_text(E(leaf), "a")); break;
            default:
                expect_status("undeclared namespace", -6, quorvel_element_set_namespace(E(e), "urn:never-declared"));
                break;
        }
    }

    // ---- The checker ---------------------------------------------------------------------

    void check() {
        for (int d = 0; d < kDocs; d++) {
            if (!alive_[d]) continue;
            quorvel_document* doc = docs_[d];
            std::vector<quorvel_node*> actual;
            for (quorvel_node* n = doc->first_top; n && actual.size() <= top_[d].size(); n = quorvel_node_next_raw(n))
                actual.push_back(n);
            ASSERT_EQ(actual, top_[d]) << "top-level list of document " << d;
            ASSERT_EQ(doc->last_top, top_[d].empty() ? nullptr : top_[d].back());
            ASSERT_EQ(reinterpret_cast<quorvel_node*>(doc->root), root_[d]);
        }
        for (auto& [n, m] : nodes_) {
            ASSERT_EQ(quorvel_node_parent_raw(n), m.parent);
            if (!m.parent && !in_top(n)) {
                ASSERT_EQ(quorvel_node_next_raw(n), nullptr) << "detached node with a sibling";
            }
            if (!is_element(n)) {
                const char* content = n->kind == QUORVEL_NODE_TEXT
                                          ? quorvel_text_link_get(n, &reinterpret_cast<quorvel_text*>(n)->content)
                                          : reinterpret_cast<quorvel_comment*>(n)->content;
                ASSERT_EQ(std::string(content ? content : ""), m.text);
                continue;
            }
            quorvel_element* e = E(n);
            size_t elements = 0;
            quorvel_node* c = quorvel_elem_first_child_raw(e);
            for (quorvel_node* expected : m.children) {
                ASSERT_EQ(c, expected) << "child list of " << m.local;
                elements += is_element(c);
                c = quorvel_node_next_raw(c);
            }
            ASSERT_EQ(c, nullptr) << "child list of " << m.local << " runs on";
            ASSERT_EQ(quorvel_element_child_element_count(e), elements);
            ASSERT_EQ(e->child_count, std::min<size_t>(elements, kChildCountCap));
            size_t i = 0;
            for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a), i++) {
                ASSERT_LT(i, m.attrs.size()) << "attribute chain of " << m.local << " runs on";
                ASSERT_EQ(std::string(a->name, a->name_length), m.attrs[i].first);
                ASSERT_EQ(std::string(quorvel_attribute_stored_value(a)), m.attrs[i].second);
            }
            ASSERT_EQ(i, m.attrs.size());
            ASSERT_EQ(quorvel_element_attribute_count(e), m.attrs.size());
            ASSERT_EQ(e->attr_count, std::min<size_t>(m.attrs.size(), kAttrCountCap));
            ASSERT_EQ(std::string(quorvel_element_name(e)), m.local);
            const char* prefix = quorvel_element_prefix(e);
            ASSERT_EQ(std::string(prefix ? prefix : ""), m.prefix);
            ASSERT_EQ(quorvel_element_get_document(e), docs_[m.doc]);
            // The cached namespace URI agrees with a fresh resolution.
            const char* resolved = quorvel_element_lookup_namespace(e, prefix);
            if (resolved && !*resolved) resolved = nullptr;
            const char* cached = quorvel_element_namespace(e);
            ASSERT_EQ(std::string(cached ? cached : "-"), std::string(resolved ? resolved : "-")) << m.local;
        }
    }

    std::mt19937_64 rng_;
    quorvel_document* docs_[kDocs];
    bool alive_[kDocs];
    std::unordered_map<quorvel_node*, model_node> nodes_;
    std::vector<quorvel_node*> elements_[kDocs], leaves_[kDocs];
    std::vector<quorvel_node*> top_[kDocs];
    quorvel_node* root_[kDocs];
    std::vector<quorvel_node*> wide_[kDocs];
    std::unordered_map<int, size_t> status_counts_;
    size_t serial_ = 0;
};

TEST(TreeInvariants, MillionRandomChangesAcrossThreeDocuments) {
    world w(0x5eed1234u);
    w.run(1000000, 20000);
    ASSERT_FALSE(::testing::Test::HasFailure());
    // The run exercised successes and every kind of refusal.
    EXPECT_GT(w.statuses(0), 500000u);
    EXPECT_GT(w.statuses(-5), 1000u);
    EXPECT_GT(w.statuses(-6), 1000u);
    w.free_in_random_order();
}

}  // namespace
