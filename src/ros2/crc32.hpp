// The CRC-32 of MCAP chunks (zlib's: reflected polynomial 0xEDB88320,
// inverted before and after), and crc32 of `korvex_messages.ros2._native`.
//
// Every chunk's records are checked against their CRC, which with zlib's
// table code cost a quarter of the time of decompressing them.  On x86-64
// with PCLMULQDQ the bulk is folded 64 bytes at a time with carry-less
// multiplication; elsewhere, and for the last few bytes, tables are used
// eight bytes at a time, as zlib does.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace korvex {

// The CRC-32 of `size` bytes at `data` following `crc` (0 to start), as
// zlib.crc32(data, crc) gives it.
[[nodiscard]] std::uint32_t crc32_of(const unsigned char* data, std::size_t size,
                                     std::uint32_t crc) noexcept;

PyObject* crc32_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char* kCrc32Doc =
    "crc32(data, /)\n--\n\n"
    "The CRC-32 of a bytes-like object, as zlib.crc32(data) gives it. It runs without the\n"
    "GIL.";

}  // namespace korvex
