// Function items and the higher-order functions: function-lookup,
// function-name, function-arity, apply, for-each, filter, for-each-pair,
// the folds, sort, map:for-each and the array forms.
//
// Items reach the called function as they are (nodes as nodes, typed
// values with their types, maps and arrays as themselves) and the results
// are the items the function returns. Each call hands the function a
// borrowed one-item value that lives on the stack, so a call costs no
// allocation beyond what the function itself does.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;
using result = quorvel_xpath_result;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

const quorvel_xpath_carrier* as_carrier(const quorvel_node* n) {
    return n->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(n) : nullptr;
}

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

result* type_error(quorvel_xpath_context* c, const char* format, const char* name) {
    char message[160];
    std::snprintf(message, sizeof message, format, name);
    xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s", message);
    return nullptr;
}

// A borrowed value for handing to a function item: one item, or a whole
// sequence (an array member), without copying. Not movable: the set's
// item pointer refers to its own inline slots.
struct borrowed_value {
    nodeset set{};
    result value{};
    borrowed_value() {
        set.items = set.inline_items;
        set.capacity = kXpathInlineSlots;
        set.is_sequence = 1;
        value.kind = XPATH_NODESET;
    }
    borrowed_value(const borrowed_value&) = delete;
    borrowed_value& operator=(const borrowed_value&) = delete;
    const result* item(quorvel_node* n) {
        set.inline_items[0] = n;
        set.count = 1;
        value.value.nodeset = &set;
        return &value;
    }
    const result* sequence(const nodeset* s) {
        value.value.nodeset = const_cast<nodeset*>(s);
        return &value;
    }
};

// ---- Function-item arguments ---------------------------------------------------------------------

// Arity of a callable item: a named reference's, an inline function's
// parameter count, 1 for a map or array; -1 for anything else.
long item_arity(const quorvel_node* n) {
    const quorvel_xpath_carrier* f = as_carrier(n);
    if (!f || !f->text) return -1;
    if (f->ref_kind == XPATH_REF_MAP) return 1;
    if (f->ref_kind == XPATH_REF_FUNCTION) {
        if (f->length < 5) return -1;
        const char* params = f->text + 4;
        const char* end = static_cast<const char*>(std::memchr(params, '\x02', f->length - 4));
        if (!end) return -1;
        long arity = end > params ? 1 : 0;
        for (const char* p = params; p < end; p++) arity += *p == '\x01';
        return arity;
    }
    if (f->ref_kind != XPATH_REF_NONE || f->length < 2 || f->text[0] != kXpathTagMark) return -1;
    if (f->length >= 4 && !std::memcmp(f->text + 1, "MAP", 3)) return 1;
    if (f->length < 5 || f->text[1] != 'F' || f->text[2] != 'R') return -1;
    const char* hash = std::strrchr(f->text + 3, '#');
    if (!hash || !hash[1]) return -1;
    char* end = nullptr;
    long arity = std::strtol(hash + 1, &end, 10);
    return *end || arity < 0 ? -1 : arity;
}

// The one function item of an argument, kept alive by its value.
struct function_arg {
    result* holder = nullptr;
    quorvel_node* item = nullptr;
    long arity = -1;
    function_arg() = default;
    function_arg(const function_arg&) = delete;
    function_arg& operator=(const function_arg&) = delete;
    ~function_arg() { xpath_result_free(holder); }
};

// Reads the function item of an argument, which must take `arity`
// arguments (any number when arity is negative). False with XPTY0004 for
// anything else.
bool read_function(quorvel_xpath_context* c, const ast* argument, long arity, const char* name, function_arg& out) {
    out.holder = fn_evaluate(c, argument);
    if (!out.holder) return false;
    const quorvel_node* only = nullptr;
    size_t items = out.holder->kind == XPATH_NODESET ? fn_item_count(out.holder->value.nodeset, &only) : 1;
    out.item = const_cast<quorvel_node*>(only);
    out.arity = items == 1 && out.item ? item_arity(out.item) : -1;
    if (out.arity < 0) {
        type_error(c, "%s expects one function item", name);
        return false;
    }
    if (arity >= 0 && out.arity != arity) {
        xpath_context_fail_code(c, "XPTY0004", "XPTY0004: %s expects a function of %ld arguments, got one of %ld",
                                name, arity, out.arity);
        return false;
    }
    return true;
}

result* call(quorvel_xpath_context* c, const function_arg& f, const result* a) {
    const result* args[1] = {a};
    return xpath_call_function_values(c, f.item, args, 1);
}

result* call(quorvel_xpath_context* c, const function_arg& f, const result* a, const result* b) {
    const result* args[2] = {a, b};
    return xpath_call_function_values(c, f.item, args, 2);
}

