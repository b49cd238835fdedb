// The pull parser: events call by call over memory and files, attribute
// readers, batches and their staging, and the non-fatal duplicate report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

std::string temp_file(const std::string& name, const std::string& content) {
    std::string path = (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "_" + name)).string();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
}

std::string describe(const quorvel_pull_event* e) {
    std::string s = std::to_string(e->kind);
    if (e->name) s += std::string(" ") + e->name;
    if (e->text) s += "[" + std::string(e->text, e->text_length) + "]";
    return s;
}

// Adjacent character events merged: files split text at read boundaries.
std::string drain(quorvel_pull* p) {
    std::string out, chars;
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        if (e->kind == QUORVEL_PULL_CHARACTERS) {
            chars.append(e->text, e->text_length);
            continue;
        }
        if (!chars.empty()) out += "2[" + chars + "]\n";
        chars.clear();
        out += describe(e) + "\n";
    }
    return out;
}

TEST(PullParser, SmallDocumentEventsFromMemory) {
    quorvel_pull* p = quorvel_pull_new("<a x='1'>t</a>", 14);
    ASSERT_NE(p, nullptr);
    quorvel_pull_event* e = quorvel_pull_next(p);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, QUORVEL_PULL_START_ELEMENT);
    EXPECT_STREQ(e->name, "a");
    EXPECT_EQ(quorvel_pull_attr_count(p), 1u);
    EXPECT_STREQ(quorvel_pull_attr_name(p, 0), "x");
    EXPECT_STREQ(quorvel_pull_attr_value(p, 0), "1");
    EXPECT_EQ(quorvel_pull_attr_name(p, 1), nullptr);
    EXPECT_EQ(quorvel_pull_attrs(p, nullptr, 0), 1u);
    quorvel_pull_attribute pair{};
    EXPECT_EQ(quorvel_pull_attrs(p, &pair, 1), 1u);
    EXPECT_STREQ(pair.value, "1");
    e = quorvel_pull_next(p);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, QUORVEL_PULL_CHARACTERS);
    EXPECT_EQ(std::string(e->text, e->text_length), "t");
    e = quorvel_pull_next(p);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, QUORVEL_PULL_END_ELEMENT);
    EXPECT_EQ(quorvel_pull_attrs(p, nullptr, 0), 0u);
    e = quorvel_pull_next(p);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, QUORVEL_PULL_END_DOCUMENT);
    EXPECT_EQ(quorvel_pull_next(p), nullptr);
    EXPECT_EQ(quorvel_pull_next(p), nullptr);
    quorvel_pull_free(p);

    EXPECT_EQ(quorvel_pull_new(nullptr, 1), nullptr);
    EXPECT_EQ(quorvel_pull_new("x", 0), nullptr);
    EXPECT_EQ(quorvel_pull_new_file(""), nullptr);
    EXPECT_EQ(quorvel_pull_new_file("/nonexistent/file.xml"), nullptr);
    EXPECT_EQ(quorvel_pull_next(nullptr), nullptr);
    EXPECT_EQ(quorvel_pull_attr_count(nullptr), 0u);
    quorvel_pull_free(nullptr);
}

TEST(PullParser, FilesOfEveryLengthAroundTheReadSize) {
    for (size_t size : {size_t(255), size_t(256), size_t(512), size_t(513), size_t(5000)}) {
        SCOPED_TRACE(size);
        std::string doc = "<r xmlns:p='u'>";
        while (doc.size() < size - 4) doc += "x";
        doc += "</r>";
        ASSERT_EQ(doc.size(), size);
        std::string path = temp_file("quorvel_pull_size.xml", doc);
        quorvel_pull* file = quorvel_pull_new_file(path.c_str());
        quorvel_pull* memory = quorvel_pull_new(doc.data(), doc.size());
        std::string from_memory = drain(memory);
        EXPECT_EQ(drain(file), from_memory);
        EXPECT_NE(from_memory.find("8 p[u]\n0 r\n"), std::string::npos);
        EXPECT_NE(from_memory.find("1 r\n9 p\n6\n"), std::string::npos);
        quorvel_pull_free(file);
        quorvel_pull_free(memory);
        std::remove(path.c_str());
    }
}

