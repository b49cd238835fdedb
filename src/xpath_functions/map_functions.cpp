// The map: functions (get, contains, put, remove, entry, find, size, keys,
// merge; map:size also serves array:size) over the engine's shared map
// values, and the argument helpers the array and JSON functions share.
// Maps are immutable: every function that changes one builds a new value,
// sharing nested maps and arrays by reference.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath_functions/functions.h"

namespace {

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

quorvel_xpath_result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

bool is_synthetic(const quorvel_node* n) {
    return n->kind == kXpathAttributeNode || n->kind == kXpathNamespaceNode || n->kind == kXpathCarrierNode;
}

const quorvel_xpath_carrier* as_carrier(const quorvel_node* n) {
    return is_item(n) && n->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(n) : nullptr;
}

char* copy_key(const char* key, size_t length) {
    char* k = static_cast<char*>(std::malloc(length + 1));
    if (!k) return nullptr;
    if (length) std::memcpy(k, key, length);
    k[length] = '\0';
    return k;
}

// Appends a copy of an entry (key and value) to a map built with room for it.
bool push_entry_copy(quorvel_xpath_map_value* out, const char* key, size_t key_length,
                     const quorvel_xpath_node_set* value) {
    char* k = copy_key(key, key_length);
    quorvel_xpath_node_set* v = k ? xpath_nodeset_deep_copy(value) : nullptr;
    if (!v) {
        std::free(k);
        return false;
    }
    out->entries[out->count++] = {k, key_length, v};
    return true;
}

// The key text of an argument by the map constructor's rules.
char* key_arg(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument) {
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return nullptr;
    char* key = xpath_map_key_text(c, r);
    xpath_result_free(r);
    return key;
}

// The key text of one item of a sequence of keys.
char* item_key(quorvel_xpath_context* c, const quorvel_node* item) {
    quorvel_xpath_node_set* one = fn_owning_set();
    quorvel_xpath_result* r = one ? xpath_result_new(XPATH_NODESET) : nullptr;
    if (!r || !fn_set_add_copy(one, item)) {
        xpath_nodeset_free(one);
        xpath_result_free(r);
        oom(c);
        return nullptr;
    }
    r->value.nodeset = one;
    char* key = xpath_map_key_text(c, r);
    xpath_result_free(r);
    return key;
}

quorvel_xpath_result* map_result(quorvel_xpath_context* c, quorvel_xpath_map_value* m) {
    quorvel_xpath_result* r = xpath_map_result(m);
    return r ? r : oom(c);
}

}  // namespace

// ---- Helpers shared with the array and JSON functions ----------------------------------------------

quorvel_xpath_node_set* fn_owning_set(size_t capacity) {
    quorvel_xpath_node_set* s =
        capacity > kXpathInlineSlots ? xpath_nodeset_new_with_capacity(capacity) : xpath_nodeset_new();
    if (s) s->owns_attributes = s->owns_namespaces = s->owns_carriers = s->is_sequence = 1;
    return s;
}

quorvel_xpath_node_set* fn_argument_value(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument) {
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return nullptr;
    quorvel_xpath_node_set* items = xpath_value_items(r);
    xpath_result_free(r);
    if (!items) oom(c);
    return items;
}

fn_map_list::~fn_map_list() {
    for (size_t i = 0; maps && i < count; i++) xpath_map_value_release(maps[i]);
    std::free(maps);
}

int fn_map_list::read(const quorvel_xpath_result* value, bool arrays) {
    const quorvel_xpath_node_set* s = value->kind == XPATH_NODESET ? value->value.nodeset : nullptr;
    size_t n = s ? s->count : 0;
    maps = static_cast<quorvel_xpath_map_value**>(std::calloc(n ? n : 1, sizeof(quorvel_xpath_map_value*)));
    if (!maps) return -1;
    count = n;
    if (value->kind != XPATH_NODESET) return 0;
    for (size_t i = 0; i < n; i++) {
        if (!is_item(s->items[i])) continue;
        maps[i] = xpath_map_of_item(s->items[i]);
        if (!maps[i] || (maps[i]->is_array != 0) != arrays) return 0;
        total += maps[i]->count;
    }
    return 1;
}

fn_item_walk::~fn_item_walk() {
    while (depth) xpath_map_value_release(stack[--depth].holder);
    std::free(stack);
}

bool fn_item_walk::push(const quorvel_xpath_node_set* set, quorvel_xpath_map_value* holder) {
    if (depth == capacity) {
        size_t grown = capacity ? capacity * 2 : 16;
        auto* s = static_cast<frame*>(std::realloc(stack, grown * sizeof(frame)));
        if (!s) {
            xpath_map_value_release(holder);
            return false;
        }
        stack = s;
        capacity = grown;
    }
    stack[depth++] = {set, 0, holder};
    return true;
}

