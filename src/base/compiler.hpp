// Hints to the compiler that keep cold paths out of hot loops, small frames
// in recursive code and per-value steps inside their loops.  They change no
// behaviour.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KORVEX_NOINLINE __attribute__((noinline))
#define KORVEX_COLD __attribute__((cold, noinline))
#define KORVEX_ALWAYS_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define KORVEX_NOINLINE __declspec(noinline)
#define KORVEX_COLD __declspec(noinline)
#define KORVEX_ALWAYS_INLINE __forceinline
#else
#define KORVEX_NOINLINE
#define KORVEX_COLD
#define KORVEX_ALWAYS_INLINE inline
#endif

// The same for a lambda, written after its parameter list; compilers
// without the attribute decide for themselves.
#if defined(__GNUC__) || defined(__clang__)
#define KORVEX_INLINE_LAMBDA __attribute__((always_inline))
#else
#define KORVEX_INLINE_LAMBDA
#endif
