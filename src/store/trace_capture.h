// One trace being recorded: the names of its files in the "raw" directory
// beside the database, the background writer that streams it into a
// temporary file, and the ids of the values already published into it.
//
// Streamed (the normal route): every sealed chunk and published value
// reserves room in the process-wide resident budget and goes to the
// capture's writer thread, started on first use; finish() closes the file
// and gives it the capture's own name "<raw>/<id stem>.<unique>.vesh",
// which the database row then names. Kept in memory: chunks stay in
// their handles and the tracer builds the container as bytes. A capture
// switches to memory, once and for good, when it is used in a forked child
// (the parent's writer, channel and file are left alone).
#pragma once

#include "store/chunk_handle.h"
#include "store/fork_lock.h"
#include "store/io_error.h"
#include "store/trace_writer.h"
#include "store/writer_runtime.h"
#include "store/writer_stop.h"
#include "support/byte_buffer.h"
#include "support/result.h"
#include "store/trace_container.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesh::store {

// Taken once per capture for its temporary file name, so that no two
// captures of a process share one.
extern std::atomic<std::uint64_t> TEMP_SEQUENCE;

// A trace id names a file inside the raw directory: one that is empty or
// contains "/", a NUL or ".." could name (or replace) a file elsewhere.
// InvalidInput with a message naming the id when it is refused.
Result<void, IoError> validate_trace_id(std::string_view trace_id);

// The same check at the Python boundary: false with ValueError set (its
// text naming the refused id) when `trace_id` is refused.
bool require_valid_trace_id(std::string_view trace_id);

// The part of a trace file's name taken from its trace id (already
// validated): the id itself when it is a short plain name (ASCII letters,
// digits, "_", "-" and ".", not first), else its first characters, each
// other byte made "_", then "-" and a digest of the whole id. Never starting
// with ".", which the database takes for an unfinished file, and at most
// kMaxTraceFileStem bytes: with the ULID, the suffixes, a pid and a sequence
// number the temporary name stays within 143 bytes, the shortest name limit
// met in practice (eCryptfs), while the ids vesh makes itself ("trc_" and a
// ULID) are kept whole. The row and the container keep the whole id.
inline constexpr std::size_t kMaxTraceFileStem = 64;
std::string trace_file_stem(std::string_view trace_id);

struct CapturePaths {
  std::filesystem::path raw_dir;
  std::filesystem::path final_path;  // raw_dir / "<id stem>.<unique>.vesh"
  std::filesystem::path temp_path;   // raw_dir / ".<id stem>.<unique>.vesh.<pid>.<sequence>.tmp"
};
// The files of the trace `trace_id` (already validated) of the database at
// `db_path`, finished under a name that `unique` (letters and digits) makes
// the capture's own: saves under one trace id, of one recorder or of many
// processes, never share a file name. The raw directory is "raw" beside the
// database ("./raw" when the path has no parent).
CapturePaths capture_paths(const std::filesystem::path& db_path, std::string_view trace_id, std::string_view unique,
                           std::uint64_t pid, std::uint64_t sequence);

// Gives the file `from` the name `to` unless a file has that name already
// (AlreadyExists then, and `from` is left as it was): renameat2 with
// RENAME_NOREPLACE, or a hard link and an unlink where the filesystem takes
// no rename flags. Where it has no hard links either (FAT, exFAT and other
// FUSE or network filesystems), a plain rename once `to` is found free: `to`
// must be a name no other writer uses, as a capture's final name is.
Result<void, IoError> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes a directory's entries durable (fsync of the directory, repeated on
// EINTR).
Result<void, IoError> sync_directory(const std::filesystem::path& dir);

class TraceCapture {
 public:
  // A new capture of `trace_id` for the database at `db_path`. Creates no
  // file or directory. Refuses a trace id that could name a file outside the
  // raw directory (InvalidInput). A capture made after the writer circuit
  // opened starts abandoned.
  static Result<std::shared_ptr<TraceCapture>, IoError> for_trace(std::string_view db_path, std::string_view trace_id,
                                                                  double timestamp);
  // The same with a runtime of the caller's (tests).
  static Result<std::shared_ptr<TraceCapture>, IoError> for_trace(std::string_view db_path, std::string_view trace_id,
                                                                  double timestamp,
                                                                  std::shared_ptr<WriterRuntime> runtime);

  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  ~TraceCapture();

  // Switches to the kept-in-memory route (once). A writer already running is
  // let go of without closing, joining or waiting for it.
  void keep_in_memory();
  bool kept_in_memory() const noexcept { return keep_in_memory_.load(std::memory_order_acquire); }
  // Switches to memory when the capture is used in a forked child. Every
  // commit and publish runs it first; so do the tracers before saving.
  void ensure_this_process();

