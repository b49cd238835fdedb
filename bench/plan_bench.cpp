// Extraction plans against hand-written extraction: generated order
// records (about 24 MB, fixed seed) typed into the same records by
//   (a) a plan walk of the parsed document,
//   (b) hand code on this library's navigation API,
//   (c) hand code on pugixml, and pugixml's precompiled XPath,
//   (d) materialize (parse and walk) against this library's parse alone,
//       pugixml parse plus hand code and libxml2 parse plus hand code.
// One run; each figure is the median of several rounds.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <vector>

#include "quorvel.h"

namespace {

struct order {
    std::string id, date;
    long long qty = 0;
    double price = 0;
    bool paid = false;
    std::string vip, customer;
    std::vector<std::string> tags;
    bool operator==(const order&) const = default;
};

std::string make_orders(size_t target) {
    std::mt19937 rng(42);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char* const names[] = {"Ann Lee", "Bo Stone", "Cy Park", "Di Moss", "Ed Fox"};
    static const char* const tags[] = {"gift", "rush", "fragile", "bulk", "promo"};
    std::string out = "<orders>\n";
    out.reserve(target + 4096);
    char buf[512];
    for (long i = 0; out.size() < target; i++) {
        int n = std::snprintf(buf, sizeof buf,
                              "<order id=\"o%ld\" date=\"2026-%02d-%02d\"><qty>%d</qty><price>%d.%02d</price>"
                              "<paid>%s</paid><customer vip=\"%s\">%s</customer>",
                              i, 1 + pick(12), 1 + pick(28), 1 + pick(500), pick(1000), pick(100),
                              pick(2) ? "true" : "false", pick(2) ? "yes" : "no", names[pick(5)]);
        out.append(buf, static_cast<size_t>(n));
        for (int t = pick(4); t > 0; t--) out += std::string("<tag>") + tags[pick(5)] + "</tag>";
        out += "<note>Leave at the door, ring twice, and mind the dog in the garden.</note></order>\n";
    }
    return out + "</orders>\n";
}

// ---- (a) plan walk ------------------------------------------------------------------

quorvel_plan* order_plan() {
    static quorvel_plan_attr_row order_attrs[2] = {};
    order_attrs[0].name = "id";
    order_attrs[1].name = "date";
    static quorvel_plan_child_row order_rows[5] = {};
    const char* names[] = {"qty", "price", "paid", "customer", "tag"};
    const uint8_t kinds[] = {1, 1, 1, 3, 2};
    const uint8_t tags[] = {1, 2, 3, 0, 0};
    for (int i = 0; i < 5; i++) {
        order_rows[i].name = names[i];
        order_rows[i].kind = kinds[i];
        order_rows[i].type_tag = tags[i];
        order_rows[i].ns_mode = 2;
        order_rows[i].element_row_index = 2;
    }
    static quorvel_plan_attr_row customer_attrs[1] = {};
    customer_attrs[0].name = "vip";
    static quorvel_plan_child_row root_rows[1] = {};
    root_rows[0].name = "order";
    root_rows[0].kind = 3;
    root_rows[0].element_row_index = 1;
    root_rows[0].ns_mode = 2;
    static quorvel_plan_element_row rows[3] = {};
    rows[0].name = "orders";
    rows[0].child_rows = root_rows;
    rows[0].child_row_count = 1;
    rows[1].name = "order";
    rows[1].attr_rows = order_attrs;
    rows[1].attr_row_count = 2;
    rows[1].child_rows = order_rows;
    rows[1].child_row_count = 5;
    rows[2].name = "customer";
    rows[2].attr_rows = customer_attrs;
    rows[2].attr_row_count = 1;
    rows[2].flags = QUORVEL_PLAN_OWN_TEXT;
    quorvel_plan_spec spec{1, 3, rows};
    int st = 0;
    return quorvel_plan_build(&spec, &st);
}

void from_result(const quorvel_plan_value* root, std::vector<order>* out) {
    size_t n = quorvel_plan_value_count(root);
    out->clear();
    out->resize(n);
    for (size_t i = 0; i < n; i++) {
        const quorvel_plan_value* v = quorvel_plan_value_at(root, i);
        order& o = (*out)[i];
        o.id = quorvel_plan_value_attribute(v, "id");
        o.date = quorvel_plan_value_attribute(v, "date");
        size_t m = quorvel_plan_value_count(v);
        for (size_t k = 0; k < m; k++) {
            const quorvel_plan_value* c = quorvel_plan_value_at(v, k);
            const char* name = quorvel_plan_value_name(c);
            switch (name[0]) {
                case 'q': quorvel_plan_value_int(c, &o.qty); break;
                case 'p':
                    if (name[1] == 'r') {
                        quorvel_plan_value_float(c, &o.price);
                    } else {
                        int b = 0;
                        quorvel_plan_value_bool(c, &b);
                        o.paid = b;
                    }
                    break;
                case 'c': {
                    o.vip = quorvel_plan_value_attribute(c, "vip");
                    const quorvel_plan_value* text = quorvel_plan_value_at(c, 0);
                    o.customer = text ? quorvel_plan_value_string(text) : "";
                    break;
                }
                case 't':
                    for (size_t t = 0; t < quorvel_plan_value_count(c); t++)
                        o.tags.emplace_back(quorvel_plan_value_string(quorvel_plan_value_at(c, t)));
                    break;
            }
        }
    }
}

// ---- Hand code helpers ---------------------------------------------------------------

bool parse_bool(const char* s) { return std::strcmp(s, "true") == 0 || std::strcmp(s, "1") == 0; }

// (b) this library's navigation API.
void hand_quorvel(quorvel_element* root, std::vector<order>* out) {
    out->clear();
    for (quorvel_element* e = quorvel_element_first_child_any(root); e; e = quorvel_element_next_sibling_any(e)) {
        order& o = out->emplace_back();
        o.id = quorvel_element_attribute(e, "id");
        o.date = quorvel_element_attribute(e, "date");
        for (quorvel_element* c = quorvel_element_first_child_any(e); c; c = quorvel_element_next_sibling_any(c)) {
            const char* name = quorvel_element_name(c);
            const char* text = quorvel_element_text(quorvel_element_as_node(c));
            if (std::strcmp(name, "qty") == 0) o.qty = std::strtoll(text, nullptr, 10);
            else if (std::strcmp(name, "price") == 0) o.price = std::strtod(text, nullptr);
            else if (std::strcmp(name, "paid") == 0) o.paid = parse_bool(text);
            else if (std::strcmp(name, "customer") == 0) {
                o.vip = quorvel_element_attribute(c, "vip");
                o.customer = text;
            } else if (std::strcmp(name, "tag") == 0) o.tags.emplace_back(text);
        }
    }
}

// (c) pugixml.
void fill_pugi_order(const pugi::xml_node& e, order& o) {
    o.id = e.attribute("id").value();
    o.date = e.attribute("date").value();
    for (pugi::xml_node c = e.first_child(); c; c = c.next_sibling()) {
        const char* name = c.name();
        const char* text = c.child_value();
        if (std::strcmp(name, "qty") == 0) o.qty = std::strtoll(text, nullptr, 10);
        else if (std::strcmp(name, "price") == 0) o.price = std::strtod(text, nullptr);
        else if (std::strcmp(name, "paid") == 0) o.paid = parse_bool(text);
        else if (std::strcmp(name, "customer") == 0) {
            o.vip = c.attribute("vip").value();
            o.customer = text;
        } else if (std::strcmp(name, "tag") == 0) o.tags.emplace_back(text);
    }
}

void hand_pugi(const pugi::xml_document& doc, std::vector<order>* out) {
    out->clear();
    for (pugi::xml_node e = doc.first_child().first_child(); e; e = e.next_sibling())
        fill_pugi_order(e, out->emplace_back());
}

void xpath_pugi(const pugi::xml_document& doc, const pugi::xpath_query& orders, std::vector<order>* out) {
    out->clear();
    pugi::xpath_node_set set = orders.evaluate_node_set(doc);
    for (const pugi::xpath_node& n : set) fill_pugi_order(n.node(), out->emplace_back());
}

// (d) libxml2.
std::string xml_text(xmlNodePtr n) {
    xmlChar* s = xmlNodeGetContent(n);
    std::string out = s ? reinterpret_cast<const char*>(s) : "";
    xmlFree(s);
    return out;
}

void hand_libxml2(xmlDocPtr doc, std::vector<order>* out) {
    out->clear();
    for (xmlNodePtr e = xmlDocGetRootElement(doc)->children; e; e = e->next) {
        if (e->type != XML_ELEMENT_NODE) continue;
        order& o = out->emplace_back();
        xmlChar* id = xmlGetProp(e, BAD_CAST "id");
        xmlChar* date = xmlGetProp(e, BAD_CAST "date");
        o.id = reinterpret_cast<const char*>(id);
        o.date = reinterpret_cast<const char*>(date);
        xmlFree(id);
        xmlFree(date);
        for (xmlNodePtr c = e->children; c; c = c->next) {
            if (c->type != XML_ELEMENT_NODE) continue;
            const char* name = reinterpret_cast<const char*>(c->name);
            if (std::strcmp(name, "note") == 0) continue;
            std::string text = xml_text(c);
            if (std::strcmp(name, "qty") == 0) o.qty = std::strtoll(text.c_str(), nullptr, 10);
            else if (std::strcmp(name, "price") == 0) o.price = std::strtod(text.c_str(), nullptr);
            else if (std::strcmp(name, "paid") == 0) o.paid = parse_bool(text.c_str());
            else if (std::strcmp(name, "customer") == 0) {
                xmlChar* vip = xmlGetProp(c, BAD_CAST "vip");
                o.vip = reinterpret_cast<const char*>(vip);
                xmlFree(vip);
                o.customer = text;
            } else if (std::strcmp(name, "tag") == 0) o.tags.push_back(text);
        }
    }
}

double median_ms(int rounds, const std::function<void()>& body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; i++) {
        auto t0 = std::chrono::steady_clock::now();
        body();
        auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // Every contender works on warm memory: freed heap blocks stay with the
    // process instead of going back to the kernel between rounds, as this
    // library's reserved mappings stay in its cache. Without this the
    // heap-based peers pay a fresh page fault per page every round, and how
    // many depends on what ran before them.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    if (rounds < 1) rounds = 1;
    // The sections to run (letters a to d), for profiling one at a time.
    const char* parts = argc > 2 ? argv[2] : "abcd";
    auto runs = [&](char part) { return std::strchr(parts, part) != nullptr; };
    std::string xml = make_orders(24u << 20);
    std::printf("plan bench: %.1f MB of order records, median of %d rounds\n", xml.size() / 1048576.0, rounds);
    quorvel_plan* plan = order_plan();
    int st = 0;
    std::vector<order> reference, got;

    quorvel_document* doc = quorvel_parse_string(xml.data(), xml.size(), &st);
    pugi::xml_document pdoc;
    pdoc.load_buffer(xml.data(), xml.size());
    hand_pugi(pdoc, &reference);

    auto check = [&](const char* what) {
        if (got != reference) {
            std::fprintf(stderr, "%s: records differ from the reference\n", what);
            for (size_t i = 0; i < got.size() && i < reference.size(); i++) {
                if (got[i] == reference[i]) continue;
                const order& x = got[i];
                const order& y = reference[i];
                std::fprintf(stderr, "record %zu: %s/%s %s/%s %lld/%lld %g/%g %d/%d %s/%s %s/%s %zu/%zu\n", i,
                             x.id.c_str(), y.id.c_str(), x.date.c_str(), y.date.c_str(), x.qty, y.qty, x.price,
                             y.price, x.paid, y.paid, x.vip.c_str(), y.vip.c_str(), x.customer.c_str(),
                             y.customer.c_str(), x.tags.size(), y.tags.size());
                break;
            }
            std::fprintf(stderr, "%zu records, %zu expected\n", got.size(), reference.size());
            std::exit(1);
        }
    };

    double a = 0, a_walk_only = 0, b = 0, c = 0, c_xpath = 0;
    if (runs('a')) {
        a = median_ms(rounds, [&] {
            quorvel_plan_value* r = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
            from_result(r, &got);
            quorvel_plan_result_free(r);
        });
        check("plan walk");
        a_walk_only = median_ms(rounds, [&] {
            quorvel_plan_result_free(quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st));
        });
        // What the caller's own reading costs, on one result.
        quorvel_plan_value* kept = quorvel_plan_walk(doc, quorvel_document_root(doc), plan, &st);
        double a_read_only = median_ms(rounds, [&] { from_result(kept, &got); });
        check("reading one result");
        quorvel_plan_result_free(kept);
        std::printf("(a) plan walk + reading the values      %8.1f ms  (walk alone %.1f ms, reading alone %.1f ms)\n", a,
                    a_walk_only, a_read_only);
    }
    if (runs('b')) {
        b = median_ms(rounds, [&] { hand_quorvel(quorvel_document_root(doc), &got); });
        check("hand code (this library)");
        std::printf("(b) hand code, this library's API       %8.1f ms\n", b);
    }
    if (runs('c')) {
        c = median_ms(rounds, [&] { hand_pugi(pdoc, &got); });
        check("hand code (pugixml)");
        pugi::xpath_query query("/orders/order");
        c_xpath = median_ms(rounds, [&] { xpath_pugi(pdoc, query, &got); });
        check("pugixml XPath");
        std::printf("(c) hand code, pugixml                  %8.1f ms\n", c);
        std::printf("(c) pugixml precompiled XPath + code    %8.1f ms\n", c_xpath);
    }
    quorvel_document_free(doc);

