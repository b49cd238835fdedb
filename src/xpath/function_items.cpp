// Function items (inline functions and named references), dynamic calls,
// try/catch, and the dispatch of the operators that build values.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;
using nodeset = quorvel_xpath_node_set;
using binding = quorvel_xpath_variable_binding;

constexpr size_t kMaxNameLength = 127;

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

const quorvel_xpath_carrier* as_carrier(const quorvel_node* n) {
    return is_item(n) && n->kind == kXpathCarrierNode ? reinterpret_cast<const quorvel_xpath_carrier*>(n) : nullptr;
}

quorvel_xpath_result* fail_oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

char* copy_text(const char* s, size_t n) {
    char* c = static_cast<char*>(std::malloc(n + 1));
    if (!c) return nullptr;
    if (n) std::memcpy(c, s, n);
    c[n] = '\0';
    return c;
}

quorvel_xpath_result* sequence_result(quorvel_xpath_context* c, nodeset* s) {
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    if (!r) {
        xpath_nodeset_free(s);
        return fail_oom(c);
    }
    r->value.nodeset = s;
    return r;
}

// A sequence of one new function item (taken over); NULL (the item
// disposed) with "Out of memory" when item is NULL or memory runs out.
quorvel_xpath_result* function_item_result(quorvel_xpath_context* c, quorvel_node* item) {
    nodeset* s = item ? xpath_nodeset_new() : nullptr;
    if (s) s->owns_carriers = s->is_sequence = 1;
    if (!s || !xpath_nodeset_add_fast(s, item)) {
        if (item) xpath_nodeset_dispose_node(item);
        xpath_nodeset_free(s);
        return fail_oom(c);
    }
    return sequence_result(c, s);
}

// ---- Scoped bindings -----------------------------------------------------------------------------------

// A name bound for the length of a call or handler: whatever binding the
// name had before, of any kind, is set aside and put back afterwards.
struct scoped_binding {
    binding* own = nullptr;        // the binding made here
    binding* displaced = nullptr;  // the one it replaced, or NULL
};

void binding_drop(binding* b) {
    if (!b) return;
    if (b->kind == XPATH_BIND_STRING) std::free(b->value.string);
    if (b->kind == XPATH_BIND_NODESET) xpath_nodeset_free(b->value.nodeset);
    std::free(b->name);
    std::free(b);
}

// Binds name to value (taken over in every case). False when memory runs out.
bool bind(quorvel_xpath_variable_set* set, const char* name, nodeset* value, scoped_binding& out) {
    auto* b = static_cast<binding*>(std::calloc(1, sizeof(binding)));
    size_t n = std::strlen(name);
    char* copy = b ? copy_text(name, n) : nullptr;
    if (!copy) {
        std::free(b);
        xpath_nodeset_free(value);
        return false;
    }
    b->name = copy;
    b->kind = XPATH_BIND_NODESET;
    b->value.nodeset = value;
    for (size_t i = 0; i < set->count; i++)
        if (!std::strcmp(set->bindings[i]->name, name)) {
            out.displaced = set->bindings[i];
            set->bindings[i] = b;
            out.own = b;
            return true;
        }
    if (set->count == set->capacity) {
        size_t capacity = set->capacity ? set->capacity * 2 : 8;
        void* grown = std::realloc(set->bindings, capacity * sizeof(void*));
        if (!grown) {
            binding_drop(b);
            return false;
        }
        set->bindings = static_cast<binding**>(grown);
        set->capacity = capacity;
    }
    set->bindings[set->count++] = b;
    out.own = b;
    return true;
}

void unbind(quorvel_xpath_variable_set* set, scoped_binding& s) {
    if (!s.own) return;
    for (size_t i = 0; i < set->count; i++) {
        if (set->bindings[i] != s.own) continue;
        if (s.displaced) {
            set->bindings[i] = s.displaced;
        } else {
            std::memmove(set->bindings + i, set->bindings + i + 1, (set->count - i - 1) * sizeof(void*));
            set->count--;
        }
        break;
    }
    binding_drop(s.own);
    s.own = s.displaced = nullptr;
}

