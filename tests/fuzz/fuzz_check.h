#pragma once
// A fuzz property: a failure aborts, so that libFuzzer keeps the input.
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      abort();                                                                       \
    }                                                                                \
  } while (0)
