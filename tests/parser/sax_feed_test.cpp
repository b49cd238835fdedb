// Feeding the SAX parser: a chunk is read where it lies and only a construct
// cut by its end is carried over, so the events, their strings and every
// reported position must not depend on where chunks end, and nothing may be
// read from a chunk after its feed returned.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "parser/sax_event_log.h"

namespace {

using sax_test::event_log;

// Every kind of construct, with line ends, references, multi-byte
// characters and namespaces in the places where a cut could change them.
const char kEveryConstruct[] =
    "\xEF\xBB\xBF<?xml version='1.0'?>\r\n"
    "<!DOCTYPE r [<!ENTITY e 'x>'><!-- ] > --><?p ]>?>]>\n"
    "<!--top-->\n"
    "<r xmlns='urn:a' xmlns:p=\"urn:b\" at='1&amp;2&#x41;\r\n3'>\r\n"
    "  text &lt;&#233;&#x10000;&quot; \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 &undeclared; end\r"
    "<p:c p:x='&apos;' y=\"a'b\"/><![CDATA[c\r\ndata]] ]>]]><?target  some data ?>"
    "<!-- a -- like - comment -->\xE2\x82\xAC<e></e ><e\n/>"
    "</r  >\n<!--after--><?after?>\n";

// Feeds input in chunks of the given sizes (cycled) from one scratch buffer
// that is overwritten with markup-like bytes as soon as each feed returns.
std::string fed_from_reused_buffer(const std::string& input, const std::vector<size_t>& sizes) {
    event_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
    std::vector<char> buffer;
    size_t at = 0, k = 0;
    while (at < input.size()) {
        size_t n = std::min(sizes[k++ % sizes.size()], input.size() - at);
        buffer.assign(input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at + n));
        at += n;
        quorvel_sax_parser_feed(p, buffer.data(), n, at == input.size());
        for (size_t i = 0; i < n; i++) buffer[i] = "<&]>-?'\"\r"[i % 9];
    }
    quorvel_sax_parser_free(p);
    return log.str();
}

TEST(SaxFeed, EventsDoNotDependOnChunkSizes) {
    const std::string input = kEveryConstruct;
    const std::string expected = sax_test::parse_in_chunks(input, 0).events;
    ASSERT_EQ(expected.find("error"), std::string::npos) << expected;
    ASSERT_NE(expected.find("chars[\n  text <\xC3\xA9\xF0\x90\x80\x80\""), std::string::npos) << expected;
    const std::vector<std::vector<size_t>> chunkings = {{1}, {2}, {3}, {5}, {64}, {511}, {513}, {4096},
                                                        {1, 700}, {700, 1}, {3, 1, 200}};
    for (const auto& sizes : chunkings) {
        SCOPED_TRACE(sizes[0]);
        EXPECT_EQ(fed_from_reused_buffer(input, sizes), expected);
    }
}

// Two feeds, the first ending after every byte of the document in turn:
// inside every kind of construct, and inside every multi-byte character.
TEST(SaxFeed, EverySplitPointGivesTheSameEvents) {
    const std::string input = kEveryConstruct;
    const std::string expected = sax_test::parse_in_chunks(input, 0).events;
    for (size_t split = 1; split < input.size(); split++) {
        SCOPED_TRACE(split);
        EXPECT_EQ(fed_from_reused_buffer(input, {split, input.size()}), expected);
    }
}

// Constructs far longer than a feed: carried over feed after feed, and read
// once they end with what follows them, the same as in one piece.
TEST(SaxFeed, ConstructsLongerThanAFeed) {
    std::string attrs, text;
    for (int i = 0; i < 3000; i++) attrs += " a" + std::to_string(i) + "='v&amp;" + std::to_string(i) + "'";
    for (int i = 0; i < 4000; i++) text += "t&#x3B1;\r\n";
    const std::string input = "<r" + attrs + "><!--" + std::string(20000, 'c') + "--><![CDATA[" +
                              std::string(20000, ']') + "]]><?pi " + std::string(20000, '?') + "?>" + text +
                              "<e" + attrs + "/></r>";
    const std::string expected = sax_test::parse_in_chunks(input, 0).events;
    ASSERT_EQ(expected.find("error"), std::string::npos);
    for (size_t chunk : {size_t(1000), size_t(4096), size_t(65536)}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(fed_from_reused_buffer(input, {chunk}), expected);
    }
    // A quick look that the long strings came through whole.
    EXPECT_NE(expected.find("comment[" + std::string(20000, 'c') + "]"), std::string::npos);
    EXPECT_NE(expected.find("pi[pi][" + std::string(20000, '?') + "]"), std::string::npos);
}

// Errors found after a carried construct, and inside one, report the same
// line and column in every chunking.
TEST(SaxFeed, ErrorPositionsDoNotDependOnChunking) {
    const std::string long_comment = "<!--" + std::string(5000, '\n') + "-->";
    const char* const inputs[] = {
        "<r>\n<a>\n</b></r>",
        "<r a='1'\n b='&#xZZ;'/>",
        "<r>\nline\n\xC3(</r>",
        "<r><!-- x \n<y",
    };
    for (const char* tail : inputs) {
        const std::string input = "<r0>" + long_comment + tail;
        SCOPED_TRACE(tail);
        const std::string expected = sax_test::parse_in_chunks(input, 0).events;
        ASSERT_NE(expected.find("error"), std::string::npos);
        for (size_t chunk : {size_t(1), size_t(3), size_t(1000), size_t(4096)})
            EXPECT_EQ(fed_from_reused_buffer(input, {chunk}), expected) << chunk;
    }
}

// A start tag cut inside its attribute list keeps the attributes it read
// and goes on from the first one not complete: cuts at every byte of long
// tags, two cuts in one tag, and faults met after a cut (a repeated name,
// a bad reference, a bad name) all give the events and positions of one
// piece.
TEST(SaxFeed, CutsInsideLongAttributeListsResumeTheSameTag) {
    std::string wide;
    for (int i = 0; i < 24; i++)
        wide += std::string(i % 3 ? " " : "\n\t") + "a" + std::to_string(i) + (i % 2 ? "='v&amp;" : " = \"w&#x3B1;") +
                std::to_string(i) + (i % 2 ? "'" : "\"");
    const std::string cases[] = {
        "<r xmlns:p='urn:p'><e" + wide + "/><p:e" + wide + " p:z='\xC3\xA9'>t</p:e></r>",
        "<r><e" + wide + " a7='again'/></r>",
        "<r><e" + wide + " b='&#xZZ;'/></r>",
        "<r><e" + wide + " :b='1'/></r>",
        "<r><e" + wide + " b='1' c></r>",
    };
    for (const std::string& input : cases) {
        SCOPED_TRACE(input.substr(input.size() - 20));
        const std::string expected = sax_test::parse_in_chunks(input, 0).events;
        // The first case reads clean; each other ends in its fault.
        const bool clean = &input == &cases[0];
        ASSERT_EQ(expected.find("error") == std::string::npos, clean) << expected;
        if (clean) {
            ASSERT_NE(expected.find("start e a0=[w\xCE\xB1""0]"), std::string::npos) << expected;
        }
        for (size_t split = 1; split < input.size(); split++)
            EXPECT_EQ(fed_from_reused_buffer(input, {split, input.size()}), expected) << split;
        for (size_t first = 3; first < input.size(); first += 7)
            for (size_t second : {size_t(1), size_t(5), size_t(29), size_t(90)})
                EXPECT_EQ(fed_from_reused_buffer(input, {first, second, input.size()}), expected)
                    << first << "+" << second;
    }
}

}  // namespace
