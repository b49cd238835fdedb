// The parse fast path against the document parser: every parser test
// input (string literals of the parser tests' sources), the conformance
// documents and generated plain documents go down both roads, which must
// build the same records, serialize alike and report the same source
// positions, or the fast path must decline. Also its switches, its
// statistics line and its behaviour when memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "parser/tree_dump.h"
#include "support/failing_alloc.h"
#include "support/fast_mode.h"
#include "support/testdata.h"

namespace {

// ---- A dump of every record field a reader can reach ----------------------------------------

struct record_dump {
    std::map<const quorvel_element*, size_t> ordinal;  // elements in walk order
    std::string out;

    void text_of(const char* p, size_t n) {
        for (size_t i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c < 0x20 || c == '\\') {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\%02x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }

    void node(const quorvel_node* n, const quorvel_element* parent) {
        out += "{k" + std::to_string(n->kind) + " f" + std::to_string(n->flags) + " @" + std::to_string(n->source_pos);
        quorvel_node* up = quorvel_node_parent_raw(n);
        if (up != (parent ? &parent->head : nullptr)) out += " WRONG-PARENT";
        if (n->kind == QUORVEL_NODE_TEXT) {
            auto* t = reinterpret_cast<const quorvel_text*>(n);
            out += " owner" + std::to_string(t->owner) + " \"";
            text_of(quorvel_text_get_content(t), t->length);
            out += "\"}";
            return;
        }
        if (n->kind != QUORVEL_NODE_ELEMENT) {
            out += " other}";
            return;
        }
        auto* e = reinterpret_cast<const quorvel_element*>(n);
        ordinal.emplace(e, ordinal.size());
        out += " e" + std::to_string(e->eflags & ~kElemRegistered) + " h" + std::to_string(e->name_hash) + " a" +
               std::to_string(e->attr_count) + " l" + std::to_string(e->name_length) + " c" +
               std::to_string(e->child_count) + " <";
        const quorvel_element_ext* ext = quorvel_elem_ext(e);
        if (ext) {
            out += "[ext ";
            if (ext->prefix) out += std::string(ext->prefix) + ":";
            if (ext->ns_uri || ext->ns_decls || ext->child_changes || ext->cache_child || ext->text_copy) out += " DIRTY";
            out += "]";
        }
        auto* writable = const_cast<quorvel_element*>(e);
        size_t raw_count = quorvel_element_attributes_raw(writable, nullptr, nullptr, 0);
        std::vector<const char*> raw_names(raw_count), raw_values(raw_count);
        quorvel_element_attributes_raw(writable, raw_names.data(), raw_values.data(), raw_count);
        for (size_t i = 0; i < raw_count; i++) {
            out += "raw(" + std::string(raw_names[i]) + "=";
            text_of(raw_values[i], std::strlen(raw_values[i]));
            out += ") ";
        }
        out += quorvel_elem_name_raw(e);
        for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
            out += " " + std::string(a->name) + "/" + std::to_string(a->name_length) + " h" + std::to_string(a->hash) +
                   "=[";
            std::string v = test_support::attribute_value(a);
            text_of(v.data(), v.size());
            out += "]";
            if (auto* ns = static_cast<const quorvel_attr_ns*>(quorvel_link_get(a, &a->ns))) {
                out += "{ns " + std::string(ns->prefix ? ns->prefix : "(null)");
                if (ns->owner != e || ns->ns_uri || ns->uri_view.length) out += " WRONG";
                out += "}";
            }
        }
        out += ">";
        for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) node(c, e);
        out += "}";
    }

