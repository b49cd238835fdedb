// The parse entry points: input encodings (UTF-16 by mark or pattern,
// declared Latin-1), options records, statuses, and whole-file parsing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "parser/tree_dump.h"
#include "support/doc_holder.h"

namespace {

using test_support::dump;

const std::string kSample =
    "<?xml version='1.0'?>\n<r a='caf\xC3\xA9'>\xC3\xA9t\xC3\xA9 &#xE9; <b x=\"\xE2\x82\xAC\"/>\xF0\x9F\x98\x80</r>";

// UTF-16 of a UTF-8 text (order 1 little-endian), with a mark when asked.
std::string to_utf16(const std::string& utf8, int order, bool mark) {
    std::u32string cps;
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < n; k++) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        cps.push_back(cp);
        i += n;
    }
    std::string out;
    auto put = [&](unsigned u) {
        char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        if (order == 1) {
            out += lo;
            out += hi;
        } else {
            out += hi;
            out += lo;
        }
    };
    if (mark) put(0xFEFF);
    for (char32_t cp : cps) {
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(static_cast<unsigned>(cp));
        }
    }
    return out;
}

TEST(ParseEntryPoints, EncodingsGiveIdenticalTrees) {
    int status = -1;
    doc_holder utf8(quorvel_parse_string(kSample.data(), kSample.size(), &status));
    ASSERT_NE(utf8.doc, nullptr) << quorvel_last_error();
    const std::string expected = dump(utf8.doc);

    struct {
        std::string bytes;
        const char* encoding;
    } cases[] = {
        {to_utf16(kSample, 1, true), "UTF-16LE"},
        {to_utf16(kSample, 2, true), "UTF-16BE"},
        {to_utf16(kSample, 1, false), "UTF-16LE"},
        {to_utf16(kSample, 2, false), "UTF-16BE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding);
        for (auto parse : {quorvel_parse_string, quorvel_parse_string_with_encoding}) {
            doc_holder d(parse(c.bytes.data(), c.bytes.size(), &status));
            ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
            EXPECT_EQ(status, QUORVEL_OK);
            EXPECT_EQ(dump(d.doc), expected);
            EXPECT_STREQ(d.doc->declared_encoding, c.encoding);
        }
    }

    // Latin-1, announced by the declaration.
    std::string latin1 = "<?xml version='1.0' encoding='latin1'?>\n<r a='caf\xE9'>\xE9t\xE9 &#xE9; <b x=\"&#x20AC;\"/>&#x1F600;</r>";
    doc_holder l(quorvel_parse_string_with_encoding(latin1.data(), latin1.size(), &status));
    ASSERT_NE(l.doc, nullptr) << quorvel_last_error();
    EXPECT_STREQ(l.doc->declared_encoding, "ISO-8859-1");
    EXPECT_EQ(dump(l.doc), "<r a=[caf\xC3\xA9]>\"\xC3\xA9t\xC3\xA9 \xC3\xA9 \"<b x~=[&#x20AC;]></>\"\xF0\x9F\x98\x80\"</>");
}

TEST(ParseEntryPoints, Latin1IsReadOnlyFromTheDeclaration) {
    struct {
        std::string text;
        const char* encoding;
        const char* tree;
    } cases[] = {
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>", "ISO-8859-1", "<a>\"\xC3\xA9\"</>"},
        {"<?xml version='1.0' encoding = \"LATIN-1\" ?><a>\xE9</a>", "ISO-8859-1", "<a>\"\xC3\xA9\"</>"},
        // Mixed case is not one of the Latin-1 names: parsed unchanged.
        {"<?xml version='1.0' encoding='Latin1'?><a>\xC3\xA9</a>", "Latin1", "<a>\"\xC3\xA9\"</>"},
        // "encoding" outside the declaration decides nothing.
        {"<?xml version='1.0'?><a note='encoding=\"latin1\"'>\xC3\xA9</a>", nullptr,
         "<a note=[encoding=\"latin1\"]>\"\xC3\xA9\"</>"},
        {"<a>encoding='latin1' \xC3\xA9 text long enough</a>", nullptr,
         "<a>\"encoding='latin1' \xC3\xA9 text long enough\"</>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int status = -1;
        doc_holder d(quorvel_parse_string_with_encoding(c.text.data(), c.text.size(), &status));
        ASSERT_NE(d.doc, nullptr) << quorvel_last_error();
        if (c.encoding)
            EXPECT_STREQ(d.doc->declared_encoding, c.encoding);
        else
            EXPECT_EQ(d.doc->declared_encoding, nullptr);
        EXPECT_EQ(dump(d.doc), c.tree);
    }
}

TEST(ParseEntryPoints, Utf16DetectionAndConversionEdges) {
    // Without a mark, short UTF-16 is not recognised.
    std::string shortText = to_utf16("<a/>", 1, false);
    EXPECT_EQ(utf16_detect_encoding(shortText.data(), shortText.size()), 0);
    EXPECT_EQ(utf16_detect_encoding("<\0a\0b\0c\0d\0e\0", 12), 1);
    EXPECT_EQ(utf16_detect_encoding("\0<\0a\0b\0c\0d\0e", 12), 0);  // five pairs counted
    EXPECT_EQ(utf16_detect_encoding("\0<\0a\0b\0c\0d\0e\0f", 14), 2);
    int status = 0;
    // A mark alone converts to nothing.
    EXPECT_EQ(quorvel_parse_string("\xFF\xFE", 2, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    // The flags entry point does no detection: UTF-16 bytes fail.
    std::string marked = to_utf16("<a/>", 1, true);
    EXPECT_EQ(quorvel_parse_string_flags(marked.data(), marked.size(), 0, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    // Conversion stops at a lone surrogate and never overruns its buffer.
    const char lone[] = {'<', 0, 'a', 0, 0x00, static_cast<char>(0xDC), '/', 0};
    char out[16];
    EXPECT_EQ(utf16_to_utf8(lone, sizeof lone, out, sizeof out, 1), 2u);
    const char wide[] = {static_cast<char>(0xAC), 0x20, static_cast<char>(0xAC), 0x20};
    EXPECT_EQ(utf16_to_utf8(wide, sizeof wide, out, 4, 1), 3u);
}

TEST(ParseEntryPoints, OptionsApplyForOneCall) {
    quorvel_set_strict_mode(0);
    int saved_depth = quorvel_get_max_depth();
    CParseOptions options{0, 1, 2, 0};
    int status = -1;
    const std::string text = "<a>&nbsp;&amp;<b><c/></b></a>";
    doc_holder d(quorvel_parse_string_ex(text.data(), text.size(), &options, &status));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(dump(d.doc), "<a>\"&nbsp;&amp;\"<b><c></></></>");
    EXPECT_EQ(quorvel_get_strict_mode(), 0);
    EXPECT_EQ(quorvel_get_max_depth(), saved_depth);

    const std::string deeper = "<a><b><c></c></b></a>";
    EXPECT_EQ(quorvel_parse_string_ex(deeper.data(), deeper.size(), &options, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);

    // Recover: a parse that fails even so answers an empty document and -2.
    CParseOptions recover{0, -1, 0, 1};
    doc_holder broken(quorvel_parse_string_ex("<a/>x", 5, &recover, &status));
    ASSERT_NE(broken.doc, nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    EXPECT_EQ(quorvel_document_root(broken.doc), nullptr);
    doc_holder fixed(quorvel_parse_string_ex("<a><b></a>", 10, &recover, &status));
    ASSERT_NE(fixed.doc, nullptr);
    EXPECT_EQ(status, QUORVEL_OK);
    EXPECT_EQ(quorvel_document_parse_diag_count(fixed.doc), 1);

    doc_holder plain(quorvel_parse_string_ex("<a/>", 4, nullptr, &status));
    EXPECT_NE(plain.doc, nullptr);
}

TEST(ParseEntryPoints, NulBeforeByte64SendsTextThroughTheUtf16Check) {
    std::string text("<a>x</a>", 8);
    text.insert(4, 1, '\0');
    int status = -1;
    // Not UTF-16 after all: read as UTF-8, where the NUL is refused.
    doc_holder d(quorvel_parse_string(text.data(), text.size(), &status));
    EXPECT_EQ(d.doc, nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);
    EXPECT_STREQ(quorvel_last_error(), "XML parse error at byte 4: NUL character");
}

TEST(ParseEntryPoints, Files) {
    int status = 0;
    EXPECT_EQ(quorvel_parse_file(nullptr, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(quorvel_parse_file("/nonexistent/quorvel.xml", &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_NOT_FOUND);

    std::string templ = (std::filesystem::temp_directory_path() / "quorvel_parse_XXXXXX").string();
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    char* path = name.data();
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* f = fdopen(fd, "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(quorvel_parse_file(path, &status), nullptr);
    EXPECT_EQ(status, QUORVEL_ERR_PARSE);

    f = std::fopen(path, "wb");
    std::string utf16 = to_utf16(kSample, 2, true);
    std::fwrite(utf16.data(), 1, utf16.size(), f);
    std::fclose(f);
    size_t length = 0;
    char* bytes = quorvel_load_file(path, &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(length, utf16.size());
    EXPECT_EQ(bytes[length], '\0');
    std::free(bytes);
    doc_holder d(quorvel_parse_file(path, &status));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(status, QUORVEL_OK);
    EXPECT_STREQ(d.doc->declared_encoding, "UTF-16BE");
    std::remove(path);
    EXPECT_EQ(quorvel_load_file(path, &length), nullptr);
    EXPECT_EQ(length, 0u);
}

}  // namespace
