// Fuzz target for canonical XML in every mode, and for DTD validation with
// the document's own DTD and with one parsed from a segment of the input.
// The canonical form of a whole document must parse back, and the canonical
// form of that must be the same text.
//
// Input: parse-flags byte, mode byte, element-index byte, prefix segment
// (prefixes separated by spaces), DTD segment, then the document.
//   mode bit 0: exclusive; bit 1: with comments; bit 2: a subtree (the
//   element-index-th element in document order) instead of the document;
//   bit 3: pass the prefix list; bit 4: validate against the document's DTD;
//   bit 5: validate against the DTD segment.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace {

void validate(quorvel_document* doc, quorvel_dtd* dtd) {
    quorvel_dtd_error error{};
    int valid = quorvel_dtd_validate(doc, dtd, &error);
    if (valid == 0 && !error.message) fuzz::fail("invalid without a message");
    if (valid != 0 && (error.message || error.detail)) fuzz::fail("message left for a valid document");
    quorvel_dtd_error_free(&error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    // Not 0x08: a tree that kept repeated attributes has no canonical form.
    int flags = in.byte() & 0x37;
    uint8_t mode = in.byte();
    size_t index = in.byte();
    std::string prefix_text = in.segment();
    std::string dtd_text = in.segment();
    std::string text = in.rest();

    std::vector<std::string> prefixes;
    for (size_t at = 0; at <= prefix_text.size();) {
        size_t end = prefix_text.find(' ', at);
        if (end == std::string::npos) end = prefix_text.size();
        prefixes.push_back(prefix_text.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char*> prefix_list;
    for (const std::string& p : prefixes) prefix_list.push_back(p.c_str());
    prefix_list.push_back(nullptr);

    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
    if (!doc) return 0;

    int exclusive = mode & 1 ? QUORVEL_C14N_EXCLUSIVE : QUORVEL_C14N_INCLUSIVE;
    int comments = (mode >> 1) & 1;
    const char** list = mode & 8 ? prefix_list.data() : nullptr;
    if (mode & 4) {
        quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), index);
        std::string sub = fuzz::take_string(quorvel_c14n_canonicalize_subtree_ex(e, nullptr, exclusive, list, comments));
        if (e && !sub.empty()) {
            int sub_status = 0;
            quorvel_document* again = quorvel_parse_string(sub.data(), sub.size(), &sub_status);
            if (!again || sub_status != 0)
                fuzz::fail("canonical subtree does not parse (%s)\n%s", quorvel_last_error(), sub.c_str());
            quorvel_document_free(again);
        }
        quorvel_free_string(quorvel_c14n_canonicalize_subtree(e));
    } else {
        std::string first = fuzz::take_string(quorvel_c14n_canonicalize_ex(doc, nullptr, exclusive, list, comments));
        if (!first.empty()) {
            int again_status = 0;
            quorvel_document* again = quorvel_parse_string(first.data(), first.size(), &again_status);
            if (!again || again_status != 0)
                fuzz::fail("canonical form does not parse (%s)\n%s", quorvel_last_error(), first.c_str());
            std::string second =
                fuzz::take_string(quorvel_c14n_canonicalize_ex(again, nullptr, exclusive, list, comments));
            if (second != first)
                fuzz::fail("canonical form of the canonical form differs\n--- first\n%s\n--- second\n%s",
                           first.c_str(), second.c_str());
            quorvel_document_free(again);
        }
        quorvel_free_string(quorvel_c14n_canonicalize(doc));
    }

    if (mode & 16) validate(doc, quorvel_document_get_dtd(doc));
    if (mode & 32) {
        if (quorvel_dtd* dtd = quorvel_dtd_parse(dtd_text.data(), dtd_text.size())) {
            validate(doc, dtd);
            quorvel_dtd_free(dtd);
        }
    }
    quorvel_document_free(doc);
    return 0;
}
