// Handing finished traces to the Python side, and the two MessagePack
// payloads a "v3" container carries besides frames: the trace metadata
// (record kind 3) and one record per thread (record kind 2).
//
// Everything here runs with the interpreter lock held; failures are the
// Python exception that stopped the operation. Nothing here logs.
#pragma once

#include "foundation/config.h"
#include "py/error.h"
#include "store/chunk_handle.h"
#include "store/io_error.h"
#include "support/byte_buffer.h"
#include "store/frame_store.h"
#include "store/recorded_thread.h"
#include "store/runtime_metadata.h"

#include <absl/container/flat_hash_map.h>

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesh::store {

// Thread key -> the u32 token that keys the thread's records and chunks
// within one container.
using ThreadTokens = absl::flat_hash_map<std::string, std::uint32_t>;

// One recorded thread: its key and its Python thread object (borrowed), or
// for a thread whose object is gone, the facts last known of it.
struct ThreadEntry {
  std::string_view key;
  PyObject* thread;
  const ThreadFacts* ended = nullptr;
};

// A per-thread record's body, with the token it is written under.
using ThreadRecord = std::pair<std::uint32_t, ByteBuffer>;

struct TracePayloads {
  std::vector<ThreadRecord> thread_records;  // one per thread, in the order given
  ByteBuffer metadata;
};

// Builds the metadata payload and one per-thread payload per entry of
// `threads`, in its order. Reads the version, commit and argv afresh, the
// interpreter and platform facts once per process. Fails with
// RuntimeError "missing v3 thread token for <key>" for a thread without a
// token, or with the exception of a failed Python read (a thread's name,
// daemon, is_alive(); the version, commit, argv or platform facts). The
// thread's ident and native_id, and configuration values that cannot be
// written, never fail it.
PyResult<TracePayloads> prepare_v3_trace_from_parts(std::span<const ThreadEntry> threads, const ThreadTokens& tokens,
                                                    std::string_view trace_id, std::optional<std::string> trace_name,
                                                    std::string_view source, double timestamp,
                                                    std::string current_thread_id, const Config& config,
                                                    bool use_monitoring, std::optional<std::string_view> root_trace_id);

// The same for a tracer's threads: a thread whose object is gone is written
// from the facts last known of it, as not alive.
PyResult<TracePayloads> prepare_v3_trace_from_parts(const ThreadObjects& threads, const ThreadTokens& tokens,
                                                    std::string_view trace_id, std::optional<std::string> trace_name,
                                                    std::string_view source, double timestamp,
                                                    std::string current_thread_id, const Config& config,
                                                    bool use_monitoring, std::optional<std::string_view> root_trace_id);

// Announces a trace whose container file the writer has finished in the raw
// directory beside `db_path` under the name `raw_file`, which its row is to
// name as it is: vesh.db._save_trace_metadata(trace_id, db_path=Path(db_path),
// ignore_errors=..., created_at=None, timeout=..., raw_file=raw_file).
PyResult<void> save_trace_metadata(std::string_view trace_id, std::string_view raw_file, std::string_view db_path,
                                   std::uint64_t timeout, bool ignore_errors);

// Hands a container built in memory over:
// vesh.db.save_v3_trace_chunks(trace_id, (container,), db_path=Path(db_path),
// ignore_errors=True, timeout=...).
PyResult<void> save_v3_container_bytes(std::string_view trace_id, std::string_view container, std::string_view db_path,
                                       std::uint64_t timeout);

// One recorded thread's store, for the in-memory build.
struct StoreEntry {
  std::string_view key;
  const FrameStore* store;
};

// A published value to include in an in-memory build.
using PublishedValue = std::pair<std::uint32_t, SharedBytes>;

// Builds one whole "v3" container in memory from a finished capture's
// stores: preamble and header, the values, each store's frames chunked
// afresh (in the order given, under its thread's token), the per-thread
// records, the metadata, the index and the footer. The stores are only
// read. InvalidInput "missing v3 thread token for <key>" when a store's key
// has no token; a frame that cannot be read ends the build with its error.
Result<ByteBuffer, IoError> build_container_bytes(std::string_view trace_id, double timestamp,
                                                  std::span<const StoreEntry> stores, const ThreadTokens& tokens,
                                                  std::vector<ThreadRecord> thread_records, ByteBuffer metadata,
                                                  std::vector<PublishedValue> values);

// The same for a map from thread key to FrameStore (or to a pointer to one).
template <typename StoreMap>
Result<ByteBuffer, IoError> build_container_bytes(std::string_view trace_id, double timestamp,
                                                  const StoreMap& stores, const ThreadTokens& tokens,
                                                  std::vector<ThreadRecord> thread_records, ByteBuffer metadata,
                                                  std::vector<PublishedValue> values) {
  std::vector<StoreEntry> entries;
  entries.reserve(stores.size());
  for (const auto& [key, store] : stores) {
    if constexpr (requires { *store; }) {
      entries.push_back(StoreEntry{key, &*store});
    } else {
      entries.push_back(StoreEntry{key, &store});
    }
  }
  return build_container_bytes(trace_id, timestamp, std::span<const StoreEntry>(entries), tokens,
                               std::move(thread_records), std::move(metadata), std::move(values));
}

// A configuration value as the metadata records it.
struct ConfigValue {
  enum class Kind : std::uint8_t { Nil, Bool, Int, Float, Text } kind = Kind::Nil;
  bool boolean = false;
  std::int64_t integer = 0;
  double real = 0;
  std::string text;
};

// The configuration keys a trace never carries (its metadata's "config",
// a trace point's copy of the configuration): "filters", "auto_emit",
// "processors", "trace_points" and "flush_subtree_mb".
bool excluded_config_key(std::string_view key);

// The "config" entries of the metadata, in the configuration map's order:
// every entry but "filters", "auto_emit", "processors", "trace_points" and
// "flush_subtree_mb", then "use_monitoring" and "use_rust" (always true),
// which replace entries of those names. A value that is none of None, str,
// bool, a 64-bit int or a float (nor float()-convertible) is left out, with
// the line "unsupported config type: <key as a quoted literal>" on stdout.
std::vector<std::pair<std::string, ConfigValue>> convert_config(const Config& config, bool use_monitoring);

}  // namespace vesh::store
