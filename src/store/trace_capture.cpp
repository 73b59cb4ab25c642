#include "store/trace_capture.h"

#include "foundation/frame_types.h"
#include "py/fault.h"

#include <Python.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

namespace vesh::store {

std::atomic<std::uint64_t> TEMP_SEQUENCE{0};

namespace {

IoError closed_error() { return IoError::make(IoKind::BrokenPipe, "trace writer closed"); }

// Whether the calling thread holds the interpreter lock (its thread state is
// current exactly while it does). Producers that hold it release it while
// they wait for budget room or for the state lock.
bool holds_gil() noexcept {
  if (!Py_IsInitialized()) return false;
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

GilState gil_state() noexcept { return holds_gil() ? GilState::Held : GilState::NotHeld; }

}  // namespace

// The capture's state, locked. A fault unwinding while it is held poisons
// the capture: the state may be half-changed.
class TraceCapture::Locked {
 public:
  Locked(TraceCapture& owner, ForkAwareGuard guard) noexcept : owner_(owner), guard_(std::move(guard)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  ~Locked() {
    if (std::uncaught_exceptions() > exceptions_) owner_.poisoned_ = true;
  }
  State* operator->() const noexcept { return &owner_.state_; }
  State& operator*() const noexcept { return owner_.state_; }

 private:
  TraceCapture& owner_;
  ForkAwareGuard guard_;
  int exceptions_ = std::uncaught_exceptions();
};

TraceCapture::Locked TraceCapture::lock_state() {
  ForkAwareGuard guard = state_mutex_.lock(holds_gil());
  if (poisoned_) fault("trace writer mutex poisoned");
  return Locked(*this, std::move(guard));
}

Result<void, IoError> validate_trace_id(std::string_view trace_id) {
  const bool bad = trace_id.empty() || trace_id.find('/') != std::string_view::npos ||
                   trace_id.find('\0') != std::string_view::npos || trace_id.find("..") != std::string_view::npos;
  if (!bad) return Ok{};
  std::string shown;
  for (char c : trace_id) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return Err{IoError::make(IoKind::InvalidInput, "invalid trace id \"" + utf8_lossy(shown) +
                                                     "\": a trace id must be non-empty and must not contain "
                                                     "\"/\", a NUL byte or \"..\"")};
}

bool require_valid_trace_id(std::string_view trace_id) {
  auto valid = validate_trace_id(trace_id);
  if (valid.ok()) return true;
  PyErr_SetString(PyExc_ValueError, valid.error().text().c_str());
  return false;
}

namespace {

bool plain_name_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// 64-bit FNV-1a: stable across processes and builds, which a file name that
// stands for an id must be.
std::uint64_t id_digest(std::string_view text) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

constexpr std::size_t kStemCut = 40;
static_assert(kStemCut + 1 + 16 <= kMaxTraceFileStem, "a cut id and its digest fit the stem");

}  // namespace

std::string trace_file_stem(std::string_view trace_id) {
  auto plain_or_dot = [](char c) { return plain_name_byte(c) || c == '.'; };
  const bool plain = !trace_id.empty() && trace_id.size() <= kMaxTraceFileStem && trace_id.front() != '.' &&
                     std::all_of(trace_id.begin(), trace_id.end(), plain_or_dot);
  if (plain) return std::string(trace_id);
  std::string stem;
  for (char c : trace_id.substr(0, kStemCut)) stem += plain_name_byte(c) ? c : '_';
  static constexpr char kHex[] = "0123456789abcdef";
  stem += '-';
  const std::uint64_t digest = id_digest(trace_id);
  for (int shift = 60; shift >= 0; shift -= 4) stem += kHex[(digest >> shift) & 0xF];
  return stem;
}

CapturePaths capture_paths(const std::filesystem::path& db_path, std::string_view trace_id, std::string_view unique,
                           std::uint64_t pid, std::uint64_t sequence) {
  CapturePaths out;
  // "t.db/" and "t.db/." name the file t.db, as the database layer reads
  // them: drop trailing separators and "." before taking the parent.
  std::filesystem::path db = db_path;
  while (!db.empty() && db != db.root_path() && (db.filename().empty() || db.filename() == ".")) {
    db = db.parent_path();
  }
  const bool no_parent = db.empty() || (db.has_root_path() && db == db.root_path());
  out.raw_dir = no_parent ? std::filesystem::path(".") / "raw" : db.parent_path() / "raw";
  std::string name = trace_file_stem(trace_id) + "." + std::string(unique) + ".vesh";
  out.final_path = out.raw_dir / name;
  out.temp_path = out.final_path.parent_path() /
                  ("." + out.final_path.filename().string() + "." + std::to_string(pid) + "." +
                   std::to_string(sequence) + ".tmp");
  return out;
}

namespace {

// link() says so where the filesystem has no hard links (EPERM is what
// Linux documents; FUSE filesystems also answer ENOSYS or EOPNOTSUPP).
bool no_hard_links(int error) noexcept { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

}  // namespace

Result<void, IoError> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Ok{};
  if (errno != EINVAL && errno != ENOSYS) return Err{IoError::last_os_error()};
  // A link refuses an existing name as the flag does; the name is taken
  // whole or not at all, and the temporary name is dropped only after.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (!no_hard_links(errno)) return Err{IoError::last_os_error()};
    // Nothing here can refuse a taken name atomically. A rename still names
    // the file whole or not at all; a name already there is refused, and
    // one made between the check and the rename would be replaced, which a
    // name of the caller's own (a capture's ULID) rules out.
    struct stat seen;
    if (::lstat(to.c_str(), &seen) == 0) return Err{IoError::from_errno(EEXIST)};
    if (errno != ENOENT) return Err{IoError::last_os_error()};
    if (::rename(from.c_str(), to.c_str()) != 0) return Err{IoError::last_os_error()};
    return Ok{};
  }
  if (::unlink(from.c_str()) != 0) {
    IoError error = IoError::last_os_error();
    ::unlink(to.c_str());
    return Err{std::move(error)};
  }
  return Ok{};
}

Result<void, IoError> sync_directory(const std::filesystem::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Err{IoError::last_os_error()};
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  IoError error = rc != 0 ? IoError::last_os_error() : IoError{};
  ::close(fd);
  if (rc != 0) return Err{std::move(error)};
  return Ok{};
}

// ---------------------------------------------------------------------------
// Creation

TraceCapture::TraceCapture(std::string trace_id, double timestamp, CapturePaths paths,
                           std::shared_ptr<WriterRuntime> runtime)
    : trace_id_(std::move(trace_id)),
      timestamp_(timestamp),
      final_path_(std::move(paths.final_path)),
      temp_path_(std::make_shared<const std::filesystem::path>(std::move(paths.temp_path))),
      snapshot_(std::make_shared<SnapshotFile>(temp_path_)),
      runtime_(std::move(runtime)),
      stamp_([] {
        ProcessForkGeneration::register_handler();
        return ForkStamp::current();
      }()) {
  state_.header_payload.emplace(encode_header_payload(trace_id_, timestamp_));
  state_.abandoned = runtime_->stalled();
}

Result<std::shared_ptr<TraceCapture>, IoError> TraceCapture::for_trace(std::string_view db_path,
                                                                       std::string_view trace_id, double timestamp) {
  return for_trace(db_path, trace_id, timestamp, writer_runtime());
}

Result<std::shared_ptr<TraceCapture>, IoError> TraceCapture::for_trace(std::string_view db_path,
                                                                       std::string_view trace_id, double timestamp,
                                                                       std::shared_ptr<WriterRuntime> runtime) {
  if (auto valid = validate_trace_id(trace_id); !valid.ok()) return Err{std::move(valid).error()};
  const std::uint64_t sequence = TEMP_SEQUENCE.fetch_add(1, std::memory_order_relaxed);
  CapturePaths paths = capture_paths(std::filesystem::path(db_path), trace_id, vesh::new_ulid(),
                                     static_cast<std::uint64_t>(::getpid()), sequence);
  return std::shared_ptr<TraceCapture>(
      new TraceCapture(std::string(trace_id), timestamp, std::move(paths), std::move(runtime)));
}

TraceCapture::~TraceCapture() = default;

// ---------------------------------------------------------------------------
// Routes

void TraceCapture::keep_in_memory() {
  if (keep_in_memory_.exchange(true, std::memory_order_acq_rel)) return;
  std::unique_ptr<TraceWriter> writer;
  {
    Locked state = lock_state();
    writer = std::move(state->writer);
  }
  // Never closed, joined or waited for: in a forked child it is the parent's.
  if (writer) writer->forget();
}

void TraceCapture::ensure_this_process() {
  if (!stamp_.matches_this_process()) [[unlikely]]
    keep_in_memory();
}

Result<void, IoError> TraceCapture::ensure_writer(State& state) {
  if (state.writer) return Ok{};
  // Taken by the first attempt: after a failed start the capture cannot
  // stream any more.
  if (!state.header_payload) return Err{closed_error()};
  ByteBuffer header = std::move(*state.header_payload);
  state.header_payload.reset();
  auto started = TraceWriter::start_at(final_path_, temp_path_, snapshot_, runtime_, stop_, std::move(header));
  if (!started.ok()) {
    stop_->set(WriterStop{WriterStop::Kind::WriteFailed, started.error()});
    return Err{std::move(started).error()};
  }
  state.writer = std::move(started).value();
  return Ok{};
}

void TraceCapture::mark_published(State& state, std::uint32_t id) {
  if (state.published.size() <= id) state.published.resize(static_cast<std::size_t>(id) + 1, false);
  state.published[id] = true;
}

Result<std::shared_ptr<ChunkHandle>, IoError> TraceCapture::commit(SealedChunk chunk) {
  ensure_this_process();
  std::optional<ResidentReservation> reservation;
  if (!kept_in_memory()) {
    const WriterStop* stop = writer_stop();
    if (stop != nullptr && stop->kind == WriterStop::Kind::ReserveReached) [[unlikely]] {
      // The file takes nothing more; the chunk stays readable in memory.
      return std::make_shared<ChunkHandle>(snapshot_, chunk.ends, chunk.seq, chunk.token, chunk.payload);
    }
    const std::uint64_t bytes =
        chunk.payload->capacity() + 8 * static_cast<std::uint64_t>(chunk.frame_count());
    auto reserved = runtime_->reserve(bytes, gil_state());
    if (!reserved.ok()) {
      if (runtime_->stalled()) return Err{abandon_for_circuit()};
      return Err{std::move(reserved).error()};
    }
    reservation.emplace(std::move(reserved).value());
  }
  Locked state = lock_state();
  if (state->abandoned) return Err{closed_error()};
  auto handle = std::make_shared<ChunkHandle>(snapshot_, chunk.ends, chunk.seq, chunk.token, chunk.payload);
  if (kept_in_memory()) {
    // Switched meanwhile (or from the start): the handle keeps the chunk.
    return handle;
  }
  if (auto started = ensure_writer(*state); !started.ok()) {
    handle->fail(started.error());
    return Err{std::move(started).error()};
  }
  if (!state->writer) fault("writer was just created");
  if (!reservation) fault("streaming chunks reserve resident bytes");
  if (!state->writer->channel_open()) fault("open writer");
  auto sent = state->writer->send_chunk(std::move(chunk), handle, std::move(*reservation));
  if (!sent.ok()) return Err{std::move(sent).error()};
  return handle;
}

Result<void, IoError> TraceCapture::publish_value(std::uint32_t id, SharedBytes bytes) {
  ensure_this_process();
  if (kept_in_memory()) {
    Locked state = lock_state();
    if (state->abandoned) return Err{closed_error()};
    mark_published(*state, id);
    return Ok{};
  }
  {
    Locked state = lock_state();
    if (state->abandoned) return Err{closed_error()};
    if (id < state->published.size() && state->published[id]) return Ok{};
  }
  // Reserved without the state lock: a producer waiting for room must not
  // hold the capture.
  auto reserved = runtime_->reserve(bytes ? bytes->size() : 0, gil_state());
  if (!reserved.ok()) {
    if (runtime_->stalled()) return Err{abandon_for_circuit()};
    return Err{std::move(reserved).error()};
  }
  ResidentReservation reservation = std::move(reserved).value();
  Locked state = lock_state();
  if (state->abandoned) return Err{closed_error()};
  if (id < state->published.size() && state->published[id]) return Ok{};
  if (auto started = ensure_writer(*state); !started.ok()) return Err{std::move(started).error()};
  if (!state->writer) fault("writer was just created");
  auto sent = state->writer->publish_value_reserved(id, std::move(bytes), std::move(reservation));
  if (!sent.ok()) return Err{std::move(sent).error()};
  mark_published(*state, id);
  return Ok{};
}

std::vector<std::uint32_t> TraceCapture::published_value_ids() {
  Locked state = lock_state();
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < state->published.size(); ++i) {
    if (!state->published[i]) continue;
    if (i > 0xFFFFFFFFull) fault("published value IDs are u32");
    ids.push_back(static_cast<std::uint32_t>(i));
  }
  return ids;
}

Result<bool, IoError> TraceCapture::try_publish_value(std::uint32_t id, const SharedBytes& bytes) {
  ensure_this_process();
  std::optional<ForkAwareGuard> guard = state_mutex_.try_lock();
  if (!guard) return false;
  if (poisoned_) fault("trace writer mutex poisoned");
  std::unique_ptr<TraceWriter> abandoned_writer;
  Locked state(*this, std::move(*guard));
  if (state->abandoned) return Err{closed_error()};
  if (id < state->published.size() && state->published[id]) return true;
  if (kept_in_memory()) {
    mark_published(*state, id);
    return true;
  }
  auto reserved = runtime_->try_reserve(bytes ? bytes->size() : 0);
  if (!reserved.ok()) return Err{abandon_locked(*state, abandoned_writer)};
  if (!reserved.value()) return false;
  if (auto started = ensure_writer(*state); !started.ok()) return Err{std::move(started).error()};
  if (!state->writer) fault("writer was just created");
  auto sent = state->writer->publish_value_reserved(id, bytes, std::move(*reserved.value()));
  if (!sent.ok()) return Err{std::move(sent).error()};
  mark_published(*state, id);
  return true;
}

IoError TraceCapture::abandon_locked(State& state, std::unique_ptr<TraceWriter>& writer) {
  state.abandoned = true;
  writer = std::move(state.writer);
  if (writer) {
    if (auto path = writer->abandon_for_circuit()) state.recovered_prefix = std::move(path);
  }
  return circuit_open_error(state.recovered_prefix);
}

IoError TraceCapture::abandon_for_circuit() {
  std::unique_ptr<TraceWriter> writer;
  Locked state = lock_state();
  return abandon_locked(*state, writer);
}

Result<void, IoError> TraceCapture::finish(std::vector<std::pair<std::uint32_t, ByteBuffer>> thread_records,
                                           ByteBuffer metadata, std::vector<ThreadLayout> layouts) {
  if (runtime_->stalled()) return Err{abandon_for_circuit()};
  std::unique_ptr<TraceWriter> writer;
  {
    Locked state = lock_state();
    if (state->abandoned) return Err{closed_error()};
    if (auto started = ensure_writer(*state); !started.ok()) return Err{std::move(started).error()};
    // Nothing more can be committed once the closing records are on their way.
    state->abandoned = true;
    writer = std::move(state->writer);
    if (!writer) fault("finish always starts the writer");
  }
  if (writer->pid() != ::getpid()) {
    writer->forget();
    return Err{IoError::make(IoKind::BrokenPipe, "trace writer cannot be finished in a forked child")};
  }
  auto give_up = [&]() -> IoError {
    std::optional<std::filesystem::path> path = writer->abandon_for_circuit();
    Locked state = lock_state();
    if (path) state->recovered_prefix = path;
    return circuit_open_error(path);
  };
  if (runtime_->stalled()) return Err{give_up()};
  command::Finish closing{std::move(thread_records), std::move(metadata), std::move(layouts)};
  if (auto sent = writer->send_finish(std::move(closing)); !sent.ok()) return Err{std::move(sent).error()};
  writer->close_channel();
  if (!writer->wait_for_exit() && runtime_->stalled()) return Err{give_up()};
  WriterOutcome outcome = writer->join();
  if (outcome.status != WriterOutcome::Status::Ok) {
    ::unlink(temp_path_->c_str());
    if (outcome.status == WriterOutcome::Status::Panicked)
      return Err{IoError::make(IoKind::Other, "trace writer panicked")};
    return Err{std::move(outcome.error)};
  }
  if (auto named = rename_no_replace(*temp_path_, final_path_); !named.ok()) {
    // The finished trace stays where it is, and the error says where.
    const IoError& cause = named.error();
    return Err{IoError::make(cause.kind, "the finished trace file " + utf8_lossy(temp_path_->string()) +
                                             " is kept under that name: naming it " +
                                             utf8_lossy(final_path_.string()) + " failed: " + cause.text())};
  }
  if (std::filesystem::path dir = final_path_.parent_path(); !dir.empty()) {
    if (auto synced = sync_directory(dir); !synced.ok()) return synced;
  }
  return Ok{};
}

std::optional<std::filesystem::path> TraceCapture::recovered_prefix() {
  Locked state = lock_state();
  return state->recovered_prefix;
}

bool adopt_if_inherited(TraceCapture& capture, ForkStamp& ids_made) {
  if (capture.fork_stamp().matches_this_process()) return false;
  capture.keep_in_memory();
  if (ids_made.matches_this_process()) return false;
  ids_made = ForkStamp::current();
  return true;
}

bool TraceCapture::closed() {
  Locked state = lock_state();
  return state->abandoned;
}

}  // namespace vesh::store
