// Fixture files in a fresh folder, a recording loader and serialization
// helpers shared by the include tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorvel.h"

namespace xinclude_test {

namespace fs = std::filesystem;

struct doc_deleter {
    void operator()(quorvel_document* d) const { quorvel_document_free(d); }
};
using doc_ptr = std::unique_ptr<quorvel_document, doc_deleter>;

inline doc_ptr parse(const std::string& text) {
    int status = 0;
    doc_ptr d(quorvel_parse_string(text.data(), text.size(), &status));
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(d, nullptr) << text;
    return d;
}

inline std::string take(char* s) {
    std::string out = s ? s : "<null>";
    quorvel_free_string(s);
    return out;
}

inline std::string serialize(quorvel_document* d) {
    quorvel_element* root = quorvel_document_root(d);
    return root ? take(quorvel_element_serialize(root, nullptr)) : "<no root>";
}

inline const char* last_error() {
    const char* e = quorvel_last_error();
    return e ? e : "";
}

// Paths the loader was asked for, and the texts it answers with; paths it
// does not know are refused (or left to the file system when pass is set).
struct recording_loader {
    std::vector<std::string> asked;
    std::map<std::string, std::string> texts;
    bool pass = false;

    static int load(const char* path, void* user, char** text, size_t* length) {
        auto* self = static_cast<recording_loader*>(user);
        self->asked.push_back(path);
        auto it = self->texts.find(path);
        if (it == self->texts.end()) return self->pass ? 0 : -1;
        *text = static_cast<char*>(std::malloc(it->second.size() + 1));
        std::memcpy(*text, it->second.data(), it->second.size());
        *length = it->second.size();
        return 1;
    }

    quorvel_xinclude_options options(int local_only = 1) {
        return quorvel_xinclude_options{&recording_loader::load, this, nullptr, local_only};
    }
};

// A fresh folder removed at the end of the test.
class Files : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quorvel-xinclude-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& text) {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }

    // Parses text as the file main.xml of the folder, processes it, and
    // answers the status; the document stays in doc.
    int run(const std::string& text, const quorvel_xinclude_options* options = nullptr) {
        std::string path = write("main.xml", text);
        doc = parse(text);
        if (!doc) return 99;
        return options ? quorvel_xinclude_process_opts(doc.get(), path.c_str(), options)
                       : quorvel_xinclude_process(doc.get(), path.c_str());
    }

    doc_ptr doc;
};

constexpr const char* kXi = "xmlns:xi=\"http://www.w3.org/2001/XInclude\"";

}  // namespace xinclude_test
