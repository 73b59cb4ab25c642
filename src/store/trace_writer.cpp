#include "store/trace_writer.h"

#include "py/fault.h"
#include "store/gil_release.h"

#include <Python.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <system_error>

namespace vesh::store {

// ---------------------------------------------------------------------------
// CommandChannel

std::optional<Command> CommandChannel::send(Command cmd) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!receiving_closed_) {
      queue_.push_back(std::move(cmd));
      ready_.notify_one();
      return std::nullopt;
    }
  }
  return std::optional<Command>(std::move(cmd));
}

std::optional<Command> CommandChannel::recv() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [&] { return !queue_.empty() || sending_closed_; });
  if (queue_.empty()) return std::nullopt;
  std::optional<Command> cmd(std::move(queue_.front()));
  queue_.pop_front();
  return cmd;
}

std::optional<Command> CommandChannel::try_recv() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  std::optional<Command> cmd(std::move(queue_.front()));
  queue_.pop_front();
  return cmd;
}

void CommandChannel::close_sending() {
  std::lock_guard<std::mutex> lock(mutex_);
  sending_closed_ = true;
  ready_.notify_all();
}

void CommandChannel::close_receiving() {
  std::deque<Command> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receiving_closed_ = true;
    dropped.swap(queue_);
  }
  // Released outside the channel's lock: dropping a reservation takes the
  // runtime's.
}

void fail_queued_chunks(CommandChannel& channel, const IoError& error) {
  while (std::optional<Command> cmd = channel.try_recv()) {
    if (auto* chunk = std::get_if<command::Chunk>(&*cmd)) chunk->handle->fail(error);
  }
}

// ---------------------------------------------------------------------------
// The thread

namespace {

struct ThreadStart {
  std::shared_ptr<CommandChannel> channel;
  ByteBuffer header_payload;
  std::shared_ptr<WriterRuntime> runtime;
  std::shared_ptr<WriterProgress> progress;
  SharedPath temp_path;
  std::shared_ptr<std::atomic<bool>> abort;
  std::shared_ptr<WriterStopSlot> stop;
  std::uint64_t reserve_cap = kFilesystemReserveCap;
  int fd = -1;
  std::shared_ptr<WriterOutcome> outcome;

  ~ThreadStart() {
    if (fd >= 0) ::close(fd);
  }
};

// Announces the thread's end on every path, a fault included.
class WriterExitGuard {
 public:
  WriterExitGuard(std::shared_ptr<WriterRuntime> runtime, std::shared_ptr<WriterProgress> progress) noexcept
      : runtime_(std::move(runtime)), progress_(std::move(progress)) {}
  WriterExitGuard(const WriterExitGuard&) = delete;
  WriterExitGuard& operator=(const WriterExitGuard&) = delete;
  ~WriterExitGuard() { runtime_->announce_exit(progress_->exited); }

