#include "monitor/instruction_cache.h"

#include "foundation/frame_path.h"
#include "py/args.h"

#include <string_view>

namespace vesh::monitor {

using py::Ref;

namespace {

struct StoreOpcode {
  std::string_view opname;
  Opname kind;
  // Names the argval holds: one text, or a pair of which the first `kept`
  // are bound by the store.
  bool pair;
  std::size_t kept;
};

constexpr StoreOpcode kStores[] = {
    {"STORE_FAST", Opname::Local, false, 1},
    {"STORE_DEREF", Opname::Cell, false, 1},
    {"STORE_GLOBAL", Opname::Global, false, 1},
    // Stores its first name, then loads the second.
    {"STORE_FAST_LOAD_FAST", Opname::Local, true, 1},
    {"STORE_FAST_STORE_FAST", Opname::Local, true, 2},
};

const StoreOpcode* store_opcode(std::string_view opname) {
  for (const StoreOpcode& op : kStores) {
    if (op.opname == opname) return &op;
  }
  return nullptr;
}

// The names a store binds; empty when argval does not have the store's shape.
std::vector<std::string> store_names(const StoreOpcode& op, PyObject* argval) {
  std::vector<std::string> names;
  std::string text;
  if (!op.pair) {
    if (!PyUnicode_Check(argval) || !str_text_lossy(argval, text)) return {};
    names.push_back(std::move(text));
    return names;
  }
  if (!PyTuple_Check(argval) || PyTuple_GET_SIZE(argval) != 2) return {};
  for (std::size_t i = 0; i < 2; ++i) {
    PyObject* item = PyTuple_GET_ITEM(argval, static_cast<Py_ssize_t>(i));
    if (!PyUnicode_Check(item) || !str_text_lossy(item, text)) return {};
    if (i < op.kept) names.push_back(std::move(text));
  }
  return names;
}

// Adds the instruction's store, if it is one. False with the Python error set
// when an attribute the caller needs cannot be read.
bool add_store(PyObject* instruction, CodeInstructionMetadata& out) {
  Ref opname_obj = Ref::checked(PyObject_GetAttr(instruction, VESH_INTERNED("opname")));
  if (!opname_obj) return false;
  std::string opname;
  if (!py::to_string(opname_obj.get(), opname)) return false;
  if (opname.size() < 6 || opname.compare(0, 6, "STORE_") != 0) return true;
  Ref argval = Ref::checked(PyObject_GetAttr(instruction, VESH_INTERNED("argval")));
  if (!argval) return false;
  const StoreOpcode* op = store_opcode(opname);
  if (op == nullptr) return true;  // an attribute, subscript or name store
  std::vector<std::string> names = store_names(*op, argval.get());
  PyErr_Clear();
  if (names.empty()) return true;
  bool all_hidden = true;
  for (const std::string& name : names) all_hidden &= hidden_name(name);
  if (all_hidden) return true;
  Ref offset_obj = Ref::checked(PyObject_GetAttr(instruction, VESH_INTERNED("offset")));
  if (!offset_obj) return false;
  std::uint64_t offset = 0;
  if (!py::to_u64(offset_obj.get(), offset)) return false;
  out.stores.insert_or_assign(
      offset, CachedInstruction{std::make_shared<const std::vector<std::string>>(std::move(names)), op->kind});
  return true;
}

}  // namespace

SharedInstructionMetadata build_instruction_metadata(PyObject* get_instructions, PyObject* code,
                                                     std::string file_name, IncludeState include) {
  auto entry = std::make_shared<CodeInstructionMetadata>();
  Ref instructions = Ref::checked(PyObject_CallOneArg(get_instructions, code));
  if (!instructions) return nullptr;
  Ref iterator = Ref::checked(PyObject_GetIter(instructions.get()));
  if (!iterator) return nullptr;
  while (Ref instruction = Ref::checked(PyIter_Next(iterator.get()))) {
    if (!add_store(instruction.get(), *entry)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_name")));
  if (!name || !py::to_string(name.get(), entry->name)) return nullptr;
  entry->code = Ref::borrow(code);
  entry->file_name = std::move(file_name);
  entry->include = include;
  return entry;
}

SharedInstructionMetadata InstructionCache::find(CodeAddress address) {
  auto map = map_.lock();
  if (map->empty()) return nullptr;
  auto it = map->find(address);
  return it == map->end() ? nullptr : it->second;
}

SharedInstructionMetadata InstructionCache::insert(CodeAddress address, SharedInstructionMetadata entry) {
  auto map = map_.lock();
  auto [it, inserted] = map->try_emplace(address, std::move(entry));
  return it->second;
}

std::size_t InstructionCache::size() { return map_.lock()->size(); }

}  // namespace vesh::monitor
