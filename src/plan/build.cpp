// The plan build: checks the caller's records and makes the plan's own deep
// copy, so the caller may reuse its records at once.
#include <cstring>

#include "plan/plan.h"

namespace {

char* dup(const char* s, bool* ok) {
    if (!s) return nullptr;
    size_t n = std::strlen(s) + 1;
    auto* out = static_cast<char*>(quorvel_work_alloc(n));
    if (!out) {
        *ok = false;
        return nullptr;
    }
    std::memcpy(out, s, n);
    return out;
}

void free_attr_row(quorvel_plan_attr_row* r) {
    quorvel_work_free(const_cast<char*>(r->name));
    quorvel_work_free(const_cast<char*>(r->ns_uri));
    quorvel_work_free(const_cast<char*>(r->out_prefix));
    if (r->pairs) {
        for (uint16_t i = 0; i < r->pair_count; i++) {
            quorvel_work_free(const_cast<char*>(r->pairs[i].first));
            quorvel_work_free(const_cast<char*>(r->pairs[i].second));
        }
        quorvel_work_free(const_cast<quorvel_plan_pair*>(r->pairs));
    }
}

void free_child_row(quorvel_plan_child_row* r) {
    quorvel_work_free(const_cast<char*>(r->name));
    quorvel_work_free(const_cast<char*>(r->ns_uri));
    quorvel_work_free(const_cast<char*>(r->prefix));
    if (r->predicates) {
        for (uint16_t i = 0; i < r->predicate_count; i++) {
            quorvel_work_free(const_cast<char*>(r->predicates[i].attr_name));
            quorvel_work_free(const_cast<char*>(r->predicates[i].value));
        }
        quorvel_work_free(const_cast<quorvel_plan_predicate_row*>(r->predicates));
    }
}

// Copies one attribute row into out (zeroed beforehand). Status 0, -5, -1.
int copy_attr_row(const quorvel_plan_attr_row& in, quorvel_plan_attr_row* out) {
    *out = in;
    out->name = out->ns_uri = out->out_prefix = nullptr;
    out->pairs = nullptr;
    out->reserved2[0] = 0;
    if (!in.pairs || in.pair_count == 0) {
        out->pair_count = 0;
        out->pair_aux = 0;
    }
    bool ok = true;
    if (in.ns_mode == 1) {
        if (!in.ns_uri) return QUORVEL_ERR_INVALID_ARGUMENT;
        out->ns_uri = dup(in.ns_uri, &ok);
    }
    out->name = dup(in.name, &ok);
    out->out_prefix = dup(in.out_prefix, &ok);
    if (!ok) return QUORVEL_ERR_MEMORY;
    if (in.pair_count) {
        if (!in.pairs) return QUORVEL_ERR_MEMORY;
        auto* pairs = static_cast<quorvel_plan_pair*>(quorvel_work_calloc(in.pair_count * sizeof(quorvel_plan_pair)));
        if (!pairs) return QUORVEL_ERR_MEMORY;
        out->pairs = pairs;
        for (uint16_t i = 0; i < in.pair_count; i++) {
            pairs[i].first = dup(in.pairs[i].first, &ok);
            pairs[i].second = dup(in.pairs[i].second, &ok);
        }
        if (!ok) return QUORVEL_ERR_MEMORY;
    }
    return 0;
}

int copy_child_row(const quorvel_plan_child_row& in, uint32_t element_rows, quorvel_plan_child_row* out) {
    if (in.kind == kPlanNested && (in.element_row_index < 0 || uint32_t(in.element_row_index) >= element_rows))
        return QUORVEL_ERR_INVALID_ARGUMENT;
    if (in.kind == kPlanCatchAll &&
        (in.element_row_index < -1 || (in.element_row_index >= 0 && uint32_t(in.element_row_index) >= element_rows)))
        return QUORVEL_ERR_INVALID_ARGUMENT;
    *out = in;
    out->name = out->ns_uri = out->prefix = nullptr;
    out->predicates = nullptr;
    if (!in.predicates || in.predicate_count == 0) {
        out->predicate_count = 0;
        out->predicate_aux = 0;
    }
    bool ok = true;
    out->name = dup(in.name, &ok);
    out->prefix = dup(in.prefix, &ok);
    out->ns_uri = dup(in.ns_uri, &ok);
    if (!ok) return QUORVEL_ERR_MEMORY;
    if (in.predicate_count) {
        if (!in.predicates) return QUORVEL_ERR_MEMORY;
        auto* preds = static_cast<quorvel_plan_predicate_row*>(
            quorvel_work_calloc(in.predicate_count * sizeof(quorvel_plan_predicate_row)));
        if (!preds) return QUORVEL_ERR_MEMORY;
        out->predicates = preds;
        for (uint16_t i = 0; i < in.predicate_count; i++) {
            preds[i].attr_name = dup(in.predicates[i].attr_name, &ok);
            preds[i].value = dup(in.predicates[i].value, &ok);
        }
        if (!ok) return QUORVEL_ERR_MEMORY;
    }
    return 0;
}

int copy_element_row(const quorvel_plan_element_row& in, uint32_t element_rows, quorvel_plan_entry* out) {
    bool ok = true;
    out->name = dup(in.name, &ok);
    out->ns_mode = in.ns_mode;
    out->flags = in.flags;
    if (in.ns_uri) {
        out->ns_uri = dup(in.ns_uri, &ok);
        out->prefix = dup(in.prefix, &ok);
    }
    if (!ok) return QUORVEL_ERR_MEMORY;
    if (in.attr_row_count) {
        if (!in.attr_rows) return QUORVEL_ERR_INVALID_ARGUMENT;
        out->attr_rows =
            static_cast<quorvel_plan_attr_row*>(quorvel_work_calloc(in.attr_row_count * sizeof(quorvel_plan_attr_row)));
        if (!out->attr_rows) return QUORVEL_ERR_MEMORY;
        for (uint32_t i = 0; i < in.attr_row_count; i++) {
            int st = copy_attr_row(in.attr_rows[i], &out->attr_rows[i]);
            out->attr_row_count = i + 1;  // what is there is freed with the plan
            if (st) return st;
        }
    }
    if (in.child_row_count) {
        if (!in.child_rows) return QUORVEL_ERR_INVALID_ARGUMENT;
        out->child_rows = static_cast<quorvel_plan_child_row*>(
            quorvel_work_calloc(in.child_row_count * sizeof(quorvel_plan_child_row)));
        if (!out->child_rows) return QUORVEL_ERR_MEMORY;
        for (uint32_t i = 0; i < in.child_row_count; i++) {
            int st = copy_child_row(in.child_rows[i], element_rows, &out->child_rows[i]);
            if (st == QUORVEL_ERR_INVALID_ARGUMENT) return st;  // nothing was copied for this row
            out->child_row_count = i + 1;
            if (st) return st;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

QUORVEL_API int quorvel_plan_abi_version(void) { return 1; }
QUORVEL_API int quorvel_plan_spec_struct_size(void) { return sizeof(quorvel_plan_spec); }
QUORVEL_API int quorvel_plan_element_row_size(void) { return sizeof(quorvel_plan_element_row); }
QUORVEL_API int quorvel_plan_child_row_size(void) { return sizeof(quorvel_plan_child_row); }
QUORVEL_API int quorvel_plan_attr_row_size(void) { return sizeof(quorvel_plan_attr_row); }
QUORVEL_API int quorvel_plan_predicate_row_size(void) { return sizeof(quorvel_plan_predicate_row); }

QUORVEL_API void quorvel_plan_free(quorvel_plan* plan) {
    if (!plan) return;
    for (uint32_t e = 0; e < plan->element_row_count; e++) {
        quorvel_plan_entry* entry = &plan->entries[e];
        quorvel_work_free(entry->name);
        quorvel_work_free(entry->ns_uri);
        quorvel_work_free(entry->prefix);
        for (uint32_t i = 0; i < entry->attr_row_count; i++) free_attr_row(&entry->attr_rows[i]);
        quorvel_work_free(entry->attr_rows);
        for (uint32_t i = 0; i < entry->child_row_count; i++) free_child_row(&entry->child_rows[i]);
        quorvel_work_free(entry->child_rows);
    }
    quorvel_work_free(plan->entries);
    quorvel_work_free(plan);
}

QUORVEL_API quorvel_plan* quorvel_plan_build(const quorvel_plan_spec* spec, int* status) {
    if (status) *status = 0;
    auto fail = [&](int st) -> quorvel_plan* {
        if (status) *status = st;
        return nullptr;
    };
    if (!spec || !spec->element_rows || spec->element_row_count == 0) return fail(QUORVEL_ERR_NULL_ARGUMENT);
    if (spec->abi_version != 1) return fail(QUORVEL_ERR_INVALID_ARGUMENT);
    auto* plan = static_cast<quorvel_plan*>(quorvel_work_calloc(sizeof(quorvel_plan)));
    if (!plan) return fail(QUORVEL_ERR_MEMORY);
    uint32_t count = spec->element_row_count;
    plan->entries = static_cast<quorvel_plan_entry*>(quorvel_work_calloc(size_t(count) * sizeof(quorvel_plan_entry)));
    if (!plan->entries) {
        quorvel_work_free(plan);
        return fail(QUORVEL_ERR_MEMORY);
    }
    for (uint32_t e = 0; e < count; e++) {
        int st = copy_element_row(spec->element_rows[e], count, &plan->entries[e]);
        plan->element_row_count = e + 1;
        if (st) {
            quorvel_plan_free(plan);
            return fail(st);
        }
    }
    return plan;
}

}  // extern "C"
