// Reading attributes: lookup by qualified name, expanded name and stored
// name; values decoded on first read; typed reads; access by position;
// snapshots, pointer pairs and the raw start-tag pairs; removing all. Lookups
// compare the length before any name byte. The locks under which readers
// store lazy results into a shared document live here too.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <strings.h>

#include "dom/dom.h"

const char kXmlNamespaceUri[] = "http://www.w3.org/XML/1998/namespace";

uint16_t quorvel_attribute_hash15(const char* name, size_t length) {
    uint32_t h = quorvel_fnv1a(name, length);
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h &= kAttrHashMask;
    return static_cast<uint16_t>(h ? h : 1);  // 0 marks "not computed yet"
}

namespace {

inline bool is_element(const quorvel_element* e) { return e && e->head.kind == QUORVEL_NODE_ELEMENT; }

inline quorvel_attr_ns* attr_ns(const quorvel_attribute* a) {
    return static_cast<quorvel_attr_ns*>(quorvel_link_get(a, &a->ns));
}

inline bool name_equals(const quorvel_attribute* a, const char* name, size_t length) {
    if (a->name_length != length) return false;
    if (length == 0) return true;
    if (!a->name) return false;
    // Names are short: compared in line rather than through a call.
    if (length < 24) {
        for (size_t i = 0; i < length; i++)
            if (a->name[i] != name[i]) return false;
        return true;
    }
    return std::memcmp(a->name, name, length) == 0;
}

// First attribute without a namespace record whose stored name is exactly
// these bytes. Lookups store nothing into the records (several threads may
// read one document), and names are short: the length sorts out most
// attributes, the bytes the rest.
quorvel_attribute* find_unprefixed(quorvel_element* e, const char* name, size_t length) {
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (a->ns != 0 || a->name_length != length) continue;
        if (name_equals(a, name, length)) return a;
    }
    return nullptr;
}

// ---- Lazy stores of readers ------------------------------------------------------------
//
// A handful of process-wide locks, one picked by the document's address:
// the stores readers make into a parsed document are rare (a value decoded
// once, the document node made once), so a lock of their own per document
// would only cost memory.

#define QUORVEL_LAZY_LOCK4 PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, \
                           PTHREAD_MUTEX_INITIALIZER
pthread_mutex_t g_lazy_locks[16] = {QUORVEL_LAZY_LOCK4, QUORVEL_LAZY_LOCK4, QUORVEL_LAZY_LOCK4,
                                    QUORVEL_LAZY_LOCK4};
#undef QUORVEL_LAZY_LOCK4

inline pthread_mutex_t* lazy_lock_of(const quorvel_document* doc) {
    auto k = reinterpret_cast<uintptr_t>(doc);
    k ^= k >> 9;
    k ^= k >> 17;
    return &g_lazy_locks[(k >> 4) & 15];
}

// The URI a prefix stands for in attribute names: "xml" is implicit, "xmlns"
// and the empty prefix never name a namespace, an undeclaration is unbound.
const char* attribute_prefix_uri(const quorvel_element* e, const char* prefix, size_t length) {
    if (length == 0) return nullptr;
    if (length == 5 && std::memcmp(prefix, "xmlns", 5) == 0) return nullptr;
    if (length == 3 && std::memcmp(prefix, "xml", 3) == 0) return kXmlNamespaceUri;
    const char* uri = quorvel_element_lookup_namespace_n(e, prefix, length);
    return uri && *uri ? uri : nullptr;
}

// ---- The miss report -------------------------------------------------------------------
//
// Decided once per process on the first miss; the count only grows and is
// claimed with a compare-and-swap, so concurrent misses make exactly five
// reports in all.

constexpr int kMissReportLimit = 5;
std::atomic<int> g_attr_miss_switch{-1};  // -1 not decided, 0 off, 1 on
std::atomic<int> g_attr_miss_reports{0};

