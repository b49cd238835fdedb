// Generated plans, documents and event lists for the round-trip property
// test and the fuzz targets, and the round-trip check itself. Choices come
// from a caller-supplied source, so the same code runs on fuzz bytes and on
// a seeded generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quorvel.h"

namespace plangen {

// choose(n): a number below n (0 for n == 0).
using chooser = std::function<size_t(size_t)>;

inline const char* pick_text(const chooser& choose, const std::vector<const char*>& options) {
    return options[choose(options.size())];
}

// A specification whose texts and arrays it owns.
struct spec_holder {
    std::vector<quorvel_plan_element_row> elements;
    std::vector<std::vector<quorvel_plan_attr_row>> attrs;
    std::vector<std::vector<quorvel_plan_child_row>> children;
    std::vector<std::unique_ptr<std::vector<quorvel_plan_predicate_row>>> predicates;
    quorvel_plan_spec spec{};

    const quorvel_plan_spec* finish() {
        for (size_t i = 0; i < elements.size(); i++) {
            elements[i].attr_row_count = static_cast<uint32_t>(attrs[i].size());
            elements[i].attr_rows = attrs[i].empty() ? nullptr : attrs[i].data();
            elements[i].child_row_count = static_cast<uint32_t>(children[i].size());
            elements[i].child_rows = children[i].empty() ? nullptr : children[i].data();
        }
        spec.abi_version = 1;
        spec.element_row_count = static_cast<uint32_t>(elements.size());
        spec.element_rows = elements.data();
        return &spec;
    }
};

inline const std::vector<const char*>& row_names() {
    static const std::vector<const char*> v = {"a", "b", "c", "p:a", "q:b", "a", "b", nullptr, "x y", ""};
    return v;
}
inline const std::vector<const char*>& prefixes() {
    static const std::vector<const char*> v = {nullptr, nullptr, nullptr, "p", "q", "r", "xmlns", "a b", "xml"};
    return v;
}
inline const std::vector<const char*>& uris() {
    static const std::vector<const char*> v = {nullptr, "urn:p", "urn:q", "urn:\"&<r", "", "urn:p"};
    return v;
}

// A random valid (or nearly valid) specification of up to four element rows.
inline void make_spec(const chooser& choose, spec_holder* h) {
    size_t rows = 1 + choose(4);
    h->elements.assign(rows, quorvel_plan_element_row{});
    h->attrs.assign(rows, {});
    h->children.assign(rows, {});
    for (size_t e = 0; e < rows; e++) {
        quorvel_plan_element_row& r = h->elements[e];
        r.name = choose(8) ? pick_text(choose, {"root", "r", "p:root", "item"}) : nullptr;
        r.ns_mode = static_cast<uint8_t>(choose(4));
        r.ns_uri = pick_text(choose, uris());
        r.prefix = pick_text(choose, prefixes());
        r.flags = static_cast<uint16_t>(choose(32));
        size_t na = choose(4);
        for (size_t i = 0; i < na; i++) {
            quorvel_plan_attr_row a{};
            a.name = pick_text(choose, {"x", "y", "p:x", nullptr, "z"});
            a.ns_mode = static_cast<uint8_t>(choose(3));
            a.ns_uri = a.ns_mode == 1 ? pick_text(choose, {"urn:p", "urn:q"}) : pick_text(choose, uris());
            a.out_prefix = choose(3) == 0 ? pick_text(choose, prefixes()) : nullptr;
            h->attrs[e].push_back(a);
        }
        size_t nc = choose(6);
        for (size_t i = 0; i < nc; i++) {
            quorvel_plan_child_row c{};
            c.name = pick_text(choose, row_names());
            c.kind = static_cast<uint8_t>(choose(9));
            c.type_tag = static_cast<uint8_t>(choose(4));
            c.element_row_index = static_cast<int32_t>(choose(rows + 1)) - 1;
            if (c.kind == 3 && c.element_row_index < 0) c.element_row_index = 0;
            c.ns_mode = static_cast<uint8_t>(choose(5));
            c.ns_check = static_cast<uint8_t>(choose(2));
            c.ns_uri = pick_text(choose, uris());
            c.prefix = choose(3) == 0 ? pick_text(choose, prefixes()) : nullptr;
            if (choose(4) == 0) {
                auto preds = std::make_unique<std::vector<quorvel_plan_predicate_row>>();
                preds->push_back({pick_text(choose, {"x", "y", "p:x", nullptr}), pick_text(choose, {"1", "2", nullptr})});
                c.predicate_count = 1;
                c.predicates = preds->data();
                h->predicates.push_back(std::move(preds));
            }
            h->children[e].push_back(c);
        }
    }
}

// A random small document with namespaces, attributes, text and CDATA.
inline std::string make_document(const chooser& choose) {
    static const char* const names[] = {"a", "b", "c", "p:a", "q:b", "item"};
    static const char* const texts[] = {"1", " 2 ", "x&amp;y", "true", "&lt;t&gt;", "3.5", "a\tb", "&#13;", "\xC3\xA9"};
    std::string out = "<root xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"";
    if (choose(2)) out += " x=\"1\"";
    if (choose(2)) out += " p:x=\"2\"";
    out += ">";
    struct open_el {
        std::string name;
        int depth;
    };
    std::vector<std::string> stack;
    size_t steps = 4 + choose(24);
    for (size_t i = 0; i < steps; i++) {
        switch (choose(6)) {
            case 0:
            case 1:
                if (stack.size() < 5) {
                    std::string n = names[choose(6)];
                    out += "<" + n;
                    if (choose(3) == 0) out += " xmlns:p=\"urn:p2\"";
                    if (choose(2)) out += " x=\"" + std::string(choose(2) ? "1" : "2") + "\"";
                    if (choose(3) == 0) out += " y=\"a&#9;b\"";
                    if (choose(4) == 0) out += " q:x=\"q\"";
                    out += ">";
                    stack.push_back(n);
                }
                break;
            case 2:
                if (!stack.empty()) {
                    out += "</" + stack.back() + ">";
                    stack.pop_back();
                }
                break;
            case 3: out += texts[choose(9)]; break;
            case 4: out += "<![CDATA[c<d]]>"; break;
            default: out += "<" + std::string(names[choose(6)]) + "/>"; break;
        }
    }
    while (!stack.empty()) {
        out += "</" + stack.back() + ">";
        stack.pop_back();
    }
    return out + "</root>";
}

// A random event list against a plan built from h (balanced most of the time).
inline std::vector<quorvel_plan_event> make_events(const chooser& choose, const spec_holder& h,
                                                   std::vector<std::string>* store) {
    std::vector<quorvel_plan_event> events;
    size_t rows = h.elements.size();
    int depth = 0;
    size_t steps = 1 + choose(24);
    store->reserve(steps + 8);
    auto event = [&](int32_t op) {
        quorvel_plan_event ev{};
        ev.op = op;
        ev.element_row_index = static_cast<uint32_t>(choose(rows + (choose(16) == 0)));
        size_t nc = ev.element_row_index < rows ? h.children[ev.element_row_index].size() : 0;
        ev.child_row_index = static_cast<int32_t>(choose(nc + 2)) - 1;
        return ev;
    };
    static const char* const values[] = {"v", "1", "a<b&c", "\r\n", "\x01", "\xFF", "", "t\"q"};
    static const char* const attr_names[] = {"x", "y", "p:x", "q:y", "x", "a b", "xmlns", "xmlns:p"};
    events.push_back(event(1));
    events.back().child_row_index = -1;
    depth = 1;
    for (size_t i = 0; i < steps && depth > 0; i++) {
        size_t what = choose(10);
        if (what < 3) {
            events.push_back(event(1));
            depth++;
        } else if (what < 5) {
            events.push_back(event(3));
            depth--;
        } else if (what < 8) {
            quorvel_plan_event ev = event(0);
            store->push_back(values[choose(8)]);
            ev.value = store->back().data();
            ev.value_length = store->back().size();
            events.push_back(ev);
        } else if (what < 9) {
            quorvel_plan_event ev = event(2);
            ev.attr_name = attr_names[choose(8)];
            store->push_back(values[choose(8)]);
            ev.value = store->back().data();
            ev.value_length = store->back().size();
            events.push_back(ev);
        } else {
            events.push_back(event(7));
        }
    }
    while (depth-- > 0 && choose(32) != 0) events.push_back(quorvel_plan_event{3, 0, -1, {}, nullptr, nullptr, 0});
    return events;
}

inline std::string take(char* s) {
    std::string out = s ? s : "";
    quorvel_free_string(s);
    return out;
}

// Number of values in a result.
inline size_t value_count(const quorvel_plan_value* v) {
    size_t n = 0;
    std::vector<const quorvel_plan_value*> stack{v};
    while (!stack.empty()) {
        const quorvel_plan_value* c = stack.back();
        stack.pop_back();
        n++;
        for (size_t i = 0; i < quorvel_plan_value_count(c); i++) stack.push_back(quorvel_plan_value_at(c, i));
    }
    return n;
}

inline bool has_raw(const quorvel_plan_value* v) {
    std::vector<const quorvel_plan_value*> stack{v};
    while (!stack.empty()) {
        const quorvel_plan_value* c = stack.back();
        stack.pop_back();
        if (quorvel_plan_value_kind(c) == 3) return true;
        for (size_t i = 0; i < quorvel_plan_value_count(c); i++) stack.push_back(quorvel_plan_value_at(c, i));
    }
    return false;
}

// The round trip of one result: when output succeeds, the text parses, and
// the rebuild agrees with it (same status; without raw values, the same
// canonical form as the text parsed back). An empty string when all holds,
// else what failed.
inline std::string check_round_trip(const quorvel_plan* plan, const quorvel_plan_value* result,
                                    const std::function<bool(const std::string&)>& peer_parses = nullptr) {
    int st = 1;
    char* text = quorvel_plan_serialize(plan, result, &st);
    if ((st == 0) != (text != nullptr)) return "serialize status and text disagree";
    std::string xml = take(text);
    int rst = 1;
    quorvel_document* rebuilt = quorvel_document_from_plan_result(plan, result, &rst);
    if ((rst == 0) != (rebuilt != nullptr)) {
        quorvel_document_free(rebuilt);
        return "rebuild status and document disagree";
    }
    if (quorvel_plan_value_kind(result) != 0) {
        quorvel_document_free(rebuilt);
        return rst == -5 ? "" : "rebuild of a non-element did not refuse";
    }
    std::string problem;
    if (st != rst) {
        problem = "serialize gave " + std::to_string(st) + " but rebuild " + std::to_string(rst);
    } else if (st == 0) {
        int pst = 0;
        quorvel_document* parsed = quorvel_parse_string(xml.data(), xml.size(), &pst);
        if (!parsed) {
            problem = "output does not parse: " + xml;
        } else {
            if (peer_parses && !peer_parses(xml)) problem = "peer refuses output: " + xml;
            if (problem.empty() && !has_raw(result)) {
                std::string a = take(quorvel_c14n_canonicalize(parsed));
                std::string b = take(quorvel_c14n_canonicalize(rebuilt));
                if (a != b) problem = "parsed output and rebuild differ:\n  " + a + "\n  " + b + "\n  from " + xml;
            }
            quorvel_document_free(parsed);
        }
    }
    quorvel_document_free(rebuilt);
    return problem;
}

}  // namespace plangen
