// Working memory of serialization and canonical XML comes from the calling
// thread's allocation hooks: failing each allocation in turn gives a failure
// (never a shortened text reported as success), leaves nothing allocated,
// and once nothing fails the output is the one made without hooks.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "output/output.h"
#include "quorvel.h"
#include "support/failing_alloc.h"

namespace {

// Declaration, doctype with a subset, comments and a PI around the root,
// namespaces, values to escape and to decode, CDATA, an entity reference
// node, HTML-ish names, and a chain deeper than the writers' inline stacks.
std::string sample_document() {
    std::string s =
        "<?xml version='1.0' encoding='UTF-8'?>"
        "<!DOCTYPE html [<!ENTITY who 'world &amp; more'><!ATTLIST p lang CDATA 'en'>]>"
        "<!-- before --><?pi data?>"
        "<html xmlns:x='urn:x' a='1 &lt; 2' x:b='&#65;&amp;&quot;'><head/><body>"
        "<p>hello &who; <![CDATA[a]]>b]]></p><pre x:q=\"t'\">line&#13;two</pre>"
        "<x:list xmlns='urn:d'><item>one</item><item/><br/></x:list>";
    for (int i = 0; i < 150; i++) s += "<d" + std::to_string(i % 5) + " n='" + std::to_string(i) + "'>";
    s += std::string(3000, 't');
    for (int i = 149; i >= 0; i--) s += "</d" + std::to_string(i % 5) + ">";
    return s + "</body></html><!-- after -->";
}

constexpr int kFlags = QUORVEL_PARSE_DTD_DEFAULTS | QUORVEL_PARSE_KEEP_ENTITY_REFS;

// One operation on a freshly parsed document: its text, or "<null>" on
// failure (file forms give the file's content, or "<status N>").
using operation = std::function<std::string(quorvel_document*)>;

std::string take(char* s) {
    if (!s) return "<null>";
    std::string out(s);
    quorvel_free_string(s);
    return out;
}

std::string through_buffer(size_t (*into)(void*, char*, size_t, size_t*, const quorvel_serialize_options*),
                           void* node, const quorvel_serialize_options* options) {
    size_t length = 0;
    size_t need = into(node, nullptr, 0, &length, options);
    if (!need) return "<null>";
    std::string out(need, '\0');
    if (into(node, out.data(), out.size(), &length, options) != need) return "<null>";
    out.resize(length);
    return out;
}

std::string saved(quorvel_status (*save)(quorvel_document*, const char*, const quorvel_serialize_options*),
                  quorvel_document* doc, const quorvel_serialize_options* options) {
    std::string path = testing::TempDir() + "quorvel_alloc_hooks_out.xml";
    int status = save(doc, path.c_str(), options);
    if (status) return "<status " + std::to_string(status) + ">";
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) out.append(chunk, n);
        std::fclose(f);
    }
    std::remove(path.c_str());
    return out;
}

quorvel_element* body(quorvel_document* doc) {
    quorvel_element* html = quorvel_document_root(doc);
    return quorvel_element_next_sibling_any(quorvel_element_first_child_any(html));
}

struct named_operation {
    const char* name;
    operation run;
};

