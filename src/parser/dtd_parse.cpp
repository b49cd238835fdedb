// The lenient DTD declaration parser: entity, element, attribute-list and
// notation declarations, comments, conditional sections and parameter-entity
// references, with a caller's loader for external parameter entities.
// Called for stand-alone DTDs, external subsets and the document parser's
// internal subsets. Nothing here recurses on input: nested INCLUDE sections
// and re-parsed substitution texts are frames on an explicit stack, and all
// text produced by parameter-entity substitution is counted against the
// DTD's expansion allowance (dtd_expansion_limit, shared with general-entity
// expansion), so hostile input ends in has_error, never in a stack overflow
// or unbounded memory. Before a declaration is substituted, the size it
// would reach is measured from sizes remembered per entity and level, so a
// nest of references that would pass the allowance is refused before any of
// it is built: the work stays linear in the text actually made.
#include <cstdlib>
#include <cstring>

#include "core/small_stack.h"
#include "parser/parser.h"

namespace {

// Parameter-entity references are followed down to this level; deeper ones
// stay as written (top level) or unreplaced (inside declarations).
constexpr int kMaxPeLevel = 15;
constexpr size_t kMaxPeName = 127;

}  // namespace

// Sizes of one parameter entity's replacement text once substituted from a
// level on, valid while the DTD's entity generation is unchanged; and where
// the substitution being made holds that text already, valid for the
// substitution whose number is in made_in.
struct dtd_pe_memo {
    uint32_t generation[kMaxPeLevel + 2];
    size_t size[kMaxPeLevel + 2];
    uint32_t made_in[kMaxPeLevel + 2];
    size_t made_at[kMaxPeLevel + 2];
};

namespace {

char kCdataType[] = "CDATA";

// White space as isspace sees it in the POSIX locale.
inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ASCII letters and digits, '-', '.', ':', '_' and every byte from 0x80.
inline bool is_name_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_' || c >= 0x80;
}

// A name a start tag could carry: it starts with a letter, '_' or a byte
// from 0x80, and a colon in it leaves neither side empty. Declarations for
// anything else are dropped: their defaults would put attributes in the tree
// that no writer can put out as XML.
inline bool is_attribute_name(const char* name) {
    unsigned char c = static_cast<unsigned char>(name[0]);
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80)) return false;
    size_t n = std::strlen(name);
    return name[n - 1] != ':';
}

inline const char* skip_space(const char* p, const char* end) {
    while (p < end && is_space(static_cast<unsigned char>(*p))) p++;
    return p;
}

inline bool starts_with(const char* p, const char* end, const char* word, size_t n) {
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}
#define STARTS_WITH(p, end, literal) starts_with(p, end, literal, sizeof(literal) - 1)

inline const char* find_byte(const char* p, const char* end, char c) {
    return p < end ? static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p))) : nullptr;
}

inline const char* find_text(const char* p, const char* end, const char* needle, size_t n) {
    if (p >= end) return nullptr;
    return static_cast<const char*>(memmem(p, static_cast<size_t>(end - p), needle, n));
}

// The "]]>" that closes the conditional section whose content starts at p:
// every "<![" opens one more level, every "]]>" closes one.
const char* section_end(const char* p, const char* end) {
    int depth = 1;
    while (end - p >= 3) {
        if (p[0] == '<' && p[1] == '!' && p[2] == '[') {
            depth++;
            p += 3;
        } else if (p[0] == ']' && p[1] == ']' && p[2] == '>') {
            if (--depth == 0) return p;
            p += 3;
        } else {
            p++;
        }
    }
    return nullptr;
}

// A run of text being parsed: the document's subset, an INCLUDE section's
// content, or a text made by parameter-entity substitution.
struct parse_frame {
    const char* cursor;
    const char* end;
    int level;
    bool include;  // an INCLUDE section: counted in include_depth
};

// Text under construction: a substitution result, made straight into a
// pool block of its measured size (fixed), or on the heap before its pool
// copy when a loader's texts make the size unknown.
struct grow_text {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool fixed = false;  // data is the pool's: never grown or freed here
    grow_text() = default;
    grow_text(const grow_text&) = delete;
    grow_text& operator=(const grow_text&) = delete;
    ~grow_text() {
        if (!fixed) std::free(data);
    }
};

