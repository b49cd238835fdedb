// The flat-record interface: the records of a small document field by
// field, status codes, what the scan accepts and declines, and how the
// records link parents, children and attributes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/parser.h"

namespace {

struct scanned {
    quorvel_sax_records* handle = nullptr;
    int status;
    explicit scanned(const std::string& text, unsigned flags = 0) {
        status = quorvel_sax_records_parse(text.data(), text.size(), flags, &handle);
    }
    ~scanned() { quorvel_sax_records_free(handle); }
    scanned(const scanned&) = delete;
    scanned& operator=(const scanned&) = delete;
    size_t count() const { return quorvel_sax_records_count(handle); }
    const quorvel_sax_node_record& node(size_t i) const { return quorvel_sax_records_data(handle)[i]; }
    std::string data(size_t i) const { return quorvel_sax_records_buffer(handle) + node(i).data_offset; }
};

TEST(FlatRecords, SmallDocumentGivesEveryRecordField) {
    const std::string text = "<r a='1'><c/>t</r>";
    ASSERT_EQ(text.size(), 18u);
    scanned s(text);
    ASSERT_EQ(s.status, QUORVEL_OK);
    ASSERT_EQ(s.count(), 3u);

    struct expected {
        uint32_t kind, data_offset, data_length;
        int32_t parent, next_sibling, first_attribute;
        uint32_t attribute_count, start, content_start, end;
        uint8_t self_closing;
    } rows[] = {
        {0, 1, 1, -1, -1, 0, 1, 1, 9, 18, 0},
        {0, 10, 1, 0, 2, -1, 0, 10, 13, 13, 1},
        {1, 13, 1, 0, -1, -1, 0, 14, 0, 0, 0},
    };
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const quorvel_sax_node_record& n = s.node(i);
        EXPECT_EQ(n.kind, rows[i].kind);
        EXPECT_EQ(n.parent, rows[i].parent);
        EXPECT_EQ(n.next_sibling, rows[i].next_sibling);
        EXPECT_EQ(n.data_offset, rows[i].data_offset);
        EXPECT_EQ(n.data_length, rows[i].data_length);
        EXPECT_EQ(n.start, rows[i].start);
        EXPECT_EQ(n.content_start, rows[i].content_start);
        EXPECT_EQ(n.end, rows[i].end);
        EXPECT_EQ(n.first_attribute, rows[i].first_attribute);
        EXPECT_EQ(n.attribute_count, rows[i].attribute_count);
        EXPECT_EQ(n.self_closing, rows[i].self_closing);
    }
    size_t attr_count = 99;
    const quorvel_sax_attr_record* a = quorvel_sax_records_attrs(s.handle, &attr_count);
    ASSERT_EQ(attr_count, 1u);
    EXPECT_EQ(a->name_offset, 3u);
    EXPECT_EQ(a->name_length, 1u);
    EXPECT_EQ(a->value_offset, 6u);
    EXPECT_EQ(a->value_length, 1u);
    EXPECT_EQ(a->needs_normalization, 0);

    // Every name, run and value reads as a NUL-terminated string in place,
    // and 65 zero bytes follow the text.
    const char* buffer = quorvel_sax_records_buffer(s.handle);
    EXPECT_STREQ(buffer + 1, "r");
    EXPECT_STREQ(buffer + 10, "c");
    EXPECT_STREQ(buffer + 13, "t");
    EXPECT_STREQ(buffer + 3, "a");
    EXPECT_STREQ(buffer + 6, "1");
    for (size_t i = 18; i < 18 + 65; i++) EXPECT_EQ(buffer[i], '\0');
}

