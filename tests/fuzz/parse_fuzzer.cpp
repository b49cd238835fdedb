// Fuzz target for the parse entry points. The first input byte picks the
// parse flags, the second the entry point; the rest is the document. Built
// with libFuzzer under clang (QUORVEL_BUILD_FUZZ), and with the replay main
// below under the normal compiler so CI runs the seed corpus.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quorvel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int flags = data[0] & 0x3F;
    int entry = data[1] % 5;
    const char* text = reinterpret_cast<const char*>(data + 2);
    size_t length = size - 2;
    int status = 0;
    quorvel_document* doc = nullptr;
    switch (entry) {
        case 0: doc = quorvel_parse_string(text, length, &status); break;
        case 1: doc = quorvel_parse_string_flags(text, length, flags, &status); break;
        case 2: {
            char* buffer = static_cast<char*>(std::malloc(length + 1));
            if (!buffer) return 0;
            if (length) std::memcpy(buffer, text, length);
            doc = quorvel_parse_string_inplace(buffer, length, &status);
            quorvel_document_free(doc);
            std::free(buffer);
            return 0;
        }
        case 3: doc = quorvel_parse_string_with_encoding(text, length, &status); break;
        case 4: {
            CParseOptions options = {flags, data[0] >> 7, 0, 1};
            doc = quorvel_parse_string_ex(text, length, &options, &status);
            break;
        }
    }
    if (doc) {
        // Reading must be safe on whatever was accepted.
        int count = quorvel_document_parse_diag_count(doc);
        for (int i = 0; i < count; i++) {
            char message[64];
            int code = 0;
            quorvel_document_parse_diag(doc, i, &code, message, sizeof message);
        }
        quorvel_node_traverse(quorvel_document_node(doc), 0, [](quorvel_node*, void*) { return 0; }, nullptr);
    }
    quorvel_document_free(doc);
    return 0;
}
