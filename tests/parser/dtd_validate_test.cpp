// DTD validation (first error, exact messages) and the attribute defaults
// applied after a parse with QUORVEL_PARSE_DTD_DEFAULTS.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "dom/dom.h"
#include "dtd/dtd.h"
#include "support/failing_alloc.h"

namespace {

struct doc_deleter {
    void operator()(quorvel_document* d) const { quorvel_document_free(d); }
};
using doc_ptr = std::unique_ptr<quorvel_document, doc_deleter>;

doc_ptr parse(const std::string& text, int flags = 0) {
    int status = 0;
    doc_ptr doc(quorvel_parse_string_flags(text.data(), text.size(), flags, &status));
    EXPECT_EQ(status, 0) << text.substr(0, 200);
    return doc;
}

struct outcome {
    int result;
    std::string message;
    std::string detail;
};

// Validates a document against its own internal subset.
outcome validate(const std::string& text) {
    doc_ptr doc = parse(text);
    if (!doc) return {-9, "", ""};
    quorvel_dtd_error error{};
    int r = quorvel_dtd_validate(doc.get(), quorvel_document_get_dtd(doc.get()), &error);
    outcome o{r, error.message ? error.message : "", error.detail ? error.detail : ""};
    quorvel_dtd_error_free(&error);
    return o;
}

std::string with_subset(const std::string& subset, const std::string& body) {
    std::string root = body.substr(1, body.find_first_of(" />") - 1);
    return "<!DOCTYPE " + root + " [" + subset + "]>" + body;
}

struct validation_row {
    const char* what;
    const char* subset;
    const char* body;
    int result;
    const char* message;  // "" when valid
};

// Validates each row's body under its own subset, or under the one given
// for every row, and compares the verdict and the message.
template <size_t N>
void check_rows(const validation_row (&rows)[N], const char* shared_subset = nullptr) {
    for (const validation_row& r : rows) {
        SCOPED_TRACE(r.what);
        outcome o = validate(with_subset(shared_subset ? shared_subset : r.subset, r.body));
        EXPECT_EQ(o.result, r.result);
        EXPECT_EQ(o.message, r.message);
    }
}

TEST(DtdValidate, ContentModels) {
    const validation_row rows[] = {
        {"undeclared root", "<!ELEMENT other EMPTY>", "<a><b/></a>", 1, ""},
        {"required name missing", "<!ELEMENT a (b)>", "<a/>", 0, "Element 'a' content model requires 'b'"},
        {"star accepts none", "<!ELEMENT a (b*)>", "<a/>", 1, ""},
        {"children left over", "<!ELEMENT a (b, c)>", "<a><b/><c/><d/></a>", 0,
         "Element 'a' has 3 child(ren) but the content model accepts 2"},
        {"choice of groups", "<!ELEMENT a ((b, c) | d)>", "<a><d/></a>", 1, ""},
        {"optional group skipped", "<!ELEMENT a (b, (c)?, d)>", "<a><b/><d/></a>", 1, ""},
        {"plus without match", "<!ELEMENT a (b+)>", "<a><c/><c/><c/></a>", 0,
         "Element 'a' content model requires one or more 'b'"},
        {"greedy star gives nothing back", "<!ELEMENT a (b*, b)>", "<a><b/><b/></a>", 0,
         "Element 'a' content model requires 'b'"},
        {"repeated group", "<!ELEMENT a (b, c)+>", "<a><b/><c/><b/><c/></a>", 1, ""},
        {"repeated choice", "<!ELEMENT a (b | c)*>", "<a><c/><b/><c/></a>", 1, ""},
        {"'#' inside element content", "<!ELEMENT a (b, #x)>", "<a><b/></a>", 0,
         "Content model of 'a' mixes #PCDATA with element content"},
        {"character data in element content", "<!ELEMENT a (b)>", "<a>x<b/></a>", 0,
         "Element content model does not allow character data"},
        {"white space in element content", "<!ELEMENT a (b)>", "<a> <b/>\n</a>", 1, ""},
        {"mixed without star", "<!ELEMENT a (#PCDATA | b)>", "<a><b/></a>", 0,
         "Element 'a' mixed content model allows no element children"},
        {"mixed child not listed", "<!ELEMENT a (#PCDATA | b)*>", "<a>t<c/></a>", 0,
         "Element 'a' child 'c' is not allowed by the mixed content model"},
        {"text only", "<!ELEMENT a (#PCDATA)>", "<a>text</a>", 1, ""},
        {"EMPTY with comment and blanks", "<!ELEMENT a EMPTY>", "<a> <!--c--> </a>", 1, ""},
        {"EMPTY with a letter", "<!ELEMENT a EMPTY>", "<a>x</a>", 0, "Element declared EMPTY has character content"},
        {"EMPTY with a CDATA letter", "<!ELEMENT a EMPTY>", "<a><![CDATA[x]]></a>", 0,
         "Element declared EMPTY has character content"},
        {"EMPTY with a child", "<!ELEMENT a EMPTY>", "<a><b/></a>", 0, "Element declared EMPTY has element children"},
        {"ANY", "<!ELEMENT a ANY>", "<a>t<q/></a>", 1, ""},
        {"nested child checked", "<!ELEMENT a ANY><!ELEMENT b (c)>", "<a><b><d/></b></a>", 0,
         "Element 'b' content model requires 'c'"},
        {"prefixed element by local name", "<!ELEMENT a (b)>", "<p:a xmlns:p='u'><p:b/></p:a>", 1, ""},
    };
    check_rows(rows);
}

TEST(DtdValidate, Attributes) {
    const validation_row rows[] = {
        {"duplicate ID", "<!ATTLIST b id ID #IMPLIED>", "<a><b id='x'/><b id='x'/></a>", 0, "Duplicate ID value 'x'"},
        {"empty IDs are not compared", "<!ATTLIST b id ID #IMPLIED>", "<a><b id=''/><b id=''/></a>", 1, ""},
        {"IDREF resolves later in the document", "<!ATTLIST b r IDREF #IMPLIED id ID #IMPLIED>",
         "<a><b r='z'/><b id='z'/></a>", 1, ""},
        {"dangling IDREF", "<!ATTLIST b r IDREF #IMPLIED>", "<a><b r='z'/></a>", 0,
         "IDREF 'z' does not resolve to any ID"},
        {"empty IDREF", "<!ATTLIST b r IDREF #IMPLIED>", "<a><b r=''/></a>", 0, "IDREF '' does not resolve to any ID"},
        {"IDREFS token", "<!ATTLIST b rs IDREFS #IMPLIED id ID #IMPLIED>", "<a><b id='p' rs=' p  q '/></a>", 0,
         "IDREFS token 'q' does not resolve to any ID"},
        {"IDREFs only after a clean first pass", "<!ELEMENT c EMPTY><!ATTLIST b r IDREF #IMPLIED>",
         "<a><b r='none'/><c>x</c></a>", 0, "Element declared EMPTY has character content"},
        {"enumeration trimmed", "<!ATTLIST a v ( yes | no ) #IMPLIED>", "<a v='yes'/>", 1, ""},
        {"value outside the enumeration", "<!ATTLIST a v ( yes | no ) #IMPLIED>", "<a v='maybe'/>", 0,
         "Attribute 'v' value 'maybe' is not in enumerated type  yes | no "},
        {"NMTOKEN may start with a digit", "<!ATTLIST a t NMTOKEN #IMPLIED>", "<a t='1a.b-c:d_e'/>", 1, ""},
        {"empty NMTOKEN", "<!ATTLIST a t NMTOKEN #IMPLIED>", "<a t=''/>", 0, "Attribute 't' is not a valid NMTOKEN"},
        {"NMTOKEN with a space", "<!ATTLIST a t NMTOKEN #IMPLIED>", "<a t='a b'/>", 0,
         "Attribute 't' is not a valid NMTOKEN"},
        {"NMTOKEN with a byte from 0x80", "<!ATTLIST a t NMTOKEN #IMPLIED>", "<a t='caf\xC3\xA9'/>", 0,
         "Attribute 't' is not a valid NMTOKEN"},
        {"NMTOKENS", "<!ATTLIST a t NMTOKENS #IMPLIED>", "<a t=' x  y1 '/>", 1, ""},
        {"bad NMTOKENS token", "<!ATTLIST a t NMTOKENS #IMPLIED>", "<a t='x y/z'/>", 0,
         "Attribute 't' contains an invalid NMTOKENS token"},
        {"#FIXED differs", "<!ATTLIST a f CDATA #FIXED 'one'>", "<a f='two'/>", 0,
         "Attribute 'f' has #FIXED value 'one' but document has 'two'"},
        {"#FIXED compares the decoded value", "<!ATTLIST a f CDATA #FIXED '&amp;'>", "<a f='&#38;'/>", 1, ""},
        {"missing #REQUIRED on the root", "<!ATTLIST a need CDATA #REQUIRED>", "<a/>", 0,
         "Element 'a' missing #REQUIRED attribute 'need'"},
    };
    check_rows(rows);
}

TEST(DtdValidate, EntityAttributes) {
    const std::string subset =
        "<!NOTATION gif SYSTEM 'viewer'>"
        "<!ENTITY pic SYSTEM 'p.gif' NDATA gif>"
        "<!ENTITY odd SYSTEM 'p.png' NDATA png>"
        "<!ENTITY text 'parsed'>"
        "<!ATTLIST a e ENTITY #IMPLIED es ENTITIES #IMPLIED>";
    const validation_row rows[] = {
        {"unparsed entity", "", "<a e='pic' es=' pic  pic '/>", 1, ""},
        {"undeclared entity", "", "<a e='nope'/>", 0, "Attribute 'e' references undeclared entity 'nope'"},
        {"parsed entity", "", "<a es='pic text'/>", 0,
         "Attribute 'es' references parsed entity 'text' (must be unparsed / have NDATA)"},
        {"undeclared notation", "", "<a e='odd'/>", 0, "Entity 'odd' references undeclared notation 'png'"},
    };
    check_rows(rows, subset.c_str());
    // Names of up to 255 bytes are looked up (the message is cut to 199
    // bytes); longer ones are refused.
    outcome o = validate(with_subset(subset, "<a e='" + std::string(255, 'x') + "'/>"));
    EXPECT_EQ(o.message, ("Attribute 'e' references undeclared entity '" + std::string(255, 'x')).substr(0, 199));
    o = validate(with_subset(subset, "<a e='" + std::string(256, 'x') + "'/>"));
    EXPECT_EQ(o.message, "ENTITY name too long in attribute 'e'");
}

TEST(DtdValidate, ErrorRecord) {
    // detail names the element being examined.
    outcome o = validate(with_subset("<!ATTLIST root need CDATA #REQUIRED>", "<root/>"));
    EXPECT_EQ(o.detail, "root");
    o = validate(with_subset("<!ELEMENT b (c)>", "<a><b/></a>"));
    EXPECT_EQ(o.detail, "b");

    // Each message is cut to its buffer: 160 bytes for a duplicate ID.
    const std::string id(300, 'i');
    o = validate(with_subset("<!ATTLIST b id ID #IMPLIED>", "<a><b id='" + id + "'/><b id='" + id + "'/></a>"));
    EXPECT_EQ(o.message, ("Duplicate ID value '" + id).substr(0, 159));

    doc_ptr doc = parse("<a/>");
    quorvel_dtd_error error{};
    EXPECT_EQ(quorvel_dtd_validate(doc.get(), nullptr, &error), -1);
    EXPECT_STREQ(error.message, "NULL document or DTD passed to quorvel_dtd_validate");
    EXPECT_EQ(error.detail, nullptr);
    quorvel_dtd_error_free(&error);
    EXPECT_EQ(quorvel_dtd_validate(nullptr, quorvel_document_get_dtd(doc.get()), &error), -1);
    quorvel_dtd_error_free(&error);
    EXPECT_EQ(quorvel_dtd_validate(doc.get(), nullptr, nullptr), -1);

    // A valid document leaves the record alone; no root element is valid.
    EXPECT_EQ(quorvel_dtd_validate(doc.get(), quorvel_document_get_dtd(doc.get()), &error), 1);
    EXPECT_EQ(error.message, nullptr);
    doc_ptr empty(quorvel_document_create());
    EXPECT_EQ(quorvel_dtd_validate(empty.get(), quorvel_document_get_dtd(doc.get()), nullptr), 1);
}

// Faults of a literal reading that validation does not repeat.
TEST(DtdValidate, SoundWhereTheObviousReadingFails) {
    // These two names give the same 32-bit hash for a one-child list: the
    // cached verdict of the first list must not answer for the second.
    outcome o = validate(with_subset("<!ELEMENT x (nrwoqifd)>", "<a><x><nrwoqifd/></x><x><nvdnthbj/></x></a>"));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.message, "Element 'x' content model requires 'nrwoqifd'");

