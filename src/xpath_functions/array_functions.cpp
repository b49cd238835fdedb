// The array: functions (get, put, append, remove, subarray, head, tail,
// reverse, join, insert-before, flatten, sort) over the engine's shared map
// values. Members are whole sequences; a new array copies the member
// sequences it keeps (nested maps and arrays are shared by reference).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

using map_value = quorvel_xpath_map_value;
using nodeset = quorvel_xpath_node_set;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

quorvel_xpath_result* out_of_bounds(quorvel_xpath_context* c, const char* function, int64_t position, size_t size) {
    xpath_context_fail_code(c, "FOAY0001", "%s: array index %lld out of bounds (1 to %zu)", function,
                            static_cast<long long>(position), size);
    return nullptr;
}

// A new array of members taken from a source in order; members[i] == NULL
// entries of the plan are inserted values (taken over).
struct array_builder {
    map_value* out = nullptr;
    bool ok = true;
    explicit array_builder(size_t capacity) {
        out = xpath_map_value_new(capacity, 1);
        ok = out != nullptr;
    }
    void copy(const nodeset* member) {
        if (!ok) return;
        nodeset* v = xpath_nodeset_deep_copy(member);
        if (!v) {
            ok = false;
            return;
        }
        out->entries[out->count++] = {nullptr, 0, v};
    }
    void take(nodeset* member) {
        if (!ok || !member) {
            xpath_nodeset_free(member);
            ok = false;
            return;
        }
        out->entries[out->count++] = {nullptr, 0, member};
    }
    quorvel_xpath_result* finish(quorvel_xpath_context* c) {
        if (!ok) {
            xpath_map_value_release(out);
            return oom(c);
        }
        quorvel_xpath_result* r = xpath_map_result(out);
        return r ? r : oom(c);
    }
};

// Reads a position argument that must lie in 1 to last; false with the
// error (FOAY0001 outside, against the array's size).
bool position_arg(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                  const map_value* a, size_t last, int64_t* position) {
    if (!fn_integer_arg(c, argument, function, position)) return false;
    if (*position >= 1 && static_cast<uint64_t>(*position) <= last) return true;
    out_of_bounds(c, function, *position, a->count);
    return false;
}

}  // namespace

quorvel_xpath_result* fn_array_get(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:get", 1);
    if (!a) return nullptr;
    int64_t position = 0;
    quorvel_xpath_result* r = nullptr;
    if (position_arg(c, args[1], "array:get", a, a->count, &position))
        r = fn_sequence_result(c, xpath_nodeset_deep_copy(a->entries[position - 1].value));
    xpath_map_value_release(a);
    return r;
}

quorvel_xpath_result* fn_array_put(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 3) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:put", 1);
    if (!a) return nullptr;
    int64_t position = 0;
    quorvel_xpath_result* r = nullptr;
    if (position_arg(c, args[1], "array:put", a, a->count, &position)) {
        if (nodeset* member = fn_argument_value(c, args[2])) {
            array_builder b(a->count);
            for (size_t i = 0; i < a->count; i++) {
                if (i + 1 == static_cast<uint64_t>(position)) b.take(member);
                else b.copy(a->entries[i].value);
            }
            r = b.finish(c);
        }
    }
    xpath_map_value_release(a);
    return r;
}

quorvel_xpath_result* fn_array_append(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:append", 1);
    if (!a) return nullptr;
    quorvel_xpath_result* r = nullptr;
    if (nodeset* member = fn_argument_value(c, args[1])) {
        array_builder b(a->count + 1);
        for (size_t i = 0; i < a->count; i++) b.copy(a->entries[i].value);
        b.take(member);
        r = b.finish(c);
    }
    xpath_map_value_release(a);
    return r;
}

