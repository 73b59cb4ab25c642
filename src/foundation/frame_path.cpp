#include "foundation/frame_path.h"

#include "py/args.h"
#include "py/fault.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace vesh {

using py::Ref;

// ---------------------------------------------------------------------------
// Text

bool str_bytes(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(obj, &size)) {
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  // Lone surrogates. Those that surrogateescape made from undecodable bytes
  // map back to the original bytes; any other surrogate is kept in its
  // surrogatepass form, which every str has.
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
  if (!bytes) {
    PyErr_Clear();
    bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    if (!bytes) return false;
  }
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool str_text_lossy(PyObject* obj, std::string& out) {
  std::string bytes;
  if (!str_bytes(obj, bytes)) return false;
  out = utf8_lossy(bytes);
  return true;
}

// ---------------------------------------------------------------------------
// Paths

namespace {

struct Components {
  bool absolute = false;
  std::vector<std::string_view> names;  // ".." only at the start of a relative path
};

Components normalize(std::string_view path) {
  Components c;
  c.absolute = !path.empty() && path.front() == '/';
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!c.names.empty() && c.names.back() != "..") {
        c.names.pop_back();
      } else if (!c.absolute) {
        c.names.push_back(part);
      }
      continue;
    }
    c.names.push_back(part);
  }
  return c;
}

std::string join(bool absolute, const std::vector<std::string_view>& names, std::size_t from = 0) {
  std::string out;
  if (absolute) out.push_back('/');
  for (std::size_t k = from; k < names.size(); ++k) {
    if (k > from) out.push_back('/');
    out.append(names[k]);
  }
  if (out.empty()) out.push_back('.');
  return out;
}

}  // namespace

std::string lexical_normalize(std::string_view path) {
  Components c = normalize(path);
  return join(c.absolute, c.names);
}

std::string relative_path_from(std::string_view base, std::string_view path) {
  Components target = normalize(path);
  if (!target.absolute) return join(false, target.names);
  Components from = normalize(base);
  // A relative base gives nothing to measure against; the absolute path is
  // the only faithful answer.
  if (!from.absolute) return join(true, target.names);

  std::size_t common = 0;
  while (common < target.names.size() && common < from.names.size() &&
         target.names[common] == from.names[common]) {
    ++common;
  }
  std::string out;
  for (std::size_t k = common; k < from.names.size(); ++k) {
    if (!out.empty()) out.push_back('/');
    out.append("..");
  }
  for (std::size_t k = common; k < target.names.size(); ++k) {
    if (!out.empty()) out.push_back('/');
    out.append(target.names[k]);
  }
  if (out.empty()) out.push_back('.');
  return out;
}

// ---------------------------------------------------------------------------
// Line numbers

namespace {

constexpr std::int32_t kNoLine = -1;

// The interpreter's line for a frame object; nullopt when it has none of its
// own and f_lineno must be asked.
std::optional<int> own_line_number(PyObject* frame) {
  if (!PyFrame_Check(frame)) return std::nullopt;
  int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
  if (line < 0) return std::nullopt;
  return line;
}

// One (start, end, line) entry of co_lines(): offsets in bytes, line None
// for instructions without one. False with an error set.
bool line_range(PyObject* item, long& start, long& end, std::int32_t& line) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
    PyErr_SetString(PyExc_TypeError, "co_lines() gave an entry that is not a 3-tuple");
    return false;
  }
  start = PyLong_AsLong(PyTuple_GET_ITEM(item, 0));
  if (start == -1 && PyErr_Occurred()) return false;
  end = PyLong_AsLong(PyTuple_GET_ITEM(item, 1));
  if (end == -1 && PyErr_Occurred()) return false;
  PyObject* number = PyTuple_GET_ITEM(item, 2);
  if (number == Py_None) {
    line = kNoLine;
    return true;
  }
  long value = PyLong_AsLong(number);
  if (value == -1 && PyErr_Occurred()) return false;
  line = value < 0 || value > INT32_MAX ? kNoLine : static_cast<std::int32_t>(value);
  return true;
}

}  // namespace

std::shared_ptr<const CodeLines> CodeLines::of(PyObject* code) {
  auto made = std::make_shared<CodeLines>();
  if (!PyCode_Check(code)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCode'", Py_TYPE(code)->tp_name);
    return nullptr;
  }
  made->first_line_ = reinterpret_cast<PyCodeObject*>(code)->co_firstlineno;
  Ref ranges = Ref::steal(PyObject_CallMethod(code, "co_lines", nullptr));
  Ref iterator = ranges ? Ref::steal(PyObject_GetIter(ranges.get())) : Ref();
  if (!iterator) return nullptr;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    long start = 0;
    long end = 0;
    std::int32_t line = kNoLine;
    if (!line_range(item.get(), start, end, line)) return nullptr;
    if (start < 0 || end <= start || end > (1L << 30)) continue;
    const auto first = static_cast<std::size_t>(start / 2);
    const auto past = static_cast<std::size_t>((end + 1) / 2);
    if (made->by_unit_.size() < past) made->by_unit_.resize(past, kNoLine);
    for (std::size_t unit = first; unit < past; ++unit) made->by_unit_[unit] = line;
  }
  if (PyErr_Occurred()) return nullptr;
  return made;
}

