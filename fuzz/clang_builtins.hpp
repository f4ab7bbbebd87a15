// Force-included into every translation unit of the fuzzer build: clang 14
// lacks __builtin_roundeven, which the float-to-integer kernel uses (g++
// has it). glibc's roundeven has the same exact ties-to-even result.
#pragma once

#include <math.h>

#if defined(__cplusplus) && !__has_builtin(__builtin_roundeven)
inline float tolvane_fuzz_roundeven(float x) { return ::roundevenf(x); }
inline double tolvane_fuzz_roundeven(double x) { return ::roundeven(x); }
#define __builtin_roundeven(x) tolvane_fuzz_roundeven(x)
#endif
