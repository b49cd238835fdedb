// The QT3 runner: every case of the test sets below whose dependencies admit
// XPath 3.1 runs through the public API with its environment (source
// document, namespaces), and its assertions are checked. Cases that fail are
// listed in qt3_known_failures.txt with a reason; an unlisted failure fails
// the test, and so does a listed case that passes. A per-set summary shows
// passed, failed and skipped cases (with the reasons for skipping).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel.h"
#include "conformance/qt3_catalogue.h"
#include "conformance/suite_lists.h"
#include "support/testdata.h"
#include "core/core.h"
#include "dom/dom.h"
#include "xpath/xpath.h"

namespace {

// The test sets the engine is measured on so far.
const char* const kSets[] = {
    "prod-AxisStep", "prod-AxisStep.abbr", "prod-AxisStep.ancestor", "prod-AxisStep.ancestor-or-self",
    "prod-AxisStep.following", "prod-AxisStep.following-sibling", "prod-AxisStep.preceding",
    "prod-AxisStep.preceding-sibling", "prod-AxisStep.static-typing", "prod-AxisStep.unabbr", "prod-PathExpr",
    "prod-StepExpr", "prod-Predicate", "prod-NameTest", "prod-NodeTest", "prod-ContextItemExpr", "prod-Literal",
    "prod-ParenthesizedExpr", "fn-position", "fn-last",
    // Operators of logic, comparison and arithmetic, and the XPath 1.0 functions.
    "op-numeric-add", "op-numeric-subtract", "op-numeric-multiply", "op-numeric-divide", "op-numeric-integer-divide",
    "op-numeric-mod", "op-numeric-unary-minus", "op-numeric-unary-plus", "op-numeric-equal", "op-numeric-less-than",
    "op-numeric-greater-than", "op-boolean-equal", "op-boolean-less-than", "op-boolean-greater-than",
    "op-string-equal", "op-string-less-than", "op-string-greater-than", "op-is-same-node", "op-node-before",
    "op-node-after", "op-to", "op-concat", "op-duration-equal", "op-dayTimeDuration-less-than",
    "op-dayTimeDuration-greater-than", "op-yearMonthDuration-less-than", "op-yearMonthDuration-greater-than",
    "prod-OrExpr", "prod-GeneralComp.eq", "prod-GeneralComp.ne", "prod-GeneralComp.lt", "prod-GeneralComp.le",
    "prod-GeneralComp.gt", "prod-GeneralComp.ge", "prod-ValueComp", "prod-FunctionCall", "fn-boolean", "fn-not",
    "fn-true", "fn-false", "fn-count", "fn-sum", "fn-number", "fn-floor", "fn-ceiling", "fn-round", "fn-lang",
    "fn-id", "fn-name", "fn-local-name", "fn-namespace-uri", "fn-string", "fn-concat", "fn-contains",
    "fn-starts-with", "fn-ends-with", "fn-substring", "fn-substring-before", "fn-substring-after",
    "fn-string-length", "fn-normalize-space", "fn-translate", "fn-upper-case", "fn-lower-case", "fn-string-join",
    // Regular expressions, number formatting, math functions and numeric constructors.
    "fn-matches", "fn-matches.re", "fn-replace", "fn-tokenize", "fn-format-integer", "math-acos", "math-asin",
    "math-atan", "math-atan2", "math-cos", "math-exp", "math-exp10", "math-log", "math-log10", "math-pi", "math-pow",
    "math-sin", "math-sqrt", "math-tan", "fn-abs", "fn-round-half-to-even", "xs-double", "xs-float", "xs-numeric",
    // Maps, arrays, function items, constructors, try/catch, small string and URI functions.
    "prod-MapConstructor", "prod-Lookup", "map-size", "map-keys", "map-merge", "array-size",
    "prod-InlineFunctionExpr", "prod-NamedFunctionRef", "prod-ArrowPostfix", "prod-TryCatchExpr",
    "prod-CompElemConstructor", "prod-CompAttrConstructor", "prod-CompTextConstructor", "prod-CompDocConstructor",
    "prod-CompCommentConstructor", "prod-CompPIConstructor", "fn-codepoints-to-string", "fn-string-to-codepoints",
    "fn-contains-token", "fn-encode-for-uri", "fn-iri-to-uri", "fn-default-collation", "fn-default-language",
    "fn-collection",
    // Sequences, bindings, sequence types, sequence functions, deep equality, dates and times.
    "prod-IfExpr", "prod-SwitchExpr", "prod-ForClause", "prod-LetClause", "prod-QuantifiedExpr", "op-union",
    "op-intersect", "op-except", "op-bang", "op-concatenate", "prod-InstanceofExpr", "prod-CastExpr",
    "prod-CastableExpr", "prod-TreatExpr", "prod-TypeswitchExpr", "prod-SequenceType", "fn-exists", "fn-empty",
    "fn-head", "fn-tail", "fn-reverse", "fn-unordered", "fn-subsequence", "fn-remove", "fn-insert-before",
    "fn-distinct-values", "fn-index-of", "fn-zero-or-one", "fn-one-or-more", "fn-exactly-one", "fn-deep-equal",
    "fn-current-date", "fn-current-dateTime", "fn-current-time", "fn-implicit-timezone", "op-date-equal",
    "op-date-greater-than", "op-date-less-than", "op-dateTime-equal", "op-dateTime-greater-than",
    "op-dateTime-less-than", "op-time-equal", "op-time-greater-than", "op-time-less-than",
    // Map and array functions, JSON and serialization.
    "map-get", "map-contains", "map-put", "map-remove", "map-entry", "map-find", "array-get", "array-append",
    "array-put", "array-remove", "array-subarray", "array-head", "array-tail", "array-reverse", "array-join",
    "array-insert-before", "array-flatten", "array-sort", "fn-parse-json", "fn-json-doc", "fn-json-to-xml",
    "fn-xml-to-json", "fn-serialize",
    // Aggregates and date and duration arithmetic.
    "fn-avg", "fn-min", "fn-max", "op-add-dayTimeDurations", "op-add-dayTimeDuration-to-date",
    "op-add-dayTimeDuration-to-dateTime", "op-add-dayTimeDuration-to-time", "op-add-yearMonthDurations",
    "op-add-yearMonthDuration-to-date", "op-add-yearMonthDuration-to-dateTime", "op-divide-dayTimeDuration",
    "op-divide-yearMonthDuration", "op-divide-dayTimeDuration-by-dayTimeDuration",
    "op-divide-yearMonthDuration-by-yearMonthDuration", "op-multiply-dayTimeDuration", "op-multiply-yearMonthDuration",
    "op-subtract-dates", "op-subtract-dateTimes", "op-subtract-dayTimeDuration-from-date",
    "op-subtract-dayTimeDuration-from-dateTime", "op-subtract-dayTimeDuration-from-time",
    "op-subtract-dayTimeDurations", "op-subtract-times", "op-subtract-yearMonthDuration-from-date",
    "op-subtract-yearMonthDuration-from-dateTime", "op-subtract-yearMonthDurations",
    // Function items and higher-order functions.
    "fn-function-lookup", "fn-function-name", "fn-function-arity", "fn-apply", "fn-for-each", "fn-filter",
    "fn-fold-left", "fn-fold-right", "fn-for-each-pair", "fn-sort", "map-for-each", "array-for-each",
    "array-filter", "array-fold-left", "array-fold-right", "misc-HigherOrderFunctions",
    // Comparison, random numbers, analyze-string, documents, resources, environment and node functions.
    "fn-compare", "fn-codepoint-equal", "fn-random-number-generator", "fn-resolve-QName", "fn-analyze-string",
    "fn-doc", "fn-doc-available", "fn-parse-xml", "fn-parse-xml-fragment", "fn-unparsed-text",
    "fn-unparsed-text-lines", "fn-unparsed-text-available", "fn-environment-variable",
    "fn-available-environment-variables", "fn-path", "fn-innermost", "fn-outermost", "fn-has-children",
    "fn-nilled", "fn-node-name", "fn-base-uri", "fn-document-uri", "fn-uri-collection",
    // Constructors, casts and QNames.
    "prod-CastExpr.derived", "xs-anyURI", "xs-base64Binary", "xs-normalizedString", "xs-token", "xs-error",
    "fn-QName", "fn-local-name-from-QName", "fn-prefix-from-QName", "fn-namespace-uri-from-QName", "op-QName-equal",
    "fn-escape-html-uri", "fn-format-number",
    // Date, time and duration components, timezone adjustment, date formatting and IETF dates.
    "fn-year-from-dateTime", "fn-month-from-dateTime", "fn-day-from-dateTime", "fn-hours-from-dateTime",
    "fn-minutes-from-dateTime", "fn-seconds-from-dateTime", "fn-timezone-from-dateTime", "fn-year-from-date",
    "fn-month-from-date", "fn-day-from-date", "fn-timezone-from-date", "fn-hours-from-time", "fn-minutes-from-time",
    "fn-seconds-from-time", "fn-timezone-from-time", "fn-years-from-duration", "fn-months-from-duration",
    "fn-days-from-duration", "fn-hours-from-duration", "fn-minutes-from-duration", "fn-seconds-from-duration",
    "fn-adjust-dateTime-to-timezone", "fn-adjust-date-to-timezone", "fn-adjust-time-to-timezone", "fn-format-date",
    "fn-format-dateTime", "fn-format-time", "fn-parse-ietf-date",
};

// QUORVEL_QT3_LIST_FAILURES=1 prints every failing case in the format of
// qt3_known_failures.txt (listed reasons kept, new ones guessed from the
// engine's message) instead of checking the list, so that the list can be
// made again after several changes land together.
bool listing_failures() {
    const char* v = std::getenv("QUORVEL_QT3_LIST_FAILURES");
    return v && !std::strcmp(v, "1");
}

// QUORVEL_QT3_SLOW_MS=N prints every case whose evaluation takes N ms or
// more, to find what makes the suite slow under the sanitizers.
long long slow_case_ms() {
    const char* v = std::getenv("QUORVEL_QT3_SLOW_MS");
    return v && *v ? std::atoll(v) : -1;
}

// A reason for a failure not listed yet, from what the engine said.
std::string guessed_reason(const std::string& message, bool had_result, bool error_expected) {
    if (had_result && error_expected) return "gives a value where an error is expected (no type errors yet)";
    if (had_result) return "wrong result";
    if (message.find("not implemented") != std::string::npos) return "function not built yet";
    if (message.find("Unknown function") != std::string::npos) return "function not in the registry";
    if (message.find("Unsupported") != std::string::npos) return "expression not built yet";
    if (message.empty()) return "fails without a message";
    return "fails: " + message.substr(0, 80);
}

// ---- Reading the catalogue with the library's own document model ------------------------------

using element = quorvel_element;

std::string name_of(element* e) { return quorvel_element_name(e); }

std::vector<element*> children(element* e, const char* name = nullptr) {
    std::vector<element*> out;
    for (quorvel_node* c = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(e)); c;
         c = quorvel_node_next_sibling(c)) {
        element* x = quorvel_node_as_element(c);
        if (x && (!name || name_of(x) == name)) out.push_back(x);
    }
    return out;
}

