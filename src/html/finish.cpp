// Completion of the tree when the input is used up: the html root, its
// head and body, and the order of the top-level nodes.
#include <cstring>

#include "html/html.h"

namespace html {

namespace {

// Every name tested here has a tag record, and an element's identifier is
// that of its name: comparing identifiers compares names.
bool is_tag(const hnode* n, uint8_t id) { return n && n->kind == kElement && n->tag == id; }

hnode* make_element(parse_state* s, const char* name, uint8_t id) {
    hnode* e = new_node(s, kElement);
    if (!e) return nullptr;
    e->data = name;
    e->length = std::strlen(name);
    e->tag = id;
    return e;
}

bool head_type(const hnode* n, bool html5) {
    if (!n || n->kind != kElement) return false;
    switch (n->tag) {
        case kTag_title:
        case kTag_meta:
        case kTag_link:
        case kTag_base: return true;
        case kTag_basefont:
        case kTag_bgsound:
        case kTag_script:
        case kTag_style:
        case kTag_noframes:
        case kTag_noscript:
        case kTag_template: return html5;
        default: return false;
    }
}

bool blank_text(const hnode* n) {
    if (n->kind != kText) return false;
    for (size_t i = 0; i < n->length; i++)
        if (!is_blank(static_cast<unsigned char>(n->data[i]))) return false;
    return true;
}

// Divides the children of html from `from` on into a head and a body: the
// leading head-type elements (with the blank text and comments among them)
// go to the head, everything from the first other node to the body. An html
// that already holds a body or frameset is left as it is.
bool split_head_body(parse_state* s, hnode* html, hnode* from) {
    for (hnode* c = html->first; c; c = c->next)
        if (is_tag(c, kTag_body) || is_tag(c, kTag_frameset)) return true;
    hnode* head = nullptr;
    for (hnode* c = html->first; c; c = c->next)
        if (is_tag(c, kTag_head)) head = c;
    hnode* body = nullptr;
    if (!s->frameset_seen) {
        body = make_element(s, "body", kTag_body);
        if (!body) return false;
    }
    if (!head) {
        head = make_element(s, "head", kTag_head);
        if (!head) return false;
        tree_insert_before(html, from, head);
    }
    bool in_head = true;
    for (hnode* c = from; c;) {
        hnode* next = c->next;
        if (c == head) {
            c = next;
            continue;
        }
        if (in_head && !(head_type(c, true) || c->kind == kComment || blank_text(c))) in_head = false;
        if (in_head) {
            tree_detach(c);
            tree_append(head, c);
        } else if (body) {
            tree_detach(c);
            tree_append(body, c);
        }
        c = next;
    }
    if (body) tree_append(html, body);
    return true;
}

}  // namespace

bool complete_tree(parse_state* s) {
    hnode* html = nullptr;
    for (hnode* n = s->top.first; n && !html; n = n->next)
        if (is_tag(n, kTag_html)) html = n;
    hnode* root = nullptr;
    if (html) {
        for (hnode* n = s->top.first; n && !root; n = n->next)
            if (n->kind == kElement) root = n;
        if (s->html5 && is_tag(root, kTag_html) && root->first && !split_head_body(s, root, root->first)) return false;
    } else {
        hnode* e = make_element(s, "html", kTag_html);
        if (!e) return false;
        hnode* old = s->top.first;
        s->top.first = s->top.last = nullptr;
        tree_append(&s->top, e);
        for (hnode* n = old; n;) {
            hnode* next = n->next;
            tree_append(e, n);
            n = next;
        }
        if (s->html5 && e->first && !split_head_body(s, e, e->first)) return false;
        root = e;
    }
    s->root = root;
    if (s->html5 && is_tag(root, kTag_html)) {
        bool has_body = false, has_head = false;
        hnode* first_element = nullptr;
        for (hnode* c = root->first; c; c = c->next) {
            if (c->kind != kElement) continue;
            if (!first_element) first_element = c;
            has_body = has_body || is_tag(c, kTag_body) || is_tag(c, kTag_frameset);
            has_head = has_head || is_tag(c, kTag_head);
        }
        if (!has_body) {
            hnode* b = s->frameset_seen ? make_element(s, "frameset", kTag_frameset) : make_element(s, "body", kTag_body);
            if (!b) return false;
            tree_append(root, b);
            if (!first_element) first_element = b;
        }
        if (!has_head) {
            hnode* h = make_element(s, "head", kTag_head);
            if (!h) return false;
            tree_insert_before(root, first_element, h);
        }
    }
    if (s->html5 && root) {
        // Attributes of repeated html, head and body tags go to the elements
        // that stand for them, names they lack only.
        if (is_tag(root, kTag_html)) {
            if (!apply_attrs(s, root, &s->html_attrs)) return false;
            for (hnode* c = root->first; c; c = c->next) {
                if (is_tag(c, kTag_head) && !apply_attrs(s, c, &s->head_attrs)) return false;
                if ((is_tag(c, kTag_body) || is_tag(c, kTag_frameset)) && !apply_attrs(s, c, &s->body_attrs))
                    return false;
            }
        }
    }
    return !s->mem.failed;
}

}  // namespace html
