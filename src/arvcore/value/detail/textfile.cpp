#include "arvcore/value/detail/textfile.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/detail/pages.hpp"
#include "arvcore/value/pynum.hpp"

namespace arvcore::value {
namespace {

// How one UTF-8 sequence starting at `p` fails, Python's way: the number of bytes that form
// the bad part and the reason; {0, nullptr} when the sequence is fine (`len` receives its
// length).
struct Utf8Fault {
  std::size_t bytes = 0;
  const char* reason = nullptr;
};

Utf8Fault check_sequence(const unsigned char* p, const unsigned char* end, std::size_t& len) {
  const unsigned char c = *p;
  if (c < 0x80) {
    len = 1;
    return {};
  }
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) {
      lo = 0xA0;  // overlong
    } else if (c == 0xED) {
      hi = 0x9F;  // surrogates
    }
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) {
      lo = 0x90;  // overlong
    } else if (c == 0xF4) {
      hi = 0x8F;  // past U+10FFFF
    }
  } else {
    return {1, "invalid start byte"};
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (p + i >= end) {
      return {i, "unexpected end of data"};
    }
    const unsigned char b = p[i];
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      return {i, "invalid continuation byte"};
    }
  }
  return {};
}

[[noreturn]] void throw_os_error(int err, const std::filesystem::path& path) {
  throw OSError(fmt::format("[Errno {}] {}: '{}'", err, std::strerror(err), path.string()));
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// --- bounded reading -------------------------------------------------------------------------

constexpr std::uint64_t kDefaultMaxTableBytes = std::uint64_t{1} << 30;

std::string_view file_kind(mode_t mode) {
  if (S_ISFIFO(mode)) {
    return "named pipe";
  }
  if (S_ISCHR(mode)) {
    return "character device";
  }
  if (S_ISBLK(mode)) {
    return "block device";
  }
  if (S_ISSOCK(mode)) {
    return "socket";
  }
  return "special file";
}

[[noreturn]] void throw_too_large(const std::filesystem::path& path, std::uint64_t limit) {
  throw OSError(fmt::format(
      "'{}' holds more than {} bytes, the most a table file may hold (ARVCORE_MAX_TABLE_BYTES)",
      path.string(), limit));
}

// Refuses what a table cannot be read from: anything but a regular file (a device or a pipe
// can deliver bytes without end, or none while blocking), or a file above the size limit.
void check_table_file(const std::filesystem::path& path, const struct stat& st,
                      std::uint64_t limit) {
  if (S_ISDIR(st.st_mode)) {
    throw_os_error(EISDIR, path);
  }
  if (!S_ISREG(st.st_mode)) {
    throw OSError(fmt::format("'{}' is a {}, not a regular file: tables are read from files only",
                              path.string(), file_kind(st.st_mode)));
  }
  if (static_cast<std::uint64_t>(st.st_size) > limit) {
    throw_too_large(path, limit);
  }
}

// An open table file, its description and the most bytes that may be read from it.
struct TableFile {
  Fd fd;
  struct stat st {};
  std::uint64_t limit = 0;
};

// Opens `path` for reading once its kind and size are known to be fit for a table. The name is
// looked at before it is opened, so that opening a pipe without a writer cannot block; the
// open file is looked at again in case the name was replaced in between (and is opened
// without blocking for the same reason).
TableFile open_for_reading(const std::filesystem::path& path) {
  const std::uint64_t limit = max_table_bytes();
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) {
    throw_os_error(errno, path);
  }
  check_table_file(path, named, limit);
  TableFile file{Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)), {}, limit};
  if (file.fd.get() < 0) {
    throw_os_error(errno, path);
  }
  if (::fstat(file.fd.get(), &file.st) != 0) {
    throw_os_error(errno, path);
  }
  check_table_file(path, file.st, file.limit);
  return file;
}

