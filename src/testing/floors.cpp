// Benchmark floors: the work that serialize and deserialize cannot avoid as
// long as messages are dicts, measured with the same entry path.
//
// Both floors are called like the real functions (call_function, the same
// argument conversions, the schema found with lookup_plan and nested
// schemas with resolve_link, both cached exactly as the codec caches them),
// and both do strictly less than the real call, so the ratio
// real call / floor says how much the codec spends beyond what any
// dict-based implementation has to spend:
//
// serialize_floor(schema_name, values) -> None
//   Follows the compiled plan, takes every field's value out of its dict as
//   the encoder does (DictCursor: the entry in step with the plan, else
//   PyDict_GetItemWithError) and reads every value the way the encoder's
//   direct path does (PyFloat_AS_DOUBLE for exact floats, exact_int_value
//   for exact ints, the character data of compact ASCII str and
//   PyUnicode_AsUTF8AndSize for any other str, PyBytes_AS_STRING and its
//   size), recursing into struct dicts, lists and time dicts; the items of
//   a list of a leaf type in one loop per type, as the encoder's runs read
//   them.  It writes nothing: no output buffer, no alignment, no bytes
//   object.  Its only type checks are those that reading needs (a list
//   before its items are read, bytes before their storage is), no range
//   checks, and its failures carry no composed texts.
//
// floor_template(schema_name, message) -> template (not timed)
// deserialize_floor(schema_name, template) -> dict
//   floor_template walks a message dict along the plan once and records its
//   values in plan order (numbers as C numbers, float32 values rounded as
//   the decoder returns them, array counts, the characters of every str
//   one after another in one buffer, as a message holds its strings, and
//   references to the bytes objects).  deserialize_floor then builds, parsing nothing, a fresh
//   structure equal to what deserialize returns for that message: dicts
//   presized as the decoder presizes them and filled with PyDict_SetItem
//   under the plan's interned keys, ints and floats made with the same
//   calls the decoder makes, each str a new object of the same length and
//   character width with its characters copied (no UTF-8 decoding, no
//   ASCII scan), bytes with PyBytes_FromStringAndSize, lists made at their
//   final size.  It does no alignment, no bounds checks, no terminator or
//   UTF-8 checks and no empty-value counting; reading the recorded values
//   back is a walk over one array.  A template holds the registry
//   generation it was made under and is refused once any schema has been
//   registered or removed since, which guarantees that the plans it is
//   replayed along are the ones it was recorded along.
#include "testing/floors.hpp"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "base/compiler.hpp"
#include "base/dicts.hpp"
#include "base/memory.hpp"
#include "cdr/conversions.hpp"
#include "cdr/dict_cursor.hpp"
#include "cdr/limits.hpp"
#include "cdr/plan.hpp"
#include "cdr/time_keys.hpp"
#include "module/call.hpp"
#include "schema/registry.hpp"

namespace korvex::testing {
namespace {

// A long holds every value of the 32-bit field types on this platform, so
// their ints can be made and read with the long calls, as the codec does.
constexpr bool kLongHolds32Bits = LONG_MAX >= 0xFFFFFFFFLL;

constexpr const char* kSchemaAndValues[] = {"schema_name", "values"};
constexpr const char* kSchemaAndMessage[] = {"schema_name", "message"};
constexpr const char* kSchemaAndTemplate[] = {"schema_name", "template"};
constexpr FunctionDescription kSerializeFloor{"serialize_floor", kSchemaAndValues, 2};
constexpr FunctionDescription kFloorTemplate{"floor_template", kSchemaAndMessage, 2};
constexpr FunctionDescription kDeserializeFloor{"deserialize_floor", kSchemaAndTemplate, 2};

constexpr const char kCapsuleName[] = "_korvex_messages_testing.floor_template";

// Keeps the values read by serialize_floor observable, so that the reads
// cannot be optimised away.
volatile std::uint64_t g_sink = 0;

BodyResult finish(std::optional<MessageError>& error) {
  if (error) return std::move(*error);
  return PythonErrorSet{};
}

// Sets RecursionError for a value nested deeper than the codec walks.
KORVEX_COLD bool too_deep() {
  PyErr_SetString(PyExc_RecursionError, "nesting too deep");
  return false;
}

// ---------------------------------------------------------------------------
// serialize_floor

// Reads an int value as the encoder's direct path does.
inline bool read_integer(PyObject* value, long long& out) {
  if (PyLong_CheckExact(value)) return exact_int_value(value, out);
  out = PyLong_AsLongLong(value);
  return !(out == -1 && PyErr_Occurred());
}

class LookupWalk {
 public:
  BodyResult run(std::string_view schema_name, PyObject* values);

