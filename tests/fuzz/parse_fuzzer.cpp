// Fuzz target for the parse entry points. The first input byte picks the
// parse flags, the second the entry point (or a differential mode); the
// rest is the document. Built with libFuzzer under clang
// (QUORVEL_BUILD_FUZZ), and with the replay main below under the normal
// compiler so CI runs the seed corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dom/dom.h"
#include "parser/parser.h"
#include "quorvel.h"

namespace {

void put(std::string& out, const char* s, size_t n) {
    out.append(s ? s : "(null)", s ? n : 6);
    out += '|';
}
void put(std::string& out, const char* s) { put(out, s, s ? std::strlen(s) : 0); }
void put(std::string& out, uint64_t v) { out += std::to_string(v) + "|"; }

// Everything a reader can reach of one node and its subtree.
void describe(quorvel_node* n, std::string& out) {
    for (; n; n = quorvel_node_next_raw(n)) {
        quorvel_source_position p{};
        quorvel_node_source_position(n, &p);
        put(out, static_cast<uint64_t>(n->kind));
        put(out, n->flags);
        put(out, quorvel_node_byte_offset(n));
        put(out, static_cast<uint64_t>(p.line) << 40 | static_cast<uint64_t>(p.column) << 20 |
                     static_cast<uint64_t>(p.end_column));
        if (n->kind == QUORVEL_NODE_TEXT) {
            auto* t = reinterpret_cast<quorvel_text*>(n);
            put(out, quorvel_text_get_content(t), t->length);
            continue;
        }
        if (n->kind != QUORVEL_NODE_ELEMENT) continue;
        auto* e = reinterpret_cast<quorvel_element*>(n);
        put(out, static_cast<uint64_t>(e->name_hash) << 32 | static_cast<uint64_t>(e->attr_count) << 24 |
                     static_cast<uint64_t>(e->name_length) << 16 | e->child_count);
        put(out, quorvel_elem_name_raw(e));
        if (quorvel_element_ext* ext = quorvel_elem_ext(e)) put(out, ext->prefix);
        size_t raw_count = quorvel_element_attributes_raw(e, nullptr, nullptr, 0);
        std::vector<const char*> raw_names(raw_count), raw_values(raw_count);
        if (quorvel_element_attributes_raw(e, raw_names.data(), raw_values.data(), raw_count) != raw_count) abort();
        for (size_t i = 0; i < raw_count; i++) {
            put(out, raw_names[i]);
            put(out, raw_values[i]);
        }
        for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            put(out, a->name);
            put(out, a->value, a->value_length);
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
            put(out, ns ? ns->prefix : "-");
        }
        out += "[";
        describe(quorvel_elem_first_child_raw(e), out);
        out += "]";
    }
}

std::string describe(quorvel_document* doc) {
    std::string out;
    char* text = quorvel_document_serialize(doc, nullptr);
    put(out, text);
    quorvel_free_string(text);
    describe(doc->first_top, out);
    return out;
}

// The fast path must build the document parser's tree or decline.
void differential(const char* text, size_t length, int flags) {
    int drop = flags & 0x01, defaults = flags & 0x02, refs = flags & 0x04;
    dp_il_set_test_mode(1);
    quorvel_document* fast = dp_il_try_flags(text, length, drop, refs, defaults, (flags & 0x10) != 0);
    dp_il_set_test_mode(-1);
    if (!fast) return;
    quorvel_document* slow = direct_parse_internal(text, length, flags & 0x18, kParseCopy, drop, defaults, refs, 0);
    if (!slow) {
        std::fprintf(stderr, "fast path accepted a document the parser rejects\n");
        std::abort();
    }
    if (describe(fast) != describe(slow)) {
        std::fprintf(stderr, "fast path built another tree\n");
        std::abort();
    }
    quorvel_document_free(fast);
    quorvel_document_free(slow);
}

// Every element's raw attributes, in document order.
void raw_attributes(quorvel_node* n, std::string& out) {
    for (; n; n = quorvel_node_next_raw(n)) {
        if (n->kind != QUORVEL_NODE_ELEMENT) continue;
        auto* e = reinterpret_cast<quorvel_element*>(n);
        size_t count = quorvel_element_attributes_raw(e, nullptr, nullptr, 0);
        std::vector<const char*> names(count), values(count);
        quorvel_element_attributes_raw(e, names.data(), values.data(), count);
        for (size_t i = 0; i < count; i++) {
            put(out, names[i]);
            put(out, values[i]);
        }
        out += "[";
        raw_attributes(quorvel_elem_first_child_raw(e), out);
        out += "]";
    }
}

// Recover mode keeps a list of each tag's raw attributes; the other modes
// read them again from the input. On a document both accept cleanly they
// must agree.
void raw_differential(const char* text, size_t length, int flags) {
    int status = 0;
    quorvel_document* kept = quorvel_parse_string_flags(text, length, (flags & 0x18) | 0x20, &status);
    quorvel_document* read = quorvel_parse_string_flags(text, length, flags & 0x18, &status);
    if (kept && read && quorvel_document_parse_diag_count(kept) == 0) {
        std::string a, b;
        raw_attributes(kept->first_top, a);
        raw_attributes(read->first_top, b);
        if (a != b) {
            std::fprintf(stderr, "raw attributes differ\n");
            std::abort();
        }
    }
    quorvel_document_free(kept);
    quorvel_document_free(read);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int flags = data[0] & 0x3F;
    int entry = data[1] % 7;
    const char* text = reinterpret_cast<const char*>(data + 2);
    size_t length = size - 2;
    int status = 0;
    quorvel_document* doc = nullptr;
    switch (entry) {
        case 0: doc = quorvel_parse_string(text, length, &status); break;
        case 1: doc = quorvel_parse_string_flags(text, length, flags, &status); break;
        case 2: {
            char* buffer = static_cast<char*>(std::malloc(length + 1));
            if (!buffer) return 0;
            if (length) std::memcpy(buffer, text, length);
            doc = quorvel_parse_string_inplace(buffer, length, &status);
            quorvel_document_free(doc);
            std::free(buffer);
            return 0;
        }
        case 3: doc = quorvel_parse_string_with_encoding(text, length, &status); break;
        case 4: {
            CParseOptions options = {flags, data[0] >> 7, 0, 1};
            doc = quorvel_parse_string_ex(text, length, &options, &status);
            break;
        }
        case 5: differential(text, length, flags); return 0;
        case 6: raw_differential(text, length, flags); return 0;
    }
    if (doc) {
        // Reading must be safe on whatever was accepted.
        int count = quorvel_document_parse_diag_count(doc);
        for (int i = 0; i < count; i++) {
            char message[64];
            int code = 0;
            quorvel_document_parse_diag(doc, i, &code, message, sizeof message);
        }
        quorvel_node_traverse(quorvel_document_node(doc), 0, [](quorvel_node*, void*) { return 0; }, nullptr);
    }
    quorvel_document_free(doc);
    return 0;
}
