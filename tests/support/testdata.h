// The conformance data (the XML test suite, the canonical XML vectors) lives
// outside the repository, at the folder the build was configured with. A test
// that reads it carries "Conformance" in its full name, which puts it under the
// `conformance` CTest label, and opens with QUORVEL_REQUIRE_CONFORMANCE_DATA:
// without the data it is skipped with one message saying what is missing, or
// fails where the data is required (QUORVEL_REQUIRE_TESTDATA set, as in CI).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace quorvel_test {

// A folder of the conformance data, e.g. "xmlconf" or "c14n".
inline std::string testdata_path(const char* folder) { return std::string(QUORVEL_TESTDATA_DIR) + "/" + folder; }

// Non-empty when the test runs under a CTest label other than `conformance`:
// a data reader among the unit tests would fail or skip on a clone without
// the data instead of being left out with the other conformance tests.
inline std::string label_problem() {
    const char* label = std::getenv("QUORVEL_TEST_LABEL");
    if (!label || std::strcmp(label, "conformance") == 0) return "";
    return "this test reads conformance data but runs under the '" + std::string(label) +
           "' label: put \"Conformance\" in its suite or test name";
}

inline std::string missing_message(const std::string& folder) {
    return "conformance data missing: " + folder +
           " is not a folder (configure with -DQUORVEL_TESTDATA_DIR=<folder holding xmlconf/ and c14n/>)";
}

inline bool conformance_data_required() {
    const char* v = std::getenv("QUORVEL_REQUIRE_TESTDATA");
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace quorvel_test

// Declares `const std::string var`, the path of the data folder, or leaves
// the test: skipped, or failed when the data is required.
#define QUORVEL_REQUIRE_CONFORMANCE_DATA(var, folder)                                          \
    [[maybe_unused]] const std::string var = quorvel_test::testdata_path(folder);               \
    if (std::string label_problem = quorvel_test::label_problem(); !label_problem.empty()) {     \
        FAIL() << label_problem;                                                                  \
    }                                                                                             \
    if (!std::filesystem::is_directory(var)) {                                                   \
        if (quorvel_test::conformance_data_required()) FAIL() << quorvel_test::missing_message(var); \
        GTEST_SKIP() << quorvel_test::missing_message(var);                                      \
    }
