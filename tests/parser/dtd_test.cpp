// DTD model, declaration parser and general-entity expansion.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "dom/dom.h"
#include "parser/parser.h"

namespace {

struct dtd_deleter {
    void operator()(quorvel_dtd* d) const { quorvel_dtd_free(d); }
};
using dtd_ptr = std::unique_ptr<quorvel_dtd, dtd_deleter>;

dtd_ptr parse(const std::string& text) { return dtd_ptr(quorvel_dtd_parse(text.data(), text.size())); }

const char* entity_value(quorvel_dtd* dtd, const char* name) {
    quorvel_dtd_entity* e = ttdtd_lookup_entity(dtd, name);
    return e ? e->value : nullptr;
}

quorvel_dtd_element_decl* element(quorvel_dtd* dtd, const char* name) {
    return static_cast<quorvel_dtd_element_decl*>(quorvel_hash_table_get(dtd->elements, name, std::strlen(name)));
}

quorvel_dtd_notation* notation(quorvel_dtd* dtd, const char* name) {
    return static_cast<quorvel_dtd_notation*>(quorvel_hash_table_get(dtd->notations, name, std::strlen(name)));
}

// Expands text against dtd; "<null>" when the expansion fails.
std::string expand(quorvel_dtd* dtd, const std::string& text) {
    size_t length = 0;
    char* out = expand_entity_references(dtd, text.c_str(), nullptr, &length);
    if (!out) return "<null>";
    std::string s(out, length);
    std::free(out);
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
}

TEST(DtdParse, DeclarationsAndFirstOneWins) {
    dtd_ptr dtd = parse(R"(
        <!ENTITY e "first"> <!ENTITY e "second">
        <!ENTITY % p "param"> <!ENTITY p "general">
        <!ENTITY ext SYSTEM "ext.xml">
        <!ENTITY pub PUBLIC "-//X//Y" "pub.xml">
        <!ENTITY img SYSTEM "img.png" NDATA png>
        <!ELEMENT a EMPTY> <!ELEMENT a ANY>
        <!ELEMENT b ANY>
        <!ELEMENT m (#PCDATA|a)*>
        <!ELEMENT s (a,(b|m)?)+ >
        <!NOTATION png SYSTEM "image/png"> <!NOTATION png SYSTEM "other">
        <!NOTATION gif PUBLIC "-//GIF" "gif.exe">
        <!ATTLIST a x CDATA "one"> <!ATTLIST a x CDATA "two">
    )");
    ASSERT_NE(dtd, nullptr);
    quorvel_dtd* d = dtd.get();
    EXPECT_STREQ(entity_value(d, "e"), "first");
    EXPECT_STREQ(entity_value(d, "%p"), "param");
    EXPECT_STREQ(entity_value(d, "p"), "general");
    EXPECT_EQ(d->entity_count, 6u);

    quorvel_dtd_entity* ext = ttdtd_lookup_entity(d, "ext");
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->is_external, 1);
    EXPECT_EQ(ext->value, nullptr);
    EXPECT_STREQ(ext->system_id, "ext.xml");
    quorvel_dtd_entity* pub = ttdtd_lookup_entity(d, "pub");
    EXPECT_STREQ(pub->public_id, "-//X//Y");
    EXPECT_STREQ(pub->system_id, "pub.xml");
    EXPECT_STREQ(ttdtd_lookup_entity(d, "img")->notation, "png");

    EXPECT_EQ(element(d, "a")->content_kind, kContentEmpty);
    EXPECT_EQ(element(d, "a")->content_model, nullptr);
    EXPECT_EQ(element(d, "b")->content_kind, kContentAny);
    EXPECT_EQ(element(d, "m")->content_kind, kContentMixed);
    EXPECT_STREQ(element(d, "m")->content_model, "(#PCDATA|a)*");
    EXPECT_EQ(element(d, "s")->content_kind, kContentElements);
    EXPECT_STREQ(element(d, "s")->content_model, "(a,(b|m)?)+");
    EXPECT_EQ(d->element_count, 4u);

    EXPECT_STREQ(notation(d, "png")->system_id, "image/png");
    EXPECT_STREQ(notation(d, "gif")->public_id, "-//GIF");
    EXPECT_STREQ(notation(d, "gif")->system_id, "gif.exe");
    EXPECT_EQ(d->notation_count, 2u);

    EXPECT_STREQ(ttdtd_lookup_attribute(d, "a", "x")->default_value, "one");
    EXPECT_EQ(d->attribute_decl_count, 1u);
}

TEST(DtdParse, AttributeLists) {
    dtd_ptr dtd = parse(R"(<!ATTLIST el
        yn (yes|no) "no"
        plain #IMPLIED
        req ID #REQUIRED
        fixed CDATA #FIXED "1"
        empty CDATA ""
        note NOTATION (png|gif) #IMPLIED
        after NMTOKEN 'late'>)");
    ASSERT_NE(dtd, nullptr);
    quorvel_dtd* d = dtd.get();
    struct row {
        const char* name;
        const char* type;
        int kind;
        const char* value;
    } rows[] = {
        {"yn", "yes|no", kDefaultLiteral, "no"},
        {"plain", "CDATA", kDefaultImplied, nullptr},
        {"req", "ID", kDefaultRequired, nullptr},
        {"fixed", "CDATA", kDefaultFixed, "1"},
        {"empty", "CDATA", kDefaultLiteral, ""},
        {"note", "NOTATION", kDefaultImplied, nullptr},
        // The NOTATION list must not end the attribute list.
        {"after", "NMTOKEN", kDefaultLiteral, "late"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        quorvel_dtd_attribute_decl* a = ttdtd_lookup_attribute(d, "el", r.name);
        ASSERT_NE(a, nullptr);
        EXPECT_STREQ(a->element_name, "el");
        EXPECT_STREQ(a->type, r.type);
        EXPECT_EQ(a->default_kind, r.kind);
        if (r.value)
            EXPECT_STREQ(a->default_value, r.value);
        else
            EXPECT_EQ(a->default_value, nullptr);
    }
    // Only non-empty #FIXED and literal defaults are listed, in order.
    ASSERT_EQ(d->defaulted_count, 3u);
    EXPECT_STREQ(d->defaulted[0]->attribute_name, "yn");
    EXPECT_STREQ(d->defaulted[1]->attribute_name, "fixed");
    EXPECT_STREQ(d->defaulted[2]->attribute_name, "after");
}

TEST(DtdParse, MalformedDeclarations) {
    // A stand-alone parse refuses the DTD; adding to an existing one keeps
    // what parsed.
    const std::string text = "<!ELEMENT ok EMPTY><!ENTITY e 'v'><!ELEMENT broken (a|b)";
    EXPECT_EQ(parse(text), nullptr);
    EXPECT_STREQ(quorvel_last_error(), "Malformed declaration in DTD");
    dtd_ptr dtd = parse("<!ELEMENT first ANY>");
    ASSERT_NE(dtd, nullptr);
    EXPECT_EQ(quorvel_dtd_parse_external_subset(dtd.get(), text.data(), text.size()), 1);
    EXPECT_EQ(dtd->has_error, 1);
    EXPECT_NE(element(dtd.get(), "ok"), nullptr);
    EXPECT_STREQ(entity_value(dtd.get(), "e"), "v");

    EXPECT_EQ(quorvel_dtd_parse_external_subset(nullptr, "x", 1), -1);
    EXPECT_EQ(quorvel_dtd_parse_external_subset(dtd.get(), "x", 0), -1);
    EXPECT_EQ(quorvel_dtd_parse(nullptr, 3), nullptr);
    EXPECT_EQ(quorvel_dtd_parse("", 0), nullptr);

    const char* refused[] = {
        "<!ENTITY 'no name'>",
        "<!ELEMENT (a)>",
        "<!ELEMENT a (b|(c)>",
        "<!NOTATION 'x'>",
        "<!ATTLIST>",
        "<!ENTITY e 'no end'",
    };
    for (const char* t : refused) {
        SCOPED_TRACE(t);
        EXPECT_EQ(parse(t), nullptr);
    }
}

// Attribute declarations whose names no start tag could carry are dropped:
// their defaults would give the tree attributes that do not write back.
TEST(DtdParse, AttributeNamesThatNoTagCouldCarryAreDropped) {
    const std::string text = "<!DOCTYPE r [<!ATTLIST r 3 CDATA '1' -a CDATA '2' p: CDATA '3' :q CDATA '4' ok CDATA '5'>]><r/>";
    int status = 1;
    quorvel_document* doc = quorvel_parse_string_flags(text.data(), text.size(), QUORVEL_PARSE_DTD_DEFAULTS, &status);
    ASSERT_NE(doc, nullptr) << quorvel_last_error();
    quorvel_element* root = quorvel_document_root(doc);
    EXPECT_EQ(quorvel_element_attribute_count(root), 1);
    EXPECT_STREQ(quorvel_element_attribute(root, "ok"), "5");
    char* written = quorvel_document_serialize(doc, nullptr);
    EXPECT_NE(std::string(written).find("<r ok=\"5\"/>"), std::string::npos) << written;
    quorvel_free_string(written);
    quorvel_document_free(doc);
}

TEST(DtdParse, CommentsAndOtherMarkup) {
    dtd_ptr dtd = parse("<?pi data?><!-- <!ENTITY hidden 'x'> --><!ENTITY a 'A'>junk><!ENTITY b 'B'><!-- open");
    ASSERT_NE(dtd, nullptr);
    EXPECT_EQ(ttdtd_lookup_entity(dtd.get(), "hidden"), nullptr);
    EXPECT_STREQ(entity_value(dtd.get(), "a"), "A");
    EXPECT_STREQ(entity_value(dtd.get(), "b"), "B");
}

TEST(DtdParse, ParameterEntities) {
    dtd_ptr dtd = parse(R"(
        <!ENTITY % model "(a|b)*">
        <!ENTITY % two "<!ELEMENT a EMPTY><!ELEMENT b ANY>">
        <!ENTITY % atts "x CDATA 'dx'">
        <!ELEMENT x %model;>
        <!ATTLIST x %atts;>
        %two;
        <!ENTITY keep "%model;">
    )");
    ASSERT_NE(dtd, nullptr);
    quorvel_dtd* d = dtd.get();
    EXPECT_STREQ(element(d, "x")->content_model, "(a|b)*");
    EXPECT_STREQ(ttdtd_lookup_attribute(d, "x", "x")->default_value, "dx");
    EXPECT_EQ(element(d, "a")->content_kind, kContentEmpty);
    EXPECT_EQ(element(d, "b")->content_kind, kContentAny);
    // Entity values keep parameter-entity references as written.
    EXPECT_STREQ(entity_value(d, "keep"), "%model;");
}

TEST(DtdParse, TopLevelReferencesStopAfterSixteenLevels) {
    std::string text = "<!ENTITY % d ''>";
    for (int i = 1; i <= 17; i++) text += "%d;<!ELEMENT e" + std::to_string(i) + " EMPTY>";
    dtd_ptr dtd = parse(text);
    ASSERT_NE(dtd, nullptr);
    // Each reference parses the rest one level deeper; the 17th is skipped
    // but the declarations around it still count.
    for (int i = 1; i <= 17; i++) EXPECT_NE(element(dtd.get(), ("e" + std::to_string(i)).c_str()), nullptr) << i;
}

TEST(DtdParse, ConditionalSections) {
    dtd_ptr dtd = parse(R"(
        <![INCLUDE[ <!ELEMENT in1 EMPTY>
          <![IGNORE[ <!ELEMENT out1 EMPTY> <![INCLUDE[ <!ELEMENT out2 EMPTY> ]]> ]]>
          <![ INCLUDE [ <!ELEMENT in2 EMPTY> ]]>
        ]]>
        <![IGNORE[ <!ELEMENT out3 EMPTY> ]]>
        <!ELEMENT in3 EMPTY>
    )");
    ASSERT_NE(dtd, nullptr);
    for (const char* name : {"in1", "in2", "in3"}) EXPECT_NE(element(dtd.get(), name), nullptr) << name;
    for (const char* name : {"out1", "out2", "out3"}) EXPECT_EQ(element(dtd.get(), name), nullptr) << name;
}

TEST(DtdParse, DeepConditionalSectionsFailCleanly) {
    auto nested = [](int depth) {
        return repeat("<![INCLUDE[", depth) + "<!ELEMENT deep EMPTY>" + repeat("]]>", depth) +
               "<!ELEMENT after EMPTY>";
    };
    dtd_ptr ok = parse(nested(kDtdMaxIncludeNesting));
    ASSERT_NE(ok, nullptr);
    EXPECT_NE(element(ok.get(), "deep"), nullptr);
    EXPECT_NE(element(ok.get(), "after"), nullptr);

    EXPECT_EQ(parse(nested(kDtdMaxIncludeNesting + 1)), nullptr);
    EXPECT_NE(std::strstr(quorvel_last_error(), "nested"), nullptr);
    // Far deeper input: an error, not a stack overflow; IGNORE nesting is
    // only counted.
    EXPECT_EQ(parse(nested(200000)), nullptr);
    dtd_ptr ignored = parse(repeat("<![IGNORE[", 200000) + repeat("]]>", 200000) + "<!ELEMENT z EMPTY>");
    ASSERT_NE(ignored, nullptr);
    EXPECT_NE(element(ignored.get(), "z"), nullptr);
}

TEST(DtdParse, ParameterEntityBombIsRefused) {
    // Each level multiplies the declaration by ten, one substitution pass
    // per level.
    std::string text = "<!ENTITY % l0 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'>";
    for (int i = 1; i <= 12; i++)
        text += "<!ENTITY % l" + std::to_string(i) + " '" + repeat("%l" + std::to_string(i - 1) + ";", 10) + "'>";
    text += "<!ELEMENT x (%l12;)>";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parse(text), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(std::strstr(quorvel_last_error(), "exceeds the limit"), nullptr);
}

struct loader_log {
    int calls = 0;
    std::string last_system_id;
    const char* text = nullptr;
};

char* test_loader(void* user, const char* system_id, size_t* length) {
    auto* log = static_cast<loader_log*>(user);
    log->calls++;
    log->last_system_id = system_id;
    if (!log->text) return nullptr;
    *length = std::strlen(log->text);
    char* copy = static_cast<char*>(std::malloc(*length));
    std::memcpy(copy, log->text, *length);  // not NUL-terminated on purpose
    return copy;
}

TEST(DtdParse, ExternalParameterEntitiesGoThroughTheLoader) {
    const std::string text = "<!ENTITY % ext SYSTEM 'atts.ent'><!ATTLIST a %ext; y CDATA 'dy'>";
    dtd_ptr plain = parse("<!ELEMENT a ANY>");
    ASSERT_EQ(quorvel_dtd_parse_external_subset(plain.get(), text.data(), text.size()), 1);
    // Without a loader the reference stays and ends the list.
    EXPECT_EQ(ttdtd_lookup_attribute(plain.get(), "a", "y"), nullptr);

    loader_log log;
    log.text = "x CDATA 'dx'";
    dtd_ptr dtd = parse("<!ELEMENT a ANY>");
    quorvel_dtd_set_pe_loader(dtd.get(), test_loader, &log);
    quorvel_dtd_set_pe_loader(nullptr, test_loader, &log);
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd.get(), text.data(), text.size()), 1);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.last_system_id, "atts.ent");
    EXPECT_STREQ(ttdtd_lookup_attribute(dtd.get(), "a", "x")->default_value, "dx");
    EXPECT_STREQ(ttdtd_lookup_attribute(dtd.get(), "a", "y")->default_value, "dy");

    // An entity that loads itself ends: each level loads once, and each
    // re-parse of the result starts one level deeper.
    loader_log self;
    self.text = "%ext;";
    dtd_ptr loop = parse("<!ELEMENT a ANY>");
    quorvel_dtd_set_pe_loader(loop.get(), test_loader, &self);
    const std::string loop_text = "<!ENTITY % ext SYSTEM 'self.ent'><!ATTLIST a %ext; z CDATA 'dz'>";
    ASSERT_EQ(quorvel_dtd_parse_external_subset(loop.get(), loop_text.data(), loop_text.size()), 1);
    EXPECT_GE(self.calls, 16);
    EXPECT_LE(self.calls, 16 * 17 / 2);
}

