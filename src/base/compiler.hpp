// Hints to the compiler that keep cold paths out of hot loops and small
// frames in recursive code.  They change no behaviour.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KORVEX_NOINLINE __attribute__((noinline))
#define KORVEX_COLD __attribute__((cold, noinline))
#elif defined(_MSC_VER)
#define KORVEX_NOINLINE __declspec(noinline)
#define KORVEX_COLD __declspec(noinline)
#else
#define KORVEX_NOINLINE
#define KORVEX_COLD
#endif
