#pragma once
// Whole-file text reading and crash-safe writing.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace arvcore::value {

/// True when `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

/// Length of the longest prefix of `text` that is well-formed UTF-8 (text.size() when all is).
std::size_t valid_utf8_prefix(std::string_view text);

/// Python's decode error text for the first bad sequence in `text`, for example
/// "'utf-8' codec can't decode byte 0xff in position 3: invalid start byte". Positions are
/// counted from `base`. `text` must contain an error.
std::string utf8_error_message(std::string_view text, std::size_t base = 0);

/// Appends the UTF-8 form of code point `cp` (at most U+10FFFF) to `out`.
void append_utf8(std::uint32_t cp, std::string& out);

/// Reads a whole file. Throws arvcore::OSError when it cannot be opened or read and
/// arvcore::UnicodeError when its bytes are not UTF-8.
std::string read_text_file(const std::filesystem::path& path);

/// Reads a whole file as bytes, without checking its encoding. The returned string has room
/// for `spare` more bytes without reallocating. Throws arvcore::OSError.
std::string read_binary_file(const std::filesystem::path& path, std::size_t spare = 0);

/// A file's bytes in memory for reading in place. A regular file is mapped read-only rather
/// than copied; anything else (a pipe, a device) is read whole. Throws arvcore::OSError.
/// The table files this reads are replaced by renaming a new file over them, which leaves a
/// mapping of the old one intact; a file cut short in place while it is mapped would fault
/// the reader, as with any mapped file.
class FileBytes {
 public:
  explicit FileBytes(const std::filesystem::path& path);
  ~FileBytes();
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  std::string_view view() const { return view_; }

  /// Says that the bytes before `p` (a position in view()) will not be read again: their
  /// pages leave the process's memory (not the system's file cache), so that reading a
  /// large file front to back keeps only a little of it resident.
  void done_before(const char* p);

 private:
  void* mapping_ = nullptr;
  const char* released_ = nullptr;  // pages before this are handed back
  std::string copy_;
  std::string_view view_;
};

/// Writes `content` to a temporary file next to `path`, then renames it over `path`.
/// On failure the temporary file is removed and any previous file at `path` is unchanged.
/// Throws arvcore::OSError.
void write_file_atomic(const std::filesystem::path& path, std::string_view content);

}  // namespace arvcore::value
