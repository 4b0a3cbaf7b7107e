#pragma once
// What the fuzz targets share: a check whose failure is a finding.

#include <cstdio>
#include <cstdlib>

// Stops the run with a message when `condition` does not hold; libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
