// Helpers of the RELAX NG tests: grammars written briefly, loading and
// validating text, and the records of a validation as comparable values.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvel.h"

namespace rngtest {

constexpr const char* kNs = "http://relaxng.org/ns/structure/1.0";

// A grammar whose start is the given pattern text, defines following.
inline std::string grammar(const std::string& start, const std::string& defines = "") {
    return std::string("<grammar xmlns='") + kNs + "'><start>" + start + "</start>" + defines + "</grammar>";
}

// A schema whose root is one element pattern.
inline std::string element(const std::string& name, const std::string& content) {
    return std::string("<element name='") + name + "' xmlns='" + kNs + "'>" + content + "</element>";
}

struct record {
    int kind;
    std::string message;
    int line;
    int column;
    bool operator==(const record& o) const {
        return kind == o.kind && message == o.message && line == o.line && column == o.column;
    }
};

inline std::ostream& operator<<(std::ostream& os, const record& r) {
    return os << "{" << r.kind << ", \"" << r.message << "\", " << r.line << ", " << r.column << "}";
}

inline std::vector<record> records(quorvel_rng* rng) {
    std::vector<record> out;
    quorvel_rng_error_info* info = nullptr;
    int n = quorvel_rng_error_report(rng, &info);
    static const char* const kNames[] = {"invalid", "not-allowed-anywhere", "not-allowed-here", "not-allowed-yet",
                                         "incomplete", "missing-required-attr", "attr-not-allowed",
                                         "attr-value-invalid", "char-content-invalid"};
    for (int i = 0; i < n; i++) {
        int kind = 0;
        for (int k = 0; k < 9; k++)
            if (std::string(info[i].kind) == kNames[k]) kind = k;
        out.push_back(record{kind, info[i].message, info[i].line, info[i].column});
    }
    return out;
}

// Loads a schema; fails the test when it does not load.
inline quorvel_rng* load(const std::string& schema) {
    int status = 0;
    quorvel_rng* rng = quorvel_rng_parse(schema.data(), schema.size(), &status);
    EXPECT_NE(rng, nullptr) << "schema refused (" << status << "): "
                            << (quorvel_last_error() ? quorvel_last_error() : "") << "\n"
                            << schema;
    return rng;
}

// -1 when the schema or the document does not load, else the verdict.
inline int validate(const std::string& schema, const std::string& doc_text) {
    quorvel_rng* rng = load(schema);
    if (!rng) return -1;
    quorvel_document* doc = quorvel_parse_string(doc_text.data(), doc_text.size(), nullptr);
    EXPECT_NE(doc, nullptr) << doc_text;
    int r = doc ? quorvel_rng_validate(rng, doc) : -1;
    if (doc) quorvel_document_free(doc);
    quorvel_rng_free(rng);
    return r;
}

}  // namespace rngtest
