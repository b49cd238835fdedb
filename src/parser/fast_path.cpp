// The fast path of the copy parse: the flat-record scan of a plain document
// with a sink that builds the document's records as the scan goes. It must
// build exactly the tree the document parser builds from the same text
// (names, prefixes, namespace records, values, positions,
// flags, record layout), or decline so that the document parser runs.

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "dom/record_builder.h"
#include "parser/parser.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int64_t kDefaultMinSize = 65536;

thread_local int t_test_mode = -1;

// Filled once per process through pthread_once, then read without a lock. A
// function-local static with a dynamic initialiser would do the same but
// pulls the C++ runtime's guard functions into the library's dependencies.
dp_env_memo g_env_memo{0, kDefaultMinSize};
pthread_once_t g_env_once = PTHREAD_ONCE_INIT;

void read_env_memo() { g_env_memo = dp_env_from(std::getenv("QUORVEL_INTERLEAVED"), std::getenv("QUORVEL_IL_MIN")); }

const dp_env_memo& env_memo() {
    pthread_once(&g_env_once, read_env_memo);
    return g_env_memo;
}

constexpr size_t round8(size_t n) { return (n + 7) & ~size_t(7); }

constexpr size_t kExtChunkBytes = 4096;

// An open element whose children are being linked (the builder's part),
// and what its end tag needs.
struct build_frame : quorvel_build_parent {
    char* prefix_colon;        // the colon that ends the prefix, NUL once the element closes; NULL for none
    int32_t pos_index;         // the element's span, -1 for none
};

// Builds the document's records as the scan of the working copy reports
// them, the way the document parser lays them out: elements, attributes and
// texts in areas of one arena sized from the markup counts, names and texts
// NUL-terminated in the working copy behind the scan.
struct doc_sink {
    quorvel_document* doc;
    quorvel_pool* pool;
    char* work;
    int positions;
    quorvel_element* elem_next;
    quorvel_element* elem_end;
    quorvel_attribute* attr_next;
    quorvel_attribute* attr_end;
    quorvel_text* text_next;
    quorvel_text* text_end;
    char* ext_next;
    char* ext_end;
    // The spans of the element area's slots, kept here while the scan runs
    // (its byte stores could alias the document's fields); NULL without
    // positions.
    quorvel_elem_span* spans;
    quorvel_element* elem_area;
    quorvel_element* root;
    // The start tag being read.
    quorvel_element* current;
    char* name_end;      // NUL once the start tag has been read
    char* prefix_colon;  // NUL once the element closes; NULL for no prefix
    quorvel_element_ext* ext;
    quorvel_attribute* last_attr;
    const char* last_prefix;  // pool copy of the latest attribute prefix, shared by repeats
    size_t last_prefix_length;
    build_frame* frames;  // the caller's inline array, or a heap block once deeper
    size_t depth;
    size_t frame_capacity;
    build_frame* inline_frames;

    // Every link the sink writes joins two distinct places it made (never a
    // record to itself, never NULL): only the range is in question.
    bool link(const void* holder, int32_t* field, const void* target) {
        return quorvel_build_link(doc, holder, field, target);
    }

    // Appends child as the last child of the innermost open element.
    bool wire(quorvel_node* child, int32_t* parent_field, int32_t* sibling_field) {
        return quorvel_build_append(doc, &frames[depth - 1], child, parent_field, sibling_field);
    }

    quorvel_element_ext* new_ext(quorvel_element* e) {
        constexpr size_t size = sizeof(quorvel_element_ext);
        if (static_cast<size_t>(ext_end - ext_next) < size) [[unlikely]] {
            auto* chunk = static_cast<char*>(quorvel_pool_alloc(pool, kExtChunkBytes));
            if (!chunk) return nullptr;
            ext_next = chunk;
            ext_end = chunk + kExtChunkBytes;
        }
        auto* x = reinterpret_cast<quorvel_element_ext*>(ext_next);
        ext_next += size;
        std::memset(x, 0, size);
        if (!link(e, &e->ext, x)) return nullptr;
        return x;
    }

