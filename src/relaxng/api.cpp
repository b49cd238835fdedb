// The exported RELAX NG functions: loading, validation and the readers of
// the last validation's records.
#include <cstring>

#include "core/core.h"
#include "relaxng/rng.h"

namespace {

void clear_results(quorvel_rng* h) {
    quorvel_work_free(h->message);
    h->message = nullptr;
    for (int32_t i = 0; i < h->diag_count; i++) std::free(h->diags[i].element);
    h->diag_count = 0;
}

// A loaded handle, or NULL with the status set and a schema error copied
// to the thread's last-error text.
quorvel_rng* finish_load(quorvel_rng* h, int* status) {
    if (!h) {
        if (status) *status = QUORVEL_ERR_MEMORY;
        return nullptr;
    }
    if (h->message) {
        quorvel_set_last_error(h->message);
        rng_handle_free(h);
        if (status) *status = QUORVEL_ERR_PARSE;
        return nullptr;
    }
    return h;
}

bool valid_index(const quorvel_rng* h, size_t index) {
    return h && h->diag_count > 0 && index < static_cast<size_t>(h->diag_count);
}

const char* kind_name(int kind) {
    switch (kind) {
        case 1: return "not-allowed-anywhere";
        case 2: return "not-allowed-here";
        case 3: return "not-allowed-yet";
        case 4: return "incomplete";
        case 5: return "missing-required-attr";
        case 6: return "attr-not-allowed";
        case 7: return "attr-value-invalid";
        case 8: return "char-content-invalid";
        default: return "invalid";
    }
}

int record_column(const quorvel_diag& d) { return (d.code == 4 || d.code == 8) ? d.third : d.column; }

}  // namespace

extern "C" {

QUORVEL_API quorvel_rng* quorvel_rng_parse(const char* text, size_t length, int* status) {
    if (status) *status = 0;
    if (!text) {
        if (status) *status = QUORVEL_ERR_NULL_ARGUMENT;
        return nullptr;
    }
    quorvel_document* doc = quorvel_parse_string(text, length, status);
    if (!doc) return nullptr;
    quorvel_rng* h = rng_parse_doc(doc, nullptr);
    quorvel_document_free(doc);
    return finish_load(h, status);
}

QUORVEL_API quorvel_rng* quorvel_rng_parse_file(const char* path, int* status) {
    if (status) *status = 0;
    if (!path) {
        if (status) *status = QUORVEL_ERR_NULL_ARGUMENT;
        return nullptr;
    }
    quorvel_rng* h = rng_parse_file_path(path);
    if (!h) {
        if (status) *status = QUORVEL_ERR_PARSE;
        return nullptr;
    }
    return finish_load(h, status);
}

QUORVEL_API void quorvel_rng_free(quorvel_rng* rng) { rng_handle_free(rng); }

QUORVEL_API int quorvel_rng_validate(quorvel_rng* rng, quorvel_document* doc) {
    if (!rng || !doc) return 0;
    clear_results(rng);
    return rng_validate_document(rng, doc);
}

QUORVEL_API const char* quorvel_rng_error(quorvel_rng* rng) { return rng ? rng->message : nullptr; }

QUORVEL_API int quorvel_rng_error_count(quorvel_rng* rng) { return rng ? rng->diag_count : 0; }

QUORVEL_API const char* quorvel_rng_error_message(quorvel_rng* rng, size_t index) {
    return valid_index(rng, index) ? rng->diags[index].message : nullptr;
}

QUORVEL_API int quorvel_rng_error_line(quorvel_rng* rng, size_t index) {
    return valid_index(rng, index) ? rng->diags[index].line : 0;
}

QUORVEL_API int quorvel_rng_error_column(quorvel_rng* rng, size_t index) {
    return valid_index(rng, index) ? record_column(rng->diags[index]) : 0;
}

QUORVEL_API int quorvel_rng_error_report(quorvel_rng* rng, quorvel_rng_error_info** out) {
    if (!rng || !out) return 0;
    quorvel_work_free(rng->report);
    rng->report = nullptr;
    rng->report_count = 0;
    *out = nullptr;
    if (rng->diag_count <= 0) return 0;
    auto* report = static_cast<quorvel_rng_error_info*>(
        quorvel_work_calloc(sizeof(quorvel_rng_error_info) * static_cast<size_t>(rng->diag_count)));
    if (!report) return 0;
    for (int32_t i = 0; i < rng->diag_count; i++) {
        const quorvel_diag& d = rng->diags[i];
        report[i].kind = kind_name(d.code);
        report[i].message = d.message;
        report[i].element = d.element && d.element[0] ? d.element : nullptr;
        report[i].line = d.line;
        report[i].column = record_column(d);
    }
    rng->report = report;
    rng->report_count = rng->diag_count;
    *out = report;
    return rng->diag_count;
}

}  // extern "C"
