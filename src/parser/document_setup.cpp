// The document parser's set-up and wind-up: the arena and the copy of the
// input sized from the markup counts, the parse state, and the failure
// report; the parse itself is document_parser.cpp's.
#include <sys/mman.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "parser/document_parser.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace quorvel_dp;

namespace {

thread_local int dbg = -1;
thread_local int dbg_ok = -1;

int debug_switch(int& memo) {
    if (memo < 0) memo = std::getenv("QUORVEL_DEBUG_PARSE") ? 1 : 0;
    return memo;
}

// Attributes taken from the area (all of it once chunks took over), for the
// debug reports.
size_t attributes_taken(const dp_state* s) {
    auto next = reinterpret_cast<uintptr_t>(s->attr_next);
    auto area = reinterpret_cast<uintptr_t>(s->attr_area);
    size_t taken = (next - area) / sizeof(quorvel_attribute);
    return next >= area && taken <= s->attr_capacity ? taken : s->attr_capacity;
}

void report_failure(dp_state* s, const char* input) {
    long at = static_cast<long>(s->fail_at ? s->fail_at - s->start : 0);
    char text[256];
    if (s->message[0])
        std::snprintf(text, sizeof text, "XML parse error at byte %ld: %s", at, s->message);
    else
        std::snprintf(text, sizeof text, "XML parse error at byte %ld: malformed input", at);
    quorvel_set_last_error(text);
    // Lines count LF only; the column counts bytes from the last LF.
    int line = 1;
    const char* line_start = input;
    const char* stop = input + at;
    for (const char* p = input; p < stop;) {
        auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
        if (!lf) break;
        line++;
        line_start = p = lf + 1;
    }
    last_error_line = line;
    last_error_column = static_cast<int>(stop - line_start) + 1;
    if (debug_switch(dbg) == 1) {
        quorvel_arena* a = s->pool ? s->pool->arena : nullptr;
        std::fprintf(stderr,
                     "dp fail: pos=%ld off=%ld depth=%d arena_used=%zu arena_cap=%zu elem_idx=%zu attr_idx=%zu lt=%zu "
                     "q=%zu est=%zu attrcap=%zu\n",
                     at, static_cast<long>(s->end - s->start) - at, static_cast<int>(s->depth), a ? a->used : 0,
                     a ? a->capacity : 0, static_cast<size_t>(s->elem_next - s->elem_area), attributes_taken(s), s->lt, s->quotes, s->lt + 8, s->attr_capacity);
    }
}

void release_scratch(dp_state* s) {
    quorvel_work_free(s->heap_stack);
    quorvel_work_free(s->tag_attrs);
    quorvel_work_free(s->dup_slots);
    quorvel_work_free(s->scratch);
    s->scratch = nullptr;
    s->heap_stack = nullptr;
    s->tag_attrs = nullptr;
    s->dup_slots = nullptr;
}

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

}  // namespace

// Large blocks are touched from end to end within one parse: huge pages
// spare most of their page faults. Only for blocks the library made itself.
void advise_huge_pages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (size < 4 * kHuge) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

