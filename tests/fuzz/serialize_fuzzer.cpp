// Fuzz target for the writers with random options. A document is parsed,
// written with one of the document or element forms, and, when the output
// is meant to be XML, parsed again: it must parse, and writing the new
// document with the same options must give the same text (when nothing is
// indented).
//
// Input: parse-flags byte, four option bytes, element-index byte, then the
// document.
//   option byte 0: form (see write()); byte 1: indent (low 3 bits),
//   declaration (bit 3), encoding (bits 4-5), indent_text (bit 6),
//   expand_empty (bit 7); byte 2: indent string (low 2 bits), method
//   (bits 2-4), html_indent (bit 5); byte 3: extension record size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace {

struct options {
    int form = 0;
    quorvel_serialize_options basic{};
    quorvel_serialize_ext_options ext{};
    size_t ext_size = 0;
    size_t element_index = 0;
};

constexpr int kForms = 11;

// Writes doc in the chosen form. html is set when the output is HTML.
std::string write(quorvel_document* doc, const options& o, bool& html) {
    const quorvel_serialize_options* basic = &o.basic;
    html = false;
    switch (o.form) {
        case 0: return fuzz::take_string(quorvel_document_serialize(doc, basic));
        case 1: return fuzz::take_string(quorvel_document_serialize(doc, nullptr));
        case 2:
            html = o.ext_size >= 24 && o.ext.method == 1;
            return fuzz::take_string(quorvel_document_serialize_ext_sized(doc, basic, &o.ext, o.ext_size));
        case 3:
            html = o.ext.method == 1;
            return fuzz::take_string(quorvel_document_serialize_ext(doc, basic, &o.ext));
        case 4: html = true; return fuzz::take_string(quorvel_document_serialize_html(doc, basic));
        case 5: return fuzz::take_string(quorvel_serialize_document(doc));
        case 6: {
            size_t length = 0;
            size_t need = quorvel_document_serialize_into(doc, nullptr, 0, &length, basic);
            if (need == 0) return "";
            if (need != length + 1) fuzz::fail("two-call protocol: %zu for length %zu", need, length);
            std::vector<char> buffer(need);
            // One byte short first: nothing may be written.
            if (need > 1) {
                buffer[0] = 'x';
                quorvel_document_serialize_into(doc, buffer.data(), need - 1, nullptr, basic);
                if (buffer[0] != 'x') fuzz::fail("serialize_into wrote into a short buffer");
            }
            if (quorvel_document_serialize_into(doc, buffer.data(), need, &length, basic) != need)
                fuzz::fail("second call of the two-call protocol differs");
            if (buffer[length] != '\0') fuzz::fail("no NUL after the text");
            return std::string(buffer.data(), length);
        }
        case 7: {
            quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), o.element_index);
            return fuzz::take_string(quorvel_element_serialize(e, basic));
        }
        case 8: {
            quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), o.element_index);
            html = o.ext_size >= 24 && o.ext.method != 0;
            return fuzz::take_string(quorvel_element_serialize_ext_sized(e, basic, &o.ext, o.ext_size));
        }
        case 9: {
            quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), o.element_index);
            html = o.ext.method != 0;
            return fuzz::take_string(quorvel_element_serialize_ext(e, basic, &o.ext));
        }
        default: {
            quorvel_element* e = fuzz::element_at(quorvel_document_root(doc), o.element_index);
            size_t length = 0;
            size_t need = quorvel_element_serialize_into(e, nullptr, 0, &length, basic);
            if (need == 0) return "";
            std::vector<char> buffer(need);
            if (quorvel_element_serialize_into(e, buffer.data(), need, &length, basic) != need)
                fuzz::fail("second call of the two-call protocol differs");
            return std::string(buffer.data(), length);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    // Not 0x08: a tree that kept repeated attributes cannot be written as XML.
    int flags = in.byte() & 0x37;
    options o;
    o.form = in.byte() % kForms;
    uint8_t b1 = in.byte(), b2 = in.byte(), b3 = in.byte();
    o.element_index = in.byte();
    static const char* const encodings[] = {nullptr, "UTF-8", "ISO-8859-1", "us-ascii"};
    static const char* const units[] = {nullptr, "\t", "  ", ""};
    static const size_t sizes[] = {0, 4, 16, 20, 24, 28, sizeof(quorvel_serialize_ext_options)};
    o.basic.indent = b1 & 7;
    o.basic.xml_declaration = (b1 >> 3) & 1;
    o.basic.encoding = encodings[(b1 >> 4) & 3];
    o.ext.indent_text = (b1 >> 6) & 1;
    o.ext.expand_empty = (b1 >> 7) & 1;
    o.ext.indent_string = units[b2 & 3];
    o.ext.method = static_cast<int>((b2 >> 2) & 7) - 2;  // -2 .. 5
    o.ext.html_indent = (b2 >> 5) & 1;
    o.ext_size = sizes[b3 % 7];
    std::string text = in.rest();

    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, &status);
    if (!doc) return 0;
    bool html = false;
    std::string first = write(doc, o, html);
    quorvel_document_free(doc);
    if (first.empty() || html) return 0;

    int again_status = 0;
    // Entity references kept as nodes are written as references: read them
    // back the same way.
    quorvel_document* again = quorvel_parse_string_flags(first.data(), first.size(), flags & 0x04, &again_status);
    if (!again || again_status != 0)
        fuzz::fail("written text does not parse back (%s)\n%s", quorvel_last_error(), first.c_str());
    // An element form's output is a document of its own now: write it with
    // the matching document form.
    options same = o;
    if (o.form == 7) same.form = 0;
    if (o.form == 8) same.form = 2;
    if (o.form == 9) same.form = 3;
    if (o.form == 10) same.form = 0;
    bool ignored = false;
    std::string second = write(again, same, ignored);
    // Indented output is not a fixed point: the indentation comes back as
    // text, and mixed content is then written as it stands. Without
    // indentation the text must come back unchanged.
    if (o.form < 7 && o.basic.indent <= 0 && second != first)
        fuzz::fail("second writing differs\n--- first\n%s\n--- second\n%s", first.c_str(), second.c_str());
    quorvel_document_free(again);
    return 0;
}
