// The SAX recorder: a streaming SAX parser whose handler turns every event
// into a 40-byte AccelSaxRecord and copies its strings into one arena, so a
// caller in another language reads a whole feed's events in place. Both
// arrays are reused from feed to feed. A record or string that cannot be
// kept fails the feed (with an error record when there is room for one):
// a reader never sees a stream with events silently missing.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

static_assert(sizeof(AccelSaxRecord) == 40);
static_assert(offsetof(AccelSaxRecord, kind) == 0 && offsetof(AccelSaxRecord, reserved) == 1);
static_assert(offsetof(AccelSaxRecord, name_off) == 8 && offsetof(AccelSaxRecord, name_len) == 12);
static_assert(offsetof(AccelSaxRecord, text_off) == 16 && offsetof(AccelSaxRecord, text_len) == 20);
static_assert(offsetof(AccelSaxRecord, attrs_off) == 24 && offsetof(AccelSaxRecord, attr_count) == 28);
static_assert(offsetof(AccelSaxRecord, line) == 32 && offsetof(AccelSaxRecord, column) == 36);

struct quorvel_sax_recorder {
    quorvel_sax_parser* parser;
    quorvel_sax_handler handler;
    uint32_t skip_flags;
    AccelSaxRecord* records;
    size_t count;
    size_t capacity;  // records
    char* arena;
    size_t length;
    size_t arena_capacity;  // bytes
    const char* failure;    // why this feed's records are incomplete; NULL when they are not
};