 private:
  bool fields(const MessagePlan& plan, PyObject* dict);
  bool value(ValueType type, PyObject* value);
  bool array(ValueType type, PyObject* list);
  bool structure(ValueType type, PyObject* dict);
  bool time(PyObject* dict);
  bool leaf(TypeKind kind, PyObject* value);
  // The items of a list of one leaf kind, with the kind's switch out of the
  // loop, as the encoder's runs are.
  template <TypeKind Kind>
  bool leaves(PyObject* list);
  bool leaf_items(TypeKind kind, PyObject* list);

  std::uint64_t sink_ = 0;
  unsigned depth_ = 0;
  std::optional<MessageError> error_;
};

KORVEX_ALWAYS_INLINE bool LookupWalk::leaf(TypeKind kind, PyObject* value) {
  switch (kind) {
    case TypeKind::Bool:
      sink_ += value == Py_True;
      return true;
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32: {
      long long integer;
      if (PyLong_CheckExact(value)) {
        if (!read_integer(value, integer)) return false;
      } else {
        PyRef held = PyRef::borrow(value);  // __index__ may drop the last other reference
        if (!read_integer(value, integer)) return false;
      }
      sink_ += static_cast<std::uint64_t>(integer);
      return true;
    }
    case TypeKind::UInt64: {
      PyRef held = PyRef::borrow(value);
      const unsigned long long natural = PyLong_AsUnsignedLongLong(value);
      if (natural == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      sink_ += natural;
      return true;
    }
    case TypeKind::Float32:
    case TypeKind::Float64: {
      double real;
      if (PyFloat_CheckExact(value)) {
        real = PyFloat_AS_DOUBLE(value);
      } else {
        PyRef held = PyRef::borrow(value);
        real = PyFloat_AsDouble(value);
        if (real == -1.0 && PyErr_Occurred()) return false;
      }
      sink_ += std::bit_cast<std::uint64_t>(real);
      return true;
    }
    case TypeKind::String: {
      const char* text;
      Py_ssize_t size;
      if (PyUnicode_Check(value) && PyUnicode_IS_COMPACT_ASCII(value)) {
        text = static_cast<const char*>(PyUnicode_DATA(value));
        size = PyUnicode_GET_LENGTH(value);
      } else {
        text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) return false;
      }
      sink_ += static_cast<std::uint64_t>(size) + reinterpret_cast<std::uintptr_t>(text);
      return true;
    }
    case TypeKind::Bytes:
      if (!PyBytes_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "bytes expected");
        return false;
      }
      sink_ += static_cast<std::uint64_t>(PyBytes_GET_SIZE(value)) +
               reinterpret_cast<std::uintptr_t>(PyBytes_AS_STRING(value));
      return true;
    case TypeKind::Array:
    case TypeKind::Struct:
    case TypeKind::Time:
    case TypeKind::Duration:
      break;
  }
  KORVEX_INTERNAL_FAILURE("serialize_floor: leaf called for a composite type");
}

bool LookupWalk::time(PyObject* dict) {
  long long sec;
  long long nanosec;
  DictCursor cursor(dict);
  PyObject* item = cursor.find(sec_key());  // borrowed
  if (item == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, sec_key());
    return false;
  }
  if (!read_integer(item, sec)) return false;
  item = cursor.find(nanosec_key());
  if (item == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, nanosec_key());
    return false;
  }
  if (!read_integer(item, nanosec)) return false;
  sink_ += static_cast<std::uint64_t>(sec) + static_cast<std::uint64_t>(nanosec);
  return true;
}

template <TypeKind Kind>
bool LookupWalk::leaves(PyObject* list) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!leaf(Kind, PyList_GET_ITEM(list, i))) return false;
  }
  return true;
}

