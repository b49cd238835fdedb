// analyze-string: the input cut into fn:match and fn:non-match elements,
// with the captured groups of each match as nested fn:group elements, in a
// tree of a new document the evaluation keeps.
//
// The scan searches the whole input from a moving start position, so "^"
// and "$" keep their meaning (start and end of the input, or of lines with
// the m flag) wherever a search resumes. A pattern that can match the empty
// string is refused, as it is by replace and tokenize.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "dom/record_builder.h"
#include "xpath_functions/functions.h"

namespace {

using result = quorvel_xpath_result;

constexpr const char* kFunctionsNamespace = "http://www.w3.org/2005/xpath-functions";

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "Out of memory");
    return nullptr;
}

// The enclosing capturing group of each group (0 for none), read from the
// pattern's parentheses: parents[g] for g in 1..groups. Escapes, character
// classes (with nested subtractions) and "(?:" groups are skipped as the
// matcher reads them.
void group_parents(const char* pattern, bool literal, int32_t* parents, int32_t groups) {
    for (int32_t g = 0; g <= groups; g++) parents[g] = 0;
    if (literal) return;
    int32_t stack_small[64];
    int32_t* stack = stack_small;
    size_t depth = 0, capacity = 64;
    int32_t next = 1;
    for (const char* p = pattern; *p; p++) {
        if (*p == '\\') {
            if (p[1]) p++;
            continue;
        }
        if (*p == '[') {
            int nest = 1;
            for (p++; *p && nest; p++) {
                if (*p == '\\' && p[1]) p++;
                else if (*p == '[') nest++;
                else if (*p == ']') nest--;
            }
            p--;
            continue;
        }
        if (*p == '(') {
            int32_t g = 0;
            if (p[1] != '?') g = next++;
            if (depth == capacity) {
                size_t grown = capacity * 2;
                auto* fresh = static_cast<int32_t*>(std::malloc(grown * sizeof(int32_t)));
                if (!fresh) break;  // parents stay 0: groups are then flat
                std::memcpy(fresh, stack, depth * sizeof(int32_t));
                if (stack != stack_small) std::free(stack);
                stack = fresh;
                capacity = grown;
            }
            if (g > 0 && g <= groups) {
                int32_t parent = 0;
                for (size_t k = depth; k-- > 0;)
                    if (stack[k] > 0) {
                        parent = stack[k];
                        break;
                    }
                parents[g] = parent;
            }
            stack[depth++] = g;
        } else if (*p == ')' && depth) {
            depth--;
        }
    }
    if (stack != stack_small) std::free(stack);
}

// Builds the result tree in a new document.
struct tree_builder {
    quorvel_document* doc;
    bool ok = true;

    quorvel_element* element(const char* name) {
        if (!ok) return nullptr;
        quorvel_element* e = quorvel_element_create(doc, name);
        if (!e) ok = false;
        return e;
    }
    void text(quorvel_build_parent* parent, const char* bytes, size_t n) {
        if (!ok || n == 0) return;
        char small[256];
        char* copy = n < sizeof small ? small : static_cast<char*>(std::malloc(n + 1));
        if (!copy) {
            ok = false;
            return;
        }
        std::memcpy(copy, bytes, n);
        copy[n] = '\0';
        quorvel_node* t = quorvel_text_node_create(doc, copy);
        if (copy != small) std::free(copy);
        ok = t && quorvel_build_append_node(doc, parent, t);
    }
    void append(quorvel_build_parent* parent, quorvel_element* child) {
        if (ok) ok = quorvel_build_append_node(doc, parent, reinterpret_cast<quorvel_node*>(child));
    }
};

// An open element of a match: the match itself (group 0) or a group.
struct open_group {
    quorvel_build_parent parent;
    int32_t group;
    size_t end;     // where its text ends
    size_t cursor;  // how far its text is written
};

}  // namespace

