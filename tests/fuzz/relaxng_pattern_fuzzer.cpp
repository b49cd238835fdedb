// Fuzz target for the pattern-language matcher, reached through a RELAX NG
// grammar whose only content is a data pattern with a `pattern` parameter.
// A pattern is accepted or refused at load; an accepted one is matched
// against values of the input. Validation must answer the same twice and
// leave a message exactly when it fails.
//
// Input: flags byte, pattern segment, then values separated by 0x00 bytes.
//   flags bit 0: the value goes to an attribute instead of the content.
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

// Keeps the text printable ASCII, so that the schema and the instance
// stay well-formed and the fuzzer spends its time in the matcher.
std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) {
        unsigned char b = static_cast<unsigned char>(c) & 0x7F;
        if (b < 0x20 && b != '\t' && b != '\n') b = 'a';
        if (b == 0x7F) b = 'b';
        out.push_back(static_cast<char>(b));
    }
    return out;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '"')
            out += "&quot;";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    bool in_attribute = in.flag();
    std::string pattern = printable(in.segment());
    std::string rest = in.rest();
    std::string data_pattern = "<data type='string'><param name='pattern'>" + escape(pattern) + "</param></data>";
    std::string schema = "<element name='v' xmlns='http://relaxng.org/ns/structure/1.0'>" +
                         (in_attribute ? "<attribute name='a'>" + data_pattern + "</attribute>" : data_pattern) +
                         "</element>";
    int status = 0;
    quorvel_rng* rng = quorvel_rng_parse(schema.data(), schema.size(), &status);
    if (!rng) {
        if (status == 0) fuzz::fail("no grammar and no status");
        return 0;
    }
    size_t start = 0;
    for (int n = 0; n < 8 && start <= rest.size(); n++) {
        size_t end = rest.find('\0', start);
        if (end == std::string::npos) end = rest.size();
        std::string value = escape(printable(rest.substr(start, end - start)));
        start = end + 1;
        std::string doc_text = in_attribute ? "<v a=\"" + value + "\"/>" : "<v>" + value + "</v>";
        quorvel_document* doc = quorvel_parse_string(doc_text.data(), doc_text.size(), nullptr);
        if (!doc) continue;
        int first = quorvel_rng_validate(rng, doc);
        if (!first && !quorvel_rng_error(rng)) fuzz::fail("invalid without a message");
        if (first && quorvel_rng_error(rng)) fuzz::fail("message for a valid value");
        if (quorvel_rng_validate(rng, doc) != first) fuzz::fail("two validations disagree");
        quorvel_document_free(doc);
    }
    quorvel_rng_free(rng);
    return 0;
}
