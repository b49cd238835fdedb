// Parameter-entity substitution stays linear in what it makes, within the
// DTD's expansion allowance (dtd_expansion_limit, shared with general-entity
// expansion). A nest of references that would pass the allowance is
// refused before any of it is built; substitution that fits is made once;
// the declaration scanner reads each byte of a text a bounded number of
// times. The refused shapes are parsed many times over: built level by
// level, each took a quarter of a second, so a slow road runs far past any
// test timeout, while measured they take microseconds.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "dom/dom.h"
#include "parser/parser.h"
#include "quorvel.h"

namespace {

struct dtd_deleter {
    void operator()(quorvel_dtd* d) const { quorvel_dtd_free(d); }
};
using dtd_ptr = std::unique_ptr<quorvel_dtd, dtd_deleter>;

struct doc_deleter {
    void operator()(quorvel_document* d) const { quorvel_document_free(d); }
};
using doc_ptr = std::unique_ptr<quorvel_document, doc_deleter>;

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++) out += s;
    return out;
}

quorvel_dtd_element_decl* element(quorvel_dtd* dtd, const char* name) {
    return static_cast<quorvel_dtd_element_decl*>(quorvel_hash_table_get(dtd->elements, name, std::strlen(name)));
}

// "@" marks the construct the refusal is reported at.
struct bomb {
    const char* name;
    std::string subset;
};

const bomb kBombs[] = {
    {"one entity, eight references, in a content model",
     "<!ENTITY % e '%e;%e;%e;%e;%e;%e;%e;%e;'>@<!ELEMENT x (%e;)>"},
    {"in an attribute list", "<!ENTITY % e '%e;%e;%e;%e;%e;%e;%e;%e; '>@<!ATTLIST x a CDATA #IMPLIED %e;>"},
    {"in a notation", "<!ENTITY % e '%e;%e;%e;%e;%e;%e;%e;%e;'>@<!NOTATION n SYSTEM '%e;'>"},
    {"ten levels of ten references",
     "<!ENTITY % l0 'aaaaaaaaaaaaaaaa'><!ENTITY % l1 '%l0;%l0;%l0;%l0;%l0;%l0;%l0;%l0;%l0;%l0;'>"
     "<!ENTITY % l2 '%l1;%l1;%l1;%l1;%l1;%l1;%l1;%l1;%l1;%l1;'><!ENTITY % l3 '%l2;%l2;%l2;%l2;%l2;%l2;%l2;%l2;%l2;%l2;'>"
     "<!ENTITY % l4 '%l3;%l3;%l3;%l3;%l3;%l3;%l3;%l3;%l3;%l3;'><!ENTITY % l5 '%l4;%l4;%l4;%l4;%l4;%l4;%l4;%l4;%l4;%l4;'>"
     "<!ENTITY % l6 '%l5;%l5;%l5;%l5;%l5;%l5;%l5;%l5;%l5;%l5;'>@<!ELEMENT x (%l6;)>"},
    {"a declaration that a top-level reference brings in",
     "<!ENTITY % e '<!ELEMENT x (%e;%e;%e;%e;)>'>@%e;<!ELEMENT after ANY>"},
    {"references spelled around the measure: no ';' is a stray '%'",
     "<!ENTITY % e '%e;%e;%e;%e;%e;%e;%e;%e;%e %% %;'>@<!ELEMENT x (%e;)>"},
};

TEST(PeExpansion, NestsPastTheAllowanceAreRefusedBeforeTheyAreBuilt) {
    for (const bomb& b : kBombs) {
        SCOPED_TRACE(b.name);
        std::string subset = b.subset;
        size_t at = subset.find('@');
        subset.erase(at, 1);
        std::string text = "<!DOCTYPE d [" + subset + "]><d/>";
        std::string expected = "XML parse error at byte " + std::to_string(at + 13) +
                               ": entity expansion exceeds the size limit";
        for (int round = 0; round < 500; round++) {
            dtd_ptr dtd(quorvel_dtd_parse(subset.data(), subset.size()));
            ASSERT_EQ(dtd, nullptr);
            ASSERT_NE(std::strstr(quorvel_last_error(), "DTD parameter-entity expansion exceeds the limit of"),
                      nullptr)
                << quorvel_last_error();
            int status = 0;
            doc_ptr doc(quorvel_parse_string(text.data(), text.size(), &status));
            ASSERT_EQ(doc, nullptr);
            ASSERT_EQ(status, QUORVEL_ERR_PARSE);
            ASSERT_EQ(std::string(quorvel_last_error()), expected);
        }
    }
}