bool CodeLines::line_of(PyObject* frame, std::optional<std::int32_t>& out) const {
  if (!PyFrame_Check(frame)) return false;
  const int offset = PyFrame_GetLasti(reinterpret_cast<PyFrameObject*>(frame));
  // A frame that has not started yet stands on its first line.
  if (offset < 0) {
    out = first_line_;
    return true;
  }
  const auto unit = static_cast<std::size_t>(offset) / 2;
  if (unit >= by_unit_.size()) return false;
  const std::int32_t line = by_unit_[unit];
  if (line == kNoLine) {
    out.reset();
  } else {
    out = line;
  }
  return true;
}

bool frame_line_number(PyObject* frame, std::optional<std::uint64_t>& out, const CodeLines* lines) {
  if (std::optional<std::int32_t> line; lines != nullptr && lines->line_of(frame, line)) [[likely]] {
    out = line ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*line)) : std::nullopt;
    return true;
  }
  if (std::optional<int> line = own_line_number(frame)) {
    out = static_cast<std::uint64_t>(*line);
    return true;
  }
  Ref value = Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_lineno")));
  return value && py::to_optional_u64(value.get(), out);
}

bool frame_line_number_i32_with(PyObject* frame, std::optional<std::int32_t>& out, const CodeLines* lines) {
  if (lines != nullptr && lines->line_of(frame, out)) [[likely]] return true;
  if (std::optional<int> line = own_line_number(frame)) {
    out = *line;
    return true;
  }
  Ref value = Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_lineno")));
  if (!value) return false;
  if (value.get() == Py_None) {
    out.reset();
    return true;
  }
  Ref index = Ref::checked(PyNumber_Index(value.get()));
  if (!index) return false;
  int overflow = 0;
  long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return false;
  if (overflow > 0 || number > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return false;
  }
  if (overflow < 0 || number < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return false;
  }
  out = static_cast<std::int32_t>(number);
  return true;
}

// ---------------------------------------------------------------------------
// FramePathCache

std::string FrameLocation::text() const {
  std::string out = relative_path;
  out.push_back(':');
  out.append(line ? std::to_string(*line) : std::string("None"));
  return out;
}

namespace {

std::string current_directory() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) fault("Current directory is invalid");
    buffer.resize(buffer.size() * 2);
  }
}

Ref code_of(PyObject* frame) {
  if (PyFrame_Check(frame)) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
  }
  return Ref::checked(PyObject_GetAttr(frame, VESH_INTERNED("f_code")));
}

Ref filename_of(PyObject* code) {
  if (PyCode_Check(code)) return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_filename);
  return Ref::checked(PyObject_GetAttr(code, VESH_INTERNED("co_filename")));
}

}  // namespace

FramePathCache::FramePathCache() : FramePathCache(current_directory()) {}

FramePathCache::FramePathCache(std::string cwd) : cwd_(std::move(cwd)), entries_("frame path cache") {}

FramePathCache::~FramePathCache() = default;

std::string FramePathCache::relative_path(std::string_view path) const {
  return utf8_lossy(relative_path_from(cwd_, path));
}

bool FramePathCache::frame_path_and_native_eligibility(PyObject* frame, FrameLocation& out) {
  Ref code = code_of(frame);
  if (!code) return false;
  CodeKey key = reinterpret_cast<CodeKey>(code.get());
  bool found = false;
  {
    auto map = entries_.lock();
    if (auto it = map->find(key); it != map->end()) {
      out.relative_path = it->second.relative_path;
      out.native_eligible = it->second.native_eligible;
      found = true;
    }
  }
  if (!found) {
    // The file name is read with the lock released: a fake code object's
    // attribute could run Python code that comes back here.
    Ref filename = filename_of(code.get());
    if (!filename) return false;
    std::string bytes;
    if (!str_bytes(filename.get(), bytes)) return false;
    std::string relative = relative_path(bytes);
    auto map = entries_.lock();
    auto [it, inserted] = map->try_emplace(key, Entry{code.clone(), std::move(relative), true});
    out.relative_path = it->second.relative_path;
    out.native_eligible = it->second.native_eligible;
  }
  out.code_key = key;
  return frame_line_number(frame, out.line);
}

bool FramePathCache::format_frame_path(PyObject* frame, std::string& out) {
  FrameLocation location;
  if (!frame_path_and_native_eligibility(frame, location)) return false;
  out = location.text();
  return true;
}

void FramePathCache::mark_native_msgpack_unsupported(CodeKey key) {
  auto map = entries_.lock();
  if (auto it = map->find(key); it != map->end()) it->second.native_eligible = false;
}

}  // namespace vesh