// array:remove(array, positions*): every listed position goes; one outside
// 1 to size fails with FOAY0001.
quorvel_xpath_result* fn_array_remove(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:remove", 1);
    if (!a) return nullptr;
    quorvel_xpath_result* positions = fn_evaluate(c, args[1]);
    bool* dropped = positions ? static_cast<bool*>(std::calloc(a->count ? a->count : 1, sizeof(bool))) : nullptr;
    bool ok = dropped != nullptr;
    if (positions && !dropped) oom(c);
    auto drop = [&](int64_t p) {
        if (p < 1 || static_cast<uint64_t>(p) > a->count) {
            out_of_bounds(c, "array:remove", p, a->count);
            return false;
        }
        dropped[p - 1] = true;
        return true;
    };
    if (ok && positions->kind == XPATH_NUMBER) {
        double v = positions->value.number;
        bool whole = positions->exact_integer_set ||
                     (std::floor(v) == v && !(positions->type_name && std::strcmp(positions->type_name, "xs:integer")));
        if (!whole) {
            xpath_context_fail_code(c, "XPTY0004", "array:remove expects xs:integer positions");
            ok = false;
        } else {
            ok = drop(positions->exact_integer_set ? positions->exact_integer
                                                   : v < -1e18 ? -1 : v > 1e18 ? INT64_MAX : static_cast<int64_t>(v));
        }
    } else if (ok && positions->kind == XPATH_NODESET && positions->value.nodeset) {
        const nodeset* s = positions->value.nodeset;
        for (size_t i = 0; ok && i < s->count; i++) {
            if (!is_item(s->items[i])) continue;
            auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(s->items[i]);
            if (s->items[i]->kind != kXpathCarrierNode || !k->text || k->length < 3 || k->text[0] != kXpathTagMark ||
                k->text[1] != kXpathTagInteger) {
                xpath_context_fail_code(c, "XPTY0004", "array:remove expects xs:integer positions");
                ok = false;
                break;
            }
            char* end = nullptr;
            long long p = std::strtoll(k->text + 2, &end, 10);
            ok = drop(p);
        }
    } else if (ok && positions->kind != XPATH_NODESET) {
        xpath_context_fail_code(c, "XPTY0004", "array:remove expects xs:integer positions");
        ok = false;
    }
    quorvel_xpath_result* r = nullptr;
    if (ok) {
        array_builder b(a->count);
        for (size_t i = 0; i < a->count; i++)
            if (!dropped[i]) b.copy(a->entries[i].value);
        r = b.finish(c);
    }
    std::free(dropped);
    xpath_result_free(positions);
    xpath_map_value_release(a);
    return r;
}

// array:subarray(array, start, length?): start in 1 to size+1 and the end
// within the array (FOAY0001), a length not negative (FOAY0002).
quorvel_xpath_result* fn_array_subarray(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 2 || count > 3) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:subarray", 1);
    if (!a) return nullptr;
    int64_t start = 0, length = 0;
    quorvel_xpath_result* r = nullptr;
    bool ok = fn_integer_arg(c, args[1], "array:subarray", &start);
    if (ok && count == 3) ok = fn_integer_arg(c, args[2], "array:subarray", &length);
    else if (ok) length = static_cast<int64_t>(a->count) - start + 1;
    int64_t size = static_cast<int64_t>(a->count);
    if (ok && (start < 1 || start > size + 1)) {
        out_of_bounds(c, "array:subarray", start, a->count);
    } else if (ok && length < 0) {
        xpath_context_fail_code(c, "FOAY0002", "array:subarray: negative length %lld", static_cast<long long>(length));
    } else if (ok && length > size + 1 - start) {
        out_of_bounds(c, "array:subarray", start + length - 1, a->count);
    } else if (ok) {
        array_builder b(static_cast<size_t>(length));
        for (int64_t i = start - 1; i < start - 1 + length; i++) b.copy(a->entries[i].value);
        r = b.finish(c);
    }
    xpath_map_value_release(a);
    return r;
}

quorvel_xpath_result* fn_array_head(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:head", 1);
    if (!a) return nullptr;
    quorvel_xpath_result* r = a->count ? fn_sequence_result(c, xpath_nodeset_deep_copy(a->entries[0].value))
                                       : out_of_bounds(c, "array:head", 1, 0);
    xpath_map_value_release(a);
    return r;
}

