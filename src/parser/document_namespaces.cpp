// The document parser's namespace handling off the common path: the URI
// of a declaration written with references, decoded when it is read (the
// steps start tags take for declarations and prefixes are inline, in
// document_namespaces.h).
#include "parser/document_namespaces.h"

using namespace quorvel_dp;

namespace quorvel_dp {

// A declaration's URI is read as a plain string, so its references are
// decoded now, with or without a DTD. False when the parse is to end.
bool dp_declaration_uri(dp_state* s, char* value, size_t value_len, char** uri) {
    if (char* bad = dp_first_bad_char_ref(value, value + value_len)) return dp_refuse_char_ref(s, bad);
    quorvel_string_view view{value, value_len};
    char* decoded = s->dtd ? quorvel_decode_entities_view_with_dtd(&view, s->dtd, s->pool)
                           : quorvel_decode_entities_view(&view, s->pool);
    if (decoded)
        *uri = decoded;
    else if (s->dtd && expansion_refused(s))
        DP_FAIL(s, value);
    return true;
}

}  // namespace quorvel_dp
