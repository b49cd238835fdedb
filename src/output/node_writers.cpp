// Writers of the node kinds, reached through the per-kind node tables. The
// serializer proper is not part of the library yet, so they write nothing.
#include "output/output.h"

void element_serialize(const quorvel_node*, ser_buffer*) {}
void text_serialize(const quorvel_node*, ser_buffer*) {}
void comment_serialize(const quorvel_node*, ser_buffer*) {}
void cdata_serialize(const quorvel_node*, ser_buffer*) {}
void pi_serialize(const quorvel_node*, ser_buffer*) {}
void doctype_serialize(const quorvel_node*, ser_buffer*) {}
void document_serialize_impl(const quorvel_node*, ser_buffer*) {}
void entity_ref_serialize(const quorvel_node*, ser_buffer*) {}