    bool element(uint32_t lt, uint32_t name_at, uint32_t length, bool colon) {
        if (elem_next == elem_end) return false;
        quorvel_element* e = elem_next++;
        e->head = quorvel_node{QUORVEL_NODE_ELEMENT, kNodeFrozen, lt + 1};
        e->eflags = 0;
        e->reserved = 0;
        e->attr_count = 0;
        e->child_count = 0;
        e->ext = e->parent = e->first_child = e->next_sibling = e->first_attr = e->name = 0;
        char* name = work + name_at;
        char* name_end = name + length;
        this->name_end = name_end;
        prefix_colon = nullptr;
        char* local = name;
        ext = nullptr;
        if (colon) {
            // Split at the last colon when it has bytes on both sides, as
            // the document parser splits; otherwise the whole name is local.
            auto* last = static_cast<char*>(memrchr(name, ':', length));
            if (last > name && last + 1 < name_end) {
                prefix_colon = last;
                local = last + 1;
                if (!(ext = new_ext(e))) return false;
                ext->prefix = name;
            }
        }
        size_t local_length = static_cast<size_t>(name_end - local);
        e->name_length = static_cast<uint8_t>(local_length < 255 ? local_length : 255);
        e->name_hash = quorvel_name_hash16(local, local_length);
        if (!link(e, &e->name, local)) return false;
        if (depth) {
            if (!wire(&e->head, &e->parent, &e->next_sibling)) return false;
            quorvel_element* parent = frames[depth - 1].element;
            if (parent->child_count < kChildCountCap) parent->child_count++;
        } else {
            root = e;
        }
        current = e;
        last_attr = nullptr;
        return true;
    }

    bool attribute(uint32_t name_at, uint32_t length, uint32_t value_at, uint32_t value_length, bool normalize,
                   bool colon) {
        if (attr_next == attr_end) return false;
        quorvel_attribute* a = attr_next++;
        quorvel_element* e = current;
        char* name = work + name_at;
        char* value = work + value_at;
        name[length] = '\0';
        value[value_length] = '\0';
        a->name = name;
        a->name_length = length;
        a->ns = 0;
        a->next = 0;
        a->hash = 0;
        if (normalize) {
            size_t normalised;
            char* copy = dp_normalise_value(pool, value, value_length, &normalised);
            if (!copy) return false;
            a->value = copy;
            a->value_length = normalised;
        } else {
            a->value = value;
            a->value_length = value_length;
        }
        if (colon) {
            // The namespace record takes the bytes before the last colon, as
            // the document parser's does.
            auto* last = static_cast<const char*>(memrchr(name, ':', length));
            size_t prefix_length = static_cast<size_t>(last - name);
            auto* ns = static_cast<quorvel_attr_ns*>(quorvel_pool_alloc(pool, sizeof(quorvel_attr_ns)));
            if (!ns) return false;
            std::memset(ns, 0, sizeof *ns);
            if (!last_prefix || last_prefix_length != prefix_length || std::memcmp(last_prefix, name, prefix_length) != 0) {
                last_prefix = quorvel_pool_strndup(pool, name, prefix_length);
                last_prefix_length = prefix_length;
            }
            ns->prefix = const_cast<char*>(last_prefix);
            ns->owner = e;
            if (!ns->prefix || !link(a, &a->ns, ns)) return false;
        }
        bool linked = last_attr ? quorvel_link16_set_inline(last_attr, &last_attr->next, a, doc) : link(e, &e->first_attr, a);
        if (!linked) return false;
        last_attr = a;
        // The attributes as written are read again from the input when asked for.
        e->eflags = kElemRawInSource;
        return true;
    }