// The one map or array of an argument, with a reference for the caller;
// NULL with XPTY0004 for anything else (or the evaluator's message).
quorvel_xpath_map_value* read_map(quorvel_xpath_context* c, const ast* argument, bool array, const char* name) {
    result* r = fn_evaluate(c, argument);
    if (!r) return nullptr;
    const quorvel_node* only = nullptr;
    size_t items = r->kind == XPATH_NODESET ? fn_item_count(r->value.nodeset, &only) : 1;
    quorvel_xpath_map_value* m = items == 1 && only ? xpath_map_of_item(only) : nullptr;
    xpath_result_free(r);
    if (m && (m->is_array != 0) != array) {
        xpath_map_value_release(m);
        m = nullptr;
    }
    if (!m) type_error(c, array ? "%s expects one array" : "%s expects one map", name);
    return m;
}

// The boolean a predicate returned: 1 or 0, -1 when the value is not one
// xs:boolean.
int single_boolean(const result* r) {
    if (r->kind == XPATH_BOOLEAN) return r->value.boolean ? 1 : 0;
    if (r->kind != XPATH_NODESET) return -1;
    const quorvel_node* only = nullptr;
    const quorvel_xpath_carrier* b = fn_item_count(r->value.nodeset, &only) == 1 ? as_carrier(only) : nullptr;
    if (!b || b->ref_kind != XPATH_REF_NONE || b->length < 3 || b->text[0] != kXpathTagMark ||
        b->text[1] != kXpathTagBoolean)
        return -1;
    return b->text[2] == 't' ? 1 : 0;
}

// The items of every call_at(i), i from 0 to n - 1, in one new sequence;
// each call's value is freed once its items are in. call_at gives NULL with
// the context's message on failure. Nothing is called when the function
// could not be read (ready false, its message already set).
template <typename Call>
result* collect_calls(quorvel_xpath_context* c, bool ready, size_t n, Call&& call_at) {
    if (!ready) return nullptr;
    nodeset* out = fn_owning_set();
    if (!out) return oom(c);
    for (size_t i = 0; i < n; i++) {
        result* r = call_at(i);
        bool added = r && xpath_sequence_append(out, r, c->xquery_mode);
        if (!added) {
            xpath_nodeset_free(out);
            return r ? oom(c) : nullptr;
        }
    }
    return fn_sequence_result(c, out);
}

// Calls a predicate: 1 keep, 0 drop, -1 failure (XPTY0004 naming the
// function when the value is not one xs:boolean).
int call_predicate(quorvel_xpath_context* c, const function_arg& f, const result* a, const char* name) {
    result* r = call(c, f, a);
    if (!r) return -1;
    int keep = single_boolean(r);
    xpath_result_free(r);
    if (keep < 0) type_error(c, "%s: the predicate must return one xs:boolean", name);
    return keep;
}

// Drops the NULL slots left by items that moved to another set.
void close_gaps(nodeset* items) {
    size_t kept = 0;
    for (size_t i = 0; i < items->count; i++)
        if (items->items[i]) items->items[kept++] = items->items[i];
    items->count = kept;
}

// A sequence of the one item whose text snprintf wrote into a buffer of
// size bytes (n, its return); a text cut short counts as no memory.
result* written_item(quorvel_xpath_context* c, const char* text, int n, size_t size) {
    nodeset* out = fn_owning_set();
    bool fits = n > 0 && static_cast<size_t>(n) < size;
    if (out && !fn_set_add_owned(out, fits ? xpath_synth_text(text, static_cast<size_t>(n)) : nullptr)) {
        xpath_nodeset_free(out);
        return oom(c);
    }
    return fn_sequence_result(c, out);
}

// A new array of the given members (taken over; NULL members mean no
// memory). NULL with the context's message on failure.
result* array_of(quorvel_xpath_context* c, nodeset** members, size_t n) {
    quorvel_xpath_map_value* m = xpath_map_value_new(n, 1);
    bool ok = m != nullptr;
    for (size_t i = 0; i < n; i++) {
        if (ok && members[i]) m->entries[m->count++] = {nullptr, 0, members[i]};
        else xpath_nodeset_free(members[i]);
        if (!members[i]) ok = false;
    }
    if (!ok) {
        xpath_map_value_release(m);
        return oom(c);
    }
    result* r = xpath_map_result(m);
    return r ? r : oom(c);
}

// ---- Names of named functions --------------------------------------------------------------------

struct known_namespace {
    const char* uri;
    const char* prefix;  // as registry names carry it; "" for the standard functions
};

