// Fuzz target for include processing: a main document and three in-memory
// files, served by a loader that refuses every other path, so nothing is
// read from disk. Processing must answer 0 or -7, and the result must
// serialize to text that parses again.
//
// Input: options byte, two-byte lengths of a.xml, b.xml and t.txt, their
// bytes in that order, then the main document (read as m.xml).
//   options bit 0: local_only; bit 1: base path "d/m.xml" instead of "m.xml".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"

namespace {

struct files {
    std::string names[4];
    std::string texts[4];
};

int load(const char* path, void* user, char** text, size_t* length) {
    auto* f = static_cast<files*>(user);
    for (int i = 0; i < 4; i++) {
        if (f->names[i] != path) continue;
        *text = static_cast<char*>(std::malloc(f->texts[i].size() + 1));
        if (!*text) return -1;
        std::memcpy(*text, f->texts[i].data(), f->texts[i].size());
        *length = f->texts[i].size();
        return 1;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t options = in.byte();
    size_t lengths[3] = {in.u16(), in.u16(), in.u16()};
    std::string rest = in.rest();
    bool nested = options & 2;
    files f;
    const char* names[4] = {"a.xml", "b.xml", "t.txt", "m.xml"};
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        size_t n = i < 3 ? std::min(lengths[i], rest.size() - at) : rest.size() - at;
        f.names[i] = std::string(nested ? "d/" : "") + names[i];
        f.texts[i] = rest.substr(at, n);
        at += n;
    }
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(f.texts[3].data(), f.texts[3].size(), &status);
    if (!doc) return 0;
    quorvel_xinclude_options opts{load, &f, nullptr, options & 1};
    int result = quorvel_xinclude_process_opts(doc, f.names[3].c_str(), &opts);
    if (result != 0 && result != QUORVEL_ERR_IO) fuzz::fail("processing answered %d", result);
    if (result == QUORVEL_ERR_IO && !quorvel_last_error()) fuzz::fail("-7 without a message");
    quorvel_element* root = quorvel_document_root(doc);
    quorvel_xinclude_get_href(root);
    quorvel_xinclude_get_parse(root);
    std::string out = fuzz::take_string(quorvel_document_serialize(doc, nullptr));
    if (root && status == 0) {
        int again = 0;
        quorvel_document* copy = quorvel_parse_string(out.data(), out.size(), &again);
        if (!copy || again != 0) fuzz::fail("the result does not parse again (%d): %s", again, out.c_str());
        quorvel_document_free(copy);
    }
    quorvel_document_free(doc);
    return 0;
}
