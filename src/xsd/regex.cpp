// The pattern-language matcher: parser, compiler to a Thompson automaton,
// and the set simulation that matches a whole value.
//
// Parsing builds a tree in one growable node array. Branches and
// alternations are n-ary (a first child and sibling links), so a long
// pattern is a wide tree, not a deep one; the parser recurses only into
// groups (at most 32 deep) and walks pieces in a loop.
#include "xsd/xsd.h"

#include <cstring>

#include "core/core.h"

namespace {

enum rre_kind : uint8_t {
    kLiteral,  // byte
    kClass,    // set index
    kAny,      // any byte but NUL
    kConcat,   // children in order
    kAlt,      // children as alternatives
    kRepeat,   // one child, min..max (max -1: unbounded)
};

struct rre_node {
    uint8_t kind;
    uint8_t byte;
    uint32_t set;     // index into the class table
    int32_t first;    // first child, -1 none
    int32_t next;     // next sibling, -1 none
    int32_t last;     // last child (for appending), -1 none
    int64_t min;
    int64_t max;
};

struct rre_set {
    uint8_t bits[32];
};

inline void set_add(rre_set& s, unsigned b) { s.bits[b >> 3] |= static_cast<uint8_t>(1u << (b & 7)); }
inline bool set_has(const rre_set& s, unsigned b) { return (s.bits[b >> 3] >> (b & 7)) & 1u; }

template <typename T>
using grow_array = quorvel_grow_array<T>;

struct parser {
    const char* cursor;
    int depth;
    bool error;   // syntax error (or a bound that does not fit)
    bool memory;  // allocation failed
    grow_array<rre_node> nodes;
    grow_array<rre_set> sets;
};

int32_t new_node(parser& p, uint8_t kind) {
    rre_node n{};
    n.kind = kind;
    n.first = n.next = n.last = -1;
    if (!p.nodes.push(n)) {
        p.memory = true;
        return -1;
    }
    return static_cast<int32_t>(p.nodes.count - 1);
}

int32_t new_set(parser& p) {
    rre_set s{};
    if (!p.sets.push(s)) {
        p.memory = true;
        return -1;
    }
    return static_cast<int32_t>(p.sets.count - 1);
}

void append_child(parser& p, int32_t parent, int32_t child) {
    rre_node& n = p.nodes.data[parent];
    if (n.last < 0)
        n.first = child;
    else
        p.nodes.data[n.last].next = child;
    n.last = child;
}

// The sets of the class escapes \c \d \i \s \w.
void add_builtin(rre_set& s, char letter) {
    auto range = [&](unsigned lo, unsigned hi) {
        for (unsigned b = lo; b <= hi; b++) set_add(s, b);
    };
    switch (letter) {
        case 'c':
            range('A', 'Z'), range('a', 'z'), range('0', '9');
            set_add(s, '.'), set_add(s, '-'), set_add(s, '_'), set_add(s, ':');
            range(0x80, 0xFF);
            break;
        case 'd': range('0', '9'); break;
        case 'i':
            range('A', 'Z'), range('a', 'z');
            set_add(s, '_'), set_add(s, ':');
            range(0x80, 0xFF);
            break;
        case 's':
            set_add(s, 0x20), set_add(s, 0x09), set_add(s, 0x0A), set_add(s, 0x0B), set_add(s, 0x0C),
                set_add(s, 0x0D);
            break;
        case 'w':
            range('A', 'Z'), range('a', 'z'), range('0', '9');
            set_add(s, '_');
            break;
        default: break;
    }
}

// Adds every byte not in the escape's set.
void add_builtin_complement(rre_set& s, char lower) {
    rre_set t{};
    add_builtin(t, lower);
    for (unsigned b = 0; b < 256; b++)
        if (!set_has(t, b)) set_add(s, b);
}

bool is_ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_builtin_letter(char c) { return c == 'c' || c == 'd' || c == 'i' || c == 's' || c == 'w'; }

// Parses a class from just after its '[' (and its own ']'), into set
// `into`. Subtractions nest at most as deep as the text allows; each level
// consumes at least two bytes, and a nested class is bounded by the group
// depth counter as well.
bool parse_class_into(parser& p, int32_t into, bool& negated) {
    negated = false;
    if (*p.cursor == '^') {
        negated = true;
        p.cursor++;
    }
    bool first = true;
    rre_set local{};
    for (;;) {
        unsigned char c = static_cast<unsigned char>(*p.cursor);
        if (c == 0) return false;
        if (c == ']' && !first) {
            p.cursor++;
            break;
        }
        first = false;
        if (c == '\\') {
            unsigned char e = static_cast<unsigned char>(p.cursor[1]);
            if (e == 0) {
                // A backslash ending the pattern: a literal member; the class
                // is then unterminated.
                set_add(local, '\\');
                p.cursor++;
                continue;
            }
            if (e == 'p' && p.cursor[2] == '{') {
                const char* name = p.cursor + 3;
                const char* close = std::strchr(name, '}');
                if (!close) return false;
                size_t n = static_cast<size_t>(close - name);
                if (n == 12 && std::memcmp(name, "IsBasicLatin", 12) == 0) {
                    for (unsigned b = 0; b < 0x80; b++) set_add(local, b);
                } else if (n == 19 && std::memcmp(name, "IsLatin-1Supplement", 19) == 0) {
                    for (unsigned b = 0x80; b < 0x100; b++) set_add(local, b);
                } else if (n == 2 && std::memcmp(name, "Cc", 2) == 0) {
                    for (unsigned b = 0; b < 0x20; b++) set_add(local, b);
                    for (unsigned b = 0x7F; b < 0xA0; b++) set_add(local, b);
                } else {
                    return false;
                }
                p.cursor = close + 1;
                continue;
            }
            p.cursor += 2;
            if (e == 'n')
                set_add(local, '\n');
            else if (e == 'r')
                set_add(local, '\r');
            else if (e == 't')
                set_add(local, '\t');
            else if (is_builtin_letter(static_cast<char>(e)))
                add_builtin(local, static_cast<char>(e));
            else if (e < 0x80 && is_builtin_letter(static_cast<char>(e + 32)) && e >= 'A' && e <= 'Z')
                add_builtin_complement(local, static_cast<char>(e + 32));
            else
                set_add(local, e);
            continue;
        }
        if (c == '-' && p.cursor[1] == '[') {
            p.cursor += 2;
            if (++p.depth > 32) return false;
            int32_t sub = new_set(p);
            if (sub < 0) return false;
            bool sub_negated = false;
            if (!parse_class_into(p, sub, sub_negated)) return false;
            p.depth--;
            // The subtrahend's members, its negation honoured.
            const rre_set& s = p.sets.data[sub];
            for (unsigned b = 0; b < 256; b++) {
                bool member = set_has(s, b) != sub_negated;
                if (member) local.bits[b >> 3] &= static_cast<uint8_t>(~(1u << (b & 7)));
            }
            if (*p.cursor != ']') return false;
            p.cursor++;
            break;
        }
        if (p.cursor[1] == '-' && p.cursor[2] != '\0' && p.cursor[2] != ']') {
            unsigned char y = static_cast<unsigned char>(p.cursor[2]);
            for (unsigned b = c; b <= y; b++) set_add(local, b);
            p.cursor += 3;
            continue;
        }
        set_add(local, c);
        p.cursor++;
    }
    p.sets.data[into] = local;
    return true;
}

// Reads a decimal number as strtol would (leading white space and a sign
// accepted). False when no digit follows; `overflow` when it does not fit
// 32 bits.
bool read_bound(const char*& s, int64_t& value, bool& overflow) {
    const char* q = s;
    while (*q == ' ' || (*q >= '\t' && *q <= '\r')) q++;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (*q < '0' || *q > '9') return false;
    int64_t v = 0;
    while (*q >= '0' && *q <= '9') {
        if (v <= INT64_C(1) << 40) v = v * 10 + (*q - '0');
        q++;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) overflow = true;
    value = v;
    s = q;
    return true;
}

// A quantifier at the cursor: 1 read (min, max set), 0 none (cursor kept),
// -1 a bound past 32 bits.
int parse_quantifier(parser& p, int64_t& min, int64_t& max) {
    char c = *p.cursor;
    if (c == '*') return p.cursor++, min = 0, max = -1, 1;
    if (c == '+') return p.cursor++, min = 1, max = -1, 1;
    if (c == '?') return p.cursor++, min = 0, max = 1, 1;
    if (c != '{') return 0;
    const char* s = p.cursor + 1;
    bool overflow = false;
    int64_t n = 0, m = 0;
    if (!read_bound(s, n, overflow)) return 0;
    if (*s == '}') {
        if (overflow) return -1;
        if (n < 0) return 0;
        p.cursor = s + 1;
        min = max = n;
        return 1;
    }
    if (*s != ',') return 0;
    s++;
    if (*s == '}') {
        if (overflow) return -1;
        if (n < 0) return 0;
        p.cursor = s + 1;
        min = n;
        max = -1;
        return 1;
    }
    if (!read_bound(s, m, overflow)) return 0;
    if (*s != '}') return 0;
    if (overflow) return -1;
    if (n < 0) return 0;
    if (m == -1) {
        p.cursor = s + 1;
        min = n;
        max = -1;
        return 1;
    }
    if (m < n) return 0;
    p.cursor = s + 1;
    min = n;
    max = m;
    return 1;
}

int32_t parse_alt(parser& p);

// One atom at the cursor, or -1.
int32_t parse_atom(parser& p) {
    unsigned char c = static_cast<unsigned char>(*p.cursor);
    switch (c) {
        case 0:
        case '*':
        case '+':
        case '?':
        case ')':
        case ']':
        case '|': p.error = true; return -1;
        case '(': {
            if (++p.depth > 32) {
                p.error = true;
                return -1;
            }
            p.cursor++;
            int32_t inner = parse_alt(p);
            if (inner < 0) return -1;
            if (*p.cursor != ')') {
                p.error = true;
                return -1;
            }
            p.cursor++;
            p.depth--;
            return inner;
        }
        case '.': p.cursor++; return new_node(p, kAny);
        case '[': {
            p.cursor++;
            int32_t s = new_set(p);
            if (s < 0) return -1;
            bool negated = false;
            if (!parse_class_into(p, s, negated)) {
                if (!p.memory) p.error = true;
                return -1;
            }
            if (negated)
                for (auto& b : p.sets.data[s].bits) b = static_cast<uint8_t>(~b);
            int32_t n = new_node(p, kClass);
            if (n >= 0) p.nodes.data[n].set = static_cast<uint32_t>(s);
            return n;
        }
        case '\\': {
            unsigned char e = static_cast<unsigned char>(p.cursor[1]);
            if (e == 0) {
                p.cursor++;
                int32_t n = new_node(p, kLiteral);
                if (n >= 0) p.nodes.data[n].byte = '\\';
                return n;
            }
            p.cursor += 2;
            unsigned char literal = e;
            if (e == 't')
                literal = '\t';
            else if (e == 'n')
                literal = '\n';
            else if (e == 'r')
                literal = '\r';
            else if (is_builtin_letter(static_cast<char>(e)) ||
                     (e >= 'A' && e <= 'Z' && is_builtin_letter(static_cast<char>(e + 32)))) {
                int32_t s = new_set(p);
                if (s < 0) return -1;
                if (e >= 'a')
                    add_builtin(p.sets.data[s], static_cast<char>(e));
                else
                    add_builtin_complement(p.sets.data[s], static_cast<char>(e + 32));
                int32_t n = new_node(p, kClass);
                if (n >= 0) p.nodes.data[n].set = static_cast<uint32_t>(s);
                return n;
            } else if (is_ascii_alnum(e)) {
                p.error = true;
                return -1;
            }
            int32_t n = new_node(p, kLiteral);
            if (n >= 0) p.nodes.data[n].byte = literal;
            return n;
        }
        default: {
            p.cursor++;
            int32_t n = new_node(p, kLiteral);
            if (n >= 0) p.nodes.data[n].byte = c;
            return n;
        }
    }
}

// One branch: pieces up to NUL, '|' or ')'. An empty branch is an error.
int32_t parse_cat(parser& p) {
    int32_t cat = -1, only = -1;
    int count = 0;
    while (*p.cursor && *p.cursor != '|' && *p.cursor != ')') {
        int32_t atom = parse_atom(p);
        if (atom < 0) return -1;
        int64_t min = 1, max = 1;
        int q = parse_quantifier(p, min, max);
        if (q < 0) {
            p.error = true;
            return -1;
        }
        int32_t piece = atom;
        if (q > 0 && !(min == 1 && max == 1)) {
            piece = new_node(p, kRepeat);
            if (piece < 0) return -1;
            p.nodes.data[piece].min = min;
            p.nodes.data[piece].max = max;
            append_child(p, piece, atom);
        }
        if (count == 0) {
            only = piece;
        } else {
            if (count == 1) {
                cat = new_node(p, kConcat);
                if (cat < 0) return -1;
                append_child(p, cat, only);
            }
            append_child(p, cat, piece);
        }
        count++;
    }
    if (count == 0) {
        p.error = true;
        return -1;
    }
    return count == 1 ? only : cat;
}

int32_t parse_alt(parser& p) {
    int32_t first = parse_cat(p);
    if (first < 0 || *p.cursor != '|') return first;
    int32_t alt = new_node(p, kAlt);
    if (alt < 0) return -1;
    append_child(p, alt, first);
    while (*p.cursor == '|') {
        p.cursor++;
        int32_t branch = parse_cat(p);
        if (branch < 0) return -1;
        append_child(p, alt, branch);
    }
    return alt;
}

// ---- Program -----------------------------------------------------------------------

enum rre_op : uint8_t { kOpByte, kOpSet, kOpAny, kOpSplit, kOpJump, kOpMatch };

struct rre_inst {
    uint8_t op;
    uint8_t byte;
    uint32_t x;  // set index, or first target
    uint32_t y;  // second target of a split
};

}  // namespace