std::vector<named_operation> operations() {
    static const quorvel_serialize_options indented{2, 1, "ISO-8859-1"};
    static const quorvel_serialize_ext_options layout{1, "\t", 1, -1, 1};
    static const quorvel_serialize_ext_options html{0, nullptr, 0, 1, 1};
    static const char* const cdata_names[] = {"p", "item"};
    static const char* const inclusive[] = {"x", nullptr};
    return {
        {"document", [](quorvel_document* d) { return take(quorvel_document_serialize(d, nullptr)); }},
        {"document indented", [](quorvel_document* d) { return take(quorvel_document_serialize(d, &indented)); }},
        {"document with layout", [](quorvel_document* d) { return take(quorvel_document_serialize_ext(d, &indented, &layout)); }},
        {"document as HTML", [](quorvel_document* d) { return take(quorvel_document_serialize_html(d, &indented)); }},
        {"document as XHTML with CDATA elements",
         [](quorvel_document* d) {
             serialize_ex_options ex{};
             ex.cdata_names = cdata_names;
             ex.cdata_count = 2;
             ex.xhtml = 1;
             ex.method = -1;
             return take(quorvel_document_serialize_ex(d, &indented, &ex));
         }},
        {"serialize_document", [](quorvel_document* d) { return take(quorvel_serialize_document(d)); }},
        {"document into a buffer",
         [](quorvel_document* d) {
             return through_buffer(
                 [](void* n, char* b, size_t c, size_t* l, const quorvel_serialize_options* o) {
                     return quorvel_document_serialize_into(static_cast<quorvel_document*>(n), b, c, l, o);
                 },
                 d, &indented);
         }},
        {"element", [](quorvel_document* d) { return take(quorvel_element_serialize(body(d), &indented)); }},
        {"element as HTML", [](quorvel_document* d) { return take(quorvel_element_serialize_ext(body(d), &indented, &html)); }},
        {"element into a buffer",
         [](quorvel_document* d) {
             return through_buffer(
                 [](void* n, char* b, size_t c, size_t* l, const quorvel_serialize_options* o) {
                     return quorvel_element_serialize_into(static_cast<quorvel_element*>(n), b, c, l, o);
                 },
                 body(d), nullptr);
         }},
        {"file", [](quorvel_document* d) { return saved(quorvel_document_save_file, d, &indented); }},
        {"HTML file", [](quorvel_document* d) { return saved(quorvel_document_save_html, d, nullptr); }},
        {"canonical", [](quorvel_document* d) { return take(quorvel_c14n_canonicalize(d)); }},
        {"canonical with comments",
         [](quorvel_document* d) { return take(quorvel_c14n_canonicalize_ex(d, nullptr, QUORVEL_C14N_INCLUSIVE, nullptr, 1)); }},
        {"exclusive canonical",
         [](quorvel_document* d) {
             return take(quorvel_c14n_canonicalize_ex(d, nullptr, QUORVEL_C14N_EXCLUSIVE, const_cast<const char**>(inclusive), 0));
         }},
        {"exclusive canonical with comments",
         [](quorvel_document* d) { return take(quorvel_c14n_canonicalize_ex(d, nullptr, QUORVEL_C14N_EXCLUSIVE, nullptr, 1)); }},
        {"canonical subtree", [](quorvel_document* d) { return take(quorvel_c14n_canonicalize_subtree(body(d))); }},
        {"exclusive canonical subtree",
         [](quorvel_document* d) {
             return take(quorvel_c14n_canonicalize_subtree_ex(body(d), nullptr, QUORVEL_C14N_EXCLUSIVE, nullptr, 1));
         }},
    };
}

// Whether the countdown refused an allocation.
bool g_refused = false;
void* watched_alloc(size_t n) {
    void* p = hooks::failing_alloc(n);
    if (!p) g_refused = true;
    return p;
}

// Parses without hooks, runs op with hooks failing after `succeed`
// allocations (-1: none fails), frees everything; *failed tells whether an
// allocation was refused.
std::string run_hooked(const std::string& text, const operation& op, int succeed, bool* failed) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), kFlags, &status);
    EXPECT_EQ(status, 0);
    hooks::countdown = succeed;
    hooks::live = 0;
    g_refused = false;
    quorvel_set_memory_management_functions(watched_alloc, hooks::counted_free);
    std::string out = op(doc);
    *failed = g_refused;
    hooks::countdown = -1;
    quorvel_document_free(doc);
    quorvel_set_memory_management_functions(nullptr, nullptr);
    return out;
}

TEST(OutputAllocationHooks, EveryAllocationCanFailCleanly) {
    const std::string text = sample_document();
    for (const named_operation& op : operations()) {
        SCOPED_TRACE(op.name);
        std::string expected;
        {
            int status = 0;
            quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), kFlags, &status);
            ASSERT_EQ(status, 0);
            expected = op.run(doc);
            quorvel_document_free(doc);
        }
        ASSERT_EQ(expected.find("<null>"), std::string::npos);
        ASSERT_EQ(expected.find("<status"), std::string::npos);

        int failures = 0;
        for (int succeed = 0;; succeed++) {
            bool failed = false;
            std::string out = run_hooked(text, op.run, succeed, &failed);
            EXPECT_EQ(hooks::live, 0) << "after " << succeed << " allocations";
            if (!failed) {
                // Every allocation succeeded: the ordinary output.
                EXPECT_EQ(out, expected);
                break;
            }
            failures++;
            // Either a failure or, when the failed allocation was one the
            // operation can do without, the whole text.
            if (out != expected) {
                EXPECT_TRUE(out == "<null>" || out == "<status -1>") << "after " << succeed << ": " << out.substr(0, 200);
            }
            ASSERT_LT(succeed, 100000);
        }
        // The hooks see the operation's memory: the first allocation failing
        // already stops it.
        EXPECT_GT(failures, 0);
    }
}

}  // namespace
