// The scanning loop, the tokenizer's markup handlers and the start- and
// end-tag rules of both modes.
#include <cstring>

#include "html/html.h"

namespace html {

namespace {

constexpr tag_set kHeadOnlyTags =
    make_tag_set(kTag_base, kTag_basefont, kTag_bgsound, kTag_link, kTag_meta, kTag_noscript, kTag_script, kTag_style,
                 kTag_template, kTag_title, kTag_noframes, kTag_html, kTag_head, kTag_body, kTag_frameset);

constexpr const char* kBreakout[] = {"b",  "big", "blockquote", "body", "br",  "center", "code", "dd",   "div",
                                     "dl", "dt",  "em",         "embed", "h1", "h2",     "h3",   "h4",   "h5",
                                     "h6", "head", "hr",        "i",    "img", "li",     "listing", "menu", "meta",
                                     "nobr", "ol", "p",         "pre",  "ruby", "s",     "small", "span", "strong",
                                     "strike", "sub", "sup",    "table", "tt", "u",      "ul",   "var"};

template <size_t N>
bool in_list(const char* const (&list)[N], const char* name, size_t length) {
    for (const char* n : list)
        if (std::strlen(n) == length && std::memcmp(n, name, length) == 0) return true;
    return false;
}

inline bool is(const char* name, size_t length, const char* lit) {
    return std::strlen(lit) == length && std::memcmp(name, lit, length) == 0;
}

bool name_is(const hnode* e, const char* lower) { return e && ieq(e->data, e->length, lower); }

bool all_blank_or_nul(const char* p, const char* e) {
    for (; p < e; p++)
        if (!is_html_space(static_cast<unsigned char>(*p)) && *p != '\0') return false;
    return true;
}

bool all_blank(const char* p, const char* e) {
    for (; p < e; p++)
        if (!is_html_space(static_cast<unsigned char>(*p))) return false;
    return true;
}

// Level of the nearest open element with this identifier, or -1.
long find_open(const parse_state* s, uint8_t id) {
    for (size_t i = s->open_count; i > 0; i--)
        if (s->open_ids[i - 1] == id && s->open_ns[i - 1] == kNsHtml) return static_cast<long>(i - 1);
    return -1;
}

bool template_open(const parse_state* s) { return find_open(s, kTag_template) >= 0; }

bool current_foreign_not_int(const parse_state* s) {
    return s->open_count && s->open_ns[s->open_count - 1] != kNsHtml && !is_int_point(s, s->open_count - 1);
}

bool is_table_part(uint8_t id) {
    switch (id) {
        case kTag_caption:
        case kTag_col:
        case kTag_colgroup:
        case kTag_tbody:
        case kTag_td:
        case kTag_tfoot:
        case kTag_th:
        case kTag_thead:
        case kTag_tr: return true;
        default: return false;
    }
}

bool is_section(uint8_t id) {
    return id == kTag_caption || id == kTag_colgroup || id == kTag_tbody || id == kTag_thead || id == kTag_tfoot;
}

// Search down for an open element of id; stop at a member of fence or an
// integration point. The level found, or -1.
long search_fenced(const parse_state* s, uint8_t id, const tag_set& fence, bool stop_at_lists = false) {
    for (size_t i = s->open_count; i > 0; i--) {
        size_t l = i - 1;
        if (s->open_ids[l] == id && s->open_ns[l] == kNsHtml) return static_cast<long>(l);
        if (is_int_point(s, l)) return -1;
        if (s->open_ns[l] == kNsHtml && fence.has(s->open_ids[l])) return -1;
        if (stop_at_lists && s->open_ns[l] == kNsHtml && (s->open_ids[l] == kTag_ol || s->open_ids[l] == kTag_ul))
            return -1;
    }
    return -1;
}

// Closes a current colgroup: pops to just above the nearest table below it.
void close_colgroup(parse_state* s) {
    for (size_t i = s->open_count; i > 0; i--) {
        uint8_t id = s->open_ids[i - 1];
        if (id == kTag_template) return;
        if (id == kTag_table) {
            s->open_count = i;
            return;
        }
    }
}

void pop_foreign(parse_state* s) {
    while (s->open_count && s->open_ns[s->open_count - 1] != kNsHtml && !is_int_point(s, s->open_count - 1))
        s->open_count--;
}

// ---- Attributes ---------------------------------------------------------------------------------

struct tag_token {
    const char* name;
    size_t length;
    uint8_t id;
    hattr* attrs;
    const char* attr_start;  // first byte after the name
    const char* resume;      // after the '>' (or the end of the input)
    bool self_closing;
    bool terminated;  // a '>' ended the tag
};

// Adds an attribute unless one of the same name is already there: the first
// value wins, so the element never carries a name twice.
bool add_unique(parse_state* s, hattr**& tail, hattr* first, size_t& count, hattr**& slots, size_t& capacity,
                hattr* a) {
    if (count < 8) {
        for (hattr* x = first; x; x = x->next)
            if (x->name_length == a->name_length && std::memcmp(x->name, a->name, a->name_length) == 0) return false;
    } else {
        if ((count + 1) * 2 > capacity) {
            size_t cap = capacity ? capacity * 2 : 32;
            auto** table = static_cast<hattr**>(scratch_alloc(&s->mem, cap * sizeof(hattr*)));
            if (!table) {
                s->stop = true;
                return false;
            }
            std::memset(table, 0, cap * sizeof(hattr*));
            for (hattr* x = first; x; x = x->next) {
                size_t h = quorvel_fnv1a(x->name, x->name_length) & (cap - 1);
                while (table[h]) h = (h + 1) & (cap - 1);
                table[h] = x;
            }
            slots = table;
            capacity = cap;
        }
        size_t h = quorvel_fnv1a(a->name, a->name_length) & (capacity - 1);
        for (; slots[h]; h = (h + 1) & (capacity - 1))
            if (slots[h]->name_length == a->name_length && std::memcmp(slots[h]->name, a->name, a->name_length) == 0)
                return false;
        slots[h] = a;
    }
    *tail = a;
    tail = &a->next;
    count++;
    return true;
}

// Reads the attributes from p up to the end of the tag.
void read_attributes(parse_state* s, tag_token* t, const char* p) {
    const char* end = s->end;
    hattr* first = nullptr;
    hattr** tail = &first;
    size_t count = 0;
    hattr** slots = nullptr;
    size_t capacity = 0;
    t->terminated = false;
    t->self_closing = false;
    for (;;) {
        while (p < end && is_html_space(static_cast<unsigned char>(*p))) p++;
        if (p >= end) break;
        if (*p == '>') {
            p++;
            t->terminated = true;
            break;
        }
        if (*p == '/') {
            if (p + 1 < end && p[1] == '>') {
                p += 2;
                t->self_closing = true;
                t->terminated = true;
                break;
            }
            p++;
            continue;
        }
        const char* name = p;
        while (p < end && !is_html_space(static_cast<unsigned char>(*p)) && *p != '/' && *p != '=' && *p != '>') p++;
        if (p == name) {  // '=' where a name would start
            p++;
            continue;
        }
        size_t name_length = static_cast<size_t>(p - name);
        auto* lowered = const_cast<char*>(name);  // the working copy is ours
        for (size_t i = 0; i < name_length; i++) lowered[i] = ascii_lower(lowered[i]);
        const char* q = p;
        while (q < end && is_html_space(static_cast<unsigned char>(*q))) q++;
        const char* value = p;
        const char* value_end = p;
        if (q < end && *q == '=') {
            q++;
            while (q < end && is_html_space(static_cast<unsigned char>(*q))) q++;
            if (q < end && (*q == '"' || *q == '\'')) {
                char quote = *q++;
                value = q;
                const char* close = find_byte(q, end, quote);
                value_end = close ? close : end;
                p = close ? close + 1 : end;
            } else {
                value = q;
                while (q < end && !is_html_space(static_cast<unsigned char>(*q)) && *q != '>') q++;
                value_end = q;
                p = q;
            }
        }
        auto* a = static_cast<hattr*>(scratch_alloc(&s->mem, sizeof(hattr)));
        if (!a) {
            s->stop = true;
            return;
        }
        a->name = name;
        a->name_length = static_cast<uint32_t>(name_length);
        a->next = nullptr;
        if (std::memchr(value, '&', static_cast<size_t>(value_end - value))) {
            size_t decoded_length = 0;
            a->value = decode_refs(&s->mem, value, value_end, true, s->html5, &decoded_length);
            if (!a->value) {
                s->stop = true;
                return;
            }
            a->value_length = static_cast<uint32_t>(decoded_length);
        } else {
            a->value = value;
            a->value_length = static_cast<uint32_t>(value_end - value);
        }
        if (!add_unique(s, tail, first, count, slots, capacity, a) && s->stop) return;
    }
    t->attrs = first;
    t->resume = p;
}

// ---- Raw text -------------------------------------------------------------------------------------

bool raw_text_element(bool html5, uint8_t id) {
    if (id == kTag_script || id == kTag_style) return true;
    if (!html5) return false;
    switch (id) {
        case kTag_plaintext:
        case kTag_noframes:
        case kTag_title:
        case kTag_textarea:
        case kTag_iframe:
        case kTag_noembed:
        case kTag_xmp: return true;
        default: return false;
    }
}

// The '<' of the first "</name" followed by a delimiter, or end.
const char* find_end_tag(const char* p, const char* end, const char* name, size_t length) {
    while (p < end) {
        const char* lt = find_byte(p, end, '<');
        if (!lt) return end;
        if (lt + 2 + length < end && lt[1] == '/' && ieq(lt + 2, length, name)) {
            unsigned char c = static_cast<unsigned char>(lt[2 + length]);
            if (is_blank(c) || c == '/' || c == '>') return lt;
        }
        p = lt + 1;
    }
    return end;
}

// Past the '>' of the end tag at lt, quoted strings passed over.
const char* skip_end_tag(const char* lt, const char* end) {
    const char* p = lt + 2;
    while (p < end && *p != '>') {
        if (*p == '"' || *p == '\'') {
            const char* close = find_byte(p + 1, end, *p);
            p = close ? close + 1 : end;
        } else {
            p++;
        }
    }
    return p < end ? p + 1 : end;
}

hnode* make_text(parse_state* s, const char* data, size_t length) {
    hnode* t = new_node(s, kText);
    if (t) {
        t->data = data;
        t->length = length;
    }
    return t;
}

// Copy with each NUL byte replaced by U+FFFD (the bytes themselves when there is none).
const char* nul_to_replacement(parse_state* s, const char* p, size_t n, size_t* out) {
    size_t nuls = 0;
    for (size_t i = 0; i < n; i++) nuls += p[i] == '\0';
    *out = n;
    if (!nuls) return p;
    auto* copy = static_cast<char*>(scratch_alloc(&s->mem, n + 2 * nuls + 1));
    if (!copy) {
        s->stop = true;
        return nullptr;
    }
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] == '\0') {
            copy[k++] = '\xEF';
            copy[k++] = '\xBF';
            copy[k++] = '\xBD';
        } else {
            copy[k++] = p[i];
        }
    }
    *out = k;
    return copy;
}