struct parse_context {
    quorvel_dtd* dtd;
    quorvel_pool* pool;
    const char* origin;      // the text handed to the parse
    const char* origin_end;
    size_t budget;  // bytes of substituted text this parse may still make
    size_t limit;   // the DTD's whole allowance, for the message
    size_t made = 0;  // bytes of substituted text made, booked on the DTD at the end
    uint32_t substitution = 0;  // the one being made (quorvel_dtd::pe_substitutions)
    int include_depth = 0;
    dtd_parse_outcome outcome = dtd_parse_outcome::clean;
    // The construct of the original text being parsed (substituted texts
    // live in the pool), and where the first refusal was met.
    const char* anchor = nullptr;
    const char* refused_at = nullptr;

    bool stopped() const {
        return outcome == dtd_parse_outcome::too_large || outcome == dtd_parse_outcome::too_deep;
    }
    void malformed() { dtd->has_error = 1; }
    void too_large() {
        dtd->has_error = 1;
        outcome = dtd_parse_outcome::too_large;
        if (!refused_at) refused_at = anchor;
        quorvel_set_last_errorf("DTD parameter-entity expansion exceeds the limit of %zu bytes", limit);
    }
    // A literal of a declaration (entity value, attribute default) at
    // [p, p + n) of the frame: false, with the refusal noted, when it holds
    // a malformed character reference.
    bool references_sound(const char* p, size_t n) {
        const char* bad = dp_first_bad_char_ref(p, p + n);
        if (!bad) return true;
        dtd->has_error = 1;
        if (outcome == dtd_parse_outcome::clean || outcome == dtd_parse_outcome::malformed) {
            outcome = dtd_parse_outcome::bad_char_ref;
            refused_at = bad >= origin && bad < origin_end ? bad : anchor;
            quorvel_set_last_error("Malformed character reference in DTD");
        }
        return false;
    }
    void too_deep() {
        dtd->has_error = 1;
        outcome = dtd_parse_outcome::too_deep;
        quorvel_set_last_errorf("DTD conditional sections nested more than %d deep", kDtdMaxIncludeNesting);
    }

    // Appends to a substitution text, within the budget. False when the
    // budget or memory ran out (the outcome says which).
    bool append(grow_text& text, const char* bytes, size_t n) {
        if (!reserve(text, n)) return false;
        if (n) std::memcpy(text.data + text.length, bytes, n);
        text.length += n;
        return true;
    }
    // Room for n more bytes (and a NUL) in a substitution text, within the
    // budget. False when the budget or memory ran out (the outcome says
    // which).
    bool reserve(grow_text& text, size_t n) {
        if (n > budget || text.length > budget - n) {
            too_large();
            return false;
        }
        if (text.length + n + 1 > text.capacity) {
            if (text.fixed) {
                // Only a measure that missed something could get here.
                malformed();
                return false;
            }
            size_t cap = text.capacity ? text.capacity : 256;
            while (cap < text.length + n + 1) cap *= 2;
            void* grown = std::realloc(text.data, cap);
            if (!grown) {
                malformed();
                return false;
            }
            text.data = static_cast<char*>(grown);
            text.capacity = cap;
        }
        return true;
    }

    // A pool copy of a finished substitution text, charged to the budget.
    char* keep(const char* bytes, size_t n) {
        if (n > budget) {
            too_large();
            return nullptr;
        }
        char* copy = quorvel_pool_strndup(pool, bytes, n);
        if (!copy) {
            malformed();
            return nullptr;
        }
        budget -= n;
        made += n;
        return copy;
    }

    char* copy(const char* p, size_t n) {
        char* s = quorvel_pool_strndup(pool, p, n);
        if (!s) malformed();
        return s;
    }

    // A name (leading white space skipped) copied into the pool; *out NULL
    // when there is none. Returns the position after it.
    const char* name(const char* p, const char* end, char** out) {
        p = skip_space(p, end);
        const char* start = p;
        while (p < end && is_name_byte(static_cast<unsigned char>(*p))) p++;
        *out = p > start ? copy(start, static_cast<size_t>(p - start)) : nullptr;
        return p;
    }

