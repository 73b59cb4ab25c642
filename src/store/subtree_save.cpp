#include "store/subtree_save.h"

#include "py/fault.h"
#include "store/gil_release.h"
#include "store/trace_capture.h"

#include <unistd.h>

#include <limits>

namespace vesh::store {

namespace {

py::PyError io_failure(const IoError& error) { return to_python(error); }

// Copies every frame of `from` into `to`, in order.
Result<void, IoError> copy_frames(const FrameStore& from, FrameStore& to) {
  ByteBuffer scratch;
  for (std::uint64_t i = 0; i < from.frame_count(); ++i) {
    auto frame = from.frame(i, scratch);
    if (!frame.ok()) return Err{std::move(frame).error()};
    auto appended = to.append_serialized(frame.value());
    if (!appended.ok()) return Err{std::move(appended).error()};
  }
  return Ok{};
}

// Removes what a failed save left of the capture's file, finished or not:
// its frames go back into the running trace, which saves them, so the file
// would be a second copy, and one more at every flush while the failure
// lasts. A prefix recovered after the writer circuit opened is named by the
// error and stays.
void remove_unsaved_file(TraceCapture& capture) {
  ::unlink(capture.final_path().c_str());
  if (!capture.recovered_prefix()) ::unlink(capture.temp_path()->c_str());
}

}  // namespace

PyResult<void> save_v3_trace_from_parts(const StoresByThread& stores, const ThreadObjects& threads,
                                        FlushedTraceInfo info, std::vector<PublishedValue> values) {
  // This trace's own tokens: the stores' threads first, then the others.
  ThreadTokens tokens;
  tokens.reserve(std::max(stores.size(), threads.size()));
  std::uint64_t next_token = 1;
  bool exhausted = false;
  auto give_token = [&](const std::string& key) {
    if (tokens.contains(key)) return;
    if (next_token > std::numeric_limits<std::uint32_t>::max()) {
      exhausted = true;
      return;
    }
    tokens.emplace(key, static_cast<std::uint32_t>(next_token++));
  };
  for (const auto& [key, store] : stores) give_token(key);
  for (const auto& [key, thread] : threads) give_token(key);
  if (exhausted) return Err{py::PyError::make(PyExc_RuntimeError, "Vesh exhausted its per-capture thread token space")};

  auto payloads = prepare_v3_trace_from_parts(threads, tokens, info.trace_id, std::move(info.trace_name), info.source,
                                              info.timestamp, std::move(info.current_thread_id), *info.config,
                                              info.use_monitoring, info.root_trace_id);
  if (!payloads.ok()) return Err{std::move(payloads).error()};

  auto made = TraceCapture::for_trace(info.db_path, info.trace_id, info.timestamp);
  if (!made.ok()) return Err{io_failure(made.error())};
  std::shared_ptr<TraceCapture> capture = std::move(made).value();

  // The copies are ours alone until the capture is finished: the program's
  // other threads go on while they are written.
  std::optional<IoError> failure;
  {
    GilRelease released;
    for (auto& [id, bytes] : values) {
      if (auto published = capture->publish_value(id, std::move(bytes)); !published.ok()) {
        failure = std::move(published).error();
        break;
      }
    }
    std::vector<ThreadLayout> layouts;
    layouts.reserve(stores.size());
    for (const auto& [key, store] : stores) {
      if (failure) break;
      FrameStore copy = FrameStore::open(capture, tokens.at(key));
      auto copied = copy_frames(store, copy);
      if (!copied.ok()) {
        failure = std::move(copied).error();
        break;
      }
      auto layout = copy.layout();
      if (!layout.ok()) {
        failure = std::move(layout).error();
        break;
      }
      layouts.push_back(std::move(layout).value());
    }
    if (!failure) {
      auto finished = capture->finish(std::move(payloads.value().thread_records),
                                      std::move(payloads.value().metadata), std::move(layouts));
      if (!finished.ok()) {
        failure = std::move(finished).error();
      } else if (const WriterStop* stop = capture->writer_stop()) {
        // A subtree is flushed whole or not at all: past the filesystem's
        // reserve the writer left some of its frames out of the file.
        failure = stop->error();
      }
    }
  }
  if (failure) {
    if (const WriterStop* stop = capture->writer_stop(); stop != nullptr && info.writer_stop != nullptr) {
      *info.writer_stop = FlushedWriterStop{*stop, capture->final_path()};
    }
    remove_unsaved_file(*capture);
    return Err{io_failure(*failure)};
  }

  auto registered = save_trace_metadata(info.trace_id, capture->final_path().filename().string(), info.db_path,
                                        info.timeout, false);
  if (!registered.ok()) remove_unsaved_file(*capture);
  return registered;
}

}  // namespace vesh::store