struct rre_program {
    rre_inst* code;
    size_t count;
    rre_set* sets;
    size_t set_count;
};

namespace {

struct compiler {
    const parser* p;
    grow_array<rre_inst> code;
    bool failed;
};

// Instructions node i compiles to, saturating above the cap.
uint64_t program_size(const parser& p, int32_t i, int depth) {
    const rre_node& n = p.nodes.data[i];
    const uint64_t cap = kRreMaxInstructions + 1;
    switch (n.kind) {
        case kLiteral:
        case kClass:
        case kAny: return 1;
        case kConcat:
        case kAlt: {
            uint64_t total = 0;
            for (int32_t c = n.first; c >= 0; c = p.nodes.data[c].next) {
                total += program_size(p, c, depth + 1) + (n.kind == kAlt ? 2 : 0);
                if (total > cap) return cap;
            }
            return total;
        }
        case kRepeat: {
            uint64_t body = program_size(p, n.first, depth + 1);
            uint64_t copies = n.max < 0 ? static_cast<uint64_t>(n.min) + 1 : static_cast<uint64_t>(n.max);
            if (copies == 0) return 0;
            if (body > cap || copies > cap) return cap;
            uint64_t total = copies * (body + 2);
            return total > cap ? cap : total;
        }
        default: return 0;
    }
}

uint32_t emit(compiler& c, uint8_t op, uint8_t byte = 0, uint32_t x = 0, uint32_t y = 0) {
    if (!c.code.push(rre_inst{op, byte, x, y})) c.failed = true;
    return static_cast<uint32_t>(c.code.count ? c.code.count - 1 : 0);
}

void compile_node(compiler& c, int32_t i) {
    if (c.failed) return;
    const rre_node& n = c.p->nodes.data[i];
    switch (n.kind) {
        case kLiteral: emit(c, kOpByte, n.byte); break;
        case kClass: emit(c, kOpSet, 0, n.set); break;
        case kAny: emit(c, kOpAny); break;
        case kConcat:
            for (int32_t k = n.first; k >= 0; k = c.p->nodes.data[k].next) compile_node(c, k);
            break;
        case kAlt: {
            // split L1, next; L1: branch; jump end; next: ... ; the jumps are
            // patched once the end is known.
            grow_array<uint32_t> jumps;
            for (int32_t k = n.first; k >= 0 && !c.failed; k = c.p->nodes.data[k].next) {
                bool last = c.p->nodes.data[k].next < 0;
                uint32_t split = 0;
                if (!last) split = emit(c, kOpSplit);
                compile_node(c, k);
                if (!last) {
                    uint32_t j = emit(c, kOpJump);
                    if (!jumps.push(j)) c.failed = true;
                    if (!c.failed) {
                        c.code.data[split].x = split + 1;
                        c.code.data[split].y = static_cast<uint32_t>(c.code.count);
                    }
                }
            }
            if (!c.failed)
                for (size_t k = 0; k < jumps.count; k++) c.code.data[jumps.data[k]].x = static_cast<uint32_t>(c.code.count);
            jumps.release();
            break;
        }
        case kRepeat: {
            for (int64_t k = 0; k < n.min && !c.failed; k++) compile_node(c, n.first);
            if (n.max < 0) {
                // loop: split body, out; body; jump loop
                uint32_t loop = emit(c, kOpSplit);
                compile_node(c, n.first);
                emit(c, kOpJump, 0, loop);
                if (!c.failed) {
                    c.code.data[loop].x = loop + 1;
                    c.code.data[loop].y = static_cast<uint32_t>(c.code.count);
                }
            } else {
                // up to max - min more copies, each one may be the last
                grow_array<uint32_t> exits;
                for (int64_t k = n.min; k < n.max && !c.failed; k++) {
                    uint32_t split = emit(c, kOpSplit);
                    if (!exits.push(split)) c.failed = true;
                    compile_node(c, n.first);
                }
                if (!c.failed)
                    for (size_t k = 0; k < exits.count; k++) {
                        uint32_t s = exits.data[k];
                        c.code.data[s].x = s + 1;
                        c.code.data[s].y = static_cast<uint32_t>(c.code.count);
                    }
                exits.release();
            }
            break;
        }
        default: break;
    }
}

// A sparse set of instruction indexes (Briggs and Torczon): clear in O(1).
struct state_set {
    uint32_t* dense;
    uint32_t* sparse;
    uint32_t size;

