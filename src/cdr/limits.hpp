// Limits of the wire format and of the codec's recursion.
#pragma once

#include <cstdint>

#ifndef KORVEX_LENGTH_LIMIT
#define KORVEX_LENGTH_LIMIT 0xFFFFFFFFULL
#endif

namespace korvex {

// Largest value a 32-bit length or count field can hold.
inline constexpr std::uint64_t kWireLengthLimit = 0xFFFFFFFFULL;

// The longest length or count the encoder writes: the wire's.  A string
// needs one more byte for its terminator, so its text may be at most this
// minus one.  (The test-only module lowers it to reach the checks without
// gigabytes.)
inline constexpr std::uint64_t kLengthLimit = KORVEX_LENGTH_LIMIT;
static_assert(kLengthLimit <= kWireLengthLimit);

// Deepest nesting of struct and array values the codec walks.  Schemas may
// refer to themselves, so without a bound a message could recurse until the
// C stack runs out; real messages nest a handful of levels.
inline constexpr unsigned kMaxNesting = 100;

// Struct values that occupy no bytes cost nothing on the wire, so a forged
// count could ask for billions of them; one call decodes at most this many.
inline constexpr std::uint64_t kMaxEmptyValues = 1048576;

}  // namespace korvex