// Past one line feed at p, written as a byte or as a numeric reference
// ("&#10;", "&#x0A;"), which pre, listing and textarea drop; else p.
const char* skip_leading_lf(const char* p, const char* end) {
    if (p < end && *p == '\n') return p + 1;
    if (end - p < 4 || p[0] != '&' || p[1] != '#') return p;
    const char* q = p + 2;
    bool hex = *q == 'x' || *q == 'X';
    if (hex) q++;
    const char* digits = q;
    uint32_t v = 0;
    for (; q < end; q++) {
        auto c = static_cast<unsigned char>(*q);
        int d = is_ascii_digit(c) ? c - '0' : (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') ? (c | 0x20) - 'a' + 10 : -1;
        if (d < 0) break;
        v = v * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
        if (v > 0x10FFFF) v = 0x110000;
    }
    return q > digits && q < end && *q == ';' && v == 10 ? q + 1 : p;
}

// Takes the content of a raw-text element that was just opened; answers
// where the input resumes.
const char* raw_text(parse_state* s, hnode* e, uint8_t id, const char* p) {
    const char* end = s->end;
    const char* stop;
    if (s->html5 && id == kTag_script)
        stop = script_scan(p, end);
    else if (id == kTag_plaintext)
        stop = end;
    else
        stop = find_end_tag(p, end, kTagInfos[id].name, kTagInfos[id].length);
    if (s->html5 && id == kTag_textarea) p = skip_leading_lf(p, stop);
    if (p < stop) {
        hnode* t = nullptr;
        if (!s->html5) {
            t = make_text(s, p, static_cast<size_t>(stop - p));
        } else if (id == kTag_title || id == kTag_textarea) {
            size_t n = 0;
            const char* d = decode_refs(&s->mem, p, stop, false, true, &n);
            if (!d) {
                s->stop = true;
                return end;
            }
            size_t k = 0;
            auto* w = const_cast<char*>(d);
            for (size_t i = 0; i < n; i++)
                if (d[i] != '\0') w[k++] = d[i];
            if (k) t = make_text(s, d, k);
        } else {
            size_t n = 0;
            const char* d = nul_to_replacement(s, p, static_cast<size_t>(stop - p), &n);
            if (d) t = make_text(s, d, n);
        }
        if (t) {
            if (id == kTag_plaintext && s->html5)
                place(s, t);
            else
                tree_append(e, t);
        }
    }
    // The element is closed (it is the current node when it was pushed).
    if (s->open_count && s->open[s->open_count - 1] == e) s->open_count--;
    if (stop >= end) return end;
    return skip_end_tag(stop, end);
}

// ---- Start tags -----------------------------------------------------------------------------------

// Implied closing by class bits and the HTML5 special cases.
void implied_closing(parse_state* s, uint8_t id) {
    const tag_info* info = id != kTagNone ? &kTagInfos[id] : nullptr;
    while (s->open_count && info) {
        uint8_t cur = current_id(s);
        if (cur == kTagNone) return;
        if (s->open_ns[s->open_count - 1] != kNsHtml) return;
        bool shared = (kTagInfos[cur].end_class & info->closes_classes) != 0;
        if (shared) {
            if (s->html5) {
                if (cur == kTag_option && id == kTag_select) {
                    shared = false;
                } else if (id == kTag_table && (cur == kTag_td || cur == kTag_th || (cur == kTag_p && s->quirks))) {
                    return;
                } else if (cur == kTag_template) {
                    return;
                }
            }
            if (shared) {
                if (cur == kTag_table) afe_clear_to_table_marker(s);
                s->open_count--;
                continue;
            }
        }
        if (!s->html5) return;
        bool pop = false;
        if (kHeadingTags.has(cur) && kHeadingTags.has(id))
            pop = true;
        else if (cur == kTag_table && id == kTag_table)
            pop = true;
        else if (cur == kTag_optgroup && (id == kTag_hr || id == kTag_select) && find_open(s, kTag_select) >= 0)
            pop = true;
        else if (kRubyTags.has(id) && (cur == kTag_p || cur == kTag_rb || cur == kTag_rt || cur == kTag_rp))
            pop = true;
        else if (cur == kTag_rtc && (id == kTag_rb || id == kTag_rtc))
            pop = true;
        else if ((id == kTag_listing || id == kTag_plaintext) && cur == kTag_p)
            pop = true;
        if (!pop) return;
        if (cur == kTag_table) afe_clear_to_table_marker(s);
        s->open_count--;
    }
}

bool any_attr_named(const hattr* a, const char* n1, const char* n2, const char* n3) {
    for (; a; a = a->next) {
        const char* names[3] = {n1, n2, n3};
        for (const char* n : names) {
            size_t l = std::strlen(n);
            if (a->name_length != l) continue;
            // Names were lower-cased while reading: any letter case counts.
            if (std::memcmp(a->name, n, l) == 0) return true;
        }
    }
    return false;
}

// Insertion of the element and what follows it; answers where the input resumes.
const char* insert_element(parse_state* s, tag_token* t, uint8_t ns) {
    const char* name = t->name;
    size_t length = t->length;
    uint8_t id = t->id;
    if (ns != kNsHtml) {
        if (ns == kNsSvg)
            if (const char* adjusted = svg_tag_name(name, length)) {
                name = adjusted;
                length = std::strlen(adjusted);
                id = kTagNone;
            }
        for (hattr* a = t->attrs; a; a = a->next) {
            if (ns == kNsSvg) {
                if (const char* adj = svg_attr_name(a->name, a->name_length)) {
                    a->name = adj;
                    a->name_length = static_cast<uint32_t>(std::strlen(adj));
                }
            } else if (is(a->name, a->name_length, "definitionurl")) {
                a->name = "definitionURL";
            }
        }
    }
    size_t depth = s->open_count;
    hnode* e = open_element(s, name, length, id, ns, t->attrs);
    if (!e) return nullptr;
    bool pushed = s->open_count > depth;
    if (ns == kNsHtml) {
        if (id == kTag_html) s->html_seen = s->html_pushed = true;
        if (id == kTag_form) s->form_open = true;
    }
    const char* resume = t->resume;
    if (!pushed) return resume;
    if (s->html5 && ns == kNsHtml) {
        switch (id) {
            case kTag_table: afe_push_marker(s, true); break;
            case kTag_applet:
            case kTag_marquee:
            case kTag_object:
            case kTag_td:
            case kTag_th:
            case kTag_caption: afe_push_marker(s, false); break;
            default:
                if (kFormattingTags.has(id) && !t->self_closing) afe_push(s, e);
        }
    }
    if (ns == kNsHtml && id != kTagNone && (kTagInfos[id].insert_flags & kInsertVoid)) {
        s->open_count--;
        return resume;
    }
    if (t->self_closing && (ns != kNsHtml || !s->html5)) {
        s->open_count--;
        return resume;
    }
    if (!t->terminated) return resume;
    if (ns == kNsHtml && !t->self_closing && raw_text_element(s->html5, id)) return raw_text(s, e, id, resume);
    if (s->html5 && ns == kNsHtml && (id == kTag_pre || id == kTag_listing)) return skip_leading_lf(resume, s->end);
    return resume;
}

// Template content modes; false when the tag is ignored.
bool template_rules(parse_state* s, uint8_t id) {
    if (current_id(s) != kTag_template || s->open_ns[s->open_count - 1] != kNsHtml) {
        if (is_table_part(id) && template_open(s)) {
            long t = find_open(s, kTag_template);
            for (size_t i = static_cast<size_t>(t) + 1; i < s->open_count; i++) {
                const hnode* e = s->open[i];
                static constexpr const char* kParts[] = {"table", "tbody", "thead", "tfoot", "tr",
                                                         "td",    "th",    "caption", "colgroup", "col"};
                for (const char* n : kParts)
                    if (name_is(e, n)) return true;
            }
            return false;
        }
        return true;
    }
    uint8_t& mode = s->template_mode[s->open_count - 1];
    if (is_table_part(id)) {
        bool cell = id == kTag_td || id == kTag_th;
        switch (mode) {
            case 0:
                mode = cell ? 3 : id == kTag_tr ? 2 : id == kTag_col ? 4 : 1;
                return true;
            case 1:
                if (cell) {
                    mode = 3;
                    return open_element(s, "tbody", 5, kTag_tbody, kNsHtml, nullptr) &&
                           open_element(s, "tr", 2, kTag_tr, kNsHtml, nullptr);
                }
                if (id == kTag_tr) {
                    mode = 2;
                    return open_element(s, "tbody", 5, kTag_tbody, kNsHtml, nullptr) != nullptr;
                }
                if (id == kTag_col) mode = 4;
                return true;
            case 2:
                if (cell) {
                    mode = 3;
                    return open_element(s, "tr", 2, kTag_tr, kNsHtml, nullptr) != nullptr;
                }
                if (id == kTag_tr) return true;
                if (id == kTag_col) {
                    mode = 4;
                    return true;
                }
                return false;
            case 3: return cell;
            case 4: return id == kTag_col;
            default: return false;
        }
    }
    if (id == kTag_frame || id == kTag_frameset) return false;
    if (mode == 0) {
        switch (id) {
            case kTag_base:
            case kTag_basefont:
            case kTag_bgsound:
            case kTag_link:
            case kTag_meta:
            case kTag_noframes:
            case kTag_script:
            case kTag_style:
            case kTag_title:
            case kTag_template: break;
            default: mode = 5;
        }
    }
    return mode != 4;
}

// Pops until the current node is a table, or for a cell a tr, or for a row
// a table section; nothing when a template comes first or no table is open.
void clear_to_table(parse_state* s, bool or_tr, bool or_section) {
    for (size_t i = s->open_count; i > 0; i--) {
        uint8_t id = s->open_ids[i - 1];
        if (id == kTag_template) return;
        if (id == kTag_table || (or_tr && id == kTag_tr) ||
            (or_section && (id == kTag_tbody || id == kTag_thead || id == kTag_tfoot))) {
            s->open_count = i;
            return;
        }
    }
}

// Table fix-ups; false when memory ran out.
bool table_fixups(parse_state* s, uint8_t id) {
    uint8_t ctx = current_id(s);
    if (s->open_count == 0) return true;
    bool cell = id == kTag_td || id == kTag_th;
    bool clear = false;
    switch (ctx) {
        case kTag_tbody:
        case kTag_thead:
        case kTag_tfoot:
        case kTag_tr:
        case kTag_td:
        case kTag_th: clear = id == kTag_caption || id == kTag_col || id == kTag_colgroup; break;
        case kTag_caption: clear = id == kTag_caption || cell || id == kTag_tr; break;
        case kTag_colgroup:
            clear = id == kTag_colgroup || id == kTag_tbody || id == kTag_thead || id == kTag_tfoot || cell ||
                    id == kTag_tr;
            break;
        case kTag_table: break;
        default: clear = is_table_part(id);
    }
    // A row stays in its section: only cells and rows find a place below the
    // table itself.
    if (clear) clear_to_table(s, cell, id == kTag_tr || cell);
    if (current_id(s) == kTag_colgroup && id != kTag_col && id != kTag_caption && id != kTag_template && !clear)
        close_colgroup(s);
    if (id == kTag_input && s->input_hidden && s->open_count >= 2 && current_id(s) == kTag_form &&
        s->open_ns[s->open_count - 1] == kNsHtml && s->open_ids[s->open_count - 2] == kTag_table &&
        s->open_ns[s->open_count - 2] == kNsHtml) {
        s->open_count--;
        s->form_open = false;
    }
    hnode* cur = current(s);
    if (!cur) return true;
    if ((cur->tag == kTag_tbody || cur->tag == kTag_thead || cur->tag == kTag_tfoot) && cell)
        return open_element(s, "tr", 2, kTag_tr, kNsHtml, nullptr) != nullptr;
    if (cur->tag == kTag_table) {
        if (id == kTag_tr) return open_element(s, "tbody", 5, kTag_tbody, kNsHtml, nullptr) != nullptr;
        if (cell)
            return open_element(s, "tbody", 5, kTag_tbody, kNsHtml, nullptr) &&
                   open_element(s, "tr", 2, kTag_tr, kNsHtml, nullptr);
        if (id == kTag_col) return open_element(s, "colgroup", 8, kTag_colgroup, kNsHtml, nullptr) != nullptr;
    }
    return true;
}

// The start-tag rules; answers where the input resumes (NULL: the parse ends).
const char* start_rules(parse_state* s, tag_token* t) {
    const char* name = t->name;
    size_t length = t->length;
    uint8_t id = t->id;
    const bool html5 = s->html5;
    const char* resume = t->resume;

    if (html5 && s->frameset_ok && id != kTagNone && (kTagInfos[id].insert_flags & kInsertFramesetOff)) {
        if (id != kTag_input || !s->input_hidden) s->frameset_ok = false;
    }
    bool head_only = kHeadOnlyTags.has(id);
    if (!s->in_body && !head_only) {
        if (all_blank_or_nul(s->pending, s->pending_end) && !s->head_seen && !s->body_seen && !s->frameset_seen &&
            ((s->open_count == 0 && !s->top.first) ||
             (s->open_count == 1 && s->open_ids[0] == kTag_html && !s->open[0]->first)))
            drop_pending(s);
        // Text before the body's first tag still belongs with the head part.
        if (html5 && !s->frameset_seen) flush_pending(s);
        s->in_body = true;
        if (html5) s->body_start_seen = true;
    }
    if (!s->frameset_seen && (s->open_count == 0 || (s->open_count == 1 && s->open_ids[0] == kTag_html))) {
        if (id == kTag_head) {
            flush_pending(s);
            s->head_seen = true;
            if (html5) stash_attrs(s, &s->head_attrs, t->attrs);
            return resume;
        }
        if (id == kTag_body) {
            flush_pending(s);
            s->body_seen = true;
            if (html5) stash_attrs(s, &s->body_attrs, t->attrs);
            if (html5) s->frameset_ok = false;
            s->body_start_seen = true;
            return resume;
        }
    }
    bool frameset_goes_on = false;  // an accepted frameset skips the html/head/body checks
    if (id == kTag_frameset) {
        bool applies = html5 ? (s->open_count == 0 || s->open_ns[s->open_count - 1] == kNsHtml ||
                                is_int_point(s, s->open_count - 1))
                             : s->open_count > 0;
        if (applies) {
            if (!s->frameset_seen) {
                if (s->frameset_ok && !template_open(s)) {
                    s->frameset_seen = true;
                    s->open_count = (s->open_count && s->open_ids[0] == kTag_html) ? 1 : 0;
                } else {
                    flush_pending(s);
                    return resume;
                }
            }
            frameset_goes_on = true;
        }
    }
    if (!frameset_goes_on) {
        if (s->frameset_seen && (id == kTag_head || id == kTag_body || (id == kTag_html && !s->html_seen))) {
            drop_pending(s);
            return resume;
        }
        if (template_open(s) && (id == kTag_html || id == kTag_head || id == kTag_body)) {
            flush_pending(s);
            return resume;
        }
    }
    if (!html5) {
        flush_pending(s);
        implied_closing(s, id);
        return insert_element(s, t, kNsHtml);
    }
    // Only a frameset document limits what may follow; after the html end
    // tag of any other document the content still goes to the body.
    if ((s->frameset_seen && (s->open_count || s->after_html)) || s->frameset_closed) {
        if (id != kTag_frameset && id != kTag_frame && id != kTag_noframes && id != kTag_html) {
            if (all_blank(s->pending, s->pending_end))
                flush_pending(s);
            else
                drop_pending(s);
            return resume;
        }
    }
    flush_pending(s);
    {
        long sel = find_open(s, kTag_select);
        if (sel >= 0) {
            switch (id) {
                case kTag_select: s->open_count = static_cast<size_t>(sel); return resume;
                case kTag_input:
                case kTag_keygen:
                case kTag_textarea: s->open_count = static_cast<size_t>(sel); break;
                case kTag_option:
                case kTag_optgroup:
                case kTag_script:
                case kTag_template:
                case kTag_hr: break;
                case kTag_caption:
                case kTag_table:
                case kTag_tbody:
                case kTag_td:
                case kTag_tfoot:
                case kTag_th:
                case kTag_thead:
                case kTag_tr: {
                    bool table_below = false;
                    for (long i = 0; i < sel; i++)
                        if (name_is(s->open[i], "table")) table_below = true;
                    if (!table_below) return resume;
                    s->open_count = static_cast<size_t>(sel);
                    break;
                }
                default: return resume;
            }
        }
        if (in_head_noscript(s)) {
            switch (id) {
                case kTag_html: stash_attrs(s, &s->html_attrs, t->attrs); return resume;
                case kTag_head:
                case kTag_noscript: return resume;
                case kTag_link:
                case kTag_meta:
                case kTag_style:
                case kTag_base:
                case kTag_basefont:
                case kTag_bgsound:
                case kTag_template:
                case kTag_script:
                case kTag_noframes: break;
                default: s->open_count--;
            }
        }
        if (id == kTag_form && s->form_open) return resume;
        if (id == kTag_html && (s->html_seen || s->open_count > 1)) {
            stash_attrs(s, &s->html_attrs, t->attrs);
            return resume;
        }
        if (id == kTag_body && s->in_body && !s->frameset_seen) {
            stash_attrs(s, &s->body_attrs, t->attrs);
            s->frameset_ok = false;
            return resume;
        }
        if ((is_table_part(id) || id == kTag_head) && !current_foreign_not_int(s)) {
            bool found = false;
            for (size_t i = s->open_count; i > 0 && !found; i--) {
                uint8_t o = s->open_ids[i - 1];
                found = o == kTag_table || o == kTag_colgroup || o == kTag_template;
            }
            if (!found) return resume;
        }
        if (id == kTag_frame && (!s->frameset_seen || s->frameset_closed)) return resume;
        if ((is(name, length, "svg") || is(name, length, "math")) && find_open(s, kTag_select) >= 0) return resume;
    }
    uint8_t ns = start_ns(s, name, length);
    if (ns == kNsHtml) {
        if (is(name, length, "svg")) ns = kNsSvg;
        if (is(name, length, "math")) ns = kNsMath;
    } else if (in_list(kBreakout, name, length) ||
               (is(name, length, "font") && any_attr_named(t->attrs, "color", "face", "size"))) {
        pop_foreign(s);
        ns = kNsHtml;
    }
    if (ns != kNsHtml) {
        if (current_id(s) == kTag_colgroup && s->open_ns[s->open_count - 1] == kNsHtml) close_colgroup(s);
        return insert_element(s, t, ns);
    }
    if (id == kTag_dd || id == kTag_dt) {
        long l = search_fenced(s, kTag_dd, kDdFenceTags);
        long l2 = search_fenced(s, kTag_dt, kDdFenceTags);
        if (l2 > l) l = l2;
        if (l >= 0) s->open_count = static_cast<size_t>(l);
    }
    if (id == kTag_li) {
        long l = search_fenced(s, kTag_li, kLiFenceTags, true);
        if (l >= 0) s->open_count = static_cast<size_t>(l);
    }
    if (id != kTagNone && ((kTagInfos[id].closes_p & 1) || (id == kTag_table && !s->quirks))) {
        long l = search_fenced(s, kTag_p, kPFenceTags);
        if (l >= 0) s->open_count = static_cast<size_t>(l);
    }
    size_t before = s->open_count;
    hnode* closed_top = s->open_count ? current(s) : nullptr;
    implied_closing(s, id);
    if (id == kTag_table) {
        for (size_t i = s->open_count; i > 0; i--) {
            uint8_t o = s->open_ids[i - 1];
            if (o == kTag_td || o == kTag_th || o == kTag_template || (o == kTag_p && s->quirks)) break;
            if (o == kTag_table && s->open_ns[i - 1] == kNsHtml) {
                afe_clear_to_table_marker(s);
                s->open_count = i - 1;
                implied_closing(s, id);
                break;
            }
        }
    }
    if (s->open_count < before && current_id(s) == kTag_template && closed_top &&
        is_section(closed_top->tag))
        s->template_mode[s->open_count - 1] = 1;
    if (!template_rules(s, id)) return s->stop ? nullptr : resume;
    if (!table_fixups(s, id)) return nullptr;
    if ((id == kTag_a || id == kTag_nobr) && !template_open(s)) afe_close_previous(s, name, length);
    if (id == kTag_button) {
        static constexpr tag_set kButtonFence = make_tag_set(kTag_applet, kTag_caption, kTag_table, kTag_td, kTag_th,
                                                             kTag_marquee, kTag_object, kTag_template);
        long l = search_fenced(s, kTag_button, kButtonFence);
        if (l >= 0) s->open_count = static_cast<size_t>(l);
    }
    if (id == kTagNone || !kTagInfos[id].skip_reconstruct) {
        s->skip_final_reconstruct = false;
        reconstruct(s);
        if (s->stop) return nullptr;
    }
    return insert_element(s, t, kNsHtml);
}

const char* start_tag(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* p = lt + 1;
    const char* name = p;
    while (p < end && !is_html_space(static_cast<unsigned char>(*p)) && *p != '/' && *p != '>') p++;
    tag_token t{};
    t.length = static_cast<size_t>(p - name);
    t.attr_start = p;
    read_attributes(s, &t, p);
    if (s->stop) return nullptr;
    if (!t.terminated && s->html5) {
        // An unterminated start tag at the end of the input makes nothing.
        flush_pending(s);
        return nullptr;
    }
    auto* lowered = const_cast<char*>(name);
    for (size_t i = 0; i < t.length; i++) lowered[i] = ascii_lower(lowered[i]);
    t.name = name;
    if (s->html5 && is(name, t.length, "image")) {
        t.name = "img";
        t.length = 3;
    }
    t.id = tag_lookup(t.name, t.length);
    s->input_hidden = s->html5 && t.id == kTag_input && input_type_hidden(t.attr_start, t.resume);
    if (s->html5) {
        if (!s->content_started) {
            if (all_blank_or_nul(s->pending, s->pending_end)) drop_pending(s);
            s->content_started = true;
        }
        if (s->frameset_ok && !all_blank_or_nul(s->pending, s->pending_end)) s->frameset_ok = false;
    } else {
        s->content_started = true;
    }
    const char* resume = start_rules(s, &t);
    drop_pending(s);
    if (!t.terminated) return nullptr;
    return resume;
}

// ---- End tags -------------------------------------------------------------------------------------

void end_rules_html4(parse_state* s, const char* name, size_t length) {
    uint8_t id = tag_lookup(name, length);
    if (length == 0 || s->open_count == 0) return;
    if (id != kTagNone && (kTagInfos[id].insert_flags & kInsertVoid)) return;
    for (size_t i = s->open_count; i > 0; i--) {
        const hnode* e = s->open[i - 1];
        if (e->length == length && std::memcmp(e->data, name, length) == 0) {
            s->open_count = i - 1;
            return;
        }
    }
}

// exact: the name was written "body" or "html" in lower case.
void end_rules_html5(parse_state* s, bool exact, const char* name, size_t length) {
    uint8_t id = tag_lookup(name, length);
    if (s->open_count == 0) {
        if (!exact) {
            if (is(name, length, "head")) {
                s->head_end_seen = true;
                return;
            }
            if (is(name, length, "html")) {
                s->head_end_seen = true;
                s->after_html = true;
                return;
            }
            if (is(name, length, "body")) {
                s->after_body = true;
                s->html_seen = true;
                return;
            }
            // A formatting end tag still ends its entry in the formatting
            // list, or the element would be re-opened around what follows.
            if (!((id == kTag_p && s->in_body) || is(name, length, "br") || kFormattingTags.has(id))) return;
        }
    }
    if (length == 0) return;
    if (s->open_count && s->open_ns[s->open_count - 1] != kNsHtml) {
        bool stopped = false;
        for (size_t i = s->open_count; i > 0; i--) {
            size_t l = i - 1;
            if (s->open_ns[l] == kNsHtml) break;
            const hnode* e = s->open[l];
            bool same = e->length == length;
            for (size_t k = 0; k < length && same; k++) same = ascii_lower(e->data[k]) == name[k];
            if (same || is_int_point(s, l)) {
                stopped = true;
                break;
            }
        }
        if (!stopped && (is(name, length, "br") || is(name, length, "p"))) pop_foreign(s);
    }
    if (is(name, length, "br")) {
        if (in_head_noscript(s)) s->open_count--;
        size_t depth = s->open_count;
        if (open_element(s, "br", 2, kTag_br, kNsHtml, nullptr) && s->open_count > depth) s->open_count--;
        s->in_body = true;
        return;
    }
    if (id != kTagNone && (kTagInfos[id].insert_flags & kInsertVoid)) return;
    if (is(name, length, "menuitem")) {
        for (size_t i = s->open_count; i > 0; i--) {
            if (name_is(s->open[i - 1], "menuitem")) {
                s->open_count = i - 1;
                return;
            }
            if (s->open_ids[i - 1] != kTagNone && kTagInfos[s->open_ids[i - 1]].special) return;
        }
        return;
    }
    if (id == kTag_form) {
        while (s->open_count) {
            uint8_t c = current_id(s);
            if (c == kTag_option || c == kTag_optgroup || c == kTag_li || c == kTag_dd || c == kTag_dt || c == kTag_p)
                s->open_count--;
            else
                break;
        }
        if (s->open_count && name_is(current(s), "form")) s->open_count--;
        s->form_open = false;
        return;
    }
    if (kHeadingTags.has(id)) {
        for (size_t i = s->open_count; i > 0; i--)
            if (s->open_ns[i - 1] == kNsHtml && kHeadingTags.has(s->open_ids[i - 1])) {
                s->open_count = i - 1;
                return;
            }
    }
    if (id == kTag_p && s->in_body) {
        static constexpr tag_set kFence = make_tag_set(kTag_button, kTag_applet, kTag_caption, kTag_table, kTag_td,
                                                       kTag_th, kTag_marquee, kTag_object, kTag_select, kTag_template);
        if (search_fenced(s, kTag_p, kFence) < 0) {
            size_t depth = s->open_count;
            if (open_element(s, "p", 1, kTag_p, kNsHtml, nullptr) && s->open_count > depth) s->open_count--;
            return;
        }
    }
    if (kFormattingTags.has(id) && adoption(s, name, length)) return;
    long sel = find_open(s, kTag_select);
    if (sel >= 0) {
        if (id != kTag_table && id != kTag_option && id != kTag_optgroup && id != kTag_select && id != kTag_template)
            return;
        if (id == kTag_table) s->open_count = static_cast<size_t>(sel);
    }
    if (id == kTag_html) {
        s->after_html = s->after_body = s->head_end_seen = true;
        s->text_after_body = false;
        return;
    }
    if (id == kTag_body) {
        bool open = false;
        for (size_t i = 0; i < s->open_count; i++) open = open || name_is(s->open[i], "body");
        s->after_body = true;
        if (open) {
            s->text_after_body = false;
        } else {
            s->html_seen = true;
            s->body_start_seen = true;
        }
        return;
    }
    if (id == kTag_head) {
        if (find_open(s, kTag_head) >= 0) {
            s->head_end_seen = true;
        } else {
            // Also after a head start tag: what follows the end tag lies
            // between head and body.
            if (!s->head_end_seen && !s->in_body && !s->frameset_seen) {
                s->head_seen = true;
                s->head_end_seen = true;
            }
            return;
        }
    }
    const tag_info* info = id != kTagNone ? &kTagInfos[id] : nullptr;
    bool is_template = id == kTag_template;
    long match = -1;
    for (size_t i = s->open_count; i > 0; i--) {
        size_t l = i - 1;
        const hnode* e = s->open[l];
        if (s->open_ns[l] == kNsHtml) {
            if (e->length == length && std::memcmp(e->data, name, length) == 0) {
                match = static_cast<long>(l);
                break;
            }
        } else if (!is_template && e->length == length) {
            bool same = true;
            for (size_t k = 0; k < length && same; k++) same = ascii_lower(e->data[k]) == name[k];
            if (same) {
                match = static_cast<long>(l);
                break;
            }
        }
        uint8_t o = s->open_ids[l];
        bool o_special = o != kTagNone && kTagInfos[o].special;
        if (kFormattingTags.has(id)) {
            if (o_special && o != kTag_address && o != kTag_div && o != kTag_p) return;
        } else if (!info || !info->special) {
            if (o_special) return;
        } else if (kHeadingTags.has(id) || is_template) {
            // nothing stops the search: a template end tag closes what its
            // content left open
        } else {
            if (id != kTag_address &&
                (e->tag == kTag_button || e->tag == kTag_marquee || e->tag == kTag_object || e->tag == kTag_applet))
                return;
            if ((id == kTag_li || id == kTag_dd || id == kTag_dt) && (e->tag == kTag_ul || e->tag == kTag_ol)) return;
        }
    }
    if (match < 0) return;
    if (!is_template && s->open_ns[match] == kNsHtml)
        for (size_t l = static_cast<size_t>(match) + 1; l < s->open_count; l++)
            if (is_int_point(s, l)) return;
    if (!is_template)
        for (size_t l = static_cast<size_t>(match) + 1; l < s->open_count; l++)
            if (s->open_ids[l] == kTag_template && s->open_ns[l] == kNsHtml) return;
    uint8_t matched = s->open_ns[match] == kNsHtml ? s->open_ids[match] : uint8_t(kTagNone);
    s->open_count = static_cast<size_t>(match);
    if (matched == kTag_table) afe_clear_to_table_marker(s);
    if (matched == kTag_applet || matched == kTag_marquee || matched == kTag_object || matched == kTag_td ||
        matched == kTag_th || matched == kTag_caption)
        afe_clear_to_marker(s);
    if (id == kTag_frameset && s->frameset_seen) s->frameset_closed = true;
    if (s->open_count && name_is(current(s), "template")) {
        uint8_t& mode = s->template_mode[s->open_count - 1];
        if (id == kTag_tr)
            mode = 2;
        else if (id == kTag_td || id == kTag_th)
            mode = 3;
        else if (is_section(id))
            mode = 1;
    }
}

const char* end_tag(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* p = lt + 2;
    if (s->html5) {
        if (!is_ascii_alpha(static_cast<unsigned char>(*p))) {
            flush_pending(s);
            const char* gt = find_byte(p, end, '>');
            bogus_comment(s, p, static_cast<size_t>((gt ? gt : end) - p));
            return gt ? gt + 1 : nullptr;
        }
        if (!find_byte(p, end, '>')) {
            flush_pending(s);
            return nullptr;
        }
        if (!s->content_started && all_blank_or_nul(s->pending, s->pending_end)) drop_pending(s);
    }
    s->content_started = true;
    flush_pending(s);
    const char* name = p;
    while (p < end && !is_html_space(static_cast<unsigned char>(*p)) && *p != '/' && *p != '>') p++;
    size_t length = static_cast<size_t>(p - name);
    const char* gt = find_byte(p, end, '>');
    bool exact_body_html =
        length == 4 && (std::memcmp(name, "body", 4) == 0 || std::memcmp(name, "html", 4) == 0);
    auto* lowered = const_cast<char*>(name);
    for (size_t i = 0; i < length; i++) lowered[i] = ascii_lower(lowered[i]);
    if (length) {
        if (s->html5)
            end_rules_html5(s, exact_body_html, name, length);
        else
            end_rules_html4(s, name, length);
    }
    return gt ? gt + 1 : nullptr;
}

// ---- Other markup ---------------------------------------------------------------------------------

void place_comment(parse_state* s, hnode* c) {
    if (s->html5 && !s->content_started)
        tree_append(&s->prolog, c);
    else if (!s->after_body)
        place(s, c);
    else if (s->text_after_body)
        place(s, c);
    else if (s->after_html)
        tree_append(&s->post, c);
    else {
        // After the body end tag a comment follows the body, whatever is
        // still open.
        bool html_open = s->open_count && s->open_ids[0] == kTag_html && s->open_ns[0] == kNsHtml;
        tree_append(html_open ? s->open[0] : &s->top, c);
        c->flags |= kPlacedAfterBody | kPlacedInBody;
    }
}

const char* comment(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* p = lt + 4;
    const char* text = p;
    const char* text_end;
    const char* resume;
    if (p < end && *p == '>') {
        text_end = p;
        resume = p + 1;
    } else if (p + 1 < end && p[0] == '-' && p[1] == '>') {
        text_end = p;
        resume = p + 2;
    } else {
        text_end = nullptr;
        resume = nullptr;
        for (const char* q = p; q + 1 < end;) {
            const char* dash = find_byte(q, end - 1, '-');
            if (!dash) break;
            if (dash[1] == '-') {
                if (dash + 2 < end && dash[2] == '>') {
                    text_end = dash;
                    resume = dash + 3;
                    break;
                }
                if (dash + 3 < end && dash[2] == '!' && dash[3] == '>') {
                    text_end = dash;
                    resume = dash + 4;
                    break;
                }
            }
            q = dash + 1;
        }
        if (!text_end) {
            text_end = end;
            while (text_end > text && text_end[-1] == '-') text_end--;
            resume = end;
        }
    }
    flush_pending(s);
    size_t n = 0;
    const char* data = nul_to_replacement(s, text, static_cast<size_t>(text_end - text), &n);
    if (!data) return nullptr;
    hnode* c = new_node(s, kComment);
    if (!c) return nullptr;
    c->data = data;
    c->length = n;
    place_comment(s, c);
    return resume < end ? resume : nullptr;
}

bool starts_with_ci(const char* s, const char* lower) {
    for (; *lower; s++, lower++)
        if (ascii_lower(*s) != *lower) return false;
    return true;
}

// A DOCTYPE that puts a document in quirks mode: another name than html,
// or one of the legacy public identifiers.
bool legacy_doctype(const char* name, size_t name_length, const char* public_id, const char* system_id) {
    if (!(name_length == 4 && std::memcmp(name, "html", 4) == 0)) return true;
    if (system_id && ieq(system_id, std::strlen(system_id), "http://www.ibm.com/data/dtd/v11/ibmxhtml1-transitional.dtd"))
        return true;
    if (!public_id) return false;
    static constexpr const char* kExact[] = {"-//w3o//dtd w3 html strict 3.0//en//", "-/w3c/dtd html 4.0 transitional/en",
                                             "html"};
    for (const char* e : kExact)
        if (ieq(public_id, std::strlen(public_id), e)) return true;
    static constexpr const char* kPrefixes[] = {
        "+//silmaril//",      "-//advasoft ltd//", "-//as//",   "-//ietf//",   "-//metrius//", "-//microsoft//",
        "-//netscape comm. corp.//", "-//o'reilly and associates//", "-//softquad", "-//spyglass//", "-//sq//",
        "-//sun microsystems corp.//", "-//w3c//dtd html 2", "-//w3c//dtd html 3", "-//w3c//dtd html 4.0 frameset//",
        "-//w3c//dtd html 4.0 transitional//", "-//w3c//dtd html experimental", "-//w3c//dtd w3 html//",
        "-//w3o//", "-//webtechs//"};
    for (const char* p : kPrefixes)
        if (starts_with_ci(public_id, p)) return true;
    if (!system_id && (starts_with_ci(public_id, "-//w3c//dtd html 4.01 frameset//") ||
                       starts_with_ci(public_id, "-//w3c//dtd html 4.01 transitional//")))
        return true;
    return false;
}

const char* doctype(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* gt = find_byte(lt, end, '>');
    const char* stop = gt ? gt : end;
    const char* resume = gt ? gt + 1 : nullptr;
    flush_pending(s);
    if (s->has_doctype || s->content_started || in_head_noscript(s)) return resume;
    const char* p = lt + 9;
    while (p < stop && is_html_space(static_cast<unsigned char>(*p))) p++;
    const char* name = p;
    while (p < stop && !is_html_space(static_cast<unsigned char>(*p))) p++;
    size_t name_length = static_cast<size_t>(p - name);
    const char* ids[2] = {nullptr, nullptr};  // public, system
    size_t id_lengths[2] = {0, 0};
    int want = -1;  // which identifier the next quoted string fills
    int after_public = 0;
    while (p < stop) {
        if (stop - p >= 6 && (ieq(p, 6, "public") || ieq(p, 6, "system"))) {
            bool pub = ieq(p, 6, "public");
            want = pub ? 0 : 1;
            after_public = pub ? 1 : 0;
            p += 6;
            continue;
        }
        if ((*p == '"' || *p == '\'') && want >= 0) {
            // A quoted identifier ends at its quote or at the '>' that ends
            // the declaration.
            const char* v = p + 1;
            const char* close = find_byte(v, stop, *p);
            const char* v_end = close ? close : stop;
            size_t n = static_cast<size_t>(v_end - v);
            if (n <= 255 && !ids[want]) {
                ids[want] = v;
                id_lengths[want] = n;
            }
            if (want == 0 && after_public) {
                want = 1;
                after_public = 0;
            } else {
                want = -1;
            }
            p = close ? close + 1 : stop;
            continue;
        }
        p++;
    }
    if (name_length == 0 && !s->html5) return resume;
    if (s->html5) {
        if (name_length > 63) name_length = 63;
        auto* lowered = const_cast<char*>(name);
        for (size_t i = 0; i < name_length; i++) lowered[i] = ascii_lower(lowered[i]);
    }
    s->has_doctype = true;
    s->doctype_name = name;
    s->doctype_name_length = name_length;
    for (int i = 0; i < 2; i++)
        if (ids[i] && id_lengths[i]) {
            char* copy = scratch_copy(&s->mem, ids[i], id_lengths[i]);
            if (!copy) return nullptr;
            (i == 0 ? s->public_id : s->system_id) = copy;
        }
    s->quirks = legacy_doctype(s->doctype_name, s->doctype_name_length, s->public_id, s->system_id);
    return resume;
}

const char* markup_declaration(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* p = lt + 2;
    if (end - p >= 2 && p[0] == '-' && p[1] == '-') return comment(s, lt);
    if (end - p >= 7 && ieq(p, 7, "doctype")) return doctype(s, lt);
    if (s->html5 && end - p >= 7 && std::memcmp(p, "[CDATA[", 7) == 0 && current_foreign_not_int(s)) {
        flush_pending(s);
        const char* q = p + 7;
        const char* close = q;
        while (close + 2 < end && !(close[0] == ']' && close[1] == ']' && close[2] == '>')) close++;
        if (close + 2 >= end) close = end;
        size_t n = 0;
        const char* d = nul_to_replacement(s, q, static_cast<size_t>(close - q), &n);
        if (!d) return nullptr;
        if (n) place(s, make_text(s, d, n));
        return close + 3 <= end && close < end ? close + 3 : nullptr;
    }
    flush_pending(s);
    const char* gt = find_byte(p, end, '>');
    if (s->html5) bogus_comment(s, p, static_cast<size_t>((gt ? gt : end) - p));
    return gt ? gt + 1 : nullptr;
}

const char* processing_instruction(parse_state* s, const char* lt) {
    const char* end = s->end;
    const char* p = lt + 2;
    const char* gt = find_byte(p, end, '>');
    const char* stop = gt ? gt : end;
    flush_pending(s);
    if (s->html5) {
        // The comment keeps the '?' it began with.
        bogus_comment(s, lt + 1, static_cast<size_t>(stop - (lt + 1)));
    } else {
        const char* target = p;
        while (p < stop && !is_html_space(static_cast<unsigned char>(*p))) p++;
        size_t target_length = static_cast<size_t>(p - target);
        while (p < stop && is_html_space(static_cast<unsigned char>(*p))) p++;
        if (target_length) {
            hnode* pi = new_node(s, kPi);
            if (!pi) return nullptr;
            auto* data = static_cast<hattr*>(scratch_alloc(&s->mem, sizeof(hattr)));
            if (!data) return nullptr;
            *data = hattr{target, p, nullptr, static_cast<uint32_t>(target_length), static_cast<uint32_t>(stop - p)};
            pi->data = target;
            pi->length = static_cast<uint32_t>(target_length);
            pi->attrs = data;
            place(s, pi);
        }
    }
    return gt ? gt + 1 : nullptr;
}

}  // namespace

