// The fuzz targets' check: a requirement that fails stops the run, and libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define REQUIRE(cond)                                                                     \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: requirement failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
