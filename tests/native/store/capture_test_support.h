// Helpers for the capture and frame-store tests: reading containers back
// with the test reader (tests/v3_reader.py) through the embedded interpreter.
#pragma once

#include "python_helpers.h"
#include "store_test_support.h"
#include "support/byte_buffer.h"

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vesh::store::testing {

inline std::filesystem::path tests_dir() { return vesh::testing::source_root() / "tests"; }

// Makes tests/ (the reader) and python/ (the vesh package) importable.
inline void add_import_paths() {
  std::string code = "import sys\nfor _p in (" + std::string("r'") + tests_dir().string() + "', r'" +
                     (tests_dir().parent_path() / "python").string() +
                     "'):\n    sys.path.insert(0, _p) if _p not in sys.path else None\n";
  vesh::testing::run(code);
}

using Threads = std::map<std::uint32_t, std::vector<std::string>>;

struct ReadBack {
  bool ok = false;
  std::string trace_id;
  Threads threads;
  std::map<std::uint32_t, std::string> values;
  std::vector<std::pair<std::uint32_t, std::string>> thread_records;
  std::string metadata;
};

inline std::string bytes_text(PyObject* b) { return std::string(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b)); }

// Parses a whole container (a bytes object) with the reader; every format
// check of the reader applies.
inline ReadBack read_back_object(PyObject* source) {
  add_import_paths();
  ReadBack out;
  py::Ref module = py::Ref::steal(PyImport_ImportModule("v3_reader"));
  if (!module) {
    PyErr_Print();
    ADD_FAILURE() << "cannot import v3_reader";
    return out;
  }
  py::Ref container = py::Ref::steal(PyObject_CallMethod(module.get(), "read_container", "O", source));
  if (!container) {
    PyErr_Print();
    ADD_FAILURE() << "container does not parse";
    return out;
  }
  py::Ref id = py::Ref::steal(PyObject_GetAttrString(container.get(), "trace_id"));
  out.trace_id = PyUnicode_AsUTF8(id.get());
  py::Ref threads = py::Ref::steal(PyObject_GetAttrString(container.get(), "threads"));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(threads.get(), &pos, &key, &value)) {
    auto& frames = out.threads[static_cast<std::uint32_t>(PyLong_AsUnsignedLong(key))];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) frames.push_back(bytes_text(PyList_GET_ITEM(value, i)));
  }
  py::Ref values = py::Ref::steal(PyObject_GetAttrString(container.get(), "values"));
  pos = 0;
  while (PyDict_Next(values.get(), &pos, &key, &value))
    out.values[static_cast<std::uint32_t>(PyLong_AsUnsignedLong(key))] = bytes_text(value);
  py::Ref records = py::Ref::steal(PyObject_GetAttrString(container.get(), "thread_records"));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(records.get(), i);
    out.thread_records.emplace_back(static_cast<std::uint32_t>(PyLong_AsUnsignedLong(PyTuple_GET_ITEM(item, 0))),
                                    bytes_text(PyTuple_GET_ITEM(item, 1)));
  }
  py::Ref metadata = py::Ref::steal(PyObject_GetAttrString(container.get(), "metadata"));
  out.metadata = bytes_text(metadata.get());
  out.ok = true;
  return out;
}

inline ReadBack read_back(std::string_view bytes) {
  py::Ref obj = py::Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  return read_back_object(obj.get());
}

inline ReadBack read_back_file(const std::filesystem::path& path) { return read_back(read_file(path)); }

// A frame of `size` bytes whose content names its thread and number.
inline std::string numbered_frame(std::uint32_t thread, std::uint64_t n, std::size_t size) {
  std::string out = "t" + std::to_string(thread) + "f" + std::to_string(n) + ":";
  out.resize(std::max(size, out.size()), static_cast<char>('a' + n % 26));
  return out;
}

}  // namespace vesh::store::testing
