// The SAX parser object and its exports: creation, the feed driver (read
// the chunk where it lies, carry over what it left unconsumed), the
// one-call parse, the mode setters, and the pause and abort hooks the pull
// parser and the recorder use. The reading rules themselves are in
// sax_tokenizer.cpp.
#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

namespace {

constexpr size_t kBlockInputMin = 256 * 1024;
// The first stretch of a chunk read on with a carried tail; each further
// stretch is twice the bytes held.
constexpr size_t kCarryStep = 512;

// Room for `need` bytes in own: 256 times a power of two. What own holds
// is kept only while it is being read.
bool own_reserve(quorvel_sax_parser* p, size_t need) {
    if (need <= p->capacity) return true;
    size_t capacity = p->capacity ? p->capacity : 256;
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2) return false;
        capacity *= 2;
    }
    const bool live = p->input == p->own;
    char* fresh;
    if (p->input_block) {
        fresh = static_cast<char*>(quorvel_work_alloc(capacity));
        if (!fresh) return false;
        if (live) std::memcpy(fresh, p->own, p->length);
        quorvel_arena_destroy(p->input_block);
        p->input_block = nullptr;
    } else {
        fresh = static_cast<char*>(quorvel_work_realloc(p->own, live ? p->length : 0, capacity));
        if (!fresh) return false;
    }
    if (live) p->input = fresh;
    p->own = fresh;
    p->capacity = capacity;
    return true;
}

// Appends to own, which is being read.
bool own_append(quorvel_sax_parser* p, const char* bytes, size_t n) {
    if (n > SIZE_MAX - p->length || !own_reserve(p, p->length + n)) return false;
    if (n) std::memcpy(p->own + p->length, bytes, n);
    p->length += n;
    return true;
}

// The single feed of a large one-shot parse: a cached block when one fits.
void input_take_block(quorvel_sax_parser* p, size_t length) {
    if (p->own || length < kBlockInputMin) return;
    if (quorvel_arena* block = quorvel_arena_create(length)) {
        p->input_block = block;
        p->own = block->data;
        p->input = p->own;
        p->capacity = block->capacity;
    }
}

// Switches reading to [bytes, bytes + n) from offset `at`, with the count
// carried over: the bytes before `at` were read already.
inline void read_from(quorvel_sax_parser* p, const char* bytes, size_t n, size_t at) {
    sax_count_to(p, p->pos);
    p->input = bytes;
    p->length = n;
    p->pos = at;
    p->counted = at;
}

// Leaves only unconsumed bytes, and only in own: consumed ones are dropped
// (counted first), and what is left of a caller's chunk is copied, as the
// chunk is the caller's again when the feed returns. One-shot input never
// moves: the strings handed out point into it.
bool keep_rest(quorvel_sax_parser* p) {
    if (p->one_shot) return true;
    sax_count_to(p, p->pos);
    size_t rest = p->length - p->pos;
    if (p->input != p->own) {
        if (rest && !own_reserve(p, rest)) return false;
        if (rest) std::memcpy(p->own, p->input + p->pos, rest);
    } else if (p->pos && rest) {
        std::memmove(p->own, p->own + p->pos, rest);
    }
    p->input = p->own;
    p->length = rest;
    p->pos = 0;
    p->counted = 0;
    return true;
}

int finish_run(quorvel_sax_parser* p, int result) {
    if (result == 0 && !keep_rest(p)) {
        sax_report_out_of_memory(p);
        result = -1;
    }
    if (result != 0) {
        if (p->result == 0) p->result = -2;
        // Nothing more is read; the caller's chunk is not kept either.
        if (!p->one_shot) {
            p->input = p->own;
            p->length = p->pos = p->counted = 0;
        }
    }
    return p->result;
}

// A streaming feed. With nothing carried over the chunk is read where it
// lies. A carried tail is read on with the chunk's first bytes appended to
// it, a growing stretch at a time, until the parser has passed the tail;
// reading then goes on in the chunk itself. Every construct waiting at a
// stretch's end resumes where its search stopped, so no byte is scanned
// twice, and events do not depend on where the stretches end.
int feed_streaming(quorvel_sax_parser* p, const char* chunk, size_t length, bool is_final) {
    size_t taken = 0;
    if (p->pos < p->length) {
        if (length == 0) {
            p->is_final = is_final;
            return finish_run(p, sax_run(p));
        }
        const size_t base = p->length;  // where chunk[0] lands in own
        while (taken < length) {
            size_t step = p->length - p->pos > kCarryStep ? p->length - p->pos : kCarryStep;
            if (step > length - taken) step = length - taken;
            if (!own_append(p, chunk + taken, step)) return sax_report_out_of_memory(p);
            taken += step;
            p->is_final = is_final && taken == length;
            if (sax_run(p) != 0) return finish_run(p, -1);
            if (p->paused) {
                // Resumed later over own alone: it takes the rest now.
                if (!own_append(p, chunk + taken, length - taken)) return sax_report_out_of_memory(p);
                p->is_final = is_final;
                return finish_run(p, 0);
            }
            if (p->pos >= base && taken < length) {
                read_from(p, chunk, length, p->pos - base);
                break;
            }
        }
        if (p->input == p->own) return finish_run(p, 0);
    } else {
        read_from(p, chunk, length, 0);
    }
    p->is_final = is_final;
    return finish_run(p, sax_run(p));
}

}  // namespace

