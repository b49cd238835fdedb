// Standard functions not built yet: each fails with "Function %s not
// implemented" until its implementation replaces the line here. Lines are
// grouped as the registry is, one group per family, so that work on
// different families touches different groups.
#include "xpath_functions/functions.h"

#define QUORVEL_XPATH_NOT_BUILT(function, name)                                                                    \
    quorvel_xpath_result* function(quorvel_xpath_context* context, quorvel_xpath_ast_node**, size_t) {            \
        xpath_context_fail(context, "Function %s not implemented", name);                                          \
        return nullptr;                                                                                            \
    }

// ---- XPath 1.0 core functions and their 2.0 extensions


// ---- Sequence tests and reshaping


// ---- Documents and collections

QUORVEL_XPATH_NOT_BUILT(fn_doc, "doc")
QUORVEL_XPATH_NOT_BUILT(fn_parse_xml, "parse-xml")
QUORVEL_XPATH_NOT_BUILT(fn_parse_xml_fragment, "parse-xml-fragment")

// ---- More sequence functions

QUORVEL_XPATH_NOT_BUILT(fn_avg, "avg")
QUORVEL_XPATH_NOT_BUILT(fn_min, "min")
QUORVEL_XPATH_NOT_BUILT(fn_max, "max")

// ---- Higher-order functions

QUORVEL_XPATH_NOT_BUILT(fn_function_lookup, "function-lookup")
QUORVEL_XPATH_NOT_BUILT(fn_function_name, "function-name")
QUORVEL_XPATH_NOT_BUILT(fn_function_arity, "function-arity")
QUORVEL_XPATH_NOT_BUILT(fn_for_each, "for-each")
QUORVEL_XPATH_NOT_BUILT(fn_filter, "filter")
QUORVEL_XPATH_NOT_BUILT(fn_fold_left, "fold-left")
QUORVEL_XPATH_NOT_BUILT(fn_fold_right, "fold-right")
QUORVEL_XPATH_NOT_BUILT(fn_for_each_pair, "for-each-pair")
QUORVEL_XPATH_NOT_BUILT(fn_sort_seq, "sort")
QUORVEL_XPATH_NOT_BUILT(fn_apply, "apply")
QUORVEL_XPATH_NOT_BUILT(fn_map_for_each, "map:for-each")
QUORVEL_XPATH_NOT_BUILT(fn_array_for_each, "array:for-each")
QUORVEL_XPATH_NOT_BUILT(fn_array_filter, "array:filter")
QUORVEL_XPATH_NOT_BUILT(fn_array_fold_left, "array:fold-left")
QUORVEL_XPATH_NOT_BUILT(fn_array_fold_right, "array:fold-right")

// ---- Square root


// ---- Node properties

QUORVEL_XPATH_NOT_BUILT(fn_innermost, "innermost")
QUORVEL_XPATH_NOT_BUILT(fn_outermost, "outermost")
QUORVEL_XPATH_NOT_BUILT(fn_has_children, "has-children")
QUORVEL_XPATH_NOT_BUILT(fn_nilled, "nilled")
QUORVEL_XPATH_NOT_BUILT(fn_path, "path")
QUORVEL_XPATH_NOT_BUILT(fn_base_uri, "base-uri")

// ---- Environment, external text and miscellaneous

QUORVEL_XPATH_NOT_BUILT(fn_uri_constant, "document-uri")
QUORVEL_XPATH_NOT_BUILT(fn_doc_available, "doc-available")
QUORVEL_XPATH_NOT_BUILT(fn_json_doc, "json-doc")
QUORVEL_XPATH_NOT_BUILT(fn_compare, "compare")
QUORVEL_XPATH_NOT_BUILT(fn_codepoint_equal, "codepoint-equal")
QUORVEL_XPATH_NOT_BUILT(fn_resolve_qname, "resolve-QName")
QUORVEL_XPATH_NOT_BUILT(fn_environment_variable, "environment-variable")
QUORVEL_XPATH_NOT_BUILT(fn_available_env_vars, "available-environment-variables")
QUORVEL_XPATH_NOT_BUILT(fn_unparsed_text, "unparsed-text")
QUORVEL_XPATH_NOT_BUILT(fn_unparsed_text_lines, "unparsed-text-lines")
QUORVEL_XPATH_NOT_BUILT(fn_unparsed_text_available, "unparsed-text-available")
QUORVEL_XPATH_NOT_BUILT(fn_uri_collection, "uri-collection")
QUORVEL_XPATH_NOT_BUILT(fn_random_number_generator, "random-number-generator")
QUORVEL_XPATH_NOT_BUILT(fn_format_number_plain, "format-number")
QUORVEL_XPATH_NOT_BUILT(fn_snapshot, "snapshot")
QUORVEL_XPATH_NOT_BUILT(fn_analyze_string, "analyze-string")

// ---- The math namespace


// ---- Numbers, tokens and code points


// ---- URIs and QNames

QUORVEL_XPATH_NOT_BUILT(fn_escape_html_uri, "escape-html-uri")
QUORVEL_XPATH_NOT_BUILT(fn_qname, "QName")
QUORVEL_XPATH_NOT_BUILT(fn_local_from_qname, "local-name-from-QName")
QUORVEL_XPATH_NOT_BUILT(fn_prefix_from_qname, "prefix-from-QName")
QUORVEL_XPATH_NOT_BUILT(fn_ns_from_qname, "namespace-uri-from-QName")
QUORVEL_XPATH_NOT_BUILT(fn_node_name, "node-name")

// ---- XML Schema constructors

QUORVEL_XPATH_NOT_BUILT(fn_qname_ctor, "xs:QName")

// ---- Dates, times and durations


// ---- Regular expressions


// ---- Maps and arrays

QUORVEL_XPATH_NOT_BUILT(fn_map_get, "map:get")
QUORVEL_XPATH_NOT_BUILT(fn_map_contains, "map:contains")
QUORVEL_XPATH_NOT_BUILT(fn_map_put, "map:put")
QUORVEL_XPATH_NOT_BUILT(fn_map_remove, "map:remove")
QUORVEL_XPATH_NOT_BUILT(fn_array_get, "array:get")
QUORVEL_XPATH_NOT_BUILT(fn_array_append, "array:append")
QUORVEL_XPATH_NOT_BUILT(fn_array_put, "array:put")
QUORVEL_XPATH_NOT_BUILT(fn_array_remove, "array:remove")

// ---- JSON and serialization

QUORVEL_XPATH_NOT_BUILT(fn_parse_json, "parse-json")
QUORVEL_XPATH_NOT_BUILT(fn_json_to_xml, "json-to-xml")
QUORVEL_XPATH_NOT_BUILT(fn_xml_to_json, "xml-to-json")
QUORVEL_XPATH_NOT_BUILT(fn_serialize, "serialize")

// ---- Node names