    // A quoted string (leading white space skipped), running to the same
    // quote or to the end of the text; *out NULL when no quote comes first.
    // With sound given, a string holding a malformed character reference is
    // refused (references_sound): *out stays NULL and *sound becomes false.
    const char* quoted(const char* p, const char* end, char** out, bool* sound = nullptr) {
        const char* q = skip_space(p, end);
        *out = nullptr;
        if (q >= end || (*q != '"' && *q != '\'')) return p;
        char quote = *q++;
        const char* close = find_byte(q, end, quote);
        const char* stop = close ? close : end;
        if (!sound || (*sound = references_sound(q, static_cast<size_t>(stop - q))))
            *out = copy(q, static_cast<size_t>(stop - q));
        return close ? close + 1 : end;
    }

    quorvel_dtd_entity* parameter_entity(const char* name, size_t n) {
        char key[kMaxPeName + 2];
        key[0] = '%';
        std::memcpy(key + 1, name, n);
        return static_cast<quorvel_dtd_entity*>(quorvel_hash_table_get(dtd->entities, key, n + 1));
    }

    size_t substituted_size(const char* text, size_t length, int level, bool* replaces = nullptr);
    size_t entity_size(quorvel_dtd_entity* entity, int level);
    char* substitute(const char* text, size_t length, int level, size_t* out_length);
    bool substitute_into(grow_text& out, const char* text, size_t length, int level, bool* replaced);
};

// The length of a parameter-entity reference at text[i] ('%') that
// substitution at level replaces: 0 when it is none (then only the '%' is
// passed over). *name_length receives the name's length.
inline size_t reference_end(const char* text, size_t length, size_t i, size_t* name_length) {
    size_t q = i + 1;
    while (q < length && text[q] != ';' && text[q] != '%' && !is_space(static_cast<unsigned char>(text[q]))) q++;
    *name_length = q - (i + 1);
    return q < length && text[q] == ';' && *name_length >= 1 && *name_length <= kMaxPeName ? q + 1 : 0;
}

// The size text[0, length) reaches when its references are substituted at
// level and those of the replacement texts in turn one level deeper, as
// substitute_into makes it (internal entities only: what a loader would
// give is not known before it is asked). Saturates. *replaces, when given,
// becomes true when substitution would replace anything.
size_t parse_context::substituted_size(const char* text, size_t length, int level, bool* replaces) {
    size_t size = 0;
    size_t i = 0;
    while (i < length) {
        const char* pct = static_cast<const char*>(std::memchr(text + i, '%', length - i));
        if (!pct) return dtd_add_saturating(size, length - i);
        size = dtd_add_saturating(size, static_cast<size_t>(pct - (text + i)));
        i = static_cast<size_t>(pct - text);
        size_t name_length = 0;
        size_t after = level <= kMaxPeLevel ? reference_end(text, length, i, &name_length) : 0;
        quorvel_dtd_entity* entity = after ? parameter_entity(text + i + 1, name_length) : nullptr;
        if (entity && !entity->is_external && entity->value) {
            size = dtd_add_saturating(size, dtd_add_saturating(2, entity_size(entity, level + 1)));
            if (replaces) *replaces = true;
            i = after;
        } else {
            if (replaces && entity && entity->is_external && entity->system_id && dtd->pe_loader) *replaces = true;
            size = dtd_add_saturating(size, 1);
            i++;
        }
    }
    return size;
}

// Remembered per entity and level: every level is measured once, so a nest
// of references costs a few scans of each replacement text, whatever size
// it stands for. The recursion goes one level deeper per call and stops
// below kMaxPeLevel + 1, where references are no longer replaced.
size_t parse_context::entity_size(quorvel_dtd_entity* entity, int level) {
    if (!entity->pe_memo) {
        entity->pe_memo = static_cast<dtd_pe_memo*>(quorvel_pool_alloc(pool, sizeof(dtd_pe_memo)));
        if (!entity->pe_memo) return SIZE_MAX;  // unmeasured without memory: refused as too large
        std::memset(entity->pe_memo, 0, sizeof *entity->pe_memo);
    }
    dtd_pe_memo* memo = entity->pe_memo;
    if (memo->generation[level] == dtd->entity_generation) return memo->size[level];
    size_t size = substituted_size(entity->value, entity->value_length, level);
    memo->generation[level] = dtd->entity_generation;
    memo->size[level] = size;
    return size;
}