namespace {

// Offsets are 32-bit: one feed's arena stays below 4 GiB.
constexpr size_t kArenaLimit = UINT32_MAX;

enum record_kind : uint8_t {
    kStartDocument,
    kEndDocument,
    kStartElement,
    kEndElement,
    kCharacters,
    kComment,
    kCdata,
    kProcessingInstruction,
    kStartPrefixMapping,
    kEndPrefixMapping,
    kError,
};

void set_failure(quorvel_sax_recorder* r, const char* why) {
    if (!r->failure) r->failure = why;
    if (r->parser) sax_abort(r->parser);
}

AccelSaxRecord* add_record(quorvel_sax_recorder* r, uint8_t kind) {
    if (r->failure) return nullptr;
    if (r->count == r->capacity) {
        size_t capacity = r->capacity ? r->capacity * 2 : 64;
        auto* fresh = static_cast<AccelSaxRecord*>(
            quorvel_work_realloc(r->records, r->count * sizeof(AccelSaxRecord), capacity * sizeof(AccelSaxRecord)));
        if (!fresh) {
            set_failure(r, "out of memory");
            return nullptr;
        }
        r->records = fresh;
        r->capacity = capacity;
    }
    AccelSaxRecord* rec = &r->records[r->count++];
    std::memset(rec, 0, sizeof *rec);
    rec->kind = kind;
    return rec;
}

// Appends n bytes and a NUL; false (recorder failed) when they cannot be kept.
bool store(quorvel_sax_recorder* r, const char* s, size_t n, uint32_t* offset) {
    if (r->failure) return false;
    if (n >= kArenaLimit - r->length) {
        set_failure(r, "SAX record arena exceeds 4 GiB");
        return false;
    }
    size_t need = r->length + n + 1;
    if (need > r->arena_capacity) {
        size_t capacity = r->arena_capacity ? r->arena_capacity : 512;
        while (capacity < need) capacity *= 2;
        char* fresh = static_cast<char*>(quorvel_work_realloc(r->arena, r->length, capacity));
        if (!fresh) {
            set_failure(r, "out of memory");
            return false;
        }
        r->arena = fresh;
        r->arena_capacity = capacity;
    }
    *offset = static_cast<uint32_t>(r->length);
    if (n) std::memcpy(r->arena + r->length, s, n);
    r->arena[r->length + n] = '\0';
    r->length += n + 1;
    return true;
}

inline bool store_name(quorvel_sax_recorder* r, AccelSaxRecord* rec, const char* s) {
    if (!s) s = "";
    size_t n = std::strlen(s);
    rec->name_len = static_cast<uint32_t>(n);
    return store(r, s, n, &rec->name_off);
}

inline bool store_text(quorvel_sax_recorder* r, AccelSaxRecord* rec, const char* s, size_t n) {
    if (!s) s = "";
    rec->text_len = static_cast<uint32_t>(n);
    return store(r, s, n, &rec->text_off);
}

inline quorvel_sax_recorder* self(void* user) { return static_cast<quorvel_sax_recorder*>(user); }

void on_start_document(void* user) { add_record(self(user), kStartDocument); }
void on_end_document(void* user) { add_record(self(user), kEndDocument); }

void on_start_element(void* user, const char* name, const char* const* attributes) {
    quorvel_sax_recorder* r = self(user);
    AccelSaxRecord* rec = add_record(r, kStartElement);
    if (!rec || !store_name(r, rec, name)) return;
    uint32_t pairs = 0;
    for (const char* const* a = attributes; a && a[0]; a += 2, pairs++) {
        uint32_t offset;
        if (!store(r, a[0], std::strlen(a[0]), &offset)) return;
        if (pairs == 0) rec->attrs_off = offset;
        const char* value = a[1] ? a[1] : "";
        if (!store(r, value, std::strlen(value), &offset)) return;
    }
    rec->attr_count = pairs;
}

void on_end_element(void* user, const char* name) {
    quorvel_sax_recorder* r = self(user);
    if (AccelSaxRecord* rec = add_record(r, kEndElement)) store_name(r, rec, name);
}

void on_characters(void* user, const char* text, size_t length) {
    quorvel_sax_recorder* r = self(user);
    if (AccelSaxRecord* rec = add_record(r, kCharacters)) store_text(r, rec, text, length);
}

void on_text_event(quorvel_sax_recorder* r, uint8_t kind, const char* text) {
    if (AccelSaxRecord* rec = add_record(r, kind)) store_text(r, rec, text, text ? std::strlen(text) : 0);
}

void on_comment(void* user, const char* text) { on_text_event(self(user), kComment, text); }
void on_cdata(void* user, const char* text) { on_text_event(self(user), kCdata, text); }

void on_processing_instruction(void* user, const char* target, const char* data) {
    quorvel_sax_recorder* r = self(user);
    AccelSaxRecord* rec = add_record(r, kProcessingInstruction);
    if (rec && store_name(r, rec, target)) store_text(r, rec, data, data ? std::strlen(data) : 0);
}

void on_start_prefix_mapping(void* user, const char* prefix, const char* uri) {
    quorvel_sax_recorder* r = self(user);
    AccelSaxRecord* rec = add_record(r, kStartPrefixMapping);
    if (rec && store_name(r, rec, prefix)) store_text(r, rec, uri, uri ? std::strlen(uri) : 0);
}

void on_end_prefix_mapping(void* user, const char* prefix) {
    quorvel_sax_recorder* r = self(user);
    if (AccelSaxRecord* rec = add_record(r, kEndPrefixMapping)) store_name(r, rec, prefix);
}

void on_error(void* user, const char* message, int line, int column) {
    quorvel_sax_recorder* r = self(user);
    AccelSaxRecord* rec = add_record(r, kError);
    if (!rec) return;
    rec->line = static_cast<uint32_t>(line);
    rec->column = static_cast<uint32_t>(column);
    store_text(r, rec, message, message ? std::strlen(message) : 0);
}

bool make_parser(quorvel_sax_recorder* r) {
    r->parser = quorvel_sax_parser_create(&r->handler, r);
    if (!r->parser) return false;
    quorvel_sax_parser_set_streaming(r->parser, 1);
    if (r->skip_flags) quorvel_sax_parser_set_skip_flags(r->parser, static_cast<int>(r->skip_flags));
    return true;
}

// After a failed feed the last record says why, when there is room for it.
void record_failure(quorvel_sax_recorder* r) {
    const char* why = r->failure;
    r->failure = nullptr;
    AccelSaxRecord* rec = add_record(r, kError);
    if (rec && !store_text(r, rec, why, std::strlen(why))) r->count--;
    r->failure = why;
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_sax_recorder* quorvel_sax_recorder_new_flags(int skip_flags) {
    auto* r = static_cast<quorvel_sax_recorder*>(quorvel_work_calloc(sizeof(quorvel_sax_recorder)));
    if (!r) return nullptr;
    r->handler = quorvel_sax_handler{on_start_document, on_end_document,      on_start_element,
                                     on_end_element,    on_characters,        on_comment,
                                     on_cdata,          on_processing_instruction, on_start_prefix_mapping,
                                     on_end_prefix_mapping, on_error};
    r->skip_flags = static_cast<uint32_t>(skip_flags);
    if (!make_parser(r)) {
        quorvel_work_free(r);
        return nullptr;
    }
    return r;
}

QUORVEL_API quorvel_sax_recorder* quorvel_sax_recorder_new(void) { return quorvel_sax_recorder_new_flags(0); }

QUORVEL_API int quorvel_sax_recorder_feed(quorvel_sax_recorder* r, const char* chunk, size_t length, int is_final) {
    if (!r || !chunk) return -1;
    r->count = 0;
    r->length = 0;
    r->failure = nullptr;
    if (!r->parser) return -1;
    int result = quorvel_sax_parser_feed(r->parser, chunk, length, is_final);
    if (r->failure) {
        // The records could not be kept: a memory failure, whatever else
        // the parser saw.
        record_failure(r);
        return -1;
    }
    return result;
}

QUORVEL_API int quorvel_sax_recorder_reset(quorvel_sax_recorder* r) {
    if (!r) return -1;
    quorvel_sax_parser_free(r->parser);
    r->parser = nullptr;
    r->count = 0;
    r->length = 0;
    r->failure = nullptr;
    return make_parser(r) ? 0 : -1;
}

QUORVEL_API const AccelSaxRecord* quorvel_sax_recorder_records(const quorvel_sax_recorder* r, size_t* count_out) {
    if (count_out) *count_out = r ? r->count : 0;
    return r ? r->records : nullptr;
}

QUORVEL_API const char* quorvel_sax_recorder_arena(const quorvel_sax_recorder* r, size_t* length_out) {
    if (length_out) *length_out = r ? r->length : 0;
    return r ? r->arena : nullptr;
}

QUORVEL_API void quorvel_sax_recorder_free(quorvel_sax_recorder* r) {
    if (!r) return;
    quorvel_sax_parser_free(r->parser);
    quorvel_work_free(r->records);
    quorvel_work_free(r->arena);
    quorvel_work_free(r);
}

}  // extern "C"
