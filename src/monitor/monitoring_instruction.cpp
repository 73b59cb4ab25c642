// The INSTRUCTION callback: assignment capture's first half. At a store of
// code the filters record, it leaves the store pending on its thread (which
// frame, which names, where and when); every other location is switched off
// at its first event. The thread's next callback writes the record.
#include "monitor/monitoring.h"

#include "monitor/monitoring_internal.h"
#include "foundation/error_reporting.h"
#include "py/fault.h"

namespace vesh::monitor {

using py::PyError;
using py::Ref;

PyObject* VeshMonitor::instruction_callback(PyObject* code, std::uint64_t offset) {
  if (session_ended_.load(std::memory_order_relaxed)) [[unlikely]]
    Py_RETURN_NONE;
  // The same hand-shake with end_session as the frame events.
  InFlight in_flight(callbacks_in_flight_, true);
  if (session_ended_.load(std::memory_order_seq_cst)) [[unlikely]]
    Py_RETURN_NONE;
  const std::uint64_t epoch = active_epoch_.load(std::memory_order_relaxed);
  try {
    return instruction_road(code, offset, epoch);
  }
  VESH_LET_THREAD_EXIT_PASS
  catch (...) {
    PyErr_Clear();
    handle_fault();
    Py_RETURN_NONE;
  }
}

PyObject* VeshMonitor::instruction_road(PyObject* code, std::uint64_t offset, std::uint64_t epoch) {
  const std::uint8_t state = hooks::STATE;
  if (state & hooks::kSkipRecording) [[unlikely]]
    return answer_filter(instruction_hooks_off_result(state, code, offset), epoch);

  if (panicked_.load(std::memory_order_relaxed)) [[unlikely]] {
    note_disabled_recordable();
    return answer_filter(disable_.clone(), epoch);
  }

  std::uint8_t bits = 0;
  if (state & hooks::kWaiting) {
    bits = hooks::assignment_bits(assignment_owner_.id());
    if (bits == 0) hooks::drop_dead_assignments();
  }

  // Held until the answer: it keeps the omitting-values flag for the flush.
  StackCheck stack = check_stack_with(StackEvent::neutral());
  if (stack.decision == StackDecision::Skip) Py_RETURN_NONE;

  EventResult begun = begin_callback(kEventCall, bits);
  if (!begun.ok()) {
    begun.error().restore();
    return nullptr;
  }
  if (begun.value()) return answer_filter(std::move(begun.value()), epoch);

  EventResult outcome = instruction_work(code, offset);
  if (!outcome.ok() && reaches_program(outcome.error())) {
    outcome.error().restore();
    return nullptr;
  }
  Ref answer = return_or_log(std::move(outcome));
  // As at the frame events (see finish).
  if (PyErr_Occurred() != nullptr) [[unlikely]]
    report_stray_error();
  return answer_filter(std::move(answer), epoch);
}

Ref VeshMonitor::instruction_hooks_off_result(std::uint8_t state, PyObject* code, std::uint64_t offset) {
  if (!(state & hooks::kWorker)) {
    // A suspended thread: vesh's own Python code runs there.
    note_disabled_recordable();
    return disable_.clone();
  }
  if (statically_excluded(code)) return disable_.clone();
  // Worker threads read the cache but never fill it.
  if (instruction_cache_.poisoned()) return py::none();
  SharedInstructionMetadata entry = instruction_cache_.find(code_address(code));
  if (!entry) return py::none();
  return entry->switches_off(offset) ? disable_.clone() : py::none();
}

EventResult VeshMonitor::instruction_work(PyObject* code, std::uint64_t offset) {
  auto found = instruction_metadata(code);
  if (!found.ok()) return Err{std::move(found.error())};
  const SharedInstructionMetadata& entry = found.value();
  if (!entry) return disable_.clone();  // excluded code
  const CachedInstruction* store = entry->store_at(offset);
  if (store == nullptr) return disable_.clone();
  if (entry->include == IncludeState::Undecided) {
    bool included = false;
    if (!include_frame(entry->file_name, include_frames_, ignore_frames_, included)) return Err{fetch_error()};
    if (!included) return disable_.clone();
  }
  return capture_assignment(*entry, *store, offset);
}

Result<SharedInstructionMetadata, PyError> VeshMonitor::instruction_metadata(PyObject* code) {
  const CodeAddress address = code_address(code);
  if (SharedInstructionMetadata found = instruction_cache_.find(address)) return found;
  // Excluded code is neither disassembled nor kept: each of its locations
  // is switched off at its first event.
  if (local_code_metadata(address).excluded) return SharedInstructionMetadata();
  Ref filename_obj = Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_filename")));
  if (!filename_obj) return Err{fetch_error()};
  std::string file_name;
  if (!str_bytes(filename_obj.get(), file_name)) return Err{fetch_error()};
  IncludeState include = IncludeState::Undecided;
  if (!file_name.empty()) {
    bool included = false;
    if (!include_frame(file_name, include_frames_, ignore_frames_, included)) return Err{fetch_error()};
    if (!included) return SharedInstructionMetadata();
    include = IncludeState::Included;
  }

  SharedInstructionMetadata built =
      build_instruction_metadata(get_instructions_.get(), code, std::move(file_name), include);
  if (built) return instruction_cache_.insert(address, std::move(built));
  PyError error = fetch_error();
  if (reaches_program(error)) return Err{std::move(error)};
  // Remembered as a code without stores, so the failure is reported once
  // and not disassembled again at each of its instructions.
  auto failed = std::make_shared<CodeInstructionMetadata>();
  failed->code = Ref::borrow(code);
  failed->include = include;
  instruction_cache_.insert(address, std::move(failed));
  return Err{std::move(error)};
}

EventResult VeshMonitor::capture_assignment(const CodeInstructionMetadata& entry, const CachedInstruction& store,
                                            std::uint64_t offset) {
  Ref frame = current_frame();
  if (!frame) return Err{fetch_error()};
  if (!Py_IS_TYPE(frame.get(), &PyFrame_Type)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyFrame'", Py_TYPE(frame.get())->tp_name);
    return Err{fetch_error()};
  }
  InstructionData data;
  data.line.frame_id = thread_state().frame_ids.borrow()->get_option(frame_key(frame.get()));
  if (!frame_path_cache_->format_frame_path(frame.get(), data.line.path)) return Err{fetch_error()};
  data.line.co_name = entry.name;
  std::optional<std::string> qualname;
  if (!get_qualname(frame.get(), qualname)) return Err{fetch_error()};
  if (!qualname) fault("qualname always exists on Python 3.12+");
  data.line.qualname = std::move(*qualname);
  data.line.timestamp = vesh::timestamp();
  data.names = store.names;
  data.frame = std::move(frame);
  data.offset = offset;
  data.kind = store.kind;

  std::optional<InstructionData> replaced;
  {
    auto slot = thread_state().assignments.borrow_mut();
    replaced = std::exchange(slot->pending, std::move(data));
  }
  set_assignment_bit(kPendingBit, true);
  return py::none();
}

}  // namespace vesh::monitor
