// Compiled per-schema plans shared by the encoder and the decoder.
//
// A plan is built once per registered schema, on first use, and cached on
// that (immutable) registry entry: the field keys as str objects with their
// hashes cached (interned where that does not make them immortal), and each
// field's type flattened into a leaf kind plus array depth.  A struct field keeps
// its last resolution of the nested name, tagged with the registry
// generation it was made at; while the generation is unchanged the registry
// would hand out the very same entry, so it is reused, and any registration
// or removal anywhere sends the next struct value back to the registry.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <type_traits>

#include "base/layout.hpp"
#include "base/memory.hpp"
#include "base/py_ref.hpp"
#include "module/errors.hpp"
#include "module/failure.hpp"
#include "schema/registry.hpp"
#include "schema/ros2_types.hpp"

namespace korvex {

class MessagePlan;

struct StructLink {
  const String* schema_name = nullptr;
  std::uint64_t generation = 0;  // 0: nothing cached (generations start at 1)
  const RegisteredSchema* target = nullptr;
  const MessagePlan* plan = nullptr;  // target's plan
};

// What the ROS 2 layout's types add to a value's type: the shape of the
// outermost array level (or of a Bytes leaf's octets), a String leaf's
// bound (0: none) and how a uint8 or Bytes leaf was declared (in the byte
// of padding after the shape).  In the core's layout every array is a
// sequence without a bound, so these are constants there, and a value's
// type is as small and as cheap to copy as without them.
struct ValueShape {
  constexpr ValueShape(ArrayShape shape_, std::uint32_t length_, std::uint32_t bound,
                       Spelling spelling_ = Spelling::Plain) noexcept
      : shape(shape_), spelling(spelling_), length(length_), string_bound(bound) {}
  ArrayShape shape;
  Spelling spelling;
  std::uint32_t length;
  std::uint32_t string_bound;
};
struct NoValueShape {
  constexpr NoValueShape(ArrayShape, std::uint32_t, std::uint32_t,
                         Spelling = Spelling::Plain) noexcept {}
  static constexpr ArrayShape shape = ArrayShape::Sequence;
  static constexpr Spelling spelling = Spelling::Plain;
  static constexpr std::uint32_t length = 0;
  static constexpr std::uint32_t string_bound = 0;
};
using ValueShapeOf = std::conditional_t<kLayout.shaped_types, ValueShape, NoValueShape>;

// One value's type: the innermost kind, the array levels around it, and the
// struct link when the innermost kind is a struct (with the layout's shape,
// the base).
struct ValueType : ValueShapeOf {
  TypeKind leaf;
  std::size_t array_depth;
  StructLink* link;

  bool is_array() const noexcept { return array_depth > 0; }
  // What the shape or bound counts: the elements of an array, the octets of
  // a Bytes leaf, else the UTF-8 bytes of a string.
  std::uint64_t limit() const noexcept {
    return is_array() || leaf == TypeKind::Bytes ? length : string_bound;
  }
  ValueType element() const noexcept {
    return ValueType{
        {ArrayShape::Sequence, 0, string_bound, spelling}, leaf, array_depth - 1, link};
  }
  // The name of a single value of the leaf's kind, for error texts.
  std::string_view scalar_name() const noexcept {
    if constexpr (kLayout.shaped_types) {
      return ros2_scalar_name(leaf, spelling);
    } else {
      return describe(leaf).name;
    }
  }
  String name() const {
    const std::string_view struct_name =
        link != nullptr ? std::string_view(*link->schema_name) : std::string_view();
    if constexpr (kLayout.shaped_types) {
      return ros2_type_name(leaf, array_depth, struct_name, shape, length, string_bound, spelling);
    } else {
      return type_name_of(leaf, array_depth, struct_name);
    }
  }
};

// Whether the plan's field keys are interned.  Interning makes a lookup of
// a key that user code wrote as a literal (which the compiler interned) a
// pointer comparison.  It is only done where an interned string is freed
// again once nothing uses it: CPython 3.12 makes every interned string
// immortal (free-threaded builds do as well), and there interning would keep
// every field name ever planned for the rest of the process.  Extension
// modules are built per minor version, so the compile-time version is the
// running one.
#if (PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000) || defined(Py_GIL_DISABLED)
inline constexpr bool kInternFieldKeys = false;
#else
inline constexpr bool kInternFieldKeys = true;
#endif

// Where the keys are not interned, a field instead takes over an interned
// key equal to its own that a dict being encoded holds (adopt_field_key).
// Only with the GIL, which serialises every change of a plan.
#if !defined(Py_GIL_DISABLED)
inline constexpr bool kAdoptFieldKeys = !kInternFieldKeys;
#else
inline constexpr bool kAdoptFieldKeys = false;
#endif

struct FieldPlan {
  // The str the field is looked up by and stored under: made by the plan, or
  // the interned str adopted in its place.  Changed at most once, under the
  // GIL; the key it replaced stays alive in `replaced_key` for callers that
  // still hold it (an outer frame of a re-entrant call).
  mutable PyRef key;
  mutable PyRef replaced_key;
  std::string_view name;
  ValueType type;
  std::uint8_t fixed_size;  // bytes of a single primitive value, else 0
};

class MessagePlan final : public SchemaCache {
 public:
  Vector<FieldPlan> fields;
  // Struct links, one per struct-typed field; fields point into this.
  Vector<StructLink> links;
  // The size of the last message encoded with this plan, up to
  // kMostSizeHint: the encoder starts its buffer that large, so that
  // messages of a steady size grow it rarely.  Only used with the GIL held.
  mutable std::size_t size_hint = 0;
  static constexpr std::size_t kMostSizeHint = std::size_t{64} * 1024;
  // Every field is a single primitive (no arrays, strings or structs), so a
  // value's extent can be worked out before decoding it.
  bool all_fixed_size = false;
};

// Makes `candidate`, the key of the dict entry where the walk over a dict
// found something other than `field.key`, the field's key from now on if it
// is an interned exact str of the same text and the field has not adopted
// one yet.  It is then the one object that every later call looks the field
// up by and every decoded dict stores it under, so the identity walk and the
// lookup go by the same object, and round trips and literal dicts match the
// walk again.  Runs no Python code.  Returns whether it adopted.
bool adopt_field_key(const FieldPlan& field, PyObject* candidate);

// The plan of a registered schema, built on first use.  Null with a Python
// exception set if building it failed.
[[nodiscard]] const MessagePlan* plan_for(const RegisteredSchema& schema);

// Resolves a struct link to the registered schema it names now and returns
// that schema's plan, with `holder` keeping the schema alive.  On failure
// returns null after storing the registry's error in `error`, or with a
// Python exception pending.
[[nodiscard]] const MessagePlan* resolve_link_slow(StructLink& link, SchemaRef& holder,
                                                   std::optional<MessageError>& error);
[[nodiscard]] inline const MessagePlan* resolve_link(StructLink& link, SchemaRef& holder,
                                                     std::optional<MessageError>& error) {
  KORVEX_ASSERT(link.schema_name != nullptr);
  if (link.generation == registry_generation()) [[likely]] {
    KORVEX_ASSERT(link.target != nullptr && link.plan != nullptr);
    holder = SchemaRef(link.target);
    return link.plan;
  }
  return resolve_link_slow(link, holder, error);
}

// The plan of the top-level schema named `name`, as get_schema_internal
// would find it now, with `holder` keeping the schema alive.  Null with the
// registry's error in `error` or a Python exception pending.
[[nodiscard]] const MessagePlan* lookup_plan(std::string_view name, SchemaRef& holder,
                                             std::optional<MessageError>& error);

}  // namespace korvex