  // Commits a sealed chunk: hands it to the writer (streamed) or keeps it in
  // its handle (in memory, and once the writer reached the filesystem's
  // reserve). Returns the chunk's handle, or the error that lost the chunk:
  // BrokenPipe "trace writer closed" after the capture was finished or
  // abandoned, the circuit-open error, a writer start failure, the write
  // failure that stopped the writer. Used by FrameStore::commit_chunk, which
  // marks its store failed on an error.
  Result<std::shared_ptr<ChunkHandle>, IoError> commit(SealedChunk chunk);

  // Publishes an interned value into the trace; each id is sent to the
  // writer at most once, also when threads race to publish it.
  Result<void, IoError> publish_value(std::uint32_t id, SharedBytes bytes);
  // The same for a caller in the middle of an encode, which must neither let
  // other threads run (the values it reads may change under it) nor block on
  // a lock whose holder may be waiting for the interpreter lock: it never
  // waits. False, with nothing changed, when the state lock is held
  // elsewhere or the writer's budget has no room now; true once the capture
  // holds the value. Errors as publish_value.
  Result<bool, IoError> try_publish_value(std::uint32_t id, const SharedBytes& bytes);
  // Ids published so far, ascending.
  std::vector<std::uint32_t> published_value_ids();

  // Closes a streamed capture: sends the per-thread records, the metadata
  // and the threads' layouts to the writer, waits for it (releasing the
  // interpreter lock if the caller holds it), gives the temporary file the
  // final name (never replacing a file; when that fails the error names the
  // temporary file, which is kept) and syncs the raw directory. An empty
  // capture still gets a whole container. Nothing can be committed
  // afterwards.
  Result<void, IoError> finish(std::vector<std::pair<std::uint32_t, ByteBuffer>> thread_records, ByteBuffer metadata,
                               std::vector<ThreadLayout> layouts);

  // Gives the capture up after the writer circuit opened; returns the
  // circuit-open error, naming the recovered prefix file when there is one.
  IoError abandon_for_circuit();

  const std::string& trace_id() const noexcept { return trace_id_; }
  double timestamp() const noexcept { return timestamp_; }
  const ForkStamp& fork_stamp() const noexcept { return stamp_; }
  const std::shared_ptr<WriterRuntime>& runtime() const noexcept { return runtime_; }
  // Whether the writer runtime has stalled (the circuit is open).
  bool writer_stalled() const noexcept { return runtime_->stalled(); }
  // Why the writer took no more frames (a write or its start failed, or the
  // filesystem's reserve was reached), or null while it takes them.
  const WriterStop* writer_stop() const noexcept { return stop_->get(); }
  const std::filesystem::path& final_path() const noexcept { return final_path_; }
  const SharedPath& temp_path() const noexcept { return temp_path_; }
  const std::shared_ptr<SnapshotFile>& snapshot() const noexcept { return snapshot_; }
  // The recovered prefix reported by an abandonment, if any.
  std::optional<std::filesystem::path> recovered_prefix();
  // Whether the capture was finished or abandoned.
  bool closed();

 private:
  struct State {
    std::unique_ptr<TraceWriter> writer;
    std::vector<bool> published;
    std::optional<ByteBuffer> header_payload;
    std::optional<std::filesystem::path> recovered_prefix;
    bool abandoned = false;
  };
  class Locked;

  TraceCapture(std::string trace_id, double timestamp, CapturePaths paths, std::shared_ptr<WriterRuntime> runtime);
  Locked lock_state();
  // Abandons under the held state lock; the writer taken out is handed back
  // to be let go of after the lock.
  IoError abandon_locked(State& state, std::unique_ptr<TraceWriter>& writer);
  Result<void, IoError> ensure_writer(State& state);
  static void mark_published(State& state, std::uint32_t id);

  const std::string trace_id_;
  const double timestamp_;
  const std::filesystem::path final_path_;
  const SharedPath temp_path_;
  const std::shared_ptr<SnapshotFile> snapshot_;
  const std::shared_ptr<WriterRuntime> runtime_;
  const std::shared_ptr<WriterStopSlot> stop_ = std::make_shared<WriterStopSlot>();
  const ForkStamp stamp_;
  std::atomic<bool> keep_in_memory_{false};

  // The state lock hands a forked child a fresh inner lock, so that a parent
  // thread that held it at the fork cannot block the child's switch to
  // memory. A fault while it is held poisons the state.
  ForkAwareMutex state_mutex_;
  bool poisoned_ = false;
  State state_;
};

// A capture inherited across a fork is the parent's trace: the child goes on
// with it in memory, under trace ids of its own. `ids_made` is the process
// the tracer's current ids were made in (kept under the tracer's capture
// lock); true when the ids must be replaced now, which happens once per
// process, so that a flush and the save after it agree on the new root id.
bool adopt_if_inherited(TraceCapture& capture, ForkStamp& ids_made);

}  // namespace vesh::store
