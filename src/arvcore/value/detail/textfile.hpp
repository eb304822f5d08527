#pragma once
// Whole-file text reading and crash-safe writing.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <streambuf>
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

/// The most bytes a table file may hold: $ARVCORE_MAX_TABLE_BYTES when it is a whole number
/// above 0, else 1 GiB. Every file reader below refuses a larger file, and one that grows
/// past the limit while it is read, and refuses anything that is not a regular file (looked
/// at before it is opened, so that a pipe without a writer cannot block the reader).
std::uint64_t max_table_bytes();

/// Reads a whole file. Throws arvcore::OSError when it cannot be opened or read or is refused
/// (see max_table_bytes) and arvcore::UnicodeError when its bytes are not UTF-8.
std::string read_text_file(const std::filesystem::path& path);

/// Reads a whole file as bytes, without checking its encoding. The returned string has room
/// for `spare` more bytes without reallocating. Throws arvcore::OSError.
std::string read_binary_file(const std::filesystem::path& path, std::size_t spare = 0);

/// A file read front to back in chunks, with a helper thread reading a few chunks ahead of
/// the reader: the kernel's copying of a large file runs beside whatever the reader does
/// with it. A file of at most one chunk is read without a thread. Opening throws
/// arvcore::OSError, as does next() when a read fails.
class FileReadAhead {
 public:
  static constexpr std::size_t kDefaultChunk = std::size_t{512} << 10;

  explicit FileReadAhead(const std::filesystem::path& path, std::size_t chunk = kDefaultChunk);
  /// The file that `file` reads, opened once, read again from byte `from` on, beside `file`
  /// and apart from it.
  FileReadAhead(const FileReadAhead& file, std::uint64_t from, std::size_t chunk = kDefaultChunk);
  ~FileReadAhead();
  FileReadAhead(const FileReadAhead&) = delete;
  FileReadAhead& operator=(const FileReadAhead&) = delete;

  /// One chunk of the file, and whether it is well-formed UTF-8 by itself (checked on the
  /// helper thread, beside the reader).
  struct Chunk {
    std::string_view bytes;
    bool utf8 = false;
  };

  /// The next chunk of the file, empty at its end. It stays valid until the next call, which
  /// hands its memory back to the helper.
  Chunk next();

  /// Up to `n` bytes of the file from byte `from` on (fewer at its end), read apart from the
  /// chunks. Throws arvcore::OSError.
  std::string read_at(std::uint64_t from, std::size_t n) const;

  /// The file's size when it was opened.
  std::uint64_t size() const { return size_; }

 private:
  struct Chunks;
  void start(std::unique_ptr<Chunks> chunks, std::uint64_t file_size);

  std::unique_ptr<Chunks> chunks_;
  std::uint64_t size_ = 0;
};

/// A table file as a stream, for readers that take a std::istream: the chunks of a
/// FileReadAhead, so that such a reader refuses what every table reader refuses (a pipe, a
/// device, a file above max_table_bytes()). Opening throws arvcore::OSError, as does reading
/// when a read fails or the file grows past the limit.
class TableFileBuf final : public std::streambuf {
 public:
  explicit TableFileBuf(const std::filesystem::path& path) : file_(path) {}

  /// The file read, for reads apart from the stream (FileReadAhead::read_at).
  const FileReadAhead& file() const { return file_; }

 protected:
  int_type underflow() override;

 private:
  FileReadAhead file_;
};

/// Writes `content` to a temporary file next to `path`, synced, then renames it over `path`.
/// On failure the temporary file is removed and any previous file at `path` is unchanged.
/// Temporary files of `path` whose writer no longer runs (killed before it could rename or
/// remove them) are removed first. Throws arvcore::OSError naming the real cause.
void write_file_atomic(const std::filesystem::path& path, std::string_view content);

/// The steps of write_file_atomic, in order.
enum class WriteStep { create, write, sync, close, rename };

/// A test's stand-in for failures of the file system: called before each step of every
/// write_file_atomic (before each write call at `write`). Answering an errno value fails the
/// step with it; 0 lets it run, and at `write` a lowered `bytes` makes that write short.
using WriteFaultHook = int (*)(WriteStep step, std::size_t& bytes);

/// Installs `hook` (nullptr: none) and answers the one it replaces. For tests only.
WriteFaultHook set_write_fault_hook(WriteFaultHook hook);

}  // namespace arvcore::value
