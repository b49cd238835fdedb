// References in texts and attribute values expanded against a DTD in one
// pass, for the document parser.
#include "parser/document_parser.h"

namespace quorvel_dp {

// File-private: the compiler may then specialise and inline them into the
// one entry point, as the hot runs need.
namespace {

// ---- References against a DTD --------------------------------------------------------------
// With a DTD, texts and attribute values holding '&' expand through the DTD
// path: a measuring pass, a copying pass and a pool copy per run. Most runs
// hold only predefined entities, character references and entities whose
// replacement text needs no further expansion; quick_expand expands those in
// one pass into the state's scratch buffer, by the same rules and with the
// same booking against the DTD's expansion allowance. Whatever it does not
// settle (a nested or recursive entity, a character reference the DTD path
// would refuse, the allowance running out) it leaves to the DTD path, which
// then sees the run untouched and decides as it always does.

// A reference name ends at ';'; these bytes mean the '&' starts no reference.
inline bool ends_reference_name(unsigned char c) { return c == '&' || c == '<' || c == ' ' || (c >= '\t' && c <= '\r'); }

// Scratch room for the expansion. No reference expands to more than it is
// written with, except an entity, and an entity expanded here (one level)
// to no more than its replacement text: so the run's length plus each
// entity's value length bounds the output, reserved before writing.
inline char* quick_reserve(dp_state* s, char* out, size_t more) {
    size_t used = static_cast<size_t>(out - s->scratch);
    if (more <= s->scratch_capacity - used) return out;
    size_t want = s->scratch_capacity ? s->scratch_capacity : 256;
    while (want - used < more) {
        if (want > SIZE_MAX / 2) return nullptr;
        want *= 2;
    }
    auto* grown = static_cast<char*>(quorvel_work_realloc(s->scratch, used, want));
    if (!grown) return nullptr;
    s->scratch = grown;
    s->scratch_capacity = want;
    return grown + used;
}

// The first '&' in [p, end), or end.
inline const char* next_amp(const char* p, const char* end) {
    auto* q = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
    return q ? q : end;
}

// Copies a top-level run from p to out up to its first '&' or NUL (or
// end), whose position it answers: each 16-byte block is stored whole and
// then searched, one load and one store per block. Reads and writes up to
// 15 bytes past the stop (padding; scratch room).
inline const char* copy_to_amp(char* out, const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i zero = _mm_setzero_si128();
    const char* from = p;
    for (; p < end; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (p - from)), v);
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, zero));
        if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
            const char* q = p + __builtin_ctz(m);
            return q < end ? q : end;
        }
    }
    return end;
#else
    const char* q = p;
    while (q < end && *q != '&' && *q) q++;
    std::memcpy(out, p, static_cast<size_t>(q - p));
    return q;
#endif
}

// True when entity (the one being expanded, or NULL) is named name[0, n):
// a reference to it is recursive, whatever the name would mean otherwise.
inline bool on_chain(const quorvel_dtd_entity* entity, const char* name, size_t n) {
    return entity && std::strncmp(entity->name, name, n) == 0 && entity->name[n] == '\0';
}

