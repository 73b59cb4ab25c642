#include "store/trace_persistence.h"

#include "py/fault.h"
#include "py/import.h"
#include "py/ref.h"
#include "support/byte_buffer.h"
#include "store/trace_container.h"
#include "encode/msgpack_encoding.h"

#include <msgpack.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>

namespace vesh::store {

namespace {

using py::Ref;
using Packer = msgpack::packer<ByteBuffer>;

void pack_text(Packer& pk, std::string_view text) {
  pk.pack_str(static_cast<std::uint32_t>(text.size()));
  pk.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
}

void pack_optional_text(Packer& pk, const std::optional<std::string_view>& text) {
  if (text) {
    pack_text(pk, *text);
  } else {
    pk.pack_nil();
  }
}

void pack_bool(Packer& pk, bool value) {
  if (value) {
    pk.pack_true();
  } else {
    pk.pack_false();
  }
}

void pack_optional_u64(Packer& pk, const std::optional<std::uint64_t>& value) {
  if (value) {
    pk.pack_uint64(*value);
  } else {
    pk.pack_nil();
  }
}

// The key as a quoted literal, escaped the way a debug print of a string
// shows it.
std::string quoted(std::string_view key) {
  std::string out = "\"";
  char hex[16];
  for (std::size_t i = 0; i < key.size();) {
    unsigned char c = static_cast<unsigned char>(key[i]);
    // Decode one code point (the key came from a Python str: valid UTF-8).
    std::uint32_t cp = c;
    std::size_t len = 1;
    if (c >= 0xF0 && i + 3 < key.size()) {
      len = 4;
      cp = ((c & 0x07u) << 18) | ((key[i + 1] & 0x3Fu) << 12) | ((key[i + 2] & 0x3Fu) << 6) | (key[i + 3] & 0x3Fu);
    } else if (c >= 0xE0 && i + 2 < key.size()) {
      len = 3;
      cp = ((c & 0x0Fu) << 12) | ((key[i + 1] & 0x3Fu) << 6) | (key[i + 2] & 0x3Fu);
    } else if (c >= 0xC0 && i + 1 < key.size()) {
      len = 2;
      cp = ((c & 0x1Fu) << 6) | (key[i + 1] & 0x3Fu);
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0xAD || (cp >= 0x2028 && cp <= 0x202E) ||
            cp == 0xFEFF || (cp >= 0x200B && cp <= 0x200F)) {
          std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out += hex;
        } else {
          out.append(key.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

// One line straight to the process's stdout (fd 1), bypassing sys.stdout.
void print_unsupported(std::string_view key) {
  std::string line = "unsupported config type: " + quoted(key) + "\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::optional<ConfigValue> convert_value(std::string_view key, PyObject* value) {
  ConfigValue out;
  if (value == Py_None) return out;
  if (PyUnicode_Check(value)) {
    PyResult<std::string> text = str_text(value);
    if (text) {
      out.kind = ConfigValue::Kind::Text;
      out.text = std::move(text).value();
      return out;
    }
  }
  if (PyBool_Check(value)) {
    out.kind = ConfigValue::Kind::Bool;
    out.boolean = value == Py_True;
    return out;
  }
  if (Ref index = Ref::checked(PyNumber_Index(value))) {
    long long integer = PyLong_AsLongLong(index.get());
    if (!(integer == -1 && PyErr_Occurred())) {
      out.kind = ConfigValue::Kind::Int;
      out.integer = integer;
      return out;
    }
  }
  PyErr_Clear();
  if (PyFloat_CheckExact(value)) {
    out.kind = ConfigValue::Kind::Float;
    out.real = PyFloat_AS_DOUBLE(value);
    return out;
  }
  double real = PyFloat_AsDouble(value);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    print_unsupported(key);
    return std::nullopt;
  }
  out.kind = ConfigValue::Kind::Float;
  out.real = real;
  return out;
}

// `out` is the buffer `pk` writes into.
void pack_config_value(Packer& pk, ByteBuffer& out, const ConfigValue& value) {
  switch (value.kind) {
    case ConfigValue::Kind::Nil: pk.pack_nil(); break;
    case ConfigValue::Kind::Bool: pack_bool(pk, value.boolean); break;
    case ConfigValue::Kind::Int: pk.pack_int64(value.integer); break;
    // Always float64: pack_double would write a whole-number double as an integer.
    case ConfigValue::Kind::Float: encode::write_f64(out, value.real); break;
    case ConfigValue::Kind::Text: pack_text(pk, value.text); break;
  }
}

// A per-thread payload: the thread's facts and whether it is alive.
ByteBuffer thread_payload(std::string_view key, const ThreadFacts& facts, bool alive) {
  ByteBuffer buffer(256);
  Packer pk(buffer);
  pk.pack_map(6);
  pack_text(pk, "thread_id");
  pack_text(pk, key);
  pack_text(pk, "name");
  pack_text(pk, facts.name);
  pack_text(pk, "ident");
  pack_optional_u64(pk, facts.ident);
  pack_text(pk, "native_id");
  pack_optional_u64(pk, facts.native_id);
  pack_text(pk, "daemon");
  pack_bool(pk, facts.daemon);
  pack_text(pk, "is_alive");
  pack_bool(pk, alive);
  return buffer;
}

// The payload of a thread read from its object, or from the facts last
// known of a thread whose object is gone (it has ended).
PyResult<ByteBuffer> thread_payload(const ThreadEntry& entry) {
  if (entry.thread == nullptr) return thread_payload(entry.key, *entry.ended, false);
  PyResult<ThreadFacts> facts = read_thread_facts(entry.thread);
  if (!facts) return Err{std::move(facts).error()};
  PyResult<bool> alive = read_is_alive(entry.thread);
  if (!alive) return Err{std::move(alive).error()};
  return thread_payload(entry.key, facts.value(), alive.value());
}

// Calls vesh.db.<function>(*args, db_path=Path(db_path), **rest) with the
// keyword entries in the order given.
PyResult<void> call_db(PyObject* function_name, PyObject* args, std::string_view db_path,
                       std::initializer_list<std::pair<const char*, PyObject*>> rest) {
  Ref db = py::import_module("vesh.db");
  if (!db) return Err{take_python_error()};
  Ref pathlib = py::import_module("pathlib");
  if (!pathlib) return Err{take_python_error()};
  Ref path_type = Ref::checked(PyObject_GetAttr(pathlib.get(), VESH_INTERNED("Path")));
  if (!path_type) return Err{take_python_error()};
  Ref path_text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(db_path.data(), static_cast<Py_ssize_t>(db_path.size())));
  if (!path_text) return Err{take_python_error()};
  Ref path = Ref::checked(PyObject_CallOneArg(path_type.get(), path_text.get()));
  if (!path) return Err{take_python_error()};
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) fault("failed to create the keyword dictionary");
  if (PyDict_SetItemString(kwargs.get(), "db_path", path.get()) < 0) return Err{take_python_error()};
  for (const auto& [key, value] : rest) {
    if (PyDict_SetItemString(kwargs.get(), key, value) < 0) return Err{take_python_error()};
  }
  Ref function = Ref::checked(PyObject_GetAttr(db.get(), function_name));
  if (!function) return Err{take_python_error()};
  Ref result = Ref::checked(PyObject_Call(function.get(), args, kwargs.get()));
  if (!result) return Err{take_python_error()};
  return Ok{};
}

}  // namespace

bool excluded_config_key(std::string_view key) {
  return key == "filters" || key == "auto_emit" || key == "processors" || key == "trace_points" ||
         key == "flush_subtree_mb";
}

std::vector<std::pair<std::string, ConfigValue>> convert_config(const Config& config, bool use_monitoring) {
  std::vector<std::pair<std::string, ConfigValue>> out;
  out.reserve(config.entries().size() + 2);
  for (const auto& [key, value] : config.entries()) {
    if (excluded_config_key(key)) continue;
    if (std::optional<ConfigValue> converted = convert_value(key, value.get())) {
      out.emplace_back(key, std::move(*converted));
    }
  }
  auto put = [&out](std::string_view key, bool flag) {
    ConfigValue value;
    value.kind = ConfigValue::Kind::Bool;
    value.boolean = flag;
    for (auto& entry : out) {
      if (entry.first == key) {
        entry.second = std::move(value);
        return;
      }
    }
    out.emplace_back(std::string(key), std::move(value));
  };
  put("use_monitoring", use_monitoring);
  put("use_rust", true);
  return out;
}

PyResult<TracePayloads> prepare_v3_trace_from_parts(std::span<const ThreadEntry> threads, const ThreadTokens& tokens,
                                                    std::string_view trace_id, std::optional<std::string> trace_name,
                                                    std::string_view source, double timestamp,
                                                    std::string current_thread_id, const Config& config,
                                                    bool use_monitoring, std::optional<std::string_view> root_trace_id) {
  PyResult<std::string> version = vesh_version();
  if (!version) return Err{std::move(version).error()};
  PyResult<std::optional<std::string>> commit = git_commit_sha();
  if (!commit) return Err{std::move(commit).error()};
  PyResult<std::vector<std::string>> argv = get_argv();
  if (!argv) return Err{std::move(argv).error()};
  PyResult<Environment> environment = process_environment();
  if (!environment) return Err{std::move(environment).error()};
  std::vector<std::pair<std::string, ConfigValue>> converted = convert_config(config, use_monitoring);

  ByteBuffer metadata(2048);
  {
    Packer pk(metadata);
    pk.pack_map(10);
    pack_text(pk, "trace_id");
    pack_text(pk, trace_id);
    pack_text(pk, "trace_name");
    pack_optional_text(pk, trace_name ? std::optional<std::string_view>(*trace_name) : std::nullopt);
    pack_text(pk, "current_thread_id");
    pack_text(pk, current_thread_id);
    pack_text(pk, "timestamp");
    encode::write_f64(metadata, timestamp);
    pack_text(pk, "current_commit_sha");
    const std::optional<std::string>& sha = commit.value();
    pack_optional_text(pk, sha ? std::optional<std::string_view>(*sha) : std::nullopt);
    pack_text(pk, "root_trace_id");
    pack_optional_text(pk, root_trace_id);
    pack_text(pk, "meta");
    pk.pack_map(4);
    pack_text(pk, "version");
    pack_text(pk, version.value());
    pack_text(pk, "source");
    pack_text(pk, source);
    pack_text(pk, "environment");
    pk.pack_map(static_cast<std::uint32_t>(environment.value().size()));
    for (const auto& [key, value] : environment.value()) {
      pack_text(pk, key);
      pack_text(pk, value);
    }
    pack_text(pk, "config");
    pk.pack_map(static_cast<std::uint32_t>(converted.size()));
    for (const auto& [key, value] : converted) {
      pack_text(pk, key);
      pack_config_value(pk, metadata, value);
    }
    pack_text(pk, "command_line_args");
    pk.pack_array(static_cast<std::uint32_t>(argv.value().size()));
    for (const std::string& arg : argv.value()) pack_text(pk, arg);
    pack_text(pk, "frames_of_interest");
    pk.pack_array(0);
    pack_text(pk, "frames");
    pk.pack_map(0);
  }

  TracePayloads out;
  out.thread_records.reserve(threads.size());
  for (const ThreadEntry& entry : threads) {
    auto token = tokens.find(absl::string_view(entry.key.data(), entry.key.size()));
    if (token == tokens.end()) {
      return Err{py::PyError::make(PyExc_RuntimeError, "missing v3 thread token for " + std::string(entry.key))};
    }
    PyResult<ByteBuffer> payload = thread_payload(entry);
    if (!payload) return Err{std::move(payload).error()};
    out.thread_records.emplace_back(token->second, std::move(payload).value());
  }
  out.metadata = std::move(metadata);
  return out;
}

PyResult<TracePayloads> prepare_v3_trace_from_parts(const ThreadObjects& threads, const ThreadTokens& tokens,
                                                    std::string_view trace_id, std::optional<std::string> trace_name,
                                                    std::string_view source, double timestamp,
                                                    std::string current_thread_id, const Config& config,
                                                    bool use_monitoring, std::optional<std::string_view> root_trace_id) {
  // The objects still held by the program are held here too until their
  // records are written: reading one runs Python code.
  std::vector<Ref> objects;
  std::vector<ThreadEntry> entries;
  objects.reserve(threads.size());
  entries.reserve(threads.size());
  for (const auto& [key, thread] : threads) {
    Ref object = thread->object();
    entries.push_back(ThreadEntry{key, object.get(), &thread->last_known()});
    if (object) objects.push_back(std::move(object));
  }
  return prepare_v3_trace_from_parts(std::span<const ThreadEntry>(entries), tokens, trace_id, std::move(trace_name),
                                     source, timestamp, std::move(current_thread_id), config, use_monitoring,
                                     root_trace_id);
}

PyResult<void> save_trace_metadata(std::string_view trace_id, std::string_view raw_file, std::string_view db_path,
                                   std::uint64_t timeout, bool ignore_errors) {
  Ref id = py::str_of(trace_id);
  if (!id) return Err{take_python_error()};
  // A file name, decoded as the filesystem's names are.
  Ref file = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(raw_file.data(), static_cast<Py_ssize_t>(raw_file.size())));
  if (!file) return Err{take_python_error()};
  Ref args = Ref::steal(PyTuple_Pack(1, id.get()));
  if (!args) fault("failed to create the argument tuple");
  Ref timeout_value = Ref::steal(PyLong_FromUnsignedLongLong(timeout));
  if (!timeout_value) return Err{take_python_error()};
  return call_db(VESH_INTERNED("_save_trace_metadata"), args.get(), db_path,
                 {{"ignore_errors", ignore_errors ? Py_True : Py_False},
                  {"created_at", Py_None},
                  {"timeout", timeout_value.get()},
                  {"raw_file", file.get()}});
}

PyResult<void> save_v3_container_bytes(std::string_view trace_id, std::string_view container, std::string_view db_path,
                                       std::uint64_t timeout) {
  Ref id = py::str_of(trace_id);
  if (!id) return Err{take_python_error()};
  Ref bytes = py::bytes_of(container);
  if (!bytes) fault("failed to create the container bytes");
  Ref chunks = Ref::steal(PyTuple_Pack(1, bytes.get()));
  if (!chunks) fault("failed to create the container tuple");
  Ref args = Ref::steal(PyTuple_Pack(2, id.get(), chunks.get()));
  if (!args) fault("failed to create the argument tuple");
  Ref timeout_value = Ref::steal(PyLong_FromUnsignedLongLong(timeout));
  if (!timeout_value) return Err{take_python_error()};
  return call_db(VESH_INTERNED("save_v3_trace_chunks"), args.get(), db_path,
                 {{"ignore_errors", Py_True}, {"timeout", timeout_value.get()}});
}

Result<ByteBuffer, IoError> build_container_bytes(std::string_view trace_id, double timestamp,
                                                  std::span<const StoreEntry> stores, const ThreadTokens& tokens,
                                                  std::vector<ThreadRecord> thread_records, ByteBuffer metadata,
                                                  std::vector<PublishedValue> values) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  auto saturating = [](std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; };
  ByteBuffer header = encode_header_payload(trace_id, timestamp);

