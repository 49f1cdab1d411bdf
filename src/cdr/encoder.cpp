#include "cdr/encoder.hpp"

#include "cdr/encoder_walk.hpp"
#include "cdr/writer.hpp"

namespace korvex {

BodyResult serialize_body(std::string_view schema_name, PyObject* values) {
  Encoder<CdrWriter> encoder;
  return encoder.run(schema_name, values);
}

}  // namespace korvex