result* fn_analyze_string(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count < 2 || count > 3) return nullptr;
    char *input = nullptr, *pattern = nullptr, *flags = nullptr;
    bool ok = fn_optional_string(c, args[0], &input) && fn_optional_string(c, args[1], &pattern) &&
              (count < 3 || fn_optional_string(c, args[2], &flags));
    if (ok && !pattern) {
        xpath_context_fail_code(c, "XPTY0004", "analyze-string() needs a pattern");
        ok = false;
    }
    if (ok && count == 3 && !flags) {
        xpath_context_fail_code(c, "XPTY0004", "analyze-string() needs flags as a string");
        ok = false;
    }
    xre_program* prog = nullptr;
    if (ok) {
        xre_status status;
        prog = xre_compile(pattern, std::strlen(pattern), flags ? flags : "", &status);
        if (!prog) {
            ok = false;
            if (status == XRE_BAD_FLAGS)
                xpath_context_fail_code(c, "FORX0001", "Invalid regular expression flags: %.60s", flags);
            else if (status == XRE_NO_MEMORY)
                oom(c);
            else
                xpath_context_fail_code(c, "FORX0002", "Invalid regular expression: %.180s", pattern);
        }
    }
    xre_matcher* matcher = ok ? xre_matcher_new(prog) : nullptr;
    const int32_t groups = prog ? xre_group_count(prog) : 0;
    auto* offsets = ok ? static_cast<int64_t*>(quorvel_work_alloc(2 * (static_cast<size_t>(groups) + 1) * sizeof(int64_t)))
                       : nullptr;
    auto* parents = ok ? static_cast<int32_t*>(quorvel_work_alloc((static_cast<size_t>(groups) + 1) * sizeof(int32_t)))
                       : nullptr;
    auto* open = ok ? static_cast<open_group*>(quorvel_work_alloc((static_cast<size_t>(groups) + 1) * sizeof(open_group)))
                    : nullptr;
    if (ok && (!matcher || !offsets || !parents || !open)) {
        oom(c);
        ok = false;
    }
    if (ok) {
        xre_status status;
        int empty = xre_matches_empty(matcher, &status);
        if (empty != 0) {
            ok = false;
            if (empty > 0)
                xpath_context_fail_code(c, "FORX0003", "Pattern matches zero-length string: %.180s", pattern);
            else if (status == XRE_NO_MEMORY)
                oom(c);
            else
                xpath_context_fail_code(c, "FORX0002", "Regular expression too complex: %.180s", pattern);
        }
    }
    if (ok) group_parents(pattern, xre_is_literal(prog), parents, groups);

    quorvel_document* doc = ok ? quorvel_document_create() : nullptr;
    if (ok && !doc) {
        oom(c);
        ok = false;
    }
    tree_builder b{doc};
    quorvel_element* root = ok ? b.element("fn:analyze-string-result") : nullptr;
    if (root && quorvel_element_add_namespace_definition(root, "fn", kFunctionsNamespace) != QUORVEL_OK) b.ok = false;
    quorvel_build_parent top{};
    if (root) quorvel_build_open(&top, root);
    const char* text = input ? input : "";
    const size_t length = std::strlen(text);
    size_t p = 0;
    bool search_failed = false;
    while (ok && b.ok && p < length) {
        xre_status status;
        int found = xre_search(matcher, text, length, p, offsets, &status);
        if (found < 0) {
            search_failed = true;
            if (status == XRE_NO_MEMORY) oom(c);
            else xpath_context_fail_code(c, "FORX0002", "Regular expression too complex for its input: %.180s", pattern);
            break;
        }
        size_t s = found ? static_cast<size_t>(offsets[0]) : length;
        size_t e = found ? static_cast<size_t>(offsets[1]) : length;
        if (s > p) {
            quorvel_element* non_match = b.element("fn:non-match");
            if (non_match) {
                quorvel_build_parent nb;
                quorvel_build_open(&nb, non_match);
                b.text(&nb, text + p, s - p);
                b.append(&top, non_match);
            }
        }
        if (!found) break;
        // The match, then its groups in number order: that is the order of
        // their opening parentheses, so each group opens inside the nearest
        // of its enclosing groups still open.
        quorvel_element* match = b.element("fn:match");
        if (!match) break;
        size_t depth = 0;
        open[depth] = {{}, 0, e, s};
        quorvel_build_open(&open[depth].parent, match);
        depth++;
        auto close_top = [&]() {
            open_group& g = open[depth - 1];
            b.text(&g.parent, text + g.cursor, g.end - g.cursor);
            depth--;
            if (depth) open[depth - 1].cursor = g.end;
        };
        for (int32_t g = 1; g <= groups && b.ok; g++) {
            int64_t gs = offsets[2 * g], ge = offsets[2 * g + 1];
            if (gs < 0 || ge < gs) continue;
            // Close what is not an enclosing group of g.
            for (;;) {
                int32_t top_group = open[depth - 1].group;
                bool encloses = top_group == 0;
                for (int32_t a = parents[g]; !encloses && a; a = parents[a]) encloses = a == top_group;
                if (encloses) break;
                close_top();
            }
            open_group& holder = open[depth - 1];
            auto us = static_cast<size_t>(gs), ue = static_cast<size_t>(ge);
            // A capture left from an earlier repetition may lie outside what
            // is still open: it is not part of this tree.
            if (us < holder.cursor || ue > holder.end) continue;
            b.text(&holder.parent, text + holder.cursor, us - holder.cursor);
            holder.cursor = us;
            quorvel_element* group = b.element("fn:group");
            if (!group) break;
            char number[16];
            std::snprintf(number, sizeof number, "%d", static_cast<int>(g));
            if (quorvel_element_set_attribute(group, "nr", number) != QUORVEL_OK) b.ok = false;
            b.append(&holder.parent, group);
            open[depth] = {{}, g, ue, us};
            quorvel_build_open(&open[depth].parent, group);
            depth++;
        }
        while (depth && b.ok) close_top();
        b.append(&top, match);
        p = e;
    }
    if (ok && !search_failed && !b.ok) oom(c);
    ok = ok && !search_failed && b.ok;
    if (ok && quorvel_document_set_root(doc, root) != QUORVEL_OK) {
        oom(c);
        ok = false;
    }
    quorvel_work_free(offsets);
    quorvel_work_free(parents);
    quorvel_work_free(open);
    xre_matcher_free(matcher);
    xre_free(prog);
    std::free(input);
    std::free(pattern);
    std::free(flags);
    if (!ok) {
        quorvel_document_free(doc);
        return nullptr;
    }
    if (!fn_keep_document(c, doc)) return oom(c);
    return fn_sequence_of(c, reinterpret_cast<quorvel_node*>(quorvel_document_root(doc)));
}
