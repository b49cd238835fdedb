// The pull parser: a SAX parser whose handler queues events for the caller
// to take one at a time or in batches. The SAX parser is paused after each
// construct that produced events, so a memory text is read only as far as
// the caller asks (the queue holds one construct's events) and a file is
// read 256 bytes at a time. Event strings go into two arenas used in turn:
// the parser refills one only when every event in it has been handed out
// and the current event lives in the other, so no event costs a malloc.
// A batch runs the parser until the queue holds as many events as the batch
// wants, with the new events' strings written straight into the batch's
// staging arena (two, used in turn), so nothing is copied twice and the
// parser is not stopped after every construct.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

namespace {

struct pull_block {
    pull_block* next;
    size_t capacity;
    size_t used;
    size_t reserved;  // keeps the data 16-aligned
};

// A bump allocator over a chain of blocks that a reset keeps for reuse.
struct pull_arena {
    pull_block* head;
    pull_block* current;

    void reset() {
        current = head;
        if (head) head->used = 0;
    }

    void* alloc(size_t n) {
        n = (n + 7) & ~size_t(7);
        pull_block* b = current;
        if (b && b->capacity - b->used >= n) {
            void* at = reinterpret_cast<char*>(b + 1) + b->used;
            b->used += n;
            return at;
        }
        // The following blocks of the chain first, then a new one.
        for (pull_block* next = b ? b->next : head; next; next = next->next) {
            next->used = 0;
            current = next;
            if (next->capacity >= n) {
                next->used = n;
                return next + 1;
            }
        }
        size_t capacity = 256;
        while (capacity < n) capacity *= 2;
        if (b && capacity < b->capacity) capacity = b->capacity;
        auto* fresh = static_cast<pull_block*>(quorvel_work_alloc(sizeof(pull_block) + capacity));
        if (!fresh) return nullptr;
        fresh->next = nullptr;
        fresh->capacity = capacity;
        fresh->used = n;
        pull_block* last = current;
        if (last) {
            while (last->next) last = last->next;
            last->next = fresh;
        } else {
            head = fresh;
        }
        current = fresh;
        return fresh + 1;
    }

    char* copy(const char* s, size_t n) {
        auto* c = static_cast<char*>(alloc(n + 1));
        if (!c) return nullptr;
        if (n) std::memcpy(c, s, n);
        c[n] = '\0';
        return c;
    }

    void release() {
        for (pull_block* b = head; b;) {
            pull_block* next = b->next;
            quorvel_work_free(b);
            b = next;
        }
        head = current = nullptr;
    }
};

constexpr size_t kReadChunk = 256;
constexpr size_t kFileBuffer = 64 * 1024;

}  // namespace

struct quorvel_pull {
    quorvel_sax_parser* sax;
    quorvel_sax_handler handler;
    const char* text;  // memory input, the caller's until the first read
    size_t length;
    size_t fed;
    FILE* file;
    char* file_buffer;  // stdio buffer of the file
    char read_buffer[kReadChunk];
    int exhausted;
    int error;
    int out_of_memory;  // an event could not be queued: an error event follows
    quorvel_pull_event* ring;
    size_t head;
    size_t tail;
    size_t capacity;
    quorvel_pull_event current;
    int current_arena;  // arena holding the current event's strings, -1 for none
    int fill;           // arena the queueing callbacks write into
    int batch_current;  // the current event was installed by a batch (staged strings)
    // While a batch runs: the arena new events' strings go to, and how many
    // queued events the batch still wants (the parser pauses at that many).
    pull_arena* batch_arena;
    size_t batch_want;
    int stage;          // staging arena of the latest batch
    pull_arena arenas[2];
    pull_arena staging[2];
};

