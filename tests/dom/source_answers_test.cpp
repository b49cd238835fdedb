// Source positions, raw start-tag attributes and failure reports on
// generated documents with CRLF, CR, tabs, multi-byte characters, references
// in attribute values and long lines: every answer is folded into a digest
// and checked against a model computed from the input text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dom/dom.h"
#include "support/fast_mode.h"

namespace {

struct digest {
    uint64_t h = 1469598103934665603ull;
    void add(const void* p, size_t n) {
        for (size_t i = 0; i < n; i++) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    }
    void add(long long v) { add(&v, sizeof v); }
    void add(const char* s) { add(s ? s : "(null)", std::strlen(s ? s : "(null)") + 1); }
};

// Line and byte column as the model has them: lines count LF only, a
// column counts bytes from just past the last LF.
int model_line(const std::string& text, size_t offset) {
    int line = 1;
    for (size_t i = 0; i < offset && i < text.size(); i++) line += text[i] == '\n';
    return line;
}

// The attributes of the start tag at offset, as written in text.
std::vector<std::pair<std::string, std::string>> model_raw(const std::string& text, size_t offset) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t p = offset + 1;
    auto name_char = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || c == '-' || c == '.' ||
               static_cast<unsigned char>(c) >= 0x80;
    };
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (p < text.size() && name_char(text[p])) p++;
    for (;;) {
        while (p < text.size() && space(text[p])) p++;
        if (p >= text.size() || !name_char(text[p])) break;
        size_t n = p;
        while (p < text.size() && name_char(text[p])) p++;
        std::string name = text.substr(n, p - n);
        while (space(text[p])) p++;
        p++;  // '='
        while (space(text[p])) p++;
        char quote = text[p++];
        size_t close = text.find(quote, p);
        out.emplace_back(name, text.substr(p, close - p));
        p = close + 1;
    }
    return out;
}

struct walker {
    const std::string& text;
    quorvel_document* doc;
    digest& d;
    void node(quorvel_node* n) {
        quorvel_source_position pos;
        quorvel_node_source_position(n, &pos);
        size_t offset = quorvel_node_byte_offset(n);
        d.add(quorvel_node_get_type(n));
        d.add(static_cast<long long>(offset));
        d.add(pos.line);
        d.add(pos.column);
        d.add(pos.end_column);
        if (pos.line) {
            EXPECT_EQ(pos.line, model_line(text, offset)) << offset;
        }
        if (quorvel_node_get_type(n) == QUORVEL_NODE_ELEMENT) {
            auto* e = quorvel_node_as_element(n);
            const char* names[64];
            const char* values[64];
            size_t count = quorvel_element_attributes_raw(e, names, values, 64);
            d.add(static_cast<long long>(count));
            std::vector<std::pair<std::string, std::string>> model;
            if (n->source_pos) model = model_raw(text, offset);
            EXPECT_EQ(count, model.size()) << offset;
            for (size_t i = 0; i < count; i++) {
                d.add(names[i]);
                d.add(values[i]);
                if (i < model.size()) {
                    EXPECT_EQ(model[i].first, names[i]);
                    EXPECT_EQ(model[i].second, values[i]);
                }
            }
            EXPECT_EQ(quorvel_element_attributes_raw(e, nullptr, nullptr, 0), count);
        }
        for (quorvel_node* c = quorvel_node_first_child(n); c; c = quorvel_node_next_sibling(c)) node(c);
    }
};

const char* const kBreaks[] = {"\n", "\r\n", "\r", "\t", " ", "\n\n"};
const char* const kWords[] = {"plain", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80x", "a&amp;b",
                              "&#x20AC;", "&lt;&gt;", "x&#10;y", "tab\there", "cr\r\nlf", "q'q", ""};

