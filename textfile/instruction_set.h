#pragma once

// Which vector instructions the code at hand is built for.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define ZORVANT_SSE2 1
#endif
// Processors with AVX2, BMI2 and POPCNT (x86-64-v3) scan 32 bytes a compare and count and
// select bits in one instruction each. Code built for them is built a second time, beside the
// portable build, and chosen when the program starts.
#if defined(__AVX2__) && defined(__BMI2__) && defined(__POPCNT__)
#include <immintrin.h>
#define ZORVANT_WIDE_VECTORS 1
#endif

// The namespace of this build's copies of code that differs with the instructions it is built
// for: where a call is not inlined, the linker must not hand portable code a copy built for
// wider vectors.
#ifdef ZORVANT_WIDE_VECTORS
#define ZORVANT_BUILD_NAMESPACE wide_vectors
#else
#define ZORVANT_BUILD_NAMESPACE portable
#endif
