#include "monitor/resume_prefix.h"

#include "py/error.h"
#include "py/import.h"
#include "py/ref.h"

#include <atomic>

namespace vesh::monitor {

namespace {

// Filled once; the pair packed as RESUME | RETURN_GENERATOR << 8, with bit 16
// marking it filled. Both values come from the running interpreter, so a
// racing second fill stores the same word.
std::atomic<std::uint32_t> OPCODES{0};
constexpr std::uint32_t kFilled = 1u << 16;

bool opcode_number(PyObject* opmap, const char* name, std::uint8_t& out) {
  py::Ref value = py::Ref::checked(PyObject_GetItem(opmap, py::Ref::steal(PyUnicode_FromString(name)).get()));
  if (!value) return false;
  unsigned long number = PyLong_AsUnsignedLong(value.get());
  if (number == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (number > 255) {
    PyErr_SetString(PyExc_OverflowError, "opcode number out of range");
    return false;
  }
  out = static_cast<std::uint8_t>(number);
  return true;
}

}  // namespace

std::optional<std::pair<std::uint8_t, std::uint8_t>> prefix_end_opcodes() {
  std::uint32_t word = OPCODES.load(std::memory_order_acquire);
  if (word & kFilled) return std::make_pair(std::uint8_t(word & 0xff), std::uint8_t((word >> 8) & 0xff));
  py::Ref opcode = py::import_module("opcode");
  if (!opcode) return std::nullopt;
  py::Ref opmap = py::Ref::checked(PyObject_GetAttrString(opcode.get(), "opmap"));
  if (!opmap) return std::nullopt;
  std::uint8_t resume = 0;
  std::uint8_t return_generator = 0;
  if (!opcode_number(opmap.get(), "RESUME", resume)) return std::nullopt;
  if (!opcode_number(opmap.get(), "RETURN_GENERATOR", return_generator)) return std::nullopt;
  OPCODES.store(kFilled | resume | (std::uint32_t{return_generator} << 8), std::memory_order_release);
  return std::make_pair(resume, return_generator);
}

bool before_first_resume(PyObject* code, std::uint64_t offset) noexcept {
  auto opcodes = prefix_end_opcodes();
  if (!opcodes) {
    PyErr_Clear();
    return false;
  }
  py::Ref co_code = py::Ref::steal(PyObject_GetAttrString(code, "co_code"));
  if (!co_code) {
    PyErr_Clear();
    return false;
  }
  if (!PyBytes_Check(co_code.get())) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(co_code.get()));
  const std::uint64_t units = static_cast<std::uint64_t>(PyBytes_GET_SIZE(co_code.get())) / 2;
  const std::uint64_t target = offset / 2;
  if (target >= units) return false;
  const auto [resume, return_generator] = *opcodes;
  for (std::uint64_t i = 0; i <= target; ++i) {
    const unsigned char op = bytes[2 * i];
    const unsigned char arg = bytes[2 * i + 1];
    if (op == return_generator) return false;
    if (op == resume && arg != 4) return false;
  }
  return true;
}

}  // namespace vesh::monitor
