// map:size (also array:size), map:keys and map:merge over the engine's
// shared map values.
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

// The one map or array an argument gives, with a reference for the caller;
// NULL with the context error otherwise.
quorvel_xpath_map_value* single_map(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument,
                                    const char* function) {
    quorvel_xpath_result* r = evaluate_expr(c, argument);
    if (!r) return nullptr;
    quorvel_xpath_map_value* m = nullptr;
    const quorvel_xpath_node_set* s = r->kind == XPATH_NODESET ? r->value.nodeset : nullptr;
    size_t items = 0;
    const quorvel_node* only = nullptr;
    for (size_t i = 0; s && i < s->count; i++)
        if (is_item(s->items[i])) {
            only = s->items[i];
            items++;
        }
    if (items == 1) m = xpath_map_of_item(only);
    xpath_result_free(r);
    if (!m) xpath_context_fail_code(c, "XPTY0004", "%s expects one map or array", function);
    return m;
}

}  // namespace

quorvel_xpath_result* fn_map_size(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_map_value* m = single_map(c, args[0], "map:size");
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
    quorvel_xpath_map_value* m = single_map(c, args[0], "map:keys");
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

// Of keys that occur in several maps, the first map's entry stays.
quorvel_xpath_result* fn_map_merge(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    quorvel_xpath_result* in = evaluate_expr(c, args[0]);
    if (!in) return nullptr;
    const quorvel_xpath_node_set* s = in->kind == XPATH_NODESET ? in->value.nodeset : nullptr;
    size_t n = s ? s->count : 0;
    quorvel_xpath_map_value** maps =
        static_cast<quorvel_xpath_map_value**>(std::calloc(n ? n : 1, sizeof(quorvel_xpath_map_value*)));
    if (!maps) {
        xpath_result_free(in);
        return oom(c);
    }
    bool ok = in->kind == XPATH_NODESET;
    size_t total = 0;
    for (size_t i = 0; ok && i < n; i++) {
        if (!is_item(s->items[i])) continue;
        maps[i] = xpath_map_of_item(s->items[i]);
        if (!maps[i] || maps[i]->is_array) ok = false;
        else total += maps[i]->count;
    }
    quorvel_xpath_result* r = nullptr;
    if (!ok) {
        xpath_context_fail_code(c, "XPTY0004", "map:merge expects a sequence of maps");
    } else {
        quorvel_xpath_map_value* out = xpath_map_value_new(total, 0);
        ok = out != nullptr;
        for (size_t i = 0; ok && i < n; i++) {
            for (size_t k = 0; maps[i] && ok && k < maps[i]->count; k++) {
                const quorvel_xpath_map_entry& e = maps[i]->entries[k];
                char* key = static_cast<char*>(std::malloc(e.key_length + 1));
                quorvel_xpath_node_set* value = key ? xpath_nodeset_deep_copy(e.value) : nullptr;
                if (!value) {
                    std::free(key);
                    ok = false;
                    break;
                }
                std::memcpy(key, e.key, e.key_length + 1);
                out->entries[out->count++] = {key, e.key_length, value};
            }
        }
        if (ok) {
            xpath_map_value_seal(out, true);
            r = xpath_map_result(out);
        } else {
            xpath_map_value_release(out);
        }
        if (!r) oom(c);
    }
    for (size_t i = 0; i < n; i++) xpath_map_value_release(maps[i]);
    std::free(maps);
    xpath_result_free(in);
    return r;
}
