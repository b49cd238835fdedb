// Fuzz target for the digest and the diff: two documents are compared both
// ways and with themselves, and the report is written out.
//
// Input: flags byte, two-byte length of the first document, the first
// document, then the second.
//   flags bit 0: skip whitespace-only text; bit 1: digest attributes in
//   document order; bits 2-7: parse flags (0x01, 0x08 and 0x20 kinds).
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

quorvel_document* parse(const std::string& text, int flags) {
    int status = 0;
    return quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
}

uint64_t root_digest(quorvel_document* doc, unsigned flags) {
    quorvel_element* root = quorvel_document_root(doc);
    return root ? quorvel_node_digest(quorvel_element_as_node(root), flags) : 0;
}

// Runs one diff; answers whether it gave an empty list.
bool check_diff(quorvel_document* a, quorvel_document* b, unsigned flags) {
    int status = 99;
    quorvel_diff_list* list = quorvel_diff(a, b, flags, &status);
    if (!list) {
        if (status != -5 && status != -1) fuzz::fail("diff failed with status %d", status);
        return false;
    }
    if (status != 0) fuzz::fail("a list with status %d", status);
    size_t count = quorvel_diff_op_count(list);
    for (size_t i = 0; i < count; i++) {
        int kind = quorvel_diff_op_type(list, i);
        if (kind < 1 || kind > 4) fuzz::fail("op kind %d", kind);
        if (!quorvel_diff_op_path(list, i) || !quorvel_diff_op_name(list, i) || !quorvel_diff_op_before(list, i) ||
            !quorvel_diff_op_after(list, i))
            fuzz::fail("op %zu without a string", i);
    }
    std::string report = fuzz::take_string(quorvel_diff_serialize(list));
    if (count && report.empty()) fuzz::fail("empty report for %zu ops", count);
    quorvel_diff_free(list);
    return count == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t options = in.byte();
    unsigned flags = options & 3u;
    int parse_flags = (options >> 2) & 0x29;
    size_t first = in.u16();
    std::string rest = in.rest();
    if (first > rest.size()) first = rest.size();
    quorvel_document* a = parse(rest.substr(0, first), parse_flags);
    quorvel_document* b = parse(rest.substr(first), parse_flags);
    if (a && b) {
        uint64_t da = root_digest(a, flags), db = root_digest(b, flags);
        if (!check_diff(a, a, flags)) fuzz::fail("a document differs from itself");
        bool empty = check_diff(a, b, flags);
        check_diff(b, a, flags);
        // Equal digests cut the diff short at the root.
        if (da == db && quorvel_document_root(a) && quorvel_document_root(b) && !empty &&
            (flags & 2) == 0)
            fuzz::fail("equal digests but a non-empty diff");
        // Serializing decodes values in place; the digest reads them decoded already.
        fuzz::take_string(quorvel_serialize_document(a));
        if (root_digest(a, flags) != da) fuzz::fail("digest changed by serializing");
    }
    quorvel_document_free(a);
    quorvel_document_free(b);
    return 0;
}
