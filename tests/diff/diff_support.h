// Parsing and report helpers shared by the digest and diff tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "quorvel.h"

namespace diff_test {

struct doc_deleter {
    void operator()(quorvel_document* d) const { quorvel_document_free(d); }
};
using doc_ptr = std::unique_ptr<quorvel_document, doc_deleter>;

inline doc_ptr parse(const std::string& text) {
    int status = 0;
    doc_ptr d(quorvel_parse_string(text.data(), text.size(), &status));
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(d, nullptr) << text;
    return d;
}

inline uint64_t root_digest(quorvel_document* d, unsigned flags = 0) {
    return quorvel_node_digest(quorvel_element_as_node(quorvel_document_root(d)), flags);
}

inline std::string take(char* s) {
    std::string out = s ? s : "<null>";
    quorvel_free_string(s);
    return out;
}

// The text report of diff(a, b), or "status N" when it fails.
inline std::string report(quorvel_document* a, quorvel_document* b, unsigned flags = 0) {
    int status = 99;
    quorvel_diff_list* list = quorvel_diff(a, b, flags, &status);
    if (!list) return "status " + std::to_string(status);
    EXPECT_EQ(status, 0);
    std::string out = take(quorvel_diff_serialize(list));
    quorvel_diff_free(list);
    return out;
}

inline std::string report(const std::string& a, const std::string& b, unsigned flags = 0) {
    doc_ptr x = parse(a), y = parse(b);
    return report(x.get(), y.get(), flags);
}

// Sets an environment variable for one scope.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace diff_test
