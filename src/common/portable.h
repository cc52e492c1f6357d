// Compiler features the code uses where they exist, and plain C++ where they
// do not: GCC and Clang on Linux and macOS (x86-64 and aarch64) and MSVC on
// Windows. Nothing here touches the interpreter.
#pragma once

// Function attributes: hot and cold code placement, and keeping rarely taken
// paths out of the loops that call them.
#if defined(__GNUC__) || defined(__clang__)
#define VORN_NOINLINE __attribute__((noinline))
#define VORN_HOT __attribute__((hot))
#define VORN_COLD __attribute__((cold, noinline))
#define VORN_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define VORN_NOINLINE __declspec(noinline)
#define VORN_HOT
#define VORN_COLD __declspec(noinline)
#define VORN_ALWAYS_INLINE __forceinline
#else
#define VORN_NOINLINE
#define VORN_HOT
#define VORN_COLD
#define VORN_ALWAYS_INLINE inline
#endif

// Asks for the cache line holding p ahead of its use; a hint only, and
// nothing where the compiler offers no such hint.
#if defined(__GNUC__) || defined(__clang__)
#define VORN_PREFETCH(p) __builtin_prefetch(p)
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define VORN_PREFETCH(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#else
#define VORN_PREFETCH(p) ((void)(p))
#endif

// SSE2 with 64-bit general registers: every x86-64 compiler provides it.
// Defining VORN_NO_SIMD builds the portable code instead, so that it can be
// tested on any machine.
#if ((defined(__SSE2__) && defined(__x86_64__)) || defined(_M_X64)) && !defined(VORN_NO_SIMD)
#define VORN_SSE2_64 1
#else
#define VORN_SSE2_64 0
#endif
