// XPath 1.0 against libxml2 (xmlXPathEval) as an oracle: generated
// expressions over documents of every node kind must give the same node sets
// (compared by node path), numbers, strings and booleans.
//
// Where the engine deliberately differs, the generator stays clear of the
// difference and names it here:
//  - Two strings, or a string and a node value, are ordered as strings (the
//    engine evaluates XPath 1.0 syntax with XPath 2.0 comparison rules), so
//    no ordering comparison takes a string literal.
//  - sum() passes over nodes whose text is empty (libxml2 gives NaN), so
//    sums run over numeric attributes only.
//  - id() also finds elements whose attribute is named "id" without any DTD
//    declaration, so the ID-typed attribute of the documents is "key",
//    declared in the internal subset, and no attribute is named "id".
//  - lang() also reads an unprefixed "lang" attribute, so the documents
//    carry xml:lang only.
//  - Whole numbers print as integer digits; the generated numbers stay
//    small enough that both print them alike.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel.h"
#include "dom/dom.h"
#include "xpath/libxml2_oracle.h"
#include "xpath/xpath.h"

namespace {

const char* const kDocuments[] = {
    "<r><a n=\"1\">x</a><a n=\"2\">y<b n=\"5\"/>z</a><c/><item n=\"3\" m=\"x\">one<b>two</b></item>"
    "<item n=\"4\"><a>three</a><!--note--></item><?pi data?></r>",
    "<!DOCTYPE r [<!ATTLIST item key ID #IMPLIED>]>"
    "<!--top--><r xml:lang=\"en\"><item key=\"k1\" n=\"10\"><a n=\"0\">e</a><a>elf</a></item>"
    "<item key=\"k2\" xml:lang=\"fr\"><b>deux</b><b n=\"-3\">4</b></item><c>  spaced   text </c>"
    "<a><a><a n=\"7\">deep</a></a></a><?target some data?></r><?after end?>",
    "<r><b>1</b><b>2</b><b>3</b><c><b>10</b><a>x<b/>y</a></c><item n=\"1.5\"/><item n=\"2.5\">abc</item>"
    "<!--c1--><c><!--c2--><a n=\"8\">e</a></c></r>",
};

// ---- Node paths --------------------------------------------------------------------------------------


std::string kind_test(quorvel_node* n) {
    switch (quorvel_node_get_type(n)) {
    case QUORVEL_NODE_ELEMENT: return quorvel_element_name(quorvel_node_as_element(n));
    case QUORVEL_NODE_COMMENT: return "comment()";
    case QUORVEL_NODE_PI: return "processing-instruction()";
    default: return "text()";
    }
}

bool same_test(quorvel_node* a, quorvel_node* b) {
    return quorvel_node_get_type(a) == quorvel_node_get_type(b) && kind_test(a) == kind_test(b);
}

struct our_paths {
    std::vector<quorvel_node*> top;  // the document's top-level nodes

    std::string of(quorvel_node* n) const {
        if (n->kind == kXpathAttributeNode) {
            auto* a = reinterpret_cast<quorvel_xpath_attribute_node*>(n);
            // libxml2 names attributes by their local name.
            const char* colon = std::strchr(a->name, ':');
            return of(reinterpret_cast<quorvel_node*>(a->owner)) + "/@" + (colon ? colon + 1 : a->name);
        }
        if (quorvel_node_get_type(n) == QUORVEL_NODE_DOCUMENT) return "/";
        quorvel_element* parent = quorvel_node_parent(n);
        int index = 1;
        if (parent) {
            for (quorvel_node* s = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(parent)); s && s != n;
                 s = quorvel_node_next_sibling(s))
                if (same_test(s, n)) index++;
            return of(reinterpret_cast<quorvel_node*>(parent)) + xpath_oracle::step_text(kind_test(n), index);
        }
        for (quorvel_node* s : top) {
            if (s == n) break;
            if (same_test(s, n)) index++;
        }
        return xpath_oracle::step_text(kind_test(n), index);
    }
};