void miss_report(quorvel_element* e, const char* needle) {
    int on = g_attr_miss_switch.load(std::memory_order_acquire);
    if (on < 0) {
        int decided = std::getenv("QUORVEL_DEBUG_ATTR_MISS") ? 1 : 0;
        g_attr_miss_switch.compare_exchange_strong(on, decided, std::memory_order_acq_rel);
        on = g_attr_miss_switch.load(std::memory_order_acquire);
    }
    if (on != 1) return;
    int n = g_attr_miss_reports.load(std::memory_order_relaxed);
    do {
        if (n >= kMissReportLimit) return;
    } while (!g_attr_miss_reports.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));

    size_t chain = 0;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) chain++;
    std::fprintf(stderr, "[quorvel-attr-miss] elem=%p needle='%s' chain_len=%zu\n", static_cast<void*>(e), needle,
                 chain);
    size_t i = 0;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a && i < 8; a = quorvel_attr_next(a), i++) {
        char shown[17];
        size_t k = 0;
        for (; a->name && k < a->name_length && k < 16; k++) {
            unsigned char c = static_cast<unsigned char>(a->name[k]);
            shown[k] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
        }
        shown[k] = '\0';
        std::fprintf(stderr, "  attr[%zu] addr=%p name_ptr=%p len=%zu bytes='%s' hash15=%u entities=%d\n", i,
                     static_cast<void*>(a), static_cast<const void*>(a->name), a->name_length, shown,
                     static_cast<unsigned>(a->hash & kAttrHashMask), (a->hash & kAttrPendingEntities) ? 1 : 0);
    }
}

// Lookup by qualified name. *walked tells whether the chain was searched
// (only such misses are reported).
quorvel_attribute* find_qualified(quorvel_element* e, const char* name, bool* walked) {
    *walked = false;
    if (!is_element(e) || !name) return nullptr;
    // Names are short: one pass finds the end and the first colon.
    size_t length = 0;
    size_t colon = SIZE_MAX;
    for (char c; (c = name[length]) != '\0'; length++)
        if (c == ':' && colon == SIZE_MAX) colon = length;
    if (colon != SIZE_MAX) {
        // Further colons belong to the local name.
        const char* uri = attribute_prefix_uri(e, name, colon);
        if (!uri) return nullptr;
        *walked = true;
        return find_attr_expanded_len(e, uri, name + colon + 1, length - colon - 1);
    }
    if (length == 5 && std::memcmp(name, "xmlns", 5) == 0) return nullptr;
    *walked = true;
    return find_unprefixed(e, name, length);
}

const char* lookup_value(quorvel_element* e, const char* name) {
    bool walked;
    if (quorvel_attribute* a = find_qualified(e, name, &walked)) return quorvel_attribute_read_value(e, a);
    if (walked) miss_report(e, name);
    return nullptr;
}

// ---- Typed values ----------------------------------------------------------------------

// The white space of the C locale's isspace, without the call.
inline bool c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline const char* skip_space(const char* p) {
    while (c_space(*p)) p++;
    return p;
}

// Only white space may follow the number.
inline bool rest_is_space(const char* p) { return *skip_space(p) == '\0'; }

int parse_int(const char* v, int fallback) {
    if (!v || !*v) return fallback;
    const char* p = skip_space(v);
    {
        // The usual value: an optional sign and up to 9 digits, then the end
        // or white space. Anything else takes the general reader below.
        const char* q = p + (*p == '-' || *p == '+');
        int64_t r = 0;
        const char* digits = q;
        while (static_cast<unsigned>(*q - '0') < 10 && q - digits < 9) r = r * 10 + (*q++ - '0');
        if (q > digits && static_cast<unsigned>(*q - '0') >= 10 && rest_is_space(q))
            return static_cast<int>(*p == '-' ? -r : r);
    }
    char* end;
    errno = 0;
    long r = std::strtol(p, &end, 10);
    if (!rest_is_space(end)) return fallback;
    // A value that does not fit is unreadable, not to be cut to 32 bits.
    if (errno == ERANGE || r < INT_MIN || r > INT_MAX) return fallback;
    return static_cast<int>(r);
}

