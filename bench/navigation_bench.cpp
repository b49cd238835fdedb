// Reading a parsed tree through the public calls, beside pugixml's and
// libxml2's own: a full walk that touches every name, attribute and text,
// and a field-extraction loop over the records shape (child by name,
// attribute by name, element text), as application code reads data. Each
// walk's checksum is compared with pugixml's before anything is timed.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <vector>

#include "inputs.h"
#include "quorvel.h"

namespace {

using bench::shape;

// Folds a string's length and first byte, so a walk cannot skip reading it.
inline void mix(size_t& sum, const char* s) {
    if (s) sum = sum * 31 + std::strlen(s) + static_cast<unsigned char>(*s);
}

// Text is folded only when it holds more than white space: pugixml drops
// white-space-only text by default, the other two keep it.
inline void mix_text(size_t& sum, const char* s) {
    if (s && s[std::strspn(s, " \t\r\n")]) mix(sum, s);
}

// Document order the way pugixml's and libxml2's walks go: down, else
// along, else up through the parent links; no stack.
size_t walk_quorvel(quorvel_document* doc) {
    size_t sum = 0;
    quorvel_node* n = quorvel_document_first_child(doc);
    while (n) {
        quorvel_node* down = nullptr;
        switch (quorvel_node_get_type(n)) {
            case QUORVEL_NODE_ELEMENT: {
                quorvel_element* e = quorvel_node_as_element(n);
                mix(sum, quorvel_element_name(e));
                for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                    mix(sum, quorvel_attribute_get_name(a));
                    mix(sum, quorvel_attribute_get_value(e, a));
                }
                down = quorvel_node_first_child(n);
                break;
            }
            case QUORVEL_NODE_TEXT: mix_text(sum, quorvel_text_node_get_content(n)); break;
            case QUORVEL_NODE_CDATA: mix_text(sum, quorvel_cdata_node_get_content(n)); break;
            default: break;
        }
        if (down) {
            n = down;
            continue;
        }
        // Top-level nodes have no parent element: the walk ends after them.
        while (n && !quorvel_node_next_sibling(n)) n = quorvel_element_as_node(quorvel_node_parent(n));
        if (n) n = quorvel_node_next_sibling(n);
    }
    return sum;
}

size_t walk_pugi(const pugi::xml_node& root) {
    size_t sum = 0;
    for (pugi::xml_node n = root.first_child(); n;) {
        switch (n.type()) {
            case pugi::node_element:
                mix(sum, n.name());
                for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
                    mix(sum, a.name());
                    mix(sum, a.value());
                }
                break;
            case pugi::node_pcdata:
            case pugi::node_cdata: mix_text(sum, n.value()); break;
            default: break;
        }
        // Document order without recursion: down, else along, else up.
        if (n.type() == pugi::node_element && n.first_child()) {
            n = n.first_child();
        } else {
            while (n && !n.next_sibling() && n != root) n = n.parent();
            if (!n || n == root) break;
            n = n.next_sibling();
        }
    }
    return sum;
}

size_t walk_libxml2(xmlNode* first) {
    size_t sum = 0;
    xmlNode* n = first;
    while (n) {
        if (n->type == XML_ELEMENT_NODE) {
            mix(sum, reinterpret_cast<const char*>(n->name));
            for (xmlAttr* a = n->properties; a; a = a->next) {
                mix(sum, reinterpret_cast<const char*>(a->name));
                // The value of an ordinary attribute is its one text child.
                mix(sum, a->children ? reinterpret_cast<const char*>(a->children->content) : "");
            }
        } else if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            mix_text(sum, reinterpret_cast<const char*>(n->content));
        }
        if (n->type == XML_ELEMENT_NODE && n->children) {
            n = n->children;
        } else {
            while (n && !n->next) n = n->parent && n->parent->type != XML_DOCUMENT_NODE ? n->parent : nullptr;
            if (n) n = n->next;
        }
    }
    return sum;
}

// library 0: this library's tree as parsed by default (white-space text
// kept); 3: parsed without white-space text, the tree pugixml builds.
void BM_walk(benchmark::State& state, int library, shape s) {
    const bench::input& in = bench::get_input(s);
    pugi::xml_document pdoc;
    pdoc.load_buffer(in.text.data(), in.text.size());
    size_t expected = walk_pugi(pdoc);
    int status = 0;
    quorvel_document* qdoc =
        library == 0   ? quorvel_parse_string(in.text.data(), in.text.size(), &status)
        : library == 3 ? quorvel_parse_string_flags(in.text.data(), in.text.size(), QUORVEL_PARSE_DROP_WHITESPACE, &status)
                       : nullptr;
    xmlDoc* xdoc = library == 2 || s == shape::references
                       ? xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr,
                                       XML_PARSE_NOENT)
                       : nullptr;
    // pugixml leaves references to declared entities as written: libxml2's
    // walk is the reference there (and pugixml's is skipped). libxml2 names
    // elements by local name, so its walk is skipped on namespaces.
    if (s == shape::references) expected = walk_libxml2(xmlDocGetRootElement(xdoc));
    auto walk = [&] {
        if (library == 0 || library == 3) return walk_quorvel(qdoc);
        if (library == 1) return walk_pugi(pdoc);
        return walk_libxml2(xmlDocGetRootElement(xdoc));
    };
    if (walk() != expected) {
        state.SkipWithError("walk differs from pugixml's");
    } else {
        for (auto _ : state) benchmark::DoNotOptimize(walk());
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
        state.SetLabel(in.name);
    }
    quorvel_document_free(qdoc);
    if (xdoc) xmlFreeDoc(xdoc);
}

