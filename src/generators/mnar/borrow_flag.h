// BorrowFlag: refuses overlapping use of one instance.
//
// 0: free; all bits set: held exclusively by a running call; n > 0: held
// shared by n representations. Takes and releases are atomic, so the flag
// needs no interpreter lock.
#pragma once

#include <atomic>   // std::atomic
#include <cstdint>  // std::uintptr_t

namespace gapwright {

class BorrowFlag {
 public:
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

  bool try_take_exclusive() noexcept {
    std::uintptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive);
  }
  void release_exclusive() noexcept { state_.store(0); }

  bool try_take_shared() noexcept {
    std::uintptr_t current = state_.load();
    do {
      if (current == kExclusive || current + 1 == kExclusive) return false;
    } while (!state_.compare_exchange_weak(current, current + 1));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1); }

 private:
  std::atomic<std::uintptr_t> state_{0};
};

}  // namespace gapwright
