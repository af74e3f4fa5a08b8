// PageBlock: a large block of memory mapped straight from the system.
//
// A call on a table of a million rows fills tens of megabytes of scratch
// that it then drops. Taken from the allocator, a block that large is
// mapped afresh each time, and every 4 KiB page of it faults in and is
// cleared on first touch, which costs more than the search that fills it.
// A PageBlock asks the kernel for transparent huge pages where it offers
// them on request, so that the block faults in 2 MiB at a time. Its
// contents start undefined to the caller (the kernel clears them).
#pragma once

#include <cstddef>  // std::size_t
#include <vector>   // std::vector

namespace gapwright {

class PageBlock {
 public:
  PageBlock() noexcept = default;
  // Throws std::bad_alloc when the system has no room for `bytes` (> 0).
  explicit PageBlock(std::size_t bytes);
  ~PageBlock();

  PageBlock(PageBlock&& other) noexcept;
  PageBlock& operator=(PageBlock&& other) noexcept;
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;

  void* data() const noexcept { return data_; }

 private:
  void release() noexcept;

  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// Asks for transparent huge pages on the whole 2 MiB pages of a block not
// yet touched: on small pages, reads at random across a block of many
// megabytes miss the TLB as well as the cache. Only advice: where the
// kernel declines, small pages serve as before.
void prefer_huge_pages(const void* block, std::size_t bytes) noexcept;

// Reserves room for `size` elements in `buffer`, on huge pages where it
// has to grow.
template <typename T>
void reserve_on_huge_pages(std::vector<T>& buffer, std::size_t size) {
  if (buffer.capacity() >= size) return;
  buffer.reserve(size);
  prefer_huge_pages(buffer.data(), size * sizeof(T));
}

}  // namespace gapwright
