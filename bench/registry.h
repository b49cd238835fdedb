// Benchmarks registered at start-up by main rather than statically: the
// parse benchmarks once per malloc set-up, and the first parse of a fresh
// process, which main runs in a child process of its own.
#pragma once

#include <string>

namespace bench {

void register_parse_benchmarks(const std::string& prefix);
void register_first_parse_benchmarks();
// Body of the child process: parses the shape once with the library named
// and prints the nanoseconds it took on stdout. Returns the exit status.
int first_parse_child(const char* library, const char* shape_name);

}  // namespace bench