bool fn_item_walk::enter(quorvel_xpath_map_value* map) {
    // One frame per value, pushed last to first.
    for (size_t i = map->count; i-- > 0;) {
        xpath_map_value_retain(map);
        if (!push(map->entries[i].value, map)) return false;
    }
    return true;
}

const quorvel_node* fn_item_walk::next() {
    while (depth) {
        frame& top = stack[depth - 1];
        if (top.next >= top.set->count) {
            xpath_map_value_release(top.holder);
            depth--;
            continue;
        }
        const quorvel_node* item = top.set->items[top.next++];
        if (is_item(item)) return item;
    }
    return nullptr;
}

quorvel_xpath_result* fn_sequence_result(quorvel_xpath_context* c, quorvel_xpath_node_set* set) {
    quorvel_xpath_result* r = set ? xpath_result_new(XPATH_NODESET) : nullptr;
    if (!r) {
        xpath_nodeset_free(set);
        return oom(c);
    }
    r->value.nodeset = set;
    return r;
}

bool fn_set_add_owned(quorvel_xpath_node_set* set, quorvel_node* item) {
    if (!item) return false;
    if (!xpath_nodeset_add_fast(set, item)) {
        xpath_nodeset_dispose_node(item);
        return false;
    }
    return true;
}

bool fn_set_add_copy(quorvel_xpath_node_set* set, const quorvel_node* item) {
    if (is_synthetic(item)) return fn_set_add_owned(set, xpath_synthetic_duplicate(item));
    return xpath_nodeset_add_fast(set, const_cast<quorvel_node*>(item)) != 0;
}

quorvel_xpath_map_value* fn_map_arg(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument,
                                    const char* function, int want) {
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return nullptr;
    quorvel_xpath_map_value* m = nullptr;
    const quorvel_node* only = nullptr;
    if (r->kind == XPATH_NODESET && fn_item_count(r->value.nodeset, &only) == 1) m = xpath_map_of_item(only);
    xpath_result_free(r);
    if (m && want >= 0 && (m->is_array != 0) != (want == 1)) {
        xpath_map_value_release(m);
        m = nullptr;
    }
    if (!m)
        xpath_context_fail_code(c, "XPTY0004", "%s expects one %s", function,
                                want == 0 ? "map" : want == 1 ? "array" : "map or array");
    return m;
}