TEST(FlatRecords, StatusCodesAndNullHandles) {
    const char* text = "<a/>";
    EXPECT_EQ(quorvel_sax_records_parse(text, 4, 0, nullptr), QUORVEL_ERR_NULL_ARGUMENT);

    struct row {
        const char* text;
        size_t length;
        unsigned flags;
        int status;
    } rows[] = {
        {nullptr, 4, 0, QUORVEL_ERR_NULL_ARGUMENT},
        {text, 4, 0x01, QUORVEL_ERR_INVALID_ARGUMENT},
        {text, 4, 0x20, QUORVEL_ERR_INVALID_ARGUMENT},
        {text, 0, 0, -9},
        {text, size_t(0x7FFFFFFF), 0, -9},
        {"<a>", 3, 0, -9},
        {text, 4, 0x08, QUORVEL_OK},
        {text, 4, 0x10, QUORVEL_OK},
        {text, 4, 0x18, QUORVEL_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.flags);
        auto* sentinel = reinterpret_cast<quorvel_sax_records*>(uintptr_t(1));
        quorvel_sax_records* handle = sentinel;
        EXPECT_EQ(quorvel_sax_records_parse(r.text, r.length, r.flags, &handle), r.status);
        if (r.status == QUORVEL_OK) {
            ASSERT_NE(handle, nullptr);
            EXPECT_EQ(quorvel_sax_records_count(handle), 1u);
        } else {
            EXPECT_EQ(handle, nullptr);
        }
        quorvel_sax_records_free(handle);
    }
    EXPECT_STREQ(quorvel_status_string(-9), "Unknown error");

    size_t count = 7;
    EXPECT_EQ(quorvel_sax_records_count(nullptr), 0u);
    EXPECT_EQ(quorvel_sax_records_data(nullptr), nullptr);
    EXPECT_EQ(quorvel_sax_records_buffer(nullptr), nullptr);
    EXPECT_EQ(quorvel_sax_records_attrs(nullptr, &count), nullptr);
    EXPECT_EQ(count, 0u);
    quorvel_sax_records_free(nullptr);

    // No attributes: still an attribute array.
    scanned s("<a/>");
    EXPECT_NE(quorvel_sax_records_attrs(s.handle, nullptr), nullptr);
    EXPECT_NE(quorvel_sax_records_attrs(s.handle, &count), nullptr);
    EXPECT_EQ(count, 0u);
}

std::string nested(int levels, bool innermost_empty) {
    std::string s;
    for (int i = 0; i < levels; i++) s += (innermost_empty && i == levels - 1) ? "<e/>" : "<e>";
    for (int i = 0; i < levels - (innermost_empty ? 1 : 0); i++) s += "</e>";
    return s;
}

std::string many_attributes(int n, bool repeat_first) {
    std::string s = "<a";
    for (int i = 0; i < n; i++) s += " n" + std::to_string(i) + "='v'";
    if (repeat_first) s += " n0='w'";
    return s + "/>";
}

TEST(FlatRecords, AcceptsThePlainSubsetOnly) {
    struct row {
        std::string text;
        bool accepted;
    } rows[] = {
        {"\xEF\xBB\xBF \n<a/>", true},                  // byte-order mark and white space before the root
        {"<a/> \r\n\t ", true},                         // white space after it
        {"<a x='1'y=\"2\"/>", true},                    // no space needed between attributes
        {"<a x = '<'/>", true},                         // '<' in a value is data
        {"<p:a></p:a>", true},
        {"<p:a></q:p:a>", false},
        {"<p:a></a>", false},
        {"<a:b:c/>", true},                             // never closed by an end tag
        {"<a:b:c></a:b:c>", false},                     // left to the document parser
        {"<:a></:a>", false},
        {"<a:></a:>", false},
        {"<a></a >", true},
        {"<a></ab>", false},
        {"<ab></a>", false},
        {"<a>x &amp; y</a>", false},
        {"<a x='&#9;'/>", false},
        {"<a>&#x41;</a>", false},
        {"<a><!-- c --></a>", false},
        {"<a><![CDATA[x]]></a>", false},
        {"<a><?p d?></a>", false},
        {"<?xml version='1.0'?><a/>", false},
        {"<!DOCTYPE a><a/>", false},
        {"<a xmlns='u'/>", false},
        {"<a xmlns:p='u'/>", false},
        {"<a x='1' x='2'/>", false},
        {many_attributes(20, false), true},
        {many_attributes(20, true), false},
        {many_attributes(100, false), true},
        {many_attributes(100, true), false},            // found through the hash set
        {"<a x='1/>", false},
        {"<a/>x", false},
        {"<a/><b/>", false},
        {"x<a/>", false},
        {"<a/>" + std::string(1, '\0'), false},         // a NUL byte does not end the text
        {"<a/>" + std::string(1, '\0') + "junk", false},
        {"<a>" + std::string(1, '\0') + "</a>", false},  // nor is it data inside an element
        {"<a>\xC0\xAF</a>", false},                     // overlong form
        {"<a x='\xED\xA0\x80'/>", false},              // encoded surrogate
        {"<a>\xF4\x90\x80\x80</a>", false},           // above U+10FFFF
        {"<a>\xC3</a>", false},                         // cut short
        {"<\xC3\xA9 x='\xE2\x82\xAC'>\xF0\x9F\x98\x80</\xC3\xA9>", true},
        {"<a", false},
        {"<a>", false},
        {"<a>text", false},
        {"<", false},
        {"   ", false},
        {"<a/ >", false},
        {"<1a/>", false},
        {"</a>", false},
        {nested(256, false), true},
        {nested(257, false), false},
        {nested(257, true), true},                      // an empty 257th level never opens
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 60));
        scanned s(r.text);
        EXPECT_EQ(s.status, r.accepted ? QUORVEL_OK : -9);
    }
}

