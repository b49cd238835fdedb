// Pointer selection on a parsed document: each scheme, shorthand names,
// the part limit, and confinement to the included document.
#include <string>

#include "xinclude/xinclude.h"
#include "xinclude/xinclude_support.h"

namespace {

using namespace xinclude_test;

constexpr const char* kDoc =
    "<!DOCTYPE book [<!ATTLIST sec id ID #IMPLIED> <!ATTLIST p:sec id ID #IMPLIED>]>"
    "<book xmlns:n='urn:x'>"
    "<sec id='intro'><t>i1</t><t>i2</t><t>i3</t></sec>"
    "<sec id='chap2'><t>c1</t></sec>"
    "<n:item>first</n:item><n:item>second</n:item>"
    "<section>s1</section><section>s2</section>"
    "<note xml:id='n1'>note</note>"
    "<other name='it&apos;s'/>"
    "</book>";

// The text of what the pointer selects, "-" for nothing.
std::string select(quorvel_document* d, const std::string& pointer) {
    quorvel_element* e = xinclude::xpointer_select(d, pointer.data(), pointer.size());
    if (!e) return "-";
    return quorvel_element_text(quorvel_element_as_node(e));
}

TEST(XincludePointer, SchemesAndShorthands) {
    auto d = parse(kDoc);
    struct {
        const char* pointer;
        const char* expected;
    } cases[] = {
        {"chap2", "c1"},
        {"nosuch", "-"},
        {"n1", "note"},
        {"element(/1)", "i1i2i3c1firstseconds1s2note"},
        {"element(/1/2)", "c1"},
        {"element(/1/1/3)", "i3"},
        {"element(/2)", "-"},
        {"element(/1/0)", "-"},
        {"element(/1/x)", "-"},
        {"element(/1/99)", "-"},
        {"element(intro/3)", "i3"},
        {"element(intro)", "i1i2i3"},
        {"element(nosuch/1)", "-"},
        {"element(it's)", "-"},
        {"element(')", "-"},
        {"xmlns(p=urn:x) xpointer(//p:item)", "first"},
        {"xmlns( p = urn:x ) xpointer(//p:item[2])", "second"},
        {"xpointer(//p:item) xmlns(p=urn:x)", "-"},
        {"xmlns(p=urn:x) xpointer(//p:nothing) xpointer(//p:item[2])", "second"},
        {"foo(bar) element(/1/2)", "c1"},
        {"foo(b(a)r) element(/1/2)", "c1"},
        {"//section[2]", "s2"},
        {"xpointer(//section[1])", "s1"},
        {"xpointer(count(//t))", "-"},
        {"xpointer(//t/text())", "-"},
        {"xpointer(///bad)", "-"},
        {"xpointer(//t", "-"},
        {"(x) element(/1)", "-"},
        {"a() b() c() d() e() f() g() h() element(/1/2)", "-"},
        {"a() b() c() d() e() f() g() element(/1/2)", "c1"},
        {"  element(/1/2)  ", "c1"},
        {"", "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(select(d.get(), c.pointer), c.expected) << c.pointer;
}

TEST(XincludePointer, SelectsOnlyElementsOfTheIncludedDocument) {
    auto d = parse("<r><a/></r>");
    for (const char* pointer : {"xpointer(doc('/etc/hostname')/*)", "xpointer(document('x.xml')/*)",
                                "xpointer(fn:doc('x.xml')/*)", "xpointer(unparsed-text('/etc/passwd'))",
                                "xpointer(environment-variable('HOME'))", "xpointer(parse-xml('<z/>')/*)"})
        EXPECT_EQ(select(d.get(), pointer), "-") << pointer;
    EXPECT_EQ(select(d.get(), "xpointer(/r/a)"), "");
}

}  // namespace