void run_parser(parse_state* s) {
    const char* end = s->end;
    const char* cursor = s->input;
    const char* scan = s->input;
    while (!s->stop) {
        const char* lt = find_byte(scan, end, '<');
        if (!lt || lt + 1 >= end) break;
        auto c = static_cast<unsigned char>(lt[1]);
        s->pending = cursor;
        s->pending_end = lt;
        const char* resume;
        if (c == '!') {
            resume = markup_declaration(s, lt);
        } else if (c == '/') {
            if (lt + 2 >= end) {
                if (s->html5) {
                    scan = end;  // "</" at the very end is text
                    continue;
                }
                flush_pending(s);
                cursor = scan = end;
                break;
            }
            resume = end_tag(s, lt);
        } else if (c == '?') {
            resume = processing_instruction(s, lt);
        } else if (is_ascii_alpha(c)) {
            resume = start_tag(s, lt);
        } else {
            // Anything else after '<' is text.
            scan = lt + 1;
            continue;
        }
        drop_pending(s);
        if (!resume) {
            cursor = scan = end;
            s->stop = true;
            break;
        }
        cursor = scan = resume;
    }
    if (cursor < end && !s->mem.failed) {
        hnode* t = text_node(s, cursor, end);
        if (t) {
            if (s->html5 && s->after_html && s->frameset_seen) {
                bool blank = true;
                for (size_t i = 0; i < t->length; i++) blank = blank && is_blank(static_cast<unsigned char>(t->data[i]));
                if (!blank) t = nullptr;
            }
            if (t) {
                if (s->html5 && !s->skip_final_reconstruct) reconstruct(s);
                place(s, t);
            }
        }
    }
}

}  // namespace html