    explicit record_dump(const quorvel_document* doc) {
        out += "top:";
        for (const quorvel_node* n = doc->first_top; n; n = quorvel_node_next_raw(n)) {
            node(n, nullptr);
            if (n == doc->last_top) out += "(last)";
        }
        out += " root=" + std::to_string(doc->root ? ordinal[doc->root] : 99999);
        out += " ns" + std::to_string(doc->namespaces_in_use) + " decl" + std::to_string(doc->has_declaration) + " sa" +
               std::to_string(doc->standalone) + " dtd" + std::to_string(doc->dtd != nullptr) + " doctype" +
               std::to_string(doc->doctype != nullptr) + " diags" + std::to_string(doc->diag_count) + " strict" +
               std::to_string(doc->strict);
        out += " positions:";
        for (size_t i = 0; i < doc->pos_span_count; i++) {
            auto it = ordinal.find(doc->pos_span_elements + i);
            out += " " + (it == ordinal.end() ? std::string("?") : std::to_string(it->second)) + ":" +
                   std::to_string(doc->pos_spans[i].start) + "-" + std::to_string(doc->pos_spans[i].end);
        }
        for (size_t i = 0; i < doc->pos_count; i++) {
            const quorvel_elem_pos& p = doc->pos_records[i];
            auto it = ordinal.find(p.element);
            out += " " + (it == ordinal.end() ? std::string("?") : std::to_string(it->second)) + ":" +
                   std::to_string(p.start) + "-" + std::to_string(p.end);
        }
        out += " length:" + std::to_string(doc->retained_length) + " lines:" + std::to_string(doc->lines.count);
    }
};

// Serialization and every node's source position, through the public API.
std::string public_view(quorvel_document* doc) {
    if (!doc) return "<no document>";
    std::string out;
    char* text = quorvel_document_serialize(doc, nullptr);
    out += text ? text : "<no text>";
    quorvel_free_string(text);
    out += "\n";
    std::vector<quorvel_node*> stack;
    for (quorvel_node* c = quorvel_document_first_child(doc); c; c = quorvel_node_next_sibling(c)) stack.push_back(c);
    std::vector<quorvel_node*> order;
    // Depth first in document order.
    std::vector<quorvel_node*> todo(stack.rbegin(), stack.rend());
    while (!todo.empty()) {
        quorvel_node* n = todo.back();
        todo.pop_back();
        quorvel_source_position p{};
        quorvel_node_source_position(n, &p);
        out += std::to_string(quorvel_node_byte_offset(n)) + ":" + std::to_string(p.line) + "." +
               std::to_string(p.column) + "." + std::to_string(p.end_column) + " ";
        std::vector<quorvel_node*> children;
        for (quorvel_node* c = quorvel_node_first_child(n); c; c = quorvel_node_next_sibling(c)) children.push_back(c);
        todo.insert(todo.end(), children.rbegin(), children.rend());
    }
    return out;
}

struct road_counts {
    size_t inputs = 0;
    size_t fast = 0;  // inputs the fast path built
};

// Both roads over one text under one set of parse flags.
void compare_roads(const std::string& text, int flags, road_counts* counts) {
    int drop = flags & 0x01, defaults = flags & 0x02, refs = flags & 0x04;
    counts->inputs++;
    {
        fast_mode on(1);
        quorvel_document* fast = dp_il_try_flags(text.data(), text.size(), drop, refs, defaults, (flags & 0x10) != 0);
        if (fast) {
            counts->fast++;
            quorvel_document* slow =
                direct_parse_internal(text.data(), text.size(), flags & 0x18, kParseCopy, drop, defaults, refs, 0);
            EXPECT_NE(slow, nullptr) << "the fast path accepted what the document parser rejects";
            if (slow) {
                EXPECT_EQ(record_dump(fast).out, record_dump(slow).out);
                test_support::expect_terminated(&fast->root->head);
            }
            quorvel_document_free(slow);
        }
        quorvel_document_free(fast);
    }
    std::string views[2], errors[2];
    int statuses[2];
    for (int mode = 0; mode < 2; mode++) {
        fast_mode m(mode);
        quorvel_set_last_error("");
        quorvel_document* doc = flags < 0 ? quorvel_parse_string(text.data(), text.size(), &statuses[mode])
                                          : quorvel_parse_string_flags(text.data(), text.size(), flags, &statuses[mode]);
        views[mode] = public_view(doc);
        const char* error = quorvel_last_error();
        errors[mode] = error ? error : "";
        quorvel_document_free(doc);
    }
    EXPECT_EQ(statuses[0], statuses[1]);
    EXPECT_EQ(views[0], views[1]);
    EXPECT_EQ(errors[0], errors[1]);
}

