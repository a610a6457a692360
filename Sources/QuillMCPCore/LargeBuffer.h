// Advice to the kernel about buffers that hold one long line or string.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Platform: transparent huge pages (Linux) ------------------------------------------------
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quill {

// Asks for the buffer to be backed by huge pages where the system offers them on request. A
// megabytes-long line is written into fresh memory, and faulting it in one small page at a time
// costs more than copying it; with huge pages there are a few faults instead of thousands. The
// advice covers the buffer rounded out to whole pages, which for a block of its own is its whole
// mapping: advising part of a mapping would split it, and a split mapping can no longer be grown
// by remapping. Short buffers are left alone.
inline void adviseLargeBuffer([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHugePage = 2 * 1024 * 1024;
  if (size < 2 * kHugePage) return;
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = start & ~(page - 1);
  const std::uintptr_t end = (start + size + page - 1) & ~(page - 1);
  (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}
// ---- End of platform ---------------------------------------------------------------------

}  // namespace quill