constexpr known_namespace kNamespaces[] = {
    {"http://www.w3.org/2005/xpath-functions", ""},
    {"http://www.w3.org/2005/xpath-functions/math", "math:"},
    {"http://www.w3.org/2005/xpath-functions/map", "map:"},
    {"http://www.w3.org/2005/xpath-functions/array", "array:"},
    {"http://www.w3.org/2001/XMLSchema", "xs:"},
};

// The registry name a function name stands for, written into out: an
// expanded name Q{uri}local or fn:local maps to the registry's form (no
// prefix for the standard functions); other names stay as written.
bool registry_name(const char* name, char* out, size_t size) {
    if (!std::strncmp(name, "Q{", 2)) {
        const char* close = std::strchr(name, '}');
        if (!close) return false;
        size_t uri_length = static_cast<size_t>(close - name - 2);
        for (const known_namespace& ns : kNamespaces)
            if (std::strlen(ns.uri) == uri_length && !std::memcmp(ns.uri, name + 2, uri_length)) {
                int n = std::snprintf(out, size, "%s%s", ns.prefix, close + 1);
                return n > 0 && static_cast<size_t>(n) < size;
            }
        return false;
    }
    if (!std::strncmp(name, "fn:", 3)) name += 3;
    int n = std::snprintf(out, size, "%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

// The name a function-name argument gives: an expanded Q{uri}local for a
// QName with a namespace, else its string value. A QName item's text holds
// its namespace URI, the 0x01 mark, then its lexical form. malloc'd; NULL
// when memory runs out.
char* function_name_text(const quorvel_node* n) {
    const quorvel_xpath_carrier* k = as_carrier(n);
    const char* mark = k && k->ref_kind == XPATH_REF_NONE && k->length > 2 && k->text[0] == kXpathTagMark &&
                               k->text[1] == 'Z'
                           ? static_cast<const char*>(std::memchr(k->text + 2, kXpathQNameUriMark, k->length - 2))
                           : nullptr;
    if (!mark) return get_node_text(n);
    const char* uri = k->text + 2;
    size_t uri_length = static_cast<size_t>(mark - uri);
    const char* lexical = mark + 1;
    size_t lexical_length = k->length - static_cast<size_t>(lexical - k->text);
    const char* colon = static_cast<const char*>(std::memchr(lexical, ':', lexical_length));
    const char* local = colon ? colon + 1 : lexical;
    size_t local_length = lexical_length - static_cast<size_t>(local - lexical);
    char* out = static_cast<char*>(std::malloc(uri_length + local_length + 4));
    if (!out) return nullptr;
    std::memcpy(out, "Q{", 2);
    std::memcpy(out + 2, uri, uri_length);
    out[2 + uri_length] = '}';
    std::memcpy(out + 3 + uri_length, local, local_length);
    out[3 + uri_length + local_length] = '\0';
    return out;
}

// ---- Sort keys -----------------------------------------------------------------------------------

enum atom_class : uint8_t {
    A_NUMBER,    // number
    A_STRING,    // strings, untyped values and node values: text in code point order
    A_BOOLEAN,   // number 0 or 1
    A_INSTANT,   // date or dateTime: number = seconds on the time line; tag tells which
    A_TIME,      // number = seconds
    A_DURATION,  // text: the lexical form, ordered by its totals
    A_OTHER,     // any other typed value: ordered by text within one tag
};

struct sort_atom {
    atom_class cls;
    char tag;
    double number;
    size_t text;  // offset into the text arena
    size_t length;
};

// Growable arrays kept by one sort: the atoms of every key and the texts
// they point to.
struct sort_keys {
    sort_atom* atoms = nullptr;
    size_t count = 0, capacity = 0;
    char* texts = nullptr;
    size_t text_length = 0, text_capacity = 0;
    ~sort_keys() {
        std::free(atoms);
        std::free(texts);
    }

    bool add(const sort_atom& a) {
        if (count == capacity) {
            size_t grown = capacity ? capacity * 2 : 64;
            void* p = std::realloc(atoms, grown * sizeof(sort_atom));
            if (!p) return false;
            atoms = static_cast<sort_atom*>(p);
            capacity = grown;
        }
        atoms[count++] = a;
        return true;
    }

    bool add_text(atom_class cls, char tag, double number, const char* text, size_t length) {
        if (text_length + length + 1 > text_capacity) {
            size_t grown = text_capacity ? text_capacity : 256;
            while (grown < text_length + length + 1) grown *= 2;
            void* p = std::realloc(texts, grown);
            if (!p) return false;
            texts = static_cast<char*>(p);
            text_capacity = grown;
        }
        std::memcpy(texts + text_length, text, length);
        texts[text_length + length] = '\0';
        bool ok = add({cls, tag, number, text_length, length});
        text_length += length + 1;
        return ok;
    }
};

bool numeric_tag(const char* t, size_t n) {
    if (n < 3 || t[0] != kXpathTagMark) return false;
    char tag = t[1];
    if (tag == kXpathTagInteger || tag == kXpathTagDouble || tag == kXpathTagDecimal) return true;
    return tag == kXpathTagFloat && t[2] != 'R' && !(t[2] == 'N' && n > 3 && t[3] == '\x02');
}

// Seconds on the time line of a date or dateTime text (no zone: UTC, the
// implicit timezone).
bool instant_seconds(const char* text, double* out) {
    int year, month, day, hour, minute, has_zone;
    double second;
    int64_t zone;
    if (!h_dt_parse(text, &year, &month, &day, &hour, &minute, &second, &zone, &has_zone)) return false;
    double days = static_cast<double>(h_days_from_civil(year, month, day));
    *out = days * 86400.0 + hour * 3600.0 + minute * 60.0 + second - static_cast<double>(zone) * 60.0;
    return true;
}

constexpr int kMaxArrayNesting = 256;

bool atomize(quorvel_xpath_context* c, const quorvel_node* n, sort_keys& keys, int depth);

bool atomize_array(quorvel_xpath_context* c, const quorvel_xpath_map_value* m, sort_keys& keys, int depth) {
    if (!m->is_array) {
        xpath_context_fail_code(c, "FOTY0013", "FOTY0013: A map has no typed value");
        return false;
    }
    if (depth >= kMaxArrayNesting) {
        xpath_context_fail(c, "Arrays nested too deeply");
        return false;
    }
    for (size_t i = 0; i < m->count; i++) {
        const nodeset* v = m->entries[i].value;
        for (size_t k = 0; k < v->count; k++)
            if (is_item(v->items[k]) && !atomize(c, v->items[k], keys, depth + 1)) return false;
    }
    return true;
}

// Appends the atomized value of one item; false with the context's message.
bool atomize(quorvel_xpath_context* c, const quorvel_node* n, sort_keys& keys, int depth) {
    const quorvel_xpath_carrier* k = as_carrier(n);
    const char* t = k && k->text ? k->text : "";
    size_t len = k && k->text ? k->length : 0;
    if (k && k->ref_kind == XPATH_REF_FUNCTION) {
        xpath_context_fail_code(c, "FOTY0013", "FOTY0013: A function item has no typed value");
        return false;
    }
    if (k && (k->ref_kind == XPATH_REF_MAP || (k->ref_kind == XPATH_REF_NONE && len >= 4 && t[0] == kXpathTagMark &&
                                                 !std::memcmp(t + 1, "MAP", 3)))) {
        quorvel_xpath_map_value* m = xpath_map_of_item(n);
        if (!m) {
            oom(c);
            return false;
        }
        bool ok = atomize_array(c, m, keys, depth);
        xpath_map_value_release(m);
        return ok;
    }
    bool ok = true;
    if (!k || k->ref_kind == XPATH_REF_NODE || (len >= 2 && t[0] == kXpathTagMark &&
                                                 (t[1] == kXpathTagNodeRef || t[1] == kXpathTagAttribute))) {
        char* text = get_node_text(n);
        ok = text && keys.add_text(A_STRING, 0, 0, text, std::strlen(text));
        std::free(text);
    } else if (len == 0 || t[0] != kXpathTagMark) {
        ok = keys.add_text(A_STRING, 0, 0, t, len);
    } else if (numeric_tag(t, len)) {
        ok = keys.add({A_NUMBER, t[1], xpath_string_to_number(t + 2), 0, 0});
    } else if (len >= 2) {
        const char* v = t + 2;
        size_t vlen = len - 2;
        double seconds = 0;
        switch (t[1]) {
        case kXpathTagEmpty:
            if (!vlen) return true;  // the empty sequence
            [[fallthrough]];
        case 'T':
            if (instant_seconds(v, &seconds)) ok = keys.add({A_INSTANT, t[1], seconds, 0, 0});
            else ok = keys.add_text(A_OTHER, t[1], 0, v, vlen);
            break;
        case 't':
            if (quorvel_time_norm_seconds(v, nullptr, &seconds)) ok = keys.add({A_TIME, 't', seconds, 0, 0});
            else ok = keys.add_text(A_OTHER, 't', 0, v, vlen);
            break;
        case kXpathTagBoolean: ok = keys.add({A_BOOLEAN, 'B', vlen && v[0] == 't' ? 1.0 : 0.0, 0, 0}); break;
        case 'U': ok = keys.add_text(A_STRING, 0, 0, v, vlen); break;
        case 'd': ok = keys.add_text(A_DURATION, 'd', 0, v, vlen); break;
        case 'F':  // a named function reference (floats were taken above)
            xpath_context_fail_code(c, "FOTY0013", "FOTY0013: A function item has no typed value");
            return false;
        default: ok = keys.add_text(A_OTHER, t[1], 0, v, vlen); break;
        }
    } else {
        ok = keys.add_text(A_STRING, 0, 0, t, len);
    }
    if (!ok) oom(c);
    return ok;
}

int order_of(double a, double b) {
    // NaN sorts first and equals itself.
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) return na == nb ? 0 : na ? -1 : 1;
    return a < b ? -1 : a > b ? 1 : 0;
}

// Order of two atoms: -1, 0 or 1; 2 when they cannot be compared.
int compare_atoms(const sort_keys& keys, const sort_atom& a, const sort_atom& b) {
    if (a.cls != b.cls) return 2;
    switch (a.cls) {
    case A_NUMBER:
    case A_BOOLEAN:
    case A_TIME: return order_of(a.number, b.number);
    case A_INSTANT: return a.tag == b.tag ? order_of(a.number, b.number) : 2;
    case A_DURATION: {
        const char* x = keys.texts + a.text;
        const char* y = keys.texts + b.text;
        double p, q;
        if (quorvel_dur_try_months(x, &p) && quorvel_dur_try_months(y, &q)) return order_of(p, q);
        if (quorvel_dur_try_seconds(x, &p) && quorvel_dur_try_seconds(y, &q)) return order_of(p, q);
        return 2;
    }
    case A_OTHER:
        if (a.tag != b.tag) return 2;
        [[fallthrough]];
    default: {
        size_t n = a.length < b.length ? a.length : b.length;
        int d = std::memcmp(keys.texts + a.text, keys.texts + b.text, n);
        if (d) return d < 0 ? -1 : 1;
        return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
    }
    }
}

struct key_range {
    size_t first, count;
};

// Order of two keys, item by item; a key that is a prefix of the other
// comes first. 2 when two items cannot be compared.
int compare_keys(const sort_keys& keys, const key_range& a, const key_range& b) {
    size_t n = a.count < b.count ? a.count : b.count;
    for (size_t i = 0; i < n; i++) {
        int d = compare_atoms(keys, keys.atoms[a.first + i], keys.atoms[b.first + i]);
        if (d) return d;
    }
    return a.count < b.count ? -1 : a.count > b.count ? 1 : 0;
}

// Stable bottom-up merge sort of the positions by their keys. False when
// two keys cannot be compared or memory runs out (*incomparable tells).
bool merge_sort(const sort_keys& keys, const key_range* ranges, size_t* order, size_t n, bool* incomparable) {
    auto* tmp = static_cast<size_t*>(std::malloc((n ? n : 1) * sizeof(size_t)));
    if (!tmp) return false;
    bool ok = true;
    size_t* from = order;
    size_t* to = tmp;
    for (size_t width = 1; ok && width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n;
            size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t i = lo, j = mid, o = lo;
            while (i < mid && j < hi) {
                int d = compare_keys(keys, ranges[from[j]], ranges[from[i]]);
                if (d == 2) {
                    ok = false;
                    *incomparable = true;
                    break;
                }
                to[o++] = d < 0 ? from[j++] : from[i++];
            }
            if (!ok) break;
            while (i < mid) to[o++] = from[i++];
            while (j < hi) to[o++] = from[j++];
        }
        size_t* swap = from;
        from = to;
        to = swap;
    }
    if (ok && from != order) std::memcpy(order, from, n * sizeof(size_t));
    std::free(tmp);
    return ok;
}