 private:
  std::shared_ptr<WriterRuntime> runtime_;
  std::shared_ptr<WriterProgress> progress_;
};

// Drops the receiving end when the thread ends: whatever is still queued, or
// arrives later, is dropped unwritten.
struct ReceiverGuard {
  std::shared_ptr<CommandChannel> channel;
  ~ReceiverGuard() { channel->close_receiving(); }
};

using Status = Result<void, IoError>;

Status write_value(BufferedFileWriter& out, std::uint64_t& offset, std::vector<IndexEntry>& entries,
                   command::Value& cmd) {
  auto entry = write_record(out, offset, kValueRecord, 0, cmd.id, 1, cmd.bytes ? cmd.bytes->view() : "");
  if (!entry.ok()) return Err{std::move(entry).error()};
  entries.push_back(*entry);
  cmd.reservation.mark_written();
  cmd.reservation.release();
  cmd.bytes.reset();
  offset = entry->end();
  return Ok{};
}

Status write_chunk_command(BufferedFileWriter& out, std::uint64_t& offset, std::vector<IndexEntry>& entries,
                           WriterProgress& progress, command::Chunk& cmd) {
  auto entry = write_chunk(out, offset, cmd.chunk);
  if (!entry.ok()) return Err{std::move(entry).error()};
  // The chunk and every value record before it reach the file together.
  if (auto flushed = out.flush(); !flushed.ok()) return flushed;
  const std::uint64_t lengths = chunk_lengths_size(cmd.chunk);
  const std::uint64_t payload_at = offset + kRecordHeaderLen + lengths;
  cmd.handle->persist(payload_at);
  progress.committed_bytes.store(entry->end(), std::memory_order_release);
  entries.push_back(*entry);
  cmd.reservation.mark_written();
  cmd.reservation.release();
  cmd.chunk = SealedChunk{};
  cmd.handle.reset();
  offset = entry->end();
  return Ok{};
}

Status write_finish(BufferedFileWriter& out, std::uint64_t& offset, std::vector<IndexEntry>& entries,
                    command::Finish& finish) {
  std::uint64_t ordinal = 0;
  for (auto& [token, payload] : finish.thread_records) {
    auto entry = write_record(out, offset, kThreadRecord, token, ordinal++, 1, payload.view());
    if (!entry.ok()) return Err{std::move(entry).error()};
    entries.push_back(*entry);
    offset = entry->end();
  }
  auto meta = write_record(out, offset, kMetadataRecord, 0, 0, 1, finish.metadata.view());
  if (!meta.ok()) return Err{std::move(meta).error()};
  entries.push_back(*meta);
  offset = meta->end();
  const std::uint64_t index_offset = offset;
  ByteBuffer index = encode_index(entries, finish.layouts);
  if (entries.size() > kMaxFieldU32) return Err{width_error()};
  auto written = write_record(out, index_offset, kIndexRecord, 0, 0, static_cast<std::uint32_t>(entries.size()),
                              index.view());
  if (!written.ok()) return Err{std::move(written).error()};
  if (auto r = write_footer(out, index_offset, written->end() + kFooterLen); !r.ok()) return r;
  if (auto r = out.flush(); !r.ok()) return r;
  return out.sync();
}

// After the writer reached the reserve, the closing records describe only
// the chunks that are in the file.
void keep_written_spans(std::vector<ThreadLayout>& layouts, const std::vector<IndexEntry>& entries) {
  std::set<std::pair<std::uint32_t, std::uint64_t>> written;
  for (const IndexEntry& entry : entries) {
    if (entry.kind == kChunkRecord) written.emplace(entry.token, entry.id);
  }
  for (ThreadLayout& layout : layouts) {
    std::erase_if(layout.spans, [&](const LayoutSpan& span) { return !written.contains({layout.token, span.seq}); });
  }
}

Status run_writer(ThreadStart& start) {
  WriterExitGuard exit_guard(start.runtime, start.progress);
  ReceiverGuard receiver{start.channel};
  WriterStopSlot& stop = *start.stop;
  // Producers and tracers learn from the slot why the thread ended.
  auto failed = [&](Status status) {
    stop.set(WriterStop{WriterStop::Kind::WriteFailed, status.error()});
    return status;
  };
  ByteBuffer header = std::move(start.header_payload);
  if (header.size() > kMaxFieldU32) return failed(Err{width_error()});
  DiskReserve reserve(start.fd, start.reserve_cap);
  std::optional<BufferedFileWriter> out;
  out.emplace(std::exchange(start.fd, -1));
  std::vector<IndexEntry> entries;

  if (auto r = write_preamble(*out, header.view()); !r.ok()) return failed(std::move(r));
  if (auto r = out->flush(); !r.ok()) return failed(std::move(r));
  std::uint64_t offset = kPreambleLen + header.size();
  start.progress->committed_bytes.store(offset, std::memory_order_release);

  // Whether a record of `bytes` keeps the reserve free; the first refusal
  // is final. Its bytes stay claimed while the writer's buffer holds them.
  bool at_reserve = false;
  auto room_for = [&](std::uint64_t bytes) {
    if (at_reserve) return false;
    if (reserve.admits(bytes)) return true;
    at_reserve = true;
    stop.set(WriterStop{WriterStop::Kind::ReserveReached, {}, offset, reserve.reserve()});
    return false;
  };

  CommandChannel& channel = *start.channel;
  while (std::optional<Command> cmd = channel.recv()) {
    if (auto* value = std::get_if<command::Value>(&*cmd)) {
      if (!room_for(kRecordHeaderLen + (value->bytes ? value->bytes->size() : 0))) continue;
      if (auto r = write_value(*out, offset, entries, *value); !r.ok()) {
        fail_queued_chunks(channel, r.error());
        return failed(std::move(r));
      }
      reserve.landed(out->buffered());
    } else if (auto* chunk = std::get_if<command::Chunk>(&*cmd)) {
      if (!room_for(kRecordHeaderLen + chunk_lengths_size(chunk->chunk) + chunk->chunk.payload->size())) continue;
      if (auto r = write_chunk_command(*out, offset, entries, *start.progress, *chunk); !r.ok()) {
        chunk->handle->fail(r.error());
        fail_queued_chunks(channel, r.error());
        return failed(std::move(r));
      }
      reserve.landed(out->buffered());
    } else {
      auto& finish = std::get<command::Finish>(*cmd);
      if (at_reserve) keep_written_spans(finish.layouts, entries);
      return write_finish(*out, offset, entries, finish);
    }
  }
  // Closed without a finish: an abandoned capture keeps its file as the
  // recovered prefix, a dropped one removes it.
  out.reset();
  if (!start.abort->load(std::memory_order_acquire)) ::unlink(start.temp_path->c_str());
  return Err{IoError::make(IoKind::BrokenPipe, "trace capture abandoned")};
}

extern "C" void* writer_thread_main(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  pthread_setname_np(pthread_self(), kWriterThreadName);
  std::shared_ptr<WriterOutcome> outcome = start->outcome;
  try {
    Status result = run_writer(*start);
    if (result.ok()) {
      outcome->status = WriterOutcome::Status::Ok;
    } else {
      outcome->status = WriterOutcome::Status::Failed;
      outcome->error = std::move(result).error();
    }
  } catch (...) {
    outcome->status = WriterOutcome::Status::Panicked;
    outcome->error = IoError::make(IoKind::Other, "trace writer panicked");
  }
  try {
    start.reset();
  } catch (...) {
  }
  return nullptr;
}

Result<void, IoError> create_parent_directory(const std::filesystem::path& final_path) {
  std::filesystem::path parent = final_path.parent_path();
  if (parent.empty()) return Ok{};
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) {
    // Made meanwhile by someone else counts as success.
    std::error_code is_dir_ec;
    if (std::filesystem::is_directory(parent, is_dir_ec)) return Ok{};
    return Err{IoError::from_errno(ec.value())};
  }
  return Ok{};
}

