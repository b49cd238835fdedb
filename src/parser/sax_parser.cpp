// The SAX parser object and its exports: creation, the feed driver (append
// the chunk, read, drop what was consumed), the one-call parse, the mode
// setters, and the pause and abort hooks the pull parser and the recorder
// use. The reading rules themselves are in sax_tokenizer.cpp.
#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

namespace {

constexpr size_t kBlockInputMin = 256 * 1024;

// Room for `need` bytes: 256 times a power of two.
bool input_reserve(quorvel_sax_parser* p, size_t need) {
    if (need <= p->capacity) return true;
    size_t capacity = p->capacity ? p->capacity : 256;
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2) return false;
        capacity *= 2;
    }
    char* fresh;
    if (p->input_block) {
        fresh = static_cast<char*>(quorvel_work_alloc(capacity));
        if (!fresh) return false;
        std::memcpy(fresh, p->input, p->length);
        quorvel_arena_destroy(p->input_block);
        p->input_block = nullptr;
    } else {
        fresh = static_cast<char*>(quorvel_work_realloc(p->input, p->length, capacity));
        if (!fresh) return false;
    }
    p->input = fresh;
    p->capacity = capacity;
    return true;
}

// The single feed of a large one-shot parse: a cached block when one fits.
void input_take_block(quorvel_sax_parser* p, size_t length) {
    if (!p->one_shot || p->input || length < kBlockInputMin) return;
    if (quorvel_arena* block = quorvel_arena_create(length)) {
        p->input_block = block;
        p->input = block->data;
        p->capacity = block->capacity;
    }
}

// Drops the consumed bytes (counted first). One-shot input never moves:
// the strings handed out point into it.
void compact(quorvel_sax_parser* p) {
    if (p->one_shot || p->pos == 0) return;
    sax_count_to(p, p->pos);
    size_t rest = p->length - p->pos;
    if (rest) std::memmove(p->input, p->input + p->pos, rest);
    p->length = rest;
    p->pos = 0;
    p->counted = 0;
}

int finish_run(quorvel_sax_parser* p, int result) {
    if (result == 0 && !p->paused) compact(p);
    if (result != 0 && p->result == 0) p->result = -2;
    return p->result;
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
    if (length > SIZE_MAX - p->length) return sax_report_out_of_memory(p);
    input_take_block(p, length);
    if (!input_reserve(p, p->length + length)) return sax_report_out_of_memory(p);
    if (length) std::memcpy(p->input + p->length, chunk, length);
    p->length += length;
    p->fed = 1;
    p->is_final = is_final ? 1 : 0;
    return finish_run(p, sax_run(p));
}

QUORVEL_API void quorvel_sax_parser_free(quorvel_sax_parser* p) {
    if (!p) return;
    sax_free_scratch(p);
    if (p->input_block)
        quorvel_arena_destroy(p->input_block);
    else
        quorvel_work_free(p->input);
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