void release_loaded(char* block) {
    if (quorvel_dealloc_function release = g_quorvel_dealloc_function)
        release(block);
    else
        std::free(block);
}

// Replaces the parameter-entity references of one declaration, and those
// of each replacement text in turn one level deeper, in one pass: every
// byte of the result is made once. A replacement counts as if a space
// stood on either side ("<!ELEMENT%e;" declares e's name); an external
// entity's loaded text (through the loader) is substituted one level
// deeper. Returns a pool text, or NULL when nothing was replaced or when
// the parse has to stop.
char* parse_context::substitute(const char* text, size_t length, int level, size_t* out_length) {
    if (level > kMaxPeLevel || !std::memchr(text, '%', length)) return nullptr;
    // The size of the result: refused now when that passes the allowance,
    // before any of it is made; and nothing is made when nothing would be
    // replaced.
    bool replaces = false;
    size_t size = substituted_size(text, length, level, &replaces);
    if (size > budget) {
        too_large();
        return nullptr;
    }
    if (!replaces) return nullptr;
    grow_text out;
    if (!dtd->pe_loader) {
        // Internal entities only: the measure is the size, made once in place.
        out.data = static_cast<char*>(quorvel_pool_alloc(pool, size + 1));
        if (!out.data) {
            malformed();
            return nullptr;
        }
        out.capacity = size + 1;
        out.fixed = true;
    }
    bool replaced = false;
    substitution = ++dtd->pe_substitutions;
    if (!substitute_into(out, text, length, level, &replaced) || !replaced) return nullptr;
    *out_length = out.length;
    if (!out.fixed) return keep(out.data, out.length);
    out.data[out.length] = '\0';
    budget -= out.length;
    made += out.length;
    return out.data;
}

bool parse_context::substitute_into(grow_text& out, const char* text, size_t length, int level, bool* replaced) {
    size_t i = 0;
    while (i < length) {
        const char* pct = static_cast<const char*>(std::memchr(text + i, '%', length - i));
        size_t literal = pct ? static_cast<size_t>(pct - (text + i)) : length - i;
        if (!append(out, text + i, literal)) return false;
        i += literal;
        if (!pct) break;
        size_t name_length = 0;
        size_t after = level <= kMaxPeLevel ? reference_end(text, length, i, &name_length) : 0;
        quorvel_dtd_entity* entity = after ? parameter_entity(text + i + 1, name_length) : nullptr;
        if (entity && !entity->is_external && entity->value) {
            if (!append(out, " ", 1)) return false;
            // Without a loader an entity makes the same text wherever it
            // stands at one level: each later time it is copied from the
            // first, so a nest of references costs what it makes.
            dtd_pe_memo* memo = dtd->pe_loader ? nullptr : entity->pe_memo;
            size_t at = out.length;
            if (memo && memo->made_in[level + 1] == substitution &&
                memo->generation[level + 1] == dtd->entity_generation) {
                size_t n = memo->size[level + 1];
                if (!reserve(out, n)) return false;
                std::memcpy(out.data + out.length, out.data + memo->made_at[level + 1], n);
                out.length += n;
            } else {
                if (!substitute_into(out, entity->value, entity->value_length, level + 1, replaced)) return false;
                if (memo && out.length - at == memo->size[level + 1] &&
                    memo->generation[level + 1] == dtd->entity_generation) {
                    memo->made_in[level + 1] = substitution;
                    memo->made_at[level + 1] = at;
                }
            }
            if (!append(out, " ", 1)) return false;
            *replaced = true;
            i = after;
            continue;
        }
        if (entity && entity->is_external && entity->system_id && dtd->pe_loader) {
            size_t loaded_length = 0;
            if (char* loaded = dtd->pe_loader(dtd->pe_loader_data, entity->system_id, &loaded_length)) {
                // Measured only as it is made: what a loader gives is not
                // known before.
                bool ok = substitute_into(out, loaded, loaded_length, level + 1, replaced);
                release_loaded(loaded);
                if (!ok) return false;
                *replaced = true;
                i = after;
                continue;
            }
        }
        if (!append(out, "%", 1)) return false;
        i++;
    }
    return true;
}

