// The bytecode machine against the tree-walker: the same answer for every
// expression, on the first and every later evaluation (the later ones read
// the element index), with variables of every kind, after tree changes, and
// while other threads compile and evaluate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvel.h"
#include "xpath/xpath.h"
#include "xpath_test_support.h"

namespace {

using xpath_test::doc_ptr;
using xpath_test::take;

// Restores the machine's switch when a test ends.
struct vm_switch {
    vm_switch() = default;
    ~vm_switch() { xpath_vm_set_enabled(1); }
};

// Items with identity: elements by name and address order, so that two
// answers listing different nodes of one name differ.
std::string show(const quorvel_xpath_result* r, quorvel_document* doc) {
    if (!r) {
        const char* message = quorvel_document_last_error(doc);
        return std::string("ERR:") + (message ? message : "");
    }
    switch (quorvel_xpath_result_type(r)) {
    case 1: return quorvel_xpath_result_boolean(r) ? "true" : "false";
    case 2:
    case 3: return "'" + take(quorvel_xpath_result_string(r)) + "'";
    default: break;
    }
    std::string out = "[";
    for (size_t i = 0; i < quorvel_xpath_result_count(r); i++) {
        quorvel_node* n = quorvel_xpath_result_get_node(r, i);
        const char* name = quorvel_xpath_result_node_name(r, i);
        const char* value = quorvel_xpath_result_node_value(r, i);
        int type = quorvel_node_get_type(n);
        char id[32];
        std::snprintf(id, sizeof id, "%p", type == 6 || type == 7 ? nullptr : static_cast<void*>(n));
        out += std::to_string(type) + ":" + (name ? name : "") + "=" + (value ? value : "") + "@" + id + " ";
    }
    return out + "]";
}

std::string eval(quorvel_document* doc, const char* expr, quorvel_node* node = nullptr) {
    quorvel_xpath_result* r = quorvel_xpath_eval(doc, node, expr);
    std::string s = show(r, doc);
    quorvel_xpath_result_free(r);
    return s;
}

// The tree-walker's answer, then the machine's on three evaluations (the
// third reads the element index where a search can use it).
void expect_same(quorvel_document* doc, const char* expr, quorvel_node* node = nullptr) {
    vm_switch restore;
    xpath_vm_set_enabled(0);
    std::string walker = eval(doc, expr, node);
    xpath_vm_set_enabled(1);
    for (int round = 0; round < 3; round++) EXPECT_EQ(eval(doc, expr, node), walker) << expr << " round " << round;
}

// Whether the machine runs a text (rather than declining it at compile time).
bool compiles(const char* text) {
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(text, std::strlen(text), message, sizeof message);
    if (!tree) return false;
    quorvel_xpath_program* p = xpath_vm_compile(tree);
    bool ok = p != nullptr;
    xpath_vm_program_free(p);
    ast_node_free(tree);
    return ok;
}

size_t xpath_test_path_count(const char* text) {
    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(text, std::strlen(text), message, sizeof message);
    if (!tree) return 0;
    size_t n = xpath_vm_path_count(tree);
    ast_node_free(tree);
    return n;
}

TEST(XpathVm, CompilesPathsAndDeclinesTheRest) {
    for (const char* yes : {"//record[@id='7']", "/r/a[2]/b", "//a", "//*", "a/b//c", ".", "..", "//x[3]/y",
                            "//x[@id=$v]", "/descendant-or-self::*/x", "//a[b]", "/", "//text()", "//x[@a][@b=2]",
                            "//@id", "//a/@*", "a/attribute::node()", "//p:a/@q:b", "//a | //b | c/@d",
                            "sum(//a/@n)", "sum(//v)", "//a[contains(@id, 'x')]", "//a[contains(b, 'x')]/c"})
        EXPECT_TRUE(compiles(yes)) << yes;
    for (const char* no : {"1 + 2", "(//a)[1]", "//a/following::b", "$v/a", "//processing-instruction()",
                           "7 idiv 0.5", "//@id/..", "//@id[1]", "//@p:*", "sum(//a, 0)", "sum(1)", "//a | 1"})
        EXPECT_FALSE(compiles(no)) << no;
}

// The machine itself answers the paths it compiles, and declines a
// synthetic context node.
TEST(XpathVm, MachineAnswersItsPaths) {
    doc_ptr d("<r><a id=\"1\"/><a id=\"2\"><a id=\"1\"/></a></r>");
    struct run_case {
        const char* text;
        size_t count;
    } cases[] = {{"//a[@id='1']", 2}, {"/r/a[2]/a", 1}, {"//a[1]", 2}, {"//a[@id=$v]", 1}, {"r/a", 2}};
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_string(vars, "v", "2");
    for (const run_case& rc : cases) {
        char message[256];
        quorvel_xpath_tree* tree =
            xpath_tree_new(xpath_parse_text(rc.text, std::strlen(rc.text), message, sizeof message));
        ASSERT_NE(tree, nullptr) << rc.text;
        for (int round = 0; round < 3; round++) {
            quorvel_xpath_context c;
            xpath_context_init(&c, d.doc, quorvel_document_node(d.doc));
            c.variables = vars;
            quorvel_xpath_result* r = xpath_vm_run(tree, &c);
            ASSERT_NE(r, nullptr) << rc.text;
            EXPECT_EQ(quorvel_xpath_result_count(r), rc.count) << rc.text;
            // An attribute node as the context: the tree-walker's part.
            quorvel_xpath_result* attrs = quorvel_xpath_eval(d.doc, nullptr, "//@id");
            c.node = quorvel_xpath_result_get_node(attrs, 0);
            EXPECT_EQ(xpath_vm_run(tree, &c), nullptr);
            quorvel_xpath_result_free(attrs);
            quorvel_xpath_result_free(r);
            xpath_context_cleanup(&c);
        }
        xpath_tree_release(tree);
    }
    quorvel_xpath_variable_set_free(vars);
}

constexpr const char* kDocs[] = {
    "<r><a id=\"1\">x</a><a id=\"2\">y<b/></a><c/></r>",
    "<!--top--><r><a/>hello<b/><!--c--><?p d?></r><?after x?>",
    "<r><s><a/><b/></s><s><a/><c/></s><d/></r>",
    // Nested inputs: inner matches once each.
    "<r><b><b><a id=\"1\"/><a/></b><a id=\"2\"/></b><b id=\"3\"/></r>",
    // Empty values, references in values, a name on two kinds of nodes.
    "<r><x a=\"\"/><x a=\"&amp;\"/><x a=\"&lt;v&gt;\" b=\"1\"/><x b=\" 1 \"/><x a=\"v\"><x a=\"\"/></x></r>",
    // Namespaces: unprefixed tests select elements in no namespace only.
    "<r xmlns:p=\"u\"><a/><p:a/><q xmlns=\"w\"><a id=\"1\"/></q><a id=\"1\"/></r>",
    // A root named like its descendants.
    "<x><x><x id=\"1\"/></x><y><x/></y></x>",
};

constexpr const char* kExprs[] = {
    "/", "//*", "//a", "//b", "//x", "/r", "/r/*", "//a[1]", "//a[2]", "//a[last()]", "//*[1]", "//b/a",
    "//b/descendant::*[@id]", "//b//a", "//b/descendant-or-self::*", "//a[@id]", "//a[@id='1']", "//a[@id=1]",
    "//a[@id='2']", "//*[@id='1']", "//a[@id='']", "//x[@a='']", "//x[@a='&']", "//x[@a='<v>']", "//x[@a]",
    "//x[@b=1]", "//x[@b='1']", "//x[@a='v']/x", "//x[@a][@b]", "//x/..", "//a/..", "/descendant-or-self::*/x",
    "/descendant-or-self::node()/x", "descendant-or-self::*", "//x[1]/x", "//x[2]", "//node()", "//text()",
    "//comment()", "/r/node()", "/r/text()", "//s/*[last()]", "//s[2]/*", "//*[position() = 2]", "//a[. = '']",
    "/r/a[2]/b", "/r/self::r", "//b/self::b", "//c/parent::*", "//a/parent::node()", "r", "r/a", "./r//a",
    "//a[@id = 1 or @id = 2]", "//a[7 idiv 0.5 = 14]", "//a[1 idiv 0 = 1]", "//a[nope()]", "//a[$undefined]",
    "//*[@id][1]", "//*[@id][2]", "//x[3]/x", "//y/x[1]", "/x//x[@id='1']", "//q/a", "/r/*/*",
    // Paths inside function arguments, operands and predicates.
    "count(//a)", "count(//b//a) + count(/r/*)", "//a[count(b) > 0]", "//*[a]/b", "//*[b or c]", "string(//a[2])",
    "sum(//x/@b)", "//a[. = //a[@id='2']]", "//b[a[@id]]", "boolean(//nothing)", "//a[not(../c)]",
    "count(//a[nope()])", "(//a)[1]", "//a[@id ! (1 to 1)]", "count(//b[@id ! 1]) + 1", "//a | //b", "for $i in //a return $i/..", "//x[@a][count(x[@a]) = 1]",
};

TEST(XpathVm, SameAnswersAsTheTreeWalker) {
    for (const char* xml : kDocs) {
        doc_ptr d(xml);
        ASSERT_NE(d.doc, nullptr) << xml;
        for (const char* e : kExprs) expect_same(d.doc, e);
        // From an element context too.
        quorvel_node* root = reinterpret_cast<quorvel_node*>(quorvel_document_root(d.doc));
        quorvel_node* first = quorvel_node_first_child(root);
        for (const char* e : kExprs) {
            expect_same(d.doc, e, root);
            if (first) expect_same(d.doc, e, first);
        }
    }
}

// Attribute steps, sums, unions, contains() filters and prefixed names: the
// documents hold what could make the machine differ (declarations beside
// attributes, prefixed attributes, values that are not plain integers,
// mixed content, repeated children, an element under two prefixes).
constexpr const char* kMoreDocs[] = {
    "<r xmlns:p=\"u\" xmlns:q=\"u\"><a id=\"1\" p:id=\"2\" xmlns=\"\" b=\"7\"/><p:a q:id=\"3\" id=\"-4\"/>"
    "<q:a p:b=\"x\"><a id=\"005\"/></q:a><a id=\"\"/></r>",
    "<r><v>12</v><v>-3</v><v> 4</v><v>1<!--c-->2</v><w><v>1.5</v></w><v>P1Y</v><v><![CDATA[9]]></v><v/></r>",
    "<r><s n=\"1\"><t>abc</t><t>xyz</t></s><s n=\"2\"><t>a<b>bc</b></t></s><s n=\"3\"/><s n=\"922337203685477580\">"
    "<t/>xy</s><s n=\"922337203685477580\"/></r>",
    "<r><a k=\"P1Y\"/><a k=\"P2M\"/></r>",
    "<!--c--><r b=\"1\" a=\"2\"><a b=\"3\" id=\"4\">t<!--d--></a></r><?p x?>",
};

constexpr const char* kMoreExprs[] = {
    "//@id", "//a/@id", "//@*", "//a/@*", "//a/attribute::node()", "/r/a/@b", "//a/@p:id", "//*/@q:id", "//@xmlns",
    "//a/attribute::text()", "@id", "//s/@n", "//a/@k", "count(//@*)", "string(//a/@id)", "//a[@id]/@id",
    "sum(//a/@id)", "sum(//@id)", "sum(//a/@b)", "sum(//v)", "sum(/r/v)", "sum(//w/v)", "sum(//s/@n)",
    "sum(//nothing/@n)", "sum(//a/@k)", "sum(//t)", "sum(//a/@id) + 1", "//a[sum(@id) = 1]",
    "//a | //v", "//v | //a", "//a/@id | //a", "//a/@id | //@id | //s/@n", "//t | //s | //t", "//nothing | /r",
    "count(//a | //p:a)", "//comment() | //a | /", "//node() | //@*", "//@* | //a/@b | //@id", "/ | //a/@id", "//p:a | //q:a", "//p:a", "//q:a", "//p:a/@q:id", "//q:a/a", "/r/p:*", "//p:b",
    "//s[contains(t, 'b')]", "//s[contains(t, 'x')]", "//s[contains(t, '')]", "//s[contains(@n, '2')]",
    "//s[contains(nothing, '')]", "//s[contains(t, 'ab')][2]", "//*[contains(t, 'bc')]/@n", "//r[contains(v, '1')]",
    "/*[contains(s, 'abc')]", "//s[contains(@n, '')]", "//a[contains(@id, '0')]",
};

TEST(XpathVm, AttributeStepsSumsUnionsAndPrefixes) {
    quorvel_xpath_ns_set* ns = quorvel_xpath_ns_set_new();
    quorvel_xpath_ns_set_add(ns, "p", "u");
    for (const char* xml : kMoreDocs) {
        doc_ptr d(xml);
        ASSERT_NE(d.doc, nullptr) << xml;
        quorvel_node* root = reinterpret_cast<quorvel_node*>(quorvel_document_root(d.doc));
        for (const char* e : kMoreExprs) {
            expect_same(d.doc, e);
            expect_same(d.doc, e, root);
            // With the prefix p bound (q stays unbound: its prefix is
            // compared as written).
            vm_switch restore;
            xpath_vm_set_enabled(0);
            quorvel_xpath_result* r = quorvel_xpath_eval_ns(d.doc, nullptr, e, ns);
            std::string walker = show(r, d.doc);
            quorvel_xpath_result_free(r);
            xpath_vm_set_enabled(1);
            for (int round = 0; round < 3; round++) {
                r = quorvel_xpath_eval_ns(d.doc, nullptr, e, ns);
                EXPECT_EQ(show(r, d.doc), walker) << e << " with p bound, round " << round;
                quorvel_xpath_result_free(r);
            }
        }
    }
    quorvel_xpath_ns_set_free(ns);
}

// The machine itself runs these shapes (rather than leaving them to the
// tree-walker at run time), and declines a sum it cannot make exactly.
TEST(XpathVm, MachineRunsAttributeStepsSumsUnionsAndPrefixes) {
    doc_ptr d("<r xmlns:p=\"u\"><a n=\"2\"/><p:a n=\"3\"><t>abc</t></p:a><a n=\"x\"/></r>");
    struct run_case {
        const char* text;
        bool runs;
    } cases[] = {
        {"//a/@n", true},          {"//@*", true},          {"//a | //p:a", true},  {"//p:a", true},
        {"sum(//p:a/@n)", true},   {"sum(//@n)", false},    {"sum(//t)", false},    {"//*[contains(t, 'b')]", true},
        {"//*[contains(@n, 'x')]", true}, {"//p:a/@n | /r", true},
    };
    for (const run_case& rc : cases) {
        char message[256];
        quorvel_xpath_tree* tree =
            xpath_tree_new(xpath_parse_text(rc.text, std::strlen(rc.text), message, sizeof message));
        ASSERT_NE(tree, nullptr) << rc.text;
        quorvel_xpath_context c;
        xpath_context_init(&c, d.doc, quorvel_document_node(d.doc));
        quorvel_xpath_result* r = xpath_vm_run(tree, &c);
        EXPECT_EQ(r != nullptr, rc.runs) << rc.text;
        quorvel_xpath_result_free(r);
        xpath_context_cleanup(&c);
        xpath_tree_release(tree);
    }
}

// The machine's own answers where it takes over a whole expression.
TEST(XpathVm, AttributeStepsSumsUnionsKnownAnswers) {
    doc_ptr d("<r><a n=\"2\" m=\"x\"/><b n=\"-5\"/><a n=\"40\"><a/></a></r>");
    struct known {
        const char* text;
        const char* answer;
    } cases[] = {
        {"sum(//@n)", "'37'"},
        {"sum(//a/@n)", "'42'"},
        {"count(//a/@* | //b/@n)", "'4'"},
        {"string(//a/@m)", "'x'"},
        {"count(//a | //b | //a)", "'4'"},
    };
    for (const known& k : cases) {
        for (int round = 0; round < 3; round++) EXPECT_EQ(eval(d.doc, k.text), k.answer) << k.text << " " << round;
        expect_same(d.doc, k.text);
    }
    // Attribute nodes in document order, each once, owned by the answer.
    EXPECT_EQ(eval(d.doc, "//a/@n | //b/@n | //@n"),
              "[6:n=2@(nil) 6:n=-5@(nil) 6:n=40@(nil) ]");
    // An application function named like a standard one is called, never
    // bypassed.
    doc_ptr own("<r><a n=\"1\"/><a n=\"2\"/></r>");
    auto mine = [](const char**, int, void*) -> char* { return strdup("mine"); };
    ASSERT_EQ(quorvel_xpath_register_function(own.doc, "sum", mine, nullptr), 0);
    ASSERT_EQ(quorvel_xpath_register_function(own.doc, "contains", mine, nullptr), 0);
    EXPECT_EQ(eval(own.doc, "sum(//a/@n)"), "'mine'");
    EXPECT_EQ(eval(own.doc, "count(//a[contains(@n, 'zzz')])"), "'2'");
}

TEST(XpathVm, PathsInsideOtherExpressions) {
    for (const char* text : {"count(//a)", "//a[b]/c", "sum(//v)", "1 + count(a/b[c])", "//a[count(b[@x]) = 2]"})
        EXPECT_GT(xpath_test_path_count(text), 0u) << text;
    for (const char* text : {"1 + 2", "$v/a", "count($v)"}) EXPECT_EQ(xpath_test_path_count(text), 0u) << text;
    // A failing predicate inside nested paths fails the evaluation with its
    // own message, with the machine on and off alike.
    doc_ptr d("<r><a><b/></a><a/></r>");
    for (const char* text : {"count(//a[count(b[nope()]) = 0])", "//a[b[1 idiv 0]]", "count(//a[b])"})
        expect_same(d.doc, text);
}

TEST(XpathVm, KnownAnswers) {
    doc_ptr nested("<r><b><b><a id=\"1\"/></b></b></r>");
    for (int round = 0; round < 3; round++) {
        quorvel_xpath_result* n = quorvel_xpath_eval(nested.doc, nullptr, "//b/descendant::*[@id]");
        EXPECT_EQ(quorvel_xpath_result_count(n), 1u) << round;
        quorvel_xpath_result_free(n);
    }
    doc_ptr x("<x><x/></x>");
    quorvel_xpath_result* r = quorvel_xpath_eval(x.doc, nullptr, "/descendant-or-self::*/x");
    EXPECT_EQ(quorvel_xpath_result_count(r), 1u);
    quorvel_xpath_result_free(r);
    r = quorvel_xpath_eval(x.doc, nullptr, "7 idiv 0.5");
    EXPECT_EQ(take(quorvel_xpath_result_string(r)), "14");
    quorvel_xpath_result_free(r);
    // Repeated searches of one value: the walk, then the index, agree.
    doc_ptr empty("<r><a k=\"\"/><a/><a k=\"&amp;\"/></r>");
    for (int round = 0; round < 4; round++) {
        quorvel_xpath_result* e = quorvel_xpath_eval(empty.doc, nullptr, "//a[@k='']");
        EXPECT_EQ(quorvel_xpath_result_count(e), 1u) << round;
        quorvel_xpath_result_free(e);
        e = quorvel_xpath_eval(empty.doc, nullptr, "//a[@k='&']");
        EXPECT_EQ(quorvel_xpath_result_count(e), 1u) << round;
        quorvel_xpath_result_free(e);
    }
}

// The lookup by a variable of every kind through one compiled handle.
TEST(XpathVm, CompiledSearchWithVariables) {
    doc_ptr d("<r><i id=\"1\"/><i id=\"2\"/><i id=\" 2\"/><i/><j><i id=\"3\"/></j></r>");
    quorvel_xpath_compiled* c = quorvel_xpath_compile("//i[@id=$v]");
    ASSERT_NE(c, nullptr);
    auto both = [&](quorvel_xpath_variable_set* vars, const char* what) {
        vm_switch restore;
        xpath_vm_set_enabled(0);
        quorvel_xpath_result* w = quorvel_xpath_compiled_eval_vars(c, d.doc, nullptr, vars);
        std::string walker = show(w, d.doc);
        quorvel_xpath_result_free(w);
        xpath_vm_set_enabled(1);
        for (int round = 0; round < 3; round++) {
            quorvel_xpath_result* v = quorvel_xpath_compiled_eval_vars(c, d.doc, nullptr, vars);
            EXPECT_EQ(show(v, d.doc), walker) << what;
            quorvel_xpath_result_free(v);
        }
        return walker;
    };
    quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
    EXPECT_NE(both(vars, "undefined").find("ERR:Undefined variable: v"), std::string::npos);
    for (const char* v : {"1", "2", "3", "", "4", " 2"}) {
        quorvel_xpath_variable_set_string(vars, "v", v);
        both(vars, v);
    }
    quorvel_xpath_variable_set_free(vars);
    vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_number(vars, "v", 2);
    std::string numbers = both(vars, "number");
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), '@'), 2) << numbers;
    quorvel_xpath_variable_set_free(vars);
    vars = quorvel_xpath_variable_set_new();
    quorvel_xpath_variable_set_boolean(vars, "v", 1);
    both(vars, "boolean");
    quorvel_xpath_variable_set_free(vars);
    quorvel_xpath_compiled_free(c);
}