// Reads into `buf` until it is full or the file ends: the bytes read, or -1 with errno set.
// With `at` not negative the bytes are read from that offset, and the file's own offset (which
// a duplicate of the descriptor shares) is left alone.
ssize_t read_full(const Fd& fd, char* buf, std::size_t size, off_t at = -1) {
  std::size_t used = 0;
  while (used < size) {
    const ssize_t n =
        at < 0 ? ::read(fd.get(), buf + used, size - used)
               : ::pread(fd.get(), buf + used, size - used, at + static_cast<off_t>(used));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    used += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(used);
}

// The rest of an open table file, with room for `spare` more bytes. A file that grows past the
// limit while it is read is refused as well.
std::string read_all(const TableFile& file, const std::filesystem::path& path, std::size_t spare) {
  const auto limit = static_cast<std::size_t>(file.limit);
  std::string content;
  // The size is a hint only: files such as those under /proc report 0.
  const auto hint = static_cast<std::size_t>(file.st.st_size > 0 ? file.st.st_size : 0);
  // Room for the spare bytes from the start: a file read whole is not copied again for them.
  content.reserve(std::min(hint, limit) + 1 + spare);
  content.resize(std::min(hint, limit) + 1);
  std::size_t used = 0;
  for (;;) {
    const std::size_t room = content.size() - used;
    const ssize_t n = read_full(file.fd, content.data() + used, room);
    if (n < 0) {
      throw_os_error(errno, path);
    }
    used += static_cast<std::size_t>(n);
    if (used > limit) {
      throw_too_large(path, file.limit);
    }
    if (static_cast<std::size_t>(n) < room) {
      break;
    }
    content.resize(std::min(content.size() * 2, limit + 1));
  }
  content.reserve(used + spare);
  content.resize(used);
  return content;
}

// --- atomic writing ----------------------------------------------------------------------------

std::atomic<WriteFaultHook> write_fault_hook{nullptr};

// What a test asks of step `step`: an errno value to fail it with, or 0.
int injected_fault(WriteStep step, std::size_t& bytes) {
  const WriteFaultHook hook = write_fault_hook.load();
  return hook != nullptr ? hook(step, bytes) : 0;
}

// A small file read whole (for /proc entries, which report no size); false when it cannot be.
bool read_small_file(const char* path, std::string& out) {
  const Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return false;
  }
  out.resize(4096);
  const ssize_t n = read_full(fd, out.data(), out.size());
  if (n < 0) {
    return false;
  }
  out.resize(static_cast<std::size_t>(n));
  return true;
}

// A process as /proc shows it: whether it still runs (a zombie does not) and when it started,
// in clock ticks since boot. nullopt when /proc has no entry for it.
struct ProcessInfo {
  bool running = false;
  std::uint64_t start = 0;
};

std::optional<ProcessInfo> process_info(long pid) {
  std::string stat;
  if (!read_small_file(fmt::format("/proc/{}/stat", pid).c_str(), stat)) {
    return std::nullopt;
  }
  // "pid (comm) state ppid ...": the name may hold anything, so fields count from its end.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  std::vector<std::string_view> fields;
  std::string_view rest = std::string_view(stat).substr(close + 1);
  while (!rest.empty()) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(begin);
    const std::size_t end = rest.find(' ');
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  // fields[0] is the state (the 3rd field), fields[19] the start time (the 22nd).
  ProcessInfo info;
  if (fields.size() < 20 || fields[0].empty()) {
    return std::nullopt;
  }
  info.running = fields[0][0] != 'Z' && fields[0][0] != 'X';
  std::from_chars(fields[19].data(), fields[19].data() + fields[19].size(), info.start);
  return info;
}

// When this process started (0 when /proc cannot tell): with the pid it tells a temporary file
// of this process from one a process of the same, reused pid left behind.
std::uint64_t own_start() {
  static const std::uint64_t start = [] {
    const auto info = process_info(::getpid());
    return info ? info->start : 0;
  }();
  return start;
}

