// Include processing: the include elements of a document are replaced by
// the XML or text they reference, or by their fallback. The walk keeps its
// own stack of documents being expanded, so neither deep trees nor long
// chains of nested includes use call frames; that stack is also what finds
// inclusion loops.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "dom/dom.h"
#include "xinclude/xinclude.h"

namespace xinclude {

namespace {

constexpr char kNamespace[] = "http://www.w3.org/2001/XInclude";
constexpr size_t kMaxIncludes = 10000;
constexpr size_t kMaxBytes = size_t(1) << 30;

bool in_namespace(quorvel_element* e, const char* local) {
    if (!e || quorvel_node_get_type(reinterpret_cast<quorvel_node*>(e)) != QUORVEL_NODE_ELEMENT) return false;
    if (std::strcmp(quorvel_element_name(e), local) != 0) return false;
    const char* ns = quorvel_element_namespace(e);
    return ns && !std::strcmp(ns, kNamespace);
}

char* copy_of(const char* s, size_t n) {
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!out) return nullptr;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

char* copy_of(const char* s) { return copy_of(s ? s : "", s ? std::strlen(s) : 0); }

// One document being walked: the caller's, or an included one whose
// result replaces `include` in the frame below once its walk is done.
struct frame {
    quorvel_document* doc;
    quorvel_element* root;
    quorvel_element* current;  // next element to visit; NULL when the walk is done
    char* base;
    char* path;     // what was loaded (the caller's base path for the first frame)
    char* pointer;  // NULL for none
    char* href;
    quorvel_element* include;
    // Include elements already replaced: they stay linked (in front of what
    // replaced them) until the walk of this frame is over, and then leave
    // their parents' lists in one pass per parent, since a child list has no
    // backward links to unlink one element cheaply.
    quorvel_element** retired;
    size_t retired_count;
    size_t retired_capacity;
    size_t context_errors;  // the run's count when the frame began
    size_t length;          // bytes loaded for the frame's document
};

// A set of pointers, open addressing; empty slots are NULL.
struct pointer_set {
    const void** slots = nullptr;
    size_t mask = 0;
};

size_t slot_of(const void* p, size_t mask) {
    auto h = reinterpret_cast<uintptr_t>(p) >> 4;
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 20) & mask;
}

bool set_contains(const pointer_set& set, const void* p) {
    if (!set.slots) return false;
    for (size_t i = slot_of(p, set.mask);; i = (i + 1) & set.mask) {
        if (!set.slots[i]) return false;
        if (set.slots[i] == p) return true;
    }
}

// Adds p, growing the set as it fills; false when memory runs out.
bool set_add(pointer_set& set, size_t& count, const void* p) {
    if (!set.slots || 2 * (count + 1) > set.mask + 1) {
        size_t capacity = set.slots ? 2 * (set.mask + 1) : 64;
        auto* slots = static_cast<const void**>(quorvel_work_calloc(capacity * sizeof(void*)));
        if (!slots) return false;
        for (size_t i = 0; set.slots && i <= set.mask; i++) {
            if (!set.slots[i]) continue;
            size_t k = slot_of(set.slots[i], capacity - 1);
            while (slots[k]) k = (k + 1) & (capacity - 1);
            slots[k] = set.slots[i];
        }
        quorvel_work_free(set.slots);
        set.slots = slots;
        set.mask = capacity - 1;
    }
    size_t k = slot_of(p, set.mask);
    while (set.slots[k]) {
        if (set.slots[k] == p) return true;
        k = (k + 1) & set.mask;
    }
    set.slots[k] = p;
    count++;
    return true;
}

struct cache_entry {
    char* path;
    quorvel_document* doc;  // for XML includes; NULL while the path was included once
    char* text;             // for text includes
    size_t length;
    bool xml;
};

struct run {
    const quorvel_xinclude_options* options;
    catalog cat;
    frame* frames = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    size_t includes = 0;
    size_t bytes = 0;
    int status = 0;
    // Elements placed by an XML include: their namespace bindings came with them.
    pointer_set islands;
    size_t island_count = 0;
    // Includes that stayed or hit a loop or limit: what a document included
    // meanwhile became depends on where it was included.
    size_t context_errors = 0;
    // Processed documents and checked texts by path, for the includes of a
    // path after the first (a document is then copied from, never moved).
    cache_entry* cache = nullptr;
    size_t cache_count = 0;
    size_t cache_capacity = 0;
    size_t cache_bytes = 0;
    size_t* cache_index = nullptr;  // open addressing over entry numbers + 1
    size_t cache_index_mask = 0;
    // Included documents released at the end of the call, not before: the
    // addresses of their elements, kept in islands, must not come back.
    quorvel_document** released = nullptr;
    size_t released_count = 0;
    size_t released_capacity = 0;
};

void release_later(run* r, quorvel_document* doc) {
    if (r->released_count == r->released_capacity) {
        size_t capacity = r->released_capacity ? 2 * r->released_capacity : 16;
        auto* grown = static_cast<quorvel_document**>(quorvel_work_realloc(
            r->released, r->released_count * sizeof(quorvel_document*), capacity * sizeof(quorvel_document*)));
        if (!grown) {
            // Without room to wait, the document goes now and the islands
            // forget every address, so none can be mistaken later.
            quorvel_document_free(doc);
            if (r->islands.slots) std::memset(r->islands.slots, 0, (r->islands.mask + 1) * sizeof(void*));
            r->island_count = 0;
            return;
        }
        r->released = grown;
        r->released_capacity = capacity;
    }
    r->released[r->released_count++] = doc;
}

constexpr size_t kCacheBytes = size_t(256) << 20;

size_t path_hash(const char* s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (; *s; s++) h = (h ^ static_cast<unsigned char>(*s)) * 0x100000001b3ull;
    return static_cast<size_t>(h ^ (h >> 29));
}

// The entry of path for XML or text includes, NULL for none.
cache_entry* cache_find(run* r, const char* path, bool xml) {
    if (!r->cache_index) return nullptr;
    for (size_t i = path_hash(path) & r->cache_index_mask;; i = (i + 1) & r->cache_index_mask) {
        size_t k = r->cache_index[i];
        if (!k) return nullptr;
        cache_entry& c = r->cache[k - 1];
        if (c.xml == xml && !std::strcmp(c.path, path)) return &c;
    }
}

// Keeps doc (processed; NULL to note that path was included once) or text
// (checked, NUL-terminated, malloc'd) for path; false, and nothing kept,
// when the cache is full or memory runs out.
bool cache_put(run* r, const char* path, bool xml, quorvel_document* doc, char* text, size_t length) {
    if (r->cache_bytes + length > kCacheBytes) return false;
    if (cache_entry* c = cache_find(r, path, xml)) {
        if (!xml || c->doc || !doc) return false;
        c->doc = doc;
        r->cache_bytes += length;
        return true;
    }
    if (r->cache_count == r->cache_capacity) {
        size_t capacity = r->cache_capacity ? 2 * r->cache_capacity : 64;
        auto* grown = static_cast<cache_entry*>(
            quorvel_work_realloc(r->cache, r->cache_count * sizeof(cache_entry), capacity * sizeof(cache_entry)));
        if (!grown) return false;
        r->cache = grown;
        r->cache_capacity = capacity;
    }
    if (2 * (r->cache_count + 1) > r->cache_index_mask) {
        size_t slots = r->cache_index ? 2 * (r->cache_index_mask + 1) : 256;
        auto* index = static_cast<size_t*>(quorvel_work_calloc(slots * sizeof(size_t)));
        if (!index) return false;
        for (size_t k = 0; k < r->cache_count; k++) {
            size_t i = path_hash(r->cache[k].path) & (slots - 1);
            while (index[i]) i = (i + 1) & (slots - 1);
            index[i] = k + 1;
        }
        quorvel_work_free(r->cache_index);
        r->cache_index = index;
        r->cache_index_mask = slots - 1;
    }
    char* key = copy_of(path);
    if (!key) return false;
    r->cache[r->cache_count] = cache_entry{key, doc, text, length, xml};
    size_t i = path_hash(key) & r->cache_index_mask;
    while (r->cache_index[i]) i = (i + 1) & r->cache_index_mask;
    r->cache_index[i] = ++r->cache_count;
    r->cache_bytes += length;
    return true;
}

void cache_free(run* r) {
    for (size_t k = 0; k < r->cache_count; k++) {
        quorvel_work_free(r->cache[k].path);
        quorvel_document_free(r->cache[k].doc);
        std::free(r->cache[k].text);
    }
    quorvel_work_free(r->cache);
    quorvel_work_free(r->cache_index);
}

void frame_release(frame* f) {
    quorvel_work_free(f->retired);
    quorvel_work_free(f->base);
    quorvel_work_free(f->path);
    quorvel_work_free(f->pointer);
    quorvel_work_free(f->href);
}

bool push(run* r, const frame& f) {
    if (r->count == r->capacity) {
        size_t capacity = r->capacity ? r->capacity * 2 : 8;
        auto* grown = static_cast<frame*>(
            quorvel_work_realloc(r->frames, r->count * sizeof(frame), capacity * sizeof(frame)));
        if (!grown) return false;
        r->frames = grown;
        r->capacity = capacity;
    }
    r->frames[r->count++] = f;
    return true;
}

// Records the first include that stays in place.
void stays(run* r, const char* href, const char* why) {
    r->context_errors++;
    if (r->status) return;
    r->status = QUORVEL_ERR_IO;
    quorvel_set_last_errorf("XInclude: include of \"%s\" left in place: %s", href ? href : "", why);
}

// The element after e in document order that is not below e, within root.
quorvel_element* skip(quorvel_element* e, quorvel_element* root) {
    while (e && e != root) {
        if (quorvel_element* s = quorvel_element_next_sibling_any(e)) return s;
        e = quorvel_element_parent(e);
    }
    return nullptr;
}

quorvel_element* next(quorvel_element* e, quorvel_element* root) {
    if (quorvel_element* c = quorvel_element_first_child_any(e)) return c;
    return skip(e, root);
}

// The first element after node (a child of an element below root, or of
// root) in document order that is not below node.
quorvel_element* after_node(quorvel_node* node, quorvel_element* root) {
    for (quorvel_node* n = quorvel_node_next_sibling(node); n; n = quorvel_node_next_sibling(n))
        if (quorvel_element* e = quorvel_node_as_element(n)) return e;
    quorvel_element* parent = quorvel_node_parent(node);
    return parent ? skip(parent, root) : nullptr;
}

// e has been replaced: it leaves the tree when the frame's walk is done.
void retire(frame& f, quorvel_element* e) {
    if (f.retired_count == f.retired_capacity) {
        size_t capacity = f.retired_capacity ? f.retired_capacity * 2 : 16;
        auto* grown = static_cast<quorvel_element**>(quorvel_work_realloc(
            f.retired, f.retired_count * sizeof(quorvel_element*), capacity * sizeof(quorvel_element*)));
        if (!grown) {
            quorvel_node_unlink(reinterpret_cast<quorvel_node*>(e));
            return;
        }
        f.retired = grown;
        f.retired_capacity = capacity;
    }
    f.retired[f.retired_count++] = e;
}

// Takes the retired elements out of their parents' lists.
void sweep(frame& f) {
    size_t n = f.retired_count;
    if (!n) return;
    f.retired_count = 0;
    if (n == 1) {
        quorvel_node_unlink(reinterpret_cast<quorvel_node*>(f.retired[0]));
        return;
    }
    size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    pointer_set set;
    set.slots = static_cast<const void**>(quorvel_work_calloc(capacity * sizeof(void*)));
    set.mask = capacity - 1;
    if (!set.slots) {
        for (size_t i = 0; i < n; i++) quorvel_node_unlink(reinterpret_cast<quorvel_node*>(f.retired[i]));
        return;
    }
    for (size_t i = 0; i < n; i++) {
        size_t k = slot_of(f.retired[i], set.mask);
        while (set.slots[k]) k = (k + 1) & set.mask;
        set.slots[k] = f.retired[i];
    }
    quorvel_node** children = nullptr;
    size_t children_capacity = 0;
    for (size_t i = 0; i < n; i++) {
        quorvel_element* parent = quorvel_element_parent(f.retired[i]);
        if (!parent) continue;  // its parent was rebuilt already
        auto* p = reinterpret_cast<quorvel_node*>(parent);
        size_t count = quorvel_node_children(p, nullptr, 0);
        if (count > children_capacity) {
            quorvel_work_free(children);
            children = static_cast<quorvel_node**>(quorvel_work_alloc(count * sizeof(quorvel_node*)));
            children_capacity = children ? count : 0;
        }
        if (!children) {
            quorvel_node_unlink(reinterpret_cast<quorvel_node*>(f.retired[i]));
            continue;
        }
        count = quorvel_node_children(p, children, count);
        quorvel_element_remove_children(p);
        for (size_t k = 0; k < count; k++)
            if (!set_contains(set, children[k])) quorvel_element_append_child(parent, children[k]);
    }
    quorvel_work_free(children);
    quorvel_work_free(set.slots);
}

// The base of e: the frame's base with the xml:base attributes of e and its
// ancestors up to the frame's root applied, outermost first.
char* base_of(const frame& f, quorvel_element* e) {
    const char* small[16];
    const char** bases = small;
    size_t count = 0, capacity = 16;
    for (quorvel_element* x = e; x; x = x == f.root ? nullptr : quorvel_element_parent(x)) {
        const char* b = quorvel_element_attribute(x, "xml:base");
        if (!b || !b[0]) continue;
        if (count == capacity) {
            auto* grown = static_cast<const char**>(quorvel_work_alloc(2 * capacity * sizeof(char*)));
            if (!grown) {
                if (bases != small) quorvel_work_free(bases);
                return nullptr;
            }
            std::memcpy(grown, bases, count * sizeof(char*));
            if (bases != small) quorvel_work_free(bases);
            bases = grown;
            capacity *= 2;
        }
        bases[count++] = b;
    }
    char* base = copy_of(f.base);
    while (base && count) {
        const char* x = bases[--count];
        char* merged = !base[0] || has_scheme(x) ? copy_of(x) : merge_uri(base, x);
        quorvel_work_free(base);
        base = merged;
    }
    if (bases != small) quorvel_work_free(bases);
    return base;
}

// True when an element or attribute of the subtree of s names prefix
// (NULL: an unprefixed element, which takes the default namespace).
bool prefix_used(quorvel_element* s, const char* prefix) {
    for (quorvel_element* e = s; e;) {
        const char* p = quorvel_element_prefix(e);
        if (prefix ? p && !std::strcmp(p, prefix) : !p || !p[0]) return true;
        if (prefix) {
            for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                const char* ap = quorvel_attribute_prefix(a);
                if (ap && !std::strcmp(ap, prefix)) return true;
            }
        }
        if (quorvel_element* c = quorvel_element_first_child_any(e)) {
            e = c;
            continue;
        }
        e = skip(e, s);
    }
    return false;
}

