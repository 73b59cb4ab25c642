#include "foundation/filters.h"

#include "py/args.h"
#include "py/error.h"
#include "py/fault.h"
#include "py/import.h"

#include <array>
#include <cstring>
#include <functional>

namespace vesh {

using py::Ref;

// ---------------------------------------------------------------------------
// Finder

struct Finder::Impl {
  explicit Impl(std::string_view needle)
      : bytes(new char[needle.size() == 0 ? 1 : needle.size()]),
        size(needle.size()),
        searcher((std::memcpy(bytes.get(), needle.data(), needle.size()), bytes.get()), bytes.get() + size) {}

  // The searcher keeps pointers into `bytes`, so the Impl never moves.
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  std::unique_ptr<char[]> bytes;
  std::size_t size;
  std::boyer_moore_horspool_searcher<const char*> searcher;
};

Finder::Finder(std::string_view needle) : impl_(std::make_shared<const Impl>(needle)) {}

std::size_t Finder::find(std::string_view haystack) const noexcept {
  const Impl& impl = *impl_;
  if (impl.size == 0) return 0;
  if (impl.size > haystack.size()) return std::string_view::npos;
  const char* first = haystack.data();
  const char* last = first + haystack.size();
  auto [at, end] = impl.searcher(first, last);
  (void)end;
  return at == last ? std::string_view::npos : static_cast<std::size_t>(at - first);
}

std::string_view Finder::needle() const noexcept { return {impl_->bytes.get(), impl_->size}; }

// ---------------------------------------------------------------------------
// File name bytes

std::optional<std::string_view> filename_bytes(PyObject* name, std::string& scratch) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(name)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) {
    return std::string_view(utf8, static_cast<std::size_t>(size));
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
  PyErr_Clear();
  // surrogateescape gives back the very bytes the file system named; only
  // surrogates outside U+DC80..U+DCFF (which no decoder made from bytes) need
  // surrogatepass, which encodes every surrogate.
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogateescape"));
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    bytes = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
  }
  scratch.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return std::string_view(scratch);
}

// ---------------------------------------------------------------------------
// Default exclusions

namespace {

// Built on first use and kept for the life of the process; nothing here calls
// into Python, so threads waiting on the one-time initialisation cannot
// deadlock with the interpreter lock.
const Finder& exec_finder() {
  static const Finder finder("<string>");
  return finder;
}

const Finder& frozen_finder() {
  static const Finder finder("<frozen ");
  return finder;
}

const std::array<Finder, 3>& library_finders() {
  static const std::array<Finder, 3> finders{Finder("lib/python"), Finder("lib64/python"),
                                             Finder("/site-packages/")};
  return finders;
}

const Finder& vesh_dir_finder() {
  static const Finder finder("/vesh/");
  return finder;
}

// The files of this package (python/vesh), matched as prefixes of what
// follows "/vesh/" in a path: a listed name also covers compiled or backup
// copies named after it, and an entry ending in "/" covers a whole directory.
constexpr std::string_view kPackageFiles[] = {
    "__init__.py",
    "plugins.py",
    "serialize.py",
    "db.py",
    "monitoring.py",
    "profiler.py",
    "version.py",
    "git.py",
};

}  // namespace

bool library_filter(std::string_view filename) noexcept {
  for (const Finder& finder : library_finders()) {
    if (finder.is_in(filename)) return true;
  }
  return false;
}

bool frozen_filter(std::string_view filename) noexcept { return frozen_finder().is_in(filename); }

bool exec_filter(std::string_view filename) noexcept { return exec_finder().is_in(filename); }

bool vesh_filter(std::string_view filename) noexcept {
  const Finder& vesh_dir = vesh_dir_finder();
  std::string_view current = filename;
  for (;;) {
    std::size_t at = vesh_dir.find(current);
    if (at == std::string_view::npos) return false;
    std::string_view rest = current.substr(at + 6);
    for (std::string_view entry : kPackageFiles) {
      if (rest.starts_with(entry)) return true;
    }
    // Search again from the occurrence's closing "/", so that a "vesh"
    // directory directly inside another one ("/vesh/vesh/") is found.
    current = current.substr(at + 5);
  }
}