// Whether the writer of a temporary file, process `pid` started at `start` (0: not known),
// may still be writing it.
bool writer_alive(long pid, std::uint64_t start) {
  if (const auto info = process_info(pid)) {
    return info->running && (start == 0 || info->start == 0 || info->start == start);
  }
  if (own_start() != 0) {
    return false;  // /proc works and has no such process
  }
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

// Prefix of the temporary files written for `path`: ".NAME.tmp-", followed by the writer's pid,
// its start time and a count.
std::string temp_prefix(const std::filesystem::path& path) {
  return "." + path.filename().string() + ".tmp-";
}

// Removes the temporary files of `path` whose writers were killed before they could rename or
// remove them. A file whose writer still runs (or may, when that cannot be told) is left.
void remove_stale_temps(const std::filesystem::path& path) {
  const std::string prefix = temp_prefix(path);
  const std::filesystem::path dir =
      path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix)) {
      continue;
    }
    // The tail is "PID-START-N", or "PID-N" as older writers named theirs.
    const auto numbers = parse_number_run(std::string_view(name).substr(prefix.size()), '-');
    if (!numbers || (numbers->size() != 2 && numbers->size() != 3)) {
      continue;
    }
    if ((*numbers)[0] == 0 || (*numbers)[0] > 0x7fffffff) {
      continue;  // no process has such an id
    }
    const auto pid = static_cast<long>((*numbers)[0]);
    const std::uint64_t start = numbers->size() == 3 ? (*numbers)[1] : 0;
    if (pid == ::getpid() && (start == 0 || start == own_start())) {
      continue;  // this process's own: written right now, or already removed on failure
    }
    if (!writer_alive(pid, start)) {
      ::unlink((dir / name).c_str());
    }
  }
}

// Removes a temporary file unless it was renamed into place.
struct TempFile {
  std::filesystem::path path;
  bool placed = false;
  ~TempFile() {
    if (!placed) {
      ::unlink(path.c_str());
    }
  }
};

}  // namespace

bool is_valid_utf8(std::string_view text) {
  return simdjson::validate_utf8(text.data(), text.size());
}

std::size_t valid_utf8_prefix(std::string_view text) {
  if (is_valid_utf8(text)) {
    return text.size();
  }
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const auto* p = begin;
  while (p < end) {
    std::size_t len = 1;
    if (check_sequence(p, end, len).reason != nullptr) {
      break;
    }
    p += len;
  }
  return static_cast<std::size_t>(p - begin);
}

