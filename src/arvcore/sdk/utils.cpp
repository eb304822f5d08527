#include "arvcore/sdk/utils.hpp"

#include <cstdlib>
#include <filesystem>

namespace arvcore {

std::string Utils::get_files_dir() {
  if (const char* dir = std::getenv("ARVCORE_FILES_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return (std::filesystem::current_path() / "files").string();
}

}  // namespace arvcore