int g_hook_frees = 0;
void* counting_alloc(size_t n) { return std::malloc(n); }
void counting_free(void* p) {
    if (p) g_hook_frees++;
    std::free(p);
}

TEST(DtdParse, LoaderBuffersGoBackThroughTheReleaseHook) {
    loader_log log;
    log.text = "(b)";
    dtd_ptr dtd = parse("<!ELEMENT z ANY>");
    quorvel_dtd_set_pe_loader(dtd.get(), test_loader, &log);
    const std::string text = "<!ENTITY % m SYSTEM 'm.ent'><!ELEMENT a %m;>";
    g_hook_frees = 0;
    quorvel_set_memory_management_functions(counting_alloc, counting_free);
    quorvel_dtd_parse_external_subset(dtd.get(), text.data(), text.size());
    int frees = g_hook_frees;
    quorvel_set_memory_management_functions(nullptr, nullptr);
    EXPECT_GE(frees, 1);
    EXPECT_STREQ(element(dtd.get(), "a")->content_model, "(b)");
}

TEST(DtdLookup, MissingArguments) {
    dtd_ptr dtd = parse("<!ENTITY e 'v'><!ATTLIST el at CDATA 'd'>");
    ASSERT_NE(dtd, nullptr);
    EXPECT_EQ(ttdtd_lookup_entity(nullptr, "e"), nullptr);
    EXPECT_EQ(ttdtd_lookup_entity(dtd.get(), nullptr), nullptr);
    EXPECT_EQ(ttdtd_lookup_entity(dtd.get(), ""), nullptr);
    EXPECT_EQ(ttdtd_lookup_entity(dtd.get(), "%e"), nullptr);
    EXPECT_EQ(ttdtd_lookup_attribute(dtd.get(), nullptr, "at"), nullptr);
    EXPECT_EQ(ttdtd_lookup_attribute(dtd.get(), "el", nullptr), nullptr);
    EXPECT_EQ(ttdtd_lookup_attribute(dtd.get(), "el", "other"), nullptr);
    EXPECT_NE(ttdtd_lookup_attribute(dtd.get(), "el", "at"), nullptr);

    // Keys longer than the stack buffer take the heap path.
    std::string long_name(600, 'n');
    std::string text = "<!ATTLIST " + long_name + " " + long_name + " CDATA 'long'>";
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd.get(), text.data(), text.size()), 1);
    quorvel_dtd_attribute_decl* a = ttdtd_lookup_attribute(dtd.get(), long_name.c_str(), long_name.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->default_value, "long");
}

