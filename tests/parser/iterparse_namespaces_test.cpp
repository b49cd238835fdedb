// Iterparse with many namespace bindings in scope: the bindings each element
// carries and the ones listed for it, at a size where work per binding per
// binding would take seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "quorvel.h"

namespace {

std::string declarations(int n, const char* uri_stem) {
    std::string s;
    for (int i = 0; i < n; i++) s += " xmlns:p" + std::to_string(i) + "='" + uri_stem + std::to_string(i) + "'";
    return s;
}

TEST(IterparseNamespaces, ManyDeclarationsOnOneElementCostLinearTime) {
    const int n = 100000;
    // The root and one child each declare n prefixes; the child uses one of
    // the root's and re-declares the rest.
    std::string doc = "<r" + declarations(n, "u") + "><p5:c" + declarations(n, "v") + " p7:a='1'><p5:d/></p5:c></r>";
    auto start = std::chrono::steady_clock::now();
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        quorvel_iterparse* it = quorvel_iterparse_new_ex(doc.data(), doc.size(), mode);
        quorvel_element* e = nullptr;
        while ((e = quorvel_iterparse_next(it))) {
            if (mode == 1 && quorvel_iterparse_ns_count(it) == size_t(n) &&
                std::string(quorvel_iterparse_ns_uri(it, "p5")) == "u5")
                continue;  // the root itself
            break;
        }
        ASSERT_NE(e, nullptr) << (quorvel_iterparse_error(it) ? quorvel_iterparse_error(it) : "");
        // The first element returned is c in mode 0, d in mode 1: both see the
        // child's bindings, one per prefix.
        EXPECT_EQ(quorvel_iterparse_ns_count(it), size_t(n));
        EXPECT_STREQ(quorvel_iterparse_ns_uri(it, "p5"), "v5");
        EXPECT_STREQ(quorvel_iterparse_ns_uri(it, "p99999"), "v99999");
        EXPECT_EQ(quorvel_iterparse_ns_uri(it, "q"), nullptr);
        quorvel_iterparse_free(it);
    }
    // Linear work takes well under a second optimised and some seconds in a
    // sanitizer build on a loaded machine; a per-prefix scan of the bindings
    // (10^10 steps) would take many minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(IterparseNamespaces, InnerBindingsHideOuterOnesUntilTheyEnd) {
    const char doc[] = "<r xmlns:p='1' xmlns='d1'><a xmlns:p='2' xmlns:q='3'><p:b/></a><p:c xmlns='d2'/><e/></r>";
    quorvel_iterparse* it = quorvel_iterparse_new_ex(doc, sizeof doc - 1, 1);
    struct expected {
        size_t count;
        const char* p;
        const char* q;
        const char* dflt;
    };
    const expected want[] = {
        {3, "2", "3", "d1"},      // b
        {3, "2", "3", "d1"},      // a
        {2, "1", nullptr, "d2"},  // c
        {2, "1", nullptr, "d1"},  // e
        {2, "1", nullptr, "d1"},  // r
    };
    for (const expected& w : want) {
        ASSERT_NE(quorvel_iterparse_next(it), nullptr);
        EXPECT_EQ(quorvel_iterparse_ns_count(it), w.count);
        auto same = [](const char* a, const char* b) { return a && b ? std::string(a) == b : a == b; };
        EXPECT_TRUE(same(quorvel_iterparse_ns_uri(it, "p"), w.p));
        EXPECT_TRUE(same(quorvel_iterparse_ns_uri(it, "q"), w.q));
        EXPECT_TRUE(same(quorvel_iterparse_ns_uri(it, ""), w.dflt));
    }
    EXPECT_EQ(quorvel_iterparse_next(it), nullptr);
    EXPECT_EQ(quorvel_iterparse_error(it), nullptr);
    quorvel_iterparse_free(it);
}

}  // namespace