// Declares on target (s itself, or its copy) the namespace bindings that s
// has from its ancestors below stop and does not declare itself, so that it
// keeps its names in a new place: all of them (up to and including an
// ancestor that was itself included, whose own bindings came with it), or
// with used_only those that s or its descendants name.
bool carry_namespaces(run* r, quorvel_element* target, quorvel_element* s, quorvel_element* stop, bool used_only) {
    if (set_contains(r->islands, s)) return true;
    for (quorvel_element* a = quorvel_element_parent(s); a && a != stop; a = quorvel_element_parent(a)) {
        size_t n = quorvel_element_namespace_count(a);
        for (size_t i = 0; i < n; i++) {
            const char* prefix = quorvel_element_namespace_decl_prefix(a, i);
            const char* uri = quorvel_element_namespace_decl_uri(a, i);
            if (!uri) continue;
            bool declared = false;
            size_t own = quorvel_element_namespace_count(target);
            for (size_t k = 0; k < own && !declared; k++) {
                const char* p = quorvel_element_namespace_decl_prefix(target, k);
                declared = (!p && !prefix) || (p && prefix && !std::strcmp(p, prefix));
            }
            if (declared || (used_only && !prefix_used(s, prefix))) continue;
            if (quorvel_element_add_namespace_definition(target, prefix, uri) != QUORVEL_OK) return false;
        }
        if (set_contains(r->islands, a)) break;
    }
    return true;
}

