// The exported serialize and save functions: check arguments, set up a
// buffer from the option records, run the writers, hand the text out.
#include <cstdio>
#include <cstring>

#include "output/output.h"

static_assert(sizeof(quorvel_serialize_ext_options) == 32);
static_assert(offsetof(quorvel_serialize_ext_options, indent_text) == 0);
static_assert(offsetof(quorvel_serialize_ext_options, indent_string) == 8);
static_assert(offsetof(quorvel_serialize_ext_options, expand_empty) == 16);
static_assert(offsetof(quorvel_serialize_ext_options, method) == 20);
static_assert(offsetof(quorvel_serialize_ext_options, html_indent) == 24);

namespace {

constexpr size_t kExtFullSize = sizeof(quorvel_serialize_ext_options);

// The fields of a caller's extension record that its stated size covers;
// bytes past that size are never read (an older caller's record is shorter).
quorvel_serialize_ext_options read_ext(const quorvel_serialize_ext_options* ext, size_t size) {
    quorvel_serialize_ext_options r{};
    if (!ext) return r;
    auto field = [&](size_t offset, size_t width, size_t needed, void* to) {
        if (size >= needed) std::memcpy(to, reinterpret_cast<const char*>(ext) + offset, width);
    };
    field(offsetof(quorvel_serialize_ext_options, indent_text), sizeof(int), 4, &r.indent_text);
    field(offsetof(quorvel_serialize_ext_options, indent_string), sizeof(const char*), 16, &r.indent_string);
    field(offsetof(quorvel_serialize_ext_options, expand_empty), sizeof(int), 20, &r.expand_empty);
    field(offsetof(quorvel_serialize_ext_options, method), sizeof(int), 24, &r.method);
    field(offsetof(quorvel_serialize_ext_options, html_indent), sizeof(int), 28, &r.html_indent);
    return r;
}

bool nothing_to_write(const quorvel_document* doc) {
    return !doc->root && !doc->secondary_root && !doc->first_top;
}

char* empty_text() {
    char* s = static_cast<char*>(g_ser_realloc(nullptr, 1));
    if (s) s[0] = '\0';
    return s;
}

// Element forms share one shape: a buffer set up by the caller's settings.
char* serialize_element(quorvel_element* element, const ser_buffer& settings) {
    if (!element) return nullptr;
    if (element->head.kind != QUORVEL_NODE_ELEMENT || !quorvel_elem_name_raw(element)) return empty_text();
    ser_buffer b;
    if (!ser_buffer_init_for(&b, 0)) return nullptr;
    char* data = b.data;
    size_t capacity = b.capacity;
    quorvel_release_fn release = b.release;
    b = settings;
    b.data = data;
    b.capacity = capacity;
    b.release = release;
    b.length = 0;
    b.out_of_memory = 0;
    serialize_element_internal(element, &b, 1);
    return ser_buffer_take(&b);
}

// The two-call protocol shared by the _into forms.
size_t copy_into(char* text, char* buffer, size_t capacity, size_t* length) {
    if (!text) return 0;
    size_t n = std::strlen(text);
    if (length) *length = n;
    if (buffer && capacity >= n + 1) std::memcpy(buffer, text, n + 1);
    std::free(text);
    return n + 1;
}

quorvel_status save(const char* path, char* text) {
    if (!text) {
        quorvel_set_last_error("save: not enough memory to serialize the document");
        return QUORVEL_ERR_MEMORY;
    }
    size_t n = std::strlen(text);
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::free(text);
        quorvel_set_last_errorf("save: cannot open '%s' for writing", path);
        return QUORVEL_ERR_IO;
    }
    bool ok = std::fwrite(text, 1, n, f) == n;
    // Buffered bytes may only fail to reach the file when it is closed.
    ok = std::fclose(f) == 0 && ok;
    std::free(text);
    if (!ok) {
        quorvel_set_last_errorf("save: cannot write '%s'", path);
        return QUORVEL_ERR_IO;
    }
    return QUORVEL_OK;
}

quorvel_status check_save_arguments(quorvel_document* doc, const char* path) {
    if (!doc || !path) return QUORVEL_ERR_NULL_ARGUMENT;
    if (nothing_to_write(doc)) {
        quorvel_set_last_error("save: the document has no content to write");
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    return QUORVEL_OK;
}

}  // namespace

