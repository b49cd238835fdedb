// The byte scanners the document parser, the fast path and the SAX
// tokenizer share: each SIMD scanner, padded and bounded, must stop where a
// byte-by-byte reading stops and report the same bytes before it, whatever
// the 16-byte block the stop falls in; and the reference decoder's outcomes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "quorvel.h"

namespace {

// What a plain reading finds: the stop offset and the seen bits.
struct expected_stop {
    size_t at;
    unsigned seen;
};

expected_stop reference_scan(const std::string& s, char stop, bool value, bool check) {
    unsigned seen = 0;
    size_t i = 0;
    for (; i < s.size() && s[i] != stop; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '&') seen |= kScanAmp;
        if (c == '\r' || (value && (c == '\t' || c == '\n'))) seen |= kScanBreak;
        if (check && (c >= 0x80 || c == 0)) seen |= kScanCheck;
    }
    return {i, seen};
}

// Inputs: a stop byte at every offset of the first three blocks, with the
// interesting bytes before, at and after it.
std::vector<std::string> inputs(char stop) {
    std::vector<std::string> out;
    const std::string fillers[] = {"a", "&", "\r", "\t", "\n", std::string(1, '\0'), "\xC3\xA9", "\x80"};
    for (size_t len = 0; len < 48; len++) {
        for (const std::string& f : fillers) {
            std::string s;
            while (s.size() < len) s += (s.size() % 5 == 3) ? f : std::string("x");
            s.resize(len);
            out.push_back(s);                        // no stop at all
            out.push_back(s + stop + "&\r\x80" + f);  // bytes after the stop count for nothing
        }
    }
    return out;
}

TEST(ByteScanners, AgreeWithAPlainReadingAtEveryOffset) {
    for (bool value : {false, true}) {
        const char stop = value ? '"' : '<';
        for (const std::string& s : inputs(stop)) {
            SCOPED_TRACE(testing::Message() << (value ? "value" : "text") << " of " << s.size() << " bytes");
            // Padded: 15 readable bytes behind the end, none of them a stop byte.
            std::vector<char> padded(s.begin(), s.end());
            padded.resize(s.size() + 16, '\0');
            // Bounded: exactly the bytes, so the sanitizer sees any read past end.
            std::vector<char> bounded(s.begin(), s.end());
            const char* pb = padded.data();
            const char* bb = bounded.data();
            for (bool check : {false, true}) {
                expected_stop want = reference_scan(s, stop, value, check);
                unsigned seen_padded = 0, seen_bounded = 0;
                const char *got_padded, *got_bounded;
                if (value) {
                    got_padded = dp_scan_value<dp_reach::padded>(pb, pb + s.size(), stop, &seen_padded);
                    got_bounded = check ? dp_scan_value<dp_reach::bounded, true>(bb, bb + s.size(), stop, &seen_bounded)
                                        : dp_scan_value<dp_reach::bounded>(bb, bb + s.size(), stop, &seen_bounded);
                } else {
                    got_padded = dp_scan_text<dp_reach::padded>(pb, pb + s.size(), &seen_padded);
                    got_bounded = check ? dp_scan_text<dp_reach::bounded, true>(bb, bb + s.size(), &seen_bounded)
                                        : dp_scan_text<dp_reach::bounded>(bb, bb + s.size(), &seen_bounded);
                }
                EXPECT_EQ(static_cast<size_t>(got_bounded - bb), want.at);
                EXPECT_EQ(seen_bounded, want.seen);
                // The padded form stops at the same byte (or past end when
                // there is none); the padding may only add bits, and only
                // when the scan reached it.
                size_t padded_at = static_cast<size_t>(got_padded - pb);
                if (want.at < s.size()) {
                    EXPECT_EQ(padded_at, want.at);
                    EXPECT_EQ(seen_padded & ~kScanCheck, want.seen & ~kScanCheck);
                } else {
                    EXPECT_GE(padded_at, s.size());
                    EXPECT_EQ(seen_padded & want.seen, want.seen & ~kScanCheck);
                }
            }
        }
    }
}

TEST(ByteScanners, LineEndsNormaliseInPlace) {
    struct row {
        std::string in, out;
    };
    const row rows[] = {
        {"a\r\nb", "a\nb"}, {"a\rb", "a\nb"}, {"\r\r\n\r", "\n\n\n"}, {"no breaks", "no breaks"}, {"\n\r", "\n\n"},
    };
    for (const row& r : rows) {
        std::string buffer = r.in;
        size_t n = dp_normalise_lines(buffer.data(), buffer.size());
        EXPECT_EQ(buffer.substr(0, n), r.out) << r.in;
        if (n < r.in.size()) {
            EXPECT_EQ(buffer[n], '\0');
        }
    }
}

