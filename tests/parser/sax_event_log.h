// A SAX handler that writes every event as one line of text, adjacent
// character events merged, so two parses can be compared as strings; and
// a feeder that hands an input to a parser in chunks of a given size.
#pragma once

#include <cstring>
#include <string>

#include "quorvel.h"

namespace sax_test {

struct event_log {
    std::string text;   // one line per event
    std::string chars;  // character data not yet written
    int errors = 0;

    void flush() {
        if (chars.empty()) return;
        text += "chars[" + chars + "]\n";
        chars.clear();
    }
    void line(const std::string& s) {
        flush();
        text += s + "\n";
    }
    std::string str() {
        flush();
        return text;
    }
};

inline event_log* log_of(void* user) { return static_cast<event_log*>(user); }

inline const quorvel_sax_handler& logging_handler() {
    static const quorvel_sax_handler handler{
        [](void* u) { log_of(u)->line("start_document"); },
        [](void* u) { log_of(u)->line("end_document"); },
        [](void* u, const char* name, const char* const* attributes) {
            std::string s = std::string("start ") + name;
            for (const char* const* a = attributes; *a; a += 2) s += std::string(" ") + a[0] + "=[" + a[1] + "]";
            log_of(u)->line(s);
        },
        [](void* u, const char* name) { log_of(u)->line(std::string("end ") + name); },
        [](void* u, const char* text, size_t length) { log_of(u)->chars.append(text, length); },
        [](void* u, const char* text) { log_of(u)->line(std::string("comment[") + text + "]"); },
        [](void* u, const char* text) { log_of(u)->line(std::string("cdata[") + text + "]"); },
        [](void* u, const char* target, const char* data) {
            log_of(u)->line(std::string("pi[") + target + "][" + (data ? data : "(null)") + "]");
        },
        [](void* u, const char* prefix, const char* uri) {
            log_of(u)->line(std::string("map ") + prefix + "=" + uri);
        },
        [](void* u, const char* prefix) { log_of(u)->line(std::string("unmap ") + prefix); },
        [](void* u, const char* message, int line, int column) {
            log_of(u)->errors++;
            log_of(u)->line(std::string("error ") + message + " @" + std::to_string(line) + ":" + std::to_string(column));
        },
    };
    return handler;
}

struct parse_result {
    std::string events;
    int status;  // 0, or what the first failing feed answered
};

// chunk 0: the whole input in one final feed, one-shot mode.
inline parse_result parse_in_chunks(const std::string& input, size_t chunk, int skip_flags = 0) {
    event_log log;
    quorvel_sax_parser* p = quorvel_sax_parser_create(&logging_handler(), &log);
    quorvel_sax_parser_set_skip_flags(p, skip_flags);
    int status = 0;
    if (chunk == 0) {
        quorvel_sax_parser_set_one_shot(p, 1);
        status = quorvel_sax_parser_feed(p, input.data(), input.size(), 1);
    } else {
        for (size_t i = 0; i < input.size(); i += chunk) {
            size_t n = input.size() - i < chunk ? input.size() - i : chunk;
            int r = quorvel_sax_parser_feed(p, input.data() + i, n, 0);
            if (r != 0 && status == 0) status = r;
        }
        int r = quorvel_sax_parser_feed(p, "", 0, 1);
        if (r != 0 && status == 0) status = r;
    }
    quorvel_sax_parser_free(p);
    return {log.str(), status};
}

}  // namespace sax_test
