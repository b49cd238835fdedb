// matches, replace and tokenize over the regular-expression matcher.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath_functions/functions.h"

namespace {

using text_buffer = fn_text;

// The string value of argument i: the first item's string value for a
// sequence, the usual conversion otherwise. False (message set) when the
// argument fails to evaluate or memory runs out.
bool argument_string(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t i, char** out) {
    *out = nullptr;
    if (!args[i]) {
        xpath_context_fail(context, "NULL AST node");
        return false;
    }
    quorvel_xpath_result* r = evaluate_expr(context, args[i]);
    if (!r) return false;
    *out = xpath_to_string(r);
    xpath_result_free(r);
    if (!*out) {
        xpath_context_fail(context, "Out of memory");
        return false;
    }
    return true;
}

// The program of a pattern and flags, or NULL with the failure reported.
xre_program* compile_or_fail(quorvel_xpath_context* context, const char* pattern, const char* flags) {
    xre_status status;
    xre_program* prog = xre_compile(pattern, std::strlen(pattern), flags, &status);
    if (prog) return prog;
    switch (status) {
        case XRE_BAD_FLAGS: fn_fail_code(context, "FORX0001", "Invalid regular expression flags: %s", flags); break;
        case XRE_TOO_LARGE: fn_fail_code(context, "FORX0002", "Regular expression too large: %s", pattern); break;
        case XRE_NO_MEMORY: xpath_context_fail(context, "Out of memory"); break;
        default: fn_fail_code(context, "FORX0002", "Invalid regular expression: %s", pattern); break;
    }
    return nullptr;
}

void report_search_failure(quorvel_xpath_context* context, xre_status status, const char* pattern) {
    if (status == XRE_TOO_COMPLEX)
        fn_fail_code(context, "FORX0002", "Regular expression too complex for its input: %s", pattern);
    else
        xpath_context_fail(context, "Out of memory");
}

// The pieces every regex function starts from: strings of the arguments,
// the program and a matcher.
struct regex_call {
    char* input = nullptr;
    char* pattern = nullptr;
    char* flags = nullptr;
    char* replacement = nullptr;
    xre_program* prog = nullptr;
    xre_matcher* matcher = nullptr;
    int64_t* groups = nullptr;

