// Fuzz target for the JSON functions: the input (after one option byte) is
// JSON text read by parse-json and json-to-xml with options chosen by the
// option byte. Checks: both readers accept exactly the same texts; JSON
// written by serialize (json method) reads back and writes the same text
// again; the XML form of JSON turns back into JSON with xml-to-json (unless
// a number overflows a double or duplicate keys were retained), and that
// JSON reads back. Every failure leaves a message.
//
// Option byte: bit 0 escape, bit 1 a fallback function (without escape),
// bits 2-3 duplicates (use-first, reject, use-last/retain, default).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"

namespace {

// The string result of an expression over $j (and $s), or false when the
// evaluation failed (the message is then checked to be there).
bool eval_string(quorvel_document* doc, const char* expression, const std::string& j, const std::string& s,
                 std::string* out) {
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_string(vars, "j", j.c_str());
    quorvel_xpath_variable_set_string(vars, "s", s.c_str());
    quorvel_xpath_result* r = quorvel_xpath_eval_with_vars(doc, expression, vars);
    quorvel_xpath_variable_set_free(vars);
    if (!r) {
        const char* message = quorvel_document_last_error(doc);
        if (!message || !*message) fuzz::fail("failure without a message: %s", expression);
        return false;
    }
    char* text = quorvel_xpath_result_string(r);
    if (!text) fuzz::fail("no string value: %s", expression);
    *out = text;
    std::free(text);
    quorvel_xpath_result_free(r);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t options = in.byte();
    std::string json = in.rest();
    if (json.size() > 4096) return 0;
    // A string variable holds no NUL byte.
    json = json.substr(0, std::strlen(json.c_str()));

    bool escape = options & 1;
    bool fallback = !escape && (options & 2);
    static const char* const kDuplicates[] = {"'use-first'", "'reject'", nullptr, nullptr};
    int dup = (options >> 2) & 3;
    std::string common = std::string("'escape':") + (escape ? "true()" : "false()");
    if (fallback) common += ", 'fallback': function($e){ '<' || $e || '>' }";
    std::string value_options = "map{" + common + (dup == 2 ? ", 'duplicates':'use-last'" : "") +
                                (kDuplicates[dup] ? std::string(", 'duplicates':") + kDuplicates[dup] : "") + "}";
    std::string xml_options = "map{" + common + (dup == 2 ? ", 'duplicates':'retain'" : "") +
                              (kDuplicates[dup] ? std::string(", 'duplicates':") + kDuplicates[dup] : "") + "}";

    int status = 0;
    quorvel_document* doc = quorvel_parse_string("<r/>", 4, &status);
    if (!doc) return 0;

    std::string written, again, xml_json, ignored;
    std::string parse = "serialize(parse-json($j, " + value_options + "), map{'method':'json'})";
    bool parsed = eval_string(doc, ("count(parse-json($j, " + value_options + "))").c_str(), json, "", &ignored);
    bool serialized = parsed && eval_string(doc, parse.c_str(), json, "", &written);
    if (serialized) {
        // What serialize wrote is JSON, and a fixed point of reading and writing.
        if (!eval_string(doc, "serialize(parse-json($s), map{'method':'json'})", json, written, &again))
            fuzz::fail("serialized JSON does not read back: %s", written.c_str());
        if (again != written) fuzz::fail("JSON changed on a second round: %s / %s", written.c_str(), again.c_str());
    }
    std::string to_xml = "xml-to-json(json-to-xml($j, " + xml_options + "))";
    bool converted = eval_string(doc, ("count(json-to-xml($j, " + xml_options + "))").c_str(), json, "", &ignored);
    // With the same duplicate rule both readers take the same texts.
    if (dup != 2 && converted != parsed) fuzz::fail("parse-json and json-to-xml disagree on %s", json.c_str());
    if (converted) {
        // JSON numbers too large for a double have no JSON form once read,
        // and retained duplicate keys none either.
        if (!eval_string(doc, to_xml.c_str(), json, "", &xml_json) &&
            !std::strstr(quorvel_document_last_error(doc), "finite number") &&
            !(dup >= 2 && std::strstr(quorvel_document_last_error(doc), "duplicate key")))
            fuzz::fail("xml-to-json refused json-to-xml output: %s", quorvel_document_last_error(doc));
        if (!xml_json.empty() && !eval_string(doc, "count(parse-json($s, map{'duplicates':'use-first'}))", json, xml_json, &ignored))
            fuzz::fail("xml-to-json wrote invalid JSON: %s", xml_json.c_str());
    }
    quorvel_document_free(doc);
    return 0;
}