// ---- Results as comparable texts --------------------------------------------------------------------

std::string our_result(const our_paths& paths, quorvel_xpath_result* r) {
    if (!r) return "error";
    switch (quorvel_xpath_result_type(r)) {
    case 0: {
        std::string out = "nodes:";
        for (size_t i = 0; i < quorvel_xpath_result_count(r); i++)
            out += " " + paths.of(quorvel_xpath_result_get_node(r, i));
        return out;
    }
    case 1: return quorvel_xpath_result_boolean(r) ? "boolean:true" : "boolean:false";
    case 2: return "number:" + xpath_oracle::number_text(quorvel_xpath_result_number(r));
    case 3: {
        char* s = quorvel_xpath_result_string(r);
        std::string out = "string:" + std::string(s ? s : "");
        std::free(s);
        return out;
    }
    default: return "other";
    }
}

// ---- Expressions ------------------------------------------------------------------------------------

struct generator {
    uint64_t state;
    explicit generator(uint64_t seed) : state(seed) {}
    size_t below(size_t n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<size_t>((state >> 33) % n);
    }
    template <size_t N>
    const char* pick(const char* const (&options)[N]) {
        return options[below(N)];
    }

    std::string predicate() {
        static const char* const kPredicates[] = {
            "[1]", "[2]", "[last()]", "[position() > 1]", "[@n]", "[not(@n)]", "[@n > 2]", "[@n = 1]",
            "[. = 'x']", "[count(*) > 1]", "[name() = 'a']", "[contains(., 'e')]", "[b]", "[text()]",
            "[lang('en')]", "[position() = last() - 1]", "[@n != 5]", "[starts-with(name(), 'i')]",
        };
        return pick(kPredicates);
    }

    std::string step() {
        static const char* const kAxes[] = {
            "", "", "", "child::", "descendant::", "descendant-or-self::", "parent::", "ancestor::",
            "ancestor-or-self::", "following-sibling::", "preceding-sibling::", "following::", "preceding::",
            "self::", "@", "attribute::",
        };
        static const char* const kTests[] = {
            "a", "b", "c", "item", "r", "*", "node()", "text()", "comment()", "processing-instruction()",
        };
        static const char* const kAttributeTests[] = {"n", "m", "key", "*", "node()"};
        std::string axis = pick(kAxes);
        bool attribute = axis == "@" || axis == "attribute::";
        std::string s = axis + (attribute ? pick(kAttributeTests) : pick(kTests));
        if (below(3) == 0) s += predicate();
        if (!attribute && below(8) == 0) s = below(2) ? ".." : ".";
        return s;
    }

    std::string path() {
        std::string p = below(4) == 0 ? "/" : "//";
        size_t steps = 1 + below(3);
        for (size_t i = 0; i < steps; i++) {
            if (i) p += below(4) == 0 ? "//" : "/";
            p += step();
        }
        if (below(6) == 0) p = "(" + p + ")[" + std::to_string(1 + below(3)) + "]";
        if (below(6) == 0) p += " | " + path();
        return p;
    }

    std::string number() {
        static const char* const kNumbers[] = {"0", "1", "2", "3", "-1", "2.5", "0.5", "10", "-2.5", "7"};
        return pick(kNumbers);
    }

    std::string text_literal() {
        static const char* const kTexts[] = {"'x'", "'e'", "'one'", "''", "'abc'", "'10'", "' spaced '", "'a b'"};
        return pick(kTexts);
    }

    std::string numeric() {
        switch (below(9)) {
        case 0: return "count(" + path() + ")";
        case 1: return "sum(" + std::string(below(2) ? "//@n" : "//item/@n") + ")";
        case 2: return "number(" + path() + ")";
        case 3: return "string-length(" + path() + ")";
        case 4: return std::string(pick({"floor", "ceiling", "round"})) + "(" + numeric() + ")";
        case 5: return "(" + numeric() + " " + pick({"+", "-", "*", "div", "mod"}) + " " + numeric() + ")";
        case 6: return "-" + numeric();
        default: return number();
        }
    }