// Binds the items of each argument value to its name, name_of(i), in
// order; *done counts the bindings made, which unbind_arguments undoes.
// False when memory runs out.
template <typename Name>
bool bind_arguments(quorvel_xpath_variable_set* set, const quorvel_xpath_result* const* args, size_t n,
                    scoped_binding* bound, size_t* done, Name&& name_of) {
    for (size_t i = 0; i < n; i++) {
        nodeset* v = xpath_value_items(args[i]);
        if (!v || !bind(set, name_of(i), v, bound[i])) return false;
        ++*done;
    }
    return true;
}

void unbind_arguments(quorvel_xpath_variable_set* set, scoped_binding* bound, size_t done) {
    for (size_t i = done; i-- > 0;) unbind(set, bound[i]);
}

// The context's variable set, made for the call when there is none.
struct variable_scope {
    quorvel_xpath_context* c;
    bool made = false;
    explicit variable_scope(quorvel_xpath_context* context) : c(context) {
        if (!c->variables) {
            c->variables = xpath_variable_set_new();
            made = c->variables != nullptr;
        }
    }
    bool ok() const { return c->variables != nullptr; }
    ~variable_scope() {
        if (made) {
            xpath_variable_set_free(c->variables);
            c->variables = nullptr;
        }
    }
};

// ---- Function items ------------------------------------------------------------------------------------

ast* copy_tree(const ast* n) {
    ast* c = ast_node_new(n->type);
    if (!c) return nullptr;
    c->number = n->number;
    c->axis = n->axis;
    bool ok = true;
    auto dup = [&](const char* s) -> char* {
        if (!s) return nullptr;
        char* d = copy_text(s, std::strlen(s));
        if (!d) ok = false;
        return d;
    };
    c->text = dup(n->text);
    c->prefix = dup(n->prefix);
    c->local_name = dup(n->local_name);
    for (size_t i = 0; ok && i < n->count; i++) {
        ast* child = copy_tree(n->children[i]);
        if (!child || !ast_node_add_child(c, child)) {
            ast_node_free(child);
            ok = false;
        }
    }
    if (!ok) {
        ast_node_free(c);
        return nullptr;
    }
    return c;
}

quorvel_xpath_result* make_inline_function(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed inline function");
        return nullptr;
    }
    const char* params = e->text ? e->text : "";
    quorvel_node* item = nullptr;
    if (c->tree) {
        item = xpath_carrier_function(params, std::strlen(params), c->tree, e->children[0]);
    } else {
        // No shared tree to keep alive: the item keeps its own copy of the body.
        ast* body = copy_tree(e->children[0]);
        quorvel_xpath_tree* own = body ? xpath_tree_new(body) : nullptr;
        if (own) item = xpath_carrier_function(params, std::strlen(params), own, own->root);
        xpath_tree_release(own);
    }
    return function_item_result(c, item);
}

quorvel_xpath_result* make_function_ref(quorvel_xpath_context* c, const ast* e) {
    const char* name = e->text ? e->text : "";
    size_t n = std::strlen(name);
    const char* hash = std::strrchr(name, '#');
    if (!hash || hash == name || static_cast<size_t>(hash - name) > kMaxNameLength || !hash[1]) {
        xpath_context_fail_code(c, "XPST0017", "Invalid function reference: %s", name);
        return nullptr;
    }
    // The reference must name a function that takes that many arguments.
    char function[kMaxNameLength + 1];
    std::memcpy(function, name, static_cast<size_t>(hash - name));
    function[hash - name] = '\0';
    char* end = nullptr;
    errno = 0;
    long arity = std::strtol(hash + 1, &end, 10);
    const quorvel_xpath_registry_entry* entry = xpath_resolve_function(c, function);
    if (*end || errno == ERANGE || arity < 0 || arity > INT32_MAX || !entry || arity < entry->min_args ||
        (entry->max_args >= 0 && arity > entry->max_args)) {
        xpath_context_fail_code(c, "XPST0017", "XPST0017: No function %s", name);
        return nullptr;
    }
    char* text = static_cast<char*>(std::malloc(n + 4));
    if (!text) return fail_oom(c);
    text[0] = '\x03';
    text[1] = 'F';
    text[2] = 'R';
    std::memcpy(text + 3, name, n + 1);
    quorvel_node* item = xpath_synth_text(text, n + 3);
    std::free(text);
    return function_item_result(c, item);
}

