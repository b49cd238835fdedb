// Fuzz target for the fragment parser. The fragment is parsed into a target
// document (empty, or parsed from a segment of the input), read through the
// public readers, then its children are moved under the target's root and
// the target is written out: what the library writes must parse back and
// write the same text again.
//
// Input: mode byte, target segment (length byte + bytes), then the fragment.
//   mode bit 0: move the children under the root; bit 1: copy its element
//   children instead; bit 2: parse the target with DTD defaults.
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

void read_tree(quorvel_node* n, int depth) {
    if (depth > 300) fuzz::fail("fragment deeper than it can be");
    for (; n; n = quorvel_node_next_sibling(n)) {
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: {
                quorvel_element* e = quorvel_node_as_element(n);
                quorvel_element_name(e);
                quorvel_element_namespace(e);
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                    quorvel_attribute_get_value(e, a);
                    quorvel_attribute_namespace_uri(a);
                    quorvel_attribute_prefix(a);
                }
                read_tree(quorvel_node_first_child(n), depth + 1);
                break;
            }
            case QUORVEL_NODE_TEXT: quorvel_text_node_get_content(n); break;
            case QUORVEL_NODE_COMMENT: quorvel_comment_node_get_content(n); break;
            case QUORVEL_NODE_CDATA: quorvel_cdata_node_get_content(n); break;
            case QUORVEL_NODE_PI: quorvel_pi_node_get_data(n); break;
            default: break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t mode = in.byte();
    std::string target_text = in.segment();
    std::string fragment = in.rest();

    quorvel_document* target = nullptr;
    if (!target_text.empty()) {
        int status = 0;
        target = quorvel_parse_string_flags(target_text.data(), target_text.size(), mode & 4 ? 0x02 : 0, &status);
        if (target && status != 0) {
            quorvel_document_free(target);
            target = nullptr;
        }
    }
    if (!target) target = quorvel_document_create();
    if (!target) return 0;

    int status = 0;
    quorvel_element* frag = quorvel_parse_fragment(fragment.data(), fragment.size(), target, &status);
    if (frag) {
        if (status != 0) fuzz::fail("fragment returned with status %d", status);
        read_tree(quorvel_element_as_node(frag), 0);
        quorvel_free_string(quorvel_element_serialize(frag, nullptr));
        quorvel_element* root = quorvel_document_root(target);
        if (root && (mode & 3)) {
            if (mode & 2) {
                for (quorvel_element* c = quorvel_element_first_child_any(frag); c; c = quorvel_element_next_sibling_any(c))
                    if (!quorvel_element_append_copy(root, c)) fuzz::fail("copy of a fragment element refused");
            } else {
                while (quorvel_node* child = quorvel_node_first_child(quorvel_element_as_node(frag)))
                    if (quorvel_element_append_child(root, child) != 0) fuzz::fail("moving a fragment child refused");
            }
        }
    }

    // Whatever the target holds now must round-trip through the writer.
    std::string first = fuzz::take_string(quorvel_document_serialize(target, nullptr));
    if (!first.empty()) {
        int again_status = 0;
        quorvel_document* again = quorvel_parse_string(first.data(), first.size(), &again_status);
        if (!again || again_status != 0)
            fuzz::fail("written text does not parse back (%s)\n%s", quorvel_last_error(), first.c_str());
        std::string second = fuzz::take_string(quorvel_document_serialize(again, nullptr));
        if (second != first) fuzz::fail("second writing differs\n--- first\n%s\n--- second\n%s", first.c_str(), second.c_str());
        quorvel_document_free(again);
    }
    quorvel_document_free(target);
    return 0;
}