bool empty_uri(const char* uri) { return !uri || !uri[0]; }

// Moves every child of fallback, in order, to just after e, which is
// retired. The walk goes on with the first moved element, whose includes
// are processed in turn.
void use_fallback(run* r, size_t index, quorvel_element* e, quorvel_element* fallback, const char* href) {
    frame& f = r->frames[index];
    quorvel_element* parent = quorvel_element_parent(e);
    quorvel_node* node = quorvel_node_first_child(reinterpret_cast<quorvel_node*>(fallback));
    quorvel_node* last = reinterpret_cast<quorvel_node*>(e);
    quorvel_element* first = nullptr;
    if (!node) {
        quorvel_node* empty = quorvel_text_node_create(f.doc, "");
        if (!empty || quorvel_element_insert_after(last, empty) != QUORVEL_OK) {
            stays(r, href, "out of memory");
            f.current = skip(e, f.root);
            return;
        }
        last = empty;
    }
    while (node) {
        quorvel_node* following = quorvel_node_next_sibling(node);
        quorvel_element* moved = quorvel_node_as_element(node);
        if ((moved && !carry_namespaces(r, moved, moved, parent, true)) || quorvel_element_insert_after(last, node) != QUORVEL_OK) {
            stays(r, href, "out of memory");
            f.current = first ? first : skip(e, f.root);
            return;
        }
        if (moved && !first) first = moved;
        last = node;
        node = following;
    }
    f.current = first ? first : after_node(last, f.root);
    retire(f, e);
}

