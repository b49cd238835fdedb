// The HTML parse entry points: set-up, the parse, completion and the
// document's records.
#include <cstring>
#include <new>

#include "dom/dom.h"
#include "parser/parser.h"
#include "html/html.h"

namespace html {

namespace {

// The document's arena is sized from the finished provisional tree, so that
// the records are built inside one block (records far apart would need
// overflow links) without reserving room they never use; past the estimate
// the pool hands out further blocks.
constexpr size_t kBaseArena = 0x40080;
constexpr size_t kArenaCap = size_t(1) << 36;

size_t add_capped(size_t a, size_t b) { return a > kArenaCap - b ? kArenaCap : a + b; }

// Bytes of the records the tree will take, with some room to spare.
size_t record_estimate(const parse_state* s) {
    // Each record and string is rounded up to 8 bytes.
    constexpr size_t kAlign = 8;
    size_t total = 0;
    const hnode* lists[3] = {&s->prolog, &s->top, &s->post};
    for (const hnode* list : lists) {
        const hnode* n = list->first;
        while (n && total < kArenaCap) {
            size_t bytes = 0;
            switch (n->kind) {
                case kElement:
                    // Names are interned: a name of the tag table is met
                    // on every page, others are counted each time (an
                    // upper bound).
                    bytes = sizeof(quorvel_element);
                    if (n->tag == kTagNone) bytes += n->length + kAlign;
                    if (n->ns != kNsHtml) bytes += sizeof(quorvel_element_ext) + 2 * sizeof(quorvel_ns_decl) + kAlign;
                    for (const hattr* a = n->attrs; a; a = a->next) {
                        // Values of up to seven bytes stand in the record.
                        bytes += sizeof(quorvel_attribute) + a->name_length + kAlign;
                        if (a->value_length >= 8) bytes += a->value_length + kAlign;
                    }
                    break;
                case kText: bytes = sizeof(quorvel_text) + n->length + kAlign; break;
                default: bytes = sizeof(quorvel_comment) + n->length + kAlign; break;
            }
            total = add_capped(total, bytes);
            // Depth first, by the parent links.
            if (n->kind == kElement && n->first) {
                n = n->first;
                continue;
            }
            while (n && !n->next && n->parent != list) n = n->parent;
            n = n ? n->next : nullptr;
        }
    }
    return add_capped(total, total / 16);
}

quorvel_document* new_html_document(size_t length, size_t estimate) {
    quorvel_arena* arena = quorvel_arena_create(add_capped(kBaseArena, estimate));
    if (!arena) arena = quorvel_arena_create(0x10080);
    if (!arena) return nullptr;
    quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 1);
    if (!pool) {
        quorvel_arena_destroy(arena);
        return nullptr;
    }
    if (!arena->release) advise_huge_pages(arena->data, arena->capacity);
    // Element and attribute names repeat: one copy of each.
    if (length > 255) pool->intern = quorvel_hash_table_create(pool, 128);
    quorvel_document* doc = quorvel_document_place(pool);
    if (doc) doc->is_html = 1;
    return doc;
}

quorvel_document* fail(int* status, int code) {
    if (status) *status = code;
    quorvel_set_last_error(quorvel_status_string(code));
    return nullptr;
}

quorvel_document* parse(const char* text, size_t length, int* status, bool html5) {
    if (status) *status = QUORVEL_OK;
    if (!text) return fail(status, QUORVEL_ERR_NULL_ARGUMENT);
    if (length >= kMaxInput) return fail(status, QUORVEL_ERR_MEMORY);
    // The state holds the stack of open elements: too large for small
    // thread stacks, so it lives in working memory.
    void* block = quorvel_work_alloc(sizeof(parse_state));
    if (!block) return fail(status, QUORVEL_ERR_MEMORY);
    auto* s = new (block) parse_state();
    s->html5 = html5;
    s->top.kind = s->prolog.kind = s->post.kind = kList;
    // A writable copy of the input: names are lower-cased in place.
    char* copy = scratch_copy(&s->mem, text, length);
    quorvel_document* doc = nullptr;
    bool ok = false;
    if (copy) {
        s->input = copy;
        // Line ends as HTML reads them, in both modes: CR LF and a lone CR
        // become LF.
        s->end = copy + dp_normalise_lines(copy, length);
        run_parser(s);
        ok = !s->mem.failed && complete_tree(s);
        if (ok) {
            doc = new_html_document(length, record_estimate(s));
            ok = doc && sink_document(s, doc);
        }
    }
    scratch_release(&s->mem);
    s->~parse_state();
    quorvel_work_free(block);
    if (!ok) {
        // Never a partial tree reported as a whole one.
        if (doc) quorvel_document_free(doc);
        return fail(status, QUORVEL_ERR_MEMORY);
    }
    return doc;
}

}  // namespace

}  // namespace html

extern "C" {

QUORVEL_API quorvel_document* quorvel_parse_html_string(const char* text, size_t length, int* status) {
    return html::parse(text, length, status, true);
}

QUORVEL_API quorvel_document* quorvel_parse_html4_string(const char* text, size_t length, int* status) {
    return html::parse(text, length, status, false);
}

}  // extern "C"
