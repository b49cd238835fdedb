// Serializer entry points shared with the node tables. Each writer takes a
// node of its kind and the output buffer, and writes nothing for NULL.
#pragma once

#include "dom/dom.h"

void element_serialize(const quorvel_node* node, ser_buffer* buffer);
void text_serialize(const quorvel_node* node, ser_buffer* buffer);
void comment_serialize(const quorvel_node* node, ser_buffer* buffer);
void cdata_serialize(const quorvel_node* node, ser_buffer* buffer);
void pi_serialize(const quorvel_node* node, ser_buffer* buffer);
void doctype_serialize(const quorvel_node* node, ser_buffer* buffer);
void document_serialize_impl(const quorvel_node* node, ser_buffer* buffer);
void entity_ref_serialize(const quorvel_node* node, ser_buffer* buffer);
