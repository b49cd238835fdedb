// The exported flat-record interface and what the scanner shares with the
// fast path: its open-element stack and the duplicate-attribute set. The
// record sink turns the scan into the public node and attribute records.

#include <cstdlib>
#include <cstring>

#include "parser/parser.h"

static_assert(sizeof(quorvel_sax_node_record) == 44);
static_assert(offsetof(quorvel_sax_node_record, kind) == 0 && offsetof(quorvel_sax_node_record, parent) == 4 &&
              offsetof(quorvel_sax_node_record, next_sibling) == 8 &&
              offsetof(quorvel_sax_node_record, data_offset) == 12 &&
              offsetof(quorvel_sax_node_record, data_length) == 16 && offsetof(quorvel_sax_node_record, start) == 20 &&
              offsetof(quorvel_sax_node_record, content_start) == 24 && offsetof(quorvel_sax_node_record, end) == 28 &&
              offsetof(quorvel_sax_node_record, first_attribute) == 32 &&
              offsetof(quorvel_sax_node_record, attribute_count) == 36 &&
              offsetof(quorvel_sax_node_record, self_closing) == 40);
static_assert(sizeof(quorvel_sax_attr_record) == 20);
static_assert(offsetof(quorvel_sax_attr_record, name_offset) == 0 &&
              offsetof(quorvel_sax_attr_record, name_length) == 4 &&
              offsetof(quorvel_sax_attr_record, value_offset) == 8 &&
              offsetof(quorvel_sax_attr_record, value_length) == 12 &&
              offsetof(quorvel_sax_attr_record, needs_normalization) == 16);

struct quorvel_sax_records {
    char* buffer;  // the caller's text and 65 zero bytes, names and values NUL-terminated
    size_t length;
    quorvel_sax_node_record* nodes;
    size_t node_count;
    quorvel_sax_attr_record* attrs;  // at least one record, even with none in use
    size_t attr_count;
};

namespace {

constexpr int kStatusDeclined = -9;

// Fills the public records: node records in document order (each element
// at its start tag), attribute records in the order written, and per open
// element the record index and its last child so far for the sibling links.
struct record_sink {
    quorvel_sax_node_record* nodes;
    size_t node_count;
    size_t node_capacity;
    quorvel_sax_attr_record* attrs;
    size_t attr_count;
    size_t attr_capacity;
    int32_t* frames;  // pairs: record index, last child record (-1 none)
    size_t depth;
    size_t frame_capacity;
    uint32_t lt, name, name_length;  // the start tag being read
    size_t first_attr;
    int32_t inline_frames[2 * kIlInlineDepth];

    bool init(size_t length) {
        node_count = attr_count = depth = 0;
        node_capacity = length / 24 + 64;
        attr_capacity = length / 48 + 32;
        nodes = static_cast<quorvel_sax_node_record*>(std::malloc(node_capacity * sizeof(quorvel_sax_node_record)));
        attrs = static_cast<quorvel_sax_attr_record*>(std::malloc(attr_capacity * sizeof(quorvel_sax_attr_record)));
        frames = inline_frames;
        frame_capacity = kIlInlineDepth;
        return nodes && attrs;
    }
    void release() {
        std::free(nodes);
        std::free(attrs);
        if (frames != inline_frames) std::free(frames);
        nodes = nullptr;
        attrs = nullptr;
        frames = inline_frames;
    }

    bool grow_nodes() {
        size_t grown = node_capacity ? node_capacity * 2 : 256;
        auto* fresh = static_cast<quorvel_sax_node_record*>(std::realloc(nodes, grown * sizeof(quorvel_sax_node_record)));
        if (!fresh) return false;
        nodes = fresh;
        node_capacity = grown;
        return true;
    }

    // A new record with its parent and sibling links, or NULL.
    quorvel_sax_node_record* append() {
        if (node_count == node_capacity && !grow_nodes()) return nullptr;
        auto idx = static_cast<int32_t>(node_count++);
        quorvel_sax_node_record* r = &nodes[idx];
        r->parent = -1;
        r->next_sibling = -1;
        if (depth) {
            int32_t* top = frames + 2 * (depth - 1);
            r->parent = top[0];
            if (top[1] >= 0) nodes[top[1]].next_sibling = idx;
            top[1] = idx;
        }
        std::memset(r->reserved, 0, sizeof r->reserved);
        return r;
    }

    bool element(uint32_t lt_at, uint32_t name_at, uint32_t length, bool) {
        lt = lt_at;
        name = name_at;
        name_length = length;
        first_attr = attr_count;
        return true;
    }