    // Every name of a long mixed list counts, not just the first 64.
    std::string names;
    for (int i = 0; i < 80; i++) names += " | n" + std::to_string(i);
    o = validate(with_subset("<!ELEMENT a (#PCDATA" + names + ")*>", "<a><n79/><n3/></a>"));
    EXPECT_EQ(o.result, 1) << o.message;

    // Model names count in full: a name that only shares its first 63
    // bytes with the declared one is another name.
    std::string declared(80, 'q');
    std::string other = declared.substr(0, 70) + std::string(10, 'r');
    o = validate(with_subset("<!ELEMENT a (" + declared + ")>", "<a><" + declared + "/></a>"));
    EXPECT_EQ(o.result, 1) << o.message;
    o = validate(with_subset("<!ELEMENT a (" + declared + ")>", "<a><" + other + "/></a>"));
    EXPECT_EQ(o.result, 0);

    // A dotted element name is not a prefix of another element's key:
    // "a.b" requiring "c" asks nothing of element a.
    o = validate(with_subset("<!ATTLIST a.b c CDATA #REQUIRED>", "<a/>"));
    EXPECT_EQ(o.result, 1) << o.message;

    // Model nesting past the cap is refused, not recursed into.
    std::string deep(20000, '(');
    deep += "b" + std::string(20000, ')');
    o = validate(with_subset("<!ELEMENT a " + deep + ">", "<a><b/></a>"));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.message, "Content model of 'a' is malformed");
}