bool LookupWalk::leaf_items(TypeKind kind, PyObject* list) {
  return with_kind(kind, [&]<TypeKind Kind>() {
    constexpr Conversion conversion = describe(Kind).conversion;
    if constexpr (conversion == Conversion::Array || conversion == Conversion::Struct ||
                  conversion == Conversion::Time) {
      KORVEX_INTERNAL_FAILURE("serialize_floor: leaf_items called for a composite type");
      return false;
    } else {
      return leaves<Kind>(list);
    }
  });
}

bool LookupWalk::array(ValueType type, PyObject* list) {
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "list expected");
    return false;
  }
  if (++depth_ > kMaxNesting) return too_deep();
  PyRef held = PyRef::borrow(list);
  const ValueType element = type.element();
  bool ok = true;
  const Conversion conversion = describe(element.leaf).conversion;
  if (!element.is_array() && conversion != Conversion::Struct && conversion != Conversion::Time) {
    ok = leaf_items(element.leaf, list);
  } else {
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(list); ++i) {
      ok = value(element, PyList_GET_ITEM(list, i));
    }
  }
  --depth_;
  return ok;
}

bool LookupWalk::structure(ValueType type, PyObject* dict) {
  if (++depth_ > kMaxNesting) return too_deep();
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  bool ok = false;
  if (plan != nullptr) {
    PyRef held = PyRef::borrow(dict);
    ok = fields(*plan, dict);
  }
  --depth_;
  return ok;
}

bool LookupWalk::value(ValueType type, PyObject* value) {
  if (type.is_array()) return array(type, value);
  switch (type.leaf) {
    case TypeKind::Struct:
      return structure(type, value);
    case TypeKind::Time:
    case TypeKind::Duration: {
      PyRef held = PyRef::borrow(value);
      return time(value);
    }
    case TypeKind::Bool:
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
    case TypeKind::UInt64:
    case TypeKind::Float32:
    case TypeKind::Float64:
    case TypeKind::String:
    case TypeKind::Bytes:
    case TypeKind::Array:  // never a leaf: leaf() reports the broken invariant
      return leaf(type.leaf, value);
  }
  KORVEX_INTERNAL_FAILURE("serialize_floor: a value that is no TypeKind");
}

bool LookupWalk::fields(const MessagePlan& plan, PyObject* dict) {
  DictCursor cursor(dict);
  for (const FieldPlan& field : plan.fields) {
    // Fails by itself (SystemError) when `dict` is not a dict.
    PyObject* item = cursor.find(field);  // borrowed
    if (item == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, field.key.get());
      return false;
    }
    if (!value(field.type, item)) return false;
  }
  return true;
}

BodyResult LookupWalk::run(std::string_view schema_name, PyObject* values) {
  SchemaRef schema;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error_);
  if (plan == nullptr) return finish(error_);
  if (!fields(*plan, values)) return finish(error_);
  g_sink = g_sink + sink_;
  return PyRef::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// floor_template and deserialize_floor

// One recorded value, in plan order.
union Slot {
  double real;
  long long integer;
  unsigned long long natural;
  Py_ssize_t count;  // also a str's offset in `text` and its length
  PyObject* object;  // a bytes object owned by the template
};

struct FloorTemplate : AbortingNew {
  SchemaRef schema;  // keeps `plan` alive
  const MessagePlan* plan = nullptr;
  std::uint64_t generation = 0;
  Vector<Slot> slots;
  Vector<PyRef> objects;  // references behind the object slots
  // The characters of the strings, each in its str's own width; a str
  // takes three slots: offset here, length and largest character.
  String text;
};

void destroy_template(PyObject* capsule) {
  delete static_cast<FloorTemplate*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// Whether an integer is in the range of an Integer kind (the table's).
bool fits(TypeKind kind, long long value) {
  const TypeDescriptor& type = describe(kind);
  return type.conversion != Conversion::Integer || (value >= type.min && value <= type.max);
}

// Records a message along its plan.  Not timed: checks every value and
// raises TypeError, ValueError or KeyError for anything deserialize could
// not have returned.
class Recorder {
 public:
  explicit Recorder(FloorTemplate& out) : out_(out) {}
  bool fields(const MessagePlan& plan, PyObject* dict, unsigned depth);
  std::optional<MessageError> error;

 private:
  bool value(ValueType type, PyObject* value, unsigned depth);
  bool leaf(TypeKind kind, PyObject* value);
  bool integer(PyObject* value, long long& out);
  void push(Slot slot) { out_.slots.push_back(slot); }
  void push_object(PyObject* object) {
    out_.objects.push_back(PyRef::borrow(object));
    Slot slot;
    slot.object = object;
    push(slot);
  }

  FloorTemplate& out_;
};

bool Recorder::integer(PyObject* value, long long& out) {
  if (!PyLong_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "floor_template: int expected");
    return false;
  }
  out = PyLong_AsLongLong(value);
  return !(out == -1 && PyErr_Occurred());
}

