// Active formatting elements: the bounded list of open formatting elements
// with its scope markers, reconstruction of those closed too early, and the
// adoption step that repairs misnested formatting end tags. Also the
// attribute stashes of repeated html, head and body tags.
#include <cstring>

#include "html/html.h"

namespace html {

namespace {

bool same_name(const hnode* e, const char* name, size_t length) {
    return e && e->length == length && std::memcmp(e->data, name, length) == 0;
}

long afe_index(const parse_state* s, const hnode* e) {
    for (size_t i = s->afe_count; i > 0; i--)
        if (s->afe[i - 1] == e) return static_cast<long>(i - 1);
    return -1;
}

void afe_insert(parse_state* s, size_t at, hnode* e) {
    if (s->afe_count >= kMaxFormatting) return;
    if (at > s->afe_count) at = s->afe_count;
    for (size_t i = s->afe_count; i > at; i--) {
        s->afe[i] = s->afe[i - 1];
        s->afe_table_marker[i] = s->afe_table_marker[i - 1];
    }
    s->afe[at] = e;
    s->afe_table_marker[at] = 0;
    s->afe_count++;
}

size_t attr_count(const hnode* e) {
    size_t n = 0;
    for (const hattr* a = e->attrs; a; a = a->next) n++;
    return n;
}

// Same name and the same attributes with the same values.
bool alike(const hnode* a, const hnode* b) {
    if (a->length != b->length || std::memcmp(a->data, b->data, a->length) != 0) return false;
    if (attr_count(a) != attr_count(b)) return false;
    for (const hattr* x = a->attrs; x; x = x->next) {
        const hattr* y = find_attr(b, x->name, x->name_length);
        if (!y || y->value_length != x->value_length ||
            (x->value_length && std::memcmp(x->value, y->value, x->value_length) != 0))
            return false;
    }
    return true;
}

// A new element of the same name and attributes, not placed. The attribute
// list is shared: lists of formatting elements are not changed after their
// tag is read.
hnode* clone(parse_state* s, const hnode* e) {
    hnode* c = new_node(s, kElement);
    if (!c) return nullptr;
    c->data = e->data;
    c->length = e->length;
    c->tag = e->tag;
    c->ns = e->ns;
    c->attrs = e->attrs;
    return c;
}

bool is_cell_fence(uint8_t id) {
    switch (id) {
        case kTag_applet:
        case kTag_caption:
        case kTag_table:
        case kTag_td:
        case kTag_th:
        case kTag_marquee:
        case kTag_object:
        case kTag_template: return true;
        default: return false;
    }
}

// Places node where the adoption step puts the last node it moved: in
// front of the nearest open table when the common ancestor is a table part,
// else at the end of the common ancestor.
void place_adopted(parse_state* s, hnode* ancestor, hnode* node) {
    if (!ancestor) {
        tree_append(&s->top, node);
        return;
    }
    if (ancestor->ns == kNsHtml && kTableContextTags.has(ancestor->tag)) {
        size_t i = s->open_count;
        while (i > 0 && !(s->open_ns[i - 1] == kNsHtml && s->open_ids[i - 1] == kTag_table)) i--;
        if (i > 0) {
            hnode* table = s->open[i - 1];
            hnode* parent = table->parent ? table->parent : (i > 1 ? s->open[i - 2] : &s->top);
            tree_insert_before(parent, table, node);
        } else {
            tree_append(&s->top, node);
        }
        return;
    }
    tree_append(ancestor, node);
}

}  // namespace

long stack_level(const parse_state* s, const hnode* e) {
    for (size_t i = s->open_count; i > 0; i--)
        if (s->open[i - 1] == e) return static_cast<long>(i - 1);
    return -1;
}

void stack_remove(parse_state* s, size_t level) {
    if (level >= s->open_count) return;
    for (size_t i = level + 1; i < s->open_count; i++) {
        s->open[i - 1] = s->open[i];
        s->open_ns[i - 1] = s->open_ns[i];
        s->open_ids[i - 1] = s->open_ids[i];
        s->template_mode[i - 1] = s->template_mode[i];
    }
    s->open_count--;
}

void afe_push_marker(parse_state* s, bool table) {
    if (s->afe_count >= kMaxFormatting) return;
    s->afe[s->afe_count] = nullptr;
    s->afe_table_marker[s->afe_count] = table ? 1 : 0;
    s->afe_count++;
}

void afe_push(parse_state* s, hnode* e) {
    size_t alike_count = 0;
    size_t earliest = 0;
    for (size_t i = s->afe_count; i > 0 && s->afe[i - 1]; i--)
        if (alike(s->afe[i - 1], e)) {
            alike_count++;
            earliest = i - 1;
        }
    if (alike_count >= 3) afe_remove(s, earliest);
    afe_insert(s, s->afe_count, e);
}

void afe_remove(parse_state* s, size_t index) {
    if (index >= s->afe_count) return;
    for (size_t i = index + 1; i < s->afe_count; i++) {
        s->afe[i - 1] = s->afe[i];
        s->afe_table_marker[i - 1] = s->afe_table_marker[i];
    }
    s->afe_count--;
}

void afe_clear_to_marker(parse_state* s) {
    while (s->afe_count) {
        s->afe_count--;
        if (!s->afe[s->afe_count]) break;
    }
}

void afe_clear_to_table_marker(parse_state* s) {
    // The table's marker goes, and with it the cells and captions it held
    // (each marker after it and everything after that marker); formatting
    // elements moved out in front of the table stay.
    for (size_t i = s->afe_count; i > 0; i--)
        if (!s->afe[i - 1] && s->afe_table_marker[i - 1]) {
            size_t t = i - 1;
            for (size_t k = t + 1; k < s->afe_count; k++)
                if (!s->afe[k]) {
                    s->afe_count = k;
                    break;
                }
            afe_remove(s, t);
            return;
        }
}

long afe_find(const parse_state* s, const char* name, size_t length) {
    // A table's marker bounds the search only when no other marker does.
    size_t bound = 0;
    bool found_bound = false;
    for (size_t i = s->afe_count; i > 0 && !found_bound; i--)
        if (!s->afe[i - 1] && !s->afe_table_marker[i - 1]) {
            bound = i;
            found_bound = true;
        }
    if (!found_bound)
        for (size_t i = s->afe_count; i > 0; i--)
            if (!s->afe[i - 1]) {
                bound = i;
                break;
            }
    for (size_t i = s->afe_count; i > bound; i--)
        if (s->afe[i - 1] && same_name(s->afe[i - 1], name, length)) return static_cast<long>(i - 1);
    return -1;
}

void reconstruct(parse_state* s) {
    if (!s->afe_count) return;
    if (s->open_count) {
        switch (current_id(s)) {
            case kTag_title:
            case kTag_textarea:
            case kTag_script:
            case kTag_style:
            case kTag_xmp:
            case kTag_iframe:
            case kTag_noembed:
            case kTag_noscript: return;
            default: break;
        }
    }
    size_t last = s->afe_count - 1;
    if (!s->afe[last] || stack_level(s, s->afe[last]) >= 0) return;
    size_t i = last;
    while (i > 0 && s->afe[i - 1] && stack_level(s, s->afe[i - 1]) < 0) i--;
    for (; i < s->afe_count; i++) {
        const hnode* src = s->afe[i];
        hnode* e = open_element(s, src->data, src->length, src->tag, kNsHtml, src->attrs);
        if (!e) return;
        s->afe[i] = e;
    }
}

bool adoption(parse_state* s, const char* name, size_t length) {
    hnode* cur = current(s);
    if (cur && s->open_ns[s->open_count - 1] == kNsHtml && same_name(cur, name, length) && afe_index(s, cur) < 0) {
        s->open_count--;
        return true;
    }
    for (int pass = 0; pass < 8; pass++) {
        long fi = -1;
        for (size_t i = s->afe_count; i > 0 && s->afe[i - 1]; i--)
            if (same_name(s->afe[i - 1], name, length)) {
                fi = static_cast<long>(i - 1);
                break;
            }
        if (fi < 0) return false;
        hnode* fe = s->afe[fi];
        long fl = stack_level(s, fe);
        if (fl < 0) {
            afe_remove(s, static_cast<size_t>(fi));
            return true;
        }
        for (size_t l = static_cast<size_t>(fl) + 1; l < s->open_count; l++)
            if (s->open_ns[l] != kNsHtml || is_cell_fence(s->open_ids[l])) {
                afe_remove(s, static_cast<size_t>(fi));
                return true;
            }
        long fb = -1;
        for (size_t l = static_cast<size_t>(fl) + 1; l < s->open_count; l++)
            if (s->open_ns[l] == kNsHtml && s->open_ids[l] != kTagNone && kTagInfos[s->open_ids[l]].special) {
                fb = static_cast<long>(l);
                break;
            }
        if (fb < 0) {
            s->open_count = static_cast<size_t>(fl);
            afe_remove(s, static_cast<size_t>(fi));
            return true;
        }
        hnode* ancestor = fl > 0 ? s->open[fl - 1] : nullptr;
        uint8_t fe_id = s->open_ids[fl];
        size_t bookmark = static_cast<size_t>(fi);
        hnode* furthest = s->open[fb];
        // The inner loop walks down from the furthest block over the stack
        // as it is now, while the live stack loses and swaps elements.
        hnode* copy[kMaxOpen];
        size_t n = static_cast<size_t>(fb - fl) + 1;
        std::memcpy(copy, &s->open[fl], n * sizeof(hnode*));
        hnode* last = furthest;
        size_t k = n - 1;
        for (int counter = 1;; counter++) {
            hnode* node = copy[--k];
            if (node == fe) break;
            long ni = afe_index(s, node);
            if (ni >= 0 && counter < 4) {
                hnode* c = clone(s, node);
                if (!c) return true;
                s->afe[ni] = c;
                long nl = stack_level(s, node);
                if (nl >= 0) s->open[nl] = c;
                if (last == furthest) bookmark = static_cast<size_t>(ni) + 1;
                tree_detach(last);
                tree_append(c, last);
                last = c;
            } else {
                if (ni >= 0) {
                    afe_remove(s, static_cast<size_t>(ni));
                    if (bookmark > static_cast<size_t>(ni)) bookmark--;
                }
                long nl = stack_level(s, node);
                if (nl >= 0) stack_remove(s, static_cast<size_t>(nl));
            }
        }
        tree_detach(last);
        place_adopted(s, ancestor, last);
        hnode* c = clone(s, fe);
        if (!c) return true;
        c->first = furthest->first;
        c->last = furthest->last;
        for (hnode* x = c->first; x; x = x->next) x->parent = c;
        furthest->first = furthest->last = nullptr;
        tree_append(furthest, c);
        long fe_index = afe_index(s, fe);
        if (fe_index >= 0) {
            afe_remove(s, static_cast<size_t>(fe_index));
            if (bookmark > static_cast<size_t>(fe_index)) bookmark--;
        }
        afe_insert(s, bookmark, c);
        long fe_level = stack_level(s, fe);
        if (fe_level >= 0) stack_remove(s, static_cast<size_t>(fe_level));
        long fb_level = stack_level(s, furthest);
        if (fb_level >= 0 && s->open_count < kMaxOpen) {
            size_t at = static_cast<size_t>(fb_level) + 1;
            for (size_t i = s->open_count; i > at; i--) {
                s->open[i] = s->open[i - 1];
                s->open_ns[i] = s->open_ns[i - 1];
                s->open_ids[i] = s->open_ids[i - 1];
                s->template_mode[i] = s->template_mode[i - 1];
            }
            s->open[at] = c;
            s->open_ns[at] = kNsHtml;
            s->open_ids[at] = fe_level >= 0 ? fe_id : uint8_t(kTagNone);
            s->template_mode[at] = 0;
            s->open_count++;
        }
    }
    return true;
}

void afe_close_previous(parse_state* s, const char* name, size_t length) {
    long i = afe_find(s, name, length);
    if (i < 0) return;
    long level = stack_level(s, s->afe[i]);
    if (level >= 0)
        for (size_t l = static_cast<size_t>(level) + 1; l < s->open_count; l++)
            if (s->open_ns[l] != kNsHtml || is_cell_fence(s->open_ids[l]) || is_int_point(s, l)) return;
    adoption(s, name, length);
    i = afe_find(s, name, length);
    if (i < 0) return;
    hnode* e = s->afe[i];
    afe_remove(s, static_cast<size_t>(i));
    level = stack_level(s, e);
    if (level >= 0) stack_remove(s, static_cast<size_t>(level));
}

void stash_attrs(parse_state* s, attr_stash* stash, const hattr* a) {
    for (; a; a = a->next) {
        if (stash->count >= kMaxStash) return;
        bool known = false;
        for (const hattr* x = stash->first; x && !known; x = x->next)
            known = x->name_length == a->name_length && std::memcmp(x->name, a->name, a->name_length) == 0;
        if (known) continue;
        auto* copy = static_cast<hattr*>(scratch_alloc(&s->mem, sizeof(hattr)));
        if (!copy) {
            s->stop = true;
            return;
        }
        *copy = *a;
        copy->next = nullptr;
        if (stash->last)
            stash->last->next = copy;
        else
            stash->first = copy;
        stash->last = copy;
        stash->count++;
    }
}

bool apply_attrs(parse_state* s, hnode* e, const attr_stash* stash) {
    if (!e) return true;
    hattr** tail = &e->attrs;
    while (*tail) tail = &(*tail)->next;
    for (const hattr* a = stash->first; a; a = a->next) {
        if (find_attr(e, a->name, a->name_length)) continue;
        auto* copy = static_cast<hattr*>(scratch_alloc(&s->mem, sizeof(hattr)));
        if (!copy) return false;
        *copy = *a;
        copy->next = nullptr;
        *tail = copy;
        tail = &copy->next;
    }
    return true;
}

}  // namespace html