TEST(DtdValidate, RepeatedValidationKeepsNothingInTheDtd) {
    const char* dtd_text = "<!ELEMENT a (b*)><!ATTLIST b id ID #REQUIRED r IDREF #IMPLIED>";
    quorvel_dtd* dtd = quorvel_dtd_parse(dtd_text, std::strlen(dtd_text));
    ASSERT_NE(dtd, nullptr);
    std::string body = "<a>";
    for (int i = 0; i < 500; i++) body += "<b id='i" + std::to_string(i) + "' r='i0'/>";
    body += "</a>";
    doc_ptr doc = parse(body);
    ASSERT_EQ(quorvel_dtd_validate(doc.get(), dtd, nullptr), 1);
    size_t pages = dtd->pool->page_count;
    size_t used = dtd->pool->current_page ? dtd->pool->current_page->used : 0;
    for (int i = 0; i < 50; i++) ASSERT_EQ(quorvel_dtd_validate(doc.get(), dtd, nullptr), 1);
    EXPECT_EQ(dtd->pool->page_count, pages);
    EXPECT_EQ(dtd->pool->current_page ? dtd->pool->current_page->used : 0, used);
    quorvel_dtd_free(dtd);
}

TEST(DtdValidate, DeepDocumentNeedsNoRecursion) {
    const int depth = 200000;
    std::string body;
    for (int i = 0; i < depth; i++) body += "<a>";
    body += "<b/>";
    for (int i = 0; i < depth; i++) body += "</a>";
    int saved = quorvel_get_max_depth();
    quorvel_set_max_depth(depth + 10);
    doc_ptr doc = parse(with_subset("<!ELEMENT a (a|b)><!ATTLIST b d CDATA 'v'><!ATTLIST b r IDREF #IMPLIED>", body),
                        QUORVEL_PARSE_DTD_DEFAULTS);
    quorvel_set_max_depth(saved);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(quorvel_dtd_validate(doc.get(), quorvel_document_get_dtd(doc.get()), nullptr), 1);
    quorvel_element* e = quorvel_document_root(doc.get());
    while (quorvel_element* c = quorvel_element_first_child_any(e)) e = c;
    EXPECT_STREQ(quorvel_element_name(e), "b");
    EXPECT_STREQ(quorvel_element_attribute(e, "d"), "v");
}