    bool start_tag_end(uint32_t content, bool self_closing, uint32_t count) {
        quorvel_element* e = current;
        *name_end = '\0';
        e->attr_count = static_cast<uint8_t>(count < kAttrCountCap ? count : kAttrCountCap);
        int32_t pos_index = -1;
        if (spans) {
            pos_index = static_cast<int32_t>(e - elem_area);
            spans[pos_index] = quorvel_elem_span{content, content};
        }
        if (self_closing) {
            if (prefix_colon) *prefix_colon = '\0';
            return true;
        }
        if (depth == frame_capacity) {
            size_t grown = frame_capacity * 2;
            auto* fresh = static_cast<build_frame*>(std::malloc(grown * sizeof(build_frame)));
            if (!fresh) return false;
            std::memcpy(fresh, frames, depth * sizeof(build_frame));
            if (frames != inline_frames) std::free(frames);
            frames = fresh;
            frame_capacity = grown;
        }
        frames[depth++] = build_frame{{e, e, &e->first_child}, prefix_colon, pos_index};
        return true;
    }

    bool text(uint32_t offset, uint32_t length, bool cr) {
        if (text_next == text_end) return false;
        quorvel_text* t = text_next++;
        char* run = work + offset;
        run[length] = '\0';
        size_t n = cr ? dp_normalise_lines(run, length) : length;
        t->head = quorvel_node{QUORVEL_NODE_TEXT, kTextCounted, offset + 1};
        t->content = 0;
        t->length = static_cast<uint32_t>(n);
        t->next_sibling = t->parent = t->owner = 0;
        if (!quorvel_text_link_set_inline(t, &t->content, run, doc)) return false;
        return wire(&t->head, &t->parent, &t->next_sibling);
    }

    bool element_end(uint32_t end) {
        const build_frame& f = frames[--depth];
        if (f.pos_index >= 0) spans[f.pos_index].end = end;
        if (f.prefix_colon) *f.prefix_colon = '\0';
        return true;
    }
};

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

// One pass before anything is allocated: false when the text holds a '&',
// a "<!" or "<?" (references, comments, CDATA, declarations, processing
// instructions), the bytes "xmlns" anywhere, or a NUL or malformed UTF-8,
// all of which the scan would decline (or, in text, would only cost the
// fast path) or the document parser refuses; otherwise the
// number of '<' and of quote bytes, which size the areas.
bool prepass(const char* text, size_t length, size_t* lt_count, size_t* quote_count) {
    const char* p = text;
    const char* end = text + length;
    size_t lt = 0, quotes = 0;
    auto xmlns_at = [end](const char* at) { return end - at >= 5 && std::memcmp(at, "xmlns", 5) == 0; };
#if defined(__SSE2__)
    const __m128i v_lt = _mm_set1_epi8('<');
    const __m128i v_amp = _mm_set1_epi8('&');
    const __m128i v_dq = _mm_set1_epi8('"');
    const __m128i v_sq = _mm_set1_epi8('\'');
    const __m128i v_bang = _mm_set1_epi8('!');
    const __m128i v_question = _mm_set1_epi8('?');
    const __m128i v_x = _mm_set1_epi8('x');
    const __m128i v_m = _mm_set1_epi8('m');
    const __m128i zero = _mm_setzero_si128();
    // Counts gather per byte lane (each compare adds 1 by subtracting -1)
    // and are summed before a lane can wrap; each block is also compared
    // one byte on, so pairs that straddle two blocks are seen.
    __m128i lanes_lt = zero, lanes_quote = zero, bad = zero, odd_lanes = zero;
    unsigned rounds = 0;
    auto flush = [&] {
        lt += static_cast<size_t>(_mm_cvtsi128_si32(_mm_sad_epu8(lanes_lt, zero)) +
                                  _mm_extract_epi16(_mm_sad_epu8(lanes_lt, zero), 4));
        quotes += static_cast<size_t>(_mm_cvtsi128_si32(_mm_sad_epu8(lanes_quote, zero)) +
                                      _mm_extract_epi16(_mm_sad_epu8(lanes_quote, zero), 4));
        lanes_lt = lanes_quote = zero;
        rounds = 0;
        return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) == 0xFFFF;
    };
    while (end - p >= 17) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        __m128i is_lt = _mm_cmpeq_epi8(v, v_lt);
        lanes_lt = _mm_sub_epi8(lanes_lt, is_lt);
        lanes_quote = _mm_sub_epi8(lanes_quote, _mm_or_si128(_mm_cmpeq_epi8(v, v_dq), _mm_cmpeq_epi8(v, v_sq)));
        __m128i markup = _mm_or_si128(_mm_cmpeq_epi8(next, v_bang), _mm_cmpeq_epi8(next, v_question));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, v_amp), _mm_and_si128(is_lt, markup)));
        odd_lanes = _mm_or_si128(odd_lanes, _mm_or_si128(v, _mm_cmpeq_epi8(v, zero)));
        unsigned m_xm = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v, v_x), _mm_cmpeq_epi8(next, v_m))));
        for (; m_xm; m_xm &= m_xm - 1)
            if (xmlns_at(p + __builtin_ctz(m_xm))) return false;
        p += 16;
        if (++rounds == 255 && !flush()) return false;
    }
    if (!flush()) return false;
    bool odd = _mm_movemask_epi8(odd_lanes) != 0;