// A resource error: the fallback when e has one, else e stays.
void resource_error(run* r, size_t index, quorvel_element* e, const char* href, const char* why) {
    for (quorvel_element* c = quorvel_element_first_child_any(e); c; c = quorvel_element_next_sibling_any(c)) {
        if (in_namespace(c, "fallback")) {
            use_fallback(r, index, e, c, href);
            return;
        }
    }
    frame& f = r->frames[index];
    char why_more[160];
    std::snprintf(why_more, sizeof why_more, "%s, and no fallback", why);
    stays(r, href, why_more);
    f.current = skip(e, f.root);
}

// Replaces e (which has a parent) by node.
void replace(frame& f, quorvel_element* e, quorvel_node* node, run* r, const char* href) {
    if (quorvel_element_insert_after(reinterpret_cast<quorvel_node*>(e), node) != QUORVEL_OK) {
        stays(r, href, "out of memory");
        f.current = skip(e, f.root);
        return;
    }
    f.current = after_node(node, f.root);
    retire(f, e);
}

// The path the file system reads for a reference: file: URIs lose their
// scheme and authority.
const char* file_path(const char* path) {
    if (!is_file_scheme(path)) return path;
    const char* p = path + 5;
    if (p[0] == '/' && p[1] == '/') {
        const char* slash = std::strchr(p + 2, '/');
        return slash ? slash : "";
    }
    return p;
}

