// The document parser's markup other than tags: comments, CDATA sections,
// processing instructions (the XML declaration among them) and
// declarations (the DOCTYPE). Rarer than tags and text, so read outside the
// hot loop's file.
#include <cstdio>
#include <cstring>

#include "parser/document_parser.h"

namespace quorvel_dp {

namespace {

void xml_declaration(dp_state* s, char* data) {
    s->has_declaration = 1;
    char* q = data;
    for (;;) {
        q = dp_skip_space(q);
        char* name = q;
        while (*q && !dp_is_space(static_cast<unsigned char>(*q)) && *q != '=') q++;
        size_t name_len = static_cast<size_t>(q - name);
        q = dp_skip_space(q);
        if (*q != '=') return;
        q = dp_skip_space(q + 1);
        char quote = *q;
        if (quote != '"' && quote != '\'') return;
        char* value = q + 1;
        char* close = std::strchr(value, quote);
        if (!close) return;
        *close = '\0';
        q = close + 1;
        if (name_len == 7 && std::memcmp(name, "version", 7) == 0) {
            s->version = value;
        } else if (name_len == 8 && std::memcmp(name, "encoding", 8) == 0) {
            s->encoding = value;
        } else if (name_len == 10 && std::memcmp(name, "standalone", 10) == 0) {
            if (std::strcmp(value, "yes") == 0) s->standalone = 1;
            else if (std::strcmp(value, "no") == 0) s->standalone = 0;
        }
    }
}

}  // namespace

bool dp_comment(dp_state* s, char* lt) {
    char* c = lt + 4;
    ptrdiff_t f = g_find3_fn(c, static_cast<size_t>(s->end - c), '-', '-', '>');
    if (f < 0) DP_FAIL(s, c);
    c[f] = '\0';
    s->cur = c + f + 3;
    auto* node = static_cast<quorvel_comment*>(dp_take_markup(s));
    if (!node) DP_FAIL(s, c);
    node->head.kind = QUORVEL_NODE_COMMENT;
    node->head.flags = kNodeFrozen;
    node->head.source_pos = position_of(s, lt);
    node->content = c;
    if (s->depth == 0) node->owner = s->doc;
    if (!dp_place_leaf(s, &node->head)) DP_FAIL(s, c);
    return true;
}

bool dp_cdata(dp_state* s, char* lt) {
    char* c = lt + 9;
    ptrdiff_t f = g_find3_fn(c, static_cast<size_t>(s->end - c), ']', ']', '>');
    if (f < 0) DP_FAIL(s, c);
    c[f] = '\0';
    s->cur = c + f + 3;
    if (s->depth == 0) return true;
    dp_normalise_lines(c, static_cast<size_t>(f));
    auto* node = static_cast<quorvel_comment*>(dp_take_markup(s));
    if (!node) DP_FAIL(s, c);
    node->head.kind = QUORVEL_NODE_CDATA;
    node->head.flags = kNodeFrozen;
    node->head.source_pos = position_of(s, lt);
    node->content = c;
    if (!dp_place_leaf(s, &node->head)) DP_FAIL(s, c);
    return true;
}

bool dp_processing_instruction(dp_state* s, char* lt) {
    char* target = lt + 2;
    if (!dp_is_name_start(static_cast<unsigned char>(*target))) DP_FAIL(s, target);
    char* p = target;
    while (dp_is_name_char(static_cast<unsigned char>(*p))) p++;
    char* target_end = p;
    if (p >= s->end) DP_FAIL(s, s->end);
    bool target_terminated = false;
    char* data = p;
    if (*p != '?') {
        *p = '\0';
        target_terminated = true;
        data = p + 1;
    }
    char* close = data;
    for (;;) {
        close = static_cast<char*>(std::memchr(close, '?', static_cast<size_t>(s->end - close)));
        if (!close || close + 1 >= s->end) DP_FAIL(s, data);
        if (close[1] == '>') break;
        close++;
    }
    *close = '\0';
    s->cur = close + 2;
    size_t target_len = static_cast<size_t>(target_end - target);
    if (close == target_end) target_terminated = true;
    if (target_len == 3 && std::memcmp(target, "xml", 3) == 0) {
        xml_declaration(s, data);
        return true;
    }
    const char* target_text = target;
    if (!target_terminated) {
        // "<?t?x?>": the '?' after the target is data, so the target needs a copy.
        target_text = quorvel_pool_strndup(s->pool, target, target_len);
        if (!target_text) DP_FAIL(s, target);
    }
    auto* node = static_cast<quorvel_pi*>(dp_take_markup(s));
    if (!node) DP_FAIL(s, target);
    node->head.kind = QUORVEL_NODE_PI;
    node->head.flags = kNodeFrozen;
    node->head.source_pos = position_of(s, lt);
    node->target = const_cast<char*>(target_text);
    node->data = close > data ? data : nullptr;
    if (s->depth == 0) node->owner = s->doc;
    if (!dp_place_leaf(s, &node->head)) DP_FAIL(s, target);
    return true;
}

// "<!" other than a comment or CDATA. The one DOCTYPE comes before the
// root: a later one, or a second, would change what the part already read
// means, so recovering drops it (and with it any defaults it declares).
bool dp_declaration(dp_state* s, char* lt) {
    bool doctype = std::memcmp(lt + 2, "DOCTYPE", 7) == 0;  // the padding covers a short tail
    bool misplaced = doctype && (s->root || s->depth || s->doctype_seen);
    if (misplaced && !s->recover) {
        std::snprintf(s->message, sizeof s->message, "DOCTYPE after the root element or a second DOCTYPE");
        DP_FAIL(s, lt);
    }
    s->cur = lt;
    char* refused_at = nullptr;
    const char* refused_why = nullptr;
    bool well_formed = dp_parse_doctype(&s->cur, s->end, s->pool, s->doc, &s->dtd, !misplaced, &refused_at, &refused_why);
    if (refused_at) {
        std::snprintf(s->message, sizeof s->message, "%s", refused_why);
        DP_FAIL(s, refused_at);
    }
    if (!well_formed && !s->recover) DP_FAIL(s, lt + 9);
    if (misplaced || !well_formed)
        dp_emit_dropped(s, misplaced ? "Misplaced DOCTYPE" : "Malformed DOCTYPE");
    else if (doctype)
        s->doctype_seen = 1;
    return true;
}

}  // namespace quorvel_dp