std::string utf8_error_message(std::string_view text, std::size_t base) {
  const std::size_t at = valid_utf8_prefix(text);
  if (at >= text.size()) {
    return "'utf-8' codec can't decode the text";
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
  const auto* end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
  std::size_t len = 1;
  const Utf8Fault fault = check_sequence(p, end, len);
  const std::size_t pos = base + at;
  if (fault.bytes <= 1) {
    return fmt::format("'utf-8' codec can't decode byte {:#04x} in position {}: {}", *p, pos,
                       fault.reason);
  }
  return fmt::format("'utf-8' codec can't decode bytes in position {}-{}: {}", pos,
                     pos + fault.bytes - 1, fault.reason);
}

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::uint64_t max_table_bytes() {
  const char* env = std::getenv("ARVCORE_MAX_TABLE_BYTES");
  if (env == nullptr || *env == '\0') {
    return kDefaultMaxTableBytes;
  }
  std::uint64_t n = 0;
  const char* end = env + std::strlen(env);
  const auto [stop, ec] = std::from_chars(env, end, n);
  if (ec != std::errc() || stop != end || n == 0) {
    return kDefaultMaxTableBytes;
  }
  return n;
}

std::string read_binary_file(const std::filesystem::path& path, std::size_t spare) {
  const TableFile file = open_for_reading(path);
  return read_all(file, path, spare);
}

// The chunks in flight between the helper that reads them and the reader, in a ring: the
// helper fills chunk k while the reader holds at most one of the kRing - 1 before it.
namespace {

// One chunk's place in the ring's memory.
struct ChunkBuffer {
  char* data = nullptr;
  std::size_t size = 0;
  std::string_view bytes() const { return {data, size}; }
};

// The ring's memory, mapped on its own when the first chunk is read: freed, it goes back to the
// system at once, whichever thread filled it (the heap of a helper thread would keep it for
// that thread). Large pages serve a ring that the file fills: a small file touches only the
// ordinary pages it needs.
class RingMemory {
 public:
  RingMemory() = default;
  RingMemory(const RingMemory&) = delete;
  RingMemory& operator=(const RingMemory&) = delete;
  ~RingMemory() {
    if (base_ != nullptr) {
      unmap_pages(base_, bytes_);
    }
  }

  // Maps `bytes`; false when there is no memory for it.
  bool map(std::size_t bytes, bool large) {
    bytes_ = bytes;
    base_ = static_cast<char*>(map_pages(bytes, large));
    return base_ != nullptr;
  }
  char* at(std::size_t offset) const { return base_ + offset; }
  bool mapped() const { return base_ != nullptr; }

 private:
  char* base_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace

struct FileReadAhead::Chunks {
  static constexpr std::size_t kRing = 4;

  Chunks(const std::filesystem::path& file_path, Fd file, std::uint64_t max_bytes,
         std::size_t chunk_size, std::uint64_t from)
      : path(file_path),
        fd(std::move(file)),
        limit(max_bytes),
        size(chunk_size == 0 ? 1 : chunk_size),
        total(from) {}

  // Reads chunk `k` until it is full or the file ends; -1 with errno on failure (EFBIG once
  // the file has grown past the limit).
  ssize_t fill(std::size_t k) {
    ChunkBuffer& chunk = ring[k % kRing];
    if (!memory.mapped() && !map_ring()) {
      errno = ENOMEM;
      return -1;
    }
    const ssize_t n = read_full(fd, chunk.data, size, static_cast<off_t>(total));
    if (n < 0) {
      return -1;  // errno as the read left it
    }
    total += static_cast<std::uint64_t>(n);
    if (total > limit) {
      errno = EFBIG;
      return -1;
    }
    chunk.size = static_cast<std::size_t>(n);
    utf8[k % kRing] = is_valid_utf8(chunk.bytes());
    return n;
  }

  // Maps the ring's memory before the first chunk is read.
  bool map_ring() {
    const std::size_t bytes = kRing * size;
    if (!memory.map(bytes, file_size >= total + bytes)) {
      return false;
    }
    for (std::size_t k = 0; k < kRing; ++k) {
      ring[k].data = memory.at(k * size);
    }
    return true;
  }

  // Records what reading chunk `filled` gave. Called with the lock held.
  void record(ssize_t n, int err) {
    if (n < 0) {
      error = err;
    } else if (n > 0) {
      ++filled;
    }
    if (n <= 0 || static_cast<std::size_t>(n) < size) {
      ended = true;
    }
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stop || filled - taken < kRing - 1; });
      if (stop) {
        return;
      }
      const std::size_t k = filled;
      lock.unlock();
      const ssize_t n = fill(k);
      const int err = errno;
      lock.lock();
      record(n, err);
      changed.notify_all();
      if (ended) {
        return;
      }
    }
  }

  const std::filesystem::path path;
  const Fd fd;
  const std::uint64_t limit;
  const std::size_t size;
  std::uint64_t total;          // where the next read starts, for whichever thread fills
  std::uint64_t file_size = 0;  // when it was opened
  RingMemory memory;
  ChunkBuffer ring[kRing];
  bool utf8[kRing] = {};
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t filled = 0;  // chunks read so far
  std::size_t taken = 0;   // chunks handed to the reader, the last of which it may still hold
  bool ended = false;      // no chunk comes after `filled`
  int error = 0;
  bool stop = false;
  std::thread helper;
};

FileReadAhead::FileReadAhead(const std::filesystem::path& path, std::size_t chunk) {
  TableFile file = open_for_reading(path);
  const auto file_size = static_cast<std::uint64_t>(file.st.st_size);
  start(std::make_unique<Chunks>(path, std::move(file.fd), file.limit, chunk, 0), file_size);
}

FileReadAhead::FileReadAhead(const FileReadAhead& file, std::uint64_t from, std::size_t chunk) {
  const Chunks& other = *file.chunks_;
  Fd fd(::fcntl(other.fd.get(), F_DUPFD_CLOEXEC, 0));
  if (fd.get() < 0) {
    throw_os_error(errno, other.path);
  }
  start(std::make_unique<Chunks>(other.path, std::move(fd), other.limit, chunk, from), file.size_);
}

