#pragma once
// What the fuzz targets share: a check of a rule that must hold for every
// input, which names the rule and where it stands before the crash (the
// fuzzer keeps the input). Include it after every other header.

#include <cstdio>
#include <cstdlib>

#define Check(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
