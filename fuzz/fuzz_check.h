// What a fuzz target does when a property fails: says which, with the
// values, and aborts so that libFuzzer keeps the input as a crash.
#ifndef HOLVANTER_FUZZ_FUZZ_CHECK_H_
#define HOLVANTER_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, detail)                                                 \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", __FILE__, __LINE__, \
                   #condition, std::string(detail).c_str());                          \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

#endif  // HOLVANTER_FUZZ_FUZZ_CHECK_H_
