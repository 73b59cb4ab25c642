// Frame paths: a code object's file relative to the working directory the
// tracer was made in, then ":" and the frame's line ("None" when it has
// none). The relative path is worked out once per code object and kept with
// the code's native-eligibility flag.
//
// File names on Linux are bytes, and Python hands undecodable ones over as
// str with lone surrogates (surrogateescape). Such names must never stop
// tracing: path arithmetic runs on the original bytes, and the text written
// into records replaces bytes that are not UTF-8 with U+FFFD.
#pragma once

#include "support/utf8.h"

#include <Python.h>

#include "py/gil_mutex.h"
#include "py/ref.h"

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh {

// ---------------------------------------------------------------------------
// Text of Python strs that may carry lone surrogates.

// The bytes of a str: its UTF-8 form, else its surrogateescape form (the
// original file-system bytes), else (a surrogate that escape cannot map) its
// surrogatepass form. Returns false with a TypeError set when `obj` is not a
// str; never fails for a str other than by running out of memory.
bool str_bytes(PyObject* obj, std::string& out);

// str_bytes followed by utf8_lossy: text fit for a MessagePack str.
bool str_text_lossy(PyObject* obj, std::string& out);

// ---------------------------------------------------------------------------
// Path arithmetic (bytes, "/" separated).

// Drops "." components and resolves ".." against preceding names; ".."
// above the root is dropped, and stays only at the start of a relative
// path. An empty result is ".".
std::string lexical_normalize(std::string_view path);

// `path` relative to the directory `base`. Relative paths are answered in
// normalised form without reference to `base`.
std::string relative_path_from(std::string_view base, std::string_view path);

// ---------------------------------------------------------------------------
// Line numbers.

// The line of every instruction of one code object, decoded once from its
// line table: the interpreter walks the table from its start for every line
// it is asked for. Made by the tracers when they first meet a code object and
// carried with its open calls.
class CodeLines {
 public:
  // Null with a Python error set when the code's co_lines() cannot be read.
  static std::shared_ptr<const CodeLines> of(PyObject* code);

  // The line of a frame of this code at its current instruction: false when
  // the table cannot answer (the frame's instruction lies past it), else
  // `out` (nullopt: the instruction has no line).
  bool line_of(PyObject* frame, std::optional<std::int32_t>& out) const;

 private:
  std::vector<std::int32_t> by_unit_;  // per code unit; kNoLine: none
  std::int32_t first_line_ = 0;
};
using SharedCodeLines = std::shared_ptr<const CodeLines>;

// The frame's current line: from `lines` (the line table of the frame's own
// code) when given, else the interpreter's own for a frame object, else its
// f_lineno attribute (None = no line). Returns false with a Python error set
// on failure; the value must fit the target type.
bool frame_line_number(PyObject* frame, std::optional<std::uint64_t>& out, const CodeLines* lines = nullptr);
bool frame_line_number_i32_with(PyObject* frame, std::optional<std::int32_t>& out,
                                const CodeLines* lines = nullptr);

// ---------------------------------------------------------------------------

using CodeKey = std::uintptr_t;

// A frame's location as FramePathCache answers it.
struct FrameLocation {
  std::string relative_path;
  std::optional<std::uint64_t> line;
  CodeKey code_key = 0;
  bool native_eligible = true;

  // relative path, ":", the line or "None".
  std::string text() const;
};

class FramePathCache {
 public:
  // Captures the current directory; failing to read it is the internal
  // fault "Current directory is invalid".
  FramePathCache();
  // Uses `cwd` as the working directory.
  explicit FramePathCache(std::string cwd);
  FramePathCache(const FramePathCache&) = delete;
  FramePathCache& operator=(const FramePathCache&) = delete;
  ~FramePathCache();

  const std::string& cwd() const noexcept { return cwd_; }

  // `path` (bytes of a file name) relative to the captured directory, as
  // UTF-8 text.
  std::string relative_path(std::string_view path) const;

  // Relative path, line, code key and native eligibility of the frame's
  // code. Returns false with a Python error set when f_code, co_filename
  // (not a str) or the line cannot be read; the cache is left unchanged.
  bool frame_path_and_native_eligibility(PyObject* frame, FrameLocation& out);
  // The frame path text alone.
  bool format_frame_path(PyObject* frame, std::string& out);

  // Every later lookup of this code answers not eligible; unknown keys are
  // ignored.
  void mark_native_msgpack_unsupported(CodeKey key);

 private:
  struct Entry {
    py::Ref code;  // keeps the address from being reused
    std::string relative_path;
    bool native_eligible;
  };
  using Map = absl::flat_hash_map<CodeKey, Entry>;

  std::string cwd_;
  py::GilMutex<Map> entries_;
};

}  // namespace vesh