unsigned parse_uint(const char* v, unsigned fallback) {
    if (!v || !*v) return fallback;
    const char* p = skip_space(v);
    char* end;
    errno = 0;
    unsigned long long r = std::strtoull(p, &end, 10);
    if (!rest_is_space(end) || errno == ERANGE) return fallback;
    // A leading minus negates in unsigned arithmetic (-1 reads as the largest
    // value), but only for magnitudes that fit in 32 bits.
    bool negative = *p == '-';
    unsigned long long magnitude = negative ? 0ull - r : r;
    if (magnitude > UINT_MAX) return fallback;
    unsigned m = static_cast<unsigned>(magnitude);
    return negative ? 0u - m : m;
}

double parse_double(const char* v, double fallback) {
    if (!v || !*v) return fallback;
    char* end;
    double r = std::strtod(skip_space(v), &end);
    return rest_is_space(end) ? r : fallback;
}

float parse_float(const char* v, float fallback) {
    if (!v || !*v) return fallback;
    char* end;
    float r = std::strtof(skip_space(v), &end);
    return rest_is_space(end) ? r : fallback;
}

int parse_bool(const char* v, int fallback) {
    if (!v || !*v) return fallback;
    if (!strcasecmp(v, "true") || !strcasecmp(v, "yes") || !strcasecmp(v, "on") || !std::strcmp(v, "1")) return 1;
    if (!strcasecmp(v, "false") || !strcasecmp(v, "no") || !strcasecmp(v, "off") || !std::strcmp(v, "0")) return 0;
    return fallback;
}

// Walks index steps along the chain; NULL past the end.
quorvel_attribute* attribute_at(const quorvel_element* e, size_t index) {
    quorvel_attribute* a = quorvel_elem_first_attr(e);
    while (a && index--) a = quorvel_attr_next(a);
    return a;
}

const char* attribute_prefix(const quorvel_attribute* a) {
    if (!a->name || !std::memchr(a->name, ':', a->name_length)) return nullptr;
    quorvel_attr_ns* ns = attr_ns(a);
    return ns && ns->prefix && *ns->prefix ? ns->prefix : nullptr;
}

const char* attribute_uri(const quorvel_attribute* a) {
    quorvel_attr_ns* ns = attr_ns(a);
    if (!ns || !ns->owner) return nullptr;
    const char* prefix = attribute_prefix(a);
    if (!prefix) return nullptr;
    return attribute_prefix_uri(ns->owner, prefix, std::strlen(prefix));
}

}  // namespace

// ---- Internal entry points -----------------------------------------------------------

quorvel_attribute* quorvel_element_get_first_attribute(const quorvel_element* e) {
    return is_element(e) ? quorvel_elem_first_attr(e) : nullptr;
}

quorvel_attribute* quorvel_dom_attr_find(quorvel_element* e, const char* name, size_t length) {
    if (!is_element(e) || !name || length == 0) return nullptr;
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a))
        if (name_equals(a, name, length)) return a;
    return nullptr;
}

quorvel_attribute* find_attr_expanded_len(quorvel_element* e, const char* uri, const char* local_name,
                                          size_t local_length) {
    if (!is_element(e) || !local_name) return nullptr;
    if (!uri || !*uri) return find_unprefixed(e, local_name, local_length);
    for (quorvel_attribute* a = quorvel_elem_first_attr(e); a; a = quorvel_attr_next(a)) {
        if (!a->name) continue;
        auto* colon = static_cast<const char*>(std::memchr(a->name, ':', a->name_length));
        if (!colon) continue;
        size_t prefix_length = static_cast<size_t>(colon - a->name);
        if (a->name_length - prefix_length - 1 != local_length ||
            std::memcmp(colon + 1, local_name, local_length) != 0)
            continue;
        const char* prefix = a->name;
        quorvel_attr_ns* ns = attr_ns(a);
        if (ns && ns->prefix) {
            prefix = ns->prefix;
            prefix_length = std::strlen(prefix);
        }
        const char* bound = attribute_prefix_uri(e, prefix, prefix_length);
        if (bound && std::strcmp(bound, uri) == 0) return a;
    }
    return nullptr;
}

