#include "arvcore/value/table_memory.hpp"

#include <filesystem>
#include <system_error>

namespace arvcore::value {

namespace {

void release_level(Value& v, int depth) noexcept {
  constexpr int kMaxDepth = 32;
  if (depth > kMaxDepth) {
    return;
  }
  if (auto* obj = v.get_ptr<Value::object_t*>()) {
    for (const auto& item : *obj) {
      prefetch_payload(item.second);
    }
    for (auto& item : *obj) {
      release_level(item.second, depth + 1);
    }
    obj->clear();
  } else if (auto* arr = v.get_ptr<Value::array_t*>()) {
    for (const Value& item : *arr) {
      prefetch_payload(item);
    }
    for (Value& item : *arr) {
      release_level(item, depth + 1);
    }
    arr->clear();
  }
}

}  // namespace

void release_table(Value& table) noexcept {
  release_level(table, 0);
}

void release_freed_tables() noexcept {
  value_pool::release_idle_regions();
}

bool large_table_file(const std::string& path) noexcept {
  constexpr std::uintmax_t kLargeTableBytes = std::uintmax_t{4} << 20;
  std::error_code unknown;
  return !path.empty() && std::filesystem::file_size(path, unknown) >= kLargeTableBytes && !unknown;
}

}  // namespace arvcore::value
