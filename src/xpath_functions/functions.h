// The XPath function library's shared declarations: the built-in calling
// convention, the standard registry's rows, the result builders and the
// date, duration and equality helpers the engine's operators share with the
// functions.
//
// Calling convention of every built-in (quorvel_xpath_function):
//  - it receives the call's unevaluated argument trees and evaluates each
//    itself with evaluate_expr, in the context it was given;
//  - it returns a new result the caller owns, or NULL: with its own message
//    in the context error text (argument-count guards, bad arguments), with
//    the evaluator's message left alone when an argument failed, and with
//    "Out of memory" when memory ran out;
//  - every result field the function does not set is left cleared;
//  - an empty string result carries an allocated "".
//
// Adding a function: add its row below and define it in a source of this
// folder (the declaration comes from the row list).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath/xpath.h"

// ---- The standard registry ---------------------------------------------------------------------

// The 225 standard rows, in registration order: X(name as written in a call,
// implementation, minimum arguments, maximum arguments or -1 for no limit).
// The XPath 1.0 core comes first and the three name functions last, since
// lookup scans in this order.
#define QUORVEL_XPATH_STANDARD_ROWS(X)                                          \
    X("last", xpath_func_last, 0, 0)                                           \
    X("position", xpath_func_position, 0, 0)                                   \
    X("string", xpath_func_string, 0, 1)                                       \
    X("concat", xpath_func_concat, 2, -1)                                      \
    X("starts-with", xpath_func_starts_with, 2, 3)                             \
    X("ends-with", xpath_func_ends_with, 2, 3)                                 \
    X("deep-equal", xpath_func_deep_equal, 2, 3)                               \
    X("contains", xpath_func_contains, 2, 3)                                   \
    X("substring", xpath_func_substring, 2, 3)                                 \
    X("substring-before", xpath_func_substring_before, 2, 3)                   \
    X("substring-after", xpath_func_substring_after, 2, 3)                     \
    X("string-length", xpath_func_string_length, 0, 1)                         \
    X("normalize-space", xpath_func_normalize_space, 0, 1)                     \
    X("translate", xpath_func_translate, 3, 3)                                 \
    X("upper-case", xpath_func_upper_case, 1, 1)                               \
    X("lower-case", xpath_func_lower_case, 1, 1)                               \
    X("string-join", xpath_func_string_join, 1, 2)                             \
    X("boolean", xpath_func_boolean, 1, 1)                                     \
    X("not", xpath_func_not, 1, 1)                                             \
    X("true", xpath_func_true, 0, 0)                                           \
    X("false", xpath_func_false, 0, 0)                                         \
    X("lang", xpath_func_lang, 1, 1)                                           \
    X("number", xpath_func_number, 0, 1)                                       \
    X("sum", xpath_func_sum, 1, 2)                                             \
    X("floor", xpath_func_floor, 1, 1)                                         \
    X("ceiling", xpath_func_ceiling, 1, 1)                                     \
    X("round", xpath_func_round, 1, 2)                                         \
    X("count", xpath_func_count, 1, 1)                                         \
    X("id", xpath_func_id, 1, 1)                                               \
    X("exists", fn_exists, 1, 1)                                               \
    X("empty", fn_empty, 1, 1)                                                 \
    X("head", fn_head, 1, 1)                                                   \
    X("tail", fn_tail, 1, 1)                                                   \
    X("reverse", fn_reverse, 1, 1)                                             \
    X("unordered", fn_unordered, 1, 1)                                         \
    X("doc", fn_doc, 1, 1)                                                     \
    X("parse-xml", fn_parse_xml, 1, 1)                                         \
    X("parse-xml-fragment", fn_parse_xml_fragment, 1, 1)                       \
    X("collection", fn_collection, 0, 1)                                       \
    X("subsequence", fn_subsequence, 2, 3)                                     \
    X("remove", fn_remove, 2, 2)                                               \
    X("insert-before", fn_insert_before, 3, 3)                                 \
    X("index-of", fn_index_of, 2, 3)                                           \
    X("distinct-values", fn_distinct_values, 1, 2)                             \
    X("avg", fn_avg, 1, 1)                                                     \
    X("min", fn_min, 1, 2)                                                     \
    X("max", fn_max, 1, 2)                                                     \
    X("zero-or-one", fn_zero_or_one, 1, 1)                                     \
    X("one-or-more", fn_one_or_more, 1, 1)                                     \
    X("exactly-one", fn_exactly_one, 1, 1)                                     \
    X("function-lookup", fn_function_lookup, 2, 2)                             \
    X("function-name", fn_function_name, 1, 1)                                 \
    X("function-arity", fn_function_arity, 1, 1)                               \
    X("for-each", fn_for_each, 2, 2)                                           \
    X("filter", fn_filter, 2, 2)                                               \
    X("fold-left", fn_fold_left, 3, 3)                                         \
    X("fold-right", fn_fold_right, 3, 3)                                       \
    X("for-each-pair", fn_for_each_pair, 3, 3)                                 \
    X("sort", fn_sort_seq, 1, 3)                                               \
    X("apply", fn_apply, 2, 2)                                                 \
    X("map:for-each", fn_map_for_each, 2, 2)                                   \
    X("array:for-each", fn_array_for_each, 2, 2)                               \
    X("array:filter", fn_array_filter, 2, 2)                                   \
    X("array:fold-left", fn_array_fold_left, 3, 3)                             \
    X("array:fold-right", fn_array_fold_right, 3, 3)                           \
    X("math:sqrt", fn_sqrt, 1, 1)                                              \
    X("innermost", fn_innermost, 1, 1)                                         \
    X("outermost", fn_outermost, 1, 1)                                         \
    X("has-children", fn_has_children, 0, 1)                                   \
    X("nilled", fn_nilled, 0, 1)                                               \
    X("path", fn_path, 0, 1)                                                   \
    X("base-uri", fn_base_uri, 0, 1)                                           \
    X("document-uri", fn_uri_constant, 0, 1)                                   \
    X("static-base-uri", fn_static_base_uri, 0, 0)                             \
    X("doc-available", fn_doc_available, 1, 1)                                 \
    X("json-doc", fn_json_doc, 1, 2)                                           \
    X("compare", fn_compare, 2, 3)                                             \
    X("codepoint-equal", fn_codepoint_equal, 2, 2)                             \
    X("resolve-QName", fn_resolve_qname, 2, 2)                                 \
    X("environment-variable", fn_environment_variable, 1, 1)                   \
    X("available-environment-variables", fn_available_env_vars, 0, 0)          \
    X("unparsed-text", fn_unparsed_text, 1, 2)                                 \
    X("unparsed-text-lines", fn_unparsed_text_lines, 1, 2)                     \
    X("unparsed-text-available", fn_unparsed_text_available, 1, 2)             \
    X("uri-collection", fn_uri_collection, 0, 1)                               \
    X("random-number-generator", fn_random_number_generator, 0, 1)             \
    X("format-number", fn_format_number_plain, 2, 3)                           \
    X("snapshot", fn_snapshot, 1, 1)                                           \
    X("analyze-string", fn_analyze_string, 2, 3)                               \
    X("math:pow", fn_pow, 2, 2)                                                \
    X("math:exp", fn_exp, 1, 1)                                                \
    X("math:exp10", fn_exp10, 1, 1)                                            \
    X("math:log", fn_log, 1, 1)                                                \
    X("math:log10", fn_log10, 1, 1)                                            \
    X("math:sin", fn_sin, 1, 1)                                                \
    X("math:cos", fn_cos, 1, 1)                                                \
    X("math:tan", fn_tan, 1, 1)                                                \
    X("math:asin", fn_asin, 1, 1)                                              \
    X("math:acos", fn_acos, 1, 1)                                              \
    X("math:atan", fn_atan, 1, 1)                                              \
    X("math:atan2", fn_atan2, 2, 2)                                            \
    X("math:pi", fn_pi, 0, 0)                                                  \
    X("abs", fn_abs, 1, 1)                                                     \
    X("round-half-to-even", fn_round_half_even, 1, 2)                          \
    X("format-integer", fn_format_integer, 2, 3)                               \
    X("contains-token", fn_contains_token, 2, 2)                               \
    X("default-collation", fn_default_collation, 0, 0)                         \
    X("default-language", fn_default_language, 0, 0)                           \
    X("string-to-codepoints", fn_string_to_codepoints, 1, 1)                   \
    X("codepoints-to-string", fn_codepoints_to_string, 1, 1)                   \
    X("encode-for-uri", fn_encode_for_uri, 1, 1)                               \
    X("iri-to-uri", fn_iri_to_uri, 1, 1)                                       \
    X("escape-html-uri", fn_escape_html_uri, 1, 1)                             \
    X("QName", fn_qname, 2, 2)                                                 \
    X("local-name-from-QName", fn_local_from_qname, 1, 1)                      \
    X("prefix-from-QName", fn_prefix_from_qname, 1, 1)                         \
    X("namespace-uri-from-QName", fn_ns_from_qname, 1, 1)                      \
    X("node-name", fn_node_name, 0, 1)                                         \
    X("xs:date", fn_xs_date_t, 1, 1)                                           \
    X("xs:string", fn_passthrough_ctor, 1, 1)                                  \
    X("xs:NCName", fn_ncname_ctor, 1, 1)                                       \
    X("xs:Name", fn_name_ctor, 1, 1)                                           \
    X("xs:token", fn_token_ctor, 1, 1)                                         \
    X("xs:normalizedString", fn_normalizedstring_ctor, 1, 1)                   \
    X("xs:language", fn_language_ctor, 1, 1)                                   \
    X("xs:NMTOKEN", fn_nmtoken_ctor, 1, 1)                                     \
    X("xs:ID", fn_id_ctor, 1, 1)                                               \
    X("xs:IDREF", fn_idref_ctor, 1, 1)                                         \
    X("xs:ENTITY", fn_entity_ctor, 1, 1)                                       \
    X("xs:anyURI", fn_anyuri_ctor, 1, 1)                                        \
    X("xs:integer", fn_xs_integer, 1, 1)                                       \
    X("xs:double", fn_xs_double, 1, 1)                                         \
    X("xs:float", fn_xs_float, 1, 1)                                           \
    X("xs:decimal", fn_xs_decimal, 1, 1)                                       \
    X("xs:byte", fn_xs_byte, 1, 1)                                             \
    X("xs:unsignedByte", fn_xs_ubyte, 1, 1)                                    \
    X("xs:unsignedInt", fn_xs_uint, 1, 1)                                      \
    X("xs:int", fn_xs_int, 1, 1)                                               \
    X("xs:long", fn_xs_long, 1, 1)                                             \
    X("xs:short", fn_xs_short, 1, 1)                                           \
    X("xs:unsignedShort", fn_xs_ushort, 1, 1)                                  \
    X("xs:unsignedLong", fn_xs_ulong, 1, 1)                                    \
    X("xs:negativeInteger", fn_xs_negint, 1, 1)                                \
    X("xs:positiveInteger", fn_xs_posint, 1, 1)                                \
    X("xs:nonPositiveInteger", fn_xs_nonpos, 1, 1)                             \
    X("xs:nonNegativeInteger", fn_xs_nonneg, 1, 1)                             \
    X("xs:boolean", fn_xs_boolean, 1, 1)                                       \
    X("xs:dateTime", fn_xs_datetime_t, 1, 1)                                   \
    X("xs:time", fn_time_ctor, 1, 1)                                           \
    X("xs:duration", fn_duration_ctor, 1, 1)                                   \
    X("xs:dayTimeDuration", fn_daytimeduration_ctor, 1, 1)                     \
    X("xs:yearMonthDuration", fn_yearmonthduration_ctor, 1, 1)                 \
    X("xs:QName", fn_qname_ctor, 1, 2)                                         \
    X("xs:untypedAtomic", fn_untyped_ctor, 1, 1)                               \
    X("xs:hexBinary", fn_hexbinary_ctor, 1, 1)                                 \
    X("xs:base64Binary", fn_base64binary_ctor, 1, 1)                           \
    X("xs:gYear", fn_gyear_ctor, 1, 1)                                         \
    X("xs:gYearMonth", fn_gyearmonth_ctor, 1, 1)                               \
    X("xs:gMonthDay", fn_gmonthday_ctor, 1, 1)                                 \
    X("xs:gMonth", fn_gmonth_ctor, 1, 1)                                       \
    X("xs:gDay", fn_gday_ctor, 1, 1)                                           \
    X("implicit-timezone", fn_implicit_tz, 0, 0)                               \
    X("current-dateTime", fn_current_dt, 0, 0)                                 \
    X("current-date", fn_current_date, 0, 0)                                   \
    X("current-time", fn_current_time, 0, 0)                                   \
    X("adjust-dateTime-to-timezone", fn_adjust_dttz, 1, 2)                     \
    X("adjust-date-to-timezone", fn_adjust_dtetz, 1, 2)                        \
    X("adjust-time-to-timezone", fn_adjust_ttz, 1, 2)                          \
    X("format-dateTime", fn_format_dttz, 2, 5)                                 \
    X("format-date", fn_format_dtetz, 2, 5)                                    \
    X("format-time", fn_format_ttz, 2, 5)                                      \
    X("year-from-dateTime", fn_year_from_dt, 1, 1)                             \
    X("year-from-date", fn_year_from_dt, 1, 1)                                 \
    X("month-from-date", fn_month_from_dt, 1, 1)                               \
    X("day-from-date", fn_day_from_dt, 1, 1)                                   \
    X("hours-from-dateTime", fn_hours_from_t, 1, 1)                            \
    X("minutes-from-dateTime", fn_minutes_from_t, 1, 1)                        \
    X("seconds-from-dateTime", fn_seconds_from_t, 1, 1)                        \
    X("minutes-from-duration", fn_minutes_from_dur, 1, 1)                      \
    X("seconds-from-duration", fn_seconds_from_dur, 1, 1)                      \
    X("timezone-from-dateTime", fn_timezone_from, 1, 1)                        \
    X("timezone-from-date", fn_timezone_from, 1, 1)                            \
    X("timezone-from-time", fn_timezone_from, 1, 1)                            \
    X("parse-ietf-date", fn_parse_ietf_date, 1, 1)                             \
    X("month-from-dateTime", fn_month_from_dt, 1, 1)                           \
    X("day-from-dateTime", fn_day_from_dt, 1, 1)                               \
    X("hours-from-time", fn_hours_from_t, 1, 1)                                \
    X("minutes-from-time", fn_minutes_from_t, 1, 1)                            \
    X("seconds-from-time", fn_seconds_from_t, 1, 1)                            \
    X("years-from-duration", fn_years_from_dur, 1, 1)                          \
    X("months-from-duration", fn_months_from_dur, 1, 1)                        \
    X("days-from-duration", fn_days_from_dur, 1, 1)                            \
    X("hours-from-duration", fn_hours_from_dur, 1, 1)                          \
    X("matches", fn_matches, 2, 3)                                             \
    X("replace", fn_replace, 3, 4)                                             \
    X("tokenize", fn_tokenize, 1, 3)                                           \
    X("map:get", fn_map_get, 2, 2)                                             \
    X("map:size", fn_map_size, 1, 1)                                           \
    X("map:keys", fn_map_keys, 1, 1)                                           \
    X("map:contains", fn_map_contains, 2, 2)                                   \
    X("map:put", fn_map_put, 3, 3)                                             \
    X("map:remove", fn_map_remove, 2, 2)                                       \
    X("map:merge", fn_map_merge, 1, 2)                                         \
    X("map:entry", fn_map_entry, 2, 2)                                         \
    X("map:find", fn_map_find, 2, 2)                                           \
    X("array:size", fn_map_size, 1, 1)                                         \
    X("array:get", fn_array_get, 2, 2)                                         \
    X("array:append", fn_array_append, 2, 2)                                   \
    X("array:put", fn_array_put, 3, 3)                                         \
    X("array:remove", fn_array_remove, 2, 2)                                   \
    X("array:subarray", fn_array_subarray, 2, 3)                               \
    X("array:head", fn_array_head, 1, 1)                                       \
    X("array:tail", fn_array_tail, 1, 1)                                       \
    X("array:reverse", fn_array_reverse, 1, 1)                                 \
    X("array:join", fn_array_join, 1, 1)                                       \
    X("array:insert-before", fn_array_insert_before, 3, 3)                     \
    X("array:flatten", fn_array_flatten, 1, 1)                                 \
    X("array:sort", fn_array_sort, 1, 3)                                       \
    X("parse-json", fn_parse_json, 1, 2)                                       \
    X("json-to-xml", fn_json_to_xml, 1, 2)                                     \
    X("xml-to-json", fn_xml_to_json, 1, 2)                                     \
    X("serialize", fn_serialize, 1, 2)                                         \
    X("local-name", xpath_func_local_name, 0, 1)                               \
    X("namespace-uri", xpath_func_namespace_uri, 0, 1)                         \
    X("name", xpath_func_name, 0, 1)