TEST(PullParser, RepeatedAttributeIsReportedAndReadingGoesOn) {
    std::string doc = "<r><a x='1' x='2'/>" + std::string(600, ' ') + "<b/></r>";
    std::string expected = "0 r\n7[Attribute x redefined]\n0 a\n1 a\n";
    std::string path = temp_file("quorvel_pull_dup.xml", doc);
    quorvel_pull* file = quorvel_pull_new_file(path.c_str());
    quorvel_pull* memory = quorvel_pull_new(doc.data(), doc.size());
    std::string m = drain(memory);
    EXPECT_EQ(m.substr(0, expected.size()), expected);
    EXPECT_NE(m.find("0 b\n1 b\n1 r\n6\n"), std::string::npos);
    EXPECT_EQ(drain(file), m);
    quorvel_pull_free(file);
    quorvel_pull_free(memory);
    std::remove(path.c_str());

    // A fatal error ends the stream after its event.
    quorvel_pull* p = quorvel_pull_new("<r></s><x/>", 11);
    EXPECT_EQ(drain(p), "0 r\n7[Mismatched closing tag]\n");
    quorvel_pull_free(p);
    p = quorvel_pull_new_flags("<r a='1' a='2'/>", 16, 0x08);
    EXPECT_EQ(drain(p), "0 r\n1 r\n6\n");
    quorvel_pull_free(p);
}

TEST(PullParser, Batches) {
    quorvel_pull* p = quorvel_pull_new("<a><b/></a>", 11);
    quorvel_pull_batch_item items[2];
    ASSERT_EQ(quorvel_pull_next_batch(p, items, 2), 2u);
    EXPECT_EQ(items[0].kind, 0);
    EXPECT_STREQ(items[0].name, "a");
    EXPECT_EQ(items[1].kind, 0);
    EXPECT_STREQ(items[1].name, "b");
    ASSERT_EQ(quorvel_pull_next_batch(p, items, 2), 2u);
    EXPECT_EQ(items[0].kind, 1);
    EXPECT_STREQ(items[0].name, "b");
    EXPECT_STREQ(items[1].name, "a");
    ASSERT_EQ(quorvel_pull_next_batch(p, items, 2), 1u);
    EXPECT_EQ(items[0].kind, 6);
    EXPECT_EQ(quorvel_pull_next_batch(p, items, 2), 0u);
    EXPECT_EQ(quorvel_pull_next_batch(nullptr, items, 2), 0u);
    EXPECT_EQ(quorvel_pull_next_batch(p, nullptr, 2), 0u);
    EXPECT_EQ(quorvel_pull_next_batch(p, items, 0), 0u);
    quorvel_pull_free(p);

    // The attribute readers describe the batch's last start element with attributes.
    p = quorvel_pull_new("<r><e k='v'>text</e><f/></r>", 28);
    quorvel_pull_batch_item many[8];
    ASSERT_EQ(quorvel_pull_next_batch(p, many, 6), 6u);
    EXPECT_EQ(quorvel_pull_attr_count(p), 1u);
    EXPECT_STREQ(quorvel_pull_attr_name(p, 0), "k");
    EXPECT_STREQ(quorvel_pull_attr_value(p, 0), "v");
    EXPECT_EQ(std::string(many[2].text, many[2].text_length), "text");
    quorvel_pull_free(p);
}

std::string describe_item(const quorvel_pull_batch_item& item) {
    std::string s = std::to_string(item.kind);
    if (item.name) s += std::string(" ") + item.name;
    if (item.text) s += "[" + std::string(item.text, item.text_length) + "]";
    return s;
}

