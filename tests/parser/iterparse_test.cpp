// Iterparse: what each mode returns and keeps, namespace declarations carried
// once and readable on their own, errors, and mode 0's bounded memory over a
// large file streamed from disk.
#include <gtest/gtest.h>
#include <unistd.h>
#include <libxml/parser.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "dom/dom.h"
#include "quorvel.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_HAS_ASAN 1
#endif
#endif
#ifndef QUORVEL_HAS_ASAN
#define QUORVEL_HAS_ASAN 0
#endif

namespace {

std::string text_of(quorvel_element* e) { return quorvel_element_text(quorvel_element_as_node(e)); }

// Serializes an element subtree from its records: declarations from the
// declaration list, attributes from the chain, text escaped.
void write(const quorvel_node* n, std::string& out) {
    if (n->kind == QUORVEL_NODE_TEXT) {
        for (const char* c = quorvel_text_get_content(reinterpret_cast<const quorvel_text*>(n)); *c; c++) {
            if (*c == '<') out += "&lt;";
            else if (*c == '&') out += "&amp;";
            else out += *c;
        }
        return;
    }
    if (n->kind != QUORVEL_NODE_ELEMENT) return;
    auto* e = reinterpret_cast<const quorvel_element*>(n);
    const quorvel_element_ext* ext = quorvel_elem_ext(e);
    std::string name = (ext && ext->prefix ? std::string(ext->prefix) + ":" : "") + quorvel_elem_name_raw(e);
    out += "<" + name;
    if (ext)
        for (const quorvel_ns_decl* d = ext->ns_decls; d; d = d->next)
            out += std::string(" xmlns") + (d->prefix ? std::string(":") + d->prefix : "") + "=\"" + d->uri + "\"";
    for (const quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        out += std::string(" ") + a->name + "=\"" + quorvel_attribute_stored_value(a) + "\"";
    out += ">";
    for (const quorvel_node* c = quorvel_elem_first_child_raw(e); c; c = quorvel_node_next_raw(c)) write(c, out);
    out += "</" + name + ">";
}

// libxml2 as the judge of namespace well-formedness.
bool namespace_well_formed(const std::string& xml) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                  XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    bool ok = doc != nullptr;
    xmlFreeDoc(doc);
    return ok;
}

TEST(Iterparse, ModeZeroReturnsEachChildInItsOwnDocument) {
    const char* doc = "<r><a>1</a>text<b/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new(doc, std::strlen(doc));
    ASSERT_NE(it, nullptr);
    quorvel_element* a = quorvel_iterparse_next(it);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(quorvel_element_name(a), "a");
    EXPECT_EQ(text_of(a), "1");
    quorvel_document* da = quorvel_element_get_document(a);
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(quorvel_document_root(da), a);
    EXPECT_EQ(quorvel_element_parent(a), nullptr);
    quorvel_element* b = quorvel_iterparse_next(it);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(quorvel_element_name(b), "b");
    EXPECT_EQ(quorvel_document_root(quorvel_element_get_document(b)), b);
    EXPECT_EQ(quorvel_iterparse_next(it), nullptr);
    EXPECT_EQ(quorvel_iterparse_error(it), nullptr);
    EXPECT_EQ(quorvel_iterparse_next(it), nullptr);
    quorvel_iterparse_free(it);
}

TEST(Iterparse, ModeOneReturnsChildrenBeforeParents) {
    const char* doc = "<r><a>1</a><b/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new_ex(doc, std::strlen(doc), 1);
    std::string order;
    quorvel_element* last = nullptr;
    while (quorvel_element* e = quorvel_iterparse_next(it)) {
        order += quorvel_element_name(e);
        last = e;
    }
    EXPECT_EQ(order, "abr");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(quorvel_element_child_count(last), 2u);
    EXPECT_EQ(quorvel_document_root(quorvel_element_get_document(last)), last);
    EXPECT_EQ(quorvel_iterparse_error(it), nullptr);
    quorvel_iterparse_free(it);
}

TEST(Iterparse, NamespacesAreDeclaredOnceAndTravelWithTheElement) {
    struct ns_case {
        const char* input;
        const char* first;     // the first returned element as written back
        size_t declarations;   // on the first returned element
        const char* prefix;    // for quorvel_iterparse_ns_uri
        const char* uri;
    };
    const ns_case cases[] = {
        {"<r xmlns:p='u'><p:a/></r>", "<p:a xmlns:p=\"u\"></p:a>", 1, "p", "u"},
        {"<r><p:a xmlns:p='u'/></r>", "<p:a xmlns:p=\"u\"></p:a>", 1, "p", "u"},
        {"<r xmlns='d'><a><b/></a></r>", "<a xmlns=\"d\"><b></b></a>", 1, nullptr, "d"},
        {"<r xmlns:p='u'><a p:x='1'><p:b/></a></r>", "<a xmlns:p=\"u\" p:x=\"1\"><p:b></p:b></a>", 1, "p", "u"},
        {"<r xmlns:p='u'><a xmlns:p='v'><p:b/></a></r>", "<a xmlns:p=\"v\"><p:b></p:b></a>", 1, "p", "v"},
    };
    for (const ns_case& c : cases) {
        SCOPED_TRACE(c.input);
        quorvel_iterparse* it = quorvel_iterparse_new(c.input, std::strlen(c.input));
        quorvel_element* e = quorvel_iterparse_next(it);
        ASSERT_NE(e, nullptr);
        std::string xml;
        write(quorvel_element_as_node(e), xml);
        EXPECT_EQ(xml, c.first);
        EXPECT_TRUE(namespace_well_formed(xml));
        EXPECT_EQ(quorvel_element_namespace_count(e), c.declarations);
        EXPECT_STREQ(quorvel_iterparse_ns_uri(it, c.prefix), c.uri);
        EXPECT_EQ(quorvel_iterparse_ns_count(it), 1u);
        quorvel_iterparse_free(it);
    }
    // A prefixed element's name, prefix and declaration through the public readers.
    const char* doc = "<r xmlns:p='u'><p:a/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new(doc, std::strlen(doc));
    quorvel_element* a = quorvel_iterparse_next(it);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(quorvel_element_name(a), "a");
    EXPECT_STREQ(quorvel_element_prefix(a), "p");
    EXPECT_STREQ(quorvel_element_namespace_decl_prefix(a, 0), "p");
    EXPECT_STREQ(quorvel_element_namespace_decl_uri(a, 0), "u");
    EXPECT_STREQ(quorvel_element_namespace(a), "u");
    EXPECT_EQ(quorvel_iterparse_ns_uri(it, "q"), nullptr);
    quorvel_iterparse_free(it);
}

TEST(Iterparse, ErrorsEndTheIteration) {
    struct error_case {
        const char* input;
        int mode;
        int flags;
        const char* error;
    };
    const error_case cases[] = {
        {"<r><a>", 0, 0, "Unterminated element"},
        {"<r><a></b></r>", 0, 0, "Mismatched closing tag"},
        {"<r><a x='1' x='2'/></r>", 0, 0, "Attribute x redefined"},
        {"<r/><r/>", 1, 0, "Extra content after the root element"},
        {"  ", 0, 0, "No root element"},
        {"<r><a/></r>", 2, 0, "unsupported iterparse mode"},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.input);
        quorvel_iterparse* it = quorvel_iterparse_new_ex_flags(c.input, std::strlen(c.input), c.mode, c.flags);
        while (quorvel_iterparse_next(it)) {
        }
        EXPECT_STREQ(quorvel_iterparse_error(it), c.error);
        quorvel_iterparse_free(it);
    }
    // With 0x08 a repeated attribute keeps its first value.
    const char* doc = "<r><a x='1' x='2'/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new_ex_flags(doc, std::strlen(doc), 0, 0x08);
    quorvel_element* a = quorvel_iterparse_next(it);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(quorvel_element_attribute(a, "x"), "1");
    EXPECT_EQ(quorvel_element_attribute_count(a), 1u);
    quorvel_iterparse_free(it);

