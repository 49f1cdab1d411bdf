#include "module/errors.hpp"

#include <initializer_list>
#include <string_view>

#include "base/layout.hpp"

namespace korvex {

String MessageError::text() const {
  // Built by appending: GCC 12 misreports operator+ chains under -Wrestrict.
  String out;
  auto join = [&out](std::initializer_list<std::string_view> parts) {
    for (std::string_view part : parts) out.append(part);
    return out;
  };
  switch (kind_) {
    case Kind::UnknownSchema:
      return join({"Unknown custom message schema: ", first_});
    case Kind::FieldTypeMismatch:
      return join({"Field type mismatch on '", first_, "': expected ", second_, ", got ", third_});
    case Kind::SerializationFailed:
      return join({"Serialization failed: ", first_});
    case Kind::DeserializationFailed:
      return join({"Deserialization failed: ", first_});
    case Kind::SchemaAlreadyRegistered:
      return join({"Schema already registered: ", first_});
    case Kind::SchemaDefinition:
      return join({"Schema definition error: ", first_});
  }
  return first_;
}

void MessageError::raise() && {
  PyObject* type = PyExc_TypeError;
  String argument;
  switch (kind_) {
    case Kind::UnknownSchema:
      // KeyError carries the bare name, so its str() is the name's repr().
      type = PyExc_KeyError;
      argument = std::move(first_);
      if constexpr (kLayout.ros2_errors) {
        argument =
            concat({"ROS 2 message type '", argument, "' is not registered in this process"});
      }
      break;
    case Kind::FieldTypeMismatch:
    case Kind::SerializationFailed:
      type = PyExc_TypeError;
      argument = text();
      break;
    case Kind::DeserializationFailed:
      type = kLayout.ros2_errors ? PyExc_ValueError : PyExc_TypeError;
      argument = text();
      break;
    case Kind::SchemaAlreadyRegistered:
    case Kind::SchemaDefinition:
      type = PyExc_ValueError;
      argument = text();
      break;
  }
  first_.clear();
  second_.clear();
  third_.clear();
  PyRef text_object = PyRef::steal(
      PyUnicode_FromStringAndSize(argument.data(), static_cast<Py_ssize_t>(argument.size())));
  if (!text_object) return;  // MemoryError (or similar) is already set
  // Setting the type with a single non-tuple argument lets the interpreter
  // build the exception lazily with exactly one argument.
  PyErr_SetObject(type, text_object.get());
}

}  // namespace korvex
