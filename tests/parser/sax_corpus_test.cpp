// Every parser test input through every streaming reader: the SAX parser
// gives the same events whatever the chunking, the recorder and the pull
// parser reproduce them, and iterparse builds the tree the document parser
// builds. Inputs are the conformance documents and a few local cases.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "dom/dom.h"
#include "parser/sax_event_log.h"
#include "quorvel.h"
#include "support/testdata.h"

std::string recorder_events(const std::string& input, size_t chunk);  // recorder_test.cpp

namespace {

struct input {
    std::string name;
    std::string text;
};

std::vector<input> corpus() {
    std::vector<input> out = {
        {"mixed", "<?xml version='1.0'?>\n<!DOCTYPE r [<!ELEMENT r ANY>]>\n<r xmlns='d' xmlns:p='u' a='1 &amp; 2'>"
                  "text &lt;&#x263A; <p:e p:k='v'/><![CDATA[c<d]]><!-- c --><?pi x?>\r\n</r>\n"},
        {"long-text", "<r>" + std::string(10000, 'x') + "&amp;" + std::string(5000, 'y') + "</r>"},
        {"long-tag", "<r " + std::string("a='") + std::string(9000, 'v') + "'/>"},
    };
    std::string root = QUORVEL_TESTDATA_DIR "/xmlconf";
    if (!std::filesystem::exists(root)) return out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
        if (entry.file_size() > 64 * 1024) continue;
        std::ifstream f(entry.path(), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        out.push_back({entry.path().string().substr(root.size()), s.str()});
    }
    return out;
}

const std::vector<input>& inputs() {
    static const std::vector<input> all = corpus();
    return all;
}

TEST(StreamingConformance, DataIsThere) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    EXPECT_GT(inputs().size(), 1000u) << "conformance data missing under " QUORVEL_TESTDATA_DIR "/xmlconf";
}

TEST(StreamingConformance, SaxEventsDoNotDependOnChunking) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    for (const input& in : inputs()) {
        SCOPED_TRACE(in.name);
        sax_test::parse_result whole = sax_test::parse_in_chunks(in.text, 0);
        for (size_t chunk : {size_t(1), size_t(7), size_t(4096), in.text.size() + 1}) {
            sax_test::parse_result part = sax_test::parse_in_chunks(in.text, chunk);
            ASSERT_EQ(part.events, whole.events) << "chunk " << chunk;
            ASSERT_EQ(part.status, whole.status);
        }
    }
}

TEST(StreamingConformance, RecorderReproducesTheEvents) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    for (const input& in : inputs()) {
        SCOPED_TRACE(in.name);
        std::string expected = sax_test::parse_in_chunks(in.text, 0).events;
        for (size_t chunk : {size_t(7), size_t(4096)}) ASSERT_EQ(recorder_events(in.text, chunk), expected);
    }
}

// The SAX log without what the pull parser does not carry: start_document
// and error positions.
std::string without_positions(const std::string& events) {
    std::string out;
    std::istringstream lines(events);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "start_document") continue;
        if (line.rfind("error ", 0) == 0) line = line.substr(0, line.rfind(" @"));
        out += line + "\n";
    }
    return out;
}

std::string pull_events(quorvel_pull* p) {
    sax_test::event_log log;
    const quorvel_sax_handler& h = sax_test::logging_handler();
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        switch (e->kind) {
            case QUORVEL_PULL_START_ELEMENT:
                h.start_element(&log, e->name, const_cast<const char* const*>(e->attributes));
                break;
            case QUORVEL_PULL_END_ELEMENT: h.end_element(&log, e->name); break;
            case QUORVEL_PULL_CHARACTERS: h.characters(&log, e->text, e->text_length); break;
            case QUORVEL_PULL_COMMENT: h.comment(&log, e->text); break;
            case QUORVEL_PULL_CDATA: h.cdata(&log, e->text); break;
            case QUORVEL_PULL_PROCESSING_INSTRUCTION: h.processing_instruction(&log, e->name, e->text ? e->text : ""); break;
            case QUORVEL_PULL_END_DOCUMENT: h.end_document(&log); break;
            case QUORVEL_PULL_ERROR: log.line(std::string("error ") + e->text); break;
            case QUORVEL_PULL_START_PREFIX_MAPPING: h.start_prefix_mapping(&log, e->name, e->text); break;
            case QUORVEL_PULL_END_PREFIX_MAPPING: h.end_prefix_mapping(&log, e->name); break;
        }
    }
    return log.str();
}

