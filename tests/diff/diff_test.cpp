#include <gtest/gtest.h>

#include <string>

#include "diff/diff_support.h"
#include "support/failing_alloc.h"

using namespace diff_test;

namespace {

TEST(Diff, ReportTable) {
    struct row {
        const char* a;
        const char* b;
        unsigned flags;
        const char* report;
    };
    const row rows[] = {
        {"<r><a x='1'>t</a></r>", "<r><a x='1'>t</a></r>", 0, ""},
        {"<a/>", "<b/>", 0, "x / <a>\n+ / <b>\n"},
        {"<r a='1'/>", "<r a='2'/>", 0, "- /r @a \"1\" -> \"2\"\n"},
        {"<r a='1' b='2'/>", "<r c='3' b='2'/>", 0, "- /r @a \"1\" -> \"\"\n- /r @c \"\" -> \"3\"\n"},
        {"<r a='x&amp;y'/>", "<r a='x&#38;y'/>", 0, ""},
        {"<r a='x&amp;y'/>", "<r a='z'/>", 0, "- /r @a \"x&y\" -> \"z\"\n"},
        {"<r xmlns:p='u'/>", "<r xmlns:p='v'/>", 0, "- /r @xmlns:p \"u\" -> \"v\"\n"},
        {"<r xmlns='u'/>", "<r/>", 0, "- /r @xmlns \"u\" -> \"\"\n"},
        {"<r/>", "<r xmlns:q='w'/>", 0, "- /r @xmlns:q \"\" -> \"w\"\n"},
        {"<r><item/><item/></r>", "<r><item/><item/><item n='3'/></r>", 0, "+ /r/item[3] <item>\n"},
        {"<r><item/><item/></r>", "<r><item/><item/><item/></r>", 0, "+ /r/item[1] <item>\n"},
        {"<r><!--c--></r>", "<r/>", 0, "x /r/[0] <#node>\n"},
        {"<r/>", "<r><?pi?></r>", 0, "+ /r/[0] <#node>\n"},
        {"<r>a</r>", "<r>b</r>", 0, "~ /r \"a\" -> \"b\"\n"},
        {"<r>a</r>", "<r/>", 0, "~ /r \"a\" -> \"\"\n"},
        {"<r/>", "<r>b</r>", 0, "~ /r \"\" -> \"b\"\n"},
        {"<r><c a='1'/></r>", "<r><c a='2'/></r>", 0, "- /r/c @a \"1\" -> \"2\"\n"},
        {"<r><c/><c a='1'/></r>", "<r><c/><c a='2'/></r>", 0, "- /r/c[2] @a \"1\" -> \"2\"\n"},
        {"<r><k/><a/><m/><b/></r>", "<r><k/><m/></r>", 0, "x /r/b[1] <b>\nx /r/a[1] <a>\n"},
        {"<r><a>1</a><b/></r>", "<r><a>2</a><b/></r>", 0, "~ /r/a \"1\" -> \"2\"\n"},
        // Swapped siblings are not paired across each other: a report has no moves.
        {"<r><c x='1'/><a x='1'/></r>", "<r><a x='2'/><c x='2'/></r>", 0,
         "- /r/c @x \"1\" -> \"2\"\nx /r/a[1] <a>\n+ /r/a[1] <a>\n"},
        {"<r><a><b><c>1</c></b></a></r>", "<r><a><b><c>2</c></b></a></r>", 0, "~ /r/a/b/c \"1\" -> \"2\"\n"},
        {"<r><a/> </r>", "<r><a/></r>", 0, "~ /r \" \" -> \"\"\n"},
        {"<r><a/> </r>", "<r>\n<a/></r>", QUORVEL_DIGEST_SKIP_WHITESPACE, ""},
        // Nested ops come before the ops of their own gap.
        {"<r><x a='1'/><y/></r>", "<r><x a='2'/><z/></r>", 0,
         "- /r/x @a \"1\" -> \"2\"\nx /r/y[1] <y>\n+ /r/z[1] <z>\n"},
        // Values are written as they are.
        {"<r a='&quot;'/>", "<r a='&#10;'/>", 0, "- /r @a \"\"\" -> \"\n\"\n"},
    };
    for (const row& r : rows) EXPECT_EQ(report(r.a, r.b, r.flags), r.report) << r.a << " vs " << r.b;
}

TEST(Diff, Accessors) {
    doc_ptr a = parse("<r a='1'>t</r>"), b = parse("<r a='2'>u</r>");
    int status = 99;
    quorvel_diff_list* list = quorvel_diff(a.get(), b.get(), 0, &status);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(quorvel_diff_op_count(list), 2u);
    EXPECT_EQ(quorvel_diff_op_type(list, 0), QUORVEL_DIFF_ATTRIBUTE_CHANGED);
    EXPECT_STREQ(quorvel_diff_op_name(list, 0), "a");
    EXPECT_EQ(quorvel_diff_op_type(list, 1), QUORVEL_DIFF_TEXT_CHANGED);
    EXPECT_STREQ(quorvel_diff_op_path(list, 1), "/r");
    EXPECT_STREQ(quorvel_diff_op_name(list, 1), "");
    EXPECT_STREQ(quorvel_diff_op_before(list, 1), "t");
    EXPECT_STREQ(quorvel_diff_op_after(list, 1), "u");
    EXPECT_EQ(quorvel_diff_op_type(list, 2), 0);
    EXPECT_EQ(quorvel_diff_op_path(list, 2), nullptr);
    EXPECT_EQ(quorvel_diff_op_after(nullptr, 0), nullptr);
    EXPECT_EQ(quorvel_diff_op_count(nullptr), 0u);
    // The list does not point into the documents.
    a.reset();
    b.reset();
    EXPECT_EQ(take(quorvel_diff_serialize(list)), "- /r @a \"1\" -> \"2\"\n~ /r \"t\" -> \"u\"\n");
    quorvel_diff_free(list);
    quorvel_diff_free(nullptr);
    EXPECT_EQ(take(quorvel_diff_serialize(nullptr)), "");
}

TEST(Diff, MissingDocumentsAndRoots) {
    doc_ptr r = parse("<r/>");
    int status = 0;
    EXPECT_EQ(quorvel_diff(nullptr, r.get(), 0, &status), nullptr);
    EXPECT_EQ(status, -4);
    EXPECT_EQ(quorvel_diff(r.get(), nullptr, 0, nullptr), nullptr);
    doc_ptr empty(quorvel_document_create());
    EXPECT_EQ(report(r.get(), empty.get()), "x / <r>\n");
    EXPECT_EQ(report(empty.get(), r.get()), "+ / <r>\n");
    EXPECT_EQ(report(empty.get(), empty.get()), "");
}

std::string wide(size_t count, size_t changed_at, const char* changed) {
    std::string s = "<r>";
    for (size_t i = 0; i < count; i++)
        s += i == changed_at ? std::string(changed) : "<x i='" + std::to_string(i) + "'/>";
    return s + "</r>";
}

TEST(Diff, WideElementsAlignTheirRuns) {
    // 20,000 children, one changed in the middle: the equal runs around it
    // are matched, so nothing past the 8,192nd child is lost.
    EXPECT_EQ(report(wide(20000, 15000, "<x i='new'/>"), wide(20000, 15000, "<x i='old'/>")),
              "- /r/x[15001] @i \"new\" -> \"old\"\n");
    EXPECT_EQ(report(wide(20000, 19999, "<y/>"), wide(20000, 19999, "<z/>")), "x /r/y[1] <y>\n+ /r/z[1] <z>\n");
}

TEST(Diff, ChangesSpreadOverAWideElementAlignAtUniqueChildren) {
    // Changes near both ends leave a rest of 19,000 children between them:
    // the children found once on each side cut it into pieces.
    std::string a = "<r>", b = "<r>";
    for (int i = 0; i < 20000; i++) {
        std::string x = "<x i='" + std::to_string(i) + "'/>";
        a += x;
        if (i == 500) b += "<x i='500' k='v'/>";
        else if (i == 10000) b += "<new/>" + x;
        else if (i == 19500) continue;
        else b += x;
    }
    // Gaps are reported from the last to the first.
    EXPECT_EQ(report(a + "</r>", b + "</r>"),
              "x /r/x[19501] <x>\n+ /r/new[1] <new>\n- /r/x[501] @k \"\" -> \"v\"\n");
}

TEST(Diff, RestTooWideToAlignFails) {
    std::string a = "<r><w>", b = "<r><w>";
    for (int i = 0; i < 9000; i++) {
        a += "<x i='" + std::to_string(i) + "'/>";
        b += "<y i='" + std::to_string(i) + "'/>";
    }
    doc_ptr x = parse(a + "</w></r>"), y = parse(b + "</w></r>");
    int status = 0;
    EXPECT_EQ(quorvel_diff(x.get(), y.get(), 0, &status), nullptr);
    EXPECT_EQ(status, -5);
    ASSERT_NE(quorvel_last_error(), nullptr);
    EXPECT_NE(std::string(quorvel_last_error()).find("/r/w"), std::string::npos) << quorvel_last_error();
}

TEST(Diff, LongNamesAndPathsAreKeptWhole) {
    std::string name(600, 'n');
    std::string a = "<r><" + name + "><" + name + " a='1'/></" + name + "></r>";
    std::string b = "<r><" + name + "><" + name + " a='2'/></" + name + "></r>";
    EXPECT_EQ(report(a, b), "- /r/" + name + "/" + name + " @a \"1\" -> \"2\"\n");
    std::string attr(700, 'q');
    EXPECT_EQ(report("<r " + attr + "='1'/>", "<r/>"), "- /r @" + attr + " \"1\" -> \"\"\n");
}

}  // namespace