bool excluded_by_default(std::string_view filename) noexcept {
  return library_filter(filename) || frozen_filter(filename) || vesh_filter(filename) || exec_filter(filename) ||
         pytest_expression_filter(filename) || attrs_generated_name(filename);
}

// ---------------------------------------------------------------------------
// attrs-generated code

namespace {

constexpr std::string_view kAttrsMake = "attr/_make.py";

bool is_attrs_make(std::string_view filename) noexcept { return filename.ends_with(kAttrsMake); }

// Reads a required attribute of a frame or code object; its absence breaks
// what the interpreter guarantees.
Ref required_attr(PyObject* obj, PyObject* name, const char* expectation) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (!value) expect_failed(expectation, py::PyError::fetch().message());
  return value;
}

std::string code_filename_of(PyObject* frame) {
  Ref code = required_attr(frame, VESH_INTERNED("f_code"), "A frame has a code object.");
  Ref name = required_attr(code.get(), VESH_INTERNED("co_filename"), "A code object has a filename.");
  std::string scratch;
  std::optional<std::string_view> bytes = filename_bytes(name.get(), scratch);
  if (!bytes) expect_failed("A filename is a string.", py::PyError::fetch().message());
  if (bytes->data() != scratch.data()) scratch.assign(*bytes);
  return scratch;
}

// sys._getframe(depth), or null (error discarded) when the stack is shallower.
Ref getframe(PyObject* sys, int depth) {
  Ref frame = Ref::steal(PyObject_CallMethod(sys, "_getframe", "i", depth));
  if (!frame) PyErr_Clear();
  return frame;
}

}  // namespace

std::string frame_filename(Ref frame) { return code_filename_of(frame.get()); }

bool attrs_filter_monitoring(std::string_view filename, bool& attrs) {
  if (!filename.empty()) {
    attrs = attrs_generated_name(filename);
    return true;
  }
  attrs = false;
  Ref sys = py::import_module("sys");
  if (!sys) return false;
  Ref caller = getframe(sys.get(), 1);
  if (!caller) return true;
  std::string caller_file = frame_filename(std::move(caller));
  if (caller_file.empty()) {
    Ref above = getframe(sys.get(), 2);
    if (!above) return true;
    caller_file = frame_filename(std::move(above));
  }
  attrs = is_attrs_make(caller_file);
  return true;
}

bool attrs_filter(std::string_view filename, PyObject* frame) {
  if (!filename.empty()) return attrs_generated_name(filename);
  Ref caller = required_attr(frame, VESH_INTERNED("f_back"), "A frame has an `f_back` attribute.");
  if (caller.get() == Py_None) return false;
  std::string caller_file = code_filename_of(caller.get());
  if (!caller_file.empty()) return is_attrs_make(caller_file);
  Ref above = required_attr(caller.get(), VESH_INTERNED("f_back"), "A frame has an `f_back` attribute.");
  if (above.get() == Py_None) return false;
  return is_attrs_make(code_filename_of(above.get()));
}

// ---------------------------------------------------------------------------
// Verdict and configuration

bool include_frame(std::string_view filename, const Finders& include, const Finders& ignore, bool& record) {
  if (include.check(filename)) {
    record = true;
    return true;
  }
  bool excluded = excluded_by_default(filename);
  // Only an empty name needs the calling frames; a non-empty one had its
  // attrs prefix tested above.
  if (!excluded && filename.empty() && !attrs_filter_monitoring(filename, excluded)) return false;
  record = !excluded && !ignore.check(filename);
  return true;
}

bool load_filters(PyObject* filters, std::string_view key, Finders& out) {
  out = Finders();
  if (filters == nullptr) return true;
  Ref key_obj = py::str_of(key);
  if (!key_obj) return false;
  Ref value = Ref::checked(PyObject_GetItem(filters, key_obj.get()));
  if (!value) {
    PyErr_Clear();
    return true;
  }
  std::vector<std::string> needles;
  if (!py::to_str_list(value.get(), needles)) return false;
  std::vector<Finder> finders;
  finders.reserve(needles.size());
  for (const std::string& needle : needles) finders.emplace_back(needle);
  out = Finders(std::move(finders));
  return true;
}

}  // namespace vesh
