// The streaming readers against hostile input: scratch reuse across wide
// values, wide start tags, NUL and ill-formed UTF-8, names with an empty
// part, huge positions, and running out of memory at every allocation.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "parser/sax_event_log.h"
#include "parser/parser.h"
#include "quorvel.h"
#include "support/failing_alloc.h"

namespace {

using sax_test::parse_in_chunks;

// Scratch values of growing sizes after an element closes: the blocks kept
// for reuse are too small, one after the other.
std::string widening_values() {
    return "<r><c a=\"" + std::string(250, 'x') + "\"><d b=\"" + std::string(600, 'y') + "\"/></c><e f=\"" +
           std::string(2000, 'z') + "\"/></r>";
}

// Checks, at every start element, that the scratch block in use holds
// what was put in it.
struct scratch_probe {
    quorvel_sax_parser* parser = nullptr;
    std::string values;
    bool overrun = false;
};

TEST(SaxScratch, ReusedBlocksTooSmallAreAllReplaced) {
    static const quorvel_sax_handler handler{
        nullptr, nullptr,
        [](void* u, const char*, const char* const* attributes) {
            auto* probe = static_cast<scratch_probe*>(u);
            const sax_block* b = probe->parser->scratch_current;
            if (b && b->used > b->capacity) probe->overrun = true;
            for (const char* const* a = attributes; *a; a += 2) probe->values += std::to_string(std::strlen(a[1])) + " ";
        },
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    const std::string input = widening_values();
    for (size_t chunk : {input.size(), size_t(4096), size_t(7)}) {
        SCOPED_TRACE(chunk);
        scratch_probe probe;
        probe.parser = quorvel_sax_parser_create(&handler, &probe);
        for (size_t i = 0; i < input.size(); i += chunk)
            ASSERT_EQ(quorvel_sax_parser_feed(probe.parser, input.data() + i, std::min(chunk, input.size() - i), 0), 0);
        EXPECT_EQ(quorvel_sax_parser_feed(probe.parser, "", 0, 1), 0);
        EXPECT_FALSE(probe.overrun);
        EXPECT_EQ(probe.values, "250 600 2000 ");
        quorvel_sax_parser_free(probe.parser);
    }
}

std::string temp_file(const std::string& content) {
    char path[] = "/tmp/quorvel_pull_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    return path;
}

TEST(SaxScratch, PullParserOverAFileReadsWideValues) {
    std::string path = temp_file(widening_values());
    quorvel_pull* p = quorvel_pull_new_file(path.c_str());
    ASSERT_NE(p, nullptr);
    std::string lengths;
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        ASSERT_NE(e->kind, QUORVEL_PULL_ERROR) << e->text;
        if (e->kind == QUORVEL_PULL_START_ELEMENT && e->attribute_count)
            lengths += std::to_string(std::strlen(quorvel_pull_attr_value(p, 0))) + " ";
    }
    EXPECT_EQ(lengths, "250 600 2000 ");
    quorvel_pull_free(p);
    std::remove(path.c_str());
}

// ---- Repeated attributes --------------------------------------------------------------------------

TEST(SaxDuplicates, ReportedErrorMakesEveryReaderFail) {
    const std::string doc = "<r a='1' b='2' a='3'><c/></r>";
    // The events go on to the end, and the result is a parse failure.
    sax_test::event_log log;
    EXPECT_EQ(quorvel_sax_parse(doc.data(), doc.size(), &sax_test::logging_handler(), &log), QUORVEL_ERR_PARSE);
    EXPECT_NE(log.str().find("error Attribute a redefined @1:16\n"), std::string::npos);
    EXPECT_NE(log.str().find("end_document"), std::string::npos);
    for (size_t chunk : {size_t(0), size_t(1), size_t(7)}) EXPECT_EQ(parse_in_chunks(doc, chunk).status, QUORVEL_ERR_PARSE);

    quorvel_sax_recorder* r = quorvel_sax_recorder_new();
    EXPECT_EQ(quorvel_sax_recorder_feed(r, doc.data(), doc.size(), 1), QUORVEL_ERR_PARSE);
    quorvel_sax_recorder_free(r);

    quorvel_pull* p = quorvel_pull_new(doc.data(), doc.size());
    bool error_event = false;
    while (quorvel_pull_event* e = quorvel_pull_next(p)) error_event |= e->kind == QUORVEL_PULL_ERROR;
    EXPECT_TRUE(error_event);
    quorvel_pull_free(p);

    quorvel_iterparse* it = quorvel_iterparse_new_ex(doc.data(), doc.size(), 1);
    while (quorvel_iterparse_next(it)) {
    }
    EXPECT_NE(quorvel_iterparse_error(it), nullptr);
    quorvel_iterparse_free(it);
}

TEST(SaxDuplicates, OneWideTagIsCheckedInLinearTime) {
    // Quadratic work here would take seconds; linear work takes milliseconds.
    const int n = 100000;
    std::string doc = "<r";
    for (int i = 0; i < n; i++) doc += " a" + std::to_string(i) + "='v'";
    doc += " a77777='w'/>";
    auto start = std::chrono::steady_clock::now();
    sax_test::event_log log;
    EXPECT_EQ(quorvel_sax_parse(doc.data(), doc.size(), &sax_test::logging_handler(), &log), QUORVEL_ERR_PARSE);
    EXPECT_EQ(log.errors, 1);
    quorvel_sax_recorder* r = quorvel_sax_recorder_new();
    EXPECT_EQ(quorvel_sax_recorder_feed(r, doc.data(), doc.size(), 1), QUORVEL_ERR_PARSE);
    quorvel_sax_recorder_free(r);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(log.str().find("error Attribute a77777 redefined"), std::string::npos);
}

// ---- Characters and names ---------------------------------------------------------------------------

struct refusal_case {
    std::string input;
    const char* error;  // "message @line:column"
};

TEST(SaxCharacters, NulAndIllFormedUtf8AreRefusedWhereTheyStand) {
    using namespace std::string_literals;
    const refusal_case cases[] = {
        {"<d>a\0b</d>"s, "NUL character @1:5"},
        {"<d>\0</d>"s, "NUL character @1:4"},
        {"<d a='x\0'/>"s, "NUL character @1:8"},
        {"<d><!--\0--></d>"s, "NUL character @1:8"},
        {"<d><![CDATA[\0]]></d>"s, "NUL character @1:13"},
        {"<d><?p \0?></d>"s, "NUL character @1:8"},
        // Overlong forms, encoded surrogates, above U+10FFFF, stray and
        // missing continuation bytes.
        {"<d>\xC0\xAF</d>", "invalid UTF-8 @1:4"},
        {"<d>ab\xE0\x80\xAF</d>", "invalid UTF-8 @1:6"},
        {"<d>\xED\xA0\x80</d>", "invalid UTF-8 @1:4"},
        {"<d>\xF4\x90\x80\x80</d>", "invalid UTF-8 @1:4"},
        {"<d>\xF8\x88\x80\x80\x80</d>", "invalid UTF-8 @1:4"},
        {"<d>x\x80</d>", "invalid UTF-8 @1:5"},
        {"<d>\xE2\x82</d>", "invalid UTF-8 @1:4"},
        {"<d>\xE2\x82", "invalid UTF-8 @1:4"},
        {"<d a='\xED\xBF\xBF'/>", "invalid UTF-8 @1:7"},
        {"<d a='\xC1\xBF'/>", "invalid UTF-8 @1:7"},
        {"<d\xC0\x80/>", "invalid UTF-8 @1:3"},
        {"<d x\xF0\x80\x80\x80='1'/>", "invalid UTF-8 @1:5"},
        {"<d><!-- \xFF --></d>", "invalid UTF-8 @1:9"},
        {"<d><![CDATA[\xED\xA0\x80]]></d>", "invalid UTF-8 @1:13"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.input);
        for (size_t chunk : {size_t(0), size_t(1), size_t(7)}) {
            SCOPED_TRACE(chunk);
            sax_test::parse_result r = parse_in_chunks(c.input, chunk);
            EXPECT_EQ(r.status, QUORVEL_ERR_PARSE);
            EXPECT_NE(r.events.find(std::string("error ") + c.error + "\n"), std::string::npos) << r.events;
        }
    }
}

// Text before a refused byte is reported the same way however the input
// is cut: a streaming parse has already passed on what came in earlier
// chunks, so the whole-input parse reports that text too before failing.
TEST(SaxCharacters, TextBeforeARefusedByteReadsTheSameInAnyChunking) {
    using namespace std::string_literals;
    const std::string inputs[] = {
        "<d>some text &amp; more\r\nline\xC0\xAF</d>"s,
        "<d>a;b&c d&e\xFF</d>"s,   // cut before the '&' that has no ';' yet
        "<d>x&amp;y&#65\0</d>"s,
        "<d>plain\r\xF5</d>"s,
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        sax_test::parse_result whole = parse_in_chunks(input, 0);
        EXPECT_EQ(whole.status, QUORVEL_ERR_PARSE);
        for (bool streaming : {false, true})
            for (size_t chunk : {size_t(1), size_t(3), size_t(7)}) {
                SCOPED_TRACE(chunk);
                sax_test::event_log log;
                quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
                quorvel_sax_parser_set_streaming(p, streaming);
                int status = 0;
                for (size_t i = 0; i < input.size(); i += chunk) {
                    int r = quorvel_sax_parser_feed(p, input.data() + i, std::min(chunk, input.size() - i), 0);
                    if (r != 0 && status == 0) status = r;
                }
                if (int r = quorvel_sax_parser_feed(p, "", 0, 1); r != 0 && status == 0) status = r;
                quorvel_sax_parser_free(p);
                EXPECT_EQ(status, QUORVEL_ERR_PARSE);
                EXPECT_EQ(log.str(), whole.events) << streaming;
            }
    }
}

TEST(SaxCharacters, WellFormedUtf8ReadsTheSameInAnyChunking) {
    // Two-, three- and four-byte characters at the edges of the ranges, in
    // text, values and names; a byte-at-a-time feed cuts each of them.
    const std::string doc = "<\xC3\xA9 \xE0\xA0\x80='\xED\x9F\xBF\xEE\x80\x80'>\xC2\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
                            "\xF4\x8F\xBF\xBF&amp;\xE2\x82\xAC<!--\xC3\xA9--></\xC3\xA9>";
    sax_test::parse_result whole = parse_in_chunks(doc, 0);
    EXPECT_EQ(whole.status, 0) << whole.events;
    EXPECT_EQ(whole.events.find("error"), std::string::npos);
    for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(5)}) {
        sax_test::parse_result part = parse_in_chunks(doc, chunk);
        EXPECT_EQ(part.status, 0);
        EXPECT_EQ(part.events, whole.events) << chunk;
    }
}

