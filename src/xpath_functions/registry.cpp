// The standard registry and the result builders every built-in shares.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "xpath_functions/functions.h"

namespace {

struct standard_row {
    const char* name;
    quorvel_xpath_function function;
    int min_args;
    int max_args;
};

#define QUORVEL_XPATH_ROW(name, function, min, max) {name, function, min, max},
constexpr standard_row kStandardRows[] = {QUORVEL_XPATH_STANDARD_ROWS(QUORVEL_XPATH_ROW)};
#undef QUORVEL_XPATH_ROW
static_assert(sizeof kStandardRows / sizeof kStandardRows[0] == kXpathStandardRowCount);

std::atomic<int> g_standard_ready{0};
pthread_mutex_t g_standard_mutex = PTHREAD_MUTEX_INITIALIZER;

char* copy_text(const char* text, size_t length) {
    char* c = static_cast<char*>(std::malloc(length + 1));
    if (!c) return nullptr;
    if (length) std::memcpy(c, text, length);
    c[length] = '\0';
    return c;
}

}  // namespace

void xpath_function_registry_init_standard(quorvel_xpath_function_registry* registry) {
    if (!registry) return;
    for (const standard_row& row : kStandardRows)
        xpath_function_registry_register(registry, row.name, row.function, row.min_args, row.max_args);
}

void xpath_standard_registry_ready(quorvel_xpath_function_registry* registry) {
    if (g_standard_ready.load(std::memory_order_acquire)) return;
    pthread_mutex_lock(&g_standard_mutex);
    if (!g_standard_ready.load(std::memory_order_relaxed)) {
        xpath_function_registry_init_standard(registry);
        // A build that ran out of memory is tried again by the next caller.
        if (registry->count == kXpathStandardRowCount) g_standard_ready.store(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_standard_mutex);
}

quorvel_xpath_result* seq_new() {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) return nullptr;
    quorvel_xpath_node_set* s = xpath_nodeset_new();
    if (!s) {
        xpath_result_free(r);
        return nullptr;
    }
    s->owns_carriers = 1;
    s->is_sequence = 1;
    r->value.nodeset = s;
    return r;
}

bool seq_push_str(quorvel_xpath_result* sequence, const char* text) {
    if (!sequence || sequence->kind != XPATH_NODESET || !sequence->value.nodeset) return false;
    if (!text) text = "";
    quorvel_node* item = xpath_synth_text(text, std::strlen(text));
    if (!item) return false;
    if (!xpath_nodeset_add_fast(sequence->value.nodeset, item)) {
        xpath_nodeset_dispose_node(item);
        return false;
    }
    return true;
}

char* scalar_str(const quorvel_xpath_result* r) {
    if (!r) return nullptr;
    switch (r->kind) {
    case XPATH_NUMBER: {
        if (r->exact_integer_set) {
            char buf[32];
            int n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(r->exact_integer));
            return copy_text(buf, static_cast<size_t>(n));
        }
        char* t = xpath_number_to_string_xq_typed(nullptr, 0, r->value.number);
        return t ? t : copy_text("", 0);
    }
    case XPATH_STRING: {
        const char* s = r->value.string ? r->value.string : "";
        return copy_text(s, std::strlen(s));
    }
    case XPATH_BOOLEAN:
        return r->value.boolean ? copy_text("true", 4) : copy_text("false", 5);
    default:
        return nullptr;
    }
}

quorvel_xpath_result* fn_boolean_result(quorvel_xpath_context* context, bool value) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) {
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.boolean = value ? 1 : 0;
    return r;
}

quorvel_xpath_result* fn_number_result(quorvel_xpath_context* context, double value) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NUMBER);
    if (!r) {
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.number = value;
    return r;
}

quorvel_xpath_result* fn_string_result_take(quorvel_xpath_context* context, char* text) {
    quorvel_xpath_result* r = text ? xpath_result_new(XPATH_STRING) : nullptr;
    if (!r) {
        std::free(text);
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.string = text;
    return r;
}

quorvel_xpath_result* fn_string_result_copy(quorvel_xpath_context* context, const char* text, size_t length) {
    return fn_string_result_take(context, copy_text(text ? text : "", text ? length : 0));
}

char* fn_arg_string(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument) {
    if (!argument) {
        xpath_context_fail(context, "NULL AST node");
        return nullptr;
    }
    quorvel_xpath_result* v = evaluate_expr(context, argument);
    if (!v) return nullptr;
    char* text = xpath_to_string(v);
    xpath_result_free(v);
    if (!text) xpath_context_fail(context, "Out of memory");
    return text;
}

bool fn_arg_number(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument, double* out) {
    if (!argument) {
        xpath_context_fail(context, "NULL AST node");
        return false;
    }
    quorvel_xpath_result* v = evaluate_expr(context, argument);
    if (!v) return false;
    *out = xpath_to_number(v);
    xpath_result_free(v);
    return true;
}
