#include "arvcore/value/table_memory.hpp"

#include <filesystem>
#include <system_error>

namespace arvcore::value {

bool large_table_file(const std::string& path) noexcept {
  constexpr std::uintmax_t kLargeTableBytes = std::uintmax_t{4} << 20;
  std::error_code unknown;
  return !path.empty() && std::filesystem::file_size(path, unknown) >= kLargeTableBytes && !unknown;
}

}  // namespace arvcore::value
