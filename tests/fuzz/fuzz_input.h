// Shared by the fuzz targets: a reader that splits the fuzz input into
// option bytes, short segments and the document, a warm-up that leaves
// recycled records on the thread, and a few small helpers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>

#include "quorvel.h"

namespace fuzz {

// Reads the input front to back. Past the end every read gives zeros, so
// a short input is still a valid (if plain) choice of options.
class input {
public:
    input(const uint8_t* data, size_t size) : p_(data), n_(size) {}

    uint8_t byte() {
        if (n_ == 0) return 0;
        n_--;
        return *p_++;
    }
    uint16_t u16() {
        uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }
    bool flag() { return byte() & 1; }
    // One of count choices.
    size_t pick(size_t count) { return count ? byte() % count : 0; }
    // A segment prefixed by its one-byte length (clipped to what is left).
    std::string segment() {
        size_t k = byte();
        if (k > n_) k = n_;
        std::string s(reinterpret_cast<const char*>(p_), k);
        p_ += k;
        n_ -= k;
        return s;
    }
    // Everything not read yet.
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(p_), n_);
        p_ += n_;
        n_ = 0;
        return s;
    }
    size_t left() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

// A small deterministic generator for choices that need more bytes than
// the input should spend (chunk sizes, for one).
struct lcg {
    uint32_t state;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

[[noreturn]] inline void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// Fresh text from the library into a std::string, freeing the original.
inline std::string take_string(char* text) {
    std::string s = text ? std::string(text) : std::string();
    quorvel_free_string(text);
    return s;
}

// Parses, reads and frees a few documents with attributes, namespaces,
// DTD defaults and recovered structure, so that the records the next
// document gets are recycled ones: a link a new record fails to set then
// points into a freed document, where the sanitizers see it.
inline void warm_thread() {
    static const char* const docs[] = {
        "<r xmlns:p='urn:p' p:a='1' b='2'><c p:d='3' e='&amp;'>t</c><p:f g='4'/></r>",
        "<!DOCTYPE r [<!ATTLIST r d CDATA 'x' p:q CDATA 'y'>]><r xmlns:p='urn:q' a='1'><!--c--><?p d?></r>",
        "<a x='1' y='2'><b x='3'><c/></b><d z='4'>text<e/></a>",
    };
    for (const char* text : docs) {
        for (int flags : {0x00, 0x02, 0x20}) {
            int status = 0;
            quorvel_document* doc = quorvel_parse_string_flags(text, std::strlen(text), flags, &status);
            if (!doc) continue;
            quorvel_element* root = quorvel_document_root(doc);
            quorvel_element_set_attribute(root, "w:x", "v");
            for (quorvel_attribute* a = quorvel_element_first_attribute(root); a; a = quorvel_attribute_next(a))
                quorvel_attribute_namespace_uri(a);
            quorvel_free_string(quorvel_document_serialize(doc, nullptr));
            quorvel_document_free(doc);
        }
    }
}

// A path under $TMPDIR (or /tmp) unique to this process and purpose.
inline std::string temp_path(const char* purpose) {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    return std::string(dir) + "/quorvel-fuzz-" + purpose + "-" + std::to_string(getpid());
}

inline bool write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The index-th element under root in document order (wrapping over the
// first 4,096), or NULL.
inline quorvel_element* element_at(quorvel_element* root, size_t index) {
    std::vector<quorvel_element*> all, stack;
    if (root) stack.push_back(root);
    while (!stack.empty() && all.size() < 4096) {
        quorvel_element* e = stack.back();
        stack.pop_back();
        all.push_back(e);
        for (quorvel_element* c = quorvel_element_last_child_any(e); c; c = quorvel_element_previous_sibling_any(c))
            stack.push_back(c);
    }
    return all.empty() ? nullptr : all[index % all.size()];
}

}  // namespace fuzz
