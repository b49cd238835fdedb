#include "inputs.h"

#include <cstdint>
#include <map>
#include <random>

namespace bench {
namespace {

constexpr size_t kTarget = 24u << 20;  // about 24 MB per shape

const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta",
                              "iota", "kappa", "lambda", "mu", "nu", "xi", "omicron", "pi"};

struct gen {
    std::mt19937_64 rng{0x5eed};
    std::string out;
    long elements = 0;
    uint64_t next(uint64_t n) { return rng() % n; }
    const char* word() { return kWords[next(16)]; }
    void words(int n) {
        for (int i = 0; i < n; i++) {
            if (i) out += ' ';
            out += word();
        }
    }
};

input make_records() {
    gen g;
    g.out = "<?xml version=\"1.0\"?>\n<records>\n";
    g.elements = 1;
    for (long id = 0; g.out.size() < kTarget; id++) {
        g.out += "  <record id=\"" + std::to_string(id) + "\" kind=\"" + g.word() + "\" score=\"" +
                 std::to_string(g.next(100000)) + "\">\n    <name>";
        g.words(2);
        g.out += "</name>\n    <value unit=\"ms\">" + std::to_string(g.next(1000000)) + "</value>\n    <tags>";
        g.words(3);
        g.out += "</tags>\n  </record>\n";
        g.elements += 4;
    }
    g.out += "</records>\n";
    return {"records", std::move(g.out), g.elements};
}

input make_document() {
    gen g;
    g.out = "<?xml version=\"1.0\"?>\n<book>\n";
    g.elements = 1;
    while (g.out.size() < kTarget) {
        g.out += "<chapter><title>";
        g.words(4);
        g.out += "</title>\n";
        g.elements += 2;
        for (int p = 0; p < 8; p++) {
            g.out += "<para>";
            g.words(12);
            g.out += " <em>";
            g.words(2);
            g.out += "</em> ";
            g.words(10);
            g.out += " <a href=\"#x\">";
            g.words(1);
            g.out += "</a>. <!-- note --></para>\n";
            g.elements += 3;
        }
        g.out += "</chapter>\n";
    }
    g.out += "</book>\n";
    return {"document", std::move(g.out), g.elements};
}

// Deep chains: runs of nesting 40 to 200 deep, an attribute on about one
// level in eight and text on about one in sixteen.
input make_deep() {
    gen g;
    g.out = "<root>";
    g.elements = 1;
    while (g.out.size() < kTarget) {
        int depth = 40 + static_cast<int>(g.next(161));
        for (int i = 0; i < depth; i++) {
            g.out += "<n";
            if (g.next(8) == 0) g.out += " d=\"" + std::to_string(i) + "\"";
            g.out += '>';
            if (g.next(16) == 0) g.out += g.word();
        }
        g.out += g.word();
        for (int i = 0; i < depth; i++) g.out += "</n>";
        g.elements += depth;
    }
    g.out += "</root>";
    return {"deep", std::move(g.out), g.elements};
}

// Empty elements with 18 to 30 attributes, about one value in four in
// single quotes.
input make_attributes() {
    gen g;
    g.out = "<table>\n";
    g.elements = 1;
    while (g.out.size() < kTarget) {
        g.out += "<row";
        int count = 18 + static_cast<int>(g.next(13));
        for (int a = 0; a < count; a++) {
            char quote = g.next(4) == 0 ? '\'' : '"';
            g.out += " c" + std::to_string(a) + "=" + quote + g.word() + std::to_string(g.next(1000)) + quote;
        }
        g.out += "/>\n";
        g.elements++;
    }
    g.out += "</table>\n";
    return {"attributes", std::move(g.out), g.elements};
}

// Five prefixes bound at the root; items re-bind one of them locally, bind
// a fresh prefix of their own, or open an island in another default
// namespace.
input make_namespaces() {
    gen g;
    g.out = "<r:root xmlns:r=\"urn:root\" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" xmlns:c=\"urn:c\" "
            "xmlns:d=\"urn:d\" xmlns=\"urn:default\">\n";
    g.elements = 1;
    for (long id = 0; g.out.size() < kTarget; id++) {
        switch (g.next(3)) {
            case 0:  // a local re-binding of a root prefix
                g.out += "<a:item xmlns:b=\"urn:b" + std::to_string(id % 7) + "\" b:ref=\"" + g.word() +
                         "\"><b:part c:n=\"1\">";
                g.words(2);
                g.out += "</b:part><d:x/></a:item>\n";
                g.elements += 3;
                break;
            case 1: {  // a fresh prefix
                std::string p = "f" + std::to_string(id);
                g.out += "<" + p + ":item xmlns:" + p + "=\"urn:fresh:" + std::to_string(id) + "\" " + p +
                         ":k=\"" + g.word() + "\"><c:part>";
                g.words(2);
                g.out += "</c:part></" + p + ":item>\n";
                g.elements += 2;
                break;
            }
            default:  // a default-namespace island
                g.out += "<island xmlns=\"urn:island\"><plain a:n=\"2\">";
                g.words(2);
                g.out += "</plain><plain>";
                g.words(1);
                g.out += "</plain></island>\n";
                g.elements += 3;
                break;
        }
    }
    g.out += "</r:root>\n";
    return {"namespaces", std::move(g.out), g.elements};
}

input make_references() {
    gen g;
    g.out = "<?xml version=\"1.0\"?>\n<!DOCTYPE doc [<!ENTITY co \"Example &amp; Co\">]>\n<doc>\n";
    g.elements = 1;
    while (g.out.size() < kTarget) {
        g.out += "<t a=\"x &lt; y &amp;&amp; &#x41;\">";
        g.words(3);
        g.out += " &amp; &lt;tag&gt; &#169; &#x20AC; &quot;q&quot; &apos;s&apos; &co; ";
        g.words(3);
        g.out += "</t>\n";
        g.elements++;
    }
    g.out += "</doc>\n";
    return {"references", std::move(g.out), g.elements};
}

}  // namespace

const char* shape_name(shape s) {
    switch (s) {
        case shape::records: return "records";
        case shape::document: return "document";
        case shape::deep: return "deep";
        case shape::attributes: return "attributes";
        case shape::namespaces: return "namespaces";
        case shape::references: return "references";
    }
    return "?";
}

bool shape_of(const char* name, shape* s) {
    for (shape candidate : all_shapes) {
        if (std::string(shape_name(candidate)) == name) {
            *s = candidate;
            return true;
        }
    }
    return false;
}

const input& get_input(shape s) {
    static std::map<shape, input> cache;
    auto it = cache.find(s);
    if (it != cache.end()) return it->second;
    input in;
    switch (s) {
        case shape::records: in = make_records(); break;
        case shape::document: in = make_document(); break;
        case shape::deep: in = make_deep(); break;
        case shape::attributes: in = make_attributes(); break;
        case shape::namespaces: in = make_namespaces(); break;
        case shape::references: in = make_references(); break;
    }
    return cache.emplace(s, std::move(in)).first->second;
}

}  // namespace bench
