// The careful pass (containers met again while open become placeholders)
// and shared-container references.
#include "encode/encoder_internal.h"

namespace vesh::encode {

using py::PyError;
using py::Ref;

bool exact_value_error_is(PyObject* exception, std::string_view text) noexcept {
  if (exception == nullptr || Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_ValueError))
    return false;
  Ref args = Ref::steal(PyObject_GetAttrString(exception, "args"));
  if (!args) {
    PyErr_Clear();
    return false;
  }
  if (!PyTuple_CheckExact(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) return false;
  PyObject* item = PyTuple_GET_ITEM(args.get(), 0);
  if (!PyUnicode_CheckExact(item)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == text;
}

bool needs_careful(PyObject* exception) noexcept {
  if (exception == nullptr) return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  if (type == PyExc_RecursionError) return true;
  if (type == PyExc_UnicodeEncodeError) {
    Ref reason = Ref::steal(PyObject_GetAttrString(exception, "reason"));
    if (!reason) {
      PyErr_Clear();
      return false;
    }
    if (!PyUnicode_CheckExact(reason.get())) return false;
    int equal = PyUnicode_CompareWithASCIIString(reason.get(), "surrogates not allowed");
    return equal == 0;
  }
  if (type == PyExc_ValueError) {
    return exact_value_error_is(exception, "recursion limit exceeded.") ||
           exact_value_error_is(exception, "recursion limit exceeded") ||
           exact_value_error_is(exception, "operation forbidden on released memoryview object");
  }
  return false;
}

// Careful pass: a container met again while it is still open is written as
// a placeholder text instead of being recursed into.
bool NativeMsgpackEncoder::enter_container(PyObject* container, std::string_view placeholder, ByteBuffer& buf) {
  if (on_container_stack(container)) {
    ++placeholders_;
    write_ext(buf, ext::kText, placeholder);
    return false;
  }
  container_stack_.push(container);
  return true;
}

bool NativeMsgpackEncoder::pack_list_carefully(PyObject* list, ByteBuffer& buf, std::int32_t depth) {
  if (!enter_container(list, "[...]", buf)) return true;
  const std::uint64_t placeholders = placeholders_;
  const bool ok = list_body(list, buf, depth);
  container_stack_.pop();
  if (ok) complete_careful_container(list, placeholders_ == placeholders);
  return ok;
}

bool NativeMsgpackEncoder::pack_dict_carefully(PyObject* dict, ByteBuffer& buf, std::int32_t depth) {
  if (!enter_container(dict, "{...}", buf)) return true;
  const std::uint64_t placeholders = placeholders_;
  const bool ok = dict_body(dict, buf, depth);
  container_stack_.pop();
  if (ok) complete_careful_container(dict, placeholders_ == placeholders);
  return ok;
}

void NativeMsgpackEncoder::complete_careful_container(PyObject* container, bool no_placeholder_inside) {
  if (ext_nesting_ != 0 || !shared_) return;
  const Py_ssize_t size = PyDict_Check(container) ? PyDict_GET_SIZE(container) : PyList_GET_SIZE(container);
  record_completed_container(container, size > 1 && no_placeholder_inside && payload_nesting_ == 0);
}

// ---------------------------------------------------------------------------
// Shared-container references

namespace {
constexpr std::size_t kSharedMaxRecorded = 262144;
}  // namespace

void NativeMsgpackEncoder::start_shared_tracking() { shared_ = std::make_unique<SharedContainers>(); }

bool NativeMsgpackEncoder::write_shared_reference(PyObject* container, ByteBuffer& buf) {
  if (shared_->ordinals.empty()) return false;
  auto found = shared_->ordinals.find(container);
  if (found == shared_->ordinals.end()) return false;
  const std::uint64_t distance = shared_->completed - found->second - 1;
  if (distance > kU32Max) return false;
  char out[6] = {static_cast<char>(0xd6), ext::kSharedRef};
  const std::uint32_t be = __builtin_bswap32(static_cast<std::uint32_t>(distance));
  std::memcpy(out + 2, &be, sizeof be);
  buf.write(out, sizeof out);
  return true;
}

void NativeMsgpackEncoder::record_completed_container(PyObject* container, bool record) {
  const std::uint64_t ordinal = shared_->completed++;
  if (!record || shared_->ordinals.size() >= kSharedMaxRecorded) return;
  shared_->kept.push_back(container);
  Py_INCREF(container);
  shared_->ordinals[container] = ordinal;
}

void NativeMsgpackEncoder::release_shared() noexcept {
  shared_.reset();
  plain_containers_ = 0;
}

}  // namespace vesh::encode
