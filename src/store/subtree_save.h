// Saving a flushed subtree as a trace of its own: a new capture under the
// given trace id, the frames copied into fresh stores of that capture, the
// container finished in the raw directory and registered with vesh.db.
//
// Unlike a tracer's save, every failure is returned, registration included
// (vesh.db is asked not to ignore errors): the caller's frames are still
// whole, and it puts them back. The file a failed save wrote, finished or
// not, is removed again, so that nothing is left in the raw directory that
// the database does not know.
#pragma once

#include "foundation/config.h"
#include "py/error.h"
#include "py/ref.h"
#include "store/frame_store.h"
#include "store/runtime_metadata.h"
#include "store/trace_persistence.h"
#include "store/writer_stop.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::store {

using StoresByThread = absl::flat_hash_map<std::string, FrameStore>;

// Why a flushed trace's writer stopped, and the file it was writing.
struct FlushedWriterStop {
  WriterStop stop;
  std::filesystem::path file;
};

// What the trace is saved with besides its frames.
struct FlushedTraceInfo {
  std::string_view trace_id;
  std::optional<std::string> trace_name;
  std::string_view source;
  double timestamp = 0;
  std::string current_thread_id;
  const Config* config = nullptr;
  bool use_monitoring = false;
  std::optional<std::string_view> root_trace_id;
  std::string_view db_path;
  std::uint64_t timeout = 0;
  // When given, receives the stop of the trace's writer if the save failed
  // on it.
  std::optional<FlushedWriterStop>* writer_stop = nullptr;
};

// Saves `stores` (only read) with the thread objects `threads` as the trace
// `info.trace_id`. Tokens are this trace's own, from 1: the stores' keys
// first, then the other threads'. `values` are the interned values the
// frames refer to, published first.
PyResult<void> save_v3_trace_from_parts(const StoresByThread& stores, const ThreadObjects& threads,
                                        FlushedTraceInfo info, std::vector<PublishedValue> values);

}  // namespace vesh::store
