// Results built from a caller's flat event list instead of a document.
#include <cstring>

#include "plan/plan.h"

namespace {

constexpr int32_t kOpLeaf = 0, kOpOpen = 1, kOpAttribute = 2, kOpClose = 3;

}  // namespace

extern "C" {

QUORVEL_API quorvel_plan_value* quorvel_plan_result_build(const quorvel_plan* plan, const quorvel_plan_event* events,
                                                          size_t count, int* status) {
    if (status) *status = 0;
    if (!plan || !events || count == 0) {
        if (status) *status = QUORVEL_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    plan_arena arena;
    if (!plan_arena_start(&arena)) {
        if (status) *status = QUORVEL_ERR_MEMORY;
        return nullptr;
    }
    // The open elements; the stack is working memory, never the call stack.
    plan_vec<quorvel_plan_value*> open;
    quorvel_plan_value* root = nullptr;
    int st = 0;
    for (size_t i = 0; i < count && !st; i++) {
        const quorvel_plan_event& ev = events[i];
        switch (ev.op) {
            case kOpOpen: {
                if (ev.element_row_index >= plan->element_row_count) {
                    st = QUORVEL_ERR_INVALID_ARGUMENT;
                    break;
                }
                const quorvel_plan_entry& entry = plan->entries[ev.element_row_index];
                if (ev.child_row_index < -1 ||
                    (ev.child_row_index >= 0 && uint32_t(ev.child_row_index) >= entry.child_row_count)) {
                    st = QUORVEL_ERR_INVALID_ARGUMENT;
                    break;
                }
                if (!open.size && root) {
                    st = QUORVEL_ERR_INVALID_ARGUMENT;  // a second root
                    break;
                }
                const quorvel_plan_child_row* row =
                    ev.child_row_index >= 0 ? &entry.child_rows[ev.child_row_index] : nullptr;
                plan_shape* shape =
                    plan_shape_new(&arena, row ? row->name : entry.name, ev.element_row_index, ev.child_row_index);
                if (!shape) {
                    st = QUORVEL_ERR_MEMORY;
                    break;
                }
                if (row) {
                    shape->prefix = arena.copy(row->prefix);
                    shape->ns_uri = arena.copy(row->ns_uri);
                    if ((row->prefix && !shape->prefix) || (row->ns_uri && !shape->ns_uri)) {
                        st = QUORVEL_ERR_MEMORY;
                        break;
                    }
                }
                quorvel_plan_value* v = open.size ? plan_value_new(&arena, kValueElement, shape)
                                                  : plan_value_new_root(&arena, shape);
                if (!v) {
                    st = QUORVEL_ERR_MEMORY;
                    break;
                }
                if (open.size) {
                    quorvel_plan_value* parent = open.data[open.size - 1];
                    v->order_index = parent->branch.child_count;
                    if (!plan_value_append(&arena, parent, v)) {
                        st = QUORVEL_ERR_MEMORY;
                        break;
                    }
                } else {
                    root = v;
                }
                if (!open.push(v)) st = QUORVEL_ERR_MEMORY;
                break;
            }
            case kOpLeaf: {
                if (!open.size || ev.element_row_index >= plan->element_row_count) {
                    st = QUORVEL_ERR_INVALID_ARGUMENT;
                    break;
                }
                const quorvel_plan_entry& entry = plan->entries[ev.element_row_index];
                // The leaf keeps the rows it names: output decides from them
                // whether it is an element or bare text.
                const char* name = static_cast<uint32_t>(ev.child_row_index) < entry.child_row_count
                                       ? entry.child_rows[ev.child_row_index].name
                                       : nullptr;
                plan_shape* shape = plan_shape_new(&arena, name, ev.element_row_index, ev.child_row_index);
                quorvel_plan_value* leaf = shape ? plan_value_new(&arena, kValueLeaf, shape) : nullptr;
                if (!leaf) {
                    st = QUORVEL_ERR_MEMORY;
                    break;
                }
                const char* bytes = ev.value ? static_cast<const char*>(ev.value) : "";
                size_t n = ev.value ? ev.value_length : 0;
                leaf->leaf.text = arena.copy(bytes, n);
                leaf->leaf.length = n;
                quorvel_plan_value* parent = open.data[open.size - 1];
                leaf->order_index = parent->branch.child_count;
                if (!leaf->leaf.text || !plan_value_append(&arena, parent, leaf)) st = QUORVEL_ERR_MEMORY;
                break;
            }
            case kOpAttribute: {
                if (!open.size || !ev.attr_name) {
                    st = QUORVEL_ERR_INVALID_ARGUMENT;
                    break;
                }
                quorvel_plan_value* v = open.data[open.size - 1];
                if (!plan_value_reserve_attributes(&arena, v, 1)) {
                    st = QUORVEL_ERR_MEMORY;
                    break;
                }
                size_t k = v->branch.attr_count;
                const char* name = arena.copy(ev.attr_name);
                const char* value = ev.value ? arena.copy(static_cast<const char*>(ev.value), ev.value_length)
                                             : arena.copy("", 0);
                if (!name || !value) {
                    st = QUORVEL_ERR_MEMORY;
                    break;
                }
                plan_attr_names(v)[k] = name;
                plan_attr_values(v)[k] = value;
                plan_attr_prefixes(v)[k] = nullptr;
                plan_attr_uris(v)[k] = nullptr;
                v->branch.attr_count = static_cast<uint32_t>(k + 1);
                break;
            }
            case kOpClose:
                if (!open.size)
                    st = QUORVEL_ERR_INVALID_ARGUMENT;
                else
                    open.size--;
                break;
            default: break;
        }
    }
    if (!st && (open.size || !root)) st = QUORVEL_ERR_INVALID_ARGUMENT;
    if (st) {
        plan_arena_release(arena.head);
        if (status) *status = st;
        return nullptr;
    }
    plan_value_own_chain(root, arena.head);
    return root;
}

}  // extern "C"
