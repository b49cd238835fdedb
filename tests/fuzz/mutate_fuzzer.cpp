// Fuzz target for tree changes through the public interface: the input is
// a program of operations over three document slots (create, parse, copy,
// free, adopt and absorb documents; create, insert, move, copy and remove
// nodes; set and remove attributes, names, text and namespace
// declarations). After every step each live document must still be a
// tree: no node reached twice, at most one element at top level and it is
// the root, parent and sibling links agreeing both ways, and child and
// attribute counts equal to what a walk finds.
//
// Input: a sequence of operations, each an opcode byte followed by the
// operand bytes that operation reads.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fuzz_input.h"

// Not exported: the library's own answer to which document a node counts
// as part of (for a top-level or detached leaf, the document whose list it
// was last placed in), which decides what a free takes with it.
quorvel_document* node_public_document(const quorvel_node* node);

namespace {

constexpr size_t kSlots = 3;
constexpr size_t kMaxHandles = 256;
constexpr size_t kMaxSteps = 400;

const char* const kNames[] = {"a", "b", "p:c", "q:d", "xml:e", "f:", ":g", "xmlns", "xmlns:p", "h"};
const char* const kValues[] = {"", "v", "urn:p", "&amp;<>\"'", "--", "?>", "]]>", "\t\n"};
const char* const kTexts[] = {
    "<r/>",
    "<r xmlns:p='urn:p' p:a='1' b='2'><c p:d='3'>t</c><p:e/><!--k--><?pi x?></r>",
    "<!DOCTYPE r [<!ATTLIST r d CDATA 'x'>]><r><s a='1'><t/></s>text<u/></r>",
    "<!--top--><?top d?><r xmlns='urn:d'><c xmlns=''/><![CDATA[c]]></r><!--end-->",
    "<r a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9' j='10'/>",
};

struct slot {
    quorvel_document* doc = nullptr;
    std::vector<quorvel_node*> nodes;
    int adopted_by = -1;  // slot whose document frees this one
};

// The program's view: the documents and the nodes it may still touch. No
// reader names a node's document, so the slot of every kept node is
// remembered, and a node is forgotten with its document or with the
// document whose tree it was moved into.
struct state {
    slot slots[kSlots];
    std::unordered_map<quorvel_node*, size_t> owner;
    fuzz::input* in;
    bool trace = false;  // QUORVEL_FUZZ_TRACE set: each operation is written to stderr

    size_t pick_index() { return in->pick(kSlots); }
    slot& pick_slot() { return slots[pick_index()]; }
    // A known node of any live document, or NULL (also a valid argument).
    quorvel_node* pick_node() {
        slot& s = pick_slot();
        if (s.nodes.empty() || in->pick(8) == 0) return nullptr;
        return s.nodes[in->pick(s.nodes.size()) % s.nodes.size()];
    }
    quorvel_element* pick_element() {
        quorvel_node* n = pick_node();
        return n && quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT ? quorvel_node_as_element(n) : nullptr;
    }
    const char* pick_name() { return kNames[in->pick(std::size(kNames))]; }
    const char* pick_value() { return kValues[in->pick(std::size(kValues))]; }