TEST(SaxNames, AnEmptyPrefixOrLocalPartIsRefused) {
    const refusal_case cases[] = {
        {"<foo:/>", "Empty local part in name @1:5"},
        {"<foo: />", "Empty local part in name @1:5"},
        {"<foo:></foo:>", "Empty local part in name @1:5"},
        {"<:a/>", "Empty prefix in name @1:2"},
        {"<:/>", "Empty prefix in name @1:2"},
        {"<r :a='1'/>", "Empty prefix in name @1:4"},
        {"<r a:='1'/>", "Empty local part in name @1:5"},
        {"<r xmlns:='u'/>", "Empty local part in name @1:9"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.input);
        for (size_t chunk : {size_t(0), size_t(1), size_t(7)}) {
            sax_test::parse_result r = parse_in_chunks(c.input, chunk);
            EXPECT_EQ(r.status, QUORVEL_ERR_PARSE);
            EXPECT_NE(r.events.find(std::string("error ") + c.error + "\n"), std::string::npos) << r.events;
            EXPECT_EQ(r.events.find("start "), std::string::npos) << r.events;
        }
    }
    // The pull parser ends with the same report.
    quorvel_pull* p = quorvel_pull_new("<foo:/>", 7);
    quorvel_pull_event* e = quorvel_pull_next(p);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, QUORVEL_PULL_ERROR);
    EXPECT_STREQ(e->text, "Empty local part in name");
    quorvel_pull_free(p);
}