  // Measure every frame first, so that the output is reserved once.
  std::uint64_t frame_total = 0;
  for (const StoreEntry& entry : stores) {
    std::uint64_t store_total = 0;
    for (std::uint64_t i = 0; i < entry.store->frame_count(); ++i) {
      auto len = entry.store->frame_len(i);
      if (!len.ok()) return Err{std::move(len).error()};
      if (len.value() > kMax - store_total) return Err{width_error()};
      store_total += len.value();
    }
    if (store_total > kMax - frame_total) return Err{width_error()};
    frame_total += store_total;
  }
  const std::uint64_t estimate =
      saturating(saturating(saturating(frame_total, header.size()), metadata.size()), 4096);

  ByteBuffer out;
  if (estimate <= std::numeric_limits<std::size_t>::max()) out.reserve(static_cast<std::size_t>(estimate));
  MemorySink sink(out);
  if (auto r = write_preamble(sink, header.view()); !r.ok()) return Err{std::move(r).error()};
  std::uint64_t offset = kPreambleLen + header.size();
  std::vector<IndexEntry> entries;
  std::vector<ThreadLayout> layouts;
  layouts.reserve(stores.size());

  auto add = [&](Result<IndexEntry, IoError> written) -> Result<void, IoError> {
    if (!written.ok()) return Err{std::move(written).error()};
    entries.push_back(written.value());
    offset = written.value().end();
    return Ok{};
  };