    void keep(size_t index, quorvel_node* n) {
        slot& s = slots[index];
        if (!n || !s.doc || s.nodes.size() >= kMaxHandles || owner.count(n)) return;
        s.nodes.push_back(n);
        owner[n] = index;
    }
    void keep(size_t index, quorvel_element* e) { keep(index, quorvel_element_as_node(e)); }
    // The slot whose document's tree holds n: a node moved into the tree of
    // the document that absorbed its own belongs to that tree now. -1 when
    // n is in no live document's tree (detached).
    int tree_slot(quorvel_node* n) {
        quorvel_node* top = n;
        while (quorvel_element* up = quorvel_node_parent(top)) top = quorvel_element_as_node(up);
        for (size_t i = 0; i < kSlots; i++) {
            if (!slots[i].doc) continue;
            size_t budget = 1 << 14;
            for (quorvel_node* t = quorvel_document_first_child(slots[i].doc); t && budget--; t = quorvel_node_next_sibling(t))
                if (t == top) return static_cast<int>(i);
        }
        return -1;
    }
    // A node made next to near: in the document whose tree holds near, else
    // in near's own.
    void keep_with(quorvel_node* near, quorvel_node* n) {
        if (!near) return;
        int index = tree_slot(near);
        if (index >= 0) {
            keep(static_cast<size_t>(index), n);
            return;
        }
        auto it = owner.find(near);
        if (it != owner.end()) keep(it->second, n);
    }
    void keep_with(quorvel_node* near, quorvel_element* e) { keep_with(near, quorvel_element_as_node(e)); }
    // Remembers every node of a freshly parsed or copied document.
    void keep_all(size_t index) {
        std::vector<quorvel_node*> stack;
        for (quorvel_node* n = quorvel_document_first_child(slots[index].doc); n; n = quorvel_node_next_sibling(n))
            stack.push_back(n);
        while (!stack.empty() && slots[index].nodes.size() < kMaxHandles) {
            quorvel_node* n = stack.back();
            stack.pop_back();
            keep(index, n);
            for (quorvel_node* c = quorvel_node_first_child(n); c && stack.size() < kMaxHandles;
                 c = quorvel_node_next_sibling(c))
                stack.push_back(c);
        }
    }
    // Forgets a slot whose document is gone, and the documents it adopted.
    void forget(size_t index) {
        for (quorvel_node* n : slots[index].nodes) owner.erase(n);
        slots[index] = slot{};
        for (size_t i = 0; i < kSlots; i++)
            if (slots[i].doc && slots[i].adopted_by == static_cast<int>(index)) forget(i);
    }
    // Every node in the trees of index's document and of the documents it
    // adopted: they go with it, whichever slot kept them (nodes of an
    // absorbed document that were moved into its owner's tree among them).
    void collect_trees(size_t index, std::unordered_set<quorvel_node*>& gone) {
        std::vector<quorvel_node*> stack;
        for (quorvel_node* n = quorvel_document_first_child(slots[index].doc); n; n = quorvel_node_next_sibling(n)) {
            if (!gone.insert(n).second) break;
            stack.push_back(n);
        }
        while (!stack.empty()) {
            quorvel_node* n = stack.back();
            stack.pop_back();
            for (quorvel_node* c = quorvel_node_first_child(n); c; c = quorvel_node_next_sibling(c))
                if (gone.insert(c).second) stack.push_back(c);
        }
        for (size_t i = 0; i < kSlots; i++)
            if (slots[i].doc && slots[i].adopted_by == static_cast<int>(index)) collect_trees(i, gone);
    }
    // The documents freed with index's: its own and those it adopted.
    void collect_documents(size_t index, std::unordered_set<quorvel_document*>& going) {
        going.insert(slots[index].doc);
        for (size_t i = 0; i < kSlots; i++)
            if (slots[i].doc && slots[i].adopted_by == static_cast<int>(index)) collect_documents(i, going);
    }
    // The document a kept node counts as part of, by the top of its tree,
    // as the library answers it: an absorbed document's node counts as its
    // owner's once it was placed in the owner's tree, detached or not.
    quorvel_document* document_of(quorvel_node* n) {
        quorvel_node* top = n;
        while (quorvel_element* up = quorvel_node_parent(top)) top = quorvel_element_as_node(up);
        return node_public_document(top);
    }
    void release(size_t index) {
        if (!slots[index].doc || slots[index].adopted_by >= 0) return;
        std::unordered_set<quorvel_node*> gone;
        collect_trees(index, gone);
        // Detached subtrees go too: a node whose tree counts as a freed
        // document's is the caller's no longer, wherever its record lives.
        std::unordered_set<quorvel_document*> going;
        collect_documents(index, going);
        for (slot& s : slots)
            for (quorvel_node* n : s.nodes)
                if (!gone.count(n)) {
                    quorvel_document* doc = document_of(n);
                    if (!doc || going.count(doc)) gone.insert(n);
                }
        quorvel_document_free(slots[index].doc);
        forget(index);
        for (slot& s : slots) {
            std::erase_if(s.nodes, [&](quorvel_node* n) { return gone.count(n) != 0; });
        }
        for (quorvel_node* n : gone) owner.erase(n);
    }
    void install(size_t index, quorvel_document* doc) {
        if (!doc) return;
        release(index);
        if (slots[index].doc) {  // adopted: its owner frees it
            quorvel_document_free(doc);
            return;
        }
        slots[index].doc = doc;
        keep_all(index);
    }
};

// The tree checks. Walks with explicit stacks and a set of seen nodes, so a
// cycle is reported instead of followed.
void check_children(quorvel_node* parent, std::unordered_set<const void*>& seen, size_t& budget) {
    std::vector<quorvel_node*> stack{parent};
    while (!stack.empty()) {
        quorvel_node* p = stack.back();
        stack.pop_back();
        quorvel_element* pe = quorvel_node_as_element(p);
        size_t elements = 0, all = 0;
        quorvel_node* prev = nullptr;
        for (quorvel_node* c = quorvel_node_first_child(p); c; c = quorvel_node_next_sibling(c)) {
            if (!seen.insert(c).second) fuzz::fail("node reached twice: the tree has a cycle or a shared node");
            if (budget == 0) return;  // too big to check: the caller stops the program
            budget--;
            if (quorvel_node_parent(c) != pe) fuzz::fail("child's parent link points elsewhere");
            // The previous-sibling reader walks from the first child: check
            // it near the front only, so wide trees stay cheap.
            if (all < 64 && quorvel_node_previous_sibling(c) != prev) fuzz::fail("previous-sibling link disagrees");
            all++;
            if (quorvel_node_get_type(c) == QUORVEL_NODE_ELEMENT) {
                elements++;
                quorvel_element* ce = quorvel_node_as_element(c);
                if (quorvel_element_parent(ce) != pe) fuzz::fail("element parent disagrees with node parent");
                stack.push_back(c);
            }
            prev = c;
        }
        if (quorvel_node_last_child(p) != prev) fuzz::fail("last child is not the last one walked");
        if (quorvel_element_child_count(pe) != elements)
            fuzz::fail("child count %zu, walk finds %zu", quorvel_element_child_count(pe), elements);
        if (quorvel_node_child_count(p) != elements) fuzz::fail("node child count disagrees");
        if (quorvel_node_children(p, nullptr, 0) != all) fuzz::fail("children count disagrees");
        size_t attrs = quorvel_element_attribute_count(pe), walked = 0;
        for (quorvel_attribute* a = quorvel_element_first_attribute(pe); a; a = quorvel_attribute_next(a)) {
            if (walked > attrs) fuzz::fail("more attributes than the count %zu", attrs);
            if (quorvel_element_get_attribute_by_index(pe, walked) != a) fuzz::fail("attribute %zu by index differs", walked);
            quorvel_attribute_get_name(a);
            quorvel_attribute_get_value(pe, a);
            quorvel_attribute_namespace_uri(a);
            walked++;
        }
        if (walked != attrs) fuzz::fail("walked %zu attributes, count says %zu", walked, attrs);
    }
}

// False when the document grew too large to check (copies of copies grow
// fast); the program stops there.
bool check_document(quorvel_document* doc) {
    std::unordered_set<const void*> seen;
    size_t budget = 1 << 14;
    quorvel_element* top_element = nullptr;
    size_t top = 0;
    for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_sibling(n)) {
        if (!seen.insert(n).second) fuzz::fail("top-level list has a cycle or a node twice");
        if (budget == 0) return false;
        budget--;
        if (quorvel_node_parent(n)) fuzz::fail("top-level node has a parent");
        top++;
        if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT) {
            if (top_element) fuzz::fail("two elements at top level");
            top_element = quorvel_node_as_element(n);
        }
    }
    if (quorvel_document_root(doc) != top_element) fuzz::fail("root is not the top-level element");
    if (quorvel_node_children(quorvel_document_node(doc), nullptr, 0) != top) fuzz::fail("top-level count disagrees");
    if (top_element) check_children(quorvel_element_as_node(top_element), seen, budget);
    return budget > 0;
}

