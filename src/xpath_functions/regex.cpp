// The regular-expression matcher of matches, replace and tokenize.
//
// A pattern is read into code points, parsed into a syntax tree (groups
// nest at most kMaxGroupDepth deep; branches and sequences are lists, so a
// long pattern is wide, not deep) and compiled into a program for a
// thread-list simulation. Threads are kept in priority order and a thread
// that reaches the match cuts every thread behind it, so the match found is
// the one a backtracking matcher would find first, reluctant quantifiers
// included, in one pass over the input. Patterns with back-references run
// on a backtracking interpreter of the same program under a step budget.
//
// The schema pattern matcher answers membership of a whole value over bytes
// and keeps no groups or priorities; this one searches, reports groups and
// orders its choices, so the two share no code beyond their approach.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath_functions/functions.h"

namespace {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr int kMaxGroupDepth = 200;
// Threads times group slots a program may need per list; larger programs
// are refused like oversized ones.
constexpr uint64_t kMaxSlotCells = 1u << 21;
constexpr size_t kMaxBacktrackFrames = 1u << 20;

template <typename T>
using grow_array = quorvel_grow_array<T>;

struct cp_range {
    uint32_t lo, hi;
};

// Reads one code point; a byte that does not begin a well-formed sequence
// is one character of its own value.
inline uint32_t decode_utf8(const unsigned char* p, size_t avail, uint32_t* length) {
    unsigned char b = p[0];
    if (b < 0x80 || avail < 2) {
        *length = 1;
        return b;
    }
    if (b >= 0xC2 && b < 0xE0 && (p[1] & 0xC0) == 0x80) {
        *length = 2;
        return (static_cast<uint32_t>(b & 0x1F) << 6) | (p[1] & 0x3F);
    }
    if (b >= 0xE0 && b < 0xF0 && avail >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
        uint32_t c = (static_cast<uint32_t>(b & 0x0F) << 12) | (static_cast<uint32_t>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        if (c >= 0x800) {
            *length = 3;
            return c;
        }
    }
    if (b >= 0xF0 && b < 0xF5 && avail >= 4 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80 &&
        (p[3] & 0xC0) == 0x80) {
        uint32_t c = (static_cast<uint32_t>(b & 0x07) << 18) | (static_cast<uint32_t>(p[1] & 0x3F) << 12) |
                     (static_cast<uint32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        if (c >= 0x10000 && c <= kMaxCodePoint) {
            *length = 4;
            return c;
        }
    }
    *length = 1;
    return b;
}

// The first entry of c among the case pairs, or the pair count.
size_t first_case_pair(uint32_t c) {
    size_t lo = 0, hi = kXreCasePairCount;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kXreCasePairs[mid].code_point < c)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// A case partner of c (the first one when there are several), or c.
uint32_t other_case(uint32_t c) {
    if (c < 0x80) {
        if (c >= 'A' && c <= 'Z') return c + 32;
        if (c >= 'a' && c <= 'z') return c - 32;
        return c;
    }
    size_t k = first_case_pair(c);
    return k < kXreCasePairCount && kXreCasePairs[k].code_point == c ? kXreCasePairs[k].other : c;
}

// Whether x and y are the same letter in different cases.
bool case_partners(uint32_t x, uint32_t y) {
    for (size_t k = first_case_pair(x); k < kXreCasePairCount && kXreCasePairs[k].code_point == x; k++)
        if (kXreCasePairs[k].other == y) return true;
    return false;
}

// ---- Built-in classes ------------------------------------------------------------------------------

constexpr cp_range kSpace[] = {{0x09, 0x0A}, {0x0D, 0x0D}, {0x20, 0x20}};
// XML name characters.
constexpr cp_range kNameStart[] = {
    {':', ':'},       {'A', 'Z'},       {'_', '_'},       {'a', 'z'},         {0xC0, 0xD6},
    {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},   {0x37F, 0x1FFF},    {0x200C, 0x200D},
    {0x2070, 0x218F}, {0x2C00, 0x2FEF}, {0x3001, 0xD7FF}, {0xF900, 0xFDCF},   {0xFDF0, 0xFFFD},
    {0x10000, 0xEFFFF},
};
constexpr cp_range kNameExtra[] = {{'-', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};

// ---- Syntax tree ---------------------------------------------------------------------------------

enum node_kind : uint8_t { N_CHAR, N_CLASS, N_ANY, N_BOL, N_EOL, N_CAT, N_ALT, N_REPEAT, N_GROUP, N_BACKREF, N_EMPTY };

struct re_node {
    uint8_t kind;
    uint8_t greedy;
    uint32_t value;   // code point, class index, group or back-reference number
    int32_t first;    // first child, -1 none
    int32_t next;     // next sibling, -1 none
    int32_t last;     // last child, -1 none
    int64_t min;
    int64_t max;      // -1: unbounded
};

struct re_class {
    uint32_t first;  // into the range pool
    uint32_t count;
    uint32_t ascii[4];
};

enum op_code : uint8_t {
    OP_CHAR,     // a: code point
    OP_CHAR_CI,  // a, b: either code point
    OP_CLASS,    // a: class
    OP_ANY,      // any character
    OP_ANY_NL,   // any character but LF and CR
    OP_SPLIT,    // a preferred, b second
    OP_JUMP,     // a
    OP_SAVE,     // a: slot
    OP_BOL,      // start of input
    OP_EOL,      // end of input
    OP_MBOL,     // start of input or after LF
    OP_MEOL,     // end of input or before LF
    OP_BACKREF,  // a: group
    OP_BACKREF_CI,
    OP_MARK,     // a: loop slot; the position an iteration starts at (backtracking only)
    OP_CHECK,    // a: loop slot; fails an iteration that consumed nothing (backtracking only)
    OP_MATCH,
};

struct re_inst {
    uint8_t op;
    uint32_t a;
    uint32_t b;
};

}  // namespace

struct xre_program {
    re_inst* code;
    uint32_t count;
    re_class* classes;
    uint32_t class_count;
    cp_range* ranges;
    uint32_t groups;       // capturing groups
    uint32_t slots;        // 2 * (groups + 1)
    uint32_t loops;        // loop slots after the group slots (backtracking only)
    bool backrefs;
    bool literal;
    int first_byte;        // every match begins with this byte, or -1
};

namespace {

struct parser {
    uint32_t* pat = nullptr;  // code points
    size_t len = 0;
    size_t i = 0;
    int depth = 0;
    bool icase = false, dotall = false, multiline = false;
    xre_status status = XRE_OK;
    uint32_t groups = 0;
    uint32_t loops = 0;
    bool backrefs = false;
    grow_array<re_node> nodes;
    grow_array<cp_range> ranges;
    grow_array<re_class> classes;
    grow_array<uint8_t> closed;  // closed[n]: group n has been closed
    grow_array<cp_range> scratch;

    bool fail(xre_status s) {
        if (status == XRE_OK) status = s;
        return false;
    }
    bool at_end() const { return i >= len; }
    uint32_t peek(size_t k = 0) const { return i + k < len ? pat[i + k] : 0xFFFFFFFFu; }
};

int32_t new_node(parser& p, uint8_t kind, uint32_t value = 0) {
    re_node n{};
    n.kind = kind;
    n.value = value;
    n.first = n.next = n.last = -1;
    n.min = n.max = 1;
    n.greedy = 1;
    if (!p.nodes.push(n)) {
        p.fail(XRE_NO_MEMORY);
        return -1;
    }
    return static_cast<int32_t>(p.nodes.count - 1);
}

void append_child(parser& p, int32_t parent, int32_t child) {
    re_node& n = p.nodes.data[parent];
    if (n.last < 0)
        n.first = child;
    else
        p.nodes.data[n.last].next = child;
    n.last = child;
}

// ---- Range lists -----------------------------------------------------------------------------------

int compare_range(const void* a, const void* b) {
    uint32_t x = static_cast<const cp_range*>(a)->lo, y = static_cast<const cp_range*>(b)->lo;
    return x < y ? -1 : x > y;
}

// Sorts and merges list[from, count) in place.
void normalize(grow_array<cp_range>& list, size_t from) {
    size_t n = list.count - from;
    if (n < 2) return;
    cp_range* r = list.data + from;
    std::qsort(r, n, sizeof(cp_range), compare_range);
    size_t out = 0;
    for (size_t k = 1; k < n; k++) {
        if (r[k].lo <= r[out].hi + 1 && r[out].hi != kMaxCodePoint) {
            if (r[k].hi > r[out].hi) r[out].hi = r[k].hi;
        } else if (r[k].lo <= r[out].hi) {
            // r[out] already reaches the top
        } else {
            r[++out] = r[k];
        }
    }
    list.count = from + out + 1;
}

// Replaces the normalized list[from, count) by its complement.
bool complement(grow_array<cp_range>& list, size_t from) {
    size_t n = list.count - from;
    grow_array<cp_range> out;
    uint32_t next = 0;
    bool ok = true;
    for (size_t k = 0; k < n && ok; k++) {
        cp_range r = list.data[from + k];
        if (r.lo > next) ok = out.push(cp_range{next, r.lo - 1});
        next = r.hi + 1;
        if (r.hi == kMaxCodePoint) next = kMaxCodePoint + 1;
    }
    if (ok && next <= kMaxCodePoint) ok = out.push(cp_range{next, kMaxCodePoint});
    if (ok) {
        list.count = from;
        for (size_t k = 0; k < out.count && ok; k++) ok = list.push(out.data[k]);
    }
    out.release();
    return ok;
}

// Removes from the normalized list[from, mid) every code point of the
// normalized list[mid, count); the result replaces both.
bool subtract(grow_array<cp_range>& list, size_t from, size_t mid) {
    grow_array<cp_range> out;
    bool ok = true;
    size_t s = mid;
    for (size_t k = from; k < mid && ok; k++) {
        uint32_t lo = list.data[k].lo, hi = list.data[k].hi;
        while (s < list.count && list.data[s].hi < lo) s++;
        size_t t = s;
        while (ok && lo <= hi) {
            if (t >= list.count || list.data[t].lo > hi) {
                ok = out.push(cp_range{lo, hi});
                break;
            }
            const cp_range& cut = list.data[t];
            if (cut.lo > lo) ok = out.push(cp_range{lo, cut.lo - 1});
            if (cut.hi >= hi) break;
            lo = cut.hi + 1;
            t++;
        }
    }
    if (ok) {
        list.count = from;
        for (size_t k = 0; k < out.count && ok; k++) ok = list.push(out.data[k]);
    }
    out.release();
    return ok;
}

bool in_ranges(const grow_array<cp_range>& list, size_t from, uint32_t c) {
    size_t lo = from, hi = list.count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (list.data[mid].hi < c)
            lo = mid + 1;
        else if (list.data[mid].lo > c)
            hi = mid;
        else
            return true;
    }
    return false;
}

// Adds the case partners of every member of the normalized list[from, count),
// so that a class matches case-blind; negation comes after this.
bool close_under_case(grow_array<cp_range>& list, size_t from) {
    grow_array<cp_range> extra;
    bool ok = true;
    for (size_t k = 0; k < kXreCasePairCount && ok; k++) {
        const xre_case_pair& pair = kXreCasePairs[k];
        if (in_ranges(list, from, pair.code_point) && !in_ranges(list, from, pair.other))
            ok = extra.push(cp_range{pair.other, pair.other});
    }
    for (size_t k = 0; k < extra.count && ok; k++) ok = list.push(extra.data[k]);
    extra.release();
    if (ok) normalize(list, from);
    return ok;
}

bool push_table(grow_array<cp_range>& list, const cp_range* table, size_t n, bool negate) {
    size_t from = list.count;
    for (size_t k = 0; k < n; k++)
        if (!list.push(table[k])) return false;
    normalize(list, from);
    return !negate || complement(list, from);
}

// Appends the code points of a category ("L", "Lu", ... "Cn"), or of its
// complement; false when memory runs out.
bool push_category(grow_array<cp_range>& list, const char* name, size_t length, bool negate) {
    size_t from = list.count;
    bool unassigned = length == 1 ? name[0] == 'C' : (name[0] == 'C' && name[1] == 'n');
    for (size_t k = 0; k < kXreCategoryRangeCount; k++) {
        const char* cat = kXreCategoryNames[kXreCategoryRanges[k].category];
        if (cat[0] != name[0] || (length == 2 && cat[1] != name[1])) continue;
        if (!list.push(cp_range{kXreCategoryRanges[k].first, kXreCategoryRanges[k].last})) return false;
    }
    if (unassigned) {
        // Code points in no range: the complement of every assigned one.
        size_t mark = list.count;
        for (size_t k = 0; k < kXreCategoryRangeCount; k++)
            if (!list.push(cp_range{kXreCategoryRanges[k].first, kXreCategoryRanges[k].last})) return false;
        normalize(list, mark);
        if (!complement(list, mark)) return false;
    }
    normalize(list, from);
    return !negate || complement(list, from);
}

bool is_category_name(const uint32_t* name, size_t length) {
    static constexpr const char* kNames[] = {"L",  "Lu", "Ll", "Lt", "Lm", "Lo", "M",  "Mn", "Mc", "Me", "N",  "Nd",
                                             "Nl", "No", "P",  "Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po", "Z",  "Zs",
                                             "Zl", "Zp", "S",  "Sm", "Sc", "Sk", "So", "C",  "Cc", "Cf", "Co", "Cn"};
    if (length < 1 || length > 2) return false;
    for (const char* n : kNames)
        if (n[0] == static_cast<char>(name[0]) && name[0] < 0x80 &&
            (length == 1 ? n[1] == '\0' : (n[1] == static_cast<char>(name[1]) && name[1] < 0x80)))
            return true;
    return false;
}

// Appends the ranges of a class escape letter (d s w i c or upper case);
// under the flag i the set is closed under case before it is negated.
bool push_escape_class(parser& p, uint32_t letter) {
    bool neg = letter >= 'A' && letter <= 'Z';
    uint32_t lower = neg ? letter + 32 : letter;
    grow_array<cp_range>& l = p.scratch;
    size_t from = l.count;
    bool ok = true;
    switch (lower) {
        case 'd': ok = push_category(l, "Nd", 2, false); break;
        case 's': ok = push_table(l, kSpace, sizeof kSpace / sizeof *kSpace, false); break;
        case 'w':
            // Everything but punctuation, separators and others.
            ok = push_category(l, "P", 1, false) && push_category(l, "Z", 1, false) && push_category(l, "C", 1, false);
            if (ok) normalize(l, from);
            if (ok) ok = complement(l, from);
            break;
        case 'i': ok = push_table(l, kNameStart, sizeof kNameStart / sizeof *kNameStart, false); break;
        case 'c':
            for (const cp_range& r : kNameStart) ok = ok && l.push(r);
            for (const cp_range& r : kNameExtra) ok = ok && l.push(r);
            if (ok) normalize(l, from);
            break;
        default: return p.fail(XRE_BAD_PATTERN);
    }
    if (ok && neg) ok = complement(l, from);
    return ok || p.fail(XRE_NO_MEMORY);
}

bool is_class_escape(uint32_t c) {
    switch (c) {
        case 'd': case 'D': case 's': case 'S': case 'w': case 'W': case 'i': case 'I': case 'c': case 'C':
            return true;
        default: return false;
    }
}

// A single-character escape: the character, or -1.
int64_t single_escape(uint32_t c) {
    switch (c) {
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case '\\': case '|': case '.': case '?': case '*': case '+': case '(': case ')': case '{': case '}':
        case '$': case '-': case '[': case ']': case '^':
            return c;
        default: return -1;
    }
}

// Turns the normalized scratch list [from, count) into a class.
int32_t make_class(parser& p, size_t from) {
    re_class c{};
    c.first = static_cast<uint32_t>(p.ranges.count);
    for (size_t k = from; k < p.scratch.count; k++) {
        cp_range r = p.scratch.data[k];
        if (!p.ranges.push(r)) return p.fail(XRE_NO_MEMORY), -1;
        for (uint32_t b = r.lo; b <= r.hi && b < 128; b++) c.ascii[b >> 5] |= 1u << (b & 31);
    }
    c.count = static_cast<uint32_t>(p.ranges.count - c.first);
    p.scratch.count = from;
    if (!p.classes.push(c)) return p.fail(XRE_NO_MEMORY), -1;
    return static_cast<int32_t>(p.classes.count - 1);
}

// A category or block escape \p{..} or \P{..} at the cursor (on the 'p'),
// added to scratch. An unknown name fails the pattern.
bool parse_property(parser& p) {
    bool negate = p.peek() == 'P';
    if (p.peek(1) != '{') return p.fail(XRE_BAD_PATTERN);
    size_t start = p.i + 2, end = start;
    while (end < p.len && p.pat[end] != '}') end++;
    if (end >= p.len) return p.fail(XRE_BAD_PATTERN);
    size_t length = end - start;
    size_t from = p.scratch.count;
    bool ok = true;
    if (is_category_name(p.pat + start, length)) {
        char name[3] = {static_cast<char>(p.pat[start]), length == 2 ? static_cast<char>(p.pat[start + 1]) : '\0', 0};
        ok = push_category(p.scratch, name, length, false);
    } else {
        char name[64];
        if (length < 3 || length >= sizeof name) return p.fail(XRE_BAD_PATTERN);
        for (size_t k = 0; k < length; k++) {
            if (p.pat[start + k] >= 0x80) return p.fail(XRE_BAD_PATTERN);
            name[k] = static_cast<char>(p.pat[start + k]);
        }
        name[length] = '\0';
        bool found = false;
        for (size_t k = 0; k < kXreBlockCount && ok; k++)
            if (std::strcmp(kXreBlocks[k].name, name) == 0) {
                found = true;
                ok = p.scratch.push(cp_range{kXreBlocks[k].first, kXreBlocks[k].last});
            }
        if (!found) return p.fail(XRE_BAD_PATTERN);
        if (ok) normalize(p.scratch, from);
    }
    p.i = end + 1;
    if (ok && negate) ok = complement(p.scratch, from);
    return ok || p.fail(XRE_NO_MEMORY);
}

bool parse_class_body(parser& p, size_t from);

template <typename Finish>
bool parse_class_items(parser& p, size_t from, grow_array<cp_range>& literals, const Finish& finish) {
    bool negated = false;
    if (p.peek() == '^') {
        negated = true;
        p.i++;
    }
    bool any = false;
    for (;;) {
        if (p.at_end()) return p.fail(XRE_BAD_PATTERN);
        uint32_t c = p.peek();
        if (c == ']') {
            if (!any) return p.fail(XRE_BAD_PATTERN);
            p.i++;
            if (!finish()) return false;
            if (negated && !complement(p.scratch, from)) return p.fail(XRE_NO_MEMORY);
            break;
        }
        if (c == '-' && p.peek(1) == '[') {
            if (!any) return p.fail(XRE_BAD_PATTERN);
            p.i += 2;
            if (!finish()) return false;
            if (negated && !complement(p.scratch, from)) return p.fail(XRE_NO_MEMORY);
            size_t mid = p.scratch.count;
            if (!parse_class_body(p, mid)) return false;
            if (p.peek() != ']') return p.fail(XRE_BAD_PATTERN);
            p.i++;
            if (!subtract(p.scratch, from, mid)) return p.fail(XRE_NO_MEMORY);
            break;
        }
        any = true;
        int64_t lo;
        if (c == '\\') {
            uint32_t e = p.peek(1);
            if (e == 0xFFFFFFFFu) return p.fail(XRE_BAD_PATTERN);
            if (is_class_escape(e)) {
                p.i += 2;
                if (!push_escape_class(p, e)) return false;
                continue;
            }
            if (e == 'p' || e == 'P') {
                p.i++;
                if (!parse_property(p)) return false;
                continue;
            }
            lo = single_escape(e);
            if (lo < 0) return p.fail(XRE_BAD_PATTERN);
            p.i += 2;
        } else {
            if (c == '[') return p.fail(XRE_BAD_PATTERN);
            lo = c;
            p.i++;
        }
        int64_t hi = lo;
        if (p.peek() == '-' && p.peek(1) != ']' && p.peek(1) != '[' && p.peek(1) != 0xFFFFFFFFu) {
            uint32_t d = p.peek(1);
            if (d == '\\') {
                uint32_t e = p.peek(2);
                hi = e == 0xFFFFFFFFu ? -1 : single_escape(e);
                if (hi < 0) return p.fail(XRE_BAD_PATTERN);
                p.i += 3;
            } else {
                hi = d;
                p.i += 2;
            }
            if (hi < lo) return p.fail(XRE_BAD_PATTERN);
        }
        if (!literals.push(cp_range{static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)}))
            return p.fail(XRE_NO_MEMORY);
    }
    p.depth--;
    return true;
}

// Reads a class from just after its '[' into scratch [from, ...), normalized.
bool parse_class_body(parser& p, size_t from) {
    if (++p.depth > kMaxGroupDepth) return p.fail(XRE_BAD_PATTERN);
    // Characters and ranges written in the class; under the flag i they
    // match case-blind, while class escapes keep their own members.
    grow_array<cp_range> literals;
    auto finish = [&]() {
        bool ok = true;
        normalize(literals, 0);
        if (p.icase) ok = close_under_case(literals, 0);
        for (size_t k = 0; k < literals.count && ok; k++) ok = p.scratch.push(literals.data[k]);
        literals.release();
        if (!ok) return p.fail(XRE_NO_MEMORY);
        normalize(p.scratch, from);
        return true;
    };
    bool ok = parse_class_items(p, from, literals, finish);
    literals.release();
    return ok;
}


int32_t parse_alternation(parser& p);

// Reads a decimal bound; saturates far above any program the cap allows.
bool read_number(parser& p, int64_t& value) {
    if (p.peek() < '0' || p.peek() > '9') return false;
    int64_t v = 0;
    while (p.peek() >= '0' && p.peek() <= '9') {
        if (v < (INT64_C(1) << 40)) v = v * 10 + (p.peek() - '0');
        p.i++;
    }
    value = v;
    return true;
}

// A quantifier at the cursor: 1 read, 0 none, -1 malformed.
int parse_quantifier(parser& p, int64_t& min, int64_t& max, bool& greedy) {
    uint32_t c = p.peek();
    if (c == '*') min = 0, max = -1;
    else if (c == '+') min = 1, max = -1;
    else if (c == '?') min = 0, max = 1;
    else if (c == '{') {
        p.i++;
        if (!read_number(p, min)) return -1;
        max = min;
        if (p.peek() == ',') {
            p.i++;
            if (p.peek() == '}')
                max = -1;
            else if (!read_number(p, max) || max < min)
                return -1;
        }
        if (p.peek() != '}') return -1;
    } else {
        return 0;
    }
    p.i++;
    greedy = true;
    if (p.peek() == '?') {
        greedy = false;
        p.i++;
    }
    return 1;
}

int32_t parse_atom(parser& p) {
    uint32_t c = p.peek();
    switch (c) {
        case '(': {
            if (++p.depth > kMaxGroupDepth) return p.fail(XRE_BAD_PATTERN), -1;
            p.i++;
            uint32_t number = 0;
            if (p.peek() == '?') {
                if (p.peek(1) != ':') return p.fail(XRE_BAD_PATTERN), -1;
                p.i += 2;
            } else {
                number = ++p.groups;
                if (!p.closed.push(0)) return p.fail(XRE_NO_MEMORY), -1;
            }
            int32_t inner = parse_alternation(p);
            if (inner < 0) return -1;
            if (p.peek() != ')') return p.fail(XRE_BAD_PATTERN), -1;
            p.i++;
            p.depth--;
            if (number == 0) return inner;
            p.closed.data[number - 1] = 1;
            int32_t g = new_node(p, N_GROUP, number);
            if (g >= 0) append_child(p, g, inner);
            return g;
        }
        case '[': {
            p.i++;
            size_t from = p.scratch.count;
            if (!parse_class_body(p, from)) return -1;
            int32_t cls = make_class(p, from);
            if (cls < 0) return -1;
            return new_node(p, N_CLASS, static_cast<uint32_t>(cls));
        }
        case '.': p.i++; return new_node(p, N_ANY);
        case '^': p.i++; return new_node(p, N_BOL);
        case '$': p.i++; return new_node(p, N_EOL);
        case '\\': {
            uint32_t e = p.peek(1);
            if (e == 0xFFFFFFFFu) return p.fail(XRE_BAD_PATTERN), -1;
            if (is_class_escape(e)) {
                p.i += 2;
                size_t from = p.scratch.count;
                if (!push_escape_class(p, e)) return -1;
                int32_t cls = make_class(p, from);
                if (cls < 0) return -1;
                return new_node(p, N_CLASS, static_cast<uint32_t>(cls));
            }
            if (e == 'p' || e == 'P') {
                p.i++;
                size_t from = p.scratch.count;
                if (!parse_property(p)) return -1;
                int32_t cls = make_class(p, from);
                if (cls < 0) return -1;
                return new_node(p, N_CLASS, static_cast<uint32_t>(cls));
            }
            if (e >= '1' && e <= '9') {
                p.i += 2;
                uint32_t n = e - '0';
                while (p.peek() >= '0' && p.peek() <= '9' && n * 10 + (p.peek() - '0') <= p.groups) {
                    n = n * 10 + (p.peek() - '0');
                    p.i++;
                }
                if (n > p.groups || !p.closed.data[n - 1]) return p.fail(XRE_BAD_PATTERN), -1;
                p.backrefs = true;
                return new_node(p, N_BACKREF, n);
            }
            int64_t ch = single_escape(e);
            if (ch < 0) return p.fail(XRE_BAD_PATTERN), -1;
            p.i += 2;
            return new_node(p, N_CHAR, static_cast<uint32_t>(ch));
        }
        case '*': case '+': case '?': case '{': case '}': case ']': case ')': case '|':
            return p.fail(XRE_BAD_PATTERN), -1;
        default: p.i++; return new_node(p, N_CHAR, c);
    }
}

// One branch: pieces up to the end, '|' or ')'. May be empty.
int32_t parse_branch(parser& p) {
    int32_t cat = new_node(p, N_CAT);
    if (cat < 0) return -1;
    while (!p.at_end() && p.peek() != '|' && p.peek() != ')') {
        int32_t atom = parse_atom(p);
        if (atom < 0) return -1;
        int64_t min = 1, max = 1;
        bool greedy = true;
        int q = parse_quantifier(p, min, max, greedy);
        if (q < 0) return p.fail(XRE_BAD_PATTERN), -1;
        int32_t piece = atom;
        if (q > 0) {
            uint32_t after = p.peek();
            if (after == '*' || after == '+' || after == '?' || after == '{') return p.fail(XRE_BAD_PATTERN), -1;
            piece = new_node(p, N_REPEAT);
            if (piece < 0) return -1;
            p.nodes.data[piece].min = min;
            p.nodes.data[piece].max = max;
            p.nodes.data[piece].greedy = greedy;
            append_child(p, piece, atom);
        }
        append_child(p, cat, piece);
    }
    return cat;
}

int32_t parse_alternation(parser& p) {
    int32_t first = parse_branch(p);
    if (first < 0 || p.peek() != '|') return first;
    int32_t alt = new_node(p, N_ALT);
    if (alt < 0) return -1;
    append_child(p, alt, first);
    while (p.peek() == '|') {
        p.i++;
        int32_t branch = parse_branch(p);
        if (branch < 0) return -1;
        append_child(p, alt, branch);
    }
    return alt;
}

// ---- Compilation ---------------------------------------------------------------------------------

// Instructions node i compiles to, saturating above the cap.
uint64_t program_size(const parser& p, int32_t i) {
    const uint64_t cap = kXreMaxInstructions + 1;
    const re_node& n = p.nodes.data[i];
    switch (n.kind) {
        case N_CAT:
        case N_ALT: {
            uint64_t total = 0;
            for (int32_t c = n.first; c >= 0; c = p.nodes.data[c].next) {
                total += program_size(p, c) + (n.kind == N_ALT ? 2 : 0);
                if (total > cap) return cap;
            }
            return total;
        }
        case N_GROUP: {
            uint64_t inner = program_size(p, n.first) + 2;
            return inner > cap ? cap : inner;
        }
        case N_REPEAT: {
            uint64_t body = program_size(p, n.first);
            uint64_t copies = n.max < 0 ? static_cast<uint64_t>(n.min) + 1 : static_cast<uint64_t>(n.max);
            if (copies == 0) return 0;
            if (body > cap || copies > cap) return cap;
            uint64_t total = copies * (body + 2) + 2;
            return total > cap ? cap : total;
        }
        default: return 1;
    }
}

struct compiler {
    parser* p;
    grow_array<re_inst> code;
    bool failed = false;
};

uint32_t emit(compiler& c, uint8_t op, uint32_t a = 0, uint32_t b = 0) {
    if (!c.code.push(re_inst{op, a, b})) c.failed = true;
    return static_cast<uint32_t>(c.code.count ? c.code.count - 1 : 0);
}

void compile_node(compiler& c, int32_t i) {
    if (c.failed) return;
    const parser& p = *c.p;
    const re_node& n = p.nodes.data[i];
    switch (n.kind) {
        case N_CHAR: {
            uint32_t other = p.icase ? other_case(n.value) : n.value;
            if (other != n.value)
                emit(c, OP_CHAR_CI, n.value, other);
            else
                emit(c, OP_CHAR, n.value);
            break;
        }
        case N_CLASS: emit(c, OP_CLASS, n.value); break;
        case N_ANY: emit(c, p.dotall ? OP_ANY : OP_ANY_NL); break;
        case N_BOL: emit(c, p.multiline ? OP_MBOL : OP_BOL); break;
        case N_EOL: emit(c, p.multiline ? OP_MEOL : OP_EOL); break;
        case N_BACKREF: emit(c, p.icase ? OP_BACKREF_CI : OP_BACKREF, n.value); break;
        case N_EMPTY: break;
        case N_CAT:
            for (int32_t k = n.first; k >= 0; k = p.nodes.data[k].next) compile_node(c, k);
            break;
        case N_GROUP:
            emit(c, OP_SAVE, 2 * n.value);
            compile_node(c, n.first);
            emit(c, OP_SAVE, 2 * n.value + 1);
            break;
        case N_ALT: {
            // split next-branch; branch; jump end; ... The jumps are patched
            // once the end is known, through a chain kept in their targets.
            uint32_t chain = UINT32_MAX;
            for (int32_t k = n.first; k >= 0 && !c.failed; k = p.nodes.data[k].next) {
                bool last = p.nodes.data[k].next < 0;
                uint32_t split = 0;
                if (!last) split = emit(c, OP_SPLIT);
                compile_node(c, k);
                if (!last) {
                    uint32_t j = emit(c, OP_JUMP, chain);
                    chain = j;
                    if (!c.failed) {
                        c.code.data[split].a = split + 1;
                        c.code.data[split].b = static_cast<uint32_t>(c.code.count);
                    }
                }
            }
            while (!c.failed && chain != UINT32_MAX) {
                uint32_t next = c.code.data[chain].a;
                c.code.data[chain].a = static_cast<uint32_t>(c.code.count);
                chain = next;
            }
            break;
        }
        case N_REPEAT: {
            for (int64_t k = 0; k < n.min && !c.failed; k++) compile_node(c, n.first);
            if (n.max < 0) {
                // A backtracking run would loop forever on an iteration that
                // consumes nothing: such an iteration fails there.
                uint32_t loop = emit(c, OP_SPLIT);
                uint32_t slot = p.backrefs ? c.p->loops++ : 0;
                if (p.backrefs) emit(c, OP_MARK, slot);
                compile_node(c, n.first);
                if (p.backrefs) emit(c, OP_CHECK, slot);
                emit(c, OP_JUMP, loop);
                if (!c.failed) {
                    uint32_t body = loop + 1, out = static_cast<uint32_t>(c.code.count);
                    c.code.data[loop].a = n.greedy ? body : out;
                    c.code.data[loop].b = n.greedy ? out : body;
                }
            } else {
                // up to max - min more copies, each of which may be the last;
                // the exits are chained through their second targets.
                uint32_t chain = UINT32_MAX;
                for (int64_t k = n.min; k < n.max && !c.failed; k++) {
                    uint32_t split = emit(c, OP_SPLIT, 0, chain);
                    chain = split;
                    compile_node(c, n.first);
                }
                uint32_t out = static_cast<uint32_t>(c.code.count);
                while (!c.failed && chain != UINT32_MAX) {
                    re_inst& s = c.code.data[chain];
                    uint32_t next = s.b;
                    uint32_t body = chain + 1;
                    s.a = n.greedy ? body : out;
                    s.b = n.greedy ? out : body;
                    chain = next;
                }
            }
            break;
        }
        default: break;
    }
}

}  // namespace

xre_program* xre_compile(const char* pattern, size_t length, const char* flags, xre_status* status) {
    xre_status dummy;
    if (!status) status = &dummy;
    *status = XRE_OK;
    bool icase = false, dotall = false, multiline = false, extended = false, literal = false;
    for (const char* f = flags ? flags : ""; *f; f++) {
        switch (*f) {
            case 'i': icase = true; break;
            case 's': dotall = true; break;
            case 'm': multiline = true; break;
            case 'x': extended = true; break;
            case 'q': literal = true; break;
            default: *status = XRE_BAD_FLAGS; return nullptr;
        }
    }
    if (!pattern) length = 0;
    parser p;
    p.icase = icase;
    p.dotall = dotall && !literal;
    p.multiline = multiline && !literal;
    p.pat = static_cast<uint32_t*>(quorvel_work_alloc((length + 1) * sizeof(uint32_t)));
    if (!p.pat) {
        *status = XRE_NO_MEMORY;
        return nullptr;
    }
    // Code points; with x, white space outside classes is dropped first.
    {
        const unsigned char* s = reinterpret_cast<const unsigned char*>(pattern);
        size_t k = 0;
        int class_depth = 0;
        bool escaped = false;
        while (k < length) {
            uint32_t n;
            uint32_t c = decode_utf8(s + k, length - k, &n);
            k += n;
            if (extended && !literal && class_depth == 0 && (c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D))
                continue;
            if (extended && !literal) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '[')
                    class_depth++;
                else if (c == ']' && class_depth > 0)
                    class_depth--;
            }
            p.pat[p.len++] = c;
        }
    }
    int32_t root = -1;
    if (literal) {
        root = new_node(p, N_CAT);
        for (size_t k = 0; k < p.len && root >= 0; k++) {
            int32_t ch = new_node(p, N_CHAR, p.pat[k]);
            if (ch < 0) root = -1;
            else append_child(p, root, ch);
        }
    } else {
        root = parse_alternation(p);
        if (root >= 0 && !p.at_end()) {
            p.fail(XRE_BAD_PATTERN);
            root = -1;
        }
    }
    xre_program* prog = nullptr;
    if (root >= 0 && p.status == XRE_OK) {
        uint64_t size = program_size(p, root) + 3;
        uint64_t slots = 2 * (static_cast<uint64_t>(p.groups) + 1);
        if (size > kXreMaxInstructions || size * slots > kMaxSlotCells) {
            p.fail(XRE_TOO_LARGE);
        } else {
            compiler c;
            c.p = &p;
            emit(c, OP_SAVE, 0);
            compile_node(c, root);
            emit(c, OP_SAVE, 1);
            emit(c, OP_MATCH);
            if (!c.failed) prog = static_cast<xre_program*>(quorvel_work_calloc(sizeof(xre_program)));
            if (prog) {
                prog->code = c.code.data;
                prog->count = static_cast<uint32_t>(c.code.count);
                prog->classes = p.classes.data;
                prog->class_count = static_cast<uint32_t>(p.classes.count);
                prog->ranges = p.ranges.data;
                prog->groups = p.groups;
                prog->slots = static_cast<uint32_t>(slots);
                prog->loops = p.loops;
                prog->backrefs = p.backrefs;
                prog->literal = literal;
                prog->first_byte = -1;
                if (prog->count > 1 && prog->code[1].op == OP_CHAR && prog->code[1].a < 0x80)
                    prog->first_byte = static_cast<int>(prog->code[1].a);
                p.classes.data = nullptr;
                p.ranges.data = nullptr;
            } else {
                c.code.release();
                p.fail(XRE_NO_MEMORY);
            }
        }
    }
    if (!prog) *status = p.status == XRE_OK ? XRE_NO_MEMORY : p.status;
    quorvel_work_free(p.pat);
    p.nodes.release();
    p.ranges.release();
    p.classes.release();
    p.closed.release();
    p.scratch.release();
    return prog;
}

