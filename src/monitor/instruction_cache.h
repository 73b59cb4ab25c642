// Which instruction offsets of a code object store into a variable, for
// assignment capture.
//
// The INSTRUCTION callback disassembles a code object (dis.get_instructions)
// at its first event and keeps the stores it found, keyed by offset: local
// stores (STORE_FAST and the two-name superinstructions of 3.13), cell
// stores (STORE_DEREF) and global stores (STORE_GLOBAL). Stores into
// attributes, subscripts or module-level names record nothing. Every other
// offset is switched off at its first event, so only stores keep calling
// back.
//
// Only code whose frames the filters may record gets an entry: an entry
// holds its code object (so its address cannot pass to another code
// object), and excluded library code would otherwise be kept alive for the
// monitor's whole life.
#pragma once

#include <Python.h>

#include "foundation/filters.h"
#include "monitor/code_metadata.h"
#include "py/gil_mutex.h"
#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::monitor {

// Where a store's value is read back once the store has run.
enum class Opname : std::uint8_t {
  Local = 0,   // STORE_FAST, STORE_FAST_LOAD_FAST, STORE_FAST_STORE_FAST: the frame's locals
  Global = 1,  // STORE_GLOBAL: the frame's globals
  Cell = 2,    // STORE_DEREF: the frame's locals (cells dereferenced)
};

using SharedNames = std::shared_ptr<const std::vector<std::string>>;

// A name starting with "@" is never recorded: a store of only such names
// gets no entry, and a store of two leaves it out when it writes.
inline bool hidden_name(std::string_view name) noexcept { return !name.empty() && name.front() == '@'; }

// One store instruction: the names it binds, in the order it binds them.
struct CachedInstruction {
  SharedNames names;
  Opname kind = Opname::Local;
};

// Whether the filters record a code object's frames.
enum class IncludeState : std::uint8_t {
  Excluded = 0,
  Included = 1,
  Undecided = 2,  // no file name: the filters are asked again at every event
};

struct CodeInstructionMetadata {
  py::Ref code;  // keeps the address taken
  std::string file_name;
  std::string name;
  absl::flat_hash_map<std::uint64_t, CachedInstruction> stores;
  IncludeState include = IncludeState::Included;

  // The store at `offset`, or null.
  const CachedInstruction* store_at(std::uint64_t offset) const {
    if (stores.empty()) return nullptr;
    auto it = stores.find(offset);
    return it == stores.end() ? nullptr : &it->second;
  }
  // Whether events at `offset` can never record anything.
  bool switches_off(std::uint64_t offset) const {
    return include == IncludeState::Excluded || store_at(offset) == nullptr;
  }
};

using SharedInstructionMetadata = std::shared_ptr<const CodeInstructionMetadata>;

// The stores of `code` found by `get_instructions` (dis.get_instructions),
// with `file_name` and `include` already decided by the caller. Null with
// the Python error set when the disassembly, an instruction's attributes or
// co_name cannot be read.
SharedInstructionMetadata build_instruction_metadata(PyObject* get_instructions, PyObject* code,
                                                     std::string file_name, IncludeState include);

// The shared cache: code address to entry. Entries are never removed; the
// lock is held for a lookup or an insert only, never across Python code.
class InstructionCache {
 public:
  SharedInstructionMetadata find(CodeAddress address);
  // Inserts unless an entry exists; answers the entry that stands.
  SharedInstructionMetadata insert(CodeAddress address, SharedInstructionMetadata entry);
  std::size_t size();
  bool poisoned() const noexcept { return map_.poisoned(); }

 private:
  py::GilMutex<absl::flat_hash_map<CodeAddress, SharedInstructionMetadata>> map_{"instruction cache"};
};

}  // namespace vesh::monitor