bool same(const char* a, const char* b) { return !std::strcmp(a ? a : "", b ? b : ""); }

void install(run* r, size_t index, quorvel_element* e, quorvel_document* d, quorvel_element* s, bool whole,
             bool take, const char* href);

// Handles the include element e of frame index. An XML include pushes a
// frame for the included document and leaves the frame's walk at e, which
// finish() replaces once that frame is done.
void handle_include(run* r, size_t index, quorvel_element* e) {
    frame& f = r->frames[index];
    const char* href = quorvel_element_attribute(e, "href");
    if (e == f.root || !quorvel_element_parent(e)) {
        stays(r, href, "a root element is not replaced");
        f.current = nullptr;
        return;
    }
    if (!href || !href[0]) {
        stays(r, href, "no href");
        f.current = skip(e, f.root);
        return;
    }
    const char* hash = std::strchr(href, '#');
    size_t resource_length = hash ? static_cast<size_t>(hash - href) : std::strlen(href);
    const char* fragment = hash && hash[1] ? hash + 1 : nullptr;
    const char* parse = quorvel_element_attribute(e, "parse");
    if (!parse || !parse[0]) parse = "xml";
    const char* xpointer = quorvel_element_attribute(e, "xpointer");
    if (xpointer && !xpointer[0]) xpointer = nullptr;
    bool xml = !std::strcmp(parse, "xml");
    if (!xml && std::strcmp(parse, "text") != 0) return resource_error(r, index, e, href, "unknown parse value");
    if (fragment && xpointer) return resource_error(r, index, e, href, "a pointer both in href and in xpointer");
    if (!xml && (fragment || xpointer)) return resource_error(r, index, e, href, "a pointer on a text include");
    if (!resource_length) return resource_error(r, index, e, href, "same-document includes are not supported");
    if (r->includes >= kMaxIncludes) {
        r->context_errors++;
        return resource_error(r, index, e, href, "the limit of 10000 includes was reached");
    }
    r->includes++;

    char* resource = copy_of(href, resource_length);
    char* base = resource ? base_of(f, e) : nullptr;
    char* resolved = base ? (base[0] ? merge_uri(base, resource) : copy_of(resource)) : nullptr;
    quorvel_work_free(resource);
    quorvel_work_free(base);
    char* pointer = xpointer ? copy_of(xpointer) : fragment ? copy_of(fragment) : nullptr;
    char* path = nullptr;
    if (resolved && !catalog_map(&r->cat, resolved, &path)) path = copy_of(resolved);
    char* href_copy = copy_of(href);
    const char* why = nullptr;
    if (!resolved || !path || !href_copy || ((xpointer || fragment) && !pointer)) why = "out of memory";
    int local_only = r->options ? r->options->local_only : 1;
    if (!why && local_only && has_scheme(path) && !is_file_scheme(path)) why = "a remote reference is refused";
    for (size_t i = 0; !why && i < r->count; i++)
        if (same(r->frames[i].path, path) && same(r->frames[i].pointer, pointer)) {
            why = "an inclusion loop";
            r->context_errors++;
        }

    // A path met before in this call: its document or text again.
    cache_entry* cached = why ? nullptr : cache_find(r, path, xml);
    if (cached && xml && !cached->doc) cached = nullptr;  // included once so far: read again
    if (cached && xml) {
        quorvel_element* s = pointer ? xpointer_select(cached->doc, pointer, std::strlen(pointer))
                                     : quorvel_document_root(cached->doc);
        if (s) install(r, index, e, cached->doc, s, !pointer, false, href_copy);
        else why = "the pointer selects nothing";
    } else if (cached) {
        const char* text = cached->text;
        if (cached->length >= 3 && !std::memcmp(text, "\xEF\xBB\xBF", 3)) text += 3;
        if (quorvel_node* node = quorvel_text_node_create(f.doc, text)) replace(f, e, node, r, href_copy);
        else why = "out of memory";
    }
    if (cached && !why) {
        quorvel_work_free(resolved);
        quorvel_work_free(path);
        quorvel_work_free(pointer);
        quorvel_work_free(href_copy);
        return;
    }

    char* data = nullptr;
    size_t length = 0;
    if (!why && !cached) {
        bool refused = false;
        size_t budget = kMaxBytes - r->bytes;
        if (r->options && r->options->loader) {
            char* given = nullptr;
            size_t given_length = 0;
            int rc = r->options->loader(path, r->options->user_data, &given, &given_length);
            if (rc == 1 && given) {
                if (given_length > budget) {
                    why = "the limit of 1 GiB loaded was reached";
                    r->context_errors++;
                } else if ((data = static_cast<char*>(std::malloc(given_length + 1)))) {
                    std::memcpy(data, given, given_length);
                    data[given_length] = '\0';
                    length = given_length;
                } else {
                    why = "out of memory";
                }
                std::free(given);
            } else if (rc < 0) {
                refused = true;
                why = "the loader refused the path";
            }
        }
        if (!why && !data && !refused) {
            switch (load_file(file_path(path), budget, &data, &length)) {
            case kLoaded: break;
            case kNotRegular: why = "not a regular file"; break;
            case kTooLarge:
                why = "the limit of 1 GiB loaded was reached";
                r->context_errors++;
                break;
            case kUnreadable: why = "the resource cannot be read"; break;
            }
        }
    }
    quorvel_document* included = nullptr;
    if (!why && !cached) {
        r->bytes += length;
        if (xml) {
            int status = 0;
            included = quorvel_parse_string_with_encoding(data, length, &status);
            if (!included || status != 0) {
                quorvel_document_free(included);
                included = nullptr;
                why = "not well-formed XML";
            } else if (!quorvel_document_root(included)) {
                quorvel_document_free(included);
                included = nullptr;
                why = "no root element";
            }
        } else {
            const char* text = data;
            size_t n = length;
            if (n >= 3 && !std::memcmp(text, "\xEF\xBB\xBF", 3)) text += 3, n -= 3;
            if (!xml_characters(text, n)) {
                why = "the text is not XML characters in UTF-8";
            } else if (quorvel_node* node = quorvel_text_node_create(f.doc, text)) {
                replace(f, e, node, r, href_copy);
                if (cache_put(r, path, false, nullptr, data, length)) data = nullptr;
            } else {
                why = "out of memory";
            }
        }
    }
    std::free(data);
    if (included) {
        frame nested{included, quorvel_document_root(included), quorvel_document_root(included), resolved, path,
                     pointer, href_copy, e, nullptr, 0, 0, r->context_errors, length};
        if (push(r, nested)) return;  // the new frame owns the strings
        quorvel_document_free(included);
        why = "out of memory";
    }
    if (why) resource_error(r, index, e, href, why);
    quorvel_work_free(resolved);
    quorvel_work_free(path);
    quorvel_work_free(pointer);
    quorvel_work_free(href_copy);
}