enum class step { next, stop, push, replace };

// Skips to just past the next '>' (the frame stops when there is none).
step skip_declaration(parse_frame& f, const char* p) {
    const char* gt = find_byte(p, f.end, '>');
    if (!gt) return step::stop;
    f.cursor = gt + 1;
    return step::next;
}

// '%' between declarations: the replacement text followed by the rest of
// the frame is parsed one level deeper, in place of the frame.
step parameter_reference(parse_context& ctx, parse_frame& f, const char* p, parse_frame* child) {
    const char* q = p + 1;
    while (q < f.end && *q != ';' && !is_space(static_cast<unsigned char>(*q))) q++;
    size_t name_length = static_cast<size_t>(q - (p + 1));
    if (q < f.end && *q == ';' && name_length >= 1 && name_length <= kMaxPeName && f.level <= kMaxPeLevel) {
        quorvel_dtd_entity* entity = ctx.parameter_entity(p + 1, name_length);
        if (entity && !entity->is_external && entity->value) {
            size_t rest = static_cast<size_t>(f.end - (q + 1));
            size_t n = entity->value_length + rest;
            if (n > ctx.budget) {
                ctx.too_large();
                return step::stop;
            }
            auto* text = static_cast<char*>(quorvel_pool_alloc(ctx.pool, n + 1));
            if (text) {
                std::memcpy(text, entity->value, entity->value_length);
                std::memcpy(text + entity->value_length, q + 1, rest);
                text[n] = '\0';
                ctx.budget -= n;
                ctx.made += n;
                *child = parse_frame{text, text + n, f.level + 1, f.include};
                return step::replace;
            }
            ctx.malformed();
        }
    }
    const char* semicolon = find_byte(p, f.end, ';');
    if (!semicolon) return step::stop;
    f.cursor = semicolon + 1;
    return step::next;
}

step entity_declaration(parse_context& ctx, parse_frame& f, const char* p) {
    const char* q = skip_space(p + 8, f.end);
    bool parameter = q < f.end && *q == '%';
    if (parameter) q++;
    q = skip_space(q, f.end);
    const char* name = q;
    while (q < f.end && is_name_byte(static_cast<unsigned char>(*q))) q++;
    size_t name_length = static_cast<size_t>(q - name);
    if (name_length == 0) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    size_t key_length = name_length + (parameter ? 1 : 0);
    auto* entity = static_cast<quorvel_dtd_entity*>(quorvel_pool_alloc(ctx.pool, sizeof(quorvel_dtd_entity) + key_length + 1));
    if (!entity) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    std::memset(entity, 0, sizeof *entity);
    char* key = reinterpret_cast<char*>(entity + 1);
    if (parameter) key[0] = '%';
    std::memcpy(key + (parameter ? 1 : 0), name, name_length);
    key[key_length] = '\0';
    entity->name = key;

    q = skip_space(q, f.end);
    if (STARTS_WITH(q, f.end, "SYSTEM")) {
        entity->is_external = 1;
        q = ctx.quoted(q + 6, f.end, &entity->system_id);
    } else if (STARTS_WITH(q, f.end, "PUBLIC")) {
        entity->is_external = 1;
        q = ctx.quoted(q + 6, f.end, &entity->public_id);
        q = ctx.quoted(q, f.end, &entity->system_id);
    } else {
        bool sound = true;
        q = ctx.quoted(q, f.end, &entity->value, &sound);
        // A value with a malformed character reference: the declaration is
        // dropped, not kept without its value.
        if (!sound) return skip_declaration(f, q);
        if (entity->value) entity->value_length = std::strlen(entity->value);
    }
    q = skip_space(q, f.end);
    if (STARTS_WITH(q, f.end, "NDATA")) q = ctx.name(q + 5, f.end, &entity->notation);
    const char* gt = find_byte(q, f.end, '>');
    if (!gt) {
        ctx.malformed();
        return step::stop;
    }
    dtd_add_entity(ctx.dtd, entity);
    f.cursor = gt + 1;
    return step::next;
}

