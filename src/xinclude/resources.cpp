// References, the catalog and resource loading for include processing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xinclude/xinclude.h"

namespace xinclude {

namespace {

char* copy_of(const char* s, size_t n) {
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (!out) return nullptr;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

// Normalises a path in place: "." segments go, ".." takes the segment
// before it (kept when there is none to take in a relative path, dropped
// at the top of an absolute one); a leading '/' stays, and so does a
// trailing one, which a last "." or ".." segment also leaves.
void normalise(char* path) {
    size_t n = std::strlen(path);
    bool absolute = n && path[0] == '/';
    size_t out = absolute ? 1 : 0;  // path[0, out) is the result so far; it ends in '/' or is empty
    size_t in = out;
    size_t kept = 0;      // segments written
    size_t anchored = 0;  // of them, leading ".." of a relative path
    for (;;) {
        size_t end = in;
        while (end < n && path[end] != '/') end++;
        size_t length = end - in;
        bool last = end >= n;
        bool dot = length == 1 && path[in] == '.';
        bool dotdot = length == 2 && path[in] == '.' && path[in + 1] == '.';
        if (dotdot) {
            if (kept > anchored) {
                // Remove the previous segment: back over its slash and bytes.
                size_t back = out - 1;
                while (back > 0 && path[back - 1] != '/') back--;
                out = back;
                kept--;
            } else if (!absolute) {
                std::memmove(path + out, "../", 3);
                out += 3;
                kept++;
                anchored++;
            }
        } else if (!dot) {
            std::memmove(path + out, path + in, length);
            out += length;
            if (!last) path[out++] = '/';
            if (length || !last) kept++;
        }
        if (last) break;
        in = end + 1;
    }
    path[out] = '\0';
}

}  // namespace

bool has_scheme(const char* text) {
    if (!text) return false;
    for (size_t i = 0; text[i]; i++) {
        char c = text[i];
        if (c == ':') return i > 0;
        if (c == '/' || c == '?' || c == '#') return false;
    }
    return false;
}

bool is_file_scheme(const char* text) {
    return text && (text[0] | 0x20) == 'f' && (text[1] | 0x20) == 'i' && (text[2] | 0x20) == 'l' &&
           (text[3] | 0x20) == 'e' && text[4] == ':';
}

char* merge_uri(const char* base, const char* reference) {
    if (!base) base = "";
    if (!reference) reference = "";
    if (!reference[0]) return copy_of(base, std::strlen(base));
    if (!base[0]) return copy_of(reference, std::strlen(reference));
    size_t rn = std::strlen(reference);
    if (reference[0] == '/' && reference[1] == '/') {
        // Network-path reference: it takes the base's scheme.
        const char* colon = has_scheme(base) ? std::strchr(base, ':') : nullptr;
        if (!colon) return copy_of(reference, rn);
        size_t sn = static_cast<size_t>(colon - base) + 1;
        auto* out = static_cast<char*>(quorvel_work_alloc(sn + rn + 1));
        if (!out) return nullptr;
        std::memcpy(out, base, sn);
        std::memcpy(out + sn, reference, rn + 1);
        return out;
    }
    if (has_scheme(reference) || reference[0] == '/') return copy_of(reference, rn);
    size_t bn = std::strcspn(base, "?#");
    size_t dir = bn;
    while (dir > 0 && base[dir - 1] != '/') dir--;
    // dir is the length up to and including the last '/', 0 without one.
    // Room for one "../" written over a last ".." segment.
    auto* out = static_cast<char*>(quorvel_work_alloc(dir + rn + 2));
    if (!out) return nullptr;
    std::memcpy(out, base, dir);
    std::memcpy(out + dir, reference, rn + 1);
    // The scheme and authority of a base such as "http://host/" are not
    // segments: normalise only what follows them.
    char* path = out;
    if (has_scheme(out)) {
        path = std::strchr(out, ':') + 1;
        if (path[0] == '/' && path[1] == '/') {
            char* slash = std::strchr(path + 2, '/');
            path = slash ? slash : path + std::strlen(path);
        }
    }
    normalise(path);
    return out;
}

char* normalised_copy(const char* path) {
    if (!path) path = "";
    size_t n = std::strlen(path);
    auto* out = static_cast<char*>(quorvel_work_alloc(n + 2));
    if (!out) return nullptr;
    std::memcpy(out, path, n + 1);
    if (!has_scheme(out)) normalise(out);
    return out;
}

void catalog_load(catalog* c, const char* path) {
    c->text = nullptr;
    c->length = 0;
    if (!path || !path[0]) return;
    char* text = nullptr;
    size_t length = 0;
    if (load_file(path, size_t(64) << 20, &text, &length) == kLoaded) {
        c->text = text;
        c->length = length;
    }
}

void catalog_free(catalog* c) {
    std::free(c->text);
    c->text = nullptr;
    c->length = 0;
}

namespace {

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool catalog_map(const catalog* c, const char* path, char** out) {
    *out = nullptr;
    if (!c->text) return false;
    const char* p = c->text;
    const char* end = p + c->length;
    size_t path_length = std::strlen(path);
    while (p < end) {
        const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
        if (!lt) return false;
        p = lt + 1;
        while (p < end && space(*p)) p++;
        if (end - p < 3 || std::memcmp(p, "uri", 3) != 0) continue;
        p += 3;
        if (p < end && !space(*p) && *p != '/' && *p != '>') continue;
        const char* name = nullptr;
        size_t name_length = 0;
        const char* uri = nullptr;
        size_t uri_length = 0;
        bool have_name = false, have_uri = false;
        // Attributes up to the end of the tag.
        while (p < end && *p != '>') {
            while (p < end && (space(*p) || *p == '/')) p++;
            if (p >= end || *p == '>') break;
            const char* key = p;
            while (p < end && !space(*p) && *p != '=' && *p != '>' && *p != '/') p++;
            size_t key_length = static_cast<size_t>(p - key);
            while (p < end && space(*p)) p++;
            if (p >= end || *p != '=') continue;
            p++;
            while (p < end && space(*p)) p++;
            if (p >= end || (*p != '"' && *p != '\'')) continue;
            char quote = *p++;
            const char* value = p;
            while (p < end && *p != quote) p++;
            size_t value_length = static_cast<size_t>(p - value);
            if (p < end) p++;
            if (key_length == 4 && !std::memcmp(key, "name", 4) && !have_name) {
                name = value;
                name_length = value_length;
                have_name = true;
            } else if (key_length == 3 && !std::memcmp(key, "uri", 3) && !have_uri) {
                uri = value;
                uri_length = value_length;
                have_uri = true;
            }
        }
        if (have_name && have_uri && name_length == path_length && !std::memcmp(name, path, path_length)) {
            *out = copy_of(uri, uri_length);
            return true;
        }
    }
    return false;
}

load_result load_file(const char* path, size_t limit, char** out, size_t* length) {
    *out = nullptr;
    *length = 0;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return kUnreadable;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return kUnreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return kNotRegular;
    }
    size_t size = static_cast<size_t>(st.st_size);
    if (st.st_size < 0 || size > limit) {
        ::close(fd);
        return kTooLarge;
    }
    auto* buffer = static_cast<char*>(std::malloc(size + 1));
    if (!buffer) {
        ::close(fd);
        return kUnreadable;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t r = ::read(fd, buffer + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    // A file that shrank while read is taken as far as it went.
    buffer[got] = '\0';
    *out = buffer;
    *length = got;
    return kLoaded;
}

bool xml_characters(const char* text, size_t length) {
    auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        unsigned c = s[i];
        if (c < 0x80) {
            if (c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D) return false;
            i++;
            continue;
        }
        uint32_t cp;
        size_t n;
        if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            n = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (length - i < n) return false;
        for (size_t k = 1; k < n; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return false;
        i += n;
    }
    return true;
}

}  // namespace xinclude
