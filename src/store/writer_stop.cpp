#include "store/writer_stop.h"

namespace vesh::store {

IoError WriterStop::error() const {
  if (kind == Kind::WriteFailed) return cause;
  return IoError::make(IoKind::Other, "trace recording stopped before the trace file's filesystem ran out of space");
}

std::string describe_writer_stop(const WriterStop& stop, std::string_view trace_id,
                                 const std::filesystem::path& file) {
  const std::string id = utf8_lossy(trace_id);
  const std::string path = utf8_lossy(file.string());
  if (stop.kind == WriterStop::Kind::WriteFailed) {
    return "Vesh stopped recording trace " + id + ": writing " + path + " failed: " + stop.cause.text();
  }
  return "Vesh stopped recording trace " + id + " after writing " + std::to_string(stop.bytes_written) +
         " bytes to " + path + ": more would leave less than the reserve of " + std::to_string(stop.reserve) +
         " bytes free on its filesystem; the trace is kept up to here";
}

bool WriterStopSlot::set(WriterStop stop) {
  auto* kept = new WriterStop(std::move(stop));
  const WriterStop* expected = nullptr;
  if (stop_.compare_exchange_strong(expected, kept, std::memory_order_acq_rel)) return true;
  delete kept;
  return false;
}

}  // namespace vesh::store
