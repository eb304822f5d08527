#include "arvcore/value/textfile.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include <fmt/format.h>
#include <unistd.h>

#include "arvcore/sdk/errors.hpp"

namespace arvcore::value {

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) {
      return false;
    }
    for (std::size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    p += len;
  }
  return true;
}

std::string read_text_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw OSError(fmt::format("[Errno {}] {}: '{}'", errno, std::strerror(errno), path.string()));
  }
  std::string content;
  in.seekg(0, std::ios::end);
  const auto size = in.tellg();
  if (size > 0) {
    content.resize(static_cast<std::size_t>(size));
    in.seekg(0, std::ios::beg);
    in.read(content.data(), size);
  } else {
    in.seekg(0, std::ios::beg);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (in.bad()) {
    throw OSError(fmt::format("cannot read '{}'", path.string()));
  }
  if (!is_valid_utf8(content)) {
    throw UnicodeError(fmt::format("'utf-8' codec can't decode '{}'", path.string()));
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
    throw OSError(fmt::format("[Errno {}] {}: '{}'", errno, std::strerror(errno), path.string()));
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
    throw OSError(fmt::format("cannot replace '{}'", path.string()));
  }
}

}  // namespace arvcore::value
