#pragma once
// Small helpers shared with the rest of the SDK.

#include <string>

namespace arvcore {

/// Utility functions of the SDK (`_Utils` in the Python package).
struct Utils {
  /// The SDK's data directory: $ARVCORE_FILES_DIR when set and not empty, else "files" under
  /// the current working directory.
  static std::string get_files_dir();
};

}  // namespace arvcore