TEST(DtdLifecycle, DocumentReleasesItsDtd) {
    // The leak checker of the sanitizer build sees a missed defaulted array.
    quorvel_document* doc = quorvel_document_create();
    quorvel_dtd* dtd = quorvel_document_get_dtd(doc);
    ASSERT_NE(dtd, nullptr);
    EXPECT_EQ(quorvel_document_get_dtd(doc), dtd);
    EXPECT_EQ(dtd->owns_pool, 0);
    std::string text;
    for (int i = 0; i < 40; i++) text += "<!ATTLIST e a" + std::to_string(i) + " CDATA 'v'>";
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd, text.data(), text.size()), 1);
    EXPECT_EQ(dtd->defaulted_count, 40u);
    // Freeing a document's DTD early releases its arrays once; the document
    // then releases nothing twice.
    quorvel_dtd_free(dtd);
    EXPECT_EQ(dtd->defaulted, nullptr);
    quorvel_dtd_free(dtd);
    const char more[] = "<!ATTLIST f b CDATA 'v'>";
    ASSERT_EQ(quorvel_dtd_parse_external_subset(dtd, more, sizeof more - 1), 1);
    EXPECT_EQ(dtd->defaulted_count, 1u);
    quorvel_document_free(doc);
    quorvel_dtd_free(nullptr);
}