namespace {

inline quorvel_pull* self(void* user) { return static_cast<quorvel_pull*>(user); }

inline size_t queued(const quorvel_pull* p) { return (p->tail + p->capacity - p->head) % p->capacity; }

// The arena the strings of an event being queued go to.
inline pull_arena& fill_arena(quorvel_pull* p) { return p->batch_arena ? *p->batch_arena : p->arenas[p->fill]; }

// An event could not be completed: it leaves the queue (a reader must
// never see it half made) and the stream ends with an out-of-memory report.
// Events are only ever completed in the callback that queued them, so the
// incomplete one is the newest.
void lost_event(quorvel_pull* p, bool queued = true) {
    if (p->out_of_memory) return;
    if (queued) p->tail = (p->tail + p->capacity - 1) % p->capacity;
    p->out_of_memory = 1;
    sax_abort(p->sax);
}

// A zeroed event at the tail of the ring, or NULL (reader failed).
quorvel_pull_event* push(quorvel_pull* p, int kind) {
    if (p->out_of_memory) return nullptr;
    size_t count = queued(p);
    if (count == p->capacity - 1) {
        size_t capacity = p->capacity * 2;
        auto* fresh = static_cast<quorvel_pull_event*>(quorvel_work_calloc(capacity * sizeof(quorvel_pull_event)));
        if (!fresh) {
            lost_event(p, false);
            return nullptr;
        }
        for (size_t i = 0; i < count; i++) fresh[i] = p->ring[(p->head + i) % p->capacity];
        quorvel_work_free(p->ring);
        p->ring = fresh;
        p->capacity = capacity;
        p->head = 0;
        p->tail = count;
    }
    quorvel_pull_event* e = &p->ring[p->tail];
    p->tail = (p->tail + 1) % p->capacity;
    *e = quorvel_pull_event{};
    e->kind = kind;
    e->borrowed = p->sax->one_shot;
    // Hand control back once this construct is read (in a batch, once the
    // batch has its events).
    if (!p->batch_arena || count + 1 >= p->batch_want) sax_request_pause(p->sax);
    return e;
}

// A string of the event: the parser's own in one-shot mode (it stays put
// until the parser is freed), else a copy in the fill arena.
const char* keep(quorvel_pull* p, const char* s) {
    if (!s) s = "";
    if (p->sax->one_shot) return s;
    char* c = fill_arena(p).copy(s, std::strlen(s));
    if (!c) lost_event(p);
    return c;
}

void on_end_document(void* user) { push(self(user), QUORVEL_PULL_END_DOCUMENT); }

void on_start_element(void* user, const char* name, const char* const* attributes) {
    quorvel_pull* p = self(user);
    quorvel_pull_event* e = push(p, QUORVEL_PULL_START_ELEMENT);
    if (!e) return;
    size_t pairs = 0;
    while (attributes[2 * pairs]) pairs++;
    // The parser's array lives only for the callback: the event gets its own.
    auto** array = static_cast<char**>(fill_arena(p).alloc((2 * pairs + 1) * sizeof(char*)));
    if (!array) return lost_event(p);
    for (size_t i = 0; i < 2 * pairs; i++) array[i] = const_cast<char*>(keep(p, attributes[i]));
    array[2 * pairs] = nullptr;
    e->name = keep(p, name);
    e->attributes = array;
    e->attribute_count = pairs;
}

void on_end_element(void* user, const char* name) {
    quorvel_pull* p = self(user);
    if (quorvel_pull_event* e = push(p, QUORVEL_PULL_END_ELEMENT)) e->name = keep(p, name);
}

void on_characters(void* user, const char* text, size_t length) {
    quorvel_pull* p = self(user);
    quorvel_pull_event* e = push(p, QUORVEL_PULL_CHARACTERS);
    if (!e) return;
    // Character data lives only for the callback, in every mode.
    e->text = fill_arena(p).copy(text, length);
    e->text_length = length;
    if (!e->text) lost_event(p);
}

void text_event(quorvel_pull* p, int kind, const char* text) {
    if (quorvel_pull_event* e = push(p, kind)) {
        e->text = keep(p, text);
        e->text_length = e->text ? std::strlen(e->text) : 0;
    }
}

void on_comment(void* user, const char* text) { text_event(self(user), QUORVEL_PULL_COMMENT, text); }
void on_cdata(void* user, const char* text) { text_event(self(user), QUORVEL_PULL_CDATA, text); }

void on_processing_instruction(void* user, const char* target, const char* data) {
    quorvel_pull* p = self(user);
    quorvel_pull_event* e = push(p, QUORVEL_PULL_PROCESSING_INSTRUCTION);
    if (!e) return;
    e->name = keep(p, target);
    if (data) {
        e->text = keep(p, data);
        e->text_length = e->text ? std::strlen(e->text) : 0;
    }
}

void on_start_prefix_mapping(void* user, const char* prefix, const char* uri) {
    quorvel_pull* p = self(user);
    quorvel_pull_event* e = push(p, QUORVEL_PULL_START_PREFIX_MAPPING);
    if (!e) return;
    e->name = keep(p, prefix);
    e->text = keep(p, uri);
    e->text_length = e->text ? std::strlen(e->text) : 0;
}

void on_end_prefix_mapping(void* user, const char* prefix) {
    quorvel_pull* p = self(user);
    if (quorvel_pull_event* e = push(p, QUORVEL_PULL_END_PREFIX_MAPPING)) e->name = keep(p, prefix);
}

void on_error(void* user, const char* message, int, int) {
    quorvel_pull* p = self(user);
    // Only a fatal error ends the stream; a repeated attribute is reported
    // among the events and reading goes on, from memory or from a file.
    if (p->sax->error_flag) p->error = 1;
    quorvel_pull_event* e = push(p, QUORVEL_PULL_ERROR);
    if (!e) return;
    e->text = fill_arena(p).copy(message, std::strlen(message));
    e->text_length = e->text ? std::strlen(e->text) : 0;
    e->borrowed = 0;
    if (!e->text) lost_event(p);
}

quorvel_pull* pull_create(int skip_flags) {
    auto* p = static_cast<quorvel_pull*>(quorvel_work_calloc(sizeof(quorvel_pull)));
    if (!p) return nullptr;
    p->handler = quorvel_sax_handler{nullptr,
                                     on_end_document,
                                     on_start_element,
                                     on_end_element,
                                     on_characters,
                                     on_comment,
                                     on_cdata,
                                     on_processing_instruction,
                                     on_start_prefix_mapping,
                                     on_end_prefix_mapping,
                                     on_error};
    p->capacity = 32;
    p->ring = static_cast<quorvel_pull_event*>(quorvel_work_calloc(p->capacity * sizeof(quorvel_pull_event)));
    p->sax = quorvel_sax_parser_create(&p->handler, p);
    if (!p->ring || !p->sax) {
        quorvel_work_free(p->ring);
        quorvel_sax_parser_free(p->sax);
        quorvel_work_free(p);
        return nullptr;
    }
    if (skip_flags) quorvel_sax_parser_set_skip_flags(p->sax, skip_flags);
    p->current_arena = -1;
    return p;
}

// Runs the SAX parser until it queues something (a batch: enough) or the
// input ends.
void refill(quorvel_pull* p) {
    if (!p->batch_arena) {
        p->fill = p->current_arena == 0 ? 1 : 0;
        p->arenas[p->fill].reset();
    }
    if (sax_is_paused(p->sax)) {
        sax_resume(p->sax);
    } else if (p->text) {
        quorvel_sax_parser_feed(p->sax, p->text, p->length, 1);
        p->fed = p->length;
        p->text = nullptr;
        p->exhausted = 1;
    } else if (p->file) {
        size_t n = std::fread(p->read_buffer, 1, kReadChunk, p->file);
        int final = n < kReadChunk;
        quorvel_sax_parser_feed(p->sax, p->read_buffer, n, final);
        if (final) p->exhausted = 1;
    } else {
        p->exhausted = 1;
    }
}

inline bool queue_empty(const quorvel_pull* p) { return p->head == p->tail; }

// With the queue empty: whether the stream goes on (a refill may queue
// more). When what could not be queued ends the stream, *report is set and
// the report is made once.
bool stream_goes_on(quorvel_pull* p, bool* report) {
    *report = false;
    if (p->out_of_memory == 1) {
        p->out_of_memory = 2;
        p->error = 1;
        *report = true;
        return false;
    }
    return !(p->error || p->out_of_memory || (p->exhausted && !sax_is_paused(p->sax)));
}

quorvel_pull_event* next_event(quorvel_pull* p) {
    if (p->batch_current) {
        p->current = quorvel_pull_event{};
        p->batch_current = 0;
    }
    while (queue_empty(p)) {
        bool report;
        if (!stream_goes_on(p, &report)) {
            if (!report) return nullptr;
            // What could not be queued ends the stream with a report.
            p->current = quorvel_pull_event{};
            p->current.kind = QUORVEL_PULL_ERROR;
            p->current.text = "out of memory";
            p->current.text_length = 13;
            p->current.borrowed = 1;
            return &p->current;
        }
        refill(p);
    }
    p->current = p->ring[p->head];
    p->ring[p->head] = quorvel_pull_event{};
    p->head = (p->head + 1) % p->capacity;
    p->current_arena = p->fill;
    return &p->current;
}

inline const quorvel_pull_event* start_event(const quorvel_pull* p) {
    return p && p->current.kind == QUORVEL_PULL_START_ELEMENT && p->current.attributes ? &p->current : nullptr;
}

}  // namespace