    if (runs('d')) {
        double d_materialize = median_ms(rounds, [&] {
            quorvel_plan_value* r = quorvel_plan_materialize(xml.data(), xml.size(), plan, &st);
            from_result(r, &got);
            quorvel_plan_result_free(r);
        });
        check("materialize");
        double d_materialize_only = median_ms(rounds, [&] {
            quorvel_plan_result_free(quorvel_plan_materialize(xml.data(), xml.size(), plan, &st));
        });
        double d_parse = median_ms(rounds, [&] {
            quorvel_document_free(quorvel_parse_string(xml.data(), xml.size(), &st));
        });
        double d_pugi = median_ms(rounds, [&] {
            pugi::xml_document d;
            d.load_buffer(xml.data(), xml.size());
            hand_pugi(d, &got);
        });
        check("pugixml parse and hand code");
        double d_libxml2 = median_ms(rounds, [&] {
            xmlDocPtr d =
                xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "orders.xml", nullptr, XML_PARSE_NONET);
            hand_libxml2(d, &got);
            xmlFreeDoc(d);
        });
        check("libxml2 parse and hand code");
        std::printf("(d) materialize + reading the values    %8.1f ms\n", d_materialize);
        std::printf("(d) materialize alone                   %8.1f ms\n", d_materialize_only);
        std::printf("(d) this library's parse alone          %8.1f ms  (materialize alone / parse %.2f)\n", d_parse,
                    d_materialize_only / d_parse);
        std::printf("(d) pugixml parse + hand code           %8.1f ms\n", d_pugi);
        std::printf("(d) libxml2 parse + hand code           %8.1f ms\n", d_libxml2);
    }
    quorvel_plan_free(plan);
    return 0;
}