void compare_all_flags(const std::string& text, road_counts* counts) {
    SCOPED_TRACE(text.substr(0, 200));
    for (int flags : {0, 0x01, 0x08, 0x10, 0x19}) {
        SCOPED_TRACE(flags);
        compare_roads(text, flags, counts);
    }
}

// ---- Test inputs --------------------------------------------------------------------------

// The string literals of a C++ source (adjacent ones joined), those that
// hold a '<'.
std::vector<std::string> literals_of(const std::string& src) {
    std::vector<std::string> found;
    std::string current;
    bool open = false;  // a literal was read and may continue
    auto flush = [&] {
        if (open && current.find('<') != std::string::npos) found.push_back(current);
        current.clear();
        open = false;
    };
    size_t i = 0;
    while (i < src.size()) {
        char c = src[i];
        if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
            i = src.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (c == '\'' ) {  // a character literal
            i++;
            while (i < src.size() && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
            i++;
            flush();
            continue;
        }
        if (c == 'R' && i + 1 < src.size() && src[i + 1] == '"') {
            size_t paren = src.find('(', i + 2);
            std::string delim = ")" + src.substr(i + 2, paren - i - 2) + "\"";
            size_t close = src.find(delim, paren);
            current += src.substr(paren + 1, close - paren - 1);
            open = true;
            i = close + delim.size();
            continue;
        }
        if (c == '"') {
            i++;
            while (i < src.size() && src[i] != '"') {
                char d = src[i++];
                if (d != '\\') {
                    current += d;
                    continue;
                }
                char e = src[i++];
                switch (e) {
                    case 'n': current += '\n'; break;
                    case 't': current += '\t'; break;
                    case 'r': current += '\r'; break;
                    case '0': current += '\0'; break;
                    case 'x': {
                        size_t used = 0;
                        int v = std::stoi(src.substr(i, 2), &used, 16);
                        current += static_cast<char>(v);
                        i += used;
                        break;
                    }
                    default: current += e; break;
                }
            }
            i++;
            open = true;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(c))) flush();
        i++;
    }
    flush();
    return found;
}

std::vector<std::string> parser_test_inputs() {
    std::vector<std::string> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVEL_TEST_SOURCE_DIR "/parser")) {
        if (entry.path().extension() != ".cpp") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        for (std::string& s : literals_of(ss.str())) inputs.push_back(std::move(s));
    }
    return inputs;
}