namespace {

// Copies a queued event's strings and attribute array into arena, which
// must outlive the event. False when memory ran out (the event unchanged).
bool restage(pull_arena& arena, quorvel_pull_event& e) {
    quorvel_pull_event moved = e;
    if (e.name && !(moved.name = arena.copy(e.name, std::strlen(e.name)))) return false;
    if (e.text && !(moved.text = arena.copy(e.text, e.text_length))) return false;
    if (e.attributes) {
        size_t slots = 2 * e.attribute_count + 1;
        auto** array = static_cast<char**>(arena.alloc(slots * sizeof(char*)));
        if (!array) return false;
        for (size_t i = 0; i < slots - 1; i++) {
            const char* a = e.attributes[i];
            if (a && !(array[i] = arena.copy(a, std::strlen(a)))) return false;
            if (!a) array[i] = nullptr;
        }
        array[slots - 1] = nullptr;
        moved.attributes = array;
    }
    moved.borrowed = 0;
    e = moved;
    return true;
}

// Memory ran out for a queued event: it and every event after it are lost,
// and the stream ends with an out-of-memory report.
void lose_queue_from(quorvel_pull* p, size_t at) {
    for (size_t drop = at; drop != p->tail; drop = (drop + 1) % p->capacity) p->ring[drop] = quorvel_pull_event{};
    p->tail = at;
    p->out_of_memory = 1;
    sax_abort(p->sax);
}

}  // namespace