void step(state& st) {
    fuzz::input& in = *st.in;
    int op = in.byte() % 40;
    if (st.trace) std::fprintf(stderr, "op %d\n", op);
    switch (op) {
        case 0: st.install(st.pick_index(), quorvel_document_create()); break;
        case 1: {
            size_t index = st.pick_index();
            const char* text = kTexts[in.pick(std::size(kTexts))];
            int status = 0;
            st.install(index, quorvel_parse_string_flags(text, std::strlen(text), in.byte() & 0x23, &status));
            break;
        }
        case 2: st.release(st.pick_index()); break;
        case 3: {
            size_t index = st.pick_index();
            if (quorvel_document* source = st.pick_slot().doc) st.install(index, quorvel_document_copy(source));
            break;
        }
        case 4: {
            size_t owner = st.pick_index(), child = st.pick_index();
            slot &o = st.slots[owner], &c = st.slots[child];
            if (o.doc && c.doc && quorvel_document_adopt_child(o.doc, c.doc) == 0) c.adopted_by = static_cast<int>(owner);
            break;
        }
        case 5: {
            slot &o = st.pick_slot(), &c = st.pick_slot();
            if (o.doc && c.doc) quorvel_document_absorb(o.doc, c.doc);
            break;
        }
        case 6: {
            size_t index = st.pick_index();
            const char* name = st.pick_name();
            if (quorvel_document* doc = st.slots[index].doc) st.keep(index, quorvel_element_create(doc, name));
            break;
        }
        case 7: {
            quorvel_element* p = st.pick_element();
            const char* name = st.pick_name();
            st.keep_with(quorvel_element_as_node(p), quorvel_element_create_child(p, name));
            break;
        }
        case 8:
        case 9:
        case 10:
        case 11: {
            // Operands are read in a fixed order (argument order is not).
            quorvel_node* target = st.pick_node();
            quorvel_node* n = st.pick_node();
            quorvel_element* p = quorvel_node_get_type(target) == QUORVEL_NODE_ELEMENT ? quorvel_node_as_element(target)
                                                                                        : nullptr;
            if (op == 8) quorvel_element_append_child(p, n);
            if (op == 9) quorvel_element_prepend_child(p, n);
            if (op == 10) quorvel_element_insert_before(target, n);
            if (op == 11) quorvel_element_insert_after(target, n);
            break;
        }
        case 12: {
            quorvel_node* installed = nullptr;
            quorvel_element* p = st.pick_element();
            quorvel_node* n = st.pick_node();
            if (quorvel_element_add_child_addr_installed(p, n, &installed) == 0)
                st.keep_with(quorvel_element_as_node(p), installed);
            break;
        }
        case 13: quorvel_node_unlink(st.pick_node()); break;
        case 14: {
            slot& s = st.pick_slot();
            quorvel_node* parent = in.flag() && s.doc ? quorvel_document_node(s.doc) : st.pick_node();
            quorvel_node* child = st.pick_node();
            quorvel_element_remove_child(parent, child);
            break;
        }
        case 15: {
            slot& s = st.pick_slot();
            quorvel_node* parent = in.flag() && s.doc ? quorvel_document_node(s.doc) : st.pick_node();
            quorvel_element_remove_children(parent);
            break;
        }
        case 16: {
            // A copy is made in the document of its new parent or reference.
            quorvel_element* p = st.pick_element();
            quorvel_node* reference = st.pick_node();
            quorvel_element* source = st.pick_element();
            switch (in.pick(4)) {
                case 0: st.keep_with(quorvel_element_as_node(p), quorvel_element_append_copy(p, source)); break;
                case 1: st.keep_with(quorvel_element_as_node(p), quorvel_element_prepend_copy(p, source)); break;
                case 2: st.keep_with(reference, quorvel_element_insert_copy_after(reference, source)); break;
                case 3: st.keep_with(reference, quorvel_element_insert_copy_before(reference, source)); break;
            }
            break;
        }
        case 17: {
            size_t index = st.pick_index();
            quorvel_element* source = st.pick_element();
            if (quorvel_document* doc = st.slots[index].doc) st.keep(index, quorvel_element_copy(source, doc));
            break;
        }
        case 18: {
            size_t index = st.pick_index();
            quorvel_document* doc = st.slots[index].doc;
            quorvel_element* root = st.pick_element();
            if (!doc) break;
            quorvel_element* installed = nullptr;
            if (in.flag()) {
                if (quorvel_document_set_root_ex(doc, root, &installed) == 0) st.keep(index, installed);
            } else {
                quorvel_document_set_root(doc, root);
            }
            break;
        }
        case 19:
        case 20:
        case 21:
        case 22:
        case 23:
        case 24: {
            quorvel_element* e = st.pick_element();
            const char* name = st.pick_name();
            const char* value = st.pick_value();
            if (op == 19) quorvel_element_set_attribute(e, name, value);
            if (op == 20) quorvel_element_set_attribute_int(e, name, static_cast<int16_t>(in.u16()));
            if (op == 21) quorvel_element_remove_attribute(e, name);
            if (op == 22) quorvel_element_remove_all_attributes(e);
            if (op == 23) quorvel_element_set_name(e, name);
            if (op == 24) quorvel_element_set_text(e, in.flag() ? nullptr : value);
            break;
        }
        case 25: {
            size_t index = st.pick_index();
            quorvel_document* doc = st.slots[index].doc;
            if (!doc) break;
            switch (in.pick(5)) {
                case 0: st.keep(index, quorvel_text_node_create(doc, st.pick_value())); break;
                case 1: st.keep(index, quorvel_comment_node_create(doc, st.pick_value())); break;
                case 2: st.keep(index, quorvel_cdata_node_create(doc, st.pick_value())); break;
                case 3: {
                    const char* target = st.pick_name();
                    st.keep(index, quorvel_pi_node_create(doc, target, st.pick_value()));
                    break;
                }
                case 4: st.keep(index, quorvel_entity_ref_node_create(doc, "amp")); break;
            }
            break;
        }
        case 26: {
            size_t index = st.pick_index();
            quorvel_document* doc = st.slots[index].doc;
            if (!doc) break;
            switch (in.pick(3)) {
                case 0: st.keep(index, quorvel_document_add_comment(doc, st.pick_value())); break;
                case 1: st.keep(index, quorvel_document_append_pi(doc, "t", st.pick_value())); break;
                case 2: st.keep(index, quorvel_document_add_pi(doc, "u", st.pick_value())); break;
            }
            break;
        }
        case 27: {
            slot& s = st.pick_slot();
            quorvel_node* n = st.pick_node();
            if (!s.doc) break;
            if (in.flag()) {
                quorvel_document_remove_child(s.doc, n);
            } else {
                const char* target = in.flag() ? "t" : nullptr;
                quorvel_document_remove_pi(s.doc, target, in.pick(3));
            }
            break;
        }
        case 28: {
            quorvel_element* e = st.pick_element();
            switch (in.pick(4)) {
                case 0: {
                    const char* prefix = in.flag() ? "p" : nullptr;
                    quorvel_element_add_namespace_definition(e, prefix, st.pick_value());
                    break;
                }
                case 1: quorvel_element_set_default_namespace(e, st.pick_value()); break;
                case 2: quorvel_element_remove_namespace_definition(e, in.flag() ? "p" : nullptr); break;
                case 3: quorvel_element_set_namespace(e, st.pick_value()); break;
            }
            break;
        }
        case 29: {
            slot& s = st.pick_slot();
            if (!s.doc) break;
            switch (in.pick(3)) {
                case 0: quorvel_document_set_doctype(s.doc, "r", nullptr, in.flag() ? "s.dtd" : nullptr); break;
                case 1: quorvel_document_remove_doctype(s.doc); break;
                case 2: quorvel_document_set_version(s.doc, "1.0"); break;
            }
            break;
        }
        case 30: {
            // Writers over whatever the tree is now.
            slot& s = st.pick_slot();
            if (!s.doc) break;
            quorvel_free_string(quorvel_document_serialize(s.doc, nullptr));
            if (in.flag()) {
                int mode = static_cast<int>(in.pick(2));
                quorvel_free_string(quorvel_c14n_canonicalize_ex(s.doc, nullptr, mode, nullptr, 1));
            }
            break;
        }
        case 31: {
            quorvel_element* e = st.pick_element();
            quorvel_free_string(quorvel_element_serialize(e, nullptr));
            quorvel_free_string(quorvel_node_get_xpath(quorvel_element_as_node(e)));
            quorvel_element_text(quorvel_element_as_node(e));
            quorvel_element_namespace(e);
            break;
        }
        case 32: {
            size_t index = st.pick_index();
            quorvel_document* doc = st.slots[index].doc;
            if (!doc) break;
            const char* names[] = {"a", "p:b", "a"};
            const char* values[] = {"1", "2", "3"};
            const char* name = st.pick_name();
            st.keep(index, quorvel_element_new_with_attributes(doc, name, names, values, in.pick(4)));
            break;
        }
        case 33: {
            quorvel_node* n = st.pick_node();
            if (!n) break;
            switch (quorvel_node_get_type(n)) {
                case QUORVEL_NODE_TEXT: quorvel_text_node_set_content(n, st.pick_value()); break;
                case QUORVEL_NODE_COMMENT: quorvel_comment_node_set_content(n, st.pick_value()); break;
                case QUORVEL_NODE_CDATA: quorvel_cdata_node_set_content(n, st.pick_value()); break;
                case QUORVEL_NODE_PI: quorvel_pi_node_set_data(n, st.pick_value()); break;
                default: break;
            }
            break;
        }
        default: {
            // Moves, often between documents (linked as a copy there).
            quorvel_element* p = st.pick_element();
            quorvel_node* n = st.pick_node();
            quorvel_node* installed = nullptr;
            if (quorvel_element_add_child_addr_installed(p, n, &installed) == 0)
                st.keep_with(quorvel_element_as_node(p), installed);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    state st;
    st.in = &in;
    st.trace = std::getenv("QUORVEL_FUZZ_TRACE") != nullptr;
    bool small = true;
    for (size_t steps = 0; small && in.left() && steps < kMaxSteps; steps++) {
        step(st);
        for (slot& s : st.slots)
            if (s.doc && !check_document(s.doc)) small = false;
    }
    for (size_t i = 0; i < kSlots; i++) st.release(i);
    for (slot& s : st.slots)
        if (s.doc) fuzz::fail("an adopted document outlived its owner's slot");
    return 0;
}