// Name and arity of a named-reference text ("\x03FRname#arity").
bool parse_reference(const quorvel_xpath_carrier* f, char* name, long* arity) {
    if (!f->text || f->length < 5 || f->text[0] != '\x03' || f->text[1] != 'F' || f->text[2] != 'R') return false;
    const char* start = f->text + 3;
    const char* hash = std::strrchr(start, '#');
    if (!hash || hash == start || static_cast<size_t>(hash - start) > kMaxNameLength) return false;
    char* end = nullptr;
    *arity = std::strtol(hash + 1, &end, 10);
    if (end == hash + 1 || *end || *arity < 0) return false;
    std::memcpy(name, start, static_cast<size_t>(hash - start));
    name[hash - start] = '\0';
    return true;
}

quorvel_xpath_result* call_reference(quorvel_xpath_context* c, const char* name,
                                     const quorvel_xpath_result* const* args, size_t n) {
    // The values reach the function as variables under names no
    // expression can write, so every item keeps its type and identity.
    variable_scope scope(c);
    if (!scope.ok()) return fail_oom(c);
    scoped_binding bound[32];
    ast nodes[32];
    ast* pointers[32];
    if (n > 32) {
        xpath_context_fail_code(c, "XPTY0004", "Too many arguments for %s", name);
        return nullptr;
    }
    char names[32][8];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(names[i], sizeof names[i], "\x01" "a%zu", i);
        std::memset(&nodes[i], 0, sizeof(ast));
        nodes[i].type = AST_VARIABLE;
        nodes[i].text = names[i];
        nodes[i].axis = AXIS_CHILD;
        nodes[i].height = 1;
        pointers[i] = &nodes[i];
    }
    size_t done = 0;
    bool ok = bind_arguments(c->variables, args, n, bound, &done, [&](size_t i) { return names[i]; });
    quorvel_xpath_result* r = nullptr;
    if (ok) {
        ast call{};
        call.type = AST_FUNCTION_CALL;
        call.text = const_cast<char*>(name);
        call.children = n ? pointers : nullptr;
        call.count = n;
        call.axis = AXIS_CHILD;
        call.height = 2;
        r = evaluate_function_call_impl(c, &call);
    } else {
        fail_oom(c);
    }
    unbind_arguments(c->variables, bound, done);
    return r;
}

quorvel_xpath_result* call_inline(quorvel_xpath_context* c, const quorvel_xpath_carrier* f,
                                  const quorvel_xpath_result* const* args, size_t n) {
    const quorvel_xpath_function_ref* fn = xpath_carrier_function_ref(reinterpret_cast<const quorvel_node*>(f));
    if (!fn || !fn->body) {
        xpath_context_fail_code(c, "XPTY0004", "Not a function item");
        return nullptr;
    }
    // Parameters: the text between the two 0x02 bytes, names split at 0x01.
    const char* params = f->text + 4;
    const char* params_end = static_cast<const char*>(std::memchr(params, '\x02', f->length - 4));
    if (!params_end) {
        xpath_context_fail_code(c, "XPTY0004", "Not a function item");
        return nullptr;
    }
    size_t arity = 0;
    if (params_end > params) {
        arity = 1;
        for (const char* p = params; p < params_end; p++) arity += *p == '\x01';
    }
    if (arity != n) {
        xpath_context_fail_code(c, "XPTY0004", "Function item expects %zu arguments, got %zu", arity, n);
        return nullptr;
    }
    variable_scope scope(c);
    if (!scope.ok()) return fail_oom(c);
    scoped_binding* bound = nullptr;
    if (arity) {
        bound = static_cast<scoped_binding*>(std::calloc(arity, sizeof(scoped_binding)));
        if (!bound) return fail_oom(c);
    }
    size_t done = 0;
    const char* p = params;
    char name[kMaxNameLength + 1];
    bool ok = bind_arguments(c->variables, args, arity, bound, &done, [&](size_t) {
        const char* end = static_cast<const char*>(std::memchr(p, '\x01', static_cast<size_t>(params_end - p)));
        if (!end) end = params_end;
        size_t len = static_cast<size_t>(end - p);
        if (len > kMaxNameLength) len = kMaxNameLength;
        std::memcpy(name, p, len);
        name[len] = '\0';
        p = end + 1;
        return name;
    });
    quorvel_xpath_result* r = nullptr;
    if (ok) {
        // The body runs as part of the tree that holds it: functions it
        // makes keep that tree alive.
        quorvel_xpath_tree* saved_tree = c->tree;
        c->tree = fn->tree;
        r = evaluate_expr(c, fn->body);
        c->tree = saved_tree;
    } else {
        fail_oom(c);
    }
    unbind_arguments(c->variables, bound, done);
    std::free(bound);
    return r;
}