namespace {

// How large the areas of a parse are, from the input's length and its
// counts of '<' and quotes. Every element needs its own '<' and at least
// three bytes; every attribute two quotes and four bytes; every text view
// ends at a '<' or the end. Areas sized by these bounds never overflow for
// elements and attributes, so records lie in reading order.
struct arena_sizes {
    size_t elem_cap, attr_cap, text_cap, markup_cap;
    size_t areas;      // the record areas, in one block
    size_t total;      // the arena's data bytes beside the input copies
    size_t positions;  // the position records' array at its largest
};

arena_sizes arena_sizes_for(size_t length, size_t lt, size_t quotes, bool raw_in_source, bool record_positions) {
    arena_sizes z;
    z.elem_cap = min_size(lt, length / 3 + 1) + 8;
    z.attr_cap = min_size(quotes / 2, length / 4 + 1) + 64;
    z.text_cap = min_size(lt + 1, length / 2 + 1) + 8;
    z.markup_cap = min_size(min_size(lt, length / 5 + 1), 1024) + 8;
    z.areas = round8(z.elem_cap * sizeof(quorvel_element)) + z.attr_cap * sizeof(quorvel_attribute) +
              z.text_cap * sizeof(quorvel_text) + z.markup_cap * kMarkupSlot;
    // Per element an extension record at most; per quoted value either a
    // namespace record or a declaration with its prefix, and a raw entry
    // unless start tags are read again from the input (raw_in_source).
    size_t extras = min_size(z.elem_cap, z.attr_cap) * sizeof(quorvel_element_ext) +
                    z.attr_cap * ((raw_in_source ? 0 : sizeof(quorvel_raw_attribute)) + sizeof(quorvel_attr_ns));
    size_t slack = (length >> 3) + 16384 + round8(sizeof(quorvel_document)) + 4096;
    z.total = z.areas + extras + slack;
    z.positions = record_positions ? z.elem_cap * sizeof(quorvel_elem_span) : 0;
    return z;
}

quorvel_document* setup_failed(int* status) {
    quorvel_set_last_error("XML parse error: out of memory");
    if (status) *status = QUORVEL_ERR_MEMORY;
    return nullptr;
}

}  // namespace