    bool attribute(uint32_t name_at, uint32_t length, uint32_t value, uint32_t value_length, bool normalize, bool) {
        if (attr_count == attr_capacity) {
            size_t grown = attr_capacity ? attr_capacity * 2 : 128;
            auto* fresh = static_cast<quorvel_sax_attr_record*>(std::realloc(attrs, grown * sizeof(quorvel_sax_attr_record)));
            if (!fresh) return false;
            attrs = fresh;
            attr_capacity = grown;
        }
        quorvel_sax_attr_record& a = attrs[attr_count++];
        a.name_offset = name_at;
        a.name_length = length;
        a.value_offset = value;
        a.value_length = value_length;
        a.needs_normalization = normalize ? 1 : 0;
        std::memset(a.reserved, 0, sizeof a.reserved);
        return true;
    }

    bool start_tag_end(uint32_t content, bool self_closing, uint32_t count) {
        quorvel_sax_node_record* r = append();
        if (!r) return false;
        r->kind = 0;
        r->data_offset = name;
        r->data_length = name_length;
        r->start = lt + 1;
        r->content_start = content;
        r->end = self_closing ? content : 0;
        r->first_attribute = count ? static_cast<int32_t>(first_attr) : -1;
        r->attribute_count = count;
        r->self_closing = self_closing ? 1 : 0;
        if (self_closing) return true;
        if (depth == frame_capacity) {
            size_t grown = frame_capacity * 2;
            auto* fresh = static_cast<int32_t*>(std::malloc(2 * grown * sizeof(int32_t)));
            if (!fresh) return false;
            std::memcpy(fresh, frames, 2 * depth * sizeof(int32_t));
            if (frames != inline_frames) std::free(frames);
            frames = fresh;
            frame_capacity = grown;
        }
        frames[2 * depth] = static_cast<int32_t>(r - nodes);
        frames[2 * depth + 1] = -1;
        depth++;
        return true;
    }

    bool text(uint32_t offset, uint32_t length, bool) {
        quorvel_sax_node_record* r = append();
        if (!r) return false;
        r->kind = 1;
        r->data_offset = offset;
        r->data_length = length;
        r->start = offset + 1;
        r->content_start = 0;
        r->end = 0;
        r->first_attribute = -1;
        r->attribute_count = 0;
        r->self_closing = 0;
        return true;
    }

    bool element_end(uint32_t end) {
        nodes[frames[2 * (depth - 1)]].end = end;
        depth--;
        return true;
    }
};

}  // namespace

void il_scan_init(il_scan_state* st) {
    std::memset(st, 0, offsetof(il_scan_state, inline_open));
    st->open = st->inline_open;
    st->capacity = kIlInlineDepth;
    st->limit = static_cast<size_t>(quorvel_get_max_depth());
}

void il_scan_release(il_scan_state* st) {
    std::free(st->heap_open);
    std::free(st->tag_names);
    std::free(st->dup_slots);
    st->heap_open = nullptr;
    st->tag_names = nullptr;
    st->dup_slots = nullptr;
    st->open = st->inline_open;
}

bool il_grow_open(il_scan_state* st) {
    size_t grown = st->capacity * 2;
    if (grown > st->limit) grown = st->limit;
    auto* fresh = static_cast<uint32_t*>(std::malloc(2 * grown * sizeof(uint32_t)));
    if (!fresh) return false;
    std::memcpy(fresh, st->open, 2 * st->depth * sizeof(uint32_t));
    std::free(st->heap_open);
    st->heap_open = fresh;
    st->open = fresh;
    st->capacity = grown;
    return true;
}

bool il_grow_tag_names(il_scan_state* st) {
    size_t grown = st->tag_capacity ? st->tag_capacity * 2 : 32;
    auto* fresh = static_cast<uint32_t*>(std::realloc(st->tag_names, 3 * grown * sizeof(uint32_t)));
    if (!fresh) return false;
    st->tag_names = fresh;
    st->tag_capacity = grown;
    return true;
}