void xre_free(xre_program* program) {
    if (!program) return;
    quorvel_work_free(program->code);
    quorvel_work_free(program->classes);
    quorvel_work_free(program->ranges);
    quorvel_work_free(program);
}

int32_t xre_group_count(const xre_program* program) { return program ? static_cast<int32_t>(program->groups) : 0; }
bool xre_is_literal(const xre_program* program) { return program && program->literal; }

// ---- Matching ----------------------------------------------------------------------------------------

namespace {

constexpr uint32_t kRestore = UINT32_MAX;

// A pending step of the closure or of the backtracker: explore pc at the
// position `value`, or (pc kRestore) put `value` back into slot.
struct frame {
    uint32_t pc;
    uint32_t slot;
    int64_t value;
};

inline bool class_has(const xre_program* prog, uint32_t index, uint32_t c) {
    const re_class& k = prog->classes[index];
    if (c < 128) return (k.ascii[c >> 5] >> (c & 31)) & 1u;
    const cp_range* r = prog->ranges + k.first;
    uint32_t lo = 0, hi = k.count;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (r[mid].hi < c)
            lo = mid + 1;
        else if (r[mid].lo > c)
            hi = mid;
        else
            return true;
    }
    return false;
}

// Whether a consuming instruction takes the character c.
inline bool takes(const xre_program* prog, const re_inst& in, uint32_t c) {
    switch (in.op) {
        case OP_CHAR: return in.a == c;
        case OP_CHAR_CI: return in.a == c || in.b == c || (c >= 0x80 && case_partners(in.a, c));
        case OP_CLASS: return class_has(prog, in.a, c);
        case OP_ANY: return true;
        case OP_ANY_NL: return c != '\n' && c != '\r';
        default: return false;
    }
}

