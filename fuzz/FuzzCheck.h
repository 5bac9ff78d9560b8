#pragma once

#include <cstdio>
#include <cstdlib>

// A property that must hold for every input. A failure aborts, so libFuzzer
// keeps the input that broke it as a crash artifact.
#define ZEK_FUZZ_CHECK(condition, what)                                                            \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s, %s:%d)\n", what, #condition, __FILE__,  \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
