// Fuzz target for iterparse in both modes, over memory or a file. Every
// returned element is read through the public readers (names, attributes,
// text, namespace bindings, serialization) while it is valid. In mode 1 a
// document the document parser accepts must give each of its elements once,
// the root last.
//
// Input: skip-flags byte, mode byte, then the document.
//   mode bit 0: iterparse mode; bit 1: from a file; bit 2: also compare
//   element counts with the document parser (mode 1).
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

size_t count_elements(quorvel_element* e) {
    size_t n = 0;
    for (; e; e = quorvel_element_next_sibling_any(e)) n += 1 + count_elements(quorvel_element_first_child_any(e));
    return n;
}

void read_element(quorvel_iterparse* it, quorvel_element* e) {
    const char* name = quorvel_element_name(e);
    if (!name) fuzz::fail("element without name");
    quorvel_element_namespace(e);
    size_t attrs = quorvel_element_attribute_count(e);
    size_t walked = 0;
    for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
        if (++walked > attrs) fuzz::fail("more attributes than the count %zu", attrs);
        quorvel_attribute_get_name(a);
        quorvel_attribute_get_value(e, a);
        quorvel_attribute_namespace_uri(a);
    }
    if (walked != attrs) fuzz::fail("walked %zu attributes, count says %zu", walked, attrs);
    quorvel_element_text(quorvel_element_as_node(e));
    size_t bindings = quorvel_iterparse_ns_count(it);
    (void)bindings;
    quorvel_iterparse_ns_uri(it, quorvel_element_prefix(e));
    quorvel_iterparse_ns_uri(it, nullptr);
    quorvel_free_string(quorvel_element_serialize(e, nullptr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    int skip_flags = in.byte() & 0x18;
    int mode_byte = in.byte();
    int mode = mode_byte & 1;
    std::string doc = in.rest();

    std::string path;
    quorvel_iterparse* it = nullptr;
    if (mode_byte & 2) {
        path = fuzz::temp_path("iterparse");
        if (!fuzz::write_file(path, doc)) return 0;
        it = quorvel_iterparse_new_file_ex_flags(path.c_str(), mode, skip_flags);
    } else {
        it = quorvel_iterparse_new_ex_flags(doc.data(), doc.size(), mode, skip_flags);
    }
    size_t returned = 0;
    quorvel_element* last = nullptr;
    if (it) {
        while (quorvel_element* e = quorvel_iterparse_next(it)) {
            read_element(it, e);
            returned++;
            last = e;
            if (returned > doc.size()) fuzz::fail("more elements than input bytes");
        }
        bool failed = quorvel_iterparse_error(it) != nullptr;
        if (mode == 1 && (mode_byte & 4) && !failed) {
            int status = 0;
            quorvel_document* parsed = quorvel_parse_string_flags(doc.data(), doc.size(), 0, &status);
            if (parsed && status == 0) {
                size_t expected = count_elements(quorvel_document_root(parsed));
                if (expected != returned)
                    fuzz::fail("iterparse gave %zu elements, the document has %zu", returned, expected);
                if (last && std::strcmp(quorvel_element_name(last), quorvel_element_name(quorvel_document_root(parsed))))
                    fuzz::fail("last element is not the root");
            }
            quorvel_document_free(parsed);
        }
        quorvel_iterparse_free(it);
    }
    if (!path.empty()) std::remove(path.c_str());
    return 0;
}