TEST(ByteScanners, ReferenceDecoderOutcomes) {
    struct row {
        const char* in;  // from the '&'
        size_t length;   // of the input, NUL included where one counts
        dp_reference result;
        const char* bytes;  // written, for decoded and cut_off
        size_t used;
    };
    const row rows[] = {
        {"&lt;x", 5, dp_reference::decoded, "<", 4},
        {"&gt;", 4, dp_reference::decoded, ">", 4},
        {"&amp;", 5, dp_reference::decoded, "&", 5},
        {"&apos;", 6, dp_reference::decoded, "'", 6},
        {"&quot;", 6, dp_reference::decoded, "\"", 6},
        {"&#65;", 5, dp_reference::decoded, "A", 5},
        {"&#x20AC;", 8, dp_reference::decoded, "\xE2\x82\xAC", 8},
        {"&#X10FFFF;", 10, dp_reference::decoded, "\xF4\x8F\xBF\xBF", 10},
        {"&#65", 4, dp_reference::cut_off, "A", 4},
        {"&#65\0;", 6, dp_reference::cut_off, "A", 4},  // the text ends at its NUL
        {"&#;", 3, dp_reference::malformed, "", 0},
        {"&#0;", 4, dp_reference::malformed, "", 0},
        {"&#xD800;", 8, dp_reference::malformed, "", 0},
        {"&#x110000;", 10, dp_reference::malformed, "", 0},
        {"&#65x;", 6, dp_reference::malformed, "", 0},
        {"&lt", 3, dp_reference::other, "", 0},
        {"&nbsp;", 6, dp_reference::other, "", 0},
        {"&", 1, dp_reference::other, "", 0},
        // Leading zeros and long digit runs are read by value.
        {"&#0000000065;", 13, dp_reference::decoded, "A", 13},
        {"&#x00000000041;", 15, dp_reference::decoded, "A", 15},
        {"&#1114111;", 10, dp_reference::decoded, "\xF4\x8F\xBF\xBF", 10},
        {"&#x1F600;", 9, dp_reference::decoded, "\xF0\x9F\x98\x80", 9},
        {"&#1114112;", 10, dp_reference::malformed, "", 0},
        {"&#12345678;", 11, dp_reference::malformed, "", 0},
        {"&#x100000000041;", 16, dp_reference::malformed, "", 0},
        {"&#55296;", 8, dp_reference::malformed, "", 0},
        {"&#x;", 4, dp_reference::malformed, "", 0},
        {"&#123456", 8, dp_reference::cut_off, "\xF0\x9E\x89\x80", 8},
        // Names that start like a predefined one.
        {"&amp", 4, dp_reference::other, "", 0},
        {"&ampx;", 6, dp_reference::other, "", 0},
        {"&quot", 5, dp_reference::other, "", 0},
        {"&lt ;", 5, dp_reference::other, "", 0},
        {"&apos", 5, dp_reference::other, "", 0},
        {"&\0lt;", 5, dp_reference::other, "", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.in, r.length));
        // Bounded: the input ends at end (a read past it is out of bounds).
        char out[4] = {};
        size_t written = 0, used = 0;
        std::vector<char> bounded(r.in, r.in + r.length);
        EXPECT_EQ(dp_read_reference(bounded.data(), bounded.data() + r.length, out, &written, &used), r.result);
        if (r.result == dp_reference::decoded || r.result == dp_reference::cut_off) {
            EXPECT_EQ(std::string(out, written), r.bytes);
            EXPECT_EQ(used, r.used);
        }
        // Padded, as in a working copy: markup after end, then NUL bytes.
        // The bytes past end must not change the answer.
        for (const char* after : {"<", ";", "9;", "t;"}) {
            SCOPED_TRACE(after);
            std::vector<char> padded(r.in, r.in + r.length);
            padded.insert(padded.end(), after, after + std::strlen(after));
            padded.resize(padded.size() + 16, '\0');
            char padded_out[4] = {};
            size_t padded_written = 0, padded_used = 0;
            EXPECT_EQ(dp_read_reference<true>(padded.data(), padded.data() + r.length, padded_out, &padded_written,
                                              &padded_used),
                      r.result);
            if (r.result == dp_reference::decoded || r.result == dp_reference::cut_off) {
                EXPECT_EQ(std::string(padded_out, padded_written), r.bytes);
                EXPECT_EQ(padded_used, r.used);
            }
        }
    }
}

// The DTD path's quick expansion and the plain parse read the same
// references the same way, wherever a reference stands in its run.
TEST(ByteScanners, ReferencesInTextAndValuesWithAndWithoutDtd) {
    struct row {
        const char* text;      // element content and attribute value
        const char* expected;  // decoded
    };
    const row rows[] = {
        {"&lt;&gt;&amp;&apos;&quot;", "<>&'\""},
        {"a&#65;", "aA"},
        {"&#x41;", "A"},
        {"x &#0000000066;", "x B"},
        {"&#x20AC;&#169;", "\xE2\x82\xAC\xC2\xA9"},
        {"&#1114111;", "\xF4\x8F\xBF\xBF"},
        {"0123456789012345678901234567890123456789012345678901234567890&amp;&lt;", "0123456789012345678901234567890123456789012345678901234567890&<"},
        {"&e;&amp;", "E&"},
    };
    for (const row& r : rows) {
        for (bool dtd : {false, true}) {
            if (!dtd && std::strstr(r.text, "&e;")) continue;
            std::string doc = dtd ? "<!DOCTYPE d [<!ENTITY e \"E\">]>" : "";
            doc += std::string("<d a=\"") + r.text + "\">" + r.text + "</d>";
            SCOPED_TRACE(doc);
            int status = 1;
            quorvel_document* d = quorvel_parse_string(doc.data(), doc.size(), &status);
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(status, QUORVEL_OK);
            quorvel_element* root = quorvel_document_root(d);
            EXPECT_STREQ(quorvel_element_text(quorvel_element_as_node(root)), r.expected);
            EXPECT_STREQ(quorvel_element_attribute(root, "a"), r.expected);
            quorvel_document_free(d);
        }
    }
}

}  // namespace
