// Shared types of the XPath function library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xpath/xpath.h"

// ---- Regular expressions -------------------------------------------------------------------------
//
// The matcher behind matches, replace and tokenize. Patterns come from
// expressions, so from untrusted text: a pattern compiles to a program whose
// size is capped, and a search simulates all threads of the program at once
// (one pass over the input, cost bounded by input length times program
// size), keeping threads in priority order so that greedy and reluctant
// quantifiers and alternation choose as a backtracking matcher would. Only a
// pattern with back-references needs real backtracking; it runs under a
// step budget and fails cleanly when the budget is spent. The engine works
// on code points of UTF-8 text; a byte that does not start a well-formed
// sequence is read as one character of its own value.

struct xre_program;
struct xre_matcher;

enum xre_status : int32_t {
    XRE_OK = 0,
    XRE_BAD_FLAGS = 1,    // a flag letter other than s, m, i, x, q
    XRE_BAD_PATTERN = 2,  // not a regular expression
    XRE_TOO_LARGE = 3,    // would compile to more than the program cap
    XRE_NO_MEMORY = 4,
    XRE_TOO_COMPLEX = 5,  // a back-referencing search spent its step budget
};

// Largest program a pattern may compile to, in instructions.
constexpr size_t kXreMaxInstructions = 1u << 17;
// Steps a back-referencing matcher may take over one function call.
constexpr uint64_t kXreBacktrackBudget = 20000000;

// Compiles pattern (length bytes) under the flags (NUL-terminated, NULL =
// none). NULL with *status set on failure.
xre_program* xre_compile(const char* pattern, size_t length, const char* flags, xre_status* status);
void xre_free(xre_program* program);
// Capturing groups of the pattern (group 0, the whole match, not counted).
int32_t xre_group_count(const xre_program* program);
// True when the flags asked for a literal pattern (q).
bool xre_is_literal(const xre_program* program);

// Working memory for searches with one program; reused across searches.
xre_matcher* xre_matcher_new(const xre_program* program);
void xre_matcher_free(xre_matcher* matcher);

// Finds the first match in input[0, length) that begins at or after start.
// groups receives 2 * (group count + 1) byte offsets into input (start and
// end of each group, -1 for a group that did not take part). 1: a match;
// 0: none; -1: failure, with *status XRE_NO_MEMORY or XRE_TOO_COMPLEX.
int xre_search(xre_matcher* matcher, const char* input, size_t length, size_t start, int64_t* groups,
               xre_status* status);
// 1 when the pattern matches the empty string, 0 when not, -1 on failure.
int xre_matches_empty(xre_matcher* matcher, xre_status* status);

// Unicode data of the matcher: general categories (code points in no range
// are unassigned) and one-to-one case partners, both sorted.
struct xre_category_range {
    uint32_t first;
    uint32_t last;
    uint8_t category;  // index into kXreCategoryNames
};
struct xre_case_pair {
    uint32_t code_point;
    uint32_t other;
};
extern const xre_category_range kXreCategoryRanges[];
extern const size_t kXreCategoryRangeCount;
extern const char kXreCategoryNames[][3];
extern const xre_case_pair kXreCasePairs[];
extern const size_t kXreCasePairCount;

// The built-ins over the matcher (the registry's calling convention).
quorvel_xpath_result* fn_matches(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_replace(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_tokenize(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);

// ---- Number formatting ----------------------------------------------------------------------------

// Decimal-format symbols of the picture engine.
struct quorvel_number_format_symbols {
    const char* decimal_separator;   // any length
    const char* grouping_separator;  // any length
    const char* nan_text;
    const char* infinity_text;
    char zero_digit;
    char minus_sign;
};
// ".", ",", "NaN", "Infinity", '0', '-'.
extern const quorvel_number_format_symbols kDefaultNumberFormatSymbols;

// One parsed sub-picture; prefix and suffix point into the picture.
struct quorvel_number_subpicture {
    const char* prefix;
    size_t prefix_length;
    const char* suffix;
    size_t suffix_length;
    int min_integer_digits;
    int min_fraction_digits;
    int max_fraction_digits;
    int has_decimal_separator;
    int grouping_seen;
    int grouping_size;
    int multiplier;  // 1, 100 or 1000
};

// Formats value under a picture ("0" when NULL or empty) with the symbols
// (the defaults when NULL): a malloc'd text, NULL only when memory runs out.
char* quorvel_format_number_core(const char* picture, const quorvel_number_format_symbols* symbols, double value);

// format-integer's text for a sign and the decimal digits of a magnitude:
// malloc'd, NULL when memory runs out or (with *invalid set) the picture is
// malformed.
char* format_integer_text(bool negative, const char* magnitude_digits, const char* picture, bool* invalid);
quorvel_xpath_result* fn_format_integer(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);

// ---- Math functions and numeric constructors -----------------------------------------------------------

quorvel_xpath_result* fn_pi(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_sqrt(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_exp(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_exp10(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_log(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_log10(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_sin(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_cos(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_tan(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_asin(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_acos(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_atan(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_pow(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_atan2(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_abs(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_round_half_even(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);

// The numeric constructors' shared readers. fn_xs_number_ctor: integer
// mode reads an optional sign and digits (a value past 64 bits becomes a
// plain double); otherwise the xs:double lexical forms. xs_int_bound: an
// exact integer within [minimum, maximum], failing with "Invalid lexical
// form for %s" or "Value out of range for %s" (type_name). Both give the
// empty sequence for an empty argument and a new result or NULL.
quorvel_xpath_result* fn_xs_number_ctor(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument,
                                        int integer_mode);
quorvel_xpath_result* xs_int_bound(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument,
                                   int64_t minimum, int64_t maximum, const char* type_name);

quorvel_xpath_result* fn_xs_integer(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_double(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_float(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_decimal(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_byte(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_ubyte(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_short(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_ushort(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_int(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_uint(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_long(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_ulong(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_negint(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_nonpos(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_posint(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_nonneg(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
quorvel_xpath_result* fn_xs_boolean(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count);
