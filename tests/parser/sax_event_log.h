// A SAX handler that writes every event as one line of text, adjacent
// character events merged, so two parses can be compared as strings; and
// a feeder that hands an input to a parser in chunks of a given size.
#pragma once

#include <cstring>
#include <string>
#include <vector>

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

// Replays one recorder feed's records into log as the logging handler would
// have written them, checking that every record stays inside the string
// arena. NULL, or what is wrong with the records.
inline const char* replay_records(const quorvel_sax_recorder* r, event_log& log) {
    size_t count = 0, length = 0;
    const AccelSaxRecord* records = quorvel_sax_recorder_records(r, &count);
    const char* arena = quorvel_sax_recorder_arena(r, &length);
    if (count && !records) return "records lost";
    if (!arena) {
        if (length) return "an arena length without an arena";
        arena = "";  // no strings recorded yet
    }
    const quorvel_sax_handler& h = logging_handler();
    for (size_t i = 0; i < count; i++) {
        const AccelSaxRecord& rec = records[i];
        for (uint8_t b : rec.reserved)
            if (b) return "reserved bytes set";
        if (size_t(rec.name_off) + rec.name_len > length || size_t(rec.text_off) + rec.text_len > length)
            return "a record points past the arena";
        const char* name = arena + rec.name_off;
        const char* text = arena + rec.text_off;
        switch (rec.kind) {
            case 0: h.start_document(&log); break;
            case 1: h.end_document(&log); break;
            case 2: {
                std::vector<const char*> attrs;
                const char* a = arena + rec.attrs_off;
                for (uint32_t k = 0; k < 2 * rec.attr_count; k++) {
                    if (size_t(a - arena) >= length) return "attribute strings run past the arena";
                    attrs.push_back(a);
                    a += std::strlen(a) + 1;
                }
                attrs.push_back(nullptr);
                h.start_element(&log, name, attrs.data());
                break;
            }
            case 3: h.end_element(&log, name); break;
            case 4: h.characters(&log, text, rec.text_len); break;
            case 5: h.comment(&log, text); break;
            case 6: h.cdata(&log, text); break;
            case 7: h.processing_instruction(&log, name, text); break;
            case 8: h.start_prefix_mapping(&log, name, text); break;
            case 9: h.end_prefix_mapping(&log, name); break;
            case 10: h.error(&log, text, static_cast<int>(rec.line), static_cast<int>(rec.column)); break;
            default: return "a record of unknown kind";
        }
    }
    return nullptr;
}

}  // namespace sax_test