// The fields of every record of the records shape, summed.
struct fields {
    long ids = 0, scores = 0, values = 0;
    size_t names = 0;
    bool operator==(const fields&) const = default;
};

fields extract_quorvel(quorvel_document* doc) {
    fields f;
    quorvel_element* root = quorvel_document_root(doc);
    for (quorvel_element* r = quorvel_element_first_child(root, "record"); r; r = quorvel_element_next_sibling(r, "record")) {
        f.ids += quorvel_element_attribute_int(r, "id", 0);
        f.scores += quorvel_element_attribute_int(r, "score", 0);
        f.names += std::strlen(quorvel_element_text(quorvel_element_as_node(quorvel_element_first_child(r, "name"))));
        f.values += quorvel_element_text_int(quorvel_element_first_child(r, "value"), 0);
    }
    return f;
}

fields extract_pugi(const pugi::xml_document& doc) {
    fields f;
    for (pugi::xml_node r = doc.document_element().child("record"); r; r = r.next_sibling("record")) {
        f.ids += r.attribute("id").as_int();
        f.scores += r.attribute("score").as_int();
        f.names += std::strlen(r.child("name").child_value());
        f.values += r.child("value").text().as_int();
    }
    return f;
}

const xmlNode* libxml2_child(const xmlNode* parent, const char* name) {
    for (const xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(c->name), name) == 0) return c;
    return nullptr;
}

long libxml2_int(xmlChar* text) {
    long v = text ? std::strtol(reinterpret_cast<const char*>(text), nullptr, 10) : 0;
    xmlFree(text);
    return v;
}

fields extract_libxml2(xmlDoc* doc) {
    fields f;
    for (const xmlNode* r = xmlDocGetRootElement(doc)->children; r; r = r->next) {
        if (r->type != XML_ELEMENT_NODE || std::strcmp(reinterpret_cast<const char*>(r->name), "record") != 0) continue;
        f.ids += libxml2_int(xmlGetProp(r, BAD_CAST "id"));
        f.scores += libxml2_int(xmlGetProp(r, BAD_CAST "score"));
        xmlChar* name = xmlNodeGetContent(libxml2_child(r, "name"));
        f.names += std::strlen(reinterpret_cast<const char*>(name));
        xmlFree(name);
        f.values += libxml2_int(xmlNodeGetContent(libxml2_child(r, "value")));
    }
    return f;
}

void BM_extract(benchmark::State& state, int library) {
    const bench::input& in = bench::get_input(shape::records);
    pugi::xml_document pdoc;
    pdoc.load_buffer(in.text.data(), in.text.size());
    fields expected = extract_pugi(pdoc);
    int status = 0;
    quorvel_document* qdoc = library == 0 ? quorvel_parse_string(in.text.data(), in.text.size(), &status) : nullptr;
    xmlDoc* xdoc =
        library == 2 ? xmlReadMemory(in.text.data(), static_cast<int>(in.text.size()), nullptr, nullptr, 0) : nullptr;
    auto extract = [&] {
        if (library == 0) return extract_quorvel(qdoc);
        if (library == 1) return extract_pugi(pdoc);
        return extract_libxml2(xdoc);
    };
    if (!(extract() == expected)) {
        state.SkipWithError("fields differ from pugixml's");
    } else {
        for (auto _ : state) benchmark::DoNotOptimize(extract());
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.text.size()));
        state.SetLabel(in.name);
    }
    quorvel_document_free(qdoc);
    if (xdoc) xmlFreeDoc(xdoc);
}

#define WALK_BENCH(shape_name)                                                                                  \
    BENCHMARK_CAPTURE(BM_walk, quorvel_##shape_name, 0, shape::shape_name)->Unit(benchmark::kMillisecond);     \
    BENCHMARK_CAPTURE(BM_walk, quorvel_nows_##shape_name, 3, shape::shape_name)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_walk, pugixml_##shape_name, 1, shape::shape_name)->Unit(benchmark::kMillisecond);     \
    BENCHMARK_CAPTURE(BM_walk, libxml2_##shape_name, 2, shape::shape_name)->Unit(benchmark::kMillisecond);

WALK_BENCH(records)
WALK_BENCH(document)
WALK_BENCH(attributes)
WALK_BENCH(deep)
WALK_BENCH(namespaces)
WALK_BENCH(references)

BENCHMARK_CAPTURE(BM_extract, quorvel, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_extract, pugixml, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_extract, libxml2, 2)->Unit(benchmark::kMillisecond);

}  // namespace