void quorvel_document_lazy_lock(const quorvel_document* doc) { pthread_mutex_lock(lazy_lock_of(doc)); }
void quorvel_document_lazy_unlock(const quorvel_document* doc) { pthread_mutex_unlock(lazy_lock_of(doc)); }

const char* quorvel_attribute_decode_in(quorvel_document* doc, quorvel_attribute* a, size_t* length) {
    if (quorvel_attribute_pending(a) && doc && doc->pool) {
        quorvel_document_lazy_lock(doc);
        // Another reader may have decoded it while this one waited.
        if (a->hash & kAttrPendingEntities) {
            quorvel_string_view raw{quorvel_attribute_stored_value(a), a->value_length & ~kAttrInlineValue};
            // The decoded copy replaces the raw text for good; on failure the
            // raw text is handed out and a later read tries again.
            if (char* decoded = quorvel_decode_entities_view(&raw, doc->pool)) {
                a->value = decoded;
                a->value_length = std::strlen(decoded);
                // Published last: a reader that sees the flag clear reads
                // the new value and length.
                __atomic_fetch_and(&a->hash, static_cast<uint16_t>(~kAttrPendingEntities), __ATOMIC_RELEASE);
            }
        }
        const char* value = quorvel_attribute_stored_value(a);
        if (length) *length = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
        quorvel_document_lazy_unlock(doc);
        return value;
    }
    if (length) *length = static_cast<size_t>(a->value_length & ~kAttrInlineValue);
    return quorvel_attribute_stored_value(a);
}

const char* quorvel_attribute_read_value(quorvel_element* owner, quorvel_attribute* a) {
    if (!quorvel_attribute_pending(a)) return quorvel_attribute_stored_value(a);
    return quorvel_attribute_decode_in(owner ? quorvel_element_get_document(owner) : nullptr, a, nullptr);
}