quorvel_document* direct_parse_internal(const char* text, size_t length, int flags, int mode, int drop_ws,
                                        int apply_defaults, int keep_refs, int recover, int* status) {
    if (status) *status = QUORVEL_OK;
    if (!text || length > (SIZE_MAX >> 6)) return setup_failed(status);
    quorvel_kernels_ensure();
    size_t lt = 0, quotes = 0;
    bool odd_bytes;  // NUL or non-ASCII bytes: the input's encoding is checked
    const bool positions = length <= 0x7FFFFFFE;
    const bool raw_in_source = positions && !recover;
    const bool record_positions = positions && !(flags & 0x10);
    // A large input is copied and counted in one pass, before the counts can
    // size the arena. Its copy goes at the start of address space reserved
    // for the whole document (copy, records, position records, all that
    // the document grows by later), which the kernel commits as it is
    // touched: records then lie within reach of every link to each other and
    // to the text, whatever malloc would do with blocks of these sizes, and
    // a loop of parses finds the mapping warm in the shared cache. Without
    // the reservation (allocation hooks, no address space) the copy gets a
    // block of its own, made before the arena, which the pool adopts. The
    // copy and in-place parses both read a working copy; neither keeps the
    // caller's bytes past the call.
    (void)mode;
    size_t work_room = round8(length + 65);
    quorvel_arena* arena = nullptr;
    char* copies = nullptr;  // the working copy's block
    quorvel_release_fn copies_release = nullptr;
    bool own_copies = false;  // the copy in a block of its own, not yet adopted
    // Source positions answer lines and columns from where the input's line
    // feeds lie, recorded while the input is read anyway: the input itself
    // is not kept.
    quorvel_line_index lines{};
    quorvel_line_index* line_sink = positions && quorvel_line_index_init(&lines, length) ? &lines : nullptr;
    auto fail_early = [&] {
        if (own_copies && copies) quorvel_hooked_release(copies, copies_release);
        quorvel_line_index_free(&lines);
        return setup_failed(status);
    };
    if (length >= kSeparateCopies) {
        arena_sizes most = arena_sizes_for(length, length, length, raw_in_source, record_positions);
        arena = quorvel_arena_reserve(work_room + most.total + most.positions);
        if (arena) {
            copies = arena->data;
            arena->used = work_room;
        } else {
            own_copies = true;
            copies = static_cast<char*>(quorvel_large_alloc(work_room, &work_room, &copies_release));
            if (!copies) return fail_early();
        }
        odd_bytes = quorvel_copy_count_markup(copies, line_sink, text, length, &lt, &quotes);
    } else if (line_sink) {
        odd_bytes = quorvel_copy_count_markup(nullptr, line_sink, text, length, &lt, &quotes);
    } else {
        odd_bytes = quorvel_count_markup(text, length, &lt, &quotes);
    }

    arena_sizes sizes = arena_sizes_for(length, lt, quotes, raw_in_source, record_positions);
    size_t elem_cap = sizes.elem_cap, attr_cap = sizes.attr_cap, text_cap = sizes.text_cap;
    size_t markup_cap = sizes.markup_cap, areas = sizes.areas;

    if (!arena) arena = quorvel_arena_create((copies ? 0 : work_room) + sizes.total);
    quorvel_pool* pool = arena ? quorvel_pool_create_arena_backed(arena, 1) : nullptr;
    if (!pool) {
        quorvel_arena_destroy(arena);
        return fail_early();
    }
    if (own_copies && !quorvel_pool_adopt_block(pool, copies, work_room, copies_release)) {
        // The block is the pool's only once adopted.
        quorvel_pool_destroy(pool);
        return fail_early();
    }
    if (!arena->release && !arena->mapped) advise_huge_pages(arena->data, arena->capacity);
    if (length > 255) pool->intern = quorvel_hash_table_create(pool, 128);

    char* work = copies ? copies : static_cast<char*>(quorvel_pool_alloc(pool, length + 65));
    auto* area = work ? static_cast<char*>(quorvel_pool_alloc(pool, areas)) : nullptr;
    auto* doc = area ? static_cast<quorvel_document*>(quorvel_pool_alloc(pool, sizeof(quorvel_document))) : nullptr;
    if (!doc) {
        quorvel_pool_destroy(pool);
        quorvel_line_index_free(&lines);
        return setup_failed(status);
    }
    if (!copies) std::memcpy(work, text, length);
    std::memset(work + length, 0, 65);
    quorvel_document_init(doc, pool);
    doc->record_in_pool = 1;
    quorvel_line_index_finish(&lines);
    doc->lines = lines;
    doc->retained_length = length;
    doc->working_copy = work;
    doc->working_not_owned = 1;

    dp_state state;
    dp_state* s = &state;
    // Everything before the inline stack starts zeroed; the stack needs no clearing.
    std::memset(static_cast<void*>(s), 0,
                static_cast<size_t>(reinterpret_cast<char*>(&s->inline_stack) - reinterpret_cast<char*>(s)));
    for (prefix_slot& slot : s->prefixes) slot.length = kEmptyPrefixSlot;
    s->start = work;
    s->cur = work;
    s->end = work + length;
    s->pool = pool;
    s->doc = doc;
    s->retained = text;  // the caller's input lives for the whole parse
    s->stack = s->inline_stack;
    s->stack_capacity = kInlineDepth;
    s->max_depth = static_cast<size_t>(quorvel_get_max_depth());
    s->standalone = -1;
    s->positions = positions;
    // Unchecked links need every record and every byte of the working copy
    // within 2 GiB of each other.
    s->arena_lo = arena->data;
    s->arena_span = arena->capacity;
    {
        auto lo = reinterpret_cast<uintptr_t>(arena->data);
        uintptr_t hi = lo + arena->capacity;
        auto w = reinterpret_cast<uintptr_t>(work);
        if (w >= lo && w + length + 65 <= hi) {
            // The working copy leads the arena: whatever lies in the arena's
            // first 2 GiB links to it and to each other unchecked.
            if (s->arena_span > INT32_MAX) s->arena_span = INT32_MAX;
        } else {
            if (w < lo) lo = w;
            if (w + length + 65 > hi) hi = w + length + 65;
            if (hi - lo > INT32_MAX) s->arena_span = 0;
        }
    }
    s->elem_next = s->elem_area = reinterpret_cast<quorvel_element*>(area);
    s->elem_end = s->elem_next + elem_cap;
    char* cursor = area + round8(elem_cap * sizeof(quorvel_element));
    s->attr_next = s->attr_area = reinterpret_cast<quorvel_attribute*>(cursor);
    s->attr_end = s->attr_next + attr_cap;
    s->attr_capacity = attr_cap;
    cursor += attr_cap * sizeof(quorvel_attribute);
    s->text_next = reinterpret_cast<quorvel_text*>(cursor);
    s->text_end = s->text_next + text_cap;
    cursor += text_cap * sizeof(quorvel_text);
    s->markup_next = cursor;
    s->markup_end = cursor + markup_cap * kMarkupSlot;
    s->drop_ws = drop_ws != 0;
    s->keep_refs = keep_refs != 0;
    s->recover = recover != 0;
    s->flags = flags & 0x18;
    s->strict = g_quorvel_strict_mode != 0;
    s->lt = lt;
    s->quotes = quotes;
    s->record_positions = record_positions;
    s->raw_in_source = raw_in_source;
    if (record_positions) {
        // A span per slot of the element area, which the '<' count sizes:
        // the array never moves during the parse, and the pages past the
        // true count are never touched. In a reserved arena it is one more
        // part of the document's range. Elements placed elsewhere get
        // position records.
        quorvel_elem_span* spans = nullptr;
        if (arena->mapped) {
            spans = static_cast<quorvel_elem_span*>(quorvel_pool_alloc(pool, elem_cap * sizeof(quorvel_elem_span)));
            doc->pos_spans_in_pool = spans != nullptr;
        }
        if (!spans && (spans = static_cast<quorvel_elem_span*>(std::malloc(elem_cap * sizeof(quorvel_elem_span)))))
            advise_huge_pages(spans, elem_cap * sizeof(quorvel_elem_span));
        if (spans) {
            doc->pos_spans = spans;
            doc->pos_span_elements = s->elem_area;
        } else {
            s->record_positions = 0;  // the parse goes on without column positions
        }
    }
    if (length > 2 && static_cast<unsigned char>(work[0]) == 0xEF && static_cast<unsigned char>(work[1]) == 0xBB &&
        static_cast<unsigned char>(work[2]) == 0xBF)
        s->cur = work + 3;

    bool ok = parse_document(s);
    if (doc->pos_spans) doc->pos_span_count = static_cast<size_t>(s->elem_next - s->elem_area);
    if (odd_bytes) {
        // No document holds a NUL or a byte that is no part of a UTF-8
        // character. The first such byte fails the parse unless the parse
        // already failed before it.
        size_t bad = quorvel_utf8_check(text, length);
        if (bad < length && (ok || (s->fail_at && static_cast<size_t>(s->fail_at - s->start) >= bad))) {
            ok = false;
            s->fail_at = s->start + bad;
            std::snprintf(s->message, sizeof s->message, "%s", text[bad] ? "invalid UTF-8" : "NUL character");
        }
    }
    if (ok) {
        if (apply_defaults) quorvel_dtd_apply_attribute_defaults(doc);
        doc->has_declaration = s->has_declaration;
        doc->standalone = s->standalone;
        if (s->encoding && !(doc->declared_encoding = xsd_strdup(s->encoding))) ok = false;
        if (ok && s->version && !(doc->declared_version = xsd_strdup(s->version))) ok = false;
        if (!ok) s->fail_at = s->end;
    }
    if (!ok) {
        if (s->dup_failed) std::snprintf(s->message, sizeof s->message, "out of memory");
        report_failure(s, text);
        quorvel_dtd_free(s->dtd);
        release_scratch(s);
        quorvel_document_free(doc);
        if (status) *status = s->dup_failed ? QUORVEL_ERR_MEMORY : QUORVEL_ERR_PARSE;
        return nullptr;
    }
    if (debug_switch(dbg_ok) == 1)
        std::fprintf(stderr, "dp ok: arena_used=%zu arena_cap=%zu elem_idx=%zu attr_idx=%zu\n", arena->used,
                     arena->capacity, static_cast<size_t>(s->elem_next - s->elem_area), attributes_taken(s));
    release_scratch(s);
    return doc;
}
