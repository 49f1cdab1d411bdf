#include "module/table.hpp"

#include <cstdlib>

#include "base/memory.hpp"
#include "base/py_ref.hpp"

namespace korvex {
namespace {

struct TableObject {
  PyObject_HEAD TableData* data;
};

constexpr const char* kInstallHint = "pip install 'korvex-messages[arrow]'";

TableData& data_of(PyObject* self) { return *reinterpret_cast<TableObject*>(self)->data; }

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<TableObject*>(self)->data->release();
  PyObject_Free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The capsules own the struct they point at; a consumer that imported it
// has moved it out and left `release` null.
void free_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  std::free(schema);
}

void free_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  std::free(stream);
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  auto* schema = static_cast<ArrowSchema*>(allocate_or_abort(sizeof(ArrowSchema)));
  data_of(self).export_schema(schema);
  PyObject* capsule = PyCapsule_New(schema, "arrow_schema", &free_schema_capsule);
  if (capsule == nullptr) {
    schema->release(schema);
    std::free(schema);
  }
  return capsule;
}

// requested_schema is taken and not applied: the protocol lets a producer
// hand out its own schema, which the consumer then casts if it wants.
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;  // borrowed
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(keywords), &requested)) {
    return nullptr;
  }
  auto* stream = static_cast<ArrowArrayStream*>(allocate_or_abort(sizeof(ArrowArrayStream)));
  data_of(self).export_stream(stream);
  PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", &free_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream);
    std::free(stream);
  }
  return capsule;
}

// The module `name`, or ImportError saying how to install it.
PyRef import_optional(const char* name, const char* method) {
  PyRef module = PyRef::steal(PyImport_ImportModule(name));
  if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "Table.%s() needs %s, which is not installed: %s", method, name,
                 kInstallHint);
  }
  return module;
}

PyObject* to_pyarrow(PyObject* self, PyObject*) {
  PyRef pyarrow = import_optional("pyarrow", "to_pyarrow");
  if (!pyarrow) return nullptr;
  return PyObject_CallMethod(pyarrow.get(), "table", "O", self);
}

PyObject* to_polars(PyObject* self, PyObject*) {
  PyRef polars = import_optional("polars", "to_polars");
  if (!polars) return nullptr;
  return PyObject_CallMethod(polars.get(), "DataFrame", "O", self);
}

PyObject* to_pandas(PyObject* self, PyObject*) {
  if (!import_optional("pandas", "to_pandas")) return nullptr;
  PyRef pyarrow = import_optional("pyarrow", "to_pandas");
  if (!pyarrow) return nullptr;
  PyRef table = PyRef::steal(PyObject_CallMethod(pyarrow.get(), "table", "O", self));
  if (!table) return nullptr;
  return PyObject_CallMethod(table.get(), "to_pandas", nullptr);
}

[[nodiscard]] PyObject* text_object(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* column_names(PyObject* self, void*) {
  const Vector<TableColumn>& columns = data_of(self).columns();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < columns.size(); ++index) {
    PyObject* name = text_object(columns[index].name);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), name);
  }
  return list.release();
}

PyObject* num_rows(PyObject* self, void*) { return PyLong_FromLongLong(data_of(self).rows()); }

PyObject* num_columns(PyObject* self, void*) {
  return PyLong_FromSize_t(data_of(self).columns().size());
}

PyObject* type_name(PyObject* self, void*) { return text_object(data_of(self).type_name()); }

Py_ssize_t table_length(PyObject* self) { return static_cast<Py_ssize_t>(data_of(self).rows()); }

PyObject* table_repr(PyObject* self) {
  const TableData& data = data_of(self);
  PyRef names = PyRef::steal(column_names(self, nullptr));
  if (!names) return nullptr;
  return PyUnicode_FromFormat("<korvex_messages Table of %s: %lld rows, %zd columns %R>",
                              String(data.type_name()).c_str(), static_cast<long long>(data.rows()),
                              PyList_GET_SIZE(names.get()), names.get());
}

PyMethodDef g_methods[] = {
    {"__arrow_c_schema__", &arrow_c_schema, METH_NOARGS,
     "The schema as an \"arrow_schema\" PyCapsule."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "A new \"arrow_array_stream\" PyCapsule over the table's record batches."},
    {"to_pyarrow", &to_pyarrow, METH_NOARGS, "The table as a pyarrow.Table."},
    {"to_polars", &to_polars, METH_NOARGS, "The table as a polars.DataFrame."},
    {"to_pandas", &to_pandas, METH_NOARGS, "The table as a pandas.DataFrame (through pyarrow)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"num_rows", &num_rows, nullptr, "The number of messages.", nullptr},
    {"num_columns", &num_columns, nullptr, "The number of columns.", nullptr},
    {"column_names", &column_names, nullptr, "The column names, in order.", nullptr},
    {"type_name", &type_name, nullptr, "The message type the rows are of.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "Decoded messages as Arrow columns, one row a message.\n\n"
    "Arrow libraries read it directly (pyarrow.table(t), polars.DataFrame(t), DuckDB): each\n"
    "__arrow_c_stream__() call is a new stream over the same buffers.";

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&table_repr)},
    {Py_sq_length, reinterpret_cast<void*>(&table_length)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Each module that makes tables has a type of its own, named where the
// package exports it.
#if defined(KORVEX_ROS2_LAYOUT)
constexpr const char* kTypeName = "korvex_messages.ros2.Table";
#else
constexpr const char* kTypeName = "korvex_messages.Table";
#endif

PyType_Spec g_spec = {
    kTypeName, sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

// Made on the module's first execution and kept for the process.
PyObject* g_table_type = nullptr;

}  // namespace

int add_table_type(PyObject* module) {
  if (g_table_type == nullptr) {
    g_table_type = PyType_FromSpec(&g_spec);
    if (g_table_type == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, "Table", g_table_type);
}

PyObject* new_table(TableData* data) {
  auto* table = PyObject_New(TableObject, reinterpret_cast<PyTypeObject*>(g_table_type));
  if (table == nullptr) {
    data->release();
    return nullptr;
  }
  table->data = data;
  return reinterpret_cast<PyObject*>(table);
}

}  // namespace korvex