// One level of the DTD path's expansion of [p, end): the run itself (entity
// NULL) or the replacement text of entity, a reference from the run. NULL
// when the DTD path must decide, else the output's new end.
char* quick_level(dp_state* s, char* out, const char* p, const char* end, const quorvel_dtd_entity* entity,
                  size_t* work, bool padded) {
    if (p == end) return out;
    const char* last_semicolon = nullptr;
    bool semicolon_known = false;
    while (p < end) {
        const char* amp;
        if (padded) {
            amp = copy_to_amp(out, p, end);
            out += amp - p;
        } else {
            amp = next_amp(p, end);
            out = static_cast<char*>(std::memcpy(out, p, static_cast<size_t>(amp - p))) + (amp - p);
        }
        if (amp == end) return out;
        // A NUL byte: the DTD path expands only the text before it.
        if (*amp == '\0') return nullptr;
        p = amp;
        const char* r = p + 1;
        size_t left = static_cast<size_t>(end - r);
        // The five predefined entities, written out: the name scan below
        // would end at the same ';' and find the same name.
        if (left >= 4) {
            uint32_t w;
            std::memcpy(&w, r, 4);
            char predefined = 0;
            size_t name_length = 0;
            switch (r[0]) {
                case 'l':  // "lt;"
                case 'g':  // "gt;"
                    if ((w & 0xFFFF00u) == (uint32_t('t') << 8 | uint32_t(';') << 16)) {
                        predefined = r[0] == 'l' ? '<' : '>';
                        name_length = 2;
                    }
                    break;
                case 'a':  // "amp;" "apos;"
                    if (w == (uint32_t('a') | uint32_t('m') << 8 | uint32_t('p') << 16 | uint32_t(';') << 24)) {
                        predefined = '&';
                        name_length = 3;
                    } else if (left >= 5 && r[4] == ';' &&
                               w == (uint32_t('a') | uint32_t('p') << 8 | uint32_t('o') << 16 | uint32_t('s') << 24)) {
                        predefined = '\'';
                        name_length = 4;
                    }
                    break;
                case 'q':  // "quot;"
                    if (left >= 5 && r[4] == ';' &&
                        w == (uint32_t('q') | uint32_t('u') << 8 | uint32_t('o') << 16 | uint32_t('t') << 24)) {
                        predefined = '"';
                        name_length = 4;
                    }
                    break;
                default: break;
            }
            if (predefined && !on_chain(entity, r, name_length)) {
                *out++ = predefined;
                p = r + name_length + 1;
                continue;
            }
        }
        if (left && r[0] == '#') {
            uint32_t cp = 0;
            const char* d = r + 1;
            bool hex = d < end && (*d == 'x' || *d == 'X');
            if (hex) d++;
            const char* digits = d;
            for (; d < end && d - digits < 7; d++) {
                unsigned v;
                unsigned char b = static_cast<unsigned char>(*d);
                if (b >= '0' && b <= '9')
                    v = b - '0';
                else if (hex && (b | 0x20) >= 'a' && (b | 0x20) <= 'f')
                    v = (b | 0x20) - 'a' + 10;
                else
                    break;
                cp = cp * (hex ? 16 : 10) + v;
            }
            if (d > digits && d < end && *d == ';' && quorvel_is_xml_char(cp)) {
                out += quorvel_utf8_encode(cp, out);
                p = d + 1;
                continue;
            }
            // Anything less plain: the shared reader decides.
            const char* after = nullptr;
            if (quorvel_char_ref_parse(r + 1, end, &cp, &after) == char_ref_result::complete) {
                out += quorvel_utf8_encode(cp, out);
                p = after;
                continue;
            }
            // In the run itself it is one no document may hold: the caller's
            // check refuses it. In a replacement text, with no ';' anywhere
            // after it the '&' is plain text; else the reference is
            // malformed and the DTD path refuses the run.
            if (!entity) return nullptr;
            if (!semicolon_known) {
                last_semicolon = static_cast<const char*>(memrchr(p, ';', static_cast<size_t>(end - p)));
                semicolon_known = true;
            }
            if (last_semicolon && last_semicolon >= p) return nullptr;
            *out++ = '&';
            p++;
            continue;
        }
        const char* name = r;
        const char* q = name;
        while (q < end && *q != ';' && *q && !ends_reference_name(static_cast<unsigned char>(*q))) q++;
        if (q < end && *q == '\0') return nullptr;  // the DTD path would stop at it
        if (q >= end || *q != ';') {
            *out++ = '&';
            p++;
            continue;
        }
        size_t name_length = static_cast<size_t>(q - name);
        // The entity being expanded is on the chain: a recursive reference.
        if (on_chain(entity, name, name_length)) return nullptr;
        if (char predefined = quorvel_predefined_entity(name, name_length)) {
            *out++ = predefined;
            p = q + 1;
            continue;
        }
        quorvel_dtd_entity* e = nullptr;
        if (name_length && name[0] != '%')
            e = static_cast<quorvel_dtd_entity*>(quorvel_hash_table_get(s->dtd->entities, name, name_length));
        if (!e || e->is_external || !e->value) {
            std::memcpy(out, p, static_cast<size_t>(q + 1 - p));
            out += q + 1 - p;
        } else {
            // Only one level here: an entity inside a replacement text is
            // the DTD path's (its nesting, recursion and memo rules).
            if (entity) return nullptr;
            *work += e->value_length;
            uint64_t word = 0;
            std::memcpy(&word, name, name_length < 8 ? name_length : 8);
            quick_entity& slot = s->quick_cache[quick_slot(word, name_length)];
            if (slot.entity == e) {
                if (!(out = quick_reserve(s, out, slot.length + static_cast<size_t>(end - q) + 16))) return nullptr;
                out = static_cast<char*>(std::memcpy(out, slot.text, slot.length)) + slot.length;
            } else {
                if (!(out = quick_reserve(s, out, e->value_length + static_cast<size_t>(end - q) + 16))) return nullptr;
                char* from = out;
                if (!(out = quick_level(s, out, e->value, e->value + e->value_length, e, work, false))) return nullptr;
                size_t n = static_cast<size_t>(out - from);
                // 16 spare bytes: quick_top copies whole blocks.
                if (char* kept = static_cast<char*>(quorvel_pool_alloc(s->pool, n + 16))) {
                    std::memcpy(kept, from, n);
                    slot = quick_entity{e, kept, n, word, name_length};
                }
            }
        }
        p = q + 1;
    }
    return out;
}