step element_declaration(parse_context& ctx, parse_frame& f, const char* p) {
    char* name = nullptr;
    const char* q = ctx.name(p + 9, f.end, &name);
    if (!name) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    auto* decl = static_cast<quorvel_dtd_element_decl*>(quorvel_pool_alloc(ctx.pool, sizeof(quorvel_dtd_element_decl)));
    if (!decl) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    decl->name = name;
    decl->content_kind = kContentAny;
    decl->content_model = nullptr;
    q = skip_space(q, f.end);
    if (STARTS_WITH(q, f.end, "EMPTY")) {
        decl->content_kind = kContentEmpty;
        q += 5;
    } else if (STARTS_WITH(q, f.end, "ANY")) {
        q += 3;
    } else if (q < f.end && *q == '(') {
        // The model closes before the '>' that ends the declaration: a scan
        // that could run on past it would make every unclosed model of a
        // text read the rest of the text.
        const char* gt = find_byte(q, f.end, '>');
        const char* limit = gt ? gt : f.end;
        int depth = 0;
        const char* close = nullptr;
        for (const char* r = q; r < limit; r++) {
            if (*r == '(') {
                depth++;
            } else if (*r == ')' && --depth == 0) {
                close = r;
                break;
            }
        }
        if (close) {
            const char* model_end = close + 1;
            if (model_end < f.end && (*model_end == '?' || *model_end == '*' || *model_end == '+')) model_end++;
            size_t n = static_cast<size_t>(model_end - q);
            decl->content_model = ctx.copy(q, n);
            decl->content_kind = find_text(q, model_end, "#PCDATA", 7) ? kContentMixed : kContentElements;
            q = model_end;
        } else {
            ctx.malformed();
        }
    }
    const char* gt = find_byte(q, f.end, '>');
    if (!gt) {
        ctx.malformed();
        return step::stop;
    }
    dtd_add_element(ctx.dtd, decl);
    f.cursor = gt + 1;
    return step::next;
}

step attlist_declaration(parse_context& ctx, parse_frame& f, const char* p) {
    char* element = nullptr;
    const char* q = ctx.name(p + 9, f.end, &element);
    if (!element) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    for (;;) {
        q = skip_space(q, f.end);
        if (q >= f.end) {
            f.cursor = f.end;
            return step::next;
        }
        if (*q == '>') {
            f.cursor = q + 1;
            return step::next;
        }
        char* attribute = nullptr;
        q = ctx.name(q, f.end, &attribute);
        if (!attribute) {
            // Not an attribute: the rest of the declaration is skipped.
            // (Read from here as a construct of its own, a run of
            // "<!ATTLIST" openings would each search the text for the one
            // '>' at its end.)
            return skip_declaration(f, q);
        }
        char* type = kCdataType;
        int kind = kDefaultImplied;
        char* value = nullptr;
        q = skip_space(q, f.end);
        if (q < f.end && *q == '(') {
            const char* close = find_byte(q + 1, f.end, ')');
            const char* stop = close ? close : f.end;
            type = ctx.copy(q + 1, static_cast<size_t>(stop - (q + 1)));
            q = close ? close + 1 : f.end;
        } else {
            const char* word = q;
            while (q < f.end && !is_space(static_cast<unsigned char>(*q)) && *q != '>' && *q != '#') q++;
            if (q > word) type = ctx.copy(word, static_cast<size_t>(q - word));
            // A NOTATION type carries its list of notations: step over it,
            // or it would end the attribute list early.
            if (type && std::strcmp(type, "NOTATION") == 0) {
                const char* r = skip_space(q, f.end);
                if (r < f.end && *r == '(') {
                    const char* close = find_byte(r + 1, f.end, ')');
                    q = close ? close + 1 : f.end;
                }
            }
        }
        q = skip_space(q, f.end);
        bool sound = true;
        if (q < f.end && (*q == '"' || *q == '\'')) {
            kind = kDefaultLiteral;
            q = ctx.quoted(q, f.end, &value, &sound);
        } else if (q < f.end && *q == '#') {
            const char* word = skip_space(q + 1, f.end);
            const char* r = word;
            while (r < f.end && is_name_byte(static_cast<unsigned char>(*r))) r++;
            size_t n = static_cast<size_t>(r - word);
            if (n == 8 && std::memcmp(word, "REQUIRED", 8) == 0) {
                kind = kDefaultRequired;
            } else if (n == 5 && std::memcmp(word, "FIXED", 5) == 0) {
                kind = kDefaultFixed;
                r = ctx.quoted(r, f.end, &value, &sound);
            }
            q = n ? r : q + 1;
        }
        if (!type || !sound) continue;  // out of memory or a malformed default: this attribute is dropped
        if (!is_attribute_name(attribute)) {
            ctx.malformed();
            continue;
        }
        auto* decl = static_cast<quorvel_dtd_attribute_decl*>(
            quorvel_pool_alloc(ctx.pool, sizeof(quorvel_dtd_attribute_decl)));
        if (!decl) continue;
        decl->element_name = element;
        decl->attribute_name = attribute;
        decl->type = type;
        decl->default_kind = kind;
        decl->default_value = value;
        dtd_add_attribute(ctx.dtd, decl);
    }
}