bool fn_integer_arg(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, const char* function,
                    int64_t* out) {
    quorvel_xpath_result* r = fn_evaluate(c, argument);
    if (!r) return false;
    bool ok = false, cast_failed = false;
    if (r->kind == XPATH_NUMBER) {
        const char* t = r->type_name;
        bool integer_typed = r->exact_integer_set || !t || !std::strcmp(t, "xs:integer") ||
                             (std::strcmp(t, "xs:double") && std::strcmp(t, "xs:float") && std::strcmp(t, "xs:decimal"));
        double v = r->value.number;
        if (r->exact_integer_set) {
            *out = r->exact_integer;
            ok = true;
        } else if (integer_typed && v == v && v >= -9.2e18 && v <= 9.2e18 && v == static_cast<double>(static_cast<int64_t>(v))) {
            *out = static_cast<int64_t>(v);
            ok = true;
        }
    } else if (r->kind == XPATH_NODESET && r->value.nodeset) {
        const quorvel_node* only = nullptr;
        size_t n = fn_item_count(r->value.nodeset, &only);
        const quorvel_xpath_carrier* k = n == 1 ? as_carrier(only) : nullptr;
        const char* digits = nullptr;
        char* owned = nullptr;
        if (k && k->text && k->length > 2 && k->text[0] == kXpathTagMark && k->text[1] == kXpathTagInteger) {
            digits = k->text + 2;
        } else if (n == 1 && (!k || (k->text && k->length > 1 && k->text[0] == kXpathTagMark &&
                                     (k->text[1] == 'U' || k->text[1] == kXpathTagAttribute ||
                                      k->text[1] == kXpathTagNodeRef)))) {
            owned = get_node_text(only);  // an untyped value is cast
            digits = owned;
            cast_failed = true;
        }
        if (digits) {
            while (*digits == ' ' || *digits == '\t' || *digits == '\n' || *digits == '\r') digits++;
            char* end = nullptr;
            long long v = std::strtoll(digits, &end, 10);
            while (end && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')) end++;
            if (end && end != digits && !*end) {
                *out = v;
                ok = true;
            }
        }
        std::free(owned);
    }
    xpath_result_free(r);
    if (!ok) {
        if (cast_failed) xpath_context_fail_code(c, "FORG0001", "%s: the position is not an integer", function);
        else xpath_context_fail_code(c, "XPTY0004", "%s expects an xs:integer position", function);
    }
    return ok;
}

const quorvel_node* fn_option_item(quorvel_xpath_context* c, const quorvel_xpath_map_value* options,
                                   const char* name, bool* bad) {
    if (!options || options->is_array) return nullptr;
    const quorvel_xpath_map_entry* e = xpath_map_find(options, name, std::strlen(name));
    if (!e || !e->value) return nullptr;
    const quorvel_node* only = nullptr;
    if (fn_item_count(e->value, &only) > 1) {
        xpath_context_fail_code(c, "XPTY0004", "Option %s takes a single value", name);
        *bad = true;
        return nullptr;
    }
    return only;
}

bool fn_option_boolean(quorvel_xpath_context* c, const quorvel_xpath_map_value* options, const char* name,
                       bool fallback, bool* out) {
    bool bad = false;
    const quorvel_node* item = fn_option_item(c, options, name, &bad);
    if (bad) return false;
    *out = fallback;
    if (!item) return true;
    const quorvel_xpath_carrier* k = as_carrier(item);
    if (k && k->text && k->length == 3 && k->text[0] == kXpathTagMark && k->text[1] == kXpathTagBoolean) {
        *out = k->text[2] == 't';
        return true;
    }
    xpath_context_fail_code(c, "XPTY0004", "Option %s takes a boolean", name);
    return false;
}

// ---- The map: functions ------------------------------------------------------------------------------

quorvel_xpath_result* fn_map_size(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:size", -1);
    if (!m) return nullptr;
    quorvel_xpath_result* r = fn_number_result(c, static_cast<double>(m->count));
    if (r) {
        r->exact_integer_set = 1;
        r->exact_integer = static_cast<int64_t>(m->count);
        r->type_name = "xs:integer";
    }
    xpath_map_value_release(m);
    return r;
}

quorvel_xpath_result* fn_map_keys(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:keys", -1);
    if (!m) return nullptr;
    quorvel_xpath_result* r = seq_new();
    bool ok = r != nullptr;
    for (size_t i = 0; ok && i < m->count; i++) {
        if (m->is_array) {
            char key[24];
            std::snprintf(key, sizeof key, "\x03N%zu", i + 1);
            ok = seq_push_str(r, key);
        } else {
            ok = seq_push_str(r, m->entries[i].key);
        }
    }
    xpath_map_value_release(m);
    if (!ok) {
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}

quorvel_xpath_result* fn_map_get(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:get", 0);
    if (!m) return nullptr;
    char* key = key_arg(c, args[1]);
    quorvel_xpath_result* r = nullptr;
    if (key) {
        const quorvel_xpath_map_entry* e = xpath_map_find(m, key, std::strlen(key));
        r = fn_sequence_result(c, e ? xpath_nodeset_deep_copy(e->value) : fn_owning_set());
    }
    std::free(key);
    xpath_map_value_release(m);
    return r;
}

quorvel_xpath_result* fn_map_contains(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:contains", 0);
    if (!m) return nullptr;
    char* key = key_arg(c, args[1]);
    quorvel_xpath_result* r = key ? fn_boolean_result(c, xpath_map_find(m, key, std::strlen(key)) != nullptr) : nullptr;
    std::free(key);
    xpath_map_value_release(m);
    return r;
}

quorvel_xpath_result* fn_map_put(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 3) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:put", 0);
    if (!m) return nullptr;
    char* key = key_arg(c, args[1]);
    quorvel_xpath_node_set* value = key ? fn_argument_value(c, args[2]) : nullptr;
    quorvel_xpath_map_value* out = value ? xpath_map_value_new(m->count + 1, 0) : nullptr;
    bool ok = out != nullptr;
    if (value && !out) oom(c);
    size_t key_length = key ? std::strlen(key) : 0;
    for (size_t i = 0; ok && i < m->count; i++) {
        const quorvel_xpath_map_entry& e = m->entries[i];
        if (e.key_length == key_length && !std::memcmp(e.key, key, key_length)) continue;
        ok = push_entry_copy(out, e.key, e.key_length, e.value);
        if (!ok) oom(c);
    }
    xpath_map_value_release(m);
    if (!ok) {
        std::free(key);
        xpath_nodeset_free(value);
        xpath_map_value_release(out);
        return nullptr;
    }
    out->entries[out->count++] = {key, key_length, value};
    xpath_map_value_seal(out, true);
    return map_result(c, out);
}

quorvel_xpath_result* fn_map_remove(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    quorvel_xpath_map_value* m = fn_map_arg(c, args[0], "map:remove", 0);
    if (!m) return nullptr;
    quorvel_xpath_result* keys = fn_evaluate(c, args[1]);
    if (!keys) {
        xpath_map_value_release(m);
        return nullptr;
    }
    // The key texts to drop, sorted so each entry is looked up in log time.
    size_t n = 0;
    char** drop = nullptr;
    bool ok = true;
    if (keys->kind != XPATH_NODESET) {
        drop = static_cast<char**>(std::malloc(sizeof(char*)));
        if (drop) drop[0] = xpath_map_key_text(c, keys);
        ok = drop && drop[0];
        if (drop && drop[0]) n = 1;
        if (!drop) oom(c);
    } else if (const quorvel_xpath_node_set* s = keys->value.nodeset) {
        drop = static_cast<char**>(std::calloc(s->count ? s->count : 1, sizeof(char*)));
        if (!drop) ok = oom(c) != nullptr;
        for (size_t i = 0; ok && i < s->count; i++) {
            if (!is_item(s->items[i])) continue;
            drop[n] = item_key(c, s->items[i]);
            if (!drop[n]) ok = false;
            else n++;
        }
    }
    xpath_result_free(keys);
    quorvel_xpath_map_value* out = ok ? xpath_map_value_new(m->count, 0) : nullptr;
    if (ok && !out) ok = oom(c) != nullptr;
    if (ok) std::sort(drop, drop + n, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    for (size_t i = 0; ok && i < m->count; i++) {
        const quorvel_xpath_map_entry& e = m->entries[i];
        // Keys hold no NUL byte, so strcmp order is the map's key order.
        if (std::binary_search(drop, drop + n, e.key, [](const char* a, const char* b) { return std::strcmp(a, b) < 0; }))
            continue;
        ok = push_entry_copy(out, e.key, e.key_length, e.value);
        if (!ok) oom(c);
    }
    for (size_t i = 0; i < n; i++) std::free(drop[i]);
    std::free(drop);
    xpath_map_value_release(m);
    if (!ok) {
        xpath_map_value_release(out);
        return nullptr;
    }
    return map_result(c, out);
}

quorvel_xpath_result* fn_map_entry(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    char* key = key_arg(c, args[0]);
    if (!key) return nullptr;
    quorvel_xpath_node_set* value = fn_argument_value(c, args[1]);
    quorvel_xpath_map_value* out = value ? xpath_map_value_new(1, 0) : nullptr;
    if (!out) {
        if (value) oom(c);
        std::free(key);
        xpath_nodeset_free(value);
        return nullptr;
    }
    out->entries[out->count++] = {key, std::strlen(key), value};
    return map_result(c, out);
}

// Every value stored under the key in any map found in the input, at any
// depth (through map values and array members), as the members of an array.
// The walk keeps its own stack: values nest as deep as data can make them.
quorvel_xpath_result* fn_map_find(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 2) return nullptr;
    quorvel_xpath_result* input = fn_evaluate(c, args[0]);
    if (!input) return nullptr;
    char* key = key_arg(c, args[1]);
    quorvel_xpath_node_set* items = key ? xpath_value_items(input) : nullptr;
    xpath_result_free(input);
    if (key && !items) oom(c);
    size_t key_length = key ? std::strlen(key) : 0;
    fn_item_walk walk;
    quorvel_xpath_map_value* found = items ? xpath_map_value_new(8, 1) : nullptr;
    size_t found_capacity = 8;
    bool ok = found != nullptr;
    if (items && !found) oom(c);
    if (ok) ok = walk.push(items, nullptr);
    while (ok) {
        const quorvel_node* item = walk.next();
        if (!item) break;
        quorvel_xpath_map_value* m = xpath_map_of_item(item);
        if (!m) continue;
        if (!m->is_array) {
            const quorvel_xpath_map_entry* e = xpath_map_find(m, key, key_length);
            if (e) {
                if (found->count == found_capacity) {
                    size_t grown = found_capacity * 2;
                    auto* entries = static_cast<quorvel_xpath_map_entry*>(
                        std::realloc(found->entries, grown * sizeof(quorvel_xpath_map_entry)));
                    if (!entries) {
                        xpath_map_value_release(m);
                        ok = false;
                        break;
                    }
                    found->entries = entries;
                    found_capacity = grown;
                }
                quorvel_xpath_node_set* v = xpath_nodeset_deep_copy(e->value);
                if (!v) {
                    xpath_map_value_release(m);
                    ok = false;
                    break;
                }
                found->entries[found->count++] = {nullptr, 0, v};
            }
        }
        // Visit the values (or members) of this map after it, in order.
        ok = walk.enter(m);
        xpath_map_value_release(m);
    }
    if (!ok && items && found) oom(c);
    xpath_nodeset_free(items);
    std::free(key);
    if (!ok) {
        xpath_map_value_release(found);
        return nullptr;
    }
    return map_result(c, found);
}

// map:merge(maps, options?): duplicates "use-first" (the default),
// "use-last", "use-any", "combine" (the values joined in map order) or
// "reject" (FOJS0003).
quorvel_xpath_result* fn_map_merge(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 1 || count > 2) return nullptr;
    enum { USE_FIRST, USE_LAST, COMBINE, REJECT } mode = USE_FIRST;
    if (count == 2) {
        quorvel_xpath_map_value* options = fn_map_arg(c, args[1], "map:merge", 0);
        if (!options) return nullptr;
        bool bad = false;
        const quorvel_node* d = fn_option_item(c, options, "duplicates", &bad);
        char* text = d ? get_node_text(d) : nullptr;
        if (text) {
            if (!std::strcmp(text, "use-last")) mode = USE_LAST;
            else if (!std::strcmp(text, "combine")) mode = COMBINE;
            else if (!std::strcmp(text, "reject")) mode = REJECT;
            else if (std::strcmp(text, "use-first") && std::strcmp(text, "use-any")) bad = true;
            if (bad) xpath_context_fail_code(c, "FOJS0005", "map:merge: invalid duplicates option '%s'", text);
        }
        std::free(text);
        xpath_map_value_release(options);
        if (bad) return nullptr;
    }
    quorvel_xpath_result* in = fn_evaluate(c, args[0]);
    if (!in) return nullptr;
    fn_map_list list;
    int read = list.read(in, false);
    if (read < 0) {
        xpath_result_free(in);
        return oom(c);
    }
    bool ok = read > 0;
    size_t n = list.count, total = list.total;
    quorvel_xpath_map_value** maps = list.maps;
    quorvel_xpath_result* r = nullptr;
    // Every entry of every map, ordered by key and, among equal keys, by map.
    struct ref {
        const quorvel_xpath_map_entry* entry;
        size_t order;
    };
    ref* refs = ok ? static_cast<ref*>(std::malloc((total ? total : 1) * sizeof(ref))) : nullptr;
    if (!ok) {
        xpath_context_fail_code(c, "XPTY0004", "map:merge expects a sequence of maps");
    } else if (!refs) {
        oom(c);
        ok = false;
    } else {
        size_t k = 0;
        for (size_t i = 0; i < n; i++)
            for (size_t j = 0; maps[i] && j < maps[i]->count; j++, k++) refs[k] = {&maps[i]->entries[j], k};
        std::sort(refs, refs + total, [](const ref& a, const ref& b) {
            size_t m = a.entry->key_length < b.entry->key_length ? a.entry->key_length : b.entry->key_length;
            int d = std::memcmp(a.entry->key, b.entry->key, m);
            if (d) return d < 0;
            if (a.entry->key_length != b.entry->key_length) return a.entry->key_length < b.entry->key_length;
            return a.order < b.order;
        });
        quorvel_xpath_map_value* out = xpath_map_value_new(total, 0);
        ok = out != nullptr;
        for (size_t i = 0; ok && i < total;) {
            size_t j = i + 1;
            while (j < total && refs[j].entry->key_length == refs[i].entry->key_length &&
                   !std::memcmp(refs[j].entry->key, refs[i].entry->key, refs[i].entry->key_length))
                j++;
            if (j - i > 1 && mode == REJECT) {
                xpath_context_fail_code(c, "FOJS0003", "map:merge: duplicate key '%s'", refs[i].entry->key);
                ok = false;
                break;
            }
            const quorvel_xpath_map_entry* chosen = refs[mode == USE_LAST ? j - 1 : i].entry;
            ok = push_entry_copy(out, chosen->key, chosen->key_length, chosen->value);
            for (size_t k = i + 1; ok && mode == COMBINE && k < j; k++) {
                quorvel_xpath_node_set* joined = out->entries[out->count - 1].value;
                const quorvel_xpath_node_set* more = refs[k].entry->value;
                for (size_t m = 0; ok && m < more->count; m++)
                    if (is_item(more->items[m])) ok = fn_set_add_copy(joined, more->items[m]);
            }
            if (!ok) oom(c);
            i = j;
        }
        if (ok) r = map_result(c, out);
        else xpath_map_value_release(out);
    }
    std::free(refs);
    xpath_result_free(in);
    return r;
}
