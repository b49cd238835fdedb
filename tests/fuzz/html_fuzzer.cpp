// Fuzz target for the HTML parser, both modes. Every input yields a
// document with status 0 (memory does not run out here); the tree is
// walked, serialized as HTML and as XML, and freed.
//
// Input: mode byte (bit 0: HTML4 rules), then the document.
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

size_t walk(quorvel_node* n, size_t depth) {
    size_t count = 0;
    for (; n; n = quorvel_node_next_sibling(n)) {
        count++;
        if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT) {
            auto* e = quorvel_node_as_element(n);
            if (!quorvel_element_name(e)) fuzz::fail("element without a name");
            for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a))
                if (!quorvel_attribute_get_name(a) || !quorvel_attribute_get_value(e, a))
                    fuzz::fail("attribute without name or value");
            if (depth > 1000) fuzz::fail("tree deeper than the open-element bound allows");
            count += walk(quorvel_node_first_child(n), depth + 1);
        }
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    bool html4 = in.byte() & 1;
    std::string text = in.rest();
    int status = 1;
    quorvel_document* doc = html4 ? quorvel_parse_html4_string(text.data(), text.size(), &status)
                                  : quorvel_parse_html_string(text.data(), text.size(), &status);
    if (!doc || status != QUORVEL_OK) fuzz::fail("no document (status %d)", status);
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) fuzz::fail("no root element");
    walk(quorvel_document_first_child(doc), 0);
    quorvel_free_string(quorvel_document_serialize_html(doc, nullptr));
    quorvel_serialize_ext_options xml_method{};
    xml_method.method = -1;
    quorvel_free_string(quorvel_document_serialize_ext(doc, nullptr, &xml_method));
    quorvel_document_free(doc);
    return 0;
}
