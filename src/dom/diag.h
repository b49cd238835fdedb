// Records the parsers keep about a document beside its tree: recoverable
// problems (diagnostics lists, also used by validators on their own
// handles) and per-element source-position records.
#pragma once

#include "dom/dom.h"

// Appends one record to a diagnostics list {array, count, capacity}; grows
// to 8 records, then doubles. With a node, its local name is copied (malloc)
// when it is an element. Returns the record, or NULL when the array cannot
// grow (nothing recorded, list intact). The message is cut at 255 bytes.
quorvel_diag* quorvel_diag_emit(quorvel_diag** list, int* count, int* capacity, int code, const quorvel_node* node,
                                const char* format, ...) __attribute__((format(printf, 6, 7)));

// Appends {element, first, second} to the document's position records and
// returns its index, or -1 for NULL arguments or no memory. The array is
// heap memory released by document freeing.
int quorvel_elem_pos_record(quorvel_document* doc, quorvel_element* element, uint32_t first, uint32_t second);
