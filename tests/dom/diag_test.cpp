// Diagnostics lists and the readers of a document's parse diagnostics.
#include <gtest/gtest.h>

#include <string>

#include "dom/dom.h"
#include "support/tree_builder.h"

namespace {

TEST(Diagnostics, EmitGrowsAndCutsMessages) {
    quorvel_diag* list = nullptr;
    int count = 0, capacity = 0;
    quorvel_diag* first = quorvel_diag_emit(&list, &count, &capacity, 3, nullptr, "n=%d", 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(capacity, 8);
    EXPECT_STREQ(first->message, "n=1");
    EXPECT_EQ(first->element, nullptr);
    EXPECT_EQ(first->line, 0);
    for (int i = 0; i < 7; i++) quorvel_diag_emit(&list, &count, &capacity, 3, nullptr, "x");
    EXPECT_EQ(capacity, 8);
    std::string long_message(300, 'm');
    quorvel_diag* ninth = quorvel_diag_emit(&list, &count, &capacity, 4, nullptr, "%s", long_message.c_str());
    ASSERT_NE(ninth, nullptr);
    EXPECT_EQ(capacity, 16);
    EXPECT_EQ(count, 9);
    EXPECT_EQ(std::string(ninth->message), long_message.substr(0, 255));
    std::free(list);
}

TEST(Diagnostics, ElementNamesAreCopied) {
    quorvel_document* doc = quorvel_document_create();
    test_support::tree_builder b(doc);
    quorvel_element* e = b.root(b.element("item"));
    quorvel_diag* d = quorvel_diag_emit(&doc->diags, &doc->diag_count, &doc->diag_capacity, 7, &e->head, "m");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->element, "item");
    EXPECT_NE(d->element, quorvel_elem_name_raw(e));
    quorvel_document_free(doc);  // frees the copy with the list
}

TEST(Diagnostics, DocumentReaders) {
    quorvel_document* doc = quorvel_document_create();
    quorvel_diag_emit(&doc->diags, &doc->diag_count, &doc->diag_capacity, 11, nullptr, "hello");
    EXPECT_EQ(quorvel_document_parse_diag_count(doc), 1);
    EXPECT_EQ(quorvel_document_parse_diag_count(nullptr), 0);
    int code = 0;
    char buf[4] = "zzz";
    EXPECT_EQ(quorvel_document_parse_diag(doc, 0, &code, buf, sizeof buf), 1);
    EXPECT_EQ(code, 11);
    EXPECT_STREQ(buf, "hel");
    char one[1] = {'z'};
    EXPECT_EQ(quorvel_document_parse_diag(doc, 0, nullptr, one, 1), 1);
    EXPECT_EQ(one[0], '\0');
    code = 0;
    EXPECT_EQ(quorvel_document_parse_diag(doc, 0, &code, nullptr, 0), 1);
    EXPECT_EQ(code, 11);
    EXPECT_EQ(quorvel_document_parse_diag(doc, 1, &code, buf, sizeof buf), 0);
    EXPECT_EQ(quorvel_document_parse_diag(doc, static_cast<size_t>(-1), &code, buf, sizeof buf), 0);
    EXPECT_EQ(quorvel_document_parse_diag(nullptr, 0, &code, buf, sizeof buf), 0);
    quorvel_document_free(doc);
}

TEST(Diagnostics, PositionRecordsGrowByDoubling) {
    quorvel_document* doc = quorvel_document_create();
    test_support::tree_builder b(doc);
    quorvel_element* e = b.element("e");
    for (int i = 0; i < 33; i++) EXPECT_EQ(quorvel_elem_pos_record(doc, e, 1, 2), i);
    EXPECT_EQ(doc->pos_capacity, 64u);
    EXPECT_EQ(quorvel_elem_pos_record(nullptr, e, 1, 2), -1);
    EXPECT_EQ(quorvel_elem_pos_record(doc, nullptr, 1, 2), -1);
    quorvel_document_free(doc);
}

}  // namespace