// A tree change after the index was built: the answers follow the tree.
TEST(XpathVm, AnswersFollowTreeChanges) {
    doc_ptr d("<r><a k=\"1\"/><a k=\"2\"/></r>");
    for (int round = 0; round < 3; round++) expect_same(d.doc, "//a[@k='1']");
    quorvel_element* root = quorvel_document_root(d.doc);
    quorvel_xpath_result* found = quorvel_xpath_eval(d.doc, nullptr, "/r/a[2]");
    quorvel_element* second = quorvel_xpath_result_get(found, 0);
    quorvel_xpath_result_free(found);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(quorvel_element_set_attribute(second, "k", "1"), QUORVEL_OK);
    expect_same(d.doc, "//a[@k='1']");
    quorvel_xpath_result* r = quorvel_xpath_eval(d.doc, nullptr, "//a[@k='1']");
    EXPECT_EQ(quorvel_xpath_result_count(r), 2u);
    quorvel_xpath_result_free(r);
    ASSERT_NE(quorvel_element_create_child(root, "a"), nullptr);
    expect_same(d.doc, "//a");
    expect_same(d.doc, "//a[last()]");
    // A renamed element is found under its new name only.
    for (int round = 0; round < 3; round++) expect_same(d.doc, "//b");
    ASSERT_EQ(quorvel_element_set_name(second, "b"), QUORVEL_OK);
    expect_same(d.doc, "//b");
    expect_same(d.doc, "//a[@k='1']");
    r = quorvel_xpath_eval(d.doc, nullptr, "//b[@k='1']");
    EXPECT_EQ(quorvel_xpath_result_count(r), 1u);
    quorvel_xpath_result_free(r);
}