    bool contains(uint32_t pc) const {
        uint32_t k = sparse[pc];
        return k < size && dense[k] == pc;
    }
    void insert(uint32_t pc) {
        sparse[pc] = size;
        dense[size++] = pc;
    }
};

// Adds pc and everything reachable from it without consuming a byte.
void add_closure(const rre_program* prog, state_set& set, uint32_t pc, uint32_t* stack) {
    size_t top = 0;
    stack[top++] = pc;
    while (top) {
        uint32_t at = stack[--top];
        if (set.contains(at)) continue;
        set.insert(at);
        const rre_inst& in = prog->code[at];
        if (in.op == kOpJump) {
            stack[top++] = in.x;
        } else if (in.op == kOpSplit) {
            stack[top++] = in.y;
            stack[top++] = in.x;
        }
    }
}

}  // namespace

rre_program* rre_compile(const char* pattern) {
    if (!pattern) return nullptr;
    parser p{};
    p.cursor = pattern;
    int32_t root = parse_alt(p);
    rre_program* prog = nullptr;
    if (root >= 0 && !p.error && !p.memory && *p.cursor == '\0' &&
        program_size(p, root, 0) <= kRreMaxInstructions) {
        compiler c{&p, {}, false};
        compile_node(c, root);
        emit(c, kOpMatch);
        if (!c.failed) prog = static_cast<rre_program*>(quorvel_work_calloc(sizeof(rre_program)));
        if (prog) {
            prog->code = c.code.data;
            prog->count = c.code.count;
            prog->sets = p.sets.data;
            prog->set_count = p.sets.count;
            p.sets.data = nullptr;
        } else {
            c.code.release();
        }
    }
    p.nodes.release();
    p.sets.release();
    return prog;
}

