// Version, status texts, per-thread settings and the last-error text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/core.h"

namespace {

TEST(Settings, StatusTexts) {
    struct row {
        int code;
        const char* text;
    } rows[] = {
        {0, "OK"},
        {-1, "Memory allocation failed"},
        {-2, "XML parse error"},
        {-3, "XPath evaluation error"},
        {-4, "NULL argument"},
        {-5, "Invalid argument"},
        {-6, "Not found"},
        {-7, "I/O error"},
        {1, "Unknown error"},
        {-8, "Unknown error"},
        {-9, "Unknown error"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_STREQ(quorvel_status_string(r.code), r.text);
        EXPECT_STREQ(quorvel_error_message(r.code), r.text);
    }
}

// The version the build was given, as text and as numbers that agree.
TEST(Settings, Version) {
    EXPECT_STREQ(quorvel_version(), QUORVEL_VERSION_STRING);
    int major = -1, minor = -1, patch = -1;
    quorvel_version_components(&major, &minor, &patch);
    EXPECT_EQ(major, QUORVEL_VERSION_MAJOR);
    EXPECT_EQ(minor, QUORVEL_VERSION_MINOR);
    EXPECT_EQ(patch, QUORVEL_VERSION_PATCH);
    EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch), quorvel_version());
    // Any output may be left out.
    int only_patch = -1;
    quorvel_version_components(nullptr, nullptr, &only_patch);
    EXPECT_EQ(only_patch, QUORVEL_VERSION_PATCH);
}

TEST(Settings, MaxDepthAndStrictModeArePerThread) {
    std::thread([] {
        struct row {
            int set, get;
        } rows[] = {{0, 256}, {-5, 256}, {3, 3}};
        for (const row& r : rows) {
            quorvel_set_max_depth(r.set);
            EXPECT_EQ(quorvel_get_max_depth(), r.get);
        }
        quorvel_set_strict_mode(7);
        EXPECT_EQ(quorvel_get_strict_mode(), 1);
        quorvel_document* doc = quorvel_document_create();
        EXPECT_EQ(quorvel_document_get_strict(doc), 1);
        quorvel_document_free(doc);
    }).join();
    // Another thread's settings never leak into this one.
    std::thread([] {
        EXPECT_EQ(quorvel_get_max_depth(), 256);
        EXPECT_EQ(quorvel_get_strict_mode(), 0);
        EXPECT_EQ(quorvel_document_get_strict(nullptr), 0);
    }).join();
}

TEST(Settings, LastErrorKeepsTheLatestFailure) {
    std::thread([] {
        EXPECT_EQ(quorvel_last_error(), nullptr);
        int line = -1, column = -1;
        quorvel_last_error_position(&line, &column);
        EXPECT_EQ(line, 0);
        EXPECT_EQ(column, 0);
        EXPECT_EQ(quorvel_document_set_root(nullptr, nullptr), -4);
        EXPECT_STREQ(quorvel_last_error(), "set_root: NULL document or element");
        quorvel_document* doc = quorvel_document_create();  // a success clears nothing
        EXPECT_STREQ(quorvel_last_error(), "set_root: NULL document or element");
        quorvel_document_free(doc);
        // Long messages are cut at 511 bytes.
        std::string long_text(2000, 'x');
        quorvel_set_last_error(long_text.c_str());
        EXPECT_EQ(std::strlen(quorvel_last_error()), 511u);
    }).join();
}

int g_hook_calls = 0;
void* counting_alloc(size_t n) {
    g_hook_calls++;
    return std::malloc(n);
}

TEST(Settings, AllocBufferUsesTheHook) {
    std::thread([] {
        quorvel_set_memory_management_functions(counting_alloc, std::free);
        EXPECT_EQ(quorvel_get_memory_allocation_function(), counting_alloc);
        EXPECT_EQ(quorvel_get_memory_deallocation_function(), std::free);
        g_hook_calls = 0;
        EXPECT_EQ(quorvel_alloc_buffer(0), nullptr);
        EXPECT_EQ(g_hook_calls, 0);
        void* p = quorvel_alloc_buffer(10);
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(g_hook_calls, 1);
        std::free(p);
        quorvel_set_memory_management_functions(nullptr, nullptr);
        quorvel_free_string(nullptr);
    }).join();
}

}  // namespace