// Reads a collation argument: the empty sequence (the default) or the
// code point collation; FOCH0002 for any other.
bool read_collation(quorvel_xpath_context* c, const ast* argument) {
    result* r = fn_evaluate(c, argument);
    if (!r) return false;
    bool empty = r->kind == XPATH_NODESET;
    for (size_t i = 0; empty && r->value.nodeset && i < r->value.nodeset->count; i++)
        if (is_item(r->value.nodeset->items[i])) empty = false;
    xpath_result_free(r);
    return empty || fn_check_collation(c, argument);
}

// A new array from an array argument and a function of one argument:
// step(f, member, members, kept) is called once per member, in order, and
// may add new members at members[kept++]; it returns false with the
// context's message on failure.
template <typename Step>
result* build_array(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, const char* name, Step&& step) {
    quorvel_xpath_map_value* m = read_map(c, args[0], true, name);
    if (!m) return nullptr;
    function_arg f;
    if (!read_function(c, args[1], 1, name, f)) {
        xpath_map_value_release(m);
        return nullptr;
    }
    size_t n = m->count, kept = 0;
    auto** members = static_cast<nodeset**>(std::calloc(n ? n : 1, sizeof(nodeset*)));
    bool ok = members != nullptr;
    if (!ok) oom(c);
    borrowed_value v;
    for (size_t i = 0; ok && i < n; i++) ok = step(f, v.sequence(m->entries[i].value), members, kept);
    xpath_map_value_release(m);
    if (!ok) {
        for (size_t i = 0; members && i < kept; i++) xpath_nodeset_free(members[i]);
        std::free(members);
        return nullptr;
    }
    result* r = array_of(c, members, kept);
    std::free(members);
    return r;
}