std::string generate(std::mt19937& rng) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    std::string out;
    if (pick(2)) out += "<?xml version=\"1.0\"?>" + std::string(kBreaks[pick(6)]);
    out += "<root xmlns:p=\"urn:p\"";
    out += kBreaks[pick(6)];
    out += "a=\"1\">";
    int depth = 1;
    size_t elements = 5 + pick(40);
    for (size_t i = 0; i < elements; i++) {
        out += kBreaks[pick(6)];
        if (pick(5) == 0) out += std::string(200 + pick(3000), 'w');
        if (depth > 1 && pick(3) == 0) {
            out += depth % 2 ? "</p:f>" : "</e>";
            depth--;
            continue;
        }
        const char* name = depth % 2 ? "e" : "p:f";
        out += "<";
        out += name;
        size_t attributes = pick(5);
        for (size_t k = 0; k < attributes; k++) {
            out += kBreaks[pick(6)];
            out += "at" + std::to_string(k);
            if (pick(3) == 0) out += kBreaks[pick(5)];
            out += "=";
            if (pick(3) == 0) out += " ";
            std::string value = kWords[pick(12)];
            if (pick(2)) value += kBreaks[pick(6)];
            bool single = value.find('\'') == std::string::npos && pick(2);
            out += single ? "'" + value + "'" : "\"" + value + "\"";
        }
        if (pick(4) == 0 && attributes == 0) out += " xmlns:q=\"urn:q\"";
        if (pick(3) == 0) {
            out += "/>";
        } else {
            out += ">";
            out += kWords[pick(12)];
            depth++;
        }
    }
    while (depth > 1) {
        out += depth % 2 ? "</p:f>" : "</e>";
        depth--;
    }
    out += kBreaks[pick(6)];
    out += "</root>";
    return out;
}

enum class way { copy, in_place, no_positions, fast };

uint64_t run_all(way w, bool failures) {
    std::mt19937 rng(20261211);
    digest d;
    fast_mode mode(w == way::fast ? 1 : 0);
    for (int round = 0; round < 120; round++) {
        std::string text = generate(rng);
        if (failures) {
            // Cut short or a stray byte: the report's line and column.
            size_t at = rng() % text.size();
            if (round % 2) text.resize(at); else text.insert(at, "<");
        }
        int status = 0;
        quorvel_document* doc = nullptr;
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        switch (w) {
            case way::copy:
            case way::fast: doc = quorvel_parse_string(text.data(), text.size(), &status); break;
            case way::in_place: doc = quorvel_parse_string_inplace(buffer.data(), text.size(), &status); break;
            case way::no_positions:
                doc = quorvel_parse_string_flags(text.data(), text.size(), QUORVEL_PARSE_NO_POSITIONS, &status);
                break;
        }
        d.add(status);
        if (!doc) {
            int line = 0, column = 0;
            quorvel_last_error_position(&line, &column);
            d.add(quorvel_last_error());
            d.add(line);
            d.add(column);
            if (!failures) ADD_FAILURE() << text;
            continue;
        }
        // The input's bytes are gone before the questions come.
        std::fill(buffer.begin(), buffer.end(), '#');
        walker wk{text, doc, d};
        for (quorvel_node* n = quorvel_document_first_child(doc); n; n = quorvel_node_next_sibling(n)) wk.node(n);
        quorvel_document_free(doc);
    }
    return d.h;
}

TEST(SourceAnswers, ParsedDocuments) {
    // The digests of every answer as a parse that kept a copy of its input
    // gave them.
    EXPECT_EQ(run_all(way::copy, false), 1597169032447313651ull);
    EXPECT_EQ(run_all(way::in_place, false), 1597169032447313651ull);
    EXPECT_EQ(run_all(way::no_positions, false), 10405711428720727920ull);
    EXPECT_EQ(run_all(way::fast, false), 1597169032447313651ull);
}

TEST(SourceAnswers, FailureReports) {
    EXPECT_EQ(run_all(way::copy, true), 12100864216376955990ull);
    EXPECT_EQ(run_all(way::in_place, true), 12100864216376955990ull);
}

}  // namespace

namespace {

// Prefixed names beside names that follow a tag's name without a space.
TEST(SourceAnswers, RawAttributesBesidePrefixes) {
    const std::string text =
        "<r xmlns:p='u' xmlns:a='v'><p:f\ta:b='1' xmlns:c='w' c:d=\"2\">x</p:f><e\ta:b='1'/>"
        "<p:e a='1'/><a:e\r\nx\r\n=\r\n'&#10;'\tp:y='\t'/></r>";
    digest d;
    for (int way = 0; way < 2; way++) {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        int status = 0;
        quorvel_document* doc = way ? quorvel_parse_string_inplace(buffer.data(), text.size(), &status)
                                    : quorvel_parse_string(text.data(), text.size(), &status);
        ASSERT_NE(doc, nullptr) << quorvel_last_error();
        std::fill(buffer.begin(), buffer.end(), '#');
        walker{text, doc, d}.node(quorvel_document_first_child(doc));
        quorvel_document_free(doc);
    }
}

}  // namespace