inline bool assertion_holds(uint8_t op, const char* input, size_t length, size_t pos) {
    switch (op) {
        case OP_BOL: return pos == 0;
        case OP_EOL: return pos == length;
        case OP_MBOL: return pos == 0 || input[pos - 1] == '\n';
        case OP_MEOL: return pos == length || input[pos] == '\n';
        default: return false;
    }
}

}  // namespace

struct xre_matcher {
    const xre_program* prog;
    bool ready;
    uint32_t* dense[2];
    uint32_t* sparse[2];
    uint32_t size[2];
    int64_t* caps[2];  // slots per instruction
    frame* stack;
    size_t stack_capacity;
    int64_t* temp;     // one thread's slots
    int64_t* scratch_groups;
    uint64_t steps;
};

xre_matcher* xre_matcher_new(const xre_program* program) {
    if (!program) return nullptr;
    xre_matcher* m = static_cast<xre_matcher*>(quorvel_work_calloc(sizeof(xre_matcher)));
    if (!m) return nullptr;
    m->prog = program;
    return m;
}

void xre_matcher_free(xre_matcher* m) {
    if (!m) return;
    for (int k = 0; k < 2; k++) {
        quorvel_work_free(m->dense[k]);
        quorvel_work_free(m->sparse[k]);
        quorvel_work_free(m->caps[k]);
    }
    quorvel_work_free(m->stack);
    quorvel_work_free(m->temp);
    quorvel_work_free(m->scratch_groups);
    quorvel_work_free(m);
}

