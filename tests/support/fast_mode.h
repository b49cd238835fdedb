// Sets the calling thread's fast-path switch for one scope (0 off, 1 on for
// every input length); the environment's choice comes back at its end.
#pragma once

#include "parser/parser.h"

struct fast_mode {
    explicit fast_mode(int mode) { dp_il_set_test_mode(mode); }
    ~fast_mode() { dp_il_set_test_mode(-1); }
    fast_mode(const fast_mode&) = delete;
    fast_mode& operator=(const fast_mode&) = delete;
};
