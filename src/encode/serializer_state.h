// Serializer state: the Python objects the encoder needs, made once per
// process and never freed.
#pragma once

#include <Python.h>

#include "py/error.h"
#include "py/ref.h"

#include <cstdint>

namespace vesh::encode {

struct SerializerState {
  py::Ref serialize_globals;  // module dict of vesh.serialize
  py::Ref ext_type;           // msgpack.ExtType
  py::Ref timestamp_type;     // msgpack.Timestamp
  py::Ref packb;              // msgpack.packb
  PyObject* object_class = nullptr;         // object.__dict__["__class__"] (borrowed, static)
  PyObject* object_getattribute = nullptr;  // object.__dict__["__getattribute__"]
  std::uint32_t max_depth = 511;
};

// Nesting limit for a msgpack version: 1024 from 1.2 on (and any major other
// than 0 and 1), else 511.
std::uint32_t max_depth_for_msgpack_version(std::uint32_t major, std::uint32_t minor) noexcept;

class Serializer {
 public:
  // The process-wide state, made on first use (retried after a failed
  // attempt). Null with a Python exception set on failure. The state lives
  // for the rest of the process, so the pointer may be kept.
  static const SerializerState* get();
};

// The NameError the interpreter would raise for a missing global of
// vesh.serialize; a failure to make it is returned in its place.
py::PyError missing_global_error(PyObject* name);

}  // namespace vesh::encode
