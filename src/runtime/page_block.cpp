#include "runtime/page_block.h"

#include <sys/mman.h>  // mmap, munmap, madvise

#include <cstdint>  // std::uintptr_t
#include <new>      // std::bad_alloc
#include <utility>  // std::exchange

namespace gapwright {

PageBlock::PageBlock(std::size_t bytes) : bytes_(bytes) {
  void* const mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  data_ = mapped;
#ifdef MADV_HUGEPAGE
  // Only advice: where the kernel declines, the block has small pages.
  madvise(data_, bytes_, MADV_HUGEPAGE);
#endif
}

PageBlock::~PageBlock() { release(); }

PageBlock::PageBlock(PageBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

PageBlock& PageBlock::operator=(PageBlock&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void PageBlock::release() noexcept {
  if (data_ != nullptr) munmap(data_, bytes_);
  data_ = nullptr;
  bytes_ = 0;
}

void prefer_huge_pages(const void* block, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  const auto first = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t start = (first + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (first + bytes) & ~(kHuge - 1);
  if (end > start) {
    static_cast<void>(madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE));
  }
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

}  // namespace gapwright
