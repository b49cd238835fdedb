// The SAX recorder: record layout, the records and arena bytes of one empty
// element with two attributes, records per feed, error records and reset,
// and a reader that walks the records in place and must reproduce the SAX
// parser's own event stream.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>
#include <string>

#include "parser/sax_event_log.h"
#include "quorvel.h"

namespace {

std::string arena_bytes(const quorvel_sax_recorder* r) {
    size_t n = 0;
    const char* a = quorvel_sax_recorder_arena(r, &n);
    return a ? std::string(a, n) : std::string();
}

// Replays one feed's records as the logging handler would have written them.
void replay(const quorvel_sax_recorder* r, sax_test::event_log& log) {
    const char* problem = sax_test::replay_records(r, log);
    ASSERT_TRUE(problem == nullptr) << problem;
}

TEST(SaxRecorder, RecordLayout) {
    static_assert(sizeof(AccelSaxRecord) == 40);
    static_assert(offsetof(AccelSaxRecord, name_off) == 8 && offsetof(AccelSaxRecord, attrs_off) == 24);
    static_assert(offsetof(AccelSaxRecord, line) == 32 && offsetof(AccelSaxRecord, column) == 36);
}

TEST(SaxRecorder, RecordsAndArenaBytesOfOneFeed) {
    quorvel_sax_recorder* r = quorvel_sax_recorder_new();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(quorvel_sax_recorder_feed(r, "<r a='1' b=''/>", 15, 0), 0);
    size_t count = 0;
    const AccelSaxRecord* rec = quorvel_sax_recorder_records(r, &count);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(rec[0].kind, 0);
    EXPECT_EQ(rec[1].kind, 2);
    EXPECT_EQ(rec[2].kind, 3);
    EXPECT_EQ(rec[1].attr_count, 2u);
    EXPECT_EQ(rec[1].name_off, 0u);
    EXPECT_EQ(rec[1].name_len, 1u);
    EXPECT_EQ(rec[1].attrs_off, 2u);
    EXPECT_EQ(arena_bytes(r).substr(0, 9), std::string("r\0a\0" "1\0b\0\0", 9));
    EXPECT_EQ(rec[2].name_len, 1u);

    EXPECT_EQ(quorvel_sax_recorder_feed(r, "", 0, 1), 0);
    rec = quorvel_sax_recorder_records(r, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(rec[0].kind, 1);
    EXPECT_EQ(arena_bytes(r), "");

    // Records of a feed that makes no event are none at all.
    EXPECT_EQ(quorvel_sax_recorder_feed(r, "", 0, 1), 0);
    quorvel_sax_recorder_records(r, &count);
    EXPECT_EQ(count, 0u);
    quorvel_sax_recorder_free(r);
}

TEST(SaxRecorder, FieldsPerKind) {
    quorvel_sax_recorder* r = quorvel_sax_recorder_new();
    std::string doc = "<e>abc<?t d?></e>";
    ASSERT_EQ(quorvel_sax_recorder_feed(r, doc.data(), doc.size(), 1), 0);
    size_t count = 0;
    const AccelSaxRecord* rec = quorvel_sax_recorder_records(r, &count);
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(rec[1].attrs_off, 0u);  // no attributes, whatever the name's offset
    EXPECT_EQ(rec[1].attr_count, 0u);
    EXPECT_EQ(rec[2].kind, 4);
    EXPECT_EQ(rec[2].text_len, 3u);
    EXPECT_EQ(rec[3].kind, 7);
    size_t length = 0;
    const char* arena = quorvel_sax_recorder_arena(r, &length);
    EXPECT_STREQ(arena + rec[3].name_off, "t");
    EXPECT_STREQ(arena + rec[3].text_off, "d");
    quorvel_sax_recorder_free(r);

    size_t n = 7;
    EXPECT_EQ(quorvel_sax_recorder_records(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0u);
    n = 7;
    EXPECT_EQ(quorvel_sax_recorder_arena(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(quorvel_sax_recorder_feed(nullptr, "", 0, 1), -1);
    EXPECT_EQ(quorvel_sax_recorder_reset(nullptr), -1);
    quorvel_sax_recorder_free(nullptr);
}

TEST(SaxRecorder, ErrorsAndReset) {
    quorvel_sax_recorder* r = quorvel_sax_recorder_new_flags(0);
    // Not fatal (reading goes on), but the result is a failure.
    EXPECT_EQ(quorvel_sax_recorder_feed(r, "<r a='1' a='2'>", 15, 0), QUORVEL_ERR_PARSE);
    sax_test::event_log log;
    replay(r, log);
    EXPECT_NE(log.str().find("error Attribute a redefined @1:10"), std::string::npos);

    EXPECT_EQ(quorvel_sax_recorder_feed(r, "\n</x>", 5, 0), QUORVEL_ERR_PARSE);
    size_t count = 0;
    const AccelSaxRecord* rec = quorvel_sax_recorder_records(r, &count);
    ASSERT_GE(count, 1u);
    EXPECT_EQ(rec[count - 1].kind, 10);
    EXPECT_EQ(rec[count - 1].line, 2u);
    EXPECT_EQ(rec[count - 1].column, 3u);
    EXPECT_EQ(arena_bytes(r).substr(rec[count - 1].text_off, rec[count - 1].text_len), "Mismatched closing tag");

    EXPECT_EQ(quorvel_sax_recorder_feed(r, "<r/>", 4, 1), QUORVEL_ERR_PARSE);
    quorvel_sax_recorder_records(r, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(quorvel_sax_recorder_reset(r), 0);
    EXPECT_EQ(quorvel_sax_recorder_feed(r, "<r/>", 4, 1), 0);
    rec = quorvel_sax_recorder_records(r, &count);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(rec[0].kind, 0);
    quorvel_sax_recorder_free(r);

    // Skip flags reach the parser.
    r = quorvel_sax_recorder_new_flags(0x08 | 0x10);
    EXPECT_EQ(quorvel_sax_recorder_feed(r, "<r a='1' a='2'></s>", 19, 1), QUORVEL_ERR_PARSE);
    sax_test::event_log quiet;
    replay(r, quiet);
    EXPECT_EQ(quiet.errors, 1);
    EXPECT_NE(quiet.str().find("error Mismatched closing tag @1:1"), std::string::npos);
    quorvel_sax_recorder_free(r);
}

}  // namespace

// Used by the corpus test: the recorder's stream for an input fed in chunks.
std::string recorder_events(const std::string& input, size_t chunk) {
    quorvel_sax_recorder* r = quorvel_sax_recorder_new();
    sax_test::event_log log;
    for (size_t i = 0; i < input.size(); i += chunk) {
        size_t n = input.size() - i < chunk ? input.size() - i : chunk;
        quorvel_sax_recorder_feed(r, input.data() + i, n, 0);
        replay(r, log);
    }
    quorvel_sax_recorder_feed(r, "", 0, 1);
    replay(r, log);
    quorvel_sax_recorder_free(r);
    return log.str();
}