bool Recorder::leaf(TypeKind kind, PyObject* value) {
  Slot slot{};
  switch (kind) {
    case TypeKind::Bool:
      if (value != Py_True && value != Py_False) {
        PyErr_SetString(PyExc_TypeError, "floor_template: bool expected");
        return false;
      }
      slot.integer = value == Py_True;
      break;
    case TypeKind::UInt64:
      if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: int expected");
        return false;
      }
      slot.natural = PyLong_AsUnsignedLongLong(value);
      if (slot.natural == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      break;
    case TypeKind::Float32:
    case TypeKind::Float64: {
      if (!PyFloat_Check(value) && !PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: float expected");
        return false;
      }
      const double real = PyFloat_AsDouble(value);
      if (real == -1.0 && PyErr_Occurred()) return false;
      // deserialize returns the float32 value the message holds.
      slot.real = kind == TypeKind::Float32 ? static_cast<double>(static_cast<float>(real)) : real;
      break;
    }
    case TypeKind::String:
      if (!PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: str expected");
        return false;
      }
#if PY_VERSION_HEX < 0x030C0000
      if (PyUnicode_READY(value) < 0) return false;
#endif
      {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        Slot part;
        part.count = static_cast<Py_ssize_t>(out_.text.size());
        push(part);
        part.count = length;
        push(part);
        part.natural = PyUnicode_MAX_CHAR_VALUE(value);
        push(part);
        out_.text.append(static_cast<const char*>(PyUnicode_DATA(value)),
                         static_cast<std::size_t>(length) * PyUnicode_KIND(value));
      }
      return true;
    case TypeKind::Bytes:
      if (!PyBytes_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: bytes expected");
        return false;
      }
      push_object(value);
      return true;
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
      if (!integer(value, slot.integer)) return false;
      if (!fits(kind, slot.integer)) {
        PyErr_SetString(PyExc_ValueError, "floor_template: int out of the field's range");
        return false;
      }
      break;
    case TypeKind::Array:
    case TypeKind::Struct:
    case TypeKind::Time:
    case TypeKind::Duration:
      KORVEX_INTERNAL_FAILURE("floor_template: leaf called for a composite type");
  }
  push(slot);
  return true;
}

bool Recorder::value(ValueType type, PyObject* value, unsigned depth) {
  if (type.is_array()) {
    if (!PyList_Check(value)) {
      PyErr_SetString(PyExc_TypeError, "floor_template: list expected");
      return false;
    }
    if (depth + 1 > kMaxNesting) return too_deep();
    PyRef held = PyRef::borrow(value);
    Slot count;
    count.count = PyList_GET_SIZE(value);
    push(count);
    const ValueType element = type.element();
    for (Py_ssize_t i = 0; i < count.count; ++i) {
      if (PyList_GET_SIZE(value) != count.count) {
        PyErr_SetString(PyExc_RuntimeError, "floor_template: list changed size");
        return false;
      }
      if (!this->value(element, PyList_GET_ITEM(value, i), depth + 1)) return false;
    }
    return true;
  }
  switch (type.leaf) {
    case TypeKind::Struct: {
      if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: dict expected");
        return false;
      }
      if (depth + 1 > kMaxNesting) return too_deep();
      SchemaRef schema;
      const MessagePlan* plan = resolve_link(*type.link, schema, error);
      if (plan == nullptr) return false;
      PyRef held = PyRef::borrow(value);
      return fields(*plan, value, depth + 1);
    }
    case TypeKind::Time:
    case TypeKind::Duration: {
      if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "floor_template: dict expected");
        return false;
      }
      PyRef held = PyRef::borrow(value);
      for (PyObject* key : {sec_key(), nanosec_key()}) {
        PyObject* item = PyDict_GetItemWithError(value, key);
        if (item == nullptr) {
          if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
          return false;
        }
        Slot slot;
        if (!integer(item, slot.integer)) return false;
        if (!fits(key == sec_key() ? TypeKind::Int32 : TypeKind::UInt32, slot.integer)) {
          PyErr_SetString(PyExc_ValueError, "floor_template: time part out of range");
          return false;
        }
        push(slot);
      }
      return true;
    }
    case TypeKind::Bool:
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
    case TypeKind::UInt64:
    case TypeKind::Float32:
    case TypeKind::Float64:
    case TypeKind::String:
    case TypeKind::Bytes:
    case TypeKind::Array:  // never a leaf: leaf() reports the broken invariant
      return leaf(type.leaf, value);
  }
  KORVEX_INTERNAL_FAILURE("floor_template: a value that is no TypeKind");
}