TEST(DtdLifecycle, ErrorRecord) {
    quorvel_dtd_error error{strdup("message"), strdup("element"), 3};
    quorvel_dtd_error_free(&error);
    EXPECT_EQ(error.message, nullptr);
    EXPECT_EQ(error.detail, nullptr);
    EXPECT_EQ(error.code, 0);
    quorvel_dtd_error_free(&error);
    quorvel_dtd_error_free(nullptr);
}

TEST(DtdExpand, ReplacementTexts) {
    dtd_ptr dtd = parse(R"(
        <!ENTITY tag "&#60;b&#62;">
        <!ENTITY amp65 "&amp;#65;">
        <!ENTITY inner "[&tag;]">
        <!ENTITY empty "">
        <!ENTITY self "x&self;">
        <!ENTITY ping "&pong;"> <!ENTITY pong "&ping;">
        <!ENTITY ext SYSTEM "e.xml">
        <!ENTITY % pe "param">
    )");
    ASSERT_NE(dtd, nullptr);
    EXPECT_STREQ(entity_value(dtd.get(), "tag"), "&#60;b&#62;");
    // The parser refuses a value with a malformed character reference; an
    // entity added by hand shows that expansion refuses it too.
    for (const char* bad : {"bad", "bad5"}) {
        auto* e = static_cast<quorvel_dtd_entity*>(quorvel_pool_alloc(dtd->pool, sizeof(quorvel_dtd_entity)));
        ASSERT_NE(e, nullptr);
        std::memset(e, 0, sizeof *e);
        e->name = quorvel_pool_strdup(dtd->pool, bad);
        e->value = quorvel_pool_strdup(dtd->pool, bad[3] ? "&#5;" : "&#0;");
        e->value_length = 4;
        ASSERT_TRUE(dtd_add_entity(dtd.get(), e));
    }
    struct row {
        const char* text;
        const char* expected;
    } rows[] = {
        {"&tag;", "<b>"},
        {"&amp65;", "&#65;"},  // decoded once, never again
        {"a&inner;b", "a[<b>]b"},
        {"&lt;&gt;&amp;&apos;&quot;", "<>&'\""},
        {"&#65;&#x42;&#X43;&#xE9;", "ABC\xC3\xA9"},
        // An empty replacement text is nothing, not a failure.
        {"&empty;", ""},
        {"x &amp; y &empty;", "x & y "},
        {"", ""},
        // Undeclared, external and parameter entities stay as written.
        {"&undeclared; &ext; &%pe;", "&undeclared; &ext; &%pe;"},
        // An '&' that starts no reference is text; later references still count.
        {"AT&T &amp; co", "AT&T & co"},
        {"a & b &lt;", "a & b <"},
        {"tail &", "tail &"},
        {"&#65", "&#65"},
        {"&self;", "<null>"},
        {"&ping;", "<null>"},
        {"&bad;", "<null>"},
        {"&bad5;", "<null>"},
        {"&#0;", "<null>"},
        // Code points that are no XML characters.
        {"&#5;", "<null>"},
        {"&#x1F;", "<null>"},
        {"&#xFFFE;", "<null>"},
        {"&#xFFFF;", "<null>"},
        {"&#9;&#xA;&#xD;&#x20;&#xFFFD;&#x10000;", "\t\n\r \xEF\xBF\xBD\xF0\x90\x80\x80"},
        {"&#xD800;", "<null>"},
        {"&#xDFFF;", "<null>"},
        {"&#x110000;", "<null>"},
        {"&#18446744073709551681;", "<null>"},
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#;", "<null>"},
        {"&#65x;", "<null>"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(expand(dtd.get(), r.text), r.expected);
    }
    EXPECT_EQ(calculate_expanded_length(dtd.get(), "&tag;&tag;", nullptr), 6u);
    EXPECT_EQ(expand(nullptr, "&lt;&x;"), "<&x;");
}

TEST(DtdExpand, NestingStopsAfterTenLevels) {
    std::string text;
    for (int i = 1; i <= 12; i++) text += "<!ENTITY e" + std::to_string(i) + " '" + std::to_string(i) + "&e" + std::to_string(i + 1) + ";'>";
    text += "<!ENTITY e13 'end'>";
    dtd_ptr dtd = parse(text);
    ASSERT_NE(dtd, nullptr);
    // Ten replacement texts are expanded; the eleventh goes in as written.
    EXPECT_EQ(expand(dtd.get(), "&e1;"), "1234567891011&e12;");
    const char* names[] = {"outer"};
    dtd_entity_chain chain = dtd_chain_on(names, 1);
    chain.count = 1;
    // A caller's chain counts: its names are recursion, its length depth.
    EXPECT_EQ(expand_entity_references(dtd.get(), "&outer;", &chain, nullptr), nullptr);
    EXPECT_EQ(dtd_last_expand_status(), dtd_expand_status::recursive_entity);
    char* deep = expand_entity_references(dtd.get(), "&e3;", &chain, nullptr);
    ASSERT_NE(deep, nullptr);
    EXPECT_STREQ(deep, "3456789101112&e13;");
    std::free(deep);
    dtd_chain_release(&chain);
}

TEST(DtdExpand, BillionLaughsFailsFast) {
    std::string text = "<!ENTITY lol0 'lol'>";
    for (int i = 1; i <= 9; i++)
        text += "<!ENTITY lol" + std::to_string(i) + " '" + repeat("&lol" + std::to_string(i - 1) + ";", 10) + "'>";
    // The same shape built on an empty entity produces nothing but still
    // costs the work of every reference.
    text += "<!ENTITY nil ''>";
    for (int i = 1; i <= 9; i++) {
        std::string prev = i == 1 ? "nil" : "nil" + std::to_string(i - 1);
        text += "<!ENTITY nil" + std::to_string(i) + " '" + repeat("&" + prev + ";", 10) + "'>";
    }
    dtd_ptr dtd = parse(text);
    ASSERT_NE(dtd, nullptr);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; i++) {
        EXPECT_EQ(expand(dtd.get(), "<r>&lol9;</r>"), "<null>");
        ASSERT_EQ(dtd_last_expand_status(), dtd_expand_status::too_large);
    }
    EXPECT_EQ(expand(dtd.get(), "&nil9;"), "<null>");
    EXPECT_EQ(dtd_last_expand_status(), dtd_expand_status::too_large);
    EXPECT_NE(std::strstr(quorvel_last_error(), "Entity expansion exceeds the limit of 16777216 bytes"), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // Below the limit the same entities expand in full.
    EXPECT_EQ(expand(dtd.get(), "&lol3;"), repeat("lol", 1000));
    EXPECT_EQ(expand(dtd.get(), "&nil3;"), "");
}

TEST(DtdExpand, LimitScalesWithTheInput) {
    // 1 MiB of replacement text per reference.
    std::string text = "<!ENTITY mib '" + std::string(1 << 20, 'm') + "'>";
    dtd_ptr dtd = parse(text);
    ASSERT_NE(dtd, nullptr);
    EXPECT_EQ(dtd_expansion_limit(10), size_t(16) << 20);
    EXPECT_EQ(dtd_expansion_limit(size_t(1) << 20), size_t(100) << 20);
    std::string twenty = repeat("&mib;", 20);
    EXPECT_EQ(expand(dtd.get(), twenty), "<null>");
    // The same references in a larger text stay within 100 times its size.
    std::string padded = twenty + std::string(300 * 1024, ' ');
    size_t length = 0;
    char* out = expand_entity_references(dtd.get(), padded.c_str(), nullptr, &length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(length, (size_t(20) << 20) + 300 * 1024);
    std::free(out);
}

TEST(DtdExpand, ManyExpansionsShareOneAllowance) {
    std::string text = "<!ENTITY mib '" + std::string(1 << 20, 'm') + "'>";
    dtd_ptr dtd = parse(text);
    ASSERT_NE(dtd, nullptr);
    int expanded = 0;
    for (int i = 0; i < 40 && expand(dtd.get(), "&mib;") != "<null>"; i++) expanded++;
    EXPECT_EQ(expanded, 16);
    EXPECT_EQ(dtd_last_expand_status(), dtd_expand_status::too_large);
    // Text without entities still decodes once the allowance is spent.
    EXPECT_EQ(expand(dtd.get(), "a &lt; b"), "a < b");
    // A parser that counts its whole input raises the allowance.
    dtd_count_expansion_input(dtd.get(), size_t(1) << 20);
    EXPECT_EQ(expand(dtd.get(), "&mib;").size(), size_t(1) << 20);
}

}  // namespace