// ---- Folds ---------------------------------------------------------------------------------------------

// Folds items (or array members) from the left or the right, starting from
// the value of args[1] with the two-argument function of args[2]: the
// accumulator goes first from the left and second from the right.
result* fold(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, const nodeset* items,
             const quorvel_xpath_map_value* array, bool left, const char* name) {
    result* zero = fn_evaluate(c, args[1]);
    function_arg f;
    if (!zero || !read_function(c, args[2], 2, name, f)) {
        xpath_result_free(zero);
        return nullptr;
    }
    size_t n = array ? array->count : items->count;
    result* acc = zero;
    borrowed_value v;
    for (size_t k = 0; acc && k < n; k++) {
        size_t i = left ? k : n - 1 - k;
        const result* x = array ? v.sequence(array->entries[i].value) : v.item(items->items[i]);
        result* next = left ? call(c, f, acc, x) : call(c, f, x, acc);
        xpath_result_free(acc);
        acc = next;
    }
    return acc;
}

result* fold_sequence(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, bool left, const char* name) {
    nodeset* items = fn_argument_items(c, args[0]);
    if (!items) return nullptr;
    result* r = fold(c, args, items, nullptr, left, name);
    xpath_nodeset_free(items);
    return r;
}

result* fold_array(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, bool left, const char* name) {
    quorvel_xpath_map_value* m = read_map(c, args[0], true, name);
    if (!m) return nullptr;
    result* r = fold(c, args, nullptr, m, left, name);
    xpath_map_value_release(m);
    return r;
}

}  // namespace