// A compiled handle stays right while other threads compile and evaluate
// many distinct texts (the cache evicts and reuses its slots meanwhile).
TEST(XpathVmThread, CompiledHandleWhileOthersCompile) {
    doc_ptr d("<r><i id=\"1\"><n>a</n></i><i id=\"2\"><n>b</n></i><i id=\"3\"/></r>");
    quorvel_xpath_compiled* c = quorvel_xpath_compile("//i[@id=$v]/n");
    ASSERT_NE(c, nullptr);
    quorvel_xpath_result_free(quorvel_xpath_eval(d.doc, nullptr, "//i"));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 100; k++) {
                std::string text = "//i[@id='" + std::to_string(k % 4) + "']/n[" + std::to_string(t + k) + " > 0]";
                quorvel_xpath_compiled* other = quorvel_xpath_compile(text.c_str());
                quorvel_xpath_result* r = quorvel_xpath_compiled_eval(other, d.doc, nullptr);
                size_t expected = k % 4 == 1 || k % 4 == 2 ? 1 : 0;
                if (quorvel_xpath_result_count(r) != expected) wrong++;
                quorvel_xpath_result_free(r);
                quorvel_xpath_compiled_free(other);
            }
            quorvel_thread_cleanup();
        });
    }
    threads.emplace_back([&] {
        quorvel_xpath_variable_set* vars = quorvel_xpath_variable_set_new();
        for (int k = 0; k < 300; k++) {
            int v = k % 3 + 1;
            quorvel_xpath_variable_set_string(vars, "v", std::to_string(v).c_str());
            quorvel_xpath_result* r = quorvel_xpath_compiled_eval_vars(c, d.doc, nullptr, vars);
            if (quorvel_xpath_result_count(r) != (v == 3 ? 0u : 1u)) wrong++;
            quorvel_xpath_result_free(r);
        }
        quorvel_xpath_variable_set_free(vars);
        quorvel_thread_cleanup();
    });
    // Unions with attribute steps, sums and contains() filters through
    // handles two threads share.
    quorvel_xpath_compiled* u = quorvel_xpath_compile("//i/@id | //n | //i[contains(n, 'b')]");
    quorvel_xpath_compiled* sum = quorvel_xpath_compile("sum(//i/@id)");
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&] {
            for (int k = 0; k < 100; k++) {
                quorvel_xpath_result* r = quorvel_xpath_compiled_eval(u, d.doc, nullptr);
                if (quorvel_xpath_result_count(r) != 6u) wrong++;
                quorvel_xpath_result_free(r);
                r = quorvel_xpath_compiled_eval(sum, d.doc, nullptr);
                if (quorvel_xpath_result_number(r) != 6) wrong++;
                quorvel_xpath_result_free(r);
            }
            quorvel_thread_cleanup();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    quorvel_xpath_compiled_free(sum);
    quorvel_xpath_compiled_free(u);
    quorvel_xpath_compiled_free(c);
}

}  // namespace