// Bytes below 64 that end a reference name: NUL, TAB-CR, space, '&', ';', '<'.
constexpr uint64_t kNameStops = 1ull | (0x1Full << '\t') | (1ull << ' ') | (1ull << '&') | (1ull << ';') | (1ull << '<');
inline bool name_stop(unsigned char c) { return c < 64 && ((kNameStops >> c) & 1); }

// Copies n bytes in 16-byte blocks, at least one: both sides have room for
// the last block.
inline void copy_blocks(char* out, const char* from, size_t n) {
    std::memcpy(out, from, 16);
    if (n > 16) [[unlikely]]
        for (size_t i = 16; i < n; i += 16) std::memcpy(out + i, from + i, 16);
}

// One bit per '&' or NUL byte of the 64 bytes at p.
inline uint64_t stops64(const char* p) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i zero = _mm_setzero_si128();
    auto bits = [&](const char* at) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return uint64_t(static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, zero)))));
    };
    return bits(p) | bits(p + 16) << 16 | bits(p + 32) << 32 | bits(p + 48) << 48;
#else
    uint64_t m = 0;
    for (unsigned i = 0; i < 64; i++)
        if (p[i] == '&' || p[i] == '\0') m |= uint64_t(1) << i;
    return m;
#endif
}

// quick_level for a top-level run of the working copy, out in the scratch
// buffer with room for the rest of the run and 16 bytes: the same result,
// with the common references (predefined and character references through
// the shared decoder, entities met before) taken on a short path and the
// rest left to quick_level from the reference on.
//
// The '&' and NUL bytes of 64 bytes at a time are bits of one word, and no
// reference taken here holds another '&': the next stop is the next bit,
// found without waiting on the reference just read.
char* quick_top(dp_state* s, char* out, const char* p, const char* end, size_t* work) {
    // The stops of the window at base, none at or past the end.
    auto window = [end](const char* base) {
        uint64_t m = stops64(base);
        size_t left = static_cast<size_t>(end - base);
        return left < 64 ? m & ((uint64_t(1) << left) - 1) : m;
    };
    const char* base = p;
    uint64_t m = window(base);
    for (;;) {
        if (!m) {
            // No stop left in the window: its rest is plain.
            const char* next = base + 64;
            if (next >= end) {
                copy_blocks(out, p, static_cast<size_t>(end - p));
                return out + (end - p);
            }
            if (p < next) {
                copy_blocks(out, p, static_cast<size_t>(next - p));
                out += next - p;
                p = next;
            }
            base = p;
            m = window(base);
            continue;
        }
        const char* amp = base + static_cast<size_t>(__builtin_ctzll(m));
        m &= m - 1;
        size_t span = static_cast<size_t>(amp - p);
        copy_blocks(out, p, span);
        out += span;
        p = amp;
        // The predefined entities and character references: the decoder
        // every parser shares (a NUL stop is read as no reference). Out has
        // room for the rest of the run.
        size_t written, used;
        switch (dp_read_reference<true>(p, end, out, &written, &used)) {
            case dp_reference::decoded:
                out += written;
                p += used;
                continue;
            case dp_reference::cut_off:
            case dp_reference::malformed:
                // Anything less plain: quick_level decides from here on.
                return quick_level(s, out, p, end, nullptr, work, true);
            case dp_reference::other: break;
        }
        if (*p == '\0') return nullptr;  // the DTD path expands only the text before it
        const char* r = p + 1;
        const char* q = r;
        while (q < end && !name_stop(static_cast<unsigned char>(*q))) q++;
        if (q >= end || *q != ';') {
            if (q < end && *q == '\0') return nullptr;  // the DTD path would stop at it
            *out++ = '&';
            p++;
            continue;
        }
        // Not predefined (matched above): an entity, or kept as written.
        size_t n = static_cast<size_t>(q - r);
        if (n && r[0] != '%') {
            uint64_t word;
            std::memcpy(&word, r, 8);
            word &= byte_mask(n);
            quick_entity& slot = s->quick_cache[quick_slot(word, n)];
            auto* e = static_cast<const quorvel_dtd_entity*>(slot.entity);
            if (!(e && slot.name_word == word && slot.name_length == n &&
                  (n <= 8 || std::memcmp(e->name + 8, r + 8, n - 8) == 0))) {
                auto* found = static_cast<quorvel_dtd_entity*>(quorvel_hash_table_get(s->dtd->entities, r, n));
                e = found && !found->is_external && found->value ? found : nullptr;
                if (e && slot.entity != e) {
                    // First met (or its slot was taken): quick_level expands
                    // and keeps it.
                    return quick_level(s, out, p, end, nullptr, work, true);
                }
            }
            if (e) {
                *work += e->value_length;
                if (!(out = quick_reserve(s, out, slot.length + static_cast<size_t>(end - q) + 16))) return nullptr;
                copy_blocks(out, slot.text, slot.length);
                out += slot.length;
                p = q + 1;
                continue;
            }
        }
        std::memcpy(out, p, static_cast<size_t>(q + 1 - p));
        out += q + 1 - p;
        p = q + 1;
    }
}

}  // namespace

