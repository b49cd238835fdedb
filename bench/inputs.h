// Generated benchmark inputs: several document shapes of tens of MB, made
// from a fixed seed so every run and every peer sees the same bytes.
#pragma once

#include <string>

namespace bench {

enum class shape { records, document, deep, attributes, namespaces, references };

struct input {
    const char* name;
    std::string text;
    long elements;  // element count every parser must report
};

// Built once per process and cached.
const input& get_input(shape s);

}  // namespace bench