int il_duplicate_hashed(il_scan_state* st, const char* text, size_t count, const char* name, size_t len) {
    const uint32_t* names = st->tag_names;
    if (!st->dup_mask || (count + 1) * 2 > st->dup_mask + 1) {
        size_t slots = 128;
        while (slots < (count + 1) * 2) slots *= 2;
        if (slots > st->dup_capacity) {
            auto* fresh = static_cast<uint32_t*>(std::realloc(st->dup_slots, slots * sizeof(uint32_t)));
            if (!fresh) return -1;
            st->dup_slots = fresh;
            st->dup_capacity = slots;
        }
        std::memset(st->dup_slots, 0, slots * sizeof(uint32_t));
        st->dup_mask = slots - 1;
        for (size_t i = 0; i < count; i++) {
            size_t at = il_name_hash(text + names[3 * i], names[3 * i + 1]) & st->dup_mask;
            while (st->dup_slots[at]) at = (at + 1) & st->dup_mask;
            st->dup_slots[at] = static_cast<uint32_t>(i + 1);
        }
    }
    size_t at = il_name_hash(name, len) & st->dup_mask;
    for (; st->dup_slots[at]; at = (at + 1) & st->dup_mask) {
        const uint32_t* other = names + 3 * (st->dup_slots[at] - 1);
        if (other[1] == len && std::memcmp(text + other[0], name, len) == 0) return 1;
    }
    st->dup_slots[at] = static_cast<uint32_t>(count + 1);
    return 0;
}

extern "C" {

QUORVEL_API int quorvel_sax_records_parse(const char* text, size_t length, unsigned flags, quorvel_sax_records** out) {
    if (!out) return QUORVEL_ERR_NULL_ARGUMENT;
    *out = nullptr;
    if (!text) return QUORVEL_ERR_NULL_ARGUMENT;
    if (flags & ~0x18u) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (length == 0 || length > kIlMaxLength) return kStatusDeclined;
    // A NUL byte or malformed UTF-8 is no part of a document, wherever it stands.
    if (quorvel_utf8_check(text, length) < length) return kStatusDeclined;
    auto* buffer = static_cast<char*>(std::malloc(length + 65));
    if (!buffer) return kStatusDeclined;
    std::memcpy(buffer, text, length);
    std::memset(buffer + length, 0, 65);
    record_sink sink;
    il_scan_state st;
    il_scan_init(&st);
    size_t root_end;
    if (!sink.init(length) || !il_scan(buffer, length, 0, &st, sink, &root_end)) {
        sink.release();
        il_scan_release(&st);
        std::free(buffer);
        return kStatusDeclined;
    }
    il_scan_release(&st);
    for (size_t i = 0; i < sink.node_count; i++) buffer[sink.nodes[i].data_offset + sink.nodes[i].data_length] = '\0';
    for (size_t i = 0; i < sink.attr_count; i++) {
        const quorvel_sax_attr_record& a = sink.attrs[i];
        buffer[a.name_offset + a.name_length] = '\0';
        buffer[a.value_offset + a.value_length] = '\0';
    }
    auto* handle = static_cast<quorvel_sax_records*>(std::calloc(1, sizeof(quorvel_sax_records)));
    if (!handle) {
        sink.release();
        std::free(buffer);
        return QUORVEL_ERR_MEMORY;
    }
    // The working arrays become the handle's, trimmed to what is used.
    if (auto* fit = static_cast<quorvel_sax_node_record*>(
            std::realloc(sink.nodes, sink.node_count * sizeof(quorvel_sax_node_record))))
        sink.nodes = fit;
    size_t attr_slots = sink.attr_count ? sink.attr_count : 1;
    if (auto* fit =
            static_cast<quorvel_sax_attr_record*>(std::realloc(sink.attrs, attr_slots * sizeof(quorvel_sax_attr_record))))
        sink.attrs = fit;
    if (!sink.attr_count) std::memset(sink.attrs, 0, sizeof(quorvel_sax_attr_record));
    handle->buffer = buffer;
    handle->length = length;
    handle->nodes = sink.nodes;
    handle->node_count = sink.node_count;
    handle->attrs = sink.attrs;
    handle->attr_count = sink.attr_count;
    sink.nodes = nullptr;
    sink.attrs = nullptr;
    sink.release();
    *out = handle;
    return QUORVEL_OK;
}

QUORVEL_API size_t quorvel_sax_records_count(const quorvel_sax_records* records) {
    return records ? records->node_count : 0;
}

QUORVEL_API const quorvel_sax_node_record* quorvel_sax_records_data(const quorvel_sax_records* records) {
    return records ? records->nodes : nullptr;
}

QUORVEL_API const quorvel_sax_attr_record* quorvel_sax_records_attrs(const quorvel_sax_records* records, size_t* count) {
    if (count) *count = records ? records->attr_count : 0;
    return records ? records->attrs : nullptr;
}

QUORVEL_API const char* quorvel_sax_records_buffer(const quorvel_sax_records* records) {
    return records ? records->buffer : nullptr;
}

QUORVEL_API void quorvel_sax_records_free(quorvel_sax_records* records) {
    if (!records) return;
    std::free(records->nodes);
    std::free(records->attrs);
    std::free(records->buffer);
    std::free(records);
}

}  // extern "C"
