// Functions that reach outside the expression's own tree: documents and
// text read from local files, XML parsed from strings, the process
// environment, and the URI and collection functions.
//
// Resources are local files only. A relative reference resolves against the
// static base URI (the context's, or the working directory); file: URIs are
// read as paths; every other scheme is refused, since an expression must
// never make the process fetch over a network.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/core.h"
#include "dom/dom.h"
#include "dom/record_builder.h"
#include "xpath_functions/functions.h"

extern char** environ;

namespace {

using result = quorvel_xpath_result;

constexpr const char* kOutOfMemory = "Out of memory";

bool is_item(const quorvel_node* n) { return reinterpret_cast<uintptr_t>(n) > kXpathLowestItem; }

result* oom(quorvel_xpath_context* c) {
    xpath_context_fail(c, "%s", kOutOfMemory);
    return nullptr;
}

// A growable malloc'd text that reports failure once at the end.
using text_buffer = fn_text;

// ---- References to resources -------------------------------------------------------------------

enum class ref_status { ok, invalid, remote, no_memory };

bool hex_digit(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}
int hex_value(char ch) { return ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10; }

// Length of the scheme before ':' ("file", "http"), 0 when the text has
// none. A single letter is a scheme too, as URIs define it.
size_t scheme_length(const char* s) {
    if (!((*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z'))) return 0;
    size_t n = 1;
    while ((s[n] >= 'a' && s[n] <= 'z') || (s[n] >= 'A' && s[n] <= 'Z') || (s[n] >= '0' && s[n] <= '9') ||
           s[n] == '+' || s[n] == '-' || s[n] == '.')
        n++;
    return s[n] == ':' ? n : 0;
}

bool scheme_is(const char* s, size_t n, const char* name) {
    if (std::strlen(name) != n) return false;
    for (size_t i = 0; i < n; i++)
        if ((s[i] | 0x20) != name[i]) return false;
    return true;
}

// Percent-decodes a path part; false for a malformed escape or an escaped
// NUL.
bool decode_into(text_buffer& out, const char* s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (s[i] != '%') {
            out.append(s + i, 1);
            continue;
        }
        if (i + 2 >= n + 0 && !(i + 2 < n + 1 && hex_digit(s[i + 1]) && hex_digit(s[i + 2]))) return false;
        if (!hex_digit(s[i + 1]) || !hex_digit(s[i + 2])) return false;
        char b = static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
        if (!b) return false;
        out.append(&b, 1);
        i += 2;
    }
    return true;
}

// Bytes a URI reference may not hold as they stand.
bool forbidden_in_uri(unsigned char ch) {
    return ch < 0x20 || ch == 0x7F || std::strchr("\\<>\"{}|^` ", ch) != nullptr;
}

// The absolute file path of a static base: a file: URI or a path; the
// working directory when there is none. Ends without a trailing slash
// unless it is the root.
bool base_directory(quorvel_xpath_context* c, text_buffer& out) {
    const char* base = c->static_base_uri;
    if (base && base[0]) {
        size_t sl = scheme_length(base);
        if (sl && scheme_is(base, sl, "file")) {
            const char* p = base + sl + 1;
            if (p[0] == '/' && p[1] == '/') {
                p += 2;
                if (!std::strncmp(p, "localhost", 9)) p += 9;
            }
            if (!decode_into(out, p, std::strlen(p))) return false;
        } else if (!sl && base[0] == '/') {
            out.append(base);
        } else {
            return false;
        }
        // A base naming a file (no trailing slash) resolves beside it.
        if (out.length && out.data[out.length - 1] != '/') {
            char* slash = std::strrchr(out.data, '/');
            if (slash) out.length = static_cast<size_t>(slash - out.data) + 1;
            out.data[out.length] = '\0';
        }
    } else {
        char buffer[4096];
        if (!getcwd(buffer, sizeof buffer)) return false;
        out.append(buffer);
        out.append("/", 1);
    }
    while (out.length > 1 && out.data[out.length - 1] == '/' && out.data[out.length - 2] == '/') out.length--;
    if (out.length > 1 && out.data[out.length - 1] == '/') out.data[--out.length] = '\0';
    return !out.failed;
}

// Drops "." segments and resolves ".." segments of an absolute path in place.
void normalize_path(char* path) {
    char* w = path;
    const char* r = path;
    while (*r) {
        while (*r == '/') r++;
        const char* seg = r;
        while (*r && *r != '/') r++;
        size_t n = static_cast<size_t>(r - seg);
        if (n == 0) break;
        if (n == 1 && seg[0] == '.') continue;
        if (n == 2 && seg[0] == '.' && seg[1] == '.') {
            while (w > path && *--w != '/') {
            }
            continue;
        }
        *w++ = '/';
        std::memmove(w, seg, n);
        w += n;
    }
    if (w == path) *w++ = '/';
    *w = '\0';
}

// Resolves a reference to the absolute path of a local file (malloc'd) and
// its URI (malloc'd "file://" + path).
ref_status resolve_reference(quorvel_xpath_context* c, const char* reference, char** path_out, char** uri_out) {
    *path_out = *uri_out = nullptr;
    for (const char* p = reference; *p; p++)
        if (forbidden_in_uri(static_cast<unsigned char>(*p))) return ref_status::invalid;
    if (std::strchr(reference, '#')) return ref_status::invalid;
    text_buffer path;
    size_t sl = scheme_length(reference);
    if (sl) {
        if (!scheme_is(reference, sl, "file")) return ref_status::remote;
        const char* p = reference + sl + 1;
        if (p[0] == '/' && p[1] == '/') {
            p += 2;
            if (!std::strncmp(p, "localhost", 9)) p += 9;
            if (*p != '/') return ref_status::remote;  // a file on another host
        }
        if (*p != '/') return ref_status::invalid;
        if (!decode_into(path, p, std::strlen(p))) return ref_status::invalid;
    } else if (reference[0] == '/') {
        if (reference[1] == '/') return ref_status::remote;  // network-path reference
        if (!decode_into(path, reference, std::strlen(reference))) return ref_status::invalid;
    } else {
        if (!base_directory(c, path)) return path.failed ? ref_status::no_memory : ref_status::invalid;
        path.append("/", 1);
        if (!decode_into(path, reference, std::strlen(reference))) return ref_status::invalid;
    }
    char* p = path.take();
    if (!p) return ref_status::no_memory;
    normalize_path(p);
    text_buffer uri;
    uri.append("file://");
    uri.append(p);
    *uri_out = uri.take();
    if (!*uri_out) {
        std::free(p);
        return ref_status::no_memory;
    }
    *path_out = p;
    return ref_status::ok;
}

// Resolves or reports: FODC0005 (documents) / FOUT1170 (text) for an
// invalid reference, the not-found code for a remote one.
bool resolve_or_fail(quorvel_xpath_context* c, const char* function, const char* reference, bool text,
                     char** path, char** uri) {
    switch (resolve_reference(c, reference, path, uri)) {
    case ref_status::ok: return true;
    case ref_status::no_memory: oom(c); return false;
    case ref_status::remote:
        xpath_context_fail_code(c, text ? "FOUT1170" : "FODC0002",
                                "%s(): only local files can be read, not %.180s", function, reference);
        return false;
    default:
        xpath_context_fail_code(c, text ? "FOUT1170" : "FODC0005", "%s(): invalid URI %.200s", function, reference);
        return false;
    }
}

// ---- Files -------------------------------------------------------------------------------------

// Reads a whole regular file: the bytes (malloc'd, NUL after them) and
// their count, or NULL with errno set. Anything but a regular file (a
// directory, a device, a pipe) is refused before it is read: a device may
// never end and a pipe may block.
char* read_file(const char* path, size_t* length) {
    *length = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = e;
        return nullptr;
    }
    size_t capacity = static_cast<size_t>(st.st_size) + 1;
    char* data = static_cast<char*>(std::malloc(capacity));
    size_t size = 0;
    bool ok = data != nullptr;
    if (!ok) errno = ENOMEM;
    while (ok) {
        if (capacity - size < 2) {  // the file grew meanwhile
            size_t grown = capacity * 2;
            char* fresh = static_cast<char*>(std::realloc(data, grown));
            if (!fresh) {
                errno = ENOMEM;
                ok = false;
                break;
            }
            data = fresh;
            capacity = grown;
        }
        ssize_t n = read(fd, data + size, capacity - size - 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
        } else if (n == 0) {
            break;
        } else {
            size += static_cast<size_t>(n);
        }
    }
    int e = errno;
    close(fd);
    if (!ok) {
        std::free(data);
        errno = e;
        return nullptr;
    }
    data[size] = '\0';
    *length = size;
    return data;
}

// True when every prefix of an element or attribute name in the tree is
// declared: text with an undeclared prefix is not namespace-well-formed.
bool prefixes_bound(quorvel_element* root) {
    char prefix[128];
    auto bound = [](quorvel_element* e, const char* p) {
        if (!std::strcmp(p, "xml")) return true;
        const char* uri = quorvel_element_namespace_for_prefix(e, p);
        return uri && uri[0];
    };
    quorvel_node* top = reinterpret_cast<quorvel_node*>(root);
    for (quorvel_node* n = top; n;) {
        if (n->kind == QUORVEL_NODE_ELEMENT) {
            auto* e = reinterpret_cast<quorvel_element*>(n);
            const char* p = quorvel_element_prefix(e);
            if (p && p[0] && !bound(e, p)) return false;
            for (quorvel_attribute* a = quorvel_element_first_attribute(e); a; a = quorvel_attribute_next(a)) {
                const char* name = quorvel_attribute_get_name(a);
                const char* colon = name ? std::strchr(name, ':') : nullptr;
                if (!colon) continue;
                size_t k = static_cast<size_t>(colon - name);
                if (k == 5 && !std::strncmp(name, "xmlns", 5)) continue;
                if (k >= sizeof prefix) return false;
                std::memcpy(prefix, name, k);
                prefix[k] = '\0';
                if (!bound(e, prefix)) return false;
            }
            if (quorvel_node* down = quorvel_node_first_child(n)) {
                n = down;
                continue;
            }
        }
        while (n && n != top && !quorvel_node_next_sibling(n)) n = reinterpret_cast<quorvel_node*>(quorvel_node_parent(n));
        if (!n || n == top) break;
        n = quorvel_node_next_sibling(n);
    }
    return true;
}

// ---- Text decoding -----------------------------------------------------------------------------

enum class text_status { ok, bad_encoding, bad_char, no_memory };

bool xml_char(uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Next code point of well-formed UTF-8, or -1.
int64_t next_utf8(const unsigned char*& p, const unsigned char* end) {
    unsigned char b = *p;
    if (b < 0x80) {
        p++;
        return b;
    }
    int n = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (n < 0 || b > 0xF4 || end - p <= n) return -1;
    uint32_t cp = b & (0x3F >> n);
    for (int i = 1; i <= n; i++) {
        if ((p[i] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    p += n + 1;
    return cp;
}

bool same_name(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return *a == *b;
}

// The encoding a text file is read in: a byte-order mark decides; else
// the name given (NULL: UTF-8). -1 for a name not supported.
enum encoding { kUtf8, kUtf16Le, kUtf16Be, kLatin1, kAscii };

int encoding_of_name(const char* name) {
    if (!name) return kUtf8;
    if (same_name(name, "utf-8") || same_name(name, "utf8")) return kUtf8;
    if (same_name(name, "utf-16")) return kUtf16Be;  // without a mark: big-endian
    if (same_name(name, "utf-16le")) return kUtf16Le;
    if (same_name(name, "utf-16be")) return kUtf16Be;
    if (same_name(name, "iso-8859-1") || same_name(name, "latin1") || same_name(name, "iso_8859-1") ||
        same_name(name, "l1"))
        return kLatin1;
    if (same_name(name, "us-ascii") || same_name(name, "ascii")) return kAscii;
    return -1;
}

// The encoding an XML-looking text declares in its declaration (utf-16
// files are recognised by their mark); -1 when none is declared.
int declared_encoding(const char* bytes, size_t n) {
    if (n < 6 || std::memcmp(bytes, "<?xml", 5) != 0) return -1;
    const char* end = static_cast<const char*>(std::memchr(bytes, '>', n));
    if (!end) return -1;
    const char* e = bytes;
    while ((e = static_cast<const char*>(std::memchr(e, 'e', static_cast<size_t>(end - e)))) != nullptr) {
        if (end - e > 8 && !std::memcmp(e, "encoding", 8)) break;
        e++;
    }
    if (!e) return -1;
    const char* q = e + 8;
    while (q < end && (*q == ' ' || *q == '=')) q++;
    if (q >= end || (*q != '"' && *q != '\'')) return -1;
    char quote = *q++;
    char name[40];
    size_t k = 0;
    while (q < end && *q != quote && k + 1 < sizeof name) name[k++] = *q++;
    name[k] = '\0';
    return encoding_of_name(name);
}

// Decodes file bytes into checked UTF-8 (every character an XML character).
text_status decode_text(const char* bytes, size_t n, const char* encoding_name, char** out) {
    *out = nullptr;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    int enc;
    size_t start = 0;
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        enc = kUtf8;
        start = 3;
    } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        enc = kUtf16Le;
        start = 2;
    } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        enc = kUtf16Be;
        start = 2;
    } else {
        enc = declared_encoding(bytes, n);
        if (enc < 0) enc = encoding_of_name(encoding_name);
        if (enc < 0) return text_status::bad_encoding;
    }
    text_buffer t;
    char u[4];
    if (enc == kUtf16Le || enc == kUtf16Be) {
        if ((n - start) % 2) return text_status::bad_char;
        for (size_t i = start; i < n; i += 2) {
            uint32_t cp = enc == kUtf16Le ? b[i] | (b[i + 1] << 8) : (b[i] << 8) | b[i + 1];
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (i + 3 >= n) return text_status::bad_char;
                uint32_t lo = enc == kUtf16Le ? b[i + 2] | (b[i + 3] << 8) : (b[i + 2] << 8) | b[i + 3];
                if (lo < 0xDC00 || lo > 0xDFFF) return text_status::bad_char;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
            if (!xml_char(cp)) return text_status::bad_char;
            t.append(u, quorvel_utf8_encode(cp, u));
        }
    } else if (enc == kLatin1 || enc == kAscii) {
        for (size_t i = start; i < n; i++) {
            if (enc == kAscii && b[i] >= 0x80) return text_status::bad_char;
            if (!xml_char(b[i])) return text_status::bad_char;
            t.append(u, quorvel_utf8_encode(b[i], u));
        }
    } else {
        const unsigned char* p = b + start;
        const unsigned char* end = b + n;
        while (p < end) {
            int64_t cp = next_utf8(p, end);
            if (cp < 0 || !xml_char(static_cast<uint32_t>(cp))) return text_status::bad_char;
        }
        t.append(bytes + start, n - start);
    }
    *out = t.take();
    return *out ? text_status::ok : text_status::no_memory;
}

// ---- Document cache of one evaluation -----------------------------------------------------------

// Documents read by doc() are remembered by URI in the context's memo
// (entries without a tree), so a second doc() of the URI gives the same
// document. The document itself is one of the context's kept documents.
const quorvel_xpath_memo_entry* memo_find(const quorvel_xpath_context* c, const char* uri) {
    for (size_t i = 0; i < c->memo_count; i++)
        if (!c->memo[i].tree && c->memo[i].text && !std::strcmp(c->memo[i].text, uri)) return &c->memo[i];
    return nullptr;
}

bool memo_add(quorvel_xpath_context* c, char* uri, quorvel_document* doc, quorvel_node* node) {
    if (c->memo_count == c->memo_capacity) {
        size_t capacity = c->memo_capacity ? c->memo_capacity * 2 : 4;
        void* grown = std::realloc(c->memo, capacity * sizeof *c->memo);
        if (!grown) return false;
        c->memo = static_cast<quorvel_xpath_memo_entry*>(grown);
        c->memo_capacity = capacity;
    }
    c->memo[c->memo_count++] = {nullptr, uri, doc, node};
    return true;
}

// Loads the document a reference names (cached for the evaluation). NULL
// with the W3C error set (quiet: no message, for doc-available).
quorvel_node* load_document(quorvel_xpath_context* c, const char* reference, bool* failed_hard) {
    *failed_hard = false;
    char *path = nullptr, *uri = nullptr;
    if (!resolve_or_fail(c, "doc", reference, false, &path, &uri)) return nullptr;
    if (const quorvel_xpath_memo_entry* m = memo_find(c, uri)) {
        std::free(path);
        std::free(uri);
        return m->root;
    }
    size_t length = 0;
    char* bytes = read_file(path, &length);
    if (!bytes) {
        int e = errno;
        if (e == ENOMEM) {
            oom(c);
        } else {
            xpath_context_fail_code(c, "FODC0002", "doc(): cannot read %.180s: %s", path, std::strerror(e));
        }
        std::free(path);
        std::free(uri);
        return nullptr;
    }
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(bytes, length, &status);
    std::free(bytes);
    const char* why = !doc ? quorvel_last_error()
                      : !quorvel_document_root(doc) ? "no root element"
                      : !prefixes_bound(quorvel_document_root(doc)) ? "a name uses an undeclared namespace prefix"
                                                                      : nullptr;
    if (why || !doc) {
        xpath_context_fail_code(c, "FODC0002", "doc(): %.150s is not well-formed XML: %.80s", path,
                                why && why[0] ? why : "unknown");
        quorvel_document_free(doc);
        std::free(path);
        std::free(uri);
        return nullptr;
    }
    std::free(path);
    quorvel_node* node = fn_keep_document(c, doc) ? xpath_document_node(doc) : nullptr;
    if (!node || !memo_add(c, uri, doc, node)) {
        std::free(uri);
        *failed_hard = true;
        oom(c);
        return nullptr;
    }
    return node;
}

// The URI doc() loaded a document from, or NULL.
const char* uri_of_document(const quorvel_xpath_context* c, const quorvel_document* doc) {
    for (size_t i = 0; i < c->memo_count; i++)
        if (!c->memo[i].tree && c->memo[i].document == doc) return c->memo[i].text;
    return nullptr;
}

// Keeps the context's error text and code so a probe can discard its own.
struct error_guard {
    quorvel_xpath_context* c;
    char error[256];
    char code[32];
    explicit error_guard(quorvel_xpath_context* context) : c(context) {
        std::memcpy(error, c->error, sizeof error);
        std::memcpy(code, c->error_code, sizeof code);
    }
    void restore() {
        std::memcpy(c->error, error, sizeof error);
        std::memcpy(c->error_code, code, sizeof code);
    }
};

// Reads a text resource: decoded UTF-8 (malloc'd), or NULL with FOUT1170
// (cannot read) or FOUT1190 (encoding) set.
char* load_text(quorvel_xpath_context* c, const char* function, const char* reference, const char* encoding_name) {
    char *path = nullptr, *uri = nullptr;
    if (!resolve_or_fail(c, function, reference, true, &path, &uri)) return nullptr;
    std::free(uri);
    size_t length = 0;
    char* bytes = read_file(path, &length);
    if (!bytes) {
        int e = errno;
        if (e == ENOMEM) oom(c);
        else xpath_context_fail_code(c, "FOUT1170", "%s(): cannot read %.180s: %s", function, path, std::strerror(e));
        std::free(path);
        return nullptr;
    }
    char* text = nullptr;
    switch (decode_text(bytes, length, encoding_name, &text)) {
    case text_status::ok: break;
    case text_status::bad_encoding:
        xpath_context_fail_code(c, "FOUT1190", "%s(): unsupported encoding %.60s", function, encoding_name);
        break;
    case text_status::bad_char:
        xpath_context_fail_code(c, "FOUT1190", "%s(): %.180s holds bytes that are not characters of its encoding",
                                function, path);
        break;
    case text_status::no_memory: oom(c); break;
    }
    std::free(bytes);
    std::free(path);
    return text;
}

// The reference and encoding arguments of the unparsed-text functions:
// false on failure; *reference NULL for the empty sequence.
bool text_arguments(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count, char** reference,
                    char** encoding_name) {
    *reference = *encoding_name = nullptr;
    if (!fn_optional_string(c, args[0], reference)) return false;
    if (count > 1) {
        if (!fn_optional_string(c, args[1], encoding_name)) {
            std::free(*reference);
            *reference = nullptr;
            return false;
        }
        if (!*encoding_name) {
            std::free(*reference);
            *reference = nullptr;
            xpath_context_fail_code(c, "XPTY0004", "The encoding argument must be one string");
            return false;
        }
    }
    return true;
}

// Parses XML text into a kept document; NULL with FODC0006 on failure.
quorvel_document* parse_kept(quorvel_xpath_context* c, const char* function, const char* text, size_t length) {
    int status = 0;
    quorvel_document* doc = quorvel_parse_string(text, length, &status);
    if (!doc) {
        const char* why = quorvel_last_error();
        xpath_context_fail_code(c, "FODC0006", "%s(): not well-formed XML: %.150s", function, why ? why : "");
        return nullptr;
    }
    if (quorvel_element* root = quorvel_document_root(doc); root && !prefixes_bound(root)) {
        quorvel_document_free(doc);
        xpath_context_fail_code(c, "FODC0006", "%s(): a name uses an undeclared namespace prefix", function);
        return nullptr;
    }
    if (!fn_keep_document(c, doc)) {
        oom(c);
        return nullptr;
    }
    return doc;
}

}  // namespace

// ---- Shared helpers ----------------------------------------------------------------------------

bool fn_optional_string(quorvel_xpath_context* c, const quorvel_xpath_ast_node* argument, char** out) {
    *out = nullptr;
    result* r = fn_evaluate(c, argument);
    if (!r) return false;
    if (r->kind == XPATH_NODESET) {
        const quorvel_xpath_node_set* s = r->value.nodeset;
        size_t n = 0;
        const quorvel_node* item = nullptr;
        for (size_t i = 0; s && i < s->count; i++)
            if (is_item(s->items[i])) {
                if (!n) item = s->items[i];
                n++;
            }
        if (n > 1) {
            xpath_result_free(r);
            xpath_context_fail_code(c, "XPTY0004", "Expected at most one item, got %zu", n);
            return false;
        }
        if (n == 0) {
            xpath_result_free(r);
            return true;
        }
        if (item->kind == kXpathCarrierNode) {
            auto* carrier = reinterpret_cast<const quorvel_xpath_carrier*>(item);
            // Strings and untyped values only: numbers, booleans, dates and
            // the other typed values are not strings.
            bool typed = carrier->ref_kind == XPATH_REF_NONE && carrier->length >= 2 &&
                         carrier->text[0] == kXpathTagMark && carrier->text[1] != 'U';
            if (carrier->ref_kind == XPATH_REF_MAP || carrier->ref_kind == XPATH_REF_FUNCTION || typed) {
                xpath_result_free(r);
                xpath_context_fail_code(c, "XPTY0004", "Expected a string, got a value of another type");
                return false;
            }
        }
        *out = get_node_text(item);
    } else if (r->kind == XPATH_STRING) {
        *out = xpath_to_string(r);
    } else {
        const bool number = r->kind == XPATH_NUMBER;
        xpath_result_free(r);
        xpath_context_fail_code(c, "XPTY0004", "Expected a string, got a %s", number ? "number" : "boolean");
        return false;
    }
    xpath_result_free(r);
    if (!*out) {
        oom(c);
        return false;
    }
    return true;
}

bool fn_keep_document(quorvel_xpath_context* c, quorvel_document* doc) {
    if (c->kept_count == c->kept_capacity) {
        size_t capacity = c->kept_capacity ? c->kept_capacity * 2 : 4;
        void* grown = std::realloc(c->kept_documents, capacity * sizeof(quorvel_document*));
        if (!grown) {
            quorvel_document_free(doc);
            return false;
        }
        c->kept_documents = static_cast<quorvel_document**>(grown);
        c->kept_capacity = capacity;
    }
    c->kept_documents[c->kept_count++] = doc;
    return true;
}

result* fn_sequence_of(quorvel_xpath_context* c, quorvel_node* node) {
    result* r = seq_new();
    if (!r) return oom(c);
    if (node && !xpath_nodeset_add_fast(r->value.nodeset, node)) {
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}

// ---- Documents ---------------------------------------------------------------------------------

result* fn_doc(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    char* reference = nullptr;
    if (!fn_optional_string(c, args[0], &reference)) return nullptr;
    if (!reference) return fn_sequence_of(c, nullptr);
    bool hard = false;
    quorvel_node* node = load_document(c, reference, &hard);
    std::free(reference);
    return node ? fn_sequence_of(c, node) : nullptr;
}

result* fn_doc_available(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    char* reference = nullptr;
    if (!fn_optional_string(c, args[0], &reference)) return nullptr;
    if (!reference) return fn_boolean_result(c, false);
    error_guard guard(c);
    bool hard = false;
    quorvel_node* node = load_document(c, reference, &hard);
    std::free(reference);
    if (hard) return nullptr;
    guard.restore();
    return fn_boolean_result(c, node != nullptr);
}

result* fn_parse_xml(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    char* text = nullptr;
    if (!fn_optional_string(c, args[0], &text)) return nullptr;
    if (!text) return fn_sequence_of(c, nullptr);
    quorvel_document* doc = parse_kept(c, "parse-xml", text, std::strlen(text));
    std::free(text);
    if (!doc) return nullptr;
    if (!quorvel_document_root(doc)) {
        xpath_context_fail_code(c, "FODC0006", "parse-xml(): the text has no root element");
        return nullptr;
    }
    quorvel_node* node = xpath_document_node(doc);
    return node ? fn_sequence_of(c, node) : oom(c);
}

result* fn_parse_xml_fragment(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    char* text = nullptr;
    if (!fn_optional_string(c, args[0], &text)) return nullptr;
    if (!text) return fn_sequence_of(c, nullptr);
    // A text declaration may open the fragment, as one may open an
    // external entity: an encoding, no standalone.
    const char* body = text;
    if (!std::strncmp(body, "<?xml", 5) && (body[5] == ' ' || body[5] == '\t' || body[5] == '\n' || body[5] == '\r')) {
        const char* end = std::strstr(body, "?>");
        const char* encoding_decl = std::strstr(body, "encoding");
        const char* standalone = std::strstr(body, "standalone");
        if (!end || !encoding_decl || encoding_decl > end || (standalone && standalone < end)) {
            std::free(text);
            xpath_context_fail_code(c, "FODC0006", "parse-xml-fragment(): malformed text declaration");
            return nullptr;
        }
        body = end + 2;
    }
    // Parsed inside a wrapper element, so that any mix of text, elements,
    // comments and processing instructions is one document; the wrapper's
    // children are then copied to the top level of a fresh document, whose
    // document node is their parent.
    text_buffer wrapped;
    wrapped.append("<f>");
    wrapped.append(body);
    wrapped.append("</f>");
    std::free(text);
    char* w = wrapped.take();
    if (!w) return oom(c);
    int status = 0;
    quorvel_document* parsed = quorvel_parse_string(w, std::strlen(w), &status);
    std::free(w);
    if (!parsed) {
        const char* why = quorvel_last_error();
        xpath_context_fail_code(c, "FODC0006", "parse-xml-fragment(): not well-formed: %.150s", why ? why : "");
        return nullptr;
    }
    if (quorvel_element* root = quorvel_document_root(parsed); root && !prefixes_bound(root)) {
        quorvel_document_free(parsed);
        xpath_context_fail_code(c, "FODC0006", "parse-xml-fragment(): a name uses an undeclared namespace prefix");
        return nullptr;
    }
    quorvel_document* doc = quorvel_document_create();
    bool ok = doc != nullptr;
    quorvel_build_list list{nullptr, nullptr};
    quorvel_element* first_element = nullptr;
    text_buffer pending;  // adjacent text and CDATA make one text node
    auto flush = [&]() {
        if (!ok || !pending.length) return;
        quorvel_node* t = quorvel_text_node_create(doc, pending.data);
        ok = t && quorvel_build_list_append(doc, &list, t);
        pending.length = 0;
        pending.data[0] = '\0';
    };
    quorvel_element* wrapper = quorvel_document_root(parsed);
    for (quorvel_node* k = wrapper ? quorvel_node_first_child(reinterpret_cast<quorvel_node*>(wrapper)) : nullptr;
         ok && k; k = quorvel_node_next_sibling(k)) {
        quorvel_node* copy = nullptr;
        switch (k->kind) {
        case QUORVEL_NODE_TEXT:
        case QUORVEL_NODE_CDATA: {
            const char* t = k->kind == QUORVEL_NODE_TEXT ? quorvel_text_node_get_content(k)
                                                         : quorvel_cdata_node_get_content(k);
            pending.append(t ? t : "");
            ok = !pending.failed;
            continue;
        }
        case QUORVEL_NODE_ELEMENT: {
            quorvel_element* e = quorvel_element_copy(reinterpret_cast<quorvel_element*>(k), doc);
            if (e && !first_element) first_element = e;
            copy = reinterpret_cast<quorvel_node*>(e);
            break;
        }
        case QUORVEL_NODE_COMMENT: copy = quorvel_comment_node_create(doc, quorvel_comment_node_get_content(k)); break;
        case QUORVEL_NODE_PI:
            copy = quorvel_pi_node_create(doc, quorvel_pi_node_get_target(k), quorvel_pi_node_get_data(k));
            break;
        default: continue;
        }
        flush();
        ok = ok && copy && quorvel_build_list_append(doc, &list, copy);
    }
    flush();
    quorvel_document_free(parsed);
    if (!ok) {
        quorvel_document_free(doc);
        return oom(c);
    }
    doc->first_top = list.first;
    doc->last_top = list.last;
    doc->root = first_element;
    if (!fn_keep_document(c, doc)) return oom(c);
    quorvel_node* node = xpath_document_node(doc);
    return node ? fn_sequence_of(c, node) : oom(c);
}

// ---- Text resources ------------------------------------------------------------------------------

result* fn_unparsed_text(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    char *reference = nullptr, *encoding_name = nullptr;
    if (!text_arguments(c, args, count, &reference, &encoding_name)) return nullptr;
    if (!reference) {
        std::free(encoding_name);
        return fn_sequence_of(c, nullptr);
    }
    char* text = load_text(c, "unparsed-text", reference, encoding_name);
    std::free(reference);
    std::free(encoding_name);
    return text ? fn_string_result_take(c, text) : nullptr;
}

result* fn_unparsed_text_lines(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    char *reference = nullptr, *encoding_name = nullptr;
    if (!text_arguments(c, args, count, &reference, &encoding_name)) return nullptr;
    if (!reference) {
        std::free(encoding_name);
        return fn_sequence_of(c, nullptr);
    }
    char* text = load_text(c, "unparsed-text-lines", reference, encoding_name);
    std::free(reference);
    std::free(encoding_name);
    if (!text) return nullptr;
    result* r = seq_new();
    if (!r) {
        std::free(text);
        return oom(c);
    }
    // Lines end at LF, CR or CR LF; a final line end starts no further line.
    bool ok = true;
    const char* p = text;
    while (ok && *p) {
        const char* e = p;
        while (*e && *e != '\n' && *e != '\r') e++;
        quorvel_node* item = xpath_synth_text(p, static_cast<size_t>(e - p));
        ok = item && xpath_nodeset_add_fast(r->value.nodeset, item);
        if (item && !ok) xpath_nodeset_dispose_node(item);
        if (*e == '\r' && e[1] == '\n') e++;
        p = *e ? e + 1 : e;
    }
    std::free(text);
    if (!ok) {
        xpath_result_free(r);
        return oom(c);
    }
    return r;
}

result* fn_unparsed_text_available(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    char *reference = nullptr, *encoding_name = nullptr;
    if (!text_arguments(c, args, count, &reference, &encoding_name)) return nullptr;
    if (!reference) {
        std::free(encoding_name);
        return fn_boolean_result(c, false);
    }
    error_guard guard(c);
    char* text = load_text(c, "unparsed-text-available", reference, encoding_name);
    bool memory = !text && !std::strcmp(c->error, kOutOfMemory);
    std::free(reference);
    std::free(encoding_name);
    std::free(text);
    if (memory) return nullptr;
    guard.restore();
    return fn_boolean_result(c, text != nullptr);
}

// ---- Environment -------------------------------------------------------------------------------

result* fn_environment_variable(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    if (count != 1) return nullptr;
    char* name = nullptr;
    if (!fn_optional_string(c, args[0], &name)) return nullptr;
    if (!name) {
        xpath_context_fail_code(c, "XPTY0004", "environment-variable() needs a name");
        return nullptr;
    }
    const char* value = std::getenv(name);
    std::free(name);
    if (!value) return fn_sequence_of(c, nullptr);
    return fn_string_result_copy(c, value, std::strlen(value));
}

result* fn_available_env_vars(quorvel_xpath_context* c, quorvel_xpath_ast_node**, size_t count) {
    if (count != 0) return nullptr;
    result* r = seq_new();
    if (!r) return oom(c);
    for (char** e = environ; e && *e; e++) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || eq == *e) continue;
        quorvel_node* item = xpath_synth_text(*e, static_cast<size_t>(eq - *e));
        if (!item || !xpath_nodeset_add_fast(r->value.nodeset, item)) {
            if (item) xpath_nodeset_dispose_node(item);
            xpath_result_free(r);
            return oom(c);
        }
    }
    return r;
}

// ---- URIs and collections ------------------------------------------------------------------------

result* fn_uri_collection(quorvel_xpath_context* c, quorvel_xpath_ast_node** args, size_t count) {
    char* uri = nullptr;
    if (count == 1 && !fn_optional_string(c, args[0], &uri)) return nullptr;
    // No collections are defined, the default one included.
    if (uri) xpath_context_fail_code(c, "FODC0002", "uri-collection(): no collection is available at %.180s", uri);
    else xpath_context_fail_code(c, "FODC0002", "No default collection has been defined");
    std::free(uri);
    return nullptr;
}

const char* xpath_document_uri(const quorvel_xpath_context* c, const quorvel_document* doc) {
    return uri_of_document(c, doc);
}
