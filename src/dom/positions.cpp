// Where a node came from in the parsed text (byte offset, line, column and
// the column where an element ends), its XPath location path, and the
// per-document map in which language bindings keep their wrapper objects.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"

namespace {

size_t slot_of(const void* p, size_t capacity) {
    uint64_t k = reinterpret_cast<uintptr_t>(p);
    return static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

int column_of(const quorvel_document* doc, size_t offset) {
    size_t n = quorvel_line_index_before(&doc->lines, offset);
    size_t line_start = n ? quorvel_line_index_at(&doc->lines, n - 1) + 1 : 0;
    return static_cast<int>(offset - line_start + 1);
}

const quorvel_elem_pos* find_position_record(quorvel_document* doc, const quorvel_element* e) {
    if (doc->pos_count <= 32) {
        for (size_t i = doc->pos_count; i-- > 0;)
            if (doc->pos_records[i].element == e) return &doc->pos_records[i];
        return nullptr;
    }
    if (!doc->pos_index || doc->pos_index_built_count != doc->pos_count) {
        size_t capacity = 32;
        while (capacity < doc->pos_count * 2) capacity *= 2;
        auto* index = static_cast<quorvel_elem_pos*>(std::calloc(capacity, sizeof(quorvel_elem_pos)));
        if (!index) {
            for (size_t i = 0; i < doc->pos_count; i++)
                if (doc->pos_records[i].element == e) return &doc->pos_records[i];
            return nullptr;
        }
        for (size_t i = 0; i < doc->pos_count; i++) {
            size_t s = slot_of(doc->pos_records[i].element, capacity);
            while (index[s].element) s = (s + 1) & (capacity - 1);
            index[s] = doc->pos_records[i];
        }
        std::free(doc->pos_index);
        doc->pos_index = index;
        doc->pos_index_capacity = capacity;
        doc->pos_index_built_count = doc->pos_count;
    }
    for (size_t s = slot_of(e, doc->pos_index_capacity);; s = (s + 1) & (doc->pos_index_capacity - 1)) {
        if (!doc->pos_index[s].element) return nullptr;
        if (doc->pos_index[s].element == e) return &doc->pos_index[s];
    }
}

// The start and end offsets recorded for e: from its span when the parser
// placed it in its element area, else from the position records.
bool find_position(quorvel_document* doc, const quorvel_element* e, size_t* start, size_t* end) {
    if (const quorvel_element* base = doc->pos_span_elements) {
        auto at = reinterpret_cast<uintptr_t>(e), from = reinterpret_cast<uintptr_t>(base);
        size_t i = static_cast<size_t>(at - from) / sizeof(quorvel_element);
        if (at >= from && (at - from) % sizeof(quorvel_element) == 0 && i < doc->pos_span_count) {
            *start = doc->pos_spans[i].start;
            *end = doc->pos_spans[i].end;
            return true;
        }
    }
    const quorvel_elem_pos* rec = find_position_record(doc, e);
    if (!rec) return false;
    *start = rec->start;
    *end = rec->end;
    return true;
}

// A growable path text (malloc), built from the nearest step outward.
struct path_text {
    char* data = nullptr;
    size_t length = 0, capacity = 0;
    bool reserve(size_t n) {
        if (n + 1 <= capacity) return true;
        size_t cap = capacity ? capacity : 64;
        while (cap < n + 1) cap *= 2;
        auto* grown = static_cast<char*>(std::realloc(data, cap));
        if (!grown) return false;
        data = grown;
        capacity = cap;
        return true;
    }
    // Puts text in front of what is there.
    bool prepend(const char* text, size_t n) {
        if (!reserve(length + n)) return false;
        std::memmove(data + n, data, length + 1);
        std::memcpy(data, text, n);
        length += n;
        return true;
    }
};

bool prepend_step(path_text& path, const quorvel_element* e) {
    const char* name = quorvel_elem_name_raw(e);
    if (!name) name = "";
    size_t name_len = std::strlen(name);
    unsigned position = 0, same = 0;
    if (auto* parent = static_cast<quorvel_element*>(quorvel_link_get(e, &e->parent))) {
        for (quorvel_node* c = quorvel_elem_first_child_raw(parent); c; c = quorvel_node_next_raw(c)) {
            if (c->kind != QUORVEL_NODE_ELEMENT) continue;
            const char* other = quorvel_elem_name_raw(reinterpret_cast<quorvel_element*>(c));
            if (!other || std::strcmp(other, name) != 0) continue;
            same++;
            if (c == &e->head) position = same;
        }
    }
    // Sized to the name: steps of any length are written whole.
    char index[24] = "";
    int index_len = same > 1 ? std::snprintf(index, sizeof index, "[%u]", position) : 0;
    if (!path.reserve(path.length + 1 + name_len + static_cast<size_t>(index_len))) return false;
    return path.prepend(index, static_cast<size_t>(index_len)) && path.prepend(name, name_len) &&
           path.prepend("/", 1);
}

}  // namespace

bool quorvel_line_index_init(quorvel_line_index* index, size_t length) {
    *index = quorvel_line_index{};
    index->blocks = (length >> 16) + 1;
    index->block_first = static_cast<uint32_t*>(std::malloc((index->blocks + 1) * sizeof(uint32_t)));
    // A first guess of a line per 64 bytes; the array grows past it.
    if (!index->block_first || !quorvel_line_index_grow(index, length / 64 + 64)) {
        quorvel_line_index_free(index);
        index->failed = 1;
        return false;
    }
    return true;
}

bool quorvel_line_index_grow(quorvel_line_index* index, size_t room) {
    if (index->failed) return false;
    if (index->capacity - index->count >= room) return true;
    size_t capacity = index->capacity * 2;
    if (capacity < index->count + room) capacity = index->count + room;
    auto* grown = static_cast<uint16_t*>(std::realloc(index->low, capacity * sizeof(uint16_t)));
    if (!grown) {
        index->failed = 1;
        return false;
    }
    index->low = grown;
    index->capacity = capacity;
    return true;
}

void quorvel_line_index_scan(quorvel_line_index* index, const char* text, size_t length, size_t base) {
    const char* end = text + length;
    for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))));
         p++) {
        if (index->count == index->capacity && !quorvel_line_index_grow(index, 1)) return;
        quorvel_line_index_add(index, base + static_cast<size_t>(p - text));
    }
}