namespace {

bool matcher_ready(xre_matcher* m) {
    if (m->ready) return true;
    const xre_program* prog = m->prog;
    size_t n = prog->count;
    m->temp = static_cast<int64_t*>(quorvel_work_alloc((prog->slots + prog->loops) * sizeof(int64_t)));
    m->scratch_groups = static_cast<int64_t*>(quorvel_work_alloc(prog->slots * sizeof(int64_t)));
    if (!m->temp || !m->scratch_groups) return false;
    if (prog->backrefs) {
        m->stack_capacity = 256;
    } else {
        for (int k = 0; k < 2; k++) {
            m->dense[k] = static_cast<uint32_t*>(quorvel_work_alloc(n * sizeof(uint32_t)));
            m->sparse[k] = static_cast<uint32_t*>(quorvel_work_calloc(n * sizeof(uint32_t)));
            m->caps[k] = static_cast<int64_t*>(quorvel_work_alloc(n * prog->slots * sizeof(int64_t)));
            if (!m->dense[k] || !m->sparse[k] || !m->caps[k]) return false;
        }
        m->stack_capacity = n + 2;
    }
    m->stack = static_cast<frame*>(quorvel_work_alloc(m->stack_capacity * sizeof(frame)));
    if (!m->stack) return false;
    m->ready = true;
    return true;
}

// Adds the thread at pc (with the slots in caps, restored on return) and
// every thread it reaches without consuming, in priority order.
void add_thread(xre_matcher* m, int list, uint32_t pc0, size_t pos, int64_t* caps, const char* input,
                size_t length) {
    const xre_program* prog = m->prog;
    uint32_t* dense = m->dense[list];
    uint32_t* sparse = m->sparse[list];
    uint32_t& size = m->size[list];
    const uint32_t slots = prog->slots;
    frame* stack = m->stack;
    size_t top = 0;
    stack[top++] = frame{pc0, 0, 0};
    while (top) {
        frame f = stack[--top];
        if (f.pc == kRestore) {
            caps[f.slot] = f.value;
            continue;
        }
        uint32_t pc = f.pc;
        for (;;) {
            uint32_t k = sparse[pc];
            if (k < size && dense[k] == pc) break;
            sparse[pc] = size;
            dense[size++] = pc;
            const re_inst& in = prog->code[pc];
            if (in.op == OP_JUMP) {
                pc = in.a;
            } else if (in.op == OP_SPLIT) {
                stack[top++] = frame{in.b, 0, 0};
                pc = in.a;
            } else if (in.op == OP_SAVE) {
                stack[top++] = frame{kRestore, in.a, caps[in.a]};
                caps[in.a] = static_cast<int64_t>(pos);
                pc++;
            } else if (in.op >= OP_BOL && in.op <= OP_MEOL) {
                if (!assertion_holds(in.op, input, length, pos)) break;
                pc++;
            } else if (in.op == OP_MARK || in.op == OP_CHECK) {
                pc++;
            } else {
                std::memcpy(m->caps[list] + static_cast<size_t>(pc) * slots, caps, slots * sizeof(int64_t));
                break;
            }
        }
    }
}

int pike_search(xre_matcher* m, const char* input, size_t length, size_t start, int64_t* groups) {
    const xre_program* prog = m->prog;
    const uint32_t slots = prog->slots;
    int cur = 0;
    m->size[0] = m->size[1] = 0;
    bool matched = false;
    size_t pos = start;
    for (;;) {
        if (!matched) {
            if (m->size[cur] == 0 && prog->first_byte >= 0) {
                const void* hit = pos < length ? std::memchr(input + pos, prog->first_byte, length - pos) : nullptr;
                if (!hit) break;
                pos = static_cast<size_t>(static_cast<const char*>(hit) - input);
            }
            for (uint32_t s = 0; s < slots; s++) m->temp[s] = -1;
            add_thread(m, cur, 0, pos, m->temp, input, length);
        }
        if (m->size[cur] == 0) break;
        uint32_t n = 1, c = 0;
        if (pos < length) c = decode_utf8(reinterpret_cast<const unsigned char*>(input) + pos, length - pos, &n);
        int nxt = 1 - cur;
        m->size[nxt] = 0;
        for (uint32_t k = 0; k < m->size[cur]; k++) {
            uint32_t pc = m->dense[cur][k];
            const re_inst& in = prog->code[pc];
            int64_t* tcaps = m->caps[cur] + static_cast<size_t>(pc) * slots;
            if (in.op == OP_MATCH) {
                matched = true;
                std::memcpy(groups, tcaps, slots * sizeof(int64_t));
                break;  // threads behind this one have lower priority
            }
            if (pos < length && takes(prog, in, c)) add_thread(m, nxt, pc + 1, pos + n, tcaps, input, length);
        }
        cur = nxt;
        if (pos >= length) break;
        pos += n;
    }
    return matched ? 1 : 0;
}

bool push_frame(xre_matcher* m, size_t& top, frame f) {
    if (top == m->stack_capacity) {
        if (m->stack_capacity >= kMaxBacktrackFrames) return false;
        size_t grown = m->stack_capacity * 2;
        void* fresh = quorvel_work_realloc(m->stack, top * sizeof(frame), grown * sizeof(frame));
        if (!fresh) return false;
        m->stack = static_cast<frame*>(fresh);
        m->stack_capacity = grown;
    }
    m->stack[top++] = f;
    return true;
}

// One anchored attempt at s for programs with back-references: 1 match,
// 0 none, -1 budget or stack spent (status set).
int backtrack_at(xre_matcher* m, const char* input, size_t length, size_t s, int64_t* groups, xre_status* status) {
    const xre_program* prog = m->prog;
    int64_t* caps = m->temp;
    for (uint32_t k = 0; k < prog->slots + prog->loops; k++) caps[k] = -1;
    size_t top = 0;
    m->stack[top++] = frame{0, 0, static_cast<int64_t>(s)};
    const unsigned char* in8 = reinterpret_cast<const unsigned char*>(input);
    while (top) {
        frame f = m->stack[--top];
        if (f.pc == kRestore) {
            caps[f.slot] = f.value;
            continue;
        }
        uint32_t pc = f.pc;
        size_t pos = static_cast<size_t>(f.value);
        for (;;) {
            if (++m->steps > kXreBacktrackBudget) {
                *status = XRE_TOO_COMPLEX;
                return -1;
            }
            const re_inst& in = prog->code[pc];
            bool ok = true;
            switch (in.op) {
                case OP_SPLIT:
                    if (!push_frame(m, top, frame{in.b, 0, static_cast<int64_t>(pos)})) {
                        *status = XRE_TOO_COMPLEX;
                        return -1;
                    }
                    pc = in.a;
                    continue;
                case OP_JUMP: pc = in.a; continue;
                case OP_SAVE:
                    if (!push_frame(m, top, frame{kRestore, in.a, caps[in.a]})) {
                        *status = XRE_TOO_COMPLEX;
                        return -1;
                    }
                    caps[in.a] = static_cast<int64_t>(pos);
                    pc++;
                    continue;
                case OP_BOL: case OP_EOL: case OP_MBOL: case OP_MEOL:
                    ok = assertion_holds(in.op, input, length, pos);
                    pc++;
                    break;
                case OP_MARK: {
                    uint32_t slot = prog->slots + in.a;
                    if (!push_frame(m, top, frame{kRestore, slot, caps[slot]})) {
                        *status = XRE_TOO_COMPLEX;
                        return -1;
                    }
                    caps[slot] = static_cast<int64_t>(pos);
                    pc++;
                    continue;
                }
                case OP_CHECK:
                    ok = caps[prog->slots + in.a] != static_cast<int64_t>(pos);
                    pc++;
                    break;
                case OP_BACKREF:
                case OP_BACKREF_CI: {
                    int64_t gs = caps[2 * in.a], ge = caps[2 * in.a + 1];
                    if (gs < 0 || ge < gs) {
                        pc++;
                        break;
                    }
                    size_t a = static_cast<size_t>(gs), end = static_cast<size_t>(ge), b = pos;
                    while (ok && a < end) {
                        if (b >= length) {
                            ok = false;
                            break;
                        }
                        uint32_t na, nb;
                        uint32_t ca = decode_utf8(in8 + a, end - a, &na);
                        uint32_t cb = decode_utf8(in8 + b, length - b, &nb);
                        ok = ca == cb || (in.op == OP_BACKREF_CI && case_partners(ca, cb));
                        a += na;
                        b += nb;
                    }
                    pos = b;
                    pc++;
                    break;
                }
                case OP_MATCH:
                    std::memcpy(groups, caps, prog->slots * sizeof(int64_t));
                    return 1;
                default: {
                    if (pos >= length) {
                        ok = false;
                        break;
                    }
                    uint32_t n;
                    uint32_t c = decode_utf8(in8 + pos, length - pos, &n);
                    ok = takes(prog, in, c);
                    pos += n;
                    pc++;
                    break;
                }
            }
            if (!ok) break;
        }
    }
    return 0;
}

}  // namespace

int xre_search(xre_matcher* m, const char* input, size_t length, size_t start, int64_t* groups,
               xre_status* status) {
    xre_status dummy;
    if (!status) status = &dummy;
    *status = XRE_OK;
    if (!m || !groups || start > length || (!input && length)) return 0;
    if (!input) input = "";
    if (!matcher_ready(m)) {
        *status = XRE_NO_MEMORY;
        return -1;
    }
    if (!m->prog->backrefs) return pike_search(m, input, length, start, groups);
    const unsigned char* in8 = reinterpret_cast<const unsigned char*>(input);
    for (size_t s = start;;) {
        int r = backtrack_at(m, input, length, s, groups, status);
        if (r != 0) return r;
        if (s >= length) return 0;
        uint32_t n;
        decode_utf8(in8 + s, length - s, &n);
        s += n;
    }
}

int xre_matches_empty(xre_matcher* m, xre_status* status) {
    if (!m) return -1;
    if (!matcher_ready(m)) {
        if (status) *status = XRE_NO_MEMORY;
        return -1;
    }
    return xre_search(m, "", 0, 0, m->scratch_groups, status);
}
