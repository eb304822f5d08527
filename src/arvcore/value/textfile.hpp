#pragma once
// Whole-file text reading and crash-safe writing.

#include <filesystem>
#include <string>
#include <string_view>

namespace arvcore::value {

/// True when `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

/// Reads a whole file. Throws arvcore::OSError when it cannot be opened or read and
/// arvcore::UnicodeError when its bytes are not UTF-8.
std::string read_text_file(const std::filesystem::path& path);

/// Writes `content` to a temporary file next to `path`, then renames it over `path`.
/// On failure the temporary file is removed and any previous file at `path` is unchanged.
/// Throws arvcore::OSError.
void write_file_atomic(const std::filesystem::path& path, std::string_view content);

}  // namespace arvcore::value