quorvel_xpath_result* fn_array_tail(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:tail", 1);
    if (!a) return nullptr;
    quorvel_xpath_result* r = nullptr;
    if (!a->count) {
        out_of_bounds(c, "array:tail", 1, 0);
    } else {
        array_builder b(a->count - 1);
        for (size_t i = 1; i < a->count; i++) b.copy(a->entries[i].value);
        r = b.finish(c);
    }
    xpath_map_value_release(a);
    return r;
}

quorvel_xpath_result* fn_array_reverse(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:reverse", 1);
    if (!a) return nullptr;
    array_builder b(a->count);
    for (size_t i = a->count; i-- > 0;) b.copy(a->entries[i].value);
    xpath_map_value_release(a);
    return b.finish(c);
}

quorvel_xpath_result* fn_array_join(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_result* in = fn_evaluate(c, args[0]);
    if (!in) return nullptr;
    fn_map_list arrays;
    int read = arrays.read(in, true);
    quorvel_xpath_result* r = nullptr;
    if (read < 0) {
        oom(c);
    } else if (read == 0) {
        xpath_context_fail_code(c, "XPTY0004", "array:join expects a sequence of arrays");
    } else {
        array_builder b(arrays.total);
        for (size_t i = 0; i < arrays.count; i++) {
            const map_value* a = arrays.maps[i];
            for (size_t k = 0; a && k < a->count; k++) b.copy(a->entries[k].value);
        }
        r = b.finish(c);
    }
    xpath_result_free(in);
    return r;
}

quorvel_xpath_result* fn_array_insert_before(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 3) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:insert-before", 1);
    if (!a) return nullptr;
    int64_t position = 0;
    quorvel_xpath_result* r = nullptr;
    if (position_arg(c, args[1], "array:insert-before", a, a->count + 1, &position)) {
        if (nodeset* member = fn_argument_value(c, args[2])) {
            array_builder b(a->count + 1);
            for (size_t i = 0; i <= a->count; i++) {
                if (i + 1 == static_cast<uint64_t>(position)) b.take(member);
                if (i < a->count) b.copy(a->entries[i].value);
            }
            r = b.finish(c);
        }
    }
    xpath_map_value_release(a);
    return r;
}

// array:flatten(items): arrays replaced by their members, at any depth; the
// walk keeps its own stack.
quorvel_xpath_result* fn_array_flatten(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_result* in = fn_evaluate(c, args[0]);
    if (!in) return nullptr;
    nodeset* items = xpath_value_items(in);
    xpath_result_free(in);
    nodeset* out = items ? fn_owning_set() : nullptr;
    fn_item_walk walk;
    bool ok = out != nullptr && walk.push(items, nullptr);
    while (ok) {
        const quorvel_node* item = walk.next();
        if (!item) break;
        map_value* m = xpath_map_of_item(item);
        if (m && m->is_array) ok = walk.enter(m);
        else ok = fn_set_add_copy(out, item);
        xpath_map_value_release(m);
    }
    xpath_nodeset_free(items);
    if (!ok) {
        xpath_nodeset_free(out);
        return oom(c);
    }
    return fn_sequence_result(c, out);
}

// ---- array:sort -----------------------------------------------------------------------------------------