// A map or array called as a function of one key.
quorvel_xpath_result* call_map(quorvel_xpath_context* c, quorvel_xpath_map_value* m,
                               const quorvel_xpath_result* const* args, size_t n) {
    if (n != 1) {
        xpath_context_fail_code(c, "XPTY0004", "A map or array is called with one argument, got %zu", n);
        return nullptr;
    }
    char* key = xpath_to_string(args[0]);
    if (!key) return fail_oom(c);
    nodeset* out = xpath_nodeset_new();
    if (!out) {
        std::free(key);
        return fail_oom(c);
    }
    out->owns_attributes = out->owns_namespaces = out->owns_carriers = out->is_sequence = 1;
    size_t length = std::strlen(key);
    const quorvel_xpath_map_entry* found = nullptr;
    if (m->is_array) {
        size_t index = 0;
        bool digits = length > 0 && length < 19;
        for (size_t i = 0; digits && i < length; i++) {
            digits = key[i] >= '0' && key[i] <= '9';
            index = index * 10 + static_cast<size_t>(key[i] - '0');
        }
        if (!digits || index < 1 || index > m->count) {
            xpath_context_fail_code(c, "FOAY0001", "Array index %s out of bounds (1 to %zu)", key, m->count);
            std::free(key);
            xpath_nodeset_free(out);
            return nullptr;
        }
        found = &m->entries[index - 1];
    } else {
        for (size_t i = 0; i < m->count && !found; i++)
            if (m->entries[i].key_length == length && !std::memcmp(m->entries[i].key, key, length))
                found = &m->entries[i];
    }
    std::free(key);
    if (found) {
        for (size_t i = 0; i < found->value->count; i++) {
            quorvel_node* x = found->value->items[i];
            if (!is_item(x)) continue;
            bool synthetic = x->kind == kXpathAttributeNode || x->kind == kXpathNamespaceNode ||
                             x->kind == kXpathCarrierNode;
            quorvel_node* add = synthetic ? xpath_synthetic_duplicate(x) : x;
            if (!add || !xpath_nodeset_add_fast(out, add)) {
                if (add && synthetic) xpath_nodeset_dispose_node(add);
                xpath_nodeset_free(out);
                return fail_oom(c);
            }
        }
    }
    return sequence_result(c, out);
}