// Places a top-level comment or processing instruction n of an included
// document after *last (moved, or copied when n's document stays apart),
// which then is what was placed; answers the node that followed n.
quorvel_node* place_top_level(quorvel_node* n, quorvel_node** last) {
    quorvel_node* following = quorvel_node_next_sibling(n);
    int kind = quorvel_node_get_type(n);
    if ((kind == QUORVEL_NODE_COMMENT || kind == QUORVEL_NODE_PI) &&
        quorvel_element_insert_after(*last, n) == QUORVEL_OK)
        *last = quorvel_node_next_sibling(*last);
    return following;
}

// Replaces e (frame index) by the element s of the processed document d,
// and for a whole document also by d's top-level comments and processing
// instructions. With take, d is the caller's to give: s moves out of it and
// d lives on with the including document; otherwise d stays as it is and
// copies go in.
void install(run* r, size_t index, quorvel_element* e, quorvel_document* d, quorvel_element* s, bool whole,
             bool take, const char* href) {
    frame& f = r->frames[index];
    // A moved element takes its bindings along before it leaves; a copy gets
    // them once it is made.
    bool ok = !take || carry_namespaces(r, s, s, nullptr, false);
    bool had_default = !empty_uri(quorvel_element_namespace_for_prefix(s, nullptr));
    quorvel_node* top_first = nullptr;
    quorvel_node* top_after = nullptr;
    if (ok && whole) {
        top_first = quorvel_document_first_child(d);
        if (top_first == reinterpret_cast<quorvel_node*>(s)) top_first = nullptr;
        top_after = quorvel_node_next_sibling(reinterpret_cast<quorvel_node*>(s));
    }
    bool absorbed = false;
    if (ok && take) {
        if (s == quorvel_document_root(d)) {
            quorvel_node* top = quorvel_document_node(d);
            ok = top && quorvel_element_remove_child(top, reinterpret_cast<quorvel_node*>(s)) == QUORVEL_OK;
        } else {
            ok = quorvel_node_unlink(reinterpret_cast<quorvel_node*>(s)) == QUORVEL_OK;
        }
        // Absorbed, the included document lends its nodes without copies and
        // lives as long as the including one; otherwise they are copied in.
        absorbed = ok && quorvel_document_absorb(f.doc, d) == QUORVEL_OK;
    }
    quorvel_element* installed = nullptr;
    quorvel_node* last = reinterpret_cast<quorvel_node*>(e);
    if (ok) {
        for (quorvel_node* n = top_first; n && n != top_after;) n = place_top_level(n, &last);
        if (absorbed) {
            if (quorvel_element_insert_after(last, reinterpret_cast<quorvel_node*>(s)) == QUORVEL_OK) installed = s;
        } else {
            installed = quorvel_element_insert_copy_after(last, s);
            if (installed && !take) carry_namespaces(r, installed, s, nullptr, false);
        }
        if (installed) last = reinterpret_cast<quorvel_node*>(installed);
        for (quorvel_node* n = installed ? top_after : nullptr; n;) n = place_top_level(n, &last);
    }
    if (take) release_later(r, d);
    if (!installed) {
        stays(r, href, "out of memory");
        f.current = skip(e, f.root);
        return;
    }
    if (!had_default && !empty_uri(quorvel_element_namespace_for_prefix(installed, nullptr)))
        quorvel_element_set_default_namespace(installed, "");
    set_add(r->islands, r->island_count, installed);
    f.current = after_node(last, f.root);
    retire(f, e);
}