// ---- Function items -------------------------------------------------------------------------------------

quorvel_xpath_result* fn_function_lookup(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* names = fn_argument_items(c, args[0]);
    if (!names) return nullptr;
    if (names->count != 1) {
        xpath_nodeset_free(names);
        return type_error(c, "%s expects one function name", "function-lookup");
    }
    char* written = function_name_text(names->items[0]);
    xpath_nodeset_free(names);
    if (!written) return oom(c);
    double arity = 0;
    if (!fn_arg_number(c, args[1], &arity)) {
        std::free(written);
        return nullptr;
    }
    char name[160];
    bool named = registry_name(written, name, sizeof name);
    std::free(written);
    const quorvel_xpath_registry_entry* e = named ? xpath_resolve_function(c, name) : nullptr;
    bool found = e && arity >= 0 && arity == std::floor(arity) && arity <= INT32_MAX && arity >= e->min_args &&
                 (e->max_args < 0 || arity <= e->max_args);
    if (!found) return fn_sequence_result(c, fn_owning_set());
    char text[200];
    int n = std::snprintf(text, sizeof text, "%cFR%s#%ld", kXpathTagMark, name, static_cast<long>(arity));
    return written_item(c, text, n, sizeof text);
}

quorvel_xpath_result* fn_function_name(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    function_arg f;
    if (!read_function(c, args[0], -1, "function-name", f)) return nullptr;
    const quorvel_xpath_carrier* k = as_carrier(f.item);
    // Only named references have a name; inline functions, maps and arrays
    // are anonymous.
    if (k->ref_kind != XPATH_REF_NONE || k->length <= 3 || k->text[1] != 'F' || k->text[2] != 'R')
        return fn_sequence_result(c, fn_owning_set());
    const char* name = k->text + 3;
    const char* hash = std::strrchr(name, '#');
    size_t length = hash ? static_cast<size_t>(hash - name) : std::strlen(name);
    if (length > 3 && !std::memcmp(name, "fn:", 3)) {
        name += 3;
        length -= 3;
    }
    // Standard functions are registered without a prefix: their name
    // takes the conventional one. The namespace follows the lexical form.
    const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
    const char* uri = "";
    for (const known_namespace& ns : kNamespaces) {
        size_t p = std::strlen(ns.prefix);
        if (colon ? p == static_cast<size_t>(colon - name) + 1 && !std::memcmp(ns.prefix, name, p) : !p)
            uri = ns.uri;
    }
    char text[260];
    int n = std::snprintf(text, sizeof text, "%cZ%s%s%s%.*s", kXpathTagMark, uri, uri[0] ? "\x01" : "",
                          colon ? "" : "fn:", static_cast<int>(length), name);
    return written_item(c, text, n, sizeof text);
}