quorvel_xpath_result* evaluate_dynamic_call(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed dynamic call");
        return nullptr;
    }
    quorvel_xpath_result* f = evaluate_expr(c, e->children[0]);
    if (!f) return nullptr;
    const quorvel_node* item = nullptr;
    size_t items = 0;
    if (f->kind == XPATH_NODESET && f->value.nodeset)
        for (size_t i = 0; i < f->value.nodeset->count; i++)
            if (is_item(f->value.nodeset->items[i])) {
                if (!items) item = f->value.nodeset->items[i];
                items++;
            }
    if (f->kind != XPATH_NODESET) items = 1;
    if (items != 1) {
        xpath_result_free(f);
        xpath_context_fail_code(c, "XPTY0004", "A dynamic call needs exactly one function item, got %zu items", items);
        return nullptr;
    }
    size_t n = e->count - 1;
    auto** args = static_cast<quorvel_xpath_result**>(std::calloc(n ? n : 1, sizeof(void*)));
    if (!args) {
        xpath_result_free(f);
        return fail_oom(c);
    }
    quorvel_xpath_result* r = nullptr;
    bool ok = true;
    for (size_t i = 0; ok && i < n; i++) {
        args[i] = evaluate_expr(c, e->children[i + 1]);
        ok = args[i] != nullptr;
    }
    if (ok) r = xpath_call_function_values(c, item, args, n);
    for (size_t i = 0; i < n; i++) xpath_result_free(args[i]);
    std::free(args);
    xpath_result_free(f);
    return r;
}

// ---- try/catch -------------------------------------------------------------------------------------------

// The W3C code of the failure in the context: its code field, else a code
// the message begins with ("FOAR0001: ...").
void failure_code(const quorvel_xpath_context* c, char* out, size_t size) {
    out[0] = '\0';
    if (c->error_code[0]) {
        std::snprintf(out, size, "%s", c->error_code);
        return;
    }
    const char* m = c->error;
    for (int i = 0; i < 8; i++) {
        char b = m[i];
        bool fits = i < 4 ? (b >= 'A' && b <= 'Z') : (b >= '0' && b <= '9');
        if (!fits) return;
    }
    if (m[8] != ':') return;
    std::snprintf(out, size, "%.8s", m);
}

bool catch_matches(const char* test, size_t length, const char* code) {
    if (length == 1 && test[0] == '*') return true;
    const char* colon = static_cast<const char*>(std::memchr(test, ':', length));
    const char* local = colon ? colon + 1 : test;
    size_t local_length = length - static_cast<size_t>(local - test);
    if (local_length == 1 && local[0] == '*') return true;
    return std::strlen(code) == local_length && !std::memcmp(code, local, local_length);
}

nodeset* one_string(const char* text) {
    nodeset* s = xpath_nodeset_new();
    if (!s) return nullptr;
    s->owns_carriers = s->is_sequence = 1;
    quorvel_node* n = xpath_synth_text(text, std::strlen(text));
    if (!n || !xpath_nodeset_add_fast(s, n)) {
        if (n) xpath_nodeset_dispose_node(n);
        xpath_nodeset_free(s);
        return nullptr;
    }
    return s;
}

quorvel_xpath_result* evaluate_try(quorvel_xpath_context* c, const ast* e) {
    if (e->count < 1) {
        xpath_context_fail(c, "Malformed try expression");
        return nullptr;
    }
    int32_t depth = c->depth;
    quorvel_xpath_result* r = evaluate_expr(c, e->children[0]);
    if (r) return r;
    c->depth = depth;
    char code[32];
    failure_code(c, code, sizeof code);
    const char* tests = e->text ? e->text : "";
    size_t handler = 0;
    bool matched = false;
    for (const char* p = tests;; handler++) {
        const char* end = std::strchr(p, '\x01');
        size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (handler + 1 < e->count && catch_matches(p, length, code)) {
            matched = true;
            break;
        }
        if (!end) break;
        p = end + 1;
    }
    if (!matched) return nullptr;  // the failure goes on with its message and code
    char description[256];
    std::snprintf(description, sizeof description, "%s", c->error[0] ? c->error : "error");
    variable_scope scope(c);
    if (!scope.ok()) return nullptr;
    scoped_binding bound[3];
    nodeset* values[3] = {one_string(code), one_string(description), one_string("")};
    const char* names[3] = {"err:code", "err:description", "err:value"};
    bool ok = values[0] && values[1] && values[2];
    for (int i = 0; i < 3; i++) {
        if (!ok) {
            xpath_nodeset_free(values[i]);
            continue;
        }
        ok = bind(c->variables, names[i], values[i], bound[i]);
    }
    if (!ok) {
        for (int i = 3; i-- > 0;) unbind(c->variables, bound[i]);
        return nullptr;
    }
    c->error[0] = '\0';
    c->error_code[0] = '\0';
    r = evaluate_expr(c, e->children[handler + 1]);
    for (int i = 3; i-- > 0;) unbind(c->variables, bound[i]);
    return r;
}

}  // namespace