#else
    bool odd = false;
#endif
    for (; p < end; p++) {
        char c = *p;
        if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) odd = true;
        if (c == '&') return false;
        if (c == '<') {
            lt++;
            if (end - p >= 2 && (p[1] == '!' || p[1] == '?')) return false;
        } else if (c == '"' || c == '\'') {
            quotes++;
        } else if (c == 'x' && xmlns_at(p)) {
            return false;
        }
    }
    // A NUL or a byte outside UTF-8 fails the parse: the document parser
    // reports where.
    if (odd && quorvel_utf8_check(text, length) < length) return false;
    *lt_count = lt;
    *quote_count = quotes;
    return true;
}

quorvel_document* scan_and_build(const char* text, size_t length, int drop_ws, int positions) {
    size_t lt = 0, quotes = 0;
    if (!prepass(text, length, &lt, &quotes)) return nullptr;
    // Every element needs its own '<' and three bytes, every attribute two
    // quotes and four bytes, every text run a '<' after it: areas sized by
    // these bounds never run out, so records lie in document order.
    size_t elem_cap = min_size(lt, length / 3 + 1) + 8;
    size_t attr_cap = min_size(quotes / 2, length / 4 + 1) + 64;
    size_t text_cap = min_size(lt + 1, length / 2 + 1) + 8;
    size_t areas = round8(elem_cap * sizeof(quorvel_element)) + attr_cap * sizeof(quorvel_attribute) +
                   text_cap * sizeof(quorvel_text);
    size_t extras = min_size(elem_cap, attr_cap) * sizeof(quorvel_element_ext) + attr_cap * sizeof(quorvel_attr_ns);
    size_t slack = (length >> 3) + 16384 + round8(sizeof(quorvel_document)) + 4096;
    size_t arena_size = round8(length + 65) + areas + extras + slack;

    quorvel_arena* arena = quorvel_arena_create(arena_size);
    if (!arena) return nullptr;
    if (!arena->release) advise_huge_pages(arena->data, arena->capacity);
    quorvel_pool* pool = quorvel_pool_create_arena_backed(arena, 1);
    if (!pool) {
        quorvel_arena_destroy(arena);
        return nullptr;
    }
    if (length > 255) pool->intern = quorvel_hash_table_create(pool, 128);
    auto* work = static_cast<char*>(quorvel_pool_alloc(pool, length + 65));
    auto* area = work ? static_cast<char*>(quorvel_pool_alloc(pool, areas)) : nullptr;
    auto* doc = area ? static_cast<quorvel_document*>(quorvel_pool_alloc(pool, sizeof(quorvel_document))) : nullptr;
    if (!doc) {
        quorvel_pool_destroy(pool);
        return nullptr;
    }
    std::memcpy(work, text, length);
    std::memset(work + length, 0, 65);
    quorvel_document_init(doc, pool);
    doc->record_in_pool = 1;
    // Lines and columns come from where the line feeds lie; the input is
    // not kept.
    if (quorvel_line_index_init(&doc->lines, length)) {
        quorvel_line_index_scan(&doc->lines, text, length, 0);
        quorvel_line_index_finish(&doc->lines);
    }
    doc->retained_length = length;
    doc->working_copy = work;
    doc->working_not_owned = 1;
    if (positions) {
        // A span per slot of the element area: pages past the true element
        // count are never touched. Without it the elements get no columns.
        if (auto* spans = static_cast<quorvel_elem_span*>(std::malloc(elem_cap * sizeof(quorvel_elem_span)))) {
            advise_huge_pages(spans, elem_cap * sizeof(quorvel_elem_span));
            doc->pos_spans = spans;
            doc->pos_span_elements = reinterpret_cast<quorvel_element*>(area);
        }
    }

    // A local the compiler can keep in registers: nothing takes its address
    // beyond the scan it is handed to.
    build_frame inline_frames[kIlInlineDepth];
    doc_sink sink_record{};
    doc_sink* sink = &sink_record;
    sink->doc = doc;
    sink->pool = pool;
    sink->work = work;
    sink->positions = positions;
    sink->spans = doc->pos_spans;
    sink->elem_area = reinterpret_cast<quorvel_element*>(area);
    sink->elem_next = reinterpret_cast<quorvel_element*>(area);
    sink->elem_end = sink->elem_next + elem_cap;
    char* cursor = area + round8(elem_cap * sizeof(quorvel_element));
    char* attr_area = cursor;
    sink->attr_next = reinterpret_cast<quorvel_attribute*>(cursor);
    sink->attr_end = sink->attr_next + attr_cap;
    cursor += attr_cap * sizeof(quorvel_attribute);
    char* text_area = cursor;
    sink->text_next = reinterpret_cast<quorvel_text*>(cursor);
    sink->text_end = sink->text_next + text_cap;
    sink->inline_frames = inline_frames;
    sink->frames = inline_frames;
    sink->frame_capacity = kIlInlineDepth;

    il_scan_state st;
    il_scan_init(&st);
    size_t root_end;
    bool ok = il_scan(work, length, drop_ws, &st, *sink, &root_end) != 0;
    il_scan_release(&st);
    if (sink->frames != sink->inline_frames) std::free(sink->frames);
    quorvel_element* root = sink->root;
    if (doc->pos_spans) doc->pos_span_count = static_cast<size_t>(sink->elem_next - sink->elem_area);
    size_t records = static_cast<size_t>(sink->elem_next - reinterpret_cast<quorvel_element*>(area)) +
                     static_cast<size_t>(sink->text_next - reinterpret_cast<quorvel_text*>(text_area));
    size_t attributes = static_cast<size_t>(sink->attr_next - reinterpret_cast<quorvel_attribute*>(attr_area));
    if (!ok) {
        quorvel_document_free(doc);
        return nullptr;
    }
    if (const char* stats = std::getenv("QUORVEL_IL_STATS"); stats && *stats)
        std::fprintf(stderr, "il: records=%zu attrs=%zu\n", records, attributes);
    doc->root = root;
    doc->first_top = doc->last_top = &root->head;
    quorvel_root_doc_register(root, doc);
    return doc;
}

}  // namespace

dp_env_memo dp_env_from(const char* interleaved, const char* il_min) {
    dp_env_memo memo{0, kDefaultMinSize};
    memo.enabled = interleaved && *interleaved;
    if (il_min && *il_min) {
        long v = std::strtol(il_min, nullptr, 10);
        memo.min_size = v <= 0 ? 0 : static_cast<int64_t>(v);
    }
    return memo;
}

void dp_il_set_test_mode(int mode) { t_test_mode = mode; }

quorvel_document* dp_il_try_flags(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults,
                                  int no_positions) {
    int mode = t_test_mode;
    if (mode == 0) return nullptr;
    if (mode < 0) {
        if (!dp_env_allows(env_memo(), length)) return nullptr;
    }
    if (keep_refs || apply_defaults || !text || length == 0 || length > kIlMaxLength) return nullptr;
    return scan_and_build(text, length, drop_ws, !no_positions);
}

quorvel_document* dp_il_try(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults) {
    return dp_il_try_flags(text, length, drop_ws, keep_refs, apply_defaults, 0);
}