// Plain documents with the features the fast path handles, and now and
// then one it must decline.
std::string generated_document(std::mt19937& rng, bool plain) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char* const kNames[] = {"a", "b", "item", "p:a", "p:b", "q:item", "a:b:c", "r:x", "x:r", "ab",
                                         "n.1", "n-2", "\xC3\xA9t\xC3\xA9", "long_name_of_some_length"};
    static const char* const kAttrNames[] = {"k", "id", "x:y", "x:y:z", "r:c", "c:r", "xm", "p:k", "q:k", "v"};
    static const char* const kValues[] = {"1", "", "a b", "t\tab", "l\nf", "c\r\nr", "c\rr", "<lt>", "\"", "'",
                                          "\xE2\x82\xAC", "  x  "};
    static const char* const kTexts[] = {"t", " ", "\n  ", "x\r\ny\rz", "a > b", "\xF0\x9F\x98\x80", "]]>",
                                         "\t", "word word"};
    static const char* const kBreakers[] = {"&amp;", "<!-- c -->", "<?pi d?>", "<![CDATA[x]]>", "&#65;"};
    std::string out = pick(4) == 0 ? "\xEF\xBB\xBF" : "";
    if (pick(3) == 0) out += " \n";
    int budget = 10 + pick(200);
    int breaker_at = plain || pick(2) ? -1 : pick(budget);
    std::vector<std::string> open;
    auto attrs = [&] {
        int n = pick(5) == 0 ? 8 + pick(12) : pick(3);
        std::vector<std::string> used;
        std::string s;
        for (int i = 0; i < n; i++) {
            std::string name = kAttrNames[pick(10)];
            if (n > 3) name += std::to_string(i);
            if (plain && std::find(used.begin(), used.end(), name) != used.end()) continue;
            used.push_back(name);
            char quote = pick(2) ? '"' : '\'';
            std::string value = kValues[pick(12)];
            if (value.find(quote) != std::string::npos) value = "q";
            s += (pick(4) == 0 && i ? "" : " ") + name + (pick(5) == 0 ? " = " : "=") + quote + value + quote;
        }
        return s;
    };
    auto element_name = [&](bool closable) {
        for (;;) {
            std::string n = kNames[pick(14)];
            if (n.size() > 20 && pick(2)) n += std::string(260, 'n');  // past the 8-bit length
            size_t colon = n.find(':');
            bool ok = colon == std::string::npos ||
                      (colon > 0 && colon + 1 < n.size() && n.find(':', colon + 1) == std::string::npos);
            if (!closable || ok) return n;
        }
    };
    std::string root = element_name(true);
    out += "<" + root + attrs() + ">";
    open.push_back(root);
    for (int step = 0; step < budget; step++) {
        if (step == breaker_at) out += kBreakers[pick(5)];
        int what = pick(10);
        if (what < 3 && open.size() < 40) {
            std::string n = element_name(plain || pick(8));
            out += "<" + n + attrs() + (pick(6) == 0 ? " " : "") + ">";
            open.push_back(n);
        } else if (what < 5) {
            out += "<" + element_name(false) + attrs() + (pick(3) == 0 ? " />" : "/>");
        } else if (what < 8) {
            out += kTexts[pick(9)];
            if (!plain && pick(30) == 0) out += std::string(1, '\0');  // refused by both roads
        } else if (open.size() > 1) {
            out += "</" + open.back() + (pick(6) == 0 ? "\n>" : ">");
            open.pop_back();
        }
    }
    while (!open.empty()) {
        out += "</" + open.back() + ">";
        open.pop_back();
    }
    if (pick(3) == 0) out += "\n  ";
    if (!plain && pick(4) == 0) out += pick(2) ? std::string(1, '\0') + "x" : "<extra/>";
    return out;
}

// ---- Tests ----------------------------------------------------------------------------------

TEST(FastPathDifferential, ParserTestInputs) {
    std::vector<std::string> inputs = parser_test_inputs();
    ASSERT_GT(inputs.size(), 100u);
    road_counts counts;
    for (const std::string& text : inputs) {
        compare_all_flags(text, &counts);
        compare_roads(text, -1, &counts);
    }
    EXPECT_GT(counts.fast, 100u);
}

TEST(FastPathDifferential, ConformanceDocuments) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(dir, "xmlconf");
    road_counts counts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        SCOPED_TRACE(entry.path().string());
        compare_all_flags(ss.str(), &counts);
        compare_roads(ss.str(), -1, &counts);
    }
    EXPECT_GT(counts.inputs, 1000u);
    EXPECT_GT(counts.fast, 100u);
}

TEST(FastPathDifferential, GeneratedDocuments) {
    std::mt19937 rng(20240611);
    road_counts counts;
    for (int i = 0; i < 600; i++) compare_all_flags(generated_document(rng, i % 3 != 0), &counts);
    EXPECT_GT(counts.fast, counts.inputs / 3);
}

