#include "py/args.h"

#include "py/error.h"
#include "py/ref.h"

#include <cstring>
#include <string_view>

namespace vesh::py {

namespace {

bool fail_conversion(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name, target);
  return false;
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) {
    std::string expected = sig.required == sig.count
                               ? std::to_string(sig.count)
                               : "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    if (sig.count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.function, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", sig.function,
                   expected.c_str(), sig.count == 1 && sig.required == 1 ? "" : "s", nargs,
                   nargs == 1 ? "was" : "were");
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      // Compared with its length: a name with an embedded NUL or without a
      // UTF-8 form is no parameter's name, only an unexpected keyword.
      Py_ssize_t key_size = 0;
      const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &key_size) : nullptr;
      if (key_text == nullptr) PyErr_Clear();
      std::size_t slot = sig.count;
      for (std::size_t i = 0; key_text != nullptr && i < sig.count; ++i) {
        if (std::string_view(sig.names[i]) == std::string_view(key_text, static_cast<std::size_t>(key_size))) {
          slot = i;
          break;
        }
      }
      if (slot == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", sig.function, key);
        return false;
      }
      if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[slot]);
        return false;
      }
      out[slot] = args[nargs + k];
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
      names += "'";
      names += missing[i];
      names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %s: %s", sig.function,
                 plural(missing.size(), "required positional argument").c_str(), names.c_str());
    return false;
  }
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (obj == Py_True) {
    out = true;
    return true;
  }
  if (obj == Py_False) {
    out = false;
    return true;
  }
  return fail_conversion(obj, "PyBool");
}

bool to_utf8(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return fail_conversion(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // lone surrogate: UnicodeEncodeError
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_string(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!to_utf8(obj, view)) return false;
  out.assign(view);
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  Ref index = Ref::checked(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_dict(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  return fail_conversion(obj, "PyDict");
}

bool to_str_list(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return fail_conversion(obj, "Sequence");
  Py_ssize_t size = checked_status(PySequence_Size(obj));
  if (size < 0) return false;
  std::vector<std::string> items;
  items.reserve(static_cast<std::size_t>(size));
  Ref iter = Ref::checked(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item = Ref::checked(PyIter_Next(iter.get()))) {
    std::string text;
    if (!to_string(item.get(), text)) return false;
    items.push_back(std::move(text));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(items);
  return true;
}

bool to_optional_bool(PyObject* obj, std::optional<bool>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  bool value = false;
  if (!to_bool(obj, value)) return false;
  out = value;
  return true;
}

bool to_optional_string(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string value;
  if (!to_string(obj, value)) return false;
  out = std::move(value);
  return true;
}

bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!to_u64(obj, value)) return false;
  out = value;
  return true;
}

bool with_arg_name(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyError original = PyError::fetch();
  std::string text = std::string("argument '") + name + "': " + original.message();
  PyErr_SetString(PyExc_TypeError, text.c_str());
  PyObject* replacement = PyErr_GetRaisedException();
  PyException_SetCause(replacement, Py_NewRef(original.value()));
  PyErr_SetRaisedException(replacement);
  return false;
}

}  // namespace vesh::py
