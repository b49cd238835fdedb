// General-entity expansion against a DTD, used by entity decoding for text
// and attribute values of documents with a DTD. One rule set drives a
// measuring pass and a copying pass. Expansion is bounded three ways:
// nesting (a chain of at most ten entities is expanded), recursion (a name
// already on the chain fails), and size: the bytes of replacement text
// scanned may not pass dtd_expansion_limit of the text expanded, both
// summed over every expansion against the DTD. That bounds the output,
// catches bombs built on empty entities, and stops many small references
// from adding up. The measuring pass remembers each entity's size per
// nesting depth, so a "billion laughs" subset is refused after a few dozen
// lookups instead of gigabytes of work.
#include <cstdlib>
#include <cstring>

#include "dtd/dtd.h"

// Sizes of one entity's expansion at each chain depth, valid while the
// DTD's entity generation is unchanged.
constexpr size_t kExpandedDepths = 10;  // chains of 0..9 names expand further
struct dtd_entity_memo {
    uint32_t generation[kExpandedDepths];
    size_t length[kExpandedDepths];
    size_t work[kExpandedDepths];
};

namespace {

thread_local dtd_expand_status t_last_status = dtd_expand_status::ok;

inline size_t add_saturating(size_t a, size_t b) { return dtd_add_saturating(a, b); }
inline size_t allowance(const quorvel_dtd* dtd, size_t length, size_t* total) {
    return dtd_expansion_allowance(dtd, length, total);
}

// A reference name ends at ';'; these bytes mean the '&' starts no reference.
inline bool ends_reference_name(unsigned char c) {
    return c == '&' || c == '<' || c == ' ' || (c >= '\t' && c <= '\r');
}

struct expansion {
    quorvel_dtd* dtd;
    dtd_entity_chain* chain;
    char* out;        // NULL while measuring
    size_t capacity;  // bytes out may take (copying pass)
    size_t limit;     // most bytes this expansion may scan
    size_t length = 0;
    size_t work = 0;  // replacement-text bytes scanned so far
    dtd_expand_status status = dtd_expand_status::ok;

    expansion(quorvel_dtd* d, dtd_entity_chain* c, char* o, size_t cap, size_t lim)
        : dtd(d), chain(c), out(o), capacity(cap), limit(lim) {}

    // One pass over the top-level text; the chain is left as it was found.
    // The text itself is not charged: plain text always decodes, whatever
    // earlier expansions used.
    bool run(const char* s, size_t n) {
        size_t base = chain->count;
        bool ok = text(s, n);
        chain->count = base;
        return ok;
    }

    bool fail(dtd_expand_status s) {
        status = s;
        return false;
    }

    bool emit(const char* bytes, size_t n) {
        if (out) {
            // Only a recursive DTD can make the copy outgrow the measure.
            if (n > capacity - length) return fail(dtd_expand_status::recursive_entity);
            std::memcpy(out + length, bytes, n);
        }
        length = add_saturating(length, n);
        return true;
    }

    bool charge(size_t n) {
        work = add_saturating(work, n);
        return work <= limit || fail(dtd_expand_status::too_large);
    }

    bool on_chain(const char* name, size_t n) const {
        for (size_t i = 0; i < chain->count; i++)
            if (std::strncmp(chain->names[i], name, n) == 0 && chain->names[i][n] == '\0') return true;
        return false;
    }

    bool push(const char* name) {
        if (chain->count == chain->capacity) {
            size_t cap = chain->capacity ? chain->capacity * 2 : 16;
            const char** grown;
            if (chain->heap) {
                grown = static_cast<const char**>(std::realloc(chain->names, cap * sizeof *grown));
            } else {
                grown = static_cast<const char**>(std::malloc(cap * sizeof *grown));
                if (grown && chain->count) std::memcpy(grown, chain->names, chain->count * sizeof *grown);
            }
            if (!grown) return fail(dtd_expand_status::no_memory);
            chain->names = grown;
            chain->capacity = cap;
            chain->heap = true;
        }
        chain->names[chain->count++] = name;
        return true;
    }