TEST(FastPath, MultiColonNamesBuildTheDocumentParsersTree) {
    fast_mode on(1);
    const std::string text = "<r a:b:c='1' d='2' e:f='3'><x:y:z/><w/><p:q>t</p:q></r>";
    quorvel_document* fast = dp_il_try(text.data(), text.size(), 0, 0, 0);
    ASSERT_NE(fast, nullptr);
    const quorvel_element* root = fast->root;
    const quorvel_attribute* a = quorvel_elem_first_attr(root);
    auto prefix = [](const quorvel_attribute* attr) {
        return std::string(static_cast<const quorvel_attr_ns*>(quorvel_link_get(attr, &attr->ns))->prefix);
    };
    EXPECT_EQ(prefix(a), "a:b");
    EXPECT_EQ(quorvel_attr_next(a)->ns, 0);
    EXPECT_EQ(prefix(quorvel_attr_next(quorvel_attr_next(a))), "e");
    auto* x = reinterpret_cast<const quorvel_element*>(quorvel_elem_first_child_raw(root));
    EXPECT_STREQ(quorvel_elem_name_raw(x), "z");
    EXPECT_STREQ(quorvel_elem_ext(x)->prefix, "x:y");
    auto* w = reinterpret_cast<const quorvel_element*>(quorvel_node_next_raw(&x->head));
    EXPECT_STREQ(quorvel_elem_name_raw(w), "w");
    EXPECT_EQ(quorvel_elem_ext(w), nullptr);
    quorvel_document_free(fast);
}