namespace {

// One atomic value of a sort key.
struct sort_atom {
    enum kind_t { NUMBER, STRING, BOOLEAN, TYPED } kind = STRING;
    char tag = 0;
    double number = 0;
    char* text = nullptr;  // owned (STRING, TYPED)
};

struct sort_key {
    sort_atom* atoms = nullptr;
    size_t count = 0;
};

void free_key(sort_key& k) {
    for (size_t i = 0; i < k.count; i++) std::free(k.atoms[i].text);
    std::free(k.atoms);
    k.atoms = nullptr;
    k.count = 0;
}

// Atomizes an item into a; false for a map, array or function (FOTY0013)
// or no memory.
bool atomize(quorvel_xpath_context* c, const quorvel_node* item, sort_atom* a) {
    if (item->kind == kXpathCarrierNode) {
        auto* k = reinterpret_cast<const quorvel_xpath_carrier*>(item);
        const char* t = k->text ? k->text : "";
        if (k->ref_kind == XPATH_REF_MAP || k->ref_kind == XPATH_REF_FUNCTION ||
            (t[0] == kXpathTagMark && t[1] == 'F' && (t[2] == 'R' || (t[2] == 'N' && t[3] == '\x02')))) {
            xpath_context_fail_code(c, "FOTY0013", "array:sort: a map, array or function has no sort key");
            return false;
        }
        if (t[0] == kXpathTagMark) {
            switch (t[1]) {
            case kXpathTagInteger:
            case kXpathTagDecimal:
            case kXpathTagDouble:
            case kXpathTagFloat:
                a->kind = sort_atom::NUMBER;
                a->number = xpath_string_to_number(t + 2);
                return true;
            case kXpathTagBoolean:
                a->kind = sort_atom::BOOLEAN;
                a->number = t[2] == 't' ? 1 : 0;
                return true;
            case 'U':
            case kXpathTagNodeRef:
            case kXpathTagAttribute:
                break;  // untyped: compared as a string
            default:
                a->kind = sort_atom::TYPED;
                a->tag = t[1];
                a->text = get_node_text(item);
                return a->text || oom(c);
            }
        }
    }
    a->kind = sort_atom::STRING;
    a->text = get_node_text(item);
    return a->text || oom(c);
}

bool key_of_value(quorvel_xpath_context* c, const quorvel_xpath_result* v, sort_key* key, int depth = 0) {
    nodeset* items = xpath_value_items(v);
    if (!items) return oom(c) != nullptr;
    key->atoms = static_cast<sort_atom*>(std::calloc(items->count ? items->count : 1, sizeof(sort_atom)));
    bool ok = key->atoms != nullptr;
    if (!ok) oom(c);
    size_t capacity = items->count ? items->count : 1;
    for (size_t i = 0; ok && i < items->count; i++) {
        if (!is_item(items->items[i])) continue;
        // An array is atomized into the atoms of its members, in order.
        map_value* m = xpath_map_of_item(items->items[i]);
        if (m && !m->is_array) {
            xpath_map_value_release(m);
            xpath_context_fail_code(c, "FOTY0013", "array:sort: a map has no sort key");
            ok = false;
            break;
        }
        if (m) {
            for (size_t k = 0; ok && k < m->count; k++) {
                quorvel_xpath_result member{};
                member.kind = XPATH_NODESET;
                member.value.nodeset = m->entries[k].value;
                sort_key inner;
                ok = depth < 100 ? key_of_value(c, &member, &inner, depth + 1)
                                 : (xpath_context_fail(c, "array:sort: arrays nested too deeply"), false);
                if (ok && key->count + inner.count > capacity) {
                    size_t grown = (key->count + inner.count) * 2;
                    auto* g = static_cast<sort_atom*>(std::realloc(key->atoms, grown * sizeof(sort_atom)));
                    if (!g) ok = oom(c) != nullptr;
                    else {
                        key->atoms = g;
                        capacity = grown;
                    }
                }
                if (ok) {
                    std::memcpy(key->atoms + key->count, inner.atoms, inner.count * sizeof(sort_atom));
                    key->count += inner.count;
                    std::free(inner.atoms);
                } else {
                    free_key(inner);
                }
            }
            xpath_map_value_release(m);
            continue;
        }
        if (key->count + 1 > capacity) {
            size_t grown = capacity * 2;
            auto* g = static_cast<sort_atom*>(std::realloc(key->atoms, grown * sizeof(sort_atom)));
            if (!g) {
                ok = oom(c) != nullptr;
                break;
            }
            key->atoms = g;
            capacity = grown;
        }
        key->atoms[key->count] = sort_atom{};
        ok = atomize(c, items->items[i], &key->atoms[key->count]);
        if (ok) key->count++;
    }
    xpath_nodeset_free(items);
    return ok;
}

// Order of two atoms: -1, 0 or 1; incomparable types set *bad.
int compare_atoms(const sort_atom& a, const sort_atom& b, bool* bad) {
    if (a.kind == sort_atom::NUMBER && b.kind == sort_atom::NUMBER) {
        bool an = std::isnan(a.number), bn = std::isnan(b.number);
        if (an || bn) return an && bn ? 0 : an ? -1 : 1;  // NaN sorts first
        return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
    }
    if (a.kind != b.kind || (a.kind == sort_atom::TYPED && a.tag != b.tag)) {
        *bad = true;
        return 0;
    }
    if (a.kind == sort_atom::BOOLEAN) return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
    int d = std::strcmp(a.text, b.text);  // UTF-8 byte order is code point order
    return d < 0 ? -1 : d > 0 ? 1 : 0;
}

int compare_keys(const sort_key& a, const sort_key& b, bool* bad) {
    for (size_t i = 0; i < a.count && i < b.count; i++) {
        int d = compare_atoms(a.atoms[i], b.atoms[i], bad);
        if (d || *bad) return d;
    }
    return a.count < b.count ? -1 : a.count > b.count ? 1 : 0;
}

}  // namespace

