// Fuzz target for XPath evaluation: an expression evaluated over a small
// document holding every node kind, with a variable and a namespace set.
// Every result reads back through the public readers; a node set holds its
// nodes in document order, each once, and evaluating again gives the same
// items; a failure always leaves a message. The bytecode machine and the
// tree-walker give the same answer (or both fail), on the first and later
// evaluations.
//
// Input: one option byte (bits 0-1: the context node, the document node or
// one of the elements; bit 4: a second document with nested names and
// attribute values that are empty or hold references), then the expression
// text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

constexpr const char kDocument[] =
    "<!--c0--><r xmlns:p=\"urn:p\" a=\"1\"><e p:b=\"2\">t1<f/>t2</e><!--c1--><?pi d?><e a=\"3\"><![CDATA[x]]>"
    "<p:g/></e></r><?after?>";

constexpr const char kNestedDocument[] =
    "<r><e id=\"1\" a=\"\"><e id=\"2\" a=\"&amp;\"><f id=\"1\"/></e><f a=\"x\"/></e><e id=\" 2\"/>t<e/></r>";

std::string describe(const quorvel_xpath_result* r) {
    std::string out = std::to_string(quorvel_xpath_result_type(r)) + ":";
    char* s = quorvel_xpath_result_string(r);
    if (!s) fuzz::fail("no string value");
    out += s;
    std::free(s);
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        out += '|';
        out += std::to_string(quorvel_xpath_result_node_kind(r, i));
        const char* name = quorvel_xpath_result_node_name(r, i);
        const char* value = quorvel_xpath_result_node_value(r, i);
        out += name ? name : "-";
        out += value ? value : "-";
    }
    return out;
}

// True for the document node and nodes of the tree under the root element.
bool in_source(const quorvel_node* n, quorvel_document* doc) {
    if (n == quorvel_document_get_node(doc)) return true;
    const quorvel_node* top = n;
    while (quorvel_element* p = quorvel_node_parent(top)) top = reinterpret_cast<const quorvel_node*>(p);
    return top == reinterpret_cast<const quorvel_node*>(quorvel_document_root(doc));
}

// A result with the identity of every node of the source document it holds
// (constructed nodes are new on every evaluation: their content is compared).
std::string identities(const quorvel_xpath_result* r, quorvel_document* doc) {
    std::string out = describe(r);
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        quorvel_node* n = quorvel_xpath_result_get_node(r, i);
        if (quorvel_node_get_type(n) < 6 && in_source(n, doc))
            out += "#" + std::to_string(reinterpret_cast<uintptr_t>(n));
    }
    return out;
}

std::string answer(quorvel_xpath_compiled* c, quorvel_document* doc, quorvel_node* node, const quorvel_xpath_ns_set* ns,
                   const quorvel_xpath_variable_set* vars) {
    quorvel_xpath_result* r = quorvel_xpath_compiled_eval_ns_vars(c, doc, node, ns, vars);
    std::string out = r ? identities(r, doc) : std::string("error:") + quorvel_document_last_error(doc);
    quorvel_xpath_result_free(r);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t options = in.byte();
    size_t context = options % 4;
    const std::string text = in.rest();
    if (text.size() > 512) return 0;

    int status = 0;
    quorvel_document* doc = options & 0x10
                                ? quorvel_parse_string(kNestedDocument, sizeof kNestedDocument - 1, &status)
                                : quorvel_parse_string(kDocument, sizeof kDocument - 1, &status);
    if (!doc) return 0;
    quorvel_node* node = nullptr;
    if (context) {
        quorvel_xpath_result* all = quorvel_xpath_eval(doc, nullptr, "//*");
        node = quorvel_xpath_result_get_node(all, context - 1);
        quorvel_xpath_result_free(all);
    }
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_number(vars, "n", 2);
    quorvel_xpath_variable_set_string(vars, "s", "t1");
    quorvel_xpath_ns_set* ns = quorvel_xpath_ns_set_new();
    quorvel_xpath_ns_set_add(ns, "q", "urn:p");

    quorvel_xpath_compiled* c = quorvel_xpath_compile(text.c_str());
    if (c) {
        quorvel_xpath_result* r = quorvel_xpath_compiled_eval_ns_vars(c, doc, node, ns, vars);
        if (!r && !quorvel_document_last_error(doc)[0]) fuzz::fail("failure without a message");
        if (r) {
            const std::string first = describe(r);
            if (quorvel_xpath_result_type(r) == 0 && quorvel_xpath_result_count(r) > 1 &&
                !r->value.nodeset->is_sequence) {
                // A node set (not a sequence, which keeps its items' order
                // and repeats) is in document order with one entry per
                // node: sorting again changes nothing.
                quorvel_xpath_context ctx;
                xpath_context_init(&ctx, doc, node);
                quorvel_xpath_node_set* copy = xpath_nodeset_deep_copy(r->value.nodeset);
                if (copy) {
                    size_t before = copy->count;
                    if (!xpath_nodeset_sort_doc_order(&ctx, copy)) fuzz::fail("sort failed");
                    if (copy->count != before) fuzz::fail("duplicate nodes in a result");
                    for (size_t i = 0; i < before; i++) {
                        const quorvel_node* a = copy->items[i];
                        const quorvel_node* b = r->value.nodeset->items[i];
                        if (quorvel_node_get_type(a) != quorvel_node_get_type(b)) fuzz::fail("result not in document order");
                    }
                    xpath_nodeset_free(copy);
                }
                xpath_context_cleanup(&ctx);
            }
            quorvel_xpath_result* again = quorvel_xpath_compiled_eval_ns_vars(c, doc, node, ns, vars);
            if (!again || describe(again) != first) fuzz::fail("second evaluation differs");
            quorvel_xpath_result_free(again);
        }
        quorvel_xpath_result_free(r);
        // The machine off, then on again twice (the index is read by then).
        xpath_vm_set_enabled(0);
        const std::string walker = answer(c, doc, node, ns, vars);
        xpath_vm_set_enabled(1);
        for (int round = 0; round < 2; round++)
            if (answer(c, doc, node, ns, vars) != walker) fuzz::fail("the machine and the tree-walker differ");
        quorvel_xpath_compiled_free(c);
    }
    quorvel_xpath_ns_set_free(ns);
    quorvel_xpath_variable_set_free(vars);
    quorvel_document_free(doc);
    return 0;
}