void quorvel_line_index_finish(quorvel_line_index* index) {
    if (!index->block_first) return;
    while (index->filled <= index->blocks) index->block_first[index->filled++] = static_cast<uint32_t>(index->count);
}

void quorvel_line_index_free(quorvel_line_index* index) {
    std::free(index->low);
    std::free(index->block_first);
    index->low = nullptr;
    index->block_first = nullptr;
    index->count = index->capacity = 0;
}

size_t quorvel_line_index_before(const quorvel_line_index* index, size_t offset) {
    size_t block = offset >> 16;
    if (block >= index->blocks) return index->count;
    size_t lo = index->block_first[block], hi = index->block_first[block + 1];
    auto key = static_cast<uint16_t>(offset);
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (index->low[mid] < key) lo = mid + 1; else hi = mid;
    }
    return lo;
}

size_t quorvel_line_index_at(const quorvel_line_index* index, size_t i) {
    // The last block whose first LF is at or before i.
    size_t lo = 0, hi = index->blocks;
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        if (index->block_first[mid] <= i) lo = mid; else hi = mid;
    }
    return (lo << 16) | index->low[i];
}

extern "C" {

QUORVEL_API size_t quorvel_node_byte_offset(const quorvel_node* node) {
    return node && node->source_pos ? node->source_pos - 1 : 0;
}

QUORVEL_API void quorvel_node_source_position(const quorvel_node* node, quorvel_source_position* out) {
    if (!out) return;
    *out = quorvel_source_position{0, 0, 0};
    if (!node || node->source_pos == 0) return;
    const quorvel_element* element;
    switch (node->kind) {
        case QUORVEL_NODE_ELEMENT: element = reinterpret_cast<const quorvel_element*>(node); break;
        case QUORVEL_NODE_TEXT:
        case QUORVEL_NODE_COMMENT:
        case QUORVEL_NODE_CDATA:
        case QUORVEL_NODE_PI: {
            quorvel_node* parent = quorvel_node_parent_raw(node);
            if (!parent || parent->kind != QUORVEL_NODE_ELEMENT) return;
            element = reinterpret_cast<const quorvel_element*>(parent);
            break;
        }
        default: return;
    }
    quorvel_document* doc = quorvel_element_get_document(element);
    size_t offset = node->source_pos - 1;
    if (!doc || !doc->lines.block_first || doc->lines.failed || offset > doc->retained_length) return;
    out->line = static_cast<int>(quorvel_line_index_before(&doc->lines, offset) + 1);
    if (node->kind != QUORVEL_NODE_ELEMENT) return;
    size_t start = 0, end = 0;
    if (find_position(doc, element, &start, &end) && (start > doc->retained_length || end > doc->retained_length))
        return;
    out->column = column_of(doc, start);
    if (end) out->end_column = column_of(doc, end);
}

QUORVEL_API int quorvel_node_line(const quorvel_node* node) {
    quorvel_source_position pos;
    quorvel_node_source_position(node, &pos);
    return pos.line;
}

QUORVEL_API char* quorvel_node_get_xpath(const quorvel_node* node) {
    if (!node) return nullptr;
    const char* leaf_step = nullptr;
    const quorvel_node* n = node;
    if (node->kind != QUORVEL_NODE_ELEMENT) {
        leaf_step = node->kind == QUORVEL_NODE_COMMENT ? "comment()"
                    : node->kind == QUORVEL_NODE_PI    ? "processing-instruction()"
                                                       : "text()";
        quorvel_node* parent = quorvel_node_parent_raw(node);
        if (!parent || parent->kind != QUORVEL_NODE_ELEMENT) {
            size_t len = std::strlen(leaf_step);
            auto* out = static_cast<char*>(std::malloc(len + 2));
            if (!out) return nullptr;
            out[0] = '/';
            std::memcpy(out + 1, leaf_step, len + 1);
            return out;
        }
        n = parent;
    }
    path_text path;
    if (!path.reserve(0)) return nullptr;
    path.data[0] = '\0';
    if (leaf_step && !(path.prepend(leaf_step, std::strlen(leaf_step)) && path.prepend("/", 1))) {
        std::free(path.data);
        return nullptr;
    }
    // Every ancestor gets its step: no cap, so the path is always absolute.
    for (auto* e = reinterpret_cast<const quorvel_element*>(n); e;
         e = static_cast<const quorvel_element*>(quorvel_link_get(e, &e->parent))) {
        if (!prepend_step(path, e)) {
            std::free(path.data);
            return nullptr;
        }
    }
    return path.data;
}

QUORVEL_API void* quorvel_node_get_binding_wrapper(const quorvel_node* node) {
    quorvel_document* doc = node_public_document(node);
    if (!doc || !doc->wrapper_capacity) return nullptr;
    auto* slots = doc->wrapper_slots;
    for (size_t s = slot_of(node, doc->wrapper_capacity);; s = (s + 1) & (doc->wrapper_capacity - 1)) {
        if (!slots[s].node) return nullptr;
        if (slots[s].node == node) return slots[s].value;
    }
}

QUORVEL_API void quorvel_node_set_binding_wrapper(const quorvel_node* node, void* value) {
    quorvel_document* doc = node_public_document(node);
    if (!doc) return;
    if ((doc->wrapper_count + 1) * 2 >= doc->wrapper_capacity) {
        size_t capacity = doc->wrapper_capacity ? doc->wrapper_capacity * 2 : 16;
        auto* fresh = static_cast<quorvel_wrapper_slot*>(std::calloc(capacity, sizeof(quorvel_wrapper_slot)));
        if (!fresh) return;
        auto* old = doc->wrapper_slots;
        for (size_t i = 0; i < doc->wrapper_capacity; i++) {
            if (!old[i].node) continue;
            size_t s = slot_of(old[i].node, capacity);
            while (fresh[s].node) s = (s + 1) & (capacity - 1);
            fresh[s] = old[i];
        }
        std::free(old);
        doc->wrapper_slots = fresh;
        doc->wrapper_capacity = capacity;
    }
    auto* slots = doc->wrapper_slots;
    for (size_t s = slot_of(node, doc->wrapper_capacity);; s = (s + 1) & (doc->wrapper_capacity - 1)) {
        if (slots[s].node == node) {
            slots[s].value = value;
            return;
        }
        if (!slots[s].node) {
            slots[s].node = node;
            slots[s].value = value;
            doc->wrapper_count++;
            return;
        }
    }
}

}  // extern "C"