step notation_declaration(parse_context& ctx, parse_frame& f, const char* p) {
    const char* q = skip_space(p + 10, f.end);
    const char* name = q;
    while (q < f.end && is_name_byte(static_cast<unsigned char>(*q))) q++;
    size_t name_length = static_cast<size_t>(q - name);
    if (name_length == 0) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    auto* notation = static_cast<quorvel_dtd_notation*>(
        quorvel_pool_alloc(ctx.pool, sizeof(quorvel_dtd_notation) + name_length + 1));
    if (!notation) {
        ctx.malformed();
        return skip_declaration(f, q);
    }
    char* stored = reinterpret_cast<char*>(notation + 1);
    std::memcpy(stored, name, name_length);
    stored[name_length] = '\0';
    notation->name = stored;
    notation->public_id = notation->system_id = nullptr;
    q = skip_space(q, f.end);
    if (STARTS_WITH(q, f.end, "SYSTEM")) {
        q = ctx.quoted(q + 6, f.end, &notation->system_id);
    } else if (STARTS_WITH(q, f.end, "PUBLIC")) {
        q = ctx.quoted(q + 6, f.end, &notation->public_id);
        q = ctx.quoted(q, f.end, &notation->system_id);
    }
    const char* gt = find_byte(q, f.end, '>');
    if (!gt) {
        ctx.malformed();
        return step::stop;
    }
    dtd_add_notation(ctx.dtd, notation);
    f.cursor = gt + 1;
    return step::next;
}