// The frame on top is done: its selection replaces its include element in
// the frame below, which goes on after it. The first include of a path
// moves its selection out of the document; a document read again for a
// later include is kept, and copied from for the rest, unless what it
// became depended on where it was included (a loop, a limit or an include
// left in place).
void finish(run* r) {
    frame done = r->frames[--r->count];
    size_t below = r->count - 1;
    quorvel_element* e = done.include;
    bool keep = false;
    if (r->context_errors == done.context_errors) {
        cache_entry* seen = cache_find(r, done.path, true);
        if (!seen) cache_put(r, done.path, true, nullptr, nullptr, 0);
        else keep = cache_put(r, done.path, true, done.doc, nullptr, done.length);
    }
    quorvel_element* s = done.pointer ? xpointer_select(done.doc, done.pointer, std::strlen(done.pointer)) : done.root;
    if (!s) {
        if (!keep) release_later(r, done.doc);
        resource_error(r, below, e, done.href, "the pointer selects nothing");
    } else {
        install(r, below, e, done.doc, s, !done.pointer, !keep, done.href);
    }
    frame_release(&done);
}

int process(quorvel_document* doc, const char* base_path, const quorvel_xinclude_options* options) {
    if (!doc) return QUORVEL_ERR_NULL_ARGUMENT;
    quorvel_element* root = quorvel_document_root(doc);
    if (!root) return QUORVEL_OK;
    run r;
    r.options = options;
    catalog_load(&r.cat, options ? options->catalog : nullptr);
    frame top{doc,    root,    root, copy_of(base_path), normalised_copy(base_path), nullptr, nullptr, nullptr,
              nullptr, 0,       0,    0,                  0};
    if (!top.base || !top.path || !push(&r, top)) {
        frame_release(&top);
        catalog_free(&r.cat);
        quorvel_set_last_error("XInclude: out of memory");
        return QUORVEL_ERR_MEMORY;
    }
    while (r.count) {
        frame& f = r.frames[r.count - 1];
        quorvel_element* e = f.current;
        if (!e) {
            sweep(f);
            if (r.count == 1) break;
            finish(&r);
            continue;
        }
        if (in_namespace(e, "include")) {
            handle_include(&r, r.count - 1, e);
        } else {
            f.current = next(e, f.root);
        }
    }
    frame_release(&r.frames[0]);
    quorvel_work_free(r.frames);
    quorvel_work_free(r.islands.slots);
    cache_free(&r);
    for (size_t i = 0; i < r.released_count; i++) quorvel_document_free(r.released[i]);
    quorvel_work_free(r.released);
    catalog_free(&r.cat);
    return r.status;
}