// ---- Entry points ------------------------------------------------------------------------------------------

void xpath_context_fail_code(quorvel_xpath_context* c, const char* code, const char* format, ...) {
    if (!c || c->error[0]) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(c->error, sizeof c->error, format, args);
    va_end(args);
    std::snprintf(c->error_code, sizeof c->error_code, "%s", code ? code : "");
}

quorvel_xpath_result* xpath_call_function_values(quorvel_xpath_context* c, const quorvel_node* function,
                                                 const quorvel_xpath_result* const* args, size_t n) {
    if (!c) return nullptr;
    const quorvel_xpath_carrier* f = as_carrier(function);
    if (f && f->ref_kind == XPATH_REF_FUNCTION) return call_inline(c, f, args, n);
    if (f && f->ref_kind == XPATH_REF_MAP) return call_map(c, f->ref.map, args, n);
    char name[kMaxNameLength + 1];
    long arity = 0;
    if (f && f->ref_kind == XPATH_REF_NONE && parse_reference(f, name, &arity)) {
        if (static_cast<size_t>(arity) != n) {
            xpath_context_fail_code(c, "XPTY0004", "Function %s#%ld called with %zu arguments", name, arity, n);
            return nullptr;
        }
        return call_reference(c, name, args, n);
    }
    if (quorvel_xpath_map_value* m = xpath_map_of_item(function)) {
        quorvel_xpath_result* r = call_map(c, m, args, n);
        xpath_map_value_release(m);
        return r;
    }
    xpath_context_fail_code(c, "XPTY0004", "Not a function item");
    return nullptr;
}

quorvel_xpath_result* xpath_call_function_item(quorvel_xpath_context* c, const char* function, const char** args,
                                               size_t n) {
    if (!c || !function) return nullptr;
    // A text carries no function body: only named references are callable
    // from text alone.
    size_t length = std::strlen(function);
    if (length < 3 || function[0] != '\x03' || function[1] != 'F' || function[2] != 'R') return nullptr;
    quorvel_node* item = xpath_synth_text(function, length);
    if (!item) return fail_oom(c);
    auto** values = static_cast<quorvel_xpath_result**>(std::calloc(n ? n : 1, sizeof(void*)));
    bool ok = values != nullptr;
    for (size_t i = 0; ok && i < n; i++) {
        nodeset* s = xpath_value_of_item_text(args[i] ? args[i] : "");
        values[i] = s ? xpath_result_new(XPATH_NODESET) : nullptr;
        if (!values[i]) {
            xpath_nodeset_free(s);
            ok = false;
        } else {
            values[i]->value.nodeset = s;
        }
    }
    quorvel_xpath_result* r = ok ? xpath_call_function_values(c, item, values, n) : fail_oom(c);
    for (size_t i = 0; values && i < n; i++) xpath_result_free(values[i]);
    std::free(values);
    xpath_nodeset_dispose_node(item);
    return r;
}

bool xpath_is_construct_operator(int32_t op) { return (op >= OP_MAP && op <= OP_TRY) || op == OP_CURLY_ARRAY; }

quorvel_xpath_result* evaluate_construct(quorvel_xpath_context* c, const quorvel_xpath_ast_node* e) {
    switch (static_cast<int32_t>(e->number)) {
    case OP_MAP:
    case OP_ARRAY:
    case OP_CURLY_ARRAY:
    case OP_LOOKUP:
        return xpath_evaluate_map_operator(c, e);
    case OP_INLINE_FUNCTION:
        return make_inline_function(c, e);
    case OP_FUNCTION_REF:
        return make_function_ref(c, e);
    case OP_DYNAMIC_CALL:
        return evaluate_dynamic_call(c, e);
    case OP_TRY:
        return evaluate_try(c, e);
    default:
        return xpath_evaluate_node_constructor(c, e);
    }
}