// Every batch size gives the events one call at a time gives, each batch's
// strings all still readable when the batch is done (so read afterwards),
// from memory and from a file, and alternating with single calls.
TEST(PullParser, BatchesOfEverySizeMatchSingleEvents) {
    const std::string docs[] = {
        "<?xml version='1.0'?><!--c--><r xmlns='urn:d' xmlns:p='urn:p'><p:e a='1' p:b='&amp;'>t&lt;x"
        "<![CDATA[cd]]><?pi data?></p:e><f xmlns:q='urn:q' q:k='v'/>tail</r><!--after-->",
        "<r><a x='1'/><a x='2'>text</a><b/></r>",
        "<r><unclosed></r>",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc);
        quorvel_pull* p = quorvel_pull_new(doc.data(), doc.size());
        const std::string expected = drain(p);
        quorvel_pull_free(p);
        const std::string path = temp_file("batches.xml", doc);
        for (size_t size : {1, 2, 3, 5, 64}) {
            for (int source = 0; source < 2; source++) {
                p = source ? quorvel_pull_new_file(path.c_str()) : quorvel_pull_new(doc.data(), doc.size());
                std::string got;
                std::string chars;  // files split text at read boundaries
                quorvel_pull_batch_item items[64];
                for (int round = 0;; round++) {
                    size_t n;
                    if (round % 3 == 2) {
                        quorvel_pull_event* e = quorvel_pull_next(p);
                        if (!e) break;
                        quorvel_pull_batch_item one{e->kind, e->name, e->text, e->text_length};
                        items[0] = one;
                        n = 1;
                    } else if ((n = quorvel_pull_next_batch(p, items, size)) == 0) {
                        break;
                    }
                    for (size_t i = 0; i < n; i++) {
                        if (items[i].kind == QUORVEL_PULL_CHARACTERS) {
                            chars.append(items[i].text, items[i].text_length);
                            continue;
                        }
                        if (!chars.empty()) got += "2[" + chars + "]\n";
                        chars.clear();
                        got += describe_item(items[i]) + "\n";
                    }
                }
                if (!chars.empty()) got += "2[" + chars + "]\n";
                EXPECT_EQ(got, expected) << "size " << size << " source " << source;
                quorvel_pull_free(p);
            }
        }
        std::remove(path.c_str());
    }
}

// A start tag that declares namespaces queues several events at once, more
// than a small batch takes: those left over are handed out by later
// batches, their names and attributes intact, and the attribute view of a
// batch is the element it handed out.
TEST(PullParser, EventsLeftOverFromABatchKeepTheirStrings) {
    const std::string doc =
        "<p:r xmlns:p='urn:p' xmlns='urn:d' xmlns:q='urn:q' p:a='1' q:b='two' c='three'>"
        "<c xmlns:s='urn:s' s:d='four' e='five'><q:e xmlns:t='urn:t' t:f='six'/></c></p:r>";
    quorvel_pull* p = quorvel_pull_new(doc.data(), doc.size());
    std::string expected;
    std::vector<std::string> expected_views;  // attributes of each start element, in order
    while (quorvel_pull_event* e = quorvel_pull_next(p)) {
        expected += describe_item(quorvel_pull_batch_item{e->kind, e->name, e->text, e->text_length}) + "\n";
        if (e->kind != QUORVEL_PULL_START_ELEMENT) continue;
        std::string view;
        for (size_t i = 0; i < quorvel_pull_attr_count(p); i++)
            view += std::string(quorvel_pull_attr_name(p, i)) + "=" + quorvel_pull_attr_value(p, i) + " ";
        expected_views.push_back(view);
    }
    quorvel_pull_free(p);
    ASSERT_EQ(expected_views.size(), 3u);
    for (size_t size : {1, 2, 3}) {
        SCOPED_TRACE(size);
        p = quorvel_pull_new(doc.data(), doc.size());
        std::string got;
        size_t starts = 0;
        quorvel_pull_batch_item items[3];
        while (size_t n = quorvel_pull_next_batch(p, items, size)) {
            bool start = false;
            for (size_t i = 0; i < n; i++) {
                got += describe_item(items[i]) + "\n";
                if (items[i].kind == QUORVEL_PULL_START_ELEMENT) {
                    start = true;
                    starts++;
                }
            }
            if (!start) continue;
            std::string view;
            for (size_t i = 0; i < quorvel_pull_attr_count(p); i++)
                view += std::string(quorvel_pull_attr_name(p, i)) + "=" + quorvel_pull_attr_value(p, i) + " ";
            EXPECT_EQ(view, expected_views[starts - 1]);
        }
        EXPECT_EQ(got, expected);
        quorvel_pull_free(p);
    }
}

// Batch after batch over a long input: staging is reused, not grown.
TEST(PullParser, StagingStaysAtTheLargestBatch) {
    std::string doc = "<r>";
    for (int i = 0; i < 5000; i++) doc += "<item n='" + std::to_string(i) + "'>value</item>";
    doc += "</r>";
    quorvel_pull* p = quorvel_pull_new(doc.data(), doc.size());
    quorvel_pull_batch_item items[64];
    size_t total = 0, n;
    std::string names;
    while ((n = quorvel_pull_next_batch(p, items, 64)) > 0) {
        total += n;
        for (size_t i = 0; i < n; i++)
            if (items[i].kind == 0 && std::string(items[i].name) == "item") names += "i";
    }
    EXPECT_EQ(total, 2u + 5000u * 3u + 1u);
    EXPECT_EQ(names.size(), 5000u);
    quorvel_pull_free(p);
}

}  // namespace