// ---- Positions ---------------------------------------------------------------------------------------

TEST(SaxPositions, LinesAndColumnsPastTheIntRangeSaturate) {
    struct position_case {
        int64_t line, column;
        const char* input;
        const char* error;
    };
    const position_case cases[] = {
        {INT_MAX - 1, 1, "<r>\n\n\n</x>", "@2147483647:3"},
        {1, INT_MAX - 2, "<r>    </x>", "@1:2147483647"},
        {INT_MAX - 1, 1, "<r>\n</x>", "@2147483647:3"},
    };
    for (const position_case& c : cases) {
        sax_test::event_log log;
        quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
        // As if that many lines and bytes had been read already.
        p->line = c.line;
        p->column = c.column;
        EXPECT_EQ(quorvel_sax_parser_feed(p, c.input, std::strlen(c.input), 1), QUORVEL_ERR_PARSE);
        EXPECT_NE(log.str().find(c.error), std::string::npos) << log.str();
        quorvel_sax_parser_free(p);
    }
}

// ---- Running out of memory -------------------------------------------------------------------------

// Exercises every buffer: input growth, scratch blocks, the decode buffer,
// a wide tag (attribute views and the duplicate set) and deep nesting.
std::string allocation_workout() {
    std::string doc = "<r xmlns:p='u'>";
    for (int i = 0; i < 20; i++) doc += "<e" + std::to_string(i) + " v='" + std::string(40 * i, 'v') + "&amp;'>";
    doc += "<w";
    for (int i = 0; i < 40; i++) doc += " p:a" + std::to_string(i) + "='x'";
    doc += ">text &lt; &#233;\r\n<!-- c --><![CDATA[d]]><?p q?></w>";
    for (int i = 19; i >= 0; i--) doc += "</e" + std::to_string(i) + ">";
    return doc + "</r>";
}