// array:sort(array, collation?, key?): members ordered by their atomized
// sort keys (the key function's results when one is given), compared item
// by item, stable; only the code point collation.
quorvel_xpath_result* fn_array_sort(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 3) return nullptr;
    map_value* a = fn_map_arg(c, args[0], "array:sort", 1);
    if (!a) return nullptr;
    if (count >= 2) {
        quorvel_xpath_result* coll = args[1] ? evaluate_expr(c, args[1]) : nullptr;
        bool empty = coll && coll->kind == XPATH_NODESET && (!coll->value.nodeset || !coll->value.nodeset->count);
        xpath_result_free(coll);
        if (!coll || (!empty && !fn_check_collation(c, args[1]))) {
            xpath_map_value_release(a);
            return nullptr;
        }
    }
    quorvel_xpath_result* function = nullptr;
    if (count == 3) {
        function = args[2] ? evaluate_expr(c, args[2]) : nullptr;
        if (!function || function->kind != XPATH_NODESET || !function->value.nodeset ||
            function->value.nodeset->count != 1) {
            if (function) xpath_context_fail_code(c, "XPTY0004", "array:sort expects one key function");
            xpath_result_free(function);
            xpath_map_value_release(a);
            return nullptr;
        }
    }
    size_t n = a->count;
    auto* keys = static_cast<sort_key*>(std::calloc(n ? n : 1, sizeof(sort_key)));
    auto* order = static_cast<size_t*>(std::malloc((n ? n : 1) * sizeof(size_t)));
    auto* scratch = static_cast<size_t*>(std::malloc((n ? n : 1) * sizeof(size_t)));
    bool ok = keys && order && scratch;
    if (!ok) oom(c);
    for (size_t i = 0; ok && i < n; i++) {
        order[i] = i;
        quorvel_xpath_result member{};
        member.kind = XPATH_NODESET;
        member.value.nodeset = a->entries[i].value;
        if (function) {
            const quorvel_xpath_result* argv[1] = {&member};
            quorvel_xpath_result* k = xpath_call_function_values(c, function->value.nodeset->items[0], argv, 1);
            ok = k && key_of_value(c, k, &keys[i]);
            xpath_result_free(k);
        } else {
            ok = key_of_value(c, &member, &keys[i]);
        }
    }
    // Stable bottom-up merge sort of the positions.
    bool bad = false;
    for (size_t width = 1; ok && width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n, hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) scratch[k++] = compare_keys(keys[order[j]], keys[order[i]], &bad) < 0 ? order[j++] : order[i++];
            while (i < mid) scratch[k++] = order[i++];
            while (j < hi) scratch[k++] = order[j++];
        }
        std::memcpy(order, scratch, n * sizeof(size_t));
    }
    quorvel_xpath_result* r = nullptr;
    if (ok && bad) {
        xpath_context_fail_code(c, "XPTY0004", "array:sort: sort keys of types that cannot be compared");
    } else if (ok) {
        array_builder b(n);
        for (size_t i = 0; i < n; i++) b.copy(a->entries[order[i]].value);
        r = b.finish(c);
    }
    for (size_t i = 0; keys && i < n; i++) free_key(keys[i]);
    std::free(keys);
    std::free(order);
    std::free(scratch);
    xpath_result_free(function);
    xpath_map_value_release(a);
    return r;
}