quorvel_xpath_result* fn_function_arity(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    function_arg f;
    if (!read_function(c, args[0], -1, "function-arity", f)) return nullptr;
    result* r = fn_number_result(c, static_cast<double>(f.arity));
    if (r) {
        r->exact_integer_set = 1;
        r->exact_integer = f.arity;
        r->type_name = "xs:integer";
    }
    return r;
}

quorvel_xpath_result* fn_apply(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    function_arg f;
    if (!read_function(c, args[0], -1, "apply", f)) return nullptr;
    quorvel_xpath_map_value* m = read_map(c, args[1], true, "apply");
    if (!m) return nullptr;
    if (static_cast<size_t>(f.arity) != m->count) {
        xpath_context_fail_code(c, "FOAP0001",
                                "FOAP0001: apply: the function takes %ld arguments, the array has %zu members", f.arity,
                                m->count);
        xpath_map_value_release(m);
        return nullptr;
    }
    // Each member, a whole sequence, is one argument, passed as it is.
    size_t n = m->count;
    result* values = n ? static_cast<result*>(std::calloc(n, sizeof(result))) : nullptr;
    const result** pointers = n ? static_cast<const result**>(std::malloc(n * sizeof(result*))) : nullptr;
    result* r = nullptr;
    if (n && (!values || !pointers)) {
        oom(c);
    } else {
        for (size_t i = 0; i < n; i++) {
            values[i].kind = XPATH_NODESET;
            values[i].value.nodeset = m->entries[i].value;
            pointers[i] = &values[i];
        }
        r = xpath_call_function_values(c, f.item, pointers, n);
    }
    std::free(values);
    std::free(pointers);
    xpath_map_value_release(m);
    return r;
}

// ---- Sequences ------------------------------------------------------------------------------------------

quorvel_xpath_result* fn_for_each(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* items = fn_argument_items(c, args[0]);
    if (!items) return nullptr;
    function_arg f;
    borrowed_value v;
    result* r = collect_calls(c, read_function(c, args[1], 1, "for-each", f), items->count,
                              [&](size_t i) { return call(c, f, v.item(items->items[i])); });
    xpath_nodeset_free(items);
    return r;
}