// Expands [text, text + length) as quorvel_decode_entities_view_with_dtd
// would, books it against the DTD and answers the result (NUL-terminated)
// with its length: into `run` when it fits there (run holds the text and
// room bytes; in_place: the byte at `room` ends the run already and is left
// alone when the result fills the run), else into a new pool block. padded:
// the text lies in the working copy. NULL when the DTD path is to expand
// the text: then nothing has been booked or written.
char* quick_expand(dp_state* s, const char* text, size_t length, bool padded, char* run, size_t room, bool in_place,
                   size_t* out_length) {
    // The DTD path stops at a NUL byte: such runs are declined (a padded
    // run finds its NUL while scanning).
    if (length == 0 || (!padded && std::memchr(text, '\0', length))) return nullptr;
    char* out = quick_reserve(s, s->scratch, length + 16);
    size_t work = 0;
    if (!out) return nullptr;
    out = padded ? quick_top(s, out, text, text + length, &work) : quick_level(s, out, text, text + length, nullptr, &work, false);
    if (!out) return nullptr;
    size_t n = static_cast<size_t>(out - s->scratch);
    char* into = run && n <= room ? run : static_cast<char*>(quorvel_pool_alloc(s->pool, n + 1));
    if (!into) return nullptr;
    if (work) {
        if (!dtd_account_expansion(s->dtd, length, work)) return nullptr;
    } else {
        // Nothing scanned: within any allowance.
        dtd_count_expansion_input(s->dtd, length);
    }
    std::memcpy(into, s->scratch, n);
    if (!(in_place && into == run && n == room)) into[n] = '\0';
    *out_length = n;
    return into;
}

}  // namespace quorvel_dp