// Validation's own memory (ID table, required-attribute index) comes through
// the allocation hooks: each failure gives -1 and leaves nothing behind.
TEST(DtdValidate, EveryFailingAllocationEndsCleanly) {
    std::string body = "<a>";
    for (int i = 0; i < 3000; i++) body += "<b id='identifier-" + std::to_string(i) + "' r='identifier-0'/>";
    body += "</a>";
    doc_ptr doc = parse(with_subset("<!ELEMENT a (b*)><!ATTLIST b id ID #REQUIRED r IDREF #IMPLIED>", body));
    ASSERT_NE(doc, nullptr);
    quorvel_dtd* dtd = quorvel_document_get_dtd(doc.get());
    quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
    int result = -1;
    int n = 0;
    for (; n < 1000 && result == -1; n++) {
        SCOPED_TRACE(n);
        hooks::countdown = n;
        hooks::live = 0;
        quorvel_dtd_error error{};
        result = quorvel_dtd_validate(doc.get(), dtd, &error);
        if (result == -1) {
            EXPECT_STREQ(error.message, "Failed to allocate ID table");
        }
        quorvel_dtd_error_free(&error);
        EXPECT_EQ(hooks::live, 0);
    }
    quorvel_set_memory_management_functions(nullptr, nullptr);
    hooks::countdown = -1;
    EXPECT_EQ(result, 1);
    EXPECT_GT(n, 3);  // failures were met while the ID table grew
}

