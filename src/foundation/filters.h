// Frame filters: whether the frames of a code object belong to the user's
// program, decided from the code's file name alone (plus, for attrs-generated
// code with an empty file name, a look at the calling frames).
//
// Every test is a substring test over the file name's bytes. File names come
// from code objects and may hold lone surrogates (undecodable bytes of the
// file system); filename_bytes() gives such a name a byte form that never
// fails, so it simply matches the needles it contains and no others.
#pragma once

#include <Python.h>

#include "py/ref.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesh {

// A substring searcher for one needle, analysed once when built. Owns a copy
// of the needle. Copies share the (immutable) searcher.
class Finder {
 public:
  explicit Finder(std::string_view needle);

  // Offset of the first occurrence of the needle, or npos. An empty needle
  // occurs at 0; a needle longer than the haystack is not searched.
  std::size_t find(std::string_view haystack) const noexcept;
  bool is_in(std::string_view haystack) const noexcept { return find(haystack) != std::string_view::npos; }
  std::string_view needle() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<const Impl> impl_;
};

// An ordered list of finders (a tracer's include list or ignore list).
class Finders {
 public:
  Finders() = default;
  explicit Finders(std::vector<Finder> finders) : finders_(std::move(finders)) {}

  // Whether any needle occurs in the file name; the first hit ends the scan.
  bool check(std::string_view filename) const noexcept {
    for (const Finder& finder : finders_) {
      if (finder.is_in(filename)) return true;
    }
    return false;
  }

  bool empty() const noexcept { return finders_.empty(); }
  std::size_t size() const noexcept { return finders_.size(); }
  std::vector<Finder>::const_iterator begin() const noexcept { return finders_.begin(); }
  std::vector<Finder>::const_iterator end() const noexcept { return finders_.end(); }

 private:
  std::vector<Finder> finders_;
};

// The byte form the filters test: the str's UTF-8 form, or, when it holds
// lone surrogates, its surrogateescape encoding (surrogatepass for those that
// escape cannot carry) copied into `scratch`. nullopt with a Python error set
// only when `name` is not a str or memory runs out.
std::optional<std::string_view> filename_bytes(PyObject* name, std::string& scratch);

// The default exclusions, each a pure byte test.
bool library_filter(std::string_view filename) noexcept;  // "lib/python", "lib64/python", "/site-packages/"
bool frozen_filter(std::string_view filename) noexcept;   // "<frozen "
bool exec_filter(std::string_view filename) noexcept;     // "<string>"
bool vesh_filter(std::string_view filename) noexcept;     // one of this package's own files
inline bool pytest_expression_filter(std::string_view filename) noexcept {
  return filename == "<pytest match expression>";
}
inline bool attrs_generated_name(std::string_view filename) noexcept {
  return filename.starts_with("<attrs generated");
}

// All default exclusions that need no Python call, in verdict order:
// library, frozen, own package, exec, pytest match expression, and a name
// that starts with "<attrs generated". The profile-hook tracer's verdict is
//   include.check(f) -> record;
//   excluded_by_default(f) || ignore.check(f) -> skip;
//   otherwise record unless attrs_filter(f, frame) (asked per event).
bool excluded_by_default(std::string_view filename) noexcept;

// The attrs test of the monitoring tracer. A non-empty name is tested by its
// prefix; an empty one by the file names of the callers found through
// sys._getframe (1, then 2 when the first is empty too): true when it ends
// with "attr/_make.py". Returns false with a Python error set only when `sys`
// cannot be imported; the answer goes to `attrs`.
bool attrs_filter_monitoring(std::string_view filename, bool& attrs);

// The attrs test of the profile-hook tracer, given the frame (borrowed) whose
// code the file name belongs to. A frame without f_back/f_code/co_filename is
// an internal fault.
bool attrs_filter(std::string_view filename, PyObject* frame);

// The frame's f_code.co_filename in filename_bytes() form. Takes over the
// reference to the frame. A frame or code object without those attributes,
// or a file name that is not a str, is an internal fault.
std::string frame_filename(py::Ref frame);

// The verdict of the monitoring tracer (and its idle filter): an include
// match records; then the default exclusions (ending with the attrs test);
// then an ignore match skips. Returns false with a Python error set only when
// the attrs test fails; the verdict goes to `record`.
bool include_frame(std::string_view filename, const Finders& include, const Finders& ignore, bool& record);

// Builds the finders for `key` ("include_frames" or "ignore_frames") of the
// configuration's "filters" entry (borrowed; null when the configuration has
// none). A missing entry or key, or any failing lookup, gives an empty list;
// a value that is not a sequence of str (a plain str among them) fails with
// the conversion's TypeError, returned false with the error set.
bool load_filters(PyObject* filters, std::string_view key, Finders& out);

}  // namespace vesh