extern "C" {

QUORVEL_API quorvel_pull* quorvel_pull_new_flags(const char* text, size_t length, int skip_flags) {
    if (!text || length == 0) return nullptr;
    quorvel_pull* p = pull_create(skip_flags);
    if (!p) return nullptr;
    quorvel_sax_parser_set_one_shot(p->sax, 1);
    p->text = text;
    p->length = length;
    return p;
}

QUORVEL_API quorvel_pull* quorvel_pull_new(const char* text, size_t length) {
    return quorvel_pull_new_flags(text, length, 0);
}

QUORVEL_API quorvel_pull* quorvel_pull_new_file_flags(const char* path, int skip_flags) {
    if (!path || !*path) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    quorvel_pull* p = pull_create(skip_flags);
    if (!p) {
        std::fclose(f);
        return nullptr;
    }
    p->file = f;
    // Reads stay 256 bytes each; stdio serves them from a larger buffer.
    p->file_buffer = static_cast<char*>(quorvel_work_alloc(kFileBuffer));
    if (!p->file_buffer) {
        quorvel_pull_free(p);
        return nullptr;
    }
    std::setvbuf(f, p->file_buffer, _IOFBF, kFileBuffer);
    return p;
}

QUORVEL_API quorvel_pull* quorvel_pull_new_file(const char* path) { return quorvel_pull_new_file_flags(path, 0); }

QUORVEL_API quorvel_pull_event* quorvel_pull_next(quorvel_pull* p) { return p ? next_event(p) : nullptr; }

QUORVEL_API size_t quorvel_pull_attr_count(const quorvel_pull* p) {
    const quorvel_pull_event* e = start_event(p);
    return e ? e->attribute_count : 0;
}

QUORVEL_API const char* quorvel_pull_attr_name(const quorvel_pull* p, size_t index) {
    const quorvel_pull_event* e = start_event(p);
    return e && index < e->attribute_count ? e->attributes[2 * index] : nullptr;
}

QUORVEL_API const char* quorvel_pull_attr_value(const quorvel_pull* p, size_t index) {
    const quorvel_pull_event* e = start_event(p);
    return e && index < e->attribute_count ? e->attributes[2 * index + 1] : nullptr;
}

QUORVEL_API size_t quorvel_pull_attrs(const quorvel_pull* p, quorvel_pull_attribute* out, size_t n) {
    const quorvel_pull_event* e = start_event(p);
    if (!e) return 0;
    if (out)
        for (size_t i = 0; i < n && i < e->attribute_count; i++)
            out[i] = quorvel_pull_attribute{e->attributes[2 * i], e->attributes[2 * i + 1]};
    return e->attribute_count;
}

QUORVEL_API size_t quorvel_pull_next_batch(quorvel_pull* p, quorvel_pull_batch_item* items, size_t n) {
    if (!p || !items || n == 0) return 0;
    if (p->batch_current) {
        p->current = quorvel_pull_event{};
        p->batch_current = 0;
    }
    // The other staging arena: the previous batch's may still hold the
    // strings of events it queued but did not hand out.
    p->stage ^= 1;
    pull_arena& stage = p->staging[p->stage];
    stage.reset();
    // Events queued before this batch keep strings in arenas a later read
    // reuses: theirs are copied. Those the batch queues are written here.
    size_t inherited = queued(p);
    // The attribute view of the batch: the last start element with
    // attributes, its array staged whole.
    const char* view_name = nullptr;
    char** view = nullptr;
    size_t view_count = 0;
    size_t count = 0;
    while (count < n) {
        if (queue_empty(p)) {
            bool report;
            if (!stream_goes_on(p, &report)) {
                if (report) items[count++] = quorvel_pull_batch_item{QUORVEL_PULL_ERROR, nullptr, "out of memory", 13};
                break;
            }
            p->batch_arena = &stage;
            p->batch_want = n - count;
            refill(p);
            p->batch_arena = nullptr;
            continue;
        }
        quorvel_pull_event e = p->ring[p->head];
        if (inherited) {
            inherited--;
            if (!restage(stage, e)) {
                inherited = 0;
                lose_queue_from(p, p->head);
                continue;  // the report follows
            }
        }
        p->ring[p->head] = quorvel_pull_event{};
        p->head = (p->head + 1) % p->capacity;
        items[count++] = quorvel_pull_batch_item{e.kind, e.name, e.text, e.text_length};
        if (e.kind == QUORVEL_PULL_START_ELEMENT && e.attribute_count) {
            view = e.attributes;
            view_count = e.attribute_count;
            view_name = e.name;
        }
    }
    // Inherited events the batch did not hand out have strings in an arena
    // that the next batch, or the next single step, reuses (the other
    // staging arena, or a single step's): they move into this batch's,
    // which the next batch leaves alone. What cannot be moved is lost, and
    // the stream ends with an out-of-memory report.
    for (size_t k = 0, at = p->head; k < inherited; k++, at = (at + 1) % p->capacity) {
        if (!restage(stage, p->ring[at])) {
            lose_queue_from(p, at);
            break;
        }
    }
    if (view) {
        p->current = quorvel_pull_event{};
        p->current.kind = QUORVEL_PULL_START_ELEMENT;
        p->current.name = view_name;
        p->current.attributes = view;
        p->current.attribute_count = view_count;
        p->batch_current = 1;
    }
    return count;
}

QUORVEL_API void quorvel_pull_free(quorvel_pull* p) {
    if (!p) return;
    if (p->file) std::fclose(p->file);
    quorvel_work_free(p->file_buffer);
    quorvel_sax_parser_free(p->sax);
    p->arenas[0].release();
    p->arenas[1].release();
    p->staging[0].release();
    p->staging[1].release();
    quorvel_work_free(p->ring);
    quorvel_work_free(p);
}

}  // extern "C"