    EXPECT_EQ(quorvel_iterparse_new(nullptr, 3), nullptr);
    EXPECT_EQ(quorvel_iterparse_new("x", 0), nullptr);
    EXPECT_EQ(quorvel_iterparse_new_file(""), nullptr);
    EXPECT_EQ(quorvel_iterparse_new_file("/nonexistent/x.xml"), nullptr);
    EXPECT_EQ(quorvel_iterparse_next(nullptr), nullptr);
    EXPECT_EQ(quorvel_iterparse_ns_count(nullptr), 0u);
    EXPECT_EQ(quorvel_iterparse_ns_uri(nullptr, "p"), nullptr);
    EXPECT_EQ(quorvel_iterparse_error(nullptr), nullptr);
    quorvel_iterparse_free(nullptr);
}

TEST(Iterparse, LongPrefixIsCut) {
    std::string prefix(200, 'p');
    std::string doc = "<r><" + prefix + ":a xmlns:" + prefix + "='u'/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new(doc.data(), doc.size());
    quorvel_element* a = quorvel_iterparse_next(it);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::strlen(quorvel_element_prefix(a)), 127u);
    quorvel_iterparse_free(it);
}

size_t resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    return 0;
}

// Mode 0 over a file of about 200 MB with two million children of the
// root: every child comes back and resident memory stays flat.
TEST(Iterparse, ModeZeroStreamsALargeFileInBoundedMemory) {
    std::string path = (std::filesystem::temp_directory_path() / ("quorvel_iterparse_large_" + std::to_string(getpid()) + ".xml")).string();
#if defined(__SANITIZE_ADDRESS__) || QUORVEL_HAS_ASAN
    // Freed blocks wait in the sanitizer's quarantine: resident memory says
    // nothing there, and a smaller file keeps the run short.
    const size_t children = 100000;
    const bool measure = false;
#else
    const size_t children = 2000000;
    const bool measure = true;
#endif
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("<?xml version='1.0'?>\n<root xmlns:p='urn:p'>\n", f);
        std::string body(40, 'x');
        char buffer[256];
        for (size_t i = 0; i < children; i++) {
            int n = std::snprintf(buffer, sizeof buffer,
                                  "<p:item id='%zu' kind='k&amp;%zu'><name>n%zu</name><v>%s</v><!--c--></p:item>\n",
                                  i, i % 7, i, body.c_str());
            std::fwrite(buffer, 1, static_cast<size_t>(n), f);
        }
        std::fputs("</root>\n", f);
        std::fclose(f);
    }
    quorvel_iterparse* it = quorvel_iterparse_new_file(path.c_str());
    ASSERT_NE(it, nullptr);
    size_t count = 0, baseline = 0, peak = 0;
    bool attributes_right = true;
    while (quorvel_element* e = quorvel_iterparse_next(it)) {
        if (count % 100000 == 0) {
            size_t rss = resident_kib();
            if (count == 100000) baseline = rss;
            if (rss > peak) peak = rss;
            const char* id = quorvel_element_attribute(e, "id");
            attributes_right = attributes_right && id && std::stoul(id) == count &&
                               std::string(quorvel_element_attribute(e, "kind")) == "k&" + std::to_string(count % 7);
        }
        count++;
    }
    EXPECT_EQ(quorvel_iterparse_error(it), nullptr);
    EXPECT_EQ(count, children);
    EXPECT_TRUE(attributes_right);
    if (measure) {
        EXPECT_LT(peak - baseline, 16u * 1024) << "resident memory grew from " << baseline << " KiB to " << peak;
    }
    quorvel_iterparse_free(it);
    std::remove(path.c_str());
}

}  // namespace