IoError broken_pipe(const char* message) { return IoError::make(IoKind::BrokenPipe, message); }

}  // namespace

// ---------------------------------------------------------------------------
// TraceWriter

Result<std::unique_ptr<TraceWriter>, IoError> TraceWriter::start_at(std::filesystem::path final_path,
                                                                   SharedPath temp_path,
                                                                   std::shared_ptr<SnapshotFile> snapshot,
                                                                   std::shared_ptr<WriterRuntime> runtime,
                                                                   std::shared_ptr<WriterStopSlot> stop,
                                                                   ByteBuffer header_payload) {
  if (auto r = create_parent_directory(final_path); !r.ok()) return Err{std::move(r).error()};
  int rw = ::open(temp_path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (rw < 0) return Err{IoError::last_os_error()};
  int ro = ::open(temp_path->c_str(), O_RDONLY | O_CLOEXEC);
  if (ro < 0) {
    IoError error = IoError::last_os_error();
    ::close(rw);
    ::unlink(temp_path->c_str());
    return Err{std::move(error)};
  }
  try {
    snapshot->install_from_writer(ro);
  } catch (...) {
    ::close(rw);
    ::unlink(temp_path->c_str());
    throw;
  }

  auto start = std::make_unique<ThreadStart>();
  start->fd = rw;
  start->channel = std::make_shared<CommandChannel>();
  start->header_payload = std::move(header_payload);
  start->runtime = runtime;
  start->progress = std::make_shared<WriterProgress>();
  start->temp_path = temp_path;
  start->abort = std::make_shared<std::atomic<bool>>(false);
  start->stop = stop;
  start->reserve_cap = runtime->filesystem_reserve_cap();
  start->outcome = std::make_shared<WriterOutcome>();

  std::unique_ptr<TraceWriter> writer(new TraceWriter());
  writer->channel_ = start->channel;
  writer->final_path_ = std::move(final_path);
  writer->temp_path_ = std::move(temp_path);
  writer->snapshot_ = std::move(snapshot);
  writer->runtime_ = std::move(runtime);
  writer->progress_ = start->progress;
  writer->abort_ = start->abort;
  writer->stop_ = std::move(stop);
  writer->outcome_ = start->outcome;

  // The thread starts with every signal blocked, so that signals meant for
  // the traced program go to its own threads.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, &writer_thread_main, start.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    start.reset();  // closes the read-write file
    ::unlink(writer->temp_path_->c_str());
    writer->channel_.reset();
    return Err{IoError::from_errno(rc)};
  }
  start.release();  // owned by the thread now
  writer->thread_ = thread;
  writer->pid_ = getpid();
  return writer;
}

