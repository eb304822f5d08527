#pragma once
// Anonymous memory mapped on its own, for large buffers and arrays: freed, it goes back to the
// system at once, whichever thread filled it.

#include <cstddef>

namespace arvcore::value {

/// The size of a large page (a transparent huge page on x86-64 and on arm64 with 4 KiB pages).
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

/// Maps `bytes` (above 0) of zeroed memory; null when there is none. With `large`, the memory
/// starts on a large-page boundary and the kernel is asked for large pages: tens of megabytes
/// filled front to back then fault in a few dozen pages rather than thousands, each of which
/// costs microseconds in a virtual machine. A large page is zeroed whole when first touched,
/// so only memory that will be filled should ask for them. Kernels without them give ordinary
/// pages.
void* map_pages(std::size_t bytes, bool large = false) noexcept;

/// Unmaps what map_pages() gave for the same `bytes`.
void unmap_pages(void* p, std::size_t bytes) noexcept;

/// Gives the ordinary pages wholly inside [p, p + bytes) back to the system, keeping them
/// mapped: they read as zeros when next touched.
void release_pages(void* p, std::size_t bytes) noexcept;

}  // namespace arvcore::value
