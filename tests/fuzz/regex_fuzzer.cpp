// Fuzz target for the regular-expression functions: a pattern, flags, a
// replacement and an input run through the matcher directly and through
// matches, replace and tokenize. Every match the matcher reports lies
// within the input, on character boundaries, with each group inside the
// match; matches agrees with a direct search; replace and tokenize either
// give a value or fail with a message; nothing runs away in time or memory.
//
// Input: one option byte, then the flags, the replacement and the pattern
// as length-prefixed segments, then the input text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "xpath_functions/functions.h"

namespace {

// Whether s is well-formed UTF-8 (then matches must fall on character
// boundaries; a stray byte is a character of its own and has none).
bool well_formed(const std::string& s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char b = p[i];
        size_t len = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
        if (!len || i + len > n) return false;
        for (size_t k = 1; k < len; k++)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        if (len == 3 && ((b == 0xE0 && p[i + 1] < 0xA0) || (b == 0xED && p[i + 1] >= 0xA0))) return false;
        if (len == 4 && ((b == 0xF0 && p[i + 1] < 0x90) || (b == 0xF4 && p[i + 1] >= 0x90))) return false;
        i += len;
    }
    return true;
}

bool boundary(const std::string& s, int64_t at) {
    if (at < 0 || static_cast<size_t>(at) > s.size()) return false;
    return static_cast<size_t>(at) == s.size() || (static_cast<unsigned char>(s[at]) & 0xC0) != 0x80 ||
           at == 0;
}

// Direct searches over the whole input, resumed after each match.
int direct_search(const std::string& pattern, const std::string& flags, const std::string& text) {
    xre_status status;
    xre_program* prog = xre_compile(pattern.data(), pattern.size(), flags.c_str(), &status);
    if (!prog) return -1;
    xre_matcher* m = xre_matcher_new(prog);
    if (!m) fuzz::fail("no matcher");
    std::vector<int64_t> groups(2 * (xre_group_count(prog) + 1));
    int first = 0;
    size_t p = 0;
    for (int round = 0; round < 64 && p <= text.size(); round++) {
        int r = xre_search(m, text.data(), text.size(), p, groups.data(), &status);
        if (r < 0) {
            if (status != XRE_TOO_COMPLEX && status != XRE_NO_MEMORY) fuzz::fail("search failed without cause");
            first = round == 0 ? -2 : first;
            break;
        }
        if (round == 0) first = r;
        if (r == 0) break;
        int64_t s = groups[0], e = groups[1];
        if (s < static_cast<int64_t>(p) || e < s || static_cast<size_t>(e) > text.size())
            fuzz::fail("match [%lld, %lld) outside [%zu, %zu]", (long long)s, (long long)e, p, text.size());
        if (!boundary(text, s) || !boundary(text, e)) {
            if (well_formed(text)) fuzz::fail("match splits a character");
        }
        for (size_t g = 2; g < groups.size(); g += 2) {
            if (groups[g] < 0) continue;
            if (groups[g] < s || groups[g + 1] < groups[g] || groups[g + 1] > e)
                fuzz::fail("group %zu outside its match", g / 2);
        }
        if (e > s) {
            p = static_cast<size_t>(e);
        } else {
            // Past an empty match by one character.
            p = static_cast<size_t>(e) + 1;
            while (p < text.size() && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80) p++;
        }
    }
    xre_matcher_free(m);
    xre_free(prog);
    return first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t options = in.byte();
    std::string flags = in.segment();
    std::string replacement = in.segment();
    std::string pattern = in.segment();
    std::string text = in.rest();
    if (text.size() > 4096) return 0;
    // NUL bytes cannot reach the functions through string variables.
    for (std::string* s : {&flags, &replacement, &pattern, &text})
        for (char& c : *s)
            if (c == '\0') c = ' ';
    if (options & 1) {
        // Long inputs: the text repeated, to push the linear bounds.
        std::string longer;
        for (int k = 0; k < 64 && longer.size() < 60000; k++) longer += text;
        text = longer;
    }
    int direct = direct_search(pattern, flags, text);

    int status = 0;
    quorvel_document* doc = quorvel_parse_string("<r/>", 4, &status);
    if (!doc) return 0;
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    if (!vars) fuzz::fail("no variable set");
    quorvel_xpath_variable_set_string(vars, "in", text.c_str());
    quorvel_xpath_variable_set_string(vars, "re", pattern.c_str());
    quorvel_xpath_variable_set_string(vars, "fl", flags.c_str());
    quorvel_xpath_variable_set_string(vars, "rep", replacement.c_str());
    static const char* const kCalls[] = {
        "matches($in, $re, $fl)",
        "replace($in, $re, $rep, $fl)",
        "tokenize($in, $re, $fl)",
        "count(tokenize($in, $re, $fl))",
    };
    for (const char* call : kCalls) {
        quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(doc, call, vars);
        if (!r) {
            const char* message = quorvel_document_last_error(doc);
            if (!message || !*message) fuzz::fail("%s failed without a message", call);
            if (call == kCalls[0] && direct >= 0) fuzz::fail("matches failed where the search did not");
            continue;
        }
        if (call == kCalls[0]) {
            if (direct < 0) fuzz::fail("matches answered where the pattern was refused");
            if (quorvel_xpath_result_boolean(r) != direct) fuzz::fail("matches disagrees with the search");
        }
        char* s = quorvel_xpath_result_string(r);
        if (!s) fuzz::fail("no string value");
        std::free(s);
        for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) (void)quorvel_xpath_result_node_value(r, i);
        quorvel_xpath_result_free(r);
    }
    quorvel_xpath_variable_set_free(vars);
    quorvel_document_free(doc);
    return 0;
}
