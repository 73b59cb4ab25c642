#include "monitor/code_metadata.h"

namespace vesh::monitor {

CodeVerdict CodeMetadataCache::lookup(CodeAddress address) const {
  auto it = map_.find(address);
  if (it == map_.end()) return CodeVerdict::absent();
  if (it->second.full) return CodeVerdict::full(it->second.full);
  return CodeVerdict::exclude();
}

CodeVerdict CodeMetadataCache::insert_full(CodeAddress address, SharedCodeMetadata record) {
  if (CodeVerdict existing = lookup(address); !existing.is_absent()) return existing;
  if (!record->included) {
    if (counted_ >= kCountedLimit) return CodeVerdict::full(std::move(record));
    ++counted_;
  }
  map_.emplace(address, Entry{record, py::Ref()});
  return CodeVerdict::full(std::move(record));
}

CodeVerdict CodeMetadataCache::insert_excluded(CodeAddress address, py::Ref code) {
  if (CodeVerdict existing = lookup(address); !existing.is_absent()) return existing;
  if (counted_ >= kCountedLimit) return CodeVerdict::exclude();
  ++counted_;
  map_.emplace(address, Entry{nullptr, std::move(code)});
  return CodeVerdict::exclude();
}

std::size_t CodeMetadataCache::full_size() const noexcept {
  std::size_t n = 0;
  for (const auto& [address, entry] : map_) n += entry.full != nullptr;
  return n;
}

std::vector<std::string> CodeMetadataCache::fallback_file_names() const {
  std::vector<std::string> out;
  for (const auto& [address, entry] : map_) {
    if (entry.full && !entry.full->native_values_only.load(std::memory_order_acquire)) {
      out.push_back(entry.full->file_name);
    }
  }
  return out;
}

}  // namespace vesh::monitor