TraceWriter::~TraceWriter() {
  if (getpid() != pid_) {
    forget();  // inherited from the parent: its channel, thread and file are not ours
    return;
  }
  if (!thread_) return;
  if (runtime_->stalled()) {
    (void)abandon_for_circuit();
    return;
  }
  close_channel();
  bool exited;
  try {
    exited = wait_for_exit();
  } catch (...) {
    // A poisoned budget: the thread cannot be waited for safely.
    (void)abandon_for_circuit();
    return;
  }
  if (!exited && runtime_->stalled()) {
    (void)abandon_for_circuit();
    return;
  }
  pthread_join(*thread_, nullptr);
  thread_.reset();
  ::unlink(temp_path_->c_str());
}

IoError TraceWriter::gone_error() const {
  const WriterStop* stop = stop_->get();
  if (stop != nullptr && stop->kind == WriterStop::Kind::WriteFailed) return stop->cause;
  return broken_pipe("trace writer failed");
}

Result<void, IoError> TraceWriter::publish_value_reserved(std::uint32_t id, SharedBytes bytes,
                                                          ResidentReservation reservation) {
  if (channel_ == nullptr) fault("open writer");
  if (channel_->send(command::Value{id, std::move(bytes), std::move(reservation)})) return Err{gone_error()};
  return Ok{};
}

Result<void, IoError> TraceWriter::send_chunk(SealedChunk chunk, std::shared_ptr<ChunkHandle> handle,
                                              ResidentReservation reservation) {
  if (channel_ == nullptr) fault("open writer");
  std::shared_ptr<ChunkHandle> kept = handle;
  if (std::optional<Command> returned =
          channel_->send(command::Chunk{std::move(chunk), std::move(handle), std::move(reservation)})) {
    returned.reset();
    IoError error = gone_error();
    kept->fail(error);
    return Err{std::move(error)};
  }
  return Ok{};
}

Result<void, IoError> TraceWriter::send_finish(command::Finish finish) {
  if (channel_ == nullptr) fault("open writer");
  if (channel_->send(std::move(finish))) return Err{gone_error()};
  return Ok{};
}

void TraceWriter::close_channel() noexcept {
  if (channel_ == nullptr) return;
  channel_->close_sending();
  channel_.reset();
}

namespace {

// Whether the calling thread holds the interpreter lock: its thread state is
// current exactly while it does.
bool calling_thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

}  // namespace

bool TraceWriter::wait_for_exit() {
  if (calling_thread_holds_gil()) {
    GilRelease released;
    return runtime_->wait_until_exited(progress_->exited);
  }
  return runtime_->wait_until_exited(progress_->exited);
}

WriterOutcome TraceWriter::join() {
  if (!thread_) fault("writer joined once");
  pthread_t thread = *thread_;
  thread_.reset();
  pthread_join(thread, nullptr);
  return *outcome_;
}

std::optional<std::filesystem::path> TraceWriter::abandon_for_circuit() {
  abort_->store(true, std::memory_order_release);
  close_channel();
  if (thread_) {
    pthread_detach(*thread_);
    thread_.reset();
  }
  if (recovered_prefix_) return recovered_prefix_;
  if (progress_->committed_bytes.load(std::memory_order_acquire) != 0) {
    recovered_prefix_ = *temp_path_;
    return recovered_prefix_;
  }
  return std::nullopt;
}

void TraceWriter::forget() noexcept {
  if (channel_ != nullptr) {
    // Leaked on purpose: releasing it could run the parent's queued commands'
    // destructors against state that belongs to the parent.
    new std::shared_ptr<CommandChannel>(std::move(channel_));
  }
  thread_.reset();
}

}  // namespace vesh::store
