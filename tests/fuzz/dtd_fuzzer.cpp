// Fuzz target for the DTD declaration parser: parameter-entity
// substitution (internal, and external through a loader), conditional
// sections, the declaration forms and the character references of entity
// values and attribute defaults. The text is parsed one of three ways
// (each may make up to the DTD's expansion allowance, so one input takes
// one): as a stand-alone DTD, as an external subset fed to a DTD with a
// loader, or as the internal subset of a document whose content references
// a few entities, so that general-entity expansion and attribute defaults
// run over what the parser built.
//
// Input: mode byte, loader segment (length byte + bytes: what every
// external parameter entity loads), then the DTD text.
//   mode bits 0-1: 0 stand-alone, 1 external subset with the loader, 2 and
//   3 the document; bit 2: parse it with DTD defaults; bit 3: in recover
//   mode; bit 4: validate it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"

namespace {

struct loader_text {
    std::string text;
    int calls = 0;
};

char* load(void* user, const char*, size_t* length) {
    auto* l = static_cast<loader_text*>(user);
    // A loader that answers every time would let an entity load itself
    // sixteen levels deep on every reference: a few calls show the path.
    if (++l->calls > 64) return nullptr;
    *length = l->text.size();
    char* copy = static_cast<char*>(std::malloc(l->text.size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, l->text.data(), l->text.size());
    return copy;
}

// The subset text must stay inside its brackets: a ']' would end it early
// and the rest would be read as the document, which other targets cover.
std::string as_subset(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == ']') c = ')';
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    uint8_t mode = in.byte();
    loader_text loaded{in.segment()};
    std::string text = in.rest();
    if (text.empty()) return 0;

    if ((mode & 3) == 0) {
        if (quorvel_dtd* dtd = quorvel_dtd_parse(text.data(), text.size())) quorvel_dtd_free(dtd);
        return 0;
    }
    if ((mode & 3) == 1) {
        quorvel_dtd* dtd = quorvel_dtd_parse("<!ELEMENT d ANY>", 16);
        if (!dtd) fuzz::fail("a plain DTD did not parse");
        quorvel_dtd_set_pe_loader(dtd, load, &loaded);
        if (quorvel_dtd_parse_external_subset(dtd, text.data(), text.size()) != 1)
            fuzz::fail("an external subset was refused");
        quorvel_dtd_free(dtd);
        return 0;
    }

    std::string doc_text = "<!DOCTYPE d [" + as_subset(text) + "]><d a='&e;&#65;'>&e;&f;<e b='&f;'/></d>";
    int flags = (mode & 4 ? QUORVEL_PARSE_DTD_DEFAULTS : 0) | (mode & 8 ? QUORVEL_PARSE_RECOVER : 0);
    int status = 0;
    quorvel_document* doc = quorvel_parse_string_flags(doc_text.data(), doc_text.size(), flags, &status);
    if (doc && status != 0) fuzz::fail("a document came with status %d", status);
    if (!doc && status == 0) fuzz::fail("no document and no failure");
    if (doc) {
        fuzz::take_string(quorvel_document_serialize(doc, nullptr));
        if (mode & 16) {
            quorvel_dtd_error error{};
            quorvel_dtd_validate(doc, quorvel_document_get_dtd(doc), &error);
            quorvel_dtd_error_free(&error);
        }
        quorvel_document_free(doc);
    }
    return 0;
}
