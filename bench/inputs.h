// Generated benchmark inputs: several document shapes of tens of MB, made
// from a fixed seed so every run and every peer sees the same bytes.
#pragma once

#include <string>

namespace bench {

enum class shape { records, document, deep, attributes, namespaces, references };

constexpr shape all_shapes[] = {shape::records,    shape::document,   shape::deep,
                                shape::attributes, shape::namespaces, shape::references};

struct input {
    const char* name;
    std::string text;
    long elements;  // element count every parser must report
};

// Built once per process and cached.
const input& get_input(shape s);

// The shape's name as the benchmarks print it ("records", "deep", ...).
const char* shape_name(shape s);
// The shape of a name, false for an unknown one.
bool shape_of(const char* name, shape* s);

}  // namespace bench
