// Parsing a fragment of mixed content into an existing document: the text
// is wrapped in a start and an end tag, parsed as a document, and the
// wrapper's children are re-created in the target under an element named
// "#document-fragment".
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"

namespace {

constexpr char kOpen[] = "<__quorvel_frag__>";
constexpr char kClose[] = "</__quorvel_frag__>";

void set_status(int* status, int value) {
    if (status) *status = value;
}

const char* or_empty(const char* s) { return s ? s : ""; }

}  // namespace

extern "C" QUORVEL_API quorvel_element* quorvel_parse_fragment(const char* text, size_t length,
                                                              quorvel_document* target, int* status) {
    set_status(status, QUORVEL_OK);
    if (!text || length == 0 || !target) {
        set_status(status, QUORVEL_ERR_NULL_ARGUMENT);
        return nullptr;
    }
    size_t open_len = sizeof kOpen - 1, close_len = sizeof kClose - 1;
    if (length > SIZE_MAX - open_len - close_len - 1) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    size_t total = open_len + length + close_len;
    auto* wrapped = static_cast<char*>(std::malloc(total + 1));
    if (!wrapped) {
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    std::memcpy(wrapped, kOpen, open_len);
    std::memcpy(wrapped + open_len, text, length);
    std::memcpy(wrapped + open_len + length, kClose, close_len + 1);
    int parse_status = 0;
    quorvel_document* parsed = quorvel_parse_string(wrapped, total, &parse_status);
    std::free(wrapped);
    if (!parsed) {
        set_status(status, parse_status ? parse_status : QUORVEL_ERR_PARSE);
        return nullptr;
    }
    quorvel_element* wrapper = quorvel_document_root(parsed);
    if (!wrapper) {
        quorvel_document_free(parsed);
        set_status(status, QUORVEL_ERR_PARSE);
        return nullptr;
    }
    quorvel_element* fragment = quorvel_element_create(target, "#document-fragment");
    quorvel_element* holder = fragment ? quorvel_element_create(target, "__frag_holder__") : nullptr;
    if (!holder) {
        quorvel_document_free(parsed);
        set_status(status, QUORVEL_ERR_MEMORY);
        return nullptr;
    }
    for (quorvel_node* c = quorvel_node_first_child(quorvel_element_as_node(wrapper)); c;
         c = quorvel_node_next_sibling(c)) {
        quorvel_node* made = nullptr;
        switch (quorvel_node_get_type(c)) {
            case QUORVEL_NODE_ELEMENT: {
                // Copied under the holder first, so the copy is made in the
                // target with the source's namespaces, then moved over.
                quorvel_element* copy = quorvel_element_append_copy(holder, quorvel_node_as_element(c));
                if (copy && quorvel_node_unlink(quorvel_element_as_node(copy)) == QUORVEL_OK)
                    quorvel_element_append_child(fragment, quorvel_element_as_node(copy));
                continue;
            }
            case QUORVEL_NODE_TEXT: made = quorvel_text_node_create(target, or_empty(quorvel_text_node_get_content(c))); break;
            case QUORVEL_NODE_COMMENT:
                made = quorvel_comment_node_create(target, or_empty(quorvel_comment_node_get_content(c)));
                break;
            case QUORVEL_NODE_CDATA:
                made = quorvel_cdata_node_create(target, or_empty(quorvel_text_node_get_content(c)));
                break;
            case QUORVEL_NODE_PI:
                made = quorvel_pi_node_create(target, or_empty(quorvel_pi_node_get_target(c)),
                                              or_empty(quorvel_pi_node_get_data(c)));
                break;
            default: continue;
        }
        if (made) quorvel_element_append_child(fragment, made);
    }
    quorvel_document_free(parsed);
    return fragment;
}