// "<![": INCLUDE content becomes a frame of its own at the same level;
// every other section is skipped whole.
step conditional_section(parse_context& ctx, parse_frame& f, const char* p, parse_frame* child) {
    const char* q = skip_space(p + 3, f.end);
    const char* word = q;
    while (q < f.end && ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') || (*q >= '0' && *q <= '9') || *q == '_'))
        q++;
    if (q - word == 7 && std::memcmp(word, "INCLUDE", 7) == 0) {
        q = skip_space(q, f.end);
        if (q < f.end && *q == '[') q++;
        const char* close = section_end(q, f.end);
        if (!close) return step::stop;
        if (ctx.include_depth >= kDtdMaxIncludeNesting) {
            ctx.too_deep();
            return step::stop;
        }
        f.cursor = close + 3;
        *child = parse_frame{q, close, f.level, true};
        return step::push;
    }
    const char* close = section_end(p + 3, f.end);
    if (!close) return step::stop;
    f.cursor = close + 3;
    return step::next;
}

// One construct at p (white space already skipped) of frame f.
step parse_step(parse_context& ctx, parse_frame& f, const char* p, parse_frame* child) {
    const char* end = f.end;
    if (STARTS_WITH(p, end, "<!--")) {
        const char* close = find_text(p + 4, end, "-->", 3);
        if (!close) return step::stop;
        f.cursor = close + 3;
        return step::next;
    }
    if (*p == '%') return parameter_reference(ctx, f, p, child);
    bool element = STARTS_WITH(p, end, "<!ELEMENT");
    bool attlist = !element && STARTS_WITH(p, end, "<!ATTLIST");
    bool notation = !element && !attlist && STARTS_WITH(p, end, "<!NOTATION");
    bool entity = !element && !attlist && !notation && STARTS_WITH(p, end, "<!ENTITY");
    if (element || attlist || notation || entity) {
        // The keyword ends at white space (or a parameter-entity reference,
        // whose replacement brings its own): "<!ATTLISTe" declares nothing.
        size_t keyword = notation ? 10 : entity ? 8 : 9;
        if (p + keyword >= end || (!is_space(static_cast<unsigned char>(p[keyword])) && p[keyword] != '%')) {
            ctx.malformed();
            return skip_declaration(f, p + keyword);
        }
    }
    if (element || attlist || notation) {
        size_t keyword = notation ? 10 : 9;
        if (const char* gt = find_byte(p + keyword, end, '>')) {
            size_t length = 0;
            char* substituted = ctx.substitute(p, static_cast<size_t>(gt + 1 - p), f.level, &length);
            if (ctx.stopped()) return step::stop;
            if (substituted) {
                // Every reference the levels allow is replaced already: what
                // is left stays as written.
                f.cursor = gt + 1;
                *child = parse_frame{substituted, substituted + length, kMaxPeLevel + 1, false};
                return step::push;
            }
        }
        if (element) return element_declaration(ctx, f, p);
        if (attlist) return attlist_declaration(ctx, f, p);
        return notation_declaration(ctx, f, p);
    }
    if (entity) return entity_declaration(ctx, f, p);
    if (STARTS_WITH(p, end, "<![")) return conditional_section(ctx, f, p, child);
    return skip_declaration(f, p);
}

// The frames of one parse, walked until the text is used up or a limit stops it.
dtd_parse_outcome dtd_parse_walk(parse_context& ctx, const char* text, size_t length, int level) {
    quorvel_dtd* dtd = ctx.dtd;
    quorvel_small_stack<parse_frame, 16> frames;
    if (!frames.push(parse_frame{text, text + length, level, false})) {
        dtd->has_error = 1;
        return dtd_parse_outcome::malformed;
    }
    while (!frames.empty() && !ctx.stopped()) {
        parse_frame f = frames.top();
        const char* p = skip_space(f.cursor, f.end);
        if (p >= ctx.origin && p < ctx.origin_end) ctx.anchor = p;
        parse_frame child{};
        step s = p < f.end ? parse_step(ctx, f, p, &child) : step::stop;
        switch (s) {
            case step::next:
                frames.top() = f;
                break;
            case step::stop:
                if (frames.top().include) ctx.include_depth--;
                frames.pop();
                break;
            case step::replace:
                frames.top() = child;
                break;
            case step::push:
                frames.top() = f;
                if (!frames.push(child)) {
                    ctx.malformed();
                    return dtd_parse_outcome::malformed;
                }
                if (child.include) ctx.include_depth++;
                break;
        }
    }
    if (ctx.stopped() || ctx.outcome == dtd_parse_outcome::bad_char_ref) return ctx.outcome;
    return dtd->has_error ? dtd_parse_outcome::malformed : dtd_parse_outcome::clean;
}

}  // namespace

dtd_parse_outcome dtd_parse_run(quorvel_dtd* dtd, const char* text, size_t length, int level, const char** at) {
    if (at) *at = nullptr;
    if (!dtd || !dtd->pool || !text || length == 0) return dtd_parse_outcome::clean;
    // Substitution draws on the allowance the DTD keeps for every expansion
    // against it, general entities included, and what it makes is booked
    // there: many parses of small texts into one DTD cannot add up to more
    // than one text may. (The declarations themselves are not counted as
    // input: a large entity value must not raise what its references may
    // expand to.)
    size_t limit = 0;
    size_t budget = dtd_expansion_allowance(dtd, length, &limit);
    parse_context ctx{dtd, dtd->pool, text, text + length, budget, limit};
    dtd_parse_outcome outcome = dtd_parse_walk(ctx, text, length, level);
    dtd->expansion_work = dtd_add_saturating(dtd->expansion_work, ctx.made);
    if (at) *at = ctx.refused_at;
    return outcome;
}


int dtd_parse_into(quorvel_dtd* dtd, const char* text, size_t length, int level) {
    dtd_parse_run(dtd, text, length, level);
    return dtd && dtd->has_error ? 0 : 1;
}
