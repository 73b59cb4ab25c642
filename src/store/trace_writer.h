// The background writer of one streamed capture.
//
// A thread named "vesh-v3-writer" owns the capture's temporary file and
// writes into it, in channel order, what producers hand over: the preamble
// and header payload first, then published values and sealed chunks, and on
// Finish the per-thread records, the metadata, the index and the footer.
// Every queued value or chunk carries a budget reservation that the thread
// releases (counting progress) once the item is in the file.
//
// The thread keeps the filesystem's reserve (see DiskReserve): once the next
// value or chunk would cut into it, that item and every later one are
// dropped unwritten (a dropped chunk keeps its memory), and the closing
// records leave out the chunks that are not in the file. The first write
// failure, or reaching the reserve, is kept in the capture's WriterStopSlot.
//
// The thread is a plain pthread, never a std::thread: nothing that owns it
// can terminate the process, and it never touches Python.
#pragma once

#include "store/chunk_handle.h"
#include "store/io_error.h"
#include "store/writer_runtime.h"
#include "store/writer_stop.h"
#include "support/byte_buffer.h"
#include "support/result.h"
#include "store/trace_container.h"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace vesh::store {

namespace command {

struct Value {
  std::uint32_t id = 0;
  SharedBytes bytes;
  ResidentReservation reservation;
};

struct Chunk {
  SealedChunk chunk;
  std::shared_ptr<ChunkHandle> handle;
  ResidentReservation reservation;
};

struct Finish {
  std::vector<std::pair<std::uint32_t, ByteBuffer>> thread_records;
  ByteBuffer metadata;
  std::vector<ThreadLayout> layouts;
};

}  // namespace command

// Dropping an unwritten command releases its buffers, its handle reference
// and its reservation (unwritten); a dropped chunk keeps its memory.
using Command = std::variant<command::Value, command::Chunk, command::Finish>;

// Unbounded FIFO of commands from producers to one writer thread.
class CommandChannel {
 public:
  // Queues `cmd`; hands it back when the receiving end is gone.
  std::optional<Command> send(Command cmd);
  // Blocks for the next command; none once the sending side is closed and
  // the queue is empty.
  std::optional<Command> recv();
  // The next command without waiting; none when the queue is empty.
  std::optional<Command> try_recv();
  void close_sending();
  // Drops the receiving end and every command still queued.
  void close_receiving();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Command> queue_;
  bool sending_closed_ = false;
  bool receiving_closed_ = false;
};

// Shared between a writer handle and its thread.
struct WriterProgress {
  // Length of the file prefix made of whole pieces that is on disk: the
  // preamble and header, then the end of each written chunk record.
  std::atomic<std::uint64_t> committed_bytes{0};
  // Set once, under the runtime's state lock, when the thread ends.
  std::atomic<bool> exited{false};
};

// How the thread ended, for whoever joins it.
struct WriterOutcome {
  enum class Status { Ok, Failed, Panicked };
  Status status = Status::Panicked;
  IoError error;
};

// Fails every queued chunk with `error` and drops every queued command,
// without waiting.
void fail_queued_chunks(CommandChannel& channel, const IoError& error);

class TraceWriter {
 public:
  // Creates the final path's directory, the temporary file (create-new) and
  // a read-only handle on it for `snapshot`, and starts the thread with
  // `header_payload`; the thread keeps how it stopped in `stop`. On failure
  // nothing keeps running and the caller must not try again with the same
  // capture.
  static Result<std::unique_ptr<TraceWriter>, IoError> start_at(std::filesystem::path final_path, SharedPath temp_path,
                                                               std::shared_ptr<SnapshotFile> snapshot,
                                                               std::shared_ptr<WriterRuntime> runtime,
                                                               std::shared_ptr<WriterStopSlot> stop,
                                                               ByteBuffer header_payload);

  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;
  // A writer neither finished nor abandoned is closed: its channel closes,
  // the thread writes what is queued and ends, and the temporary file is
  // removed. Waits for that unless the runtime stalls; in a forked child it
  // touches nothing.
  ~TraceWriter();

  // The sends fail once the thread is gone, with the write failure that
  // ended it (BrokenPipe "trace writer failed" when none is kept).
  //
  // Sends a published value (the reservation is released unwritten when
  // the send fails).
  Result<void, IoError> publish_value_reserved(std::uint32_t id, SharedBytes bytes, ResidentReservation reservation);
  // Sends a sealed chunk; when the send fails the handle is failed too.
  Result<void, IoError> send_chunk(SealedChunk chunk, std::shared_ptr<ChunkHandle> handle,
                                   ResidentReservation reservation);
  // Sends the closing records.
  Result<void, IoError> send_finish(command::Finish finish);
  // Closes the command channel (the thread ends after what is queued).
  void close_channel() noexcept;
  bool channel_open() const noexcept { return channel_ != nullptr; }
  // Waits (releasing the interpreter lock if the caller holds it) until the thread has announced its
  // exit or the runtime stalled; true when it exited.
  bool wait_for_exit();
  // Joins the thread and returns how it ended. Internal fault "writer
  // joined once" when it was joined, detached or forgotten already.
  WriterOutcome join();
  // Gives the writer up without waiting, after the circuit opened: the thread
  // is detached and keeps the temporary file. Returns the recovered prefix
  // (the temporary file) once the preamble is on disk.
  std::optional<std::filesystem::path> abandon_for_circuit();
  // Lets go of the channel and the thread without closing, joining or
  // detaching anything (a handle inherited by a forked child, or a capture
  // switched to memory).
  void forget() noexcept;

  pid_t pid() const noexcept { return pid_; }
  const std::filesystem::path& final_path() const noexcept { return final_path_; }
  const SharedPath& temp_path() const noexcept { return temp_path_; }
  const std::shared_ptr<SnapshotFile>& snapshot() const noexcept { return snapshot_; }
  const std::shared_ptr<WriterProgress>& progress() const noexcept { return progress_; }
  const std::optional<std::filesystem::path>& recovered_prefix() const noexcept { return recovered_prefix_; }

 private:
  TraceWriter() = default;
  IoError gone_error() const;

  std::shared_ptr<CommandChannel> channel_;
  std::filesystem::path final_path_;
  std::optional<std::filesystem::path> recovered_prefix_;
  SharedPath temp_path_;
  std::shared_ptr<SnapshotFile> snapshot_;
  std::shared_ptr<WriterRuntime> runtime_;
  std::shared_ptr<WriterProgress> progress_;
  std::shared_ptr<WriterStopSlot> stop_;
  std::shared_ptr<std::atomic<bool>> abort_;
  std::shared_ptr<WriterOutcome> outcome_;
  std::optional<pthread_t> thread_;
  pid_t pid_ = 0;
};

inline constexpr const char* kWriterThreadName = "vesh-v3-writer";

}  // namespace vesh::store
