#include "profiler/code_cache.h"

#include "foundation/filters.h"
#include "plugins/plugins.h"
#include "py/fault.h"
#include "foundation/frame_path.h"

#include <string_view>

namespace vesh::profile {

namespace {

std::uintptr_t address_of(PyObject* code) noexcept { return reinterpret_cast<std::uintptr_t>(code); }

// The byte form of a code name attribute. Names that are not UTF-8 (lone
// surrogates from undecodable file names) keep their original bytes.
std::string name_bytes(PyObject* code, PyObject* attribute, const char* missing, const char* not_str) {
  py::Ref value = py::Ref::steal(PyObject_GetAttr(code, attribute));
  if (!value) {
    PyErr_Clear();
    fault(missing);
  }
  if (!PyUnicode_Check(value.get())) fault(not_str);
  std::string out;
  if (!str_bytes(value.get(), out)) {
    PyErr_Clear();
    fault(not_str);
  }
  return out;
}

// co_qualname as text; nullopt when it cannot be read.
std::optional<std::string> read_qualname(PyObject* code) {
  py::Ref value = py::Ref::steal(PyObject_GetAttr(code, VESH_INTERNED("co_qualname")));
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyUnicode_Check(value.get())) fault("code.co_qualname is always a string when present");
  std::string out;
  if (!str_text_lossy(value.get(), out)) {
    PyErr_Clear();
    fault("code.co_qualname is always a string when present");
  }
  return out;
}

CodeResolution from_entry(const ProfilerCodeMetadataCache::Entry& entry) {
  return CodeResolution{entry.full.get(), nullptr, true};
}

}  // namespace

const ProfilerCodeMetadataCache::Entry* ProfilerCodeMetadataCache::insert_excluded(std::uintptr_t address,
                                                                                    py::Ref code) {
  if (excluded_count_ >= kExcludedLimit) return nullptr;
  ++excluded_count_;
  auto [it, inserted] = map_.try_emplace(address, Entry{nullptr, std::move(code)});
  (void)inserted;
  return &it->second;
}

const ProfilerCodeMetadataCache::Entry* ProfilerCodeMetadataCache::insert_full(std::uintptr_t address,
                                                                                SharedCodeMetadata metadata) {
  if (metadata->verdict == CodeVerdict::Excluded) {
    if (excluded_count_ >= kExcludedLimit) return nullptr;
    ++excluded_count_;
  }
  auto [it, inserted] = map_.try_emplace(address, Entry{std::move(metadata), py::Ref()});
  (void)inserted;
  return &it->second;
}

CodeVerdict classify_filename(std::string_view filename, const Finders& include, const Finders& ignore) {
  if (include.check(filename)) return CodeVerdict::Included;
  if (excluded_by_default(filename)) return CodeVerdict::Excluded;
  if (ignore.check(filename)) return CodeVerdict::Excluded;
  return CodeVerdict::Default;
}

CodeResolution resolve_code(const ClassificationContext& context, PyObject* code) {
  const std::uintptr_t address = address_of(code);
  {
    auto cache = context.cache.lock();
    if (const auto* entry = cache->lookup(address)) return from_entry(*entry);
  }

  // A miss: read and classify without holding the cache lock, since reading
  // attributes may run Python code.
  std::string filename = name_bytes(code, VESH_INTERNED("co_filename"), "code objects always have co_filename",
                                    "code.co_filename is always a string");
  std::string co_name_bytes =
      name_bytes(code, VESH_INTERNED("co_name"), "code objects always have co_name", "code.co_name is always a string");
  CodeVerdict verdict = classify_filename(filename, context.include_frames, context.ignore_frames);
  std::string co_name = utf8_lossy(co_name_bytes);
  const bool has_plugins = !context.plugin_map.empty() && context.plugin_map.find(co_name) != nullptr;

  if (verdict == CodeVerdict::Excluded && !has_plugins) {
    auto cache = context.cache.lock();
    if (const auto* entry = cache->lookup(address)) return from_entry(*entry);
    if (cache->insert_excluded(address, py::Ref::borrow(code)) != nullptr) return CodeResolution{nullptr, nullptr, true};
    return CodeResolution{};
  }

  auto metadata = std::make_shared<ProfilerCodeMetadata>();
  metadata->relative_path = context.paths.relative_path(filename);
  metadata->co_qualname = read_qualname(code);
  metadata->co_filename = std::move(filename);
  metadata->co_name = std::move(co_name);
  metadata->code = py::Ref::borrow(code);
  // Without the table, lines are asked of the interpreter.
  metadata->lines = CodeLines::of(code);
  if (!metadata->lines) PyErr_Clear();
  metadata->has_plugins = has_plugins;
  metadata->verdict = verdict;

  SharedCodeMetadata shared = std::move(metadata);
  auto cache = context.cache.lock();
  if (const auto* entry = cache->lookup(address)) return from_entry(*entry);
  if (const auto* entry = cache->insert_full(address, shared)) return from_entry(*entry);
  // Past the excluded limit: the metadata serves this event only.
  const ProfilerCodeMetadata* raw = shared.get();
  return CodeResolution{raw, std::move(shared), false};
}

}  // namespace vesh::profile