quorvel_element* include_element(quorvel_element* e) { return in_namespace(e, "include") ? e : nullptr; }

}  // namespace

}  // namespace xinclude

extern "C" {

QUORVEL_API int quorvel_xinclude_process(quorvel_document* doc, const char* base_path) {
    return xinclude::process(doc, base_path, nullptr);
}

QUORVEL_API int quorvel_xinclude_process_opts(quorvel_document* doc, const char* base_path,
                                              const quorvel_xinclude_options* options) {
    return xinclude::process(doc, base_path, options);
}

QUORVEL_API int quorvel_xinclude_is_include_element(quorvel_element* element) {
    return xinclude::in_namespace(element, "include") ? 1 : 0;
}

QUORVEL_API int quorvel_xinclude_is_fallback_element(quorvel_element* element) {
    return xinclude::in_namespace(element, "fallback") ? 1 : 0;
}

QUORVEL_API const char* quorvel_xinclude_get_href(quorvel_element* element) {
    quorvel_element* e = xinclude::include_element(element);
    return e ? quorvel_element_attribute(e, "href") : nullptr;
}

QUORVEL_API const char* quorvel_xinclude_get_parse(quorvel_element* element) {
    quorvel_element* e = xinclude::include_element(element);
    if (!e) return nullptr;
    const char* parse = quorvel_element_attribute(e, "parse");
    return parse && parse[0] ? parse : "xml";
}

QUORVEL_API const char* quorvel_xinclude_get_xpointer(quorvel_element* element) {
    quorvel_element* e = xinclude::include_element(element);
    return e ? quorvel_element_attribute(e, "xpointer") : nullptr;
}

QUORVEL_API const char* quorvel_xinclude_get_encoding(quorvel_element* element) {
    quorvel_element* e = xinclude::include_element(element);
    return e ? quorvel_element_attribute(e, "encoding") : nullptr;
}

}  // extern "C"