    std::string string_expr() {
        switch (below(10)) {
        case 0: return "string(" + path() + ")";
        case 1: return "concat(string(" + path() + "), " + text_literal() + ", " + numeric() + ")";
        case 2: return "substring(string(" + path() + "), " + number() + ", " + number() + ")";
        case 3: return "normalize-space(" + path() + ")";
        case 4: return "translate(string(" + path() + "), 'aeiox', 'AEI')";
        case 5: return std::string(pick({"substring-before", "substring-after"})) + "(string(" + path() + "), 'e')";
        case 6: return std::string(pick({"name", "local-name", "namespace-uri"})) + "(" + path() + ")";
        case 7: return "string(" + numeric() + ")";
        case 8: return "substring(" + text_literal() + ", " + number() + ")";
        default: return text_literal();
        }
    }

    std::string boolean_expr() {
        switch (below(9)) {
        case 0: return path() + " " + pick({"=", "!="}) + " " + text_literal();
        case 1: return path() + " " + pick({"=", "!=", "<", "<=", ">", ">="}) + " " + numeric();
        case 2: return path() + " " + pick({"=", "!=", "<", ">="}) + " " + path();
        case 3: return numeric() + " " + pick({"=", "!=", "<", "<=", ">", ">="}) + " " + numeric();
        case 4: return std::string(pick({"contains", "starts-with"})) + "(" + string_expr() + ", " + text_literal() + ")";
        case 5: return std::string(pick({"boolean", "not"})) + "(" + path() + ")";
        case 6: return "(" + boolean_expr() + ") " + pick({"and", "or"}) + " (" + boolean_expr() + ")";
        case 7: return path() + " = " + pick({"true()", "false()"});
        default: return string_expr() + " " + pick({"=", "!="}) + " " + string_expr();
        }
    }

    std::string expression() {
        switch (below(5)) {
        case 0:
        case 1: return path();
        case 2: return numeric();
        case 3: return string_expr();
        default: return boolean_expr();
        }
    }
};

TEST(XpathLibxml2Differential, GeneratedExpressions) {
    size_t compared = 0, answered = 0;
    std::vector<std::string> differences;
    for (size_t d = 0; d < std::size(kDocuments); d++) {
        const char* text = kDocuments[d];
        int status = 0;
        quorvel_document* ours = quorvel_parse_string(text, std::strlen(text), &status);
        ASSERT_NE(ours, nullptr);
        xpath_oracle::document theirs(text);
        ASSERT_TRUE(theirs.ok());
        our_paths paths;
        quorvel_xpath_result* top = quorvel_xpath_eval(ours, nullptr, "/node()");
        for (size_t i = 0; i < quorvel_xpath_result_count(top); i++)
            paths.top.push_back(quorvel_xpath_result_get_node(top, i));

        generator g(0x5eed + d);
        for (int i = 0; i < 1500; i++) {
            std::string expr = g.expression();
            int version_status = 0;
            quorvel_xpath_result* got = quorvel_xpath_eval_versioned(ours, nullptr, expr.c_str(), 1, &version_status);
            std::string want = theirs.eval(expr), have = our_result(paths, got);
            quorvel_xpath_result_free(got);
            compared++;
            if (want != "error") answered++;
            if (want != have && differences.size() < 20)
                differences.push_back(expr + "\n  libxml2: " + want + "\n  quorvel: " + have);
        }
        quorvel_xpath_result_free(top);
        quorvel_document_free(ours);
    }
    for (const std::string& d : differences) ADD_FAILURE() << d;
    EXPECT_EQ(compared, 1500 * std::size(kDocuments));
    // The generator writes valid XPath 1.0: nearly every expression has an answer.
    EXPECT_GT(answered, compared * 95 / 100);
}

}  // namespace
