// What the document parser refuses in an internal subset every streaming
// reader refuses too (SAX one-shot and fed in pieces, pull, iterparse),
// and what it accepts they all accept: one status per document, whoever
// reads it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "parser/sax_event_log.h"
#include "quorvel.h"

namespace {

int document_status(const std::string& text) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text.data(), text.size(), &status);
    quorvel_document_free(doc);
    return doc ? 0 : status;
}

int sax_status(const std::string& text) {
    quorvel_sax_handler handler;
    std::memset(&handler, 0, sizeof handler);
    return quorvel_sax_parse(text.data(), text.size(), &handler, nullptr);
}

// Fed in pieces of `chunk` bytes; the log is kept so a refusal can be
// checked for its text.
int sax_fed_status(const std::string& text, size_t chunk, std::string* events = nullptr) {
    sax_test::event_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&sax_test::logging_handler(), &log);
    int rc = 0;
    for (size_t at = 0; at < text.size(); at += chunk) {
        size_t n = std::min(chunk, text.size() - at);
        rc = quorvel_sax_parser_feed(p, text.data() + at, n, at + n == text.size());
    }
    quorvel_sax_parser_free(p);
    if (events) *events = log.str();
    return rc;
}

bool pull_refuses(const std::string& text) {
    quorvel_pull* p = quorvel_pull_new(text.data(), text.size());
    bool failed = false;
    while (quorvel_pull_event* e = quorvel_pull_next(p))
        if (e->kind == QUORVEL_PULL_ERROR) failed = true;
    quorvel_pull_free(p);
    return failed;
}

bool iterparse_refuses(const std::string& text) {
    quorvel_iterparse* it = quorvel_iterparse_new_ex(text.data(), text.size(), 1);
    while (quorvel_iterparse_next(it)) {
    }
    bool failed = quorvel_iterparse_error(it) != nullptr;
    quorvel_iterparse_free(it);
    return failed;
}

std::string pe_bomb() {
    std::string s = "<!ENTITY % l0 'aaaaaaaaaaaaaaaa'>";
    for (int i = 1; i <= 6; i++) {
        s += "<!ENTITY % l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; k++) s += "%l" + std::to_string(i - 1) + ";";
        s += "'>";
    }
    return s + "<!ELEMENT x (%l6;)>";
}

TEST(InternalSubsetRefusals, EveryReaderGivesTheDocumentParsersStatus) {
    struct row {
        std::string subset;
        const char* refusal;  // the reason given, or NULL when the document reads clean
    };
    const row rows[] = {
        {"<!ENTITY e '&#5;'>", "malformed character reference"},
        {"<!ENTITY e 'a&#xD800;b'>", "malformed character reference"},
        {"<!ATTLIST d a CDATA '&#0;'>", "malformed character reference"},
        {"<!-- ] --><?p x?><!ENTITY e '&#x1F;'>", "malformed character reference"},
        {pe_bomb(), "entity expansion exceeds the size limit"},
        {"<!ENTITY e '&#x41;&#233;'><!ATTLIST d a CDATA 'x&#10;y'>", nullptr},
        {"<!ENTITY e '&undeclared;'><!ENTITY % p 'z'>", nullptr},
        {"<!ELEMENT>", nullptr},  // malformed declarations are skipped, not refused
        {"", nullptr},
    };
    for (const row& r : rows) {
        const std::string text = "<?xml version='1.0'?>\n<!DOCTYPE d [" + r.subset + "]>\n<d>t</d>";
        SCOPED_TRACE(text.substr(0, 120));
        const bool refused = r.refusal != nullptr;
        EXPECT_EQ(document_status(text), refused ? QUORVEL_ERR_PARSE : 0);
        EXPECT_EQ(sax_status(text), refused ? -2 : 0);
        EXPECT_EQ(pull_refuses(text), refused);
        EXPECT_EQ(iterparse_refuses(text), refused);
        // Fed in pieces, the subset cut anywhere: the same status and the
        // same report at the same place.
        std::string whole;
        EXPECT_EQ(sax_fed_status(text, text.size(), &whole), refused ? -2 : 0);
        if (refused) {
            EXPECT_NE(whole.find(std::string("error ") + r.refusal + " @2:"), std::string::npos) << whole;
        }
        for (size_t chunk : {size_t(1), size_t(3), size_t(17), size_t(64)}) {
            std::string events;
            EXPECT_EQ(sax_fed_status(text, chunk, &events), refused ? -2 : 0) << chunk;
            EXPECT_EQ(events, whole) << chunk;
        }
    }
}

// Where a DOCTYPE may stand, and how its keyword is spelled, is decided the
// same way too.
TEST(InternalSubsetRefusals, MisplacedOrMisspelledDoctypesAreRefusedByEveryReader) {
    const char* const refused[] = {"<a/><!DOCTYPE a>", "<!DOCTYPE a><!DOCTYPE b><b/>", "<!DOCTYPEa><a/>",
                                   "<a><!DOCTYPE b></a>", "<!DOCTYPE a [<!ENTITY e 'x'>]><a/>\n<!DOCTYPE a>"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_EQ(document_status(text), QUORVEL_ERR_PARSE);
        EXPECT_EQ(sax_status(text), -2);
        EXPECT_TRUE(pull_refuses(text));
        EXPECT_TRUE(iterparse_refuses(text));
        std::string whole;
        EXPECT_EQ(sax_fed_status(text, std::strlen(text), &whole), -2);
        for (size_t chunk : {size_t(1), size_t(2), size_t(5), size_t(9), size_t(10)}) {
            std::string events;
            EXPECT_EQ(sax_fed_status(text, chunk, &events), -2) << chunk;
            EXPECT_EQ(events, whole) << chunk;
        }
    }
    for (const char* text : {"<!DOCTYPE a><a/>", "<!DOCTYPE\ta\n[]><a/>", "<!--c--><!DOCTYPE a SYSTEM 'x>'><?p?><a/>"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(document_status(text), 0);
        EXPECT_EQ(sax_status(text), 0);
        EXPECT_FALSE(pull_refuses(text));
        EXPECT_FALSE(iterparse_refuses(text));
        for (size_t chunk : {size_t(1), size_t(9), size_t(10)}) EXPECT_EQ(sax_fed_status(text, chunk), 0) << chunk;
    }
}

}  // namespace
