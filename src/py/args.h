// Argument parsing for METH_FASTCALL | METH_KEYWORDS builtins, and the value
// conversions the module's functions and configuration use.
//
// Every parameter may be given by position or by keyword. parse() only binds
// arguments to parameter slots (borrowed pointers, null when a defaulted
// parameter was not given); conversions are separate so that each caller
// converts exactly what it needs, in its own order.
//
// Each conversion returns false with a Python exception set. with_arg_name()
// rewrites a TypeError as "argument 'x': <message>" so the message names the
// argument that was wrong; other errors (OverflowError, UnicodeEncodeError)
// are left as they are.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::py {

struct Signature {
  const char* function;            // name used in error messages
  const char* const* names;        // parameter names, in order
  std::size_t count;               // number of parameters
  std::size_t required;            // leading parameters without a default
};

// Binds args/kwnames to `out[0..count)`. Absent optional parameters are null.
bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out);

// Conversions. Each accepts exactly what its name says.
bool to_bool(PyObject* obj, bool& out);                      // True or False only
bool to_utf8(PyObject* obj, std::string_view& out);          // str; view lives as long as obj
bool to_string(PyObject* obj, std::string& out);             // str, copied
bool to_u64(PyObject* obj, std::uint64_t& out);              // via __index__
bool to_dict(PyObject* obj);                                 // dict or dict subclass
bool to_str_list(PyObject* obj, std::vector<std::string>& out);  // sequence of str, not a str
bool to_optional_bool(PyObject* obj, std::optional<bool>& out);  // None or absent -> nullopt
bool to_optional_string(PyObject* obj, std::optional<std::string>& out);
bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out);    // None or absent -> nullopt

// Rewrites a pending TypeError to name the argument. Always returns false.
bool with_arg_name(const char* name);

// Convenience: convert or name the argument.
template <typename Fn, typename... Out>
inline bool convert_arg(const char* name, Fn fn, PyObject* obj, Out&... out) {
  return fn(obj, out...) || with_arg_name(name);
}

// The type name of an object, as used in conversion messages.
std::string type_name(PyObject* obj);

}  // namespace vesh::py
