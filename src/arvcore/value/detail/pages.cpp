#include "arvcore/value/detail/pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace arvcore::value {
namespace {

std::size_t page_size() {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

void* map(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Maps one large page more than asked and unmaps what lies outside the aligned middle.
void* map_large(std::size_t bytes) {
  auto* const whole = static_cast<char*>(map(bytes + kLargePage));
  if (whole == nullptr) {
    return nullptr;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(whole);
  const std::size_t before = (kLargePage - at % kLargePage) % kLargePage;
  char* const start = whole + before;
  if (before != 0) {
    ::munmap(whole, before);
  }
  if (before != kLargePage) {
    ::munmap(start + bytes, kLargePage - before);
  }
#ifdef MADV_HUGEPAGE
  ::madvise(start, bytes, MADV_HUGEPAGE);  // advice only: refused, the pages stay ordinary
#endif
  return start;
}

}  // namespace

void* map_pages(std::size_t bytes, bool large) noexcept {
  return large ? map_large(bytes) : map(bytes);
}

void unmap_pages(void* p, std::size_t bytes) noexcept {
  ::munmap(p, bytes);
}

void release_pages(void* p, std::size_t bytes) noexcept {
  const std::size_t page = page_size();
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t from = (at + page - 1) / page * page;
  const std::uintptr_t to = (at + bytes) / page * page;
  if (to > from) {
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  }
}

}  // namespace arvcore::value