int refused = 0;
void* counting_failing_alloc(size_t n) {
    void* block = hooks::failing_alloc(n);
    if (!block) refused++;
    return block;
}

// Fails the first, second, ... allocation of `run` until one run gets all it
// asks for. Each failing run must answer a failure, and leave nothing behind.
template <typename Run>
void fail_each_allocation(Run run) {
    bool completed = false;
    for (int k = 0; !completed && k < 100000; k++) {
        SCOPED_TRACE(k);
        hooks::countdown = k;
        hooks::live = 0;
        refused = 0;
        quorvel_set_memory_management_functions(counting_failing_alloc, hooks::counted_free);
        int result = run();
        quorvel_set_memory_management_functions(nullptr, nullptr);
        bool failed_one = refused > 0;
        EXPECT_EQ(hooks::live, 0);
        if (failed_one) {
            EXPECT_NE(result, 0);
        } else {
            EXPECT_EQ(result, 0);
            completed = result == 0;
        }
    }
    hooks::countdown = -1;
    EXPECT_TRUE(completed);
}

TEST(SaxMemory, EveryAllocationMayFail) {
    const std::string doc = allocation_workout();
    // The SAX parser, fed in chunks then finished.
    fail_each_allocation([&] {
        sax_test::event_log log;
        quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
        if (!p) return int(QUORVEL_ERR_MEMORY);
        int result = 0;
        for (size_t i = 0; i < doc.size() && result == 0; i += 61)
            result = quorvel_sax_parser_feed(p, doc.data() + i, std::min<size_t>(61, doc.size() - i), 0);
        if (result == 0) result = quorvel_sax_parser_feed(p, "", 0, 1);
        quorvel_sax_parser_free(p);
        if (result != 0) {
            EXPECT_EQ(result, QUORVEL_ERR_MEMORY) << log.str();
        }
        return result;
    });
    // One-shot.
    fail_each_allocation([&] {
        sax_test::event_log log;
        int result = quorvel_sax_parse(doc.data(), doc.size(), &sax_test::logging_handler(), &log);
        if (result != 0) {
            EXPECT_EQ(result, QUORVEL_ERR_MEMORY) << log.str();
        }
        return result;
    });
    // The recorder.
    fail_each_allocation([&] {
        quorvel_sax_recorder* r = quorvel_sax_recorder_new();
        if (!r) return int(QUORVEL_ERR_MEMORY);
        int result = 0;
        for (size_t i = 0; i < doc.size() && result == 0; i += 97)
            result = quorvel_sax_recorder_feed(r, doc.data() + i, std::min<size_t>(97, doc.size() - i), 0);
        if (result == 0) result = quorvel_sax_recorder_feed(r, "", 0, 1);
        quorvel_sax_recorder_free(r);
        if (result != 0) {
            EXPECT_EQ(result, QUORVEL_ERR_MEMORY);
        }
        return result;
    });
}

// A pull run succeeds when it reaches the end of the document with no error.
int pull_all(quorvel_pull* p) {
    if (!p) return int(QUORVEL_ERR_MEMORY);
    int result = QUORVEL_ERR_PARSE;
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        if (e->kind == QUORVEL_PULL_ERROR) {
            result = std::strcmp(e->text, "out of memory") == 0 ? QUORVEL_ERR_MEMORY : QUORVEL_ERR_PARSE;
            break;
        }
        if (e->kind == QUORVEL_PULL_END_DOCUMENT) result = 0;
    }
    quorvel_pull_free(p);
    return result;
}

TEST(PullMemory, EveryAllocationMayFail) {
    const std::string doc = allocation_workout();
    fail_each_allocation([&] {
        int result = pull_all(quorvel_pull_new(doc.data(), doc.size()));
        if (result != 0) {
            EXPECT_EQ(result, QUORVEL_ERR_MEMORY);
        }
        return result;
    });
    std::string path = temp_file(doc);
    fail_each_allocation([&] {
        int result = pull_all(quorvel_pull_new_file(path.c_str()));
        if (result != 0) {
            EXPECT_EQ(result, QUORVEL_ERR_MEMORY);
        }
        return result;
    });
    std::remove(path.c_str());
}

}  // namespace