extern "C" {

QUORVEL_API char* quorvel_document_serialize(quorvel_document* doc, const quorvel_serialize_options* options) {
    return quorvel_document_serialize_ex(doc, options, nullptr);
}

QUORVEL_API char* quorvel_document_serialize_ext_sized(quorvel_document* doc,
                                                       const quorvel_serialize_options* options,
                                                       const quorvel_serialize_ext_options* ext,
                                                       size_t ext_size) {
    quorvel_serialize_ext_options e = read_ext(ext, ext_size);
    serialize_ex_options ex{};
    ex.method = e.method;
    ex.indent_text = e.indent_text;
    ex.expand_empty = e.expand_empty;
    ex.indent_string = e.indent_string;
    ex.html_indent = e.html_indent;
    return quorvel_document_serialize_ex(doc, options, &ex);
}

QUORVEL_API char* quorvel_document_serialize_ext(quorvel_document* doc, const quorvel_serialize_options* options,
                                                 const quorvel_serialize_ext_options* ext) {
    return quorvel_document_serialize_ext_sized(doc, options, ext, ext ? kExtFullSize : 0);
}

QUORVEL_API char* quorvel_document_serialize_html(quorvel_document* doc, const quorvel_serialize_options* options) {
    quorvel_serialize_ext_options ext{};
    ext.method = 1;
    return quorvel_document_serialize_ext_sized(doc, options, &ext, kExtFullSize);
}

QUORVEL_API char* quorvel_serialize_document(quorvel_document* doc) {
    if (!doc) return nullptr;
    // The writer names the document's own encoding, or UTF-8 where that
    // no longer describes the output.
    quorvel_serialize_options options{0, doc->has_declaration && doc->declared_version ? 1 : 0, nullptr};
    return quorvel_document_serialize(doc, &options);
}

QUORVEL_API size_t quorvel_document_serialize_into(quorvel_document* doc, char* buffer, size_t capacity,
                                                   size_t* length, const quorvel_serialize_options* options) {
    if (!doc) return 0;
    return copy_into(quorvel_document_serialize(doc, options), buffer, capacity, length);
}

QUORVEL_API char* quorvel_element_serialize(quorvel_element* element, const quorvel_serialize_options* options) {
    ser_buffer settings{};
    settings.indent = options ? options->indent : 0;
    return serialize_element(element, settings);
}

QUORVEL_API char* quorvel_element_serialize_ext_sized(quorvel_element* element,
                                                      const quorvel_serialize_options* options,
                                                      const quorvel_serialize_ext_options* ext, size_t ext_size) {
    quorvel_serialize_ext_options e = read_ext(ext, ext_size);
    ser_buffer settings{};
    settings.indent = options ? options->indent : 0;
    settings.indent_text = e.indent_text != 0;
    settings.indent_string = e.indent_string;
    settings.expand_empty = e.expand_empty != 0;
    settings.html_indent = e.html_indent != 0;
    settings.html = e.method != 0;
    settings.meta_charset = options && options->encoding ? options->encoding : "UTF-8";
    return serialize_element(element, settings);
}

QUORVEL_API char* quorvel_element_serialize_ext(quorvel_element* element, const quorvel_serialize_options* options,
                                                const quorvel_serialize_ext_options* ext) {
    return quorvel_element_serialize_ext_sized(element, options, ext, ext ? kExtFullSize : 0);
}

QUORVEL_API size_t quorvel_element_serialize_into(quorvel_element* element, char* buffer, size_t capacity,
                                                  size_t* length, const quorvel_serialize_options* options) {
    if (!element) return 0;
    return copy_into(quorvel_element_serialize(element, options), buffer, capacity, length);
}

QUORVEL_API quorvel_status quorvel_document_save_file(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options) {
    if (quorvel_status s = check_save_arguments(doc, path); s != QUORVEL_OK) return s;
    return save(path, quorvel_document_serialize(doc, options));
}

QUORVEL_API quorvel_status quorvel_document_save_html(quorvel_document* doc, const char* path,
                                                      const quorvel_serialize_options* options) {
    if (quorvel_status s = check_save_arguments(doc, path); s != QUORVEL_OK) return s;
    return save(path, quorvel_document_serialize_html(doc, options));
}

}  // extern "C"
