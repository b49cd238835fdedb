// The streaming readers: the SAX push parser, and the hooks through which
// the recorder, the pull parser and iterparse drive it. The parser reads
// whole constructs: a construct cut by a chunk boundary is left unconsumed
// in the input buffer and read again once its end has arrived, so every
// chunking of an input gives the same events. Strings reported to callbacks
// live in a scratch stack released with the element that made them, which
// keeps a streaming parse in memory bounded by its open elements.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parser/parser.h"

// Every buffer of the streaming readers is working memory from the calling
// thread's allocation hooks (quorvel_work_alloc and its kin).

// A seeded hash of a name (crafted names cannot aim at one probe chain);
// reads exactly n bytes.
uint64_t stream_name_hash(const char* name, size_t n);

template <typename T>
bool stream_reserve(T*& data, size_t& capacity, size_t need, size_t first) {
    if (need <= capacity) return true;
    size_t grown = capacity ? capacity : first;
    while (grown < need) {
        if (grown > SIZE_MAX / 2 / sizeof(T)) return false;
        grown *= 2;
    }
    T* fresh = static_cast<T*>(quorvel_work_realloc(data, capacity * sizeof(T), grown * sizeof(T)));
    if (!fresh) return false;
    data = fresh;
    capacity = grown;
    return true;
}

// ---- Scratch stack ------------------------------------------------------------------------
// Blocks of a chain used as one stack: an element's strings are pushed when
// its start tag is read and popped when its frame is released. Blocks stay
// allocated for reuse, so a steady stream allocates nothing.

struct sax_block {
    sax_block* next;
    size_t capacity;  // data bytes behind the header
    size_t used;
    size_t reserved;  // keeps the data 16-aligned
};

struct sax_mark {
    sax_block* block;  // NULL: before the first block
    size_t used;
};

// ---- Open elements ------------------------------------------------------------------------

constexpr int kSaxMaxDepth = 256;

struct sax_frame {
    const char* name;          // NUL-terminated: scratch (streaming) or the input buffer (one-shot)
    size_t name_length;
    const char** attributes;   // 2n + 1 pointers, NULL-terminated, in scratch
    uint32_t attribute_count;  // pairs
    uint32_t declaration_count;
    sax_mark mark;             // scratch position before this element's strings
};

// One attribute of the start tag being read, as views into the input.
struct sax_attr_view {
    const char* name;
    const char* value;
    size_t value_length;
    uint32_t name_length;
    uint8_t flags;  // kSaxSeen* of the value
};

// What a construct left unconsumed is waiting for (see sax_parser.cpp).
enum class sax_wait : uint8_t {
    none,
    more,      // any further byte decides
    start_tag, // '>' outside a quoted value
    end_tag,   // '>'
    comment,   // "-->"
    pi,        // "?>"
    cdata,     // "]]>"
    doctype,   // the '>' that ends the declaration, internal subset skipped
    reference, // character data held from an '&': a ';' or '<'
};

// The parser's state word: the feed driver reads top level or content from
// the depth; only the two terminal states are kept apart.
constexpr int32_t kSaxTopLevel = 0;
constexpr int32_t kSaxContent = 7;
constexpr int32_t kSaxEnded = 13;
constexpr int32_t kSaxFailed = 14;

struct quorvel_sax_parser {
    const quorvel_sax_handler* handler;
    void* user;

    // Input buffer: every fed chunk is appended; consumed bytes are dropped
    // at the end of a feed (never in one-shot mode, whose strings point here).
    char* input;
    size_t length;
    size_t capacity;
    size_t pos;  // first unconsumed byte
    // A large one-shot input lives in a block from the block cache, so that
    // parse after parse reuses memory already mapped; NULL otherwise.
    quorvel_arena* input_block;

    // Line and column of the byte at offset `counted`; advanced lazily
    // (before bytes are dropped or rewritten, and for reports). 64-bit: a
    // stream may run past 2^31 lines or bytes; reports saturate.
    int64_t line;
    int64_t column;
    size_t counted;

    int32_t error_flag;
    // Result of every feed from the first reported error on: -2 for a parse
    // error (a repeated attribute too, though reading goes on), -1 when
    // memory ran out.
    int32_t result;
    int32_t skip_flags;
    int32_t state;
    int32_t depth;
    int32_t streaming;
    int32_t one_shot;
    int32_t started;
    int32_t ended;
    int32_t is_final;        // of the latest feed
    int32_t root_seen;       // a root element has been opened
    int32_t at_start;        // nothing consumed yet: a byte-order mark may follow
    int32_t pause_requested; // set by an internal reader: stop after the current construct
    int32_t paused;
    int32_t fed;             // a feed has appended input

    sax_wait wait;
    char wait_quote;       // start tags and doctypes: the open quote at wait_offset
    uint8_t wait_subset;   // doctypes: inside the internal subset
    uint8_t wait_nested;   // doctypes: 1 inside a comment, 2 inside a PI
    size_t wait_offset;    // bytes of the construct already searched

    sax_block* scratch_head;
    sax_block* scratch_current;

    char* text;  // decoded character data, reused
    size_t text_capacity;

    sax_attr_view* views;  // the start tag being read, reused
    size_t view_capacity;
    uint64_t* dup_slots;   // duplicate-attribute set for wide start tags, reused
    size_t dup_capacity;

    sax_frame frames[kSaxMaxDepth];
};

// ---- Tokenizer (sax_tokenizer.cpp) ------------------------------------------------------------

// Reads the buffered input until it is used up, a construct must wait for
// more, the parser fails or a pause was requested: 0, or -1 after a fatal
// error (reported; p->result tells which).
int sax_run(quorvel_sax_parser* p);
// Advances the line count to an input offset (before bytes are dropped).
void sax_count_to(quorvel_sax_parser* p, size_t offset);
// Reports "out of memory" as a fatal error; answers -1.
int sax_report_out_of_memory(quorvel_sax_parser* p);
void sax_free_scratch(quorvel_sax_parser* p);

// ---- Hooks of the internal readers ------------------------------------------------------------

// Asks the parser, from inside a callback, to stop after the construct it is
// reading; the rest of the buffered input waits for sax_resume.
inline void sax_request_pause(quorvel_sax_parser* p) { p->pause_requested = 1; }
inline bool sax_is_paused(const quorvel_sax_parser* p) { return p->paused != 0; }
// Continues a paused parser over the input it already holds: 0, or -1
// after a fatal error.
int sax_resume(quorvel_sax_parser* p);
// Fails the parser without a report (a reader that could not keep up):
// every later feed returns -1.
void sax_abort(quorvel_sax_parser* p);