    ~regex_call() {
        std::free(input);
        std::free(pattern);
        std::free(flags);
        std::free(replacement);
        quorvel_work_free(groups);
        xre_matcher_free(matcher);
        xre_free(prog);
    }
    bool prepare(quorvel_xpath_context* context) {
        prog = compile_or_fail(context, pattern, flags ? flags : "");
        if (!prog) return false;
        matcher = xre_matcher_new(prog);
        groups = static_cast<int64_t*>(quorvel_work_alloc(2 * (static_cast<size_t>(xre_group_count(prog)) + 1) *
                                                          sizeof(int64_t)));
        if (!matcher || !groups) {
            xpath_context_fail(context, "Out of memory");
            return false;
        }
        return true;
    }
    // False (reported) when the pattern matches the empty string.
    bool refuse_empty_match(quorvel_xpath_context* context) {
        xre_status status;
        int empty = xre_matches_empty(matcher, &status);
        if (empty < 0) {
            report_search_failure(context, status, pattern);
            return false;
        }
        if (empty) {
            fn_fail_code(context, "FORX0003", "Pattern matches zero-length string: %s", pattern);
            return false;
        }
        return true;
    }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Checks a replacement text before any match is made: a backslash takes a
// backslash or a dollar after it, a dollar takes a digit.
bool check_replacement(quorvel_xpath_context* context, const char* r) {
    for (const char* p = r; *p; p++) {
        if (*p == '\\') {
            if (!p[1]) return fn_fail_code(context, "FORX0004", "Trailing '\\' in replacement"), false;
            if (p[1] != '\\' && p[1] != '$')
                return fn_fail_code(context, "FORX0004", "Invalid '\\' escape in replacement"), false;
            p++;
        } else if (*p == '$') {
            if (!p[1]) return fn_fail_code(context, "FORX0004", "Trailing '$' in replacement"), false;
            if (!is_digit(p[1])) return fn_fail_code(context, "FORX0004", "Invalid '$' reference in replacement"), false;
        }
    }
    return true;
}

// Appends the replacement for one match: $N takes the longest run of
// digits that names a group (or is at most 9); the digits left over are
// literal text. A group that did not take part adds nothing.
void append_replacement(text_buffer& out, const char* r, const char* input, const int64_t* groups,
                        uint32_t group_count) {
    for (const char* p = r; *p;) {
        if (*p == '\\') {
            out.append(p + 1, 1);
            p += 2;
            continue;
        }
        if (*p != '$') {
            const char* q = p;
            while (*q && *q != '\\' && *q != '$') q++;
            out.append(p, static_cast<size_t>(q - p));
            p = q;
            continue;
        }
        const char* digits = p + 1;
        size_t run = 0;
        while (is_digit(digits[run])) run++;
        size_t take = run;
        for (;;) {
            uint64_t n = 0;
            for (size_t k = 0; k < take && n <= 1000000; k++) n = n * 10 + static_cast<uint64_t>(digits[k] - '0');
            if (take == 1 || n <= group_count || n <= 9) {
                if (n <= group_count) {
                    int64_t s = groups[2 * n], e = groups[2 * n + 1];
                    if (s >= 0 && e >= s) out.append(input + s, static_cast<size_t>(e - s));
                }
                break;
            }
            take--;
        }
        p = digits + take;
    }
}

quorvel_xpath_result* string_result(quorvel_xpath_context* context, char* text) {
    if (!text) {
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_result_new(XPATH_STRING);
    if (!r) {
        std::free(text);
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.string = text;
    return r;
}

}  // namespace

quorvel_xpath_result* fn_matches(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count < 2 || count > 3) return nullptr;
    regex_call call;
    if (!argument_string(context, args, 0, &call.input) || !argument_string(context, args, 1, &call.pattern) ||
        (count == 3 && !argument_string(context, args, 2, &call.flags)))
        return nullptr;
    if (!call.prepare(context)) return nullptr;
    xre_status status;
    int found = xre_search(call.matcher, call.input, std::strlen(call.input), 0, call.groups, &status);
    if (found < 0) {
        report_search_failure(context, status, call.pattern);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_result_new(XPATH_BOOLEAN);
    if (!r) {
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    r->value.boolean = found;
    return r;
}

quorvel_xpath_result* fn_replace(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count < 3 || count > 4) return nullptr;
    regex_call call;
    if (!argument_string(context, args, 0, &call.input) || !argument_string(context, args, 1, &call.pattern) ||
        !argument_string(context, args, 2, &call.replacement) ||
        (count == 4 && !argument_string(context, args, 3, &call.flags)))
        return nullptr;
    if (!call.prepare(context) || !call.refuse_empty_match(context)) return nullptr;
    bool literal = xre_is_literal(call.prog);
    if (!literal && !check_replacement(context, call.replacement)) return nullptr;
    const size_t length = std::strlen(call.input);
    const size_t replacement_length = std::strlen(call.replacement);
    const uint32_t group_count = static_cast<uint32_t>(xre_group_count(call.prog));
    text_buffer out;
    size_t p = 0;
    while (p <= length) {
        xre_status status;
        int found = xre_search(call.matcher, call.input, length, p, call.groups, &status);
        if (found < 0) {
            report_search_failure(context, status, call.pattern);
            std::free(out.take());
            return nullptr;
        }
        if (!found) {
            out.append(call.input + p, length - p);
            break;
        }
        size_t s = static_cast<size_t>(call.groups[0]), e = static_cast<size_t>(call.groups[1]);
        out.append(call.input + p, s - p);
        if (literal)
            out.append(call.replacement, replacement_length);
        else
            append_replacement(out, call.replacement, call.input, call.groups, group_count);
        if (e == s) {
            // Not reached: a pattern that can match nothing was refused.
            out.append(call.input + e, length - e);
            break;
        }
        p = e;
    }
    return string_result(context, out.take());
}

quorvel_xpath_result* fn_tokenize(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) {
    if (!context || count < 1 || count > 3) return nullptr;
    regex_call call;
    if (!argument_string(context, args, 0, &call.input)) return nullptr;
    if (count == 1) {
        // Blank runs become one space; runs at either end go.
        char* w = call.input;
        bool pending = false;
        for (const char* s = call.input; *s; s++) {
            if (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') {
                pending = w != call.input;
            } else {
                if (pending) *w++ = ' ';
                pending = false;
                *w++ = *s;
            }
        }
        *w = '\0';
        call.pattern = static_cast<char*>(std::malloc(2));
        if (!call.pattern) return xpath_context_fail(context, "Out of memory"), nullptr;
        std::memcpy(call.pattern, " ", 2);
    } else if (!argument_string(context, args, 1, &call.pattern) ||
               (count == 3 && !argument_string(context, args, 2, &call.flags))) {
        return nullptr;
    }
    if (!call.prepare(context) || !call.refuse_empty_match(context)) return nullptr;
    quorvel_xpath_result* r = xpath_result_new(XPATH_NODESET);
    quorvel_xpath_node_set* set = r ? xpath_nodeset_new() : nullptr;
    if (!set) {
        if (r) xpath_result_free(r);
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    set->is_sequence = 1;
    set->owns_carriers = 1;
    r->value.nodeset = set;
    const size_t length = std::strlen(call.input);
    bool ok = true;
    auto push = [&](const char* bytes, size_t n) {
        quorvel_node* item = xpath_synth_text(bytes, n);
        if (!item || !xpath_nodeset_add(set, item)) {
            if (item) xpath_nodeset_dispose_node(item);
            ok = false;
        }
    };
    if (length > 0) {
        size_t p = 0;
        while (ok) {
            xre_status status;
            int found = xre_search(call.matcher, call.input, length, p, call.groups, &status);
            if (found < 0) {
                report_search_failure(context, status, call.pattern);
                xpath_result_free(r);
                return nullptr;
            }
            if (!found) {
                push(call.input + p, length - p);
                break;
            }
            size_t s = static_cast<size_t>(call.groups[0]), e = static_cast<size_t>(call.groups[1]);
            push(call.input + p, s - p);
            if (e == s) {  // not reached: see refuse_empty_match
                push(call.input + e, length - e);
                break;
            }
            p = e;
        }
    }
    if (!ok) {
        xpath_result_free(r);
        xpath_context_fail(context, "Out of memory");
        return nullptr;
    }
    return r;
}
