// The duplicate check of a start tag's attributes: few are compared
// pairwise along the element's attribute chain; from kDupLinearLimit on they
// go into an open-addressing probe set in the parser's scratch memory,
// seeded per process, sized and cleared per tag. Off the hot path: called
// for tags with attributes only, and out of line.
#include "parser/document_parser.h"

using namespace quorvel_dp;

namespace {

bool dup_insert(dp_state* s, size_t index, uint64_t hash) {
    for (size_t i = hash & s->dup_mask;; i = (i + 1) & s->dup_mask) {
        if (s->dup_slots[i].index == 0) {
            s->dup_slots[i] = dup_slot{hash, static_cast<uint32_t>(index + 1)};
            return true;
        }
    }
}

// Makes room for count + 1 entries in tag_attrs; false when memory ran out.
bool reserve_tag_attrs(dp_state* s, size_t count) {
    if (count < s->tag_capacity) return true;
    size_t grown = s->tag_capacity ? s->tag_capacity : 32;
    while (grown <= count) grown *= 2;
    auto* fresh = static_cast<quorvel_attribute**>(
        quorvel_work_realloc(s->tag_attrs, s->tag_capacity * sizeof(quorvel_attribute*), grown * sizeof(quorvel_attribute*)));
    if (!fresh) return false;
    s->tag_attrs = fresh;
    s->tag_capacity = grown;
    return true;
}

// Sizes the probe set for the tag's next attribute: its attributes so far
// are the count entries of tag_attrs. False when memory ran out.
bool dup_prepare(dp_state* s, size_t count, uint64_t seed) {
    size_t need = count + 1;
    if (s->dup_mask && need * 2 <= s->dup_mask + 1) return true;
    size_t slots = 64;
    while (slots < need * 2) slots *= 2;
    if (slots > s->dup_capacity) {
        // The slots are cleared below: nothing of the old set is kept.
        auto* fresh = static_cast<dup_slot*>(quorvel_work_realloc(s->dup_slots, 0, slots * sizeof(dup_slot)));
        if (!fresh) return false;
        s->dup_slots = fresh;
        s->dup_capacity = slots;
    }
    std::memset(s->dup_slots, 0, slots * sizeof(dup_slot));
    s->dup_mask = slots - 1;
    for (size_t i = 0; i < count; i++) {
        const quorvel_attribute* a = s->tag_attrs[i];
        dup_insert(s, i, name_hash(a->name, a->name_length, seed));
    }
    return true;
}

}  // namespace

namespace quorvel_dp {

// True when the tag's attributes so far (kept of them, chained from
// first) hold one of this name, or when scratch memory for the check ran
// out (dup_failed set): a name left unchecked would let a malformed
// document through. Few are compared pairwise; from
// kDupLinearLimit on they go into tag_attrs and a probe set, which then
// takes every later attribute of the tag (remember_attribute). Costs work
// in proportion to the tag's own attributes only.
bool is_duplicate(dp_state* s, quorvel_attribute* first, size_t kept, const char* name,
                                            size_t len) {
    if (kept < kDupLinearLimit) {
        for (const quorvel_attribute* a = first; a; a = quorvel_attr_next(a))
            if (same_name(a, name, len)) return true;
        return false;
    }
    uint64_t seed = name_hash_seed();
    if (!s->dup_mask) {
        if (!reserve_tag_attrs(s, kept)) {
            s->dup_failed = 1;
            return true;
        }
        size_t i = 0;
        for (quorvel_attribute* a = first; a; a = quorvel_attr_next(a)) s->tag_attrs[i++] = a;
    }
    if (!dup_prepare(s, kept, seed)) {
        s->dup_failed = 1;
        return true;
    }
    uint64_t h = name_hash(name, len, seed);
    for (size_t i = h & s->dup_mask;; i = (i + 1) & s->dup_mask) {
        const dup_slot& slot = s->dup_slots[i];
        if (slot.index == 0) return false;
        if (slot.hash == h && same_name(s->tag_attrs[slot.index - 1], name, len)) return true;
    }
}

// Once the probe set is built, every attribute the tag keeps joins it.
// False when scratch memory ran out (dup_failed set).
bool remember_attribute(dp_state* s, size_t index, quorvel_attribute* a) {
    if (!reserve_tag_attrs(s, index)) {
        s->dup_failed = 1;
        return false;
    }
    s->tag_attrs[index] = a;
    dup_insert(s, index, name_hash(a->name, a->name_length, name_hash_seed()));
    return true;
}

}  // namespace quorvel_dp