// ---- Attribute defaults ------------------------------------------------------------

TEST(DtdDefaults, EveryElementGetsItsDefaults) {
    std::string body = "<r>";
    for (int i = 0; i < 200; i++) body += i == 7 ? "<c k='mine'/>" : "<c/>";
    body += "</r>";
    const std::string subset =
        "<!ATTLIST r k CDATA 'root'>"
        "<!ATTLIST c k CDATA 'lit' f CDATA #FIXED 'fx' i CDATA #IMPLIED q CDATA #REQUIRED>";
    doc_ptr doc = parse(with_subset(subset, body), QUORVEL_PARSE_DTD_DEFAULTS);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc.get());
    EXPECT_STREQ(quorvel_element_attribute(root, "k"), "root");
    size_t n = 0;
    for (quorvel_element* c = quorvel_element_first_child_any(root); c; c = quorvel_element_next_sibling_any(c), n++) {
        SCOPED_TRACE(n);
        EXPECT_STREQ(quorvel_element_attribute(c, "k"), n == 7 ? "mine" : "lit");
        EXPECT_STREQ(quorvel_element_attribute(c, "f"), "fx");
        EXPECT_EQ(quorvel_element_attribute(c, "i"), nullptr);
        EXPECT_EQ(quorvel_element_attribute(c, "q"), nullptr);
        EXPECT_EQ(quorvel_element_attribute_count(c), 2u);
    }
    EXPECT_EQ(n, 200u);

    // Without the flag nothing is added.
    doc_ptr plain = parse(with_subset(subset, body));
    EXPECT_EQ(quorvel_element_attribute(quorvel_document_root(plain.get()), "k"), nullptr);
}

TEST(DtdDefaults, NamespacedAndDeclarationDefaults) {
    const std::string subset =
        "<!ATTLIST r xmlns CDATA #FIXED 'urn:r' xmlns:p CDATA #FIXED 'urn:p' xml:lang CDATA 'en'"
        " p:x CDATA 'px'>";
    doc_ptr doc = parse(with_subset(subset, "<r xmlns='urn:r' xmlns:p='urn:p' xml:lang='fr' p:x='mine'/>"),
                        QUORVEL_PARSE_DTD_DEFAULTS);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc.get());
    // Declared already: no second declaration as an attribute.
    EXPECT_EQ(quorvel_element_namespace_count(root), 2u);
    EXPECT_EQ(quorvel_element_attribute_count(root), 2u);
    EXPECT_STREQ(quorvel_element_attribute(root, "xml:lang"), "fr");
    EXPECT_STREQ(quorvel_element_attribute(root, "p:x"), "mine");

    // The same expanded name under another prefix counts as present.
    doc_ptr other = parse(with_subset("<!ATTLIST r p:x CDATA 'px'>", "<r xmlns:p='urn:p' xmlns:z='urn:p' z:x='z'/>"),
                          QUORVEL_PARSE_DTD_DEFAULTS);
    EXPECT_EQ(quorvel_element_attribute_count(quorvel_document_root(other.get())), 1u);

    doc_ptr bare = parse(with_subset("<!ATTLIST r xml:lang CDATA 'en'>", "<r/>"), QUORVEL_PARSE_DTD_DEFAULTS);
    EXPECT_STREQ(quorvel_element_attribute(quorvel_document_root(bare.get()), "xml:lang"), "en");
}

TEST(DtdDefaults, DeclaredValuesAreExpanded) {
    // The DTD keeps defaults as written; the element gets the value the
    // document would hold had it been written in the start tag.
    doc_ptr doc = parse(with_subset("<!ENTITY e 'why'><!ATTLIST r v CDATA 'x &amp; &e;&#33;'>", "<r><r/></r>"),
                        QUORVEL_PARSE_DTD_DEFAULTS);
    ASSERT_NE(doc, nullptr);
    quorvel_element* root = quorvel_document_root(doc.get());
    EXPECT_STREQ(quorvel_element_attribute(root, "v"), "x & why!");
    EXPECT_STREQ(quorvel_element_attribute(quorvel_element_first_child_any(root), "v"), "x & why!");
}

}  // namespace