bool Recorder::fields(const MessagePlan& plan, PyObject* dict, unsigned depth) {
  for (const FieldPlan& field : plan.fields) {
    PyObject* item = PyDict_GetItemWithError(dict, field.key.get());  // borrowed
    if (item == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, field.key.get());
      return false;
    }
    if (!value(field.type, item, depth)) return false;
  }
  return true;
}

BodyResult make_template(std::string_view schema_name, PyObject* message) {
  auto recorded = std::make_unique<FloorTemplate>();
  std::optional<MessageError> error;
  recorded->plan = lookup_plan(schema_name, recorded->schema, error);
  if (recorded->plan == nullptr) return finish(error);
  recorded->generation = registry_generation();
  Recorder recorder(*recorded);
  if (!recorder.fields(*recorded->plan, message, 0)) return finish(recorder.error);
  PyRef capsule = PyRef::steal(PyCapsule_New(recorded.get(), kCapsuleName, &destroy_template));
  if (!capsule) return PythonErrorSet{};
  if (PyCapsule_SetContext(capsule.get(), recorded.get()) < 0) return PythonErrorSet{};
  // NOLINTNEXTLINE(bugprone-unused-return-value): the capsule owns it now
  recorded.release();
  return capsule;
}

// Builds the recorded message again; every call makes new objects.
class ObjectBuilder {
 public:
  explicit ObjectBuilder(const FloorTemplate& recorded)
      : next_(recorded.slots.data()),
        end_(recorded.slots.data() + recorded.slots.size()),
        text_(recorded.text.data()) {}
  BodyResult run(const MessagePlan& plan);

 private:
  PyObject* value(ValueType type);
  PyObject* array(ValueType type);
  PyObject* structure(ValueType type);
  PyObject* fields(const MessagePlan& plan);
  PyObject* time();
  static PyObject* primitive(TypeKind kind, const Slot& slot);
  PyObject* string();

  const Slot* next_;
  const Slot* end_;
  const char* text_;
  std::optional<MessageError> error_;
};

PyObject* ObjectBuilder::primitive(TypeKind kind, const Slot& slot) {
  switch (kind) {
    case TypeKind::Bool:
      return PyBool_FromLong(static_cast<long>(slot.integer));
    case TypeKind::Float32:
    case TypeKind::Float64:
      return PyFloat_FromDouble(slot.real);
    case TypeKind::Int64:
      return PyLong_FromLongLong(slot.integer);
    case TypeKind::UInt64:
      return PyLong_FromUnsignedLongLong(slot.natural);
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
      if constexpr (kLongHolds32Bits) {
        return PyLong_FromLong(static_cast<long>(slot.integer));
      } else {
        return PyLong_FromLongLong(slot.integer);
      }
    case TypeKind::String:
    case TypeKind::Bytes:
    case TypeKind::Array:
    case TypeKind::Struct:
    case TypeKind::Time:
    case TypeKind::Duration:
      break;
  }
  KORVEX_INTERNAL_FAILURE("deserialize_floor: primitive called for another kind");
}

