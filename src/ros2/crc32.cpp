#include "ros2/crc32.hpp"

#include <array>

#include "base/buffer_view.hpp"
#include "base/without_gil.hpp"
#include "module/failure.hpp"
#include "ros2/bytes_output.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVEX_CRC32_FOLDING 1
#include <immintrin.h>
#endif

namespace korvex {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Eight tables, for eight bytes a step ("slicing by 8"): kTables[k][b] is
// the register after byte b and k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables tables{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1u) != 0 ? kPolynomial : 0);
    tables[0][byte] = value;
  }
  for (std::size_t slice = 1; slice < tables.size(); ++slice) {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      const std::uint32_t before = tables[slice - 1][byte];
      tables[slice][byte] = (before >> 8) ^ tables[0][before & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = make_tables();

inline std::uint32_t little_endian_32(const unsigned char* at) noexcept {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// `crc` here is the running register, already inverted.
std::uint32_t by_tables(const unsigned char* data, std::size_t size, std::uint32_t crc) noexcept {
  while (size >= 8) {
    const std::uint32_t one = little_endian_32(data) ^ crc;
    const std::uint32_t two = little_endian_32(data + 4);
    crc = kTables[7][one & 0xFFu] ^ kTables[6][(one >> 8) & 0xFFu] ^
          kTables[5][(one >> 16) & 0xFFu] ^ kTables[4][one >> 24] ^ kTables[3][two & 0xFFu] ^
          kTables[2][(two >> 8) & 0xFFu] ^ kTables[1][(two >> 16) & 0xFFu] ^ kTables[0][two >> 24];
    data += 8;
    size -= 8;
  }
  for (std::size_t index = 0; index < size; ++index) {
    crc = kTables[0][(crc ^ data[index]) & 0xFFu] ^ (crc >> 8);
  }
  return crc;
}

#if defined(KORVEX_CRC32_FOLDING)
#define KORVEX_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

KORVEX_FOLDING_TARGET inline __m128i load(const unsigned char* at) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `lane` carried forward across the distance of `constants`, and `next`
// added in.
KORVEX_FOLDING_TARGET inline __m128i fold(__m128i lane, __m128i constants, __m128i next) noexcept {
  const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Folding by carry-less multiplication (Gopal et al., "Fast CRC Computation
// for Generic Polynomials Using PCLMULQDQ Instruction", Intel 2009), with
// the bit-reflected constants of that paper for this polynomial: four
// 128-bit lanes are folded across 512 bits (k1, k2), then into one across
// 128 bits (k3, k4), then to 64 bits (k5) and reduced to 32 by Barrett's
// method (the polynomial and its quotient mu).  `size` is a multiple of 16
// and at least 64; `crc` is the inverted register.
KORVEX_FOLDING_TARGET std::uint32_t by_folding(const unsigned char* data, std::size_t size,
                                               std::uint32_t crc) noexcept {
  const __m128i k1k2 = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);
  const __m128i k3k4 = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163CD6124);
  const __m128i poly_mu = _mm_set_epi64x(0x01F7011641, 0x01DB710641);
  __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(data + 16);
  __m128i x3 = load(data + 32);
  __m128i x4 = load(data + 48);
  data += 64;
  size -= 64;
  while (size >= 64) {
    x1 = fold(x1, k1k2, load(data));
    x2 = fold(x2, k1k2, load(data + 16));
    x3 = fold(x3, k1k2, load(data + 32));
    x4 = fold(x4, k1k2, load(data + 48));
    data += 64;
    size -= 64;
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (size >= 16) {
    x1 = fold(x1, k3k4, load(data));
    data += 16;
    size -= 16;
  }

  // 128 bits to 64.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
  // Barrett reduction to 32 bits.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly_mu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly_mu, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool has_folding() noexcept {
  static const bool supported =
      __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.1") != 0;
  return supported;
}
#endif

}  // namespace

std::uint32_t crc32_of(const unsigned char* data, std::size_t size, std::uint32_t crc) noexcept {
  crc = ~crc;
#if defined(KORVEX_CRC32_FOLDING)
  if (size >= 64 && has_folding()) {
    const std::size_t folded = size & ~std::size_t{15};
    crc = by_folding(data, folded, crc);
    data += folded;
    size -= folded;
  }
#endif
  return ~by_tables(data, size, crc);
}

PyObject* crc32_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!one_argument("crc32", nargs, kwnames)) return nullptr;
    BufferView view;
    if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
    const std::span<const unsigned char> bytes = view.bytes();
    std::uint32_t crc = 0;
    {
      const WithoutGil unlocked;
      crc = crc32_of(bytes.data(), bytes.size(), 0);
    }
    return PyLong_FromUnsignedLong(crc);
  });
}

}  // namespace korvex
