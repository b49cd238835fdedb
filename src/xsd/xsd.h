// Shared types of the schema subsystem. For now: the pattern-language
// matcher that schema pattern facets and RELAX NG `pattern` parameters use.
//
// The engine works on bytes: every atom consumes one byte and a class is a
// set of byte values. A pattern is parsed once into a syntax tree and
// compiled into a Thompson automaton; matching simulates the automaton over
// the value, so the cost is linear in value length times program size,
// whatever the pattern's nesting, and the answer is membership in the
// pattern's language. Nothing recurses per piece or per byte; recursion
// follows group nesting only, which the syntax bounds at 32.
#pragma once

#include <cstddef>
#include <cstdint>

// A compiled pattern; immutable once built, so any number of threads may
// match against one program at once.
struct rre_program;

// Largest program (in instructions) a pattern may compile to; a pattern
// whose counted repeats would need more is refused like a syntax error.
constexpr size_t kRreMaxInstructions = 1u << 20;

// Compiles a NUL-terminated pattern. NULL when the pattern is not accepted
// (syntax error, bounds past 32 bits, program over the size cap) or memory
// runs out. Free with rre_free.
rre_program* rre_compile(const char* pattern);
void rre_free(rre_program* program);

// 1 when the whole value (length bytes) is in the program's language, else
// 0; also 0 when scratch memory runs out. NUL bytes in the value never match.
int rre_match(const rre_program* program, const char* value, size_t length);

// 1 when the pattern is accepted (it compiles), else 0.
int rre_accepts(const char* pattern);

// Whole-value match of a NUL-terminated value against a pattern compiled
// for this one call: 0 for a NULL value or a pattern not accepted.
// Callers that test many values compile once and use rre_match instead.
int rng_regex_matches(const char* pattern, const char* value);