int sax_resume(quorvel_sax_parser* p) {
    if (p->state == kSaxFailed) return p->result ? p->result : -1;
    if (p->state == kSaxEnded) return p->result;
    return finish_run(p, sax_run(p));
}

void sax_abort(quorvel_sax_parser* p) {
    p->error_flag = 1;
    if (p->result == 0) p->result = -1;
    p->state = kSaxFailed;
    p->paused = 0;
}

extern "C" {

QUORVEL_API quorvel_sax_parser* quorvel_sax_parser_create(const quorvel_sax_handler* handler, void* user) {
    if (!handler) return nullptr;
    auto* p = static_cast<quorvel_sax_parser*>(quorvel_work_calloc(sizeof(quorvel_sax_parser)));
    if (!p) return nullptr;
    quorvel_kernels_ensure();
    p->handler = handler;
    p->user = user;
    p->line = 1;
    p->column = 1;
    p->state = kSaxTopLevel;
    p->streaming = 1;
    p->at_start = 1;
    return p;
}

QUORVEL_API int quorvel_sax_parser_feed(quorvel_sax_parser* p, const char* chunk, size_t length, int is_final) {
    if (!p || !chunk) return -1;
    if (!p->started) {
        p->started = 1;
        if (p->handler->start_document) p->handler->start_document(p->user);
    }
    // Input after the end or a failure is not kept: a caller that goes on
    // feeding must not grow the parser.
    if (p->state == kSaxFailed || p->state == kSaxEnded) return sax_resume(p);
    if (p->paused) {
        // Only internal readers pause; a feed first finishes what is buffered.
        if (int r = sax_resume(p); r != 0 && p->state == kSaxFailed) return r;
        if (p->paused) return sax_report_out_of_memory(p);
    }
    // One-shot reads in place and so needs the whole input at once.
    if (p->one_shot && (p->fed || !is_final)) p->one_shot = 0;
    p->fed = 1;
    if (!p->one_shot) return feed_streaming(p, chunk, length, is_final != 0);
    input_take_block(p, length);
    p->input = p->own;
    if (!own_append(p, chunk, length)) return sax_report_out_of_memory(p);
    p->is_final = 1;
    return finish_run(p, sax_run(p));
}

QUORVEL_API void quorvel_sax_parser_free(quorvel_sax_parser* p) {
    if (!p) return;
    sax_free_scratch(p);
    if (p->input_block)
        quorvel_arena_destroy(p->input_block);
    else
        quorvel_work_free(p->own);
    quorvel_work_free(p->text);
    quorvel_work_free(p->views);
    quorvel_work_free(p->dup_slots);
    quorvel_work_free(p);
}

QUORVEL_API int quorvel_sax_parse(const char* text, size_t length, const quorvel_sax_handler* handler, void* user) {
    if (!text || length == 0 || !handler) return -1;
    quorvel_sax_parser* p = quorvel_sax_parser_create(handler, user);
    if (!p) return -1;
    p->one_shot = 1;
    int result = quorvel_sax_parser_feed(p, text, length, 1);
    if (result == 0 && p->error_flag) result = -2;
    quorvel_sax_parser_free(p);
    return result;
}

QUORVEL_API int quorvel_sax_parser_set_streaming(quorvel_sax_parser* p, int on) {
    if (!p) return -1;
    p->streaming = on ? 1 : 0;
    return 0;
}

QUORVEL_API void quorvel_sax_parser_set_one_shot(quorvel_sax_parser* p, int on) {
    if (!p || p->fed) return;
    p->one_shot = on ? 1 : 0;
}

QUORVEL_API void quorvel_sax_parser_set_skip_flags(quorvel_sax_parser* p, int flags) {
    if (p) p->skip_flags = flags;
}

}  // extern "C"