// Below the allowance the substitution is made, and made right: a content
// model of 8^6 references (about 1.6 MB) through one entity at six levels.
TEST(PeExpansion, LargeSubstitutionsWithinTheAllowanceAreMade) {
    std::string subset = "<!ENTITY % a 'b'>";
    for (int level = 1; level <= 6; level++)
        subset += "<!ENTITY % l" + std::to_string(level) + " '" +
                  repeat(level == 1 ? std::string("%a;|") : "%l" + std::to_string(level - 1) + ";|", 8) + "c'>";
    subset += "<!ELEMENT x (%l6;)>";
    dtd_ptr dtd(quorvel_dtd_parse(subset.data(), subset.size()));
    ASSERT_NE(dtd, nullptr) << quorvel_last_error();
    quorvel_dtd_element_decl* x = element(dtd.get(), "x");
    ASSERT_NE(x, nullptr);
    std::string model = x->content_model;
    size_t names = 0;
    for (char c : model) names += c == 'b';
    EXPECT_EQ(names, size_t(1) << 18);
    EXPECT_EQ(model.front(), '(');
    EXPECT_EQ(model.back(), ')');
    // The work it did is booked on the DTD's allowance.
    EXPECT_GT(dtd->expansion_work, model.size());

    // Each replacement stands between two spaces, and an entity met again
    // at the same level gives the same text.
    const char* small = "<!ENTITY % a 'x'><!ENTITY % b '%a;-%a;'><!ENTITY % c '(%b;|%b;|%a;)'><!ELEMENT e %c;>"
                        "<!ELEMENT f (%b;,%a;)>";
    dtd_ptr nest(quorvel_dtd_parse(small, std::strlen(small)));
    ASSERT_NE(nest, nullptr) << quorvel_last_error();
    EXPECT_STREQ(element(nest.get(), "e")->content_model, "(  x - x  |  x - x  | x )");
    EXPECT_STREQ(element(nest.get(), "f")->content_model, "(  x - x  , x )");
}

// The allowance is the DTD's, not the call's: external subsets parsed into
// one DTD, each substituting 1 MiB, stop once they and an earlier general-
// entity expansion have made what one text may (16 MiB); then the same
// expansion finds the allowance spent.
TEST(PeExpansion, ManySubsetsShareTheDtdsAllowance) {
    std::string big = "<!ENTITY % big '" + std::string(1 << 20, 'm') + "'><!ENTITY g '" + std::string(1 << 20, 'g') + "'>";
    dtd_ptr dtd(quorvel_dtd_parse(big.data(), big.size()));
    ASSERT_NE(dtd, nullptr);
    size_t length = 0;
    char* out = expand_entity_references(dtd.get(), "&g;&g;", nullptr, &length);
    ASSERT_NE(out, nullptr);  // 2 MiB: fine on a fresh allowance
    std::free(out);
    int declared = 0;
    for (int i = 0; i < 40; i++) {
        std::string text = "<!ELEMENT e" + std::to_string(i) + " (%big;)>";
        ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd.get(), text.data(), text.size()), 1);
        if (element(dtd.get(), ("e" + std::to_string(i)).c_str())) declared++;
    }
    EXPECT_GE(declared, 12);
    EXPECT_LE(declared, 14);
    EXPECT_EQ(element(dtd.get(), "e39"), nullptr);
    out = expand_entity_references(dtd.get(), "&g;&g;", nullptr, &length);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dtd_last_expand_status(), dtd_expand_status::too_large);
    std::free(out);
}

// Every byte of a declaration text is read a bounded number of times,
// whatever is left open in it: each of these once made every later
// declaration of the text read the rest of the text.
TEST(PeExpansion, UnclosedConstructsDoNotRescanTheText) {
    const size_t n = 200000;
    const std::string texts[] = {
        repeat("<!ELEMENT x (a>", n),
        repeat("<!ELEMENT x ('>", n),
        repeat("<!ELEMENT x (a|(b>", n),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 20));
        dtd_ptr dtd(quorvel_dtd_parse(text.data(), text.size()));
        EXPECT_EQ(dtd, nullptr);  // malformed declarations
        std::string doc_text = "<!DOCTYPE d [" + text + "<!ELEMENT d EMPTY>]><d/>";
        int status = 0;
        doc_ptr doc(quorvel_parse_string(doc_text.data(), doc_text.size(), &status));
        ASSERT_NE(doc, nullptr) << quorvel_last_error();
        // The declarations around the broken ones still count.
        EXPECT_NE(element(doc->dtd, "d"), nullptr);
    }
    // A model still closes where it should, and a '>' ends it.
    const char* broken = "<!ELEMENT x ((a|b)*,c)+><!ELEMENT y (a>";
    dtd_ptr ok(quorvel_dtd_parse(broken, std::strlen(broken)));
    EXPECT_EQ(ok, nullptr);
    quorvel_dtd* lenient = quorvel_dtd_parse("<!ELEMENT z ANY>", 16);
    ASSERT_NE(lenient, nullptr);
    const char* mixed = "<!ELEMENT x ((a|b)*,c)+><!ELEMENT y (a><!ELEMENT w (q)>";
    quorvel_dtd_parse_external_subset(lenient, mixed, std::strlen(mixed));
    ASSERT_NE(element(lenient, "x"), nullptr);
    EXPECT_STREQ(element(lenient, "x")->content_model, "((a|b)*,c)+");
    ASSERT_NE(element(lenient, "w"), nullptr);
    EXPECT_STREQ(element(lenient, "w")->content_model, "(q)");
    quorvel_dtd_free(lenient);
}

}  // namespace
