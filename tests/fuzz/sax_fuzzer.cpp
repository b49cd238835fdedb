// Fuzz target for the SAX push parser and the recorder. The document is
// parsed once in one-shot mode and again fed in random chunks (then a final
// empty feed); both must report the same events and the same result. The
// recorder, fed the same chunks, must replay to the same events too. Each
// chunk lives in a buffer of its own only while its feed runs. A
// parse that reported an error must not succeed.
// Element names and attribute strings are read again at the element's end
// event, which they must outlive.
//
// Input: skip-flags byte, mode byte, chunking seed byte, then the document.
//   mode bit 0: also run the recorder; bit 1: chunks up to 4096 bytes
//   instead of up to 16; bit 2: streaming off for the chunked parse.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "parser/sax_event_log.h"

namespace {

// The logging handler's log plus the strings of each open element, kept
// by pointer and by value so their lifetime can be checked at the end tag.
struct checked_log : sax_test::event_log {
    struct open_element {
        const char* name;
        std::string name_copy;
        std::vector<const char*> strings;
        std::vector<std::string> copies;
    };
    std::vector<open_element> open;
    int errors = 0;  // error callbacks seen (the log's text alone cannot tell: data may read "error")
};

checked_log* checked(void* user) { return static_cast<checked_log*>(user); }

const quorvel_sax_handler& checking_handler() {
    static const quorvel_sax_handler handler = [] {
        quorvel_sax_handler h = sax_test::logging_handler();
        h.start_element = [](void* u, const char* name, const char* const* attributes) {
            sax_test::logging_handler().start_element(u, name, attributes);
            checked_log::open_element e{name, name, {}, {}};
            for (const char* const* a = attributes; *a; a++) {
                e.strings.push_back(*a);
                e.copies.emplace_back(*a);
            }
            checked(u)->open.push_back(std::move(e));
        };
        h.error = [](void* u, const char* message, int line, int column) {
            sax_test::logging_handler().error(u, message, line, column);
            checked(u)->errors++;
        };
        h.end_element = [](void* u, const char* name) {
            sax_test::logging_handler().end_element(u, name);
            auto& open = checked(u)->open;
            if (open.empty()) return;
            const checked_log::open_element& e = open.back();
            if (e.name_copy != e.name) fuzz::fail("element name changed before its end event");
            for (size_t i = 0; i < e.strings.size(); i++)
                if (e.copies[i] != e.strings[i]) fuzz::fail("attribute string changed before the end event");
            open.pop_back();
        };
        return h;
    }();
    return handler;
}

struct outcome {
    std::string events;
    int status = 0;
    int errors = 0;
};

outcome one_shot(const std::string& doc, int skip_flags) {
    checked_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&checking_handler(), &log);
    if (!p) return {"", -2};
    quorvel_sax_parser_set_skip_flags(p, skip_flags);
    quorvel_sax_parser_set_one_shot(p, 1);
    int status = quorvel_sax_parser_feed(p, doc.data(), doc.size(), 1);
    quorvel_sax_parser_free(p);
    return {log.str(), status, log.errors};
}

outcome chunked(const std::string& doc, const std::vector<size_t>& chunks, int skip_flags, bool streaming) {
    checked_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&checking_handler(), &log);
    if (!p) return {"", -2};
    quorvel_sax_parser_set_skip_flags(p, skip_flags);
    quorvel_sax_parser_set_streaming(p, streaming);
    int status = 0;
    size_t at = 0;
    for (size_t n : chunks) {
        // Each chunk in a buffer of its own size, gone when the feed returns:
        // a read past its end or after the feed is caught.
        std::vector<char> chunk(doc.begin() + static_cast<long>(at), doc.begin() + static_cast<long>(at + n));
        if (int rc = quorvel_sax_parser_feed(p, chunk.data(), n, 0); rc != 0 && status == 0) status = rc;
        at += n;
    }
    if (int rc = quorvel_sax_parser_feed(p, "", 0, 1); rc != 0 && status == 0) status = rc;
    quorvel_sax_parser_free(p);
    return {log.str(), status};
}

// One feed's records, written as the logging handler would have.
void replay(const quorvel_sax_recorder* r, sax_test::event_log& log) {
    if (const char* problem = sax_test::replay_records(r, log)) fuzz::fail("recorder: %s", problem);
}

outcome recorded(const std::string& doc, const std::vector<size_t>& chunks, int skip_flags) {
    sax_test::event_log log;
    quorvel_sax_recorder* r = quorvel_sax_recorder_new_flags(skip_flags);
    if (!r) return {"", -2};
    int status = 0;
    size_t at = 0;
    for (size_t n : chunks) {
        std::vector<char> chunk(doc.begin() + static_cast<long>(at), doc.begin() + static_cast<long>(at + n));
        if (int rc = quorvel_sax_recorder_feed(r, chunk.data(), n, 0); rc != 0 && status == 0) status = rc;
        replay(r, log);
        at += n;
    }
    if (int rc = quorvel_sax_recorder_feed(r, "", 0, 1); rc != 0 && status == 0) status = rc;
    replay(r, log);
    quorvel_sax_recorder_free(r);
    return {log.str(), status};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    int skip_flags = in.byte() & 0x18;
    uint8_t mode = in.byte();
    fuzz::lcg rng{in.byte()};
    std::string doc = in.rest();
    if (doc.empty()) return 0;

    size_t limit = mode & 2 ? 4096 : 16;
    std::vector<size_t> chunks;
    for (size_t at = 0; at < doc.size();) {
        size_t n = 1 + rng.next() % limit;
        if (n > doc.size() - at) n = doc.size() - at;
        chunks.push_back(n);
        at += n;
    }

    outcome whole = one_shot(doc, skip_flags);
    // An error the parser reports is not also a success.
    if (whole.status == 0 && whole.errors)
        fuzz::fail("error reported, yet the parse succeeded\n%s", whole.events.c_str());
    outcome parts = chunked(doc, chunks, skip_flags, !(mode & 4));
    if (whole.status != parts.status || whole.events != parts.events)
        fuzz::fail("chunked feed differs from one-shot parse (status %d vs %d)\n--- one-shot\n%s--- chunked\n%s",
                   whole.status, parts.status, whole.events.c_str(), parts.events.c_str());
    if (mode & 1) {
        outcome rec = recorded(doc, chunks, skip_flags);
        if (rec.status != parts.status || rec.events != parts.events)
            fuzz::fail("recorder differs from the parser (status %d vs %d)\n--- parser\n%s--- recorder\n%s",
                       parts.status, rec.status, parts.events.c_str(), rec.events.c_str());
    }
    return 0;
}
