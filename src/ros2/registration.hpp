// Registration of ROS 2 message types in this module's own registry, from
// field lists whose types are named as src/schema/ros2_types.hpp describes.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/errors.hpp"

namespace korvex {

// `fields` is a list of (name, type) pairs.  Returns True when the type was
// registered, False when the very same definition already was; a different
// definition under the name is a ValueError naming the type.
BodyResult register_type_body(std::string_view type_name, PyObject* fields);

// `types` is a list of (type name, fields) pairs, registered together or
// not at all.  Returns a list of bools, one per type, as register_type does;
// a name that holds a different definition is a ValueError naming the type,
// and nothing of the list is registered then.
BodyResult register_types_body(PyObject* types);

// `names` is a list of full type names, removed together or not at all:
// KeyError for one that is not registered, ValueError when a type that stays
// registered has a field of a removed one.
BodyResult unregister_types_body(PyObject* names);

// Whether a type of that full name is registered.
BodyResult type_exists_body(std::string_view type_name);

}  // namespace korvex
