// Whether an instruction offset lies in a code object's bytecode prefix, the
// part before the first RESUME (or RETURN_GENERATOR) that ends it. The stack
// guard skips PY_UNWIND events raised there while the native stack runs low.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace vesh::monitor {

// The opcode numbers of RESUME and RETURN_GENERATOR, read once from
// `opcode.opmap`. nullopt with the Python error set when that fails; the
// next call tries again.
std::optional<std::pair<std::uint8_t, std::uint8_t>> prefix_end_opcodes();

// True when `offset` lies inside `code.co_code` and neither the unit that
// holds it nor any before it ends the prefix. Never fails: every failure
// answers false.
bool before_first_resume(PyObject* code, std::uint64_t offset) noexcept;

}  // namespace vesh::monitor
