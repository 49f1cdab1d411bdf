// Benchmark floors: serialize and deserialize with everything left out but
// taking the values out of the message's dicts and building the result's
// objects, measured with the same entry path.
//
// Both floors are called like the real functions (call_function, the same
// argument conversions, the schema found with lookup_plan and nested
// schemas with resolve_link, both cached exactly as the codec caches them),
// and both run the real walk, so they do strictly less than the real call by
// construction, and the ratio real call / floor says what the writing and
// the reading cost:
//
// serialize_floor(schema_name, values) -> None
//   The encoder's walk (cdr/encoder_walk.hpp) with a writer that writes
//   nothing (NullWriter, testing/null_writer.hpp): every field found, every
//   value checked, converted and range-checked, every failure reported as
//   serialize reports it, and no output buffer, no alignment, no copy and no
//   bytes object.  It accepts the lengths that the module the benchmark times
//   accepts, not the test-only module's lowered limit.
//
// floor_template(schema_name, message) -> template (not timed)
// deserialize_floor(schema_name, template) -> dict
//   floor_template runs the encoder's walk with a writer that records the
//   values packed (PackedWriter, testing/packed_values.hpp), so it accepts
//   and refuses what serialize does, and the record holds exactly the values
//   that serialize would write.  deserialize_floor runs the decoder's walk
//   (cdr/decoder_walk.hpp) over the record (PackedReader): it builds the
//   very objects deserialize builds for that message, with the same code,
//   and leaves out the reading and checking: no alignment, no bounds or
//   terminator checks, no ASCII scan (the record notes each text's), no
//   presizing budget and no empty-value counting.  A template holds the
//   registry generation it was made under and is refused once any schema
//   has been registered or removed since: the record is only read along the
//   plans it was written along, which is what lets the reader check nothing.
#include "testing/floors.hpp"

#include <cstdint>
#include <memory>
#include <optional>

#include "base/memory.hpp"
#include "cdr/decoder_walk.hpp"
#include "cdr/encoder_walk.hpp"
#include "cdr/plan.hpp"
#include "module/call.hpp"
#include "schema/registry.hpp"
#include "testing/null_writer.hpp"
#include "testing/packed_values.hpp"

namespace korvex::testing {
namespace {

constexpr const char* kSchemaAndValues[] = {"schema_name", "values"};
constexpr const char* kSchemaAndMessage[] = {"schema_name", "message"};
constexpr const char* kSchemaAndTemplate[] = {"schema_name", "template"};
constexpr FunctionDescription kSerializeFloor{"serialize_floor", kSchemaAndValues, 2};
constexpr FunctionDescription kFloorTemplate{"floor_template", kSchemaAndMessage, 2};
constexpr FunctionDescription kDeserializeFloor{"deserialize_floor", kSchemaAndTemplate, 2};

constexpr const char kCapsuleName[] = "_korvex_messages_testing.floor_template";

struct FloorTemplate : AbortingNew {
  SchemaRef schema;  // keeps `plan` alive
  const MessagePlan* plan = nullptr;
  std::uint64_t generation = 0;
  PyRef record;  // bytes: the values, packed
};

void destroy_template(PyObject* capsule) {
  delete static_cast<FloorTemplate*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

BodyResult make_template(std::string_view schema_name, PyObject* message) {
  // Conversions can run user code, which could change the registry while
  // the walk is under way: then parts of the record were written along
  // plans other than the ones it would be read along.
  const std::uint64_t generation = registry_generation();
  Encoder<PackedWriter> encoder;
  BodyResult record = encoder.run(schema_name, message);
  if (!record.ok()) return record;
  if (registry_generation() != generation) {
    PyErr_SetString(PyExc_ValueError,
                    "floor_template: schemas were registered or removed while it was made");
    return PythonErrorSet{};
  }
  auto made = std::make_unique<FloorTemplate>();
  std::optional<MessageError> error;
  made->plan = lookup_plan(schema_name, made->schema, error);
  if (made->plan == nullptr) {
    if (error) return std::move(*error);
    return PythonErrorSet{};
  }
  made->generation = generation;
  made->record = std::move(record.value());
  PyRef capsule = PyRef::steal(PyCapsule_New(made.get(), kCapsuleName, &destroy_template));
  if (!capsule) return PythonErrorSet{};
  if (PyCapsule_SetContext(capsule.get(), made.get()) < 0) return PythonErrorSet{};
  // NOLINTNEXTLINE(bugprone-unused-return-value): the capsule owns it now
  made.release();
  return capsule;
}

BodyResult build_from_template(std::string_view schema_name, PyObject* capsule) {
  // Our capsules carry the very name pointer they were made with, so a
  // pointer compare identifies them (PyCapsule_IsValid and GetPointer
  // would each compare the name's characters); the template pointer is
  // also the capsule's context.
  if (!PyCapsule_CheckExact(capsule) || PyCapsule_GetName(capsule) != kCapsuleName) {
    PyErr_SetString(PyExc_TypeError, "argument 'template': not a floor_template() result");
    return PythonErrorSet{};
  }
  const auto* recorded = static_cast<const FloorTemplate*>(PyCapsule_GetContext(capsule));
  SchemaRef schema;
  std::optional<MessageError> error;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error);
  if (plan == nullptr) {
    if (error) return std::move(*error);
    return PythonErrorSet{};
  }
  if (plan != recorded->plan || registry_generation() != recorded->generation) {
    PyErr_SetString(PyExc_ValueError,
                    "floor template is stale: schemas were registered or removed since it was "
                    "made, or it was made for another schema");
    return PythonErrorSet{};
  }
  // The caller's argument keeps the capsule, and so the record, alive.
  PyObject* record = recorded->record.get();
  Decoder<PackedReader> decoder(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(record)),
                                static_cast<std::uint64_t>(PyBytes_GET_SIZE(record)));
  return decoder.run(*plan);
}

}  // namespace

PyObject* serialize_floor_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_function(kSerializeFloor, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "values")) return PythonErrorSet{};
    Encoder<NullWriter> encoder;
    return encoder.run(schema_name.view(), slots[1]);
  });
}

PyObject* floor_template_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_function(kFloorTemplate, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "message")) return PythonErrorSet{};
    return make_template(schema_name.view(), slots[1]);
  });
}

PyObject* deserialize_floor_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_function(kDeserializeFloor, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    return build_from_template(schema_name.view(), slots[1]);
  });
}

}  // namespace korvex::testing
