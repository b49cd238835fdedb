// The SAX push parser: event order of small documents (namespaces, a
// duplicate attribute, skipped markup, PIs), every error text, line and
// column, well-formedness at the document level, chunk boundaries inside constructs, string lifetimes and bounded scratch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/sax_event_log.h"
#include "parser/parser.h"

using sax_test::parse_in_chunks;

namespace {

struct event_case {
    const char* input;
    const char* events;
};

TEST(SaxParser, EventOrderOfSmallDocuments) {
    const event_case cases[] = {
        {"<r/>", "start_document\nstart r\nend r\nend_document\n"},
        {"<r xmlns='u' xmlns:p='v'/>",
         "start_document\nmap =u\nmap p=v\nstart r xmlns=[u] xmlns:p=[v]\nend r\nunmap \nunmap p\nend_document\n"},
        {"<r a='1' a='2'/>",
         "start_document\nerror Attribute a redefined @1:10\nstart r a=[1] a=[2]\nend r\nend_document\n"},
        {"<r><!----><![CDATA[]]></r>", "start_document\nstart r\nend r\nend_document\n"},
        {"<r><?x?></r>", "start_document\nstart r\npi[x][]\nend r\nend_document\n"},
        {"<r a='x<y'/>", "start_document\nstart r a=[x<y]\nend r\nend_document\n"},
        {"<?xml version='1.0'?><r><?xml in content?></r>",
         "start_document\nstart r\npi[xml][in content]\nend r\nend_document\n"},
        {"<a>x</a>", "start_document\nstart a\nchars[x]\nend a\nend_document\n"},
        {"<a><b>", "start_document\nstart a\nstart b\nerror Unterminated element @1:7\n"},
        {"<r>a &amp; b &lt;&#65;&#x42;&quot;&apos;&gt;</r>",
         "start_document\nstart r\nchars[a & b <AB\"'>]\nend r\nend_document\n"},
        // Undeclared references stay as written; the rest still decode.
        {"<r>&foo; &amp; &</r>", "start_document\nstart r\nchars[&foo; & &]\nend r\nend_document\n"},
        // A malformed character reference is an error at its '&', after the text before it.
        {"<r>&foo; &amp; &#xZZ; &</r>",
         "start_document\nstart r\nchars[&foo; & ]\nerror malformed character reference @1:16\n"},
        // Line ends: CR LF and CR become LF in text and CDATA, a space in values.
        {"<r a='1\r\n2\t3\n'>x\r\ny\rz<![CDATA[c\r\n]]></r>",
         "start_document\nstart r a=[1 2 3 ]\nchars[x\ny\nz]\ncdata[c\n]\nend r\nend_document\n"},
        {"<r a='&#10;'/>", "start_document\nstart r a=[\n]\nend r\nend_document\n"},
        // A byte-order mark and a DOCTYPE whose internal subset holds '>'.
        {"\xEF\xBB\xBF<r/>", "start_document\nstart r\nend r\nend_document\n"},
        {"<!DOCTYPE r [<!ENTITY e 'x>'><!-- ] > --><?p ]>?>]><r/>", "start_document\nstart r\nend r\nend_document\n"},
        // Names may hold a colon between two parts and UTF-8 characters anywhere.
        {"<\xC3\xA9t\xC3\xA9 p:x='1'/>",
         "start_document\nstart \xC3\xA9t\xC3\xA9 p:x=[1]\nend \xC3\xA9t\xC3\xA9\nend_document\n"},
        {"<r><!--c--><?t  d ?></r><!--after--> ",
         "start_document\nstart r\ncomment[c]\npi[t][d ]\nend r\ncomment[after]\nend_document\n"},
    };
    for (const event_case& c : cases) {
        SCOPED_TRACE(c.input);
        for (size_t chunk : {size_t(0), size_t(1), size_t(7), size_t(4096)}) {
            SCOPED_TRACE(chunk);
            EXPECT_EQ(parse_in_chunks(c.input, chunk).events, c.events);
        }
    }
}

TEST(SaxParser, DuplicateCheckCanBeSkipped) {
    EXPECT_EQ(parse_in_chunks("<r a='1' a='2'/>", 0, 0x08).events,
              "start_document\nstart r a=[1] a=[2]\nend r\nend_document\n");
    // A wide tag is checked through a hash set: the repeat is still found.
    std::string wide = "<r";
    for (int i = 0; i < 40; i++) wide += " a" + std::to_string(i) + "='v'";
    EXPECT_EQ(parse_in_chunks(wide + "/>", 0).events.find("error"), std::string::npos);
    EXPECT_NE(parse_in_chunks(wide + " a17='w'/>", 0).events.find("error Attribute a17 redefined"), std::string::npos);
}

// Every fatal error: its text, where it is reported, and nothing after it.
TEST(SaxParser, ErrorTextsAndPositions) {
    const event_case cases[] = {
        {"x", "error Expected '<' at top level @1:1"},
        {"<r/>x", "error Expected '<' at top level @1:5"},
        {"<1/>", "error Unexpected character after '<' @1:2"},
        {"</r>", "error Unexpected character after '<' @1:2"},
        {"<?xml version='1.0'", "error Unterminated XML declaration @1:20"},
        {"<?pi", "error Unterminated PI @1:5"},
        {"<!-- x", "error Unterminated comment @1:7"},
        {"<!DOCTYPE r", "error Unterminated DOCTYPE @1:12"},
        {"<!ELEMENT r>", "error Expected element name @1:2"},
        {"<r><![CDATA[x", "error Unterminated CDATA @1:14"},
        {"<r><!DOCTYPE x></r>", "error Unexpected '<!' in content @1:4"},
        {"<r><1/></r>", "error Expected element name @1:5"},
        {"<r", "error Unterminated opening tag @1:3"},
        {"<r /", "error Unterminated opening tag @1:5"},
        {"<r /x>", "error Expected attribute name @1:4"},
        {"<r 1='x'/>", "error Expected attribute name @1:4"},
        {"<r a>", "error Expected '=' after attribute name @1:5"},
        {"<r a", "error Expected '=' after attribute name @1:5"},
        {"<r a=", "error Expected attribute value @1:6"},
        {"<r a=1/>", "error Expected quote for attribute value @1:6"},
        {"<r a='1", "error Unterminated attribute value @1:8"},
        {"<r></1>", "error Expected closing tag name @1:6"},
        {"<r></s>", "error Mismatched closing tag @1:6"},
        {"<r></rr>", "error Mismatched closing tag @1:6"},
        {"<r></r x>", "error Expected '>' after closing tag name @1:8"},
        {"<r></r ", "error Unterminated closing tag @1:8"},
        {"<r>text", "error Unterminated element @1:8"},
        {"<r><", "error Unterminated element @1:5"},
        // A document needs exactly one root element.
        {"", "error No root element @1:1"},
        {" \n\t", "error No root element @2:2"},
        {"<!--c--><?p?>", "error No root element @1:14"},
        {"<a/><b/>", "error Extra content after the root element @1:5"},
        {"<a></a>\n<a></a>", "error Extra content after the root element @2:1"},
    };
    for (const event_case& c : cases) {
        SCOPED_TRACE(c.input);
        for (size_t chunk : {size_t(0), size_t(1), size_t(7)}) {
            SCOPED_TRACE(chunk);
            sax_test::parse_result r = parse_in_chunks(c.input, chunk);
            EXPECT_EQ(r.status, QUORVEL_ERR_PARSE);
            std::string events = r.events;
            size_t at = events.find("error ");
            ASSERT_NE(at, std::string::npos) << events;
            EXPECT_EQ(events.substr(at), std::string(c.events) + "\n");
        }
    }
}

TEST(SaxParser, LinesAndColumnsCountEveryByte) {
    // Text, comments, closing tags and white space all move the position.
    std::string doc = "<r>\n  <!-- a\n b -->text\xC3\xA9</r>\n<r2/>";
    EXPECT_NE(parse_in_chunks(doc, 0).events.find("error Extra content after the root element @4:1"), std::string::npos);
    std::string tag = "<r\n  a='1'\n  b>";
    EXPECT_NE(parse_in_chunks(tag, 3).events.find("@3:4"), std::string::npos);
    // Without counting every error reads line 1, column 1.
    EXPECT_NE(parse_in_chunks(tag, 3, 0x10).events.find("@1:1"), std::string::npos);
    EXPECT_NE(parse_in_chunks(doc, 0, 0x10).events.find("@1:1"), std::string::npos);
}

TEST(SaxParser, NestingLimit) {
    std::string ok, deep;
    for (int i = 0; i < 256; i++) ok += "<e>";
    for (int i = 0; i < 256; i++) ok += "</e>";
    EXPECT_EQ(parse_in_chunks(ok, 0).status, 0);
    for (int i = 0; i < 257; i++) deep += "<e>";
    sax_test::parse_result r = parse_in_chunks(deep, 0);
    EXPECT_EQ(r.status, QUORVEL_ERR_PARSE);
    EXPECT_NE(r.events.find("error Element nesting too deep @1:770"), std::string::npos);
}

TEST(SaxParser, ChunkBoundariesInsideConstructs) {
    struct split_case {
        std::vector<const char*> chunks;
        const char* events;
    };
    const split_case cases[] = {
        // A reference cut by a boundary waits; text before it is reported.
        {{"<r>a &am", "p; b</r>"}, "start_document\nstart r\nchars[a ]\nchars[& b]\nend r\nend_document\n"},
        // A closing tag cut between its name and '>'.
        {{"<a></a", " >"}, "start_document\nstart a\nend a\nend_document\n"},
        {{"<a></a ", ">"}, "start_document\nstart a\nend a\nend_document\n"},
        // CR LF split over two feeds is one line end.
        {{"<r>x\r", "\ny</r>"}, "start_document\nstart r\nchars[x]\nchars[\ny]\nend r\nend_document\n"},
        // A '>' inside a quoted value does not end the tag.
        {{"<r a='>", "'/>"}, "start_document\nstart r a=[>]\nend r\nend_document\n"},
    };
    for (const split_case& c : cases) {
        sax_test::event_log log;
        quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
        for (const char* chunk : c.chunks) {
            EXPECT_EQ(quorvel_sax_parser_feed(p, chunk, std::strlen(chunk), 0), 0);
            log.flush();  // character events of one feed stay apart from the next
        }
        EXPECT_EQ(quorvel_sax_parser_feed(p, "", 0, 1), 0);
        EXPECT_EQ(log.str(), c.events) << c.chunks[0];
        quorvel_sax_parser_free(p);
    }
}

TEST(SaxParser, FeedContract) {
    sax_test::event_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
    EXPECT_EQ(quorvel_sax_parser_feed(nullptr, "<r/>", 4, 1), -1);
    EXPECT_EQ(quorvel_sax_parser_feed(p, nullptr, 0, 1), -1);  // does not end the document
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(quorvel_sax_parser_feed(p, "<r>", 3, 0), 0);
    EXPECT_EQ(quorvel_sax_parser_feed(p, "</r>", 4, 1), 0);
    EXPECT_EQ(log.str(), "start_document\nstart r\nend r\nend_document\n");
    // After the end further input is ignored, not buffered.
    EXPECT_EQ(quorvel_sax_parser_feed(p, "<x/>", 4, 1), 0);
    EXPECT_EQ(p->length, 0u);
    quorvel_sax_parser_free(p);

    // After a fatal error every feed fails and reports nothing.
    sax_test::event_log failed;
    p = quorvel_sax_parser_create(&sax_test::logging_handler(), &failed);
    EXPECT_EQ(quorvel_sax_parser_feed(p, "<r></s>", 7, 0), QUORVEL_ERR_PARSE);
    std::string before = failed.str();
    EXPECT_EQ(quorvel_sax_parser_feed(p, "<r/>", 4, 1), QUORVEL_ERR_PARSE);
    EXPECT_EQ(quorvel_sax_parser_feed(p, "", 0, 1), QUORVEL_ERR_PARSE);
    EXPECT_EQ(failed.str(), before);
    quorvel_sax_parser_free(p);

    EXPECT_EQ(quorvel_sax_parser_create(nullptr, nullptr), nullptr);
    EXPECT_EQ(quorvel_sax_parse("", 0, &sax_test::logging_handler(), &log), -1);
    EXPECT_EQ(quorvel_sax_parse("<r/>", 4, nullptr, nullptr), -1);
    EXPECT_EQ(quorvel_sax_parse("<r/>", 4, &sax_test::logging_handler(), &log), 0);
    EXPECT_EQ(quorvel_sax_parse("<r>", 3, &sax_test::logging_handler(), &log), QUORVEL_ERR_PARSE);
    EXPECT_EQ(quorvel_sax_parser_set_streaming(nullptr, 1), -1);
    quorvel_sax_parser_set_one_shot(nullptr, 1);
    quorvel_sax_parser_set_skip_flags(nullptr, 8);
}

struct name_keeper {
    const char* start_name = nullptr;
};

TEST(SaxParser, OneShotStringsOutliveTheirElement) {
    static const quorvel_sax_handler handler{
        nullptr, nullptr,
        [](void* u, const char* name, const char* const*) {
            auto* k = static_cast<name_keeper*>(u);
            if (!k->start_name) k->start_name = name;
        },
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    name_keeper k;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&handler, &k);
    quorvel_sax_parser_set_one_shot(p, 1);
    std::string doc = "<first><second/></first>";
    ASSERT_EQ(quorvel_sax_parser_feed(p, doc.data(), doc.size(), 1), 0);
    ASSERT_NE(k.start_name, nullptr);
    EXPECT_STREQ(k.start_name, "first");  // read after the element and the document ended
    quorvel_sax_parser_free(p);
}

size_t scratch_bytes(const quorvel_sax_parser* p) {
    size_t n = 0;
    for (const sax_block* b = p->scratch_head; b; b = b->next) n += b->capacity;
    return n;
}

// Names, values, comments and PIs of closed elements are released: a long
// stream fed in chunks keeps the parser's memory flat.
TEST(SaxParser, StreamingMemoryStaysBounded) {
    sax_test::event_log sink;
    static const quorvel_sax_handler quiet{};
    quorvel_sax_parser* p = quorvel_sax_parser_create(&quiet, &sink);
    ASSERT_EQ(quorvel_sax_parser_feed(p, "<root>", 6, 0), 0);
    std::string item =
        "<item id='12345' name='a fairly long attribute value &amp; more'><!-- comment --><?pi data?>"
        "<![CDATA[cdata]]>text &lt; here<child xmlns:p='urn:x' p:a='1'/></item>\n";
    size_t peak_after_warmup = 0;
    for (int i = 0; i < 20000; i++) {
        ASSERT_EQ(quorvel_sax_parser_feed(p, item.data(), item.size(), 0), 0);
        if (i == 100) peak_after_warmup = scratch_bytes(p) + p->capacity;
    }
    EXPECT_LE(scratch_bytes(p) + p->capacity, peak_after_warmup);
    EXPECT_LE(scratch_bytes(p), 4096u);
    ASSERT_EQ(quorvel_sax_parser_feed(p, "</root>", 7, 1), 0);
    quorvel_sax_parser_free(p);
}

}  // namespace
