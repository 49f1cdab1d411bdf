#include "cdr/decoder.hpp"

#include <cstdio>

#include "cdr/decoder_walk.hpp"
#include "cdr/reader.hpp"
#include "cdr/wire.hpp"

namespace korvex {

BodyResult deserialize_body(std::string_view schema_name, std::span<const unsigned char> data) {
  const unsigned char* bytes = data.data();
  if (data.size() < kHeaderLength) {
    PyErr_SetString(PyExc_ValueError, "CDR payload too short (missing encapsulation header)");
    return PythonErrorSet{};
  }
  if (bytes[0] != kEncapsulationHeader[0] || bytes[1] != kEncapsulationHeader[1]) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "Unsupported CDR encapsulation [%02x, %02x, %02x, %02x]. Only little-endian CDR "
                  "is currently supported",
                  bytes[0], bytes[1], bytes[2], bytes[3]);
    PyErr_SetString(PyExc_ValueError, text);
    return PythonErrorSet{};
  }
  Decoder<CdrReader> decoder(bytes, static_cast<std::uint64_t>(data.size()));
  return decoder.run(schema_name);
}

}  // namespace korvex