    bool entity(quorvel_dtd_entity* e);
    bool text(const char* s, size_t n);
};

dtd_entity_memo* memo_of(quorvel_dtd* dtd, quorvel_dtd_entity* e) {
    if (!e->memo) {
        e->memo = static_cast<dtd_entity_memo*>(quorvel_pool_alloc(dtd->pool, sizeof(dtd_entity_memo)));
        if (e->memo) std::memset(e->memo, 0, sizeof *e->memo);
    }
    return e->memo;
}

// Expands one entity's replacement text in place of its reference.
bool expansion::entity(quorvel_dtd_entity* e) {
    size_t depth = chain->count;
    if (depth >= kExpandedDepths) {
        // Nested too deep: the replacement text goes in as written.
        return charge(e->value_length) && emit(e->value, e->value_length);
    }
    dtd_entity_memo* memo = out ? nullptr : memo_of(dtd, e);
    if (memo && memo->generation[depth] == dtd->entity_generation) {
        length = add_saturating(length, memo->length[depth]);
        return charge(memo->work[depth]);
    }
    size_t length_before = length;
    size_t work_before = work;
    if (!charge(e->value_length) || !push(e->name)) return false;
    bool ok = text(e->value, e->value_length);
    chain->count--;
    if (ok && memo) {
        memo->generation[depth] = dtd->entity_generation;
        memo->length[depth] = length - length_before;
        memo->work[depth] = work - work_before;
    }
    return ok;
}

bool expansion::text(const char* s, size_t n) {
    if (n == 0) return true;
    const char* end = s + n;
    const char* last_semicolon = static_cast<const char*>(memrchr(s, ';', n));
    while (s < end) {
        const char* amp = static_cast<const char*>(std::memchr(s, '&', static_cast<size_t>(end - s)));
        const char* stop = amp ? amp : end;
        if (stop > s && !emit(s, static_cast<size_t>(stop - s))) return false;
        if (!amp) return true;
        s = amp;
        if (s + 1 < end && s[1] == '#') {
            uint32_t code_point = 0;
            const char* after = nullptr;
            char_ref_result r = quorvel_char_ref_parse(s + 2, end, &code_point, &after);
            if (r == char_ref_result::complete) {
                char bytes[4];
                if (!emit(bytes, quorvel_utf8_encode(code_point, bytes))) return false;
                s = after;
                continue;
            }
            // With no ';' anywhere after it, the '&' is plain text.
            if (!last_semicolon || last_semicolon < s) {
                if (!emit("&", 1)) return false;
                s++;
                continue;
            }
            return fail(dtd_expand_status::malformed_char_ref);
        }
        const char* name = s + 1;
        const char* q = name;
        while (q < end && *q != ';' && !ends_reference_name(static_cast<unsigned char>(*q))) q++;
        if (q >= end || *q != ';') {
            if (!emit("&", 1)) return false;
            s++;
            continue;
        }
        size_t name_length = static_cast<size_t>(q - name);
        if (on_chain(name, name_length)) return fail(dtd_expand_status::recursive_entity);
        char predefined = quorvel_predefined_entity(name, name_length);
        if (predefined) {
            if (!emit(&predefined, 1)) return false;
            s = q + 1;
            continue;
        }
        quorvel_dtd_entity* e = nullptr;
        // A general entity: parameter entities share the table under '%'.
        if (dtd && name_length && name[0] != '%')
            e = static_cast<quorvel_dtd_entity*>(quorvel_hash_table_get(dtd->entities, name, name_length));
        if (!e || e->is_external || !e->value) {
            if (!emit(s, static_cast<size_t>(q + 1 - s))) return false;
        } else if (!entity(e)) {
            return false;
        }
        s = q + 1;
    }
    return true;
}

void report(const expansion& x, size_t total) {
    t_last_status = x.status;
    if (x.status == dtd_expand_status::too_large)
        quorvel_set_last_errorf("Entity expansion exceeds the limit of %zu bytes", total);
    else if (x.status == dtd_expand_status::recursive_entity)
        quorvel_set_last_error("Recursive entity reference in entity expansion");
}

}  // namespace

void dtd_chain_release(dtd_entity_chain* chain) {
    if (!chain) return;
    if (chain->heap) std::free(chain->names);
    chain->names = nullptr;
    chain->count = chain->capacity = 0;
    chain->heap = false;
}

dtd_expand_status dtd_last_expand_status() { return t_last_status; }


char* dtd_expand_text(quorvel_dtd* dtd, const char* text, size_t length, dtd_entity_chain* chain,
                      quorvel_pool* pool, size_t* out_length) {
    if (out_length) *out_length = 0;
    if (!text) length = 0;
    if (const void* nul = length ? std::memchr(text, '\0', length) : nullptr)
        length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    const char* storage[16];
    dtd_entity_chain own = dtd_chain_on(storage, 16);
    if (!chain) chain = &own;
    size_t total = 0;
    size_t limit = allowance(dtd, length, &total);
    dtd_count_expansion_input(dtd, length);

    expansion measure(dtd, chain, nullptr, 0, limit);
    if (!measure.run(text, length)) {
        report(measure, total);
        dtd_chain_release(&own);
        return nullptr;
    }
    size_t n = measure.length;
    char* out = pool ? static_cast<char*>(quorvel_pool_alloc(pool, n + 1)) : static_cast<char*>(std::malloc(n + 1));
    if (!out) {
        t_last_status = dtd_expand_status::no_memory;
        dtd_chain_release(&own);
        return nullptr;
    }
    expansion copy(dtd, chain, out, n, limit);
    bool ok = copy.run(text, length);
    dtd_chain_release(&own);
    if (!ok || copy.length != n) {
        if (ok) copy.status = dtd_expand_status::recursive_entity;
        report(copy, total);
        if (!pool) std::free(out);
        return nullptr;
    }
    out[n] = '\0';
    if (dtd) dtd->expansion_work = add_saturating(dtd->expansion_work, copy.work);
    t_last_status = dtd_expand_status::ok;
    if (out_length) *out_length = n;
    return out;
}

char* expand_entity_references(quorvel_dtd* dtd, const char* text, dtd_entity_chain* chain, size_t* length) {
    if (length) *length = 0;
    if (!text) return nullptr;
    return dtd_expand_text(dtd, text, std::strlen(text), chain, nullptr, length);
}

size_t calculate_expanded_length(quorvel_dtd* dtd, const char* text, dtd_entity_chain* chain) {
    if (!text || !*text) return 0;
    size_t length = std::strlen(text);
    const char* storage[16];
    dtd_entity_chain own = dtd_chain_on(storage, 16);
    if (!chain) chain = &own;
    size_t total = 0;
    expansion measure(dtd, chain, nullptr, 0, allowance(dtd, length, &total));
    bool ok = measure.run(text, length);
    dtd_chain_release(&own);
    t_last_status = measure.status;
    return ok ? measure.length : 0;
}
