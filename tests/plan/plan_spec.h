// Hand-written plans for the plan tests: rows kept at stable addresses,
// the specification assembled on demand.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "quorvel.h"

namespace plantest {

struct plan_builder {
    std::deque<quorvel_plan_element_row> rows;
    std::deque<std::vector<quorvel_plan_attr_row>> attrs;
    std::deque<std::vector<quorvel_plan_child_row>> children;
    std::deque<std::vector<quorvel_plan_predicate_row>> predicates;
    std::vector<quorvel_plan_element_row> flat;
    quorvel_plan_spec spec{};

    // Adds an element row; returns its index.
    uint32_t element(const char* name, uint16_t flags = 0) {
        quorvel_plan_element_row r{};
        r.name = name;
        r.flags = flags;
        rows.push_back(r);
        attrs.emplace_back();
        children.emplace_back();
        return static_cast<uint32_t>(rows.size() - 1);
    }
    quorvel_plan_child_row& child(uint32_t e, const char* name, uint8_t kind, uint8_t type_tag = 0,
                                  int32_t target = 0) {
        quorvel_plan_child_row c{};
        c.name = name;
        c.kind = kind;
        c.type_tag = type_tag;
        c.element_row_index = target;
        c.ns_mode = 2;  // no namespace test unless a case asks for one
        children[e].push_back(c);
        return children[e].back();
    }
    quorvel_plan_attr_row& attr(uint32_t e, const char* name, uint8_t ns_mode = 0) {
        quorvel_plan_attr_row a{};
        a.name = name;
        a.ns_mode = ns_mode;
        attrs[e].push_back(a);
        return attrs[e].back();
    }
    void predicate(quorvel_plan_child_row& row, const char* name, const char* value) {
        predicates.push_back({{name, value}});
        row.predicates = predicates.back().data();
        row.predicate_count = 1;
    }
    const quorvel_plan_spec* finish() {
        flat.assign(rows.begin(), rows.end());
        for (size_t i = 0; i < flat.size(); i++) {
            flat[i].attr_row_count = static_cast<uint32_t>(attrs[i].size());
            flat[i].attr_rows = attrs[i].empty() ? nullptr : attrs[i].data();
            flat[i].child_row_count = static_cast<uint32_t>(children[i].size());
            flat[i].child_rows = children[i].empty() ? nullptr : children[i].data();
        }
        spec.abi_version = 1;
        spec.element_row_count = static_cast<uint32_t>(flat.size());
        spec.element_rows = flat.data();
        return &spec;
    }
    quorvel_plan* build() {
        int st = 0;
        return quorvel_plan_build(finish(), &st);
    }
};

inline std::string take(char* s) {
    std::string out = s ? s : "<NULL>";
    quorvel_free_string(s);
    return out;
}

}  // namespace plantest
