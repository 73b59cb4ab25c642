// Flushing one candidate, the steps both tracers share: cut its frames out
// of the thread's store, save them as a trace of their own, and put the
// marker record in their place.
//
// The tracer calls it holding its capture lock (no save or trace switch can
// take the store meanwhile) and with no other lock: the store's lock is
// taken through `with_store` only for the cut and for the marker, so other
// threads go on recording while the trace is saved. The flushing thread is
// marked suspended while the save runs Python code, so that nothing it
// raises on this thread is recorded.
//
// The cut frames are held by a restore guard until the marker is in place:
// when the save or the marker fails, they go back where they were (or to the
// store's end, should it have shrunk), as if the flush had not been tried.
#pragma once

#include "py/error.h"
#include "py/ref.h"
#include "store/subtree_flush.h"
#include "store/subtree_save.h"

#include <absl/functional/function_ref.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::store {

// What a tracer gathers for the flushed trace once its frames are cut out.
struct FlushedTraceParts {
  ThreadObjects threads;  // the flushing thread's object, when known
  std::optional<std::string> name;
  std::string root_trace_id;
  std::vector<PublishedValue> values;
};

// How a tracer saves its flushed subtrees (fixed when the tracer is made).
struct FlushSettings {
  std::string_view db_path;
  std::string_view source;
  const Config* config = nullptr;
  std::uint64_t timeout = 0;
  bool use_monitoring = false;
  // When given, receives the stop of the flushed trace's writer if its
  // save failed on it.
  std::optional<FlushedWriterStop>* writer_stop = nullptr;
};

// Runs `use` on the flushing thread's store, locked; false when the thread
// has no store.
using WithStore = absl::FunctionRef<bool(absl::FunctionRef<void(FrameStore&)>)>;
using GatherParts = absl::FunctionRef<FlushedTraceParts(const StoresByThread& drained)>;

// The result of a flush that took place.
struct FlushedSubtree {
  std::uint64_t flushed_bytes = 0;  // of the frames cut out
  std::uint64_t marker_len = 0;
};

// The ids of the interned values the frames of `stores` refer to (repeats
// included): what a trace made of them must carry besides its frames.
std::vector<std::uint32_t> referenced_value_ids(const StoresByThread& stores);

// Flushes `candidate` of the thread `key`. Nothing (and no change) when its
// range no longer lies in the store; an error when the cut, the save or the
// marker failed, the frames then being back in place.
Result<std::optional<FlushedSubtree>, py::PyError> flush_subtree(const std::string& key,
                                                                  const FlushCandidate& candidate,
                                                                  WithStore with_store, GatherParts gather,
                                                                  const FlushSettings& settings);

}  // namespace vesh::store