TEST(FlatRecords, LinksSiblingsAndAttributesInDocumentOrder) {
    scanned s("<r> <c k='1' l='2'/> <d>x\ty</d>\n</r>");
    ASSERT_EQ(s.status, QUORVEL_OK);
    // r, " ", c, " ", d, "x\ty", "\n": nothing dropped, nothing merged.
    ASSERT_EQ(s.count(), 7u);
    std::vector<std::string> data;
    for (size_t i = 0; i < s.count(); i++) data.push_back(s.data(i));
    EXPECT_EQ(data, (std::vector<std::string>{"r", " ", "c", " ", "d", "x\ty", "\n"}));
    int32_t parents[] = {-1, 0, 0, 0, 0, 4, 0};
    int32_t siblings[] = {-1, 2, 3, 4, 6, -1, -1};
    for (size_t i = 0; i < s.count(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s.node(i).parent, parents[i]);
        EXPECT_EQ(s.node(i).next_sibling, siblings[i]);
    }
    EXPECT_EQ(s.node(2).first_attribute, 0);
    EXPECT_EQ(s.node(2).attribute_count, 2u);
    EXPECT_EQ(s.node(4).first_attribute, -1);
}

TEST(FlatRecords, RawValuesStayAsWrittenAndAreFlagged) {
    scanned s("<a t='x\ty' n=\"p\r\nq\" k='v'/>");
    ASSERT_EQ(s.status, QUORVEL_OK);
    size_t count = 0;
    const quorvel_sax_attr_record* a = quorvel_sax_records_attrs(s.handle, &count);
    ASSERT_EQ(count, 3u);
    const char* buffer = quorvel_sax_records_buffer(s.handle);
    EXPECT_STREQ(buffer + a[0].value_offset, "x\ty");
    EXPECT_STREQ(buffer + a[1].value_offset, "p\r\nq");
    EXPECT_STREQ(buffer + a[1].name_offset, "n");
    EXPECT_EQ(a[0].needs_normalization, 1);
    EXPECT_EQ(a[1].needs_normalization, 1);
    EXPECT_EQ(a[2].needs_normalization, 0);
}

TEST(FlatRecords, DepthLimitFollowsTheThreadSetting) {
    int saved = quorvel_get_max_depth();
    quorvel_set_max_depth(3);
    {
        scanned ok(nested(3, false));
        scanned deep(nested(4, false));
        EXPECT_EQ(ok.status, QUORVEL_OK);
        EXPECT_EQ(deep.status, -9);
    }
    // Past the stacks kept inside the scan state.
    quorvel_set_max_depth(5000);
    {
        scanned s(nested(4000, false));
        EXPECT_EQ(s.status, QUORVEL_OK);
        EXPECT_EQ(s.count(), 4000u);
        EXPECT_EQ(s.node(3999).parent, 3998);
    }
    quorvel_set_max_depth(saved);
}

}  // namespace
