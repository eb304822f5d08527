#include "arvcore/value/textfile.hpp"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <fmt/format.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arvcore/sdk/errors.hpp"

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

 private:
  int fd_;
};

// Opens `path` for reading and describes it in `st`. A directory cannot be read as a file.
Fd open_for_reading(const std::filesystem::path& path, struct stat& st) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    throw_os_error(errno, path);
  }
  if (::fstat(fd.get(), &st) != 0) {
    throw_os_error(errno, path);
  }
  if (S_ISDIR(st.st_mode)) {
    throw_os_error(EISDIR, path);
  }
  return fd;
}

// Reads into `buf` until it is full or the file ends: the bytes read, or -1 with errno set.
ssize_t read_full(const Fd& fd, char* buf, std::size_t size) {
  std::size_t used = 0;
  while (used < size) {
    const ssize_t n = ::read(fd.get(), buf + used, size - used);
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

// The rest of an open file, with room for `spare` more bytes.
std::string read_all(const Fd& fd, const struct stat& st, const std::filesystem::path& path,
                     std::size_t spare) {
  std::string content;
  // The size is a hint only: files such as those under /proc report 0.
  content.resize(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
  std::size_t used = 0;
  for (;;) {
    const std::size_t room = content.size() - used;
    const ssize_t n = read_full(fd, content.data() + used, room);
    if (n < 0) {
      throw_os_error(errno, path);
    }
    used += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < room) {
      break;
    }
    content.resize(content.size() * 2);
  }
  content.reserve(used + spare);
  content.resize(used);
  return content;
}

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

std::string read_binary_file(const std::filesystem::path& path, std::size_t spare) {
  struct stat st {};
  const Fd fd = open_for_reading(path, st);
  return read_all(fd, st, path, spare);
}

// The chunks in flight between the helper that reads them and the reader, in a ring: the
// helper fills chunk k while the reader holds at most one of the kRing - 1 before it.
struct FileReadAhead::Chunks {
  static constexpr std::size_t kRing = 4;

  Chunks(const std::filesystem::path& file_path, Fd file, std::size_t chunk_size)
      : path(file_path), fd(std::move(file)), size(chunk_size == 0 ? 1 : chunk_size) {}

  // Reads chunk `k` until it is full or the file ends; -1 with errno on failure.
  ssize_t fill(std::size_t k) {
    std::string& chunk = ring[k % kRing];
    chunk.resize(size);
    const ssize_t n = read_full(fd, chunk.data(), size);
    if (n < 0) {
      return -1;  // errno as the read left it
    }
    chunk.resize(static_cast<std::size_t>(n));
    utf8[k % kRing] = is_valid_utf8(chunk);
    return n;
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
  const std::size_t size;
  std::string ring[kRing];
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
  struct stat st {};
  Fd fd = open_for_reading(path, st);
  chunks_ = std::make_unique<Chunks>(path, std::move(fd), chunk);
  Chunks& c = *chunks_;
  if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > c.size) {
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
    return {c.ring[k], c.utf8[k]};
  }
  if (c.error != 0) {
    throw_os_error(c.error, c.path);
  }
  return {};
}

std::string read_text_file(const std::filesystem::path& path) {
  std::string content = read_binary_file(path);
  if (!is_valid_utf8(content)) {
    throw UnicodeError(utf8_error_message(content));
  }
  return content;
}

void write_file_atomic(const std::filesystem::path& path, std::string_view content) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path tmp =
      path.parent_path() /
      fmt::format(".{}.tmp-{}-{}", path.filename().string(), ::getpid(), counter++);
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    throw_os_error(errno, path);
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
  const bool closed = std::fclose(f) == 0;
  std::error_code ec;
  if (!written || !flushed || !closed) {
    std::filesystem::remove(tmp, ec);
    throw OSError(fmt::format("cannot write '{}'", path.string()));
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw OSError(fmt::format("[Errno {}] {}: '{}'", ec.value(), ec.message(), path.string()));
  }
}

}  // namespace arvcore::value