std::string attr(element* e, const char* name) {
    const char* v = quorvel_element_attribute(e, name);
    return v ? v : "";
}

std::string text_of(element* e) {
    char* t = quorvel_element_get_text_content(reinterpret_cast<quorvel_node*>(e));
    std::string s = t ? t : "";
    std::free(t);
    return s;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using qt3::directory_of;

struct document_file {
    quorvel_document* doc = nullptr;
    explicit document_file(const std::string& path) {
        int status = 0;
        doc = quorvel_parse_file(path.c_str(), &status);
    }
    ~document_file() { quorvel_document_free(doc); }
};

struct environment {
    std::string source;  // file of the "." source, empty for none
    std::vector<std::pair<std::string, std::string>> namespaces;
    std::string unsupported;  // why the runner cannot set it up
};

environment read_environment(element* env, const std::string& base) {
    environment out;
    for (element* c : children(env)) {
        std::string n = name_of(c);
        if (n == "source") {
            if (attr(c, "role") == ".") out.source = base + "/" + attr(c, "file");
            else out.unsupported = "environment with other sources";
        } else if (n == "namespace") {
            out.namespaces.emplace_back(attr(c, "prefix"), attr(c, "uri"));
        } else if (n == "param" || n == "resource" || n == "collection" || n == "schema" ||
                   n == "decimal-format" || n == "static-base-uri" || n == "context-item" || n == "collation") {
            out.unsupported = "environment with " + n;
        }
    }
    return out;
}

using qt3::admits_xpath31;

// Why a case does not apply (empty when it does).
std::string inapplicable(element* holder, std::string& versions) {
    for (element* d : children(holder, "dependency")) {
        if (attr(d, "satisfied") == "false") return "needs a feature to be absent";
        std::string type = attr(d, "type");
        if (type == "spec") versions = attr(d, "value");
        else if (type == "feature" && attr(d, "value") == "higherOrderFunctions") continue;  // function items
        else if (type == "feature" || type == "xml-version" || type == "xsd-version" || type == "language" ||
                 type == "limits" || type == "calendar" || type == "format-integer-sequence" ||
                 type == "unicode-version" || type == "unicode-normalization-form" || type == "default-language" ||
                 type == "collection-stability" || type == "directory-as-collection-uri")
            return "dependency " + type + " " + attr(d, "value");
    }
    return "";
}

// ---- Assertions ------------------------------------------------------------------------------------

enum outcome { kPass, kFail, kUnknown };

std::string item_string(const quorvel_xpath_result* r, size_t i) {
    char* t = get_node_text(quorvel_xpath_result_get_node(r, i));
    std::string s = t ? t : "";
    std::free(t);
    return s;
}

std::string string_value(const quorvel_xpath_result* r) {
    if (quorvel_xpath_result_type(r) != 0) {
        char* t = quorvel_xpath_result_string(r);
        std::string s = t ? t : "";
        std::free(t);
        return s;
    }
    std::string out;
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        if (i) out += ' ';
        out += item_string(r, i);
    }
    return out;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// What an assertion written as an expression over $result needs: the
// case's document, namespaces and expression text.
struct case_context {
    quorvel_document* doc;
    quorvel_xpath_ns_set* ns;
    const std::string& text;
};

// The expression-based assertions are checked by evaluating one expression
// that binds the case's own expression to $result; only xs:boolean true passes.
outcome check_by_expression(element* a, const case_context& cx) {
    const std::string n = name_of(a);
    const std::string body = trim(text_of(a));
    std::string test;
    if (n == "assert") test = body;
    else if (n == "assert-deep-eq") test = "deep-equal($result, (" + body + "\n))";
    else if (n == "assert-type") test = "$result instance of " + body;
    else if (n == "assert-permutation")
        test = "let $e := (" + body + "\n) return count($result) eq count($e) and "
               "(every $x in $result satisfies count($result[deep-equal(., $x)]) eq count($e[deep-equal(., $x)]))";
    else return kUnknown;
    const std::string expression = "let $result := (" + cx.text + "\n) return (" + test + "\n)";
    quorvel_xpath_result* r = quorvel_xpath_eval_ns(cx.doc, nullptr, expression.c_str(), cx.ns);
    bool ok = false;
    if (r && quorvel_xpath_result_type(r) == 1) ok = quorvel_xpath_result_boolean(r) != 0;
    quorvel_xpath_result_free(r);
    return ok ? kPass : kFail;
}

outcome check(element* a, const quorvel_xpath_result* r, const case_context& cx) {
    std::string n = name_of(a);
    if (n == "error") return r ? kFail : kPass;
    if (n == "all-of" || n == "any-of") {
        bool any = n == "any-of", unknown = false;
        for (element* c : children(a)) {
            outcome o = check(c, r, cx);
            if (o == kUnknown) unknown = true;
            else if (any && o == kPass) return kPass;
            else if (!any && o == kFail) return kFail;
        }
        if (unknown) return kUnknown;
        return any ? kFail : kPass;
    }
    if (!r) return kFail;
    int type = quorvel_xpath_result_type(r);
    std::string expected = trim(text_of(a));
    if (n == "assert-true" || n == "assert-false") {
        // A boolean, or a sequence of one boolean item.
        if (type == 0 && quorvel_xpath_result_count(r) == 1) {
            const quorvel_node* item = quorvel_xpath_result_get_node(r, 0);
            if (!item || item->kind != kXpathCarrierNode) return kFail;
            auto* c = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            std::string t(c->text, c->length);
            if (t.size() < 3 || t[0] != kXpathTagMark || t[1] != kXpathTagBoolean) return kFail;
            return (t[2] == 't') == (n == "assert-true") ? kPass : kFail;
        }
        return type == 1 && quorvel_xpath_result_boolean(r) == (n == "assert-true") ? kPass : kFail;
    }
    if (n == "assert-empty") return type == 0 && quorvel_xpath_result_count(r) == 0 ? kPass : kFail;
    if (n == "assert-count") {
        size_t count = type == 0 ? quorvel_xpath_result_count(r) : 1;
        return std::to_string(count) == expected ? kPass : kFail;
    }
    if (n == "assert-string-value") {
        std::string got = string_value(r);
        if (attr(a, "normalize-space") == "true") {
            std::string x, y;
            std::istringstream gs(got), es(expected);
            for (std::string w; gs >> w;) x += (x.empty() ? "" : " ") + w;
            for (std::string w; es >> w;) y += (y.empty() ? "" : " ") + w;
            return x == y ? kPass : kFail;
        }
        return got == text_of(a) ? kPass : kFail;
    }
    if (n == "assert-eq") {
        if (type == 0 && quorvel_xpath_result_count(r) != 1) return kFail;
        if (expected.size() >= 2 && (expected[0] == '"' || expected[0] == '\'')) {
            std::string lit = expected.substr(1, expected.size() - 2);
            return string_value(r) == lit ? kPass : kFail;
        }
        if (expected == "true()" || expected == "false()")
            return type == 1 && quorvel_xpath_result_boolean(r) == (expected == "true()") ? kPass : kFail;
        char* end = nullptr;
        double want = std::strtod(expected.c_str(), &end);
        if (end == expected.c_str() || *end) return kUnknown;
        double got = type == 2 ? quorvel_xpath_result_number(r) : std::strtod(string_value(r).c_str(), nullptr);
        return got == want || (std::isnan(got) && std::isnan(want)) ? kPass : kFail;
    }
    return check_by_expression(a, cx);  // assert-xml stays unchecked
}

// ---- The run ----------------------------------------------------------------------------------------

struct tally {
    size_t passed = 0, failed = 0;
    std::map<std::string, size_t> skipped;
};

std::map<std::string, std::string> read_known_failures() {
    return suite_lists::read_tabbed_reasons(std::string(QUORVEL_TEST_SOURCE_DIR) + "/conformance/qt3_known_failures.txt");
}

TEST(XpathQt3Conformance, EvaluationSuite) {
    QUORVEL_REQUIRE_CONFORMANCE_DATA(qt3_given, "qt3");
    const std::string qt3 = std::filesystem::absolute(qt3_given).lexically_normal().string();
    // The environment the suite's environment-variable cases expect.
    setenv("QTTEST", "42", 1);
    setenv("QTTEST2", "other", 1);
    setenv("QTTESTEMPTY", "", 1);
    // Relative resource references resolve against the working directory
    // (the static base URI of the public calls): each set runs in its own
    // directory, as the suite's default base URI is the set's file.
    const std::filesystem::path saved_directory = std::filesystem::current_path();
    document_file catalog(qt3 + "/catalog.xml");
    ASSERT_NE(catalog.doc, nullptr);
    element* root = quorvel_document_root(catalog.doc);
    std::map<std::string, environment> shared;
    for (element* env : children(root, "environment")) shared[attr(env, "name")] = read_environment(env, qt3);
    std::map<std::string, element*> set_files;
    for (element* s : children(root, "test-set")) set_files[attr(s, "name")] = s;

    const std::map<std::string, std::string> known = read_known_failures();
    const bool listing = listing_failures();
    const long long slow_ms = slow_case_ms();
    std::vector<std::string> failures;
    std::set<std::string> seen;
    std::map<std::string, tally> summary;
    for (const char* set_name : kSets) {
        tally& t = summary[set_name];
        auto it = set_files.find(set_name);
        if (it == set_files.end()) continue;
        const std::string set_path = qt3 + "/" + attr(it->second, "file");
        const std::string base = directory_of(set_path);
        document_file set(set_path);
        if (!set.doc) continue;
        std::filesystem::current_path(base);
        element* set_root = quorvel_document_root(set.doc);
        std::map<std::string, environment> local;
        for (element* env : children(set_root, "environment")) local[attr(env, "name")] = read_environment(env, base);
        std::string set_versions;
        std::string set_reason = inapplicable(set_root, set_versions);
        for (element* tc : children(set_root, "test-case")) {
            std::string versions = set_versions;
            std::string reason = set_reason.empty() ? inapplicable(tc, versions) : set_reason;
            if (reason.empty() && !admits_xpath31(versions)) reason = "XQuery only";
            environment env;
            for (element* e : children(tc, "environment")) {
                std::string ref = attr(e, "ref");
                if (ref.empty()) env = read_environment(e, base);
                else if (local.count(ref)) env = local[ref];
                else if (shared.count(ref)) env = shared[ref];
                else env.unsupported = "unknown environment";
            }
            if (reason.empty() && !env.unsupported.empty()) reason = env.unsupported;
            std::vector<element*> tests = children(tc, "test");
            std::vector<element*> results = children(tc, "result");
            if (reason.empty() && (tests.empty() || results.empty())) reason = "no test or result";
            if (!reason.empty()) {
                t.skipped[reason]++;
                continue;
            }
            std::string text = attr(tests[0], "file").empty() ? text_of(tests[0])
                                                               : slurp(base + "/" + attr(tests[0], "file"));
            std::vector<element*> assertions = children(results[0]);
            if (assertions.empty()) {
                t.skipped["no assertion"]++;
                continue;
            }
            document_file source(env.source.empty() ? qt3 + "/docs/works-mod.xml" : env.source);
            if (!source.doc) {
                t.skipped["source document not parsed"]++;
                continue;
            }
            quorvel_xpath_ns_set* ns = quorvel_xpath_ns_set_new();
            for (const auto& [prefix, uri] : env.namespaces)
                if (!prefix.empty() && !uri.empty()) quorvel_xpath_ns_set_add(ns, prefix.c_str(), uri.c_str());
            quorvel_set_last_error("");
            const auto started = std::chrono::steady_clock::now();
            quorvel_xpath_result* r = quorvel_xpath_eval_ns(source.doc, nullptr, text.c_str(), ns);
            if (slow_ms >= 0) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
                if (ms >= slow_ms) {
                    std::printf("slow\t%s\t%s\t%lld ms\n", set_name, attr(tc, "name").c_str(), (long long)ms);
                    std::fflush(stdout);
                }
            }
            outcome o = check(assertions[0], r, case_context{source.doc, ns, text});
            std::string message = r ? "" : quorvel_document_last_error(source.doc) ? quorvel_document_last_error(source.doc) : "";
            if (!r && message.empty() && quorvel_last_error()) message = quorvel_last_error();
            bool had_result = r != nullptr;
            quorvel_xpath_result_free(r);
            quorvel_xpath_ns_set_free(ns);
            if (o == kUnknown) {
                t.skipped["assertion kind not checked by the runner"]++;
                continue;
            }
            const std::string id = std::string(set_name) + "\t" + attr(tc, "name");
            bool listed = known.count(id) != 0;
            if (listed) seen.insert(id);
            if (o == kPass) {
                t.passed++;
                if (!listing) {
                    EXPECT_FALSE(listed) << "listed as failing, but passes: " << id;
                }
            } else {
                t.failed++;
                if (listing) {
                    failures.push_back(id + "\t" + (listed ? known.at(id) : guessed_reason(message, had_result, name_of(assertions[0]) == "error")));
                } else {
                    EXPECT_TRUE(listed) << "fails: " << id << "\n" << text << "\n" << message;
                }
            }
        }
    }
    std::filesystem::current_path(saved_directory);
    if (listing) {
        for (const std::string& line : failures) std::printf("%s\n", line.c_str());
    } else {
        for (const auto& [id, reason] : known)
            EXPECT_TRUE(seen.count(id)) << "listed case not run: " << id << " (" << reason << ")";
    }
    size_t passed = 0, failed = 0;
    for (const auto& [name, t] : summary) {
        std::printf("%-36s passed %4zu  failed %4zu", name.c_str(), t.passed, t.failed);
        for (const auto& [why, n] : t.skipped) std::printf("  skipped %zu (%s)", n, why.c_str());
        std::printf("\n");
        passed += t.passed;
        failed += t.failed;
    }
    std::printf("QT3 evaluation: passed %zu, failed %zu (listed %zu)\n", passed, failed, known.size());
}

}  // namespace
