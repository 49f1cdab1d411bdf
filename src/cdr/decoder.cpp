#include "cdr/decoder.hpp"

#include <cstdio>

#include "base/layout.hpp"
#include "cdr/decoder_walk.hpp"
#include "cdr/reader.hpp"
#include "cdr/wire.hpp"

namespace korvex {

BodyResult deserialize_body(std::string_view schema_name, std::span<const unsigned char> data,
                            DecodeOptions options) {
  const unsigned char* bytes = data.data();
  if (data.size() < kHeaderLength) {
    PyErr_SetString(PyExc_ValueError, "CDR payload too short (missing encapsulation header)");
    return PythonErrorSet{};
  }
  const bool big_endian = kLayout.big_endian_input && bytes[0] == 0x00 && bytes[1] == 0x00;
  if (!big_endian && (bytes[0] != kEncapsulationHeader[0] || bytes[1] != kEncapsulationHeader[1])) {
    char text[160];
    constexpr const char* kFormat =
        kLayout.big_endian_input
            ? "Unsupported CDR encapsulation [%02x, %02x, %02x, %02x]: plain CDR starts with 00 01 "
              "(little-endian) or 00 00 (big-endian)"
            : "Unsupported CDR encapsulation [%02x, %02x, %02x, %02x]. Only little-endian CDR "
              "is currently supported";
    std::snprintf(text, sizeof text, kFormat, bytes[0], bytes[1], bytes[2], bytes[3]);
    PyErr_SetString(PyExc_ValueError, text);
    return PythonErrorSet{};
  }
  Decoder<CdrReader> decoder(bytes, static_cast<std::uint64_t>(data.size()), options);
  return decoder.run(schema_name);
}

}  // namespace korvex