  for (auto& [id, bytes] : values) {
    auto r = add(write_record(sink, offset, kValueRecord, 0, id, 1, bytes ? bytes->view() : std::string_view()));
    if (!r.ok()) return Err{std::move(r).error()};
    bytes.reset();
  }

  ByteBuffer scratch;
  for (const StoreEntry& entry : stores) {
    auto token = tokens.find(absl::string_view(entry.key.data(), entry.key.size()));
    if (token == tokens.end()) {
      return Err{IoError::make(IoKind::InvalidInput, "missing v3 thread token for " + std::string(entry.key))};
    }
    ThreadLayout layout;
    layout.token = token->second;
    FrameArena arena(token->second);
    auto write_sealed = [&]() -> Result<void, IoError> {
      std::optional<SealedChunk> chunk = arena.seal();
      if (!chunk) return Ok{};
      auto r = add(write_chunk(sink, offset, *chunk));
      if (!r.ok()) return r;
      layout.spans.push_back(LayoutSpan{chunk->seq, 0, static_cast<std::uint32_t>(chunk->frame_count())});
      return Ok{};
    };
    for (std::uint64_t i = 0; i < entry.store->frame_count(); ++i) {
      auto frame = entry.store->frame(i, scratch);
      if (!frame.ok()) return Err{std::move(frame).error()};
      arena.append_frame(frame.value());
      if (arena.full()) {
        if (auto r = write_sealed(); !r.ok()) return Err{std::move(r).error()};
      }
    }
    if (auto r = write_sealed(); !r.ok()) return Err{std::move(r).error()};
    layouts.push_back(std::move(layout));
  }

  std::uint64_t ordinal = 0;
  for (auto& [token, payload] : thread_records) {
    auto r = add(write_record(sink, offset, kThreadRecord, token, ordinal++, 1, payload.view()));
    if (!r.ok()) return Err{std::move(r).error()};
  }
  if (auto r = add(write_record(sink, offset, kMetadataRecord, 0, 0, 1, metadata.view())); !r.ok())
    return Err{std::move(r).error()};
  if (entries.size() > kMaxFieldU32) return Err{width_error()};
  const std::uint64_t index_offset = offset;
  ByteBuffer index = encode_index(entries, layouts);
  auto written = write_record(sink, index_offset, kIndexRecord, 0, 0, static_cast<std::uint32_t>(entries.size()),
                              index.view());
  if (!written.ok()) return Err{std::move(written).error()};
  if (auto r = write_footer(sink, index_offset, written.value().end() + kFooterLen); !r.ok())
    return Err{std::move(r).error()};
  return out;
}

}  // namespace vesh::store