extern "C" {

// ---- Lookup ------------------------------------------------------------------------------

QUORVEL_API const char* quorvel_element_attribute(quorvel_element* element, const char* name) {
    return lookup_value(element, name);
}

QUORVEL_API int quorvel_element_has_attribute(quorvel_element* element, const char* name) {
    bool walked;
    if (find_qualified(element, name, &walked)) return 1;
    if (walked) miss_report(element, name);
    return 0;
}

QUORVEL_API const char* quorvel_element_attribute_ns(quorvel_element* element, const char* namespace_uri,
                                                    const char* local_name) {
    if (!is_element(element) || !local_name) return nullptr;
    quorvel_attribute* a = find_attr_expanded_len(element, namespace_uri, local_name, std::strlen(local_name));
    return a ? quorvel_attribute_read_value(element, a) : nullptr;
}

QUORVEL_API int quorvel_element_has_attribute_ns(quorvel_element* element, const char* namespace_uri,
                                                const char* local_name) {
    if (!is_element(element) || !local_name) return 0;
    return find_attr_expanded_len(element, namespace_uri, local_name, std::strlen(local_name)) ? 1 : 0;
}

// ---- Typed reads -------------------------------------------------------------------------

QUORVEL_API int quorvel_element_attribute_int(quorvel_element* element, const char* name, int default_value) {
    return parse_int(lookup_value(element, name), default_value);
}

QUORVEL_API unsigned quorvel_element_attribute_uint(quorvel_element* element, const char* name,
                                                   unsigned default_value) {
    return parse_uint(lookup_value(element, name), default_value);
}

QUORVEL_API double quorvel_element_attribute_double(quorvel_element* element, const char* name,
                                                   double default_value) {
    return parse_double(lookup_value(element, name), default_value);
}

QUORVEL_API float quorvel_element_attribute_float(quorvel_element* element, const char* name, float default_value) {
    return parse_float(lookup_value(element, name), default_value);
}

QUORVEL_API int quorvel_element_attribute_bool(quorvel_element* element, const char* name, int default_value) {
    return parse_bool(lookup_value(element, name), default_value);
}

QUORVEL_API const char* quorvel_element_attribute_string(quorvel_element* element, const char* name,
                                                        const char* default_value) {
    const char* v = lookup_value(element, name);
    return v ? v : default_value;
}

// ---- Position and iteration --------------------------------------------------------------

QUORVEL_API quorvel_attribute* quorvel_element_first_attribute(const quorvel_element* element) {
    return quorvel_element_get_first_attribute(element);
}

QUORVEL_API quorvel_attribute* quorvel_attribute_next(const quorvel_attribute* attribute) {
    return attribute ? quorvel_attr_next(attribute) : nullptr;
}

QUORVEL_API quorvel_attribute* quorvel_element_get_attribute_by_index(const quorvel_element* element, size_t index) {
    if (!is_element(element)) return nullptr;
    // Below the cap the narrow count is exact and refuses far indexes at
    // once; at the cap only the chain knows, and walking it is the answer.
    if (element->attr_count < kAttrCountCap && index >= element->attr_count) return nullptr;
    return attribute_at(element, index);
}

QUORVEL_API const char* quorvel_element_attribute_name_at(const quorvel_element* element, size_t index) {
    if (!is_element(element)) return nullptr;
    quorvel_attribute* a = attribute_at(element, index);
    return a && a->name && a->name_length ? a->name : nullptr;
}

QUORVEL_API const char* quorvel_element_attribute_value_at(quorvel_element* element, size_t index) {
    if (!is_element(element)) return nullptr;
    quorvel_attribute* a = attribute_at(element, index);
    return a ? quorvel_attribute_read_value(element, a) : nullptr;
}

QUORVEL_API const char* quorvel_attribute_get_name(const quorvel_attribute* attribute) {
    return attribute && attribute->name ? attribute->name : "";
}

QUORVEL_API const char* quorvel_attribute_get_value(quorvel_element* owner, quorvel_attribute* attribute) {
    return attribute ? quorvel_attribute_read_value(owner, attribute) : "";
}

QUORVEL_API const char* quorvel_attribute_prefix(const quorvel_attribute* attribute) {
    return attribute ? attribute_prefix(attribute) : nullptr;
}

QUORVEL_API const char* quorvel_attribute_namespace_uri(const quorvel_attribute* attribute) {
    return attribute ? attribute_uri(attribute) : nullptr;
}

// ---- Copies out ----------------------------------------------------------------------------

QUORVEL_API size_t quorvel_element_attributes_snapshot(quorvel_element* element, char* names, size_t names_size,
                                                      size_t* name_offsets, char* values, size_t values_size,
                                                      size_t* value_offsets, char* prefixes, size_t prefixes_size,
                                                      size_t* prefix_offsets, char* uris, size_t uris_size,
                                                      size_t* uri_offsets) {
    if (!element) return 0;
    constexpr size_t kNone = static_cast<size_t>(-1);
    enum { kNames, kValues, kPrefixes, kUris };
    size_t total[4] = {0, 0, 0, 0};
    size_t count = 0;
    if (is_element(element)) {
        // Measuring reads every value, so pending ones are decoded here and
        // the fill below copies exactly what was measured.
        for (quorvel_attribute* a = quorvel_elem_first_attr(element); a; a = quorvel_attr_next(a)) {
            count++;
            total[kNames] += (a->name ? a->name_length : 0) + 1;
            total[kValues] += std::strlen(quorvel_attribute_read_value(element, a)) + 1;
            if (const char* p = attribute_prefix(a)) total[kPrefixes] += std::strlen(p) + 1;
            if (const char* u = attribute_uri(a)) total[kUris] += std::strlen(u) + 1;
        }
    }
    if (!names || !names_size || !values || !values_size) {
        size_t largest = 0;
        for (size_t t : total) largest = t > largest ? t : largest;
        return largest;
    }
    if (!name_offsets || !value_offsets) return kNone;
    bool use_prefixes = prefixes && prefixes_size;
    bool use_uris = uris && uris_size;
    if ((use_prefixes && !prefix_offsets) || (use_uris && !uri_offsets)) return kNone;
    if (names_size < total[kNames] || values_size < total[kValues] ||
        (use_prefixes && prefixes_size < total[kPrefixes]) || (use_uris && uris_size < total[kUris]))
        return kNone;

    // Each offsets array receives count + 1 entries: count is the chain
    // length, which is what quorvel_element_attribute_count reports.
    size_t pos[4] = {0, 0, 0, 0};
    auto put = [&](int group, char* buffer, size_t capacity, size_t* offsets, size_t i, const char* text,
                   size_t length) {
        if (!text || pos[group] + length + 1 > capacity) {
            offsets[i] = kNone;
            return;
        }
        offsets[i] = pos[group];
        std::memcpy(buffer + pos[group], text, length);
        buffer[pos[group] + length] = '\0';
        pos[group] += length + 1;
    };
    size_t i = 0;
    for (quorvel_attribute* a = quorvel_elem_first_attr(element); a && i < count; a = quorvel_attr_next(a), i++) {
        put(kNames, names, names_size, name_offsets, i, a->name ? a->name : "", a->name ? a->name_length : 0);
        const char* v = quorvel_attribute_read_value(element, a);
        put(kValues, values, values_size, value_offsets, i, v, std::strlen(v));
        if (use_prefixes) {
            const char* p = attribute_prefix(a);
            put(kPrefixes, prefixes, prefixes_size, prefix_offsets, i, p, p ? std::strlen(p) : 0);
        }
        if (use_uris) {
            const char* u = attribute_uri(a);
            put(kUris, uris, uris_size, uri_offsets, i, u, u ? std::strlen(u) : 0);
        }
    }
    name_offsets[i] = pos[kNames];
    value_offsets[i] = pos[kValues];
    if (use_prefixes) prefix_offsets[i] = pos[kPrefixes];
    if (use_uris) uri_offsets[i] = pos[kUris];
    return 0;
}

QUORVEL_API size_t quorvel_element_attribute_pairs(quorvel_element* element, const char** names, const char** values,
                                                  quorvel_attribute** records, size_t capacity) {
    if (!is_element(element)) return 0;
    size_t n = 0;
    if (!names && !values && !records) {
        for (quorvel_attribute* a = quorvel_elem_first_attr(element); a; a = quorvel_attr_next(a)) n++;
        return n;
    }
    for (quorvel_attribute* a = quorvel_elem_first_attr(element); a && n < capacity; a = quorvel_attr_next(a), n++) {
        if (names) names[n] = a->name ? a->name : "";
        if (values) values[n] = quorvel_attribute_stored_value(a);
        if (records) records[n] = a;
    }
    return n;
}

QUORVEL_API size_t quorvel_element_attributes_raw(quorvel_element* element, const char** names, const char** values,
                                                 size_t capacity) {
    if (!is_element(element)) return 0;
    if (element->eflags & kElemRawInSource) {
        const quorvel_document* doc = quorvel_element_get_document(element);
        if (!doc || element->head.source_pos == 0) return 0;
        return quorvel_source_raw_attributes(doc, element->head.source_pos - 1, names, values, capacity);
    }
    const quorvel_element_ext* ext = quorvel_elem_ext(element);
    if (!ext) return 0;
    size_t n = 0;
    if (!names && !values) {
        for (const quorvel_raw_attribute* r = ext->raw_attrs; r; r = r->next) n++;
        return n;
    }
    for (const quorvel_raw_attribute* r = ext->raw_attrs; r && n < capacity; r = r->next, n++) {
        if (names) names[n] = r->qname;
        if (values) values[n] = r->raw_value;
    }
    return n;
}

QUORVEL_API quorvel_status quorvel_element_remove_all_attributes(quorvel_element* element) {
    if (!element) return QUORVEL_ERR_NULL_ARGUMENT;
    if (element->head.kind != QUORVEL_NODE_ELEMENT) return QUORVEL_ERR_INVALID_ARGUMENT;
    if (quorvel_document* doc = quorvel_element_get_document(element)) {
        if (element->eflags & kElemAttrIndexed) attr_index_forget_element(doc, element);
        if (doc->last_attr_element == element) {
            doc->last_attr_element = nullptr;
            doc->last_attr = nullptr;
        }
    }
    quorvel_link_clear(&element->first_attr);
    element->attr_count = 0;
    element->head.flags += kModStep;
    return QUORVEL_OK;
}

}  // extern "C"
