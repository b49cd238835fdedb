// The exported DTD functions: argument checks and status mapping over the
// model (dtd.cpp) and the parser (dtd_parse.cpp).
#include <cstdlib>

#include "parser/parser.h"

namespace {

// Page size of the pool a stand-alone DTD owns.
constexpr size_t kOwnPoolPageSize = 32768;

}  // namespace

extern "C" {

QUORVEL_API quorvel_dtd* quorvel_dtd_parse(const char* text, size_t length) {
    if (!text || length == 0) return nullptr;
    quorvel_pool* pool = quorvel_pool_create_with_page_size(kOwnPoolPageSize);
    if (!pool) {
        quorvel_set_last_error("Out of memory while parsing a DTD");
        return nullptr;
    }
    quorvel_dtd* dtd = quorvel_dtd_create(pool);
    if (!dtd) {
        quorvel_pool_destroy(pool);
        quorvel_set_last_error("Out of memory while parsing a DTD");
        return nullptr;
    }
    dtd->owns_pool = 1;
    dtd_parse_outcome outcome = dtd_parse_run(dtd, text, length, 0);
    if (outcome != dtd_parse_outcome::clean || dtd->has_error) {
        // The limits wrote their own, more precise text.
        if (outcome != dtd_parse_outcome::too_large && outcome != dtd_parse_outcome::too_deep &&
            outcome != dtd_parse_outcome::bad_char_ref)
            quorvel_set_last_error("Malformed declaration in DTD");
        quorvel_dtd_release(dtd);
        return nullptr;
    }
    return dtd;
}

QUORVEL_API int quorvel_dtd_parse_external_subset(quorvel_dtd* dtd, const char* text, size_t length) {
    if (!dtd || !text || length == 0) return -1;
    (void)dtd_parse_into(dtd, text, length, 0);
    return 1;
}

QUORVEL_API void quorvel_dtd_set_pe_loader(quorvel_dtd* dtd, quorvel_dtd_pe_loader loader, void* user_data) {
    if (!dtd) return;
    dtd->pe_loader = loader;
    dtd->pe_loader_data = user_data;
}

QUORVEL_API void quorvel_dtd_free(quorvel_dtd* dtd) { quorvel_dtd_release(dtd); }

QUORVEL_API void quorvel_dtd_error_free(quorvel_dtd_error* error) {
    if (!error) return;
    std::free(error->message);
    std::free(error->detail);
    error->message = nullptr;
    error->detail = nullptr;
    error->code = 0;
}

}  // extern "C"