// A new str equal to the recorded one, of the same character width.
PyObject* ObjectBuilder::string() {
  const char* characters = text_ + next_[0].count;
  const Py_ssize_t length = next_[1].count;
  PyObject* text = PyUnicode_New(length, static_cast<Py_UCS4>(next_[2].natural));
  next_ += 3;
  if (text == nullptr) return nullptr;
  std::memcpy(PyUnicode_DATA(text), characters,
              static_cast<std::size_t>(length) * PyUnicode_KIND(text));
  return text;
}

PyObject* ObjectBuilder::time() {
  PyRef dict = PyRef::steal(new_dict(2));
  if (!dict) return nullptr;
  for (PyObject* key : {sec_key(), nanosec_key()}) {
    PyRef part = PyRef::steal(primitive(TypeKind::Int32, *next_++));
    if (!part) return nullptr;
    if (PyDict_SetItem(dict.get(), key, part.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* ObjectBuilder::array(ValueType type) {
  const Py_ssize_t count = (next_++)->count;
  if (count == 0) return PyList_New(0);
  // Hidden from the garbage collector while its slots are empty, as the
  // decoder's lists are.
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const ValueType element = type.element();
  if (!element.is_array() && describe(element.leaf).size != 0) {
    if (element.leaf == TypeKind::Float32 || element.leaf == TypeKind::Float64) {
      for (Py_ssize_t i = 0; i < count; ++i) {
        items[i] = PyFloat_FromDouble(next_[i].real);
        if (items[i] == nullptr) return nullptr;
      }
    } else {
      for (Py_ssize_t i = 0; i < count; ++i) {
        items[i] = primitive(element.leaf, next_[i]);
        if (items[i] == nullptr) return nullptr;
      }
    }
    next_ += count;
  } else {
    for (Py_ssize_t i = 0; i < count; ++i) {
      items[i] = value(element);
      if (items[i] == nullptr) return nullptr;
    }
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

PyObject* ObjectBuilder::fields(const MessagePlan& plan) {
  PyRef dict = PyRef::steal(new_dict(plan.fields.size()));
  if (!dict) return nullptr;
  for (const FieldPlan& field : plan.fields) {
    PyRef item = PyRef::steal(value(field.type));
    if (!item) return nullptr;
    if (PyDict_SetItem(dict.get(), field.key.get(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* ObjectBuilder::structure(ValueType type) {
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  if (plan == nullptr) return nullptr;
  return fields(*plan);
}

PyObject* ObjectBuilder::value(ValueType type) {
  if (type.is_array()) return array(type);
  switch (type.leaf) {
    case TypeKind::String:
      return string();
    case TypeKind::Bytes: {
      PyObject* recorded = (next_++)->object;
      return PyBytes_FromStringAndSize(PyBytes_AS_STRING(recorded), PyBytes_GET_SIZE(recorded));
    }
    case TypeKind::Struct:
      return structure(type);
    case TypeKind::Time:
    case TypeKind::Duration:
      return time();
    case TypeKind::Bool:
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
    case TypeKind::UInt64:
    case TypeKind::Float32:
    case TypeKind::Float64:
    case TypeKind::Array:  // never a leaf: primitive() reports the broken invariant
      return primitive(type.leaf, *next_++);
  }
  KORVEX_INTERNAL_FAILURE("deserialize_floor: a value that is no TypeKind");
}

BodyResult ObjectBuilder::run(const MessagePlan& plan) {
  PyRef result = PyRef::steal(fields(plan));
  if (!result) return finish(error_);
  if (next_ != end_) KORVEX_INTERNAL_FAILURE("deserialize_floor: template not used up");
  return result;
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
  if (plan == nullptr) return finish(error);
  if (plan != recorded->plan || registry_generation() != recorded->generation) {
    PyErr_SetString(PyExc_ValueError,
                    "floor template is stale: schemas were registered or removed since it was "
                    "made, or it was made for another schema");
    return PythonErrorSet{};
  }
  ObjectBuilder builder(*recorded);
  return builder.run(*plan);
}

}  // namespace

PyObject* serialize_floor_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_function(kSerializeFloor, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "values")) return PythonErrorSet{};
    LookupWalk walk;
    return walk.run(schema_name.view(), slots[1]);
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
    if (!convert_text(slots[0], "schema_name", schema_name)) {
      return PythonErrorSet{};
    }
    return build_from_template(schema_name.view(), slots[1]);
  });
}

}  // namespace korvex::testing
