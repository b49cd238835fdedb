// Frees a document when the test scope ends, whatever the assertions did.
#pragma once

#include "quorvel.h"

struct doc_holder {
    quorvel_document* doc = nullptr;
    explicit doc_holder(quorvel_document* d) : doc(d) {}
    ~doc_holder() { quorvel_document_free(doc); }
    doc_holder(const doc_holder&) = delete;
    doc_holder& operator=(const doc_holder&) = delete;
};