std::string FileReadAhead::read_at(std::uint64_t from, std::size_t n) const {
  std::string bytes(n, '\0');
  const ssize_t got = read_full(chunks_->fd, bytes.data(), n, static_cast<off_t>(from));
  if (got < 0) {
    throw_os_error(errno, chunks_->path);
  }
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

void FileReadAhead::start(std::unique_ptr<Chunks> chunks, std::uint64_t file_size) {
  chunks_ = std::move(chunks);
  size_ = file_size;
  Chunks& c = *chunks_;
  c.file_size = file_size;
  if (file_size > c.total + c.size) {
    try {
      c.helper = std::thread([&c] { c.run(); });
    } catch (const std::system_error&) {
      // no thread to be had: chunks are read as they are asked for
    }
  }
}

FileReadAhead::~FileReadAhead() {
  Chunks& c = *chunks_;
  if (c.helper.joinable()) {
    {
      const std::lock_guard lock(c.mutex);
      c.stop = true;
    }
    c.changed.notify_all();
    c.helper.join();
  }
}

FileReadAhead::Chunk FileReadAhead::next() {
  Chunks& c = *chunks_;
  std::unique_lock lock(c.mutex);
  if (!c.helper.joinable() && !c.ended && c.filled == c.taken) {
    const ssize_t n = c.fill(c.filled);
    c.record(n, errno);
  }
  c.changed.wait(lock, [&] { return c.filled > c.taken || c.ended; });
  if (c.filled > c.taken) {
    const std::size_t k = c.taken++ % Chunks::kRing;
    lock.unlock();
    c.changed.notify_all();  // taking a chunk hands the one before it back to the helper
    return {c.ring[k].bytes(), c.utf8[k]};
  }
  if (c.error == EFBIG) {
    throw_too_large(c.path, c.limit);
  }
  if (c.error != 0) {
    throw_os_error(c.error, c.path);
  }
  return {};
}

TableFileBuf::int_type TableFileBuf::underflow() {
  if (gptr() < egptr()) {
    return traits_type::to_int_type(*gptr());
  }
  const auto chunk = file_.next();
  if (chunk.bytes.empty()) {
    return traits_type::eof();
  }
  // The reader only reads the chunk; it stays valid until the next call.
  char* at = const_cast<char*>(chunk.bytes.data());
  setg(at, at, at + chunk.bytes.size());
  return traits_type::to_int_type(*at);
}

std::string read_text_file(const std::filesystem::path& path) {
  std::string content = read_binary_file(path);
  if (!is_valid_utf8(content)) {
    throw UnicodeError(utf8_error_message(content));
  }
  return content;
}

WriteFaultHook set_write_fault_hook(WriteFaultHook hook) {
  return write_fault_hook.exchange(hook);
}

void write_file_atomic(const std::filesystem::path& path, std::string_view content) {
  remove_stale_temps(path);
  static std::atomic<unsigned> counter{0};
  TempFile tmp{path.parent_path() /
               fmt::format("{}{}-{}-{}", temp_prefix(path), ::getpid(), own_start(), counter++)};
  std::size_t no_bytes = 0;
  int err = injected_fault(WriteStep::create, no_bytes);
  Fd fd(err != 0 ? -1 : ::open(tmp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    tmp.placed = true;  // nothing was created
    throw_os_error(err != 0 ? err : errno, path);
  }
  // From here on a failure leaves the temporary file to TempFile, which removes it.
  for (std::size_t done = 0; done < content.size();) {
    std::size_t count = content.size() - done;
    err = injected_fault(WriteStep::write, count);
    const ssize_t n = err != 0 ? -1 : ::write(fd.get(), content.data() + done, count);
    if (n < 0 && err == 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw_os_error(err != 0 ? err : (n < 0 ? errno : EIO), path);
    }
    done += static_cast<std::size_t>(n);  // a short write goes on where it stopped
  }
  err = injected_fault(WriteStep::sync, no_bytes);
  if (err == 0 && ::fsync(fd.get()) != 0) {
    err = errno;
  }
  if (err != 0) {
    throw_os_error(err, path);
  }
  err = injected_fault(WriteStep::close, no_bytes);
  if (::close(fd.release()) != 0 && err == 0 && errno != EINTR) {
    err = errno;
  }
  if (err != 0) {
    throw_os_error(err, path);
  }
  err = injected_fault(WriteStep::rename, no_bytes);
  if (err == 0 && ::rename(tmp.path.c_str(), path.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    throw_os_error(err, path);
  }
  tmp.placed = true;
  // The rename itself reaches the disk with the directory; the new file is in place either
  // way, so a failure here is no failure of the write.
  const Fd dir(::open(tmp.path.parent_path().empty() ? "." : tmp.path.parent_path().c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) {
    ::fsync(dir.get());
  }
}

}  // namespace arvcore::value