// A name with an empty prefix or local part: the fast path declines and the
// document parser refuses, naming the byte.
TEST(FastPath, EmptyPrefixOrLocalPartIsRefused) {
    fast_mode on(1);
    struct row {
        std::string text;
        size_t byte;
    };
    const row rows[] = {
        {"<r :d='2'/>", 3}, {"<r e:='3'/>", 4}, {"<r><:w/></r>", 4}, {"<r><v:/></r>", 5},
        {"<r><v: a='1'/></r>", 5}, {"<r xmlns:='u'/>", 8}, {"<r><a:b:/></r>", 7}, {"<:/>", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(dp_il_try(r.text.data(), r.text.size(), 0, 0, 0), nullptr);
        int status = 0;
        EXPECT_EQ(quorvel_parse_string(r.text.data(), r.text.size(), &status), nullptr);
        EXPECT_EQ(status, QUORVEL_ERR_PARSE);
        EXPECT_STREQ(quorvel_last_error(), ("XML parse error at byte " + std::to_string(r.byte) +
                                            ": empty prefix or local part in a name").c_str());
    }
}

TEST(FastPath, TextAndValuesAreNormalisedLikeTheDocumentParser) {
    fast_mode on(1);
    const std::string text = "<r t='a\tb\r\nc'>x\r\ny\rz</r>";
    quorvel_document* doc = dp_il_try(text.data(), text.size(), 0, 0, 0);
    ASSERT_NE(doc, nullptr);
    const quorvel_attribute* a = quorvel_elem_first_attr(doc->root);
    EXPECT_EQ(test_support::attribute_value(a), "a b c");
    const char* raw_names[1];
    const char* raw_values[1];
    ASSERT_EQ(quorvel_element_attributes_raw(doc->root, raw_names, raw_values, 1), 1u);
    EXPECT_STREQ(raw_values[0], "a\tb\r\nc");
    auto* t = reinterpret_cast<const quorvel_text*>(quorvel_elem_first_child_raw(doc->root));
    EXPECT_EQ(std::string(quorvel_text_get_content(t), t->length), "x\ny\nz");
    quorvel_document_free(doc);
}

TEST(FastPath, DropWhitespaceFlag) {
    fast_mode on(1);
    const std::string text = "<r> <c/> </r>";
    for (int drop : {0, 1}) {
        quorvel_document* doc = dp_il_try(text.data(), text.size(), drop, 0, 0);
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(test_support::dump(doc), drop ? "<r><c></></>" : "<r>\" \"<c></>\" \"</>");
        quorvel_document_free(doc);
    }
}

TEST(FastPath, SwitchesAndTheirDefaults) {
    struct row {
        const char* interleaved;
        const char* il_min;
        int enabled;
        int64_t min_size;
    } rows[] = {
        {nullptr, nullptr, 0, 65536}, {"", "", 0, 65536},     {"0", nullptr, 1, 65536}, {"1", "0", 1, 0},
        {"yes", "-5", 1, 0},          {"1", "1000", 1, 1000}, {"1", "abc", 1, 0},
    };
    for (const row& r : rows) {
        dp_env_memo m = dp_env_from(r.interleaved, r.il_min);
        EXPECT_EQ(m.enabled, r.enabled);
        EXPECT_EQ(m.min_size, r.min_size);
    }
    dp_env_memo defaults = dp_env_from("1", nullptr);
    EXPECT_TRUE(dp_env_allows(defaults, 65536));
    EXPECT_FALSE(dp_env_allows(defaults, 65535));
    EXPECT_FALSE(dp_env_allows(dp_env_from(nullptr, "0"), 1 << 20));
    EXPECT_TRUE(dp_env_allows(dp_env_from("1", "-1"), 1));
    const std::string text = "<a/>";
    {
        fast_mode off(0);
        EXPECT_EQ(dp_il_try(text.data(), text.size(), 0, 0, 0), nullptr);
    }
    fast_mode on(1);
    // Never under kept references or DTD defaults.
    EXPECT_EQ(dp_il_try(text.data(), text.size(), 0, 1, 0), nullptr);
    EXPECT_EQ(dp_il_try(text.data(), text.size(), 0, 0, 1), nullptr);
    quorvel_document* doc = dp_il_try(text.data(), text.size(), 0, 0, 0);
    EXPECT_NE(doc, nullptr);
    quorvel_document_free(doc);
}

TEST(FastPath, StatisticsLineOnStandardError) {
    fast_mode on(1);
    const std::string text = "<r a='1' b='2'><c/>t</r>";
    setenv("QUORVEL_IL_STATS", "1", 1);
    testing::internal::CaptureStderr();
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("QUORVEL_IL_STATS");
    EXPECT_NE(doc, nullptr);
    quorvel_document_free(doc);
    EXPECT_NE(err.find("il: records=3 attrs=2\n"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    doc = quorvel_parse_string(text.data(), text.size(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    quorvel_document_free(doc);
}

// The environment is read once per process: a fresh child process reads it.
TEST(FastPath, EnvironmentTurnsItOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("QUORVEL_INTERLEAVED", "0", 1);
            setenv("QUORVEL_IL_MIN", "-1", 1);
            setenv("QUORVEL_IL_STATS", "1", 1);
            const std::string text = "<r a='1'><c/>t</r>";
            quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), nullptr);
            std::exit(doc ? 0 : 1);
        },
        testing::ExitedWithCode(0), "il: records=3 attrs=1");
}

TEST(FastPath, NoPositionsFlagLeavesColumnsOutOnBothRoads) {
    const std::string text = "<r>\n <c/></r>";
    for (int mode : {0, 1}) {
        for (int flags : {0, 0x10}) {
            SCOPED_TRACE(mode * 100 + flags);
            fast_mode m(mode);
            quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), flags, nullptr);
            ASSERT_NE(doc, nullptr);
            EXPECT_EQ(doc->pos_span_count, flags ? 0u : 2u);
            EXPECT_EQ(doc->pos_count, 0u);
            quorvel_source_position p{};
            quorvel_node_source_position(quorvel_node_next_raw(quorvel_elem_first_child_raw(doc->root)), &p);
            EXPECT_EQ(p.line, 2);
            EXPECT_EQ(p.end_column, flags ? 0 : 6);
            quorvel_document_free(doc);
        }
    }
}

TEST(FastPath, FailingAllocationsDeclineCleanly) {
    // Names with prefixes and normalised values need pool blocks past the
    // arena's estimate only when it is wrong; the arena itself is hooked.
    std::string text = "<r>";
    for (int i = 0; i < 300; i++) text += "<p:e x:a='" + std::to_string(i) + "\t' b='v'>t\r\n</p:e>";
    text += "</r>";
    fast_mode on(1);
    quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
    bool built = false;
    for (int n = 0; n < 50 && !built; n++) {
        SCOPED_TRACE(n);
        hooks::countdown = n;
        hooks::live = 0;
        quorvel_document* doc = dp_il_try(text.data(), text.size(), 0, 0, 0);
        built = doc != nullptr;
        quorvel_document_free(doc);
        EXPECT_EQ(hooks::live, 0);
    }
    quorvel_set_memory_management_functions(nullptr, nullptr);
    hooks::countdown = -1;
    EXPECT_TRUE(built);
}

}  // namespace
