#pragma once
// An invariant of a fuzz target: a violation aborts, which the fuzzer and the replay both report.

#include <cstdio>
#include <cstdlib>

#define UV_FUZZ_CHECK(condition)                                                             \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