namespace {

// Every allocation of the diff can fail: the call then gives NULL with -1
// and leaves nothing behind, never a shorter list.
TEST(Diff, EveryAllocationCanFailCleanly) {
    doc_ptr a = parse("<r xmlns:p='u' a='1'><x>t</x><c/><c k='1'/><p:y/><!--n--></r>");
    doc_ptr b = parse("<r xmlns:p='v' a='x&amp;y'><x>u</x><c/><c k='2'/><z/><?pi?></r>");
    const std::string expected = report(a.get(), b.get());
    ASSERT_FALSE(expected.empty());
    const uint64_t digest = root_digest(a.get());
    bool refused = true;
    for (int succeed = 0; refused && succeed < 10000; succeed++) {
        hooks::countdown = succeed;
        hooks::live = 0;
        quorvel_set_memory_management_functions(hooks::failing_alloc, hooks::counted_free);
        refused = false;
        int status = 99;
        quorvel_diff_list* list = quorvel_diff(a.get(), b.get(), 0, &status);
        uint64_t d = root_digest(a.get());
        refused = hooks::countdown == 0;
        hooks::countdown = -1;
        if (list) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(take(quorvel_diff_serialize(list)), expected) << "after " << succeed;
            quorvel_diff_free(list);
        } else {
            EXPECT_EQ(status, -1) << "after " << succeed;
        }
        EXPECT_EQ(hooks::live, 0) << "after " << succeed;
        quorvel_set_memory_management_functions(nullptr, nullptr);
        // The digest does not depend on memory.
        EXPECT_EQ(d, digest) << "after " << succeed;
    }
    EXPECT_FALSE(refused) << "never ran to the end";
}

}  // namespace