void rre_free(rre_program* program) {
    if (!program) return;
    quorvel_work_free(program->code);
    quorvel_work_free(program->sets);
    quorvel_work_free(program);
}

int rre_match(const rre_program* prog, const char* value, size_t length) {
    if (!prog || (!value && length)) return 0;
    const size_t n = prog->count;
    // Scratch: two sets (dense and sparse arrays each) and a closure stack
    // of twice the program size (a split pushes two entries).
    constexpr size_t kLocal = 128;
    uint32_t local[kLocal * 6];
    uint32_t* mem = local;
    if (n > kLocal) {
        mem = static_cast<uint32_t*>(quorvel_work_alloc(n * 6 * sizeof(uint32_t)));
        if (!mem) return 0;
    }
    const size_t stride = n > kLocal ? n : kLocal;
    std::memset(mem + stride, 0, stride * sizeof(uint32_t));
    std::memset(mem + 3 * stride, 0, stride * sizeof(uint32_t));
    state_set cur{mem, mem + stride, 0};
    state_set nxt{mem + 2 * stride, mem + 3 * stride, 0};
    uint32_t* stack = mem + 4 * stride;
    add_closure(prog, cur, 0, stack);
    for (size_t i = 0; i < length && cur.size; i++) {
        unsigned char b = static_cast<unsigned char>(value[i]);
        nxt.size = 0;
        if (b != 0) {
            for (uint32_t k = 0; k < cur.size; k++) {
                uint32_t pc = cur.dense[k];
                const rre_inst& in = prog->code[pc];
                bool step = false;
                switch (in.op) {
                    case kOpByte: step = in.byte == b; break;
                    case kOpSet: step = set_has(prog->sets[in.x], b); break;
                    case kOpAny: step = true; break;
                    default: break;
                }
                if (step) add_closure(prog, nxt, pc + 1, stack);
            }
        }
        state_set t = cur;
        cur = nxt;
        nxt = t;
    }
    int matched = 0;
    for (uint32_t k = 0; k < cur.size; k++)
        if (prog->code[cur.dense[k]].op == kOpMatch) matched = 1;
    if (mem != local) quorvel_work_free(mem);
    return matched;
}

int rre_accepts(const char* pattern) {
    rre_program* prog = rre_compile(pattern);
    if (!prog) return 0;
    rre_free(prog);
    return 1;
}

int rng_regex_matches(const char* pattern, const char* value) {
    if (!pattern || !value) return 0;
    rre_program* prog = rre_compile(pattern);
    if (!prog) return 0;
    int r = rre_match(prog, value, std::strlen(value));
    rre_free(prog);
    return r;
}