constexpr size_t kXpathStandardRowCount = 225;

// Every implementation named by a row.
#define QUORVEL_XPATH_DECLARE_BUILTIN(name, function, min, max) \
    quorvel_xpath_result* function(quorvel_xpath_context* context, quorvel_xpath_ast_node** arguments, size_t count);
QUORVEL_XPATH_STANDARD_ROWS(QUORVEL_XPATH_DECLARE_BUILTIN)
#undef QUORVEL_XPATH_DECLARE_BUILTIN

// xpath_function_registry_init_standard (declared in xpath.h) appends the
// rows to a registry; xpath_standard_registry_ready fills the process-wide
// registry once.


// Sets the context's error text and code unless an error is already set:
// the first failure of an evaluation is the one reported.
void fn_fail_code(quorvel_xpath_context* context, const char* code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Evaluates one argument: the evaluator's value, or NULL with its message
// ("NULL AST node" for a missing argument).
inline quorvel_xpath_result* fn_evaluate(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument) {
    if (!argument) {
        xpath_context_fail(context, "NULL AST node");
        return nullptr;
    }
    return evaluate_expr(context, argument);
}

// The items of a set, low markers not counted: how many, and in *only the
// item when there is exactly one (else NULL). A NULL set has none.
inline size_t fn_item_count(const quorvel_xpath_node_set* set, const quorvel_node** only) {
    size_t n = 0;
    const quorvel_node* last = nullptr;
    for (size_t i = 0; set && i < set->count; i++)
        if (reinterpret_cast<uintptr_t>(set->items[i]) > kXpathLowestItem) {
            last = set->items[i];
            n++;
        }
    *only = n == 1 ? last : nullptr;
    return n;
}

// Evaluates an argument into a sequence that owns its items, low markers
// dropped; NULL on failure (the evaluator's message, or "Out of memory").
quorvel_xpath_node_set* fn_argument_items(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument);

// ---- Growing text ---------------------------------------------------------------------------------

// A NUL-terminated text built by appending; once memory runs out it stays
// failed and take() gives NULL.
struct fn_text {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool failed = false;

    fn_text() = default;
    fn_text(const fn_text&) = delete;
    fn_text& operator=(const fn_text&) = delete;
    ~fn_text() { std::free(data); }

    void append(const char* bytes, size_t n) {
        if (failed) return;
        if (length + n + 1 > capacity) {
            size_t grown = capacity ? capacity : 64;
            while (grown < length + n + 1) grown *= 2;
            char* fresh = static_cast<char*>(std::realloc(data, grown));
            if (!fresh) {
                failed = true;
                return;
            }
            data = fresh;
            capacity = grown;
        }
        if (n) std::memcpy(data + length, bytes, n);
        length += n;
        data[length] = '\0';
    }
    void append(const char* s) { append(s, std::strlen(s)); }
    void append(char c) { append(&c, 1); }
    void clear() {
        length = 0;
        if (data) data[0] = '\0';
    }
    const char* str() const { return data ? data : ""; }
    void repeat(char c, size_t n) {
        for (size_t k = 0; k < n && !failed; k++) append(&c, 1);
    }
    void append_code_point(uint32_t c) {
        char b[4];
        append(b, quorvel_utf8_encode(c, b));
    }
    // The text for the caller to free ("" when nothing was appended), or
    // NULL when memory ran out; the buffer is empty afterwards.
    char* take() {
        if (!failed && !data) append("", 0);
        char* d = failed ? nullptr : data;
        if (failed) std::free(data);
        data = nullptr;
        length = capacity = 0;
        failed = false;
        return d;
    }
};

// ---- Result builders ------------------------------------------------------------------------------

// A new empty sequence: a node-set result whose set owns its carriers and is
// flagged as a sequence. NULL when memory runs out.
quorvel_xpath_result* seq_new();
// Appends a carrier holding a copy of text (NULL reads as ""). Texts are
// stored as given: a text that looks like a node reference is only text.
// False when memory runs out (nothing appended).
bool seq_push_str(quorvel_xpath_result* sequence, const char* text);
// The typed text of a result that is not a node set: an exact integer as
// digits, other numbers in the XML Schema canonical form at double
// precision, strings as they are, booleans "true"/"false". NULL for a node
// set or when memory runs out; the caller frees it.
char* scalar_str(const quorvel_xpath_result* result);

// Small builders shared by the functions: each returns NULL (with "Out of
// memory" in the context) when the record cannot be made.
quorvel_xpath_result* fn_boolean_result(quorvel_xpath_context* context, bool value);
quorvel_xpath_result* fn_number_result(quorvel_xpath_context* context, double value);
// Takes over text (malloc'd; NULL is treated as out of memory).
quorvel_xpath_result* fn_string_result_take(quorvel_xpath_context* context, char* text);
quorvel_xpath_result* fn_string_result_copy(quorvel_xpath_context* context, const char* text, size_t length);
// Evaluates one argument to its XPath 1.0 string; NULL on failure (the
// evaluator's message, or "Out of memory").
char* fn_arg_string(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument);
// Evaluates one argument to its XPath 1.0 number; false on failure.
bool fn_arg_number(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument, double* out);

// ---- Durations, times and dates ---------------------------------------------------------------

// 1 and the month total when text is a year-month duration, else 0.
int quorvel_dur_try_months(const char* text, double* months);
// 1 and the second total when text is a day-time duration, else 0.
int quorvel_dur_try_seconds(const char* text, double* seconds);
// 1 when text is a time of day hh:mm:ss[.f][zone]: raw = the seconds minus
// the zone offset, seconds = raw reduced into one day. Either may be NULL.
int quorvel_time_norm_seconds(const char* text, double* seconds, double* raw);
// Writes the year-month duration text of a finite month total.
void quorvel_dur_format_months(char* buffer, size_t size, double months);
// Writes the day-time duration text of a number of seconds into out[64].
void quorvel_dur_format(char* out, double seconds);
// Moves a date, dateTime or time text by seconds (fractions kept to the
// nanosecond), written in the same form into out[64]: 1; 0 when the text
// does not parse; -1 when the amount or the result leaves the supported
// years (-999999999 to 999999999).
int quorvel_dt_shift(const char* text, char* out, double seconds);
// Moves a date or dateTime text by whole months (the day clamped to the
// target month); 1, 0 or -1 as quorvel_dt_shift.
int quorvel_dt_shift_months(const char* text, char* out, double months);
// The instant of a date, dateTime or time text as whole seconds from
// 1970-01-01T00:00:00Z and a fraction in [0, 1): no zone reads as UTC (the
// implicit zone), a date is its midnight and a time stands on 1972-12-31.
// 0 when the text does not parse.
int quorvel_dt_instant(const char* text, int64_t* whole, double* fraction);

// The fields of a date, dateTime or time text (not range-checked); 0 when
// none could be read.
int h_dt_parse(const char* text, int* year, int* month, int* day, int* hour, int* minute, double* second,
               int64_t* zone_minutes, int* has_zone);
// The proleptic Gregorian date of a day count from 1970-01-01.
void h_civil_from_days(int64_t days, int* year, int* month, int* day);
// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t h_days_from_civil(int64_t year, int64_t month, int64_t day);
// 1 and both totals (months; days, hours, minutes and seconds as seconds)
// for any duration text, parts added up; else 0.
int dur_ms_parse(const char* text, double* months, double* seconds);
// Writes the canonical duration text of the two totals (PT0S for zero) into
// out; a sign that disagrees between them takes the months' side.
void dur_ms_format(char* out, size_t size, double months, double seconds);
// Evaluates a collation argument: true for the Unicode codepoint collation,
// the only one supported; else false with FOCH0002 (or the evaluator's message).
bool fn_check_collation(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument);
// Minutes of a timezone duration (-PT14H to PT14H, whole minutes), or
// INT64_MIN for any other text.
int64_t h_tz_duration_min(const char* text);

// ---- Date and time values: components, timezones, formatting, IETF dates -------------------------

// A date, dateTime or time read from its lexical form; "24:00:00" is already
// moved to midnight of the next day.
struct dt_value {
    char kind;     // 'T' xs:dateTime, 'E' xs:date, 't' xs:time
    int64_t year;  // as written: 0 and negative years allowed, |year| < 10^9
    int32_t month, day, hour, minute, second;
    char fraction[19];  // digits after the point, no trailing zeros ("" for none)
    int32_t has_zone;
    int32_t zone_minutes;  // east positive
};
constexpr size_t kDtTextSize = 64;
// Reads the whole text as the lexical form of kind ('T', 'E' or 't'),
// ranges checked; false when it is not one.
bool dt_read(const char* text, char kind, dt_value* out);
// Writes the canonical text of a value into out[kDtTextSize].
void dt_write(const dt_value& value, char* out);
// Evaluates an argument of one of the kinds (untyped values are cast to the
// first kind they read as): 1 = *out set, 0 = the empty sequence, -1 =
// failure reported (XPTY0004 for another type, FORG0001 for a bad value).
int dt_argument(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument, const char* kinds,
                const char* function, dt_value* out);
// The canonical xs:dayTimeDuration text of a timezone offset in minutes.
void dt_write_duration_minutes(int64_t minutes, char* out, size_t size);

// ---- Equality ---------------------------------------------------------------------------------

// Equality of two atomic item texts (carrier texts: untagged, or 0x03, a tag
// letter and the lexical text) by their tags. nan_equal makes NaN equal NaN.
int quorvel_atom_seq_eq_n(const char* a, const char* b, int nan_equal);

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
constexpr uint64_t kXreBacktrackBudget = 10000000;

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
// are unassigned) and one-to-one case partners, both sorted by code point,
// and the blocks, sorted by name.
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
struct xre_block {
    const char* name;  // "Is" and the block name without spaces
    uint32_t first;
    uint32_t last;
};
extern const xre_block kXreBlocks[];
extern const size_t kXreBlockCount;
// The category range holding a code point, or NULL for an unassigned one.
const xre_category_range* xre_category_range_of(uint32_t code_point);
// Zero of the decimal digit family of a code point (decimal digits come in
// runs of ten from their zero), or -1 when it is no decimal digit.
int64_t xre_digit_zero(uint32_t code_point);

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

// ---- JSON text helpers ----------------------------------------------------------------------------

// A JSON reader's position: the cursor and a flag that failures clear.
struct quorvel_json_reader {
    const char* cursor;
    int ok;
};
// Reads the JSON string at the cursor into a malloc'd UTF-8 text, escapes
// decoded (\u escapes and surrogate pairs included), and moves the cursor
// past it: 1, or 0 with ok cleared and *out NULL for a malformed string
// (no opening quote, unterminated, a bad escape or lone surrogate, a raw
// control character) or no memory.
int json_string(quorvel_json_reader* reader, char** out);
// Append to a growable buffer (doubling; the buffer and its capacity are the
// caller's). xml_esc escapes " & < > and terminates the buffer; json_out
// escapes " \ and every control character (\b \f \n \r \t, others \u00XX)
// and writes no terminator. When the buffer cannot grow the append stops
// there and the buffer keeps what it had.
void xml_esc(char** buffer, size_t* length, size_t* capacity, const char* text);
void json_out(char** buffer, size_t* length, size_t* capacity, const char* text);
// "boolean", "null", "number" (strtod reads the whole non-empty text) or
// "string" (also for NULL and "").
const char* jtype_of(const char* text);

// ---- Maps, arrays and JSON ------------------------------------------------------------------------

// The one map or array an argument gives, with a reference for the caller;
// NULL with the context error (XPTY0004 naming function for any other
// value). want: 0 a map, 1 an array, -1 either.
quorvel_xpath_map_value* fn_map_arg(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument,
                                    const char* function, int want);
// A new empty set that owns its synthetic items and is a sequence, with
// room for capacity items; NULL when memory runs out.
quorvel_xpath_node_set* fn_owning_set(size_t capacity = 0);
// A result holding set (taken over, freed on failure); NULL with "Out of
// memory".
quorvel_xpath_result* fn_sequence_result(quorvel_xpath_context* context, quorvel_xpath_node_set* set);
// Evaluates an argument into a new owning sequence of its value's items
// (see xpath_value_items); NULL on failure (the evaluator's message, or
// "Out of memory").
quorvel_xpath_node_set* fn_argument_value(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument);
// Appends a copy of an item (synthetic items duplicated, nodes shared);
// false when memory runs out.
bool fn_set_add_copy(quorvel_xpath_node_set* set, const quorvel_node* item);
// Takes over a fresh item (disposed when it cannot be added); false when
// memory runs out or item is NULL.
bool fn_set_add_owned(quorvel_xpath_node_set* set, quorvel_node* item);
// Evaluates an xs:integer argument (a whole number typed as an integer, or
// an untyped value that reads as one); false with XPTY0004 or FORG0001 (or
// the evaluator's message).
bool fn_integer_arg(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument, const char* function,
                    int64_t* out);
// A depth-first walk over items that enters the values of maps and the
// members of arrays where asked, on a stack of its own (values nest as deep
// as data can make them).
struct fn_item_walk {
    struct frame {
        const quorvel_xpath_node_set* set;
        size_t next;
        quorvel_xpath_map_value* holder;  // keeps set alive; NULL for a set the caller keeps
    };
    frame* stack = nullptr;
    size_t depth = 0;
    size_t capacity = 0;

    fn_item_walk() = default;
    fn_item_walk(const fn_item_walk&) = delete;
    fn_item_walk& operator=(const fn_item_walk&) = delete;
    ~fn_item_walk();
    // Visits the items of set next; holder's reference is taken over (and
    // released when memory runs out). False when memory runs out.
    bool push(const quorvel_xpath_node_set* set, quorvel_xpath_map_value* holder);
    // Visits the values (or members) of map next, in order, before what was
    // pending. False when memory runs out.
    bool enter(quorvel_xpath_map_value* map);
    // The next item (low markers skipped), or NULL when the walk is over.
    const quorvel_node* next();
};
// The maps (or arrays) a sequence holds, each with a reference released
// with the list, and the total of their entries.
struct fn_map_list {
    quorvel_xpath_map_value** maps = nullptr;  // count slots, NULL where the set held no item
    size_t count = 0;
    size_t total = 0;

    fn_map_list() = default;
    fn_map_list(const fn_map_list&) = delete;
    fn_map_list& operator=(const fn_map_list&) = delete;
    ~fn_map_list();
    // Reads a value as a sequence of maps (arrays false) or of arrays: 1;
    // 0 when the value is no sequence or holds anything else; -1 when
    // memory runs out.
    int read(const quorvel_xpath_result* value, bool arrays);
};
// Options maps: the one item stored under name in options (NULL for no
// map, no entry or an empty value); an entry holding several items fails
// with XPTY0004 and sets *bad.
const quorvel_node* fn_option_item(quorvel_xpath_context* context, const quorvel_xpath_map_value* options,
                                   const char* name, bool* bad);
// A boolean option: false with XPTY0004 when the value is no boolean.
bool fn_option_boolean(quorvel_xpath_context* context, const quorvel_xpath_map_value* options, const char* name,
                       bool fallback, bool* out);
// ---- Constructors and QNames ----------------------------------------------------------------------------

// The body of every xs: constructor: the argument cast to type (see
// xpath_cast_value); the empty sequence for an empty argument, XPTY0004 for
// more than one item.
quorvel_xpath_result* fn_construct(quorvel_xpath_context* context, quorvel_xpath_ast_node** arguments, size_t count,
                                   const char* type);
// ---- Documents, resources, comparison and node functions ----------------------------------------

// An optional string argument (one item or none): true with *out the
// item's string value (malloc'd), or NULL for the empty sequence; false on
// failure (XPTY0004 for more than one item or a map, array or function).
bool fn_optional_string(quorvel_xpath_context* context, const quorvel_xpath_ast_node* argument, char** out);
// Keeps a document the evaluation made among the context's documents
// (freed with the context unless the result refers to it). False when
// memory runs out: the document is then freed.
bool fn_keep_document(quorvel_xpath_context* context, quorvel_document* doc);
// A new owning sequence holding node (none for NULL); NULL when memory runs
// out.
quorvel_xpath_result* fn_sequence_of(quorvel_xpath_context* context, quorvel_node* node);
// The URI doc() read a document from during this evaluation, or NULL.
const char* xpath_document_uri(const quorvel_xpath_context* context, const quorvel_document* doc);