TEST(StreamingConformance, PullParserReproducesTheEvents) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    // One file per process: builds whose suites run at once share the folder.
    std::string path = (std::filesystem::temp_directory_path() /
                        ("quorvel_pull_corpus_" + std::to_string(getpid()) + ".xml")).string();
    for (const input& in : inputs()) {
        SCOPED_TRACE(in.name);
        std::string expected = without_positions(sax_test::parse_in_chunks(in.text, 0).events);
        if (in.text.empty()) continue;  // a pull parser needs a text
        quorvel_pull* memory = quorvel_pull_new(in.text.data(), in.text.size());
        ASSERT_EQ(pull_events(memory), expected);
        quorvel_pull_free(memory);
        {
            std::ofstream f(path, std::ios::binary);
            f << in.text;
        }
        quorvel_pull* file = quorvel_pull_new_file(path.c_str());
        ASSERT_EQ(pull_events(file), expected);
        quorvel_pull_free(file);
    }
    std::remove(path.c_str());
}

// A tree as the streaming readers see it: elements with prefix, namespace
// declarations and attributes, and text (CDATA included) joined per run;
// comments and PIs, which iterparse does not build, left out.
void shape(const quorvel_node* n, std::string& out, std::string& text) {
    auto flush = [&] {
        if (!text.empty()) out += "\"" + text + "\"";
        text.clear();
    };
    switch (n->kind) {
        case QUORVEL_NODE_TEXT: text += quorvel_text_get_content(reinterpret_cast<const quorvel_text*>(n)); return;
        case QUORVEL_NODE_CDATA: text += reinterpret_cast<const quorvel_comment*>(n)->content; return;
        case QUORVEL_NODE_ELEMENT: break;
        default: return;
    }
    flush();
    auto* e = const_cast<quorvel_element*>(reinterpret_cast<const quorvel_element*>(n));
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    out += "<";
    if (ext && ext->prefix) out += std::string(ext->prefix) + ":";
    out += quorvel_elem_name_raw(e);
    if (ext)
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next)
            out += std::string(" xmlns") + (d->prefix ? ":" + std::string(d->prefix) : "") + "=" + d->uri;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        out += std::string(" ") + a->name + "=[" + quorvel_attribute_read_value(e, a) + "]";
    out += ">";
    for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) shape(c, out, text);
    flush();
    out += "</>";
}

std::string shape_of(quorvel_element* root) {
    std::string out, text;
    shape(quorvel_element_as_node(root), out, text);
    return out;
}

// Where both accept a document, iterparse's tree is the document parser's.
// Documents whose DTD declares entities or attribute lists are left out: the
// streaming readers do not read DTDs.
TEST(StreamingConformance, IterparseBuildsTheDocumentParsersTree) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(data, "xmlconf");
    size_t compared = 0;
    for (const input& in : inputs()) {
        if (in.text.empty() || in.text.find("<!ENTITY") != std::string::npos ||
            in.text.find("<!ATTLIST") != std::string::npos)
            continue;
        SCOPED_TRACE(in.name);
        int status = 0;
        quorvel_document* dom = quorvel_parse_string_flags(in.text.data(), in.text.size(), 0, &status);
        quorvel_iterparse* it = quorvel_iterparse_new_ex(in.text.data(), in.text.size(), 1);
        quorvel_element* last = nullptr;
        while (quorvel_element* e = quorvel_iterparse_next(it)) last = e;
        if (dom && status == 0 && last && !quorvel_iterparse_error(it)) {
            EXPECT_EQ(shape_of(last), shape_of(quorvel_document_root(dom)));
            compared++;
        }
        quorvel_iterparse_free(it);
        quorvel_document_free(dom);
    }
    EXPECT_GT(compared, 500u);
}

}  // namespace
