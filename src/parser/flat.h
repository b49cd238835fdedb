// The flat-record scanner and the parse fast path built on it. The scanner
// turns a plain document (elements, attributes, text) into node and
// attribute records in one forward pass and declines anything else; the
// records are handed to callers (quorvel_sax_records_*) or turned into an
// ordinary document (dp_il_try). A decline is never an error: the document
// parser then decides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parser/parser.h"

// Spare bits in the records' reserved bytes, written by the scan and read
// by the fast path's build; callers of the record interface see them as
// unspecified padding.
constexpr uint8_t kIlTextHasCr = 1;       // text run: holds a CR
constexpr uint8_t kIlNameHasColon = 2;    // element: the name holds a ':'
constexpr uint8_t kIlAttrHasColon = 1;    // attribute: the name holds a ':'

// Working state of one scan. The record arrays grow by doubling; the two
// stacks (open elements, and each one's last child record) start inside
// the state and move to one heap block when the nesting goes past it.
struct il_state {
    quorvel_sax_node_record* nodes;
    size_t node_count;
    size_t node_capacity;
    quorvel_sax_attr_record* attrs;
    size_t attr_count;
    size_t attr_capacity;
    size_t element_count;      // element records among the nodes
    size_t colon_attrs;        // attributes whose name holds a ':'
    size_t colon_attr_bytes;   // their name bytes
    size_t normalized_bytes;   // raw bytes of the values that need normalising
    size_t elements_with_ext;  // elements with attributes or a ':' in the name

    int32_t* open;        // record index of each open element
    int32_t* last_child;  // its last child record so far, -1 for none
    size_t depth;
    size_t stack_capacity;
    size_t depth_limit;
    int32_t* heap_stacks;  // NULL while the inline stacks serve

    uint32_t* dup_slots;   // duplicate-attribute set of the current tag (1-based attribute index)
    size_t dup_capacity;
    size_t dup_mask;       // 0 while the tag is checked pairwise

    int32_t inline_open[256];
    int32_t inline_last[256];
};

// Prepares the state for a text of length bytes: record arrays of
// length/24 + 64 nodes and length/48 + 32 attributes, and the thread's
// depth limit. False when memory runs out (nothing stays allocated).
bool il_state_init(il_state* st, size_t length);
// Frees the record arrays (unless taken: set them to NULL first) and every
// scratch block.
void il_state_release(il_state* st);

// Scans text[0..n) (no padding needed: every read stays below n). 1 when
// the text is a complete plain document whose records now fill the state,
// 0 when it declines. drop_ws drops whitespace-only text runs inside
// elements. The outputs are the root's record index, the offset just past
// the root element and the number of whitespace bytes after it.
int il_scan_body(const char* text, size_t n, int drop_ws, il_state* st, int32_t* root, size_t* root_end,
                 size_t* trailing);

// The fast path with the switch the document parser honours beside the
// three of dp_il_try: no_positions makes no per-element position records.
quorvel_document* dp_il_try_flags(const char* text, size_t length, int drop_ws, int keep_refs, int apply_defaults,
                                  int no_positions);

// The environment settings, filled once per process.
struct dp_env_memo {
    int enabled;
    int64_t min_size;
};
// What the two variables' values (NULL when unset) mean.
dp_env_memo dp_env_from(const char* interleaved, const char* il_min);

// Test-only: overrides the environment for the calling thread. -1 follows
// the environment, 0 turns the fast path off, 1 turns it on for every
// input length. Differential tests and benchmarks compare both roads in
// one process with it.
void dp_il_set_test_mode(int mode);