quorvel_xpath_result* fn_filter(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* items = fn_argument_items(c, args[0]);
    if (!items) return nullptr;
    function_arg f;
    nodeset* out = nullptr;
    bool ok = read_function(c, args[1], 1, "filter", f) && (out = fn_owning_set()) != nullptr;
    if (!ok && !out && !c->error[0]) oom(c);
    borrowed_value v;
    for (size_t i = 0; ok && i < items->count; i++) {
        int keep = call_predicate(c, f, v.item(items->items[i]), "filter");
        if (keep < 0) {
            ok = false;
        } else if (keep) {
            // The item moves over: items owns it and lets it go.
            if (xpath_nodeset_add_fast(out, items->items[i])) {
                items->items[i] = nullptr;
            } else {
                oom(c);
                ok = false;
            }
        }
    }
    close_gaps(items);
    xpath_nodeset_free(items);
    if (!ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    return fn_sequence_result(c, out);
}

quorvel_xpath_result* fn_fold_left(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return fold_sequence(c, args, true, "fold-left");
}

quorvel_xpath_result* fn_fold_right(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return fold_sequence(c, args, false, "fold-right");
}

quorvel_xpath_result* fn_for_each_pair(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    nodeset* first = fn_argument_items(c, args[0]);
    if (!first) return nullptr;
    nodeset* second = fn_argument_items(c, args[1]);
    if (!second) {
        xpath_nodeset_free(first);
        return nullptr;
    }
    function_arg f;
    size_t n = first->count < second->count ? first->count : second->count;
    borrowed_value a, b;
    result* r = collect_calls(c, read_function(c, args[2], 2, "for-each-pair", f), n, [&](size_t i) {
        return call(c, f, a.item(first->items[i]), b.item(second->items[i]));
    });
    xpath_nodeset_free(first);
    xpath_nodeset_free(second);
    return r;
}

// Orders items by their keys (the atomized items, or the atomized values
// of the key function, called once per item): numbers numerically, strings
// in code point order, other values by their own order; items with equal
// keys keep their order. Keys that cannot be compared are XPTY0004.
quorvel_xpath_result* fn_sort_seq(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    nodeset* items = fn_argument_items(c, args[0]);
    if (!items) return nullptr;
    function_arg f;
    if ((count > 1 && !read_collation(c, args[1])) || (count > 2 && !read_function(c, args[2], 1, "sort", f))) {
        xpath_nodeset_free(items);
        return nullptr;
    }
    size_t n = items->count;
    sort_keys keys;
    auto* ranges = static_cast<key_range*>(std::malloc((n ? n : 1) * sizeof(key_range)));
    auto* order = static_cast<size_t*>(std::malloc((n ? n : 1) * sizeof(size_t)));
    bool ok = ranges && order;
    if (!ok) oom(c);
    borrowed_value v;
    for (size_t i = 0; ok && i < n; i++) {
        ranges[i].first = keys.count;
        order[i] = i;
        if (f.item) {
            result* r = call(c, f, v.item(items->items[i]));
            if (!r) {
                ok = false;
                break;
            }
            nodeset* key = fn_owning_set();
            if (!key || !xpath_sequence_append(key, r, c->xquery_mode)) {
                if (!key) xpath_result_free(r);
                xpath_nodeset_free(key);
                oom(c);
                ok = false;
                break;
            }
            for (size_t k = 0; ok && k < key->count; k++)
                if (is_item(key->items[k])) ok = atomize(c, key->items[k], keys, 0);
            xpath_nodeset_free(key);
        } else {
            ok = atomize(c, items->items[i], keys, 0);
        }
        ranges[i].count = keys.count - ranges[i].first;
    }
    bool incomparable = false;
    if (ok && !merge_sort(keys, ranges, order, n, &incomparable)) {
        ok = false;
        if (incomparable) type_error(c, "%s: the sort keys cannot be compared", "sort");
        else oom(c);
    }
    nodeset* out = ok ? fn_owning_set() : nullptr;
    if (ok && !out) {
        oom(c);
        ok = false;
    }
    for (size_t i = 0; ok && i < n; i++) {
        if (!xpath_nodeset_add_fast(out, items->items[order[i]])) {
            oom(c);
            ok = false;
            break;
        }
        items->items[order[i]] = nullptr;
    }
    // Items that moved over are no longer items' to free.
    if (out) close_gaps(items);
    std::free(ranges);
    std::free(order);
    xpath_nodeset_free(items);
    if (!ok) {
        xpath_nodeset_free(out);
        return nullptr;
    }
    return fn_sequence_result(c, out);
}

// ---- Maps and arrays --------------------------------------------------------------------------------------

quorvel_xpath_result* fn_map_for_each(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    quorvel_xpath_map_value* m = read_map(c, args[0], false, "map:for-each");
    if (!m) return nullptr;
    function_arg f;
    borrowed_value k, v;
    result* r = collect_calls(c, read_function(c, args[1], 2, "map:for-each", f), m->count, [&](size_t i) {
        // The key as map:keys gives it.
        quorvel_node* key = xpath_synth_text(m->entries[i].key, m->entries[i].key_length);
        if (!key) return oom(c);
        result* value = call(c, f, k.item(key), v.sequence(m->entries[i].value));
        xpath_nodeset_dispose_node(key);
        return value;
    });
    xpath_map_value_release(m);
    return r;
}

quorvel_xpath_result* fn_array_for_each(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return build_array(c, args, "array:for-each",
                       [c](const function_arg& f, const result* member, nodeset** members, size_t& kept) {
                           result* r = call(c, f, member);
                           if (!r) return false;
                           nodeset* items = xpath_value_items(r);
                           xpath_result_free(r);
                           if (!items) {
                               oom(c);
                               return false;
                           }
                           members[kept++] = items;
                           return true;
                       });
}

quorvel_xpath_result* fn_array_filter(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return build_array(c, args, "array:filter",
                       [c](const function_arg& f, const result* member, nodeset** members, size_t& kept) {
                           int keep = call_predicate(c, f, member, "array:filter");
                           if (keep <= 0) return keep == 0;
                           nodeset* copy = xpath_value_items(member);
                           if (!copy) {
                               oom(c);
                               return false;
                           }
                           members[kept++] = copy;
                           return true;
                       });
}

quorvel_xpath_result* fn_array_fold_left(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return fold_array(c, args, true, "array:fold-left");
}

quorvel_xpath_result* fn_array_fold_right(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t) {
    return fold_array(c, args, false, "array:fold-right");
}
